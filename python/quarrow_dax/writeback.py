"""Writing changed files back over the files they were read from, as
`format` and `lint --fix` do, and as a change that spans several files (a
rename) does: a file is replaced only while it is still the file that was
read, and keeps what its owner set up for it.

    from quarrow_dax.writeback import Change, Original, write_back

    original = Original.read("measure.dax")
    for problem in write_back([Change(original, original.data.upper())]):
        print(problem)   # cannot write measure.dax: it changed since it was read; left as it is

What a written file keeps: a symbolic link stays a link and the file it
leads to is written; the file keeps its mode, owner and group and, where
they can be copied, its extended attributes (ACLs among them). A file with
several hard links is written in place, so that every name still shows the
same file (replacing it would leave the other names on the old text).

What is refused, with a `WriteProblem` and nothing written:
- "changed": the file is no longer what was read: its bytes differ (another
  program saved it meanwhile), it was deleted or replaced by something else;
- "read-only": the file has no write permission at all, or none for this
  user (a replacement could be renamed over it, but its owner said no);
- "unwritable": its folder is not writable, so no file can be made beside it;
- "failed": the system refused (a full disk, a name too long, ...);
- "not written": with `together=True`, another file of the change was refused.

How a file is replaced: the new bytes go to a temporary file beside it
(`.NAME.XXXXXXXX.tmp`), flushed to disk, with the file's owner, mode and
attributes; then the file is read again and compared with what was read,
as late as possible, and the two are swapped in one step (Linux's
renameat2 exchange; elsewhere a rename over the file). After a swap the old
file, now under the temporary name, is compared once more: an edit saved in
the moment between the check and the swap is found there, and the swap is
undone. Where the system cannot swap, that moment (microseconds) is the one
window left; a program that holds the file open and writes into it later
without reopening it is never seen. An interrupted run leaves the old file
or the new one, never half of one.

A file with several hard links (or whose owner this user cannot give to a
new file) is written in place instead: a copy of the old bytes waits beside
it until the write is done, the space is reserved before the first byte is
overwritten, and a failed write puts the old bytes back.

With `together=True` (several files that only make sense changed together)
every file is checked and its new bytes staged before any file is replaced;
if one is refused none is written, and a file found changed while they are
replaced puts back those replaced before it.
"""

from __future__ import annotations

import contextlib
import errno
import functools
import os
import stat
import sys
import tempfile
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, Literal

from .sources import MAX_FILE_SIZE, read_file

__all__ = ["Change", "Original", "WriteProblem", "write_back"]

Reason = Literal["changed", "read-only", "unwritable", "failed", "not written"]


@dataclass(frozen=True)
class Original:
    """A file as it was read: the `path` it was read by (a symbolic link is
    followed when it is written), its bytes, and its identity then (the
    status of the file the path led to)."""

    path: str
    data: bytes
    device: int
    inode: int
    size: int
    mtime_ns: int

    @classmethod
    def read(cls, path: str | os.PathLike[str], max_size: int = MAX_FILE_SIZE) -> Original:
        """Reads the file at `path` (as `sources.read_bytes`: raises SourceError)."""
        data, info = read_file(path, max_size)
        return cls.of(path, data, info)

    @classmethod
    def of(cls, path: str | os.PathLike[str], data: bytes, info: os.stat_result) -> Original:
        """The file at `path` read as `data` while it had the status `info`."""
        return cls(os.fspath(path), data, info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns)


@dataclass(frozen=True)
class Change:
    """New bytes for a file that was read."""

    original: Original
    data: bytes


@dataclass(frozen=True)
class WriteProblem:
    """Why a file was not written (see the module's documentation for each
    `reason`); `message` says it to a user."""

    path: str
    reason: Reason
    message: str

    def __str__(self) -> str:
        return f"cannot write {self.path}: {self.message}"


class _Refused(Exception):
    def __init__(self, reason: Reason, message: str) -> None:
        super().__init__(message)
        self.reason = reason
        self.message = message


def _failed(error: OSError) -> _Refused:
    return _Refused("failed", f"{error.strerror or error}; left as it was")


_CHANGED = "it changed since it was read (saved by another program meanwhile?); left as it is"


def write_back(changes: Sequence[Change], *, together: bool = False) -> list[WriteProblem]:
    """Writes each change over its file (see the module's documentation);
    returns the problems, one per file not written, in the order of
    `changes`. Every other file was written. Never raises OSError."""
    plans: list[_Plan | None] = []  # None: refused, or nothing to write
    refused: dict[int, _Refused] = {}
    try:
        for index, change in enumerate(changes):
            try:
                plans.append(_Plan.staged(change))
            except _Refused as refusal:
                plans.append(None)
                refused[index] = refusal
        if together and refused:
            return _problems(changes, refused, _not_written(changes, refused))
        committed: list[_Plan] = []
        for index, plan in enumerate(plans):
            if plan is None:
                continue
            try:
                plan.commit()
            except _Refused as refusal:
                refused[index] = refusal
                if together:
                    for done in reversed(committed):
                        done.undo()
                    committed = []
                    return _problems(changes, refused, _not_written(changes, refused))
                continue
            committed.append(plan)
        for plan in committed:
            plan.finish()
        return _problems(changes, refused)
    finally:
        for plan in plans:
            if plan is not None:
                plan.discard()


def _not_written(changes: Sequence[Change], refused: dict[int, _Refused]) -> _Refused:
    first = changes[min(refused)].original.path
    return _Refused("not written", f"not written, since {first} could not be (the files change together)")


def _problems(changes: Sequence[Change], refused: dict[int, _Refused], others: _Refused | None = None) -> list[WriteProblem]:
    problems = []
    for index, change in enumerate(changes):
        refusal = refused.get(index, others)
        if refusal is not None:
            problems.append(WriteProblem(change.original.path, refusal.reason, refusal.message))
    return problems


class _Plan:
    """One file on its way: checked, its new bytes staged beside it (or, to
    be written in place, its old bytes), then committed, and finished or
    undone."""

    def __init__(self, change: Change, target: str, info: os.stat_result) -> None:
        self.change = change
        self.target = target
        self.info = info
        self.in_place = info.st_nlink > 1
        self.temporary: str | None = None  # the staged file, then the old file after a swap
        self.swapped = False
        self.replaced = False
        self.written_in_place = False

    # --- before anything is replaced ---------------------------------------------

    @classmethod
    def staged(cls, change: Change) -> _Plan | None:
        """The plan for a change, its new bytes staged; None when the file
        holds them already (another run wrote them). Raises _Refused."""
        path = change.original.path
        try:
            # The file a chain of symbolic links leads to: written there, the links kept.
            target = os.path.realpath(path, strict=True)
            info = os.stat(target)
        except FileNotFoundError:
            raise _Refused("changed", "it was deleted since it was read; not written") from None
        except OSError as error:
            raise _failed(error) from None
        if not stat.S_ISREG(info.st_mode):
            raise _Refused("changed", "it is no longer a regular file; left as it is")
        if change.data != change.original.data and _holds(target, change.data):
            return None
        if not info.st_mode & 0o222 or not _may_write(target):
            raise _Refused("read-only", "the file is read-only; left as it is")
        plan = cls(change, target, info)
        plan.stage(_shown_folder(path, target))
        return plan

    def stage(self, shown_folder: str) -> None:
        folder, name = os.path.split(self.target)
        try:
            # A name no reader takes for a DAX or model file, should it be left behind.
            fd, self.temporary = tempfile.mkstemp(dir=folder or ".", prefix="." + name[:100] + ".", suffix=".tmp")
        except PermissionError:
            raise _Refused("unwritable", f"its folder {shown_folder} is not writable; left as it is") from None
        except OSError as error:
            if error.errno == errno.EROFS:
                raise _Refused("read-only", "the file is on a read-only file system; left as it is") from None
            raise _failed(error) from None
        try:
            with os.fdopen(fd, "wb") as stream:
                if not self.in_place and not _give_owner(stream.fileno(), self.info):
                    self.in_place = True  # a new file could not have the old one's owner
                stream.write(self.change.original.data if self.in_place else self.change.data)
                stream.flush()
                if not self.in_place:
                    _copy_attributes(self.target, stream.fileno(), self.info)
                os.fsync(stream.fileno())
        except OSError as error:
            raise _failed(error) from None

    # --- replacing -------------------------------------------------------------------

    def commit(self) -> None:
        """Replaces the file, unless it changed since it was read. Raises _Refused."""
        original = self.change.original.data
        if not _holds(self.target, original):
            raise _Refused("changed", _CHANGED)
        if self.in_place:
            self.write_in_place(self.change.data)
            self.written_in_place = True
            return
        assert self.temporary is not None
        try:
            if _exchange(self.temporary, self.target):
                self.swapped = True
                # The old file is under the temporary name now: an edit saved
                # in the moment before the swap shows there.
                if not _holds(self.temporary, original):
                    self.undo()
                    raise _Refused("changed", _CHANGED)
            else:
                os.replace(self.temporary, self.target)
                self.temporary = None
                self.replaced = True
        except OSError as error:
            raise _failed(error) from None

    def write_in_place(self, data: bytes) -> None:
        try:
            fd = os.open(self.target, os.O_WRONLY | getattr(os, "O_CLOEXEC", 0))
        except OSError as error:
            raise _failed(error) from None
        try:
            try:
                # The room first: a full disk stops the write before a byte is overwritten.
                if hasattr(os, "posix_fallocate") and len(data) > self.info.st_size:
                    with contextlib.suppress(OSError):
                        os.posix_fallocate(fd, 0, len(data))
                _write_all(fd, data)
                os.ftruncate(fd, len(data))
                os.fsync(fd)
            except OSError as error:
                original = self.change.original.data
                try:
                    _write_all(fd, original)
                    os.ftruncate(fd, len(original))
                except OSError:
                    if self.temporary is not None:
                        # The copy of the old bytes stays: it is all that is left of them.
                        kept, self.temporary = self.temporary, None
                        raise _Refused("failed", f"{error.strerror or error}; its old text is in {kept}") from None
                raise _failed(error) from None
        finally:
            os.close(fd)

    def undo(self) -> None:
        """Puts the old file back after a commit (best effort: the old
        bytes are known, so they can always be written again)."""
        with contextlib.suppress(OSError, _Refused):
            if self.swapped and self.temporary is not None:
                _exchange(self.temporary, self.target)
                self.swapped = False
            elif self.written_in_place:
                self.write_in_place(self.change.original.data)
                self.written_in_place = False
            elif self.replaced:
                restore = _Plan(Change(self.change.original, self.change.original.data), self.target, self.info)
                restore.stage(os.path.dirname(self.target))
                restore.commit_without_check()
                self.replaced = False

    def commit_without_check(self) -> None:
        assert self.temporary is not None
        os.replace(self.temporary, self.target)
        self.temporary = None

    def finish(self) -> None:
        """After every file of the change is written: the old file (after a
        swap) or the copy kept while writing in place goes."""
        self.discard()

    def discard(self) -> None:
        if self.temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(self.temporary)
            self.temporary = None


def _shown_folder(path: str, target: str) -> str:
    """The folder of the file written, as the user named it where the path
    leads there without a symbolic link."""
    given = os.path.dirname(path) or "."
    with contextlib.suppress(OSError):
        if os.path.realpath(given) == os.path.dirname(target):
            return given
    return os.path.dirname(target)


def _may_write(path: str) -> bool:
    effective = os.access in os.supports_effective_ids
    return os.access(path, os.W_OK, effective_ids=effective)


def _give_owner(fd: int, info: os.stat_result) -> bool:
    """Gives the new file at `fd` the old one's owner and group (and then
    its mode, which a change of owner may clear); False when the owner
    cannot be given."""
    if hasattr(os, "fchown"):
        mine = os.fstat(fd)
        if (mine.st_uid, mine.st_gid) != (info.st_uid, info.st_gid):
            try:
                os.fchown(fd, info.st_uid, info.st_gid)
            except PermissionError:
                return False
    if hasattr(os, "fchmod"):
        os.fchmod(fd, stat.S_IMODE(info.st_mode))
    return True


def _copy_attributes(source: str, fd: int, info: os.stat_result) -> None:
    """The extended attributes of `source` (ACLs, labels) on the file at
    `fd`, those the system lets this user set; then the mode again, which
    an ACL's attribute also sets."""
    if not hasattr(os, "listxattr"):
        return
    try:
        names = os.listxattr(source)
    except OSError:
        return
    for name in names:
        with contextlib.suppress(OSError):
            os.setxattr(fd, name, os.getxattr(source, name))
    if names and hasattr(os, "fchmod"):
        os.fchmod(fd, stat.S_IMODE(info.st_mode))


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    position = 0
    while position < len(view):
        position += os.pwrite(fd, view[position:], position) if hasattr(os, "pwrite") else _write_at(fd, view, position)


def _write_at(fd: int, view: memoryview, position: int) -> int:
    os.lseek(fd, position, os.SEEK_SET)
    return os.write(fd, view[position:])


def _holds(path: str, data: bytes) -> bool:
    """Whether the file at `path` is a regular file holding exactly `data`.
    Opened without waiting (a FIFO put in its place is not a file), and read
    no further than one byte past `data`."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    except OSError:
        return False
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode) or info.st_size != len(data):
            return False
        with os.fdopen(fd, "rb", closefd=False) as stream:
            return stream.read(len(data) + 1) == data
    except OSError:
        return False
    finally:
        os.close(fd)


# --- swapping two files in one step -------------------------------------------------

_AT_FDCWD = -100
_RENAME_EXCHANGE = 2


@functools.cache
def _renameat2() -> Callable[..., int] | None:
    """Linux's renameat2, or None where there is none (other systems, an old C library)."""
    if not sys.platform.startswith("linux"):
        return None
    try:
        import ctypes

        function: Any = ctypes.CDLL(None, use_errno=True).renameat2
    except (ImportError, OSError, AttributeError):
        return None
    function.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
    function.restype = ctypes.c_int
    return function  # type: ignore[no-any-return]


def _exchange(first: str, second: str) -> bool:
    """Swaps the files at two paths in one step; False where the system
    (or the file system) cannot, and nothing was done. Raises OSError."""
    rename = _renameat2()
    if rename is None:
        return False
    if rename(_AT_FDCWD, os.fsencode(first), _AT_FDCWD, os.fsencode(second), _RENAME_EXCHANGE) == 0:
        return True
    import ctypes

    code = ctypes.get_errno()
    if code in (errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP, errno.ENOTSUP):
        return False
    raise OSError(code, os.strerror(code), second)
