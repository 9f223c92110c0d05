"""What a rename names and whether the new name may be given: `find_target`
reads the old name in DAX notation (`'Sales'[Revenue]`, `[Revenue]`,
`'Sales'`, `Finance.Scale`, `'Time Intelligence'[YTD]` for a calculation
item) and finds the object in the model; `check_new_name` refuses a name
that is not valid for the object's kind or that another object of the same
namespace has, names compared as DAX compares them (case ignored).

The namespaces: tables are unique in the model (and share Power Query's
namespace with the model's shared expressions, since a table's query has
its name); a column's name is unique in its table among its columns,
measures and hierarchies; a measure's in the whole model, among measures
and columns alike (a bare `[name]` must say one thing), and among the
measures the project's reports add; a calculation item's in its
calculation group; a function's among the model's functions and DAX's
own.
"""

from __future__ import annotations

import functools
import unicodedata
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Literal

from ..model import Column, Measure, Model, ModelObject, Table, bracket, quote_table
from ..resolution import _close
from ..syntax import (
    BracketRef, FunctionCall, Identifier, ParseError, TableColumnRef, TableRef, parse_expression,
)
from ..syntax.functions import KEYWORD_ARGUMENTS, is_builtin_function
from ..syntax.spelling import is_plain_name

__all__ = [
    "KINDS", "Kind", "RenameError", "Target", "check_new_name", "find_target", "needs_dax_quotes",
]

Kind = Literal["measure", "column", "table", "function", "calculation item"]
#: The kinds of object a rename renames.
KINDS: tuple[Kind, ...] = ("measure", "column", "table", "function", "calculation item")

# Words the grammar reads as something other than a name where a table
# name stands alone, or that read as a call.
_RESERVED = frozenset({
    "VAR", "RETURN", "TRUE", "FALSE", "NOT", "IN", "AND", "OR", "DEFINE", "EVALUATE", "MEASURE", "COLUMN", "TABLE",
    "FUNCTION", "ORDER", "BY", "START", "AT", "BLANK", "WITH", "VISUAL", "SHAPE", "DAX",
}) | KEYWORD_ARGUMENTS


class RenameError(Exception):
    """A rename that cannot be made: `message`, and a `hint` (did you mean
    ...?) where one helps. Nothing has been written."""

    def __init__(self, message: str, hint: str | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.hint = hint

    def __str__(self) -> str:
        return self.message + (f" ({self.hint})" if self.hint else "")


@dataclass(frozen=True)
class Target:
    """The object a rename renames: its `kind`, `name` as the model spells
    it, `table` (of a column, measure or calculation item) and the model
    object itself."""

    kind: Kind
    name: str
    table: str | None
    object: ModelObject

    @property
    def dax(self) -> str:
        """The object in DAX notation."""
        if self.kind in ("table",):
            return quote_table(self.name)
        if self.kind == "function":
            return self.name
        return quote_table(self.table or "") + bracket(self.name)

    def renamed_dax(self, new: str) -> str:
        """The object in DAX notation under the name `new`."""
        if self.kind == "table":
            return quote_table(new)
        if self.kind == "function":
            return new
        return quote_table(self.table or "") + bracket(new)


@functools.lru_cache(maxsize=1024)
def needs_dax_quotes(name: str) -> bool:
    """Whether a table named `name` must be quoted in DAX: it does not read
    as one bare name, or reads (or may one day read) as a word of the
    language or one of its functions."""
    if not is_plain_name(name) or name.upper() in _RESERVED or is_builtin_function(name):
        return True
    try:
        alone = parse_expression(f"COUNTROWS ( {name} )")
        column = parse_expression(f"{name}[x]")
    except ParseError:
        return True
    return not (
        isinstance(alone, FunctionCall) and alone.args == (Identifier(name),)
        and isinstance(column, TableColumnRef) and column.table.name == name and not column.table.quoted
    )


def _parse_notation(text: str) -> tuple[str | None, str, bool]:
    """(table, name, written as a call or bare name) of the old name."""
    try:
        tree = parse_expression(text)
    except ParseError:
        tree = None
    if isinstance(tree, TableColumnRef):
        return tree.table.name, tree.column, False
    if isinstance(tree, BracketRef):
        return None, tree.name, False
    if isinstance(tree, TableRef):
        return tree.table.name, "", False
    if isinstance(tree, Identifier):
        return tree.name, "", True
    if isinstance(tree, FunctionCall) and not tree.args:
        return None, tree.name, True
    raise RenameError(
        f"{text!r} is not a name in DAX notation",
        "write a measure or column as 'Table'[Name] (or [Name]), a table as 'Table', a function as"
        " Namespace.Function, a calculation item as 'Calculation Group'[Item]",
    )


def find_target(model: Model, text: str, kind: Kind | None = None) -> Target:
    """The object `text` names (see the module's documentation); `kind`
    picks one where the notation may name several (a column and a
    calculation item of the same name). Raises RenameError for a name
    that names nothing (with a close name as a hint) or several."""
    table_name, name, bare = _parse_notation(text)
    candidates: list[Target] = []
    if not name:  # 'Sales', or a bare Sales / Finance.Scale
        assert table_name is not None
        table = model.table(table_name)
        if table is not None:
            candidates.append(Target("table", table.name, None, table))
        function = model.function(table_name) if bare or text.startswith("'") else None
        if function is not None:
            candidates.append(Target("function", function.name, None, function))
        wanted = table_name
    elif table_name is None and bare:  # Finance.Scale ()
        function = model.function(name)
        if function is not None:
            candidates.append(Target("function", function.name, None, function))
        wanted = name
    elif table_name is not None:
        table = model.table(table_name)
        if table is None:
            close = _close(quote_table(table_name), [quote_table(found.name) for found in model.tables.values()])
            raise RenameError(f"no table {quote_table(table_name)} in the model",
                              f"did you mean {close}{bracket(name)}?" if close else None)
        candidates.extend(_members(table, name))
        hierarchy = table.hierarchies.get(name.casefold())
        if not candidates and hierarchy is not None:
            raise RenameError(f"{hierarchy.dax} is a hierarchy: renaming hierarchies is not supported")
        measure = model.measure(name)
        if not candidates and measure is not None:
            raise RenameError(f"{quote_table(table_name)}{bracket(name)}: the measure {bracket(name)} is in"
                              f" {quote_table(measure.table)}", f"did you mean {measure.dax}?")
        wanted = quote_table(table_name) + bracket(name)
    else:  # [Name]
        for table in model.tables.values():
            candidates.extend(_members(table, name))
        wanted = bracket(name)
    if kind is not None:
        candidates = [candidate for candidate in candidates if candidate.kind == kind]
    if len(candidates) == 1:
        return candidates[0]
    if candidates:
        listed = ", ".join(f"the {candidate.kind} {candidate.dax}" for candidate in candidates)
        kinds = sorted({candidate.kind for candidate in candidates})
        hint = ("write the table: " + ", ".join(candidate.dax for candidate in candidates)) if len(kinds) == 1 \
            else "say which with --kind " + " or --kind ".join(_kind_word(found) for found in kinds)
        raise RenameError(f"{text} names several objects: {listed}", hint)
    what = f"no {kind} " if kind is not None else "nothing named "
    close = _close(wanted, _notations(model, kind))
    raise RenameError(f"{what}{wanted} in the model", f"did you mean {close}?" if close else None)


def _kind_word(kind: str) -> str:
    return "item" if kind == "calculation item" else kind


def _members(table: Table, name: str) -> list[Target]:
    key = name.casefold()
    found: list[Target] = []
    for kind, members in (("measure", table.measures), ("column", table.columns),
                          ("calculation item", table.calculation_items)):
        member = members.get(key)
        if member is not None:
            found.append(Target(kind, member.name, table.name, member))  # type: ignore[arg-type]
    return found


def _notations(model: Model, kind: Kind | None) -> list[str]:
    """Every object of the model (of `kind`) in DAX notation, for a
    did-you-mean."""
    names: list[str] = []
    for table in model.tables.values():
        if kind in (None, "table"):
            names.append(quote_table(table.name))
        for member_kind, members in (("measure", table.measures), ("column", table.columns),
                                     ("calculation item", table.calculation_items)):
            if kind in (None, member_kind):
                names.extend(quote_table(table.name) + bracket(member.name) for member in members.values())
                if member_kind == "measure":
                    names.extend(bracket(member.name) for member in members.values())
    if kind in (None, "function"):
        names.extend(function.name for function in model.functions.values())
    return names


def _invalid(new: str, kind: Kind) -> str | None:
    """Why `new` cannot name an object of `kind`, or None."""
    if not new:
        return "the new name is empty"
    if new != new.strip():
        return "the new name begins or ends with white space, which the engine trims away"
    control = next((char for char in new if unicodedata.category(char) in ("Cc", "Cs")), None)
    if control is not None:
        return f"the new name holds the control character {control!r}"
    if kind == "function":
        if not is_plain_name(new) or any(not part for part in new.split(".")):
            return ("a function's name is letters, digits, underscores and dots between them"
                    " (Namespace.Function), not starting with a digit")
        if is_builtin_function(new) or new.upper() in _RESERVED:
            return f"{new} is a name of DAX itself"
        try:
            call = parse_expression(f"{new} ( )")
        except ParseError:
            call = None
        if not (isinstance(call, FunctionCall) and call.name == new):
            return f"{new} ( ) does not read as a call of {new}"
    return None


def check_new_name(model: Model, target: Target, new: str, report_measures: Iterable[tuple[str | None, str]] = (),
                   expressions: Iterable[str] = ()) -> None:
    """Refuses (RenameError) a new name that is not valid for the target's
    kind, is the target's own, or clashes with another object of its
    namespace (see the module's documentation). `report_measures` are the
    (table, name) of the measures the project's reports define;
    `expressions` the names of the model's shared expressions."""
    problem = _invalid(new, target.kind)
    if problem is not None:
        raise RenameError(f"cannot rename {target.kind} {target.dax} to {new!r}: {problem}")
    if new == target.name:
        raise RenameError(f"{target.kind} {target.dax} has that name already")
    key = new.casefold()
    clash = _clash(model, target, key, report_measures, expressions)
    if clash is not None:
        raise RenameError(f"cannot rename {target.kind} {target.dax} to {new!r}: {clash} has that name"
                          " (names are compared without regard to case)")


def _clash(model: Model, target: Target, key: str, report_measures: Iterable[tuple[str | None, str]],
           expressions: Iterable[str]) -> str | None:
    own = target.object

    def other(found: ModelObject | None) -> bool:
        return found is not None and found is not own

    if target.kind == "table":
        table = model.table(key)
        if other(table):
            return f"the table {table.dax}"  # type: ignore[union-attr]
        expression = next((name for name in expressions if name.casefold() == key), None)
        if expression is not None:
            return f"the shared expression {expression!r} (a Power Query query)"
        return None
    if target.kind == "function":
        function = model.function(key)
        return f"the function {function.name}" if other(function) else None  # type: ignore[union-attr]
    home = model.table(target.table or "")
    assert home is not None
    if target.kind == "calculation item":
        item = home.calculation_items.get(key)
        return f"the calculation item {item.dax}" if other(item) else None  # type: ignore[union-attr]
    for members in (home.columns, home.measures, home.hierarchies):
        member = members.get(key)
        if other(member):
            return f"the {member.kind} {member.dax}"  # type: ignore[union-attr]
    measure = model.measure(key)
    if other(measure):
        return f"the measure {measure.dax}"  # type: ignore[union-attr]
    if isinstance(own, Measure):
        for table in model.tables.values():
            column = table.columns.get(key)
            if other(column):
                return f"the column {column.dax}"  # type: ignore[union-attr]
    if isinstance(own, (Measure, Column)):
        for owner, name in report_measures:
            if name.casefold() == key:
                return f"the report measure {quote_table(owner or '')}{bracket(name)}"
    return None
