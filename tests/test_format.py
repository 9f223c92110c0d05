"""The formatter: golden files for the style (tests/format/NAME.in.dax is
formatted to NAME.out.dax, which formats to itself), a table of small cases,
the safety net, deep input, and printing a changed tree with its comments."""

import dataclasses
import pathlib

import pytest

import quarrow_dax
from quarrow_dax import syntax as S
from quarrow_dax.check import is_query
from quarrow_dax.formatter import FormatError, FormatOptions, format_tree, layout

GOLDEN_DIR = pathlib.Path(__file__).parent / "format"
GOLDENS = sorted(path.name[: -len(".in.dax")] for path in GOLDEN_DIR.glob("*.in.dax"))

# The options each golden file is formatted with, where not the defaults.
GOLDEN_OPTIONS = {
    "narrow": {"width": 60},
    "indent_two": {"indent": 2, "width": 40},
    "no_space": {"space_before_paren": False},
    "semicolons": {"separators": "semicolon"},
}


def golden_kind(name, text):
    return "function" if name == "function" else "query" if is_query(text) else "expression"


@pytest.mark.parametrize("name", GOLDENS)
def test_golden(name):
    text = (GOLDEN_DIR / f"{name}.in.dax").read_text(encoding="utf-8")
    expected = (GOLDEN_DIR / f"{name}.out.dax").read_text(encoding="utf-8")
    options = GOLDEN_OPTIONS.get(name, {})
    kind = golden_kind(name, text)
    assert quarrow_dax.format(text, kind=kind, **options) + "\n" == expected
    assert quarrow_dax.format(expected, kind=kind, **options) + "\n" == expected


CASES = [
    # keywords and built-in functions in upper case; names, strings and numbers as written
    ("sum('sales'[amount])", "SUM ( 'sales'[amount] )"),
    ('if(true, "a""b", 1.50e3)', 'IF ( TRUE, "a""b", 1.50e3 )'),
    ("MyFunction(1)", "MyFunction ( 1 )"),
    ("DaxLib.Format.Percent(x)", "DaxLib.Format.Percent ( x )"),
    ("percentile.inc(T[a], 0.5)", "PERCENTILE.INC ( T[a], 0.5 )"),
    ("today()", "TODAY ()"),
    ("[a] in {1,2}", "[a] IN { 1, 2 }"),
    ("not [a]", "NOT [a]"),
    ("- -1", "- -1"),
    ("-(-1)", "-( -1 )"),
    ("2^3^4", "2 ^ 3 ^ 4"),
    ("(2^3)^4", "( 2 ^ 3 ) ^ 4"),
    ("'Date'[Calendar].[Year]", "'Date'[Calendar].[Year]"),
    ("@p + 1", "@p + 1"),
    ("= 1+2", "= 1 + 2"),
    ("{ (1) }", "{ 1 }"),
    ("{ ((1)) }", "{ ( ( 1 ) ) }"),
    ("INDEX(1, , -1)", "INDEX ( 1, , -1 )"),
    # comments stay next to their code
    ("1 + 2 -- three", "1 + 2 -- three"),
    ("1 + /* two */ 2", "1 + /* two */ 2"),
    ("f(x /* c */, y)", "f ( x /* c */, y )"),
    ("f(/*a*/x,y/*b*/)", "f ( /*a*/ x, y /*b*/ )"),
    ("-- first\n1", "-- first\n1"),
    ("1 /* a */ /* b */", "1 /* a */ /* b */"),
    ("f(1, -- one\n2)", "f (\n    1, -- one\n    2\n)"),
    ("f(1 -- one\n, 2)", "f (\n    1, -- one\n    2\n)"),
    ("a + -- after the operator\nb", "a + b -- after the operator"),
    ("VAR a = 1\n\n\n\nVAR b = 2 RETURN a", "VAR a = 1\n\nVAR b = 2\nRETURN\n    a"),
    ("1 + 2 // end  \r\n", "1 + 2 // end"),
]


@pytest.mark.parametrize("text, expected", CASES, ids=[case[0] for case in CASES])
def test_cases(text, expected):
    assert quarrow_dax.format(text) == expected
    assert quarrow_dax.format(expected) == expected


def test_a_query_with_semicolons_and_no_space_before_parens():
    text = "EVALUATE ROW ( \"a\", ROUND ( 1,5; 0 ) )"
    assert quarrow_dax.format(text, kind="query", separators="semicolon", space_before_paren=False) == (
        'EVALUATE\nROW( "a"; ROUND( 1,5; 0 ) )')


@pytest.mark.parametrize("options", [{"width": 0}, {"indent": -1}, {"separators": "tab"}, {"grammar": "loose"},
                                     {"kind": "table"}])
def test_bad_options_are_value_errors(options):
    with pytest.raises(ValueError):
        quarrow_dax.format("1", **options)


def test_syntax_errors_are_parse_errors():
    with pytest.raises(S.ParseError) as info:
        quarrow_dax.format("SUM(")
    assert info.value.line == 1


# --- the safety net -----------------------------------------------------------------


def _rendering(change):
    """layout.render with its result changed by `change`."""
    render = layout.render

    def changed(*args, **kwargs):
        return change(render(*args, **kwargs))

    return changed


@pytest.mark.parametrize("change, problem", [
    (lambda text: text.replace("+", "-"), "change what it means"),
    (lambda text: text.replace("Sales", "Sale"), "change what it means"),
    (lambda text: text.replace("1", "1 )"), "does not parse"),
    (lambda text: text.replace("-- note", ""), "comments"),
    (lambda text: text + " /* extra */", "comments"),
])
def test_a_wrong_result_is_an_internal_error_naming_the_input(monkeypatch, change, problem):
    import quarrow_dax.formatter as formatter

    monkeypatch.setattr(formatter, "render", _rendering(change))
    for kind, text in (("expression", "SUM ( Sales[Amount] ) + 1 -- note"),
                       ("expression", "VAR x = dt\"2024-01-01\" RETURN SUM ( Sales[Amount] ) + 1 -- note"),
                       ("query", "EVALUATE { SUM ( Sales[Amount] ) + 1 } -- note")):
        with pytest.raises(FormatError) as info:
            quarrow_dax.format(text, kind=kind, name="measure.dax")
        assert "measure.dax" in str(info.value) and problem in str(info.value)


@pytest.mark.parametrize("text, expected", [
    # a `///` comment stays right before the code it precedes: the exact
    # module reads it only there
    ("1 + /// x\n2", "1\n    + /// x\n    2"),
    ("a + /// doc\nb", "a\n    + /// doc\n    b"),
    ("= /// x\nABS ( 1 )", "= /// x\nABS ( 1 )"),
    ("f(1, /// x\n2)", "f (\n    1, /// x\n    2\n)"),
    ("/// x\n1 + 2", "/// x\n1 + 2"),
    # where only the engine grammar reads it, it stays before its code too
    ('dt"2024-01-01" + /// doc\nb', 'dt"2024-01-01"\n    + /// doc\n    b'),
])
def test_a_doc_comment_stays_before_its_code(text, expected):
    from quarrow_dax import _native

    assert quarrow_dax.format(text) == expected
    assert quarrow_dax.format(expected) == expected
    try:
        before = _native.parse_expression(text)
    except ValueError:
        return  # beyond the exact module
    assert _native.parse_expression(expected) == before


SHAPE = 'DEFINE TABLE t = T WITH VISUAL SHAPE AXIS ROWS GROUP [a] TOTAL [b] ORDER BY [a] DENSIFY "d" EVALUATE t'


@pytest.mark.parametrize("kind, text, changed", [
    # what only the engine grammar reads, which the module's JSON leaves out
    ("query", "DEFINE FUNCTION f = (x = 1) => x EVALUATE {1}", "DEFINE FUNCTION f = (x = 2) => x EVALUATE {1}"),
    ("query", SHAPE, SHAPE.replace("TOTAL [b]", "TOTAL [c]")),
    ("query", SHAPE, SHAPE.replace('"d"', '"e"')),
    ("query", SHAPE, SHAPE.replace("BY [a]", "BY [a] DESC")),
    ("function", "(x : INT64 = 1) => x", "(x : INT64 = 2) => x"),
    ("function", "/// one\n(x) => x", "/// two\n(x) => x"),
    ("expression", "f(ROWS COLUMNS)", "f(COLUMNS ROWS)"),
    # names compared in upper case only where the formatter may change their case
    ("expression", "UserFunction(1)", "USERFUNCTION(1)"),
])
def test_the_fingerprint_sees_everything_but_positions(kind, text, changed):
    from quarrow_dax.formatter.native import KIND_CODES, fingerprints

    def tree_print(source):
        return fingerprints(source, KIND_CODES[kind], FormatOptions().native)[0]

    assert tree_print("\n " + text.replace(" ", "  ") + " ") == tree_print(text)  # every position moves
    assert tree_print(changed) != tree_print(text)


# --- deep and long input --------------------------------------------------------------


def test_a_million_operator_chain_formats_one_operand_a_line():
    text = "1" + "+1" * 1_000_000
    result = quarrow_dax.format(text)
    assert result.startswith("1\n    + 1\n    + 1\n") and result.count("\n") == 1_000_000


@pytest.mark.parametrize("prefix, suffix", [
    ("(", ")"), ("- ", ""), ("NOT ", ""), ("1^", ""), ("F(", ")"), ("{", "}"), ("VAR x = 1 RETURN ", ""),
], ids=["paren", "minus", "not", "pow", "call", "table", "var"])
def test_the_deepest_nesting_formats_without_recursion(prefix, suffix):
    text = prefix * 255 + "1" + suffix * 255
    result = quarrow_dax.format(text, width=80)
    assert quarrow_dax.format(result, width=80) == result
    # Indentation stops at half the width.
    assert max(len(line) - len(line.lstrip(" ")) for line in result.split("\n")) <= 40


# --- printing a changed tree --------------------------------------------------------------


def test_a_replaced_node_is_printed_with_the_comments_around_it():
    text = "CALCULATE (\n    -- the base\n    [Sales] / [Cost], -- the ratio\n    ALL ( 'Date' )\n)"
    tree = S.parse_expression(text)
    ratio = tree.args[0]
    divide = S.FunctionCall("DIVIDE", (ratio.left, ratio.right))
    printed = format_tree(tree, text, replacements=[(ratio, divide)])
    assert printed == "CALCULATE (\n    -- the base\n    DIVIDE ( [Sales], [Cost] ), -- the ratio\n    ALL ( 'Date' )\n)"


def test_a_tree_rebuilt_in_code_keeps_every_comment():
    text = "-- head\nSUMX ( Sales, /* qty */ Sales[Qty] ) -- tail"
    tree = S.parse_expression(text)
    changed = dataclasses.replace(tree, args=(tree.args[0], S.BracketRef("Amount")))
    printed = format_tree(changed, text)
    assert [token.text for token in S.tokenize(printed) if token.is_comment] == ["-- head", "/* qty */", "-- tail"]
    assert S.parse_expression(printed) == changed


def test_a_tree_printed_wrong_is_refused(monkeypatch):
    import quarrow_dax.formatter as formatter

    monkeypatch.setattr(formatter, "render", _rendering(lambda text: text.replace("Cost", "Costs")))
    tree = S.parse_expression("[Sales] - [Cost]")
    with pytest.raises(FormatError):
        format_tree(tree, options=FormatOptions(width=40))
