"""Where a model file spells the names of its objects: each declaration
(`"name"` of a table, column, measure, ... in a .bim file; the name after
`table`, `column`, `measure`, ... in TMDL) and each property that names
another object (a sort-by column, a hierarchy level's column, the ends of a
relationship, a role's table permissions, perspectives, translations,
variations, aggregations' base columns, the Q&A bindings of linguistic
metadata, Power BI's list of query names). What a tool that renames an
object rewrites, and nothing else: a name inside an M query, a description
or a DAX string is no such place.

    from quarrow_dax.model.names import bim_names

    for place in bim_names(file, text):
        print(place.kind, place.table, place.name, place.role, text[place.start:place.end])

`tmdl_names.TmdlNames` finds the same places in a TMDL file.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any, Literal

from .json_reader import JsonError, JsonObject, JsonReader, JsonString

__all__ = ["NameKind", "NamePlace", "bim_names", "binding_places", "json_binding_places", "query_order_places"]

NameKind = Literal[
    "table", "column", "measure", "hierarchy", "calculation item", "function", "expression",
    "member",  # a column, measure or hierarchy: a linguistic binding's property
]


@dataclass(frozen=True, slots=True)
class NamePlace:
    """One place that spells a name: `file`, and `start` and `end`, character
    offsets of the file's text (after any byte-order mark). `syntax` says
    how it is written there: "json", a JSON string token (its quotes
    included; at `depth` 2 a token of a JSON text held in a string, written
    with escaped quotes), or "tmdl", a TMDL name (quoted or bare). `kind` is
    what it names and `table` the table of a member; `role` says what the
    place is ("declaration", "sort by", "relationship", ...)."""

    file: str
    start: int
    end: int
    kind: NameKind
    name: str
    table: str | None
    role: str
    syntax: Literal["json", "tmdl"] = "json"
    depth: int = 1


#: Told whether a text may spell one of the names wanted (cased as DAX
#: compares): a JSON text held in a string is read only when it may.
Wanted = Callable[[str], bool]


def _everything(_: str) -> bool:
    return True


def json_binding_places(value: Any, file: str, place: Callable[[JsonString], tuple[int, int]],
                        depth: int = 1) -> Iterator[NamePlace]:
    """The table and field names of the Q&A bindings (`"Binding":
    {"ConceptualEntity": table, "ConceptualProperty": field}`) in a
    linguistic metadata document read with positions; `place` gives a
    string's (start, end) in the file."""
    stack = [value]
    while stack:
        node = stack.pop()
        if isinstance(node, dict):
            binding = node.get("Binding")
            if isinstance(binding, dict):
                entity = binding.get("ConceptualEntity")
                field = binding.get("ConceptualProperty")
                if isinstance(entity, JsonString):
                    yield NamePlace(file, *place(entity), "table", str(entity), None, "linguistic binding", depth=depth)
                    if isinstance(field, JsonString):
                        yield NamePlace(file, *place(field), "member", str(field), str(entity), "linguistic binding",
                                        depth=depth)
            stack.extend(node.values())
        elif isinstance(node, list):
            stack.extend(node)


_BINDING = re.compile(r'"Binding"[ \t\r\n]*:[ \t\r\n]*(?=\{)')
_DECODER = json.JSONDecoder()


def binding_places(text: str, file: str, file_offset: Callable[[int], int], depth: int = 1) -> Iterator[NamePlace]:
    """The Q&A bindings of a linguistic metadata document `text`, found
    without reading the whole document (which runs to megabytes): each
    `"Binding": {...}` object is read where it stands. `file_offset` maps
    an offset of `text` to the file's."""
    for match in _BINDING.finditer(text):
        start = match.end()
        try:
            _, end = _DECODER.raw_decode(text, start)
            value = JsonReader(text[start:end]).document()
        except (ValueError, RecursionError):
            continue  # not JSON there: no binding
        yield from json_binding_places({"Binding": value}, file, lambda token: (
            file_offset(start + token.start), file_offset(start + token.end - 1) + 1), depth)


def query_order_places(value: Any, file: str, place: Callable[[JsonString], tuple[int, int]],
                       depth: int = 1) -> Iterator[NamePlace]:
    """The names in Power BI's `PBI_QueryOrder` annotation (a JSON array of
    query names): a table's query has the table's name."""
    if isinstance(value, list):
        for item in value:
            if isinstance(item, JsonString):
                yield NamePlace(file, *place(item), "table", str(item), None, "query order", depth=depth)


class _BimNames:
    def __init__(self, file: str, reader: JsonReader, wanted: Wanted) -> None:
        self.file = file
        self.reader = reader
        self.wanted = wanted
        self.places: list[NamePlace] = []

    def add(self, owner: Any, key: str, kind: NameKind, table: str | None, role: str) -> str | None:
        """The place of the string `owner[key]`, when it is one; its value."""
        value = owner.get(key) if isinstance(owner, dict) else None
        if not isinstance(value, JsonString):
            return None
        self.places.append(NamePlace(self.file, value.start, value.end, kind, str(value), table, role))
        return str(value)

    def nested(self, value: Any) -> tuple[Any, Callable[[JsonString], tuple[int, int]]] | None:
        """The JSON text a string holds, read with positions, and how a
        string of it maps to its place in the file; None when it holds
        none or none of the names wanted."""
        if not isinstance(value, JsonString) or not self.wanted(value):
            return None
        try:
            inner = JsonReader(str(value)).document()
        except JsonError:
            return None  # not JSON: nothing of it is a name
        offsets = self.reader.source_offsets(value)
        return inner, lambda token: (offsets[token.start], offsets[token.end])

    def database(self, model: dict[str, Any]) -> None:
        for table in _items(model, "tables"):
            self.table(table)
        for relationship in _items(model, "relationships"):
            ends = {}
            for side in ("from", "to"):
                ends[side] = self.add(relationship, side + "Table", "table", None, "relationship")
                self.add(relationship, side + "Column", "column", ends[side], "relationship")
        for role in _items(model, "roles"):
            for permission in _items(role, "tablePermissions"):
                table = self.add(permission, "name", "table", None, "role permission")
                for column in _items(permission, "columnPermissions"):
                    self.add(column, "name", "column", table, "role permission")
        for perspective in _items(model, "perspectives"):
            self.members(_items(perspective, "tables"), "perspective")
        for culture in _items(model, "cultures"):
            translations = culture.get("translations")
            if isinstance(translations, dict) and isinstance(translations.get("model"), dict):
                self.members(_items(translations["model"], "tables"), "translation")
            metadata = culture.get("linguisticMetadata")
            content = metadata.get("content") if isinstance(metadata, dict) else None
            if isinstance(content, (dict, list)):
                self.places.extend(json_binding_places(content, self.file, lambda token: (token.start, token.end)))
            else:
                found = self.nested(content)
                if found is not None:
                    self.places.extend(json_binding_places(found[0], self.file, found[1], depth=2))
        for function in _items(model, "functions"):
            self.add(function, "name", "function", None, "declaration")
        for expression in _items(model, "expressions"):
            self.add(expression, "name", "expression", None, "declaration")
        for annotation in _items(model, "annotations"):
            if annotation.get("name") == "PBI_QueryOrder":
                found = self.nested(annotation.get("value"))
                if found is not None:
                    self.places.extend(query_order_places(found[0], self.file, found[1], depth=2))

    def table(self, table: dict[str, Any]) -> None:
        name = self.add(table, "name", "table", None, "declaration")
        for column in _items(table, "columns"):
            self.add(column, "name", "column", name, "declaration")
            self.add(column, "sortByColumn", "column", name, "sort by")
            details = column.get("relatedColumnDetails")
            for group in _items(details, "groupByColumns") if isinstance(details, dict) else ():
                self.add(group, "groupingColumn", "column", name, "group by")
            alternate = column.get("alternateOf")
            if isinstance(alternate, dict):
                base = alternate.get("baseColumn")
                if isinstance(base, dict):
                    self.add(base, "column", "column", self.add(base, "table", "table", None, "alternate of"),
                             "alternate of")
                base_table = alternate.get("baseTable")
                if isinstance(base_table, dict):
                    self.add(base_table, "table", "table", None, "alternate of")
                else:
                    self.add(alternate, "baseTable", "table", None, "alternate of")
            for variation in _items(column, "variations"):
                default = variation.get("defaultHierarchy")
                if isinstance(default, dict):
                    self.add(default, "hierarchy", "hierarchy", self.add(default, "table", "table", None, "variation"),
                             "variation")
        for measure in _items(table, "measures"):
            self.add(measure, "name", "measure", name, "declaration")
        for hierarchy in _items(table, "hierarchies"):
            self.add(hierarchy, "name", "hierarchy", name, "declaration")
            for level in _items(hierarchy, "levels"):
                self.add(level, "column", "column", name, "level column")
        group = table.get("calculationGroup")
        for item in _items(group, "calculationItems") if isinstance(group, dict) else ():
            self.add(item, "name", "calculation item", name, "declaration")

    def members(self, tables: list[Any], role: str) -> None:
        """A perspective's or a translation's tables and their members."""
        for table in tables:
            name = self.add(table, "name", "table", None, role)
            for key, kind in (("columns", "column"), ("measures", "measure"), ("hierarchies", "hierarchy")):
                for member in _items(table, key):
                    self.add(member, "name", kind, name, role)  # type: ignore[arg-type]


def _items(owner: Any, key: str) -> list[Any]:
    values = owner.get(key) if isinstance(owner, dict) else None
    return [value for value in values if isinstance(value, dict)] if isinstance(values, list) else []


def bim_names(file: str, text: str, wanted: Wanted | None = None) -> list[NamePlace]:
    """Every place of a .bim file's `text` that spells an object's name (see
    the module's documentation). A JSON text held in a string (Power BI's
    query order, linguistic metadata kept as a string) is read only when
    `wanted` says it may hold a name wanted (all when None). Raises
    JsonError for a text that is not JSON."""
    reader = JsonReader(text)
    root = reader.document()
    if isinstance(root, dict):
        for command in ("createOrReplace", "create", "alter"):
            if isinstance(root.get(command), dict) and isinstance(root[command].get("database"), dict):
                root = root[command]["database"]
                break
    model = root.get("model") if isinstance(root, JsonObject) else None
    names = _BimNames(file, reader, wanted or _everything)
    if isinstance(model, dict):
        names.database(model)
    return names.places
