"""`quarrow-dax format`: DAX files and the formulas of models laid out in
place, or with --check and --diff only what would change; standard input
goes formatted to standard output. The formatting is quarrow_dax.formatter's;
this module decides what is written where, and sums up.
"""

from __future__ import annotations

import argparse

from ..check import STDIN, collect_inputs
from ..formatter import DEFAULT_WIDTH, FormatOptions
from ..formatter.files import FileResult, format_dax_file, format_model
from .common import (
    EXIT_ERRORS,
    EXIT_OK,
    EXIT_USAGE,
    PROG,
    Subcommands,
    add_grammar_options,
    add_reading_options,
    non_negative,
    positive,
    read_standard_input,
    plural,
    status_of,
    write_err,
    write_out,
)


def format_options(args: argparse.Namespace) -> FormatOptions:
    return FormatOptions(width=args.width, indent=args.indent_width, space_before_paren=not args.no_space_before_paren,
                         separators=args.separators, grammar="standard" if args.strict else "engine")


def run(args: argparse.Namespace) -> int:
    """Formats the files and models in place, or with --check / --diff
    only says what would change. Standard input goes to standard output."""
    paths: list[str] = args.paths
    if paths.count(STDIN) > 1:
        write_err(f"{PROG}: format: standard input (-) given more than once\n")
        return EXIT_USAGE
    options = format_options(args)
    inputs = collect_inputs(paths)
    status = EXIT_OK
    for problem in inputs.problems:
        write_err(f"{PROG}: {problem.path}: {problem.message}\n" if problem.kind == "path" else
                  f"{PROG}: cannot read {problem.path}: {problem.message}\n")
        status = EXIT_USAGE
    results: list[FileResult] = []
    for path in inputs.files:
        data = read_standard_input(args.max_file_size) if path == STDIN else None
        result = format_dax_file(path, options, mode=args.mode, encoding=args.encoding,
                                 max_file_size=args.max_file_size, data=data)
        if path == STDIN:
            status = max(status, report_format_problems(result))
            if not result.failed:
                if args.diff:
                    write_out(result.diff())
                elif not args.check and result.after is not None:
                    # In the input's encoding, after its byte-order mark.
                    write_out(result.encoded())
                if args.check and result.changed:
                    status = max(status, EXIT_ERRORS)
            continue
        results.append(result)
    for model in inputs.models:
        results.extend(format_model(model, options, max_file_size=args.max_file_size))
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
                status = max(status, EXIT_ERRORS)
            if args.diff:
                write_out(result.diff())
        else:
            refused = result.write()
            if refused is None:
                changed += 1
            else:
                # Left as it is (changed meanwhile, read-only, ...): not formatted.
                write_err(f"{PROG}: {refused}\n")
                status = max(status, EXIT_USAGE)
                unwritten += 1
    if results:
        verb = "would be formatted" if args.check or args.diff else "formatted"
        summary = f"{plural(changed, 'file')} {verb}, {unchanged} unchanged"
        if failed:
            summary += f", {failed} could not be formatted"
        if unwritten:
            summary += f", {unwritten} could not be written"
        write_err(summary + "\n")
    return status


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
        epilog="Exit status: 0 when everything formatted (or, with --check, was formatted already), 1 when --check "
        "finds files to format or some file or formula has a syntax error (or separates arguments with `;` without "
        "--separators semicolon), 2 for a bad command line, a path that cannot be read or written (read-only, or "
        "changed by another program while it was formatted), or an internal error of the formatter.",
    )
    command.add_argument("paths", nargs="+", metavar="PATH",
                         help="a file, a model, a directory (as check searches it) or - (standard input, written "
                         "formatted to standard output)")
    command.add_argument("--check", action="store_true",
                         help="write nothing; list the files that would change and exit with status 1 if any would")
    command.add_argument("--diff", action="store_true", help="write nothing; print a unified diff of each change")
    command.add_argument("--width", type=positive, default=DEFAULT_WIDTH, metavar="N",
                         help=f"the longest line wanted, in characters (default {DEFAULT_WIDTH})")
    command.add_argument("--indent", dest="indent_width", type=non_negative, default=4, metavar="N",
                         help="spaces per level of indentation (default 4)")
    command.add_argument("--no-space-before-paren", action="store_true",
                         help="write SUM( x ) rather than SUM ( x )")
    command.add_argument("--as", dest="mode", choices=("query", "expr"),
                         help="read every *.dax file as this (models: ignored)")
    add_reading_options(command)
    add_grammar_options(command, "read with")
    command.set_defaults(run=run)
