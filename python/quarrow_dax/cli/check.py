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

from ..check import (
    STDIN,
    CheckOptions,
    ModelPart,
    ModelTally,
    check_model,
    check_tasks,
    display_path,
    is_query,
    model_problem,
    object_name,
    read_problem,
)
from ..diagnostics import FORMATS, Diagnostic, object_phrase
from ..inputs import Inputs, collect_inputs
from ..model import ModelError, read_model
from ..report import ReportError, load_report
from ..report._files import problem as report_problem
from ..report_check import ReportTally, check_reports
from ..selection import PathFilter
from ..sources import SourceError
from .common import (
    EXIT_OK,
    EXIT_USAGE,
    PROG,
    Configurations,
    Progress,
    Subcommands,
    UsageError,
    add_config_options,
    add_grammar_options,
    add_output_options,
    add_reading_options,
    add_report_option,
    non_negative,
    options_of,
    plural,
    read_input,
    read_standard_input,
    status_of,
    write_err,
    write_out,
)
from .output import Report


def check_dax_files(
    args: argparse.Namespace, files: list[str], report: Report, configs: Configurations
) -> tuple[int, int, int]:
    """Checks the DAX files and writes their diagnostics, each read as its
    configuration says; returns how many files were checked, how many of
    those failed, and how many could not be read."""
    tasks: list[tuple[str, bytes | None, CheckOptions]] = []
    for path in files:
        config = configs.for_path(path)
        if config is None:
            continue
        options = options_of(args, config)
        data = read_standard_input(options.max_file_size) if path == STDIN else None
        tasks.append((path, data, options))

    progress = Progress(len(tasks), sys.stderr, not (args.no_progress or args.quiet))
    failed = unreadable = 0
    # closing: on a broken pipe the worker processes stop here, not whenever
    # the generator happens to be collected.
    with contextlib.closing(check_tasks(tasks, args.jobs)) as reports:
        try:
            for done, diagnostics in enumerate(reports, 1):
                if diagnostics:
                    progress.clear()
                    if any(diagnostic.kind == "read" for diagnostic in diagnostics):
                        unreadable += 1
                    else:
                        failed += any(diagnostic.severity == "error" for diagnostic in diagnostics)
                for diagnostic in diagnostics:
                    report.add(diagnostic)
                progress.update(done)
        finally:
            progress.clear()
    return len(tasks) - unreadable, failed, unreadable


def check_models(
    args: argparse.Namespace, inputs: Inputs, report: Report, configs: Configurations
) -> tuple[str, int]:
    """Parses every formula of the models and writes the diagnostics; returns
    the summary line and how many models were checked. Always in this
    process: reading and parsing all models takes less time than starting
    worker processes."""
    count = failed = broken = checked = problems = 0
    for model in inputs.models:
        config = configs.for_path(model)
        if config is None:
            continue
        checked += 1
        tally = ModelTally()
        for diagnostic in check_model(model, options_of(args, config), tally, inputs.parts.get(model)):
            report.add(diagnostic)
        count += tally.formulas
        failed += tally.failed
        broken += tally.unreadable
        problems += tally.problems
    summary = f"checked {plural(count, 'formula')} in {plural(checked, 'model')}: {failed} with errors"
    if problems:
        summary += f"; {plural(problems, 'problem')} of the models' structure"
    if broken:
        summary += f"; {plural(broken, 'model')} could not be read in full"
    return summary, checked


def check_report_inputs(args: argparse.Namespace, reports: list[tuple[str, str | None]], report: Report,
                        configs: Configurations) -> str:
    """Checks the reports against their models, each read as its
    configuration says, and writes the diagnostics; returns the summary
    line."""
    tally = ReportTally()
    for path, model in reports:
        config = configs.for_path(path)
        if config is None:
            continue
        for diagnostic in check_reports([(path, model)], options_of(args, config), tally):
            report.add(diagnostic)
    summary = (f"checked {plural(tally.reports, 'report')}: {plural(tally.uses, 'field reference')}, "
               f"{plural(tally.formulas, 'formula')}: {tally.failed} with errors")
    if tally.unknown or tally.stale:
        summary += f"; {tally.unknown} broken and {tally.stale} stale field references"
    return summary


def run(args: argparse.Namespace) -> int:
    if args.list and args.format not in ("text", "json"):
        raise UsageError("check --list writes text or json only")
    if args.list and args.statistics:
        raise UsageError("check --list lists; --statistics counts findings: give one of them")
    paths: list[str] = args.paths
    if paths.count(STDIN) > 1:
        write_err(f"{PROG}: check: standard input (-) given more than once\n")
        return EXIT_USAGE
    report = Report(args)
    configs = Configurations(args, report.add)
    selection = configs.selection(args)
    inputs = collect_inputs(paths, args.report or (), selection)
    if args.list:
        return run_list(args, inputs, configs, selection)
    configs.walk_problems(selection)
    for problem in inputs.problems:
        report.add(problem)
    checked, failed, unreadable = check_dax_files(args, inputs.files, report, configs)
    files_skipped = configs.skipped
    summaries = []
    # A run without models keeps the summary it always had, even for no files.
    if inputs.files or not (inputs.models or inputs.reports):
        summary = f"checked {plural(checked, 'file')}: {failed} with errors"
        if unreadable:
            summary += f"; {plural(unreadable, 'file')} could not be read"
        summaries.append(summary + _not_checked(files_skipped, "file") + "\n")
    if inputs.models:
        before = configs.skipped
        summary, _ = check_models(args, inputs, report, configs)
        summaries.append(summary + _not_checked(configs.skipped - before, "model") + "\n")
    if inputs.reports:
        before = configs.skipped
        summary = check_report_inputs(args, inputs.reports, report, configs)
        summaries.append(summary + _not_checked(configs.skipped - before, "report") + "\n")
    report.finish("".join(summaries), successful=report.status < EXIT_USAGE)
    return report.status


def _not_checked(skipped: int, noun: str) -> str:
    """What a summary says of the paths left out for their configuration."""
    if not skipped:
        return ""
    return f"; {plural(skipped, noun)} not checked: {'its' if skipped == 1 else 'their'} configuration cannot be used"


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


def run_list(args: argparse.Namespace, inputs: Inputs, configs: Configurations, selection: PathFilter) -> int:
    """Writes one line per DAX file and per formula of each model and report,
    without parsing anything: where it starts, what it is and its first line."""
    status = EXIT_OK
    machine = args.format == "json"

    def problem(diagnostic: Diagnostic) -> None:
        nonlocal status
        if machine:
            write_out(json.dumps(diagnostic.to_dict(), ensure_ascii=False, separators=(",", ":")) + "\n")
        elif diagnostic.kind == "read":
            write_out(f"{PROG}: cannot read {diagnostic.path}: {diagnostic.message}\n")
        elif diagnostic.kind == "path":
            write_out(f"{PROG}: {diagnostic.path}: {diagnostic.message}\n")
        else:
            write_out(diagnostic.render() + "\n")
        status = max(status, status_of(diagnostic))

    def entry(path: str, line: int, column: int, text: str, kind: str, name: str | None) -> None:
        if machine:
            record = {"path": path, "line": line, "column": column, "object": name, "object_kind": kind, "text": text}
            write_out(json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n")
        else:
            write_out(f"{path}:{line}:{column}: {kind if name is None else object_phrase(kind, name)}: {text}\n")

    configs.report = problem
    configs.walk_problems(selection)
    for diagnostic in inputs.problems:
        problem(diagnostic)
    files = 0
    for path in inputs.files:
        config = configs.for_path(path)
        if config is None:
            continue
        options = options_of(args, config)
        files += 1
        try:
            source = read_input(path, options)
        except SourceError as error:
            problem(read_problem(error, display_path(path)))
            continue
        mode = options.mode or ("query" if is_query(source) else "expr")
        entry(display_path(path), *first_line(source), "query file" if mode == "query" else "expression file", None)
    count = models = 0
    for model in inputs.models:
        config = configs.for_path(model)
        if config is None:
            continue
        models += 1
        part = None if model not in inputs.parts else ModelPart(inputs.parts[model])
        errors: list[ModelError] = []
        for formula in read_model(model, errors, [], max_file_size=args.max_file_size):
            if part is not None and not part.has(formula.file):
                continue
            count += 1
            line, column, text = first_line(formula.text)
            shown = formula.file if part is None else part.path_of(formula.file)
            entry(shown, *formula.locate(line, column), text, formula.kind, object_name(formula))
        for model_error in errors:
            if part is None or part.has(model_error.file):
                problem(model_problem(model_error))
    report_count = reports = 0
    for path, _ in inputs.reports:
        config = configs.for_path(path)
        if config is None:
            continue
        reports += 1
        try:
            loaded = load_report(path, max_file_size=args.max_file_size)
        except ReportError as error:
            problem(report_problem(error.path, error.message))
            continue
        for report_formula in loaded.formulas:
            report_count += 1
            formula = report_formula.formula
            line, column, text = first_line(formula.text)
            entry(formula.file, *formula.locate(line, column), text, formula.kind, object_name(formula))
        for found_problem in loaded.problems:
            problem(found_problem)
    found = [plural(files, "file")] if inputs.files or not (inputs.models or inputs.reports) else []
    if inputs.models:
        found.append(f"{plural(count, 'formula')} in {plural(models, 'model')}")
    if inputs.reports:
        found.append(f"{plural(report_count, 'formula')} in {plural(reports, 'report')}")
    if not args.quiet:
        write_err("found " + " and ".join(found) + "\n")
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
        "object it belongs to. Reports (a *.Report folder, or those of a *.pbip project) have "
        "their own DAX parsed and every field they reference looked up in their model: a name "
        "the model lacks is E008 (the visual shows an error), or W004 in a bookmark, formatting "
        "selector or saved state. A text that parses has its function calls checked against the "
        "functions' signatures: a wrong number of arguments (E009), or a literal or computed value "
        "where a column, table or reference is required (E010); `quarrow-dax functions NAME` "
        "prints a signature.",
    )
    check.add_argument(
        "paths",
        nargs="+",
        metavar="PATH",
        help="a file, a model, a report, a *.pbip project, a directory (the models, reports and the *.dax "
        "files outside them under it, recursively) or -",
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
        "Actions annotations; sarif: one SARIF 2.1.0 log. Every format writes its records on standard output, "
        "also about paths that cannot be read, and the summary on standard error",
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
    add_report_option(check)
    check.add_argument(
        "--no-resolve", action="store_true",
        help="do not look up the names a model's formulas use; by default a reference to a measure, column, "
        "table, variable, parameter or function that exists nowhere is a reference error (DAX001), and calls "
        "of the model's functions are checked against their parameters",
    )
    add_reading_options(check)
    add_grammar_options(check)
    add_config_options(check)
    add_output_options(check)
    check.set_defaults(run=run)
