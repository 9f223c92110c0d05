"""The model as a report sees it: the model's tables with the report's own
measures added to them, so that report DAX naming another report measure,
and a visual naming one, resolve as they do in the service. The model
itself is left as it was."""

from __future__ import annotations

import dataclasses
from typing import ClassVar

from ..model import Measure, Model, Table
from .objects import Report

__all__ = ["ReportMeasure", "extended_model"]


@dataclasses.dataclass(eq=False)
class ReportMeasure(Measure):
    """A measure of a report (`reportExtensions.json`), not of the model."""

    report: str = ""
    kind: ClassVar[str] = "report measure"


def extended_model(model: Model | None, report: Report) -> Model:
    """`model` (an empty one when None) with `report`'s measures in their
    tables, each the owner of its formula. A report measure does not hide a
    model measure of the same name."""
    base = model if model is not None else Model(report.path)
    if not report.measures:
        return base
    tables = dict(base.tables)
    measures = dict(base._measures)
    owners = dict(base._owners)
    copied: set[str] = set()
    for formula in report.measures:
        key = (formula.table or "").casefold()
        table = tables.get(key)
        if table is None:
            table = Table(formula.table or "", formula.formula.file, formula.formula.line, formula.formula.column)
            copied.add(key)
        elif key not in copied:
            table = dataclasses.replace(table, measures=dict(table.measures))
            copied.add(key)
        tables[key] = table
        measure = ReportMeasure(formula.name, formula.formula.file, formula.formula.line, formula.formula.column,
                                [formula.formula], table=table.name, report=report.name)
        for key, value in (("dataType", formula.data_type), ("formatString", formula.format_string)):
            if value is not None:
                measure.properties[key] = value
        table.measures.setdefault(formula.name.casefold(), measure)
        measures.setdefault(formula.name.casefold(), measure)
        owners[id(formula.formula)] = measure
    return Model(base.path, tables, base.relationships, base.roles, base.functions,
                 [*base.formulas, *(formula.formula for formula in report.measures)],
                 duplicates=base.duplicates, _owners=owners, _measures=measures)
