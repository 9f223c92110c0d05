"""`quarrow-dax usage`: every field of the model that a report references,
where: one line per reference, or with --by-field one per field with the
count of visuals using it. The reading is quarrow_dax.project's.
"""

from __future__ import annotations

import argparse
import json
from collections.abc import Iterable
from typing import Any

from ..project import Project, ProjectError, load_projects
from ..report import FieldUse, Report, ReportError
from .common import EXIT_OK, EXIT_USAGE, PROG, Subcommands, add_reading_options, add_report_option, plural, \
    status_of, write_err, write_out


def _place(report: Report, use: FieldUse) -> str:
    """The page, visual or bookmark of a use, as a person finds it."""
    parts = []
    if use.bookmark is not None:
        parts.append(f"bookmark {use.bookmark!r}")
    page = report.page(use.page)
    if page is not None or use.page is not None:
        parts.append(f"page {page.label if page is not None else use.page!r}")
    visual = report.visual(use.page, use.visual)
    if visual is not None or use.visual is not None:
        parts.append(f"visual {visual.label if visual is not None else use.visual!r}")
    if use.formula is not None:
        parts.append(f"{use.formula.kind} {use.formula.name!r}")
    return ", ".join(parts) or f"report {report.name!r}"


def _record(report: Report, use: FieldUse) -> dict[str, Any]:
    page = report.page(use.page)
    visual = report.visual(use.page, use.visual)
    return {
        "report": report.name, "table": use.table, "name": use.name, "kind": use.kind, "where": use.where,
        "file": use.file, "line": use.line, "column": use.column,
        "page": page.label if page is not None else use.page, "visual": visual.label if visual is not None else None,
        "page_id": use.page, "visual_id": use.visual, "bookmark": use.bookmark, "level": use.level,
        "used": use.used,
    }


def _by_field(projects: Iterable[Project]) -> list[dict[str, Any]]:
    """One record per field of each report: its kind, how many visuals
    reference it, how many references and where, and whether any makes it
    used (formatting selectors and report measures' reference lists do not)."""
    fields: dict[tuple[str, str, str, str], dict[str, Any]] = {}
    for project in projects:
        for report in project.reports:
            for use in report.uses:
                level = use.level if use.hierarchy is None else None  # a user hierarchy's level
                key = (report.path, (use.table or "").casefold(), use.name.casefold(), (level or "").casefold())
                entry = fields.get(key)
                if entry is None:
                    entry = fields[key] = {"report": report.name, "table": use.table, "name": use.name,
                                           "level": level, "kind": use.kind, "visuals": set(), "references": 0,
                                           "where": {}, "used": False}
                if use.visual is not None and use.used and use.where != "bookmark":
                    entry["visuals"].add((use.page, use.visual))
                entry["references"] += 1
                entry["where"][use.where] = entry["where"].get(use.where, 0) + 1
                entry["used"] = entry["used"] or use.used
                if entry["kind"] == "unknown" and use.kind != "unknown":
                    entry["kind"] = use.kind
    records = []
    for entry in fields.values():
        entry["visuals"] = len(entry["visuals"])
        records.append(entry)
    records.sort(key=lambda entry: (entry["report"], -entry["visuals"], -entry["references"],
                                    (entry["table"] or "").casefold(), entry["name"].casefold()))
    return records


def _dax(table: str | None, name: str, level: str | None = None) -> str:
    head = "'" + table.replace("'", "''") + "'" if table is not None else ""
    tail = ".[" + level.replace("]", "]]") + "]" if level is not None else ""
    return head + "[" + name.replace("]", "]]") + "]" + tail


def run(args: argparse.Namespace) -> int:
    try:
        projects = load_projects(args.path, args.report or (), max_file_size=args.max_file_size)
    except (ProjectError, ReportError) as error:
        write_err(f"{PROG}: usage: {error}\n")
        return EXIT_USAGE
    status = EXIT_OK
    for project in projects:
        for problem in project.report_problems:
            write_err(problem.render() + "\n")
            status = max(status, status_of(problem))
    reports = [report for project in projects for report in project.reports]
    if not reports:
        write_err(f"{PROG}: usage: {args.path}: no report found (give a report folder, a *.pbip file, a folder "
                  "holding reports, or a model with --report)\n")
        return EXIT_USAGE
    for project in projects:
        if project.model is None and project.reports:
            names = ", ".join(report.name for report in project.reports)
            write_err(f"{PROG}: usage: no model for {names}: the kinds of its fields are unknown but for its "
                      "report measures\n")
    machine = args.format == "json"
    if args.by_field:
        records = _by_field(projects)
        if machine:
            write_out("".join(_json_line(record) for record in records))
        else:
            write_out("".join(
                f"{record['report']}: {_dax(record['table'], record['name'], record['level'])} {record['kind']}: "
                f"{plural(record['visuals'], 'visual')}, {plural(record['references'], 'reference')} ("
                + ", ".join(f"{where} {count}" for where, count in record["where"].items())
                + ")" + ("" if record["used"] else ", not a use") + "\n"
                for record in records))
        summary = f"{plural(len(records), 'field')} in {plural(len(reports), 'report')}\n"
    else:
        count = 0
        for report in reports:
            if machine:
                write_out("".join(_json_line(_record(report, use)) for use in report.uses))
            else:
                write_out("".join(
                    f"{use.file}:{use.line}:{use.column}: {use.where}: {use.kind} "
                    f"{_dax(use.table, use.name, use.level if use.hierarchy is None else None)}"
                    f" ({_place(report, use)})\n" for use in report.uses))
            count += len(report.uses)
        summary = f"{plural(count, 'field reference')} in {plural(len(reports), 'report')}\n"
    # The summary on standard error, as every command writes it: standard output is the listing alone.
    write_err(summary)
    return status


def _json_line(record: dict[str, Any]) -> str:
    return json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n"


def add_command(commands: Subcommands) -> None:
    usage = commands.add_parser(
        "usage",
        help="list the fields of the model that reports use, and where",
        description="Read the reports of a project and list every field of the model they reference: in a "
        "visual's projections, sort, filters (report, page, visual), a slicer's selection, conditional "
        "formatting, a drill-through binding, a field parameter, a bookmark, report measures' DAX, and, kept "
        "apart as not making a field used, formatting selectors. Each field's kind (measure, column, hierarchy, "
        "hierarchy level, report measure) is the model's, whatever the report's JSON says; unknown where the "
        "model lacks the name or the report's model is not there.",
        epilog="Exit status: 0 when every report was read, 2 for a bad command line or a path without reports, "
        "or when some report file could not be read (the rest is listed).",
    )
    usage.add_argument("path", metavar="PATH",
                       help="a report folder, a *.pbip file, a folder holding reports (and their models), or a "
                       "model with --report")
    usage.add_argument("--format", choices=("text", "json"), default="text",
                       help="text: one reference per line, file:line:column first (default); json: one object per "
                       "line, with the keys report, table, name, kind, where, file, line, column, page, visual, "
                       "page_id, visual_id, bookmark, level and used")
    usage.add_argument("--by-field", action="store_true",
                       help="one line per field: its kind, the count of visuals using it, its references by place")
    add_report_option(usage)
    add_reading_options(usage)
    usage.set_defaults(run=run)
