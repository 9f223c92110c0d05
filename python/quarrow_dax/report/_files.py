"""Reading one report file as positioned JSON, a fault becoming a located
diagnostic instead of an exception."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from ..diagnostics import Diagnostic
from ..sources import MAX_FILE_SIZE, SourceError, decode_text, read_file
from ..writeback import Original
from ._json import JsonProblem, JsonText

__all__ = ["READ_ERROR", "READ_WARNING", "json_file", "problem", "string_value"]

READ_ERROR = "E007"
READ_WARNING = "W003"


def problem(path: Path | str, message: str, line: int = 0, column: int = 0, *, severity: str = "error",
            hint: str | None = None) -> Diagnostic:
    """A report problem about a whole file or folder, or a place without text."""
    return Diagnostic.for_path("report", message, str(path), line, column,
                               severity="warning" if severity == "warning" else "error",
                               code=READ_WARNING if severity == "warning" else READ_ERROR, hint=hint)


def json_file(path: Path, problems: list[Diagnostic], max_size: int = MAX_FILE_SIZE,
              originals: dict[str, Original] | None = None) -> tuple[Any, JsonText] | None:
    """The value of a JSON file and its text; None (and a problem) when it
    cannot be read or is not JSON. When `originals` is a dict, the bytes
    read are kept there under the file's name (for a tool that rewrites
    the file, `quarrow_dax.writeback`)."""
    try:
        data, info = read_file(path, max_size)
        if originals is not None:
            originals[str(path)] = Original.of(str(path), data, info)
        text = decode_text(data, str(path))
    except SourceError as error:
        message = error.message
        if not message.startswith(("not valid", "not UTF-8")):
            message = "cannot read the file: " + message
        problems.append(problem(path, message, error.line or 0, error.column or 0))
        return None
    source = JsonText(str(path), text)
    found: list[JsonProblem] = []
    try:
        value = source.parse(found)
    except JsonProblem as fault:
        problems.append(source.file_diagnostic(fault.offset, f"not JSON: {fault.message}", code=READ_ERROR))
        return None
    for odd in found:
        problems.append(source.file_diagnostic(odd.offset, odd.message, severity="warning", code=READ_WARNING))
    return value, source


def string_value(owner: Any, key: str, text: JsonText, problems: list[Diagnostic], *,
                 required: bool = False, what: str = "") -> str | None:
    """`owner[key]` when it is a string; None otherwise, with a problem when
    it is there but not a string (or missing and `required`)."""
    if not isinstance(owner, dict):
        return None
    value = owner.get(key)
    if isinstance(value, str):
        return value
    if value is None and not required:
        return None
    start = getattr(value, "start", None)
    if start is None:
        start = getattr(owner, "start", None)
    message = f'"{key}"{" of " + what if what else ""} is {"missing" if value is None else "not a string"}'
    problems.append(text.diagnostic(start, message, code=READ_ERROR))
    return None
