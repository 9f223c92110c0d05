"""DAX in Spark DataFrames: check, references and lint of a column of texts,
run on the executors through `mapInPandas` with Arrow batches, each batch
handed to `quarrow_dax.batch` as it comes.

    from quarrow_dax import spark as dax

    measures = spark.createDataFrame([("Total", "SUM ( Sales[Amount] )"), ("Bad", "1 +")], ["name", "expression"])
    dax.check(measures, "expression").show()
    # +-----+--------------------+-----+----+--------------------+----+------+
    # | name|          expression|   ok|code|             message|line|column|
    # ...

`check` adds batch.check's columns (`ok`, `code`, `message`, `line`,
`column`) to every row. `references` and `lint` give one row per reference
or finding, the row's own columns repeated, and keep a row with no
reference or finding once, its result columns null (as `explode_outer`
does), so that no row is lost. `prefix` is put before every added column's
name, for a DataFrame that has columns of those names already. `threads`
is per Spark task (default 1: Spark already runs a task per core).

pyspark is imported only when a function is called; the executors need
quarrow-dax installed (``pip install 'quarrow-dax[spark]'``).
"""

from __future__ import annotations

import importlib
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

from .batch import CHECK_COLUMNS, LINT_COLUMNS, REFERENCE_COLUMNS, TextKind
from .syntax.parsing import Grammar, Separators

if TYPE_CHECKING:
    from .lint import LintConfig

__all__ = ["check", "lint", "references"]

# The added columns of each function and their Spark types, by name.
_TYPES = {
    "ok": "boolean", "code": "string", "message": "string", "line": "int", "column": "int", "kind": "string",
    "name": "string", "table": "string", "levels": "array<string>", "function": "string", "argument": "int",
    "parent": "int", "target": "int", "start": "long", "end": "long", "severity": "string", "end_line": "int",
    "end_column": "int", "hint": "string",
}


def _schema(df: Any, added: tuple[str, ...], prefix: str) -> Any:
    from pyspark.sql.types import StructType, _parse_datatype_string

    names = [f"{prefix}{name}" for name in added]
    taken = set(df.columns) & set(names)
    if taken:
        raise ValueError(f"the DataFrame has columns named {sorted(taken)} already: give a prefix, such as "
                         "prefix='dax_'")
    schema = StructType(list(df.schema.fields))
    for name, added_name in zip(added, names):
        schema = schema.add(added_name, _parse_datatype_string(_TYPES[name]), nullable=True)
    return schema


def _text_column(df: Any, column: str) -> None:
    from pyspark.sql.types import StringType

    if column not in df.columns:
        raise ValueError(f"no column {column!r} in the DataFrame (its columns: {', '.join(df.columns)})")
    if not isinstance(df.schema[column].dataType, StringType):
        raise TypeError(f"column {column!r} holds {df.schema[column].dataType.simpleString()}, not strings")


def _pandas(table: Any) -> Any:
    """A pyarrow table as pandas with nullable columns, which Spark reads back
    to its types exactly (no float for an int with nulls)."""
    pd = importlib.import_module("pandas")
    pa = importlib.import_module("pyarrow")
    mapping = {pa.int32(): pd.Int32Dtype(), pa.int64(): pd.Int64Dtype(), pa.bool_(): pd.BooleanDtype()}
    return table.to_pandas(types_mapper=mapping.get)


def check(
    df: Any,
    column: str,
    *,
    kind: TextKind = "expression",
    grammar: Grammar = "engine",
    separators: Separators = "comma",
    threads: int | None = 1,
    prefix: str = "",
) -> Any:
    """`df` with the columns of `quarrow_dax.batch.check` added: whether
    each row's text in `column` parses, and its first error."""
    _text_column(df, column)
    added = CHECK_COLUMNS[1:]
    schema = _schema(df, added, prefix)

    def run(frames: Iterator[Any]) -> Iterator[Any]:
        from . import batch

        for frame in frames:
            result = _pandas(batch.check(frame[column], kind, threads, grammar=grammar, separators=separators))
            for name in added:
                frame[f"{prefix}{name}"] = result[name].array
            yield frame

    return df.mapInPandas(run, schema)


def _exploded(df: Any, column: str, added: tuple[str, ...], prefix: str, results: Any) -> Any:
    """mapInPandas of a function whose results have rows of their own, each
    naming its text's row by `index`."""
    schema = _schema(df, added, prefix)

    def run(frames: Iterator[Any]) -> Iterator[Any]:
        pd = importlib.import_module("pandas")
        for frame in frames:
            frame = frame.reset_index(drop=True)
            found = _pandas(results(frame[column]))
            # The text's row under a name no column of the DataFrame has (it may have an `index`).
            row = "index"
            while row in frame.columns:
                row = f"_{row}"
            found.columns = [row, *(f"{prefix}{name}" for name in added)]
            joined = frame.merge(found, how="left", left_index=True, right_on=row, sort=False)
            joined = joined.drop(columns=row).reset_index(drop=True)
            for name in joined.columns[len(frame.columns):]:
                if joined[name].dtype == object:
                    # A row without results has NaN there, which Spark reads as no list or string.
                    joined[name] = joined[name].where(joined[name].notna(), None)
            yield pd.DataFrame({field.name: joined[field.name] for field in schema.fields})

    return df.mapInPandas(run, schema)


def references(
    df: Any,
    column: str,
    *,
    kind: TextKind = "expression",
    grammar: Grammar = "engine",
    separators: Separators = "comma",
    threads: int | None = 1,
    prefix: str = "",
) -> Any:
    """One row per reference of each row's text in `column`, with the
    columns of `quarrow_dax.batch.references` added (a row whose text has
    none, or does not parse, kept once with them null)."""
    _text_column(df, column)

    def results(texts: Any) -> Any:
        from . import batch

        return batch.references(texts, kind, threads, grammar=grammar, separators=separators)

    return _exploded(df, column, REFERENCE_COLUMNS[1:], prefix, results)


def lint(
    df: Any,
    column: str,
    *,
    kind: TextKind = "expression",
    config: LintConfig | None = None,
    grammar: Grammar = "engine",
    separators: Separators = "comma",
    threads: int | None = 1,
    prefix: str = "",
) -> Any:
    """One row per finding of the lint rules in each row's text in
    `column`, with the columns of `quarrow_dax.batch.lint` added (a row
    without findings kept once with them null)."""
    _text_column(df, column)

    def results(texts: Any) -> Any:
        from . import batch

        return batch.lint(texts, kind, threads, config=config, grammar=grammar, separators=separators)

    return _exploded(df, column, LINT_COLUMNS[1:], prefix, results)
