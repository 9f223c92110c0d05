"""`lint` against `check` over the same models: the goal is that linting
every model of ../shared/models takes less than three times as long as
checking them.

    python bench/bench_lint.py                  # best of 7 runs each
    python bench/bench_lint.py --repeats 15 --models DIR

Two figures: the commands end to end (a fresh `python -m quarrow_dax`
process each run, so Python's start and the imports count, as a user
waits for them), and the library alone in this process (`check_model`
against `lint_model` over every model, reading included). Both look up
every name of every formula in its model. A third line, for information,
times `lint --diff --unsafe-fixes`: every fix made, read back and linted
again, the model files rewritten in memory and read back, nothing written.
Each is the best of the runs; the load average is printed, since a busy
machine makes every figure high and noisy. A report, not a test: it always
exits 0.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import time
from collections.abc import Callable

from quarrow_dax.check import CheckOptions, ModelTally, check_model, collect_inputs
from quarrow_dax.lint import lint_model

GOAL = 3.0
DEFAULT_MODELS = pathlib.Path(__file__).resolve().parents[2] / "shared" / "models"


def best_of(repeats: int, run: Callable[[], object]) -> float:
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        run()
        times.append(time.perf_counter() - started)
    return min(times)


def command(*args: str) -> Callable[[], object]:
    def run() -> object:
        return subprocess.run([sys.executable, "-m", "quarrow_dax", *args], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, check=False)
    return run


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", type=pathlib.Path, default=DEFAULT_MODELS)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args(argv)
    models = collect_inputs([str(args.models)]).models
    if not models:
        print(f"no models under {args.models}")
        return 0
    print(f"load average at the start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    options = CheckOptions()
    tally = ModelTally()
    for model in models:  # also warms the file system's caches
        list(check_model(model, options, tally))
    rows = [
        ("command line", best_of(args.repeats, command("check", str(args.models))),
         best_of(args.repeats, command("lint", str(args.models)))),
        ("in process", best_of(args.repeats, lambda: [list(check_model(m, options)) for m in models]),
         best_of(args.repeats, lambda: [list(lint_model(m, options)) for m in models])),
    ]
    fixing = best_of(args.repeats, command("lint", "--diff", "--unsafe-fixes", str(args.models)))
    findings = sum(1 for model in models for _ in lint_model(model, options))
    print(f"{len(models)} models, {tally.formulas} formulas under {args.models}; {findings} lint findings")
    print(f"{'':14} {'check':>9} {'lint':>9} {'lint/check':>11}  goal < {GOAL:g}x")
    for name, checked, linted in rows:
        ratio = linted / checked
        print(f"{name:14} {checked:8.3f}s {linted:8.3f}s {ratio:10.2f}x  {'ok' if ratio < GOAL else 'SHORT'}")
    print(f"{'lint --diff':14} {'':9} {fixing:8.3f}s {fixing / rows[0][1]:10.2f}x  (every fix, nothing written)")
    print(f"load average at the end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
