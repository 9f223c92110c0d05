"""Which paths a command reads when it walks a folder: not what git
ignores (`.gitignore` files, `.git/info/exclude`), not what the
configuration's `exclude` and `extend-exclude` leave out, not what
`--exclude` names. A path named outright is read all the same, unless
`force` says that exclusions apply to it too (as a pre-commit hook, which
names every staged file, wants)::

    from quarrow_dax.inputs import collect_inputs
    from quarrow_dax.selection import PathFilter

    inputs = collect_inputs(["."], selection=PathFilter())

Each folder's exclusions are those of the configuration that governs it
(`quarrow_dax.config`), relative to that configuration's folder; the
patterns given here are relative to `root` (the current folder).
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from pathlib import Path

from .config import Config, ConfigError, ConfigFinder, matches, relative_to
from .gitignore import GitIgnore

__all__ = ["PathFilter"]


class PathFilter:
    """Decides what a walk leaves out. `finder` finds each folder's
    configuration (a new one when None); `gitignore` True or False says
    whether ignore files count, None leaves it to each configuration's
    `respect-gitignore`; `exclude` are more patterns, relative to `root`.
    Configuration files that cannot be read are kept in `problems` (each
    once) and their folders walked with the defaults."""

    def __init__(
        self,
        finder: ConfigFinder | None = None,
        *,
        gitignore: bool | None = None,
        exclude: Iterable[str] = (),
        root: str | None = None,
        force: bool = False,
    ) -> None:
        self.finder = ConfigFinder() if finder is None else finder
        self.gitignore = gitignore
        self.exclude = tuple(exclude)
        self.root = os.path.abspath(root or os.curdir)
        self.force = force
        self.problems: list[ConfigError] = []
        self._git = GitIgnore()
        self._reported: set[str] = set()

    def _config(self, folder: Path) -> Config:
        try:
            return self.finder.config_for(folder)
        except ConfigError as error:
            if error.path not in self._reported:
                self._reported.add(error.path)
                self.problems.append(error)
            return Config()

    def _excluded(self, path: Path, config: Config) -> bool:
        if config.excludes(path):
            return True
        if self.exclude:
            relative = relative_to(path, self.root)
            return any(matches(pattern, relative) for pattern in self.exclude)
        return False

    def _respects_gitignore(self, config: Config) -> bool:
        return config.respect_gitignore if self.gitignore is None else self.gitignore

    def skips(self, path: Path, is_dir: bool) -> bool:
        """Whether a walk leaves out `path`, found in a folder it walks."""
        config = self._config(path.parent)
        if self._excluded(path, config):
            return True
        return self._respects_gitignore(config) and self._git.ignored(path, is_dir)

    def skips_named(self, path: str | os.PathLike[str], is_dir: bool) -> bool:
        """Whether a path named outright is left out: only with `force`, when
        it or a folder it is in is excluded or ignored."""
        if not self.force:
            return False
        target = Path(path)
        config = self._config(target if is_dir else target.parent)
        if self._excluded(target, config):
            return True
        return self._respects_gitignore(config) and self._git.ignored_or_inside(target, is_dir)
