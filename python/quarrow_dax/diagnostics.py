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

import re
import unicodedata
from dataclasses import dataclass, field
from typing import Literal

__all__ = ["Diagnostic", "ERROR_PATTERN", "split_error"]

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


def _position(data: bytes, offset: int) -> tuple[int, int, int]:
    """(line, column, byte offset where that line starts) of a byte offset."""
    line_start = data.rfind(b"\n", 0, offset) + 1
    line = data.count(b"\n", 0, line_start) + 1
    # "replace": an offset inside a character (the parser never reports one)
    # still counts that character once instead of failing.
    column = len(data[line_start:offset].decode("utf-8", "replace")) + 1
    return line, column, line_start


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
        data = source.encode("utf-8", "surrogatepass")
        # Clamped: a span is never past the input, but a diagnostic built from
        # a stale message and a changed source must not fail.
        start = min(start, len(data))
        end = min(max(end, start), len(data))
        line, column, line_start = _position(data, start)
        end_line, end_column, _ = _position(data, end)
        line_end = data.find(b"\n", line_start)
        if line_end < 0:
            line_end = len(data)
        text = data[line_start:line_end].decode("utf-8", "replace")
        if text.endswith("\r"):
            text = text[:-1]
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
