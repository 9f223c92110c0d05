"""Formatting files: DAX files and the formulas of tabular models, as the
command line `quarrow-dax format` does, returning what would change as data.

    from quarrow_dax.formatter import FormatOptions
    from quarrow_dax.formatter.files import format_dax_file

    result = format_dax_file("measure.dax", FormatOptions())
    problem = result.write()   # None: written (or nothing to write)
    if problem is not None:
        print(problem)         # cannot write measure.dax: it changed since it was read; ...

A file is rewritten only when all of it formatted safely: a DAX file whose
text parses, a model file all of whose formulas parse and format. A model
file's new text is read back as a model before it is handed out, and must
give the same formulas with their formatted texts. Only the layout changes:
a file keeps its byte-order mark, encoding and line ends; a model formula
keeps its leading line breaks, its line ends and the JSON escapes its file
was written with. Writing (`quarrow_dax.writeback`) replaces a file only
while it still holds the bytes that were formatted.
"""

from __future__ import annotations

import dataclasses
import difflib
import re
from dataclasses import dataclass, field

from ..check import (
    CheckOptions, check_text, display_path, formula_diagnostic, in_formula, is_query, model_problem, object_name,
    separator_diagnostic,
)
from ..diagnostics import Diagnostic
from ..model import Formula, ModelError, ModelWarning, read_model
from ..model.writing import read_back_problem, rewrite_formulas
from ..sources import MAX_FILE_SIZE, SourceError, decode_text, line_end, read_file, text_encoding
from ..syntax.parsing import ParseError, tokenize
from ..syntax.separators import SeparatorError
from ..writeback import Change, Original, WriteProblem, write_back
from . import format_text
from .options import FormatOptions, Kind
from .safety import FormatError

__all__ = ["FileResult", "format_dax_file", "format_dax_text", "format_formula", "format_model", "leading_breaks"]


@dataclass
class FileResult:
    """What formatting did to one file (a DAX file or a model file): its
    text `before`, its formatted text `after` (None when it is left as it
    is: it could not be read, a formula does not parse, or the formatter
    failed), the `problems` found, and how many formulas it holds (0 for a
    DAX file)."""

    path: str
    before: str
    after: str | None
    problems: list[Diagnostic] = field(default_factory=list)
    formulas: int = 0
    mark: bytes = b""  # the byte-order mark to write back
    codec: str = "utf-8"
    #: The file as it was read (None for standard input): it is replaced
    #: only while it still holds these bytes.
    original: Original | None = None

    @property
    def changed(self) -> bool:
        return self.after is not None and self.after != self.before

    @property
    def failed(self) -> bool:
        return any(problem.severity == "error" for problem in self.problems)

    def diff(self) -> str:
        """A unified diff from the text before to the text after."""
        if self.after is None:
            return ""
        lines = difflib.unified_diff(self.before.splitlines(keepends=True), self.after.splitlines(keepends=True),
                                     "a/" + self.path, "b/" + self.path)
        return "".join(line if line.endswith("\n") else line + "\n\\ No newline at end of file\n" for line in lines)

    def encoded(self) -> bytes:
        """The text after as the file's bytes: its byte-order mark, then the
        text in its encoding. Raises UnicodeEncodeError."""
        return self.mark + (self.before if self.after is None else self.after).encode(self.codec)

    def write(self) -> WriteProblem | None:
        """Replaces the file with its new text (nothing when unchanged);
        returns why it was not written: it changed since it was read, it
        is read-only, its folder is not writable, ... (`writeback`)."""
        if not self.changed:
            return None
        if self.original is None:
            raise ValueError(f"{self.path}: no file was read to write back")
        try:
            data = self.encoded()
        except UnicodeEncodeError as error:
            return WriteProblem(self.path, "failed", f"the new text has {error.object[error.start]!r}, which"
                                f" {self.codec} cannot write; left as it was")
        problems = write_back([Change(self.original, data)])
        return dataclasses.replace(problems[0], path=self.path) if problems else None


def _internal(error: FormatError, path: str, line: int = 0, column: int = 0) -> Diagnostic:
    return Diagnostic.for_path(
        "internal", f"formatting would {error.problem}; left as it was (please report this with the input)",
        path, line, column,
    )


def format_dax_text(text: str, kind: Kind, options: FormatOptions, name: str = "<text>") -> str:
    """A DAX file's text formatted, with one line end at the end. A line
    the formatter leaves as it was keeps its line end; the others end as
    most of the text's lines do (LF or CRLF; CR in a text without a line
    feed), so that a file's own convention wins over a few stray lines;
    a line break inside a string or a comment stays as it is. Raises
    ParseError and FormatError."""
    newline = line_end(text)
    formatted = format_text(text, kind, options, name, newline) + newline
    if "\r\n" in text and _LONE_LINE_FEED.search(text):
        formatted = _keep_line_ends(text, formatted, options)
    return formatted


_LONE_LINE_FEED = re.compile(r"(?<!\r)\n")
# Beyond this many lines a text with mixed line ends takes the usual one
# throughout: matching its lines would cost more than it is worth.
_MATCHED_LINES = 20_000


def _keep_line_ends(before: str, after: str, options: FormatOptions) -> str:
    """`after` (one kind of line end throughout) with each line that is
    also a line of `before`, in the same order, ending as it did there.
    A line end inside a string or a comment of `after` is that of the
    input already, and part of the token: it stays."""
    old = before.split("\n")
    new = after.split("\n")
    if max(len(old), len(new)) > _MATCHED_LINES:
        return after
    old_ends = ["\r\n" if line.endswith("\r") else "\n" for line in old[:-1]]
    old_body = [line[:-1] if line.endswith("\r") else line for line in old]
    new_ends = ["\r\n" if line.endswith("\r") else "\n" for line in new[:-1]]
    new_body = [line[:-1] if line.endswith("\r") else line for line in new]
    inside = _lines_inside_tokens(after, options)
    matcher = difflib.SequenceMatcher(None, old_body, new_body, autojunk=False)
    for old_start, new_start, size in matcher.get_matching_blocks():
        for offset in range(size):
            line = new_start + offset
            if line < len(new_ends) and old_start + offset < len(old_ends) and line not in inside:
                new_ends[line] = old_ends[old_start + offset]
    return "".join(body + end for body, end in zip(new_body, new_ends)) + new_body[-1]


def _lines_inside_tokens(text: str, options: FormatOptions) -> set[int]:
    """The (0-based) lines of `text` whose line feed lies inside a token."""
    inside: set[int] = set()
    data = text.encode("utf-8")
    line = position = 0
    for token in tokenize(text, comments=True, separators=options.separators):
        span = token.span
        if span is None or "\n" not in token.text:
            continue
        line += data.count(b"\n", position, span.start)
        count = data.count(b"\n", span.start, span.end)
        inside.update(range(line, line + count))
        line += count
        position = span.end
    return inside


def _check_options(options: FormatOptions, mode: str | None, encoding: str | None, max_file_size: int) -> CheckOptions:
    return CheckOptions(mode="query" if mode == "query" else "expr" if mode == "expr" else None, encoding=encoding,
                        max_file_size=max_file_size, grammar=options.grammar, separators=options.separators)


def format_dax_file(
    path: str,
    options: FormatOptions,
    *,
    mode: str | None = None,
    encoding: str | None = None,
    max_file_size: int = MAX_FILE_SIZE,
    data: bytes | None = None,
) -> FileResult:
    """Formats one DAX file (or `data`, its bytes read already): read as a
    query or an expression by `mode` ("query", "expr"; None: by its first
    word), as `check` reads it."""
    name = display_path(path)
    original = None
    try:
        if data is None:
            data, info = read_file(path, max_file_size)
            original = Original.of(path, data, info)
        elif max_file_size and len(data) > max_file_size:
            raise SourceError(name, f"more than the limit of {max_file_size:,} bytes")
        text = decode_text(data, name, encoding)
    except SourceError as error:
        return FileResult(name, "", None, [Diagnostic.for_path("read", error.message, name, error.line or 0,
                                                               error.column or 0)])
    mark, codec = text_encoding(data, encoding)
    result = FileResult(name, text, None, mark=mark, codec=codec, original=original)
    kind: Kind = "query" if (mode == "query" or (mode is None and is_query(text))) else "expression"
    try:
        result.after = format_dax_text(text, kind, options, name)
    except SeparatorError as error:
        result.problems.append(separator_diagnostic(error, text, name))
    except ParseError:
        diagnostic = check_text(name, text, _check_options(options, mode, encoding, max_file_size))
        if diagnostic is not None:
            result.problems.append(diagnostic)
    except FormatError as error:
        result.problems.append(_internal(error, name))
    return result


def format_model(path: str, options: FormatOptions, *, max_file_size: int = MAX_FILE_SIZE) -> list[FileResult]:
    """Formats every formula of the model at `path`: one result per model
    file that holds formulas (a .bim file, or each .tmdl file of a TMDL
    folder), in the order they are read, then one for each file that could
    not be read (its formulas, read up to the fault, are left as they are)."""
    errors: list[ModelError] = []
    warnings: list[ModelWarning] = []  # about the model, not its formatting
    originals: dict[str, Original] = {}
    by_file: dict[str, list[Formula]] = {}
    for formula in read_model(path, errors, warnings, max_file_size=max_file_size, originals=originals):
        by_file.setdefault(formula.file, []).append(formula)
    broken = {error.file for error in errors}
    results = [_format_model_file(file, formulas, options, originals[file])
               for file, formulas in by_file.items() if file not in broken]
    for error in errors:
        results.append(FileResult(error.file, "", None, [model_problem(error)]))
    return results


# The white space before a formula's first line of code, up to its last line break.
_LEADING_SPACE = re.compile(r"[ \t\r\n]*")


def leading_breaks(text: str) -> str:
    """The line breaks (and the white space among them) that `text` begins
    with: what a model file holds before a formula's first line, which the
    formatter keeps as it was. Spaces after the last break are layout."""
    space = _LEADING_SPACE.match(text)
    lead = space.group() if space is not None else ""
    return lead[: lead.rfind("\n") + 1]


def format_formula(formula: Formula, options: FormatOptions, name: str) -> str:
    """A model formula's text formatted: only its layout changes. Its
    leading line breaks stay, and the lines the formatter breaks end as
    the formula's lines do (a .bim formula may hold CRLF). Raises
    ParseError (SeparatorError among them) and FormatError."""
    kind: Kind = "function" if formula.kind == "function" else "expression"
    text = formula.text
    return leading_breaks(text) + format_text(text, kind, options, name, line_end(text))


def _format_model_file(file: str, formulas: list[Formula], options: FormatOptions, original: Original) -> FileResult:
    # The bytes the formulas were read from: the file may have changed since,
    # and its formulas' places are those of these bytes.
    mark, codec = text_encoding(original.data)
    text = original.data[len(mark) :].decode(codec)
    result = FileResult(file, text, None, formulas=len(formulas), mark=mark, codec=codec, original=original)
    changes: list[tuple[Formula, str]] = []
    for formula in formulas:
        name = f"{object_name(formula)} ({formula.kind}) in {file}"
        try:
            new = format_formula(formula, options, name)
        except SeparatorError as error:
            result.problems.append(in_formula(separator_diagnostic(error, formula.text), formula))
            continue
        except ParseError as error:
            result.problems.append(formula_diagnostic(formula, error))
            continue
        except FormatError as error:
            result.problems.append(dataclasses.replace(
                _internal(error, file, formula.line, formula.column), object=object_name(formula),
                object_kind=formula.kind))
            continue
        if new != formula.text:
            changes.append((formula, new))
    if result.problems or not changes:
        result.after = None if result.problems else text
        return result
    after = rewrite_formulas(text, changes)
    problem = read_back_problem(file, after, formulas, dict((id(formula), new) for formula, new in changes))
    if problem is not None:
        result.problems.append(Diagnostic.for_path(
            "internal", f"the formatted formulas would not read back from the file ({problem}); left as it was"
            " (please report this with the file)", file))
        return result
    result.after = after
    return result
