"""The language server: the protocol's messages mapped onto the features.

The event loop owns the documents (each change applied as it arrives) and
the protocol; every piece of analysis runs on one worker thread, so that
reading the next keystroke never waits for a model to be checked, taking
what the user waits on first, then the problems, then what the editor
asks for on its own (colours, the outline, code actions). Problems
are found a moment after typing pauses (`DIAGNOSTICS_DELAY`); a change
that arrives meanwhile makes the run under way stop at its next formula
(`analysis.Stale`), and only the newest text's problems are shown.

No request or notification can end the server: a fault in a feature is
logged and the feature answers nothing; a request the server cannot read
is answered with the protocol's error, and a fault anywhere else is logged
(on standard error, and to the editor's log) rather than shown to the user
at every keystroke. On standard input and output, nothing but the
protocol reaches standard output: whatever else would be written there
(a stray print, a library's message) goes to standard error.
"""

from __future__ import annotations

import asyncio
import logging
import os
import sys
from collections.abc import Awaitable, Callable
from typing import Any, BinaryIO, TypeVar

from lsprotocol import types
from pygls.exceptions import FeatureRequestError, JsonRpcException
from pygls.lsp.server import LanguageServer
from pygls.protocol import LanguageServerProtocol

from .. import __version__
from . import renaming
from .analysis import Stale
from .completion import complete, resolve
from .convert import lsp_diagnostic
from .documents import Change, Document, DocumentStore, uri_of_path
from .editing import RenameRefused, code_actions, fix_all, format_document
from .hover import hover, signature_help
from .navigation import declared_at, definition, references_of
from .outline import TOKEN_MODIFIERS, TOKEN_TYPES, document_symbols, semantic_tokens
from .places import Piece
from .symbols import Symbol, symbol_at
from .worker import ASKED, BACKGROUND, PROBLEMS, Worker
from .workspace import DocumentView, Files, Workspace, model_root

__all__ = ["DIAGNOSTICS_DELAY", "DaxLanguageServer", "create_server"]

logger = logging.getLogger("quarrow_dax.lsp")

#: Seconds of quiet after a change before its problems are worked out.
DIAGNOSTICS_DELAY = 0.12
#: The files whose change on disk changes what the open documents mean.
WATCHED = ["**/*.tmdl", "**/*.bim", "**/*.pbir", "**/*.json", "**/quarrow-dax.toml", "**/pyproject.toml"]
#: The protocol's error code for a request that was valid but failed.
REQUEST_FAILED = -32803

T = TypeVar("T")


class _Protocol(LanguageServerProtocol):
    """pygls's protocol, answering a request it cannot read.

    A request whose parameters do not have the protocol's shape fails before
    any handler sees it; left there, the editor would wait for its answer
    forever. It gets the protocol's error answer instead."""

    def structure_message(self, data: dict[str, Any]) -> Any:
        try:
            return super().structure_message(data)
        except JsonRpcException as error:
            request = data.get("id") if "method" in data else None
            if isinstance(request, (int, str)) and not isinstance(request, bool):
                self._send_response(request, None, error.to_response_error())
            raise


class DaxLanguageServer(LanguageServer):
    """The server, with its documents, models and worker."""

    def __init__(self) -> None:
        super().__init__("quarrow-dax", __version__, text_document_sync_kind=types.TextDocumentSyncKind.Incremental,
                         protocol_cls=_Protocol)
        self.documents = DocumentStore()
        self.dax = Workspace()
        self.worker = Worker()
        self.delay = DIAGNOSTICS_DELAY
        #: Per diagnostics key (a model's root, or a lone document's URI):
        #: bumped by every change, so that older work knows it is stale.
        self.generations: dict[str, int] = {}
        self.timers: dict[str, asyncio.TimerHandle] = {}
        #: The URIs each key published problems to, to clear them later.
        self.published: dict[str, set[str]] = {}

    # --- running work --------------------------------------------------------------------

    async def run(self, work: Callable[[], T], urgency: int = ASKED) -> T | None:
        """`work` on the worker thread, by its urgency (see `worker`); a
        fault is logged, never raised."""

        def guarded() -> T | None:
            try:
                return work()
            except Stale:
                return None
            except (RenameRefused, JsonRpcException):
                raise
            except Exception:  # noqa: BLE001 - no input may end the server
                logger.exception("quarrow-dax: a feature failed")
                return None

        return await asyncio.wrap_future(self.worker.submit(urgency, guarded))

    def report_server_error(self, error: Exception, source: Any) -> None:
        """A fault outside the features' own guard (a message that could not
        be read, a notification's handler): logged, and sent to the
        editor's log. pygls would show each one to the user, which a fault
        repeated at every keystroke makes unusable. A request's fault is
        already in its answer."""
        if source is FeatureRequestError:
            return
        logger.error("quarrow-dax: %s: %s", getattr(source, "__name__", source), error)
        try:
            self.window_log_message(types.LogMessageParams(
                type=types.MessageType.Error, message=f"quarrow-dax: {error}"))
        except Exception:  # noqa: BLE001 - no transport left to report on
            logger.exception("quarrow-dax: the fault could not be sent to the editor")

    def files(self) -> Files:
        return Files(self.documents, self.documents.encoding)

    def view(self, document: Document, check: Callable[[], None] = lambda: None) -> DocumentView:
        return self.dax.view(document, self.documents, check)

    # --- diagnostics -------------------------------------------------------------------

    def key_of(self, document: Document) -> str:
        found = model_root(document.path) if document.path is not None else None
        return found[0] if found is not None and document.path is not None and not document.path.lower().endswith(
            ".dax") else document.uri

    def changed(self, document: Document) -> None:
        """Schedules the problems of what `document` belongs to."""
        self.schedule(self.key_of(document))

    def schedule(self, key: str, delay: float | None = None) -> None:
        self.generations[key] = self.generations.get(key, 0) + 1
        timer = self.timers.pop(key, None)
        if timer is not None:
            timer.cancel()
        loop = asyncio.get_running_loop()
        self.timers[key] = loop.call_later(self.delay if delay is None else delay,
                                           lambda: asyncio.ensure_future(self.diagnose(key)))

    async def diagnose(self, key: str) -> None:
        self.timers.pop(key, None)
        generation = self.generations.get(key, 0)

        def check() -> None:
            if self.generations.get(key, 0) != generation:
                raise Stale()

        results = await self.run(lambda: self.findings(key, check), PROBLEMS)
        if results is None or self.generations.get(key, 0) != generation:
            return
        for uri, version, diagnostics in results:
            self.text_document_publish_diagnostics(
                types.PublishDiagnosticsParams(uri=uri, diagnostics=diagnostics, version=version))
        now = {uri for uri, _, _ in results}
        for uri in self.published.get(key, set()) - now:
            # A file whose problems are gone (a closed file no longer failing).
            self.text_document_publish_diagnostics(types.PublishDiagnosticsParams(uri=uri, diagnostics=[]))
        self.published[key] = now

    def findings(self, key: str, check: Callable[[], None]) -> list[tuple[str, int | None, list[types.Diagnostic]]]:
        """The problems of every open document of `key` (and, for a model,
        what keeps files of it that are not open from being read)."""
        documents = [document for document in self.documents if self.key_of(document) == key]
        results: list[tuple[str, int | None, list[types.Diagnostic]]] = []
        snapshot = None
        for document in documents:
            view = self.view(document, check)
            snapshot = snapshot or view.snapshot
            found = self.dax.findings(view, check)
            results.append((document.uri, document.version,
                            [lsp_diagnostic(document, item.diagnostic, item.piece) for item in found]))
        if snapshot is not None and any(d.path and d.path.lower().endswith((".tmdl", ".bim")) for d in documents):
            files = self.files()
            open_paths = {document.path for document in documents if document.path is not None}
            for path, diagnostics in self.dax.elsewhere(snapshot, open_paths).items():
                elsewhere = files.document(path)
                if elsewhere is not None:
                    results.append((uri_of_path(path), None, [lsp_diagnostic(elsewhere, d) for d in diagnostics]))
        return results

    def everything_changed(self) -> None:
        """Files changed on disk: every open document's problems again."""
        self.dax.files_changed()
        for key in {self.key_of(document) for document in self.documents}:
            self.schedule(key)

    # --- requests at a place --------------------------------------------------------------

    async def at_place(self, uri: str, position: types.Position,
                       answer: Callable[[DocumentView, Piece, int], T]) -> T | None:
        """`answer(view, piece, byte offset in the piece)` for the DAX text
        at `position`, on the worker; None outside DAX."""
        document = self.documents.get(uri)
        if document is None:
            return None

        def work() -> T | None:
            view = self.view(document)
            offset = document.offset(position.line, position.character)
            piece = view.piece_at(offset)
            return None if piece is None else answer(view, piece, piece.byte_at(offset))

        return await self.run(work)

    async def at_name(self, uri: str, position: types.Position,
                      answer: Callable[[DocumentView, Piece | None, Symbol], T]) -> T | None:
        """`answer(view, piece, symbol)` for the name at `position`: in a
        DAX text, or (piece None) where a model file declares an object."""
        document = self.documents.get(uri)
        if document is None:
            return None

        def work() -> T | None:
            view = self.view(document)
            offset = document.offset(position.line, position.character)
            piece = view.piece_at(offset)
            if piece is not None:
                found = self.symbol(view, piece, piece.byte_at(offset))
            elif view.is_model_file:
                found = declared_at(view, offset, self.files())
            else:
                found = None
            return None if found is None else answer(view, piece, found)

        return await self.run(work)

    def symbol(self, view: DocumentView, piece: Piece, offset: int) -> Symbol | None:
        return symbol_at(view, piece, offset, view.options)


def _encoding(kind: Any) -> str:
    value = getattr(kind, "value", kind)
    return value if value in ("utf-8", "utf-16", "utf-32") else "utf-16"


def _changes(params: types.DidChangeTextDocumentParams) -> list[Change]:
    changes = []
    for change in params.content_changes:
        if isinstance(change, types.TextDocumentContentChangePartial):
            where = change.range
            changes.append(Change(change.text, where.start.line, where.start.character, where.end.line,
                                  where.end.character))
        else:
            changes.append(Change(change.text))
    return changes


def create_server() -> DaxLanguageServer:
    """A server with every feature registered."""
    server = DaxLanguageServer()

    @server.feature(types.INITIALIZE)
    def initialize(ls: DaxLanguageServer, params: types.InitializeParams) -> None:
        ls.documents.encoding = _encoding(ls.workspace.position_encoding)  # type: ignore[assignment]
        settings = params.initialization_options if isinstance(params.initialization_options, dict) else {}
        # What the editor asks for wins over the files' configuration, as
        # the command line's options do.
        if settings.get("separators") in ("comma", "semicolon"):
            ls.dax.overrides["separators"] = settings["separators"]
        if settings.get("grammar") in ("engine", "standard"):
            ls.dax.overrides["grammar"] = settings["grammar"]
        delay = settings.get("diagnosticsDelay")
        if isinstance(delay, (int, float)) and 0 <= delay <= 10_000:
            ls.delay = delay / 1000

    @server.feature(types.INITIALIZED)
    def initialized(ls: DaxLanguageServer, params: types.InitializedParams) -> None:
        # Editors that watch files only when asked (Neovim, among others) are
        # asked for the model's, the reports' and the configuration's files,
        # so that a checkout or a save elsewhere is read again.
        if _watches_when_asked(ls):
            ls.client_register_capability(types.RegistrationParams(registrations=[types.Registration(
                id="quarrow-dax-files", method=types.WORKSPACE_DID_CHANGE_WATCHED_FILES,
                register_options=types.DidChangeWatchedFilesRegistrationOptions(watchers=[
                    types.FileSystemWatcher(glob_pattern=pattern) for pattern in WATCHED]))]))

    @server.feature(types.SHUTDOWN)
    def shutdown(ls: DaxLanguageServer, params: None) -> None:
        for timer in ls.timers.values():
            timer.cancel()
        ls.timers.clear()
        ls.worker.shutdown()

    # --- documents ------------------------------------------------------------------

    @server.feature(types.TEXT_DOCUMENT_DID_OPEN)
    def did_open(ls: DaxLanguageServer, params: types.DidOpenTextDocumentParams) -> None:
        item = params.text_document
        ls.changed(ls.documents.open(item.uri, item.text, item.version))

    @server.feature(types.TEXT_DOCUMENT_DID_CHANGE)
    def did_change(ls: DaxLanguageServer, params: types.DidChangeTextDocumentParams) -> None:
        document = ls.documents.change(params.text_document.uri, _changes(params), params.text_document.version)
        if document is not None:
            ls.changed(document)

    @server.feature(types.TEXT_DOCUMENT_DID_CLOSE)
    def did_close(ls: DaxLanguageServer, params: types.DidCloseTextDocumentParams) -> None:
        document = ls.documents.close(params.text_document.uri)
        if document is None:
            return
        ls.text_document_publish_diagnostics(types.PublishDiagnosticsParams(uri=document.uri, diagnostics=[]))
        key = ls.key_of(document)
        ls.published.get(key, set()).discard(document.uri)
        if key != document.uri:
            ls.schedule(key)  # the model is read from the disk's text of the file now

    @server.feature(types.TEXT_DOCUMENT_DID_SAVE)
    def did_save(ls: DaxLanguageServer, params: types.DidSaveTextDocumentParams) -> None:
        ls.everything_changed()

    @server.feature(types.WORKSPACE_DID_CHANGE_WATCHED_FILES)
    def watched(ls: DaxLanguageServer, params: types.DidChangeWatchedFilesParams) -> None:
        ls.everything_changed()

    # --- formatting -----------------------------------------------------------------

    @server.feature(types.TEXT_DOCUMENT_FORMATTING)
    async def formatting(ls: DaxLanguageServer, params: types.DocumentFormattingParams) -> list[types.TextEdit] | None:
        document = ls.documents.get(params.text_document.uri)
        if document is None:
            return None
        return await ls.run(lambda: format_document((view := ls.view(document)), view.settings.format))

    @server.feature(types.TEXT_DOCUMENT_RANGE_FORMATTING)
    async def range_formatting(ls: DaxLanguageServer,
                               params: types.DocumentRangeFormattingParams) -> list[types.TextEdit] | None:
        document = ls.documents.get(params.text_document.uri)
        if document is None:
            return None
        where = params.range
        first = document.offset(where.start.line, where.start.character)
        last = document.offset(where.end.line, where.end.character)
        return await ls.run(lambda: format_document((view := ls.view(document)), view.settings.format, first, last))

    # --- the catalogue and the model under the cursor ---------------------------------

    @server.feature(types.TEXT_DOCUMENT_HOVER)
    async def on_hover(ls: DaxLanguageServer, params: types.HoverParams) -> types.Hover | None:
        return await ls.at_name(params.text_document.uri, params.position,
                                lambda view, piece, found: hover(view, piece, found, ls.files().text))

    @server.feature(types.TEXT_DOCUMENT_SIGNATURE_HELP,
                    types.SignatureHelpOptions(trigger_characters=["(", ",", ";"], retrigger_characters=[" "]))
    async def on_signature_help(ls: DaxLanguageServer, params: types.SignatureHelpParams) -> types.SignatureHelp | None:
        return await ls.at_place(params.text_document.uri, params.position,
                                 lambda view, piece, offset: signature_help(view, piece, offset,
                                                                              view.options.separators))

    @server.feature(types.TEXT_DOCUMENT_COMPLETION,
                    types.CompletionOptions(trigger_characters=["[", "'"], resolve_provider=True))
    async def on_completion(ls: DaxLanguageServer, params: types.CompletionParams) -> types.CompletionList | None:
        return await ls.at_place(params.text_document.uri, params.position,
                                 lambda view, piece, offset: complete(view, piece, offset, view.options.separators))

    @server.feature(types.COMPLETION_ITEM_RESOLVE)
    def on_completion_resolve(ls: DaxLanguageServer, item: types.CompletionItem) -> types.CompletionItem:
        try:
            return resolve(item)
        except Exception:  # noqa: BLE001 - no input may end the server
            logger.exception("quarrow-dax: completion item")
            return item

    @server.feature(types.TEXT_DOCUMENT_DEFINITION)
    async def on_definition(ls: DaxLanguageServer, params: types.DefinitionParams) -> list[types.Location] | None:
        return await ls.at_name(params.text_document.uri, params.position,
                                lambda view, piece, found: definition(view, piece, found, ls.files()) or None)

    @server.feature(types.TEXT_DOCUMENT_REFERENCES)
    async def on_references(ls: DaxLanguageServer, params: types.ReferenceParams) -> list[types.Location] | None:
        return await ls.at_name(params.text_document.uri, params.position, lambda view, piece, found: references_of(
            view, piece, found, view.options, ls.files(), params.context.include_declaration))

    # --- renaming ---------------------------------------------------------------------

    @server.feature(types.TEXT_DOCUMENT_PREPARE_RENAME)
    async def on_prepare_rename(ls: DaxLanguageServer,
                                params: types.PrepareRenameParams) -> types.PrepareRenamePlaceholder | None:
        return await _refusing(ls.at_name(params.text_document.uri, params.position, renaming.prepare))

    @server.feature(types.TEXT_DOCUMENT_RENAME)
    async def on_rename(ls: DaxLanguageServer, params: types.RenameParams) -> types.WorkspaceEdit | None:
        return await _refusing(ls.at_name(params.text_document.uri, params.position, lambda view, piece, found: (
            renaming.rename(view, piece, found, params.new_name, ls.files(), view.options))))

    # --- outline, fixes, colours ---------------------------------------------------------

    @server.feature(types.TEXT_DOCUMENT_DOCUMENT_SYMBOL)
    async def on_document_symbol(ls: DaxLanguageServer,
                                 params: types.DocumentSymbolParams) -> list[types.DocumentSymbol] | None:
        document = ls.documents.get(params.text_document.uri)
        if document is None:
            return None
        return await ls.run(lambda: document_symbols(ls.view(document), ls.files()), BACKGROUND)

    @server.feature(types.TEXT_DOCUMENT_CODE_ACTION, types.CodeActionOptions(
        code_action_kinds=[types.CodeActionKind.QuickFix, types.CodeActionKind.SourceFixAll], resolve_provider=True))
    async def on_code_action(ls: DaxLanguageServer, params: types.CodeActionParams) -> list[types.CodeAction] | None:
        document = ls.documents.get(params.text_document.uri)
        if document is None:
            return None
        where = params.range
        first = document.offset(where.start.line, where.start.character)
        last = document.offset(where.end.line, where.end.character)
        only = [str(getattr(kind, "value", kind)) for kind in params.context.only] if params.context.only else None

        def work() -> list[types.CodeAction]:
            view = ls.view(document)
            shown = ls.dax.findings(view)
            return code_actions(view, shown, first, last, view.options, view.settings.lint, only,
                                deferred=_resolves_edits(ls))
        return await ls.run(work, BACKGROUND)

    @server.feature(types.CODE_ACTION_RESOLVE)
    async def on_code_action_resolve(ls: DaxLanguageServer, action: types.CodeAction) -> types.CodeAction:
        uri = action.data.get("uri") if isinstance(action.data, dict) else None
        document = ls.documents.get(uri) if isinstance(uri, str) else None
        if document is None or action.kind != types.CodeActionKind.SourceFixAll:
            return action

        def work() -> types.CodeAction:
            # The document as it is now: the edit is made on the text the editor has.
            view = ls.view(document)
            config = view.settings.lint
            resolved = None if config is None else fix_all(view, view.options, config)
            return resolved if resolved is not None else types.CodeAction(
                title=action.title, kind=action.kind, edit=types.WorkspaceEdit(changes={}))
        return await ls.run(work) or action

    @server.feature(types.TEXT_DOCUMENT_SEMANTIC_TOKENS_FULL,
                    types.SemanticTokensLegend(token_types=TOKEN_TYPES, token_modifiers=TOKEN_MODIFIERS))
    async def on_semantic_tokens(ls: DaxLanguageServer, params: types.SemanticTokensParams) -> types.SemanticTokens | None:
        document = ls.documents.get(params.text_document.uri)
        if document is None:
            return None
        data = await ls.run(lambda: semantic_tokens(ls.view(document)), BACKGROUND)
        return None if data is None else types.SemanticTokens(data=data)

    return server


def _watches_when_asked(ls: DaxLanguageServer) -> bool:
    try:
        return bool(ls.client_capabilities.workspace.did_change_watched_files.dynamic_registration)  # type: ignore[union-attr]
    except AttributeError:
        return False


def _resolves_edits(ls: DaxLanguageServer) -> bool:
    """Whether the editor fetches a code action's edit when it is chosen."""
    try:
        support = ls.client_capabilities.text_document.code_action.resolve_support  # type: ignore[union-attr]
    except AttributeError:
        return False
    return support is not None and "edit" in support.properties


async def _refusing(work: Awaitable[T]) -> T:
    """A rename's answer, or the reason it is refused as the request's error."""
    try:
        return await work
    except RenameRefused as refusal:
        raise JsonRpcException(message=str(refusal), code=REQUEST_FAILED) from None


def serve(tcp_port: int | None = None, host: str = "127.0.0.1") -> None:
    """Runs the server on standard input and output, or on a TCP port of the
    loopback address, until the editor says exit."""
    logging.basicConfig(level=os.environ.get("QUARROW_DAX_LSP_LOG", "WARNING").upper(),
                        format="%(levelname)s %(name)s: %(message)s")
    server = create_server()
    if tcp_port is None:
        server.start_io(*_protocol_streams())
    else:
        server.start_tcp(host, tcp_port)


def _protocol_streams() -> tuple[BinaryIO, BinaryIO]:
    """Standard input and output, kept for the protocol alone.

    The protocol gets its own handles on them; standard output itself (the
    descriptor and `sys.stdout`, so that C code is covered too) then leads
    to standard error and standard input to nothing, so that no print and
    no read anywhere in the process can put a byte into the protocol or
    take one out of it."""
    try:
        sys.stdout.flush()
        reading = os.fdopen(os.dup(0), "rb")
        writing = os.fdopen(os.dup(1), "wb")
    except (AttributeError, OSError, ValueError):  # no descriptors to move (an embedding host)
        return sys.stdin.buffer, sys.stdout.buffer
    try:
        os.dup2(sys.stderr.fileno(), 1)
    except (AttributeError, OSError, ValueError):  # no standard error either: stray output is dropped
        nothing = os.open(os.devnull, os.O_WRONLY)
        os.dup2(nothing, 1)
        os.close(nothing)
    sys.stdout = sys.stderr if sys.stderr is not None else open(os.devnull, "w", encoding="utf-8")
    nothing = os.open(os.devnull, os.O_RDONLY)
    os.dup2(nothing, 0)
    os.close(nothing)
    sys.stdin = open(os.devnull, encoding="utf-8")
    return reading, writing
