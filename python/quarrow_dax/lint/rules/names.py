"""Rules about the names a model's formula uses, looked up in the model as
`check` looks them up: names that exist nowhere, columns written without
their table, measures written with one."""

from __future__ import annotations

from ...check import UNKNOWN_REFERENCE
from ...model import Column, Model, bracket, quote_table
from ...resolution import Resolution
from ...syntax import BracketRef, FunctionCall, Span, String, TableColumnRef, TableConstructor, TableName
from ...syntax.spelling import is_plain_table_name
from ..context import LintContext
from ..rule import Edit, Fix, LintRule, register

# How a bare [Name] was found to be a column when the formula's row context
# says so: the same column that DAX reads there, so writing its table in
# front changes nothing. Any other way ("the only column of that name") is
# a guess that the rewrite would make certain.
_CERTAIN_COLUMNS = frozenset({
    "column of the iterated table", "column of the formula's table", "column of the measure's table",
})

#: What the examples of the rules below assume of the model.
EXAMPLE_MODEL = """
The examples are measures of a model whose table Sales has the columns
Quantity and Net Price and the measures [Sales Amount] and [Margin].
"""


def _span(found: Resolution) -> Span | None:
    return found.reference.span


@register
class UnknownReference(LintRule):
    code = "DAX001"
    name = "unknown-reference"
    category = "correctness"
    severity = "error"
    models_only = True
    summary = UNKNOWN_REFERENCE.summary
    explanation = f"""
A formula of a model that names a measure, a column, a table, a function, a
variable or a parameter that exists nowhere fails when the model is
processed or the measure is evaluated. The names are looked up as `check`
looks them up (this rule reports exactly check's reference errors, with the
same messages): a bare [Name] is a measure, or a column of the table whose
row context it stands in, or a column the formula makes itself; case does not
matter. A slip close to a known name comes with a suggestion.

Only a model read whole is looked up: a single .tmdl file, or a model one of
whose files cannot be read, may use names declared in what was not read.
{EXAMPLE_MODEL}"""
    wrong = """
SUMX ( Sales, Sales[Quantity] * Sales[Net Prize] )
"""
    right = """
SUMX ( Sales, Sales[Quantity] * Sales[Net Price] )
"""

    def finish(self, context: LintContext) -> None:
        for found in context.resolutions:
            span = _span(found)
            if found.status == "unknown" and span is not None:
                context.report(self, span, found.message, hint=found.hint)


def _made_here(context: LintContext) -> set[str]:
    """The names (folded) of the columns the formula may make itself: every
    string in it (ADDCOLUMNS ( T, "x", ... ), SUMMARIZE, ROW ...), `Value`
    of a table constructor or GENERATESERIES, `Date` of CALENDAR. More than
    it makes, so that a bare [x] that may be one of them is left alone."""
    made: set[str] = set()
    for node, _ in context.tree.walk():
        if isinstance(node, String):
            made.add(node.value.casefold())
        elif isinstance(node, TableConstructor):
            width = max((len(row) for row in node.rows), default=1)
            made.update(f"value{n}" for n in range(1, width + 1))
            made.add("value")
        elif isinstance(node, FunctionCall):
            made.update(_FIXED_NAMES.get(node.name.upper(), ()))
    return made


# Calls whose result has a column of a fixed name.
_FIXED_NAMES = {"GENERATESERIES": ("value",), "CALENDAR": ("date",), "CALENDARAUTO": ("date",)}


def _column_named(model: Model, name: str) -> bool:
    key = name.casefold()
    return any(key in table.columns for table in model.tables.values())


@register
class QualifyColumns(LintRule):
    code = "DAX201"
    name = "qualify-columns"
    category = "style"
    models_only = True
    summary = "A column reference without its table."
    explanation = f"""
A bare [Name] reads as a measure: measures are written without a table, so
a reader takes [Quantity] for one, and has to know the model to learn that it
is a column of the table iterated around it. Write columns with their table,
Sales[Quantity], and measures without: then every reference says what it is,
and a measure added later under a column's name cannot change what the
formula means.

A bare name that the formula may make a column of itself (a string such as
ADDCOLUMNS ( ..., "Quantity", ... ) gives, `Value` of a table constructor)
is not reported: the row context there may be of the formula's own table.

The fix writes the table in front of the column. It is safe where the
formula's row context decides which column a bare name is (an iterator's
table, a calculated column's own table, a measure's table); where the name
was found only because one table of the model has such a column, the fix
makes that reading certain, and is a suggestion to review.

A bare name that no row context of the formula has a column of (a measure's
SUM ( [Month] ) where its own table has no Month), or that several tables
have a column of, is reported too: the engine may not read it as the column
meant, or at all. Where one table has such a column, the suggested fix
writes that table.
{EXAMPLE_MODEL}"""
    wrong = """
SUMX ( Sales, [Quantity] * [Net Price] )
"""
    right = """
SUMX ( Sales, Sales[Quantity] * Sales[Net Price] )
"""
    fixes = "safe"

    def finish(self, context: LintContext) -> None:
        made: set[str] | None = None
        for found in context.resolutions:
            span = _span(found)
            reference = found.reference
            if reference.kind != "bracket" or span is None:
                continue
            if isinstance(found.target, Column):
                column, certain = found.target, found.how in _CERTAIN_COLUMNS
            elif found.status == "ambiguous" and all(isinstance(c, Column) for c in found.candidates):
                column, certain = None, False
            else:
                continue
            if made is None:
                made = _made_here(context)
            if reference.name.casefold() in made:
                continue  # perhaps the formula's own column, which no table name reaches
            if column is None and len(found.candidates) > 1:
                names = ", ".join(candidate.dax for candidate in found.candidates)
                context.report(
                    self, span, f"the column {reference.text} is written without its table, which no row context "
                    "here tells", hint=f"write its table: it may be a column of {names}",
                )
                continue
            if column is None:
                candidate = found.candidates[0]
                assert isinstance(candidate, Column)
                column = candidate
                message = f"the column {reference.text} is written without its table, and no row context here has it"
            else:
                message = f"the column {reference.text} is written without its table"
            plain = is_plain_table_name(column.table)
            qualified = TableColumnRef(table=TableName(name=column.table, quoted=not plain), column=reference.name)
            written = (column.table if plain else quote_table(column.table)) + bracket(reference.name)
            hint = (f"write {written}: a bare [Name] reads as a measure" if found.target is not None
                    else f"write {written}, the only column of that name, if that is the column meant")
            context.report(self, span, message, hint=hint,
                           fix=Fix(f"write {written}", (Edit(span, qualified),), safe=certain))


@register
class UnqualifiedMeasures(LintRule):
    code = "DAX202"
    name = "unqualified-measures"
    category = "style"
    models_only = True
    summary = "A measure reference with a table in front."
    explanation = f"""
Measures belong to no table in DAX: their names are unique in a model, and a
measure can move to another table without any formula changing. Sales[Margin]
reads as a column, which it is not, and breaks when the measure moves. Write
measures without a table, [Margin], and columns with one.

A measure named as the argument of NAMEOF is not reported: NAMEOF names an
object without evaluating it, and its documentation (and every field
parameter) writes the table in front.

The fix takes the table off. It is safe unless some table of the model has a
column of the measure's name, where the bare name in a row context could be
read as that column: then it is a suggestion to review.
{EXAMPLE_MODEL}"""
    wrong = """
DIVIDE ( Sales[Margin], Sales[Sales Amount] )
"""
    right = """
DIVIDE ( [Margin], [Sales Amount] )
"""
    fixes = "safe"

    def finish(self, context: LintContext) -> None:
        model = context.model
        for found in context.resolutions:
            span = _span(found)
            reference = found.reference
            # NAMEOF names an object rather than evaluate it, and is
            # documented with the table in front (field parameters use it so).
            if (found.how != "measure with its table" or span is None or model is None
                    or (reference.function or "").upper() == "NAMEOF"):
                continue
            name = reference.name
            context.report(
                self, span, f"the measure {reference.text} is written with a table in front",
                hint=f"write {bracket(name)}: measures are written without a table, columns with one",
                fix=Fix(f"write {bracket(name)}", (Edit(span, BracketRef(name=name)),),
                        safe=not _column_named(model, name)),
            )
