"""Checks that every syntax tree must pass, shared by the corpus tests and the
generated-text properties: the objects mirror the module's JSON, spans nest
and follow each other, each expression's text parses alone to itself,
to_dax reads back, and tokens with comments cover their text."""

from quarrow_dax import syntax as S


def table_json(table):
    return {"name": table.name, "quoted": table.quoted}


def expr_json(e):
    """The JSON value the module writes for the same expression (recursive:
    the trees checked here are shallow)."""
    kind = type(e).__name__
    if isinstance(e, (S.Number, S.String, S.Boolean)):
        return {kind: e.value}
    if isinstance(e, S.Blank):
        return "Blank"
    if isinstance(e, (S.Parameter, S.Identifier, S.BracketRef)):
        return {kind: e.name}
    if isinstance(e, S.TableRef):
        return {kind: table_json(e.table)}
    if isinstance(e, S.TableColumnRef):
        return {kind: {"table": table_json(e.table), "column": e.column}}
    if isinstance(e, S.HierarchyRef):
        return {kind: {"table": table_json(e.table), "column": e.column, "levels": list(e.levels)}}
    if isinstance(e, S.FunctionCall):
        return {kind: {"name": e.name, "args": [expr_json(a) for a in e.args]}}
    if isinstance(e, S.Unary):
        return {kind: {"op": e.op, "expr": expr_json(e.expr)}}
    if isinstance(e, S.Binary):
        return {kind: {"op": e.op, "left": expr_json(e.left), "right": expr_json(e.right)}}
    if isinstance(e, S.VarBlock):
        decls = [{"name": d.name, "expr": expr_json(d.expr)} for d in e.decls]
        return {kind: {"decls": decls, "body": expr_json(e.body)}}
    if isinstance(e, S.TableConstructor):
        return {kind: [[expr_json(cell) for cell in row] for row in e.rows]}
    assert isinstance(e, S.Paren), kind
    return {kind: expr_json(e.expr)}


def definition_json(d):
    kind = type(d).__name__
    if isinstance(d, (S.Measure, S.Column)):
        table = table_json(d.table) if d.table else None
        return {kind: {"doc": d.doc, "table": table, "name": d.name, "expr": expr_json(d.expr)}}
    if isinstance(d, (S.Var, S.Table)):
        return {kind: {"doc": d.doc, "name": d.name, "expr": expr_json(d.expr)}}
    params = [{"name": p.name, "type_hints": list(p.type_hints)} for p in d.params]
    return {kind: {"doc": d.doc, "name": d.name, "params": params, "body": expr_json(d.body)}}


def query_json(q):
    return {
        "define": {"defs": [definition_json(d) for d in q.define.defs]} if q.define else None,
        "evaluates": [
            {
                "expr": expr_json(s.expr),
                "order_by": [{"expr": expr_json(k.expr), "direction": k.direction} for k in s.order_by],
                "start_at": None if s.start_at is None else [expr_json(v) for v in s.start_at],
            }
            for s in q.evaluates
        ],
    }


def tree_problems(tree, text, **options):
    """What is wrong with `tree`, parsed from `text`: spans outside their
    parent or overlapping a sibling, expression texts that do not parse back
    to their node, a to_dax text that does not read back. Empty when sound."""
    size = len(text.encode("utf-8"))
    problems = []
    for node, parent in tree.walk():
        span = node.span
        empty = isinstance(node, S.Omitted)  # the one node without tokens
        if span is None or not 0 <= span.start <= span.end <= size or (span.start == span.end) != empty:
            problems.append(f"{node!r}: span {span} outside the text")
            continue
        if parent is not None and not (parent.span.start <= span.start and span.end <= parent.span.end):
            problems.append(f"{node!r}: span {span} outside its parent's {parent.span}")
        previous = span.start
        for child in node.children():
            if child.span.start < previous:
                problems.append(f"{child!r}: span {child.span} overlaps its sibling before it")
            previous = child.span.end
        # A row of values stands only before IN; an omitted argument is no text.
        if isinstance(node, S.Expr) and not isinstance(node, (S.Omitted, S.RowConstructor)):
            try:
                alone = S.parse_expression(node.text, **options)
            except S.ParseError as error:
                problems.append(f"{node.text!r} does not parse alone: {error}")
            else:
                if alone != node:
                    problems.append(f"{node.text!r} parses alone to {alone!r}, not {node!r}")
    printed = tree.to_dax(**{k: v for k, v in options.items() if k == "separators"})
    again = (S.parse_query if isinstance(tree, S.Query) else S.parse_expression)(printed, **options)
    if again != tree:
        problems.append(f"to_dax does not read back: {printed!r}")
    return problems


def token_gaps(text, **options):
    """The non-blank text between or around the tokens (comments included):
    empty when the tokens cover the input."""
    data = text.encode("utf-8")
    gaps, position = [], 0
    for token in S.tokenize(text, comments=True, **options):
        gap = data[position : token.span.start].decode("utf-8")
        if gap.strip():
            gaps.append(gap)
        if data[token.span.start : token.span.end].decode("utf-8") != token.text:
            gaps.append(f"text of {token!r}")
        position = token.span.end
    if data[position:].decode("utf-8").strip():
        gaps.append(data[position:].decode("utf-8"))
    return gaps
