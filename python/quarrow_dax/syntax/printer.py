"""`Node.to_dax`: plain canonical DAX text of a tree.

The text parses back to an equal tree: keywords in upper case, names,
strings and numbers exactly as the tree holds them, single spaces, one
definition per line in a query, no comments and no layout (the formatter
owns style). A tree read from text needs no parentheses beyond its Paren
nodes; for a tree built in code, parentheses are added where the operators'
precedence needs them, so that the text still means what the tree says.

Printing uses a work list instead of recursion, for trees as deep as an
operator chain is long.
"""

from __future__ import annotations

import functools
import re
from collections.abc import Sequence
from typing import Literal, Union

from .nodes import (
    Axis, Binary, Blank, Boolean, BracketRef, Column, DefineBlock, Evaluate, Expr, FuncParam, Function,
    FunctionCall, HierarchyRef, Identifier, Measure, Node, Number, Omitted, OrderKey, Paren, Parameter, Query,
    RowConstructor, String, Table, TableColumnRef, TableConstructor, TableName, TableRef, TypedLiteral, Unary, Var,
    VarBlock, VarDecl, VisualAxis, VisualGroup, VisualShape,
)

__all__ = ["to_dax"]

# How tightly each binary operator binds its left operand (lbp) and the least
# binding power its right operand is parsed with (rbp): the parser's table.
# `^` groups to the right, so its rbp equals its lbp.
_BINARY: dict[str, tuple[int, int, str]] = {
    "Or": (1, 2, "||"),
    "And": (2, 3, "&&"),
    "Eq": (4, 5, "="),
    "StrictEq": (4, 5, "=="),
    "Neq": (4, 5, "<>"),
    "Lt": (4, 5, "<"),
    "Lte": (4, 5, "<="),
    "Gt": (4, 5, ">"),
    "Gte": (4, 5, ">="),
    "In": (4, 5, "IN"),
    "Concat": (5, 6, "&"),
    "Add": (6, 7, "+"),
    "Sub": (6, 7, "-"),
    "Mul": (7, 8, "*"),
    "Div": (7, 8, "/"),
    "Pow": (9, 9, "^"),
}
# The binding power a prefix operator parses its operand with, and its spelling.
_UNARY: dict[str, tuple[int, str]] = {"Plus": (8, "+"), "Minus": (8, "-"), "Not": (3, "NOT ")}

_PLAIN_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_.]*\Z")

# An item of the work list: finished text, or a node to print with the least
# binding power its place asks of it and the binding power of the operator
# that follows it there (0: nothing an operand could swallow).
_Item = Union[str, tuple[Node, int, int]]


@functools.lru_cache(maxsize=4096)
def _lexes_as_one_name(name: str) -> bool:
    from .parsing import ParseError, tokenize

    try:
        tokens = tokenize(name, comments=False)
    except ParseError:
        return False
    return len(tokens) == 1 and tokens[0].kind == "Ident" and tokens[0].text == name


def is_plain_name(name: str) -> bool:
    """Whether `name` can be written without quotes: it reads as one name."""
    if name.isascii():
        return _PLAIN_NAME.match(name) is not None
    return _lexes_as_one_name(name)


def quote_table(name: str) -> str:
    return "'" + name.replace("'", "''") + "'"


def _table(table: TableName) -> str:
    if table.quoted or not is_plain_name(table.name):
        return quote_table(table.name)
    return table.name


def _bracket(name: str) -> str:
    return "[" + name.replace("]", "]]") + "]"


def _string(value: str) -> str:
    return '"' + value.replace('"', '""') + '"'


def _needs_parens(node: Node, min_bp: int, follow: int) -> bool:
    """Whether `node`, printed bare where operands of binding power `min_bp`
    are parsed and an operator of binding power `follow` comes next, would
    read back as another tree."""
    if isinstance(node, Binary):
        lbp, rbp, _ = _BINARY[node.op]
        return lbp < min_bp or follow >= rbp
    if isinstance(node, Unary):
        return follow >= _UNARY[node.op][0]
    if isinstance(node, VarBlock):
        return follow > 0
    return False


def _leftmost(node: Node) -> Node:
    while isinstance(node, Binary):
        node = node.left
    return node


class _Printer:
    def __init__(self, separator: str) -> None:
        self.separator = separator
        self.out: list[str] = []

    def emit(self, text: str) -> None:
        # `-` then `-` would start a comment.
        if text.startswith("-") and self.out and self.out[-1].endswith("-"):
            self.out.append(" ")
        self.out.append(text)

    def run(self, root: Node) -> str:
        stack: list[_Item] = [(root, 0, 0)]
        while stack:
            item = stack.pop()
            if isinstance(item, str):
                self.emit(item)
                continue
            node, min_bp, follow = item
            if _needs_parens(node, min_bp, follow):
                stack.extend([")", (node, 0, 0), "("])
                continue
            stack.extend(reversed(self.parts(node, follow)))
        return "".join(self.out)

    def listed(self, items: Sequence[Node]) -> list[_Item]:
        parts: list[_Item] = []
        for index, item in enumerate(items):
            if index:
                parts.append(self.separator)
            parts.append((item, 0, 0))
        return parts

    def row(self, cells: tuple[Expr, ...]) -> list[_Item]:
        # A row of one cell is written bare unless it begins with `(`: that
        # would open a row of several cells (and unwrap a Paren).
        if len(cells) == 1 and not isinstance(_leftmost(cells[0]), Paren):
            return [(cells[0], 0, 0)]
        return ["(", *self.listed(cells), ")"]

    def parts(self, node: Node, follow: int) -> list[_Item]:
        if isinstance(node, Number):
            return [node.value]
        if isinstance(node, String):
            return [_string(node.value)]
        if isinstance(node, Boolean):
            return ["TRUE" if node.value else "FALSE"]
        if isinstance(node, Blank):
            return ["BLANK"]
        if isinstance(node, Parameter):
            return ["@" + node.name]
        if isinstance(node, Identifier):
            return [node.name]
        if isinstance(node, TableRef):
            return [quote_table(node.table.name)]
        if isinstance(node, TableName):
            return [_table(node)]
        if isinstance(node, BracketRef):
            return [_bracket(node.name)]
        if isinstance(node, TableColumnRef):
            return [_table(node.table) + _bracket(node.column)]
        if isinstance(node, HierarchyRef):
            return [_table(node.table) + _bracket(node.column) + "".join("." + _bracket(level) for level in node.levels)]
        if isinstance(node, FunctionCall):
            return [node.name + "(", *self.listed(node.args), ")"]
        if isinstance(node, Unary):
            operand_bp, spelling = _UNARY[node.op]
            return [spelling, (node.expr, operand_bp, follow)]
        if isinstance(node, Binary):
            lbp, rbp, spelling = _BINARY[node.op]
            return [(node.left, 0, lbp), " " + spelling + " ", (node.right, rbp, follow)]
        if isinstance(node, VarBlock):
            parts: list[_Item] = []
            for decl in node.decls:
                parts += ["VAR " + decl.name + " = ", (decl.expr, 0, 0), " "]
            return [*parts, "RETURN ", (node.body, 0, follow)]
        if isinstance(node, VarDecl):
            return ["VAR " + node.name + " = ", (node.expr, 0, 0)]
        if isinstance(node, TableConstructor):
            parts = ["{"]
            for index, cells in enumerate(node.rows):
                if index:
                    parts.append(self.separator)
                parts += self.row(cells)
            return [*parts, "}"]
        if isinstance(node, Paren):
            return ["(", (node.expr, 0, 0), ")"]
        if isinstance(node, Omitted):
            return []
        if isinstance(node, TypedLiteral):
            return [node.prefix + _string(node.value)]
        if isinstance(node, RowConstructor):
            return ["(", *self.listed(node.items), ")"]
        if isinstance(node, Axis):
            return [" ".join(node.words)]
        if isinstance(node, Query):
            parts = []
            if node.define is not None:
                parts += [(node.define, 0, 0), "\n"]
            for index, statement in enumerate(node.evaluates):
                if index:
                    parts.append("\n")
                parts.append((statement, 0, 0))
            return parts
        if isinstance(node, DefineBlock):
            parts = ["DEFINE"]
            for definition in node.defs:
                parts += ["\n", (definition, 0, 0)]
            return parts
        if isinstance(node, (Measure, Column, Var, Table, Function)):
            return self.definition(node)
        if isinstance(node, FuncParam):
            parts = [node.name + (": " + " ".join(node.type_hints) if node.type_hints else "")]
            if node.default is not None:
                parts += [" = ", (node.default, 0, 0)]
            return parts
        if isinstance(node, VisualShape):
            parts = ["WITH VISUAL SHAPE"]
            for axis in node.axes:
                parts += ["\n        ", (axis, 0, 0)]
            if node.densify is not None:
                parts.append("\n        DENSIFY " + _string(node.densify))
            return parts
        if isinstance(node, VisualAxis):
            parts = ["AXIS " + node.name]
            for group in node.groups:
                parts += [" ", (group, 0, 0)]
            if node.order_by:
                parts += [" ORDER BY ", *self.listed(node.order_by)]
            return parts
        if isinstance(node, VisualGroup):
            parts = ["GROUP ", *self.listed(node.columns)]
            if node.total is not None:
                parts += [" TOTAL ", (node.total, 0, 0)]
            return parts
        if isinstance(node, Evaluate):
            parts = ["EVALUATE ", (node.expr, 0, 0)]
            if node.order_by:
                parts += ["\nORDER BY ", *self.listed(node.order_by)]
            if node.start_at is not None:
                parts += ["\nSTART AT ", *self.listed(node.start_at)]
            return parts
        if isinstance(node, OrderKey):
            return [(node.expr, 0, 0), " DESC" if node.direction == "Desc" else ""]
        raise TypeError(f"cannot print {type(node).__name__}")

    def definition(self, node: Measure | Column | Var | Table | Function) -> list[_Item]:
        parts: list[_Item] = []
        if node.doc is not None:
            parts += ["    /// " + line + "\n" for line in node.doc.split("\n")]
        if isinstance(node, (Measure, Column)):
            keyword = "MEASURE" if isinstance(node, Measure) else "COLUMN"
            table = "" if node.table is None else _table(node.table)
            return [*parts, f"    {keyword} {table}{_bracket(node.name)} = ", (node.expr, 0, 0)]
        if isinstance(node, Var):
            return [*parts, f"    VAR {node.name} = ", (node.expr, 0, 0)]
        if isinstance(node, Table):
            name = node.name if is_plain_name(node.name) else quote_table(node.name)
            parts += [f"    TABLE {name} = ", (node.expr, 0, 0)]
            if node.visual_shape is not None:
                parts += ["\n    ", (node.visual_shape, 0, 0)]
            return parts
        return [*parts, f"    FUNCTION {node.name} = (", *self.listed(node.params), ") => ", (node.body, 0, 0)]


def to_dax(node: Node, *, separators: Literal["comma", "semicolon"] = "comma") -> str:
    """Canonical DAX text of `node`; see `Node.to_dax`."""
    if separators not in ("comma", "semicolon"):
        raise ValueError(f"separators must be 'comma' or 'semicolon', not {separators!r}")
    return _Printer(", " if separators == "comma" else "; ").run(node)
