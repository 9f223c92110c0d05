"""Positioned JSON for report files: every string, object and array read
knows where it is in its file, also inside a JSON text that a JSON string
holds (PBIR-Legacy keeps a visual's `config` and `filters` so), where one
character of the inner text may stand for two or six of the file.

Values are those of `quarrow_dax.model.json_reader` (the reader `.bim` files
are read with): `JsonString`, `JsonObject` and `JsonArray` know where they
are. A text that is plain JSON is read faster than that reader reads it: the
C decoder reads it, and places are kept only inside the containers that hold
what the report readers look for (`_read_fast`); any other text is read by
that reader, which says where and what is wrong.
"""

from __future__ import annotations

import bisect
import itertools
import json
import re
from dataclasses import dataclass
from typing import Any

from ..diagnostics import Diagnostic, LineIndex, Severity
from ..model.json_reader import JsonArray, JsonError, JsonObject, JsonReader, JsonString

__all__ = ["JsonArray", "JsonObject", "JsonProblem", "JsonString", "JsonText", "RawSpan", "is_string"]

# A JSON escape, a surrogate pair first: json.loads makes one character of it.
_ESCAPE = re.compile(
    r"\\u[dD][89abAB][0-9a-fA-F]{2}\\u[dD][c-fC-F][0-9a-fA-F]{2}|\\(?:u[0-9a-fA-F]{4}|.)", re.DOTALL
)


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

    __slots__ = ("file", "text", "parent", "depth", "_span", "_escapes", "_line_starts", "_index")

    def __init__(self, file: str, text: str, parent: JsonText | None = None,
                 span: tuple[int, int] = (0, 0)) -> None:
        self.file = file
        self.text = text
        self.parent = parent
        self.depth: int = 1 if parent is None else parent.depth + 1
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
            start, end = self._span
            found = list(_ESCAPE.finditer(self.parent.text, start, end))
            raw = [match.start() for match in found]
            lengths = [match.end() - match.start() for match in found]
            # Each escape shortens the text by its length less one.
            shortened = itertools.accumulate((length - 1 for length in lengths), initial=0)
            decoded = [offset - start - before for offset, before in zip(raw, shortened)]
            self._escapes = (decoded, raw, lengths)
        return self._escapes

    @property
    def root(self) -> JsonText:
        text = self
        while text.parent is not None:
            text = text.parent
        return text

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
        if root._line_starts is None:
            root._line_starts = [0] + [match.end() for match in re.finditer("\n", root.text)]
        offset = self.file_offset(offset)
        line = bisect.bisect_right(root._line_starts, offset)
        return line, offset - root._line_starts[line - 1] + 1

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
    """The positioned value of `text`: read fast when it is plain JSON,
    else by the model's reader, which says where and what is wrong (or odd:
    a key given twice)."""
    found = _read_fast(text.text)
    if found is not _SLOW:
        return found
    reader = JsonReader(text.text)

    def warn(message: str, line: int, column: int) -> None:
        offset = reader.line_starts[min(line, len(reader.line_starts)) - 1] + column - 1
        problems.append(JsonProblem(text.file, text.file_offset(min(offset, len(text.text))), message, "warning"))

    reader.warn = warn
    try:
        return reader.document()
    except JsonError as error:
        raise JsonProblem(text.file, text.file_offset(error.offset), error.message) from None


# What the readers need a place for lies inside a container holding one of
# these keys: field references and their tables, selectors, report DAX,
# JSON texts inside strings, paths a report names. A container holding none
# of them is kept as the decoder gives it, without places.
_MARKERS = re.compile(
    r'"(?:Property|Level|Hierarchy|Entity|Source|Expression|metadata|NativeVisualCalculation|NativeMeasure'
    r'|entity|expression|config|filters|query|dataTransforms|parameters|path|connectionString)"'
)
_WHITE = re.compile(r"[ \t\n\r]*")
_STRING = re.compile(r'"[^"\\\x00-\x1f]*(?:\\.[^"\\\x00-\x1f]*)*"', re.DOTALL)
_SLOW = object()


def _refuse(_: str) -> Any:
    raise ValueError("not JSON")


_DECODER = json.JSONDecoder(parse_constant=_refuse)


class _Unexpected(Exception):
    pass


def _read_fast(source: str) -> Any:
    """The value of `source` with the places the model's reader gives
    (strings' start and end, objects' and arrays' start) inside every
    container that holds one of `_MARKERS`, the rest as the C decoder gives
    it: only what the readers look at is walked in Python. `_SLOW` when the
    text is not plain JSON (a fault, a key given twice, NaN, nesting too
    deep for the decoder): the careful reader then reads it."""
    try:
        _DECODER.decode(source)
    except (ValueError, RecursionError):
        return _SLOW
    start = _WHITE.match(source).end()  # type: ignore[union-attr]
    if source[start : start + 1] not in ("{", "["):
        return _DECODER.decode(source)  # a scalar document has nothing to place
    try:
        return _place(source, start)
    except (_Unexpected, ValueError, RecursionError):
        return _SLOW


# One member's key and the colon after it; what follows a value; a scalar.
_STRING_PATTERN = r'"[^"\\\x00-\x1f]*(?:\\.[^"\\\x00-\x1f]*)*"'
_SCALAR_PATTERN = r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?|true|false|null"
_KEY = re.compile(f"({_STRING_PATTERN})[ \t\n\r]*:[ \t\n\r]*", re.DOTALL)
_AFTER = re.compile(r"[ \t\n\r]*([,}\]])[ \t\n\r]*")
_SCALAR = re.compile(_SCALAR_PATTERN)
_LITERALS = {"true": True, "false": False, "null": None}
# The keys whose string values the readers need the places of; other
# strings are kept as plain str.
_PLACED_STRINGS = frozenset({
    "Property", "Level", "Hierarchy", "Entity", "Source", "Schema", "Name", "ProposedName", "Expression", "metadata",
    "queryRef", "entity", "name", "schema", "expression", "displayName", "config", "filters", "query",
    "dataTransforms", "parameters", "path", "connectionString", "boundSection", "pageOrder",
})


def _place(source: str, start: int) -> Any:
    """The placed container at `start`; each child container holding a
    marker, and every child of the root (where the readers look for a
    document's own shape), is placed in its turn (a work list, no
    recursion)."""
    root = JsonObject() if source[start] == "{" else JsonArray()
    work: list[tuple[Any, int, bool]] = [(root, start, True)]
    key_at, after_at, string_at, scalar_at = _KEY.match, _AFTER.match, _STRING.match, _SCALAR.match
    markers = _MARKERS.search
    placed_strings = _PLACED_STRINGS
    while work:
        container, pos, is_root = work.pop()
        container.start = pos
        is_object = type(container) is JsonObject
        closer = "}" if is_object else "]"
        pos = _WHITE.match(source, pos + 1).end()  # type: ignore[union-attr]
        if source[pos] == closer:
            container.end = pos + 1
            continue
        key = ""
        while True:
            if is_object:
                match = key_at(source, pos)
                if match is None:
                    raise _Unexpected
                raw = match.group(1)
                key = json.loads(raw) if "\\" in raw else raw[1:-1]
                if key in container:
                    raise _Unexpected  # a key given twice: the careful reader warns of it
                pos = match.end()
            char = source[pos]
            if char == '"':
                match = string_at(source, pos)
                if match is None:
                    raise _Unexpected
                end = match.end()
                raw = match.group()
                text = json.loads(raw) if "\\" in raw else raw[1:-1]
                if is_object and key in placed_strings:
                    value: Any = JsonString(text)
                    value.start, value.end = pos, end
                else:
                    value = text
            elif char == "{" or char == "[":
                value, end = _DECODER.raw_decode(source, pos)
                if is_root or markers(source, pos, end):
                    value = JsonObject() if char == "{" else JsonArray()
                    work.append((value, pos, False))
            else:
                match = scalar_at(source, pos)
                if match is None:
                    raise _Unexpected
                end = match.end()
                token = match.group()
                value = _LITERALS[token] if token in _LITERALS else (
                    float(token) if "." in token or "e" in token or "E" in token else int(token))
            if is_object:
                container[key] = value
            else:
                container.append(value)
            match = after_at(source, end)
            if match is None:
                raise _Unexpected
            pos = match.end()
            if match.group(1) == ",":
                continue
            if match.group(1) == closer:
                container.end = match.end(1)
                break
            raise _Unexpected
    return root
