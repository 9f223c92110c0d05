"""The TMDL reader: the DAX formulas of a ``.tmdl`` file, each placed at its
first character, read line by line with the enclosing statements on a
stack; and, when a `Model` is being built, the objects the file declares
(`building.TmdlObjects`)."""

from __future__ import annotations

import re
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ..sources import MAX_FILE_SIZE
from ..writeback import Original
from .building import ModelBuilder, TmdlObjects
from .errors import ModelError, read_model_text
from .formulas import CALCULATION_GROUP_EXPRESSIONS, KPI_EXPRESSIONS, NON_DAX_SOURCES, Formula

if TYPE_CHECKING:
    from .loading import ReadContext

__all__ = ["TmdlReader", "TmdlStatement", "read_tmdl"]

_KEYWORD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_QUOTED_NAME = re.compile(r"'((?:[^']|'')*)'")
_PLAIN_NAME = re.compile(r"[^\s'=:]+")
_ASSIGN = re.compile(r"[ \t]*=[ \t]*")
_FENCE = "```"

# Expressions that are properties: their block is one level deeper than the
# property line. The other `=` statements declare objects whose default
# property is the expression, and an object's own properties take the first
# level below it, so the block is two levels deeper than the declaration.
_PROPERTY_EXPRESSIONS = {
    "targetExpression", "statusExpression", "trendExpression", "filterExpression",
    "expression", "sourceExpression", "pollingExpression",
}
_OBJECT_EXPRESSIONS = {
    "measure", "column", "source", "calculationItem", "formatStringDefinition",
    "detailRowsDefinition", "defaultDetailRowsDefinition", "multipleOrEmptySelectionExpression",
    "noSelectionExpression", "tablePermission", "function", "linguisticMetadata", "annotation",
    "extendedProperty", "changedProperty",
}
_PARTITION_KINDS = NON_DAX_SOURCES | {"calculated"}
# The objects that may have a formatStringDefinition.
_FORMATTED = {"measure", "calculationItem", "multipleOrEmptySelectionExpression", "noSelectionExpression"}


@dataclass
class TmdlStatement:
    """A TMDL object or property on the way from the file's top to the current
    line, and the formula kind its expression would be."""

    indent: int
    keyword: str
    name: str | None
    value: str | None
    dax: tuple[str, str | None, str] | None = None
    #: The model object it declares, when a Model is being read.
    declared: Any = None


class TmdlReader:
    """Reads one TMDL file line by line. The objects that enclose the current
    line are kept on a stack by indentation, which is all the context a
    formula needs: its kind, table and name. Expression blocks are consumed
    whole where they start, so that no line of M, JSON or DAX is ever taken
    for a statement."""

    def __init__(
        self, file: Path, max_file_size: int = MAX_FILE_SIZE, sink: ModelBuilder | None = None,
        originals: dict[str, Original] | None = None, *, text: str | None = None, names: Any = None,
    ) -> None:
        self.file = str(file)
        self.objects = None if sink is None else TmdlObjects(self.file, sink)
        #: Told of every statement, `ref` line and value block when given
        #: (`tmdl_names.TmdlNames`: where the file spells objects' names).
        self.names = names
        if text is None:
            text = read_model_text(file, max_file_size, originals)
        #: The file's text as read (for a given `text`, that one).
        self.text = text
        # A CRLF checkout ends each line with a carriage return that is no
        # part of the text.
        self.lines = [line[:-1] if line.endswith("\r") else line for line in text.split("\n")]

    def error(self, index: int, message: str, column: int | None = None) -> ModelError:
        if column is None and 0 <= index < len(self.lines):
            line = self.lines[index]
            column = len(line) - len(line.lstrip("\t")) + 1
        return ModelError(self.file, index + 1, message, column)

    def formulas(self) -> Iterator[Formula]:
        lines = self.lines
        stack: list[TmdlStatement] = []
        index = 0
        while index < len(lines):
            line = lines[index]
            content = line.lstrip("\t")
            indent = len(line) - len(content)
            if not content.strip() or content.startswith("///"):
                index += 1  # blank lines and descriptions
                continue
            while stack and stack[-1].indent >= indent:
                stack.pop()
            limit = stack[-1].indent + 1 if stack else 0
            if indent > limit:
                raise self.error(index, f"unexpected indentation: {indent} tabs where at most {limit} can stand"
                                 + self.indentation_advice(stack, indent))
            keyword, name, value, value_column = self.statement(index, content, indent, stack[-1] if stack else None)
            if keyword == "ref":
                if self.names is not None:
                    self.names.reference(index, indent, content)
                index += 1  # `ref table X`: the order of objects, no content
                continue
            parent = stack[-1] if stack else None
            node = TmdlStatement(indent, keyword, name, value)
            node.dax = self.dax(index, node, parent, stack)
            stack.append(node)
            if self.objects is not None:
                self.objects.statement(index + 1, stack, content)
            if self.names is not None:
                self.names.statement(index, stack, content)
            declaration = index
            index += 1
            if value is None:
                continue
            depth = self.body_indent(index, node, parent)
            if value == _FENCE:
                form = "fenced"
                body, index = self.fenced(index, depth)
            elif value == "":
                form = "indented"
                body, index = self.indented(index, depth)
            else:
                form = "inline"
                body = [(value, declaration, value_column)]
            if self.names is not None:
                self.names.block(stack, body)
            if node.dax is not None and keyword != "partition":
                formula = self.formula(node.dax, body, form, depth)
                if formula is not None:
                    yield formula

    def indentation_advice(self, stack: list[TmdlStatement], indent: int) -> str:
        """Why a line may be indented deeper than its place allows."""
        if stack and stack[-1].value not in (None, "", _FENCE) and indent >= stack[-1].indent + 2:
            node = stack[-1]
            return (f"; the formula of {node.keyword} {node.name or ''} starts on its `=` line, so it cannot go on"
                    " below: write the whole formula on the lines after the `=`").replace("  ", " ")
        return ""

    def statement(
        self, index: int, content: str, indent: int, parent: TmdlStatement | None = None
    ) -> tuple[str, str | None, str | None, int]:
        """Splits a line into keyword, name, and the text after `=` (None when
        there is no `=`) with its column. Property lines (`name: value`) and
        flags (`isHidden`) come back without a value: they hold no formula."""
        match = _KEYWORD.match(content)
        if match is None:
            raise self.error(index, self.misunderstood(content, indent, parent))
        keyword = match.group()
        pos = match.end()
        if keyword == "ref" or pos == len(content) or content[pos] == ":":
            return keyword, None, None, 0
        name = None
        if content[pos] in " \t":
            pos = len(content) - len(content[pos:].lstrip(" \t"))
            quoted = _QUOTED_NAME.match(content, pos)
            plain = _PLAIN_NAME.match(content, pos)
            if quoted:
                name, pos = quoted.group(1).replace("''", "'"), quoted.end()
            elif plain:
                name, pos = plain.group(), plain.end()
        assign = _ASSIGN.match(content, pos)
        if assign is None:
            if not content[pos:].strip() and (name is not None or pos == len(content)):
                return keyword, name, None, 0
            raise self.error(index, self.misunderstood(content, indent, parent))
        value = content[assign.end() :].rstrip(" \t")
        return keyword, name, value, indent + assign.end() + 1

    def misunderstood(self, content: str, indent: int, parent: TmdlStatement | None) -> str:
        """The message for a line that is no statement, saying what the format
        expects where the line suggests a usual mistake."""
        if content.startswith(" "):
            return (f"the line is indented with spaces after {indent} tabs: TMDL indents with tabs only"
                    f" ({content.strip()!r})")
        if parent is not None and parent.value == "" and indent == parent.indent + 1:
            depth = parent.indent + 2
            return (f"{content.strip()!r} reads as the formula of {parent.keyword} {parent.name or ''} but is indented"
                    f" like its properties ({indent} tabs): indent the lines of a formula {depth} tabs, one level"
                    " deeper than the properties").replace("  ", " ")
        return f"cannot understand the line: {content.strip()!r}"

    def dax(self, index: int, node: TmdlStatement, parent: TmdlStatement | None, stack: list[TmdlStatement]) -> tuple[str, str | None, str] | None:
        """(kind, table, name) of the formula `node` holds or would hold as an
        explicit `expression` property; None when it holds no DAX."""
        keyword, name = node.keyword, node.name or ""
        up = parent.keyword if parent else None
        grand = stack[-2] if len(stack) >= 2 else None
        has_expression = node.value is not None
        if keyword == "partition" and has_expression and node.value not in _PARTITION_KINDS:
            raise self.error(index, f"partition {name!r}: unknown source type {node.value!r}"
                             f" (expected one of {', '.join(sorted(_PARTITION_KINDS))})")
        if keyword in ("measure", "column"):
            if parent is not None and parent.keyword == "table":
                kind = "measure" if keyword == "measure" else "calculated column"
                return kind, parent.name, name
            if has_expression:
                raise self.error(index, f"{keyword} {name!r} with an expression outside a table")
            return None
        if parent is None:
            return ("function", None, name) if keyword == "function" else None
        if keyword == "source" and up == "partition":
            if parent.value == "calculated" and grand is not None:
                return "calculated table", grand.name, grand.name or ""
            return None
        if keyword == "calculationItem" and up == "calculationGroup" and grand is not None:
            return "calculation item", grand.name, name
        if keyword in ("multipleOrEmptySelectionExpression", "noSelectionExpression") and up == "calculationGroup":
            table = grand.name if grand is not None else None
            kind = dict(CALCULATION_GROUP_EXPRESSIONS)[keyword]
            return kind, table, table or ""
        if keyword == "formatStringDefinition" and up in _FORMATTED and parent.dax is not None:
            return "format string definition", parent.dax[1], parent.name or parent.keyword
        if keyword == "detailRowsDefinition" and up == "measure" and parent.dax is not None:
            return "detail rows definition", parent.dax[1], parent.dax[2]
        if keyword == "defaultDetailRowsDefinition" and up == "table":
            return "detail rows definition", parent.name, parent.name or ""
        if keyword in dict(KPI_EXPRESSIONS) and up == "kpi" and grand is not None and grand.dax is not None:
            return dict(KPI_EXPRESSIONS)[keyword], grand.dax[1], grand.dax[2]
        if keyword == "tablePermission" and up == "role":
            return "row-level security filter", name, parent.name or ""
        # The default property written out as a property of its own.
        explicit = "filterExpression" if up == "tablePermission" else "expression"
        if keyword == explicit and node.name is None and parent.dax is not None and up != "partition":
            return parent.dax
        return None

    def body_indent(self, index: int, node: TmdlStatement, parent: TmdlStatement | None) -> int:
        """How deep the lines of the expression that `node` opens are indented."""
        if node.keyword in _PROPERTY_EXPRESSIONS and node.name is None:
            return node.indent + 1
        # A partition's `source =` is written both ways: its body one level
        # below (the format's documentation) or two, like an object's.
        flexible = node.keyword == "source" and parent is not None and parent.keyword == "partition"
        if not flexible and (node.keyword in _OBJECT_EXPRESSIONS or node.name is not None):
            return node.indent + 2
        # Otherwise (and for a statement this reader does not know, which
        # never holds DAX) the first line below tells whether the block starts
        # one level down.
        lines = self.lines
        for at in range(index, len(lines)):  # by index: a slice would copy the rest of the file each time
            line = lines[at]
            if line.strip():
                content = line.lstrip("\t")
                return node.indent + (1 if len(line) - len(content) == node.indent + 1 else 2)
        return node.indent + 2

    def indented(self, index: int, depth: int) -> tuple[list[tuple[str, int, int]], int]:
        """The lines from `index` on that are blank or indented at least
        `depth` tabs, without that indentation and without trailing blank
        lines, with their line indexes and columns; and where they end."""
        body = []
        lines = self.lines
        while index < len(lines):
            line = lines[index]
            tabs = len(line) - len(line.lstrip("\t"))
            if line.strip() and tabs < depth:
                break
            cut = min(tabs, depth)
            body.append((line[cut:], index, cut + 1))
            index += 1
        while body and not body[-1][0].strip():
            body.pop()
        return body, index

    def fenced(self, index: int, depth: int) -> tuple[list[tuple[str, int, int]], int]:
        """The lines from `index` to the closing ``` line, each without up to
        `depth` tabs of indentation; blank lines, even the last, are kept. And
        the index after the closing line."""
        start = index
        body: list[tuple[str, int, int]] = []
        lines = self.lines
        while index < len(lines):
            line = lines[index]
            if line.strip() == _FENCE:
                return body, index + 1
            tabs = len(line) - len(line.lstrip("\t"))
            cut = min(tabs, depth)
            body.append((line[cut:], index, cut + 1))
            index += 1
        raise self.error(start - 1, "``` block is never closed")

    def formula(
        self, dax: tuple[str, str | None, str], body: list[tuple[str, int, int]], form: str, depth: int
    ) -> Formula | None:
        text = "\n".join(line for line, _, _ in body)
        if not text.strip():
            return None  # an empty expression is no formula
        kind, table, name = dax
        line_map = tuple((index + 1, column) for _, index, column in body)
        exact = tuple(len(line) for line, _, _ in body)
        return Formula(self.file, table, name, kind, text, *line_map[0], line_map, exact, form, block_depth=depth)


def read_tmdl(file: Path, context: ReadContext) -> Iterator[Formula]:
    # A text given in place of the file's (an editor's unsaved buffer).
    given = read_model_text(file, context.max_file_size, texts=context.texts) if context.texts and str(file) in \
        context.texts else None
    yield from TmdlReader(file, context.max_file_size, context.sink, context.originals, text=given).formulas()
