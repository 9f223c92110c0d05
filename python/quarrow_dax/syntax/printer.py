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

from collections.abc import Sequence
from typing import Literal, Union

from .nodes import (
    Axis, Binary, Blank, Boolean, BracketRef, Column, DefineBlock, Evaluate, Expr, FuncParam, Function,
    FunctionCall, HierarchyRef, Identifier, Measure, MParameter, Node, Number, Omitted, OrderKey, Paren, Parameter,
    Query,
    RowConstructor, String, Table, TableColumnRef, TableConstructor, TableName, TableRef, TypedLiteral, Unary, Var,
    VarBlock, VarDecl, VisualAxis, VisualGroup, VisualShape,
)
from .spelling import (
    BINARY_OPERATORS, UNARY_OPERATORS, bare_row, bracketed, is_plain_name, needs_parens, quote_table,
    string_literal, table_name,
)

__all__ = ["to_dax"]

# An item of the work list: finished text, or a node to print with the least
# binding power its place asks of it and the binding power of the operator
# that follows it there (0: nothing an operand could swallow).
_Item = Union[str, tuple[Node, int, int]]


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
            if needs_parens(node, min_bp, follow):
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
        if bare_row(cells):
            return [(cells[0], 0, 0)]
        return ["(", *self.listed(cells), ")"]

    def parts(self, node: Node, follow: int) -> list[_Item]:
        if isinstance(node, Number):
            return [node.value]
        if isinstance(node, String):
            return [string_literal(node.value)]
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
            return [table_name(node)]
        if isinstance(node, BracketRef):
            return [bracketed(node.name)]
        if isinstance(node, TableColumnRef):
            return [table_name(node.table) + bracketed(node.column)]
        if isinstance(node, HierarchyRef):
            return [table_name(node.table) + bracketed(node.column) + "".join("." + bracketed(level) for level in node.levels)]
        if isinstance(node, FunctionCall):
            return [node.name + "(", *self.listed(node.args), ")"]
        if isinstance(node, Unary):
            operand_bp, spelling = UNARY_OPERATORS[node.op]
            return [spelling, (node.expr, operand_bp, follow)]
        if isinstance(node, Binary):
            lbp, rbp, spelling = BINARY_OPERATORS[node.op]
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
            return [node.prefix + string_literal(node.value)]
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
        if isinstance(node, (Measure, Column, Var, Table, Function, MParameter)):
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
                parts.append("\n        DENSIFY " + string_literal(node.densify))
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

    def definition(self, node: Measure | Column | Var | Table | Function | MParameter) -> list[_Item]:
        parts: list[_Item] = []
        if node.doc is not None:
            parts += ["    /// " + line + "\n" for line in node.doc.split("\n")]
        if isinstance(node, MParameter):
            name = node.name if is_plain_name(node.name) else quote_table(node.name)
            return [*parts, f"    MPARAMETER {name} = ", (node.expr, 0, 0)]
        if isinstance(node, (Measure, Column)):
            keyword = "MEASURE" if isinstance(node, Measure) else "COLUMN"
            table = "" if node.table is None else table_name(node.table)
            return [*parts, f"    {keyword} {table}{bracketed(node.name)} = ", (node.expr, 0, 0)]
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
