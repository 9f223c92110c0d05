"""`quarrow-dax deps`: what one model object uses or what uses it, the objects
nothing refers to, the circular uses, or every dependency; as text, JSON
lines, or a Graphviz or Mermaid drawing. The graph is quarrow_dax.graph's.
"""

from __future__ import annotations

import argparse
import json
from typing import Any

from ..check import model_problem
from ..graph import DependencyGraph, Edge, find_objects, to_dot, to_mermaid
from ..model import ModelError, ModelObject, ModelWarning
from ..project import Project, ProjectError, load_project
from ..report import ReportError
from ..report.extension import extended_model
from .common import (
    EXIT_ERRORS,
    EXIT_OK,
    EXIT_USAGE,
    PROG,
    Subcommands,
    UsageError,
    add_grammar_options,
    add_reading_options,
    add_report_option,
    plural,
    write_err,
    write_out,
)


def run(args: argparse.Namespace) -> int:
    """Reads one model and writes what `deps` was asked."""
    if args.object is not None and (args.unused or args.cycles):
        raise UsageError("deps: OBJECT goes with --upstream or --downstream, not with --unused or --cycles")
    if args.object is None and (args.upstream or args.downstream or args.deep):
        raise UsageError("deps: --upstream, --downstream and --deep need an OBJECT")
    if args.model.lower().endswith(".tmdl") and not args.report:
        write_err(f"{PROG}: deps: {args.model}: one .tmdl file is only a part of a model; give its definition "
                  "folder\n")
        return EXIT_USAGE
    try:
        project = load_project(args.model, args.report or (), max_file_size=args.max_file_size)
    except (ProjectError, ReportError) as error:
        write_err(f"{PROG}: deps: {error}\n")
        return EXIT_USAGE
    for report_problem in project.report_problems:
        write_err(report_problem.render() + "\n")
    problems: list[ModelError | ModelWarning] = [*project.model_errors, *project.model_warnings]
    for problem in problems:
        write_err(model_problem(problem).render() + "\n")
    if project.model_errors:
        write_err(f"{PROG}: deps: the model could not be read in full, so its dependencies would be incomplete\n")
        return EXIT_USAGE
    if project.model is None:
        write_err(f"{PROG}: deps: {args.model}: no model found: its reports name one that is not beside them\n")
        return EXIT_USAGE
    model = project.model
    for report in project.reports:
        model = extended_model(model, report)
    graph = DependencyGraph.build(model, grammar="standard" if args.strict else "engine", separators=args.separators)
    graph.add_reports(project.reports)
    unknown = sum(resolution.status == "unknown" for resolution in graph.resolutions)
    left_out = [f"{plural(len(graph.errors), 'formula')} that cannot be parsed"] if graph.errors else []
    left_out += [f"{plural(unknown, 'reference')} to names that exist nowhere"] if unknown else []
    if left_out:
        write_err(f"{PROG}: deps: left out {' and '.join(left_out)} (quarrow-dax check shows them)\n")
    machine = args.format == "json"
    listed: list[ModelObject] = []
    listed_for_drawing: list[ModelObject] = []
    edges: list[Edge] = []
    summary = ""
    status = EXIT_OK
    if args.cycles:
        cycles = graph.cycles()
        edges = [edge for cycle in cycles for edge in graph.edges_along(cycle)]
        if args.format == "text":
            write_out("".join(" -> ".join(obj.dax for obj in cycle) + "\n" for cycle in cycles))
        elif machine:
            write_out("".join(_json_line({"cycle": [obj.dax for obj in cycle]}) for cycle in cycles))
        summary = f"{plural(len(cycles), 'cycle')}\n"
        status = EXIT_ERRORS if cycles else EXIT_OK
    elif args.unused:
        listed = graph.unused()
        summary = unused_summary(len(listed), project)
    elif args.object is not None:
        starts = find_objects(model, args.object)
        if not starts:
            write_err(f"{PROG}: deps: {args.model}: no object named {args.object}\n")
            return EXIT_USAGE
        found: dict[int, ModelObject] = {}
        for start in starts:
            reached = graph.downstream(start, deep=args.deep) if args.downstream else graph.upstream(
                start, deep=args.deep)
            found.update((id(obj), obj) for obj in reached)
        listed = graph.sorted(found.values())
        listed_for_drawing = [*starts, *listed]
        edges = graph.edges_among(listed_for_drawing)
    else:
        edges = graph.edges
        if args.format == "text":
            write_out("".join(f"{edge.source.dax} -> {edge.target.dax}\n" for edge in edges))
        elif machine:
            write_out("".join(_json_line({"from": edge.source.dax, "from_kind": edge.source.kind,
                                          "to": edge.target.dax, "to_kind": edge.target.kind, "via": edge.via,
                                          "certain": edge.certain}) for edge in edges))
    if not args.cycles and (args.unused or args.object is not None):
        if args.format == "text":
            write_out("".join(obj.dax + "\n" for obj in listed))
        elif machine:
            write_out("".join(_json_line({"object": obj.dax, "kind": obj.kind, "file": obj.file, "line": obj.line,
                                          "column": obj.column}) for obj in listed))
    if args.format in ("dot", "mermaid"):
        draw = to_dot if args.format == "dot" else to_mermaid
        nodes = listed_for_drawing if args.object is not None else listed
        write_out(draw(graph, nodes, edges))
    if summary:
        (write_out if args.format == "text" else write_err)(summary)
    return status


def unused_summary(count: int, project: Project) -> str:
    """What --unused found, and which reports it counted as users."""
    if not project.reports:
        return (f"{plural(count, 'object')} that no formula, relationship, hierarchy or sort-by column refers "
                "to; a report may still use them\n")
    uses = sum(use.used for use in project.uses)
    names = ", ".join(report.name for report in project.reports)
    return (f"{plural(count, 'object')} that no formula, relationship, hierarchy, sort-by column or report uses; "
            f"read {plural(len(project.reports), 'report')} ({names}) with {plural(uses, 'field reference')}\n")


def _json_line(record: dict[str, Any]) -> str:
    return json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n"


def add_command(commands: Subcommands) -> None:
    deps = commands.add_parser(
        "deps",
        help="list what a model object uses or what uses it, unused objects or circular uses",
        description="Read one model (or a project: a model and its reports) and answer from its dependency "
        "graph: with OBJECT, what it uses (--upstream, the default) or what uses it (--downstream: measures, "
        "visuals, filters and bookmarks), directly or with --deep through any number of steps; --unused, the "
        "tables, columns, measures, hierarchies and functions that nothing in the model (nor in its reports) "
        "refers to; --cycles, one circular use per line; with none of these, every dependency as `user -> used`. Objects are named as DAX names them: 'Sales'[Margin %], [Margin %], "
        "'Date', PercentOfTotal, role 'Readers'.",
        epilog="Exit status: 0 when answered (--cycles: 1 when there is a cycle), 2 for a bad command line, an "
        "object the model does not have, or a model that cannot be read in full.",
    )
    deps.add_argument("model", metavar="MODEL",
                      help="a *.bim file, a TMDL folder or a folder holding one; or a project: a *.pbip file, a "
                      "report folder (with the model it names), a folder holding a *.SemanticModel and its reports")
    deps.add_argument("object", nargs="?", metavar="OBJECT", help="the object to start from")
    direction = deps.add_mutually_exclusive_group()
    direction.add_argument("--upstream", action="store_true", help="what OBJECT uses (the default)")
    direction.add_argument("--downstream", action="store_true", help="what uses OBJECT")
    deps.add_argument("--deep", action="store_true", help="follow the uses through any number of steps")
    question = deps.add_mutually_exclusive_group()
    question.add_argument("--unused", action="store_true",
                          help="what no formula, relationship, hierarchy or sort-by column refers to")
    question.add_argument("--cycles", action="store_true", help="one circular use per line: A -> B -> A")
    deps.add_argument(
        "--format", choices=("text", "json", "dot", "mermaid"), default="text",
        help="text: one object per line (default); json: one object per line; dot (Graphviz) and mermaid: "
        "the graph of what is listed",
    )
    add_report_option(deps)
    add_reading_options(deps)
    add_grammar_options(deps)
    deps.set_defaults(run=run)
