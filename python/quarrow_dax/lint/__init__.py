"""The linter: rules over syntax trees, each with a stable code, reported
as diagnostics.

    from quarrow_dax.lint import lint_text

    for finding in lint_text("IF ( [Sales] = BLANK (), 0, [Margin] / [Sales] )"):
        print(finding.code, finding.column, finding.message)

`lint_text` lints one DAX text, `lint_file` one file, `lint_model` every
formula of a tabular model, `lint_report` a report's own DAX and
`lint_tree` a tree already parsed. The rules
(`CATALOGUE`, by code) look at the tree, never at the text, so that a
string or a comment never looks like code to them; `LintConfig` selects
them and sets their severities (read from `pyproject.toml` or
`quarrow-dax.toml` by `find_config`), and comments such as
`-- quarrow-dax: ignore[DAX101]` silence them where they are. Findings are
`Finding`s: diagnostics (see `quarrow_dax.diagnostics`) that may carry a
`Fix`, a proposed edit of the text as data; `quarrow_dax.lint.fixes` makes
them. In a model, the rules that look up names (`LintRule.models_only`) see
every reference resolved as `check` resolves it.
"""

from .config import ConfigError, ConfigFinder, LintConfig, find_config, load_config, parse_selectors
from .context import FormulaKind, LintContext
from .engine import Finding, lint_file, lint_model, lint_report, lint_text, lint_tree
from .rule import CATALOGUE, CATEGORIES, Category, Edit, Fix, LintRule, Violation, find_rule, register
from . import rules  # importing it registers every rule

__all__ = [
    "CATALOGUE", "CATEGORIES", "Category", "ConfigError", "ConfigFinder", "Edit", "Finding", "Fix", "FormulaKind",
    "LintConfig", "LintContext", "LintRule", "Violation", "find_config", "find_rule", "lint_file", "lint_model",
    "lint_report", "lint_text", "lint_tree", "load_config", "parse_selectors", "register", "rules",
]
