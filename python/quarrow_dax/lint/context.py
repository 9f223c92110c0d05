"""What a rule knows about the formula it looks at: the tree and its source
text, what kind of formula it is, the names in scope at each node, for a
model's formula the model and every reference resolved against it, and
where to report.

The context is the one object handed to every rule, so that what a rule may
need arrives as attributes here without changing any rule's signature.
"""

from __future__ import annotations

import bisect
from collections.abc import Callable
from typing import Any, Literal

from ..model import Formula, Model
from ..resolution import Resolution
from ..syntax import FunctionCall, Node, Query, Separators, Span, Table, Token, tokenize
from .rule import Fix, LintRule, Violation
from .scopes import Binding, Scopes

__all__ = ["FormulaKind", "LintContext"]

#: What the linted text is: an expression (a measure, a column, ...), a
#: query, or a model's user-defined function, `(parameters) => body`.
FormulaKind = Literal["expression", "query", "function"]


class LintContext:
    """One formula being linted. `source` is the text the tree was parsed
    from (every span is a byte range of its UTF-8 form); `kind` says how it
    was parsed and `object_kind`, for a model's formula, what it belongs to
    ("measure", "calculated column", ...; None for a file). `tables` holds
    the table names in scope, folded with `str.casefold`: the model's and
    those a query defines (empty when nothing is known).

    `model` and `formula` are the model and its formula that `source` is
    the text of (None for a file). `resolve`, when the model's names can be
    looked up (it was read whole), gives the resolution of every reference
    of the formula; it is called once, when a rule first asks."""

    def __init__(
        self,
        source: str,
        tree: Node,
        kind: FormulaKind,
        *,
        object_kind: str | None = None,
        tables: frozenset[str] = frozenset(),
        separators: Separators = "comma",
        model: Model | None = None,
        formula: Formula | None = None,
        resolve: Callable[[], list[Resolution]] | None = None,
    ) -> None:
        self.source = source
        self.tree = tree
        self.kind = kind
        self.object_kind = object_kind
        self.separators: Separators = separators
        if isinstance(tree, Query) and tree.define is not None:
            tables |= {d.name.casefold() for d in tree.define.defs if isinstance(d, Table)}
        self.tables = tables
        self.model = model
        self.formula = formula
        self.scopes = Scopes()
        self.violations: list[Violation] = []
        self._scratch: dict[str, Any] = {}
        self._tokens: list[Token] | None = None
        self._token_starts: list[int] = []
        self._resolve = resolve
        self._resolutions: list[Resolution] | None = None
        self._by_span: dict[tuple[int, int], Resolution] | None = None

    # --- names of the model -----------------------------------------------------

    @property
    def resolving(self) -> bool:
        """Whether the formula's references are looked up in its model."""
        return self._resolve is not None

    @property
    def resolutions(self) -> list[Resolution]:
        """What every reference of the formula means, in source order (see
        `quarrow_dax.resolution`); empty when names are not looked up."""
        if self._resolutions is None:
            self._resolutions = [] if self._resolve is None else self._resolve()
        return self._resolutions

    def resolution_of(self, node: Node) -> Resolution | None:
        """The resolution of the reference that `node` is (a `[Name]`, a
        `Table[Name]`, a table, a call), found by its place in the source."""
        if self._by_span is None:
            self._by_span = {}
            for found in self.resolutions:
                span = found.reference.span
                if span is not None:
                    self._by_span.setdefault((span.start, span.end), found)
        span = node.span
        return None if span is None else self._by_span.get((span.start, span.end))

    # --- what rules call ------------------------------------------------------

    def report(
        self, rule: LintRule, span: Span, message: str, *, hint: str | None = None, fix: Fix | None = None
    ) -> None:
        self.violations.append(Violation(rule.code, span, message, hint, fix))

    def resolve(self, name: str) -> Binding | None:
        """The variable or parameter `name` stands for at the node being
        visited; None for a table or an unknown name."""
        return self.scopes.resolve(name)

    def scratch(self, rule: LintRule, factory: type[Any] = list) -> Any:
        """A value a rule keeps for this formula between its calls."""
        value = self._scratch.get(rule.code)
        if value is None:
            value = self._scratch[rule.code] = factory()
        return value

    # --- places in the text ---------------------------------------------------

    def tokens(self) -> list[Token]:
        """The tokens of the source, comments included (made once, on first use)."""
        if self._tokens is None:
            self._tokens = tokenize(self.source, comments=True, separators=self.separators)
            self._token_starts = [_span(token).start for token in self._tokens]
        return self._tokens

    def tokens_between(self, start: int, end: int) -> list[Token]:
        """The tokens that lie within bytes `start` to `end`."""
        tokens = self.tokens()
        first = bisect.bisect_left(self._token_starts, start)
        last = bisect.bisect_left(self._token_starts, end)
        return [token for token in tokens[first:last] if _span(token).end <= end]

    def name_span(self, node: Node, name: str) -> Span:
        """The span of `name` where `node` declares it (`VAR name = ...`),
        or the node's own span when the name is not found in it."""
        span = _span(node)
        folded = name.casefold()
        for token in self.tokens_between(span.start, span.end):
            if token.kind == "Ident" and token.text.casefold() == folded:
                return _span(token)
        return span

    def call_name_span(self, call: FunctionCall) -> Span:
        """The span of a function call's name, which its text starts with."""
        start = _span(call).start
        return Span(start, start + len(call.name.encode("utf-8")))

    def operator_span(self, left: Node, right: Node) -> Span:
        """The span of the operator between two operands."""
        for token in self.tokens_between(_span(left).end, _span(right).start):
            if not token.is_comment:
                return _span(token)
        return Span(_span(left).end, _span(right).start)


def _span(node: Node | Token) -> Span:
    span = node.span
    if span is None:
        raise ValueError("a node built in code has no place in the source")
    return span
