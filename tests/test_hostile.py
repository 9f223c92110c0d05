"""The model reader and `check` under hostile input: each defect an outside
review found, as its reproducer, and a property over randomly damaged real
models: the reader only returns formulas or raises ModelError, and `check`
only exits 0, 1 or 2, never with a traceback."""

import concurrent.futures
import contextlib
import io
import json
import os
import pathlib
import shutil
import stat
import subprocess
import sys
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quarrow_dax import check, cli
from quarrow_dax.model import Formula, ModelError, ModelWarning, parse_formula, read_model
from quarrow_dax.model.tmdl import TmdlReader

MODELS = pathlib.Path(__file__).resolve().parents[2] / "shared" / "models"


def run_cli(*args, cwd, stdout=subprocess.PIPE, prefix=(), timeout=60):
    run = subprocess.run([*prefix, sys.executable, "-m", "quarrow_dax", *args], stdout=stdout,
                         stderr=subprocess.PIPE, cwd=cwd, timeout=timeout)
    return run.returncode, (run.stdout or b"").decode(), run.stderr.decode()


def make(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))


def without_permission_bypass():
    """The command prefix under which mode 000 bites: as root, without the
    capabilities that ignore file permissions."""
    if os.geteuid() != 0:
        return ()
    if shutil.which("setpriv") is None:
        pytest.skip("running as root and setpriv is not installed: permissions cannot be tested")
    return ("setpriv", "--inh-caps=-dac_override,-dac_read_search", "--bounding-set=-dac_override,-dac_read_search")


# --- 1. an oddly shaped .bim ----------------------------------------------------

ODD_BIMS = [
    # a partition source type that is an array or an object, a number of 5,000 digits
    ('{"model":{"tables":[{"name":"T","partitions":[{"name":"p","source":{"type":[]}}]}]}}', 'the source\'s "type"'),
    ('{"model":{"tables":[{"name":"T","partitions":[{"name":"p","source":{"type":{"a":1}}}]}]}}', '"type"'),
    ('{"model":{"compatibilityLevel":' + "9" * 5000 + ',"tables":[{"name":"T","measures":'
     '[{"name":"m","expression":"1 2"}]}]}}', None),
]


@pytest.mark.parametrize("text, message", ODD_BIMS)
def test_an_odd_bim_is_a_model_error_and_the_run_goes_on(text, message, tmp_path):
    make(tmp_path, {"a.bim": text, "good.dax": "1 2"})
    errors = []
    list(read_model(tmp_path / "a.bim", errors))
    assert [message in e.message for e in errors] == ([] if message is None else [True])
    status, stdout, stderr = run_cli("check", "a.bim", "good.dax", cwd=tmp_path)
    assert "Traceback" not in stderr and stdout.startswith("good.dax:1:3:")
    assert status == (1 if message is None else 2)


def test_a_lone_surrogate_where_nothing_is_parsed_does_no_harm(tmp_path):
    make(tmp_path, {"m.bim": '{"model": {"description": "\\udc00", "tables": [{"name": "T", "measures": '
                             '[{"name": "m", "expression": "1", "description": "\\ud800"}]}]}}'})
    errors = []
    assert [f.text for f in read_model(tmp_path / "m.bim", errors)] == ["1"] and errors == []


# --- 2 and 5. unreadable folders, special files -----------------------------------


def test_unreadable_folders_are_reported_and_the_rest_is_checked(tmp_path):
    prefix = without_permission_bypass()
    make(tmp_path, {"scan/a.dax": "1 +", "scan/locked/b.dax": "1", "scan/listless/c.dax": "1",
                    "scan/M/definition/model.tmdl": "model M\n", "scan/M/definition/tables/T.tmdl":
                    "table T\n\tmeasure m = 1 2\n", "scan/M/definition/roles/R.tmdl": "role R\n"})
    locked, listless, roles = (tmp_path / "scan" / name for name in ("locked", "listless", "M/definition/roles"))
    locked.chmod(0)
    listless.chmod(stat.S_IXUSR)  # may be entered, not listed
    roles.chmod(0)
    try:
        status, stdout, stderr = run_cli("check", "scan", cwd=tmp_path, prefix=prefix)
    finally:
        for folder in (locked, listless, roles):
            folder.chmod(0o755)
    assert status == 2 and "Traceback" not in stderr
    assert "scan/a.dax:1:4: parse error" in stdout and "scan/M/definition/tables/T.tmdl:2:16:" in stdout
    for folder in ("scan/listless", "scan/locked"):
        assert f"quarrow-dax: cannot read {folder}: cannot read the folder: Permission denied" in stdout
    # inside a TMDL folder: the model's other files are read, and the model is counted as not read in full
    assert "scan/M/definition/roles: model error: cannot read the folder: Permission denied" in stdout
    assert stderr.endswith("; 1 model could not be read in full\n")


@pytest.mark.parametrize("name", ["p.dax", "p.bim"])
def test_fifos_are_refused_not_read(name, tmp_path):
    os.mkfifo(tmp_path / name)
    (tmp_path / "d").mkdir()
    os.mkfifo(tmp_path / "d" / name)
    # given, and met while scanning; before, reading blocked for ever
    status, stdout, _ = run_cli("check", name, "d", cwd=tmp_path, timeout=30)
    assert status == 2 and stdout.count("not a regular file") == 2


def test_devices_and_oversized_files_are_refused(tmp_path):
    make(tmp_path, {"big.dax": "1" * 2000})
    status, stdout, _ = run_cli("check", "/dev/zero", "big.dax", "--max-file-size", "1K", cwd=tmp_path)
    assert status == 2 and "/dev/zero: not a regular file" in stdout
    assert "big.dax: the file has 2,000 bytes, more than the limit of 1,024" in stdout


# --- 3. a function holding more than a function ------------------------------------

FUNCTIONS = [
    ("(x) => x MEASURE T[m] = 1", "parse error: expected end of input at 9..16"),
    ("(x) => x EVALUATE {1}", "parse error: expected end of input at 9..17"),
    ("(x) => x DEFINE FUNCTION g = (y) => y", "parse error: expected end of input at 9..15"),
    ("(x) => x", None),
    ("(x, y : INT64) => x + y", None),
]


@pytest.mark.parametrize("text, error", FUNCTIONS)
def test_a_function_is_one_definition_and_nothing_after_it(text, error):
    formula = Formula("m.bim", None, "F", "function", text, 1, 1, ((1, 1),), (len(text),))
    if error is None:
        assert json.loads(parse_formula(formula))["Function"]["name"] == "F"
    else:
        with pytest.raises(ValueError) as info:
            parse_formula(formula)
        assert str(info.value) == error


def test_a_bim_function_with_a_measure_after_it_is_an_error(tmp_path):
    make(tmp_path, {"f.bim": '{"model":{"functions":[{"name":"F","expression":"(x) => x MEASURE T[m] = 1"}]}}'})
    status, stdout, _ = run_cli("check", "f.bim", cwd=tmp_path)
    assert status == 1 and stdout.startswith("f.bim:1:59: parse error: expected end of input\n  in function F\n")


# --- 4. choosing query or expression reads only the first tokens -----------------


def test_the_first_word_is_found_without_lexing_the_whole_file(monkeypatch):
    lexed = []
    real_lex = check.lex

    def recording_lex(text):
        lexed.append(len(text))
        return real_lex(text)

    monkeypatch.setattr(check, "lex", recording_lex)
    comments = "/// a doc comment line\n" * 100_000 + "-- c\n/* b */\n"
    assert check.is_query(comments + "EVALUATE {1}") and not check.is_query(comments + "1 + 2")
    assert max(lexed) <= 4096


# --- 6. the TMDL reader is linear -----------------------------------------------------


class CountingLines(list):
    """A list that counts the lines handed out, by index, slice or iteration."""

    handed = 0

    def __getitem__(self, key):
        item = super().__getitem__(key)
        CountingLines.handed += len(item) if isinstance(key, slice) else 1
        return item

    def __iter__(self):
        for item in super().__iter__():
            CountingLines.handed += 1
            yield item


def test_the_tmdl_reader_touches_each_line_a_bounded_number_of_times(tmp_path):
    lines = 20_000
    path = tmp_path / "t.tmdl"
    path.write_text("table T\n" + "".join(f"\tunknownThing{i} =\n" for i in range(lines)))
    reader = TmdlReader(path)
    reader.lines = CountingLines(reader.lines)
    CountingLines.handed = 0
    assert list(reader.formulas()) == []
    assert CountingLines.handed < 10 * lines  # was about lines² / 2


# --- 7. paths where nothing is found ---------------------------------------------------

NOTHING = [
    ({"tables/T.tmdl": "table T\n\tmeasure m = 1\n"}, "tables", "holds *.tmdl files but no model.tmdl"),
    ({"S.SemanticModel/definition": ""}, "S.SemanticModel", "its definition is not a TMDL folder"),
    ({"x.bim/notes.txt": ""}, "x.bim", None),
    ({"empty/.keep": ""}, "empty", None),
]


@pytest.mark.parametrize("files, path, hint", NOTHING)
def test_paths_that_give_nothing_are_errors_for_the_api_and_the_command_line(files, path, hint, tmp_path):
    make(tmp_path, files)
    with pytest.raises(ModelError):
        list(read_model(tmp_path / path))
    status, stdout, stderr = run_cli("check", path, cwd=tmp_path)
    assert status == 2 and stdout.startswith(f"quarrow-dax: {path}: no *.dax files, models or reports found in it\n")
    assert (hint is None) == ("hint:" not in stdout) and (hint is None or hint in stdout)


# --- 8. one error on a long line -----------------------------------------------------


def test_an_error_on_a_long_line_shows_a_window(tmp_path):
    make(tmp_path, {"long.dax": "x + " * 250_000 + "* 2" + " + y" * 250_000})
    status, stdout, _ = run_cli("check", "long.dax", cwd=tmp_path)
    header, line, carets = stdout.splitlines()
    assert (status, header) == (1, "long.dax:1:1000001: parse error: expected expression")
    assert len(line) < 200 and line.startswith("\u2026") and line.endswith("\u2026")
    assert line[len(carets) - 1] == "*" and carets.strip() == "^"


# --- 9. duplicate JSON keys -----------------------------------------------------------


def test_a_duplicate_key_is_a_warning_with_its_line(tmp_path):
    make(tmp_path, {"dup.bim": '{"model": {"tables": [{"name": "A", "measures": [{"name": "m", "expression": "1 2"}]}],'
                               '\n "tables": []}}'})
    found = []
    assert list(read_model(tmp_path / "dup.bim", [], found)) == []
    assert [(w.line, w.column, w.message.split(":")[0]) for w in found] == [(2, 2, 'duplicate key "tables"')]
    with pytest.warns(ModelWarning, match="duplicate key"):
        list(read_model(tmp_path / "dup.bim"))
    status, stdout, stderr = run_cli("check", "dup.bim", cwd=tmp_path)
    assert (status, stdout) == (0, 'dup.bim:2:2: model warning: duplicate key "tables": the value given last is used,'
                                   " the one before it is ignored\n")


# --- 10. records for what cannot be read, in every machine format -----------------------

UNREADABLE = {"bad.dax": b"\xff\xfe1", "latin.dax": b"1 \xe9", "bad.bim": b'{"model": tru}'}


@pytest.mark.parametrize("fmt", ["json", "github", "sarif", "gcc"])
def test_unreadable_inputs_are_records_in_machine_formats(fmt, tmp_path):
    make(tmp_path, UNREADABLE)
    status, stdout, stderr = run_cli("check", "--format", fmt, "missing.dax", "latin.dax", "bad.bim", cwd=tmp_path)
    assert status == 2 and stderr.startswith("checked 0 files: 0 with errors; 2 files could not be read\n")
    for name, message in [("missing.dax", "No such file or directory"), ("latin.dax", "not valid UTF-8"),
                          ("bad.bim", "invalid JSON: unexpected character 't'")]:
        assert name in stdout and message in stdout


# --- 11. output errors -----------------------------------------------------------


@pytest.mark.parametrize("target", ["closed", "/dev/full"])
def test_output_errors_end_with_a_message_not_a_traceback(target, tmp_path):
    if target == "/dev/full" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    make(tmp_path, {"a.dax": "1 2"})
    with open(os.devnull if target == "closed" else target, "wb") as sink:
        process = subprocess.run(
            [sys.executable, "-c", "import os, sys; os.close(1) if sys.argv[1] == 'closed' else None;"
             "from quarrow_dax.cli import main; sys.exit(main(['check', 'a.dax']))", target],
            stdout=sink, stderr=subprocess.PIPE, cwd=tmp_path, timeout=60,
        )
    assert process.returncode == 2
    assert process.stderr.decode().startswith("quarrow-dax: cannot write the output: ")
    assert b"Traceback" not in process.stderr


# --- 12. misleading messages -------------------------------------------------------

MESSAGES = [
    ("u16.bim", '{"model": {}}'.encode("utf-16-le"), "looks like UTF-16 (little-endian) without a byte-order mark"),
    ("u16.dax", "1 + 2".encode("utf-16-be"), "looks like UTF-16 (big-endian) without a byte-order mark"),
    ("u32.bim", b"\xff\xfe\x00\x00" + '{"model": {}}'.encode("utf-32-le"), None),
    ("u32.dax", b"\xff\xfe\x00\x00" + "1 2".encode("utf-32-le"), "u32.dax:1:3: parse error: expected end of input"),
    ("t.tmdl", b"table T\n\t    measure m = 1\n", "indented with spaces after 1 tabs: TMDL indents with tabs only"),
]


@pytest.mark.parametrize("name, data, message", MESSAGES)
def test_messages_say_what_is_wrong(name, data, message, tmp_path):
    make(tmp_path, {name: data})
    status, stdout, stderr = run_cli("check", name, cwd=tmp_path)
    if message is None:
        assert (status, stdout) == (0, "")
    else:
        assert message in stdout + stderr and "expected a property name" not in stderr


def test_a_path_that_looks_like_an_option_is_named(tmp_path):
    make(tmp_path, {"-x.dax": "1"})
    status, _, stderr = run_cli("check", "-x.dax", cwd=tmp_path)
    assert status == 2 and "'-x.dax' is read as an option" in stderr and "./-x.dax" in stderr
    assert run_cli("check", "./-x.dax", cwd=tmp_path)[0] == 0


# --- 13. --jobs -------------------------------------------------------------------------


def test_never_more_workers_than_files_or_processors(monkeypatch, tmp_path):
    started = []

    class Pool(concurrent.futures.ThreadPoolExecutor):
        def __init__(self, max_workers):
            started.append(max_workers)
            super().__init__(max_workers)

    monkeypatch.setattr(concurrent.futures, "ProcessPoolExecutor", Pool)
    make(tmp_path, {"a.dax": "1", "b.dax": "2"})
    with contextlib.redirect_stdout(io.TextIOWrapper(io.BytesIO())):
        status = cli.main(["check", "--jobs", "1000", str(tmp_path / "a.dax"), str(tmp_path / "b.dax")])
    assert status == 0 and started in ([], [min(2, os.cpu_count() or 1)])
    assert check.worker_count(1000, 2) <= 2 and check.worker_count(0, 10**6) == (os.cpu_count() or 1)


# --- the property: damaged real models -------------------------------------------

pytestmark_real = pytest.mark.skipif(not MODELS.is_dir(), reason=f"shared models folder not found: {MODELS}")
MODEL_FILES = sorted([*MODELS.glob("bim/*/model.bim"), *MODELS.glob("tmdl/*/definition/**/*.tmdl")]) \
    if MODELS.is_dir() else []
TOKENS = ["{", "}", "[", "]", '"', ",", ":", "\\", "\t", "\n", " ", "=", "```", "'", "\x00", "\ud800", "é",
          '"type": []', '"expression": 1', "measure ", "source =", "\t\t\t", "9" * 5000]


@st.composite
def damaged(draw):
    path = draw(st.sampled_from(MODEL_FILES))
    text = path.read_text(encoding="utf-8-sig")
    for _ in range(draw(st.integers(1, 4))):
        at = draw(st.integers(0, len(text)))
        action = draw(st.sampled_from(["insert", "delete", "cut", "repeat"]))
        if action == "insert":
            text = text[:at] + draw(st.sampled_from(TOKENS)) + text[at:]
        elif action == "delete":
            text = text[:at] + text[at + draw(st.integers(1, 40)) :]
        elif action == "cut":
            text = text[:at]
        else:
            text = text[:at] + text[max(0, at - 200) : at] + text[at:]
    return path.suffix, text.encode("utf-8", "surrogatepass")


@pytestmark_real
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture,
                                                                  HealthCheck.too_slow])
@given(damaged())
def test_damaged_models_give_formulas_or_model_errors_and_check_never_fails(tmp_path, case):
    suffix, data = case
    path = tmp_path / ("model" + suffix)
    path.write_bytes(data)
    errors = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ModelWarning)
        formulas = list(read_model(path, errors))
        assert all(isinstance(formula, Formula) for formula in formulas)
        try:
            list(read_model(path))
        except ModelError:
            pass
    out = io.TextIOWrapper(io.BytesIO())
    err = io.TextIOWrapper(io.BytesIO())
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main(["check", "--format", "json", str(path)])
    assert status in (0, 1, 2)
    out.seek(0)
    for line in out.buffer.getvalue().decode("utf-8").splitlines():
        json.loads(line)
