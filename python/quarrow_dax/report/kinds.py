"""Deciding what each field a report references is, by the model (and the
report's own measures), never by the JSON wrapper the report wrote it in;
and the references the DAX of report measures makes."""

from __future__ import annotations

import dataclasses
from collections.abc import Iterable

from ..model import Model, Table
from ..references import Reference, references
from ..syntax.parsing import ParseError
from .objects import FieldUse, Report, ReportFormula

__all__ = ["dax_uses", "decide", "split_for_model"]

_NAMED = ("column", "bracket", "hierarchy")


def dax_uses(formula: ReportFormula, found: Iterable[Reference] | None = None) -> list[FieldUse]:
    """The fields the DAX of a report measure names (its columns, measures
    and hierarchies as written; `table` None for a bare `[Name]`), placed
    in the file; [] when the text does not parse (checking reports that)."""
    if found is None:
        try:
            found = references(formula.text)
        except ParseError:
            return []
    uses = []
    for ref in found:
        if ref.kind not in _NAMED or ref.target is not None or ref.span is None or ref.table == "":
            continue
        line, column = formula.formula.locate_offset(ref.span.start)
        level = ref.levels[0] if ref.kind == "hierarchy" and ref.levels else None
        uses.append(FieldUse(
            formula.report, ref.table, ref.name, "unknown", "report measure", formula.formula.file, line, column,
            "dax", page=formula.page, visual=formula.visual, level=level, formula=formula,
            dax_span=(ref.span.start, ref.span.end),
        ))
    return uses


def split_for_model(text: str, model: Model | None) -> tuple[str, str] | None:
    """A selector's "Table.Name" split where the model has such a table (and
    best such a field), since both names may hold dots."""
    splits = [(text[:index], text[index + 1 :]) for index, char in enumerate(text) if char == "."]
    splits = [split for split in splits if split[0] and split[1]]
    if not splits:
        return None
    if model is not None:
        tables = [(split, model.table(split[0])) for split in splits]
        for split, table in tables:
            if table is not None and _member_kind(table, split[1]) is not None:
                return split
        for split, table in tables:
            if table is not None:
                return split
    return splits[0]


def _member_kind(table: Table, name: str) -> str | None:
    key = name.casefold()
    if key in table.measures:
        return "measure"
    if key in table.columns:
        return "column"
    if key in table.hierarchies:
        return "hierarchy"
    return None


def _kind(use: FieldUse, model: Model | None, report: Report) -> tuple[str, str | None]:
    """(kind, table) of one use."""
    table_name = use.table
    if use.schema == "extension":
        measure = report.measure(table_name, use.name)
        return ("report measure", table_name) if measure is not None else ("unknown", table_name)
    if table_name is None:  # a bare [Name] in report DAX
        if model is not None:
            found_measure = model.measure(use.name)
            if found_measure is not None:
                return "measure", found_measure.table
        own = report.measure(None, use.name)
        if own is not None:
            return "report measure", own.table
        listed = _listed_table(use, report)
        return "unknown", listed
    if model is None:
        return ("report measure" if report.measure(table_name, use.name) is not None else "unknown"), table_name
    table = model.table(table_name)
    if table is None:
        own = report.measure(table_name, use.name)
        return ("report measure" if own is not None else "unknown"), table_name
    key = use.name.casefold()
    if use.written == "HierarchyLevel" and use.hierarchy is None:
        hierarchy = table.hierarchies.get(key)
        levels = {level.name.casefold() for level in hierarchy.levels} if hierarchy is not None else set()
        return ("hierarchy level" if (use.level or "").casefold() in levels else "unknown"), table_name
    if use.hierarchy is not None or (use.level is not None and use.written != "dax"):
        # A level of a column's automatic date hierarchy: the column.
        return ("column" if key in table.columns else "unknown"), table_name
    if use.written == "dax" and use.level is not None:
        return ("hierarchy" if key in table.hierarchies else ("column" if key in table.columns else "unknown")), table_name
    found = _member_kind(table, use.name)
    if found is not None:
        return found, table_name
    if report.measure(table_name, use.name) is not None:
        return "report measure", table_name
    return "unknown", table_name


def _listed_table(use: FieldUse, report: Report) -> str | None:
    """The table a report measure's own reference list gives a bare name."""
    formula = use.formula
    if formula is None:
        return None
    for other in report.uses:
        if (other.where == "report measure metadata" and other.file == formula.formula.file
                and other.name.casefold() == use.name.casefold() and other.table is not None):
            return other.table
    return None


def decide(report: Report, model: Model | None) -> Report:
    """`report` with every use's kind decided against `model` (None: only
    the report's own measures decide; the rest stay "unknown")."""
    decided = []
    for use in report.uses:
        if use.written == "metadata":  # "Table.Name", both of which may hold dots
            split = split_for_model(f"{use.table}.{use.name}", model)
            if split is not None and split != (use.table, use.name):
                use = dataclasses.replace(use, table=split[0], name=split[1])
        kind, table = _kind(use, model, report)
        if kind != use.kind or table != use.table:
            use = dataclasses.replace(use, kind=kind, table=table)  # type: ignore[arg-type]
        decided.append(use)
    return dataclasses.replace(report, uses=decided)
