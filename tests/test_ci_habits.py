"""The habits of Python tooling in CI, each from what a new user ran into:
a staged .tmdl file checked in its model, findings on standard output and
the summary on standard error, --quiet, --statistics, colour, summaries
that count what was done, and messages for the Power BI files people try."""

import json
import os
import shutil
import subprocess
import sys

import pytest


def run_cli(*args, cwd, stdin=b"", env=None):
    run = subprocess.run([sys.executable, "-m", "quarrow_dax", *args], input=stdin, capture_output=True, cwd=cwd,
                         timeout=60, env=env)
    return run.returncode, run.stdout.decode(), run.stderr.decode()


def make(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))


# --- a file inside a model folder is read in its model -------------------------------------

MODEL = {
    "M.SemanticModel/definition/model.tmdl": "model Model\n",
    "M.SemanticModel/definition/tables/Sales.tmdl": "table Sales\n\n\tmeasure Amount = SUM ( Sales[Qty] )\n\n"
                                                    "\tcolumn Qty\n\t\tdataType: int64\n",
    "M.SemanticModel/definition/tables/Budget.tmdl": "table Budget\n\n\tmeasure Plan = [Amont] * 2\n\n"
                                                     "\tmeasure Ratio = [Amount] / [Plan]\n",
}
BUDGET = "M.SemanticModel/definition/tables/Budget.tmdl"
SALES = "M.SemanticModel/definition/tables/Sales.tmdl"

PARTS = [
    # arguments, exit status, the headers of what is reported, the summary
    (["check", BUDGET], 1, [f"{BUDGET}:3:17: reference error: no measure or column of that name: [Amont]"],
     "checked 2 formulas in 1 model: 1 with errors\n"),
    (["check", SALES], 0, [], "checked 1 formula in 1 model: 0 with errors\n"),
    # two files of one model: the model is read once, both are reported, under the paths given
    (["check", SALES, BUDGET], 1, [f"{BUDGET}:3:17: reference error: no measure or column of that name: [Amont]"],
     "checked 3 formulas in 1 model: 1 with errors\n"),
    # the whole model and one of its files: the model, once
    (["check", "M.SemanticModel", BUDGET], 1,
     [f"{BUDGET}:3:17: reference error: no measure or column of that name: [Amont]"],
     "checked 3 formulas in 1 model: 1 with errors\n"),
    (["lint", "--format", "gcc", BUDGET], 1,
     [f"{BUDGET}:3:17: error: no measure or column of that name: [Amont] (in measure 'Budget'[Plan]) [DAX001]",
      f"{BUDGET}:3:17: note: did you mean [Amount]?",
      f"{BUDGET}:5:27: warning: division with `/` by an expression that may be zero or blank (in measure"
      " 'Budget'[Ratio]) [DAX101]",
      f"{BUDGET}:5:27: note: DIVIDE ( numerator, denominator ) returns BLANK where `/` would fail"],
     "linted 2 formulas in 1 model: 2 findings (1 error, 1 warning)\n"),
    (["check", "--list", BUDGET], 0, [f"{BUDGET}:3:17: measure 'Budget'[Plan]: [Amont] * 2",
                                      f"{BUDGET}:5:18: measure 'Budget'[Ratio]: [Amount] / [Plan]"],
     "found 2 formulas in 1 model\n"),
]


@pytest.mark.parametrize("args, status, headers, summary", PARTS)
def test_a_file_of_a_model_is_read_in_its_model(args, status, headers, summary, tmp_path):
    make(tmp_path, MODEL)
    code, stdout, stderr = run_cli(*args, cwd=tmp_path)
    shown = [line for line in stdout.splitlines() if line.startswith("M.Semantic")]
    assert (code, shown, stderr) == (status, headers, summary)


def test_a_part_whose_model_cannot_be_read_in_full_says_so(tmp_path):
    make(tmp_path, {**MODEL, "M.SemanticModel/definition/tables/Broken.tmdl": "table X\n\nbroken line here\n"})
    code, stdout, stderr = run_cli("check", BUDGET, cwd=tmp_path)
    # the names cannot be looked up; the broken file is not the one asked about
    assert code == 0 and "names were not looked up: 1 other file of the model could not be read" in stdout
    assert "Broken.tmdl" not in stdout and stderr == "checked 2 formulas in 1 model: 0 with errors\n"


def test_lint_fix_of_a_part_writes_only_that_file(tmp_path):
    make(tmp_path, {**MODEL, "M.SemanticModel/definition/tables/Sales.tmdl":
                    MODEL[SALES].replace("SUM ( Sales[Qty] )", "SUMX ( Sales, Sales[Qty] )"),
                    BUDGET: "table Budget\n\n\tmeasure Plan = SUMX ( Sales, Sales[Qty] ) * 2\n"})
    before = (tmp_path / SALES).read_bytes()
    code, _, stderr = run_cli("lint", "--fix", BUDGET, cwd=tmp_path)
    assert (tmp_path / BUDGET).read_text() == "table Budget\n\n\tmeasure Plan = SUM ( Sales[Qty] ) * 2\n"
    assert (tmp_path / SALES).read_bytes() == before
    assert code == 0 and stderr.endswith("fixed 1 finding in 1 file\n")


WRITES = [
    # arguments, the summary: a file that could not be written is not counted as written
    (["format", "d/a.dax"], "0 files formatted, 0 unchanged, 1 could not be written\n"),
    (["lint", "--fix", "d/a.dax"], "linted 1 file: 2 findings (2 warnings)\nfixed 0 findings in 0 files; 1 file could"
     " not be written\n"),
]


@pytest.mark.parametrize("args, summary", WRITES)
def test_a_file_that_cannot_be_written_is_counted_apart(args, summary, tmp_path):
    if os.geteuid() == 0 and shutil.which("setpriv") is None:
        pytest.skip("running as root without setpriv: permissions cannot be tested")
    prefix = ["setpriv", "--inh-caps=-dac_override", "--bounding-set=-dac_override"] if os.geteuid() == 0 else []
    make(tmp_path, {"d/a.dax": "VAR x = 1 RETURN sumx(T, T[a])"})
    (tmp_path / "d").chmod(0o555)
    try:
        run = subprocess.run([*prefix, sys.executable, "-m", "quarrow_dax", *args], capture_output=True, cwd=tmp_path,
                             timeout=60)
    finally:
        (tmp_path / "d").chmod(0o755)
    assert run.returncode == 2 and run.stderr.decode().startswith("quarrow-dax: cannot write d/a.dax: ")
    assert run.stderr.decode().endswith(summary)


# --- streams, --quiet, --statistics, colour --------------------------------------------------

FILES = {"bad.dax": "1 +", "warn.dax": "VAR x = 1 RETURN 2", "latin.dax": b"1 \xe9", "ok.dax": "1\n"}

STREAMS = [
    # arguments, exit status, standard output, standard error
    (["check", "bad.dax", "latin.dax"], 2,
     "bad.dax:1:4: parse error: unexpected end of input\n1 +\n   ^\n"
     "quarrow-dax: cannot read latin.dax: not valid UTF-8: unexpected end of data 0xe9 at line 1, column 3"
     " (byte 2)\n", "checked 1 file: 1 with errors; 1 file could not be read\n"),
    (["check", "-q", "bad.dax", "ok.dax"], 1, "bad.dax:1:4: parse error: unexpected end of input\n1 +\n   ^\n", ""),
    (["check", "--statistics", "bad.dax", "latin.dax", "ok.dax"], 2, "1\tE002\t[ ] syntax-error\n"
     "1\tE003\t[ ] unreadable-input\n", "checked 2 files: 1 with errors; 1 file could not be read\n"),
    (["lint", "--statistics", "--format", "json", "warn.dax", "bad.dax"], 1,
     '[\n  {\n    "code": "DAX002",\n    "name": "unused-variable",\n    "count": 1,\n    "fixable": true,\n'
     '    "fixable_count": 1\n  },\n  {\n    "code": "E002",\n    "name": "syntax-error",\n    "count": 1,\n'
     '    "fixable": false,\n    "fixable_count": 0\n  }\n]\n', "linted 2 files: 2 findings (1 error, 1 warning)\n"),
    (["lint", "--show-fixes", "-q", "warn.dax"], 1,
     "warn.dax:1:5: maintainability warning: variable `x` is never used [DAX002]\nVAR x = 1 RETURN 2\n    ^\n"
     "  hint: remove it, or use it where it was meant to be used\n  safe fix: replace the VAR block by its RETURN expression\n", ""),
    (["lint", "--fix", "--show-fixes", "warn.dax", "ok.dax"], 0, "",
     "linted 2 files: no findings\nfixed 1 finding in 1 file\n- warn.dax:\n    1 \u00d7 DAX002 (unused-variable)\n"),
    (["format", "--check", "-q", "warn.dax", "ok.dax"], 1, "warn.dax\n", ""),
    (["format", "--diff", "ok.dax"], 0, "", "0 files would be formatted, 1 unchanged\n"),
    # a path that does not exist is no file linted
    (["lint", "nosuch"], 2, "quarrow-dax: cannot read nosuch: No such file or directory\n",
     "linted 0 files: no findings; 1 file could not be read\n"),
    # nor when it is fixed
    (["lint", "--fix", "nosuch", "warn.dax"], 2, "quarrow-dax: cannot read nosuch: No such file or directory\n",
     "linted 1 file: no findings; 1 file could not be read\nfixed 1 finding in 1 file\n"),
]


@pytest.mark.parametrize("args, status, stdout, stderr", STREAMS)
def test_findings_on_standard_output_and_the_summary_on_standard_error(args, status, stdout, stderr, tmp_path):
    make(tmp_path, FILES)
    assert run_cli(*args, cwd=tmp_path) == (status, stdout, stderr)


COLOURS = [
    # the environment, the command line, whether the findings are in colour (standard output is a pipe here)
    ({}, [], False),
    ({"FORCE_COLOR": "1"}, [], True),
    ({"FORCE_COLOR": "0"}, [], False),
    ({"FORCE_COLOR": "1", "NO_COLOR": "1"}, [], False),
    ({"NO_COLOR": ""}, ["--color", "always"], True),
    ({"FORCE_COLOR": "1"}, ["--color", "never"], False),
]


@pytest.mark.parametrize("environment, args, coloured", COLOURS)
def test_colour_follows_the_conventions(environment, args, coloured, tmp_path):
    make(tmp_path, FILES)
    env = {key: value for key, value in os.environ.items() if key not in ("NO_COLOR", "FORCE_COLOR")}
    for command in (["check", "bad.dax"], ["lint", "warn.dax"], ["format", "--diff", "warn.dax"]):
        _, stdout, stderr = run_cli(*command, *args, cwd=tmp_path, env={**env, **environment})
        assert ("\x1b[" in stdout) == coloured and "\x1b[" not in stderr, command
    # the text without its colour is the text
    _, plain, _ = run_cli("check", "bad.dax", cwd=tmp_path, env=env)
    _, painted, _ = run_cli("check", "bad.dax", "--color", "always", cwd=tmp_path, env=env)
    import re

    assert re.sub("\x1b\\[[0-9;]*m", "", painted) == plain


# --- messages for inputs people try ----------------------------------------------------------

PROJECT = {
    "Sales.pbip": json.dumps({"artifacts": [{"report": {"path": "Sales.Report"}}]}),
    "Sales.Report/definition.pbir": json.dumps({"datasetReference": {"byPath": {"path": "../Sales.SemanticModel"}}}),
    "Sales.SemanticModel/definition.pbism": "{}",
    "Sales.SemanticModel/definition/model.tmdl": "model Model\n",
    "Sales.SemanticModel/definition/tables/T.tmdl": "table T\n\n\tmeasure A = 1\n\n\tmeasure B = [A] + 1\n",
    "Old.pbix": b"PK\x03\x04",
    "quotes.dax": "IF ( [A] > 1, \u201cbig\u201d )",
    "table.dax": "COUNTROWS ( \u2018Sales\u2019 )",
}

MESSAGES = [
    # arguments, exit status, what the output holds
    (["check", "Old.pbix"], 2, "quarrow-dax: Old.pbix: a packaged Power BI report (.pbix), whose model is stored in a"
     " binary form that cannot be read\n  hint: in Power BI Desktop, save it as a Power BI Project (File > Save as,"
     " type *.pbip), then check its *.SemanticModel folder\n"),
    (["check", "Sales.SemanticModel/definition.pbism"], 2, "quarrow-dax: Sales.SemanticModel/definition.pbism: the "
     "definition file of a semantic model (settings, no DAX): check the model's folder instead\n  hint: quarrow-dax"
     " check Sales.SemanticModel\n"),
    (["check", "quotes.dax"], 1, "  hint: \u201c is a typographic quote, which DAX does not read: write a string between"
     " straight double quotes, \"text\" (an editor, a word processor or a chat may have replaced the straight"
     " quotes)\n"),
    (["check", "table.dax"], 1, "hint: \u2018 is a typographic quote, which DAX does not read: write a table name between"
     " straight single quotes, 'Sales'"),
    # deps takes a PBIP project's root and a project file, as check does
    (["deps", ".", "[B]"], 0, "'T'[A]\n"),
    (["deps", "Sales.pbip", "[B]"], 0, "'T'[A]\n"),
    (["deps", "Old.pbix"], 2, "quarrow-dax: deps: Old.pbix: a packaged Power BI report (.pbix)"),
]


@pytest.mark.parametrize("args, status, expected", MESSAGES)
def test_messages_for_the_files_people_try(args, status, expected, tmp_path):
    make(tmp_path, PROJECT)
    code, stdout, stderr = run_cli(*args, cwd=tmp_path)
    assert code == status and expected in (stderr if args[0] == "deps" and status == 2 else stdout)
    assert "Traceback" not in stderr


def test_deps_on_a_folder_of_several_models_names_them(tmp_path):
    make(tmp_path, {f"{name}.SemanticModel/definition/model.tmdl": "model M\n" for name in ("A", "B")})
    code, stdout, stderr = run_cli("deps", ".", cwd=tmp_path)
    assert (code, stdout) == (2, "") and stderr == (
        "quarrow-dax: deps: .: 2 projects in one folder (A.SemanticModel, B.SemanticModel): give one of them\n")
