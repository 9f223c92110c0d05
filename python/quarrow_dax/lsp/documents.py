"""The documents the editor has open: their text as the editor holds it,
kept up to date change by change, and positions as the editor counts them.

The protocol places a position by a line and a count of code units of one
encoding (UTF-16 unless client and server agreed on UTF-8 or UTF-32); the
tools count characters (code points) and UTF-8 bytes. `Document` converts
between them one line at a time, so a change at the end of a long file
costs the length of its line, not of the file.

Documents are immutable: a change makes a new one, so that analysis in a
worker thread reads a text that cannot change under it.
"""

from __future__ import annotations

import bisect
import os
import urllib.parse
import urllib.request
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Literal

__all__ = ["Change", "Document", "DocumentStore", "Encoding", "Positions", "path_of_uri", "uri_of_path"]

#: How the editor counts characters in a line: "utf-16" (the protocol's
#: default), "utf-8" or "utf-32" (code points).
Encoding = Literal["utf-16", "utf-8", "utf-32"]


def path_of_uri(uri: str) -> str | None:
    """The local path a `file:` URI names, or None for any other scheme
    (an untitled buffer)."""
    parsed = urllib.parse.urlparse(uri)
    if parsed.scheme != "file":
        return None
    path = urllib.request.url2pathname(parsed.path)
    if parsed.netloc and parsed.netloc != "localhost":
        path = f"//{parsed.netloc}{path}"  # a share: //server/folder
    return os.path.normpath(path)


def uri_of_path(path: str) -> str:
    return Path(os.path.abspath(path)).as_uri()


def _units(text: str, encoding: Encoding) -> int:
    """How many code units of `encoding` `text` takes."""
    if encoding == "utf-32" or text.isascii():
        return len(text)
    if encoding == "utf-8":
        return len(text.encode("utf-8", "surrogatepass"))
    return len(text) + sum(1 for character in text if ord(character) > 0xFFFF)


def _column_of_units(line: str, units: int, encoding: Encoding) -> int:
    """The character column (from 0) that `units` code units into `line`
    reach; a position inside a character counts as that character's start,
    one past the line as its end."""
    if encoding == "utf-32" or line.isascii():
        return max(0, min(units, len(line)))
    count = 0
    for index, character in enumerate(line):
        if encoding == "utf-8":
            width = len(character.encode("utf-8", "surrogatepass"))
        else:
            width = 1 + (ord(character) > 0xFFFF)
        if count + width > units:
            return index
        count += width
    return len(line)


@dataclass(frozen=True)
class Change:
    """One content change as the editor sends it: `text` replaces the range
    from (`start_line`, `start_units`) to (`end_line`, `end_units`), in the
    editor's code units; a change without a range replaces the whole text."""

    text: str
    start_line: int | None = None
    start_units: int = 0
    end_line: int = 0
    end_units: int = 0


@dataclass(frozen=True)
class Document:
    """One open document: its `uri`, the local `path` (None for an untitled
    buffer), the `version` the editor gave and the `text`."""

    uri: str
    path: str | None
    version: int
    text: str
    encoding: Encoding = "utf-16"
    _starts: list[int] = field(default_factory=list, repr=False, compare=False)

    @property
    def line_starts(self) -> list[int]:
        """The character offset where each line begins (after a line feed)."""
        starts = self._starts
        if not starts:
            # Made aside and put in place at once: the event loop and the
            # worker may both ask first, and neither may see half a list.
            found = [0]
            text = self.text
            at = text.find("\n")
            while at >= 0:
                found.append(at + 1)
                at = text.find("\n", at + 1)
            starts[:] = found
        return starts

    def line(self, number: int) -> str:
        """Line `number` (from 0) without its line feed; "" past the end."""
        starts = self.line_starts
        if not 0 <= number < len(starts):
            return ""
        end = starts[number + 1] - 1 if number + 1 < len(starts) else len(self.text)
        return self.text[starts[number] : end]

    def offset(self, line: int, units: int) -> int:
        """The character offset of an editor position, clamped to the text
        (a line past the end is the end of the text)."""
        starts = self.line_starts
        if line < 0:
            return 0
        if line >= len(starts):
            return len(self.text)
        text = self.line(line)
        column = _column_of_units(text, units, self.encoding)
        return starts[line] + column

    def position(self, offset: int) -> tuple[int, int]:
        """The editor position (line, code units) of a character offset."""
        offset = max(0, min(offset, len(self.text)))
        starts = self.line_starts
        line = bisect.bisect_right(starts, offset) - 1
        return line, _units(self.text[starts[line] : offset], self.encoding)

    def positions(self) -> Positions:
        """`position` for many offsets, mostly in increasing order."""
        return Positions(self)

    def changed(self, changes: Iterable[Change], version: int) -> Document:
        """The document after `changes`, applied in order as the protocol
        says (each to the text the one before left)."""
        text = self.text
        document = self
        for change in changes:
            if change.start_line is None:
                text = change.text
            else:
                start = document.offset(change.start_line, change.start_units)
                end = max(start, document.offset(change.end_line, change.end_units))
                text = text[:start] + change.text + text[end:]
            document = Document(self.uri, self.path, version, text, self.encoding)
        return Document(self.uri, self.path, version, text, self.encoding)


class Positions:
    """Editor positions of character offsets, each counted on from the one
    before when it is further along the same line: the tokens of a line of
    a hundred thousand characters cost the line's length once, not once
    per token."""

    def __init__(self, document: Document) -> None:
        self.document = document
        self.line = -1
        self.offset = 0
        self.units = 0

    def __call__(self, offset: int) -> tuple[int, int]:
        document = self.document
        offset = max(0, min(offset, len(document.text)))
        starts = document.line_starts
        line = bisect.bisect_right(starts, offset) - 1
        if line != self.line or offset < self.offset:
            self.line, self.offset, self.units = line, starts[line], 0
        self.units += _units(document.text[self.offset : offset], document.encoding)
        self.offset = offset
        return line, self.units


class DocumentStore:
    """The open documents by URI. Opening, changing and closing replace a
    document whole; readers keep the `Document` they got."""

    def __init__(self, encoding: Encoding = "utf-16") -> None:
        self.encoding: Encoding = encoding
        self._documents: dict[str, Document] = {}

    def open(self, uri: str, text: str, version: int) -> Document:
        document = Document(uri, path_of_uri(uri), version, text, self.encoding)
        self._documents[uri] = document
        return document

    def change(self, uri: str, changes: Iterable[Change], version: int) -> Document | None:
        """The document after the changes; None when it is not open (a
        change the editor sent for a document it never opened is ignored)."""
        document = self._documents.get(uri)
        if document is None:
            return None
        document = document.changed(changes, version)
        self._documents[uri] = document
        return document

    def close(self, uri: str) -> Document | None:
        return self._documents.pop(uri, None)

    def get(self, uri: str) -> Document | None:
        return self._documents.get(uri)

    def by_path(self, path: str) -> Document | None:
        for document in list(self._documents.values()):
            if document.path == path:
                return document
        return None

    def __iter__(self) -> Iterator[Document]:
        return iter(list(self._documents.values()))

    def texts(self) -> dict[str, str]:
        """The text of every open local document by its path: what the
        tools read in place of the files on disk."""
        return {document.path: document.text for document in list(self._documents.values())
                if document.path is not None}
