"""The properties compared between an object and its match, by kind, and
how each reads in a report.

A property the file leaves out has the value the format gives it then
(`model.PROPERTIES`: a relationship is active unless it says otherwise), so
that writing a default out is no change. A property that names another
object (a sort-by column, a relationship's columns, a measure's table, a
hierarchy level's column) is compared as the object it names: naming a
renamed column by its new name is no change.
"""

from __future__ import annotations

from ..model import (
    CalculationItem, Column, Hierarchy, Measure, Model, ModelObject, Relationship, Role, Table, bracket, quote_table,
)
from ..model.objects import PROPERTIES, name_key
from ..report.extension import ReportMeasure
from .matching import Matching

__all__ = ["property_changes"]

# The properties compared for each kind, as (what a report calls it, the
# name the file gives it).
_COMMON = (("hidden", "isHidden"), ("display folder", "displayFolder"))
_BY_KIND: dict[type, tuple[tuple[str, str], ...]] = {
    Column: (("data type", "dataType"), ("format string", "formatString"), *_COMMON, ("source column", "sourceColumn"),
             ("data category", "dataCategory"), ("summarize by", "summarizeBy"), ("key", "isKey")),
    Measure: (("format string", "formatString"), *_COMMON, ("data type", "dataType")),
    ReportMeasure: (("data type", "dataType"), ("format string", "formatString")),
    Table: (("hidden", "isHidden"), ("data category", "dataCategory"), ("precedence", "precedence")),
    Hierarchy: _COMMON,
    CalculationItem: (),
    Relationship: (("from cardinality", "fromCardinality"), ("to cardinality", "toCardinality"),
                   ("cross-filtering", "crossFilteringBehavior"), ("security filtering", "securityFilteringBehavior")),
    Role: (("model permission", "modelPermission"),),
}

PropertyChange = tuple[str, "str | None", "str | None"]


def _value(obj: ModelObject, key: str) -> str | None:
    return obj.properties.get(key, PROPERTIES.get(key))


def _same(old: str | None, new: str | None) -> bool:
    """Values compare as the engine reads them: flags and the words of
    enumerations ignore case; other text does not."""
    if old is None or new is None:
        return old is new
    return old == new or (old.casefold() == new.casefold() and old.casefold() in ("true", "false"))


def property_changes(old: ModelObject, new: ModelObject, matching: Matching, old_model: Model,
                     new_model: Model) -> list[PropertyChange]:
    """(property, old value, new value) for each property that differs."""
    found: list[PropertyChange] = []
    for label, key in _BY_KIND.get(type(new), ()):
        before, after = _value(old, key), _value(new, key)
        if not _same(before, after):
            found.append((label, before, after))
    names = _Names(matching, old_model)
    if isinstance(old, Column) and isinstance(new, Column):
        before = names.column(old.table, old.sort_by) if old.sort_by else None
        after = quote_table(new.table) + bracket(new.sort_by) if new.sort_by else None
        if not names.same(before, after):
            found.append(("sort by", old.sort_by, new.sort_by))
    elif isinstance(old, Measure) and isinstance(new, Measure):
        before = names.table(old.table)
        if not names.same(before, quote_table(new.table)):
            found.append(("table", quote_table(old.table), quote_table(new.table)))
    elif isinstance(old, Relationship) and isinstance(new, Relationship):
        for label, (before, old_text), (after, new_text) in (
            ("from", names.end(old.from_table, old.from_column), _end(new.from_table, new.from_column)),
            ("to", names.end(old.to_table, old.to_column), _end(new.to_table, new.to_column)),
        ):
            if not names.same(before, after):
                found.append((label, old_text, new_text))
        if old.active != new.active:
            found.append(("active", _flag(old.active), _flag(new.active)))
    elif isinstance(old, Hierarchy) and isinstance(new, Hierarchy):
        before_levels = [names.column(old.table, level.column) for level in old.levels]
        after_levels = [quote_table(new.table) + bracket(level.column) for level in new.levels]
        if len(before_levels) != len(after_levels) or not all(
                names.same(a, b) for a, b in zip(before_levels, after_levels)):
            found.append(("levels", ", ".join(bracket(level.column) for level in old.levels),
                          ", ".join(bracket(level.column) for level in new.levels)))
    elif isinstance(old, Table) and isinstance(new, Table):
        order = _item_order(old, new, matching)
        if order is not None:
            found.append(("calculation item order", *order))
    return found


def _flag(value: bool) -> str:
    return "true" if value else "false"


def _end(table: str, column: str) -> tuple[str, str]:
    text = quote_table(table) + bracket(column)
    return text, text


class _Names:
    """Names of the old side written as the new side names the same objects."""

    def __init__(self, matching: Matching, old_model: Model) -> None:
        self.matching = matching
        self.model = old_model

    def table(self, name: str) -> str:
        found = self.model.table(name)
        counterpart = self.matching.new_of(found) if found is not None else None
        return quote_table(counterpart.name if counterpart is not None else name)

    def column(self, table: str, name: str) -> str:
        found = self.model.column(table, name)
        counterpart = self.matching.new_of(found) if found is not None else None
        if isinstance(counterpart, Column):
            return quote_table(counterpart.table) + bracket(counterpart.name)
        return self.table(table) + bracket(name)

    def end(self, table: str, column: str) -> tuple[str, str]:
        """A relationship's end as the new side names it, and as the old
        side wrote it."""
        return self.column(table, column), quote_table(table) + bracket(column)

    @staticmethod
    def same(before: str | None, after: str | None) -> bool:
        if before is None or after is None:
            return before is after
        return name_key(before) == name_key(after)


def _item_order(old: Table, new: Table, matching: Matching) -> tuple[str, str] | None:
    """The order of the calculation items both sides have, when it differs:
    by ordinal where one is given, else as declared; each side's list in the
    new names."""
    def ordered(items: list[CalculationItem]) -> list[CalculationItem]:
        return [item for _, _, item in sorted(
            (_ordinal(item), index, item) for index, item in enumerate(items))]

    before = [counterpart for item in ordered(list(old.calculation_items.values()))
              if isinstance(counterpart := matching.new_of(item), CalculationItem)]
    after = [item for item in ordered(list(new.calculation_items.values())) if matching.old_of(item) is not None]
    if [id(item) for item in before] == [id(item) for item in after]:
        return None
    return ", ".join(item.name for item in before), ", ".join(item.name for item in after)


def _ordinal(item: CalculationItem) -> float:
    text = item.properties.get("ordinal")
    try:
        return float(text) if text is not None else float("inf")
    except ValueError:
        return float("inf")

