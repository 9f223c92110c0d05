"""What a change reaches on the new side: the objects downstream of the
changed object in the new side's dependency graph (measures, columns,
tables, and with reports their visuals, pages' filters and bookmarks), and
for an object removed or renamed, the places that still use its old name
and so now name nothing (breaks)."""

from __future__ import annotations

from collections.abc import Iterable, Sequence

from ..graph import DependencyGraph, ReportNode, VisualNode
from ..model import Column, Function, Hierarchy, Measure, Model, ModelObject, Table, quote_table
from ..model.objects import TableObject, name_key
from ..report import FieldUse, Report
from ..resolution import Resolution
from ..syntax.parsing import Grammar, Separators
from .changes import Impact
from .matching import Matching

__all__ = ["ImpactFinder"]


def _impact_of(obj: ModelObject) -> Impact:
    """A downstream object as an Impact."""
    if isinstance(obj, ReportNode):
        visual = obj.name if isinstance(obj, VisualNode) else None
        return Impact("downstream", obj.kind, obj.dax, obj.file, obj.line, obj.column, report=obj.report,
                      page=obj.page, visual=visual)
    return Impact("downstream", obj.kind, obj.dax, obj.file, obj.line, obj.column)


class ImpactFinder:
    """Answers for one new side (a model, extended with its reports'
    measures, and the reports); its graph is built at the first question."""

    def __init__(self, model: Model, reports: Sequence[Report], *, grammar: Grammar = "engine",
                 separators: Separators = "comma") -> None:
        self.model = model
        self.reports = list(reports)
        self.grammar: Grammar = grammar
        self.separators: Separators = separators
        self._graph: DependencyGraph | None = None
        self._unknown: dict[str, list[Resolution]] | None = None

    @property
    def graph(self) -> DependencyGraph:
        if self._graph is None:
            self._graph = DependencyGraph.build(self.model, grammar=self.grammar, separators=self.separators)
            self._graph.add_reports(self.reports)
        return self._graph

    def downstream(self, obj: ModelObject) -> list[Impact]:
        """What uses `obj` on the new side, through any number of steps. A
        table is used through its columns, measures and hierarchies too;
        they are part of it, not listed."""
        graph = self.graph
        starts: list[ModelObject] = [obj]
        if isinstance(obj, Table):
            starts += [*obj.columns.values(), *obj.measures.values(), *obj.hierarchies.values()]
        if len(starts) == 1:
            return [_impact_of(found) for found in graph.downstream(obj, deep=True)]
        inside = {id(start) for start in starts}
        found: dict[int, ModelObject] = {}
        for start in starts:
            for reached in graph.downstream(start, deep=True):
                if id(reached) not in inside:
                    found.setdefault(id(reached), reached)
        return [_impact_of(reached) for reached in graph.sorted(found.values())]

    def _unknown_by_name(self) -> dict[str, list[Resolution]]:
        """The references of the new side that name nothing, by the name
        they give (and, for a column, by its table's name too)."""
        if self._unknown is None:
            self._unknown = {}
            for resolution in self.graph.resolutions:
                if resolution.status != "unknown":
                    continue
                ref = resolution.reference
                names = {name_key(ref.name)}
                if ref.table:
                    names.add(name_key(ref.table))
                for name in names:
                    self._unknown.setdefault(name, []).append(resolution)
        return self._unknown

    def breaks(self, old: ModelObject, new: ModelObject | None, matching: Matching, old_model: Model) -> list[Impact]:
        """The places on the new side that use the name `old` had: for an
        object removed (`new` None) or renamed to `new`."""
        if not isinstance(old, (Measure, Column, Table, Hierarchy, Function)):
            return []
        if new is not None and name_key(new.name) == name_key(old.name) and (
                not isinstance(old, TableObject) or name_key(getattr(new, "table", "")) == name_key(old.table)):
            return []  # only the case of the name changed: every use still finds it
        tables = _table_names(old, matching, old_model)
        found: list[Impact] = []
        seen: set[tuple[str, int, int]] = set()
        for resolution in self._unknown_by_name().get(name_key(old.name), []):
            if _names(resolution, old, tables):
                owner = self.model.owner(resolution.formula)
                line, column = resolution.line, resolution.column
                place = (resolution.formula.file, line, column)
                if place in seen:
                    continue
                seen.add(place)
                found.append(Impact("break", owner.kind if owner is not None else resolution.formula.kind,
                                    owner.dax if owner is not None else resolution.formula.name, *place))
        for report in self.reports:
            for use in _report_uses(report, old, tables):
                place = (use.file, use.line, use.column)
                if place not in seen:
                    seen.add(place)
                    found.append(_use_impact(report, use))
        return found


def _table_names(old: ModelObject, matching: Matching, old_model: Model) -> set[str]:
    """The names the table of `old` (or `old` itself, a table) may be
    written with on the new side: its old name and the name it has now."""
    name = old.name if isinstance(old, Table) else getattr(old, "table", "")
    names = {name_key(name)}
    table = old_model.table(name)
    counterpart = matching.new_of(table) if table is not None else None
    if counterpart is not None:
        names.add(name_key(counterpart.name))
    return names


def _names(resolution: Resolution, old: ModelObject, tables: set[str]) -> bool:
    """Whether an unknown reference names `old` as the old side did."""
    ref = resolution.reference
    name = name_key(old.name)
    if isinstance(old, Measure):
        return ref.kind in ("bracket", "column") and name_key(ref.name) == name
    if isinstance(old, Column):
        if ref.kind == "bracket":
            return name_key(ref.name) == name
        return ref.kind == "column" and name_key(ref.name) == name and name_key(ref.table or "") in tables
    if isinstance(old, Hierarchy):
        return ref.kind == "hierarchy" and name_key(ref.name) == name and name_key(ref.table or "") in tables
    if isinstance(old, Table):
        if ref.kind == "table":
            return name_key(ref.name) == name
        return ref.kind in ("column", "hierarchy") and name_key(ref.table or "") == name
    if isinstance(old, Function):
        return ref.kind == "function" and name_key(ref.name) == name
    return False


def _report_uses(report: Report, old: ModelObject, tables: set[str]) -> Iterable[FieldUse]:
    """The uses of `report` that name nothing and named `old`. The DAX of
    report measures is among the formulas, not here."""
    name = name_key(old.name)
    for use in report.uses:
        if use.kind != "unknown" or not use.used or use.where == "report measure":
            continue
        table = name_key(use.table or "")
        if isinstance(old, Table):
            if table == name:
                yield use
        elif isinstance(old, (Column, Hierarchy)):
            if table in tables and name_key(use.name) == name:
                yield use
        elif isinstance(old, Measure) and name_key(use.name) == name:
            yield use


def _use_impact(report: Report, use: FieldUse) -> Impact:
    page = report.page(use.page)
    page_label = page.label if page is not None else use.page
    visual = report.visual(use.page, use.visual)
    visual_label = visual.label if visual is not None else use.visual
    owner = quote_table(report.name)
    if use.bookmark is not None:
        kind, text = "bookmark", f"bookmark {quote_table(use.bookmark)} of report {owner}"
    elif use.visual is not None:
        kind, text = "visual", (f"visual {quote_table(visual_label or '')} on page {quote_table(page_label or '')}"
                                f" of report {owner}")
    elif use.page is not None:
        kind, text = "page", f"filters of page {quote_table(page_label or '')} of report {owner}"
    else:
        kind, text = "report", f"filters of report {owner}"
    return Impact("break", kind, text, use.file, use.line, use.column, report=report.name, page=page_label,
                  visual=visual_label if use.visual is not None else None)
