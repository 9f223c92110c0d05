"""Where a report spells a field by name outside its field references: the
query names a visual gives its fields (`queryRef`, a select item's `Name`,
"Sales.Margin" or "Sum(Sales.Qty)"), which selectors (`metadata`),
per-field settings (`columnProperties` keys), saved highlights (`dataMap`
keys), expanded levels (`queryRefs`) and data transforms (`queryName`)
repeat; the names a visual shows for them (`nativeQueryRef`, PBIR-Legacy's
`NativeReferenceName`); and the tables report measures are attached to
(`reportExtensions.json`). The field references themselves (`Entity`,
`Property`, ...) are `FieldUse`s with their own spans. Also the text values
of filters and conditions (`{"Literal": {"Value": "'YTD'"}}`), which are
data, not names of fields, but may be a calculation item's name.

    from quarrow_dax.report.names import field_names

    for found in field_names(report, texts):
        print(found.key, found.text, found.span, found.field)

Every JSON text of the report's files is read with the place of every
string and key, PBIR-Legacy's JSON inside strings too. A query name sitting
beside a field reference (a projection, a select item) carries that
reference's name span (`field`), which matches the span of the reference's
`FieldUse`; the others are known only by what they spell.
"""

from __future__ import annotations

import json
import os
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Literal

from ..model.json_reader import JsonError, JsonObject, JsonReader, JsonString
from ._json import JsonText, RawSpan
from .objects import Report

__all__ = ["FieldName", "field_names", "split_query_name"]

Form = Literal["query name", "display name", "table name", "literal"]

# Keys whose string (or list of strings) is a query name.
_QUERY_KEYS = frozenset({"queryRef", "queryName"})
# Keys whose object's keys are query names.
_KEYED = frozenset({"columnProperties", "dataMap"})
# The names a visual shows for a field, beside its reference.
_DISPLAY_KEYS = frozenset({"nativeQueryRef", "NativeReferenceName"})
# Keys of a field reference, as a query expression writes them.
_FIELD_KEYS = ("Column", "Measure", "Aggregation", "HierarchyLevel", "Hierarchy", "PropertyVariationSource")
# Keys whose string value PBIR-Legacy fills with a JSON text.
_NESTED_KEYS = frozenset({"config", "filters", "query", "dataTransforms", "parameters"})


@dataclass(frozen=True, slots=True)
class FieldName:
    """One string (or object key) that spells a field otherwise than as a
    field reference. `form` is "query name" ("Table.Name", perhaps wrapped
    in an aggregation: "Sum(Table.Name)"), "display name" (the name a visual
    shows, bare), "table name", or "literal" (a text value of a filter or
    condition, quoted as the report writes it: "'YTD'"). `key` is the JSON
    key it stands under
    (for an object key, its object's key: "columnProperties"). `field` is
    the name span of the field reference beside it, when there is one.
    `page` and `visual` are the ids of the visual it belongs to, where it
    belongs to one."""

    span: RawSpan
    text: str
    key: str
    form: Form
    field: RawSpan | None = None
    page: str | None = None
    visual: str | None = None


def split_query_name(text: str) -> tuple[str, str, str, str] | None:
    """(prefix, table, rest, suffix) of a query name: "Sum(" "Sales" "Qty"
    ")" for "Sum(Sales.Qty)"; the table split at its first dot (a caller
    that knows the model's names splits `table + "." + rest` better).
    None when it is no query name."""
    prefix = suffix = ""
    inner = text
    open_at = text.find("(")
    if open_at > 0 and text.endswith(")") and text[:open_at].isalpha():
        prefix, inner, suffix = text[: open_at + 1], text[open_at + 1 : -1], ")"
    table, dot, rest = inner.partition(".")
    if not (dot and table and rest):
        return None
    return prefix, table, rest, suffix


class _Walk:
    def __init__(self, report: Report, wanted: Callable[[str], bool]) -> None:
        self.wanted = wanted
        self.found: list[FieldName] = []
        # PBIR: which visual (page, name) each visual file is.
        self.visuals = {visual.file: (page.name, visual.name) for page in report.pages for visual in page.visuals}

    def file(self, file: str, text: str, extensions: bool) -> None:
        if not self.wanted(text):
            return
        root_text = JsonText(file, text)
        root = _read(text)
        if root is None:
            return
        page, visual = self.visuals.get(file, (None, None))
        stack: list[tuple[Any, JsonText, str | None, str | None, str | None]] = [(root, root_text, None, page, visual)]
        while stack:
            node, where, key, page, visual = stack.pop()
            if isinstance(node, JsonObject):
                self.object(node, where, key, page, visual, stack)
                if extensions and key == "entities":
                    self.entity(node, where)
            elif isinstance(node, list):
                stack.extend((item, where, key, page, visual) for item in reversed(node))
            elif (isinstance(node, JsonString) and key in _NESTED_KEYS and node.lstrip()[:1] in ("{", "[")
                  and self.wanted(node)):
                inner = where.nested(node)
                value = _read(inner.text)
                if value is not None:
                    stack.append((value, inner, None, page, visual))

    def object(self, node: JsonObject, where: JsonText, key: str | None, page: str | None, visual: str | None,
               stack: list[Any]) -> None:
        if key == "sections" and isinstance(node.get("name"), str) and "visualContainers" in node:
            page = str(node["name"])  # a PBIR-Legacy page
        if key == "visualContainers" and isinstance(node.get("config"), JsonString):
            try:
                config = json.loads(node["config"])
            except (ValueError, RecursionError):
                config = None
            name = config.get("name") if isinstance(config, dict) else None
            if isinstance(name, str):
                visual = name  # a PBIR-Legacy visual container
        field = _field_span(node, where)
        for child_key, child in node.items():
            if isinstance(child, JsonString):
                if child_key in _QUERY_KEYS or (child_key == "Name" and field is not None):
                    self.add(where, child, child_key, "query name", field, page, visual)
                elif child_key in _DISPLAY_KEYS and field is not None:
                    self.add(where, child, child_key, "display name", field, page, visual)
                elif child_key == "metadata" and key == "selector":
                    self.add(where, child, child_key, "query name", None, page, visual)
                elif child_key == "Value" and key == "Literal" and len(child) >= 2 and child[0] == child[-1] == "'":
                    self.add(where, child, child_key, "literal", None, page, visual)
            elif child_key == "queryRefs" and isinstance(child, list):
                for item in child:
                    if isinstance(item, JsonString):
                        self.add(where, item, child_key, "query name", None, page, visual)
            elif child_key in _KEYED and isinstance(child, JsonObject):
                for name in child:
                    start, end = child.key_span(name)
                    span = RawSpan(where.file, where.file_offset(start), where.file_offset(end), where.depth)
                    self.found.append(FieldName(span, name, child_key, "query name", None, page, visual))
        stack.extend((child, where, child_key, page, visual) for child_key, child in reversed(node.items())
                     if isinstance(child, (dict, list)) or (child_key in _NESTED_KEYS and isinstance(child, JsonString)))

    def entity(self, node: JsonObject, where: JsonText) -> None:
        """An entity of `reportExtensions.json`: the table its measures are on."""
        name = node.get("name")
        if isinstance(name, JsonString) and "measures" in node:
            self.add(where, name, "name", "table name", None, None, None)

    def add(self, where: JsonText, value: JsonString, key: str, form: Form, field: RawSpan | None,
            page: str | None, visual: str | None) -> None:
        self.found.append(FieldName(where.span(value), str(value), key, form, field, page, visual))


def _read(text: str) -> Any:
    try:
        return JsonReader(text, keys=True).document()
    except (JsonError, RecursionError):
        return None  # the report reader has said what is wrong with it


def _field_span(node: JsonObject, where: JsonText) -> RawSpan | None:
    """The span of the name a field reference in `node` (or in its `field`)
    names: its `Property` (inside an aggregation or a date variation too),
    else a hierarchy level's `Level`."""
    holder: dict[str, Any] = node["field"] if isinstance(node.get("field"), dict) else node
    expression = next((holder[key] for key in _FIELD_KEYS if isinstance(holder.get(key), dict)), None)
    if expression is None:
        return None
    stack = [expression]
    level = None
    while stack:  # a reference nests a few objects deep at most
        current = stack.pop()
        if not isinstance(current, dict):
            continue
        name = current.get("Property")
        if isinstance(name, JsonString):
            return where.span(name)
        if level is None and isinstance(current.get("Level"), JsonString):
            level = where.span(current["Level"])
        stack.extend(value for value in current.values() if isinstance(value, dict))
    return level


def field_names(report: Report, texts: Mapping[str, str], wanted: Callable[[str], bool] | None = None) -> list[FieldName]:
    """Every place of `report`'s files that spells a field outside its
    field references (see the module's documentation), in file order;
    `texts` holds the text of each file the report was read from (by its
    name), as it was read. A file, or a JSON text a string holds, is read
    only when `wanted` says it may spell a name wanted (all when None): a
    tool looking for one name skips what cannot hold it."""
    walk = _Walk(report, wanted or (lambda _: True))
    folder = Path(os.path.abspath(report.path))
    for file in sorted(name for name in texts if name.endswith(".json")
                       and folder in Path(os.path.abspath(name)).parents):
        walk.file(file, texts[file], extensions=file.endswith("reportExtensions.json"))
    return walk.found
