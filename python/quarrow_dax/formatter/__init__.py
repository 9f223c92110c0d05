"""The formatter: DAX laid out in the style DAX users know, offline, with
every comment kept and the meaning checked.

    from quarrow_dax import format

    print(format("calculate(sum(Sales[Amount]),Sales[Qty]>1)"))
    # CALCULATE ( SUM ( Sales[Amount] ), Sales[Qty] > 1 )

`format` reads a text, lays out its tree and its comments, then reads the
result again and compares: when the result would not parse to the same
tree with the same comments in the same order, it raises `FormatError`
(an internal error) instead of returning it. It settles in one run:
formatting its own result changes nothing.

`format_tree` prints a tree, possibly changed by a caller, with the comments
of the text it was read from: the entry point for tools that rewrite
formulas (a linter's fixes), see its documentation.
"""

from __future__ import annotations

import functools
import gc
from collections.abc import Iterable

from ..syntax.nodes import Node
from ..syntax.parsing import Grammar, Separators
from ..syntax.separators import refuse_semicolons
from .comments import Source
from .layout import render
from .native import KIND_CODES, read
from .options import DEFAULT_WIDTH, FormatOptions, Kind
from .safety import FormatError, check, same_tree, verify
from .style import build

__all__ = ["DEFAULT_WIDTH", "FormatError", "FormatOptions", "Kind", "format", "format_text", "format_tree", "same_tree"]


def format(
    text: str,
    *,
    kind: Kind = "expression",
    width: int = DEFAULT_WIDTH,
    indent: int = 4,
    space_before_paren: bool = True,
    separators: Separators = "comma",
    grammar: Grammar = "engine",
    name: str = "<text>",
) -> str:
    """`text` formatted: an expression such as a measure's formula, a query
    (`kind="query"`) or a model's user-defined function, `(parameters) =>
    body` (`kind="function"`). The options are those of FormatOptions;
    `name` names the input in errors. The result has no final line break.
    Raises ParseError for text that does not parse, SeparatorError (a
    ParseError) for text that separates arguments with `;` in the comma
    convention, and FormatError (an internal error) rather than return a
    result that would not mean the same."""
    return format_text(text, kind, _options(width, indent, space_before_paren, separators, grammar), name)


@functools.lru_cache(maxsize=64)
def _options(width: int, indent: int, space_before_paren: bool, separators: Separators, grammar: Grammar) -> FormatOptions:
    return FormatOptions(width, indent, space_before_paren, separators, grammar)


def format_text(text: str, kind: Kind, options: FormatOptions, name: str = "<text>", newline: str = "\n") -> str:
    """`format` with the options as one object; `newline` separates the
    lines the formatter breaks (a line break inside a string or a comment is
    kept as it is)."""
    # Python's cyclic garbage collector pauses meanwhile: formatting makes
    # many small objects and frees them all by reference counting, while the
    # collector's passes over them (and over the tree) would cost a sixth of
    # the time. It is left as it was found, also when it was off already.
    collecting = gc.isenabled()
    gc.disable()
    try:
        return _format_text(text, kind, options, name, newline)
    finally:
        if collecting:
            gc.enable()


def _format_text(text: str, kind: Kind, options: FormatOptions, name: str, newline: str) -> str:
    code = KIND_CODES.get(kind)
    if code is None:
        raise ValueError(f"kind must be 'expression', 'query' or 'function', not {kind!r}")
    reading = read(text, code, options.native)
    refuse_semicolons(text, options.separators)
    document = build(reading.tree, kind, reading.source, separator=options.separator,
                     space_before_paren=options.space_before_paren, width=options.width)
    printed = render(document.pieces, options.width, options.indent, newline, document.expand)
    check(printed, code, reading.check_options, reading.tree_print, reading.comment_print, name)
    return printed


def format_tree(
    tree: Node,
    source: str | None = None,
    *,
    kind: Kind = "expression",
    options: FormatOptions | None = None,
    replacements: Iterable[tuple[Node, Node]] = (),
    name: str = "<tree>",
    verify_result: bool = True,
) -> str:
    """Prints `tree` in the formatter's style with the comments of `source`,
    the text the tree was read from (None: no comments).

    The tree may have been changed since it was read: nodes built in code
    (by `dataclasses.replace`, say) have no position, the nodes kept from
    the parse still have theirs, and each comment of `source` is placed by
    the positions of the printed nodes that still carry one; a comment whose
    surroundings were replaced comes out after the new node. No comment is
    ever dropped. Better still, leave the tree as it was read and give the
    changes as `replacements`, pairs of (node of `tree`, node to print in
    its place): every node around a replacement keeps its position, and the
    comments inside the replaced node's text come out right after the new
    one. A definition built in code prints its own `doc` as `///` lines.

    Unless `verify_result` is False, the printed text is read back (as
    `kind`) and must give the tree that was printed, replacements applied,
    and keep the comments of `source` in order; otherwise FormatError is
    raised. The result has no final line break."""
    options = options or FormatOptions()
    swaps = {id(old): new for old, new in replacements}
    text_source = Source(source, options.separators) if source is not None else None
    document = build(tree, kind, text_source, separator=options.separator,
                     space_before_paren=options.space_before_paren, width=options.width, replacements=swaps)
    printed = render(document.pieces, options.width, options.indent, expand=document.expand)
    if verify_result:
        expected = _replaced(tree, swaps) if swaps else tree
        comments = text_source.comment_texts() if text_source is not None else []
        verify(printed, expected, kind, options, comments, name)
    return printed


def _replaced(tree: Node, swaps: dict[int, Node]) -> Node:
    """`tree` with the replacements made, for comparing with what was
    printed. Iterative: the changed nodes are rebuilt bottom up."""
    import dataclasses

    # Post-order over the tree: each node is rebuilt once its children are.
    done: dict[int, Node] = {}
    stack: list[tuple[Node, bool]] = [(tree, False)]
    while stack:
        node, expanded = stack.pop()
        if id(node) in swaps:
            done[id(node)] = swaps[id(node)]
            continue
        if not expanded:
            stack.append((node, True))
            stack.extend((child, False) for child in node.children())
            continue
        changes = {}
        for field_name in node._fields:
            value = getattr(node, field_name)
            new_value = _swap_value(value, done)
            if new_value is not value:
                changes[field_name] = new_value
        done[id(node)] = dataclasses.replace(node, **changes) if changes else node  # type: ignore[type-var]
    return done[id(tree)]


def _swap_value(value: object, done: dict[int, Node]) -> object:
    if isinstance(value, Node):
        return done.get(id(value), value)
    if isinstance(value, tuple):
        items = tuple(_swap_value(item, done) for item in value)
        return value if all(a is b for a, b in zip(items, value)) else items
    return value
