"""Small questions rules ask about expressions: what is inside parentheses,
whether an expression is a constant number, whether it names a whole table,
and how to put a node where another one was without changing how the text
around it groups."""

from __future__ import annotations

import dataclasses
import operator
from collections.abc import Callable, Mapping

from ..syntax import (
    Binary, Blank, Boolean, BracketRef, Expr, FunctionCall, HierarchyRef, Identifier, Measure, Node, Number, Paren,
    Parameter, Query, String, TableColumnRef, TableConstructor, TableRef, TypedLiteral, Unary, VarBlock,
)
from .context import LintContext

__all__ = [
    "constant_number", "function_name", "in_place", "replaced", "result_expressions", "unwrap", "whole_table",
]

# How many nodes (variables' expressions included) `constant_number` looks
# at before it gives up: constants in formulas are short.
_MAX_CONSTANT_NODES = 64

_ARITHMETIC: dict[str, Callable[[float, float], float]] = {
    "Add": operator.add, "Sub": operator.sub, "Mul": operator.mul, "Div": operator.truediv, "Pow": operator.pow,
}

# Nodes that no operator next to them can split, so that they can replace
# any expression as they are.
_ATOMIC = (
    Blank, Boolean, BracketRef, FunctionCall, HierarchyRef, Identifier, Number, Paren, Parameter, String,
    TableColumnRef, TableConstructor, TableRef, TypedLiteral,
)


def unwrap(expr: Expr) -> Expr:
    """The expression inside any parentheses around it."""
    while isinstance(expr, Paren):
        expr = expr.expr
    return expr


def function_name(expr: Expr) -> str | None:
    """The upper-case name of a function call, or None for anything else."""
    return expr.name.upper() if isinstance(expr, FunctionCall) else None


def constant_number(expr: Expr, context: LintContext) -> float | None:
    """The value of a number written as a constant: literals, in parentheses
    or not, with signs and arithmetic between them, and variables declared
    as such; None for anything else (or anything too large to bother)."""
    # Post-order over an explicit stack: (node, whether its operands are done).
    work: list[tuple[Expr, bool]] = [(expr, False)]
    values: list[float] = []
    budget = _MAX_CONSTANT_NODES
    while work:
        node, operands_done = work.pop()
        if operands_done:
            if isinstance(node, Unary):
                values.append(-values.pop() if node.op == "Minus" else values.pop())
                continue
            assert isinstance(node, Binary)
            right, left = values.pop(), values.pop()
            try:
                values.append(_ARITHMETIC[node.op](left, right))
            except (ZeroDivisionError, OverflowError, ValueError):
                return None
            continue
        budget -= 1
        if budget < 0:
            return None
        node = unwrap(node)
        if isinstance(node, Number):
            try:
                # A decimal comma under the semicolon convention.
                values.append(float(node.value.replace(",", ".")))
            except ValueError:
                return None
        elif isinstance(node, Unary) and node.op != "Not":
            work += [(node, True), (node.expr, False)]
        elif isinstance(node, Binary) and node.op in _ARITHMETIC:
            work += [(node, True), (node.right, False), (node.left, False)]
        elif isinstance(node, Identifier):
            binding = context.resolve(node.name)
            if binding is None or binding.value is None:
                return None
            work.append((binding.value, False))
        else:
            return None
    return values[0] if len(values) == 1 else None


def result_expressions(context: LintContext) -> list[Expr]:
    """The expressions whose value is what a measure shows: the formula's
    own (a query's: each DEFINE MEASURE's), past parentheses, a sign, the
    RETURN of a VAR block and the branches of IF and SWITCH. None for a
    formula whose result no visual shows as a measure's (a calculated
    column or table, a function, a security filter, ...)."""
    if context.kind == "function" or context.object_kind not in (None, "measure", "calculation item"):
        return []
    tree = context.tree
    if isinstance(tree, Query):
        work = [d.expr for d in tree.define.defs if isinstance(d, Measure)] if tree.define else []
    elif isinstance(tree, Expr):
        work = [tree]
    else:
        return []
    found = []
    while work:
        expr = unwrap(work.pop())
        name = function_name(expr)
        if isinstance(expr, VarBlock):
            work.append(expr.body)
        elif isinstance(expr, Unary) and expr.op != "Not":
            work.append(expr.expr)
        elif isinstance(expr, FunctionCall) and (name == "IF" or name == "IF.EAGER"):
            work.extend(expr.args[1:3])
        elif isinstance(expr, FunctionCall) and name == "SWITCH":
            # SWITCH ( value, match, result, match, result, ..., [else] )
            work.extend(expr.args[2::2])
            if len(expr.args) % 2 == 0:
                work.append(expr.args[-1])
        else:
            found.append(expr)
    return found


def whole_table(expr: Expr, context: LintContext) -> str | None:
    """The name of the table that `expr` is when it names one as it is
    (`Sales`, `'Sales'`), not a variable, a parameter or a table expression."""
    name = expr.table.name if isinstance(expr, TableRef) else expr.name if isinstance(expr, Identifier) else None
    return name if name is not None and context.resolve(name) is None else None


def in_place(node: Expr, parent: Node | None) -> Expr:
    """`node` as it can stand where a child of `parent` was: in parentheses
    when it is an operand of an operator there and could be split by it."""
    if isinstance(parent, (Binary, Unary)) and not isinstance(node, _ATOMIC):
        return Paren(expr=node)
    return node



def replaced(root: Expr, swaps: Mapping[int, Node]) -> Expr:
    """`root` with each node whose id is a key of `swaps` replaced by its
    value, the nodes above rebuilt (bottom up, without recursion)."""
    done: dict[int, Node] = {}
    work: list[tuple[Node, bool]] = [(root, False)]
    while work:
        node, ready = work.pop()
        if id(node) in swaps:
            done[id(node)] = swaps[id(node)]
            continue
        if not ready:
            work.append((node, True))
            work.extend((child, False) for child in node.children())
            continue
        changes = {}
        for name in node._fields:
            value = getattr(node, name)
            new = _rebuilt(value, done)
            if new is not value:
                changes[name] = new
        done[id(node)] = dataclasses.replace(node, **changes) if changes else node  # type: ignore[type-var]
    result = done[id(root)]
    assert isinstance(result, Expr)
    return result


def _rebuilt(value: object, done: Mapping[int, Node]) -> object:
    if isinstance(value, Node):
        return done.get(id(value), value)
    if isinstance(value, tuple):
        items = tuple(_rebuilt(item, done) for item in value)
        return value if all(a is b for a, b in zip(items, value)) else items
    return value
