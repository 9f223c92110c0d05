"""What the language server's end-to-end tests share: a pytest-lsp client
that keeps every diagnostics notification (with its version), a copy of
the test project to work in, and small helpers that speak for an editor.

No test can hang: every request the client sends fails after `PATIENCE`
seconds without an answer, a server that dies fails the requests waiting
for it at once, and the session's end kills a server that does not stop."""

from __future__ import annotations

import asyncio
import pathlib
import shutil
import sys
from typing import Any

from lsprotocol import types
from pytest_lsp import ClientServerConfig, LanguageClient
from pytest_lsp.client import DEFAULT_CLIENT_FEATURES, make_test_lsp_client, register_lsp_features

DATA = pathlib.Path(__file__).resolve().parent / "data" / "lsp"
#: How long a test waits for the server's answer before it fails.
PATIENCE = 20.0


class _Client(LanguageClient):
    async def server_exit(self, server: asyncio.subprocess.Process) -> None:
        await super().server_exit(server)
        if self._stop_event.is_set():
            return
        # pytest-lsp fails only the notifications awaited; a request would wait forever.
        for future in list(self.protocol._request_futures.values()):
            if not future.done():
                future.set_exception(RuntimeError(f"the server exited with {server.returncode}"))


def recording_client() -> LanguageClient:
    """The test client, also keeping every publishDiagnostics in order."""
    from pygls.protocol import default_converter

    client = _Client(converter_factory=default_converter)
    asking = client.protocol.send_request_async

    def bounded(method: str, params: object = None, msg_id: object = None) -> Any:
        return asyncio.wait_for(asking(method, params, msg_id=msg_id), PATIENCE)

    client.protocol.send_request_async = bounded  # type: ignore[method-assign]
    features = dict(DEFAULT_CLIENT_FEATURES)

    def publish(client: LanguageClient, params: types.PublishDiagnosticsParams) -> None:
        client.diagnostics[params.uri] = params.diagnostics
        client.published.append(params)  # type: ignore[attr-defined]

    features[types.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS] = publish
    register_lsp_features(client, features)
    client.published = []  # type: ignore[attr-defined]
    return client


def server_config(*arguments: str) -> ClientServerConfig:
    return ClientServerConfig(server_command=[sys.executable, "-m", "quarrow_dax", "lsp", *arguments],
                              client_factory=recording_client)


async def end_session(client: LanguageClient) -> None:
    """shutdown and exit, as an editor ends; the server must then end with
    status 0. One that does not end in time is killed (and the test fails)."""
    try:
        await asyncio.wait_for(client.shutdown_session(), PATIENCE)
    finally:
        server = client._server
        if server is not None and server.returncode is None:
            server.kill()
            await server.wait()
    assert client.error is None and server is not None and server.returncode == 0, server and server.returncode


def project_copy(target: pathlib.Path) -> pathlib.Path:
    """A copy of the test project (model, report, .dax files) to work in."""
    shutil.copytree(DATA, target)
    return target


async def initialize(client: LanguageClient, root: pathlib.Path, **options: object) -> types.InitializeResult:
    capabilities = types.ClientCapabilities(
        general=types.GeneralClientCapabilities(position_encodings=[types.PositionEncodingKind.Utf16]),
        text_document=types.TextDocumentClientCapabilities(
            hover=types.HoverClientCapabilities(content_format=[types.MarkupKind.Markdown]),
            completion=types.CompletionClientCapabilities(completion_item=types.ClientCompletionItemOptions(
                documentation_format=[types.MarkupKind.Markdown])),
            signature_help=types.SignatureHelpClientCapabilities(
                signature_information=types.ClientSignatureInformationOptions(
                    documentation_format=[types.MarkupKind.Markdown])),
            document_symbol=types.DocumentSymbolClientCapabilities(hierarchical_document_symbol_support=True),
            rename=types.RenameClientCapabilities(prepare_support=True),
            # As VS Code: a code action's edit fetched when the action is chosen.
            code_action=types.CodeActionClientCapabilities(
                data_support=True, resolve_support=types.ClientCodeActionResolveOptions(properties=["edit"])),
            publish_diagnostics=types.PublishDiagnosticsClientCapabilities(version_support=True),
        ),
    )
    return await client.initialize_session(types.InitializeParams(
        capabilities=capabilities, root_uri=root.as_uri(),
        initialization_options={"diagnosticsDelay": 20, **options}))


def open_document(client: LanguageClient, path: pathlib.Path, text: str | None = None, version: int = 1) -> str:
    uri = path.as_uri()
    language = {".dax": "dax", ".tmdl": "tmdl", ".bim": "json"}.get(path.suffix.lower(), "dax")
    client.text_document_did_open(types.DidOpenTextDocumentParams(text_document=types.TextDocumentItem(
        uri=uri, language_id=language, version=version, text=path.read_text(encoding="utf-8") if text is None else text)))
    return uri


def close_document(client: LanguageClient, uri: str) -> None:
    client.text_document_did_close(types.DidCloseTextDocumentParams(text_document=types.TextDocumentIdentifier(uri=uri)))


def edit(client: LanguageClient, uri: str, version: int, start: tuple[int, int], end: tuple[int, int], text: str) -> None:
    """One incremental change: `text` replaces the range (line, character)."""
    where = types.Range(start=types.Position(line=start[0], character=start[1]),
                        end=types.Position(line=end[0], character=end[1]))
    client.text_document_did_change(types.DidChangeTextDocumentParams(
        text_document=types.VersionedTextDocumentIdentifier(uri=uri, version=version),
        content_changes=[types.TextDocumentContentChangePartial(range=where, text=text)]))


async def diagnostics(client: LanguageClient, uri: str, version: int | None = None) -> list[types.Diagnostic]:
    """The diagnostics the server publishes for `uri` at `version` (any
    version when None), waiting for them."""
    published: list[types.PublishDiagnosticsParams] = client.published  # type: ignore[attr-defined]
    deadline = asyncio.get_running_loop().time() + PATIENCE
    while True:
        for params in reversed(published):
            if params.uri == uri and (version is None or params.version == version):
                return list(params.diagnostics)
        if asyncio.get_running_loop().time() > deadline:
            raise AssertionError(f"no diagnostics for {uri} at version {version}; got "
                                 f"{[(p.uri.rsplit('/', 1)[-1], p.version) for p in published]}")
        await asyncio.sleep(0.01)


def position_of(text: str, needle: str, occurrence: int = 0, shift: int = 0) -> types.Position:
    """The position of the `occurrence`-th `needle` in `text` (plus `shift`
    characters), in UTF-16 units."""
    at = -1
    for _ in range(occurrence + 1):
        at = text.index(needle, at + 1)
    at += shift
    line = text.count("\n", 0, at)
    start = text.rfind("\n", 0, at) + 1
    return types.Position(line=line, character=len(text[start:at].encode("utf-16-le")) // 2)


def document_id(uri: str) -> types.TextDocumentIdentifier:
    return types.TextDocumentIdentifier(uri=uri)
