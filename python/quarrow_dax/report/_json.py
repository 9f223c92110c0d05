"""Positioned JSON for report files: every string, object and array read
knows where it is in its file, also inside a JSON text that a JSON string
holds (PBIR-Legacy keeps a visual's `config` and `filters` so), where one
character of the inner text may stand for two or six of the file.

Values are those of `quarrow_dax.model.json_reader` (the reader `.bim` files
are read with): `JsonString`, `JsonObject` and `JsonArray` know where they
are. A text that is plain JSON is read natively, and places are kept only
inside the containers that hold what the report readers look for; any other
text is read by that reader in Python, which says where and what is wrong.
"""

from __future__ import annotations

import bisect
import json
from dataclasses import dataclass
from typing import Any

from .. import _syntax
from ..diagnostics import Diagnostic, LineIndex, Severity
from ..model.json_reader import JsonArray, JsonError, JsonObject, JsonReader, JsonString, read_native

__all__ = ["JsonArray", "JsonObject", "JsonProblem", "JsonString", "JsonText", "RawSpan", "is_string"]

def is_string(value: Any) -> bool:
    """Whether `value` is a string the reader returned (and so has a place)."""
    return isinstance(value, JsonString)


@dataclass(frozen=True, slots=True)
class RawSpan:
    """Where a JSON string token sits in its file: `start` and `end` are
    character offsets of the file's text, the quotes included (for a string
    of a JSON text inside a string, its escaped quotes, `\\"`). `depth` is 1
    for a string of the file's own JSON, 2 for one of a JSON text held in a
    string of it. `text(value)` is what to write there instead."""

    file: str
    start: int
    end: int
    depth: int = 1

    def text(self, value: str) -> str:
        """The token for a string `value`, escaped as often as `depth` asks."""
        token = json.dumps(value, ensure_ascii=False)
        for _ in range(self.depth - 1):
            token = json.dumps(token, ensure_ascii=False)[1:-1]
        return token


class JsonProblem(Exception):
    """A JSON text that cannot be read, or reads oddly (`severity`
    "warning"): `message` about the character at `offset` of the file."""

    def __init__(self, file: str, offset: int, message: str, severity: Severity = "error") -> None:
        super().__init__(file, offset, message)
        self.file = file
        self.offset = offset
        self.message = message
        self.severity: Severity = severity


class JsonText:
    """A JSON text of a report file: the file's own text, or (`parent` set)
    the value of one JSON string of another JSON text. Offsets into `text`
    map to offsets of the file's text (`file_offset`) and to 1-based lines
    and columns of the file (`position`)."""

    __slots__ = ("file", "text", "parent", "depth", "root", "_span", "_escapes", "_line_starts", "_index")

    def __init__(self, file: str, text: str, parent: JsonText | None = None,
                 span: tuple[int, int] = (0, 0)) -> None:
        self.file = file
        self.text = text
        self.parent = parent
        self.depth: int = 1 if parent is None else parent.depth + 1
        #: The file's own text, at the top of the chain of parents.
        self.root: JsonText = self if parent is None else parent.root
        # Inside a string of the parent: the parent's offsets of its first
        # character and just past its last, and (worked out when first
        # asked) where its escapes are.
        self._span = span
        self._escapes: tuple[list[int], list[int], list[int]] | None = None
        self._line_starts: list[int] | None = None
        self._index: LineIndex | None = None

    def _escape_map(self) -> tuple[list[int], list[int], list[int]]:
        """For each escape of the string holding this text: the offset of the
        character it makes in this text, its offset in the parent's text,
        and its length there."""
        if self._escapes is None:
            assert self.parent is not None
            self._escapes = _syntax.escape_map(self.parent.text, *self._span)
        return self._escapes

    def file_offset(self, offset: int) -> int:
        text = self
        while text.parent is not None:
            decoded, raw, lengths = text._escape_map()
            index = bisect.bisect_right(decoded, offset) - 1
            if index < 0:
                offset = text._span[0] + offset
            elif offset == decoded[index]:
                offset = raw[index]
            else:
                offset = raw[index] + lengths[index] + (offset - decoded[index] - 1)
            text = text.parent
        return offset

    def position(self, offset: int) -> tuple[int, int]:
        """(line, column) in the file of an offset of this text."""
        root = self.root
        starts = root._line_starts
        if starts is None:
            starts = root._line_starts = _syntax.line_starts(root.text)
        if self.parent is not None:
            offset = self.file_offset(offset)
        line = bisect.bisect_right(starts, offset)
        return line, offset - starts[line - 1] + 1

    def place(self, value: Any, owner: Any = None) -> tuple[int, int]:
        """(line, column) of a value the reader returned (a string, object or
        array), else of `owner`'s; (0, 0) when neither has a place."""
        for candidate in (value, owner):
            start = getattr(candidate, "start", None)
            if start is not None:
                return self.position(start)
        return 0, 0

    def span(self, value: Any) -> RawSpan:
        """The raw span of a string the reader returned."""
        if self.parent is None:
            return RawSpan(self.file, value.start, value.end, 1)
        return RawSpan(self.file, self.file_offset(value.start), self.file_offset(value.end), self.depth)

    # --- reading ----------------------------------------------------------------

    def parse(self, problems: list[JsonProblem]) -> Any:
        """The value of the whole text. Raises JsonProblem where it is not
        JSON; appends what reads oddly (a key given twice) to `problems`."""
        return _read(self, problems)

    def nested(self, value: JsonString) -> JsonText:
        """The text that the string `value` of this text holds."""
        return JsonText(self.file, str(value), self, (value.start + 1, value.end - 1))

    def formula_places(self, value: JsonString) -> tuple[tuple[tuple[int, int], ...], tuple[int, ...]]:
        """For the lines of a string's value (DAX text): where each begins in
        the file, and how many of its leading characters sit one to one on
        the file's characters (up to the first escape), as `Formula` keeps
        them."""
        inner = self.nested(value)
        starts: list[tuple[int, int]] = []
        exact: list[int] = []
        begin = 0
        text = inner.text
        while True:
            end = text.find("\n", begin)
            stop = len(text) if end < 0 else end
            first = inner.file_offset(begin)
            starts.append(inner.position(begin))
            count = 0
            while begin + count < stop and inner.file_offset(begin + count + 1) == first + count + 1:
                count += 1
            exact.append(count)
            if end < 0:
                break
            begin = end + 1
        return tuple(starts), tuple(exact)

    # --- problems ---------------------------------------------------------------

    def diagnostic(self, offset: int | None, message: str, *, code: str = "", severity: Severity = "error",
                   kind: str = "report", hint: str | None = None, end: int | None = None) -> Diagnostic:
        """A finding about the character at `offset` of this text (to `end`),
        with its line of the file shown; about the whole file when `offset`
        is None."""
        if offset is None:
            return Diagnostic.for_path(kind, message, self.file, severity=severity, code=code, hint=hint)
        return self.file_diagnostic(self.file_offset(offset), message, code=code, severity=severity, kind=kind,
                                    hint=hint, end=None if end is None else self.file_offset(end))

    def file_diagnostic(self, offset: int, message: str, *, code: str = "", severity: Severity = "error",
                        kind: str = "report", hint: str | None = None, end: int | None = None) -> Diagnostic:
        """As `diagnostic`, for an offset of the file's text itself."""
        root = self.root
        if root._index is None:
            root._index = LineIndex(root.text)
        index = root._index
        line, column = root.position(offset)
        start_byte = index.offset(line, column)
        if end is None or end <= offset:
            end_byte = start_byte + len(root.text[offset : offset + 1].encode("utf-8", "surrogatepass"))
        else:
            end_line, end_column = root.position(end)
            end_byte = index.offset(end_line, end_column)
        return Diagnostic.at(index, start_byte, end_byte, kind, message, path=self.file, code=code,
                             severity=severity, hint=hint)


def _read(text: JsonText, problems: list[JsonProblem]) -> Any:
    """The positioned value of `text`: read natively when it is plain JSON,
    placing only what the readers look at (see `_PLACED_STRINGS`); else by
    the model's reader, which says where and what is wrong (or odd: a key
    given twice)."""
    found = _read_fast(text.text)
    if found is not _SLOW:
        return found
    reader = JsonReader(text.text)

    def warn(message: str, line: int, column: int) -> None:
        offset = reader.line_starts[min(line, len(reader.line_starts)) - 1] + column - 1
        problems.append(JsonProblem(text.file, text.file_offset(min(offset, len(text.text))), message, "warning"))

    reader.warn = warn
    try:
        return reader.read_carefully()
    except JsonError as error:
        raise JsonProblem(text.file, text.file_offset(error.offset), error.message) from None


_SLOW = object()


def _read_fast(source: str) -> Any:
    """The value of `source`, placed where the readers look, read natively;
    `_SLOW` when it is not plain JSON (a fault, a key given twice, nesting
    too deep): the careful reader then reads it."""
    found = read_native(source, _PLACED_STRINGS, _MARKERS)
    return _SLOW if found is None else found[0]


# What the readers need a place for lies inside a container holding one of
# these strings (as a key, mostly): field references and their tables,
# selectors, report DAX, JSON texts inside strings, paths a report names. A
# container holding none of them is kept as a plain dict or list, which the
# field walk steps over.
_MARKERS = frozenset({
    "Property", "Level", "Hierarchy", "Entity", "Source", "Expression", "metadata", "NativeVisualCalculation",
    "NativeMeasure", "entity", "expression", "config", "filters", "query", "dataTransforms", "parameters", "path",
    "connectionString",
})
# The keys whose string values the readers need the places of; other
# strings are kept as plain str.
_PLACED_STRINGS = frozenset({
    "Property", "Level", "Hierarchy", "Entity", "Source", "Schema", "Name", "ProposedName", "Expression", "metadata",
    "queryRef", "entity", "name", "schema", "expression", "displayName", "config", "filters", "query",
    "dataTransforms", "parameters", "path", "connectionString", "boundSection", "pageOrder",
})
