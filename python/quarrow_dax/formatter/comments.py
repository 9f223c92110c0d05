"""The comments of a DAX text, and where each sits relative to the code, so
that the formatter can put it back next to the same code.

A comment is one of three kinds, by what shares its line in the source:

- OWN: nothing else on its line before it (and, for a block comment, no
  code after it): it is printed on a line of its own, before the code that
  followed it;
- TRAIL: code before it on its line: it is printed at the end of the line
  that holds the code it followed;
- INLINE: a `/* */` comment with code after it on the same line: it is
  printed in place, just before that code.

`--`, `//` and `///` comments run to the end of their line; their trailing
white space (a carriage return of a CRLF file included) is no part of
their text.
"""

from __future__ import annotations

import operator
from collections.abc import Sequence
from itertools import compress
from typing import Any, NamedTuple, cast

from .. import _syntax
from ..syntax.parsing import Separators, _error, _options
from ..syntax.tokens import COMMENT_KINDS, Token

__all__ = ["INLINE", "OWN", "TRAIL", "Comment", "Source", "comment_text", "comment_texts"]

OWN, TRAIL, INLINE = 0, 1, 2

_kind = operator.attrgetter("kind")


class Comment(NamedTuple):
    """One comment: its `text`, where it starts (UTF-8 byte offset), its
    kind (OWN, TRAIL or INLINE), whether it runs to the end of its line
    (`--`, `//`, `///`), and whether an empty line came before it. A tuple,
    so that the many comments of a large file are made at C speed."""

    text: str
    start: int
    kind: int
    runs_to_line_end: bool
    blank_before: bool


def comment_text(token: Token) -> str:
    """The text a comment token keeps when it is printed again."""
    return token.text if token.kind == "BlockComment" else token.text.rstrip()


def comment_texts(tokens: list[Token]) -> list[str]:
    """The texts of the comments among `tokens`, in order."""
    return [comment_text(token) for token in compress(tokens, map(COMMENT_KINDS.__contains__, map(_kind, tokens)))]


def may_hold_comments(text: str) -> bool:
    """Whether `text` holds a comment marker at all (perhaps in a string)."""
    return "--" in text or "//" in text or "/*" in text


_make_comment = Comment._make


class Source:
    """A DAX text as the formatter reads it: its UTF-8 bytes, the start
    offsets of its code tokens, and its comments in order. Without comments
    (a text holding no `--`, `//` or `/*` at all) the tokens are not read:
    only the comments need them. The native lexer classifies the comments
    (format_source.cpp)."""

    __slots__ = ("code_starts", "comments", "data")

    def __init__(self, text: str, separators: Separators = "comma") -> None:
        self.data = text.encode("utf-8")
        self.comments: list[Comment] = []
        self.code_starts: Sequence[int] = ()
        if not may_hold_comments(text):
            return
        result: tuple[Any, ...] = _syntax.source_comments(text, _options(separators))
        if type(result[0]) is str:
            raise _error(cast(tuple[str, str, int, int], result), text)
        self._take(result[0], result[1])

    @classmethod
    def scanned(cls, data: bytes, starts: bytes | None, comments: list[tuple[str, int, int, bool, bool]] | None) -> Source:
        """A source from what the native reader found: its bytes, its code
        token starts (native 64-bit integers) and its comments, both None
        when it has no comments."""
        source = cls.__new__(cls)
        source.data = data
        source.comments = []
        source.code_starts = ()
        if comments:
            source._take(starts or b"", comments)
        return source

    def _take(self, starts: bytes, comments: list[tuple[str, int, int, bool, bool]]) -> None:
        if comments:
            self.comments = list(map(_make_comment, comments))
            self.code_starts = memoryview(starts).cast("q")

    def comment_texts(self) -> list[str]:
        return [comment.text for comment in self.comments] if self.comments else []
