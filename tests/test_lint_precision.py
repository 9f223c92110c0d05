"""Lint where it used to be wrong on real models: the fixes that write a
table's name (quoted where the name is a word of the language or a
function's), filters over bare columns, blank tests on text, `+ 0 * x`,
repeated names in calculated columns, columns the model has in one other
table only, and Power BI's own date tables, left out unless configured; on a
model written here in both formats and on the shared models."""

import json
import pathlib

import pytest

from quarrow_dax.lint import LintConfig, lint_model, load_config
from quarrow_dax.lint.fixes import fix_model
from quarrow_dax.model import load_model

MODELS = pathlib.Path(__file__).resolve().parents[2] / "shared" / "models"
GUID = "758ae1f6-73ea-4834-a83d-5f63daa0003d"

# The model: tables whose names need quotes (Date, Calendar: functions;
# Order: a keyword), Sales with a text and a number column, a measure whose
# name is also a column of Date, and one of Power BI's local date tables.
TABLES = {
    "Date": [("Date", "dateTime"), ("Day Name", "string")],
    "Calendar": [("Date", "dateTime")],
    "Order": [("Id", "int64")],
    "Sales": [("Qty", "int64"), ("Name", "string"), ("Code", "int64")],
}
MEASURES = [("Total", "SUM ( Sales[Qty] )"), ("Day Name", '"measure of another table"')]

# (name, the formula: a measure of Sales or, with `column T`, a calculated
# column of T; code, what each finding of that code says: its message and,
# where it has a fix, the fix's description)
CASES = [
    ("quote a function's name", "measure", "SUMX ( 'Date', [Day Name] ) + SUMX ( Calendar, [Date] )", "DAX201", [
        ("the column [Day Name] is written without its table", "write 'Date'[Day Name]"),
        ("the column [Date] is written without its table", "write 'Calendar'[Date]")]),
    ("quote a keyword", "measure", "SUMX ( 'Order', [Id] ) + SUMX ( Sales, [Qty] )", "DAX201", [
        ("the column [Id] is written without its table", "write 'Order'[Id]"),
        ("the column [Qty] is written without its table", "write Sales[Qty]")]),
    ("a column of no row context", "measure", "COUNTROWS ( VALUES ( [Id] ) )", "DAX201", [
        ("the column [Id] is written without its table, and no row context here has it", "write 'Order'[Id]")]),
    ("a column of several tables, none in row context", "measure", "SUM ( [Date] )", "DAX201", [
        ("the column [Date] is written without its table, which no row context here tells", None)]),
    ("a bare column of the filtered table", "measure", "CALCULATE ( [Total], FILTER ( Sales, [Qty] > 1 ) )", "DAX103",
     [("FILTER over the whole table Sales where its columns would do",
       "filter the columns: KEEPFILTERS ( condition )")]),
    ("a bare measure in the filter", "measure", "CALCULATE ( [Total], FILTER ( Sales, [Total] > 1 ) )", "DAX103", []),
    ("text compared with BLANK", "measure",
     'IF ( SELECTEDVALUE ( Sales[Name] ) = BLANK (), "none" ) & IF ( "" <> BLANK (), "x" )', "DAX204", []),
    ("text through a variable and LOOKUPVALUE", "measure",
     "VAR n = IF ( [Total] > 0, LOOKUPVALUE ( Sales[Name], Sales[Code], 1 ) ) RETURN IF ( n <> BLANK (), n )",
     "DAX204", []),
    ("a number compared with BLANK", "measure", "IF ( SELECTEDVALUE ( Sales[Code] ) = BLANK (), 1 )", "DAX204",
     [("`= BLANK ()` is also true for 0, an empty string and FALSE", "write ISBLANK ( SELECTEDVALUE ( Sales[Code] ) )")]),
    ("a text column in a calculated column", "column Sales", "IF ( Sales[Name] = BLANK (), 1 )", "DAX204", []),
    ("0 times a constant", "measure", "[Total] + 0 * 5", "DAX107",
     [("adding 0 makes the measure's result never blank", None)]),
    ("0 times a measure", "measure", "( 0 * [Total] ) + SUM ( Sales[Code] )", "DAX107",
     [("adding 0 * [Total] makes the measure's result 0 wherever [Total] is not blank", None)]),
    ("0 times nothing added", "measure", "[Total] * 0", "DAX107", []),
    ("a row's column named like a measure", "column Date",
     'IF ( [Day Name] = "Monday", [Day Name], [Day Name] & "!" )', "DAX105", []),
    ("a measure three times in a calculated column", "column Sales", "[Total] + [Total] + [Total]", "DAX105",
     [("[Total] is evaluated 3 times in the same context", None)]),
]

LOCAL_DATE_TABLE = f"LocalDateTable_{GUID}"


def _tmdl(tables, formulas, generated_marks):
    files = {"definition/model.tmdl": "model Model\n\tculture: en-US\n"}
    for table, columns in tables.items():
        quoted = f"'{table}'"
        lines = [f"table {quoted}", ""]
        for name, kind in columns:
            lines += [f"\tcolumn '{name}'", f"\t\tdataType: {kind}", ""]
        for name, text in (formulas.get(table) or []):
            lines += [f"\t{name} = ```", f"\t\t\t{text}", "\t\t\t```", ""]
        if table == LOCAL_DATE_TABLE:
            lines[1:1] = [f"\t{mark}" for mark in generated_marks["flags"]]
            lines += [f"\tannotation {name} = {value}" for name, value in generated_marks["annotations"].items()]
        files[f"definition/tables/{table}.tmdl"] = "\n".join(lines) + "\n"
    return files


def _bim(tables, formulas, generated_marks):
    out = []
    for table, columns in tables.items():
        entry = {"name": table, "columns": [{"name": name, "dataType": kind, "sourceColumn": name}
                                            for name, kind in columns], "measures": []}
        for declaration, text in formulas.get(table) or []:
            kind, name = declaration.split(" ", 1)
            name = name.strip("'")
            if kind == "measure":
                entry["measures"].append({"name": name, "expression": text})
            else:
                entry["columns"].append({"type": "calculated", "name": name, "expression": text})
        if table == LOCAL_DATE_TABLE:
            entry.update({flag: True for flag in generated_marks["flags"]})
            entry["annotations"] = [{"name": name, "value": value}
                                    for name, value in generated_marks["annotations"].items()]
        out.append(entry)
    return {"model.bim": json.dumps({"name": "Precision", "model": {"tables": out}}, indent=1)}


MARKS = {"flags": ["showAsVariationsOnly"], "annotations": {"__PBI_LocalDateTable": "true"}}


def write_model(root, form, marks=MARKS, cases=CASES):
    tables = {**TABLES, LOCAL_DATE_TABLE: [("Date", "dateTime")]}
    formulas = {"Sales": [(f"measure '{name}'", text) for name, text in MEASURES]}
    for number, (_, owner, text, _, _) in enumerate(cases):
        table = owner.split(" ", 1)[1] if owner.startswith("column") else "Sales"
        kind = "column" if owner.startswith("column") else "measure"
        formulas.setdefault(table, []).append((f"{kind} 'Case {number}'", text))
    formulas[LOCAL_DATE_TABLE] = [("column Year", "YEAR ( [Date] )")]
    files = (_tmdl if form == "tmdl" else _bim)(tables, formulas, marks)
    for name, content in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(content, encoding="utf-8")
    return root if form == "tmdl" else root / "model.bim"


@pytest.fixture(scope="module", params=["tmdl", "bim"])
def findings(request, tmp_path_factory):
    path = write_model(tmp_path_factory.mktemp(request.param), request.param)
    by_object = {}
    for finding in lint_model(str(path)):
        by_object.setdefault(finding.object, []).append(finding)
    return path, by_object


@pytest.mark.parametrize("number", range(len(CASES)), ids=[case[0] for case in CASES])
def test_case(findings, number):
    _, owner, _, code, expected = CASES[number]
    table = owner.split(" ", 1)[1] if owner.startswith("column") else "Sales"
    found = findings[1].get(f"'{table}'[Case {number}]", [])
    assert [(f.message, f.fix.description if f.fix else None) for f in found if f.code == code] == expected


def test_fixes_write_the_quotes_and_the_columns(findings):
    path, _ = findings
    results = fix_model(str(path), unsafe=True)
    after = "".join(result.after or "" for result in results)
    for written in ("SUM ( 'Date'[Day Name] ) + SUM ( 'Calendar'[Date] )", "SUM ( 'Order'[Id] ) + SUM ( Sales[Qty] )",
                    "COUNTROWS ( VALUES ( 'Order'[Id] ) )", "CALCULATE ( [Total], KEEPFILTERS ( Sales[Qty] > 1 ) )"):
        assert written in after
    # the generated table is left as Power BI wrote it
    assert not [result for result in results if LOCAL_DATE_TABLE in result.path]
    assert path.is_dir() or "YEAR ( [Date] )" in after


def generated_findings(root, form, marks, config=None):
    path = write_model(root, form, marks, cases=[])
    return [f for f in lint_model(str(path), config=config) if LOCAL_DATE_TABLE in (f.object or "")]


RECOGNISED = [
    # the flags and annotations Power BI writes, and whether the table is taken as its own
    ({"flags": ["showAsVariationsOnly"], "annotations": {"__PBI_LocalDateTable": "true"}}, True),
    ({"flags": [], "annotations": {"__PBI_LocalDateTable": "true"}}, True),
    ({"flags": ["isPrivate"], "annotations": {}}, True),  # annotations dropped by a tool: the name and the flag
    ({"flags": [], "annotations": {}}, False),  # a table a user named so
    ({"flags": [], "annotations": {"__PBI_LocalDateTable": "false"}}, False),
]


@pytest.mark.parametrize("form", ["tmdl", "bim"])
@pytest.mark.parametrize("marks, generated", RECOGNISED)
def test_generated_tables_are_left_out_unless_configured(tmp_path, form, marks, generated):
    path = write_model(tmp_path, form, marks, cases=[])
    assert load_model(path).table(LOCAL_DATE_TABLE).generated is generated
    found = generated_findings(tmp_path, form, marks)
    assert [f.code for f in found] == ([] if generated else ["DAX201"])
    included = generated_findings(tmp_path, form, marks, LintConfig(include_generated=True))
    assert [f.code for f in included] == ["DAX201"]


def test_the_setting_is_read_and_checked(tmp_path):
    config = tmp_path / "quarrow-dax.toml"
    config.write_text("[lint]\ninclude-generated = true\n", encoding="utf-8")
    assert load_config(config).include_generated is True
    config.write_text('[lint]\ninclude-generated = "yes"\n', encoding="utf-8")
    with pytest.raises(Exception, match="include-generated must be true or false") as error:
        load_config(config)
    assert error.value.line == 2


@pytest.mark.skipif(not (MODELS / "tmdl" / "gateway-monitoring").is_dir(), reason="shared models not found")
def test_the_shared_model_with_auto_date_time():
    path = str(MODELS / "tmdl" / "gateway-monitoring")
    model = load_model(path)
    assert sorted(t.name.split("_")[0] for t in model.tables.values() if t.generated) == [
        "DateTableTemplate", "LocalDateTable", "LocalDateTable", "LocalDateTable"]
    default = list(lint_model(path))
    everything = list(lint_model(path, config=LintConfig(include_generated=True)))
    generated = [f for f in everything if "DateTable" in (f.object or "")]
    assert len(generated) == 24 and not [f for f in default if "DateTable" in (f.object or "")]
    assert len(everything) - len(default) == len(generated)


TABLE_NAMES = [
    # names a fix may write bare
    ("Sales", True), ("Measures", True), ("Sales2", True), ("_x", True), ("dbo.Sales", True), ("Ägypten", True),
    # functions' names: Date and Calendar above all
    ("Date", False), ("Calendar", False), ("Values", False), ("Filter", False), ("Product", False), ("Year", False),
    ("Today", False), ("Blank", False),
    # words of the language and words functions take
    ("Order", False), ("True", False), ("Measure", False), ("Evaluate", False), ("Rows", False),
    ("MParameter", False), ("Dense", False), ("Day", False), ("Skip", False), ("Integer", False),
    # what does not read as one name
    ("Sales 2", False), ("2Sales", False), ("Sales-EU", False), ("", False),
]


@pytest.mark.parametrize("name, plain", TABLE_NAMES)
def test_which_table_names_a_fix_writes_without_quotes(name, plain):
    from quarrow_dax.syntax.spelling import is_plain_table_name

    assert is_plain_table_name(name) is plain
