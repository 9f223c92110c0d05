"""The outline of a document and its semantic tokens.

A TMDL or `.bim` file's outline is the model's objects it declares:
tables with their measures, columns, hierarchies, partitions and
calculation items, functions, roles, relationships. A `.dax` file's is its
query's definitions and EVALUATE statements, or its expression's variables.
Semantic tokens colour each DAX text by its tokens: functions, keywords,
tables, columns and measures, variables, strings, numbers, comments.
"""

from __future__ import annotations

import bisect

from lsprotocol import types

from ..model import ModelObject
from ..model.objects import CalculationItem, Column, Function, Hierarchy, Measure, Partition, Relationship, Role, Table
from ..syntax import Definition, Evaluate, Query, Token, VarBlock, parse_expression, parse_query
from ..syntax import Column as ColumnDefinition, Function as FunctionDefinition, Measure as MeasureDefinition
from ..syntax import Table as TableDefinition, Var as VarDefinition
from ..syntax import ParseError
from .convert import lsp_range, span_range
from .cursor import tokens_of
from .documents import Document
from .navigation import declaration_location
from .places import Piece
from .workspace import DocumentView, Files

__all__ = ["TOKEN_MODIFIERS", "TOKEN_TYPES", "document_symbols", "semantic_tokens"]

_SYMBOL = types.SymbolKind
_KINDS: dict[type, types.SymbolKind] = {
    Table: _SYMBOL.Class, Column: _SYMBOL.Field, Measure: _SYMBOL.Method, Hierarchy: _SYMBOL.Enum,
    Partition: _SYMBOL.Module, CalculationItem: _SYMBOL.EnumMember, Function: _SYMBOL.Function,
    Role: _SYMBOL.Object, Relationship: _SYMBOL.Interface,
}


def _last_line(found: ModelObject) -> int:
    """The last line (from 1) of the object's own text: its declaration or
    the end of its formulas."""
    last = found.line
    for formula in found.formulas:
        last = max(last, formula.line_map[-1][0])
    return last


def _object_symbol(found: ModelObject, files: Files, children: list[types.DocumentSymbol] | None = None) -> types.DocumentSymbol | None:
    document = files.document(found.file)
    located = declaration_location(found, files)
    if document is None or located is None:
        return None
    last = max([_last_line(found)] + [child.range.end.line + 1 for child in children or []])
    starts = document.line_starts
    end = starts[last] - 1 if last < len(starts) else len(document.text)
    start = starts[min(found.line, len(starts)) - 1]
    detail = found.kind
    if isinstance(found, Relationship):
        detail = f"{found.from_table}[{found.from_column}] -> {found.to_table}[{found.to_column}]"
    return types.DocumentSymbol(
        name=found.name or found.kind, detail=detail, kind=_KINDS.get(type(found), _SYMBOL.Object),
        range=lsp_range(document, start, max(start, end)), selection_range=located.range, children=children or None)


def _model_symbols(view: DocumentView, files: Files) -> list[types.DocumentSymbol]:
    snapshot = view.snapshot
    path = view.document.path
    if snapshot is None or path is None:
        return []
    model = snapshot.model
    symbols: list[types.DocumentSymbol] = []
    for table in model.tables.values():
        members: list[ModelObject] = [*table.columns.values(), *table.measures.values(), *table.hierarchies.values(),
                                      *table.partitions, *table.calculation_items.values()]
        children = [symbol for member in sorted((m for m in members if m.file == path), key=lambda m: m.line)
                    if (symbol := _object_symbol(member, files)) is not None]
        if table.file == path:
            symbol = _object_symbol(table, files, children)
            if symbol is not None:
                symbols.append(symbol)
        else:
            symbols.extend(children)  # a table's members declared in another file
    for other in [*model.functions.values(), *model.roles.values(), *model.relationships]:
        if other.file == path:
            symbol = _object_symbol(other, files)
            if symbol is not None:
                symbols.append(symbol)
    symbols.sort(key=lambda symbol: (symbol.range.start.line, symbol.range.start.character))
    return symbols


def _definition_name(definition: Definition) -> tuple[str, types.SymbolKind]:
    if isinstance(definition, MeasureDefinition):
        table = f"'{definition.table.name}'" if definition.table is not None else ""
        return f"{table}[{definition.name}]", _SYMBOL.Method
    if isinstance(definition, ColumnDefinition):
        table = f"'{definition.table.name}'" if definition.table is not None else ""
        return f"{table}[{definition.name}]", _SYMBOL.Field
    if isinstance(definition, TableDefinition):
        return definition.name, _SYMBOL.Class
    if isinstance(definition, FunctionDefinition):
        return definition.name, _SYMBOL.Function
    if isinstance(definition, VarDefinition):
        return definition.name, _SYMBOL.Variable
    return type(definition).__name__, _SYMBOL.Object


def _dax_symbols(view: DocumentView, piece: Piece) -> list[types.DocumentSymbol]:
    document = view.document
    symbols = []

    def add(name: str, kind: types.SymbolKind, start: int, end: int, detail: str) -> None:
        where = span_range(document, piece, start, end)
        symbols.append(types.DocumentSymbol(name=name, kind=kind, range=where, selection_range=where, detail=detail))

    try:
        tree = parse_query(piece.text) if piece.kind == "query" else parse_expression(piece.text)
    except ParseError:
        return _token_symbols(view, piece)
    if isinstance(tree, Query):
        for definition in tree.define.defs if tree.define is not None else ():
            name, kind = _definition_name(definition)
            if definition.span is not None:
                add(name, kind, definition.span.start, definition.span.end, type(definition).__name__.lower())
        for number, evaluate in enumerate(tree.evaluates, 1):
            if isinstance(evaluate, Evaluate) and evaluate.span is not None:
                add(f"EVALUATE #{number}", _SYMBOL.Event, evaluate.span.start, evaluate.span.end, "query")
    elif isinstance(tree, VarBlock):
        for declaration in tree.decls:
            if declaration.span is not None:
                add(declaration.name, _SYMBOL.Variable, declaration.span.start, declaration.span.end, "variable")
    return symbols


def _token_symbols(view: DocumentView, piece: Piece) -> list[types.DocumentSymbol]:
    """The outline of a text that does not parse: its `VAR`, `MEASURE`,
    `FUNCTION` and `EVALUATE` words, each to the end of its line."""
    tokens = [token for token in tokens_of(piece.text) if not token.is_comment]
    symbols = []
    for index, token in enumerate(tokens):
        word = token.text.upper() if token.kind == "Ident" else ""
        name: str | None = None
        kind = _SYMBOL.Variable
        following = tokens[index + 1:index + 3]
        if word in ("VAR", "TABLE", "FUNCTION") and following and following[0].kind in ("Ident", "QuotedIdent"):
            name = following[0].value
            kind = {"VAR": _SYMBOL.Variable, "TABLE": _SYMBOL.Class, "FUNCTION": _SYMBOL.Function}[word]
        elif word in ("MEASURE", "COLUMN") and following:
            name = "".join(t.text for t in following if t.kind in ("Ident", "QuotedIdent", "BracketIdent"))
            kind = _SYMBOL.Method if word == "MEASURE" else _SYMBOL.Field
        elif word == "EVALUATE":
            name = "EVALUATE"
            kind = _SYMBOL.Event
        if name and token.span is not None:
            end = piece.data.find(b"\n", token.span.start)
            where = span_range(view.document, piece, token.span.start, len(piece.data) if end < 0 else end)
            symbols.append(types.DocumentSymbol(name=name, kind=kind, range=where, selection_range=where))
    return symbols


def document_symbols(view: DocumentView, files: Files) -> list[types.DocumentSymbol]:
    if view.is_model_file:
        return _model_symbols(view, files)
    return [symbol for piece in view.pieces for symbol in _dax_symbols(view, piece)]


# --- semantic tokens ---------------------------------------------------------------

TOKEN_TYPES = ["keyword", "function", "class", "property", "variable", "parameter", "string", "number", "comment",
               "operator"]
TOKEN_MODIFIERS = ["documentation"]
_KEYWORDS = frozenset({"VAR", "RETURN", "DEFINE", "EVALUATE", "MEASURE", "COLUMN", "TABLE", "FUNCTION", "ORDER", "BY",
                       "START", "AT", "ASC", "DESC", "IN", "NOT", "TRUE", "FALSE", "AND", "OR"})
_OPERATORS = frozenset({"Plus", "Minus", "Star", "Slash", "Caret", "Amp", "Eq", "EqEq", "Neq", "Lt", "Lte", "Gt",
                        "Gte", "AndAnd", "OrOr", "Arrow"})


def _token_type(tokens: list[Token], index: int) -> tuple[int, int] | None:
    token = tokens[index]
    kind = token.kind
    following = tokens[index + 1] if index + 1 < len(tokens) else None
    if kind == "Ident":
        if following is not None and following.kind == "LParen":
            return TOKEN_TYPES.index("function"), 0
        if token.text.upper() in _KEYWORDS:
            return TOKEN_TYPES.index("keyword"), 0
        if following is not None and following.kind == "BracketIdent":
            return TOKEN_TYPES.index("class"), 0
        return TOKEN_TYPES.index("variable"), 0
    simple = {"QuotedIdent": "class", "BracketIdent": "property", "Param": "parameter", "String": "string",
              "Number": "number", "LineComment": "comment", "BlockComment": "comment", "DocComment": "comment"}
    if kind in simple:
        return TOKEN_TYPES.index(simple[kind]), int(kind == "DocComment")
    if kind in _OPERATORS:
        return TOKEN_TYPES.index("operator"), 0
    return None


#: The tokens of a DAX text, relative to the first line of the document's
#: lines that hold it, by (kind, text, those lines, encoding): a change in
#: one formula of a file of thousands colours that formula again, not the
#: file. Used by the worker thread alone.
_COLOURED: dict[tuple[str, str, str, str], list[tuple[int, int, int, int, int]]] = {}
#: How many characters of text the keys may hold before the cache starts
#: again (a .dax file typed character by character leaves a key per version).
_COLOURED_KEPT = 8_000_000
_coloured_size = 0


def _coloured(document: Document, piece: Piece, first_line: int) -> list[tuple[int, int, int, int, int]]:
    """The piece's tokens as (line from `first_line`, start, length, type,
    modifiers), in the editor's units; a token over lines split by line."""
    position = document.positions()
    found: list[tuple[int, int, int, int, int]] = []
    tokens = tokens_of(piece.text)
    for index in range(len(tokens)):
        typed = _token_type(tokens, index)
        span = tokens[index].span
        if typed is None or span is None:
            continue
        start, end = piece.document_span(span.start, span.end)
        line, character = position(start)
        end_line, end_character = position(end)
        while line < end_line:
            line_end = document.line_starts[line] + len(document.line(line))
            length = document.position(line_end)[1] - character
            if length > 0:
                found.append((line - first_line, character, length, *typed))
            line, character = line + 1, 0
        if end_character > character:
            found.append((line - first_line, character, end_character - character, *typed))
    return found


def _remember(key: tuple[str, str, str, str], relative: list[tuple[int, int, int, int, int]]) -> None:
    global _coloured_size
    size = len(key[1]) + len(key[2])
    if _coloured_size + size > _COLOURED_KEPT:
        _COLOURED.clear()
        _coloured_size = 0
    _COLOURED[key] = relative
    _coloured_size += size


def semantic_tokens(view: DocumentView) -> list[int]:
    """The document's semantic tokens, encoded as the protocol wants them
    (relative lines and starts, in the editor's units). A token that spans
    lines (a string or comment) is sent one line at a time."""
    document = view.document
    starts = document.line_starts
    absolute: list[tuple[int, int, int, int, int]] = []
    for piece in view.pieces:
        first_line = bisect.bisect_right(starts, piece.start) - 1
        last_line = bisect.bisect_right(starts, piece.end) - 1
        lines_end = starts[last_line + 1] if last_line + 1 < len(starts) else len(document.text)
        key = (piece.kind, piece.text, document.text[starts[first_line] : lines_end], document.encoding)
        relative = _COLOURED.get(key)
        if relative is None:
            relative = _coloured(document, piece, first_line)
            _remember(key, relative)
        absolute.extend((line + first_line, start, length, kind, modifiers)
                        for line, start, length, kind, modifiers in relative)
    absolute.sort()
    data: list[int] = []
    previous_line = previous_start = 0
    for line, character, length, token_type, modifiers in absolute:
        delta_line = line - previous_line
        delta_start = character - previous_start if delta_line == 0 else character
        data += [delta_line, delta_start, length, token_type, modifiers]
        previous_line, previous_start = line, character
    return data
