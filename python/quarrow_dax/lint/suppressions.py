"""Findings silenced by a comment in the DAX itself.

    [Profit] / [Units]  -- quarrow-dax: ignore[DAX101]

silences DAX101 on the line of the comment; a comment alone on its line
silences the line after it as well. `ignore-formula[...]` anywhere in a
formula silences the rules named for all of it (a file: the whole file).
Rules are named by code or name, several separated by commas; without a
list, every rule is silenced. Any comment form does: `--`, `//`, `/* */`.
The comments are the lexer's comment tokens, so the same words inside a
string are no suppression.
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from dataclasses import dataclass, field

from ..diagnostics import LineIndex
from ..syntax import Separators, tokenize
from .rule import CATALOGUE

__all__ = ["Suppressions", "find_suppressions"]

_MARKER = re.compile(r"quarrow-dax\s*:", re.IGNORECASE)
_DIRECTIVE = re.compile(r"quarrow-dax\s*:\s*(ignore-formula|ignore)(?![\w-])\s*(?:\[([^\]]*)\])?", re.IGNORECASE)
_ALL = "*"


@dataclass(frozen=True)
class Suppressions:
    """The rule codes silenced in the whole text, and line by line
    (1-based lines of the text); `*` stands for every rule."""

    everywhere: frozenset[str] = frozenset()
    by_line: Mapping[int, frozenset[str]] = field(default_factory=dict)

    def covers(self, code: str, first_line: int, last_line: int) -> bool:
        """Whether a finding of `code` on lines `first_line` to `last_line` is silenced."""
        if _ALL in self.everywhere or code in self.everywhere:
            return True
        for line, codes in self.by_line.items():
            if first_line <= line <= last_line and (_ALL in codes or code in codes):
                return True
        return False

    def __bool__(self) -> bool:
        return bool(self.everywhere or self.by_line)


def _codes(listed: str | None) -> frozenset[str]:
    if listed is None or not listed.strip():
        return frozenset({_ALL})
    names = {rule.name: code for code, rule in CATALOGUE.items()}
    codes = set()
    for word in re.split(r"[\s,]+", listed.strip()):
        if word:
            codes.add(names.get(word.lower(), word.upper()))
    return frozenset(codes)


def find_suppressions(source: str, index: LineIndex, separators: Separators = "comma") -> Suppressions:
    """The suppressions in the comments of `source`, a text that lexes."""
    if _MARKER.search(source) is None:
        return Suppressions()
    everywhere: set[str] = set()
    by_line: dict[int, set[str]] = {}
    for token in tokenize(source, comments=True, separators=separators):
        if not token.is_comment or token.span is None:
            continue
        for directive in _DIRECTIVE.finditer(token.text):
            codes = _codes(directive.group(2))
            if directive.group(1).lower() == "ignore-formula":
                everywhere |= codes
                continue
            first, column = index.position(token.span.start)
            last, end_column = index.position(token.span.end)
            lines = list(range(first, last + 1))
            before = index.line_text(first)[: column - 1]
            after = index.line_text(last)[end_column - 1 :]
            if not before.strip() and not after.strip():
                lines.append(last + 1)  # alone on its line: it speaks of the next one
            for line in lines:
                by_line.setdefault(line, set()).update(codes)
    return Suppressions(frozenset(everywhere), {line: frozenset(codes) for line, codes in by_line.items()})
