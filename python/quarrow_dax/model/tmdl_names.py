"""Where a TMDL file spells the names of its objects: the name of each
declaration (`table Sales`, `measure 'Sales Amount'`, `ref table Sales`, a
role's `tablePermission Sales`, a perspective's `perspectiveColumn Amount`,
a translation's `column Amount`) and each property whose value names an
object (`sortByColumn`, a level's `column`, `groupByColumn`, a
relationship's `fromColumn: Sales.'Order Date'`, a variation's
`defaultHierarchy`, an aggregation's `baseColumn` and `baseTable`), and in
the JSON the file holds, Power BI's `PBI_QueryOrder` annotation and the Q&A
bindings of linguistic metadata. The reader tells `TmdlNames` of each line
it reads as a statement, so that no line of an expression is ever taken for
one.

    names = TmdlNames(file, text)
    list(TmdlReader(Path(file), text=text, names=names).formulas())
    for place in names.places:
        print(place.kind, place.table, place.name, text[place.start:place.end])

A TMDL name is bare, or in single quotes with inner quotes doubled; it
must be quoted when it holds white space, `.`, `=`, `:` or `'`
(`tmdl_quote`).
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Any

from .json_reader import JsonError, JsonReader, JsonString
from .names import NameKind, NamePlace, Wanted, binding_places, query_order_places

if TYPE_CHECKING:
    from .tmdl import TmdlStatement

__all__ = ["TmdlNames", "needs_tmdl_quotes", "tmdl_quote"]

_WORD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_QUOTED = re.compile(r"'((?:[^']|'')*)'")
_BARE = re.compile(r"[^\s'=:]+")
# A bare part of `Table.Column`: up to the dot (the table) or to the end.
_BARE_PART = re.compile(r"[^\s'=:.]+")
_SPACE = re.compile(r"[ \t]*")
_NEEDS_QUOTES = re.compile(r"[\s.=:']")

# Declarations inside a table (or a perspective's table) and what they name.
_MEMBERS: dict[str, NameKind] = {
    "column": "column", "measure": "measure", "hierarchy": "hierarchy", "calculationItem": "calculation item",
    "perspectiveColumn": "column", "perspectiveMeasure": "measure", "perspectiveHierarchy": "hierarchy",
    "columnPermission": "column",
}
# The statements a member's table is the name of.
_TABLES = {"table", "perspectiveTable", "tablePermission"}
# Properties naming a column of the table they stand in, and the statement
# they belong to.
_COLUMN_PROPERTIES = {"sortByColumn": "column", "column": "level", "groupByColumn": "relatedColumnDetails"}
# Properties `Table.Member` (or `Table`), by the statement they belong to.
_QUALIFIED: dict[tuple[str, str], tuple[NameKind | None, str]] = {
    ("relationship", "fromColumn"): ("column", "relationship"),
    ("relationship", "toColumn"): ("column", "relationship"),
    ("relationship", "fromTable"): (None, "relationship"),
    ("relationship", "toTable"): (None, "relationship"),
    ("variation", "defaultHierarchy"): ("hierarchy", "variation"),
    ("alternateOf", "baseColumn"): ("column", "alternate of"),
    ("alternateOf", "baseTable"): (None, "alternate of"),
}


def needs_tmdl_quotes(name: str) -> bool:
    """Whether TMDL must quote `name`: it holds white space, `.`, `=`, `:`
    or `'`, or is empty."""
    return not name or _NEEDS_QUOTES.search(name) is not None


def tmdl_quote(name: str, quoted: bool = False) -> str:
    """`name` as TMDL writes it: bare, or (when it must be, or `quoted`
    asks) in single quotes with inner quotes doubled."""
    if quoted or needs_tmdl_quotes(name):
        return "'" + name.replace("'", "''") + "'"
    return name


def _everything(_: str) -> bool:
    return True


class TmdlNames:
    """Collects the name places of one TMDL file (`places`) from what its
    reader tells it (see the module's documentation). JSON blocks are read
    only when `wanted` says they may hold a name wanted."""

    def __init__(self, file: str, text: str, wanted: Wanted | None = None) -> None:
        self.file = file
        self.wanted = wanted or _everything
        self.places: list[NamePlace] = []
        # Where each line starts in the text (a carriage return ending a line
        # stays part of it, as the reader strips it).
        self.line_starts = [0]
        position = text.find("\n")
        while position >= 0:
            self.line_starts.append(position + 1)
            position = text.find("\n", position + 1)

    # --- what the reader tells -------------------------------------------------

    def reference(self, index: int, indent: int, content: str) -> None:
        """`ref table Sales` (and `ref function ...`)."""
        match = _WORD.match(content, 3 + len(_SPACE.match(content, 3).group()))  # type: ignore[union-attr]
        if match is None or match.group() not in ("table", "function"):
            return
        found = self.name_at(content, match.end())
        if found is not None:
            self.add(index, indent, found, match.group(), None, "ref")  # type: ignore[arg-type]

    def statement(self, index: int, stack: list[TmdlStatement], content: str) -> None:
        node = stack[-1]
        keyword = node.keyword
        if node.name is not None:
            kind, table, role = self.declared(keyword, stack)
            if kind is not None:
                found = self.name_at(content, len(keyword))
                if found is not None:
                    self.add(index, node.indent, found, kind, table, role)
            return
        if content[len(keyword) : len(keyword) + 1] != ":" or len(stack) < 2:
            return
        owner = stack[-2].keyword
        start = len(keyword) + 1
        start += len(_SPACE.match(content, start).group())  # type: ignore[union-attr]
        if _COLUMN_PROPERTIES.get(keyword) == owner:
            found = self.name_at(content, start, skip_space=False)
            table = self.table_of(stack[:-1])
            if found is not None and table is not None:
                self.add(index, node.indent, found, "column", table, {"column": "sort by", "level": "level column",
                         "relatedColumnDetails": "group by"}[owner])
            return
        qualified = _QUALIFIED.get((owner, keyword))
        if qualified is None:
            return
        member_kind, role = qualified
        first = self.name_at(content, start, skip_space=False, stop_at_dot=member_kind is not None)
        if first is None:
            return
        self.add(index, node.indent, first, "table", None, role)
        if member_kind is not None and content[first[1] : first[1] + 1] == ".":
            second = self.name_at(content, first[1] + 1, skip_space=False)
            if second is not None:
                self.add(index, node.indent, second, member_kind, first[2], role)

    def block(self, stack: list[TmdlStatement], body: list[tuple[str, int, int]]) -> None:
        """The value of a statement (after `=`): Power BI's query order, or
        linguistic metadata; others hold no name this reads."""
        node = stack[-1]
        query_order = node.keyword == "annotation" and node.name == "PBI_QueryOrder" and len(stack) <= 2
        if not (query_order or node.keyword == "linguisticMetadata"):
            return
        text = "\n".join(line for line, _, _ in body)
        if not self.wanted(text):
            return
        # Where each line of the joined text begins in it, and in the file.
        starts = []
        offset = 0
        for line, index, column in body:
            starts.append((offset, self.line_starts[index] + column - 1))
            offset += len(line) + 1

        def file_offset(position: int) -> int:
            low, high = 0, len(starts) - 1
            while low < high:
                middle = (low + high + 1) // 2
                if starts[middle][0] <= position:
                    low = middle
                else:
                    high = middle - 1
            return starts[low][1] + position - starts[low][0]

        def place(token: JsonString) -> tuple[int, int]:
            return file_offset(token.start), file_offset(token.end - 1) + 1

        if not query_order:
            self.places.extend(binding_places(text, self.file, file_offset))
            return
        try:
            value = JsonReader(text).document()
        except JsonError:
            return  # not JSON: nothing of it is a name
        self.places.extend(query_order_places(value, self.file, place))

    # --- helpers -------------------------------------------------------------------

    def declared(self, keyword: str, stack: list[TmdlStatement]) -> tuple[NameKind | None, str | None, str]:
        """What a named statement declares: (kind, its table, role)."""
        parents = [node.keyword for node in stack[:-1]]
        role = ("perspective" if "perspective" in parents else "translation" if "translations" in parents
                else "role permission" if "role" in parents else "declaration")
        if keyword in ("table", "perspectiveTable") or (keyword == "tablePermission" and parents[-1:] == ["role"]):
            return "table", None, role
        kind = _MEMBERS.get(keyword)
        if kind is not None:
            if keyword == "calculationItem" and parents[-1:] != ["calculationGroup"]:
                return None, None, role
            return kind, self.table_of(stack[:-1]), role
        if not parents and keyword in ("function", "expression"):
            return keyword, None, role  # type: ignore[return-value]
        return None, None, role

    @staticmethod
    def table_of(stack: list[TmdlStatement]) -> str | None:
        for node in reversed(stack):
            if node.keyword in _TABLES:
                return node.name
        return None

    @staticmethod
    def name_at(content: str, position: int, *, skip_space: bool = True,
                stop_at_dot: bool = False) -> tuple[int, int, str, bool] | None:
        """(start, end, name, quoted) of the name written at `position` of a
        line's content (after white space, when `skip_space`)."""
        if skip_space:
            space = _SPACE.match(content, position)
            if space is None or not space.group():
                return None
            position = space.end()
        quoted = _QUOTED.match(content, position)
        if quoted is not None:
            return position, quoted.end(), quoted.group(1).replace("''", "'"), True
        bare = (_BARE_PART if stop_at_dot else _BARE).match(content, position)
        if bare is None:
            return None
        return position, bare.end(), bare.group(), False

    def add(self, index: int, indent: int, found: tuple[int, int, str, bool], kind: NameKind, table: str | None,
            role: str) -> None:
        base = self.line_starts[index] + indent
        start, end, name, _ = found
        self.places.append(NamePlace(self.file, base + start, base + end, kind, name, table, role, "tmdl"))
