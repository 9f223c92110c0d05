"""Large and deep input: long operator chains, the deepest admitted nesting,
long runs of doc comments and very long lists must parse, be written and be
released without exhausting the stack, also in a thread with a small stack.

Results are compared as text: json.loads would itself recurse too deeply."""

import pytest

from conftest import (
    call, compact, evaluate, expect_error, measure, num, query, run_with_stack_size, table,
    table_name,
)
from quarrow_dax._native import parse_expression, parse_query

CHAIN = 1_000_000
ADD_OPEN = '{"Binary":{"op":"Add","left":'
ADD_CLOSE = ',"right":{"Number":"1"}}}'
ONE = '{"Number":"1"}'


def chain_json(count):
    """`1+1+...+1` with `count` operators: each Add is the left operand of the next."""
    return ADD_OPEN * count + ONE + ADD_CLOSE * count


def in_both_threads(function):
    """Runs `function` in this thread and in one with a 256 KiB stack."""
    function()
    run_with_stack_size(function)


def test_long_chain_is_written_and_released():
    text = "1" + "+1" * CHAIN
    expected = chain_json(CHAIN)

    def check():
        result = parse_expression(text)
        assert len(result) == len(expected)
        assert result[:200] == expected[:200] and result[-200:] == expected[-200:]
        same = result == expected  # kept out of the assert: a diff of 50 MB would not end
        assert same
        # A tree dropped after an error is as deep as a written one.
        expect_error(parse_expression, text + " )", "expected end of input", 2 * CHAIN + 2, 2 * CHAIN + 3)

    in_both_threads(check)


def test_long_chain_in_a_query():
    text = "EVALUATE " + "1+" * CHAIN + "1"
    expected = '{"define":null,"evaluates":[{"expr":' + chain_json(CHAIN) + ',"order_by":[],"start_at":null}]}'

    def check():
        result = parse_query(text)
        assert len(result) == len(expected) and result[-200:] == expected[-200:]
        same = result == expected
        assert same

    in_both_threads(check)


def nested_json(open_, close, depth, inner=ONE):
    return open_ * depth + inner + close * depth


# The deepest admitted nesting, then one level more; spans as in test_expressions.
@pytest.mark.parametrize(
    "prefix, suffix, open_, close, error_start",
    [
        ("(", ")", '{"Paren":', "}", 256),
        ("- ", "", '{"Unary":{"op":"Minus","expr":', "}}", 512),
        ("NOT ", "", '{"Unary":{"op":"Not","expr":', "}}", 1024),
        ("1^", "", '{"Binary":{"op":"Pow","left":{"Number":"1"},"right":', "}}", 512),
        ("F(", ")", '{"FunctionCall":{"name":"F","args":[', "]}}", 512),
        ("{", "}", '{"TableConstructor":[[', "]]}", 256),
        ("VAR x = 1 RETURN ", "", '{"VarBlock":{"decls":[{"name":"x","expr":{"Number":"1"}}],"body":', "}}",
         17 * 255 + 8),
    ],
    ids=["paren", "minus", "not", "pow", "call", "table", "var"],
)
def test_deepest_nesting_in_a_small_stack(prefix, suffix, open_, close, error_start):
    def check():
        text = prefix * 255 + "1" + suffix * 255
        assert parse_expression(text) == nested_json(open_, close, 255)
        deeper = prefix * 256 + "1" + suffix * 256
        expect_error(parse_expression, deeper, "expression nesting too deep", error_start, error_start + 1)
        expect_error(parse_query, "EVALUATE " + deeper, "expression nesting too deep",
                     error_start + 9, error_start + 10)

    run_with_stack_size(check)


DOC_LINES = 300_000


def test_many_doc_comments_before_a_formula():
    def check():
        assert parse_expression("///\n" * DOC_LINES + "1") == ONE
        assert parse_expression("1 + " + "/// x\n" * DOC_LINES + "2") == (
            '{"Binary":{"op":"Add","left":{"Number":"1"},"right":{"Number":"2"}}}')
        assert parse_expression("F(" + "/// x\n" * DOC_LINES + "1)") == compact(call("F", num("1")))
        assert parse_query("///\n" * DOC_LINES + "EVALUATE 1") == compact(query(evaluate(num("1"))))

    in_both_threads(check)


def test_many_doc_lines_joined_into_one_doc():
    lines = 100_000
    text = "DEFINE\n" + "/// x\n" * lines + "MEASURE T[m] = 1 EVALUATE 1"
    expected = query(evaluate(num("1")), define=[measure(table_name("T"), "m", num("1"), doc="\n".join(["x"] * lines))])
    assert parse_query(text) == compact(expected)


def test_many_definitions_and_statements():
    count = 20_000
    definitions = "DEFINE " + "MEASURE T[m] = 1 " * count + "EVALUATE 1"
    expected = query(evaluate(num("1")), define=[measure(table_name("T"), "m", num("1"))] * count)
    assert parse_query(definitions) == compact(expected)
    statements = "EVALUATE {1} " * count
    assert parse_query(statements) == compact(query(*[evaluate(table(num("1")))] * count))


def test_long_lists():
    count = 200_000
    ones = [num("1")] * count
    assert parse_expression("{" + ",".join(["1"] * count) + "}") == compact(table(*ones))
    assert parse_expression("{(" + ";".join(["1"] * count) + ")}") == compact(table(ones))
    assert parse_expression("F(" + ", ".join(["1"] * count) + ")") == compact(call("F", *ones))
    end = 2 + 2 * count
    expect_error(parse_expression, "F(" + "1," * count + ")", "trailing argument separator", end, end + 1)
