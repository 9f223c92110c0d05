"""quarrow_dax.diff over real files: two versions of a small project written
with a change of every kind (tests/data/diff, TMDL and .bim), checked by
hand; and pairs made from the shared models: a formatted copy, a .bim
written again with other white space, a formula changed in meaning, a
measure renamed with every reference to it."""

import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import writable_copy

from quarrow_dax.diff import compare
from quarrow_dax.graph import DependencyGraph, find_objects
from quarrow_dax.model import ModelError, load_model, read_model
from quarrow_dax.model.writing import rewrite_formulas
from quarrow_dax.project import ProjectError, load_project
from quarrow_dax.report.extension import extended_model
from quarrow_dax.resolution import resolve_model

DATA = Path(__file__).parent / "data" / "diff"
MODELS = Path(__file__).resolve().parents[1].parent / "shared" / "models"
needs_models = pytest.mark.skipif(not MODELS.is_dir(), reason=f"shared models not found: {MODELS}")
SHARED = sorted(path.name + "/" + child.name for path in MODELS.iterdir() if path.is_dir()
                for child in path.iterdir() if child.is_dir()) if MODELS.is_dir() else []


def model_path(name):
    """The model folder of a shared model as load_model reads it."""
    folder = MODELS / name
    return folder / "definition" if (folder / "definition").is_dir() else folder


def record(change):
    return (change.change, change.kind, change.object, change.part,
            tuple(change.old) if isinstance(change.old, list) else change.old,
            tuple(change.new) if isinstance(change.new, list) else change.new)


# Every change between tests/data/diff/old and new, as the files were written:
# (change, kind, object, part, old, new).
MODEL_CHANGES = {
    ("added", "function", "Triple", None, None, "(x) => x * 3"),
    ("added", "measure", "'Sales'[Discounts]", None, None, "SUM ( Sales[Discount] )"),
    ("added", "column", "'Sales'[Discount]", None, None, None),
    ("added", "table", "'Stores'", None, None, None),
    ("removed", "function", "Half", None, "(x) => x / 2", None),
    ("removed", "measure", "'Sales'[Old Measure]", None, "[Revenue] * 0.9", None),
    # by lineage tag (measure and column) and, with no tag, by formula
    ("renamed", "measure", "'Sales'[Gross Margin]", None, "'Sales'[Margin]", "'Sales'[Gross Margin]"),
    ("renamed", "measure", "'Sales'[Average Price]", None, "'Sales'[Avg Price]", "'Sales'[Average Price]"),
    ("renamed", "column", "'Sales'[Unit Price]", None, "'Sales'[Price]", "'Sales'[Unit Price]"),
    ("changed", "table", "'Products'", "expression", "DISTINCT ( Sales[Product] )", "VALUES ( Sales[Product] )"),
    ("changed", "measure", "'Sales'[Revenue]", "expression", "SUMX ( Sales, Sales[Quantity] * Sales[Price] )",
     "SUMX ( Sales, Sales[Quantity] * Sales[Unit Price] ) - [Discounts]"),
    ("changed", "calculation item", "'Time Calc'[PY]", "expression",
     "CALCULATE ( SELECTEDMEASURE ( ), SAMEPERIODLASTYEAR ( 'Date'[Date] ) )",
     "CALCULATE ( SELECTEDMEASURE ( ), DATEADD ( 'Date'[Date], -1, YEAR ) )"),
    ("properties", "relationship", "relationship 'Sales'[Ship Date] -> 'Date'[Date]", "active", "false", "true"),
    ("properties", "relationship", "relationship 'Sales'[Product] -> 'Products'[Product]", "cross-filtering",
     "oneDirection", "bothDirections"),
    ("properties", "role", "role 'Readers'", "filter on 'Sales'", "Sales[Quantity] > 0", "Sales[Quantity] > 10"),
    ("properties", "column", "'Date'[Month]", "sort by", None, "Month Number"),
    ("properties", "measure", "'Sales'[Margin %]", "format string", "0.0%", "0.00%"),
    ("properties", "measure", "'Sales'[Margin %]", "display folder", "Ratios", "KPIs"),
    ("properties", "column", "'Sales'[Cost]", "data type", "decimal", "double"),
    ("properties", "column", "'Sales'[Cost]", "hidden", "false", "true"),
    ("properties", "table", "'Time Calc'", "calculation item order", "Current, YTD, PY", "Current, PY, YTD"),
}
# Differences of text alone: a reformatted measure with a comment and a
# quoted table, a built-in name's case, white space in a row filter. Neither
# 'Margin %' nor 'Line Total', which only follow renames, is listed.
LAYOUT = {
    ("layout", "measure", "'Sales'[Cost Total]", "expression"),
    ("layout", "measure", "'Sales'[Units]", "expression"),
    ("layout", "role", "role 'Readers'", "filter on 'Products'"),
}
REPORT_CHANGES = {
    ("added", "page", "page 'Trends' of report 'Shop'", None, None, "Trends"),
    ("added", "report measure", "'Sales'[Units LY]", None, None,
     "CALCULATE ( [Units], SAMEPERIODLASTYEAR ( 'Date'[Date] ) )"),
    ("removed", "visual", "visual 'Units' on page 'Overview' of report 'Shop'", None, "Units", None),
    ("changed", "report", "report 'Shop'", "filters", ("report filter: 'Date'[Year]",),
     ("report filter: 'Date'[Month]",)),
    ("changed", "page", "page 'Details' of report 'Shop'", "filters", (), ("page filter: 'Products'[Product]",)),
    # the renamed measure is the same field; the one added is a change
    ("changed", "visual", "visual 'Gross margin by month' on page 'Summary' of report 'Shop'", "fields", (),
     ("visual projection: 'Sales'[Units]",)),
    ("changed", "report measure", "'Sales'[Revenue LY]", "expression",
     "CALCULATE ( [Revenue], SAMEPERIODLASTYEAR ( 'Date'[Date] ) )",
     "CALCULATE ( [Revenue], DATEADD ( 'Date'[Date], -1, YEAR ) )"),
    ("properties", "page", "page 'Summary' of report 'Shop'", "label", "Overview", "Summary"),
    ("properties", "visual", "visual 'Gross margin by month' on page 'Summary' of report 'Shop'", "title",
     "Margin by month", "Gross margin by month"),
    ("properties", "report measure", "'Sales'[Revenue LY]", "format string", None, "#,##0"),
}
PAIRS = {
    "tmdl": (DATA / "old" / "Shop.SemanticModel", DATA / "new" / "Shop.SemanticModel"),
    "bim": (DATA / "bim" / "old", DATA / "bim" / "new"),
}


@pytest.mark.parametrize("form", list(PAIRS))
def test_every_kind_of_change_in_either_format(form):
    changes = compare(*PAIRS[form])
    assert {record(change) for change in changes if change.counts} == MODEL_CHANGES
    assert {record(change)[:4] for change in changes if not change.counts} == LAYOUT
    # grouped by kind of change, in the order reports show them
    kinds = [change.change for change in changes]
    assert kinds == sorted(kinds, key=["added", "removed", "renamed", "changed", "properties", "layout"].index)


@pytest.mark.parametrize("form", list(PAIRS))
def test_impact_is_what_uses_a_change_on_the_new_side(form):
    changes = {change.object: change for change in compare(*PAIRS[form]) if change.counts and change.part != "hidden"}
    downstream = {name: {found.label for found in change.impact if found.relation == "downstream"}
                  for name, change in changes.items()}
    assert downstream["'Sales'[Revenue]"] == {"measure 'Sales'[Gross Margin]", "measure 'Sales'[Margin %]"}
    assert downstream["'Sales'[Unit Price]"] == {
        "column 'Sales'[Line Total]", "measure 'Sales'[Revenue]", "measure 'Sales'[Gross Margin]",
        "measure 'Sales'[Margin %]", "measure 'Sales'[Average Price]"}
    assert downstream["relationship 'Sales'[Ship Date] -> 'Date'[Date]"] == {"measure 'Sales'[Late Units]"}
    assert downstream["'Time Calc'[PY]"] == set()
    # The measure removed is still used by one: a break, at the use.
    (broken,) = changes["'Sales'[Old Measure]"].breaks
    new_file = Path(broken.file)
    line = new_file.read_text(encoding="utf-8").splitlines()[broken.line - 1]
    assert broken.label == "measure 'Sales'[Legacy]" and "[Old Measure]" in line
    assert line[broken.column - 1:].startswith("[Old Measure]")
    # A rename whose uses all follow it breaks nothing.
    assert not changes["'Sales'[Gross Margin]"].breaks and not changes["'Sales'[Unit Price]"].breaks


def test_a_project_compares_reports_with_the_model():
    changes = compare(DATA / "old" / "Shop.pbip", DATA / "new" / "Shop.pbip")
    assert {record(change) for change in changes if change.counts} == MODEL_CHANGES | REPORT_CHANGES
    by_object = {change.object: change for change in changes if change.counts and change.change != "properties"}
    # a visual still showing the removed measure breaks, placed at the field
    breaks = {(found.kind, found.report, found.page, found.visual, found.line)
              for found in by_object["'Sales'[Old Measure]"].breaks}
    assert breaks == {("measure", None, None, None, 29), ("visual", "Shop", "Summary", "Legacy", 24)}
    # a changed measure reaches the visuals showing it and what uses it
    visuals = {found.visual for found in by_object["'Sales'[Revenue]"].impact if found.kind == "visual"}
    assert visuals == {"Revenue", "Gross margin by month", "tableEx"}
    assert {found.visual for found in by_object["'Sales'[Revenue LY]"].impact} == {"tableEx"}


def test_matching_by_formula_follows_matches_made_by_it():
    """Two measures renamed together, one using the other, neither tagged:
    the second's formula is the first's new name only once the first is
    matched."""
    old, new = DATA / "old" / "Shop.SemanticModel", DATA / "new" / "Shop.SemanticModel"
    model_old, model_new = load_model(old), load_model(new)
    for model, names in ((model_old, ("Margin", "Margin %")), (model_new, ("Gross Margin", "Margin %"))):
        for name in names:
            model.measure(name).lineage_tag = None
    renamed_new = model_new.measure("Margin %")
    renamed_new.name = "Margin Ratio"
    changes = [record(change) for change in compare(model_old, model_new) if change.change == "renamed"]
    assert ("renamed", "measure", "'Sales'[Margin Ratio]", None, "'Sales'[Margin %]", "'Sales'[Margin Ratio]") in changes
    assert ("renamed", "measure", "'Sales'[Gross Margin]", None, "'Sales'[Margin]", "'Sales'[Gross Margin]") in changes


# --- pairs made from the shared models ------------------------------------------


@pytest.fixture(scope="module")
def formatted(tmp_path_factory):
    """A formatted copy of every shared model, made by `quarrow-dax format`."""
    root = tmp_path_factory.mktemp("formatted")
    copies = {name: writable_copy(MODELS / name, root / name.replace("/", "-")) for name in SHARED}
    run = subprocess.run([sys.executable, "-m", "quarrow_dax", "format", *map(str, copies.values())],
                         capture_output=True, timeout=600)
    assert run.returncode == 0, run.stderr.decode()
    return copies


def formula_texts(path):
    return {(formula.kind, formula.table, formula.name): formula.text for formula in read_model(path)}


@needs_models
@pytest.mark.parametrize("name", SHARED)
def test_a_formatted_copy_differs_in_layout_only(formatted, name):
    copy = formatted[name]
    copy = copy / "definition" if (copy / "definition").is_dir() else copy
    changes = compare(model_path(name), copy)
    assert all(change.change == "layout" for change in changes), [record(c) for c in changes if c.counts]
    # one entry for each formula the formatter rewrote, found apart from the comparison
    before, after = formula_texts(model_path(name)), formula_texts(copy)
    assert before.keys() == after.keys()
    assert len(changes) == sum(before[key] != after[key] for key in before)


@needs_models
@pytest.mark.parametrize("name", SHARED)
def test_a_model_compared_with_itself_has_no_changes(name):
    assert compare(model_path(name), model_path(name)) == []


@needs_models
@pytest.mark.parametrize("name", [name for name in SHARED if name.startswith("bim/")])
@pytest.mark.parametrize("indent", [None, 1, 4, "\t"])
def test_a_bim_written_again_with_other_white_space_compares_equal(tmp_path, name, indent):
    (source,) = (MODELS / name).glob("*.bim")
    document = json.loads(source.read_text(encoding="utf-8-sig"))
    copy = tmp_path / "model.bim"
    copy.write_text(json.dumps(document, indent=indent, ensure_ascii=False), encoding="utf-8")
    assert compare(source, copy) == []


def most_used_measure(model):
    graph = DependencyGraph.build(model)
    measures = [obj for obj in model.objects() if obj.kind == "measure"]
    return max(measures, key=lambda measure: (len(graph.downstream(measure, deep=True)), -measure.line)), graph


@needs_models
@pytest.mark.parametrize("name", SHARED)
def test_a_formula_changed_in_meaning_is_one_change_with_its_dependents(tmp_path, name):
    copy = writable_copy(MODELS / name, tmp_path / "copy")
    copy = copy / "definition" if (copy / "definition").is_dir() else copy
    model = load_model(copy)
    if not any(obj.kind == "measure" for obj in model.objects()):
        pytest.skip("no measure")
    measure, graph = most_used_measure(model)
    (formula,) = [formula for formula in measure.formulas if formula.kind == "measure"]
    file = Path(formula.file)
    text = file.read_text(encoding="utf-8-sig")
    file.write_text(rewrite_formulas(text, [(formula, f"( {formula.text} ) * 2")]), encoding="utf-8")
    changes = compare(model_path(name), copy)
    (change,) = [change for change in changes if change.counts]
    assert (change.change, change.kind, change.object, change.part) == ("changed", "measure", measure.dax, "expression")
    assert {found.object for found in change.impact} == {obj.dax for obj in graph.downstream(measure, deep=True)}
    assert not [c for c in changes if c.change == "layout"]


def rename_measure(folder, old, new):
    """Renames measure `old` of the TMDL model in `folder` to `new`: its
    declaration and every reference that resolves to it."""
    model = load_model(folder)
    measure = model.measure(old)
    edits = {}
    for formula, resolutions in resolve_model(model):
        found = [resolution for resolution in resolutions if resolution.target is measure]
        if not found:
            continue
        data = formula.text.encode("utf-8")
        for resolution in sorted(found, key=lambda r: r.reference.span.start, reverse=True):
            span = resolution.reference.span
            written = data[span.start:span.end].decode("utf-8")
            replaced = re.sub(r"\[[^\]]*(?:\]\][^\]]*)*\]$", "[" + new.replace("]", "]]") + "]", written)
            data = data[:span.start] + replaced.encode("utf-8") + data[span.end:]
        edits.setdefault(formula.file, []).append((formula, data.decode("utf-8")))
    declaration = Path(measure.file)
    for file, changes in edits.items():
        path = Path(file)
        path.write_text(rewrite_formulas(path.read_text(encoding="utf-8"), changes), encoding="utf-8")
    lines = declaration.read_text(encoding="utf-8").split("\n")
    quoted = "'" + old.replace("'", "''") + "'"
    line = lines[measure.line - 1]
    assert f"measure {quoted}" in line or f"measure {old} " in line
    lines[measure.line - 1] = line.replace(f"measure {quoted}", f"measure '{new}'").replace(
        f"measure {old} ", f"measure '{new}' ")
    declaration.write_text("\n".join(lines), encoding="utf-8")
    return measure


@needs_models
@pytest.mark.parametrize("tagged", [True, False], ids=["by lineage tag", "by formula"])
def test_a_renamed_measure_is_one_rename(tmp_path, tagged):
    original = MODELS / "tmdl" / "ms-sales" / "definition"
    copy = writable_copy(original.parent, tmp_path / "ms-sales") / "definition"
    measure = rename_measure(copy, "Sales Amount", "Revenue")
    if not tagged:
        path = Path(measure.file)
        text = path.read_text(encoding="utf-8")
        path.write_text(text.replace(f"\t\tlineageTag: {measure.lineage_tag}\n", ""), encoding="utf-8")
    changes = compare(original, copy)
    (change,) = [change for change in changes if change.counts]
    assert record(change) == ("renamed", "measure", "'Sales'[Revenue]", None, "'Sales'[Sales Amount]",
                              "'Sales'[Revenue]")
    assert not change.breaks
    before = load_model(original)
    assert {found.object for found in change.impact} == {
        obj.dax.replace("[Sales Amount]", "[Revenue]")
        for obj in DependencyGraph.build(before).downstream(before.measure("Sales Amount"), deep=True)}
    assert not [c for c in changes if c.change == "layout"]


def test_a_side_that_cannot_be_read_raises(tmp_path):
    broken = tmp_path / "broken"
    shutil.copytree(DATA / "old" / "Shop.SemanticModel", broken, copy_function=shutil.copyfile)
    (broken / "definition" / "tables" / "Bad.tmdl").write_text("table Bad\n\t\t\tmeasure x = 1\n", encoding="utf-8")
    with pytest.raises(ModelError) as raised:
        compare(DATA / "old" / "Shop.SemanticModel", broken)
    assert raised.value.file.endswith("Bad.tmdl") and raised.value.line == 2
    with pytest.raises(ProjectError):
        compare(DATA / "old" / "Shop.SemanticModel", tmp_path / "nothing")


# --- the shared reports ----------------------------------------------------------

REPORTS = MODELS.parent / "reports"
REPORT_PROJECTS = sorted(path.name for path in REPORTS.iterdir() if path.is_dir()) if REPORTS.is_dir() else []


def project_path(folder):
    """What names the project in a shared report folder: its .pbip file, else
    its report folder."""
    return next(folder.glob("*.pbip"), None) or next(folder.glob("*.Report"))


@needs_models
@pytest.mark.parametrize("name", REPORT_PROJECTS)
def test_a_project_with_its_json_written_again_compares_equal(tmp_path, name):
    copy = writable_copy(REPORTS / name, tmp_path / name)
    for path in copy.rglob("*.json"):
        document = json.loads(path.read_text(encoding="utf-8-sig"))
        path.write_text(json.dumps(document, indent="\t", ensure_ascii=False), encoding="utf-8")
    assert compare(project_path(REPORTS / name), project_path(copy)) == []


@needs_models
def test_a_visual_removed_from_a_shared_report(tmp_path):
    copy = writable_copy(REPORTS / "daxlib-svg", tmp_path / "svg")
    visuals = sorted((copy / "SVG.Report" / "definition" / "pages").glob("*/visuals/*/visual.json"))
    gone = visuals[0]
    (before,) = load_project(project_path(REPORTS / "daxlib-svg")).reports
    (visual,) = [visual for visual in before.visuals if Path(visual.file).parent.name == gone.parent.name]
    shutil.rmtree(gone.parent)
    (change,) = compare(project_path(REPORTS / "daxlib-svg"), project_path(copy))
    assert (change.change, change.kind, change.side, change.old) == ("removed", "visual", "old", visual.label)
    assert change.file == visual.file and change.line == visual.line
    # the other way round it is added, placed on the new side
    (change,) = compare(project_path(copy), project_path(REPORTS / "daxlib-svg"))
    assert (change.change, change.kind, change.side, change.new) == ("added", "visual", "new", visual.label)
    assert change.file == visual.file and change.line == visual.line


# --- renames made with `quarrow-dax rename` ------------------------------------------

SHOP = Path(__file__).parent / "data" / "Shop"
RENAMES = [
    # folder (shared, or the rename tests' project), what to pass to rename and to compare, old, new name, the kind
    # and the renamed object as diff names it
    ("models/tmdl/ms-sales", "definition", "[Sales Amount]", "Revenue", "measure", "'Sales'[Revenue]"),
    ("models/bim/as-sales-pbip", "model.bim", "[Margin]", "Gross Margin", "measure", "'Sales'[Gross Margin]"),
    ("models/tmdl/fuam-core", "definition", "'capacities'[CapacityId]", "Capacity Key", "column",
     "'capacities'[Capacity Key]"),
    # projects: the reports' fields and the visuals showing the object follow it
    ("reports/ms-sales-legacy", "Sales.pbip", "[Margin]", "Gross Margin", "measure", "'Sales'[Gross Margin]"),
    ("reports/ms-sales-legacy", "Sales.pbip", "'Product'", "Goods", "table", "'Goods'"),
    ("reports/ms-sales-legacy", "Sales.pbip", "'Product'[Brand]", "Make", "column", "'Product'[Make]"),
    ("reports/daxlib-svg", "SVG.pbip", "[Compound.Bars]", "Bars", "measure", "'_Measures'[Bars]"),
    # no lineage tags: found by formula, or by make-up where there is none
    (SHOP, ".", "[Revenue]", "Net Revenue", "measure", "'Sales'[Net Revenue]"),
    (SHOP, ".", "'Product'", "Goods", "table", "'Goods'"),
    (SHOP, ".", "'Sales'", "Sales Facts", "table", "'Sales Facts'"),
    (SHOP, ".", "'Product'[Category]", "Product Category", "column", "'Product'[Product Category]"),
    (SHOP, ".", "Shop.Double", "Shop.Twice", "function", "Shop.Twice"),
    (SHOP, ".", "'Time Intelligence'[YTD]", "Year To Date", "calculation item", "'Time Intelligence'[Year To Date]"),
]


@needs_models
@pytest.mark.parametrize("folder, path, old, new, kind, renamed", RENAMES,
                         ids=[f"{Path(case[0]).name} {case[2]}" for case in RENAMES])
def test_a_rename_made_with_the_rename_command_is_one_rename(tmp_path, folder, path, old, new, kind, renamed):
    """Whatever the rename command rewrites with the name (formulas, the
    model's own references, the reports' fields) is neither a change nor
    layout: one rename, whose impact is what used the object before."""
    original = MODELS.parent / folder
    copy = writable_copy(original, tmp_path / "copy")
    run = subprocess.run([sys.executable, "-m", "quarrow_dax", "rename", str(copy / path), old, new],
                         capture_output=True, timeout=300)
    assert run.returncode == 0, run.stderr.decode()
    changes = compare(original / path, copy / path)
    assert [(change.change, change.kind, change.object, change.new) for change in changes] == [
        ("renamed", kind, renamed, renamed)]
    (change,) = changes
    assert not change.breaks
    project = load_project(original / path)
    model = project.model
    for report in project.reports:
        model = extended_model(model, report)
    graph = DependencyGraph.build(model)
    graph.add_reports(project.reports)
    (target,) = find_objects(model, old)
    # a table is used through its members too
    members = [target, *getattr(target, "columns", {}).values(), *getattr(target, "measures", {}).values(),
               *getattr(target, "hierarchies", {}).values()]
    used = {obj.dax for member in members for obj in graph.downstream(member, deep=True)}
    if len(members) > 1:
        used -= {member.dax for member in members}
    assert {found.object for found in change.impact} == {dax.replace(target.dax, renamed) for dax in used}



@needs_models
@pytest.mark.parametrize("name", SHARED)
@pytest.mark.parametrize("what", ["table", "column"])
def test_every_shared_model_renamed_by_the_rename_command_is_one_rename(tmp_path, name, what):
    """The widest table of each shared model, or the first data column of
    the widest table that has one, renamed with the rename command: one rename whether or not the model
    keeps lineage tags."""
    original = model_path(name)
    model = load_model(original)
    tables = sorted((table for table in model.tables.values() if table.columns and not table.calculation_group),
                    key=lambda table: -len(table.columns))
    target = tables[0] if what == "table" else next(
        column for table in tables for column in table.columns.values() if column.properties.get("sourceColumn"))
    copy = writable_copy(MODELS / name, tmp_path / "copy")
    path = copy / original.relative_to(MODELS / name)
    run = subprocess.run([sys.executable, "-m", "quarrow_dax", "rename", str(path), target.dax,
                          target.name + " Renamed"], capture_output=True, timeout=300)
    assert run.returncode == 0, run.stderr.decode()
    renamed = target.dax[:-1] + " Renamed" + target.dax[-1]
    assert [(change.change, change.kind, change.object) for change in compare(original, path)] == [
        ("renamed", what, renamed)]
