"""`quarrow-dax lint`: what the lint rules find in each file and model
formula, as configured from each path's folder upward; `--fix` and `--diff`
make (or show) the fixes the rules propose; `--explain` describes a rule.

quarrow_dax.lint is imported only when the command runs, so that the other
commands start without loading the rules.
"""

from __future__ import annotations

import argparse
from collections import Counter
from collections.abc import Iterator
from typing import TYPE_CHECKING

from .. import __version__
from ..check import STDIN, CheckOptions, ModelTally, collect_inputs
from ..report import ReportError, load_report
from ..report._files import problem
from ..report_check import ModelCache
from ..diagnostics import FORMATS, Diagnostic, Writer, writer_for
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
    options_of,
    plural,
    read_standard_input,
    status_of,
    write_err,
    write_out,
)

if TYPE_CHECKING:
    from ..lint import LintConfig
    from ..lint.fixes import FixedFile


def run(args: argparse.Namespace) -> int:
    """Lints the files and models; each is governed by the configuration
    found from its folder upward (or --config), with --select and --ignore
    on top."""
    if not args.paths and args.explain is None:
        raise UsageError("lint: give the paths to lint (or --explain RULE)")
    if args.unsafe_fixes and not (args.fix or args.diff):
        raise UsageError("lint: --unsafe-fixes goes with --fix or --diff")
    from ..lint import CATALOGUE, ConfigError, ConfigFinder, find_rule, lint_file, lint_model

    if args.explain is not None:
        wanted = args.explain.strip()
        rule = find_rule(wanted)
        if rule is not None:
            write_out(rule.explain() + "\n")
            return EXIT_OK
        write_err(f"{PROG}: lint: no rule {wanted!r}; the rules are {', '.join(CATALOGUE)}\n")
        return EXIT_USAGE
    paths: list[str] = args.paths
    if paths.count(STDIN) > 1:
        write_err(f"{PROG}: lint: standard input (-) given more than once\n")
        return EXIT_USAGE
    inputs = collect_inputs(paths, args.report or ())
    # Fixed standard input goes to standard output, and the report beside it.
    fixed_out = args.fix and not args.diff and STDIN in inputs.files
    writer = writer_for(args.format, write_err if fixed_out else write_out, write_err, PROG, __version__)
    options = options_of(args)
    finder = ConfigFinder(args.config)
    reported: set[str] = set()
    status = EXIT_OK
    found = {"files": Counter[str](), "models": Counter[str](), "reports": Counter[str]()}
    fixes = LintFixes(args, writer)

    def add(diagnostic: Diagnostic, group: str | None = None) -> None:
        nonlocal status
        writer.add(diagnostic)
        status = max(status, status_of(diagnostic))
        if group is not None and diagnostic.kind not in Writer.INPUT_KINDS:
            found[group][diagnostic.severity] += 1

    def configured(path: str) -> LintConfig | None:
        try:
            config = finder.config_for("." if path == STDIN else path)
        except ConfigError as error:
            if error.path not in reported:
                reported.add(error.path)
                add(Diagnostic.for_path("config", error.message, error.path, error.line or 0, error.column or 0))
            return None
        return config.overridden(args.select, args.ignore or ())

    for problem in inputs.problems:
        add(problem)
    for path in inputs.files:
        data = read_standard_input(options.max_file_size) if path == STDIN else None
        config = configured(path)
        if config is None:
            continue
        if fixes.wanted:
            diagnostics = fixes.dax_file(path, options, config, data)
        else:
            diagnostics = lint_file(path, options, config, data)
        for diagnostic in diagnostics:
            add(diagnostic, "files")
    formulas = broken = 0
    for model in inputs.models:
        config = configured(model)
        if config is None:
            continue
        if fixes.wanted:
            fixes.model(model, options, config)
            if args.diff:
                continue
        tally = ModelTally()
        for diagnostic in lint_model(model, options, config, tally):
            add(diagnostic, "models")
        formulas += tally.formulas
        broken += tally.unreadable
    report_tally = ModelTally()
    cache = ModelCache(options)
    for path, model_path in inputs.reports:
        config = configured(path)
        if config is None:
            continue
        for diagnostic in lint_report_path(path, model_path, options, config, report_tally, cache):
            add(diagnostic, "reports")
    status = max(status, fixes.status)
    if args.diff:
        writer.finish(fixes.summary(), successful=status < EXIT_USAGE)
        return max(status, EXIT_ERRORS if fixes.files else EXIT_OK)
    summaries = []
    if inputs.files or not (inputs.models or inputs.reports):
        summaries.append(f"linted {plural(len(inputs.files), 'file')}: {_tally(found['files'])}\n")
    if inputs.models:
        summary = f"linted {plural(formulas, 'formula')} in {plural(len(inputs.models), 'model')}: {_tally(found['models'])}"
        if broken:
            summary += f"; {plural(broken, 'model')} could not be read in full"
        summaries.append(summary + "\n")
    if inputs.reports:
        summaries.append(f"linted {plural(report_tally.formulas, 'formula')} in {plural(len(inputs.reports), 'report')}: "
                         f"{_tally(found['reports'])}\n")
    if fixes.wanted:
        summaries.append(fixes.summary())
    writer.finish("".join(summaries), successful=status < EXIT_USAGE)
    return status


def lint_report_path(path: str, model_path: str | None, options: CheckOptions, config: LintConfig,
                     tally: ModelTally, cache: ModelCache) -> Iterator[Diagnostic]:
    """The findings in the DAX of the report at `path`, its names looked up
    in the model at `model_path` (None: the one it names); what keeps it
    from being read."""
    from ..lint import lint_report

    try:
        report = load_report(path, max_file_size=options.max_file_size)
    except ReportError as error:
        yield problem(error.path, error.message)
        return
    if model_path is None and report.dataset is not None:
        model_path = report.dataset.model
    model = cache.get(model_path)[0] if model_path is not None else None
    yield from lint_report(report, model, options, config, tally)


class LintFixes:
    """What `lint --fix` (or `--diff`) does with each file: makes the fixes,
    then writes the file (standard input: to standard output) or prints
    the diff; counts what it did for the summary."""

    def __init__(self, args: argparse.Namespace, writer: Writer) -> None:
        self.wanted: bool = args.fix or args.diff
        self.diff: bool = args.diff
        self.unsafe: bool = args.unsafe_fixes
        self.writer = writer
        self.status = EXIT_OK
        self.fixes = 0
        self.files = 0

    def dax_file(self, path: str, options: CheckOptions, config: LintConfig, data: bytes | None) -> list[Diagnostic]:
        """Fixes one DAX file; returns the findings that remain (none with --diff)."""
        from ..lint.fixes import fix_dax_file

        result = fix_dax_file(path, options, config, data=data, unsafe=self.unsafe)
        self.done(result, standard_input=path == STDIN)
        return [] if self.diff else result.findings

    def model(self, path: str, options: CheckOptions, config: LintConfig) -> None:
        from ..lint.fixes import fix_model

        for result in fix_model(path, options, config, unsafe=self.unsafe):
            if not self.diff:
                # Linting the model again reports what keeps it from being read.
                result.problems = [problem for problem in result.problems if problem.kind not in ("read", "model")]
            self.done(result)

    def done(self, result: FixedFile, standard_input: bool = False) -> None:
        for problem in result.problems:
            self.writer.add(problem)
            self.status = max(self.status, EXIT_USAGE if problem.kind == "internal" else status_of(problem))
        if standard_input and not self.diff:
            if result.after is not None:
                write_out(result.encoded())  # in the input's encoding, after its byte-order mark
        if not result.changed:
            return
        if self.diff:
            write_out(result.diff())
        elif not standard_input:
            refused = result.write()
            if refused is not None:
                # Left as it is (changed meanwhile, read-only, ...): not fixed.
                write_err(f"{PROG}: {refused}\n")
                self.status = EXIT_USAGE
                return
        self.files += 1
        self.fixes += len(result.fixed)

    def summary(self) -> str:
        if self.diff:
            fixes = "1 fix" if self.fixes == 1 else f"{self.fixes} fixes"
            return f"{plural(self.files, 'file')} would be fixed ({fixes})\n"
        return f"fixed {plural(self.fixes, 'finding')} in {plural(self.files, 'file')}\n"


def _tally(severities: Counter[str]) -> str:
    """"3 findings (1 error, 2 warnings)", or "no findings"."""
    total = sum(severities.values())
    if not total:
        return "no findings"
    parts = [plural(severities[level], level) for level in ("error", "warning", "note") if severities[level]]
    return f"{plural(total, 'finding')} ({', '.join(parts)})"


def selectors(text: str) -> tuple[str, ...]:
    from ..lint import parse_selectors

    try:
        return parse_selectors(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def add_command(commands: Subcommands) -> None:
    lint = commands.add_parser(
        "lint",
        help="report what the lint rules find in each file or model formula",
        description="Lint each file and model formula: rules over the syntax tree find what parses but is likely "
        "wrong, slow or hard to read (quarrow-dax lint --explain CODE says what a rule finds and why). Paths are "
        "found as check finds them, and a text that does not parse is reported as check reports it. The "
        "configuration ([tool.quarrow-dax.lint] in pyproject.toml, or [lint] in quarrow-dax.toml) is the first "
        "found from each path's folder upward; a comment -- quarrow-dax: ignore[CODE] silences a rule on its line "
        "(alone on a line: on the next one too), -- quarrow-dax: ignore-formula[CODE] in the whole formula.",
    )
    lint.add_argument(
        "paths", nargs="*", metavar="PATH",
        help="a file, a model, a report (its DAX: report measures, visual calculations), a *.pbip project, a "
        "directory (the models, reports and *.dax files under it, recursively) or -",
    )
    lint.add_argument(
        "--as", dest="mode", choices=("query", "expr"), help="read every *.dax file as this (models: ignored)"
    )
    lint.add_argument(
        "--format", choices=tuple(FORMATS), default="text",
        help="as for check: text (default), gcc, json, github or sarif (its log lists the rule catalogue)",
    )
    lint.add_argument(
        "--select", type=selectors, metavar="RULES",
        help="run only these rules, in place of the configuration's select: codes (DAX101), code prefixes "
        "(DAX1), names (use-divide), categories (correctness, performance, maintainability, style) or ALL, "
        "separated by commas",
    )
    lint.add_argument(
        "--ignore", type=selectors, metavar="RULES",
        help="do not run these rules (added to the configuration's ignore), named as for --select",
    )
    lint.add_argument(
        "--config", metavar="FILE",
        help="take the configuration from FILE (a pyproject.toml or a quarrow-dax.toml) for every path, instead "
        "of finding it from each path's folder upward",
    )
    lint.add_argument("--explain", metavar="RULE", help="print what a rule (a code or a name) finds and why, and exit")
    lint.add_argument(
        "--fix", action="store_true",
        help="make the safe fixes that rules propose, in place (standard input: written to standard output, the "
        "report to standard error), then report what remains; only the fixed spans change, and each result is "
        "read again before it is written",
    )
    lint.add_argument(
        "--unsafe-fixes", action="store_true",
        help="with --fix or --diff, also make the fixes to review, which change what a formula returns in some "
        "cases (DIVIDE for `/`, ISBLANK for `= BLANK ()`, ...)",
    )
    lint.add_argument(
        "--diff", action="store_true",
        help="write nothing; print a unified diff of what --fix would change, and exit with status 1 if it "
        "would change anything",
    )
    add_report_option(lint)
    add_reading_options(lint)
    add_grammar_options(lint)
    lint.set_defaults(run=run)
