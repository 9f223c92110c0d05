"""Edits the server proposes: formatting a document or the formulas a
range touches, the fixes lint findings carry (one by one, or every safe
one at once), and renaming a variable or parameter.

A formula of a model file is rewritten the way `format` and `lint --fix`
write model files (`model.writing.rewrite_formulas`: its indentation,
escapes and line ends kept), and the edit sent is the smallest one that
turns the document's text into the new one.
"""

from __future__ import annotations

import re
from collections.abc import Callable

from lsprotocol import types

from ..check import CheckOptions, parse_tree
from ..diagnostics import Diagnostic
from ..formatter import FormatError, FormatOptions
from ..formatter.files import format_dax_text, format_formula
from ..lint import Finding, LintConfig, lint_tree
from ..lint.fixes import FixError, apply_fixes, settle
from ..model import Formula
from ..model.writing import rewrite_formulas
from ..syntax import Node, ParseError
from .convert import span_range, text_edit
from .documents import Document
from .places import Piece
from .symbols import Symbol
from .workspace import DocumentView, Finding as Shown

__all__ = ["FIX_ALL", "code_actions", "fix_all", "format_document", "rename_local", "smallest_edit"]


def smallest_edit(document: Document, new: str) -> list[types.TextEdit]:
    """The one edit that turns the document's text into `new`: the text
    between what they begin and end with alike; none when they are equal."""
    old = document.text
    if old == new:
        return []
    start = 0
    limit = min(len(old), len(new))
    while start < limit and old[start] == new[start]:
        start += 1
    end_old, end_new = len(old), len(new)
    while end_old > start and end_new > start and old[end_old - 1] == new[end_new - 1]:
        end_old -= 1
        end_new -= 1
    return [text_edit(document, start, end_old, new[start:end_new])]


def _overlaps(document: Document, piece: Piece, first: int, last: int) -> bool:
    """Whether the range touches the lines of the piece (in a model file,
    the line that declares a formula written after its `=` counts)."""
    start = document.text.rfind("\n", 0, piece.start) + 1
    return start <= last and first <= piece.end


def format_document(view: DocumentView, options: FormatOptions, first: int | None = None,
                    last: int | None = None) -> list[types.TextEdit]:
    """The edits that format the document, or only the formulas that the
    document offsets `first`..`last` touch. A formula that does not parse
    is left as it is; the others are formatted all the same."""
    document = view.document
    if not view.is_model_file:
        piece = view.pieces[0] if view.pieces else None
        if piece is None or piece.kind == "function":
            return []
        try:
            formatted = format_dax_text(document.text, piece.kind, options, document.path or "<document>")
        except (ParseError, FormatError):
            return []
        return smallest_edit(document, formatted)
    changes = []
    for piece in view.pieces:
        formula = piece.formula
        if formula is None or (first is not None and last is not None and not _overlaps(document, piece, first, last)):
            continue
        try:
            new = format_formula(formula, options, f"{formula.kind} {formula.name}")
        except (ParseError, FormatError):
            continue
        if new != formula.text:
            changes.append((formula, new))
    if not changes:
        return []
    return smallest_edit(document, rewrite_formulas(document.text, changes))


# --- fixes --------------------------------------------------------------------------


def _rewritten(view: DocumentView, piece: Piece, new: str) -> list[types.TextEdit]:
    """The edit that gives `piece` the text `new`."""
    if piece.formula is None:
        return smallest_edit(view.document, new)
    return smallest_edit(view.document, rewrite_formulas(view.document.text, [(piece.formula, new)]))


def _parser(piece: Piece, options: CheckOptions) -> Callable[[str], Node]:
    def parse(text: str) -> Node:
        return parse_tree(text, piece.kind, options)
    return parse


def _format_options(options: CheckOptions) -> FormatOptions:
    return FormatOptions(separators=options.separators, grammar=options.grammar)


#: The title of the source action that makes every safe fix of a document.
FIX_ALL = "Fix every safe lint finding (quarrow-dax)"


def code_actions(view: DocumentView, shown: list[Shown], first: int, last: int, options: CheckOptions,
                 config: LintConfig | None, only: list[str] | None = None,
                 deferred: bool = False) -> list[types.CodeAction]:
    """A quick fix for each finding in the range that proposes one, and,
    when a finding of the document has a safe fix, a source action that
    makes every safe fix of it. `deferred`: that action comes without its
    edit (the editor resolves it when chosen, see `fix_all`), since
    working it out means linting the whole document again, and editors
    ask for actions at every move of the cursor."""
    actions: list[types.CodeAction] = []

    def wanted(kind: str) -> bool:
        return only is None or any(kind.startswith(prefix) for prefix in only)

    if wanted(types.CodeActionKind.QuickFix):
        for item in shown:
            finding, piece = item.diagnostic, item.piece
            if not isinstance(finding, Finding) or finding.fix is None or piece is None or not finding.fix.edits:
                continue
            start, end = piece.document_span(finding.start, finding.end)
            if end < first or start > last:
                continue
            action = _quick_fix(view, piece, finding, options)
            if action is not None:
                actions.append(action)
    fixable = any(isinstance(item.diagnostic, Finding) and item.diagnostic.fix is not None
                  and item.diagnostic.fix.safe for item in shown)
    if wanted(types.CodeActionKind.SourceFixAll) and config is not None and fixable:
        if deferred:
            actions.append(types.CodeAction(title=FIX_ALL, kind=types.CodeActionKind.SourceFixAll,
                                            data={"uri": view.document.uri}))
        else:
            action = fix_all(view, options, config)
            if action is not None:
                actions.append(action)
    return actions


def fix_all(view: DocumentView, options: CheckOptions, config: LintConfig) -> types.CodeAction | None:
    """The source action that makes every safe fix of the document, with
    its edit; None when there is nothing to fix."""
    edits = _fix_all(view, options, config)
    if not edits:
        return None
    return types.CodeAction(title=FIX_ALL, kind=types.CodeActionKind.SourceFixAll,
                            edit=types.WorkspaceEdit(changes={view.document.uri: edits}))


def _quick_fix(view: DocumentView, piece: Piece, finding: Finding, options: CheckOptions) -> types.CodeAction | None:
    assert finding.fix is not None
    try:
        tree = parse_tree(piece.text, piece.kind, options)
        new, _, used = apply_fixes(piece.text, tree, [finding], _parser(piece, options), _format_options(options))
    except (ParseError, FixError, FormatError):
        return None
    if not used:
        return None
    edits = _rewritten(view, piece, new)
    if not edits:
        return None
    title = f"{finding.fix.description} ({finding.code})"
    if not finding.fix.safe:
        title += ": review, this may change results"
    return types.CodeAction(title=title, kind=types.CodeActionKind.QuickFix, is_preferred=finding.fix.safe,
                            edit=types.WorkspaceEdit(changes={view.document.uri: edits}))


def _fix_all(view: DocumentView, options: CheckOptions, config: LintConfig) -> list[types.TextEdit]:
    """Every safe fix of every DAX text of the document, settled as
    `lint --fix` settles them."""
    snapshot = view.snapshot
    changes = []
    new_dax: str | None = None
    for piece in view.pieces:
        try:
            tree = parse_tree(piece.text, piece.kind, options)
        except ParseError:
            continue
        formula = piece.formula

        def lint(source: str, tree: Node, formula: Formula | None = formula) -> list[Diagnostic]:
            if formula is None or snapshot is None:
                return list(lint_tree(tree, source, path=view.document.path, config=config,
                                      separators=options.separators))
            return list(lint_tree(tree, source, path=formula.file, config=config, model=snapshot.model,
                                  formula=formula, resolver=snapshot.parsed.resolver, separators=options.separators))

        fixed = settle(piece.text, tree, lint, _parser(piece, options), _format_options(options))
        if fixed.text == piece.text:
            continue
        if formula is None:
            new_dax = fixed.text
        else:
            changes.append((formula, fixed.text))
    if new_dax is not None:
        return smallest_edit(view.document, new_dax)
    if not changes:
        return []
    return smallest_edit(view.document, rewrite_formulas(view.document.text, changes))


# --- renaming a variable or parameter ---------------------------------------------------

_PLAIN = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_RESERVED = frozenset({"VAR", "RETURN", "DEFINE", "EVALUATE", "MEASURE", "COLUMN", "TABLE", "FUNCTION", "ORDER",
                       "BY", "START", "AT", "ASC", "DESC", "IN", "NOT", "AND", "OR", "TRUE", "FALSE"})


class RenameRefused(ValueError):
    """What cannot be renamed, or not to that name: the message says why."""


def check_local_name(new_name: str) -> None:
    if not _PLAIN.match(new_name):
        raise RenameRefused(f"{new_name!r} is not a name a variable can have: letters, digits and _, not first a digit")
    if new_name.upper() in _RESERVED:
        raise RenameRefused(f"{new_name!r} is a keyword of DAX")


def rename_local(view: DocumentView, piece: Piece, found: Symbol, new_name: str) -> list[types.TextEdit]:
    """The edits that rename a variable or parameter at its definition and
    every use of it; raises RenameRefused."""
    check_local_name(new_name)
    if found.definition is None:
        raise RenameRefused(f"the definition of {found.name} is not in this text")
    folded = new_name.casefold()
    for index, ref in enumerate(found.refs):
        if ref.kind in ("variable", "parameter") and ref.name.casefold() == folded and index != found.definition:
            raise RenameRefused(f"a {ref.kind} named {ref.name} is declared already in this formula")
    edits = []
    for index, ref in enumerate(found.refs):
        if index != found.definition and ref.target != found.definition:
            continue
        span = ref.span
        if span is None:
            continue
        start = span.start
        if index == found.definition or ref.kind in ("variable use", "parameter use"):
            end = span.end
        elif ref.name_span is not None:
            end = ref.name_span.start  # `t` of `t[Column]`
        else:
            continue
        edits.append(types.TextEdit(range=span_range(view.document, piece, start, end), new_text=new_name))
    return edits
