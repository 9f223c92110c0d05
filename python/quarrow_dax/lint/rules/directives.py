"""Rules about the suppression comments themselves. They look at no node:
the engine reads the comments once for every rule (see
`quarrow_dax.lint.suppressions`) and reports what these rules stand for,
so that they are selected, ignored and given severities like any other."""

from __future__ import annotations

from ..rule import LintRule, register


@register
class InvalidSuppression(LintRule):
    code = "DAX005"
    name = "invalid-suppression"
    category = "maintainability"
    summary = "A suppression comment that cannot be read, or that names a rule that does not exist."
    explanation = """
A comment `-- quarrow-dax: ignore[DAX101]` silences the rules it names on
its line. One that is written otherwise (`ignore DAX101` without brackets,
`ignore[DAX101` without the closing one, an unknown word after
`quarrow-dax:`) silences nothing, and neither does a code that names no rule
(`DAX1O1` with a letter O): the finding its author meant to silence is
reported, and this finding says why the comment did not work.
"""
    wrong = """
[Profit] / [Units]  -- quarrow-dax: ignore DAX101
"""
    right = """
[Profit] / [Units]  -- quarrow-dax: ignore[DAX101]
"""


@register
class UnusedSuppression(LintRule):
    code = "DAX006"
    name = "unused-suppression"
    category = "maintainability"
    opt_in = True
    summary = "A suppression comment that silences nothing (off unless selected by its code or name)."
    explanation = """
A suppression that silences no finding is left over from an edit: the
formula changed, or the rule no longer fires there. It does no harm today,
but it would silently hide a real finding that a later edit brings to its
line. Only codes whose rule ran are judged, so a suppression of a rule that
the configuration turns off is never reported.

The rule is off unless selected by its code, a code prefix or its name
(`--select ALL,DAX006`, or `select = ["ALL", "unused-suppression"]`), as
ruff's unused-noqa is: a run that fails on any finding should not start
failing on comments that were harmless the day before.
"""
    wrong = """
SUM ( Sales[Amount] )  -- quarrow-dax: ignore[DAX101]
"""
    right = """
SUM ( Sales[Amount] )
"""
