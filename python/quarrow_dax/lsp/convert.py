"""The one mapping from the toolkit's `Diagnostic` (and places in a
document) to the protocol's types."""

from __future__ import annotations

from lsprotocol import types

from ..diagnostics import RULES, Diagnostic
from .documents import Document
from .places import Piece

__all__ = ["SOURCE", "lsp_diagnostic", "lsp_position", "lsp_range", "span_range", "text_edit"]

#: How the editor names where its diagnostics come from.
SOURCE = "quarrow-dax"

_SEVERITIES = {
    "error": types.DiagnosticSeverity.Error,
    "warning": types.DiagnosticSeverity.Warning,
    "note": types.DiagnosticSeverity.Information,
}
# Findings that the editor may grey out rather than underline.
_TAGS = {
    "unused-variable": types.DiagnosticTag.Unnecessary,
    "unused-parameter": types.DiagnosticTag.Unnecessary,
    "deprecated-function": types.DiagnosticTag.Deprecated,
}


def lsp_position(document: Document, offset: int) -> types.Position:
    line, units = document.position(offset)
    return types.Position(line=line, character=units)


def lsp_range(document: Document, start: int, end: int) -> types.Range:
    """The range of document offsets `start`..`end`."""
    return types.Range(start=lsp_position(document, start), end=lsp_position(document, max(start, end)))


def span_range(document: Document, piece: Piece, start: int, end: int) -> types.Range:
    """The range of the byte span `start`..`end` of a DAX text of the document."""
    first, last = piece.document_span(start, end)
    return lsp_range(document, first, last)


def _line_range(document: Document, line: int, column: int, end_line: int, end_column: int) -> types.Range:
    """The range of 1-based lines and character columns as a diagnostic
    gives them; a point marks the rest of its line, and no line the start."""
    if line <= 0:
        return types.Range(start=types.Position(line=0, character=0), end=types.Position(line=0, character=0))
    starts = document.line_starts
    if line > len(starts):
        return lsp_range(document, len(document.text), len(document.text))
    line_text = document.line(line - 1)
    start = starts[line - 1] + min(max(column - 1, 0), len(line_text))
    if (end_line, end_column) <= (line, column):
        return lsp_range(document, start, starts[line - 1] + len(line_text.rstrip("\r")))
    end_starts = starts[min(end_line, len(starts)) - 1]
    end = end_starts + min(max(end_column - 1, 0), len(document.line(end_line - 1)))
    return lsp_range(document, start, end)


def lsp_diagnostic(document: Document, diagnostic: Diagnostic, piece: Piece | None = None) -> types.Diagnostic:
    """The protocol's diagnostic for one of the toolkit's: the same code,
    severity, message and hint; placed by its span in `piece` when it has
    one, else by its line and column."""
    if piece is not None and diagnostic.located and diagnostic.kind != "internal":
        where = span_range(document, piece, diagnostic.start, diagnostic.end)
    else:
        where = _line_range(document, diagnostic.line, diagnostic.column, diagnostic.end_line, diagnostic.end_column)
    message = diagnostic.message
    if diagnostic.kind in ("lex", "parse"):
        message = f"{diagnostic.kind} error: {message}"
    if diagnostic.hint:
        message += f"\nhint: {diagnostic.hint}"
    rule = RULES.get(diagnostic.code)
    tag = _TAGS.get(rule.name) if rule is not None else None
    return types.Diagnostic(
        range=where, message=message, severity=_SEVERITIES.get(diagnostic.severity, types.DiagnosticSeverity.Error),
        code=diagnostic.code or None, source=SOURCE, tags=[tag] if tag is not None else None,
    )


def text_edit(document: Document, start: int, end: int, new_text: str) -> types.TextEdit:
    return types.TextEdit(range=lsp_range(document, start, end), new_text=new_text)
