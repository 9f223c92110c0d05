"""What keeps a model that reads from being deployed: names declared twice
(the engine compares names without regard to case) and the model's own
structure naming tables or columns it does not have (relationships, role
permissions, hierarchy levels, sort-by columns). Each problem is placed in
the model file; a name declared twice is a problem at both declarations."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from dataclasses import dataclass

from ..close_names import CloseNames
from .objects import (
    CalculationItem, Column, Function, Hierarchy, Measure, Model, ModelObject, Relationship, Role, Table, bracket,
    name_key, quote_table,
)

__all__ = ["DUPLICATE_NAME", "MISSING_OBJECT", "ModelProblem", "model_problems"]

#: The codes of the two kinds of problem (quarrow_dax.diagnostics.RULES).
DUPLICATE_NAME = "E011"
MISSING_OBJECT = "E012"


@dataclass(frozen=True)
class ModelProblem:
    """One problem at one place of a model file: its `code`, the `kind` a
    report names it by ("name" or "reference"), the `message`, the file,
    line and column (1-based), the object it concerns (`obj`, its kind and
    name in DAX notation) and a `hint` when there is one."""

    code: str
    kind: str
    message: str
    file: str
    line: int
    column: int
    obj: ModelObject
    hint: str | None = None

    @property
    def object_kind(self) -> str:
        return self.obj.kind

    @property
    def object_name(self) -> str:
        """The object's name as DAX writes it, without its kind in front
        (a relationship's and a role's `dax` has it)."""
        name = self.obj.dax
        prefix = self.obj.kind + " "
        return name[len(prefix):] if name.startswith(prefix) else name


def model_problems(model: Model, *, whole: bool = True) -> list[ModelProblem]:
    """The duplicate names of `model` and, when it was read `whole` (what a
    relationship or a role names may be in a part that was not read), what
    its structure names that it does not have; in file order."""
    found = list(_duplicates(model))
    if whole:
        found += _missing(model)
    return sorted(found, key=lambda problem: (problem.file, problem.line, problem.column))


# --- names declared twice ------------------------------------------------------------


def _what(obj: ModelObject) -> str:
    dax = obj.dax  # a role's and a relationship's name their kind already
    return dax if dax.startswith(obj.kind + " ") else f"{obj.kind} {dax}"


def _where(obj: ModelObject, beside: ModelObject) -> str:
    return f"line {obj.line}" if obj.file == beside.file else f"{obj.file}:{obj.line}"


def _scope(later: ModelObject, earlier: ModelObject) -> str:
    if isinstance(later, Measure) and isinstance(earlier, Measure):
        return "measure names are unique in a model"
    if isinstance(later, (Column, Measure, Hierarchy)) and isinstance(earlier, (Column, Measure, Hierarchy)):
        return "a table's columns, measures and hierarchies share one set of names"
    if isinstance(later, CalculationItem):
        return "a calculation group's items have names of their own"
    if isinstance(later, (Table, Function, Role)):
        return f"{later.kind} names are unique in a model"
    return "names are unique here"


def _duplicates(model: Model) -> Iterator[ModelProblem]:
    for later, earlier in model.duplicates:
        same = "the name of" if later.name == earlier.name else "the name, but for case, of"
        scope = _scope(later, earlier)
        hint = "names compare without regard to case, and the model cannot be deployed with both: rename one"
        yield ModelProblem(
            DUPLICATE_NAME, "name", f"{_what(later)} has {same} {_what(earlier)} ({_where(earlier, later)}): {scope}",
            later.file, later.line, later.column, later, hint)
        yield ModelProblem(
            DUPLICATE_NAME, "name", f"{_what(earlier)} is declared again as {_what(later)} ({_where(later, earlier)}):"
            f" {scope}", earlier.file, earlier.line, earlier.column, earlier, hint)


# --- names the structure uses ------------------------------------------------------------


class _Lookup:
    """Checks that a table, or a column of a table, exists, and words the
    problem when it does not."""

    def __init__(self, model: Model) -> None:
        self.model = model
        self.tables: CloseNames | None = None
        self.columns: dict[int, CloseNames] = {}

    def table(self, name: str) -> tuple[str, str | None] | None:
        """None when the table exists; else (what is missing, hint)."""
        if self.model.table(name) is not None:
            return None
        if self.tables is None:
            self.tables = CloseNames(table.name for table in self.model.tables.values())
        close = self.tables.closest(name)
        return (f"table {quote_table(name)}, which the model does not have",
                f"did you mean {quote_table(close)}?" if close else None)

    def column(self, table_name: str, name: str) -> tuple[str, str | None] | None:
        missing = self.table(table_name)
        if missing is not None:
            return missing
        table = self.model.table(table_name)
        assert table is not None
        if name_key(name) in table.columns:
            return None
        names = self.columns.get(id(table))
        if names is None:
            names = self.columns[id(table)] = CloseNames(column.name for column in table.columns.values())
        close = names.closest(name)
        return (f"column {quote_table(table.name)}{bracket(name)}, which table {quote_table(table.name)} does not"
                " have", f"did you mean {bracket(close)}?" if close else None)


def _place(obj: ModelObject, key: str) -> tuple[int, int]:
    return obj.places.get(key, (obj.line, obj.column))


_Missing = tuple[str, "str | None"]
_Problem = Callable[[ModelObject, tuple[int, int], str, _Missing], ModelProblem]


def _problem(obj: ModelObject, place: tuple[int, int], what: str, missing: _Missing) -> ModelProblem:
    text, hint = missing
    return ModelProblem(MISSING_OBJECT, "reference", f"{what} names {text}", obj.file, *place, obj, hint)


def _missing(model: Model) -> Iterator[ModelProblem]:
    lookup = _Lookup(model)
    problem = _problem

    for relationship in model.relationships:
        yield from _relationship(relationship, lookup, problem)
    for role in model.roles.values():
        for key in role.places:
            if key.startswith("tablePermission "):
                missing = lookup.table(key[len("tablePermission "):])
                if missing is not None:
                    yield problem(role, role.places[key], f"the permission of role {quote_table(role.name)}", missing)
    for table in model.tables.values():
        for column in table.columns.values():
            if column.sort_by:
                missing = lookup.column(table.name, column.sort_by)
                if missing is not None:
                    yield problem(column, _place(column, "sortByColumn"), f"the sort-by column of {column.dax}",
                                  missing)
        for hierarchy in table.hierarchies.values():
            for level in hierarchy.levels:
                if not level.column:
                    continue
                missing = lookup.column(table.name, level.column)
                if missing is not None:
                    place = (level.line, level.position) if level.line else (hierarchy.line, hierarchy.column)
                    yield problem(hierarchy, place, f"level {bracket(level.name)} of hierarchy {hierarchy.dax}",
                                  missing)


def _relationship(relationship: Relationship, lookup: _Lookup, problem: _Problem) -> Iterator[ModelProblem]:
    for side, table, column in (("from", relationship.from_table, relationship.from_column),
                                ("to", relationship.to_table, relationship.to_column)):
        if not table:
            continue  # not written: nothing to look up
        missing = lookup.column(table, column) if column else lookup.table(table)
        if missing is None:
            continue
        # A .bim file names the table and the column apart, TMDL in one property.
        key = f"{side}Table" if missing[0].startswith("table") and f"{side}Table" in relationship.places \
            else f"{side}Column"
        yield problem(relationship, _place(relationship, key), f"relationship {relationship.name!r} ({side})", missing)
