"""Rules about arithmetic and comparison operators: `/` that may divide by
zero, `1 - a / b`, comparisons with BLANK, a measure's result plus 0."""

from __future__ import annotations

from ...model import Column
from ...syntax import (
    Binary, Blank, Boolean, BracketRef, Expr, FunctionCall, Identifier, Node, Number, Span, String, TableColumnRef,
    Unary, VarBlock,
)
from ..context import LintContext
from ..rule import Edit, Fix, LintRule, register
from ..shapes import constant_number, function_name, in_place, result_expressions, unwrap


@register
class UseDivide(LintRule):
    code = "DAX101"
    name = "use-divide"
    category = "correctness"
    summary = "`/` whose denominator is not a non-zero constant."
    explanation = """
The `/` operator fails with a division-by-zero error, or returns infinity,
when its denominator is 0 or blank, which happens as soon as a filter leaves
no data for it. DIVIDE ( numerator, denominator ) returns BLANK in that case
(or the alternate result given as its third argument), so the formula shows
nothing where there is nothing to divide by. Dividing by a constant such as
100 (or a variable declared as one, or POWER ( 10, n ), or EXP ( x )) cannot
fail and is not reported; nor is a division that an IF or a SWITCH around it
keeps from a zero denominator: IF ( d <> 0, n / d ), IF ( d = 0, BLANK (),
n / d ), IF ( d > 0 && ..., n / d ), SWITCH ( TRUE (), d = 0, 0, n / d ).

The suggested rewrite changes what the formula returns where the denominator
is 0 or blank, which is usually the point; review it.
"""
    wrong = """
[Profit] / [Sales Amount]
"""
    right = """
DIVIDE ( [Profit], [Sales Amount] )
"""
    fixes = "unsafe"
    nodes = (Binary,)

    def visit(self, node: Node, parent: Node | None, context: LintContext) -> None:
        assert isinstance(node, Binary)
        if node.op != "Div":
            return
        if not _never_zero(node.right, context):
            context.scratch(self).append(node)

    def finish(self, context: LintContext) -> None:
        divisions: list[Binary] = context.scratch(self)
        if not divisions:
            return
        guarded = _guarded(context.tree, {id(node) for node in divisions}, context)
        for node in divisions:
            if id(node) in guarded:
                continue
            replacement = FunctionCall(name="DIVIDE", args=(unwrap(node.left), unwrap(node.right)))
            context.report(
                self, context.operator_span(node.left, node.right),
                "division with `/` by an expression that may be zero or blank",
                hint="DIVIDE ( numerator, denominator ) returns BLANK where `/` would fail",
                fix=_fix(node, replacement, "write DIVIDE ( numerator, denominator )", safe=False),
            )


def _never_zero(expr: Expr, context: LintContext) -> bool:
    """Whether `expr` cannot be 0 or blank: a non-zero constant, a power of
    one (POWER ( 10, n )), or EXP ( x )."""
    value = constant_number(expr, context)
    if value is not None:
        return value != 0
    expr = unwrap(expr)
    if not isinstance(expr, FunctionCall):
        return False
    name = expr.name.upper()
    if name == "POWER" and len(expr.args) == 2:
        base = constant_number(expr.args[0], context)
        return base is not None and base != 0
    return name == "EXP" and len(expr.args) == 1


# Comparisons read with the denominator on the left: how the operator turns
# when the operands swap sides.
_MIRRORED = {"Gt": "Lt", "Lt": "Gt", "Gte": "Lte", "Lte": "Gte", "Eq": "Eq", "StrictEq": "StrictEq", "Neq": "Neq"}


def _rules_out_zero(op: str, bound: float) -> bool:
    """Whether `d <op> bound` being true means d is not 0."""
    return ((op == "Neq" and bound == 0) or (op in ("Eq", "StrictEq") and bound != 0) or (op == "Gt" and bound >= 0)
            or (op == "Gte" and bound > 0) or (op == "Lt" and bound <= 0) or (op == "Lte" and bound < 0))


def _includes_zero(op: str, bound: float) -> bool:
    """Whether `d <op> bound` is true whenever d is 0 (so its being false
    means d is not 0)."""
    return ((op == "Eq" and bound == 0) or (op == "Lte" and bound >= 0) or (op == "Lt" and bound > 0)
            or (op == "Gte" and bound <= 0) or (op == "Gt" and bound < 0))


def _proves_nonzero(condition: Expr, when: bool, denominator: Expr, context: LintContext) -> bool:
    """Whether `condition` being `when` (True or False) proves that
    `denominator` is not 0: a comparison of it with a constant, alone or
    in AND, OR and NOT as the truth value allows."""
    work = [(condition, when)]
    while work:
        expr, value = work.pop()
        expr = unwrap(expr)
        if isinstance(expr, Unary) and expr.op == "Not":
            work.append((expr.expr, not value))
        elif isinstance(expr, FunctionCall):
            name = expr.name.upper()
            if name == "NOT" and len(expr.args) == 1:
                work.append((expr.args[0], not value))
            elif name == ("AND" if value else "OR") and len(expr.args) == 2:
                work += [(side, value) for side in expr.args]
        elif isinstance(expr, Binary) and expr.op == ("And" if value else "Or"):
            # Both sides true (or both false): either may prove it.
            work += [(expr.left, value), (expr.right, value)]
        elif isinstance(expr, Binary) and expr.op in _MIRRORED:
            if unwrap(expr.left) == denominator:
                op, other = str(expr.op), expr.right
            elif unwrap(expr.right) == denominator:
                op, other = _MIRRORED[expr.op], expr.left
            else:
                continue
            # `d = BLANK ()` is true for 0 as well: as good as `d = 0` here.
            bound = 0.0 if op in ("Eq", "Neq") and _is_blank(other) else constant_number(other, context)
            if bound is not None and (_rules_out_zero(op, bound) if value else _includes_zero(op, bound)):
                return True
        if value and expr == denominator:
            return True  # IF ( d, n / d ): a true d is not 0
    return False


def _guarded(root: Node, divisions: set[int], context: LintContext) -> set[int]:
    """The divisions (by id) that an IF around them keeps from a zero
    denominator: IF ( d <> 0, n / d ), IF ( d = 0, BLANK (), n / d ). One
    walk down the tree, carrying the conditions known on the way."""
    guarded: set[int] = set()
    # (node, the (condition, its truth value) pairs that hold there)
    work: list[tuple[Node, tuple[tuple[Expr, bool], ...]]] = [(root, ())]
    while work:
        node, known = work.pop()
        if known and id(node) in divisions:
            assert isinstance(node, Binary)
            denominator = unwrap(node.right)
            if any(_proves_nonzero(condition, value, denominator, context) for condition, value in known):
                guarded.add(id(node))
        name = node.name.upper() if isinstance(node, FunctionCall) else None
        if isinstance(node, FunctionCall) and (name == "IF" or name == "IF.EAGER") and len(node.args) >= 2:
            condition = node.args[0]
            work.append((condition, known))
            work.append((node.args[1], known + ((condition, True),)))
            work.extend((argument, known + ((condition, False),)) for argument in node.args[2:3])
        elif isinstance(node, FunctionCall) and name == "SWITCH" and len(node.args) >= 3:
            work += _switch_branches(node, known)
        else:
            work.extend((child, known) for child in node.children())
    return guarded


def _switch_branches(
    switch: FunctionCall, known: tuple[tuple[Expr, bool], ...]
) -> list[tuple[Node, tuple[tuple[Expr, bool], ...]]]:
    """The arguments of SWITCH ( value, match, result, ..., [else] ), each
    with what holds where it is evaluated: a result is reached when its match
    is the first that holds (SWITCH ( TRUE (), condition, result, ... ) reads
    the matches as conditions, any other value as `value = match`); the else
    when none does."""
    value, args = switch.args[0], switch.args[1:]
    by_condition = isinstance(unwrap(value), Boolean) or function_name(unwrap(value)) == "TRUE"
    steps: list[tuple[Node, tuple[tuple[Expr, bool], ...]]] = [(value, known)]
    failed: tuple[tuple[Expr, bool], ...] = ()
    for index in range(0, len(args) - 1, 2):
        match, result = args[index], args[index + 1]
        condition = match if by_condition else Binary(op="Eq", left=value, right=match)
        steps.append((match, known + failed))
        steps.append((result, known + failed + ((condition, True),)))
        failed += ((condition, False),)
    if len(args) % 2:
        steps.append((args[-1], known + failed))
    return steps


@register
class OneMinusRatio(LintRule):
    code = "DAX203"
    name = "one-minus-ratio"
    category = "performance"
    summary = "`1 - a / b` (or `1 + a / b`, `a / b - 1`) where DIVIDE states the intent."
    explanation = """
`1 - a / b` is never blank: where there is no data for the ratio it is still
1, so a visual that shows the measure gets a row for every combination of the
columns on it, also those without data, and computes all of them. Writing the
difference as one ratio, DIVIDE ( b - a, b ), gives BLANK where b is blank and
says what is meant: the share that a is not of b. The same holds for
`1 + a / b`, `a / b - 1` and `a / b + 1`, and for DIVIDE ( a, b ) in place of
`a / b`. A ratio over a constant, `1 - a / 100`, is not reported: no
rewrite makes it blank. The rewrite evaluates b twice: keep it in a variable
when it is costly.
"""
    wrong = """
1 - [Cost] / [Sales Amount]
"""
    right = """
DIVIDE ( [Sales Amount] - [Cost], [Sales Amount] )
"""
    fixes = "unsafe"

    def finish(self, context: LintContext) -> None:
        for node in result_expressions(context):
            if isinstance(node, Binary) and (node.op == "Add" or node.op == "Sub"):
                self._check(node, context)

    def _check(self, node: Binary, context: LintContext) -> None:
        ratio = _ratio(node.right)
        one_first = ratio is not None and constant_number(node.left, context) == 1.0
        if not one_first:
            ratio = _ratio(node.left)
            if ratio is None or constant_number(node.right, context) != 1.0:
                return
        assert ratio is not None
        a, b = ratio
        if constant_number(b, context) is not None:
            return  # a / 100 is never blank for want of a denominator
        sign = "-" if node.op == "Sub" else "+"
        first, second = (b, a) if one_first else (a, b)  # 1 - a / b: b - a; a / b - 1: a - b
        numerator = Binary(op=node.op, left=first, right=second)
        shown = f"DIVIDE ( {_shown(first)} {sign} {_shown(second)}, {_shown(b)} )"
        replacement = FunctionCall(name="DIVIDE", args=(numerator, b))
        assert node.span is not None
        context.report(
            self, node.span, "a constant 1 added to a ratio makes the result never blank",
            hint=f"write {shown}, which is blank where {_shown(b)} is",
            fix=_fix(node, replacement, f"write {shown}", safe=False),
        )


# Operands longer than this are named by a letter in messages.
_SHOWN_WIDTH = 30


def _shown(expr: Expr) -> str:
    """An operand as a message shows it: its text, or `x` when long."""
    text = " ".join(expr.text.split())
    return text if len(text) <= _SHOWN_WIDTH else "x"


def _ratio(expr: Expr) -> tuple[Expr, Expr] | None:
    """(a, b) of `a / b` or DIVIDE ( a, b ), in parentheses or not."""
    expr = unwrap(expr)
    if isinstance(expr, Binary) and expr.op == "Div":
        return unwrap(expr.left), unwrap(expr.right)
    if function_name(expr) == "DIVIDE":
        assert isinstance(expr, FunctionCall)
        if len(expr.args) == 2:
            return expr.args[0], expr.args[1]
    return None


def _is_blank(expr: Expr) -> bool:
    expr = unwrap(expr)
    return isinstance(expr, Blank) or (isinstance(expr, FunctionCall) and expr.name.upper() == "BLANK" and not expr.args)


@register
class BlankComparison(LintRule):
    code = "DAX204"
    name = "blank-comparison"
    category = "correctness"
    summary = "`= BLANK ()` or `<> BLANK ()` where ISBLANK or `==` says what is meant."
    explanation = """
The `=` operator converts BLANK before it compares: `x = BLANK ()` is TRUE
when x is blank, but also when x is 0, an empty string or FALSE, and
`x <> BLANK ()` is FALSE for all of them. To test for a blank alone, write
ISBLANK ( x ) (or NOT ISBLANK ( x )); to compare strictly, `x == BLANK ()`.
Where treating 0 like a blank is what is meant, say so: x = 0 || ISBLANK ( x ).

A value that is plainly text (a string, `&`, a text function, a text column
of the model, SELECTEDVALUE or LOOKUPVALUE of one, a variable holding one)
is not reported: for text, `= BLANK ()` is true for a blank and an empty
string, which is what such a test means, and ISBLANK would change the
result for the empty string.
"""
    wrong = """
IF ( [Sales Amount] = BLANK (), "no sales" )
"""
    right = """
IF ( ISBLANK ( [Sales Amount] ), "no sales" )
"""
    fixes = "unsafe"
    nodes = (Binary,)

    def visit(self, node: Node, parent: Node | None, context: LintContext) -> None:
        assert isinstance(node, Binary)
        if node.op != "Eq" and node.op != "Neq":
            return
        if _is_blank(node.right):
            value = node.left
        elif _is_blank(node.left):
            value = node.right
        else:
            return
        if _is_text(value, context):
            return
        test: Expr = FunctionCall(name="ISBLANK", args=(unwrap(value),))
        x = _shown(unwrap(value))
        if node.op == "Eq":
            message = "`= BLANK ()` is also true for 0, an empty string and FALSE"
            hint = f"write ISBLANK ( {x} ) to test for a blank alone, or {x} == BLANK () to compare strictly"
            description = f"write ISBLANK ( {x} )"
        else:
            message = "`<> BLANK ()` is also false for 0, an empty string and FALSE"
            hint = f"write NOT ISBLANK ( {x} ) to test for a blank alone"
            test = Unary(op="Not", expr=test)
            description = f"write NOT ISBLANK ( {x} )"
        assert node.span is not None
        context.report(self, node.span, message, hint=hint,
                       fix=_fix(node, in_place(test, parent), description, safe=False))


# Functions whose result is text whatever their arguments.
_TEXT_FUNCTIONS = frozenset({
    "COMBINEVALUES", "CONCATENATE", "CONCATENATEX", "CUSTOMDATA", "FIXED", "FORMAT", "LEFT", "LOWER", "MID", "PATH",
    "REPLACE", "REPT", "RIGHT", "SELECTEDMEASUREFORMATSTRING", "SELECTEDMEASURENAME", "SUBSTITUTE", "TRIM",
    "UNICHAR", "UPPER", "USERCULTURE", "USERNAME", "USEROBJECTID", "USERPRINCIPALNAME",
})
# Functions whose result is the value of the column in their first argument.
_VALUE_OF_COLUMN = frozenset({"SELECTEDVALUE", "LOOKUPVALUE", "MIN", "MAX", "MINA", "MAXA"})
# How many nodes `_is_text` looks at before it gives up.
_MAX_TEXT_NODES = 64


def _is_text(expr: Expr, context: LintContext) -> bool:
    """Whether `expr` is plainly text (or blank): a string, `&`, a text
    function, a column the model says holds text (also as SELECTEDVALUE,
    LOOKUPVALUE, MIN or MAX of it, with text for the alternate result), a
    variable holding such a value, or IF, SWITCH or COALESCE whose every
    result is one."""
    work = [expr]
    budget = _MAX_TEXT_NODES
    while work:
        budget -= 1
        if budget < 0:
            return False
        node = unwrap(work.pop())
        name = function_name(node)
        if isinstance(node, (String, Blank)) or (isinstance(node, Binary) and node.op == "Concat"):
            continue
        if isinstance(node, VarBlock):
            work.append(node.body)
        elif isinstance(node, Identifier):
            binding = context.resolve(node.name)
            if binding is None or binding.value is None:
                return False
            work.append(binding.value)
        elif isinstance(node, (TableColumnRef, BracketRef)):
            found = context.resolution_of(node)
            target = found.target if found is not None else None
            if not isinstance(target, Column) or target.data_type != "string":
                return False
        elif isinstance(node, FunctionCall) and name is not None:
            if name in _TEXT_FUNCTIONS or (name == "BLANK" and not node.args):
                continue
            if name in _VALUE_OF_COLUMN and node.args:
                # LOOKUPVALUE ( result, search, value, ..., [alternate] ): an
                # odd count of arguments past the first ends with the alternate
                alternate = node.args[1:2] if name == "SELECTEDVALUE" else (
                    node.args[-1:] if name == "LOOKUPVALUE" and len(node.args) % 2 == 0 else ())
                if name in ("MIN", "MAX", "MINA", "MAXA") and len(node.args) != 1:
                    return False
                work.extend((node.args[0], *alternate))
            elif name in ("IF", "IF.EAGER") and len(node.args) >= 2:
                work.extend(node.args[1:3])
            elif name == "SWITCH" and len(node.args) >= 3:
                work.extend(node.args[2::2])
                if len(node.args) % 2 == 0:
                    work.append(node.args[-1])
            elif name == "COALESCE":
                work.extend(node.args)
            else:
                return False
        else:
            return False
    return True


@register
class AddZero(LintRule):
    code = "DAX107"
    name = "add-zero"
    category = "performance"
    summary = "A measure's result with 0 added to it, to show 0 instead of blank."
    explanation = """
Adding 0 to a measure's result turns BLANK into 0, so the measure is never
blank: a visual that shows it gets a row for every combination of the columns
on it, also those without data, and computes all of them. Leave blank results
blank; where a 0 must show, show it only for the rows that should have one
(for example IF ( NOT ISEMPTY ( Sales ), [Sales Amount] + 0 ) limited to the
items that exist). Only the result of a measure (or of an expression file) is
looked at: adding 0 inside an expression, or in a calculated column, has no
such cost.

Adding `0 * x` is the same where x is a constant, and where x is not, it
still turns BLANK into 0 wherever x has a value: `[Sales Amount] + 0 *
COUNTROWS ( 'Date' )` is never blank for any date.
"""
    wrong = """
SUM ( Sales[Amount] ) + 0
"""
    right = """
SUM ( Sales[Amount] )
"""

    def finish(self, context: LintContext) -> None:
        for result in result_expressions(context):
            if not isinstance(result, Binary) or result.op != "Add":
                continue
            left, right = _zero_term(result.left, context), _zero_term(result.right, context)
            if (left is None) == (right is None):
                continue
            operator = context.operator_span(result.left, result.right)
            zero = result.right if right is not None else result.left
            assert zero.span is not None
            span = Span(operator.start, zero.span.end) if right is not None else Span(zero.span.start, operator.end)
            factor = right if right is not None else left
            if isinstance(factor, Expr):
                shown = _shown(factor)
                message = f"adding 0 * {shown} makes the measure's result 0 wherever {shown} is not blank"
            else:
                message = "adding 0 makes the measure's result never blank"
            context.report(self, span, message, hint="leave blank results blank, or add 0 only where a row should show")


def _zero_term(expr: Expr, context: LintContext) -> Expr | bool | None:
    """What adding `expr` adds: None when it is no written 0; True for a 0
    (`0`, or `0 * c` for a constant c); for `0 * x` (or `x * 0`) where x is
    no constant, x, which makes the term 0 only where x is not blank."""
    expr = unwrap(expr)
    if _is_literal(expr):
        return True if constant_number(expr, context) == 0.0 else None
    if isinstance(expr, Binary) and expr.op == "Mul":
        for zero, factor in ((expr.left, expr.right), (expr.right, expr.left)):
            if _is_literal(zero) and constant_number(zero, context) == 0.0:
                return True if constant_number(factor, context) is not None else unwrap(factor)
    return None


def _is_literal(expr: Expr) -> bool:
    return isinstance(unwrap(expr), Number)


def _fix(node: Node, replacement: Node, description: str, *, safe: bool) -> Fix | None:
    if node.span is None:
        return None
    return Fix(description, (Edit(node.span, replacement),), safe)
