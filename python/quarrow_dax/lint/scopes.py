"""Which variable or parameter each name of a tree stands for.

DAX binds names in three places: a `VAR ... RETURN` block (each variable is
visible in the expressions of the variables after it and in the RETURN
expression, not outside the block), a query's DEFINE block (its VARs are
visible in every definition and EVALUATE of the query) and a function's
parameters (visible in its body). An inner block may declare a name again
and hides the outer one there. Names compare without regard to case.

`walk_scoped` visits every node in source order like `Node.walk`, while
`Scopes` knows at each node which binding a name resolves to; it records
every use, and `Scopes.live` works out afterwards which bindings something
that counts (the result, not another unused variable) depends on.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Literal, Union, cast

from ..syntax import (
    DefineBlock, Expr, FuncParam, Function, HierarchyRef, Identifier, Node, Query, TableColumnRef, TableRef, Var,
    VarBlock,
    VarDecl,
)

__all__ = ["Binding", "BindingKind", "Scopes", "walk_scoped"]

BindingKind = Literal["variable", "query variable", "parameter"]


@dataclass(eq=False)
class Binding:
    """One declared name: a variable of a VAR block, a VAR of a query's
    DEFINE block or a function's parameter. `declaration` is the node that
    declares it and `value` the variable's expression (None for a
    parameter); `owner` is the construct that declares it (the VAR block,
    the DEFINE block or the function) and `owner_parent` the node that holds
    that construct. `uses` are the nodes that refer to it, in source order."""

    name: str
    kind: BindingKind
    declaration: VarDecl | Var | FuncParam
    value: Expr | None
    owner: VarBlock | DefineBlock | Function
    owner_parent: Node | None
    uses: list[Node] = field(default_factory=list)

    @property
    def key(self) -> str:
        return self.name.casefold()


class Scopes:
    """The bindings of one tree and, during `walk_scoped`, the ones in scope."""

    def __init__(self) -> None:
        #: Every binding, in the order of the declarations.
        self.bindings: list[Binding] = []
        #: (later, earlier) for each name declared twice in one block.
        self.duplicates: list[tuple[Binding, Binding]] = []
        self._visible: dict[str, list[Binding]] = {}
        # The binding whose declaration is being read: a use found there
        # counts only if that binding is itself used.
        self._readers: list[Binding] = []
        self._dependencies: list[tuple[Binding | None, Binding]] = []
        self._live: set[Binding] | None = None

    def resolve(self, name: str) -> Binding | None:
        """The binding `name` stands for at the node being visited, if any."""
        stack = self._visible.get(name.casefold())
        return stack[-1] if stack else None

    def use(self, name: str, node: Node) -> None:
        binding = self.resolve(name)
        if binding is not None:
            binding.uses.append(node)
            self._dependencies.append((self._readers[-1] if self._readers else None, binding))

    def declare(self, bindings: list[Binding]) -> None:
        """Records the bindings one block declares, and the names it declares twice."""
        first: dict[str, Binding] = {}
        for binding in bindings:
            earlier = first.setdefault(binding.key, binding)
            if earlier is not binding:
                self.duplicates.append((binding, earlier))
        self.bindings.extend(bindings)

    def live(self) -> set[Binding]:
        """The bindings that the result depends on: used outside any
        declaration, or in the declaration of a binding that is live.
        Asked once the walk is over."""
        if self._live is not None:
            return self._live
        readers: dict[Binding, list[Binding]] = {}
        pending: list[Binding] = []
        for reader, binding in self._dependencies:
            if reader is None:
                pending.append(binding)
            else:
                readers.setdefault(reader, []).append(binding)
        live: set[Binding] = set()
        while pending:
            binding = pending.pop()
            if binding not in live:
                live.add(binding)
                pending.extend(readers.get(binding, ()))
        self._live = live
        return live

    def _bind(self, binding: Binding) -> None:
        self._visible.setdefault(binding.key, []).append(binding)

    def _unbind(self, binding: Binding) -> None:
        self._visible[binding.key].pop()


# The steps of the walk: visit a node and what is below it; only show a node
# to the visitor (its parts are scheduled apart); bring a binding into scope
# or take it out; start or stop reading a binding's declaration.
_VISIT, _SHOW, _BIND, _UNBIND, _READ, _DONE = range(6)
_Step = tuple[int, Union[Node, Binding], Union[Node, None]]


def walk_scoped(root: Node, scopes: Scopes, visit: Callable[[Node, Node | None], None]) -> None:
    """Calls `visit(node, parent)` for every node below `root` (included) in
    source order, with `scopes` resolving names as DAX does at that node.
    Iterative: a tree as deep as a long operator chain costs no recursion."""
    work: list[_Step] = [(_VISIT, root, None)]
    while work:
        step, item, parent = work.pop()
        if step > _SHOW:
            binding = cast(Binding, item)
            if step == _BIND:
                scopes._bind(binding)
            elif step == _UNBIND:
                scopes._unbind(binding)
            elif step == _READ:
                scopes._readers.append(binding)
            else:
                scopes._readers.pop()
            continue
        node = cast(Node, item)
        visit(node, parent)
        if step == _SHOW:
            continue
        if isinstance(node, Identifier):
            scopes.use(node.name, node)
        elif isinstance(node, (TableRef, TableColumnRef, HierarchyRef)):
            # A table variable written like a table, 'Totals' or Totals[Amount]:
            # no table may have a variable's name, so its author meant the
            # variable (the engine reads some of these forms so, too).
            scopes.use(node.table.name, node)
        if isinstance(node, VarBlock):
            work.extend(reversed(_var_block(node, parent, scopes)))
        elif isinstance(node, Function):
            work.extend(reversed(_function(node, parent, scopes)))
        elif isinstance(node, Query):
            work.extend(reversed(_query(node, scopes)))
        else:
            work.extend((_VISIT, child, node) for child in reversed(node.children()))


def _var_block(block: VarBlock, parent: Node | None, scopes: Scopes) -> list[_Step]:
    # VAR a = ... VAR b = ... RETURN body: each variable is in scope from the
    # next declaration on, and all of them in the body.
    bindings = [Binding(decl.name, "variable", decl, decl.expr, block, parent) for decl in block.decls]
    scopes.declare(bindings)
    steps: list[_Step] = []
    for decl, binding in zip(block.decls, bindings):
        steps += [(_SHOW, decl, block), (_READ, binding, None), (_VISIT, decl.expr, decl), (_DONE, binding, None),
                  (_BIND, binding, None)]
    steps.append((_VISIT, block.body, block))
    steps += [(_UNBIND, binding, None) for binding in reversed(bindings)]
    return steps


def _function(function: Function, parent: Node | None, scopes: Scopes) -> list[_Step]:
    # ( a, b = <default> ) => body: a default may use the parameters before it.
    bindings = [Binding(param.name, "parameter", param, None, function, parent) for param in function.params]
    scopes.declare(bindings)
    steps: list[_Step] = []
    for param, binding in zip(function.params, bindings):
        steps.append((_SHOW, param, function))
        if param.default is not None:
            steps += [(_READ, binding, None), (_VISIT, param.default, param), (_DONE, binding, None)]
        steps.append((_BIND, binding, None))
    steps.append((_VISIT, function.body, function))
    steps += [(_UNBIND, binding, None) for binding in reversed(bindings)]
    return steps


def _query(query: Query, scopes: Scopes) -> list[_Step]:
    # The DEFINE block's VARs are in scope everywhere in the query; they stay
    # bound to the end of the walk.
    steps: list[_Step] = []
    define = query.define
    if define is not None:
        bindings = [Binding(d.name, "query variable", d, d.expr, define, query) for d in define.defs
                    if isinstance(d, Var)]
        scopes.declare(bindings)
        steps.append((_SHOW, define, query))
        steps += [(_BIND, binding, None) for binding in bindings]
        variables = iter(bindings)
        for definition in define.defs:
            if isinstance(definition, Var):
                binding = next(variables)
                steps += [(_SHOW, definition, define), (_READ, binding, None), (_VISIT, definition.expr, definition),
                          (_DONE, binding, None)]
            else:
                steps.append((_VISIT, definition, define))
    steps += [(_VISIT, evaluate, query) for evaluate in query.evaluates]
    return steps
