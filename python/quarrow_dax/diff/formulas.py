"""Whether two formulas mean the same: the verdict on a pair of formula texts
of the old and the new side.

Equal texts are the same. Otherwise the native fingerprints of the two
trees are compared (`formatter.native.fingerprints`: the parser's tree with
built-in function names in one case, positions, layout and comments left
out): equal fingerprints are a difference of layout. Where they differ, the
references are spelled one way on both sides and the fingerprints compared
again: names in one case and tables always quoted (DAX reads `Sales[Qty]`,
`'sales'[QTY]` alike) is still layout; each reference to a model object
written as the new side names that object (so that `[Margin]` before a
rename and `[Gross Margin]` after it are the same reference) is a formula
that only follows a rename. Anything else is a change of meaning, and so is
any difference in a text that does not parse (its meaning is unknown).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Literal

from ..formatter.native import KIND_CODES, fingerprints
from ..model import Column, Formula, Function, Hierarchy, Measure, Model, ModelObject, Table, bracket, quote_table
from ..references import Reference, references
from ..resolution import Resolution, Resolver
from ..syntax.parsing import Grammar, ParseError, Separators, _options

__all__ = ["FormulaComparer", "Verdict"]

#: "same" (equal texts), "layout" (the texts differ, the trees do not),
#: "follows" (they differ only by references to renamed objects) or
#: "changed".
Verdict = Literal["same", "layout", "follows", "changed"]

Counterpart = Callable[[ModelObject], "ModelObject | None"]

_VARIABLES = frozenset({"variable", "variable use", "parameter", "parameter use"})


class _Side:
    """One side's model, read for references only when a formula needs it."""

    def __init__(self, model: Model) -> None:
        self.model = model
        self._resolver: Resolver | None = None

    @property
    def resolver(self) -> Resolver:
        if self._resolver is None:
            self._resolver = Resolver(self.model)
        return self._resolver


class FormulaComparer:
    """Compares formulas of `old` with formulas of `new`. `counterpart`
    gives the new object an old one is matched with (None when it has
    none); it is asked again on every comparison, so matches found later
    count in later comparisons."""

    def __init__(self, old: Model, new: Model, counterpart: Counterpart, *, grammar: Grammar = "engine",
                 separators: Separators = "comma") -> None:
        self.old = _Side(old)
        self.new = _Side(new)
        self.counterpart = counterpart
        self.grammar: Grammar = grammar
        self.separators: Separators = separators
        self.options = _options(separators, grammar)
        self._prints: dict[int, tuple[Formula, bytes | None]] = {}

    def verdict(self, old: Formula, new: Formula) -> Verdict:
        """How `old` (a formula of the old model) and `new` differ."""
        if old.text == new.text:
            return "same"
        old_print, new_print = self.fingerprint(old), self.fingerprint(new)
        if old_print is None or new_print is None:
            return "changed"
        if old_print == new_print:
            return "layout"
        plain = self.canonical(old, self.old, mapped=False)
        if plain is not None and plain == self.canonical(new, self.new, mapped=False):
            return "layout"
        mapped = self.canonical(old, self.old, mapped=True)
        if mapped is not None and mapped == self.canonical(new, self.new, mapped=True):
            return "follows"
        return "changed"

    def identity(self, formula: Formula, side: Literal["old", "new"]) -> bytes | None:
        """What two formulas that mean the same share, whichever side each is
        on: the fingerprint with every reference spelled as the new side
        names its object. None for a text that does not parse."""
        return self.canonical(formula, self.old if side == "old" else self.new, mapped=True)

    def fingerprint(self, formula: Formula) -> bytes | None:
        """The native fingerprint of a formula's tree; None when it does not
        parse. Kept per formula: matching and comparing ask again."""
        kept = self._prints.get(id(formula))
        if kept is not None and kept[0] is formula:
            return kept[1]
        found = self._print(formula.text, formula.kind)
        self._prints[id(formula)] = (formula, found)
        return found

    def _print(self, text: str, kind: str) -> bytes | None:
        code = KIND_CODES["function" if kind == "function" else "expression"]
        result = fingerprints(text, code, self.options)
        return None if isinstance(result, ParseError) else result[0]

    def canonical(self, formula: Formula, side: _Side, *, mapped: bool) -> bytes | None:
        """The fingerprint of `formula` with its references respelled (see
        the module's documentation); with `mapped`, each reference that
        resolves to a model object spelled as the new side names it."""
        try:
            refs = references(formula.text, kind="function" if formula.kind == "function" else "expression",
                              grammar=self.grammar, separators=self.separators)
        except ParseError:
            return None
        resolutions: list[Resolution] | None = side.resolver.resolve(formula, refs) if mapped else None
        data = formula.text.encode("utf-8")
        pieces: list[bytes] = []
        position = 0
        for index, ref in enumerate(refs):
            span = ref.span
            if span is None or span.start < position:
                continue
            target = resolutions[index].target if resolutions is not None else None
            if target is not None and side is self.old:
                target = self.counterpart(target) or target
            spelling = _spelling(ref, target)
            if spelling is None:
                continue
            end = span.end
            if ref.kind == "function":
                # A call's span is the whole call: only its name is respelled.
                name = ref.name.encode("utf-8")
                if data[span.start:span.start + len(name)] != name:
                    continue
                end = span.start + len(name)
            pieces.append(data[position:span.start])
            pieces.append(spelling.encode("utf-8"))
            position = end
        pieces.append(data[position:])
        return self._print(b"".join(pieces).decode("utf-8"), formula.kind)


def _spelling(ref: Reference, target: ModelObject | None) -> str | None:
    """How a reference is written in the canonical text; None to leave it
    as written."""
    kind = ref.kind
    if kind in _VARIABLES:
        return ref.name.casefold()
    if kind == "function":
        return (target.name if isinstance(target, Function) else ref.name).casefold()
    if kind == "table":
        return quote_table((target.name if isinstance(target, Table) else ref.name).casefold())
    if kind == "bracket":
        name = target.name if isinstance(target, (Measure, Column)) else ref.name
        return bracket(name.casefold())
    if kind == "column":
        if ref.table == "":
            return None  # ''[Value]: a column of a table the formula makes
        if ref.target is not None:  # a column of a table variable: t[x]
            return (ref.table or "").casefold() + bracket(ref.name.casefold())
        if isinstance(target, (Measure, Column)):
            return quote_table(target.table.casefold()) + bracket(target.name.casefold())
        return quote_table((ref.table or "").casefold()) + bracket(ref.name.casefold())
    if kind == "hierarchy":
        if ref.target is not None:
            return None
        if isinstance(target, (Hierarchy, Column)):
            table, name = target.table, target.name
        else:
            table, name = ref.table or "", ref.name
        return quote_table(table.casefold()) + bracket(name.casefold()) + "".join(
            "." + bracket(level.casefold()) for level in ref.levels)
    return None
