"""Lints the shared corpus and models and prints the findings per rule, to
judge the rules on real DAX: how often each fires, and (with --show) what
it fires on.

    python tools/lint_findings.py                       # counts per rule
    python tools/lint_findings.py --show DAX101 --limit 20
    python tools/lint_findings.py --show all --sample 40 --seed 1

Corpus files under expressions/ are read as expressions and those under
queries/ as queries; models are every model under the models folder.
Files that do not parse (the corpus keeps a few on purpose) are counted
apart. The last column counts the findings with a fix: safe ones / those to
review (`--unsafe-fixes`). Models are linted with their names looked up, so
the rules that need a model (DAX001, DAX201, DAX202) fire on models only.
Run from the repository's top folder against the installed package.
"""

from __future__ import annotations

import argparse
import collections
import pathlib
import random
import sys

from quarrow_dax.check import CheckOptions, collect_inputs
from quarrow_dax.diagnostics import Diagnostic
from quarrow_dax.lint import CATALOGUE, Finding, lint_file, lint_model

HERE = pathlib.Path(__file__).resolve().parent.parent
SHARED = HERE.parent / "shared"


def corpus_findings(corpus: pathlib.Path) -> list[tuple[str, Diagnostic]]:
    found = []
    for folder, mode in (("expressions", "expr"), ("queries", "query")):
        options = CheckOptions(mode=mode)
        for path in sorted((corpus / folder).glob("*.dax")):
            found += [(f"corpus/{folder}", d) for d in lint_file(str(path), options)]
    return found


def model_findings(models: pathlib.Path) -> list[tuple[str, Diagnostic]]:
    found = []
    for model in collect_inputs([str(models)]).models:
        found += [("models", d) for d in lint_model(model)]
    return found


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=pathlib.Path, default=SHARED / "corpus")
    parser.add_argument("--models", type=pathlib.Path, default=SHARED / "models")
    parser.add_argument("--show", metavar="CODE", help="print the findings of this rule (or all)")
    parser.add_argument("--limit", type=int, default=0, help="print at most this many (0: all)")
    parser.add_argument("--sample", type=int, default=0, help="print this many chosen at random")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)

    found = corpus_findings(args.corpus) + model_findings(args.models)
    sources = ["corpus/expressions", "corpus/queries", "models"]
    table: dict[str, collections.Counter[str]] = collections.defaultdict(collections.Counter)
    for source, diagnostic in found:
        table[diagnostic.code][source] += 1
        fix = diagnostic.fix if isinstance(diagnostic, Finding) else None
        if fix is not None:
            table[diagnostic.code]["safe" if fix.safe else "unsafe"] += 1
    print(f"{'code':8} {'name':28} " + " ".join(f"{s:>20}" for s in sources) + f" {'total':>7} {'fixes safe / review':>20}")
    codes = list(CATALOGUE) + sorted(code for code in table if code not in CATALOGUE)
    for code in codes:
        name = CATALOGUE[code].name if code in CATALOGUE else "(reading and parsing)"
        counts = table.get(code, collections.Counter())
        fixes = f"{counts['safe']} / {counts['unsafe']}" if counts["safe"] or counts["unsafe"] else ""
        print(f"{code:8} {name:28} " + " ".join(f"{counts[s]:>20}" for s in sources)
              + f" {sum(counts[s] for s in sources):>7} {fixes:>20}")

    if args.show:
        chosen = [(s, d) for s, d in found if args.show.lower() == "all" or d.code == args.show.upper()]
        if args.sample:
            chosen = random.Random(args.seed).sample(chosen, min(args.sample, len(chosen)))
        if args.limit:
            chosen = chosen[: args.limit]
        for _, diagnostic in chosen:
            print()
            print(diagnostic.render())
    return 0


if __name__ == "__main__":
    sys.exit(main())
