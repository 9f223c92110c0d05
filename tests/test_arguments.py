"""Argument checks: every example the DAX reference gives on a function's
own page passes them; tables of wrong calls and the exact error each must
be; calls that must pass (omitted arguments, repeating groups, forms told
apart by their arguments); user-defined functions, in queries and models;
both grammars and both separator conventions; where a finding is placed."""

import csv
import json
import pathlib

import pytest

from quarrow_dax.arguments import check_calls
from quarrow_dax.check import CheckOptions, check_file, check_model, is_query
from quarrow_dax.functions import by_category, catalogue, signature
from quarrow_dax.syntax import FunctionCall, parse_expression, parse_query
from quarrow_dax.syntax.search import find_nodes

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "corpus"


def problems(text, **options):
    tree = parse_query(text, **options) if is_query(text) else parse_expression(text, **options)
    data = text.encode()
    return [(p.code, p.message, data[p.start : p.end].decode()) for p in check_calls(tree)]


# --- the reference's own examples ---------------------------------------------------

# Two examples on the reference's pages that the engine refuses: IF given only
# its condition (best-practices/dax-error-functions.md) and RELATED given a
# comparison (medianx-function-dax.md). Both are the pages' typos.
REFUSED_EXAMPLES = {"expressions/0023.dax": "E009", "expressions/0233.dax": "E010"}


def reference_examples():
    """The corpus files taken from each function's own reference page, by
    function name: the page's examples."""
    if not (CORPUS / "MANIFEST.tsv").is_file():
        return {}
    slugs = {found.link.rsplit("/", 1)[-1]: found.name for found in catalogue().values()}
    examples = {}
    with open(CORPUS / "MANIFEST.tsv", encoding="utf-8") as manifest:
        for row in csv.DictReader(manifest, delimiter="\t"):
            page = row["path"].rsplit("/", 1)[-1].removesuffix(".md")
            name = slugs.get(page) or slugs.get(page.removesuffix("-dax") + "-function-dax")
            if row["repository"] == "MicrosoftDocs/query-docs" and name is not None:
                examples.setdefault(name, []).append(row["file"])
    return examples


EXAMPLES = reference_examples()


def example_tree(file):
    text = (CORPUS / file).read_text(encoding="utf-8")
    try:
        return parse_query(text) if is_query(text) else parse_expression(text)
    except ValueError:
        return None  # one of the three files the grammar refuses (test_cli_models lists them)


@pytest.mark.skipif(not EXAMPLES, reason=f"the shared corpus is not at {CORPUS}")
def test_the_examples_call_their_functions_in_every_category():
    called = {name for name, files in EXAMPLES.items() for file in files
              if (tree := example_tree(file)) is not None
              and any(call.name.upper() == name for call in find_nodes(tree, FunctionCall))}
    assert len(called) >= 60
    assert {signature(name).category for name in called} == set(by_category())


@pytest.mark.parametrize("name", sorted(EXAMPLES))
def test_reference_examples_pass(name):
    for file in EXAMPLES[name]:
        tree = example_tree(file)
        if tree is not None:
            found = [problem.code for problem in check_calls(tree)]
            assert found == ([REFUSED_EXAMPLES[file]] if file in REFUSED_EXAMPLES else []), file


# --- wrong calls ------------------------------------------------------------------------

# DAX, the code, the message, and the text the finding marks
WRONG = [
    ("SUM ( Sales[Amount], 1 )", "E009", "SUM takes 1 argument; 2 given", "1"),
    ("ROUND ( [Total] )", "E009", "ROUND takes 2 arguments; 1 given", "ROUND"),
    ("IF ( [a] > 1 )", "E009", "IF takes 2 or 3 arguments; 1 given", "IF"),
    ("DIVIDE ( 1 )", "E009", "DIVIDE takes 2 or 3 arguments; 1 given", "DIVIDE"),
    ("divide ( 1, 2, 3, 4 )", "E009", "DIVIDE takes 2 or 3 arguments; 4 given", "4"),
    ("BLANK ( 1 )", "E009", "BLANK takes no arguments; 1 given", "1"),
    ("SUM ( , Sales[Amount] )", "E009", "SUM takes 1 argument; 2 given", "Sales[Amount]"),  # omitted: given
    ("DATE ( 2024, 1 )", "E009", "DATE takes 3 arguments; 2 given", "DATE"),
    ("TOTALYTD ( [m] )", "E009", "TOTALYTD takes 2 to 4 arguments; 1 given", "TOTALYTD"),
    ("CALCULATE ( )", "E009", "CALCULATE takes at least 1 argument; 0 given", "CALCULATE"),
    ("FILTER ( T )", "E009", "FILTER takes 2 arguments; 1 given", "FILTER"),
    ("INFO.VIEW.TABLES ( 1 )", "E009", "INFO.VIEW.TABLES takes no arguments; 1 given", "1"),
    ("USERELATIONSHIP ( A[k] )", "E009", "USERELATIONSHIP takes 2 arguments; 1 given", "USERELATIONSHIP"),
    ("SWITCH ( [x], 1 )", "E009", "SWITCH takes at least 3 arguments; 2 given", "SWITCH"),
    ("ADDCOLUMNS ( T, \"a\", 1, \"b\" )", "E009", "ADDCOLUMNS takes 3, 5, 7, … arguments; 4 given", "ADDCOLUMNS"),
    ("ROW ( \"a\", 1, \"b\" )", "E009", "ROW takes 2, 4, 6, … arguments; 3 given", "ROW"),
    ("CONTAINS ( T, T[a] )", "E009", "CONTAINS takes 3, 5, 7, … arguments; 2 given", "CONTAINS"),
    ("LOOKUP ( [x], [Year] )", "E009", "LOOKUP takes 1, 3, 5, … arguments; 2 given", "LOOKUP"),
    ("WINDOW ( 1 )", "E009", "WINDOW takes 2 to 10 arguments; 1 given", "WINDOW"),
    ("SUMMARIZE ( T, T[c], \"x\" )", "E009",
     "SUMMARIZE needs <Expression> after argument 3: <Name> and <Expression> go together", "\"x\""),
    ("SUMMARIZECOLUMNS ( T[a], FILTER ( T, T[a] > 1 ), \"x\", [m], \"y\" )", "E009",
     "SUMMARIZECOLUMNS needs <Expression> after argument 5: <Name> and <Expression> go together", "\"y\""),
    ("SUM ( 1 )", "E010", "SUM needs a column reference as argument 1 (<ColumnName>), not a number", "1"),
    ("SUM ( Sales[Amount] * 2 )", "E010",
     "SUM needs a column reference as argument 1 (<ColumnName>), not a computed value", "Sales[Amount] * 2"),
    ("RELATED ( 1 )", "E010", "RELATED needs a column reference as argument 1 (<ColumnName>), not a number", "1"),
    ("SUM ( ( -1 ) )", "E010", "SUM needs a column reference as argument 1 (<ColumnName>), not a number", "( -1 )"),
    ("SUM ( ABS ( T[x] ) )", "E010",
     "SUM needs a column reference as argument 1 (<ColumnName>), not the scalar result of ABS", "ABS ( T[x] )"),
    ("DISTINCTCOUNT ( [a] & [b] )", "E010",
     "DISTINCTCOUNT needs a column reference as argument 1 (<ColumnName>), not a computed value", "[a] & [b]"),
    ("MIN ( 1 )", "E010", "MIN needs a column reference as argument 1 (<ColumnName>), not a number", "1"),
    ("SELECTEDVALUE ( \"x\", 0 )", "E010",
     "SELECTEDVALUE needs a column reference as argument 1 (<ColumnName>), not a string", "\"x\""),
    ("EARLIER ( TRUE )", "E010", "EARLIER needs a column reference as argument 1 (<ColumnName>), not TRUE or FALSE",
     "TRUE"),
    ("LOOKUPVALUE ( T[a], 2, 1 )", "E010",
     "LOOKUPVALUE needs a column reference as argument 2 (<SearchColumnName>), not a number", "2"),
    ("CONTAINS ( T, \"a\", 1 )", "E010",
     "CONTAINS needs a column reference as argument 2 (<ColumnName>), not a string", "\"a\""),
    ("RELATEDTABLE ( { 1 } )", "E010",
     "RELATEDTABLE needs a table name as argument 1 (<TableName>), not a table constructor", "{ 1 }"),
    ("VALUES ( 1 + 1 )", "E010",
     "VALUES needs a table or column reference as argument 1 (<TableNameOrColumnName>), not a computed value",
     "1 + 1"),
    ("COUNTROWS ( \"x\" )", "E010", "COUNTROWS needs a table as argument 1 (<Table>), not a string", "\"x\""),
    ("FILTER ( 1, TRUE )", "E010", "FILTER needs a table as argument 1 (<Table>), not a number", "1"),
    ("SUMX ( SUM ( T[a] ), 1 )", "E010", "SUMX needs a table as argument 1 (<Table>), not the scalar result of SUM",
     "SUM ( T[a] )"),
    ("CALCULATE ( [m], \"x\" )", "E010",
     "CALCULATE needs a filter (a condition or a table) as argument 2 (<Filter>), not a string", "\"x\""),
    ("ADDCOLUMNS ( T, [x], 1 )", "E010",
     "ADDCOLUMNS needs a column name (a string) as argument 2 (<Name>), not a column reference", "[x]"),
    ("PATH ( 1, T[p] )", "E010", "PATH needs a column reference as argument 1 (<IDColumnName>), not a number", "1"),
    ("TREATAS ( { 1 }, \"x\" )", "E010",
     "TREATAS needs a column reference as argument 2 (<ColumnName>), not a string", "\"x\""),
    ("CROSSFILTER ( A[k], 2, BOTH )", "E010",
     "CROSSFILTER needs a column reference as argument 2 (<ColumnName2>), not a number", "2"),
    ("PERCENTILE.INC ( dt\"2024-01-01\", 0.5 )", "E010",
     "PERCENTILE.INC needs a column reference as argument 1 (<ColumnName>), not a literal", 'dt"2024-01-01"'),
    # the first of several problems in one call is the one reported
    ("SUMMARIZE ( T, \"x\", [m], T[c] )", "E010",
     "SUMMARIZE needs a column name (a string) as argument 4 (<Name>), not a column reference", "T[c]"),
]


@pytest.mark.parametrize("text, code, message, marked", WRONG, ids=[w[0] for w in WRONG])
def test_wrong_calls(text, code, message, marked):
    assert problems(text) == [(code, message, marked)]


def test_hints_give_the_signature_and_the_iterator_of_an_aggregation():
    (problem,) = check_calls(parse_expression("STDEV.S ( T[a] + 1 )"))
    assert problem.hint == ("STDEV.S ( <ColumnName> ); to aggregate an expression row by row, use "
                            "STDEVX.S ( <Table>, <Expression> )")
    (problem,) = check_calls(parse_expression("SUM ( 1 )"))  # a literal: no iterator would help
    assert problem.hint == "SUM ( <ColumnName> )"
    (problem,) = check_calls(parse_expression("MIN ( 1 )"))
    assert problem.hint == "MIN ( <ColumnName> ) or MIN ( <Expression1>, <Expression2> )"


def test_every_wrong_call_of_a_formula_is_reported_in_order():
    found = problems("DIVIDE ( SUM ( 1 ) ) + ROUND ( SUM ( T[a], T[b] ) )")
    assert [(code, marked) for code, _, marked in found] == [
        ("E009", "DIVIDE"), ("E010", "1"), ("E009", "ROUND"), ("E009", "T[b]"),
    ]


# --- calls that pass ----------------------------------------------------------------------

RIGHT = [
    "RANKX ( T, [m], , DESC )",  # an omitted argument counts as given
    "RANKX ( ALL ( T[c] ), [m], [m], 0, DENSE )",
    "IF ( [a], , 1 )",
    "TOTALYTD ( [m], 'Date'[Date], \"6/30\" )",  # a string is no filter: it is the year end
    "TOTALYTD ( [m], 'Date'[Date], 'Date'[Year] > 2020, \"6/30\" )",
    "TOTALWTD ( [m], 'Fiscal' )",
    "DATEADD ( 'Fiscal', -1, WEEK, PRECISE, ANCHORED )",
    "SWITCH ( TRUE (), [a] > 1, \"x\", [a] > 2, \"y\", \"z\" )",
    "SWITCH ( [a], 1, \"x\" )",
    "LOOKUPVALUE ( T[a], T[b], 1, \"none\" )",
    "LOOKUPVALUE ( T[a], T[b], 1, T[c], 2 )",
    "SELECTCOLUMNS ( T, T[c], \"x\", [m] + 1, [d] )",  # names may be left out
    "SUMMARIZE ( T, T[a], ROLLUP ( T[b] ), \"n\", [m] )",
    "SUMMARIZECOLUMNS ( ROLLUPADDISSUBTOTAL ( T[a], \"IsA\" ), T[b], KEEPFILTERS ( T[c] = 1 ), \"n\", [m] )",
    "SUMMARIZECOLUMNS ( \"Total\", [m] )",
    "GROUPBY ( T, T[a], \"n\", SUMX ( CURRENTGROUP (), [x] ) )",
    "CONCATENATEX ( T, T[a], \", \", T[b], DESC, T[c] )",
    "TOPN ( 5, T, [m], DESC, T[a], ASC )",
    "MIN ( 1, 2 ) + MAX ( T[a] )",
    "SUM ( [Amount] ) + SUM ( 'T'[Amount] ) + SUM ( ( T[a] ) )",
    "VAR t = FILTER ( T, T[a] > 1 ) RETURN SUMX ( t, t[a] ) + SUM ( t[a] )",
    "COUNTROWS ( ) + COUNTROWS ( VALUES ( T[a] ) ) + COUNTROWS ( { 1, 2 } )",
    "CALCULATE ( [m], ALL ( T ), USERELATIONSHIP ( A[k], B[k] ), T[a] = 1, FILTER ( T, 1 ) )",
    "WINDOW ( 1, ABS, -1, ABS, ORDERBY ( T[a] ), PARTITIONBY ( T[b] ) )",
    "WINDOW ( -2, 0, T, ORDERBY ( T[a] ) )",
    "INDEX ( 1, ORDERBY ( T[a] ), DEFAULT, PARTITIONBY ( T[b] ), MATCHBY ( T[c] ) )",
    "NEXT ( [Sales], ROWS, LOWESTPARENT ) + COLLAPSE ( [Sales], ROWS COLUMNS ) + EXPAND ( [Month], [Year] )",
    "RUNNINGSUM ( [Sales] + [Tax], COLUMNS )",
    "LOOKUP ( [Sales], [Year], 2024, [Month], \"May\" )",
    "INFO.TABLES ( \"Name\", \"Sales\" ) ",
    "INFO.SOMETHINGNEW ( 1, 2, 3 )",  # an INFO function the catalogue does not list
    "NAMEOF ( 'Sales'[Amount], PARENT, MINIMALLYESCAPED )",
    "DATATABLE ( \"Name\", STRING, \"Value\", INTEGER, { { \"a\", 1 }, { \"b\", 2 } } )",
    "UNKNOWNFUNCTION ( 1 ) + Lib.Svg ( )",
    "EVALUATEANDLOG ( FILTER ( T, 1 ), \"rows\", 10 )",
    "ADDCOLUMNS ( T, \"a\" & \"b\", 1, NAMEOF ( T[c] ), 2 )",  # names that may be constant: not blamed
    "SUM ( IF ( [a], T[x], T[y] ) )",  # IF may give a column reference
]


@pytest.mark.parametrize("text", RIGHT)
def test_right_calls(text):
    assert problems(text) == []


# --- user-defined functions ---------------------------------------------------------------

UDF = """DEFINE
    FUNCTION Scale = ( value, factor : NUMERIC = 2, offset = 0 ) => value * factor + offset
    FUNCTION Total = ( column : COLUMNREF, rows : TABLE ) => SUMX ( rows, column )
    FUNCTION Sum = ( a, b ) => a + b
EVALUATE {{ {} }}"""

UDF_CASES = [
    ("Scale ( 1 )", []),
    ("Scale ( 1, 3, 1 )", []),
    ("Scale ( 1, , 1 )", []),  # a default argument omitted in the middle
    ("SCALE ( )", [("E009", "Scale takes 1 to 3 arguments; 0 given", "SCALE")]),
    ("Scale ( 1, 2, 3, 4 )", [("E009", "Scale takes 1 to 3 arguments; 4 given", "4")]),
    ("Total ( T[a], T )", []),
    ("Total ( 1, T )", [("E010", "Total needs a column reference as argument 1 (<column>), not a number", "1")]),
    ("Total ( T[a], \"rows\" )", [("E010", "Total needs a table as argument 2 (<rows>), not a string",
                                   '"rows"')]),
    # a function of the query takes precedence over the built-in function of the same name
    ("Sum ( 1, 2 )", []),
    ("Sum ( 1 )", [("E009", "Sum takes 2 arguments; 1 given", "Sum")]),
]


@pytest.mark.parametrize("call, expected", UDF_CASES)
def test_functions_a_query_defines(call, expected):
    assert problems(UDF.format(call)) == expected


def test_a_parameter_default_makes_it_optional_only_with_all_after_it():
    query = "DEFINE FUNCTION F = ( a = 1, b, c = 2 ) => a + b + c EVALUATE {{ {} }}"
    assert problems(query.format("F ( , 1 )")) == []
    assert [code for code, _, _ in problems(query.format("F ( 1 )"))] == ["E009"]


def make(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")


MODEL = {
    "definition/model.tmdl": "model Model\n",
    "definition/functions.tmdl": "function Twice = (x : NUMERIC, y = 1) => x * 2 * y\n",
    "definition/tables/Sales.tmdl": (
        "table Sales\n\n\tmeasure Good = Twice ( 1 ) + Twice ( 1, 2 )\n"
        "\tmeasure Bad =\n\t\t\tTwice ( 1, 2, 3 ) +\n\t\t\tSUM ( 1 )\n\n\tcolumn Amount\n\t\tdataType: int64\n"
    ),
}


@pytest.mark.parametrize("resolve", [True, False])
def test_a_models_calls_are_checked_where_they_are(tmp_path, resolve):
    make(tmp_path, MODEL)
    found = list(check_model(str(tmp_path / "definition"), CheckOptions(resolve=resolve)))
    placed = [(d.code, d.line, d.column, d.object) for d in found]
    expected = [("E009", 5, 18, "'Sales'[Bad]"), ("E010", 6, 10, "'Sales'[Bad]")]
    # Without resolving names, the model's own functions are not looked up.
    assert placed == (expected if resolve else expected[1:])
    assert found[-1].render().splitlines() == [
        f"{tmp_path / 'definition' / 'tables' / 'Sales.tmdl'}:6:10: argument error: SUM needs a column reference "
        "as argument 1 (<ColumnName>), not a number",
        "  in measure 'Sales'[Bad]", "SUM ( 1 )", "      ^", "  hint: SUM ( <ColumnName> )",
    ]


def test_a_model_bim_function_declared_after_its_use(tmp_path):
    bim = {"model": {"tables": [{"name": "T", "measures": [{"name": "M", "expression": "F ( 1, 2 )"}]}],
                     "functions": [{"name": "F", "expression": "( a ) => a"}]}}
    make(tmp_path, {"model.bim": json.dumps(bim, indent=1)})
    (found,) = check_model(str(tmp_path / "model.bim"), CheckOptions())
    assert (found.code, found.message, found.object) == ("E009", "F takes 1 argument; 2 given", "'T'[M]")


# --- files, grammars, separators -----------------------------------------------------------


def test_a_file_reports_every_wrong_call_but_only_a_parse_error_when_it_has_one(tmp_path):
    make(tmp_path, {"a.dax": "DIVIDE ( 1 )\n+ SUM ( 2 )", "b.dax": "DIVIDE ( 1 ) +"})
    found = check_file(str(tmp_path / "a.dax"), CheckOptions())
    assert [(d.kind, d.code, d.line, d.column) for d in found] == [("argument", "E009", 1, 1),
                                                                  ("argument", "E010", 2, 9)]
    assert found[0].render().splitlines() == [
        f"{tmp_path / 'a.dax'}:1:1: argument error: DIVIDE takes 2 or 3 arguments; 1 given",
        "DIVIDE ( 1 )", "^^^^^^", "  hint: DIVIDE ( <Numerator>, <Denominator>[, <AlternateResult>] )",
    ]
    assert [d.code for d in check_file(str(tmp_path / "b.dax"), CheckOptions())] == ["E002"]


@pytest.mark.parametrize("grammar, separators, text, codes", [
    ("standard", "comma", "DIVIDE ( 1 ) + SUM ( 1.5 )", ["E009", "E010"]),
    ("engine", "semicolon", "DIVIDE ( 1; 2 ) + SUM ( 1,5 ) + ROUND ( 1,5 )", ["E010", "E009"]),
    ("standard", "semicolon", "DIVIDE ( 1; 2; 3 )", []),
])
def test_both_grammars_and_separators(tmp_path, grammar, separators, text, codes):
    make(tmp_path, {"f.dax": text})
    options = CheckOptions(grammar=grammar, separators=separators)
    assert [d.code for d in check_file(str(tmp_path / "f.dax"), options)] == codes


# --- the shortcuts agree with the general reading ---------------------------------------


def test_the_reading_by_place_agrees_with_the_automaton_wherever_it_is_taken():
    from quarrow_dax.arguments import _REFUSED, _plan
    from quarrow_dax.functions import automaton

    taken = 0
    for found in catalogue().values():
        low, high, places = _plan(found)
        if places is None:
            continue
        taken += 1
        machine = automaton(found)
        parameters = found.parameters
        assert [index for index, _ in places] == [i for i, p in enumerate(parameters) if p.kind in _REFUSED]
        for count in range(len(parameters) + 2):
            assert machine.valid_count(count) == (low <= count <= high), (found.name, count)
            if machine.valid_count(count):
                readings = machine.candidates(count)
                assert [list(params) for params in readings] == [[p] for p in parameters[:count]], found.name
    assert taken > 300  # most functions


@pytest.mark.skipif(not CORPUS.is_dir(), reason=f"the shared corpus is not at {CORPUS}")
def test_find_nodes_finds_what_find_all_finds():
    from quarrow_dax.syntax import TableConstructor, VarBlock

    for file in sorted(CORPUS.rglob("*.dax")):
        tree = example_tree(file.relative_to(CORPUS))
        if tree is not None:
            for classes in ((FunctionCall, TableConstructor), (VarBlock,)):
                assert [id(n) for n in find_nodes(tree, *classes)] == [id(n) for n in tree.find_all(*classes)]


def test_a_file_beyond_the_limit_has_its_grammar_checked_and_a_warning_for_its_calls(tmp_path, monkeypatch):
    from quarrow_dax import check

    monkeypatch.setattr(check, "CALL_CHECK_LIMIT", 20)
    make(tmp_path, {"big.dax": "DIVIDE ( 1 ) + SUM ( 1 ) + 1", "bad.dax": "DIVIDE ( 1 ) + SUM ( 1 ) +"})
    (found,) = check_file(str(tmp_path / "big.dax"), CheckOptions())
    assert (found.severity, found.code, found.line) == ("warning", "W005", 0)
    assert found.message == "function calls not checked: the file holds more than 20 characters"
    assert [d.code for d in check_file(str(tmp_path / "bad.dax"), CheckOptions())] == ["E002"]


@pytest.mark.parametrize("resolve", [True, False])
def test_a_formula_beyond_the_limit_is_warned_of_in_its_model(tmp_path, monkeypatch, resolve):
    from quarrow_dax import check

    monkeypatch.setattr(check, "CALL_CHECK_LIMIT", 20)
    make(tmp_path, {
        "definition/model.tmdl": "model Model\n",
        "definition/tables/T.tmdl": "table T\n\n\tmeasure Short = SUM ( 1 )\n\tmeasure Long = "
                                    + "SUM ( 2 ) + " * 3 + "1\n",
    })
    found = list(check_model(str(tmp_path / "definition"), CheckOptions(resolve=resolve)))
    assert [(d.code, d.severity, d.line, d.column, d.object) for d in found] == [
        ("E010", "error", 3, 24, "'T'[Short]"), ("W005", "warning", 4, 17, "'T'[Long]")]
