"""The model reader: every DAX formula of a TMSL .bim file or a TMDL folder,
with its text and its place in the file; small models written here for each
construct and each fault, then the twelve real models of the shared folder."""

import collections
import json
from pathlib import Path

import pytest

from quarrow_dax.model import Formula, ModelError, find_models, parse_formula, read_model

MODELS = Path(__file__).resolve().parents[1].parent / "shared" / "models"
T = "\t"


def write(folder, files):
    for name, text in files.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8", newline="")
    return folder


def records(path, **options):
    return [(f.kind, f.table, f.name, f.text, f.line, f.column) for f in read_model(path, **options)]


def lines(*rows):
    return "\n".join(rows) + "\n"


# --- TMDL: one case per construct, (files, [(kind, table, name, text, line, column)])

TMDL = {
    "single line, descriptions and annotations": (
        {"tables/Sales.tmdl": lines(
            "/// The sales table",
            "table Sales",
            f"{T}/// Quantity sold = a description, not DAX",
            f"{T}measure 'Sales Qty' = SUM(Sales[Qty])  ",
            f"{T}{T}formatString: #,##0",
            f"{T}{T}annotation PBI_FormatHint = {{\"isGeneralNumber\":true}}",
            f"{T}{T}changedProperty = FormatString",
            f"{T}measure #Rows = COUNTROWS(Sales)",
            f"{T}measure 'It''s' =",
            f"{T}{T}formatString: 0",
        )},
        [("measure", "Sales", "Sales Qty", "SUM(Sales[Qty])", 4, 24),
         ("measure", "Sales", "#Rows", "COUNTROWS(Sales)", 8, 18)],
    ),
    "indented and fenced bodies, calculated column and table": (
        {"tables/Sales.tmdl": lines(
            "table Sales",
            f"{T}measure Margin =",
            f"{T}{T}{T}",
            f"{T}{T}{T}VAR x = 1",
            f"{T}{T}{T}RETURN",
            f"{T}{T}{T}    x",
            "",
            f"{T}{T}{T}",
            f"{T}{T}lineageTag: abc",
            f"{T}measure Fenced = ```",
            f"{T}{T}{T}CALCULATE([Margin])",
            f"{T}{T}{T}",
            f"{T}{T}{T}```",
            f"{T}column Year = YEAR([Date])",
            f"{T}{T}dataType: int64",
            f"{T}partition Sales = calculated",
            f"{T}{T}mode: import",
            f"{T}{T}source =",
            f"{T}{T}{T}{T}{{ 1, 2 }}",
            f"{T}partition Raw = m",
            f"{T}{T}source =",
            f"{T}{T}{T}{T}let Source = 1 in Source",
            f"{T}partition Lake = entity",
            f"{T}{T}source",
            f"{T}{T}{T}entityName: fact",
        )},
        [("measure", "Sales", "Margin", "\nVAR x = 1\nRETURN\n    x", 3, 4),
         ("measure", "Sales", "Fenced", "CALCULATE([Margin])\n", 11, 4),
         ("calculated column", "Sales", "Year", "YEAR([Date])", 14, 16),
         ("calculated table", "Sales", "Sales", "{ 1, 2 }", 19, 5)],
    ),
    "calculation group, KPI, detail rows": (
        {"tables/Calc.tmdl": lines(
            "table Calc",
            f"{T}calculationGroup",
            f"{T}{T}precedence: 1",
            f"{T}{T}multipleOrEmptySelectionExpression = SELECTEDMEASURE()",
            f"{T}{T}calculationItem YTD = ```",
            f"{T}{T}{T}{T}TOTALYTD(SELECTEDMEASURE(), 'Date'[Date])",
            f"{T}{T}{T}{T}```",
            f"{T}{T}{T}formatStringDefinition =",
            f"{T}{T}{T}{T}{T}\"0.0\"",
            f"{T}{T}calculationItem Empty",
            f"{T}measure Profit = 1",
            f"{T}{T}detailRowsDefinition = SELECTCOLUMNS(Calc, \"a\", 1)",
            f"{T}{T}kpi",
            f"{T}{T}{T}targetExpression = 2",
            f"{T}{T}{T}statusExpression =",
            f"{T}{T}{T}{T}IF([Profit] > 1, 1, -1)",
            f"{T}{T}{T}statusGraphic: Traffic Light",
        )},
        [("multiple or empty selection expression", "Calc", "Calc", "SELECTEDMEASURE()", 4, 40),
         ("calculation item", "Calc", "YTD", "TOTALYTD(SELECTEDMEASURE(), 'Date'[Date])", 6, 5),
         ("format string definition", "Calc", "YTD", '"0.0"', 9, 6),
         ("measure", "Calc", "Profit", "1", 11, 19),
         ("detail rows definition", "Calc", "Profit", 'SELECTCOLUMNS(Calc, "a", 1)', 12, 26),
         ("KPI target", "Calc", "Profit", "2", 14, 23),
         ("KPI status", "Calc", "Profit", "IF([Profit] > 1, 1, -1)", 16, 5)],
    ),
    "roles, functions, skipped M and metadata": (
        {"roles/Reader.tmdl": lines(
            "role Reader",
            f"{T}modelPermission: read",
            f"{T}tablePermission Store = 'Store'[Code] IN {{\"1\"}}",
            f"{T}annotation PBI_Id = 3c40",
         ),
         "functions.tmdl": lines(
            "/// Adds one",
            "/// @param x = the number",
            "function 'Lib.AddOne' =",
            f"{T}{T}(x : INT64) =>",
            f"{T}{T}    x + 1",
            f"{T}lineageTag: f1",
         ),
         "expressions.tmdl": lines(
            "expression Server = \"srv\" meta [IsParameterQuery=true]",
            "expression Query =",
            f"{T}{T}let",
            f"{T}{T}    a = 1",
            f"{T}{T}in a",
            f"{T}lineageTag: e1",
         ),
         "model.tmdl": lines("model Model", f"{T}culture: en-US", "ref table Sales", "ref role Reader"),
         "cultures/en-US.tmdl": lines(
            "cultureInfo en-US",
            f"{T}linguisticMetadata =",
            f"{T}{T}{T}{{",
            f"{T}{T}{T}  \"Version\": \"1.0.0\"",
            f"{T}{T}{T}}}",
            f"{T}{T}contentType: json",
         )},
        [("function", None, "Lib.AddOne", "(x : INT64) =>\n    x + 1", 4, 3),
         ("row-level security filter", "Store", "Reader", "'Store'[Code] IN {\"1\"}", 3, 26)],
    ),
}


@pytest.mark.parametrize("files, expected", TMDL.values(), ids=TMDL.keys())
def test_tmdl_constructs(tmp_path, files, expected):
    write(tmp_path / "definition", {"database.tmdl": "database\n", **files})
    assert sorted(records(tmp_path)) == sorted(expected)


@pytest.mark.parametrize("files, expected", TMDL.values(), ids=TMDL.keys())
def test_tmdl_with_crlf_and_bom_reads_the_same(tmp_path, files, expected):
    crlf = {name: "\ufeff" + text.replace("\n", "\r\n") for name, text in files.items()}
    write(tmp_path / "definition", {"model.tmdl": "model Model\r\n", **crlf})
    assert sorted(records(tmp_path / "definition")) == sorted(expected)


# --- .bim: one model holding every construct ----------------------------------

BIM = {"name": "db", "model": {
    "tables": [
        {"name": "Sales",
         "measures": [
             {"name": "Total", "expression": ["SUM(", "  Sales[Qty])"], "detailRowsDefinition": {}, "kpi": {}},
             {"name": "Blank", "expression": ""}, {"name": "NoLines", "expression": []},
             {"name": "Δ \"Q\"", "expression": "1\r\n+2", "formatStringDefinition": {"expression": "\"0\""},
              "kpi": {"targetExpression": "1.1", "statusExpression": ["IF(1,", "1)"], "trendExpression": "0",
                      "annotations": [{"name": "a", "value": ["not", "dax"]}]}}],
         "columns": [{"name": "Qty", "dataType": "int64", "sourceColumn": "Qty"},
                     {"name": "Double", "type": "calculated", "expression": "[Qty] * 2"},
                     {"name": "Copy", "type": "calculatedTableColumn", "sourceColumn": "[Qty]"}],
         "partitions": [{"name": "p1", "source": {"type": "m", "expression": ["let", "x = 1", "in x"]}},
                        {"name": "p2", "source": {"type": "query", "query": "SELECT 1"}},
                        {"name": "p3", "source": {"type": "calculated", "expression": "{ 1 }"}}]},
        {"name": "Calc",
         "calculationGroup": {
             "multipleOrEmptySelectionExpression": {"expression": "BLANK()"},
             "noSelectionExpression": {"expression": "SELECTEDMEASURE()"},
             "calculationItems": [{"name": "Cur", "expression": "SELECTEDMEASURE()",
                                   "formatStringDefinition": {"expression": "\"#\""}},
                                  {"name": "None"}]},
         "partitions": [{"name": "Calc", "source": {"type": "calculationGroup"}}]}],
    "roles": [{"name": "R", "tablePermissions": [{"name": "Sales", "filterExpression": "TRUE()"}, {"name": "Calc"}]},
              {"name": "Empty"}],
    "expressions": [{"name": "Shared", "kind": "m", "expression": "1"}, {"name": "NoText"}],
    "functions": [{"name": "Twice", "expression": "(x) => x * 2"}],
    "cultures": [{"name": "en-US", "linguisticMetadata": {"content": {"Version": "1.0.0"}}}],
}}

BIM_EXPECTED = [
    ("measure", "Sales", "Total", "SUM(\n  Sales[Qty])"),
    ("measure", "Sales", "Δ \"Q\"", "1\r\n+2"),
    ("format string definition", "Sales", "Δ \"Q\"", '"0"'),
    ("KPI target", "Sales", "Δ \"Q\"", "1.1"),
    ("KPI status", "Sales", "Δ \"Q\"", "IF(1,\n1)"),
    ("KPI trend", "Sales", "Δ \"Q\"", "0"),
    ("calculated column", "Sales", "Double", "[Qty] * 2"),
    ("calculated table", "Sales", "Sales", "{ 1 }"),
    ("calculation item", "Calc", "Cur", "SELECTEDMEASURE()"),
    ("format string definition", "Calc", "Cur", '"#"'),
    ("multiple or empty selection expression", "Calc", "Calc", "BLANK()"),
    ("no selection expression", "Calc", "Calc", "SELECTEDMEASURE()"),
    ("row-level security filter", "Sales", "R", "TRUE()"),
    ("function", None, "Twice", "(x) => x * 2"),
]


@pytest.mark.parametrize("indent", [None, 2])
def test_bim_constructs(tmp_path, indent):
    path = tmp_path / "model.bim"
    path.write_text(json.dumps(BIM, ensure_ascii=False, indent=indent), encoding="utf-8")
    formulas = list(read_model(path))
    assert sorted(record[:4] for record in records(path)) == sorted(BIM_EXPECTED)
    # Each formula starts just inside a JSON string whose text begins it.
    file_lines = path.read_text(encoding="utf-8").split("\n")
    for formula in formulas:
        line = file_lines[formula.line - 1]
        assert line[formula.column - 2] == '"'
        first, _ = json.JSONDecoder().raw_decode(line, formula.column - 2)
        assert formula.text.startswith(first) and first


def test_bim_lines_of_arrays_and_escapes_map_to_the_file(tmp_path):
    path = tmp_path / "model.bim"
    path.write_text(json.dumps(BIM, indent=2, ensure_ascii=False), encoding="utf-8")
    formulas = {f.name + f.kind: f for f in read_model(tmp_path)}
    total, status, plus = formulas["Totalmeasure"], formulas['Δ "Q"KPI status'], formulas['Δ "Q"measure']
    file_lines = path.read_text(encoding="utf-8").split("\n")
    # Each array element is on its own line; each formula line starts after its quote.
    for formula in (total, status):
        for text_line, (line, column) in zip(formula.text.split("\n"), formula.line_map):
            assert file_lines[line - 1][column - 1 :].startswith(text_line)
    # "1\r\n+2": the second line begins after the escaped \r\n, on the same file line.
    (line1, column1), (line2, column2) = plus.line_map
    assert line1 == line2 and column2 == column1 + len("1\\r\\n")
    assert plus.exact == (1, 2)  # the escaped \r stops the first line's one-to-one stretch
    assert plus.locate(1, 5) == (line1, column1 + 1) and plus.locate(2, 2) == (line2, column2 + 1)


# --- faults -------------------------------------------------------------------

FAULTS = [
    # file, text, the error's file, line, column, and a part of its message
    ("model.bim", '{"model": {"tables": [}}', "model.bim", 1, 23, "invalid JSON"),
    ("model.bim", '{\n "name": "x",\n "model": {"tables": [{"name": "t"}]', "model.bim", 3, 37, "invalid JSON"),
    ("model.bim", '{"name": "db", "compatibilityLevel": 1600}', "model.bim", 1, 1, 'no "model" object'),
    ("model.bim", '{"model": {"tables": [{"name": "t", "measures": [{"name": "m", "expression": 1}]}]}}',
     "model.bim", 1, 50, "not a string or an array of strings"),
    ("model.bim", '{"model": {"tables": [{"name": "t", "partitions": [{"source": {"type": "odd"}}]}]}}',
     "model.bim", 1, 63, "unknown source type 'odd'"),
    # a source type that is no string (it used to escape as a TypeError)
    ("model.bim", '{"model":{"tables":[{"name":"T","partitions":[{"name":"p","source":{"type":[]}}]}]}}',
     "model.bim", 1, 76, "\"type\" is not a string"),
    ("model.bim", '{"model":{"tables":[{"name":"T","partitions":[{"name":"p","source":{"type":{}}}]}]}}',
     "model.bim", 1, 76, "\"type\" is not a string"),
    ("definition/tables/t.tmdl", lines("table t", f"{T}measure Total Sales = 1"), "t.tmdl", 2, 2, "cannot understand"),
    ("definition/tables/t.tmdl", lines("table t", f"{T}measure 'Open = 1"), "t.tmdl", 2, 2, "cannot understand"),
    ("definition/tables/t.tmdl", lines("table t", f"{T}{T}{T}measure x = 1"), "t.tmdl", 2, 4, "unexpected indentation"),
    ("definition/tables/t.tmdl", lines("table t", f"{T}measure x = 1", f"{T}{T}{T}+ 2"), "t.tmdl", 3, 4,
     "unexpected indentation: 3 tabs where at most 2 can stand; the formula of measure x starts on its `=` line"),
    ("definition/tables/t.tmdl", lines("table t", f"{T}measure x = ```", f"{T}{T}{T}1"), "t.tmdl", 2, 2,
     "never closed"),
    ("definition/tables/t.tmdl", lines("table t", f"{T}partition t = odd"), "t.tmdl", 2, 2, "unknown source type"),
    ("definition/tables/t.tmdl", lines("measure x = 1"), "t.tmdl", 1, 1, "outside a table"),
    # what the format expects, in words a model's author understands
    ("definition/tables/t.tmdl", lines("table t", f"{T}  column x"), "t.tmdl", 2, 2,
     "the line is indented with spaces after 1 tabs: TMDL indents with tabs only"),
    ("definition/tables/t.tmdl", lines("table t", f"{T}measure m =", f"{T}{T}SUM(t[a])"), "t.tmdl", 3, 3,
     "'SUM(t[a])' reads as the formula of measure m but is indented like its properties (2 tabs): indent the lines"
     " of a formula 3 tabs"),
    ("definition/tables/t.tmdl", b"table t\n\xff\n", "t.tmdl", 2, 1, "not valid UTF-8"),
]


@pytest.mark.parametrize("name, text, file, line, column, message", FAULTS)
def test_faults_name_file_line_and_column(tmp_path, name, text, file, line, column, message):
    path = tmp_path / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))
    if name.startswith("definition"):
        write(tmp_path / "definition", {"model.tmdl": "model Model\n"})
    with pytest.raises(ModelError) as info:
        list(read_model(tmp_path))
    error = info.value
    assert (Path(error.file).name, error.line, error.column) == (file, line, column) and message in error.message
    assert str(error) == f"{error.file}:{line}:{column}: {error.message}"


def test_errors_list_collects_and_goes_on(tmp_path):
    write(tmp_path / "definition", {
        "model.tmdl": "model Model\n",
        "tables/a.tmdl": lines("table a", f"{T}measure m = 1 +", f"{T}{T}{T}2"),
        "tables/b.tmdl": lines("table b", f"{T}measure n = 2"),
    })
    errors = []
    assert [(f.table, f.text) for f in read_model(tmp_path, errors)] == [("a", "1 +"), ("b", "2")]
    assert [(Path(e.file).name, e.line) for e in errors] == [("a.tmdl", 3)]
    missing = []
    assert list(read_model(tmp_path / "nothing", missing)) == [] and "no such" in missing[0].message


def test_find_models(tmp_path):
    write(tmp_path, {
        "a/model.bim": "{}", "a/Sales.SemanticModel/definition/model.tmdl": "model M\n",
        "b/definition/tables/t.tmdl": "table t\n", "b/definition/tables/x.bim": "{}",
        "c/db/database.tmdl": "database\n", ".git/model.bim": "{}", "d/notes.txt": "",
    })
    assert [p.relative_to(tmp_path).as_posix() for p in find_models(tmp_path)] == [
        "a/model.bim", "a/Sales.SemanticModel/definition", "b/definition", "c/db"]
    assert list(find_models(tmp_path / "a/model.bim")) == [tmp_path / "a/model.bim"]


# --- mapping back and parsing -------------------------------------------------

FORMULA = Formula("m.tmdl", "T", "f", "function", "(a) =>\n\tΔa +", 3, 4, ((3, 4), (4, 3)), (6, 5))

LOCATIONS = [  # (method, arguments, file place)
    ("locate", (1, 1), (3, 4)), ("locate", (1, 7), (3, 10)), ("locate", (2, 3), (4, 5)),
    ("locate", (2, 99), (4, 8)), ("locate", (9, 1), (4, 3)),
    # byte offsets of the UTF-8 text: Δ takes two
    ("locate_offset", (0,), (3, 4)), ("locate_offset", (7,), (4, 3)), ("locate_offset", (8,), (4, 4)),
    ("locate_offset", (10,), (4, 5)), ("locate_offset", (99,), (4, 8)),
]


@pytest.mark.parametrize("method, arguments, expected", LOCATIONS)
def test_locate(method, arguments, expected):
    assert getattr(FORMULA, method)(*arguments) == expected


PARSE = [
    ("measure", "1 +", "parse error: unexpected end of input at 3..3"),
    ("function", "(a : INT64 = 2) => a", "parse error: expected `)` at 11..12"),
    ("function", "(a) => /* open", "lex error: unterminated block comment at 7..14"),
    ("function", "(Δ) => Δ + * 2", "parse error: expected expression at 13..14"),
    # a dangling operator is reported at the function's own end, not in the
    # statement the parser needs after the definition
    ("function", "(a) => a +", "parse error: unexpected end of input at 10..10"),
]


@pytest.mark.parametrize("kind, text, message", PARSE)
def test_parse_formula_errors_are_offsets_into_the_formula(kind, text, message):
    with pytest.raises(ValueError) as info:
        parse_formula(Formula("m", None, "f", kind, text, 1, 1, ((1, 1),), (len(text),)))
    assert str(info.value) == message


def test_parse_formula_of_a_function_is_its_definition():
    formula = Formula("m", None, "Lib.Two", "function", "(x : INT64) => x", 1, 1, ((1, 1),), (16,))
    assert json.loads(parse_formula(formula)) == {"Function": {
        "doc": None, "name": "Lib.Two", "params": [{"name": "x", "type_hints": ["INT64"]}],
        "body": {"Identifier": "x"}}}


# --- the real models ------------------------------------------------------------

real = pytest.mark.skipif(not MODELS.is_dir(), reason=f"shared models folder not found: {MODELS}")

# Per model: the README's count of DAX expressions and its break-down by kind.
M, CC, CT, CI, FS, RLS, FN = ("measure", "calculated column", "calculated table", "calculation item",
                              "format string definition", "row-level security filter", "function")
KPI = {"KPI target": 1, "KPI status": 1, "KPI trend": 1}
EXPECTED = {
    "bim/daxtemplate-standard": (147, {M: 141, CT: 6}),
    "bim/daxtemplate-calcgroup": (13, {M: 4, CT: 2, CI: 3, FS: 2, "multiple or empty selection expression": 1,
                                       "no selection expression": 1}),
    "bim/daxtemplate-functions": (8, {M: 4, CT: 2, FN: 2}),
    "bim/as-adventureworks": (36, {M: 21, CC: 10, "KPI target": 2, "KPI status": 2, RLS: 1}),
    "bim/as-sales-pbip": (47, {M: 29, CC: 1, CT: 3, **KPI, CI: 5, FS: 4, RLS: 2}),
    "bim/te-adventureworks": (76, {M: 57, CC: 7, "KPI target": 6, "KPI status": 6}),
    "bim/te-allproperties": (4, {M: 1, CC: 1, CT: 1, RLS: 1}),
    "tmdl/ms-sales": (55, {M: 29, CC: 1, CT: 3, **KPI, CI: 12, FS: 5, RLS: 2}),
    "tmdl/daxlib-svg": (117, {FN: 68, M: 30, CT: 18, CC: 1}),
    "tmdl/fuam-core": (273, {M: 270, CT: 3}),
    "tmdl/gateway-monitoring": (50, {M: 21, CC: 24, CT: 5}),
    "tmdl/fca-core": (68, {M: 46, FS: 22}),
}


@real
def test_finds_all_twelve_models():
    found = {p.relative_to(MODELS).as_posix() for p in find_models(MODELS)}
    assert found == {m + ("/model.bim" if m.startswith("bim") else "/definition") for m in EXPECTED}


@real
@pytest.mark.parametrize("model", EXPECTED)
def test_real_model_counts_and_positions(model):
    count, kinds = EXPECTED[model]
    formulas = list(read_model(MODELS / model))
    assert len(formulas) == count
    assert collections.Counter(f.kind for f in formulas) == kinds
    # Every line of every formula stands in the file where line_map says.
    for formula in formulas:
        file_lines = Path(formula.file).read_text(encoding="utf-8").split("\n")
        for text_line, (line, column), exact in zip(formula.text.split("\n"), formula.line_map, formula.exact):
            assert file_lines[line - 1][column - 1 : column - 1 + exact] == text_line[:exact], formula.name


@real
def test_real_models_parse_except_two_functions_with_default_values():
    failures = []
    for path in find_models(MODELS):
        for formula in read_model(path):
            try:
                parse_formula(formula)
            except ValueError as error:
                failures.append((path.parent.name, formula.name, str(error)))
    assert failures == [
        ("daxtemplate-functions", "PercentOfTotal", "parse error: expected `)` at 69..70"),
        ("daxtemplate-functions", "SafeDivide", "parse error: expected `)` at 57..58"),
    ]


@real
def test_tmdl_and_bim_forms_of_the_same_model_agree():
    bim = {(f.kind, f.table, f.name): f.text for f in read_model(MODELS / "bim/as-sales-pbip")}
    tmdl = {(f.kind, f.table, f.name): f.text for f in read_model(MODELS / "tmdl/ms-sales")}
    assert {key: text.replace("\r\n", "\n") for key, text in bim.items()} == {key: tmdl[key] for key in bim}
    assert collections.Counter(kind for kind, _, _ in set(tmdl) - set(bim)) == {CI: 7, FS: 1}


# --- lineage tags and properties ---------------------------------------------------

SHOP = Path(__file__).parent / "data" / "diff"


@pytest.mark.parametrize("side", ["old", "new"])
def test_lineage_tags_and_properties_read_alike_from_tmdl_and_bim(side):
    """The two forms of one model (tests/data/diff, written alike) give every
    object the same tag and properties, flags written bare in TMDL and as
    booleans in TMSL, values quoted or not."""
    from quarrow_dax.model import load_model

    def facts(path):
        return {(obj.kind, obj.dax): (obj.lineage_tag, obj.properties) for obj in load_model(path).objects()}

    tmdl, bim = facts(SHOP / side / "Shop.SemanticModel"), facts(SHOP / "bim" / side)
    assert tmdl == bim
    assert tmdl[("column", "'Date'[Date]")] == ("0b1e0000-0000-4000-8000-000000000301", {
        "dataType": "dateTime", "isKey": "true", "sourceColumn": "Date"})
    assert tmdl[("table", "'Time Calc'")][1] == {"precedence": "1"}
    assert {dax: props for (kind, dax), (_, props) in tmdl.items() if kind == "calculation item"} == {
        "'Time Calc'[Current]": {"ordinal": "0"}, "'Time Calc'[YTD]": {"ordinal": "1" if side == "old" else "2"},
        "'Time Calc'[PY]": {"ordinal": "2" if side == "old" else "1"}}


def test_tmdl_property_values_unquoted(tmp_path):
    from quarrow_dax.model import load_model

    write(tmp_path, {"model.tmdl": "model Model\n", "tables/T.tmdl": lines(
        "table T",
        "\tmeasure M = 1",
        '\t\tformatString: """TRUE"";""TRUE"";""FALSE"""',
        "\t\tdisplayFolder: A\\B",
        "\t\tisHidden",
        "\t\tlineageTag: 'not quoted in TMDL'",
        "\t\tkpi",
        "\t\t\ttargetExpression = 1",
        "\t\t\ttargetFormatString: 0%",
    )})
    measure = load_model(tmp_path).measure("M")
    assert measure.properties == {"formatString": '"TRUE";"TRUE";"FALSE"', "displayFolder": "A\\B", "isHidden": "true"}
    assert measure.lineage_tag == "'not quoted in TMDL'"
