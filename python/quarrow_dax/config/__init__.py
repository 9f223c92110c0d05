"""Configuration, one room for every command: read from the table
``[tool.quarrow-dax]`` of a ``pyproject.toml`` or from a
``quarrow-dax.toml``, the first such file found in a path's folder or
above it (in one folder, ``quarrow-dax.toml`` comes first; a
``pyproject.toml`` without the table is passed over)::

    [tool.quarrow-dax]
    strict = false                  # true: the standard grammar only (--strict)
    separators = "comma"            # or "semicolon" (--separators)
    exclude = ["node_modules", "venv", "site-packages", "__pypackages__", "__pycache__"]   # the default
    extend-exclude = ["legacy/**"]  # left out of folder walks as well
    respect-gitignore = true        # leave out what .gitignore files ignore (--no-ignore)

    [tool.quarrow-dax.format]
    width = 120
    indent = 4
    space-before-paren = true
    separators = "comma"            # for format only; else the one above

    [tool.quarrow-dax.lint]
    select = ["ALL"]                # see quarrow_dax.config.lint

In a ``quarrow-dax.toml`` the same settings stand at the top, with
``[format]`` and ``[lint]`` tables. A setting the tool does not know, or a
value of the wrong kind, is an error that names the file, its line and,
for a slip of spelling, the setting meant; what the command line says
wins over the file::

    from quarrow_dax.config import ConfigError, ConfigFinder

    finder = ConfigFinder()               # or ConfigFinder("ci.toml"): one file for every path
    try:
        config = finder.config_for("models/Sales.SemanticModel")
    except ConfigError as error:
        print(error)                      # pyproject.toml:4: [tool.quarrow-dax] has no setting 'strikt' ...
    else:
        print(config.strict, config.format.width, config.lint.rules_for())

Exclusion patterns (`exclude`, `extend-exclude`, `--exclude`) and the
linter's per-path patterns share one language, `quarrow_dax.config.patterns`.
"""

from __future__ import annotations

import os
from pathlib import Path

from ..sources import SourceError, is_dir, is_file, read_text
from .patterns import matches, path_pattern, relative_to
from .reading import MAX_CONFIG_DEPTH, MAX_CONFIG_SIZE, ConfigError, did_you_mean, parse_toml, read_toml
from .settings import DEFAULT_EXCLUDE, Config, FormatSettings, parse_config

__all__ = [
    "CONFIG_NAMES", "DEFAULT_EXCLUDE", "MAX_CONFIG_DEPTH", "Config", "ConfigError", "ConfigFinder", "FormatSettings",
    "did_you_mean", "find_config", "load_config", "matches", "path_pattern", "read_toml", "relative_to",
]

CONFIG_NAMES = ("quarrow-dax.toml", "pyproject.toml")

_OWN_HEADER = ("[tool.quarrow-dax", "[ tool.quarrow-dax", '[tool."quarrow-dax"')


def load_config(path: str | os.PathLike[str]) -> Config:
    """The configuration in the file `path` (a pyproject.toml or a
    quarrow-dax.toml); the defaults when a pyproject.toml has no table of
    the tool. Raises ConfigError."""
    shown = os.fspath(path)
    try:
        text = read_text(path, max_size=MAX_CONFIG_SIZE)
    except SourceError as error:
        raise ConfigError(shown, error.message, error.line, error.column) from None
    return parse_config(text, shown)


def _names_the_tool(path: Path) -> bool:
    """Whether a pyproject.toml holds the tool's table. One that cannot be
    read or parsed, yet seems to hold it, counts: reading it again reports
    why it cannot be used. Another tool's table that is too deep to parse
    does not make the file the tool's."""
    try:
        text = read_text(path, max_size=MAX_CONFIG_SIZE)
    except SourceError:
        return True
    if "quarrow-dax" not in text:
        return False
    try:
        data = parse_toml(text, str(path))
    except ConfigError:
        return any(line.lstrip().startswith(_OWN_HEADER) for line in text.splitlines()) or "quarrow-dax =" in text
    tool = data.get("tool")
    return isinstance(tool, dict) and "quarrow-dax" in tool


def _config_file(folder: Path) -> Path | None:
    for name in CONFIG_NAMES:
        candidate = folder / name
        if is_file(candidate) and (name != "pyproject.toml" or _names_the_tool(candidate)):
            return candidate
    return None


def _shown(path: Path) -> str:
    """How a configuration file is named in messages: relative to the
    current folder when below it."""
    relative = os.path.relpath(path)
    return path.as_posix() if relative.startswith("..") else Path(relative).as_posix()


def _key(file: Path) -> str:
    """One key per file however it is reached; a path whose links cannot be
    followed (a loop) stands for itself."""
    try:
        return os.path.realpath(file)
    except (OSError, RuntimeError, ValueError):
        return os.path.abspath(file)


def find_config(path: str | os.PathLike[str]) -> Config:
    """The configuration that governs `path` (a file or folder): the first
    configuration file found from its folder upward, or the defaults.
    Raises ConfigError."""
    return ConfigFinder().config_for(path)


class ConfigFinder:
    """Finds the configuration of many paths, reading each folder and each
    file once. With `explicit`, that file governs every path."""

    def __init__(self, explicit: str | os.PathLike[str] | None = None) -> None:
        self.explicit = None if explicit is None else os.fspath(explicit)
        self._by_folder: dict[Path, Path | None] = {}
        self._by_file: dict[str, Config | ConfigError] = {}

    def config_for(self, path: str | os.PathLike[str]) -> Config:
        """Raises ConfigError, the same one each time for the same file."""
        if self.explicit is not None:
            return self._load(Path(self.explicit))
        start = Path(os.path.abspath(path))
        folder = start if is_dir(start) else start.parent
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
        return Config() if found is None else self._load(found)

    def _load(self, file: Path) -> Config:
        key = _key(file)
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
