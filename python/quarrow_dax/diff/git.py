"""A path as it stands at a git revision, read with git itself into a
temporary folder: `git ls-tree` lists the files, `git cat-file --batch`
gives their bytes. Nothing is checked out, the index and the work tree are
not touched, and only the files a model or report is made of are read.

The folder holding the path is read with it, since a project names what
stands beside it: a `.pbip` file its report and model folders, a report
its model (`../Sales.SemanticModel`).
"""

from __future__ import annotations

import os
import re
import subprocess
import tempfile
from dataclasses import dataclass
from pathlib import Path, PurePosixPath

__all__ = ["GitError", "NotInRevision", "Revision", "Revisions", "parse_revisions", "read_at_revision"]

# What a model or report is made of; images and other resources are left.
_SUFFIXES = frozenset({".bim", ".tmdl", ".json", ".pbip", ".pbir", ".pbism"})
_TREE_ENTRY = re.compile(rb"(\d+) (\w+) ([0-9a-f]+)\t(.*)", re.DOTALL)


class GitError(Exception):
    """git could not give what was asked: not a repository, an unknown
    revision, a path the revision does not have."""


class NotInRevision(GitError):
    """The path is not in the revision: a project added or removed since."""


@dataclass(frozen=True)
class Revisions:
    """`old` and `new` revisions; `new` None for the work tree."""

    old: str
    new: str | None


def parse_revisions(text: str) -> Revisions:
    """`REV` (REV against the work tree), `A..B`, or `A...B` (the merge base
    of A and B against B, as `git diff A...B` compares). Raises ValueError
    for a text that is none of them."""
    if "..." in text:
        old, _, new = text.partition("...")
        if not old or not new:
            raise ValueError(f"{text!r}: A...B needs both revisions")
        return Revisions(f"{old}...{new}", new)
    if ".." in text:
        old, _, new = text.partition("..")
        if not old or not new:
            raise ValueError(f"{text!r}: A..B needs both revisions")
        return Revisions(old, new)
    if not text:
        raise ValueError("an empty revision")
    return Revisions(text, None)


def _git(folder: Path, *arguments: str, data: bytes | None = None) -> bytes:
    try:
        done = subprocess.run(["git", "-C", str(folder), *arguments], input=data, capture_output=True, check=False)
    except FileNotFoundError:
        raise GitError("git is not installed (or not on PATH)") from None
    except OSError as error:
        raise GitError(f"cannot run git: {error.strerror or error}") from None
    if done.returncode != 0:
        message = done.stderr.decode("utf-8", "replace").strip().splitlines()
        raise GitError(message[-1] if message else f"git {arguments[0]} failed (status {done.returncode})")
    return done.stdout


@dataclass(frozen=True)
class Revision:
    """Where a path read at a revision is: `root` the temporary folder that
    stands for the repository's top, `path` the path inside it, `top` the
    repository's top folder."""

    root: Path
    path: Path
    top: Path
    revision: str

    def shown(self, file: str) -> str:
        """A file of the temporary folder as the user knows it: the path of
        the same file in the repository, relative to the current folder
        where it is inside it."""
        try:
            inside = Path(file).relative_to(self.root)
        except ValueError:
            return file
        real = self.top / inside
        try:
            return os.path.relpath(real)
        except ValueError:  # another drive
            return str(real)


def _repository(path: Path) -> tuple[Path, PurePosixPath]:
    """The repository's top folder and `path` relative to it, in git's
    spelling. `path` need not exist now (a file only the revision has)."""
    absolute = Path(os.path.abspath(path))
    folder = absolute
    while not folder.is_dir():
        if folder.parent == folder:
            raise GitError(f"{path}: no folder of it exists")
        folder = folder.parent
    try:
        top = Path(_git(folder, "rev-parse", "--show-toplevel").decode("utf-8", "surrogateescape").strip())
    except GitError as error:
        raise GitError(f"{path}: not in a git work tree ({error})") from None
    real_top = Path(os.path.realpath(top))
    real = Path(os.path.realpath(folder)) / absolute.relative_to(folder)
    try:
        inside = real.relative_to(real_top)
    except ValueError:
        raise GitError(f"{path}: not inside the repository at {top}") from None
    return top, PurePosixPath(inside.as_posix())


def resolve_revision(top: Path, revision: str) -> str:
    """The commit a revision names (for `A...B`, the merge base of A and B)."""
    if "..." in revision:
        first, _, second = revision.partition("...")
        return _git(top, "merge-base", first, second).decode().strip()
    return _git(top, "rev-parse", "--verify", "--quiet", "--end-of-options", revision + "^{commit}").decode().strip()


def read_at_revision(path: str | os.PathLike[str], revision: str, into: str | os.PathLike[str]) -> Revision:
    """Writes `path` (a file or folder of a git work tree) as it stands at
    `revision`, with the folder holding it, under the folder `into`, and
    says where. Raises GitError."""
    top, inside = _repository(Path(path))
    try:
        commit = resolve_revision(top, revision)
    except GitError:
        raise GitError(f"{revision}: not a revision of the repository at {top}") from None
    scope = inside.parent if str(inside) not in ("", ".") else inside
    arguments = ["ls-tree", "-r", "-z", "--full-tree", commit]
    if str(scope) not in ("", "."):
        arguments += ["--", str(scope)]
    listing = _git(top, *arguments)
    wanted: list[tuple[str, PurePosixPath]] = []
    found_path = str(inside) in ("", ".")
    for entry in listing.split(b"\0"):
        match = _TREE_ENTRY.fullmatch(entry)
        if match is None:
            continue
        mode, kind, blob, name = match.groups()
        relative = PurePosixPath(name.decode("utf-8", "surrogateescape"))
        if relative == inside or inside in relative.parents:
            found_path = True
        # Regular files only: links and submodules are not followed.
        if kind != b"blob" or mode not in (b"100644", b"100755"):
            continue
        if relative.suffix.lower() not in _SUFFIXES or ".." in relative.parts or relative.is_absolute():
            continue
        wanted.append((blob.decode(), relative))
    if not found_path:
        raise NotInRevision(f"{inside}: not in revision {revision}")
    root = Path(into)
    contents = _git(top, "cat-file", "--batch", data="".join(f"{blob}\n" for blob, _ in wanted).encode())
    position = 0
    for blob, relative in wanted:
        header_end = contents.index(b"\n", position)
        header = contents[position:header_end].split()
        if len(header) != 3 or header[0].decode() != blob:
            raise GitError(f"unexpected answer from git cat-file for {relative}")
        size = int(header[2])
        start = header_end + 1
        target = root.joinpath(*relative.parts)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(contents[start:start + size])
        position = start + size + 1  # the line feed after the contents
    return Revision(root, root.joinpath(*inside.parts) if str(inside) not in ("", ".") else root, top, revision)


def temporary_folder() -> tempfile.TemporaryDirectory[str]:
    """A temporary folder for one revision, removed when done."""
    return tempfile.TemporaryDirectory(prefix="quarrow-dax-diff-")
