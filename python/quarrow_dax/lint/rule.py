"""What a lint rule is: its entry in the catalogue (a stable code, a name, a
category, a default severity, documentation with a wrong and a right
example) and what it reports, a `Violation` with an optional `Fix`.

A fix is data: edits that each replace the source text of one span by a
node (printed as DAX when the fix is applied) or delete it. Nothing here
applies fixes; a rule only proposes them, so that whoever applies them can
print the replacement in its own style, parse the result and lint it again.
"""

from __future__ import annotations

import textwrap
from dataclasses import dataclass
from typing import TYPE_CHECKING, ClassVar, Literal, TypeVar

from ..diagnostics import RULES, Rule, Severity
from ..syntax import Node, Span

if TYPE_CHECKING:
    from .context import LintContext

__all__ = ["CATALOGUE", "CATEGORIES", "Category", "Edit", "Fix", "LintRule", "Violation", "find_rule", "register"]

Category = Literal["correctness", "performance", "maintainability", "style"]
CATEGORIES: tuple[Category, ...] = ("correctness", "performance", "maintainability", "style")


@dataclass(frozen=True)
class Edit:
    """Replaces the source text at `span` by `replacement` printed as DAX;
    a `replacement` of None deletes the text."""

    span: Span
    replacement: Node | None


@dataclass(frozen=True)
class Fix:
    """What would settle a finding: `edits` that do not overlap, described
    in a few words. `safe`: whether the formula means exactly the same after
    it (only then may a tool apply it without being asked)."""

    description: str
    edits: tuple[Edit, ...]
    safe: bool


@dataclass(frozen=True)
class Violation:
    """One finding of one rule in the text being linted, before the
    configuration and the suppressions decide whether it is reported."""

    code: str
    span: Span
    message: str
    hint: str | None = None
    fix: Fix | None = None


class LintRule:
    """The base of every rule. A rule names the node classes it looks at
    (`nodes`); `visit` is called for each such node of the tree, in source
    order, while the context knows which variables and parameters are in
    scope there; `finish` is called once the whole tree has been seen. Both
    report through `context.report`. A rule keeps no state of its own
    between calls: what it gathers over one tree belongs in
    `context.scratch(self)`."""

    code: ClassVar[str]
    name: ClassVar[str]
    category: ClassVar[Category]
    severity: ClassVar[Severity] = "warning"
    #: One sentence: what the rule finds.
    summary: ClassVar[str]
    #: Why it matters and what to write instead, in a paragraph or two.
    explanation: ClassVar[str]
    #: DAX on which the rule fires, and the same written as the rule asks.
    wrong: ClassVar[str]
    right: ClassVar[str]
    #: What its fixes are: "safe" (the meaning stays), "unsafe" (a
    #: suggestion to review), or None (it proposes none).
    fixes: ClassVar[Literal["safe", "unsafe"] | None] = None
    #: Whether the rule looks up names in a model, and so fires only on a
    #: model's formulas.
    models_only: ClassVar[bool] = False
    #: Whether the rule is off unless asked for by its code, a code prefix
    #: or its name: `ALL` and the categories, which the default selects,
    #: leave it out.
    opt_in: ClassVar[bool] = False
    nodes: ClassVar[tuple[type[Node], ...]] = ()

    def visit(self, node: Node, parent: Node | None, context: LintContext) -> None:
        """Looks at one node of a class in `nodes`."""

    def finish(self, context: LintContext) -> None:
        """Looks at what was gathered over the whole tree."""

    def explain(self) -> str:
        """The documentation `quarrow-dax lint --explain` prints."""
        fixes = {
            "safe": "a fix that keeps the meaning",
            "unsafe": "a suggested rewrite, to review: it changes what the formula returns in some cases",
            None: "none",
        }[self.fixes]
        paragraphs = [textwrap.fill(paragraph, 88) for paragraph in self.explanation.strip().split("\n\n")]
        where = ", models only" if self.models_only else ""
        where += ", off unless selected by its code or name" if self.opt_in else ""
        return "\n".join([
            f"{self.code} {self.name} ({self.category}, {self.severity} by default{where})",
            "",
            self.summary,
            "",
            "\n\n".join(paragraphs),
            "",
            "Wrong:",
            "",
            textwrap.indent(self.wrong.strip("\n"), "    "),
            "",
            "Right:",
            "",
            textwrap.indent(self.right.strip("\n"), "    "),
            "",
            f"Fix: {fixes}",
        ])


#: Every rule by code, in code order once the rule modules are imported.
CATALOGUE: dict[str, LintRule] = {}

R = TypeVar("R", bound=type[LintRule])


def register(cls: R) -> R:
    """Adds a rule class to the catalogue (and its code to the reporting
    layer's RULES, which the SARIF log lists)."""
    if cls.code in CATALOGUE or any(rule.name == cls.name for rule in CATALOGUE.values()):
        raise ValueError(f"a rule {cls.code} or {cls.name} is in the catalogue already")
    if cls.category not in CATEGORIES:
        raise ValueError(f"{cls.code}: unknown category {cls.category!r}")
    CATALOGUE[cls.code] = cls()
    RULES[cls.code] = Rule(cls.code, cls.name, cls.summary, cls.severity)
    return cls



def find_rule(name: str) -> LintRule | None:
    """The rule with this code or name, in any case (DAX101, dax101,
    use-divide), or None."""
    for rule in CATALOGUE.values():
        if name.upper() == rule.code or name.lower() == rule.name:
            return rule
    return None
