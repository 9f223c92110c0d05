"""What a report is made of, as the readers return it: pages and their
visuals, bookmarks, the DAX the report holds, and every field reference with
its place."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Literal

from ..diagnostics import Diagnostic
from ..model import Formula, bracket, quote_table
from ._json import RawSpan

__all__ = [
    "Bookmark", "DatasetReference", "FieldUse", "KINDS", "NOT_USING", "Page", "Report", "ReportFormula", "Visual",
    "WHERES",
]

Kind = Literal["measure", "column", "hierarchy", "hierarchy level", "report measure", "unknown"]
#: What a referenced field is, as the model (or the report's own measures)
#: says: never as the report's JSON wrapper says, which may be wrong.
KINDS: tuple[Kind, ...] = ("measure", "column", "hierarchy", "hierarchy level", "report measure", "unknown")

Where = Literal[
    "visual projection", "sort", "report filter", "page filter", "visual filter", "slicer selection",
    "conditional formatting", "drill-through binding", "field parameter", "visual state", "bookmark",
    "report measure", "formatting selector", "report measure metadata",
]
#: Where in a report a field is referenced.
WHERES: tuple[Where, ...] = (
    "visual projection",  # a field a visual shows: a projection of its query
    "sort",  # what a visual is sorted by
    "report filter", "page filter", "visual filter",  # the filter pane, by level
    "slicer selection",  # the values a slicer has selected
    "conditional formatting",  # a field bound in a visual's formatting (colours, titles, icons)
    "drill-through binding",  # a page's drill-through or tooltip parameter
    "field parameter",  # a field parameter a visual selects through
    "visual state",  # a visual's saved state: expanded levels, cached filter items
    "bookmark",  # a bookmark's filters and visual state
    "report measure",  # the DAX of a report-level measure
    "formatting selector",  # names a field only to pick what a format applies to
    "report measure metadata",  # a report measure's list of what its DAX references
)
#: Places whose references do not make a field used: a formatting selector
#: is ignored when its field is gone, and a report measure's reference list
#: only repeats its DAX.
NOT_USING: frozenset[str] = frozenset({"formatting selector", "report measure metadata"})
#: Places whose stale references are a warning rather than a broken visual.
STALE_IS_WARNING: frozenset[str] = frozenset({"bookmark", "visual state"}) | NOT_USING


@dataclass(frozen=True, slots=True)
class FieldUse:
    """One reference of a report to a field of its model.

    `table` and `name` are the field's (for a hierarchy level, `name` is the
    hierarchy and `level` the level; a level of a column's automatic date
    hierarchy is the column's use, its `hierarchy` and `level` given);
    `table` is None where the report does not say it (a bare `[Name]` in
    report DAX that nothing decides). `kind` is one of `KINDS`, `where` one
    of `WHERES`; `written` is how the report wrote it (the JSON wrapper:
    "Column", "Measure", "Hierarchy", "HierarchyLevel",
    "PropertyVariationSource"; "dax" inside report DAX; for a selector's
    metadata string, "queryRef" when it is the query name of a field of its
    visual, which it then means whatever table the name says, else
    "metadata", read as "Table.Name").

    `page` and `visual` are the names (ids) of the page and visual it
    belongs to, where it belongs to one; `bookmark` the display name of the
    bookmark holding it. A visual calculation names the visual's own fields,
    not the model's: its DAX gives no uses (it is in `Report.formulas`). `file`, `line` and `column` place it (the property
    name's string, or in DAX the reference); `line` 0 for no place.

    For splicing a new name: `table_span`, `name_span` and `level_span` are
    the raw spans of the JSON strings holding each name (a table written
    through an alias has the span of the alias's `Entity` in its `From`,
    which other uses may share; a selector's "Table.Name" string is one span
    for both). In report DAX they are None: `formula` is the report formula
    and `dax_span` the reference's (start, end) UTF-8 byte span in its text.
    """

    report: str
    table: str | None
    name: str
    kind: Kind
    where: Where
    file: str
    line: int
    column: int
    written: str
    page: str | None = None
    visual: str | None = None
    bookmark: str | None = None
    #: In formatting that applies to one field of the visual (an `objects`
    #: entry with a selector), and for a selector's own use, the selector's
    #: metadata text.
    selector: str | None = None
    level: str | None = None
    hierarchy: str | None = None
    schema: str | None = None
    table_span: RawSpan | None = None
    name_span: RawSpan | None = None
    level_span: RawSpan | None = None
    formula: ReportFormula | None = field(default=None, repr=False, compare=False)
    dax_span: tuple[int, int] | None = None

    @property
    def used(self) -> bool:
        """Whether this reference makes its field used (see NOT_USING)."""
        return self.where not in NOT_USING

    @property
    def dax(self) -> str:
        """The field in DAX notation: 'Table'[Name], with a level after it."""
        head = quote_table(self.table) if self.table is not None else ""
        text = head + bracket(self.name)
        return text + ("." + bracket(self.level) if self.level is not None and self.hierarchy is None else "")


@dataclass(frozen=True, eq=False)
class ReportFormula:
    """DAX a report holds: a report measure (`kind` "report measure", in
    `table` under `name`) or a visual calculation ("visual calculation",
    `name` its name, on `page` and `visual`). `formula` has the text and maps
    places in it back to the file, as a model's formulas do; `span` is the
    raw span of the JSON string holding it."""

    report: str
    kind: str
    table: str | None
    name: str
    formula: Formula
    span: RawSpan
    page: str | None = None
    visual: str | None = None
    #: A report measure's data type and format string, as the file gives them.
    data_type: str | None = None
    format_string: str | None = None

    @property
    def text(self) -> str:
        return self.formula.text


@dataclass(eq=False)
class Visual:
    """A visual container: `name` (its id), `type` (its visual type, "group"
    for a group of visuals), `title` (the title text when the report gives a
    literal one), the page it is on and where it is declared."""

    name: str
    page: str
    type: str | None
    title: str | None
    file: str
    line: int
    column: int
    parent: str | None = None

    @property
    def label(self) -> str:
        """How a person finds it on its page: its title, else its type, else its id."""
        return self.title or self.type or self.name


@dataclass(eq=False)
class Page:
    """A page: `name` (its id, what bookmarks and drill-through name),
    `display_name` (its tab's text), its visuals in file order."""

    name: str
    display_name: str
    file: str
    line: int
    column: int
    visuals: list[Visual] = field(default_factory=list)

    @property
    def label(self) -> str:
        return self.display_name or self.name

    def visual(self, name: str) -> Visual | None:
        return next((visual for visual in self.visuals if visual.name == name), None)


@dataclass(eq=False)
class Bookmark:
    name: str
    display_name: str
    file: str
    line: int
    column: int


@dataclass(frozen=True)
class DatasetReference:
    """What `definition.pbir` says of the model: `by` is "path" (`path`
    relative to the report folder) or "connection" (`database`, the
    catalog named in its connection string). `model` is the model folder it
    leads to, when there is one: by path, or for a connection a
    `<database>.SemanticModel` folder beside the report."""

    by: Literal["path", "connection"]
    path: str | None
    database: str | None
    model: str | None
    file: str
    line: int
    column: int


@dataclass(eq=False)
class Report:
    """A report read whole: `path` (its folder), `name` (the folder's name
    without `.Report`), `format` ("PBIR" or "PBIR-Legacy"), the dataset
    reference, pages in their order, bookmarks, the report's DAX
    (`formulas`), every field reference (`uses`), and what could not be read
    (`problems`, as diagnostics: the rest of the report is still read)."""

    path: str
    name: str
    format: Literal["PBIR", "PBIR-Legacy"]
    dataset: DatasetReference | None = None
    pages: list[Page] = field(default_factory=list)
    bookmarks: list[Bookmark] = field(default_factory=list)
    formulas: list[ReportFormula] = field(default_factory=list)
    uses: list[FieldUse] = field(default_factory=list)
    problems: list[Diagnostic] = field(default_factory=list)

    def page(self, name: str | None) -> Page | None:
        return next((page for page in self.pages if page.name == name), None)

    def visual(self, page: str | None, name: str | None) -> Visual | None:
        found = self.page(page)
        return found.visual(name) if found is not None and name is not None else None

    @property
    def visuals(self) -> list[Visual]:
        return [visual for page in self.pages for visual in page.visuals]

    @property
    def measures(self) -> list[ReportFormula]:
        """The report-level measures."""
        return [formula for formula in self.formulas if formula.kind == "report measure"]

    def measure(self, table: str | None, name: str) -> ReportFormula | None:
        """The report measure `name` (in `table`, when given); names compared
        as DAX does, case ignored."""
        key = name.casefold()
        for formula in self.measures:
            if formula.name.casefold() == key and (table is None or (formula.table or "").casefold() == table.casefold()):
                return formula
        return None

    def where_label(self, use: FieldUse) -> str:
        """The page and visual of a use as a person reads them: "Sales
        Detail / Margin by year"."""
        parts = []
        page = self.page(use.page)
        if page is not None or use.page:
            parts.append(page.label if page is not None else str(use.page))
        visual = self.visual(use.page, use.visual)
        if visual is not None or use.visual:
            parts.append(visual.label if visual is not None else str(use.visual))
        return " / ".join(parts)
