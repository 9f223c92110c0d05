"""The places of a model's files that a rename rewrites: every place that
spells the renamed object's name (its declaration and the properties that
name it, `model.names` and `model.tmdl_names`) and every reference to it in
the model's formulas (`dax`)."""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path

from ..model.names import NamePlace, bim_names
from ..model.tmdl import TmdlReader
from ..model.tmdl_names import TmdlNames, needs_tmdl_quotes, tmdl_quote
from ..resolution import Resolver
from ..syntax.parsing import Grammar, ParseError, Separators
from .dax import Findings, ambiguous, apply_dax, dax_edits, may_mention, mentions
from .edits import TextEdit
from .splice import FileText, formula_edits
from .targets import RenameError, Target

__all__ = ["model_formula_edits", "model_names", "name_edits"]


def model_names(files: dict[str, FileText], wanted: Callable[[str], bool],
                may_name: Callable[[str], bool]) -> list[NamePlace]:
    """Every name place of the model files `files` (by path) that `may_name`
    says may spell a name sought (a file that spells none has no place of
    it); JSON blocks are read when `wanted` says they may hold one."""
    places: list[NamePlace] = []
    for path, file in files.items():
        if not may_name(file.text):
            continue
        if path.lower().endswith(".bim"):
            try:
                places.extend(bim_names(path, file.text, wanted))
            except ValueError as error:
                raise RenameError(f"{path}: cannot be read: {error}") from None
        elif path.lower().endswith(".tmdl"):
            names = TmdlNames(path, file.text, wanted)
            for _ in TmdlReader(Path(path), text=file.text, names=names).formulas():
                pass
            places.extend(names.places)
    return places


# How a listing names each kind of place.
_ROLES = {
    "declaration": "{kind} declaration", "ref": "ref {kind}", "sort by": "sort-by column",
    "level column": "hierarchy level's column", "group by": "group-by column", "relationship": "relationship's {kind}",
    "role permission": "role's {kind} permission", "perspective": "perspective's {kind}",
    "translation": "translation's {kind}", "variation": "variation's {kind}", "alternate of": "aggregation's base {kind}",
    "linguistic binding": "Q&A binding's {kind}", "query order": "Power BI's query order",
}


def _names_target(place: NamePlace, target: Target) -> bool:
    if place.name.casefold() != target.name.casefold():
        return False
    if target.kind in ("table", "function"):
        return place.kind == target.kind
    if (place.table or "").casefold() != (target.table or "").casefold():
        return False
    return place.kind == target.kind or (place.kind == "member" and target.kind in ("measure", "column"))


def name_edits(places: list[NamePlace], files: dict[str, FileText], target: Target, new: str) -> list[TextEdit]:
    """The edits of the places that spell `target`'s name."""
    edits = []
    for place in places:
        if not _names_target(place, target):
            continue
        file = files[place.file]
        what = _ROLES.get(place.role, "{kind} " + place.role).format(kind="field" if place.kind == "member"
                                                                       else place.kind)
        if place.syntax == "tmdl":
            written = file.text[place.start : place.end]
            quoted = written.startswith("'") and not needs_tmdl_quotes(place.name)
            edits.append(TextEdit(place.file, place.start, place.end, tmdl_quote(new, quoted), what))
        else:
            token = file.token(place.start, place.end, place.depth)
            if token.value != place.name:
                raise RenameError(f"{place.file}: the name {place.name!r} is not where it was read")
            edits.append(TextEdit(place.file, *token.replace(0, len(token.value), new), what))
    return edits


def model_formula_edits(resolver: Resolver, files: dict[str, FileText], target: Target, new: str,
                        forms: tuple[str, ...], grammar: Grammar, separators: Separators, found: Findings) -> None:
    """Adds to `found` the edits of the references to `target` in the
    model's formulas, and the mentions of its name in their strings and
    comments. A formula that does not parse but may name the target stops
    the rename: what it means cannot be known."""
    for formula in resolver.model.formulas:
        if not may_mention(formula.text, forms):
            continue
        try:
            refs = resolver.formula_references(formula, grammar=grammar, separators=separators)
        except ParseError as error:
            line, column = formula.locate_offset(error.span.start)
            raise RenameError(
                f"{formula.file}:{line}:{column}: the {formula.kind} {formula.name!r} does not parse"
                f" ({error.message}) and may name {target.dax}: what it means cannot be known",
                "fix the formula first (quarrow-dax check shows what is wrong)",
            ) from None
        resolutions = resolver.resolve(formula, refs)
        changes = dax_edits(formula.text, refs, resolutions, target, new)
        if changes:
            found.edits.extend(formula_edits(formula, changes, files[formula.file]))
            found.texts[id(formula)] = apply_dax(formula.text, changes)
        found.mentions.extend(mentions(formula, forms))
        found.mentions.extend(ambiguous(formula, resolutions, target))
