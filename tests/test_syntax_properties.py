"""Properties of quarrow_dax.syntax on generated DAX-like text: with the
standard grammar it accepts and rejects exactly what the module does, with
the same error text; the engine grammar reads all of that to the same trees;
trees mirror the module's JSON and keep their span, text and to_dax
invariants; tokens with comments cover the text."""

import json

from hypothesis import given
from hypothesis import strategies as st

from quarrow_dax import _native
from quarrow_dax import syntax as S
from syntax_checks import expr_json, query_json, token_gaps, tree_problems
from test_properties import common, expressions, inputs, queries

comments = st.sampled_from(["", " -- c\n", " // c\n", " /* c */ ", "\n/// d\n"])
with_comments = st.tuples(expressions, comments, expressions).map(lambda t: f"{t[0]}{t[1]}+{t[2]}")


def same_outcome(native, parse, as_json, text):
    try:
        expected = json.loads(native(text))
    except ValueError as native_error:
        try:
            parse(text, grammar="standard")
        except S.ParseError as error:
            assert str(error) == str(native_error)
            return None
        raise AssertionError(f"syntax accepts what the module rejects: {text!r}")
    tree = parse(text, grammar="standard")
    assert as_json(tree) == expected
    # The engine grammar reads it alike, but where the standard grammar steps
    # over a `///` line before an operand (the engine sees a plain comment).
    if not any(token.kind == "DocComment" for token in S.tokenize(text)):
        assert parse(text) == tree
    return tree


@common
@given(st.one_of(inputs, with_comments))
def test_expressions_agree_with_the_module_and_keep_their_invariants(text):
    tree = same_outcome(_native.parse_expression, S.parse_expression, expr_json, text)
    if tree is not None:
        assert tree_problems(tree, text, grammar="standard") == []
        assert token_gaps(text) == []


@common
@given(st.one_of(queries, inputs))
def test_queries_agree_with_the_module_and_keep_their_invariants(text):
    tree = same_outcome(_native.parse_query, S.parse_query, query_json, text)
    if tree is not None:
        assert tree_problems(tree, text, grammar="standard") == []
