"""Edits of files as spans: `TextEdit` (new text for a range of a file's
text), `FileEdit` (every edit of one file, its bytes before and after, a
diff), and writing several files together (`write_edits`, through
`quarrow_dax.writeback`: all or none)."""

from __future__ import annotations

import bisect
import difflib
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

from ..sources import decode_text, text_encoding
from ..writeback import Change, Original, WriteProblem, write_back

__all__ = ["EditConflict", "FileEdit", "TextEdit", "file_edit", "write_edits"]


@dataclass(frozen=True, slots=True)
class TextEdit:
    """New `text` for the characters `start`..`end` of the text of the file
    `path` (after its byte-order mark); `what` says what the range is
    ("measure reference", "table declaration", ...)."""

    path: str
    start: int
    end: int
    text: str
    what: str = ""


class EditConflict(ValueError):
    """Two different edits of the same characters of one file."""


@dataclass(frozen=True)
class FileEdit:
    """Every edit of one file: `path`, the file as it was read
    (`original`: its bytes and identity), the `edits` in file order, its
    text `before` and `after` (without the byte-order mark, which stays),
    and the new bytes (`data`)."""

    path: str
    original: Original
    edits: tuple[TextEdit, ...]
    before: str
    after: str
    mark: bytes = b""
    codec: str = "utf-8"
    _lines: list[int] = field(default_factory=list, repr=False, compare=False)

    @property
    def data(self) -> bytes:
        """The new bytes of the file: its byte-order mark, then the new text
        in its encoding."""
        return self.mark + self.after.encode(self.codec)

    @property
    def changed(self) -> bool:
        return self.after != self.before

    def position(self, offset: int) -> tuple[int, int]:
        """(line, column), both from 1, of a character offset of the text
        before."""
        if not self._lines:
            starts = [0]
            position = self.before.find("\n")
            while position >= 0:
                starts.append(position + 1)
                position = self.before.find("\n", position + 1)
            self._lines.extend(starts)
        line = bisect.bisect_right(self._lines, offset)
        return line, offset - self._lines[line - 1] + 1

    def diff(self) -> str:
        """A unified diff of the text before and after."""
        lines = difflib.unified_diff(self.before.splitlines(keepends=True), self.after.splitlines(keepends=True),
                                     "a/" + self.path, "b/" + self.path)
        return "".join(line if line.endswith("\n") else line + "\n\\ No newline at end of file\n" for line in lines)


def file_edit(original: Original, edits: Iterable[TextEdit]) -> FileEdit:
    """The FileEdit of `edits` on the file `original`: edits of the same
    range with the same text count once; ranges that overlap otherwise
    raise EditConflict."""
    mark, codec = text_encoding(original.data)
    before = decode_text(original.data, original.path)
    unique = sorted(set(edits), key=lambda edit: (edit.start, edit.end, edit.text))
    if any(edit.path != original.path for edit in unique):
        raise EditConflict(f"{original.path}: an edit of another file")
    kept: list[TextEdit] = []
    for edit in unique:
        if not 0 <= edit.start <= edit.end <= len(before):
            raise EditConflict(f"{original.path}: an edit outside the file ({edit.start}..{edit.end})")
        if kept and edit.start < kept[-1].end:
            previous = kept[-1]
            if (previous.start, previous.end, previous.text) == (edit.start, edit.end, edit.text):
                continue  # the same edit found twice (a table alias several fields share)
            raise EditConflict(f"{original.path}: two edits of characters {previous.start}..{previous.end} and"
                               f" {edit.start}..{edit.end}")
        if kept and (kept[-1].start, kept[-1].end, kept[-1].text) == (edit.start, edit.end, edit.text):
            continue
        kept.append(edit)
    pieces = []
    position = 0
    for edit in kept:
        pieces += [before[position : edit.start], edit.text]
        position = edit.end
    pieces.append(before[position:])
    return FileEdit(original.path, original, tuple(kept), before, "".join(pieces), mark, codec)


def write_edits(edits: Sequence[FileEdit]) -> list[WriteProblem]:
    """Writes every changed file together: each is replaced only while it
    is still as it was read, and if one cannot be written none is
    (`writeback.write_back` with together=True). Returns the problems."""
    changes = []
    for edit in edits:
        if not edit.changed:
            continue
        try:
            changes.append(Change(edit.original, edit.data))
        except UnicodeEncodeError as error:
            return [WriteProblem(edit.path, "failed", f"the new text has {error.object[error.start]!r}, which"
                                 f" {edit.codec} cannot write; no file was written")]
    return write_back(changes, together=True) if changes else []
