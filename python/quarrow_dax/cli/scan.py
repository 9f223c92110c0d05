"""`quarrow-dax scan`: every dataset of admin scanner results checked and
linted as a model of its own, one record per finding, in the format asked
for or into a Parquet file.

The scanning lives in quarrow_dax.scan and the reading in
quarrow_dax.model.scanner; this module turns the options into settings,
writes the records and sums up.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import tempfile
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .. import __version__
from ..check import CheckOptions
from ..diagnostics import TextWriter, Writer
from .common import (
    EXIT_OK,
    EXIT_USAGE,
    PROG,
    Subcommands,
    UsageError,
    add_config_options,
    add_grammar_options,
    config_problem,
    non_negative,
    plural,
    status_of,
    write_err,
    write_out,
)

if TYPE_CHECKING:
    from ..lint import LintConfig
    from ..scan import ScanRecord

FORMATS = ("text", "json", "sarif")
# Records written to Parquet at a time: a row group each.
_PARQUET_BATCH = 50_000


def run(args: argparse.Namespace) -> int:
    from ..config import ConfigError, ConfigFinder
    from ..scan import RECORD_FIELDS, ScanSarifWriter, ScanTally, scan_files

    if "-" in args.files:
        raise UsageError("scan reads scanner results from files, not from standard input")
    if args.output is not None:
        _require_pyarrow()
    # One configuration for the run: the first file's (or --config).
    try:
        found = ConfigFinder(args.config).config_for(args.files[0])
        lint_config: LintConfig | None = None if args.no_lint else found.lint.overridden(args.select, args.ignore or ())
    except ConfigError as error:
        write_err(config_problem(error).render() + "\n")
        return EXIT_USAGE
    strict = found.strict if args.strict is None else args.strict
    options = CheckOptions(grammar="standard" if strict else "engine",
                           separators=args.separators or found.separators)
    tally = ScanTally()
    records = scan_files(args.files, options, lint_config, jobs=args.jobs, lint=not args.no_lint, tally=tally)
    status = EXIT_OK
    severities: dict[str, int] = {}

    def counted(stream: Iterable[ScanRecord]) -> Iterator[ScanRecord]:
        nonlocal status
        for record in stream:
            internal = record.diagnostic.kind == "internal"
            status = max(status, EXIT_USAGE if internal else status_of(record.diagnostic))
            if record.object is not None or internal:
                severities[record.severity] = severities.get(record.severity, 0) + 1
            yield record

    if args.output is not None:
        written = _write_parquet(args.output, counted(records), RECORD_FIELDS)
        if written is not None:
            write_err(f"{PROG}: cannot write {args.output}: {written}\n")
            return EXIT_USAGE
        writer: Writer | None = None
    elif args.format == "sarif":
        writer = ScanSarifWriter(write_out, write_err, PROG, __version__)
        for record in counted(records):
            writer.add_record(record)
    else:
        writer = TextWriter(write_out, write_err, PROG) if args.format == "text" else None
        for record in counted(records):
            if args.format == "json":
                write_out(json.dumps(record.to_dict(), ensure_ascii=False, separators=(",", ":")) + "\n")
            elif record.object is None:
                writer.add(record.diagnostic)  # type: ignore[union-attr]
            else:
                write_out(record.render() + "\n")
    summary = _summary(tally, len(args.files), severities)
    if writer is not None:
        writer.finish(summary, successful=status < EXIT_USAGE)
    else:
        write_err(summary)
    return status


def _summary(tally: Any, files: int, severities: dict[str, int]) -> str:
    total = sum(severities.values())
    found = "no findings" if not total else plural(total, "finding") + " (" + ", ".join(
        plural(severities[level], level) for level in ("error", "warning", "note") if severities.get(level)) + ")"
    summary = (f"scanned {plural(tally.formulas, 'formula')} in {plural(tally.datasets, 'dataset')}"
               f" of {plural(files, 'file')}: {tally.failed} with errors, {found}")
    if tally.unreadable:
        summary += f"; {tally.unreadable} could not be read in full"
    if tally.datasets and not tally.formulas:
        summary += ("\n  hint: the datasets hold no DAX: was the scan asked for with datasetSchema=true and"
                    " datasetExpressions=true?")
    return summary + "\n"


def _require_pyarrow() -> None:
    try:
        importlib.import_module("pyarrow.parquet")
    except ImportError:
        raise UsageError("scan --output writes Parquet with pyarrow: pip install 'quarrow-dax[arrow]'") from None


def _write_parquet(output: str, records: Iterable[ScanRecord], fields: tuple[str, ...]) -> str | None:
    """Writes the records to a Parquet file, through a temporary file beside
    it renamed at the end; returns why it could not be written, or None."""
    pa = importlib.import_module("pyarrow")
    pq = importlib.import_module("pyarrow.parquet")

    integers = {"line", "column", "end_line", "end_column"}
    schema = pa.schema([(name, pa.int32() if name in integers else pa.string()) for name in fields])
    target = Path(output)
    try:
        fd, temporary = tempfile.mkstemp(dir=target.parent if str(target.parent) else ".",
                                         prefix="." + target.name + ".", suffix=".tmp")
        os.close(fd)
    except OSError as error:
        return error.strerror or str(error)
    try:
        with pq.ParquetWriter(temporary, schema) as parquet:
            batch: list[dict[str, Any]] = []
            for record in records:
                batch.append(record.to_dict())
                if len(batch) >= _PARQUET_BATCH:
                    parquet.write_table(pa.Table.from_pylist(batch, schema=schema))
                    batch.clear()
            parquet.write_table(pa.Table.from_pylist(batch, schema=schema))
        os.replace(temporary, target)
    except OSError as error:
        return error.strerror or str(error)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)
    return None


def add_command(commands: Subcommands) -> None:
    from .lint import selectors

    scan = commands.add_parser(
        "scan",
        help="check and lint every dataset of admin scanner results",
        description="Check and lint every dataset of Power BI admin scanner results (the JSON of the WorkspaceInfo "
        "GetScanResult API, read with datasetSchema and datasetExpressions) as a model of its own: measures, "
        "calculated columns and tables, row-level security filters, the names they use resolved within their "
        "dataset. One record per finding, with its workspace, dataset, table and object, and its line and column "
        "within the formula. Files of any size are read a dataset at a time.",
    )
    scan.add_argument("files", nargs="+", metavar="FILE", help="a scanner result (JSON)")
    scan.add_argument(
        "--format", choices=FORMATS, default="text",
        help="text: each finding with its line and carets (default); json: one object per finding (keys path, "
        "workspace, workspace_id, dataset, dataset_id, table, object, object_kind, kind, severity, code, message, "
        "line, column, end_line, end_column, hint); sarif: one SARIF 2.1.0 log",
    )
    scan.add_argument(
        "--output", "-o", metavar="FILE",
        help="write the records to this Parquet file (the json format's columns) instead of standard output; "
        "needs pyarrow",
    )
    scan.add_argument(
        "--jobs", "-j", type=non_negative, default=1, metavar="N",
        help="processes that share the datasets (0: one per processor; never more than datasets or processors)",
    )
    scan.add_argument("--no-lint", action="store_true", help="report check's errors only, no lint findings")
    scan.add_argument("--select", type=selectors, metavar="RULES", help="lint only these rules (as lint --select)")
    scan.add_argument("--ignore", type=selectors, metavar="RULES", help="do not run these rules (as lint --ignore)")
    add_config_options(scan, walks=False)
    add_grammar_options(scan)
    scan.set_defaults(run=run)
