"""`deps` and the reference check of `check`, end to end through the command
line, on a model written for them (tests/data/Deps.SemanticModel): known
upstream and downstream objects, unused ones, a cycle and a misspelling."""

import json
import pathlib
import subprocess
import sys

import pytest

TESTS = pathlib.Path(__file__).resolve().parent
MODEL = "data/Deps.SemanticModel"
SALES = f"{MODEL}/definition/tables/Sales.tmdl"


def run(*args):
    done = subprocess.run([sys.executable, "-m", "quarrow_dax", *args], capture_output=True, cwd=TESTS, timeout=60)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


LEFT_OUT = "quarrow-dax: deps: left out 1 reference to names that exist nowhere (quarrow-dax check shows them)\n"

DEPS = [
    # arguments, the objects printed
    (["[Margin]"], ["'Sales'[Revenue]", "'Sales'[Cost]"]),
    (["'Sales'[Margin]", "--upstream", "--deep"],
     ["'Sales'", "'Sales'[Quantity]", "'Sales'[Price]", "'Sales'[Unit Cost]", "'Sales'[Revenue]", "'Sales'[Cost]"]),
    (["[Revenue]", "--downstream"], ["'Sales'[Margin]", "'Sales'[Margin %]", "'Sales'[Late Revenue]"]),
    (["Sales[Quantity]", "--downstream", "--deep"],
     ["'Sales'[Revenue]", "'Sales'[Cost]", "'Sales'[Margin]", "'Sales'[Margin %]", "'Sales'[Late Revenue]"]),
    # USERELATIONSHIP names the relationship; relationships, sort-by and levels use columns
    # (in declaration order: tables/Date.tmdl is read before tables/Sales.tmdl)
    (["[Late Revenue]"], ["'Date'[Date]", "'Sales'[Ship Date]", "'Sales'[Revenue]",
                          "relationship 'Sales'[Ship Date] -> 'Date'[Date]"]),
    (["'Date'[Date]", "--downstream"], ["'Date'[Year]", "'Sales'[Late Revenue]",
                                        "relationship 'Sales'[Order Date] -> 'Date'[Date]",
                                        "relationship 'Sales'[Ship Date] -> 'Date'[Date]"]),
    (["'date'[month number]", "--downstream"], ["'Date'[Month]"]),
    (["'Date'[Calendar]"], ["'Date'[Month]", "'Date'[Year]"]),
    (["--unused"], ["'Date'[Calendar]", "'Sales'[Discount]", "'Sales'[Margin %]", "'Sales'[Late Revenue]",
                    "'Sales'[Typo]"]),
]

UNUSED_SUMMARY = ("5 objects that no formula, relationship, hierarchy or sort-by column refers to; a report may still"
                  " use them\n")


@pytest.mark.parametrize("args, expected", DEPS)
def test_deps(args, expected):
    # The answer on standard output, the notes and the summary on standard error.
    summary = UNUSED_SUMMARY if "--unused" in args else ""
    assert run("deps", MODEL, *args) == (0, "".join(line + "\n" for line in expected), LEFT_OUT + summary)
    assert run("deps", MODEL, *args, "--quiet") == (0, "".join(line + "\n" for line in expected), "")


def test_cycles_and_formats():
    assert run("deps", MODEL, "--cycles") == (
        1, "'Sales'[Loop A] -> 'Sales'[Loop B] -> 'Sales'[Loop A]\n", LEFT_OUT + "1 cycle\n")
    status, out, err = run("deps", MODEL, "--cycles", "--format", "json")
    assert (status, out, err) == (
        1, '{"cycle":["\'Sales\'[Loop A]","\'Sales\'[Loop B]","\'Sales\'[Loop A]"]}\n', LEFT_OUT + "1 cycle\n")
    status, out, _ = run("deps", MODEL, "[Margin]", "--format", "json")
    records = [json.loads(line) for line in out.splitlines()]
    assert [(r["object"], r["kind"], r["file"], r["line"], r["column"]) for r in records] == [
        ("'Sales'[Revenue]", "measure", SALES, 5, 2), ("'Sales'[Cost]", "measure", SALES, 7, 2)]
    status, out, _ = run("deps", MODEL, "[Margin]", "--format", "dot")
    assert out.splitlines()[3:] == ["  n1 [label=\"'Sales'[Revenue]\"];", "  n2 [label=\"'Sales'[Cost]\"];",
                                    "  n3 [label=\"'Sales'[Margin]\"];", "  n3 -> n1;", "  n3 -> n2;", "}"]
    status, out, _ = run("deps", MODEL, "[Margin]", "--format", "mermaid")
    assert out.splitlines() == ["flowchart LR", "  n1[\"'Sales'[Revenue]\"]", "  n2[\"'Sales'[Cost]\"]",
                                "  n3[\"'Sales'[Margin]\"]", "  n3 --> n1", "  n3 --> n2"]
    status, out, _ = run("deps", MODEL)
    assert "'Sales'[Margin] -> 'Sales'[Revenue]\n" in out and "'Date'[Month] -> 'Date'[Month Number]\n" in out


NOT_FOUND = [
    # OBJECT as a user may write it, the hint (None: none)
    ("[Nothing]", None),
    ("[Revenu]", "did you mean [Revenue]?"),
    ("'Sales'[Marign]", "did you mean 'Sales'[Margin]?"),
    ("Revenue", "measures and columns are written in brackets: did you mean [Revenue]?"),
    ("Quantity", "measures and columns are written in brackets: did you mean 'Sales'[Quantity]?"),
    ("\u2018Sales\u2019[Revenue]", "DAX names are quoted with straight quotes: did you mean 'Sales'[Revenue]?"),
    ("\u2018Sales\u2019[Nothing]", "DAX names are quoted with straight quotes (' and \"), not typographic ones"),
]


@pytest.mark.parametrize("written, hint", NOT_FOUND)
def test_an_object_not_found_gets_a_hint(written, hint):
    expected = LEFT_OUT + f"quarrow-dax: deps: {MODEL}: no object named {written}\n"
    assert run("deps", MODEL, written) == (2, "", expected + (f"  hint: {hint}\n" if hint else ""))


def test_usage_errors_are_messages():
    status, _, err = run("deps", MODEL, "[Margin]", "--unused")
    assert status == 2 and "OBJECT goes with --upstream or --downstream" in err
    status, _, err = run("deps", "nowhere")
    assert status == 2 and "no such file or folder" in err and "Traceback" not in err


def test_check_reports_the_misspelled_measure_in_every_format():
    status, out, err = run("check", MODEL)
    assert (status, out, err) == (1, (
        f"{SALES}:15:17: reference error: no measure or column of that name: [Revenu]\n"
        "  in measure 'Sales'[Typo]\n"
        "[Revenu] * 2\n"
        "^^^^^^^^\n"
        "  hint: did you mean [Revenue]?\n"), "checked 9 formulas in 1 model: 1 with errors\n")
    status, out, _ = run("check", "--format", "json", MODEL)
    assert json.loads(out) == {
        "path": SALES, "object": "'Sales'[Typo]", "object_kind": "measure", "kind": "reference",
        "message": "no measure or column of that name: [Revenu]", "start": 0, "end": 8, "line": 15, "column": 17,
        "end_line": 15, "end_column": 25, "severity": "error", "code": "DAX001", "hint": "did you mean [Revenue]?"}
    assert run("check", "--format", "gcc", MODEL)[1] == (
        f"{SALES}:15:17: error: no measure or column of that name: [Revenu] (in measure 'Sales'[Typo]) [DAX001]\n"
        f"{SALES}:15:17: note: did you mean [Revenue]?\n")
    assert run("check", "--format", "github", MODEL)[1].startswith(
        f"::error file={SALES},line=15,col=17,endLine=15,endColumn=25,title=DAX001 reference error in measure")
    sarif = json.loads(run("check", "--format", "sarif", MODEL)[1])
    (result,) = sarif["runs"][0]["results"]
    rules = sarif["runs"][0]["tool"]["driver"]["rules"]
    assert rules[result["ruleIndex"]]["name"] == "unknown-reference"
    assert result["locations"][0]["physicalLocation"]["region"] == {
        "startLine": 15, "startColumn": 17, "endLine": 15, "endColumn": 25}
    assert run("check", "--no-resolve", MODEL) == (0, "", "checked 9 formulas in 1 model: 0 with errors\n")
    # One file of a model (as a pre-commit hook passes it) is checked in its model, the names it uses looked up.
    status, out, err = run("check", SALES)
    assert (status, out.split(":")[:3], err) == (1, [SALES, "15", "17"], "checked 8 formulas in 1 model: 1 with errors\n")
    # deps reads the model a .tmdl file is part of.
    status, out, err = run("deps", SALES, "[Margin]")
    assert (status, out) == (0, "'Sales'[Revenue]\n'Sales'[Cost]\n")
    assert err.startswith(f"quarrow-dax: deps: reading {MODEL}/definition, the model {SALES} is part of\n")
