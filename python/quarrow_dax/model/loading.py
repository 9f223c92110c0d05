"""Finding models and reading them: `find_models` and `is_model_folder`
say where models are; `read_model` yields a model's formulas, file by file,
and `load_model` reads it whole into a `Model`. The one entry to the
readers of `bim` and `tmdl`."""

from __future__ import annotations

import os
import warnings as _warnings
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass
from pathlib import Path

from .. import collector
from ..sources import MAX_FILE_SIZE, SourceError, is_dir, is_file, walk
from ..writeback import Original
from .bim import read_bim
from .building import ModelBuilder
from .errors import ModelError, ModelWarning, raise_or_collect
from .formulas import Formula
from .objects import Model
from .tmdl import read_tmdl

__all__ = ["ReadContext", "find_models", "is_model_folder", "load_model", "model_folder_of", "read_model"]


def _is_tmdl_folder(path: Path) -> bool:
    return (
        is_file(path / "model.tmdl")
        or is_file(path / "database.tmdl")
        or (path.name == "definition" and is_dir(path / "tables"))
    )


def is_model_folder(path: str | os.PathLike[str]) -> bool:
    """Whether `path` is a TMDL definition folder: one holding ``model.tmdl``
    or ``database.tmdl``, or named ``definition`` with a ``tables`` folder."""
    return _is_tmdl_folder(Path(path))


def model_folder_of(path: str | os.PathLike[str]) -> Path | None:
    """The TMDL folder that the file `path` is part of: the nearest folder
    above it that is one (`is_model_folder`), or None. A relative `path`
    gives a folder relative to the current one."""
    given = Path(path)
    for folder in Path(os.path.abspath(given)).parents:
        if _is_tmdl_folder(folder):
            if given.is_absolute():
                return folder
            return Path(os.path.relpath(folder))
    return None


def find_models(path: str | os.PathLike[str], errors: list[ModelError] | None = None) -> Iterator[Path]:
    """Yields every model under `path`, in name order: each ``*.bim`` file and
    each TMDL folder (one holding ``model.tmdl`` or ``database.tmdl``, or named
    ``definition`` with a ``tables`` folder). A TMDL folder is not searched
    further; hidden folders (``.git``) are skipped. `path` may itself be a
    model file or folder. A folder that cannot be read raises ModelError, or
    is appended to `errors` when that is a list, and the search goes on."""
    root = Path(path)
    if is_file(root):
        if root.suffix.lower() == ".bim":
            yield root
        return
    if _is_tmdl_folder(root):
        yield root
        return
    problems: list[SourceError] = []
    for found in walk(root, problems, _is_tmdl_folder):
        raise_or_collect(problems, errors)
        # The walk yields files, and folders only when they are TMDL folders.
        if found.name.lower().endswith(".bim") or is_dir(found):
            yield found
    raise_or_collect(problems, errors)


def read_model(
    path: str | os.PathLike[str],
    errors: list[ModelError] | None = None,
    warnings: list[ModelWarning] | None = None,
    *,
    max_file_size: int = MAX_FILE_SIZE,
    originals: dict[str, Original] | None = None,
    texts: Mapping[str, str] | None = None,
) -> Iterator[Formula]:
    """Yields every DAX formula of the model at `path`, in file order.

    `path` is a ``*.bim`` file, a TMDL folder, a folder holding one (a
    ``*.SemanticModel`` folder with ``definition/``) or one ``*.bim`` file, or
    a single ``*.tmdl`` file. A file that cannot be read raises `ModelError`;
    when `errors` is a list the error is appended to it instead and reading
    goes on with the model's next file (the formulas before the fault in that
    file have been yielded already). Warnings go to `warnings` when it is a
    list, otherwise to Python's `warnings` module. No file larger than
    `max_file_size` bytes is read (0: no limit). When `originals` is a dict,
    each file read is kept there under its name (`Formula.file`), its bytes
    and identity as read: a tool that writes formulas back rewrites those
    bytes, and replaces the file only while it still holds them
    (`quarrow_dax.writeback`). `texts` holds texts to read in place of
    files' bytes, by the file's name as `Formula.file` gives it (an
    editor's unsaved buffers); a ``.tmdl`` file of a TMDL folder that is
    only there is read too."""
    return _read_formulas(path, errors, warnings, max_file_size, None, originals, texts)


def load_model(
    path: str | os.PathLike[str],
    errors: list[ModelError] | None = None,
    warnings: list[ModelWarning] | None = None,
    *,
    max_file_size: int = MAX_FILE_SIZE,
    originals: dict[str, Original] | None = None,
    texts: Mapping[str, str] | None = None,
    cultures: bool = True,
) -> Model:
    """Reads the model at `path` (as `read_model` finds it) whole: its objects
    and its formulas. Errors and warnings as for `read_model`: raised, or
    collected in lists, in which case the model holds what could be read;
    `originals` and `texts` as for `read_model`.

    With `cultures` False the files of a TMDL folder's ``cultures/`` are
    not read: they hold translations and linguistic metadata (often the
    largest files of a model), no table, column, measure or relationship,
    so a reader that wants only the model's objects is spared them."""
    builder = ModelBuilder(str(path))
    with collector.paused():  # an object or two per line of the model files: see quarrow_dax.collector
        formulas = list(_read_formulas(path, errors, warnings, max_file_size, builder, originals, texts, cultures))
        return builder.finish(formulas)


def _read_formulas(
    path: str | os.PathLike[str],
    errors: list[ModelError] | None,
    warnings: list[ModelWarning] | None,
    max_file_size: int,
    sink: ModelBuilder | None,
    originals: dict[str, Original] | None = None,
    texts: Mapping[str, str] | None = None,
    cultures: bool = True,
) -> Iterator[Formula]:
    """read_model, telling `sink` (when given) of every object met."""

    def warn(warning: ModelWarning) -> None:
        if warnings is None:
            _warnings.warn(warning, stacklevel=3)
        else:
            warnings.append(warning)

    try:
        files, reader = _model_files(Path(path), errors, texts, cultures)
    except ModelError as error:
        if errors is None:
            raise
        errors.append(error)
        return
    for file in files:
        try:
            yield from reader(file, ReadContext(warn, max_file_size, sink, originals, texts))
        except ModelError as error:
            if errors is None:
                raise
            errors.append(error)


@dataclass(frozen=True)
class ReadContext:
    """What every file reader of one read_model call shares."""

    warn: Callable[[ModelWarning], None]
    max_file_size: int
    #: What builds a Model from the objects met, when one is being read.
    sink: ModelBuilder | None = None
    #: Where the bytes of each file read are kept, when they are wanted.
    originals: dict[str, Original] | None = None
    #: Texts read in place of files' bytes, by the file's name.
    texts: Mapping[str, str] | None = None


#: Reads one model file: its formulas, and its objects when a Model is being built.
FileReader = Callable[[Path, "ReadContext"], Iterator[Formula]]


def _only_given(folder: Path, found: list[Path], texts: Mapping[str, str] | None) -> list[Path]:
    """The ``.tmdl`` files under `folder` that `texts` holds and the disk
    does not (a file made in an editor and not saved yet)."""
    if not texts:
        return []
    on_disk = {str(file) for file in found}
    prefix = str(folder) + os.sep
    return [Path(name) for name in texts
            if name.startswith(prefix) and name.lower().endswith(".tmdl") and name not in on_disk]


def _model_files(
    path: Path, errors: list[ModelError] | None, texts: Mapping[str, str] | None = None, cultures: bool = True
) -> tuple[list[Path], FileReader]:
    """The files to read for the model at `path` and the reader for them;
    a TMDL folder's cultures/ left out unless `cultures`."""
    if is_file(path) or (texts is not None and str(path) in texts and not is_dir(path)):
        suffix = path.suffix.lower()
        if suffix == ".bim":
            return [path], read_bim
        if suffix == ".tmdl":
            return [path], read_tmdl
        raise ModelError(str(path), None, "not a model file (expected *.bim or *.tmdl)")
    if not is_dir(path):
        if os.path.lexists(path):
            return [path], read_bim if path.suffix.lower() == ".bim" else read_tmdl  # reading says what it is
        raise ModelError(str(path), None, "no such file or folder")
    if not _is_tmdl_folder(path) and _is_tmdl_folder(path / "definition"):
        path = path / "definition"
    if _is_tmdl_folder(path):
        # Model-wide files first, then tables/, roles/, cultures/ ... each in name order.
        problems: list[SourceError] = []
        def skip(entry: Path, is_folder: bool) -> bool:
            return not cultures and is_folder and entry.parent == path and entry.name.lower() == "cultures"

        found = [file for file in walk(path, problems, skip=skip) if file.suffix.lower() == ".tmdl"]
        raise_or_collect(problems, errors)
        found += [file for file in _only_given(path, found, texts)
                  if cultures or file.relative_to(path).parts[0].lower() != "cultures"]
        files = sorted(found, key=lambda file: (len(file.relative_to(path).parts), str(file)))
        return files, read_tmdl
    try:
        bims = sorted(entry for entry in path.iterdir() if entry.suffix.lower() == ".bim")
    except OSError as error:
        raise ModelError(str(path), None, f"cannot read the folder: {error.strerror or error}") from None
    if len(bims) == 1:
        return bims, read_bim
    if bims:
        reason = "several *.bim files"
    elif (path / "definition").exists():
        reason = "its definition is not a TMDL folder (no model.tmdl or database.tmdl in it)"
    elif any(entry.suffix.lower() == ".tmdl" for entry in path.iterdir()):
        reason = "it holds *.tmdl files but no model.tmdl or database.tmdl: give the model's definition folder"
    else:
        reason = "no *.bim file and no TMDL definition folder"
    raise ModelError(str(path), None, f"not a model folder: {reason}")
