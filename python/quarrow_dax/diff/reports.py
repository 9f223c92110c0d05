"""The parts of two versions of a report: reports, pages and visuals added
and removed, a page's label, a visual's type and title, and the fields of
each visual, each page's filters and the report's own filters.

Reports are matched by name (or, one on each side, with each other);
pages by their name (the id bookmarks and drill-through use), else by
their label; visuals by their name within a pair of pages. A field is
compared as the object it names: on the old side through the objects'
matching, so that a visual showing a renamed measure by its new name shows
the same field. Report measures are compared with the model's measures.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence

from ..model import Model, ModelObject, bracket, quote_table
from ..model.objects import name_key
from ..report import FieldUse, Page, Report, Visual
from .changes import Change
from .matching import Matching

__all__ = ["ReportComparison", "pair_reports"]

# Field uses that are no part of what a visual shows or filters: a visual's
# saved state (expanded levels, cached items) changes as people click.
_LEFT_OUT = frozenset({"visual state", "bookmark", "report measure"})


def pair_reports(old: Sequence[Report], new: Sequence[Report]) -> list[tuple[Report | None, Report | None]]:
    """The reports of both sides in pairs (None for a report the other side
    does not have): by name, case ignored; one left on each side, with each
    other."""
    by_name = {name_key(report.name): report for report in old}
    pairs: list[tuple[Report | None, Report | None]] = []
    unmatched_new = []
    for report in new:
        found = by_name.pop(name_key(report.name), None)
        if found is None:
            unmatched_new.append(report)
        else:
            pairs.append((found, report))
    left = list(by_name.values())
    if len(left) == 1 and len(unmatched_new) == 1:
        pairs.append((left[0], unmatched_new[0]))
        left, unmatched_new = [], []
    pairs.extend((None, report) for report in unmatched_new)
    pairs.extend((report, None) for report in left)
    return pairs


def _report_label(report: Report) -> str:
    return f"report {quote_table(report.name)}"


def _page_label(report: Report, page: Page) -> str:
    return f"page {quote_table(page.label)} of report {quote_table(report.name)}"


def _visual_label(report: Report, page: Page, visual: Visual) -> str:
    return f"visual {quote_table(visual.label)} on page {quote_table(page.label)} of report {quote_table(report.name)}"


class ReportComparison:
    """The changes between two versions of one report (either may be None:
    a report added or removed)."""

    def __init__(self, old: Report | None, new: Report | None, old_model: Model, new_model: Model,
                 matching: Matching, *, old_base: Model | None = None, new_base: Model | None = None) -> None:
        self.old = old
        self.new = new
        self.old_model = old_model
        self.new_model = new_model
        self.matching = matching
        #: The sides' models without the reports' measures; None for a
        #: project without one (whose fields are unknown, not missing).
        self.old_base = old_base
        self.new_base = new_base

    def changes(self) -> list[Change]:
        old, new = self.old, self.new
        if old is None and new is not None:
            return [Change("added", "report", _report_label(new), None, new.name, new.path, 0, new_object=new)]
        if new is None and old is not None:
            return [Change("removed", "report", _report_label(old), old.name, None, old.path, 0, side="old",
                           old_object=old)]
        assert old is not None and new is not None
        # The report's filters are placed at the first of them (in report.json).
        first = next((use for use in new.uses if use.page is None and use.visual is None and use.bookmark is None
                      and use.where == "report filter"), None)
        place = (first.file, first.line, first.column) if first is not None else (new.path, 0, 0)
        found = list(self.fields_change("report", _report_label(new), *place, self.report_fields(old, "old"),
                                        self.report_fields(new, "new"), "filters", new))
        found.extend(self.page_changes(old, new))
        return found

    def page_changes(self, old: Report, new: Report) -> Iterator[Change]:
        pairs: list[tuple[Page, Page]] = []
        old_by_name = {page.name: page for page in old.pages}
        appeared = []
        for page in new.pages:
            before = old_by_name.pop(page.name, None)
            if before is None:
                appeared.append(page)
            else:
                pairs.append((before, page))
        by_label: dict[str, list[Page]] = {}
        for page in old_by_name.values():
            by_label.setdefault(name_key(page.label), []).append(page)
        added = []
        for page in appeared:
            candidates = by_label.get(name_key(page.label), [])
            if len(candidates) == 1:
                before = candidates.pop()
                del old_by_name[before.name]
                pairs.append((before, page))
            else:
                added.append(page)
        for page in added:
            yield Change("added", "page", _page_label(new, page), None, page.label, page.file, page.line, page.column,
                         new_object=page)
        for page in old_by_name.values():
            yield Change("removed", "page", _page_label(old, page), page.label, None, page.file, page.line,
                         page.column, side="old", old_object=page)
        for before, page in sorted(pairs, key=lambda pair: new.pages.index(pair[1])):
            yield from self.page_pair(old, new, before, page)

    def page_pair(self, old: Report, new: Report, before: Page, page: Page) -> Iterator[Change]:
        label = _page_label(new, page)
        if before.label != page.label:
            yield Change("properties", "page", label, before.label, page.label, page.file, page.line, page.column,
                         part="label", old_object=before, new_object=page)
        yield from self.fields_change("page", label, page.file, page.line, page.column, self.page_fields(old, before, "old"),
                                      self.page_fields(new, page, "new"), "filters", page)
        old_visuals = {visual.name: visual for visual in before.visuals}
        for visual in page.visuals:
            previous = old_visuals.pop(visual.name, None)
            visual_label = _visual_label(new, page, visual)
            if previous is None:
                yield Change("added", "visual", visual_label, None, visual.label, visual.file, visual.line,
                             visual.column, new_object=visual)
                continue
            for part, a, b in (("type", previous.type, visual.type), ("title", previous.title, visual.title)):
                if a != b:
                    yield Change("properties", "visual", visual_label, a, b, visual.file, visual.line, visual.column,
                                 part=part, old_object=previous, new_object=visual)
            yield from self.fields_change("visual", visual_label, visual.file, visual.line, visual.column,
                                          self.visual_fields(old, previous, "old"),
                                          self.visual_fields(new, visual, "new"), "fields", visual)
        for visual in old_visuals.values():
            yield Change("removed", "visual", _visual_label(old, before, visual), visual.label, None, visual.file,
                         visual.line, visual.column, side="old", old_object=visual)

    @staticmethod
    def fields_change(kind: str, label: str, file: str, line: int, column: int, old: dict[tuple[object, ...], str],
                      new: dict[tuple[object, ...], str], part: str, obj: object) -> Iterator[Change]:
        gone = sorted(text for key, text in old.items() if key not in new)
        came = sorted(text for key, text in new.items() if key not in old)
        if gone or came:
            yield Change("changed", kind, label, gone, came, file, line, column, part=part, new_object=obj)

    # --- fields ----------------------------------------------------------------

    def report_fields(self, report: Report, side: str) -> dict[tuple[object, ...], str]:
        return self.fields((use for use in report.uses if use.page is None and use.visual is None), side)

    def page_fields(self, report: Report, page: Page, side: str) -> dict[tuple[object, ...], str]:
        return self.fields((use for use in report.uses if use.page == page.name and use.visual is None), side)

    def visual_fields(self, report: Report, visual: Visual, side: str) -> dict[tuple[object, ...], str]:
        return self.fields((use for use in report.uses if use.page == visual.page and use.visual == visual.name),
                           side)

    def fields(self, uses: Iterator[FieldUse], side: str) -> dict[tuple[object, ...], str]:
        """Each field used, under a key the other side's same field has, with
        how it reads ("visual projection: 'Sales'[Margin]")."""
        found: dict[tuple[object, ...], str] = {}
        model = self.old_base if side == "old" else self.new_base
        for use in uses:
            if not use.used or use.where in _LEFT_OUT or use.bookmark is not None:
                continue
            obj, identity = self.target(use, side)
            level = use.level if use.hierarchy is None else None
            level_key = name_key(level) if level is not None else None
            if identity is not None:
                text = (obj.dax if obj is not None else use.dax) + ("." + bracket(level) if level is not None else "")
                key: tuple[object, ...] = (use.where, id(identity), level_key)
            else:
                text = use.dax + ("" if model is None or use.kind != "unknown" else " (not in the model)")
                key = (use.where, name_key(use.table or ""), name_key(use.name), level_key)
            found.setdefault(key, f"{use.where}: {text}")
        return found

    def target(self, use: FieldUse, side: str) -> tuple[ModelObject | None, ModelObject | None]:
        """The object a use names on its side, and the object of the new
        side that is (an old use's object through the matching)."""
        model = self.old_model if side == "old" else self.new_model
        table = model.table(use.table or "")
        if table is None:
            return None, None
        key = name_key(use.name)
        obj: ModelObject | None
        if use.kind in ("measure", "report measure"):
            obj = table.measures.get(key)
        elif use.kind == "column":
            obj = table.columns.get(key)
        elif use.kind in ("hierarchy", "hierarchy level"):
            obj = table.hierarchies.get(key)
        else:
            obj = None
        if obj is not None and side == "old":
            return obj, self.matching.new_of(obj)
        return obj, obj
