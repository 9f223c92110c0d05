"""Which paths git ignores: the rules of `.gitignore` files and of
`.git/info/exclude`, as git's documentation of gitignore states them, so
that a walk over a repository leaves out `build/`, `node_modules/` and
whatever else the repository keeps out of version control::

    from quarrow_dax.gitignore import GitIgnore

    ignore = GitIgnore()
    ignore.ignored(Path("build/generated.dax"), is_dir=False)   # True when build/ is in .gitignore

The rules apply inside a repository only (a folder holding `.git`, a
folder or, in a worktree or submodule, a file), as git applies them: a
`.gitignore` speaks for its folder and everything below; a deeper file's
patterns win over a higher one's, every `.gitignore` wins over
`info/exclude`, and within one file the last pattern that matches decides.
A nested repository has rules of its own only. The user's global excludes
file (`core.excludesFile`) is not read: what a run leaves out should not
depend on who runs it.

Pattern rules: blank lines and lines starting with `#` are no patterns;
trailing spaces are dropped unless escaped with `\\`; `!` negates (`\\!`
and `\\#` stand for the characters); a `/` at the start or in the middle
anchors the pattern to the file's folder, otherwise it matches a name at
any depth; a `/` at the end matches folders only; `*` matches within a
name, `?` one character of it, `[...]` one of a set (`[!...]` none of
it); `**/` in front matches in every folder, `/**` at the end everything
inside, `/**/` any number of folders, and any other `**` is a `*`.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass
from pathlib import Path

from .sources import SourceError, read_bytes

__all__ = ["GitIgnore", "IgnoreFile", "compile_pattern", "repository_root"]

# No ignore file is near this size; one that is, is not read.
_MAX_IGNORE_FILE = 8 << 20

_CLASSES = {
    "alnum": "a-zA-Z0-9", "alpha": "a-zA-Z", "blank": " \\t", "cntrl": "\\x00-\\x1f\\x7f", "digit": "0-9",
    "graph": "!-~", "lower": "a-z", "print": " -~", "punct": "!-/:-@\\[-`{-~", "space": " \\t\\n\\r\\f\\v",
    "upper": "A-Z", "xdigit": "0-9a-fA-F",
}


def _bracket(pattern: str, start: int) -> tuple[str, int] | None:
    """The regular expression of the set `[...]` that opens at `start`, and
    the index after it; None when the bracket does not close (then it is a
    plain character)."""
    index = start + 1
    negate = index < len(pattern) and pattern[index] in "!^"
    if negate:
        index += 1
    parts: list[str] = []
    first = True
    while index < len(pattern):
        char = pattern[index]
        if char == "]" and not first:
            body = "".join(parts)
            return ("[^/" + body + "]" if negate else "[" + body + "]") if body else "(?!)", index + 1
        first = False
        if char == "[" and pattern.startswith("[:", index):
            end = pattern.find(":]", index + 2)
            name = pattern[index + 2 : end] if end >= 0 else ""
            if name in _CLASSES:
                parts.append(_CLASSES[name])
                index = end + 2
                continue
        if char == "\\" and index + 1 < len(pattern):
            index += 1
            char = pattern[index]
        if char == "-" and parts and index + 1 < len(pattern) and pattern[index + 1] != "]":
            parts.append("-")
        elif char != "/":
            parts.append(re.escape(char))
        index += 1
    return None


def _body(pattern: str) -> str:
    """The regular expression of a pattern's text (slashes kept)."""
    out: list[str] = []
    index = 0
    size = len(pattern)
    while index < size:
        char = pattern[index]
        if char == "*" and pattern.startswith("**", index):
            # A run of stars is one wildcard; two or more between slashes
            # (or the pattern's ends) cross folders.
            after = index
            while after < size and pattern[after] == "*":
                after += 1
            at_start = index == 0
            before_slash = at_start or pattern[index - 1] == "/"
            if before_slash and after < size and pattern[after] == "/":
                out.append("(?:.*/)?")  # **/ : any number of folders, none included
                index = after + 1
                continue
            if before_slash and after == size:
                out.append(".*")  # a trailing /** : everything inside
                index = after
                continue
            out.append("[^/]*")  # any other ** is a *
            index = after
            continue
        if char == "*":
            out.append("[^/]*")
        elif char == "?":
            out.append("[^/]")
        elif char == "[":
            found = _bracket(pattern, index)
            if found is not None:
                out.append(found[0])
                index = found[1]
                continue
            out.append(re.escape(char))
        elif char == "\\" and index + 1 < size:
            index += 1
            out.append(re.escape(pattern[index]))
        else:
            out.append(re.escape(char))
        index += 1
    return "".join(out)


@dataclass(frozen=True)
class Pattern:
    """One line of an ignore file: what it matches (a path relative to the
    file's folder, with `/`), whether it re-includes (`!`) and whether it
    matches folders only (a trailing `/`)."""

    regex: re.Pattern[str]
    negated: bool
    folders_only: bool
    text: str


def compile_pattern(line: str) -> Pattern | None:
    """The pattern of one line of an ignore file, or None for a blank line
    or a comment."""
    line = line.rstrip("\r\n")
    if not line or line.startswith("#"):
        return None
    # Trailing spaces go, but not one escaped with a backslash.
    stripped = line.rstrip(" ")
    if stripped.endswith("\\") and len(stripped) < len(line):
        stripped += " "
    line = stripped
    negated = line.startswith("!")
    if negated:
        line = line[1:]
    elif line.startswith("\\!") or line.startswith("\\#"):
        line = line[1:]
    # One slash at the end says "folders only" and one at the start anchors;
    # any more are part of the pattern (and match nothing, since paths never
    # hold two slashes in a row), as git reads them.
    folders_only = line.endswith("/") and not line.endswith("\\/")
    if folders_only:
        line = line[:-1]
    if not line:
        return None
    anchored = "/" in line
    line = line[1:] if line.startswith("/") else line
    if not line:
        return None
    prefix = "" if anchored else "(?:.*/)?"
    return Pattern(re.compile(prefix + _body(line), re.DOTALL), negated, folders_only, line)


class IgnoreFile:
    """The patterns of one ignore file and the folder they are relative to."""

    def __init__(self, base: Path, patterns: list[Pattern]) -> None:
        self.base = base
        self.patterns = patterns
        self._prefix = str(base).rstrip(os.sep) + os.sep

    @classmethod
    def read(cls, path: Path, base: Path) -> IgnoreFile | None:
        """The ignore file at `path`, or None when there is none (or it
        cannot be read, which git passes over too)."""
        try:
            data = read_bytes(path, _MAX_IGNORE_FILE)
        except SourceError:
            return None
        text = data.decode("utf-8", "surrogateescape")
        patterns = [pattern for pattern in map(compile_pattern, text.split("\n")) if pattern is not None]
        return cls(base, patterns) if patterns else None

    def verdict(self, absolute: str, is_dir: bool) -> bool | None:
        """True when the last pattern that matches the absolute path ignores
        it, False when it re-includes it, None when none matches."""
        if not absolute.startswith(self._prefix):
            return None
        relative = absolute[len(self._prefix) :].replace(os.sep, "/")
        for pattern in reversed(self.patterns):
            if pattern.folders_only and not is_dir:
                continue
            if pattern.regex.fullmatch(relative):
                return not pattern.negated
        return None


def _git_common_dir(dot_git: Path) -> Path | None:
    """The folder that holds `info/exclude` of a repository's `.git`: the
    folder itself, or for a worktree or submodule (`.git` a file saying
    `gitdir: ...`) the folder it names, or the common folder that names."""
    if dot_git.is_dir():
        return dot_git
    try:
        head = read_bytes(dot_git, 1 << 16).decode("utf-8", "replace").strip()
    except SourceError:
        return None
    if not head.startswith("gitdir:"):
        return None
    gitdir = Path(head[len("gitdir:") :].strip())
    if not gitdir.is_absolute():
        gitdir = dot_git.parent / gitdir
    try:
        common = read_bytes(gitdir / "commondir", 1 << 16).decode("utf-8", "replace").strip()
    except SourceError:
        return gitdir
    return gitdir / common if not Path(common).is_absolute() else Path(common)


def repository_root(folder: Path) -> Path | None:
    """The repository `folder` is in (the nearest folder at or above it
    holding `.git`), or None."""
    for candidate in (folder, *folder.parents):
        if os.path.lexists(candidate / ".git"):
            return candidate
    return None


class GitIgnore:
    """Answers whether git ignores a path, reading each ignore file once.
    Paths may be relative (to the current folder) or absolute."""

    def __init__(self) -> None:
        # For each folder, the ignore files that speak for what is in it,
        # the deepest first, `info/exclude` last.
        self._chains: dict[Path, tuple[IgnoreFile, ...]] = {}

    def _chain(self, folder: Path) -> tuple[IgnoreFile, ...]:
        known = self._chains.get(folder)
        if known is not None:
            return known
        # Up to a folder already known or a repository's root, iteratively.
        pending: list[Path] = []
        tail: tuple[IgnoreFile, ...] = ()
        current: Path | None = folder
        while current is not None:
            known = self._chains.get(current)
            if known is not None:
                tail = known
                break
            pending.append(current)
            if os.path.lexists(current / ".git"):
                tail = self._repository_tail(current)
                break
            parent = current.parent
            current = None if parent == current else parent
        else:
            # No repository above: nothing is ignored anywhere on the way.
            for each in pending:
                self._chains[each] = ()
            return ()
        for each in reversed(pending):
            own = IgnoreFile.read(each / ".gitignore", each)
            tail = ((own,) if own is not None else ()) + tail
            self._chains[each] = tail
        return self._chains[folder]

    def _repository_tail(self, root: Path) -> tuple[IgnoreFile, ...]:
        common = _git_common_dir(root / ".git")
        exclude = IgnoreFile.read(common / "info" / "exclude", root) if common is not None else None
        return (exclude,) if exclude is not None else ()

    def ignored(self, path: str | os.PathLike[str], is_dir: bool) -> bool:
        """Whether git ignores `path` (a folder when `is_dir`), judged by the
        rules of its folder and those above; the folders above it are not
        looked at (a walk never enters an ignored folder)."""
        absolute = os.path.abspath(path)
        folder = Path(os.path.dirname(absolute))
        for rules in self._chain(folder):
            verdict = rules.verdict(absolute, is_dir)
            if verdict is not None:
                return verdict
        return False

    def ignored_or_inside(self, path: str | os.PathLike[str], is_dir: bool) -> bool:
        """Whether git ignores `path` or a folder it is in, up to its
        repository's root: what a path named outright needs."""
        absolute = Path(os.path.abspath(path))
        root = repository_root(absolute if is_dir else absolute.parent)
        if root is None:
            return False
        folders = [folder for folder in reversed(absolute.parents) if folder != root and root in folder.parents]
        return any(self.ignored(folder, True) for folder in folders) or self.ignored(absolute, is_dir)
