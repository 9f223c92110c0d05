#!/usr/bin/env python3
"""Comparing two versions of a model: `quarrow-dax diff OLD NEW` over each
shared model and a second version of it (every formula formatted, one
measure's formula changed in meaning), from the command line (one process,
as a user runs it) and in one process: both sides read and compared, and
the comparison alone.

Usage: python bench/bench_diff.py [--models DIR] [--rounds N]

Each figure is the best of N rounds (default 7), in wall-clock time and,
for the command line, in CPU time too (on a loaded machine the wall clock
mostly measures the wait for a core). The goal: reading both versions of
the largest shared model (by bytes) and comparing them in under a second.
"""

from __future__ import annotations

import argparse
import pathlib
import resource
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from run_all import ROOT, load_average, table  # noqa: E402


def model_folders(root: pathlib.Path) -> list[pathlib.Path]:
    return sorted(child for kind in ("bim", "tmdl") for child in (root / kind).iterdir() if child.is_dir())


def size_of(folder: pathlib.Path) -> int:
    return sum(path.stat().st_size for path in folder.rglob("*") if path.suffix in (".bim", ".tmdl"))


def second_version(source: pathlib.Path, target: pathlib.Path) -> pathlib.Path:
    """A writable copy of `source`, formatted, with the first measure's
    formula changed in meaning."""
    from quarrow_dax.model import load_model
    from quarrow_dax.model.writing import rewrite_formulas

    shutil.copytree(source, target, copy_function=shutil.copyfile)
    for path in [target, *target.rglob("*")]:
        path.chmod(0o755 if path.is_dir() else 0o644)
    subprocess.run([sys.executable, "-m", "quarrow_dax", "format", str(target)], capture_output=True, check=True)
    model_path = target / "definition" if (target / "definition").is_dir() else target
    model = load_model(model_path)
    formula = next((formula for formula in model.formulas if formula.kind == "measure"), None)
    if formula is not None:
        file = pathlib.Path(formula.file)
        text = file.read_text(encoding="utf-8-sig")
        file.write_text(rewrite_formulas(text, [(formula, f"( {formula.text} ) * 2")]), encoding="utf-8")
    return model_path


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", type=pathlib.Path, default=ROOT.parent / "shared" / "models")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    from quarrow_dax.diff import compare
    from quarrow_dax.project import load_project

    folders = model_folders(args.models)
    largest = max(folders, key=size_of)
    print(f"load average: {load_average()}")
    rows = []
    goal = float("inf")
    with tempfile.TemporaryDirectory() as temporary:
        for folder in folders:
            old = folder / "definition" if (folder / "definition").is_dir() else folder
            new = second_version(folder, pathlib.Path(temporary) / folder.parent.name / folder.name)
            best_cli = best_cli_cpu = best_read = best_compare = float("inf")
            changes: list = []
            for _ in range(args.rounds):
                before = resource.getrusage(resource.RUSAGE_CHILDREN)
                start = time.perf_counter()
                subprocess.run([sys.executable, "-m", "quarrow_dax", "diff", str(old), str(new)], capture_output=True,
                               check=False)
                best_cli = min(best_cli, time.perf_counter() - start)
                after = resource.getrusage(resource.RUSAGE_CHILDREN)
                best_cli_cpu = min(best_cli_cpu, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
                start = time.perf_counter()
                old_project, new_project = load_project(old), load_project(new)
                read = time.perf_counter()
                changes = compare(old_project, new_project)
                done = time.perf_counter()
                best_read = min(best_read, done - start)
                best_compare = min(best_compare, done - read)
            counted = sum(change.counts for change in changes)
            name = f"{folder.parent.name}/{folder.name}" + (" (largest)" if folder == largest else "")
            rows.append([name, f"{size_of(folder) / 1e3:.0f} KB", f"{counted} + {len(changes) - counted} layout",
                         f"{best_cli * 1e3:.0f} ms", f"{best_cli_cpu * 1e3:.0f} ms", f"{best_read * 1e3:.0f} ms",
                         f"{best_compare * 1e3:.1f} ms"])
            if folder == largest:
                goal = best_read
    table(["model", "size", "changes found", "diff (command line)", "its CPU time", "read both + compare",
           "compare alone"], rows, "<>>>>>>")
    print(f"\ngoal: both versions of the largest model read and compared in under a second: {goal * 1e3:.0f} ms "
          f"{'ok' if goal < 1 else 'SHORT'}")
    print(f"load average at end: {load_average()}")


if __name__ == "__main__":
    main()
