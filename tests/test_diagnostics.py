"""quarrow_dax.diagnostics: byte spans of real errors turned into lines,
columns and a snippet with carets."""

import pytest

from quarrow_dax import lex, parse_expression, parse_query
from quarrow_dax.diagnostics import Diagnostic, split_error

FUNCTIONS = {"lex": lex, "expr": parse_expression, "query": parse_query}


def diagnose(function, source):
    with pytest.raises(ValueError) as info:
        FUNCTIONS[function](source)
    return Diagnostic.from_error(info.value, source)


POSITIONS = [
    # function, source, (kind, message, start, end), (line, column, end_line, end_column)
    ("expr", "1 2", ("parse", "expected end of input", 2, 3), (1, 3, 1, 4)),
    ("expr", "1 +\n  2 2", ("parse", "expected end of input", 8, 9), (2, 5, 2, 6)),
    # columns count characters: あ is 3 bytes, é 2
    ("expr", 'xあ = "éé" 2', ("parse", "expected end of input", 14, 15), (1, 11, 1, 12)),
    # a carriage return before the line feed does not start a line
    ("expr", "1 +\r\n2 3\r\n", ("parse", "expected end of input", 7, 8), (2, 3, 2, 4)),
    # a span over a line feed ends on the next line
    ("expr", '"abc\ndef', ("lex", "unterminated string literal", 0, 8), (1, 1, 2, 4)),
    ("lex", "a ! b", ("lex", "unexpected character: '!'", 2, 3), (1, 3, 1, 4)),
    # the end of input, also right after a line feed and in empty input
    ("query", "EVALUATE", ("parse", "unexpected end of input", 8, 8), (1, 9, 1, 9)),
    ("expr", "f(1,\n2", ("parse", "expected `)`", 6, 6), (2, 2, 2, 2)),
    # ... but after final line ends, just past the last character that is not white space
    ("expr", "1 +\n", ("parse", "unexpected end of input", 3, 3), (1, 4, 1, 4)),
    ("expr", "1 +\n \r\n\t", ("parse", "unexpected end of input", 3, 3), (1, 4, 1, 4)),
    ("expr", "\n\n", ("parse", "unexpected end of input", 0, 0), (1, 1, 1, 1)),
    ("expr", "", ("parse", "unexpected end of input", 0, 0), (1, 1, 1, 1)),
]


@pytest.mark.parametrize("function, source, error, position", POSITIONS)
def test_positions(function, source, error, position):
    d = diagnose(function, source)
    assert (d.kind, d.message, d.start, d.end) == error
    assert (d.line, d.column, d.end_line, d.end_column) == position


RENDERED = [
    # function, source, the rendering for path "f.dax"
    ("expr", "1 +\n  2 2", "f.dax:2:5: parse error: expected end of input\n  2 2\n    ^"),
    # a wide character takes two columns, a two-byte one a single column
    ("expr", 'xあ = "éé" 2', 'f.dax:1:11: parse error: expected end of input\nxあ = "éé" 2\n           ^'),
    # tabs are kept in the padding so that the carets line up under any tab width
    ("expr", "\t1\t2", "f.dax:1:4: parse error: expected end of input\n\t1\t2\n\t \t^"),
    # a span that goes on past the line end is marked to the end of the line
    ("lex", '\t"é\tx\ny', 'f.dax:1:2: lex error: unterminated string literal\n\t"é\tx\n\t^^^^'),
    # a span of several characters, then one caret at the end of input
    ("expr", "1 ああ", "f.dax:1:3: parse error: expected end of input\n1 ああ\n  ^^^^"),
    ("query", "EVALUATE", "f.dax:1:9: parse error: unexpected end of input\nEVALUATE\n        ^"),
    ("expr", "1 +\n", "f.dax:1:4: parse error: unexpected end of input\n1 +\n   ^"),
    # the carriage return of a CRLF line end is not shown
    ("expr", "1 2\r\n", "f.dax:1:3: parse error: expected end of input\n1 2\n  ^"),
    # a control character cannot reach the terminal
    ("lex", "a \x01 b", "f.dax:1:3: lex error: unexpected character: '\\u{1}'\na \ufffd b\n  ^"),
]


@pytest.mark.parametrize("function, source, rendered", RENDERED)
def test_render(function, source, rendered):
    assert diagnose(function, source).render("f.dax") == rendered


def test_to_dict_lists_every_field_after_the_path():
    d = diagnose("expr", "1 2")
    assert d.to_dict("p") == {
        "path": "p", "kind": "parse", "message": "expected end of input", "start": 2, "end": 3,
        "line": 1, "column": 3, "end_line": 1, "end_column": 4, "severity": "error", "code": "E002", "hint": None,
    }


SPLIT = [
    ("parse error: expected end of input at 2..3", ("parse", "expected end of input", 2, 3)),
    # the message may itself contain " at " and a line feed
    ("lex error: unexpected character: ' at 1..2' at 10..11", ("lex", "unexpected character: ' at 1..2'", 10, 11)),
    ("lex error: a\nb at 0..1", ("lex", "a\nb", 0, 1)),
]


@pytest.mark.parametrize("text, parts", SPLIT)
def test_split_error(text, parts):
    assert split_error(text) == parts


NOT_ERRORS = [
    "invalid literal for int() with base 10: 'x'",
    "parse error: no span",
    "syntax error: x at 1..2",
    "parse error: x at 1..2 ",
]


@pytest.mark.parametrize("text", NOT_ERRORS)
def test_other_value_errors_are_rejected(text):
    with pytest.raises(ValueError, match="not an error of quarrow_dax"):
        Diagnostic.from_error(ValueError(text), "x")


CLAMPED = [
    # a message that does not fit the source is clamped, not a crash
    ("parse error: x at 50..60", "ab", (1, 3, 1, 3)),
    ("parse error: x at 1..0", "ab", (1, 2, 1, 2)),
]


@pytest.mark.parametrize("text, source, position", CLAMPED)
def test_spans_outside_the_source_are_clamped(text, source, position):
    d = Diagnostic.from_error(text, source)
    assert (d.line, d.column, d.end_line, d.end_column) == position
