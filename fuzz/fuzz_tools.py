#!/usr/bin/env python3
"""Fuzzes the tools, not only the parser: DAX texts and small models, made
by hypothesis from real DAX and from fragments, go through check, lint,
lint --fix, format, references, deps and rename, and must keep these promises:

- nothing raises what its documentation does not name (a text that does not
  parse is a ParseError; a command exits 0, 1 or 2, never with a traceback);
- a tree, its tokens and its references copied, deep-copied or pickled keep
  every position and the source;
- the text that lint's fixes make, and the formatter's output, parse again
  as the same kind of text (in a model: every formula a command rewrote);
- every node the parser made passes its constructor's checks;
- a measure renamed and renamed back leaves every file as it was (but for
  the case of references that spelled its name in another case).

    python fuzz/fuzz_tools.py                 # 60 seconds
    python fuzz/fuzz_tools.py --seconds 20    # the CI smoke run
    python fuzz/fuzz_tools.py --replay build/fuzz/artifacts/tools-<sha1>.json

A broken promise is shrunk to a small input, saved under
build/fuzz/artifacts/ as tools-<sha1>.json (a text, or a model's files) and
the run exits 1; --replay runs the checks on such a file again. The
formatter's and the fixes' own refusals ("internal error", reported and the
file left alone) break no promise here; they are counted and printed.
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import dataclasses
import hashlib
import io
import json
import os
import pathlib
import pickle
import sys
import tempfile
import time
from typing import Any

from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

from quarrow_dax.check import CheckOptions, check_text, source_kind
from quarrow_dax.cli import main as cli_main
from quarrow_dax.formatter import FormatError, FormatOptions, format_text
from quarrow_dax.lint import lint_text
from quarrow_dax.lint.fixes import fix_text
from quarrow_dax.model import load_model
from quarrow_dax.references import references
from quarrow_dax.syntax import ParseError, parse_expression, parse_function, parse_query, tokenize

ROOT = pathlib.Path(__file__).resolve().parent.parent
SHARED = pathlib.Path(os.environ.get("QUARROW_SHARED", ROOT.parent / "shared"))
ARTIFACTS = ROOT / "build" / "fuzz" / "artifacts"

# --- what inputs are made of ---------------------------------------------------------

FRAGMENTS = [
    "VAR ", "x", " = ", "1", " RETURN ", "(", ")", ", ", "; ", "[Sales]", "'Date'[Date]", "Sales[Amount]",
    "SUM", "SUMX", "CALCULATE", "DIVIDE", "IF", "SWITCH", "TRUE ()", "BLANK ()", " + ", " - ", " * ", " / ",
    " & ", " && ", " || ", " IN ", " = ", " <> ", "{", "}", "-- c\n", "// c\n", "/* c */", "/// doc\n", '"s"',
    '""', "1,5", ".5", "1e3", "\n", " ", "\t", "é", "日本", "DEFINE ", "MEASURE ", "EVALUATE ", "ORDER BY ",
    "FUNCTION f = ( a ) => a", "COLUMN ", "TABLE ", "'It''s'", "[a]]b]", "@p", 'dt"2024-01-01"', "NOT ",
    "KEEPFILTERS", "ISBLANK", "0", "-", "\r\n", ",", "=", "0 * ", "+ 0",
]
NAMES = ["Sales", "sales", "Date", "Amount", "amount", "Total", "T 1", "It's", "x"]


def seed_texts() -> list[str]:
    texts: list[str] = []
    for folder in (SHARED / "corpus" / "expressions", SHARED / "corpus" / "queries", ROOT / "examples"):
        if folder.is_dir():
            texts += [path.read_text(encoding="utf-8", errors="replace") for path in sorted(folder.rglob("*.dax"))]
    texts = [text for text in texts if len(text) <= 4000]
    return texts or ["SUMX ( Sales, Sales[Qty] * [Price] ) -- total", "EVALUATE { 1 }"]


@st.composite
def texts(draw: Any, seeds: list[str]) -> str:
    """A real text with a few cuts and insertions, or a soup of fragments."""
    if draw(st.booleans()):
        return "".join(draw(st.lists(st.sampled_from(FRAGMENTS), max_size=40)))
    text = draw(st.sampled_from(seeds))
    for _ in range(draw(st.integers(0, 4))):
        at = draw(st.integers(0, len(text)))
        cut = draw(st.integers(0, 12))
        text = text[:at] + draw(st.sampled_from(["", *FRAGMENTS])) + text[at + cut:]
    return text


def _quoted(name: str) -> str:
    return name if name.isidentifier() else "'" + name.replace("'", "''") + "'"


def _block(text: str, tabs: int) -> str:
    return "".join("\t" * tabs + line + "\n" for line in text.split("\n"))


@st.composite
def models(draw: Any, seeds: list[str]) -> dict[str, str]:
    """The files of a small TMDL folder or .bim file: tables with measures,
    columns (some sorted by another, some named alike but for case),
    hierarchies, relationships and a role, all naming a few names."""
    formula = texts(seeds)
    tables = draw(st.lists(st.sampled_from(NAMES), min_size=1, max_size=3))
    bim = draw(st.booleans())
    structure: list[dict[str, Any]] = []
    for table in tables:
        structure.append({
            "name": table,
            "measures": [{"name": name, "expression": draw(formula)}
                         for name in draw(st.lists(st.sampled_from(NAMES), max_size=3))],
            "columns": [{"name": name, "sortByColumn": draw(st.sampled_from(["", *NAMES]))}
                        for name in draw(st.lists(st.sampled_from(NAMES), max_size=3))],
            "levels": draw(st.lists(st.sampled_from(NAMES), max_size=2)),
        })
    relationships = [(draw(st.sampled_from(NAMES)), draw(st.sampled_from(NAMES)), draw(st.sampled_from(NAMES)),
                      draw(st.sampled_from(NAMES))) for _ in range(draw(st.integers(0, 2)))]
    role = (draw(st.sampled_from(NAMES)), draw(formula)) if draw(st.booleans()) else None
    return _bim(structure, relationships, role) if bim else _tmdl(structure, relationships, role)


def _bim(structure: list[dict[str, Any]], relationships: list[tuple[str, ...]], role: Any) -> dict[str, str]:
    tables = []
    for table in structure:
        columns = []
        for column in table["columns"]:
            made = {"name": column["name"], "dataType": "string", "sourceColumn": column["name"]}
            if column["sortByColumn"]:
                made["sortByColumn"] = column["sortByColumn"]
            columns.append(made)
        hierarchies = [{"name": "H", "levels": [{"name": f"L{i}", "column": c} for i, c in enumerate(table["levels"])]}]
        tables.append({"name": table["name"], "columns": columns, "measures": table["measures"],
                       "hierarchies": hierarchies if table["levels"] else []})
    model: dict[str, Any] = {"tables": tables, "relationships": [
        {"name": f"r{i}", "fromTable": a, "fromColumn": b, "toTable": c, "toColumn": d}
        for i, (a, b, c, d) in enumerate(relationships)]}
    if role is not None:
        model["roles"] = [{"name": "R", "tablePermissions": [{"name": role[0], "filterExpression": role[1]}]}]
    return {"model.bim": json.dumps({"name": "M", "compatibilityLevel": 1600, "model": model}, indent=1)}


def _tmdl(structure: list[dict[str, Any]], relationships: list[tuple[str, ...]], role: Any) -> dict[str, str]:
    files = {"definition/model.tmdl": "model Model\n\tculture: en-US\n"}
    for number, table in enumerate(structure):
        lines = [f"table {_quoted(table['name'])}\n\n"]
        for measure in table["measures"]:
            lines.append(f"\tmeasure {_quoted(measure['name'])} =\n{_block(measure['expression'], 3)}\n")
        for column in table["columns"]:
            lines.append(f"\tcolumn {_quoted(column['name'])}\n\t\tdataType: string\n")
            if column["sortByColumn"]:
                lines.append(f"\t\tsortByColumn: {_quoted(column['sortByColumn'])}\n")
            lines.append("\n")
        if table["levels"]:
            lines.append("\thierarchy H\n")
            lines += [f"\t\tlevel L{i}\n\t\t\tcolumn: {_quoted(c)}\n" for i, c in enumerate(table["levels"])]
        files[f"definition/tables/t{number}.tmdl"] = "".join(lines)
    files["definition/relationships.tmdl"] = "".join(
        f"relationship r{i}\n\tfromColumn: {_quoted(a)}.{_quoted(b)}\n\ttoColumn: {_quoted(c)}.{_quoted(d)}\n\n"
        for i, (a, b, c, d) in enumerate(relationships))
    if role is not None:
        files["definition/roles/R.tmdl"] = (f"role R\n\tmodelPermission: read\n\n\ttablePermission {_quoted(role[0])} ="
                                            f"\n{_block(role[1], 3)}")
    return files


# --- the promises ----------------------------------------------------------------------


class Broken(AssertionError):
    """A promise the tools did not keep."""


class Tally:
    refusals = 0  # the formatter's and the fixes' own refusals, reported and left alone
    texts = 0
    models = 0
    renames = 0  # measures renamed and renamed back


def _parse(text: str, kind: str) -> Any:
    return {"query": parse_query, "expression": parse_expression, "function": parse_function}[kind](text)


def _positions(tree: Any) -> list[tuple[str, Any, str]]:
    return [(type(node).__name__, node.span, node.text) for node, _ in tree.walk()]


def check_copies(tree: Any, text: str) -> None:
    expected = _positions(tree)
    for how, make in (("copy", copy.copy), ("deepcopy", copy.deepcopy),
                      ("pickle", lambda obj: pickle.loads(pickle.dumps(obj)))):
        copied = make(tree)
        if copied != tree or _positions(copied) != expected:
            raise Broken(f"{how} of the tree lost a position or a node")
    tokens = tokenize(text, comments=True)
    for token in tokens:
        for copied in (copy.copy(token), pickle.loads(pickle.dumps(token))):
            if (copied.kind, copied.span, copied.text) != (token.kind, token.span, token.text):
                raise Broken(f"a copied token lost its place: {token!r}")
    for ref in references(tree):
        copied = pickle.loads(pickle.dumps(ref))
        if (copied, copied.span, copied.text) != (ref, ref.span, ref.text):
            raise Broken(f"a pickled reference lost its place: {ref!r}")
    for node, _ in tree.walk():
        if dataclasses.replace(node) != node:  # the constructor's checks accept what the parser made
            raise Broken(f"{type(node).__name__} built again differs")


def check_text_through_tools(text: str) -> None:
    Tally.texts += 1
    options = CheckOptions()
    kind = source_kind(text, options)
    check_text("<fuzz>", text, options)
    try:
        tree = _parse(text, kind)
    except ParseError:
        tree = None
    if tree is not None:
        check_copies(tree, text)
    lint_text(text)
    fixed = fix_text(text, unsafe=True)
    Tally.refusals += len(fixed.refused)
    if tree is not None and fixed.text != text:
        try:
            _parse(fixed.text, kind)
        except ParseError as error:
            raise Broken(f"the fixed text does not parse: {error}\n--- fixed text:\n{fixed.text}") from None
    if tree is not None:
        try:
            formatted = format_text(text, kind, FormatOptions())
        except (FormatError, ParseError):  # its own refusal, or `;` where it would write `,` (SeparatorError)
            Tally.refusals += 1
        else:
            try:
                _parse(formatted, kind)
            except ParseError as error:
                raise Broken(f"the formatted text does not parse: {error}\n--- formatted:\n{formatted}") from None


def _cli(*argv: str) -> tuple[int, str]:
    """Runs the command line in this process: its exit status and output."""
    out = io.TextIOWrapper(io.BytesIO(), encoding="utf-8")
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
        try:
            status = cli_main(list(argv))
        except SystemExit as exit_:
            status = exit_.code if isinstance(exit_.code, int) else 2
    out.flush()
    text = out.buffer.getvalue().decode("utf-8", "replace")  # type: ignore[attr-defined]
    if status not in (0, 1, 2):
        raise Broken(f"`quarrow-dax {' '.join(argv)}` exited {status}:\n{text}")
    return status, text


def _formula_texts(path: str) -> list[tuple[str, str, bool]]:
    """(kind, text, parses) of every formula of the model, in file order."""
    found = []
    for formula in load_model(path, [], []).formulas:
        kind = "function" if formula.kind == "function" else "expression"
        try:
            _parse(formula.text, kind)
            parses = True
        except ParseError:
            parses = False
        found.append((kind, formula.text, parses))
    return found


def check_model_through_tools(files: dict[str, str]) -> None:
    Tally.models += 1
    with tempfile.TemporaryDirectory(prefix="fuzz-model-") as folder:
        root = pathlib.Path(folder) / "M.SemanticModel"
        for name, text in files.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_text(text, encoding="utf-8")
        path = str(root / "model.bim") if "model.bim" in files else str(root)
        for argv in (["check"], ["check", "--format", "json"], ["lint"], ["lint", "--diff", "--unsafe-fixes"],
                     ["format", "--check"], ["deps"], ["deps", "--unused"], ["deps", "--cycles"],
                     ["deps", "--deep", "--downstream", "[Total]"]):
            _cli(*argv, path)
        check_rename(root, path)
        for argv in (["format"], ["lint", "--fix", "--unsafe-fixes"]):
            before = _formula_texts(path)
            status, output = _cli(*argv, path)
            Tally.refusals += output.count("internal error")
            after = _formula_texts(path)
            if len(after) != len(before):
                raise Broken(f"`{' '.join(argv)}` changed the number of formulas: {len(before)} -> {len(after)}")
            for (kind, old, _), (_, new, parses) in zip(before, after):
                if new != old and not parses:
                    raise Broken(f"`{' '.join(argv)}` wrote a formula that does not parse:\n{new}")


def _file_texts(root: pathlib.Path) -> dict[str, str]:
    return {str(path.relative_to(root)): path.read_text(encoding="utf-8")
            for path in sorted(root.rglob("*")) if path.is_file()}


def check_rename(root: pathlib.Path, path: str) -> None:
    """Each measure renamed and renamed back: every byte as it was, but for
    the case of references that spelled the name in another case (they are
    written as the name is declared)."""
    try:
        model = load_model(path, [], [])
    except Exception:  # what keeps the model from being read is check's to report
        return
    if model.duplicates:
        return  # a name declared twice: renaming one away is right, and back is refused
    # rename keeps a measure's name apart from every column's, as Power BI
    # Desktop does; a model that already shares one could not take it back.
    columns = {column.casefold() for table in model.tables.values() for column in table.columns}
    for table in list(model.tables.values())[:2]:
        for measure in list(table.measures.values())[:2]:
            if measure.name.casefold() in columns:
                continue
            before = _file_texts(root)
            status, output = _cli("rename", "--kind", "measure", path, f"[{measure.name}]", "Fuzz Renamed")
            if status != 0:
                continue
            if _file_texts(root) == before:
                raise Broken(f"rename [{measure.name}] said it renamed and changed nothing:\n{output}")
            status, output = _cli("rename", "--kind", "measure", path, "[Fuzz Renamed]", measure.name)
            if status != 0:
                raise Broken(f"[{measure.name}] renamed could not be renamed back:\n{output}")
            Tally.renames += 1
            after = _file_texts(root)
            if {k: v.casefold() for k, v in after.items()} != {k: v.casefold() for k, v in before.items()}:
                raise Broken(f"rename [{measure.name}] and back changed the files:\n{after}\n--- before:\n{before}")
            if after != before:  # restore the exact bytes for the next rename
                for name, text in before.items():
                    (root / name).write_text(text, encoding="utf-8")


# --- running ----------------------------------------------------------------------------


def _save(kind: str, value: Any) -> pathlib.Path:
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    data = json.dumps({"kind": kind, "input": value}, ensure_ascii=False, indent=1)
    path = ARTIFACTS / f"tools-{hashlib.sha1(data.encode('utf-8')).hexdigest()}.json"
    path.write_text(data, encoding="utf-8")
    return path


def replay(path: pathlib.Path) -> int:
    saved = json.loads(path.read_text(encoding="utf-8"))
    (check_text_through_tools if saved["kind"] == "text" else check_model_through_tools)(saved["input"])
    print(f"{path}: every promise kept")
    return 0


def run(seconds: float) -> int:
    seeds = seed_texts()
    deadline = time.monotonic() + seconds
    last: dict[str, Any] = {}

    def text_case(text: str) -> None:
        last.update(kind="text", input=text)
        check_text_through_tools(text)

    def model_case(files: dict[str, str]) -> None:
        last.update(kind="model", input=files)
        check_model_through_tools(files)

    batch = settings(max_examples=25, deadline=None, database=None, phases=[Phase.generate, Phase.shrink],
                     suppress_health_check=list(HealthCheck), print_blob=False)
    cases = [batch(given(texts(seeds))(text_case)), batch(given(models(seeds))(model_case))]
    rounds = 0
    while time.monotonic() < deadline:
        case = cases[rounds % 3 == 2]  # two batches of texts to one of models
        rounds += 1
        try:
            case()
        except Exception as error:  # a broken promise, or whatever the tools raised: shrunk already
            saved = _save(last["kind"], last["input"])
            print(f"FAILED: {type(error).__name__}: {error}\ninput saved as {saved} (replay: {sys.argv[0]} --replay"
                  f" {saved})", file=sys.stderr)
            return 1
    print(f"fuzz_tools: {Tally.texts} texts and {Tally.models} models through the tools in {seconds:.0f} s"
          f" ({Tally.renames} measures renamed and back), every promise kept ({Tally.refusals} refusals reported by the tools themselves)")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0, help="how long to fuzz (default 60)")
    parser.add_argument("--replay", type=pathlib.Path, help="run the checks on one saved input")
    args = parser.parse_args()
    if args.replay is not None:
        return replay(args.replay)
    return run(args.seconds)


if __name__ == "__main__":
    sys.exit(main())
