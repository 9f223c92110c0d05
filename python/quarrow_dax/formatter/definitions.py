"""The formatter's style for queries and definitions: `DEFINE` and its
definitions (measures, columns, variables, tables, functions with their
parameters), `EVALUATE` with `ORDER BY` and `START AT`, and the visual
shapes of a visual calculation. Each handler takes the style's builder
(style._Builder) and returns the parts of its node, as the expression
handlers of `style` do."""

from __future__ import annotations

from typing import TYPE_CHECKING

from ..syntax.nodes import (
    Column, DefineBlock, Evaluate, FuncParam, Function, Measure, MParameter, Node, OrderKey, Query, Table, Var,
    VisualAxis, VisualGroup, VisualShape,
)
from ..syntax.spelling import bracketed, is_plain_name, quote_table, string_literal, table_name
from .layout import BLANK, DEDENT, END, GROUP, HARD, INDENT, LINE

if TYPE_CHECKING:
    from .style import _Builder, _Item

__all__ = [
    "define", "definition", "evaluate", "function", "order_key", "parameter_definition", "query", "visual_axis",
    "visual_group", "visual_shape",
]


def query(builder: _Builder, node: Query, min_bp: int, follow: int) -> list[_Item]:
    parts: list[_Item] = []
    if node.define is not None:
        parts.append(node.define)
    for index, statement in enumerate(node.evaluates):
        if index or node.define is not None:
            parts.append(BLANK)
        parts.append(statement)
    return parts


def define(builder: _Builder, node: DefineBlock, min_bp: int, follow: int) -> list[_Item]:
    parts: list[_Item] = [builder.at_node(node), "DEFINE", INDENT]
    previous: type[Node] | None = None
    for definition in node.defs:
        kind = type(definition)
        if previous is None:
            parts.append(HARD)
        elif kind is not previous or builder.blank_line_before(builder.start_offset(definition)):
            parts.append(BLANK)
        else:
            parts.append(HARD)
        parts.append(definition)
        previous = kind
    parts.append(DEDENT)
    return parts


def definition(
    builder: _Builder, node: Measure | Column | Var | Table | Function | MParameter, min_bp: int, follow: int
) -> list[_Item]:
    parts: list[_Item] = []
    if node.doc is not None and node.span is None:
        # Built in code: its doc comments are not among the source's comments.
        for line in node.doc.split("\n"):
            parts += ["/// " + line if line else "///", HARD]
    if isinstance(node, Function):
        return parts + function(builder, node, node.name)
    words: tuple[str, ...]
    if isinstance(node, (Measure, Column)):
        keyword = "MEASURE " if isinstance(node, Measure) else "COLUMN "
        table = () if node.table is None else (table_name(node.table),)
        words = (keyword, *table, bracketed(node.name), " =")
    elif isinstance(node, Var):
        words = ("VAR ", node.name, " =")
    else:
        keyword = "MPARAMETER " if isinstance(node, MParameter) else "TABLE "
        words = (keyword, node.name if is_plain_name(node.name) else quote_table(node.name), " =")
    parts += [builder.head(words, builder.first_of(node), builder.first_of(node.expr), GROUP), [INDENT, LINE],
              builder.child(node.expr), [DEDENT, END]]
    if isinstance(node, Table) and node.visual_shape is not None:
        parts += [INDENT, HARD, node.visual_shape, DEDENT]
    return parts


def function(builder: _Builder, node: Function, name: str | None) -> list[_Item]:
    """`( parameters ) => body`, after `FUNCTION name =` when there is a
    name."""
    body = builder.first_of(node.body)
    arrow = None if body is None else body - 1
    brackets = builder.one_line.parameters
    parts: list[_Item] = [GROUP]
    if name is not None:
        first = builder.first_of(node.params[0]) if node.params else None if arrow is None else arrow - 1
        parts += builder.head(("FUNCTION ", name, " = "), builder.first_of(node), None if first is None else first - 1)
    if not node.params:
        parts += [builder.at(None if arrow is None else arrow - 2, None if arrow is None else arrow - 1),
                  brackets.empty or ""]
    else:
        first = builder.first_of(node.params[0])
        parts += [*builder.opening(builder.at(None if first is None else first - 1), brackets),
                  *builder.listed(node.params), *builder.closing(builder.after(node.params[-1]), brackets)]
    parts += [[builder.at(arrow), " =>", INDENT, LINE], builder.child(node.body), [DEDENT, END]]
    return parts


def parameter_definition(builder: _Builder, node: FuncParam, min_bp: int, follow: int) -> list[_Item]:
    text = node.name + (" : " + " ".join(node.type_hints) if node.type_hints else "")
    if node.default is None:
        builder.leaf(node)
        return [text]
    return [builder.at_node(node), text, " = ", builder.child(node.default)]


def evaluate(builder: _Builder, node: Evaluate, min_bp: int, follow: int) -> list[_Item]:
    parts: list[_Item] = [[builder.at_node(node), "EVALUATE", HARD], builder.child(node.expr)]
    last: Node = node.expr
    if node.order_by:
        after = builder.after(node.expr)
        parts += [HARD, GROUP, builder.at(after, None if after is None else after + 1), "ORDER BY", INDENT, LINE,
                  *builder.listed(node.order_by), DEDENT, END]
        last = node.order_by[-1]
    if node.start_at is not None:
        after = builder.after(last)
        parts += [HARD, GROUP, builder.at(after, None if after is None else after + 1), "START AT", INDENT, LINE,
                  *builder.listed(node.start_at), DEDENT, END]
    return parts


def order_key(builder: _Builder, node: OrderKey, min_bp: int, follow: int) -> list[_Item]:
    if node.direction == "Desc":
        return [builder.child(node.expr), builder.at_after(node.expr), " DESC"]
    # An ASC the author wrote stays: the key's span then reaches past its expression.
    span, expr_span = node.span, node.expr.span
    if span is not None and expr_span is not None and span.end > expr_span.end:
        return [builder.child(node.expr), builder.at_after(node.expr), " ASC"]
    return [builder.child(node.expr)]


def visual_shape(builder: _Builder, node: VisualShape, min_bp: int, follow: int) -> list[_Item]:
    parts: list[_Item] = [builder.at_node(node, 3), "WITH VISUAL SHAPE", INDENT]
    for axis in node.axes:
        parts += [HARD, axis]
    if node.densify is not None:
        parts += [HARD, "DENSIFY " + string_literal(node.densify)]
    parts.append(DEDENT)
    return parts


def visual_axis(builder: _Builder, node: VisualAxis, min_bp: int, follow: int) -> list[_Item]:
    parts: list[_Item] = [builder.at_node(node, 2), "AXIS " + node.name.upper(), INDENT]
    for group in node.groups:
        parts += [HARD, group]
    if node.order_by:
        parts += [HARD, GROUP, "ORDER BY", INDENT, LINE, *builder.listed(node.order_by), DEDENT, END]
    parts.append(DEDENT)
    return parts


def visual_group(builder: _Builder, node: VisualGroup, min_bp: int, follow: int) -> list[_Item]:
    parts: list[_Item] = [GROUP, builder.at_node(node), "GROUP", INDENT, LINE, *builder.listed(node.columns)]
    if node.total is not None:
        parts += [LINE, "TOTAL ", node.total]
    parts += [DEDENT, END]
    return parts
