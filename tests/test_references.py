"""quarrow_dax.references: the native extraction against a plain walk of the
syntax tree written here (over the corpus and the shared models), what the
tree cannot say (scopes, spans of names), and nothing in strings or
comments."""

import gc
import pathlib
import tracemalloc

import pytest

from quarrow_dax import syntax as S
from quarrow_dax.model import read_model
from quarrow_dax.references import Reference, references

SHARED = pathlib.Path(__file__).resolve().parents[2] / "shared"
CORPUS = SHARED / "corpus"
MODELS = SHARED / "models"
shared = pytest.mark.skipif(not CORPUS.is_dir() or not MODELS.is_dir(), reason=f"shared files not at {SHARED}")


def oracle(tree):
    """(kind, name, table, levels, function, argument, parent, target) of
    every reference of a tree, by a walk over its Python objects: calls,
    names and literals only, variables bound by DAX's scoping."""
    found = []
    scope = []  # (name, definition index)

    def lookup(name):
        for bound, index in reversed(scope):
            if bound.lower() == name.lower():
                return index
        return None

    def add(kind, name, table=None, levels=(), call=None, argument=None, target=None):
        function = found[call][1] if call is not None else None
        found.append((kind, name, table, tuple(levels), function, argument, call, target))
        return len(found) - 1

    def walk(root, call=None, argument=None):
        stack = [("visit", root, call, argument)]
        while stack:
            op, node, call, argument = stack.pop()
            if op == "bind":
                scope.append(node)
                continue
            if op == "unbind":
                del scope[len(scope) - node:]
                continue
            if isinstance(node, S.FunctionCall):
                index = add("function", node.name, call=call, argument=argument)
                stack.extend(("visit", a, index, i) for i, a in reversed(list(enumerate(node.args))))
            elif isinstance(node, S.Identifier):
                target = lookup(node.name)
                kind = "table" if target is None else found[target][0] + " use"
                add(kind, node.name, call=call, argument=argument, target=target)
            elif isinstance(node, S.TableRef):
                add("table", node.table.name, call=call, argument=argument)
            elif isinstance(node, (S.TableColumnRef, S.HierarchyRef)):
                target = None if node.table.quoted else lookup(node.table.name)
                levels = getattr(node, "levels", ())
                add("hierarchy" if levels else "column", node.column, node.table.name, levels, call, argument, target)
            elif isinstance(node, S.BracketRef):
                add("bracket", node.name, call=call, argument=argument)
            elif isinstance(node, S.Parameter):
                add("query parameter", node.name, call=call, argument=argument)
            elif isinstance(node, S.VarBlock):
                # Each declaration: its definition, its value, then its binding.
                steps = []
                for decl in node.decls:
                    steps.append(("define", decl, call, argument))
                steps.append(("visit", node.body, call, argument))
                steps.append(("unbind", len(node.decls), None, None))
                stack.extend(reversed(steps))
            elif op == "define":
                index = add("variable", node.name, call=call, argument=argument)
                stack.append(("bind", (node.name, index), None, None))
                stack.append(("visit", node.expr, call, argument))
            else:
                stack.extend(("visit", child, call, argument) for child in reversed(node.children()))

    def function(definition):
        indexes = []
        for param in definition.params:
            indexes.append(add("parameter", param.name))
            if param.default is not None:
                walk(param.default)
        scope.extend((param.name, index) for param, index in zip(definition.params, indexes))
        walk(definition.body)
        del scope[len(scope) - len(indexes):]

    if isinstance(tree, S.Function):
        function(tree)
    elif isinstance(tree, S.Query):
        for definition in tree.define.defs if tree.define else ():
            if isinstance(definition, S.Var):
                index = add("variable", definition.name)
                walk(definition.expr)
                scope.append((definition.name, index))
            elif isinstance(definition, S.Function):
                add("function definition", definition.name)
                function(definition)
            else:
                kinds = {S.Measure: "measure", S.Column: "column", S.Table: "table", S.MParameter: "mparameter"}
                kind = kinds[type(definition)]
                table = getattr(definition, "table", None)
                add(kind + " definition", definition.name, table.name if table else None)
                walk(definition.expr)
                shape = getattr(definition, "visual_shape", None)
                for axis in shape.axes if shape else ():
                    for group in axis.groups:
                        for column in group.columns + ((group.total,) if group.total else ()):
                            walk(column)
                    for key in axis.order_by:
                        walk(key.expr)
        for evaluate in tree.evaluates:
            for expr in (evaluate.expr, *(key.expr for key in evaluate.order_by), *(evaluate.start_at or ())):
                walk(expr)
    else:
        walk(tree)
    return found


def fields(ref):
    return (ref.kind, ref.name, ref.table, ref.levels, ref.function, ref.argument, ref.parent, ref.target)


def sources():
    for folder, kind, parse in (("expressions", "expression", S.parse_expression), ("queries", "query", S.parse_query)):
        for path in sorted((CORPUS / folder).glob("*.dax")):
            text = path.read_text(encoding="utf-8")
            try:
                yield f"{folder}/{path.name}", text, kind, parse(text)
            except S.ParseError:
                continue
    for model in sorted([*(MODELS / "bim").iterdir(), *(MODELS / "tmdl").iterdir()]):
        for formula in read_model(model):
            if formula.kind == "function":
                yield formula.name, formula.text, "function", S.parse_function(formula.text)
            else:
                yield formula.name, formula.text, "expression", S.parse_expression(formula.text)


@shared
def test_extraction_agrees_with_a_walk_of_the_tree_and_never_reads_strings_or_comments():
    problems, count = [], 0
    for name, text, kind, tree in sources():
        found = references(text, kind=kind)
        count += len(found)
        if [fields(ref) for ref in found] != oracle(tree):
            problems.append(f"{name}: differs from the walk of its tree")
        data = text.encode("utf-8")
        # Each reference starts at a token that is a name, a call or `@p`:
        # never in a string or a comment. Definitions' spans are their names.
        starts = {token.span.start: token for token in S.tokenize(text)}
        for ref in found:
            token = starts.get(ref.span.start)
            if token is None or token.kind not in ("Ident", "QuotedIdent", "BracketIdent", "Param", "DocComment"):
                problems.append(f"{name}: {ref.kind} {ref.name!r} at {ref.span} starts at no name token")
            elif ref.kind in ("variable", "parameter") and data[slice(*ref.span)].decode() != ref.name:
                problems.append(f"{name}: {ref.kind} {ref.name!r} spans {ref.text!r}")
        if [ref.span.start for ref in found] != sorted(ref.span.start for ref in found):
            problems.append(f"{name}: not in source order")
    assert count > 30_000
    assert problems == [], problems[:5]


R = ("kind", "name", "table", "function", "argument", "target")

CASES = [
    # source, kind, (kind, name, table, function, argument, target) per reference
    # names in strings and comments are no references
    ('"[x]" & -- [y]\n /* \'T\'[z] */ [a]', "expression", [("bracket", "a", None, None, None, None)]),
    # a VAR is seen by the declarations after it and the body, not by itself
    ("VAR x = x VAR y = x RETURN y + X", "expression",
     [("variable", "x", None, None, None, None), ("table", "x", None, None, None, None),
      ("variable", "y", None, None, None, None), ("variable use", "x", None, None, None, 0),
      ("variable use", "y", None, None, None, 2), ("variable use", "X", None, None, None, 0)]),
    # a block's variables are gone after it; the inner one hides the outer
    ("f(VAR a = 1 RETURN a, a) + VAR a = 2 RETURN (VAR a = 3 RETURN a) + a", "expression",
     [("function", "f", None, None, None, None), ("variable", "a", None, "f", 0, None),
      ("variable use", "a", None, "f", 0, 1), ("table", "a", None, "f", 1, None),
      ("variable", "a", None, None, None, None), ("variable", "a", None, None, None, None),
      ("variable use", "a", None, None, None, 5), ("variable use", "a", None, None, None, 4)]),
    # a table variable's columns; a quoted name is always a table
    ("VAR t = T RETURN t[c] + 't'[c]", "expression",
     [("variable", "t", None, None, None, None), ("table", "T", None, None, None, None),
      ("column", "c", "t", None, None, 0), ("column", "c", "t", None, None, None)]),
    # the innermost call and argument
    ("CALCULATE ( [m], USERELATIONSHIP ( A[x], B[y] ), 1 + NAMEOF ( [n] ) )", "expression",
     [("function", "CALCULATE", None, None, None, None), ("bracket", "m", None, "CALCULATE", 0, None),
      ("function", "USERELATIONSHIP", None, "CALCULATE", 1, None), ("column", "x", "A", "USERELATIONSHIP", 0, None),
      ("column", "y", "B", "USERELATIONSHIP", 1, None), ("function", "NAMEOF", None, "CALCULATE", 2, None),
      ("bracket", "n", None, "NAMEOF", 0, None)]),
    # parameters: seen by the body, not by the defaults
    ("( a, b : INT64 = a ) => a + b", "function",
     [("parameter", "a", None, None, None, None), ("parameter", "b", None, None, None, None),
      ("table", "a", None, None, None, None), ("parameter use", "a", None, None, None, 0),
      ("parameter use", "b", None, None, None, 1)]),
    # a query: DEFINE VAR for what follows, definitions, @parameters
    ("DEFINE VAR v = @p MEASURE T[m] = v EVALUATE ROW ( \"a\", [m] ) ORDER BY v", "query",
     [("variable", "v", None, None, None, None), ("query parameter", "p", None, None, None, None),
      ("measure definition", "m", "T", None, None, None), ("variable use", "v", None, None, None, 0),
      ("function", "ROW", None, None, None, None), ("bracket", "m", None, "ROW", 1, None),
      ("variable use", "v", None, None, None, 0)]),
]


@pytest.mark.parametrize("source, kind, expected", CASES)
def test_references(source, kind, expected):
    assert [tuple(getattr(ref, f) for f in R) for ref in references(source, kind=kind)] == expected


def test_spans_of_names_hierarchies_and_trees():
    text = "VAR /* v */\n  Ab = 'D'[Cal].[Y] RETURN Ab & [a]]b] & 'T' [c]"
    found = references(text)
    assert [ref.text for ref in found] == ["Ab", "'D'[Cal].[Y]", "Ab", "[a]]b]", "'T' [c]"]
    assert found[1].levels == ("Y",) and found[1].table == "D" and found[1].name == "Cal"
    # White space as the lexer reads it, beyond ASCII too (a no-break space).
    assert [ref.text for ref in references("VAR\u00a0x = 1 RETURN x")] == ["x", "x"]
    assert [text.encode()[slice(*ref.name_span)].decode() for ref in found[3:]] == ["[a]]b]", "[c]"]
    # A tree's references keep the spans of the text it was parsed from.
    tree = S.parse_expression("= SUM ( 'T'[x] ) // total")
    assert [(ref.kind, ref.span, ref.text) for ref in references(tree)] == [
        ("function", (2, 16), "SUM ( 'T'[x] )"), ("column", (8, 14), "'T'[x]")]
    assert [ref.text for ref in references(S.parse_expression("1 + [x]").right)] == ["[x]"]
    assert references(S.FunctionCall("f", (S.BracketRef("m"),)))[1].text == "[m]"
    assert [ref.argument for ref in references("f ( 1,5; [x] )", separators="semicolon")] == [None, 1]
    with pytest.raises(S.ParseError, match="unexpected end of input at 3..3"):
        references("1 +")
    with pytest.raises(TypeError):
        references(S.parse_query("DEFINE VAR v = 1 EVALUATE {v}").define)
    assert found[0] == Reference("variable", "Ab", None, (), None, None, None, None)


def test_long_chains_and_released_objects():
    found = references(" + ".join(["[m]"] * 200_000))
    assert len(found) == 200_000 and found[-1].span == (1_199_994, 1_199_997)
    text = "VAR a = {1} RETURN SUMX(a, [Value] * 'T'[x].[y] + a)"
    references(text)
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(2000):
        references(text)
        with pytest.raises(S.ParseError):
            references(text + " +")
    gc.collect()
    assert len(gc.get_objects()) - before < 50
    # Names are str objects, which the collector does not see: their memory must not grow.
    tracemalloc.start()
    references(text)
    start = tracemalloc.get_traced_memory()[0]
    for _ in range(2000):
        references(text)
    assert tracemalloc.get_traced_memory()[0] - start < 10_000
    tracemalloc.stop()
