"""The README runs as written: every console block's commands, from the
repository's top folder, print exactly what the block shows (a line `...`
stands for any lines), and the Python blocks print what their comments say.
Also the pre-commit hook the README points to."""

import contextlib
import io
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")
BLOCK = re.compile(r"^```(console|python)\n(.*?)^```$", re.DOTALL | re.MULTILINE)
BLOCKS = BLOCK.findall(README)

# Commands that need what the repository does not hold.
NOT_RUN = ("../shared",)


def console_commands():
    for kind, body in BLOCKS:
        if kind != "console":
            continue
        command, expected = None, []
        for line in body.splitlines():
            if line.startswith("$ "):
                if command is not None:
                    yield command, expected
                command, expected = line[2:], []
            else:
                expected.append(line)
        if command is not None:
            yield command, expected


COMMANDS = [case for case in console_commands() if not any(part in case[0] for part in NOT_RUN)]


def matches(expected, actual):
    """Whether the lines match, a `...` line standing for one or more lines."""
    if "..." not in expected:
        return expected == actual
    cut = expected.index("...")
    head, tail = expected[:cut], expected[cut + 1 :]
    return (actual[: len(head)] == head and actual[len(actual) - len(tail) :] == tail
            and len(actual) > len(head) + len(tail))


def test_the_readme_has_console_blocks_to_run():
    assert len(COMMANDS) >= 8


@pytest.mark.parametrize("command, expected", COMMANDS, ids=[command for command, _ in COMMANDS])
def test_console_blocks(command, expected):
    # The console script, as the README calls it, runs this interpreter's package.
    script = f'quarrow-dax() {{ "{sys.executable}" -m quarrow_dax "$@"; }}; {command}'
    run = subprocess.run(["bash", "-c", script], cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         timeout=60, env=dict(os.environ, COLUMNS="80"))
    assert matches(expected, run.stdout.decode("utf-8").splitlines()), run.stdout.decode("utf-8")


def expected_output(source):
    """The output the comments of a Python block show: the comment after a
    print(...) on its line, and the comment lines right after a statement."""
    lines = []
    after_code = False
    for line in source.splitlines():
        stripped = line.strip()
        if stripped.startswith("# ") and after_code:
            lines.append(stripped[2:])
        elif "print(" in line and "  # " in line:
            lines.append(line.split("  # ", 1)[1].strip())
            after_code = True
        else:
            after_code = bool(stripped)
    return lines


PYTHON_BLOCKS = [body for kind, body in BLOCKS if kind == "python"]


def test_the_readme_has_python_blocks_to_run():
    assert len(PYTHON_BLOCKS) >= 4


@pytest.mark.parametrize("source", PYTHON_BLOCKS, ids=[f"block{number}" for number in range(1, len(PYTHON_BLOCKS) + 1)])
def test_python_blocks(source):
    """Each block on its own, in a fresh namespace: a reader copies one
    block, not the README."""
    namespace = {"__name__": "__main__"}
    out = io.StringIO()
    old = os.getcwd()
    os.chdir(ROOT)
    try:
        with contextlib.redirect_stdout(out):
            exec(compile(source, "README.md", "exec"), namespace)
    finally:
        os.chdir(old)
    assert out.getvalue().splitlines() == expected_output(source)


def test_pre_commit_hooks():
    text = (ROOT / ".pre-commit-hooks.yaml").read_text(encoding="utf-8")
    hooks = {}
    for block in re.split(r"^- ", text, flags=re.MULTILINE)[1:]:
        fields = dict(re.findall(r"^(?:  )?(id|entry|files|language): (.*)$", block, re.MULTILINE))
        hooks[fields["id"]] = fields
    assert {hook: fields["entry"].split()[:2] for hook, fields in hooks.items()} == {
        "check": ["quarrow-dax", "check"], "quarrow-dax-format": ["quarrow-dax", "format"],
        "quarrow-dax-lint": ["quarrow-dax", "lint"]}
    assert 'quarrow-dax = "quarrow_dax.cli:main"' in (ROOT / "pyproject.toml").read_text()
    for fields in hooks.values():
        assert fields["language"] == "python"
        pattern = re.compile(fields["files"])
        assert [bool(pattern.search(name)) for name in ("a.dax", "m/T.tmdl", "model.BIM", "notes.txt", "x.dax.bak")] == [
            True, True, True, False, False]
