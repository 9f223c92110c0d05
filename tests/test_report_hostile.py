"""Reports under hostile input: each broken or oddly typed part is a located
problem and the rest of the report (and of the project) is still read; and a
property over randomly damaged copies of the shared report files: reading
only ever returns a project whose problems are diagnostics."""

import json
import shutil
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quarrow_dax.diagnostics import Diagnostic
from quarrow_dax.project import ProjectError, load_project, load_projects
from quarrow_dax.report import FieldUse, Report, ReportError, load_report

REPORTS = Path(__file__).resolve().parents[1].parent / "shared" / "reports"


def write(folder, files):
    for name, content in files.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content if isinstance(content, str) else json.dumps(content, indent=1), encoding="utf-8")
    return folder


def measure(table, name):
    return {"Measure": {"Expression": {"SourceRef": {"Entity": table}}, "Property": name}}


def visual(name, *fields):
    return {"name": name, "visual": {"visualType": "card", "query": {"queryState": {"Values": {"projections": [
        {"field": field, "queryRef": f"q{index}"} for index, field in enumerate(fields)]}}}}}


GOOD = visual("good", measure("T", "Kept"))
BASE = {
    "R.Report/definition.pbir": {"version": "4.0", "datasetReference": {"byConnection": {"connectionString": "x=1"}}},
    "R.Report/definition/report.json": {},
    "R.Report/definition/pages/pages.json": {"pageOrder": ["p"]},
    "R.Report/definition/pages/p/page.json": {"name": "p", "displayName": "P"},
    "R.Report/definition/pages/p/visuals/good/visual.json": GOOD,
}

# (what is changed, the problem's code, text its message holds, the file:line it points at or None)
PBIR_CASES = [
    ({"R.Report/definition/pages/p/visuals/bad/visual.json": '{"name": "bad",\n  "visual": {'},
     "E007", "not JSON", "visual.json:2"),
    ({"R.Report/definition/pages/p/visuals/bad/mobile.json": "{}"}, "E007", "without a visual.json", None),
    ({"R.Report/definition/pages/pages.json": None}, "W003", "missing", None),
    ({"R.Report/definition/pages/pages.json": {"pageOrder": {"p": 1}}}, "E007", "pageOrder", "pages.json:2"),
    ({"R.Report/definition/pages/pages.json": {"pageOrder": ["p", "gone"]}}, "W003", "gone", None),
    ({"R.Report/definition/pages/q/visuals/x/visual.json": GOOD}, "E007", "without a page.json", None),
    ({"R.Report/definition.pbir": {"datasetReference": {"byPath": {"path": "../Nowhere.SemanticModel"}}}},
     "E007", "is not there", "definition.pbir:4"),
    # a number has no place of its own: the object holding it is pointed at
    ({"R.Report/definition.pbir": {"datasetReference": {"byPath": {"path": 7}}}}, "E007", "not a string",
     "definition.pbir:3"),
    ({"R.Report/definition.pbir": "[]"}, "E007", "not a JSON object", "definition.pbir:1"),
    ({"R.Report/definition.pbir": None}, "W003", "names no model", None),
    ({"R.Report/definition/pages/p/visuals/bad/visual.json": visual("bad", {"Measure": {"Property": 5}})},
     "E007", "is not a string", "visual.json:"),
    ({"R.Report/definition/pages/p/visuals/bad/visual.json": visual(
        "bad", {"Column": {"Expression": {"SourceRef": []}, "Property": "x"}})}, "E007", '"SourceRef" is not an object',
     "visual.json:"),
    ({"R.Report/definition/pages/p/visuals/bad/visual.json": visual(
        "bad", {"Column": {"Expression": 3, "Property": "x"}})}, "E007", '"Expression" is not an object', "visual.json:"),
    ({"R.Report/definition/pages/p/visuals/bad/visual.json": {"name": "bad", "filterConfig": {"filters": [
        {"filter": {"From": [1, {"Name": "a", "Entity": "T"}], "Where": [{"Condition": {"In": {"Expressions": [
            {"Column": {"Expression": {"SourceRef": {"Source": "a"}}, "Property": "x"}}]}}}]}}]}}},
     "E007", 'item of "From"', "visual.json:"),
    ({"R.Report/definition/pages/p/visuals/bad/visual.json": "[1, 2]"}, "E007", "not a JSON object", "visual.json:1"),
    ({"R.Report/definition/pages/p/visuals/bad/visual.json": "[" * 100_000}, "E007", "nested too deeply",
     "visual.json:1"),
    ({"R.Report/definition/pages/p/visuals/bad/visual.json": b"\xff\xfe{\x00"}, "E007", "", None),
    ({"R.Report/definition/pages/p/visuals/bad/visual.json": b'{"name": "\xe9"}'}, "E007", "not valid UTF-8", None),
    ({"R.Report/definition/pages/p/visuals/bad/visual.json": '{"name": "a", "name": "b"}'}, "W003", "duplicate key",
     "visual.json:1"),
    ({"R.Report/definition/reportExtensions.json": {"entities": "x"}}, "E007", '"entities" is not a list', None),
    ({"R.Report/definition/reportExtensions.json": {"entities": [{"name": "T", "measures": [
        {"name": "m", "expression": 3}]}]}}, "E007", "no \"expression\" string", "reportExtensions.json:"),
    ({"R.Report/definition/bookmarks/b.bookmark.json": "[]"}, "E007", "not a JSON object", "b.bookmark.json:1"),
    ({"R.Report/definition/report.json": '{"filterConfig": '}, "E007", "not JSON", "report.json:1"),
]


def apply(root, changes):
    files = dict(BASE)
    files.update({name: value for name, value in changes.items() if value is not None})
    for name, value in changes.items():
        if value is None:
            files.pop(name, None)
    return write(root, files)


@pytest.mark.parametrize("changes, code, message, where", PBIR_CASES, ids=lambda v: str(v)[:50])
def test_a_broken_part_is_a_located_problem_and_the_rest_is_read(tmp_path, changes, code, message, where):
    report = load_report(apply(tmp_path, changes) / "R.Report")
    assert [(use.table, use.name) for use in report.uses if use.visual == "good"] == [("T", "Kept")]
    matching = [found for found in report.problems if found.code == code and message in found.message]
    assert matching, [found.render() for found in report.problems]
    found = matching[0]
    assert isinstance(found, Diagnostic) and found.kind == "report"
    if where is not None:
        file, line = where.split(":")
        assert found.path.endswith(file) and (line == "" or found.line == int(line)) and found.line > 0
        assert found.render()  # the excerpt of a located problem is shown without failing


LEGACY_CASES = [
    # (the second visual container, the problem's message, the column the problem points at on its line)
    ({"config": '{"name": "x", "singleVisual": '}, 'the "config" string is not a JSON text', None),
    ({"config": 12}, '"config" is not a string holding JSON', None),
    ({"config": '{"name": "x"}', "filters": "[{]"}, 'the "filters" string is not a JSON text', None),
    ({"config": "[]"}, "config is not a JSON object", None),
    ({}, 'without a "config"', None),
    ("not an object", "not an object", None),
]


@pytest.mark.parametrize("container, message, _", LEGACY_CASES, ids=lambda v: str(v)[:40])
def test_a_broken_legacy_string_stops_only_its_own_part(tmp_path, container, message, _):
    good = {"config": json.dumps({"name": "good", "singleVisual": {"visualType": "card", "prototypeQuery": {
        "Version": 2, "From": [{"Name": "t", "Entity": "T"}], "Select": [
            {"Measure": {"Expression": {"SourceRef": {"Source": "t"}}, "Property": "Kept"}}]}}})}
    report = {"config": "{}", "sections": [{"name": "s", "displayName": "S", "visualContainers": [container, good]}]}
    write(tmp_path, {"L.Report/report.json": json.dumps(report, indent=1)})
    found = load_report(tmp_path / "L.Report")
    assert [(use.visual, use.table, use.name) for use in found.uses] == [("good", "T", "Kept")]
    problems = [problem for problem in found.problems if message in problem.message]
    assert problems and problems[0].line > 0 and problems[0].path.endswith("report.json")


def test_a_fault_inside_a_legacy_string_points_into_the_string(tmp_path):
    config = '{"name": "x",  "singleVisual": {"visualType": "card",, }}'
    text = json.dumps({"sections": [{"name": "s", "visualContainers": [{"config": config}]}]}, indent=1)
    write(tmp_path, {"L.Report/report.json": text})
    (problem,) = [found for found in load_report(tmp_path / "L.Report").problems if found.code == "E007"]
    line = text.splitlines()[problem.line - 1]
    # The second comma: its place in the file, past the escaped quotes before it.
    assert line[problem.column - 1 :].startswith(", }}")


def test_paths_that_are_no_report_raise_a_report_error(tmp_path):
    write(tmp_path, {"empty/x.txt": "", "f.json": "{}"})
    for path, message in ((tmp_path / "missing", "no such folder"), (tmp_path / "empty", "not a report folder"),
                          (tmp_path / "f.json", "not a report folder")):
        with pytest.raises(ReportError, match=message):
            load_report(path)
    with pytest.raises(ProjectError, match="no report and no model"):
        load_projects(tmp_path / "empty")


def test_a_project_goes_on_past_a_broken_report(tmp_path):
    apply(tmp_path / "a", {})
    write(tmp_path, {"a/Broken.Report/report.json": "{", "a/Broken.Report/definition.pbir": "{}",
                     "a/P.pbip": {"artifacts": [{"report": {"path": "R.Report"}}, {"report": {"path": "Gone.Report"}},
                                                {"report": {"path": "Broken.Report"}}]}})
    project = load_project(tmp_path / "a" / "P.pbip")
    assert [report.name for report in project.reports] == ["R", "Broken"]
    assert [(use.table, use.name) for use in project.uses] == [("T", "Kept")]
    messages = [problem.message for problem in project.report_problems]
    assert any("Gone.Report is not there" in message for message in messages)
    assert any(message.startswith("not JSON") for message in messages)


# --- the property: damaged copies of the shared reports -----------------------------------

REPORT_FILES = sorted(path for path in REPORTS.glob("*/*.Report/**/*") if path.is_file()
                      and path.suffix in (".json", ".pbir") and "StaticResources" not in path.parts) \
    if REPORTS.is_dir() else []
TOKENS = ["{", "}", "[", "]", '"', ",", ":", "\\", '\\"', "\n", " ", "\x00", "\ud800", "é", "null", "[]", "{}",
          '"Source"', '"Entity"', '"From"', '"Property"', '"config"', '"filters"', "9" * 400, "[" * 600]


@st.composite
def damaged(draw):
    path = draw(st.sampled_from(REPORT_FILES))
    text = path.read_text(encoding="utf-8-sig")
    for _ in range(draw(st.integers(1, 4))):
        at = draw(st.integers(0, len(text)))
        action = draw(st.sampled_from(["insert", "delete", "cut", "repeat", "swap"]))
        if action == "insert":
            text = text[:at] + draw(st.sampled_from(TOKENS)) + text[at:]
        elif action == "delete":
            text = text[:at] + text[at + draw(st.integers(1, 60)) :]
        elif action == "cut":
            text = text[:at]
        elif action == "swap":  # a value of another type where one was expected
            text = text[:at] + draw(st.sampled_from(['"x"', "1", "[1]", '{"a": 1}', "true"])) + text[at + 1 :]
        else:
            text = text[:at] + text[max(0, at - 300) : at] + text[at:]
    return path, text.encode("utf-8", "surrogatepass")


@pytest.fixture(scope="module")
def copies(tmp_path_factory):
    """A copy of the shared reports and models to damage one file at a time."""
    root = tmp_path_factory.mktemp("reports")
    shutil.copytree(REPORTS, root / "reports", ignore=shutil.ignore_patterns("StaticResources", "*.png", "*.jpg"))
    return root / "reports"


@pytest.mark.skipif(not REPORT_FILES, reason=f"shared reports not found: {REPORTS}")
@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture,
                                                                  HealthCheck.too_slow])
@given(damaged())
def test_damaged_reports_give_uses_and_located_problems_only(copies, case):
    original, data = case
    target = copies / original.relative_to(REPORTS)
    saved = target.read_bytes()
    target.write_bytes(data)
    try:
        projects = load_projects(target.parents[len(original.relative_to(REPORTS).parts) - 2])
    finally:
        target.write_bytes(saved)
    for project in projects:
        for report in project.reports:
            assert isinstance(report, Report)
            assert all(isinstance(use, FieldUse) and use.where and use.kind for use in report.uses)
        for problem in project.report_problems:
            assert isinstance(problem, Diagnostic) and problem.code in ("E007", "W003")
            problem.render()
            json.dumps(problem.to_dict())
