#!/usr/bin/env python3
"""Renames in the largest shared models and their reports: a measure, a
column and a table that formulas and visuals use, each renamed on a copy of
the files: reading the project, finding every place, reading the rewritten
files back (the check every rename passes before it writes) and writing
them; then renamed back, which must give the same bytes.

Usage: python bench/bench_rename.py [--shared DIR] [--rounds N]

Each figure is the best of N rounds (default 5). `plan` is
`refactor.plan_rename` on a loaded project (finding, checking); `rename`
the whole of `quarrow-dax rename PATH OLD NEW` in one process: reading the
project, planning, writing every file; as wall time and as the CPU time of
the process (which a busy machine, whose load average is printed, does not
inflate). The goal: a rename in the largest model and its report in under a
second.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import shutil
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from run_all import ROOT, load_average, table  # noqa: E402

# (label, folder to copy under shared, the project path in the copy, extra
# report folders, [(old, new)]).
CASES = [
    ("as-sales-pbip model.bim (1.0 MB) + Sales.Report (PBIR-Legacy)", "models/bim/as-sales-pbip", "model.bim",
     ["Sales.Report"], [("'Sales'[Margin]", "Gross Margin"), ("'Product'[Category]", "Product Category"),
                        ("'Sales'", "SalesFact")]),
    ("daxlib-svg TMDL (0.9 MB) + SVG.Report (PBIR)", "reports/daxlib-svg", "SVG.pbip", [],
     [("'_Measures'[Total Cost]", "Cost Total"), ("'Products'[Brand]", "Brand Name"), ("'Orders'", "OrderLines")]),
    ("ms-sales TMDL (0.4 MB) + Sales.Report (PBIR-Legacy)", "reports/ms-sales-legacy", ".", [],
     [("'Sales'[Margin]", "Gross Margin"), ("'Product'[Category]", "Product Category"), ("'Sales'", "SalesFact")]),
]


def snapshot(root: pathlib.Path) -> dict[str, bytes]:
    return {str(path): path.read_bytes() for path in sorted(root.rglob("*")) if path.is_file()}


def copy(shared: pathlib.Path, folder: str, target: pathlib.Path) -> pathlib.Path:
    shutil.copytree(shared / folder, target, copy_function=shutil.copyfile)
    for path, _, _ in os.walk(target):
        os.chmod(path, 0o755)
    return target


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shared", type=pathlib.Path, default=ROOT.parent / "shared")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    from quarrow_dax.cli import main as cli
    from quarrow_dax.project import load_project
    from quarrow_dax.refactor import plan_rename

    print(f"load average: {load_average()}\n")
    rows = []
    worst = worst_cpu = 0.0
    with tempfile.TemporaryDirectory(prefix="bench-rename-") as scratch:
        for index, (label, folder, entry, reports, renames) in enumerate(CASES):
            root = copy(args.shared, folder, pathlib.Path(scratch) / str(index))
            if folder.startswith("models/"):  # the report read with the model, as --report
                for report in reports:
                    copy(args.shared, "reports/ms-sales-legacy/" + report, root / report)
            os.chdir(root)
            original = snapshot(root)
            options = [item for report in reports for item in ("--report", report)]
            for old, new in renames:
                plan_best = rename_best = cpu_best = float("inf")
                places = files = 0
                for _ in range(args.rounds):
                    project = load_project(entry, reports, keep_originals=True)
                    start = time.perf_counter()
                    plan = plan_rename(project, old, new)
                    plan_best = min(plan_best, time.perf_counter() - start)
                    places, files = plan.places, len(plan.edits)
                    start, cpu = time.perf_counter(), time.process_time()
                    status = cli(["rename", entry, old, new, *options])
                    rename_best = min(rename_best, time.perf_counter() - start)
                    cpu_best = min(cpu_best, time.process_time() - cpu)
                    back = plan.target.renamed_dax(new)
                    if status != 0 or cli(["rename", entry, back, plan.target.name, *options]) != 0:
                        raise SystemExit(f"{label}: {old} -> {new} failed")
                    if snapshot(root) != original:
                        raise SystemExit(f"{label}: renaming {old} back did not give the same bytes")
                worst = max(worst, rename_best) if index == 0 else worst
                worst_cpu = max(worst_cpu, cpu_best) if index == 0 else worst_cpu
                rows.append([label if old == renames[0][0] else "", f"{old} -> {new}", f"{places} in {files}",
                             f"{plan_best * 1e3:.0f} ms", f"{rename_best * 1e3:.0f} ms", f"{cpu_best * 1e3:.0f} ms"])
            os.chdir(ROOT)
    table(["project", "rename", "places in files", "plan", "rename (read, plan, write)", "its CPU time"], rows,
          "<<>>>>")
    print(f"\ngoal: a rename in the largest model and its report in under a second: {worst * 1e3:.0f} ms"
          f" ({worst_cpu * 1e3:.0f} ms of CPU) {'ok' if worst < 1 else 'SHORT'}")
    print(f"load average at end: {load_average()}")


if __name__ == "__main__":
    main()
