"""The changes written out: `text` (grouped by kind of change, one object a
line), `json` (one record a line), `markdown` (a pull-request comment: a
table, and each changed formula's old and new text folded away) and
`github` (workflow commands that annotate the changed lines). Each writer
returns (what goes to standard output, the summary for standard error);
Markdown, a document for a comment, also holds the summary in its heading."""

from __future__ import annotations

import json
import re
from collections.abc import Callable, Iterable

from ..diagnostics import github_command
from ..model import quote_table
from ..terminal import paint
from .changes import CHANGES, Change, Impact, counted

__all__ = ["FORMATS", "summary", "write"]

_HEADINGS = {
    "added": "added", "removed": "removed", "renamed": "renamed", "changed": "changed",
    "properties": "properties changed", "layout": "layout only, not counted",
}
#: How many impacted objects a line of text or a table cell names before
#: "and N more".
SHOWN = 8
#: GitHub refuses comments over 65,536 characters: the folded formulas stop
#: short of that.
MARKDOWN_LIMIT = 60_000


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}" + ("" if count == 1 else "s")


def summary(changes: list[Change]) -> str:
    """One line: how many changes of each kind, and the differences of layout."""
    total = counted(changes)
    kinds = [f"{sum(c.change == kind for c in changes)} {_HEADINGS[kind]}" for kind in CHANGES[:-1]
             if any(c.change == kind for c in changes)]
    head = f"{_plural(total, 'change')} ({', '.join(kinds)})" if total else "no changes in meaning"
    layout = len(changes) - total
    return head + (f"; {_plural(layout, 'difference')} of layout only" if layout else "")


def _value(value: object) -> str:
    if value is None:
        return "(none)"
    return quote_table(str(value)) if isinstance(value, str) else str(value)


def _place(file: str, line: int, column: int = 0) -> str:
    return file + (f":{line}" if line else "") + (f":{column}" if line and column else "")


def _names(impacts: Iterable[Impact], shown: int = SHOWN) -> str:
    listed = list(impacts)
    text = ", ".join(found.label for found in listed[:shown])
    return text + (f" and {len(listed) - shown} more" if len(listed) > shown else "")


#: The colour of each group's heading on a terminal.
_COLOURS = {"added": "green", "removed": "red", "renamed": "cyan", "changed": "yellow", "properties": "blue",
            "layout": "dim"}


def _identity(text: str, *styles: str) -> str:
    return text


Paint = Callable[..., str]


def _text_line(change: Change, placed: bool = True, paint: Paint = _identity) -> str:
    head = change.label
    if change.change == "renamed":
        head = f"{change.kind} {change.old} -> {change.new}"
    elif change.change == "changed" and isinstance(change.old, list):
        moves = [f"-{text}" for text in change.old] + [f"+{text}" for text in change.new]
        head += f": {change.part} " + ", ".join(moves)
    elif change.part is not None:
        head += f": {change.part}"
    where = _place(change.file, change.line, change.column) + (" (old side)" if change.side == "old" else "")
    line = f"  {paint(head, 'bold')}  at {where}" if placed else f"  {head}"
    downstream = [found for found in change.impact if found.relation == "downstream"]
    if downstream:
        line += f"; downstream: {_names(downstream)}"
    for found in change.breaks:
        line += f"; {paint('breaks', 'red', 'bold')} {found.label} at {_place(found.file, found.line, found.column)}"
    return line


def _text_property_line(object_changes: list[Change], placed: bool = True, paint: Paint = _identity) -> str:
    first = object_changes[0]
    parts = "; ".join(f"{change.part} {_value(change.old)} -> {_value(change.new)}" for change in object_changes)
    line = f"  {paint(first.label, 'bold')}: {parts}" + (
        f"  at {_place(first.file, first.line, first.column)}" if placed else "")
    downstream = [found for found in first.impact if found.relation == "downstream"]
    if downstream:
        line += f"; downstream: {_names(downstream)}"
    return line


def _grouped_properties(changes: list[Change]) -> list[list[Change]]:
    """Property changes of one object together, in order."""
    groups: dict[tuple[str, str, str], list[Change]] = {}
    for change in changes:
        groups.setdefault((change.kind, change.object, change.file), []).append(change)
    return list(groups.values())


def write_text(changes: list[Change], layout: bool = True, colour: bool = False) -> tuple[str, str]:
    painter: Paint = paint if colour else _identity
    out = []
    for kind in CHANGES:
        group = [change for change in changes if change.change == kind]
        if not group or (kind == "layout" and not layout):
            continue
        out.append(painter(f"{_HEADINGS[kind]} ({len(group)}):", _COLOURS[kind], "bold") + "\n")
        if kind == "properties":
            out.extend(_text_property_line(members, paint=painter) + "\n" for members in _grouped_properties(group))
        else:
            out.extend(_text_line(change, paint=painter) + "\n" for change in group)
    return "".join(out), summary(changes) + "\n"


def write_json(changes: list[Change], layout: bool = True, colour: bool = False) -> tuple[str, str]:
    lines = [json.dumps(change.to_dict(), ensure_ascii=False, separators=(",", ":")) + "\n"
             for change in changes if layout or change.counts]
    return "".join(lines), summary(changes) + "\n"


# --- Markdown -------------------------------------------------------------------

_CELL = str.maketrans({"|": "\\|", "\n": " ", "\r": " "})


def _code(text: str) -> str:
    """`text` as inline code that holds whatever backticks it has, fit for
    a table cell."""
    text = text.translate(_CELL)
    runs = [len(run) for run in re.findall(r"`+", text)]
    fence = "`" * (max(runs, default=0) + 1)
    pad = " " if text.startswith("`") or text.endswith("`") else ""
    return f"{fence}{pad}{text}{pad}{fence}"


def _html(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def _fenced(text: str) -> str:
    runs = [len(run) for run in re.findall(r"`{3,}", text)]
    fence = "`" * max(3, max(runs, default=0) + 1)
    return f"{fence}dax\n{text}\n{fence}\n"


def _cell_object(change: Change) -> str:
    if change.change == "renamed":
        return f"{change.kind} {_code(str(change.old))} → {_code(str(change.new))}"
    if change.label == change.object:  # a part of a report, a relationship: its kind is in its name
        return _code(change.object)
    return f"{change.kind} {_code(change.object)}"


def _cell_what(change: Change) -> str:
    if change.change == "properties":
        before = "(none)" if change.old is None else _code(str(change.old))
        after = "(none)" if change.new is None else _code(str(change.new))
        return f"{change.part}: {before} → {after}"
    if change.change == "changed" and isinstance(change.old, list):
        moves = [f"−{_code(text)}" for text in change.old] + [f"+{_code(text)}" for text in change.new]
        return f"{change.part}: " + "<br>".join(moves)
    return change.part or ""


def _cell_impact(change: Change) -> str:
    cells = []
    downstream = [found for found in change.impact if found.relation == "downstream"]
    if downstream:
        names = ", ".join(f"{found.kind} {_code(found.object)}" if not found.object.startswith(found.kind + " ")
                          else _code(found.object) for found in downstream[:SHOWN])
        more = f" and {len(downstream) - SHOWN} more" if len(downstream) > SHOWN else ""
        cells.append(f"{len(downstream)} downstream: {names}{more}")
    breaks = change.breaks
    if breaks:
        names = ", ".join(f"{_code(found.label)} at {_code(_place(found.file, found.line))}" for found in breaks[:SHOWN])
        more = f" and {len(breaks) - SHOWN} more" if len(breaks) > SHOWN else ""
        cells.append(f"⚠️ {_plural(len(breaks), 'break')}: {names}{more}")
    return "<br>".join(cells)


def write_markdown(changes: list[Change], layout: bool = True, colour: bool = False) -> tuple[str, str]:
    total = counted(changes)
    out = [f"### quarrow-dax diff: {summary(changes)}\n\n"]
    if total:
        out.append("| change | object | what | impact |\n|---|---|---|---|\n")
        for change in changes:
            if change.counts:
                out.append(f"| {change.change} | {_cell_object(change)} | {_cell_what(change)} |"
                           f" {_cell_impact(change)} |\n")
        out.append("\n")
    size = sum(map(len, out))
    left_out = 0
    for change in changes:
        if change.change != "changed" or not isinstance(change.old or change.new, str):
            continue
        block = (f"<details><summary>{_html(change.label)}: {change.part}</summary>\n\n"
                 f"Before:\n\n{_fenced(str(change.old)) if change.old is not None else '(none)'}\n"
                 f"After:\n\n{_fenced(str(change.new)) if change.new is not None else '(none)'}\n</details>\n\n")
        if size + len(block) > MARKDOWN_LIMIT:
            left_out += 1
            continue
        out.append(block)
        size += len(block)
    if left_out:
        out.append(f"{_plural(left_out, 'formula')} left out: the comment would be too long for GitHub.\n\n")
    layout_changes = [change for change in changes if not change.counts]
    if layout and layout_changes:
        lines = "".join(f"- {_cell_object(change)}{': ' + change.part if change.part else ''}\n"
                        for change in layout_changes)
        block = (f"<details><summary>{_plural(len(layout_changes), 'difference')} of layout only, not counted"
                 f"</summary>\n\n{lines}\n</details>\n")
        if size + len(block) <= MARKDOWN_LIMIT:
            out.append(block)
    return "".join(out), summary(changes) + "\n"


# --- GitHub annotations ---------------------------------------------------------


def write_github(changes: list[Change], layout: bool = True, colour: bool = False) -> tuple[str, str]:
    """A notice at each change, a warning at each break. Layout is never
    annotated: it is not a change."""
    out = []
    for change in changes:
        if not change.counts:
            continue
        title = f"{change.kind} {change.change}"
        message = (_text_line(change, placed=False) if change.change != "properties"
                   else _text_property_line([change], placed=False)).strip()
        properties = [("file", change.file)]
        if change.line:
            properties.append(("line", str(change.line)))
            if change.column:
                properties.append(("col", str(change.column)))
        out.append(github_command("notice", [*properties, ("title", title)], message))
        for found in change.breaks:
            text = (f"{found.label} uses {change.old if change.change == 'renamed' else change.object}, which was "
                    f"{'renamed to ' + str(change.new) if change.change == 'renamed' else 'removed'}")
            place = [("file", found.file)]
            if found.line:
                place.append(("line", str(found.line)))
                if found.column:
                    place.append(("col", str(found.column)))
            out.append(github_command("warning", [*place, ("title", f"{change.kind} {change.change}: a use breaks")],
                                      text))
    return "".join(out), summary(changes) + "\n"


Writer = Callable[[list[Change], bool, bool], tuple[str, str]]
FORMATS: dict[str, Writer] = {
    "text": write_text, "json": write_json, "markdown": write_markdown, "github": write_github,
}


def write(changes: list[Change], format: str, *, layout: bool = True, colour: bool = False) -> tuple[str, str]:
    """(standard output, the summary for standard error) of `changes` in
    `format`; with `layout` False, differences of layout only are left out
    (the summary still counts them); `colour` paints text for a terminal."""
    return FORMATS[format](changes, layout, colour)
