"""Reports on the command line: `usage`, and `check`, `lint` and `deps` given
projects; over the shared reports (what their READMEs name as stale) and
small projects written here (a report measure's errors at their place, a
broken visual next to good ones)."""

import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPORTS = Path(__file__).resolve().parents[1].parent / "shared" / "reports"
needs_reports = pytest.mark.skipif(not REPORTS.is_dir(), reason=f"shared reports not found: {REPORTS}")


def run_cli(*args, cwd):
    run = subprocess.run([sys.executable, "-m", "quarrow_dax", *args], capture_output=True, cwd=cwd, timeout=120)
    return run.returncode, run.stdout.decode(), run.stderr.decode()


def write(folder, files):
    for name, content in files.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(content if isinstance(content, str) else json.dumps(content, indent=2), encoding="utf-8")
    return folder


def field(table, name, wrapper="Measure"):
    return {wrapper: {"Expression": {"SourceRef": {"Entity": table}}, "Property": name}}


def visual(name, title, *fields):
    return {"name": name, "visual": {
        "visualType": "card",
        "query": {"queryState": {"Values": {"projections": [{"field": f, "queryRef": f"q{i}"} for i, f in enumerate(fields)]}}},
        "visualContainerObjects": {"title": [{"properties": {"text": {"expr": {"Literal": {"Value": f"'{title}'"}}}}}]},
    }}


# A model with a measure used through another, and a report using both, with a
# report measure whose DAX holds a misspelt name and a visual naming a gone measure.
PROJECT = {
    "P.pbip": {"version": "1.0", "artifacts": [{"report": {"path": "R.Report"}}]},
    "M.SemanticModel/definition/model.tmdl": "model Model\n",
    "M.SemanticModel/definition/tables/Sales.tmdl": (
        "table Sales\n\tmeasure Total = SUM ( Sales[Qty] )\n\tmeasure Margin = [Total] * 2\n"
        "\tmeasure Unused = 1\n\tcolumn Qty\n\tcolumn Spare\n"
    ),
    "R.Report/definition.pbir": {"version": "4.0", "datasetReference": {"byPath": {"path": "../M.SemanticModel"}}},
    "R.Report/definition/report.json": {},
    "R.Report/definition/pages/pages.json": {"pageOrder": ["p1"]},
    "R.Report/definition/pages/p1/page.json": {"name": "p1", "displayName": "Overview"},
    "R.Report/definition/pages/p1/visuals/v1/visual.json": visual("v1", "Margin card", field("Sales", "Margin")),
    "R.Report/definition/pages/p1/visuals/v2/visual.json": visual("v2", "Broken card", field("Sales", "Totl")),
    "R.Report/definition/pages/p1/visuals/v3/visual.json": visual("v3", "Extension card", {
        "Measure": {"Expression": {"SourceRef": {"Schema": "extension", "Entity": "Sales"}}, "Property": "Double"}}),
    "R.Report/definition/reportExtensions.json": {"name": "extension", "entities": [{"name": "Sales", "measures": [
        {"name": "Double", "dataType": "Double", "expression": "[Margin] + [Totl]"},
        {"name": "Broken", "dataType": "Double", "expression": "\nVAR x = 1\nRETURN x +"},
    ]}]},
}


@pytest.fixture
def project(tmp_path):
    return write(tmp_path, PROJECT)


def lines_at(output, prefix):
    return [line for line in output.splitlines() if line.startswith(prefix)]


def test_check_places_report_errors_in_the_report_files(project):
    status, stdout, stderr = run_cli("check", "P.pbip", cwd=project)
    assert status == 1 and "Traceback" not in stderr
    extensions = (project / "R.Report/definition/reportExtensions.json").read_text().splitlines()
    # The unknown name in a report measure: DAX001 at [Totl] inside the JSON string.
    (unknown,) = [line for line in lines_at(stdout, "R.Report/definition/reportExtensions.json:")
                  if "reference error" in line]
    line, column = map(int, unknown.split(":")[1:3])
    assert extensions[line - 1][column - 1 :].startswith("[Totl]")
    assert "in report measure 'Sales'[Double]" in stdout and "hint: did you mean [Total]?" in stdout
    # The syntax error of the other measure, on the third line of its text.
    (syntax,) = [line for line in stdout.splitlines() if "parse error" in line]
    line, column = map(int, syntax.split(":")[1:3])
    assert extensions[line - 1][column - 1 - len("RETURN x +") :].startswith('RETURN x +"')
    # The visual naming a measure the model lacks: E008, with did-you-mean, at the name.
    (broken,) = lines_at(stdout, "R.Report/definition/pages/")
    assert broken.startswith("R.Report/definition/pages/p1/visuals/v2/visual.json:") and "'Sales'[Totl]" in broken
    assert "visual 'Broken card' on page 'Overview'" in broken and "hint: did you mean 'Sales'[Total]?" in stdout
    assert "checked 1 report: 5 field references, 2 formulas: 2 with errors; 1 broken and 0 stale field references" \
        in stderr


def test_check_json_gives_codes_and_places(project):
    status, stdout, _ = run_cli("check", "--format", "json", "P.pbip", cwd=project)
    records = [json.loads(line) for line in stdout.splitlines()]
    codes = sorted(record["code"] for record in records)
    assert status == 1 and codes == ["DAX001", "E002", "E008"]
    (e007,) = [record for record in records if record["code"] == "E008"]
    text = (project / e007["path"]).read_text().splitlines()[e007["line"] - 1]
    assert text[e007["column"] - 1 : e007["end_column"] - 1] == '"Totl"'


def test_a_model_with_report_paths(project):
    status, _, stderr = run_cli("check", "M.SemanticModel", "--report", "R.Report", cwd=project)
    assert status == 1 and "checked 3 formulas in 1 model: 0 with errors" in stderr and "1 broken" in stderr
    # One model named twice (its folder, its definition folder) is one model.
    status, _, stderr = run_cli("check", "M.SemanticModel", "M.SemanticModel/definition", "--report", "R.Report",
                                cwd=project)
    assert status == 1 and "checked 3 formulas in 1 model: 0 with errors" in stderr


def test_report_paths_with_two_models_are_refused(project, tmp_path):
    shutil.copytree(project, tmp_path / "p")
    shutil.copytree(tmp_path / "p" / "M.SemanticModel", tmp_path / "p" / "N.SemanticModel")
    status, stdout, _ = run_cli("check", "M.SemanticModel", "N.SemanticModel", "--report", "R.Report",
                                cwd=tmp_path / "p")
    assert status == 2 and "--report goes with one model, and 2 were given" in stdout


def test_lint_runs_its_rules_on_report_dax(project):
    write(project, {"R.Report/definition/reportExtensions.json": {"entities": [{"name": "Sales", "measures": [
        {"name": "Unused var", "expression": "VAR unused = 1\nRETURN [Total]"}]}]}})
    status, stdout, stderr = run_cli("lint", "R.Report", cwd=project)
    (finding,) = [line for line in stdout.splitlines() if "[DAX002]" in line]
    text = (project / "R.Report/definition/reportExtensions.json").read_text().splitlines()
    line, column = map(int, finding.split(":")[1:3])
    assert text[line - 1][column - 1 :].startswith("unused = 1")
    assert "in report measure 'Sales'[Unused var]" in stdout and "linted 1 formula in 1 report" in stderr


def test_deps_lists_the_visuals_that_use_a_measure_directly_or_through_measures(project):
    status, stdout, _ = run_cli("deps", "P.pbip", "'Sales'[Total]", "--downstream", "--deep", cwd=project)
    assert status == 0
    assert stdout.splitlines() == [
        "'Sales'[Margin]", "'Sales'[Double]",
        "visual 'Margin card' on page 'Overview' of report 'R'",
        "visual 'Extension card' on page 'Overview' of report 'R'",
    ]
    # Directly: only the measure that names it ('Sales'[Double] names [Margin]).
    status, stdout, _ = run_cli("deps", "P.pbip", "'Sales'[Total]", "--downstream", cwd=project)
    assert stdout.splitlines() == ["'Sales'[Margin]"]
    status, stdout, _ = run_cli("deps", "P.pbip", "'Sales'[Margin]", "--downstream", cwd=project)
    assert stdout.splitlines() == ["'Sales'[Double]", "visual 'Margin card' on page 'Overview' of report 'R'"]


def test_deps_unused_counts_report_uses(project):
    _, stdout, stderr = run_cli("deps", "P.pbip", "--unused", cwd=project)
    assert stdout.splitlines() == ["'Sales'[Spare]", "'Sales'[Unused]", "'Sales'[Broken]"]
    assert stderr.splitlines()[-1] == ("3 objects that no formula, relationship, hierarchy, sort-by column or report "
                                       "uses; read 1 report (R) with 5 field references")
    _, stdout, stderr = run_cli("deps", "M.SemanticModel", "--unused", cwd=project)
    assert stderr.splitlines()[-1].endswith("a report may still use them") and "'Sales'[Margin]" in stdout


def test_deps_draws_report_nodes_apart(project):
    _, stdout, _ = run_cli("deps", "P.pbip", "'Sales'[Margin]", "--downstream", "--format", "mermaid", cwd=project)
    assert """(["visual 'Margin card' on page 'Overview' of report 'R'"])""" in stdout
    _, stdout, _ = run_cli("deps", "P.pbip", "'Sales'[Margin]", "--downstream", "--format", "dot", cwd=project)
    assert "shape=note" in stdout


def test_usage_lines_and_json_keys(project):
    status, stdout, _ = run_cli("usage", "P.pbip", cwd=project)
    assert status == 0
    assert lines_at(stdout, "R.Report/definition/pages/p1/visuals/v1/visual.json:")[0].endswith(
        ": visual projection: measure 'Sales'[Margin] (page 'Overview', visual 'Margin card')")
    _, stdout, _ = run_cli("usage", "P.pbip", "--format", "json", cwd=project)
    records = [json.loads(line) for line in stdout.splitlines()]
    assert all({"report", "table", "name", "kind", "where", "file", "line", "column"} <= set(r) for r in records)
    assert {(r["name"], r["kind"], r["where"]) for r in records} == {
        ("Margin", "measure", "visual projection"), ("Totl", "unknown", "visual projection"),
        ("Double", "report measure", "visual projection"), ("Margin", "measure", "report measure"),
        ("Totl", "unknown", "report measure")}


def test_usage_by_field_counts_visuals(project):
    write(project, {"R.Report/definition/pages/p1/visuals/v4/visual.json": visual("v4", "Again", field("Sales", "Margin"),
                                                                                    field("Sales", "Margin"))})
    _, stdout, _ = run_cli("usage", "R.Report", "--by-field", "--format", "json", cwd=project)
    margin = next(json.loads(line) for line in stdout.splitlines() if '"Margin"' in line)
    assert (margin["visuals"], margin["references"], margin["kind"]) == (2, 4, "measure")
    assert margin["where"] == {"visual projection": 3, "report measure": 1}


def test_a_broken_report_file_is_located_and_the_rest_is_read(project):
    (project / "R.Report/definition/pages/p1/visuals/v2/visual.json").write_text('{"name": "v2", "visual": {')
    for command in (["usage", "P.pbip"], ["check", "P.pbip"], ["deps", "P.pbip", "--unused"], ["lint", "P.pbip"]):
        status, stdout, stderr = run_cli(*command, cwd=project)
        assert "Traceback" not in stderr, command
        assert "R.Report/definition/pages/p1/visuals/v2/visual.json:1:" in stderr + stdout, command
        if command[0] != "deps":
            assert status == 2, command
    _, stdout, _ = run_cli("usage", "P.pbip", cwd=project)
    assert "'Sales'[Margin] (page 'Overview', visual 'Margin card')" in stdout


def test_paths_without_reports(tmp_path):
    write(tmp_path, {"empty/x.txt": ""})
    status, _, stderr = run_cli("usage", "empty", cwd=tmp_path)
    assert status == 2 and "no report and no model found in it" in stderr
    status, _, stderr = run_cli("usage", "missing", cwd=tmp_path)
    assert status == 2 and "no such file or folder" in stderr and "Traceback" not in stderr


# --- the shared reports -------------------------------------------------------------


@needs_reports
def test_check_over_the_shared_reports():
    status, stdout, stderr = run_cli("check", "--format", "json", ".", cwd=REPORTS)
    records = [json.loads(line) for line in stdout.splitlines()]
    errors = [r for r in records if r["code"] == "E008"]
    # The one broken visual: Sales[_Margin Status], in its query and its conditional formatting.
    assert {(r["path"], r["line"], r["column"]) for r in errors} == {
        ("ms-sales-legacy/Sales.Report/report.json", 136, 1253), ("ms-sales-legacy/Sales.Report/report.json", 136, 1810)}
    assert status == 1 and all("'Sales'[_Margin Status]" in r["message"] for r in errors)
    warnings = [r for r in records if r["code"] == "W004"]
    bookmarks = [r["message"] for r in warnings if r["path"].startswith("daxlib-svg/")]
    assert len(bookmarks) == 2 and all("'_Measures'[Compound.Bar], '_Measures'[Compound.Bullet]" in m
                                       for m in bookmarks)
    gateway = " ".join(r["message"] for r in warnings if r["path"].startswith("gateway-monitoring/"))
    for table in ("'Logs'[", "'Queries'[", "'QueryExecutionUnified'["):
        assert table in gateway
    assert not [r for r in records if r["code"] in ("E002", "DAX001", "E007")]


@needs_reports
def test_usage_of_a_report_without_its_model():
    status, stdout, stderr = run_cli("usage", "k201-monthslicer", "--format", "json", cwd=REPORTS)
    records = [json.loads(line) for line in stdout.splitlines()]
    assert status == 0 and "no model for K201-MonthSlicer" in stderr
    assert {r["kind"] for r in records} == {"unknown", "report measure"}


def test_visual_calculations_are_parsed_in_place_and_name_the_visuals_fields(project):
    calculations = [
        {"field": {"NativeVisualCalculation": {"Language": "dax", "Expression": "RUNNINGSUM ( [Sum of Qty] )",
                                               "Name": "Running"}}, "queryRef": "c1"},
        {"field": {"NativeVisualCalculation": {"Language": "dax", "Expression": "[Sum of Qty] *",
                                               "Name": "Broken"}}, "queryRef": "c2"},
    ]
    chart = visual("v4", "Calculated", field("Sales", "Qty", "Column"))
    chart["visual"]["query"]["queryState"]["Values"]["projections"] += calculations
    write(project, {"R.Report/definition/pages/p1/visuals/v4/visual.json": chart})
    status, stdout, _ = run_cli("check", "--format", "json", "R.Report", cwd=project)
    records = [json.loads(line) for line in stdout.splitlines()]
    # [Sum of Qty] is the visual's own field: no unknown name; the broken one is a syntax error at its end.
    (error,) = [r for r in records if "v4" in r["path"]]
    assert (error["code"], error["object"], error["object_kind"]) == ("E002", "Broken", "visual calculation")
    text = (project / error["path"]).read_text().splitlines()[error["line"] - 1]
    assert text[: error["column"] - 1].endswith('"[Sum of Qty] *')


def test_report_dax_has_its_calls_checked_in_place(project):
    write(project, {"R.Report/definition/reportExtensions.json": {"entities": [{"name": "Sales", "measures": [
        {"name": "Rounded", "expression": "ROUND ( [Total] )"}]}]}})
    calculation = {"field": {"NativeVisualCalculation": {"Language": "dax", "Expression": "RUNNINGSUM ( )",
                                                         "Name": "Running"}}, "queryRef": "c1"}
    chart = visual("v4", "Calculated", field("Sales", "Qty", "Column"))
    chart["visual"]["query"]["queryState"]["Values"]["projections"].append(calculation)
    write(project, {"R.Report/definition/pages/p1/visuals/v4/visual.json": chart})
    status, stdout, _ = run_cli("check", "--format", "json", "R.Report", cwd=project)
    records = sorted((r["code"], r["object"], r["message"]) for r in map(json.loads, stdout.splitlines())
                     if r["code"] == "E009")
    assert status == 1 and records == [
        ("E009", "'Sales'[Rounded]", "ROUND takes 2 arguments; 1 given"),
        ("E009", "Running", "RUNNINGSUM takes 1 to 5 arguments; 0 given"),
    ]
