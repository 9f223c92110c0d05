#!/usr/bin/env python3
"""The formatter's speed: quarrow_dax.format over the corpus next to the
module's own parser on the same files (the goal: at least a tenth of its
throughput), and the peer pbi_parsers' format_expression, run as a black box
on the files it accepts within a time budget, with how many of its results
still parse to the same tree and keep their comments.

Usage: python bench/bench_format.py [--budget SECONDS] [--corpus DIR]

Each figure is the best time of one pass over the files, one call per file.
`format` includes everything it does before it returns: parsing, the
layout, and reading its result back to compare trees and comments.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from run_all import DEFAULT_CORPUS, accepted, best_loop, load_average, peer_run, read_texts, table, utf8_len  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=pathlib.Path, default=DEFAULT_CORPUS)
    parser.add_argument("--budget", type=float, default=30.0, help="seconds for the peer (default 30)")
    args = parser.parse_args()

    import quarrow_dax
    from quarrow_dax import _native, syntax
    from quarrow_dax.formatter import same_tree

    expressions = accepted(_native.parse_expression, read_texts(args.corpus / "expressions"))
    queries = accepted(_native.parse_query, read_texts(args.corpus / "queries"))
    size = sum(map(utf8_len, expressions + queries))
    print(f"load average: {load_average()}")
    print(f"{len(expressions)} expressions and {len(queries)} queries of the corpus that the module reads, "
          f"{size / 1e6:.2f} MB\n")

    def format_query(text: str) -> str:
        return quarrow_dax.format(text, kind="query")

    native = best_loop(_native.parse_expression, expressions)[0] + best_loop(_native.parse_query, queries)[0]
    formatted = best_loop(quarrow_dax.format, expressions)[0] + best_loop(format_query, queries)[0]
    rows = [
        ["_native.parse_expression / parse_query", f"{native * 1e3:.1f} ms", f"{size / native / 1e6:.1f} MB/s",
         "1.00x"],
        ["quarrow_dax.format (kind as the file)", f"{formatted * 1e3:.1f} ms", f"{size / formatted / 1e6:.1f} MB/s",
         f"{formatted / native:.2f}x"],
    ]
    table(["call, once per file", "one pass", "throughput", "vs _native"], rows, "<>>>")

    try:
        import pbi_parsers.dax as pbi
    except Exception as exc:  # not installed: pip install '.[bench]'
        print(f"\n(pbi_parsers unavailable: {exc})")
    else:
        # The peer sees the files in a fixed shuffled order, so that the
        # budget samples all of the corpus rather than its first files.
        pool = sorted(expressions, key=lambda text: hash(text) % 7919)
        results: dict[str, str] = {}

        def peer(text: str) -> object:
            result = pbi.format_expression(text)
            if isinstance(result, str):
                results[text] = result
            return result

        started = time.perf_counter()
        ok, spent, tried, rejected, timed_out = peer_run(peer, pool, args.budget, 10.0)
        print(f"\npbi_parsers dax.format_expression, up to {args.budget:.0f} s ({time.perf_counter() - started:.0f} s "
              f"spent): {tried} files tried, {len(ok)} accepted, {rejected} rejected, {timed_out} timed out")
        if ok:
            ours, _ = best_loop(quarrow_dax.format, ok, repeats=3)
            ok_size = sum(map(utf8_len, ok))

            def judge(formatted: dict[str, str]) -> tuple[int, int, int]:
                """How many results parse to the tree of their input, how many
                inputs have comments, and of those how many keep them all."""
                same = kept = with_comments = 0
                for text in ok:
                    result = formatted.get(text)
                    if result is None:
                        continue
                    try:
                        same += same_tree(syntax.parse_expression(result), syntax.parse_expression(text))
                    except syntax.ParseError:
                        pass
                    before = [token.text.rstrip() for token in syntax.tokenize(text) if token.is_comment]
                    if before:
                        with_comments += 1
                        try:
                            after = [token.text.rstrip() for token in syntax.tokenize(result) if token.is_comment]
                        except syntax.ParseError:
                            after = []
                        kept += after == before
                return same, with_comments, kept

            peer_same, with_comments, peer_kept = judge(results)
            our_same, _, our_kept = judge({text: quarrow_dax.format(text) for text in ok})
            table(["on the files pbi_parsers accepts", "one pass", "throughput", "same tree", "comments kept"], [
                ["pbi_parsers format_expression", f"{spent * 1e3:.0f} ms", f"{ok_size / spent / 1e6:.3f} MB/s",
                 f"{peer_same} of {len(ok)}", f"{peer_kept} of {with_comments}"],
                ["quarrow_dax.format", f"{ours * 1e3:.1f} ms", f"{ok_size / ours / 1e6:.2f} MB/s",
                 f"{our_same} of {len(ok)}", f"{our_kept} of {with_comments}"],
            ], "<>>>>")
            print(f"quarrow_dax.format is {spent / ours:.0f}x faster on these files")

    ratio = formatted / native
    print(f"\nload average: {load_average()}")
    print(f"goal: format at least a tenth of the module's throughput (at most 10x its time): {ratio:.2f}x "
          f"{'ok' if ratio <= 10 else 'SHORT'}")


if __name__ == "__main__":
    main()
