"""Checking and linting a whole tenant: every dataset of admin scanner
results (see `quarrow_dax.model.scanner`) as a model in its own right, what
`quarrow-dax scan` does, as functions that return records.

    from quarrow_dax.check import CheckOptions
    from quarrow_dax.scan import scan_files

    for record in scan_files(["scan.json"], CheckOptions()):
        print(record.workspace, record.dataset, record.object, record.code, record.message)

Each dataset's formulas are checked as `check` checks a model's (the first
error of each, names that exist nowhere in the dataset, DAX001, calls to
functions with the wrong arguments, mixed separators) and
linted as `lint` lints them (every rule the configuration selects but
DAX001, which check reports already). A `ScanRecord` is one finding: its
workspace, dataset, table and object, and a `Diagnostic` whose line and
column are within the formula. What keeps part of a file from being read is
a record too, with no object and the line and column in the file.

With `jobs` above 1, worker processes take the datasets: each reads its
datasets' bytes from the file itself, so that only their places travel
between processes, and the records come back in file order.
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from .check import CheckOptions, ModelTally, check_loaded_model, in_formula, model_problem, object_name, worker_count
from .diagnostics import RULES, Diagnostic, Rule, SarifWriter
from .model import ModelError
from .model.scanner import DatasetPlace, ScannedDataset, find_datasets, read_dataset
from .resolution import Resolver
from .syntax import ParseError

if TYPE_CHECKING:
    from .lint import LintConfig

__all__ = ["INTERNAL_ERROR", "RECORD_FIELDS", "ScanRecord", "ScanSarifWriter", "ScanTally", "scan_dataset", "scan_files"]

#: What scan reports of a dataset it could not check: a fault of quarrow_dax
#: (or no memory left), never of the dataset.
INTERNAL_ERROR = RULES.setdefault("E099", Rule(
    "E099", "internal-error", "A dataset that could not be checked: a fault of quarrow_dax, or no memory left.",
))

#: The fields of a record as `ScanRecord.to_dict` writes them, in order.
RECORD_FIELDS = (
    "path", "workspace", "workspace_id", "dataset", "dataset_id", "table", "object", "object_kind", "kind",
    "severity", "code", "message", "line", "column", "end_line", "end_column", "hint",
)


@dataclass(frozen=True)
class ScanRecord:
    """One finding in a scan result. `diagnostic` is placed within its
    formula (line 1, column 1 is the formula's first character), or for a
    problem reading the file (`object` None), in the file."""

    workspace: str | None
    workspace_id: str | None
    dataset: str | None
    dataset_id: str | None
    table: str | None
    diagnostic: Diagnostic

    @property
    def object(self) -> str | None:
        return self.diagnostic.object

    @property
    def code(self) -> str:
        return self.diagnostic.code

    @property
    def message(self) -> str:
        return self.diagnostic.message

    @property
    def severity(self) -> str:
        return self.diagnostic.severity

    def to_dict(self) -> dict[str, Any]:
        d = self.diagnostic
        located = d.line > 0
        return {
            "path": d.path, "workspace": self.workspace, "workspace_id": self.workspace_id, "dataset": self.dataset,
            "dataset_id": self.dataset_id, "table": self.table, "object": d.object, "object_kind": d.object_kind,
            "kind": d.kind, "severity": d.severity, "code": d.code, "message": d.message,
            "line": d.line if located else None, "column": d.column if located and d.column else None,
            "end_line": d.end_line if located else None,
            "end_column": d.end_column if located and d.end_column else None, "hint": d.hint,
        }

    def render(self) -> str:
        """The text a person reads: where (workspace / dataset, and the line
        and column in the formula), the object, the line and carets."""
        if self.diagnostic.object is None:
            return self.diagnostic.render()
        return self.diagnostic.render(f"{self.workspace} / {self.dataset}")


@dataclass
class ScanTally:
    """What scan_files counted."""

    datasets: int = 0
    formulas: int = 0
    failed: int = 0  # formulas with an error (check's)
    unreadable: int = 0  # datasets, or files, not read in full


def _plain(diagnostic: Diagnostic) -> Diagnostic:
    """The diagnostic alone, without what a subclass adds (a lint fix), so
    that records travel between processes lightly."""
    fields = {field.name: getattr(diagnostic, field.name) for field in dataclasses.fields(Diagnostic)}
    return Diagnostic(**fields)


def scan_dataset(dataset: ScannedDataset, options: CheckOptions, config: LintConfig | None = None,
                 lint: bool = True) -> tuple[list[ScanRecord], int, int]:
    """The records of one dataset read from a scan result, the number of
    its formulas and of those with check's errors."""
    from .lint import lint_tree
    from .lint.engine import linted_formulas, parse_formula

    place = dataset.place
    model = dataset.model
    resolver = Resolver(model)
    check_codes = {"DAX001"}

    def record(diagnostic: Diagnostic, table: str | None) -> ScanRecord:
        return ScanRecord(place.workspace, place.workspace_id, dataset.name, dataset.id, table,
                          _plain(dataclasses.replace(diagnostic, path=place.file)))

    records = [record(model_problem(problem), None) for problem in dataset.problems]
    tally = ModelTally()
    owners = {(object_name(formula), formula.kind): formula.table for formula in model.formulas}
    # Check's own diagnostics, placed in each formula (and checked as check checks a model's).
    for diagnostic in check_loaded_model(model, options, tally):
        records.append(record(diagnostic, owners.get((diagnostic.object or "", diagnostic.object_kind or ""))))
    if lint:
        # Power BI's own date tables are left out unless the configuration includes them, as lint does.
        for formula in linted_formulas(model, config):
            try:
                tree = parse_formula(formula, options)
            except ParseError:
                continue  # check reported it
            for finding in lint_tree(tree, formula.text, path=place.file, config=config, model=model,
                                     formula=formula, resolver=resolver, separators=options.separators):
                if finding.code not in check_codes:  # check's, reported above
                    records.append(record(in_formula(finding, formula), formula.table))
    failed = tally.failed
    return records, len(model.formulas), failed


def _problem_record(error: ModelError, place: DatasetPlace | None) -> ScanRecord:
    diagnostic = model_problem(error)
    if place is None:
        return ScanRecord(None, None, None, None, None, diagnostic)
    return ScanRecord(place.workspace, place.workspace_id, None, None, None, diagnostic)


@dataclass(frozen=True)
class _Task:
    place: DatasetPlace
    options: CheckOptions
    config: Any
    lint: bool


def _run(task: _Task) -> tuple[list[ScanRecord], int, int, bool]:
    """Reads and scans one dataset; runs in a worker process under scan_files."""
    try:
        dataset = read_dataset(task.place)
    except ModelError as error:
        return [_problem_record(error, task.place)], 0, 0, False
    try:
        records, formulas, failed = scan_dataset(dataset, task.options, task.config, task.lint)
    except Exception as error:  # a fault of quarrow_dax, or no memory left: reported, and the next dataset read
        reason = "out of memory" if isinstance(error, MemoryError) else f"{type(error).__name__}: {error}"
        diagnostic = Diagnostic.for_path("internal", f"the dataset could not be checked: {reason}", task.place.file,
                                         task.place.line, task.place.column, code=INTERNAL_ERROR.code)
        return [ScanRecord(task.place.workspace, task.place.workspace_id, dataset.name, dataset.id, None,
                           diagnostic)], len(dataset.model.formulas), 0, False
    return records, formulas, failed, not dataset.problems


def scan_files(
    paths: Sequence[str],
    options: CheckOptions,
    config: LintConfig | None = None,
    *,
    jobs: int = 1,
    lint: bool = True,
    tally: ScanTally | None = None,
) -> Iterator[ScanRecord]:
    """The records of every dataset of the scan results at `paths`, file by
    file and within a file in file order; a file's problems come first.
    `jobs` processes share the datasets (0: one per processor). Without
    `lint`, only check's errors."""
    tally = ScanTally() if tally is None else tally
    for path in paths:
        problems: list[ModelError] = []
        places = find_datasets(path, problems)
        tally.unreadable += bool(problems)
        for problem in problems:
            yield _problem_record(problem, None)
        tasks = [_Task(place, options, config, lint) for place in places]
        workers = worker_count(jobs, len(tasks))
        if workers <= 1:
            results: Iterator[tuple[list[ScanRecord], int, int, bool]] = map(_run, tasks)
            yield from _counted(results, tally)
            continue
        with concurrent.futures.ProcessPoolExecutor(max_workers=workers) as executor:
            try:
                # A few datasets per message, small enough that every process stays busy to the end.
                chunk = max(1, min(16, len(tasks) // (workers * 8)))
                yield from _counted(executor.map(_run, tasks, chunksize=chunk), tally)
            finally:
                executor.shutdown(wait=True, cancel_futures=True)


def _counted(results: Iterator[tuple[list[ScanRecord], int, int, bool]], tally: ScanTally) -> Iterator[ScanRecord]:
    for records, formulas, failed, complete in results:
        tally.datasets += 1
        tally.formulas += formulas
        tally.failed += failed
        tally.unreadable += not complete
        yield from records


class ScanSarifWriter(SarifWriter):
    """SARIF for scan records: the file as the artifact, the object as a
    logical location named workspace/dataset/object, and the place within
    the formula as the result's properties (the file's region would be
    wrong: a formula's positions are its own)."""

    def add_record(self, record: ScanRecord) -> None:
        d = record.diagnostic
        if d.object is None:
            self.add(d)
            return
        self.add(dataclasses.replace(d, line=0, column=0, end_line=0, end_column=0))
        result = self.results[-1]
        path = "/".join((record.workspace or "", record.dataset or "", d.object))
        result["locations"][0]["logicalLocations"] = [
            {"name": d.object, "fullyQualifiedName": path, "kind": d.object_kind or "object"}
        ]
        result["properties"] = {
            "workspace": record.workspace, "dataset": record.dataset, "table": record.table,
            "formulaLine": d.line, "formulaColumn": d.column,
        }
