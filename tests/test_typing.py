"""The package is typed: mypy --strict accepts it, and code using its public
API is checked against the stubs rather than seeing Any."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "python" / "quarrow_dax"

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


@pytest.fixture(scope="module")
def cache_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def mypy(cache_dir, *args, cwd=ROOT):
    # MYPYPATH: the sources of this checkout, not an installed copy.
    env = dict(os.environ, MYPYPATH=str(PACKAGE.parent))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache_dir), *args],
        capture_output=True, text=True, cwd=cwd, env=env, timeout=300,
    )


def test_package_passes_mypy_strict(cache_dir):
    run = mypy(cache_dir, str(PACKAGE))
    assert run.returncode == 0, run.stdout + run.stderr


CLIENTS = [
    # code using the public API, and whether mypy --strict accepts it
    ('from quarrow_dax import lex, parse_expression, parse_query\nx: str = lex("1") + parse_expression("1") + parse_query("EVALUATE T")\n', True),
    ('from quarrow_dax import lex\nx: int = lex("1")\n', False),
    ("from quarrow_dax import parse_query\nparse_query(1)\n", False),
    ('import quarrow_dax\nv: str = quarrow_dax.__version__\nt: object = quarrow_dax.loads("[]")\n', True),
    ("from quarrow_dax import loads\nloads(b'[]')\n", False),
    ('from quarrow_dax.diagnostics import Diagnostic\nd = Diagnostic.from_error(ValueError("x"), "s")\nn: int = d.line + d.column + d.end_line + d.end_column + d.start + d.end\nr: str = d.render("p")\n', True),
    ('from quarrow_dax.diagnostics import Diagnostic\nd = Diagnostic.from_error(ValueError("x"), "s")\ns: str = d.line\n', False),
    ("from quarrow_dax.cli import main\nstatus: int = main([])\n", True),
    ("from quarrow_dax.syntax import TableColumnRef, parse_expression\n"
     "names: list[str] = [c.table.name + c.column for c in parse_expression('T[a]').find_all(TableColumnRef)]\n", True),
    ("from quarrow_dax.syntax import parse_query\nq = parse_query('EVALUATE T')\nn: int = q.evaluates[0].span.start\n",
     False),  # a node built in code has no span: it must be checked for None
    ("from quarrow_dax.syntax import tokenize\nk: list[str] = [t.kind for t in tokenize('1') if t.is_comment]\n", True),
    # the reporting layer and the checking functions
    ("from quarrow_dax.check import CheckOptions, check_file\nfrom quarrow_dax.diagnostics import Diagnostic, "
     "writer_for\nfound: list[Diagnostic] = check_file('a.dax', CheckOptions(mode='expr'))\n"
     "writer_for('sarif', print, print).add(found[0])\n", True),
    ("from quarrow_dax.check import CheckOptions\nCheckOptions(mode='table')\n", False),
    ("from quarrow_dax.diagnostics import Diagnostic\nd = Diagnostic.for_path('read', 'gone', 'a.dax')\n"
     "s: str = d.severity\nh: str = d.hint\n", False),
]


@pytest.mark.parametrize("source, accepted", CLIENTS)
def test_clients_are_checked_against_the_api(source, accepted, cache_dir, tmp_path):
    (tmp_path / "client.py").write_text(source)
    run = mypy(cache_dir, "client.py", cwd=tmp_path)
    assert (run.returncode == 0) == accepted, run.stdout + run.stderr
