"""Which paths git ignores, as quarrow_dax.gitignore answers, against git's
own answer (`git check-ignore`) over real folders: the documented pattern
rules, nested .gitignore files with negations, .git/info/exclude, and
randomly made patterns."""

import os
import random
import shutil
import subprocess

import pytest

from quarrow_dax.gitignore import GitIgnore, compile_pattern

GIT = shutil.which("git")
pytestmark = pytest.mark.skipif(GIT is None, reason="git is not installed")


def git_ignored(repo, paths):
    """The paths (relative, with /) that git says it ignores, one call for all."""
    environment = {**os.environ, "HOME": str(repo), "XDG_CONFIG_HOME": str(repo), "GIT_CONFIG_NOSYSTEM": "1"}
    run = subprocess.run([GIT, "check-ignore", "--no-index", "--stdin"], cwd=repo, input="\n".join(paths).encode(),
                         capture_output=True, env=environment, timeout=60)
    assert run.returncode in (0, 1), run.stderr
    return set(run.stdout.decode().splitlines())


def make_repo(root, ignores, files):
    subprocess.run([GIT, "init", "-q", str(root)], check=True, timeout=60,
                   env={**os.environ, "HOME": str(root), "GIT_CONFIG_NOSYSTEM": "1"})
    for name, text in ignores.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    for name in files:
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("1")


def ours(root, files):
    ignore = GitIgnore()
    return {name for name in files if ignore.ignored_or_inside(root / name, is_dir=False)}


# Patterns from the rules git documents, each with files it should and should not match; git decides.
DOCUMENTED = {
    ".gitignore": "\n".join([
        "# a comment, and a blank line below",
        "",
        "*.log",
        "!keep.log",
        "build/",
        "/rooted.dax",
        "doc/*.txt",
        "**/generated",
        "a/**/b.dax",
        "abc/**",
        "\\#hash.dax",
        "\\!bang.dax",
        "space\\ ",
        "trailing.dax   ",
        "[xy]z.dax",
        "[!q]r.dax",
        "?.tmp",
        "foo**bar.dax",
        "only/dir/",
        "dax/[[:digit:]]*.dax",
    ]) + "\n",
    "sub/.gitignore": "!important.log\n/local.dax\nnested/*.dax\n",
    ".git/info/exclude": "private.dax\n",
}
FILES = [
    "x.log", "keep.log", "sub/important.log", "sub/other.log", "build/a.dax", "src/build/b.dax", "build.dax",
    "rooted.dax", "sub/rooted.dax", "doc/a.txt", "doc/deeper/a.txt", "generated/a.dax", "x/y/generated/b.dax",
    "a/b.dax", "a/x/y/b.dax", "abc/def.dax", "abc.dax", "#hash.dax", "!bang.dax", "space ", "trailing.dax",
    "xz.dax", "yz.dax", "zz.dax", "rr.dax", "qr.dax", "a.tmp", "ab.tmp", "foobar.dax", "fooXbar.dax", "foo/bar.dax",
    "only/dir/a.dax", "only/dir", "sub/local.dax", "local.dax", "sub/nested/n.dax", "nested/n.dax",
    "dax/1a.dax", "dax/a1.dax", "private.dax", "sub/private.dax", "keep.dax",
]


def test_the_documented_rules_as_git_reads_them(tmp_path):
    files = [name for name in FILES if name != "only/dir"]
    make_repo(tmp_path, DOCUMENTED, files)
    expected = git_ignored(tmp_path, files)
    assert len(expected) > 20 and len(set(files) - expected) > 10  # both answers are well represented
    assert ours(tmp_path, files) == expected


def test_folders_are_judged_as_folders(tmp_path):
    make_repo(tmp_path, {".gitignore": "only/\n*.d/\n!keep.d/\n"}, ["only/a.dax", "x.d/a.dax", "keep.d/a.dax"])
    (tmp_path / "only.dax").write_text("1")
    ignore = GitIgnore()
    assert [ignore.ignored(tmp_path / name, is_dir) for name, is_dir in [
        ("only", True), ("only.dax", False), ("x.d", True), ("keep.d", True)]] == [True, False, True, False]
    # a file named like a folder-only pattern is no match
    assert ignore.ignored(tmp_path / "only", is_dir=False) is False


def test_no_repository_no_rules(tmp_path):
    (tmp_path / ".gitignore").write_text("*.dax\n")
    (tmp_path / "a.dax").write_text("1")
    assert GitIgnore().ignored(tmp_path / "a.dax", False) is False


def test_a_nested_repository_has_rules_of_its_own(tmp_path):
    make_repo(tmp_path, {".gitignore": "*.dax\n"}, ["a.dax"])
    make_repo(tmp_path / "inner", {".gitignore": "*.tmdl\n"}, ["b.dax", "c.tmdl"])
    ignore = GitIgnore()
    assert [ignore.ignored(tmp_path / name, False) for name in ("a.dax", "inner/b.dax", "inner/c.tmdl")] == [
        True, False, True]


def test_a_worktree_reads_the_exclude_file_of_its_common_folder(tmp_path):
    main = tmp_path / "main"
    make_repo(main, {".git/info/exclude": "*.secret\n"}, [])
    worktree = tmp_path / "wt"
    (main / ".git" / "worktrees" / "wt").mkdir(parents=True)
    (main / ".git" / "worktrees" / "wt" / "commondir").write_text("../..\n")
    worktree.mkdir()
    (worktree / ".git").write_text(f"gitdir: {main / '.git' / 'worktrees' / 'wt'}\n")
    assert GitIgnore().ignored(worktree / "a.secret", False) is True


# Pieces of a name in a pattern; `**` stands only between slashes or at an end, where git's documentation gives
# it a meaning (elsewhere git's matcher reads it in ways the documentation does not state).
PIECES = ["a", "b", "*", "?", "[ab]", "[!a]", "\\*", ".", "!"]


def random_pattern(rng):
    segments = []
    for _ in range(rng.randint(1, 3)):
        if rng.random() < 0.2:
            segments.append("**")
            continue
        pieces = []
        for _ in range(rng.randint(1, 3)):
            piece = rng.choice(PIECES)
            if not (piece == "*" and pieces and pieces[-1] == "*"):
                pieces.append(piece)
        segments.append("".join(pieces))
    pattern = "/".join(segments)
    if rng.random() < 0.3:
        pattern = "/" + pattern
    if rng.random() < 0.3:
        pattern += "/"
    if rng.random() < 0.2:
        pattern = "!" + pattern
    return pattern


def random_path(rng):
    return "/".join("".join(rng.choice("ab.*") for _ in range(rng.randint(1, 3))) for _ in range(rng.randint(1, 3)))


@pytest.mark.parametrize("seed", range(40))
def test_random_patterns_agree_with_git(seed, tmp_path):
    rng = random.Random(seed)
    patterns = [random_pattern(rng) for _ in range(rng.randint(1, 6))]
    nested = [random_pattern(rng) for _ in range(rng.randint(0, 3))]
    files = sorted({random_path(rng) for _ in range(40)})
    # A name cannot be a file and a folder at once.
    files = [name for name in files if not any(other.startswith(name + "/") for other in files)]
    files = [name for name in files if not name.endswith(".") and "/." not in "/" + name and name != "a"]
    make_repo(tmp_path, {".gitignore": "\n".join(patterns) + "\n", "a/.gitignore": "\n".join(nested) + "\n"}, files)
    assert ours(tmp_path, files) == git_ignored(tmp_path, files), (patterns, nested)


@pytest.mark.parametrize("line", ["", "# comment", "   ", "/", "!"])
def test_lines_that_are_no_pattern(line):
    assert compile_pattern(line) is None
