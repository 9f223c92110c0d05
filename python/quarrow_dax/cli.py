"""The command line `quarrow-dax` (also `python -m quarrow_dax`).

    quarrow-dax lex FILE...     print the tokens of each file as JSON
    quarrow-dax expr FILE...    print the syntax tree of each file's expression
    quarrow-dax query FILE...   print the syntax tree of each file's query
    quarrow-dax check PATH...   report the first error of each file or formula

FILE may be - for standard input. Files are read as UTF-8; a leading
byte-order mark is dropped, so byte spans count from the character after it.

`check` also takes tabular models: a *.bim file, a TMDL folder or a folder
holding one, and finds the models under any folder it searches. Every DAX
formula of a model is parsed as its kind requires (model.parse_formula).

Exit status: 0 when everything parsed, 1 when some file or formula has a
lexical or syntax error, 2 for a bad command line, a file that cannot be read
(missing, unreadable, not UTF-8) or a model that cannot be read (malformed
JSON or TMDL); the other files and models are still processed.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import json
import os
import re
import sys
import time
from collections.abc import Callable, Generator, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import IO, TextIO

from ._native import lex, parse_expression, parse_query
from .diagnostics import Diagnostic, split_error
from .model import Formula, ModelError, find_models, parse_formula, read_model

PROG = "quarrow-dax"
STDIN = "-"
STDIN_NAME = "<stdin>"

COMMANDS: dict[str, tuple[Callable[[str], str], str]] = {
    "lex": (lex, "print the tokens of each FILE"),
    "expr": (parse_expression, "print the syntax tree of the one expression in each FILE"),
    "query": (parse_query, "print the syntax tree of the query in each FILE"),
}

EXIT_OK, EXIT_ERRORS, EXIT_USAGE = 0, 1, 2


class ReadError(Exception):
    """A file that cannot be read as UTF-8 text; the text says why."""


# --- reading ------------------------------------------------------------------


def decode_source(data: bytes) -> str:
    """The text of a file's bytes: UTF-8 without a leading byte-order mark.
    Raises ReadError naming the position of the first invalid byte."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        before = data[: error.start]
        line = before.count(b"\n") + 1
        column = len(before[before.rfind(b"\n") + 1 :].decode("utf-8")) + 1
        byte = data[error.start]
        raise ReadError(
            f"not valid UTF-8: {error.reason} 0x{byte:02x} at line {line}, column {column}"
            f" (byte {error.start})"
        ) from None
    return text[1:] if text.startswith("\ufeff") else text


def read_source(path: str) -> str:
    """The text of the file at `path`, or of standard input for "-"."""
    try:
        if path == STDIN:
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as f:
                data = f.read()
    except OSError as error:
        raise ReadError(error.strerror or str(error)) from None
    return decode_source(data)


def display_path(path: str) -> str:
    return STDIN_NAME if path == STDIN else path


MODEL_SUFFIXES = (".bim", ".tmdl")


def dax_files(directory: str, skip: set[str]) -> list[str]:
    """The `*.dax` files under `directory`, sorted so that every run reports
    in the same order, leaving out the folders in `skip` (normalised paths)."""
    found: list[str] = []
    if os.path.normpath(directory) in skip:
        return found
    for folder, subfolders, names in os.walk(directory):
        subfolders[:] = sorted(
            name for name in subfolders if os.path.normpath(os.path.join(folder, name)) not in skip
        )
        found.extend(os.path.join(folder, name) for name in sorted(names) if name.lower().endswith(".dax"))
    return found


def collect_inputs(paths: Iterable[str]) -> tuple[list[str], list[str]]:
    """The DAX files and the models to check. A directory gives the models
    that find_models finds under it and the `*.dax` files outside the TMDL
    folders among them (a .dax file in a model folder is no part of the
    model, and reporting it beside the model would count it twice). An
    existing *.bim or *.tmdl file is a model; any other path given is a DAX
    file whatever its name, and one that does not exist is kept: reading it
    reports the error."""
    files: list[str] = []
    models: list[str] = []
    for path in paths:
        if path != STDIN and os.path.isdir(path):
            found = [str(model) for model in find_models(path)]
            models.extend(found)
            files.extend(dax_files(path, {os.path.normpath(model) for model in found}))
        elif path != STDIN and os.path.isfile(path) and path.lower().endswith(MODEL_SUFFIXES):
            models.append(path)
        else:
            files.append(path)
    return files, models


# --- writing ------------------------------------------------------------------


def write_out(text: str) -> None:
    # Bytes, so that non-ASCII names survive whatever encoding stdout has.
    sys.stdout.buffer.write(text.encode("utf-8", "surrogateescape"))
    sys.stdout.flush()


def write_err(text: str) -> None:
    sys.stderr.buffer.write(text.encode("utf-8", "surrogateescape"))
    sys.stderr.flush()


_PIECE = re.compile(r'"(?:[^"\\]|\\.)*"|[^"{}\[\],:]+|.', re.DOTALL)


def reindent(text: str, indent: int) -> Iterator[str]:
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


def write_json(text: str, indent: int | None) -> None:
    """Writes one JSON document and a line feed, re-indented when asked."""
    if indent is None:
        write_out(text + "\n")
        return
    batch: list[str] = []
    for piece in reindent(text, indent):
        batch.append(piece)
        if len(batch) >= 65536:
            write_out("".join(batch))
            batch.clear()
    batch.append("\n")
    write_out("".join(batch))


# --- lex, expr, query ---------------------------------------------------------


def run_print(args: argparse.Namespace) -> int:
    function = COMMANDS[args.command][0]
    files: list[str] = args.files
    single = len(files) == 1
    status = EXIT_OK
    for path in files:
        name = display_path(path)
        try:
            source = read_source(path)
        except ReadError as error:
            write_err(f"{PROG}: cannot read {name}: {error}\n")
            status = EXIT_USAGE
            continue
        try:
            result = function(source)
        except ValueError as error:
            if single:
                write_err(f"{error}\n")
            else:
                write_err(Diagnostic.from_error(error, source).header(name) + "\n")
            status = max(status, EXIT_ERRORS)
            continue
        if not single:
            # Built as text: the result may nest too deeply for json.loads.
            result = '{"path":' + json.dumps(name, ensure_ascii=False) + ',"result":' + result + "}"
        write_json(result, args.indent)
    return status


# --- check --------------------------------------------------------------------


def first_word(source: str) -> str | None:
    """The identifier that begins `source` after comments and doc comments,
    or None when it begins with anything else. Lexes a growing prefix, so
    that a large file is not lexed whole just to read its first word: a
    token is trusted once another one follows it inside the prefix, and a cut
    that leaves a string or a comment open makes the prefix grow."""
    size = 4096
    while True:
        whole = size >= len(source)
        try:
            tokens = json.loads(lex(source if whole else source[:size]))
        except ValueError as error:
            if not whole:
                size *= 16
                continue
            # The text has a lexical error: the tokens before it decide.
            try:
                start = split_error(str(error))[2]
                tokens = json.loads(lex(source.encode("utf-8")[:start].decode("utf-8", "ignore")))
            except ValueError:
                return None
            whole = True
        for index, token in enumerate(tokens):
            kind = token["kind"]
            if isinstance(kind, dict) and "DocComment" in kind:
                continue
            if not whole and (kind == "Eof" or tokens[index + 1]["kind"] == "Eof"):
                break  # only comments so far, or a token the cut may shorten
            word = kind.get("Ident") if isinstance(kind, dict) else None
            return word if isinstance(word, str) else None
        else:
            return None
        size *= 16


def is_query(source: str) -> bool:
    """Whether `source` reads as a query: it begins with DEFINE or EVALUATE."""
    word = first_word(source)
    return word is not None and word.upper() in ("DEFINE", "EVALUATE")


@dataclass(frozen=True)
class Report:
    """The outcome of checking one file: at most one of the two is set."""

    path: str
    diagnostic: Diagnostic | None = None
    read_error: str | None = None


def check_source(name: str, source: str, mode: str | None) -> Report:
    query = is_query(source) if mode is None else mode == "query"
    try:
        (parse_query if query else parse_expression)(source)
    except ValueError as error:
        return Report(name, diagnostic=Diagnostic.from_error(error, source))
    return Report(name)


def check_task(task: tuple[str, str | None, str | None]) -> Report:
    """Checks one file; runs in a worker process under --jobs. `task` is the
    path, the text when it is already read (standard input), and the mode."""
    path, source, mode = task
    name = display_path(path)
    if source is None:
        try:
            source = read_source(path)
        except ReadError as error:
            return Report(name, read_error=str(error))
    return check_source(name, source, mode)


class Progress:
    """A progress bar on standard error, drawn only when it is a terminal and
    the work has lasted a second; a short run stays silent."""

    DELAY = 1.0
    INTERVAL = 0.1

    def __init__(self, total: int, stream: TextIO, enabled: bool) -> None:
        self.total = total
        self.stream = stream
        self.enabled = enabled and stream.isatty()
        self.started = time.monotonic()
        self.drawn_at = 0.0
        self.visible = False

    def update(self, done: int) -> None:
        if not self.enabled:
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
        if self.visible:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.visible = False


def check_reports(
    tasks: Sequence[tuple[str, str | None, str | None]], jobs: int
) -> Generator[Report, None, None]:
    """The reports of the tasks, in their order, from `jobs` processes."""
    if jobs <= 1 or len(tasks) <= 1:
        yield from map(check_task, tasks)
        return
    with concurrent.futures.ProcessPoolExecutor(max_workers=jobs) as executor:
        try:
            # Several files per message between processes, but small enough
            # batches that every process stays busy to the end.
            chunk = max(1, min(32, len(tasks) // (jobs * 8)))
            yield from executor.map(check_task, tasks, chunksize=chunk)
        finally:
            # Stopped early (broken pipe, interrupt): drop the files not begun.
            executor.shutdown(wait=True, cancel_futures=True)


def check_files(args: argparse.Namespace, files: list[str]) -> tuple[int, int, int]:
    """Checks the DAX files and writes their errors; returns the exit status,
    how many files were checked and how many of those failed."""
    tasks: list[tuple[str, str | None, str | None]] = []
    status = EXIT_OK
    for path in files:
        source = None
        if path == STDIN:
            try:
                source = read_source(path)
            except ReadError as error:
                write_err(f"{PROG}: cannot read {STDIN_NAME}: {error}\n")
                status = EXIT_USAGE
                continue
        tasks.append((path, source, args.mode))

    jobs: int = args.jobs or os.cpu_count() or 1
    progress = Progress(len(tasks), sys.stderr, not args.no_progress)
    failed = 0
    # closing: on a broken pipe the worker processes stop here, not whenever
    # the generator happens to be collected.
    with contextlib.closing(check_reports(tasks, jobs)) as reports:
        try:
            for done, report in enumerate(reports, 1):
                if report.read_error is not None:
                    progress.clear()
                    write_err(f"{PROG}: cannot read {report.path}: {report.read_error}\n")
                    status = EXIT_USAGE
                    failed += 1
                elif report.diagnostic is not None:
                    progress.clear()
                    if args.format == "json":
                        record = report.diagnostic.to_dict(report.path)
                        write_out(json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n")
                    else:
                        write_out(report.diagnostic.render(report.path) + "\n")
                    status = max(status, EXIT_ERRORS)
                    failed += 1
                progress.update(done)
        finally:
            progress.clear()
    return status, len(tasks), failed


def run_check(args: argparse.Namespace) -> int:
    paths: list[str] = args.paths
    if paths.count(STDIN) > 1:
        write_err(f"{PROG}: check: standard input (-) given more than once\n")
        return EXIT_USAGE
    files, models = collect_inputs(paths)
    if args.list:
        return run_list(args, files, models)
    status, checked, failed = check_files(args, files)
    summaries = []
    # A run without models keeps the summary it always had, even for no files.
    if files or not models:
        summaries.append(f"checked {checked} files: {failed} with errors\n")
    if models:
        model_status, summary = check_models(args, models)
        status = max(status, model_status)
        summaries.append(summary)
    # With --format json standard output holds JSON lines only.
    (write_err if args.format == "json" else write_out)("".join(summaries))
    return status


# --- models -------------------------------------------------------------------

# Formulas that belong to another object, named after it: "KPI target of 'Sales'[Margin]".
_ATTACHED = {
    "multiple or empty selection expression", "no selection expression", "format string definition",
    "detail rows definition", "KPI target", "KPI status", "KPI trend",
}


def _quote_table(name: str) -> str:
    return "'" + name.replace("'", "''") + "'"


def object_name(formula: Formula) -> str:
    """The formula's object as DAX writes it: 'Table'[Name], 'Table', or a
    function's name; a security filter names its table and its role."""
    if formula.kind == "row-level security filter":
        return f"{_quote_table(formula.table or '')} for role {_quote_table(formula.name)}"
    if formula.table is None:
        return formula.name
    if formula.name == formula.table or formula.kind == "calculated table":
        return _quote_table(formula.table)
    return _quote_table(formula.table) + "[" + formula.name.replace("]", "]]") + "]"


def describe(formula: Formula) -> str:
    """The kind and the object, as in "measure 'Sales'[Total]"."""
    joint = " of " if formula.kind in _ATTACHED else " "
    return formula.kind + joint + object_name(formula)


def model_error_text(error: ModelError) -> str:
    where = error.file if error.line is None else f"{error.file}:{error.line}"
    return f"{where}: model error: {error.message}\n"


def formula_error(args: argparse.Namespace, formula: Formula, error: ValueError) -> str:
    """The report of a formula's error. Its line and column are in the model
    file; the source and caret lines are those of the formula's own text,
    where a .bim file's JSON escapes are already decoded."""
    diagnostic = Diagnostic.from_error(error, formula.text)
    line, column = formula.locate_offset(diagnostic.start)
    if args.format == "json":
        end_line, end_column = formula.locate_offset(diagnostic.end)
        record: dict[str, str | int] = {
            "path": formula.file, "object": object_name(formula), "object_kind": formula.kind
        }
        record.update(diagnostic.to_dict(formula.file))
        record.update(line=line, column=column, end_line=end_line, end_column=end_column)
        return json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n"
    header = f"{formula.file}:{line}:{column}: {diagnostic.kind} error: {diagnostic.message}"
    return f"{header}\n  in {describe(formula)}\n{diagnostic.excerpt()}\n"


def check_models(args: argparse.Namespace, models: list[str]) -> tuple[int, str]:
    """Parses every formula of the models and writes the errors; returns the
    exit status and the summary line. Always in this process: reading and
    parsing all models takes less time than starting worker processes."""
    status = EXIT_OK
    count = failed = broken = 0
    for model in models:
        errors: list[ModelError] = []
        for formula in read_model(model, errors):
            count += 1
            try:
                parse_formula(formula)
            except ValueError as error:
                write_out(formula_error(args, formula, error))
                status = max(status, EXIT_ERRORS)
                failed += 1
        for model_error in errors:
            write_err(model_error_text(model_error))
        if errors:
            status = max(status, EXIT_USAGE)
            broken += 1
    summary = f"checked {count} formulas in {len(models)} models: {failed} with errors"
    if broken:
        summary += f"; {broken} models could not be read in full"
    return status, summary + "\n"


# Control characters but tabs: shown as U+FFFD, so that a listed line cannot
# move the cursor or ring the terminal's bell.
_CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f-\x9f]")


def first_line(text: str) -> tuple[int, int, str]:
    """(line, column, text) of the first line of `text` that is not blank,
    cut short when long, so that a listing keeps one line per formula."""
    for number, line in enumerate(text.split("\n"), 1):
        shown = line.strip()
        if shown:
            if len(shown) > 100:
                shown = shown[:99] + "\u2026"
            return number, len(line) - len(line.lstrip()) + 1, _CONTROL.sub("\ufffd", shown)
    return 1, 1, ""


def run_list(args: argparse.Namespace, files: list[str], models: list[str]) -> int:
    """Writes one line per DAX file and per formula of each model, without
    parsing anything: where it starts, what it belongs to and its first line."""
    status = EXIT_OK

    def write_entry(path: str, line: int, column: int, text: str, formula: Formula | None) -> None:
        if args.format == "json":
            record = {
                "path": path, "line": line, "column": column,
                "object": None if formula is None else object_name(formula),
                "object_kind": "file" if formula is None else formula.kind, "text": text,
            }
            write_out(json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n")
        else:
            write_out(f"{path}:{line}:{column}: {'file' if formula is None else describe(formula)}: {text}\n")

    for path in files:
        try:
            source = read_source(path)
        except ReadError as error:
            write_err(f"{PROG}: cannot read {display_path(path)}: {error}\n")
            status = EXIT_USAGE
            continue
        write_entry(display_path(path), *first_line(source), None)
    count = 0
    for model in models:
        errors: list[ModelError] = []
        for formula in read_model(model, errors):
            count += 1
            line, column, text = first_line(formula.text)
            write_entry(formula.file, *formula.locate(line, column), text, formula)
        for model_error in errors:
            write_err(model_error_text(model_error))
            status = EXIT_USAGE
    found = [f"{len(files)} files"] if files or not models else []
    if models:
        found.append(f"{count} formulas in {len(models)} models")
    summary = "found " + " and ".join(found) + "\n"
    (write_err if args.format == "json" else write_out)(summary)
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


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Lex, parse or check DAX source text.",
        epilog="Exit status: 0 when all input parses, 1 when some file or formula has an error, "
        "2 for a bad command line, a file that cannot be read or a malformed model.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, (_, help_text) in COMMANDS.items():
        command = commands.add_parser(name, help=help_text, description=help_text.capitalize() + ".")
        command.add_argument(
            "files", nargs="+", metavar="FILE", help="DAX source in UTF-8, or - for standard input"
        )
        command.add_argument(
            "--indent",
            type=non_negative,
            metavar="N",
            help="pretty-print with N spaces per level; with several files, each result "
            'is wrapped as {"path": ..., "result": ...}, one per line without --indent',
        )
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
        choices=("text", "json"),
        default="text",
        help="text: path:line:column: message, the line and carets (default); json: one object "
        'per error, with "object" and "object_kind" for a model formula, the summary on standard error',
    )
    check.add_argument(
        "--jobs",
        "-j",
        type=non_negative,
        default=1,
        metavar="N",
        help="processes for the *.dax files; 0: one per CPU. Models are always checked in "
        "this process, one after another",
    )
    check.add_argument(
        "--list",
        action="store_true",
        help="parse nothing; print each file and model formula found: where it starts, its "
        "kind and object, and its first line",
    )
    check.add_argument("--no-progress", action="store_true", help="never draw a progress bar")
    return parser


def _silence_stdout() -> None:
    """Points standard output at the null device, so that the flush at exit
    does not raise a second BrokenPipeError."""
    stream: IO[str] = sys.stdout
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stream.fileno())
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        if args.command == "check":
            return run_check(args)
        return run_print(args)
    except BrokenPipeError:
        # The reader went away (`| head`): stop without a traceback.
        _silence_stdout()
        return EXIT_ERRORS
    except KeyboardInterrupt:
        return 130
