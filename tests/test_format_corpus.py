"""What the formatter promises, over every file of the shared corpus and every
formula of the shared models: the result parses to the same tree (the
module's JSON for what the standard grammar reads, the syntax objects
otherwise), keeps every comment in order, formats to itself, and holds no
line wider than the width that could have been broken."""

import hashlib
import json
from pathlib import Path

import pytest
from conftest import writable_copy

import quarrow_dax
from quarrow_dax import _native
from quarrow_dax import syntax as S
from quarrow_dax.formatter import FormatOptions, same_tree
from quarrow_dax.formatter.layout import display_width
from quarrow_dax.model import read_model
from quarrow_dax.syntax.functions import BUILTIN_FUNCTIONS, KEYWORD_ARGUMENTS

SHARED = Path(__file__).resolve().parents[2] / "shared"
CORPUS = SHARED / "corpus"
MODELS = SHARED / "models"
WIDTH = 120

# Tokens that do not count as words of a line: a line of one word and its
# punctuation cannot be broken further.
_PUNCTUATION = {
    "LParen", "RParen", "LBrace", "RBrace", "Comma", "Semicolon", "Dot", "Colon", "Arrow", "Plus", "Minus", "Star",
    "Slash", "Caret", "Amp", "Eq", "EqEq", "Neq", "Lt", "Lte", "Gt", "Gte", "AndAnd", "OrOr",
}


def calls_in_upper_case(json_text):
    """The module's JSON of a tree with the names the formatter may write in
    another case in upper case, as its fingerprints have them: built-in
    function names and the bare names among their arguments that are
    keywords (`desc`, `day`)."""
    tree = json.loads(json_text)
    stack = [tree]
    while stack:
        value = stack.pop()
        if isinstance(value, list):
            stack.extend(value)
            continue
        if not isinstance(value, dict):
            continue
        call = value.get("FunctionCall")
        if isinstance(call, dict) and call["name"].isascii() and call["name"].upper() in BUILTIN_FUNCTIONS:
            call["name"] = call["name"].upper()
            for arg in call["args"]:
                bare = arg.get("Identifier")
                if isinstance(bare, str) and bare.isascii() and bare.upper() in KEYWORD_ARGUMENTS:
                    arg["Identifier"] = bare.upper()
        stack.extend(value.values())
    return json.dumps(tree, separators=(",", ":"), ensure_ascii=False)


def comments(text, separators="comma"):
    return [token.text if token.kind == "BlockComment" else token.text.rstrip()
            for token in S.tokenize(text, separators=separators) if token.is_comment]


def unbreakable_lines_only(text, width=WIDTH, offsets=()):
    """The lines wider than `width` columns that hold more than one word and
    no part of a comment or a string: the ones that break the width rule.
    `offsets`: the columns before each line where the text is written (a
    model file's indentation), none where there are fewer."""
    data = text.encode("utf-8")
    starts = [0] + [index + 1 for index, byte in enumerate(data) if byte == 0x0A]
    tokens = S.tokenize(text)
    bad = []
    for number, line in enumerate(text.split("\n")):
        if display_width(line) + (offsets[number] if number < len(offsets) else 0) <= width:
            continue
        begin = starts[number]
        end = begin + len(line.encode("utf-8"))
        inside = [token for token in tokens if token.span.start < end and token.span.end > begin]
        if any(token.is_comment or "\n" in token.text for token in inside):
            continue
        words = 0
        previous = None
        for token in inside:
            # `Table[Column]` and `dt"..."` are one word.
            glued = previous is not None and previous.span.end == token.span.start and token.kind in (
                "BracketIdent", "String") and previous.kind in ("Ident", "QuotedIdent", "BracketIdent")
            if token.kind not in _PUNCTUATION and not glued:
                words += 1
            previous = token
        if words > 1:
            bad.append(line)
    return bad


def lines_ending_in_space(text):
    """The lines that end in white space outside a string, a name or a
    comment (which keep theirs)."""
    tokens = [token for token in S.tokenize(text) if token.kind in ("String", "BlockComment", "QuotedIdent",
                                                                   "BracketIdent")]
    found = []
    end = -1
    for line in text.encode("utf-8").split(b"\n"):
        end += len(line) + 1
        if line != line.rstrip() and not any(token.span.start < end <= token.span.end for token in tokens):
            found.append(line.decode("utf-8"))
    return found


def check_formatted(text, kind, name, native=None):
    result = quarrow_dax.format(text, kind=kind, name=name)
    if native is not None:
        try:
            expected = native(text)
        except ValueError:
            expected = None
        if expected is not None:
            assert calls_in_upper_case(native(result)) == calls_in_upper_case(expected), name
    parse = {"expression": S.parse_expression, "query": S.parse_query, "function": S.parse_function}[kind]
    assert same_tree(parse(result), parse(text)), name
    assert comments(result) == comments(text), name
    assert quarrow_dax.format(result, kind=kind) == result, name
    assert unbreakable_lines_only(result) == [], name
    assert lines_ending_in_space(result) == [], name
    return result


def corpus_files():
    if not CORPUS.is_dir():
        return []
    return sorted(CORPUS.glob("*/*.dax"))


@pytest.mark.skipif(not CORPUS.is_dir(), reason=f"corpus folder not found: {CORPUS}")
def test_every_corpus_file():
    formatted = 0
    for path in corpus_files():
        text = path.read_text(encoding="utf-8")
        kind = "query" if path.parent.name == "queries" else "expression"
        if S.first_error(text, kind=kind) is not None:
            continue  # beyond even the engine grammar (a comma as decimal separator, a trailing comma)
        native = _native.parse_query if kind == "query" else _native.parse_expression
        check_formatted(text, kind, str(path), native)
        formatted += 1
    assert formatted > 1780


@pytest.mark.skipif(not MODELS.is_dir(), reason=f"model folder not found: {MODELS}")
def test_every_model_formula():
    formatted = 0
    for model in sorted(MODELS.glob("*/*")):
        for formula in read_model(model):
            kind = "function" if formula.kind == "function" else "expression"
            native = None if kind == "function" else _native.parse_expression
            check_formatted(formula.text, kind, f"{formula.file}: {formula.kind} {formula.name}", native)
            formatted += 1
    assert formatted == 894


@pytest.mark.skipif(not CORPUS.is_dir(), reason=f"corpus folder not found: {CORPUS}")
@pytest.mark.parametrize("width", [40, 60])
def test_a_narrow_width_is_stable_too(width):
    """At a narrow width more values break and whole lines move: every
    third corpus file still formats to itself, as the same tree."""
    formatted = 0
    for path in corpus_files()[::3]:
        text = path.read_text(encoding="utf-8")
        kind = "query" if path.parent.name == "queries" else "expression"
        if S.first_error(text, kind=kind) is not None:
            continue
        result = quarrow_dax.format(text, kind=kind, width=width)
        assert quarrow_dax.format(result, kind=kind, width=width) == result, path
        parse = S.parse_query if kind == "query" else S.parse_expression
        assert same_tree(parse(result), parse(text)), path
        formatted += 1
    assert formatted > 590


def test_same_tree_ignores_the_case_of_function_names_only():
    assert same_tree(S.parse_expression("sum(T[a])"), S.parse_expression("SUM(T[a])"))
    assert not same_tree(S.parse_expression("SUM(T[a])"), S.parse_expression("SUM(t[a])"))
    assert not same_tree(S.parse_expression('SUM("a")'), S.parse_expression('SUM("A")'))
    assert not same_tree(S.parse_expression("1 + 2"), S.parse_expression("1 - 2"))
    assert not same_tree(S.parse_expression("F(1, 2)"), S.parse_expression("F(1)"))


def test_the_width_check_finds_a_line_that_could_break():
    long_call = "F ( " + ", ".join(["Argument"] * 20) + " )"
    assert unbreakable_lines_only(long_call) == [long_call]
    assert unbreakable_lines_only("    '" + "x" * 130 + "'[Column]," + " -- a comment") == []


@pytest.mark.skipif(not CORPUS.is_dir(), reason=f"corpus folder not found: {CORPUS}")
def test_the_fingerprint_of_a_standard_text_is_the_modules_json():
    """The formatter checks a result by fingerprints: for every corpus file
    that the exact module reads, the fingerprint of the tree the formatter
    prints is that module's JSON (built-in function names and their keyword
    arguments in upper case); past a megabyte, the SHA-256 digest of what it
    would have been."""
    from quarrow_dax.formatter.native import read

    compared = 0
    for path in corpus_files():
        text = path.read_text(encoding="utf-8")
        code, native = (1, _native.parse_query) if path.parent.name == "queries" else (0, _native.parse_expression)
        try:
            expected = calls_in_upper_case(native(text))
        except ValueError:
            continue
        assert read(text, code, FormatOptions().native).tree_print == b"=" + expected.encode(), path
        compared += 1
    assert compared > 1700
    large = "SWITCH ( [x], " + "".join(f"{n}, rankx ( T, [m], 1, desc ), " for n in range(20_000)) + "0 )"
    expected = calls_in_upper_case(_native.parse_expression(large)).encode()
    assert len(expected) > 1 << 20
    assert read(large, 0, FormatOptions().native).tree_print == b"#" + hashlib.sha256(b"=" + expected).digest()


def _reference_comments(text):
    """How the formatter placed comments before the native lexer did it:
    (text, start, kind, runs to the line end, an empty line before) of each
    comment, by the Token objects."""
    from quarrow_dax.formatter.comments import INLINE, OWN, TRAIL, comment_text

    tokens = S.tokenize(text)
    data = text.encode("utf-8")
    found = []
    for index, token in enumerate(tokens):
        if not token.is_comment:
            continue
        gap = data[tokens[index - 1].span.end if index else 0 : token.span.start]
        kind = TRAIL if index and b"\n" not in gap else OWN
        if token.kind == "BlockComment":
            end = token.span.end
            for following in tokens[index + 1:]:
                if b"\n" in data[end : following.span.start] or following.kind in ("LineComment", "DocComment"):
                    break
                if not following.is_comment:
                    kind = INLINE
                    break
                end = following.span.end
        found.append((comment_text(token), token.span.start, kind, token.kind != "BlockComment",
                      index > 0 and gap.count(b"\n") >= 2))
    return found


@pytest.mark.skipif(not CORPUS.is_dir(), reason=f"corpus folder not found: {CORPUS}")
def test_the_native_comment_places_match_the_tokens():
    from quarrow_dax.formatter.comments import Source

    texts = [path.read_text(encoding="utf-8") for path in corpus_files()]
    # Line comments end in white space of every kind Python strips.
    texts.append("1 -- a\u00a0\u2003\u3000\t \r\n+ 2 /* b */ /* c */ 3 // d\u0085\n/* e\n*/ 4 /// f\u2028")
    checked = 0
    for text in texts:
        try:
            source = Source(text)
        except S.ParseError:
            continue  # a lexical error
        assert [tuple(comment) for comment in source.comments] == _reference_comments(text), text[:80]
        if source.comments:
            starts = [token.span.start for token in S.tokenize(text) if not token.is_comment]
            assert list(source.code_starts) == starts
            checked += 1
    assert checked > 200


@pytest.mark.skipif(not MODELS.is_dir(), reason=f"model folder not found: {MODELS}")
def test_formatted_models_fit_the_width_where_their_formulas_are_written(tmp_path):
    """Every model formatted and written: no formula line is wider than the
    width that could have been broken, counting what stands before it in
    its file (TMDL's tabs, `measure Name =` before a one-line formula), and
    formatting the written model again changes nothing."""
    from quarrow_dax.formatter.files import format_model
    from quarrow_dax.formatter.placement import TAB_WIDTH

    checked = 0
    for model in sorted(MODELS.glob("*/*")):
        copy = writable_copy(model, tmp_path / model.parent.name / model.name)
        path = next(copy.glob("*.bim"), copy)
        for result in format_model(str(path), FormatOptions()):
            assert not result.problems, (model, result.problems)
            assert result.write() is None, (model, result.path)
        assert [result.path for result in format_model(str(path), FormatOptions()) if result.changed] == [], model
        if model.parent.name != "tmdl":
            continue
        for formula in read_model(str(path)):
            lines = Path(formula.file).read_text(encoding="utf-8").split("\n")
            texts = formula.text.split("\n")
            offsets = [display_width(lines[line - 1].replace("\t", " " * TAB_WIDTH)) - display_width(text)
                       for (line, _), text in zip(formula.line_map, texts)]
            assert unbreakable_lines_only(formula.text, WIDTH, offsets) == [], (formula.file, formula.name)
            checked += 1
    assert checked > 500
