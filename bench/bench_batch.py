#!/usr/bin/env python3
"""quarrow_dax.batch.check against a Python loop over
quarrow_dax.syntax.first_error: the corpus expressions repeated to 30,000
texts, checked once per call.

Usage: python bench/bench_batch.py [--corpus DIR] [--count N] [--rounds R]

Each figure is the median of R rounds (default 5) that take turns, so that
a change of load weighs on every call alike. The batch call includes
turning the list into Arrow and the table back; its rate on one thread is
the rate per processor. The goal: batch.check on two threads at least 1.5x
faster than the loop.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from run_all import DEFAULT_CORPUS, load_average, read_texts, table  # noqa: E402

GOAL = 1.5


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=pathlib.Path, default=DEFAULT_CORPUS)
    parser.add_argument("--count", type=int, default=30_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    from quarrow_dax import batch
    from quarrow_dax.syntax import first_error

    corpus = read_texts(args.corpus / "expressions")
    texts = (corpus * (args.count // len(corpus) + 1))[: args.count]
    size = sum(len(text.encode("utf-8")) for text in texts)
    print(f"load average: {load_average()}; processors: {os.cpu_count()}")
    print(f"{len(texts):,} texts ({len(corpus)} corpus expressions repeated), {size / 1e6:.1f} MB\n")

    def loop() -> int:
        return sum(first_error(text) is not None for text in texts)

    def bulk(threads: int) -> int:
        result = batch.check(texts, threads=threads)
        return result.num_rows - sum(chunk.true_count for chunk in result.column("ok").chunks)

    calls = (("Python loop over first_error", loop), ("batch.check, 1 thread", lambda: bulk(1)),
             ("batch.check, 2 threads", lambda: bulk(2)))
    failures = {name: call() for name, call in calls}
    assert len(set(failures.values())) == 1, failures
    times: list[list[float]] = [[] for _ in calls]
    # Processor time of all the process's threads: on a machine others keep
    # busy, it shows whether a slow wall time is work or waiting for a core.
    processor: list[list[float]] = [[] for _ in calls]
    for _ in range(args.rounds):
        for index, (_, call) in enumerate(calls):
            start, start_processor = time.perf_counter(), time.process_time()
            call()
            times[index].append(time.perf_counter() - start)
            processor[index].append(time.process_time() - start_processor)
    medians = [statistics.median(run) for run in times]
    base = medians[0]
    rows = [[name, f"{seconds * 1e3:.0f} ms", f"{statistics.median(used) * 1e3:.0f} ms",
             f"{len(texts) / seconds:,.0f}", f"{size / seconds / 1e6:.1f}", f"{base / seconds:.2f}x"]
            for (name, _), seconds, used in zip(calls, medians, processor)]
    table(["call over all texts", "median", "processor time", "formulas/s", "MB/s", "vs loop"], rows, "<>>>>>")
    speedup = base / medians[2]
    used = statistics.median(processor[1])
    print(f"\nrate per processor (batch.check, 1 thread): {len(texts) / medians[1]:,.0f} formulas/s of wall time, "
          f"{len(texts) / used:,.0f} formulas/s of processor time")
    print(f"goal: batch.check on 2 threads at least {GOAL}x the loop: {speedup:.2f}x "
          f"{'ok' if speedup >= GOAL else 'SHORT'}")
    print(f"load average at end: {load_average()}")


if __name__ == "__main__":
    main()
