#!/usr/bin/env python3
"""Reading reports against checking models: `quarrow-dax usage REPORTS` over
every report of a folder (with the models they read, each field's kind
decided by them), next to `quarrow-dax check MODEL...` for those models;
from the command line (one process each, as a user runs them) and in one
process (the library calls behind them).

Usage: python bench/bench_usage.py [--reports DIR] [--rounds N]

Each figure is the best of N rounds (default 7), the commands taking turns.
The goal: usage over all the reports takes less time than check of their
models.
"""

from __future__ import annotations

import argparse
import pathlib
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from run_all import ROOT, load_average, table  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reports", type=pathlib.Path, default=ROOT.parent / "shared" / "reports")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    from quarrow_dax.check import CheckOptions, check_model
    from quarrow_dax.project import load_projects

    projects = load_projects(args.reports)
    models = sorted({project.model_path for project in projects if project.model_path is not None})
    reports = [report for project in projects for report in project.reports]
    size = sum(path.stat().st_size for path in args.reports.glob("*/*.Report/**/*.json")
               if "StaticResources" not in path.parts)
    print(f"load average: {load_average()}")
    print(f"{len(reports)} reports ({size / 1e6:.2f} MB of JSON, {sum(len(r.uses) for r in reports)} field "
          f"references) and {len(models)} models under {args.reports}\n")

    def command_line(*arguments: str) -> float:
        start = time.perf_counter()
        subprocess.run([sys.executable, "-m", "quarrow_dax", *arguments], capture_output=True, check=False,
                       cwd=args.reports)
        return time.perf_counter() - start

    relative = [str(pathlib.Path(model).relative_to(args.reports)) for model in models]

    def usage_library() -> float:
        start = time.perf_counter()
        load_projects(args.reports)
        return time.perf_counter() - start

    def check_library() -> float:
        start = time.perf_counter()
        for model in models:
            list(check_model(model, CheckOptions()))
        return time.perf_counter() - start

    runs = {
        "usage REPORTS (command line)": lambda: command_line("usage", "."),
        "check MODEL... (command line)": lambda: command_line("check", *relative),
        "load_projects: reports and models (library)": usage_library,
        "check_model of each model (library)": check_library,
    }
    best = {name: float("inf") for name in runs}
    for _ in range(args.rounds):
        for name, run in runs.items():
            best[name] = min(best[name], run())
    table(["what, over all reports", "best of rounds"],
          [[name, f"{seconds * 1e3:.0f} ms"] for name, seconds in best.items()], "<>")
    cli = best["usage REPORTS (command line)"] / best["check MODEL... (command line)"]
    library = best["load_projects: reports and models (library)"] / best["check_model of each model (library)"]
    print(f"\ngoal: usage in less time than check of the models: command line {cli:.2f}x "
          f"{'ok' if cli < 1 else 'SHORT'}, library {library:.2f}x {'ok' if library < 1 else 'SHORT'}")
    print(f"load average at end: {load_average()}")


if __name__ == "__main__":
    main()
