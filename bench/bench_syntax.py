#!/usr/bin/env python3
"""Syntax objects against the exact JSON: the cost of building Python node
objects with quarrow_dax.syntax.parse_expression, next to the module's own
parse_expression (JSON text), next to decoding that JSON with json.loads, and
next to the peer pbi_parsers' to_ast (run as a black box on the files it
accepts, within a time budget: it is slow).

Usage: python bench/bench_syntax.py [--budget SECONDS] [--corpus DIR]

Each figure is the best time of one pass over the corpus expressions that
the module accepts, one call per file. The goal: building the objects takes
at most 3x the time of the module's parse_expression.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from run_all import DEFAULT_CORPUS, accepted, best_loop, load_average, peer_run, read_texts, table, utf8_len  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=pathlib.Path, default=DEFAULT_CORPUS)
    parser.add_argument("--budget", type=float, default=20.0, help="seconds for the peer (default 20)")
    args = parser.parse_args()

    from quarrow_dax import _native, syntax

    texts = accepted(_native.parse_expression, read_texts(args.corpus / "expressions"))
    size = sum(map(utf8_len, texts))
    print(f"load average: {load_average()}")
    print(f"{len(texts)} corpus expressions, {size / 1e6:.2f} MB\n")

    def objects(text: str) -> str:
        syntax.parse_expression(text)
        return ""

    def decoded(text: str) -> str:
        json.loads(_native.parse_expression(text))
        return ""

    def tokens(text: str) -> str:
        syntax.tokenize(text)
        return ""

    def checked(text: str) -> str:
        syntax.first_error(text)
        return ""

    base, _ = best_loop(_native.parse_expression, texts)
    rows = []
    ratios = {}
    for name, fn in (
        ("_native.parse_expression (JSON text)", _native.parse_expression),
        ("syntax.parse_expression (objects)", objects),
        ("json.loads(_native.parse_expression(..))", decoded),
        ("syntax.first_error (parse, build nothing)", checked),
        ("syntax.tokenize (with comments)", tokens),
    ):
        seconds = base if fn is _native.parse_expression else best_loop(fn, texts)[0]
        ratios[name] = seconds / base
        rows.append([name, f"{seconds * 1e3:.1f} ms", f"{size / seconds / 1e6:.1f} MB/s", f"{seconds / base:.2f}x"])
    table(["call, once per file", "one pass", "throughput", "vs _native"], rows, "<>>>")

    try:
        import pbi_parsers.dax as pbi
    except Exception as exc:  # not installed: pip install '.[bench]'
        print(f"\n(pbi_parsers unavailable: {exc})")
    else:
        ok, spent, tried, rejected, timed_out = peer_run(pbi.to_ast, texts, args.budget, 5.0)
        if ok:
            ours, _ = best_loop(objects, ok, repeats=3)
            ok_size = sum(map(utf8_len, ok))
            print(
                f"\npbi_parsers dax.to_ast: {len(ok)} of {tried} files tried accepted ({rejected} rejected, "
                f"{timed_out} timed out) in {spent:.1f} s = {ok_size / spent / 1e6:.3f} MB/s; "
                f"syntax.parse_expression on the same files: {ours * 1e3:.1f} ms, {spent / ours:.0f}x faster"
            )
        else:
            print(f"\npbi_parsers dax.to_ast accepted none of the {tried} files tried")

    ratio = ratios["syntax.parse_expression (objects)"]
    print(f"\ngoal: objects at most 3x _native.parse_expression: {ratio:.2f}x {'ok' if ratio <= 3 else 'SHORT'}")


if __name__ == "__main__":
    main()
