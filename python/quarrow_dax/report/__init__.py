"""Reading Power BI reports: which fields of the model each visual, filter,
bookmark and report measure uses, and where each reference is written.

    from quarrow_dax.report import load_report

    report = load_report("Sales.Report")
    for use in report.uses:
        print(use.file, use.line, use.column, use.where, use.table, use.name)

Both formats are read: PBIR (a `definition/` folder, a file per page,
visual and bookmark) and PBIR-Legacy (one `report.json` whose `config`,
`filters` and `query` hold JSON texts inside JSON strings, read with their
positions mapped back to the file). `definition.pbir` names the model
(`Report.dataset`).

A report read alone knows only its own measures, so the kind of every other
field stays "unknown"; `decide(report, model)` (or `load_report(path,
model)`, or reading a whole project with `quarrow_dax.project`) decides them
by the model. What cannot be read is a located `Diagnostic` in
`Report.problems` (codes E007, W003), and the rest of the report is read.
"""

from __future__ import annotations

import os
from pathlib import Path

from .. import collector
from ..model import Model
from ..sources import MAX_FILE_SIZE, SourceError, is_dir, is_file, walk
from ..writeback import Original
from ._files import problem
from ._json import RawSpan
from .dataset import catalog, holds_model, read_dataset_reference
from .fields import FieldCollector, split_metadata
from .kinds import dax_uses, decide
from .legacy import read_legacy
from .objects import (
    KINDS, NOT_USING, STALE_IS_WARNING, WHERES, Bookmark, DatasetReference, FieldUse, Page, Report, ReportFormula,
    Visual,
)
from .pbir import read_pbir

__all__ = [
    "KINDS", "NOT_USING", "STALE_IS_WARNING", "WHERES", "Bookmark", "DatasetReference", "FieldUse", "Page", "RawSpan",
    "Report", "ReportError", "ReportFormula", "Visual", "catalog", "decide", "find_reports", "holds_model",
    "is_report_folder", "load_report", "split_metadata",
]


class ReportError(Exception):
    """A path that is not a report at all: `path` and `message`."""

    def __init__(self, path: str, message: str) -> None:
        super().__init__(path, message)
        self.path = path
        self.message = message

    def __str__(self) -> str:
        return f"{self.path}: {self.message}"


def is_report_folder(path: str | os.PathLike[str]) -> bool:
    """Whether `path` is a report folder: one holding `definition.pbir`,
    a PBIR `definition/report.json` or a PBIR-Legacy `report.json`."""
    folder = Path(path)
    return is_dir(folder) and (
        is_file(folder / "definition.pbir") or is_file(folder / "report.json")
        or is_file(folder / "definition" / "report.json")
    )


def find_reports(path: str | os.PathLike[str], problems: list[SourceError] | None = None) -> list[Path]:
    """The report folders at or under `path`, in name order; a report folder
    is not searched further and hidden folders are skipped. Folders that
    cannot be listed go to `problems`."""
    root = Path(path)
    if is_report_folder(root):
        return [root]
    if not is_dir(root):
        return []
    errors: list[SourceError] = [] if problems is None else problems
    return [found for found in walk(root, errors, is_report_folder) if is_dir(found)]


def _name(folder: Path) -> str:
    name = folder.resolve().name if folder.name in ("", ".", "..") else folder.name
    return name[: -len(".Report")] if name.endswith(".Report") else name


def load_report(path: str | os.PathLike[str], model: Model | None = None, *,
                max_file_size: int = MAX_FILE_SIZE, originals: dict[str, Original] | None = None) -> Report:
    """The report in the folder `path` (or the folder of the
    `definition.pbir` file `path`). With `model`, every field's kind is
    decided by it. Raises ReportError when `path` is no report at all;
    everything else that cannot be read is in the report's `problems`.
    When `originals` is a dict, every report file read (not
    `definition.pbir`) is kept there under its name, its bytes and identity
    as read: what a tool that rewrites the report edits."""
    with collector.paused():
        return _load_report(path, model, max_file_size, originals)


def _load_report(path: str | os.PathLike[str], model: Model | None, max_file_size: int,
                 originals: dict[str, Original] | None) -> Report:
    folder = Path(path)
    if is_file(folder) and folder.name.lower() in ("definition.pbir", "report.json"):
        folder = folder.parent
    if not is_dir(folder):
        raise ReportError(str(path), "no such folder" if not os.path.lexists(folder) else "not a report folder")
    if not is_report_folder(folder):
        raise ReportError(str(path), "not a report folder: no definition.pbir, definition/report.json or report.json")
    definition = folder / "definition"
    legacy = not is_dir(definition) and is_file(folder / "report.json")
    report = Report(str(folder), _name(folder), "PBIR-Legacy" if legacy else "PBIR")
    if is_file(folder / "definition.pbir"):
        report.dataset = read_dataset_reference(folder, report.problems)
    else:
        report.problems.append(problem(folder / "definition.pbir", "missing: the report names no model",
                                       severity="warning"))
    collector = FieldCollector(report.name)
    if legacy:
        read_legacy(folder, report, collector, max_file_size, originals)
    else:
        if is_file(folder / "report.json"):
            report.problems.append(problem(folder / "report.json", "both a definition folder and a report.json:"
                                           " the definition folder (PBIR) is read", severity="warning"))
        read_pbir(folder, report, collector, max_file_size, originals)
    collector.finish()
    report.formulas.extend(collector.formulas)
    report.uses.extend(collector.uses)
    report.problems.extend(collector.problems)
    for formula in report.measures:
        report.uses.extend(dax_uses(formula))
    return decide(report, model, in_place=True)  # the report was made here: nothing else holds it
