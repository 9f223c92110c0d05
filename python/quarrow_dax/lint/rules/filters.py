"""Rules about the filter arguments of CALCULATE and CALCULATETABLE."""

from __future__ import annotations

from collections.abc import Iterator

from ...syntax import (
    BracketRef, Expr, FunctionCall, HierarchyRef, Identifier, Node, TableColumnRef, TableRef, VarBlock,
)
from ..context import LintContext
from ..rule import Edit, Fix, LintRule, register
from ..shapes import function_name, unwrap, whole_table

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


def _column_predicate(predicate: Expr, table: str, context: LintContext) -> bool:
    """Whether `predicate` reads only columns of `table` (at least one) and
    constants, so that it can be a filter argument of its own."""
    folded = table.casefold()
    columns = 0
    for node, _ in predicate.walk():
        if isinstance(node, (TableColumnRef, HierarchyRef)):
            if node.table.name.casefold() != folded:
                return False
            columns += 1
        elif isinstance(node, (BracketRef, TableRef, VarBlock)):
            # [Name] may be a measure: a filter argument cannot evaluate one.
            return False
        elif isinstance(node, Identifier):
            if context.resolve(node.name) is None:
                return False  # a table, not a variable
        elif isinstance(node, FunctionCall) and node.name.upper() not in _SCALAR_FUNCTIONS:
            return False
    return columns > 0


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

The suggested rewrite is not always the same: FILTER over the table also
removes rows for the other columns' current filters, and a later ALL or
REMOVEFILTERS argument treats the two differently. A condition with a bare
[Name], which may be a measure, is not reported.
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
            if table is None or not _column_predicate(predicate, table, context):
                continue
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
