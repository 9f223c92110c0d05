"""The properties a hover shows of a model object that the model reader
does not keep: its description, format string and data type, read from
the object's declaration in its file (TMDL: the `///` lines above it and
its `name: value` lines; TMSL: the keys of its JSON object)."""

from __future__ import annotations

import json
import re
from collections.abc import Callable
from typing import Any

from ..model import ModelObject
from ..model.objects import Column, Measure, Table, TableObject

__all__ = ["object_properties"]

_PROPERTY = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)\s*:\s*(.*)$")
_WANTED = {"formatString": "format string", "dataType": "data type", "displayFolder": "display folder",
           "isHidden": "hidden"}


def object_properties(found: ModelObject, text_of: Callable[[str], str | None]) -> dict[str, str]:
    """The description, format string, data type and display folder of
    `found` that its file states, by what a reader calls them; `text_of`
    gives a file's text (an open document's or the disk's)."""
    text = text_of(found.file)
    if text is None:
        return {}
    try:
        if found.file.lower().endswith(".bim"):
            return _bim_properties(found, text)
        return _tmdl_properties(found, text)
    except (ValueError, IndexError, KeyError, TypeError):
        return {}  # a file that changed since it was read: nothing to show


def _tmdl_properties(found: ModelObject, text: str) -> dict[str, str]:
    lines = text.split("\n")
    index = found.line - 1
    if not 0 <= index < len(lines):
        return {}
    declaration = lines[index].rstrip("\r")
    depth = len(declaration) - len(declaration.lstrip("\t"))
    properties: dict[str, str] = {}
    description = []
    above = index - 1
    while above >= 0 and lines[above].strip().startswith("///"):
        description.append(lines[above].strip()[3:].strip())
        above -= 1
    if description:
        properties["description"] = "\n".join(reversed(description))
    for line in lines[index + 1 :]:
        line = line.rstrip("\r")
        if not line.strip():
            continue
        tabs = len(line) - len(line.lstrip("\t"))
        if tabs <= depth:
            break
        if tabs != depth + 1:
            continue
        content = line.strip()
        if content in _WANTED:  # a flag: `isHidden`
            properties[_WANTED[content]] = "yes"
            continue
        match = _PROPERTY.match(content)
        if match is not None and match.group(1) in _WANTED:
            properties[_WANTED[match.group(1)]] = _unquoted(match.group(2).strip())
    return properties


def _unquoted(value: str) -> str:
    if len(value) >= 2 and value[0] == value[-1] == '"':
        return value[1:-1].replace('""', '"')
    return value


def _bim_properties(found: ModelObject, text: str) -> dict[str, str]:
    data = json.loads(text)
    model = _model_of(data)
    if model is None:
        return {}
    table_name = found.name if isinstance(found, Table) else getattr(found, "table", None)
    table = _named(model.get("tables"), table_name)
    entry: Any = None
    if isinstance(found, Table):
        entry = table
    elif isinstance(found, Measure) and table is not None:
        entry = _named(table.get("measures"), found.name)
    elif isinstance(found, Column) and table is not None:
        entry = _named(table.get("columns"), found.name)
    elif isinstance(found, TableObject) and table is not None:
        entry = _named(table.get("hierarchies"), found.name)
    elif found.kind == "function":
        entry = _named(model.get("functions"), found.name)
    if not isinstance(entry, dict):
        return {}
    properties: dict[str, str] = {}
    description = entry.get("description")
    if isinstance(description, list):
        description = "\n".join(str(line) for line in description)
    if isinstance(description, str) and description.strip():
        properties["description"] = description
    for key, shown in _WANTED.items():
        value = entry.get(key)
        if isinstance(value, (str, int, float)) and not isinstance(value, bool):
            properties[shown] = str(value)
        elif value is True:
            properties[shown] = "yes"
    return properties


def _model_of(data: Any) -> dict[str, Any] | None:
    """The model object of a TMSL document: a database's, or that of a
    createOrReplace (or create, alter) script's database."""
    for _ in range(4):  # bounded: a script nests the database a level or two down
        if not isinstance(data, dict):
            return None
        model = data.get("model")
        if isinstance(model, dict):
            return model
        for key in ("createOrReplace", "create", "alter", "database"):
            if isinstance(data.get(key), dict):
                data = data[key]
                break
        else:
            return None
    return None


def _named(items: Any, name: str | None) -> dict[str, Any] | None:
    if not isinstance(items, list) or name is None:
        return None
    folded = name.casefold()
    for item in items:
        if isinstance(item, dict) and isinstance(item.get("name"), str) and item["name"].casefold() == folded:
            return item
    return None
