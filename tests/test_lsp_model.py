"""The language server over a TMDL model, end to end: a real client talks to
`quarrow-dax lsp` over standard input and output (one server for the
module), with the model's files open as an editor opens them."""

from __future__ import annotations

import pathlib

import pytest

pytest.importorskip("pytest_lsp")

import pytest_lsp  # noqa: E402
from lsprotocol import types  # noqa: E402
from pytest_lsp import LanguageClient  # noqa: E402

from quarrow_dax.functions import signature  # noqa: E402

from lsp_client import (  # noqa: E402
    end_session, diagnostics, document_id, edit, initialize, open_document, position_of, project_copy, server_config,
)

pytestmark = pytest.mark.asyncio(loop_scope="module")

SALES = pathlib.Path("Shop.SemanticModel/definition/tables/Sales.tmdl")
DATE = pathlib.Path("Shop.SemanticModel/definition/tables/Date.tmdl")
FUNCTIONS = pathlib.Path("Shop.SemanticModel/definition/functions.tmdl")
QUERY = pathlib.Path("Shop.SemanticModel/DAXQueries/Top.dax")


@pytest.fixture(scope="module")
def project(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    return project_copy(tmp_path_factory.mktemp("lsp") / "project")


@pytest_lsp.fixture(config=server_config(), scope="module")
async def client(lsp_client: LanguageClient, project: pathlib.Path):
    await initialize(lsp_client, project)
    yield
    await end_session(lsp_client)


def text_of(project: pathlib.Path, relative: pathlib.Path) -> str:
    return (project / relative).read_text(encoding="utf-8")


async def opened(client: LanguageClient, project: pathlib.Path, relative: pathlib.Path) -> tuple[str, str]:
    """The file opened in the editor (once per module), with its text."""
    path = project / relative
    uri = path.as_uri()
    if uri not in client.opened:  # type: ignore[attr-defined]
        open_document(client, path)
        client.opened.add(uri)  # type: ignore[attr-defined]
    return uri, path.read_text(encoding="utf-8")


@pytest.fixture(autouse=True)
def _opened_set(client: LanguageClient) -> None:
    if not hasattr(client, "opened"):
        client.opened = set()  # type: ignore[attr-defined]


# --- diagnostics -----------------------------------------------------------------


async def test_the_model_files_problems_are_those_of_check_and_lint(client: LanguageClient, project: pathlib.Path):
    uri, text = await opened(client, project, SALES)
    found = await diagnostics(client, uri, 1)
    by_code = {(item.code, item.range.start.line) for item in found}
    lines = text.split("\n")
    broken = next(i for i, line in enumerate(lines) if "measure Broken" in line)
    typo = next(i for i, line in enumerate(lines) if "measure Typo" in line)
    ratio = next(i for i, line in enumerate(lines) if "measure Ratio" in line)
    assert by_code == {("E002", broken), ("DAX001", typo), ("DAX101", ratio)}
    typo_item = next(item for item in found if item.code == "DAX001")
    # The range is the reference itself, in the file's columns.
    start = lines[typo].index("[Revenu]")
    assert (typo_item.range.start.character, typo_item.range.end.character) == (start, start + len("[Revenu]"))
    assert "did you mean [Revenue]?" in typo_item.message
    assert typo_item.severity == types.DiagnosticSeverity.Error and typo_item.source == "quarrow-dax"
    ratio_item = next(item for item in found if item.code == "DAX101")
    assert ratio_item.severity == types.DiagnosticSeverity.Warning


async def test_a_query_beside_the_model_reads_its_names(client: LanguageClient, project: pathlib.Path):
    uri, text = await opened(client, project, QUERY)
    assert await diagnostics(client, uri, 1) == []
    result = await client.text_document_hover_async(types.HoverParams(
        text_document=document_id(uri), position=position_of(text, "[Revenue]", shift=2)))
    assert result is not None and "measure 'Sales'[Revenue]" in result.contents.value


# --- hover -------------------------------------------------------------------------

HOVERS = [
    # (file, text to point at, shift into it, what the hover must say)
    (SALES, "SUMX", 1, ["SUMX ( <Table>, <Expression> )", signature("SUMX").description,
                        f"[Reference]({signature('SUMX').link})"]),
    (SALES, "[Revenue] - [Cost]", 2, ["**measure 'Sales'[Revenue]**", "What was sold, before discounts.",
                                      "SUMX ( Sales, Sales[Quantity] * Sales[Price] )", "format string: `#,0.00`",
                                      "display folder: `Money`"]),
    (SALES, "Sales[Price] )", 7, ["**column 'Sales'[Price]**", "data type: `decimal`", "format string: `0.00`"]),
    (SALES, "Sales, Sales[Quantity] * Sales[Price]", 1, ["**table 'Sales'**", "Every sale, one row per order line."]),
    (SALES, "WithTax (", 2, ["function WithTax", "WithTax ( <amount>, <rate> )", "Adds a tax rate to an amount."]),
    (SALES, "profit, [Revenue]", 1, ["**variable profit**", "VAR profit = [Revenue] - [Cost]"]),
    (DATE, "SAMEPERIODLASTYEAR", 3, ["SAMEPERIODLASTYEAR ( <Dates> )"]),
    (SALES, "[Revenu]", 2, ["not found in the model"]),
]


@pytest.mark.parametrize("relative, needle, shift, expected", HOVERS, ids=[h[1][:20] for h in HOVERS])
async def test_hover(client: LanguageClient, project: pathlib.Path, relative, needle, shift, expected):
    uri, text = await opened(client, project, relative)
    result = await client.text_document_hover_async(types.HoverParams(
        text_document=document_id(uri), position=position_of(text, needle, shift=shift)))
    assert result is not None
    for part in expected:
        assert part in result.contents.value, result.contents.value


async def test_hover_outside_dax_says_nothing(client: LanguageClient, project: pathlib.Path):
    uri, text = await opened(client, project, SALES)
    result = await client.text_document_hover_async(types.HoverParams(
        text_document=document_id(uri), position=position_of(text, "dataType: int64", shift=3)))
    assert result is None


# --- signature help -------------------------------------------------------------------

SIGNATURES = [
    # (text before the cursor in a formula, the signature, the active parameter's name)
    ("DIVIDE ( 1, ", "DIVIDE ( <Numerator>, <Denominator>[, <AlternateResult>] )", "<Denominator>"),
    ("DIVIDE ( ", "DIVIDE", "<Numerator>"),
    ("CALCULATE ( [Revenue], Sales[Price] > 1, ", "CALCULATE", "<Filter>"),
    ("SWITCH ( TRUE (), 1, 2, 3, ", "SWITCH", "<Result>"),
    ("SUMX ( FILTER ( Sales, ", "FILTER", "<FilterExpression>"),
    ("SUMX ( FILTER ( Sales, TRUE () ), ", "SUMX", "<Expression>"),
    ("WithTax ( 1, ", "WithTax ( <amount>, <rate> )", "<rate>"),
]


SCRATCH = pathlib.Path("Shop.SemanticModel/definition/tables/Scratch.tmdl")
_versions: dict[str, int] = {}


async def typed_in_scratch(client: LanguageClient, project: pathlib.Path, formula: str) -> tuple[str, types.Position]:
    """A file the editor made and has not saved (so the model reads it from
    the editor alone), holding one measure whose formula is `formula` as
    typed so far; and the position at its end."""
    path = project / SCRATCH
    uri = path.as_uri()
    text = f"table Scratch\n\n\tmeasure Probe = {formula}\n"
    if uri not in _versions:
        open_document(client, path, text)
        _versions[uri] = 1
    else:
        _versions[uri] += 1
        edit(client, uri, _versions[uri], (0, 0), (10_000, 0), text)
    return uri, types.Position(line=2, character=len(f"\tmeasure Probe = {formula}"))


@pytest.mark.parametrize("typed, label, active", SIGNATURES, ids=[s[0] for s in SIGNATURES])
async def test_signature_help_while_typing(client: LanguageClient, project: pathlib.Path, typed, label, active):
    uri, position = await typed_in_scratch(client, project, typed)
    result = await client.text_document_signature_help_async(types.SignatureHelpParams(
        text_document=document_id(uri), position=position))
    assert result is not None
    shown = result.signatures[result.active_signature or 0]
    assert shown.label.startswith(label)
    start, end = shown.parameters[result.active_parameter].label
    assert shown.label[start:end] == active


async def test_no_signature_help_outside_a_call(client: LanguageClient, project: pathlib.Path):
    uri, position = await typed_in_scratch(client, project, "1 + ( 2 ")
    result = await client.text_document_signature_help_async(types.SignatureHelpParams(
        text_document=document_id(uri), position=position))
    assert result is None


# --- completion -------------------------------------------------------------------------


async def _complete(client, uri, position):
    result = await client.text_document_completion_async(types.CompletionParams(
        text_document=document_id(uri), position=position))
    return result.items if isinstance(result, types.CompletionList) else result


async def test_completion_after_a_table_gives_its_columns_and_measures(client, project):
    uri, position = await typed_in_scratch(client, project, "'Date'[")
    items = await _complete(client, uri, position)
    assert {item.label for item in items} == {"Date", "Year", "Revenue LY"}
    year = next(item for item in items if item.label == "Year")
    assert year.text_edit.new_text == "Year]"
    assert year.text_edit.range.start.character == position.character


async def test_completion_after_a_bracket_gives_measures_first(client, project):
    uri, position = await typed_in_scratch(client, project, "[Rev")
    items = await _complete(client, uri, position)
    measures = {item.label for item in items if item.kind == types.CompletionItemKind.Value}
    assert {"Revenue", "Cost", "Margin", "Revenue LY", "Probe"} <= measures
    revenue = next(item for item in items if item.label == "Revenue")
    # The edit replaces what was typed after `[`.
    assert revenue.text_edit.range.start.character == position.character - len("Rev")
    assert min(items, key=lambda item: item.sort_text).kind == types.CompletionItemKind.Value


async def test_completion_after_a_quote_gives_tables(client, project):
    uri, position = await typed_in_scratch(client, project, "COUNTROWS ( 'Da")
    items = await _complete(client, uri, position)
    assert {item.label for item in items} == {"Sales", "Date", "Scratch"}
    assert next(item for item in items if item.label == "Date").text_edit.new_text == "Date'"


async def test_completion_in_a_function_offers_its_parameters(client, project):
    uri, text = await opened(client, project, FUNCTIONS)
    position = position_of(text, "rate )", shift=2)
    items = await _complete(client, uri, position)
    by_label = {item.label: item for item in items}
    assert [(by_label[name].kind, by_label[name].detail) for name in ("amount", "rate")] == [
        (types.CompletionItemKind.Variable, "parameter")] * 2
    # The edit replaces what was typed of the name.
    assert by_label["rate"].text_edit.range.start.character == position.character - 2


async def test_no_completion_inside_a_string(client, project):
    uri, position = await typed_in_scratch(client, project, 'FORMAT ( 1, "0.0')
    assert list(await _complete(client, uri, position)) == []


async def test_completion_of_words_has_functions_tables_variables_and_keywords(client, project):
    uri, position = await typed_in_scratch(client, project, "VAR first = 1 VAR second = fi")
    items = await _complete(client, uri, position)
    by_label = {item.label: item for item in items}
    assert by_label["FILTER"].kind == types.CompletionItemKind.Function
    assert by_label["FILTER"].detail.startswith("FILTER ( <Table>, <FilterExpression> )")
    assert by_label["first"].kind == types.CompletionItemKind.Variable
    assert by_label["Sales"].kind == types.CompletionItemKind.Class
    assert by_label["Date"].text_edit.new_text == "'Date'"  # DATE is a function: the table goes quoted
    assert by_label["WithTax"].detail == "WithTax ( <amount>, <rate> )"
    assert by_label["RETURN"].kind == types.CompletionItemKind.Keyword
    resolved = await client.completion_item_resolve_async(by_label["FILTER"])
    assert signature("FILTER").description in resolved.documentation.value


# --- definition and references --------------------------------------------------------


DEFINITIONS = [
    # (file, text to point at, shift into it, the file of the definition, what its range holds, which one)
    (QUERY, "[Revenue]", 3, SALES, "Revenue", 0),
    (QUERY, "'Date'[Year]", 2, DATE, "'Date'", 0),
    (QUERY, "'Date'[Year]", 8, DATE, "Year", 0),
    (SALES, "WithTax", 1, FUNCTIONS, "WithTax", 0),
    (SALES, "profit, ", 1, SALES, "profit", 0),
    (SALES, "Sales[Unit Cost]", 8, SALES, "'Unit Cost'", 0),
    (FUNCTIONS, "amount * ", 1, FUNCTIONS, "amount", 1),  # the description says "amount" first
    (FUNCTIONS, "rate )", 1, FUNCTIONS, "rate", 1),
]


@pytest.mark.parametrize("relative, needle, shift, target, expected, occurrence", DEFINITIONS,
                         ids=[f"{d[1]}+{d[2]}" for d in DEFINITIONS])
async def test_go_to_definition(client, project, relative, needle, shift, target, expected, occurrence):
    uri, text = await opened(client, project, relative)
    result = await client.text_document_definition_async(types.DefinitionParams(
        text_document=document_id(uri), position=position_of(text, needle, shift=shift)))
    assert len(result) == 1
    found = result[0]
    assert found.uri == (project / target).as_uri()
    target_text = text_of(project, target)
    assert found.range.start == position_of(target_text, expected, occurrence)
    line = target_text.split("\n")[found.range.start.line]
    assert line[found.range.start.character:found.range.end.character] == expected


async def test_no_definition_for_a_built_in_function(client, project):
    uri, text = await opened(client, project, SALES)
    result = await client.text_document_definition_async(types.DefinitionParams(
        text_document=document_id(uri), position=position_of(text, "SUMX", shift=1)))
    assert not result


async def test_find_references_across_the_model_and_its_report(client, project):
    uri, text = await opened(client, project, SALES)
    result = await client.text_document_references_async(types.ReferenceParams(
        text_document=document_id(uri), position=position_of(text, "measure Revenue", shift=9),
        context=types.ReferenceContext(include_declaration=True)))
    places = sorted((pathlib.Path(types_uri(item.uri)).name, item.range.start.line) for item in result)
    files = [name for name, _ in places]
    assert files.count("Sales.tmdl") == 5  # the declaration, Margin twice, Taxed, Ratio
    assert files.count("Date.tmdl") == 1
    assert files.count("Top.dax") == 1  # the open query of the model
    assert files.count("visual.json") == 1  # the report's card
    visual = next(item for item in result if item.uri.endswith("visual.json"))
    lines = (project / "Shop.Report/definition/pages/overview/visuals/card/visual.json").read_text().split("\n")
    line = lines[visual.range.start.line]
    assert line[visual.range.start.character:visual.range.end.character] == "Revenue"


def types_uri(uri: str) -> str:
    from quarrow_dax.lsp.documents import path_of_uri

    return path_of_uri(uri) or uri


# --- outline and colours ---------------------------------------------------------------


async def test_the_outline_of_a_tmdl_file(client, project):
    uri, _ = await opened(client, project, SALES)
    result = await client.text_document_document_symbol_async(types.DocumentSymbolParams(text_document=document_id(uri)))
    assert [symbol.name for symbol in result] == ["Sales"]
    children = [(child.name, child.kind) for child in result[0].children]
    assert ("Revenue", types.SymbolKind.Method) in children and ("Price", types.SymbolKind.Field) in children
    assert ("Sales", types.SymbolKind.Module) in children  # the partition
    margin = next(child for child in result[0].children if child.name == "Margin")
    # The measure's range covers its formula's lines.
    assert margin.range.end.line - margin.range.start.line == 3


async def test_semantic_tokens_colour_the_formulas_only(client, project):
    uri, text = await opened(client, project, FUNCTIONS)
    result = await client.text_document_semantic_tokens_full_async(
        types.SemanticTokensParams(text_document=document_id(uri)))
    data = result.data
    assert len(data) % 5 == 0
    line = character = 0
    seen = []
    lines = text.split("\n")
    for index in range(0, len(data), 5):
        line += data[index]
        character = data[index + 1] if data[index] else character + data[index + 1]
        seen.append((lines[line][character:character + data[index + 2]], data[index + 3]))
    from quarrow_dax.lsp.outline import TOKEN_TYPES

    assert ("amount", TOKEN_TYPES.index("variable")) in seen
    assert ("*", TOKEN_TYPES.index("operator")) in seen
    assert all(word != "function" for word, _ in seen)  # the TMDL keyword is no DAX
