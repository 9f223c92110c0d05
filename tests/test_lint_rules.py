"""The lint rules, one table of cases: each rule fires where it should and
stays quiet where it should not (also with the same text in a string or a
comment, odd spacing and case), names are scoped as DAX scopes them, every
proposed fix gives DAX that parses and settles its finding, and every
rule's documented wrong example fires it while the right one does not."""

import dataclasses
import pathlib

import pytest

from quarrow_dax.check import CheckOptions, is_query
from quarrow_dax.lint import CATALOGUE, Finding, LintConfig, find_rule, lint_file, lint_model, lint_text, lint_tree
from quarrow_dax.syntax import DefineBlock, Node, parse_expression, parse_function, parse_query

ROOT = pathlib.Path(__file__).resolve().parent.parent
SHARED = ROOT.parent / "shared"

# code, DAX (a query when it starts with DEFINE or EVALUATE, a function when it starts with `(`), and the
# source text each finding of that code marks, in order
CASES = [
    # DAX002 unused-variable
    ("DAX002", "VAR a = 1 VAR b = 2 RETURN a", ["b"]),
    ("DAX002", "var A = 1 return a", []),
    ("DAX002", "VAR a = 1 VAR b = a RETURN 2", ["a", "b"]),  # a is used only by the unused b
    ("DAX002", "VAR a = 1 RETURN VAR b = a RETURN b", []),
    ("DAX002", "VAR a = 1 RETURN VAR a = 2 RETURN a", ["a"]),  # the inner a hides the outer one
    ("DAX002", "VAR x = 1 RETURN SUMX ( T, VAR y = x RETURN y )", []),
    ("DAX002", "VAR x = SUMX ( T, VAR y = 2 RETURN 3 ) RETURN x", ["y"]),
    ("DAX002", 'VAR a = 1 RETURN "a" -- a', ["a"]),
    ("DAX002", "VAR\ta=1\n\nRETURN\n\t\ta", []),
    ("DAX002", "VAR t = FILTER ( T, T[a] > 1 ) RETURN SUMX ( t, t[a] )", []),
    ("DAX002", "DEFINE VAR a = 1 VAR b = 2 EVALUATE { a }", ["b"]),
    ("DAX002", "DEFINE VAR t = { 1 } VAR u = { 2 } EVALUATE ROW ( \"n\", COUNTROWS ( 't' ) + SUM ( 'u'[Value] ) )", []),
    ("DAX002", "DEFINE VAR a = 1 MEASURE T[m] = a EVALUATE { 1 }", []),
    ("DAX002", "EVALUATE VAR a = 1 RETURN { 2 }", ["a"]),
    ("DAX002", "( p ) => VAR v = p RETURN 1", ["v"]),
    # DAX003 duplicate-variable
    ("DAX003", "VAR a = 1 VAR A = 2 RETURN a", ["A"]),
    ("DAX003", "VAR a = 1 RETURN VAR a = 2 RETURN a", []),
    ("DAX003", '"VAR a = 1 VAR a = 2" & "" -- VAR a = 1 VAR a = 2', []),
    ("DAX003", "DEFINE VAR a = 1 VAR a = 2 EVALUATE { a }", ["a"]),
    ("DAX003", "DEFINE TABLE Sales = { 1 } VAR SALES = 2 EVALUATE { SALES }", ["SALES"]),
    ("DAX003", "( a, A ) => a", ["A"]),
    ("DAX003", "VAR\ta=1\nVAR  A =a+1 RETURN a", ["A"]),
    # DAX004 unused-parameter
    ("DAX004", "( a, b ) => a", ["b"]),
    ("DAX004", "( a, b ) => a + B", []),
    ("DAX004", "(a,b)=>b", ["a"]),
    ("DAX004", "( a, b = a ) => b", []),
    ("DAX004", '( a ) => "a" // a', ["a"]),
    ("DAX004", "( a ) => VAR x = a RETURN 1", ["a"]),  # used only by an unused variable
    ("DAX004", "DEFINE FUNCTION f = ( x ) => 1 EVALUATE { f ( 1 ) }", ["x"]),
    # DAX101 use-divide
    ("DAX101", "[a] / [b]", ["/"]),
    ("DAX101", "[a]/[b]", ["/"]),
    ("DAX101", "[a] /* / */ / [b]", ["/"]),
    ("DAX101", "[a] / 0", ["/"]),
    ("DAX101", "[a] / ( 1 - 1 )", ["/"]),
    ("DAX101", "[a] / 2", []),
    ("DAX101", "[a] / -2.5", []),
    ("DAX101", "[a] / ( 9 / 5 )", []),
    ("DAX101", "VAR n = 12 RETURN [a] / n", []),
    ("DAX101", "VAR n = [b] RETURN [a] / n", ["/"]),
    ("DAX101", "IF ( [b] <> 0, [a] / [b] )", []),
    ("DAX101", "IF ( [b] = 0, BLANK (), [a] / [b] )", []),
    ("DAX101", "if ( 0 < [b] && [c], [a] / [b] )", []),
    ("DAX101", "IF ( NOT ( [b] = 0 ), [a] / [b] )", []),
    ("DAX101", "IF ( [b] <> 0, [a] / [c] )", ["/"]),
    ("DAX101", "IF ( [b] = 0, [a] / [b] )", ["/"]),
    ("DAX101", "IF ( [b] > 0 || [c], [a] / [b] )", ["/"]),
    ("DAX101", "SWITCH ( TRUE, [b] = 0, 0, [c], [a] / [b], [a] / [b] )", []),
    ("DAX101", "SWITCH ( [b], 0, 0, 1, [a], [a] / [b] )", []),
    ("DAX101", "SWITCH ( TRUE (), [b] = 0, [a] / [b], [c] / [b] )", ["/"]),
    ("DAX101", "SWITCH ( [b], 1, [a] / [b], 0 )", []),
    ("DAX101", "SWITCH ( [b], 1, 0, [a] / [b] )", ["/"]),
    ("DAX101", "[a] / POWER ( 10, [n] ) + [a] / EXP ( [n] )", []),
    ("DAX101", "[a] / POWER ( [n], 2 )", ["/"]),
    ("DAX101", '"[a] / [b]" & "" -- [a] / [b]', []),
    ("DAX101", "DIVIDE ( [a], [b] )", []),
    # DAX102 avoid-iferror
    ("DAX102", "IFERROR ( [a] / [b], 0 )", ["IFERROR"]),
    ("DAX102", "iserror ( [a] )", ["iserror"]),
    ("DAX102", "IFERROR([a],0)", ["IFERROR"]),
    ("DAX102", '"IFERROR ( 1, 2 )" & [IFERROR] // IFERROR ( 1, 2 )', []),
    # DAX103 filter-whole-table
    ("DAX103", "CALCULATE ( [m], FILTER ( Sales, Sales[Qty] > 1 ) )", ["FILTER"]),
    ("DAX103", "calculatetable ( T, filter ( 'Sales', 'sales'[Qty] > 1 && Sales[C] IN { \"x\" } ) )", ["filter"]),
    ("DAX103", "CALCULATE ( [m], KEEPFILTERS ( FILTER ( Sales, Sales[Qty] > 1 ) ) )", ["FILTER"]),
    ("DAX103", "VAR n = 1 RETURN CALCULATE ( [m], FILTER ( Sales, Sales[Qty] > n ) )", ["FILTER"]),
    ("DAX103", "CALCULATE ( [m], FILTER ( Sales, [Qty] > 1 ) )", []),  # [Qty] may be a measure
    ("DAX103", 'CALCULATE ( [m], FILTER ( Sales, Product[Color] = "Red" ) )', []),
    ("DAX103", "CALCULATE ( [m], FILTER ( ALL ( Sales[Qty] ), Sales[Qty] > 1 ) )", []),
    ("DAX103", "CALCULATE ( [m], FILTER ( Sales, SUM ( Sales[Qty] ) > 1 ) )", []),
    ("DAX103", "VAR t = Sales RETURN CALCULATE ( [m], FILTER ( t, Sales[Qty] > 1 ) )", []),
    ("DAX103", "FILTER ( Sales, Sales[Qty] > 1 )", []),
    ("DAX103", "CALCULATE([m],FILTER(Sales,Sales[Qty]>1))", ["FILTER"]),
    ("DAX103", "CALCULATE ( [m] ) -- CALCULATE ( [m], FILTER ( Sales, Sales[Qty] > 1 ) )", []),
    ("DAX103", '"CALCULATE ( [m], FILTER ( Sales, Sales[Qty] > 1 ) )"', []),
    # DAX104 sum-of-column
    ("DAX104", "SUMX ( Sales, Sales[Amount] )", ["SUMX"]),
    ("DAX104", "averagex('Sales',sales[Amount])", ["averagex"]),
    ("DAX104", "SUMX ( Sales, [Amount] )", []),
    ("DAX104", "SUMX ( Sales, Sales[Amount] * 2 )", []),
    ("DAX104", "SUMX ( Sales, Product[Amount] )", []),
    ("DAX104", "SUMX ( FILTER ( Sales, Sales[A] > 1 ), Sales[Amount] )", []),
    ("DAX104", "-- SUMX ( Sales, Sales[Amount] )\n\"SUMX ( Sales, Sales[Amount] )\"", []),
    # DAX105 repeated-measure
    ("DAX105", "IF ( [S] > 0, [S], -[S] )", ["[S]"]),
    ("DAX105", "IF([s]>0,[S],-[S])", ["[s]"]),
    ("DAX105", "VAR a = [S] VAR b = [S] * 2 RETURN a + b + [S]", ["[S]"]),
    ("DAX105", "CALCULATE ( [S] + [S] + [S], T[a] = 1 )", ["[S]"]),
    ("DAX105", "[S] + CALCULATE ( [S], ALL ( T ) ) + CALCULATE ( [S], ALL ( U ) )", []),
    ("DAX105", "SUMX ( T, [Q] * [Q] * [Q] )", []),  # [Q] may be a column of T
    ("DAX105", '[S] & "[S] [S]" -- [S] [S]', []),
    # DAX106 evaluateandlog
    ("DAX106", "EVALUATEANDLOG ( [S] )", ["EVALUATEANDLOG"]),
    ("DAX106", 'evaluateAndLog([S],"x",5) * 2', ["evaluateAndLog"]),
    ("DAX106", '"EVALUATEANDLOG ( 1 )" -- EVALUATEANDLOG ( 1 )', []),
    # DAX107 add-zero
    ("DAX107", "SUM ( T[a] ) + 0", ["+ 0"]),
    ("DAX107", "0+[S]", ["0+"]),
    ("DAX107", "IF ( [x], [S] + 0, 0 )", ["+ 0"]),
    ("DAX107", "VAR s = [S] RETURN ( s +   0.0 )", ["+   0.0"]),
    ("DAX107", "DEFINE MEASURE T[m] = [S] + 0 EVALUATE { [m] }", ["+ 0"]),
    ("DAX107", "ROUND ( [S] + 0, 2 )", []),
    ("DAX107", "[S] + 1", []),
    ("DAX107", '[S] -- + 0\n& "+ 0"', []),
    # DAX108 use-treatas
    ("DAX108", "CALCULATE ( [m], INTERSECT ( ALL ( P[k] ), VALUES ( B[k] ) ) )", ["INTERSECT"]),
    ("DAX108", "COUNTROWS ( INTERSECT ( A, B ) )", []),
    ("DAX108", "calculatetable(T,intersect(ALL(P[k]),VALUES(B[k])))", ["intersect"]),
    ("DAX108", '"CALCULATE ( [m], INTERSECT ( A, B ) )" -- CALCULATE ( [m], INTERSECT ( A, B ) )', []),
    # DAX109 summarize-with-expressions
    ("DAX109", 'SUMMARIZE ( Sales, P[Color], "Amount", SUM ( Sales[a] ), "N", 1 )', ['"Amount"']),
    ("DAX109", "summarize ( Sales, P[Color] )", []),
    ("DAX109", 'summarize(Sales,P[Color],"A",1)', ['"A"']),
    ("DAX109", 'SUMMARIZE ( Sales, P[Color] ) -- SUMMARIZE ( Sales, P[Color], "A", 1 )', []),
    ("DAX109", 'ADDCOLUMNS ( SUMMARIZE ( Sales, P[Color] ), "Amount", [m] )', []),
    # DAX110 deprecated-function
    ("DAX110", 'IF ( KEYWORDMATCH ( "b*", P[Name] ), 1 )', ["KEYWORDMATCH"]),
    ("DAX110", 'keywordMatch("b*",P[Name])', ["keywordMatch"]),
    ("DAX110", 'IF ( CONTAINSSTRING ( P[Name], "b*" ), 1 ) -- KEYWORDMATCH ( "b*", P[Name] )', []),
    ("DAX110", 'DEFINE FUNCTION KeywordMatch = ( a, b ) => a & b EVALUATE { KEYWORDMATCH ( "x", "y" ) }', []),
    ("DAX110", "ISSUBTOTAL ( P[Color] )", []),  # replaced, not deprecated: DAX111's
    # DAX111 superseded-function
    ("DAX111", 'SUMMARIZE ( Sales, ROLLUP ( P[Color] ), "T", ISSUBTOTAL ( P[Color] ) )', ["ISSUBTOTAL"]),
    ("DAX111", 'SUMMARIZECOLUMNS ( ROLLUPADDISSUBTOTAL ( P[Color], "T" ), "N", [m] )', []),
    ("DAX111", '"ISSUBTOTAL ( P[Color] )" & ""', []),
    ("DAX111", 'KEYWORDMATCH ( "b*", P[Name] )', []),
    # DAX203 one-minus-ratio
    ("DAX203", "1 - [a] / [b]", ["1 - [a] / [b]"]),
    ("DAX203", "1-DIVIDE([a],[b])", ["1-DIVIDE([a],[b])"]),
    ("DAX203", "[a] / ( [b] ) - 1", ["[a] / ( [b] ) - 1"]),
    ("DAX203", "IF ( [x], 1 + [a] / [b] )", ["1 + [a] / [b]"]),
    ("DAX203", "1 - [a] / 100", []),
    ("DAX203", "LOG ( 1 + 1 / [d] )", []),  # a result only is reported
    ("DAX203", "2 - [a] / [b]", []),
    ("DAX203", "1-divide([a],[b])", ["1-divide([a],[b])"]),
    ("DAX203", '"1 - [a] / [b]" -- 1 - [a] / [b]', []),
    ("DAX203", "1 - DIVIDE ( [a], [b], 0 ) + 0 * 0", []),
    # DAX204 blank-comparison
    ("DAX204", "[a] = BLANK ()", ["[a] = BLANK ()"]),
    ("DAX204", "IF ( BLANK() <> [a], 1 )", ["BLANK() <> [a]"]),
    ("DAX204", "[a] = BLANK", ["[a] = BLANK"]),
    ("DAX204", "[a]=blank ( )", ["[a]=blank ( )"]),
    ("DAX204", "[a] == BLANK () || ISBLANK ( [a] )", []),
    ("DAX204", '"[a] = BLANK ()" -- [a] = BLANK ()', []),
    # DAX005 invalid-suppression: a directive that does not read, or a code that names no rule
    ("DAX005", "[a] / [b] -- quarrow-dax: ignore DAX101", ["quarrow-dax: ignore DAX101"]),
    ("DAX005", "[a] / [b] /* quarrow-dax: ignore[DAX101 */", ["quarrow-dax: ignore[DAX101"]),
    ("DAX005", "[a] / [b] -- quarrow-dax: ignore[DAX1O1, DAX102]", ["DAX1O1"]),
    ("DAX005", "[a] / [b] -- quarrow-dax: ignore[DAX101] the ratio is never 0", []),
    # DAX006 unused-suppression (off by default; these tests select every rule)
    ("DAX006", "[a] + [b] -- quarrow-dax: ignore[DAX101]", ["quarrow-dax: ignore[DAX101]"]),
    ("DAX006", "[a] / [b] -- quarrow-dax: ignore[use-divide, DAX102]", ["quarrow-dax: ignore[use-divide, DAX102]"]),
    ("DAX006", "[a] / [b] -- quarrow-dax: ignore[DAX101]", []),
    ("DAX006", "-- quarrow-dax: ignore-formula\n[a] / [b]", []),
]


# The same for the rules that look up names: each text is a measure of table Sales (a calculated column of it
# where the code is followed by `column`) of the model MODEL below.
MODEL_CASES = [
    # DAX001 unknown-reference
    ("DAX001", "SUM ( Sales[Quantty] ) + [Nope]", ["Sales[Quantty]", "[Nope]"]),
    ("DAX001", "sum ( SALES[quantity] ) + [sales amount]", []),
    ("DAX001", "VAR x = 1 RETURN x + y", ["y"]),
    ("DAX001", "Nope ( 1 )", ["Nope ( 1 )"]),
    ("DAX001", '"[Nope]" & "" -- [Nope] Nope ( 1 )', []),
    ("DAX001", 'SUMX ( ADDCOLUMNS ( Product, "Made", 1 ), [Made] )', []),
    # DAX201 qualify-columns
    ("DAX201", "SUMX ( Sales, [Quantity] * [Net Price] )", ["[Quantity]", "[Net Price]"]),
    ("DAX201", "sumx(SALES,[quantity])", ["[quantity]"]),
    ("DAX201 column", "[Quantity]*[Net Price]", ["[Quantity]", "[Net Price]"]),
    ("DAX201", "SUMX ( Sales, Sales[Quantity] ) + [Sales Amount]", []),
    ("DAX201", '"[Quantity]" & "" -- [Quantity]', []),
    ("DAX201", 'SUMX ( ADDCOLUMNS ( Product, "Made", 1 ), [Made] )', []),
    ("DAX201", 'SUMX ( SUMMARIZE ( Sales, Product[Color], "Quantity", 1 ), [Quantity] )', []),  # the made one
    # DAX202 unqualified-measures
    ("DAX202", "Sales[Margin] / 2", ["Sales[Margin]"]),
    ("DAX202", "'sales'  [margin]", ["'sales'  [margin]"]),
    ("DAX202", "[Margin] + SUM ( Sales[Quantity] )", []),
    ("DAX202", "NAMEOF ( Sales[Margin] )", []),
    ("DAX202", '"Sales[Margin]" & "" -- Sales[Margin]', []),
    # DAX003 and DAX105 know the model's tables and measures
    ("DAX003", "VAR product = 1 RETURN product", ["product"]),  # Product holds no formula
    ("DAX003", "VAR Products = 1 RETURN Products", []),
    ("DAX105", "SUMX ( Product, [Margin] * [Margin] + [Margin] )", ["[Margin]"]),
    ("DAX105", "[Margin] + Sales[Margin] + 'SALES'[margin]", ["[Margin]"]),
    ("DAX105 column", "[Margin] + [Margin] + [Margin]", ["[Margin]"]),
    ("DAX105", "SUMX ( Sales, [Quantity] * [Quantity] * [Quantity] )", []),
    ("DAX105", "IF ( [Margin] > 0, [Margin] ) & \"[Margin]\" -- [Margin]", []),
]

MODEL = {
    "definition/model.tmdl": "model Model\n\tculture: en-US\n",
    "definition/tables/Product.tmdl": (
        "table Product\n\n\tcolumn Color\n\t\tdataType: string\n\n\tcolumn Key\n\t\tdataType: int64\n"),
    "definition/tables/Budget.tmdl": "table Budget\n\n\tcolumn Target\n\t\tdataType: decimal\n",
}
SALES = ("table Sales\n\n\tmeasure 'Sales Amount' = SUMX ( Sales, Sales[Quantity] * Sales[Net Price] )\n\n"
         "\tmeasure Margin = [Sales Amount] * 0.2\n\n\tmeasure Target = 1\n\n"
         "\tcolumn Quantity\n\t\tdataType: int64\n\n\tcolumn 'Net Price'\n\t\tdataType: decimal\n")


def model_with(texts):
    """The files of MODEL with each (name, object, text) as a formula of table Sales."""
    sales = SALES
    for name, kind, text in texts:
        sales += f"\n\t{kind} '{name}' = ```\n\t\t\t{text}\n\t\t\t```\n"
    return {**MODEL, "definition/tables/Sales.tmdl": sales}


@pytest.fixture(scope="module")
def model_findings(tmp_path_factory):
    """Each case's text (and each model rule's documented examples) as a formula of MODEL, linted."""
    texts = [(f"Case {n}", "column" if code.endswith("column") else "measure", text)
             for n, (code, text, _) in enumerate(MODEL_CASES)]
    texts += [(f"{code} {side}", "measure", getattr(rule, side).strip()) for code, rule in CATALOGUE.items()
              if rule.models_only for side in ("wrong", "right")]
    root = tmp_path_factory.mktemp("model")
    for name, text in model_with(texts).items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text, encoding="utf-8")
    by_object = {}
    for finding in lint_model(str(root)):
        assert finding.code in CATALOGUE, finding.render()
        by_object.setdefault(finding.object, []).append(finding)
    return {name: (text, by_object.get(f"'Sales'[{name}]", [])) for name, _, text in texts}


@pytest.mark.parametrize("code, text, expected", MODEL_CASES, ids=[f"{c}:{t[:40]}" for c, t, _ in MODEL_CASES])
def test_model_rule(model_findings, code, text, expected):
    text, found = model_findings[f"Case {MODEL_CASES.index((code, text, expected))}"]
    data = text.encode()
    assert [data[d.start : d.end].decode() for d in found if d.code == code.split()[0]] == expected


#: Every rule, those that are off unless named too.
EVERY_RULE = LintConfig(select=("ALL", *(code for code, rule in CATALOGUE.items() if rule.opt_in)))


def findings(text, **keywords):
    if text.startswith("("):
        keywords.setdefault("kind", "function")
    keywords.setdefault("config", EVERY_RULE)
    return lint_text(text, **keywords)


def marks(code, text):
    data = text.encode()
    return [data[d.start : d.end].decode() for d in findings(text) if d.code == code]


@pytest.mark.parametrize("code, text, expected", CASES, ids=[f"{c}:{t[:40]}" for c, t, _ in CASES])
def test_rule(code, text, expected):
    assert marks(code, text) == expected


def test_every_rule_has_cases_that_fire_and_stay_quiet():
    for code in CATALOGUE:
        outcomes = {bool(expected) for case_code, _, expected in CASES + MODEL_CASES
                    if case_code.split()[0] == code}
        assert outcomes == {True, False}, code


@pytest.mark.parametrize("code", list(CATALOGUE))
def test_the_documented_examples(code, model_findings):
    rule = CATALOGUE[code]
    if rule.models_only:
        assert code in [d.code for d in model_findings[f"{code} wrong"][1]]
        assert code not in [d.code for d in model_findings[f"{code} right"][1]]
        assert code not in [d.code for d in findings(rule.wrong.strip())]  # not in a file: names are unknown
    else:
        assert code in [d.code for d in findings(rule.wrong.strip())]
        assert code not in [d.code for d in findings(rule.right.strip())]
    explained = rule.explain()
    where = ", models only" if rule.models_only else ""
    where += ", off unless selected by its code or name" if rule.opt_in else ""
    assert explained.startswith(f"{code} {rule.name} ({rule.category}, {rule.severity} by default{where})")
    assert rule.wrong.strip().splitlines()[0] in explained and rule.right.strip().splitlines()[0] in explained


@pytest.mark.parametrize("code", list(CATALOGUE))
def test_a_rule_is_found_by_its_code_or_name_in_any_case(code):
    rule = CATALOGUE[code]
    for spelling in (code, code.lower(), rule.name, rule.name.upper(), rule.name.title()):
        assert find_rule(spelling) is rule, spelling


@pytest.mark.parametrize("text", ["", "DAX", "DAX1", "ALL", "correctness", "DAX101,DAX102", " DAX101", "DAX 101"])
def test_what_selects_rules_names_no_one_rule(text):
    assert find_rule(text) is None


def test_the_readme_lists_the_catalogue():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    for code, rule in CATALOGUE.items():
        assert f"| {code} | {rule.name} | {rule.category} | {rule.severity} |" in readme, code


def test_model_tables_and_formula_kinds():
    # a variable named like a model table; in a calculated column a bare [Name] is a column and +0 costs nothing
    text = "VAR sales = [Q] RETURN [Q] + [Q] + sales + 0"
    tree = parse_expression(text)
    assert [d.code for d in lint_tree(tree, text, tables=frozenset({"Sales"}), object_kind="measure")] == [
        "DAX003", "DAX105", "DAX107"]
    assert [d.code for d in lint_tree(tree, text, object_kind="calculated column")] == []


# --- fixes ----------------------------------------------------------------------


def apply(text, fix):
    """The text with a fix's edits made, each replacement printed as plain DAX."""
    data = text.encode()
    for edit in sorted(fix.edits, key=lambda e: e.span.start, reverse=True):
        printed = "" if edit.replacement is None else edit.replacement.to_dax()
        data = data[: edit.span.start] + printed.encode() + data[edit.span.end :]
    return data.decode()


_GONE = object()


def substituted(tree, edit):
    """The tree with the outermost node at the edit's span replaced by its
    replacement, or taken out of its list (a DEFINE block: set to None)."""
    done = []

    def rebuild(node):
        if not done and node.span == edit.span:
            done.append(node)
            if edit.replacement is not None:
                return edit.replacement
            return None if isinstance(node, DefineBlock) else _GONE
        changes = {}
        for name in node._fields:
            value = getattr(node, name)
            if isinstance(value, Node):
                new = rebuild(value)
                if new is not value:
                    changes[name] = new
            elif isinstance(value, tuple) and any(isinstance(item, Node) for item in value):
                items = tuple(item for item in map(rebuild, value) if item is not _GONE)
                if items != value or len(items) != len(value):
                    changes[name] = items
        return dataclasses.replace(node, **changes) if changes else node

    result = rebuild(tree)
    assert done, "no node has the edit's span"
    return result


PARSERS = {"query": parse_query, "expression": parse_expression, "function": parse_function}


def kind_of(text):
    if text.startswith("("):
        return "function"
    return "query" if is_query(text) else "expression"


def fixable_texts():
    texts = [text for _, text, _ in CASES] + [rule.wrong.strip() for rule in CATALOGUE.values()]
    texts += ["EVALUATEANDLOG ( 1 + 2 ) * 3", "2 * VAR x = 1 VAR y = 2 RETURN 3 + 4", "IF ( [a] && [b] <> BLANK (), 1 )",
              "DEFINE VAR x = 1 EVALUATE { 2 }", "DEFINE VAR x = 1 VAR y = 2 EVALUATE { y }", "- ( 1 - [a] / [b] )"]
    for folder in ("expressions", "queries"):
        texts += [path.read_text(encoding="utf-8") for path in sorted((SHARED / "corpus" / folder).glob("*.dax"))]
    return texts


def test_every_fix_means_what_it_says_and_settles_its_finding():
    # The fixed text parses to the original tree with just the node replaced (so the printed replacement
    # groups as the tree says), and lints with one finding of that rule less.
    if not (SHARED / "corpus").is_dir():
        pytest.skip("the shared corpus is not beside the repository")
    tried = 0
    for text in fixable_texts():
        kind = kind_of(text)
        try:
            tree = PARSERS[kind](text)
        except ValueError:
            continue  # the corpus keeps a few texts that no grammar here reads
        before = [d for d in lint_text(text, kind=kind) if d.code in CATALOGUE]
        for finding in before:
            if finding.fix is None:
                continue
            tried += 1
            (edit,) = finding.fix.edits
            fixed = apply(text, finding.fix)
            assert PARSERS[kind](fixed) == substituted(tree, edit), (text, fixed)
            after = [d.code for d in lint_text(fixed, kind=kind)]
            assert after.count(finding.code) < [d.code for d in before].count(finding.code), (text, fixed)
    assert tried > 100


# --- real DAX -------------------------------------------------------------------


def check_spans(text, diagnostics):
    data = text.encode()
    for diagnostic in diagnostics:
        assert 0 <= diagnostic.start <= diagnostic.end <= len(data)
        for offset in (diagnostic.start, diagnostic.end):
            assert offset == len(data) or data[offset] & 0xC0 != 0x80
    starts = [d.start for d in diagnostics if d.code in CATALOGUE]
    assert starts == sorted(starts)


def test_the_shared_corpus_lints_with_findings_in_place():
    if not (SHARED / "corpus").is_dir():
        pytest.skip("the shared corpus is not beside the repository")
    seen = set()
    for folder, mode in (("expressions", "expr"), ("queries", "query")):
        for path in sorted((SHARED / "corpus" / folder).glob("*.dax")):
            found = lint_file(str(path), CheckOptions(mode=mode))
            check_spans(path.read_text(encoding="utf-8"), found)
            seen.update(d.code for d in found)
    assert len(seen & set(CATALOGUE)) >= 10


def test_the_shared_models_lint_as_they_check():
    models = SHARED / "models"
    if not models.is_dir():
        pytest.skip("the shared models are not beside the repository")
    from quarrow_dax.check import check_model, collect_inputs

    for model in collect_inputs([str(models)]).models:
        linted = list(lint_model(model))
        checked = list(check_model(model, CheckOptions()))
        # the same reading problems and errors, and the same reference errors, as check's (lint's have the
        # rule's category for their kind); every finding inside a model file and on an object
        assert [d for d in linted if d.code not in CATALOGUE] == [d for d in checked if d.code != "DAX001"]
        unknown = sorted((d for d in linted if d.code == "DAX001"), key=lambda d: (d.path, d.start, d.end))
        assert [dataclasses.replace(d, kind="reference", fix=None) for d in unknown] == [
            Finding(**{f.name: getattr(d, f.name) for f in dataclasses.fields(d)}) for d in checked
            if d.code == "DAX001"]
        for finding in linted:
            if finding.code in CATALOGUE:
                assert finding.line >= 1 and finding.object is not None and finding.path.startswith(model)


def test_deep_trees_lint_without_recursion():
    # Each tree is tens of thousands of levels deep: every walk of the linter must be iterative.
    chain = "[a]" + " / [b]" * 20000
    assert [d.code for d in lint_text(chain)].count("DAX101") == 20000
    assert [d.code for d in lint_text(f"IF ( [b] <> 0, {chain} )")].count("DAX101") == 0
    assert lint_text("VAR x = 1 RETURN x" + " - 1" * 20000) == []
