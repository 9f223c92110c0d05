"""The linter's configuration, as the shared configuration room
(`quarrow_dax.config`) reads it: the table ``[tool.quarrow-dax.lint]`` of a
``pyproject.toml`` or ``[lint]`` of a ``quarrow-dax.toml``, the first such
file found from the linted path's folder upward. `LintConfig` and the
selectors live in `quarrow_dax.config.lint`; here are the finders that
answer with the linter's part of a configuration."""

from __future__ import annotations

import os

from .. import config as _shared
from ..config import ConfigError
from ..config.lint import LintConfig, parse_selectors

__all__ = ["ConfigError", "ConfigFinder", "LintConfig", "find_config", "load_config", "parse_selectors"]


def load_config(path: str | os.PathLike[str]) -> LintConfig:
    """The lint configuration in the file `path` (a pyproject.toml or a
    quarrow-dax.toml); the default one when the file has no lint table.
    Raises ConfigError."""
    return _shared.load_config(path).lint


def find_config(path: str | os.PathLike[str]) -> LintConfig:
    """The lint configuration that governs `path` (a file or folder): that
    of the first configuration file found from its folder upward, or the
    default. Raises ConfigError."""
    return _shared.find_config(path).lint


class ConfigFinder(_shared.ConfigFinder):
    """`quarrow_dax.config.ConfigFinder` answering with the linter's part:
    each file is read once, its lint table once."""

    def config_for(self, path: str | os.PathLike[str]) -> LintConfig:  # type: ignore[override]
        return super().config_for(path).lint

    def settings_for(self, path: str | os.PathLike[str]) -> _shared.Config:
        """The whole configuration that governs `path`."""
        return super().config_for(path)
