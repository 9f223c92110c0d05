"""Running the rules: over a tree, a text, a file or every formula of a
model, with the configuration and the suppressions applied, giving
`Finding`s (diagnostics that may carry a fix).

Every tree is walked once: each node goes to the rules that look at its
class while the names in scope are tracked, and each rule then finishes.
"""

from __future__ import annotations

import functools
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, replace

from .. import collector
from ..check import (
    CheckOptions, ModelPart, ModelTally, check_text, display_path, formula_diagnostic, in_formula, model_problem,
    model_resolver, read_problem, read_source, source_kind,
)
from ..diagnostics import Diagnostic, LineIndex
from ..model import Formula, Model, ModelError, ModelWarning, load_model
from ..model.objects import TableObject
from ..report import Report
from ..report.extension import extended_model
from ..references import references
from ..resolution import Resolution, Resolver
from ..sources import SourceError
from ..syntax import (
    Function, Node, ParseError, Query, Separators, Span, parse_expression, parse_function, parse_query,
)
from .config import LintConfig
from .context import FormulaKind, LintContext
from .rule import CATALOGUE, Fix, LintRule, Violation
from .scopes import walk_scoped
from .suppressions import Directive, find_suppressions, has_directives

__all__ = [
    "Finding", "lint_file", "lint_model", "lint_report", "lint_text", "lint_tree", "linted_formulas", "parse_formula",
    "parse_text",
]

_DEFAULT_CONFIG = LintConfig()


@dataclass(frozen=True)
class Finding(Diagnostic):
    """A diagnostic of a lint rule: `kind` is the rule's category and `code`
    its code; `fix`, when the rule proposes one, the edits that settle it
    (spans of the linted text, like `start` and `end`)."""

    fix: Fix | None = None


def _kind_of(tree: Node) -> FormulaKind:
    if isinstance(tree, Query):
        return "query"
    return "function" if isinstance(tree, Function) else "expression"


def run_rules(context: LintContext, rules: tuple[LintRule, ...]) -> None:
    """Walks the context's tree once, showing each node to the rules that
    look at its class; then lets every rule finish."""
    dispatch: dict[type[Node], list[LintRule]] = {}
    for rule in rules:
        for cls in rule.nodes:
            dispatch.setdefault(cls, []).append(rule)

    def visit(node: Node, parent: Node | None) -> None:
        interested = dispatch.get(type(node))
        if interested:
            for rule in interested:
                rule.visit(node, parent, context)

    # A binding, a step, a violation per variable: see quarrow_dax.collector.
    with collector.paused():
        walk_scoped(context.tree, context.scopes, visit)
        for rule in rules:
            rule.finish(context)


def lint_tree(
    tree: Node,
    source: str,
    *,
    path: str | None = None,
    config: LintConfig | None = None,
    object_kind: str | None = None,
    tables: Iterable[str] = (),
    separators: Separators = "comma",
    model: Model | None = None,
    formula: Formula | None = None,
    resolver: Resolver | None = None,
) -> list[Finding]:
    """The findings of the rules that `config` selects for `path`, over
    `tree`, parsed from `source` (spans are byte offsets of its UTF-8
    form). `object_kind` says what a model's formula belongs to
    ("measure", "calculated column", ...) and `tables` names the model's
    tables (any case); `separators` is the list convention the text was
    parsed with. Sorted by place, then code.

    For a formula of a model (`formula`, whose text `source` is, of
    `model`), the model gives the object kind and the tables; with a
    `resolver` of that model (one for all its formulas, see
    `quarrow_dax.resolution.Resolver`), the rules about names look up every
    reference of the formula."""
    config = _DEFAULT_CONFIG if config is None else config
    rules = config.rules_for(path)
    if not rules:
        return []
    if model is None and resolver is not None:
        model = resolver.model
    if formula is not None and object_kind is None:
        object_kind = formula.kind
    folded = frozenset(name.casefold() for name in tables)
    if model is not None:
        # The model's set, made once, unless there are others to add: a set
        # per formula would make a model's lint grow with tables x formulas.
        folded = folded | model.table_keys() if folded else model.table_keys()
    resolve = None
    if resolver is not None and formula is not None:
        resolve = functools.partial(_resolutions, resolver, formula, source, _kind_of(tree), separators)
    context = LintContext(source, tree, _kind_of(tree), object_kind=object_kind, tables=folded,
                          separators=separators, model=model, formula=formula, resolve=resolve)
    run_rules(context, rules)
    if not context.violations and not has_directives(source):
        return []
    index = LineIndex(source)
    violations = list(context.violations)
    # The context's tokens: a rule may have made them already.
    tokens = context.tokens() if has_directives(source) else None
    suppressions = find_suppressions(source, index, separators, tokens)
    ran = {rule.code for rule in rules}
    if INVALID_SUPPRESSION in ran:
        violations += [Violation(INVALID_SUPPRESSION, Span(problem.start, problem.end), problem.message, problem.hint)
                       for problem in suppressions.problems]
    findings = [finding for finding in _findings(violations, index, config, path)
                if not suppressions.covers(finding.code, finding.line, finding.end_line)]
    if UNUSED_SUPPRESSION in ran:
        unused = [_unused_violation(directive, ran) for directive in suppressions.directives]
        findings += [finding for finding in _findings([v for v in unused if v is not None], index, config, path)
                     if not suppressions.covers(finding.code, finding.line, finding.end_line, record=False, blanket=False)]
        findings.sort(key=lambda finding: (finding.start, finding.end, finding.code))
    return findings


INVALID_SUPPRESSION, UNUSED_SUPPRESSION = "DAX005", "DAX006"


def _findings(violations: list[Violation], index: LineIndex, config: LintConfig, path: str | None) -> Iterator[Finding]:
    for violation in sorted(violations, key=lambda v: (v.span, v.code)):
        rule = CATALOGUE[violation.code]
        yield Finding.at(
            index, violation.span.start, violation.span.end, rule.category, violation.message, path=path,
            severity=config.severity_of(rule), code=rule.code, hint=violation.hint, fix=violation.fix,
        )


def _unused_violation(directive: Directive, ran: set[str]) -> Violation | None:
    """The unused-suppression finding of a directive that silenced nothing
    (or names codes that silenced nothing), or None. The rule's own code is
    never judged: it cannot have silenced anything yet."""
    unused = directive.unused(ran - {UNUSED_SUPPRESSION})
    if not unused:
        return None
    span = Span(directive.start, directive.end)
    if unused == ["*"]:
        return Violation(UNUSED_SUPPRESSION, span, "suppression of every rule silences nothing here",
                         "remove the comment")
    listed = ", ".join(unused)
    if len(unused) == len(directive.codes):
        return Violation(UNUSED_SUPPRESSION, span, f"suppression silences nothing here: {listed}", "remove the comment")
    return Violation(UNUSED_SUPPRESSION, span, f"suppression names rules that silence nothing here: {listed}",
                     f"remove {listed} from the list")


def _resolutions(
    resolver: Resolver, formula: Formula, source: str, kind: FormulaKind, separators: Separators
) -> list[Resolution]:
    """What the references of `source` mean, `formula`'s text or a revision
    of it. The engine grammar reads every text the standard one reads, and
    the same way."""
    if source != formula.text:
        formula = resolver.model.revised(formula, source)
    try:
        refs = references(source, kind=kind, separators=separators)
    except ParseError:
        return []  # the tree was read, so never
    return resolver.resolve(formula, refs)


def parse_text(text: str, kind: FormulaKind, options: CheckOptions, name: str = "") -> Node:
    """The tree of `text` read as `kind` (`name`: a function's). Raises ParseError."""
    grammar, separators = options.grammar, options.separators
    if kind == "query":
        return parse_query(text, grammar=grammar, separators=separators)
    if kind == "function":
        return parse_function(text, name=name, grammar=grammar, separators=separators)
    return parse_expression(text, grammar=grammar, separators=separators)


def parse_formula(formula: Formula, options: CheckOptions) -> Node:
    """The tree of a model's formula, read as its kind requires. Raises ParseError."""
    return parse_text(formula.text, "function" if formula.kind == "function" else "expression", options, formula.name)


def lint_text(
    text: str,
    *,
    kind: FormulaKind | None = None,
    path: str | None = None,
    options: CheckOptions | None = None,
    config: LintConfig | None = None,
) -> list[Diagnostic]:
    """The findings in one DAX text, read as `kind` (None: a query when its
    first word is DEFINE or EVALUATE, else an expression, or as
    `options.mode` says); a text that does not parse gives its first error,
    as `check` reports it."""
    options = CheckOptions() if options is None else options
    if kind is None:
        kind = source_kind(text, options)
    try:
        tree = parse_text(text, kind, options)
    except ParseError as error:
        if kind == "function":
            return [Diagnostic.from_error(error, text, path=path)]
        # Reported as check reports it, with its hints.
        diagnostic = check_text(path or "", text, replace(options, mode="query" if kind == "query" else "expr"))
        if diagnostic is None:  # the two parsers disagree: never so far
            return [Diagnostic.from_error(error, text, path=path)]
        return [replace(diagnostic, path=path)]
    return list(lint_tree(tree, text, path=path, config=config, separators=options.separators))


def lint_file(
    path: str, options: CheckOptions | None = None, config: LintConfig | None = None, data: bytes | None = None
) -> list[Diagnostic]:
    """The findings in one DAX file, or why it cannot be read. `data`: its
    bytes when they are read already (standard input)."""
    options = CheckOptions() if options is None else options
    name = display_path(path)
    try:
        text = read_source(path, options, data)
    except SourceError as error:
        return [read_problem(error, name)]
    return lint_text(text, path=name, options=options, config=config)


def linted_formulas(model: Model, config: LintConfig | None = None) -> list[Formula]:
    """The formulas of `model` that lint looks at: all but those of the
    tables Power BI makes itself (`Table.generated`), unless the
    configuration includes them."""
    if config is not None and config.include_generated:
        return model.formulas
    generated = {id(table) for table in model.tables.values() if table.generated}
    if not generated:
        return model.formulas
    found = []
    for formula in model.formulas:
        owner = model.owner(formula)
        home = model.table(owner.table) if isinstance(owner, TableObject) else owner
        if id(home) not in generated:
            found.append(formula)
    return found


def lint_model(
    path: str, options: CheckOptions | None = None, config: LintConfig | None = None, tally: ModelTally | None = None,
    only: Iterable[str] | None = None,
) -> Iterator[Diagnostic]:
    """The findings in every formula of the model at `path` (those of Power
    BI's own date tables only where `config` includes them), placed in the
    model's files like `check` places errors (a formula that does not parse
    gives its error); then what kept parts of the model from being read, and
    the model's warnings. Per-path settings apply to each formula's file.
    With `only` (files of the model), the whole model is read, so that names
    are looked up, but only those files' formulas are linted and reported."""
    options = CheckOptions() if options is None else options
    tally = ModelTally() if tally is None else tally
    part = None if only is None else ModelPart(only)
    errors: list[ModelError] = []
    warnings: list[ModelWarning] = []
    model = load_model(path, errors, warnings, max_file_size=options.max_file_size)
    # The names are looked up as check looks them up, in a model read whole.
    resolver = model_resolver(path, model, errors)
    for formula in linted_formulas(model, config):
        if part is not None and not part.has(formula.file):
            continue
        tally.formulas += 1
        try:
            tree = parse_formula(formula, options)
        except ParseError as error:
            tally.failed += 1
            yield _named(formula_diagnostic(formula, error), part)
            continue
        for finding in lint_tree(tree, formula.text, path=formula.file, config=config, model=model,
                                 formula=formula, resolver=resolver, separators=options.separators):
            yield _named(in_formula(finding, formula), part)
    if part is not None:
        tally.unreadable = any(part.has(model_error.file) for model_error in errors)
        yield from part.problems(path, errors, warnings, options.resolve)
        return
    tally.unreadable = bool(errors)
    for model_error in errors:
        yield model_problem(model_error)
    for warning in warnings:
        yield model_problem(warning)


def _named(diagnostic: Diagnostic, part: ModelPart | None) -> Diagnostic:
    return diagnostic if part is None else part.named(diagnostic)


def lint_report(
    report: Report, model: Model | None, options: CheckOptions | None = None, config: LintConfig | None = None,
    tally: ModelTally | None = None,
) -> Iterator[Diagnostic]:
    """What kept parts of `report` from being read, then the findings in its
    DAX (report measures and visual calculations), placed in the report's
    files. A report measure's names are looked up in `model` with the
    report's measures; a visual calculation's name the visual's own fields,
    so the rules about the model's names leave them alone."""
    options = CheckOptions() if options is None else options
    tally = ModelTally() if tally is None else tally
    yield from report.problems
    extended = extended_model(model, report) if model is not None else None
    resolver = Resolver(extended) if extended is not None and options.resolve else None
    for formula in report.formulas:
        tally.formulas += 1
        try:
            tree = parse_formula(formula.formula, options)
        except ParseError as error:
            tally.failed += 1
            yield formula_diagnostic(formula.formula, error)
            continue
        measure = formula.kind == "report measure"
        # Both are shown in visuals as a measure's value is.
        for finding in lint_tree(tree, formula.text, path=formula.formula.file, config=config, object_kind="measure",
                                 model=extended if measure else None, formula=formula.formula,
                                 resolver=resolver if measure else None, separators=options.separators):
            yield in_formula(finding, formula.formula)
