"""A rule about the same measure evaluated again and again in one place."""

from __future__ import annotations

import collections

from ...model import Measure, bracket
from ...syntax import BracketRef, Column, Definition, Evaluate, FunctionCall, Node, TableColumnRef
from ..context import LintContext
from ..rule import LintRule, register

#: How many references to one name in one evaluation context make a finding.
REPEATS = 3

# Scalar functions that evaluate their arguments in the context they are
# called in: references below them share that context.
_SAME_CONTEXT = frozenset({
    "ABS", "AND", "BLANK", "CEILING", "COALESCE", "CONCATENATE", "CONVERT", "CURRENCY", "DIVIDE", "EVALUATEANDLOG",
    "EVEN", "EXACT", "EXP", "FIND", "FIXED", "FLOOR", "FORMAT", "IF", "IF.EAGER", "IFERROR", "INT", "ISBLANK",
    "ISERROR", "ISLOGICAL", "ISNONTEXT", "ISNUMBER", "ISTEXT", "LEFT", "LEN", "LN", "LOG", "LOG10", "LOWER", "MID",
    "MOD", "MROUND", "NOT", "ODD", "OR", "POWER", "QUOTIENT", "REPT", "RIGHT", "ROUND", "ROUNDDOWN", "ROUNDUP",
    "SEARCH", "SIGN", "SQRT", "SUBSTITUTE", "SWITCH", "TRIM", "TRUNC", "UNICHAR", "UPPER", "VALUE",
})
# MIN and MAX compare two values in the same context; with one argument they
# aggregate a column, which a bare [Name] then is.
_SCALAR_WITH_TWO = frozenset({"MIN", "MAX"})
# Their first argument is evaluated in a new filter context but without a row
# context of its own.
_CALCULATE = frozenset({"CALCULATE", "CALCULATETABLE"})


@register
class RepeatedMeasure(LintRule):
    code = "DAX105"
    name = "repeated-measure"
    category = "performance"
    severity = "note"
    summary = "The same measure referenced three or more times in one evaluation context of a formula."
    explanation = """
Each reference to a measure evaluates it, and the engine does not always
reuse the value of an earlier reference. Store the value in a variable once
and use the variable: the formula is evaluated faster and reads more easily.
Only references evaluated in the same context count: a reference inside
CALCULATE, or inside an iterator such as SUMX or FILTER, is evaluated in a
context of its own and counts apart.

In a model, whose names are looked up, `[Name]` and `Table[Name]` count
alike when they are the same measure, wherever they stand (inside an
iterator, each row evaluates the measure that many times); columns never
count, nor does a bare [Name] in a row context (inside an iterator, in a
calculated column) that a table of the model has a column of. Elsewhere a
bare [Name] where a row context may be is not counted, since it may be a
column.
"""
    wrong = """
IF ( [Sales Amount] > 1000, [Sales Amount] * 0.9, [Sales Amount] )
"""
    right = """
VAR SalesAmount = [Sales Amount]
RETURN
    IF ( SalesAmount > 1000, SalesAmount * 0.9, SalesAmount )
"""
    nodes = (BracketRef, TableColumnRef)

    def visit(self, node: Node, parent: Node | None, context: LintContext) -> None:
        if isinstance(node, BracketRef) or context.resolving:
            context.scratch(self).append(node)

    def finish(self, context: LintContext) -> None:
        references: list[BracketRef | TableColumnRef] = context.scratch(self)
        if len(references) < REPEATS:
            return
        # Which measure each reference is: by the model where its names are
        # looked up (`[m]` and `'T'[m]` alike, columns left out), else by
        # the name of a bare [Name] where no row context can make it a column.
        measures: dict[int, str] = {}
        if context.resolving:
            for reference in references:
                resolution = context.resolution_of(reference)
                if resolution is not None and isinstance(resolution.target, Measure):
                    target = resolution.target
                    measures[id(reference)] = f"{target.table}\0{target.name}".casefold()
        elif context.object_kind != "calculated column":
            measures = {id(reference): reference.name.casefold() for reference in references
                        if isinstance(reference, BracketRef)}
        # In a row context (a calculated column's, an iterator's), a bare
        # [Name] that some table has a column of may be that column, which
        # costs nothing to read again: only certain measures count there.
        columns = {key for table in context.model.tables.values() for key in table.columns} if context.model else set()
        kept = [(reference, group, key) for reference, group, in_row in
                _contexts(context.tree, row=context.object_kind == "calculated column")
                if (key := measures.get(id(reference))) is not None and (context.resolving or not in_row)
                and not (in_row and isinstance(reference, BracketRef) and reference.name.casefold() in columns)]
        counts = collections.Counter(key for _, _, key in kept)
        groups: dict[tuple[int, str], list[BracketRef | TableColumnRef]] = {}
        for reference, group, key in kept:
            if counts[key] >= REPEATS:
                groups.setdefault((group, key), []).append(reference)
        for found in groups.values():
            found.sort(key=lambda reference: reference.span or (0, 0))
            first = found[0]
            if len(found) >= REPEATS and first.span is not None:
                shown = first.text if isinstance(first, BracketRef) else bracket(first.column)
                context.report(
                    self, first.span, f"{shown} is evaluated {len(found)} times in the same context",
                    hint="evaluate it once into a variable (VAR Value = [...]) and use the variable",
                )


def _contexts(root: Node, *, row: bool = False) -> list[tuple[BracketRef | TableColumnRef, int, bool]]:
    """Each `[Name]` and `Table[Name]` reference with a number that is the
    same for references evaluated in the same context, and whether a row
    context may be there (`row`: whether the formula has one throughout)."""
    found: list[tuple[BracketRef | TableColumnRef, int, bool]] = []
    # (node, context number, whether a row context may be there)
    work: list[tuple[Node, int, bool]] = [(root, id(root), row)]
    while work:
        node, group, row = work.pop()
        if isinstance(node, (BracketRef, TableColumnRef)):
            found.append((node, group, row))
            continue
        if isinstance(node, FunctionCall):
            name = node.name.upper()
            if name in _SAME_CONTEXT or (name in _SCALAR_WITH_TWO and len(node.args) == 2):
                work.extend((argument, group, row) for argument in node.args)
            elif name in _CALCULATE:
                work.extend((argument, id(argument), row) for argument in node.args)
            else:
                work.extend((argument, id(argument), True) for argument in node.args)
        elif isinstance(node, (Definition, Evaluate)):
            # Each definition and EVALUATE of a query is a formula of its own.
            work.extend((child, id(node), row or isinstance(node, Column)) for child in node.children())
        else:
            work.extend((child, group, row) for child in node.children())
    return found
