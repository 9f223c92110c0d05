"""The DAX texts of a document and where each of their characters sits.

A `.dax` file is one DAX text. A model file holds many: each formula of a
TMDL file sits on its lines, its indentation taken off; each formula of a
`.bim` file in one JSON string (or an array of them, a line each), its
escapes decoded. A `Piece` is one such text with the document offset of
every character, so that a place in the formula (a byte offset, as the
parser gives it) maps to the document and back exactly, escapes included.
"""

from __future__ import annotations

import bisect
from collections.abc import Sequence
from dataclasses import dataclass, field

from ..model import Formula
from ..references import SourceKind

__all__ = ["Piece", "formula_piece", "text_piece"]


@dataclass
class Piece:
    """One DAX text of a document: `text`, read as `kind`; `formula` when it
    is a model's; `offsets[i]` is the document's character offset of the
    text's character i, and `offsets[len(text)]` that of its end (None: the
    text is the whole document)."""

    text: str
    kind: SourceKind
    formula: Formula | None = None
    offsets: list[int] | None = None
    _ascii: bool = field(init=False, repr=False)
    _data: bytes | None = field(default=None, init=False, repr=False)

    def __post_init__(self) -> None:
        self._ascii = self.text.isascii()

    @property
    def data(self) -> bytes:
        if self._data is None:
            self._data = self.text.encode("utf-8", "surrogatepass")
        return self._data

    @property
    def start(self) -> int:
        """The document offset where the text begins."""
        return 0 if self.offsets is None else self.offsets[0]

    @property
    def end(self) -> int:
        return len(self.text) if self.offsets is None else self.offsets[-1]

    def contains(self, offset: int) -> bool:
        """Whether the document offset lies in the text or at its end."""
        return self.start <= offset <= self.end

    # --- bytes and characters of the text -------------------------------------------

    def char_of_byte(self, offset: int) -> int:
        offset = max(0, min(offset, len(self.data)))
        if self._ascii:
            return offset
        return len(self.data[:offset].decode("utf-8", "replace"))

    def byte_of_char(self, index: int) -> int:
        index = max(0, min(index, len(self.text)))
        if self._ascii:
            return index
        return len(self.text[:index].encode("utf-8", "surrogatepass"))

    # --- the document ----------------------------------------------------------------

    def document_offset(self, index: int) -> int:
        """The document offset of character `index` of the text."""
        index = max(0, min(index, len(self.text)))
        return index if self.offsets is None else self.offsets[index]

    def document_span(self, start: int, end: int) -> tuple[int, int]:
        """The document offsets of the byte span `start`..`end` of the text."""
        return self.document_offset(self.char_of_byte(start)), self.document_offset(self.char_of_byte(end))

    def char_at(self, offset: int) -> int:
        """The character of the text at the document offset (the next one
        when the offset falls between lines, in indentation or an escape)."""
        if self.offsets is None:
            return max(0, min(offset, len(self.text)))
        return min(bisect.bisect_left(self.offsets, offset), len(self.text))

    def byte_at(self, offset: int) -> int:
        """The byte offset in the text of a document offset."""
        return self.byte_of_char(self.char_at(offset))


def text_piece(text: str, kind: SourceKind) -> Piece:
    """A whole document that is one DAX text."""
    return Piece(text, kind)


def formula_piece(formula: Formula, document: str, line_starts: Sequence[int]) -> Piece:
    """The piece of a model formula read from `document` (the text of the
    file the formula was read from, `line_starts` its lines' offsets)."""
    kind: SourceKind = "function" if formula.kind == "function" else "expression"
    offsets = None
    if formula.string_spans:
        offsets = _json_offsets(formula, document)
    if offsets is None:
        offsets = _line_offsets(formula, line_starts)
    return Piece(formula.text, kind, formula, offsets)


def _line_offsets(formula: Formula, line_starts: Sequence[int]) -> list[int]:
    """Character offsets by the formula's line map: each line of the text
    from where it begins in the file, one character per character (exact in
    TMDL; in a .bim file the fallback, exact up to a line's first escape)."""
    offsets: list[int] = []
    lines = formula.text.split("\n")
    for number, text in enumerate(lines):
        index = min(number, len(formula.line_map) - 1)
        file_line, file_column = formula.line_map[index]
        line_start = line_starts[min(max(file_line - 1, 0), len(line_starts) - 1)]
        begin = line_start + file_column - 1
        offsets.extend(range(begin, begin + len(text)))
        # The line feed between two lines of the text: the file's line end.
        offsets.append(begin + len(text))
    # Offsets must never go back (a .bim line past an escape may): keep them rising.
    for index in range(1, len(offsets)):
        if offsets[index] < offsets[index - 1]:
            offsets[index] = offsets[index - 1]
    return offsets


_SIMPLE_ESCAPES = frozenset('"\\/bfnrt')


def _json_offsets(formula: Formula, document: str) -> list[int] | None:
    """Character offsets of a .bim formula, decoded string by string from
    the file: each escape stands for the one character it makes (a surrogate
    pair's two escapes for one). None when the strings do not decode to the
    formula's text (the file is not the one it was read from)."""
    offsets: list[int] = []
    for number, (start, end) in enumerate(formula.string_spans):
        if number:
            offsets.append(formula.string_spans[number - 1][1] - 1)  # the line feed joining array lines
        position, stop = start + 1, end - 1
        while position < stop:
            offsets.append(position)
            if document[position] != "\\":
                position += 1
                continue
            escape = document[position + 1 : position + 2]
            if escape == "u":
                code = int(document[position + 2 : position + 6] or "0", 16) if _hex(document, position + 2) else 0
                low = position + 6
                if 0xD800 <= code < 0xDC00 and document[low : low + 2] == "\\u" and _hex(document, low + 2) \
                        and 0xDC00 <= int(document[low + 2 : low + 6], 16) < 0xE000:
                    position += 12
                else:
                    position += 6
            elif escape in _SIMPLE_ESCAPES:
                position += 2
            else:
                return None
    if not formula.string_spans:
        return None
    offsets.append(formula.string_spans[-1][1] - 1)
    if len(offsets) != len(formula.text) + 1:
        return None
    return offsets


def _hex(text: str, start: int) -> bool:
    digits = text[start : start + 4]
    return len(digits) == 4 and all(c in "0123456789abcdefABCDEF" for c in digits)
