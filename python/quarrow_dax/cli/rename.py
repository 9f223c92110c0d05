"""`quarrow-dax rename`: a measure, column, table, function or calculation
item renamed across a model and its reports, every file written together
(or, with --diff or --dry-run, what would change shown). The finding and
checking is quarrow_dax.refactor's; this module reads the command line and
says what happened.
"""

from __future__ import annotations

import argparse
import bisect

from ..config import ConfigError, ConfigFinder
from ..project import ProjectError, load_project
from ..refactor import Rename, RenameError, plan_rename
from ..refactor.dax import FileMention, Mention
from ..refactor.splice import FileText
from ..sources import read_text
from ..report import ReportError
from .common import (
    EXIT_OK, EXIT_USAGE, PROG, Subcommands, add_config_options, add_grammar_options, add_reading_options,
    add_report_option, config_problem, options_of, plural, write_err, write_out,
)

_KINDS = {"measure": "measure", "column": "column", "table": "table", "function": "function",
          "item": "calculation item"}


def _mention(mention: Mention, old: str) -> str:
    formula = mention.formula
    line, column = formula.locate_offset(mention.start)
    text = mention.text if len(mention.text) <= 80 else mention.text[:77] + "..."
    where = f"{formula.file}:{line}:{column}: note: "
    owner = f"in the {formula.kind} {formula.name!r}"
    if mention.kind == "ambiguous reference":
        return f"{where}{text} {owner} may mean {old} among others: left as it is\n"
    return f"{where}a {mention.kind} {owner} spells the old name, left as it is: {text}\n"


def _file_mention(mention: FileMention, files: dict[str, FileText]) -> str:
    file = files.get(mention.path)
    if file is None:
        file = files[mention.path] = FileText(mention.path, read_text(mention.path))
    line = bisect.bisect_right(file.line_starts, mention.start)
    column = mention.start - file.line_starts[line - 1] + 1
    return f"{mention.path}:{line}:{column}: note: {mention.what}, left as it is: {mention.text}\n"


def _places(plan: Rename) -> str:
    lines = []
    for edit in plan.edits:
        for change in edit.edits:
            line, column = edit.position(change.start)
            before = edit.before[change.start : change.end]
            lines.append(f"{edit.path}:{line}:{column}: {change.what}: {before} -> {change.text}\n")
    return "".join(lines)


def run(args: argparse.Namespace) -> int:
    try:
        config = ConfigFinder(args.config).config_for(args.path)
    except ConfigError as error:
        write_err(config_problem(error).render() + "\n")
        return EXIT_USAGE
    options = options_of(args, config)
    try:
        project = load_project(args.path, args.report or (), max_file_size=args.max_file_size, keep_originals=True)
    except (ProjectError, ReportError) as error:
        write_err(f"{PROG}: rename: {error}\n")
        return EXIT_USAGE
    try:
        plan = plan_rename(project, args.old, args.new, kind=_KINDS[args.kind] if args.kind else None,  # type: ignore[arg-type]
                           grammar=options.grammar, separators=options.separators)
    except RenameError as error:
        write_err(f"{PROG}: rename: {error.message}\n")
        if error.hint:
            write_err(f"{PROG}: rename: {error.hint}\n")
        return EXIT_USAGE
    old, new = plan.target.dax, plan.target.renamed_dax(plan.new)
    files = plural(len(plan.edits), "file")
    places = plural(plan.places, "place")
    if args.diff:
        write_out("".join(edit.diff() for edit in plan.edits))
        write_err("".join(_mention(mention, old) for mention in plan.mentions))
        texts: dict[str, FileText] = {}
        write_err("".join(_file_mention(mention, texts) for mention in plan.file_mentions))
        write_err(f"{plan.target.kind} {old} would be renamed to {new}: {places} in {files}\n")
        return EXIT_OK
    if args.dry_run:
        write_out(_places(plan))
        write_err(f"{plan.target.kind} {old} would be renamed to {new}: {places} in {files}"
                  + _left(plan) + "\n")
        return EXIT_OK
    problems = plan.write()
    if problems:
        for problem in problems:
            write_err(f"{PROG}: rename: {problem}\n")
        write_err(f"{PROG}: rename: nothing was written: every file of a rename is written, or none\n")
        return EXIT_USAGE
    write_err(f"renamed {plan.target.kind} {old} to {new}: {places} in {files}" + _left(plan) + "\n")
    return EXIT_OK


def _left(plan: Rename) -> str:
    text = ""
    if plan.mentions:
        text = f"; {plural(len(plan.mentions), 'mention')} in DAX strings and comments left as they are"
    if plan.file_mentions:
        text += f"; {plural(len(plan.file_mentions), 'filter value')} of the old name left as they are"
    return text + (" (--diff lists them)" if text else "")


def add_command(commands: Subcommands) -> None:
    command = commands.add_parser(
        "rename",
        help="rename a measure, column, table, function or calculation item across a model and its reports",
        description="Rename an object of a model everywhere it is named: the references of every DAX formula "
        "of the model and of its reports (each rewritten at its place, quoted as the new name needs, every "
        "other character kept), its declaration, the model's own references to it (sort-by columns, "
        "hierarchy levels, relationships, roles, perspectives, translations, variations) and every report's "
        "field references, query names, filters and bookmarks. Text in DAX strings and comments is never "
        "changed. The files are checked to read back as the same model and reports under the new name, then "
        "written together: all of them, or none.",
        epilog="Exit status: 0 when renamed (or, with --diff or --dry-run, when it could be); 2 for a bad command "
        "line, an object that does not exist, a new name that is not valid or that another object has, a model "
        "or report that cannot be read in full, or files that cannot be written (then none is).",
    )
    command.add_argument("path", metavar="PATH",
                         help="a model (a *.bim file, a TMDL folder, a *.SemanticModel folder), a *.pbip file, a "
                         "report folder, or a folder holding a model and its reports")
    command.add_argument("old", metavar="OLD",
                         help="the object in DAX notation: 'Sales'[Revenue] or [Revenue] (a measure or column), "
                         "'Sales' (a table), Finance.Scale (a function), 'Time Intelligence'[YTD] (a calculation "
                         "item)")
    command.add_argument("new", metavar="NEW", help="the new name, bare: Turnover, not [Turnover]")
    command.add_argument("--kind", choices=tuple(_KINDS),
                         help="what OLD names, where it may name several (a column and a calculation item, a table "
                         "and a function)")
    command.add_argument("--diff", action="store_true",
                         help="write nothing; print a unified diff of every file that would change, and list the "
                         "mentions in DAX strings and comments on standard error")
    command.add_argument("--dry-run", action="store_true",
                         help="write nothing; list every place that would change")
    add_report_option(command)
    add_reading_options(command)
    add_grammar_options(command, "read formulas with")
    add_config_options(command, walks=False)
    command.set_defaults(run=run)
