"""Writing changed formula texts back into the model file they were read
from, every other byte left as it was.

    from quarrow_dax.model import read_model
    from quarrow_dax.model.writing import rewrite_formulas

    formulas = list(read_model("model.bim"))
    text = rewrite_formulas(file_text, [(formulas[0], "SUM ( Sales[Amount] )")])

In a .bim file a formula is one JSON string or an array of strings, a line
each; a new text is written the same way, with the escapes the file's
serializer chose (`json_strings`; an array keeps the separator its first
elements had). In TMDL a formula is
written after its `=`, on the indented lines below, or between ``` lines;
a new text keeps that form and the indentation (a text on the `=` line
that grows to several lines moves to the lines below, indented as TMDL
indents an expression). The caller reads the file, rewrites, checks the
result by reading it again, and writes it (`quarrow_dax.writeback`).
"""

from __future__ import annotations

import os
import re
import tempfile
from collections.abc import Sequence
from pathlib import Path

from .errors import ModelError
from .formulas import Formula
from .json_strings import EscapeStyle, FileEscapes, rewritten_strings
from .loading import read_model

__all__ = ["read_back_problem", "rewrite_formulas"]

_SPACE_BEFORE = re.compile(r"[ \t\r\n]*\Z")
_EMPTY_LINES = re.compile(r"(?:[ \t\r]*\n)*")


def rewrite_formulas(text: str, changes: Sequence[tuple[Formula, str]]) -> str:
    """`text`, the text of one model file, with the text of each formula
    of `changes` (read from this very text) replaced by the new text given
    with it. Raises ValueError for a formula that does not say where it is
    written (one not made by `read_model`)."""
    if not changes:
        return text
    forms = {formula.form for formula, _ in changes}
    if forms <= {"string", "lines"}:
        return _rewrite_json(text, changes)
    if forms <= {"inline", "indented", "fenced"}:
        return _rewrite_tmdl(text, changes)
    raise ValueError(f"formulas of unknown form {sorted(forms)!r}: not read from a .bim or TMDL file")


def _rewrite_json(text: str, changes: Sequence[tuple[Formula, str]]) -> str:
    edits: list[tuple[int, int, str]] = []
    file = FileEscapes(text)
    for formula, new in changes:
        spans = formula.string_spans
        raw = [text[start + 1 : end - 1] for start, end in spans]
        contents = rewritten_strings(formula.text, raw, new, EscapeStyle.of(raw, file), lines=formula.form == "lines")
        if formula.form == "string":
            edits.append((spans[0][0], spans[0][1], '"' + contents[0] + '"'))
            continue
        if len(spans) > 1:
            separator = text[spans[0][1] : spans[1][0]]
        else:
            # One element: the next ones go as it sits after the `[`.
            before = text[: spans[0][0]]
            space = _SPACE_BEFORE.search(before)
            gap = before[space.start() :] if space is not None else ""
            separator = "," + gap if "\n" in gap else ", "
        edits.append((spans[0][0], spans[-1][1], separator.join('"' + content + '"' for content in contents)))
    pieces = []
    position = 0
    for start, end, replacement in sorted(edits):
        pieces += [text[position:start], replacement]
        position = end
    pieces.append(text[position:])
    return "".join(pieces)


def _rewrite_tmdl(text: str, changes: Sequence[tuple[Formula, str]]) -> str:
    lines = text.split("\n")
    # From the last formula up, so that the lines of those before stay put.
    for formula, new in sorted(changes, key=lambda change: change[0].line, reverse=True):
        first = formula.line_map[0][0] - 1
        last = formula.line_map[-1][0] - 1
        ending = "\r" if lines[first].endswith("\r") else ""  # a CRLF file
        indent = "\t" * formula.block_depth
        block = [(indent + line if line else "") + ending for line in new.split("\n")]
        if formula.form != "inline":
            # Empty lines that began the formula and still begin it stay as
            # they were written (a tab-indented empty line stays so).
            for index in range(min(_leading_empty_lines(formula.text), _leading_empty_lines(new))):
                block[index] = lines[first + index]
            lines[first : last + 1] = block
            continue
        line = lines[first][: len(lines[first]) - len(ending)]
        start = formula.column - 1
        if len(block) == 1:
            lines[first] = line[:start] + new + line[start + formula.exact[0] :] + ending
        else:
            lines[first : first + 1] = [line[:start].rstrip(" \t") + ending, *block]
    return "\n".join(lines)


def _leading_empty_lines(text: str) -> int:
    match = _EMPTY_LINES.match(text)
    return match.group().count("\n") if match is not None else 0


def read_back_problem(file: str, text: str, formulas: list[Formula], new_texts: dict[int, str]) -> str | None:
    """Why the new `text` of the model file `file` does not read as its
    `formulas` with their new texts (keyed by the formula's id); None when it
    does. A check before a rewritten model file replaces the old one."""
    errors: list[ModelError] = []
    with tempfile.TemporaryDirectory(prefix="quarrow-dax-") as folder:
        copy = Path(folder) / Path(file).name
        copy.write_text(text, encoding="utf-8", newline="")
        found = list(read_model(os.fspath(copy), errors, []))
    if errors:
        return errors[0].message
    expected = [(f.kind, f.table, f.name, new_texts.get(id(f), f.text)) for f in formulas]
    got = [(f.kind, f.table, f.name, f.text) for f in found]
    if got == expected:
        return None
    for want, have in zip(expected, got):
        if want != have:
            return f"{want[0]} {want[2]!r} reads back differently"
    return f"{len(got)} formulas read back, not {len(expected)}"

