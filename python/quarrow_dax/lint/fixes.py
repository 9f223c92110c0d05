"""Applying the fixes that lint findings propose, as `quarrow-dax lint --fix`
does: to a text, a DAX file or every formula of a model.

    from quarrow_dax.lint.fixes import fix_text

    fixed = fix_text("VAR unused = 1 RETURN SUMX ( Sales, Sales[Amount] )")
    print(fixed.text)   # SUM ( Sales[Amount] )

Each fix replaces the text of a span by a node, or deletes it. Only the
spans change: a replacement that is a node of the original tree keeps its
text as written; one built by a rule is printed by the formatter
(`quarrow_dax.formatter.format_tree`) with the comments that were inside the
span, and spliced in, its line breaks indented like the line it starts on;
a deletion keeps the comments it held and takes an emptied line with it.
Everything else keeps every byte: laying out whole formulas is the job of
`quarrow-dax format`.

Fixes whose spans overlap are not applied together: the outermost wins,
and the others are proposed again, if they still apply, by linting the
result. Each round's result is read again and must give the tree that the
edits describe, with every comment still there in the same order; a fix
that would not is left unapplied and reported (an internal fault). Rounds
go on until no fix is left to apply, at most `MAX_ROUNDS` of them.

A DAX file is written back with its byte-order mark, encoding and line ends;
a model file as the formatter writes it (`quarrow_dax.model.writing`): the
fixed formulas' texts replaced, every other byte kept, the result read back
as a model before it is handed out, and written atomically.
"""

from __future__ import annotations

import bisect
import dataclasses
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

from .. import collector
from ..check import (
    CheckOptions, display_path, model_problem, model_resolver, read_source, separator_diagnostic, source_kind,
)
from ..diagnostics import Diagnostic
from ..formatter import FormatError, FormatOptions, format_tree, same_tree
from ..formatter.files import FileResult
from ..model import Formula, ModelError, ModelWarning, load_model
from ..model.writing import read_back_problem, rewrite_formulas
from ..sources import SourceError, line_end, read_file, text_encoding
from ..syntax import Expr, Node, Paren, ParseError, Span, Token, tokenize
from ..syntax.copying import shifted
from ..syntax.separators import SeparatorError, refuse_semicolons
from ..syntax.tokens import COMMENT_KINDS
from ..writeback import Original
from .config import LintConfig
from .context import FormulaKind
from .engine import Finding, lint_text, lint_tree, linted_formulas, parse_formula, parse_text
from .rule import Edit, Fix

__all__ = ["FixError", "FixedFile", "FixedText", "MAX_ROUNDS", "apply_fixes", "fix_dax_file", "fix_model", "fix_text", "settle"]

#: Rounds of fixing before a text is left as it is: a fix may make another
#: finding (a column written with its table, then SUMX over it is SUM), but
#: two or three rounds settle every formula seen so far.
MAX_ROUNDS = 10

# The narrowest line a printed replacement is laid out for, however far
# to the right it starts.
_MIN_WIDTH = 40


class FixError(Exception):
    """Edits that would not give the text they describe: an internal fault
    of a rule's fix or of the splicing, never of the input."""


@dataclass
class FixedText:
    """What fixing one text did: its final `text`, the findings whose fixes
    were `applied` (each placed in the text of its round), the `findings`
    of the final text, and the fixes `refused` because their result would
    not read back as meant."""

    text: str
    applied: list[Finding] = field(default_factory=list)
    findings: list[Diagnostic] = field(default_factory=list)
    refused: list[Finding] = field(default_factory=list)
    #: Why no fix was made at all: the text separates arguments with `;`
    #: in the comma convention, where a fix would write `,`.
    blocked: SeparatorError | None = None


@dataclass
class FixedFile(FileResult):
    """A file (a DAX file or a model file) with the fixes made: `after` is
    its new text (None when nothing could be done), `fixed` the codes of
    the findings fixed, one per finding. For a DAX file, `findings` are
    those its fixed text still has; for a model file they are found by
    linting the model again."""

    fixed: list[str] = field(default_factory=list)
    findings: list[Diagnostic] = field(default_factory=list)


def _wanted(finding: Diagnostic, unsafe: bool) -> Fix | None:
    fix = finding.fix if isinstance(finding, Finding) else None
    return fix if fix is not None and fix.edits and (fix.safe or unsafe) else None


class _RefusalKeys:
    """What identifies a fix across rounds: its rule, its words and the text
    it replaces (whose place moves as other fixes change the text). The
    texts of one round are cut once per span: the many findings of one
    block propose edits of one span, often the whole text."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.texts: dict[tuple[int, int], bytes] = {}

    def __call__(self, finding: Finding) -> tuple[str, str, bytes]:
        assert finding.fix is not None
        span = finding.fix.edits[0].span
        key = (span.start, span.end)
        text = self.texts.get(key)
        if text is None:
            text = self.texts[key] = self.data[span.start : span.end]
        return finding.code, finding.fix.description, text


def settle(
    text: str,
    tree: Node,
    lint: Callable[[str, Node], list[Diagnostic]],
    parse: Callable[[str], Node],
    options: FormatOptions,
    *,
    unsafe: bool = False,
) -> FixedText:
    """Applies the fixes of what `lint` finds in `text` (read into `tree`)
    round after round, until none is left or after MAX_ROUNDS. `parse` reads
    a text as `text` was read; `unsafe`: the fixes to review are made too."""
    with collector.paused():  # see quarrow_dax.collector
        return _settle(text, tree, lint, parse, options, unsafe)


def _settle(
    text: str,
    tree: Node,
    lint: Callable[[str, Node], list[Diagnostic]],
    parse: Callable[[str], Node],
    options: FormatOptions,
    unsafe: bool,
) -> FixedText:
    outcome = FixedText(text)
    refused: set[tuple[str, str, bytes]] = set()
    findings = lint(text, tree)
    try:
        refuse_semicolons(text, options.separators, "fixed")
    except SeparatorError as error:
        outcome.findings, outcome.blocked = findings, error
        return outcome
    for _ in range(MAX_ROUNDS):
        refusal_key = _RefusalKeys(text.encode("utf-8"))
        candidates = [f for f in findings if isinstance(f, Finding) and _wanted(f, unsafe)
                      and not (refused and refusal_key(f) in refused)]
        if not candidates:
            break
        before = text
        try:
            text, tree, used = apply_fixes(text, tree, candidates, parse, options)
        except FixError:
            # Together they fail: the first that reads back alone is kept, and
            # those before it are refused for good.
            for candidate in candidates:
                try:
                    text, tree, used = apply_fixes(text, tree, [candidate], parse, options)
                    break
                except FixError:
                    outcome.refused.append(candidate)
                    refused.add(refusal_key(candidate))
            else:
                break
        if text == before:
            break  # a fix that changes nothing would be proposed again and again
        outcome.applied += used
        findings = lint(text, tree)
    outcome.text = text
    outcome.findings = findings
    return outcome


# --- one round -------------------------------------------------------------------


def _overlap(a: Span, b: Span) -> bool:
    return a.start < b.end and b.start < a.end


def _choose(findings: Sequence[Finding]) -> tuple[list[Edit], list[Finding]]:
    """The edits of as many fixes as do not overlap, the outermost first;
    the same edit proposed by several findings (every dead variable of a
    block replaces the block by its RETURN expression) is made once."""
    def order(finding: Finding) -> tuple[int, int]:
        assert finding.fix is not None
        return (min(edit.span.start for edit in finding.fix.edits),
                -max(edit.span.end for edit in finding.fix.edits))

    chosen = _Chosen()
    used: list[Finding] = []
    for finding in sorted(findings, key=order):
        assert finding.fix is not None
        fresh: list[Edit] = []
        for edit in finding.fix.edits:
            clash = chosen.overlapping(edit.span) + [other for other in fresh if _overlap(edit.span, other.span)]
            if any(other.span != edit.span or other.replacement != edit.replacement for other in clash):
                break
            if not clash:
                fresh.append(edit)
        else:
            for edit in fresh:
                chosen.add(edit)
            used.append(finding)
    return chosen.edits, used


class _Chosen:
    """The edits chosen so far, none overlapping another, in order of
    place: sorted by (start, end), their ends then never decrease, so the
    edits that overlap a span are found by bisection, not by a scan of all
    (a text with thousands of fixes)."""

    def __init__(self) -> None:
        self.edits: list[Edit] = []
        self.keys: list[tuple[int, int]] = []
        self.starts: list[int] = []

    def overlapping(self, span: Span) -> list[Edit]:
        found = []
        index = bisect.bisect_left(self.starts, span.end) - 1  # the last that starts before the span ends
        while index >= 0 and self.keys[index][1] > span.start:
            if _overlap(span, self.edits[index].span):
                found.append(self.edits[index])
            index -= 1
        return found

    def add(self, edit: Edit) -> None:
        key = (edit.span.start, edit.span.end)
        index = bisect.bisect_right(self.keys, key)
        self.keys.insert(index, key)
        self.starts.insert(index, key[0])
        self.edits.insert(index, edit)


def apply_fixes(
    text: str,
    tree: Node,
    findings: Sequence[Finding],
    parse: Callable[[str], Node],
    options: FormatOptions,
) -> tuple[str, Node, list[Finding]]:
    """`text` with the fixes of `findings` that do not overlap made (see
    `_choose`), its tree, and the findings fixed. Raises FixError when the
    result would not read as `tree` with the edits made, or would lose or
    reorder a comment."""
    edits, used = _choose(findings)
    splicer = _Splicer(text, options)
    new_text = splicer.splice(edits)
    try:
        new_tree = parse(new_text)
    except ParseError as error:
        raise FixError(f"the fixed text does not parse: {error}") from None
    if not same_tree(new_tree, _edited(tree, edits)):
        raise FixError("the fixed text does not read as the edited tree")
    if _comments(new_text, options) != splicer.comment_texts():
        raise FixError("the fixed text loses or reorders a comment")
    return new_text, new_tree, used


def _comment_tokens(text: str, options: FormatOptions) -> list[Token]:
    if "--" not in text and "//" not in text and "/*" not in text:
        return []  # no comment: nothing to tokenize
    return [token for token in tokenize(text, comments=True, separators=options.separators)
            if token.kind in COMMENT_KINDS]


def _comments(text: str, options: FormatOptions) -> list[str]:
    return [_comment_text(token) for token in _comment_tokens(text, options)]


def _comment_text(token: Token) -> str:
    return token.text if token.kind == "BlockComment" else token.text.rstrip()


class _Splicer:
    """Makes a round's edits in one text."""

    def __init__(self, text: str, options: FormatOptions) -> None:
        self.text = text
        self.data = text.encode("utf-8")
        self.options = options
        self.comments = _comment_tokens(text, options)
        self.comment_starts = [_at(token).start for token in self.comments]
        self._sources: dict[int, tuple[bytes, bool]] = {}
        self.newline = line_end(text)

    def comment_texts(self) -> list[str]:
        return [_comment_text(token) for token in self.comments]

    def is_own_source(self, source: bytes) -> bool:
        """Whether `source` (of a node) is this text: compared once per
        source object, which every node read from one text shares."""
        known = self._sources.get(id(source))
        if known is None:
            known = self._sources[id(source)] = (source, source == self.data)
        return known[1]

    def splice(self, edits: list[Edit]) -> str:
        data = self.data
        pieces: list[bytes] = []
        position = 0
        for index, edit in enumerate(edits):
            limit = edits[index + 1].span.start if index + 1 < len(edits) else len(data)
            if edit.replacement is None:
                start, end, new = self.deletion(edit.span, position, limit)
            else:
                start, end = edit.span
                new = self.replacement(edit.replacement, edit.span)
            pieces += [data[position:start], new.encode("utf-8")]
            position = end
        pieces.append(data[position:])
        return b"".join(pieces).decode("utf-8")

    # --- pieces of the text ------------------------------------------------------

    def comments_in(self, start: int, end: int) -> list[Token]:
        first = bisect.bisect_left(self.comment_starts, start)
        last = bisect.bisect_right(self.comment_starts, end)
        return [token for token in self.comments[first:last] if _at(token).end <= end]

    def line_start(self, offset: int) -> int:
        return self.data.rfind(b"\n", 0, offset) + 1

    def indentation(self, offset: int) -> str:
        """The white space that begins the line holding `offset`."""
        start = self.line_start(offset)
        line = self.data[start:offset].decode("utf-8")
        return line[: len(line) - len(line.lstrip(" \t"))]

    def with_comments(self, comments: list[Token], indent: str, before: bool) -> str:
        """Comments to put before (or after) a piece: a line comment ends its
        line, a block comment is set off by a space."""
        out = []
        for token in comments:
            text = _comment_text(token)
            if token.kind == "BlockComment":
                out.append(text + " " if before else " " + text)
            else:
                out.append(text + self.newline + indent if before else " " + text + self.newline + indent)
        return "".join(out)

    # --- edits --------------------------------------------------------------------

    def deletion(self, span: Span, floor: int, limit: int) -> tuple[int, int, str]:
        """(start, end, new text) of a deletion: the comments inside the span
        stay; a line left empty goes whole; otherwise the white space after
        the span goes with it. Never before `floor` nor past `limit`."""
        data = self.data
        start, end = span
        kept = self.comments_in(start, end)
        indent = self.indentation(start)
        if kept:
            return start, end, self.with_comments(kept, indent, before=True).rstrip(" ")
        line_start = self.line_start(start)
        line_end = data.find(b"\n", end)
        line_end = len(data) if line_end < 0 else line_end
        alone = not data[line_start:start].strip(b" \t") and not data[end:line_end].strip(b" \t\r")
        if alone and floor <= line_start and line_end < limit:
            return line_start, line_end + 1, ""
        after = end
        while after < limit and data[after : after + 1] in (b" ", b"\t"):
            after += 1
        if after < len(data) and data[after : after + 1] not in (b"\r", b"\n"):
            return start, after, ""
        # At the end of its line: the white space before it goes instead.
        while start > floor and data[start - 1 : start] in (b" ", b"\t"):
            start -= 1
        return start, after, ""

    def replacement(self, node: Node, span: Span) -> str:
        """The text that replaces `span`: an original node's own text, with
        the other comments of the span around it; a node built by a rule as
        the formatter prints it."""
        indent = self.indentation(span.start)
        inner: Node | None = None
        opening = closing = ""
        if node.span is not None:
            inner = node
        elif isinstance(node, Paren):  # parentheses a rule put around a node of the tree
            inner, opening, closing = node.expr, "( ", " )"
        place = inner.span if inner is not None else None
        if place is not None and span.start <= place.start <= place.end <= span.end:
            before = self.comments_in(span.start, place.start)
            after = self.comments_in(place.end, span.end)
            own = self.data[place.start : place.end].decode("utf-8")
            return (self.with_comments(before, indent, before=True) + opening + own + closing
                    + self.with_comments(after, indent, before=False))
        return self.printed(node, span, indent)

    def printed(self, node: Node, span: Span, indent: str) -> str:
        if not isinstance(node, Expr):
            raise FixError(f"a fix replaces text by a {type(node).__name__}, which is no expression")
        data = self.data
        column = len(data[self.line_start(span.start) : span.start].decode("utf-8"))
        options = dataclasses.replace(self.options, width=max(self.options.width - column, _MIN_WIDTH))
        # The formatter sees only the span's text, so that exactly the
        # comments inside it are printed: the node, its positions moved into
        # that text, is printed with it (not with the whole text each time,
        # which would make a text of many fixes cost its square).
        window = data[span.start : span.end]
        moved = shifted(node, window, span.start, self.is_own_source)
        if moved is not None:
            node, source = moved, window.decode("utf-8")
        else:
            source = (b" " * span.start + data[span.start : span.end] + b" " * (len(data) - span.end)).decode("utf-8")
        assert isinstance(node, Expr)
        try:
            printed = format_tree(node, source, kind="expression", options=options, name="a fix")
        except (FormatError, ParseError) as error:
            raise FixError(str(error)) from None
        if "\n" not in printed:
            return printed
        # Line breaks between tokens are the formatter's: they take the
        # line's indentation (and line end); those inside strings and
        # comments are part of them.
        out = []
        position = 0
        encoded = printed.encode("utf-8")
        for token in tokenize(printed, comments=True, separators=self.options.separators):
            start, end = _at(token)
            out.append(encoded[position:start].decode("utf-8").replace("\n", self.newline + indent))
            out.append(encoded[start:end].decode("utf-8"))
            position = end
        out.append(encoded[position:].decode("utf-8").replace("\n", self.newline + indent))
        return "".join(out)


def _at(token: Token) -> Span:
    span = token.span
    assert span is not None  # a token read from text has its place
    return span


# --- the tree the edits describe ---------------------------------------------------

_GONE = object()


def _edited(tree: Node, edits: Sequence[Edit]) -> Node:
    """`tree` with each edit made: the outermost node at the edit's span
    replaced by the edit's node, or taken out (of a list, or set to None).
    Iterative: nodes are rebuilt bottom up."""
    wanted = {(edit.span.start, edit.span.end): edit.replacement for edit in edits}
    swaps: dict[int, Node | None] = {}
    claimed: set[tuple[int, int]] = set()
    stack = [tree]
    while stack and len(claimed) < len(wanted):
        node = stack.pop()
        span = node.span
        key = (span.start, span.end) if span is not None else None
        if key is not None and key in wanted and key not in claimed:
            claimed.add(key)
            swaps[id(node)] = wanted[key]
            continue
        stack.extend(reversed(node.children()))
    if len(claimed) < len(wanted):
        raise FixError("an edit's span is no node of the tree")
    done: dict[int, object] = {}
    work: list[tuple[Node, bool]] = [(tree, False)]
    while work:
        node, ready = work.pop()
        if id(node) in swaps:
            replacement = swaps[id(node)]
            done[id(node)] = _GONE if replacement is None else replacement
            continue
        if not ready:
            work.append((node, True))
            work.extend((child, False) for child in node.children())
            continue
        changes = {}
        for name in node._fields:
            value = getattr(node, name)
            new = _rebuilt(value, done)
            if new is not value:
                changes[name] = None if new is _GONE else new
        try:
            done[id(node)] = dataclasses.replace(node, **changes) if changes else node  # type: ignore[type-var]
        except (TypeError, ValueError) as error:
            # An edit that leaves a node DAX cannot spell (the last VAR of a
            # block taken out, say) refuses the fixes of the round.
            raise FixError(str(error)) from None
    result = done[id(tree)]
    if not isinstance(result, Node):
        raise FixError("a fix deletes the whole text")
    return result


def _rebuilt(value: object, done: dict[int, object]) -> object:
    if isinstance(value, Node):
        return done.get(id(value), value)
    if isinstance(value, tuple):
        items = tuple(item for item in (_rebuilt(item, done) for item in value) if item is not _GONE)
        return value if len(items) == len(value) and all(a is b for a, b in zip(items, value)) else items
    return value


# --- texts and files ---------------------------------------------------------------


def _format_options(options: CheckOptions) -> FormatOptions:
    return FormatOptions(separators=options.separators, grammar=options.grammar)


def fix_text(
    text: str,
    *,
    kind: FormulaKind | None = None,
    path: str | None = None,
    options: CheckOptions | None = None,
    config: LintConfig | None = None,
    unsafe: bool = False,
) -> FixedText:
    """`text` with the fixes of its findings made, read as `kind` (None: by
    its first word, as `lint_text` reads it). A text that does not parse is
    left as it is, its error the one finding."""
    options = CheckOptions() if options is None else options
    if kind is None:
        kind = source_kind(text, options)
    try:
        tree = parse_text(text, kind, options)
    except ParseError:
        return FixedText(text, findings=lint_text(text, kind=kind, path=path, options=options, config=config))

    def lint(source: str, tree: Node) -> list[Diagnostic]:
        return list(lint_tree(tree, source, path=path, config=config, separators=options.separators))

    def parse(source: str) -> Node:
        return parse_text(source, kind, options)

    return settle(text, tree, lint, parse, _format_options(options), unsafe=unsafe)


def fix_dax_file(
    path: str,
    options: CheckOptions | None = None,
    config: LintConfig | None = None,
    *,
    data: bytes | None = None,
    unsafe: bool = False,
) -> FixedFile:
    """One DAX file (or `data`, its bytes read already) with its findings'
    fixes made; `after` is None when it cannot be read."""
    options = CheckOptions() if options is None else options
    name = display_path(path)
    original = None
    try:
        if data is None:
            data, info = read_file(path, options.max_file_size)
            original = Original.of(path, data, info)
        text = read_source(path, options, data)
    except SourceError as error:
        problem = Diagnostic.for_path("read", error.message, name, error.line or 0, error.column or 0)
        return FixedFile(name, "", None, [problem])
    mark, codec = text_encoding(data, options.encoding)
    fixed = fix_text(text, path=name, options=options, config=config, unsafe=unsafe)
    result = FixedFile(name, text, fixed.text, mark=mark, codec=codec, original=original,
                       fixed=[f.code for f in fixed.applied], findings=fixed.findings)
    result.problems += [_refusal(finding, name) for finding in fixed.refused]
    if fixed.blocked is not None:
        result.problems.append(separator_diagnostic(fixed.blocked, text, name))
    return result


def _refusal(finding: Finding, path: str) -> Diagnostic:
    assert finding.fix is not None
    return dataclasses.replace(
        finding, kind="internal", severity="error", code="", fix=None,
        message=f"the fix of {finding.code} ({finding.fix.description}) would not read back as meant; left as it"
        " was (please report this with the input)", hint=None, path=path,
    )


def fix_model(
    path: str, options: CheckOptions | None = None, config: LintConfig | None = None, *, unsafe: bool = False
) -> list[FixedFile]:
    """Every formula of the model at `path` with its findings' fixes made:
    one result per model file whose formulas change, in the order they are
    read, then one for each file that could not be read. The names are looked up as `lint_model` looks them up. A model
    file is rewritten only when it reads back as the same formulas with
    their new texts."""
    options = CheckOptions() if options is None else options
    errors: list[ModelError] = []
    warnings: list[ModelWarning] = []
    originals: dict[str, Original] = {}
    model = load_model(path, errors, warnings, max_file_size=options.max_file_size, originals=originals)
    resolver = model_resolver(path, model, errors)
    format_options = _format_options(options)
    by_file: dict[str, list[_FormulaFixes]] = {}
    in_file: dict[str, list[Formula]] = {}
    # A file that could not be read in full is left as it is: its formulas
    # after the fault were never read, and it would not read back.
    broken = {error.file for error in errors}
    for formula in model.formulas:
        in_file.setdefault(formula.file, []).append(formula)
    for formula in linted_formulas(model, config):
        if formula.file in broken:
            continue
        try:
            tree = parse_formula(formula, options)
        except ParseError:
            continue  # lint reports it
        def lint(source: str, tree: Node, formula: Formula = formula) -> list[Diagnostic]:
            return list(lint_tree(tree, source, path=formula.file, config=config, model=model, formula=formula,
                                  resolver=resolver, separators=options.separators))

        def parse(source: str, formula: Formula = formula) -> Node:
            return parse_formula(dataclasses.replace(formula, text=source), options)

        fixed = settle(formula.text, tree, lint, parse, format_options, unsafe=unsafe)
        if fixed.text != formula.text or fixed.refused or fixed.blocked is not None:
            by_file.setdefault(formula.file, []).append(_FormulaFixes(formula, fixed))
    results = [_fixed_model_file(file, in_file[file], changes, originals[file]) for file, changes in by_file.items()]
    results += [FixedFile(error.file, "", None, [model_problem(error)]) for error in errors]
    return results


@dataclass
class _FormulaFixes:
    formula: Formula
    fixed: FixedText


def _fixed_model_file(file: str, formulas: list[Formula], changes: list[_FormulaFixes], original: Original) -> FixedFile:
    from ..check import in_formula

    # The bytes the formulas were read from: their places are those of these bytes.
    mark, codec = text_encoding(original.data)
    text = original.data[len(mark) :].decode(codec)
    result = FixedFile(file, text, text, mark=mark, codec=codec, original=original)
    for change in changes:
        formula, fixed = change.formula, change.fixed
        result.fixed += [finding.code for finding in fixed.applied]
        result.problems += [in_formula(_refusal(finding, file), formula) for finding in fixed.refused]
        if fixed.blocked is not None:
            result.problems.append(in_formula(separator_diagnostic(fixed.blocked, formula.text), formula))
    new_texts = [(change.formula, change.fixed.text) for change in changes if change.fixed.text != change.formula.text]
    if not new_texts:
        return result
    after = rewrite_formulas(text, new_texts)
    problem = read_back_problem(file, after, formulas, {id(formula): new for formula, new in new_texts})
    if problem is not None:
        result.after = None
        result.fixed = []
        result.problems.append(Diagnostic.for_path(
            "internal", f"the fixed formulas would not read back from the file ({problem}); left as it was"
            " (please report this with the file)", file))
        return result
    result.after = after
    return result
