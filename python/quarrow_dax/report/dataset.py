"""`definition.pbir`: which model a report reads.

`byPath` names the model folder relative to the report folder; `byConnection`
names a published model by its connection string, whose `initial catalog`
is the model's name. Such a model is found when a `<name>.SemanticModel`
folder stands beside the report, as in a Power BI project that holds both.
"""

from __future__ import annotations

import os
import re
from pathlib import Path

from ..diagnostics import Diagnostic
from ..model import is_model_folder
from ..sources import is_dir, is_file
from ._files import READ_ERROR, json_file, string_value
from .objects import DatasetReference

__all__ = ["catalog", "holds_model", "read_dataset_reference"]

# key=value pairs of a connection string; a value may be quoted, its quote doubled inside.
_PAIR = re.compile(r"""\s*([^=;]+?)\s*=\s*("(?:[^"]|"")*"|'(?:[^']|'')*'|[^;]*)\s*(?:;|$)""")


def holds_model(path: Path) -> bool:
    """Whether the folder `path` is a model: a TMDL folder, a folder with a
    TMDL `definition/` (a `*.SemanticModel` folder) or a `model.bim`."""
    if not is_dir(path):
        return False
    return is_model_folder(path) or is_model_folder(path / "definition") or is_file(path / "model.bim")


def catalog(connection: str) -> str | None:
    """The `initial catalog` (any case) of a connection string, unquoted."""
    for match in _PAIR.finditer(connection):
        if match.group(1).casefold() == "initial catalog":
            value = match.group(2).strip()
            if len(value) >= 2 and value[0] == value[-1] and value[0] in "\"'":
                value = value[1:-1].replace(value[0] * 2, value[0])
            return value or None
    return None


def read_dataset_reference(report: Path, problems: list[Diagnostic]) -> DatasetReference | None:
    """The dataset reference in `report`/definition.pbir; None (and a
    problem) when the file is missing or says nothing usable."""
    file = report / "definition.pbir"
    read = json_file(file, problems)
    if read is None:
        return None
    root, text = read
    if not isinstance(root, dict):
        problems.append(text.diagnostic(getattr(root, "start", 0), "definition.pbir is not a JSON object",
                                        code=READ_ERROR))
        return None
    reference = root.get("datasetReference")
    if not isinstance(reference, dict):
        problems.append(text.diagnostic(getattr(reference, "start", getattr(root, "start", 0)),
                                        'no "datasetReference" object: the report names no model', code=READ_ERROR))
        return None
    by_path = reference.get("byPath")
    if isinstance(by_path, dict):
        path = string_value(by_path, "path", text, problems, required=True, what='"byPath"')
        if path is None:
            return None
        line, column = text.place(by_path.get("path"))
        target = Path(os.path.normpath(report / path.replace("\\", "/")))
        model = str(target) if holds_model(target) else None
        if model is None:
            problems.append(text.diagnostic(getattr(by_path.get("path"), "start", None),
                                            f"the model this report reads, {path}, is not there: no model folder at"
                                            f" {target}", code=READ_ERROR))
        return DatasetReference("path", path, None, model, str(file), line, column)
    by_connection = reference.get("byConnection")
    if isinstance(by_connection, dict):
        connection = string_value(by_connection, "connectionString", text, problems, required=True,
                                  what='"byConnection"')
        if connection is None:
            return None
        line, column = text.place(by_connection.get("connectionString"))
        database = catalog(connection)
        model = None
        if database is not None:
            beside = report.parent / f"{database}.SemanticModel"
            if holds_model(beside):
                model = str(beside)
        return DatasetReference("connection", None, database, model, str(file), line, column)
    problems.append(text.diagnostic(getattr(reference, "start", None),
                                    '"datasetReference" has neither a "byPath" nor a "byConnection" object',
                                    code=READ_ERROR))
    return None
