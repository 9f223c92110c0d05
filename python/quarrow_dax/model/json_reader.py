"""A JSON reader that keeps where every value is written.

The standard `json` module returns values without positions. A reader of a
file that people and tools edit (a ``.bim`` model, a report's
``visual.json`` or ``report.json``) needs them: to say where a fault is, and
to splice new text over one value leaving every other byte as it was::

    from quarrow_dax.model.json_reader import JsonError, JsonReader

    reader = JsonReader(text, warn=lambda message, line, column: print(line, column, message))
    try:
        root = reader.document()
    except JsonError as error:
        print(f"{error.line}:{error.column}: {error.message}")
    name = root["name"]                        # a JsonString: a str that knows its place
    text[name.start : name.end]                # '"Sales \\u0026 Cost"': quotes and escapes as written
    reader.raw(name)                           # 'Sales \\u0026 Cost': between the quotes
    reader.position(name.start)                # (line, column) of its opening quote
    root.span("version")                       # (start, end) of any member, numbers and literals too

`document()` returns what `json.loads` returns, with these types:

- a string is a `JsonString` (a `str`), an object a `JsonObject` (a
  `dict`), an array a `JsonArray` (a `list`). Each has `start` and `end`:
  where its JSON text begins and just past where it ends, so that
  ``text[value.start:value.end]`` is the value as written (a string with its
  quotes and escapes). Object keys are plain `str`.
- numbers, ``true``, ``false`` and ``null`` are plain Python values. Their
  place is kept by their container: ``JsonObject.span(key)`` and
  ``JsonArray.span(index)`` give (start, end) of any member, whatever its type.

Offsets count characters of `text` (Python string indices); `position`
turns one into a 1-based line and column (columns count characters, lines
end at line feeds).

A JSON text held inside a JSON string (PBIR-Legacy's ``config`` and
``filters``) is read with a second reader over the string's value; its
offsets map back to the file through `source_offsets` of the outer reader.

What reads but may not mean what its author meant (a key given twice: the
value given last is used, as `json.loads` does) is passed to `warn` as
(message, line, column). What cannot be read raises `JsonError`, a
ValueError with `message`, `offset`, `line` and `column`. Nesting costs no
stack: open containers are kept on a list, at most `MAX_DEPTH` deep.
"""

from __future__ import annotations

import bisect
import json
import re
from collections.abc import Callable
from typing import Any

__all__ = ["MAX_DEPTH", "JsonArray", "JsonError", "JsonObject", "JsonReader", "JsonString"]

#: How many arrays and objects may be open at once. Deeper than any model or
#: report nests: a bound on what a nesting bomb can make the reader hold.
MAX_DEPTH = 500


class JsonString(str):
    """A decoded JSON string that remembers where its token is: `start` at
    the opening quote, `end` just past the closing one."""

    start: int
    end: int


class JsonObject(dict[str, Any]):
    """A JSON object: `start` at its ``{``, `end` just past its ``}``. For a
    key given twice, the value given last."""

    start: int
    end: int
    # Where the numbers, booleans and nulls are: they cannot carry it themselves.
    _scalar_spans: dict[str, tuple[int, int]] | None = None
    # Where the keys are, when the reader was asked to keep them.
    _key_spans: dict[str, tuple[int, int]] | None = None

    def span(self, key: str) -> tuple[int, int]:
        """(start, end) of the value of `key`, whatever its type."""
        return _member_span(self[key], self._scalar_spans, key)

    def key_span(self, key: str) -> tuple[int, int]:
        """(start, end) of the string token of `key` itself, its quotes
        included; only of a reader made with `keys=True` (else KeyError).
        For a key given twice, the last."""
        if self._key_spans is None:
            raise KeyError(key)
        return self._key_spans[key]


class JsonArray(list[Any]):
    """A JSON array: `start` at its ``[``, `end` just past its ``]``."""

    start: int
    end: int
    _scalar_spans: dict[int, tuple[int, int]] | None = None

    def span(self, index: int) -> tuple[int, int]:
        """(start, end) of the item at `index` (0-based), whatever its type."""
        if index < 0:
            index += len(self)
        return _member_span(self[index], self._scalar_spans, index)


def _member_span(value: Any, scalar_spans: dict[Any, tuple[int, int]] | None, key: Any) -> tuple[int, int]:
    if isinstance(value, (JsonString, JsonObject, JsonArray)):
        return value.start, value.end
    if scalar_spans is None or key not in scalar_spans:
        raise KeyError(key)  # a member added after reading
    return scalar_spans[key]


class JsonError(ValueError):
    """Text that is not JSON: `message` and where the reading stopped, as an
    `offset` into the text and a 1-based `line` and `column`."""

    def __init__(self, message: str, offset: int, line: int, column: int) -> None:
        super().__init__(f"{line}:{column}: {message}")
        self.message = message
        self.offset = offset
        self.line = line
        self.column = column


_WHITE = re.compile(r"[ \t\r\n]*")
_STRING = re.compile(r'"[^"\\\x00-\x1f]*(?:\\.[^"\\\x00-\x1f]*)*"', re.DOTALL)
_NUMBER = re.compile(r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?")
_ESCAPE = re.compile(r"\\(?:u[0-9a-fA-F]{4}|.)", re.DOTALL)
_LITERALS = {"true": True, "false": False, "null": None}
_LINE_FEEDS = ("\\n", "\\u000a", "\\u000A")
# Python refuses to turn more than 4,300 digits into an int; no property
# of a model or report needs such a number's exact value.
_LONGEST_NUMBER = 300


def _skip_white(text: str, pos: int) -> int:
    match = _WHITE.match(text, pos)
    return match.end() if match else pos


def _is_surrogate_escape(escape: str, low: int, high: int) -> bool:
    return len(escape) == 6 and escape[1] == "u" and low <= int(escape[2:], 16) <= high


class JsonReader:
    """Reads one JSON text, keeping positions (see the module's notes).
    `warn`, when given, hears of keys given twice. With `keys`, every
    object also keeps where its keys are written (`JsonObject.key_span`):
    what a tool that renames a key needs."""

    def __init__(self, text: str, warn: Callable[[str, int, int], None] | None = None, *, keys: bool = False) -> None:
        self.text = text
        self.warn = warn
        self.keys = keys
        self.line_starts = [0] + [match.end() for match in re.finditer("\n", text)]

    def position(self, offset: int) -> tuple[int, int]:
        """The 1-based (line, column) of an offset into the text."""
        line = bisect.bisect_right(self.line_starts, offset)
        return line, offset - self.line_starts[line - 1] + 1

    def error(self, offset: int, message: str) -> JsonError:
        return JsonError(message, offset, *self.position(offset))

    def document(self) -> Any:
        """The value of the whole text."""
        text = self.text
        pos = _skip_white(text, 0)
        # The open containers, each with the key whose value comes next (objects).
        stack: list[list[Any]] = []
        while True:
            char = text[pos : pos + 1]
            value: Any
            start = pos
            scalar = False
            if char == "{" or char == "[":
                if len(stack) >= MAX_DEPTH:
                    raise self.error(pos, "invalid JSON: nested too deeply")
                value = JsonObject() if char == "{" else JsonArray()
                value.start = pos
                pos = _skip_white(text, pos + 1)
                if text.startswith("}" if char == "{" else "]", pos):
                    pos += 1
                    value.end = pos
                else:
                    stack.append([value, None])
                    if char == "{":
                        pos = self.key(stack[-1], pos)
                    continue
            elif char == '"':
                value, pos = self.string(pos)
            else:
                value, pos = self.scalar(pos)
                scalar = True
            # Store the value in the innermost container, closing those that end here.
            while True:
                if not stack:
                    end = _skip_white(text, pos)
                    if end != len(text):
                        raise self.error(end, "invalid JSON: text after the end of the document")
                    return value
                frame = stack[-1]
                container = frame[0]
                is_object = isinstance(container, JsonObject)
                key = frame[1] if is_object else len(container)
                if is_object:
                    container[key] = value
                else:
                    container.append(value)
                if scalar:
                    if container._scalar_spans is None:
                        container._scalar_spans = {}
                    container._scalar_spans[key] = (start, pos)
                    scalar = False
                pos = _skip_white(text, pos)
                if text.startswith(",", pos):
                    pos = _skip_white(text, pos + 1)
                    if is_object:
                        pos = self.key(frame, pos)
                    break
                if text.startswith("}" if is_object else "]", pos):
                    stack.pop()
                    value = container
                    start = container.start
                    pos += 1
                    container.end = pos
                    continue
                expected = "',' or '}' in an object" if is_object else "',' or ']' in an array"
                raise self.error(pos, f"invalid JSON: expected {expected}")

    def key(self, frame: list[Any], pos: int) -> int:
        """Reads `"name" :` at `pos` into `frame` (an open object); returns
        where its value starts."""
        text = self.text
        if not text.startswith('"', pos):
            raise self.error(pos, "invalid JSON: expected a property name in double quotes")
        key, end = self.string(pos)
        if key in frame[0] and self.warn is not None:
            # What json.loads does: the last value wins. But a whole array of
            # tables may vanish that way, so say so.
            self.warn(f"duplicate key {json.dumps(key)}: the value given last is used, the one before it is ignored",
                      *self.position(pos))
        if self.keys:
            container = frame[0]
            if container._key_spans is None:
                container._key_spans = {}
            container._key_spans[str(key)] = (pos, end)
        end = _skip_white(text, end)
        if not text.startswith(":", end):
            raise self.error(end, "invalid JSON: expected ':' after a property name")
        frame[1] = str(key)
        return _skip_white(text, end + 1)

    def scalar(self, pos: int) -> tuple[Any, int]:
        """A number, true, false or null at `pos`, and where it ends."""
        text = self.text
        match = _NUMBER.match(text, pos)
        if match:
            number = match.group()
            return (float(number) if len(number) > _LONGEST_NUMBER else json.loads(number)), match.end()
        for word, literal in _LITERALS.items():
            if text.startswith(word, pos):
                return literal, pos + len(word)
        if pos >= len(text):
            raise self.error(pos, "invalid JSON: unexpected end of the file")
        raise self.error(pos, f"invalid JSON: unexpected character {text[pos]!r}")

    def string(self, pos: int) -> tuple[JsonString, int]:
        """The string whose opening quote is at `pos`, and where it ends."""
        match = _STRING.match(self.text, pos)
        if match is None:
            raise self.error(pos, "invalid JSON: unterminated string or a control character in it")
        raw = match.group()
        if "\\" not in raw:
            # Most strings (names, types, keys) have no escape: the text between
            # the quotes is the value, and json.loads would only cost time.
            result = JsonString(raw[1:-1])
        else:
            try:
                result = JsonString(json.loads(raw))
            except json.JSONDecodeError as error:
                raise self.error(pos + error.pos, f"invalid JSON: {error.msg}") from None
        result.start, result.end = pos, match.end()
        return result, match.end()

    def raw(self, value: JsonString) -> str:
        """The text between a string's quotes as written, escapes and all."""
        return self.text[value.start + 1 : value.end - 1]

    def source_offsets(self, value: JsonString) -> list[int]:
        """Where each character of the decoded string `value` is written: its
        own offset, or that of the escape that writes it; and last, the
        closing quote's. So ``text[offsets[i]:offsets[j]]`` is how
        ``value[i:j]`` is written."""
        text = self.text
        offsets: list[int] = []
        pos, stop = value.start + 1, value.end - 1
        after_high = False
        for match in _ESCAPE.finditer(text, pos, stop):
            escape = match.group()
            # A high and a low surrogate escape side by side decode to one character.
            if after_high and match.start() == pos and _is_surrogate_escape(escape, 0xDC00, 0xDFFF):
                after_high = False
                pos = match.end()
                continue
            offsets.extend(range(pos, match.start() + 1))
            pos = match.end()
            after_high = _is_surrogate_escape(escape, 0xD800, 0xDBFF)
        offsets.extend(range(pos, stop + 1))
        return offsets

    def string_lines(self, value: JsonString) -> list[tuple[int, int, int]]:
        """(line, column, exact characters) for each line of a decoded
        string: a line begins after the opening quote or after an escaped
        line feed, and its characters sit one to one on the text's up to
        its first escape."""
        lines = []
        line_start = pos = value.start + 1
        length = 0
        exact = None
        for match in _ESCAPE.finditer(self.text, pos, value.end - 1):
            length += match.start() - pos
            if exact is None:
                exact = length
            if match.group() in _LINE_FEEDS:
                lines.append((*self.position(line_start), exact))
                line_start, length, exact = match.end(), 0, None
            pos = match.end()
        length += value.end - 1 - pos
        lines.append((*self.position(line_start), length if exact is None else exact))
        return lines
