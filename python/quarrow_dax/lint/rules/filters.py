"""Rules about the filter arguments of CALCULATE and CALCULATETABLE."""

from __future__ import annotations

from collections.abc import Iterator

from ...model import Column
from ...syntax import (
    BracketRef, Expr, FunctionCall, HierarchyRef, Identifier, Node, TableColumnRef, TableName, TableRef, VarBlock,
)
from ...syntax.spelling import is_plain_table_name
from ..context import LintContext
from ..rule import Edit, Fix, LintRule, register
from ..shapes import function_name, replaced, unwrap, whole_table

_CALCULATE = frozenset({"CALCULATE", "CALCULATETABLE"})

# Functions a filter predicate on columns may call: they compute a value from
# their arguments alone, without a table to scan or a filter context to read.
_SCALAR_FUNCTIONS = frozenset({
    "ABS", "AND", "BLANK", "COALESCE", "CONCATENATE", "CONTAINSSTRING", "CONTAINSSTRINGEXACT", "CONVERT", "DATE",
    "DATEVALUE", "DAY", "EDATE", "EOMONTH", "EXACT", "FALSE", "FIND", "FORMAT", "HOUR", "IF", "INT", "ISBLANK",
    "ISLOGICAL", "ISNONTEXT", "ISNUMBER", "ISTEXT", "LEFT", "LEN", "LOWER", "MID", "MINUTE", "MOD", "MONTH", "NOT",
    "NOW", "OR", "QUARTER", "RIGHT", "ROUND", "ROUNDDOWN", "ROUNDUP", "SEARCH", "SECOND", "SUBSTITUTE", "SWITCH",
    "TIME", "TIMEVALUE", "TODAY", "TRIM", "TRUE", "TRUNC", "UPPER", "UTCNOW", "UTCTODAY", "VALUE", "WEEKDAY",
    "WEEKNUM", "YEAR",
})


def _filter_arguments(call: FunctionCall) -> Iterator[tuple[Expr, bool]]:
    """The filter arguments of a CALCULATE or CALCULATETABLE call without
    their parentheses, each with whether KEEPFILTERS wraps it."""
    for argument in call.args[1:]:
        argument = unwrap(argument)
        if isinstance(argument, FunctionCall) and argument.name.upper() == "KEEPFILTERS" and len(argument.args) == 1:
            yield unwrap(argument.args[0]), True
        else:
            yield argument, False


def _column_predicate(predicate: Expr, table: str, context: LintContext) -> dict[int, tuple[str, Column]] | None:
    """Whether `predicate` reads only columns of `table` (at least one) and
    constants, so that it can be a filter argument of its own: None when it
    does not, else the bare `[Name]`s in it (by id, with the name as
    written) that the model resolves to columns of `table`, which a filter
    argument must write with their table."""
    folded = table.casefold()
    columns = 0
    bare: dict[int, tuple[str, Column]] = {}
    for node, _ in predicate.walk():
        if isinstance(node, (TableColumnRef, HierarchyRef)):
            if node.table.name.casefold() != folded:
                return None
            columns += 1
        elif isinstance(node, BracketRef):
            # [Name] may be a measure, which a filter argument cannot
            # evaluate, unless the model says it is a column of the table.
            found = context.resolution_of(node)
            target = found.target if found is not None else None
            if not isinstance(target, Column) or target.table.casefold() != folded:
                return None
            bare[id(node)] = (node.name, target)
            columns += 1
        elif isinstance(node, (TableRef, VarBlock)):
            return None
        elif isinstance(node, Identifier):
            if context.resolve(node.name) is None:
                return None  # a table, not a variable
        elif isinstance(node, FunctionCall) and node.name.upper() not in _SCALAR_FUNCTIONS:
            return None
    return bare if columns > 0 else None


@register
class FilterWholeTable(LintRule):
    code = "DAX103"
    name = "filter-whole-table"
    category = "performance"
    summary = "FILTER over a whole table as a filter argument of CALCULATE or CALCULATETABLE where a column predicate would do."
    explanation = """
FILTER ( Sales, Sales[Quantity] > 1 ) as a filter argument of CALCULATE
iterates every row of the table visible in the filter context and filters all
of its columns, and those of the tables it reaches through relationships.
When the condition reads only columns of that table, filter those columns:
a predicate such as Sales[Quantity] > 1 filters one column and lets the
engine work on its distinct values. Wrap it in KEEPFILTERS to keep the
filters already on that column, as FILTER did.

The suggested rewrite is not always the same: FILTER over the table keeps
the rows that the current filters on its other columns leave, evaluated
before CALCULATE changes any filter, so an ALL or REMOVEFILTERS argument of
the same CALCULATE (in any place: the order of its filter arguments does
not matter) removes those filters for the column predicate but not for
FILTER. A condition with a bare [Name] is reported only in a model whose
names are looked up and where the name is a column of that table (the
rewrite then writes the table in front of it): elsewhere [Name] may be a
measure, which a filter argument cannot evaluate.
"""
    wrong = """
CALCULATE ( [Sales Amount], FILTER ( Sales, Sales[Quantity] > 1 ) )
"""
    right = """
CALCULATE ( [Sales Amount], KEEPFILTERS ( Sales[Quantity] > 1 ) )
"""
    fixes = "unsafe"
    nodes = (FunctionCall,)

    def visit(self, node: Node, parent: Node | None, context: LintContext) -> None:
        assert isinstance(node, FunctionCall)
        if node.name.upper() not in _CALCULATE:
            return
        for argument, kept in _filter_arguments(node):
            if function_name(argument) != "FILTER":
                continue
            assert isinstance(argument, FunctionCall)
            if len(argument.args) != 2:
                continue
            table = whole_table(unwrap(argument.args[0]), context)
            predicate = unwrap(argument.args[1])
            bare = None if table is None else _column_predicate(predicate, table, context)
            if table is None or bare is None:
                continue
            if bare:
                predicate = replaced(predicate, {
                    key: TableColumnRef(table=TableName(name=column.table, quoted=not is_plain_table_name(column.table)),
                                        column=name)
                    for key, (name, column) in bare.items()})
            replacement: Expr = predicate if kept else FunctionCall(name="KEEPFILTERS", args=(predicate,))
            fix = None
            if argument.span is not None:
                fix = Fix("filter the columns: KEEPFILTERS ( condition )", (Edit(argument.span, replacement),),
                          safe=False)
            context.report(
                self, context.call_name_span(argument), f"FILTER over the whole table {table} where its columns would do",
                hint="filter the columns: KEEPFILTERS ( condition ) keeps the filters that FILTER kept", fix=fix,
            )


@register
class UseTreatas(LintRule):
    code = "DAX108"
    name = "use-treatas"
    category = "performance"
    summary = "INTERSECT as a filter argument of CALCULATE or CALCULATETABLE, where TREATAS applies the values directly."
    explanation = """
INTERSECT ( ALL ( 'Product'[Key] ), VALUES ( Budget[ProductKey] ) ) as a
filter argument moves the values of one column onto another: a relationship
made in the formula. TREATAS ( VALUES ( Budget[ProductKey] ), 'Product'[Key] )
states that intent and lets the engine apply the values as a filter directly,
without computing the intersection first.
"""
    wrong = """
CALCULATE ( [Budget], INTERSECT ( ALL ( 'Product'[Key] ), VALUES ( Budget[ProductKey] ) ) )
"""
    right = """
CALCULATE ( [Budget], TREATAS ( VALUES ( Budget[ProductKey] ), 'Product'[Key] ) )
"""
    nodes = (FunctionCall,)

    def visit(self, node: Node, parent: Node | None, context: LintContext) -> None:
        assert isinstance(node, FunctionCall)
        if node.name.upper() not in _CALCULATE:
            return
        for argument, _ in _filter_arguments(node):
            if function_name(argument) == "INTERSECT":
                assert isinstance(argument, FunctionCall)
                context.report(
                    self, context.call_name_span(argument), "INTERSECT as a filter: a relationship made in the formula",
                    hint="TREATAS ( values, columns ) applies the values as a filter on the columns directly",
                )
