"""Stress run of the extension module, outside the quick test run:

  1. a million calls of each function per case (valid input, lex error,
     parse error, and every TypeError path), with resident memory growth
     under 1 MiB after warm-up;
  2. 8 threads calling all three functions at once, every result identical
     to a single-threaded run;
  3. 100 MB inputs (a table constructor, a DEFINE block, an operator chain),
     each parsed in a subprocess of its own, with peak memory reported as a
     multiple of the output's size;
  4. the deepest admitted nesting in a thread with a 256 KiB stack;
  5. re-import after removing the module from sys.modules.

    python tests/stress/stress.py [--quick]

Prints a table of figures per part and exits 1 if any check fails.
"""

import argparse
import importlib
import json
import os
import random
import resource
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import quarrow_dax
from quarrow_dax import lex, parse_expression, parse_query

ROOT = Path(__file__).resolve().parents[2]
PAGE = os.sysconf("SC_PAGE_SIZE")
MiB = 1024 * 1024
FUNCTIONS = {"lex": lex, "parse_expression": parse_expression, "parse_query": parse_query}
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print(f"  FAILED: {what}", flush=True)
    return condition


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def table(title, header, rows):
    print(f"\n{title}")
    widths = [max(len(str(x)) for x in column) for column in zip(header, *rows)]
    for i, row in enumerate([header, *rows]):
        print("  " + "  ".join(str(x).rjust(w) if j else str(x).ljust(w) for j, (x, w) in enumerate(zip(row, widths))))
        if i == 0:
            print("  " + "  ".join("-" * w for w in widths))
    sys.stdout.flush()


# --- 1. many calls ---------------------------------------------------------

EXPRESSION = "CALCULATE(SUM('Sales'[Amount]), 'Date'[Year] = 2024, KEEPFILTERS(\"é\" & [M]))"
QUERY = (ROOT / "examples" / "measures.dax").read_text(encoding="utf-8")


class Opaque:
    """A non-str argument whose type has an unusual qualified name."""


Opaque.__qualname__ = "Outer.<locals>.Opaque"


def call_cases(name):
    """(label, args, kwargs, exception expected or None) for one function."""
    valid = QUERY if name == "parse_query" else EXPRESSION
    return [
        ("valid", (valid,), {}, None),
        ("valid, keyword", (), {"input": valid}, None),
        ("lex error", ('"unterminated',), {}, ValueError),
        # `lex` has no parse errors: a second kind of lex error stands in.
        ("parse error", ("EVALUATE 1 +",), {}, ValueError) if name == "parse_query"
        else ("parse error", ("1 + (2",), {}, ValueError) if name == "parse_expression"
        else ("lex error, '#'", ("1 # 2",), {}, ValueError),
        ("lone surrogate", ("a\ud800",), {}, UnicodeEncodeError),
        ("no argument", (), {}, TypeError),
        ("two positionals", ("1", "2"), {}, TypeError),
        ("unknown keyword", (), {"text": "1"}, TypeError),
        ("input twice", ("1",), {"input": "1"}, TypeError),
        ("int", (1,), {}, TypeError),
        ("None", (None,), {}, TypeError),
        ("bytes", (b"1",), {}, TypeError),
        ("odd type name", (Opaque(),), {}, TypeError),
    ]


def run_calls(function, args, kwargs, expected, count):
    if expected is None:
        for _ in range(count):
            function(*args, **kwargs)
        return
    for _ in range(count):
        try:
            function(*args, **kwargs)
        except expected:
            pass
        else:
            raise AssertionError(f"{function.__name__}{args!r}: no {expected.__name__}")


def many_calls(count):
    warm_up = max(count // 20, 2000)
    rows = []
    for name, function in FUNCTIONS.items():
        cases = call_cases(name)
        for label, args, kwargs, expected in cases:
            run_calls(function, args, kwargs, expected, warm_up)
        total_before = rss()
        for label, args, kwargs, expected in cases:
            before = rss()
            start = time.perf_counter()
            run_calls(function, args, kwargs, expected, count)
            seconds = time.perf_counter() - start
            growth = rss() - before
            rows.append((name, label, f"{count:,}", f"{seconds * 1e9 / count:,.0f}", f"{growth / 1024:+,.0f}"))
            check(growth < MiB, f"{name} / {label}: resident memory grew by {growth} bytes")
        growth = rss() - total_before
        rows.append((name, "all cases", f"{count * len(cases):,}", "", f"{growth / 1024:+,.0f}"))
        check(growth < MiB, f"{name}: resident memory grew by {growth} bytes over all cases")
    table("1. Repeated calls (resident memory growth after warm-up; limit 1,024 KiB)",
          ("function", "case", "calls", "ns/call", "RSS KiB"), rows)


# --- 2. threads ------------------------------------------------------------


def thread_inputs():
    texts = [EXPRESSION, QUERY, '"open', "1 + ", "EVALUATE", "", "((((1))))", "{1, 2; 3}", "é + 'ü'[x]"]
    texts += [p.read_text(encoding="utf-8") for p in sorted((ROOT / "examples").glob("*.dax"))]
    corpus = ROOT.parent / "shared" / "corpus"
    if corpus.is_dir():
        texts += [p.read_text(encoding="utf-8") for p in sorted(corpus.rglob("*.dax"))]
    return texts


def outcome(function, text):
    try:
        return function(text)
    except ValueError as error:
        return ("error", type(error).__name__, str(error))


def threads(rounds, thread_count=8):
    texts = thread_inputs()
    expected = {(name, i): outcome(f, t) for name, f in FUNCTIONS.items() for i, t in enumerate(texts)}
    work = list(expected)
    mismatches = []
    calls = [0] * thread_count
    barrier = threading.Barrier(thread_count)

    def body(index):
        order = work[:]
        random.Random(index).shuffle(order)
        barrier.wait()
        for _ in range(rounds):
            for name, i in order:
                if outcome(FUNCTIONS[name], texts[i]) != expected[(name, i)]:
                    mismatches.append((index, name, i))
                calls[index] += 1

    workers = [threading.Thread(target=body, args=(i,)) for i in range(thread_count)]
    start = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    seconds = time.perf_counter() - start
    check(not mismatches, f"threads: {len(mismatches)} results differ from the single-threaded run")
    check(sum(calls) == thread_count * rounds * len(work), "threads: a thread stopped early")
    table("2. Concurrent calls (8 threads, all three functions)",
          ("inputs", "threads", "calls", "seconds", "differing results"),
          [(len(texts), thread_count, f"{sum(calls):,}", f"{seconds:.1f}", len(mismatches))])


# --- 3. large inputs -------------------------------------------------------

# Runs in a fresh interpreter so that ru_maxrss is this case's peak alone.
LARGE_CHILD = textwrap.dedent("""
    import json, resource, sys, time
    from quarrow_dax import parse_expression, parse_query
    kind, size = sys.argv[1], int(sys.argv[2])
    if kind == "table constructor":
        cell = "123456789, "
        text = "{" + cell * (size // len(cell)) + "0}"
        function, head = parse_expression, '{"TableConstructor":[[{"Number":"123456789"}],'
    elif kind == "DEFINE block":
        lines = []
        total = 0
        i = 0
        while total < size:
            line = f"    MEASURE 'Sales'[m{i}] = {i} + 1\\n"
            lines.append(line)
            total += len(line)
            i += 1
        text = "DEFINE\\n" + "".join(lines) + 'EVALUATE ROW("m", [m0])'
        del lines
        function, head = parse_query, '{"define":{"defs":[{"Measure":'
    else:
        term = "123456789 + "
        text = term * (size // len(term)) + "0"
        function, head = parse_expression, '{"Binary":{"op":"Add","left":{"Binary":'
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    start = time.perf_counter()
    result = function(text)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    ok = result.startswith(head) and result.endswith("}")
    print(json.dumps({"input": len(text), "output": len(result), "before": before, "peak": peak,
                      "seconds": seconds, "ok": ok}))
""")


def large_inputs(size):
    rows = []
    for kind in ("table constructor", "DEFINE block", "operator chain"):
        process = subprocess.run([sys.executable, "-c", LARGE_CHILD, kind, str(size)],
                                 capture_output=True, text=True)
        if not check(process.returncode == 0, f"large input '{kind}' failed: {process.stderr[-2000:]}"):
            continue
        r = json.loads(process.stdout)
        check(r["ok"], f"large input '{kind}': unexpected result")
        rows.append((kind, f"{r['input'] / MiB:,.1f}", f"{r['output'] / MiB:,.1f}", f"{r['seconds']:.2f}",
                     f"{r['peak'] / MiB:,.0f}", f"{r['peak'] / r['output']:.2f}",
                     f"{(r['peak'] - r['before']) / r['output']:.2f}"))
    table("3. Large inputs (each in its own process; peak = ru_maxrss, input and output str included)",
          ("input", "input MiB", "output MiB", "seconds", "peak MiB", "peak/output", "(peak-before)/output"),
          rows)


# --- 4. deepest nesting in a small stack --------------------------------------

# The parser admits 256 expression parses at once, the outermost included.
MAX_DEPTH = 255
# prefix, suffix, and how many expression levels one repetition opens.
NESTINGS = {
    "paren": ("(", ")", 1),
    "minus": ("- ", "", 1),
    "not": ("NOT ", "", 1),
    "pow": ("1^", "", 1),
    "call": ("F(", ")", 1),
    "table": ("{", "}", 1),
    "var": ("VAR x = 1 RETURN ", "", 1),
    # A parenthesis alone in a table cell opens no level of its own.
    "mixed": ("F({(- NOT 1^", ")})", 5),
}


def deep_nesting():
    rows = []
    for label, (prefix, suffix, per_repetition) in NESTINGS.items():
        depth = MAX_DEPTH // per_repetition
        deepest = prefix * depth + "1" + suffix * depth
        too_deep = prefix * (depth + 1) + "1" + suffix * (depth + 1)
        results = {}

        def body():
            results["expression"] = parse_expression(deepest)
            results["query"] = parse_query("EVALUATE " + deepest)
            results["tokens"] = lex(deepest)
            for function, text in ((parse_expression, too_deep), (parse_query, "EVALUATE " + too_deep)):
                try:
                    function(text)
                    results.setdefault("deeper", []).append("parsed")
                except ValueError as error:
                    results.setdefault("deeper", []).append(str(error))

        previous = threading.stack_size(256 * 1024)
        try:
            worker = threading.Thread(target=body)
            worker.start()
            worker.join()
        finally:
            threading.stack_size(previous)
        ok = check("expression" in results and "tokens" in results and "query" in results,
                   f"deep nesting '{label}' did not parse in a 256 KiB stack")
        deeper = results.get("deeper", [])
        ok &= check(len(deeper) == 2 and all("nesting too deep" in e for e in deeper),
                    f"deep nesting '{label}': one level more gave {deeper}")
        rows.append((label, depth * per_repetition, len(deepest),
                     "yes" if ok else "NO", deeper[0] if deeper else ""))
    table("4. Deepest admitted nesting in a thread with a 256 KiB stack",
          ("nesting", "levels", "bytes", "parsed", "one level deeper"), rows)


# --- 5. re-import ----------------------------------------------------------


def re_import(count):
    old_native = sys.modules["quarrow_dax._native"]
    old_function = old_native.parse_expression
    expected = parse_query(QUERY)
    new_objects = 0
    before = None
    for i in range(count):
        for name in [n for n in sys.modules if n == "quarrow_dax" or n.startswith("quarrow_dax.")]:
            del sys.modules[name]
        package = importlib.import_module("quarrow_dax")
        native = sys.modules["quarrow_dax._native"]
        new_objects += native is not old_native
        check(package.parse_query(QUERY) == expected, "re-import: the new module gives another result")
        check(package.lex is native.lex, "re-import: the package does not re-export the new module's lex")
        if i == min(10, count - 1):
            before = rss()
    growth = rss() - before
    check(old_function("1") == '{"Number":"1"}', "re-import: a function of the first module stopped working")
    check(sorted(native.__all__) == ["lex", "parse_expression", "parse_query"], "re-import: __all__ changed")
    table("5. Re-import after removing the modules from sys.modules",
          ("imports", "new module objects", "RSS KiB after the 10th", "old functions work"),
          [(count, new_objects, f"{growth / 1024:+,.0f}", "yes")])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller counts and 10 MB large inputs")
    args = parser.parse_args()
    quick = args.quick
    print(f"quarrow_dax from {quarrow_dax.__file__}; {'quick' if quick else 'full'} run")
    many_calls(20_000 if quick else 1_000_000)
    threads(2 if quick else 20)
    large_inputs(10 * 1000 * 1000 if quick else 100 * 1000 * 1000)
    deep_nesting()
    re_import(100 if quick else 1000)
    print()
    if failures:
        print(f"{len(failures)} check(s) failed:")
        for failure in failures:
            print(f"  {failure}")
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
