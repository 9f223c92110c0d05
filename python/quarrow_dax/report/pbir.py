"""Reading a report saved as PBIR: the `definition/` folder.

    definition/report.json                      report-level filters and formatting
    definition/reportExtensions.json            report measures (DAX)
    definition/pages/pages.json                 the pages' order, by page name
    definition/pages/<folder>/page.json         a page, its filters, drill-through binding
    definition/pages/<folder>/visuals/<folder>/visual.json   a visual (mobile.json beside it)
    definition/bookmarks/<name>.bookmark.json   a bookmark's state

Folder names are not ids: pages, visuals and bookmarks are named by the
`name` inside their files.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

from ..diagnostics import Diagnostic
from ..sources import MAX_FILE_SIZE, SourceError, is_dir, is_file
from ..writeback import Original
from ._files import READ_ERROR, json_file, problem, string_value
from ._json import JsonText, is_string
from .fields import Context, FieldCollector, report_formula
from .objects import Bookmark, FieldUse, Page, Report, Visual

__all__ = ["literal_title", "read_pbir"]


def _folders(path: Path, problems: list[Diagnostic]) -> list[Path]:
    """The folders in `path`, in name order."""
    try:
        return sorted(entry for entry in path.iterdir() if is_dir(entry))
    except OSError as error:
        problems.append(problem(path, f"cannot read the folder: {error.strerror or error}"))
        return []


def _files(path: Path, suffix: str, problems: list[Diagnostic]) -> list[Path]:
    try:
        return sorted(entry for entry in path.iterdir() if entry.name.endswith(suffix) and not is_dir(entry))
    except OSError as error:
        problems.append(problem(path, f"cannot read the folder: {error.strerror or error}"))
        return []


def literal_title(objects: Any) -> str | None:
    """The text of a visual's title when its formatting gives a literal one
    (`title[].properties.text.expr.Literal.Value`, a quoted DAX string)."""
    titles = objects.get("title") if isinstance(objects, dict) else None
    for entry in titles if isinstance(titles, list) else ():
        value: Any = entry
        for key in ("properties", "text", "expr", "Literal", "Value"):
            value = value.get(key) if isinstance(value, dict) else None
        if isinstance(value, str):
            if len(value) >= 2 and value[0] == value[-1] == "'":
                value = value[1:-1].replace("''", "'")
            if value.strip():
                return str(value)
    return None


class _PbirReader:
    def __init__(self, folder: Path, report: Report, collector: FieldCollector, max_size: int,
                 originals: dict[str, Original] | None = None) -> None:
        self.definition = folder / "definition"
        self.report = report
        self.collector = collector
        self.problems = report.problems
        self.max_size = max_size
        self.originals = originals

    def read(self, path: Path) -> tuple[Any, JsonText] | None:
        return json_file(path, self.problems, self.max_size, self.originals)

    def run(self) -> None:
        read = self.read(self.definition / "report.json") if is_file(self.definition / "report.json") else None
        if read is None and not is_file(self.definition / "report.json"):
            self.problems.append(problem(self.definition, "no report.json in the definition folder"))
        if read is not None:
            value, text = read
            self.collector.walk(value, Context(text, filters="report filter", fallback="report filter"))
        self.pages()
        self.bookmarks()
        if is_file(self.definition / "reportExtensions.json"):
            self.extensions(self.definition / "reportExtensions.json")

    # --- pages and visuals -----------------------------------------------------

    def pages(self) -> None:
        folder = self.definition / "pages"
        if not is_dir(folder):
            self.problems.append(problem(self.definition, "no pages folder: the report has no pages"))
            return
        order: list[str] = []
        if is_file(folder / "pages.json"):
            read = self.read(folder / "pages.json")
            if read is not None:
                order = self.page_order(*read)
        else:
            self.problems.append(problem(folder / "pages.json", "missing: the pages are read in the order of"
                                         " their folders' names", severity="warning"))
        pages = []
        for page_folder in _folders(folder, self.problems):
            page = self.page(page_folder)
            if page is not None:
                pages.append(page)
        rank = {name: index for index, name in enumerate(order)}
        pages.sort(key=lambda page: rank.get(page.name, len(rank)))
        known = {page.name for page in pages}
        for name in order:
            if name not in known:
                self.problems.append(problem(folder / "pages.json", f'"pageOrder" names a page that is not there:'
                                             f" {name}", severity="warning"))
        self.report.pages.extend(pages)

    def page_order(self, value: Any, text: JsonText) -> list[str]:
        order = value.get("pageOrder") if isinstance(value, dict) else None
        if not isinstance(order, list):
            self.problems.append(text.diagnostic(getattr(order if order is not None else value, "start", None),
                                                 '"pageOrder" is not a list of page names', code=READ_ERROR))
            return []
        return [str(name) for name in order if isinstance(name, str)]

    def object_file(self, folder: Path, file_name: str, what: str) -> tuple[dict[str, Any], JsonText] | None:
        """The JSON object of a page's or visual's file in `folder`, with its
        text; None (the problem reported) where there is no such file or it
        holds no object."""
        file = folder / file_name
        if not is_file(file):
            self.problems.append(problem(folder, f"a {what} folder without a {file_name}: the {what} is not read"))
            return None
        read = self.read(file)
        if read is None:
            return None
        value, text = read
        if not isinstance(value, dict):
            self.problems.append(text.diagnostic(getattr(value, "start", None), f"{file_name} is not a JSON object",
                                                 code=READ_ERROR))
            return None
        return value, text

    def page(self, folder: Path) -> Page | None:
        read = self.object_file(folder, "page.json", "page")
        if read is None:
            return None
        value, text = read
        file = folder / "page.json"
        name = string_value(value, "name", text, self.problems, required=True, what="the page") or folder.name
        display = string_value(value, "displayName", text, self.problems) or ""
        page = Page(name, display, str(file), *text.place(value.get("name"), value))
        self.collector.walk(value, Context(text, filters="page filter", fallback="page filter", page=name))
        visuals = folder / "visuals"
        if is_dir(visuals):
            for visual_folder in _folders(visuals, self.problems):
                visual = self.visual(visual_folder, name)
                if visual is not None:
                    page.visuals.append(visual)
        return page

    def visual(self, folder: Path, page: str) -> Visual | None:
        read = self.object_file(folder, "visual.json", "visual")
        if read is None:
            return None
        value, text = read
        file = folder / "visual.json"
        name = string_value(value, "name", text, self.problems, required=True, what="the visual") or folder.name
        body = value.get("visual")
        group = value.get("visualGroup")
        if isinstance(body, dict):
            kind = string_value(body, "visualType", text, self.problems)
            title = literal_title(body.get("visualContainerObjects"))
        elif isinstance(group, dict):
            kind, title = "group", string_value(group, "displayName", text, self.problems)
        else:
            kind = title = None
        parent = string_value(value, "parentGroupName", text, self.problems)
        visual = Visual(name, page, kind, title, str(file), *text.place(value.get("name"), value), parent=parent)
        context = Context(text, filters="visual filter", fallback="visual state", page=page, visual=name)
        self.collector.walk(value, context)
        mobile = folder / "mobile.json"
        if is_file(mobile):
            read = self.read(mobile)
            if read is not None:
                self.collector.walk(read[0], context.but(text=read[1]))
        return visual

    # --- bookmarks ---------------------------------------------------------------

    def bookmarks(self) -> None:
        folder = self.definition / "bookmarks"
        if not is_dir(folder):
            return
        for file in _files(folder, ".bookmark.json", self.problems):
            read = self.read(file)
            if read is None:
                continue
            value, text = read
            if not isinstance(value, dict):
                self.problems.append(text.diagnostic(getattr(value, "start", None),
                                                     "a bookmark file that is not a JSON object", code=READ_ERROR))
                continue
            name = string_value(value, "name", text, self.problems) or file.name.removesuffix(".bookmark.json")
            display = string_value(value, "displayName", text, self.problems) or name
            self.report.bookmarks.append(Bookmark(name, display, str(file), *text.place(value.get("name"), value)))
            self.collector.walk(value, Context(text, where="bookmark", bookmark=display))

    # --- report measures ---------------------------------------------------------

    def extensions(self, file: Path) -> None:
        read = self.read(file)
        if read is None:
            return
        value, text = read
        entities = value.get("entities") if isinstance(value, dict) else None
        if entities is None:
            return
        if not isinstance(entities, list):
            self.problems.append(text.diagnostic(getattr(entities, "start", None), '"entities" is not a list',
                                                 code=READ_ERROR))
            return
        for entity in entities:
            table = string_value(entity, "name", text, self.problems, required=True, what="an entity")
            measures = entity.get("measures") if isinstance(entity, dict) and table is not None else None
            for measure in measures if isinstance(measures, list) else ():
                self.measure(measure, table or "", text)

    def measure(self, measure: Any, table: str, text: JsonText) -> None:
        name = string_value(measure, "name", text, self.problems, required=True, what="a report measure")
        if name is None:
            return
        expression = measure.get("expression")
        if not is_string(expression):
            self.problems.append(text.diagnostic(getattr(expression, "start", getattr(measure, "start", None)),
                                                 f'the report measure "{name}" has no "expression" string',
                                                 code=READ_ERROR))
            return
        data_type = string_value(measure, "dataType", text, self.problems)
        shown = measure.get("formatString")
        format_string = str(shown) if isinstance(shown, str) else None
        self.report.formulas.append(report_formula(self.report.name, text, expression, "report measure", table, name,
                                                   data_type=data_type, format_string=format_string))
        references = measure.get("references")
        listed = references.get("measures") if isinstance(references, dict) else None
        for item in listed if isinstance(listed, list) else ():
            entity, field = (item.get("entity"), item.get("name")) if isinstance(item, dict) else (None, None)
            if not (is_string(entity) and is_string(field)):
                continue
            schema = item.get("schema")
            self.collector.uses.append(FieldUse(
                self.report.name, str(entity), str(field), "unknown", "report measure metadata", text.file,
                *text.place(field), "Measure", schema=str(schema) if is_string(schema) else None,
                table_span=text.span(entity), name_span=text.span(field),
            ))


def read_pbir(folder: Path, report: Report, collector: FieldCollector, max_size: int = MAX_FILE_SIZE,
              originals: dict[str, Original] | None = None) -> None:
    """Reads the PBIR report in `folder` into `report`: pages, visuals,
    bookmarks and report measures; field references go to `collector`.
    Each file read is kept in `originals` when that is a dict."""
    try:
        _PbirReader(folder, report, collector, max_size, originals).run()
    except SourceError as error:  # a folder that vanished or cannot be listed mid-read
        report.problems.append(problem(error.path, error.message))
