"""Fast, exact DAX lexer and parser.

Each function takes DAX source text and returns compact JSON text; a lexical
or syntax error raises ValueError whose message ends with the byte span of
the UTF-8 input, for example "parse error: expected end of input at 2..3".
Only the first error is reported.

lex(input)
    The tokens: a JSON list of {"kind": ..., "span": {"start": s, "end": e}},
    ending with {"kind": "Eof", ...}. Punctuation kinds are strings
    ("LParen", "Comma", ...); the others carry their text: {"Ident": "SUM"},
    {"Number": "1.5"}, {"String": "a\\"b"}, {"QuotedIdent": "Sales"},
    {"BracketIdent": "Amount"}, {"Param": "p"}, {"DocComment": "text"}.
    Comments and white space make no tokens.

parse_expression(input)
    The syntax tree of one expression, such as the formula of a measure:
    {"Binary": {"op": "Add", "left": ..., "right": ...}}, {"FunctionCall":
    {"name": ..., "args": [...]}}, {"Number": "1"} and so on.

parse_query(input)
    The syntax tree of a query: {"define": {"defs": [...]} | null,
    "evaluates": [{"expr", "order_by", "start_at"}]}.

loads(text)
    Decodes a result like json.loads, but without a depth limit: a long sum
    nests deeper than json.loads can follow.

The functions of the extension module carry no docstrings of their own (the
module is exact and unchanged; `help(quarrow_dax.lex)` shows only the
signature), so they are documented here. `quarrow_dax.diagnostics` turns an
error into lines, columns and a snippet, `quarrow_dax.check` checks files and
models as the command line `quarrow-dax check` does, and `quarrow_dax.model`
reads the formulas of tabular models.

format(text, *, kind="expression", ...)
    The text laid out in the style of the public DAX formatting conventions,
    every comment kept, its meaning checked (see quarrow_dax.formatter).
"""

from typing import TYPE_CHECKING, Any

from ._native import lex, parse_expression, parse_query
from .decoder import loads

if TYPE_CHECKING:
    from .formatter import format


def __getattr__(name: str) -> Any:
    # The formatter is imported when first asked for: a command that does not
    # format (check, lint, deps) starts without it.
    if name == "format":
        from .formatter import format

        globals()["format"] = format  # later lookups find it without this call
        return format
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), "format"})

__version__ = "0.1.0"
__all__ = ["__version__", "format", "lex", "loads", "parse_expression", "parse_query"]
