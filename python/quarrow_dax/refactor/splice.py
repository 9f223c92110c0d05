"""Where the edits of a formula's text go in its file: in TMDL the formula's
characters are the file's, line for line, after the block's indentation; in
a .bim file or a report a formula is a JSON string (or a .bim array of
strings, a line each), its characters written with escapes, and an edit is
written there in the hand of the file (`json_tokens`). Each edit is checked
against the file: the characters it replaces must still write what the
formula read."""

from __future__ import annotations

from collections.abc import Sequence

from ..model import Formula
from ..model.json_strings import FileEscapes
from .dax import DaxEdit
from .edits import TextEdit
from .json_tokens import JsonToken

__all__ = ["FileText", "formula_edits"]


class FileText:
    """A file's text as read, with what the splicing of its edits needs
    worked out once: where its lines start, its escapes."""

    def __init__(self, path: str, text: str) -> None:
        self.path = path
        self.text = text
        self._line_starts: list[int] | None = None
        self._escapes: FileEscapes | None = None

    @property
    def line_starts(self) -> list[int]:
        if self._line_starts is None:
            starts = [0]
            position = self.text.find("\n")
            while position >= 0:
                starts.append(position + 1)
                position = self.text.find("\n", position + 1)
            self._line_starts = starts
        return self._line_starts

    @property
    def escapes(self) -> FileEscapes:
        if self._escapes is None:
            self._escapes = FileEscapes(self.text)
        return self._escapes

    def token(self, start: int, end: int, depth: int = 1) -> JsonToken:
        return JsonToken(self.text, start, end, depth, self.escapes)


def _char_offsets(text: str, offsets: Sequence[int]) -> dict[int, int]:
    """The character offsets of UTF-8 byte `offsets` of `text`."""
    if text.isascii():
        return {offset: offset for offset in offsets}
    data = text.encode("utf-8")
    return {offset: len(data[:offset].decode("utf-8")) for offset in set(offsets)}


class SpliceError(ValueError):
    """An edit that does not fall where the formula says it is: the file is
    not what the formula was read from."""


def formula_edits(formula: Formula, edits: Sequence[DaxEdit], file: FileText, depth: int = 1) -> list[TextEdit]:
    """The file edits that make `edits` (of `formula`'s text) in `file`, the
    text `formula` was read from; `depth` 2 for a formula held in a JSON
    text inside a string. Raises SpliceError when the file does not hold
    the formula there."""
    text = formula.text
    chars = _char_offsets(text, [offset for edit in edits for offset in (edit.start, edit.end)])
    found: list[TextEdit] = []
    if formula.form in ("inline", "indented", "fenced"):
        line_starts = [0]
        position = text.find("\n")
        while position >= 0:
            line_starts.append(position + 1)
            position = text.find("\n", position + 1)
        for edit in edits:
            start, end = chars[edit.start], chars[edit.end]
            line = _line_of(line_starts, start)
            file_line, file_column = formula.line_map[line]
            begin = file.line_starts[file_line - 1] + file_column - 1 + (start - line_starts[line])
            if file.text[begin : begin + end - start] != edit.old:
                raise SpliceError(f"{file.path}: the formula of {formula.kind} {formula.name!r} is not where it was"
                                  " read")
            found.append(TextEdit(file.path, begin, begin + end - start, edit.text, edit.what))
        return found
    if formula.form == "string":
        token = file.token(*formula.string_spans[0], depth=depth)
        if token.value != text:
            raise SpliceError(f"{file.path}: the formula of {formula.kind} {formula.name!r} is not where it was read")
        for edit in edits:
            found.append(TextEdit(file.path, *token.replace(chars[edit.start], chars[edit.end], edit.text), edit.what))
        return found
    if formula.form == "lines":
        lines = text.split("\n")
        if len(lines) != len(formula.string_spans):
            raise SpliceError(f"{file.path}: the lines of {formula.kind} {formula.name!r} are not where they were read")
        starts = [0]
        for piece in lines[:-1]:
            starts.append(starts[-1] + len(piece) + 1)
        tokens: dict[int, JsonToken] = {}
        for edit in edits:
            start, end = chars[edit.start], chars[edit.end]
            number = _line_of(starts, start)
            token = tokens.get(number) or file.token(*formula.string_spans[number], depth=depth)
            if number not in tokens:
                tokens[number] = token
                if token.value != lines[number]:
                    raise SpliceError(f"{file.path}: the lines of {formula.kind} {formula.name!r} are not where they"
                                      " were read")
            found.append(TextEdit(file.path, *token.replace(start - starts[number], end - starts[number], edit.text),
                                  edit.what))
        return found
    raise SpliceError(f"{formula.kind} {formula.name!r}: a formula that does not say where it is written")


def _line_of(starts: list[int], offset: int) -> int:
    low, high = 0, len(starts) - 1
    while low < high:
        middle = (low + high + 1) // 2
        if starts[middle] <= offset:
            low = middle
        else:
            high = middle - 1
    return low
