"""Renaming a measure, column, table, function or calculation item across a
model and its reports: `plan_rename` finds every place to rewrite, checks
that the rewritten files read back as the same model and reports under the
new name, and returns the edits; `Rename.write` writes them all together.

    from quarrow_dax.project import load_project
    from quarrow_dax.refactor import plan_rename

    plan = plan_rename(load_project("Sales.pbip"), "'Sales'[Revenue]", "Turnover")
    for edit in plan.edits:
        print(edit.path, len(edit.edits))
    problems = plan.write()   # [] when every file was written

Nothing is written by planning; a refusal (an unknown object, a name that
clashes or is invalid, a model or report that cannot be read in full) is a
RenameError.
"""

from __future__ import annotations

import json
from collections.abc import Callable
from dataclasses import dataclass, field

from ..model import ModelError
from ..project import Project, load_project
from ..resolution import Resolver
from ..sources import decode_text
from ..syntax import BracketRef, ParseError, TableColumnRef, parse_expression
from ..syntax.parsing import Grammar, Separators
from ..writeback import WriteProblem
from .dax import FileMention, Findings, Mention, spellings
from .edits import EditConflict, FileEdit, TextEdit, file_edit, write_edits
from .model_places import model_formula_edits, model_names, name_edits
from .report_places import report_edits
from .splice import FileText, SpliceError
from .targets import Kind, RenameError, Target, check_new_name, find_target
from .verify import report_of, verify

__all__ = ["Rename", "plan_rename", "rename"]


@dataclass
class Rename:
    """A rename worked out and checked, not yet written: the `target`, its
    `new` name, the `edits` of each file to change (in path order), and the
    `mentions` of the old name in DAX strings and comments, which are left
    as they are (and references that may mean the target among others,
    also left)."""

    target: Target
    new: str
    edits: list[FileEdit]
    mentions: list[Mention] = field(default_factory=list)
    #: Places outside DAX left as they are that spell the old name (a
    #: report's filter values that may select a calculation item).
    file_mentions: list[FileMention] = field(default_factory=list)

    @property
    def places(self) -> int:
        """How many places change."""
        return sum(len(edit.edits) for edit in self.edits)

    def write(self) -> list[WriteProblem]:
        """Writes every file together (see `edits.write_edits`): all, or
        none when one cannot be written. Returns the problems."""
        return write_edits(self.edits)


def _editable(project: Project) -> Project:
    """`project` with its files' bytes as read: read again when it was
    loaded without them."""
    if project.originals:
        return project
    if project.model_path is None:
        return project
    return load_project(project.model_path, [report.path for report in project.reports], keep_originals=True)


def _refuse_unreadable(project: Project) -> None:
    if project.model is None:
        raise RenameError(f"{project.path}: no model: a rename needs the model whose object it renames")
    if project.model_errors:
        error = project.model_errors[0]
        raise RenameError(f"the model cannot be read in full: {error}", "nothing was renamed; fix the file first")
    for problem in project.report_problems:
        # The model a report's definition.pbir names is not what is renamed:
        # a report given with its model (--report) may name another.
        if problem.severity == "error" and not (problem.path or "").endswith("definition.pbir"):
            raise RenameError(f"a report cannot be read in full: {problem.path}:{problem.line}:{problem.column}:"
                              f" {problem.message}", "nothing was renamed; fix the file first")


def _refuse_report_measure(project: Project, old: str) -> None:
    """Refuses a name that is a report's own measure, which this does not
    rename, with a word saying so."""
    try:
        tree = parse_expression(old)
    except ParseError:
        return
    if isinstance(tree, (BracketRef, TableColumnRef)):
        name = tree.name if isinstance(tree, BracketRef) else tree.column
        for report in project.reports:
            measure = report.measure(None, name)
            if measure is not None:
                raise RenameError(f"{old} is a measure of the report {report.name}, not of the model: renaming a"
                                  " report's own measures is not supported")


def _wanted(forms: tuple[str, ...]) -> Callable[[str], bool]:
    """Whether a text (a file's, or a JSON text inside a string) may spell
    one of `forms`: as they are, or escaped once or twice as JSON writes
    them."""
    variants = set(forms)
    for form in forms:
        once = json.dumps(form, ensure_ascii=False)[1:-1]
        variants.update({once, json.dumps(once, ensure_ascii=False)[1:-1]})
        variants.update({json.dumps(form)[1:-1].casefold(), json.dumps(once)[1:-1].casefold()})
    ordered = tuple(variants)

    def wanted(text: str) -> bool:
        folded = text.casefold()
        return any(variant in folded for variant in ordered)

    return wanted


def plan_rename(project: Project, old: str, new: str, *, kind: Kind | None = None, grammar: Grammar = "engine",
                separators: Separators = "comma", check: bool = True) -> Rename:
    """The rename of the object `old` names (DAX notation, see
    `targets.find_target`; `kind` picks one where it names several) to the
    bare name `new`, across `project`'s model and reports. Every file it
    rewrites is read back (unless `check` is False) and must give the same
    model and reports, the target under its new name. Raises RenameError."""
    project = _editable(project)
    _refuse_unreadable(project)
    model = project.model
    assert model is not None
    try:
        target = find_target(model, old, kind)
    except RenameError:
        _refuse_report_measure(project, old)
        raise
    files = {path: FileText(path, decode_text(original.data, path)) for path, original in project.originals.items()}
    model_files = {path: file for path, file in files.items() if report_of(path, project.reports) is None}
    forms = spellings(target.name)
    wanted = _wanted(forms)
    names_either = _wanted(forms + spellings(new))
    resolver = Resolver(model)
    try:
        places = model_names(model_files, wanted, names_either)
        expressions = [place.name for place in places if place.kind == "expression"]
        report_measures = [(formula.table, formula.name) for report in project.reports for formula in report.measures]
        check_new_name(model, target, new, report_measures, expressions)
        found = Findings(name_edits(places, model_files, target, new))
        model_formula_edits(resolver, model_files, target, new, forms, grammar, separators, found)
        for report in project.reports:
            report_edits(report, model, files, target, new, forms, wanted, grammar, separators, found)
    except SpliceError as error:
        raise RenameError(f"{error}: the files changed while they were read", "run the rename again") from None
    except (ValueError, ModelError) as error:  # a place that is not what its reader said: a fault of ours
        raise RenameError(f"internal error: {error}; nothing was written", "please report this with the files") from None
    by_file: dict[str, list[TextEdit]] = {}
    for edit in found.edits:
        by_file.setdefault(edit.path, []).append(edit)
    try:
        result = [file_edit(project.originals[path], changes) for path, changes in sorted(by_file.items())]
    except EditConflict as error:
        raise RenameError(f"internal error: {error}", "please report this with the files") from None
    plan = Rename(target, new, [edit for edit in result if edit.changed], found.mentions, found.file_mentions)
    if check and plan.edits:
        verify(project, plan, found.texts, resolver, grammar, separators)
    return plan


def rename(project: Project, old: str, new: str, **options: object) -> list[FileEdit]:
    """The file edits that rename the object `old` names to `new` (see
    `plan_rename`, which takes the same options); nothing is written."""
    return plan_rename(project, old, new, **options).edits  # type: ignore[arg-type]
