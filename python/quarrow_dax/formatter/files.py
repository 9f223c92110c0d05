"""Formatting files: DAX files and the formulas of tabular models, as the
command line `quarrow-dax format` does, returning what would change as data.

    from quarrow_dax.formatter import FormatOptions
    from quarrow_dax.formatter.files import format_dax_file

    result = format_dax_file("measure.dax", FormatOptions())
    if result.changed:
        result.write()

A file is rewritten only when all of it formatted safely: a DAX file whose
text parses, a model file all of whose formulas parse and format. A model
file's new text is read back as a model before it is handed out, and must
give the same formulas with their formatted texts. Writing replaces the file
atomically and keeps its byte-order mark, encoding and line ends.
"""

from __future__ import annotations

import dataclasses
import difflib
from dataclasses import dataclass, field

from ..check import CheckOptions, check_text, display_path, formula_diagnostic, is_query, model_problem, object_name
from ..diagnostics import Diagnostic
from ..model import Formula, ModelError, ModelWarning, read_model
from ..model.writing import read_back_problem, rewrite_formulas
from ..sources import MAX_FILE_SIZE, SourceError, decode_text, read_bytes, text_encoding, write_atomically
from ..syntax.parsing import ParseError
from . import format_text
from .options import FormatOptions, Kind
from .placement import text_columns
from .safety import FormatError

__all__ = ["FileResult", "format_dax_file", "format_dax_text", "format_model"]


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

    def write(self) -> None:
        """Replaces the file with its formatted text (nothing when unchanged).
        Raises OSError."""
        if self.after is not None and self.changed:
            write_atomically(self.path, self.mark + self.after.encode(self.codec))


def _internal(error: FormatError, path: str, line: int = 0, column: int = 0) -> Diagnostic:
    return Diagnostic.for_path(
        "internal", f"formatting would {error.problem}; left as it was (please report this with the input)",
        path, line, column,
    )


def _newline(text: str) -> str:
    """The line end a text uses: CRLF when its first line ends so."""
    first = text.find("\n")
    return "\r\n" if first > 0 and text[first - 1] == "\r" else "\n"


def format_dax_text(text: str, kind: Kind, options: FormatOptions, name: str = "<text>") -> str:
    """A DAX file's text formatted: its line ends kept (LF or CRLF), and
    one line end at the end. Raises ParseError and FormatError."""
    newline = _newline(text)
    return format_text(text, kind, options, name, newline) + newline


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
    try:
        if data is None:
            data = read_bytes(path, max_file_size)
        elif max_file_size and len(data) > max_file_size:
            raise SourceError(name, f"more than the limit of {max_file_size:,} bytes")
        text = decode_text(data, name, encoding)
    except SourceError as error:
        return FileResult(name, "", None, [Diagnostic.for_path("read", error.message, name, error.line or 0,
                                                               error.column or 0)])
    mark, codec = text_encoding(data, encoding)
    result = FileResult(name, text, None, mark=mark, codec=codec)
    kind: Kind = "query" if (mode == "query" or (mode is None and is_query(text))) else "expression"
    try:
        result.after = format_dax_text(text, kind, options, name)
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
    not be read."""
    errors: list[ModelError] = []
    warnings: list[ModelWarning] = []  # about the model, not its formatting
    by_file: dict[str, list[Formula]] = {}
    for formula in read_model(path, errors, warnings, max_file_size=max_file_size):
        by_file.setdefault(formula.file, []).append(formula)
    results = [_format_model_file(file, formulas, options, max_file_size) for file, formulas in by_file.items()]
    for error in errors:
        results.append(FileResult(error.file, "", None, [model_problem(error)]))
    return results


def _format_model_file(file: str, formulas: list[Formula], options: FormatOptions, max_file_size: int) -> FileResult:
    try:
        data = read_bytes(file, max_file_size)
        mark, codec = text_encoding(data)
        text = data[len(mark) :].decode(codec)
    except (SourceError, UnicodeDecodeError) as error:
        message = error.message if isinstance(error, SourceError) else str(error)
        return FileResult(file, "", None, [Diagnostic.for_path("read", message, file)])
    result = FileResult(file, text, None, formulas=len(formulas), mark=mark, codec=codec)
    changes: list[tuple[Formula, str]] = []
    lines = text.split("\n")  # where each formula stands, for its width
    for formula in formulas:
        kind: Kind = "function" if formula.kind == "function" else "expression"
        name = f"{object_name(formula)} ({formula.kind}) in {file}"
        try:
            first, prefix = text_columns(lines, formula)
            new = format_text(formula.text, kind, options, name, first_line_offset=first, indent_prefix=prefix)
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
