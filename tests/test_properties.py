"""Properties that hold for every input, checked on generated DAX-like text
and on arbitrary text: each function returns JSON or raises ValueError with
a well-formed message and span; `lex` spans re-slice the input to their
payloads; and a parsed expression keeps its tree when wrapped in parentheses
or placed as an argument inside a query.

Generated expressions stay shallow, so that json.loads never nears its own
recursion limit; test_deep.py covers deep nesting."""

import json
import re

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import check_token_spans, compact
from quarrow_dax import lex, parse_expression, parse_query

FUNCTIONS = [lex, parse_expression, parse_query]
ERROR = re.compile(r"(lex|parse) error: (.*) at (\d+)\.\.(\d+)", re.DOTALL)

# A few hundred examples per test keep the whole file within seconds.
common = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])

# --- generated text ---------------------------------------------------------

numbers = st.from_regex(r"\A(0|[1-9][0-9]{0,5})(\.[0-9]{1,3})?([eE][+-]?[0-9]{1,2})?\Z")
fraction = st.from_regex(r"\A\.[0-9]{1,3}\Z")
# Any text but lone surrogates, which a str cannot hand over as UTF-8.
any_char = st.characters(blacklist_categories=("Cs",))
strings = st.text(any_char, max_size=8).map(lambda s: '"' + s.replace('"', '""') + '"')
names = st.sampled_from(["x", "Sales", "Amount", "_t1", "Année", "A.B", "TRUE", "FALSE", "日付"])
quoted = st.text(any_char, min_size=1, max_size=6).map(lambda s: "'" + s.replace("'", "''") + "'")
brackets = st.text(any_char, max_size=6).map(lambda s: "[" + s.replace("]", "]]") + "]")
leaves = st.one_of(
    numbers, fraction, strings, names,
    st.from_regex(r"\A@[A-Za-z_][A-Za-z0-9_]{0,4}\Z"),
    quoted, brackets,
    st.tuples(st.one_of(names, quoted), brackets).map("".join),
    st.sampled_from(["BLANK()", "TODAY()", "TRUE()"]),
)

# Operators always have white space on both sides, so that `-` or `/`
# next to an operand never forms a comment opener.
spaces = st.sampled_from([" ", "  ", "\n", "\t", "\r\n"])
binary_ops = st.sampled_from(["+", "-", "*", "/", "^", "&", "=", "==", "<>", "<", "<=", ">", ">=", "&&", "||"])
functions = st.sampled_from(["SUM", "CALCULATE", "IF", "F", "Ünïcode"])


def extend(inner):
    separator = st.sampled_from([",", ", ", " ,\n"])
    return st.one_of(
        st.tuples(inner, spaces, binary_ops, spaces, inner).map("".join),
        st.tuples(st.sampled_from(["- ", "+ ", "NOT "]), inner).map("".join),
        inner.map(lambda e: f"({e})"),
        st.tuples(functions, separator, st.lists(inner, max_size=3)).map(lambda t: f"{t[0]}({t[1].join(t[2])})"),
        st.lists(inner, min_size=1, max_size=3).map(lambda cells: "{" + ", ".join(cells) + "}"),
        st.lists(st.lists(inner, min_size=2, max_size=2), min_size=1, max_size=2).map(
            lambda rows: "{" + ", ".join("(" + ", ".join(r) + ")" for r in rows) + "}"),
        st.tuples(inner, inner).map(lambda t: f"VAR v = {t[0]}\nRETURN {t[1]}"),
        st.tuples(inner, inner, inner).map(lambda t: f"{t[0]} IN {{ {t[1]}, {t[2]} }}"),
    )


expressions = st.recursive(leaves, extend, max_leaves=12)
queries = st.one_of(
    st.lists(expressions, min_size=1, max_size=2).map(lambda es: "".join(f"EVALUATE {{ {e} }}\n" for e in es)),
    st.tuples(names, expressions, expressions).map(
        lambda t: f"DEFINE\n  MEASURE 'T'[m] = {t[1]}\n  VAR {t[0]}_v = {t[2]}\nEVALUATE ROW(\"m\", [m])"),
    expressions.map(lambda e: f"EVALUATE ROW(\"a\", {e}) ORDER BY [a] DESC"),
)


def mutated(base):
    """`base` with one character inserted, deleted or replaced: text near
    valid DAX, where the error paths are."""
    def apply(args):
        text, where, kind, char = args
        i = where % (len(text) + 1)
        if kind == 0:
            return text[:i] + char + text[i:]
        if kind == 1:
            return text[:i] + text[i + 1:]
        return text[:i] + char + text[i + 1:]
    noise = st.sampled_from(list("()[]{}'\"@,;.:=<>+-*/^&| \n") + ["é", "\u00a0", "𝔸"])
    return st.tuples(base, st.integers(0, 10_000), st.integers(0, 2), noise).map(apply)


dax_alphabet = st.text(st.sampled_from(list("()[]{}'\"@,;.:=<>+-*/^&|!#$% \n\tabcXYZ019eE_") + ["é", "\u2028", "\u00a0"]),
                       max_size=40)
inputs = st.one_of(expressions, queries, mutated(expressions), mutated(queries), dax_alphabet,
                   st.text(any_char, max_size=40))

# --- checks -----------------------------------------------------------------


def outcome(function, text):
    """The parsed JSON value, or the ValueError's (kind, start, end), after
    checking that either is well formed for `text`."""
    data = text.encode()
    try:
        result = function(text)
    except ValueError as error:
        assert type(error) is ValueError
        (message,) = error.args
        match = ERROR.fullmatch(message)
        assert match, message
        start, end = int(match[3]), int(match[4])
        assert start <= end <= len(data), message
        for offset in (start, end):
            assert offset == len(data) or data[offset] & 0xC0 != 0x80, message
        return ("error", match[1], start, end, match[2])
    assert isinstance(result, str)
    value = json.loads(result)
    # Written back compactly it must be the same text: no white space
    # outside strings, keys in the order the module writes them.
    assert compact(value) == result
    return value


@common
@given(inputs)
def test_every_function_returns_json_or_a_located_error(text):
    results = [outcome(function, text) for function in FUNCTIONS]
    lexed = results[0]
    if isinstance(lexed, list):
        check_token_spans(text, lexed)
    # Both parsers lex the whole input first: a lex error is theirs too.
    for parsed in results[1:]:
        if isinstance(lexed, tuple):
            assert parsed == lexed
        else:
            assert not (isinstance(parsed, tuple) and parsed[1] == "lex")


@common
@given(st.text(any_char, max_size=60))
def test_arbitrary_text_lexes_into_spans_that_spell_the_payloads(text):
    try:
        tokens = json.loads(lex(text))
    except ValueError as error:
        assert str(error).startswith("lex error: ")
        return
    check_token_spans(text, tokens)


@common
@given(expressions)
def test_generated_tokens_re_slice_the_input(text):
    tokens = json.loads(lex(text))
    check_token_spans(text, tokens)
    data = text.encode()
    for token in tokens[:-1]:
        kind = token["kind"]
        if not isinstance(kind, dict):
            continue
        (name, payload), = kind.items()
        source = data[token["span"]["start"]:token["span"]["end"]].decode()
        expected = {
            "Ident": source,
            "Number": source,
            "Param": source[1:],
            "String": source[1:-1].replace('""', '"'),
            "QuotedIdent": source[1:-1].replace("''", "'"),
            "BracketIdent": source[1:-1].replace("]]", "]"),
        }[name]
        assert payload == expected, token


def row_query_json(tree_json):
    return ('{"define":null,"evaluates":[{"expr":{"FunctionCall":{"name":"ROW","args":[{"String":"x"},'
            + tree_json + ']}},"order_by":[],"start_at":null}]}')


@common
@given(expressions)
def test_an_expression_keeps_its_tree_in_parentheses_and_in_a_query(text):
    try:
        tree = parse_expression(text)
    except ValueError:
        return
    assert parse_expression(f"({text})") == '{"Paren":' + tree + "}"
    assert parse_expression(f"( {text}\n)") == '{"Paren":' + tree + "}"
    assert parse_query(f'EVALUATE ROW("x", {text})') == row_query_json(tree)


def test_generated_expressions_mostly_parse():
    """Guards the property above against a generator whose output never
    parses, which would make it pass without checking anything."""
    parsed = []

    @settings(max_examples=200, deadline=None, database=None)
    @given(expressions)
    def collect(text):
        try:
            parse_expression(text)
            parsed.append(True)
        except ValueError:
            parsed.append(False)

    collect()
    assert sum(parsed) >= 0.5 * len(parsed)
