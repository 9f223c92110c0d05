"""Configuration for every command (quarrow_dax.config): what each setting
does to check, lint and format, which file governs a path, and every way a
configuration file can be wrong: a located message and exit status 2,
never a traceback and never 1 (which means findings)."""

import os
import subprocess
import sys

import pytest

from quarrow_dax.config import MAX_CONFIG_DEPTH, Config, ConfigError, ConfigFinder, find_config, load_config


def run_cli(*args, cwd, stdin=b""):
    run = subprocess.run([sys.executable, "-m", "quarrow_dax", *args], input=stdin, capture_output=True, cwd=cwd,
                         timeout=60)
    return run.returncode, run.stdout.decode(), run.stderr.decode()


def make(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))


DEEP = "[" * 500 + "]" * 500

BROKEN = [
    # file, its text, the message (after "FILE:LINE[:COLUMN]: config error: ")
    ("pyproject.toml", '[tool.quarrow-dax]\nstrikt = true\n',
     "2: config error: [tool.quarrow-dax] has no setting 'strikt' (did you mean 'strict'?)"),
    ("quarrow-dax.toml", 'separator = "comma"\n',
     "1: config error: quarrow-dax.toml has no setting 'separator' (did you mean 'separators'?)"),
    ("pyproject.toml", '[tool.quarrow-dax.format]\nwidht = 100\n',
     "2: config error: [tool.quarrow-dax.format] has no setting 'widht' (did you mean 'width'?)"),
    ("quarrow-dax.toml", '[lint]\nselekt = ["ALL"]\n',
     "2: config error: [lint] has no setting 'selekt' (did you mean 'select'?)"),
    ("quarrow-dax.toml", 'strict = "yes"\n', "1: config error: strict must be true or false, not 'yes'"),
    ("quarrow-dax.toml", 'separators = "tab"\n',
     "1: config error: separators must be \"comma\" or \"semicolon\", not 'tab'"),
    ("quarrow-dax.toml", 'exclude = "build"\n', "1: config error: exclude must be a list of strings"),
    ("quarrow-dax.toml", '[format]\nwidth = 0\n', "2: config error: format width must be a whole number of 1 or more"),
    ("quarrow-dax.toml", '[format]\nindent = 17\n', "2: config error: format indent must be a whole number from 0 to 16"),
    ("quarrow-dax.toml", '[format]\nindent = true\n', "2: config error: format indent must be a whole number"),
    ("quarrow-dax.toml", 'format = 3\n', "1: config error: format must be a table of settings"),
    ("pyproject.toml", '[tool]\nquarrow-dax = 1\n', "2: config error: tool.quarrow-dax must be a table of settings"),
    ("quarrow-dax.toml", '[lint]\nselect = []\n', "2: config error: select = [] selects no rule"),
    ("quarrow-dax.toml", '[lint]\nignore = ["DAX1O1"]\n',
     "2: config error: ignore: no rule is selected by 'DAX1O1' (did you mean 'DAX101'?)"),
    ("quarrow-dax.toml", "x = [\n", "2: config error: invalid TOML: Invalid value at the end"),
    # nested deeper than the TOML reader can follow: in the tool's table, and in another tool's
    ("quarrow-dax.toml", f"exclude = {DEEP}\n", f"1:{11 + MAX_CONFIG_DEPTH}: config error: arrays or tables nested"),
    ("pyproject.toml", f"[tool.other]\nx = {DEEP}\n[tool.quarrow-dax]\nstrict = true\n",
     f"2:{5 + MAX_CONFIG_DEPTH}: config error: arrays or tables nested more than {MAX_CONFIG_DEPTH} levels deep"),
    ("quarrow-dax.toml", b"strict = \xff\n", "1:10: config error: not valid UTF-8"),
]


@pytest.mark.parametrize("name, text, message", BROKEN)
@pytest.mark.parametrize("command", [["check"], ["lint"], ["format", "--check"]])
def test_a_broken_configuration_is_located_and_exits_2(name, text, message, command, tmp_path):
    make(tmp_path, {name: text, "a.dax": "SUM ( T[a] )\n"})
    status, stdout, stderr = run_cli(*command, "a.dax", cwd=tmp_path)
    if command[0] != "lint" and "[lint]" in (text if isinstance(text, str) else ""):
        # check and format read no lint table: its errors are lint's to report
        assert (status, stdout) == (0, "")
        return
    report = stderr if command[0] == "format" else stdout
    assert status == 2 and f"{name}:{message}" in report and "Traceback" not in stdout + stderr
    assert "not " in stderr.splitlines()[-1] or "left alone" in stderr  # the summary says the file was left out


def test_another_tools_deep_table_without_the_tools_table_is_passed_over(tmp_path):
    make(tmp_path, {"pyproject.toml": f'[tool.other]\nx = {DEEP}\nname = "quarrow-dax"\n', "a.dax": "1\n"})
    assert run_cli("check", "a.dax", cwd=tmp_path)[0] == 0
    # dotted keys and brackets inside strings and comments nest nothing
    make(tmp_path, {"quarrow-dax.toml": "a" + ".a" * 2000 + ' = 1\n# ' + DEEP + '\nz = "' + DEEP + '"\n'})
    status, stdout, _ = run_cli("check", "a.dax", cwd=tmp_path)
    assert status == 2 and "has no setting 'a'" in stdout


def test_a_symbolic_link_loop_and_other_unreadable_files(tmp_path):
    os.symlink("loop-b", tmp_path / "loop-a")
    os.symlink("loop-a", tmp_path / "loop-b")
    (tmp_path / "folder.toml").mkdir()
    make(tmp_path, {"a.dax": "1\n"})
    for config, message in [("loop-a", "loop-a: config error: Too many levels of symbolic links"),
                            ("folder.toml", "folder.toml: config error: is a folder, not a file"),
                            ("none.toml", "none.toml: config error: No such file or directory")]:
        for command in ("check", "lint", "deps"):
            status, stdout, stderr = run_cli(command, "--config", config, "a.dax", cwd=tmp_path)
            assert status == 2 and message in stdout + stderr and "Traceback" not in stderr, (command, config)


SETTINGS = [
    # configuration, command line, standard input, exit status, standard output
    ("strict = true\n", ["check", "-"], "INDEX ( 1, , -1 )", 1, "<stdin>:1:12: parse error: expected expression"),
    ("strict = true\n", ["check", "--no-strict", "-"], "INDEX ( 1, , -1 )", 0, ""),
    ('separators = "semicolon"\n', ["check", "-"], "ROUND ( 1,5; 0 ) + 1,5", 0, ""),
    ('separators = "semicolon"\n', ["check", "--separators", "comma", "-"], "ROUND ( 1,5; 0 ) + 1,5", 1,
     "<stdin>:1:"),
    ("[format]\nwidth = 20\nindent = 2\nspace-before-paren = false\n", ["format", "-"],
     "F(111111, 222222, 333333)", 0, "F(\n  111111,\n  222222,\n  333333\n)\n"),
    ("[format]\nwidth = 20\nindent = 2\n", ["format", "--indent", "3", "--width", "120", "-"],
     "F(111111, 222222, 333333)", 0, "F ( 111111, 222222, 333333 )\n"),
    ('separators = "semicolon"\n[format]\nspace-before-paren = false\n', ["format", "-"], "ROUND(1,5;0)", 0,
     "ROUND( 1,5; 0 )\n"),
    ('[format]\nseparators = "semicolon"\n', ["format", "-"], "ROUND(1,5;0)", 0, "ROUND ( 1,5; 0 )\n"),
    ('strict = true\n[lint]\nselect = ["DAX101"]\n', ["lint", "-"], "INDEX ( 1, , [a] / [b] )", 1,
     "<stdin>:1:12: parse error"),
    ('[lint]\nselect = ["DAX101"]\n', ["lint", "-"], "VAR x = 1 RETURN [a] / [b]", 1, "<stdin>:1:22: correctness"),
]


@pytest.mark.parametrize("config, args, text, status, stdout", SETTINGS)
def test_settings_reach_every_command_and_the_command_line_wins(config, args, text, status, stdout, tmp_path):
    make(tmp_path, {"quarrow-dax.toml": config})
    result = run_cli(*args, cwd=tmp_path, stdin=text.encode())
    assert result[0] == status and result[1].startswith(stdout), result


def test_each_path_has_the_configuration_of_its_folder(tmp_path):
    make(tmp_path, {
        "strict/quarrow-dax.toml": "strict = true\n", "strict/a.dax": "INDEX ( 1, , -1 )\n",
        "loose/pyproject.toml": '[tool.quarrow-dax]\nstrict = false\n', "loose/a.dax": "INDEX ( 1, , -1 )\n",
        "loose/inner/pyproject.toml": '[project]\nname = "x"\n',  # no table of the tool: passed over
        "loose/inner/b.dax": "INDEX ( 1, , -1 )\n",
    })
    status, stdout, stderr = run_cli("check", ".", cwd=tmp_path)
    assert status == 1 and stdout.startswith("strict/a.dax:1:12:") and "loose" not in stdout
    assert stderr == "checked 3 files: 1 with errors\n"
    assert find_config(tmp_path / "loose" / "inner" / "b.dax").path.endswith("loose/pyproject.toml")
    # --config governs every path
    status, _, _ = run_cli("check", "--config", "loose/pyproject.toml", ".", cwd=tmp_path)
    assert status == 0


def test_the_python_api(tmp_path):
    make(tmp_path, {"quarrow-dax.toml": '[format]\nwidth = 90\n[lint]\nignore = ["DAX104"]\n',
                    "bad/quarrow-dax.toml": "[lint]\nselect = [1]\n"})
    config = load_config(tmp_path / "quarrow-dax.toml")
    assert (config.format.width, config.format.indent, config.strict) == (90, None, False)
    assert config.lint.ignore == ("DAX104",) and config.lint is config.lint  # read once
    assert Config().lint.select == ("ALL",)
    finder = ConfigFinder()
    broken = finder.config_for(tmp_path / "bad" / "x.dax")  # the file reads; its lint table does not
    with pytest.raises(ConfigError) as first:
        broken.lint
    with pytest.raises(ConfigError) as second:
        broken.lint
    assert (first.value.line, first.value.message) == (second.value.line, second.value.message) == (
        2, "select must be a list of strings")
