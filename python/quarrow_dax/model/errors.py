"""What goes wrong reading a model: `ModelError` for a file that cannot be
read, `ModelWarning` for one that reads but perhaps not as its author meant;
and the problems of reading files (`sources.SourceError`) told as ModelErrors."""

from __future__ import annotations

from collections.abc import Mapping
from pathlib import Path

from ..sources import SourceError, decode_text, read_file
from ..writeback import Original

__all__ = ["ModelError", "ModelWarning", "raise_or_collect", "read_model_text"]


def _where(file: str, line: int | None, column: int | None) -> str:
    if line is None:
        return file
    return f"{file}:{line}" if column is None else f"{file}:{line}:{column}"


class _ModelProblem(Exception):
    """What a model error and a model warning both carry and how they read."""

    def __init__(self, file: str, line: int | None, message: str, column: int | None = None) -> None:
        super().__init__(file, line, message)
        self.file = file
        self.line = line
        self.column = column
        self.message = message

    def __str__(self) -> str:
        return f"{_where(self.file, self.line, self.column)}: {self.message}"


class ModelError(_ModelProblem):
    """A model file that cannot be read: `file`, `line` and `column` (1-based,
    None where the fault is not at one place) and `message`."""


class ModelWarning(_ModelProblem, UserWarning):
    """Something in a model file that reads, but perhaps not as its author
    meant: `file`, `line`, `column` and `message`, as in ModelError."""


def read_model_text(
    file: Path, max_size: int, originals: dict[str, Original] | None = None, texts: Mapping[str, str] | None = None
) -> str:
    """The file's text, without a byte-order mark; when `originals` is a
    dict, the bytes read are kept there under the file's name. A text that
    `texts` holds under the file's name is taken instead of the file's
    bytes (an editor's unsaved buffer)."""
    if texts is not None:
        given = texts.get(str(file))
        if given is not None:
            return given[1:] if given.startswith("\ufeff") else given
    try:
        data, info = read_file(file, max_size)
        if originals is not None:
            originals[str(file)] = Original.of(str(file), data, info)
        return decode_text(data, str(file))
    except SourceError as error:
        message = error.message
        if not message.startswith(("not valid", "not UTF-8")):
            message = "cannot read the file: " + message
        raise ModelError(str(file), error.line, message, error.column) from None


def raise_or_collect(problems: list[SourceError], errors: list[ModelError] | None) -> None:
    """Raises the first of the walk's problems met so far as a ModelError,
    or moves them all to `errors` when that is a list."""
    while problems:
        problem = problems.pop(0)
        error = ModelError(problem.path, problem.line, problem.message, problem.column)
        if errors is None:
            raise error
        errors.append(error)
