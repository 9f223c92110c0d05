"""The path patterns of configuration (`exclude`, `extend-exclude`, lint's
`per-path-ignores`) and of `--exclude`: relative to a folder, with `/`
between folders; `*` matches within a name, `?` one character of it, `**`
any number of folders, and a pattern without `/` matches a file or folder
name at any depth. A folder's pattern covers everything below it."""

from __future__ import annotations

import functools
import os
import re
from pathlib import Path

__all__ = ["matches", "path_pattern", "relative_to"]


@functools.lru_cache(maxsize=512)
def path_pattern(glob: str) -> re.Pattern[str]:
    """The regular expression a pattern stands for, matched in full against
    a path relative to the pattern's folder, written with `/`."""
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


def relative_to(path: str | os.PathLike[str], root: str | None) -> str:
    """`path` relative to the folder `root` (None: the current folder),
    written with `/`; a path outside it begins with `../`, so that a pattern
    without `/` still finds its name in it."""
    target = os.path.abspath(path)
    try:
        return Path(os.path.relpath(target, os.path.abspath(root or os.curdir))).as_posix()
    except ValueError:  # on another drive
        return Path(target).as_posix()


def matches(pattern: str, relative: str) -> bool:
    """Whether a path relative to the pattern's folder matches it."""
    return path_pattern(pattern).fullmatch(relative) is not None
