"""Real-world DAX from the shared corpus: every formula and query parses into
valid JSON, except the files that use syntax beyond this grammar, which fail
with exactly the error listed for them; every file lexes with sound spans."""

import json
from pathlib import Path

import pytest

from conftest import check_token_spans
from quarrow_dax._native import lex, parse_expression, parse_query

CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"

pytestmark = pytest.mark.skipif(not CORPUS.is_dir(), reason=f"corpus folder not found: {CORPUS}")

# File -> the exact error it must raise. Each uses syntax this grammar does not
# have; the comment says which.
EXCEPTIONS = {
    "expressions": {
        # typed literals dt"..."
        "0166.dax": "parse error: expected `)` at 12..33",
        "0167.dax": "parse error: expected `)` at 12..33",
        "0168.dax": "parse error: expected `)` at 12..33",
        "1047.dax": "parse error: expected `}` at 75..85",
        # omitted (empty) function arguments
        "0182.dax": "parse error: expected expression at 55..56",
        "0410.dax": "parse error: expected expression at 31..32",
        "0841.dax": "parse error: expected expression at 106..107",
        "0882.dax": "parse error: expected expression at 185..186",
        "0911.dax": "parse error: expected expression at 358..359",
        "1006.dax": "parse error: expected expression at 359..360",
        "1011.dax": "parse error: expected expression at 93..94",
        "1097.dax": "parse error: expected expression at 2328..2329",
        "1175.dax": "parse error: expected expression at 5617..5618",
        "1177.dax": "parse error: expected expression at 2689..2690",
        "1255.dax": "parse error: expected expression at 149..150",
        "1256.dax": "parse error: expected expression at 149..150",
        "1257.dax": "parse error: expected expression at 149..150",
        # a comma as decimal separator, a dialect the Python functions do not offer
        "0736.dax": "parse error: expected end of input at 1..2",
        "0739.dax": "parse error: expected end of input at 1..2",
        # /// between VAR declarations, where only RETURN or VAR may stand
        "1023.dax": "parse error: expected keyword return at 322..349",
        "1098.dax": "parse error: expected keyword return at 1863..1934",
        "1100.dax": "parse error: expected keyword return at 1554..1613",
        # ROWS COLUMNS axis words of visual calculations
        "1035.dax": "parse error: expected `)` at 110..117",
        # a parenthesised row before IN
        "1042.dax": "parse error: expected `)` at 191..192",
    },
    "queries": {
        # a FUNCTION parameter with a default value
        "0009.dax": "parse error: expected `)` at 353..354",
        # typed literals dt"..."
        "0062.dax": "parse error: expected `)` at 69..88",
        "0228.dax": "parse error: expected `)` at 323..335",
        # a trailing separator in a table constructor
        "0230.dax": "parse error: trailing separator in table constructor at 346..347",
        # omitted (empty) function arguments
        "0265.dax": "parse error: expected expression at 180..181",
        "0367.dax": "parse error: expected expression at 1976..1977",
        # WITH VISUAL SHAPE
        "0321.dax": "parse error: unexpected token after statement at 167..171",
    },
}


def corpus_files(folder):
    return sorted((CORPUS / folder).glob("*.dax"))


def outcome(function, text):
    """The error text, or None when the result is valid JSON."""
    try:
        json.loads(function(text))
    except ValueError as error:
        assert type(error) is ValueError
        return str(error)
    return None


@pytest.mark.parametrize("folder, function", [("expressions", parse_expression), ("queries", parse_query)])
def test_every_file_parses_or_fails_as_listed(folder, function):
    files = corpus_files(folder)
    assert files, f"no .dax files in {CORPUS / folder}"
    expected = EXCEPTIONS[folder]
    assert set(expected) <= {path.name for path in files}, "a listed file is missing from the corpus"
    mismatches = []
    for path in files:
        got = outcome(function, path.read_text(encoding="utf-8"))
        if got != expected.get(path.name):
            mismatches.append((path.name, expected.get(path.name), got))
    assert mismatches == []


@pytest.mark.parametrize("folder", ["expressions", "queries"])
def test_every_file_lexes_with_sound_spans(folder):
    unsound = []
    for path in corpus_files(folder):
        text = path.read_text(encoding="utf-8")
        try:
            check_token_spans(text, json.loads(lex(text)))
        except AssertionError as error:
            unsound.append((path.name, str(error)))
    assert unsound == []
