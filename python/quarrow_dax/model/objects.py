"""The objects a model declares (`Table`, `Column`, `Measure`, ...,
`Relationship`, `Role`, `Function`), each with its place and formulas, and
the `Model` that holds them; and how DAX writes and compares their names."""

from __future__ import annotations

import dataclasses
import re
import weakref
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import ClassVar

from .formulas import Formula

__all__ = [
    "PROPERTIES", "CalculationItem", "Column", "Function", "Hierarchy", "Level", "Measure", "Model", "ModelObject",
    "Partition", "Relationship", "Role", "Table", "TableObject", "bracket", "name_key", "quote_table",
]


#: The properties an object keeps (`ModelObject.properties`), and what
#: each is when the file does not set it (None: nothing).
PROPERTIES: dict[str, str | None] = {
    "dataType": None, "formatString": None, "displayFolder": None, "isHidden": "false", "sortByColumn": None,
    "sourceColumn": None, "dataCategory": None, "summarizeBy": None, "isKey": "false", "ordinal": None,
    "precedence": None, "fromCardinality": "many", "toCardinality": "one", "crossFilteringBehavior": "oneDirection",
    "securityFilteringBehavior": "oneDirection", "isActive": "true", "modelPermission": None,
}


def name_key(name: str) -> str:
    """How names are compared: DAX and the model's tools ignore case."""
    return name.casefold()


def quote_table(name: str) -> str:
    """A table's name as DAX writes it: 'Sales', quotes doubled."""
    return "'" + name.replace("'", "''") + "'"


def bracket(name: str) -> str:
    """A column's or measure's name as DAX writes it: [Margin %], `]` doubled."""
    return "[" + name.replace("]", "]]") + "]"


@dataclass(eq=False)
class ModelObject:
    """Something a model declares, where it does so: `file`, and the 1-based
    `line` and `column` of its declaration (in a .bim file, of its name).
    Objects are compared by identity: each is one thing of one model."""

    name: str
    file: str
    line: int
    column: int
    #: The DAX formulas that belong to it: a measure's expression, format
    #: string, detail rows and KPI expressions; a calculated column's or
    #: table's expression; a role's filters; a function's text.
    formulas: list[Formula] = field(default_factory=list, repr=False)
    #: In a .bim file, the (start, end) character offsets of its JSON object.
    extent: tuple[int, int] | None = field(default=None, repr=False)
    #: Where some of its properties stand, (line, column) by the name of the
    #: property as the file writes it ("fromColumn", "sortByColumn", ...;
    #: "tablePermission <table>" for a role's permission on a table).
    places: dict[str, tuple[int, int]] = field(default_factory=dict, repr=False)
    #: Its lineage tag (`lineageTag`): the identity the saving tool gives it,
    #: kept through renames. None when the file gives none.
    lineage_tag: str | None = field(default=None, repr=False)
    #: The properties of `PROPERTIES` that the file sets on it, by their name
    #: (the same in TMSL and TMDL), each value as text: true and false for a
    #: flag, a number as written, a TMDL value without its quotes.
    properties: dict[str, str] = field(default_factory=dict, repr=False)

    #: What it is, as reports name it.
    kind: ClassVar[str] = "object"

    @property
    def dax(self) -> str:
        """Its name in DAX notation, as `check` names formulas' objects."""
        return self.name


@dataclass(eq=False)
class TableObject(ModelObject):
    """Something declared in a table, named `'Table'[Name]` in DAX."""

    table: str = ""

    @property
    def dax(self) -> str:
        return quote_table(self.table) + bracket(self.name)


@dataclass(eq=False)
class Column(TableObject):
    """A column: "data" (from the source), "calculated" (a formula of its
    own), "calculated table column" (made by its calculated table's formula)
    or "row number" (the hidden `RowNumber-...` column the engine keeps in
    every table, which no formula can name). `sort_by` names the column of
    the same table it is sorted by; `data_type` is the model's word for the
    type of its values ("string", "int64", ...), when the file says it."""

    type: str = "data"
    sort_by: str | None = None
    data_type: str | None = None
    kind: ClassVar[str] = "column"


@dataclass(eq=False)
class Measure(TableObject):
    kind: ClassVar[str] = "measure"


@dataclass(eq=False)
class Level:
    """One level of a hierarchy and the column it shows; `line` and
    `position` (the column of the file, 1-based) where it is declared, 0
    when unknown."""

    name: str
    column: str
    line: int = 0
    position: int = 0


@dataclass(eq=False)
class Hierarchy(TableObject):
    levels: list[Level] = field(default_factory=list)
    kind: ClassVar[str] = "hierarchy"


@dataclass(eq=False)
class Partition(ModelObject):
    """A partition; `source` is its source type ("calculated", "m",
    "entity", "query", ...)."""

    table: str = ""
    source: str = ""
    kind: ClassVar[str] = "partition"


@dataclass(eq=False)
class CalculationItem(TableObject):
    kind: ClassVar[str] = "calculation item"


# Power BI's names for the tables of its auto date/time: a prefix, then a GUID.
_GENERATED_NAME = re.compile(
    r"(?:LocalDateTable|DateTableTemplate)_[0-9a-f]{8}(?:-[0-9a-f]{4}){3}-[0-9a-f]{12}\Z", re.IGNORECASE)
# The annotations Power BI writes on those tables, and reads to know them as its own.
_GENERATED_ANNOTATIONS = ("__PBI_LocalDateTable", "__PBI_TemplateDateTable")


@dataclass(eq=False)
class Table(ModelObject):
    """A table with its columns, measures, hierarchies and partitions (by
    name, case ignored, in declaration order), and for a calculation group
    its items. `annotations` holds the annotations on the table itself
    (name to value); `private` and `variations_only` its flags `isPrivate`
    and `showAsVariationsOnly`."""

    columns: dict[str, Column] = field(default_factory=dict, repr=False)
    measures: dict[str, Measure] = field(default_factory=dict, repr=False)
    hierarchies: dict[str, Hierarchy] = field(default_factory=dict, repr=False)
    partitions: list[Partition] = field(default_factory=list, repr=False)
    calculation_items: dict[str, CalculationItem] = field(default_factory=dict, repr=False)
    calculation_group: bool = False
    annotations: dict[str, str] = field(default_factory=dict, repr=False)
    private: bool = False
    variations_only: bool = False
    kind: ClassVar[str] = "table"

    @property
    def generated(self) -> bool:
        """Whether Power BI made the table itself, for its auto date/time: a
        `LocalDateTable_...` behind a date column's hierarchy, or the
        `DateTableTemplate_...` they are copied from. Known by the annotation
        Power BI marks them with (and removes them by when auto date/time is
        turned off); or, where a tool dropped annotations, by Power BI's name
        for them, a GUID included, on a table hidden as only Power BI hides
        its own (`showAsVariationsOnly`, `isPrivate`)."""
        if any(self.annotations.get(name, "").strip().lower() == "true" for name in _GENERATED_ANNOTATIONS):
            return True
        return (self.variations_only or self.private) and _GENERATED_NAME.match(self.name) is not None

    @property
    def dax(self) -> str:
        return quote_table(self.name)

    @property
    def calculated(self) -> bool:
        """Whether a DAX formula makes the table (a calculated partition)."""
        return any(partition.source == "calculated" for partition in self.partitions)


@dataclass(eq=False)
class Relationship(ModelObject):
    """A relationship from a column (the many side, as a rule) to another;
    an inactive one is used only where USERELATIONSHIP names it."""

    from_table: str = ""
    from_column: str = ""
    to_table: str = ""
    to_column: str = ""
    active: bool = True
    kind: ClassVar[str] = "relationship"

    @property
    def dax(self) -> str:
        ends = quote_table(self.from_table) + bracket(self.from_column)
        return f"relationship {ends} -> {quote_table(self.to_table)}{bracket(self.to_column)}"


@dataclass(eq=False)
class Role(ModelObject):
    """A security role; `tables` are those its row filters are on."""

    tables: list[str] = field(default_factory=list)
    kind: ClassVar[str] = "role"

    @property
    def dax(self) -> str:
        return "role " + quote_table(self.name)


@dataclass(eq=False)
class Function(ModelObject):
    """A user-defined function of the model."""

    kind: ClassVar[str] = "function"


@dataclass
class Model:
    """A tabular model read whole: its tables (by name, case ignored),
    relationships, roles and functions, every DAX formula in file order, and
    each formula's owner (`owner`). Read with `load_model`.

    Names that differ only in case are one name to the engine, which will
    not deploy a model that declares one twice where it must be unique: two
    tables, two measures anywhere in the model, a table's column, measure or
    hierarchy named alike, two items of a calculation group, two functions,
    two roles. Such a later object is not merged into the first: it keeps
    its own formulas and is listed in `duplicates` with the earlier one,
    while looking a name up finds the first."""

    path: str
    tables: dict[str, Table] = field(default_factory=dict)
    relationships: list[Relationship] = field(default_factory=list)
    roles: dict[str, Role] = field(default_factory=dict)
    functions: dict[str, Function] = field(default_factory=dict)
    formulas: list[Formula] = field(default_factory=list)
    # The rest by keyword only: a caller giving them by position would get
    # one for another the day a field is added.
    #: (later object, earlier object) for each name declared again.
    duplicates: list[tuple[ModelObject, ModelObject]] = field(default_factory=list, kw_only=True)
    _owners: dict[int, ModelObject] = field(default_factory=dict, repr=False, kw_only=True)
    _measures: dict[str, Measure] = field(default_factory=dict, repr=False, kw_only=True)
    _table_keys: frozenset[str] | None = field(default=None, repr=False, kw_only=True)

    def table_keys(self) -> frozenset[str]:
        """The tables' names as they are compared (`name_key`), made once:
        every formula of a large model asks."""
        if self._table_keys is None or len(self._table_keys) != len(self.tables):
            self._table_keys = frozenset(self.tables)
        return self._table_keys

    def table(self, name: str) -> Table | None:
        return self.tables.get(name_key(name))

    def column(self, table: str, name: str) -> Column | None:
        found = self.tables.get(name_key(table))
        return None if found is None else found.columns.get(name_key(name))

    def measure(self, name: str) -> Measure | None:
        """The measure of that name, in whichever table: measure names are
        unique in a model."""
        return self._measures.get(name_key(name))

    def function(self, name: str) -> Function | None:
        return self.functions.get(name_key(name))

    def owner(self, formula: Formula) -> ModelObject | None:
        """The object a formula of this model belongs to: the measure of its
        format string, the table of its calculated partition, the role of a
        row filter; None for a formula that is not this model's."""
        return self._owners.get(id(formula))

    def revised(self, formula: Formula, text: str) -> Formula:
        """`formula` of this model with a new `text` (a fix being tried),
        belonging to the same object. Where it sits in its file is the old
        text's: the file itself is not changed."""
        revised = dataclasses.replace(formula, text=text)
        owner = self._owners.get(id(formula))
        if owner is not None:
            self._owners[id(revised)] = owner
            # Owners are kept by the formula's id: forgotten with the formula,
            # before another object can take its id.
            weakref.finalize(revised, self._owners.pop, id(revised), None)
        return revised

    def objects(self) -> Iterator[ModelObject]:
        """Every table, column, measure, hierarchy, calculation item,
        relationship, role and function, in declaration order; then the
        objects that declare a name again (`duplicates`), with what a table
        among them holds."""
        seen: set[int] = set()
        for table in self.tables.values():
            yield from _table_objects(table, seen)
        yield from self.relationships
        yield from self.roles.values()
        yield from self.functions.values()
        for later, _ in self.duplicates:
            if isinstance(later, Table):
                yield from _table_objects(later, seen)
            elif id(later) not in seen:  # a member of a table's other dictionary is listed already
                seen.add(id(later))
                yield later


def _table_objects(table: Table, seen: set[int]) -> Iterator[ModelObject]:
    """The table and what it holds, noted in `seen`."""
    for obj in (table, *table.columns.values(), *table.measures.values(), *table.hierarchies.values(),
                *table.calculation_items.values()):
        seen.add(id(obj))
        yield obj
