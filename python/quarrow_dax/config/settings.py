"""The settings of one configuration file: what every command reads
(`strict`, `separators`, `exclude`, `extend-exclude`, `respect-gitignore`),
the formatter's table and the linter's, each checked as it is read."""

from __future__ import annotations

import functools
import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, cast

from .patterns import matches, relative_to
from .reading import ConfigError, did_you_mean, line_of, parse_toml, table_at

if TYPE_CHECKING:
    from .lint import LintConfig

__all__ = ["DEFAULT_EXCLUDE", "Config", "FormatSettings", "parse_config"]

Separators = Literal["comma", "semicolon"]

#: Folders no DAX project keeps its own sources in, left out of every walk
#: unless `exclude` says otherwise (hidden folders, `.git` among them, are
#: never searched).
DEFAULT_EXCLUDE: tuple[str, ...] = ("node_modules", "venv", "site-packages", "__pypackages__", "__pycache__")

#: The formatter's widest indentation step, as FormatOptions accepts it.
MAX_INDENT = 16

_TOP_KEYS = ("strict", "separators", "exclude", "extend-exclude", "respect-gitignore", "format", "lint")
_FORMAT_KEYS = ("width", "indent", "space-before-paren", "separators")


@dataclass(frozen=True)
class FormatSettings:
    """The formatter's table; None where the file says nothing (the
    command line's option or the formatter's default then holds)."""

    width: int | None = None
    indent: int | None = None
    space_before_paren: bool | None = None
    separators: Separators | None = None


@dataclass(frozen=True)
class Config:
    """One configuration: `path` the file it was read from (None: the
    defaults) and `root` its folder, which path patterns are relative to
    (None: the current folder). `lint` is the linter's table, read when
    first asked for (it needs the rule catalogue)."""

    path: str | None = None
    root: str | None = None
    strict: bool = False
    separators: Separators = "comma"
    exclude: tuple[str, ...] = DEFAULT_EXCLUDE
    extend_exclude: tuple[str, ...] = ()
    respect_gitignore: bool = True
    format: FormatSettings = FormatSettings()
    #: The lint table as read, and the file's text to locate its errors.
    lint_table: Mapping[str, Any] | None = field(default=None, repr=False, compare=False)
    text: str = field(default="", repr=False, compare=False)

    @functools.cached_property
    def lint(self) -> LintConfig:
        """The linter's configuration; raises ConfigError for a lint table
        that cannot be used (the same error on every call)."""
        from .lint import LintConfig, lint_config

        if self.lint_table is None:
            return LintConfig(root=self.root, path=self.path)
        return lint_config(self.lint_table, self.path or "", self.text, self.root, self.section("lint"))

    def section(self, name: str | None = None) -> str:
        """How the file names a table of settings, for messages."""
        pyproject = self.path is not None and Path(self.path).name == "pyproject.toml"
        if name is None:
            return "[tool.quarrow-dax]" if pyproject else Path(self.path or "quarrow-dax.toml").name
        return f"[tool.quarrow-dax.{name}]" if pyproject else f"[{name}]"

    def excludes(self, path: str | os.PathLike[str]) -> bool:
        """Whether `exclude` or `extend-exclude` leaves out `path` (a file
        or folder), matched relative to the configuration's folder."""
        patterns = self.exclude + self.extend_exclude
        if not patterns:
            return False
        relative = relative_to(path, self.root)
        return any(matches(pattern, relative) for pattern in patterns)


# --- reading ---------------------------------------------------------------------


def _strings(value: object, where: str, path: str, line: int | None) -> tuple[str, ...]:
    if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
        raise ConfigError(path, f"{where} must be a list of strings", line)
    return tuple(value)


def _boolean(value: object, where: str, path: str, line: int | None) -> bool:
    if not isinstance(value, bool):
        raise ConfigError(path, f"{where} must be true or false, not {value!r}", line)
    return value


def _separators(value: object, where: str, path: str, line: int | None) -> Separators:
    if value not in ("comma", "semicolon"):
        raise ConfigError(path, f'{where} must be "comma" or "semicolon", not {value!r}', line)
    return value


def _whole(value: object, where: str, path: str, line: int | None, low: int, high: int | None) -> int:
    if type(value) is not int or value < low or (high is not None and value > high):
        wanted = f"from {low} to {high}" if high is not None else f"of {low} or more"
        raise ConfigError(path, f"{where} must be a whole number {wanted}, not {value!r}", line)
    return value


def check_keys(table: Mapping[str, Any], known: tuple[str, ...], label: str, path: str, text: str,
               header: str | None) -> None:
    """Raises ConfigError for the first key of `table` that is no setting."""
    for key in table:
        if key not in known:
            raise ConfigError(path, f"{label} has no setting {key!r}{did_you_mean(key, known)}"
                              f" (it has {', '.join(known)})", line_of(text, key, header))


def is_pyproject(path: str) -> bool:
    return Path(path).name == "pyproject.toml"


def own_table(data: Mapping[str, Any], pyproject: bool) -> Mapping[str, Any] | None:
    """The tool's table of a file's data: ``[tool.quarrow-dax]`` of a
    pyproject.toml, the whole of a quarrow-dax.toml; None when absent."""
    if not pyproject:
        return data
    table = table_at(data, ("tool", "quarrow-dax"))
    return None if table is None else cast(Mapping[str, Any], table)


def parse_config(text: str, shown: str) -> Config:
    """The configuration a file's text holds; `shown` is how the file is
    named in errors (its name says whether it is a pyproject.toml). Raises
    ConfigError."""
    pyproject = is_pyproject(shown)
    data = parse_toml(text, shown)
    root = _folder(shown)
    table = own_table(data, pyproject)
    label = "[tool.quarrow-dax]" if pyproject else Path(shown).name
    header = "[tool.quarrow-dax]" if pyproject else None
    if table is None:
        return Config(path=shown, root=root, text=text)
    if not isinstance(table, Mapping):
        raise ConfigError(shown, f"tool.quarrow-dax must be a table of settings, not {table!r}",
                          line_of(text, "quarrow-dax"))
    check_keys(table, _TOP_KEYS, label, shown, text, header)
    settings: dict[str, Any] = {}
    if "strict" in table:
        settings["strict"] = _boolean(table["strict"], "strict", shown, line_of(text, "strict", header))
    if "separators" in table:
        settings["separators"] = _separators(table["separators"], "separators", shown,
                                             line_of(text, "separators", header))
    if "respect-gitignore" in table:
        settings["respect_gitignore"] = _boolean(table["respect-gitignore"], "respect-gitignore", shown,
                                                 line_of(text, "respect-gitignore", header))
    for key in ("exclude", "extend-exclude"):
        if key in table:
            settings[key.replace("-", "_")] = _strings(table[key], key, shown, line_of(text, key, header))
    if "format" in table:
        settings["format"] = _format_settings(table["format"], shown, text, pyproject)
    lint_table = None
    if "lint" in table:
        lint_table = table["lint"]
        if not isinstance(lint_table, Mapping):
            raise ConfigError(shown, f"lint must be a table of settings, not {lint_table!r}", line_of(text, "lint"))
    return Config(path=shown, root=root, **settings, lint_table=lint_table, text=text)


def _format_settings(table: object, shown: str, text: str, pyproject: bool) -> FormatSettings:
    label = "[tool.quarrow-dax.format]" if pyproject else "[format]"
    if not isinstance(table, Mapping):
        raise ConfigError(shown, f"format must be a table of settings, such as {label} width = 100",
                          line_of(text, "format"))
    check_keys(table, _FORMAT_KEYS, label, shown, text, label)

    def line(key: str) -> int | None:
        return line_of(text, key, label)

    settings: dict[str, Any] = {}
    if "width" in table:
        settings["width"] = _whole(table["width"], "format width", shown, line("width"), 1, None)
    if "indent" in table:
        settings["indent"] = _whole(table["indent"], "format indent", shown, line("indent"), 0, MAX_INDENT)
    if "space-before-paren" in table:
        settings["space_before_paren"] = _boolean(table["space-before-paren"], "format space-before-paren", shown,
                                                  line("space-before-paren"))
    if "separators" in table:
        settings["separators"] = _separators(table["separators"], "format separators", shown, line("separators"))
    return FormatSettings(**settings)


def _folder(shown: str) -> str:
    """The absolute folder of a configuration file, without resolving
    symbolic links (a loop would never end)."""
    return os.path.dirname(os.path.abspath(shown))
