#!/usr/bin/env python3
"""Reading reports against checking models: `quarrow-dax usage REPORTS` over
every report of a folder (with the models they read, each field's kind
decided by them), next to `quarrow-dax check MODEL...` for those models;
from the command line (one process each, as a user runs them) and in one
process (the library calls behind them).

Usage: python bench/bench_usage.py [--reports DIR] [--rounds N]

Each figure is the best of N rounds (default 7), the commands taking turns,
as wall time and as CPU time (of the child process, or of this one): on a
machine that others share, CPU time is the steadier of the two. The goal:
usage over all the reports takes less time than check of their models.
"""

from __future__ import annotations

import argparse
import pathlib
import resource
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

    def child_cpu() -> float:
        used = resource.getrusage(resource.RUSAGE_CHILDREN)
        return used.ru_utime + used.ru_stime

    def command_line(*arguments: str) -> tuple[float, float]:
        start, cpu = time.perf_counter(), child_cpu()
        subprocess.run([sys.executable, "-m", "quarrow_dax", *arguments], capture_output=True, check=False,
                       cwd=args.reports)
        return time.perf_counter() - start, child_cpu() - cpu

    relative = [str(pathlib.Path(model).relative_to(args.reports)) for model in models]

    def usage_library() -> tuple[float, float]:
        start, cpu = time.perf_counter(), time.process_time()
        load_projects(args.reports, cultures=False)  # as the usage command reads them
        return time.perf_counter() - start, time.process_time() - cpu

    def check_library() -> tuple[float, float]:
        start, cpu = time.perf_counter(), time.process_time()
        for model in models:
            list(check_model(model, CheckOptions()))
        return time.perf_counter() - start, time.process_time() - cpu

    runs = {
        "usage REPORTS (command line)": lambda: command_line("usage", "."),
        "check MODEL... (command line)": lambda: command_line("check", *relative),
        "load_projects: reports and models (library)": usage_library,
        "check_model of each model (library)": check_library,
    }
    best = {name: [float("inf"), float("inf")] for name in runs}
    for _ in range(args.rounds):
        for name, run in runs.items():
            wall, cpu = run()
            best[name] = [min(best[name][0], wall), min(best[name][1], cpu)]
    table(["what, over all reports", "wall, best", "CPU, best"],
          [[name, f"{wall * 1e3:.0f} ms", f"{cpu * 1e3:.0f} ms"] for name, (wall, cpu) in best.items()], "<>>")
    for column, label in ((0, "wall"), (1, "CPU")):
        cli = best["usage REPORTS (command line)"][column] / best["check MODEL... (command line)"][column]
        library = (best["load_projects: reports and models (library)"][column]
                   / best["check_model of each model (library)"][column])
        print(f"{'' if column else chr(10)}goal ({label} time): usage in less time than check of the models: command "
              f"line {cli:.2f}x {'ok' if cli < 1 else 'SHORT'}, library {library:.2f}x {'ok' if library < 1 else 'SHORT'}")
    print(f"load average at end: {load_average()}")


if __name__ == "__main__":
    main()
