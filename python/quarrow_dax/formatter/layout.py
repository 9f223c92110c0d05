"""The formatter's layout engine: a document, the flat list of what to print
in order, becomes lines that fit the width wherever the text allows.

The pieces of a document are text (`str`; a `Multiline` for text holding a
line break, such as a string literal written over two lines), atoms (a
group's flat text, held whole and opened only when it does not fit),
comments (`comments.Comment`) and the operations below. A GROUP ... END pair is
printed flat, each LINE a space and each SOFT nothing, when all of it and
the text after it up to the next place a line may break fit on the current
line; otherwise its own LINE and SOFT break the line, and each group inside
it decides for itself. A FILL ... END pair is a group that, when it does not
fit, fills its lines: each of its own LINEs and SOFTs breaks the line only
where the text after it, up to its next one (or its END and on to the next
place a line may break), does not fit on the line, or where the part before
it took more than one line. A JOIN, between a name and its value, keeps
the value on the line where all of it fits there, sends it whole to the
next line where it fits there, and otherwise keeps it on the line where its
first line fits there (an atom that does not fit whole is opened to find
its first line); it never breaks a flat group. A group is tried once, and the try stops where the
line overflows, so the cost grows with the document's size, and nothing
here recurses. The engine is native (layout_render.cpp): it visits every
piece of every document, which Python would do many times slower.

Widths count display columns (`display_width`), as editors show the text.
Lines are indented in spaces, never deeper than half the width: nesting
beyond that (a few hundred levels) keeps that indentation rather than
pushing its text off any screen.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import NamedTuple, Union

from .. import _syntax
from .comments import Comment

__all__ = [
    "ALIGN", "BLANK", "DEDENT", "END", "FILL", "GROUP", "HARD", "INDENT", "JOIN", "LINE", "SOFT", "Atom", "Multiline",
    "Piece", "display_width", "render",
]

LINE = 1  # a space in a flat group, a line break in a broken one
SOFT = 2  # nothing in a flat group, a line break in a broken one
HARD = 3  # always a line break; no group around it can be flat
BLANK = 4  # a line break and an empty line (never two empty lines in a row)
INDENT = 5  # the lines broken from here on are indented one level deeper
ALIGN = 6  # ... indented to the column where this stands
DEDENT = 7  # back to the indentation before the last INDENT or ALIGN
GROUP = 8
END = 9
FILL = 10  # a GROUP that, when it does not fit, breaks at each of its own LINEs only where what follows does not
JOIN = 11  # between a name and its value: nothing, or a line break where the value fits whole on the next line only


class Multiline(str):
    """Text with a line break in it: no flat group can hold it."""

    __slots__ = ()


class Atom(NamedTuple):
    """What a group would print flat, held as one piece: `text`, printed as
    it is when it fits on the line; otherwise `render` asks for the pieces
    of the group itself, for a `key` that the document's builder gave. A
    tuple, which the native builder makes without a call."""

    text: str
    key: object


Piece = Union[str, int, Comment, Atom]

_syntax.register_layout(Atom, Comment, Multiline)

#: The columns a text takes on a screen, as the layout counts them: two for
#: an East Asian wide or fullwidth character, none for a combining mark or an
#: invisible format character, one for any other (a line break included).
display_width: Callable[[str], int] = _syntax.display_width


def render(
    pieces: list[Piece], width: int, indent: int, newline: str = "\n",
    expand: Callable[[Atom], list[Piece]] | None = None, first_offset: int = 0, prefix: int = 0,
) -> str:
    """The text of a document laid out in `width` columns, `indent` spaces
    per level, lines separated by `newline`, without a final line break.
    `expand` gives the pieces of an atom that does not fit. Where the text
    is written, its first line starts `first_offset` columns in and every
    other line `prefix` columns in (a model file's indentation): they count
    against the width, but are not part of the result."""
    if len(pieces) == 1:  # a formula of one piece that fits on its line
        only = pieces[0]
        if type(only) is str:
            return only
        if type(only) is Atom and display_width(only.text) <= width - first_offset:
            return only.text
    return _syntax.render(pieces, width, indent, newline, expand, first_offset, prefix)
