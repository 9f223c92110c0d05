"""Turn an error of the parser into a diagnostic a person can read.

The functions of `quarrow_dax` report a lexical or syntax error as a
ValueError whose text ends with a byte span of the UTF-8 input, for example
"parse error: expected end of input at 2..3". `Diagnostic.from_error` reads
that text back and works out lines and columns, so that an editor or a person
can find the spot::

    from quarrow_dax import parse_expression
    from quarrow_dax.diagnostics import Diagnostic

    source = "1 +\\n  2 2"
    try:
        parse_expression(source)
    except ValueError as error:
        diagnostic = Diagnostic.from_error(error, source)
        print(diagnostic.render("measure.dax"))

prints::

    measure.dax:2:5: parse error: expected end of input
      2 2
        ^

Lines are separated by line feeds only (a carriage return before one belongs
to no column anyone would count), and both lines and columns start at 1;
columns count characters, not bytes. The end position is exclusive, like the
byte span it comes from.
"""

from __future__ import annotations

import bisect
import re
import unicodedata
from dataclasses import dataclass, field
from typing import Literal

__all__ = ["Diagnostic", "ERROR_PATTERN", "LineIndex", "split_error"]

#: The display text of the module's errors. DOTALL because a message quotes
#: the offending character, which may be a line feed.
ERROR_PATTERN = re.compile(r"^(lex|parse) error: (.*) at (\d+)\.\.(\d+)$", re.DOTALL)

_CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f-\x9f]")

Kind = Literal["lex", "parse"]


def split_error(text: str) -> tuple[Kind, str, int, int]:
    """Splits an error text of the module into (kind, message, start, end).

    Raises ValueError when `text` is not shaped like one, so that an
    unrelated ValueError is never mistaken for a located diagnostic."""
    match = ERROR_PATTERN.match(text)
    if match is None:
        raise ValueError(f"not an error of quarrow_dax: {text!r}")
    kind: Kind = "lex" if match.group(1) == "lex" else "parse"
    return kind, match.group(2), int(match.group(3)), int(match.group(4))


class LineIndex:
    """Maps UTF-8 byte offsets of one source text to 1-based (line, column)
    positions, columns counting characters, and back. Built once per text
    (the line starts are found in one pass), so that mapping many spans of
    the same text costs a binary search and the decoding of one line each::

        index = LineIndex("VAR x = 1\nRETURN  x")
        index.position(18)     # (2, 9): the `x` after RETURN
        index.offset(2, 9)     # 18

    Lines are separated by line feeds only; a carriage return before one is
    the last character of its line."""

    __slots__ = ("data", "line_starts")

    def __init__(self, source: str | bytes) -> None:
        self.data = source if isinstance(source, bytes) else source.encode("utf-8", "surrogatepass")
        starts = [0]
        find = self.data.find
        at = find(b"\n")
        while at >= 0:
            starts.append(at + 1)
            at = find(b"\n", at + 1)
        self.line_starts = starts

    def line_start(self, line: int) -> int:
        """The byte offset where 1-based `line` begins (clamped to the text)."""
        return self.line_starts[min(max(line, 1), len(self.line_starts)) - 1]

    def line_text(self, line: int) -> str:
        """The text of 1-based `line` without its line end."""
        start = self.line_start(line)
        end = self.data.find(b"\n", start)
        text = self.data[start : len(self.data) if end < 0 else end].decode("utf-8", "replace")
        return text[:-1] if text.endswith("\r") else text

    def position(self, offset: int) -> tuple[int, int]:
        """(line, column) of a byte offset, clamped to the text. An offset
        inside a character (the parser never reports one) counts that
        character once instead of failing."""
        offset = min(max(offset, 0), len(self.data))
        line = bisect.bisect_right(self.line_starts, offset)
        start = self.line_starts[line - 1]
        return line, len(self.data[start:offset].decode("utf-8", "replace")) + 1

    def offset(self, line: int, column: int) -> int:
        """The byte offset of 1-based (line, column); a column past the end
        of its line gives the line's end."""
        start = self.line_start(line)
        end = self.data.find(b"\n", start)
        text = self.data[start : len(self.data) if end < 0 else end].decode("utf-8", "replace")
        return start + len(text[: max(column - 1, 0)].encode("utf-8"))


def _width(character: str) -> int:
    """Terminal columns a character takes, so that carets under East Asian
    text or combining accents stay aligned with what they mark."""
    if unicodedata.combining(character):
        return 0
    return 2 if unicodedata.east_asian_width(character) in ("W", "F") else 1


@dataclass(frozen=True)
class Diagnostic:
    """One located error. `start` and `end` are byte offsets of the UTF-8
    source; the line and column pairs are 1-based character positions of the
    same span, `end_line`/`end_column` pointing just past its last character."""

    kind: Kind
    message: str
    start: int
    end: int
    line: int
    column: int
    end_line: int
    end_column: int
    #: The text of line `line` without its line end, kept so that `render`
    #: works after the source is gone (for example in another process).
    source_line: str = field(repr=False, default="")

    @classmethod
    def from_error(cls, error: ValueError | str, source: str) -> Diagnostic:
        """The diagnostic of an error the module raised while reading `source`."""
        kind, message, start, end = split_error(str(error))
        index = LineIndex(source)
        # Clamped: a span is never past the input, but a diagnostic built from
        # a stale message and a changed source must not fail.
        start = min(start, len(index.data))
        end = min(max(end, start), len(index.data))
        line, column = index.position(start)
        end_line, end_column = index.position(end)
        text = index.line_text(line)
        return cls(kind, message, start, end, line, column, end_line, end_column, text)

    def header(self, path: str) -> str:
        """The first line of `render`: "path:line:column: kind error: message"."""
        return f"{path}:{self.line}:{self.column}: {self.kind} error: {self.message}"

    def caret_line(self) -> str:
        """Carets under the span on its first line, at least one; a span that
        continues on later lines is marked to the end of this one. The padding
        keeps the line's tabs so that the carets line up under any tab width."""
        before = self.source_line[: self.column - 1]
        padding = "".join("\t" if c == "\t" else " " * _width(c) for c in before)
        if self.end_line == self.line:
            marked = self.source_line[self.column - 1 : self.end_column - 1]
        else:
            marked = self.source_line[self.column - 1 :]
        width = sum(_width(c) for c in marked)
        return padding + "^" * max(1, width)

    def excerpt(self) -> str:
        """The source line and the caret line, without a final line feed.
        Control characters of the source line (but tabs) show as U+FFFD, one
        column each, so that they cannot move the cursor or ring the
        terminal's bell."""
        shown = _CONTROL.sub("\ufffd", self.source_line)
        return f"{shown}\n{self.caret_line()}"

    def render(self, path: str) -> str:
        """The header, then `excerpt`, without a final line feed."""
        return f"{self.header(path)}\n{self.excerpt()}"

    def to_dict(self, path: str) -> dict[str, str | int]:
        """The fields a machine reads, with the file's path first."""
        return {
            "path": path,
            "kind": self.kind,
            "message": self.message,
            "start": self.start,
            "end": self.end,
            "line": self.line,
            "column": self.column,
            "end_line": self.end_line,
            "end_column": self.end_column,
        }
