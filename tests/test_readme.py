"""The README runs as written: every console block's commands, from the
repository's top folder, print exactly what the block shows (a line `...`
stands for any lines), and the Python blocks print what their comments say.
Also the pre-commit hook the README points to."""

import contextlib
import io
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest
import yaml

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


def yaml_blocks():
    return [yaml.safe_load(body) for body in re.findall(r"^```yaml\n(.*?)^```$", README, re.DOTALL | re.MULTILINE)]


def project_name():
    return re.search(r'^name = "([^"]+)"', (ROOT / "pyproject.toml").read_text(), re.MULTILINE).group(1)


def run_steps(commands, cwd):
    """Runs shell commands as a workflow's `run` steps would, with the
    console script of this interpreter's package; returns their statuses
    and outputs."""
    results = []
    for command in commands:
        script = f'quarrow-dax() {{ "{sys.executable}" -m quarrow_dax "$@"; }}; {command}'
        run = subprocess.run(["bash", "-c", script], cwd=cwd, capture_output=True, timeout=120)
        results.append((run.returncode, run.stdout.decode(), run.stderr.decode()))
    return results


def power_bi_repository(root):
    """A repository as a Power BI user keeps one: a PBIP project with its
    semantic model, loose .dax files, and build output that .gitignore
    leaves out (its DAX does not parse)."""
    shutil.copytree(ROOT / "examples" / "Sales.SemanticModel", root / "Sales.SemanticModel")
    for name in ("measures.dax", "total_sales.dax"):
        shutil.copy(ROOT / "examples" / name, root / name)
    (root / "Sales.pbip").write_text('{"artifacts": []}\n')
    (root / ".git").mkdir()
    (root / ".gitignore").write_text("build/\n")
    (root / "build").mkdir()
    (root / "build" / "generated.dax").write_text("SUM ( (\n")
    # Formatted first, as a repository that runs the workflow keeps itself.
    subprocess.run([sys.executable, "-m", "quarrow_dax", "format", "."], cwd=root, check=True, capture_output=True)


def test_the_github_workflow_works_in_a_power_bi_repository(tmp_path):
    # The check workflow; the diff section's pull-request job is tested with diff.
    (workflow,) = [block for block in yaml_blocks() if isinstance(block, dict) and "dax" in block.get("jobs", {})]
    (job,) = workflow["jobs"].values()
    steps = job["steps"]
    # The repository is checked out before anything reads it, and the tool comes from the package index by the
    # name the package is published under, not from the user's repository.
    assert steps[0]["uses"].startswith("actions/checkout@")
    assert steps[1]["uses"].startswith("actions/setup-python@")
    assert steps[2]["run"].split() == ["pip", "install", project_name()]
    commands = [step["run"] for step in steps[3:]]
    assert all(command.startswith("quarrow-dax ") for command in commands)
    assert all(step.get("if") == "${{ !cancelled() }}" for step in steps[4:])
    power_bi_repository(tmp_path)
    assert [status for status, _, _ in run_steps(commands, tmp_path)] == [0, 0, 0]
    # A misspelt measure fails the check and the lint steps with an annotation on its line.
    sales = tmp_path / "Sales.SemanticModel" / "definition" / "tables" / "Sales.tmdl"
    sales.write_text(sales.read_text().replace("VAR Revenue = [Net Revenue]", "VAR Revenue = [Net Revenu]", 1))
    results = run_steps(commands, tmp_path)
    assert [status for status, _, _ in results] == [1, 1, 0]
    for _, out, _ in results[:2]:
        assert out.startswith("::error file=Sales.SemanticModel/definition/tables/Sales.tmdl,line=")


def test_pre_commit_hooks(tmp_path):
    hooks = {hook["id"]: hook for hook in yaml.safe_load((ROOT / ".pre-commit-hooks.yaml").read_text())}
    assert list(hooks) == ["quarrow-dax-check", "quarrow-dax-format", "quarrow-dax-lint"]
    assert {name: hook["entry"].split()[:2] for name, hook in hooks.items()} == {
        "quarrow-dax-check": ["quarrow-dax", "check"], "quarrow-dax-format": ["quarrow-dax", "format"],
        "quarrow-dax-lint": ["quarrow-dax", "lint"]}
    assert 'quarrow-dax = "quarrow_dax.cli:main"' in (ROOT / "pyproject.toml").read_text()
    for hook in hooks.values():
        assert hook["language"] == "python"
        pattern = re.compile(hook["files"])
        assert [bool(pattern.search(name)) for name in ("a.dax", "m/T.tmdl", "model.BIM", "notes.txt", "x.dax.bak")] == [
            True, True, True, False, False]
    # The README's pre-commit configuration names these hooks.
    (config,) = [block for block in yaml_blocks() if isinstance(block, dict) and "repos" in block]
    assert sorted(hook["id"] for hook in config["repos"][0]["hooks"]) == sorted(hooks)
    # A staged .tmdl file that misspells a measure of its model: pre-commit passes it alone, and the check and
    # lint hooks find the misspelling by reading the rest of the model from disk.
    power_bi_repository(tmp_path)
    sales = "Sales.SemanticModel/definition/tables/Sales.tmdl"
    path = tmp_path / sales
    path.write_text(path.read_text().replace("VAR Revenue = [Net Revenue]", "VAR Revenue = [Net Revenu]", 1))
    results = run_steps([f"{hooks[name]['entry']} {sales}" for name in hooks], tmp_path)
    assert [status for status, _, _ in results] == [1, 0, 1]
    assert "reference error: no measure or column of that name: [Net Revenu]" in results[0][1]
    assert "[DAX001]" in results[2][1] and "did you mean [Net Revenue]?" in results[2][1]
