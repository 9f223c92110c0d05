"""Diagnostics as data, rendered in every output format at the very end.

A `Diagnostic` is one finding: where it is (a path, a byte span of the text
that was checked, and the same span as lines and columns of the file), how
bad it is (`severity`), what it is (`kind` and a rule `code`), what it says
(`message`, and an optional `hint`), and, inside a tabular model, which
object it belongs to. Checking code builds diagnostics; only the command line
(or any other caller) renders them, through a `Writer` for one format::

    from quarrow_dax import parse_expression
    from quarrow_dax.diagnostics import Diagnostic

    source = "1 +\\n  2 2"
    try:
        parse_expression(source)
    except ValueError as error:
        diagnostic = Diagnostic.from_error(error, source, path="measure.dax")
        print(diagnostic.render())

prints::

    measure.dax:2:5: parse error: expected end of input
      2 2
        ^

The functions of `quarrow_dax` report a lexical or syntax error as a
ValueError whose text ends with a byte span of the UTF-8 input, for example
"parse error: expected end of input at 2..3"; `Diagnostic.from_error` reads
that text back and works out lines and columns.

Lines are separated by line feeds only (a carriage return before one belongs
to no column anyone would count), and both lines and columns start at 1;
columns count characters, not bytes. The end position is exclusive, like the
byte span it comes from. A diagnostic about a whole file (one that cannot be
read) has line 0: no position.

The formats (`FORMATS`): ``text`` (the header, the source line and carets, as
above), ``gcc`` (one ``path:line:column: error: message`` line, what editors'
problem matchers read), ``json`` (one object per line), ``github`` (GitHub
Actions workflow commands) and ``sarif`` (one SARIF 2.1.0 log). Other tools of
the package add their own rules to `RULES` (codes such as ``DAX101``) and
report through the same writers.
"""

from __future__ import annotations

import bisect
import json
import re
import unicodedata
import urllib.parse
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field, replace
from pathlib import PurePath
from typing import Any, Literal, Self

from .terminal import paint

__all__ = [
    "Diagnostic", "ERROR_PATTERN", "FORMATS", "LineIndex", "RULES", "RULE_KINDS", "Rule", "Severity", "Writer",
    "github_command", "object_phrase", "split_error", "writer_for",
]

#: The display text of the module's errors. DOTALL because a message quotes
#: the offending character, which may be a line feed.
ERROR_PATTERN = re.compile(r"^(lex|parse) error: (.*) at (\d+)\.\.(\d+)$", re.DOTALL)

_CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f-\x9f]")

Kind = Literal["lex", "parse"]
Severity = Literal["error", "warning", "note"]

# A source line up to this many characters is shown whole; a longer one (a
# minified or generated file may hold megabytes on one line) is cut to a
# window around the error.
EXCERPT_WIDTH = 200
_CONTEXT = 80  # characters kept before and after the marked span in a window
_MARK_WIDTH = 80  # characters marked at most in a window
_ELLIPSIS = "\u2026"


def split_error(text: str) -> tuple[Kind, str, int, int]:
    """Splits an error text of the module into (kind, message, start, end).

    Raises ValueError when `text` is not shaped like one, so that an
    unrelated ValueError is never mistaken for a located diagnostic."""
    match = ERROR_PATTERN.match(text)
    if match is None:
        raise ValueError(f"not an error of quarrow_dax: {text!r}")
    kind: Kind = "lex" if match.group(1) == "lex" else "parse"
    return kind, match.group(2), int(match.group(3)), int(match.group(4))


class LineIndex:
    """Maps UTF-8 byte offsets of one source text to 1-based (line, column)
    positions, columns counting characters, and back. Built once per text
    (the line starts are found in one pass), so that mapping many spans of
    the same text costs a binary search and the decoding of one line each::

        index = LineIndex("VAR x = 1\\nRETURN  x")
        index.position(18)     # (2, 9): the `x` after RETURN
        index.offset(2, 9)     # 18

    Lines are separated by line feeds only; a carriage return before one is
    the last character of its line."""

    __slots__ = ("data", "line_starts", "_decoded")

    def __init__(self, source: str | bytes) -> None:
        self.data = source if isinstance(source, bytes) else source.encode("utf-8", "surrogatepass")
        starts = [0]
        find = self.data.find
        at = find(b"\n")
        while at >= 0:
            starts.append(at + 1)
            at = find(b"\n", at + 1)
        self.line_starts = starts
        # The last line decoded: (line, text, whether it is ASCII). Many
        # findings on one long line (a generated formula) then cost one
        # decoding of it, not one each.
        self._decoded: tuple[int, str, bool] | None = None

    def line_start(self, line: int) -> int:
        """The byte offset where 1-based `line` begins (clamped to the text)."""
        return self.line_starts[min(max(line, 1), len(self.line_starts)) - 1]

    def _line(self, line: int) -> tuple[str, bool]:
        line = min(max(line, 1), len(self.line_starts))
        decoded = self._decoded
        if decoded is None or decoded[0] != line:
            start = self.line_starts[line - 1]
            end = self.data.find(b"\n", start)
            raw = self.data[start : len(self.data) if end < 0 else end]
            decoded = self._decoded = (line, raw.decode("utf-8", "replace"), raw.isascii())
        return decoded[1], decoded[2]

    def line_text(self, line: int) -> str:
        """The text of 1-based `line` without its line end."""
        text = self._line(line)[0]
        return text[:-1] if text.endswith("\r") else text

    def position(self, offset: int) -> tuple[int, int]:
        """(line, column) of a byte offset, clamped to the text. An offset
        inside a character (the parser never reports one) counts that
        character once instead of failing."""
        offset = min(max(offset, 0), len(self.data))
        line = bisect.bisect_right(self.line_starts, offset)
        start = self.line_starts[line - 1]
        if self._line(line)[1]:
            return line, offset - start + 1  # on an ASCII line a byte is a character
        return line, len(self.data[start:offset].decode("utf-8", "replace")) + 1

    def offset(self, line: int, column: int) -> int:
        """The byte offset of 1-based (line, column); a column past the end
        of its line gives the line's end."""
        start = self.line_start(line)
        end = self.data.find(b"\n", start)
        text = self.data[start : len(self.data) if end < 0 else end].decode("utf-8", "replace")
        return start + len(text[: max(column - 1, 0)].encode("utf-8"))


def _width(character: str) -> int:
    """Terminal columns a character takes, so that carets under East Asian
    text or combining accents stay aligned with what they mark."""
    if unicodedata.combining(character):
        return 0
    return 2 if unicodedata.east_asian_width(character) in ("W", "F") else 1


def _window(line: str, first: int, last: int) -> tuple[str, tuple[int, int]]:
    """The part of `line` to show and the columns to mark in it, for the
    1-based columns `first` (marked) to `last` (exclusive)."""
    if len(line) <= EXCERPT_WIDTH:
        return line, (first, last)
    low = max(0, first - 1 - _CONTEXT)
    mark_end = min(last, first + _MARK_WIDTH)
    high = min(len(line), max(mark_end - 1, first - 1) + _CONTEXT)
    shown = (_ELLIPSIS if low else "") + line[low:high] + (_ELLIPSIS if high < len(line) else "")
    shift = low - (1 if low else 0)
    return shown, (first - shift, mark_end - shift)


# --- rules --------------------------------------------------------------------


@dataclass(frozen=True)
class Rule:
    """What a diagnostic code stands for: its `code`, a short `name` and a
    one-sentence `summary` (SARIF writes them as the tool's rules)."""

    code: str
    name: str
    summary: str
    severity: Severity = "error"


#: The rules by code. Reading and parsing have codes of their own (E for
#: errors, W for warnings), apart from the lint rule catalogue (DAX001 ...),
#: whose rules the linter adds before it reports.
RULES: dict[str, Rule] = {
    rule.code: rule
    for rule in (
        Rule("E001", "lex-error", "A character or literal that DAX cannot read."),
        Rule("E002", "syntax-error", "DAX that does not follow the grammar of a formula or query."),
        Rule("E003", "unreadable-input", "A file or folder that cannot be read, or a path with nothing to check."),
        Rule("E004", "unreadable-model", "A model file that cannot be read as TMSL JSON or TMDL."),
        Rule("W001", "model-warning", "Something in a model file that reads, but perhaps not as its author meant.",
             "warning"),
        Rule("E005", "bad-configuration", "A configuration file that cannot be read or says what cannot be done."),
        Rule("E007", "unreadable-report", "A report file or folder that cannot be read, or a part of a report missing."),
        Rule("W003", "report-warning", "Something in a report file that reads, but perhaps not as its author meant.",
             "warning"),
        Rule("E009", "argument-count", "A function call with more or fewer arguments than the function takes."),
        Rule("E010", "argument-kind",
             "A literal or computed value where a function takes a column, a table or a reference."),
        Rule("W005", "calls-not-checked",
             "A DAX file too large for its function calls to be checked against the functions' signatures.",
             "warning"),
        Rule("E011", "duplicate-name",
             "A model object named as another of its model, table or calculation group, but for case: the engine"
             " compares names without regard to case and will not deploy the model."),
        Rule("E012", "missing-object",
             "A relationship, role permission, hierarchy level or sort-by column that names a table or column the"
             " model does not have."),
    )
}

_KIND_CODES = {
    "lex": "E001", "parse": "E002", "read": "E003", "path": "E003", "model": "E004", "config": "E005", "report": "E007",
}

#: The kinds of findings that come from a rule catalogue (the lint rules'
#: categories): the text format names their rule's code, which is what a
#: reader needs to look a rule up or to silence it.
RULE_KINDS = frozenset({"correctness", "performance", "maintainability", "style"})

# Formula kinds that belong to another object and name it: "KPI target of 'Sales'[Margin]".
_ATTACHED = {
    "multiple or empty selection expression", "no selection expression", "format string definition",
    "detail rows definition", "KPI target", "KPI status", "KPI trend",
}


def object_phrase(object_kind: str, name: str) -> str:
    """The kind and the object as a reader says them: "measure 'Sales'[Total]",
    "KPI target of 'Sales'[Margin]"."""
    return object_kind + (" of " if object_kind in _ATTACHED else " ") + name


# --- the diagnostic -----------------------------------------------------------


@dataclass(frozen=True)
class Diagnostic:
    """One finding. `start` and `end` are byte offsets of the UTF-8 text that
    was checked; the line and column pairs are 1-based character positions
    of the same span in the file `path` (for a formula of a model file: in
    that file), `end_line`/`end_column` pointing just past its last
    character. Line 0 means the finding concerns no one place (a file that
    cannot be read).

    `kind` says what was found: "lex" and "parse" errors of DAX text,
    "read" (a file or folder that cannot be read), "path" (a path with
    nothing to check), "model" (a model file that cannot be read in full, or
    a warning about one), "report" (the same for a report file), "config"
    (a configuration file that cannot be used); the linter's findings have their rule's category (`RULE_KINDS`);
    other tools bring their own. `code` is the rule's
    code (by default the kind's, see `RULES`). `object` and `object_kind`
    name the model object a formula belongs to (`'Sales'[Margin]`,
    `measure`)."""

    kind: str
    message: str
    start: int
    end: int
    line: int
    column: int
    end_line: int
    end_column: int
    #: The source line that `render` shows (cut to a window around the span
    #: when long), kept so that rendering works after the source is gone
    #: (for example in another process).
    source_line: str = field(repr=False, default="")
    path: str | None = None
    severity: Severity = "error"
    code: str = ""
    hint: str | None = None
    object: str | None = None
    object_kind: str | None = None
    #: The 1-based columns of `source_line` that the carets mark (the last
    #: exclusive); None: `column` to `end_column` on a one-line span, else to
    #: the end of the line.
    mark: tuple[int, int] | None = field(repr=False, default=None)

    def __post_init__(self) -> None:
        if not self.code:
            object.__setattr__(self, "code", _KIND_CODES.get(self.kind, ""))

    @classmethod
    def from_error(
        cls, error: ValueError | str, source: str, *, path: str | None = None, hint: str | None = None
    ) -> Diagnostic:
        """The diagnostic of an error the module raised while reading
        `source`. An error at the very end of input that follows line ends
        is placed just past the last character that is not white space, so
        that it points at the last line rather than at an empty one."""
        kind, message, start, end = split_error(str(error))
        index = LineIndex(source)
        data = index.data
        # Clamped: a span is never past the input, but a diagnostic built from
        # a stale message and a changed source must not fail.
        start = min(start, len(data))
        end = min(max(end, start), len(data))
        if start == end == len(data):
            last = len(data.rstrip())
            if b"\n" in data[last:]:
                start = end = last
        line, column = index.position(start)
        end_line, end_column = index.position(end)
        text = index.line_text(line)
        shown, mark = _window(text, column, end_column if end_line == line else len(text) + 1)
        return cls(kind, message, start, end, line, column, end_line, end_column, shown, path=path, hint=hint,
                   mark=None if shown is text else mark)

    @classmethod
    def at(cls, source: str | LineIndex, start: int, end: int, kind: str, message: str, **fields: Any) -> Self:
        """A finding about bytes `start` to `end` of the checked text `source`
        (or its LineIndex, built once for many findings in one text); other
        fields by keyword."""
        index = source if isinstance(source, LineIndex) else LineIndex(source)
        line, column = index.position(start)
        end_line, end_column = index.position(end)
        text = index.line_text(line)
        shown, mark = _window(text, column, end_column if end_line == line else len(text) + 1)
        return cls(kind, message, start, end, line, column, end_line, end_column, shown,
                   mark=None if shown is text else mark, **fields)

    @classmethod
    def for_path(
        cls,
        kind: str,
        message: str,
        path: str,
        line: int = 0,
        column: int = 0,
        *,
        severity: Severity = "error",
        code: str = "",
        hint: str | None = None,
    ) -> Diagnostic:
        """A diagnostic about a file or folder as a whole, or about one place
        in it (`line` and `column`, 0 when unknown) with no span in checked
        text: a file that cannot be read, a malformed model file."""
        end_column = column
        return cls(kind, message, 0, 0, line, column, line, end_column, path=path, severity=severity, code=code,
                   hint=hint)

    def relocated(self, path: str, start: tuple[int, int], end: tuple[int, int], **changes: Any) -> Self:
        """The same finding placed at (line, column) `start` to `end` of the
        file `path`, for text that sits inside a larger file (a formula in a
        model file); the excerpt goes on marking the text's own line. Other
        fields may be changed by keyword."""
        if self.mark is not None:
            mark = self.mark
        else:
            last = self.end_column if self.end_line == self.line else len(self.source_line) + 1
            mark = (self.column, last)
        return replace(self, path=path, line=start[0], column=start[1], end_line=end[0], end_column=end[1],
                       mark=mark, **changes)

    @property
    def located(self) -> bool:
        """Whether the diagnostic has a line (and a span)."""
        return self.line > 0

    @property
    def spanned(self) -> bool:
        """Whether `start` and `end` are a span of checked text."""
        return bool(self.source_line) or self.mark is not None or self.kind in ("lex", "parse")

    def where(self, path: str | None = None) -> str:
        """"path:line:column", "path:line" or "path", as much as is known."""
        shown = self.path if path is None else path
        where = shown if shown is not None else "<unknown>"
        if self.line > 0:
            where += f":{self.line}"
            if self.column > 0:
                where += f":{self.column}"
        return where

    def header(self, path: str | None = None) -> str:
        """The first line of `render`: "path:line:column: kind error: message",
        and the rule's code in brackets for a finding of a rule catalogue."""
        code = f" [{self.code}]" if self.kind in RULE_KINDS else ""
        return f"{self.where(path)}: {self.kind} {self.severity}: {self.message}{code}"

    def caret_line(self) -> str:
        """Carets under the span on its first line, at least one; a span that
        continues on later lines is marked to the end of this one. The padding
        keeps the line's tabs so that the carets line up under any tab width."""
        if self.mark is not None:
            first, last = self.mark
        else:
            first = self.column
            last = self.end_column if self.end_line == self.line else len(self.source_line) + 1
        before = self.source_line[: first - 1]
        padding = "".join("\t" if c == "\t" else " " * _width(c) for c in before)
        width = sum(_width(c) for c in self.source_line[first - 1 : last - 1])
        return padding + "^" * max(1, width)

    def excerpt(self) -> str:
        """The source line and the caret line, without a final line feed.
        Control characters of the source line (but tabs) show as U+FFFD, one
        column each, so that they cannot move the cursor or ring the
        terminal's bell."""
        shown = _CONTROL.sub("\ufffd", self.source_line)
        return f"{shown}\n{self.caret_line()}"

    def render(self, path: str | None = None, *, colour: bool = False) -> str:
        """The header, the object a model formula belongs to, `excerpt` when
        the diagnostic points into checked text, and the hint; without a
        final line feed. With `colour`, in the ANSI styles of a terminal."""
        if colour:
            return self._render_in_colour(path)
        lines = [self.header(path)]
        if self.object is not None and self.object_kind is not None:
            lines.append("  in " + object_phrase(self.object_kind, self.object))
        if self.spanned and self.located:
            lines.append(self.excerpt())
        if self.hint:
            lines.append("  hint: " + self.hint)
        return "\n".join(lines)

    def _render_in_colour(self, path: str | None) -> str:
        tone = _SEVERITY_COLOURS[self.severity]
        code = " " + paint(f"[{self.code}]", "dim") if self.kind in RULE_KINDS else ""
        lines = [paint(self.where(path), "bold") + ": " + paint(f"{self.kind} {self.severity}", "bold", tone)
                 + ": " + paint(self.message, "bold") + code]
        if self.object is not None and self.object_kind is not None:
            lines.append("  in " + object_phrase(self.object_kind, self.object))
        if self.spanned and self.located:
            lines.append(_CONTROL.sub("\ufffd", self.source_line))
            lines.append(paint(self.caret_line(), tone, "bold"))
        if self.hint:
            lines.append("  " + paint("hint:", "cyan", "bold") + " " + self.hint)
        return "\n".join(lines)

    def to_dict(self, path: str | None = None) -> dict[str, Any]:
        """The fields a machine reads, with the file's path first: the object
        (for a model formula), kind, message, the span and its positions
        (null where unknown), severity, code and hint."""
        record: dict[str, Any] = {"path": self.path if path is None else path}
        if self.object is not None:
            record["object"] = self.object
            record["object_kind"] = self.object_kind
        spanned = self.spanned
        located = self.located
        record.update(
            kind=self.kind,
            message=self.message,
            start=self.start if spanned else None,
            end=self.end if spanned else None,
            line=self.line if located else None,
            column=self.column if located and self.column else None,
            end_line=self.end_line if located else None,
            end_column=self.end_column if located and self.end_column else None,
            severity=self.severity,
            code=self.code,
            hint=self.hint,
        )
        return record


# --- writers ------------------------------------------------------------------

Output = Callable[[str], None]


class Writer:
    """Writes diagnostics in one format as they come, then the summary.
    `out` takes what belongs on standard output, `err` what belongs on
    standard error. Every format writes all its diagnostics on standard
    output, also about input that cannot be read, and the summary on
    standard error."""

    #: Kinds that are about the input rather than the DAX in it.
    INPUT_KINDS = frozenset({"read", "path", "model", "config", "report"})

    def __init__(self, out: Output, err: Output, program: str = "quarrow-dax") -> None:
        self.out = out
        self.err = err
        self.program = program

    def add(self, diagnostic: Diagnostic) -> None:
        raise NotImplementedError

    def finish(self, summary: str, successful: bool = True) -> None:
        """Writes the summary (lines that end with a line feed), and for a
        format written as one document, the document. `successful`: whether
        the run could look at everything it was given."""
        self.err(summary)


class TextWriter(Writer):
    """The text a person reads: `Diagnostic.render`, also for what is wrong
    with the input, all on standard output (so that `> report.txt` keeps
    everything); the summary on standard error. `colour`: in the styles of
    a terminal; `show_fixes`: a finding that proposes a fix says what it is."""

    def __init__(self, out: Output, err: Output, program: str = "quarrow-dax", *, colour: bool = False,
                 show_fixes: bool = False) -> None:
        super().__init__(out, err, program)
        self.colour = colour
        self.show_fixes = show_fixes

    def add(self, diagnostic: Diagnostic) -> None:
        if diagnostic.kind == "read":
            # A decoding error's message names its line and column itself.
            self.out(f"{self.program}: cannot read {diagnostic.path}: {diagnostic.message}\n")
        elif diagnostic.kind == "path":
            hint = f"\n  hint: {diagnostic.hint}" if diagnostic.hint else ""
            self.out(f"{self.program}: {diagnostic.path}: {diagnostic.message}{hint}\n")
        else:
            text = diagnostic.render(colour=self.colour)
            fix = getattr(diagnostic, "fix", None) if self.show_fixes else None
            if fix is not None:
                kind = "safe fix" if fix.safe else "unsafe fix (--unsafe-fixes)"
                text += f"\n  {paint(kind + ':', 'green', 'bold') if self.colour else kind + ':'} {fix.description}"
            self.out(text + "\n")


class GccWriter(Writer):
    """One line per diagnostic as gcc and clang write them,
    ``path:line:column: error: message [code]``, which editors' problem
    matchers (VS Code's $gcc, Emacs' compilation mode, Vim's errorformat)
    read; a hint follows as a ``note:`` at the same place."""

    def add(self, diagnostic: Diagnostic) -> None:
        message = diagnostic.message
        if diagnostic.object is not None and diagnostic.object_kind is not None:
            message += f" (in {object_phrase(diagnostic.object_kind, diagnostic.object)})"
        if diagnostic.located:
            where = diagnostic.where()
            if diagnostic.column <= 0:
                where += ":1"
        else:
            where = f"{self.program}"
            message = f"{diagnostic.path}: {message}"
        lines = f"{where}: {diagnostic.severity}: {_one_line(message)} [{diagnostic.code}]\n"
        if diagnostic.hint:
            lines += f"{where}: note: {_one_line(diagnostic.hint)}\n"
        self.out(lines)


def _one_line(text: str) -> str:
    return text.replace("\r", "\\r").replace("\n", "\\n")


class JsonLinesWriter(Writer):
    """One compact JSON object per diagnostic and line: `Diagnostic.to_dict`."""

    def add(self, diagnostic: Diagnostic) -> None:
        self.out(json.dumps(diagnostic.to_dict(), ensure_ascii=False, separators=(",", ":")) + "\n")


def _github_data(text: str) -> str:
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def _github_property(text: str) -> str:
    return _github_data(text).replace(":", "%3A").replace(",", "%2C")


def github_command(command: str, properties: list[tuple[str, str]], message: str) -> str:
    """One GitHub Actions workflow command line, ``::command name=value,...::message``,
    with its properties and message escaped as the runner reads them."""
    head = ",".join(f"{name}={_github_property(value)}" for name, value in properties)
    return f"::{command} {head}::{_github_data(message)}\n"


class GitHubWriter(Writer):
    """GitHub Actions workflow commands, one per diagnostic:
    ``::error file=…,line=…,col=…,endLine=…,endColumn=…,title=…::message``,
    which the runner turns into annotations on the pull request."""

    COMMANDS = {"error": "error", "warning": "warning", "note": "notice"}

    def add(self, diagnostic: Diagnostic) -> None:
        title = f"{diagnostic.code} {diagnostic.kind} {diagnostic.severity}"
        if diagnostic.object is not None and diagnostic.object_kind is not None:
            title += f" in {object_phrase(diagnostic.object_kind, diagnostic.object)}"
        properties = [("file", diagnostic.path or "")]
        if diagnostic.located:
            properties.append(("line", str(diagnostic.line)))
            if diagnostic.column > 0:
                properties.append(("col", str(diagnostic.column)))
            properties.append(("endLine", str(diagnostic.end_line)))
            if diagnostic.end_column > 0:
                properties.append(("endColumn", str(diagnostic.end_column)))
        properties.append(("title", title))
        message = diagnostic.message + (f"\nhint: {diagnostic.hint}" if diagnostic.hint else "")
        self.out(github_command(self.COMMANDS[diagnostic.severity], properties, message))


SARIF_SCHEMA = "https://docs.oasis-open.org/sarif/sarif/v2.1.0/errata01/os/schemas/sarif-schema-2.1.0.json"


def _artifact_uri(path: str) -> str:
    """A URI reference for a path: relative paths stay relative (GitHub
    code scanning resolves them against the repository), absolute ones
    become file URIs."""
    pure = PurePath(path)
    if pure.is_absolute():
        return pure.as_uri()
    return urllib.parse.quote(pure.as_posix())


class SarifWriter(Writer):
    """One SARIF 2.1.0 log, written when the run finishes: the tool with its
    rules, and one result per diagnostic with its region in the file that
    holds the text (in a model file for a model's formula). Columns count
    Unicode code points (`columnKind`)."""

    LEVELS = {"error": "error", "warning": "warning", "note": "note"}

    def __init__(
        self, out: Output, err: Output, program: str = "quarrow-dax", version: str = "",
        rules: Mapping[str, Rule] | None = None,
    ) -> None:
        super().__init__(out, err, program)
        self.version = version
        self.rules = RULES if rules is None else rules
        self.results: list[dict[str, Any]] = []

    def add(self, diagnostic: Diagnostic) -> None:
        codes = list(self.rules)
        text = diagnostic.message + (f"\nhint: {diagnostic.hint}" if diagnostic.hint else "")
        result: dict[str, Any] = {"ruleId": diagnostic.code}
        if diagnostic.code in self.rules:
            result["ruleIndex"] = codes.index(diagnostic.code)
        result["level"] = self.LEVELS[diagnostic.severity]
        result["message"] = {"text": text}
        physical: dict[str, Any] = {"artifactLocation": {"uri": _artifact_uri(diagnostic.path or "")}}
        if diagnostic.located:
            region: dict[str, Any] = {"startLine": diagnostic.line}
            if diagnostic.column > 0:
                region["startColumn"] = diagnostic.column
                region["endLine"] = diagnostic.end_line
                region["endColumn"] = max(diagnostic.end_column, diagnostic.column)
            physical["region"] = region
        location: dict[str, Any] = {"physicalLocation": physical}
        if diagnostic.object is not None:
            location["logicalLocations"] = [
                {"fullyQualifiedName": diagnostic.object, "kind": diagnostic.object_kind or "object"}
            ]
        result["locations"] = [location]
        self.results.append(result)

    def finish(self, summary: str, successful: bool = True) -> None:
        rules = [
            {
                "id": rule.code,
                "name": rule.name,
                "shortDescription": {"text": rule.summary},
                "defaultConfiguration": {"level": self.LEVELS[rule.severity]},
            }
            for rule in self.rules.values()
        ]
        driver: dict[str, Any] = {"name": self.program, "rules": rules}
        if self.version:
            driver["version"] = self.version
        log = {
            "$schema": SARIF_SCHEMA,
            "version": "2.1.0",
            "runs": [{
                "tool": {"driver": driver},
                "invocations": [{"executionSuccessful": successful}],
                "columnKind": "unicodeCodePoints",
                "results": self.results,
            }],
        }
        self.out(json.dumps(log, ensure_ascii=False, indent=2) + "\n")
        self.err(summary)


_SEVERITY_COLOURS = {"error": "red", "warning": "yellow", "note": "cyan"}

#: The output formats by name.
FORMATS: dict[str, type[Writer]] = {
    "text": TextWriter,
    "gcc": GccWriter,
    "json": JsonLinesWriter,
    "github": GitHubWriter,
    "sarif": SarifWriter,
}


def writer_for(
    name: str, out: Output, err: Output, program: str = "quarrow-dax", version: str = "", *, colour: bool = False,
    show_fixes: bool = False,
) -> Writer:
    """The writer of format `name` (a key of FORMATS); `colour` and
    `show_fixes` concern the text format only."""
    if name == "sarif":
        return SarifWriter(out, err, program, version)
    if name == "text":
        return TextWriter(out, err, program, colour=colour, show_fixes=show_fixes)
    return FORMATS[name](out, err, program)
