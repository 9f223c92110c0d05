"""Record what the command line prints over the shared corpus and models, or
compare a later run with a recording.

    python tools/compare_outputs.py record DIR     # before a change
    python tools/compare_outputs.py compare DIR    # after it: exit 1 on any difference

Each case is one command; its standard output, standard error and exit status
are kept byte for byte. Commands that write files (format, lint --fix) run on
copies made inside a temporary folder, and the rewritten files are compared too.
Paths in the output are the shared folders' own, so recordings made from two
checkouts beside each other compare equal.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SHARED = Path(os.environ.get("QUARROW_SHARED", ROOT.parent / "shared")).resolve()
CORPUS = "corpus"
MODELS = "models"

# (name, arguments); run in SHARED so that relative paths in the output are stable.
READ_ONLY: list[tuple[str, list[str]]] = [
    ("check-corpus", ["check", CORPUS]),
    ("check-corpus-json", ["check", "--format", "json", CORPUS]),
    ("check-corpus-strict", ["check", "--strict", CORPUS]),
    ("check-corpus-sarif", ["check", "--format", "sarif", CORPUS]),
    ("check-models", ["check", MODELS]),
    ("check-models-json", ["check", "--format", "json", MODELS]),
    ("check-models-github", ["check", "--format", "github", MODELS]),
    ("check-models-list", ["check", "--list", MODELS]),
    ("check-models-noresolve", ["check", "--no-resolve", MODELS]),
    ("lint-corpus", ["lint", CORPUS]),
    ("lint-corpus-json", ["lint", "--format", "json", CORPUS]),
    ("lint-models", ["lint", MODELS]),
    ("lint-models-json", ["lint", "--format", "json", MODELS]),
    ("lint-models-sarif", ["lint", "--format", "sarif", MODELS]),
    ("lint-models-diff", ["lint", "--diff", "--unsafe-fixes", MODELS]),
    ("lint-corpus-diff", ["lint", "--diff", "--unsafe-fixes", CORPUS]),
    ("format-corpus-diff", ["format", "--diff", CORPUS]),
    ("format-corpus-diff-narrow", ["format", "--diff", "--width", "40", "--indent", "2", CORPUS]),
    ("format-models-diff", ["format", "--diff", MODELS]),
    ("format-models-check", ["format", "--check", MODELS]),
    ("lex-one", ["lex", f"{CORPUS}/expressions/0001.dax"]),
    ("expr-one", ["expr", "--indent", "2", f"{CORPUS}/expressions/0001.dax"]),
    ("query-one", ["query", f"{CORPUS}/queries/0001.dax"]),
]


def model_paths() -> list[str]:
    found = []
    for kind in ("bim", "tmdl"):
        for entry in sorted((SHARED / MODELS / kind).iterdir()):
            found.append(f"{MODELS}/{kind}/{entry.name}")
    return found


def deps_cases() -> list[tuple[str, list[str]]]:
    cases = []
    for model in model_paths():
        tag = model.replace("/", "_")
        cases.append((f"deps-{tag}", ["deps", model]))
        cases.append((f"deps-{tag}-unused", ["deps", model, "--unused"]))
        cases.append((f"deps-{tag}-cycles", ["deps", model, "--cycles"]))
        cases.append((f"deps-{tag}-json", ["deps", model, "--format", "json"]))
        cases.append((f"deps-{tag}-mermaid", ["deps", model, "--format", "mermaid"]))
    cases.append(("deps-sales-margin-down", ["deps", "models/tmdl/ms-sales", "[Margin]", "--downstream", "--deep"]))
    cases.append(("deps-sales-margin-up", ["deps", "models/tmdl/ms-sales", "[Margin]", "--deep", "--format", "dot"]))
    return cases


def run(arguments: list[str], cwd: Path) -> dict[str, str]:
    done = subprocess.run(
        [sys.executable, "-m", "quarrow_dax", *arguments],
        cwd=cwd, capture_output=True, env={**os.environ, "COLUMNS": "80", "NO_COLOR": "1"},
    )
    return {
        "status": str(done.returncode),
        "stdout": done.stdout.decode("utf-8", "surrogateescape"),
        "stderr": done.stderr.decode("utf-8", "surrogateescape"),
    }


def tree_digest(folder: Path) -> dict[str, str]:
    return {
        str(path.relative_to(folder)): hashlib.sha256(path.read_bytes()).hexdigest()
        for path in sorted(folder.rglob("*")) if path.is_file()
    }


def rewriting_cases() -> dict[str, dict[str, object]]:
    """format and lint --fix on copies; the result is what they print and the files they leave."""
    results: dict[str, dict[str, object]] = {}
    for name, arguments in (
        ("format-in-place", ["format"]),
        ("lint-fix", ["lint", "--fix", "--unsafe-fixes"]),
    ):
        with tempfile.TemporaryDirectory() as temporary:
            work = Path(temporary)
            for folder in (CORPUS, MODELS):
                # Writable, as a user's working copy is: the shared files are
                # read-only, and format leaves read-only files alone.
                shutil.copytree(SHARED / folder, work / folder, copy_function=shutil.copyfile)
                for parent, _, _ in os.walk(work / folder):
                    os.chmod(parent, 0o755)
            printed = run([*arguments, CORPUS, MODELS], work)
            results[name] = {**printed, "files": tree_digest(work)}
    return results


def record_all() -> dict[str, object]:
    results: dict[str, object] = {}
    for name, arguments in READ_ONLY + deps_cases():
        results[name] = run(arguments, SHARED)
    results.update(rewriting_cases())
    return results


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("action", choices=("record", "compare"))
    parser.add_argument("folder", type=Path)
    args = parser.parse_args()
    results = record_all()
    recording = args.folder / "outputs.json"
    if args.action == "record":
        args.folder.mkdir(parents=True, exist_ok=True)
        recording.write_text(json.dumps(results, indent=1, sort_keys=True), encoding="utf-8")
        print(f"recorded {len(results)} cases in {recording}")
        return 0
    expected = json.loads(recording.read_text(encoding="utf-8"))
    differing = sorted(
        name for name in set(expected) | set(results) if expected.get(name) != results.get(name)
    )
    for name in differing:
        print(f"differs: {name}")
        before, after = expected.get(name, {}), results.get(name, {})
        for key in sorted(set(before) | set(after)):
            if before.get(key) != after.get(key):
                print(f"  {key}: before {str(before.get(key))[:300]!r}")
                print(f"  {key}: after  {str(after.get(key))[:300]!r}")
    if differing:
        print(f"{len(differing)} of {len(results)} cases differ")
        return 1
    print(f"same outputs: {len(results)} cases")
    return 0


if __name__ == "__main__":
    sys.exit(main())
