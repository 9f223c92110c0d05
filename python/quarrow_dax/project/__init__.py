"""A Power BI project: a semantic model and the reports that read it.

    from quarrow_dax.project import load_project

    project = load_project("Sales.pbip")
    print(project.model.path, [report.name for report in project.reports])
    for report in project.reports:
        for page in report.pages:
            print(page.label, [visual.label for visual in page.visuals])

A project is given as a `.pbip` file (its reports, and the model they name);
a report folder (and the model its `definition.pbir` names); a folder holding
`*.SemanticModel` and `*.Report` folders; or a model (a `.bim` file, a TMDL
folder, a `*.SemanticModel` folder) with report paths beside it
(`reports=`). Every report's field kinds are decided by the model.

`load_projects` reads every project under a folder (one per model, each
with the reports that name it; reports whose model is not there form a
project without a model). What keeps a part from being read is in the
project's `problems` and its reports' `problems`: the other parts are read.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path

from .. import collector
from ..diagnostics import Diagnostic
from ..model import Model, ModelError, ModelWarning, find_models, is_model_folder, load_model
from ..report import FieldUse, Report, ReportError, decide, find_reports, holds_model, is_report_folder, load_report
from ..report._files import json_file, problem
from ..report.dataset import read_dataset_reference
from ..sources import MAX_FILE_SIZE, SourceError, is_dir, is_file
from ..writeback import Original

__all__ = [
    "Project", "ProjectError", "is_project", "load_project", "load_projects", "model_key", "pbip_model", "pbip_reports",
]


class ProjectError(Exception):
    """A path that holds no project, or several where one was asked for."""

    def __init__(self, path: str, message: str) -> None:
        super().__init__(path, message)
        self.path = path
        self.message = message

    def __str__(self) -> str:
        return f"{self.path}: {self.message}"


@dataclass(eq=False)
class Project:
    """A model (None when it is not there: a report of a published model)
    and its reports. `model_errors` and `model_warnings` are what reading
    the model met; `problems` what kept reports from being found (a `.pbip`
    naming a missing folder). `originals` holds every model and report file
    as it was read (its bytes and identity), when the project was loaded to
    be rewritten (`keep_originals`); else it is empty."""

    path: str
    model: Model | None
    model_path: str | None
    reports: list[Report] = field(default_factory=list)
    model_errors: list[ModelError] = field(default_factory=list)
    model_warnings: list[ModelWarning] = field(default_factory=list)
    problems: list[Diagnostic] = field(default_factory=list)
    originals: dict[str, Original] = field(default_factory=dict, repr=False)

    @property
    def uses(self) -> list[FieldUse]:
        """Every field reference of every report."""
        return [use for report in self.reports for use in report.uses]

    @property
    def report_problems(self) -> list[Diagnostic]:
        """The project's problems, then each report's."""
        return [*self.problems, *(found for report in self.reports for found in report.problems)]


def model_key(path: str | os.PathLike[str]) -> Path:
    """One name for one model however it is given: the TMDL folder or the
    `.bim` file itself, resolved."""
    candidate = Path(path)
    if is_dir(candidate) and not is_model_folder(candidate):
        if is_model_folder(candidate / "definition"):
            candidate = candidate / "definition"
        elif is_file(candidate / "model.bim"):
            candidate = candidate / "model.bim"
    try:
        return candidate.resolve()
    except OSError:
        return Path(os.path.abspath(candidate))


def is_project(path: str | os.PathLike[str]) -> bool:
    """Whether `path` is a `.pbip` file, a report folder, or a folder
    holding a report folder (directly)."""
    candidate = Path(path)
    if candidate.suffix.lower() == ".pbip" and is_file(candidate):
        return True
    if is_report_folder(candidate):
        return True
    if not is_dir(candidate):
        return False
    try:
        return any(is_report_folder(entry) for entry in candidate.iterdir())
    except OSError:
        return False


def _is_model_path(path: Path) -> bool:
    return (is_file(path) and path.suffix.lower() in (".bim", ".tmdl")) or holds_model(path)


def pbip_reports(file: Path, problems: list[Diagnostic], max_size: int = MAX_FILE_SIZE) -> list[Path]:
    """The report folders a `.pbip` file lists; what cannot be found goes to
    `problems`."""
    read = json_file(file, problems, max_size)
    if read is None:
        return []
    value, text = read
    artifacts = value.get("artifacts") if isinstance(value, dict) else None
    if not isinstance(artifacts, list):
        problems.append(text.diagnostic(getattr(artifacts if artifacts is not None else value, "start", None),
                                        '"artifacts" is not a list: the project names no report', code="E007"))
        return []
    found = []
    for artifact in artifacts:
        report = artifact.get("report") if isinstance(artifact, dict) else None
        where = report.get("path") if isinstance(report, dict) else None
        if not isinstance(where, str):
            continue
        folder = Path(os.path.normpath(file.parent / where.replace("\\", "/")))
        if is_report_folder(folder):
            found.append(folder)
        else:
            problems.append(text.diagnostic(getattr(where, "start", None),
                                            f"the report {where} is not there: no report folder at {folder}",
                                            code="E007"))
    return found


def pbip_model(file: Path, reports: Sequence[Path]) -> str | None:
    """The model of a `.pbip` file's project: the one its reports name (by
    path, or by connection when it stands beside them), else a
    `<name>.SemanticModel` folder beside the file."""
    for folder in reports:
        dataset = read_dataset_reference(folder, []) if is_file(folder / "definition.pbir") else None
        if dataset is not None and dataset.model is not None:
            return dataset.model
    beside = file.with_suffix(".SemanticModel")
    return str(beside) if holds_model(beside) else None


def _read_reports(folders: Iterable[Path], problems: list[Diagnostic], max_size: int,
                  originals: dict[str, Original] | None = None) -> list[Report]:
    reports = []
    for folder in folders:
        try:
            reports.append(load_report(folder, max_file_size=max_size, originals=originals))
        except ReportError as error:
            problems.append(problem(error.path, error.message))
    return reports


def _finish(path: str, model_path: str | None, reports: list[Report], problems: list[Diagnostic],
            max_size: int, originals: dict[str, Original] | None = None, cultures: bool = True) -> Project:
    project = Project(path, None, model_path, problems=problems)
    if originals is not None:
        # Each project keeps its own files: those of its model and reports.
        folders = {Path(os.path.abspath(report.path)) for report in reports}
        project.originals = {name: original for name, original in originals.items()
                             if folders.intersection(Path(os.path.abspath(name)).parents)}
    if model_path is not None:
        project.model = load_model(model_path, project.model_errors, project.model_warnings, max_file_size=max_size,
                                   originals=project.originals if originals is not None else None, cultures=cultures)
    # The reports were read for this project alone: their uses are decided where they are.
    project.reports = [decide(report, project.model, in_place=True) for report in reports]
    return project


def load_projects(path: str | os.PathLike[str], reports: Sequence[str | os.PathLike[str]] = (), *,
                  max_file_size: int = MAX_FILE_SIZE, keep_originals: bool = False,
                  cultures: bool = True) -> list[Project]:
    """The projects at `path` (see the module's documentation): one per
    model, each with the reports that name it, in the order their models
    (else their reports) are found. `reports` are report folders to add to
    the project of the model `path`. With `keep_originals`, each project's
    `originals` holds its files as read. `cultures` as for `load_model`:
    False for a reader that wants the model's objects alone (usage). Raises
    ProjectError when `path` holds neither a model nor a report."""
    with collector.paused():
        return _load_projects(path, reports, max_file_size, keep_originals, cultures)


def _load_projects(path: str | os.PathLike[str], reports: Sequence[str | os.PathLike[str]], max_file_size: int,
                   keep_originals: bool, cultures: bool) -> list[Project]:
    root = Path(path)
    problems: list[Diagnostic] = []
    originals: dict[str, Original] | None = {} if keep_originals else None
    extra = [Path(report) for report in reports]
    for folder in extra:
        if not is_report_folder(folder):
            raise ProjectError(str(folder), "not a report folder: no definition.pbir, definition/report.json"
                                            " or report.json")
    if root.suffix.lower() == ".pbip" and is_file(root):
        folders = pbip_reports(root, problems, max_file_size)
        found = _read_reports(folders + extra, problems, max_file_size, originals)
        return [_finish(str(path), pbip_model(root, folders), found, problems, max_file_size, originals, cultures)]
    if _is_model_path(root):
        found = _read_reports(extra, problems, max_file_size, originals)
        return [_finish(str(path), str(path), found, problems, max_file_size, originals, cultures)]
    if not (is_dir(root) or is_report_folder(root)):
        raise ProjectError(str(path), "no such file or folder" if not os.path.lexists(root) else
                           "not a project: not a .pbip file, a report or model folder, or a folder holding them")
    walk_problems: list[SourceError] = []
    found = _read_reports([*find_reports(root, walk_problems), *extra], problems, max_file_size, originals)
    problems.extend(problem(fault.path, fault.message) for fault in walk_problems)
    # Group the reports by the model they read; then the models nobody names.
    groups: dict[Path | None, list[Report]] = {}
    named: dict[Path, str] = {}
    for report in found:
        model = report.dataset.model if report.dataset is not None else None
        key = model_key(model) if model is not None else None
        if key is not None:
            named.setdefault(key, model)  # type: ignore[arg-type]
        groups.setdefault(key, []).append(report)
    if not is_report_folder(root):
        model_errors: list[ModelError] = []
        for model_path in find_models(root, model_errors):
            key = model_key(model_path)
            if key not in groups:
                groups[key] = []
                named[key] = str(model_path.parent if model_path.name == "definition" else model_path)
    if not groups:
        raise ProjectError(str(path), "no report and no model found in it")
    projects = [_finish(str(path), named.get(key) if key is not None else None, members, [], max_file_size,
                        originals, cultures)
                for key, members in groups.items()]
    projects[0].problems[:0] = problems
    return projects


def load_project(path: str | os.PathLike[str], reports: Sequence[str | os.PathLike[str]] = (), *,
                 max_file_size: int = MAX_FILE_SIZE, keep_originals: bool = False) -> Project:
    """The one project at `path` (see `load_projects`); raises ProjectError
    when `path` holds none or several."""
    projects = load_projects(path, reports, max_file_size=max_file_size, keep_originals=keep_originals)
    if len(projects) != 1:
        models = ", ".join(project.model_path or "(no model)" for project in projects)
        raise ProjectError(str(path), f"{len(projects)} projects in one folder ({models}): give one of them")
    return projects[0]
