"""Checking the arguments of function calls against the functions'
signatures: what `quarrow-dax check` reports beyond the grammar.

    from quarrow_dax.arguments import check_calls
    from quarrow_dax.syntax import parse_expression

    for problem in check_calls(parse_expression("DIVIDE ( 1 ) + SUM ( Sales[Amount] * 2 )")):
        print(problem.code, problem.message)
    # E009 DIVIDE takes 2 or 3 arguments; 1 given
    # E010 SUM needs a column reference as argument 1 (<ColumnName>), not a computed value

A call of a built-in function is checked against its signature in
`quarrow_dax.functions`; a call of a user-defined function against its own
parameters (a query's `DEFINE FUNCTION`, or the model's functions passed
in), where a parameter with a default may be left out when all after it
may. Two things are errors, and only where the engine refuses them for
certain:

- a number of arguments no form of the function takes (E009), counting an
  omitted argument (`RANKX ( T, [m], , DESC )`) as given, and groups as
  groups (ADDCOLUMNS takes a table and then name and expression pairs);
- an argument that plainly cannot be what its parameter takes (E010): a
  literal, an operator's result, a table constructor or the result of a
  scalar function where a column, a table or a reference is required,
  or a string where a table or filter is.

Anything else a name could stand for (a measure, a variable, a parameter)
is given the benefit of the doubt.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass

from .diagnostics import RULES
from .functions import KINDS, Parameter, RepeatingGroup, Signature, automaton, catalogue, user_defined
from .syntax import (
    Binary, Blank, Boolean, BracketRef, Function, FunctionCall, HierarchyRef, Node, Number, Paren, Query, String,
    TableColumnRef, TableConstructor, TypedLiteral, Unary,
)
from .syntax.search import find_nodes

__all__ = ["ARGUMENT_COUNT", "ARGUMENT_KIND", "CallProblem", "check_calls", "defined_functions", "signature_of"]

_CATALOGUE = catalogue()

ARGUMENT_COUNT = RULES["E009"]
ARGUMENT_KIND = RULES["E010"]


@dataclass(frozen=True, slots=True)
class CallProblem:
    """One call that the engine would refuse: the rule's `code`, the
    `message`, the function's signature as the `hint`, and the byte span of
    the text it is about."""

    code: str
    message: str
    hint: str
    start: int
    end: int


# --- what an argument plainly is ---------------------------------------------

_VALUES = frozenset({"number", "string", "logical", "blank", "literal", "computed"})
_NOT_REFERENCES = _VALUES | {"constructor", "call"}
#: What each kind of parameter certainly refuses.
_REFUSED: dict[str, frozenset[str]] = {
    "column": _NOT_REFERENCES, "tableref": _NOT_REFERENCES, "ref": _NOT_REFERENCES,
    "table": _VALUES | {"call"}, "filter": frozenset({"string"}),
    # A column's name is a string known before anything runs; whether a
    # computed one (a concatenation, NAMEOF) is taken is not certain.
    "name": frozenset({"number", "logical", "blank", "literal", "constructor", "reference"}),
}
_SHAPES = {
    "number": "a number", "string": "a string", "logical": "TRUE or FALSE", "blank": "BLANK",
    "literal": "a literal", "computed": "a computed value", "constructor": "a table constructor",
    "reference": "a column reference",
}
_WANTED = {
    "column": "a column reference", "tableref": "a table name", "ref": "a table or column reference",
    "table": "a table", "filter": "a filter (a condition or a table)", "name": "a column name (a string)",
}


#: What an argument plainly is, by the class of its node.
_PLAIN_SHAPES: dict[type[Node], str] = {
    Number: "number", String: "string", Boolean: "logical", Blank: "blank", TypedLiteral: "literal",
    Binary: "computed", TableConstructor: "constructor", TableColumnRef: "reference", BracketRef: "reference",
    HierarchyRef: "reference",
}


def _unwrap(node: Node) -> Node:
    while isinstance(node, Paren):
        node = node.expr
    return node


class _Shapes:
    """Classifies arguments; a call's result is a scalar only when the
    function is built in (a user-defined one may return anything)."""

    def __init__(self, user: Mapping[str, Signature]) -> None:
        self.user = user
        self.calls: dict[int, str] = {}

    def of(self, argument: Node) -> str | None:
        node = argument
        while type(node) is Paren:
            node = node.expr
        kind = type(node)
        shape = _PLAIN_SHAPES.get(kind)
        if shape is not None:
            return shape
        if kind is Unary:
            inner = _unwrap(node.expr)  # type: ignore[attr-defined]
            return "number" if node.op != "Not" and type(inner) is Number else "computed"  # type: ignore[attr-defined]
        if kind is FunctionCall:
            upper = node.name.upper()  # type: ignore[attr-defined]
            found = catalogue().get(upper)
            if upper not in self.user and found is not None and found.returns == "scalar":
                self.calls[id(argument)] = found.name
                return "call"
        return None

    def describe(self, argument: Node, shape: str) -> str:
        if shape == "call":
            return f"the scalar result of {self.calls.get(id(argument), 'a function')}"
        return _SHAPES[shape]


# --- user-defined functions ----------------------------------------------------


def signature_of(function: Function, name: str | None = None) -> Signature:
    """The signature of a user-defined function from its definition."""
    return user_defined(
        name or function.name,
        [(param.name, param.type_hints, param.default is not None) for param in function.params],
        function.doc or "",
    )


def defined_functions(tree: Node) -> dict[str, Signature]:
    """The functions a query defines (`DEFINE FUNCTION`), by name in upper
    case; empty for anything but a query."""
    found: dict[str, Signature] = {}
    if isinstance(tree, Query) and tree.define is not None:
        for definition in tree.define.defs:
            if isinstance(definition, Function):
                found[definition.name.upper()] = signature_of(definition)
    return found


# --- checking --------------------------------------------------------------------


def _span(node: Node) -> tuple[int, int]:
    span = node.span
    return (span.start, span.end) if span is not None else (0, 0)


def _hint(found: Signature) -> str:
    return " or ".join(form.text(found.name) for form in found.forms)


def _checked(found: Signature) -> bool:
    """Whether any parameter of `found` refuses some argument (kept on the
    signature: asked for every call)."""
    checked: bool | None = found.__dict__.get("_checked")
    if checked is None:
        checked = found.__dict__["_checked"] = any(
            p.kind in _REFUSED for form in found.forms for p in form.parameters)
    return checked


_Plan = tuple[int, "int | None", "tuple[tuple[int, frozenset[str]], ...] | None"]


def _plan(found: Signature) -> _Plan:
    """(min_args, max_args, the places that refuse some arguments and what
    they refuse) of a function whose arguments have one reading for each
    count; places None otherwise. One reading means one form, no group, and
    at most its last parameter optional (TOTALYTD's two optional ones are
    told apart by kind, not by place). Kept on the signature: it is asked
    for every call."""
    plan: _Plan | None = found.__dict__.get("_plan")
    if plan is None:
        form = found.forms[0]
        simple = (len(found.forms) == 1 and form.positional
                  and sum(p.optional for p in form.parameters) <= 1)
        places = tuple((index, _REFUSED[p.kind]) for index, p in enumerate(form.parameters)
                       if p.kind in _REFUSED) if simple else None
        plan = found.__dict__["_plan"] = (found.min_args, found.max_args, places)
    return plan


def _row_variant(found: Signature) -> Signature | None:
    """SUMX for SUM, STDEVX.S for STDEV.S: the iterator of an aggregation."""
    head, dot, tail = found.name.partition(".")
    return catalogue().get(f"{head}X{dot}{tail}")


class _Checker:
    def __init__(self, user: Mapping[str, Signature]) -> None:
        self.user = user
        self.shapes = _Shapes(user)
        self.problems: list[CallProblem] = []

    def call(self, call: FunctionCall) -> None:
        upper = call.name.upper()
        found = self.user.get(upper) if self.user else None
        if found is None:
            found = _CATALOGUE.get(upper)
            if found is None:
                return
        args = call.args
        count = len(args)
        low, high, places = _plan(found)
        if places is not None:
            # One reading for each count: each argument's parameter is known
            # by its place, and only the places that refuse something matter.
            if count < low or (high is not None and count > high):
                self.count_problem(call, found, count)
                return
            for index, refused in places:
                if index < count:
                    shape = self.shapes.of(args[index])
                    if shape in refused:
                        self.kind_problem(call, found, index, shape, (found.forms[0].parameters[index],))
                        return
            return
        machine = automaton(found)
        if not machine.valid_count(count):
            self.count_problem(call, found, count)
            return
        if not _checked(found):
            return
        shapes = [self.shapes.of(arg) for arg in args]
        if not any(shapes):
            return
        fits = lambda parameter, index: shapes[index] not in _REFUSED.get(parameter.kind, ())  # noqa: E731
        states = machine.run(count, fits)
        if len(states) > count and machine.accepts(states[-1]):
            return
        if len(states) <= count:
            # No reading takes this argument after those before it.
            index = len(states) - 1
            self.kind_problem(call, found, index, shapes[index] or "computed", machine.expected(states[index]))
            return
        # Every argument fits somewhere, yet no reading ends here: first an
        # argument that no reading of this many arguments takes (MIN ( 1 )),
        # else a group left incomplete.
        candidates = machine.candidates(count)
        for index, shape in enumerate(shapes):
            wanted = candidates[index]
            if shape is not None and wanted and all(shape in _REFUSED.get(p.kind, ()) for p in wanted):
                self.kind_problem(call, found, index, shape, wanted)
                return
        self.group_problem(call, found, machine.expected(states[-1]))

    def add(self, code: str, message: str, found: Signature, span: tuple[int, int], hint: str | None = None) -> None:
        self.problems.append(CallProblem(code, message, hint or _hint(found), span[0], span[1]))

    def count_problem(self, call: FunctionCall, found: Signature, count: int) -> None:
        phrase = automaton(found).count_phrase(found.min_args, found.max_args)
        message = f"{found.name} takes {phrase}; {count} given"
        if found.max_args is not None and count > found.max_args:
            span = _span(call.args[found.max_args])  # the first argument too many
        else:
            start = _span(call)[0]
            span = (start, start + len(call.name.encode("utf-8")))
        self.add(ARGUMENT_COUNT.code, message, found, span)

    def kind_problem(
        self, call: FunctionCall, found: Signature, index: int, shape: str, candidates: tuple[Parameter, ...]
    ) -> None:
        argument = call.args[index]
        refusing = [p for p in candidates if shape in _REFUSED.get(p.kind, ())] or list(candidates)
        wanted = " or ".join(dict.fromkeys(_WANTED.get(p.kind, KINDS[p.kind]) for p in refusing))
        names = " or ".join(dict.fromkeys(p.text() for p in refusing))
        message = (f"{found.name} needs {wanted} as argument {index + 1} ({names}), "
                   f"not {self.shapes.describe(argument, shape)}")
        hint = _hint(found)
        variant = _row_variant(found)
        if variant is not None and shape in ("computed", "call") and any(p.kind == "column" for p in refusing):
            hint += f"; to aggregate an expression row by row, use {_hint(variant)}"
        self.add(ARGUMENT_KIND.code, message, found, _span(argument), hint)

    def group_problem(self, call: FunctionCall, found: Signature, expected: tuple[Parameter, ...]) -> None:
        count = len(call.args)
        wanted = " or ".join(dict.fromkeys(p.text() for p in expected))
        message = f"{found.name} needs {wanted} after argument {count}"
        for form in found.forms:
            for item in form.items:
                if isinstance(item, RepeatingGroup) and any(p in item.members for p in expected):
                    message += ": " + " and ".join(p.text() for p in item.members) + " go together"
                    break
            else:
                continue
            break
        self.add(ARGUMENT_COUNT.code, message, found, _span(call.args[-1]))


def check_calls(tree: Node, functions: Mapping[str, Signature] | None = None) -> list[CallProblem]:
    """The problems of the calls in `tree`, in source order. `functions`:
    the user-defined functions of the model, by name in upper case; a
    query's own `DEFINE FUNCTION`s come first."""
    user = dict(functions or {})
    user.update(defined_functions(tree))
    checker = _Checker(user)
    for call in find_nodes(tree, FunctionCall):
        checker.call(call)
    return checker.problems
