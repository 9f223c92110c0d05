"""The language server over `.dax` files, a `.bim` model and files edited
in small steps, end to end over standard input and output (one server
for the module): problems that follow the typing, formatting, fixes,
renaming, the outline, configuration, and text no editor should be able
to crash it with."""

from __future__ import annotations

import pathlib

import pytest

pytest.importorskip("pytest_lsp")

import pytest_lsp  # noqa: E402
from lsprotocol import types  # noqa: E402
from pytest_lsp import LanguageClient  # noqa: E402

from lsp_client import (  # noqa: E402
    end_session, close_document, diagnostics, document_id, edit, initialize, open_document, position_of, project_copy,
    server_config,
)

pytestmark = pytest.mark.asyncio(loop_scope="module")

FILES = pathlib.Path("files")


@pytest.fixture(scope="module")
def project(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    return project_copy(tmp_path_factory.mktemp("lsp-files") / "project")


@pytest_lsp.fixture(config=server_config(), scope="module")
async def client(lsp_client: LanguageClient, project: pathlib.Path):
    await initialize(lsp_client, project)
    yield
    await end_session(lsp_client)


def apply(text: str, edits: list[types.TextEdit]) -> str:
    """The text with the server's edits made, as an editor makes them."""
    from quarrow_dax.lsp.documents import Document

    document = Document("file:///x", None, 0, text)
    spans = sorted(((document.offset(e.range.start.line, e.range.start.character),
                     document.offset(e.range.end.line, e.range.end.character), e.new_text) for e in edits),
                   reverse=True)
    for start, end, new in spans:
        text = text[:start] + new + text[end:]
    return text


# --- problems --------------------------------------------------------------------


async def test_a_file_with_errors_gets_the_error_and_its_hint(client, project):
    uri = open_document(client, project / FILES / "errors.dax")
    found = await diagnostics(client, uri, 1)
    assert [(item.code, item.range.start.line, item.range.start.character, item.range.end.character)
            for item in found] == [("E002", 0, 6, 11)]
    assert found[0].message.startswith("parse error: expected end of input\nhint: the text begins with a definition")


async def test_problems_follow_a_file_typed_character_by_character(client, project):
    """A measure typed one character at a time: every version gets its own
    problems, and the text reads as typed at each step (the edits were
    applied where the editor said)."""
    path = project / FILES / "typed.dax"
    uri = open_document(client, path, "")
    assert await diagnostics(client, uri, 1) == []
    target = "DIVIDE ( SUM ( Sales[Amount] ), 2 )"
    version = 1
    expectations = {
        "DIVIDE ( ": "E002",  # expected an expression
        "DIVIDE ( SUM ( Sales[Amount] ), 2 )": None,
    }
    for count in range(1, len(target) + 1):
        version += 1
        edit(client, uri, version, (0, count - 1), (0, count - 1), target[count - 1])
        typed = target[:count]
        if typed in expectations:
            codes = [item.code for item in await diagnostics(client, uri, version)]
            assert codes == ([] if expectations[typed] is None else [expectations[typed]]), typed
    # A line break in the middle and an edit across it, in small steps too.
    version += 1
    edit(client, uri, version, (0, 6), (0, 7), "\n    ")
    version += 1
    edit(client, uri, version, (1, 4), (1, 4), "(")
    found = await diagnostics(client, uri, version)
    assert [item.code for item in found] == ["E002"]
    assert found[0].range.start.line in (1, 2)
    version += 1
    edit(client, uri, version, (1, 4), (1, 5), "")
    assert await diagnostics(client, uri, version) == []
    close_document(client, uri)


async def test_a_bim_formula_is_placed_exactly_past_its_escapes(client, project):
    path = project / "bim" / "model.bim"
    uri = open_document(client, path)
    text = path.read_text(encoding="utf-8")
    found = await diagnostics(client, uri, 1)
    places = sorted((item.code, item.range.start.line, item.range.start.character, item.range.end.character)
                    for item in found)
    missing = position_of(text, "[Missing]")
    totl = position_of(text, "[Totl]")
    divide = position_of(text, "x / [Totl]", shift=2)
    assert places == sorted([("DAX001", missing.line, missing.character, missing.character + len("[Missing]")),
                             ("DAX001", totl.line, totl.character, totl.character + len("[Totl]")),
                             ("DAX101", divide.line, divide.character, divide.character + 1)])
    result = await client.text_document_hover_async(types.HoverParams(
        text_document=document_id(uri), position=position_of(text, "[Total], \\\"0", shift=2)))
    assert "Everything sold." in result.contents.value and "SUM ( Sales[Amount] )" in result.contents.value
    result = await client.text_document_hover_async(types.HoverParams(
        text_document=document_id(uri), position=position_of(text, "Sales[Amount]", shift=7)))
    assert "data type: `double`" in result.contents.value and "format string: `0.00`" in result.contents.value


async def test_the_configuration_is_read_as_lint_reads_it(client, project):
    path = project / FILES / "configured" / "measure.dax"
    path.parent.mkdir()
    (path.parent / "quarrow-dax.toml").write_text('[lint]\nignore = ["DAX101"]\nseverity = { DAX002 = "error" }\n')
    uri = open_document(client, path, (project / FILES / "measure.dax").read_text())
    found = await diagnostics(client, uri, 1)
    assert [(item.code, item.severity) for item in found] == [("DAX002", types.DiagnosticSeverity.Error)]
    # The same in a pyproject.toml, its own table.
    in_pyproject = project / FILES / "pyproject" / "measure.dax"
    in_pyproject.parent.mkdir()
    (in_pyproject.parent / "pyproject.toml").write_text(
        '[project]\nname = "x"\n[tool.quarrow-dax.lint]\nignore = ["DAX002"]\n')
    uri = open_document(client, in_pyproject, (project / FILES / "measure.dax").read_text())
    assert [item.code for item in await diagnostics(client, uri, 1)] == ["DAX101"]
    broken = project / FILES / "broken-config" / "measure.dax"
    broken.parent.mkdir()
    (broken.parent / "quarrow-dax.toml").write_text("[lint]\nselect = [\"NOPE\"]\n")
    uri = open_document(client, broken, "1 + ")
    found = await diagnostics(client, uri, 1)
    # The configuration's problem, and check's error: no lint without a usable configuration.
    assert sorted(item.code for item in found) == ["E002", "E005"]
    # The reading and formatting settings too: `;` lists, and a narrow width.
    semicolons = project / FILES / "semicolons" / "measure.dax"
    semicolons.parent.mkdir()
    (semicolons.parent / "quarrow-dax.toml").write_text('separators = "semicolon"\n[format]\nwidth = 30\n')
    text = "DIVIDE ( SUM ( Sales[Amount] ); COUNTROWS ( Sales ); 0,5 )\n"
    uri = open_document(client, semicolons, text)
    assert await diagnostics(client, uri, 1) == []
    edits = await client.text_document_formatting_async(types.DocumentFormattingParams(
        text_document=document_id(uri), options=types.FormattingOptions(tab_size=4, insert_spaces=True)))
    import quarrow_dax

    assert apply(text, edits) == quarrow_dax.format(text, width=30, separators="semicolon") + "\n"


HOSTILE = [
    "", "\x00\x01", "'", "[", '"', "/*", "VAR", "(((((((((((((", ")))))", "😀😀😀 [😀] '😀'", "\r\r\r", "\ufeffEVALUATE",
    "EVALUATE " + "(" * 300 + "1" + ")" * 300, "DEFINE FUNCTION f = (x) =>", "a\u2028b\u2029c", "\t" * 50,
]


async def test_no_text_stops_the_server(client, project):
    path = project / FILES / "hostile.dax"
    uri = open_document(client, path, "")
    version = 1
    for text in HOSTILE:
        version += 1
        edit(client, uri, version, (0, 0), (10_000, 0), text)
        await diagnostics(client, uri, version)
        for line, character in ((0, 0), (0, 1), (0, 3), (5, 5)):
            position = types.Position(line=line, character=character)
            await client.text_document_hover_async(types.HoverParams(text_document=document_id(uri), position=position))
            await client.text_document_completion_async(types.CompletionParams(
                text_document=document_id(uri), position=position))
            await client.text_document_signature_help_async(types.SignatureHelpParams(
                text_document=document_id(uri), position=position))
        await client.text_document_document_symbol_async(types.DocumentSymbolParams(text_document=document_id(uri)))
        await client.text_document_semantic_tokens_full_async(types.SemanticTokensParams(
            text_document=document_id(uri)))
        await client.text_document_formatting_async(types.DocumentFormattingParams(
            text_document=document_id(uri), options=types.FormattingOptions(tab_size=4, insert_spaces=True)))
    # Still answering, and right.
    edit(client, uri, version + 1, (0, 0), (10_000, 0), "SUM ( 1 ) +")
    assert [item.code for item in await diagnostics(client, uri, version + 1)] == ["E002"]
    close_document(client, uri)


# --- formatting --------------------------------------------------------------------------


async def test_formatting_a_dax_file(client, project):
    path = project / FILES / "format.dax"
    text = "evaluate filter(values(Sales[Product]),[Total]>10)\n"
    uri = open_document(client, path, text)
    edits = await client.text_document_formatting_async(types.DocumentFormattingParams(
        text_document=document_id(uri), options=types.FormattingOptions(tab_size=4, insert_spaces=True)))
    import quarrow_dax

    assert apply(text, edits) == quarrow_dax.format(text, kind="query") + "\n"
    close_document(client, uri)


async def test_range_formatting_formats_only_the_formulas_it_touches(client, project):
    path = project / FILES / "Scratch.tmdl"
    text = ("table Scratch\n\n\tmeasure One = sum(Scratch[x])\n\n\tmeasure Two = sum(Scratch[y])\n\n"
            "\tmeasure Three = sum(Scratch[\n\n\tcolumn x\n\t\tdataType: int64\n")
    uri = open_document(client, path, text)
    edits = await client.text_document_range_formatting_async(types.DocumentRangeFormattingParams(
        text_document=document_id(uri), range=types.Range(start=types.Position(line=4, character=0),
                                                          end=types.Position(line=4, character=3)),
        options=types.FormattingOptions(tab_size=4, insert_spaces=True)))
    assert apply(text, edits) == text.replace("sum(Scratch[y])", "SUM ( Scratch[y] )")
    edits = await client.text_document_formatting_async(types.DocumentFormattingParams(
        text_document=document_id(uri), options=types.FormattingOptions(tab_size=4, insert_spaces=True)))
    # The whole file: both formulas that parse; the one that does not stays.
    assert apply(text, edits) == text.replace("sum(Scratch[y])", "SUM ( Scratch[y] )").replace(
        "sum(Scratch[x])", "SUM ( Scratch[x] )")
    close_document(client, uri)


# --- fixes --------------------------------------------------------------------------------


async def test_quick_fixes_and_fixing_everything(client, project):
    path = project / FILES / "measure.dax"
    text = path.read_text()
    uri = open_document(client, path)
    found = await diagnostics(client, uri, 1)
    assert sorted(item.code for item in found) == ["DAX002", "DAX101"]
    unused = next(item for item in found if item.code == "DAX002")
    assert list(unused.tags) == [types.DiagnosticTag.Unnecessary]
    actions = await client.text_document_code_action_async(types.CodeActionParams(
        text_document=document_id(uri), range=types.Range(start=types.Position(line=0, character=0),
                                                          end=types.Position(line=4, character=0)),
        context=types.CodeActionContext(diagnostics=found)))
    by_code = {action.title.split("(")[-1].split(")")[0]: action for action in actions
               if action.kind == types.CodeActionKind.QuickFix}
    assert set(by_code) == {"DAX002", "DAX101"}
    assert by_code["DAX002"].is_preferred and not by_code["DAX101"].is_preferred
    removed = apply(text, by_code["DAX002"].edit.changes[uri])
    assert removed == text.replace("VAR unused = 1\n", "")
    divided = apply(text, by_code["DAX101"].edit.changes[uri])
    assert "DIVIDE ( total, COUNTROWS ( Sales ) )" in divided
    every = [action for action in actions if action.kind == types.CodeActionKind.SourceFixAll]
    assert len(every) == 1
    # Its edit is worked out only when the action is chosen.
    assert every[0].edit is None
    resolved = await client.code_action_resolve_async(every[0])
    # Only the safe fixes: the unused variable goes, the division stays.
    assert apply(text, resolved.edit.changes[uri]) == removed
    # With only an unsafe fix left, there is nothing to fix at once.
    edit(client, uri, 2, (0, 0), (10_000, 0), removed)
    assert [item.code for item in await diagnostics(client, uri, 2)] == ["DAX101"]
    actions = await client.text_document_code_action_async(types.CodeActionParams(
        text_document=document_id(uri), range=types.Range(start=types.Position(line=0, character=0),
                                                          end=types.Position(line=4, character=0)),
        context=types.CodeActionContext(diagnostics=[])))
    assert [action.kind for action in actions] == [types.CodeActionKind.QuickFix]
    close_document(client, uri)


async def test_a_quick_fix_in_a_tmdl_file_keeps_its_indentation(client, project):
    path = project / "Shop.SemanticModel/definition/tables/Sales.tmdl"
    text = path.read_text()
    uri = open_document(client, path)
    found = await diagnostics(client, uri, 1)
    ratio = next(item for item in found if item.code == "DAX101")
    actions = await client.text_document_code_action_async(types.CodeActionParams(
        text_document=document_id(uri), range=ratio.range,
        context=types.CodeActionContext(diagnostics=[ratio], only=[types.CodeActionKind.QuickFix])))
    assert len(actions) == 1
    fixed = apply(text, actions[0].edit.changes[uri])
    assert fixed == text.replace("measure Ratio = [Revenue] / [Cost]", "measure Ratio = DIVIDE ( [Revenue], [Cost] )")
    close_document(client, uri)


# --- renaming and the outline --------------------------------------------------------------


async def test_renaming_a_variable(client, project):
    path = project / FILES / "query.dax"
    text = path.read_text()
    uri = open_document(client, path)
    position = position_of(text, "threshold )", shift=2)
    prepared = await client.text_document_prepare_rename_async(types.PrepareRenameParams(
        text_document=document_id(uri), position=position))
    assert prepared.placeholder == "threshold"
    result = await client.text_document_rename_async(types.RenameParams(
        text_document=document_id(uri), position=position, new_name="limit"))
    assert apply(text, result.changes[uri]) == text.replace("threshold", "limit")
    with pytest.raises(Exception, match="not a name a variable can have"):
        await client.text_document_rename_async(types.RenameParams(
            text_document=document_id(uri), position=position, new_name="2 much"))
    with pytest.raises(Exception, match="built-in function cannot be renamed"):
        await client.text_document_prepare_rename_async(types.PrepareRenameParams(
            text_document=document_id(uri), position=position_of(text, "FILTER", shift=1)))
    close_document(client, uri)


async def test_the_outline_of_a_query_and_of_one_that_does_not_parse(client, project):
    path = project / FILES / "query.dax"
    uri = open_document(client, path)
    result = await client.text_document_document_symbol_async(types.DocumentSymbolParams(text_document=document_id(uri)))
    assert [(symbol.name, symbol.kind) for symbol in result] == [
        ("'Sales'[Total]", types.SymbolKind.Method), ("threshold", types.SymbolKind.Variable),
        ("EVALUATE #1", types.SymbolKind.Event)]
    edit(client, uri, 2, (4, 0), (4, 0), "(((")
    result = await client.text_document_document_symbol_async(types.DocumentSymbolParams(text_document=document_id(uri)))
    assert [symbol.name for symbol in result] == ["Sales[Total]", "threshold", "EVALUATE"]
    close_document(client, uri)


async def test_a_line_being_typed_in_tmdl_keeps_the_rest_of_the_file_working(client, project):
    """A line the TMDL reader cannot understand is reported where it is;
    the formulas after it still get their problems and their features."""
    path = project / "Shop.SemanticModel/definition/tables/Sales.tmdl"
    text = path.read_text().replace("\tmeasure Cost =", "  measure Half typed\n\tmeasure Cost =")
    uri = open_document(client, path, text, version=5)
    found = await diagnostics(client, uri, 5)
    fault = position_of(text, "  measure Half typed")
    broken = position_of(text, "measure Broken")
    assert ("E004", fault.line) in {(item.code, item.range.start.line) for item in found}
    assert ("E002", broken.line) in {(item.code, item.range.start.line) for item in found}
    result = await client.text_document_hover_async(types.HoverParams(
        text_document=document_id(uri), position=position_of(text, "[Revenue] / [Cost]", shift=14)))
    assert result is not None and "**measure 'Sales'[Cost]**" in result.contents.value
    close_document(client, uri)


async def test_renaming_a_measure_across_the_model_and_its_report(client, project):
    """The refactoring's edits as one WorkspaceEdit: made by the editor, the
    files read back as the model with the measure renamed everywhere."""
    from quarrow_dax.check import CheckOptions, check_model
    from quarrow_dax.lsp.documents import path_of_uri
    from quarrow_dax.project import load_project

    sales = project / "Shop.SemanticModel/definition/tables/Sales.tmdl"
    text = sales.read_text()
    uri = open_document(client, sales)
    position = position_of(text, "[Revenue] - [Cost]", shift=3)
    prepared = await client.text_document_prepare_rename_async(types.PrepareRenameParams(
        text_document=document_id(uri), position=position))
    assert prepared.placeholder == "Revenue"
    assert text.split("\n")[prepared.range.start.line][prepared.range.start.character:prepared.range.end.character] \
        == "Revenue"
    with pytest.raises(Exception, match="Cost"):  # the name another measure has
        await client.text_document_rename_async(types.RenameParams(
            text_document=document_id(uri), position=position, new_name="Cost"))
    result = await client.text_document_rename_async(types.RenameParams(
        text_document=document_id(uri), position=position, new_name="Turnover"))
    changed = {pathlib.Path(path_of_uri(file_uri)).name for file_uri in result.changes}
    assert changed == {"Sales.tmdl", "Date.tmdl", "visual.json"}
    before = [(d.code, d.message) for d in check_model(str(project / "Shop.SemanticModel"), CheckOptions())]
    for file_uri, edits in result.changes.items():
        path = pathlib.Path(path_of_uri(file_uri))
        path.write_text(apply(path.read_text(), edits))
    model = load_project(project / "Shop.pbip").model
    assert model.measure("Turnover") is not None and model.measure("Revenue") is None
    after = [(d.code, d.message) for d in check_model(str(project / "Shop.SemanticModel"), CheckOptions())]
    assert after == before  # the same problems (the broken measure, the misspelt name), nothing new
    visual = (project / "Shop.Report/definition/pages/overview/visuals/card/visual.json").read_text()
    assert '"Property": "Turnover"' in visual
    close_document(client, uri)


async def test_a_rename_waits_for_unsaved_files(client, project):
    date = project / "Shop.SemanticModel/definition/tables/Date.tmdl"
    uri = open_document(client, date, date.read_text() + "\n")
    sales = project / "Shop.SemanticModel/definition/tables/Sales.tmdl"
    text = sales.read_text()
    other = open_document(client, sales)
    with pytest.raises(Exception, match="save Date.tmdl first"):
        await client.text_document_rename_async(types.RenameParams(
            text_document=document_id(other), position=position_of(text, "measure Cost", shift=9), new_name="Costs"))
    close_document(client, uri)
    close_document(client, other)


# --- files changed on disk ------------------------------------------------------------------


async def published_after(client: LanguageClient, uri: str, seen: int) -> list[types.Diagnostic]:
    """The first diagnostics of `uri` published after the first `seen`
    notifications."""
    import asyncio

    from lsp_client import PATIENCE

    published = client.published  # type: ignore[attr-defined]
    deadline = asyncio.get_running_loop().time() + PATIENCE
    while asyncio.get_running_loop().time() < deadline:
        for params in published[seen:]:
            if params.uri == uri:
                return list(params.diagnostics)
        await asyncio.sleep(0.01)
    raise AssertionError(f"no new diagnostics for {uri}")


async def test_a_file_of_the_model_changed_on_disk_is_read_again(client, tmp_path):
    """Another file of the model, not open in the editor, changed on disk
    (by git, another tool): once the editor says so (a watched file
    changed, a file saved), the open file's problems follow it."""
    project = project_copy(tmp_path / "project")
    sales = project / "Shop.SemanticModel/definition/tables/Sales.tmdl"
    date = project / "Shop.SemanticModel/definition/tables/Date.tmdl"
    uri = open_document(client, sales)
    assert "DAX001" in {item.code for item in await diagnostics(client, uri, 1)}  # [Revenu] is nowhere
    date.write_text(date.read_text().replace("\n\tcolumn Date", "\n\tmeasure Revenu = 1\n\n\tcolumn Date"))
    seen = len(client.published)
    client.workspace_did_change_watched_files(types.DidChangeWatchedFilesParams(changes=[types.FileEvent(
        uri=date.as_uri(), type=types.FileChangeType.Changed)]))
    assert "DAX001" not in {item.code for item in await published_after(client, uri, seen)}
    date.write_text(date.read_text().replace("measure Revenu = 1", "measure Other = 1"))
    seen = len(client.published)
    client.text_document_did_save(types.DidSaveTextDocumentParams(text_document=document_id(date.as_uri())))
    assert "DAX001" in {item.code for item in await published_after(client, uri, seen)}
    close_document(client, uri)
