"""Resolution and the dependency graph: measures of the shared models
checked by hand against their formulas, what every reference of those
models resolves to, the model objects read, and the cases a rule relies on
(row context, names a formula makes, keywords, suggestions)."""

import collections
import dataclasses
import pathlib

import pytest

from quarrow_dax.graph import DependencyGraph, find_objects
from quarrow_dax.model import load_model
from quarrow_dax.resolution import Resolver, resolve_model

SHARED = pathlib.Path(__file__).resolve().parents[2] / "shared"
MODELS = SHARED / "models"
DEPS = pathlib.Path(__file__).resolve().parent / "data" / "Deps.SemanticModel"
shared = pytest.mark.skipif(not MODELS.is_dir(), reason=f"shared files not at {SHARED}")

# Each measure's formula read by hand: the objects it uses directly.
HAND_CHECKED = [
    ('bim/as-adventureworks', "'Internet Sales'[InternetTotalTaxAmt]", ["'Internet Sales'[TaxAmt]"]),
    ('bim/as-adventureworks', "'Internet Sales'[InternetDistinctCountSalesOrder]", ["'Internet Sales'[SalesOrderNumber]"]),
    ('bim/as-adventureworks', "'Internet Sales'[InternetCurrentQuarterMarginPerformance]", ["'Internet Sales'[InternetCurrentQuarterMargin]", "'Internet Sales'[InternetPreviousQuarterMarginProportionToQTD]"]),
    ('bim/as-adventureworks', "'Internet Sales'[InternetOrderLinesCount]", ["'Internet Sales'[SalesOrderLineNumber]"]),
    ('bim/as-adventureworks', "'Internet Sales'[InternetTotalSales]", ["'Internet Sales'[SalesAmount]"]),
    ('bim/as-sales-pbip', "'Sales'[Sales Amount (YTD, LY)]", ["'Calendar'[Date]", "'Sales'[Sales Amount (YTD)]"]),
    ('bim/as-sales-pbip', "'Sales'[# Customers (with Sales)]", ["'Sales'[CustomerKey]"]),
    ('bim/as-sales-pbip', "'Sales'[Margin %]", ["'Sales'[Margin]", "'Sales'[Sales Amount]"]),
    ('bim/as-sales-pbip', "'Dynamic Measure'[Value (ytd)]", ["'Calendar'[Date]", "'Dynamic Measure'[Value]"]),
    ('bim/as-sales-pbip', "'Sales'[# Products (with Sales)]", ["'Sales'[ProductKey]"]),
    ('bim/te-adventureworks', "'Sales Territory'[Total Previous Quarter Gross Profit Proportion to QTD]", ["'Date'[Days In Current Quarter to Date]", "'Date'[Days In Current Quarter]", "'Sales Territory'[Total Previous Quarter Gross Profit]"]),
    ('bim/te-adventureworks', "'Date'[Days In Current Quarter to Date]", ["'Date'[Date]"]),
    ('bim/te-adventureworks', "'Internet Sales'[Internet Current Quarter Sales Performance]", ["'Internet Sales'[Internet Current Quarter Sales]", "'Internet Sales'[Internet Previous Quarter Sales Proportion to QTD]"]),
    ('bim/te-adventureworks', "'Reseller Sales'[Reseller Previous Quarter Gross Profit]", ["'Date'[Date]", "'Reseller Sales'[Reseller Total Gross Profit]"]),
    ('bim/te-adventureworks', "'Sales Territory'[Distinct Count Sales Orders]", ["'Internet Sales'[Internet Distinct Count Sales Order]", "'Reseller Sales'[Reseller Distinct Count Sales Order]"]),
    ('bim/daxtemplate-standard', "'Sales'[YOYTD % Total Cost]", ["'Sales'[PYTD Total Cost]", "'Sales'[YOYTD Total Cost]"]),
    ('bim/daxtemplate-standard', "'Sales'[Margin]", ["'Sales'[Sales Amount]", "'Sales'[Total Cost]"]),
    ('bim/daxtemplate-standard', "'Sales'[QTDOPQ % Margin %]", ["'Sales'[PQC Margin %]", "'Sales'[QTDOPQ Margin %]"]),
    ('bim/daxtemplate-standard', "'Sales'[YOY Sales Amount]", ["'Sales'[PY Sales Amount]", "'Sales'[Sales Amount]"]),
    ('bim/daxtemplate-standard', "'Sales'[QTD Total Cost]", ["'Date'[Date]", "'Sales'[Total Cost]", "'Sales'[_ShowValueForDates]"]),
    ('tmdl/fuam-core', "'Metrics'[Max Throttling (min) IOD]", ["'capacity_metrics_by_item_by_operation_by_day'[ThrottlingInMin]"]),
    ('tmdl/fuam-core', "'Metrics'[# Dataflows (Inventory)]", ["'dataflows'"]),
    ('tmdl/fuam-core', "'Metrics'[Widely Shared Objects Published to Web]", ["'widelyshared_publishtoweb'[ItemId]"]),
    ('tmdl/fuam-core', "'Metrics'[Interactive rejection %]", ["'capacity_metrics_by_timepoint'[InteractiveRejectionPercentage]"]),
    ('tmdl/fuam-core', "'Metrics'[Consideration End]", ["'capacity_refreshable_summaries'[ConsideredEndTime]"]),
    ('tmdl/fuam-core', "'Metrics'[# Users CY]", ["'Metrics'[# Users]", "'calendar'[IsCurrentYear]"]),
    ('tmdl/fca-core', "'fca'[#CopilotRI]", ["'fca'[CommitmentDiscountType]", "'fca'[EffectiveCost]", "'meters'[Name]"]),
    ('tmdl/fca-core', "'audit_latest_available_fca_version'[FCA Update Available]", ["'audit_latest_available_fca_version'[FCA Release]", "'audit_latest_available_fca_version'[current_fca_version]"]),
    ('tmdl/fca-core', "'fca'[Score - Capacity Utilization]", ["'fca'[#UsageRatioCapacity]"]),
    ('tmdl/fca-core', "'audit_latest_available_fca_version'[FCA Release Message]", ["'audit_latest_available_fca_version'[FCA Release]", "'audit_latest_available_fca_version'[current_fca_version]"]),
    ('tmdl/fca-core', "'fca'[#PauseCost]", ["'fca'[BillingType]", "'fca'[EffectiveCost]"]),
    ('tmdl/gateway-monitoring', "'Execution Measures'[# Jobs]", ["'Query Execution'[RootActivityId]"]),
    ('tmdl/gateway-monitoring', "'Execution Measures'[# Activities]", ["'Query Execution'[RequestId]"]),
    ('tmdl/gateway-monitoring', "'Execution Measures'[# Queries (running)]", ["'Execution Measures'[# Queries (errors)]", "'Execution Measures'[# Queries (success)]", "'Execution Measures'[# Queries]"]),
    ('tmdl/gateway-monitoring', "'Execution Measures'[# Nodes]", ["'Query Execution'[GatewayObjectId]"]),
    ('tmdl/gateway-monitoring', "'Execution Measures'[# Queries (Refresh)]", ["'Execution Measures'[# Queries]", "'Query Execution'[OperationType]"]),
    ('tmdl/daxlib-svg', "'_Measures'[Path]", ["'Theme'[Theme]", "'Variant'[Variant]", 'DaxLib.SVG.Attr.Shapes', 'DaxLib.SVG.Color.Theme', 'DaxLib.SVG.Element.Paths', 'DaxLib.SVG.SVG']),
    ('tmdl/daxlib-svg', "'Axis'[Axes Toggle]", ["'Axis'[Axis]"]),
    ('tmdl/daxlib-svg', "'_Measures'[Compound.Bars]", ["'Axis'[Axes Toggle]", "'Dates'[Date]", "'Height'[Height]", "'Theme'[Theme]", "'Variant'[Variant]", "'Width'[Width]", "'_Measures'[Total Cost]", "'x'[x]", "'y'[y]", 'DaxLib.SVG.Color.Theme', 'DaxLib.SVG.Compound.Bars', 'DaxLib.SVG.SVG']),
    ('tmdl/ms-sales', "'Dynamic Measure'[Value % (Δ ly)]", ["'Dynamic Measure'[Value (ly)]", "'Dynamic Measure'[Value]"]),
    ('tmdl/ms-sales', "'Customer'[# Customers]", ["'Customer'"]),
    ('tmdl/ms-sales', "'Sales'[Sales Amount (YTD)]", ["'Calendar'[Date]", "'Sales'[Sales Amount]"]),
    ('bim/daxtemplate-functions', "'Sales'[Total Cost]", ["'Sales'[Quantity]"]),
    ('bim/daxtemplate-functions', "'Sales'[Sales Amount]", ["'Sales'[Quantity]"]),
]


@pytest.fixture(scope="module")
def graphs():
    return {name: DependencyGraph.build(load_model(MODELS / name)) for name in {m for m, _, _ in HAND_CHECKED}}


@shared
@pytest.mark.parametrize("model, measure, expected", HAND_CHECKED)
def test_measures_checked_by_hand(graphs, model, measure, expected):
    graph = graphs[model]
    (found,) = find_objects(graph.model, measure)
    assert sorted(edge.target.dax for edge in graph.uses(found) if edge.via == "formula") == sorted(expected)
    assert all(edge.certain for edge in graph.uses(found))


# What each model holds: tables, columns, measures, hierarchies,
# relationships (inactive), roles, functions, calculation items; and how
# many objects nothing refers to.
OBJECTS = {
    "bim/as-adventureworks": (9, 174, 21, 4, (13, 4), 1, 0, 0, 136),
    "bim/as-sales-pbip": (10, 95, 29, 2, (5, 1), 2, 0, 5, 82),
    "bim/daxtemplate-calcgroup": (3, 4, 4, 0, (0, 0), 0, 0, 3, 6),
    "bim/daxtemplate-functions": (2, 3, 4, 0, (0, 0), 0, 2, 0, 6),
    "bim/daxtemplate-standard": (6, 56, 141, 4, (0, 0), 0, 0, 0, 63),
    "bim/te-adventureworks": (14, 205, 57, 6, (23, 4), 4, 0, 0, 148),
    "bim/te-allproperties": (3, 5, 1, 1, (1, 0), 1, 0, 1, 4),
    "tmdl/daxlib-svg": (18, 132, 30, 0, (9, 3), 0, 68, 0, 123),
    "tmdl/fca-core": (10, 129, 46, 0, (12, 0), 0, 0, 0, 116),
    "tmdl/fuam-core": (44, 564, 270, 0, (38, 1), 0, 0, 0, 623),
    "tmdl/gateway-monitoring": (12, 119, 21, 4, (4, 0), 0, 0, 0, 83),
    "tmdl/ms-sales": (11, 97, 29, 2, (5, 1), 2, 0, 12, 83),
}


@shared
@pytest.mark.parametrize("name, expected", OBJECTS.items())
def test_model_objects_and_every_reference_resolved_or_explained(name, expected):
    model = load_model(MODELS / name)
    tables = model.tables.values()
    counts = (
        len(tables), sum(len(t.columns) for t in tables), sum(len(t.measures) for t in tables),
        sum(len(t.hierarchies) for t in tables),
        (len(model.relationships), sum(not r.active for r in model.relationships)), len(model.roles),
        len(model.functions), sum(len(t.calculation_items) for t in tables),
        len(DependencyGraph.build(model).unused()),
    )
    assert counts == expected
    lines = {}
    for formula, found in resolve_model(model):
        assert model.owner(formula) is not None
        if isinstance(found, Exception):
            continue
        for resolution in found:
            assert (resolution.target is not None) == (resolution.status == "resolved")
            assert bool(resolution.candidates) == (resolution.status == "ambiguous")
            # The span maps to the name in the file (TMDL keeps the text as is).
            if name.startswith("tmdl"):
                path = pathlib.Path(formula.file)
                line, column = resolution.line, resolution.column
                text = lines.setdefault(path, path.read_text(encoding="utf-8").split("\n"))[line - 1]
                assert text[column - 1:].startswith(resolution.reference.text.split("\n")[0])
    for obj in model.objects():
        assert obj.file.startswith(str(MODELS / name)) and obj.line > 0 and obj.column > 0


@shared
def test_categories_over_the_shared_models():
    counts = collections.Counter()
    for path in sorted([*(MODELS / "bim").iterdir(), *(MODELS / "tmdl").iterdir()]):
        for _, found in resolve_model(load_model(path)):
            if not isinstance(found, Exception):
                counts.update((r.status, r.how) for r in found if r.status in ("ambiguous", "unknown"))
    # No ambiguous reference is left; the unknown ones are those check reports.
    assert counts == {("unknown", "unknown table"): 2, ("unknown", "unknown table or variable"): 1}


def resolve(text, owner):
    """(status, how, target or suggestion or candidates) of each reference
    of `text` read as the formula of `owner` in the test model, but calls of
    built-in functions and variables."""
    model = load_model(DEPS)
    (obj,) = find_objects(model, owner)
    formula = dataclasses.replace(obj.formulas[0], text=text)
    model._owners[id(formula)] = obj
    resolver = Resolver(model)
    return [(r.status, r.how, r.target.dax if r.target else r.suggestion or [c.dax for c in r.candidates])
            for r in resolver.resolve(formula, resolver.formula_references(formula))
            if r.how not in ("built-in function", "variable")]


CASES = [
    # a measure's bare column is a column of its table; a measure wins over a column
    ("SUM ( [Discount] ) + [Revenue]", "[Margin]",
     [("resolved", "column of the measure's table", "'Sales'[Discount]"), ("resolved", "measure", "'Sales'[Revenue]")]),
    # the iterated table, also through FILTER; a measure under its table's name
    ("SUMX ( FILTER ( 'Date', 1 ), [Month] ) + Sales[Revenue]", "[Margin]",
     [("resolved", "table", "'Date'"), ("resolved", "column of the iterated table", "'Date'[Month]"),
      ("resolved", "measure with its table", "'Sales'[Revenue]")]),
    # a calculated column's row context; a hierarchy and a column's date hierarchy
    ("[Month] & 'Date'[Calendar].[Year] & 'Date'[Date].[Year]", "'Date'[Year]",
     [("resolved", "column of the formula's table", "'Date'[Month]"), ("resolved", "hierarchy", "'Date'[Calendar]"),
      ("resolved", "date hierarchy of a column", "'Date'[Date]")]),
    # names the formula makes, anonymous tables, keywords
    ('SUMX ( ADDCOLUMNS ( {1}, "x", 1 ), [x] + [Value] + \'\'[Value] ) & RANKX ( Sales, [Revenue], , DESC )',
     "[Margin]",
     [("local", "column made in the formula", []), ("local", "column made in the formula", []),
      ("local", "column of an anonymous table", []), ("resolved", "table", "'Sales'"),
      ("resolved", "measure", "'Sales'[Revenue]"), ("builtin", "keyword argument", [])]),
    # misspellings, with the close name
    ("[Revenu] + Sales[Quantty] + Sale[Price] + SUMM ( 1 ) + Dat", "[Margin]",
     [("unknown", "no measure or column of that name", "[Revenue]"),
      ("unknown", "no column or measure of that name in 'Sales'", "'Sales'[Quantity]"),
      ("unknown", "unknown table", "'Sales'[Price]"), ("unknown", "unknown function", "SUM"),
      ("unknown", "unknown table or variable", "'Date'")]),
    # a column of a table variable; a measure of another table under the wrong name
    ("VAR t = Sales RETURN SUMX ( t, t[Price] ) + 'Date'[Revenue]", "[Margin]",
     [("resolved", "table", "'Sales'"), ("local", "column of a table variable or parameter", []),
      ("unknown", "a measure of another table under this table's name", "'Sales'[Revenue]")]),
    # a column the iterated expression makes wins over the model's (and the measure's table's) column
    ('SUMX ( SUMMARIZE ( Sales, Sales[Price], "Quantity", 1 ), [Quantity] * [Price] )', "[Margin]",
     [("resolved", "table", "'Sales'"), ("resolved", "column", "'Sales'[Price]"),
      ("local", "column made in the formula", []), ("resolved", "column of the measure's table", "'Sales'[Price]")]),
    # also through a variable, FILTER and parentheses
    ('VAR t = FILTER ( ( ADDCOLUMNS ( VALUES ( Sales[Price] ), "Quantity", 1 ) ), 1 ) RETURN MAXX ( t, [Quantity] )',
     "[Margin]", [("resolved", "column", "'Sales'[Price]"), ("local", "column made in the formula", [])]),
    # a model table iterated keeps its columns, whatever the formula makes elsewhere
    ('SUMX ( Sales, [Quantity] ) + COUNTROWS ( ADDCOLUMNS ( \'Date\', "Quantity", 1 ) )', "[Margin]",
     [("resolved", "table", "'Sales'"), ("resolved", "column of the iterated table", "'Sales'[Quantity]"),
      ("resolved", "table", "'Date'")]),
    # a bare column of no table in row context here: another table's only column is a guess, not a fact
    ("SUM ( [Month] ) + SUMX ( 'Date', [Month] )", "[Margin]",
     [("ambiguous", "no table in row context here has a column of that name", ["'Date'[Month]"]),
      ("resolved", "table", "'Date'"), ("resolved", "column of the iterated table", "'Date'[Month]")]),
    # ... which is taken where an iterated table cannot be told and may be that one
    ("VAR t = TOPN ( 1, 'Date' ) RETURN SUMX ( t, [Month] )", "[Margin]",
     [("resolved", "table", "'Date'"), ("resolved", "the only column of that name", "'Date'[Month]")]),
]


@pytest.mark.parametrize("text, owner, expected", CASES)
def test_resolution_cases(text, owner, expected):
    assert resolve(text, owner) == expected


SHARED_MODEL_PATHS = sorted([*(MODELS / "bim").iterdir(), *(MODELS / "tmdl").iterdir()]) if MODELS.is_dir() else []


@pytest.mark.parametrize("path", [DEPS, *SHARED_MODEL_PATHS], ids=lambda path: path.name)
def test_the_parts_of_a_graph_that_deps_draws(path):
    graph = DependencyGraph.build(load_model(path))
    assert graph.edges_among(graph.objects) == graph.edges
    for cycle in graph.cycles():
        along = graph.edges_along(cycle)
        assert [(edge.source, edge.target) for edge in along] == list(zip(cycle, cycle[1:]))
    order = {id(edge): number for number, edge in enumerate(graph.edges)}
    for start in graph.objects[::7]:
        part = [start, *graph.upstream(start, deep=True)]
        inside = {id(obj) for obj in part}
        among = graph.edges_among(part)
        # every direct use of the start is drawn, nothing leaves the part, and the graph's order is kept
        assert all(edge in among for edge in graph.uses(start))
        assert all(id(edge.source) in inside and id(edge.target) in inside for edge in among)
        assert [order[id(edge)] for edge in among] == sorted(order[id(edge)] for edge in among)


def test_the_cycle_of_the_written_model_is_drawn_by_its_formula_edges():
    graph = DependencyGraph.build(load_model(DEPS))
    (cycle,) = graph.cycles()
    assert [(edge.source.dax, edge.target.dax, edge.via) for edge in graph.edges_along(cycle)] == [
        ("'Sales'[Loop A]", "'Sales'[Loop B]", "formula"), ("'Sales'[Loop B]", "'Sales'[Loop A]", "formula")]
    assert graph.edges_along(cycle[:1] * 2) == []  # a step without a use draws nothing


def test_where_a_resolution_is_said_in_lines_and_columns():
    # Deps.SemanticModel's [Margin] misspells [Revenue] on line 15 at column 17.
    model = load_model(DEPS)
    (found,) = [r for r in DependencyGraph.build(model).resolutions if r.status == "unknown"]
    assert found.reference.text == "[Revenu]"
    assert (found.line, found.column, found.end_line, found.end_column) == (15, 17, 15, 25)
    # The old names, (line, column) pairs unlike every other start, still
    # answer for one release, with a warning.
    with pytest.warns(DeprecationWarning, match="Resolution.line and Resolution.column"):
        assert found.start == (15, 17)
    with pytest.warns(DeprecationWarning, match="end_line"):
        assert found.end == (15, 25)
