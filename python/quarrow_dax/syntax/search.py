"""Finding the nodes of some classes in a tree, faster than `Node.find_all`
where it matters: over every formula of a model, for every check.

The expression nodes, which make up nearly all of a tree, are descended
through their own fields; any other node through `Node.children()`. The
walk is iterative, like every walk over a tree here.
"""

from __future__ import annotations

from typing import TypeVar

from .nodes import (
    Axis, Binary, Blank, Boolean, BracketRef, FunctionCall, HierarchyRef, Identifier, Node, Number, Omitted,
    Parameter, Paren, String, TableColumnRef, TableConstructor, TableRef, TypedLiteral, Unary, VarBlock, VarDecl,
)

__all__ = ["find_nodes"]

N = TypeVar("N", bound=Node)

_LEAVES = frozenset({
    Number, String, Boolean, Blank, Parameter, Identifier, TableRef, BracketRef, TableColumnRef, HierarchyRef,
    Omitted, TypedLiteral, Axis,
})


def find_nodes(tree: Node, *classes: type[N]) -> list[N]:
    """The nodes of `tree` (itself included) whose class is one of
    `classes` exactly, in source order."""
    wanted = frozenset(classes)
    found: list[N] = []
    stack: list[Node] = [tree]
    pop, push, extend = stack.pop, stack.append, stack.extend
    while stack:
        node = pop()
        kind = type(node)
        if kind in wanted:
            found.append(node)  # type: ignore[arg-type]
        if kind in _LEAVES:
            continue
        if kind is FunctionCall:
            extend(node.args[::-1])  # type: ignore[attr-defined]
        elif kind is Binary:
            push(node.right)  # type: ignore[attr-defined]
            push(node.left)  # type: ignore[attr-defined]
        elif kind is Paren or kind is Unary or kind is VarDecl:
            push(node.expr)  # type: ignore[attr-defined]
        elif kind is VarBlock:
            push(node.body)  # type: ignore[attr-defined]
            extend(node.decls[::-1])  # type: ignore[attr-defined]
        elif kind is TableConstructor:
            for row in node.rows[::-1]:  # type: ignore[attr-defined]
                extend(row[::-1])
        else:
            extend(node.children()[::-1])
    return found
