"""The engine grammar, form by form: what it accepts beyond the standard
grammar (each case is rejected by the standard grammar, and prints back to
the same tree), and what it still rejects, as the engine does."""

import pytest

from quarrow_dax import syntax as S
from syntax_checks import tree_problems

one, two = S.Number("1"), S.Number("2")
a, b = S.BracketRef("a"), S.BracketRef("b")

ACCEPTED = [
    # omitted arguments, in any position but the last
    ("INDEX(1, , -1)", S.FunctionCall("INDEX", (one, S.Omitted(), S.Unary("Minus", one)))),
    ("f(,1)", S.FunctionCall("f", (S.Omitted(), one))),
    ("WINDOW(0, ABS, 0, REL,, -1)", S.FunctionCall("WINDOW", (
        S.Number("0"), S.Identifier("ABS"), S.Number("0"), S.Identifier("REL"), S.Omitted(), S.Unary("Minus", one)))),
    ("f(1;;2)", S.FunctionCall("f", (one, S.Omitted(), two))),
    # typed literals
    ('dt"2024-01-31"', S.TypedLiteral("dt", "2024-01-31")),
    ('DT"2015-1-9T02:30:00" + 1', S.Binary("Add", S.TypedLiteral("DT", "2015-1-9T02:30:00"), one)),
    # a row of values before IN
    ("( [a], [b] ) IN { (1, 2) }", S.Binary("In", S.RowConstructor((a, b)), S.TableConstructor(((one, two),)))),
    ("NOT ([a]; [b]) IN T", S.Unary("Not", S.Binary("In", S.RowConstructor((a, b)), S.Identifier("T")))),
    # the axes of visual calculations
    ("EXPAND ( ROWS COLUMNS )", S.FunctionCall("EXPAND", (S.Axis(("ROWS", "COLUMNS")),))),
    ("RUNNINGSUM([a], columns rows)", S.FunctionCall("RUNNINGSUM", (a, S.Axis(("columns", "rows"))))),
    # `///` lines are plain comments where no definition follows
    ("VAR x = 1\n/// note\nVAR y = 2\n/// more\nRETURN x + y",
     S.VarBlock((S.VarDecl("x", one), S.VarDecl("y", two)), S.Binary("Add", S.Identifier("x"), S.Identifier("y")))),
    ("1 + /// c\n-2", S.Binary("Add", one, S.Unary("Minus", two))),
]


@pytest.mark.parametrize("source, tree", ACCEPTED)
def test_accepted_expressions(source, tree):
    parsed = S.parse_expression(source)
    assert parsed == tree
    assert tree_problems(parsed, source) == []
    assert S.first_error(source, grammar="standard") is not None


QUERIES = [
    ("DEFINE FUNCTION f = ( x : INT64 = 2, y = BLANK() ) => x EVALUATE { f() }",
     lambda q: [p.default for p in q.define.defs[0].params] == [two, S.FunctionCall("BLANK", ())]),
    ("DEFINE\n/// doc\nMEASURE T[m] = 1 + /// not a doc\n-2\nEVALUATE {1}", lambda q: q.define.defs[0].doc == "doc"),
    ('DEFINE TABLE d = SUMMARIZECOLUMNS(T[Year], "m", [m])\n  WITH VISUAL SHAPE\n'
     '    AXIS ROWS GROUP [Year], [Code] TOTAL [IsTotal] ORDER BY [Year] DESC, [Code]\n'
     '    AXIS COLUMNS GROUP [Product]\n    DENSIFY "IsDensified"\nEVALUATE d',
     lambda q: (lambda shape: [axis.name for axis in shape.axes] == ["ROWS", "COLUMNS"]
                and shape.axes[0].groups[0].total == S.BracketRef("IsTotal")
                and [k.direction for k in shape.axes[0].order_by] == ["Desc", "Asc"]
                and shape.densify == "IsDensified")(q.define.defs[0].visual_shape)),
    # the values of dynamic M query parameters, as Power BI writes them into its queries
    ("DEFINE\n    MPARAMETER DateParameter = DATE ( 2022, 5, 23 )\n    MPARAMETER 'Country Parameter' = \"Canada\"\n"
     "    MPARAMETER BrandParameter = { \"Contoso\", \"Fabrikam\" }\nEVALUATE SUMMARIZECOLUMNS ( 'Date'[Date] )",
     lambda q: q.define.defs == (
         S.MParameter(None, "DateParameter", S.FunctionCall("DATE", (S.Number("2022"), S.Number("5"), S.Number("23")))),
         S.MParameter(None, "Country Parameter", S.String("Canada")),
         S.MParameter(None, "BrandParameter", S.TableConstructor(((S.String("Contoso"),), (S.String("Fabrikam"),)))))),
    ("DEFINE MEASURE T[m] = 1 mparameter p = [m]; /// its doc\nMParameter 'it''s' = @x VAR v = 2 EVALUATE {v}",
     lambda q: [type(d).__name__ for d in q.define.defs] == ["Measure", "MParameter", "MParameter", "Var"]
     and q.define.defs[2].name == "it's" and q.define.defs[2].doc == "its doc"
     and q.define.defs[1].expr == S.BracketRef("m")),
]


@pytest.mark.parametrize("source, check", QUERIES)
def test_accepted_queries(source, check):
    query = S.parse_query(source)
    assert check(query)
    assert tree_problems(query, source) == []
    assert S.first_error(source, kind="query", grammar="standard") is not None


REJECTED = [
    # (source, kind, message): the engine rejects these too
    ("f(1, )", "expression", "trailing argument separator"),
    ("f(1, , )", "expression", "trailing argument separator"),
    ('dt "2024-01-31"', "expression", "expected end of input"),
    ('xt"2024-01-31"', "expression", "expected end of input"),
    ("( 1, 2 )", "expression", "expected IN after a row of values in parentheses"),
    ("( 1, 2 ) + 1", "expression", "expected IN after a row of values in parentheses"),
    ("(1,)", "expression", "expected expression"),
    ("ROWS ROWS", "expression", "expected end of input"),
    ("{ 1, 2, }", "expression", "trailing separator in table constructor"),
    ("SUM(\u2018x\u2019)", "expression", "unexpected character: '\u2018'"),
    ("f((1)", "expression", "expected `)`"),
    ("[a] ] + 1", "expression", "unexpected character: ']'"),
    ("DEFINE FUNCTION f = (x = ) => x EVALUATE {1}", "query", "expected expression"),
    ("DEFINE FUNCTION f = (x : = 1) => x EVALUATE {1}", "query", "expected at least one type hint after ':'"),
    ("DEFINE TABLE t = T WITH VISUAL EVALUATE t", "query", "expected keyword shape"),
    ("DEFINE TABLE t = T WITH VISUAL SHAPE AXIS DIAGONAL GROUP [a] EVALUATE t", "query",
     "expected ROWS or COLUMNS after AXIS"),
    ('DEFINE TABLE t = T WITH VISUAL SHAPE DENSIFY "x" EVALUATE t', "query", "expected keyword axis"),
    ("DEFINE MEASURE T[m] = 1 WITH VISUAL SHAPE AXIS ROWS GROUP [a] EVALUATE {1}", "query",
     "unexpected token after statement"),
    ("(x) => x MEASURE T[m] = 1", "function", "expected end of input"),
    ("(x) => x\nEVALUATE {1}", "function", "expected end of input"),
    ("x => x", "function", "expected `(`"),
    # the standard grammar steps over `///` here and reads VAR as a name
    ("1 + /// c\nVAR", "expression", "expected variable name"),
    ("DEFINE MPARAMETER = 1 EVALUATE {1}", "query",
     "expected the name of an M parameter (identifier or single-quoted identifier)"),
    ("DEFINE MPARAMETER [p] = 1 EVALUATE {1}", "query",
     "expected the name of an M parameter (identifier or single-quoted identifier)"),
    ("DEFINE MPARAMETER p 1 EVALUATE {1}", "query", "expected `=`"),
    ("DEFINE MPARAMETER p = ; EVALUATE {1}", "query", "expected expression"),
    ("DEFINE MPARAMETER p = 1 2 EVALUATE {1}", "query", "unexpected token after statement"),
    ("DEFINE MPARAMETER p = 1", "query", "expected at least one EVALUATE statement"),
    ("EVALUATE {1} MPARAMETER p = 1", "query", "unexpected token after statement"),
    ("DEFINE MPARAM p = 1 EVALUATE {1}", "query",
     "expected MEASURE, FUNCTION, VAR, TABLE, COLUMN, or MPARAMETER in DEFINE block"),
    ("MPARAMETER p = 1", "expression", "expected end of input"),
]


@pytest.mark.parametrize("source, kind, message", REJECTED)
def test_rejected(source, kind, message):
    error = S.first_error(source, kind=kind)
    assert error is not None and error.message == message


def test_model_functions_parse_whole():
    function = S.parse_function("/// Adds\n( x : NUMERIC, y : NUMERIC = 1 ) => x + y", name="Add")
    assert function.name == "Add" and function.doc == "Adds"
    assert [p.name for p in function.params] == ["x", "y"] and function.params[1].default == one
    assert function.span == (0, len("/// Adds\n( x : NUMERIC, y : NUMERIC = 1 ) => x + y"))
    with pytest.raises(S.ParseError, match="expected end of input at 9..10"):
        S.parse_function("(x) => x ) ")


STANDARD_REJECTS_MPARAMETER = [
    # the standard grammar (and so the exact module) keeps its messages
    ("DEFINE MPARAMETER p = 1 EVALUATE {1}", "expected MEASURE, FUNCTION, VAR, TABLE, or COLUMN in DEFINE block"),
    ("DEFINE MEASURE T[m] = 1 MPARAMETER p = 1 EVALUATE {1}", "unexpected token after statement"),
]


@pytest.mark.parametrize("source, message", STANDARD_REJECTS_MPARAMETER)
def test_the_standard_grammar_rejects_mparameter(source, message):
    import quarrow_dax

    error = S.first_error(source, kind="query", grammar="standard")
    assert error is not None and error.message == message
    with pytest.raises(ValueError, match=message):
        quarrow_dax.parse_query(source)


def test_an_mparameter_reads_through_every_layer():
    from quarrow_dax.formatter import format
    from quarrow_dax.references import references
    from quarrow_dax.lint import lint_text

    source = "DEFINE\n/// from the report\nMPARAMETER 'Country Parameter'=\"Canada\" MPARAMETER Top = 1+[n]\nEVALUATE {1}"
    query = S.parse_query(source)
    printed = query.to_dax()
    assert printed.splitlines()[1:4] == ["    /// from the report", "    MPARAMETER 'Country Parameter' = \"Canada\"",
                                         "    MPARAMETER Top = 1 + [n]"]
    assert S.parse_query(printed) == query
    formatted = format(source, kind="query")
    assert formatted.splitlines()[:4] == [
        "DEFINE", "    /// from the report", "    MPARAMETER 'Country Parameter' = \"Canada\"", "    MPARAMETER Top = 1 + [n]"]
    assert S.parse_query(formatted) == query
    assert [(r.kind, r.name) for r in references(source, kind="query")] == [
        ("mparameter definition", "Country Parameter"), ("mparameter definition", "Top"), ("bracket", "n")]
    assert lint_text(source) == []
