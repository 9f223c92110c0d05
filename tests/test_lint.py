"""The linter around its rules: configuration files and their errors,
inline suppressions, findings placed in model files, and `quarrow-dax
lint` end to end (exit status, formats, --explain, --select, --ignore)."""

import json
import pathlib
import subprocess
import sys

import jsonschema
import pytest

from quarrow_dax.lint import CATALOGUE, ConfigError, ConfigFinder, LintConfig, find_config, lint_model, lint_text

from test_formats import sarif_schema  # noqa: F401  (a fixture)


def run_cli(*args, cwd, stdin=None):
    run = subprocess.run([sys.executable, "-m", "quarrow_dax", *args], capture_output=True, cwd=cwd, timeout=60,
                         input=stdin)
    return run.returncode, run.stdout.decode(), run.stderr.decode()


def make(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")


def codes(text, **keywords):
    return [d.code for d in lint_text(text, **keywords)]


# --- selection and severities -------------------------------------------------------

SELECTIONS = [
    # select, ignore, the codes selected
    (("ALL",), (), set(CATALOGUE) - {"DAX006"}),  # unused-suppression is off unless named
    (("ALL", "unused-suppression"), (), set(CATALOGUE)),
    (("maintainability", "DAX00"), ("DAX001", "DAX003"),
     {c for c, r in CATALOGUE.items() if r.category == "maintainability" and not r.opt_in} | {
         "DAX002", "DAX004", "DAX005", "DAX006"}),
    (("DAX006",), ("maintainability",), set()),  # ignoring a category reaches it all the same
    (("DAX1",), (), {c for c in CATALOGUE if c.startswith("DAX1")}),
    (("dax10",), ("DAX105", "evaluateandlog"), {"DAX101", "DAX102", "DAX103", "DAX104", "DAX107", "DAX108", "DAX109"}),
    (("correctness",), ("blank-comparison",), {"DAX001", "DAX003", "DAX101", "DAX109"}),
    (("style", "DAX002"), (), {"DAX002", "DAX104", "DAX201", "DAX202"}),
    (("ALL",), ("ALL",), set()),
]


@pytest.mark.parametrize("select, ignore, expected", SELECTIONS)
def test_selection(select, ignore, expected):
    assert {rule.code for rule in LintConfig(select=select, ignore=ignore).rules_for()} == expected


def test_severity_follows_the_closest_setting():
    config = LintConfig(severity=(("ALL", "note"), ("DAX1", "warning"), ("performance", "error"),
                                  ("use-divide", "error"), ("DAX10", "note")))
    assert [config.severity_of(CATALOGUE[c]) for c in ("DAX002", "DAX101", "DAX102", "DAX203")] == [
        "note", "error", "note", "error"]


@pytest.mark.parametrize("bad", [{"select": ("DAX999",)}, {"ignore": ("speed",)}, {"severity": (("DAX101", "fatal"),)}])
def test_a_configuration_that_selects_nothing_is_refused(bad):
    with pytest.raises(ValueError):
        LintConfig(**bad)


PATTERNS = [
    # pattern, path relative to the configuration, whether it matches
    ("legacy/**", "legacy/a.dax", True),
    ("legacy/**", "legacy/deep/er/a.dax", True),
    ("legacy/**", "new/legacy/a.dax", False),
    ("legacy", "new/legacy/a.dax", True),  # no `/`: a name at any depth, and what is below it
    ("*.bim", "models/Sales/model.bim", True),
    ("*.bim", "models/model.bim.dax", False),
    ("tables/Sal?s.tmdl", "tables/Sales.tmdl", True),
    ("**/tables/*.tmdl", "M.SemanticModel/definition/tables/Sales.tmdl", True),
    ("m/*.dax", "m/sub/a.dax", False),
]


@pytest.mark.parametrize("pattern, relative, matches", PATTERNS)
def test_per_path_ignores(tmp_path, pattern, relative, matches):
    config = LintConfig(per_path_ignores=((pattern, ("DAX101",)),), root=str(tmp_path))
    selected = {rule.code for rule in config.rules_for(str(tmp_path / relative))}
    assert ("DAX101" not in selected) == matches


# --- configuration files ----------------------------------------------------------


def test_the_closest_configuration_governs(tmp_path):
    make(tmp_path, {
        "pyproject.toml": '[tool.quarrow-dax.lint]\nignore = ["DAX101"]\n',
        "a/quarrow-dax.toml": '[lint]\nignore = ["DAX102"]\n',
        "a/pyproject.toml": '[tool.quarrow-dax.lint]\nignore = ["DAX104"]\n',  # quarrow-dax.toml wins here
        "a/b/pyproject.toml": '[project]\nname = "quarrow-dax-user"\n',  # no lint table: passed over
        "a/b/c.dax": "1",
        "d/e.dax": "1",
    })
    assert find_config(tmp_path / "a/b/c.dax").ignore == ("DAX102",)
    assert find_config(tmp_path / "d/e.dax").ignore == ("DAX101",)
    assert find_config(tmp_path / "d").path.endswith("pyproject.toml")


CONFIG_ERRORS = [
    # file, text, message, line
    ("quarrow-dax.toml", "[lint]\nselect = [\n", "invalid TOML: ", 3),
    ("quarrow-dax.toml", '[lint]\n\nselct = ["ALL"]\n', "[lint] has no setting 'selct'", 3),
    ("pyproject.toml", '[tool.quarrow-dax.lint]\nignore = "DAX101"\n', "ignore must be a list of strings", 2),
    ("quarrow-dax.toml", '[lint]\nselect = ["ALL"]\nignore = ["DAX1", "DAX999"]\n',
     "ignore: no rule is selected by 'DAX999'", 3),
    ("quarrow-dax.toml", '[lint]\nseverity = { DAX101 = "fatal" }\n', "severity: not a severity: 'fatal'", 2),
    ("quarrow-dax.toml", '[lint]\nper-path-ignores = { "a/**" = ["DAX1O1"] }\n',
     "per-path-ignores 'a/**': no rule is selected by 'DAX1O1'", 2),
]


@pytest.mark.parametrize("name, text, message, line", CONFIG_ERRORS)
def test_configuration_errors_are_located(tmp_path, name, text, message, line):
    make(tmp_path, {name: text})
    with pytest.raises(ConfigError) as info:
        find_config(tmp_path / "x.dax")
    assert info.value.message.startswith(message) and info.value.line == line


def test_a_finder_reads_each_file_once(tmp_path):
    make(tmp_path, {"quarrow-dax.toml": "[lint]\n", "a/1.dax": "1", "a/2.dax": "1"})
    finder = ConfigFinder()
    first = finder.config_for(tmp_path / "a/1.dax")
    (tmp_path / "quarrow-dax.toml").write_text("[lint\n")  # changed behind its back: not read again
    assert finder.config_for(tmp_path / "a/2.dax") is first


# --- suppressions -------------------------------------------------------------------

SUPPRESSIONS = [
    # DAX, the codes still reported (DAX005: a suppression that does not read, or names no rule)
    ("[a] / [b]  -- quarrow-dax: ignore[DAX101]", []),
    ("[a] / [b]  // QUARROW-DAX : IGNORE [ use-divide ]", []),
    ("[a] / [b]  /* quarrow-dax: ignore */", []),
    ("[a] / [b]  -- quarrow-dax: ignore -- the blanket form, then a remark", []),
    ("[a] / [b]  -- quarrow-dax: ignore[DAX101] the denominator is never 0", []),  # free text after the list
    ("-- quarrow-dax: ignore[DAX101]\n[a] / [b]", []),
    ("[a] -- quarrow-dax: ignore[DAX101]\n/ [b]", ["DAX101"]),  # not alone on its line: that line only
    ("-- quarrow-dax: ignore[DAX101]\n\n[a] / [b]", ["DAX101"]),
    ("[a] / [b]  -- quarrow-dax: ignore[DAX102]", ["DAX101"]),
    ("[a] / [b]  -- quarrow-dax: ignore[DAX102, DAX101]", []),
    ("[a] / [b] & \"-- quarrow-dax: ignore[DAX101]\"", ["DAX101"]),  # in a string: no comment
    ("-- quarrow-dax: ignore-formula[DAX101]\nIFERROR ( 1, 2 ) +\n[a] / [b]", ["DAX102"]),
    ("IFERROR ( [a] / [b], 0 ) /* quarrow-dax: ignore-formula */", []),
    # what does not read silences nothing, and is reported
    ("[a] / [b] -- quarrow-dax: ignored[DAX101]", ["DAX101", "DAX005"]),
    ("[a] / [b] -- quarrow-dax: ignore DAX101", ["DAX101", "DAX005"]),
    ("[a] / [b] -- quarrow-dax: ignore[DAX101", ["DAX101", "DAX005"]),
    ("[a] / [b] /* quarrow-dax: ignore[DAX101\n] */", ["DAX101", "DAX005"]),  # the list ends on its line
    ("-- quarrow-dax: ignore-formula DAX101\n[a] / [b]", ["DAX005", "DAX101"]),
    ("[a] / [b] -- quarrow-dax: ignore[]", ["DAX101", "DAX005"]),
    ("[a] / [b] -- quarrow-dax:", ["DAX101", "DAX005"]),
    # a code that names no rule is reported; the others of its list still silence
    ("[a] / [b] -- quarrow-dax: ignore[DAX1O1]", ["DAX101", "DAX005"]),
    ("IFERROR ( [a] / [b], 0 ) -- quarrow-dax: ignore[DAX1O1, avoid-iferror]", ["DAX101", "DAX005"]),
    # the reports about suppressions are findings like any other
    ("-- quarrow-dax: ignore-formula[DAX005]\n[a] / [b] -- quarrow-dax: ignore DAX101", ["DAX101"]),
]
@pytest.mark.parametrize("text, expected", SUPPRESSIONS)
def test_suppressions(text, expected):
    assert codes(text) == expected


SUPPRESSION_MESSAGES = [
    # DAX, the message of its DAX005 finding, its hint
    ("1 -- quarrow-dax: ignore[DAX1O1]", "suppression names no rule: 'DAX1O1' (did you mean 'DAX101'?)",
     "name rules by code (DAX101) or name (use-divide); quarrow-dax lint --explain RULE describes one"),
    ("1 -- quarrow-dax: ignore DAX101", "ignore is followed by 'DAX101': the rules go in brackets",
     "write ignore[DAX101]; as it is, it silences nothing"),
    ("1 -- quarrow-dax: ignroe[DAX101]", "not a suppression: quarrow-dax: 'ignroe' (did you mean 'ignore'?)",
     "write quarrow-dax: ignore[DAX101] (this line) or quarrow-dax: ignore-formula[DAX101] (the formula)"),
    ("1 -- quarrow-dax: ignore-formula[DAX101", "the list of rules after ignore-formula is not closed",
     "write ignore-formula[DAX101] or ignore-formula[DAX101, DAX102]"),
]


@pytest.mark.parametrize("text, message, hint", SUPPRESSION_MESSAGES)
def test_what_is_wrong_with_a_suppression_is_said(text, message, hint):
    (finding,) = lint_text(text)
    assert (finding.code, finding.severity, finding.message, finding.hint) == ("DAX005", "warning", message, hint)


UNUSED = [
    # DAX, the messages of DAX006 (selected by name) at their columns
    ("[a] + [b] -- quarrow-dax: ignore[DAX101]", [(14, "suppression silences nothing here: DAX101")]),
    ("[a] / [b] -- quarrow-dax: ignore[DAX101, DAX102]",
     [(14, "suppression names rules that silence nothing here: DAX102")]),
    ("[a] + [b] /* quarrow-dax: ignore */", [(14, "suppression of every rule silences nothing here")]),
    ("[a] + [b] -- quarrow-dax: ignore[DAX101, unused-suppression]", []),
    # one finding silenced by two directives: both did their part
    ("-- quarrow-dax: ignore[DAX101]\n[a] / [b] -- quarrow-dax: ignore[DAX101]", []),
    # a rule that did not run is not judged: DAX104 is ignored here
    ("[a] -- quarrow-dax: ignore[DAX104]", []),
    ("-- quarrow-dax: ignore-formula[DAX101]\n[a] + [b]", [(4, "suppression silences nothing here: DAX101")]),
    # a finding on several lines is silenced from any of them
    ("IF ( [x],\n[a] / [b] ) -- quarrow-dax: ignore[DAX101]", []),
]


@pytest.mark.parametrize("text, expected", UNUSED)
def test_unused_suppressions_when_selected(text, expected):
    config = LintConfig(select=("ALL", "unused-suppression"), ignore=("DAX104",))
    found = [(d.column, d.message) for d in lint_text(text, config=config) if d.code == "DAX006"]
    assert found == expected
    assert "DAX006" not in codes(text)  # off unless selected


def test_every_line_suppressed():
    # A finding on every line, each silenced by its own line's directive and by no other.
    text = "".join(f"[a{i}] / [b] + -- quarrow-dax: ignore[DAX101]\n" for i in range(2000)) + "0"
    config = LintConfig(select=("DAX101", "DAX102", "DAX005", "DAX006"))
    assert lint_text(text, config=config) == []
    broken = text.replace("ignore[DAX101]", "ignore[DAX102]", 1)
    assert [(d.line, d.code) for d in lint_text(broken, config=config)] == [(1, "DAX101"), (1, "DAX006")]


# --- models ---------------------------------------------------------------------------


def test_findings_are_placed_in_the_model_files(tmp_path):
    make(tmp_path, {
        "M.SemanticModel/definition/model.tmdl": "model Model\n\tculture: en-US\n",
        "M.SemanticModel/definition/tables/Sales.tmdl": (
            "table Sales\n\n\tmeasure Margin =\n\t\t\tVAR Sales = [Revenue]\n\t\t\tRETURN\n"
            "\t\t\t\t( Sales - [Cost] ) / Sales\n\n"
            "\tcolumn Band = IF ( [Qty] > 1, [Qty], [Qty] ) + 0  // a column: no DAX105, no DAX107\n"),
        "M.SemanticModel/definition/tables/Other.tmdl": "table Other\n\n\tmeasure Odd = [A] / [B]\n",
        # the names the formulas use are nowhere: DAX001 is not what this test is about
        "quarrow-dax.toml": '[lint]\nignore = ["DAX001"]\nper-path-ignores = { "Other.tmdl" = ["DAX101"] }\n',
    })
    model = str(tmp_path / "M.SemanticModel")
    found = list(lint_model(model, config=find_config(model)))
    assert [(pathlib.Path(d.path).name, d.line, d.column, d.code, d.object, d.object_kind) for d in found] == [
        ("Sales.tmdl", 4, 8, "DAX003", "'Sales'[Margin]", "measure"),  # named like the table Sales
        ("Sales.tmdl", 6, 24, "DAX101", "'Sales'[Margin]", "measure"),
    ]
    assert found[1].source_line == "\t( Sales - [Cost] ) / Sales"


# --- the command line --------------------------------------------------------------------

FILES = {
    "warn.dax": "VAR x = 1 RETURN 2",
    "error.dax": "VAR a = 1 VAR a = a + 1 RETURN a",
    "broken.dax": "1 +",
    "clean.dax": "SUM ( Sales[Amount] )",
}


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    root = tmp_path_factory.mktemp("lint")
    make(root, FILES)
    return root


STATUSES = [
    # arguments, exit status, the summary: any finding fails the run unless --exit-zero or --fail-on says otherwise
    (["clean.dax"], 0, "linted 1 file: no findings\n"),
    (["warn.dax"], 1, "linted 1 file: 1 finding (1 warning)\n"),
    (["error.dax"], 1, "linted 1 file: 1 finding (1 error)\n"),
    (["--ignore", "DAX003", "error.dax"], 0, "linted 1 file: no findings\n"),
    (["--select", "DAX101", "error.dax", "warn.dax"], 0, "linted 2 files: no findings\n"),
    (["broken.dax"], 1, "linted 1 file: 1 finding (1 error)\n"),
    (["--exit-zero", "warn.dax", "error.dax", "broken.dax"], 0, "linted 3 files: 3 findings (2 errors, 1 warning)\n"),
    (["--fail-on", "error", "warn.dax"], 0, "linted 1 file: 1 finding (1 warning)\n"),
    (["--fail-on", "error", "warn.dax", "error.dax"], 1, "linted 2 files: 2 findings (1 error, 1 warning)\n"),
    (["--fail-on", "warning", "warn.dax"], 1, "linted 1 file: 1 finding (1 warning)\n"),
    # a file that cannot be read is no file linted, and exits 2 whatever the options
    (["missing.dax", "clean.dax"], 2, "linted 1 file: no findings; 1 file could not be read\n"),
    (["--exit-zero", "missing.dax"], 2, "linted 0 files: no findings; 1 file could not be read\n"),
    (["-q", "warn.dax"], 1, ""),
]


@pytest.mark.parametrize("args, status, summary", STATUSES)
def test_exit_status(project, args, status, summary):
    # The findings on standard output, the summary on standard error.
    code, stdout, stderr = run_cli("lint", *args, cwd=project)
    assert (code, stderr) == (status, summary)
    assert "linted" not in stdout and (status == 1) <= bool(stdout)


def test_a_configuration_error_is_reported_once_and_stops_its_files(tmp_path):
    make(tmp_path, {"quarrow-dax.toml": "[lint]\nselect = DAX\n", "a.dax": "1", "b.dax": "[a] / [b]"})
    code, stdout, stderr = run_cli("lint", "a.dax", "b.dax", cwd=tmp_path)
    # The summary says that nothing was linted, not that nothing was found.
    assert code == 2 and stderr == "linted 0 files: no findings; 2 files not linted: their configuration cannot be used\n"
    assert stdout.count("quarrow-dax.toml:2:") == 1 and "config error: invalid TOML" in stdout
    code, stdout, _ = run_cli("lint", "--config", "none.toml", "a.dax", cwd=tmp_path)
    assert code == 2


def test_standard_input_and_severity_from_the_configuration(tmp_path):
    make(tmp_path, {"quarrow-dax.toml": '[lint]\nseverity = { maintainability = "error" }\n'})
    code, stdout, _ = run_cli("lint", "--format", "json", "-", cwd=tmp_path, stdin=b"VAR x = 1 RETURN 2")
    record = json.loads(stdout.splitlines()[0])
    assert code == 1 and (record["path"], record["code"], record["severity"], record["kind"]) == (
        "<stdin>", "DAX002", "error", "maintainability")


def test_explain(project):
    code, stdout, _ = run_cli("lint", "--explain", "use-divide", cwd=project)
    assert code == 0 and stdout.startswith("DAX101 use-divide (correctness, warning by default)\n")
    code, _, stderr = run_cli("lint", "--explain", "DAX999", cwd=project)
    assert code == 2 and "no rule 'DAX999'; the rules are DAX001, DAX002" in stderr
    code, _, stderr = run_cli("lint", cwd=project)
    assert code == 2 and "give the paths to lint" in stderr


def test_sarif_lists_the_catalogue(project, sarif_schema):  # noqa: F811
    code, stdout, _ = run_cli("lint", "--format", "sarif", "warn.dax", "error.dax", cwd=project)
    log = json.loads(stdout)
    jsonschema.Draft7Validator(sarif_schema).validate(log)
    run = log["runs"][0]
    rules = run["tool"]["driver"]["rules"]
    assert {rule["id"] for rule in rules} >= set(CATALOGUE)
    assert [(rules[r["ruleIndex"]]["id"], r["level"]) for r in run["results"]] == [
        ("DAX002", "warning"), ("DAX003", "error")]
