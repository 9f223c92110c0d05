"""What a run reads: the DAX files, models and reports that paths name,
found as `quarrow-dax check` finds them. A folder is walked (less what a
`quarrow_dax.selection.PathFilter` leaves out); a `.tmdl` file of a model
stands for that model, reported on alone; a project file for its model and
reports; a Power BI file that holds no DAX is a problem that says what to
give instead.

    from quarrow_dax.inputs import collect_inputs

    inputs = collect_inputs(["Sales.SemanticModel/definition/tables/Budget.tmdl", "measures"])
    print(inputs.models, inputs.parts, inputs.files)
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path, PurePath
from typing import TYPE_CHECKING

from .check import MODEL_SUFFIXES, STDIN, display_path, read_problem
from .diagnostics import Diagnostic
from .model import ModelError, is_model_folder, model_folder_of, read_model
from .project import pbip_model, pbip_reports
from .report import is_report_folder
from .sources import SourceError, is_dir, is_file, walk

if TYPE_CHECKING:
    from .selection import PathFilter

__all__ = ["Inputs", "NOT_DAX_SUFFIXES", "collect_inputs", "not_dax_problem"]


@dataclass
class Inputs:
    """The DAX files, models and reports to check, and the paths that gave
    nothing. Each report comes with the model to check it against (None:
    the one its definition.pbir names). `parts` maps a model of `models` to
    the only files of it to report on: the `.tmdl` files named outright,
    read with the rest of their model."""

    files: list[str] = field(default_factory=list)
    models: list[str] = field(default_factory=list)
    problems: list[Diagnostic] = field(default_factory=list)
    reports: list[tuple[str, str | None]] = field(default_factory=list)
    parts: dict[str, list[str]] = field(default_factory=dict)


def _nothing_found(path: str) -> Diagnostic:
    errors: list[ModelError] = []
    next(iter(read_model(path, errors)), None)
    reason = errors[0].message if errors else ""
    hint = None
    if reason.startswith("not a model folder: ") and "no *.bim file and no TMDL" not in reason:
        hint = reason[len("not a model folder: ") :]
    return Diagnostic.for_path("path", "no *.dax files, models or reports found in it", display_path(path),
                               hint=hint)


def not_dax_problem(path: str) -> Diagnostic | None:
    """What to say of a Power BI file that holds no DAX to read: a packaged
    report, or a semantic model's definition file."""
    root = Path(path)
    suffix = root.suffix.lower()
    shown = display_path(path)
    if suffix in (".pbix", ".pbit"):
        kind = "report" if suffix == ".pbix" else "report template"
        return Diagnostic.for_path(
            "path", f"a packaged Power BI {kind} ({suffix}), whose model is stored in a binary form that cannot be"
            " read", shown, hint="in Power BI Desktop, save it as a Power BI Project (File > Save as, type *.pbip),"
            " then check its *.SemanticModel folder")
    if suffix == ".pbism":
        folder = str(PurePath(os.path.normpath(root.parent)))
        return Diagnostic.for_path(
            "path", "the definition file of a semantic model (settings, no DAX): check the model's folder instead",
            shown, hint=f"quarrow-dax check {folder}")
    return None


#: The Power BI files that hold no DAX to read, refused with a word on what
#: to give instead (a project file and a report's definition.pbir are read:
#: they name the reports and the model).
NOT_DAX_SUFFIXES = (".pbix", ".pbit", ".pbism")


def _is_unit(path: Path) -> bool:
    """A folder that a search takes whole: a TMDL folder or a report."""
    return is_model_folder(path) or is_report_folder(path)


def _project_file(root: Path, inputs: Inputs, whole: set[str]) -> None:
    """The model and reports of a `.pbip` file."""
    problems: list[Diagnostic] = []
    reports = pbip_reports(root, problems)
    inputs.problems.extend(problems)
    inputs.reports.extend((display_path(str(report)), None) for report in reports)
    model = pbip_model(root, reports)
    if model is not None:
        _add_model(inputs, display_path(model), whole)


def collect_inputs(
    paths: Iterable[str], reports: Sequence[str] = (), selection: PathFilter | None = None, *, in_models: bool = True,
) -> Inputs:
    """The DAX files, models and reports to check. A folder gives the models
    under it (each *.bim file and TMDL folder), its report folders and the
    *.dax files outside both (a .dax file in a model folder is no part of
    the model, and reporting it beside the model would count it twice), less
    what `selection` leaves out; a folder that gives nothing is a problem.
    An existing *.bim file is a model; an existing *.tmdl file is read with
    the rest of its model (the folder above it that is one) when
    `in_models`, so that the names it uses are looked up, and reported on
    alone; elsewhere, or without `in_models`, it is a model of its own. A
    report folder is a report; a .pbip file its reports and the model they
    read; a Power BI file that holds no DAX (.pbix, .pbism) is refused with
    what to give instead; any other path is a DAX file whatever its name,
    and one that does not exist is kept: reading it reports the error.
    `reports` (`--report`) are checked against the one model among `paths`.
    A path named outright is left out only when `selection` forces its
    exclusions."""
    inputs = Inputs()
    skip = None if selection is None else selection.skips
    whole: set[str] = set()
    for path in paths:
        if path == STDIN:
            inputs.files.append(path)
            continue
        shown = display_path(path)
        root = Path(path)
        folder = is_dir(root)
        if selection is not None and selection.skips_named(root, folder):
            continue
        if folder:
            if is_model_folder(root):
                _add_model(inputs, shown, whole)
                continue
            if is_report_folder(root):
                inputs.reports.append((shown, None))
                continue
            problems: list[SourceError] = []
            found = 0
            for entry in walk(root, problems, _is_unit, skip):
                name = entry.name.lower()
                if name.endswith(".dax"):
                    inputs.files.append(str(entry))
                elif is_dir(entry) and is_report_folder(entry):
                    inputs.reports.append((str(entry), None))
                elif name.endswith(".bim") or is_dir(entry):  # a folder here is a TMDL folder
                    _add_model(inputs, str(entry), whole)
                else:
                    continue
                found += 1
            inputs.problems.extend(read_problem(problem, problem.path) for problem in problems)
            if not found and not problems:
                inputs.problems.append(_nothing_found(path))
        elif path.lower().endswith(".pbip") and is_file(root):
            _project_file(root, inputs, whole)
        elif root.name.lower() == "definition.pbir" and is_file(root):
            inputs.reports.append((display_path(str(root.parent)), None))
        elif path.lower().endswith(NOT_DAX_SUFFIXES) and is_file(root):
            refusal = not_dax_problem(path)
            if refusal is not None:
                inputs.problems.append(refusal)
        elif path.lower().endswith(MODEL_SUFFIXES) and is_file(root):
            model_folder = model_folder_of(root) if in_models and root.suffix.lower() == ".tmdl" else None
            if model_folder is None:
                _add_model(inputs, shown, whole)
                continue
            model = display_path(str(model_folder))
            if os.path.normpath(os.path.abspath(model)) in whole:
                continue
            if model not in inputs.parts:
                inputs.models.append(model)
                inputs.parts[model] = []
            if shown not in inputs.parts[model]:
                inputs.parts[model].append(shown)
        else:
            inputs.files.append(shown)
    if reports:
        if len(inputs.models) != 1:
            inputs.problems.append(Diagnostic.for_path(
                "path", f"--report goes with one model, and {len(inputs.models)} were given", display_path(reports[0]),
                hint="give the model the reports read beside them: quarrow-dax check MODEL --report REPORT",
            ))
        else:
            for report in reports:
                if is_report_folder(Path(report)):
                    inputs.reports.append((display_path(report), inputs.models[0]))
                else:
                    inputs.problems.append(Diagnostic.for_path(
                        "path", "not a report folder: no definition.pbir, definition/report.json or report.json",
                        display_path(report)))
    return inputs


def _add_model(inputs: Inputs, model: str, whole: set[str]) -> None:
    """Adds a whole model; one named before by some of its files is read
    whole from now on."""
    key = os.path.normpath(os.path.abspath(model))
    if key in whole:
        return
    whole.add(key)
    for partial in list(inputs.parts):
        if os.path.normpath(os.path.abspath(partial)) == key:
            del inputs.parts[partial]
            return  # already listed in inputs.models
    inputs.models.append(model)
