"""Which list separators a text uses. The parser takes `,` and `;` alike
between arguments whatever the convention, so `ROUND(1,5;0)`, written in
the semicolon convention (1.5 rounded), reads in the comma convention as
three arguments: tools that rewrite text look here before they do.

    from quarrow_dax.syntax.separators import list_separators

    found = list_separators("ROUND(1,5;0)")
    found.commas, found.semicolons   # ([Span(start=7, end=8)], [Span(start=9, end=10)])
"""

from __future__ import annotations

from bisect import bisect_left
from typing import NamedTuple

from .. import _syntax
from .nodes import Span
from .parsing import ParseError, Separators, _options, tokenize

__all__ = ["ListSeparators", "SeparatorError", "list_separators", "refuse_semicolons"]

_OPENING = {"LParen", "LBrace"}
_CLOSING = {"RParen", "RBrace"}
# The words that begin a statement of a query: a `;` before one ends a statement.
_STATEMENTS = {"EVALUATE", "DEFINE", "MEASURE", "VAR", "TABLE", "COLUMN", "FUNCTION", "MPARAMETER"}


def may_hold_semicolon_token(text: str) -> bool:
    """Whether `text` may hold a `;` token: False only where every `;` of it
    stands inside a string, a name or a comment, as the native lexer's
    token starts tell. True for a text that does not lex."""
    found = _syntax.source_comments(text, _options("comma"))[0]
    if not isinstance(found, bytes):  # the lexer's error
        return True
    starts = memoryview(found).cast("q")
    data = text.encode("utf-8")
    at = data.find(b";")
    while at >= 0:
        index = bisect_left(starts, at)
        if index < len(starts) and starts[index] == at:
            return True
        at = data.find(b";", at + 1)
    return False


class ListSeparators(NamedTuple):
    """The spans of the `,` and of the `;` tokens that separate the items of
    a list: arguments, the values of a table constructor, the keys of
    `ORDER BY` and `START AT` (a `;` that ends a statement of a query
    separates no list)."""

    commas: list[Span]
    semicolons: list[Span]


def list_separators(text: str, separators: Separators = "comma") -> ListSeparators:
    """The list separators of `text`, read in the convention `separators`
    (in the semicolon one `1,5` is a number, not a separator). A text with
    no `;` or no `,` at all is not read: it cannot mix them. Raises
    ParseError for a text that does not lex."""
    found = ListSeparators([], [])
    if ";" not in text and "," not in text:
        return found
    tokens = tokenize(text, comments=False, separators=separators)
    depth = 0
    in_keys = False  # in the keys of ORDER BY or START AT, which are no parenthesised list
    for index, token in enumerate(tokens):
        kind = token.kind
        if kind in _OPENING:
            depth += 1
        elif kind in _CLOSING:
            depth = max(depth - 1, 0)
        elif depth == 0 and kind == "Ident":
            word = token.text.upper()
            if word in ("BY", "AT") and index and tokens[index - 1].text.upper() in ("ORDER", "START"):
                in_keys = True
            elif word in _STATEMENTS:
                in_keys = False
        elif kind in ("Comma", "Semicolon") and token.span is not None and (depth or in_keys):
            following = tokens[index + 1] if index + 1 < len(tokens) else None
            if depth == 0 and (following is None or following.text.upper() in _STATEMENTS):
                continue  # the end of a statement
            (found.commas if kind == "Comma" else found.semicolons).append(token.span)
    return found


class SeparatorError(ParseError):
    """A text that separates arguments with `;`, given to a tool that would
    rewrite it in the comma convention: a `,` written for the `;` would
    join the `1,5` of the semicolon convention into two arguments. `span`
    is the first such `;`; `hint` says what to do."""

    hint = "if the text is written with `;` between arguments and decimal commas, use --separators semicolon"


def refuse_semicolons(text: str, separators: Separators, what: str = "formatted") -> None:
    """Raises SeparatorError when `separators` is "comma" and `text` separates
    a list with `;`; `what` says what is not done with it."""
    if separators != "comma" or ";" not in text or not may_hold_semicolon_token(text):
        return
    semicolons = list_separators(text, separators).semicolons
    if semicolons:
        raise SeparatorError(
            "parse", f"`;` separates arguments here, as in the semicolon convention: not {what} in the comma"
            " convention, which would write `,` for it", semicolons[0], text,
        )
