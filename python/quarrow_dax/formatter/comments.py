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
from dataclasses import dataclass
from itertools import compress
from typing import cast

from ..syntax.nodes import Span
from ..syntax.parsing import Separators, tokenize
from ..syntax.tokens import COMMENT_KINDS, Token

__all__ = ["INLINE", "OWN", "TRAIL", "Comment", "Source", "comment_text", "comment_texts"]

OWN, TRAIL, INLINE = 0, 1, 2

_kind = operator.attrgetter("kind")
_span = operator.attrgetter("span")
_start = operator.itemgetter(0)


def _span_of(token: Token) -> Span:
    return cast(Span, token.span)  # a token read from text always has one


@dataclass(frozen=True, slots=True)
class Comment:
    """One comment: its `text`, where it starts (UTF-8 byte offset), its
    kind (OWN, TRAIL or INLINE), whether it runs to the end of its line
    (`--`, `//`, `///`), and whether an empty line came before it."""

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


class Source:
    """A DAX text as the formatter reads it: its UTF-8 bytes, the start and
    end offsets of its code tokens, and its comments in order. Without
    comments (a text holding no `--`, `//` or `/*` at all) the tokens are not
    read: only the comments need them."""

    def __init__(self, text: str, separators: Separators = "comma") -> None:
        self.data = text.encode("utf-8")
        self.comments: list[Comment] = []
        self.code_starts: list[int] = []
        if "--" not in text and "//" not in text and "/*" not in text:
            return
        tokens = tokenize(text, comments=True, separators=separators)
        # By C-level maps: a file may hold many thousand tokens and few comments.
        kinds = list(map(_kind, tokens))
        is_comment = list(map(COMMENT_KINDS.__contains__, kinds))
        if not any(is_comment):
            return
        self.code_starts = list(map(_start, map(_span, compress(tokens, map(operator.not_, is_comment)))))
        data = self.data
        count = len(tokens)
        for index in compress(range(count), is_comment):
            token = tokens[index]
            kind = kinds[index]
            span = _span_of(token)
            gap = data[_span_of(tokens[index - 1]).end if index else 0 : span.start]
            after_something = index > 0 and b"\n" not in gap
            is_block = kind == "BlockComment"
            if is_block and self._code_follows(tokens, kinds, index, count):
                comment_kind = INLINE
            elif after_something:
                comment_kind = TRAIL
            else:
                comment_kind = OWN
            blank = index > 0 and gap.count(b"\n") >= 2
            self.comments.append(Comment(comment_text(token), span.start, comment_kind, not is_block, blank))

    def comment_texts(self) -> list[str]:
        return [comment.text for comment in self.comments] if self.comments else []

    def _code_follows(self, tokens: list[Token], kinds: list[str], index: int, count: int) -> bool:
        """Whether code follows the block comment at `index` on its line,
        with nothing but block comments between."""
        end = _span_of(tokens[index]).end
        for following in range(index + 1, count):
            span = _span_of(tokens[following])
            if b"\n" in self.data[end : span.start]:
                return False
            if kinds[following] not in COMMENT_KINDS:
                return True
            if kinds[following] != "BlockComment":
                return False
            end = span.end
        return False
