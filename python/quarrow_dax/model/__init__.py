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

import dataclasses
import json
import os
import re
import warnings as _warnings
import weakref
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, ClassVar

from .._native import lex, parse_expression, parse_query
from ..sources import MAX_FILE_SIZE, SourceError, is_dir, is_file, read_text, walk
from .json_reader import JsonError, JsonReader, JsonString

__all__ = [
    "KINDS", "CalculationItem", "Column", "Formula", "Function", "Hierarchy", "Level", "Measure", "Model",
    "ModelError", "ModelObject", "ModelWarning", "Partition", "Relationship", "Role", "Table", "bracket",
    "find_models", "is_model_folder", "load_model", "parse_formula", "parse_function", "quote_table", "read_model",
]

#: Every value `Formula.kind` takes.
KINDS = (
    "measure",
    "calculated column",
    "calculated table",
    "calculation item",
    "multiple or empty selection expression",
    "no selection expression",
    "format string definition",
    "detail rows definition",
    "KPI target",
    "KPI status",
    "KPI trend",
    "row-level security filter",
    "function",
)


def _where(file: str, line: int | None, column: int | None) -> str:
    if line is None:
        return file
    return f"{file}:{line}" if column is None else f"{file}:{line}:{column}"


class _ModelProblem(Exception):
    """What a model error and a model warning both carry and how they read."""

    def __init__(self, file: str, line: int | None, message: str, column: int | None = None) -> None:
        super().__init__(file, line, message)
        self.file = file
        self.line = line
        self.column = column
        self.message = message

    def __str__(self) -> str:
        return f"{_where(self.file, self.line, self.column)}: {self.message}"


class ModelError(_ModelProblem):
    """A model file that cannot be read: `file`, `line` and `column` (1-based,
    None where the fault is not at one place) and `message`."""


class ModelWarning(_ModelProblem, UserWarning):
    """Something in a model file that reads, but perhaps not as its author
    meant: `file`, `line`, `column` and `message`, as in ModelError."""


@dataclass(frozen=True)
class Formula:
    """One DAX formula of a model.

    `text` is the DAX exactly as the engine sees it (JSON escapes decoded, the
    TMDL indentation removed); its lines are separated by line feeds, and a
    carriage return that the DAX itself holds stays at the end of its line.
    `line` and `column` are where the text starts: in TMDL its first
    character, in a .bim file the first character inside the JSON string. `line_map` has one (file line, file column) pair per line of
    `text`: where that line begins in `file`. `exact` has one count per line of
    `text`: how many of the line's leading characters sit one to one on the
    file's characters from there. In TMDL that is the whole line; in a .bim
    file it stops at the first JSON escape (``\\"``, ``\\t``, ``\\u00e9``), after
    which the file holds more characters than the text.
    """

    file: str
    table: str | None
    name: str
    kind: str
    text: str
    line: int
    column: int
    line_map: tuple[tuple[int, int], ...]
    exact: tuple[int, ...]
    #: How the text is written in its file, for writing it back: in a .bim
    #: file "string" (one JSON string) or "lines" (an array of strings, a line
    #: each); in TMDL "inline" (after its `=`), "indented" (on the lines
    #: below) or "fenced" (between ``` lines). Empty for a Formula made
    #: elsewhere.
    form: str = ""
    #: In a .bim file, the (start, end) character offsets in the file's text
    #: of the JSON strings holding the text, their quotes included.
    string_spans: tuple[tuple[int, int], ...] = ()
    #: In TMDL, the tabs that indent the lines of the formula's block (for an
    #: inline formula, those of a block written for it).
    block_depth: int = 0

    def locate(self, line: int, column: int) -> tuple[int, int]:
        """The (line, column) in `file` of 1-based `line` and `column` in
        `text`. Past an escape of a JSON string the column stays on the
        escape, the last place known for certain; out-of-range values are
        clamped to the text."""
        index = min(max(line, 1), len(self.line_map)) - 1
        file_line, file_column = self.line_map[index]
        return file_line, file_column + min(max(column - 1, 0), self.exact[index])

    def locate_offset(self, offset: int) -> tuple[int, int]:
        """The (line, column) in `file` of a byte offset into the UTF-8 form of
        `text`, as the parser's errors report them."""
        data = self.text.encode("utf-8")
        before = data[: max(0, min(offset, len(data)))].decode("utf-8", "replace")
        line_start = before.rfind("\n") + 1
        return self.locate(before.count("\n") + 1, len(before) - line_start + 1)


# --- parsing a formula --------------------------------------------------------

_ERROR = re.compile(r"^(lex|parse) error: (.*) at (\d+)\.\.(\d+)$", re.DOTALL)

# A function's text is its signature and body, `(x) => x`, which is not an
# expression. Its parameters are read as those of a definition in a query,
# `DEFINE FUNCTION f = (x) => 0 EVALUATE {1}`, and its body as an expression
# on its own, so that nothing can follow the body: text after it (another
# definition, an EVALUATE) is an error, not a second definition.
_FUNCTION_PREFIX = "DEFINE FUNCTION f = "
_PLACEHOLDER_BODY = " 0"
_FUNCTION_SUFFIX = "\nEVALUATE {1}"
# The JSON the module writes around that one definition; cutting it off leaves
# the definition itself.
_QUERY_HEAD = '{"define":{"defs":['
_QUERY_TAIL = (
    ']},"evaluates":[{"expr":{"TableConstructor":[[{"Number":"1"}]]},'
    '"order_by":[],"start_at":null}]}'
)
_DEFINITION_HEAD = '{"Function":{"doc":null,"name":"f",'
_PLACEHOLDER_TAIL = '"body":{"Number":"0"}}}'


def parse_formula(formula: Formula) -> str:
    """Parses `formula` as its kind requires and returns the compact JSON text:
    a function with `parse_function` (under the function's own name), any
    other kind with `parse_expression`. A lexical or syntax error raises
    ValueError shaped like the module's own ("parse error: <message> at
    S..E"), its byte span always inside the UTF-8 form of `formula.text`."""
    if formula.kind != "function":
        return parse_expression(formula.text)
    return parse_function(formula.text, formula.name)


def parse_function(text: str, name: str = "f") -> str:
    """Parses the text of a user-defined function, ``(parameters) => body``
    and nothing after it, and returns the JSON of the definition
    ``{"Function": {"doc": null, "name": name, "params": [...], "body": ...}}``.
    Errors are reported like the module's, with spans into `text`."""
    arrow = _arrow_end(text)
    if arrow is None:
        # No `=>` at all: the definition's own parse says what is missing.
        _parse_definition(text)
        raise ValueError(f"parse error: expected `=>` at {len(text.encode('utf-8'))}..{len(text.encode('utf-8'))}")
    data = text.encode("utf-8")
    head, body = data[:arrow].decode("utf-8"), data[arrow:].decode("utf-8")
    definition = _parse_definition(head)
    try:
        body_json = parse_expression(body)
    except ValueError as error:
        raise _shift_error(error, -arrow, text) from None
    if not definition.endswith(_PLACEHOLDER_TAIL):
        raise AssertionError(f"unexpected JSON of a function definition: {definition[-80:]!r}")
    definition = definition[: -len(_PLACEHOLDER_TAIL)] + '"body":' + body_json + "}}"
    if definition.startswith(_DEFINITION_HEAD):
        quoted = json.dumps(name, ensure_ascii=False)
        definition = '{"Function":{"doc":null,"name":' + quoted + "," + definition[len(_DEFINITION_HEAD) :]
    return definition


def _parse_definition(head: str) -> str:
    """The JSON of `DEFINE FUNCTION f = <head> 0`: the parameters of a
    function whose text up to and including `=>` is `head`."""
    query = _FUNCTION_PREFIX + head + _PLACEHOLDER_BODY + _FUNCTION_SUFFIX
    try:
        result = parse_query(query)
    except ValueError as error:
        raise _shift_error(error, len(_FUNCTION_PREFIX.encode("utf-8")), head) from None
    if not (result.startswith(_QUERY_HEAD) and result.endswith(_QUERY_TAIL)):
        raise AssertionError(f"unexpected JSON of a one-function query: {result[:80]!r}")
    return result[len(_QUERY_HEAD) : -len(_QUERY_TAIL)]


def _arrow_end(text: str) -> int | None:
    """The byte offset just past the first `=>` token of `text`, or None.
    The tokens before a lexical error still count: an error in the body must
    not hide the arrow before it."""
    try:
        tokens = lex(text)
    except ValueError as error:
        match = _ERROR.match(str(error))
        if match is None:
            return None
        tokens = lex(text.encode("utf-8")[: int(match.group(3))].decode("utf-8", "ignore"))
    found = tokens.find('{"kind":"Arrow","span":{"start":')
    if found < 0:
        return None
    start = found + len('{"kind":"Arrow","span":{"start":')
    return int(tokens[start : tokens.index(",", start)]) + 2


def _shift_error(error: ValueError, shift: int, text: str) -> ValueError:
    """The error of a wrapped text, moved to offsets into `text` alone. A span
    in the wrapper (an unclosed comment runs into the suffix) is clamped."""
    match = _ERROR.match(str(error))
    if match is None:
        return error
    size = len(text.encode("utf-8"))
    start = min(max(int(match.group(3)) - shift, 0), size)
    end = min(max(int(match.group(4)) - shift, start), size)
    return ValueError(f"{match.group(1)} error: {match.group(2)} at {start}..{end}")


# --- finding models -----------------------------------------------------------


def _is_tmdl_folder(path: Path) -> bool:
    return (
        is_file(path / "model.tmdl")
        or is_file(path / "database.tmdl")
        or (path.name == "definition" and is_dir(path / "tables"))
    )


def is_model_folder(path: str | os.PathLike[str]) -> bool:
    """Whether `path` is a TMDL definition folder: one holding ``model.tmdl``
    or ``database.tmdl``, or named ``definition`` with a ``tables`` folder."""
    return _is_tmdl_folder(Path(path))


def find_models(path: str | os.PathLike[str], errors: list[ModelError] | None = None) -> Iterator[Path]:
    """Yields every model under `path`, in name order: each ``*.bim`` file and
    each TMDL folder (one holding ``model.tmdl`` or ``database.tmdl``, or named
    ``definition`` with a ``tables`` folder). A TMDL folder is not searched
    further; hidden folders (``.git``) are skipped. `path` may itself be a
    model file or folder. A folder that cannot be read raises ModelError, or
    is appended to `errors` when that is a list, and the search goes on."""
    root = Path(path)
    if is_file(root):
        if root.suffix.lower() == ".bim":
            yield root
        return
    if _is_tmdl_folder(root):
        yield root
        return
    problems: list[SourceError] = []
    for found in walk(root, problems, _is_tmdl_folder):
        _raise_or_collect(problems, errors)
        # The walk yields files, and folders only when they are TMDL folders.
        if found.name.lower().endswith(".bim") or is_dir(found):
            yield found
    _raise_or_collect(problems, errors)


def _raise_or_collect(problems: list[SourceError], errors: list[ModelError] | None) -> None:
    """Raises the first of the walk's problems met so far as a ModelError,
    or moves them all to `errors` when that is a list."""
    while problems:
        problem = problems.pop(0)
        error = ModelError(problem.path, problem.line, problem.message, problem.column)
        if errors is None:
            raise error
        errors.append(error)


def read_model(
    path: str | os.PathLike[str],
    errors: list[ModelError] | None = None,
    warnings: list[ModelWarning] | None = None,
    *,
    max_file_size: int = MAX_FILE_SIZE,
) -> Iterator[Formula]:
    """Yields every DAX formula of the model at `path`, in file order.

    `path` is a ``*.bim`` file, a TMDL folder, a folder holding one (a
    ``*.SemanticModel`` folder with ``definition/``) or one ``*.bim`` file, or
    a single ``*.tmdl`` file. A file that cannot be read raises `ModelError`;
    when `errors` is a list the error is appended to it instead and reading
    goes on with the model's next file (the formulas before the fault in that
    file have been yielded already). Warnings go to `warnings` when it is a
    list, otherwise to Python's `warnings` module. No file larger than
    `max_file_size` bytes is read (0: no limit)."""
    return _read(path, errors, warnings, max_file_size, None)


def _read(
    path: str | os.PathLike[str],
    errors: list[ModelError] | None,
    warnings: list[ModelWarning] | None,
    max_file_size: int,
    sink: _ModelBuilder | None,
) -> Iterator[Formula]:
    """read_model, telling `sink` (when given) of every object met."""

    def warn(warning: ModelWarning) -> None:
        if warnings is None:
            _warnings.warn(warning, stacklevel=3)
        else:
            warnings.append(warning)

    try:
        files, reader = _model_files(Path(path), errors)
    except ModelError as error:
        if errors is None:
            raise
        errors.append(error)
        return
    for file in files:
        try:
            yield from reader(file, _Context(warn, max_file_size, sink))
        except ModelError as error:
            if errors is None:
                raise
            errors.append(error)


@dataclass(frozen=True)
class _Context:
    """What every file reader of one read_model call shares."""

    warn: Callable[[ModelWarning], None]
    max_file_size: int
    #: What builds a Model from the objects met, when one is being read.
    sink: _ModelBuilder | None = None


def _model_files(path: Path, errors: list[ModelError] | None) -> tuple[list[Path], Any]:
    """The files to read for the model at `path` and the reader for them."""
    if is_file(path):
        suffix = path.suffix.lower()
        if suffix == ".bim":
            return [path], _read_bim
        if suffix == ".tmdl":
            return [path], _read_tmdl
        raise ModelError(str(path), None, "not a model file (expected *.bim or *.tmdl)")
    if not is_dir(path):
        if os.path.lexists(path):
            return [path], _read_bim if path.suffix.lower() == ".bim" else _read_tmdl  # reading says what it is
        raise ModelError(str(path), None, "no such file or folder")
    if not _is_tmdl_folder(path) and _is_tmdl_folder(path / "definition"):
        path = path / "definition"
    if _is_tmdl_folder(path):
        # Model-wide files first, then tables/, roles/, cultures/ ... each in name order.
        problems: list[SourceError] = []
        found = [file for file in walk(path, problems) if file.suffix.lower() == ".tmdl"]
        _raise_or_collect(problems, errors)
        files = sorted(found, key=lambda file: (len(file.relative_to(path).parts), str(file)))
        return files, _read_tmdl
    try:
        bims = sorted(entry for entry in path.iterdir() if entry.suffix.lower() == ".bim")
    except OSError as error:
        raise ModelError(str(path), None, f"cannot read the folder: {error.strerror or error}") from None
    if len(bims) == 1:
        return bims, _read_bim
    if bims:
        reason = "several *.bim files"
    elif (path / "definition").exists():
        reason = "its definition is not a TMDL folder (no model.tmdl or database.tmdl in it)"
    elif any(entry.suffix.lower() == ".tmdl" for entry in path.iterdir()):
        reason = "it holds *.tmdl files but no model.tmdl or database.tmdl: give the model's definition folder"
    else:
        reason = "no *.bim file and no TMDL definition folder"
    raise ModelError(str(path), None, f"not a model folder: {reason}")


def _read_text(file: Path, max_size: int) -> str:
    """The file's text, without a byte-order mark."""
    try:
        return read_text(file, max_size=max_size)
    except SourceError as error:
        message = error.message
        if not message.startswith(("not valid", "not UTF-8")):
            message = "cannot read the file: " + message
        raise ModelError(str(file), error.line, message, error.column) from None


# --- TMSL (.bim) --------------------------------------------------------------


_SURROGATE = re.compile("[\ud800-\udfff]")


def _quoted(text: str) -> str:
    """`text` in double quotes, printable whatever it holds (an escaped lone
    surrogate cannot be written as UTF-8)."""
    return json.dumps(text)


_CALCULATION_GROUP_EXPRESSIONS = (
    ("multipleOrEmptySelectionExpression", "multiple or empty selection expression"),
    ("noSelectionExpression", "no selection expression"),
)
_KPI_EXPRESSIONS = (
    ("targetExpression", "KPI target"),
    ("statusExpression", "KPI status"),
    ("trendExpression", "KPI trend"),
)
# Partition source types whose text is not DAX, or which have no text.
_OTHER_SOURCES = {"m", "query", "entity", "calculationGroup", "policyRange", "inferred", "none", "parquet"}


def _read_bim(file: Path, context: _Context) -> Iterator[Formula]:
    name = str(file)

    def warn(message: str, line: int, column: int) -> None:
        context.warn(ModelWarning(name, line, message, column))

    reader = _BimReader(JsonReader(_read_text(file, context.max_file_size), warn), name)
    try:
        root = reader.json.document()
    except JsonError as error:
        raise ModelError(name, error.line, error.message, error.column) from None
    if context.sink is not None:
        _BimObjects(reader, context.sink).database(root)
    # In file order: TMSL lists a table's measures, columns and partitions in
    # whatever order the saving tool chose.
    formulas: list[Formula] = []
    try:
        formulas.extend(reader.database(root))
    finally:
        # On a fault the formulas before it are still yielded, then it is raised.
        formulas.sort(key=lambda formula: (formula.line, formula.column))
        yield from formulas


class _BimReader:
    def __init__(self, json_reader: JsonReader, file: str) -> None:
        self.json = json_reader
        self.file = file

    def error(self, value: Any, message: str) -> ModelError:
        offset = getattr(value, "start", None)
        if offset is None:
            return ModelError(self.file, None, message)
        line, column = self.json.position(offset)
        return ModelError(self.file, line, message, column)

    def model(self, root: Any) -> dict[str, Any]:
        """The "model" object of a database file or of a TMSL script's."""
        if not isinstance(root, dict):
            raise self.error(root, "not a TMSL database: the file is not a JSON object")
        # A TMSL script (createOrReplace, create, alter) wraps the database.
        for command in ("createOrReplace", "create", "alter"):
            if isinstance(root.get(command), dict) and isinstance(root[command].get("database"), dict):
                root = root[command]["database"]
                break
        model = root.get("model")
        if not isinstance(model, dict):
            raise self.error(root, 'not a TMSL database: no "model" object')
        return model

    def database(self, root: Any) -> Iterator[Formula]:
        model = self.model(root)
        for table in self.objects(model, "tables"):
            yield from self.table(table)
        for role in self.objects(model, "roles"):
            for permission in self.objects(role, "tablePermissions"):
                yield from self.formula(
                    permission, "filterExpression", "row-level security filter",
                    self.name(permission), self.name(role),
                )
        for function in self.objects(model, "functions"):
            yield from self.formula(function, "expression", "function", None, self.name(function))

    def table(self, table: dict[str, Any]) -> Iterator[Formula]:
        name = self.name(table)
        for measure in self.objects(table, "measures"):
            measure_name = self.name(measure)
            yield from self.formula(measure, "expression", "measure", name, measure_name)
            for key, kind in (("formatStringDefinition", "format string definition"),
                              ("detailRowsDefinition", "detail rows definition")):
                owner = self.object(measure, key)
                if owner is not None:
                    yield from self.formula(owner, "expression", kind, name, measure_name)
            kpi = self.object(measure, "kpi")
            if kpi is not None:
                for key, kind in _KPI_EXPRESSIONS:
                    yield from self.formula(kpi, key, kind, name, measure_name)
        for column in self.objects(table, "columns"):
            # Only calculated columns hold DAX; data and calculated-table
            # columns have no expression.
            if column.get("type") == "calculated":
                yield from self.formula(column, "expression", "calculated column", name, self.name(column))
        for partition in self.objects(table, "partitions"):
            source = self.object(partition, "source")
            if source is None:
                continue
            # A source without a type is a query partition, the format's default.
            source_type = source.get("type", "query")
            if source_type is None:
                source_type = "query"
            if not isinstance(source_type, str):
                raise self.error(source_type if hasattr(source_type, "start") else source,
                                 f'partition {_quoted(self.name(partition))}: the source\'s "type" is not a string')
            if source_type == "calculated":
                yield from self.formula(source, "expression", "calculated table", name, name)
            elif source_type not in _OTHER_SOURCES:
                raise self.error(source, f"partition {self.name(partition)!r}: unknown source type {source_type!r}")
        default = self.object(table, "defaultDetailRowsDefinition")
        if default is not None:
            yield from self.formula(default, "expression", "detail rows definition", name, name)
        group = self.object(table, "calculationGroup")
        if group is not None:
            for item in self.objects(group, "calculationItems"):
                item_name = self.name(item)
                yield from self.formula(item, "expression", "calculation item", name, item_name)
                owner = self.object(item, "formatStringDefinition")
                if owner is not None:
                    yield from self.formula(owner, "expression", "format string definition", name, item_name)
            for key, kind in _CALCULATION_GROUP_EXPRESSIONS:
                expression = self.object(group, key)
                if expression is not None:
                    yield from self.formula(expression, "expression", kind, name, name)
                    owner = self.object(expression, "formatStringDefinition")
                    if owner is not None:
                        yield from self.formula(owner, "expression", "format string definition", name, key)

    def name(self, owner: dict[str, Any]) -> str:
        name: Any = owner.get("name", "")
        if not isinstance(name, str):
            raise self.error(name if hasattr(name, "start") else owner, '"name" is not a string')
        self.check_text(name)
        return name

    def check_text(self, value: str) -> None:
        """Refuses a name or formula holding an escaped lone surrogate: it
        decodes, but no UTF-8 text (what the parser reads and a report
        prints) can hold it. Elsewhere (descriptions) it does no harm."""
        if _SURROGATE.search(value):
            raise self.error(value, "invalid JSON: a string holds an unpaired surrogate escape")

    def object(self, owner: dict[str, Any], key: str) -> dict[str, Any] | None:
        value = owner.get(key)
        if value is None:
            return None
        if not isinstance(value, dict):
            raise self.error(value if hasattr(value, "start") else owner, f'"{key}" is not an object')
        return value

    def objects(self, owner: dict[str, Any], key: str) -> list[dict[str, Any]]:
        values = owner.get(key)
        if values is None:
            return []
        if not isinstance(values, list):
            raise self.error(values if hasattr(values, "start") else owner, f'"{key}" is not an array')
        for value in values:
            if not isinstance(value, dict):
                raise self.error(value if hasattr(value, "start") else values, f'an item of "{key}" is not an object')
        return values

    def formula(self, owner: dict[str, Any], key: str, kind: str, table: str | None, name: str) -> Iterator[Formula]:
        """The formula in `owner[key]`, a string or an array of lines; nothing
        when the property is missing or holds only white space."""
        value = owner.get(key)
        if value is None or value == []:
            return
        elements = value if isinstance(value, list) else [value]
        # Every string the JSON reader returns is a JsonString.
        parts = [part for part in elements if isinstance(part, JsonString)]
        if len(parts) != len(elements):
            raise self.error(value if hasattr(value, "start") else owner,
                             f'"{key}" of {kind} {name!r} is not a string or an array of strings')
        text = "\n".join(parts)
        if not text.strip():
            return
        for part in parts:
            self.check_text(part)
        places = [place for part in parts for place in self.json.string_lines(part)]
        line_map = tuple((line, column) for line, column, _ in places)
        exact = tuple(count for _, _, count in places)
        spans = tuple((part.start, part.end) for part in parts)
        yield Formula(self.file, table, name, kind, text, *line_map[0], line_map, exact,
                      "lines" if isinstance(value, list) else "string", spans)


# --- TMDL ---------------------------------------------------------------------

_KEYWORD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_QUOTED_NAME = re.compile(r"'((?:[^']|'')*)'")
_PLAIN_NAME = re.compile(r"[^\s'=:]+")
_ASSIGN = re.compile(r"[ \t]*=[ \t]*")
_FENCE = "```"

# Expressions that are properties: their block is one level deeper than the
# property line. The other `=` statements declare objects whose default
# property is the expression, and an object's own properties take the first
# level below it, so the block is two levels deeper than the declaration.
_PROPERTY_EXPRESSIONS = {
    "targetExpression", "statusExpression", "trendExpression", "filterExpression",
    "expression", "sourceExpression", "pollingExpression",
}
_OBJECT_EXPRESSIONS = {
    "measure", "column", "source", "calculationItem", "formatStringDefinition",
    "detailRowsDefinition", "defaultDetailRowsDefinition", "multipleOrEmptySelectionExpression",
    "noSelectionExpression", "tablePermission", "function", "linguisticMetadata", "annotation",
    "extendedProperty", "changedProperty",
}
_PARTITION_KINDS = _OTHER_SOURCES | {"calculated"}
# The objects that may have a formatStringDefinition.
_FORMATTED = {"measure", "calculationItem", "multipleOrEmptySelectionExpression", "noSelectionExpression"}


@dataclass
class _Node:
    """A TMDL object or property on the way from the file's top to the current
    line, and the formula kind its expression would be."""

    indent: int
    keyword: str
    name: str | None
    value: str | None
    dax: tuple[str, str | None, str] | None = None
    #: The model object it declares, when a Model is being read.
    declared: Any = None


class _TmdlReader:
    """Reads one TMDL file line by line. The objects that enclose the current
    line are kept on a stack by indentation, which is all the context a
    formula needs: its kind, table and name. Expression blocks are consumed
    whole where they start, so that no line of M, JSON or DAX is ever taken
    for a statement."""

    def __init__(self, file: Path, max_file_size: int = MAX_FILE_SIZE, sink: _ModelBuilder | None = None) -> None:
        self.file = str(file)
        self.objects = None if sink is None else _TmdlObjects(self.file, sink)
        text = _read_text(file, max_file_size)
        # A CRLF checkout ends each line with a carriage return that is no
        # part of the text.
        self.lines = [line[:-1] if line.endswith("\r") else line for line in text.split("\n")]

    def error(self, index: int, message: str, column: int | None = None) -> ModelError:
        if column is None and 0 <= index < len(self.lines):
            line = self.lines[index]
            column = len(line) - len(line.lstrip("\t")) + 1
        return ModelError(self.file, index + 1, message, column)

    def formulas(self) -> Iterator[Formula]:
        lines = self.lines
        stack: list[_Node] = []
        index = 0
        while index < len(lines):
            line = lines[index]
            content = line.lstrip("\t")
            indent = len(line) - len(content)
            if not content.strip() or content.startswith("///"):
                index += 1  # blank lines and descriptions
                continue
            while stack and stack[-1].indent >= indent:
                stack.pop()
            limit = stack[-1].indent + 1 if stack else 0
            if indent > limit:
                raise self.error(index, f"unexpected indentation: {indent} tabs where at most {limit} can stand"
                                 + self.indentation_advice(stack, indent))
            keyword, name, value, value_column = self.statement(index, content, indent, stack[-1] if stack else None)
            if keyword == "ref":
                index += 1  # `ref table X`: the order of objects, no content
                continue
            parent = stack[-1] if stack else None
            node = _Node(indent, keyword, name, value)
            node.dax = self.dax(index, node, parent, stack)
            stack.append(node)
            if self.objects is not None:
                self.objects.statement(index + 1, stack, content)
            declaration = index
            index += 1
            if value is None:
                continue
            depth = self.body_indent(index, node, parent)
            if value == _FENCE:
                form = "fenced"
                body, index = self.fenced(index, depth)
            elif value == "":
                form = "indented"
                body, index = self.indented(index, depth)
            else:
                form = "inline"
                body = [(value, declaration, value_column)]
            if node.dax is not None and keyword != "partition":
                formula = self.formula(node.dax, body, form, depth)
                if formula is not None:
                    yield formula

    def indentation_advice(self, stack: list[_Node], indent: int) -> str:
        """Why a line may be indented deeper than its place allows."""
        if stack and stack[-1].value not in (None, "", _FENCE) and indent >= stack[-1].indent + 2:
            node = stack[-1]
            return (f"; the formula of {node.keyword} {node.name or ''} starts on its `=` line, so it cannot go on"
                    " below: write the whole formula on the lines after the `=`").replace("  ", " ")
        return ""

    def statement(
        self, index: int, content: str, indent: int, parent: _Node | None = None
    ) -> tuple[str, str | None, str | None, int]:
        """Splits a line into keyword, name, and the text after `=` (None when
        there is no `=`) with its column. Property lines (`name: value`) and
        flags (`isHidden`) come back without a value: they hold no formula."""
        match = _KEYWORD.match(content)
        if match is None:
            raise self.error(index, self.misunderstood(content, indent, parent))
        keyword = match.group()
        pos = match.end()
        if keyword == "ref" or pos == len(content) or content[pos] == ":":
            return keyword, None, None, 0
        name = None
        if content[pos] in " \t":
            pos = len(content) - len(content[pos:].lstrip(" \t"))
            quoted = _QUOTED_NAME.match(content, pos)
            plain = _PLAIN_NAME.match(content, pos)
            if quoted:
                name, pos = quoted.group(1).replace("''", "'"), quoted.end()
            elif plain:
                name, pos = plain.group(), plain.end()
        assign = _ASSIGN.match(content, pos)
        if assign is None:
            if not content[pos:].strip() and (name is not None or pos == len(content)):
                return keyword, name, None, 0
            raise self.error(index, self.misunderstood(content, indent, parent))
        value = content[assign.end() :].rstrip(" \t")
        return keyword, name, value, indent + assign.end() + 1

    def misunderstood(self, content: str, indent: int, parent: _Node | None) -> str:
        """The message for a line that is no statement, saying what the format
        expects where the line suggests a usual mistake."""
        if content.startswith(" "):
            return (f"the line is indented with spaces after {indent} tabs: TMDL indents with tabs only"
                    f" ({content.strip()!r})")
        if parent is not None and parent.value == "" and indent == parent.indent + 1:
            depth = parent.indent + 2
            return (f"{content.strip()!r} reads as the formula of {parent.keyword} {parent.name or ''} but is indented"
                    f" like its properties ({indent} tabs): indent the lines of a formula {depth} tabs, one level"
                    " deeper than the properties").replace("  ", " ")
        return f"cannot understand the line: {content.strip()!r}"

    def dax(self, index: int, node: _Node, parent: _Node | None, stack: list[_Node]) -> tuple[str, str | None, str] | None:
        """(kind, table, name) of the formula `node` holds or would hold as an
        explicit `expression` property; None when it holds no DAX."""
        keyword, name = node.keyword, node.name or ""
        up = parent.keyword if parent else None
        grand = stack[-2] if len(stack) >= 2 else None
        has_expression = node.value is not None
        if keyword == "partition" and has_expression and node.value not in _PARTITION_KINDS:
            raise self.error(index, f"partition {name!r}: unknown source type {node.value!r}"
                             f" (expected one of {', '.join(sorted(_PARTITION_KINDS))})")
        if keyword in ("measure", "column"):
            if parent is not None and parent.keyword == "table":
                kind = "measure" if keyword == "measure" else "calculated column"
                return kind, parent.name, name
            if has_expression:
                raise self.error(index, f"{keyword} {name!r} with an expression outside a table")
            return None
        if parent is None:
            return ("function", None, name) if keyword == "function" else None
        if keyword == "source" and up == "partition":
            if parent.value == "calculated" and grand is not None:
                return "calculated table", grand.name, grand.name or ""
            return None
        if keyword == "calculationItem" and up == "calculationGroup" and grand is not None:
            return "calculation item", grand.name, name
        if keyword in ("multipleOrEmptySelectionExpression", "noSelectionExpression") and up == "calculationGroup":
            table = grand.name if grand is not None else None
            kind = dict(_CALCULATION_GROUP_EXPRESSIONS)[keyword]
            return kind, table, table or ""
        if keyword == "formatStringDefinition" and up in _FORMATTED and parent.dax is not None:
            return "format string definition", parent.dax[1], parent.name or parent.keyword
        if keyword == "detailRowsDefinition" and up == "measure" and parent.dax is not None:
            return "detail rows definition", parent.dax[1], parent.dax[2]
        if keyword == "defaultDetailRowsDefinition" and up == "table":
            return "detail rows definition", parent.name, parent.name or ""
        if keyword in dict(_KPI_EXPRESSIONS) and up == "kpi" and grand is not None and grand.dax is not None:
            return dict(_KPI_EXPRESSIONS)[keyword], grand.dax[1], grand.dax[2]
        if keyword == "tablePermission" and up == "role":
            return "row-level security filter", name, parent.name or ""
        # The default property written out as a property of its own.
        explicit = "filterExpression" if up == "tablePermission" else "expression"
        if keyword == explicit and node.name is None and parent.dax is not None and up != "partition":
            return parent.dax
        return None

    def body_indent(self, index: int, node: _Node, parent: _Node | None) -> int:
        """How deep the lines of the expression that `node` opens are indented."""
        if node.keyword in _PROPERTY_EXPRESSIONS and node.name is None:
            return node.indent + 1
        # A partition's `source =` is written both ways: its body one level
        # below (the format's documentation) or two, like an object's.
        flexible = node.keyword == "source" and parent is not None and parent.keyword == "partition"
        if not flexible and (node.keyword in _OBJECT_EXPRESSIONS or node.name is not None):
            return node.indent + 2
        # Otherwise (and for a statement this reader does not know, which
        # never holds DAX) the first line below tells whether the block starts
        # one level down.
        lines = self.lines
        for at in range(index, len(lines)):  # by index: a slice would copy the rest of the file each time
            line = lines[at]
            if line.strip():
                content = line.lstrip("\t")
                return node.indent + (1 if len(line) - len(content) == node.indent + 1 else 2)
        return node.indent + 2

    def indented(self, index: int, depth: int) -> tuple[list[tuple[str, int, int]], int]:
        """The lines from `index` on that are blank or indented at least
        `depth` tabs, without that indentation and without trailing blank
        lines, with their line indexes and columns; and where they end."""
        body = []
        lines = self.lines
        while index < len(lines):
            line = lines[index]
            tabs = len(line) - len(line.lstrip("\t"))
            if line.strip() and tabs < depth:
                break
            cut = min(tabs, depth)
            body.append((line[cut:], index, cut + 1))
            index += 1
        while body and not body[-1][0].strip():
            body.pop()
        return body, index

    def fenced(self, index: int, depth: int) -> tuple[list[tuple[str, int, int]], int]:
        """The lines from `index` to the closing ``` line, each without up to
        `depth` tabs of indentation; blank lines, even the last, are kept. And
        the index after the closing line."""
        start = index
        body: list[tuple[str, int, int]] = []
        lines = self.lines
        while index < len(lines):
            line = lines[index]
            if line.strip() == _FENCE:
                return body, index + 1
            tabs = len(line) - len(line.lstrip("\t"))
            cut = min(tabs, depth)
            body.append((line[cut:], index, cut + 1))
            index += 1
        raise self.error(start - 1, "``` block is never closed")

    def formula(
        self, dax: tuple[str, str | None, str], body: list[tuple[str, int, int]], form: str, depth: int
    ) -> Formula | None:
        text = "\n".join(line for line, _, _ in body)
        if not text.strip():
            return None  # an empty expression is no formula
        kind, table, name = dax
        line_map = tuple((index + 1, column) for _, index, column in body)
        exact = tuple(len(line) for line, _, _ in body)
        return Formula(self.file, table, name, kind, text, *line_map[0], line_map, exact, form, block_depth=depth)


def _read_tmdl(file: Path, context: _Context) -> Iterator[Formula]:
    yield from _TmdlReader(file, context.max_file_size, context.sink).formulas()


# --- the model's objects --------------------------------------------------------


def _key(name: str) -> str:
    """How names are compared: DAX and the model's tools ignore case."""
    return name.casefold()


def quote_table(name: str) -> str:
    """A table's name as DAX writes it: 'Sales', quotes doubled."""
    return "'" + name.replace("'", "''") + "'"


def bracket(name: str) -> str:
    """A column's or measure's name as DAX writes it: [Margin %], `]` doubled."""
    return "[" + name.replace("]", "]]") + "]"


@dataclass(eq=False)
class ModelObject:
    """Something a model declares, where it does so: `file`, and the 1-based
    `line` and `column` of its declaration (in a .bim file, of its name).
    Objects are compared by identity: each is one thing of one model."""

    name: str
    file: str
    line: int
    column: int
    #: The DAX formulas that belong to it: a measure's expression, format
    #: string, detail rows and KPI expressions; a calculated column's or
    #: table's expression; a role's filters; a function's text.
    formulas: list[Formula] = field(default_factory=list, repr=False)

    #: What it is, as reports name it.
    kind: ClassVar[str] = "object"

    @property
    def dax(self) -> str:
        """Its name in DAX notation, as `check` names formulas' objects."""
        return self.name


@dataclass(eq=False)
class TableObject(ModelObject):
    """Something declared in a table, named `'Table'[Name]` in DAX."""

    table: str = ""

    @property
    def dax(self) -> str:
        return quote_table(self.table) + bracket(self.name)


@dataclass(eq=False)
class Column(TableObject):
    """A column: "data" (from the source), "calculated" (a formula of its
    own) or "calculated table column" (made by its calculated table's formula).
    `sort_by` names the column of the same table it is sorted by."""

    type: str = "data"
    sort_by: str | None = None
    kind: ClassVar[str] = "column"


@dataclass(eq=False)
class Measure(TableObject):
    kind: ClassVar[str] = "measure"


@dataclass(eq=False)
class Level:
    """One level of a hierarchy and the column it shows."""

    name: str
    column: str


@dataclass(eq=False)
class Hierarchy(TableObject):
    levels: list[Level] = field(default_factory=list)
    kind: ClassVar[str] = "hierarchy"


@dataclass(eq=False)
class Partition(ModelObject):
    """A partition; `source` is its source type ("calculated", "m",
    "entity", "query", ...)."""

    table: str = ""
    source: str = ""
    kind: ClassVar[str] = "partition"


@dataclass(eq=False)
class CalculationItem(TableObject):
    kind: ClassVar[str] = "calculation item"


@dataclass(eq=False)
class Table(ModelObject):
    """A table with its columns, measures, hierarchies and partitions (by
    name, case ignored, in declaration order), and for a calculation group
    its items."""

    columns: dict[str, Column] = field(default_factory=dict, repr=False)
    measures: dict[str, Measure] = field(default_factory=dict, repr=False)
    hierarchies: dict[str, Hierarchy] = field(default_factory=dict, repr=False)
    partitions: list[Partition] = field(default_factory=list, repr=False)
    calculation_items: dict[str, CalculationItem] = field(default_factory=dict, repr=False)
    calculation_group: bool = False
    kind: ClassVar[str] = "table"

    @property
    def dax(self) -> str:
        return quote_table(self.name)

    @property
    def calculated(self) -> bool:
        """Whether a DAX formula makes the table (a calculated partition)."""
        return any(partition.source == "calculated" for partition in self.partitions)


@dataclass(eq=False)
class Relationship(ModelObject):
    """A relationship from a column (the many side, as a rule) to another;
    an inactive one is used only where USERELATIONSHIP names it."""

    from_table: str = ""
    from_column: str = ""
    to_table: str = ""
    to_column: str = ""
    active: bool = True
    kind: ClassVar[str] = "relationship"

    @property
    def dax(self) -> str:
        ends = quote_table(self.from_table) + bracket(self.from_column)
        return f"relationship {ends} -> {quote_table(self.to_table)}{bracket(self.to_column)}"


@dataclass(eq=False)
class Role(ModelObject):
    """A security role; `tables` are those its row filters are on."""

    tables: list[str] = field(default_factory=list)
    kind: ClassVar[str] = "role"

    @property
    def dax(self) -> str:
        return "role " + quote_table(self.name)


@dataclass(eq=False)
class Function(ModelObject):
    """A user-defined function of the model."""

    kind: ClassVar[str] = "function"


@dataclass
class Model:
    """A tabular model read whole: its tables (by name, case ignored),
    relationships, roles and functions, every DAX formula in file order, and
    each formula's owner (`owner`). Read with `load_model`."""

    path: str
    tables: dict[str, Table] = field(default_factory=dict)
    relationships: list[Relationship] = field(default_factory=list)
    roles: dict[str, Role] = field(default_factory=dict)
    functions: dict[str, Function] = field(default_factory=dict)
    formulas: list[Formula] = field(default_factory=list)
    _owners: dict[int, ModelObject] = field(default_factory=dict, repr=False)
    _measures: dict[str, Measure] = field(default_factory=dict, repr=False)

    def table(self, name: str) -> Table | None:
        return self.tables.get(_key(name))

    def column(self, table: str, name: str) -> Column | None:
        found = self.tables.get(_key(table))
        return None if found is None else found.columns.get(_key(name))

    def measure(self, name: str) -> Measure | None:
        """The measure of that name, in whichever table: measure names are
        unique in a model."""
        return self._measures.get(_key(name))

    def function(self, name: str) -> Function | None:
        return self.functions.get(_key(name))

    def owner(self, formula: Formula) -> ModelObject | None:
        """The object a formula of this model belongs to: the measure of its
        format string, the table of its calculated partition, the role of a
        row filter; None for a formula that is not this model's."""
        return self._owners.get(id(formula))

    def revised(self, formula: Formula, text: str) -> Formula:
        """`formula` of this model with a new `text` (a fix being tried),
        belonging to the same object. Where it sits in its file is the old
        text's: the file itself is not changed."""
        revised = dataclasses.replace(formula, text=text)
        owner = self._owners.get(id(formula))
        if owner is not None:
            self._owners[id(revised)] = owner
            # Owners are kept by the formula's id: forgotten with the formula,
            # before another object can take its id.
            weakref.finalize(revised, self._owners.pop, id(revised), None)
        return revised

    def objects(self) -> Iterator[ModelObject]:
        """Every table, column, measure, hierarchy, calculation item,
        relationship, role and function, in declaration order."""
        for table in self.tables.values():
            yield table
            yield from table.columns.values()
            yield from table.measures.values()
            yield from table.hierarchies.values()
            yield from table.calculation_items.values()
        yield from self.relationships
        yield from self.roles.values()
        yield from self.functions.values()


def load_model(
    path: str | os.PathLike[str],
    errors: list[ModelError] | None = None,
    warnings: list[ModelWarning] | None = None,
    *,
    max_file_size: int = MAX_FILE_SIZE,
) -> Model:
    """Reads the model at `path` (as `read_model` finds it) whole: its objects
    and its formulas. Errors and warnings as for `read_model`: raised, or
    collected in lists, in which case the model holds what could be read."""
    builder = _ModelBuilder(str(path))
    formulas = list(_read(path, errors, warnings, max_file_size, builder))
    return builder.finish(formulas)


class _ModelBuilder:
    """Collects the objects the readers meet, in the order they meet them."""

    def __init__(self, path: str) -> None:
        self.model = Model(path)

    def table(self, name: str, file: str, line: int, column: int) -> Table:
        tables = self.model.tables
        # A table met twice (a script that repeats it) keeps its first place.
        found = tables.get(_key(name))
        if found is None:
            found = tables[_key(name)] = Table(name, file, line, column)
        return found

    def role(self, name: str, file: str, line: int, column: int) -> Role:
        return self.model.roles.setdefault(_key(name), Role(name, file, line, column))

    def finish(self, formulas: list[Formula]) -> Model:
        model = self.model
        model.formulas = formulas
        for table in model.tables.values():
            if table.calculated:
                for column in table.columns.values():
                    if column.type == "data":
                        column.type = "calculated table column"
            for measure in table.measures.values():
                model._measures.setdefault(_key(measure.name), measure)
        for formula in formulas:
            owner = self.owner(formula)
            if owner is not None:
                model._owners[id(formula)] = owner
                owner.formulas.append(formula)
        return model

    def owner(self, formula: Formula) -> ModelObject | None:
        model = self.model
        kind, name = formula.kind, formula.name
        if kind == "function":
            return model.function(name)
        if kind == "row-level security filter":
            return model.roles.get(_key(name))
        table = model.table(formula.table or "")
        if table is None:
            return None
        key = _key(name)
        if kind == "calculated column":
            return table.columns.get(key)
        if kind == "calculation item":
            return table.calculation_items.get(key)
        if kind in ("calculated table", "multiple or empty selection expression", "no selection expression"):
            return table
        # Format strings, detail rows, KPIs: of a measure, a calculation item,
        # or (a table's default detail rows, a calculation group's
        # selection expressions) of the table.
        return table.measures.get(key) or table.calculation_items.get(key) or table


def _position(json_reader: JsonReader, value: Any, owner: Any) -> tuple[int, int]:
    """Where a .bim object is: at its name when that has a position, else at
    its opening brace."""
    start: int | None = getattr(value, "start", None)
    return json_reader.position(getattr(owner, "start", 0) if start is None else start)


class _BimObjects:
    """The objects of a TMSL document, through the reader's own checks."""

    def __init__(self, reader: _BimReader, sink: _ModelBuilder) -> None:
        self.reader = reader
        self.sink = sink
        self.file = reader.file

    def place(self, owner: dict[str, Any]) -> tuple[str, int, int]:
        return (self.file, *_position(self.reader.json, owner.get("name"), owner))

    def text(self, owner: dict[str, Any], key: str) -> str | None:
        value = owner.get(key)
        return value if isinstance(value, str) else None

    def database(self, root: Any) -> None:
        reader = self.reader
        model = reader.model(root)
        for table in reader.objects(model, "tables"):
            self.table(table)
        for relationship in reader.objects(model, "relationships"):
            ends = [self.text(relationship, key) or "" for key in ("fromTable", "fromColumn", "toTable", "toColumn")]
            self.sink.model.relationships.append(Relationship(
                reader.name(relationship), *self.place(relationship), from_table=ends[0], from_column=ends[1],
                to_table=ends[2], to_column=ends[3], active=relationship.get("isActive") is not False,
            ))
        for role in reader.objects(model, "roles"):
            found = self.sink.role(reader.name(role), *self.place(role))
            for permission in reader.objects(role, "tablePermissions"):
                if permission.get("filterExpression") not in (None, "", []):
                    found.tables.append(reader.name(permission))
        for function in reader.objects(model, "functions"):
            name = reader.name(function)
            self.sink.model.functions.setdefault(_key(name), Function(name, *self.place(function)))

    def table(self, table: dict[str, Any]) -> None:
        reader = self.reader
        name = reader.name(table)
        found = self.sink.table(name, *self.place(table))
        for column in reader.objects(table, "columns"):
            column_name = reader.name(column)
            column_type = self.text(column, "type") or "data"
            if column_type == "calculatedTableColumn":
                column_type = "calculated table column"
            found.columns.setdefault(_key(column_name), Column(
                column_name, *self.place(column), table=name, type=column_type,
                sort_by=self.text(column, "sortByColumn"),
            ))
        for measure in reader.objects(table, "measures"):
            measure_name = reader.name(measure)
            found.measures.setdefault(_key(measure_name), Measure(measure_name, *self.place(measure), table=name))
        for hierarchy in reader.objects(table, "hierarchies"):
            hierarchy_name = reader.name(hierarchy)
            levels = [Level(reader.name(level), self.text(level, "column") or "")
                      for level in reader.objects(hierarchy, "levels")]
            found.hierarchies.setdefault(_key(hierarchy_name), Hierarchy(
                hierarchy_name, *self.place(hierarchy), table=name, levels=levels))
        for partition in reader.objects(table, "partitions"):
            source = reader.object(partition, "source") or {}
            source_type = source.get("type") or "query"
            found.partitions.append(Partition(reader.name(partition), *self.place(partition), table=name,
                                              source=source_type if isinstance(source_type, str) else ""))
        group = reader.object(table, "calculationGroup")
        if group is not None:
            found.calculation_group = True
            for item in reader.objects(group, "calculationItems"):
                item_name = reader.name(item)
                found.calculation_items.setdefault(_key(item_name), CalculationItem(
                    item_name, *self.place(item), table=name))


_TMDL_QUOTED = re.compile(r"'((?:[^']|'')*)'")


def _tmdl_name(text: str) -> str:
    """A name as a TMDL property gives it, quoted or not."""
    text = text.strip()
    quoted = _TMDL_QUOTED.fullmatch(text)
    return quoted.group(1).replace("''", "'") if quoted else text


def _tmdl_column(text: str) -> tuple[str, str]:
    """(table, column) of a TMDL `Table.Column` value, either part quoted."""
    text = text.strip()
    quoted = _TMDL_QUOTED.match(text)
    if quoted is not None:
        table, rest = quoted.group(1).replace("''", "'"), text[quoted.end():]
    else:
        table, dot, after = text.partition(".")
        rest = dot + after
    return table, _tmdl_name(rest[1:]) if rest.startswith(".") else ""


class _TmdlObjects:
    """The objects of a TMDL file, from the statements its reader meets: an
    object's declaration line, then its property lines below it."""

    def __init__(self, file: str, sink: _ModelBuilder) -> None:
        self.file = file
        self.sink = sink

    def statement(self, line: int, stack: list[_Node], content: str) -> None:
        node = stack[-1]
        parent = stack[-2] if len(stack) >= 2 else None
        keyword, name = node.keyword, node.name
        place = (self.file, line, node.indent + 1)
        owner = parent.declared if parent is not None else None
        if name is not None:
            if parent is None:
                node.declared = self.top(keyword, name, place)
            elif keyword == "calculationItem" and parent.keyword == "calculationGroup":
                if isinstance(owner, Table):
                    node.declared = owner.calculation_items.setdefault(
                        _key(name), CalculationItem(name, *place, table=owner.name))
            elif isinstance(owner, Table):
                node.declared = self.in_table(owner, keyword, name, node.value, place)
            elif isinstance(owner, Hierarchy) and keyword == "level":
                node.declared = Level(name, "")
                owner.levels.append(node.declared)
            elif isinstance(owner, Role) and keyword == "tablePermission":
                owner.tables.append(name)
        elif keyword == "calculationGroup" and isinstance(owner, Table):
            owner.calculation_group = True
            node.declared = owner
        elif content[len(keyword):len(keyword) + 1] == ":" and owner is not None:
            self.property(owner, keyword, content[len(keyword) + 1:].strip())

    def top(self, keyword: str, name: str, place: tuple[str, int, int]) -> Any:
        model = self.sink.model
        if keyword == "table":
            return self.sink.table(name, *place)
        if keyword == "relationship":
            relationship = Relationship(name, *place)
            model.relationships.append(relationship)
            return relationship
        if keyword == "role":
            return self.sink.role(name, *place)
        if keyword == "function":
            return model.functions.setdefault(_key(name), Function(name, *place))
        return None

    def in_table(self, table: Table, keyword: str, name: str, value: str | None,
                 place: tuple[str, int, int]) -> Any:
        key = _key(name)
        if keyword == "column":
            return table.columns.setdefault(key, Column(
                name, *place, table=table.name, type="data" if value is None else "calculated"))
        if keyword == "measure":
            return table.measures.setdefault(key, Measure(name, *place, table=table.name))
        if keyword == "hierarchy":
            return table.hierarchies.setdefault(key, Hierarchy(name, *place, table=table.name))
        if keyword == "partition":
            partition = Partition(name, *place, table=table.name, source=value or "")
            table.partitions.append(partition)
            return partition
        return None

    def property(self, owner: Any, key: str, value: str) -> None:
        if isinstance(owner, Column) and key == "sortByColumn":
            owner.sort_by = _tmdl_name(value)
        elif isinstance(owner, Level) and key == "column":
            owner.column = _tmdl_name(value)
        elif isinstance(owner, Relationship):
            if key in ("fromColumn", "toColumn"):
                table, column = _tmdl_column(value)
                if key == "fromColumn":
                    owner.from_table, owner.from_column = table, column
                else:
                    owner.to_table, owner.to_column = table, column
            elif key == "isActive":
                owner.active = value.lower() != "false"
