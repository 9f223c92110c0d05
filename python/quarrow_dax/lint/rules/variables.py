"""Rules about declared names: variables nothing uses, names declared twice
or named like a table, parameters nothing uses."""

from __future__ import annotations

from ...syntax import DefineBlock, Function, Var, VarBlock
from ..context import LintContext
from ..rule import Edit, Fix, LintRule, register
from ..scopes import Binding
from ..shapes import in_place

_VARIABLES = ("variable", "query variable")


def _unused_phrase(binding: Binding) -> str:
    if binding.uses:
        return "is used only by variables that are never used"
    return "is never used"


@register
class UnusedVariable(LintRule):
    code = "DAX002"
    name = "unused-variable"
    category = "maintainability"
    summary = "A variable that nothing after it uses."
    explanation = """
A VAR that neither the RETURN expression nor a later variable uses is dead
code: DAX never evaluates it, yet every reader has to work out that it does
not matter. It is often left over from an edit, or it hints at a mistake: the
result was meant to use it. A variable used only by other unused variables is
reported too. In a query, a VAR of the DEFINE block is unused when no
definition and no EVALUATE refers to it.
"""
    wrong = """
VAR Sold = SUM ( Sales[Quantity] )
VAR Returned = SUM ( Sales[Returned] )
RETURN
    Sold
"""
    right = """
VAR Sold = SUM ( Sales[Quantity] )
RETURN
    Sold
"""
    fixes = "safe"

    def finish(self, context: LintContext) -> None:
        scopes = context.scopes
        if not scopes.bindings:
            return
        live = scopes.live()
        dead = [b for b in scopes.bindings if b.kind in _VARIABLES and b not in live]
        # The blocks all of whose declarations are dead, found once for all
        # of them: a block of many variables must not be searched per variable.
        alive_in: set[int] = {id(b.owner) for b in scopes.bindings if b.kind not in _VARIABLES or b in live}
        # A DEFINE block with anything but VARs stays, even when they all go.
        for owner in {id(b.owner): b.owner for b in dead if isinstance(b.owner, DefineBlock)}.values():
            if not all(isinstance(d, Var) for d in owner.defs):
                alive_in.add(id(owner))
        for binding in dead:
            noun = "query variable" if binding.kind == "query variable" else "variable"
            context.report(
                self, context.name_span(binding.declaration, binding.name),
                f"{noun} `{binding.name}` {_unused_phrase(binding)}",
                hint="remove it, or use it where it was meant to be used",
                fix=_removal(binding, id(binding.owner) not in alive_in),
            )


def _removal(binding: Binding, all_dead: bool) -> Fix | None:
    """Deletes the declaration; a block all of whose declarations go
    (`all_dead`) becomes its RETURN expression, a DEFINE block that keeps
    nothing goes whole."""
    owner = binding.owner
    span = binding.declaration.span
    if span is None or owner.span is None:
        return None
    if isinstance(owner, VarBlock) and all_dead:
        replacement = in_place(owner.body, binding.owner_parent)
        return Fix("replace the VAR block by its RETURN expression", (Edit(owner.span, replacement),), safe=True)
    if isinstance(owner, DefineBlock) and all_dead:
        return Fix("remove the DEFINE block", (Edit(owner.span, None),), safe=True)
    return Fix(f"remove the declaration of `{binding.name}`", (Edit(span, None),), safe=True)


@register
class DuplicateVariable(LintRule):
    code = "DAX003"
    name = "duplicate-variable"
    category = "correctness"
    severity = "error"
    summary = "A name declared twice in one VAR block, DEFINE block or parameter list, or a variable named like a table."
    explanation = """
Within one VAR block (and within one query's DEFINE block, and one function's
parameters) every name must be different: DAX compares names without regard
to case, so `Total` and `TOTAL` are the same name. A variable may not have the
name of a table either; a model that gains a table of that name later breaks
every formula with such a variable, which is why variables are often written
with a prefix such as `_`. A nested VAR block may reuse an outer variable's
name; that is allowed and not reported.

When a model is linted, the tables are all of the model's, those that hold
no formula too (a table of imported data is a table like any other); a
query's DEFINE TABLE names count as well.
"""
    wrong = """
VAR Amount = SUM ( Sales[Amount] )
VAR amount = Amount * 1.1
RETURN
    amount
"""
    right = """
VAR Amount = SUM ( Sales[Amount] )
VAR AmountWithTax = Amount * 1.1
RETURN
    AmountWithTax
"""

    def finish(self, context: LintContext) -> None:
        scopes = context.scopes
        for later, earlier in scopes.duplicates:
            if isinstance(later.owner, Function):
                message = f"the function has two parameters named `{earlier.name}`"
            elif isinstance(later.owner, DefineBlock):
                message = f"`{later.name}` is declared twice in the DEFINE block"
            else:
                message = f"`{later.name}` is declared twice in one VAR block"
            context.report(self, context.name_span(later.declaration, later.name), message,
                           hint="names compare without regard to case: give each its own")
        if context.tables:
            for binding in scopes.bindings:
                if binding.kind in _VARIABLES and binding.key in context.tables:
                    context.report(
                        self, context.name_span(binding.declaration, binding.name),
                        f"variable `{binding.name}` has the name of a table",
                        hint=f"a variable may not be named like a table: rename it, for example `_{binding.name}`",
                    )


@register
class UnusedParameter(LintRule):
    code = "DAX004"
    name = "unused-parameter"
    category = "maintainability"
    summary = "A parameter of a user-defined function that its body does not use."
    explanation = """
A parameter that the function's body never uses makes every caller pass a
value for nothing, and often means the body uses something else where it
meant the parameter (a column or a measure written out instead). A parameter
used only by variables that are never used counts as unused.
"""
    wrong = """
DEFINE
    FUNCTION Share = ( part, total ) => DIVIDE ( part, [Sales Amount] )
EVALUATE
    { Share ( 10, 100 ) }
"""
    right = """
DEFINE
    FUNCTION Share = ( part, total ) => DIVIDE ( part, total )
EVALUATE
    { Share ( 10, 100 ) }
"""

    def finish(self, context: LintContext) -> None:
        scopes = context.scopes
        if not scopes.bindings:
            return
        live = scopes.live()
        for binding in scopes.bindings:
            if binding.kind == "parameter" and binding not in live:
                context.report(
                    self, context.name_span(binding.declaration, binding.name),
                    f"parameter `{binding.name}` {_unused_phrase(binding)}",
                    hint="use it in the body, or remove it and the values callers pass for it",
                )
