#!/usr/bin/env python3
"""Reference extraction against parsing: quarrow_dax.references.references
over the corpus expressions, next to the module's own parse_expression (the
JSON text), next to building the syntax objects and walking them in Python.

Usage: python bench/bench_references.py [--corpus DIR]

Each figure is the best time of one pass over the corpus expressions that
the module accepts, one call per file. The goal: extracting the references
takes at most 1.5x the time of _native.parse_expression.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from run_all import DEFAULT_CORPUS, accepted, best_loop, load_average, read_texts, table, utf8_len  # noqa: E402

GOAL = 1.5
ROUNDS = 7


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=pathlib.Path, default=DEFAULT_CORPUS)
    args = parser.parse_args()

    from quarrow_dax import _native, syntax
    from quarrow_dax.references import references

    texts = accepted(_native.parse_expression, read_texts(args.corpus / "expressions"))
    size = sum(map(utf8_len, texts))
    count = sum(len(references(text)) for text in texts)
    print(f"load average: {load_average()}")
    print(f"{len(texts)} corpus expressions, {size / 1e6:.2f} MB, {count:,} references\n")

    def extracted(text: str) -> str:
        references(text)
        return ""

    def walked(text: str) -> str:
        # What a caller would do without the native extraction: build the
        # tree and walk it (finding the nodes only, no scopes).
        for _ in syntax.parse_expression(text).walk():
            pass
        return ""

    calls = (
        ("_native.parse_expression (JSON text)", _native.parse_expression),
        ("references.references (objects)", extracted),
        ("syntax.parse_expression + walk()", walked),
    )
    # Rounds that take turns, each keeping its best: a change of load during
    # the run then weighs on every call alike.
    best = [float("inf")] * len(calls)
    for _ in range(ROUNDS):
        for index, (_, fn) in enumerate(calls):
            best[index] = min(best[index], best_loop(fn, texts, repeats=1, min_time=0.1)[0])
    base = best[0]
    ratio = best[1] / base
    rows = []
    for (name, _), seconds in zip(calls, best):
        rows.append([name, f"{seconds * 1e3:.1f} ms", f"{size / seconds / 1e6:.1f} MB/s", f"{seconds / base:.2f}x"])
    table(["call, once per file", "one pass", "throughput", "vs _native"], rows, "<>>>")
    verdict = "ok" if ratio <= GOAL else "SHORT"
    print(f"\ngoal: references within {GOAL}x of _native.parse_expression: {ratio:.2f}x {verdict}")
    print(f"load average at end: {load_average()}")


if __name__ == "__main__":
    main()
