"""Reading source files and walking folders, the same way for DAX files and
model files: regular files only, a cap on their size, text decoded by its
byte-order mark, and every folder that cannot be read reported rather than
skipped.

    from quarrow_dax.sources import SourceError, read_text

    try:
        text = read_text("measure.dax")
    except SourceError as error:
        print(error)          # measure.dax: not a regular file

Reading never blocks on a FIFO or a device: a path is opened without waiting
for a writer and refused unless it is a regular file.
"""

from __future__ import annotations

import codecs
import os
import stat
from collections.abc import Callable, Iterator
from pathlib import Path

__all__ = [
    "MAX_FILE_SIZE", "SourceError", "decode_text", "is_dir", "is_file", "line_end", "read_bytes",
    "read_file", "read_text", "text_encoding", "walk",
]

#: The largest file read unless the caller asks for more: far above any real
#: DAX file or model (the largest real .bim files are tens of MB), and low
#: enough that parsing one stays within a few GB of memory.
MAX_FILE_SIZE = 256 * 1024 * 1024

# Byte-order marks, UTF-32 first: its little-endian mark begins with UTF-16's.
_BOMS = (
    (codecs.BOM_UTF32_LE, "utf-32-le", "UTF-32"),
    (codecs.BOM_UTF32_BE, "utf-32-be", "UTF-32"),
    (codecs.BOM_UTF8, "utf-8", "UTF-8"),
    (codecs.BOM_UTF16_LE, "utf-16-le", "UTF-16"),
    (codecs.BOM_UTF16_BE, "utf-16-be", "UTF-16"),
)


class SourceError(Exception):
    """A file or folder that cannot be read: `path`, `message`, and where the
    fault is known, its 1-based `line` and `column`."""

    def __init__(self, path: str, message: str, line: int | None = None, column: int | None = None) -> None:
        super().__init__(path, message, line, column)
        self.path = path
        self.message = message
        self.line = line
        self.column = column

    def __str__(self) -> str:
        where = self.path
        if self.line is not None:
            where += f":{self.line}" + ("" if self.column is None else f":{self.column}")
        return f"{where}: {self.message}"


def read_bytes(path: str | os.PathLike[str], max_size: int = MAX_FILE_SIZE) -> bytes:
    """The bytes of the regular file at `path`, at most `max_size` of them
    (0: no limit). Raises SourceError for anything else: a missing file, a
    folder, a FIFO or device, a file that is too large or unreadable."""
    return read_file(path, max_size)[0]


def read_file(path: str | os.PathLike[str], max_size: int = MAX_FILE_SIZE) -> tuple[bytes, os.stat_result]:
    """`read_bytes`, and the file's status as it was opened (the file a
    symbolic link leads to): what tells later whether it is still the file
    that was read (`writeback.Original`)."""
    name = os.fspath(path)
    try:
        # O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
        fd = os.open(name, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    except OSError as error:
        raise SourceError(name, error.strerror or str(error)) from None
    try:
        info = os.fstat(fd)
        if stat.S_ISDIR(info.st_mode):
            raise SourceError(name, "is a folder, not a file")
        if not stat.S_ISREG(info.st_mode):
            raise SourceError(name, "not a regular file (a FIFO, socket or device is never read)")
        if max_size and info.st_size > max_size:
            raise SourceError(name, f"the file has {info.st_size:,} bytes, more than the limit of {max_size:,}")
        with os.fdopen(fd, "rb", closefd=False) as stream:
            # What fstat said and one byte more, up to one byte past the
            # limit: a file that grew since is still caught, and reading asks
            # for no larger a buffer than the file needs (a read of the whole
            # limit allocates all of it for every small file).
            wanted = info.st_size + 1 if not max_size else min(info.st_size, max_size) + 1
            data = stream.read(wanted)
            if not max_size and len(data) == wanted:
                data += stream.read()  # it grew: read the rest
    except OSError as error:
        raise SourceError(name, error.strerror or str(error)) from None
    finally:
        os.close(fd)
    if max_size and len(data) > max_size:
        raise SourceError(name, f"the file has more than the limit of {max_size:,} bytes")
    return data, info


def _utf16_without_mark(data: bytes) -> str | None:
    """The encoding that ASCII text at the start of `data` shows by its zero
    bytes (how UTF-16 and UTF-32 without a byte-order mark look), or None."""
    head = data[:4]
    if len(head) < 4 or b"\x00" not in head:
        return None
    zeros = (head[0] == 0, head[1] == 0, head[2] == 0, head[3] == 0)
    return {
        (False, True, True, True): "UTF-32 (little-endian)",
        (True, True, True, False): "UTF-32 (big-endian)",
        (False, True, False, True): "UTF-16 (little-endian)",
        (True, False, True, False): "UTF-16 (big-endian)",
    }.get(zeros)


def text_encoding(data: bytes, encoding: str | None = None) -> tuple[bytes, str]:
    """The byte-order mark `data` begins with (b"" when none) and the codec
    its text is read with: the mark's, else `encoding`, else UTF-8. Writing
    the mark and the text encoded with the codec gives the file's bytes
    back."""
    for mark, codec, _ in _BOMS:
        if data.startswith(mark):
            return mark, codec
    return b"", encoding or "utf-8"


def decode_text(data: bytes, path: str, encoding: str | None = None) -> str:
    """The text of a file's bytes without its byte-order mark. A mark (UTF-8,
    UTF-16 or UTF-32) decides the encoding; without one the text is read as
    `encoding`, UTF-8 by default. Raises SourceError naming the line and
    column of the first byte that does not decode."""
    for mark, codec, label in _BOMS:
        if data.startswith(mark):
            try:
                return data[len(mark) :].decode(codec)
            except UnicodeDecodeError:
                raise SourceError(path, f"not valid {label} text, although it begins with a {label} byte-order mark") from None
    codec = encoding or "utf-8"
    if encoding is None:
        # Zero bytes decode as UTF-8, but no text file holds them where ASCII
        # text in UTF-16 or UTF-32 has them.
        guess = _utf16_without_mark(data)
        if guess is not None:
            raise SourceError(
                path, f"not UTF-8 text: the file looks like {guess} without a byte-order mark;"
                " save it as UTF-8 or with a byte-order mark", 1, 1,
            )
    try:
        return data.decode(codec)
    except UnicodeDecodeError as error:
        before = data[: error.start]
        line = before.count(b"\n") + 1
        column = len(before[before.rfind(b"\n") + 1 :].decode(codec, "replace")) + 1
        label = "UTF-8" if codec == "utf-8" else codec
        raise SourceError(
            path, f"not valid {label}: {error.reason} 0x{data[error.start]:02x} at line {line}, column {column}"
            f" (byte {error.start})", line, column,
        ) from None


def read_text(path: str | os.PathLike[str], encoding: str | None = None, max_size: int = MAX_FILE_SIZE) -> str:
    """`read_bytes` and `decode_text` in one step."""
    return decode_text(read_bytes(path, max_size), os.fspath(path), encoding)


def walk(
    root: Path,
    errors: list[SourceError],
    unit: Callable[[Path], bool] = lambda _: False,
    skip: Callable[[Path, bool], bool] | None = None,
) -> Iterator[Path]:
    """Yields the entries under the folder `root` that are not folders, and
    the folders for which `unit(folder)` is true (without entering them),
    folder by folder in name order. Hidden folders (`.git`) are skipped and
    symbolic links to folders are never entered (a unit behind one is still
    yielded). `skip(path, is_folder)`, when given, leaves out an entry (a
    folder with all below it): the walk never enters what it skips. A
    folder that cannot be listed is appended to `errors` and the walk goes
    on. Iterative: a deep tree needs no deep stack."""
    pending = [root]
    while pending:
        folder = pending.pop()
        try:
            with os.scandir(folder) as listing:
                entries = sorted(listing, key=lambda entry: entry.name)
        except OSError as error:
            errors.append(SourceError(str(folder), f"cannot read the folder: {error.strerror or error}"))
            continue
        subfolders = []
        for entry in entries:
            path = folder / entry.name
            try:
                is_folder = entry.is_dir()
                is_link = entry.is_symlink()
            except OSError:
                is_folder = is_link = False
            if is_folder and entry.name.startswith("."):
                continue
            if skip is not None and skip(path, is_folder):
                continue
            if not is_folder:
                yield path
            elif unit(path):
                yield path
            elif not is_link:  # a link may lead back up the tree: never entered
                subfolders.append(path)
        pending.extend(reversed(subfolders))


def is_file(path: Path) -> bool:
    """Path.is_file() that answers False instead of raising for a path it may
    not look at (a folder without execute permission on the way)."""
    try:
        return path.is_file()
    except OSError:
        return False


def is_dir(path: Path) -> bool:
    """Path.is_dir() that answers False instead of raising."""
    try:
        return path.is_dir()
    except OSError:
        return False


def line_end(text: str) -> str:
    """The line end for the lines a tool writes into `text`: the one most of
    its lines end with, LF or CRLF (a tie goes to the first line's); CR
    only in a text with no line feed at all, since a line comment runs to
    the next line feed whatever carriage returns it holds; LF for a text of
    one line."""
    crlf = text.count("\r\n")
    lf = text.count("\n") - crlf
    if not lf and not crlf:
        return "\r" if "\r" in text else "\n"
    if lf != crlf:
        return "\n" if lf > crlf else "\r\n"
    first = text.find("\n")
    return "\r\n" if first > 0 and text[first - 1] == "\r" else "\n"
