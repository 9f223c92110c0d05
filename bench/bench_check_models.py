"""`check` over every model of ../shared/models, against the same command of
an earlier revision: the goal is that the argument checks keep `check` at
most 1.2 times as long as before them.

    python bench/bench_check_models.py                       # this checkout alone
    python bench/bench_check_models.py --baseline 4c1bf0b    # and against a revision
    python bench/bench_check_models.py --repeats 15 --models DIR

Each variant runs `python -m quarrow_dax check MODELS` in a fresh process
(Python's start and the imports count, as a user waits for them), from a
copy of its Python package beside this checkout's native modules: the
revisions differ in Python only, so the native code is the same for both.
Runs alternate between the variants, so that a change in the machine's load
touches both alike. Two figures each, the best of the runs: the wall time,
and the CPU time of the process (user and system), which a busy machine
disturbs far less. The load average is printed. A report, not a test: it
always exits 0.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import quarrow_dax
import quarrow_dax._native
import quarrow_dax._syntax

GOAL = 1.2
ROOT = pathlib.Path(__file__).resolve().parents[1]
DEFAULT_MODELS = ROOT.parent / "shared" / "models"


def package_copy(revision: str | None, into: pathlib.Path) -> pathlib.Path:
    """A folder holding the package of `revision` (None: this checkout's
    files as they are) and this checkout's native modules."""
    target = into / (revision or "worktree")
    if revision is None:
        shutil.copytree(ROOT / "python" / "quarrow_dax", target / "quarrow_dax",
                        ignore=shutil.ignore_patterns("__pycache__"))
    else:
        target.mkdir(parents=True)
        archive = subprocess.run(["git", "-C", str(ROOT), "archive", revision, "python/quarrow_dax"],
                                 capture_output=True, check=True).stdout
        subprocess.run(["tar", "-x", "-C", str(target), "--strip-components=1"], input=archive, check=True)
    # The extensions, wherever the install put them (an editable install keeps
    # them apart from the Python files).
    for module in (quarrow_dax._native, quarrow_dax._syntax):
        native = pathlib.Path(module.__file__ or "")
        shutil.copy2(native, target / "quarrow_dax" / native.name)
    return target


def run_once(path: pathlib.Path, models: pathlib.Path, python: str | None = None) -> tuple[float, float, int]:
    """(wall, cpu) seconds and the exit status of one `check` run from the
    package at `path`, or with the interpreter `python` of an installation
    of its own (a revision whose native modules differ from this one's).
    A run that ends in a traceback has exit status 1, as a check finding
    errors has: its status is given as -1."""
    if python is None:
        # -S keeps the editable install of this checkout out of the way; the
        # package is found on PYTHONPATH alone.
        env = dict(os.environ, PYTHONPATH=str(path))
        command = [sys.executable, "-S", "-m", "quarrow_dax", "check", str(models)]
    else:
        env = dict(os.environ)
        command = [python, "-m", "quarrow_dax", "check", str(models)]
    with tempfile.TemporaryFile() as errors:
        started = time.perf_counter()
        process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=errors)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - started
        errors.seek(0)
        died = b"Traceback (most recent call last)" in errors.read()
    return wall, usage.ru_utime + usage.ru_stime, -1 if died else os.waitstatus_to_exitcode(status)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", type=pathlib.Path, default=DEFAULT_MODELS)
    parser.add_argument("--baseline", help="a git revision to compare with")
    parser.add_argument("--baseline-python", metavar="PYTHON",
                        help="run the baseline with this interpreter, where the revision is installed with its own "
                        "native modules (needed when this checkout's native modules no longer fit its package)")
    parser.add_argument("--repeats", type=int, default=9)
    args = parser.parse_args(argv)
    print(f"load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    with tempfile.TemporaryDirectory() as folder:
        variants = {"this checkout": package_copy(None, pathlib.Path(folder))}
        pythons: dict[str, str | None] = {"this checkout": None}
        if args.baseline:
            name = f"baseline {args.baseline}"
            pythons[name] = args.baseline_python
            variants[name] = (pathlib.Path(folder) if args.baseline_python
                              else package_copy(args.baseline, pathlib.Path(folder)))
        # A first run compiles the bytecode, and shows that each variant ran
        # to its end (1: errors found, as the shared models hold two).
        statuses = {name: run_once(path, args.models, pythons[name])[2] for name, path in variants.items()}
        if any(status not in (0, 1) for status in statuses.values()):
            print(f"a variant failed to run: exit statuses {statuses}")
            return 0
        best: dict[str, tuple[float, float]] = {name: (float("inf"), float("inf")) for name in variants}
        for _ in range(args.repeats):
            for name, path in variants.items():
                wall, cpu, _ = run_once(path, args.models, pythons[name])
                best[name] = (min(best[name][0], wall), min(best[name][1], cpu))
    print(f"check {args.models} (best of {args.repeats}):")
    for name, (wall, cpu) in best.items():
        print(f"  {name:<24} wall {wall:6.3f} s   cpu {cpu:6.3f} s")
    if args.baseline:
        now, before = best["this checkout"], best[f"baseline {args.baseline}"]
        print(f"  ratio                    wall {now[0] / before[0]:6.2f}     cpu {now[1] / before[1]:6.2f}"
              f"     (goal: at most {GOAL})")
    print(f"load average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
