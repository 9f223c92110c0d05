"""The formatter's layout engine: a document, the flat list of what to print
in order, becomes lines that fit the width wherever the text allows.

The pieces of a document are text (`str`; a `Multiline` for text holding a
line break, such as a string literal written over two lines), comments
(`comments.Comment`) and the operations below. A GROUP ... END pair is
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
from typing import Union

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


def _flat(stack: list[Piece], index: int, room: int) -> tuple[int, str] | None:
    """The group whose first piece is at `index` printed flat, and the index
    of its END; None when it cannot be flat or is longer than `room`."""
    depth = 0
    width = 0
    parts: list[str] = []
    while True:
        piece = stack[index]
        kind = type(piece)
        if kind is str:
            width += len(piece)  # type: ignore[arg-type]
            if width > room:
                return None
            parts.append(piece)  # type: ignore[arg-type]
        elif kind is Atom:
            width += len(piece.text)  # type: ignore[union-attr]
            if width > room:
                return None
            parts.append(piece.text)  # type: ignore[union-attr]
        elif piece == LINE:
            width += 1
            parts.append(" ")
        elif piece == GROUP:
            depth += 1
        elif piece == END:
            if not depth:
                return index, "".join(parts)
            depth -= 1
        elif piece == SOFT or piece == INDENT or piece == ALIGN or piece == DEDENT:
            pass
        elif kind is Comment and piece.kind == INLINE and "\n" not in piece.text:  # type: ignore[union-attr]
            width += len(piece.text) + 1  # type: ignore[union-attr]
            parts.append(piece.text + " ")  # type: ignore[union-attr]
        else:
            return None  # a line break that must stay
        index -= 1


def _trail(stack: list[Piece], index: int) -> int:
    """The width of the text from `index` to the next place a line may break."""
    width = 0
    while index >= 0:
        piece = stack[index]
        kind = type(piece)
        if kind is str:
            width += len(piece)  # type: ignore[arg-type]
        elif kind is Atom:
            width += len(piece.text)  # type: ignore[union-attr]
        elif piece == GROUP or piece == END or piece == INDENT or piece == ALIGN or piece == DEDENT:
            pass
        elif kind is Comment and piece.kind == INLINE:  # type: ignore[union-attr]
            width += len(piece.text) + 1  # type: ignore[union-attr]
        elif kind is Multiline:
            return width + piece.find("\n")  # type: ignore[union-attr]
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
        self.inline_end = -1  # len(out) just after an inline comment and its space
        self.start = 0  # the column the current line's text starts at

    def write(self, text: str) -> None:
        out = self.out
        if not self.content:
            self.column = self.start
            if self.column:
                out.append(" " * self.column)
            self.content = True
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
        elif self.inline_end == len(out):
            out[-1] = out[-1][:-1]  # the space after an inline comment that ends the line
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
            self.write(text + " ")
            self.inline_end = len(self.out)
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
        elif self.content and self.inline_end == len(out):
            out[-1] = out[-1][:-1]
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
    if len(pieces) == 1 and type(pieces[0]) is Atom and len(pieces[0].text) <= width:
        return pieces[0].text  # a formula that fits on one line
    out: list[str] = []
    lines = _Lines(out, newline)
    deepest = width // 2
    levels = [0]
    # The state of the current line, kept here in the common case (text and
    # line breaks) and in `lines` around the rare pieces.
    column = 0
    content = False
    stack = pieces[::-1]
    while stack:
        piece = stack.pop()
        kind = type(piece)
        if kind is str or kind is Atom:
            if kind is Atom:
                room = width - (column if content else min(levels[-1], deepest))
                if expand is not None and len(piece.text) + _trail(stack, len(stack) - 1) > room:  # type: ignore[union-attr]
                    stack += expand(piece)[::-1]  # type: ignore[arg-type]
                    continue
                piece = piece.text  # type: ignore[union-attr]
            if not content:
                column = min(levels[-1], deepest)
                if column:
                    out.append(" " * column)
                content = True
            out.append(piece)  # type: ignore[arg-type]
            column += len(piece)  # type: ignore[arg-type]
        elif kind is int:
            if piece <= HARD:  # type: ignore[operator]
                if content:
                    if lines.suffix or lines.inline_end == len(out):
                        lines.content = True
                        lines.end_line()
                    else:
                        out.append(newline)
                        lines.blank = False
                    content = False
            elif piece == GROUP:
                room = width - (column if content else min(levels[-1], deepest))
                flat = _flat(stack, len(stack) - 1, room)
                if flat is not None and len(flat[1]) + _trail(stack, flat[0] - 1) <= room:
                    del stack[flat[0]:]
                    stack.append(flat[1])
            elif piece == INDENT:
                levels.append(levels[-1] + indent)
            elif piece == DEDENT:
                levels.pop()
            elif piece == ALIGN:
                levels.append(column if content else min(levels[-1], deepest))
            elif piece == BLANK:
                lines.column, lines.content = column, content
                lines.empty_line()
                column, content = lines.column, lines.content
            # END: nothing to do for a broken group
        else:  # a comment or a Multiline
            lines.column, lines.content, lines.start = column, content, min(levels[-1], deepest)
            if kind is Comment:
                lines.comment(piece)  # type: ignore[arg-type]
            else:
                lines.write(piece)  # type: ignore[arg-type]
            column, content = lines.column, lines.content
    lines.column, lines.content = column, content
    return lines.finish()
