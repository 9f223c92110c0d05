"""Comments anywhere: a comment of each kind put at every token boundary of
the corpus formulas must format to text that reads as the same tree, keeps
every comment in order, and formats to itself.

The test runs on a fixed sample of the corpus; the whole corpus is run by
hand, which prints the figures:

    python tests/test_format_comments.py [--every N] [--offset K]
"""

from __future__ import annotations

import argparse
import collections
import sys
import time
from pathlib import Path

import pytest

import quarrow_dax
from quarrow_dax import syntax as S
from quarrow_dax.formatter import FormatError, same_tree

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"

# What is put at a boundary, by kind ({n} numbers the comment). A comment
# that runs to the end of its line brings its line break; the "own line"
# kinds stand on a line of their own; the last two are two kinds in a row.
INSERTIONS = {
    "--": " -- c{n}\n",
    "//": " // c{n}\n",
    "/* */": " /* c{n} */ ",
    "///": " /// c{n}\n",
    "own line --": "\n-- c{n}\n",
    "own line /* */": "\n/* c{n} */\n",
    "-- then /* */": " -- a{n}\n/* b{n} */ ",
    "/* */ then --": " /* b{n} */ -- a{n}\n",
}
_LINE_COMMENTS = ("LineComment", "DocComment")


def comment_texts(text: str) -> list[str]:
    return [token.text if token.kind == "BlockComment" else token.text.rstrip()
            for token in S.tokenize(text) if token.is_comment]


def parse(text: str, kind: str) -> S.Node:
    return S.parse_query(text) if kind == "query" else S.parse_expression(text)


def boundaries(text: str) -> list[tuple[int, str]]:
    """Where a comment can go, as (byte offset, what must come first):
    before the first token and after each token (after a line comment, on
    the line after it)."""
    tokens = [token for token in S.tokenize(text) if token.kind != "Eof"]
    return [(0, "")] + [(token.span.end, "\n" if token.kind in _LINE_COMMENTS else "") for token in tokens]


def with_comment(text: str, offset: int, insertion: str) -> str:
    data = text.encode("utf-8")
    return (data[:offset] + insertion.encode("utf-8") + data[offset:]).decode("utf-8")


def problem(text: str, kind: str) -> str | None:
    """What goes wrong formatting `text` (a text that parses), or None."""
    try:
        result = quarrow_dax.format(text, kind=kind)
    except FormatError as error:
        return f"refused: {error.problem}"
    if not same_tree(parse(result, kind), parse(text, kind)):
        return "another tree"
    if comment_texts(result) != comment_texts(text):
        return "comments lost or reordered"
    if quarrow_dax.format(result, kind=kind) != result:
        return "a second run changes it"
    return None


def cases(path: Path, every_boundary: int = 1):
    """(kind of insertion, text) for the corpus file `path`: each insertion
    at every `every_boundary`-th boundary, where the text still parses."""
    text = path.read_text(encoding="utf-8")
    kind = "query" if path.parent.name == "queries" else "expression"
    if S.first_error(text, kind=kind) is not None:
        return kind, []
    found = []
    for number, (offset, first) in enumerate(boundaries(text)[::every_boundary]):
        for name, insertion in INSERTIONS.items():
            candidate = with_comment(text, offset, first + insertion.format(n=number))
            if S.first_error(candidate, kind=kind) is None:
                found.append((name, candidate))
    return kind, found


def corpus_files() -> list[Path]:
    return sorted(CORPUS.glob("*/*.dax")) if CORPUS.is_dir() else []


@pytest.mark.parametrize("text, kind", [
    ("1 + /// x\n2", "expression"),
    ("1 + -- a\n/* b */ 2", "expression"),
    ("1 + /* b */ -- a\n2", "expression"),
    ("f(1, -- a\n2 /* b */, /* c */ 3)", "expression"),
    ("VAR v /* c */ = -- d\n1 RETURN v", "expression"),
    ("BLANK -- a\n/* b */ ()  // c\n", "expression"),
    ("VAR x =\nF /* c */ ()\n\nRETURN x", "expression"),
    ("DEFINE MEASURE /* a */ T /* b */ [m] = 1 EVALUATE {1}", "query"),
    ("1 +\n-- a\n2", "expression"),
    # a trailing comment that cannot trail its line, before a definition
    ("EVALUATE F -- a\n() // b\nEVALUATE {2}", "query"),
    ("EVALUATE F -- a\n() // b\n// c\nEVALUATE {2}", "query"),
    ("EVALUATE F -- a\n() // b\n\n// c\nEVALUATE {2}", "query"),
    ("DEFINE MEASURE T[m] = F -- a\n() // b\nMEASURE T[n] = 1 EVALUATE {1}", "query"),
    # a value after its name and an inline comment, too wide for the name's line as one piece
    ('ROW("Actual", /* c */  IF(ISBLANK(_ActualResult), "NULL", IF(EXACT(_ActualResult, ""), '
     '"BLANK (empty string)", "HAS VALUE")), "Passed", _Passed)', "expression"),
    # an inline comment after a value, before the closing parenthesis, trails the value's line
    ('VAR s = ADDCOLUMNS(ScaledNumbers, "FinalValue", IF(NOT ISBLANK(ReturnAsInteger) && ReturnAsInteger, '
     'TRUNC([ScaledValue]), [ScaledValue]) /* c56 */ ) RETURN s', "expression"),
])
def test_reproducers(text, kind):
    assert problem(text, kind) is None


@pytest.mark.parametrize("text", [
    "EVALUATE { (1), /// c\n (2), (3) }",
    "EVALUATE { /// c\n (1), (2) }",
    "EVALUATE { (1), (2), /// c\n (3) }\n",
    "EVALUATE { /// c\n ((1)), 2 }",
    "EVALUATE { 1, /* a */ /// c\n /* b */ (2) }",
    "EVALUATE { (1), //// c\n (2), /// d\n (3) }",
    "EVALUATE { /// c\n (1, 2), (3) }",
    "EVALUATE { ( /// c\n1, \"A\"), (2, \"B\") }",  # inside a row's parentheses
    "EVALUATE { (1), ( /// c\n(2), 3) }",
])
def test_a_doc_comment_the_grammars_read_apart_keeps_both_trees(text):
    """Before a parenthesised row, `///` is a doc comment to the standard
    grammar, which then reads a parenthesis where the engine reads a row:
    the result reads as the input under both grammars, under either grammar
    asked for, and formats to itself."""
    for asked in ("engine", "standard"):
        try:
            S.parse_query(text, grammar=asked)
        except S.ParseError:
            continue
        result = quarrow_dax.format(text, kind="query", grammar=asked)
        for grammar in ("engine", "standard"):
            try:
                expected = S.parse_query(text, grammar=grammar)
            except S.ParseError:
                continue
            assert same_tree(S.parse_query(result, grammar=grammar), expected), (asked, grammar, result)
        assert quarrow_dax.format(result, kind="query", grammar=asked) == result


def test_a_text_only_the_standard_grammar_reads_is_a_parse_error_under_the_engines():
    """`(1) + 2` in a row reads as a value only after a `///` doc comment:
    asked for the engine grammar, the input's own error, not an internal one."""
    text = "EVALUATE { /// c\n (1) + 2 }"
    with pytest.raises(S.ParseError) as info:
        quarrow_dax.format(text, kind="query", grammar="engine")
    assert not isinstance(info.value, FormatError) and "expected `}`" in str(info.value)
    assert quarrow_dax.format(text, kind="query", grammar="standard") == "EVALUATE\n{ /// c\n    ( 1 ) + 2\n}"


@pytest.mark.parametrize("text, kind, expected", [
    # between the words of a definition, each comment stays between the same two words
    ("DEFINE MEASURE /* a */ T /* b */ [m] = 1 EVALUATE {1}", "query",
     "DEFINE\n    MEASURE /* a */ T /* b */ [m] = 1\n\nEVALUATE\n{ 1 }"),
    ("DEFINE MEASURE /* a */ 'Sales Table' /* b */ [A measure with a long name] = SUMX ( 'Sales Table', "
     "'Sales Table'[Quantity] * 'Sales Table'[Price] ) EVALUATE {1}", "query",
     "DEFINE\n    MEASURE /* a */ 'Sales Table' /* b */ [A measure with a long name] =\n"
     "        SUMX ( 'Sales Table', 'Sales Table'[Quantity] * 'Sales Table'[Price] )\n\nEVALUATE\n{ 1 }"),
    # two kinds in a row: the line comment ends its line, the block comment starts the next
    ("1 + -- a\n/* b */ 2", "expression", "1\n    + -- a\n    /* b */ 2"),
    ("f(1, -- a\n2 /* b */, /* c */ 3)", "expression", "f (\n    1, -- a\n    2 /* b */,\n    /* c */ 3\n)"),
    ("VAR v /* c */ = -- d\n1 RETURN v", "expression", "VAR v /* c */ = -- d\n    1\nRETURN\n    v"),
    # no space left stranded after the operator when its line comment moves to the line's end
    ("[Sales Amount] +   -- a\n[Cost]", "expression", "[Sales Amount] + [Cost] -- a"),
    ('[a] + /* c */ [b] & "x" & /* d */ [c]', "expression", '[a] + /* c */ [b] & "x" & /* d */ [c]'),
    # a pair's value starts on its name's line after an inline comment, however the source was spaced
    ('ROW("Actual", /* c */ IF(ISBLANK(_ActualResult), "NULL", IF(EXACT(_ActualResult, ""), '
     '"BLANK (empty string)", "HAS VALUE")), "Passed", _Passed)', "expression",
     'ROW (\n    "Actual", /* c */ IF (\n        ISBLANK ( _ActualResult ),\n        "NULL",\n'
     '        IF ( EXACT ( _ActualResult, "" ), "BLANK (empty string)", "HAS VALUE" )\n    ),\n'
     '    "Passed", _Passed\n)'),
    # a comment that only a line break follows counts for nothing where the value is placed
    *[('ADDCOLUMNS(ScaledNumbers, "FinalValue", IF(NOT ISBLANK(ReturnAsInteger) && ReturnAsInteger, '
       'TRUNC([ScaledValue]), [ScaledValue]) ' + comment + ' )', "expression",
       'ADDCOLUMNS (\n    ScaledNumbers,\n    "FinalValue", IF ( NOT ISBLANK ( ReturnAsInteger ) && ReturnAsInteger, '
       'TRUNC ( [ScaledValue] ), [ScaledValue] ) ' + comment.strip() + '\n)') for comment in ("/* c56 */", "-- c56\n")],
])
def test_comments_stay_by_their_code(text, kind, expected):
    assert quarrow_dax.format(text, kind=kind) == expected
    assert quarrow_dax.format(expected, kind=kind) == expected


@pytest.mark.skipif(not CORPUS.is_dir(), reason=f"corpus folder not found: {CORPUS}")
def test_a_comment_at_every_boundary_of_a_corpus_sample():
    """Every 60th file, every 5th boundary of it: a few thousand texts."""
    tried = 0
    failures = []
    for path in corpus_files()[::60]:
        kind, found = cases(path, every_boundary=5)
        for name, text in found:
            tried += 1
            trouble = problem(text, kind)
            if trouble is not None:
                failures.append((path.name, name, trouble, text))
    assert tried > 1500
    assert failures == []


def main() -> int:
    parser = argparse.ArgumentParser(description="Comments at every token boundary of the corpus formulas.")
    parser.add_argument("--every", type=int, default=1, help="every N-th file (default: all)")
    parser.add_argument("--offset", type=int, default=0, help="starting with the N-th file (default: the first)")
    args = parser.parse_args()
    started = time.perf_counter()
    tried = collections.Counter()
    failed: collections.Counter[tuple[str, str]] = collections.Counter()
    examples: dict[tuple[str, str], str] = {}
    files = 0
    for path in corpus_files()[args.offset :: args.every]:
        kind, found = cases(path)
        files += bool(found)
        for name, text in found:
            tried[name] += 1
            trouble = problem(text, kind)
            if trouble is not None:
                failed[name, trouble] += 1
                examples.setdefault((name, trouble), f"{path}: {text!r}"[:400])
    print(f"{files} corpus formulas, {sum(tried.values())} texts with a comment put in, "
          f"{time.perf_counter() - started:.0f} s")
    for name in INSERTIONS:
        print(f"  {name:16} {tried[name]:7} tried, {sum(n for (k, _), n in failed.items() if k == name)} failed")
    for (name, trouble), count in failed.most_common():
        print(f"{count:6}  {name}: {trouble}\n        e.g. {examples[name, trouble]}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
