"""The files the server answers about: each open document with the model
it belongs to, the model read from its files (open documents from the
editor's text, the others from disk) and analysed.

A TMDL file belongs to the TMDL folder above it, a `.bim` file is a model
of its own, and a `.dax` file inside a model's folder (the `DAXQueries`
folder of a `*.SemanticModel`) reads its names from that model. A model is
read again when one of its open documents changes or a file of it changes
on disk; what its formulas were found to hold is kept as long as it holds
(`analysis.FormulaCache`).

Everything here runs on one worker thread: the server's event loop only
hands it snapshots of the open documents.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from pathlib import Path

from ..check import CheckOptions, model_problem, source_kind
from ..diagnostics import Diagnostic
from ..config import Config
from ..formatter import DEFAULT_WIDTH, FormatOptions
from ..lint import ConfigError, ConfigFinder, LintConfig
from ..syntax import Grammar
from ..model import Formula, Model, ModelError, ModelWarning, is_model_folder, load_model
from ..resolution import Resolver
from .analysis import FormulaCache, ParsedModel, text_findings
from ..sources import SourceError, read_text
from .documents import Document, uri_of_path
from .places import Piece, formula_piece, text_piece

__all__ = ["DocumentView", "Files", "Finding", "ModelSnapshot", "ModelState", "Settings", "Workspace", "model_root"]

#: How far above a `.dax` file its model's folder is looked for: a
#: `*.SemanticModel/DAXQueries/query.dax` is two levels below the model.
_DAX_MODEL_LEVELS = 2


def model_root(path: str) -> tuple[str, bool] | None:
    """The model a file belongs to, as the path to read it by, and whether
    that reads the model whole (a lone `.tmdl` file does not); None for a
    file of no model."""
    file = Path(path)
    suffix = file.suffix.lower()
    if suffix == ".bim":
        return str(file), True
    if suffix == ".tmdl":
        for folder in file.parents:
            if is_model_folder(folder):
                return str(folder), True
        return str(file), False
    if suffix == ".dax" or suffix == "":
        for folder in list(file.parents)[:_DAX_MODEL_LEVELS]:
            if is_model_folder(folder):
                return str(folder), True
            if is_model_folder(folder / "definition"):
                return str(folder / "definition"), True
            bims = _bims(folder)
            if len(bims) == 1:
                return str(bims[0]), True
    return None


def _bims(folder: Path) -> list[Path]:
    try:
        return [entry for entry in folder.iterdir() if entry.suffix.lower() == ".bim" and entry.is_file()]
    except OSError:
        return []


def _belongs(path: str, root: str) -> bool:
    """Whether the file `path` is one of the model at `root`."""
    if path == root:
        return True
    return path.lower().endswith(".tmdl") and path.startswith(root.rstrip(os.sep) + os.sep)


@dataclass
class ModelSnapshot:
    """A model as read from one set of texts: the model parsed, what kept
    parts of it from being read, and its formulas by file."""

    root: str
    whole: bool
    key: tuple[object, ...]
    parsed: ParsedModel
    errors: list[ModelError] = field(default_factory=list)
    warnings: list[ModelWarning] = field(default_factory=list)
    by_file: dict[str, list[Formula]] = field(default_factory=dict)

    _resolver: Resolver | None = field(default=None, repr=False)

    @property
    def model(self) -> Model:
        return self.parsed.model

    def resolver(self) -> Resolver:
        """What looks names up in the model for navigation: that of the
        analysis, or one over the part of the model that could be read
        (a name found there is still worth going to)."""
        if self.parsed.resolver is not None:
            return self.parsed.resolver
        if self._resolver is None:
            self._resolver = Resolver(self.parsed.model, self.parsed.trees)
        return self._resolver


class ModelState:
    """One model: its latest snapshot and the cache of its formulas."""

    def __init__(self, root: str, whole: bool) -> None:
        self.root = root
        self.whole = whole
        self.cache = FormulaCache()
        self.snapshot: ModelSnapshot | None = None

    def read(self, texts: dict[str, str], key: tuple[object, ...], options: CheckOptions,
             check: Callable[[], None]) -> ModelSnapshot:
        """The model for `texts` (the open documents of it), read again
        unless the last snapshot was read from the same `key`."""
        if self.snapshot is not None and self.snapshot.key == key:
            return self.snapshot
        errors: list[ModelError] = []
        warnings: list[ModelWarning] = []
        model = load_model(self.root, errors, warnings, max_file_size=options.max_file_size, texts=texts)
        check()
        if errors:
            model = self._past_faults(model, texts, errors, warnings, options, check)
        whole = self.whole and not errors
        parsed = self.cache.parse(model, options, whole, check)
        by_file: dict[str, list[Formula]] = {}
        for formula in model.formulas:
            by_file.setdefault(formula.file, []).append(formula)
        self.snapshot = ModelSnapshot(self.root, whole, key, parsed, errors, warnings, by_file)
        return self.snapshot


    def _past_faults(self, model: Model, texts: dict[str, str], errors: list[ModelError],
                     warnings: list[ModelWarning], options: CheckOptions, check: Callable[[], None]) -> Model:
        """The model read again with each line of an open TMDL file that the
        reader could not understand left blank, so that the formulas after
        it are read (while a line is being typed, the rest of the file keeps
        its features); every fault met is kept in `errors`. Lines are
        blanked, not removed: every formula stays where it is. A few rounds
        at most: each finds the next fault further down."""
        patched = dict(texts)
        for _ in range(_FAULT_ROUNDS):
            faults = [error for error in errors if error.file in patched and error.line
                      and error.file.lower().endswith(".tmdl") and "never closed" not in error.message]
            fresh = [fault for fault in faults if patched[fault.file].split("\n")[(fault.line or 1) - 1].strip()]
            if not fresh:
                break
            for fault in fresh:
                lines = patched[fault.file].split("\n")
                lines[(fault.line or 1) - 1] = ""
                patched[fault.file] = "\n".join(lines)
            check()
            more: list[ModelError] = []
            model = load_model(self.root, more, [], max_file_size=options.max_file_size, texts=patched)
            known = {(error.file, error.line) for error in errors}
            errors.extend(error for error in more if (error.file, error.line) not in known)
        return model


#: How many faults of open TMDL files are stepped over before the rest of
#: a file is left unread.
_FAULT_ROUNDS = 8


@dataclass
class Finding:
    """A diagnostic to show, with the DAX text it is about (None for one
    about the file as a whole, or a place the model reader gave)."""

    diagnostic: Diagnostic
    piece: Piece | None = None


@dataclass(frozen=True)
class Settings:
    """How one file is read, linted and formatted: its configuration
    (`pyproject.toml` or `quarrow-dax.toml`, found as the command line finds
    it) under what the editor asked for; `problem` is why the
    configuration cannot be used (then nothing is linted)."""

    options: CheckOptions
    lint: LintConfig | None
    format: FormatOptions
    problem: Diagnostic | None = None


@dataclass
class DocumentView:
    """What the features see of one document: its text, its DAX texts
    (`pieces`), the model it belongs to, if any, and its settings."""

    document: Document
    pieces: list[Piece]
    snapshot: ModelSnapshot | None = None
    settings: Settings = field(default_factory=lambda: Settings(CheckOptions(), LintConfig(), FormatOptions()))

    @property
    def options(self) -> CheckOptions:
        return self.settings.options

    def piece_at(self, offset: int) -> Piece | None:
        """The DAX text holding the document offset (at its end too, and
        past its end on its last line: TMDL leaves a formula's trailing
        spaces out of it, and the cursor is often there while typing)."""
        text = self.document.text
        for piece in self.pieces:
            if piece.contains(offset):
                return piece
            if piece.end < offset and "\n" not in text[piece.end : offset] and not text[piece.end : offset].strip():
                return piece
        return None

    @property
    def is_model_file(self) -> bool:
        path = self.document.path or ""
        return path.lower().endswith((".tmdl", ".bim"))


class Files:
    """The documents of files, open or not, for one request: an open
    document as the editor has it, any other file as the disk has it (read
    once). Places in files are converted to the editor's units by them."""

    def __init__(self, documents: Iterable[Document], encoding: str = "utf-16") -> None:
        self.open = {document.path: document for document in documents if document.path is not None}
        self.encoding = encoding
        self._read: dict[str, Document | None] = {}

    def document(self, path: str) -> Document | None:
        found = self.open.get(path)
        if found is not None:
            return found
        if path not in self._read:
            try:
                text = read_text(path)
            except SourceError:
                self._read[path] = None
            else:
                self._read[path] = Document(uri_of_path(path), path, 0, text, self.encoding)  # type: ignore[arg-type]
        return self._read[path]

    def text(self, path: str) -> str | None:
        document = self.document(path)
        return None if document is None else document.text


class Workspace:
    """The open documents' models and the settings the server runs with."""

    def __init__(self) -> None:
        #: What the editor asked for (initialization options), over every
        #: file's configuration: "separators", "grammar".
        self.overrides: dict[str, str] = {}
        self.models: dict[str, ModelState] = {}
        #: Bumped when a file changes on disk: snapshots read before are stale.
        self.disk_epoch = 0
        self.finder = ConfigFinder()
        self._settings: dict[str, Settings] = {}

    def files_changed(self) -> None:
        """Files changed on disk (saved, checked out, a configuration
        edited): read everything again when next asked."""
        self.disk_epoch += 1
        self.finder = ConfigFinder()
        self._settings = {}

    def state_of(self, path: str | None) -> ModelState | None:
        if path is None:
            return None
        found = model_root(path)
        if found is None:
            return None
        root, whole = found
        state = self.models.get(root)
        if state is None:
            state = self.models[root] = ModelState(root, whole)
        return state

    def snapshot(self, state: ModelState, documents: Iterable[Document],
                 check: Callable[[], None] = lambda: None) -> ModelSnapshot:
        """The model of `state` as the open `documents` have it."""
        mine = sorted((d for d in documents if d.path is not None and _belongs(d.path, state.root)),
                      key=lambda d: d.path or "")
        texts = {d.path: d.text for d in mine if d.path is not None}
        options = self.settings_for(state.root).options
        key = (self.disk_epoch, options, tuple((d.path, d.version, id(d.text)) for d in mine))
        return state.read(texts, key, options, check)

    def settings_for(self, path: str | None) -> Settings:
        """The settings of a file (or of a model, by its root)."""
        where = path or "."
        found = self._settings.get(where)
        if found is None:
            found = self._settings[where] = self._settings_of(where)
        return found

    def _settings_of(self, path: str) -> Settings:
        problem = None
        lint: LintConfig | None
        try:
            config = self.finder.settings_for(path)
            lint = config.lint  # read when first asked for: it may fail too
        except ConfigError as error:
            config, lint = Config(), None
            problem = Diagnostic.for_path("config", error.message, error.path, error.line or 0, error.column or 0)
        strict = config.strict
        if "grammar" in self.overrides:
            strict = self.overrides["grammar"] == "standard"
        separators = self.overrides.get("separators") or config.separators
        grammar: Grammar = "standard" if strict else "engine"
        options = CheckOptions(grammar=grammar, separators=separators)  # type: ignore[arg-type]
        table = config.format
        formatting = FormatOptions(
            width=table.width or DEFAULT_WIDTH, indent=table.indent if table.indent is not None else 4,
            space_before_paren=True if table.space_before_paren is None else table.space_before_paren,
            separators=self.overrides.get("separators") or table.separators or config.separators,  # type: ignore[arg-type]
            grammar=grammar)
        return Settings(options, lint, formatting, problem)

    # --- what the features see ---------------------------------------------------------

    def view(self, document: Document, documents: Iterable[Document],
             check: Callable[[], None] = lambda: None) -> DocumentView:
        """The document with its DAX texts, its model and its settings."""
        state = self.state_of(document.path)
        snapshot = self.snapshot(state, documents, check) if state is not None else None
        path = document.path or ""
        settings = self.settings_for(document.path)
        if snapshot is not None and _belongs(path, snapshot.root):
            formulas = snapshot.by_file.get(path, [])
            starts = document.line_starts
            pieces = [formula_piece(formula, document.text, starts) for formula in formulas]
            return DocumentView(document, pieces, snapshot, settings)
        if path.lower().endswith((".tmdl", ".bim")):
            return DocumentView(document, [], snapshot, settings)
        kind = source_kind(document.text, settings.options)
        return DocumentView(document, [text_piece(document.text, kind)], snapshot, settings)

    def findings(self, view: DocumentView, check: Callable[[], None] = lambda: None) -> list[Finding]:
        """Everything to show on the document of `view`."""
        document = view.document
        config, problem, options = view.settings.lint, view.settings.problem, view.options
        found: list[Finding] = []
        if problem is not None:
            found.append(Finding(problem))
        snapshot = view.snapshot
        if view.is_model_file and snapshot is not None:
            state = self.models[snapshot.root]
            by_formula = {id(piece.formula): piece for piece in view.pieces}
            formulas = [piece.formula for piece in view.pieces if piece.formula is not None]
            for formula, diagnostic in state.cache.findings(snapshot.parsed, formulas, options, config, check):
                found.append(Finding(diagnostic, by_formula.get(id(formula))))
            path = document.path
            problems: list[ModelError | ModelWarning] = [*snapshot.errors, *snapshot.warnings]
            found.extend(Finding(model_problem(error)) for error in problems if error.file == path)
            return found
        for piece in view.pieces:
            if not piece.text.strip():
                continue  # a new, empty file: nothing is wrong with it yet
            functions = snapshot.parsed.functions if snapshot is not None else None
            diagnostics, _ = text_findings(piece.text, piece.kind, options, config, document.path, functions)
            found.extend(Finding(diagnostic, piece) for diagnostic in diagnostics)
        return found

    def elsewhere(self, snapshot: ModelSnapshot, open_paths: set[str]) -> dict[str, list[Diagnostic]]:
        """What kept files of the model that are not open from being read,
        by file: shown on those files, or no one would see why names of
        theirs are unknown."""
        found: dict[str, list[Diagnostic]] = {}
        problems: list[ModelError | ModelWarning] = [*snapshot.errors, *snapshot.warnings]
        for error in problems:
            if error.file not in open_paths:
                found.setdefault(error.file, []).append(model_problem(error))
        return found
