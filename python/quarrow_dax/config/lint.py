"""The linter's table: which rules run, on which paths, and how severe
their findings are::

    [tool.quarrow-dax.lint]                # [lint] in a quarrow-dax.toml
    select = ["ALL"]                       # the rules that run (the default)
    ignore = ["DAX105", "style"]           # less these
    severity = { DAX101 = "error" }        # error, warning or note
    per-path-ignores = { "legacy/**" = ["DAX101"], "*.bim" = ["DAX002"] }
    include-generated = true               # also lint Power BI's own date tables

The formulas of the tables Power BI makes itself for its auto date/time
(`LocalDateTable_...`, `DateTableTemplate_...`; see `Table.generated`) are
not linted unless `include-generated` is true: nobody writes them, and a
fix to them would be undone when Power BI makes them again.

Rules are selected by code (``DAX101``), code prefix (``DAX1``), name
(``use-divide``), category (``performance``) or ``ALL``. A rule that is
off unless asked for (`LintRule.opt_in`, as unused-suppression) is
selected by its code, a code prefix or its name only: ``ALL`` and the
categories, which the default selects, leave it out. A severity given for
a code or name wins over one for a prefix, which wins over one for a
category or ALL. Path patterns are those of `quarrow_dax.config.patterns`,
relative to the configuration's folder.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any, cast

from ..diagnostics import Severity
from .patterns import matches, relative_to
from .reading import ConfigError, did_you_mean, line_of

if TYPE_CHECKING:
    from ..lint.rule import LintRule

__all__ = ["LintConfig", "lint_config", "parse_selectors"]

SEVERITIES: tuple[Severity, ...] = ("error", "warning", "note")
_KEYS = ("select", "ignore", "severity", "per-path-ignores", "include-generated")


# --- selectors -----------------------------------------------------------------


def _catalogue() -> dict[str, LintRule]:
    """The rules by code. Imported when first needed: the linter's package
    imports this module, and whichever of the two comes first, the
    catalogue is whole by the time a selector is looked at."""
    from ..lint.rule import CATALOGUE

    return CATALOGUE


def _specificity(selector: str, rule: LintRule) -> float | None:
    """How closely `selector` names `rule` (higher: closer), or None when it
    does not name it."""
    word = selector.strip()
    upper = word.upper()
    if upper == rule.code or word.lower() == rule.name:
        return 3.0
    if upper.startswith("DAX") and rule.code.startswith(upper):
        return 2.0 + len(upper) / 100  # DAX10 is closer than DAX1
    if word.lower() == rule.category:
        return 1.0
    if upper == "ALL":
        return 0.0
    return None


def _known(selector: str) -> bool:
    return selector.strip().upper() == "ALL" or any(
        _specificity(selector, rule) is not None for rule in _catalogue().values()
    )


def _unknown_selector(selector: str) -> str:
    catalogue = _catalogue()
    words = [*catalogue, *(rule.name for rule in catalogue.values())]
    return f"no rule is selected by {selector!r}{did_you_mean(selector.strip(), words)}"


def parse_selectors(text: str) -> tuple[str, ...]:
    """The selectors of a comma-separated list, as the command line takes
    them; raises ValueError naming one that selects no rule, or for a list
    that names none (an empty `--select=` is a slip, not a wish for no
    rules)."""
    selectors = tuple(part.strip() for part in text.split(",") if part.strip())
    if not selectors:
        raise ValueError("names no rule; give codes, names or categories separated by commas")
    for selector in selectors:
        if not _known(selector):
            raise ValueError(_unknown_selector(selector))
    return selectors


def _selected(rule: LintRule, selectors: Iterable[str], selecting: bool = True) -> bool:
    """Whether `selectors` name the rule; when `selecting`, a rule that is
    off unless asked for needs its code, a prefix or its name."""
    least = 2.0 if selecting and rule.opt_in else 0.0
    for selector in selectors:
        closeness = _specificity(selector, rule)
        if closeness is not None and closeness >= least:
            return True
    return False


# --- the configuration ---------------------------------------------------------


@dataclass(frozen=True)
class LintConfig:
    """Which rules run and how severe their findings are. `root` is the
    folder that path patterns are relative to (None: the current folder) and
    `path` the file the configuration was read from, if any."""

    select: tuple[str, ...] = ("ALL",)
    ignore: tuple[str, ...] = ()
    severity: tuple[tuple[str, Severity], ...] = ()
    per_path_ignores: tuple[tuple[str, tuple[str, ...]], ...] = ()
    include_generated: bool = False
    root: str | None = None
    path: str | None = None
    _rules: dict[str | None, tuple[LintRule, ...]] = field(default_factory=dict, init=False, repr=False,
                                                          compare=False)

    def __post_init__(self) -> None:
        """Raises ValueError for a selector that selects no rule, an empty
        selection or an unknown severity."""
        if not self.select:
            raise ValueError("select names no rule")
        selectors = [*self.select, *self.ignore, *(s for s, _ in self.severity)]
        selectors += [s for _, group in self.per_path_ignores for s in group]
        for selector in selectors:
            if not _known(selector):
                raise ValueError(_unknown_selector(selector))
        for _, level in self.severity:
            if level not in SEVERITIES:
                raise ValueError(f"not a severity: {level!r} (error, warning or note)")

    def overridden(self, select: Iterable[str] | None = None, ignore: Iterable[str] = ()) -> LintConfig:
        """This configuration with `select` in place of its own (when given)
        and `ignore` added to its own, as the command line asks."""
        return replace(self, select=self.select if select is None else tuple(select),
                       ignore=self.ignore + tuple(ignore))

    def rules_for(self, path: str | None = None) -> tuple[LintRule, ...]:
        """The rules that run on the file `path` (None: no path)."""
        key = None if path is None else os.path.abspath(path)
        rules = self._rules.get(key)
        if rules is None:
            ignored = list(self.ignore)
            if key is not None and self.per_path_ignores:
                relative = relative_to(key, self.root)
                for pattern, selectors in self.per_path_ignores:
                    if matches(pattern, relative):
                        ignored.extend(selectors)
            rules = tuple(
                rule for rule in _catalogue().values()
                if _selected(rule, self.select) and not _selected(rule, ignored, selecting=False)
            )
            self._rules[key] = rules
        return rules

    def severity_of(self, rule: LintRule) -> Severity:
        """The severity of the rule's findings: the most specific setting, else the rule's default."""
        best: tuple[float, Severity] | None = None
        for selector, level in self.severity:
            closeness = _specificity(selector, rule)
            if closeness is not None and (best is None or closeness >= best[0]):
                best = (closeness, level)
        return rule.severity if best is None else best[1]


# --- reading -------------------------------------------------------------------


def _strings(value: object, where: str, path: str, line: int | None) -> tuple[str, ...]:
    if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
        raise ConfigError(path, f"{where} must be a list of strings", line)
    return tuple(value)


def _check_selectors(selectors: Iterable[str], where: str, path: str, line: int | None) -> None:
    for selector in selectors:
        if not _known(selector):
            raise ConfigError(path, f"{where}: {_unknown_selector(selector)}", line)


def lint_config(table: Mapping[str, Any], shown: str, text: str, root: str | None, label: str) -> LintConfig:
    """The configuration a lint table holds (`label`: how the file names the
    table, `text`: the file's text, to locate errors). Raises ConfigError."""

    def line(key: str) -> int | None:
        return line_of(text, key, label)

    for key in table:
        if key not in _KEYS:
            raise ConfigError(shown, f"{label} has no setting {key!r}{did_you_mean(key, _KEYS)}"
                              f" (it has {', '.join(_KEYS)})", line(key))
    settings: dict[str, Any] = {}
    for key in ("select", "ignore"):
        if key in table:
            settings[key] = _strings(table[key], key, shown, line(key))
            _check_selectors(settings[key], key, shown, line(key))
    if "select" in settings and not settings["select"]:
        raise ConfigError(shown, "select = [] selects no rule; to lint nothing, leave the paths out of the run",
                          line("select"))
    if "severity" in table:
        levels = table["severity"]
        if not isinstance(levels, Mapping) or not all(isinstance(v, str) for v in levels.values()):
            raise ConfigError(shown, 'severity must be a table of rules and severities, such as { DAX101 = "error" }',
                              line("severity"))
        _check_selectors(levels, "severity", shown, line("severity"))
        for level in levels.values():
            if level not in SEVERITIES:
                raise ConfigError(shown, f"severity: not a severity: {level!r} (error, warning or note)",
                                  line("severity"))
        settings["severity"] = tuple((selector, cast(Severity, level)) for selector, level in levels.items())
    if "per-path-ignores" in table:
        groups = table["per-path-ignores"]
        if not isinstance(groups, Mapping):
            raise ConfigError(shown, 'per-path-ignores must be a table of patterns and rules, such as { "old/**" = '
                              '["DAX101"] }', line("per-path-ignores"))
        ignores = []
        for pattern, selectors in groups.items():
            where = f"per-path-ignores {pattern!r}"
            ignores.append((pattern, _strings(selectors, where, shown, line("per-path-ignores"))))
            _check_selectors(ignores[-1][1], where, shown, line("per-path-ignores"))
        settings["per_path_ignores"] = tuple(ignores)
    if "include-generated" in table:
        if not isinstance(table["include-generated"], bool):
            raise ConfigError(shown, "include-generated must be true or false", line("include-generated"))
        settings["include_generated"] = table["include-generated"]
    return LintConfig(**settings, root=root, path=shown)
