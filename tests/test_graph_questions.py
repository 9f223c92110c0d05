"""The graph's answers that a user acts on: what `deps --unused` lists (the
engine's row-number columns never, a table whose data a measure reads
never), and that an object is its own dependency in `--deep` exactly where
`--cycles` finds it on a circle; on small models written here in both
formats and over the shared models."""

import json
import pathlib
import subprocess
import sys

import pytest

from quarrow_dax.graph import DependencyGraph, find_objects
from quarrow_dax.model import Measure, load_model

MODELS = pathlib.Path(__file__).resolve().parents[2] / "shared" / "models"
SHARED_MODELS = sorted([*(MODELS / "bim").iterdir(), *(MODELS / "tmdl").iterdir()]) if MODELS.is_dir() else []

ROW_NUMBER = "RowNumber-2662979B-1795-4F74-8F37-6A1BA8059B61"
# One of Power BI's own date tables, which nothing here uses either.
LOCAL_DATES = "LocalDateTable_0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d"


def _bim_column(name, kind=None):
    column = {"name": name, "dataType": "int64", "sourceColumn": name}
    if kind is not None:
        column = {"type": kind, "name": name, "dataType": "int64", "isHidden": True, "isUnique": True}
    return column


def write_bim(folder):
    """A .bim of the shapes below: Sales with the engine's row-number column
    and a measure on a measure table reading it; Budget whose own measure
    alone reads it; Notes, which nothing reads; a KPI whose target is a
    measure that uses the KPI's own measure."""
    tables = [
        {"name": "Sales", "columns": [_bim_column("Amount"), _bim_column(ROW_NUMBER, "rowNumber")]},
        {"name": "Budget", "columns": [_bim_column("Plan")],
         "measures": [{"name": "Planned", "expression": "SUM ( Budget[Plan] )"}]},
        {"name": "Notes", "columns": [_bim_column("Text")]},
        {"name": LOCAL_DATES, "isHidden": True, "showAsVariationsOnly": True, "columns": [_bim_column("Date")],
         "annotations": [{"name": "__PBI_LocalDateTable", "value": "true"}]},
        {"name": "Measures", "columns": [_bim_column("Dummy")], "measures": [
            {"name": "Total", "expression": "SUM ( Sales[Amount] )",
             "kpi": {"targetExpression": "[Goal]", "statusExpression": "IF ( [Total] > [Goal], 1, -1 )"}},
            {"name": "Goal", "expression": "[Total] * 1.1"},
            {"name": "Ping", "expression": "[Pong] + 1"},
            {"name": "Pong", "expression": "[Ping] - 1"},
        ]},
    ]
    path = folder / "model.bim"
    path.write_text(json.dumps({"name": "Precision", "model": {"tables": tables}}, indent=2), encoding="utf-8")
    return path


TMDL = f"""table Sales

\tcolumn Amount
\t\tdataType: int64
\t\tsourceColumn: Amount

\tcolumn {ROW_NUMBER}
\t\ttype: rowNumber
\t\tdataType: int64
\t\tisHidden
\t\tisUnique
\t\tisNullable: false

table Budget

\tmeasure Planned = SUM ( Budget[Plan] )

\tcolumn Plan
\t\tdataType: int64
\t\tsourceColumn: Plan

table Notes

\tcolumn Text
\t\tdataType: string
\t\tsourceColumn: Text

table {LOCAL_DATES}
\tisHidden
\tshowAsVariationsOnly

\tcolumn Date
\t\tdataType: dateTime
\t\tsourceColumn: Date

\tannotation __PBI_LocalDateTable = true

table Measures

\tmeasure Total = SUM ( Sales[Amount] )

\t\tkpi
\t\t\ttargetExpression = [Goal]
\t\t\tstatusExpression = IF ( [Total] > [Goal], 1, -1 )

\tmeasure Goal = [Total] * 1.1

\tmeasure Ping = [Pong] + 1

\tmeasure Pong = [Ping] - 1

\tcolumn Dummy
\t\tdataType: int64
\t\tsourceColumn: Dummy
"""


def write_tmdl(folder):
    tables = folder / "Precision.SemanticModel" / "definition" / "tables"
    tables.mkdir(parents=True)
    (tables.parent / "model.tmdl").write_text("model Model\n\tculture: en-US\n", encoding="utf-8")
    (tables / "All.tmdl").write_text(TMDL, encoding="utf-8")
    return tables.parent.parent


@pytest.fixture(params=["bim", "tmdl"])
def written(request, tmp_path):
    return write_bim(tmp_path) if request.param == "bim" else write_tmdl(tmp_path)


def test_the_row_number_column_is_read_as_the_engine_keeps_it(written):
    model = load_model(written)
    assert model.column("Sales", ROW_NUMBER).type == "row number"
    assert model.column("Sales", "Amount").type == "data"


def test_unused_leaves_out_row_numbers_and_tables_that_measures_read(written):
    graph = DependencyGraph.build(load_model(written))
    assert [obj.dax for obj in graph.unused()] == [
        # Sales: read by a measure of another table; Budget: read by its own
        # measure, which a report may show; Measures: its measures use each other
        "'Budget'[Planned]", "'Notes'", "'Notes'[Text]", "'Measures'[Dummy]",
    ]


def test_unused_lists_power_bis_own_date_tables_on_request(written):
    graph = DependencyGraph.build(load_model(written))
    assert graph.model.table(LOCAL_DATES).generated
    everything = [obj.dax for obj in graph.unused(include_generated=True)]
    assert everything == ["'Budget'[Planned]", "'Notes'", "'Notes'[Text]", f"'{LOCAL_DATES}'",
                          f"'{LOCAL_DATES}'[Date]", "'Measures'[Dummy]"]
    assert [obj.dax for obj in graph.unused()] == [name for name in everything if LOCAL_DATES not in name]


@pytest.mark.parametrize("options, status, listed", [
    ([], 0, 4), (["--include-generated"], 0, 6), (["--cycles", "--include-generated"], 2, 0)])
def test_deps_include_generated(written, options, status, listed):
    question = [] if "--cycles" in options else ["--unused"]
    done = subprocess.run([sys.executable, "-m", "quarrow_dax", "deps", str(written), *question, *options],
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, len(done.stdout.splitlines())) == (status, listed), done.stderr
    assert ("--include-generated goes with --unused" in done.stderr) == (status == 2)


def test_deep_and_cycles_agree_about_a_kpi_that_comes_back(written):
    graph = DependencyGraph.build(load_model(written))
    (total,) = find_objects(graph.model, "[Total]")
    (goal,) = find_objects(graph.model, "[Goal]")
    (ping,) = find_objects(graph.model, "[Ping]")
    # Total's KPI uses Goal, which uses Total: no circular use for the engine
    assert [[obj.dax for obj in cycle] for cycle in graph.cycles()] == [
        ["'Measures'[Ping]", "'Measures'[Pong]", "'Measures'[Ping]"]]
    assert [obj.dax for obj in graph.downstream(total, deep=True)] == ["'Measures'[Goal]"]
    assert [obj.dax for obj in graph.upstream(total, deep=True)] == ["'Sales'[Amount]", "'Measures'[Goal]"]
    assert total in graph.upstream(goal, deep=True) and goal in graph.downstream(total)
    # a real cycle still lists the object among its own dependencies
    assert ping in graph.downstream(ping, deep=True) and ping in graph.upstream(ping, deep=True)


def test_deps_prints_the_same(written):
    done = subprocess.run([sys.executable, "-m", "quarrow_dax", "deps", str(written), "[Total]", "--downstream",
                           "--deep"], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, "'Measures'[Goal]\n")


@pytest.mark.skipif(not SHARED_MODELS, reason="shared models not found")
@pytest.mark.parametrize("path", SHARED_MODELS, ids=lambda path: path.name)
def test_an_object_is_its_own_dependency_exactly_on_a_cycle(path):
    graph = DependencyGraph.build(load_model(path))
    on_cycles = {id(obj) for cycle in graph.cycles() for obj in cycle}
    for obj in graph.objects:
        for reach in (graph.upstream, graph.downstream):
            assert (obj in reach(obj, deep=True)) == (id(obj) in on_cycles), (obj.dax, reach.__name__)
    unused = {id(obj) for obj in graph.unused()}
    for table in graph.model.tables.values():
        read = [edge for column in table.columns.values() for edge in graph.users(column)
                if isinstance(edge.source, Measure)]
        assert not (read and id(table) in unused), (table.dax, read[:1])
        assert not any(column.type == "row number" and id(column) in unused for column in table.columns.values())
        assert not (table.generated and any(id(obj) in unused for obj in (table, *table.columns.values(),
                                                                             *table.hierarchies.values())))
