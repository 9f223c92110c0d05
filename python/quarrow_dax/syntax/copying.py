"""Copies and pickles of syntax objects that keep their positions and
source, for trees of any depth the parser accepts.

A node's position lives in the native base class (`Located`): two offsets
and a reference to the bytes of the text it was parsed from, shared by every
node and token of that text. Python's default copying knows nothing of it
and would lose `span` and `text`; and it recurses once per level of the
tree, which a chain of a million operators does not survive. So a tree is
copied and pickled as a flat list: its distinct nodes in post-order, each a
record of its class, its position and its fields, a child named by its
place in the list; each distinct source text is stored once. A node shared
by several parents (a tree built in code may do that) stays shared.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable
from typing import Any, TypeVar

from .. import _syntax
from .._syntax import Located
from ..collector import paused
from .fields import NODE, NODES, ROWS, field_specs
from .nodes import Node

__all__ = ["REGISTERED", "deep_copy", "flattened", "remade", "shifted", "unflattened"]

L = TypeVar("L", bound=Located)

#: The classes the native module makes itself (filled in as they register).
REGISTERED: set[type] = set()

Record = tuple[Any, ...]


def remade(cls: type[L], position: tuple[bytes, int, int] | None, fields: tuple[Any, ...]) -> L:
    """A new `cls` (a Located class) with these field values, in declaration
    order, at `position` ((source, start, end), or None for an object built
    in code). No `__init__` runs, as when the parser makes it."""
    source, start, end = (None, 0, 0) if position is None else position
    if cls in REGISTERED:
        made: L = _syntax.placed(cls, source, start, end, fields)
        return made
    made = object.__new__(cls)
    for field, value in zip(_field_names(cls), fields, strict=True):
        object.__setattr__(made, field, value)
    _syntax.place(made, source, start, end)
    return made


_FIELD_NAMES: dict[type, tuple[str, ...]] = {}
_LAYOUTS: dict[type, tuple[tuple[tuple[str, int], ...], tuple[tuple[str, int], ...]]] = {}


def _field_names(cls: type) -> tuple[str, ...]:
    found = _FIELD_NAMES.get(cls)
    if found is None:
        found = _FIELD_NAMES[cls] = tuple(field.name for field in dataclasses.fields(cls))
    return found


def _layout(cls: type) -> tuple[tuple[tuple[str, int], ...], tuple[tuple[str, int], ...]]:
    """Every field of a node class with its shape, and the fields that hold
    nodes, in declaration order (worked out once per class)."""
    found = _LAYOUTS.get(cls)
    if found is None:
        fields = tuple((rule.name, rule.shape) for rule in field_specs(cls, Node))
        found = _LAYOUTS[cls] = (fields, tuple(field for field in fields if field[1] in (NODE, NODES, ROWS)))
    return found


def _flatten(root: Node) -> tuple[list[Node], tuple[bytes, ...], list[Record]]:
    """The distinct nodes of the tree in post-order, the sources, and one
    record per node: (class, source index or -1, start, end, fields...).
    Natively, unless the tree holds a node of a class of a caller's own."""
    with paused():
        native = _syntax.flatten(root)
    if native is not NotImplemented:
        sources, records, nodes = native
        return nodes, sources, records
    return _flatten_here(root)


def _flatten_here(root: Node) -> tuple[list[Node], tuple[bytes, ...], list[Record]]:
    nodes: list[Node] = []
    index: dict[int, int] = {}
    sources: list[bytes] = []
    source_index: dict[int, int] = {}
    records: list[Record] = []
    expanded: set[int] = set()
    work: list[Node] = [root]
    while work:
        node = work[-1]
        key = id(node)
        if key in index:
            work.pop()
            continue
        fields, child_fields = _layout(type(node))
        if key not in expanded:
            # First the children, then (when they are done) the node.
            expanded.add(key)
            for name, shape in reversed(child_fields):
                value = getattr(node, name)
                if value is None:
                    continue
                if shape == NODE:
                    work.append(value)
                elif shape == NODES:
                    work.extend(reversed(value))
                else:
                    for row in reversed(value):
                        work.extend(reversed(row))
            continue
        work.pop()
        values: list[Any] = []
        for name, shape in fields:
            value = getattr(node, name)
            if value is not None:
                if shape == NODE:
                    value = index[id(value)]
                elif shape == NODES:
                    value = tuple([index[id(item)] for item in value])
                elif shape == ROWS:
                    value = tuple([tuple([index[id(cell)] for cell in row]) for row in value])
            values.append(value)
        position = _syntax.position(node)
        if position is None:
            record: Record = (type(node), -1, 0, 0, *values)
        else:
            source, start, end = position
            at = source_index.get(id(source))
            if at is None:
                at = source_index[id(source)] = len(sources)
                sources.append(source)
            record = (type(node), at, start, end, *values)
        index[key] = len(nodes)
        nodes.append(node)
        records.append(record)
    return nodes, tuple(sources), records


def _rebuild(sources: tuple[bytes, ...], records: list[Record]) -> list[Node]:
    if type(sources) is tuple and type(records) is list:
        with paused():
            native: list[Node] = _syntax.rebuild(sources, records)
        if native is not NotImplemented:
            return native
    return _rebuild_here(sources, records)


def _rebuild_here(sources: tuple[bytes, ...], records: list[Record]) -> list[Node]:
    built: list[Node] = []
    for record in records:
        cls = record[0]
        if not (isinstance(cls, type) and issubclass(cls, Node)):
            raise TypeError(f"not a syntax node class: {cls!r}")
        at = record[1]
        position = None if at < 0 else (sources[at], record[2], record[3])
        fields, _ = _layout(cls)
        values = list(record[4:])
        for number, (_, shape) in enumerate(fields):
            value = values[number]
            if value is not None:
                if shape == NODE:
                    values[number] = built[value]
                elif shape == NODES:
                    values[number] = tuple([built[item] for item in value])
                elif shape == ROWS:
                    values[number] = tuple([tuple([built[cell] for cell in row]) for row in value])
        built.append(remade(cls, position, tuple(values)))
    return built


def flattened(root: Node) -> tuple[tuple[bytes, ...], list[Record]]:
    """What a pickle of `root` holds: the sources and the node records."""
    _, sources, records = _flatten(root)
    return sources, records


def unflattened(sources: tuple[bytes, ...], records: list[Record]) -> Node:
    """The tree `flattened` recorded: its root is the last record."""
    if not records:
        raise ValueError("no nodes to rebuild a tree from")
    return _rebuild(sources, records)[-1]


def deep_copy(root: Node, memo: dict[int, Any]) -> Node:
    """A copy of every node of the tree, positions kept; `memo` (as
    `copy.deepcopy` keeps it) learns the copy of each node."""
    nodes, sources, records = _flatten(root)
    copies = _rebuild(sources, records)
    for original, copy in zip(nodes, copies):
        memo[id(original)] = copy
    return copies[-1]


def shifted(root: Node, window: bytes, offset: int, is_source: Callable[[bytes], bool]) -> Node | None:
    """A copy of the tree whose positions point into `window`, the bytes
    from `offset` on of the text the tree was read from (`is_source` tells
    that text's bytes); None when some node of the tree has a position
    elsewhere. Nodes built in code stay without a position."""
    _, sources, records = _flatten(root)
    own = [is_source(source) for source in sources]
    limit = offset + len(window)
    moved: list[Record] = []
    for record in records:
        at, start, end = record[1], record[2], record[3]
        if at >= 0:
            if not (own[at] and offset <= start and end <= limit):
                return None
            record = (record[0], 0, start - offset, end - offset, *record[4:])
        moved.append(record)
    return _rebuild((window,), moved)[-1]
