"""Every DAX function's signature: the catalogue the tools share.

    from quarrow_dax.functions import signature

    divide = signature("divide")
    print(divide.text())                        # DIVIDE ( <Numerator>, <Denominator>[, <AlternateResult>] )
    print(divide.min_args, divide.max_args)     # 2 3
    print([p.kind for p in divide.parameters])  # ['scalar', 'scalar', 'scalar']

Each `Signature` has the function's `name`, its `category`, a one-line
`description`, the `link` to its reference page, what it `returns`, its
`forms` (most functions have one; `parameters` are the first form's),
`min_args` and `max_args` (None when unbounded), and `deprecated` and
`replacement` where the reference says so. A `Parameter` has a `name`, a
`kind` (see `KINDS`), and whether it is `optional` or `repeating`.

The facts are kept in one data file, `signatures.txt` beside this module,
read once at import. The tools take from here which names are built in
(`is_builtin`), the words functions take as arguments (`keyword_words`),
which arguments have a table's row context (`row_context_table`), and the
signature of a user-defined function (`user_defined`).
"""

from __future__ import annotations

import difflib
from collections.abc import Iterable, Mapping
from functools import lru_cache

from .binding import Automaton, automaton
from .data import DATA_FILE, CatalogueError, load
from .model import CATEGORIES, KINDS, Form, Kind, Parameter, RepeatingGroup, Returns, Signature

__all__ = [
    "CATEGORIES", "DATA_FILE", "KEYWORDS", "KINDS", "Automaton", "CatalogueError", "Form", "Kind", "Parameter",
    "RepeatingGroup", "Returns", "Signature", "automaton", "by_category", "catalogue", "closest", "is_builtin",
    "keyword_words", "naming_functions", "row_context_table", "signature", "user_defined",
]

_CATALOGUE = load()


def catalogue() -> Mapping[str, Signature]:
    """Every built-in function's signature, by name in upper case."""
    return _CATALOGUE


def signature(name: str) -> Signature | None:
    """The signature of the built-in function `name` (in any case), if any."""
    return _CATALOGUE.get(name.upper())


def by_category() -> dict[str, list[Signature]]:
    """The signatures grouped by category, categories in the reference's
    order and functions by name within each."""
    groups: dict[str, list[Signature]] = {category: [] for category in CATEGORIES}
    for found in sorted(_CATALOGUE.values(), key=lambda s: s.name):
        groups[found.category].append(found)
    return {category: found for category, found in groups.items() if found}


def is_builtin(name: str) -> bool:
    """Whether `name` (in any case) is one of DAX's own functions. Every name
    starting with ``INFO.`` is: the engine adds INFO functions with its
    schema rowsets, faster than any list follows."""
    upper = name.upper()
    return upper in _CATALOGUE or upper.startswith("INFO.")


def _words(signatures: Iterable[Signature]) -> frozenset[str]:
    return frozenset(word for found in signatures for form in found.forms for parameter in form.parameters
                     for word in parameter.keywords)


def __getattr__(name: str) -> frozenset[str]:
    # KEYWORDS reads every entry of the catalogue: only when asked for.
    if name == "KEYWORDS":
        words = _words(_CATALOGUE.values())
        globals()["KEYWORDS"] = words
        return words
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


#: Every word some function takes as an argument (ASC, DAY, ROWS ...), read
#: from the whole catalogue when first asked for.
KEYWORDS: frozenset[str]


@lru_cache(maxsize=None)
def keyword_words(name: str) -> frozenset[str]:
    """The words the built-in function `name` takes as arguments."""
    found = signature(name)
    return frozenset() if found is None else _words((found,))


@lru_cache(maxsize=None)
def naming_functions() -> frozenset[str]:
    """The built-in functions that name the columns they make with strings
    (ADDCOLUMNS, SUMMARIZECOLUMNS, ROW ...)."""
    # Only the entries whose signature lines mention the kind are read.
    named = [name for name in _CATALOGUE if any(":name" in line for line in _CATALOGUE.headers(name))]
    return frozenset(name for name in named
                     if any(p.kind == "name" for form in _CATALOGUE[name].forms for p in form.parameters))


_TABLE_KINDS = frozenset({"table", "column", "tableref", "ref"})


def _table_index(form: Form, parameter: Parameter) -> int | None:
    """The argument index of the table `parameter` iterates in `form`: the
    nearest table before it, when every item before that one is a plain
    required parameter (so that its place is certain)."""
    parameters = form.parameters
    position = next(i for i, p in enumerate(parameters) if p is parameter)
    for index in range(position - 1, -1, -1):
        if parameters[index].kind in _TABLE_KINDS and not parameters[index].repeating:
            plain = all(isinstance(item, Parameter) and not item.optional for item in form.items[:index])
            return index if plain else None
    return None


@lru_cache(maxsize=None)
def _row_context(name: str, index: int) -> int | None:
    # Cached by name: resolution asks for every reference inside a call.
    found = _CATALOGUE.get(name)
    if found is None:
        return None
    machine = automaton(found)
    longest = max(len(form.parameters) for form in found.forms)
    for count in range(index + 1, index + longest + 2):
        for parameter in machine.candidates(count)[index]:
            if parameter.kind == "row" or (parameter.kind == "column" and parameter.repeating):
                for form in machine.forms:
                    if any(p is parameter for p in form.parameters):
                        table = _table_index(form, parameter)
                        if table is not None and table < index:
                            return table
    return None


def row_context_table(name: str, index: int) -> int | None:
    """For argument `index` (from 0) of a call of the built-in function
    `name`: the index of the argument whose table's row context it has, or
    None. An expression evaluated per row has the row context of the table
    before it (SUMX ( Sales, [Qty] ), FILTER, TOPN's order); so do the
    grouping columns of SUMMARIZE and GROUPBY."""
    return None if index < 0 else _row_context(name.upper(), index)


#: The kinds of a user-defined function's parameter, by its type.
_UDF_KINDS: dict[str, Kind] = {
    "ANYVAL": "any", "SCALAR": "scalar", "TABLE": "table", "ANYREF": "ref", "COLUMNREF": "column",
    "TABLEREF": "tableref", "MEASUREREF": "measure", "CALENDARREF": "calendar",
}
_SCALAR_TYPES = frozenset({"BOOLEAN", "DATETIME", "DECIMAL", "DOUBLE", "INT64", "NUMERIC", "STRING", "VARIANT"})


def user_defined(
    name: str, parameters: Iterable[tuple[str, Iterable[str], bool]], description: str = ""
) -> Signature:
    """The signature of a user-defined function from its parameters, each
    (name, type words as written, whether it has a default). A parameter
    with a default may be left out when every one after it has one too; its
    type (`COLUMNREF`, `TABLE`, `INT64` ...) gives its kind."""
    listed = list(parameters)
    required_until = max((i + 1 for i, (_, _, default) in enumerate(listed) if not default), default=0)
    items: list[Parameter] = []
    for index, (param_name, types, _) in enumerate(listed):
        words = [word.upper() for word in types]
        kind: Kind = "any"
        for word in words:
            if word in _UDF_KINDS:
                kind = _UDF_KINDS[word]
                break
            if word in _SCALAR_TYPES:
                kind = "scalar"
                break
        items.append(Parameter(param_name, kind, optional=index >= required_until))
    return Signature(name, "user-defined", description, "", "any", (Form(tuple(items)),))


def closest(name: str, count: int = 3) -> list[str]:
    """The built-in functions whose names are closest to `name`, for a
    did-you-mean."""
    return difflib.get_close_matches(name.upper(), list(_CATALOGUE), n=count, cutoff=0.6)
