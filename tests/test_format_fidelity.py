"""What format (and lint --fix) must leave as the user wrote it: in models
a formula's leading line breaks, its JSON escapes and its CRLFs; an
explicit ASC; each line's end in a file with mixed line ends, CR-only
files, the byte-order mark of standard input; and the semicolon convention,
which is never rewritten in comma mode. Each case is built from a reviewer's
reproducer; the last tests hold over the shared models."""

import json
import re
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import writable_copy
from hypothesis import given, settings
from hypothesis import strategies as st

import quarrow_dax
from quarrow_dax.formatter.files import leading_breaks
from quarrow_dax.model import read_model
from quarrow_dax.model.writing import rewrite_formulas
from quarrow_dax import syntax as S
from quarrow_dax.syntax import ParseError
from quarrow_dax.syntax.separators import SeparatorError, may_hold_semicolon_token

SHARED_MODELS = Path(__file__).resolve().parents[2] / "shared" / "models"


def run_cli(*args, cwd, stdin=None):
    run = subprocess.run([sys.executable, "-m", "quarrow_dax", *args], capture_output=True, cwd=cwd, timeout=120,
                         input=stdin)
    return run.returncode, run.stdout, run.stderr.decode()


def bim(*measures):
    """A .bim file's bytes with measures given as (name, the JSON of the expression as written)."""
    items = ",\n".join(f'      {{"name": "{name}", "expression": {expression}}}' for name, expression in measures)
    return ('{\n  "model": {"tables": [{"name": "T", "measures": [\n' + items + "\n  ]}]}\n}\n").encode("utf-8")


# --- models: only the layout changes ------------------------------------------------------------

BIM_CASES = [
    # the leading line break of a formula, as Power BI writes multi-line measures
    ("leading break", r'"\nsum(T[x])"', r'"\nSUM ( T[x] )"'),
    ("leading breaks and spaces", r'"\n\n   sum(T[x])"', r'"\n\nSUM ( T[x] )"'),
    ("array of lines", '["", "  sum(T[x])"]', '["", "SUM ( T[x] )"]'),
    # CRLF inside a formula, kept for the lines the formatter breaks too
    ("CRLF", r'"\r\nvar a = 1\r\nreturn a"', r'"\r\nVAR a = 1\r\nRETURN\r\n    a"'),
    # escapes as the serializer wrote them
    ("escaped accents", r'"sum(T[caf\u00e9]) & \"\u00c9t\u00e9\""', r'"SUM ( T[caf\u00e9] ) & \"\u00c9t\u00e9\""'),
    ("literal accents", '"sum(T[café]) & \\"Été\\""', '"SUM ( T[café] ) & \\"Été\\""'),
    ("escaped slash", r'"divide(1,2) & \"a\/b\""', r'"DIVIDE ( 1, 2 ) & \"a\/b\""'),
    ("upper-case hex", r'"sum(T[caf\u00E9])"', r'"SUM ( T[caf\u00E9] )"'),
    ("escaped quote", r'"sum(\u0027T\u0027[x])"', r'"SUM ( \u0027T\u0027[x] )"'),
    # one escape among literal accents stays where its character stays
    ("one unusual escape", r'"sum(T[caf\u00e9]) + sum(T[été]) + sum(T[été])"',
     r'"SUM ( T[caf\u00e9] ) + SUM ( T[été] ) + SUM ( T[été] )"'),
    ("surrogate pair", r'"sum(T[\ud83d\ude00])"', r'"SUM ( T[\ud83d\ude00] )"'),
]


@pytest.mark.parametrize("case, before, after", BIM_CASES, ids=[case[0] for case in BIM_CASES])
def test_a_bim_formula_changes_only_in_its_layout(case, before, after, tmp_path):
    path = tmp_path / "model.bim"
    untouched = ("Untouched", r'"\"caf\u00e9\" \/\/ 1"')  # formatted already: never re-escaped
    path.write_bytes(bim(("M", before), untouched))
    assert run_cli("format", "model.bim", cwd=tmp_path)[0] == 0
    assert path.read_bytes() == bim(("M", after), untouched)
    assert run_cli("format", "--check", "model.bim", cwd=tmp_path)[0] == 0


@pytest.mark.parametrize("e_acute, description", [
    (r"\u00e9", r"caf\u00e9"),  # a file that escapes what is past ASCII
    ("é", "café"),
    ("é", "cafe"),                  # nothing to go by in the formula: the file's names decide
])
def test_a_new_character_is_written_in_the_files_hand(e_acute, description, tmp_path):
    # A fix writes a name the formula did not hold (DAX201 adds the table).
    text = ('{"model": {"description": "' + description + '", "tables": [{"name": "Caf' + e_acute
            + '", "measures": [{"name": "M", "expression": "1"}]}]}}')
    path = tmp_path / "model.bim"
    path.write_text(text, encoding="utf-8")
    (formula,) = read_model(path)
    rewritten = rewrite_formulas(text, [(formula, "SUM ( 'Café'[x] )")])
    assert rewritten == text.replace('"expression": "1"', f'"expression": "SUM ( \'Caf{e_acute}\'[x] )"')


def test_a_tmdl_block_keeps_the_empty_line_it_began_with(tmp_path):
    table = tmp_path / "T.tmdl"
    before = "table T\n\tmeasure M = ```\n\t\t\t\n\t\t\tsum(T[x])\n\t\t\t```\n\n\tmeasure N =\n\t\t\t\n\t\t\tmax(T[x])\n"
    table.write_text(before, encoding="utf-8")
    assert run_cli("format", "T.tmdl", cwd=tmp_path)[0] == 0
    assert table.read_text(encoding="utf-8") == before.replace("sum(T[x])", "SUM ( T[x] )").replace(
        "max(T[x])", "MAX ( T[x] )")


@pytest.mark.parametrize("text, expected", [
    ("EVALUATE T ORDER BY T[a] asc, T[b], T[c] DESC", "EVALUATE\nT\nORDER BY T[a] ASC, T[b], T[c] DESC"),
    ("DEFINE TABLE d = SUMMARIZECOLUMNS(T[Y], \"m\", [m]) WITH VISUAL SHAPE AXIS rows GROUP [Y] ORDER BY [Y] ASC"
     " EVALUATE d", "DEFINE\n    TABLE d = SUMMARIZECOLUMNS ( T[Y], \"m\", [m] )\n        WITH VISUAL SHAPE\n"
     "            AXIS ROWS\n                GROUP [Y]\n                ORDER BY [Y] ASC\n\nEVALUATE\nd"),
])
def test_an_explicit_asc_is_kept(text, expected, tmp_path):
    assert quarrow_dax.format(text, kind="query") == expected
    (tmp_path / "q.dax").write_text(text, encoding="utf-8")
    assert run_cli("format", "q.dax", cwd=tmp_path)[0] == 0
    assert (tmp_path / "q.dax").read_text(encoding="utf-8") == expected + "\n"


# --- line ends and byte-order marks ---------------------------------------------------------------


@pytest.mark.parametrize("before, after", [
    # mostly CRLF: an unchanged LF line keeps its LF, the lines the formatter makes take CRLF
    (b"VAR a = 1\r\nVAR b = 2\nVAR c = 3\r\nRETURN a+b+c\r\n", b"VAR a = 1\r\nVAR b = 2\nVAR c = 3\r\nRETURN\r\n    a + b + c\r\n"),
    # mostly LF: the other way round
    (b"VAR a = 1\nVAR b = 2\r\nVAR c = 3\nRETURN a+b+c\n", b"VAR a = 1\nVAR b = 2\r\nVAR c = 3\nRETURN\n    a + b + c\n"),
    # a tie goes to the first line's
    (b"VAR a = 1\r\nVAR b = 2\nRETURN a+b", b"VAR a = 1\r\nVAR b = 2\nRETURN\r\n    a + b\r\n"),
    # a line break inside a string is the string's own
    (b"VAR a = \"x\r\ny\"\r\nVAR b = 2\nRETURN a&b\r\n", b"VAR a =\r\n    \"x\r\ny\"\r\nVAR b = 2\nRETURN\r\n    a & b\r\n"),
    # CR only, with a line comment (which runs to a line feed, so to the end)
    (b"VAR a = 1\rRETURN a+2\r-- note\r", b"VAR a = 1\rRETURN\r    a + 2 -- note\r"),
])
def test_line_ends_are_kept(before, after, tmp_path):
    (tmp_path / "a.dax").write_bytes(before)
    assert run_cli("format", "a.dax", cwd=tmp_path)[0] == 0
    assert (tmp_path / "a.dax").read_bytes() == after
    assert run_cli("format", "--check", "a.dax", cwd=tmp_path)[0] == 0


@pytest.mark.parametrize("command", [["format"], ["lint", "--fix"]])
@pytest.mark.parametrize("encoding", ["utf-8-sig", "utf-16", "utf-32"])
def test_standard_input_keeps_its_byte_order_mark(command, encoding, tmp_path):
    status, out, err = run_cli(*command, "-", cwd=tmp_path, stdin="sumx(T, T[x])".encode(encoding))
    assert status == 0, err
    assert out == ("SUMX ( T, T[x] )\n" if command == ["format"] else "SUM ( T[x] )").encode(encoding)


# --- the semicolon convention ---------------------------------------------------------------------


@pytest.mark.parametrize("text, column", [
    ("ROUND(1,5;0)", 10),                          # 1.5 rounded, in the semicolon convention
    ("ROUND(1;0)", 8),
    ("EVALUATE T ORDER BY T[a]; T[b]", 25),        # ORDER BY keys are a list too
])
@pytest.mark.parametrize("command", [["format"], ["lint", "--fix", "--unsafe-fixes"]])
def test_semicolons_are_not_rewritten_in_the_comma_convention(text, column, command, tmp_path):
    path = tmp_path / "a.dax"
    path.write_text(text, encoding="utf-8")
    status, out, err = run_cli(*command, "a.dax", cwd=tmp_path)
    report = out.decode() + err
    assert status == 1, report
    assert f"a.dax:1:{column}: separators error: `;` separates arguments here" in report
    assert "use --separators semicolon" in report
    assert path.read_text(encoding="utf-8") == text
    if command == ["format"]:
        status, _, _ = run_cli("format", "--separators", "semicolon", "a.dax", cwd=tmp_path)
        assert status == 0 and ";" in path.read_text(encoding="utf-8")


@settings(max_examples=600, deadline=None)
@given(st.lists(st.sampled_from(['"', "'", "[", "]", "]]", ";", "--", "//", "/*", "*/", "\n", "a", "1", " ", "(", ","]),
                max_size=14).map("".join))
def test_the_quick_look_for_semicolons_never_hides_one_the_lexer_reads(text):
    """Texts with a `;` inside strings, names and comments skip the full
    reading of their separators; a `;` the lexer reads as a token never does."""
    try:
        tokens = S.tokenize(text)
    except ParseError:
        return
    if any(token.kind == "Semicolon" for token in tokens):
        assert may_hold_semicolon_token(text)


def test_semicolons_in_a_model_formula_are_not_rewritten(tmp_path):
    path = tmp_path / "model.bim"
    path.write_bytes(bim(("M", '"round(1,5;0)"'), ("N", '"sum(T[x])"')))
    for command in (["format"], ["lint", "--fix"]):
        status, out, err = run_cli(*command, "model.bim", cwd=tmp_path)
        assert status == 1 and "separators error" in out.decode() + err
        assert path.read_bytes() == bim(("M", '"round(1,5;0)"'), ("N", '"sum(T[x])"'))
    _, out, _ = run_cli("check", "--no-resolve", "model.bim", cwd=tmp_path)
    assert out.decode().startswith("model.bim:3:45: separators warning: arguments are separated by both")


def test_the_library_refuses_them_too():
    with pytest.raises(SeparatorError) as caught:
        quarrow_dax.format("IF(1;2,3)")
    assert isinstance(caught.value, ParseError) and caught.value.span.start == 4
    # statements ended by `;` separate no list
    assert quarrow_dax.format("EVALUATE {1}; EVALUATE {2};", kind="query") == "EVALUATE\n{ 1 }\n\nEVALUATE\n{ 2 }"
    assert quarrow_dax.format("ROUND(1,5;0)", separators="semicolon") == "ROUND ( 1,5; 0 )"


# text, options, where the warning is, and the argument error the reading
# gives (a `;` read as `,` may give a call one argument too many)
@pytest.mark.parametrize("text, options, warned, error", [
    ("ROUND(1,5;0)", [], "1:10", "ROUND takes 2 arguments; 3 given"),
    ("IF(a;b;c,d)", [], "1:9", "IF takes 2 or 3 arguments; 4 given"),  # the rarer one is marked
    ("DIVIDE(1,5;0)", [], "1:11", None),
    ("ROUND(1;0)", [], None, None),                      # one kind throughout
    ("ROUND(1,5;0)", ["--separators", "semicolon"], None, None),  # 1,5 is a number there
    ("ROUND(1 , 5;0)", ["--separators", "semicolon"], "1:9", "ROUND takes 2 arguments; 3 given"),
    ("EVALUATE T; EVALUATE ROW(\"a\", 1)", [], None, None),
])
def test_check_warns_of_mixed_separators(text, options, warned, error, tmp_path):
    (tmp_path / "a.dax").write_text(text, encoding="utf-8")
    status, out, summary = run_cli("check", *options, "a.dax", cwd=tmp_path)
    assert status == (0 if error is None else 1)  # the warning alone keeps the status 0
    report = out.decode()
    if warned is None:
        assert "W002" not in report and "separators" not in report
    else:
        assert f"a.dax:{warned}: separators warning: arguments are separated by both" in report
    if error is None:
        assert "argument error" not in report and summary == "checked 1 file: 0 with errors\n"
    else:
        assert f"argument error: {error}" in report and summary == "checked 1 file: 1 with errors\n"


# --- over the shared models ---------------------------------------------------------------------------


def leading_lines(path, formula):
    """The file lines of a formula's leading empty lines, as written."""
    count = leading_breaks(formula.text).count("\n")
    if formula.form in ("string", "lines") or not count:
        return leading_breaks(formula.text)
    lines = path.read_bytes().split(b"\n")
    first = formula.line_map[0][0] - 1
    return lines[first : first + count]


@pytest.mark.skipif(not SHARED_MODELS.is_dir(), reason=f"the shared model files are not at {SHARED_MODELS}")
def test_the_shared_models_keep_leading_breaks_and_line_ends(tmp_path):
    copy = writable_copy(SHARED_MODELS, tmp_path / "models")
    before = {}
    for path in sorted(copy.rglob("*")):
        if path.suffix in (".bim", ".tmdl"):
            before.update({(path, f.kind, f.table, f.name): (leading_lines(path, f), f.text) for f in read_model(path)})
    status, _, err = run_cli("format", ".", cwd=copy)
    assert status == 0, err
    after = {}
    for path in sorted(copy.rglob("*")):
        if path.suffix in (".bim", ".tmdl"):
            after.update({(path, f.kind, f.table, f.name): (leading_lines(path, f), f.text) for f in read_model(path)})
    assert before.keys() == after.keys()
    with_breaks = crlf = 0
    for key, (lead, text) in before.items():
        new_lead, new_text = after[key]
        assert new_lead == lead, key
        with_breaks += bool(lead)
        if "\r\n" in text:
            crlf += 1
            assert not re.search(r"(?<!\r)\n", new_text), key  # every line break the formatter made is CRLF
    assert with_breaks > 400 and crlf >= 3  # what the shared models hold: the test sees them


@pytest.mark.skipif(not SHARED_MODELS.is_dir(), reason=f"the shared model files are not at {SHARED_MODELS}")
def test_a_bim_written_in_ascii_stays_ascii(tmp_path):
    # Each shared .bim as a serializer that escapes everything past ASCII writes it.
    checked = 0
    for original in sorted(SHARED_MODELS.rglob("*.bim")):
        text = original.read_text(encoding="utf-8-sig")
        if text.isascii():
            continue
        escaped = json.dumps(json.loads(text), indent=2, ensure_ascii=True)
        path = tmp_path / original.parent.name / "model.bim"
        path.parent.mkdir()
        path.write_text(escaped, encoding="ascii")
        formulas = {(f.kind, f.table, f.name): f.text for f in read_model(path)}
        status, _, err = run_cli("format", str(path), cwd=tmp_path)
        assert status == 0, err
        data = path.read_bytes()
        assert data.isascii(), original
        # Only formulas changed: the JSON is the same outside them.
        reread = json.loads(data)
        assert _without_formulas(reread) == _without_formulas(json.loads(escaped))
        assert {(f.kind, f.table, f.name) for f in read_model(path)} == formulas.keys()
        checked += 1
    assert checked >= 3


def _without_formulas(document):
    """The JSON with every "expression" value taken out. Iterative."""
    stack = [document]
    while stack:
        value = stack.pop()
        if isinstance(value, dict):
            for key in list(value):
                if key.endswith("xpression"):
                    value[key] = None
                else:
                    stack.append(value[key])
        elif isinstance(value, list):
            stack.extend(value)
    return document
