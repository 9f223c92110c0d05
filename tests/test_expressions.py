"""`parse_expression`: operator grouping, every primary form and its JSON,
doc comments between operands, the expression errors and the nesting limit."""

import pytest

from conftest import (
    BLANK, binary, boolean, bracket, call, column, compact, expect_error, hierarchy, ident, num,
    param, paren, parses_to, string, table, table_ref, unary, var_block,
)
from quarrow_dax._native import parse_expression

a, b, c, d, x = (ident(name) for name in "abcdx")
one, two, three = num("1"), num("2"), num("3")


def neg(operand):
    return unary("Minus", operand)


def not_(operand):
    return unary("Not", operand)


@pytest.mark.parametrize(
    "text, expected",
    [
        # IN in any letter case
        ("a in b", binary("In", a, b)),
        ("a iN b", binary("In", a, b)),
        # left associativity within a row, rows mixed
        ("a - b + c", binary("Add", binary("Sub", a, b), c)),
        ("a / b * c", binary("Mul", binary("Div", a, b), c)),
        ("a = b == c", binary("StrictEq", binary("Eq", a, b), c)),
        ("a < b <> c", binary("Neq", binary("Lt", a, b), c)),
        ("a <= b >= c", binary("Gte", binary("Lte", a, b), c)),
        ("a IN b > c", binary("Gt", binary("In", a, b), c)),
        ("a IN b IN c", binary("In", binary("In", a, b), c)),
        ("a & b & c", binary("Concat", binary("Concat", a, b), c)),
        ("a && b && c", binary("And", binary("And", a, b), c)),
        ("a || b || c", binary("Or", binary("Or", a, b), c)),
        # ^ groups to the right
        ("2 ^ 3 ^ 2", binary("Pow", two, binary("Pow", three, two))),
        # adjacent rows, in both orders
        ("a || b && c", binary("Or", a, binary("And", b, c))),
        ("a && b || c", binary("Or", binary("And", a, b), c)),
        ("a && b = c", binary("And", a, binary("Eq", b, c))),
        ("a = b && c", binary("And", binary("Eq", a, b), c)),
        ("a & b = c", binary("Eq", binary("Concat", a, b), c)),
        ("a IN b & c", binary("In", a, binary("Concat", b, c))),
        ("a + b & c", binary("Concat", binary("Add", a, b), c)),
        ("a & b - c", binary("Concat", a, binary("Sub", b, c))),
        ("a * b + c", binary("Add", binary("Mul", a, b), c)),
        ("a - b / c", binary("Sub", a, binary("Div", b, c))),
        ("a ^ b * c", binary("Mul", binary("Pow", a, b), c)),
        ("a / b ^ c", binary("Div", a, binary("Pow", b, c))),
        ("a || b = c & d", binary("Or", a, binary("Eq", b, binary("Concat", c, d)))),
        # unary + and -: tighter than * and /, looser than ^
        ("-a * b", binary("Mul", neg(a), b)),
        ("-a ^ b", neg(binary("Pow", a, b))),
        ("2 * -3", binary("Mul", two, neg(three))),
        ("-a + b", binary("Add", neg(a), b)),
        ("a - -b", binary("Sub", a, neg(b))),
        ("+a", unary("Plus", a)),
        ("- -1", neg(neg(one))),
        ("-+a", neg(unary("Plus", a))),
        ("a ^ -b", binary("Pow", a, neg(b))),
        ("a ^ -b ^ c", binary("Pow", a, neg(binary("Pow", b, c)))),
        ("a ^ -b * c", binary("Mul", binary("Pow", a, neg(b)), c)),
        # NOT takes everything up to the next && or ||
        ("NOT a = b && c", binary("And", not_(binary("Eq", a, b)), c)),
        ("NOT a || b", binary("Or", not_(a), b)),
        ("NOT a & b IN c", not_(binary("In", binary("Concat", a, b), c))),
        ("a && NOT b", binary("And", a, not_(b))),
        ("a = NOT b = c", binary("Eq", a, not_(binary("Eq", b, c)))),
        ("NOT NOT a", not_(not_(a))),
        ("not a", not_(a)),
        ("NOT(x)", not_(paren(x))),
        ("-NOT a + b", neg(not_(binary("Add", a, b)))),
        # IN takes any right operand; `in` where an operand stands is a name
        ("x IN {1, 2}", binary("In", x, table(one, two))),
        ("in + 1", binary("Add", ident("in"), one)),
        ("in in in", binary("In", ident("in"), ident("in"))),
        # a VAR block reaches as far as an expression can, whatever precedes it
        ("1 + VAR x = 2 RETURN x * 3", binary("Add", one, var_block([("x", two)], binary("Mul", x, three)))),
        ("-VAR x = 1 RETURN x + 1", neg(var_block([("x", one)], binary("Add", x, one)))),
        ("VAR a = 1 VAR b = 2 RETURN a + b", var_block([("a", one), ("b", two)], binary("Add", a, b))),
        ("VAR a = 1 VAR a = 2 RETURN b", var_block([("a", one), ("a", two)], b)),
        ("var x = 1 + 2 return x", var_block([("x", binary("Add", one, two))], x)),
        ("VAR x = VAR y = 1 RETURN y RETURN x", var_block([("x", var_block([("y", one)], ident("y")))], x)),
    ],
)
def test_operator_grouping(text, expected):
    parses_to(parse_expression, text, expected)


@pytest.mark.parametrize(
    "text, expected",
    [
        # the worked examples, written out
        ("1 + 2 * 3", '{"Binary":{"op":"Add","left":{"Number":"1"},"right":{"Binary":{"op":"Mul",'
                      '"left":{"Number":"2"},"right":{"Number":"3"}}}}}'),
        ("-x", '{"Unary":{"op":"Minus","expr":{"Identifier":"x"}}}'),
        ("'Sales'[Amount]", '{"TableColumnRef":{"table":{"name":"Sales","quoted":true},"column":"Amount"}}'),
        ("SUM(Sales[Amount])", '{"FunctionCall":{"name":"SUM","args":[{"TableColumnRef":{"table":'
                               '{"name":"Sales","quoted":false},"column":"Amount"}}]}}'),
        ("BLANK", '"Blank"'),
        ("{1, (2, 3)}", '{"TableConstructor":[[{"Number":"1"}],[{"Number":"2"},{"Number":"3"}]]}'),
        ("VAR a = 1 RETURN a", '{"VarBlock":{"decls":[{"name":"a","expr":{"Number":"1"}}],"body":{"Identifier":"a"}}}'),
        ('"a""b"', '{"String":"a\\"b"}'),
        ("Sales[Date].[Year]", '{"HierarchyRef":{"table":{"name":"Sales","quoted":false},"column":"Date",'
                               '"levels":["Year"]}}'),
    ],
)
def test_worked_examples_exactly(text, expected):
    assert parse_expression(text) == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        # literals keep their source text
        ("007", num("007")),
        ("1.5E-3", num("1.5E-3")),
        (".5", num(".5")),
        ('""', string("")),
        ('"é\t\\"', string("é\t\\")),
        ("@p", param("p")),
        # literal words, only when not followed by ( or [
        ("TRUE", boolean(True)),
        ("true", boolean(True)),
        ("False", boolean(False)),
        ("blank", BLANK),
        ("BLANK + 1", binary("Add", BLANK, one)),
        ("blanks", ident("blanks")),
        ("TRUE()", call("TRUE")),
        ("BLANK()", call("BLANK")),
        ("TRUE /**/ [x]", column("TRUE", "x")),
        ("TRUE -- c\n()", call("TRUE")),
        ("'TRUE'", table_ref("TRUE")),
        # names and references
        ("Sales", ident("Sales")),
        ("Sales.Amount", ident("Sales.Amount")),
        ("'Sales'", table_ref("Sales")),
        ("'Sales Data'[Net Amount]", column("Sales Data", "Net Amount", quoted=True)),
        ("Sales[Amount]", column("Sales", "Amount")),
        ("[Total Sales]", bracket("Total Sales")),
        ("[a]]b]", bracket("a]b")),
        ("'Sales'[Date].[Year].[Month]", hierarchy("Sales", "Date", ["Year", "Month"], quoted=True)),
        ("Sales [Date] . [Year]", hierarchy("Sales", "Date", ["Year"])),
        ("Sales[Date] * 2", binary("Mul", column("Sales", "Date"), two)),
        ("a.[b]", column("a.", "b")),
        # calls: any name, any number of arguments, either separator
        ("F()", call("F")),
        ("sum(x)", call("sum", x)),
        ("F(1, 2)", call("F", one, two)),
        ("F(1;2)", call("F", one, two)),
        ("F(1;2,3)", call("F", one, two, three)),
        ("F(G(), (1), {})", call("F", call("G"), paren(one), table())),
        ("VAR.S(x)", call("VAR.S", x)),
        ("in(1)", call("in", one)),
        # parentheses always leave a node
        ("(1)", paren(one)),
        ("((x))", paren(paren(x))),
        ("(1 + 2) * 3", binary("Mul", paren(binary("Add", one, two)), three)),
        # table constructors: a row that starts with ( is a tuple
        ("{}", table()),
        ("{1, 2}", table(one, two)),
        ("{(1, 2)}", table([one, two])),
        ("{(1)}", table([one])),
        ("{0 + (1)}", table(binary("Add", num("0"), paren(one)))),
        ("{(1, 2), 3}", table([one, two], three)),
        ("{1; 2}", table(one, two)),
        ("{(1; 2), (3, 1); 2}", table([one, two], [three, one], two)),
        ("{{1}}", table(table(one))),
        ("{(x), -1}", table([x], neg(one))),
        # a leading = is dropped, once
        ("= 1 + 2", binary("Add", one, two)),
        ("=1", one),
        ("Total = SUM(x)", binary("Eq", ident("Total"), call("SUM", x))),
        # doc comments: skipped before the formula and before any operand
        ("/// note\n1", one),
        ("/// a\n/// b\n= 1", one),
        ("= /// a\n1", one),
        ("/// c\nNOT x", not_(x)),
        ("/// c\nVAR x = 1 RETURN x", var_block([("x", one)], x)),
        ("1 + /// c\n2", binary("Add", one, two)),
        ("1 + /// c\n/// d\n2", binary("Add", one, two)),
        ("NOT /// c\nx", not_(x)),
        ("F(/// c\n1, /// d\n2)", call("F", one, two)),
        ("(/// c\n1)", paren(one)),
        ("{/// c\n1, (/// d\n2)}", table(one, [two])),
        # ... where an operand follows one, NOT and VAR are plain names
        ("1 + /// c\nNOT", binary("Add", one, ident("NOT"))),
        ("1 + /// c\nVAR", binary("Add", one, ident("VAR"))),
        ("1 + /// c\nVAR(2)", binary("Add", one, call("VAR", two))),
        ("1 + /// c\nnot = 1", binary("Eq", binary("Add", one, ident("not")), one)),
        # ordinary comments are allowed anywhere
        ("1 -- c\n+ 2 // d", binary("Add", one, two)),
        ("1 /* c */ + /* d */ 2", binary("Add", one, two)),
    ],
)
def test_primary_forms(text, expected):
    parses_to(parse_expression, text, expected)


@pytest.mark.parametrize(
    "text, message, start, end",
    [
        # end of input where an operand is needed
        ("", "unexpected end of input", 0, 0),
        ("   ", "unexpected end of input", 3, 3),
        ("-- c", "unexpected end of input", 4, 4),
        ("/// c", "unexpected end of input", 5, 5),
        ("/// c\nNOT", "unexpected end of input", 9, 9),
        ("=", "unexpected end of input", 1, 1),
        ("1 +", "unexpected end of input", 3, 3),
        ("-", "unexpected end of input", 1, 1),
        ("F(", "unexpected end of input", 2, 2),
        ("{", "unexpected end of input", 1, 1),
        ("1 + /// c", "unexpected end of input", 9, 9),
        ("VAR x = 1 RETURN", "unexpected end of input", 16, 16),
        # tokens that cannot begin an operand
        (")", "expected expression", 0, 1),
        ("==1", "expected expression", 0, 2),
        ("= = 1", "expected expression", 2, 3),
        ("1 + )", "expected expression", 4, 5),
        ("1 * * 2", "expected expression", 4, 5),
        ("F(a,,b)", "expected expression", 4, 5),
        ("F(,a)", "expected expression", 2, 3),
        ("{,1}", "expected expression", 1, 2),
        ("{(1,,2)}", "expected expression", 4, 5),
        ("1 + /// c\n-2", "expected expression", 10, 11),
        ("- /// c\n-x", "expected expression", 8, 9),
        ("1 + .", "expected expression", 4, 5),
        ("=> 1", "expected expression", 0, 2),
        # leftovers after a whole expression
        ("1 2", "expected end of input", 2, 3),
        ("é 1", "expected end of input", 3, 4),
        ("1;", "expected end of input", 1, 2),
        ("(1))", "expected end of input", 3, 4),
        ("1 }", "expected end of input", 2, 3),
        ("1 /// note", "expected end of input", 2, 10),
        ("x NOT IN {1, 2}", "expected end of input", 2, 5),
        ("a INx b", "expected end of input", 2, 5),
        ("a 'IN' b", "expected end of input", 2, 6),
        ("a ın b", "expected end of input", 2, 5),
        ("'T'(1)", "expected end of input", 3, 4),
        ("[a] [b]", "expected end of input", 4, 7),
        ("1, 2", "expected end of input", 1, 2),
        ("F(1)(2)", "expected end of input", 4, 5),
        # calls and parentheses
        ("(1", "expected `)`", 2, 2),
        ("(1 2)", "expected `)`", 3, 4),
        ("F(1", "expected `)`", 3, 3),
        ("F(1 2)", "expected `)`", 4, 5),
        ("F(1,)", "trailing argument separator", 4, 5),
        ("F(1;)", "trailing argument separator", 4, 5),
        ("F(1, 2 ; )", "trailing argument separator", 9, 10),
        # VAR blocks
        ("VAR", "expected variable name", 3, 3),
        ("VAR(1)", "expected variable name", 3, 4),
        ("VAR 'x' = 1 RETURN x", "expected variable name", 4, 7),
        ("VAR [x] = 1 RETURN x", "expected variable name", 4, 7),
        ("VAR x 1", "expected `=`", 6, 7),
        ("VAR x == 1 RETURN x", "expected `=`", 6, 8),
        ("VAR x = 1", "expected keyword return", 9, 9),
        ("VAR x = 1 x", "expected keyword return", 10, 11),
        ("VAR x = RETURN x", "expected keyword return", 15, 16),
        ("VAR x = 1 'RETURN' x", "expected keyword return", 10, 18),
        ("VAR x = 1 RETURNS x", "expected keyword return", 10, 17),
        # table constructors
        ("{1,}", "trailing separator in table constructor", 3, 4),
        ("{1;}", "trailing separator in table constructor", 3, 4),
        ("{(1,)}", "trailing separator in tuple row", 4, 5),
        ("{()}", "empty tuple row in table constructor", 2, 3),
        ("{1, ()}", "empty tuple row in table constructor", 5, 6),
        ("{(1) + 2}", "expected `}`", 5, 6),
        ("{1", "expected `}`", 2, 2),
        ("{1 2}", "expected `}`", 3, 4),
        ("{(1, 2}", "expected `)`", 6, 7),
        ("{(1", "expected `)`", 3, 3),
        # hierarchy levels
        ("Sales[Date].Year", "expected hierarchy level like [Year]", 12, 16),
        ("Sales[Date].", "expected hierarchy level like [Year]", 12, 12),
        ("'S'[Date].[Year].", "expected hierarchy level like [Year]", 17, 17),
        ("Sales[Date].'Year'", "expected hierarchy level like [Year]", 12, 18),
    ],
)
def test_errors(text, message, start, end):
    expect_error(parse_expression, text, message, start, end)


def nested(open_, close, depth, inner="1"):
    return open_ * depth + inner + close * depth


def wrapped(wrap, depth, tree):
    for _ in range(depth):
        tree = wrap(tree)
    return tree


# One level is the whole formula; each form below adds one more per repetition.
# The error names the operand at which the 257th active parse begins: the
# innermost one, or for VAR blocks the value of the 256th block.
@pytest.mark.parametrize(
    "prefix, suffix, wrap, error_start",
    [
        ("(", ")", paren, 256),
        ("- ", "", neg, 512),
        ("NOT ", "", not_, 1024),
        ("F(", ")", lambda e: call("F", e), 512),
        ("{", "}", table, 256),
        ("VAR x = 1 RETURN ", "", lambda e: var_block([("x", one)], e), 17 * 255 + 8),
    ],
)
def test_nesting_limit(prefix, suffix, wrap, error_start):
    parses_to(parse_expression, nested(prefix, suffix, 255), wrapped(wrap, 255, one))
    expect_error(parse_expression, nested(prefix, suffix, 256), "expression nesting too deep",
                 error_start, error_start + 1)


def test_nesting_limit_of_right_operands():
    # A right operand is one level deeper than its left neighbour; a left operand is not.
    pow_chain = wrapped(lambda e: binary("Pow", one, e), 255, one)
    parses_to(parse_expression, "1" + "^1" * 255, pow_chain)
    expect_error(parse_expression, "1" + "^1" * 256, "expression nesting too deep", 512, 513)
    deep = nested("(", ")", 255)
    parses_to(parse_expression, deep + " + 1", binary("Add", wrapped(paren, 255, one), one))
    parses_to(parse_expression, "1 + " + nested("(", ")", 254), binary("Add", one, wrapped(paren, 254, one)))
    expect_error(parse_expression, deep + " + " + deep, "expression nesting too deep", 769, 770)


def test_depth_is_restored_after_each_operand():
    # Siblings at the limit each start again from their parent's depth.
    arg = nested("(", ")", 254)
    parses_to(parse_expression, f"F({arg}, {arg}; {arg})", call("F", *[wrapped(paren, 254, one)] * 3))
    cells = ", ".join([nested("- ", "", 254)] * 3)
    parses_to(parse_expression, "{" + cells + "}", table(*[wrapped(neg, 254, one)] * 3))
    chain = "1" + "+1" * 10_000
    assert parse_expression(chain).count('"Add"') == 10_000


def test_result_is_compact_and_escaped():
    text = parse_expression('F("a\\b\n\x1b", \'é\u2028\'[/])')
    assert text == compact(call("F", string("a\\b\n\x1b"), column("é\u2028", "/", quoted=True)))
    assert "\\u001b" in text and not text.endswith("\n")
