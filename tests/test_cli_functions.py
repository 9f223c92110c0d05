"""`quarrow-dax functions`: a signature by name in any case, the whole
catalogue by category, JSON for tools, and a did-you-mean with exit status 2
for a name that is no function."""

import json
import subprocess
import sys

import pytest

from quarrow_dax.functions import by_category, catalogue


def run_cli(*args):
    run = subprocess.run([sys.executable, "-m", "quarrow_dax", "functions", *args], capture_output=True, timeout=60)
    return run.returncode, run.stdout.decode(), run.stderr.decode()


def test_one_function_in_any_case():
    status, stdout, stderr = run_cli("lookupValue")
    assert (status, stderr) == (0, "")
    lines = stdout.splitlines()
    assert lines[0] == ("LOOKUPVALUE ( <ResultColumnName>, <SearchColumnName>, <SearchValue> [, <SearchColumnName>, "
                        "<SearchValue>] …[, <AlternateResult>] )")
    assert "  SearchColumnName  a column reference (repeats)" in lines
    assert "  AlternateResult   a scalar value (optional)" in lines
    assert lines[-3:] == ["takes at least 3 arguments; returns a scalar value", "category: filter",
                          "https://learn.microsoft.com/dax/lookupvalue-function-dax"]


@pytest.mark.parametrize("name, line", [
    ("RANKX", "  Ties        one of SKIP, DENSE (optional)"),
    ("keywordmatch", "deprecated"),
    ("ISSUBTOTAL", "superseded: the reference points to ROLLUPADDISSUBTOTAL instead"),
    ("min", "form 2:"),
    ("blank", "  (no parameters)"),
    ("INDEX", "  RelationOrAxis  a table expression, or one of ROWS, COLUMNS (optional)"),
])
def test_what_a_description_says(name, line):
    status, stdout, _ = run_cli(name)
    assert status == 0 and line in stdout.splitlines()


@pytest.mark.parametrize("name, suggestion", [("SUMM", "did you mean SUM, SUMX, SUMMARIZE?"),
                                              ("CALCULAT", "did you mean CALCULATE, CALCULATETABLE?")])
def test_an_unknown_name_is_a_usage_error_with_suggestions(name, suggestion):
    status, stdout, stderr = run_cli(name)
    assert (status, stdout) == (2, "")
    assert stderr == f"quarrow-dax: functions: no DAX function is named {name}; {suggestion}\n"
    assert run_cli("XYZZYQ")[2] == "quarrow-dax: functions: no DAX function is named XYZZYQ\n"


def test_the_list_by_category():
    status, stdout, _ = run_cli()
    headers = [line for line in stdout.splitlines() if not line.startswith(" ")]
    assert headers == [f"{category} ({len(found)} functions)" for category, found in by_category().items()]
    assert len(stdout.splitlines()) == len(headers) + len(catalogue())
    line = next(line for line in stdout.splitlines() if line.startswith("  KEYWORDMATCH "))
    assert line.split(None, 1)[1].startswith("Whether a text matches") and line.endswith(" (deprecated)")


def test_json_for_tools():
    status, stdout, _ = run_cli("--format", "json")
    records = [json.loads(line) for line in stdout.splitlines()]
    assert status == 0 and {record["name"] for record in records} == set(catalogue())
    status, stdout, _ = run_cli("divide", "--format", "json")
    record = json.loads(stdout)
    assert (record["min_args"], record["max_args"], record["returns"]) == (2, 3, "scalar")
    assert [p["name"] for p in record["forms"][0]["parameters"]] == ["Numerator", "Denominator", "AlternateResult"]
