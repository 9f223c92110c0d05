"""`quarrow-dax deps`: what one model object uses or what uses it, the objects
nothing refers to, the circular uses, or every dependency; as text, JSON
lines, or a Graphviz or Mermaid drawing. The graph is quarrow_dax.graph's.
"""

from __future__ import annotations

import argparse
import difflib
import json
from pathlib import Path
from typing import Any

from ..check import TYPOGRAPHIC_QUOTES, display_path, model_problem
from ..inputs import NOT_DAX_SUFFIXES, not_dax_problem
from ..config import ConfigError, ConfigFinder
from ..diagnostics import Diagnostic
from ..graph import DependencyGraph, Edge, find_objects, to_dot, to_mermaid
from ..model import Model, ModelError, ModelObject, ModelWarning, model_folder_of
from ..project import Project, ProjectError, load_project
from ..report import ReportError
from ..report.extension import extended_model
from ..sources import is_file
from .common import (
    EXIT_ERRORS,
    EXIT_OK,
    EXIT_USAGE,
    PROG,
    Subcommands,
    UsageError,
    add_config_options,
    add_grammar_options,
    add_output_options,
    add_reading_options,
    add_report_option,
    config_problem,
    options_of,
    plural,
    write_err,
    write_out,
)


def model_argument(given: str) -> tuple[str | None, str | None]:
    """What `deps` reads for the MODEL argument, and a note on how it was
    found (None when it is the path itself); or None and why nothing can be
    read from it. A .tmdl file stands for its model; a packaged report or a
    model's settings file is refused with what to give instead (projects,
    report folders and folders of projects are `load_project`'s)."""
    path = Path(given)
    suffix = path.suffix.lower()
    if suffix in NOT_DAX_SUFFIXES and is_file(path):
        refusal = not_dax_problem(given)
        return None, None if refusal is None else _refusal_text(refusal)
    if suffix == ".tmdl" and is_file(path):
        folder = model_folder_of(path)
        if folder is None:
            return None, (f"{display_path(given)}: one .tmdl file outside a model folder is only a part of a model; "
                          "give its definition folder")
        return str(folder), f"reading {display_path(str(folder))}, the model {display_path(given)} is part of"
    return given, None


def _refusal_text(diagnostic: Diagnostic) -> str:
    hint = f"\n  hint: {diagnostic.hint}" if diagnostic.hint else ""
    return f"{diagnostic.path}: {diagnostic.message}{hint}"


def suggestion(model: Model, written: str) -> str | None:
    """A hint for an OBJECT the model does not have: straight quotes for
    typographic ones, brackets for a bare measure or column name, or the
    name the model has that is closest to it."""
    straightened = written.translate(_STRAIGHT)
    if straightened != written:
        found = find_objects(model, straightened)
        if found:
            return f"DAX names are quoted with straight quotes: did you mean {found[0].dax}?"
        return "DAX names are quoted with straight quotes (' and \"), not typographic ones"
    bare = written.strip()
    if bare and not any(mark in bare for mark in "[]'\""):
        measures = [f"[{measure.name}]" for measure in find_objects(model, f"[{bare}]")]
        columns = [column.dax for table in model.tables.values() for column in table.columns.values()
                   if column.name.casefold() == bare.casefold()]
        named = [*measures, *columns]
        if named:
            more = f" or {named[1]}" if len(named) > 1 else ""
            return f"measures and columns are written in brackets: did you mean {named[0]}{more}?"
    candidates: dict[str, str] = {}
    for obj in model.objects():
        candidates.setdefault(obj.dax.casefold(), obj.dax)
        if obj.kind == "measure":
            candidates.setdefault(f"[{obj.name}]".casefold(), f"[{obj.name}]")
    close = difflib.get_close_matches(written.strip().casefold(), list(candidates), n=1, cutoff=0.8)
    return f"did you mean {candidates[close[0]]}?" if close else None


_STRAIGHT = str.maketrans({quote: straight for quote, straight in TYPOGRAPHIC_QUOTES.items()})


def run(args: argparse.Namespace) -> int:
    """Reads one model and writes what `deps` was asked."""
    if args.object is not None and (args.unused or args.cycles):
        raise UsageError("deps: OBJECT goes with --upstream or --downstream, not with --unused or --cycles")
    if args.object is None and (args.upstream or args.downstream or args.deep):
        raise UsageError("deps: --upstream, --downstream and --deep need an OBJECT")
    if args.include_generated and not args.unused:
        raise UsageError("deps: --include-generated goes with --unused")

    def note(text: str) -> None:
        if not args.quiet:
            write_err(text)

    model_path, how = model_argument(args.model)
    if model_path is None:
        write_err(f"{PROG}: deps: {how}\n")
        return EXIT_USAGE
    if how is not None:
        note(f"{PROG}: deps: {how}\n")
    try:
        config = ConfigFinder(args.config).config_for(model_path)
    except ConfigError as error:
        write_err(config_problem(error).render() + "\n")
        return EXIT_USAGE
    options = options_of(args, config)
    try:
        project = load_project(model_path, args.report or (), max_file_size=args.max_file_size)
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
    graph = DependencyGraph.build(model, grammar=options.grammar, separators=options.separators)
    graph.add_reports(project.reports)
    unknown = sum(resolution.status == "unknown" for resolution in graph.resolutions)
    left_out = [f"{plural(len(graph.errors), 'formula')} that cannot be parsed"] if graph.errors else []
    left_out += [f"{plural(unknown, 'reference')} to names that exist nowhere"] if unknown else []
    if left_out:
        note(f"{PROG}: deps: left out {' and '.join(left_out)} (quarrow-dax check shows them)\n")
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
        listed = graph.unused(include_generated=args.include_generated)
        summary = unused_summary(len(listed), project)
    elif args.object is not None:
        starts = find_objects(model, args.object)
        if not starts:
            hint = suggestion(model, args.object)
            write_err(f"{PROG}: deps: {display_path(model_path)}: no object named {args.object}\n"
                      + (f"  hint: {hint}\n" if hint else ""))
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
        note(summary)
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
        "refers to; --cycles, one circular use per line; with none of these, every dependency as `user -> used`. "
        "Objects are named as DAX names them: 'Sales'[Margin %], [Margin %], "
        "'Date', PercentOfTotal, role 'Readers'.",
        epilog="Exit status: 0 when answered (--cycles: 1 when there is a cycle), 2 for a bad command line, an "
        "object the model does not have, or a model that cannot be read in full.",
    )
    deps.add_argument("model", metavar="MODEL",
                      help="a *.bim file, a TMDL folder or a folder holding one, or a .tmdl file of one (its model is "
                      "read); or a project: a *.pbip file, a report folder (with the model it names), a folder holding "
                      "a *.SemanticModel and its reports")
    deps.add_argument("object", nargs="?", metavar="OBJECT", help="the object to start from")
    direction = deps.add_mutually_exclusive_group()
    direction.add_argument("--upstream", action="store_true", help="what OBJECT uses (the default)")
    direction.add_argument("--downstream", action="store_true", help="what uses OBJECT")
    deps.add_argument("--deep", action="store_true", help="follow the uses through any number of steps")
    question = deps.add_mutually_exclusive_group()
    question.add_argument("--unused", action="store_true",
                          help="what no formula, relationship, hierarchy or sort-by column refers to")
    question.add_argument("--cycles", action="store_true", help="one circular use per line: A -> B -> A")
    deps.add_argument("--include-generated", action="store_true",
                      help="with --unused, also list the objects of the date tables Power BI makes itself for auto "
                      "date/time (LocalDateTable_..., DateTableTemplate_...), left out by default")
    deps.add_argument(
        "--format", choices=("text", "json", "dot", "mermaid"), default="text",
        help="text: one object per line (default); json: one object per line; dot (Graphviz) and mermaid: "
        "the graph of what is listed",
    )
    add_report_option(deps)
    add_reading_options(deps)
    add_grammar_options(deps)
    add_config_options(deps, walks=False)
    add_output_options(deps, statistics=False, colour=False)
    deps.set_defaults(run=run)
