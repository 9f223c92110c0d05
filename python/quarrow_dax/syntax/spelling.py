"""How DAX spells what a tree holds: operators with their binding powers,
quoted and bracketed names, string literals, and where parentheses must be
added so that printed text reads back as the same tree.

Shared by the canonical printer (`to_dax`) and the formatter, which lay the
same spellings out differently.
"""

from __future__ import annotations

import functools
import re

from . import functions
from .nodes import Binary, Expr, Node, Paren, TableName, Unary, VarBlock

__all__ = [
    "BINARY_OPERATORS", "UNARY_OPERATORS", "bare_row", "bracketed", "is_plain_name", "is_plain_table_name", "leftmost",
    "needs_parens", "quote_table", "string_literal", "table_name",
]

#: How tightly each binary operator binds its left operand (lbp), the least
#: binding power its right operand is parsed with (rbp), and its spelling:
#: the parser's table. `^` groups to the right, so its rbp equals its lbp.
BINARY_OPERATORS: dict[str, tuple[int, int, str]] = {
    "Or": (1, 2, "||"),
    "And": (2, 3, "&&"),
    "Eq": (4, 5, "="),
    "StrictEq": (4, 5, "=="),
    "Neq": (4, 5, "<>"),
    "Lt": (4, 5, "<"),
    "Lte": (4, 5, "<="),
    "Gt": (4, 5, ">"),
    "Gte": (4, 5, ">="),
    "In": (4, 5, "IN"),
    "Concat": (5, 6, "&"),
    "Add": (6, 7, "+"),
    "Sub": (6, 7, "-"),
    "Mul": (7, 8, "*"),
    "Div": (7, 8, "/"),
    "Pow": (9, 9, "^"),
}
#: The binding power a prefix operator parses its operand with, and its
#: spelling (`NOT` is followed by a space).
UNARY_OPERATORS: dict[str, tuple[int, str]] = {"Plus": (8, "+"), "Minus": (8, "-"), "Not": (3, "NOT ")}

_PLAIN_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_.]*\Z")


@functools.lru_cache(maxsize=4096)
def _lexes_as_one_name(name: str) -> bool:
    from .parsing import ParseError, tokenize

    try:
        tokens = tokenize(name, comments=False)
    except ParseError:
        return False
    return len(tokens) == 1 and tokens[0].kind == "Ident" and tokens[0].text == name


@functools.lru_cache(maxsize=4096)
def is_plain_name(name: str) -> bool:
    """Whether `name` can be written without quotes: it reads as one name."""
    if name.isascii():
        return _PLAIN_NAME.match(name) is not None
    return _lexes_as_one_name(name)


# The words of the language, which a table's name must not be written as
# without quotes.
_KEYWORDS = frozenset("""
    AND ASC AT AXIS BY COLUMN COLUMNS DEFINE DENSIFY DESC EVALUATE FALSE FUNCTION GROUP IN MEASURE MPARAMETER NOT
    OR ORDER RETURN ROWS SHAPE START TABLE TOTAL TRUE VAR VISUAL WITH
""".split())


@functools.lru_cache(maxsize=4096)
def is_plain_table_name(name: str) -> bool:
    """Whether a table named `name` can be written without quotes where
    code writes one anew (`Sales[Amount]`): it reads as one name, and it is
    no word of the language, no name of a built-in function (a table named
    Date or Calendar) and no word a function takes as an argument. Quotes
    are never wrong, so where in doubt they are written."""
    upper = name.upper()
    # The words functions take are read from the catalogue only when asked for.
    return (is_plain_name(name) and upper not in _KEYWORDS and not functions.is_builtin_function(name)
            and upper not in functions.KEYWORD_ARGUMENTS)


def quote_table(name: str) -> str:
    """`name` in single quotes, inner quotes doubled."""
    return "'" + name.replace("'", "''") + "'"


def table_name(table: TableName) -> str:
    """The table of a reference as written: quoted when it was, or must be."""
    if table.quoted or not is_plain_name(table.name):
        return quote_table(table.name)
    return table.name


def bracketed(name: str) -> str:
    """`[name]`, inner closing brackets doubled."""
    return "[" + name.replace("]", "]]") + "]"


def string_literal(value: str) -> str:
    """A string literal holding `value`, inner quotes doubled."""
    return '"' + value.replace('"', '""') + '"'


def needs_parens(node: Node, min_bp: int, follow: int) -> bool:
    """Whether `node`, printed bare where operands of binding power `min_bp`
    are parsed and an operator of binding power `follow` comes next (0:
    nothing an operand could swallow), would read back as another tree."""
    if isinstance(node, Binary):
        lbp, rbp, _ = BINARY_OPERATORS[node.op]
        return lbp < min_bp or follow >= rbp
    if isinstance(node, Unary):
        return follow >= UNARY_OPERATORS[node.op][0]
    if isinstance(node, VarBlock):
        return follow > 0
    return False


def leftmost(node: Node) -> Node:
    """The first operand of a chain of binary operators (`node` itself when
    it is none)."""
    while isinstance(node, Binary):
        node = node.left
    return node


def bare_row(cells: tuple[Expr, ...]) -> bool:
    """Whether a table constructor's row is written without parentheses: a
    row of one cell is, unless the cell begins with `(`, which would open a
    row of several cells (and unwrap a Paren)."""
    return len(cells) == 1 and not isinstance(leftmost(cells[0]), Paren)
