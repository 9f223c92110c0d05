"""The command line `python -m quarrow_dax`, run as a separate process."""

import json
import pathlib
import re
import shutil
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
    # lexical and syntax errors: located on stderr, as check reports them, also for one file; status 1
    ("lex", b"a ! b", ":1:3: lex error: unexpected character: '!'\n"),
    ("expr", b"1 2", ":1:3: parse error: expected end of input\n"),
    ("query", b"EVALUATE t\nORDER a", ":2:7: parse error: expected keyword by\n"),
    ("query", b"1 + 2", ":1:1: parse error: expected at least one EVALUATE statement\n"),
]


@pytest.mark.parametrize("command, data, stderr", ERRORS)
@pytest.mark.parametrize("from_stdin", [False, True])
def test_library_errors_exit_1(command, data, stderr, from_stdin, tmp_path):
    write(tmp_path, data)
    run = run_cli(command, "-" if from_stdin else "input.dax", stdin=data, cwd=tmp_path)
    name = "<stdin>" if from_stdin else "input.dax"
    assert (run.returncode, run.stdout, run.stderr.decode()) == (1, b"", name + stderr)


UNREADABLE = [
    # files that cannot be read as UTF-8 text, and bad command lines
    ("lex", "missing.dax", None),
    ("lex", "input.dax", b"\xff"),
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


# --- several files and --indent -------------------------------------------------


def make(tmp_path, files):
    """Writes {relative path: bytes} under tmp_path, making directories."""
    for name, data in files.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


MANY_FILES = [
    # each result on its own line, wrapped with its path; errors on stderr with their position
    (["expr", "a.dax", "b.dax"], {"a.dax": b"1", "b.dax": "'Ü'".encode()}, 0,
     '{"path":"a.dax","result":{"Number":"1"}}\n{"path":"b.dax","result":{"TableRef":{"name":"Ü","quoted":true}}}\n'.encode(), b""),
    (["expr", "a.dax", "b.dax"], {"a.dax": b"1 2", "b.dax": b"2"}, 1,
     b'{"path":"b.dax","result":{"Number":"2"}}\n', b"a.dax:1:3: parse error: expected end of input\n"),
    (["lex", "a.dax", "-"], {"a.dax": b""}, 0,
     b'{"path":"a.dax","result":[{"kind":"Eof","span":{"start":0,"end":0}}]}\n'
     b'{"path":"<stdin>","result":[{"kind":"Eof","span":{"start":0,"end":0}}]}\n', b""),
    # an unreadable file: status 2, the other files still done
    (["expr", "missing.dax", "a.dax"], {"a.dax": b"1"}, 2,
     b'{"path":"a.dax","result":{"Number":"1"}}\n', b"quarrow-dax: cannot read missing.dax: No such file or directory\n"),
    # --indent applies to the wrapper as well
    (["expr", "--indent", "1", "a.dax", "b.dax"], {"a.dax": b"1", "b.dax": b"{}"}, 0,
     b'{\n "path": "a.dax",\n "result": {\n  "Number": "1"\n }\n}\n{\n "path": "b.dax",\n "result": {\n  "TableConstructor": []\n }\n}\n', b""),
]


@pytest.mark.parametrize("args, files, status, stdout, stderr", MANY_FILES)
def test_several_files(args, files, status, stdout, stderr, tmp_path):
    make(tmp_path, files)
    run = run_cli(*args, cwd=tmp_path)
    assert (run.returncode, run.stdout, run.stderr) == (status, stdout, stderr)


INDENTED = [
    # the layout of json.dumps(indent=N): empty containers on one line, ": " after keys
    ("query", "measures.dax", 2),
    ("query", "measures.dax", 0),
    ("lex", "measures.dax", 4),
    ("expr", "total_sales.dax", 3),
]


@pytest.mark.parametrize("command, example, indent", INDENTED)
def test_indent_matches_json_dumps(command, example, indent):
    run = run_cli(command, "--indent", str(indent), str(EXAMPLES / example))
    source = (EXAMPLES / example).read_text(encoding="utf-8")
    expected = json.dumps(json.loads(FUNCTIONS[command](source)), indent=indent, ensure_ascii=False) + "\n"
    assert (run.returncode, run.stdout.decode(), run.stderr) == (0, expected, b"")


DEEP_INDENT = [
    # deeper than json.loads and json.dumps can go by default
    "1" + "+1" * 600,
    '"[{,:}]\\ "" " & ' * 600 + '""',  # JSON escapes in strings with brackets
]


@pytest.mark.parametrize("source", DEEP_INDENT, ids=["sum", "strings-with-brackets"])
def test_indent_of_deep_trees(source, tmp_path):
    run = run_cli("expr", "--indent", "1", write(tmp_path, source.encode()))
    assert (run.returncode, run.stderr) == (0, b"")
    # Undone by text replacement (the strings here hold no line feed and no
    # '": '): comparing decoded trees would itself recurse too deeply.
    compact = re.sub(r"\n *", "", run.stdout.decode()).replace('": ', '":')
    assert compact == parse_expression(source)
    assert run.stdout.count(b"\n") > 1000


# --- check ----------------------------------------------------------------------

SUMMARY_1 = "checked 1 file: 1 with errors\n"

CHECK_LAYOUT = [
    # file contents, extra options, the exact standard output
    # an error on the first line
    ("1 2", [], "f.dax:1:3: parse error: expected end of input\n1 2\n  ^\n" + SUMMARY_1),
    # in the middle of multi-byte text: columns count characters
    ('"Ümsätze" & ! "€"', [], "f.dax:1:13: lex error: unexpected character: '!'\n"
     '"Ümsätze" & ! "€"\n            ^\n' + SUMMARY_1),
    ('x = "ä"\n  & あ ¤', [], "f.dax:2:7: lex error: unexpected character: '¤'\n  & あ ¤\n       ^\n" + SUMMARY_1),
    # at the end of input, on the last line and after a final line feed
    ("1 +", [], "f.dax:1:4: parse error: unexpected end of input\n1 +\n   ^\n" + SUMMARY_1),
    # ... and after final line ends: just past the last character, not on an empty line
    ("f(1,\n2\n\n", [], "f.dax:2:2: parse error: expected `)`\n2\n ^\n" + SUMMARY_1),
    # a span past the line end is marked to the line end; tabs stay in the padding
    ('\tx & "ab\ncd', [], 'f.dax:1:6: lex error: unterminated string literal\n\tx & "ab\n\t    ^^^\n' + SUMMARY_1),
    # CRLF line ends: the carriage return is no column
    ("1 +\r\n2 3\r\n", [], "f.dax:2:3: parse error: expected end of input\n2 3\n  ^\n" + SUMMARY_1),
    # a byte-order mark is dropped before parsing
    ("\ufeff1 2", [], "f.dax:1:3: parse error: expected end of input\n1 2\n  ^\n" + SUMMARY_1),
    # the first word decides: a query, also in lower case after comments and doc comments
    ("-- c\n/* c */ /// d\nevaluate", [], "f.dax:3:9: parse error: unexpected end of input\nevaluate\n        ^\n"
     + SUMMARY_1),
    ("/// d\nDEFINE EVALUATE T", [], "f.dax:2:8: parse error: DEFINE block must contain at least one "
     "definition\nDEFINE EVALUATE T\n       ^^^^^^^^\n" + SUMMARY_1),
    ("EVALUATEx 1", [], "f.dax:1:11: parse error: expected end of input\nEVALUATEx 1\n          ^\n" + SUMMARY_1),
    # the first word when a lexical error follows
    ("EVALUATE T ! 1", [], "f.dax:1:12: lex error: unexpected character: '!'\nEVALUATE T ! 1\n           ^\n"
     + SUMMARY_1),
    # --as overrides the first word; a hint names the likely mix-up
    ("EVALUATE T", ["--as", "expr"], "f.dax:1:10: parse error: expected end of input\nEVALUATE T\n         ^\n"
     "  hint: the text begins with DEFINE or EVALUATE, so it is a query: check it with --as query (or without --as)\n"
     + SUMMARY_1),
    ("1", ["--as", "query"], "f.dax:1:1: parse error: expected at least one EVALUATE statement\n1\n^\n"
     "  hint: a query begins with DEFINE or EVALUATE; to check an expression, use --as expr (or leave out --as)\n"
     + SUMMARY_1),
    # a measure pasted as Power BI shows it: a hint names the definition in front
    ("Total Sales = SUM ( Sales[Amount] )", [], "f.dax:1:7: parse error: expected end of input\n"
     "Total Sales = SUM ( Sales[Amount] )\n      ^^^^^\n  hint: the text begins with a definition, `Total Sales =`,"
     " in front of the expression, as Power BI shows a measure: check only what follows `=`, or write the definition"
     " in a query (DEFINE MEASURE 'Table'[Name] = ... EVALUATE ...)\n" + SUMMARY_1),
    # no error
    ("EVALUATE T", [], "checked 1 file: 0 with errors\n"),
    ("SUM(T[c])", [], "checked 1 file: 0 with errors\n"),
]


@pytest.mark.parametrize("text, options, output", CHECK_LAYOUT)
def test_check_layout(text, options, output, tmp_path):
    # The diagnostics on standard output, the summary (the last line) on standard error.
    make(tmp_path, {"f.dax": text.encode()})
    run = run_cli("check", *options, "f.dax", cwd=tmp_path)
    status = 0 if output.endswith(": 0 with errors\n") else 1
    *diagnostics, summary = output.splitlines(keepends=True)
    assert (run.returncode, run.stdout.decode(), run.stderr.decode()) == (status, "".join(diagnostics), summary)


FAR_DOWN = [
    # the first word is looked for in a growing prefix: after more comment than
    # the first prefix holds, cut in the middle of the word, after a long string
    ("// comment\n" * 2000 + "/* a\n long\n comment */\n" * 500 + "EVALUATE", "f.dax:3501:9: parse error: unexpected end of input"),
    ("-- " + "y" * 4090 + "\nEVALUATE", "f.dax:2:9: parse error: unexpected end of input"),
    ("-- " + "y" * 4090 + "\nEVALUATEX 1", "f.dax:2:11: parse error: expected end of input"),
    ('"' + "s" * 5000 + '" EVALUATE', "f.dax:1:5004: parse error: expected end of input"),
]


@pytest.mark.parametrize("text, header", FAR_DOWN, ids=["comments", "cut-word", "cut-longer-word", "string"])
def test_check_finds_the_first_word_far_down(text, header, tmp_path):
    make(tmp_path, {"f.dax": text.encode()})
    run = run_cli("check", "f.dax", cwd=tmp_path)
    assert run.stdout.decode().split("\n")[0] == header


CHECK_JSON = [
    # one compact object per error; spans in bytes after a byte-order mark, columns in characters
    ("ä 2", '{"path":"f.dax","kind":"parse","message":"expected end of input","start":3,"end":4,'
     '"line":1,"column":3,"end_line":1,"end_column":4,"severity":"error","code":"E002","hint":null}\n'),
    ('\ufeff"é\nx', '{"path":"f.dax","kind":"lex","message":"unterminated string literal","start":0,"end":5,'
     '"line":1,"column":1,"end_line":2,"end_column":2,"severity":"error","code":"E001","hint":null}\n'),
    ("1", ""),
]


@pytest.mark.parametrize("text, stdout", CHECK_JSON)
def test_check_json(text, stdout, tmp_path):
    make(tmp_path, {"f.dax": text.encode()})
    run = run_cli("check", "--format", "json", "f.dax", cwd=tmp_path)
    failed = int(bool(stdout))
    assert (run.returncode, run.stdout.decode()) == (failed, stdout)
    # the summary goes to standard error so that standard output is JSON lines only
    assert run.stderr.decode() == f"checked 1 file: {failed} with errors\n"


TREE = {
    "d/x.dax": b"1",
    "d/b/y.DAX": b"1 2",
    "d/b/c/w.dax": b"EVALUATE",
    "d/a.dax": b"(",
    "d/notes.txt": b"1 2",
}

CHECK_PATHS = [
    # directories are searched for *.dax, in sorted order; files given are checked whatever their name
    (["d"], 1, ["d/a.dax:1:2:", "d/b/y.DAX:1:3:", "d/b/c/w.dax:1:9:"], "checked 4 files: 3 with errors", {}),
    (["d/notes.txt", "d/x.dax"], 1, ["d/notes.txt:1:3:"], "checked 2 files: 1 with errors", {}),
    (["d/b/c", "-"], 1, ["d/b/c/w.dax:1:9:", "<stdin>:1:3:"], "checked 2 files: 2 with errors", {}),
    # files found under "." are shown without "./", as models are
    (["."], 1, ["a.dax:1:2:", "b/y.DAX:1:3:", "b/c/w.dax:1:9:"], "checked 4 files: 3 with errors", {}),
    # what .gitignore (inside a repository) and --exclude leave out of a walk; a file named outright is read
    (["d"], 1, ["d/a.dax:1:2:"], "checked 2 files: 1 with errors", {"d/.gitignore": b"b/\n"}),
    (["--exclude", "y.DAX,c", "d"], 1, ["d/a.dax:1:2:"], "checked 2 files: 1 with errors", {}),
    (["--exclude", "d/b/**", "d", "d/b/y.DAX"], 1, ["d/a.dax:1:2:", "d/b/y.DAX:1:3:"], "checked 3 files: 2 with errors",
     {}),
    (["--exclude", "d/b/**", "--force-exclude", "d/b/y.DAX"], 0, [], "checked 0 files: 0 with errors", {}),
    (["--no-ignore", "d"], 1, ["d/a.dax:1:2:", "d/b/y.DAX:1:3:", "d/b/c/w.dax:1:9:"],
     "checked 4 files: 3 with errors", {"d/.gitignore": b"b/\n"}),
    # the configuration's exclude and extend-exclude, relative to its folder
    (["d"], 1, ["d/a.dax:1:2:", "d/b/y.DAX:1:3:"], "checked 3 files: 2 with errors",
     {"pyproject.toml": b'[tool.quarrow-dax]\nextend-exclude = ["d/b/c"]\n'}),
    (["d"], 1, ["d/b/y.DAX:1:3:", "d/b/c/w.dax:1:9:"], "checked 3 files: 2 with errors",
     {"d/quarrow-dax.toml": b'exclude = ["a.dax"]\n'}),
]


@pytest.mark.parametrize("paths, status, errors, summary, more", CHECK_PATHS)
def test_check_paths(paths, status, errors, summary, more, tmp_path):
    make(tmp_path, {**TREE, ".git/HEAD": b"ref: refs/heads/main\n", **more})
    cwd = tmp_path / "d" if paths == ["."] else tmp_path
    run = run_cli("check", *paths, stdin=b"1 )", cwd=cwd)
    lines = run.stdout.decode().splitlines()
    assert [line.split(" ")[0] for line in lines[::3]] == errors
    assert (run.returncode, run.stderr.decode()) == (status, summary + "\n")


def test_check_with_two_jobs_reports_in_input_order(tmp_path):
    files = {}
    for i in range(60):
        files[f"f{i:02}.dax"] = [b"1", b"1 2", b"EVALUATE (", b"\xff", "'é' +".encode()][i % 5]
    make(tmp_path, files)
    one = run_cli("check", ".", cwd=tmp_path)
    two = run_cli("check", "--jobs", "2", ".", cwd=tmp_path)
    assert one.returncode == two.returncode == 2
    assert (two.stdout, two.stderr) == (one.stdout, one.stderr)
    assert one.stderr.decode() == "checked 48 files: 36 with errors; 12 files could not be read\n"
    assert one.stdout.decode().count("error:") == 36 and one.stdout.count(b"cannot read") == 12


UNREADABLE_CHECK = [
    # the file that cannot be read is reported, the others are still checked; status 2
    (b"1 +\n  \xe9\n", "quarrow-dax: cannot read bad.dax: not valid UTF-8: invalid continuation byte 0xe9 at line 2, "
     "column 3 (byte 6)\n"),
    (b"\xc3", "quarrow-dax: cannot read bad.dax: not valid UTF-8: unexpected end of data 0xc3 at line 1, "
     "column 1 (byte 0)\n"),
]


@pytest.mark.parametrize("data, message", UNREADABLE_CHECK)
def test_check_goes_on_after_a_file_that_is_not_utf8(data, message, tmp_path):
    make(tmp_path, {"bad.dax": data, "good.dax": b"1 2"})
    run = run_cli("check", "bad.dax", "good.dax", "missing.dax", cwd=tmp_path)
    assert run.returncode == 2
    # Every diagnostic on standard output, in order: `> report.txt` keeps them all.
    assert run.stdout.decode() == message + (
        "good.dax:1:3: parse error: expected end of input\n1 2\n  ^\n"
        "quarrow-dax: cannot read missing.dax: No such file or directory\n")
    # The summary counts what was checked, apart from what could not be read.
    assert run.stderr.decode() == "checked 1 file: 1 with errors; 2 files could not be read\n"


USAGE = [
    # bad command lines: status 2 and the usage text
    [],
    ["check"],
    ["lex"],
    ["check", "--jobs", "-1", "f.dax"],
    ["check", "--jobs", "two", "f.dax"],
    ["check", "--as", "table", "f.dax"],
    ["check", "--format", "xml", "f.dax"],
    ["expr", "--indent", "-2", "f.dax"],
    ["format", "--indent", "17", "f.dax"],
    ["format", "--width", "0", "f.dax"],
    ["lint", "--select=", "f.dax"],
    ["lint", "--select", " , ", "f.dax"],
    ["lint", "--fail-on", "fatal", "f.dax"],
    ["check", "--exclude", "", "f.dax"],
]


@pytest.mark.parametrize("args", USAGE)
def test_usage_errors_exit_2(args, tmp_path):
    run = run_cli(*args, cwd=tmp_path)
    assert (run.returncode, run.stdout) == (2, b"")
    assert run.stderr.startswith(b"usage: quarrow-dax")


REFUSED_TOGETHER = [
    # options each valid alone but not together: refused as argparse refuses a bad command line
    (["check", "--list", "--format", "sarif", "f.dax"], "check --list writes text or json only"),
    (["lint"], "lint: give the paths to lint (or --explain RULE)"),
    (["lint", "--unsafe-fixes", "--explain", "DAX101"], "lint: --unsafe-fixes goes with --fix or --diff"),
    (["deps", "m.bim", "[X]", "--cycles"],
     "deps: OBJECT goes with --upstream or --downstream, not with --unused or --cycles"),
    (["deps", "m.bim", "--deep"], "deps: --upstream, --downstream and --deep need an OBJECT"),
    (["check", "--statistics", "--format", "sarif", "f.dax"], "--statistics writes text or json, not sarif"),
    (["check", "--list", "--statistics", "f.dax"], "check --list lists; --statistics counts findings: give one of them"),
    (["lint", "--statistics", "--fix", "f.dax"], "lint: --statistics counts the findings; it does not go with --fix or --diff"),
]


@pytest.mark.parametrize("args, message", REFUSED_TOGETHER)
def test_options_refused_together_exit_2_with_the_usage(args, message, tmp_path):
    run = run_cli(*args, cwd=tmp_path)
    assert (run.returncode, run.stdout) == (2, b"")
    assert run.stderr.decode() == f"usage: quarrow-dax [-h] [--version] COMMAND ...\nquarrow-dax: error: {message}\n"


def test_every_command_module_is_listed_and_registers_its_runner():
    import pkgutil

    from quarrow_dax import cli

    modules = {info.name for info in pkgutil.iter_modules(cli.__path__)} - {"common", "output"}
    assert {command.__name__.rpartition(".")[2] for command in cli.commands()} == modules == set(cli.COMMAND_NAMES)
    subcommands = next(action for action in cli.build_parser()._actions if action.dest == "command").choices
    assert list(subcommands) == ["lex", "expr", "query", "check", "lint", "deps", "usage", "diff", "format",
                                 "functions", "rename", "scan", "lsp"]
    assert list(subcommands) == [name for names in cli.COMMAND_NAMES.values() for name in names]
    runners = {command.run for command in cli.COMMANDS}
    for name, parser in subcommands.items():
        assert parser.get_default("run") in runners, name
        # The parser a run of one command builds knows only its module's commands, with the same options and help.
        alone = next(action for action in cli.build_parser(name)._actions if action.dest == "command").choices
        module_names = next(names for names in cli.COMMAND_NAMES.values() if name in names)
        assert list(alone) == list(module_names) and alone[name].format_help() == parser.format_help()


def test_a_run_imports_only_its_own_command():
    script = ("import sys; from quarrow_dax.cli import main; main(['check', 'examples']); "
              "print(sorted(m for m in sys.modules if m.startswith('quarrow_dax.cli.')))")
    run = subprocess.run([sys.executable, "-c", script], cwd=EXAMPLES.parent, capture_output=True, text=True, timeout=120)
    loaded = set(eval(run.stdout.strip().splitlines()[-1]))
    assert "quarrow_dax.cli.check" in loaded
    assert not loaded & {"quarrow_dax.cli.diff", "quarrow_dax.cli.lsp", "quarrow_dax.cli.rename", "quarrow_dax.cli.scan"}


def test_standard_input_twice_is_refused():
    run = run_cli("check", "-", "-")
    assert (run.returncode, run.stdout) == (2, b"")
    assert b"more than once" in run.stderr


@pytest.fixture(scope="module")
def error_files(tmp_path_factory):
    """Enough files with errors that their report overflows a pipe's buffer."""
    directory = tmp_path_factory.mktemp("errors")
    for i in range(1500):
        (directory / f"e{i:04}.dax").write_bytes(b"SUMX ( Sales, Sales[Quantity] * ) + 1 2")
    return directory


BROKEN_PIPE = [
    # the reader closes its end early: no traceback, nothing on stderr, and
    # status 141 as for a command that SIGPIPE ended (1 would say "errors found")
    ["check"],
    ["check", "--jobs", "2"],
    ["check", "--format", "json"],
    ["lex"],
]


@pytest.mark.parametrize("args", BROKEN_PIPE)
def test_broken_pipe_ends_quietly(args, error_files):
    files = sorted(str(path) for path in error_files.iterdir())
    targets = [str(error_files)] if args[0] == "check" else files
    process = subprocess.Popen(
        [sys.executable, "-m", "quarrow_dax", *args, *targets], stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    assert process.stdout.read(100)
    process.stdout.close()
    stderr = process.stderr.read()
    process.stderr.close()
    assert process.wait(timeout=60) == 141
    assert stderr == b""


def test_examples_all_parse():
    run = run_cli("check", str(EXAMPLES))
    count = len(list(EXAMPLES.glob("*.dax")))
    assert count >= 2
    summary = run.stderr.decode().splitlines()
    assert (run.returncode, summary[0], run.stdout) == (0, f"checked {count} files: 0 with errors", b"")
    assert summary[1].startswith("checked ") and summary[1].endswith(" in 1 model: 0 with errors")


def test_help_exits_0():
    run = run_cli("--help")
    assert run.returncode == 0 and b"check" in run.stdout


@pytest.mark.skipif(shutil.which("quarrow-dax") is None, reason="the console script is not installed")
def test_console_script():
    run = subprocess.run(["quarrow-dax", "check", str(EXAMPLES)], capture_output=True, timeout=60)
    assert (run.returncode, run.stdout) == (0, b"")
    assert run.stderr.startswith(b"checked ")


class EndlessInput:
    """Standard input that never ends: reading all of it is the fault."""

    def __init__(self):
        self.buffer = self

    def read(self, size=-1):
        assert size is not None and size >= 0, "read standard input to its end"
        return b"1" * size


@pytest.mark.parametrize("command", ["check", "lint", "format", "expr", "lex"])
def test_standard_input_is_read_no_further_than_the_size_limit(command, monkeypatch, capfdbinary):
    from quarrow_dax.cli import main

    monkeypatch.setattr(sys, "stdin", EndlessInput())
    assert main([command, "--max-file-size", "1K", "-"]) == 2
    assert b"more than the limit of 1,024 bytes" in b"".join(capfdbinary.readouterr())
