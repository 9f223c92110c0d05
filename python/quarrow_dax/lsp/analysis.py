"""What the editor shows as problems: `check` and `lint` over one DAX text
or over the formulas of a model, composed so that each text is parsed once
and a formula's findings are worked out again only when something they
depend on changed.

The findings are those of the command line, codes and hints included: a
formula's first syntax error; mixed separators; names that exist nowhere
(in a model read whole); calls against the catalogue and the model's
functions; the lint rules the configuration selects, with their fixes.
A lint finding that repeats check's (the same code at the same span) is
given once.

A model's formulas are kept by their text and the object they belong to;
their findings hold as long as the model's shape (its objects, their names
and kinds, the functions' texts, the columns formulas make) and the
settings are those they were found under. Typing in one measure of a
model of thousands re-examines that measure alone.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any

from ..arguments import check_calls
from ..check import (
    CALL_CHECK_LIMIT, CheckOptions, call_diagnostics, check_text, formula_diagnostic, in_formula, mixed_separators,
    parse_source, parse_tree, reference_diagnostic,
)
from ..diagnostics import Diagnostic
from ..functions import Signature
from ..lint import LintConfig, lint_tree
from ..model import Formula, Model
from ..model.objects import Column, Hierarchy, Partition, Relationship, Role, Table
from ..references import SourceKind, references
from ..resolution import Resolver
from ..syntax import Node, ParseError

__all__ = ["FormulaCache", "ParsedModel", "Stale", "model_shape", "text_findings"]


class Stale(Exception):
    """Newer text arrived while the work was under way: its result would be
    thrown away, so the work stops."""


# --- one DAX text ---------------------------------------------------------------


def text_findings(
    text: str, kind: SourceKind, options: CheckOptions, config: LintConfig | None, path: str | None = None,
    functions: dict[str, Signature] | None = None,
) -> tuple[list[Diagnostic], Node | None]:
    """The findings of a `.dax` file's text as `check` and `lint` report
    them, and its tree (None when it does not parse)."""
    try:
        tree = parse_tree(text, kind, options)
    except ParseError:
        checked = CheckOptions(mode="query" if kind == "query" else "expr", grammar=options.grammar,
                               separators=options.separators)
        diagnostic = check_text(path or "", text, checked)
        return ([] if diagnostic is None else [diagnostic]), None
    found: list[Diagnostic] = []
    mixed = mixed_separators(text, options, path)
    if mixed is not None:
        found.append(mixed)
    if len(text) <= CALL_CHECK_LIMIT:
        found += call_diagnostics(text, check_calls(tree, functions), path=path)
        if config is not None:
            found += lint_tree(tree, text, path=path, config=config, separators=options.separators)
    return _once(found), tree


def _once(found: Iterable[Diagnostic]) -> list[Diagnostic]:
    """The findings without repeats (a lint rule and check reporting the
    same code at the same span), in text order."""
    seen: set[tuple[str, int, int, str]] = set()
    unique = []
    for diagnostic in found:
        key = (diagnostic.code, diagnostic.start, diagnostic.end, diagnostic.message)
        if key not in seen:
            seen.add(key)
            unique.append(diagnostic)
    unique.sort(key=lambda diagnostic: (diagnostic.start, diagnostic.end))
    return unique


# --- the formulas of a model ------------------------------------------------------


def _formula_kind(formula: Formula) -> SourceKind:
    return "function" if formula.kind == "function" else "expression"


def model_shape(model: Model, trees: dict[int, Node]) -> tuple[Any, ...]:
    """Everything of a model that a formula's findings depend on besides
    its own text: every object with its name, table and kind, what the
    model's functions say (their texts), and the columns that formulas
    make. Positions are left out: a finding is placed anew each time."""
    shape: list[Any] = []
    for found in model.objects():
        entry: tuple[Any, ...] = (type(found).__name__, found.name, getattr(found, "table", None))
        if isinstance(found, Column):
            entry += (found.type, found.sort_by)
        elif isinstance(found, Hierarchy):
            entry += tuple((level.name, level.column) for level in found.levels)
        elif isinstance(found, Table):
            entry += (found.calculation_group, tuple(p.source for p in found.partitions))
        elif isinstance(found, Relationship):
            entry += (found.from_table, found.from_column, found.to_table, found.to_column, found.active)
        elif isinstance(found, Role):
            entry += tuple(found.tables)
        elif isinstance(found, Partition):
            entry += (found.source,)
        shape.append(entry)
    shape.append(tuple(formula.text for function in model.functions.values() for formula in function.formulas))
    return tuple(shape)


@dataclass
class ParsedModel:
    """A model with its formulas parsed: `trees` by the formula's id, the
    errors of those that do not parse, the model's functions' signatures
    and the resolver of its names (None when it was read only in part)."""

    model: Model
    trees: dict[int, Node] = field(default_factory=dict)
    failures: dict[int, ValueError] = field(default_factory=dict)
    functions: dict[str, Signature] = field(default_factory=dict)
    resolver: Resolver | None = None
    shape: tuple[Any, ...] = ()


class FormulaCache:
    """Parsed trees and findings of a model's formulas, by what they were
    worked out from; what no formula of the latest model has is dropped."""

    def __init__(self) -> None:
        self.trees: dict[tuple[str, str, str], Node | ValueError | None] = {}
        self.results: dict[tuple[Any, ...], list[Diagnostic]] = {}
        self.settings: tuple[Any, ...] | None = None

    def parse(
        self, model: Model, options: CheckOptions, whole: bool, check: Callable[[], None] = lambda: None
    ) -> ParsedModel:
        """Every formula of `model` parsed (each text once: those of the
        model before are taken from the cache), the functions' signatures
        and, when the model was read `whole`, the resolver. `check` is
        called between formulas and raises Stale when the work is no
        longer wanted."""
        from ..check import model_functions

        parsed = ParsedModel(model)
        trees: dict[tuple[str, str, str], Node | ValueError | None] = {}
        for number, formula in enumerate(model.formulas):
            if number % 64 == 0:
                check()
            key = (_formula_kind(formula), formula.name if formula.kind == "function" else "", formula.text)
            if key in trees:
                outcome = trees[key]
            elif key in self.trees:
                outcome = self.trees[key]
            else:
                outcome = self._parse(formula, options)
            trees[key] = outcome
            if isinstance(outcome, ValueError):
                parsed.failures[id(formula)] = outcome
            elif outcome is not None:
                parsed.trees[id(formula)] = outcome
        self.trees = trees
        # Findings of formulas the model no longer has are dropped.
        live = {_finding_key(formula) for formula in model.formulas}
        self.results = {key: found for key, found in self.results.items() if key in live}
        parsed.functions = model_functions(model, parsed.trees)
        parsed.resolver = Resolver(model, parsed.trees) if whole else None
        made = frozenset(parsed.resolver.made()) if parsed.resolver is not None else frozenset()
        parsed.shape = (model_shape(model, parsed.trees), made, whole)
        return parsed

    @staticmethod
    def _parse(formula: Formula, options: CheckOptions) -> Node | ValueError | None:
        """The formula's tree, its error, or None for a formula beyond the
        size whose calls are checked (its grammar alone is checked)."""
        try:
            if len(formula.text) > CALL_CHECK_LIMIT:
                parse_source(formula.text, _formula_kind(formula), options)
                return None
            return parse_tree(formula.text, _formula_kind(formula), options)
        except ValueError as error:  # ParseError, or parse_source's plain ValueError
            return error

    def findings(
        self, parsed: ParsedModel, formulas: Iterable[Formula], options: CheckOptions, config: LintConfig | None,
        check: Callable[[], None] = lambda: None,
    ) -> list[tuple[Formula, Diagnostic]]:
        """The findings of `formulas` (of `parsed.model`), each with its
        formula, placed in the model file as `check` places them."""
        settings = (parsed.shape, options, config)
        if settings != self.settings:
            self.results = {}
            self.settings = settings
        found: list[tuple[Formula, Diagnostic]] = []
        kept: dict[tuple[Any, ...], list[Diagnostic]] = {}
        for number, formula in enumerate(formulas):
            if number % 64 == 0:
                check()
            key = _finding_key(formula)
            diagnostics = kept.get(key)
            if diagnostics is None:
                diagnostics = self.results.get(key)
            if diagnostics is None:
                diagnostics = _formula_findings(formula, parsed, options, config)
            kept[key] = diagnostics
            # Placed anew: the formula may have moved in its file.
            found.extend((formula, in_formula(diagnostic, formula)) for diagnostic in diagnostics)
        self.results.update(kept)
        return found


def _finding_key(formula: Formula) -> tuple[Any, ...]:
    """What a formula's findings are kept by: its text and its object."""
    return (formula.file, formula.kind, formula.table, formula.name, formula.text)


def _formula_findings(
    formula: Formula, parsed: ParsedModel, options: CheckOptions, config: LintConfig | None
) -> list[Diagnostic]:
    failure = parsed.failures.get(id(formula))
    if failure is not None:
        return [formula_diagnostic(formula, failure)]
    tree = parsed.trees.get(id(formula))
    found: list[Diagnostic] = []
    mixed = mixed_separators(formula.text, options)
    if mixed is not None:
        found.append(in_formula(mixed, formula))
    if tree is None:
        found.append(in_formula(Diagnostic.at(
            formula.text, 0, 0, "argument",
            f"function calls not checked: the formula holds more than {CALL_CHECK_LIMIT:,} characters",
            severity="warning", code="W005",
            hint="the grammar was checked; the calls are checked in formulas up to that size"), formula))
        return found
    resolver = parsed.resolver
    if resolver is not None:
        refs = references(formula.text, kind=_formula_kind(formula), grammar=options.grammar,
                          separators=options.separators)
        found += [reference_diagnostic(formula, resolution) for resolution in resolver.resolve(formula, refs)
                  if resolution.status == "unknown"]
    problems = check_calls(tree, parsed.functions)
    found += [in_formula(diagnostic, formula) for diagnostic in call_diagnostics(formula.text, problems)]
    if config is not None:
        found += [in_formula(finding, formula) for finding in lint_tree(
            tree, formula.text, path=formula.file, config=config, model=parsed.model, formula=formula,
            resolver=resolver, separators=options.separators)]
    return _once(found)
