"""Hover and signature help: what the catalogue says of a function, what
the model says of a measure, column, table or function, and which
parameter the argument being typed stands for."""

from __future__ import annotations

from collections.abc import Callable

from lsprotocol import types

from ..arguments import signature_of
from ..functions import Parameter, Signature, automaton, signature
from ..model import ModelObject, bracket, quote_table
from ..model.objects import Column, Function, Measure, Table
from ..syntax import Function as FunctionNode, parse_function
from .convert import lsp_range, span_range
from .cursor import enclosing_call, prefix
from ..references import Reference
from .places import Piece
from .properties import object_properties
from .symbols import Symbol
from .workspace import DocumentView

__all__ = ["hover", "signature_help", "signature_markdown", "udf_signature"]


def _fence(text: str) -> str:
    return f"```dax\n{text}\n```"


def signature_markdown(found: Signature) -> str:
    """A built-in function as the hover shows it: its forms, what it does,
    what it returns, and its reference page."""
    parts = [_fence(found.text()), found.description]
    if found.deprecated:
        replacement = f": use {found.replacement} instead" if found.replacement else ""
        parts.append(f"**Deprecated**{replacement}.")
    elif found.replacement:
        parts.append(f"Superseded by {found.replacement}.")
    parts.append(f"*{found.category}*, returns {found.returns}")
    if found.link:
        parts.append(f"[Reference]({found.link})")
    return "\n\n".join(part for part in parts if part)


def udf_signature(found: Function) -> Signature | None:
    """The signature of a model's user-defined function, from its text."""
    for formula in found.formulas:
        try:
            tree = parse_function(formula.text, name=found.name)
        except ValueError:
            continue
        if isinstance(tree, FunctionNode):
            return signature_of(tree, found.name)
    return None


def _object_markdown(found: ModelObject, text_of: Callable[[str], str | None]) -> str:
    """A model object as the hover shows it: what it is, its formula and
    the properties its file states."""
    properties = object_properties(found, text_of)
    heading = f"{found.kind} {found.dax}"
    parts = []
    if isinstance(found, Function):
        udf = udf_signature(found)
        parts.append(_fence(udf.forms[0].text(found.name) if udf is not None else found.name))
        heading = f"function {found.name}"
    parts.insert(0, f"**{heading}**")
    if isinstance(found, Column):
        parts.append(f"{found.type} column of {quote_table(found.table)}")
    elif isinstance(found, Measure):
        parts.append(f"measure of {quote_table(found.table)}")
    elif isinstance(found, Table):
        counts = [f"{len(found.columns)} columns", f"{len(found.measures)} measures"]
        if found.calculation_group:
            counts.append(f"{len(found.calculation_items)} calculation items")
        parts.append(", ".join(counts))
    description = properties.pop("description", None)
    if description:
        parts.append(description)
    if not isinstance(found, Function):
        for formula in found.formulas[:2]:
            label = "" if formula.kind in ("measure", "calculated column", "calculated table") else f"{formula.kind}:\n"
            parts.append(label + _fence(formula.text.strip("\n")))
    details = [f"{name}: `{value}`" for name, value in properties.items()]
    if details:
        parts.append("  \n".join(details))
    parts.append(f"declared in {_short(found.file)}:{found.line}")
    return "\n\n".join(parts)


def _short(path: str) -> str:
    parts = path.replace("\\", "/").split("/")
    return "/".join(parts[-2:])


def hover(view: DocumentView, piece: Piece | None, found: Symbol,
          text_of: Callable[[str], str | None]) -> types.Hover | None:
    """The hover of a symbol."""
    if found.kind == "function":
        if found.signature is None:
            return None
        value = signature_markdown(found.signature)
    elif found.target is not None:
        value = _object_markdown(found.target, text_of)
    elif found.is_local and found.definition is not None and found.refs and piece is not None:
        definition = found.refs[found.definition]
        value = f"**{found.kind} {definition.name}**"
        if found.kind == "variable":
            value += "\n\n" + _fence(_declaration(piece, definition))
    elif found.kind == "unknown":
        written = (quote_table(found.table) if found.table else "") + bracket(found.name) \
            if found.table is not None or not found.name[:1].isalpha() else found.name
        value = f"**{written}**: not found in the model" if view.snapshot is not None else f"**{written}**"
    else:
        return None
    where = lsp_range(view.document, found.start, found.end) if piece is None \
        else span_range(view.document, piece, found.start, found.end)
    return types.Hover(contents=types.MarkupContent(kind=types.MarkupKind.Markdown, value=value), range=where)


def _declaration(piece: Piece, definition: Reference) -> str:
    """`VAR name = ...` as written, up to the end of its line."""
    span = definition.span
    if span is None:
        return definition.name
    data = piece.data
    start = data.rfind(b"VAR", 0, span.start)
    begin = start if start >= 0 and not data[start + 3 : span.start].strip() else span.start
    end = data.find(b"\n", span.end)
    return data[begin : len(data) if end < 0 else end].decode("utf-8", "replace").strip()


# --- signature help ----------------------------------------------------------------


def _active(found: Signature, argument: int) -> tuple[int, int]:
    """(form, parameter) that argument `argument` of a call of `found`
    stands for while the call is being typed: the first reading of the
    call with more arguments to come in which the argument has a place."""
    machine = automaton(found)
    longest = max(len(form.parameters) for form in found.forms)
    for count in range(argument + 1, argument + longest + 2):
        candidates = machine.candidates(count)
        if candidates and candidates[argument]:
            parameter = candidates[argument][0]
            for number, form in enumerate(found.forms):
                for index, member in enumerate(form.parameters):
                    if member is parameter:
                        return number, index
    return 0, min(argument, max(len(found.forms[0].parameters) - 1, 0))


def _information(found: Signature, form_number: int) -> types.SignatureInformation:
    form = found.forms[form_number]
    label = form.text(found.name)
    parameters = []
    position = 0
    for parameter in form.parameters:
        text = parameter.text()
        at = label.find(text, position)
        if at < 0:
            at = label.find(text)
        if at >= 0:
            position = at + len(text)
        parameters.append(types.ParameterInformation(
            label=(_units(label[:at]), _units(label[: at + len(text)])) if at >= 0 else text,
            documentation=_parameter_text(parameter)))
    return types.SignatureInformation(
        label=label, documentation=types.MarkupContent(kind=types.MarkupKind.Markdown, value=found.description),
        parameters=parameters)


def _units(text: str) -> int:
    """UTF-16 code units, as the protocol counts label offsets."""
    return len(text) + sum(1 for character in text if ord(character) > 0xFFFF)


def _parameter_text(parameter: Parameter) -> str:
    from ..functions import KINDS

    notes = [KINDS.get(parameter.kind, parameter.kind)]
    if parameter.optional:
        notes.append("optional")
    if parameter.repeating:
        notes.append("repeats")
    if parameter.keywords:
        notes.append("one of " + ", ".join(parameter.keywords))
    return "; ".join(notes)


def signature_help(view: DocumentView, piece: Piece, offset: int, separators: str) -> types.SignatureHelp | None:
    """The signature of the call the place stands in, its argument marked."""
    before = prefix(piece.text, offset, separators)  # type: ignore[arg-type]
    if before.open_kind in ("String", "LineComment", "BlockComment"):
        return None
    call = enclosing_call(before.tokens, separators)  # type: ignore[arg-type]
    if call is None:
        return None
    found: Signature | None = None
    model = view.snapshot.model if view.snapshot is not None else None
    udf = model.function(call.name) if model is not None else None
    if udf is not None:
        found = udf_signature(udf)
    if found is None:
        found = signature(call.name)
    if found is None or not found.forms:
        return None
    form, parameter = _active(found, call.argument)
    return types.SignatureHelp(
        signatures=[_information(found, number) for number in range(len(found.forms))],
        active_signature=form, active_parameter=parameter)
