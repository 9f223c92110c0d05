"""The formatter's one-line layout (formatter/one_line.py): one table that
both printers follow, the style's handlers and the native flat printer.
Each table below is the default one with one kind of edit, as a maintainer
would make it: the printers must agree under every one of them, over the
whole corpus, and print what the edit says."""

import dataclasses
from pathlib import Path

import pytest

from quarrow_dax import _syntax
from quarrow_dax import syntax as S
from quarrow_dax.formatter import FormatOptions, format_tree, layout, style
from quarrow_dax.formatter.comments import Source
from quarrow_dax.formatter.layout import LINE, SOFT
from quarrow_dax.formatter.one_line import ONE_LINE, Brackets, flat_style
from quarrow_dax.formatter.safety import verify
from quarrow_dax.syntax.nodes import (
    Axis, Binary, Blank, Boolean, BracketRef, FunctionCall, HierarchyRef, Identifier, Number, Parameter, String,
    Omitted, TableColumnRef, TableName, TableRef, TypedLiteral,
)

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"
WIDE = 10**6

TABLES = {
    "default": ONE_LINE,
    # no space inside any bracket: SUM (x), {1, 2}, (1, 2), ( x ) as (x)
    "tight": ONE_LINE._replace(
        call=Brackets("(", SOFT, ")", "()"), parens=Brackets("(", SOFT, ")"), table=Brackets("{", SOFT, "}", "{}"),
        row=Brackets("(", SOFT, ")"), parameters=Brackets("(", SOFT, ")", "()")),
    # other brackets and texts: nothing here is spelled by either printer on its own
    "respelled": ONE_LINE._replace(
        table=Brackets("{  ", LINE, "  }", "{ }"), call=Brackets("(", LINE, ")", "( )"), grouping=("( ", " )")),
    # no space after a separator, none around an operator
    "dense": ONE_LINE._replace(after_separator=SOFT, before_operator=SOFT, after_operator=""),
}


def printed(text, one_line, kind="expression", width=WIDE, **options):
    """`text` formatted under the one-line table `one_line`, checked to read
    back as its tree with its comments."""
    tree = S.parse_query(text) if kind == "query" else S.parse_expression(text)
    source = Source(text)
    document = style.build(tree, kind, source, width=width, one_line=one_line, **options)
    result = layout.render(document.pieces, width, 4, expand=document.expand)
    verify(result, tree, kind, FormatOptions(width=width), source.comment_texts(), "<case>")
    return result


CASES = [
    # table, input, one line as that table has it
    ("default", "sum(a[b])+{1,(2,3)}*(x)", "SUM ( a[b] ) + { 1, ( 2, 3 ) } * ( x )"),
    ("tight", "sum(a[b])+{1,(2,3)}*(x)", "SUM (a[b]) + {1, (2, 3)} * (x)"),
    ("respelled", "sum(a[b])+{1,(2,3)}*(x)", "SUM ( a[b] ) + {   1, ( 2, 3 )   } * ( x )"),
    ("dense", "sum(a[b])+{1,(2,3)}*(x)", "SUM ( a[b] )+{ 1,( 2,3 ) }*( x )"),
    # empty brackets
    ("default", "today() & {}", "TODAY () & {}"),
    ("respelled", "today() & {}", "TODAY ( ) & { }"),
    # a comment inside keeps the handlers from printing an atom: they follow
    # the table too (an inline comment has a space on each side of its own)
    ("default", "sum(a[b] /* c */) + 1", "SUM ( a[b] /* c */ ) + 1"),
    ("tight", "/* c */ sum(a[b]) + {1, /* d */ 2}", "/* c */ SUM (a[b]) + {1, /* d */ 2}"),
    ("dense", "F(1 + 2, 3 /* c */) + 1", "F ( 1+2,3 /* c */ )+1"),
    ("respelled", "G(1, {/* c */ 2})", "G ( 1, {   /* c */ 2   } )"),
    # an argument left out
    ("default", "INDEX(1, , -1)", "INDEX ( 1, , -1 )"),
    ("dense", "INDEX(1, , -1)", "INDEX ( 1,,-1 )"),
    # row constructors
    ("tight", "(1, 2) in {(1, 2)}", "(1, 2) IN {(1, 2)}"),
]


@pytest.mark.parametrize("table, text, expected", CASES, ids=[f"{case[0]}:{case[1]}" for case in CASES])
def test_a_table_edit_changes_both_printers(table, text, expected):
    assert printed(text, TABLES[table]) == expected


@pytest.mark.parametrize("table, expected", [
    ("default", "FUNCTION F = ( x, y ) => x + y"),
    ("tight", "FUNCTION F = (x, y) => x + y"),
    ("dense", "FUNCTION F = ( x,y ) => x+y"),
])
def test_the_parameters_of_a_function_follow_the_table(table, expected):
    text = "DEFINE FUNCTION F = (x, y) => x + y EVALUATE {F(1, 2)}"
    assert printed(text, TABLES[table], kind="query").splitlines()[1].strip() == expected


@pytest.mark.parametrize("table, expected", [
    ("default", "F ( 1, )"),
    ("tight", "F (1,)"),
])
def test_a_last_argument_left_out_has_nothing_after_its_separator(table, expected):
    tree = FunctionCall("F", (Number("1"), Omitted()))
    document = style.build(tree, "expression", None, one_line=TABLES[table])
    assert layout.render(document.pieces, 120, 4, expand=document.expand) == expected


@pytest.mark.parametrize("table, expected", [
    ("default", "(1 + 2) * -(3 + 4)"),
    ("respelled", "( 1 + 2 ) * -( 3 + 4 )"),
])
def test_the_parentheses_the_tree_needs_follow_the_table(table, expected):
    # Built in code, without Paren nodes: the printers add them.
    sum_ = S.parse_expression("1 + 2")
    negated = dataclasses.replace(S.parse_expression("-x"), expr=S.parse_expression("3 + 4"))
    tree = Binary("Mul", sum_, negated)
    document = style.build(tree, "expression", None, one_line=TABLES[table])
    assert layout.render(document.pieces, 120, 4, expand=document.expand) == expected


def test_a_broken_group_breaks_where_the_table_puts_its_breaks():
    text = "calculate(sum(Sales[Amount]), Sales[Qty] > 1)"
    assert printed(text, TABLES["tight"], width=30) == (
        "CALCULATE (\n    SUM (Sales[Amount]),\n    Sales[Qty] > 1\n)")
    assert printed(text, TABLES["dense"], width=30) == (
        "CALCULATE (\n    SUM ( Sales[Amount] ),\n    Sales[Qty]>1\n)")


@pytest.mark.skipif(not CORPUS.is_dir(), reason=f"corpus folder not found: {CORPUS}")
@pytest.mark.parametrize("table", TABLES)
def test_an_atom_prints_as_its_group_would(table):
    """A subtree printed whole (an atom, by the native printer) has the text
    its group prints (the handlers' parts) on a line wide enough: the two
    printers agree on every compound expression of the corpus, under every
    one-line table."""
    checked = 0
    for path in sorted(CORPUS.glob("*/*.dax")):
        text = path.read_text(encoding="utf-8")
        kind = "query" if path.parent.name == "queries" else "expression"
        if S.first_error(text, kind=kind) is not None:
            continue
        tree = (S.parse_query if kind == "query" else S.parse_expression)(text)
        # A builder that has laid the tree out, and with it put out every comment.
        builder = style._Builder(Source(text), ",", True, WIDE, {}, TABLES[table])
        builder.run([tree])
        for node, _ in tree.walk():
            if type(node) not in style._COMPOUND:
                continue
            flat = style._flat(builder, node, 0, 0)
            if flat is None:
                continue
            pieces = builder.expand(layout.Atom(flat, node))
            assert layout.render(pieces, WIDE, 4, expand=builder.expand) == flat, node.text
            checked += 1
    assert checked > 10_000


# --- leaves: one printer for the handlers and the atoms ---------------------------

def _table(name, quoted=False):
    return TableName(name, quoted)


LEAVES = [
    # leaf built in code, its text
    (Number("1.50e3"), "1.50e3"),
    (String('say "hi"'), '"say ""hi"""'),
    (Boolean(False), "FALSE"),
    (Blank(), "BLANK"),
    (Parameter("p"), "@p"),
    (Identifier("x"), "x"),
    (TableRef(_table("Sales")), "'Sales'"),
    (BracketRef("Total ]Sales"), "[Total ]]Sales]"),
    (TableColumnRef(_table("Sales"), "Amount"), "Sales[Amount]"),
    (TableColumnRef(_table("Sales", True), "Amount"), "'Sales'[Amount]"),
    # a table name that no unquoted name could spell is quoted, however built
    (TableColumnRef(_table("My Sales"), "Amount"), "'My Sales'[Amount]"),
    (TableColumnRef(_table("1st"), "Amount"), "'1st'[Amount]"),
    (TableColumnRef(_table("Mañana"), "x"), "Mañana[x]"),
    (HierarchyRef(_table("Date"), "Calendar", ("Year", "Mon]th")), "Date[Calendar].[Year].[Mon]]th]"),
    (HierarchyRef(_table("My Date"), "Calendar", ("Year",)), "'My Date'[Calendar].[Year]"),
    (TypedLiteral("dt", "2024-01-31"), 'dt"2024-01-31"'),
    (Axis(("rows", "columns")), "ROWS COLUMNS"),
]


@pytest.mark.parametrize("leaf, expected", LEAVES, ids=[text for _, text in LEAVES])
def test_a_leaf_prints_the_same_alone_and_inside_an_atom(leaf, expected):
    # Alone the style's handler prints it; as an argument, the flat printer.
    assert format_tree(leaf, verify_result=False) == expected
    assert format_tree(FunctionCall("F", (leaf,)), verify_result=False) == f"F ( {expected} )"
    assert _syntax.leaf_text(leaf, flat_style(ONE_LINE, ",", True)) == expected


@pytest.mark.parametrize("leaf, expected", [
    (String("two\nlines"), '"two\nlines"'),
    (TableColumnRef(_table("a\nb", True), "c"), "'a\nb'[c]"),
    (TypedLiteral("dt", "x\ny"), 'dt"x\ny"'),
])
def test_a_leaf_with_a_line_break_is_never_an_atom_but_prints_whole(leaf, expected):
    style_object = flat_style(ONE_LINE, ",", True)
    assert _syntax.flat(leaf, 0, 0, -1, style_object) is None
    assert _syntax.leaf_text(leaf, style_object) == expected
    # The call holding it cannot stand on one line, but the leaf keeps its text.
    assert format_tree(FunctionCall("F", (leaf, Number("1"))), verify_result=False) == f"F (\n    {expected},\n    1\n)"


# --- the native style at its boundary ---------------------------------------------

def _texts(**changes):
    texts = {name: " " for name in ("call_open", "call_close", "call_empty", "separator", "separator_before_omitted",
                                    "paren_open", "paren_close", "table_open", "table_close", "table_empty",
                                    "row_open", "row_close", "before_operator", "after_operator", "grouping_open",
                                    "grouping_close")}
    texts.update(changes)
    return {name: text for name, text in texts.items() if text is not None}


@pytest.mark.parametrize("texts, error", [
    ([("call_open", " ( ")], TypeError),
    (_texts(call_open=None), ValueError),
    ({**_texts(call_open=None), "call_opening": " ( "}, KeyError),
    (_texts(separator=1), TypeError),
    (_texts(separator=",\n"), ValueError),
])
def test_a_malformed_style_is_refused(texts, error):
    with pytest.raises(error):
        _syntax.one_line_style(texts)


def test_the_printer_takes_only_a_style_it_made():
    node = S.parse_expression("f(1)")
    assert _syntax.flat(node, 0, 0, -1, _syntax.one_line_style(_texts())) == "f 1 "
    for wrong in [(", ", " (", " ()"), None, object()]:
        with pytest.raises(TypeError):
            _syntax.flat(node, 0, 0, -1, wrong)
        with pytest.raises(TypeError):
            _syntax.leaf_text(node, wrong)


def test_a_leaf_text_is_only_for_leaves():
    style_object = flat_style(ONE_LINE, ",", True)
    assert _syntax.leaf_text(S.parse_expression("F(1, {2})"), style_object) == "F ( 1, { 2 } )"
    for not_a_leaf in [S.parse_expression("VAR x = 1 RETURN x"), S.parse_query("EVALUATE {1}"), "text"]:
        with pytest.raises(TypeError):
            _syntax.leaf_text(not_a_leaf, style_object)
