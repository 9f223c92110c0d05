"""`parse_query`: DEFINE blocks with their five definitions and doc comments,
EVALUATE statements with ORDER BY and START AT, statement boundaries and
every query error."""

import pytest

from conftest import (
    binary, bracket, call, column_def, evaluate, expect_error, function_def, ident, key, measure,
    num, parses_to, query, string, table, table_def, table_name, table_ref, var_block, var_def,
)
from quarrow_dax._native import parse_query

one, two = num("1"), num("2")
t, u, a, b = (ident(name) for name in ("t", "u", "a", "b"))
T = table_name("T")
NO_DEFINITION = "expected MEASURE, FUNCTION, VAR, TABLE, or COLUMN in DEFINE block"
EVAL_1 = evaluate(table(one))


@pytest.mark.parametrize(
    "text, expected",
    [
        ("DEFINE MEASURE Sales[Total] = 1 EVALUATE {1} ORDER BY [Total] DESC",
         '{"define":{"defs":[{"Measure":{"doc":null,"table":{"name":"Sales","quoted":false},"name":"Total",'
         '"expr":{"Number":"1"}}}]},"evaluates":[{"expr":{"TableConstructor":[[{"Number":"1"}]]},'
         '"order_by":[{"expr":{"BracketRef":"Total"},"direction":"Desc"}],"start_at":null}]}'),
        ("EVALUATE {1}",
         '{"define":null,"evaluates":[{"expr":{"TableConstructor":[[{"Number":"1"}]]},'
         '"order_by":[],"start_at":null}]}'),
        ("DEFINE VAR k = 1 FUNCTION AddOne = (x : INT64) => x + k EVALUATE {AddOne(1)}",
         '{"define":{"defs":[{"Var":{"doc":null,"name":"k","expr":{"Number":"1"}}},{"Function":{"doc":null,'
         '"name":"AddOne","params":[{"name":"x","type_hints":["INT64"]}],"body":{"Binary":{"op":"Add",'
         '"left":{"Identifier":"x"},"right":{"Identifier":"k"}}}}}]},"evaluates":[{"expr":{"TableConstructor":'
         '[[{"FunctionCall":{"name":"AddOne","args":[{"Number":"1"}]}}]]},"order_by":[],"start_at":null}]}'),
    ],
)
def test_worked_examples_exactly(text, expected):
    assert parse_query(text) == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        # statements need no separator; semicolons around them are skipped
        ("EVALUATE {1} EVALUATE t", query(EVAL_1, evaluate(t))),
        (";EVALUATE {1};;EVALUATE t;", query(EVAL_1, evaluate(t))),
        ("EVALUATE {1}\n/// c\nEVALUATE t\n/// d", query(EVAL_1, evaluate(t))),
        ("EVALUATE {1}\n/// c\n;", query(EVAL_1)),
        ("EVALUATE {1} ; /// c\n; /// d", query(EVAL_1)),
        ("/// a\n/// b\nEVALUATE {1}", query(EVAL_1)),
        ("EVALUATE /// c\n{1}", query(EVAL_1)),
        ("EVALUATE VAR x = 1 RETURN {x}", query(evaluate(var_block([("x", one)], table(ident("x")))))),
        ("EVALUATE 'T'", query(evaluate(table_ref("T")))),
        # keywords in any capitalisation; names keep theirs
        ("evaluate {1} order by [x] desc", query(evaluate(table(one), [key(bracket("x"), "Desc")]))),
        ("eVaLuAtE t OrDeR bY a AsC, b dEsC sTaRt At 1", query(evaluate(t, [key(a), key(b, "Desc")], [one]))),
        ("define measure t[m] = 1 evaluate {1}", query(EVAL_1, define=[measure(table_name("t"), "m", one)])),
        # ORDER BY and START AT
        ("EVALUATE t ORDER BY a", query(evaluate(t, [key(a)]))),
        ("EVALUATE t ORDER BY a, b DESC START AT 1, 2", query(evaluate(t, [key(a), key(b, "Desc")], [one, two]))),
        ("EVALUATE t ORDER BY a, b START AT \"x\"", query(evaluate(t, [key(a), key(b)], [string("x")]))),
        ("EVALUATE t ORDER BY a; b, [c] START AT 1; 2",
         query(evaluate(t, [key(a), key(b), key(bracket("c"))], [one, two]))),
        ("EVALUATE t ORDER BY /// c\na", query(evaluate(t, [key(a)]))),
        ("EVALUATE t ORDER BY a + 1 DESC, F(b) ASC",
         query(evaluate(t, [key(binary("Add", a, one), "Desc"), key(call("F", b))]))),
        ("EVALUATE t ORDER BY a DESC; EVALUATE", query(evaluate(t, [key(a, "Desc"), key(ident("EVALUATE"))]))),
        # definitions of every kind, with or without a table
        ("DEFINE MEASURE [m] = 1 EVALUATE {1}", query(EVAL_1, define=[measure(None, "m", one)])),
        ("DEFINE MEASURE 'Sales Data'[m] = 1 EVALUATE {1}",
         query(EVAL_1, define=[measure(table_name("Sales Data", True), "m", one)])),
        ("DEFINE COLUMN T[c] = 1 COLUMN [d] = 2 EVALUATE {1}",
         query(EVAL_1, define=[column_def(T, "c", one), column_def(None, "d", two)])),
        ("DEFINE COLUMN 'T'[c] = 1 EVALUATE {1}", query(EVAL_1, define=[column_def(table_name("T", True), "c", one)])),
        ("DEFINE TABLE 'Top Ten' = {1} TABLE X = t EVALUATE {1}",
         query(EVAL_1, define=[table_def("Top Ten", table(one)), table_def("X", t)])),
        ("DEFINE VAR v = 1 VAR v = 2 EVALUATE {1}", query(EVAL_1, define=[var_def("v", one), var_def("v", two)])),
        ("DEFINE FUNCTION f = () => 1 EVALUATE {1}", query(EVAL_1, define=[function_def("f", [], one)])),
        ("DEFINE FUNCTION f = (a : SCALAR VARIANT, b) => a EVALUATE {1}",
         query(EVAL_1, define=[function_def("f", [("a", ["SCALAR", "VARIANT"]), ("b", [])], a)])),
        ("DEFINE FUNCTION f = (a; b : TABLE; a) => b EVALUATE {1}",
         query(EVAL_1, define=[function_def("f", [("a", []), ("b", ["TABLE"]), ("a", [])], b)])),
        ("DEFINE MEASURE T[m] = VAR x = 1 RETURN x MEASURE T[n] = 2 EVALUATE {1}",
         query(EVAL_1, define=[measure(T, "m", var_block([("x", one)], ident("x"))), measure(T, "n", two)])),
        ("DEFINE ; MEASURE T[m] = 1 ;; EVALUATE {1}", query(EVAL_1, define=[measure(T, "m", one)])),
        ("DEFINE MEASURE T[m] = 1 + /// x\n2 EVALUATE {1}",
         query(EVAL_1, define=[measure(T, "m", binary("Add", one, two))])),
        # doc comments attach to the next definition, one line each
        ("DEFINE\n/// Total sales\n///   in euros\nMEASURE T[m] = 1\nEVALUATE {1}",
         query(EVAL_1, define=[measure(T, "m", one, doc="Total sales\nin euros")])),
        ("DEFINE\n///\nMEASURE T[m] = 1 EVALUATE {1}", query(EVAL_1, define=[measure(T, "m", one, doc="")])),
        ("DEFINE\n/// a\n///\r\nVAR v = 1 EVALUATE {1}", query(EVAL_1, define=[var_def("v", one, doc="a\n")])),
        ("DEFINE /// a\nVAR v = 1\n/// b\nTABLE X = t /// c\nCOLUMN [c] = 2; /// d\nFUNCTION f = () => 1 EVALUATE {1}",
         query(EVAL_1, define=[var_def("v", one, doc="a"), table_def("X", t, doc="b"),
                               column_def(None, "c", two, doc="c"), function_def("f", [], one, doc="d")])),
        ("DEFINE ; /// d\nMEASURE T[m] = 1 EVALUATE {1}", query(EVAL_1, define=[measure(T, "m", one, doc="d")])),
        ("DEFINE MEASURE T[m] = 1\n/// gone\nEVALUATE {1}", query(EVAL_1, define=[measure(T, "m", one)])),
        ("/// gone\nDEFINE MEASURE T[m] = 1 EVALUATE {1}", query(EVAL_1, define=[measure(T, "m", one)])),
        ('DEFINE MEASURE T[m] = "\\""" EVALUATE {1}', query(EVAL_1, define=[measure(T, "m", string('\\"'))])),
    ],
)
def test_queries(text, expected):
    parses_to(parse_query, text, expected)


@pytest.mark.parametrize(
    "text, message, start, end",
    [
        # no statement at all
        ("", "expected at least one EVALUATE statement", 0, 0),
        (" ;; /// c\n", "expected at least one EVALUATE statement", 10, 10),
        ("x", "expected at least one EVALUATE statement", 0, 1),
        ("EVALUATEx {1}", "expected at least one EVALUATE statement", 0, 9),
        ("'EVALUATE' {1}", "expected at least one EVALUATE statement", 0, 10),
        ("DEFINE MEASURE T[m] = 1", "expected at least one EVALUATE statement", 23, 23),
        ("DEFINE MEASURE T[m] = 1 ;", "expected at least one EVALUATE statement", 25, 25),
        # after the statements
        ("EVALUATE {1}\n/// note\n; EVALUATE {2}", "expected end of input", 24, 32),
        ("EVALUATE {1}\n/// c\n;\n/// d\n;", "expected end of input", 27, 28),
        ("EVALUATE {1} /// c\nx", "expected end of input", 19, 20),
        ("EVALUATE t ORDER BY a /// c\n, b", "expected end of input", 28, 29),
        # statement boundaries
        ("EVALUATE t u", "unexpected token after statement", 11, 12),
        ("EVALUATE t; u", "unexpected token after statement", 12, 13),
        ("EVALUATE t DEFINE MEASURE T[m] = 1", "unexpected token after statement", 11, 17),
        ("EVALUATE t ORDER BY a DESC DESC", "unexpected token after statement", 27, 31),
        ("EVALUATE t ORDER BY a; EVALUATE u", "unexpected token after statement", 32, 33),
        ("EVALUATE t MEASURE", "unexpected token after statement", 11, 18),
        ("DEFINE MEASURE T[m] = 1 DEFINE MEASURE T[n] = 2 EVALUATE {1}", "unexpected token after statement", 24, 30),
        ("DEFINE MEASURE T[m] = 1 x EVALUATE {1}", "unexpected token after statement", 24, 25),
        ("DEFINE MEASURE T[m] = 1; ; ORDER", "unexpected token after statement", 27, 32),
        ("DEFINE FUNCTION f = (a) => 1 2", "unexpected token after statement", 29, 30),
        # ORDER BY and START AT
        ("EVALUATE", "unexpected end of input", 8, 8),
        ("EVALUATE t ORDER BY a,", "unexpected end of input", 22, 22),
        ("EVALUATE t ORDER BY a START AT", "unexpected end of input", 30, 30),
        ("EVALUATE t ORDER BY", "unexpected end of input", 19, 19),
        ("EVALUATE t ORDER BY a START AT 1;", "unexpected end of input", 33, 33),
        ("EVALUATE t ORDER BY a;;", "expected expression", 22, 23),
        ("EVALUATE t ORDER a", "expected keyword by", 17, 18),
        ("EVALUATE t ORDER", "expected keyword by", 16, 16),
        ("EVALUATE t ORDER 'BY' a", "expected keyword by", 17, 21),
        ("EVALUATE t START AT 1", "START AT requires an ORDER BY clause", 11, 16),
        ("EVALUATE t START AT 1 ORDER BY a", "START AT requires an ORDER BY clause", 11, 16),
        ("EVALUATE t start", "START AT requires an ORDER BY clause", 11, 16),
        ("EVALUATE t ORDER BY a START 1", "expected keyword at", 28, 29),
        ("EVALUATE t ORDER BY a START", "expected keyword at", 27, 27),
        ("EVALUATE t ORDER BY a START AT 1, 2", "START AT has more arguments than ORDER BY", 35, 35),
        ("EVALUATE t ORDER BY a START AT 1, 2 EVALUATE u", "START AT has more arguments than ORDER BY", 36, 44),
        ("EVALUATE t ORDER BY a START AT 1; EVALUATE u", "START AT has more arguments than ORDER BY", 43, 44),
        ("EVALUATE t ORDER BY a START AT 1 ; ; EVALUATE u", "expected expression", 35, 36),
        ("EVALUATE t ORDER BY a START AT 1 ORDER BY b", "unexpected token after statement", 33, 38),
        # the DEFINE block
        ("DEFINE", "DEFINE block must contain at least one definition", 6, 6),
        ("DEFINE EVALUATE {1}", "DEFINE block must contain at least one definition", 7, 15),
        ("DEFINE ;; EVALUATE {1}", "DEFINE block must contain at least one definition", 10, 18),
        ("DEFINE /// c\nEVALUATE {1}", "DEFINE block must contain at least one definition", 13, 21),
        ("DEFINE /// c", "DEFINE block must contain at least one definition", 12, 12),
        ("DEFINE x", NO_DEFINITION, 7, 8),
        ("DEFINE MEASURES T[m] = 1 EVALUATE {1}", NO_DEFINITION, 7, 15),
        ("DEFINE DEFINE MEASURE T[m] = 1", NO_DEFINITION, 7, 13),
        ("DEFINE 'MEASURE' T[m] = 1", NO_DEFINITION, 7, 16),
        ("DEFINE /// c\n; MEASURE T[m] = 1 EVALUATE {1}", NO_DEFINITION, 13, 14),
        ("DEFINE MEASURE 1 = 2", "expected table name (identifier or single-quoted identifier)", 15, 16),
        ("DEFINE MEASURE = 2", "expected table name (identifier or single-quoted identifier)", 15, 16),
        ("DEFINE MEASURE T m = 1", "expected measure name like [My Measure]", 17, 18),
        ("DEFINE MEASURE 'T' 'm' = 1", "expected measure name like [My Measure]", 19, 22),
        ("DEFINE MEASURE T[m] 1", "expected `=`", 20, 21),
        ("DEFINE MEASURE T[m] == 1", "expected `=`", 20, 22),
        ("DEFINE MEASURE T[m] =", "unexpected end of input", 21, 21),
        ("DEFINE COLUMN 1", "expected table name (identifier or single-quoted identifier)", 14, 15),
        ("DEFINE COLUMN T c = 1", "expected column name like [My Column]", 16, 17),
        ("DEFINE COLUMN [c] 1", "expected `=`", 18, 19),
        ("DEFINE VAR 'x' = 1", "expected variable name", 11, 14),
        ("DEFINE VAR", "expected variable name", 10, 10),
        ("DEFINE VAR x 1", "expected `=`", 13, 14),
        ("DEFINE TABLE [x] = {1}", "expected table name for TABLE definition", 13, 16),
        ("DEFINE TABLE \"x\" = {1}", "expected table name for TABLE definition", 13, 16),
        ("DEFINE TABLE x {1}", "expected `=`", 15, 16),
        ("DEFINE FUNCTION 'f' = () => 1", "expected function name", 16, 19),
        ("DEFINE FUNCTION f (a) => 1", "expected `=`", 18, 19),
        ("DEFINE FUNCTION f = a => 1", "expected `(`", 20, 21),
        ("DEFINE FUNCTION f = (a b) => 1", "expected `)`", 23, 24),
        ("DEFINE FUNCTION f = (a", "expected `)`", 22, 22),
        ("DEFINE FUNCTION f = (a) 1", "expected `=>`", 24, 25),
        ("DEFINE FUNCTION f = (a) = > 1", "expected `=>`", 24, 25),
        ("DEFINE FUNCTION f = (a :) => 1", "expected at least one type hint after ':'", 24, 25),
        ("DEFINE FUNCTION f = (a : 1) => 1", "expected at least one type hint after ':'", 25, 26),
        ("DEFINE FUNCTION f = (a:b:c) => 1", "expected `)`", 24, 25),
        ("DEFINE FUNCTION f = (a, ) => 1", "trailing separator in FUNCTION parameter list", 24, 25),
        ("DEFINE FUNCTION f = (a; ) => 1", "trailing separator in FUNCTION parameter list", 24, 25),
        ("DEFINE FUNCTION f = (a, 1) => 1", "expected parameter name", 24, 25),
        ("DEFINE FUNCTION f = (1) => 1", "expected parameter name", 21, 22),
        ("DEFINE FUNCTION f = (,) => 1", "expected parameter name", 21, 22),
        ("DEFINE FUNCTION f = (a) =>", "unexpected end of input", 26, 26),
        # errors of the expressions inside pass through
        ("DEFINE MEASURE T[m] = F(1,) EVALUATE {1}", "trailing argument separator", 26, 27),
        ("EVALUATE {1,}", "trailing separator in table constructor", 12, 13),
        ("EVALUATE t ORDER BY VAR x = 1", "expected keyword return", 29, 29),
    ],
)
def test_errors(text, message, start, end):
    expect_error(parse_query, text, message, start, end)


def test_lex_error_is_reported_before_parsing():
    expect_error(parse_query, 'EVALUATE ) "x', "unterminated string literal", 11, 13, kind="lex")
    expect_error(parse_query, "DEFINE\n/// é\nMEASURE T[m] = 1 !", "unexpected character: '!'", 31, 32, kind="lex")
