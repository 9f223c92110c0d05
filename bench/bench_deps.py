#!/usr/bin/env python3
"""The dependency graph against checking: `quarrow-dax deps MODEL --unused`
for every model under a folder, next to `quarrow-dax check MODEL` for the
same models, from the command line (one process per model each, as a user
runs them) and in one process (the library calls behind them).

Usage: python bench/bench_deps.py [--models DIR] [--rounds N]

Each figure is the best of N rounds (default 5), the two commands taking
turns. The goal: deps --unused takes less than twice the time of check.
`check` looks up every name, as it does by default; `check --no-resolve`
(parsing only) is shown beside it.
"""

from __future__ import annotations

import argparse
import pathlib
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from run_all import ROOT, load_average, table  # noqa: E402

GOAL = 2.0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", type=pathlib.Path, default=ROOT.parent / "shared" / "models")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    from quarrow_dax.check import CheckOptions, check_model
    from quarrow_dax.graph import DependencyGraph
    from quarrow_dax.model import find_models, load_model

    models = [str(path) for path in find_models(args.models)]
    print(f"load average: {load_average()}")
    print(f"{len(models)} models under {args.models}\n")

    commands = {
        "deps MODEL --unused": lambda model: ["deps", model, "--unused"],
        "check MODEL": lambda model: ["check", model],
        "check --no-resolve MODEL": lambda model: ["check", "--no-resolve", model],
    }

    def command_line(name: str) -> float:
        start = time.perf_counter()
        for model in models:
            subprocess.run([sys.executable, "-m", "quarrow_dax", *commands[name](model)], capture_output=True,
                           check=False)
        return time.perf_counter() - start

    def deps_library() -> float:
        start = time.perf_counter()
        for model in models:
            DependencyGraph.build(load_model(model)).unused()
        return time.perf_counter() - start

    def check_library(resolve: bool) -> float:
        start = time.perf_counter()
        for model in models:
            list(check_model(model, CheckOptions(resolve=resolve)))
        return time.perf_counter() - start

    runs = {
        **{f"{name} (one process per model)": (lambda name=name: command_line(name)) for name in commands},
        "DependencyGraph.build + unused (library)": deps_library,
        "check_model (library)": lambda: check_library(True),
        "check_model, resolve=False (library)": lambda: check_library(False),
    }
    best = {name: float("inf") for name in runs}
    for _ in range(args.rounds):
        for name, run in runs.items():
            best[name] = min(best[name], run())
    table(["what, over all models", "best of rounds"], [[name, f"{seconds * 1e3:.0f} ms"]
                                                         for name, seconds in best.items()], "<>")
    cli = best["deps MODEL --unused (one process per model)"] / best["check MODEL (one process per model)"]
    library = best["DependencyGraph.build + unused (library)"] / best["check_model (library)"]
    bare = best["deps MODEL --unused (one process per model)"] / best["check --no-resolve MODEL (one process per model)"]
    print(f"\ngoal: deps --unused within {GOAL}x of check: command line {cli:.2f}x "
          f"{'ok' if cli < GOAL else 'SHORT'}, library {library:.2f}x {'ok' if library < GOAL else 'SHORT'}; "
          f"against check --no-resolve {bare:.2f}x")
    print(f"load average at end: {load_average()}")


if __name__ == "__main__":
    main()
