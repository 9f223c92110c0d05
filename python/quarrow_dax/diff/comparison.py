"""The comparison of two sides, each a project (a model and its reports):
objects matched (`matching`), each pair's names, formulas (`formulas`) and
properties (`properties`) compared, the reports' pages and visuals
(`reports`), and what each change reaches (`impact`)."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import replace

from ..model import Formula, Model, ModelObject, Relationship, Role, Table, quote_table
from ..model.objects import name_key
from ..project import Project
from ..report import Report
from ..report.extension import extended_model
from ..syntax.parsing import Grammar, Separators
from .changes import CHANGES, Change, ChangeKind
from .formulas import FormulaComparer
from .impact import ImpactFinder
from .matching import MAIN_KINDS, Matching, main_formula, match_models
from .properties import property_changes
from .reports import ReportComparison, pair_reports

__all__ = ["Comparison"]


def _extended(project: Project) -> Model:
    """The project's model with every report's measures in it."""
    model = project.model if project.model is not None else Model(project.path)
    for report in project.reports:
        model = extended_model(model, report)
    return model


def _base_tables(project: Project, extended: Model) -> list[Table]:
    """The tables of the project's model, as the extended model holds them
    (a table holding report measures is a copy there)."""
    if project.model is None:
        return []
    return [extended.tables[key] for key in project.model.tables if key in extended.tables]


class Comparison:
    """One comparison of `old` with `new`; `run` returns the changes."""

    def __init__(self, old: Project, new: Project, *, grammar: Grammar = "engine",
                 separators: Separators = "comma") -> None:
        self.old = old
        self.new = new
        self.old_model = _extended(old)
        self.new_model = _extended(new)
        self.old_tables = _base_tables(old, self.old_model)
        self.new_tables = _base_tables(new, self.new_model)
        self.report_pairs = pair_reports(old.reports, new.reports)
        self.matching = Matching()
        self.comparer = FormulaComparer(self.old_model, self.new_model, self.counterpart, grammar=grammar,
                                        separators=separators)
        self.impacts = ImpactFinder(self.new_model, new.reports, grammar=grammar, separators=separators)

    def counterpart(self, old: ModelObject) -> ModelObject | None:
        return self.matching.new_of(old)

    def report_measures(self, report: Report, model: Model) -> list[ModelObject]:
        found = []
        for formula in report.measures:
            owner = model.owner(formula.formula)
            if owner is not None:
                found.append(owner)
        return found

    def run(self) -> list[Change]:
        measures = [(self.report_measures(old, self.old_model), self.report_measures(new, self.new_model))
                    for old, new in self.report_pairs if old is not None and new is not None]
        match_models(self.old_model, self.new_model, self.comparer, self.matching,
                     tables=(self.old_tables, self.new_tables), report_measures=measures)
        changes = list(self.model_changes())
        for old_report, new_report in self.report_pairs:
            changes.extend(ReportComparison(old_report, new_report, self.old_model, self.new_model, self.matching,
                                            old_base=self.old.model, new_base=self.new.model).changes())
        changes = [self.with_impact(change) for change in changes]
        order = {kind: index for index, kind in enumerate(CHANGES)}
        return sorted(changes, key=lambda change: (order[change.change], change.file, change.line, change.column))

    # --- model objects -------------------------------------------------------

    def objects(self, side: str) -> Iterator[ModelObject]:
        """One side's objects in declaration order: for a table the other
        side lacks, the table alone (its columns come and go with it) but
        its measures, which are matched across tables."""
        new = side == "new"
        tables, model = (self.new_tables, self.new_model) if new else (self.old_tables, self.old_model)
        for table in tables:
            yield table
            paired = (self.matching.old_of(table) if new else self.matching.new_of(table)) is not None
            if paired:
                yield from table.columns.values()
            yield from (measure for measure in table.measures.values() if measure.kind == "measure")
            if paired:
                yield from table.hierarchies.values()
                yield from table.calculation_items.values()
        yield from model.relationships
        yield from model.roles.values()
        yield from model.functions.values()
        for old_report, new_report in self.report_pairs:
            report = new_report if new else old_report
            if report is not None:
                yield from self.report_measures(report, model)

    def model_changes(self) -> Iterator[Change]:
        matching = self.matching
        for obj in self.objects("new"):
            old = matching.old_of(obj)
            if old is None:
                formula = main_formula(obj)
                yield Change("added", obj.kind, obj.dax, None, formula.text if formula is not None else None,
                             obj.file, obj.line, obj.column, new_object=obj)
            else:
                yield from self.pair_changes(old, obj)
        for obj in self.objects("old"):
            if matching.new_of(obj) is None:
                formula = main_formula(obj)
                yield Change("removed", obj.kind, obj.dax, formula.text if formula is not None else None, None,
                             obj.file, obj.line, obj.column, side="old", old_object=obj)

    def pair_changes(self, old: ModelObject, new: ModelObject) -> Iterator[Change]:
        if old.name != new.name and not isinstance(new, Relationship):
            yield Change("renamed", new.kind, new.dax, old.dax, new.dax, new.file, new.line, new.column,
                         old_object=old, new_object=new)
        yield from self.formula_changes(old, new)
        for part, before, after in property_changes(old, new, self.matching, self.old_model, self.new_model):
            yield Change("properties", new.kind, new.dax, before, after, new.file, new.line, new.column, part=part,
                         old_object=old, new_object=new)

    def formula_changes(self, old: ModelObject, new: ModelObject) -> Iterator[Change]:
        old_slots = dict(self.slots(old, "old"))
        for key, (part, formula) in self.slots(new, "new"):
            before = old_slots.pop(key, None)
            change: ChangeKind = "properties" if isinstance(new, Role) else "changed"
            if before is None:
                yield Change(change, new.kind, new.dax, None, formula.text, formula.file, formula.line,
                             formula.column, part=part, old_object=old, new_object=new)
                continue
            verdict = self.comparer.verdict(before[1], formula)
            if verdict in ("changed", "layout"):
                yield Change(change if verdict == "changed" else "layout", new.kind, new.dax, before[1].text,
                             formula.text, formula.file, formula.line, formula.column, part=part, old_object=old,
                             new_object=new)
        for part, formula in old_slots.values():
            gone: ChangeKind = "properties" if isinstance(new, Role) else "changed"
            yield Change(gone, new.kind, new.dax, formula.text, None, new.file, new.line, new.column, part=part,
                         old_object=old, new_object=new)

    def slots(self, obj: ModelObject, side: str) -> Iterator[tuple[tuple[str, str], tuple[str, Formula]]]:
        """Each formula of `obj` under a key that finds its counterpart on
        the other side, with the name of its part."""
        for formula in obj.formulas:
            kind = formula.kind
            if kind == "row-level security filter":
                table = self.table_name(formula.table or "", side)
                yield ("filter", name_key(table)), (f"filter on {quote_table(table)}", formula)
            elif kind in MAIN_KINDS:
                yield (kind, ""), ("expression", formula)
            elif isinstance(obj, Table) and kind == "format string definition":
                yield (kind, name_key(formula.name)), (f"format string definition of {formula.name}", formula)
            else:
                yield (kind, ""), (kind, formula)

    def table_name(self, name: str, side: str) -> str:
        """A table's name as the new side has it."""
        if side == "new":
            table = self.new_model.table(name)
            return table.name if table is not None else name
        table = self.old_model.table(name)
        counterpart = self.matching.new_of(table) if table is not None else None
        return counterpart.name if counterpart is not None else name

    # --- impact ----------------------------------------------------------------

    def with_impact(self, change: Change) -> Change:
        if not change.counts:
            return change
        found = []
        if change.new_object is not None and isinstance(change.new_object, ModelObject):
            found.extend(self.impacts.downstream(change.new_object))
        if change.change in ("removed", "renamed") and isinstance(change.old_object, ModelObject):
            found.extend(self.impacts.breaks(change.old_object, change.new_object, self.matching, self.old_model))
        return replace(change, impact=tuple(found)) if found else change

