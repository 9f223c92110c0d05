#!/usr/bin/env python3
"""`quarrow-dax scan` on generated scanner results: the time of --jobs 1
against --jobs 2 on 1,000 datasets, and the peak memory on a 1 GB result.

Usage: python bench/bench_scan.py [--models DIR] [--datasets N] [--rounds R]
                                  [--size-gb G] [--no-memory] [--no-speed] [--tmp DIR]

The results are made from the shared models (../shared/models), one dataset
per model in turn, in workspaces of 100 datasets, and written to --tmp
(default /tmp). Each time is the median of R runs (default 3) of the whole
command, output to /dev/null, the two job counts taking turns. The rate is
formulas per second on one process. For the memory, each dataset also
carries a Power Query expression (as real results do) long enough for the
file to reach G GB (default 1); the command runs with --jobs 1 in a child
of a small manager process, whose RUSAGE_CHILDREN is then the command's
own peak resident memory (Linux would otherwise carry the benchmark's own
peak into the child).

Goals: --jobs 2 at least 1.4x faster than --jobs 1; peak memory on the
1 GB result under 1 GB.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import resource
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(ROOT / "tests"))
from run_all import load_average, table  # noqa: E402

SPEED_GOAL = 1.4
MEMORY_GOAL = 1 << 30
WORKSPACE_SIZE = 100


def write_result(path: pathlib.Path, models: pathlib.Path, count: int, padding: int = 0) -> int:
    """Writes a scan result of `count` datasets, one model each in turn,
    each with `padding` bytes of M expression; returns the formulas in it."""
    from scanner_results import SCANNED_KINDS, dataset_of, shared_models

    from quarrow_dax.model import load_model

    loaded = [(name, load_model(model_path)) for name, model_path in shared_models(models)]
    formulas = 0
    filler = "let\n    Source = " + "Table.FromRows({{1}}) & " * max(0, padding // 24) + "null\nin\n    Source"
    with path.open("w", encoding="utf-8") as stream:
        stream.write('{"workspaces": [\n')
        for index in range(count):
            name, model = loaded[index % len(loaded)]
            if index % WORKSPACE_SIZE == 0:
                if index:
                    stream.write("\n]},\n")
                workspace = index // WORKSPACE_SIZE
                stream.write(json.dumps({"id": f"w{workspace}", "name": f"Workspace {workspace}"})[:-1]
                             + ', "datasets": [\n')
            else:
                stream.write(",\n")
            dataset = dataset_of(model, f"{name} #{index}", f"d{index}")
            if padding:
                dataset["expressions"].append({"name": "Query", "expression": filler})
            stream.write(json.dumps(dataset, ensure_ascii=False))
            formulas += sum(formula.kind in SCANNED_KINDS for formula in model.formulas)
        stream.write("\n]}\n]}\n")
    return formulas


def run_scan(path: pathlib.Path, jobs: int) -> tuple[float, float]:
    """The wall time of one scan, and the processor time of its processes."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "quarrow_dax", "scan", str(path), "--format", "json", "--jobs", str(jobs)],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


# The manager: starts the command and prints the largest resident set of
# its children (the command and its workers), in kilobytes.
MANAGER = """
import resource, subprocess, sys
status = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, status.returncode, status.stderr.decode()[-300:])
"""


def peak_memory(path: pathlib.Path) -> tuple[int, float, str]:
    start = time.perf_counter()
    run = subprocess.run([sys.executable, "-c", MANAGER, sys.executable, "-m", "quarrow_dax", "scan", str(path),
                          "--format", "json", "--jobs", "1"], capture_output=True, text=True, check=True)
    kilobytes, _status, summary = run.stdout.split(" ", 2)
    return int(kilobytes) * 1024, time.perf_counter() - start, summary.strip()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", type=pathlib.Path, default=ROOT.parent / "shared" / "models")
    parser.add_argument("--datasets", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--size-gb", type=float, default=1.0)
    parser.add_argument("--no-memory", action="store_true")
    parser.add_argument("--no-speed", action="store_true")
    parser.add_argument("--tmp", type=pathlib.Path, default=pathlib.Path("/tmp"))
    args = parser.parse_args()

    print(f"load average: {load_average()}; processors: {os.cpu_count()}")
    path = args.tmp / "quarrow-bench-scan.json"
    formulas = write_result(path, args.models, args.datasets)
    print(f"{args.datasets:,} datasets, {formulas:,} formulas, {path.stat().st_size / 1e6:.1f} MB\n")
    base_size = path.stat().st_size
    if not args.no_speed:
        times: dict[int, list[float]] = {1: [], 2: []}
        processor: dict[int, list[float]] = {1: [], 2: []}
        for _ in range(args.rounds):
            for jobs in (1, 2):
                wall, used = run_scan(path, jobs)
                times[jobs].append(wall)
                processor[jobs].append(used)
        medians = {jobs: statistics.median(runs) for jobs, runs in times.items()}
        rows = [[f"scan --jobs {jobs}", f"{medians[jobs]:.1f} s", ", ".join(f"{t:.1f}" for t in times[jobs]),
                 f"{statistics.median(processor[jobs]):.1f} s", f"{formulas / medians[jobs]:,.0f}",
                 f"{medians[1] / medians[jobs]:.2f}x"] for jobs in (1, 2)]
        table(["command", "median", "runs (s)", "processor time", "formulas/s", "vs --jobs 1"], rows, "<>>>>>")
        speedup = medians[1] / medians[2]
        used = statistics.median(processor[1])
        print(f"\nrate per processor (--jobs 1): {formulas / medians[1]:,.0f} formulas/s of wall time, "
              f"{formulas / used:,.0f} formulas/s of processor time")
        print(f"goal: --jobs 2 at least {SPEED_GOAL}x faster than --jobs 1: {speedup:.2f}x "
              f"{'ok' if speedup >= SPEED_GOAL else 'SHORT'}")
    path.unlink()

    if not args.no_memory:
        big = args.tmp / "quarrow-bench-scan-1gb.json"
        target = int(args.size_gb * 1e9)
        # The same datasets, each padded for the whole to reach the size.
        padding = max(0, (target - base_size) // args.datasets)
        formulas = write_result(big, args.models, args.datasets, padding)
        size = big.stat().st_size
        print(f"\n{args.datasets:,} datasets with {padding / 1e6:.2f} MB of M each, {formulas:,} formulas, "
              f"{size / 1e9:.2f} GB")
        peak, seconds, summary = peak_memory(big)
        big.unlink()
        print(f"scan --jobs 1: {seconds:.0f} s, peak resident memory {peak / 2**20:,.0f} MiB ({summary})")
        print(f"goal: peak memory under 1 GB: {peak / 2**20:,.0f} MiB {'ok' if peak < MEMORY_GOAL else 'OVER'}")
    print(f"load average at end: {load_average()}")


if __name__ == "__main__":
    main()
