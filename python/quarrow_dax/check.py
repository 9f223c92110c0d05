"""Checking DAX files and tabular models: what `quarrow-dax check` does,
as functions that return diagnostics instead of printing them.

    from quarrow_dax.check import CheckOptions, check_file

    for diagnostic in check_file("measure.dax", CheckOptions()):
        print(diagnostic.render())

Every DAX text, a file's or a model formula's, is parsed by `parse_source`,
the one place that decides how; the options reach it unchanged.
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
import json
import os
import re
from collections.abc import Generator, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path, PurePath
from typing import Literal, TypeVar

from ._native import lex
from .diagnostics import RULES, Diagnostic, Rule, split_error
from .model import Formula, Model, ModelError, ModelWarning, is_model_folder, load_model, read_model
from .model.integrity import DUPLICATE_NAME, MISSING_OBJECT, ModelProblem, model_problems
from .references import references
from .resolution import Resolution, Resolver
from .syntax.parsing import Grammar, Separators, first_error
from .sources import MAX_FILE_SIZE, SourceError, decode_text, is_dir, is_file, read_bytes, read_text, walk

__all__ = [
    "CheckOptions", "Inputs", "ModelTally", "STDIN", "SourceKind", "check_file", "check_files", "check_model",
    "check_text", "collect_inputs", "formula_diagnostic", "in_formula", "is_query", "model_problem_diagnostic",
    "model_resolver", "object_name",
    "parse_source", "reference_diagnostic", "source_kind",
]

D = TypeVar("D", bound=Diagnostic)

#: What check reports of a reference to a name that exists nowhere; the
#: linter's rule of the same code reports the same.
UNKNOWN_REFERENCE = RULES.setdefault("DAX001", Rule(
    "DAX001", "unknown-reference",
    "A reference to a name that exists nowhere: no measure, column, table, variable, parameter or function.",
))

RULES.setdefault(DUPLICATE_NAME, Rule(
    DUPLICATE_NAME, "duplicate-name",
    "A model object whose name another of its kind or namespace has, but for case: the model cannot be deployed.",
))
RULES.setdefault(MISSING_OBJECT, Rule(
    MISSING_OBJECT, "missing-object",
    "A relationship, role permission, hierarchy level or sort-by column that names a table or column the model"
    " does not have.",
))

#: The path that stands for standard input, and its name in reports.
STDIN = "-"
STDIN_NAME = "<stdin>"

SourceKind = Literal["query", "expression", "function"]
MODEL_SUFFIXES = (".bim", ".tmdl")


@dataclass(frozen=True)
class CheckOptions:
    """How to check. `mode` reads every DAX file as a query or an expression
    ("query", "expr"; None: by its first word); `encoding` is that of DAX
    files without a byte-order mark (None: UTF-8); no file larger than
    `max_file_size` bytes is read (0: no limit). `grammar` is "engine" (what
    the DAX engine accepts, the default) or "standard" (exactly what
    quarrow_dax.parse_expression accepts); `separators` "comma" or
    "semicolon" (lists separated by `;` and decimal commas). `resolve`: a
    model's formulas are also checked for names that exist nowhere."""

    mode: Literal["query", "expr"] | None = None
    encoding: str | None = None
    max_file_size: int = MAX_FILE_SIZE
    grammar: Grammar = "engine"
    separators: Separators = "comma"
    #: Whether a model's references are checked against the model.
    resolve: bool = True


def parse_source(text: str, kind: SourceKind, options: CheckOptions) -> None:
    """Parses one DAX text as `kind`; raises ValueError shaped like the
    module's errors ("parse error: <message> at S..E"). A function is the
    text of a model's user-defined function, ``(parameters) => body``.
    Nothing is built: the parser only looks for the first error."""
    error = first_error(text, kind=kind, grammar=options.grammar, separators=options.separators)
    if error is not None:
        raise error


# --- query or expression --------------------------------------------------------

# What certainly makes no token: ASCII white space and comments, doc comments
# included. Skipped here without lexing, so that a file of a million comment
# lines costs one pass and no token list.
_TRIVIA = re.compile(r"[ \t\n\r\f\v]+|//[^\n]*|--[^\n]*|/\*.*?\*/", re.DOTALL)
_QUERY_WORDS = ("DEFINE", "EVALUATE")
_FIRST_WINDOW = 256


def is_query(source: str) -> bool:
    """Whether `source` reads as a query: its first word after comments and
    doc comments is DEFINE or EVALUATE (in any case). The comments are
    skipped by a pattern; the lexer then reads only a small window from
    there, grown only while it holds nothing but white space the pattern
    does not know."""
    position = 0
    while True:
        match = _TRIVIA.match(source, position)
        if match is None:
            break
        position = match.end()
    if position == len(source):
        return False
    first = source[position]
    if first.isascii() and not (first.isalpha() or first == "_"):
        return False  # no identifier starts so
    size = _FIRST_WINDOW
    while True:
        window = source[position : position + size]
        cut = position + size < len(source)
        data = window.encode("utf-8", "surrogatepass")
        try:
            tokens = json.loads(lex(window))
        except ValueError as error:
            try:
                start = split_error(str(error))[2]
                tokens = json.loads(lex(data[:start].decode("utf-8", "ignore")))
            except ValueError:
                return False
        for token in tokens:
            kind = token["kind"]
            if isinstance(kind, dict) and "DocComment" in kind:
                continue
            if kind == "Eof":
                break
            word = kind.get("Ident") if isinstance(kind, dict) else None
            if not isinstance(word, str):
                return False
            if cut and token["span"]["end"] >= len(data):
                # The window may end inside the word: only a longer word than
                # the keywords is certainly none of them.
                if len(word) > max(map(len, _QUERY_WORDS)):
                    return False
                break
            return word.upper() in _QUERY_WORDS
        else:
            return False
        if not cut:
            return False
        size *= 16


def source_kind(source: str, options: CheckOptions) -> SourceKind:
    """How a DAX file is read: as `options.mode` says, or by its first word."""
    if options.mode is not None:
        return "query" if options.mode == "query" else "expression"
    return "query" if is_query(source) else "expression"


# --- hints ----------------------------------------------------------------------

# A definition as Power BI shows a measure or column: a name, then `=` or
# `:=`, in front of the expression: `Total Sales = ...`, `'Sales'[Margin] :=`.
_NAME_PART = r"[^\s=:'\"\[\](){},;&|<>+\-*/^]+"
_DEFINITION_HEAD = re.compile(
    r"\s*(?P<name>(?:'(?:[^'\n]|'')+'\s*)?\[(?:[^\]\n]|\]\])+\]|'(?:[^'\n]|'')+'"
    rf"|{_NAME_PART}(?:[ \t]+{_NAME_PART})*)[ \t]*(?P<op>:?=)(?![=>])"
)


def _hint(text: str, kind: SourceKind, diagnostic: Diagnostic, options: CheckOptions) -> str | None:
    """A likely cause of the error and what to do, where one is known."""
    if kind == "expression" and is_query(text):
        return "the text begins with DEFINE or EVALUATE, so it is a query: check it with --as query (or without --as)"
    if kind == "query" and diagnostic.message == "expected at least one EVALUATE statement" and not is_query(text):
        return "a query begins with DEFINE or EVALUATE; to check an expression, use --as expr (or leave out --as)"
    if kind != "expression":
        return None
    head = _DEFINITION_HEAD.match(text)
    if head is None:
        return None
    head_end = len(text[: head.end()].encode("utf-8"))
    rest = text[head.end() :]
    try:
        parse_source(rest, "expression", options)
        rest_parses = True
    except ValueError:
        rest_parses = False
    if not rest_parses and diagnostic.start > head_end:
        return None
    name, op = head.group("name").strip(), head.group("op")
    return (f"the text begins with a definition, `{name} {op}`, in front of the expression, as Power BI shows a"
            f" measure: check only what follows `{op}`, or write the definition in a query"
            " (DEFINE MEASURE 'Table'[Name] = ... EVALUATE ...)")


# --- files ----------------------------------------------------------------------


def display_path(path: str) -> str:
    """How a path is shown: `-` as <stdin>, others without `./` in front, so
    that files and models found under `.` read alike."""
    return STDIN_NAME if path == STDIN else str(PurePath(path))


def read_source(path: str, options: CheckOptions, data: bytes | None = None) -> str:
    """The text of a DAX file (or of `data`, read before from standard input)."""
    name = display_path(path)
    if data is None:
        data = read_bytes(path, options.max_file_size)
    elif options.max_file_size and len(data) > options.max_file_size:
        raise SourceError(name, f"more than the limit of {options.max_file_size:,} bytes")
    return decode_text(data, name, options.encoding)


def check_text(path: str, text: str, options: CheckOptions) -> Diagnostic | None:
    """The first error of one DAX text, or None when it parses."""
    kind = source_kind(text, options)
    try:
        parse_source(text, kind, options)
    except ValueError as error:
        diagnostic = Diagnostic.from_error(error, text, path=path)
        hint = _hint(text, kind, diagnostic, options)
        return diagnostic if hint is None else Diagnostic.from_error(error, text, path=path, hint=hint)
    return None


def read_problem(error: SourceError, path: str) -> Diagnostic:
    return Diagnostic.for_path("read", error.message, path, error.line or 0, error.column or 0)


def check_file(path: str, options: CheckOptions, data: bytes | None = None) -> list[Diagnostic]:
    """The diagnostics of one DAX file: its first error, or the reason it
    cannot be read. `data`: the bytes when they are read already
    (standard input)."""
    name = display_path(path)
    try:
        text = read_source(path, options, data)
    except SourceError as error:
        return [read_problem(error, name)]
    diagnostic = check_text(name, text, options)
    return [] if diagnostic is None else [diagnostic]


def _check_task(task: tuple[str, bytes | None, CheckOptions]) -> list[Diagnostic]:
    """Checks one file; runs in a worker process under `check_files`."""
    path, data, options = task
    return check_file(path, options, data)


def worker_count(requested: int, tasks: int) -> int:
    """Processes for `tasks` files when `requested` (0: one per processor):
    never more than there are files or processors."""
    processors = os.cpu_count() or 1
    return max(1, min(requested or processors, processors, tasks))


def check_files(
    files: Sequence[tuple[str, bytes | None]], options: CheckOptions, jobs: int = 1
) -> Generator[list[Diagnostic], None, None]:
    """The diagnostics of each file, in their order, as `check_file` gives
    them; `files` are (path, bytes read already or None). `jobs` processes
    share the work (0: one per processor; never more than files or
    processors). Closing the iterator early drops the files not begun."""
    tasks = [(path, data, options) for path, data in files]
    workers = worker_count(jobs, len(tasks))
    if workers <= 1:
        yield from map(_check_task, tasks)
        return
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers) as executor:
        try:
            # Several files per message between processes, but small enough
            # batches that every process stays busy to the end.
            chunk = max(1, min(32, len(tasks) // (workers * 8)))
            yield from executor.map(_check_task, tasks, chunksize=chunk)
        finally:
            # Stopped early (broken pipe, interrupt): drop the files not begun.
            executor.shutdown(wait=True, cancel_futures=True)


# --- models ---------------------------------------------------------------------


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


@dataclass
class ModelTally:
    """What check_model counted: formulas, those with an error, whether
    some file of the model could not be read, and the problems of its
    structure."""

    formulas: int = 0
    failed: int = 0
    unreadable: bool = False
    #: Problems of the model's structure: names declared twice, objects named that it does not have.
    problems: int = 0


def model_problem(error: ModelError | ModelWarning) -> Diagnostic:
    warning = isinstance(error, ModelWarning)
    return Diagnostic.for_path(
        "model", error.message, error.file, error.line or 0, error.column or 0,
        severity="warning" if warning else "error", code="W001" if warning else "",
    )


def formula_diagnostic(formula: Formula, error: ValueError) -> Diagnostic:
    """The diagnostic of a formula's error: its line and column are in the
    model file; its span and excerpt are those of the formula's own text,
    where a .bim file's JSON escapes are already decoded."""
    return in_formula(Diagnostic.from_error(error, formula.text), formula)


def in_formula(diagnostic: D, formula: Formula) -> D:
    """A diagnostic about a formula's own text placed in the model file,
    with the object it belongs to."""
    return diagnostic.relocated(
        formula.file, formula.locate_offset(diagnostic.start), formula.locate_offset(diagnostic.end),
        object=object_name(formula), object_kind=formula.kind,
    )


def reference_diagnostic(formula: Formula, resolution: Resolution) -> Diagnostic:
    """The diagnostic of a reference to a name that exists nowhere, at the
    name in the model file, in the formula's object."""
    span = resolution.reference.span
    start, end = (span.start, span.end) if span is not None else (0, 0)
    diagnostic = Diagnostic.at(formula.text, start, end, "reference", resolution.message,
                               code=UNKNOWN_REFERENCE.code, hint=resolution.hint)
    return in_formula(diagnostic, formula)


def check_model(path: str, options: CheckOptions, tally: ModelTally | None = None) -> Iterator[Diagnostic]:
    """Parses every formula of the model at `path` and, with
    `options.resolve`, looks up every name it refers to; yields the errors,
    then what kept parts of the model from being read, then the warnings.
    Names are not looked up in a model read only in part (one file that
    could not be read, or a single .tmdl file): what is missing may be in the
    part that was not read."""
    tally = ModelTally() if tally is None else tally
    errors: list[ModelError] = []
    warnings: list[ModelWarning] = []
    if options.resolve:
        yield from _check_model_names(path, options, tally, errors, warnings)
    else:
        for formula in read_model(path, errors, warnings, max_file_size=options.max_file_size):
            tally.formulas += 1
            try:
                parse_source(formula.text, "function" if formula.kind == "function" else "expression", options)
            except ValueError as error:
                tally.failed += 1
                yield formula_diagnostic(formula, error)
    tally.unreadable = bool(errors)
    for model_error in errors:
        yield model_problem(model_error)
    for warning in warnings:
        yield model_problem(warning)


def model_resolver(path: str, model: Model, errors: Sequence[ModelError]) -> Resolver | None:
    """What looks up the names of the model read from `path`, or None when
    the model was read only in part: some file could not be read, or `path`
    is one .tmdl file (a pre-commit hook passes the files that changed), so
    the names its formulas use may be declared where nothing was read."""
    if errors or Path(path).suffix.lower() == ".tmdl":
        return None
    return Resolver(model)


def _check_model_names(
    path: str, options: CheckOptions, tally: ModelTally, errors: list[ModelError], warnings: list[ModelWarning]
) -> Iterator[Diagnostic]:
    model = load_model(path, errors, warnings, max_file_size=options.max_file_size)
    resolver = model_resolver(path, model, errors)
    for formula in model.formulas:
        tally.formulas += 1
        try:
            # Reading the references parses the formula, as parse_source would.
            refs = references(formula.text, kind="function" if formula.kind == "function" else "expression",
                              grammar=options.grammar, separators=options.separators)
        except ValueError as error:
            tally.failed += 1
            yield formula_diagnostic(formula, error)
            continue
        if resolver is None:
            continue
        unknown = [found for found in resolver.resolve(formula, refs) if found.status == "unknown"]
        tally.failed += bool(unknown)
        for found in unknown:
            yield reference_diagnostic(formula, found)
    # A model that reads may still not deploy: the same name twice, or a
    # relationship, permission, level or sort-by column naming what is not
    # there (looked for only in a model read whole).
    for problem in model_problems(model, whole=resolver is not None):
        tally.problems += 1
        yield model_problem_diagnostic(problem)


def model_problem_diagnostic(problem: ModelProblem) -> Diagnostic:
    """The diagnostic of a problem of a model's structure, at its place in the model file."""
    diagnostic = Diagnostic.for_path(problem.kind, problem.message, problem.file, problem.line, problem.column,
                                     code=problem.code, hint=problem.hint)
    return dataclasses.replace(diagnostic, object=problem.object_name, object_kind=problem.object_kind)


# --- what to check --------------------------------------------------------------


@dataclass
class Inputs:
    """The DAX files and models to check, and the paths that gave nothing."""

    files: list[str] = field(default_factory=list)
    models: list[str] = field(default_factory=list)
    problems: list[Diagnostic] = field(default_factory=list)


def _pbip_model(project: Path) -> str | None:
    """The semantic model folder a Power BI project file names, if found: the
    dataset its report refers to, or a `*.SemanticModel` folder beside it."""
    candidates: list[Path] = []
    try:
        artifacts = json.loads(read_text(project, max_size=1 << 20)).get("artifacts", [])
        for artifact in artifacts:
            report = project.parent / artifact["report"]["path"]
            pbir = json.loads(read_text(report / "definition.pbir", max_size=1 << 20))
            candidates.append(report / pbir["datasetReference"]["byPath"]["path"])
    except (SourceError, ValueError, TypeError, KeyError, AttributeError):
        pass
    candidates.append(project.with_suffix(".SemanticModel"))
    for candidate in candidates:
        if is_dir(candidate):
            return str(PurePath(os.path.normpath(candidate)))
    return None


def _nothing_found(path: str) -> Diagnostic:
    errors: list[ModelError] = []
    next(iter(read_model(path, errors)), None)
    reason = errors[0].message if errors else ""
    hint = None
    if reason.startswith("not a model folder: ") and "no *.bim file and no TMDL" not in reason:
        hint = reason[len("not a model folder: ") :]
    return Diagnostic.for_path("path", "no *.dax files and no models found in it", display_path(path), hint=hint)


def collect_inputs(paths: Iterable[str]) -> Inputs:
    """The DAX files and the models to check. A folder gives the models under
    it (each *.bim file and TMDL folder) and the *.dax files outside the TMDL
    folders (a .dax file in a model folder is no part of the model, and
    reporting it beside the model would count it twice); a folder that gives
    nothing is a problem. An existing *.bim or *.tmdl file is a model; a
    .pbip file is refused with the model folder it names; any other path is
    a DAX file whatever its name, and one that does not exist is kept:
    reading it reports the error."""
    inputs = Inputs()
    for path in paths:
        if path == STDIN:
            inputs.files.append(path)
            continue
        shown = display_path(path)
        root = Path(path)
        if is_dir(root):
            if is_model_folder(root):
                inputs.models.append(shown)
                continue
            problems: list[SourceError] = []
            found = 0
            for entry in walk(root, problems, is_model_folder):
                name = entry.name.lower()
                if name.endswith(".dax"):
                    inputs.files.append(str(entry))
                elif name.endswith(".bim") or is_dir(entry):  # a folder here is a TMDL folder
                    inputs.models.append(str(entry))
                else:
                    continue
                found += 1
            inputs.problems.extend(read_problem(problem, problem.path) for problem in problems)
            if not found and not problems:
                inputs.problems.append(_nothing_found(path))
        elif path.lower().endswith(".pbip") and is_file(root):
            model = _pbip_model(root)
            hint = f"quarrow-dax check {model}" if model else "check the project's *.SemanticModel folder"
            inputs.problems.append(Diagnostic.for_path(
                "path", "a Power BI project file, not DAX: check its semantic model folder instead", shown, hint=hint,
            ))
        elif path.lower().endswith(MODEL_SUFFIXES) and is_file(root):
            inputs.models.append(shown)
        else:
            inputs.files.append(shown)
    return inputs
