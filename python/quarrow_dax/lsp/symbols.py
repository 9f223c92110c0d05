"""What the name under the cursor is: a built-in or model function, a
measure, a column, a table, a hierarchy, a variable or a parameter, with
the model object it means.

A text that parses is read by its references, resolved against the model
as `check` resolves them (a variable's use knows its definition, a bare
`[x]` in an iterator its table). A text that does not parse yet is read by
its tokens: `Table[Name]`, `[Name]`, `'Table'`, `NAME (`, so that the rest
of the features keep working while a formula is half typed.
"""

from __future__ import annotations

from dataclasses import dataclass, field

from ..check import CheckOptions
from ..functions import Signature, signature
from ..model import Formula, Model, ModelObject
from ..references import Reference, references
from ..resolution import Resolver
from ..syntax import ParseError, Token
from .cursor import token_at, tokens_of
from .places import Piece
from .workspace import DocumentView

__all__ = ["LOCAL_KINDS", "Symbol", "piece_references", "resolver_of", "symbol_at", "text_formula"]

#: The kinds of symbol that live inside one text.
LOCAL_KINDS = frozenset({"variable", "parameter", "query parameter", "query definition"})

_DEFINITIONS = {"variable": "variable", "parameter": "parameter", "measure definition": "query definition",
                "column definition": "query definition", "table definition": "query definition",
                "function definition": "query definition"}
_USES = {"variable use": "variable", "parameter use": "parameter", "query parameter": "query parameter"}


@dataclass
class Symbol:
    """A name in a DAX text: its `kind` ("function" for a built-in one,
    "model function", "measure", "column", "table", "hierarchy",
    "calculation item", "variable", "parameter", "query parameter",
    "query definition", or "unknown"), the `name`, the byte span of the
    name under the cursor, and what it means: the model object (`target`),
    the catalogue's signature, or for a name of the text itself the
    index of its definition among `refs`."""

    kind: str
    name: str
    start: int
    end: int
    target: ModelObject | None = None
    signature: Signature | None = None
    table: str | None = None
    refs: list[Reference] = field(default_factory=list)
    definition: int | None = None
    #: For the name of an object where its file declares it (outside any
    #: formula): the document offsets of the name; `start` and `end` are
    #: then those offsets too.
    declared: bool = False

    @property
    def is_local(self) -> bool:
        return self.kind in LOCAL_KINDS


def text_formula(piece: Piece, path: str | None) -> Formula:
    """The formula a piece is, for looking its names up: its model formula,
    or one made for a `.dax` file's text (belonging to no object)."""
    if piece.formula is not None:
        return piece.formula
    return Formula(path or "", None, "", "query" if piece.kind == "query" else "expression", piece.text, 1, 1,
                   ((1, 1),), (len(piece.text),))


def resolver_of(view: DocumentView) -> Resolver:
    if view.snapshot is not None:
        return view.snapshot.resolver()
    return Resolver(Model(""))


def piece_references(piece: Piece, options: CheckOptions) -> list[Reference] | None:
    """The references of a piece, or None when it does not parse."""
    try:
        return references(piece.text, kind=piece.kind, grammar=options.grammar, separators=options.separators)
    except ParseError:
        return None


def symbol_at(view: DocumentView, piece: Piece, offset: int, options: CheckOptions) -> Symbol | None:
    """The symbol at byte `offset` of `piece`."""
    refs = piece_references(piece, options)
    if refs is not None:
        found = _from_references(view, piece, refs, offset)
        if found is not None:
            return found
    return _from_tokens(view, piece, offset, options)


def _span(ref: Reference) -> tuple[int, int]:
    span = ref.span
    return (span.start, span.end) if span is not None else (0, 0)


def _name_part(ref: Reference) -> tuple[int, int]:
    """Where the name of a reference is: a call's name, not its arguments."""
    start, end = _span(ref)
    if ref.kind == "function":
        return start, start + len(ref.name.encode("utf-8"))
    return start, end


def _from_references(view: DocumentView, piece: Piece, refs: list[Reference], offset: int) -> Symbol | None:
    best: int | None = None
    for index, ref in enumerate(refs):
        start, end = _name_part(ref)
        if start <= offset <= end and (best is None or end - start < _name_part(refs[best])[1] - _name_part(refs[best])[0]):
            best = index
    if best is None:
        return None
    ref = refs[best]
    start, end = _name_part(ref)
    if ref.kind in _DEFINITIONS:
        return Symbol(_DEFINITIONS[ref.kind], ref.name, start, end, refs=refs, definition=best)
    if ref.kind in _USES:
        return Symbol(_USES[ref.kind], ref.name, start, end, refs=refs, definition=ref.target)
    model = view.snapshot.model if view.snapshot is not None else None
    if ref.kind in ("column", "hierarchy") and ref.name_span is not None and offset < ref.name_span.start \
            and ref.target is None:
        # On the table of Table[Column].
        table = model.table(ref.table or "") if model is not None else None
        return Symbol("table", ref.table or "", start, ref.name_span.start, target=table)
    if ref.kind in ("column", "bracket") and ref.target is not None:
        # A column of a table variable: the variable is what it means.
        definition = refs[ref.target]
        return Symbol("variable", definition.name, start, end, refs=refs, definition=ref.target)
    resolution = resolver_of(view).resolve(text_formula(piece, view.document.path), refs)[best]
    target = resolution.target
    if ref.kind == "function":
        if target is not None:
            return Symbol("model function", ref.name, start, end, target=target)
        return Symbol("function", ref.name, start, end, signature=signature(ref.name))
    if target is None:
        if ref.kind == "table" and resolution.status == "builtin":
            return None  # a word a function takes (DESC, DAY)
        return Symbol("unknown", ref.name, start, end, table=ref.table)
    if ref.kind in ("column", "bracket") and ref.name_span is not None:
        start = ref.name_span.start
    return Symbol(target.kind, target.name, start, end, target=target, table=getattr(target, "table", None))


def _from_tokens(view: DocumentView, piece: Piece, offset: int, options: CheckOptions) -> Symbol | None:
    """The symbol at `offset` read from the tokens around it alone."""
    tokens = [token for token in tokens_of(piece.text, options.separators) if not token.is_comment]
    token = token_at(tokens, offset)
    if token is None or token.span is None:
        return None
    index = tokens.index(token)
    after = tokens[index + 1] if index + 1 < len(tokens) else None
    before = tokens[index - 1] if index > 0 else None
    model = view.snapshot.model if view.snapshot is not None else None
    start, end = token.span
    name = token.value or token.text
    if token.kind == "Ident" and after is not None and after.kind == "LParen":
        found = model.function(name) if model is not None else None
        if found is not None:
            return Symbol("model function", found.name, start, end, target=found)
        return Symbol("function", name, start, end, signature=signature(name))
    if token.kind == "BracketIdent":
        table = None
        if before is not None and before.span is not None and before.span.end == start \
                and before.kind in ("Ident", "QuotedIdent"):
            table = before.value
        target = _member(model, table, name)
        if target is None:
            return Symbol("unknown", name, start, end, table=table)
        return Symbol(target.kind, target.name, start, end, target=target, table=getattr(target, "table", None))
    if token.kind in ("Ident", "QuotedIdent"):
        if after is not None and after.kind == "BracketIdent" and after.span is not None and after.span.start == end:
            found_table = model.table(name) if model is not None else None
            return Symbol("table", name, start, end, target=found_table)
        definition = _variable(tokens, name)
        if definition is not None:
            return Symbol("variable", name, start, end, table=None)
        found_table = model.table(name) if model is not None else None
        if found_table is not None:
            return Symbol("table", found_table.name, start, end, target=found_table)
    return None


def _member(model: Model | None, table: str | None, name: str) -> ModelObject | None:
    """The measure or column `[name]` (of `table`, when given) means."""
    if model is None:
        return None
    if table is not None:
        found = model.table(table)
        if found is None:
            return None
        key = name.casefold()
        return found.columns.get(key) or found.measures.get(key)
    measure = model.measure(name)
    if measure is not None:
        return measure
    columns = [table.columns[name.casefold()] for table in model.tables.values() if name.casefold() in table.columns]
    return columns[0] if len(columns) == 1 else None


def _variable(tokens: list[Token], name: str) -> Token | None:
    """The `VAR name` declaration among `tokens`, if any."""
    folded = name.casefold()
    for index in range(len(tokens) - 1):
        if tokens[index].kind == "Ident" and tokens[index].text.upper() == "VAR" \
                and tokens[index + 1].text.casefold() == folded:
            return tokens[index + 1]
    return None
