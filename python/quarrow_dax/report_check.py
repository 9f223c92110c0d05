"""Checking reports against their model: what `quarrow-dax check` does with
a report, as functions that return diagnostics.

    from quarrow_dax.check import CheckOptions
    from quarrow_dax.project import load_project
    from quarrow_dax.report_check import check_report

    project = load_project("Sales.pbip")
    for report in project.reports:
        for diagnostic in check_report(report, project.model, CheckOptions()):
            print(diagnostic.render())

A report's own DAX (report measures, visual calculations) is parsed as the
engine reads it and placed in the report's files, and its calls are checked
against the functions' signatures (E009, E010, as in a model); a report
measure's names are looked up in the model and the report's measures
(DAX001, as in a model). A field reference to a name the model lacks is E008, an error: the
visual (or filter) that holds it shows an error in the service. Where the
reference cannot break anything — a bookmark, a formatting selector, a
visual's saved state, formatting of a field the visual no longer has — it
is W004, a warning. Without a model (a report of a published model) no
name is looked up.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field

from .check import CheckOptions, formula_calls, formula_diagnostic, function_signatures, reference_diagnostic
from .functions import Signature
from .diagnostics import RULES, Diagnostic, Rule, Severity
from .model import Model, ModelError, ModelWarning, bracket, load_model, quote_table
from .project import model_key
from .references import references
from .report import STALE_IS_WARNING, FieldUse, Report, ReportError, ReportFormula, decide, load_report
from .report._files import problem
from .report._json import JsonText
from .report.extension import extended_model
from .resolution import Resolver, _close
from .sources import SourceError, read_text
from .syntax.parsing import ParseError, first_error

__all__ = ["STALE_FIELD", "UNKNOWN_FIELD", "ModelCache", "ReportTally", "check_report", "check_reports",
           "dead_selectors", "field_diagnostic", "report_resolver", "stale_uses", "suggestion"]

UNKNOWN_FIELD = RULES.setdefault("E008", Rule(
    "E008", "unknown-field",
    "A report's visual or filter references a field its model does not have: it shows an error in the service.",
))
STALE_FIELD = RULES.setdefault("W004", Rule(
    "W004", "stale-field",
    "A bookmark, formatting selector or saved visual state names a field its model does not have.", "warning",
))


@dataclass
class ReportTally:
    """What check_report counted."""

    reports: int = 0
    uses: int = 0
    formulas: int = 0
    failed: int = 0
    unknown: int = 0
    stale: int = 0


def report_resolver(report: Report, model: Model | None) -> Resolver | None:
    """What looks up the names of the report's DAX: the model with the
    report's measures; None without a model."""
    return None if model is None else Resolver(extended_model(model, report))


def _formula_diagnostics(formula: ReportFormula, resolver: Resolver | None, options: CheckOptions,
                         tally: ReportTally, functions: dict[str, Signature]) -> Iterator[Diagnostic]:
    tally.formulas += 1
    text = formula.formula.text
    found: list[Diagnostic] = []
    if formula.kind != "report measure" or resolver is None or not options.resolve:
        # A visual calculation names the visual's own fields, not the model's.
        error = first_error(text, kind="expression", grammar=options.grammar, separators=options.separators)
        if error is not None:
            tally.failed += 1
            yield formula_diagnostic(formula.formula, error)
            return
    else:
        try:
            refs = references(text, grammar=options.grammar, separators=options.separators)
        except ParseError as error:
            tally.failed += 1
            yield formula_diagnostic(formula.formula, error)
            return
        found = [reference_diagnostic(formula.formula, resolution)
                 for resolution in resolver.resolve(formula.formula, refs) if resolution.status == "unknown"]
    # The calls are checked as in a model's formula, against the model's functions.
    calls = formula_calls(formula.formula, options, functions)
    if calls:
        found = sorted(found + calls, key=lambda diagnostic: diagnostic.start)
    tally.failed += any(diagnostic.severity == "error" for diagnostic in found)
    yield from found


def dead_selectors(report: Report) -> set[tuple[str | None, str | None, str]]:
    """(page, visual, selector) of the formatting selectors that name no
    field: neither of their visual's query nor of the model. (A selector
    naming a field of the query that the model lacks is not dead: the
    visual itself is broken, and its projection says so.)"""
    return {(use.page, use.visual, use.selector) for use in report.uses
            if use.where == "formatting selector" and use.written == "metadata"
            and use.kind == "unknown" and use.selector is not None}


def stale_uses(report: Report, model: Model | None) -> list[tuple[FieldUse, Severity]]:
    """The JSON field references of `report` to names `model` lacks, each
    with the severity it calls for (see the module's documentation); [] when
    there is no model."""
    if model is None:
        return []
    dead = dead_selectors(report)
    found: list[tuple[FieldUse, Severity]] = []
    for use in report.uses:
        if use.kind != "unknown" or use.written == "dax":
            continue
        harmless = use.where in STALE_IS_WARNING or (
            use.where == "conditional formatting" and (use.page, use.visual, use.selector) in dead)
        found.append((use, "warning" if harmless else "error"))
    return found


def suggestion(use: FieldUse, model: Model) -> str | None:
    """A close name of the model for a field it lacks, in DAX notation."""
    table = model.table(use.table or "")
    if table is None:
        names = [quote_table(name.name) for name in model.tables.values()]
        close = _close(quote_table(use.table or ""), names)
        if close is not None:
            return close + bracket(use.name)
        elsewhere = model.measure(use.name)
        return elsewhere.dax if elsewhere is not None else None
    members = [*table.columns.values(), *table.measures.values(), *table.hierarchies.values()]
    close = _close(bracket(use.name), [bracket(member.name) for member in members])
    if close is not None:
        return quote_table(table.name) + close
    elsewhere = model.measure(use.name)
    return elsewhere.dax if elsewhere is not None else None


def _where(report: Report, use: FieldUse) -> str:
    """Where a use is, as a person finds it."""
    page = report.page(use.page)
    visual = report.visual(use.page, use.visual)
    if use.where == "bookmark":
        return f"bookmark {use.bookmark!r}" + (f" (for visual {visual.label!r})" if visual is not None else "")
    if visual is not None:
        return f"visual {visual.label!r} on page {page.label if page else use.page!r}"
    if page is not None:
        return f"page {page.label!r}"
    if use.formula is not None or use.where == "report measure metadata":
        return f"report measure {use.table!r}[{use.name}]"
    return f"report {report.name!r}"


def _listed(fields: list[str]) -> str:
    shown = ", ".join(fields[:5])
    return shown + (f" and {len(fields) - 5} more" if len(fields) > 5 else "")


def _message(report: Report, uses: list[FieldUse], severity: Severity, fields: list[str]) -> str:
    """What a stale reference (or, for warnings, the stale references of one
    place: `fields`, distinct) means."""
    use = uses[0]
    place = _where(report, use)
    field = _listed(fields)
    several = len(fields) > 1
    if use.where == "formatting selector":
        which = "neither the visual's query nor the model has: the formatting is never applied"
        if all(found.written == "queryRef" for found in uses):
            which = "the model does not have"
        return (f"formatting selectors of {place} name {field}, which {which}" if several else
                f"a formatting selector of {place} names {field}, which {which}")
    if use.where == "conditional formatting" and severity == "warning":
        return f"formatting of {place} for a field the visual no longer has uses {field}, which the model " \
               "does not have"
    if use.where == "bookmark":
        return f"{place} names {field}, which the model does not have: applying it leaves {'them' if several else 'it'} out"
    if use.where == "visual state":
        return f"the saved state of {place} names {field}, which the model does not have"
    if use.where == "report measure metadata":
        return f"the reference list of {place} names {field}, which the model does not have"
    consequence = "shows an error" if use.visual is not None else "cannot be applied"
    return f"{use.where} of {place} references {field}, which the model does not have: it {consequence}"


def field_diagnostic(report: Report, uses: list[FieldUse], severity: Severity, model: Model,
                     text: JsonText | None) -> Diagnostic:
    """The diagnostic of stale references, at the first one's name in the
    report file (`text`, that file's; None: without an excerpt): of one
    field in one place (an error), or of all those of one place (a
    warning)."""
    use = uses[0]
    fields = list(dict.fromkeys(found.dax for found in uses))
    message = _message(report, uses, severity, fields)
    if len(uses) > len(fields):
        message += f" ({len(uses)} references)"
    close = suggestion(use, model) if len(fields) == 1 else None
    hint = f"did you mean {close}?" if close else None
    code = UNKNOWN_FIELD.code if severity == "error" else STALE_FIELD.code
    span = use.name_span
    if text is not None and span is not None:
        return text.file_diagnostic(span.start, message, end=span.end, kind="reference", code=code,
                                    severity=severity, hint=hint)
    return Diagnostic.for_path("reference", message, use.file, use.line, use.column, severity=severity, code=code,
                               hint=hint)


def check_report(report: Report, model: Model | None, options: CheckOptions | None = None,
                 tally: ReportTally | None = None) -> Iterator[Diagnostic]:
    """The report's problems, the errors of its DAX, then its stale field
    references: an error for each field and place (a visual's projections,
    its filters, a page's filters ...), a warning for all the stale names of
    one bookmark, selector list or saved state."""
    options = CheckOptions() if options is None else options
    tally = ReportTally() if tally is None else tally
    tally.reports += 1
    tally.uses += len(report.uses)
    yield from report.problems
    resolver = report_resolver(report, model)
    functions = function_signatures(model, options) if model is not None and options.resolve else {}
    for formula in report.formulas:
        yield from _formula_diagnostics(formula, resolver, options, tally, functions)
    if model is None or not options.resolve:
        return
    groups: dict[tuple[object, ...], list[tuple[FieldUse, Severity]]] = {}
    for use, severity in stale_uses(report, model):
        field = (use.table or "").casefold(), use.name.casefold()
        key = (use.file, use.page, use.visual, use.bookmark, use.where, severity, field if severity == "error" else "")
        groups.setdefault(key, []).append((use, severity))
    texts: dict[str, JsonText | None] = {}
    for members in groups.values():
        use, severity = members[0]
        if use.file not in texts:
            try:
                texts[use.file] = JsonText(use.file, read_text(use.file, max_size=options.max_file_size))
            except SourceError:
                texts[use.file] = None
        if severity == "error":
            tally.unknown += 1
        else:
            tally.stale += 1
        yield field_diagnostic(report, [member for member, _ in members], severity, model, texts[use.file])


@dataclass
class ModelCache:
    """The models reports are checked against, each read once: by
    `model_key`, the model, or None when it could not be read in full."""

    options: CheckOptions
    models: dict[object, Model | None] = field(default_factory=dict)

    def get(self, path: str) -> tuple[Model | None, list[ModelError | ModelWarning]]:
        """The model at `path`, and the first time, what kept it from being
        read in full."""
        key = model_key(path)
        if key in self.models:
            return self.models[key], []
        errors: list[ModelError] = []
        warnings: list[ModelWarning] = []
        model: Model | None = load_model(path, errors, warnings, max_file_size=self.options.max_file_size)
        if errors:
            model = None
        self.models[key] = model
        return model, [*errors]


def check_reports(reports: Sequence[tuple[str, str | None]], options: CheckOptions | None = None,
                  tally: ReportTally | None = None, cache: ModelCache | None = None) -> Iterator[Diagnostic]:
    """`check_report` for each (report folder, model path or None: the one
    its definition.pbir names); each model is read once. A report is
    checked without names when its model cannot be read in full (said
    once, as a warning)."""
    options = CheckOptions() if options is None else options
    tally = ReportTally() if tally is None else tally
    cache = ModelCache(options) if cache is None else cache
    for path, model_path in reports:
        try:
            report = load_report(path, max_file_size=options.max_file_size)
        except ReportError as error:
            yield problem(error.path, error.message)
            continue
        if model_path is None and report.dataset is not None:
            model_path = report.dataset.model
        model = None
        if model_path is not None:
            model, faults = cache.get(model_path)
            if faults:
                yield problem(model_path, f"the model could not be read in full ({faults[0]}): the report's field "
                              "references are not checked against it", severity="warning")
        yield from check_report(decide(report, model), model, options, tally)
