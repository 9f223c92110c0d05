"""Fast, exact DAX lexer and parser.

Each function takes DAX source text and returns compact JSON text; a lexical
or syntax error raises ValueError whose message ends with the byte span, for
example "parse error: expected end of input at 2..3".

`loads` decodes a result like json.loads but without a depth limit (a long
sum nests deeper than json.loads can follow); `quarrow_dax.diagnostics`
turns an error into lines, columns and a source snippet.
"""

from ._native import lex, parse_expression, parse_query
from .decoder import loads

__version__ = "0.1.0"
__all__ = ["__version__", "lex", "loads", "parse_expression", "parse_query"]
