"""Fast, exact DAX lexer and parser.

Each function takes DAX source text and returns compact JSON text; a lexical
or syntax error raises ValueError whose message ends with the byte span, for
example "parse error: expected end of input at 2..3".
"""

from ._native import lex, parse_expression, parse_query

__version__ = "0.1.0"
__all__ = ["lex", "parse_expression", "parse_query"]
