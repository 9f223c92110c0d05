"""The formatter's promise, checked before a result is handed out: the text
reads back as the tree it was printed from, with every comment in the same
order.

For text that the standard grammar accepts, the exact module's JSON of the
input and of the result are compared, which is cheaper than building a
second tree and checks the same thing at the level `quarrow_dax` itself
answers for; otherwise (the engine grammar's own forms, the semicolon
convention, a model's function, a tree that a caller changed) the result is
read into a tree and compared with the printed one. DAX names are not case
sensitive, so a built-in function's name may come back in upper case, and
keywords kept in the tree (the axes of a visual calculation) may too:
those compare without regard to case.
"""

from __future__ import annotations

import re
from collections.abc import Callable
from typing import Any

from .. import _native
from ..syntax.functions import BUILTIN_FUNCTIONS
from ..syntax.nodes import Axis, FunctionCall, Node, VisualAxis
from ..syntax.parsing import ParseError, tokenize
from .comments import comment_texts
from .options import FormatOptions, Kind, parse_as

__all__ = ["FormatError", "same_tree", "verify"]


class FormatError(RuntimeError):
    """An internal error of the formatter: its result for the input `name`
    would not read back as the same tree (or would lose or reorder a
    comment). The result is not returned; nothing is written."""

    def __init__(self, name: str, problem: str) -> None:
        super().__init__(
            f"internal error: formatting {name} would {problem}; the input is left as it was"
            " (please report this with the input)"
        )
        self.name = name
        self.problem = problem


# Fields compared without regard to case, by node class.
_CASELESS: dict[type[Node], str] = {FunctionCall: "name", Axis: "words", VisualAxis: "name"}


def _caseless(value: Any) -> Any:
    if isinstance(value, str):
        return value.upper()
    return tuple(_caseless(item) for item in value)


def same_tree(a: Node, b: Node) -> bool:
    """Whether `a` and `b` have the same structure, function names, axis
    words and axis names compared without regard to case. Iterative."""
    stack: list[tuple[Any, Any]] = [(a, b)]
    while stack:
        left, right = stack.pop()
        if isinstance(left, Node):
            if type(left) is not type(right):
                return False
            caseless = _CASELESS.get(type(left))
            for name in left._fields:
                first, second = getattr(left, name), getattr(right, name)
                if name == caseless:
                    if _caseless(first) != _caseless(second):
                        return False
                else:
                    stack.append((first, second))
        elif isinstance(left, tuple):
            if not isinstance(right, tuple) or len(left) != len(right):
                return False
            stack.extend(zip(left, right))
        elif left != right:
            return False
    return True


_CALL_NAME = re.compile(r'"FunctionCall":\{"name":"([^"\\]*)"')


def _builtin_calls_in_upper_case(json_text: str) -> str:
    """The module's JSON with each built-in function's name in upper case,
    as the formatter writes them."""
    def upper(match: re.Match[str]) -> str:
        name = match.group(1)
        upper = name.upper()
        if upper == name or upper not in BUILTIN_FUNCTIONS or not name.isascii():
            return match.group()
        return '"FunctionCall":{"name":"' + upper + '"'

    return _CALL_NAME.sub(upper, json_text)


_NATIVE: dict[str, Callable[[str], str]] = {
    "expression": _native.parse_expression,
    "query": _native.parse_query,
}


def _same_native_json(original: str, printed: str, kind: Kind, renamed: bool, name: str) -> bool | None:
    """Whether both texts give the exact module the same JSON; None when it
    does not read the original (it is beyond the standard grammar)."""
    parse = _NATIVE[kind]
    try:
        before = parse(original)
    except ValueError:
        return None
    try:
        after = parse(printed)
    except ValueError as error:
        raise FormatError(name, f"give text that does not parse ({error})") from None
    if renamed:
        before = _builtin_calls_in_upper_case(before)
    return before == after


def _may_hold_comments(text: str) -> bool:
    return "--" in text or "//" in text or "/*" in text


def verify(
    printed: str,
    tree: Node,
    kind: Kind,
    options: FormatOptions,
    comments: list[str],
    name: str,
    *,
    original: str | None = None,
    renamed: bool = False,
) -> None:
    """Raises FormatError unless `printed` reads as `tree` and holds the
    `comments` (their texts, in order) and no other. `original`: the text
    `tree` was read from, when the tree is unchanged; `renamed`: whether a
    function name was printed in another case."""
    checked = False
    if original is not None and kind in _NATIVE and options.separators == "comma":
        same = _same_native_json(original, printed, kind, renamed, name)
        if same is False:
            raise FormatError(name, "change what it means (its syntax tree differs)")
        checked = same is True
    if not checked:
        try:
            again = parse_as(printed, kind, options)
        except ParseError as error:
            raise FormatError(name, f"give text that does not parse ({error})") from None
        if not same_tree(tree, again):
            raise FormatError(name, "change what it means (its syntax tree differs)")
    if comments or _may_hold_comments(printed):
        try:
            found = comment_texts(tokenize(printed, separators=options.separators))
        except ParseError as error:
            raise FormatError(name, f"give text that does not read ({error})") from None
        if found != comments:
            raise FormatError(name, "lose, add or reorder comments")
