"""Resolving the references of a model's formulas against the model.

    from quarrow_dax.model import load_model
    from quarrow_dax.resolution import resolve_model

    model = load_model("examples/Sales.SemanticModel")
    for formula, resolutions in resolve_model(model):
        for found in resolutions:
            if found.status in ("ambiguous", "unknown"):
                print(formula.name, found.reference.text, found.how, found.message)

Every reference of every formula gets one `Resolution`: what it means (a
model object, with the `how` of it) or why that cannot be said. `status` is

- ``resolved``: `target` is the model object: a measure (`[m]`, or
  `'T'[m]`), a column (`'T'[c]`, or a bare `[c]` of the table whose row
  context it stands in), a table, a hierarchy, a user-defined function;
- ``local``: a variable, a function parameter, a query parameter, a column of
  a table variable (`t[c]`), or a column the formula makes itself
  (`ADDCOLUMNS ( T, "x", ... )` then `[x]`; `[Value]` of a table
  constructor or of GENERATESERIES);
- ``builtin``: a built-in function, or a word a built-in function takes as
  an argument (`DESC`, `DAY`, `INTEGER`);
- ``ambiguous``: a bare `[c]` that is a column of several tables, none of
  them plainly the row context, or a column of one table that no row
  context the formula has is of: `candidates` lists them;
- ``unknown``: a name that exists nowhere it could; `suggestion` is a close
  name, in DAX notation, when one is close.

A bare `[x]` is the measure of that name when there is one (measure names
are unique in a model); otherwise, from the innermost row context out, a
column that the iterated table expression makes (`SUMX ( SUMMARIZE ( Sales,
..., "Qty", ... ), [Qty] )`, also through a variable holding it), or a
column of the iterated table (`SUMX ( Sales, [Qty] )`, also through
`FILTER`, `ALL`, `VALUES` ... of a table), or of the formula's own table (a
calculated column's, a row filter's, a measure's); otherwise a column the
formula makes. Past that, a column of one other table is a guess: taken
(``resolved``) where the formula iterates a table that cannot be told, which
may be that table, and ``ambiguous`` where every row context is known and
none has the column, which the engine would not read as that column.
"""

from __future__ import annotations

import warnings
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import Literal

from .close_names import CloseNames, best_of
from .functions import keyword_words, naming_functions, row_context_table
from .syntax.functions import BUILTIN_FUNCTIONS, is_builtin_function
from .model import Column, Formula, Measure, Model, ModelObject, Table, bracket, quote_table
from .references import Reference, SourceKind, references
from .syntax import (
    Expr, FunctionCall, Identifier, Node, Paren, String, TableConstructor, VarBlock, VarDecl, parse_expression,
    parse_function,
)
from .syntax.parsing import Grammar, ParseError, Separators
from .syntax.search import find_nodes

__all__ = ["Resolution", "Resolver", "Status", "resolve_model"]

Status = Literal["resolved", "local", "builtin", "ambiguous", "unknown"]

# Calls whose result has the rows (and columns) of the table in one argument.
_SAME_TABLE = {
    name: 0 for name in (
        "FILTER", "CALCULATETABLE", "ALL", "ALLSELECTED", "ALLNOBLANKROW", "ALLEXCEPT", "ALLCROSSFILTERED",
        "VALUES", "DISTINCT", "RELATEDTABLE", "KEEPFILTERS", "ADDCOLUMNS", "REMOVEFILTERS",
    )
} | {"TOPN": 1, "SAMPLE": 1}

# Calls whose result has a column of a fixed name.
_FIXED_NAMES = {"GENERATESERIES": ("Value",), "CALENDAR": ("Date",), "CALENDARAUTO": ("Date",)}
# Calls whose result has the columns of every table argument.
_JOINING = frozenset({
    "GENERATE", "GENERATEALL", "CROSSJOIN", "UNION", "INTERSECT", "EXCEPT", "NATURALINNERJOIN",
    "NATURALLEFTOUTERJOIN",
})
# How many nodes a look at the columns of one table expression visits.
_MAX_TABLE_STEPS = 256

# How a bare name found in a measure's own table is resolved: no row
# context, the table where the engine looks for a bare column.
_MEASURE_HOME = "column of the measure's table"

_LOCAL_KINDS = {
    "variable": "variable", "variable use": "variable", "parameter": "parameter", "parameter use": "parameter",
    "query parameter": "query parameter", "measure definition": "query definition",
    "column definition": "query definition", "table definition": "query definition",
    "function definition": "query definition", "mparameter definition": "query definition",
}


@dataclass(frozen=True, slots=True)
class Resolution:
    """What one reference of a formula means; see the module's documentation.
    `how` says how it was resolved, or what kind of name could not be."""

    formula: Formula
    reference: Reference
    status: Status
    how: str
    target: ModelObject | None = None
    candidates: tuple[ModelObject, ...] = ()
    suggestion: str | None = None

    @property
    def message(self) -> str:
        """What a report says of it."""
        ref = self.reference
        if self.status == "unknown":
            return f"{self.how}: {_written(ref)}"
        if self.status == "ambiguous":
            if len(self.candidates) == 1:
                return f"{_written(ref)} may be {self.candidates[0].dax}, the only column of that name: {self.how}"
            names = ", ".join(candidate.dax for candidate in self.candidates)
            return f"{_written(ref)} may be any of {names}: {self.how}"
        target = f" {self.target.dax}" if self.target is not None else ""
        return f"{_written(ref)}: {self.how}{target}"

    @property
    def hint(self) -> str | None:
        """"did you mean ...?" for an unknown name close to a known one."""
        return f"did you mean {self.suggestion}?" if self.suggestion else None

    # Where the reference is in the model file, in lines and columns (1-based,
    # columns in characters), as a Diagnostic says it; its byte offsets in
    # the formula's text are `reference.span`.

    @property
    def line(self) -> int:
        """The line of the model file where the reference begins."""
        return self._located(end=False)[0]

    @property
    def column(self) -> int:
        """The column of the model file where the reference begins."""
        return self._located(end=False)[1]

    @property
    def end_line(self) -> int:
        """The line of the model file just past the reference's end."""
        return self._located(end=True)[0]

    @property
    def end_column(self) -> int:
        """The column of the model file just past the reference's end."""
        return self._located(end=True)[1]

    def _located(self, *, end: bool) -> tuple[int, int]:
        span = self.reference.span
        offset = 0 if span is None else span.end if end else span.start
        return self.formula.locate_offset(offset)

    @property
    def start(self) -> tuple[int, int]:
        """Deprecated: (line, column) where the reference begins, which every
        other `start` of this package (a byte offset) is not; use `line` and
        `column`."""
        warnings.warn("Resolution.start is (line, column), unlike every other start: use Resolution.line and"
                      " Resolution.column; start goes in the next release", DeprecationWarning, stacklevel=2)
        return self._located(end=False)

    @property
    def end(self) -> tuple[int, int]:
        """Deprecated: (line, column) just past the reference's end; use
        `end_line` and `end_column`."""
        warnings.warn("Resolution.end is (line, column), unlike every other end: use Resolution.end_line and"
                      " Resolution.end_column; end goes in the next release", DeprecationWarning, stacklevel=2)
        return self._located(end=True)


def _written(ref: Reference) -> str:
    """How a reference reads in a message: as written for names, without
    arguments for calls."""
    if ref.kind == "function":
        return ref.name
    if ref.kind in ("column", "hierarchy"):
        return quote_table(ref.table or "") + bracket(ref.name) + "".join("." + bracket(level) for level in ref.levels)
    if ref.kind == "bracket":
        return bracket(ref.name)
    if ref.kind == "table":
        return quote_table(ref.name)
    return ref.name


def _key(name: str) -> str:
    return name.casefold()


class Resolver:
    """Resolves formulas' references against one model. Make one per model:
    it indexes the model's names once."""

    def __init__(self, model: Model, trees: Mapping[int, Node] | None = None) -> None:
        self.model = model
        #: The formulas' syntax trees by the formula's id, where the caller
        #: parsed them already; others are parsed when needed.
        self.trees: Mapping[int, Node] = trees or {}
        self.columns: dict[str, list[Column]] = {}
        self.measures: list[Measure] = []
        for table in model.tables.values():
            for column in table.columns.values():
                self.columns.setdefault(_key(column.name), []).append(column)
            self.measures.extend(table.measures.values())
        self._made: set[str] | None = None
        self._close: dict[object, CloseNames] = {}

    def close_names(self, which: str | Table) -> CloseNames:
        """The names a slip is compared with, indexed once per model: the
        "functions" (built-in and the model's), the "tables", the
        "members" (every measure and column), or a table's columns and
        measures."""
        key: object = id(which) if isinstance(which, Table) else which
        found = self._close.get(key)
        if found is None:
            if isinstance(which, Table):
                names = [bracket(member.name) for member in (*which.columns.values(), *which.measures.values())]
            elif which == "functions":
                names = [*BUILTIN_FUNCTIONS, *(function.name for function in self.model.functions.values())]
            elif which == "tables":
                names = [quote_table(table.name) for table in self.model.tables.values()]
            else:
                names = [bracket(measure.name) for measure in self.measures]
                names += [bracket(columns[0].name) for columns in self.columns.values()]
            found = self._close[key] = CloseNames(names)
        return found

    def made(self) -> set[str]:
        """The names of the columns that any formula of the model makes."""
        if self._made is None:
            self._made = set()
            for formula in self.model.formulas:
                if '"' in formula.text or "{" in formula.text:
                    self._made |= _made_names(formula, self.trees.get(id(formula)))
        return self._made

    def resolve(self, formula: Formula, refs: list[Reference]) -> list[Resolution]:
        """One Resolution per reference of `formula`, in order."""
        return _FormulaResolver(self, formula, refs).run()

    def formula_references(
        self, formula: Formula, *, grammar: Grammar = "engine", separators: Separators = "comma"
    ) -> list[Reference]:
        """The references of a formula, read as its kind requires. Raises
        ParseError."""
        kind: SourceKind = "function" if formula.kind == "function" else "expression"
        return references(formula.text, kind=kind, grammar=grammar, separators=separators)


def resolve_model(
    model: Model, *, grammar: Grammar = "engine", separators: Separators = "comma"
) -> Iterator[tuple[Formula, list[Resolution] | ParseError]]:
    """Each formula of the model with its resolutions, or with the error
    that keeps it from being read."""
    resolver = Resolver(model)
    for formula in model.formulas:
        try:
            refs = resolver.formula_references(formula, grammar=grammar, separators=separators)
        except ParseError as error:
            yield formula, error
            continue
        yield formula, resolver.resolve(formula, refs)


class _FormulaResolver:
    """The resolution of one formula's references, with what is worked out
    for it only when a reference needs it."""

    def __init__(self, resolver: Resolver, formula: Formula, refs: list[Reference]) -> None:
        self.resolver = resolver
        self.model = resolver.model
        self.formula = formula
        self.refs = refs
        owner = self.model.owner(formula)
        self.owner = owner
        # The table whose row context the whole formula has: a calculated
        # column's, or that of a row filter (on one table of a role).
        self.home: Table | None = None
        self.home_how = "column of the formula's table"
        if isinstance(owner, Column) and formula.kind == "calculated column":
            self.home = self.model.table(owner.table)
        elif formula.kind == "row-level security filter":
            self.home = self.model.table(formula.table or "")
        elif isinstance(owner, Measure):
            # A measure's bare column names a column of the measure's table
            # (SUM ( [Amount] )), wherever no iterator says otherwise.
            self.home = self.model.table(owner.table)
            self.home_how = _MEASURE_HOME
        self._arguments: dict[tuple[int, int], list[int]] | None = None
        self._made: set[str] | None = None
        self._tree: Node | None = None
        self._calls: dict[tuple[int, int], FunctionCall] | None = None
        self._declarations: list[VarDecl] = []

    def run(self) -> list[Resolution]:
        return [self.one(index, ref) for index, ref in enumerate(self.refs)]

    def found(self, ref: Reference, status: Status, how: str, target: ModelObject | None = None,
              candidates: tuple[ModelObject, ...] = (), suggestion: str | None = None) -> Resolution:
        return Resolution(self.formula, ref, status, how, target, candidates, suggestion)

    def one(self, index: int, ref: Reference) -> Resolution:
        kind = ref.kind
        if kind in _LOCAL_KINDS:
            return self.found(ref, "local", _LOCAL_KINDS[kind])
        if kind == "function":
            return self.function(ref)
        if kind == "bracket":
            return self.bracket(index, ref)
        if kind == "table":
            return self.table(ref)
        if ref.target is not None:  # a column or hierarchy of a table variable or parameter
            return self.found(ref, "local", "column of a table variable or parameter")
        if kind == "column":
            return self.column(ref)
        return self.hierarchy(ref)

    # --- by kind ---------------------------------------------------------------

    def function(self, ref: Reference) -> Resolution:
        udf = self.model.function(ref.name)
        if udf is not None:
            return self.found(ref, "resolved", "function", udf)
        if is_builtin_function(ref.name):
            return self.found(ref, "builtin", "built-in function")
        return self.found(ref, "unknown", "unknown function",
                          suggestion=self.resolver.close_names("functions").closest(ref.name))

    def table(self, ref: Reference) -> Resolution:
        table = self.model.table(ref.name)
        if table is not None:
            return self.found(ref, "resolved", "table", table)
        if ref.function is not None and ref.name.upper() in keyword_words(ref.function):
            return self.found(ref, "builtin", "keyword argument")
        local = CloseNames(other.name for other in self.refs if other.kind in ("variable", "parameter"))
        return self.found(ref, "unknown", "unknown table or variable",
                          suggestion=best_of(ref.name, self.resolver.close_names("tables"), local))

    def column(self, ref: Reference) -> Resolution:
        if ref.table == "":
            # ''[Value]: a column of a table the formula makes without a
            # name (a table constructor, GENERATESERIES).
            return self.found(ref, "local", "column of an anonymous table")
        table = self.model.table(ref.table or "")
        if table is None:
            close = self.resolver.close_names("tables").closest(quote_table(ref.table or ""))
            return self.found(ref, "unknown", "unknown table", suggestion=close and close + bracket(ref.name))
        key = _key(ref.name)
        column = table.columns.get(key)
        if column is not None:
            return self.found(ref, "resolved", "column", column)
        measure = table.measures.get(key)
        if measure is not None:
            return self.found(ref, "resolved", "measure with its table", measure)
        elsewhere = self.model.measure(ref.name)
        if elsewhere is not None:
            return self.found(ref, "unknown", "a measure of another table under this table's name",
                              suggestion=elsewhere.dax)
        close = self.resolver.close_names(table).closest(bracket(ref.name))
        return self.found(ref, "unknown", f"no column or measure of that name in {quote_table(table.name)}",
                          suggestion=close and quote_table(table.name) + close)

    def hierarchy(self, ref: Reference) -> Resolution:
        table = self.model.table(ref.table or "")
        if table is None:
            return self.found(ref, "unknown", "unknown table")
        key = _key(ref.name)
        hierarchy = table.hierarchies.get(key)
        if hierarchy is not None:
            levels = {_key(level.name) for level in hierarchy.levels}
            if all(_key(level) in levels for level in ref.levels[:1]):
                return self.found(ref, "resolved", "hierarchy", hierarchy)
            return self.found(ref, "unknown", f"no such level of {hierarchy.dax}")
        column = table.columns.get(key)
        if column is not None:
            # A date column's own hierarchy (auto date/time), which the model
            # file does not spell out.
            return self.found(ref, "resolved", "date hierarchy of a column", column)
        return self.found(ref, "unknown", f"no hierarchy or column of that name in {quote_table(table.name)}")

    def bracket(self, index: int, ref: Reference) -> Resolution:
        key = _key(ref.name)
        measure = self.model.measure(ref.name)
        if measure is not None:
            # A column of the row context's own table keeps its name against
            # a measure of another table: a model may have both (a table
            # added later), and the row's column is what the engine reads.
            for table, _, how in self.row_contexts(index):
                column = table.columns.get(key) if table is not None and how != _MEASURE_HOME else None
                if column is not None:
                    return self.found(ref, "resolved", how, column)
            return self.found(ref, "resolved", "measure", measure)
        # Whether some row context is of a table that cannot be told, which
        # may have a column of that name.
        untold = False
        for table, made, how in self.row_contexts(index):
            if key in made:
                return self.found(ref, "local", "column made in the formula")
            if table is None:
                # Most likely a table the formula makes, held where this
                # reading does not follow (a function's parameter ...).
                if key in self.made():
                    return self.found(ref, "local", "column made in the formula")
                untold = True
                continue
            column = table.columns.get(key)
            if column is not None:
                return self.found(ref, "resolved", how, column)
        if key in self.made():
            return self.found(ref, "local", "column made in the formula")
        if key in self.resolver.made():
            # Columns of a table that another formula makes: the result of a
            # user-defined function, which the formula iterates.
            return self.found(ref, "local", "column made by another formula")
        owner = self.owner
        if isinstance(owner, Table) and key in owner.columns:
            return self.found(ref, "local", "column of the table the formula makes")
        candidates = tuple(self.resolver.columns.get(key, ()))
        if len(candidates) == 1 and untold:
            return self.found(ref, "resolved", "the only column of that name", candidates[0])
        if len(candidates) == 1:
            return self.found(ref, "ambiguous", "no table in row context here has a column of that name",
                              candidates=candidates)
        if candidates:
            return self.found(ref, "ambiguous", "a column of several tables, none plainly in row context",
                              candidates=candidates)
        return self.found(ref, "unknown", "no measure or column of that name",
                          suggestion=self.resolver.close_names("members").closest(bracket(ref.name)))

    # --- context -----------------------------------------------------------------

    def row_contexts(self, index: int) -> Iterator[tuple[Table | None, frozenset[str], str]]:
        """The row contexts the reference at `index` has, the innermost
        first: those of the iterators it stands in, then the formula's own.
        Each is the model table it is of (None where that cannot be told),
        the names (folded) of the columns the iterated expression makes,
        and how a column found in the table is named."""
        refs = self.refs
        ref = refs[index]
        while ref.parent is not None:
            call = refs[ref.parent]
            # The catalogue says which arguments have the row context of
            # which table argument (SUMX's expression, FILTER's condition).
            table_argument = None if ref.argument is None else row_context_table(call.name, ref.argument)
            if table_argument is not None:
                yield (self.table_of(ref.parent, table_argument), self.made_by(ref.parent, table_argument),
                       "column of the iterated table")
            ref = call
        if self.home is not None:
            yield self.home, frozenset(), self.home_how

    def table_of(self, call: int, argument: int) -> Table | None:
        """The model table that argument `argument` of the call at `call`
        plainly is: a table name, a column's table (`VALUES ( T[c] )`), or
        a call that keeps the rows of such a table (`FILTER ( T, ... )`)."""
        seen = 0
        while seen < len(self.refs):  # bounded: each step goes one call deeper
            seen += 1
            inside = self.arguments().get((call, argument), [])
            if len(inside) != 1:
                return None
            ref = self.refs[inside[0]]
            if ref.kind == "table":
                return self.model.table(ref.name)
            if ref.kind == "column" and ref.target is None:
                return self.model.table(ref.table or "")
            if ref.kind != "function":
                return None
            same = _SAME_TABLE.get(ref.name.upper())
            if same is None:
                return None
            call, argument = inside[0], same
        return None

    def arguments(self) -> dict[tuple[int, int], list[int]]:
        """The references standing directly in each (call, argument)."""
        if self._arguments is None:
            self._arguments = {}
            for index, ref in enumerate(self.refs):
                if ref.parent is not None and ref.argument is not None:
                    self._arguments.setdefault((ref.parent, ref.argument), []).append(index)
        return self._arguments

    def made(self) -> set[str]:
        if self._made is None:
            self._made = _made_names(self.formula, self.resolver.trees.get(id(self.formula)))
        return self._made

    def made_by(self, call: int, argument: int) -> frozenset[str]:
        """The names (folded) of the columns that argument `argument` of the
        call at `call` makes, read from the tree: the strings of SUMMARIZE,
        ADDCOLUMNS, SELECTCOLUMNS ... along the table expression, through
        the calls that keep a table's rows and the variables that hold it."""
        calls = self.calls()
        span = self.refs[call].span
        node = calls.get((span.start, span.end)) if span is not None else None
        if node is None or argument >= len(node.args):
            return frozenset()
        made: set[str] = set()
        work: list[Expr] = [node.args[argument]]
        steps = 0
        while work and steps < _MAX_TABLE_STEPS:
            steps += 1
            expr = work.pop()
            while isinstance(expr, Paren):
                expr = expr.expr
            if isinstance(expr, VarBlock):
                work.append(expr.body)
            elif isinstance(expr, Identifier):
                value = self.variable_value(expr)
                if value is not None:
                    work.append(value)
            elif isinstance(expr, TableConstructor):
                made.update(_table_constructor_names(expr))
            elif isinstance(expr, FunctionCall):
                name = expr.name.upper()
                made.update(_key(fixed) for fixed in _FIXED_NAMES.get(name, ()))
                if name in naming_functions():
                    made.update(_key(arg.value) for arg in expr.args if isinstance(arg, String))
                kept = _SAME_TABLE.get(name)
                if kept is not None and kept < len(expr.args):
                    work.append(expr.args[kept])
                elif name in _JOINING:
                    work.extend(expr.args)
        return frozenset(made)

    def calls(self) -> dict[tuple[int, int], FunctionCall]:
        """The calls of the formula's tree by their place."""
        if self._calls is None:
            self._calls = {}
            tree = self.resolver.trees.get(id(self.formula)) or _tree(self.formula)
            if tree is not None:
                for node in find_nodes(tree, FunctionCall, VarDecl):
                    if isinstance(node, VarDecl):
                        self._declarations.append(node)
                    elif isinstance(node, FunctionCall) and node.span is not None:
                        self._calls[(node.span.start, node.span.end)] = node
        return self._calls

    def variable_value(self, use: Identifier) -> Expr | None:
        """The expression of the variable that `use` names: the last one of
        that name declared before it (a close reading of DAX's scopes)."""
        if use.span is None:
            return None
        key = _key(use.name)
        value = None
        for declaration in self._declarations:  # in source order
            span = declaration.span
            if span is not None and span.end <= use.span.start and _key(declaration.name) == key:
                value = declaration.expr
        return value


def _made_names(formula: Formula, tree: Node | None = None) -> set[str]:
    """The names of the columns `formula` makes: the strings given to
    ADDCOLUMNS, SELECTCOLUMNS, SUMMARIZECOLUMNS, ROW, DATATABLE ...; `Value`
    (and `Value1` ...) of table constructors, `Value` of GENERATESERIES and
    `Date` of CALENDAR. Read from the tree: only asked for when a name is
    found nowhere else. Empty for a formula that does not parse. `tree`: the
    formula's, when parsed already."""
    made: set[str] = set()
    if tree is None:
        tree = _tree(formula)
        if tree is None:
            return made
    for node in find_nodes(tree, FunctionCall, TableConstructor):
        if isinstance(node, TableConstructor):
            made.update(_table_constructor_names(node))
        elif isinstance(node, FunctionCall):
            name = node.name.upper()
            made.update(_key(fixed) for fixed in _FIXED_NAMES.get(name, ()))
            if name in naming_functions():
                made.update(_key(arg.value) for arg in node.args if isinstance(arg, String))
    return made


def _tree(formula: Formula) -> Node | None:
    """The tree of a formula's text, None when it does not parse."""
    try:
        return parse_function(formula.text) if formula.kind == "function" else parse_expression(formula.text)
    except ParseError:
        return None


def _table_constructor_names(node: TableConstructor) -> set[str]:
    """`Value`, and `Value1` ... of each column of a table constructor."""
    width = max((len(row) for row in node.rows), default=1)
    return {_key("Value"), *(_key(f"Value{n}") for n in range(1, width + 1))}


def _close(written: str, names: list[str]) -> str | None:
    """The name of `names` closest to `written` (all in DAX notation), if
    one is close enough to be a likely slip; for one question (a resolver
    keeps its names indexed for many: `Resolver.close_names`)."""
    return CloseNames(names).closest(written)
