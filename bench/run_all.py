#!/usr/bin/env python3
"""All of quarrow_dax's benchmarks in one run, printed as tables.

Usage: python bench/run_all.py [--quick] [--no-peers] [--corpus DIR]

Measures, in this order:
  1. the time of one call on a tiny input next to a trivial built-in call;
  2. MB/s of input (and GB/s of JSON out) calling each function once per
     corpus file;
  3. the same on large synthetic inputs of 1, 10 and 100 MB, with the ratios
     t(10 MB)/t(1 MB) and t(100 MB)/t(10 MB) that show how cost grows;
  4. the peak memory of each large case, each in a subprocess of its own;
  5. the speed against the peers pbi_parsers and Pygments' DaxLexer, on the
     corpus files each peer accepts;
  6. the C++ benchmark of the library alone (bench_throughput.cpp).
and ends with the goals, each marked ok or SHORT.

--quick skips the 100 MB inputs and the peers; --no-peers skips the peers.
1 MB here is 10^6 bytes, 1 GB is 10^9 bytes. Times are the best of several
runs. The machine's load average is printed at the start and at the end:
figures taken on a busy machine are low.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import pathlib
import random
import resource
import shutil
import signal
import subprocess
import sys
import time
import timeit

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
DEFAULT_CORPUS = ROOT.parent / "shared" / "corpus"
CPP_SOURCE = HERE / "bench_throughput.cpp"
CPP_BINARY = ROOT / "build" / "bench" / "bench_throughput"

MB = 1_000_000


# --- The large synthetic inputs (bench_throughput.cpp builds the same) ------

def _assemble(pieces) -> str:
    """Joins the pieces a megabyte at a time, so that building the text peaks
    at little more than the text itself (`s += chunk` grows `s` in place)."""
    s = ""
    buf: list[str] = []
    n = 0
    for piece in pieces:
        buf.append(piece)
        n += len(piece)
        if n >= MB:
            s += "".join(buf)
            buf.clear()
            n = 0
    s += "".join(buf)
    return s


def define_measures(size: int) -> str:
    """DEFINE followed by measures until `size` bytes, then EVALUATE {1}."""
    tail = "EVALUATE {1}\n"

    def pieces():
        head = "DEFINE\n"
        yield head
        n = len(head)
        i = 1
        while n + len(tail) < size:
            piece = f" MEASURE T[m{i}] = SUM(T[a]) + 1\n"
            yield piece
            n += len(piece)
            i += 1
        yield tail

    return _assemble(pieces())


def table_constructor(size: int) -> str:
    """{(1, "a"), (2, "b"), ...} of `size` bytes."""

    def pieces():
        yield "{"
        n = 1
        i = 1
        while n + 1 < size:
            piece = f'{", " if i > 1 else ""}({i}, "{chr(97 + (i - 1) % 26)}")'
            yield piece
            n += len(piece)
            i += 1
        yield "}"

    return _assemble(pieces())


def many_evaluates(size: int) -> str:
    """EVALUATE statements, one a line, until `size` bytes."""

    def pieces():
        n = 0
        i = 1
        while n < size:
            piece = f'EVALUATE ROW("v", SUM(T[a]) + {i})\n'
            yield piece
            n += len(piece)
            i += 1

    return _assemble(pieces())


GENERATORS = {
    "DEFINE measures": define_measures,
    "table constructor": table_constructor,
    "many EVALUATE": many_evaluates,
}

# (function, input)
LARGE_CASES = [
    ("lex", "DEFINE measures"),
    ("parse_query", "DEFINE measures"),
    ("lex", "table constructor"),
    ("parse_expression", "table constructor"),
    ("parse_query", "many EVALUATE"),
]


# --- Helpers ----------------------------------------------------------------

def native():
    from quarrow_dax import _native

    return _native


def utf8_len(text: str) -> int:
    return len(text) if text.isascii() else len(text.encode("utf-8"))


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


def best_loop(fn, texts: list[str], repeats: int = 5, min_time: float = 0.2) -> tuple[float, int]:
    """Best time of one pass of `fn` over `texts` (each pass repeated enough
    times to last `min_time`), and the bytes of output of one pass."""
    out_bytes = 0
    start = time.perf_counter()
    for text in texts:
        out_bytes += len(fn(text))  # the JSON is ASCII
    once = time.perf_counter() - start
    loops = max(1, int(min_time / max(once, 1e-9)))
    best = once
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(loops):
            for text in texts:
                fn(text)
        best = min(best, (time.perf_counter() - start) / loops)
    return best, out_bytes


def load_average() -> str:
    one, five, fifteen = os.getloadavg()
    return f"{one:.2f}, {five:.2f}, {fifteen:.2f}"


def cpu_model() -> str:
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def table(header: list[str], rows: list[list], aligns: str | None = None) -> None:
    cells = [[str(c) for c in row] for row in rows]
    widths = [max(len(h), *(len(r[i]) for r in cells)) if cells else len(h) for i, h in enumerate(header)]
    aligns = aligns or "<" + ">" * (len(header) - 1)

    def line(row):
        return "  ".join(f"{c:{a}{w}}" for c, a, w in zip(row, aligns, widths)).rstrip()

    print(line(header))
    print(line(["-" * w for w in widths]))
    for row in cells:
        print(line(row))
    print()


def section(title: str) -> None:
    print(f"== {title} ==")


GOALS: list[tuple[str, str, bool]] = []


def goal(name: str, measured: str, ok: bool) -> None:
    GOALS.append((name, measured, ok))


# --- 1. Tiny calls ----------------------------------------------------------

def bench_tiny() -> None:
    section("One call on a tiny input (timeit, min of 7 repeats)")
    n = native()
    namespace = {"lex": n.lex, "parse_expression": n.parse_expression, "parse_query": n.parse_query}
    stmts = ['str.upper("1")', 'lex("")', 'parse_expression("1")', 'parse_query("EVALUATE {1}")']
    number = 200_000
    times = {}
    for stmt in stmts:
        timer = timeit.Timer(stmt, globals=namespace)
        times[stmt] = min(timer.repeat(repeat=7, number=number)) / number * 1e9
    base = times['str.upper("1")']
    table(["call", "ns/call", "x built-in"], [[s, f"{t:.0f}", f"{t / base:.1f}"] for s, t in times.items()])
    for stmt in ('lex("")', 'parse_expression("1")'):
        goal(f"tiny call {stmt} within 10x str.upper", f"{times[stmt] / base:.1f}x", times[stmt] <= 10 * base)


# --- 2. Corpus --------------------------------------------------------------

def bench_corpus(corpus: pathlib.Path) -> None:
    n = native()
    expressions = read_texts(corpus / "expressions")
    queries = read_texts(corpus / "queries")
    everything = expressions + queries
    cases = [
        ("lex", "all files", n.lex, everything),
        ("parse_expression", "expressions/", n.parse_expression, expressions),
        ("parse_query", "queries/", n.parse_query, queries),
    ]
    section(f"Corpus, one call per file ({corpus})")
    rows = []
    for name, where, fn, texts in cases:
        ok = accepted(fn, texts)
        size = sum(utf8_len(t) for t in ok)
        best, out = best_loop(fn, ok)
        rate = size / MB / best
        rows.append([name, where, f"{len(ok)}/{len(texts)}", f"{size / MB:.3f}", f"{best * 1e3:.2f}",
                     f"{rate:.1f}", f"{out / 1e9 / best:.2f}", f"{out / size:.1f}"])
        goal(f"corpus per file, {name} >= 60 MB/s", f"{rate:.1f} MB/s", rate >= 60)
    concatenated = "".join(everything)
    best, out = best_loop(n.lex, [concatenated])
    size = utf8_len(concatenated)
    rows.append(["lex", "all files concatenated", "1", f"{size / MB:.3f}", f"{best * 1e3:.2f}",
                 f"{size / MB / best:.1f}", f"{out / 1e9 / best:.2f}", f"{out / size:.1f}"])
    table(["function", "files", "accepted", "input MB", "best ms", "MB/s in", "JSON GB/s", "out/in"], rows)


# --- 3. Large inputs --------------------------------------------------------

def bench_large(sizes: list[int]) -> dict:
    n = native()
    section("Large synthetic inputs, one call each (best of 5 / 3 / 2 runs for 1 / 10 / 100 MB)")
    results: dict[tuple[str, str, int], tuple[float, int, int]] = {}
    for mb in sizes:
        repeats = 5 if mb < 10 else 3 if mb < 100 else 2
        for input_name, gen in GENERATORS.items():
            text = gen(mb * MB)
            size = utf8_len(text)
            for fn_name, case_input in LARGE_CASES:
                if case_input != input_name:
                    continue
                fn = getattr(n, fn_name)
                best = float("inf")
                best_sys = best_faults = 0.0
                out = None
                for _ in range(repeats):
                    out = None
                    gc.collect()
                    before = resource.getrusage(resource.RUSAGE_SELF)
                    start = time.perf_counter()
                    out = fn(text)
                    elapsed = time.perf_counter() - start
                    after = resource.getrusage(resource.RUSAGE_SELF)
                    if elapsed < best:
                        best = elapsed
                        best_sys = after.ru_stime - before.ru_stime
                        best_faults = after.ru_minflt - before.ru_minflt
                out_bytes = len(out)
                out = None
                results[(fn_name, input_name, mb)] = (best, size, out_bytes, best_sys, best_faults)
            del text
            gc.collect()
    rows = []
    for fn_name, input_name in LARGE_CASES:
        previous = None
        for mb in sizes:
            best, size, out_bytes, sys_time, faults = results[(fn_name, input_name, mb)]
            ratio = f"{best / previous:.2f}" if previous else "-"
            previous = best
            rate = size / MB / best
            json_rate = out_bytes / 1e9 / best
            rows.append([fn_name, input_name, mb, f"{best * 1e3:.1f}", f"{rate:.1f}", f"{out_bytes / MB:.1f}",
                         f"{json_rate:.2f}", ratio, f"{100 * sys_time / best:.0f}", f"{faults / (size / MB):.0f}"])
            floor = 200 if fn_name == "lex" else 150
            goal(f"{fn_name}, {mb} MB {input_name} >= {floor} MB/s", f"{rate:.1f} MB/s", rate >= floor)
            goal(f"JSON out, {fn_name} {mb} MB {input_name} >= 1 GB/s", f"{json_rate:.2f} GB/s", json_rate >= 1)
            if ratio != "-":
                goal(f"scaling, {fn_name} {input_name} to {mb} MB <= 11x", f"{ratio}x", float(ratio) <= 11)
    table(["function", "input", "MB", "best ms", "MB/s in", "JSON MB", "JSON GB/s", "t/t(prev size)", "sys %",
           "faults/MB"], rows)
    print("  sys %: kernel CPU time over wall time of the best run; faults/MB: its minor page faults per MB of"
          " input.")
    print()
    return results


# --- 4. Peak memory, one subprocess per case --------------------------------

def child_main(fn_name: str, input_name: str, mb: int) -> None:
    """Imports the module, builds the input, makes one call unless fn_name is
    "baseline", and prints its peak RSS as JSON."""
    n = native()
    text = GENERATORS[input_name](mb * MB)
    gc.collect()
    out_bytes = 0
    if fn_name != "baseline":
        out = getattr(n, fn_name)(text)
        out_bytes = len(out)
        del out
    maxrss_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux
    hwm_kb = 0  # the kernel's own peak RSS of this address space, as a cross-check
    try:
        for line in pathlib.Path("/proc/self/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                hwm_kb = int(line.split()[1])
    except OSError:
        pass
    print(json.dumps({"maxrss": maxrss_kb * 1024, "hwm": hwm_kb * 1024, "in": utf8_len(text), "out": out_bytes}))


def run_child(*args: str) -> dict:
    proc = subprocess.run([sys.executable, str(pathlib.Path(__file__).resolve()), "--child", *args],
                          capture_output=True, text=True, check=True)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def manager_main(sizes: list[int]) -> None:
    """Runs every memory child and prints their reports as one JSON object.

    The children are started from this small process rather than from the
    benchmark's main one because Linux carries the peak RSS of the process
    that forks (or vforks) into the ru_maxrss of the program it execs: from
    the main process, which has held outputs of gigabytes, every child would
    report at least that peak."""
    report = {}
    for mb in sizes:
        for input_name in GENERATORS:
            report[f"baseline|{input_name}|{mb}"] = run_child("baseline", input_name, str(mb))
    for fn_name, input_name in LARGE_CASES:
        for mb in sizes:
            report[f"{fn_name}|{input_name}|{mb}"] = run_child(fn_name, input_name, str(mb))
    print(json.dumps(report))


def bench_memory(sizes: list[int]) -> None:
    section("Peak memory of one call, each in its own subprocess (ru_maxrss minus that of a child "
            "that only imports the module and builds the input)")
    proc = subprocess.run([sys.executable, str(pathlib.Path(__file__).resolve()), "--memory-manager",
                           ",".join(map(str, sizes))], capture_output=True, text=True, check=True)
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    rows = []
    for fn_name, input_name in LARGE_CASES:
        for mb in sizes:
            base = report[f"baseline|{input_name}|{mb}"]
            got = report[f"{fn_name}|{input_name}|{mb}"]
            extra = got["maxrss"] - base["maxrss"]
            size, out = got["in"], got["out"]
            limit = 3 * out + size
            rows.append([fn_name, input_name, mb, f"{base['maxrss'] / MB:.0f}", f"{got['maxrss'] / MB:.0f}",
                         f"{extra / MB:.1f}", f"{out / MB:.1f}", f"{extra / out:.2f}", f"{extra / size:.1f}",
                         f"{extra / limit:.2f}"])
            goal(f"memory, {fn_name} {mb} MB {input_name} <= 3x out + in",
                 f"{extra / MB:.0f} MB = {extra / limit:.2f} of limit", extra <= limit)
    disagree = [key for key, r in report.items() if r["hwm"] and abs(r["hwm"] - r["maxrss"]) > 0.05 * r["maxrss"]]
    if disagree:
        print(f"(ru_maxrss and VmHWM differ by over 5% for: {', '.join(disagree)})")
    table(["function", "input", "MB", "base RSS MB", "peak RSS MB", "extra MB", "JSON MB", "extra/out",
           "extra/in", "extra/(3out+in)"], rows)


# --- 5. Peers ---------------------------------------------------------------

class _Timeout(BaseException):
    """Raised by the alarm inside a peer's call; not an Exception, so that
    the peer's own `except Exception` cannot swallow it."""


def _alarm(signum, frame):
    raise _Timeout


def peer_run(call, texts: list[str], budget: float, per_file: float) -> tuple[list[str], float, int, int, int]:
    """Runs `call` on texts in turn until `budget` seconds are spent. Returns
    the texts it accepted (returned without raising, and not None), the
    seconds spent on them, and the numbers of files tried, rejected and timed
    out (a file taking over `per_file` seconds is abandoned)."""
    ok: list[str] = []
    spent = 0.0
    tried = rejected = timed_out = 0
    started = time.perf_counter()
    old = signal.signal(signal.SIGALRM, _alarm)
    try:
        for text in texts:
            if time.perf_counter() - started >= budget:
                break
            tried += 1
            signal.setitimer(signal.ITIMER_REAL, per_file)
            try:
                start = time.perf_counter()
                result = call(text)
                elapsed = time.perf_counter() - start
            except _Timeout:
                timed_out += 1
                continue
            except Exception:  # the peer's own errors mean it rejects the file
                rejected += 1
                continue
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
            if result is None:
                rejected += 1
                continue
            ok.append(text)
            spent += elapsed
    finally:
        signal.signal(signal.SIGALRM, old)
    return ok, spent, tried, rejected, timed_out


def bench_peers(corpus: pathlib.Path, budget: float) -> None:
    n = native()
    expressions = read_texts(corpus / "expressions")
    queries = read_texts(corpus / "queries")
    rng = random.Random(20261207)
    peers = []
    try:
        from pygments.lexers import DaxLexer
        from pygments.token import Error

        lexer = DaxLexer()
        errors = [0]

        def pygments_lex(text: str):
            tokens = list(lexer.get_tokens(text))
            errors[0] += any(t in Error for t, _ in tokens)
            return tokens

        peers.append(("pygments DaxLexer get_tokens", pygments_lex, "lex", n.lex, expressions + queries, budget,
                      errors))
    except ImportError as exc:
        print(f"(Pygments' DaxLexer unavailable: {exc})")
    try:
        import pbi_parsers.dax as pbi

        peers.append(("pbi_parsers dax.Lexer(..).scan()", lambda t: pbi.Lexer(t).scan(), "lex", n.lex,
                      expressions + queries, budget, None))
        # Its parser takes expressions only: it rejects even "EVALUATE {1}".
        peers.append(("pbi_parsers dax.to_ast", pbi.to_ast, "parse_expression", n.parse_expression,
                      expressions, budget, None))
        try:
            query_ok = pbi.to_ast("EVALUATE {1}") is not None
        except Exception:
            query_ok = False
    except ImportError as exc:
        print(f"(pbi_parsers unavailable: {exc})")
        query_ok = None

    section(f"Peers, on the corpus files each accepts (files in a fixed random order, "
            f"up to {budget:.0f} s of peer time each)")
    rows = []
    notes = []
    for name, call, ours_name, ours, pool, peer_budget, errors in peers:
        files = list(pool)
        rng.shuffle(files)
        ok, spent, tried, rejected, timed_out = peer_run(call, files, peer_budget, per_file=min(20.0, peer_budget))
        both = accepted(ours, ok)
        dropped = len(ok) - len(both)
        if dropped:  # the peer's time on files ours rejects is left out
            keep = set(map(id, both))
            spent = 0.0
            for text in ok:
                if id(text) in keep:
                    start = time.perf_counter()
                    call(text)
                    spent += time.perf_counter() - start
        size = sum(utf8_len(t) for t in both)
        if not both:
            rows.append([name, f"{tried}/{len(pool)}", 0, "-", "-", "-", "-", "-"])
            continue
        our_time, _ = best_loop(ours, both)
        ratio = spent / our_time
        rows.append([name, f"{tried}/{len(pool)}", len(both), f"{size / 1e3:.1f}",
                     f"{size / 1e3 / spent:.1f}", f"{ours_name}", f"{size / MB / our_time:.1f}", f"{ratio:,.0f}x"])
        extra = f"{rejected} rejected, {timed_out} timed out"
        if errors is not None:
            extra += f", {errors[0]} produced Error tokens"
        if dropped:
            extra += f", {dropped} accepted by the peer but rejected by ours (left out)"
        notes.append(f"{name}: tried {tried} files, {extra}")
        floor = 10_000 if ours_name == "parse_expression" else 100
        if name.startswith("pbi_parsers"):
            goal(f"vs {name}: ours >= {floor:,}x faster", f"{ratio:,.0f}x", ratio >= floor)
    table(["peer", "tried/pool", "accepted", "KB", "peer KB/s", "ours", "ours MB/s", "ours faster by"], rows)
    for note in notes:
        print("  " + note)
    if query_ok is not None:
        print(f"  pbi_parsers to_ast on 'EVALUATE {{1}}': {'accepted' if query_ok else 'rejected'}; "
              "so its parser is compared on expressions/ files only")
    print()


# --- 6. The C++ benchmark ---------------------------------------------------

def build_cpp() -> pathlib.Path | None:
    sources = [CPP_SOURCE, *sorted((ROOT / "dax_parser" / "src").glob("*.cpp")),
               ROOT / "python-module" / "native" / "json_writer.cpp"]
    headers = [*(ROOT / "dax_parser").rglob("*.hpp"), *(ROOT / "dax_parser").rglob("*.inc"),
               ROOT / "python-module" / "native" / "json_writer.hpp"]
    compiler = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if not compiler:
        print("(no C++ compiler found: C++ benchmark skipped)")
        return None
    newest = max(p.stat().st_mtime for p in sources + headers)
    if CPP_BINARY.exists() and CPP_BINARY.stat().st_mtime >= newest:
        return CPP_BINARY
    CPP_BINARY.parent.mkdir(parents=True, exist_ok=True)
    command = [compiler, "-O2", "-std=c++20", f"-I{ROOT / 'dax_parser' / 'include'}",
               f"-I{ROOT / 'dax_parser' / 'src'}", f"-I{ROOT / 'python-module'}",
               *map(str, sources), "-o", str(CPP_BINARY)]
    print("(building the C++ benchmark: " + " ".join([command[0], *command[1:4], "..."]) + ")")
    if subprocess.run(command).returncode != 0:
        print("(the C++ benchmark did not build: skipped)")
        return None
    return CPP_BINARY


def run_cpp(binary: pathlib.Path, corpus: pathlib.Path, sizes: list[int]) -> None:
    section("C++ library alone, no Python (bench/bench_throughput.cpp, g++ -O2 -std=c++20)")
    proc = subprocess.run([str(binary), str(corpus), "--repeats", "5", "--sizes", ",".join(map(str, sizes))],
                          capture_output=True, text=True, check=True)
    print(proc.stdout)


# --- Main -------------------------------------------------------------------

def main() -> None:
    if len(sys.argv) == 5 and sys.argv[1] == "--child":
        child_main(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return
    if len(sys.argv) == 3 and sys.argv[1] == "--memory-manager":
        manager_main([int(mb) for mb in sys.argv[2].split(",")])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="skip the 100 MB inputs and the peers")
    parser.add_argument("--no-peers", action="store_true", help="skip the peers")
    parser.add_argument("--no-cpp", action="store_true", help="skip the C++ benchmark")
    parser.add_argument("--corpus", type=pathlib.Path, default=DEFAULT_CORPUS)
    parser.add_argument("--peer-budget", type=float, default=45.0,
                        help="seconds of peer time per peer (default 45)")
    args = parser.parse_args()
    sizes = [1, 10] if args.quick else [1, 10, 100]

    binary = None if args.no_cpp else build_cpp()
    import quarrow_dax

    print(f"quarrow_dax {getattr(quarrow_dax, '__version__', '?')}, Python {sys.version.split()[0]}, "
          f"{os.cpu_count()} CPUs ({os.sched_getaffinity(0).__len__()} usable), {cpu_model()}")
    print(f"load average at start: {load_average()}")
    print()
    started = time.perf_counter()

    bench_tiny()
    bench_corpus(args.corpus)
    bench_large(sizes)
    bench_memory(sizes)
    if not (args.quick or args.no_peers):
        bench_peers(args.corpus, args.peer_budget)
    if binary:
        run_cpp(binary, args.corpus, sizes)

    section("Goals")
    table(["goal", "measured", ""], [[name, measured, "ok" if ok else "SHORT"] for name, measured, ok in GOALS],
          "<<<")
    print(f"load average at end: {load_average()}; run took {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
