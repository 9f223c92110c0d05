"""Rules about single function calls: error traps, an X-iterator that only
reads a column, EVALUATEANDLOG, SUMMARIZE computing columns, and functions
the reference marks deprecated or names a newer replacement for."""

from __future__ import annotations

from ...functions import signature
from ...syntax import Function, FunctionCall, Node, Omitted, Query, String, TableColumnRef
from ..context import LintContext
from ..rule import Edit, Fix, LintRule, register
from ..shapes import in_place, unwrap, whole_table


@register
class AvoidIferror(LintRule):
    code = "DAX102"
    name = "avoid-iferror"
    category = "performance"
    summary = "IFERROR or ISERROR."
    explanation = """
IFERROR and ISERROR catch an error after it happened. Besides hiding errors
worth seeing, the trap keeps the engine from computing the expression in bulk:
it has to evaluate it value by value to know where an error arises. Avoid the
error at its cause instead: DIVIDE for a division that may have a zero
denominator, a test such as IF ( ISBLANK ( ... ), ... ) or a check of the text
before a conversion, and LOOKUPVALUE's or SELECTEDVALUE's alternate result for
a lookup that may find nothing or more than one value.
"""
    wrong = """
IFERROR ( [Profit] / [Sales Amount], BLANK () )
"""
    right = """
DIVIDE ( [Profit], [Sales Amount] )
"""
    nodes = (FunctionCall,)

    def visit(self, node: Node, parent: Node | None, context: LintContext) -> None:
        assert isinstance(node, FunctionCall)
        name = node.name.upper()
        if name == "IFERROR" or name == "ISERROR":
            context.report(
                self, context.call_name_span(node), f"{name} traps an error instead of avoiding it",
                hint="avoid the error at its cause: DIVIDE for a division, a test before a conversion or a lookup",
            )


# The aggregation that reads one column as its X-iterator over the column's
# table would, and whether the two count the same values in every case.
_AGGREGATIONS = {
    "SUMX": ("SUM", True),
    "AVERAGEX": ("AVERAGE", True),
    "MINX": ("MIN", True),
    "MAXX": ("MAX", True),
    "PRODUCTX": ("PRODUCT", True),
    # COUNT and COUNTX skip blanks alike, but their documentation differs on
    # which types of values they count: a suggestion, not a safe fix.
    "COUNTX": ("COUNT", False),
}


@register
class SumOfColumn(LintRule):
    code = "DAX104"
    name = "sum-of-column"
    category = "style"
    summary = "SUMX, AVERAGEX, MINX, MAXX, PRODUCTX or COUNTX over a table whose expression is one column of it."
    explanation = """
SUMX ( Sales, Sales[Amount] ) iterates the table only to read one of its
columns: SUM ( Sales[Amount] ) means the same, and the engine runs both the
same way. The short form says what is computed at a glance and keeps the
iterators for expressions that need a row context. Only a whole table with a
column of that same table written with its table name is reported; a bare
`[Amount]` may be a measure, which needs the iterator.
"""
    wrong = """
SUMX ( Sales, Sales[Amount] )
"""
    right = """
SUM ( Sales[Amount] )
"""
    fixes = "safe"
    nodes = (FunctionCall,)

    def visit(self, node: Node, parent: Node | None, context: LintContext) -> None:
        assert isinstance(node, FunctionCall)
        name = node.name.upper()
        aggregation = _AGGREGATIONS.get(name)
        if aggregation is None or len(node.args) != 2:
            return
        table = whole_table(unwrap(node.args[0]), context)
        column = unwrap(node.args[1])
        if table is None or not isinstance(column, TableColumnRef) or column.table.name.casefold() != table.casefold():
            return
        short, safe = aggregation
        shown = f"{short} ( {column.text} )"
        assert node.span is not None
        fix = Fix(f"write {shown}", (Edit(node.span, FunctionCall(name=short, args=(column,))),), safe)
        context.report(self, context.call_name_span(node), f"{name} over a table of one of its columns is {shown}",
                       hint=f"write {shown}", fix=fix)


@register
class EvaluateAndLog(LintRule):
    code = "DAX106"
    name = "evaluateandlog"
    category = "performance"
    summary = "EVALUATEANDLOG left in a formula."
    explanation = """
EVALUATEANDLOG returns its first argument and, where a trace listens (Power
BI Desktop), writes that value (up to MaxRows rows of a table) to the trace on
every evaluation. It is a tool for debugging a formula; left in a model it
costs time wherever it is traced and clutters the formula. Remove it once the
formula is understood: the fix keeps its first argument.
"""
    wrong = """
EVALUATEANDLOG ( SUM ( Sales[Amount] ), "amount" )
"""
    right = """
SUM ( Sales[Amount] )
"""
    fixes = "safe"
    nodes = (FunctionCall,)

    def visit(self, node: Node, parent: Node | None, context: LintContext) -> None:
        assert isinstance(node, FunctionCall)
        if node.name.upper() != "EVALUATEANDLOG":
            return
        fix = None
        if node.args and not isinstance(node.args[0], Omitted) and node.span is not None:
            fix = Fix("keep only its first argument", (Edit(node.span, in_place(unwrap(node.args[0]), parent)),),
                      safe=True)
        context.report(self, context.call_name_span(node), "EVALUATEANDLOG left in the formula",
                       hint="remove it once the formula is understood: keep its first argument", fix=fix)


@register
class SummarizeWithExpressions(LintRule):
    code = "DAX109"
    name = "summarize-with-expressions"
    category = "correctness"
    summary = "SUMMARIZE computing a column of its own (a name and an expression after the grouping columns)."
    explanation = """
SUMMARIZE groups a table by columns; it can also compute new columns, but
it evaluates their expressions in a filter context made from its grouping in
a way that can give unexpected results (and is slow) as soon as the grouping
columns come from more than one table or the expression filters them. Group
with SUMMARIZE (or VALUES, or SUMMARIZECOLUMNS) and compute the columns with
ADDCOLUMNS around it.
"""
    wrong = """
SUMMARIZE ( Sales, 'Product'[Color], "Amount", SUM ( Sales[Amount] ) )
"""
    right = """
ADDCOLUMNS ( SUMMARIZE ( Sales, 'Product'[Color] ), "Amount", CALCULATE ( SUM ( Sales[Amount] ) ) )
"""
    nodes = (FunctionCall,)

    def visit(self, node: Node, parent: Node | None, context: LintContext) -> None:
        assert isinstance(node, FunctionCall)
        if node.name.upper() != "SUMMARIZE":
            return
        for argument in node.args[1:]:
            if isinstance(argument, String) and argument.span is not None:
                context.report(
                    self, argument.span, f"SUMMARIZE computes the column {argument.text}",
                    hint="group with SUMMARIZE and compute the columns with ADDCOLUMNS ( SUMMARIZE ( ... ), ... )",
                )
                return


def _user_defined(call: FunctionCall, context: LintContext) -> bool:
    """Whether the call's name is a function the query or the model defines,
    which takes precedence over a built-in one of the same name."""
    tree = context.tree
    if isinstance(tree, Query) and tree.define is not None:
        if any(isinstance(d, Function) and d.name.casefold() == call.name.casefold() for d in tree.define.defs):
            return True
    return context.model is not None and context.model.function(call.name) is not None


@register
class DeprecatedFunction(LintRule):
    code = "DAX110"
    name = "deprecated-function"
    category = "maintainability"
    summary = "A function the DAX reference marks as deprecated."
    explanation = """
The reference marks some functions as deprecated: kept for old formulas,
never to be relied on in new ones (KEYWORDMATCH was never released beyond an
early version of Excel). A deprecated function may disappear or stop working
in a later version of the engine; write what it does with current functions.
`quarrow-dax functions NAME` shows what the catalogue knows of a function.
"""
    wrong = """
IF ( KEYWORDMATCH ( "bike*", 'Product'[Name] ), "Bikes" )
"""
    right = """
IF ( CONTAINSSTRING ( 'Product'[Name], "bike*" ), "Bikes" )
"""
    nodes = (FunctionCall,)

    def visit(self, node: Node, parent: Node | None, context: LintContext) -> None:
        assert isinstance(node, FunctionCall)
        found = signature(node.name)
        if found is None or not found.deprecated or _user_defined(node, context):
            return
        hint = f"use {found.replacement} instead" if found.replacement else "write it with current functions"
        context.report(self, context.call_name_span(node), f"{found.name} is deprecated", hint=hint)


@register
class SupersededFunction(LintRule):
    code = "DAX111"
    name = "superseded-function"
    category = "maintainability"
    summary = "A function for which the DAX reference names a newer one to use."
    explanation = """
Some functions have a newer counterpart that the reference recommends
instead: ISSUBTOTAL only works in SUMMARIZE with ROLLUP, whose subtotals
SUMMARIZECOLUMNS computes with ROLLUPADDISSUBTOTAL, naming the column that
tells subtotal rows apart in the same call. The older form keeps working, but
the newer one is what the engine and the documentation are improved for.
Only functions whose replacement the reference names are reported.
"""
    wrong = """
SUMMARIZE ( Sales, ROLLUP ( 'Product'[Brand] ), "Is Total", ISSUBTOTAL ( 'Product'[Brand] ), "Sales", [Sales] )
"""
    right = """
SUMMARIZECOLUMNS ( ROLLUPADDISSUBTOTAL ( 'Product'[Brand], "Is Total" ), "Sales", [Sales] )
"""
    nodes = (FunctionCall,)

    def visit(self, node: Node, parent: Node | None, context: LintContext) -> None:
        assert isinstance(node, FunctionCall)
        found = signature(node.name)
        if found is None or found.replacement is None or found.deprecated or _user_defined(node, context):
            return
        context.report(self, context.call_name_span(node), f"{found.name} has a newer replacement: "
                       f"{found.replacement}", hint=f"use {found.replacement} instead")
