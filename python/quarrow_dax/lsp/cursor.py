"""What is at a place in a DAX text that may not parse yet: the tokens
before it (a token left open, `[Reven` or `'Sal`, included), the call it
stands in and which argument, and the token under it.

Everything here reads tokens, never a tree, so that signature help and
completion work while the formula is half typed.
"""

from __future__ import annotations

from dataclasses import dataclass

from ..syntax import ParseError, Separators, Token, tokenize

__all__ = ["Call", "Prefix", "enclosing_call", "prefix", "token_at", "tokens_of"]

_OPENERS = {"[": "BracketIdent", "'": "QuotedIdent", '"': "String"}


@dataclass(frozen=True)
class Prefix:
    """The text before a place: its tokens (comments left out), and the
    token it is inside of that is not closed yet, if any: its kind
    ("BracketIdent", "QuotedIdent", "String", "BlockComment"), where it
    starts and what is typed of it so far (without the opening quote or
    bracket)."""

    tokens: list[Token]
    open_kind: str | None = None
    open_start: int = 0
    open_text: str = ""


def _lex(text: str, separators: Separators) -> tuple[list[Token], ParseError | None]:
    """The tokens of `text` up to its first lexical error, and the error."""
    try:
        return tokenize(text, comments=True, separators=separators), None
    except ParseError as error:
        data = text.encode("utf-8", "surrogatepass")
        before = data[: error.span.start].decode("utf-8", "ignore")
        try:
            return tokenize(before, comments=True, separators=separators), error
        except ParseError:
            return [], error


def tokens_of(text: str, separators: Separators = "comma") -> list[Token]:
    """The tokens of a whole text, comments included, up to its first
    lexical error."""
    return _lex(text, separators)[0]


def prefix(text: str, offset: int, separators: Separators = "comma") -> Prefix:
    """What stands before byte `offset` of `text`."""
    data = text.encode("utf-8", "surrogatepass")
    before = data[:offset].decode("utf-8", "ignore")
    tokens, error = _lex(before, separators)
    if tokens and tokens[-1].kind in ("LineComment",):
        # A line comment runs to the end of its line: the place is inside it.
        return Prefix([t for t in tokens if not t.is_comment], "LineComment", _start(tokens[-1]))
    if error is not None and error.kind == "lex":
        start = error.span.start
        opener = data[start : start + 1].decode("utf-8", "ignore")
        if data[start : start + 2] == b"/*":
            return Prefix([t for t in tokens if not t.is_comment], "BlockComment", start)
        kind = _OPENERS.get(opener)
        if kind is not None:
            typed = data[start + 1 : offset].decode("utf-8", "ignore")
            return Prefix([t for t in tokens if not t.is_comment], kind, start, typed)
    return Prefix([t for t in tokens if not t.is_comment])


def _start(token: Token) -> int:
    return token.span.start if token.span is not None else 0


def _end(token: Token) -> int:
    return token.span.end if token.span is not None else 0


@dataclass(frozen=True)
class Call:
    """A call a place stands in: the function's `name` as written, the
    span of the name, and the index (from 0) of the argument the place is in."""

    name: str
    start: int
    end: int
    argument: int


_LIST_SEPARATORS = ("Comma", "Semicolon")


def enclosing_call(tokens: list[Token], separators: Separators = "comma") -> Call | None:
    """The innermost call still open at the end of `tokens`: found by
    walking back over balanced parentheses and braces, counting the list
    separators at its own depth."""
    separator = "Comma" if separators == "comma" else "Semicolon"
    depth = 0
    argument = 0
    for index in range(len(tokens) - 1, -1, -1):
        kind = tokens[index].kind
        if kind in ("RParen", "RBrace"):
            depth += 1
        elif kind in ("LParen", "LBrace"):
            if depth:
                depth -= 1
                continue
            if kind == "LBrace":
                return None  # inside a table constructor, not a call
            if index > 0 and tokens[index - 1].kind in ("Ident", "QuotedIdent"):
                name = tokens[index - 1]
                if name.kind == "Ident":
                    return Call(name.text, _start(name), _end(name), argument)
            # A parenthesized expression: the call, if any, is further out.
            argument = 0
            depth = 0
            continue
        elif kind == separator and depth == 0:
            argument += 1
    return None


def token_at(tokens: list[Token], offset: int) -> Token | None:
    """The token that holds byte `offset`, or ends right at it (the cursor
    just after a name still points at it)."""
    found = None
    for token in tokens:
        start, end = _start(token), _end(token)
        if start <= offset < end:
            return token
        if end == offset and token.kind in ("Ident", "BracketIdent", "QuotedIdent", "Param"):
            found = token
        if start > offset:
            break
    return found
