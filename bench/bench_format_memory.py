#!/usr/bin/env python3
"""The formatter's peak memory: `quarrow-dax format --check` on one large
generated formula, in a .bim model and in a .dax file, each run in a
subprocess of its own, its peak RSS printed as a multiple of the input.

Usage: python bench/bench_format_memory.py [--mb N] [--shapes a,b,...]

Each child builds its input (a 4 MB formula by default) and writes the
file, then runs the command in-process; a baseline child does the same
without the command. `peak/in` is the child's whole peak RSS (ru_maxrss,
the interpreter included) over the input's size, the figure the goal is
set on: at most 50 times the input. `extra/in` leaves the baseline out.
The children are started from a small manager process, because Linux
carries the peak RSS of the process that starts a child into the child's
ru_maxrss.

The shapes, densest first: `operators` is `1+1+...+1` (two bytes an
operand: the worst case there is for memory per byte), `calls` a chain of
`F(1)`, `sums` a chain of `SUM ( Sales[Amount] )`, `switch` a SWITCH of
CALCULATE arms, `svg` the concatenation an SVG measure makes, `table` a
table constructor of rows, `comments` a chain with a line comment on every
line.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import resource
import subprocess
import sys
import tempfile

MB = 10**6
GOAL = 50  # peak RSS over input size

ROOT = pathlib.Path(__file__).resolve().parent


def _repeat(unit: str, size: int, last: str) -> str:
    return unit * max(size // len(unit), 1) + last


def _switch(size: int) -> str:
    parts, total, n = [], 0, 0
    while total < size:
        part = f'"k{n}", CALCULATE ( SUM ( Sales[Amount] ), Sales[Key] = {n} ), '
        parts.append(part)
        total += len(part)
        n += 1
    return "SWITCH ( [Selected], " + "".join(parts) + "BLANK () )"


def _table(size: int) -> str:
    rows, total, n = [], 0, 0
    while total < size:
        row = f'( {n}, "a{n}" ), '
        rows.append(row)
        total += len(row)
        n += 1
    return "{ " + "".join(rows) + '( 0, "z" ) }'


SHAPES = {
    "operators": lambda size: _repeat("1+", size, "1"),
    "calls": lambda size: _repeat("F(1)+", size, "1"),
    "sums": lambda size: _repeat("SUM ( Sales[Amount] ) + ", size, "1"),
    "switch": _switch,
    "svg": lambda size: _repeat("\"<rect x='\" & [X] & \"' width='\" & [W] & \"'/>\" & ", size, '"</svg>"'),
    "table": _table,
    "comments": lambda size: _repeat("[Amount] + -- a note\n", size, "1"),
}


def write_input(shape: str, container: str, size: int, folder: str) -> str:
    """The input file of `shape` in `container` ("bim" or "dax"); its path."""
    formula = SHAPES[shape](size)
    if container == "dax":
        path = os.path.join(folder, "formula.dax")
        pathlib.Path(path).write_text(formula, encoding="utf-8")
        return path
    model = {"name": "model", "compatibilityLevel": 1567, "model": {"tables": [{
        "name": "Sales",
        "columns": [{"name": "Amount", "dataType": "double"}, {"name": "Key", "dataType": "int64"}],
        "measures": [{"name": "Large", "expression": formula}] + [
            {"name": name, "expression": "1"} for name in ("X", "W", "Selected")],
    }]}}
    path = os.path.join(folder, "model.bim")
    pathlib.Path(path).write_text(json.dumps(model, indent=2), encoding="utf-8")
    return path


def child_main(shape: str, container: str, size: int, run: bool) -> None:
    """Writes the input, runs `format --check` on it unless `run` is false,
    and prints the peak RSS and the input's size as JSON."""
    from quarrow_dax.cli import main as cli

    with tempfile.TemporaryDirectory(prefix="quarrow-memory-") as folder:
        path = write_input(shape, container, size, folder)
        size = os.path.getsize(path)
        if run:
            with open(os.devnull, "w") as sink:
                stdout, stderr = sys.stdout, sys.stderr
                sys.stdout = sys.stderr = sink
                try:
                    cli(["format", "--check", path])
                except SystemExit:
                    pass
                finally:
                    sys.stdout, sys.stderr = stdout, stderr
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux
    print(json.dumps({"peak": peak, "in": size}))


def run_child(*args: str) -> dict[str, int]:
    proc = subprocess.run([sys.executable, __file__, "--child", *args], capture_output=True, text=True, check=True)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def manager_main(shapes: list[str], size: int) -> None:
    report = {}
    for shape in shapes:
        for container in ("bim", "dax"):
            report[f"{shape}|{container}|base"] = run_child(shape, container, str(size), "0")
            report[f"{shape}|{container}|run"] = run_child(shape, container, str(size), "1")
    print(json.dumps(report))


def main() -> int:
    if len(sys.argv) == 6 and sys.argv[1] == "--child":
        child_main(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5] == "1")
        return 0
    if len(sys.argv) == 4 and sys.argv[1] == "--manager":
        manager_main(sys.argv[2].split(","), int(sys.argv[3]))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=float, default=4.0, help="the formula's size in MB (default 4)")
    parser.add_argument("--shapes", default=",".join(SHAPES), help="comma-separated, of: " + ", ".join(SHAPES))
    args = parser.parse_args()
    shapes = args.shapes.split(",")
    unknown = [shape for shape in shapes if shape not in SHAPES]
    if unknown:
        parser.error(f"unknown shape(s): {', '.join(unknown)}")
    proc = subprocess.run([sys.executable, __file__, "--manager", ",".join(shapes), str(int(args.mb * MB))],
                          capture_output=True, text=True, check=True)
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    print(f"quarrow-dax format --check on one {args.mb:g} MB formula; peak RSS of a subprocess\n")
    header = ["shape", "file", "input MB", "base MB", "peak MB", "peak/in", "extra/in", f"peak <= {GOAL}x in"]
    rows = []
    worst = 0.0
    for shape in shapes:
        for container in ("bim", "dax"):
            base, got = report[f"{shape}|{container}|base"], report[f"{shape}|{container}|run"]
            size = got["in"]
            ratio = got["peak"] / size
            worst = max(worst, ratio)
            rows.append([shape, container, f"{size / MB:.1f}", f"{base['peak'] / MB:.0f}", f"{got['peak'] / MB:.0f}",
                         f"{ratio:.0f}x", f"{(got['peak'] - base['peak']) / size:.0f}x",
                         "ok" if ratio <= GOAL else "over"])
    widths = [max(len(str(row[i])) for row in [header, *rows]) for i in range(len(header))]
    for row in [header, ["-" * width for width in widths], *rows]:
        print("  ".join(str(cell).rjust(width) if i > 1 else str(cell).ljust(width)
                        for i, (cell, width) in enumerate(zip(row, widths))))
    print(f"\nworst: {worst:.0f}x the input")
    return 0


if __name__ == "__main__":
    sys.exit(main())
