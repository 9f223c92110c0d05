"""Renaming: a variable or parameter within its formula, and a measure,
column, table, function or calculation item across its model and the
reports beside it, by the refactoring `quarrow-dax rename` makes
(`quarrow_dax.refactor`), sent to the editor as one WorkspaceEdit.

The refactoring reads and checks the files on disk; a file of the model
or its reports that the editor holds with unsaved changes would be
renamed from its old text, so the rename is refused until it is saved.
"""

from __future__ import annotations

from pathlib import Path

from lsprotocol import types

from ..check import CheckOptions
from ..model.objects import CalculationItem, Column, Function, Measure, Table
from ..project import load_project, model_key
from ..refactor import Kind, RenameError, plan_rename
from ..report import ReportError, is_report_folder, load_report
from .convert import lsp_range, span_range
from .editing import RenameRefused, rename_local
from .places import Piece
from .symbols import Symbol
from .workspace import DocumentView, Files

__all__ = ["prepare", "rename"]

_KINDS: dict[type, Kind] = {Measure: "measure", Column: "column", Table: "table", Function: "function",
                            CalculationItem: "calculation item"}


def _kind(found: Symbol) -> Kind | None:
    target = found.target
    return None if target is None else _KINDS.get(type(target))


def prepare(view: DocumentView, piece: Piece | None, found: Symbol) -> types.PrepareRenamePlaceholder:
    """The range and the name to edit; raises RenameRefused for what cannot
    be renamed."""
    if found.is_local:
        if piece is None or found.kind in ("query parameter", "query definition") or found.definition is None:
            raise RenameRefused(f"{found.name}: a query's own definitions are not renamed here")
    elif _kind(found) is None:
        what = "a built-in function" if found.kind == "function" else f"{found.kind} {found.name}"
        raise RenameRefused(f"{what} cannot be renamed" if found.kind != "unknown"
                            else f"{found.name} names nothing in the model: nothing to rename")
    start, end = found.start, found.end
    written = view.document.text[start:end] if piece is None \
        else piece.data[start:end].decode("utf-8", "replace")
    if len(written) >= 2 and (written[0], written[-1]) in (("[", "]"), ("'", "'"), ('"', '"')):
        # The name inside its brackets or quotes is what the editor offers to change.
        start += 1
        end -= 1
    where = lsp_range(view.document, start, end) if piece is None else span_range(view.document, piece, start, end)
    return types.PrepareRenamePlaceholder(range=where, placeholder=found.target.name if found.target else found.name)


def _reports_beside(root: str) -> list[str]:
    """The report folders beside the model's folder that read this model."""
    path = Path(root)
    if path.suffix.lower() == ".bim" or path.name == "definition":
        path = path.parent
    folder = path.parent
    mine = model_key(root)
    found = []
    try:
        candidates = sorted(entry for entry in folder.iterdir() if is_report_folder(entry))
    except OSError:
        return []
    for candidate in candidates:
        try:
            report = load_report(candidate)
        except ReportError:
            continue
        named = report.dataset.model if report.dataset is not None else None
        if named is not None and model_key(named) == mine:
            found.append(str(candidate))
    return found


def rename(view: DocumentView, piece: Piece | None, found: Symbol, new_name: str, files: Files,
           options: CheckOptions) -> types.WorkspaceEdit:
    """The edits of the rename; raises RenameRefused."""
    prepare(view, piece, found)
    if found.is_local:
        assert piece is not None
        return types.WorkspaceEdit(changes={view.document.uri: rename_local(view, piece, found, new_name)})
    snapshot = view.snapshot
    target = found.target
    kind = _kind(found)
    if snapshot is None or target is None or kind is None:
        raise RenameRefused(f"{found.name} cannot be renamed")
    unsaved = [document.path for document in files.open.values()
               if document.path is not None and _disk_text(document.path) not in (None, document.text)
               and _in_project(document.path, snapshot.root)]
    if unsaved:
        raise RenameRefused(f"save {Path(unsaved[0]).name} first: a rename rewrites the files as they are on disk")
    reports = _reports_beside(snapshot.root)
    try:
        project = load_project(snapshot.root, reports)
        plan = plan_rename(project, target.dax, new_name, kind=kind, grammar=options.grammar,
                           separators=options.separators)
    except RenameError as error:
        raise RenameRefused(str(error)) from None
    changes: dict[str, list[types.TextEdit]] = {}
    for file_edit in plan.edits:
        document = files.document(file_edit.path)
        if document is None:
            raise RenameRefused(f"{file_edit.path} cannot be read")
        changes[document.uri] = [types.TextEdit(range=lsp_range(document, edit.start, edit.end), new_text=edit.text)
                                 for edit in file_edit.edits]
    return types.WorkspaceEdit(changes=changes)


def _disk_text(path: str) -> str | None:
    from ..sources import SourceError, read_text

    try:
        return read_text(path)
    except SourceError:
        return None


def _in_project(path: str, root: str) -> bool:
    """Whether a file is one the rename may rewrite: of the model, or of a
    report beside it."""
    model_folder = Path(root)
    if model_folder.suffix.lower() == ".bim" or model_folder.name == "definition":
        model_folder = model_folder.parent
    project = model_folder.parent
    try:
        Path(path).relative_to(project)
    except ValueError:
        return False
    return path.lower().endswith((".tmdl", ".bim", ".json", ".pbir"))
