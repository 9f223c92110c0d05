"""The language server's parts without the protocol: documents changed as
an editor changes them, every formula of the real models mapped to its
characters in the file, cached findings equal to fresh ones, and what
the tokens before a cursor say."""

from __future__ import annotations

import pathlib
import random

import pytest

pytest.importorskip("lsprotocol")

from quarrow_dax.check import CheckOptions  # noqa: E402
from quarrow_dax.lint import LintConfig  # noqa: E402
from quarrow_dax.lsp.analysis import FormulaCache  # noqa: E402
from quarrow_dax.lsp.cursor import enclosing_call, prefix  # noqa: E402
from quarrow_dax.lsp.documents import Change, Document  # noqa: E402
from quarrow_dax.lsp.places import formula_piece  # noqa: E402
from quarrow_dax.model import load_model, read_model  # noqa: E402
from quarrow_dax.sources import read_text  # noqa: E402

SHARED_MODELS = pathlib.Path(__file__).resolve().parents[2] / "shared" / "models"
MODELS = sorted([*SHARED_MODELS.glob("bim/*/model.bim"), *SHARED_MODELS.glob("tmdl/*/definition")])
DATA = pathlib.Path(__file__).resolve().parent / "data" / "lsp"


# --- documents ---------------------------------------------------------------------

TEXTS = ["", "abc\ndef", "VAR x = \"é€\"\r\nRETURN x", "-- 😀 emoji\n[Total 😀] + 1\n", "\n\n\t\tx\n"]


def _units(text: str, encoding: str) -> int:
    if encoding == "utf-8":
        return len(text.encode("utf-8"))
    if encoding == "utf-16":
        return len(text.encode("utf-16-le")) // 2
    return len(text)


@pytest.mark.parametrize("encoding", ["utf-16", "utf-8", "utf-32"])
def test_positions_and_offsets_agree_in_every_encoding(encoding):
    for text in TEXTS:
        document = Document("file:///a.dax", "/a.dax", 1, text, encoding)  # type: ignore[arg-type]
        for offset in range(len(text) + 1):
            line, units = document.position(offset)
            line_start = text.rfind("\n", 0, offset) + 1
            assert line == text.count("\n", 0, offset)
            assert units == _units(text[line_start:offset], encoding)
            assert document.offset(line, units) == offset
        # Counted on from the offset before (as the semantic tokens are),
        # in order and then in any order, the positions are the same.
        offsets = list(range(len(text) + 1))
        for order in (offsets, random.Random(len(text)).sample(offsets, len(offsets))):
            position = document.positions()
            assert [position(offset) for offset in order] == [document.position(offset) for offset in order]


@pytest.mark.parametrize("encoding", ["utf-16", "utf-8"])
def test_incremental_changes_give_the_text_a_full_sync_would(encoding):
    """Random edits, each sent as an editor sends it (range in the editor's
    units), give the same text as applying them to the string."""
    pieces = ["a", "é", "😀", "\n", "VAR ", "[x]", "\r\n", "\t"]
    generator = random.Random(26)
    for _ in range(40):
        text = "".join(generator.choice(pieces) for _ in range(generator.randrange(0, 12)))
        document = Document("file:///a.dax", "/a.dax", 1, text, encoding)  # type: ignore[arg-type]
        changes = []
        expected = text
        for _ in range(3):
            start = generator.randrange(0, len(expected) + 1)
            end = generator.randrange(start, len(expected) + 1)
            new = "".join(generator.choice(pieces) for _ in range(generator.randrange(0, 3)))
            probe = Document("", None, 0, expected, encoding)  # type: ignore[arg-type]
            (start_line, start_units), (end_line, end_units) = probe.position(start), probe.position(end)
            changes.append(Change(new, start_line, start_units, end_line, end_units))
            expected = expected[:start] + new + expected[end:]
        assert document.changed(changes, 2).text == expected


def test_a_change_past_the_end_is_clamped_and_a_whole_text_replaces():
    document = Document("file:///a.dax", "/a.dax", 1, "abc\ndef")
    assert document.changed([Change("!", 9, 0, 12, 4)], 2).text == "abc\ndef!"
    assert document.changed([Change("xyz")], 2).text == "xyz"
    assert document.changed([Change("Q", 0, 50, 0, 60)], 2).text == "abcQ\ndef"


# --- every formula of the real models, at its characters ------------------------------


@pytest.mark.parametrize("path", MODELS, ids=[p.parent.name if p.suffix else p.parent.name for p in MODELS])
def test_every_formula_maps_onto_its_characters_in_the_file(path):
    """The characters a formula's piece points at in the file are those of
    the formula: in TMDL one to one, in a .bim file each escape standing
    for the character it writes."""
    texts: dict[str, str] = {}
    checked = 0
    for formula in read_model(path):
        text = texts.get(formula.file)
        if text is None:
            text = texts[formula.file] = read_text(formula.file)
        starts = [0] + [i + 1 for i, c in enumerate(text) if c == "\n"]
        piece = formula_piece(formula, text, starts)
        assert piece.offsets is not None and len(piece.offsets) == len(formula.text) + 1
        assert all(a < b for a, b in zip(piece.offsets, piece.offsets[1:-1])), formula.name
        for index, character in enumerate(formula.text):
            at = piece.offsets[index]
            if character == "\n" or text[at] == character:
                continue
            # Only a .bim file writes a character otherwise: as a JSON escape.
            assert formula.file.endswith(".bim") and text[at] == "\\", (formula.file, formula.name, index)
        # And back: each character's offset finds the character.
        for index in range(0, len(formula.text), 7):
            assert piece.char_at(piece.offsets[index]) == index
        checked += 1
    assert checked > 0


# --- cached findings -------------------------------------------------------------------


@pytest.mark.parametrize("path", [*MODELS[:3], DATA / "Shop.SemanticModel" / "definition"],
                         ids=lambda p: p.parent.name)
def test_cached_findings_are_those_found_afresh(path):
    """After a formula of the model changes, the findings of every formula
    (most from the cache) equal those of a cache that starts empty."""
    options = CheckOptions()
    config = LintConfig()
    cache = FormulaCache()
    model = load_model(path, [], [])
    parsed = cache.parse(model, options, True)
    cache.findings(parsed, model.formulas, options, config)
    # A measure whose text the file holds as it is (no escapes in it).
    target = next(formula for formula in model.formulas
                  if formula.kind == "measure" and formula.text in read_text(formula.file))
    file_text = read_text(target.file)
    changed = file_text.replace(target.text, target.text + " + 0", 1)
    changed_model = load_model(path, [], [], texts={target.file: changed})
    parsed = cache.parse(changed_model, options, True)
    cached = cache.findings(parsed, changed_model.formulas, options, config)
    fresh_cache = FormulaCache()
    fresh = fresh_cache.findings(fresh_cache.parse(changed_model, options, True), changed_model.formulas, options,
                                 config)
    assert [(f.name, d.code, d.line, d.column, d.message) for f, d in cached] == \
        [(f.name, d.code, d.line, d.column, d.message) for f, d in fresh]


def test_a_renamed_measure_is_unknown_everywhere_at_once():
    """The cache is keyed by the model's shape: renaming a measure makes the
    formulas that use it (unchanged themselves) report it unknown."""
    root = DATA / "Shop.SemanticModel" / "definition"
    sales = root / "tables" / "Sales.tmdl"
    options, config, cache = CheckOptions(), LintConfig(), FormulaCache()
    model = load_model(root, [], [])
    before = cache.findings(cache.parse(model, options, True), model.formulas, options, config)
    renamed = sales.read_text(encoding="utf-8").replace("measure Revenue =", "measure Turnover =")
    model = load_model(root, [], [], texts={str(sales): renamed})
    after = cache.findings(cache.parse(model, options, True), model.formulas, options, config)
    unknown = {(f.name, d.message) for f, d in after if d.code == "DAX001"} - \
        {(f.name, d.message) for f, d in before if d.code == "DAX001"}
    assert {name for name, _ in unknown} == {"Margin", "Taxed", "Ratio", "Revenue LY"}


# --- the tokens before the cursor ---------------------------------------------------------

CALLS = [
    # (text before the cursor, the call, the argument)
    ("SUM ( ", ("SUM", 0)),
    ("DIVIDE ( [a], ", ("DIVIDE", 1)),
    ("CALCULATE ( [a], FILTER ( T, T[x] > 1 ), ", ("CALCULATE", 2)),
    ("IF ( ( 1 + 2 ), ", ("IF", 1)),
    ("IF ( ( 1, ", ("IF", 0)),  # a parenthesized group: its commas are not the call's
    ("ROUND ( { 1, 2 ", None),  # in a table constructor
    ("1 + 2", None),
    ("SWITCH ( TRUE (), 1, \"a,b\", ", ("SWITCH", 3)),  # a comma inside a string counts not
    ("f ( -- a, b\n 1, ", ("f", 1)),  # nor one inside a comment
]


@pytest.mark.parametrize("typed, expected", CALLS, ids=[c[0] for c in CALLS])
def test_the_call_and_argument_before_the_cursor(typed, expected):
    before = prefix(typed, len(typed.encode("utf-8")))
    call = enclosing_call(before.tokens)
    assert (None if call is None else (call.name, call.argument)) == expected


OPEN_TOKENS = [
    ("Sales[Qu", "BracketIdent", "Qu"),
    ("'Sales Ta", "QuotedIdent", "Sales Ta"),
    ('FORMAT ( x, "0.', "String", "0."),
    ("1 /* note", "BlockComment", ""),
    ("1 -- note", "LineComment", ""),
    ("Sales[Qty] + ", None, ""),
]


@pytest.mark.parametrize("typed, kind, text", OPEN_TOKENS, ids=[c[0] for c in OPEN_TOKENS])
def test_what_the_cursor_is_inside_of(typed, kind, text):
    before = prefix(typed, len(typed.encode("utf-8")))
    assert before.open_kind == kind
    if kind in ("BracketIdent", "QuotedIdent", "String"):
        assert before.open_text == text


# --- the command -------------------------------------------------------------------------


def test_the_server_listens_on_a_loopback_port_when_asked():
    """`quarrow-dax lsp --tcp PORT`: an editor connects to 127.0.0.1 and
    talks the same protocol; `exit` ends the server."""
    import json
    import socket
    import subprocess
    import sys
    import time

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = subprocess.Popen([sys.executable, "-m", "quarrow_dax", "lsp", "--tcp", str(port)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                connection = socket.create_connection(("127.0.0.1", port), timeout=10)
                break
            except OSError:
                assert time.monotonic() < deadline and server.poll() is None, server.stderr.read() if server.stderr else ""
                time.sleep(0.1)
        with connection:
            def send(message: dict) -> None:
                body = json.dumps({"jsonrpc": "2.0", **message}).encode()
                connection.sendall(b"Content-Length: %d\r\n\r\n" % len(body) + body)

            send({"id": 1, "method": "initialize", "params": {"processId": None, "rootUri": None, "capabilities": {}}})
            def receive() -> bytes:
                chunk = connection.recv(65536)  # within the connection's timeout
                assert chunk, "the server closed the connection"
                return chunk

            data = b""
            while b"\r\n\r\n" not in data:
                data += receive()
            head, _, body = data.partition(b"\r\n\r\n")
            length = next(int(line.split(b":")[1]) for line in head.split(b"\r\n")
                          if line.lower().startswith(b"content-length"))
            while len(body) < length:
                body += receive()
            answer = json.loads(body[:length])
            capabilities = answer["result"]["capabilities"]
            assert capabilities["hoverProvider"] and capabilities["renameProvider"] and capabilities["completionProvider"]
            assert capabilities["textDocumentSync"]["change"] == 2  # incremental
            send({"id": 2, "method": "shutdown"})
            send({"method": "exit"})
        assert server.wait(timeout=30) == 0
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()


LOCALS = [
    # (text before the cursor, kind of text, the names offered as variables and parameters)
    ("VAR a = 1 VAR b = a + ", "expression", {("a", "variable"), ("b", "variable")}),
    ("(amount : SCALAR, rate : SCALAR) => amount * ra", "function", {("amount", "parameter"), ("rate", "parameter")}),
    ("DEFINE FUNCTION f = ( x, y ) => VAR z = x ", "query", {("x", "parameter"), ("y", "parameter"),
                                                              ("z", "variable")}),
    ("SUM ( Sales[x] ) + ", "expression", set()),
]


@pytest.mark.parametrize("typed, kind, expected", LOCALS, ids=[c[0] for c in LOCALS])
def test_the_variables_and_parameters_completion_offers(typed, kind, expected):
    from quarrow_dax.lsp.completion import _locals

    before = prefix(typed, len(typed.encode("utf-8")))
    assert set(_locals(before.tokens, kind)) == expected


# --- fixing everything at once ------------------------------------------------------------

FIXABLE = [
    # (a .dax text, whether a safe fix is among its findings)
    ("VAR unused = 1\nVAR total = SUM ( Sales[Amount] )\nRETURN\n    total / COUNTROWS ( Sales )\n", True),
    ("VAR total = SUM ( Sales[Amount] )\nRETURN\n    total / COUNTROWS ( Sales )\n", False),
    ("SUM ( Sales[Amount] )\n", False),
]


@pytest.mark.parametrize("text, fixable", FIXABLE, ids=["safe fix", "unsafe fix only", "nothing"])
def test_the_deferred_fix_all_resolves_to_the_edit_given_at_once(text, fixable):
    """An editor that resolves the action later gets the edit an editor
    that cannot would get at once; and the action is offered only when
    there is something to fix."""
    from quarrow_dax.lsp.documents import DocumentStore
    from quarrow_dax.lsp.editing import code_actions, fix_all
    from quarrow_dax.lsp.workspace import Workspace

    store = DocumentStore()
    document = store.open("untitled:fix.dax", text, 1)
    workspace = Workspace()
    view = workspace.view(document, store, lambda: None)
    shown = workspace.findings(view)
    config = view.settings.lint
    at_once = [action for action in code_actions(view, shown, 0, 0, view.options, config)
               if action.kind == "source.fixAll"]
    later = [action for action in code_actions(view, shown, 0, 0, view.options, config, deferred=True)
             if action.kind == "source.fixAll"]
    assert len(at_once) == len(later) == int(fixable)
    if fixable:
        assert later[0].edit is None and later[0].data == {"uri": document.uri}
        resolved = fix_all(view, view.options, config)
        assert resolved is not None and resolved.edit == at_once[0].edit


# --- semantic tokens kept from one version to the next ---------------------------------------


@pytest.mark.parametrize("path", MODELS[:4], ids=lambda p: p.parent.name)
def test_semantic_tokens_kept_for_unchanged_formulas_are_those_found_afresh(path):
    """A file of a real model coloured, then a line inserted above a formula
    and a formula changed: the tokens (most of them kept from the first
    version) are those of the changed file coloured with nothing kept."""
    from quarrow_dax.lsp import outline
    from quarrow_dax.lsp.documents import DocumentStore, uri_of_path
    from quarrow_dax.lsp.workspace import Workspace

    model = read_model(path)
    target = next((f for f in model if f.kind == "measure" and f.text in read_text(f.file)
                   and "\n" not in f.text), None)
    if target is None:
        pytest.skip("no one-line measure written as it is in this model")
    text = read_text(target.file)
    at = text.index(target.text)
    changed = text[:at] + target.text + " + 1" + text[at + len(target.text):]
    line_start = text.rfind("\n", 0, at) + 1
    changed = changed[:line_start] + "\n" + changed[line_start:]  # every line below moves down one
    store = DocumentStore()
    workspace = Workspace()
    uri = uri_of_path(target.file)
    outline.semantic_tokens(workspace.view(store.open(uri, text, 1), store, lambda: None))
    view = workspace.view(store.change(uri, [Change(changed)], 2), store, lambda: None)
    kept = outline.semantic_tokens(view)
    decoded = []
    line = start = 0
    for index in range(0, len(kept), 5):
        delta_line, delta_start, *rest = kept[index:index + 5]
        line, start = line + delta_line, (start + delta_start if delta_line == 0 else delta_start)
        decoded.append((line, start, *rest))
    fresh = sorted(token for piece in view.pieces for token in outline._coloured(view.document, piece, 0))
    assert decoded == fresh and len(fresh) > 0


# --- the worker's order ---------------------------------------------------------------------


def test_the_worker_takes_the_most_urgent_work_first():
    """Work submitted while the worker is busy runs by urgency, in arrival
    order within one; a fault reaches the future; shutting down cancels
    what has not begun and refuses what comes after."""
    import threading

    from quarrow_dax.lsp.worker import ASKED, BACKGROUND, PROBLEMS, Worker

    worker = Worker()
    release = threading.Event()
    busy = worker.submit(BACKGROUND, lambda: release.wait(30))
    ran: list[str] = []
    submitted = [(BACKGROUND, "colours"), (PROBLEMS, "problems 1"), (ASKED, "hover"), (BACKGROUND, "outline"),
                 (PROBLEMS, "problems 2"), (ASKED, "completion")]
    futures = [worker.submit(urgency, lambda name=name: ran.append(name) or name) for urgency, name in submitted]

    def fault() -> None:
        raise ValueError("a planted fault")

    failing = worker.submit(ASKED, fault)
    release.set()
    assert busy.result(30) is True
    assert [future.result(30) for future in futures] == [name for _, name in submitted]
    assert ran == ["hover", "completion", "problems 1", "problems 2", "colours", "outline"]
    with pytest.raises(ValueError, match="a planted fault"):
        failing.result(30)
    # Shutting down while busy: the work under way ends, the rest is cancelled.
    release.clear()
    busy = worker.submit(ASKED, lambda: release.wait(30))
    waiting = worker.submit(ASKED, lambda: ran.append("never"))
    started = threading.Event()
    for _ in range(30_000):  # at most 30 s
        if busy.running():
            started.set()
            break
        release.wait(0.001)
    assert started.is_set()
    worker.shutdown()
    release.set()
    assert busy.result(30) is True and waiting.cancelled()
    assert worker.submit(ASKED, lambda: ran.append("never")).cancelled()
    worker._thread.join(30)
    assert not worker._thread.is_alive() and "never" not in ran
