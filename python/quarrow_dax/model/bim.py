"""The TMSL reader: the DAX formulas of a ``.bim`` file (a database, or a
createOrReplace/create/alter script holding one), each placed at its JSON
string in the file, and, when a `Model` is being built, the objects the file
declares (`building.BimObjects`)."""

from __future__ import annotations

import json
import re
from collections.abc import Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .building import BimObjects
from .errors import ModelError, ModelWarning, read_model_text
from .formulas import CALCULATION_GROUP_EXPRESSIONS, KPI_EXPRESSIONS, NON_DAX_SOURCES, Formula
from .json_reader import JsonError, JsonReader, JsonString

if TYPE_CHECKING:
    from .loading import ReadContext

__all__ = ["BimReader", "read_bim"]

_SURROGATE = re.compile("[\ud800-\udfff]")


def _quoted(text: str) -> str:
    """`text` in double quotes, printable whatever it holds (an escaped lone
    surrogate cannot be written as UTF-8)."""
    return json.dumps(text)


def read_bim(file: Path, context: ReadContext) -> Iterator[Formula]:
    name = str(file)

    def warn(message: str, line: int, column: int) -> None:
        context.warn(ModelWarning(name, line, message, column))

    reader = BimReader(JsonReader(read_model_text(file, context.max_file_size, context.originals, context.texts), warn), name)
    try:
        root = reader.json.document()
    except JsonError as error:
        raise ModelError(name, error.line, error.message, error.column) from None
    if context.sink is not None:
        BimObjects(reader, context.sink).database(root)
    # In file order: TMSL lists a table's measures, columns and partitions in
    # whatever order the saving tool chose.
    formulas: list[Formula] = []
    try:
        formulas.extend(reader.database(root))
    finally:
        # On a fault the formulas before it are still yielded, then it is raised.
        formulas.sort(key=lambda formula: (formula.line, formula.column))
        yield from formulas


class BimReader:
    """The formulas of a TMSL document read by `json`, each property checked
    for the type the format gives it before it is used."""

    def __init__(self, json_reader: JsonReader, file: str) -> None:
        self.json = json_reader
        self.file = file

    def error(self, value: Any, message: str) -> ModelError:
        offset = getattr(value, "start", None)
        if offset is None:
            return ModelError(self.file, None, message)
        line, column = self.json.position(offset)
        return ModelError(self.file, line, message, column)

    def model(self, root: Any) -> dict[str, Any]:
        """The "model" object of a database file or of a TMSL script's."""
        if not isinstance(root, dict):
            raise self.error(root, "not a TMSL database: the file is not a JSON object")
        # A TMSL script (createOrReplace, create, alter) wraps the database.
        for command in ("createOrReplace", "create", "alter"):
            if isinstance(root.get(command), dict) and isinstance(root[command].get("database"), dict):
                root = root[command]["database"]
                break
        model = root.get("model")
        if not isinstance(model, dict):
            raise self.error(root, 'not a TMSL database: no "model" object')
        return model

    def database(self, root: Any) -> Iterator[Formula]:
        model = self.model(root)
        for table in self.objects(model, "tables"):
            yield from self.table(table)
        for role in self.objects(model, "roles"):
            for permission in self.objects(role, "tablePermissions"):
                yield from self.formula(
                    permission, "filterExpression", "row-level security filter",
                    self.name(permission), self.name(role),
                )
        for function in self.objects(model, "functions"):
            yield from self.formula(function, "expression", "function", None, self.name(function))

    def table(self, table: dict[str, Any]) -> Iterator[Formula]:
        name = self.name(table)
        for measure in self.objects(table, "measures"):
            measure_name = self.name(measure)
            yield from self.formula(measure, "expression", "measure", name, measure_name)
            for key, kind in (("formatStringDefinition", "format string definition"),
                              ("detailRowsDefinition", "detail rows definition")):
                owner = self.object(measure, key)
                if owner is not None:
                    yield from self.formula(owner, "expression", kind, name, measure_name)
            kpi = self.object(measure, "kpi")
            if kpi is not None:
                for key, kind in KPI_EXPRESSIONS:
                    yield from self.formula(kpi, key, kind, name, measure_name)
        for column in self.objects(table, "columns"):
            # Only calculated columns hold DAX; data and calculated-table
            # columns have no expression.
            if column.get("type") == "calculated":
                yield from self.formula(column, "expression", "calculated column", name, self.name(column))
        for partition in self.objects(table, "partitions"):
            source = self.object(partition, "source")
            if source is None:
                continue
            # A source without a type is a query partition, the format's default.
            source_type = source.get("type", "query")
            if source_type is None:
                source_type = "query"
            if not isinstance(source_type, str):
                raise self.error(source_type if hasattr(source_type, "start") else source,
                                 f'partition {_quoted(self.name(partition))}: the source\'s "type" is not a string')
            if source_type == "calculated":
                yield from self.formula(source, "expression", "calculated table", name, name)
            elif source_type not in NON_DAX_SOURCES:
                raise self.error(source, f"partition {self.name(partition)!r}: unknown source type {source_type!r}")
        default = self.object(table, "defaultDetailRowsDefinition")
        if default is not None:
            yield from self.formula(default, "expression", "detail rows definition", name, name)
        group = self.object(table, "calculationGroup")
        if group is not None:
            for item in self.objects(group, "calculationItems"):
                item_name = self.name(item)
                yield from self.formula(item, "expression", "calculation item", name, item_name)
                owner = self.object(item, "formatStringDefinition")
                if owner is not None:
                    yield from self.formula(owner, "expression", "format string definition", name, item_name)
            for key, kind in CALCULATION_GROUP_EXPRESSIONS:
                expression = self.object(group, key)
                if expression is not None:
                    yield from self.formula(expression, "expression", kind, name, name)
                    owner = self.object(expression, "formatStringDefinition")
                    if owner is not None:
                        yield from self.formula(owner, "expression", "format string definition", name, key)

    def name(self, owner: dict[str, Any]) -> str:
        name: Any = owner.get("name", "")
        if not isinstance(name, str):
            raise self.error(name if hasattr(name, "start") else owner, '"name" is not a string')
        self.check_text(name)
        return name

    def check_text(self, value: str) -> None:
        """Refuses a name or formula holding an escaped lone surrogate: it
        decodes, but no UTF-8 text (what the parser reads and a report
        prints) can hold it. Elsewhere (descriptions) it does no harm."""
        if _SURROGATE.search(value):
            raise self.error(value, "invalid JSON: a string holds an unpaired surrogate escape")

    def object(self, owner: dict[str, Any], key: str) -> dict[str, Any] | None:
        value = owner.get(key)
        if value is None:
            return None
        if not isinstance(value, dict):
            raise self.error(value if hasattr(value, "start") else owner, f'"{key}" is not an object')
        return value

    def objects(self, owner: dict[str, Any], key: str) -> list[dict[str, Any]]:
        values = owner.get(key)
        if values is None:
            return []
        if not isinstance(values, list):
            raise self.error(values if hasattr(values, "start") else owner, f'"{key}" is not an array')
        for value in values:
            if not isinstance(value, dict):
                raise self.error(value if hasattr(value, "start") else values, f'an item of "{key}" is not an object')
        return values

    def formula(self, owner: dict[str, Any], key: str, kind: str, table: str | None, name: str) -> Iterator[Formula]:
        """The formula in `owner[key]`, a string or an array of lines; nothing
        when the property is missing or holds only white space."""
        value = owner.get(key)
        if value is None or value == []:
            return
        elements = value if isinstance(value, list) else [value]
        # Every string the JSON reader returns is a JsonString.
        parts = [part for part in elements if isinstance(part, JsonString)]
        if len(parts) != len(elements):
            raise self.error(value if hasattr(value, "start") else owner,
                             f'"{key}" of {kind} {name!r} is not a string or an array of strings')
        text = "\n".join(parts)
        if not text.strip():
            return
        for part in parts:
            self.check_text(part)
        places = [place for part in parts for place in self.json.string_lines(part)]
        line_map = tuple((line, column) for line, column, _ in places)
        exact = tuple(count for _, _, count in places)
        spans = tuple((part.start, part.end) for part in parts)
        yield Formula(self.file, table, name, kind, text, *line_map[0], line_map, exact,
                      "lines" if isinstance(value, list) else "string", spans)
