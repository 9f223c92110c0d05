"""The formatter's promise, checked before a result is handed out: the text
reads back as the tree it was printed from, with every comment in the same
order.

A text that `format` read is checked by fingerprints (fingerprint.cpp): the
native reader fingerprints the input's tree and comments as it parses it,
and the result's fingerprints must be the same bytes. A tree's fingerprint
holds everything but positions; for text that the standard grammar reads
it is the exact module's JSON of the tree. DAX names are not case
sensitive, so built-in function names and the keywords among their
arguments (which the formatter writes in upper case: `DESC`, `DAY`) and the
keywords kept in the tree (the axes of a visual calculation) are
fingerprinted in upper case. A tree that a caller gives (`format_tree`,
perhaps changed since it was read) is compared with the tree its result
reads as, the same names compared without regard to case.
"""

from __future__ import annotations

from typing import Any

from ..syntax.functions import BUILTIN_FUNCTIONS, KEYWORD_ARGUMENTS
from ..syntax.nodes import Axis, FunctionCall, Identifier, Node, VisualAxis
from ..syntax.parsing import ParseError, tokenize
from .comments import comment_texts, may_hold_comments
from .native import fingerprints
from .options import FormatOptions, Kind, parse_as

__all__ = ["FormatError", "check", "check_engine_reading", "same_tree", "verify"]


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


def _keyword(node: Any) -> str | None:
    """The keyword a bare name among a built-in function's arguments spells,
    in upper case; None for any other node."""
    if type(node) is not Identifier or not node.name.isascii():
        return None
    upper = node.name.upper()
    return upper if upper in KEYWORD_ARGUMENTS else None


def same_tree(a: Node, b: Node) -> bool:
    """Whether `a` and `b` have the same structure, function names, axis
    words and axis names compared without regard to case, and the keywords
    among a built-in function's arguments (`desc`, `day`) too. Iterative."""
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
                elif name == "args" and type(left) is FunctionCall and left.name.upper() in BUILTIN_FUNCTIONS:
                    if len(first) != len(second):
                        return False
                    for one, other in zip(first, second):
                        keyword = _keyword(one)
                        if keyword is None:
                            stack.append((one, other))
                        elif keyword != _keyword(other):
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


def check(printed: str, code: int, options: int, tree_print: bytes, comment_print: bytes, name: str) -> None:
    """Raises FormatError unless `printed`, read as the kind `code` under the
    native `options`, has the fingerprints `tree_print` and
    `comment_print`."""
    found = fingerprints(printed, code, options)
    if isinstance(found, ParseError):
        raise FormatError(name, f"give text that does not parse ({found})")
    if found[0] != tree_print:
        raise FormatError(name, "change what it means (its syntax tree differs)")
    if found[1] != comment_print:
        raise FormatError(name, "lose, add or reorder comments")


def check_engine_reading(text: str, printed: str, code: int, options: int, name: str) -> None:
    """Raises FormatError unless `printed` reads under the native `options`
    (the engine grammar) as the same tree as `text` does. Raises the
    ParseError of `text` when the engine grammar does not read it (a `///`
    line before `(1) + 2` in a table's row reads only as the standard
    grammar's doc comment)."""
    before = fingerprints(text, code, options)
    if isinstance(before, ParseError):
        raise before
    after = fingerprints(printed, code, options)
    if isinstance(after, ParseError):
        raise FormatError(name, f"give text that does not parse ({after})")
    if before[0] != after[0]:
        raise FormatError(name, "change what it means (its syntax tree differs)")


def verify(printed: str, tree: Node, kind: Kind, options: FormatOptions, comments: list[str], name: str) -> None:
    """Raises FormatError unless `printed` reads as `tree` and holds the
    `comments` (their texts, in order) and no other."""
    try:
        again = parse_as(printed, kind, options)
    except ParseError as error:
        raise FormatError(name, f"give text that does not parse ({error})") from None
    if not same_tree(tree, again):
        raise FormatError(name, "change what it means (its syntax tree differs)")
    if comments or may_hold_comments(printed):
        try:
            found = comment_texts(tokenize(printed, separators=options.separators))
        except ParseError as error:
            raise FormatError(name, f"give text that does not read ({error})") from None
        if found != comments:
            raise FormatError(name, "lose, add or reorder comments")
