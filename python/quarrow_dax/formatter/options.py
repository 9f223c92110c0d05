"""What the formatter is asked to do: the kind of text and the options of its
style, and reading such a text into a tree."""

from __future__ import annotations

import functools
from dataclasses import dataclass

from ..syntax.nodes import Node
from ..syntax.parsing import Grammar, Separators, _options, parse_expression, parse_function, parse_query
from .style import Kind

__all__ = ["DEFAULT_WIDTH", "FormatOptions", "Kind", "parse_as"]

#: The line width unless one is asked for: DAX is read in wide editors, and
#: authors keep 98% of real lines within it (see the README).
DEFAULT_WIDTH = 120


@dataclass(frozen=True)
class FormatOptions:
    """How to format. `width`: the longest line wanted, in characters;
    `indent`: spaces per level; `space_before_paren`: `SUM ( x )` rather
    than `SUM( x )`; `separators`: "comma" (`,` between arguments, `1.5`) or
    "semicolon" (`;` between arguments, `1,5`), read and written alike;
    `grammar`: "engine" (what the DAX engine accepts) or "standard"."""

    width: int = DEFAULT_WIDTH
    indent: int = 4
    space_before_paren: bool = True
    separators: Separators = "comma"
    grammar: Grammar = "engine"

    def __post_init__(self) -> None:
        if type(self.width) is not int or self.width < 1:
            raise ValueError(f"width must be a whole number of 1 or more, not {self.width!r}")
        if type(self.indent) is not int or not 0 <= self.indent <= 16:
            raise ValueError(f"indent must be a whole number from 0 to 16, not {self.indent!r}")
        if self.separators not in ("comma", "semicolon"):
            raise ValueError(f"separators must be 'comma' or 'semicolon', not {self.separators!r}")
        if self.grammar not in ("engine", "standard"):
            raise ValueError(f"grammar must be 'engine' or 'standard', not {self.grammar!r}")

    @functools.cached_property
    def separator(self) -> str:
        return "," if self.separators == "comma" else ";"

    @functools.cached_property
    def native(self) -> int:
        """The grammar and the separators as the native reader takes them."""
        return _options(self.separators, self.grammar)


def parse_as(text: str, kind: Kind, options: FormatOptions) -> Node:
    """The tree of `text` read as `kind`; raises ParseError."""
    if kind == "expression":
        return parse_expression(text, grammar=options.grammar, separators=options.separators)
    if kind == "query":
        return parse_query(text, grammar=options.grammar, separators=options.separators)
    if kind == "function":
        return parse_function(text, grammar=options.grammar, separators=options.separators)
    raise ValueError(f"kind must be 'expression', 'query' or 'function', not {kind!r}")
