"""quarrow_dax.loads: the same objects as json.loads, at any depth."""

import json
import sys

import pytest

from conftest import run_with_stack_size
from quarrow_dax import lex, loads, parse_expression, parse_query


def same(a, b):
    """Equal and of the same types all the way down: True == 1 and key order
    do not count for ==, but they do in the compact dump."""
    return json.dumps(a, separators=(",", ":"), ensure_ascii=False) == json.dumps(
        b, separators=(",", ":"), ensure_ascii=False
    )


CORPUS = [
    # results of the three functions on ordinary input
    (parse_expression, "CALCULATE ( SUM ( Sales[Amount] ), Sales[Status] <> \"Returned\" )"),
    (parse_expression, "VAR x = 1 RETURN IF ( x > 0, TRUE, BLANK() )"),
    (parse_expression, "{ (1, \"a\"), (2, \"b\") }"),
    (parse_expression, "'Ümsätze 2024'[Wert €] & \"tab\there \"\"quoted\"\" \\ back\""),
    (parse_expression, "\"line\nfeed \u0001 control \U0001F600 emoji\""),
    (parse_expression, "-1.5E+3 * @param ^ 2 || NOT x && y IN { 1 }"),
    (parse_query, "DEFINE /// doc \"quoted\"\n MEASURE T[m] = 1 VAR v = 2 EVALUATE T ORDER BY T[c] DESC START AT 1"),
    (parse_query, "EVALUATE ROW ( \"a\", 1 ) EVALUATE { 1 }"),
    (lex, "/// doc\nEVALUATE 'T' [c] \"s\\\" 1.5 @p => <> <= >= && || ;"),
    (lex, ""),
]


@pytest.mark.parametrize("function, source", CORPUS)
def test_results_decode_as_json_loads_does(function, source):
    text = function(source)
    assert same(loads(text), json.loads(text))


PLAIN_JSON = [
    '{}', '[]', '[[]]', '""', "0", "-0", "12345678901234567890123", "1.5", "-2.5e-3", "1E+2",
    "true", "false", "null", ' \t\r\n [ 1 , { "a" : [ ] , "b" : { } } ] \n',
    # every escape, a surrogate pair and a lone surrogate
    r'"\" \\ \/ \b \f \n \r \t \u00e9 \ud83d\ude00 \udc00"',
    # an escaped key, and a key given twice: the last value, the first place
    r'{"k\u00e9y":1,"a":2,"k\u00e9y":3}',
    '[{"a":[1,[2,[3]]],"b":null},true,"x"]',
    '{"": ""}',
]


@pytest.mark.parametrize("text", PLAIN_JSON)
def test_standard_json_decodes_as_json_loads_does(text):
    assert same(loads(text), json.loads(text))


INVALID = [
    "", " ", "[", "]", "[1,]", "[,1]", "[1 2]", "1 2", "{}}", "[]]", "[1]}", "{]", "[}", "[{]}",
    '{"a"}', '{"a" 1}', '{"a"::1}', '{"a":}', '{"a":1,}', '{"a":1 "b":2}', "{1:2}", "{,}", '[1,"b":2]',
    '"abc', '"\x01"', r'"\x"', r'"\u12"', "tru", "nul", "01", "1.", ".5", "+1", ":", "'a'",
]


@pytest.mark.parametrize("text", INVALID)
def test_invalid_json_is_rejected_like_json_loads(text):
    with pytest.raises(json.JSONDecodeError):
        json.loads(text)
    with pytest.raises(json.JSONDecodeError):
        loads(text)


def with_deep_json_loads(function):
    """Runs `function` in a thread with a big stack and a raised recursion
    limit, where json.loads can follow a few thousand levels."""

    def deep():
        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(100_000)
        try:
            return function()
        finally:
            sys.setrecursionlimit(limit)

    return run_with_stack_size(deep, 512 * 1024 * 1024)


def test_json_loads_gives_up_on_a_500_term_sum():
    # The reason for loads: a 500-term sum nests 1000 levels.
    with pytest.raises(RecursionError):
        json.loads(parse_expression("1" + "+1" * 499))


DEEP = [
    # long chains, and the deepest nesting the parser admits
    (parse_expression, "1" + "+1" * 499),
    (parse_expression, "1" + "+x" * 5000),
    (parse_expression, "(" * 255 + "1" + ")" * 255),
    (parse_expression, "F(" * 255 + "1" + ")" * 255),
    (parse_expression, "{" * 255 + "1" + "}" * 255),
    (parse_expression, "VAR x = 1 RETURN " * 255 + "x"),
    (parse_query, "EVALUATE " + "1&" * 3000 + "\"s\\\""),
]


@pytest.mark.parametrize("function, source", DEEP, ids=lambda v: v.__name__ if callable(v) else v[:20])
def test_deep_results_decode_as_json_loads_does(function, source):
    text = function(source)
    expected = with_deep_json_loads(lambda: json.loads(text))
    assert with_deep_json_loads(lambda: same(loads(text), expected))


def test_million_operator_chain():
    count = 1_000_000
    tree = loads(parse_expression("1" + "+2" * count))
    # Walk down the left operands without recursion: each level is an Add
    # whose right operand is 2, and the last left operand is 1.
    depth = 0
    node = tree
    while "Binary" in node:
        binary = node["Binary"]
        assert list(binary) == ["op", "left", "right"]
        assert binary["op"] == "Add" and binary["right"] == {"Number": "2"}
        node = binary["left"]
        depth += 1
    assert (depth, node) == (count, {"Number": "1"})
