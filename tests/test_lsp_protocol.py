"""The language server as a process an editor depends on, spoken to by a
client of our own that reads standard output byte by byte: every byte on
it must belong to a well-framed protocol message; messages no editor
should send, and faults inside the features (injected by starting the
server through a wrapper), must neither end the server nor leave a
request unanswered; and the server ends when it is told to, or when its
editor goes away."""

from __future__ import annotations

import json
import os
import pathlib
import queue
import subprocess
import sys
import threading
from typing import Any

import pytest

pytest.importorskip("pygls")

from lsp_client import DATA, PATIENCE  # noqa: E402

MEASURE = DATA / "files" / "measure.dax"

#: Starts the server with faults planted in it: hover and the outline
#: raise, signature help and formatting write to standard output both
#: through Python and straight to the descriptor (as C code would), and
#: opening a file whose name holds "explode" raises in the notification.
WITH_FAULTS = """
import os
import quarrow_dax.lsp.server as server
from quarrow_dax.lsp.documents import DocumentStore

def fault(*args, **kwargs):
    raise RuntimeError("planted fault")

def noisy(*args, **kwargs):
    print("stray print from a feature", flush=True)
    os.write(1, b"stray bytes on descriptor 1\\n")
    return None

opening = DocumentStore.open

def open_or_fault(self, uri, text, version):
    if "explode" in uri:
        raise RuntimeError("planted fault in didOpen")
    return opening(self, uri, text, version)

server.hover = fault
server.document_symbols = fault
server.signature_help = noisy
server.format_document = noisy
DocumentStore.open = open_or_fault
server.serve()
"""


class Session:
    """The server as a child process and a strict reader of what it writes."""

    def __init__(self, *command: str) -> None:
        self.process = subprocess.Popen(
            list(command) or [sys.executable, "-m", "quarrow_dax", "lsp"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.messages: queue.Queue[dict[str, Any] | None] = queue.Queue()
        #: What was on standard output that is not a well-framed message.
        self.violations: list[bytes] = []
        self.seen: list[dict[str, Any]] = []
        self.next_id = 0
        self.stderr = b""
        threading.Thread(target=self._read, daemon=True).start()
        self._stderr_reader = threading.Thread(target=self._read_stderr, daemon=True)
        self._stderr_reader.start()

    def _read_stderr(self) -> None:
        assert self.process.stderr is not None
        self.stderr = self.process.stderr.read()

    def _read(self) -> None:
        stream = self.process.stdout
        assert stream is not None
        while True:
            headers: dict[bytes, bytes] = {}
            line = stream.readline()
            if not line:
                self.messages.put(None)
                return
            while line not in (b"\r\n", b""):
                name, colon, value = line.partition(b":")
                if not colon or not line.endswith(b"\r\n") or name not in (b"Content-Length", b"Content-Type"):
                    self.violations.append(line)
                headers[name] = value.strip()
                line = stream.readline()
            try:
                length = int(headers[b"Content-Length"])
            except (KeyError, ValueError):
                self.violations.append(b"no Content-Length")
                continue
            body = stream.read(length)
            try:
                message = json.loads(body)
                assert message["jsonrpc"] == "2.0"
            except (ValueError, KeyError, AssertionError, TypeError):
                self.violations.append(body)
                continue
            self.messages.put(message)

    def send_bytes(self, body: bytes) -> None:
        assert self.process.stdin is not None
        self.process.stdin.write(b"Content-Length: %d\r\n\r\n" % len(body) + body)
        self.process.stdin.flush()

    def notify(self, method: str, params: Any = None) -> None:
        self.send_bytes(json.dumps({"jsonrpc": "2.0", "method": method, "params": params}).encode())

    def request(self, method: str, params: Any = None) -> dict[str, Any]:
        """The answer (with its `result` or `error`) to a request."""
        self.next_id += 1
        self.send_bytes(json.dumps({"jsonrpc": "2.0", "id": self.next_id, "method": method,
                                    "params": params}).encode())
        return self.wait_for(lambda message: message.get("id") == self.next_id and "method" not in message)

    def wait_for(self, wanted) -> dict[str, Any]:
        while True:
            try:
                message = self.messages.get(timeout=PATIENCE)
            except queue.Empty:
                raise AssertionError(f"no answer within {PATIENCE} s") from None
            if message is None:
                raise AssertionError(f"the server ended: {self.finish()}")
            self.seen.append(message)
            if "id" in message and "method" in message:  # the server asks: answered with nothing
                self.send_bytes(json.dumps({"jsonrpc": "2.0", "id": message["id"], "result": None}).encode())
            if wanted(message):
                return message

    def diagnostics(self, uri: str, version: int) -> list[dict[str, Any]]:
        return self.wait_for(lambda message: message.get("method") == "textDocument/publishDiagnostics"
                             and message["params"]["uri"] == uri
                             and message["params"].get("version") == version)["params"]["diagnostics"]

    def start(self, root: pathlib.Path = DATA) -> None:
        answer = self.request("initialize", {"processId": os.getpid(), "rootUri": root.as_uri(), "capabilities": {},
                                             "initializationOptions": {"diagnosticsDelay": 10}})
        assert "capabilities" in answer["result"]
        self.notify("initialized", {})

    def finish(self) -> int | None:
        """Ends the process (killed if it did not end by itself in time);
        its exit status, None when it had to be killed."""
        try:
            status: int | None = self.process.wait(timeout=PATIENCE)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            status = None
        self._stderr_reader.join(PATIENCE)
        return status

    def close(self) -> int | None:
        assert self.request("shutdown")["result"] is None
        self.notify("exit")
        return self.finish()


@pytest.fixture
def session():
    started: list[Session] = []

    def start(*command: str, root: pathlib.Path = DATA) -> Session:
        started.append(Session(*command))
        started[-1].start(root)
        return started[-1]

    yield start
    for each in started:
        if each.process.poll() is None:
            each.process.kill()
            each.process.wait()


def open_text(session: Session, uri: str, text: str, version: int = 1) -> None:
    session.notify("textDocument/didOpen", {"textDocument": {"uri": uri, "languageId": "dax", "version": version,
                                                             "text": text}})


def at(uri: str, line: int, character: int) -> dict[str, Any]:
    return {"textDocument": {"uri": uri}, "position": {"line": line, "character": character}}


def hover_says(session: Session, uri: str) -> str:
    """A hover over ABS in `uri`, whose text begins `ABS ( 1 )`."""
    result = session.request("textDocument/hover", at(uri, 0, 1))["result"]
    return result["contents"]["value"] if result else ""


UNREADABLE = [
    # (what an editor should never send, the JSON-RPC error code of the answer, or None for no answer)
    ("a body that is not JSON", b"{not json", None),
    ("a JSON array", b"[1, 2, 3]", None),
    ("a number", b"42", None),
    ("JSON nested past any stack", b'{"jsonrpc": "2.0", "method": "x", "params": ' + b"[" * 200_000, None),
    ("a request without a position", {"method": "textDocument/hover", "params": {"textDocument": {"uri": "u"}}},
     -32602),
    ("a negative line", {"method": "textDocument/hover",
                         "params": {"textDocument": {"uri": "u"}, "position": {"line": -1, "character": 0}}}, -32602),
    ("a position that is a string", {"method": "textDocument/completion",
                                     "params": {"textDocument": {"uri": "u"}, "position": "0:0"}}, -32602),
    ("an unknown method", {"method": "quarrow/nothing", "params": {}}, -32601),
    ("a change to a file never opened", {"method": "textDocument/didChange", "params": {
        "textDocument": {"uri": "file:///never/opened.dax", "version": 2}, "contentChanges": [{"text": "1"}]}}, None),
    ("a close of a file never opened", {"method": "textDocument/didClose", "params": {
        "textDocument": {"uri": "file:///never/opened.dax"}}}, None),
    ("a change past the end of the text", {"method": "textDocument/didChange", "params": {
        "textDocument": {"uri": "untitled:probe", "version": 2}, "contentChanges": [
            {"range": {"start": {"line": 900, "character": 5}, "end": {"line": 3, "character": 0}}, "text": ""}]}},
     None),
    ("an open whose URI is no URI", {"method": "textDocument/didOpen", "params": {"textDocument": {
        "uri": "::", "languageId": "dax", "version": 1, "text": "SUM ( "}}}, None),
]


@pytest.mark.parametrize("sent, code", [(case[1], case[2]) for case in UNREADABLE],
                         ids=[case[0] for case in UNREADABLE])
def test_a_message_no_editor_should_send_neither_ends_the_server_nor_goes_unanswered(session, sent, code):
    server = session()
    probe = "untitled:probe"
    open_text(server, probe, "ABS ( 1 )")
    assert server.diagnostics(probe, 1) == []
    if isinstance(sent, bytes):
        server.send_bytes(sent)
    else:
        is_request = code is not None
        message = {"jsonrpc": "2.0", **sent, **({"id": 777} if is_request else {})}
        server.send_bytes(json.dumps(message).encode())
        if is_request:
            answer = server.wait_for(lambda each: each.get("id") == 777)
            assert answer["error"]["code"] == code
    # Still answering, and right; the user was not shown a message for it.
    assert "ABS ( <Number> )" in hover_says(server, probe)
    assert not [each for each in server.seen if each.get("method") == "window/showMessage"]
    assert server.close() == 0
    assert server.violations == []


def test_faults_in_the_features_are_logged_and_answered(session):
    server = session(sys.executable, "-c", WITH_FAULTS)
    uri = "untitled:faults"
    open_text(server, uri, "ABS ( 1 ) +")
    assert [item["code"] for item in server.diagnostics(uri, 1)] == ["E002"]
    # A feature that raises on the worker answers nothing; so does the outline.
    assert server.request("textDocument/hover", at(uri, 0, 1)) == {"jsonrpc": "2.0", "id": server.next_id,
                                                                    "result": None}
    assert server.request("textDocument/documentSymbol", {"textDocument": {"uri": uri}})["result"] is None
    # A notification that raises: logged to the editor, not shown to the user.
    open_text(server, "untitled:explode", "1")
    logged = server.wait_for(lambda message: message.get("method") == "window/logMessage")
    assert "planted fault in didOpen" in logged["params"]["message"] and logged["params"]["type"] == 1
    # Features that write to standard output: their answers still arrive, framed.
    assert server.request("textDocument/signatureHelp", at(uri, 0, 6))["result"] is None
    assert server.request("textDocument/formatting", {"textDocument": {"uri": uri}, "options": {
        "tabSize": 4, "insertSpaces": True}})["result"] is None
    # And the server goes on: the next version's problems, completion.
    server.notify("textDocument/didChange", {"textDocument": {"uri": uri, "version": 2},
                                             "contentChanges": [{"text": "ABS ( 1 ) + 2"}]})
    assert server.diagnostics(uri, 2) == []
    items = server.request("textDocument/completion", at(uri, 0, 2))["result"]["items"]
    assert "ABS" in {item["label"] for item in items}
    assert server.close() == 0
    assert server.violations == []
    assert not [each for each in server.seen if each.get("method") == "window/showMessage"]
    errors = server.stderr.decode("utf-8", "replace")
    assert errors.count("planted fault") >= 3  # hover, outline, didOpen: each with its traceback
    assert "stray print from a feature" in errors and "stray bytes on descriptor 1" in errors


def test_every_byte_on_standard_output_is_the_protocol_over_a_model(session, tmp_path):
    """A session over the test model with every feature asked once: the
    strict reader finds nothing on standard output but framed messages."""
    import shutil

    project = shutil.copytree(DATA, tmp_path / "project")
    server = session(root=project)
    sales = project / "Shop.SemanticModel/definition/tables/Sales.tmdl"
    uri = sales.as_uri()
    text = sales.read_text(encoding="utf-8")
    server.notify("textDocument/didOpen", {"textDocument": {"uri": uri, "languageId": "tmdl", "version": 1,
                                                            "text": text}})
    codes = sorted(item["code"] for item in server.diagnostics(uri, 1))
    assert codes == ["DAX001", "DAX101", "E002"]
    line = next(number for number, each in enumerate(text.split("\n")) if "[Revenue] - [Cost]" in each)
    column = text.split("\n")[line].index("[Revenue]") + 2
    for method, params in [
        ("textDocument/hover", at(uri, line, column)),
        ("textDocument/completion", at(uri, line, column)),
        ("textDocument/signatureHelp", at(uri, line, column)),
        ("textDocument/definition", at(uri, line, column)),
        ("textDocument/references", {**at(uri, line, column), "context": {"includeDeclaration": True}}),
        ("textDocument/prepareRename", at(uri, line, column)),
        ("textDocument/documentSymbol", {"textDocument": {"uri": uri}}),
        ("textDocument/semanticTokens/full", {"textDocument": {"uri": uri}}),
        ("textDocument/formatting", {"textDocument": {"uri": uri}, "options": {"tabSize": 4, "insertSpaces": True}}),
        ("textDocument/codeAction", {"textDocument": {"uri": uri}, "range": {
            "start": {"line": 0, "character": 0}, "end": {"line": line + 20, "character": 0}},
            "context": {"diagnostics": []}}),
    ]:
        answer = server.request(method, params)
        assert "error" not in answer, (method, answer)
    assert server.close() == 0
    assert server.violations == []
    assert sales.read_text(encoding="utf-8") == text  # features propose edits; they never write


def test_the_server_ends_when_its_editor_goes_away(session):
    """An editor that dies closes the server's standard input: the server
    must end by itself, not linger as an orphan."""
    server = session()
    open_text(server, "untitled:gone", "1 +")
    server.diagnostics("untitled:gone", 1)
    assert server.process.stdin is not None
    server.process.stdin.close()
    assert server.finish() is not None  # ended by itself, not killed
    assert server.violations == []


@pytest.mark.parametrize("dynamic", [True, False], ids=["asked", "not asked"])
def test_an_editor_that_watches_files_when_asked_is_asked_to(dynamic):
    """An editor that can watch files on request is asked to watch the
    model's, the reports' and the configuration's files; one that cannot
    is not sent a request it would refuse."""
    server = Session()
    try:
        capabilities = {"workspace": {"didChangeWatchedFiles": {"dynamicRegistration": dynamic}}}
        assert "result" in server.request("initialize", {"processId": None, "rootUri": DATA.as_uri(),
                                                         "capabilities": capabilities})
        server.notify("initialized", {})
        # A request after `initialized`: a registration, if any, comes before its answer.
        server.request("textDocument/hover", at("untitled:none", 0, 0))
        asked = [message for message in server.seen if message.get("method") == "client/registerCapability"]
        if dynamic:
            [registration] = asked[0]["params"]["registrations"]
            assert registration["method"] == "workspace/didChangeWatchedFiles"
            patterns = {watcher["globPattern"] for watcher in registration["registerOptions"]["watchers"]}
            assert {"**/*.tmdl", "**/*.bim", "**/quarrow-dax.toml", "**/pyproject.toml"} <= patterns
        else:
            assert asked == []
        assert server.close() == 0
    finally:
        if server.process.poll() is None:
            server.process.kill()
            server.process.wait()
