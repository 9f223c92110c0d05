"""The places of a report that a rename rewrites: its field references'
table and field names (`FieldUse` spans, in PBIR-Legacy's JSON inside
strings too), the query names that spell the field ("Sales.Margin",
"Sum(Sales.Qty)": `queryRef`, select items' `Name`, selectors, per-field
settings, saved highlights, expanded levels), the name a visual shows for a
field where it is still the field's own (`nativeQueryRef`,
`NativeReferenceName`) and the visual calculations that name the field by
it, the table report measures are attached to, and the references of
report measures' DAX.

Display text is left alone: a `displayName` is a name the report's author
gave the field in one visual (or a filter card's title), and a visual's
name for a field that differs from the field's is such a name too. A
literal value in a filter is data, whatever it spells.
"""

from __future__ import annotations

from collections.abc import Callable

from ..model import Model
from ..report import FieldUse, Report, RawSpan
from ..report.extension import extended_model
from ..report.names import FieldName, field_names, split_query_name
from ..resolution import Resolver
from ..syntax import ParseError
from ..syntax.parsing import Grammar, Separators
from ..references import Reference, references
from .dax import DaxEdit, FileMention, Findings, ambiguous, apply_dax, dax_edits, may_mention, mentions
from .edits import TextEdit
from .splice import FileText, formula_edits
from .targets import RenameError, Target

__all__ = ["report_edits"]

# How a report wrote a use that has spans of its own names (not a
# selector's "Table.Name" string, not report DAX).
_SPANNED = frozenset({"Column", "Measure", "Hierarchy", "HierarchyLevel", "PropertyVariationSource"})


class _ReportRename:
    def __init__(self, report: Report, model: Model, files: dict[str, FileText], target: Target, new: str,
                 forms: tuple[str, ...], wanted: Callable[[str], bool], found: Findings) -> None:
        self.report = report
        self.model = model
        self.files = files
        self.target = target
        self.new = new
        self.forms = forms
        self.wanted = wanted
        self.found = found
        self.edits = found.edits
        # The name spans of the field references renamed, and the names
        # visuals show for them that are renamed with them.
        self.renamed_fields: set[tuple[str, int, int]] = set()
        self.renamed_shown: dict[tuple[str | None, str | None], dict[str, str]] = {}

    def same(self, a: str | None, b: str | None) -> bool:
        return (a or "").casefold() == (b or "").casefold()

    def whole(self, span: RawSpan, expected: str, what: str) -> None:
        """The string at `span` (holding `expected`) renamed whole."""
        self.part(span, expected, 0, len(expected), what)

    def part(self, span: RawSpan, expected: str, start: int, end: int, what: str) -> None:
        """Characters `start`..`end` of the string at `span` renamed."""
        token = self.files[span.file].token(span.start, span.end, span.depth)
        if token.value != expected:
            raise RenameError(f"{span.file}: {expected!r} is not where the report was read from")
        self.edits.append(TextEdit(span.file, *token.replace(start, end, self.new), what))

    # --- field references -------------------------------------------------------

    def uses(self) -> None:
        target = self.target
        for use in self.report.uses:
            if use.written not in _SPANNED:
                continue
            if target.kind == "table" and use.table_span is not None and self.same(use.table, target.name):
                self.whole(use.table_span, _written_table(use, self.files), "table of a field reference")
            if (target.kind in ("measure", "column") and use.kind == target.kind and use.name_span is not None
                    and self.same(use.table, target.table) and self.same(use.name, target.name)):
                self.whole(use.name_span, use.name, f"{target.kind} of a field reference")
                span = use.name_span
                self.renamed_fields.add((span.file, span.start, span.end))

    # --- names spelled otherwise ----------------------------------------------------

    def names(self) -> None:
        texts = {path: file.text for path, file in self.files.items()}
        found = field_names(self.report, texts, self.wanted)
        for name in found:
            if name.form == "query name":
                self.query_name(name)
            elif name.form == "table name":
                if self.target.kind == "table" and self.same(name.text, self.target.name):
                    self.whole(name.span, name.text, "table of report measures")
            elif name.form == "literal" and self.target.kind == "calculation item":
                if self.same(name.text[1:-1].replace("''", "'"), self.target.name):
                    self.found.file_mentions.append(FileMention(
                        name.span.file, name.span.start, name.span.end, name.text,
                        "a filter value that may select the calculation item"))
        for name in found:  # once every field reference renamed is known
            if name.form == "display name" and name.field is not None:
                field = (name.field.file, name.field.start, name.field.end)
                if field in self.renamed_fields and name.text == self.target.name:
                    self.whole(name.span, name.text, f"name a visual shows for the {self.target.kind}")
                    self.renamed_shown.setdefault((name.page, name.visual), {})[name.text.casefold()] = self.new

    def query_name(self, name: FieldName) -> None:
        split = _split(name.text, self.model, self.report)
        if split is None:
            return
        prefix, table, member, _ = split
        target = self.target
        if target.kind == "table":
            if self.same(table, target.name):
                self.part(name.span, name.text, len(prefix), len(prefix) + len(table), "table of a query name")
        elif target.kind in ("measure", "column") and self.same(table, target.table) and member is not None \
                and self.same(member, target.name):
            start = len(prefix) + len(table) + 1
            self.part(name.span, name.text, start, start + len(member), f"{target.kind} of a query name")

    # --- DAX ------------------------------------------------------------------------

    def formulas(self, grammar: Grammar, separators: Separators) -> None:
        formulas = [formula for formula in self.report.formulas if may_mention(formula.text, self.forms)
                    or (formula.kind == "visual calculation" and (formula.page, formula.visual) in self.renamed_shown)]
        if not formulas:
            return
        resolver = Resolver(extended_model(self.model, self.report))
        for formula in formulas:
            where = f"the {formula.kind} {formula.name!r} of the report {self.report.name}"
            try:
                refs = references(formula.text, grammar=grammar, separators=separators)
            except ParseError as error:
                if not may_mention(formula.text, self.forms):
                    continue
                line, column = formula.formula.locate_offset(error.span.start)
                raise RenameError(f"{formula.formula.file}:{line}:{column}: {where} does not parse ({error.message})"
                                  f" and may name {self.target.dax}: what it means cannot be known",
                                  "fix the formula first (quarrow-dax check shows what is wrong)") from None
            if formula.kind == "visual calculation":
                changes = self.visual_calculation(formula.page, formula.visual, refs, formula.text)
            else:
                resolutions = resolver.resolve(formula.formula, refs)
                changes = dax_edits(formula.text, refs, resolutions, self.target, self.new)
                self.found.mentions.extend(ambiguous(formula.formula, resolutions, self.target))
            if changes:
                self.edits.extend(formula_edits(formula.formula, changes, self.files[formula.formula.file],
                                                formula.span.depth))
                self.found.texts[id(formula.formula)] = apply_dax(formula.text, changes)
            self.found.mentions.extend(mentions(formula.formula, self.forms))

    def visual_calculation(self, page: str | None, visual: str | None, refs: list[Reference],
                           text: str) -> list[DaxEdit]:
        """A visual calculation names its visual's fields by the names the
        visual shows: those renamed with the field are renamed in it."""
        shown = self.renamed_shown.get((page, visual), {})
        data = text.encode("utf-8")
        edits = []
        for ref in refs:
            if ref.kind != "bracket" or ref.name.casefold() not in shown or ref.name_span is None:
                continue
            span = ref.name_span
            new = shown[ref.name.casefold()]
            edits.append(DaxEdit(span.start, span.end, "[" + new.replace("]", "]]") + "]",
                                 data[span.start : span.end].decode("utf-8"), "visual calculation reference"))
        return edits


def _written_table(use: FieldUse, files: dict[str, FileText]) -> str:
    """The table name as the use's `Entity` string spells it (an alias's
    entity holds the model's spelling, perhaps in another case)."""
    assert use.table_span is not None
    span = use.table_span
    return files[span.file].token(span.start, span.end, span.depth).value


def _split(text: str, model: Model, report: Report) -> tuple[str, str, str | None, str] | None:
    """(prefix, table, member, suffix) of a query name, split where the
    model (and the report's measures) has such a table and, best, such a
    member: `member` is the longest name of the table's members that the
    rest is or begins with (a hierarchy's level, a date variation follow a
    dot), None when none is."""
    first = split_query_name(text)
    if first is None:
        return None
    prefix, _, _, suffix = first
    inner = text[len(prefix) : len(text) - len(suffix)]
    best: tuple[int, int, str, str | None] | None = None
    position = inner.find(".")
    while position > 0:
        table, rest = inner[:position], inner[position + 1 :]
        members = _members(table, model, report)
        if members is not None:
            member = _longest(rest, members)
            rank = (1 if member is not None else 0, len(table))
            if best is None or rank > best[:2]:
                best = (*rank, table, member)
        position = inner.find(".", position + 1)
    if best is None:
        return None
    return prefix, best[2], best[3], suffix


def _members(table: str, model: Model, report: Report) -> list[str] | None:
    """The names of the members of `table` (None when there is no such
    table, in the model or among the report's measures' tables)."""
    found = model.table(table)
    own = [formula.name for formula in report.measures if (formula.table or "").casefold() == table.casefold()]
    if found is None:
        return own or None
    members = (*found.columns.values(), *found.measures.values(), *found.hierarchies.values())
    return [*(member.name for member in members), *own]


def _longest(rest: str, members: list[str]) -> str | None:
    """The longest of `members` that `rest` is or begins with (then a dot),
    as `rest` spells it."""
    best = None
    for member in members:
        head, tail = rest[: len(member)], rest[len(member) :]
        if head.casefold() == member.casefold() and (not tail or tail[0] == ".") and (
                best is None or len(member) > len(best)):
            best = head
    return best


def report_edits(report: Report, model: Model, files: dict[str, FileText], target: Target, new: str,
                 forms: tuple[str, ...], wanted: Callable[[str], bool], grammar: Grammar,
                 separators: Separators, found: Findings) -> None:
    """Adds to `found` the edits of `report`'s files (by path in `files`)
    that rename `target` to `new`, and the mentions of its name in the
    strings and comments of the report's DAX."""
    rename = _ReportRename(report, model, files, target, new, forms, wanted, found)
    rename.uses()
    rename.names()
    rename.formulas(grammar, separators)
