"""`quarrow-dax check`: the first error of each DAX file and model formula,
in the format asked for; `check --list` names each file and formula found
without parsing anything.

The checking lives in quarrow_dax.check and the output formats in
quarrow_dax.diagnostics; this module turns the options into CheckOptions,
writes, and sums up.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import re
import sys

from .. import __version__
from ..check import (
    STDIN,
    ModelTally,
    check_files,
    check_model,
    collect_inputs,
    display_path,
    is_query,
    model_problem,
    object_name,
    read_problem,
)
from ..diagnostics import FORMATS, Diagnostic, Writer, object_phrase, writer_for
from ..model import ModelError, read_model
from ..sources import SourceError
from .common import (
    EXIT_OK,
    EXIT_USAGE,
    PROG,
    Progress,
    Subcommands,
    UsageError,
    add_grammar_options,
    add_reading_options,
    non_negative,
    options_of,
    plural,
    read_input,
    read_standard_input,
    status_of,
    write_err,
    write_out,
)


def check_dax_files(args: argparse.Namespace, files: list[str], writer: Writer) -> tuple[int, int, int]:
    """Checks the DAX files and writes their diagnostics; returns the exit
    status, how many files were checked and how many of those failed."""
    options = options_of(args)
    tasks: list[tuple[str, bytes | None]] = []
    for path in files:
        data = read_standard_input(options.max_file_size) if path == STDIN else None
        tasks.append((path, data))

    progress = Progress(len(tasks), sys.stderr, not args.no_progress)
    status = EXIT_OK
    failed = 0
    # closing: on a broken pipe the worker processes stop here, not whenever
    # the generator happens to be collected.
    with contextlib.closing(check_files(tasks, options, args.jobs)) as reports:
        try:
            for done, diagnostics in enumerate(reports, 1):
                if diagnostics:
                    progress.clear()
                    failed += 1
                for diagnostic in diagnostics:
                    writer.add(diagnostic)
                    status = max(status, status_of(diagnostic))
                progress.update(done)
        finally:
            progress.clear()
    return status, len(tasks), failed


def check_models(args: argparse.Namespace, models: list[str], writer: Writer) -> tuple[int, str]:
    """Parses every formula of the models and writes the diagnostics; returns
    the exit status and the summary line. Always in this process: reading
    and parsing all models takes less time than starting worker processes."""
    options = options_of(args)
    status = EXIT_OK
    count = failed = broken = problems = 0
    for model in models:
        tally = ModelTally()
        for diagnostic in check_model(model, options, tally):
            writer.add(diagnostic)
            status = max(status, status_of(diagnostic))
        count += tally.formulas
        failed += tally.failed
        broken += tally.unreadable
        problems += tally.problems
    summary = f"checked {plural(count, 'formula')} in {plural(len(models), 'model')}: {failed} with errors"
    if problems:
        summary += f"; {plural(problems, 'problem')} of the models' structure"
    if broken:
        summary += f"; {plural(broken, 'model')} could not be read in full"
    return status, summary + "\n"


def run(args: argparse.Namespace) -> int:
    if args.list and args.format not in ("text", "json"):
        raise UsageError("check --list writes text or json only")
    paths: list[str] = args.paths
    if paths.count(STDIN) > 1:
        write_err(f"{PROG}: check: standard input (-) given more than once\n")
        return EXIT_USAGE
    inputs = collect_inputs(paths)
    if args.list:
        return run_list(args, inputs.files, inputs.models, inputs.problems)
    writer = writer_for(args.format, write_out, write_err, PROG, __version__)
    status = EXIT_OK
    for problem in inputs.problems:
        writer.add(problem)
        status = max(status, status_of(problem))
    file_status, checked, failed = check_dax_files(args, inputs.files, writer)
    status = max(status, file_status)
    summaries = []
    # A run without models keeps the summary it always had, even for no files.
    if inputs.files or not inputs.models:
        summaries.append(f"checked {plural(checked, 'file')}: {failed} with errors\n")
    if inputs.models:
        model_status, summary = check_models(args, inputs.models, writer)
        status = max(status, model_status)
        summaries.append(summary)
    writer.finish("".join(summaries), successful=status < EXIT_USAGE)
    return status


# --- check --list ---------------------------------------------------------------

# Control characters but tabs: shown as U+FFFD, so that a listed line cannot
# move the cursor or ring the terminal's bell.
_CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f-\x9f]")


def first_line(text: str) -> tuple[int, int, str]:
    """(line, column, text) of the first line of `text` that is not blank,
    cut short when long, so that a listing keeps one line per formula."""
    number = 0
    for number, line in enumerate(text.split("\n"), 1):
        shown = line.strip()
        if shown:
            if len(shown) > 100:
                shown = shown[:99] + "\u2026"
            return number, len(line) - len(line.lstrip()) + 1, _CONTROL.sub("\ufffd", shown)
    return 1, 1, ""


def run_list(args: argparse.Namespace, files: list[str], models: list[str], problems: list[Diagnostic]) -> int:
    """Writes one line per DAX file and per formula of each model, without
    parsing anything: where it starts, what it is and its first line."""
    status = EXIT_OK
    machine = args.format == "json"
    options = options_of(args)

    def problem(diagnostic: Diagnostic) -> None:
        nonlocal status
        if machine:
            write_out(json.dumps(diagnostic.to_dict(), ensure_ascii=False, separators=(",", ":")) + "\n")
        elif diagnostic.kind == "read":
            write_err(f"{PROG}: cannot read {diagnostic.path}: {diagnostic.message}\n")
        elif diagnostic.kind == "path":
            write_err(f"{PROG}: {diagnostic.path}: {diagnostic.message}\n")
        else:
            write_err(diagnostic.render() + "\n")
        status = max(status, status_of(diagnostic))

    def entry(path: str, line: int, column: int, text: str, kind: str, name: str | None) -> None:
        if machine:
            record = {"path": path, "line": line, "column": column, "object": name, "object_kind": kind, "text": text}
            write_out(json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n")
        else:
            write_out(f"{path}:{line}:{column}: {kind if name is None else object_phrase(kind, name)}: {text}\n")

    for diagnostic in problems:
        problem(diagnostic)
    for path in files:
        try:
            source = read_input(path, options)
        except SourceError as error:
            problem(read_problem(error, display_path(path)))
            continue
        mode = options.mode or ("query" if is_query(source) else "expr")
        entry(display_path(path), *first_line(source), "query file" if mode == "query" else "expression file", None)
    count = 0
    for model in models:
        errors: list[ModelError] = []
        for formula in read_model(model, errors, [], max_file_size=options.max_file_size):
            count += 1
            line, column, text = first_line(formula.text)
            entry(formula.file, *formula.locate(line, column), text, formula.kind, object_name(formula))
        for model_error in errors:
            problem(model_problem(model_error))
    found = [plural(len(files), "file")] if files or not models else []
    if models:
        found.append(f"{plural(count, 'formula')} in {plural(len(models), 'model')}")
    (write_err if machine else write_out)("found " + " and ".join(found) + "\n")
    return status


def add_command(commands: Subcommands) -> None:
    check = commands.add_parser(
        "check",
        help="report the first error of each file or model formula",
        description="Parse each file and report its first error, if any. A file whose first "
        "word (after comments) is DEFINE or EVALUATE is read as a query, any other as an "
        "expression. Tabular models (a *.bim file, a TMDL definition folder or a folder "
        "holding one, such as *.SemanticModel) have each DAX formula parsed as its kind "
        "requires; an error is reported at its line and column in the model file, with the "
        "object it belongs to.",
    )
    check.add_argument(
        "paths",
        nargs="+",
        metavar="PATH",
        help="a file, a model, a directory (the models and the *.dax files outside model "
        "folders under it, recursively) or -",
    )
    check.add_argument(
        "--as", dest="mode", choices=("query", "expr"), help="read every *.dax file as this (models: ignored)"
    )
    check.add_argument(
        "--format",
        choices=tuple(FORMATS),
        default="text",
        help="text: path:line:column: message, the line and carets (default); gcc: one line per error as "
        "compilers write it (for editors' problem matchers); json: one object per error; github: GitHub "
        "Actions annotations; sarif: one SARIF 2.1.0 log. Every format but text writes only its records on "
        "standard output and the summary on standard error",
    )
    check.add_argument(
        "--jobs",
        "-j",
        type=non_negative,
        default=1,
        metavar="N",
        help="processes for the *.dax files (0: one per processor; never more than files or processors). "
        "Models are always checked in this process, one after another",
    )
    check.add_argument(
        "--list",
        action="store_true",
        help="parse nothing; print each file and model formula found: where it starts, its "
        "kind and object, and its first line (formats text and json only)",
    )
    check.add_argument("--no-progress", action="store_true", help="never draw a progress bar")
    check.add_argument(
        "--no-resolve", action="store_true",
        help="do not look up the names a model's formulas use; by default a reference to a measure, column, "
        "table, variable, parameter or function that exists nowhere is a reference error (DAX001)",
    )
    add_reading_options(check)
    add_grammar_options(check)
    check.set_defaults(run=run)
