#!/usr/bin/env python3
"""How the tools' time grows with the size of their input.

    python bench/bench_scaling.py            # sizes n, 2n, 4n of every shape: several minutes
    python bench/bench_scaling.py --quick    # smaller sizes: a couple of minutes
    python bench/bench_scaling.py --only vars-unused --only model-measures

Each shape is a kind of input that real DAX has many of (variables, SWITCH
arms, table constructor rows, comments, DEFINE blocks, fixes, inline
suppressions, `&` chains, measures of a model, ...), generated at three
sizes. Every command a user runs on such input (check, lint, lint --fix with
the unsafe fixes, format, references; for models also deps, deps --unused,
deps --cycles, deps --deep and rename --dry-run) is timed at each size in a
fresh process (the Python start and the input's generation are not counted;
the command's own reading and parsing are), and the exponent k of t ~ n^k is
printed from the two largest sizes: 1 for linear work. Any exponent over 1.2
is marked SLOW: some step does work that grows with the square of the input
(a scan of the whole text per finding, a list searched per item). The
smallest size grows fourfold (up to 64 times) while a run takes under a
tenth of a second (a twentieth with --quick); an exponent from runs that
stay under a tenth is marked as noise, not SLOW.

Times are the CPU seconds the measuring process spends in user mode, so
that other work on a busy machine disturbs them less than it would
wall-clock times (nothing measured runs in another process); the kernel's
share, mostly the page faults of fresh memory, grows with the machine's
memory pressure rather than with the algorithm. A run
that takes longer than --budget seconds (wall clock) is stopped; its exponent is
then at least the figure printed (marked >=). The load average is printed at
the start and the end: on a busy machine the figures are noisy, and short
runs (under a tenth of a second) have the noisiest exponents of all.

A report, not a test: it exits 0 unless --fail is given, in which case a
SLOW path makes the exit status 1.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass

HERE = pathlib.Path(__file__).resolve()
LIMIT = 1.2
# Runs shorter than this (CPU seconds) at the largest size give no verdict.
SHORT = 0.1


# --- shapes -----------------------------------------------------------------------


@dataclass(frozen=True)
class Shape:
    """A generated input: DAX text (`kind` expression or query) or a TMDL
    model (`kind` "model", `make` giving a file name to text mapping)."""

    name: str
    kind: str
    base: int  # the smallest size of a full run
    make: Callable[[int], object]
    commands: tuple[str, ...]
    #: The object whose dependents `deps --deep` lists (models); {last} is
    #: the size less one.
    focus: str = ""
    #: The object `rename --dry-run` renames (models): one most formulas use.
    renamed: str = ""


DAX_COMMANDS = ("check", "lint", "lint-fix", "format", "references")
MODEL_COMMANDS = ("check", "lint", "lint-fix", "format", "deps", "deps-unused", "deps-cycles", "deps-deep", "rename")


def vars_unused(n: int) -> str:
    return "".join(f"VAR v{i} = {i}\n" for i in range(n)) + "RETURN 1\n"


def vars_chain(n: int) -> str:
    lines = ["VAR v0 = SUM ( Sales[Amount] )\n"]
    lines += [f"VAR v{i} = v{i - 1} + {i}\n" for i in range(1, n)]
    return "".join(lines) + f"RETURN v{n - 1}\n"


def switch_arms(n: int) -> str:
    arms = "".join(f'    [Metric] = {i}, "arm {i}",\n' for i in range(n))
    return f"SWITCH (\n    TRUE (),\n{arms}    BLANK ()\n)\n"


def constructor_rows(n: int) -> str:
    rows = ",\n".join(f'    ( {i}, "row {i}", {i}.5 )' for i in range(n))
    return "{\n" + rows + "\n}\n"


def commented(n: int) -> str:
    lines = [f"[m{i}] -- line comment {i}\n    + /* block {i} */ {i}\n    + " for i in range(n)]
    return "".join(lines) + "0\n"


def define_measures(n: int) -> str:
    lines = ["DEFINE\n    MEASURE Sales[m0] = SUM ( Sales[Amount] )\n"]
    lines += [f"    MEASURE Sales[m{i}] = [m{i - 1}] + {i}\n" for i in range(1, n)]
    return "".join(lines) + f"EVALUATE\n    {{ [m{n - 1}] }}\n"


def define_vars(n: int) -> str:
    lines = ["DEFINE\n"] + [f"    VAR q{i} = {i}\n" for i in range(n)]
    return "".join(lines) + "EVALUATE\n    { q0 }\n"


def divisions(n: int) -> str:
    # One unsafe fix (DIVIDE for `/`) per line.
    return "".join(f"[a{i}] / [b{i}]\n    + " for i in range(n)) + "0\n"


def divisions_commented(n: int) -> str:
    # The same, with a comment on every line: each fix keeps the comments.
    return "".join(f"[a{i}] / [b{i}] -- note {i}\n    + /* {i} */ " for i in range(n)) + "0\n"


def suppressed(n: int) -> str:
    return "".join(f"[a{i}] / [b{i}] -- quarrow-dax: ignore[DAX101]\n    + " for i in range(n)) + "0\n"


def concatenation(n: int) -> str:
    return " & ".join(f'"part {i}" & [m{i}]' for i in range(n)) + "\n"


def sum_chain(n: int) -> str:
    return " + ".join(f"[m{i}]" for i in range(n)) + "\n"


def many_arguments(n: int) -> str:
    pairs = ",\n".join(f'    "Name {i}", [m{i}]' for i in range(n))
    return f"ROW (\n{pairs}\n)\n"


def evaluates(n: int) -> str:
    return "".join(f"EVALUATE\n    {{ {i} }}\n" for i in range(n))


def _table(name: str, body: str) -> str:
    return f"table '{name}'\n\n{body}\n"


def model_measures(n: int) -> dict[str, str]:
    """One table, n measures, each using the one before it and a column."""
    columns = "\tcolumn Amount\n\t\tdataType: double\n\t\tsourceColumn: Amount\n\n" \
              "\tcolumn Quantity\n\t\tdataType: int64\n\t\tsourceColumn: Quantity\n\n"
    measures = ["\tmeasure m0 = SUM ( Sales[Amount] )\n\n"]
    measures += [f"\tmeasure m{i} = [m{i - 1}] + SUMX ( Sales, Sales[Quantity] ) / {i}\n\n" for i in range(1, n)]
    return {"Sales.tmdl": _table("Sales", columns + "".join(measures))}


def model_tables(n: int) -> dict[str, str]:
    """n tables in a chain of relationships, each with a measure using the
    next table's."""
    files = {}
    relationships = []
    for i in range(n):
        body = (f"\tmeasure 'Total {i}' = SUM ( 'T{i}'[Value] ) + [Total {i + 1}]\n\n" if i + 1 < n
                else f"\tmeasure 'Total {i}' = SUM ( 'T{i}'[Value] )\n\n")
        body += "\tcolumn Key\n\t\tdataType: int64\n\t\tsourceColumn: Key\n\n"
        body += "\tcolumn Value\n\t\tdataType: double\n\t\tsourceColumn: Value\n\t\tsortByColumn: Key\n\n"
        files[f"T{i}.tmdl"] = _table(f"T{i}", body)
        if i:
            relationships.append(f"relationship r{i}\n\tfromColumn: T{i}.Key\n\ttoColumn: T{i - 1}.Key\n\n")
    files["../relationships.tmdl"] = "".join(relationships)
    return files


def model_columns(n: int) -> dict[str, str]:
    """One table with n calculated columns, each using the one before it."""
    columns = ["\tcolumn c0 = 1\n\t\tdataType: int64\n\n"]
    columns += [f"\tcolumn c{i} = [c{i - 1}] + 1\n\t\tdataType: int64\n\n" for i in range(1, n)]
    return {"Data.tmdl": _table("Data", "".join(columns))}


def model_misspelt(n: int) -> dict[str, str]:
    """One table, n measures, each with references to names the model does
    not have: every one asks for the closest name of a long list."""
    columns = "\tcolumn Amount\n\t\tdataType: double\n\t\tsourceColumn: Amount\n\n"
    measures = ["\tmeasure m0 = SUM ( Sales[Amount] )\n\n"]
    measures += [f"\tmeasure m{i} = [m{i - 1}] + [Mising {i}] + Sales[Amont{i}] + SUMM ( {i} )\n\n"
                 for i in range(1, n)]
    return {"Sales.tmdl": _table("Sales", columns + "".join(measures))}


def model_bim(n: int) -> dict[str, str]:
    """A .bim file: one table, n measures, each using the one before it."""
    measures = [{"name": "m0", "expression": "SUM ( Sales[Amount] )"}]
    measures += [{"name": f"m{i}", "expression": [f"[m{i - 1}]", f"    + DIVIDE ( {i}, [m0] )"]}
                 for i in range(1, n)]
    table = {"name": "Sales", "columns": [{"name": "Amount", "dataType": "double", "sourceColumn": "Amount"}],
             "measures": measures}
    model = {"name": "Model", "compatibilityLevel": 1550, "model": {"culture": "en-US", "tables": [table]}}
    return {"model.bim": json.dumps(model, indent=2)}


SHAPES = [
    Shape("vars-unused", "expression", 4000, vars_unused, DAX_COMMANDS),
    Shape("vars-chain", "expression", 4000, vars_chain, DAX_COMMANDS),
    Shape("switch-arms", "expression", 4000, switch_arms, DAX_COMMANDS),
    Shape("constructor-rows", "expression", 8000, constructor_rows, DAX_COMMANDS),
    Shape("comments", "expression", 3000, commented, DAX_COMMANDS),
    Shape("define-measures", "query", 3000, define_measures, DAX_COMMANDS),
    Shape("define-vars", "query", 3000, define_vars, DAX_COMMANDS),
    Shape("fixes", "expression", 1000, divisions, DAX_COMMANDS),
    Shape("fixes-commented", "expression", 1000, divisions_commented, DAX_COMMANDS),
    Shape("suppressions", "expression", 2000, suppressed, DAX_COMMANDS),
    Shape("concat-chain", "expression", 8000, concatenation, DAX_COMMANDS),
    Shape("sum-chain", "expression", 8000, sum_chain, DAX_COMMANDS),
    Shape("arguments", "expression", 4000, many_arguments, DAX_COMMANDS),
    Shape("evaluates", "query", 4000, evaluates, DAX_COMMANDS),
    Shape("model-measures", "model", 1000, model_measures, MODEL_COMMANDS, "'Sales'[Amount]", "'Sales'[Quantity]"),
    Shape("model-tables", "model", 300, model_tables, MODEL_COMMANDS, "'T{last}'[Value]", "'T{last}'[Key]"),
    Shape("model-misspelt", "model", 1000, model_misspelt, MODEL_COMMANDS, "'Sales'[Amount]", "[m0]"),
    Shape("model-bim", "model", 1000, model_bim, MODEL_COMMANDS, "'Sales'[Amount]", "[m0]"),
    Shape("model-columns", "model", 1000, model_columns, MODEL_COMMANDS, "'Data'[c0]", "'Data'[c0]"),
]
SHAPES_BY_NAME = {shape.name: shape for shape in SHAPES}


# --- one measurement (in a child process) -------------------------------------------


def _user_time() -> float:
    """The CPU seconds this process has spent in its own code: the kernel's
    time (page faults of fresh memory, which another process's use of
    memory makes dearer) is left out."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_utime


def _write_input(shape: Shape, n: int, folder: pathlib.Path) -> str:
    made = shape.make(n)
    if shape.kind == "model":
        assert isinstance(made, dict)
        if "model.bim" in made:
            (folder / "model.bim").write_text(made["model.bim"], encoding="utf-8")
            return str(folder / "model.bim")
        definition = folder / "Model.SemanticModel" / "definition"
        (definition / "tables").mkdir(parents=True)
        (definition / "model.tmdl").write_text("model Model\n\tculture: en-US\n", encoding="utf-8")
        for name, text in made.items():
            (definition / "tables" / name).resolve().write_text(text, encoding="utf-8")
        return str(definition.parent)
    assert isinstance(made, str)
    path = folder / "input.dax"
    path.write_text(made, encoding="utf-8")
    return str(path)


def _argv(command: str, path: str, kind: str, focus: str, renamed: str) -> list[str] | None:
    as_kind = [] if kind == "model" else ["--as", "query" if kind == "query" else "expr"]
    return {
        "check": ["check", "--no-progress", *as_kind, path],
        "lint": ["lint", *as_kind, path],
        "lint-fix": ["lint", "--diff", "--unsafe-fixes", *as_kind, path],
        "format": ["format", "--check", *as_kind, path],
        "deps": ["deps", path],
        "deps-unused": ["deps", "--unused", path],
        "deps-cycles": ["deps", "--cycles", path],
        "deps-deep": ["deps", "--downstream", "--deep", path, focus],
        "rename": ["rename", "--dry-run", path, renamed, "Renamed"],
    }.get(command)


def _run_once(shape: Shape, command: str, path: str, n: int) -> float:
    from quarrow_dax.cli import main

    if command == "references":
        from quarrow_dax.references import references

        text = pathlib.Path(path).read_text(encoding="utf-8")
        started = _user_time()
        references(text, kind="query" if shape.kind == "query" else "expression")
        return _user_time() - started
    argv = _argv(command, path, shape.kind, shape.focus.format(last=n - 1), shape.renamed.format(last=n - 1))
    assert argv is not None, command
    with open(os.devnull, "w", encoding="utf-8") as sink, contextlib.redirect_stdout(sink), \
            contextlib.redirect_stderr(sink):
        started = _user_time()
        main(argv)
        return _user_time() - started


def child_main(shape_name: str, command: str, n: int) -> None:
    shape = SHAPES_BY_NAME[shape_name]
    with tempfile.TemporaryDirectory(prefix="bench-scaling-") as folder:
        path = _write_input(shape, n, pathlib.Path(folder))
        times = [_run_once(shape, command, path, n)]
        # Short runs are repeated for a steadier minimum.
        while sum(times) < 1.0 and len(times) < 5:
            times.append(_run_once(shape, command, path, n))
    print(json.dumps({"seconds": min(times)}))


# --- the report ----------------------------------------------------------------------


def measure(shape: Shape, command: str, n: int, budget: float) -> float | None:
    """Seconds of one command at size n, or None past the budget."""
    try:
        done = subprocess.run(
            [sys.executable, str(HERE), "--child", shape.name, command, str(n)],
            capture_output=True, text=True, timeout=budget, check=False,
        )
    except subprocess.TimeoutExpired:
        return None
    if done.returncode != 0:
        raise SystemExit(f"{shape.name} {command} n={n} failed:\n{done.stderr}")
    seconds: float = json.loads(done.stdout.strip().splitlines()[-1])["seconds"]
    return seconds


def _fits(shape: Shape, command: str, n: int) -> bool:
    """Whether size n stays below the file size past which `check` checks
    a DAX file's grammar alone: beyond it, check does other, lesser work,
    and an exponent across the limit would measure the switch."""
    if command != "check" or shape.kind == "model":
        return True
    from quarrow_dax.check import CALL_CHECK_LIMIT

    made = shape.make(n)
    assert isinstance(made, str)
    return len(made) <= CALL_CHECK_LIMIT


def series(shape: Shape, command: str, base: int, floor: float, budget: float) -> tuple[list[int], list[float | None]]:
    """Three sizes n, 2n, 4n and their times (None from the first run past
    the budget). n starts at `base` and grows fourfold (at most 64 times)
    while a run takes less than `floor` seconds: the exponents of runs of a
    few milliseconds are mostly noise. For check, 4n stays below the size
    past which it checks the grammar alone."""
    n = base
    first = measure(shape, command, n, budget)
    while first is not None and first < floor and n < base * 64 and _fits(shape, command, 16 * n):
        n *= 4
        first = measure(shape, command, n, budget)
    sizes = [n, 2 * n, 4 * n]
    times: list[float | None] = [first]
    for size in sizes[1:]:
        seconds = None if times[-1] is None else measure(shape, command, size, budget)
        times.append(seconds)
    return sizes, times


def exponent(sizes: list[int], times: list[float | None], budget: float) -> tuple[float | None, bool]:
    """The exponent from the two largest sizes measured, and whether it is
    a lower bound (the largest run was stopped)."""
    known = [(n, t) for n, t in zip(sizes, times) if t is not None]
    if len(known) < len(times):
        if not known:
            return None, True
        n, t = known[-1]
        next_n = sizes[len(known)]
        return math.log(budget / max(t, 1e-9)) / math.log(next_n / n), True
    (n1, t1), (n2, t2) = known[-2], known[-1]
    return math.log(max(t2, 1e-9) / max(t1, 1e-9)) / math.log(n2 / n1), False


def load_average() -> str:
    try:
        return " ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        return "unknown"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="half the sizes and a shorter budget")
    parser.add_argument("--only", action="append", metavar="SHAPE", choices=list(SHAPES_BY_NAME),
                        help="measure only this shape (repeatable)")
    parser.add_argument("--command", action="append", metavar="COMMAND",
                        help="measure only this command (repeatable): " + ", ".join(MODEL_COMMANDS + ("references",)))
    parser.add_argument("--budget", type=float, help="wall-clock seconds allowed for one run (default 120, quick 60)")
    parser.add_argument("--fail", action="store_true", help="exit 1 when an exponent is over the limit")
    parser.add_argument("--child", nargs=3, metavar=("SHAPE", "COMMAND", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        child_main(args.child[0], args.child[1], int(args.child[2]))
        return 0
    budget = args.budget or (60.0 if args.quick else 120.0)
    floor = 0.05 if args.quick else 0.1
    shapes = [SHAPES_BY_NAME[name] for name in args.only] if args.only else SHAPES
    print(f"load average: {load_average()}; exponent k of t ~ n^k from the two largest sizes, limit {LIMIT}")
    print(f"{'shape':<18} {'command':<12} {'sizes':<22} {'seconds':<26} k")
    slow = []
    for shape in shapes:
        for command in shape.commands:
            if args.command and command not in args.command:
                continue
            sizes, times = series(shape, command, shape.base // 2 if args.quick else shape.base, floor, budget)
            k, bound = exponent(sizes, times, budget)
            mark = "" if k is not None and k <= LIMIT else "  SLOW"
            if mark and not bound and max(t for t in times if t is not None) < SHORT:
                mark = "  (short: noise)"  # a few milliseconds of CPU say nothing of growth
            if mark == "  SLOW":
                slow.append(f"{shape.name} {command}")
            shown = " / ".join("-" if t is None else f"{t:.3f}" for t in times)
            k_text = "?" if k is None else (">=" if bound else "") + f"{k:.2f}"
            print(f"{shape.name:<18} {command:<12} {'/'.join(map(str, sizes)):<22} {shown:<26} {k_text}{mark}",
                  flush=True)
    print(f"load average: {load_average()}")
    if slow:
        print(f"over {LIMIT}: " + ", ".join(slow))
    else:
        print(f"every exponent at most {LIMIT}")
    return 1 if slow and args.fail else 0


if __name__ == "__main__":
    sys.exit(main())
