"""End-to-end throughput of the three functions from Python, over the corpus.

Usage: python bench/bench_python.py [CORPUS_DIR] [--repeats N]

Prints MB/s of input for each function called once per file (as a model
checker calls it), for `lex` over all files concatenated, and the time of one
call on a tiny input next to a trivial built-in call.
"""

from __future__ import annotations

import argparse
import pathlib
import time
import timeit

from quarrow_dax import _native

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_CORPUS = HERE.parent.parent / "shared" / "corpus"


def read_texts(folder: pathlib.Path) -> list[str]:
    return [p.read_text(encoding="utf-8") for p in sorted(folder.glob("*.dax"))]


def accepted(fn, texts: list[str]) -> list[str]:
    ok = []
    for text in texts:
        try:
            fn(text)
        except ValueError:
            continue
        ok.append(text)
    return ok


def best_mb_per_s(fn, texts: list[str], repeats: int) -> float:
    size = sum(len(t.encode("utf-8")) for t in texts)
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for text in texts:
            fn(text)
        best = min(best, time.perf_counter() - start)
    return size / 1e6 / best


def per_call_ns(stmt: str, namespace: dict, number: int = 200_000) -> float:
    timer = timeit.Timer(stmt, globals=namespace)
    return min(timer.repeat(repeat=5, number=number)) / number * 1e9


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("corpus", nargs="?", type=pathlib.Path, default=DEFAULT_CORPUS)
    parser.add_argument("--repeats", type=int, default=10)
    args = parser.parse_args()

    expressions = accepted(_native.parse_expression, read_texts(args.corpus / "expressions"))
    queries = accepted(_native.parse_query, read_texts(args.corpus / "queries"))
    everything = read_texts(args.corpus / "expressions") + read_texts(args.corpus / "queries")
    concatenated = ["".join(everything)]

    rows = [
        ("lex, corpus concatenated", best_mb_per_s(_native.lex, concatenated, args.repeats)),
        ("lex, per file", best_mb_per_s(_native.lex, everything, args.repeats)),
        ("parse_expression, per file", best_mb_per_s(_native.parse_expression, expressions, args.repeats)),
        ("parse_query, per file", best_mb_per_s(_native.parse_query, queries, args.repeats)),
    ]
    print(f"{'case':<34} {'MB/s':>10}")
    for name, rate in rows:
        print(f"{name:<34} {rate:>10.1f}")

    namespace = {"lex": _native.lex, "parse_expression": _native.parse_expression}
    print(f"{'call':<34} {'ns':>10}")
    for stmt in ('lex("")', 'parse_expression("1")', 'str.upper("1")'):
        print(f"{stmt:<34} {per_call_ns(stmt, namespace):>10.0f}")


if __name__ == "__main__":
    main()
