"""Find every DAX formula of a tabular model.

A tabular model is saved either as one TMSL JSON file (``model.bim``) or as a
TMDL folder (``definition/`` holding ``model.tmdl``, ``tables/*.tmdl``, ...).
`read_model` reads either and yields one `Formula` per property that holds
DAX: measures, calculated columns, calculated-table partitions, calculation
items and the expressions of a calculation group, format-string and detail-rows
definitions, KPI target/status/trend, row-level security filters and
user-defined functions. Everything else (M partitions and shared expressions,
SQL and entity partitions, annotations, linguistic metadata, descriptions,
format strings) is stepped over without being parsed::

    from quarrow_dax.diagnostics import split_error
    from quarrow_dax.model import parse_formula, read_model

    for formula in read_model("Sales.SemanticModel"):
        try:
            parse_formula(formula)
        except ValueError as error:
            kind, message, start, end = split_error(str(error))
            line, column = formula.locate_offset(start)
            print(f"{formula.file}:{line}:{column}: {formula.kind} {formula.name}: {message}")

Each formula knows where its text is in the model file (`Formula.line`,
`Formula.column`, `Formula.line_map`) and maps a place inside its text back to
the file (`Formula.locate`, `Formula.locate_offset`). Lines and columns start
at 1 and columns count characters.

`load_model` reads the same files whole into a `Model`: its tables with
their columns (data columns too), measures, hierarchies, partitions and
calculation items, its relationships, roles and functions, each object with
its file, line and column, and every formula with the object it belongs to.

A model that cannot be read raises `ModelError` naming the file and, where
known, the line and column; give `read_model` a list as ``errors`` to collect
those instead and carry on with the model's other files. What reads but may
not mean what its author thinks (a JSON key given twice) is a `ModelWarning`:
collected in a ``warnings`` list when one is given, otherwise issued through
Python's `warnings` module.
"""

from __future__ import annotations

from ..sources import MAX_FILE_SIZE
from .errors import ModelError, ModelWarning
from .formulas import KINDS, Formula, parse_formula, parse_function
from .loading import find_models, is_model_folder, load_model, model_folder_of, read_model
from .objects import (
    CalculationItem, Column, Function, Hierarchy, Level, Measure, Model, ModelObject, Partition, Relationship, Role,
    Table, TableObject, bracket, quote_table,
)

__all__ = [
    "KINDS", "CalculationItem", "Column", "Formula", "Function", "Hierarchy", "Level", "Measure", "Model",
    "ModelError", "ModelObject", "ModelWarning", "Partition", "Relationship", "Role", "Table", "TableObject",
    "bracket", "find_models", "is_model_folder", "load_model", "model_folder_of", "parse_formula", "parse_function",
    "quote_table", "read_model",
]
