"""`quarrow-dax format` on files and models, and writing formulas back into
model files: in place, --check, --diff, standard input, exit statuses, the
bytes outside the formulas, and the shared models formatted on a copy."""

import json
import re
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import writable_copy

from quarrow_dax import _native
from quarrow_dax import syntax as S
from quarrow_dax.formatter import same_tree
from quarrow_dax.model import read_model
from quarrow_dax.model.writing import rewrite_formulas

SHARED_MODELS = Path(__file__).resolve().parents[2] / "shared" / "models"


def run_cli(*args, cwd, stdin=b""):
    run = subprocess.run([sys.executable, "-m", "quarrow_dax", "format", *args], input=stdin, capture_output=True,
                         cwd=cwd, timeout=120)
    return run.returncode, run.stdout.decode(), run.stderr.decode()


def test_files_are_formatted_in_place_once(tmp_path):
    (tmp_path / "a.dax").write_text("sum(T[x])\n", encoding="utf-8")
    (tmp_path / "b.dax").write_text("SUM ( T[x] )\n", encoding="utf-8")
    (tmp_path / "q.dax").write_text("evaluate {1}", encoding="utf-8")
    assert run_cli("--check", ".", cwd=tmp_path) == (1, "a.dax\nq.dax\n", "2 files would be formatted, 1 unchanged\n")
    assert (tmp_path / "a.dax").read_text() == "sum(T[x])\n"
    status, out, err = run_cli("--diff", "a.dax", cwd=tmp_path)
    # --diff exits as --check (and as lint --diff) does: 1 when something would change
    assert status == 1 and out == "--- a/a.dax\n+++ b/a.dax\n@@ -1 +1 @@\n-sum(T[x])\n+SUM ( T[x] )\n"
    assert run_cli(".", cwd=tmp_path) == (0, "", "2 files formatted, 1 unchanged\n")
    assert (tmp_path / "a.dax").read_text() == "SUM ( T[x] )\n"
    assert (tmp_path / "q.dax").read_text() == "EVALUATE\n{ 1 }\n"
    assert run_cli("--check", ".", cwd=tmp_path) == (0, "", "0 files would be formatted, 3 unchanged\n")
    assert sorted(path.name for path in tmp_path.iterdir()) == ["a.dax", "b.dax", "q.dax"]  # no temporary file left


def test_standard_input_goes_to_standard_output(tmp_path):
    assert run_cli("-", cwd=tmp_path, stdin=b"1+2") == (0, "1 + 2\n", "")
    assert run_cli("--check", "-", cwd=tmp_path, stdin=b"1+2") == (1, "", "")
    assert run_cli("--check", "-", cwd=tmp_path, stdin=b"1 + 2\n") == (0, "", "")
    assert run_cli("--width", "20", "-", cwd=tmp_path, stdin=b"F(111111, 222222, 333333)") == (
        0, "F (\n    111111,\n    222222,\n    333333\n)\n", "")


def test_options_reach_the_formatter(tmp_path):
    status, out, _ = run_cli("--indent", "2", "--no-space-before-paren", "--separators", "semicolon", "--width", "20",
                             "-", cwd=tmp_path, stdin=b"IF(1,5 > 0; 111111; 222222)")
    assert (status, out) == (0, "IF(\n  1,5 > 0;\n  111111;\n  222222\n)\n")
    status, _, err = run_cli("--strict", "-", cwd=tmp_path, stdin=b"INDEX(1, , 2)")
    assert status == 1 and "parse error: expected expression" in err


def test_line_ends_and_byte_order_marks_are_kept(tmp_path):
    path = tmp_path / "crlf.dax"
    path.write_bytes(b"\xef\xbb\xbfVAR x = \"a\r\nb\" -- c\r\nRETURN x\r\n")
    assert run_cli("crlf.dax", cwd=tmp_path)[0] == 0
    # A string over two lines keeps its own line end, and cannot stand in a flat group.
    assert path.read_bytes() == b"\xef\xbb\xbfVAR x =\r\n    \"a\r\nb\" -- c\r\nRETURN\r\n    x\r\n"


def test_errors_leave_files_as_they_were(tmp_path):
    (tmp_path / "bad.dax").write_text("SUM(\n", encoding="utf-8")
    (tmp_path / "good.dax").write_text("sum(1)", encoding="utf-8")
    status, out, err = run_cli(".", cwd=tmp_path)
    assert status == 1 and out == ""
    assert err.startswith("bad.dax:1:5: parse error: unexpected end of input\n")
    assert err.endswith("1 file formatted, 0 unchanged, 1 could not be formatted\n")
    assert (tmp_path / "bad.dax").read_text() == "SUM(\n"
    assert run_cli("missing.dax", cwd=tmp_path)[0] == 2
    assert run_cli("-", "-", cwd=tmp_path)[0] == 2


def test_an_internal_error_is_exit_status_2(tmp_path):
    # A formatter whose result loses a comment, run in a child process.
    (tmp_path / "a.dax").write_text("1 + 2 -- note\n", encoding="utf-8")
    script = ("import sys, quarrow_dax.formatter as f\nrender = f.render\n"
              "f.render = lambda *a, **k: render(*a, **k).replace('-- note', '')\n"
              "from quarrow_dax.cli import main\nsys.exit(main(['format', 'a.dax']))\n")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, cwd=tmp_path, timeout=60)
    assert run.returncode == 2
    assert run.stderr.decode().startswith("a.dax: internal error: formatting would lose, add or reorder comments")
    assert (tmp_path / "a.dax").read_text() == "1 + 2 -- note\n"


# --- writing formulas back into model files ---------------------------------------------------------


def formulas_of(path):
    return list(read_model(path))


@pytest.mark.parametrize("before, new, after", [
    # a JSON string, with escapes, and an array of lines that keeps its separator
    ('{"model": {"tables": [{"name": "T", "measures": [{"name": "M", "expression": "sum(1)\\t"}]}]}}',
     'SUM ( "a\tb" )\nA', '{"model": {"tables": [{"name": "T", "measures": [{"name": "M", "expression": '
     '"SUM ( \\"a\\tb\\" )\\nA"}]}]}}'),
    ('{"model": {"tables": [{"name": "T", "measures": [{"name": "M", "expression": [\n   "1",\n   "+ 2"\n ]}]}]}}',
     "x\ny\nz", '{"model": {"tables": [{"name": "T", "measures": [{"name": "M", "expression": [\n   "x",\n   "y",\n'
     '   "z"\n ]}]}]}}'),
    ('{"model": {"tables": [{"name": "T", "measures": [{"name": "M", "expression": [\n   "1"\n ]}]}]}}',
     "x\ny", '{"model": {"tables": [{"name": "T", "measures": [{"name": "M", "expression": [\n   "x",\n   "y"\n'
     ' ]}]}]}}'),
])
def test_bim_formulas_are_written_as_json_strings(tmp_path, before, new, after):
    path = tmp_path / "model.bim"
    path.write_text(before, encoding="utf-8")
    (formula,) = formulas_of(path)
    assert rewrite_formulas(before, [(formula, new)]) == after
    path.write_text(after, encoding="utf-8")
    assert [f.text for f in formulas_of(path)] == [new]


@pytest.mark.parametrize("before, new, after", [
    # on the `=` line: stays there when one line, moves below, two levels deeper, when more
    ("table T\n\tmeasure M = 1\n\t\tformatString: 0\n", "2", "table T\n\tmeasure M = 2\n\t\tformatString: 0\n"),
    ("table T\n\tmeasure M = 1\n\t\tformatString: 0\n", "VAR a = 1\nRETURN\n    a",
     "table T\n\tmeasure M =\n\t\t\tVAR a = 1\n\t\t\tRETURN\n\t\t\t    a\n\t\tformatString: 0\n"),
    # indented and fenced blocks keep their indentation; an empty line is written empty
    ("table T\n\tmeasure M =\n\t\t\t1 +\n\t\t\t2\n\n\tcolumn C = 1\n", "1\n\n+ 2",
     "table T\n\tmeasure M =\n\t\t\t1\n\n\t\t\t+ 2\n\n\tcolumn C = 1\n"),
    ("table T\n\tmeasure M = ```\n\t\t\t1 +\n\t\t\t2\n\t\t\t```\n", "3\n4",
     "table T\n\tmeasure M = ```\n\t\t\t3\n\t\t\t4\n\t\t\t```\n"),
    # a CRLF file keeps its line ends
    ("table T\r\n\tmeasure M =\r\n\t\t\t1 +\r\n\t\t\t2\r\n", "1\n+ 2",
     "table T\r\n\tmeasure M =\r\n\t\t\t1\r\n\t\t\t+ 2\r\n"),
])
def test_tmdl_formulas_keep_their_form_and_indentation(tmp_path, before, new, after):
    path = tmp_path / "T.tmdl"
    path.write_bytes(before.encode())
    formulas = [f for f in formulas_of(path) if f.name == "M"]
    assert rewrite_formulas(before, [(formulas[0], new)]) == after
    path.write_bytes(after.encode())
    assert [f.text for f in formulas_of(path) if f.name == "M"] == [new]


def test_a_model_file_is_written_only_when_every_formula_formats(tmp_path):
    table = tmp_path / "definition" / "tables" / "T.tmdl"
    table.parent.mkdir(parents=True)
    (tmp_path / "definition" / "model.tmdl").write_text("model Model\n", encoding="utf-8")
    table.write_text("table T\n\tmeasure A = sum(T[x])\n\tmeasure B = 1 +\n", encoding="utf-8")
    status, out, err = run_cli("definition", cwd=tmp_path)
    assert status == 1 and "definition/tables/T.tmdl:3:17: parse error: unexpected end of input" in err
    assert table.read_text() == "table T\n\tmeasure A = sum(T[x])\n\tmeasure B = 1 +\n"
    table.write_text("table T\n\tmeasure A = sum(T[x])\n\tmeasure B = 1 + 2\n", encoding="utf-8")
    assert run_cli("definition", cwd=tmp_path) == (0, "", "1 file formatted, 0 unchanged\n")
    assert table.read_text() == "table T\n\tmeasure A = SUM ( T[x] )\n\tmeasure B = 1 + 2\n"


def blank_formulas(path):
    """The text of a model file with each formula's text taken out."""
    text = path.read_text(encoding="utf-8-sig")
    formulas = formulas_of(path)
    if path.suffix == ".bim":
        spans = sorted((formula.string_spans[0][0], formula.string_spans[-1][1]) for formula in formulas)
        for start, end in reversed(spans):
            text = text[:start] + '""' + text[end:]
        return text
    lines = text.split("\n")
    for formula in sorted(formulas, key=lambda formula: formula.line, reverse=True):
        first, last = formula.line_map[0][0] - 1, formula.line_map[-1][0] - 1
        if formula.form == "inline":
            lines[first] = lines[first][: formula.column - 1].rstrip(" \t")
        else:
            del lines[first : last + 1]
            if formula.form != "fenced" and not lines[first - 1].rstrip().endswith("="):
                raise AssertionError(f"{path}: no `=` before the formula of {formula.name}")
            lines[first - 1] = lines[first - 1].rstrip(" \t")
    return "\n".join(lines)


def formula_trees(root):
    found = {}
    for model in sorted(root.glob("*/*")):
        for formula in read_model(model):
            if formula.kind == "function":
                tree = S.parse_function(formula.text)
            else:
                tree = S.parse_expression(formula.text)
            found[(str(Path(formula.file).relative_to(root)), formula.kind, formula.table, formula.name)] = tree
    return found


@pytest.mark.skipif(not SHARED_MODELS.is_dir(), reason=f"the shared model files are not at {SHARED_MODELS}")
def test_the_shared_models_formatted_on_a_copy(tmp_path):
    copy = tmp_path / "models"
    writable_copy(SHARED_MODELS, copy)
    before = formula_trees(copy)
    status, _, err = run_cli(".", cwd=copy)
    assert status == 0 and re.fullmatch(r"\d+ files formatted, \d+ unchanged\n", err), err
    check = subprocess.run([sys.executable, "-m", "quarrow_dax", "check", "--no-resolve", "."], capture_output=True,
                           cwd=copy, timeout=120)
    assert check.returncode == 0 and check.stderr.decode().endswith(
        "checked 894 formulas in 12 models: 0 with errors\n")
    after = formula_trees(copy)
    assert before.keys() == after.keys()
    assert all(same_tree(before[key], after[key]) for key in before)
    for original in SHARED_MODELS.rglob("*"):
        if original.suffix not in (".bim", ".tmdl"):
            continue
        formatted = copy / original.relative_to(SHARED_MODELS)
        # Every byte outside the formulas is as it was; a .bim file loads as the same JSON.
        assert blank_formulas(formatted) == blank_formulas(original), original
        if original.suffix == ".bim":
            assert json.loads(blank_formulas(formatted)) == json.loads(blank_formulas(original))
            for formula in formulas_of(formatted):
                if formula.kind != "function":
                    _native.parse_expression(formula.text)
    assert run_cli("--check", ".", cwd=copy)[0] == 0
