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
brackets and breaks from; the machinery that visits every node is native,
in the syntax module: the work list that reads the handlers' parts into the
document (work_list.cpp: `work`, `child`, the anchors' token indexes) and
the printer of the parts that fit on one line (flat_printer.cpp: `_flat`,
the atoms, and the leaves' texts), which writes the spellings of
`syntax.spelling` laid out by the same one-line table in one string.
"""

from __future__ import annotations

import functools
from bisect import bisect_left
from collections.abc import Callable, Mapping, Sequence
from typing import Any, Literal, NamedTuple, Union

from .. import _syntax
from ..syntax.functions import BUILTIN_FUNCTIONS
from ..syntax.nodes import (
    Axis, Binary, Blank, Boolean, BracketRef, Column, DefineBlock, Evaluate, Expr, FuncParam, Function,
    FunctionCall, HierarchyRef, Identifier, Located, Measure, MParameter, Node, Number, Omitted, OrderKey, Paren,
    Parameter, Query, RowConstructor, String, Table, TableColumnRef, TableConstructor, TableRef, TypedLiteral, Unary,
    Var, VarBlock, VisualAxis, VisualGroup, VisualShape,
)
from ..syntax.spelling import (
    BINARY_OPERATORS, UNARY_OPERATORS, bare_row, bracketed, is_plain_name, leftmost, needs_parens, quote_table,
    string_literal, table_name,
)
from .comments import TRAIL, Comment, Source
from .layout import ALIGN, BLANK, DEDENT, END, GROUP, HARD, INDENT, LINE, SOFT, Atom, Multiline, Piece
from .one_line import ONE_LINE, Brackets, OneLine, flat_style

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
        replacements: Mapping[int, Node], one_line: OneLine = ONE_LINE,
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
        context = (bool(replacements), self.starts is not None, [comment.start for comment in self.comments],
                   self.atom_span, width, self.flat_style)
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
        them, so that a second run changes nothing."""
        comments = self.comments
        first = index = self.next_comment
        while index < len(comments) and comments[index].start < offset:
            index += 1
        if index == first:
            return
        batch = comments[first:index]
        self.advance(index)
        if all(comment.kind == TRAIL for comment in batch):
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
        """Places the comments around a node printed as one piece of text."""
        if self.starts is None:
            return
        span = node.span
        if span is None:
            return
        if span.start > self.next_start:
            self.flush(span.start)
        self.printed_end = span.end

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
        pairs = _pairs(upper, args) if upper in _PAIRED else None
        last = len(args) - 1
        for index, arg in enumerate(args):
            if index:
                if anchored:
                    parts.append(self.at_after(args[index - 1]))
                # Nothing between the separator and a last argument left out.
                parts += (separator, SOFT if index == last and type(arg) is Omitted else after_separator)
            if pairs is None:
                parts.append(child(arg))
                continue
            if index in pairs:
                parts.append(GROUP)  # a name and its expression share a line when they fit
            parts.append(child(arg))
            if index - 1 in pairs:
                parts.append(END)
        parts += self.closing(self.last_of(node), brackets) if anchored else self.close_call
        return parts

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
        child = self.child
        anchored = self.starts is not None
        before, after = self.one_line.before_operator, self.one_line.after_operator
        parts: list[_Item] = [GROUP, child(operands[0], *powers[0])]
        for index in range(1, len(operands)):
            parts += (INDENT, before)
            if anchored:
                parts.append(self.at_after(operands[index - 1]))
            parts += (BINARY_OPERATORS[operators[index - 1]][2] + after, child(operands[index], *powers[index]), DEDENT)
        parts.append(END)
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
                parts.append(self.at_node(decl, 3))
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
        for index, cells in enumerate(node.rows):
            if index:
                parts += [self.at_after(node.rows[index - 1][-1], 0 if bare_row(node.rows[index - 1]) else 1),
                          separator, after_separator]
            if bare_row(cells):
                parts.append(self.child(cells[0]))
                continue
            first = self.first_of(cells[0])
            parts += [self.opening(self.at(None if first is None else first - 1), row), *self.listed(cells),
                      self.closing(self.after(cells[-1]), row)]
        parts.append(self.closing(self.last_of(node), table))
        return parts

    def row(self, node: RowConstructor, min_bp: int, follow: int) -> list[_Item]:
        brackets = self.one_line.row
        return [*self.opening(self.at_node(node), brackets), *self.listed(node.items),
                *self.closing(self.last_of(node), brackets)]

    # --- queries ------------------------------------------------------------------------

    def query(self, node: Query, min_bp: int, follow: int) -> list[_Item]:
        parts: list[_Item] = []
        if node.define is not None:
            parts.append(node.define)
        for index, statement in enumerate(node.evaluates):
            if index or node.define is not None:
                parts.append(BLANK)
            parts.append(statement)
        return parts

    def define(self, node: DefineBlock, min_bp: int, follow: int) -> list[_Item]:
        parts: list[_Item] = [self.at_node(node), "DEFINE", INDENT]
        previous: type[Node] | None = None
        for definition in node.defs:
            kind = type(definition)
            if previous is None:
                parts.append(HARD)
            elif kind is not previous or self.blank_line_before(self.start_offset(definition)):
                parts.append(BLANK)
            else:
                parts.append(HARD)
            parts.append(definition)
            previous = kind
        parts.append(DEDENT)
        return parts

    def definition(
        self, node: Measure | Column | Var | Table | Function | MParameter, min_bp: int, follow: int
    ) -> list[_Item]:
        parts: list[_Item] = []
        if node.doc is not None and node.span is None:
            # Built in code: its doc comments are not among the source's comments.
            for line in node.doc.split("\n"):
                parts += ["/// " + line if line else "///", HARD]
        if isinstance(node, Function):
            return parts + self.function(node, "FUNCTION " + node.name + " = ")
        if isinstance(node, (Measure, Column)):
            keyword = "MEASURE " if isinstance(node, Measure) else "COLUMN "
            table = "" if node.table is None else table_name(node.table)
            head = keyword + table + bracketed(node.name) + " ="
        elif isinstance(node, Var):
            head = "VAR " + node.name + " ="
        else:
            keyword = "MPARAMETER " if isinstance(node, MParameter) else "TABLE "
            head = keyword + (node.name if is_plain_name(node.name) else quote_table(node.name)) + " ="
        first, body = self.first_of(node), self.first_of(node.expr)
        parts += [[self.at(first, None if body is None else body - 1), GROUP, head, INDENT, LINE],
                  self.child(node.expr), [DEDENT, END]]
        if isinstance(node, Table) and node.visual_shape is not None:
            parts += [INDENT, HARD, node.visual_shape, DEDENT]
        return parts

    def function(self, node: Function, head: str | None) -> list[_Item]:
        """`( parameters ) => body`, after `head` when there is one."""
        body = self.first_of(node.body)
        arrow = None if body is None else body - 1
        brackets = self.one_line.parameters
        parts: list[_Item] = [GROUP]
        if head is not None:
            parts += [self.at_node(node, 3), head]
        if not node.params:
            parts += [self.at(None if arrow is None else arrow - 2, None if arrow is None else arrow - 1),
                      brackets.empty or ""]
        else:
            first = self.first_of(node.params[0])
            parts += [*self.opening(self.at(None if first is None else first - 1), brackets),
                      *self.listed(node.params), *self.closing(self.after(node.params[-1]), brackets)]
        parts += [[self.at(arrow), " =>", INDENT, LINE], self.child(node.body), [DEDENT, END]]
        return parts

    def parameter_definition(self, node: FuncParam, min_bp: int, follow: int) -> list[_Item]:
        text = node.name + (" : " + " ".join(node.type_hints) if node.type_hints else "")
        if node.default is None:
            self.leaf(node)
            return [text]
        return [self.at_node(node), text, " = ", self.child(node.default)]

    def evaluate(self, node: Evaluate, min_bp: int, follow: int) -> list[_Item]:
        parts: list[_Item] = [[self.at_node(node), "EVALUATE", HARD], self.child(node.expr)]
        last: Node = node.expr
        if node.order_by:
            after = self.after(node.expr)
            parts += [HARD, GROUP, self.at(after, None if after is None else after + 1), "ORDER BY", INDENT, LINE,
                      *self.listed(node.order_by), DEDENT, END]
            last = node.order_by[-1]
        if node.start_at is not None:
            after = self.after(last)
            parts += [HARD, GROUP, self.at(after, None if after is None else after + 1), "START AT", INDENT, LINE,
                      *self.listed(node.start_at), DEDENT, END]
        return parts

    def order_key(self, node: OrderKey, min_bp: int, follow: int) -> list[_Item]:
        if node.direction == "Desc":
            return [self.child(node.expr), self.at_after(node.expr), " DESC"]
        # An ASC the author wrote stays: the key's span then reaches past its expression.
        span, expr_span = node.span, node.expr.span
        if span is not None and expr_span is not None and span.end > expr_span.end:
            return [self.child(node.expr), self.at_after(node.expr), " ASC"]
        return [self.child(node.expr)]

    def visual_shape(self, node: VisualShape, min_bp: int, follow: int) -> list[_Item]:
        parts: list[_Item] = [self.at_node(node, 3), "WITH VISUAL SHAPE", INDENT]
        for axis in node.axes:
            parts += [HARD, axis]
        if node.densify is not None:
            parts += [HARD, "DENSIFY " + string_literal(node.densify)]
        parts.append(DEDENT)
        return parts

    def visual_axis(self, node: VisualAxis, min_bp: int, follow: int) -> list[_Item]:
        parts: list[_Item] = [self.at_node(node, 2), "AXIS " + node.name.upper(), INDENT]
        for group in node.groups:
            parts += [HARD, group]
        if node.order_by:
            parts += [HARD, GROUP, "ORDER BY", INDENT, LINE, *self.listed(node.order_by), DEDENT, END]
        parts.append(DEDENT)
        return parts

    def visual_group(self, node: VisualGroup, min_bp: int, follow: int) -> list[_Item]:
        parts: list[_Item] = [GROUP, self.at_node(node), "GROUP", INDENT, LINE, *self.listed(node.columns)]
        if node.total is not None:
            parts += [LINE, "TOTAL ", node.total]
        parts += [DEDENT, END]
        return parts


# How each kind of node is laid out: the handler for its class.
_HANDLERS: dict[type[Node], Callable[[_Builder, Any, int, int], Any]] = {
    Number: _Builder.text, String: _Builder.text, Boolean: _Builder.text, Blank: _Builder.text,
    Parameter: _Builder.text, Identifier: _Builder.text, TableRef: _Builder.text, BracketRef: _Builder.text,
    TableColumnRef: _Builder.text, HierarchyRef: _Builder.text, TypedLiteral: _Builder.text, Axis: _Builder.text,
    Omitted: _Builder.omitted,
    FunctionCall: _Builder.call, Binary: _Builder.binary, Unary: _Builder.unary, Paren: _Builder.paren,
    VarBlock: _Builder.var_block, TableConstructor: _Builder.table_constructor, RowConstructor: _Builder.row,
    Query: _Builder.query, DefineBlock: _Builder.define, Evaluate: _Builder.evaluate, OrderKey: _Builder.order_key,
    Measure: _Builder.definition, Column: _Builder.definition, Var: _Builder.definition, Table: _Builder.definition,
    Function: _Builder.definition, MParameter: _Builder.definition, FuncParam: _Builder.parameter_definition, VisualShape: _Builder.visual_shape,
    VisualAxis: _Builder.visual_axis, VisualGroup: _Builder.visual_group,
}
_syntax.register_work(_At, _Placed, Atom, Multiline, Located, _HANDLERS)



def _flat(builder: _Builder, node: Node, min_bp: int, follow: int) -> str | None:
    """The text an expression's pieces print in a flat group, for an Atom;
    None when there is none (a VAR block, a line break in a string, a node
    that is no expression). The same layout as the handlers', in one
    string, printed natively (flat_printer.cpp) with a work list."""
    return _native_flat(node, min_bp, follow, -1, builder.flat_style)


# Functions whose arguments come in pairs: a column's name and its
# expression (ADDCOLUMNS ( T, "Name", expression, ... )), or SWITCH's value
# and result. A broken call keeps each pair on one line where it fits.
_NAMED_PAIRS = {"ADDCOLUMNS", "SELECTCOLUMNS", "SUMMARIZE", "SUMMARIZECOLUMNS", "GROUPBY", "ROW", "DATATABLE"}
_PAIRED = frozenset(_NAMED_PAIRS | {"SWITCH"})


def _pairs(name: str, args: tuple[Expr, ...]) -> set[int]:
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
) -> Document:
    """The document of `tree` in the house style, with the comments of
    `source` (the text the tree was read from) placed by the positions of
    the nodes that came from it. `replacements` maps the id() of nodes of
    the tree to the nodes printed in their place; `one_line` is the
    one-line layout the style follows."""
    if not replacements and type(tree) in _COMPOUND and (source is None or not source.comments):
        # A formula without comments that fits on its line, as most do: the
        # atom that the work list would make of it, at once.
        span = tree.span
        if (span is not None and span.end - span.start <= min(width, _ATOM_SPAN)
                and (source is None or not source.data[: span.start].strip())):
            text = _native_flat(tree, 0, 0, width, flat_style(one_line, separator, space_before_paren))
            if text is not None:
                return Document([text], _expand_nothing)
    builder = _Builder(source, separator, space_before_paren, width, replacements or {}, one_line)
    items: list[_Item] = []
    if kind == "function" and isinstance(tree, Function):
        # Its doc comments come first, outside the groups of its signature.
        first = builder.first_of(tree.params[0] if tree.params else tree.body)
        if first is not None and builder.starts is not None:
            builder.flush(builder.starts[max(first - 1, 0)])
        items = builder.function(tree, None)
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
