"""`quarrow-dax format`: DAX files and the formulas of models laid out in
place, or with --check and --diff only what would change; standard input
goes formatted to standard output. The formatting is quarrow_dax.formatter's;
this module decides what is written where, and sums up.
"""

from __future__ import annotations

import argparse

from ..check import STDIN
from ..inputs import collect_inputs
from ..config import Config
from ..config.settings import MAX_INDENT
from ..diagnostics import Diagnostic
from ..formatter import DEFAULT_WIDTH, FormatOptions
from ..formatter.files import FileResult, format_dax_file, format_model
from .common import (
    EXIT_ERRORS,
    EXIT_OK,
    EXIT_USAGE,
    PROG,
    Configurations,
    Subcommands,
    add_config_options,
    add_grammar_options,
    add_output_options,
    add_reading_options,
    non_negative,
    plural,
    positive,
    read_standard_input,
    status_of,
    write_err,
    write_out,
)
from .output import diff_text

#: Spaces per level unless asked otherwise.
DEFAULT_INDENT = 4


def indent_width(text: str) -> int:
    """An indentation step the formatter takes: 0 to MAX_INDENT spaces."""
    value = non_negative(text)
    if value > MAX_INDENT:
        raise argparse.ArgumentTypeError(f"must be {MAX_INDENT} or less: {value}")
    return value


def format_options(args: argparse.Namespace, config: Config | None = None) -> FormatOptions:
    """The formatter's options: the command line's, else the configuration's
    format table, else its top-level settings, else the defaults."""
    config = Config() if config is None else config
    table = config.format
    strict = config.strict if args.strict is None else args.strict
    space = args.space_before_paren
    if space is None:
        space = True if table.space_before_paren is None else table.space_before_paren
    return FormatOptions(
        width=args.width or table.width or DEFAULT_WIDTH,
        indent=_first(args.indent_width, table.indent, DEFAULT_INDENT),
        space_before_paren=space,
        separators=args.separators or table.separators or config.separators,
        grammar="standard" if strict else "engine",
    )


def _first(*values: int | None) -> int:
    return next(value for value in values if value is not None)


def run(args: argparse.Namespace) -> int:
    """Formats the files and models in place, or with --check / --diff
    only says what would change. Standard input goes to standard output."""
    paths: list[str] = args.paths
    if paths.count(STDIN) > 1:
        write_err(f"{PROG}: format: standard input (-) given more than once\n")
        return EXIT_USAGE
    status = EXIT_OK

    def problem(diagnostic: Diagnostic) -> None:
        nonlocal status
        write_err(_problem_text(diagnostic))
        status = max(status, EXIT_USAGE if diagnostic.kind in ("read", "path", "model", "config", "internal")
                     else status_of(diagnostic))

    configs = Configurations(args, problem)
    selection = configs.selection(args)
    # The formatter looks up no names: a .tmdl file is formatted by itself.
    inputs = collect_inputs(paths, selection=selection, in_models=False)
    configs.walk_problems(selection)
    for each in inputs.problems:
        problem(each)
    results: list[FileResult] = []
    for path in inputs.files:
        config = configs.for_path(path)
        if config is None:
            continue
        data = read_standard_input(args.max_file_size) if path == STDIN else None
        result = format_dax_file(path, format_options(args, config), mode=args.mode, encoding=args.encoding,
                                 max_file_size=args.max_file_size, data=data)
        if path == STDIN:
            status = max(status, report_format_problems(result))
            if not result.failed:
                if args.diff:
                    write_out(diff_text(result.diff(), args))
                elif not args.check and result.after is not None:
                    # In the input's encoding, after its byte-order mark.
                    write_out(result.encoded())
                if (args.check or args.diff) and result.changed:
                    status = max(status, EXIT_ERRORS)
            continue
        results.append(result)
    for model in inputs.models:
        config = configs.for_path(model)
        if config is None:
            continue
        results.extend(format_model(model, format_options(args, config), max_file_size=args.max_file_size))
    changed = unchanged = failed = unwritten = 0
    for result in results:
        status = max(status, report_format_problems(result))
        if result.failed:
            failed += 1
        elif not result.changed:
            unchanged += 1
            continue
        elif args.check or args.diff:
            changed += 1
            if args.check:
                write_out(result.path + "\n")
            if args.diff:
                write_out(diff_text(result.diff(), args))
            status = max(status, EXIT_ERRORS)
        else:
            refused = result.write()
            if refused is None:
                changed += 1
            else:
                # Left as it is (changed meanwhile, read-only, ...): not formatted.
                write_err(f"{PROG}: {refused}\n")
                status = max(status, EXIT_USAGE)
                unwritten += 1
    if (results or configs.skipped) and not args.quiet:
        verb = "would be formatted" if args.check or args.diff else "formatted"
        summary = f"{plural(changed, 'file')} {verb}, {unchanged} unchanged"
        if failed:
            summary += f", {failed} could not be formatted"
        if unwritten:
            summary += f", {unwritten} could not be written"
        if configs.skipped:
            summary += f", {configs.skipped} left alone: {'its' if configs.skipped == 1 else 'their'} configuration" \
                " cannot be used"
        write_err(summary + "\n")
    return status


def _problem_text(diagnostic: Diagnostic) -> str:
    if diagnostic.kind == "path":
        hint = f"\n  hint: {diagnostic.hint}" if diagnostic.hint else ""
        return f"{PROG}: {diagnostic.path}: {diagnostic.message}{hint}\n"
    if diagnostic.kind == "read":
        return f"{PROG}: cannot read {diagnostic.path}: {diagnostic.message}\n"
    return diagnostic.render() + "\n"


def report_format_problems(result: FileResult) -> int:
    """Writes why a file could not be formatted; returns the exit status
    that calls for."""
    status = EXIT_OK
    for problem in result.problems:
        if problem.kind == "read":
            write_err(f"{PROG}: cannot read {problem.path}: {problem.message}\n")
        else:
            write_err(problem.render() + "\n")
        status = max(status, EXIT_USAGE if problem.kind in ("read", "model", "internal") else status_of(problem))
    return status


def add_command(commands: Subcommands) -> None:
    command = commands.add_parser(
        "format",
        help="format DAX files and the formulas of models in place",
        description="Lay out each file, and each DAX formula of each model, in the style of the public DAX "
        "formatting conventions, keeping every comment; files are rewritten in place, each only when all of it "
        "formatted and reads back to the same syntax trees.",
        epilog="Exit status: 0 when everything formatted (or, with --check or --diff, was formatted already), 1 when "
        "--check or --diff finds files to format or some file or formula has a syntax error (or separates arguments "
        "with `;` without --separators semicolon), 2 for a bad command line, a path that cannot be read or written "
        "(read-only, or changed by another program while it was formatted), a configuration that cannot be used, or "
        "an internal error of the formatter.",
    )
    command.add_argument("paths", nargs="+", metavar="PATH",
                         help="a file, a model, a directory (as check searches it) or - (standard input, written "
                         "formatted to standard output)")
    command.add_argument("--check", action="store_true",
                         help="write nothing; list the files that would change and exit with status 1 if any would")
    command.add_argument("--diff", action="store_true",
                         help="write nothing; print a unified diff of each change, and exit with status 1 if any "
                         "(as lint --diff does)")
    command.add_argument("--width", type=positive, default=None, metavar="N",
                         help=f"the longest line wanted, in characters (default: the configuration's format width, "
                         f"else {DEFAULT_WIDTH})")
    command.add_argument("--indent", dest="indent_width", type=indent_width, default=None, metavar="N",
                         help=f"spaces per level of indentation, 0 to {MAX_INDENT} (default: the configuration's, "
                         f"else {DEFAULT_INDENT})")
    command.add_argument("--space-before-paren", action=argparse.BooleanOptionalAction, default=None,
                         help="SUM ( x ) (the default) or, with --no-space-before-paren, SUM( x )")
    command.add_argument("--as", dest="mode", choices=("query", "expr"),
                         help="read every *.dax file as this (models: ignored)")
    add_reading_options(command)
    add_grammar_options(command, "read with")
    add_config_options(command)
    add_output_options(command, statistics=False)
    command.set_defaults(run=run)
