"""Building a `Model` from what the readers meet: `ModelBuilder` collects
the objects in the order they are declared and gives each formula its owner;
`BimObjects` finds them in a TMSL document, `TmdlObjects` in the statements
of a TMDL file."""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Any

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


class ModelBuilder:
    """Collects the objects the readers meet, in the order they meet them."""

    def __init__(self, path: str) -> None:
        self.model = Model(path)

    def table(self, name: str, file: str, line: int, column: int) -> Table:
        tables = self.model.tables
        # A table met twice (a script that repeats it) keeps its first place.
        found = tables.get(name_key(name))
        if found is None:
            found = tables[name_key(name)] = Table(name, file, line, column)
        return found

    def role(self, name: str, file: str, line: int, column: int) -> Role:
        return self.model.roles.setdefault(name_key(name), Role(name, file, line, column))

    def finish(self, formulas: list[Formula]) -> Model:
        model = self.model
        model.formulas = formulas
        for table in model.tables.values():
            if table.calculated:
                for column in table.columns.values():
                    if column.type == "data":
                        column.type = "calculated table column"
            for measure in table.measures.values():
                model._measures.setdefault(name_key(measure.name), measure)
        for formula in formulas:
            owner = self.owner(formula)
            if owner is not None:
                model._owners[id(formula)] = owner
                owner.formulas.append(formula)
        return model

    def owner(self, formula: Formula) -> ModelObject | None:
        model = self.model
        kind, name = formula.kind, formula.name
        if kind == "function":
            return model.function(name)
        if kind == "row-level security filter":
            return model.roles.get(name_key(name))
        table = model.table(formula.table or "")
        if table is None:
            return None
        key = name_key(name)
        if kind == "calculated column":
            return table.columns.get(key)
        if kind == "calculation item":
            return table.calculation_items.get(key)
        if kind in ("calculated table", "multiple or empty selection expression", "no selection expression"):
            return table
        # Format strings, detail rows, KPIs: of a measure, a calculation item,
        # or (a table's default detail rows, a calculation group's
        # selection expressions) of the table.
        return table.measures.get(key) or table.calculation_items.get(key) or table


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
        model = reader.model(root)
        for table in reader.objects(model, "tables"):
            self.table(table)
        for relationship in reader.objects(model, "relationships"):
            ends = [self.text(relationship, key) or "" for key in ("fromTable", "fromColumn", "toTable", "toColumn")]
            made = Relationship(
                reader.name(relationship), *self.place(relationship), from_table=ends[0], from_column=ends[1],
                to_table=ends[2], to_column=ends[3], active=relationship.get("isActive") is not False,
            )
            self.keep(made, relationship)
            self.sink.model.relationships.append(made)
        for role in reader.objects(model, "roles"):
            found = self.sink.role(reader.name(role), *self.place(role))
            self.keep(found, role)
            for permission in reader.objects(role, "tablePermissions"):
                if permission.get("filterExpression") not in (None, "", []):
                    found.tables.append(reader.name(permission))
        for function in reader.objects(model, "functions"):
            name = reader.name(function)
            self.keep(self.sink.model.functions.setdefault(name_key(name), Function(name, *self.place(function))),
                      function)

    def table(self, table: dict[str, Any]) -> None:
        reader = self.reader
        name = reader.name(table)
        found = self.sink.table(name, *self.place(table))
        self.keep(found, table)
        for column in reader.objects(table, "columns"):
            column_name = reader.name(column)
            column_type = self.text(column, "type") or "data"
            column_type = _BIM_COLUMN_TYPES.get(column_type, column_type)
            self.keep(found.columns.setdefault(name_key(column_name), Column(
                column_name, *self.place(column), table=name, type=column_type,
                sort_by=self.text(column, "sortByColumn"), data_type=self.text(column, "dataType"),
            )), column)
        for measure in reader.objects(table, "measures"):
            measure_name = reader.name(measure)
            self.keep(found.measures.setdefault(name_key(measure_name), Measure(
                measure_name, *self.place(measure), table=name)), measure)
        for hierarchy in reader.objects(table, "hierarchies"):
            hierarchy_name = reader.name(hierarchy)
            levels = [Level(reader.name(level), self.text(level, "column") or "")
                      for level in reader.objects(hierarchy, "levels")]
            self.keep(found.hierarchies.setdefault(name_key(hierarchy_name), Hierarchy(
                hierarchy_name, *self.place(hierarchy), table=name, levels=levels)), hierarchy)
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
                self.keep(found.calculation_items.setdefault(name_key(item_name), CalculationItem(
                    item_name, *self.place(item), table=name)), item)


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
                    node.declared = owner.calculation_items.setdefault(
                        name_key(name), CalculationItem(name, *place, table=owner.name))
            elif isinstance(owner, Table) and keyword == "annotation":
                owner.annotations.setdefault(name, node.value or "")
            elif isinstance(owner, Table):
                node.declared = self.in_table(owner, keyword, name, node.value, place)
            elif isinstance(owner, Hierarchy) and keyword == "level":
                node.declared = Level(name, "")
                owner.levels.append(node.declared)
            elif isinstance(owner, Role) and keyword == "tablePermission":
                owner.tables.append(name)
        elif keyword == "calculationGroup" and isinstance(owner, Table):
            owner.calculation_group = True
            node.declared = owner
        elif content[len(keyword):len(keyword) + 1] == ":" and owner is not None:
            self.property(owner, keyword, content[len(keyword) + 1:].strip())
        elif not content[len(keyword):].strip() and owner is not None:
            self.property(owner, keyword, "true")  # a flag: `isPrivate` is `isPrivate: true`

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
            return model.functions.setdefault(name_key(name), Function(name, *place))
        return None

    def in_table(self, table: Table, keyword: str, name: str, value: str | None,
                 place: tuple[str, int, int]) -> Any:
        key = name_key(name)
        if keyword == "column":
            return table.columns.setdefault(key, Column(
                name, *place, table=table.name, type="data" if value is None else "calculated"))
        if keyword == "measure":
            return table.measures.setdefault(key, Measure(name, *place, table=table.name))
        if keyword == "hierarchy":
            return table.hierarchies.setdefault(key, Hierarchy(name, *place, table=table.name))
        if keyword == "partition":
            partition = Partition(name, *place, table=table.name, source=value or "")
            table.partitions.append(partition)
            return partition
        return None

    def property(self, owner: Any, key: str, value: str) -> None:
        if isinstance(owner, ModelObject):
            if key == "lineageTag":
                if owner.lineage_tag is None:
                    owner.lineage_tag = _tmdl_value(value)
            elif key in PROPERTIES and key not in owner.properties:
                # A property naming a column quotes it as TMDL names objects.
                owner.properties[key] = _tmdl_name(value) if key == "sortByColumn" else _tmdl_value(value)
        if isinstance(owner, Column) and key == "sortByColumn":
            owner.sort_by = _tmdl_name(value)
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
        elif isinstance(owner, Relationship):
            if key in ("fromColumn", "toColumn"):
                table, column = _tmdl_column(value)
                if key == "fromColumn":
                    owner.from_table, owner.from_column = table, column
                else:
                    owner.to_table, owner.to_column = table, column
            elif key == "isActive":
                owner.active = value.lower() != "false"
