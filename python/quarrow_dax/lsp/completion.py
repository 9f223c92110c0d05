"""Completion: what may be typed where the cursor is, read from the tokens
before it (the text need not parse). After `Table[` the table's columns
and measures; after `[` the measures and columns; after `'` the tables;
elsewhere functions with their signatures, tables, the variables and
parameters declared before the cursor, and keywords."""

from __future__ import annotations

from lsprotocol import types

from ..functions import catalogue
from ..model import Model
from ..syntax import Token
from ..syntax.spelling import is_plain_name
from .convert import lsp_range
from .cursor import Prefix, prefix
from .hover import signature_markdown, udf_signature
from .places import Piece
from .workspace import DocumentView

__all__ = ["KEYWORDS", "complete", "resolve"]

#: The words of DAX's own grammar (function names come from the catalogue).
KEYWORDS = (
    "VAR", "RETURN", "DEFINE", "EVALUATE", "MEASURE", "COLUMN", "TABLE", "FUNCTION", "ORDER BY", "START AT",
    "ASC", "DESC", "IN", "NOT", "AND", "OR", "TRUE", "FALSE",
)

_KIND = types.CompletionItemKind


def _markdown(value: str) -> types.MarkupContent:
    return types.MarkupContent(kind=types.MarkupKind.Markdown, value=value)


def complete(view: DocumentView, piece: Piece, offset: int, separators: str) -> types.CompletionList:
    """The completions at byte `offset` of `piece`."""
    before = prefix(piece.text, offset, separators)  # type: ignore[arg-type]
    model = view.snapshot.model if view.snapshot is not None else None
    items: list[types.CompletionItem]
    if before.open_kind in ("String", "LineComment", "BlockComment"):
        items = []
    elif before.open_kind == "BracketIdent":
        items = _members(view, piece, before, offset, model)
    elif before.open_kind == "QuotedIdent":
        items = _tables(view, piece, before, offset, model, quoted=True)
    else:
        items = _words(view, piece, before, offset, model)
    return types.CompletionList(is_incomplete=False, items=items)


def _replace(view: DocumentView, piece: Piece, start: int, offset: int) -> types.Range:
    """The range from byte `start` of the piece to the cursor."""
    first, last = piece.document_span(start, offset)
    return lsp_range(view.document, first, last)


def _closes(piece: Piece, offset: int, closer: bytes) -> bool:
    """Whether the character at the cursor already closes the name."""
    return piece.data[offset : offset + 1] == closer


def _members(view: DocumentView, piece: Piece, before: Prefix, offset: int, model: Model | None) -> list[types.CompletionItem]:
    """`Table[` gives the table's columns and measures; a bare `[` every
    measure, and the columns (with their table)."""
    if model is None:
        return []
    table_name = None
    tokens = before.tokens
    if tokens and tokens[-1].span is not None and tokens[-1].span.end == before.open_start \
            and tokens[-1].kind in ("Ident", "QuotedIdent"):
        table_name = tokens[-1].value
    where = _replace(view, piece, before.open_start + 1, offset)
    closing = "" if _closes(piece, offset, b"]") else "]"
    items = []
    if table_name is not None:
        table = model.table(table_name)
        if table is None:
            return []
        members = [*table.columns.values(), *table.measures.values()]
    else:
        members = [measure for table in model.tables.values() for measure in table.measures.values()]
        members += [column for table in model.tables.values() for column in table.columns.values()]
    for member in members:
        name = member.name.replace("]", "]]")
        is_measure = member.kind == "measure"
        items.append(types.CompletionItem(
            label=member.name, kind=_KIND.Field if not is_measure else _KIND.Value,
            detail=f"{member.kind} of '{getattr(member, 'table', '')}'",
            sort_text=("0" if is_measure == (table_name is None) else "1") + member.name.casefold(),
            filter_text=member.name,
            text_edit=types.TextEdit(range=where, new_text=name + closing)))
    return items


def _tables(view: DocumentView, piece: Piece, before: Prefix, offset: int, model: Model | None,
            quoted: bool) -> list[types.CompletionItem]:
    if model is None:
        return []
    where = _replace(view, piece, before.open_start + 1, offset)
    closing = "" if _closes(piece, offset, b"'") else "'"
    return [types.CompletionItem(label=table.name, kind=_KIND.Class, detail="table",
                                 text_edit=types.TextEdit(range=where, new_text=table.name.replace("'", "''") + closing))
            for table in model.tables.values()]


def _typed_word(tokens: list[Token], offset: int) -> Token | None:
    """The name being typed: an identifier that ends at the cursor."""
    if tokens and tokens[-1].kind == "Ident" and tokens[-1].span is not None and tokens[-1].span.end == offset:
        return tokens[-1]
    return None


def _words(view: DocumentView, piece: Piece, before: Prefix, offset: int, model: Model | None) -> list[types.CompletionItem]:
    word = _typed_word(before.tokens, offset)
    start = word.span.start if word is not None and word.span is not None else offset
    where = _replace(view, piece, start, offset)
    items: list[types.CompletionItem] = []
    for name, found in catalogue().items():
        items.append(types.CompletionItem(
            label=name, kind=_KIND.Function, detail=found.forms[0].text(name),
            data={"function": name}, sort_text="2" + name,
            tags=[types.CompletionItemTag.Deprecated] if found.deprecated else None,
            text_edit=types.TextEdit(range=where, new_text=name)))
    if model is not None:
        for function in model.functions.values():
            udf = udf_signature(function)
            items.append(types.CompletionItem(
                label=function.name, kind=_KIND.Function, sort_text="1" + function.name,
                detail=udf.forms[0].text(function.name) if udf is not None else "function of the model",
                text_edit=types.TextEdit(range=where, new_text=function.name)))
        for table in model.tables.values():
            spelled = "'" + table.name.replace("'", "''") + "'" if _needs_quotes(table.name) else table.name
            items.append(types.CompletionItem(
                label=table.name, kind=_KIND.Class, detail="table", sort_text="1" + table.name,
                filter_text=table.name, text_edit=types.TextEdit(range=where, new_text=spelled)))
    for name, kind in _locals(before.tokens, piece.kind):
        items.append(types.CompletionItem(label=name, kind=_KIND.Variable, detail=kind, sort_text="0" + name,
                                          text_edit=types.TextEdit(range=where, new_text=name)))
    for keyword in KEYWORDS:
        items.append(types.CompletionItem(label=keyword, kind=_KIND.Keyword, sort_text="3" + keyword,
                                          text_edit=types.TextEdit(range=where, new_text=keyword)))
    return items


def _needs_quotes(name: str) -> bool:
    """Whether a table's name is written quoted: it is no plain name, or it
    is also a function's or a keyword (`'Date'`, not `Date`)."""
    return not is_plain_name(name) or name.upper() in catalogue() or name.upper() in KEYWORDS


def resolve(item: types.CompletionItem) -> types.CompletionItem:
    """A function's item with its documentation, asked for when the editor
    shows it: a list of every function stays small."""
    data = item.data
    name = data.get("function") if isinstance(data, dict) else None
    found = catalogue().get(name) if isinstance(name, str) else None
    if found is not None:
        item.documentation = _markdown(signature_markdown(found))
    return item


def _locals(tokens: list[Token], kind: str) -> list[tuple[str, str]]:
    """The variables declared before the cursor (`VAR name =`) and the
    parameters of a function being defined (`(name : TYPE, ...) =>`)."""
    found: dict[str, tuple[str, str]] = {}
    for index, token in enumerate(tokens[:-1]):
        following = tokens[index + 1]
        if token.kind == "Ident" and token.text.upper() == "VAR" and following.kind == "Ident":
            found.setdefault(following.text.casefold(), (following.text, "variable"))
    depth = 0
    parameters: list[str] = []
    arrow = any(token.kind == "Arrow" for token in tokens)
    if arrow or kind == "function":
        # The parameter list: the names right after `(` or `,` before `=>`.
        for index, token in enumerate(tokens):
            if token.kind == "Arrow":
                break
            if token.kind == "LParen":
                depth += 1
            elif token.kind == "RParen":
                depth -= 1
            elif token.kind == "Ident" and depth == 1 and index > 0 and tokens[index - 1].kind in ("LParen", "Comma"):
                parameters.append(token.text)
    for name in parameters:
        found.setdefault(name.casefold(), (name, "parameter"))
    return list(found.values())
