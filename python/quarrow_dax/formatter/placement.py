"""Where a formula's text stands in its model file, in display columns: the
column its first line starts at, and the indentation of the lines after
it, as `model.writing.rewrite_formulas` writes them. The formatter fits a
formula's lines in the width counting both.

In TMDL a formula is written after its `=` (`measure Sales = SUM ( ... )`)
when it is one line, and on the lines below, indented with the tabs of its
block, when it is several; a fenced formula (between ``` lines) stays below.
A formula written on the lines below is placed as if it stood after its
`=`, so that formatting it again, once it has moved there, lays it out the
same way: whether its result fits on one line never depends on where it was
written before. A tab counts as `TAB_WIDTH` columns. In a .bim file a
formula's lines are JSON strings, which no one reads for their width:
nothing is counted there.
"""

from __future__ import annotations

from collections.abc import Sequence

from ..model import Formula
from .layout import display_width

__all__ = ["PLACED_FORMS", "TAB_WIDTH", "text_columns"]

#: The columns of a tab, as editors show TMDL files by default.
TAB_WIDTH = 4

#: The forms of the formulas whose place in their file counts (TMDL's).
PLACED_FORMS = frozenset({"inline", "indented", "fenced"})


def _columns(text: str) -> int:
    return display_width(text.replace("\t", " " * TAB_WIDTH))


def text_columns(lines: Sequence[str], formula: Formula) -> tuple[int, int]:
    """(first line offset, indentation of the other lines) of `formula`'s
    text in its file, whose lines (line ends removed) are `lines`."""
    if formula.form not in PLACED_FORMS or not formula.line_map:
        return 0, 0
    indent = formula.block_depth * TAB_WIDTH
    if formula.form == "fenced":
        return indent, indent
    if formula.form == "inline":
        before = lines[formula.line - 1][: formula.column - 1] if formula.line <= len(lines) else ""
    else:
        # The line of its `=`: the last one above its text that holds anything.
        index = formula.line_map[0][0] - 2
        while 0 <= index < len(lines) and not lines[index].strip():
            index -= 1
        before = lines[index] if 0 <= index < len(lines) else ""
    head = before.rstrip(" \t\r")
    if not head.endswith("="):
        return indent, indent  # not after an `=`: where it stands
    return max(_columns(head) + 1, indent), indent
