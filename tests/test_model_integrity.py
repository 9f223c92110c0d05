"""Models that read but cannot be deployed: names that differ only in case
(kept apart, each with its own formulas, and reported at both places) and a
structure that names tables or columns the model does not have. Built as
TMDL folders and as .bim files; the shared models have none of these."""

import json
import pathlib
import shutil
import subprocess
import sys

import pytest

from quarrow_dax.check import CheckOptions, ModelTally, check_model
from quarrow_dax.graph import DependencyGraph, find_objects
from quarrow_dax.model import load_model
from quarrow_dax.model.integrity import model_problems
from quarrow_dax.report import load_report
from quarrow_dax.report.extension import ReportMeasure, extended_model

SHARED = pathlib.Path(__file__).resolve().parents[2] / "shared"
MODELS = SHARED / "models"

SALES = """\
table Sales

\tmeasure Sales = SUM ( Sales[Amount] )

\tmeasure sales = [Sales] * 2

\tcolumn Amount
\t\tdataType: double
\t\tsourceColumn: Amount

\tcolumn amount
\t\tdataType: double
\t\tsourceColumn: amount2

\tcolumn Month
\t\tdataType: string
\t\tsortByColumn: 'Month Nmber'

\thierarchy Calendar
\t\tlevel Month
\t\t\tcolumn: Monht

\tmeasure Month = 1
"""

SCENARIO = """\
table Scenario

\tcalculationGroup
\t\tcalculationItem Actual = SELECTEDMEASURE ()
\t\tcalculationItem actual = SELECTEDMEASURE () * 2
"""

DATE = """\
table Date

\tcolumn Date
\t\tdataType: dateTime
\t\tsourceColumn: Date
"""

RELATIONSHIPS = """\
relationship r1
\tfromColumn: Sales.Amount
\ttoColumn: Dates.Date

relationship r2
\tfromColumn: Sales.Amont
\ttoColumn: Date.Date
"""

ROLE = """\
role Readers
\tmodelPermission: read

\ttablePermission Salez = TRUE ()
"""

FUNCTIONS = """\
function Twice = ( x ) => x * 2

function twice = ( x ) => x + x
"""


def tmdl_model(root: pathlib.Path) -> pathlib.Path:
    definition = root / "Broken.SemanticModel" / "definition"
    (definition / "tables").mkdir(parents=True)
    (definition / "roles").mkdir()
    files = {
        "model.tmdl": "model Model\n\tculture: en-US\n", "relationships.tmdl": RELATIONSHIPS,
        "functions.tmdl": FUNCTIONS, "roles/Readers.tmdl": ROLE, "tables/Sales.tmdl": SALES,
        "tables/Scenario.tmdl": SCENARIO, "tables/Date.tmdl": DATE,
    }
    for name, text in files.items():
        (definition / name).write_text(text, encoding="utf-8")
    return definition.parent


def diagnostics(path):
    tally = ModelTally()
    found = list(check_model(str(path), CheckOptions(), tally))
    return found, tally


# (code, file, line, column, start of the message) of every problem of the TMDL model.
EXPECTED_TMDL = [
    ("E011", "functions.tmdl", 1, 1, "function Twice is declared again as function twice (line 3)"),
    ("E011", "functions.tmdl", 3, 1, "function twice has the name, but for case, of function Twice (line 1)"),
    ("E012", "relationships.tmdl", 3, 2, "relationship 'r1' (to) names table 'Dates', which the model does not have"),
    ("E012", "relationships.tmdl", 6, 2,
     "relationship 'r2' (from) names column 'Sales'[Amont], which table 'Sales' does not have"),
    ("E012", "Readers.tmdl", 4, 2, "the permission of role 'Readers' names table 'Salez'"),
    ("E011", "Sales.tmdl", 3, 2, "measure 'Sales'[Sales] is declared again as measure 'Sales'[sales] (line 5)"),
    ("E011", "Sales.tmdl", 5, 2, "measure 'Sales'[sales] has the name, but for case, of measure 'Sales'[Sales]"),
    ("E011", "Sales.tmdl", 7, 2, "column 'Sales'[Amount] is declared again as column 'Sales'[amount] (line 11)"),
    ("E011", "Sales.tmdl", 11, 2, "column 'Sales'[amount] has the name, but for case, of column 'Sales'[Amount]"),
    ("E011", "Sales.tmdl", 15, 2, "column 'Sales'[Month] is declared again as measure 'Sales'[Month]"),
    ("E012", "Sales.tmdl", 17, 3, "the sort-by column of 'Sales'[Month] names column 'Sales'[Month Nmber]"),
    ("E012", "Sales.tmdl", 21, 4, "level [Month] of hierarchy 'Sales'[Calendar] names column 'Sales'[Monht]"),
    ("E011", "Sales.tmdl", 23, 2, "measure 'Sales'[Month] has the name of column 'Sales'[Month] (line 15)"),
    ("E011", "Scenario.tmdl", 4, 3, "calculation item 'Scenario'[Actual] is declared again"),
    ("E011", "Scenario.tmdl", 5, 3, "calculation item 'Scenario'[actual] has the name, but for case"),
]


def test_every_problem_of_a_tmdl_model_is_placed(tmp_path):
    found, tally = diagnostics(tmdl_model(tmp_path))
    got = sorted((d.code, pathlib.Path(d.path).name, d.line, d.column, d.message) for d in found)
    expected = sorted(EXPECTED_TMDL)
    assert len(got) == len(expected), "\n".join(map(str, got))
    for (code, name, line, column, message), actual in zip(expected, got):
        assert actual[:4] == (code, name, line, column), actual
        assert actual[4].startswith(message), actual
    assert all(d.severity == "error" for d in found)
    assert tally.problems == len(expected) and tally.failed == 0


def test_a_hierarchy_shares_the_names_of_its_table(tmp_path):
    root = tmdl_model(tmp_path)
    sales = root / "definition" / "tables" / "Sales.tmdl"
    sales.write_text(sales.read_text(encoding="utf-8").replace("hierarchy Calendar", "hierarchy AMOUNT"),
                     encoding="utf-8")
    messages = [problem.message for problem in model_problems(load_model(root))]
    assert "hierarchy 'Sales'[AMOUNT] has the name, but for case, of column 'Sales'[Amount] (line 7): a table's" \
        " columns, measures and hierarchies share one set of names" in messages
    # A level named like the column it shows is no clash: levels are not the table's names.
    assert not any("level [Month] has" in message for message in messages)


def test_names_differing_in_case_keep_their_own_formulas(tmp_path):
    model = load_model(tmdl_model(tmp_path))
    first, second = (formula for formula in model.formulas if formula.kind == "measure" and formula.table == "Sales"
                     and formula.name.casefold() == "sales")
    assert (model.owner(first).name, model.owner(second).name) == ("Sales", "sales")
    assert [f.text for f in model.owner(first).formulas] == ["SUM ( Sales[Amount] )"]
    assert [f.text for f in model.owner(second).formulas] == ["[Sales] * 2"]
    twice = [model.owner(f).name for f in model.formulas if f.kind == "function"]
    assert twice == ["Twice", "twice"]
    items = [model.owner(f).name for f in model.formulas if f.kind == "calculation item"]
    assert items == ["Actual", "actual"]
    # Looking a name up finds the first; every object is listed once.
    assert model.measure("SALES").name == "Sales"
    objects = list(model.objects())
    assert len({id(obj) for obj in objects}) == len(objects)
    assert {obj.dax for obj in objects} >= {"'Sales'[Sales]", "'Sales'[sales]", "'Sales'[amount]", "twice"}


def test_deps_no_longer_invents_a_cycle(tmp_path):
    graph = DependencyGraph.build(load_model(tmdl_model(tmp_path)))
    assert graph.cycles() == []
    (later,) = [obj for obj in graph.objects if obj.dax == "'Sales'[sales]"]
    assert [obj.dax for obj in graph.upstream(later)] == ["'Sales'[Sales]"]
    (earlier,) = find_objects(graph.model, "'Sales'[Sales]")
    assert [obj.dax for obj in graph.upstream(earlier)] == ["'Sales'[Amount]"]
    run = subprocess.run([sys.executable, "-m", "quarrow_dax", "deps", "--cycles", str(tmp_path / "Broken.SemanticModel")],
                         capture_output=True, text=True, timeout=60)
    assert "'Sales'[Sales] -> 'Sales'[Sales]" not in run.stdout


def bim_model(root: pathlib.Path, expression_first: bool) -> pathlib.Path:
    def measure(name, expression):
        pairs = [("expression", expression), ("name", name)]
        return dict(pairs if expression_first else reversed(pairs))

    model = {"name": "M", "compatibilityLevel": 1600, "model": {
        "tables": [
            {"name": "Sales", "columns": [
                {"name": "Amount", "dataType": "double", "sourceColumn": "Amount", "sortByColumn": "Key"},
            ], "measures": [measure("Total", "SUM ( Sales[Amount] )"), measure("TOTAL", "[Total] + 1")]},
            {"name": "sales", "columns": [{"name": "Key", "dataType": "int64", "sourceColumn": "Key"}],
             "measures": [measure("Other", "[Total] * 3")]},
        ],
        "relationships": [{"name": "r", "fromTable": "Sales", "fromColumn": "Amount", "toTable": "Dat",
                           "toColumn": "Key"}],
    }}
    path = root / "model.bim"
    path.write_text(json.dumps(model, indent=2), encoding="utf-8")
    return path


@pytest.mark.parametrize("expression_first", [False, True])
def test_a_bim_model(tmp_path, expression_first):
    path = bim_model(tmp_path, expression_first)
    model = load_model(path)
    owners = {formula.text: model.owner(formula).dax for formula in model.formulas}
    assert owners == {"SUM ( Sales[Amount] )": "'Sales'[Total]", "[Total] + 1": "'Sales'[TOTAL]",
                      "[Total] * 3": "'sales'[Other]"}
    found, _ = diagnostics(path)
    lines = path.read_text(encoding="utf-8").split("\n")
    by_code = {}
    for diagnostic in found:
        by_code.setdefault(diagnostic.code, []).append(diagnostic)
        # Every problem points at a name the message is about.
        assert lines[diagnostic.line - 1][diagnostic.column - 1:].startswith('"'), diagnostic
    assert sorted(d.message.split(" ")[0] for d in by_code["E011"]) == ["measure", "measure", "table", "table"]
    (relationship, sort_by) = sorted(by_code["E012"], key=lambda d: d.message)
    assert relationship.message == "relationship 'r' (to) names table 'Dat', which the model does not have"
    assert lines[relationship.line - 1].strip() == '"toTable": "Dat",'
    # 'Sales'[Key] is in the table that only differs in case: not this table's column.
    assert sort_by.message.startswith("the sort-by column of 'Sales'[Amount] names column 'Sales'[Key]")
    assert lines[sort_by.line - 1].strip() == '"sortByColumn": "Key"'


def test_the_command_line_reports_and_fails(tmp_path):
    model = tmdl_model(tmp_path)
    run = subprocess.run([sys.executable, "-m", "quarrow_dax", "check", "--format", "json", str(model)],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 1
    records = [json.loads(line) for line in run.stdout.splitlines()]
    assert {record["code"] for record in records} == {"E011", "E012"}
    assert all(record["object"] and record["line"] for record in records)
    assert f"{len(EXPECTED_TMDL)} problems of the models' structure" in run.stderr


def test_a_single_file_reports_its_duplicates_but_not_what_is_elsewhere(tmp_path):
    sales = tmdl_model(tmp_path) / "definition" / "tables" / "Sales.tmdl"
    found, _ = diagnostics(sales)
    assert {d.code for d in found} == {"E011"}


@pytest.mark.skipif(not MODELS.is_dir(), reason=f"shared files not at {SHARED}")
@pytest.mark.parametrize("path", sorted([*MODELS.glob("bim/*"), *MODELS.glob("tmdl/*")]) if MODELS.is_dir() else [],
                         ids=lambda path: path.name)
def test_the_shared_models_have_no_such_problems(path):
    model = load_model(path)
    assert model.duplicates == []
    assert model_problems(model) == []


DEPS = pathlib.Path(__file__).resolve().parent / "data"


def test_a_report_sees_the_model_it_extends_whole(tmp_path):
    """The model a report's DAX is resolved in is the model with the
    report's measures: every name, owner and duplicate of the model kept."""
    folder = tmp_path / "Deps.SemanticModel"
    shutil.copytree(DEPS / "Deps.SemanticModel", folder)
    sales = folder / "definition" / "tables" / "Sales.tmdl"
    sales.write_text(sales.read_text(encoding="utf-8") + "\n\tmeasure margin = 2\n", encoding="utf-8")
    model = load_model(folder)
    assert model.duplicates and model.measure("Margin") is not None
    extended = extended_model(model, load_report(str(DEPS / "Deps.Report")))
    assert extended.duplicates == model.duplicates
    assert extended.measure("Margin") is model.measure("Margin")
    assert isinstance(extended.measure("Margin LY"), ReportMeasure)
    for formula in extended.formulas:
        assert extended.owner(formula) is (model.owner(formula) if formula in model.formulas
                                           else extended.measure("Margin LY"))
