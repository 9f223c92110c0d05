"""The command line `quarrow-dax` (also `python -m quarrow_dax`).

    quarrow-dax lex FILE...     print the tokens of each file as JSON
    quarrow-dax expr FILE...    print the syntax tree of each file's expression
    quarrow-dax query FILE...   print the syntax tree of each file's query
    quarrow-dax check PATH...   report the first error of each file or formula
    quarrow-dax lint PATH...    report what the lint rules find in each file or formula
    quarrow-dax deps MODEL [OBJECT]   what a model object uses or what uses it
    quarrow-dax format PATH...  format files and the formulas of models in place

FILE may be - for standard input. Files are read as UTF-8 unless a
byte-order mark says UTF-16 or UTF-32 (or --encoding names another
encoding); the mark is dropped, so byte spans count from the character
after it.

`check` also takes tabular models: a *.bim file, a TMDL folder or a folder
holding one, and finds the models under any folder it searches. Every DAX
formula of a model is parsed as its kind requires, and the names it uses are
looked up in the model (graph.py and resolution.py hold how). The checking itself lives
in check.py and the output formats in diagnostics.py; this module parses the
command line and writes.

`lint` runs the rules of quarrow_dax.lint over the same inputs, as
configured from each path's folder upward; `lint --fix` makes the fixes
they propose (quarrow_dax.lint.fixes) and writes the files back.

Exit status: 0 when everything parsed, 1 when some file or formula has a
lexical or syntax error (lint: a finding at error severity), 2 for a bad
command line, a path that cannot be read or holds nothing to check, a model
that cannot be read (malformed JSON or TMDL) or a lint configuration that
cannot be used; the other files and models are still processed. 141 when the reader
of standard output went away (`| head`), as for a command that SIGPIPE ends.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import json
import os
import re
import sys
import time
from collections import Counter
from collections.abc import Callable, Generator, Sequence
from typing import IO, Any, NoReturn, TextIO

from . import __version__
from ._native import lex, parse_expression, parse_query
from .check import (
    STDIN,
    CheckOptions,
    ModelTally,
    check_files,
    check_model,
    collect_inputs,
    display_path,
    is_query,
    object_name,
    model_problem,
    read_problem,
)
from .diagnostics import FORMATS, Diagnostic, Writer, object_phrase, writer_for
from .graph import DependencyGraph, Edge, find_objects, to_dot, to_mermaid
from .formatter import DEFAULT_WIDTH, FormatOptions
from .formatter.files import FileResult, format_dax_file, format_model
from .model import ModelError, ModelObject, ModelWarning, load_model, read_model
from .sources import MAX_FILE_SIZE, SourceError, decode_text, read_bytes

PROG = "quarrow-dax"

COMMANDS: dict[str, tuple[Callable[[str], str], str]] = {
    "lex": (lex, "print the tokens of each FILE"),
    "expr": (parse_expression, "print the syntax tree of the one expression in each FILE"),
    "query": (parse_query, "print the syntax tree of the query in each FILE"),
}

EXIT_OK, EXIT_ERRORS, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_BROKEN_PIPE = 0, 1, 2, 130, 141

#: The largest output --indent writes unless the user allows more: a long
#: left-deep chain indents every level deeper, so its indented text grows
#: with the square of its depth and can dwarf any disk.
MAX_OUTPUT = 1 << 30
# Output is written in pieces of about this many characters, so that memory
# stays bounded however large the output is.
_WRITE_BATCH = 1 << 20


class OutputError(Exception):
    """Standard output cannot be written (closed, or a full disk)."""


# --- writing ------------------------------------------------------------------


def _encode(text: str) -> bytes:
    # Bytes, so that non-ASCII names survive whatever encoding stdout has;
    # surrogateescape gives back the bytes of undecodable file names.
    try:
        return text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace")


def write_out(text: str) -> None:
    stream: TextIO | None = sys.stdout
    if stream is None:
        raise OutputError("standard output is closed")
    try:
        stream.buffer.write(_encode(text))
        stream.flush()
    except BrokenPipeError:
        raise
    except (OSError, ValueError) as error:
        raise OutputError(getattr(error, "strerror", None) or str(error)) from None


def write_err(text: str) -> None:
    stream: TextIO | None = sys.stderr
    if stream is None:
        return  # nowhere to say it; the exit status still does
    try:
        stream.buffer.write(_encode(text))
        stream.flush()
    except (OSError, ValueError):
        pass


_PIECE = re.compile(r'"(?:[^"\\]|\\.)*"|[^"{}\[\],:]+|.', re.DOTALL)


def reindent(text: str, indent: int) -> Generator[str, None, None]:
    """Pieces of compact JSON `text` laid out as json.dumps(..., indent=indent)
    lays out the same value. One pass over the text with a depth counter
    instead of loading it: a syntax tree may nest deeper than a recursive
    encoder can go."""
    unit = " " * indent
    depth = 0
    just_opened = False  # the previous piece opened a container
    for match in _PIECE.finditer(text):
        piece = match.group()
        if just_opened:
            just_opened = False
            if piece == "}" or piece == "]":
                yield piece  # an empty container stays on one line
                continue
            depth += 1
            yield "\n" + unit * depth
        if piece == "{" or piece == "[":
            yield piece
            just_opened = True
        elif piece == "}" or piece == "]":
            depth -= 1
            yield "\n" + unit * depth + piece
        elif piece == ",":
            yield ",\n" + unit * depth
        elif piece == ":":
            yield ": "
        else:
            yield piece


def reindented_size(text: str, indent: int) -> int:
    """The length of "".join(reindent(text, indent)), counted without making
    the pieces: the check that refuses a huge output costs one pass."""
    size = len(text)
    depth = 0
    just_opened = False
    for match in _PIECE.finditer(text):
        piece = match.group()
        if just_opened:
            just_opened = False
            if piece == "}" or piece == "]":
                continue
            depth += 1
            size += 1 + indent * depth
        if piece == "{" or piece == "[":
            just_opened = True
        elif piece == "}" or piece == "]":
            depth -= 1
            size += 1 + indent * depth
        elif piece == ",":
            size += 1 + indent * depth
        elif piece == ":":
            size += 1
    return size


def write_json(text: str, indent: int | None) -> None:
    """Writes one JSON document and a line feed, re-indented when asked, in
    batches of bounded size."""
    if indent is None:
        write_out(text + "\n")
        return
    batch: list[str] = []
    size = 0
    for piece in reindent(text, indent):
        batch.append(piece)
        size += len(piece)
        if size >= _WRITE_BATCH:
            write_out("".join(batch))
            batch.clear()
            size = 0
    batch.append("\n")
    write_out("".join(batch))


# --- lex, expr, query ---------------------------------------------------------


def read_input(path: str, options: CheckOptions) -> str:
    """The text of a file or of standard input; raises SourceError."""
    name = display_path(path)
    if path == STDIN:
        limit = options.max_file_size
        data = sys.stdin.buffer.read(limit + 1 if limit else -1) if sys.stdin is not None else b""
        if limit and len(data) > limit:
            raise SourceError(name, f"standard input has more than the limit of {limit:,} bytes")
    else:
        data = read_bytes(path, options.max_file_size)
    return decode_text(data, name, options.encoding)


def run_print(args: argparse.Namespace) -> int:
    function = COMMANDS[args.command][0]
    files: list[str] = args.files
    single = len(files) == 1
    options = CheckOptions(encoding=args.encoding, max_file_size=args.max_file_size)
    status = EXIT_OK
    for path in files:
        name = display_path(path)
        try:
            source = read_input(path, options)
        except SourceError as error:
            write_err(f"{PROG}: cannot read {name}: {error.message}\n")
            status = EXIT_USAGE
            continue
        try:
            result = function(source)
        except ValueError as error:
            # Located, as check reports it; the JSON on standard output stays as it is.
            write_err(Diagnostic.from_error(error, source).header(name) + "\n")
            status = max(status, EXIT_ERRORS)
            continue
        if not single:
            # Built as text: the result may nest too deeply for json.loads.
            result = '{"path":' + json.dumps(name, ensure_ascii=False) + ',"result":' + result + "}"
        if args.indent is not None and args.max_output:
            size = reindented_size(result, args.indent)
            if size > args.max_output:
                write_err(
                    f"{PROG}: {name}: the indented output would take {size:,} characters, more than the limit of"
                    f" {args.max_output:,}; raise it with --max-output, or leave out --indent\n"
                )
                status = EXIT_USAGE
                continue
        write_json(result, args.indent)
    return status


# --- check --------------------------------------------------------------------

class Progress:
    """A progress bar on standard error, drawn only when it is a terminal and
    the work has lasted a second; a short run stays silent."""

    DELAY = 1.0
    INTERVAL = 0.1

    def __init__(self, total: int, stream: TextIO | None, enabled: bool) -> None:
        self.total = total
        self.stream = stream
        self.enabled = enabled and stream is not None and stream.isatty()
        self.started = time.monotonic()
        self.drawn_at = 0.0
        self.visible = False

    def update(self, done: int) -> None:
        if not self.enabled or self.stream is None:
            return
        now = time.monotonic()
        if now - self.started < self.DELAY or now - self.drawn_at < self.INTERVAL:
            return
        self.drawn_at = now
        width = 30
        filled = width * done // max(1, self.total)
        self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{self.total} files")
        self.stream.flush()
        self.visible = True

    def clear(self) -> None:
        if self.visible and self.stream is not None:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.visible = False


def status_of(diagnostic: Diagnostic) -> int:
    """The exit status a diagnostic calls for."""
    if diagnostic.severity != "error":
        return EXIT_OK
    return EXIT_USAGE if diagnostic.kind in Writer.INPUT_KINDS else EXIT_ERRORS


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}" + ("" if count == 1 else "s")


def options_of(args: argparse.Namespace) -> CheckOptions:
    return CheckOptions(
        mode=args.mode, encoding=args.encoding, max_file_size=args.max_file_size,
        grammar="standard" if args.strict else "engine", separators=args.separators,
        resolve=not getattr(args, "no_resolve", False),
    )


def check_dax_files(args: argparse.Namespace, files: list[str], writer: Writer) -> tuple[int, int, int]:
    """Checks the DAX files and writes their diagnostics; returns the exit
    status, how many files were checked and how many of those failed."""
    options = options_of(args)
    tasks: list[tuple[str, bytes | None]] = []
    for path in files:
        data = None
        if path == STDIN:
            limit = options.max_file_size
            data = sys.stdin.buffer.read(limit + 1 if limit else -1) if sys.stdin is not None else b""
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
    count = failed = broken = 0
    for model in models:
        tally = ModelTally()
        for diagnostic in check_model(model, options, tally):
            writer.add(diagnostic)
            status = max(status, status_of(diagnostic))
        count += tally.formulas
        failed += tally.failed
        broken += tally.unreadable
    summary = f"checked {plural(count, 'formula')} in {plural(len(models), 'model')}: {failed} with errors"
    if broken:
        summary += f"; {plural(broken, 'model')} could not be read in full"
    return status, summary + "\n"


def run_check(args: argparse.Namespace) -> int:
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


# --- lint ---------------------------------------------------------------------


def run_lint(args: argparse.Namespace) -> int:
    """Lints the files and models; each is governed by the configuration
    found from its folder upward (or --config), with --select and --ignore
    on top."""
    from .lint import CATALOGUE, ConfigError, ConfigFinder, LintConfig, find_rule, lint_file, lint_model

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
    inputs = collect_inputs(paths)
    # Fixed standard input goes to standard output, and the report beside it.
    fixed_out = args.fix and not args.diff and STDIN in inputs.files
    writer = writer_for(args.format, write_err if fixed_out else write_out, write_err, PROG, __version__)
    options = options_of(args)
    finder = ConfigFinder(args.config)
    reported: set[str] = set()
    status = EXIT_OK
    found = {"files": Counter[str](), "models": Counter[str]()}
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
        data = None
        if path == STDIN:
            limit = options.max_file_size
            data = sys.stdin.buffer.read(limit + 1 if limit else -1) if sys.stdin is not None else b""
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
    status = max(status, fixes.status)
    if args.diff:
        writer.finish(fixes.summary(), successful=status < EXIT_USAGE)
        return max(status, EXIT_ERRORS if fixes.files else EXIT_OK)
    summaries = []
    if inputs.files or not inputs.models:
        summaries.append(f"linted {plural(len(inputs.files), 'file')}: {_tally(found['files'])}\n")
    if inputs.models:
        summary = f"linted {plural(formulas, 'formula')} in {plural(len(inputs.models), 'model')}: {_tally(found['models'])}"
        if broken:
            summary += f"; {plural(broken, 'model')} could not be read in full"
        summaries.append(summary + "\n")
    if fixes.wanted:
        summaries.append(fixes.summary())
    writer.finish("".join(summaries), successful=status < EXIT_USAGE)
    return status


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

    def dax_file(self, path: str, options: CheckOptions, config: Any, data: bytes | None) -> list[Diagnostic]:
        """Fixes one DAX file; returns the findings that remain (none with --diff)."""
        from .lint.fixes import fix_dax_file

        result = fix_dax_file(path, options, config, data=data, unsafe=self.unsafe)
        self.done(result, standard_input=path == STDIN)
        return [] if self.diff else result.findings

    def model(self, path: str, options: CheckOptions, config: Any) -> None:
        from .lint.fixes import fix_model

        for result in fix_model(path, options, config, unsafe=self.unsafe):
            if not self.diff:
                # Linting the model again reports what keeps it from being read.
                result.problems = [problem for problem in result.problems if problem.kind not in ("read", "model")]
            self.done(result)

    def done(self, result: Any, standard_input: bool = False) -> None:
        for problem in result.problems:
            self.writer.add(problem)
            self.status = max(self.status, EXIT_USAGE if problem.kind == "internal" else status_of(problem))
        if standard_input and not self.diff:
            if result.after is not None:
                write_out(result.after)
        if not result.changed:
            return
        self.files += 1
        self.fixes += len(result.fixed)
        if self.diff:
            write_out(result.diff())
        elif not standard_input:
            try:
                result.write()
            except OSError as error:
                write_err(f"{PROG}: cannot write {result.path}: {error.strerror or error}\n")
                self.status = EXIT_USAGE

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
    from .lint import parse_selectors

    try:
        return parse_selectors(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


# --- deps -----------------------------------------------------------------------


def run_deps(args: argparse.Namespace) -> int:
    """Reads one model and writes what `deps` was asked."""
    if args.model.lower().endswith(".tmdl"):
        write_err(f"{PROG}: deps: {args.model}: one .tmdl file is only a part of a model; give its definition "
                  "folder\n")
        return EXIT_USAGE
    errors: list[ModelError] = []
    warnings: list[ModelWarning] = []
    model = load_model(args.model, errors, warnings, max_file_size=args.max_file_size)
    problems: list[ModelError | ModelWarning] = [*errors, *warnings]
    for problem in problems:
        write_err(model_problem(problem).render() + "\n")
    if errors:
        write_err(f"{PROG}: deps: the model could not be read in full, so its dependencies would be incomplete\n")
        return EXIT_USAGE
    graph = DependencyGraph.build(model, grammar="standard" if args.strict else "engine", separators=args.separators)
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
        summary = (f"{plural(len(listed), 'object')} that no formula, relationship, hierarchy or sort-by column "
                   "refers to; a report may still use them\n")
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


def _json_line(record: dict[str, Any]) -> str:
    return json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n"


# --- format -------------------------------------------------------------------


def format_options(args: argparse.Namespace) -> FormatOptions:
    return FormatOptions(width=args.width, indent=args.indent_width, space_before_paren=not args.no_space_before_paren,
                         separators=args.separators, grammar="standard" if args.strict else "engine")


def run_format(args: argparse.Namespace) -> int:
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
        data = None
        if path == STDIN:
            data = sys.stdin.buffer.read() if sys.stdin is not None else b""
        result = format_dax_file(path, options, mode=args.mode, encoding=args.encoding,
                                 max_file_size=args.max_file_size, data=data)
        if path == STDIN:
            status = max(status, report_format_problems(result))
            if not result.failed:
                if args.diff:
                    write_out(result.diff())
                elif not args.check:
                    write_out(result.after or "")
                if args.check and result.changed:
                    status = max(status, EXIT_ERRORS)
            continue
        results.append(result)
    for model in inputs.models:
        results.extend(format_model(model, options, max_file_size=args.max_file_size))
    changed = unchanged = failed = 0
    for result in results:
        status = max(status, report_format_problems(result))
        if result.failed:
            failed += 1
        elif not result.changed:
            unchanged += 1
            continue
        else:
            changed += 1
            if args.check:
                write_out(result.path + "\n")
                status = max(status, EXIT_ERRORS)
            if args.diff:
                write_out(result.diff())
            if not (args.check or args.diff):
                try:
                    result.write()
                except OSError as error:
                    write_err(f"{PROG}: cannot write {result.path}: {error.strerror or error}\n")
                    status = EXIT_USAGE
    if results:
        verb = "would be formatted" if args.check or args.diff else "formatted"
        summary = f"{plural(changed, 'file')} {verb}, {unchanged} unchanged"
        if failed:
            summary += f", {failed} could not be formatted"
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


# --- the command line ---------------------------------------------------------


def non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {value}")
    return value


def positive(text: str) -> int:
    value = non_negative(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


_SIZE = re.compile(r"(\d+)\s*([kKmMgG]?)[bB]?")


def byte_size(text: str) -> int:
    """A size in bytes: 1000, 64K, 256M, 2G (powers of 1024); 0 for no limit."""
    match = _SIZE.fullmatch(text.strip())
    if match is None:
        raise argparse.ArgumentTypeError(f"not a size such as 1000, 64K, 256M or 2G: {text!r}")
    return int(match.group(1)) * {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30}[match.group(2).lower()]


def encoding_name(text: str) -> str:
    try:
        return codecs.lookup(text).name
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding: {text!r}") from None


class ArgumentParser(argparse.ArgumentParser):
    """argparse, with a word for a path that starts with `-`: argparse takes
    it for an option and otherwise reports a missing argument."""

    argv: Sequence[str] = ()

    def error(self, message: str) -> NoReturn:
        for argument in self.argv:
            if argument.startswith("-") and argument not in ("-", "--") and not argument.startswith("--") and (
                os.path.exists(argument) or argument.lower().endswith((".dax", ".bim", ".tmdl"))
            ):
                message += (f"\n{PROG}: {argument!r} is read as an option; for a path that starts with '-',"
                            f" write ./{argument} or put -- before the paths")
                break
        super().error(message)


def add_reading_options(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--encoding", type=encoding_name, metavar="NAME",
        help="the encoding of DAX files without a byte-order mark (default UTF-8), such as cp1252 or latin-1; "
        "a UTF-8, UTF-16 or UTF-32 byte-order mark always wins",
    )
    command.add_argument(
        "--max-file-size", type=byte_size, default=MAX_FILE_SIZE, metavar="SIZE",
        help=f"refuse files larger than SIZE (such as 64M or 2G; 0: no limit; default {MAX_FILE_SIZE >> 20}M)",
    )


def add_grammar_options(command: argparse.ArgumentParser, verb: str = "check against") -> None:
    command.add_argument(
        "--strict", action="store_true",
        help=f"{verb} the standard grammar, exactly what quarrow_dax.parse_expression accepts; by default "
        "the engine grammar also accepts what the DAX engine documents beyond it (omitted arguments, dt\"...\" "
        "literals, parameter defaults, ( a, b ) IN ..., ROWS COLUMNS, WITH VISUAL SHAPE, /// comments)",
    )
    command.add_argument(
        "--separators", choices=("comma", "semicolon"), default="comma",
        help="comma: arguments separated by commas, decimal point (default); semicolon: the convention of "
        "locales that write 1,5: arguments separated by semicolons",
    )


def build_parser() -> argparse.ArgumentParser:
    parser = ArgumentParser(
        prog=PROG,
        description="Lex, parse, check or format DAX source text.",
        epilog="Exit status: 0 when all input parses, 1 when some file or formula has an error, "
        "2 for a bad command line, a path that cannot be read or a malformed model.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, (_, help_text) in COMMANDS.items():
        command = commands.add_parser(name, help=help_text, description=help_text.capitalize() + ".")
        command.add_argument(
            "files", nargs="+", metavar="FILE", help="DAX source, or - for standard input"
        )
        command.add_argument(
            "--indent",
            type=non_negative,
            metavar="N",
            help="pretty-print with N spaces per level; with several files, each result "
            'is wrapped as {"path": ..., "result": ...}, one per line without --indent',
        )
        command.add_argument(
            "--max-output", type=byte_size, default=MAX_OUTPUT, metavar="SIZE",
            help="with --indent, refuse (exit status 2) an output larger than SIZE characters, such as 512M or "
            f"4G; 0: no limit (default {MAX_OUTPUT >> 30}G). A long operator chain indents every level deeper, "
            "so its indented text grows with the square of its length",
        )
        add_reading_options(command)
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
        help="a file, a model, a directory (the models and the *.dax files outside model folders under it, "
        "recursively) or -",
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
    add_reading_options(lint)
    add_grammar_options(lint)
    add_deps_command(commands)
    add_format_command(commands)
    return parser


def add_deps_command(commands: Any) -> None:
    deps = commands.add_parser(
        "deps",
        help="list what a model object uses or what uses it, unused objects or circular uses",
        description="Read one model and answer from its dependency graph: with OBJECT, what it uses "
        "(--upstream, the default) or what uses it (--downstream), directly or with --deep through any "
        "number of steps; --unused, the tables, columns, measures, hierarchies and functions that nothing "
        "in the model refers to; --cycles, one circular use per line; with none of these, every "
        "dependency as `user -> used`. Objects are named as DAX names them: 'Sales'[Margin %], [Margin %], "
        "'Date', PercentOfTotal, role 'Readers'.",
        epilog="Exit status: 0 when answered (--cycles: 1 when there is a cycle), 2 for a bad command line, an "
        "object the model does not have, or a model that cannot be read in full.",
    )
    deps.add_argument("model", metavar="MODEL", help="a *.bim file, a TMDL folder or a folder holding one")
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
    add_reading_options(deps)
    add_grammar_options(deps)


def add_format_command(commands: Any) -> None:
    command = commands.add_parser(
        "format",
        help="format DAX files and the formulas of models in place",
        description="Lay out each file, and each DAX formula of each model, in the style of the public DAX "
        "formatting conventions, keeping every comment; files are rewritten in place, each only when all of it "
        "formatted and reads back to the same syntax trees.",
        epilog="Exit status: 0 when everything formatted (or, with --check, was formatted already), 1 when --check "
        "finds files to format or some file or formula has a syntax error, 2 for a bad command line, a path that "
        "cannot be read, or an internal error of the formatter.",
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


def _silence_stdout() -> None:
    """Points standard output at the null device, so that the flush at exit
    does not raise a second error."""
    stream: IO[str] | None = sys.stdout
    if stream is None:
        return
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stream.fileno())
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    ArgumentParser.argv = arguments
    parser = build_parser()
    args: Any = parser.parse_args(arguments)
    if args.command == "check" and args.list and args.format not in ("text", "json"):
        parser.error("check --list writes text or json only")
    if args.command == "lint" and not args.paths and args.explain is None:
        parser.error("lint: give the paths to lint (or --explain RULE)")
    if args.command == "lint" and args.unsafe_fixes and not (args.fix or args.diff):
        parser.error("lint: --unsafe-fixes goes with --fix or --diff")
    if args.command == "deps" and args.object is not None and (args.unused or args.cycles):
        parser.error("deps: OBJECT goes with --upstream or --downstream, not with --unused or --cycles")
    if args.command == "deps" and args.object is None and (args.upstream or args.downstream or args.deep):
        parser.error("deps: --upstream, --downstream and --deep need an OBJECT")
    try:
        if args.command == "check":
            return run_check(args)
        if args.command == "lint":
            return run_lint(args)
        if args.command == "deps":
            return run_deps(args)
        if args.command == "format":
            return run_format(args)
        return run_print(args)
    except BrokenPipeError:
        # The reader went away (`| head`): stop without a traceback.
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except OutputError as error:
        _silence_stdout()
        write_err(f"{PROG}: cannot write the output: {error}\n")
        return EXIT_USAGE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED

