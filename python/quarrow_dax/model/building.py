"""Building a `Model` from what the readers meet: `ModelBuilder` collects
the objects in the order they are declared and gives each formula its owner;
`BimObjects` finds them in a TMSL document, `TmdlObjects` in the statements
of a TMDL file."""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Any, TypeVar

from .formulas import Formula
from .json_reader import JsonReader
from .objects import (
    PROPERTIES, CalculationItem, Column, Function, Hierarchy, Level, Measure, Model, ModelObject, Partition,
    Relationship, Role, Table, name_key,
)

if TYPE_CHECKING:
    from .bim import BimReader
    from .tmdl import TmdlStatement

__all__ = ["BimObjects", "ModelBuilder", "TmdlObjects"]


O = TypeVar("O", bound=ModelObject)


class ModelBuilder:
    """Collects the objects the readers meet, in the order they meet them.

    A name declared again where names must be unique (case ignored, as the
    engine compares them) makes an object of its own, recorded in the
    model's `duplicates`: folding it into the first would give the first
    two formulas and invent a dependency of it on itself."""

    def __init__(self, path: str) -> None:
        self.model = Model(path)
        # The objects that one dictionary of the model would hold under one
        # name, by the id of the first (the one it holds): each formula goes
        # to the one it is declared in.
        self._namesakes: dict[int, list[ModelObject]] = {}
        # Formulas whose object the reader knew, by their id: where namesakes
        # stand at one place (a scan result places objects by their dataset).
        self._owned: dict[int, ModelObject] = {}

    def declare(self, members: dict[str, O], obj: O) -> O:
        """Adds `obj` to `members` (a dictionary of the model by name), or
        records it as a duplicate of the object of its name there."""
        key = name_key(obj.name)
        first = members.get(key)
        if first is None:
            members[key] = obj
        else:
            self.duplicate(obj, first)
            self._namesakes.setdefault(id(first), [first]).append(obj)
        return obj

    def own(self, formulas: list[Formula], obj: ModelObject) -> None:
        """Makes `obj` the object of `formulas`, whatever their place says."""
        for formula in formulas:
            self._owned[id(formula)] = obj

    def duplicate(self, later: ModelObject, earlier: ModelObject) -> None:
        self.model.duplicates.append((later, earlier))

    def table(self, name: str, file: str, line: int, column: int, extent: tuple[int, int] | None = None) -> Table:
        # A table met again under the same name (a script that repeats it)
        # keeps its first place; under a name that differs in case it is
        # another table, and a duplicate.
        found = self.model.tables.get(name_key(name))
        if found is not None and found.name == name:
            return found
        return self.declare(self.model.tables, Table(name, file, line, column, extent=extent))

    def role(self, name: str, file: str, line: int, column: int, extent: tuple[int, int] | None = None) -> Role:
        found = self.model.roles.get(name_key(name))
        if found is not None and found.name == name:
            return found
        return self.declare(self.model.roles, Role(name, file, line, column, extent=extent))

    def finish(self, formulas: list[Formula]) -> Model:
        model = self.model
        model.formulas = formulas
        for table in self._all_tables():
            if table.calculated:
                for column in table.columns.values():
                    if column.type == "data":
                        column.type = "calculated table column"
            self._shared_names(table)
            for measure in table.measures.values():
                first = model._measures.setdefault(name_key(measure.name), measure)
                if first is not measure:
                    self.duplicate(measure, first)
        for formula in formulas:
            owner = self._owned.get(id(formula)) or self.owner(formula)
            if owner is not None:
                model._owners[id(formula)] = owner
                owner.formulas.append(formula)
        return model

    def _all_tables(self) -> list[Table]:
        """The model's tables, and those that declare a table's name again."""
        tables = list(self.model.tables.values())
        tables += [later for later, _ in self.model.duplicates if isinstance(later, Table)]
        return tables

    def _shared_names(self, table: Table) -> None:
        """A table's columns, measures and hierarchies share one set of
        names: each name used by two of them is a duplicate at the later."""
        members: dict[str, list[ModelObject]] = {}
        for obj in (*table.columns.values(), *table.measures.values(), *table.hierarchies.values()):
            members.setdefault(name_key(obj.name), []).append(obj)
        for same in members.values():
            if len(same) > 1:
                same.sort(key=lambda obj: (obj.line, obj.column))
                for later in same[1:]:
                    self.duplicate(later, same[0])

    def owner(self, formula: Formula) -> ModelObject | None:
        model = self.model
        kind, name = formula.kind, formula.name
        if kind == "function":
            return self._placed(model.function(name), formula)
        if kind == "row-level security filter":
            return self._placed(model.roles.get(name_key(name)), formula)
        table = self._placed(model.table(formula.table or ""), formula)
        if not isinstance(table, Table):
            return None
        key = name_key(name)
        if kind == "calculated column":
            return self._placed(table.columns.get(key), formula)
        if kind == "calculation item":
            return self._placed(table.calculation_items.get(key), formula)
        if kind in ("calculated table", "multiple or empty selection expression", "no selection expression"):
            return table
        # Format strings, detail rows, KPIs: of a measure, a calculation item,
        # or (a table's default detail rows, a calculation group's
        # selection expressions) of the table.
        member = table.measures.get(key) or table.calculation_items.get(key)
        return self._placed(member, formula) if member is not None else table

    def _placed(self, found: ModelObject | None, formula: Formula) -> ModelObject | None:
        """Of `found` and the objects that declare its name again, the one
        `formula` is written in: in a .bim file the one whose JSON object
        holds the formula's text, in TMDL the last declared before it."""
        namesakes = self._namesakes.get(id(found)) if found is not None else None
        if not namesakes:
            return found
        same_file = [obj for obj in namesakes if obj.file == formula.file] or namesakes
        if formula.string_spans:
            offset = formula.string_spans[0][0]
            for obj in same_file:
                if obj.extent is not None and obj.extent[0] <= offset < obj.extent[1]:
                    return obj
        before = [obj for obj in same_file if (obj.line, obj.column) <= (formula.line, formula.column)]
        return max(before, key=lambda obj: (obj.line, obj.column)) if before else same_file[0]


# How TMSL (and TMDL's `type:` property) spell the column types that have
# a name of more than one word here.
_BIM_COLUMN_TYPES = {"calculatedTableColumn": "calculated table column", "rowNumber": "row number"}


def _position(json_reader: JsonReader, value: Any, owner: Any) -> tuple[int, int]:
    """Where a .bim object is: at its name when that has a position, else at
    its opening brace."""
    start: int | None = getattr(value, "start", None)
    return json_reader.position(getattr(owner, "start", 0) if start is None else start)


class BimObjects:
    """The objects of a TMSL document, through the reader's own checks."""

    def __init__(self, reader: BimReader, sink: ModelBuilder) -> None:
        self.reader = reader
        self.sink = sink
        self.file = reader.file

    def place(self, owner: dict[str, Any]) -> tuple[str, int, int]:
        return (self.file, *_position(self.reader.json, owner.get("name"), owner))

    def extent(self, owner: Any) -> tuple[int, int] | None:
        start, end = getattr(owner, "start", None), getattr(owner, "end", None)
        return None if start is None or end is None else (start, end)

    def value_place(self, owner: Any, key: str) -> tuple[int, int] | None:
        """(line, column) of the value of `owner[key]`, when it has one."""
        try:
            start, _ = owner.span(key)
        except (AttributeError, KeyError):
            return None
        return self.reader.json.position(start)

    def keep(self, found: ModelObject, owner: dict[str, Any]) -> None:
        """Gives `found` the lineage tag and the properties its JSON object
        sets: strings as they are, flags as true or false, numbers as written.
        The first object of a name met twice keeps what it had."""
        tag = owner.get("lineageTag")
        if found.lineage_tag is None and isinstance(tag, str):
            found.lineage_tag = tag
        for key, value in owner.items():
            if key not in PROPERTIES or key in found.properties:
                continue
            if isinstance(value, bool):
                found.properties[key] = "true" if value else "false"
            elif isinstance(value, (str, int, float)):
                found.properties[key] = str(value)

    def text(self, owner: dict[str, Any], key: str) -> str | None:
        value = owner.get(key)
        return value if isinstance(value, str) else None

    def database(self, root: Any) -> None:
        reader = self.reader
        sink = self.sink
        model = reader.model(root)
        for table in reader.objects(model, "tables"):
            self.table(table)
        for relationship in reader.objects(model, "relationships"):
            ends = [self.text(relationship, key) or "" for key in ("fromTable", "fromColumn", "toTable", "toColumn")]
            found = Relationship(
                reader.name(relationship), *self.place(relationship), from_table=ends[0], from_column=ends[1],
                to_table=ends[2], to_column=ends[3], active=relationship.get("isActive") is not False,
                extent=self.extent(relationship),
            )
            for key in ("fromTable", "fromColumn", "toTable", "toColumn"):
                self.note(found, key, self.value_place(relationship, key))
            self.keep(found, relationship)
            sink.model.relationships.append(found)
        for role in reader.objects(model, "roles"):
            found_role = sink.role(reader.name(role), *self.place(role), extent=self.extent(role))
            self.keep(found_role, role)
            for permission in reader.objects(role, "tablePermissions"):
                table_name = reader.name(permission)
                self.note(found_role, f"tablePermission {table_name}", self.value_place(permission, "name"))
                if permission.get("filterExpression") not in (None, "", []):
                    found_role.tables.append(table_name)
        for function in reader.objects(model, "functions"):
            name = reader.name(function)
            self.keep(sink.declare(sink.model.functions, Function(name, *self.place(function),
                                                                  extent=self.extent(function))), function)

    @staticmethod
    def note(obj: ModelObject, key: str, place: tuple[int, int] | None) -> None:
        if place is not None:
            obj.places.setdefault(key, place)

    def table(self, table: dict[str, Any]) -> None:
        reader = self.reader
        sink = self.sink
        name = reader.name(table)
        found = sink.table(name, *self.place(table), extent=self.extent(table))
        self.keep(found, table)
        for column in reader.objects(table, "columns"):
            column_name = reader.name(column)
            column_type = self.text(column, "type") or "data"
            column_type = _BIM_COLUMN_TYPES.get(column_type, column_type)
            made = sink.declare(found.columns, Column(
                column_name, *self.place(column), table=name, type=column_type,
                sort_by=self.text(column, "sortByColumn"), data_type=self.text(column, "dataType"),
                extent=self.extent(column),
            ))
            self.note(made, "sortByColumn", self.value_place(column, "sortByColumn"))
            self.keep(made, column)
        for measure in reader.objects(table, "measures"):
            measure_name = reader.name(measure)
            self.keep(sink.declare(found.measures, Measure(measure_name, *self.place(measure), table=name,
                                                           extent=self.extent(measure))), measure)
        for hierarchy in reader.objects(table, "hierarchies"):
            hierarchy_name = reader.name(hierarchy)
            levels = [Level(reader.name(level), self.text(level, "column") or "",
                            *(self.value_place(level, "column") or (0, 0)))
                      for level in reader.objects(hierarchy, "levels")]
            self.keep(sink.declare(found.hierarchies, Hierarchy(
                hierarchy_name, *self.place(hierarchy), table=name, levels=levels, extent=self.extent(hierarchy))),
                hierarchy)
        for partition in reader.objects(table, "partitions"):
            source = reader.object(partition, "source") or {}
            source_type = source.get("type") or "query"
            found.partitions.append(Partition(reader.name(partition), *self.place(partition), table=name,
                                              source=source_type if isinstance(source_type, str) else ""))
        found.private = found.private or table.get("isPrivate") is True
        found.variations_only = found.variations_only or table.get("showAsVariationsOnly") is True
        annotations = table.get("annotations")
        for annotation in annotations if isinstance(annotations, list) else []:
            if isinstance(annotation, dict) and isinstance(annotation.get("name"), str):
                value = annotation.get("value")
                found.annotations.setdefault(annotation["name"], value if isinstance(value, str) else "")
        group = reader.object(table, "calculationGroup")
        if group is not None:
            found.calculation_group = True
            self.keep(found, group)
            for item in reader.objects(group, "calculationItems"):
                item_name = reader.name(item)
                self.keep(sink.declare(found.calculation_items, CalculationItem(
                    item_name, *self.place(item), table=name, extent=self.extent(item))), item)


_TMDL_QUOTED = re.compile(r"'((?:[^']|'')*)'")


def _tmdl_value(text: str) -> str:
    """A property's value as TMDL writes it, in double quotes (doubled
    inside) where it needs them, or bare."""
    text = text.strip()
    if len(text) >= 2 and text[0] == text[-1] == '"':
        return text[1:-1].replace('""', '"')
    return text


def _tmdl_name(text: str) -> str:
    """A name as a TMDL property gives it, quoted or not."""
    text = text.strip()
    quoted = _TMDL_QUOTED.fullmatch(text)
    return quoted.group(1).replace("''", "'") if quoted else text


def _tmdl_column(text: str) -> tuple[str, str]:
    """(table, column) of a TMDL `Table.Column` value, either part quoted."""
    text = text.strip()
    quoted = _TMDL_QUOTED.match(text)
    if quoted is not None:
        table, rest = quoted.group(1).replace("''", "'"), text[quoted.end():]
    else:
        table, dot, after = text.partition(".")
        rest = dot + after
    return table, _tmdl_name(rest[1:]) if rest.startswith(".") else ""


class TmdlObjects:
    """The objects of a TMDL file, from the statements its reader meets: an
    object's declaration line, then its property lines below it."""

    def __init__(self, file: str, sink: ModelBuilder) -> None:
        self.file = file
        self.sink = sink

    def statement(self, line: int, stack: list[TmdlStatement], content: str) -> None:
        node = stack[-1]
        parent = stack[-2] if len(stack) >= 2 else None
        keyword, name = node.keyword, node.name
        place = (self.file, line, node.indent + 1)
        owner = parent.declared if parent is not None else None
        if name is not None:
            if parent is None:
                node.declared = self.top(keyword, name, place)
            elif keyword == "calculationItem" and parent.keyword == "calculationGroup":
                if isinstance(owner, Table):
                    node.declared = self.sink.declare(owner.calculation_items,
                                                      CalculationItem(name, *place, table=owner.name))
            elif isinstance(owner, Table) and keyword == "annotation":
                owner.annotations.setdefault(name, node.value or "")
            elif isinstance(owner, Table):
                node.declared = self.in_table(owner, keyword, name, node.value, place)
            elif isinstance(owner, Hierarchy) and keyword == "level":
                node.declared = Level(name, "", line, node.indent + 1)
                owner.levels.append(node.declared)
            elif isinstance(owner, Role) and keyword == "tablePermission":
                owner.tables.append(name)
                owner.places.setdefault(f"tablePermission {name}", (line, node.indent + 1))
        elif keyword == "calculationGroup" and isinstance(owner, Table):
            owner.calculation_group = True
            node.declared = owner
        elif content[len(keyword):len(keyword) + 1] == ":" and owner is not None:
            self.property(owner, keyword, content[len(keyword) + 1:].strip(), (line, node.indent + 1))
        elif not content[len(keyword):].strip() and owner is not None:
            self.property(owner, keyword, "true", (line, node.indent + 1))  # a flag: `isPrivate` is `isPrivate: true`

    def top(self, keyword: str, name: str, place: tuple[str, int, int]) -> Any:
        model = self.sink.model
        if keyword == "table":
            return self.sink.table(name, *place)
        if keyword == "relationship":
            relationship = Relationship(name, *place)
            model.relationships.append(relationship)
            return relationship
        if keyword == "role":
            return self.sink.role(name, *place)
        if keyword == "function":
            return self.sink.declare(model.functions, Function(name, *place))
        return None

    def in_table(self, table: Table, keyword: str, name: str, value: str | None,
                 place: tuple[str, int, int]) -> Any:
        sink = self.sink
        if keyword == "column":
            return sink.declare(table.columns, Column(
                name, *place, table=table.name, type="data" if value is None else "calculated"))
        if keyword == "measure":
            return sink.declare(table.measures, Measure(name, *place, table=table.name))
        if keyword == "hierarchy":
            return sink.declare(table.hierarchies, Hierarchy(name, *place, table=table.name))
        if keyword == "partition":
            partition = Partition(name, *place, table=table.name, source=value or "")
            table.partitions.append(partition)
            return partition
        return None

    def property(self, owner: Any, key: str, value: str, place: tuple[int, int]) -> None:
        if isinstance(owner, ModelObject):
            if key == "lineageTag":
                if owner.lineage_tag is None:
                    owner.lineage_tag = _tmdl_value(value)
            elif key in PROPERTIES and key not in owner.properties:
                # A property naming a column quotes it as TMDL names objects.
                owner.properties[key] = _tmdl_name(value) if key == "sortByColumn" else _tmdl_value(value)
        if isinstance(owner, Column) and key == "sortByColumn":
            owner.sort_by = _tmdl_name(value)
            owner.places.setdefault(key, place)
        elif isinstance(owner, Column) and key == "type" and value in _BIM_COLUMN_TYPES:
            owner.type = _BIM_COLUMN_TYPES[value]
        elif isinstance(owner, Column) and key == "dataType":
            owner.data_type = value
        elif isinstance(owner, Table) and key in ("isPrivate", "showAsVariationsOnly"):
            flag = value.lower() != "false"
            if key == "isPrivate":
                owner.private = flag
            else:
                owner.variations_only = flag
        elif isinstance(owner, Level) and key == "column":
            owner.column = _tmdl_name(value)
            owner.line, owner.position = place
        elif isinstance(owner, Relationship):
            if key in ("fromColumn", "toColumn"):
                owner.places.setdefault(key, place)
                table, column = _tmdl_column(value)
                if key == "fromColumn":
                    owner.from_table, owner.from_column = table, column
                else:
                    owner.to_table, owner.to_column = table, column
            elif key == "isActive":
                owner.active = value.lower() != "false"
