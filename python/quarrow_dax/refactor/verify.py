"""The check a rename passes before anything is written: the rewritten
files, read back from a scratch copy, must give the same model and reports
with the target under its new name and nothing else changed. The same
objects in the same order; every formula with the text the rename meant it
to have and the same syntax tree, the old name put in the new one's place;
every reference resolving as it did (so that `check` and `deps` say the
same, the new name for the old); every report field reference naming the
same field, of the same kind, in the same place."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ..model import (
    Column, Formula, Hierarchy, Model, ModelError, ModelObject, Relationship, Role, Table, TableObject, bracket,
    load_model, quote_table,
)
from ..project import Project
from ..report import FieldUse, Report, decide, load_report
from ..resolution import Resolution, Resolver
from ..syntax import (
    BracketRef, FunctionCall, HierarchyRef, Identifier, Node, ParseError, TableColumnRef, TableName, TableRef,
    parse_expression, parse_function,
)
from ..syntax.parsing import Grammar, Separators
from .dax import may_mention, spellings
from .targets import RenameError, Target

if TYPE_CHECKING:
    from .planning import Rename

__all__ = ["report_of", "verify"]

# The fields of tree nodes that hold a name a rename may change.
_NAME_FIELDS: dict[type, str] = {
    Identifier: "name", TableName: "name", BracketRef: "name", TableColumnRef: "column", HierarchyRef: "column",
    FunctionCall: "name",
}


class _Names:
    """The names of the old model as the new one should spell them."""

    def __init__(self, target: Target, new: str) -> None:
        self.target = target
        self.new = new
        self.old = target.name.casefold()
        self.table_renamed = target.kind == "table"

    def table(self, name: str | None) -> str | None:
        if self.table_renamed and name is not None and name.casefold() == self.old:
            return self.new
        return name

    def member(self, table: str | None, name: str, kinds: tuple[str, ...]) -> str:
        target = self.target
        if (target.kind in kinds and name.casefold() == self.old
                and (table or "").casefold() == (target.table or "").casefold()):
            return self.new
        return name

    def dax(self, found: ModelObject | None) -> str | None:
        """An object of the old model in DAX notation, renamed."""
        if found is None:
            return None
        if found is self.target.object:
            return self.target.renamed_dax(self.new)
        if isinstance(found, TableObject):
            return quote_table(self.table(found.table) or "") + bracket(found.name)
        return found.dax


def _fail(message: str) -> RenameError:
    return RenameError(f"the renamed files would not read back as the same model and reports: {message};"
                       " nothing was written", "please report this with the files")


# Where the scratch copies go: a file system in memory where the system has
# one (a TMDL model or PBIR report is a tree of many small files, which some
# disks are slow to make and remove), else the usual temporary folder.
_MEMORY = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK | os.X_OK) else None


def _absolute(path: str) -> Path:
    return Path(os.path.abspath(path))


def report_of(path: str, reports: Sequence[Report]) -> int | None:
    """The index of the report among `reports` whose folder holds the file
    `path`; None for a file of none (the model's)."""
    where = _absolute(path)
    for index, report in enumerate(reports):
        if _absolute(report.path) in where.parents:
            return index
    return None


def _scratch(folder: str, root: Path, files: dict[str, bytes]) -> Path:
    """Copies of `files` (their paths under `root`) under `folder`; the
    copy of `root`."""
    copy = Path(folder) / root.name
    for path, data in files.items():
        target = copy / _absolute(path).relative_to(root)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
    return copy


def _model_root(files: Sequence[str]) -> Path:
    """The folder of the model's files: the TMDL definition folder, or the
    folder of the .bim file."""
    absolute = [str(_absolute(path)) for path in files]
    return Path(os.path.commonpath(absolute)) if len(absolute) > 1 else Path(absolute[0]).parent


def verify(project: Project, plan: Rename, texts: dict[int, str], resolver: Resolver, grammar: Grammar,
           separators: Separators) -> None:
    """Raises RenameError when the files `plan` rewrites would not read back
    as described in the module's documentation. `texts` holds the new text
    of each formula the rename changes (by the old formula's id);
    `resolver` is the old model's."""
    old_model = project.model
    assert old_model is not None
    names = _Names(plan.target, plan.new)
    new_bytes = {edit.path: edit.data for edit in plan.edits}
    by_report: dict[int | None, dict[str, bytes]] = {}
    for path, original in project.originals.items():
        by_report.setdefault(report_of(path, project.reports), {})[path] = new_bytes.get(path, original.data)
    # The memory file system first; full or closed to us, the usual place.
    places = [_MEMORY, None] if _MEMORY is not None else [None]
    for place in places:
        try:
            with tempfile.TemporaryDirectory(prefix="quarrow-dax-rename-", dir=place) as folder:
                _verify_in(folder, project, texts, resolver, grammar, separators, names, by_report, new_bytes)
            return
        except OSError as error:
            if place is places[-1]:
                raise RenameError(f"cannot make the scratch copy the renamed files are checked in: {error};"
                                  " nothing was written") from None


def _verify_in(folder: str, project: Project, texts: dict[int, str], resolver: Resolver, grammar: Grammar,
               separators: Separators, names: _Names, by_report: dict[int | None, dict[str, bytes]],
               new_bytes: dict[str, bytes]) -> None:
    """`verify`, its scratch copies made in `folder`."""
    old_model = project.model
    assert old_model is not None
    model_files = by_report.get(None, {})
    root = _model_root(list(model_files))
    copy = _scratch(os.path.join(folder, "model"), root, model_files)
    errors: list[ModelError] = []
    source = copy / Path(old_model.path).name if Path(old_model.path).is_file() else copy
    new_model = load_model(source, errors, [])
    if errors:
        raise _fail(f"{errors[0].message} (in {Path(errors[0].file).relative_to(copy)})")
    _same_objects(old_model, new_model, names)
    _same_formulas(old_model.formulas, new_model.formulas, texts, names, old_model)
    _same_resolutions(resolver, Resolver(new_model), names, grammar, separators)
    for index, report in enumerate(project.reports):
        files = by_report.get(index, {})
        if any(path in new_bytes for path in files):
            copy = _scratch(os.path.join(folder, f"report{index}"), _absolute(report.path), files)
            renamed = load_report(copy, new_model, max_file_size=0)
            _same_report(report, renamed, names, texts, _absolute(report.path), copy)
        else:
            _same_report(report, decide(report, new_model), names, texts, None, None)


def _same_objects(old: Model, new: Model, names: _Names) -> None:
    before, after = list(old.objects()), list(new.objects())
    if len(before) != len(after):
        raise _fail(f"{len(after)} objects read back, not {len(before)}")
    kinds = {"column": ("column",), "measure": ("measure",), "hierarchy": (), "calculation item": ("calculation item",)}
    for a, b in zip(before, after):
        if type(a) is not type(b):
            raise _fail(f"{b.kind} {b.dax} where {a.kind} {a.dax} was")
        expected: tuple[Any, ...]
        if a is names.target.object:
            expected = (names.new,)
        elif isinstance(a, Table):
            expected = (names.table(a.name),)
        elif isinstance(a, TableObject):
            expected = (names.member(a.table, a.name, kinds.get(a.kind, ())), names.table(a.table))
        elif isinstance(a, (Role,)):
            expected = (a.name, [names.table(table) for table in a.tables])
        else:
            expected = (a.name,)
        if isinstance(a, TableObject) and a is names.target.object:
            expected = (names.new, names.table(a.table))
        got: tuple[Any, ...] = (b.name,)
        if isinstance(b, TableObject):
            got = (b.name, b.table)
        elif isinstance(b, Role):
            got = (b.name, b.tables)
        if got != expected:
            raise _fail(f"{b.kind} {b.dax} read back where {names.dax(a)} was expected")
        if isinstance(a, Column) and isinstance(b, Column) and a.sort_by is not None:
            if names.member(a.table, a.sort_by, ("column",)) != b.sort_by:
                raise _fail(f"the sort-by column of {b.dax} reads back as {b.sort_by!r}")
        if isinstance(a, Hierarchy) and isinstance(b, Hierarchy):
            if [names.member(a.table, level.column, ("column",)) for level in a.levels] != [
                    level.column for level in b.levels]:
                raise _fail(f"the levels of {b.dax} read back with other columns")
        if isinstance(a, Relationship) and isinstance(b, Relationship):
            ends = (names.table(a.from_table), names.member(a.from_table, a.from_column, ("column",)),
                    names.table(a.to_table), names.member(a.to_table, a.to_column, ("column",)))
            if ends != (b.from_table, b.from_column, b.to_table, b.to_column):
                raise _fail(f"{b.dax} reads back with other ends")


def _formula_name(formula: Formula, model: Model, names: _Names) -> str:
    """The name a formula of the old model should read back with: its
    owner's, when that is the target (not a calculation group's format
    string, named by its property)."""
    if model.owner(formula) is names.target.object and formula.name.casefold() == names.old:
        return names.new
    return formula.name


def _same_formulas(old: Sequence[Formula], new: Sequence[Formula], texts: dict[int, str], names: _Names,
                   model: Model | None) -> None:
    if len(old) != len(new):
        raise _fail(f"{len(new)} formulas read back, not {len(old)}")
    for a, b in zip(old, new):
        expected_name = _formula_name(a, model, names) if model is not None else a.name
        text = texts.get(id(a), a.text)
        if (a.kind, names.table(a.table), expected_name, text) != (b.kind, b.table, b.name, b.text):
            raise _fail(f"the {a.kind} {a.name!r} reads back otherwise")
        if id(a) in texts and not _same_tree(a, b, names):
            raise _fail(f"the {a.kind} {a.name!r} parses to another tree")


def _tree(formula: Formula) -> Node | None:
    try:
        return parse_function(formula.text) if formula.kind == "function" else parse_expression(formula.text)
    except ParseError:
        return None


def _same_tree(a: Formula, b: Formula, names: _Names) -> bool:
    """Whether `b` parses to the tree of `a` with the old name put in the
    new one's place (a table name may gain or lose its quotes)."""
    before, after = _tree(a), _tree(b)
    if before is None or after is None:
        return before is None and after is None
    old, new = names.old, names.new
    stack: list[tuple[Any, Any]] = [(before, after)]
    while stack:
        x, y = stack.pop()
        if isinstance(x, Node):
            if type(x) is not type(y):
                if {type(x), type(y)} != {Identifier, TableRef}:
                    return False
                x_name = x.name if isinstance(x, Identifier) else x.table.name  # type: ignore[attr-defined]
                y_name = y.name if isinstance(y, Identifier) else y.table.name
                if x_name.casefold() != old or y_name != new:
                    return False
                continue
            renamed_field = _NAME_FIELDS.get(type(x))
            for field in x._fields:
                u, v = getattr(x, field), getattr(y, field)
                if field == renamed_field and u != v:
                    if u.casefold() != old or v != new:
                        return False
                elif isinstance(x, TableName) and field == "quoted":
                    if u != v and x.name.casefold() != old:
                        return False
                else:
                    stack.append((u, v))
        elif isinstance(x, tuple):
            if not isinstance(y, tuple) or len(x) != len(y):
                return False
            stack.extend(zip(x, y))
        elif x != y:
            return False
    return True


def _resolution_key(found: Resolution, names: _Names | None) -> tuple[Any, ...]:
    ref = found.reference
    name, table = ref.name, ref.table
    dax = (lambda obj: obj.dax if obj is not None else None) if names is None else names.dax
    if names is not None:
        target = names.target
        if found.target is target.object and ref.kind in ("bracket", "column", "hierarchy", "function", "table"):
            name = names.new if name.casefold() == names.old else name
        if ref.target is None and ref.kind in ("column", "hierarchy"):
            table = names.table(table)
    return (ref.kind, name, table, ref.levels, ref.argument, ref.parent, ref.target, found.status, found.how,
            dax(found.target), tuple(dax(candidate) for candidate in found.candidates))


def _resolutions(resolver: Resolver, formula: Formula, grammar: Grammar,
                 separators: Separators) -> list[Resolution] | None:
    try:
        refs = resolver.formula_references(formula, grammar=grammar, separators=separators)
    except ParseError:
        return None
    return resolver.resolve(formula, refs)


def _meaning(key: tuple[Any, ...]) -> str:
    """What a reference means, from its `_resolution_key`."""
    if key[9] is not None:
        return str(key[9])
    if key[10]:
        return "any of " + ", ".join(key[10])
    status = str(key[7])
    return {"unknown": "nothing in the model", "local": "a name of the formula's own"}.get(status, status)


def _same_resolutions(old: Resolver, new: Resolver, names: _Names, grammar: Grammar, separators: Separators) -> None:
    """Every reference of the formulas that may name the old name or the new
    one resolves as it did: no other formula's references can, as the
    rename changes only what these two names mean."""
    forms = spellings(names.target.name) + spellings(names.new)
    for formula, renamed in zip(old.model.formulas, new.model.formulas):
        if not may_mention(formula.text, forms):
            continue
        before = _resolutions(old, formula, grammar, separators)
        after = _resolutions(new, renamed, grammar, separators)
        if before is None or after is None:
            if before is not after:
                raise _fail(f"the {formula.kind} {formula.name!r} parses otherwise")
            continue
        expected = [_resolution_key(found, names) for found in before]
        got = [_resolution_key(found, None) for found in after]
        if expected != got:
            for found, want, have in zip(before, expected, got):
                if want != have:
                    line, column = found.line, found.column
                    raise RenameError(
                        f"{formula.file}:{line}:{column}: in the {formula.kind} {formula.name!r},"
                        f" {found.reference.text} would then mean {_meaning(have)} where it means {_meaning(want)}",
                        "the new name would change what this reference means: choose another name")
            raise _fail(f"the {formula.kind} {formula.name!r} reads back with other references")


def _use_key(use: FieldUse, names: _Names | None, root: Path | None) -> tuple[Any, ...]:
    table, name = use.table, use.name
    if names is not None:
        table = names.table(table)
        name = names.member(use.table, name, (use.kind,))
    file = str(_absolute(use.file).relative_to(root)) if root is not None else use.file
    return (table, name, use.kind, use.where, use.written, use.level, use.hierarchy, use.schema, use.page,
            use.visual, use.bookmark, file, use.line)


def _file_problems(report: Report) -> list[tuple[str, str, int]]:
    """The problems of a report's files, not of the model it names (its
    copy is read without `definition.pbir`)."""
    return [(problem.code, problem.severity, problem.line) for problem in report.problems
            if problem.path is not None and not problem.path.endswith("definition.pbir")
            and Path(problem.path) != Path(report.path)]


def _same_report(old: Report, new: Report, names: _Names, texts: dict[int, str], old_root: Path | None,
                 new_root: Path | None) -> None:
    where = f"the report {old.name}"
    if _file_problems(old) != _file_problems(new):
        raise _fail(f"{where} reads back with other problems")
    if len(old.uses) != len(new.uses):
        raise _fail(f"{where} reads back with {len(new.uses)} field references, not {len(old.uses)}")
    for a, b in zip(old.uses, new.uses):
        if _use_key(a, names, old_root) != _use_key(b, None, new_root):
            if a.kind == "unknown" and b.kind != "unknown":
                raise RenameError(f"{a.file}:{a.line}:{a.column}: {where} names {b.dax}, which the model lacks (a stale"
                                  f" {a.where} reference): after the rename it would mean the renamed {b.kind}",
                                  "choose another name, or remove the stale reference first")
            raise _fail(f"in {where}, a reference to {a.dax} reads back as {b.kind} {b.dax}")
    if len(old.formulas) != len(new.formulas):
        raise _fail(f"{where} reads back with other DAX")
    for before, after in zip(old.formulas, new.formulas):
        expected = (before.kind, names.table(before.table), texts.get(id(before.formula), before.text))
        if expected != (after.kind, after.table, after.text):
            raise _fail(f"the {before.kind} {before.name!r} of {where} reads back otherwise")
        if id(before.formula) in texts and not _same_tree(before.formula, after.formula, names):
            raise _fail(f"the {before.kind} {before.name!r} of {where} parses to another tree")
