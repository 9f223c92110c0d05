"""Many DAX texts at once: checked, their references read, or linted, with
the results as one pyarrow Table.

    from quarrow_dax import batch

    table = batch.check(["SUM ( Sales[Amount] )", "1 +", None])
    table.to_pylist()[1]
    # {'index': 1, 'ok': False, 'code': 'E002', 'message': 'expected an expression',
    #  'line': 1, 'column': 4}

The texts are a list (or any iterable) of str, a pandas Series or a pyarrow
string array (chunked or not); None, NaN and Arrow nulls are no text and give
null results. The work crosses the Python boundary once per call: the texts
go to the native parser as Arrow buffers, threads parse them with the
interpreter's lock released (`threads`, default one per processor), and the
columns come back as buffers; no Python object is made per text.

`check` gives one row per text: `index` (its place in `texts`), `ok`, and
for a text that does not parse `code` ("E001" lexical, "E002" syntax),
`message`, `line` and `column` (1-based, columns in characters), exactly as
`quarrow_dax.syntax.first_error` and `quarrow-dax check` report the text's
first error. `references` gives one row per reference (see
`quarrow_dax.references`); a text that does not parse gives none (`check`
says which). `lint` gives one row per finding of the lint rules: the texts
are parsed in bulk natively, then the rules, which are Python, run on each
tree in turn; a text that does not parse gives its error as a finding, as
`quarrow-dax lint` reports it.

Needs pyarrow (and pandas for Series): ``pip install 'quarrow-dax[arrow]'``.
"""

from __future__ import annotations

import importlib
import os
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any, Literal

from . import _syntax
from .references import KINDS as REFERENCE_KINDS
from .syntax.parsing import Grammar, Separators, _options

if TYPE_CHECKING:
    from .lint import LintConfig

__all__ = ["CHECK_COLUMNS", "LINT_COLUMNS", "REFERENCE_COLUMNS", "TextKind", "check", "lint", "references"]

TextKind = Literal["expression", "query", "function"]
_KINDS = {"expression": 0, "query": 1, "function": 2}

#: The columns of each result, in order.
CHECK_COLUMNS = ("index", "ok", "code", "message", "line", "column")
REFERENCE_COLUMNS = (
    "index", "kind", "name", "table", "levels", "function", "argument", "parent", "target", "start", "end", "line",
    "column",
)
LINT_COLUMNS = (
    "index", "code", "severity", "kind", "message", "line", "column", "end_line", "end_column", "start", "end", "hint",
)

# Texts linted per native call: their trees are alive together.
_LINT_BATCH = 2048
# Strings longer than this in all take 64-bit offsets (Arrow's large_string).
_NARROW_LIMIT = (1 << 31) - 1


def _pyarrow() -> Any:
    try:
        pyarrow = importlib.import_module("pyarrow")
        importlib.import_module("pyarrow.compute")
    except ImportError:
        raise ImportError(
            "quarrow_dax.batch needs pyarrow: pip install 'quarrow-dax[arrow]' (or pip install pyarrow)"
        ) from None
    return pyarrow


def _threads(threads: int | None) -> int:
    if threads is None:
        return os.cpu_count() or 1
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads must be a whole number of 1 or more, or None, not {threads!r}")
    return threads


def _kind(kind: str) -> int:
    if kind not in _KINDS:
        raise ValueError(f"kind must be 'expression', 'query' or 'function', not {kind!r}")
    return _KINDS[kind]


def _first_bad_item(items: list[Any]) -> str:
    for position, item in enumerate(items):
        if item is not None and not isinstance(item, str):
            return f"texts[{position}] is a {type(item).__name__}, not a str"
        if isinstance(item, str):
            try:
                item.encode("utf-8")
            except UnicodeEncodeError as error:
                return f"texts[{position}] cannot be read as UTF-8: {error.reason} at character {error.start}"
    return "the texts are not all str or None"


def _as_chunks(texts: Any) -> list[Any]:
    """The texts as Arrow string arrays (one per chunk)."""
    pa = _pyarrow()
    if isinstance(texts, str):
        raise TypeError("texts must be a list of texts, a pandas Series or a pyarrow array, not one str")
    if isinstance(texts, pa.ChunkedArray):
        chunks = list(texts.chunks)
    elif isinstance(texts, pa.Array):
        chunks = [texts]
    elif type(texts).__module__.startswith("pandas") and hasattr(texts, "to_numpy"):
        try:
            chunks = [pa.Array.from_pandas(texts, type=pa.large_string())]
        except (pa.ArrowInvalid, pa.ArrowTypeError, UnicodeEncodeError):
            raise TypeError(_first_bad_item(list(texts))) from None
    else:
        items = texts if isinstance(texts, list) else list(texts)
        try:
            chunks = [pa.array(items, type=pa.large_string())]
        except (pa.ArrowInvalid, pa.ArrowTypeError, UnicodeEncodeError):
            raise TypeError(_first_bad_item(items)) from None
    for position, chunk in enumerate(chunks):
        if pa.types.is_string(chunk.type) or pa.types.is_large_string(chunk.type):
            continue
        if pa.types.is_null(chunk.type) or pa.types.is_string_view(chunk.type):
            chunks[position] = chunk.cast(pa.large_string())
            continue
        raise TypeError(f"texts must be strings, not an Arrow array of {chunk.type}")
    return chunks


def _buffers(chunk: Any) -> tuple[Any, bool, Any, Any, int, int]:
    """(offsets, wide, data, validity, first, length) of an Arrow string array."""
    pa = _pyarrow()
    validity, offsets, data = chunk.buffers()
    wide = pa.types.is_large_string(chunk.type)
    if data is None:
        data = b""
    if offsets is None:
        offsets = b"\0" * (8 if wide else 4) * (len(chunk) + chunk.offset + 1)
    return offsets, wide, data, validity if chunk.null_count else None, chunk.offset, len(chunk)


def _native_calls(entry: Any, texts: Any, kind: str, grammar: Grammar, separators: Separators,
                  threads: int | None) -> Iterator[tuple[int, Any, Any]]:
    """(index of the chunk's first text, the chunk, the entry's result) per chunk."""
    options = _options(separators, grammar)
    code = _kind(kind)
    count = _threads(threads)
    base = 0
    for chunk in _as_chunks(texts):
        yield base, chunk, entry(*_buffers(chunk), options, code, count)
        base += len(chunk)


def _array(pa: Any, kind: Any, length: int, data: bytes) -> Any:
    return pa.Array.from_buffers(kind, length, [None, pa.py_buffer(data)])


def _strings(pa: Any, length: int, offsets: bytes, data: bytes) -> Any:
    """A string array from 64-bit offsets, narrowed to 32-bit ones when they fit."""
    array = pa.Array.from_buffers(pa.large_string(), length, [None, pa.py_buffer(offsets), pa.py_buffer(data)])
    return array.cast(pa.string()) if len(data) <= _NARROW_LIMIT else array


def _positions(pa: Any, length: int, base: int) -> Any:
    """base, base + 1, ... as an int64 array, made without a Python int each."""
    pc = pa.compute
    return pc.add(pc.cumulative_sum(pa.nulls(length, pa.int64()).fill_null(1)), base - 1)


def check(
    texts: Iterable[str | None] | Any,
    kind: TextKind = "expression",
    threads: int | None = None,
    *,
    grammar: Grammar = "engine",
    separators: Separators = "comma",
) -> Any:
    """One row per text: `index`, `ok`, and the first error's `code`,
    `message`, `line` and `column` (null where the text parses; every
    column but `index` null for a null text). `kind`: read every text as an
    expression, a query or a model's function; `grammar` and `separators` as
    for `quarrow_dax.syntax.parse_expression`."""
    pa = _pyarrow()
    pc = pa.compute
    tables = []
    for base, chunk, result in _native_calls(_syntax.check_texts, texts, kind, grammar, separators, threads):
        status_bytes, lines, columns, message_offsets, messages = result
        length = len(chunk)
        status = _array(pa, pa.uint8(), length, status_bytes)
        failed = pc.and_(pc.greater(status, 0), pc.less(status, 3))
        missing = pc.equal(status, 3)
        ok = pc.if_else(missing, pa.scalar(None, pa.bool_()), pc.equal(status, 0))
        code = pc.if_else(failed, pc.if_else(pc.equal(status, 1), "E001", "E002"), pa.scalar(None, pa.string()))
        message = pc.if_else(failed, _strings(pa, length, message_offsets, messages), pa.scalar(None, pa.string()))
        no_position = pa.scalar(None, pa.int32())
        line = pc.if_else(failed, _array(pa, pa.int32(), length, lines), no_position)
        column = pc.if_else(failed, _array(pa, pa.int32(), length, columns), no_position)
        tables.append(pa.table([_positions(pa, length, base), ok, code, message, line, column], names=CHECK_COLUMNS))
    return _concatenated(pa, tables, _check_schema(pa))


def _check_schema(pa: Any) -> Any:
    return pa.schema([("index", pa.int64()), ("ok", pa.bool_()), ("code", pa.string()), ("message", pa.string()),
                      ("line", pa.int32()), ("column", pa.int32())])


def _concatenated(pa: Any, tables: list[Any], schema: Any) -> Any:
    if not tables:
        return schema.empty_table()
    tables = [table.cast(schema) for table in tables]
    return tables[0] if len(tables) == 1 else pa.concat_tables(tables)


def references(
    texts: Iterable[str | None] | Any,
    kind: TextKind = "expression",
    threads: int | None = None,
    *,
    grammar: Grammar = "engine",
    separators: Separators = "comma",
) -> Any:
    """One row per reference of every text that parses, in text order and
    within a text in source order: the text's `index`, the reference's
    `kind`, `name`, `table` (of a column or hierarchy), `levels` (of a
    hierarchy), `function` and `argument` (the innermost call it stands in
    and which argument, from 0), `parent` (that call's row among the text's
    references, from 0), `target` (a variable's or parameter's definition,
    likewise), its byte span `start`/`end`, and the `line` and `column` where
    it starts. The same as `quarrow_dax.references.references` per text."""
    pa = _pyarrow()
    pc = pa.compute
    tables = []
    kinds = pa.array(REFERENCE_KINDS, pa.string())
    for base, _chunk, result in _native_calls(_syntax.references_texts, texts, kind, grammar, separators, threads):
        (index, kind_codes, starts, ends, lines, columns, parents, arguments, targets, name_offsets, names,
         table_offsets, table_names, has_table, function_offsets, functions, has_function, level_lists,
         level_offsets, levels) = result
        rows = len(kind_codes)

        def optional_index(data: bytes) -> Any:
            values = _array(pa, pa.int32(), rows, data)
            return pc.if_else(pc.equal(values, -1), pa.scalar(None, pa.int32()), values)

        def flagged(flags: bytes, values: Any) -> Any:
            return pc.if_else(pc.cast(_array(pa, pa.uint8(), rows, flags), pa.bool_()), values,
                              pa.scalar(None, values.type))

        level_values = _strings(pa, len(level_offsets) // 8 - 1, level_offsets, levels)
        level_column = pa.LargeListArray.from_arrays(_array(pa, pa.int64(), rows + 1, level_lists),
                                                     level_values).cast(pa.list_(pa.string()))
        tables.append(pa.table([
            pc.add(_array(pa, pa.int64(), rows, index), base),
            pc.take(kinds, _array(pa, pa.uint8(), rows, kind_codes)),
            _strings(pa, rows, name_offsets, names),
            flagged(has_table, _strings(pa, rows, table_offsets, table_names)),
            level_column,
            flagged(has_function, _strings(pa, rows, function_offsets, functions)),
            optional_index(arguments),
            optional_index(parents),
            optional_index(targets),
            _array(pa, pa.int64(), rows, starts),
            _array(pa, pa.int64(), rows, ends),
            _array(pa, pa.int32(), rows, lines),
            _array(pa, pa.int32(), rows, columns),
        ], names=REFERENCE_COLUMNS))
    return _concatenated(pa, tables, _reference_schema(pa))


def _reference_schema(pa: Any) -> Any:
    return pa.schema([
        ("index", pa.int64()), ("kind", pa.string()), ("name", pa.string()), ("table", pa.string()),
        ("levels", pa.list_(pa.string())), ("function", pa.string()), ("argument", pa.int32()),
        ("parent", pa.int32()), ("target", pa.int32()), ("start", pa.int64()), ("end", pa.int64()),
        ("line", pa.int32()), ("column", pa.int32()),
    ])


def _lint_schema(pa: Any) -> Any:
    return pa.schema([
        ("index", pa.int64()), ("code", pa.string()), ("severity", pa.string()), ("kind", pa.string()),
        ("message", pa.string()), ("line", pa.int32()), ("column", pa.int32()), ("end_line", pa.int32()),
        ("end_column", pa.int32()), ("start", pa.int64()), ("end", pa.int64()), ("hint", pa.string()),
    ])


def lint(
    texts: Iterable[str | None] | Any,
    kind: TextKind = "expression",
    threads: int | None = None,
    *,
    config: LintConfig | None = None,
    grammar: Grammar = "engine",
    separators: Separators = "comma",
) -> Any:
    """One row per finding of the lint rules in every text, in text order
    and within a text by place: the text's `index`, the rule's `code`, the
    finding's `severity`, `kind` (the rule's category, or "lex"/"parse" for
    a text that does not parse), `message`, its `line`/`column` to
    `end_line`/`end_column`, byte span `start`/`end`, and `hint`. `config`
    selects the rules (`quarrow_dax.lint.LintConfig`; default: all, at their
    severities). Parsing runs natively across `threads`; the rules run in
    this thread, one text after another."""
    pa = _pyarrow()
    from .check import CheckOptions
    from .lint import lint_text, lint_tree

    options = CheckOptions(grammar=grammar, separators=separators)
    columns: dict[str, list[Any]] = {name: [] for name in LINT_COLUMNS}
    code = _kind(kind)
    flags = _options(separators, grammar)
    count = _threads(threads)
    base = 0
    for chunk in _as_chunks(texts):
        for start in range(0, len(chunk), _LINT_BATCH):
            part = chunk.slice(start, _LINT_BATCH)
            trees = _syntax.parse_texts(*_buffers(part), flags, code, count)
            for offset, (text, tree) in enumerate(zip(part.to_pylist(), trees)):
                if tree is None:
                    continue
                if isinstance(tree, tuple):
                    findings: list[Any] = lint_text(text, kind=kind, options=options, config=config)
                else:
                    findings = lint_tree(tree, text, config=config, separators=separators)
                for finding in findings:
                    _add_finding(columns, base + start + offset, finding)
        base += len(chunk)
    return pa.table(columns, schema=_lint_schema(pa))


def _add_finding(columns: dict[str, list[Any]], index: int, finding: Any) -> None:
    values = (index, finding.code, finding.severity, finding.kind, finding.message, finding.line, finding.column,
              finding.end_line, finding.end_column, finding.start, finding.end, finding.hint)
    for name, value in zip(LINT_COLUMNS, values):
        columns[name].append(value)
