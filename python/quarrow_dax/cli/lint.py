"""`quarrow-dax lint`: what the lint rules find in each file and model
formula, as configured from each path's folder upward; `--fix` and `--diff`
make (or show) the fixes the rules propose; `--explain` describes a rule.

quarrow_dax.lint is imported only when the command runs, so that the other
commands start without loading the rules.
"""

from __future__ import annotations

import argparse
from collections import Counter
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING

from ..check import STDIN, CheckOptions, ModelPart, ModelTally
from ..inputs import collect_inputs
from ..config import ConfigError
from ..diagnostics import FORMATS, Diagnostic, Writer
from ..report import ReportError, load_report
from ..report._files import problem as report_problem
from ..report_check import ModelCache
from .common import (
    EXIT_ERRORS,
    EXIT_OK,
    EXIT_USAGE,
    PROG,
    Configurations,
    Subcommands,
    UsageError,
    add_config_options,
    add_grammar_options,
    add_output_options,
    add_reading_options,
    add_report_option,
    options_of,
    plural,
    read_standard_input,
    write_err,
    write_out,
)
from .output import Report, diff_text

if TYPE_CHECKING:
    from ..lint import LintConfig
    from ..lint.fixes import FixedFile


#: How severe a finding must be to fail the run, by --fail-on.
_RANK = {"note": 0, "warning": 1, "error": 2}


def judge(args: argparse.Namespace) -> Callable[[Diagnostic], int]:
    """The exit status a diagnostic calls for: 2 for input that cannot be
    used; 1 for any finding (a text that does not parse is one) at the
    severity of --fail-on or above, unless --exit-zero."""
    least = _RANK[args.fail_on]

    def status(diagnostic: Diagnostic) -> int:
        if diagnostic.kind in Writer.INPUT_KINDS or diagnostic.kind == "internal":
            return EXIT_USAGE if diagnostic.severity == "error" else EXIT_OK
        if args.exit_zero:
            return EXIT_OK
        return EXIT_ERRORS if _RANK[diagnostic.severity] >= least else EXIT_OK

    return status


def run(args: argparse.Namespace) -> int:
    """Lints the files and models; each is governed by the configuration
    found from its folder upward (or --config), with --select and --ignore
    on top."""
    if not args.paths and args.explain is None:
        raise UsageError("lint: give the paths to lint (or --explain RULE)")
    if args.unsafe_fixes and not (args.fix or args.diff):
        raise UsageError("lint: --unsafe-fixes goes with --fix or --diff")
    if args.statistics and (args.fix or args.diff):
        raise UsageError("lint: --statistics counts the findings; it does not go with --fix or --diff")
    from ..lint import CATALOGUE, find_rule, lint_file, lint_model

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
    # Fixed standard input goes to standard output, and the report beside it.
    fixed_out = args.fix and not args.diff and STDIN in paths
    report = Report(args, out=write_err if fixed_out else write_out, judge=judge(args))
    configs = Configurations(args, report.add)
    selection = configs.selection(args)
    inputs = collect_inputs(paths, args.report or (), selection)
    configs.walk_problems(selection)
    found = {"files": Counter[str](), "models": Counter[str](), "reports": Counter[str]()}
    fixes = LintFixes(args, report)

    def add(diagnostic: Diagnostic, group: str) -> None:
        report.add(diagnostic)
        if diagnostic.kind not in Writer.INPUT_KINDS:
            found[group][diagnostic.severity] += 1

    def configured(path: str) -> tuple[CheckOptions, LintConfig] | None:
        config = configs.for_path(path)
        if config is None:
            return None
        try:
            lint = config.lint
        except ConfigError as error:
            configs.problem(error)
            configs.skipped += 1
            return None
        return options_of(args, config), lint.overridden(args.select, args.ignore or ())

    for problem in inputs.problems:
        report.add(problem)
    linted = unreadable = 0
    for path in inputs.files:
        settings = configured(path)
        if settings is None:
            continue
        options, config = settings
        data = read_standard_input(options.max_file_size) if path == STDIN else None
        if fixes.wanted:
            diagnostics = fixes.dax_file(path, options, config, data)
            read = not fixes.unread
        else:
            diagnostics = lint_file(path, options, config, data)
            read = not any(diagnostic.kind == "read" for diagnostic in diagnostics)
        if not read:
            unreadable += 1
        else:
            linted += 1
        for diagnostic in diagnostics:
            add(diagnostic, "files")
    files_skipped = configs.skipped
    formulas = broken = models = 0
    for model in inputs.models:
        settings = configured(model)
        if settings is None:
            continue
        options, config = settings
        models += 1
        part = inputs.parts.get(model)
        if fixes.wanted:
            fixes.model(model, options, config, part)
            if args.diff:
                continue
        tally = ModelTally()
        for diagnostic in lint_model(model, options, config, tally, only=part):
            add(diagnostic, "models")
        formulas += tally.formulas
        broken += tally.unreadable
    reports_skipped = configs.skipped
    report_tally = ModelTally()
    caches: dict[CheckOptions, ModelCache] = {}
    linted_reports = 0
    for path, model_path in inputs.reports:
        settings = configured(path)
        if settings is None:
            continue
        options, config = settings
        linted_reports += 1
        cache = caches.setdefault(options, ModelCache(options))
        for diagnostic in lint_report_path(path, model_path, options, config, report_tally, cache):
            add(diagnostic, "reports")
    status = max(report.status, fixes.status)
    if args.diff:
        report.finish(fixes.summary(), successful=status < EXIT_USAGE)
        return max(status, EXIT_ERRORS if fixes.files and not args.exit_zero else EXIT_OK)
    summaries = []
    if inputs.files or not (inputs.models or inputs.reports):
        summary = f"linted {plural(linted, 'file')}: {_tally(found['files'])}"
        if unreadable:
            summary += f"; {plural(unreadable, 'file')} could not be read"
        summaries.append(summary + _not_linted(files_skipped, "file") + "\n")
    if inputs.models:
        summary = f"linted {plural(formulas, 'formula')} in {plural(models, 'model')}: {_tally(found['models'])}"
        if broken:
            summary += f"; {plural(broken, 'model')} could not be read in full"
        summaries.append(summary + _not_linted(reports_skipped - files_skipped, "model") + "\n")
    if inputs.reports:
        summaries.append(f"linted {plural(report_tally.formulas, 'formula')} in {plural(linted_reports, 'report')}: "
                         f"{_tally(found['reports'])}" + _not_linted(configs.skipped - reports_skipped, "report") + "\n")
    if fixes.wanted:
        summaries.append(fixes.summary())
        if args.show_fixes:
            summaries.append(fixes.enumeration())
    report.finish("".join(summaries), successful=status < EXIT_USAGE)
    return status


def _not_linted(skipped: int, noun: str) -> str:
    """What a summary says of the paths left out for their configuration."""
    if not skipped:
        return ""
    return f"; {plural(skipped, noun)} not linted: {'its' if skipped == 1 else 'their'} configuration cannot be used"


def lint_report_path(path: str, model_path: str | None, options: CheckOptions, config: LintConfig,
                     tally: ModelTally, cache: ModelCache) -> Iterator[Diagnostic]:
    """The findings in the DAX of the report at `path`, its names looked up
    in the model at `model_path` (None: the one it names); what keeps it
    from being read."""
    from ..lint import lint_report

    try:
        report = load_report(path, max_file_size=options.max_file_size)
    except ReportError as error:
        yield report_problem(error.path, error.message)
        return
    if model_path is None and report.dataset is not None:
        model_path = report.dataset.model
    model = cache.get(model_path)[0] if model_path is not None else None
    yield from lint_report(report, model, options, config, tally)


class LintFixes:
    """What `lint --fix` (or `--diff`) does with each file: makes the fixes,
    then writes the file (standard input: to standard output) or prints
    the diff; counts what it did for the summary, and what it fixed in each
    file for --show-fixes."""

    def __init__(self, args: argparse.Namespace, report: Report) -> None:
        self.args = args
        self.wanted: bool = args.fix or args.diff
        self.diff: bool = args.diff
        self.unsafe: bool = args.unsafe_fixes
        self.report = report
        self.status = EXIT_OK
        self.fixes = 0
        self.files = 0
        self.unwritten = 0
        self.fixed: dict[str, Counter[str]] = {}
        #: Whether the last DAX file could not be read (its problem is reported here).
        self.unread = False

    def dax_file(self, path: str, options: CheckOptions, config: LintConfig, data: bytes | None) -> list[Diagnostic]:
        """Fixes one DAX file; returns the findings that remain (none with --diff)."""
        from ..lint.fixes import fix_dax_file

        result = fix_dax_file(path, options, config, data=data, unsafe=self.unsafe)
        self.unread = any(problem.kind == "read" for problem in result.problems)
        if not self.done(result, standard_input=path == STDIN):
            # Not written: what remains is what the file on disk has.
            from ..lint import lint_file

            return [finding for finding in lint_file(path, options, config, data) if finding.kind != "read"]
        return [] if self.diff else result.findings

    def model(self, path: str, options: CheckOptions, config: LintConfig, only: list[str] | None = None) -> None:
        """Fixes the model's files (with `only`, those files of it)."""
        from ..lint.fixes import fix_model

        part = None if only is None else ModelPart(only)
        for result in fix_model(path, options, config, unsafe=self.unsafe):
            if part is not None:
                if not part.has(result.path):
                    continue
                result.path = part.path_of(result.path)
            if not self.diff:
                # Linting the model again reports what keeps it from being read.
                result.problems = [problem for problem in result.problems if problem.kind not in ("read", "model")]
            self.done(result)

    def done(self, result: FixedFile, standard_input: bool = False) -> bool:
        """Writes or shows what was fixed; False when the file could not be written."""
        for problem in result.problems:
            self.report.add(problem)
        if standard_input and not self.diff:
            if result.after is not None:
                write_out(result.encoded())  # in the input's encoding, after its byte-order mark
        if not result.changed:
            return True
        if self.diff:
            write_out(diff_text(result.diff(), self.args))
        elif not standard_input:
            refused = result.write()
            if refused is not None:
                # Left as it is (changed meanwhile, read-only, ...): not fixed.
                write_err(f"{PROG}: {refused}\n")
                self.status = EXIT_USAGE
                self.unwritten += 1
                return False
        self.files += 1
        self.fixes += len(result.fixed)
        self.fixed.setdefault(result.path, Counter()).update(result.fixed)
        return True

    def summary(self) -> str:
        if self.diff:
            fixes = "1 fix" if self.fixes == 1 else f"{self.fixes} fixes"
            return f"{plural(self.files, 'file')} would be fixed ({fixes})\n"
        unwritten = f"; {plural(self.unwritten, 'file')} could not be written" if self.unwritten else ""
        return f"fixed {plural(self.fixes, 'finding')} in {plural(self.files, 'file')}{unwritten}\n"

    def enumeration(self) -> str:
        """What was fixed, file by file and code by code, as ruff's
        --show-fixes lists it."""
        from ..lint import CATALOGUE

        lines = []
        for path, codes in self.fixed.items():
            lines.append(f"- {path}:\n")
            for code, count in sorted(codes.items(), key=lambda item: (-item[1], item[0])):
                name = CATALOGUE[code].name if code in CATALOGUE else code
                lines.append(f"    {count} \u00d7 {code} ({name})\n")
        return "".join(lines)


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
        "would change anything (as format --diff does)",
    )
    lint.add_argument(
        "--exit-zero", action="store_true",
        help="exit with status 0 even when findings remain (2 still means input or configuration that cannot be "
        "used)",
    )
    lint.add_argument(
        "--fail-on", choices=("error", "warning", "note"), default="note",
        help="exit with status 1 only for findings at this severity or above: error, warning or note (the default: "
        "any finding)",
    )
    lint.add_argument(
        "--show-fixes", action="store_true",
        help="say what each finding's fix would write; with --fix, list what was fixed in each file",
    )
    add_report_option(lint)
    add_reading_options(lint)
    add_grammar_options(lint)
    add_config_options(lint)
    add_output_options(lint)
    lint.set_defaults(run=run)
