"""Findings silenced by a comment in the DAX itself.

    [Profit] / [Units]  -- quarrow-dax: ignore[DAX101]

silences DAX101 on the line of the comment; a comment alone on its line
silences the line after it as well. `ignore-formula[...]` anywhere in a
formula silences the rules named for all of it (a file: the whole file).
Rules are named by code or name, several separated by commas; without a
list, every rule is silenced. Text after the closing bracket is free (say
why). Any comment form does: `--`, `//`, `/* */`. The comments are the
lexer's comment tokens, so the same words inside a string are no
suppression.

A directive that cannot be read (`ignore DAX101`, `ignore[DAX101`,
`ignore-formula DAX101`, an unknown word after `quarrow-dax:`) silences
nothing, and neither does a code that names no rule (`ignore[DAX1O1]`):
each is a `Problem`, which the engine reports as invalid-suppression. Which
directives silenced something is recorded as findings are tested, so that
the engine can report the ones that silenced nothing (unused-suppression).

Testing a finding costs a binary search per code, whatever the number of
directives: the silenced lines of each code are kept sorted.
"""

from __future__ import annotations

import bisect
import re
from collections.abc import Collection, Iterator, Sequence
from dataclasses import dataclass, field

from ..config import did_you_mean
from ..diagnostics import LineIndex
from ..syntax import Separators, Token, tokenize
from .rule import CATALOGUE

__all__ = ["Directive", "Problem", "Suppressions", "find_suppressions", "has_directives"]

_MARKER = re.compile(r"quarrow-dax\s*:", re.IGNORECASE)
_WORD = re.compile(r"[ \t]*([A-Za-z][\w-]*)")
_KEYWORDS = ("ignore", "ignore-formula")
_ALL = "*"


def has_directives(source: str) -> bool:
    """Whether `source` may hold a directive (the cheap test before lexing)."""
    return _MARKER.search(source) is not None


@dataclass
class Directive:
    """One suppression comment that reads: the byte span of its text (from
    `quarrow-dax` to its end), the codes it names (`*`: every rule), and
    whether it speaks for the whole formula. `used` collects the codes
    (or `*`) that silenced a finding."""

    start: int
    end: int
    codes: frozenset[str]
    whole: bool
    used: set[str] = field(default_factory=set)

    def unused(self, ran: Collection[str]) -> list[str]:
        """The codes named here that silenced nothing although their rule
        ran (`*` for a directive without a list that silenced nothing)."""
        if _ALL in self.codes:
            return [] if self.used else [_ALL]
        return sorted(code for code in self.codes if code not in self.used and code in ran)


@dataclass(frozen=True)
class Problem:
    """A directive that cannot be read, or a code in one that names no
    rule: its byte span, what is wrong and what to write."""

    start: int
    end: int
    message: str
    hint: str | None = None


class _Lines:
    """The lines one code is silenced on, sorted, each with its directive;
    `mark` records the directives that silence a range of lines, stepping
    over those recorded before so that every directive is recorded once."""

    def __init__(self, entries: list[tuple[int, int]]) -> None:
        entries.sort()
        self.lines = [line for line, _ in entries]
        self.owners = [owner for _, owner in entries]
        # The next entry not yet recorded, found with path halving.
        self._next = list(range(len(entries) + 1))

    def _find(self, index: int) -> int:
        pointers = self._next
        while pointers[index] != index:
            pointers[index] = pointers[pointers[index]]
            index = pointers[index]
        return index

    def covers(self, first: int, last: int) -> tuple[int, int] | None:
        """The range of entries on lines `first` to `last`, or None."""
        low = bisect.bisect_left(self.lines, first)
        high = bisect.bisect_right(self.lines, last, low)
        return (low, high) if low < high else None

    def mark(self, low: int, high: int) -> Iterator[int]:
        """The directives of entries `low` to `high` not yet recorded."""
        index = self._find(low)
        while index < high:
            yield self.owners[index]
            self._next[index] = index + 1
            index = self._find(index + 1)


class Suppressions:
    """The directives of one text: what they silence, where, and which of
    them have silenced something."""

    def __init__(self, directives: list[Directive], by_line: dict[str, list[tuple[int, int]]],
                 problems: list[Problem]) -> None:
        self.directives = directives
        self.problems = problems
        self._lines = {code: _Lines(entries) for code, entries in by_line.items()}
        self._whole: dict[str, list[int]] = {}
        self._whole_recorded: set[str] = set()
        for number, directive in enumerate(directives):
            if directive.whole:
                for code in directive.codes:
                    self._whole.setdefault(code, []).append(number)

    def covers(self, code: str, first_line: int, last_line: int, record: bool = True, blanket: bool = True) -> bool:
        """Whether a finding of `code` on lines `first_line` to `last_line`
        is silenced; when `record`, the directives that silence it are
        marked as used; without `blanket`, only directives that name the
        code count (a directive of every rule cannot silence the report
        that it silences nothing)."""
        covered = False
        for key in (code, _ALL) if blanket else (code,):
            whole = self._whole.get(key)
            if whole:
                covered = True
                if not record:
                    return True
                if key not in self._whole_recorded:  # once: every later finding is silenced by the same
                    self._whole_recorded.add(key)
                    for number in whole:
                        self.directives[number].used.add(key)
            lines = self._lines.get(key)
            if lines is None:
                continue
            found = lines.covers(first_line, last_line)
            if found is None:
                continue
            covered = True
            if not record:
                return True
            for number in lines.mark(*found):
                self.directives[number].used.add(key)
        return covered

    def __bool__(self) -> bool:
        return bool(self.directives or self.problems)


# --- reading the directives ---------------------------------------------------------


def _codes_by_word() -> dict[str, str]:
    """Each rule's code and name, and the code it stands for (the catalogue
    may grow while the program runs, so this is built for each text)."""
    words = {code: code for code in CATALOGUE}
    words.update((rule.name, code) for code, rule in CATALOGUE.items())
    return words


def _read_list(listed: str, start: int, words: dict[str, str], problems: list[Problem]) -> frozenset[str]:
    """The codes of a bracketed list; a word that names no rule is a problem
    placed at that word (`start`: the list's byte offset in the source)."""
    codes: set[str] = set()
    for match in re.finditer(r"[^\s,]+", listed):
        word = match.group()
        code = words.get(word.upper()) or words.get(word.lower())
        if code is not None:
            codes.add(code)
            continue
        at = start + len(listed[: match.start()].encode("utf-8", "surrogatepass"))
        problems.append(Problem(
            at, at + len(word.encode("utf-8", "surrogatepass")),
            f"suppression names no rule: {word!r}{did_you_mean(word.upper(), list(CATALOGUE))}",
            "name rules by code (DAX101) or name (use-divide); quarrow-dax lint --explain RULE describes one",
        ))
    return frozenset(codes)


def _directives_in(
    comment: str, offset: int, words: dict[str, str], problems: list[Problem]
) -> Iterator[tuple[int, int, str, frozenset[str]]]:
    """(start, end, keyword, codes) of each directive that reads in one
    comment's text, which begins at byte `offset` of the source; what does
    not read goes to `problems`."""
    body = comment[:-2] if comment.startswith("/*") and comment.endswith("*/") else comment

    def at(index: int) -> int:
        return offset + len(body[:index].encode("utf-8", "surrogatepass"))

    for marker in _MARKER.finditer(body):
        word = _WORD.match(body, marker.end())
        keyword = word.group(1).lower() if word is not None else ""
        end_of_word = word.end() if word is not None else marker.end()
        if keyword not in _KEYWORDS:
            shown = word.group(1) if word is not None else ""
            problems.append(Problem(
                at(marker.start()), at(end_of_word),
                f"not a suppression: quarrow-dax: {shown!r}{did_you_mean(keyword, _KEYWORDS)}" if shown else
                "not a suppression: nothing after quarrow-dax:",
                "write quarrow-dax: ignore[DAX101] (this line) or quarrow-dax: ignore-formula[DAX101] (the formula)",
            ))
            continue
        rest = body[end_of_word:]
        stripped = rest.lstrip(" \t")
        list_start = end_of_word + len(rest) - len(stripped)
        if stripped.startswith("["):
            close = body.find("]", list_start)
            newline = body.find("\n", list_start)
            if close < 0 or 0 <= newline < close:
                problems.append(Problem(
                    at(marker.start()), at(len(body.rstrip())),
                    f"the list of rules after {keyword} is not closed",
                    f"write {keyword}[DAX101] or {keyword}[DAX101, DAX102]",
                ))
                continue
            listed = body[list_start + 1 : close]
            if not listed.strip(" \t,"):
                problems.append(Problem(
                    at(marker.start()), at(close + 1), f"{keyword}[] names no rule",
                    f"name the rules, {keyword}[DAX101], or leave out the brackets to silence every rule",
                ))
                continue
            codes = _read_list(listed, at(list_start + 1), words, problems)
            if codes:
                yield at(marker.start()), at(close + 1), keyword, codes
            continue
        if stripped.strip() == "" or stripped.startswith(("--", "//", "/*")):
            yield at(marker.start()), at(end_of_word), keyword, frozenset({_ALL})
            continue
        following = stripped.split()[0]
        problems.append(Problem(
            at(marker.start()), at(len(body.rstrip())),
            f"{keyword} is followed by {following!r}: the rules go in brackets",
            f"write {keyword}[{following.strip('[],')}]; as it is, it silences nothing",
        ))


def find_suppressions(
    source: str, index: LineIndex, separators: Separators = "comma", tokens: Sequence[Token] | None = None
) -> Suppressions:
    """The suppressions in the comments of `source`, a text that lexes;
    `tokens`: its tokens with comments, when they are made already."""
    directives: list[Directive] = []
    problems: list[Problem] = []
    by_line: dict[str, list[tuple[int, int]]] = {}
    if not has_directives(source):
        return Suppressions(directives, by_line, problems)
    words = _codes_by_word()
    if tokens is None:
        tokens = tokenize(source, comments=True, separators=separators)
    for token in tokens:
        if not token.is_comment or token.span is None or not has_directives(token.text):
            continue
        for start, end, keyword, codes in _directives_in(token.text, token.span.start, words, problems):
            number = len(directives)
            directives.append(Directive(start, end, codes, keyword == "ignore-formula"))
            if keyword == "ignore-formula":
                continue
            first, column = index.position(token.span.start)
            last, end_column = index.position(token.span.end)
            before = index.line_text(first)[: column - 1]
            after = index.line_text(last)[end_column - 1 :]
            if not before.strip() and not after.strip():
                last += 1  # alone on its line: it speaks of the next one
            for code in codes:
                entries = by_line.setdefault(code, [])
                entries.extend((line, number) for line in range(first, last + 1))
    return Suppressions(directives, by_line, problems)
