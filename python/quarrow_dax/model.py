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

A model that cannot be read raises `ModelError` naming the file and, where
known, the line; give `read_model` a list as ``errors`` to collect those
instead and carry on with the model's other files.
"""

from __future__ import annotations

import bisect
import json
import os
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterator

from ._native import parse_expression, parse_query

__all__ = ["KINDS", "Formula", "ModelError", "find_models", "parse_formula", "read_model"]

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


class ModelError(Exception):
    """A model file that cannot be read: `file`, `line` (1-based, or None when
    the fault is not on one line) and `message`."""

    def __init__(self, file: str, line: int | None, message: str) -> None:
        super().__init__(file, line, message)
        self.file = file
        self.line = line
        self.message = message

    def __str__(self) -> str:
        where = self.file if self.line is None else f"{self.file}:{self.line}"
        return f"{where}: {self.message}"


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
# expression: it only parses as the right-hand side of a FUNCTION definition.
_FUNCTION_PREFIX = "DEFINE FUNCTION f = "
_FUNCTION_SUFFIX = "\nEVALUATE {1}"
# The JSON the module writes around that one definition; cutting it off leaves
# the definition itself.
_QUERY_HEAD = '{"define":{"defs":['
_QUERY_TAIL = (
    ']},"evaluates":[{"expr":{"TableConstructor":[[{"Number":"1"}]]},'
    '"order_by":[],"start_at":null}]}'
)
_DEFINITION_HEAD = '{"Function":{"doc":null,"name":"f",'


_MISSING_STATEMENT = "expected at least one EVALUATE statement"


def parse_formula(formula: Formula) -> str:
    """Parses `formula` as its kind requires and returns the compact JSON text.

    A function's text, ``(parameters) => body``, is parsed as the right-hand
    side of ``DEFINE FUNCTION`` in a query, and the JSON of that one
    definition, under the function's own name, is returned; any other kind is
    parsed with `parse_expression`. A lexical or syntax error raises ValueError shaped
    like the module's own ("parse error: <message> at S..E"), its byte span
    always inside the UTF-8 form of `formula.text`."""
    if formula.kind != "function":
        return parse_expression(formula.text)
    # Without a statement after it, a complete function can only fail for the
    # missing EVALUATE, at the very end; any other error is the function's own.
    # (With the statement appended first, a body ending in a dangling operator
    # would read on into it and be reported there.)
    definition_only = _FUNCTION_PREFIX + formula.text
    try:
        parse_query(definition_only)
    except ValueError as error:
        end = len(definition_only.encode("utf-8"))
        if str(error) != f"parse error: {_MISSING_STATEMENT} at {end}..{end}":
            raise _shift_error(error, len(_FUNCTION_PREFIX.encode("utf-8")), formula.text) from None
    result = parse_query(definition_only + _FUNCTION_SUFFIX)
    if not (result.startswith(_QUERY_HEAD) and result.endswith(_QUERY_TAIL)):
        return result  # a writer that changed shape: the whole query is still correct JSON
    definition = result[len(_QUERY_HEAD) : -len(_QUERY_TAIL)]
    if definition.startswith(_DEFINITION_HEAD):
        name = json.dumps(formula.name, ensure_ascii=False)
        definition = '{"Function":{"doc":null,"name":' + name + "," + definition[len(_DEFINITION_HEAD) :]
    return definition


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
        (path / "model.tmdl").is_file()
        or (path / "database.tmdl").is_file()
        or (path.name == "definition" and (path / "tables").is_dir())
    )


def find_models(path: str | os.PathLike[str]) -> Iterator[Path]:
    """Yields every model under `path`, in name order: each ``*.bim`` file and
    each TMDL folder (one holding ``model.tmdl`` or ``database.tmdl``, or named
    ``definition`` with a ``tables`` folder). A TMDL folder is not searched
    further; hidden folders (``.git``) are skipped. `path` may itself be a
    model file or folder."""
    root = Path(path)
    if root.is_file():
        if root.suffix.lower() == ".bim":
            yield root
        return
    if _is_tmdl_folder(root):
        yield root
        return
    for folder, subfolders, files in os.walk(root):
        here = Path(folder)
        models = [here / name for name in files if name.lower().endswith(".bim")]
        descend = []
        for name in sorted(subfolders):
            if name.startswith("."):
                continue
            if _is_tmdl_folder(here / name):
                models.append(here / name)  # a model: its subfolders are its own
            else:
                descend.append(name)
        yield from sorted(models)
        subfolders[:] = descend


def read_model(path: str | os.PathLike[str], errors: list[ModelError] | None = None) -> Iterator[Formula]:
    """Yields every DAX formula of the model at `path`, in file order.

    `path` is a ``*.bim`` file, a TMDL folder, a folder holding one (a
    ``*.SemanticModel`` folder with ``definition/``) or one ``*.bim`` file, or
    a single ``*.tmdl`` file. A file that cannot be read raises `ModelError`;
    when `errors` is a list the error is appended to it instead and reading
    goes on with the model's next file (the formulas before the fault in that
    file have been yielded already)."""
    try:
        files, reader = _model_files(Path(path))
    except ModelError as error:
        if errors is None:
            raise
        errors.append(error)
        return
    for file in files:
        try:
            yield from reader(file)
        except ModelError as error:
            if errors is None:
                raise
            errors.append(error)


def _model_files(path: Path) -> tuple[list[Path], Any]:
    """The files to read for the model at `path` and the reader for them."""
    if path.is_file():
        suffix = path.suffix.lower()
        if suffix == ".bim":
            return [path], _read_bim
        if suffix == ".tmdl":
            return [path], _read_tmdl
        raise ModelError(str(path), None, "not a model file (expected *.bim or *.tmdl)")
    if not path.is_dir():
        raise ModelError(str(path), None, "no such file or folder")
    if not _is_tmdl_folder(path) and _is_tmdl_folder(path / "definition"):
        path = path / "definition"
    if _is_tmdl_folder(path):
        # Model-wide files first, then tables/, roles/, cultures/ ... each in name order.
        files = sorted(path.rglob("*.tmdl"), key=lambda file: (len(file.relative_to(path).parts), str(file)))
        return files, _read_tmdl
    bims = sorted(path.glob("*.bim"))
    if len(bims) == 1:
        return bims, _read_bim
    found = "several *.bim files" if bims else "no *.bim file and no TMDL definition folder"
    raise ModelError(str(path), None, f"not a model folder: {found}")


def _read_text(file: Path) -> str:
    """The file's text, without a byte-order mark."""
    try:
        data = file.read_bytes()
    except OSError as error:
        raise ModelError(str(file), None, f"cannot read the file: {error.strerror or error}") from None
    if data.startswith((b"\xff\xfe", b"\xfe\xff")):
        try:
            return data.decode("utf-16")  # what some older tools save .bim files as
        except UnicodeDecodeError:
            raise ModelError(str(file), None, "not valid UTF-16 text") from None
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise ModelError(str(file), line, "not valid UTF-8 text") from None


# --- TMSL (.bim) --------------------------------------------------------------


class _JsonString(str):
    """A decoded JSON string that remembers where its token is in the file
    (offsets of the opening and past the closing quote)."""

    start: int
    end: int


class _JsonObject(dict[str, Any]):
    start: int


class _JsonArray(list[Any]):
    start: int


_WHITE = re.compile(r"[ \t\r\n]*")
_STRING = re.compile(r'"[^"\\\x00-\x1f]*(?:\\.[^"\\\x00-\x1f]*)*"', re.DOTALL)
_NUMBER = re.compile(r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?")
_ESCAPE = re.compile(r"\\(?:u[0-9a-fA-F]{4}|.)", re.DOTALL)
_SURROGATE = re.compile("[\ud800-\udfff]")
_LITERALS = {"true": True, "false": False, "null": None}
# Deeper than any model nests, shallow enough for Python's own stack.
_MAX_DEPTH = 500


def _skip_white(text: str, pos: int) -> int:
    match = _WHITE.match(text, pos)
    return match.end() if match else pos


class _Json:
    """A JSON reader that keeps the position of every string, object and
    array, which the standard json module drops. Strings are decoded by
    json.loads, one token at a time."""

    def __init__(self, text: str, file: str) -> None:
        self.text = text
        self.file = file
        self.line_starts = [0] + [match.end() for match in re.finditer("\n", text)]

    def position(self, offset: int) -> tuple[int, int]:
        line = bisect.bisect_right(self.line_starts, offset)
        return line, offset - self.line_starts[line - 1] + 1

    def error(self, offset: int, message: str) -> ModelError:
        return ModelError(self.file, self.position(offset)[0], message)

    def document(self) -> Any:
        value, end = self.value(_skip_white(self.text, 0), 0)
        end = _skip_white(self.text, end)
        if end != len(self.text):
            raise self.error(end, "invalid JSON: text after the end of the document")
        return value

    def value(self, pos: int, depth: int) -> tuple[Any, int]:
        text = self.text
        if depth > _MAX_DEPTH:
            raise self.error(pos, "invalid JSON: nested too deeply")
        char = text[pos : pos + 1]
        if char == '"':
            return self.string(pos)
        if char == "{":
            result: Any = _JsonObject()
            result.start = pos
            pos = _skip_white(text, pos + 1)
            if text.startswith("}", pos):
                return result, pos + 1
            while True:
                if not text.startswith('"', pos):
                    raise self.error(pos, "invalid JSON: expected a property name in double quotes")
                key, pos = self.string(pos)
                pos = _skip_white(text, pos)
                if not text.startswith(":", pos):
                    raise self.error(pos, "invalid JSON: expected ':' after a property name")
                pos = _skip_white(text, pos + 1)
                result[str(key)], pos = self.value(pos, depth + 1)
                pos = _skip_white(text, pos)
                if text.startswith(",", pos):
                    pos = _skip_white(text, pos + 1)
                elif text.startswith("}", pos):
                    return result, pos + 1
                else:
                    raise self.error(pos, "invalid JSON: expected ',' or '}' in an object")
        if char == "[":
            result = _JsonArray()
            result.start = pos
            pos = _skip_white(text, pos + 1)
            if text.startswith("]", pos):
                return result, pos + 1
            while True:
                item, pos = self.value(pos, depth + 1)
                result.append(item)
                pos = _skip_white(text, pos)
                if text.startswith(",", pos):
                    pos = _skip_white(text, pos + 1)
                elif text.startswith("]", pos):
                    return result, pos + 1
                else:
                    raise self.error(pos, "invalid JSON: expected ',' or ']' in an array")
        match = _NUMBER.match(text, pos)
        if match:
            return json.loads(match.group()), match.end()
        for word, literal in _LITERALS.items():
            if text.startswith(word, pos):
                return literal, pos + len(word)
        if pos >= len(text):
            raise self.error(pos, "invalid JSON: unexpected end of the file")
        raise self.error(pos, f"invalid JSON: unexpected character {text[pos]!r}")

    def string(self, pos: int) -> tuple[_JsonString, int]:
        match = _STRING.match(self.text, pos)
        if match is None:
            raise self.error(pos, "invalid JSON: unterminated string or a control character in it")
        raw = match.group()
        if "\\" not in raw:
            # Most strings (names, types, keys) have no escape: the text between
            # the quotes is the value, and json.loads would only cost time.
            result = _JsonString(raw[1:-1])
        else:
            try:
                result = _JsonString(json.loads(raw))
            except json.JSONDecodeError as error:
                raise self.error(pos + error.pos, f"invalid JSON: {error.msg}") from None
            # An escaped lone surrogate decodes, but no UTF-8 text (what the
            # parser reads and a report prints) can hold it.
            if "\\u" in raw and _SURROGATE.search(result):
                raise self.error(pos, "invalid JSON: a string holds an unpaired surrogate escape")
        result.start, result.end = pos, match.end()
        return result, match.end()

    def string_lines(self, value: _JsonString) -> list[tuple[int, int, int]]:
        """(file line, file column, exact characters) for each line of a
        decoded string: a line begins after the opening quote or after an
        escaped line feed, and maps one to one up to its first escape."""
        lines = []
        line_start = pos = value.start + 1
        length = 0
        exact = None
        for match in _ESCAPE.finditer(self.text, pos, value.end - 1):
            length += match.start() - pos
            if exact is None:
                exact = length
            if match.group() in ("\\n", "\\u000a", "\\u000A"):
                lines.append((*self.position(line_start), exact))
                line_start, length, exact = match.end(), 0, None
            pos = match.end()
        length += value.end - 1 - pos
        lines.append((*self.position(line_start), length if exact is None else exact))
        return lines


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


def _read_bim(file: Path) -> Iterator[Formula]:
    reader = _BimReader(_Json(_read_text(file), str(file)))
    root = reader.json.document()
    yield from reader.database(root)


class _BimReader:
    def __init__(self, json_reader: _Json) -> None:
        self.json = json_reader

    def error(self, value: Any, message: str) -> ModelError:
        offset = getattr(value, "start", None)
        line = None if offset is None else self.json.position(offset)[0]
        return ModelError(self.json.file, line, message)

    def database(self, root: Any) -> Iterator[Formula]:
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
            source_type = source.get("type")
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
            raise self.error(owner, '"name" is not a string')
        return name

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
        # Every string the JSON reader returns is a _JsonString.
        parts = [part for part in elements if isinstance(part, _JsonString)]
        if len(parts) != len(elements):
            raise self.error(value if hasattr(value, "start") else owner,
                             f'"{key}" of {kind} {name!r} is not a string or an array of strings')
        text = "\n".join(parts)
        if not text.strip():
            return
        places = [place for part in parts for place in self.json.string_lines(part)]
        line_map = tuple((line, column) for line, column, _ in places)
        exact = tuple(count for _, _, count in places)
        yield Formula(self.json.file, table, name, kind, text, *line_map[0], line_map, exact)


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


class _TmdlReader:
    """Reads one TMDL file line by line. The objects that enclose the current
    line are kept on a stack by indentation, which is all the context a
    formula needs: its kind, table and name. Expression blocks are consumed
    whole where they start, so that no line of M, JSON or DAX is ever taken
    for a statement."""

    def __init__(self, file: Path) -> None:
        self.file = str(file)
        text = _read_text(file)
        # A CRLF checkout ends each line with a carriage return that is no
        # part of the text.
        self.lines = [line[:-1] if line.endswith("\r") else line for line in text.split("\n")]

    def error(self, index: int, message: str) -> ModelError:
        return ModelError(self.file, index + 1, message)

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
                raise self.error(index, f"unexpected indentation: {indent} tabs where at most {limit} can stand")
            keyword, name, value, value_column = self.statement(index, content, indent)
            if keyword == "ref":
                index += 1  # `ref table X`: the order of objects, no content
                continue
            parent = stack[-1] if stack else None
            node = _Node(indent, keyword, name, value)
            node.dax = self.dax(index, node, parent, stack)
            stack.append(node)
            declaration = index
            index += 1
            if value is None:
                continue
            if value == _FENCE:
                body, index = self.fenced(index, self.body_indent(index, node))
            elif value == "":
                body, index = self.indented(index, self.body_indent(index, node))
            else:
                body = [(value, declaration, value_column)]
            if node.dax is not None and keyword != "partition":
                formula = self.formula(node.dax, body)
                if formula is not None:
                    yield formula

    def statement(self, index: int, content: str, indent: int) -> tuple[str, str | None, str | None, int]:
        """Splits a line into keyword, name, and the text after `=` (None when
        there is no `=`) with its column. Property lines (`name: value`) and
        flags (`isHidden`) come back without a value: they hold no formula."""
        match = _KEYWORD.match(content)
        if match is None:
            raise self.error(index, f"cannot understand the line: {content.strip()!r}")
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
            raise self.error(index, f"cannot understand the line: {content.strip()!r}")
        value = content[assign.end() :].rstrip(" \t")
        return keyword, name, value, indent + assign.end() + 1

    def dax(self, index: int, node: _Node, parent: _Node | None, stack: list[_Node]) -> tuple[str, str | None, str] | None:
        """(kind, table, name) of the formula `node` holds or would hold as an
        explicit `expression` property; None when it holds no DAX."""
        keyword, name = node.keyword, node.name or ""
        up = parent.keyword if parent else None
        grand = stack[-2] if len(stack) >= 2 else None
        has_expression = node.value is not None
        if keyword == "partition" and has_expression and node.value not in _PARTITION_KINDS:
            raise self.error(index, f"partition {name!r}: unknown source type {node.value!r}")
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

    def body_indent(self, index: int, node: _Node) -> int:
        """How deep the lines of the expression that `node` opens are indented."""
        if node.keyword in _PROPERTY_EXPRESSIONS and node.name is None:
            return node.indent + 1
        if node.keyword in _OBJECT_EXPRESSIONS or node.name is not None:
            return node.indent + 2
        # A statement this reader does not know, which never holds DAX: the
        # first line below it tells whether its block starts one level down.
        for line in self.lines[index:]:
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

    def formula(self, dax: tuple[str, str | None, str], body: list[tuple[str, int, int]]) -> Formula | None:
        text = "\n".join(line for line, _, _ in body)
        if not text.strip():
            return None  # an empty expression is no formula
        kind, table, name = dax
        line_map = tuple((index + 1, column) for _, index, column in body)
        exact = tuple(len(line) for line, _, _ in body)
        return Formula(self.file, table, name, kind, text, *line_map[0], line_map, exact)


def _read_tmdl(file: Path) -> Iterator[Formula]:
    yield from _TmdlReader(file).formulas()
