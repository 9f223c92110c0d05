"""The formatter's layout engine: a document, the flat list of what to print
in order, becomes lines that fit the width wherever the text allows.

The pieces of a document are text (`str`; a `Multiline` for text holding a
line break, such as a string literal written over two lines), atoms (a
group's flat text, held whole and opened only when it does not fit),
comments (`comments.Comment`) and the operations below. A GROUP ... END pair is
printed flat, each LINE a space and each SOFT nothing, when all of it and
the text after it up to the next place a line may break fit on the current
line; otherwise its own LINE and SOFT break the line, and each group inside
it decides for itself. A group is tried once, and the try stops where the
line overflows, so the cost grows with the document's size, and nothing
here recurses.

Lines are indented in spaces, never deeper than half the width: nesting
beyond that (a few hundred levels) keeps that indentation rather than
pushing its text off any screen.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, Union

from .comments import INLINE, OWN, TRAIL, Comment

__all__ = [
    "ALIGN", "BLANK", "DEDENT", "END", "GROUP", "HARD", "INDENT", "LINE", "SOFT", "Atom", "Multiline", "Piece",
    "render",
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


class Multiline(str):
    """Text with a line break in it: no flat group can hold it."""

    __slots__ = ()


class Atom:
    """What a group would print flat, held as one piece: `text`, printed as
    it is when it fits on the line; otherwise `render` asks for the pieces
    of the group itself, for a `key` that the document's builder gave."""

    __slots__ = ("key", "text")

    def __init__(self, text: str, key: object) -> None:
        self.text = text
        self.key = key


Piece = Union[str, int, Comment, Atom]

# The renderer reads its pieces from the end of a list that holds them in
# reverse order: the next piece is the last one, a group's pieces run
# towards the front, and an atom's pieces replace it at the end.


# A `/* */` comment between code is set off by one space on each side, but
# for none at the start or end of a line and none before a separator.
_NO_SPACE_BEFORE = (",", ";")


def _flat(stack: list[Piece], index: int, room: int) -> tuple[int, str, bool] | None:
    """The group whose first piece is at `index` printed flat, the index of
    its END, and whether it ends with an inline comment (a space is due
    before what follows); None when it cannot be flat or is longer than
    `room`."""
    depth = 0
    width = 0
    parts: list[str] = []
    spaced = False  # an inline comment wants a space before the next text
    while True:
        piece: Any = stack[index]
        kind = type(piece)
        if kind is str or kind is Atom:
            text = piece if kind is str else piece.text
            if spaced and not text.startswith(_NO_SPACE_BEFORE):
                parts.append(" ")
                width += 1
            spaced = False
            width += len(text)
            if width > room:
                return None
            parts.append(text)
        elif piece == LINE:
            width += 1
            parts.append(" ")
            spaced = False
        elif piece == GROUP:
            depth += 1
        elif piece == END:
            if not depth:
                return index, "".join(parts), spaced
            depth -= 1
        elif piece == SOFT or piece == INDENT or piece == ALIGN or piece == DEDENT:
            pass
        elif kind is Comment and piece.kind == INLINE and "\n" not in piece.text:
            if parts and not parts[-1].endswith(" "):
                parts.append(" ")
                width += 1
            width += len(piece.text)
            parts.append(piece.text)
            spaced = True
        else:
            return None  # a line break that must stay
        index -= 1


def _trail(stack: list[Piece], index: int) -> int:
    """The width of the text from `index` to the next place a line may break."""
    width = 0
    while index >= 0:
        piece: Any = stack[index]
        kind = type(piece)
        if kind is str:
            width += len(piece)
        elif kind is Atom:
            width += len(piece.text)
        elif piece == GROUP or piece == END or piece == INDENT or piece == ALIGN or piece == DEDENT:
            pass
        elif kind is Comment and piece.kind == INLINE:
            width += len(piece.text) + 1
        elif kind is Multiline:
            return width + int(piece.find("\n"))
        else:
            break
        index -= 1
    return width


class _Lines:
    """The output so far and what its current line holds. `render` keeps
    these in local variables while it runs and hands them here for the rare
    pieces (comments, empty lines) and at the end."""

    def __init__(self, out: list[str], newline: str) -> None:
        self.out = out
        self.newline = newline
        self.column = 0
        self.content = False  # the current line holds text
        self.blank = True  # no empty line may follow (the start, or one just written)
        self.suffix: list[Comment] = []  # trailing comments for the end of the line
        self.spaced = False  # an inline comment wants a space before the next text
        self.start = 0  # the column the current line's text starts at

    def write(self, text: str) -> None:
        out = self.out
        if not self.content:
            self.column = self.start
            if self.column:
                out.append(" " * self.column)
            self.content = True
        elif self.spaced and not text.startswith(_NO_SPACE_BEFORE):
            out.append(" ")
            self.column += 1
        self.spaced = False
        out.append(text)
        if "\n" in text:
            self.column = len(text) - text.rfind("\n") - 1
        else:
            self.column += len(text)

    def end_line(self) -> None:
        if not self.content:
            return
        out = self.out
        if self.suffix:
            out.append(" " + " ".join(comment.text for comment in self.suffix))
            self.suffix.clear()
        self.spaced = False
        out.append(self.newline)
        self.content = False
        self.blank = False

    def empty_line(self) -> None:
        self.end_line()
        if not self.blank:
            self.out.append(self.newline)
            self.blank = True

    def comment(self, comment: Comment) -> None:
        text = comment.text
        if comment.kind == INLINE:
            if self.content and not self.spaced and not self.out[-1].endswith(" "):
                self.spaced = True
            self.write(text)
            self.spaced = True
            return
        if comment.kind == TRAIL and self.content:
            if not (self.suffix and self.suffix[-1].runs_to_line_end):
                self.suffix.append(comment)
                return
            # A line comment already ends this line: this one starts the next.
        self.end_line()
        if comment.blank_before and comment.kind == OWN:
            self.empty_line()
        self.write(text)
        self.end_line()

    def finish(self) -> str:
        out = self.out
        if self.suffix:
            out.append(" " + " ".join(comment.text for comment in self.suffix))
        while out and out[-1] == self.newline:
            out.pop()
        return "".join(out)


def render(
    pieces: list[Piece], width: int, indent: int, newline: str = "\n",
    expand: Callable[[Atom], list[Piece]] | None = None,
) -> str:
    """The text of a document laid out in `width` columns, `indent` spaces
    per level, lines separated by `newline`, without a final line break.
    `expand` gives the pieces of an atom that does not fit."""
    if len(pieces) == 1:  # a formula of one piece that fits on its line
        only = pieces[0]
        if type(only) is str:
            return only
        if type(only) is Atom and len(only.text) <= width:
            return only.text
    out: list[str] = []
    lines = _Lines(out, newline)
    deepest = width // 2
    levels = [0]  # the indentation of each level, never deeper than `deepest`
    # The state of the current line, kept here in the common case (text and
    # line breaks) and in `lines` around the rare pieces.
    column = 0
    content = False
    spaced = False  # an inline comment wants a space before the next text
    flat: tuple[int, str, bool] | None = None
    stack = pieces[::-1]
    while stack:
        piece: Any = stack.pop()
        kind = type(piece)
        text = None
        if kind is str:
            text = piece
        elif kind is Atom:
            room = width - (column if content else levels[-1])
            if expand is not None and len(piece.text) + _trail(stack, len(stack) - 1) > room:
                stack += expand(piece)[::-1]
                continue
            text = piece.text
        elif kind is int:
            if piece <= HARD:
                if content:
                    if lines.suffix:
                        lines.content = True
                        lines.end_line()
                    else:
                        out.append(newline)
                        lines.blank = False
                    content = spaced = False
            elif piece == GROUP:
                room = width - (column if content else levels[-1])
                flat = _flat(stack, len(stack) - 1, room)
                if flat is not None and len(flat[1]) + _trail(stack, flat[0] - 1) <= room:
                    del stack[flat[0]:]
                    text = flat[1]
            elif piece == INDENT:
                levels.append(min(levels[-1] + indent, deepest))
            elif piece == DEDENT:
                levels.pop()
            elif piece == ALIGN:
                levels.append(min(column, deepest) if content else levels[-1])
            elif piece == BLANK:
                lines.column, lines.content = column, content
                lines.empty_line()
                column, content, spaced = lines.column, lines.content, False
            # END: nothing to do for a broken group
        else:  # a comment or a Multiline
            lines.column, lines.content, lines.start, lines.spaced = column, content, levels[-1], spaced
            if kind is Comment:
                lines.comment(piece)
            else:
                lines.write(piece)
            column, content, spaced = lines.column, lines.content, lines.spaced
        if text is None:
            continue
        if not content:
            column = levels[-1]
            if column:
                out.append(" " * column)
            content = True
        elif spaced and text and not text.startswith(_NO_SPACE_BEFORE):
            out.append(" ")
            column += 1
        spaced = kind is int and flat is not None and flat[2]  # a flat group that ends with an inline comment
        out.append(text)
        column += len(text)
    lines.column, lines.content = column, content
    return lines.finish()
