"""Which object of the new side each object of the old side is.

Objects are matched kind by kind: tables, then within each pair of tables
their columns, hierarchies and calculation items; measures across the
model (a measure's name is unique in it, and a measure may move to another
table); functions, roles; relationships; and the report measures of each
pair of reports. In each group:

1. by lineage tag, where both objects have one (the saving tool keeps it
   through renames);
2. then by name, case ignored as DAX ignores it (an object deleted and made
   again under its name is the same object to every formula that names it);
3. then, for an object that vanished from one side and one that appeared on
   the other, by formula: the two are one renamed object when their main
   formulas mean the same (references to objects already matched count as
   the same references) and no other candidate has that formula. Matches
   found this way can make further ones, so the step is repeated until it
   finds nothing more;
4. then the same for what has no formula, by its make-up: a data column by
   its source column and data type, a table by its columns (name, source
   column, data type), measures and calculation items, a hierarchy by the columns of its
   levels. A rename leaves these as they were, where the formulas that name
   the object are rewritten.

Relationships have no names a person gives them: they are matched by name
(the saving tool's identifier), then by the columns they join.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Literal

from ..model import Column, Formula, Hierarchy, Model, ModelObject, Relationship, Table
from ..model.objects import name_key
from .formulas import FormulaComparer

__all__ = ["MAIN_KINDS", "Matching", "main_formula", "match_models"]

#: The formula kinds that define their object (rather than a format string,
#: a KPI or detail rows attached to it).
MAIN_KINDS = frozenset({"measure", "calculated column", "calculated table", "calculation item", "function",
                        "report measure"})

How = Literal["lineage tag", "name", "formula", "make-up", "columns"]


def main_formula(obj: ModelObject) -> Formula | None:
    """The formula that defines `obj`: a measure's expression, a calculated
    column's or table's, a calculation item's, a function's."""
    return next((formula for formula in obj.formulas if formula.kind in MAIN_KINDS), None)


@dataclass
class Matching:
    """The pairs of old and new objects, and how each was found."""

    _new_of: dict[int, ModelObject] = field(default_factory=dict)
    _old_of: dict[int, ModelObject] = field(default_factory=dict)
    _how: dict[int, How] = field(default_factory=dict)
    #: The pairs in the order they were made.
    pairs: list[tuple[ModelObject, ModelObject]] = field(default_factory=list)

    def pair(self, old: ModelObject, new: ModelObject, how: How) -> None:
        self._new_of[id(old)] = new
        self._old_of[id(new)] = old
        self._how[id(new)] = how
        self.pairs.append((old, new))

    def new_of(self, old: ModelObject) -> ModelObject | None:
        """The new object `old` is, if any."""
        return self._new_of.get(id(old))

    def old_of(self, new: ModelObject) -> ModelObject | None:
        return self._old_of.get(id(new))

    def how(self, new: ModelObject) -> How | None:
        return self._how.get(id(new))

    def unmatched(self, objects: Iterable[ModelObject], side: Literal["old", "new"]) -> list[ModelObject]:
        index = self._new_of if side == "old" else self._old_of
        return [obj for obj in objects if id(obj) not in index]


@dataclass
class _Group:
    """Objects that can only be one another: one kind, and for the members
    of a table, one pair of tables."""

    old: Sequence[ModelObject]
    new: Sequence[ModelObject]
    by_formula: bool = True


def _by_tag_and_name(matching: Matching, group: _Group, key: Callable[[ModelObject], str]) -> None:
    for tagged in (True, False):
        old = matching.unmatched(group.old, "old")
        new = matching.unmatched(group.new, "new")
        if not old or not new:
            return
        index: dict[str, list[ModelObject]] = {}
        for obj in new:
            found = obj.lineage_tag if tagged else key(obj)
            if found:
                index.setdefault(found, []).append(obj)
        olds: dict[str, list[ModelObject]] = {}
        for obj in old:
            found = obj.lineage_tag if tagged else key(obj)
            if found:
                olds.setdefault(found, []).append(obj)
        for found, objects in olds.items():
            candidates = index.get(found)
            # A tag or name given twice on one side says nothing for certain.
            if candidates is not None and len(candidates) == 1 and len(objects) == 1:
                matching.pair(objects[0], candidates[0], "lineage tag" if tagged else "name")


Identity = Callable[[ModelObject, Literal["old", "new"]], "object | None"]


def _by_identity(matching: Matching, group: _Group, identity: Identity, how: How) -> bool:
    """Pairs the vanished and appeared objects of `group` that have the same
    identity (None: none to go by), where that pairing is the only one
    possible. Whether any pair was made."""
    old = matching.unmatched(group.old, "old")
    new = matching.unmatched(group.new, "new")
    if not old or not new:
        return False
    appeared: dict[object, list[ModelObject]] = {}
    for obj in new:
        found = identity(obj, "new")
        if found is not None:
            appeared.setdefault(found, []).append(obj)
    made = False
    vanished: dict[object, list[ModelObject]] = {}
    for obj in old:
        found = identity(obj, "old")
        if found is not None:
            vanished.setdefault(found, []).append(obj)
    for found, olds in vanished.items():
        news = appeared.get(found, [])
        if len(olds) == 1 and len(news) == 1:
            matching.pair(olds[0], news[0], how)
            made = True
    return made


def _by_formula(matching: Matching, group: _Group, comparer: FormulaComparer) -> bool:
    """Pairs the vanished and appeared objects of `group` whose main
    formulas mean the same."""
    if not group.by_formula:
        return False

    def identity(obj: ModelObject, side: Literal["old", "new"]) -> bytes | None:
        formula = main_formula(obj)
        return comparer.identity(formula, side) if formula is not None else None

    return _by_identity(matching, group, identity, "formula")


def _column_make_up(column: ModelObject) -> tuple[str, str] | None:
    """A data column's source column and data type: what a rename keeps."""
    if main_formula(column) is not None or not column.properties.get("sourceColumn"):
        return None
    return column.properties["sourceColumn"], name_key(column.properties.get("dataType") or "")


def _make_up(matching: Matching) -> Identity:
    """The identity of an object without a formula, by what it is made of;
    what it names (a level's column) as the new object it is."""

    def identity(obj: ModelObject, side: Literal["old", "new"]) -> object | None:
        if main_formula(obj) is not None:
            return None
        if isinstance(obj, Column):
            return _column_make_up(obj)
        if isinstance(obj, Table):
            columns = sorted((name_key(column.name), *(_column_make_up(column) or ("", "")))
                             for column in obj.columns.values())
            measures = sorted(name_key(measure.name) for measure in obj.measures.values() if measure.kind == "measure")
            items = sorted(name_key(item.name) for item in obj.calculation_items.values())
            return (tuple(columns), tuple(measures), tuple(items)) if columns or measures or items else None
        if isinstance(obj, Hierarchy) and obj.levels:
            table = obj.table
            ends: list[object] = []
            for level in obj.levels:
                column = _table_column(matching, table, level.column, side)
                if column is None:
                    return None
                ends.append(id(column))
            return tuple(ends)
        return None

    return identity


def _table_column(matching: Matching, table_name: str, name: str, side: Literal["old", "new"]) -> ModelObject | None:
    """A column of a paired table, as the new object it is."""
    for old_table, new_table in matching.pairs:
        if not isinstance(new_table, Table) or not isinstance(old_table, Table):
            continue
        table = new_table if side == "new" else old_table
        if name_key(table.name) != name_key(table_name):
            continue
        column = next((found for found in table.columns.values() if name_key(found.name) == name_key(name)), None)
        if column is None or side == "new":
            return column
        return matching.new_of(column)
    return None


def _name(obj: ModelObject) -> str:
    return name_key(obj.name)


def _members(table: Table, kind: str) -> list[ModelObject]:
    if kind == "column":
        return list(table.columns.values())
    if kind == "hierarchy":
        return list(table.hierarchies.values())
    return list(table.calculation_items.values())


def _model_measures(tables: Iterable[Table]) -> list[ModelObject]:
    """The model's own measures (not a report's, which a model extended with
    a report's measures also holds)."""
    return [measure for table in tables for measure in table.measures.values() if measure.kind == "measure"]


def match_models(old: Model, new: Model, comparer: FormulaComparer, matching: Matching, *,
                 tables: tuple[Sequence[Table], Sequence[Table]] | None = None,
                 report_measures: Sequence[tuple[Sequence[ModelObject], Sequence[ModelObject]]] = ()) -> Matching:
    """Matches the objects of `old` with those of `new` into `matching` (see
    the module's documentation); `comparer` compares formulas through the
    same `matching`. `tables` are the tables to match, when not all of each
    model's (a model extended with a report's measures has tables that
    only hold those); `report_measures` are the report measures of each
    pair of reports (old, new), matched among themselves."""
    old_tables, new_tables = tables if tables is not None else (list(old.tables.values()), list(new.tables.values()))
    tables_group = _Group(old_tables, new_tables)
    _by_tag_and_name(matching, tables_group, _name)
    measures = _Group(_model_measures(old_tables), _model_measures(new_tables))
    _by_tag_and_name(matching, measures, _name)
    functions = _Group(list(old.functions.values()), list(new.functions.values()))
    _by_tag_and_name(matching, functions, _name)
    roles = _Group(list(old.roles.values()), list(new.roles.values()), by_formula=False)
    _by_tag_and_name(matching, roles, _name)
    reports = [_Group(list(olds), list(news)) for olds, news in report_measures]
    for group in reports:
        _by_tag_and_name(matching, group, _name)
    members: dict[int, list[_Group]] = {}

    def table_members() -> list[_Group]:
        """The member groups of every pair of tables, made (and matched by
        tag and name) once per pair."""
        groups = []
        for old_table, new_table in [(a, b) for a, b in matching.pairs if isinstance(a, Table)]:
            found = members.get(id(new_table))
            if found is None:
                assert isinstance(new_table, Table)
                found = members[id(new_table)] = [
                    _Group(_members(old_table, kind), _members(new_table, kind), by_formula=kind != "hierarchy")
                    for kind in ("column", "hierarchy", "calculation item")
                ]
                for group in found:
                    _by_tag_and_name(matching, group, _name)
            groups.extend(found)
        return groups

    groups = table_members()
    make_up = _make_up(matching)
    # Each round pairs at least one more object, or ends.
    while True:
        made = False
        for group in (tables_group, measures, functions, *reports, *groups):
            made = _by_formula(matching, group, comparer) or made
        if not made:
            for group in (tables_group, *groups):
                made = _by_identity(matching, group, make_up, "make-up") or made
        groups = table_members()
        if not made:
            break
    _match_relationships(matching, old, new)
    return matching


def _ends(model: Model, relationship: Relationship, matching: Matching | None) -> tuple[object, ...]:
    """What a relationship joins, comparable across the sides: each column as
    the new object it is (old columns through `matching`), else its names."""
    ends: list[object] = []
    for table, column_name in ((relationship.from_table, relationship.from_column),
                               (relationship.to_table, relationship.to_column)):
        column = model.column(table, column_name)
        if column is not None and matching is not None:
            column = matching.new_of(column)  # type: ignore[assignment]
        ends.append(id(column) if column is not None else (name_key(table), name_key(column_name)))
    return tuple(ends)


def _match_relationships(matching: Matching, old: Model, new: Model) -> None:
    group = _Group(old.relationships, new.relationships, by_formula=False)
    _by_tag_and_name(matching, group, _name)
    unmatched_new = matching.unmatched(new.relationships, "new")
    index: dict[tuple[object, ...], list[ModelObject]] = {}
    for relationship in unmatched_new:
        assert isinstance(relationship, Relationship)
        index.setdefault(_ends(new, relationship, None), []).append(relationship)
    for relationship in matching.unmatched(old.relationships, "old"):
        assert isinstance(relationship, Relationship)
        candidates = index.get(_ends(old, relationship, matching), [])
        if len(candidates) == 1:
            matching.pair(relationship, candidates.pop(), "columns")

