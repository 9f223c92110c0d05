"""The lexer through `lex`: token kinds and payloads, comments, literals,
byte spans, white space classes and every lexical error."""

import json

import pytest

from conftest import PUNCTUATION, check_token_spans, compact, expect_error
from quarrow_dax._native import lex, parse_expression, parse_query


def ident(text):
    return {"Ident": text}


def number(text):
    return {"Number": text}


def string(text):
    return {"String": text}


def quoted(text):
    return {"QuotedIdent": text}


def bracket(text):
    return {"BracketIdent": text}


def doc(text):
    return {"DocComment": text}


def param(text):
    return {"Param": text}


def tokens(text):
    result = json.loads(lex(text))
    check_token_spans(text, result)
    return result


def kinds(text):
    """The kinds of all tokens but the final Eof."""
    return [token["kind"] for token in tokens(text)[:-1]]


def spans(text):
    return [(token["kind"], token["span"]["start"], token["span"]["end"]) for token in tokens(text)]


def test_worked_example_exactly():
    assert lex("SUM('Sales'[Amount]) -- total") == (
        '[{"kind":{"Ident":"SUM"},"span":{"start":0,"end":3}},'
        '{"kind":"LParen","span":{"start":3,"end":4}},'
        '{"kind":{"QuotedIdent":"Sales"},"span":{"start":4,"end":11}},'
        '{"kind":{"BracketIdent":"Amount"},"span":{"start":11,"end":19}},'
        '{"kind":"RParen","span":{"start":19,"end":20}},'
        '{"kind":"Eof","span":{"start":29,"end":29}}]'
    )


def test_every_punctuation_kind_with_its_span():
    names = list(PUNCTUATION)
    text = " ".join(PUNCTUATION[name] for name in names)
    expected, offset = [], 0
    for name in names:
        width = len(PUNCTUATION[name])
        expected.append({"kind": name, "span": {"start": offset, "end": offset + width}})
        offset += width + 1
    expected.append({"kind": "Eof", "span": {"start": len(text), "end": len(text)}})
    assert lex(text) == compact(expected)


@pytest.mark.parametrize(
    "text, expected",
    [
        # payload kinds, each with its delimiters inside the span
        ("/// d\nx @p 12 \"s\" 'q' [b]", [(doc("d"), 0, 5), (ident("x"), 6, 7), (param("p"), 8, 10),
                                           (number("12"), 11, 13), (string("s"), 14, 17),
                                           (quoted("q"), 18, 21), (bracket("b"), 22, 25), ("Eof", 25, 25)]),
        # spans count bytes: é is two bytes, 😀 four
        ("é+x", [(ident("é"), 0, 2), ("Plus", 2, 3), (ident("x"), 3, 4), ("Eof", 4, 4)]),
        ('"😀"+1', [(string("😀"), 0, 6), ("Plus", 6, 7), (number("1"), 7, 8), ("Eof", 8, 8)]),
        ("'ü'[ß]", [(quoted("ü"), 0, 4), (bracket("ß"), 4, 8), ("Eof", 8, 8)]),
        ("/* a */b", [(ident("b"), 7, 8), ("Eof", 8, 8)]),
        ("/**/x", [(ident("x"), 4, 5), ("Eof", 5, 5)]),
        ("-- a\r\nx", [(ident("x"), 6, 7), ("Eof", 7, 7)]),
        ('"a""b"', [(string('a"b'), 0, 6), ("Eof", 6, 6)]),
        ("[x]]]", [(bracket("x]"), 0, 5), ("Eof", 5, 5)]),
        ("@p.q", [(param("p"), 0, 2), ("Dot", 2, 3), (ident("q"), 3, 4), ("Eof", 4, 4)]),
        # doc comments: trimmed text, the carriage return inside the span, empty text
        ("/// Sum of sales \r\nx", [(doc("Sum of sales"), 0, 18), (ident("x"), 19, 20), ("Eof", 20, 20)]),
        ("///", [(doc(""), 0, 3), ("Eof", 3, 3)]),
        ("x ///", [(ident("x"), 0, 1), (doc(""), 2, 5), ("Eof", 5, 5)]),
        # white space and comments only
        ("", [("Eof", 0, 0)]),
        (" \t\r\n\x0b\x0c", [("Eof", 6, 6)]),
        ("-- a\n// b\n/* c */", [("Eof", 17, 17)]),
        # U+0085 and U+00A0 (two bytes each) and the other Unicode spaces produce nothing
        ("\u0085a\u00a0b", [(ident("a"), 2, 3), (ident("b"), 5, 6), ("Eof", 6, 6)]),
        ("\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000x", [(ident("x"), 24, 25), ("Eof", 25, 25)]),
    ],
)
def test_spans(text, expected):
    assert spans(text) == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        # operators: longest two-character form first, never three
        ("<>", ["Neq"]),
        ("< >", ["Lt", "Gt"]),
        ("===", ["EqEq", "Eq"]),
        ("<=>", ["Lte", "Gt"]),
        ("=<", ["Eq", "Lt"]),
        ("=>=", ["Arrow", "Eq"]),
        ("&&&", ["AndAnd", "Amp"]),
        ("a - -b", [ident("a"), "Minus", "Minus", ident("b")]),
        # comments
        ("a--b", [ident("a")]),
        ("x // note\ny", [ident("x"), ident("y")]),
        ("x /// note\ny", [ident("x"), doc("note"), ident("y")]),
        ("1 /* a ** / */ 2", [number("1"), number("2")]),
        ("/* /* */ x", [ident("x")]),
        ("-- /* \nx", [ident("x")]),
        ("/* -- */x", [ident("x")]),
        ("a/b", [ident("a"), "Slash", ident("b")]),
        ("a-b", [ident("a"), "Minus", ident("b")]),
        # doc comments
        ("//// x", [doc("/ x")]),
        ("///\u00a0a\u3000 \t", [doc("a")]),
        ("/// x // y", [doc("x // y")]),
        ("/// a /* b\nc", [doc("a /* b"), ident("c")]),
        ("///a\n///b", [doc("a"), doc("b")]),
        ("/// \"q' [", [doc("\"q' [")]),
        # identifiers: dots, digits, underscores, non-ASCII letters and numbers
        ("a.b", [ident("a.b")]),
        ("Sales.Amount x.", [ident("Sales.Amount"), ident("x.")]),
        ("a .b", [ident("a"), "Dot", ident("b")]),
        (".x", ["Dot", ident("x")]),
        ("_x1 _", [ident("_x1"), ident("_")]),
        ("Tax² x١ Ⅻ", [ident("Tax²"), ident("x١"), ident("Ⅻ")]),
        ("é ключ 名前", [ident("é"), ident("ключ"), ident("名前")]),
        # combining marks that are Alphabetic belong to the identifier
        ("e\u0345 का _² 𝐀", [ident("e\u0345"), ident("का"), ident("_²"), ident("𝐀")]),
        ("1abc", [number("1"), ident("abc")]),
        ("VAR true EVALUATE", [ident("VAR"), ident("true"), ident("EVALUATE")]),
        # parameters take no dot
        ("@_1 @é2", [param("_1"), param("é2")]),
        # numbers
        (".5 1.5 0012 1e5 1E+5 2.5e-3 1E5x", [number(".5"), number("1.5"), number("0012"), number("1e5"),
                                              number("1E+5"), number("2.5e-3"), number("1E5"), ident("x")]),
        ("1.", [number("1"), "Dot"]),
        ("1.5.3", [number("1.5"), number(".3")]),
        ("1..2", [number("1"), "Dot", number(".2")]),
        ("1e", [number("1"), ident("e")]),
        ("1e+", [number("1"), ident("e"), "Plus"]),
        ("1e-x", [number("1"), ident("e"), "Minus", ident("x")]),
        ("1.e5", [number("1"), "Dot", ident("e5")]),
        ("-3", ["Minus", number("3")]),
        ("1,5", [number("1"), "Comma", number("5")]),
        # delimited literals: doubled closers, other delimiters as plain text
        ('"it""s"', [string('it"s')]),
        ('"a"""', [string('a"')]),
        ('"a" "b"', [string("a"), string("b")]),
        ('"a\nb\r\n"', [string("a\nb\r\n")]),
        ('"a\\"', [string("a\\")]),
        ('"" \'\' []', [string(""), quoted(""), bracket("")]),
        ("\"'[\" '\"]' [\"'[]", [string("'["), quoted('"]'), bracket("\"'[")]),
        ("'Sales Table' 'it''s'", [quoted("Sales Table"), quoted("it's")]),
        ("[Total Sales] [a]]b] [a[b]", [bracket("Total Sales"), bracket("a]b"), bracket("a[b")]),
        ('"-- /* ///"', [string("-- /* ///")]),
    ],
)
def test_kinds(text, expected):
    assert kinds(text) == expected


def test_payload_escaping_in_json():
    # Control bytes as \t, \n or \u00xx in lower case; DEL, "/", é and U+2028 unescaped.
    text = '"q""\\\t\n\x0b\x1b\x7f/é\u2028"'
    n = len(text.encode())
    assert lex(text) == compact([
        {"kind": string('q"\\\t\n\x0b\x1b\x7f/é\u2028'), "span": {"start": 0, "end": n}},
        {"kind": "Eof", "span": {"start": n, "end": n}},
    ])


@pytest.mark.parametrize(
    "text, message, start, end",
    [
        # characters that start no token
        ("a ! b", "unexpected character: '!'", 2, 3),
        ("!=", "unexpected character: '!'", 0, 1),
        ("|", "unexpected character: '|'", 0, 1),
        ("|x", "unexpected character: '|'", 0, 1),
        ("a |", "unexpected character: '|'", 2, 3),
        ("|||", "unexpected character: '|'", 2, 3),
        *((char, f"unexpected character: '{char}'", 0, 1) for char in "]#$%?`~"),
        ("€", "unexpected character: '€'", 0, 3),
        ("é€", "unexpected character: '€'", 2, 5),
        ("x 😀", "unexpected character: '😀'", 2, 6),
        ("١", "unexpected character: '١'", 0, 2),
        ("²", "unexpected character: '²'", 0, 2),
        # escaped forms: NUL, backslash, combining marks, unprintable characters
        ("\0", "unexpected character: '\\0'", 0, 1),
        ("1 \0 2", "unexpected character: '\\0'", 2, 3),
        ("\\", "unexpected character: '\\\\'", 0, 1),
        ("e\u0301", "unexpected character: '\\u{301}'", 1, 3),
        ("\u0300", "unexpected character: '\\u{300}'", 0, 2),
        ("x\ufe0f", "unexpected character: '\\u{fe0f}'", 1, 4),
        ("a\u200cb", "unexpected character: '\\u{200c}'", 1, 4),
        ("\u200b", "unexpected character: '\\u{200b}'", 0, 3),
        ("\ufeffx", "unexpected character: '\\u{feff}'", 0, 3),
        *((char, f"unexpected character: '\\u{{{ord(char):x}}}'", 0, 1) for char in "\x1c\x1d\x1e\x1f"),
        ("\x07", "unexpected character: '\\u{7}'", 0, 1),
        ("\x7f", "unexpected character: '\\u{7f}'", 0, 1),
        ("\u00ad", "unexpected character: '\\u{ad}'", 0, 2),
        ("\ue000", "unexpected character: '\\u{e000}'", 0, 3),
        ("\u0378", "unexpected character: '\\u{378}'", 0, 2),
        # parameters
        ("@ x", "expected parameter name after '@'", 0, 1),
        ("@", "expected parameter name after '@'", 0, 1),
        ("x @", "expected parameter name after '@'", 2, 3),
        ("@.q", "expected parameter name after '@'", 0, 1),
        # unterminated forms run to the end of the input
        ("/* a", "unterminated block comment", 0, 4),
        ("/*/", "unterminated block comment", 0, 3),
        ("x /*", "unterminated block comment", 2, 4),
        ("/* a *", "unterminated block comment", 0, 6),
        ('"', "unterminated string literal", 0, 1),
        ('"abc', "unterminated string literal", 0, 4),
        ('"abc""', "unterminated string literal", 0, 6),
        ('x = "abc', "unterminated string literal", 4, 8),
        ('"é', "unterminated string literal", 0, 3),
        ("'", "unterminated quoted identifier", 0, 1),
        ("'abc", "unterminated quoted identifier", 0, 4),
        ("'a''", "unterminated quoted identifier", 0, 4),
        ("[", "unterminated bracket identifier", 0, 1),
        ("[abc", "unterminated bracket identifier", 0, 4),
        ("[a]]", "unterminated bracket identifier", 0, 4),
        ("é [ü", "unterminated bracket identifier", 3, 6),
        # the first error in the text is the one reported
        ("! \"abc", "unexpected character: '!'", 0, 1),
        ("\"é\" ! €", "unexpected character: '!'", 5, 6),
    ],
)
def test_lex_errors(text, message, start, end):
    expect_error(lex, text, message, start, end, kind="lex")


@pytest.mark.parametrize("function", [parse_expression, parse_query])
def test_lex_error_wins_over_an_earlier_syntax_error(function):
    expect_error(function, ') "abc', "unterminated string literal", 2, 6, kind="lex")
    expect_error(function, "EVALUATE ) 1 2 |", "unexpected character: '|'", 15, 16, kind="lex")


MIXED_SAMPLE = [
    "SUM('Sales'[Amount]) -- total",
    "/// Doc é\r\nVAR x = [Total Sales] * 1.5e-3 RETURN x <> 'Tabelle Ü'[Spalte]",
    "EVALUATE {(1, \"a\"\"b\"), (2; @p)} ORDER BY [x] DESC START AT 1",
    "DEFINE FUNCTION f = (a : INT64) => a && b || c ^ d == e <= f >= g",
    "\"😀\" is fine; 名前.列 &\u00a0x\u3000/* 🎉 */y",
    "1..2.3e+4E-x .5 [a]]b]//c\n'it''s'",
]


@pytest.mark.parametrize("text", MIXED_SAMPLE)
def test_span_invariants_over_a_mixed_sample(text):
    assert len(tokens(text)) > 5
