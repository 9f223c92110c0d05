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
import json
import os
import re
from collections.abc import Generator, Iterable, Iterator, Sequence
from dataclasses import dataclass, replace
from pathlib import Path, PurePath
from typing import Any, Literal, TypeVar

from ._native import lex
from .arguments import CallProblem, check_calls, signature_of
from .diagnostics import RULES, Diagnostic, LineIndex, Rule, split_error
from .functions import Signature
from .model import (
    Formula, Model, ModelError, ModelWarning, load_model, read_model,
)
from .model.integrity import ModelProblem, model_problems
from .references import references
from .resolution import Resolution, Resolver
from .syntax import Function, Node, parse_expression, parse_function, parse_query
from .syntax.parsing import Grammar, Separators, first_error
from .syntax.separators import SeparatorError, list_separators
from .sources import MAX_FILE_SIZE, SourceError, decode_text, read_bytes

__all__ = [
    "CheckOptions", "ModelPart", "ModelTally", "STDIN", "SourceKind", "call_diagnostics", "check_file",
    "check_files", "check_loaded_model", "check_model", "check_tasks", "check_text", "formula_calls",
    "formula_diagnostic", "function_signatures", "in_formula", "is_query", "mixed_separators", "model_functions",
    "model_problem_diagnostic", "model_resolver", "object_name", "parse_source", "parse_tree", "quote_hint",
    "reference_diagnostic", "separator_diagnostic", "source_kind",
]

D = TypeVar("D", bound=Diagnostic)

#: What check reports of a reference to a name that exists nowhere; the
#: linter's rule of the same code reports the same.
UNKNOWN_REFERENCE = RULES.setdefault("DAX001", Rule(
    "DAX001", "unknown-reference",
    "A reference to a name that exists nowhere: no measure, column, table, variable, parameter or function.",
))

#: What format and lint --fix report of a text that separates arguments
#: with `;` in the comma convention, and check of a text that mixes `,` and `;`.
SEMICOLON_SEPARATORS = RULES.setdefault("E006", Rule(
    "E006", "semicolon-separators",
    "A text that separates arguments with `;`, given to format or lint --fix in the comma convention, which would"
    " write `,` for it.",
))
MIXED_SEPARATORS = RULES.setdefault("W002", Rule(
    "W002", "mixed-separators",
    "A text whose lists are separated by both `,` and `;`: `ROUND(1,5;0)` is 1.5 rounded in the semicolon convention"
    " but three arguments in the comma convention.", "warning",
))

#: The path that stands for standard input, and its name in reports.
STDIN = "-"
STDIN_NAME = "<stdin>"

SourceKind = Literal["query", "expression", "function"]
MODEL_SUFFIXES = (".bim", ".tmdl")

#: The largest DAX file, in characters, whose calls are checked: checking
#: builds the file's syntax tree as Python objects, some hundred bytes of
#: memory and a few microseconds per node, where the grammar alone is
#: checked natively at any size. Real formulas and queries are far smaller;
#: larger files are generated, mostly data.
CALL_CHECK_LIMIT = 4 * 1024 * 1024


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


def parse_tree(text: str, kind: SourceKind, options: CheckOptions) -> Node:
    """The syntax tree of one DAX text read as `kind`, as `parse_source`
    reads it. Raises ParseError."""
    parse = {"query": parse_query, "expression": parse_expression, "function": parse_function}[kind]
    return parse(text, grammar=options.grammar, separators=options.separators)


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


#: Typographic quotes that word processors and chat tools put in place of
#: DAX's straight ones, and what DAX writes there.
TYPOGRAPHIC_QUOTES = {"\u201c": '"', "\u201d": '"', "\u201e": '"', "\u00ab": '"', "\u00bb": '"',
                      "\u2018": "'", "\u2019": "'", "\u201a": "'"}


def quote_hint(text: str, diagnostic: Diagnostic) -> str | None:
    """The hint for a lexical error at a typographic quote, else None."""
    if diagnostic.kind != "lex":
        return None
    at = text.encode("utf-8", "surrogatepass")[diagnostic.start : diagnostic.start + 4].decode("utf-8", "ignore")
    if not at or at[0] not in TYPOGRAPHIC_QUOTES:
        return None
    straight = TYPOGRAPHIC_QUOTES[at[0]]
    what = "a string between straight double quotes, \"text\"" if straight == '"' else (
        "a table name between straight single quotes, 'Sales'")
    return (f"{at[0]} is a typographic quote, which DAX does not read: write {what} (an editor, a word processor or"
            " a chat may have replaced the straight quotes)")


def _hint(text: str, kind: SourceKind, diagnostic: Diagnostic, options: CheckOptions) -> str | None:
    """A likely cause of the error and what to do, where one is known."""
    quote = quote_hint(text, diagnostic)
    if quote is not None:
        return quote
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


def separator_diagnostic(error: SeparatorError, text: str, path: str | None = None) -> Diagnostic:
    """The diagnostic of a text refused for its `;` separators."""
    return Diagnostic.at(text, error.span.start, error.span.end, "separators", error.message, path=path,
                         code=SEMICOLON_SEPARATORS.code, hint=error.hint)


def mixed_separators(text: str, options: CheckOptions, path: str | None = None) -> Diagnostic | None:
    """A warning about a text (one that parses) whose lists are separated
    by both `,` and `;`, at the first separator of the rarer kind."""
    if ";" not in text or "," not in text:
        return None
    try:
        found = list_separators(text, options.separators)
    except ValueError:
        return None
    if not found.commas or not found.semicolons:
        return None
    # The rarer kind is marked; on a tie, the one the convention does not use.
    commas_rarer = (len(found.commas), options.separators == "comma") < (len(found.semicolons), True)
    rarer, name = (found.commas, "`,`") if commas_rarer else (found.semicolons, "`;`")
    hint = ("in the comma convention `;` reads as `,`, so `ROUND(1,5;0)` has three arguments; write one separator"
            " throughout, or read the text with --separators semicolon" if options.separators == "comma" else
            "in the semicolon convention `,` separates arguments only where it is no decimal comma; write `;`"
            " throughout")
    return Diagnostic.at(text, rarer[0].start, rarer[0].end, "separators",
                         f"arguments are separated by both `,` ({len(found.commas)}) and `;` ({len(found.semicolons)}):"
                         f" the convention the text is written in is unclear (this {name} is the first of the fewer)",
                         path=path, severity="warning",
                         code=MIXED_SEPARATORS.code, hint=hint)


def read_problem(error: SourceError, path: str) -> Diagnostic:
    return Diagnostic.for_path("read", error.message, path, error.line or 0, error.column or 0)


def check_file(path: str, options: CheckOptions, data: bytes | None = None) -> list[Diagnostic]:
    """The diagnostics of one DAX file: its first syntax error, or else the
    problems of its calls (a warning instead beyond CALL_CHECK_LIMIT), or
    the reason it cannot be read. `data`: the bytes when they are read
    already (standard input)."""
    name = display_path(path)
    try:
        text = read_source(path, options, data)
    except SourceError as error:
        return [read_problem(error, name)]
    diagnostic = check_text(name, text, options)
    if diagnostic is not None:
        return [diagnostic]
    mixed = mixed_separators(text, options, name)
    found = [] if mixed is None else [mixed]
    if len(text) > CALL_CHECK_LIMIT:
        found.append(Diagnostic.for_path(
            "argument", f"function calls not checked: the file holds more than {CALL_CHECK_LIMIT:,} characters",
            name, severity="warning", code="W005",
            hint="the grammar was checked; the calls are checked in files up to that size"))
        return found
    tree = parse_tree(text, source_kind(text, options), options)
    found += call_diagnostics(text, check_calls(tree), path=name)
    found.sort(key=lambda diagnostic: diagnostic.start)
    return found


def call_diagnostics(text: str | LineIndex, problems: Sequence[CallProblem], **fields: Any) -> list[Diagnostic]:
    """The diagnostics of calls' argument problems in `text` (see
    `quarrow_dax.arguments`); other fields (a path) by keyword."""
    index = text if isinstance(text, LineIndex) else LineIndex(text)
    return [Diagnostic.at(index, problem.start, problem.end, "argument", problem.message, code=problem.code,
                          hint=problem.hint, **fields) for problem in problems]


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
    return check_tasks([(path, data, options) for path, data in files], jobs)


def check_tasks(
    tasks: Sequence[tuple[str, bytes | None, CheckOptions]], jobs: int = 1
) -> Generator[list[Diagnostic], None, None]:
    """`check_files` with options of each file's own: (path, bytes read
    already or None, options)."""
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
    diagnostic = Diagnostic.from_error(error, formula.text)
    hint = quote_hint(formula.text, diagnostic)
    return in_formula(diagnostic if hint is None else replace(diagnostic, hint=hint), formula)


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


class ModelPart:
    """The files of a model that a run reports on, when it was given some
    of them rather than the whole: their formulas and problems are kept and
    shown under the paths the user gave; the rest of the model is read only
    so that names can be looked up."""

    def __init__(self, files: Iterable[str]) -> None:
        self.shown = {_file_key(file): file for file in files}

    def has(self, file: str) -> bool:
        return _file_key(file) in self.shown

    def path_of(self, file: str) -> str:
        """How a file of the model was given (`file` itself if it was not)."""
        return self.shown.get(_file_key(file), file)

    def named(self, diagnostic: D) -> D:
        """The diagnostic under the path its file was given as."""
        shown = self.path_of(diagnostic.path or "")
        return diagnostic if shown == diagnostic.path or not diagnostic.path else replace(diagnostic, path=shown)

    def problems(
        self, model: str, errors: Sequence[ModelError], warnings: Sequence[ModelWarning], resolve: bool
    ) -> Iterator[Diagnostic]:
        """The model's errors and warnings in the files given; for errors
        elsewhere, one warning that names were not looked up."""
        for model_error in errors:
            if self.has(model_error.file):
                yield self.named(model_problem(model_error))
        elsewhere = sum(not self.has(model_error.file) for model_error in errors)
        if elsewhere and resolve:
            yield Diagnostic.for_path(
                "model", f"names were not looked up: {elsewhere} other file{'s' if elsewhere > 1 else ''} of the"
                " model could not be read", model, severity="warning", code="W001",
                hint=f"quarrow-dax check {model} shows why")
        for warning in warnings:
            if self.has(warning.file):
                yield self.named(model_problem(warning))


def _file_key(path: str) -> str:
    return os.path.normcase(os.path.normpath(os.path.abspath(path)))


def _formula_kind(formula: Formula) -> SourceKind:
    return "function" if formula.kind == "function" else "expression"


def check_model(
    path: str, options: CheckOptions, tally: ModelTally | None = None, only: Iterable[str] | None = None
) -> Iterator[Diagnostic]:
    """Parses every formula of the model at `path`, checks the arguments of
    its calls and, with `options.resolve`, looks up every name it refers to;
    yields the errors, then what kept parts of the model from being read,
    then the warnings. Names (the model's functions among them) are not
    looked up without `options.resolve`, nor in a model read only in part
    (one file that could not be read, or a single .tmdl file): what is
    missing may be in the part that was not read. With `only` (files of the
    model), the whole model is read but only those files' formulas are
    checked and reported."""
    tally = ModelTally() if tally is None else tally
    part = None if only is None else ModelPart(only)
    errors: list[ModelError] = []
    warnings: list[ModelWarning] = []
    if options.resolve:
        for diagnostic in _check_model_names(path, options, tally, errors, warnings, part):
            yield _named(diagnostic, part)
    else:
        for formula in read_model(path, errors, warnings, max_file_size=options.max_file_size):
            if part is not None and not part.has(formula.file):
                continue
            tally.formulas += 1
            try:
                tree = _formula_tree(formula, options)
            except ValueError as error:
                tally.failed += 1
                yield _named(formula_diagnostic(formula, error), part)
                continue
            for mixed in _separator_warning(formula, options):
                yield _named(mixed, part)
            if tree is None:
                yield _named(_calls_not_checked(formula), part)
                continue
            found = _in_formula(formula, call_diagnostics(formula.text, check_calls(tree)))
            tally.failed += bool(found)
            for diagnostic in found:
                yield _named(diagnostic, part)
    if part is not None:
        tally.unreadable = any(part.has(model_error.file) for model_error in errors)
        yield from part.problems(path, errors, warnings, options.resolve)
        return
    tally.unreadable = bool(errors)
    for model_error in errors:
        yield model_problem(model_error)
    for warning in warnings:
        yield model_problem(warning)


def _formula_tree(formula: Formula, options: CheckOptions) -> Node | None:
    """The syntax tree of a formula, or None for one beyond CALL_CHECK_LIMIT,
    whose grammar alone is checked. Raises ParseError."""
    if len(formula.text) > CALL_CHECK_LIMIT:
        parse_source(formula.text, _formula_kind(formula), options)
        return None
    return parse_tree(formula.text, _formula_kind(formula), options)


def _calls_not_checked(formula: Formula) -> Diagnostic:
    diagnostic = Diagnostic.at(
        formula.text, 0, 0, "argument",
        f"function calls not checked: the formula holds more than {CALL_CHECK_LIMIT:,} characters",
        severity="warning", code="W005", hint="the grammar was checked; the calls are checked in formulas up to that size",
    )
    return in_formula(diagnostic, formula)


def _in_formula(formula: Formula, diagnostics: list[Diagnostic]) -> list[Diagnostic]:
    return [in_formula(diagnostic, formula) for diagnostic in diagnostics]


def function_signatures(model: Model, options: CheckOptions) -> dict[str, Signature]:
    """The signatures of the model's user-defined functions, by name in upper
    case, each function's text parsed here (for DAX outside the model's own
    formulas, such as a report's, checked against its functions)."""
    trees: dict[int, Node] = {}
    for function in model.functions.values():
        for formula in function.formulas:
            try:
                trees[id(formula)] = parse_tree(formula.text, "function", options)
            except ValueError:
                continue
    return model_functions(model, trees)


def formula_calls(formula: Formula, options: CheckOptions, functions: dict[str, Signature]) -> list[Diagnostic]:
    """The problems of the calls of a formula that parses (or the warning
    that it is too long to check them), placed in its file."""
    if len(formula.text) > CALL_CHECK_LIMIT:
        return [_calls_not_checked(formula)]
    tree = parse_tree(formula.text, _formula_kind(formula), options)
    return _in_formula(formula, call_diagnostics(formula.text, check_calls(tree, functions)))


def model_functions(model: Model, trees: dict[int, Node]) -> dict[str, Signature]:
    """The signatures of the model's user-defined functions, by name in upper
    case, from the parsed trees of their formulas (by the formula's id);
    a function whose text did not parse is left out."""
    found: dict[str, Signature] = {}
    for function in model.functions.values():
        for formula in function.formulas:
            tree = trees.get(id(formula))
            if isinstance(tree, Function):
                found[function.name.upper()] = signature_of(tree, function.name)
    return found


def _separator_warning(formula: Formula, options: CheckOptions) -> Iterator[Diagnostic]:
    warning = mixed_separators(formula.text, options)
    if warning is not None:
        yield in_formula(warning, formula)


def model_resolver(
    path: str, model: Model, errors: Sequence[ModelError], trees: dict[int, Node] | None = None
) -> Resolver | None:
    """What looks up the names of the model read from `path`, or None when
    the model was read only in part: some file could not be read, or `path`
    is one .tmdl file (a pre-commit hook passes the files that changed), so
    the names its formulas use may be declared where nothing was read.
    `trees`: the formulas' syntax trees by the formula's id, where parsed
    already."""
    if errors or Path(path).suffix.lower() == ".tmdl":
        return None
    return Resolver(model, trees)


def _named(diagnostic: D, part: ModelPart | None) -> D:
    return diagnostic if part is None else part.named(diagnostic)


def _check_model_names(
    path: str, options: CheckOptions, tally: ModelTally, errors: list[ModelError], warnings: list[ModelWarning],
    part: ModelPart | None = None,
) -> Iterator[Diagnostic]:
    """The diagnostics of the model's formulas (with `part`, of its files
    only; every formula is read all the same, for the names and functions
    the others use)."""
    model = load_model(path, errors, warnings, max_file_size=options.max_file_size)
    resolve_names = not errors and Path(path).suffix.lower() != ".tmdl"
    yield from check_loaded_model(model, options, tally, resolve_names=resolve_names, part=part)


def check_loaded_model(
    model: Model, options: CheckOptions, tally: ModelTally, *, resolve_names: bool = True,
    part: ModelPart | None = None,
) -> Iterator[Diagnostic]:
    """The diagnostics of the formulas of a model read already (a model
    file's, or a dataset of scanner results), as check_model gives them;
    `resolve_names`: look up the names the formulas use (not in a model read
    only in part, see model_resolver)."""
    # Every formula is parsed first: a call is checked against the model's
    # functions, which may be declared after it.
    parsed: list[tuple[Formula, Node | ValueError | None]] = []
    trees: dict[int, Node] = {}
    for formula in model.formulas:
        try:
            parsed_tree = _formula_tree(formula, options)
        except ValueError as error:
            parsed.append((formula, error))
            continue
        parsed.append((formula, parsed_tree))
        if parsed_tree is not None:
            trees[id(formula)] = parsed_tree
    functions = model_functions(model, trees)
    resolver = Resolver(model, trees) if resolve_names else None
    for formula, outcome in parsed:
        if part is not None and not part.has(formula.file):
            continue
        tally.formulas += 1
        if isinstance(outcome, ValueError):
            tally.failed += 1
            yield formula_diagnostic(formula, outcome)
            continue
        tree = outcome
        yield from _separator_warning(formula, options)
        found: list[Diagnostic] = []
        if resolver is not None:
            # The text parsed above, so reading its references cannot fail.
            refs = references(formula.text, kind=_formula_kind(formula), grammar=options.grammar,
                              separators=options.separators)
            found = [reference_diagnostic(formula, resolution) for resolution in resolver.resolve(formula, refs)
                     if resolution.status == "unknown"]
        if tree is None:
            found.append(_calls_not_checked(formula))
        problems = [] if tree is None else check_calls(tree, functions)
        if problems:
            found += _in_formula(formula, call_diagnostics(formula.text, problems))
            found.sort(key=lambda diagnostic: diagnostic.start)
        tally.failed += any(diagnostic.severity == "error" for diagnostic in found)
        yield from found
    # A model that reads may still not deploy: the same name twice, or a
    # relationship, permission, level or sort-by column naming what is not
    # there (looked for only in a model read whole).
    for problem in model_problems(model, whole=resolver is not None):
        if part is None or part.has(problem.file):
            tally.problems += 1
            yield model_problem_diagnostic(problem)


def model_problem_diagnostic(problem: ModelProblem) -> Diagnostic:
    """The diagnostic of a problem of a model's structure, at its place in the model file."""
    diagnostic = Diagnostic.for_path(problem.kind, problem.message, problem.file, problem.line, problem.column,
                                     code=problem.code, hint=problem.hint)
    return replace(diagnostic, object=problem.object_name, object_kind=problem.object_kind)


# The paths a run reads are found by quarrow_dax.inputs, which reads this
# module; the names stay reachable here, loaded when first asked for.
_MOVED = ("Inputs", "NOT_DAX_SUFFIXES", "collect_inputs", "not_dax_problem")


def __getattr__(name: str) -> object:
    if name in _MOVED:
        from . import inputs

        return getattr(inputs, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
