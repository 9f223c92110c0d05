"""The linter's configuration: which rules run, on which paths, and how
severe their findings are.

It is read from the table ``[tool.quarrow-dax.lint]`` of a ``pyproject.toml``
or ``[lint]`` of a ``quarrow-dax.toml``: the first such file found in the
linted file's folder or above it (in one folder, ``quarrow-dax.toml`` comes
first; a ``pyproject.toml`` without the table is passed over)::

    [tool.quarrow-dax.lint]
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
(``use-divide``), category (``performance``) or ``ALL``. A severity given for
a code or name wins over one for a prefix, which wins over one for a
category or ALL. Path patterns are relative to the configuration's folder,
with ``/`` between folders: ``*`` matches within a name, ``**`` any number of
folders, and a pattern without ``/`` matches a file or folder name at any
depth; a folder's pattern covers everything below it.
"""

from __future__ import annotations

import functools
import os
import re
import tomllib
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, cast

from ..diagnostics import Severity
from ..sources import SourceError, is_file, read_text
from .rule import CATALOGUE, LintRule

__all__ = ["ConfigError", "ConfigFinder", "LintConfig", "find_config", "load_config", "parse_selectors"]

CONFIG_NAMES = ("quarrow-dax.toml", "pyproject.toml")
# No configuration file is anywhere near this size.
_MAX_CONFIG_SIZE = 1 << 20
_SEVERITIES: tuple[Severity, ...] = ("error", "warning", "note")
_KEYS = ("select", "ignore", "severity", "per-path-ignores", "include-generated")


class ConfigError(Exception):
    """A configuration file that cannot be used: `path`, `message` and,
    where known, the 1-based `line` and `column`."""

    def __init__(self, path: str, message: str, line: int | None = None, column: int | None = None) -> None:
        super().__init__(path, message, line, column)
        self.path = path
        self.message = message
        self.line = line
        self.column = column

    def __str__(self) -> str:
        where = self.path if self.line is None else f"{self.path}:{self.line}"
        return f"{where}: {self.message}"


# --- selectors -----------------------------------------------------------------


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
        _specificity(selector, rule) is not None for rule in CATALOGUE.values()
    )


def parse_selectors(text: str) -> tuple[str, ...]:
    """The selectors of a comma-separated list, as the command line takes
    them; raises ValueError naming one that selects no rule."""
    selectors = tuple(part.strip() for part in text.split(",") if part.strip())
    for selector in selectors:
        if not _known(selector):
            raise ValueError(f"no rule is selected by {selector!r}")
    return selectors


# --- path patterns -------------------------------------------------------------


@functools.lru_cache(maxsize=256)
def _pattern(glob: str) -> re.Pattern[str]:
    glob = glob.replace("\\", "/").strip("/") if glob not in ("/", "") else glob
    anchored = "/" in glob
    out = []
    index = 0
    while index < len(glob):
        if glob.startswith("**/", index):
            out.append("(?:.*/)?")
            index += 3
        elif glob.startswith("**", index):
            out.append(".*")
            index += 2
        elif glob[index] == "*":
            out.append("[^/]*")
            index += 1
        elif glob[index] == "?":
            out.append("[^/]")
            index += 1
        else:
            out.append(re.escape(glob[index]))
            index += 1
    return re.compile(("" if anchored else "(?:.*/)?") + "".join(out) + "(?:/.*)?", re.DOTALL)


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
        """Raises ValueError for a selector that selects no rule or an unknown severity."""
        selectors = [*self.select, *self.ignore, *(s for s, _ in self.severity)]
        selectors += [s for _, group in self.per_path_ignores for s in group]
        for selector in selectors:
            if not _known(selector):
                raise ValueError(f"no rule is selected by {selector!r}")
        for _, level in self.severity:
            if level not in _SEVERITIES:
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
                relative = Path(os.path.relpath(key, self.root or os.getcwd())).as_posix()
                for pattern, selectors in self.per_path_ignores:
                    if _pattern(pattern).fullmatch(relative):
                        ignored.extend(selectors)
            rules = tuple(
                rule for rule in CATALOGUE.values()
                if _selected(rule, self.select) and not _selected(rule, ignored)
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


def _selected(rule: LintRule, selectors: Iterable[str]) -> bool:
    return any(_specificity(selector, rule) is not None for selector in selectors)


# --- reading -------------------------------------------------------------------


def _line_of(text: str, key: str) -> int | None:
    match = re.search(rf"^[ \t]*[\"']?{re.escape(key)}[\"']?[ \t]*=", text, re.MULTILINE)
    return None if match is None else text.count("\n", 0, match.start()) + 1


def _strings(value: object, where: str, path: str, line: int | None) -> tuple[str, ...]:
    if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
        raise ConfigError(path, f"{where} must be a list of strings", line)
    return tuple(value)


def _table(data: Mapping[str, Any], is_pyproject: bool) -> Mapping[str, Any] | None:
    keys = ("tool", "quarrow-dax", "lint") if is_pyproject else ("lint",)
    value: Any = data
    for key in keys:
        if not isinstance(value, Mapping) or key not in value:
            return None
        value = value[key]
    if not isinstance(value, Mapping):
        return {"": value}  # reported as what it is below
    return cast(Mapping[str, Any], value)


def load_config(path: str | os.PathLike[str]) -> LintConfig:
    """The configuration in the file `path` (a pyproject.toml or a
    quarrow-dax.toml); the default one when the file has no lint table.
    Raises ConfigError."""
    shown = os.fspath(path)
    try:
        text = read_text(path, max_size=_MAX_CONFIG_SIZE)
    except SourceError as error:
        raise ConfigError(shown, error.message, error.line, error.column) from None
    return _parse(text, shown)


def _parse(text: str, shown: str) -> LintConfig:
    is_pyproject = Path(shown).name == "pyproject.toml"
    section = "[tool.quarrow-dax.lint]" if is_pyproject else "[lint]"
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        message = str(error)
        if message.endswith(" (at end of document)"):
            raise ConfigError(shown, f"invalid TOML: {message[: -len(' (at end of document)')]} at the end",
                              text.count("\n") + 1) from None
        at = re.search(r" \(at line (\d+), column (\d+)\)$", message)
        if at is None:
            raise ConfigError(shown, f"invalid TOML: {message}") from None
        raise ConfigError(shown, f"invalid TOML: {message[: at.start()]}", int(at.group(1)), int(at.group(2))) from None
    table = _table(data, is_pyproject)
    root = str(Path(shown).resolve().parent)
    if table is None:
        return LintConfig(root=root, path=shown)
    for key in table:
        if key not in _KEYS:
            raise ConfigError(shown, f"{section} has no setting {key!r} (it has {', '.join(_KEYS)})",
                              _line_of(text, key))
    settings: dict[str, Any] = {}
    for key in ("select", "ignore"):
        if key in table:
            line = _line_of(text, key)
            settings[key] = _strings(table[key], key, shown, line)
            _check_selectors(settings[key], key, shown, line)
    if "severity" in table:
        line = _line_of(text, "severity")
        levels = table["severity"]
        if not isinstance(levels, Mapping) or not all(isinstance(v, str) for v in levels.values()):
            raise ConfigError(shown, 'severity must be a table of rules and severities, such as { DAX101 = "error" }',
                              line)
        _check_selectors(levels, "severity", shown, line)
        for level in levels.values():
            if level not in _SEVERITIES:
                raise ConfigError(shown, f"severity: not a severity: {level!r} (error, warning or note)", line)
        settings["severity"] = tuple((selector, cast(Severity, level)) for selector, level in levels.items())
    if "per-path-ignores" in table:
        line = _line_of(text, "per-path-ignores")
        groups = table["per-path-ignores"]
        if not isinstance(groups, Mapping):
            raise ConfigError(shown, 'per-path-ignores must be a table of patterns and rules, such as { "old/**" = '
                              '["DAX101"] }', line)
        ignores = []
        for pattern, selectors in groups.items():
            where = f"per-path-ignores {pattern!r}"
            ignores.append((pattern, _strings(selectors, where, shown, line)))
            _check_selectors(ignores[-1][1], where, shown, line)
        settings["per_path_ignores"] = tuple(ignores)
    if "include-generated" in table:
        if not isinstance(table["include-generated"], bool):
            raise ConfigError(shown, "include-generated must be true or false", _line_of(text, "include-generated"))
        settings["include_generated"] = table["include-generated"]
    return LintConfig(**settings, root=root, path=shown)


def _check_selectors(selectors: Iterable[str], where: str, path: str, line: int | None) -> None:
    for selector in selectors:
        if not _known(selector):
            raise ConfigError(path, f"{where}: no rule is selected by {selector!r}", line)


def _has_lint_table(path: Path) -> bool:
    """Whether a pyproject.toml holds the lint table; one that cannot be
    read or parsed, yet names the tool, counts (reading it again reports
    why it cannot be used)."""
    try:
        text = read_text(path, max_size=_MAX_CONFIG_SIZE)
    except SourceError:
        return True
    if "quarrow-dax" not in text:
        return False
    try:
        return _table(tomllib.loads(text), True) is not None
    except tomllib.TOMLDecodeError:
        return True


def _config_file(folder: Path) -> Path | None:
    for name in CONFIG_NAMES:
        candidate = folder / name
        if is_file(candidate) and (name != "pyproject.toml" or _has_lint_table(candidate)):
            return candidate
    return None


def _shown(path: Path) -> str:
    relative = os.path.relpath(path)
    return path.as_posix() if relative.startswith("..") else Path(relative).as_posix()


def find_config(path: str | os.PathLike[str]) -> LintConfig:
    """The configuration that governs `path` (a file or folder): the first
    configuration file found from its folder upward, or the default.
    Raises ConfigError."""
    return ConfigFinder().config_for(path)


class ConfigFinder:
    """Finds the configuration of many paths, reading each folder and each
    file once. With `explicit`, that file governs every path."""

    def __init__(self, explicit: str | None = None) -> None:
        self.explicit = explicit
        self._by_folder: dict[Path, Path | None] = {}
        self._by_file: dict[Path, LintConfig | ConfigError] = {}

    def config_for(self, path: str | os.PathLike[str]) -> LintConfig:
        """Raises ConfigError, the same one each time for the same file."""
        if self.explicit is not None:
            return self._load(Path(self.explicit))
        start = Path(os.path.abspath(path))
        folder = start if start.is_dir() else start.parent
        visited: list[Path] = []
        found: Path | None = None
        for candidate in (folder, *folder.parents):
            if candidate in self._by_folder:
                found = self._by_folder[candidate]
                break
            visited.append(candidate)
            found = _config_file(candidate)
            if found is not None:
                break
        for candidate in visited:
            self._by_folder[candidate] = found
        return LintConfig() if found is None else self._load(found)

    def _load(self, file: Path) -> LintConfig:
        key = file.resolve()
        result = self._by_file.get(key)
        if result is None:
            try:
                result = load_config(_shown(file) if file.is_absolute() else file)
            except ConfigError as error:
                result = error
            self._by_file[key] = result
        if isinstance(result, ConfigError):
            raise result
        return result
