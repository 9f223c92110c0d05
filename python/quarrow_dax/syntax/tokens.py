"""Token objects: the units the lexer cuts DAX text into, comments included
when asked for."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal

from .. import _syntax
from .._syntax import Located
from .copying import remade

__all__ = ["COMMENT_KINDS", "Token", "TokenKind"]

TokenKind = Literal[
    "DocComment", "Ident", "Param", "Number", "String", "QuotedIdent", "BracketIdent", "LParen", "RParen",
    "LBrace", "RBrace", "Comma", "Semicolon", "Dot", "Colon", "Arrow", "Plus", "Minus", "Star", "Slash",
    "Caret", "Amp", "Eq", "EqEq", "Neq", "Lt", "Lte", "Gt", "Gte", "AndAnd", "OrOr", "LineComment",
    "BlockComment",
]

#: The kinds that are comments: `///` lines, `--` and `//` lines, `/* */`.
COMMENT_KINDS: frozenset[str] = frozenset({"DocComment", "LineComment", "BlockComment"})

_CLOSERS = {"String": '"', "QuotedIdent": "'", "BracketIdent": "]"}


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Token(Located):
    """One token: its `kind` (the lexer's names, and LineComment and
    BlockComment for `--`/`//` and `/* */` comments), its exact source `text`
    and its `span`. A line comment runs to its line feed, which belongs to
    the white space after it."""

    kind: TokenKind

    @property
    def value(self) -> str | None:
        """What the token stands for: a string's or a quoted name's content
        with doubled delimiters undone, a parameter's name without `@`, a
        doc comment's text without `///` and surrounding white space, a name
        or number as written; None for punctuation and other comments."""
        text = self.text
        kind = self.kind
        if kind in ("Ident", "Number"):
            return text
        if kind == "Param":
            return text[1:]
        closer = _CLOSERS.get(kind)
        if closer is not None:
            return text[1:-1].replace(closer * 2, closer)
        if kind == "DocComment":
            return text[3:].strip()
        return None

    @property
    def is_comment(self) -> bool:
        return self.kind in COMMENT_KINDS

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Token):
            return NotImplemented
        return self.kind == other.kind and self.span == other.span and self.text == other.text

    def __hash__(self) -> int:
        return hash((self.kind, self.span, self.text))

    def __repr__(self) -> str:
        return f"Token(kind={self.kind!r}, text={self.text!r}, span={self.span!r})"

    # Copies and pickles keep the position and the source.
    def __copy__(self) -> Token:
        return remade(type(self), _syntax.position(self), (self.kind,))

    def __deepcopy__(self, memo: dict[int, Any]) -> Token:
        return self.__copy__()

    def __reduce__(self) -> tuple[Any, ...]:
        return remade, (type(self), _syntax.position(self), (self.kind,))

