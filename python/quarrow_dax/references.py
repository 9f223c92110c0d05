"""The references of one DAX formula or query: every name it uses.

    from quarrow_dax.references import references

    for ref in references("SUMX ( Sales, Sales[Qty] * [Price] )"):
        print(ref.kind, ref.table, ref.name, ref.span, ref.function, ref.argument)
    # function None SUMX Span(start=0, end=36) None None
    # table None Sales Span(start=7, end=12) SUMX 0
    # column Sales Qty Span(start=14, end=24) SUMX 1
    # bracket None Price Span(start=27, end=34) SUMX 1

Each `Reference` has its `kind` (see `KINDS`), its `name` and, for a column or
hierarchy, its `table`; `span` and `text` place it in the source, as for
syntax nodes. `function` and `argument` name the innermost call it stands in
and which argument (from 0), so that a caller can tell `USERELATIONSHIP`,
`NAMEOF` or `TREATAS` arguments apart; `parent` is that call's index in the
list, whose own `parent` leads further out. `target` is the index of the
definition that a variable or parameter use means (by DAX's scoping: a VAR is
seen by the declarations after it and by the body of its block; a parameter
by its function's body), also for a column of a table variable (`t[x]`).

Names are what the text says: whether `[x]` is a measure or a column, or
whether a table exists, is for resolution against a model
(`quarrow_dax.resolution`). Nothing inside a string or a comment is ever a
reference. The list is made natively, in one walk of the parser's tree.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal, get_args

from . import _syntax
from .syntax.copying import remade
from .syntax.nodes import Expr, Function, Located, Node, Query, Span
from .syntax.parsing import Grammar, ParseError, Separators, _error, _options

__all__ = ["KINDS", "Reference", "ReferenceKind", "SourceKind", "references"]

ReferenceKind = Literal[
    "table",  # 'Sales', or Sales where no variable or parameter has that name
    "column",  # Sales[Amount]
    "bracket",  # [Amount]: a measure, or a column in row context
    "hierarchy",  # 'Date'[Calendar].[Year]: table, hierarchy (name) and levels
    "function",  # a call, by its name as written
    "variable",  # VAR x = ...: the definition, its span the name alone
    "variable use",
    "parameter",  # a function's parameter: the definition
    "parameter use",
    "query parameter",  # @p
    "measure definition",  # DEFINE MEASURE Sales[m] = ... in a query
    "column definition",
    "table definition",
    "function definition",
    "mparameter definition",  # DEFINE MPARAMETER p = ... (engine grammar): a name of the model's M queries
]
#: Every kind of reference.
KINDS: tuple[ReferenceKind, ...] = get_args(ReferenceKind)

SourceKind = Literal["expression", "query", "function"]


@dataclass(frozen=True, slots=True)
class Reference(Located):
    """One reference; see the module's documentation. Two references are
    equal when their fields are (positions aside)."""

    kind: ReferenceKind
    name: str
    table: str | None
    levels: tuple[str, ...]
    function: str | None
    argument: int | None
    parent: int | None
    target: int | None

    # Copies and pickles keep the position and the source.
    def __copy__(self) -> Reference:
        return remade(type(self), _syntax.position(self), self._values())

    def __deepcopy__(self, memo: dict[int, Any]) -> Reference:
        return self.__copy__()

    def __reduce__(self) -> tuple[Any, ...]:
        return remade, (type(self), _syntax.position(self), self._values())

    def _values(self) -> tuple[Any, ...]:
        return (self.kind, self.name, self.table, self.levels, self.function, self.argument, self.parent, self.target)

    @property
    def name_span(self) -> Span | None:
        """The span of the bracketed name of a column or bare reference,
        `[Amount]` (brackets included): where a table goes in front of it
        or comes off it."""
        span = self.span
        if span is None or self.kind not in ("column", "bracket"):
            return None
        size = len(self.name.replace("]", "]]").encode("utf-8")) + 2
        return Span(span.end - size, span.end)


_syntax.register_reference(Reference)

_EXTRACT = {
    "expression": _syntax.references_expression,
    "query": _syntax.references_query,
    "function": _syntax.references_function,
}


_OPTIONS = {(grammar, separators): _options(separators, grammar)
            for grammar in ("engine", "standard") for separators in ("comma", "semicolon")}


def references(
    source: str | Node,
    *,
    kind: SourceKind = "expression",
    grammar: Grammar = "engine",
    separators: Separators = "comma",
) -> list[Reference]:
    """The references of `source`, in source order.

    `source` is DAX text, read as `kind`: an expression (a measure's
    formula), a query, or a model's function (`(parameters) => body`). It
    may also be a tree from `quarrow_dax.syntax` (an expression, a query or
    a function from `parse_function`): its own text is read again, and the
    spans stay those of the text it was parsed from; the tree is taken as a
    formula on its own, so a variable of an enclosing block is a table here.
    A tree built in code is read from its `to_dax()`, which the spans then
    point into. Raises ParseError when the text does not parse; `grammar`
    and `separators` as for `quarrow_dax.syntax.parse_expression`."""
    if type(source) is str and kind in _EXTRACT:
        # The usual call, a formula's text, with no more work than the call.
        options = _OPTIONS.get((grammar, separators))
        result = _EXTRACT[kind](source, _options(separators, grammar) if options is None else options)
        if isinstance(result, tuple):
            raise _error(result, source)
        found: list[Reference] = result
        return found
    offset = 0
    if isinstance(source, Node):
        if isinstance(source, Query):
            kind = "query"
        elif isinstance(source, Function):
            kind = "function"
        elif isinstance(source, Expr):
            kind = "expression"
        else:
            raise TypeError(f"references of a {type(source).__name__} on its own: give its whole formula or query")
        span = source.span
        text = source.text
        if span is not None:
            offset = span.start
    elif isinstance(source, str):
        text = source
    else:
        raise TypeError(f"references of DAX text or a syntax tree, not {type(source).__name__}")
    if kind not in _EXTRACT:
        raise ValueError(f"kind must be 'expression', 'query' or 'function', not {kind!r}")
    # Spaces in front keep the spans of a tree's text those of its source.
    padded = " " * offset + text if offset else text
    result = _EXTRACT[kind](padded, _options(separators, grammar))
    if isinstance(result, tuple):
        error: ParseError = _error(result, padded)
        raise error
    found = result
    return found
