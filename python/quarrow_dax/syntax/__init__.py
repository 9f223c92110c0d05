"""DAX syntax as Python objects: trees with positions, and tokens with comments.

    from quarrow_dax.syntax import TableColumnRef, parse_expression

    tree = parse_expression("SUMX ( Sales, Sales[Qty] * 'Sales'[Price] )")
    for column in tree.find_all(TableColumnRef):
        print(column.table.name, column.column, column.span)

`parse_expression` and `parse_query` return trees of the node classes below,
built natively from the parser's own tree; `tokenize` returns the tokens,
comments included. Every node and token has a `span` (UTF-8 byte offsets,
like every offset of this package) and a `text` (the exact source slice);
`LineIndex` maps offsets to lines and columns. Errors raise `ParseError`, a
ValueError. Nodes walk (`walk`, `find_all`, `children`), compare by structure
(`==` ignores positions) and print back as DAX (`to_dax`).
"""

from .._syntax import InternalError
from ..diagnostics import LineIndex
from .nodes import (
    Axis, Binary, BinaryOperator, Blank, Boolean, BracketRef, Column, DefineBlock, Definition, Direction,
    Evaluate, Expr, FuncParam, Function, FunctionCall, HierarchyRef, Identifier, Located, Measure, MParameter, Node,
    Number, Omitted, OrderKey, Paren, Parameter, Query, RowConstructor, Span, String, Table, TableColumnRef,
    TableConstructor, TableName, TableRef, TypedLiteral, Unary, UnaryOperator, Var, VarBlock, VarDecl, VisualAxis,
    VisualGroup, VisualShape,
)
from .parsing import (
    Grammar, ParseError, Separators, first_error, parse_expression, parse_function, parse_query, tokenize,
)
from .tokens import COMMENT_KINDS, Token, TokenKind

__all__ = [
    "COMMENT_KINDS", "Axis", "Binary", "BinaryOperator", "Blank", "Boolean", "BracketRef", "Column",
    "DefineBlock", "Definition", "Direction", "Evaluate", "Expr", "FuncParam", "Function", "FunctionCall",
    "Grammar", "HierarchyRef", "Identifier", "InternalError", "LineIndex", "Located", "MParameter", "Measure", "Node",
    "Number",
    "Omitted", "OrderKey", "Paren", "Parameter", "ParseError", "Query", "RowConstructor", "Separators", "Span",
    "String", "Table", "TableColumnRef", "TableConstructor", "TableName", "TableRef", "Token", "TokenKind",
    "TypedLiteral", "Unary", "UnaryOperator", "Var", "VarBlock", "VarDecl", "VisualAxis", "VisualGroup",
    "VisualShape", "first_error", "parse_expression", "parse_function", "parse_query", "tokenize",
]
