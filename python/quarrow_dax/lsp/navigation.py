"""Going to a name's definition and finding its references: in the same
text for a variable or parameter; across the model's files, the open
`.dax` files that read the model, and the reports beside the model for a
measure, column, table or function."""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path

from lsprotocol import types

from ..check import CheckOptions
from ..model import Formula, Model, ModelObject
from ..model.objects import Column, Function, Measure, Table, TableObject
from ..project import model_key
from ..references import Reference, references
from ..report import FieldUse, ReportError, is_report_folder, load_report
from ..syntax import ParseError
from .convert import lsp_range, span_range
from .documents import Document
from .places import Piece, formula_piece
from .symbols import Symbol, piece_references, resolver_of, text_formula
from .workspace import DocumentView, Files

__all__ = ["declaration_location", "declared_at", "definition", "references_of"]


def _location(document: Document, start: int, end: int) -> types.Location:
    return types.Location(uri=document.uri, range=lsp_range(document, start, end))


def declaration_location(found: ModelObject, files: Files) -> types.Location | None:
    """Where an object is declared: its name on its declaration line (TMDL),
    or the JSON string of its name (TMSL)."""
    document = files.document(found.file)
    if document is None or found.line <= 0:
        return None
    starts = document.line_starts
    if found.line > len(starts):
        return None
    line = document.line(found.line - 1)
    base = starts[found.line - 1]
    column = max(found.column - 1, 0)
    if line[column : column + 1] == '"':  # a .bim name string
        close = line.find('"', column + 1)
        while close > 0 and line[close - 1] == "\\":
            close = line.find('"', close + 1)
        end = close + 1 if close > 0 else len(line)
        return _location(document, base + column, base + end)
    for spelled in ("'" + found.name.replace("'", "''") + "'", found.name):
        at = line.find(spelled, column)
        if at >= 0:
            return _location(document, base + at, base + at + len(spelled))
    return _location(document, base + column, base + len(line.rstrip("\r")))


def declared_at(view: DocumentView, offset: int, files: Files) -> Symbol | None:
    """The object whose name the document offset is on where the document
    declares it (`measure Revenue`, a table's `"name"` in a .bim file)."""
    snapshot = view.snapshot
    path = view.document.path
    if snapshot is None or path is None:
        return None
    line, _ = view.document.position(offset)
    for found in _declared_in(snapshot.model, path):
        if found.line - 1 != line:
            continue
        located = declaration_location(found, files)
        if located is None:
            continue
        start = view.document.offset(located.range.start.line, located.range.start.character)
        end = view.document.offset(located.range.end.line, located.range.end.character)
        if start <= offset <= end:
            return Symbol(found.kind, found.name, start, end, target=found, table=getattr(found, "table", None),
                          declared=True)
    return None


def _declared_in(model: Model, path: str) -> Iterator[ModelObject]:
    for found in model.objects():
        if found.file == path:
            yield found


def definition(view: DocumentView, piece: Piece | None, found: Symbol, files: Files) -> list[types.Location]:
    """Where the symbol is defined."""
    if found.is_local:
        if found.definition is None or not found.refs or piece is None:
            return []
        span = found.refs[found.definition].span
        if span is None:
            return []
        return [types.Location(uri=view.document.uri, range=span_range(view.document, piece, span.start, span.end))]
    if found.target is None:
        return []
    located = declaration_location(found.target, files)
    return [located] if located is not None else []


# --- references ---------------------------------------------------------------------


def _local_references(view: DocumentView, piece: Piece, found: Symbol, declaration: bool) -> list[types.Location]:
    locations = []
    for index, ref in enumerate(found.refs):
        own = index == found.definition
        if not ((own and declaration) or (not own and ref.target is not None and ref.target == found.definition)):
            continue
        span = ref.span
        if span is None:
            continue
        end = span.end
        if not own and ref.kind in ("column", "bracket", "hierarchy") and ref.name_span is not None:
            end = ref.name_span.start  # `t` of a table variable's `t[Column]`
        locations.append(types.Location(uri=view.document.uri,
                                        range=span_range(view.document, piece, span.start, end)))
    return locations


def _means(ref_target: ModelObject | None, found: ModelObject) -> bool:
    return ref_target is found


def _name_span(ref: Reference, found: ModelObject) -> tuple[int, int]:
    """The part of a reference that names the object: `[Name]` of
    `Table[Name]` for a column or measure, the table of it for a table,
    a call's name for a function."""
    span = ref.span
    start, end = (span.start, span.end) if span is not None else (0, 0)
    if ref.kind == "function":
        return start, start + len(ref.name.encode("utf-8"))
    if ref.kind in ("column", "bracket") and ref.name_span is not None:
        if isinstance(found, Table):
            return start, ref.name_span.start
        return ref.name_span.start, ref.name_span.end
    return start, end


def _formula_references(view: DocumentView, found: ModelObject, options: CheckOptions,
                        files: Files) -> Iterator[types.Location]:
    snapshot = view.snapshot
    if snapshot is None:
        return
    resolver = snapshot.resolver()
    pieces: dict[str, tuple[Document, list[int]]] = {}
    for formula in snapshot.model.formulas:
        if not _may_name(formula.text, found):
            continue
        try:
            refs = references(formula.text, kind="function" if formula.kind == "function" else "expression",
                              grammar=options.grammar, separators=options.separators)
        except ParseError:
            continue
        hits = [ref for ref, resolution in zip(refs, resolver.resolve(formula, refs))
                if _means(resolution.target, found) or _table_of_column(ref, resolution.target, found)]
        if not hits:
            continue
        if formula.file not in pieces:
            document = files.document(formula.file)
            if document is None:
                continue
            pieces[formula.file] = (document, document.line_starts)
        document, starts = pieces[formula.file]
        piece = formula_piece(formula, document.text, starts)
        for ref in hits:
            start, end = _name_span(ref, found)
            yield types.Location(uri=document.uri, range=span_range(document, piece, start, end))


def _table_of_column(ref: Reference, target: ModelObject | None, found: ModelObject) -> bool:
    """Whether `Table[Column]` names the table `found` in front of its column."""
    return isinstance(found, Table) and ref.kind in ("column", "hierarchy") and isinstance(target, TableObject) \
        and target.table.casefold() == found.name.casefold() and ref.table is not None


def _may_name(text: str, found: ModelObject) -> bool:
    """A cheap test before a formula is read: its text holds the name, as
    it is or with its `]` or `'` doubled."""
    folded = text.casefold()
    name = found.name.casefold()
    return any(spelled in folded for spelled in {name, name.replace("]", "]]"), name.replace("'", "''")})


def _open_dax_references(view: DocumentView, found: ModelObject, options: CheckOptions,
                         files: Files) -> Iterator[types.Location]:
    """References in the open `.dax` files that read the same model."""
    snapshot = view.snapshot
    if snapshot is None:
        return
    resolver = resolver_of(view)
    for document in files.open.values():
        path = document.path or ""
        if not path.lower().endswith(".dax"):
            continue
        from .workspace import model_root

        root = model_root(path)
        if root is None or root[0] != snapshot.root:
            continue
        from ..check import source_kind

        piece = Piece(document.text, source_kind(document.text, options))
        refs = piece_references(piece, options)
        if refs is None:
            continue
        for ref, resolution in zip(refs, resolver.resolve(text_formula(piece, path), refs)):
            if _means(resolution.target, found) or _table_of_column(ref, resolution.target, found):
                start, end = _name_span(ref, found)
                yield types.Location(uri=document.uri, range=span_range(document, piece, start, end))


def _project_folder(root: str) -> Path:
    """The folder that holds the model's `*.SemanticModel` folder and its
    reports: above `definition/` and the model's own folder."""
    path = Path(root)
    if path.suffix.lower() == ".bim" or path.name == "definition":
        path = path.parent
    return path.parent


def _report_uses(view: DocumentView, found: ModelObject) -> Iterator[FieldUse]:
    """The field references of the reports beside the model that read it."""
    snapshot = view.snapshot
    if snapshot is None:
        return
    folder = _project_folder(snapshot.root)
    mine = model_key(snapshot.root)
    try:
        candidates = sorted(entry for entry in folder.iterdir() if is_report_folder(entry))
    except OSError:
        return
    for candidate in candidates:
        try:
            report = load_report(candidate, snapshot.model)
        except ReportError:
            continue
        named = report.dataset.model if report.dataset is not None else None
        if named is None or model_key(named) != mine:
            continue
        for use in report.uses:
            if _use_means(use, found):
                yield use


def _use_means(use: FieldUse, found: ModelObject) -> bool:
    name = found.name.casefold()
    if isinstance(found, Table):
        return (use.table or "").casefold() == name
    if isinstance(found, (Measure, Column)) or isinstance(found, TableObject):
        if use.name.casefold() != name:
            return False
        if isinstance(found, Measure) and use.kind == "measure":
            return True
        return (use.table or "").casefold() == found.table.casefold()
    return False


def _use_location(use: FieldUse, found: ModelObject, files: Files) -> types.Location | None:
    document = files.document(use.file)
    if document is None:
        return None
    span = use.table_span if isinstance(found, Table) else use.name_span
    if span is not None:
        quote = 2 if span.depth > 1 else 1
        return types.Location(uri=document.uri, range=lsp_range(document, span.start + quote, span.end - quote))
    if use.formula is not None and use.dax_span is not None:
        formula: Formula = use.formula.formula
        piece = formula_piece(formula, document.text, document.line_starts)
        return types.Location(uri=document.uri, range=span_range(document, piece, *use.dax_span))
    if use.line <= 0:
        return None
    start = document.line_starts[min(use.line, len(document.line_starts)) - 1] + max(use.column - 1, 0)
    return types.Location(uri=document.uri, range=lsp_range(document, start, start))


def references_of(view: DocumentView, piece: Piece | None, found: Symbol, options: CheckOptions, files: Files,
                  declaration: bool) -> list[types.Location]:
    """Every reference of the symbol (and its declaration, when asked)."""
    if found.is_local:
        return [] if piece is None else _local_references(view, piece, found, declaration)
    target = found.target
    if target is None:
        return []
    locations: list[types.Location] = []
    if declaration:
        located = declaration_location(target, files)
        if located is not None:
            locations.append(located)
    locations.extend(_formula_references(view, target, options, files))
    locations.extend(_open_dax_references(view, target, options, files))
    if not isinstance(target, Function):
        for use in _report_uses(view, target):
            located = _use_location(use, target, files)
            if located is not None:
                locations.append(located)
    unique: dict[tuple[str, int, int, int, int], types.Location] = {}
    for location in locations:
        where = location.range
        unique.setdefault((location.uri, where.start.line, where.start.character, where.end.line,
                           where.end.character), location)
    return list(unique.values())

