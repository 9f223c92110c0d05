"""The formatter's one-line layout: how each kind of expression reads when
it stands on one line, in one table.

Two printers follow it. The style's handlers (`style.py`) lay each kind out
as a group whose breaks and brackets they take from `ONE_LINE`; a group that
fits on its line prints each LINE as a space and each SOFT as nothing, and
one that does not breaks the line there. The native flat printer
(python-module/formatter/flat_printer.cpp) prints a whole expression that
fits on its line at once, without the handlers, from the texts that
`flat_style` derives from the same table. So a change of the one-line
layout is one edit here, and both printers make it.

The spellings of what the tree holds (operators, quoted names, strings) are
the syntax's (`syntax.spelling`); the options (the separator, the space
between a function's name and its `(`) are `FormatOptions`.
"""

from __future__ import annotations

import functools
from typing import NamedTuple

from .. import _syntax
from .layout import LINE, SOFT

__all__ = ["ONE_LINE", "Brackets", "OneLine", "flat_style", "on_one_line"]


class Brackets(NamedTuple):
    """A kind whose items stand between two brackets: `opening` and
    `closing`, the break just inside each (`inside`: LINE or SOFT), and the
    text of the kind with no items (`empty`; None where it always has
    some)."""

    opening: str
    inside: int
    closing: str
    empty: str | None = None


class OneLine(NamedTuple):
    """The one-line layout, kind by kind."""

    call: Brackets  # after the function's name (and the options' space)
    parens: Brackets  # the parentheses the source wrote
    table: Brackets  # a table constructor
    row: Brackets  # a row constructor, and a row of several cells in a table constructor
    parameters: Brackets  # a user-defined function's parameters
    after_separator: int  # the break after each separator of a list
    before_operator: int  # the break before a binary operator: a chain that does not fit breaks there
    after_operator: str  # the text between a binary operator and its right operand
    grouping: tuple[str, str]  # the parentheses the tree needs, where a bare operation would bind otherwise


ONE_LINE = OneLine(
    call=Brackets("(", LINE, ")", "()"),  # SUM ( Sales[Amount] ), TODAY ()
    parens=Brackets("(", LINE, ")"),  # ( a + b )
    table=Brackets("{", LINE, "}", "{}"),  # { 1, 2 }, {}
    row=Brackets("(", LINE, ")"),  # ( 1, "a" ), { ( 1, "a" ), ( 2, "b" ) }
    parameters=Brackets("(", LINE, ")", "()"),  # FUNCTION F = ( x, y ) => x + y
    after_separator=LINE,  # a, b
    before_operator=LINE,  # a + b
    after_operator=" ",
    grouping=("(", ")"),  # (a + b) * c
)

_FLAT = {LINE: " ", SOFT: ""}


def on_one_line(piece: int) -> str:
    """What a break prints where its group stands on one line."""
    return _FLAT[piece]


class FlatStyle(NamedTuple):
    """The one-line layout as texts, for the native flat printer."""

    call_open: str
    call_close: str
    call_empty: str
    separator: str
    separator_before_omitted: str  # before a last argument left out: nothing follows it
    paren_open: str
    paren_close: str
    table_open: str
    table_close: str
    table_empty: str
    row_open: str
    row_close: str
    before_operator: str
    after_operator: str
    grouping_open: str
    grouping_close: str


def _open(brackets: Brackets) -> str:
    return brackets.opening + on_one_line(brackets.inside)


def _close(brackets: Brackets) -> str:
    return on_one_line(brackets.inside) + brackets.closing


@functools.lru_cache(maxsize=32)
def flat_style(one_line: OneLine, separator: str, space_before_paren: bool) -> object:
    """The native flat printer's style: `one_line` under the options, read
    once (an opaque object that `_syntax.flat` and the work list take)."""
    call, table = one_line.call, one_line.table
    space = " " if space_before_paren else ""
    texts = FlatStyle(
        call_open=space + _open(call), call_close=_close(call), call_empty=space + (call.empty or ""),
        separator=separator + on_one_line(one_line.after_separator), separator_before_omitted=separator,
        paren_open=_open(one_line.parens), paren_close=_close(one_line.parens),
        table_open=_open(table), table_close=_close(table), table_empty=table.empty or "",
        row_open=_open(one_line.row), row_close=_close(one_line.row),
        before_operator=on_one_line(one_line.before_operator), after_operator=one_line.after_operator,
        grouping_open=one_line.grouping[0], grouping_close=one_line.grouping[1],
    )
    return _syntax.one_line_style(texts._asdict())
