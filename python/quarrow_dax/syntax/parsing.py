"""Parsing DAX text into syntax objects, and its errors."""

from __future__ import annotations

from typing import Literal, Union, cast

from .. import _syntax
from ..diagnostics import LineIndex
from .copying import REGISTERED
from .nodes import NODE_CLASSES, Expr, Function, Query, Span
from .tokens import Token

__all__ = [
    "Grammar", "ParseError", "Separators", "first_error", "parse_expression", "parse_function", "parse_query",
    "tokenize",
]

Separators = Literal["comma", "semicolon"]
Grammar = Literal["engine", "standard"]

_syntax.register(Span, {**NODE_CLASSES, "Token": Token})
REGISTERED.update(NODE_CLASSES.values(), [Token])

# (kind, message, start, end): how the native module reports an input error.
_ErrorTuple = tuple[str, str, int, int]


class ParseError(ValueError):
    """A lexical or syntax error. `str(error)` is the text that
    `quarrow_dax.parse_expression` would raise for the same input ("parse
    error: expected `)` at 12..13"); `kind` is "lex" or "parse", `span` the
    UTF-8 byte offsets of the token where the problem was seen, `line` and
    `column` (1-based, columns in characters) where it starts and
    `end_line`/`end_column` just past its end."""

    kind: Literal["lex", "parse"]
    message: str
    span: Span
    line: int
    column: int
    end_line: int
    end_column: int

    def __init__(self, kind: Literal["lex", "parse"], message: str, span: Span, source: str) -> None:
        super().__init__(f"{kind} error: {message} at {span.start}..{span.end}")
        self.kind = kind
        self.message = message
        self.span = span
        index = LineIndex(source)
        self.line, self.column = index.position(span.start)
        self.end_line, self.end_column = index.position(span.end)


def _options(separators: Separators, grammar: Grammar = "standard") -> int:
    if grammar == "engine":
        options = int(_syntax.ENGINE_GRAMMAR)
    elif grammar == "standard":
        options = 0
    else:
        raise ValueError(f"grammar must be 'engine' or 'standard', not {grammar!r}")
    if separators == "comma":
        return options
    if separators == "semicolon":
        return options | int(_syntax.SEMICOLON_LISTS)
    raise ValueError(f"separators must be 'comma' or 'semicolon', not {separators!r}")


def _error(result: _ErrorTuple, text: str) -> ParseError:
    kind, message, start, end = result
    return ParseError(cast(Literal["lex", "parse"], kind), message, Span(start, end), text)


def parse_expression(text: str, *, grammar: Grammar = "engine", separators: Separators = "comma") -> Expr:
    """The syntax tree of one DAX expression, such as a measure's formula
    (doc comments and one `=` before it are allowed, as in a model file).
    Raises ParseError.

    `grammar="engine"` (the default) accepts what the DAX engine documents:
    the standard grammar and omitted arguments, `dt"..."` literals,
    `( a, b ) IN table`, the axes `ROWS COLUMNS`, parameter defaults, WITH
    VISUAL SHAPE, and `///` lines as comments where no definition follows.
    `grammar="standard"` accepts exactly what `quarrow_dax.parse_expression`
    does. `separators="semicolon"` reads the convention of locales that write
    decimal commas: `;` separates arguments and `1,5` is one number."""
    result = _syntax.parse_expression(text, _options(separators, grammar))
    if isinstance(result, tuple):
        raise _error(result, text)
    return cast(Expr, result)


def parse_query(text: str, *, grammar: Grammar = "engine", separators: Separators = "comma") -> Query:
    """The syntax tree of a DAX query: an optional DEFINE block and its
    EVALUATE statements. Raises ParseError. Options as for parse_expression."""
    result = _syntax.parse_query(text, _options(separators, grammar))
    if isinstance(result, tuple):
        raise _error(result, text)
    return cast(Query, result)


def parse_function(
    text: str, *, name: str = "", grammar: Grammar = "engine", separators: Separators = "comma"
) -> Function:
    """A user-defined function as a model stores it: `(parameters) => body`
    and nothing after it (`///` lines may come first, as its doc). `name` is
    the model's name for it. Raises ParseError."""
    result = _syntax.parse_function(text, _options(separators, grammar))
    if isinstance(result, tuple):
        raise _error(result, text)
    function = cast(Function, result)
    if name:
        # The native parser leaves the name empty: the model holds it.
        object.__setattr__(function, "name", name)
    return function


def tokenize(text: str, *, comments: bool = True, separators: Separators = "comma") -> list[Token]:
    """The tokens of `text`, in order. With `comments` (the default), `--`,
    `//` and `/* */` comments are tokens too (`///` doc comments always are),
    so that the tokens and the white space between them make up the whole
    text. Raises ParseError (of kind "lex")."""
    options = _options(separators) | (int(_syntax.COMMENTS) if comments else 0)
    result = _syntax.tokenize(text, options)
    if isinstance(result, tuple):
        raise _error(result, text)
    return cast(list[Token], result)


_CHECKS = {
    "expression": _syntax.check_expression,
    "query": _syntax.check_query,
    "function": _syntax.check_function,
}


def first_error(
    text: str,
    *,
    kind: Literal["expression", "query", "function"] = "expression",
    grammar: Grammar = "engine",
    separators: Separators = "comma",
) -> ParseError | None:
    """The first error of `text` read as an expression, a query or a model's
    function, or None when it parses. Nothing is built, so this is the
    cheapest way to check."""
    result: Union[_ErrorTuple, None] = _CHECKS[kind](text, _options(separators, grammar))
    return None if result is None else _error(result, text)
