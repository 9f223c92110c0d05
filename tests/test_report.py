"""The report reader: what sampled visuals of the five shared reports use,
written down by reading their JSON by hand; properties over every field
reference of those reports (its raw span spells its name, and re-encoding
the name gives the same bytes back; its line and column are its span's);
and small reports written here for what the shared ones do not hold
(hierarchy levels, automatic date hierarchies, visual calculations, escapes
inside a PBIR-Legacy string)."""

import collections
import csv
import json
from pathlib import Path

import pytest

from quarrow_dax.model import load_model
from quarrow_dax.project import load_project
from quarrow_dax.report import KINDS, WHERES, _json, catalog, decide, load_report
from quarrow_dax.sources import read_text

REPORTS = Path(__file__).resolve().parents[1].parent / "shared" / "reports"
needs_reports = pytest.mark.skipif(not REPORTS.is_dir(), reason=f"shared reports not found: {REPORTS}")

_PROJECTS = {}


def project(folder):
    """The shared project in `folder` (read once)."""
    if folder not in _PROJECTS:
        report = next((REPORTS / folder).glob("*.Report"))
        _PROJECTS[folder] = load_project(report)
    return _PROJECTS[folder]


def visual_uses(folder, page, visual):
    """(where, table, name, kind) of every use of one visual outside bookmarks."""
    (report,) = project(folder).reports
    return collections.Counter((use.where, use.table, use.name, use.kind) for use in report.uses
                               if use.page == page and use.visual == visual and use.where != "bookmark")


def fields(where, table, kind, *names):
    return collections.Counter({(where, table, name, kind): names.count(name) for name in names})


COMPOUNDS = ["Total Cost", "Compound.Pill", "Compound.ProgressBar", "Compound.Line", "Compound.Area", "Compound.Bars",
             "Compound.BoxPlot", "Compound.Jitter", "Compound.Violin", "Compound.Heatmap", "Jitter and Violin"]
GATEWAY_LOGS = ["EventText", "Date", "Hour1", "Level", "ActivityType", "Hash", "GatewayId", "ClientActivityId",
                "ActivityId", "HelperId"]

# (folder, page, visual, label, what it uses), read from the report files by hand.
SAMPLES = [
    ("daxlib-svg", "902cec008deba35e047b", "6e0ffc4f1e436975ca61", "Table",
     fields("visual projection", "Products", "column", "Brand")
     + fields("visual projection", "_Measures", "measure", *COMPOUNDS, "Jitter and Violin")
     + fields("sort", "_Measures", "measure", "Total Cost")
     + fields("visual state", "Products", "column", "Brand")
     + fields("visual filter", "Products", "column", "Brand")
     + fields("visual filter", "_Measures", "measure", *COMPOUNDS)),
    ("daxlib-svg", "902cec008deba35e047b", "acb4b55a2e878070d09a", "All",
     fields("visual projection", "Orientation", "column", "Orientation")
     + fields("slicer selection", "Orientation", "column", "Orientation")
     + fields("visual filter", "Orientation", "column", "Orientation")),
    ("daxlib-svg", "902cec008deba35e047b", "e432657177ab5a780031", "Cards",
     fields("visual projection", "Cards", "column", "Compound")
     + fields("conditional formatting", "Cards", "measure", "Card")),
    ("daxlib-svg", "902cec008deba35e047b", "d3810a03205bc00ea6c3", "Title", collections.Counter()),
    ("ms-sales-legacy", "ReportSection61481e08c8c340011ce0", "3852e5607b224b8ebd1a", "tableEx",
     fields("visual projection", "Calendar", "column", "Year")
     + fields("visual projection", "Product", "column", "Product", "Product Code")
     + fields("visual projection", "Customer", "column", "Customer")
     + fields("visual projection", "Sales", "measure", "Margin", "Sales Qty")
     + fields("sort", "Parameter - Dimension", "column", "Parameter - Dimension")
     + fields("field parameter", "Parameter - Dimension", "column", "Parameter - Dimension")
     + fields("field parameter", "Parameter - Measure", "column", "Parameter - Measure")),
    # The visual filter's own alias "s" is 'Smart Calcs', the query's "s" is Sales.
    ("ms-sales-legacy", "ReportSection89a9619c7025093ade1c", "c258740674a8a53d2c4c", "card",
     fields("visual projection", "Sales", "measure", "Sales Amount")
     + fields("sort", "Calendar", "column", "Year")
     + fields("visual filter", "Smart Calcs", "column", "Smart Calc", "Smart Calc")),
    ("ms-sales-legacy", "ReportSection61481e08c8c340011ce0", "8c05ec5365e4a086b40d", "slicer",
     fields("visual projection", "Parameter - Measure", "column", "Parameter - Measure")
     + fields("slicer selection", "Parameter - Measure", "column", "Parameter - Measure Fields")
     + fields("visual state", "Parameter - Measure", "column", "Parameter - Measure Fields",
              "Parameter - Measure Fields")),
    # Selectors naming a field by its query name ("QueryExecutionUnified.Success") mean that
    # field; those naming a table neither the visual nor the model has stay unknown.
    ("gateway-monitoring", "50e28b8373fc0a637be4", "77bdc336545f726b103a", "Erros per Query",
     fields("visual projection", "Query Execution", "column", "OperationType", "Success", "NodeName",
            "QueryTrackingId", "ErrorMessage")
     + fields("conditional formatting", "Query Execution", "column", "Success", "Success", "Success")
     + fields("formatting selector", "Query Execution", "column", "Success", "ErrorMessage", "Success",
              "QueryTrackingId", "Success")
     + fields("formatting selector", "Gateway Logs", "unknown", *GATEWAY_LOGS)),
    ("fuam-item-analyzer", "a8201acb6b6000ff7f60", "9be1c85e3827c38011cb", "Semantic Model BPA Violation Details",
     None),  # its projections and selectors below; its ten filters in test_topn_subquery_has_its_own_aliases
    ("k201-monthslicer", "5b9de88f152744001bbe", "2e9a2ed54edb7599bd70", "OTD % (Value) for August",
     fields("visual projection", "On-Time Delivery", "report measure", "OTD % (Value; PY REPT)")
     + fields("visual projection", "On-Time Delivery", "unknown", "OTD % (Value)")
     + fields("visual projection", "Date", "unknown", "Calendar Year (ie 2021)")),
]


@needs_reports
@pytest.mark.parametrize("folder, page, visual, label, expected", SAMPLES, ids=lambda v: str(v)[:30])
def test_what_sampled_visuals_use(folder, page, visual, label, expected):
    (report,) = project(folder).reports
    assert report.visual(page, visual).label == label
    found = visual_uses(folder, page, visual)
    if expected is None:
        expected = (fields("visual projection", "semantic_model_bpa_results", "column", "RunName", "Scope", "ObjectName")
                    + fields("visual projection", "semantic_model_bpa_rule_catalog", "column", "RuleName",
                             "Description", "URL")
                    + fields("formatting selector", "semantic_model_bpa_rule_catalog", "column", "Description", "URL",
                             "RuleName", "Description", "URL")
                    + fields("formatting selector", "semantic_model_bpa_results", "column", "ObjectName"))
        found = collections.Counter({key: count for key, count in found.items() if key[0] != "visual filter"})
    assert found == expected


@needs_reports
def test_topn_subquery_has_its_own_aliases():
    # The TopN filter's subquery declares "s" and "m"; the outer filter its own "s".
    found = visual_uses("fuam-item-analyzer", "a8201acb6b6000ff7f60", "9be1c85e3827c38011cb")
    filters = {key: count for key, count in found.items() if key[0] == "visual filter"}
    assert filters[("visual filter", "Metrics", "Last Run OM-SM", "measure")] == 1
    assert filters[("visual filter", "semantic_model_bpa_results", "RunId", "column")] == 3
    assert all(kind != "unknown" for _, _, _, kind in filters)


MANIFEST = list(csv.DictReader((REPORTS / "MANIFEST.tsv").open(encoding="utf-8"), delimiter="\t")) \
    if REPORTS.is_dir() else []


@needs_reports
@pytest.mark.parametrize("row", MANIFEST, ids=lambda row: row["folder"])
def test_pages_visuals_bookmarks_and_report_measures_as_the_manifest_counts(row):
    (report,) = project(row["folder"]).reports
    assert report.format == row["format"].split(" ")[0]
    assert (len(report.pages), len(report.visuals), len(report.bookmarks), len(report.measures)) == (
        int(row["pages"]), int(row["visuals"]), int(row["bookmarks"]), int(row["report_measures"]))
    assert report.problems == []
    assert {use.where for use in report.uses} <= set(WHERES)
    assert {use.kind for use in report.uses} <= set(KINDS)


STALE = {
    # folder: the used fields (not selectors) the model lacks, as (where, table, name)
    "daxlib-svg": {("bookmark", "_Measures", "Compound.Bar"), ("bookmark", "_Measures", "Compound.Bullet")},
    "ms-sales-legacy": {("visual projection", "Sales", "_Margin Status"),
                        ("conditional formatting", "Sales", "_Margin Status")},
    "gateway-monitoring": {("conditional formatting", "Queries", "Success formatting")},
    "fuam-item-analyzer": set(),
}


@needs_reports
@pytest.mark.parametrize("folder", sorted(STALE))
def test_stale_references_are_the_unknown_ones(folder):
    (report,) = project(folder).reports
    assert {(use.where, use.table, use.name) for use in report.uses
            if use.kind == "unknown" and use.used} == STALE[folder]


@needs_reports
def test_gateway_selectors_name_tables_the_model_has_not():
    (report,) = project("gateway-monitoring").reports
    tables = {use.table for use in report.uses if use.where == "formatting selector" and use.kind == "unknown"}
    assert {"Logs", "Queries", "QueryExecutionUnified"} <= tables
    assert not tables & set(project("gateway-monitoring").model.tables)


@needs_reports
def test_without_a_model_only_report_measures_are_decided():
    found = project("k201-monthslicer")
    assert found.model is None and found.reports[0].dataset.database == "K201 - MonthSlicer"
    kinds = collections.Counter(use.kind for use in found.uses)
    assert set(kinds) == {"unknown", "report measure"} and kinds["report measure"] > 0
    # A bare [name] in report DAX takes its table from the measure's own reference list.
    bare = [use for use in found.uses if use.where == "report measure" and use.written == "dax"
            and use.name == "OTD % (Value)"]
    assert bare and {use.table for use in bare} == {"On-Time Delivery"}


# --- every use over the shared reports ------------------------------------------------


def _decoded(raw, depth):
    value = raw
    for _ in range(depth):
        value = json.loads(value if value.startswith('"') else '"' + value + '"')
    return value


@needs_reports
@pytest.mark.parametrize("folder", [row["folder"] for row in MANIFEST])
def test_every_span_spells_its_name_and_splices_back_identically(folder):
    texts = {}
    uses = project(folder).uses
    assert uses
    for use in uses:
        if use.written == "dax":
            text = use.formula.text.encode("utf-8")
            start, end = use.dax_span
            assert use.name.replace("]", "]]") in text[start:end].decode("utf-8")
            continue
        for span, name in ((use.name_span, use.name), (use.table_span, use.table), (use.level_span, use.level)):
            if span is None:
                continue
            text = texts.setdefault(span.file, read_text(span.file))
            raw = text[span.start : span.end]
            value = _decoded(raw, span.depth)
            if use.written in ("metadata", "queryRef"):
                assert value == use.selector
            else:
                assert value == name and span.text(name) == raw
        if use.name_span is not None:
            before = texts[use.name_span.file][: use.name_span.start]
            assert (use.line, use.column) == (before.count("\n") + 1, len(before) - before.rfind("\n"))


@needs_reports
def test_legacy_uses_sit_inside_json_strings():
    spans = [use.name_span for use in project("ms-sales-legacy").uses if use.name_span is not None]
    assert {span.depth for span in spans} == {2} and all(span.file.endswith("report.json") for span in spans)
    assert {span.depth for use in project("daxlib-svg").uses for span in [use.name_span] if span} == {1}


@needs_reports
def test_report_measures_keep_their_dax_and_its_place():
    (report,) = project("k201-monthslicer").reports
    measure = report.measure("On-Time Delivery", "Cond. Color 3")
    text = read_text(measure.formula.file)
    assert measure.text.startswith("\r\nVAR _Actual = [OTD % (Value)]")
    # The text's second line begins right after the first escaped line break.
    line, column = measure.formula.locate(2, 1)
    file_line = text.splitlines()[line - 1]
    assert file_line[column - 1 :].startswith("VAR _Actual = [OTD % (Value)]\\r\\nVAR _Target")
    assert measure.formula.line_map[0] == (line, column - len('\\r\\n'))


# --- small reports for what the shared ones lack ----------------------------------------


def write(folder, files):
    for name, content in files.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(content if isinstance(content, str) else json.dumps(content, indent=2), encoding="utf-8")
    return folder


def column(table, name, wrapper="Column"):
    return {wrapper: {"Expression": {"SourceRef": {"Entity": table}}, "Property": name}}


MODEL = {
    "M.SemanticModel/definition/model.tmdl": "model Model\n",
    "M.SemanticModel/definition/tables/Sales.tmdl": (
        "table Sales\n\tmeasure Total = 1\n\tcolumn OrderDate\n\t\tdataType: dateTime\n\tcolumn Qty\n"
        "\thierarchy Calendar\n\t\tlevel Year\n\t\t\tcolumn: OrderDate\n"
    ),
}


def pbir(visual, **extra):
    files = {
        "R.Report/definition.pbir": {"version": "4.0", "datasetReference": {"byPath": {"path": "../M.SemanticModel"}}},
        "R.Report/definition/report.json": {},
        "R.Report/definition/pages/pages.json": {"pageOrder": ["p1"]},
        "R.Report/definition/pages/p1/page.json": {"name": "p1", "displayName": "One"},
        "R.Report/definition/pages/p1/visuals/v1/visual.json": {"name": "v1", "visual": visual},
    }
    files.update(extra)
    return {**MODEL, **files}


def test_kinds_are_the_models_whatever_the_wrapper_says(tmp_path):
    visual = {"visualType": "table", "query": {"queryState": {"Values": {"projections": [
        {"field": column("Sales", "Total"), "queryRef": "Sales.Total"},  # a measure written as a column
        {"field": column("Sales", "Qty", "Measure"), "queryRef": "Sales.Qty"},  # a column written as a measure
        {"field": column("sales", "QTY"), "queryRef": "x"},  # names are compared without case
        {"field": column("Sales", "Gone"), "queryRef": "y"},
    ]}}}}
    found = load_project(write(tmp_path, pbir(visual)) / "R.Report")
    assert [(use.name, use.written, use.kind) for use in found.uses] == [
        ("Total", "Column", "measure"), ("Qty", "Measure", "column"), ("QTY", "Column", "column"),
        ("Gone", "Column", "unknown")]


def test_hierarchy_levels_date_variations_and_visual_calculations(tmp_path):
    level = {"HierarchyLevel": {"Expression": {"Hierarchy": {"Expression": {"SourceRef": {"Entity": "Sales"}},
                                                             "Hierarchy": "Calendar"}}, "Level": "Year"}}
    variation = {"HierarchyLevel": {"Expression": {"Hierarchy": {"Expression": {"PropertyVariationSource": {
        "Expression": {"SourceRef": {"Entity": "Sales"}}, "Name": "Variation", "Property": "OrderDate"}},
        "Hierarchy": "Date Hierarchy"}}, "Level": "Quarter"}}
    calculation = {"NativeVisualCalculation": {"Language": "dax", "Expression": "RUNNINGSUM ( [Total] )",
                                               "Name": "Running"}}
    visual = {"visualType": "table", "query": {"queryState": {"Rows": {"projections": [
        {"field": level, "queryRef": "a"}, {"field": variation, "queryRef": "b"},
        {"field": calculation, "queryRef": "c"}]}}}}
    found = load_project(write(tmp_path, pbir(visual)) / "R.Report")
    assert [(use.table, use.name, use.kind, use.hierarchy, use.level) for use in found.uses] == [
        ("Sales", "Calendar", "hierarchy level", None, "Year"),
        ("Sales", "OrderDate", "column", "Date Hierarchy", "Quarter")]
    (formula,) = found.reports[0].formulas
    assert (formula.kind, formula.name, formula.text, formula.page, formula.visual) == (
        "visual calculation", "Running", "RUNNINGSUM ( [Total] )", "p1", "v1")
    text = read_text(formula.span.file)
    assert text[formula.span.start : formula.span.end] == '"RUNNINGSUM ( [Total] )"'
    assert found.uses[0].level_span.text("Year") == '"Year"'


def test_positions_inside_a_legacy_string_with_escapes(tmp_path):
    # The config string holds escapes before the field: each of \u00e9, an escaped
    # surrogate pair and \" stands for one character of the inner text.
    inner = {"name": "v\u00e9\U0001f600", "singleVisual": {"visualType": "card", "prototypeQuery": {
        "Version": 2, "From": [{"Name": "s", "Entity": "Sal\"es", "Type": 0}],
        "Select": [{"Measure": {"Expression": {"SourceRef": {"Source": "s"}}, "Property": "T\u00f6tal"},
                    "Name": "x"}]}}}
    config = json.dumps(inner, ensure_ascii=True)
    report = {"config": "{}", "sections": [{"name": "s1", "displayName": "S", "filters": "[]",
                                             "visualContainers": [{"config": config, "filters": "[]"}]}]}
    root = tmp_path / "L.Report"
    text = json.dumps(report, indent=2, ensure_ascii=True)
    write(tmp_path, {"L.Report/report.json": text, "L.Report/definition.pbir": {"version": "4.0", "datasetReference": {
        "byConnection": {"connectionString": "Data Source=x;Initial Catalog=Nowhere"}}}})
    report = load_report(root)
    assert report.problems == [] and report.visuals[0].name == "v\u00e9\U0001f600"
    (use,) = report.uses
    assert (use.table, use.name) == ('Sal"es', "T\u00f6tal")
    raw = text[use.name_span.start : use.name_span.end]
    assert raw == '\\"T\\\\u00f6tal\\"' and _decoded(raw, 2) == "T\u00f6tal"
    assert text[use.table_span.start : use.table_span.end] == '\\"Sal\\\\\\"es\\"'
    line_text = text.splitlines()[use.line - 1]
    assert line_text[use.column - 1 :].startswith('\\"T\\\\u00f6tal')


CONNECTIONS = [
    ('Data Source="powerbi://x/Report Templates [DEV]";initial catalog="K201 - MonthSlicer";access mode=readonly',
     "K201 - MonthSlicer"),
    ("Data Source=powerbi://x;Initial Catalog=Gateway Monitoring;Integrated Security=ClaimsToken", "Gateway Monitoring"),
    ("INITIAL CATALOG = 'It''s' ; x=1", "It's"),
    ('initial catalog="a;b"', "a;b"),
    ("Data Source=x", None),
    ("", None),
]


@pytest.mark.parametrize("connection, name", CONNECTIONS)
def test_the_model_a_connection_string_names(connection, name):
    assert catalog(connection) == name


def test_decide_is_by_the_model_given(tmp_path):
    write(tmp_path, pbir({"visualType": "card", "query": {"queryState": {"Values": {"projections": [
        {"field": column("Sales", "Total"), "queryRef": "q"}]}}}}))
    alone = load_report(tmp_path / "R.Report")
    assert [use.kind for use in alone.uses] == ["unknown"]
    model = load_model(tmp_path / "M.SemanticModel")
    assert [use.kind for use in decide(alone, model).uses] == ["measure"]
    assert [use.kind for use in load_report(tmp_path / "R.Report", model).uses] == ["measure"]


def test_an_alias_means_the_table_of_the_innermost_from_declaring_it(tmp_path):
    # The subquery's "s" is Sales; the filter's own "s" is Other; "m" only the subquery has.
    def ref(alias, name, wrapper="Column"):
        return {wrapper: {"Expression": {"SourceRef": {"Source": alias}}, "Property": name}}

    subquery = {"Query": {"Version": 2, "From": [{"Name": "s", "Entity": "Sales", "Type": 0},
                                                 {"Name": "m", "Entity": "Sales", "Type": 0}],
                          "Select": [ref("s", "Qty")], "OrderBy": [{"Direction": 2, "Expression": ref("m", "Total")}]}}
    topn = {"Version": 2, "From": [{"Name": "sub", "Expression": {"Subquery": subquery}, "Type": 2},
                                   {"Name": "s", "Entity": "Other", "Type": 0}],
            "Where": [{"Condition": {"In": {"Expressions": [ref("s", "Key")], "Table": {"SourceRef": {"Source": "sub"}}}}},
                      {"Condition": {"Comparison": {"ComparisonKind": 0, "Left": ref("m", "Qty"),
                                                    "Right": {"Literal": {"Value": "1L"}}}}}]}
    visual_file = {"name": "v1", "visual": {"visualType": "card"},
                   "filterConfig": {"filters": [{"name": "f", "field": column("Other", "Key"), "type": "TopN",
                                                 "filter": topn}]}}
    files = pbir({})
    files["R.Report/definition/pages/p1/visuals/v1/visual.json"] = visual_file
    report = load_report(write(tmp_path, files) / "R.Report")
    assert [(use.where, use.table, use.name) for use in report.uses] == [
        ("visual filter", "Other", "Key"), ("visual filter", "Sales", "Qty"), ("visual filter", "Sales", "Total"),
        ("visual filter", "Other", "Key")]
    # "m" is not declared where the outer condition uses it: a located warning, no use.
    (problem,) = report.problems
    assert (problem.code, problem.severity) == ("W003", "warning") and '"m" is not declared' in problem.message
    text = read_text(problem.path)
    assert text.splitlines()[problem.line - 1][problem.column - 1 :].startswith('"m"')


@needs_reports
@pytest.mark.parametrize("row", MANIFEST, ids=lambda row: row["folder"])
def test_the_fast_reading_finds_what_the_careful_one_finds(row, monkeypatch):
    # The fast path places only what holds a field reference; reading every
    # value with its place must give the same uses, spans and pages.
    folder = next((REPORTS / row["folder"]).glob("*.Report"))
    fast = load_report(folder)
    monkeypatch.setattr(_json, "_read_fast", lambda source: _json._SLOW)
    careful = load_report(folder)
    assert fast.uses == careful.uses and len(fast.uses) > 100
    assert [(v.name, v.type, v.title, v.line, v.column) for v in fast.visuals] == \
        [(v.name, v.type, v.title, v.line, v.column) for v in careful.visuals]
    assert [(f.name, f.text, f.span) for f in fast.formulas] == [(f.name, f.text, f.span) for f in careful.formulas]


@needs_reports
def test_placed_values_spell_themselves():
    # Every value the fast reading gives a place: the text at it decodes to the value.
    files = [path for path in REPORTS.glob("*/*.Report/**/*.json") if "StaticResources" not in path.parts]
    checked = 0
    for path in files:
        text = read_text(path)
        stack = [_json._read_fast(text)]
        while stack:
            value = stack.pop()
            if isinstance(value, (_json.JsonObject, _json.JsonArray, _json.JsonString)):
                assert json.loads(text[value.start : value.end]) == value
                checked += 1
            if isinstance(value, _json.JsonObject):
                stack.extend(value.values())
            elif isinstance(value, _json.JsonArray):
                stack.extend(value)
    assert checked > 10_000


@needs_reports
@pytest.mark.parametrize("row", MANIFEST, ids=lambda row: row["folder"])
def test_deciding_in_place_gives_what_deciding_a_copy_gives(row):
    # load_projects decides the reports it has just read where they are;
    # every other caller gets a new report and its own uses untouched.
    project = load_project(REPORTS / row["folder"])
    if project.model is None:
        pytest.skip("no model beside this report")
    for decided in project.reports:
        read = load_report(decided.path)
        before = list(read.uses)
        kinds = [use.kind for use in before]
        copied = decide(read, project.model)
        assert read.uses == before and all(a is b for a, b in zip(read.uses, before))
        assert [use.kind for use in read.uses] == kinds  # the copy left them alone
        in_place = decide(read, project.model, in_place=True)
        assert in_place is read and in_place.uses == copied.uses == decided.uses
        assert [use.kind for use in in_place.uses] != kinds


@pytest.mark.parametrize("enabled, fails", [(True, False), (False, False), (True, True), (False, True)])
def test_reading_leaves_the_garbage_collector_as_it_found_it(tmp_path, enabled, fails):
    import gc

    from quarrow_dax.report import ReportError
    from quarrow_dax.collector import paused as collection_paused

    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        with pytest.raises(ReportError) if fails else collection_paused():
            if fails:
                load_report(tmp_path / "missing.Report")
            else:
                assert not gc.isenabled()
        assert gc.isenabled() == enabled
    finally:
        (gc.enable if was else gc.disable)()
