"""Reading a report saved as PBIR-Legacy: one `report.json`.

    {"config": "<JSON: bookmarks, report objects>", "filters": "<JSON>",
     "pods": [{"boundSection": page, "parameters": "<JSON>"}],
     "sections": [{"name", "displayName", "config": "<JSON>", "filters": "<JSON>",
                   "visualContainers": [{"config": "<JSON>", "filters": "<JSON>", "query": "<JSON>"}]}]}

`config`, `filters`, `query` and `dataTransforms` hold JSON texts inside JSON
strings: positions inside them are mapped back through the escapes to the
file, and a string that is not JSON is a located problem that stops only
the part it holds.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

from ..sources import MAX_FILE_SIZE
from ..writeback import Original
from ._files import READ_ERROR, json_file, string_value
from ._json import JsonProblem, JsonText, is_string
from .fields import Context, FieldCollector
from .objects import Bookmark, Page, Report, Visual
from .pbir import literal_title

__all__ = ["read_legacy"]


class _LegacyReader:
    def __init__(self, report: Report, collector: FieldCollector) -> None:
        self.report = report
        self.collector = collector
        self.problems = report.problems

    def nested(self, owner: dict[str, Any], key: str, text: JsonText) -> tuple[Any, JsonText] | None:
        """The JSON text in the string `owner[key]`; None when there is none
        or it is not JSON (a problem then)."""
        value = owner.get(key)
        if value is None:
            return None
        if not is_string(value):
            self.problems.append(text.diagnostic(getattr(value, "start", getattr(owner, "start", None)),
                                                 f'"{key}" is not a string holding JSON', code=READ_ERROR))
            return None
        inner = text.nested(value)
        odd: list[JsonProblem] = []
        try:
            parsed = inner.parse(odd)
        except JsonProblem as fault:
            self.problems.append(text.root.file_diagnostic(fault.offset, f'the "{key}" string is not a JSON text:'
                                                           f" {fault.message}", code=READ_ERROR))
            return None
        for problem in odd:
            self.problems.append(text.root.file_diagnostic(problem.offset, f'in the "{key}" string: {problem.message}',
                                                           severity="warning", code="W003"))
        return parsed, inner

    def run(self, root: Any, text: JsonText) -> None:
        if not isinstance(root, dict):
            self.problems.append(text.diagnostic(getattr(root, "start", None), "report.json is not a JSON object",
                                                 code=READ_ERROR))
            return
        report_context = Context(text, filters="report filter", fallback="report filter")
        config = self.nested(root, "config", text)
        if config is not None:
            self.report_config(*config, report_context)
        for key, value in root.items():
            if key not in ("config", "sections", "pods"):
                self.collector.walk({key: value}, report_context)
        sections = root.get("sections")
        if sections is not None and not isinstance(sections, list):
            self.problems.append(text.diagnostic(getattr(sections, "start", None), '"sections" is not a list',
                                                 code=READ_ERROR))
        for section in sections if isinstance(sections, list) else ():
            self.section(section, text)
        pods = root.get("pods")
        for pod in pods if isinstance(pods, list) else ():
            if isinstance(pod, dict):
                page = string_value(pod, "boundSection", text, self.problems)
                self.collector.walk(pod, report_context.but(where="drill-through binding", page=page))

    def report_config(self, config: Any, text: JsonText, context: Context) -> None:
        if not isinstance(config, dict):
            return
        context = context.but(text=text)
        for key, value in config.items():
            if key != "bookmarks":
                self.collector.walk({key: value}, context)
        # Bookmarks, with groups holding theirs in "children": flattened without recursion.
        pending = list(reversed(config.get("bookmarks") or [])) if isinstance(config.get("bookmarks"), list) else []
        while pending:
            bookmark = pending.pop()
            if not isinstance(bookmark, dict):
                continue
            children = bookmark.get("children")
            if isinstance(children, list):
                pending.extend(reversed(children))
            name = string_value(bookmark, "name", text, self.problems) or ""
            display = string_value(bookmark, "displayName", text, self.problems) or name
            if "explorationState" in bookmark or not isinstance(children, list):
                self.report.bookmarks.append(Bookmark(name, display, text.file,
                                                      *text.place(bookmark.get("name"), bookmark)))
                state = {key: value for key, value in bookmark.items() if key != "children"}
                self.collector.walk(state, context.but(where="bookmark", bookmark=display))

    def section(self, section: Any, text: JsonText) -> None:
        if not isinstance(section, dict):
            self.problems.append(text.diagnostic(getattr(section, "start", None), "a section that is not an object",
                                                 code=READ_ERROR))
            return
        name = string_value(section, "name", text, self.problems, required=True, what="a section") or ""
        display = string_value(section, "displayName", text, self.problems) or ""
        page = Page(name, display, text.file, *text.place(section.get("name"), section))
        self.report.pages.append(page)
        context = Context(text, filters="page filter", fallback="page filter", page=name)
        for key, value in section.items():
            if key != "visualContainers":
                self.collector.walk({key: value}, context)
        containers = section.get("visualContainers")
        for container in containers if isinstance(containers, list) else ():
            visual = self.container(container, text, name, containers)
            if visual is not None:
                page.visuals.append(visual)

    def container(self, container: Any, text: JsonText, page: str, containers: Any) -> Visual | None:
        # A container without a field reference in it has no place of its
        # own (see _json): its list's stands for it.
        where = getattr(container, "start", getattr(containers, "start", None))
        if not isinstance(container, dict):
            self.problems.append(text.diagnostic(where, "a visual container that is not an object", code=READ_ERROR))
            return None
        line, column = text.place(container, containers)
        config = self.nested(container, "config", text)
        if config is None:
            if "config" not in container:
                self.problems.append(text.diagnostic(where, 'a visual container without a "config": the visual is not'
                                                     " read", code=READ_ERROR))
            return None
        value, inner = config
        if not isinstance(value, dict):
            self.problems.append(inner.diagnostic(getattr(value, "start", None),
                                                  "a visual container's config is not a JSON object", code=READ_ERROR))
            return None
        name = string_value(value, "name", inner, self.problems, required=True, what="a visual") or f"@{line}:{column}"
        single, group = value.get("singleVisual"), value.get("singleVisualGroup")
        if isinstance(single, dict):
            kind = string_value(single, "visualType", inner, self.problems)
            title = literal_title(single.get("vcObjects"))
        elif isinstance(group, dict):
            kind, title = "group", string_value(group, "displayName", inner, self.problems)
        else:
            kind = title = None
        parent = string_value(value, "parentGroupName", inner, self.problems)
        visual = Visual(name, page, kind, title, text.file, *inner.place(value.get("name"), value), parent=parent)
        context = Context(text, filters="visual filter", fallback="visual state", page=page, visual=name)
        self.collector.walk(value, context.but(text=inner))
        for key, item in container.items():
            if key != "config":
                self.collector.walk({key: item}, context)
        return visual


def read_legacy(folder: Path, report: Report, collector: FieldCollector, max_size: int = MAX_FILE_SIZE,
                originals: dict[str, Original] | None = None) -> None:
    """Reads the PBIR-Legacy report in `folder` (its report.json) into
    `report`; field references go to `collector`. The file read is kept in
    `originals` when that is a dict."""
    read = json_file(folder / "report.json", report.problems, max_size, originals)
    if read is not None:
        _LegacyReader(report, collector).run(*read)
