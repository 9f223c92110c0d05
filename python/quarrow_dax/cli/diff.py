"""`quarrow-dax diff`: what changed in meaning between two versions of a
model or project, given as two paths or as one path at git revisions. The
comparison is quarrow_dax.diff's; this module reads the sides, relabels
the files of a revision as the repository names them, and writes.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import os
import sys
from collections.abc import Callable

from ..check import model_problem
from ..config import ConfigError, ConfigFinder
from ..diagnostics import Diagnostic, github_command, writer_for
from ..diff import Change, compare, counted
from ..diff.git import GitError, NotInRevision, Revision, parse_revisions, read_at_revision, temporary_folder
from ..diff.writers import FORMATS, write
from ..project import Project, ProjectError, load_project
from ..report import ReportError
from ..sources import MAX_FILE_SIZE
from ..terminal import colour_wanted
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
    byte_size,
    config_problem,
    write_err,
    write_out,
)

Shown = Callable[[str], str]


def _same(path: str) -> str:
    return path


class Problems:
    """Where what keeps a side from being read goes: standard error, and
    with --format github also a workflow error at its place on standard
    output, so that a pull request shows it where the change is."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.annotate = args.format == "github"
        self.colour = colour_wanted(sys.stderr, args.color)

    def add(self, diagnostic: Diagnostic) -> None:
        write_err(diagnostic.render(colour=self.colour) + "\n")
        if self.annotate:
            writer_for("github", write_out, write_err, PROG).add(diagnostic)

    def say(self, text: str, path: str | None = None) -> None:
        """A problem without a place in a file (a path that names no model)."""
        write_err(f"{PROG}: diff: {text}\n")
        if self.annotate:
            place = [("file", path)] if path else []
            write_out(github_command("error", [*place, ("title", f"{PROG} diff")], text))


def _read_side(path: str, label: str, shown: Shown, max_file_size: int, problems: Problems) -> Project | None:
    """The project at `path`, or None (said through `problems`) when it
    cannot be read in full: a comparison with part of a side would report
    the rest as removed or added."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix == ".tmdl" and os.path.isfile(path):
        problems.say(f"{shown(path)}: one .tmdl file is only a part of a model; give its definition folder",
                     shown(path))
        return None
    if suffix in (".pbix", ".pbit") and os.path.isfile(path):
        problems.say(f"the {label} side: {shown(path)}: a packaged Power BI report ({suffix}), whose model is stored "
                     "in a binary form that cannot be read\n  hint: in Power BI Desktop, save each version as a Power "
                     "BI Project (File > Save as, type *.pbip) and compare those", shown(path))
        return None
    if suffix == ".pbism" and os.path.isfile(path):
        path = os.path.dirname(path) or "."  # a model's settings file stands for its folder
    try:
        project = load_project(path, max_file_size=max_file_size)
    except (ProjectError, ReportError) as error:
        problems.say(f"the {label} side: {shown(error.path)}: {error.message}", shown(error.path))
        return None
    unreadable = False
    for problem in (model_problem(error) for error in project.model_errors):
        problems.add(dataclasses.replace(problem, path=shown(problem.path or "")))
        unreadable = True
    for problem in project.report_problems:
        if problem.severity == "error":
            problems.add(dataclasses.replace(problem, path=shown(problem.path or "")))
            unreadable = True
    if unreadable:
        write_err(f"{PROG}: diff: the {label} side ({shown(path)}) could not be read in full\n")
        return None
    return project


def _at_revision(path: str, revision: str, stack: contextlib.ExitStack[bool | None],
                 missing: list[str]) -> Revision | None:
    """`path` read at `revision` into a temporary folder that `stack`
    removes; None (and why, in `missing`) when the revision does not have it."""
    try:
        return read_at_revision(path, revision, stack.enter_context(temporary_folder()))
    except NotInRevision as error:
        missing.append(str(error))
        return None


def _relabel(changes: list[Change], old: Shown, new: Shown) -> list[Change]:
    """The changes with the files of a revision named as the repository
    names them."""
    if old is _same and new is _same:
        return changes
    relabelled = []
    for change in changes:
        impact = tuple(dataclasses.replace(found, file=new(found.file)) for found in change.impact)
        shown = old if change.side == "old" else new
        relabelled.append(dataclasses.replace(change, file=shown(change.file), impact=impact))
    return relabelled


def run(args: argparse.Namespace) -> int:
    if args.git is None and len(args.paths) != 2:
        raise UsageError("diff: give OLD and NEW, or --git REV[..REV] and one PATH")
    if args.git is not None and len(args.paths) != 1:
        raise UsageError("diff: with --git, give one PATH: the model or project to compare at the revisions")
    # How formulas are read: the command line, else the configuration of
    # the new side's folder (in the work tree, also with --git).
    problems = Problems(args)
    try:
        config = ConfigFinder(args.config).config_for(args.paths[-1])
    except ConfigError as error:
        problems.add(config_problem(error))
        return EXIT_USAGE
    strict = config.strict if args.strict is None else args.strict
    separators = args.separators or config.separators
    with contextlib.ExitStack() as stack:
        old_path, new_path = args.paths[0], args.paths[-1]
        shown_old: Shown = _same
        shown_new: Shown = _same
        if args.git is not None:
            try:
                revisions = parse_revisions(args.git)
            except ValueError as error:
                raise UsageError(f"diff: --git {error}") from None
            missing: list[str] = []
            try:
                old_revision = _at_revision(old_path, revisions.old, stack, missing)
                new_revision: Revision | None = None
                if revisions.new is not None:
                    new_revision = _at_revision(new_path, revisions.new, stack, missing)
                elif not os.path.lexists(new_path):
                    missing.append(f"{new_path}: not in the work tree")
            except GitError as error:
                problems.say(str(error))
                return EXIT_USAGE
            if len(missing) == 2:
                problems.say(f"{missing[0]}, nor in the other side")
                return EXIT_USAGE
            # A project added (or removed) between the revisions is compared
            # with nothing: all of it is added (or removed).
            for note in missing:
                if not args.quiet:
                    write_err(f"{PROG}: diff: {note}: compared with nothing\n")
            if old_revision is not None:
                old_path, shown_old = str(old_revision.path), old_revision.shown
            if new_revision is not None:
                new_path, shown_new = str(new_revision.path), new_revision.shown
            empty_old = old_revision is None
            empty_new = new_revision is None if revisions.new is not None else not os.path.lexists(new_path)
        else:
            empty_old = empty_new = False
        old = Project(old_path, None, None) if empty_old else _read_side(old_path, "old", shown_old, args.max_file_size,
                                                                             problems)
        new = None
        if old is not None:
            new = Project(new_path, None, None) if empty_new else _read_side(new_path, "new", shown_new,
                                                                              args.max_file_size, problems)
        if old is None or new is None:
            return EXIT_USAGE
        changes = compare(old, new, grammar="standard" if strict else "engine", separators=separators)
        changes = _relabel(changes, shown_old, shown_new)
    out, summary = write(changes, args.format, layout=not args.no_layout,
                         colour=args.format == "text" and colour_wanted(sys.stdout, args.color))
    write_out(out)
    if summary and not args.quiet:
        write_err(summary)
    return EXIT_ERRORS if counted(changes) else EXIT_OK


def add_command(commands: Subcommands) -> None:
    diff = commands.add_parser(
        "diff",
        help="what changed in meaning between two versions of a model or project",
        description="Compare two versions of a model or project by meaning: objects matched by lineage tag, "
        "else by name, else (for one that vanished and one that appeared with the same formula, or without a formula "
        "the same make-up: source columns, members, levels) as a rename; "
        "formulas compared as trees, so that layout, comments, the case of built-in names and references to "
        "renamed objects are no change; properties (data type, format string, display folder, hidden, sort-by, "
        "relationships, roles' filters, calculation items' order); reports' pages, visuals and fields. Each "
        "change lists what it reaches downstream on the new side, and for a removed or renamed object, the "
        "places that still use the old name. Differences of layout alone are listed apart and never counted.",
        epilog="Exit status: 0 when nothing changed in meaning, 1 when something did, 2 for a bad command line, "
        "a side that cannot be read in full, or a git revision or path that cannot be read.",
    )
    diff.add_argument("paths", nargs="+", metavar="PATH",
                      help="OLD and NEW: each a *.bim file, a TMDL folder or a *.SemanticModel folder, or a project "
                      "(a *.pbip file, a report folder, a folder holding a model and its reports); with --git, one "
                      "PATH")
    diff.add_argument("--git", metavar="REV[..REV]",
                      help="compare PATH as it stands at git revision REV with the work tree, or at A..B (A with "
                      "B), or at A...B (the merge base of A and B with B); read with git, nothing checked out")
    diff.add_argument("--format", choices=tuple(FORMATS), default="text",
                      help="text: grouped by kind of change, one object a line (default); json: one record a line; "
                      "markdown: a table for a pull-request comment, changed formulas folded in; github: workflow "
                      "annotations at the changed lines")
    diff.add_argument("--no-layout", action="store_true",
                      help="leave out the formulas whose text differs only in layout (still counted in the summary)")
    diff.add_argument("--max-file-size", type=byte_size, default=MAX_FILE_SIZE, metavar="SIZE",
                      help=f"refuse files larger than SIZE (such as 64M or 2G; 0: no limit; default "
                      f"{MAX_FILE_SIZE >> 20}M)")
    add_grammar_options(diff, "read formulas with")
    add_config_options(diff, walks=False)
    add_output_options(diff, statistics=False)
    diff.set_defaults(run=run)
