"""The names of DAX's own functions, and the words they take as arguments,
as the function catalogue (`quarrow_dax.functions`) lists them: what a
call's name is compared with to tell a built-in function from a
user-defined one (the formatter writes a built-in name in upper case; name
resolution reports an unknown one). The words (`ASC`, `DAY`, `INTEGER`) are
arguments the grammar reads as names.
"""

from __future__ import annotations

from .. import functions
from ..functions import catalogue

__all__ = ["BUILTIN_FUNCTIONS", "KEYWORD_ARGUMENTS", "is_builtin_function"]

#: Every built-in function name, in upper case.
BUILTIN_FUNCTIONS: frozenset[str] = frozenset(catalogue())


def __getattr__(name: str) -> frozenset[str]:
    # The words are read from the whole catalogue, only when asked for.
    if name == "KEYWORD_ARGUMENTS":
        return functions.KEYWORDS
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


#: Every word some built-in function takes as an argument where the grammar
#: sees a name: sort orders and ranking ties, WINDOW's ABS and REL, how
#: blanks sort, date and time intervals, CROSSFILTER's directions, the types
#: of DATATABLE and CONVERT, the axes and levels of visual calculations.
KEYWORD_ARGUMENTS: frozenset[str]


def is_builtin_function(name: str) -> bool:
    """Whether `name` (in any case) names one of DAX's own functions; every
    name starting with ``INFO.`` is one of the engine's INFO functions (as
    `quarrow_dax.functions.is_builtin`, without the call: asked for every
    call of every formula)."""
    upper = name.upper()
    return upper in BUILTIN_FUNCTIONS or upper.startswith("INFO.")
