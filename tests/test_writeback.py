"""Writing changed files back (`quarrow_dax.writeback`): each way a file can
be set up (links, owner, mode, permissions) kept or refused as documented,
a change saved by another program meanwhile never overwritten (also in the
moment between the last check and the swap), and several files written
together or not at all."""

import os
import shutil
import stat
import subprocess
import sys

import pytest

from quarrow_dax import writeback
from quarrow_dax.writeback import Change, Original, write_back

NEW = b"SUM ( T[x] )\n"
OLD = b"sum(T[x])\n"


def changed(path, data=NEW):
    return Change(Original.read(path), data)


def refusal(problems):
    return [(problem.reason, problem.message) for problem in problems]


# --- what a written file keeps ----------------------------------------------------------------


def setup_symlink(root):
    (root / "real").mkdir()
    (root / "real" / "a.dax").write_bytes(OLD)
    (root / "a.dax").symlink_to("real/a.dax")
    (root / "b.dax").symlink_to("a.dax")  # a chain of two links
    return root / "b.dax"


def setup_hard_link(root):
    (root / "a.dax").write_bytes(OLD)
    os.link(root / "a.dax", root / "other.dax")
    return root / "a.dax"


def setup_owned(root):
    path = root / "a.dax"
    path.write_bytes(OLD)
    if os.geteuid() == 0:
        os.chown(path, 4321, 4322)
    path.chmod(0o640)
    return path


@pytest.mark.parametrize("setup", [setup_symlink, setup_hard_link, setup_owned])
def test_a_written_file_keeps_its_links_owner_and_mode(setup, tmp_path):
    path = setup(tmp_path)
    before = {entry.name: (entry.is_symlink(), os.readlink(entry) if entry.is_symlink() else None)
              for entry in tmp_path.iterdir()}
    target = os.path.realpath(path)
    status = os.stat(target)
    assert write_back([changed(path)]) == []
    after = os.stat(target)
    assert open(target, "rb").read() == NEW
    assert (after.st_ino, after.st_nlink, after.st_uid, after.st_gid, stat.S_IMODE(after.st_mode)) == (
        after.st_ino if status.st_nlink == 1 else status.st_ino, status.st_nlink, status.st_uid, status.st_gid,
        stat.S_IMODE(status.st_mode))
    # Links stay links to the same place; every name of a hard-linked file shows the new text.
    assert {entry.name: (entry.is_symlink(), os.readlink(entry) if entry.is_symlink() else None)
            for entry in tmp_path.iterdir()} == before
    for entry in tmp_path.rglob("*.dax"):
        assert entry.read_bytes() == NEW
    assert not list(tmp_path.rglob("*.tmp")), "a temporary file was left behind"


def test_an_extended_attribute_is_copied(tmp_path):
    path = tmp_path / "a.dax"
    path.write_bytes(OLD)
    try:
        os.setxattr(path, "user.origin", b"model export")
    except OSError:
        pytest.skip("the file system takes no user attributes")
    assert write_back([changed(path)]) == []
    assert path.read_bytes() == NEW and os.getxattr(path, "user.origin") == b"model export"


# --- what is refused ----------------------------------------------------------------------------


def edited_meanwhile(path):
    original = Original.read(path)
    with open(path, "ab") as stream:
        stream.write(b"-- saved meanwhile\n")
    return original


def deleted_meanwhile(path):
    original = Original.read(path)
    path.unlink()
    return original


def replaced_meanwhile(path):
    original = Original.read(path)
    path.unlink()
    os.mkfifo(path)
    return original


def made_read_only(path):
    original = Original.read(path)
    path.chmod(0o444)
    return original


@pytest.mark.parametrize("meanwhile, reason, message", [
    (edited_meanwhile, "changed", "changed since it was read"),
    (deleted_meanwhile, "changed", "deleted since it was read"),
    (replaced_meanwhile, "changed", "no longer a regular file"),
    (made_read_only, "read-only", "read-only"),  # even for root: its owner said no
])
def test_a_file_that_is_not_as_read_is_left_as_it_is(meanwhile, reason, message, tmp_path):
    path = tmp_path / "a.dax"
    path.write_bytes(OLD)
    original = meanwhile(path)
    before = path.read_bytes() if path.is_file() else None
    (problem,) = write_back([Change(original, NEW)])
    assert problem.reason == reason and message in problem.message and str(problem).startswith(f"cannot write {path}")
    assert (path.read_bytes() if path.is_file() else None) == before
    assert not list(tmp_path.glob(".*.tmp"))


def test_a_file_that_holds_the_new_bytes_already_is_no_problem(tmp_path):
    # Two runs on one file: the second finds the result of the first.
    path = tmp_path / "a.dax"
    path.write_bytes(OLD)
    original = Original.read(path)
    path.write_bytes(NEW)
    path.chmod(0o444)
    assert write_back([Change(original, NEW)]) == []


def without_permission_bypass():
    if os.geteuid() != 0:
        return ()
    if shutil.which("setpriv") is None:
        pytest.skip("running as root and setpriv is not installed: permissions cannot be tested")
    return ("setpriv", "--inh-caps=-dac_override,-dac_read_search", "--bounding-set=-dac_override,-dac_read_search")


WRITE_ONE = (
    "import sys\nfrom quarrow_dax.writeback import Change, Original, write_back\n"
    "print('|'.join(f'{p.reason}: {p.message}' for p in write_back([Change(Original.read(sys.argv[1]), b'new')])))\n"
)


@pytest.mark.parametrize("file_mode, folder_mode, expected", [
    (0o644, 0o555, "unwritable: its folder"),     # a new file cannot be made beside it
    (0o444, 0o755, "read-only: the file is read-only"),
    (0o644, 0o755, ""),                           # as a control: written
])
def test_permissions_as_a_user_without_privileges(file_mode, folder_mode, expected, tmp_path):
    folder = tmp_path / "sub"
    folder.mkdir()
    path = folder / "a.dax"
    path.write_bytes(OLD)
    path.chmod(file_mode)
    folder.chmod(folder_mode)
    try:
        run = subprocess.run([*without_permission_bypass(), sys.executable, "-c", WRITE_ONE, str(path)],
                             capture_output=True, timeout=60)
    finally:
        folder.chmod(0o755)
    assert run.returncode == 0, run.stderr.decode()
    assert run.stdout.decode().startswith(expected)
    assert path.read_bytes() == (b"new" if not expected else OLD)


# --- the moment between the last check and the swap ----------------------------------------------


@pytest.fixture(params=["exchange", "rename"])
def swapping(request, monkeypatch):
    """Runs a test with the one-step swap, and again as on a system without it."""
    if request.param == "rename":
        monkeypatch.setattr(writeback, "_renameat2", lambda: None)
    elif writeback._renameat2() is None:
        pytest.skip("no renameat2 here")
    return request.param


def test_an_edit_saved_just_before_the_swap_is_kept(swapping, tmp_path, monkeypatch):
    path = tmp_path / "a.dax"
    path.write_bytes(OLD)
    original = Original.read(path)
    holds = writeback._holds
    calls = []

    def holds_then_edited(where, data):
        # The last check passes; right after it another program saves the file.
        result = holds(where, data)
        calls.append(where)
        if len(calls) == 2:
            with open(path, "ab") as stream:
                stream.write(b"-- saved in the moment\n")
        return result

    monkeypatch.setattr(writeback, "_holds", holds_then_edited)
    problems = write_back([Change(original, NEW)])
    if swapping == "exchange":
        # Found under the temporary name after the swap, and swapped back.
        assert refusal(problems) == [("changed", writeback._CHANGED)]
        assert path.read_bytes() == OLD + b"-- saved in the moment\n"
    else:
        # Without a swap in one step this moment is the window left (documented).
        assert problems == [] and path.read_bytes() == NEW
    assert not list(tmp_path.glob(".*.tmp"))


# --- several files together -----------------------------------------------------------------------


def test_files_written_together_are_all_checked_first(tmp_path):
    paths = [tmp_path / f"{name}.dax" for name in "abc"]
    for path in paths:
        path.write_bytes(OLD)
    changes = [changed(path) for path in paths]
    paths[2].chmod(0o444)
    problems = write_back(changes, together=True)
    assert [(problem.path, problem.reason) for problem in problems] == [
        (str(paths[0]), "not written"), (str(paths[1]), "not written"), (str(paths[2]), "read-only")]
    assert [path.read_bytes() for path in paths] == [OLD] * 3
    paths[2].chmod(0o644)
    assert write_back([changed(path) for path in paths], together=True) == []
    assert [path.read_bytes() for path in paths] == [NEW] * 3


def test_files_written_together_are_put_back_when_one_changes_while_they_are_written(
    swapping, tmp_path, monkeypatch
):
    paths = [tmp_path / f"{name}.dax" for name in "abc"]
    for path in paths:
        path.write_bytes(OLD)
    changes = [changed(path) for path in paths]
    commit = writeback._Plan.commit

    def commit_then_edit(plan):
        if plan.target == os.path.realpath(paths[1]):
            paths[2].write_bytes(b"saved meanwhile\n")  # while the first two are written
        commit(plan)

    monkeypatch.setattr(writeback._Plan, "commit", commit_then_edit)
    problems = write_back(changes, together=True)
    assert [(problem.path, problem.reason) for problem in problems] == [
        (str(paths[0]), "not written"), (str(paths[1]), "not written"), (str(paths[2]), "changed")]
    assert [path.read_bytes() for path in paths] == [OLD, OLD, b"saved meanwhile\n"]
    assert sorted(entry.name for entry in tmp_path.iterdir()) == ["a.dax", "b.dax", "c.dax"]


def test_independent_files_are_written_one_by_one(tmp_path):
    paths = [tmp_path / f"{name}.dax" for name in "ab"]
    for path in paths:
        path.write_bytes(OLD)
    changes = [changed(path) for path in paths]
    paths[0].write_bytes(b"saved meanwhile\n")
    assert [problem.reason for problem in write_back(changes)] == ["changed"]
    assert [path.read_bytes() for path in paths] == [b"saved meanwhile\n", NEW]


# --- writing in place --------------------------------------------------------------------------------


def test_a_failed_write_in_place_puts_the_old_bytes_back(tmp_path, monkeypatch):
    path = setup_hard_link(tmp_path)
    change = changed(path, b"a much longer text " * 100)
    real_write_all = writeback._write_all
    attempts = []

    def fails_once_half_way(fd, data):
        attempts.append(data)
        if len(attempts) == 1:
            os.pwrite(fd, data[:50], 0)
            raise OSError(28, "No space left on device")
        real_write_all(fd, data)

    monkeypatch.setattr(writeback, "_write_all", fails_once_half_way)
    (problem,) = write_back([change])
    assert problem.reason == "failed" and "No space left on device" in problem.message
    assert path.read_bytes() == OLD and (tmp_path / "other.dax").read_bytes() == OLD
    assert not list(tmp_path.glob(".*.tmp"))
