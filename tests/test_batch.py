"""quarrow_dax.batch against the one-text functions it must agree with: every
corpus text checked in bulk gives what first_error and check give it, its
references what references() gives, its findings what lint_text gives; the
inputs it takes, nulls, chunks and slices, and the inputs it refuses."""

from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")

from quarrow_dax import batch  # noqa: E402
from quarrow_dax.diagnostics import Diagnostic  # noqa: E402
from quarrow_dax.lint import lint_text  # noqa: E402
from quarrow_dax.references import references  # noqa: E402
from quarrow_dax.syntax import first_error  # noqa: E402

CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"
needs_corpus = pytest.mark.skipif(not CORPUS.is_dir(), reason=f"corpus folder not found: {CORPUS}")


def corpus_texts(folder):
    return [path.read_text(encoding="utf-8") for path in sorted((CORPUS / folder).glob("*.dax"))]


# Texts that fail in every way the positions can go wrong: at the end after
# line breaks (moved back, as check shows it), inside non-ASCII lines, on
# later lines, lexically and syntactically; and texts that parse.
EDGE_TEXTS = [
    "SUM ( Sales[Amount] )", "1 +", "1 +\n\n  \n", "\"é\" &\n  ]", "x\n\n", "", "  ", "'unterminated",
    "CALCULATE ( [m], 'Date'[Year] = 2024 ,", "/* never closed", "VAR a = 1 RETURN", "日本 + [売上] ]",
    "1 +\r\n\r\n", "EVALUATE ROW ( \"a\", 1 )", "IF ( [Sales] = BLANK (), 0, [Margin] / [Sales] )",
]


def expected_check(text, kind, grammar="engine", separators="comma"):
    """The row check would give one text: from first_error and the
    diagnostic check builds of it."""
    error = first_error(text, kind=kind, grammar=grammar, separators=separators)
    if error is None:
        return {"ok": True, "code": None, "message": None, "line": None, "column": None}
    diagnostic = Diagnostic.from_error(error, text)
    return {"ok": False, "code": diagnostic.code, "message": diagnostic.message, "line": diagnostic.line,
            "column": diagnostic.column}


def rows_without_index(table):
    return [{key: value for key, value in row.items() if key != "index"} for row in table.to_pylist()]


# --- check ---------------------------------------------------------------------


@needs_corpus
@pytest.mark.parametrize("folder, kind", [("expressions", "expression"), ("queries", "query"),
                                          ("queries", "expression"), ("expressions", "query")])
def test_check_agrees_with_first_error_over_the_corpus(folder, kind):
    texts = corpus_texts(folder) + EDGE_TEXTS
    table = batch.check(texts, kind=kind, threads=2)
    assert table.column_names == list(batch.CHECK_COLUMNS)
    assert table.column("index").to_pylist() == list(range(len(texts)))
    assert rows_without_index(table) == [expected_check(text, kind) for text in texts]


@pytest.mark.parametrize("grammar, separators", [("standard", "comma"), ("engine", "semicolon"),
                                                 ("standard", "semicolon")])
def test_check_follows_grammar_and_separators(grammar, separators):
    texts = EDGE_TEXTS + ["ROUND ( 1,5; 0 )", "ROUND ( 1.5, 0 )", "f ( 1, , 2 )", "dt\"2024-01-01\""]
    table = batch.check(texts, grammar=grammar, separators=separators, threads=3)
    assert rows_without_index(table) == [expected_check(text, "expression", grammar, separators) for text in texts]


# Pieces whose places a line and column can get wrong: characters of two,
# three and four bytes (one column each), line ends of every kind, tabs.
_PIECES = ["1", "+", " ", "\t", "\n", "\r\n", "\r", "é", "日本", "😀", "\"a😀\"", "[m]", "'T é'[c]", "(",
           ")", ",", ";", "--x\n", "/*😀*/", "VAR", "RETURN", "EVALUATE", "\u2028", "\u0085"]


@settings(max_examples=150, deadline=None)
@given(st.lists(st.lists(st.sampled_from(_PIECES), max_size=14).map("".join), min_size=1, max_size=12),
       st.sampled_from(["expression", "query"]))
def test_check_places_errors_as_first_error_does_in_any_text(texts, kind):
    table = batch.check(texts, kind=kind, threads=2)
    assert rows_without_index(table) == [expected_check(text, kind) for text in texts]


def test_threads_do_not_change_the_result():
    texts = EDGE_TEXTS * 40
    one = batch.check(texts, threads=1)
    assert batch.check(texts, threads=4).equals(one)
    assert batch.check(texts).equals(one)


# --- what texts are ------------------------------------------------------------


def test_nulls_give_null_rows_in_every_input_form():
    values = ["1 +", None, "2"]
    expected = [{"index": 0, "ok": False, "code": "E002", "message": "unexpected end of input", "line": 1,
                 "column": 4},
                {"index": 1, "ok": None, "code": None, "message": None, "line": None, "column": None},
                {"index": 2, "ok": True, "code": None, "message": None, "line": None, "column": None}]
    for texts in (values, tuple(values), iter(values), pd.Series(values), pd.Series(["1 +", float("nan"), "2"]),
                  pa.array(values), pa.array(values, pa.large_string()), pa.chunked_array([["1 +"], [None, "2"]]),
                  pa.array(["x", "1 +", None, "2"]).slice(1)):
        assert batch.check(texts).to_pylist() == expected, type(texts)


def test_chunks_and_slices_number_the_texts_from_the_first():
    texts = pa.chunked_array([["1", "2 +"], [], ["3 +", None]])
    table = batch.check(texts)
    assert table.column("index").to_pylist() == [0, 1, 2, 3]
    assert table.column("ok").to_pylist() == [True, False, False, None]
    refs = batch.references(pa.chunked_array([["[a]"], ["[b] + [c]"]]))
    assert list(zip(refs.column("index").to_pylist(), refs.column("name").to_pylist())) == [
        (0, "a"), (1, "b"), (1, "c")]


def test_empty_input_gives_empty_tables_with_their_columns():
    for function, columns in ((batch.check, batch.CHECK_COLUMNS), (batch.references, batch.REFERENCE_COLUMNS),
                              (batch.lint, batch.LINT_COLUMNS)):
        table = function([])
        assert table.num_rows == 0 and table.column_names == list(columns)


@pytest.mark.parametrize("texts, message", [
    ("1 + 2", "not one str"),
    (["1", 2], r"texts\[1\] is a int, not a str"),
    (["ok", "\ud800"], r"texts\[1\] cannot be read as UTF-8"),
    (pa.array([1, 2]), "not an Arrow array of int64"),
])
def test_refuses_what_is_not_texts(texts, message):
    with pytest.raises(TypeError, match=message):
        batch.check(texts)


@pytest.mark.parametrize("arguments, message", [
    ({"kind": "measure"}, "kind must be"), ({"threads": 0}, "threads must be"), ({"threads": 1.5}, "threads must be"),
    ({"grammar": "loose"}, "grammar must be"), ({"separators": "tab"}, "separators must be"),
])
def test_refuses_bad_settings(arguments, message):
    with pytest.raises(ValueError, match=message):
        batch.check(["1"], **arguments)


# --- references ----------------------------------------------------------------


def reference_rows(text, kind):
    try:
        found = references(text, kind=kind)
    except ValueError:
        return []
    from quarrow_dax.diagnostics import LineIndex

    index = LineIndex(text)
    return [{"kind": ref.kind, "name": ref.name, "table": ref.table, "levels": list(ref.levels),
             "function": ref.function, "argument": ref.argument, "parent": ref.parent, "target": ref.target,
             "start": ref.span.start, "end": ref.span.end, "line": index.position(ref.span.start)[0],
             "column": index.position(ref.span.start)[1]} for ref in found]


@needs_corpus
@pytest.mark.parametrize("folder, kind", [("expressions", "expression"), ("queries", "query")])
def test_references_agree_with_references_over_the_corpus(folder, kind):
    texts = corpus_texts(folder) + EDGE_TEXTS + ["'Date'[Calendar].[Year].[Month] + 'Date'[H].[L]"]
    table = batch.references(texts, kind=kind, threads=2)
    assert table.column_names == list(batch.REFERENCE_COLUMNS)
    got: dict[int, list] = {}
    for row in table.to_pylist():
        got.setdefault(row.pop("index"), []).append(row)
    expected = {position: reference_rows(text, kind) for position, text in enumerate(texts)}
    assert got == {position: rows for position, rows in expected.items() if rows}


@settings(max_examples=100, deadline=None)
@given(st.lists(st.lists(st.sampled_from(_PIECES + ["SUM (", "'T'[H].[L]", "Sales[Qty]", "[a😀]"]), max_size=14)
                .map("".join), min_size=1, max_size=12))
def test_references_are_placed_as_references_places_them_in_any_text(texts):
    table = batch.references(texts, threads=2)
    got: dict[int, list] = {}
    for row in table.to_pylist():
        got.setdefault(row.pop("index"), []).append(row)
    expected = {position: reference_rows(text, "expression") for position, text in enumerate(texts)}
    assert got == {position: rows for position, rows in expected.items() if rows}


# --- lint ----------------------------------------------------------------------


@needs_corpus
def test_lint_agrees_with_lint_text_over_the_corpus():
    texts = corpus_texts("expressions")[:400] + EDGE_TEXTS
    table = batch.lint(texts, threads=2)
    assert table.column_names == list(batch.LINT_COLUMNS)
    expected = []
    for position, text in enumerate(texts):
        for finding in lint_text(text, kind="expression"):
            expected.append((position, finding.code, finding.severity, finding.message, finding.line,
                             finding.column, finding.end_line, finding.end_column, finding.hint))
    got = [(row["index"], row["code"], row["severity"], row["message"], row["line"], row["column"],
            row["end_line"], row["end_column"], row["hint"]) for row in table.to_pylist()]
    assert got == expected
    assert {row["code"] for row in table.to_pylist()} >= {"E002"}


def test_lint_takes_a_configuration():
    from quarrow_dax.lint import LintConfig

    texts = ["IF ( [Sales] = BLANK (), 0, [Margin] / [Sales] )"]
    everything = {row["code"] for row in batch.lint(texts).to_pylist()}
    assert "DAX204" in everything
    dropped = "DAX204"
    config = LintConfig().overridden(None, (dropped,))
    assert {row["code"] for row in batch.lint(texts, config=config).to_pylist()} == everything - {dropped}


FUNCTION_TEXTS = ["( x : INT64 ) => x + [m]", "( a, b ) => a * SUM ( T[c] )", "/// doc\n( t : TABLE ) => COUNTROWS ( t )",
                  "x =>", "( a ) => b", "1 + 2"]


def test_functions_as_models_store_them():
    table = batch.check(FUNCTION_TEXTS, kind="function")
    assert rows_without_index(table) == [expected_check(text, "function") for text in FUNCTION_TEXTS]
    refs = batch.references(FUNCTION_TEXTS, kind="function")
    got: dict[int, list] = {}
    for row in refs.to_pylist():
        got.setdefault(row.pop("index"), []).append(row)
    expected = {position: reference_rows(text, "function") for position, text in enumerate(FUNCTION_TEXTS)}
    assert got == {position: rows for position, rows in expected.items() if rows}
    assert {row["kind"] for rows in got.values() for row in rows} >= {"parameter", "parameter use"}
