"""The formatter's calls into the native syntax module: a text read once
(lexer and parser) for its tree, its comments and the fingerprints its
result is checked against, and the fingerprints of a result."""

from __future__ import annotations

from typing import Any, NamedTuple, cast

from .. import _syntax
from ..syntax.functions import BUILTIN_FUNCTIONS, KEYWORD_ARGUMENTS
from ..syntax.nodes import Node
from ..syntax.parsing import ParseError, _error
from .comments import Source

__all__ = ["KIND_CODES", "Reading", "fingerprints", "read"]

# The fingerprints write built-in function names, and the keywords among
# their arguments, in upper case, as the formatter does.
_syntax.register_builtins(BUILTIN_FUNCTIONS, KEYWORD_ARGUMENTS)

#: The native code of each kind of text.
KIND_CODES = {"expression": 0, "query": 1, "function": 2}


class Reading(NamedTuple):
    """A text as the formatter reads it: its tree, its source (bytes and
    comments), the fingerprints of its tree and of its comments (digests),
    the native options to read its result with (the standard grammar when it
    read the text: see `read`), and the names it declares (variables,
    parameters, tables of a DEFINE block) in upper case."""

    tree: Node
    source: Source
    tree_print: bytes
    comment_print: bytes
    check_options: int
    declared: frozenset[str]


def read(text: str, code: int, options: int) -> Reading:
    """`text` read as the kind `code` under the native `options`. Raises
    ParseError. An expression or a query in the comma convention is read
    with the standard grammar when that grammar reads it, even where the
    engine grammar is asked for: its result must then read with the exact
    module too (`///` lines are comments to the engine grammar, but the
    standard grammar reads them only where an operand or a definition
    starts), as the same tree."""
    result: tuple[Any, ...] = _syntax.format_parse(text, options, code)
    if type(result[0]) is str:
        raise _error(cast(tuple[str, str, int, int], result), text)
    tree, data, tree_print, comment_print, starts, comments, check_options, declared = result
    return Reading(tree, Source.scanned(data, starts, comments), tree_print, comment_print, check_options, declared)


def fingerprints(text: str, code: int, options: int) -> tuple[bytes, bytes] | ParseError:
    """The fingerprints of the tree and of the comments of `text`, or the
    error that stops it from being read."""
    result: tuple[Any, ...] = _syntax.format_fingerprint(text, options, code)
    if type(result[0]) is str:
        return _error(cast(tuple[str, str, int, int], result), text)
    return cast(tuple[bytes, bytes], result)
