"""The admin scanner's results as models: every dataset of a WorkspaceInfo
scan result (``GET admin/workspaces/scanResult/{scanId}``) read as a `Model`
of its own, so that checking, linting and name resolution work on it as on
a model file.

    from quarrow_dax.model.scanner import find_datasets, read_dataset

    problems = []
    for place in find_datasets("scan.json", problems):
        dataset = read_dataset(place)
        print(dataset.workspace, dataset.name, len(dataset.model.formulas))

A scan result is ``{"workspaces": [{"name", "id", "datasets": [...]}, ...]}``;
a dataset has ``tables`` (each with ``columns``, ``measures`` and
``source``), ``roles`` (with ``tablePermissions``) and ``expressions``. The
DAX in it: measures' ``expression``; calculated columns' ``expression``
(``columnType`` "Calculated"); calculated tables' ``source[].expression``
(a table whose columns are ``CalculatedTableColumn``s; other sources, and
the dataset's ``expressions``, are Power Query M); row filters'
``filterExpression``; and user-defined functions' ``expression`` where a
dataset lists ``functions`` as a model does. Each formula's positions are
its own: line 1, column 1 is the first character of the expression.

`find_datasets` finds the datasets in one native pass over the file, read
in pieces, so that a file of any size costs memory for its list of places
only; `read_dataset` then reads one dataset's bytes and decodes them alone.
What cannot be read is a `ModelError` with the file's line and column:
the rest of the file is still read.
"""

from __future__ import annotations

import json
import os
import re
import stat
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

from .. import _syntax
from .building import ModelBuilder
from .errors import ModelError
from .formulas import Formula
from .json_reader import JsonArray, JsonError, JsonObject, JsonReader
from .objects import Column, Function, Measure, Model, ModelObject, Partition, Role, name_key

__all__ = ["DatasetPlace", "ScannedDataset", "find_datasets", "read_dataset", "scan_model"]

# Bytes read at a time in the pass that finds the datasets.
_PIECE = 8 << 20

_CALCULATED_TABLE_COLUMN = "calculatedtablecolumn"
_SURROGATE = re.compile("[\ud800-\udfff]")


@dataclass(frozen=True)
class DatasetPlace:
    """Where one dataset is in a scan result: its object's byte span and the
    line and column it starts at, and the workspace it belongs to."""

    file: str
    start: int
    end: int
    line: int
    column: int
    workspace: str
    workspace_id: str | None = None


@dataclass
class ScannedDataset:
    """One dataset of a scan result, read: its workspace, name and id, and
    its `model`. `problems` are what could not be read of it (the model
    holds the rest)."""

    place: DatasetPlace
    name: str
    id: str | None
    model: Model
    problems: list[ModelError] = field(default_factory=list)

    @property
    def workspace(self) -> str:
        return self.place.workspace


def _decoded(raw: bytes | None) -> str | None:
    """A string of the file as written between its quotes, decoded."""
    if raw is None:
        return None
    try:
        value = json.loads(b'"' + raw + b'"')
    except ValueError:
        return raw.decode("utf-8", "replace")
    return value if isinstance(value, str) else None


def find_datasets(path: str | os.PathLike[str], problems: list[ModelError]) -> list[DatasetPlace]:
    """The place of every dataset of the scan result at `path`, in file
    order. What keeps parts of the file from being read goes to `problems`
    (a fault in its structure ends the reading there: the datasets before it
    are kept)."""
    name = os.fspath(path)
    splitter = _syntax.scan_splitter()
    items: list[tuple[Any, ...]] = []
    try:
        fd = os.open(name, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)
                     | getattr(os, "O_BINARY", 0))
    except OSError as error:
        problems.append(ModelError(name, None, f"cannot read the file: {error.strerror or error}"))
        return []
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            problems.append(ModelError(name, None, "cannot read the file: not a regular file"))
            return []
        with os.fdopen(fd, "rb", buffering=0, closefd=False) as stream:
            piece = bytearray(_PIECE)
            view = memoryview(piece)
            while True:
                count = stream.readinto(piece)
                if not count:
                    break
                items.extend(_syntax.scan_feed(splitter, view[:count]))
        items.extend(_syntax.scan_finish(splitter))
    except OSError as error:
        problems.append(ModelError(name, None, f"cannot read the file: {error.strerror or error}"))
    finally:
        os.close(fd)
    workspaces: dict[int, tuple[str, str | None]] = {}
    for kind, workspace, _start, _end, _line, _column, raw_name, raw_id, _message in items:
        if kind == "workspace":
            label = _decoded(raw_name) or _decoded(raw_id) or f"workspace {workspace + 1}"
            workspaces[workspace] = (label, _decoded(raw_id))
    places = []
    for kind, workspace, start, end, line, column, _name, _id, message in items:
        if kind == "dataset":
            label, workspace_id = workspaces.get(workspace, (f"workspace {workspace + 1}", None))
            places.append(DatasetPlace(name, start, end, line, column, label, workspace_id))
        elif kind == "problem":
            problems.append(ModelError(name, line, message, column))
    return places


def _file_position(place: DatasetPlace, line: int, column: int) -> tuple[int, int]:
    """The file's (line, column) of a place in the dataset's own text."""
    return place.line + line - 1, (place.column + column - 1 if line == 1 else column)


class _Invalid(Exception):
    """A value of the dataset that is not what the format gives it: the
    path of keys and indices to it, and what is wrong."""

    def __init__(self, path: tuple[str | int, ...], message: str) -> None:
        super().__init__(path, message)
        self.path = path
        self.message = message


def read_dataset(place: DatasetPlace) -> ScannedDataset:
    """The dataset at `place`, read. Raises ModelError for a dataset that
    cannot be read at all (not JSON, not an object); a part that cannot be
    read (a measure whose expression is no string) is left out and listed
    in `problems`."""
    try:
        with open(place.file, "rb") as stream:
            stream.seek(place.start)
            data = stream.read(place.end - place.start)
    except OSError as error:
        raise ModelError(place.file, place.line, f"cannot read the file: {error.strerror or error}",
                         place.column) from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        before = data[: error.start].decode("utf-8", "replace")
        line = before.count("\n") + 1
        column = len(before) - (before.rfind("\n") + 1) + 1
        file_line, file_column = _file_position(place, line, column)
        raise ModelError(place.file, file_line, f"not valid UTF-8: byte 0x{data[error.start]:02x}",
                         file_column) from None
    try:
        value = json.loads(text)
    except json.JSONDecodeError as error:
        line, column = _file_position(place, error.lineno, error.colno)
        raise ModelError(place.file, line, f"invalid JSON: {error.msg}", column) from None
    except RecursionError:
        raise ModelError(place.file, place.line, "invalid JSON: nested too deeply", place.column) from None
    reader = _DatasetReader(place, text)
    return reader.dataset(value)


def scan_model(place: DatasetPlace, value: Any) -> ScannedDataset:
    """A dataset already decoded (a dict as json.loads gives it) at `place`."""
    return _DatasetReader(place, None).dataset(value)


class _DatasetReader:
    """Builds the Model of one decoded dataset; places the values it cannot
    use by reading the text again with positions (only then)."""

    def __init__(self, place: DatasetPlace, text: str | None) -> None:
        self.place = place
        self.text = text
        self.problems: list[ModelError] = []
        # Where each object is in the dataset (the path of keys and indices
        # to it), by its id: the objects stand at their dataset's place, and
        # only those that declare a name twice are placed at their own.
        self.paths: dict[int, tuple[str | int, ...]] = {}
        self._positioned: tuple[JsonReader, Any] | None = None

    def locate(self, path: tuple[str | int, ...]) -> tuple[int, int]:
        """The file's (line, column) of the value at `path` in the dataset."""
        if self.text is None:
            return self.place.line, self.place.column
        if self._positioned is None:
            reader = JsonReader(self.text)
            try:
                self._positioned = reader, reader.document()
            except JsonError:
                return self.place.line, self.place.column
        reader, value = self._positioned
        offset = 0
        for key in path:
            if isinstance(value, JsonObject) and isinstance(key, str) and key in value:
                offset = value.span(key)[0]
                value = value[key]
            elif isinstance(value, JsonArray) and isinstance(key, int) and key < len(value):
                offset = value.span(key)[0]
                value = value[key]
            else:
                break
        return _file_position(self.place, *reader.position(offset))

    def problem(self, invalid: _Invalid) -> None:
        line, column = self.locate(invalid.path)
        self.problems.append(ModelError(self.place.file, line, invalid.message, column))

    def dataset(self, value: Any) -> ScannedDataset:
        if not isinstance(value, dict):
            raise ModelError(self.place.file, self.place.line, "a dataset is not a JSON object", self.place.column)
        try:
            name = _text(value, "name", ()) or _text(value, "id", ()) or "dataset"
            dataset_id = _text(value, "id", ())
        except _Invalid as invalid:
            self.problem(invalid)
            name, dataset_id = "dataset", None
        model_path = f"{self.place.file}:{self.place.workspace}/{name}"
        builder = ModelBuilder(model_path)
        formulas: list[Formula] = []
        for index, table in self.items(value, "tables", ()):
            try:
                formulas.extend(self.table(builder, table, ("tables", index)))
            except _Invalid as invalid:
                self.problem(invalid)
        for index, role in self.items(value, "roles", ()):
            try:
                formulas.extend(self.role(builder, role, ("roles", index)))
            except _Invalid as invalid:
                self.problem(invalid)
        for index, function in self.items(value, "functions", ()):
            try:
                formulas.extend(self.function(builder, function, ("functions", index)))
            except _Invalid as invalid:
                self.problem(invalid)
        model = builder.finish(formulas)
        for pair in model.duplicates:
            for obj in pair:
                path = self.paths.get(id(obj))
                if path is not None:
                    obj.line, obj.column = self.locate((*path, "name"))
        return ScannedDataset(self.place, name, dataset_id, model, self.problems)

    def declared(self, builder: ModelBuilder, obj: ModelObject, path: tuple[str | int, ...],
                 formulas: list[Formula]) -> list[Formula]:
        """`formulas`, made `obj`'s, where `obj` is at `path`: the reader
        knows each formula's object, which a formula's place cannot tell
        among namesakes all placed at the dataset."""
        self.paths.setdefault(id(obj), path)
        builder.own(formulas, obj)
        return formulas

    def items(self, owner: dict[str, Any], key: str, path: tuple[str | int, ...]) -> Iterator[tuple[int, dict[str, Any]]]:
        """The objects of the array `owner[key]`; what is not one is a problem."""
        values = owner.get(key)
        if values is None:
            return
        if not isinstance(values, list):
            self.problem(_Invalid((*path, key), f'"{key}" is not an array'))
            return
        for index, item in enumerate(values):
            if isinstance(item, dict):
                yield index, item
            else:
                self.problem(_Invalid((*path, key, index), f'an item of "{key}" is not an object'))

    def table(self, builder: ModelBuilder, table: dict[str, Any], path: tuple[str | int, ...]) -> Iterator[Formula]:
        file, line, column = self.place.file, self.place.line, self.place.column
        name = _name(table, path)
        found = builder.table(name, file, line, column)
        self.paths.setdefault(id(found), path)
        # The scanner keeps no annotations and no isPrivate: a hidden table is
        # all it says of the tables Power BI makes for its auto date/time,
        # hidden as only Power BI hides its own (Table.generated reads both).
        found.private = found.private or table.get("isHidden") is True
        columns = list(self.items(table, "columns", path))
        calculated_table = any(
            isinstance(item.get("columnType"), str) and item["columnType"].lower() == _CALCULATED_TABLE_COLUMN
            for _, item in columns
        )
        formulas = []
        for index, item in self.items(table, "measures", path):
            where = (*path, "measures", index)
            try:
                measure = _name(item, where)
                measure_object = builder.declare(found.measures, Measure(measure, file, line, column, table=name))
                formulas += self.declared(builder, measure_object, where,
                                          _formulas(file, item, "expression", where, "measure", name, measure))
            except _Invalid as invalid:
                self.problem(invalid)
        for index, item in columns:
            where = (*path, "columns", index)
            try:
                column_name = _name(item, where)
                column_type = _text(item, "columnType", where) or ""
                if column_type.lower() == "rownumber":
                    continue  # the engine's own row number: no name a formula can use
                calculated = column_type.lower() == "calculated" or (not column_type and "expression" in item)
                kind = "calculated" if calculated else "data"
                # The scanner spells the model's words with a capital ("String", "DateTime").
                data_type = _text(item, "dataType", where)
                data_type = data_type[:1].lower() + data_type[1:] if data_type else None
                column_object = builder.declare(found.columns, Column(column_name, file, line, column, table=name,
                                                                      type=kind, data_type=data_type))
                made = _formulas(file, item, "expression", where, "calculated column", name, column_name) if calculated else []
                formulas += self.declared(builder, column_object, where, made)
            except _Invalid as invalid:
                self.problem(invalid)
        if calculated_table:
            found.partitions.append(Partition(name, file, line, column, table=name, source="calculated"))
            for index, source in self.items(table, "source", path):
                try:
                    formulas += self.declared(builder, found, path, _formulas(
                        file, source, "expression", (*path, "source", index), "calculated table", name, name))
                except _Invalid as invalid:
                    self.problem(invalid)
                break  # a calculated table has one source
        return iter(formulas)

    def role(self, builder: ModelBuilder, role: dict[str, Any], path: tuple[str | int, ...]) -> Iterator[Formula]:
        name = _name(role, path)
        found: Role = builder.role(name, self.place.file, self.place.line, self.place.column)
        self.paths.setdefault(id(found), path)
        formulas = []
        for index, permission in self.items(role, "tablePermissions", path):
            where = (*path, "tablePermissions", index)
            try:
                table = _name(permission, where)
                found.tables.append(table)
                formulas += self.declared(builder, found, path, _formulas(
                    self.place.file, permission, "filterExpression", where, "row-level security filter", table, name))
            except _Invalid as invalid:
                self.problem(invalid)
        return iter(formulas)

    def function(self, builder: ModelBuilder, function: dict[str, Any],
                 path: tuple[str | int, ...]) -> Iterator[Formula]:
        name = _name(function, path)
        function_object = builder.declare(builder.model.functions,
                                          Function(name, self.place.file, self.place.line, self.place.column))
        return iter(self.declared(builder, function_object, path,
                                  _formulas(self.place.file, function, "expression", path, "function", None, name)))


def _text(owner: dict[str, Any], key: str, path: tuple[str | int, ...]) -> str | None:
    value = owner.get(key)
    if value is None or isinstance(value, str):
        return value
    raise _Invalid((*path, key), f'"{key}" is not a string')


def _name(owner: dict[str, Any], path: tuple[str | int, ...]) -> str:
    name = _text(owner, "name", path)
    if not name:
        raise _Invalid(path, 'an object without a "name"')
    return name


def _formulas(file: str, owner: dict[str, Any], key: str, path: tuple[str | int, ...], kind: str,
              table: str | None, name: str) -> list[Formula]:
    """The formula in `owner[key]` (a string, or an array of lines as TMSL
    writes them); none when missing or only white space. Its positions are
    its own text's."""
    value = owner.get(key)
    if value is None:
        return []
    if isinstance(value, list) and all(isinstance(part, str) for part in value):
        value = "\n".join(value)
    if not isinstance(value, str):
        raise _Invalid((*path, key), f'"{key}" of {kind} {name!r} is not a string')
    if not value.strip():
        return []
    if _SURROGATE.search(value):
        raise _Invalid((*path, key), f'"{key}" of {kind} {name!r} holds an unpaired surrogate escape')
    lines = value.split("\n")
    line_map = tuple((number, 1) for number in range(1, len(lines) + 1))
    exact = tuple(len(line) for line in lines)
    return [Formula(file, table, name, kind, value, 1, 1, line_map, exact)]

