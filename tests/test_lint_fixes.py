"""Lint fixes made: texts fixed as the table says (only the fixed spans
change, comments stay, overlapping fixes settle in one run), every fix of
the shared corpus and models reads back and settles, and `lint --fix` /
`--diff` write files (DAX files and models) as they should."""

import collections
import pathlib
import subprocess
import sys

import pytest
from conftest import writable_copy

from quarrow_dax.check import CheckOptions, check_model, collect_inputs, is_query
from quarrow_dax.lint import lint_model
from quarrow_dax.lint.fixes import fix_model, fix_text
from quarrow_dax.syntax import tokenize

ROOT = pathlib.Path(__file__).resolve().parent.parent
SHARED = ROOT.parent / "shared"

FIXES = [
    # DAX, whether the fixes to review are made too, the text after --fix
    # unused variables: the declaration goes, with the white space after it or its emptied line
    ("VAR a = 1 VAR b = 2 RETURN a", False, "VAR a = 1 RETURN a"),
    ("VAR a = 1\nVAR b = 2\nRETURN\n    a", False, "VAR a = 1\nRETURN\n    a"),
    ("VAR a = 1\r\n    VAR b = 2\r\nRETURN a", False, "VAR a = 1\r\nRETURN a"),
    ("VAR a = 1  VAR b = 2\nRETURN a", False, "VAR a = 1\nRETURN a"),
    ("VAR a = /* why */ 1\nVAR b = 2\nRETURN b", False, "/* why */\nVAR b = 2\nRETURN b"),
    ("DEFINE VAR x = 1\nEVALUATE { 2 }", False, "EVALUATE { 2 }"),
    ("VAR a = 1\nVAR b = 2 -- quarrow-dax: ignore[DAX002]\nRETURN a", False,
     "VAR a = 1\nVAR b = 2 -- quarrow-dax: ignore[DAX002]\nRETURN a"),
    # a block whose variables all go is its RETURN expression, as written; nested ones settle in the same run
    ("VAR x = 1 RETURN SUMX ( Sales, Sales[Amount] ) -- total", False, "SUM ( Sales[Amount] ) -- total"),
    ("VAR x = VAR y = 1 RETURN 2 RETURN 3", False, "3"),
    ("2 * VAR x = 1 RETURN 3 + 4", False, "2 * ( 3 + 4 )"),
    # a replacement keeps the comments of the span it replaces
    ('EVALUATEANDLOG ( [x] /* c */, "label" ) * 2', False, "[x] /* c */ * 2"),
    ("EVALUATEANDLOG ( 1 + 2 ) * 3", False, "( 1 + 2 ) * 3"),
    ("sumx(sales,sales[amount]) + 1", False, "SUM ( sales[amount] ) + 1"),
    ("IF ( [b] / [c] > 1, 1 ) -- [b] / [c]", False, "IF ( [b] / [c] > 1, 1 ) -- [b] / [c]"),
    # fixes to review only when asked; of two overlapping ones the outer wins
    ("IF ( [a] = BLANK (), 1, [b] / [c] )", True, "IF ( ISBLANK ( [a] ), 1, DIVIDE ( [b], [c] ) )"),
    ("IF ( [a] <> BLANK (), 1 )", True, "IF ( NOT ISBLANK ( [a] ), 1 )"),
    ("1 - [a] / [b]", True, "DIVIDE ( [b] - [a], [b] )"),
    ("[a] /* why */ / [b]", True, "DIVIDE ( [a] /* why */, [b] )"),
    ("CALCULATE ( [m], FILTER ( Sales, Sales[Qty] > 1 ) )", True, "CALCULATE ( [m], KEEPFILTERS ( Sales[Qty] > 1 ) )"),
    ("CALCULATE ( [m], FILTER ( Sales, Sales[Qty] > 1 ) )", False, "CALCULATE ( [m], FILTER ( Sales, Sales[Qty] > 1 ) )"),
    # a long replacement is laid out by the formatter, indented as its first line
    ("IF (\n    [x],\n    ( SUMX ( Sales, Sales[Quantity] * Sales[Net Price] ) - SUMX ( Sales, Sales[Quantity] * Sales[Unit"
     " Cost] ) ) / [A measure with a long name]\n)", True,
     "IF (\n    [x],\n    DIVIDE (\n        SUMX ( Sales, Sales[Quantity] * Sales[Net Price] ) - SUMX ( Sales, Sales[Quantity] *"
     " Sales[Unit Cost] ),\n        [A measure with a long name]\n    )\n)"),
]


@pytest.mark.parametrize("text, unsafe, expected", FIXES, ids=[t[:40] for t, _, _ in FIXES])
def test_fix(text, unsafe, expected):
    fixed = fix_text(text, unsafe=unsafe)
    assert fixed.text == expected and not fixed.refused


def test_fixes_under_the_semicolon_convention():
    fixed = fix_text("IF ( [a] = BLANK (); 1; [b] / 1,5 + [c] / [d] )", unsafe=True,
                     options=CheckOptions(separators="semicolon"))
    assert fixed.text == "IF ( ISBLANK ( [a] ); 1; [b] / 1,5 + DIVIDE ( [c]; [d] ) )"


def comments(text):
    return [t.text.rstrip() for t in tokenize(text, comments=True) if t.is_comment]


def test_every_fix_of_the_corpus_reads_back_and_settles():
    if not (SHARED / "corpus").is_dir():
        pytest.skip("the shared corpus is not beside the repository")
    changed = 0
    for folder in ("expressions", "queries"):
        for path in sorted((SHARED / "corpus" / folder).glob("*.dax")):
            text = path.read_text(encoding="utf-8")
            kind = "query" if folder == "queries" else "expression"
            fixed = fix_text(text, kind=kind, unsafe=True)
            assert not fixed.refused, (path, fixed.refused)
            if fixed.text == text:
                continue
            changed += 1
            assert not [f for f in fixed.findings if f.fix is not None], path  # settled
            assert comments(fixed.text) == comments(text), path
            assert fix_text(fixed.text, kind=kind, unsafe=True).text == fixed.text, path
    assert changed > 50


# --- files --------------------------------------------------------------------------


def run_cli(*args, cwd, stdin=None):
    run = subprocess.run([sys.executable, "-m", "quarrow_dax", *args], capture_output=True, cwd=cwd, timeout=120,
                         input=stdin)
    return run.returncode, run.stdout.decode(), run.stderr.decode()


def test_fix_writes_a_dax_file_with_its_mark_and_line_ends(tmp_path):
    source = b"\xef\xbb\xbfVAR Unused = 1\r\nVAR Total = SUMX ( Sales, Sales[Amount] )\r\nRETURN Total / [Units]\r\n"
    (tmp_path / "m.dax").write_bytes(source)
    code, stdout, _ = run_cli("lint", "--diff", "m.dax", cwd=tmp_path)
    assert code == 1 and "+VAR Total = SUM ( Sales[Amount] )" in stdout
    assert (tmp_path / "m.dax").read_bytes() == source
    code, stdout, stderr = run_cli("lint", "--fix", "--format", "gcc", "m.dax", cwd=tmp_path)
    assert (tmp_path / "m.dax").read_bytes() == (
        b"\xef\xbb\xbfVAR Total = SUM ( Sales[Amount] )\r\nRETURN Total / [Units]\r\n")
    # a finding remains: exit 1 (--exit-zero or --fail-on error would make it 0)
    assert code == 1 and "[DAX101]" in stdout and stderr.endswith("fixed 2 findings in 1 file\n")
    code, stdout, stderr = run_cli("lint", "--fix", "--unsafe-fixes", "m.dax", cwd=tmp_path)
    assert (tmp_path / "m.dax").read_bytes() == (
        b"\xef\xbb\xbfVAR Total = SUM ( Sales[Amount] )\r\nRETURN DIVIDE ( Total, [Units] )\r\n")
    assert (code, stdout) == (0, "") and stderr == "linted 1 file: no findings\nfixed 1 finding in 1 file\n"


def test_fix_of_standard_input_writes_it_out(tmp_path):
    code, stdout, stderr = run_cli("lint", "--fix", "-", cwd=tmp_path, stdin=b"VAR a = 1 VAR b = 2 RETURN a / 0")
    assert stdout == "VAR a = 1 RETURN a / 0" and code == 1  # DAX101 remains
    assert "[DAX101]" in stderr and "fixed 1 finding in 1 file" in stderr
    code, _, stderr = run_cli("lint", "--unsafe-fixes", "-", cwd=tmp_path, stdin=b"1")
    assert code == 2 and "--unsafe-fixes goes with --fix or --diff" in stderr


BIM = """{
  "name": "M",
  "model": {
    "tables": [
      {
        "name": "Sales",
        "columns": [ { "name": "Qty", "dataType": "int64" }, { "name": "Price", "dataType": "decimal" } ],
        "measures": [
          { "name": "Amount", "expression": [ "SUMX (", "\\tSales,", "\\t[Qty] * [Price] -- per row", ")" ] },
          { "name": "Twice", "expression": "Sales[Amount] * 2" },
          { "name": "Kept", "expression": "\\"é\\" & [Amount]" }
        ]
      }
    ]
  }
}
"""


def test_fix_rewrites_only_the_fixed_formulas_of_a_model(tmp_path):
    (tmp_path / "model.bim").write_text(BIM, encoding="utf-8")
    code, stdout, stderr = run_cli("lint", "--fix", "--show-fixes", "model.bim", cwd=tmp_path)
    assert (code, stdout) == (0, "")
    assert stderr == ("linted 3 formulas in 1 model: no findings\nfixed 3 findings in 1 file\n"
                      "- model.bim:\n    2 \u00d7 DAX201 (qualify-columns)\n    1 \u00d7 DAX202 (unqualified-measures)\n")
    expected = BIM.replace('"\\t[Qty] * [Price] -- per row"', '"\\tSales[Qty] * Sales[Price] -- per row"')
    expected = expected.replace('"Sales[Amount] * 2"', '"[Amount] * 2"')
    assert (tmp_path / "model.bim").read_text(encoding="utf-8") == expected


def test_fix_of_the_shared_models(tmp_path):
    # Every fix, to review or not, reads back; the fixed models check as before and have no fix left to make.
    if not (SHARED / "models").is_dir():
        pytest.skip("the shared models are not beside the repository")
    writable_copy(SHARED / "models", tmp_path / "models")
    models = collect_inputs([str(tmp_path / "models")]).models
    before = {model: collections.Counter((d.code, d.message) for d in check_model(model, CheckOptions()))
              for model in models}
    written = []
    for model in models:
        for result in fix_model(model, unsafe=True):
            assert not result.problems and result.changed, result.problems
            result.write()
            written.append(result.path)
    assert len(written) >= 9
    # Power BI's own date tables are left as Power BI wrote them
    assert not [path for path in written if "LocalDateTable_" in path or "DateTableTemplate_" in path]
    for model in models:
        assert collections.Counter((d.code, d.message) for d in check_model(model, CheckOptions())) == before[model]
        assert [d.render() for d in lint_model(model) if getattr(d, "fix", None) is not None] == []


def test_fixes_of_names_are_safe_where_the_model_decides(tmp_path):
    # [Color] is found only because one table has such a column, and a column Budget[Target] has the
    # measure's name: those fixes are to review. The iterator decides [Key] (then SUMX of it is SUM), and no
    # column is named Margin.
    from test_lint_rules import model_with

    text = "COUNTROWS ( VALUES ( [Color] ) ) + Sales[Target] + SUMX ( Product, [Key] ) + Sales[Margin]"
    for name, content in model_with([("Case", "measure", text)]).items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(content, encoding="utf-8")
    fixed = {}
    for unsafe in (False, True):
        (result,) = fix_model(str(tmp_path), unsafe=unsafe)
        fixed[unsafe] = [line.strip() for line in result.after.splitlines() if "COUNTROWS" in line]
    # PRODUCT is a function's name: the table is written in quotes
    assert fixed == {
        False: ["COUNTROWS ( VALUES ( [Color] ) ) + Sales[Target] + SUM ( 'Product'[Key] ) + [Margin]"],
        True: ["COUNTROWS ( VALUES ( 'Product'[Color] ) ) + [Target] + SUM ( 'Product'[Key] ) + [Margin]"],
    }
