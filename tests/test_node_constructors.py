"""Node constructors check what they are given: a value of the wrong type is
a TypeError, a string that would print as other DAX (or none) a ValueError
that says what is expected. Every node the parser makes over the corpus
passes the same checks when built again through its constructor."""

import dataclasses
import pathlib

import pytest

from quarrow_dax import syntax as S

SHARED = pathlib.Path(__file__).resolve().parents[2] / "shared"
CORPUS = SHARED / "corpus"
shared = pytest.mark.skipif(not CORPUS.is_dir(), reason=f"shared files not at {SHARED}")

one = S.Number("1")
table = S.TableConstructor(((one,),))
key = S.OrderKey(one, "Asc")
column = S.BracketRef("a")

REFUSED = [
    # --- the reported cases
    (lambda: S.Binary("Equals", one, one), ValueError, "Binary.op must be one of .* not 'Equals' \\(did you mean 'Eq'\\?\\)"),
    (lambda: S.Number(2023), TypeError, "Number.value must be a str, not int"),
    (lambda: S.Number("abc"), ValueError, "Number.value must be a DAX number as written"),
    # --- operators: spellings and words point to the name
    (lambda: S.Binary("=", one, one), ValueError, "did you mean 'Eq'"),
    (lambda: S.Binary("+", one, one), ValueError, "did you mean 'Add'"),
    (lambda: S.Binary("-", one, one), ValueError, "did you mean 'Sub'"),
    (lambda: S.Unary("-", one), ValueError, "did you mean 'Minus'"),
    (lambda: S.Binary("add", one, one), ValueError, "did you mean 'Add'"),
    (lambda: S.Binary("&&", one, one), ValueError, "did you mean 'And'"),
    (lambda: S.OrderKey(one, "descending"), ValueError, "did you mean 'Desc'"),
    # --- numbers
    (lambda: S.Number("-1"), ValueError, "a sign is an operator, Unary\\('Minus', Number\\('1'\\)\\)"),
    (lambda: S.Number("1 2"), ValueError, "DAX number"),
    (lambda: S.Number(""), ValueError, "DAX number"),
    (lambda: S.Number(1.5), TypeError, "must be a str, not float"),
    # --- names that would print as something else
    (lambda: S.Identifier("my var"), ValueError, "reads without quotes"),
    (lambda: S.Identifier("TRUE"), ValueError, "keyword"),
    (lambda: S.Identifier("1x"), ValueError, "reads without quotes"),
    (lambda: S.VarDecl("my var", one), ValueError, "reads without quotes"),
    (lambda: S.FunctionCall("SUM X", (one,)), ValueError, "reads without quotes"),
    (lambda: S.Parameter("@p"), ValueError, "reads without quotes"),
    (lambda: S.TypedLiteral("zz", "2024"), ValueError, "prefix DAX knows"),
    (lambda: S.FuncParam("p", ("INT64 VAL",)), ValueError, "one word"),
    # --- types of children and lists
    (lambda: S.Binary("Add", one, "x"), TypeError, "Binary.right must be an Expr node, not str"),
    (lambda: S.Binary("Add", one, None), TypeError, "Binary.right must not be None"),
    (lambda: S.FunctionCall("SUM", (1,)), TypeError, "an item of FunctionCall.args must be an Expr node, not int"),
    (lambda: S.FunctionCall("SUM", one), TypeError, "FunctionCall.args must be a tuple, not Number"),
    (lambda: S.TableConstructor((one,)), TypeError, "each row of TableConstructor.rows must be a tuple"),
    (lambda: S.TableConstructor(((S.TableName("T", False),),)), TypeError, "a cell of TableConstructor.rows"),
    (lambda: S.Boolean(1), TypeError, "True or False, not int"),
    (lambda: S.String("a\ud800"), ValueError, "lone surrogate"),
    (lambda: S.HierarchyRef(S.TableName("T", False), "c", ("a", 2)), TypeError, "an item of HierarchyRef.levels"),
    (lambda: S.Query(None, (one,)), TypeError, "an item of Query.evaluates must be an Evaluate node"),
    (lambda: S.TableColumnRef("Sales", "Amount"), TypeError, "TableColumnRef.table must be a TableName node"),
    # --- trees whose text reads back as another tree, or as none
    (lambda: S.VarBlock((), one), ValueError, "VarBlock.decls must hold at least one item"),
    (lambda: S.TableConstructor(((one,), ())), ValueError, "each row of TableConstructor.rows must hold"),
    (lambda: S.RowConstructor((one,)), ValueError, "RowConstructor.items must hold at least 2 items"),
    (lambda: S.HierarchyRef(S.TableName("T", False), "c", ()), ValueError, "TableColumnRef"),
    (lambda: S.DefineBlock(()), ValueError, "DefineBlock.defs must hold at least one item"),
    (lambda: S.Query(None, ()), ValueError, "Query.evaluates must hold at least one item"),
    (lambda: S.Evaluate(table, (), (one,)), ValueError, "START AT follows ORDER BY"),
    (lambda: S.Evaluate(table, (key,), ()), ValueError, "one to 1 values"),
    (lambda: S.Evaluate(table, (key,), (one, one)), ValueError, "one to 1 values"),
    (lambda: S.Axis(("ROWS",)), ValueError, "two of ROWS and COLUMNS"),
    (lambda: S.Axis(("ROWS", "SIDEWAYS")), ValueError, "two of ROWS and COLUMNS"),
    (lambda: S.VisualShape((), None), ValueError, "VisualShape.axes must hold at least one item"),
    (lambda: S.VisualAxis("ROWS", (), ()), ValueError, "no empty AXIS"),
    (lambda: S.VisualAxis("DOWN", (S.VisualGroup((column,), None),), ()), ValueError, "ROWS or COLUMNS"),
    (lambda: S.VisualGroup((), None), ValueError, "VisualGroup.columns must hold at least one item"),
]


@pytest.mark.parametrize("make, error, message", REFUSED)
def test_constructors_refuse_what_is_no_dax(make, error, message):
    with pytest.raises(error, match=message):
        make()


ACCEPTED = [
    (lambda: S.Number("2023"), "2023"),
    (lambda: S.Number(".5"), ".5"),
    (lambda: S.Number("1e3"), "1e3"),
    (lambda: S.Identifier("Local.Total"), "Local.Total"),
    (lambda: S.FunctionCall("SUM", [S.TableColumnRef(S.TableName("Sales", False), "Amount")]), "SUM(Sales[Amount])"),
    (lambda: S.TableConstructor([[one, S.Number("2")], (one,)]), "{(1, 2), 1}"),
    (lambda: S.Unary("Minus", one), "-1"),
    (lambda: S.Binary("Eq", S.Parameter("p"), S.String('a "b"')), '@p = "a ""b"""'),
    (lambda: S.TypedLiteral("dt", "2024-01-31"), 'dt"2024-01-31"'),
    (lambda: S.TableRef(S.TableName("My Table", True)), "'My Table'"),
    (lambda: S.HierarchyRef(S.TableName("Date", False), "Calendar", ["Year"]), "Date[Calendar].[Year]"),
]


@pytest.mark.parametrize("make, text", ACCEPTED)
def test_what_constructors_accept_prints_and_reads_back(make, text):
    node = make()
    assert node.to_dax() == text
    if not isinstance(node, S.TypedLiteral):
        assert S.parse_expression(text) == node
    # Lists given where tuples belong are kept as tuples: nodes stay hashable.
    hash(node)


QUERIES_ACCEPTED = [
    lambda: S.Query(None, (S.Evaluate(table, (key, S.OrderKey(column, "Desc")), (one,)),)),
    lambda: S.Query(S.DefineBlock((S.Table(None, "x", table, S.VisualShape(
        (S.VisualAxis("rows", (), (key,)), S.VisualAxis("COLUMNS", (S.VisualGroup((column,), column),), ())),
        None)),)), (S.Evaluate(S.Identifier("x"), (), None),)),
    lambda: S.Query(None, (S.Evaluate(S.FunctionCall("RUNNINGSUM", (column, S.Axis(["columns", "ROWS"]))), (), None),)),
    lambda: S.Query(None, (S.Evaluate(S.Binary("In", S.RowConstructor((one, one)), table), (), None),)),
]


@pytest.mark.parametrize("make", QUERIES_ACCEPTED)
def test_what_the_grammar_allows_at_its_smallest_reads_back(make):
    node = make()
    assert S.parse_query(node.to_dax()) == node


def test_a_number_in_the_semicolon_convention():
    node = S.Number("1,5")
    assert node.to_dax(separators="semicolon") == "1,5"
    assert S.parse_expression("1,5", separators="semicolon") == node


@shared
def test_every_parsed_node_passes_its_constructor():
    """The checks never refuse what the parser makes: each node of the
    corpus, built again from its fields through its constructor, is equal."""
    seen = 0
    for folder, parse in (("expressions", S.parse_expression), ("queries", S.parse_query)):
        for path in sorted((CORPUS / folder).glob("*.dax")):
            text = path.read_text(encoding="utf-8")
            for separators in ("comma", "semicolon"):
                try:
                    tree = parse(text, separators=separators)
                except S.ParseError:
                    continue
                for node, _ in tree.walk():
                    rebuilt = dataclasses.replace(node)  # runs the constructor and its checks
                    assert rebuilt == node, (path.name, node)
                    seen += 1
    assert seen > 100_000
