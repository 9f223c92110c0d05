"""The formatter's style: how each kind of node is laid out, as a document
for `layout.render`.

The style is the one DAX users know from the public formatting conventions:
keywords and built-in function names in upper case; a space around binary
operators, after each separator and inside brackets (the one-line table,
`one_line.ONE_LINE`), and (by default) between a function's name and its
`(`; a call that fits on its line stays there, otherwise its name and `(`
end the line, each argument takes a line one level deeper and the `)` lines
up with the start of the call; a chain of operators that does not fit
breaks before each operator; `VAR` ... `RETURN` one declaration per line
with `RETURN` under its `VAR`s and the result below it; table constructors
one row per line when they do not fit; `DEFINE` one definition per line, a
blank line between kinds. Strings, names and numbers are written exactly as
the source has them.

Comments are put back by position: each printed token that came from the
source brings the comments before it, and the trailing comments of the
previous token go out before the next line break. The tree is walked with
a work list: a chain of a million operators is one list of operands, and
no Python recursion follows the tree's depth.

The handlers below are the style, with the one-line table they take their
brackets and breaks from (those of queries and definitions in
`definitions.py`); the machinery that visits every node is native,
in the syntax module: the work list that reads the handlers' parts into the
document (work_list.cpp: `work`, `child`, the anchors' token indexes) and
the printer of the parts that fit on one line (flat_printer.cpp: `_flat`,
the atoms, and the leaves' texts), which writes the spellings of
`syntax.spelling` laid out by the same one-line table in one string.
"""

from __future__ import annotations

import functools
from bisect import bisect_left
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any, Literal, NamedTuple, Union

from .. import _syntax
from ..syntax.functions import BUILTIN_FUNCTIONS, KEYWORD_ARGUMENTS
from ..syntax.nodes import (
    Axis, Binary, Blank, Boolean, BracketRef, Column, DefineBlock, Evaluate, Expr, FuncParam, Function,
    FunctionCall, HierarchyRef, Identifier, Located, Measure, MParameter, Node, Number, Omitted, OrderKey, Paren,
    Parameter, Query, RowConstructor, String, Table, TableColumnRef, TableConstructor, TableRef, TypedLiteral, Unary, Var,
    VarBlock, VarDecl, VisualAxis, VisualGroup, VisualShape,
)
from ..syntax.spelling import BINARY_OPERATORS, UNARY_OPERATORS, bare_row, leftmost, needs_parens
from . import definitions
from .comments import TRAIL, Comment, Source
from .layout import (
    ALIGN, BLANK, DEDENT, END, FILL, GROUP, HARD, INDENT, JOIN, LINE, SOFT, Atom, Multiline, Piece, display_width,
)
from .one_line import ONE_LINE, Brackets, OneLine, flat_style, on_one_line

__all__ = ["Document", "Kind", "build"]

Kind = Literal["expression", "query", "function"]

_syntax.register_operators(BINARY_OPERATORS, UNARY_OPERATORS)
_native_flat = _syntax.flat
_leaf_text = _syntax.leaf_text

_WHITE = frozenset(b" \t\r\n")
_NO_TOKEN = 1 << 62  # an offset past any text (work_list.cpp's no_token)
# Subtrees whose source spans at most this many bytes are printed flat in
# one go (as an Atom): larger ones rarely fit on a line.
_ATOM_SPAN = 256
# The expressions an Atom may stand for: those whose layout has a group
# (work_list.cpp's is_compound). The others are printed as one piece of
# text, but for a VAR block.
_COMPOUND = frozenset({FunctionCall, Binary, Unary, Paren, TableConstructor, RowConstructor})


class _At(NamedTuple):
    """A place in the work list where the source tokens `first` to `last`
    are printed: the comments before `first` go out there."""

    first: int
    last: int


class _Placed(NamedTuple):
    """A node's piece made ahead of its place in the work list (its text,
    or its atom when no comment falls inside it): there the comments before
    `start` go out first, and the code printed last then ends at `end`."""

    piece: str | Atom
    start: int
    end: int


# What the work list holds: text, layout operations, nodes (alone where
# nothing binds around them, else with the least binding power their place
# asks of them and the binding power of what follows them, for parentheses
# as in the canonical printer), anchors, None for an anchor that has no
# token to stand on, and pieces placed by position.
_Item = Union[str, int, Node, tuple[Node, int, int], _At, _Placed, Atom, None, list[Any]]


class Document:
    """A document for `layout.render`: its pieces, and `expand` for the
    atoms among them."""

    def __init__(self, pieces: list[Piece], expand: Callable[[Atom], list[Piece]]) -> None:
        self.pieces = pieces
        self.expand = expand


def _expand_nothing(atom: Atom) -> list[Piece]:
    """The `expand` of a document without atoms."""
    return [atom]


def _no_token(*args: object) -> None:
    """No token and no anchor: where no comments are placed."""
    return None


class _Builder:
    def __init__(
        self, source: Source | None, separator: str, space_before_paren: bool, width: int,
        replacements: Mapping[int, Node], one_line: OneLine = ONE_LINE, declared: frozenset[str] = frozenset(),
    ) -> None:
        self.pieces: list[Piece] = []
        self.separator = separator
        self.one_line = one_line
        space = " " if space_before_paren else ""
        self.open_call = space + one_line.call.opening
        self.empty_call = space + (one_line.call.empty or "")
        # The end of a call where no comments are placed (`closing` without anchors).
        self.close_call = (DEDENT, one_line.call.inside, one_line.call.closing, END)
        # The one-line table under these options, as the native printer reads it.
        self.flat_style = flat_style(one_line, separator, space_before_paren)
        self.replacements = replacements
        # The names the text declares: no keyword argument is one of them.
        self.declared = declared
        self.width = width
        # Wider sources rarely print within the width: try the parts.
        self.atom_span = min(width, _ATOM_SPAN)
        self.data = source.data if source is not None else None
        self.comments: list[Comment] = source.comments if source is not None else []
        # Token positions are read only where there are comments to place.
        self.starts: Sequence[int] | None = source.code_starts if self.comments and source is not None else None
        # child(node, min_bp=0, follow=0): what stands in a handler's parts
        # for a node below: its text, or its atom when it can be one at once
        # (where comments are placed, as a piece placed by position, an atom
        # only when no comment falls inside it); otherwise the node, laid out
        # when the work list reaches it. Native (work_list.cpp): a handler
        # asks it for every argument and operand. It reads whether nodes are
        # replaced, whether comments are placed, where each starts, and the
        # atoms' limits.
        self.comment_starts = [comment.start for comment in self.comments]
        context = (bool(replacements), self.starts is not None, self.comment_starts, self.atom_span, width,
                   self.flat_style, declared)
        self.child: Callable[..., _Item] = functools.partial(_syntax.child, context)
        # The tokens of nodes, natively (work_list.cpp): None where no
        # comments are placed or the node has no position.
        # first_of(node): the index of its first token; after(node,
        # offset=0): of the first token after it, plus `offset`.
        # at_node(node, count=1): an anchor for its first `count` tokens;
        # at_after(node, offset=0): for the token `offset` places after it.
        self.first_of: Callable[[Node | None], int | None]
        self.after: Callable[..., int | None]
        self.at_node: Callable[..., _At | None]
        self.at_after: Callable[..., _At | None]
        if self.starts is None:
            self.first_of = self.after = self.at_node = self.at_after = _no_token
        else:
            self.first_of = functools.partial(_syntax.token_index, self.starts, False)
            self.after = functools.partial(_syntax.token_index, self.starts, True)
            self.at_node = functools.partial(_syntax.anchor_first, self.starts)
            self.at_after = functools.partial(_syntax.anchor_after, self.starts)
        self.waiting: list[Comment] = []  # trailing comments held for the next line break
        self.next_comment = 0
        self.next_start = self.next_trail = _NO_TOKEN  # where the next comment starts (if trailing)
        if self.comments:
            self.advance(0)
        self.printed_end = 0  # where the code printed last ends in the source

    # --- the work list ---------------------------------------------------------

    def run(self, items: list[_Item]) -> Document:
        self.work(items, whole=False)
        self.flush(_NO_TOKEN)
        self.put_waiting()
        return Document(self.pieces, self.expand)

    def expand(self, atom: Atom) -> list[Piece]:
        """The pieces of the group an atom stands for (its parts may be atoms
        in turn): for an atom that does not fit on its line."""
        saved, self.pieces = self.pieces, []
        try:
            self.work([atom.key], whole=True)  # type: ignore[list-item]
            return self.pieces
        finally:
            self.pieces = saved

    def work(self, items: list[_Item], whole: bool) -> None:
        """Turns the work list into pieces. `whole`: the first node is laid
        out part by part even where it could be one atom.

        The parts of the nodes being laid out are read in order, a node's
        parts on top of its parent's: text, operations and atoms become
        pieces; an anchor (`_At`) puts out the comments before its first
        token (`flush`) and records where its last token ends; a piece
        placed by position does both around itself; a line break first
        puts out the trailing comments of the code printed last
        (`flush_trailing`); a node puts out the comments before it, then
        becomes an atom when it fits on a line and no comment falls inside
        it, or its handler's parts. A run of pieces (a list) goes out at
        once where there are no comments to place. Native
        (work_list.cpp): the loop visits every part of every node."""
        _syntax.work(self, items, whole)

    # --- comments and the source tokens they are placed by ----------------------

    def flush(self, offset: int) -> None:
        """Puts out the comments that start before `offset`. Trailing
        comments alone wait for the next line break: where a line break
        cannot come just after the code they followed (`a + -- note` before
        an operand), they go where formatting the result again would put
        them, so that a second run changes nothing. They do not wait when
        one of them cannot trail the line (a comment after one that runs to
        the end of the line takes a line of its own, at the indentation of
        the code it is before), nor when one is a `///` comment: the
        standard grammar reads those only right before the code they
        precede."""
        comments = self.comments
        first = index = self.next_comment
        while index < len(comments) and comments[index].start < offset:
            index += 1
        if index == first:
            return
        batch = comments[first:index]
        self.advance(index)
        if all(comment.kind == TRAIL for comment in batch) and _may_wait(self.waiting, batch):
            self.waiting += batch
            return
        self.put_waiting()
        self.pieces += batch

    def advance(self, index: int) -> None:
        """Makes `index` the next comment to put out."""
        self.next_comment = index
        comments = self.comments
        if index < len(comments):
            self.next_start = comments[index].start
            self.next_trail = self.next_start if comments[index].kind == TRAIL else _NO_TOKEN
        else:
            self.next_start = self.next_trail = _NO_TOKEN

    def put_waiting(self) -> None:
        if self.waiting:
            self.pieces += self.waiting
            self.waiting.clear()

    def flush_trailing(self) -> None:
        """Puts out the trailing comments of the token printed last: a line
        break is about to come, and they belong before it."""
        self.put_waiting()
        starts = self.starts
        if self.next_trail == _NO_TOKEN or starts is None:
            return
        following = bisect_left(starts, self.printed_end)
        bound = starts[following] if following < len(starts) else _NO_TOKEN
        comments = self.comments
        index = self.next_comment
        while index < len(comments) and comments[index].kind == TRAIL and comments[index].start < bound:
            self.pieces.append(comments[index])
            index += 1
        self.advance(index)

    def last_of(self, node: Node) -> int | None:
        """The index of the last token of `node`, if it came from the source."""
        return self.after(node, -1)

    def at(self, first: int | None, last: int | None = None) -> _At | None:
        """An anchor for the tokens `first` to `last` (just `first` when
        `last` is None); None when neither is known."""
        if first is None:
            return None if last is None else _At(-1, last)
        return _At(first, first if last is None else last)

    def leaf(self, node: Node) -> None:
        """Places the comments before a node printed as one piece of text,
        which its caller appends next. Those within it (between a
        function's name and its `()`) go out at the next place comments
        are put out, as if they followed it."""
        if self.starts is None:
            return
        span = node.span
        if span is None:
            return
        if span.start > self.next_start:
            self.flush(span.start)
        self.printed_end = span.end

    def head(self, words: tuple[str, ...], first: int | None, end: int | None, *before: _Item) -> list[_Item]:
        """The words of a definition's head (`MEASURE`, its table, its name,
        `=`), one a token, from the token `first` up to the token `end`,
        after the parts `before`: where comments are placed, each word
        anchored on its token, so that a comment between two of them stays
        there; otherwise one text."""
        starts = self.starts
        if (starts is None or first is None or end is None or end - first != len(words) or end >= len(starts)
                or not self.comment_between(starts[first], starts[end])):
            return [self.at(first, None if end is None else end - 1), *before, "".join(words)]
        parts: list[_Item] = [self.at(first), *before, words[0]]
        for index in range(1, len(words)):
            parts += (self.at(first + index), words[index])
        return parts

    def comment_between(self, start: int, end: int) -> bool:
        """Whether a comment starts at or after `start` and before `end`."""
        index = bisect_left(self.comment_starts, start)
        return index < len(self.comment_starts) and self.comment_starts[index] < end

    def blank_line_before(self, offset: int | None) -> bool:
        """Whether the source has an empty line right before `offset`."""
        data = self.data
        if data is None or offset is None:
            return False
        start = offset
        while start and data[start - 1] in _WHITE:
            start -= 1
        return data.count(b"\n", start, offset) >= 2

    def start_offset(self, node: Node) -> int | None:
        span = node.span
        return None if span is None else span.start

    def listed(self, items: tuple[Node, ...]) -> list[_Item]:
        """Items separated by the separator, the one-line table's break
        after each separator."""
        parts: list[_Item] = []
        separator = self.separator
        after_separator = self.one_line.after_separator
        anchored = self.starts is not None
        for index, item in enumerate(items):
            if index:
                parts.append([self.at_after(items[index - 1]) if anchored else None, separator, after_separator])
            parts.append(self.child(item))
        return parts

    # --- leaves: one piece of text each -------------------------------------------

    def text(self, node: Node, min_bp: int, follow: int) -> None:
        """A leaf (a number, a string, a name, a reference...): its text as
        the flat printer spells it, which may hold a line break (a string
        written over two lines). The work list prints most leaves natively
        at once; this handler prints those it cannot: where comments are
        placed around a leaf built in code, a replacement, a leaf alone."""
        self.leaf(node)
        text = _leaf_text(node, self.flat_style)
        self.pieces.append(Multiline(text) if "\n" in text else text)

    def omitted(self, node: Omitted, min_bp: int, follow: int) -> None:
        return None  # an argument left out is no text

    # --- expressions ------------------------------------------------------------------

    def call(self, node: FunctionCall, min_bp: int, follow: int) -> list[_Item] | None:
        name = node.name
        upper = name.upper()
        if upper != name and upper in BUILTIN_FUNCTIONS and name.isascii():
            name = upper
        args = node.args
        if not args:
            self.leaf(node)
            self.pieces.append(name + self.empty_call)
            return None
        # The parts run flat, anchors only where comments are placed: a
        # large file has thousands of calls, each laid out here.
        anchored = self.starts is not None
        brackets = self.one_line.call
        parts: list[_Item] = [GROUP, self.at_node(node, 2)] if anchored else [GROUP]
        parts += (name + self.open_call, INDENT, brackets.inside)
        child = self.child
        separator, after_separator = self.separator, self.one_line.after_separator
        # A pair stays together: its value on its name's line where it fits
        # there, whole on the next line where it fits there, and otherwise
        # starting on its name's line (`"Name", CALCULATE (` ... `)`); a VAR
        # block, which lines up under its first VAR, starts the next line.
        pairs = _pairs(upper, args) if upper in _PAIRED else ()
        builtin = upper in BUILTIN_FUNCTIONS and name.isascii()
        last = len(args) - 1
        for index, arg in enumerate(args):
            if index:
                if anchored:
                    parts.append(self.at_after(args[index - 1]))
                if index - 1 in pairs and type(arg) is not VarBlock:
                    parts += (separator, on_one_line(after_separator), JOIN)
                else:
                    # Nothing between the separator and a last argument left out.
                    parts += (separator, SOFT if index == last and type(arg) is Omitted else after_separator)
            if builtin and type(arg) is Identifier and self.is_keyword(upper, index, arg):
                parts.append(self.keyword(arg))
            else:
                parts.append(child(arg))
        parts += self.closing(self.last_of(node), brackets) if anchored else self.close_call
        return parts

    def is_keyword(self, function: str, index: int, node: Identifier) -> bool:
        """Whether a bare name, argument `index` of the built-in `function`,
        is one of the keywords built-in functions take (`desc`, `day`). Not
        where a function takes its table (the first argument, but for
        RANK's ties), nor a name the text declares (`VAR Year = ...`): those
        name a table or a variable, whose case is the author's."""
        name = node.name.upper()
        if name not in KEYWORD_ARGUMENTS or not node.name.isascii() or (index == 0 and function not in _TIES_FIRST):
            return False
        return name not in self.declared

    def keyword(self, node: Identifier) -> _Item:
        """A keyword that a built-in function takes as an argument (`DESC`,
        `DAY`), in upper case as DAX's keywords are written."""
        text = node.name.upper()
        span = node.span
        if self.starts is None or span is None:
            return text
        return _Placed(text, span.start, span.end)

    def opening(self, anchor: _At | None, brackets: Brackets) -> list[_Item]:
        """The start of a bracketed group, `anchor` on its opening bracket."""
        return [GROUP, anchor, brackets.opening, INDENT, brackets.inside]

    def closing(self, index: int | None, brackets: Brackets) -> list[_Item]:
        """The end of a bracketed group: the comments on their own lines
        before the closing bracket keep the indentation of what it closes."""
        before = None if index is None else _At(index, -1)  # the comments only: the bracket comes later
        return [before, DEDENT, brackets.inside, self.at(index), brackets.closing, END]

    def grouped(self, node: Node) -> list[_Item]:
        """`node` in the parentheses that the tree needs around it."""
        grouping = self.one_line.grouping
        return [grouping[0], node, grouping[1]]

    def binary(self, node: Binary, min_bp: int, follow: int) -> list[_Item]:
        if needs_parens(node, min_bp, follow):
            return self.grouped(node)
        operands, operators, powers = _chain(node, follow)
        if node.op == "Concat" and len(operands) > 2:
            return self.concatenation(operands, powers)
        child = self.child
        anchored = self.starts is not None
        before, after = self.one_line.before_operator, self.one_line.after_operator
        # One text for each operator: a chain may have a million of them.
        spelled = {op: BINARY_OPERATORS[op][2] + after for op in set(operators)}
        parts: list[_Item] = [GROUP, child(operands[0], *powers[0]), INDENT]
        for index in range(1, len(operands)):
            if anchored:
                parts += (before, self.at_after(operands[index - 1]))
            else:
                parts.append(before)
            parts += (spelled[operators[index - 1]], child(operands[index], *powers[index]))
        parts += (DEDENT, END)
        return parts

    def concatenation(self, operands: list[Expr], powers: list[tuple[int, int]]) -> list[_Item]:
        """A chain of `&` that does not fit on its line fills its lines with
        operands, rather than one a line: such chains build text (a message,
        SVG or HTML markup) from many short pieces, which read as the text
        does. Where it builds markup, each operand that is a string starting
        a tag (`"<rect ..."`, `"</svg>"`) starts a line, as such measures
        are written by hand: one element a line, its attributes and their
        values filled after it."""
        child = self.child
        anchored = self.starts is not None
        before, after = self.one_line.before_operator, self.one_line.after_operator
        operator = BINARY_OPERATORS["Concat"][2] + after
        # The first line's fill indents the lines it breaks; each line after
        # a tag's start is a fill of its own, indented as a whole.
        parts: list[_Item] = [GROUP, FILL, child(operands[0], *powers[0]), INDENT]
        first = True  # in the first fill
        for index in range(1, len(operands)):
            operand = operands[index]
            anchor = self.at_after(operands[index - 1]) if anchored else None
            if type(operand) is String and operand.value.lstrip().startswith("<"):
                parts += (DEDENT, END) if first else (END, DEDENT)
                parts += (INDENT, before, anchor, operator, FILL, child(operand, *powers[index]))
                first = False
            else:
                parts += (before, anchor, operator, child(operand, *powers[index]))
        parts += (DEDENT, END, END) if first else (END, DEDENT, END)
        return parts

    def unary(self, node: Unary, min_bp: int, follow: int) -> list[_Item]:
        if needs_parens(node, min_bp, follow):
            return self.grouped(node)
        power, spelling = _unary_spelling(node)
        return [self.at_node(node), spelling, self.child(node.expr, power, follow)]

    def paren(self, node: Paren, min_bp: int, follow: int) -> list[_Item]:
        brackets = self.one_line.parens
        return [self.opening(self.at_node(node), brackets), self.child(node.expr),
                self.closing(self.last_of(node), brackets)]

    def var_block(self, node: VarBlock, min_bp: int, follow: int) -> list[_Item]:
        if needs_parens(node, min_bp, follow):
            return self.grouped(node)
        child = self.child
        anchored = self.starts is not None
        # RETURN lines up with the VARs wherever the block starts.
        parts: list[_Item] = [ALIGN]
        for index, decl in enumerate(node.decls):
            if index:
                parts.append(BLANK if self.blank_line_before(self.start_offset(decl)) else HARD)
            if anchored:
                parts += self.head(("VAR ", decl.name, " ="), self.first_of(decl), self.first_of(decl.expr), GROUP)
                parts += (INDENT, LINE, child(decl.expr), DEDENT, END)
            else:
                parts += (GROUP, "VAR " + decl.name + " =", INDENT, LINE, child(decl.expr), DEDENT, END)
        keyword = self.after(node.decls[-1])
        parts.append(BLANK if self.blank_line_before(self.return_offset(node, keyword)) else HARD)
        if anchored:
            parts.append(self.at(keyword))
        parts += ("RETURN", INDENT, HARD, child(node.body, 0, follow), DEDENT, DEDENT)
        return parts

    def return_offset(self, node: VarBlock, keyword: int | None) -> int | None:
        """Where `RETURN` starts in the source."""
        if keyword is not None and self.starts is not None:
            return self.starts[keyword]
        end, body = node.decls[-1].span, node.body.span
        if self.data is None or end is None or body is None:
            return None
        # Without comments, only white space surrounds the keyword.
        found = self.data[end.end : body.start].upper().find(b"RETURN")
        return None if found < 0 else end.end + found

    def table_constructor(self, node: TableConstructor, min_bp: int, follow: int) -> list[_Item] | None:
        table, row = self.one_line.table, self.one_line.row
        if not node.rows:
            self.leaf(node)
            self.pieces.append(table.empty or "")
            return None
        parts: list[_Item] = self.opening(self.at_node(node), table)
        separator, after_separator = self.separator, self.one_line.after_separator
        # A short row of leaves where no comment is placed is one text: it
        # fits on a line at any depth (lines are indented half the width at
        # most), and a table may have a million rows.
        short = self.width // 2 - len(separator)
        row_open, row_close = row.opening + on_one_line(row.inside), on_one_line(row.inside) + row.closing
        between = separator + on_one_line(after_separator)
        bare = [bare_row(cells) or (len(cells) == 1 and self.doc_comment_before(cells[0])) for cells in node.rows]
        for index, cells in enumerate(node.rows):
            if index:
                parts += [self.at_after(node.rows[index - 1][-1], 0 if bare[index - 1] else 1),
                          separator, after_separator]
            if bare[index]:
                parts.append(self.child(cells[0]))
                continue
            if self.starts is None:
                texts = [self.child(cell) for cell in cells]
                if all(type(text) is str for text in texts):
                    text = row_open + between.join(texts) + row_close  # type: ignore[arg-type]
                    if (len(text) if text.isascii() else display_width(text)) <= short:
                        parts.append(text)
                        continue
            first = self.first_of(cells[0])
            parts += [self.opening(self.at(None if first is None else first - 1), row), *self.listed(cells),
                      self.closing(self.after(cells[-1]), row)]
        parts.append(self.closing(self.last_of(node), table))
        return parts

    def doc_comment_before(self, node: Node) -> bool:
        """Whether a `///` comment stands between `node` and the token before
        it. The standard grammar then reads a `(` at the start of a table's
        row as a parenthesis, not as the row's own, and the engine grammar
        as the row's: printed without a row's parentheses, with the comment
        kept before it, the row reads as it did under both."""
        first = self.first_of(node)
        if not first or self.starts is None:
            return False
        comments, index = self.comments, bisect_left(self.comment_starts, self.starts[first - 1])
        while index < len(comments) and comments[index].start < self.starts[first]:
            if comments[index].text.startswith("///"):
                return True
            index += 1
        return False

    def row(self, node: RowConstructor, min_bp: int, follow: int) -> list[_Item]:
        brackets = self.one_line.row
        return [*self.opening(self.at_node(node), brackets), *self.listed(node.items),
                *self.closing(self.last_of(node), brackets)]

# How each kind of node is laid out: the handler for its class.
_HANDLERS: dict[type[Node], Callable[[_Builder, Any, int, int], Any]] = {
    Number: _Builder.text, String: _Builder.text, Boolean: _Builder.text, Blank: _Builder.text,
    Parameter: _Builder.text, Identifier: _Builder.text, TableRef: _Builder.text, BracketRef: _Builder.text,
    TableColumnRef: _Builder.text, HierarchyRef: _Builder.text, TypedLiteral: _Builder.text, Axis: _Builder.text,
    Omitted: _Builder.omitted,
    FunctionCall: _Builder.call, Binary: _Builder.binary, Unary: _Builder.unary, Paren: _Builder.paren,
    VarBlock: _Builder.var_block, TableConstructor: _Builder.table_constructor, RowConstructor: _Builder.row,
    Query: definitions.query, DefineBlock: definitions.define, Evaluate: definitions.evaluate, OrderKey: definitions.order_key,
    Measure: definitions.definition, Column: definitions.definition, Var: definitions.definition, Table: definitions.definition,
    Function: definitions.definition, MParameter: definitions.definition, FuncParam: definitions.parameter_definition,
    VisualShape: definitions.visual_shape,
    VisualAxis: definitions.visual_axis, VisualGroup: definitions.visual_group,
}
_syntax.register_work(_At, _Placed, Atom, Multiline, Located, _HANDLERS)



# Functions whose first argument may be a keyword: RANK ( DENSE, ... ).
_TIES_FIRST = frozenset({"RANK"})


def declared_names(root: Node) -> frozenset[str]:
    """The names that `root` declares (variables, parameters, tables of a
    DEFINE block), in upper case, as the native reader gives them."""
    declarations: Iterator[VarDecl | Var | FuncParam | Table] = root.find_all(VarDecl, Var, FuncParam, Table)
    return frozenset(node.name.upper() for node in declarations)


def _may_wait(waiting: list[Comment], batch: list[Comment]) -> bool:
    """Whether trailing comments may wait for the next line break: all of
    them can end one line, and none is a `///` comment."""
    line_ended = False
    for comment in (*waiting, *batch):
        if line_ended or comment.text.startswith("///"):
            return False
        line_ended = comment.runs_to_line_end
    return True


def _flat(builder: _Builder, node: Node, min_bp: int, follow: int) -> str | None:
    """The text an expression's pieces print in a flat group, for an Atom;
    None when there is none (a VAR block, a line break in a string, a node
    that is no expression). The same layout as the handlers', in one
    string, printed natively (flat_printer.cpp) with a work list."""
    return _native_flat(node, min_bp, follow, -1, builder.flat_style, builder.declared)


# Functions whose arguments come in pairs: a column's name and its
# expression (ADDCOLUMNS ( T, "Name", expression, ... )), or SWITCH's value
# and result. A broken call keeps each pair together (a JOIN between them).
_NAMED_PAIRS = {"ADDCOLUMNS", "SELECTCOLUMNS", "SUMMARIZE", "SUMMARIZECOLUMNS", "GROUPBY", "ROW", "DATATABLE"}
_PAIRED = frozenset(_NAMED_PAIRS | {"SWITCH"})


def _pairs(name: str, args: tuple[Expr, ...]) -> set[int] | tuple[()]:
    """The indexes of the arguments that begin a pair."""
    starts: set[int] = set()
    if name == "SWITCH":
        starts.update(range(1, len(args) - 1, 2))
    elif name in _NAMED_PAIRS:
        index = 0
        while index < len(args) - 1:
            if type(args[index]) is String:
                starts.add(index)
                index += 2
            else:
                index += 1
    return starts


def _chain(node: Binary, follow: int) -> tuple[list[Expr], list[str], list[tuple[int, int]]]:
    """The operands of the chain of operators that bind like `node`'s, the
    operators between them, and the binding powers each operand is printed
    with (as the canonical printer would print the nested nodes). Iterative:
    a chain is as deep as it is long."""
    lbp, rbp, _ = BINARY_OPERATORS[node.op]
    operands: list[Expr] = []
    operators: list[str] = []
    current: Expr = node
    if lbp == rbp:  # `^` groups to the right: walk down the right operands
        while type(current) is Binary and current.op == node.op:
            operands.append(current.left)
            operators.append(current.op)
            current = current.right
        operands.append(current)
        powers = [(0, lbp)] * (len(operands) - 1) + [(rbp, follow)]
        return operands, operators, powers
    rights: list[Expr] = []
    while type(current) is Binary and BINARY_OPERATORS[current.op][0] == lbp:
        rights.append(current.right)
        operators.append(current.op)
        current = current.left
    operands.append(current)
    operands.extend(reversed(rights))
    operators.reverse()
    powers = [(0, lbp)] + [(rbp, lbp)] * (len(operands) - 2) + [(rbp, follow)]
    return operands, operators, powers


def _unary_spelling(node: Unary) -> tuple[int, str]:
    """The binding power of a prefix operator's operand and its spelling."""
    power, spelling = UNARY_OPERATORS[node.op]
    first = leftmost(node.expr)
    if spelling == "-" and type(first) is Unary and first.op == "Minus":
        spelling = "- "  # `--` would start a comment
    return power, spelling


def build(
    tree: Node,
    kind: Kind,
    source: Source | None,
    *,
    separator: str = ",",
    space_before_paren: bool = True,
    width: int = 120,
    replacements: Mapping[int, Node] | None = None,
    one_line: OneLine = ONE_LINE,
    declared: frozenset[str] | None = None,
    first_width: int | None = None,
) -> Document:
    """The document of `tree` in the house style, with the comments of
    `source` (the text the tree was read from) placed by the positions of
    the nodes that came from it. `replacements` maps the id() of nodes of
    the tree to the nodes printed in their place; `one_line` is the
    one-line layout the style follows; `declared`, the names the tree
    declares (`declared_names`; found when not given). `width` is the room
    of a line; `first_width`, of the first line, where it differs."""
    if declared is None:
        declared = declared_names(tree)
    first_room = width if first_width is None else first_width
    if not replacements and type(tree) in _COMPOUND and (source is None or not source.comments):
        # A formula without comments that fits on its line, as most do: the
        # atom that the work list would make of it, at once.
        span = tree.span
        if (span is not None and span.end - span.start <= min(first_room, _ATOM_SPAN)
                and (source is None or not source.data[: span.start].strip())):
            text = _native_flat(tree, 0, 0, first_room, flat_style(one_line, separator, space_before_paren), declared)
            if text is not None:
                return Document([text], _expand_nothing)
    builder = _Builder(source, separator, space_before_paren, width, replacements or {}, one_line, declared)
    items: list[_Item] = []
    if kind == "function" and isinstance(tree, Function):
        # Its doc comments come first, outside the groups of its signature.
        first = builder.first_of(tree.params[0] if tree.params else tree.body)
        if first is not None and builder.starts is not None:
            builder.flush(builder.starts[max(first - 1, 0)])
        items = definitions.function(builder, tree, None)
    else:
        # An expression may begin with one `=`, as a model file writes it.
        span = tree.span
        if kind == "expression" and source is not None and span is not None:
            if builder.starts is not None:
                equals = bool(builder.starts) and builder.starts[0] < span.start
            else:
                equals = source.data[: span.start].strip() == b"="
            if equals:
                items = [builder.at(0), "= "]
        items.append(tree)
    return builder.run(items)
