"""The DAX formulas of a model: `Formula`, where one stands in its file and
how a place in its text maps back there, the kinds of formula (`KINDS`) and
the properties that hold them, and `parse_formula`/`parse_function`, which
parse a formula as its kind requires with errors placed in its own text."""

from __future__ import annotations

import json
import re
from dataclasses import dataclass

from .._native import lex, parse_expression, parse_query

__all__ = ["KINDS", "Formula", "parse_formula", "parse_function"]

#: Every value `Formula.kind` takes.
KINDS = (
    "measure",
    "calculated column",
    "calculated table",
    "calculation item",
    "multiple or empty selection expression",
    "no selection expression",
    "format string definition",
    "detail rows definition",
    "KPI target",
    "KPI status",
    "KPI trend",
    "row-level security filter",
    "function",
)

# The properties of a calculation group and of a KPI that hold DAX, and the
# kind of each formula: the same names in TMSL and in TMDL.
CALCULATION_GROUP_EXPRESSIONS = (
    ("multipleOrEmptySelectionExpression", "multiple or empty selection expression"),
    ("noSelectionExpression", "no selection expression"),
)
KPI_EXPRESSIONS = (
    ("targetExpression", "KPI target"),
    ("statusExpression", "KPI status"),
    ("trendExpression", "KPI trend"),
)
# Partition source types whose text is not DAX, or which have no text (TMSL and TMDL).
NON_DAX_SOURCES = {"m", "query", "entity", "calculationGroup", "policyRange", "inferred", "none", "parquet"}


@dataclass(frozen=True)
class Formula:
    """One DAX formula of a model.

    `text` is the DAX exactly as the engine sees it (JSON escapes decoded, the
    TMDL indentation removed); its lines are separated by line feeds, and a
    carriage return that the DAX itself holds stays at the end of its line.
    `line` and `column` are where the text starts: in TMDL its first
    character, in a .bim file the first character inside the JSON string. `line_map` has one (file line, file column) pair per line of
    `text`: where that line begins in `file`. `exact` has one count per line of
    `text`: how many of the line's leading characters sit one to one on the
    file's characters from there. In TMDL that is the whole line; in a .bim
    file it stops at the first JSON escape (``\\"``, ``\\t``, ``\\u00e9``), after
    which the file holds more characters than the text.
    """

    file: str
    table: str | None
    name: str
    kind: str
    text: str
    line: int
    column: int
    line_map: tuple[tuple[int, int], ...]
    exact: tuple[int, ...]
    #: How the text is written in its file, for writing it back: in a .bim
    #: file "string" (one JSON string) or "lines" (an array of strings, a line
    #: each); in TMDL "inline" (after its `=`), "indented" (on the lines
    #: below) or "fenced" (between ``` lines). Empty for a Formula made
    #: elsewhere.
    form: str = ""
    #: In a .bim file, the (start, end) character offsets in the file's text
    #: of the JSON strings holding the text, their quotes included.
    string_spans: tuple[tuple[int, int], ...] = ()
    #: In TMDL, the tabs that indent the lines of the formula's block (for an
    #: inline formula, those of a block written for it).
    block_depth: int = 0

    def locate(self, line: int, column: int) -> tuple[int, int]:
        """The (line, column) in `file` of 1-based `line` and `column` in
        `text`. Past an escape of a JSON string the column stays on the
        escape, the last place known for certain; out-of-range values are
        clamped to the text."""
        index = min(max(line, 1), len(self.line_map)) - 1
        file_line, file_column = self.line_map[index]
        return file_line, file_column + min(max(column - 1, 0), self.exact[index])

    def locate_offset(self, offset: int) -> tuple[int, int]:
        """The (line, column) in `file` of a byte offset into the UTF-8 form of
        `text`, as the parser's errors report them."""
        data = self.text.encode("utf-8")
        before = data[: max(0, min(offset, len(data)))].decode("utf-8", "replace")
        line_start = before.rfind("\n") + 1
        return self.locate(before.count("\n") + 1, len(before) - line_start + 1)


_ERROR = re.compile(r"^(lex|parse) error: (.*) at (\d+)\.\.(\d+)$", re.DOTALL)

# A function's text is its signature and body, `(x) => x`, which is not an
# expression. Its parameters are read as those of a definition in a query,
# `DEFINE FUNCTION f = (x) => 0 EVALUATE {1}`, and its body as an expression
# on its own, so that nothing can follow the body: text after it (another
# definition, an EVALUATE) is an error, not a second definition.
_FUNCTION_PREFIX = "DEFINE FUNCTION f = "
_PLACEHOLDER_BODY = " 0"
_FUNCTION_SUFFIX = "\nEVALUATE {1}"
# The JSON the module writes around that one definition; cutting it off leaves
# the definition itself.
_QUERY_HEAD = '{"define":{"defs":['
_QUERY_TAIL = (
    ']},"evaluates":[{"expr":{"TableConstructor":[[{"Number":"1"}]]},'
    '"order_by":[],"start_at":null}]}'
)
_DEFINITION_HEAD = '{"Function":{"doc":null,"name":"f",'
_PLACEHOLDER_TAIL = '"body":{"Number":"0"}}}'


def parse_formula(formula: Formula) -> str:
    """Parses `formula` as its kind requires and returns the compact JSON text:
    a function with `parse_function` (under the function's own name), any
    other kind with `parse_expression`. A lexical or syntax error raises
    ValueError shaped like the module's own ("parse error: <message> at
    S..E"), its byte span always inside the UTF-8 form of `formula.text`."""
    if formula.kind != "function":
        return parse_expression(formula.text)
    return parse_function(formula.text, formula.name)


def parse_function(text: str, name: str = "f") -> str:
    """Parses the text of a user-defined function, ``(parameters) => body``
    and nothing after it, and returns the JSON of the definition
    ``{"Function": {"doc": null, "name": name, "params": [...], "body": ...}}``.
    Errors are reported like the module's, with spans into `text`."""
    arrow = _arrow_end(text)
    if arrow is None:
        # No `=>` at all: the definition's own parse says what is missing.
        _parse_definition(text)
        raise ValueError(f"parse error: expected `=>` at {len(text.encode('utf-8'))}..{len(text.encode('utf-8'))}")
    data = text.encode("utf-8")
    head, body = data[:arrow].decode("utf-8"), data[arrow:].decode("utf-8")
    definition = _parse_definition(head)
    try:
        body_json = parse_expression(body)
    except ValueError as error:
        raise _shift_error(error, -arrow, text) from None
    if not definition.endswith(_PLACEHOLDER_TAIL):
        raise AssertionError(f"unexpected JSON of a function definition: {definition[-80:]!r}")
    definition = definition[: -len(_PLACEHOLDER_TAIL)] + '"body":' + body_json + "}}"
    if definition.startswith(_DEFINITION_HEAD):
        quoted = json.dumps(name, ensure_ascii=False)
        definition = '{"Function":{"doc":null,"name":' + quoted + "," + definition[len(_DEFINITION_HEAD) :]
    return definition


def _parse_definition(head: str) -> str:
    """The JSON of `DEFINE FUNCTION f = <head> 0`: the parameters of a
    function whose text up to and including `=>` is `head`."""
    query = _FUNCTION_PREFIX + head + _PLACEHOLDER_BODY + _FUNCTION_SUFFIX
    try:
        result = parse_query(query)
    except ValueError as error:
        raise _shift_error(error, len(_FUNCTION_PREFIX.encode("utf-8")), head) from None
    if not (result.startswith(_QUERY_HEAD) and result.endswith(_QUERY_TAIL)):
        raise AssertionError(f"unexpected JSON of a one-function query: {result[:80]!r}")
    return result[len(_QUERY_HEAD) : -len(_QUERY_TAIL)]


def _arrow_end(text: str) -> int | None:
    """The byte offset just past the first `=>` token of `text`, or None.
    The tokens before a lexical error still count: an error in the body must
    not hide the arrow before it."""
    try:
        tokens = lex(text)
    except ValueError as error:
        match = _ERROR.match(str(error))
        if match is None:
            return None
        tokens = lex(text.encode("utf-8")[: int(match.group(3))].decode("utf-8", "ignore"))
    found = tokens.find('{"kind":"Arrow","span":{"start":')
    if found < 0:
        return None
    start = found + len('{"kind":"Arrow","span":{"start":')
    return int(tokens[start : tokens.index(",", start)]) + 2


def _shift_error(error: ValueError, shift: int, text: str) -> ValueError:
    """The error of a wrapped text, moved to offsets into `text` alone. A span
    in the wrapper (an unclosed comment runs into the suffix) is clamped."""
    match = _ERROR.match(str(error))
    if match is None:
        return error
    size = len(text.encode("utf-8"))
    start = min(max(int(match.group(3)) - shift, 0), size)
    end = min(max(int(match.group(4)) - shift, start), size)
    return ValueError(f"{match.group(1)} error: {match.group(2)} at {start}..{end}")
