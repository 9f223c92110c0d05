"""The command line `python -m quarrow_dax`, run as a separate process."""

import pathlib
import subprocess
import sys

import pytest

from quarrow_dax import lex, parse_expression, parse_query

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
FUNCTIONS = {"lex": lex, "expr": parse_expression, "query": parse_query}


def run_cli(*args, stdin=b"", cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "quarrow_dax", *args], input=stdin, capture_output=True, cwd=cwd, timeout=60
    )


def write(tmp_path, data):
    path = tmp_path / "input.dax"
    path.write_bytes(data)
    return str(path)


# --- successful runs: the JSON of the function, then one line feed -----------

SUCCESS = [
    # the example files
    ("query", "measures.dax"),
    ("lex", "measures.dax"),
    ("expr", "total_sales.dax"),
    ("lex", "total_sales.dax"),
]


@pytest.mark.parametrize("command, example", SUCCESS)
@pytest.mark.parametrize("from_stdin", [False, True])
def test_example_files(command, example, from_stdin, tmp_path):
    data = (EXAMPLES / example).read_bytes()
    run = run_cli(command, "-", stdin=data, cwd=tmp_path) if from_stdin else run_cli(command, str(EXAMPLES / example))
    assert (run.returncode, run.stderr) == (0, b"")
    assert run.stdout == FUNCTIONS[command](data.decode("utf-8")).encode("utf-8") + b"\n"


FILE_CONTENTS = [
    # line ends and non-ASCII text reach the library byte for byte
    ("lex", b"a\r\nb", b'[{"kind":{"Ident":"a"},"span":{"start":0,"end":1}},'
     b'{"kind":{"Ident":"b"},"span":{"start":3,"end":4}},{"kind":"Eof","span":{"start":4,"end":4}}]\n'),
    ("lex", "[Ümsatz]".encode(), '[{"kind":{"BracketIdent":"Ümsatz"},"span":{"start":0,"end":9}},'
     '{"kind":"Eof","span":{"start":9,"end":9}}]\n'.encode()),
    ("expr", b"1", b'{"Number":"1"}\n'),
]


@pytest.mark.parametrize("command, data, output", FILE_CONTENTS)
def test_file_contents_are_passed_unchanged(command, data, output, tmp_path):
    run = run_cli(command, write(tmp_path, data))
    assert (run.returncode, run.stdout, run.stderr) == (0, output, b"")


# --- failures ------------------------------------------------------------------

ERRORS = [
    # lexical and syntax errors: the display text on stderr, status 1
    ("lex", b"a ! b", b"lex error: unexpected character: '!' at 2..3\n"),
    ("expr", b"1 2", b"parse error: expected end of input at 2..3\n"),
    ("query", b"EVALUATE t ORDER a", b"parse error: expected keyword by at 17..18\n"),
    ("query", b"1 + 2", b"parse error: expected at least one EVALUATE statement at 0..1\n"),
]


@pytest.mark.parametrize("command, data, stderr", ERRORS)
@pytest.mark.parametrize("from_stdin", [False, True])
def test_library_errors_exit_1(command, data, stderr, from_stdin, tmp_path):
    run = run_cli(command, "-", stdin=data) if from_stdin else run_cli(command, write(tmp_path, data))
    assert (run.returncode, run.stdout, run.stderr) == (1, b"", stderr)


UNREADABLE = [
    # files that cannot be read as UTF-8 text, and bad command lines
    ("lex", "missing.dax", None),
    ("lex", "input.dax", b"\xff\xfe"),
    ("parse", "input.dax", b"1"),
]


@pytest.mark.parametrize("command, name, data", UNREADABLE)
def test_unreadable_input_or_usage_exits_2(command, name, data, tmp_path):
    if data is not None:
        (tmp_path / name).write_bytes(data)
    run = run_cli(command, str(tmp_path / name))
    assert run.returncode == 2
    assert run.stdout == b""
    assert run.stderr.startswith(b"usage:") or b"cannot read" in run.stderr
