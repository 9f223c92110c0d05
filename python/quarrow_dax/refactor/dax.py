"""The references a rename rewrites in DAX: those of a formula that mean
the renamed object (by the model's resolution: a bare `[x]` is renamed
only where it means that measure or column), each rewritten at its span
with the spelling the new name needs (`'O''Brien'`, `[a]]b]`; a table name
bare where it was and still can be, quoted where it must be) and every
other byte of the formula as it was. Text in strings and comments is never
changed: `mentions` lists where it names the object, for a person to
decide."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import Literal

from ..model import Formula
from ..references import Reference
from ..resolution import Resolution
from ..syntax import tokenize
from ..syntax.spelling import bracketed, quote_table
from .edits import TextEdit
from .targets import Target, needs_dax_quotes

__all__ = ["DaxEdit", "FileMention", "Findings", "Mention", "apply_dax", "dax_edits", "may_mention", "mentions", "spellings"]


@dataclass(frozen=True, slots=True)
class DaxEdit:
    """New `text` for the UTF-8 bytes `start`..`end` of a formula's text,
    which held `old`; `what` names the kind of reference."""

    start: int
    end: int
    text: str
    old: str
    what: str


@dataclass(frozen=True, slots=True)
class Mention:
    """A place of a formula left as it is that a person may want to see: a
    string or comment spelling the renamed name, or a reference that may
    mean the renamed object among others. `start` and `end` are UTF-8
    byte offsets of its text."""

    formula: Formula
    kind: Literal["string", "comment", "ambiguous reference"]
    start: int
    end: int
    text: str


@dataclass(frozen=True, slots=True)
class FileMention:
    """A place of a file outside DAX left as it is that spells the renamed
    name: a report's filter value naming a calculation item. `start` and
    `end` are character offsets of the file's text."""

    path: str
    start: int
    end: int
    text: str
    what: str


@dataclass
class Findings:
    """What a rename found so far: the file edits, the mentions (in DAX,
    and in other files), and the new text of each formula it changes (by
    the formula's id)."""

    edits: list[TextEdit] = field(default_factory=list)
    mentions: list[Mention] = field(default_factory=list)
    texts: dict[int, str] = field(default_factory=dict)
    file_mentions: list[FileMention] = field(default_factory=list)


def apply_dax(text: str, edits: Sequence[DaxEdit]) -> str:
    """`text` with `edits` (in order, not overlapping) made."""
    data = text.encode("utf-8")
    pieces = []
    position = 0
    for edit in edits:
        pieces += [data[position : edit.start], edit.text.encode("utf-8")]
        position = edit.end
    pieces.append(data[position:])
    return b"".join(pieces).decode("utf-8")


def ambiguous(formula: Formula, resolutions: Sequence[Resolution], target: Target) -> Iterator[Mention]:
    """The references of a formula that may mean `target` among other
    objects: a rename cannot tell, and leaves them."""
    for found in resolutions:
        span = found.reference.span
        if found.status == "ambiguous" and span is not None and any(
                candidate is target.object for candidate in found.candidates):
            yield Mention(formula, "ambiguous reference", span.start, span.end, found.reference.text)


def spellings(name: str) -> tuple[str, ...]:
    """The ways DAX text may spell `name`, case folded: as it is, in a
    bracketed name (`]` doubled), in a quoted one (`'` doubled)."""
    key = name.casefold()
    return tuple({key, key.replace("]", "]]"), key.replace("'", "''")})


def may_mention(text: str, forms: Sequence[str]) -> bool:
    """Whether `text` may spell one of `forms` (from `spellings`)."""
    folded = text.casefold()
    return any(form in folded for form in forms)


@dataclass(frozen=True, slots=True)
class _Piece:
    """A token of a reference: its kind, UTF-8 span in the formula, text
    and value."""

    kind: str
    start: int
    end: int
    text: str
    value: str


def _tokens(data: bytes, start: int, end: int) -> list[_Piece]:
    """The tokens (not comments) of the reference at `start`..`end`, their
    spans those of the formula."""
    piece = data[start:end].decode("utf-8")
    found = []
    for token in tokenize(piece, comments=True):
        if token.is_comment or token.span is None:
            continue
        found.append(_Piece(token.kind, token.span.start + start, token.span.end + start, token.text,
                            token.value or ""))
    return found


def _table_token(table: _Piece, new: str, names_in_scope: set[str]) -> str:
    """The new table name where `table` was written: quoted where it must
    be, where a variable or parameter of the formula has that name (a bare
    name would mean it), and where the old one was quoted without needing
    to be (the author's hand); bare otherwise."""
    quoted = table.kind == "QuotedIdent"
    if needs_dax_quotes(new) or new.casefold() in names_in_scope or (quoted and not needs_dax_quotes(table.value)):
        return quote_table(new)
    return new


def dax_edits(text: str, refs: list[Reference], resolutions: list[Resolution], target: Target,
              new: str) -> list[DaxEdit]:
    """The edits of one formula (`text`, its references and their
    resolutions) that rename `target` to `new`, in order."""
    data = text.encode("utf-8")
    kind = target.kind
    own = target.object
    key = target.name.casefold()
    edits: list[DaxEdit] = []
    local = {ref.name.casefold() for ref in refs if ref.kind in ("variable", "parameter", "query parameter")}
    for ref, found in zip(refs, resolutions):
        span = ref.span
        if span is None:
            continue
        means = found.target is own
        if kind in ("measure", "column") and means and ref.kind in ("bracket", "column"):
            name_span = ref.name_span
            assert name_span is not None
            edits.append(DaxEdit(name_span.start, name_span.end, bracketed(new),
                                 data[name_span.start : name_span.end].decode("utf-8"), f"{kind} reference"))
        elif kind == "column" and means and ref.kind == "hierarchy":
            tokens = _tokens(data, span.start, span.end)
            column = next((token for token in tokens if token.kind == "BracketIdent"), None)
            if column is not None:
                edits.append(DaxEdit(column.start, column.end, bracketed(new), column.text, "column reference"))
        elif kind == "table" and ((ref.kind == "table" and means) or (
                ref.kind in ("column", "hierarchy") and ref.target is None and (ref.table or "").casefold() == key)):
            table = _tokens(data, span.start, span.end)[0]
            edits.append(DaxEdit(table.start, table.end, _table_token(table, new, local), table.text,
                                 "table reference"))
        elif kind == "function" and means and ref.kind == "function":
            call = _tokens(data, span.start, span.end)[0]
            edits.append(DaxEdit(call.start, call.end, new, call.text, "function call"))
    edits.sort(key=lambda edit: edit.start)
    return edits


def mentions(formula: Formula, forms: Sequence[str]) -> Iterator[Mention]:
    """The strings and comments of `formula` that spell one of `forms` (from
    `spellings`); nothing for a text that does not read as DAX."""
    try:
        tokens = tokenize(formula.text, comments=True)
    except ValueError:
        return
    for token in tokens:
        if token.span is None or not (token.kind == "String" or token.is_comment):
            continue
        if may_mention(token.text, forms):
            yield Mention(formula, "string" if token.kind == "String" else "comment", token.span.start,
                          token.span.end, token.text)
