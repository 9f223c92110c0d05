"""The node classes of DAX syntax trees.

One class per kind of node, named as the parser's JSON names the variant,
each a frozen dataclass with ``__slots__`` whose fields carry the JSON keys'
names. Every node also has, from `Located`, its `span` (UTF-8 byte offsets
into the text it was parsed from, end exclusive) and its `text` (that exact
slice of the source). Nodes compare by structure (`==` ignores spans), print
as the constructor call that would rebuild them, and every walk over them is
iterative: a chain of a million operators is as deep as it is long, and
Python's recursion limit must not decide what can be parsed.

Lists are tuples. Operators and sort directions are the JSON's strings
("Add", "Minus", "Desc").
"""

from __future__ import annotations

import dataclasses
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any, ClassVar, Literal, NamedTuple, TypeVar

from .. import _syntax
from .._syntax import Located

__all__ = [
    "Axis", "BinaryOperator", "Binary", "Blank", "Boolean", "BracketRef", "Column", "DefineBlock", "Definition",
    "Direction", "Evaluate", "Expr", "FuncParam", "Function", "FunctionCall", "HierarchyRef", "Identifier",
    "Located", "MParameter", "Measure", "Node", "Number", "Omitted", "OrderKey", "Paren", "Parameter", "Query",
    "RowConstructor", "Span", "String", "Table", "TableColumnRef", "TableConstructor", "TableName", "TableRef",
    "TypedLiteral", "Unary", "UnaryOperator", "Var", "VarBlock", "VarDecl", "VisualAxis", "VisualGroup",
    "VisualShape",
]

UnaryOperator = Literal["Plus", "Minus", "Not"]
BinaryOperator = Literal[
    "Or", "And", "Eq", "StrictEq", "Neq", "Lt", "Lte", "Gt", "Gte", "In", "Concat", "Add", "Sub", "Mul", "Div", "Pow"
]
Direction = Literal["Asc", "Desc"]

N = TypeVar("N", bound="Node")


class Span(NamedTuple):
    """A range of UTF-8 byte offsets into a text; `end` is exclusive."""

    start: int
    end: int


class Node(Located):
    """The base of every syntax node."""

    __slots__ = ()
    #: The dataclass fields, in declaration (and source) order.
    _fields: ClassVar[tuple[str, ...]] = ()

    def children(self) -> tuple[Node, ...]:
        """The nodes directly below this one, in source order."""
        found: list[Node] = []
        for name in self._fields:
            value = getattr(self, name)
            if isinstance(value, Node):
                found.append(value)
            elif isinstance(value, tuple):
                for item in value:
                    if isinstance(item, Node):
                        found.append(item)
                    elif isinstance(item, tuple):
                        found.extend(cell for cell in item if isinstance(cell, Node))
        return tuple(found)

    def walk(self) -> Iterator[tuple[Node, Node | None]]:
        """Every node of the tree from this one down, in pre-order (source
        order), each with its parent (None for this node)."""
        stack: list[tuple[Node, Node | None]] = [(self, None)]
        while stack:
            node, parent = stack.pop()
            yield node, parent
            children = node.children()
            stack.extend((child, node) for child in reversed(children))

    def find_all(self, *classes: type[N]) -> Iterator[N]:
        """The nodes of the tree (this one included) that are instances of
        any of `classes`, in source order."""
        for node, _ in self.walk():
            if isinstance(node, classes):
                yield node

    def find(self, *classes: type[N]) -> N | None:
        """The first node of `find_all`, or None."""
        return next(self.find_all(*classes), None)

    def to_dax(self, *, separators: Literal["comma", "semicolon"] = "comma") -> str:
        """DAX text that parses back to a tree equal to this one: canonical
        spelling (keywords in upper case, single spaces, no comments), no
        layout. `separators="semicolon"` separates lists with `;` for trees
        parsed with that convention, whose numbers are written `1,5`."""
        from .printer import to_dax

        return to_dax(self, separators=separators)

    def __eq__(self, other: object) -> bool:
        if self is other:
            return True
        if not isinstance(other, Node):
            return NotImplemented
        stack: list[tuple[Any, Any]] = [(self, other)]
        while stack:
            a, b = stack.pop()
            if isinstance(a, Node):
                if type(a) is not type(b):
                    return False
                stack.extend((getattr(a, name), getattr(b, name)) for name in a._fields)
            elif isinstance(a, tuple):
                if not isinstance(b, tuple) or len(a) != len(b):
                    return False
                stack.extend(zip(a, b))
            elif a != b:
                return False
        return True

    def __ne__(self, other: object) -> bool:
        equal = self.__eq__(other)
        return equal if equal is NotImplemented else not equal

    def __hash__(self) -> int:
        # Shallow, so that hashing a deep tree costs nothing: the kind, the
        # plain fields, and the shape of the child fields. Equal trees agree
        # on all of it.
        shape: list[object] = [type(self).__name__]
        for name in self._fields:
            value = getattr(self, name)
            if isinstance(value, Node):
                shape.append(type(value).__name__)
            elif isinstance(value, tuple):
                shape.append(len(value))
            else:
                shape.append(value)
        return hash(tuple(shape))

    # Copies and pickles keep every position and the source, and take no
    # recursion however deep the tree (see the copying module).

    def __copy__(self) -> Node:
        from .copying import remade

        return remade(type(self), _syntax.position(self), tuple(getattr(self, name) for name in self._fields))

    def __deepcopy__(self, memo: dict[int, Any]) -> Node:
        from .copying import deep_copy

        return deep_copy(self, memo)

    def __reduce__(self) -> tuple[Any, ...]:
        from .copying import flattened, unflattened

        return unflattened, flattened(self)

    def __post_init__(self) -> None:
        # Only a node built in code gets here: the parser makes its nodes
        # without running their constructors.
        from .fields import check_node

        check_node(self, Node)

    def __repr__(self) -> str:
        # Built with a work list: a deep tree has a deep repr.
        out: list[str] = []
        stack: list[object] = [self]
        while stack:
            item = stack.pop()
            if isinstance(item, _Text):
                out.append(item.text)
            elif isinstance(item, Node):
                parts: list[object] = [_Text(type(item).__name__ + "(")]
                for index, name in enumerate(item._fields):
                    parts.append(_Text((", " if index else "") + name + "="))
                    parts.append(getattr(item, name))
                parts.append(_Text(")"))
                stack.extend(reversed(parts))
            elif isinstance(item, tuple):
                parts = [_Text("(")]
                for index, element in enumerate(item):
                    if index:
                        parts.append(_Text(", "))
                    parts.append(element)
                parts.append(_Text(",)" if len(item) == 1 else ")"))
                stack.extend(reversed(parts))
            else:
                out.append(repr(item))
        return "".join(out)


class _Text:
    """A piece of finished output on a printing work list."""

    __slots__ = ("text",)

    def __init__(self, text: str) -> None:
        self.text = text


class Expr(Node):
    """The base of the expression nodes."""

    __slots__ = ()


class Definition(Node):
    """The base of the kinds of DEFINE-block definition: the five of the
    standard grammar and the engine grammar's MParameter."""

    __slots__ = ()



# --- expressions ----------------------------------------------------------------


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Number(Expr):
    """A number, spelled as written (`1`, `.5`, `1e3`)."""

    value: str


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class String(Expr):
    """A string literal; `value` is its content with doubled quotes undone."""

    value: str


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Boolean(Expr):
    """`TRUE` or `FALSE` without parentheses."""

    value: bool


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Blank(Expr):
    """`BLANK` without parentheses."""


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Parameter(Expr):
    """A query parameter, `@name`; `name` is without the `@`."""

    name: str


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Identifier(Expr):
    """A bare name: a table, a variable or a function parameter."""

    name: str


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class TableName(Node):
    """The table of a reference, `Sales` or `'Sales'`; `name` is unquoted."""

    name: str
    quoted: bool


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class TableRef(Expr):
    """A quoted table name standing alone, `'Sales'`."""

    table: TableName


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class BracketRef(Expr):
    """`[name]`: a measure, or a column in row context."""

    name: str


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class TableColumnRef(Expr):
    """`'Sales'[Amount]`."""

    table: TableName
    column: str


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class HierarchyRef(Expr):
    """`'Date'[Calendar].[Year]`: a column followed by its levels."""

    table: TableName
    column: str
    levels: tuple[str, ...]


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class FunctionCall(Expr):
    """`NAME(arguments)`; `name` is spelled as written."""

    name: str
    args: tuple[Expr, ...]


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Unary(Expr):
    """`-x`, `+x` or `NOT x`."""

    op: UnaryOperator
    expr: Expr


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Binary(Expr):
    """`left op right`."""

    op: BinaryOperator
    left: Expr
    right: Expr


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class VarDecl(Node):
    """`VAR name = expr` inside a VarBlock."""

    name: str
    expr: Expr


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class VarBlock(Expr):
    """`VAR ... RETURN body`."""

    decls: tuple[VarDecl, ...]
    body: Expr


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class TableConstructor(Expr):
    """`{ a, b }` or `{ (a, b), (c, d) }`: one tuple of cells per row."""

    rows: tuple[tuple[Expr, ...], ...]


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Paren(Expr):
    """`( expr )`."""

    expr: Expr


# The engine grammar's own forms.


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Omitted(Expr):
    """An argument left out between separators, `INDEX(1, , -1)`. Its span
    is empty, just after the token before it, and its text is ""."""


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class TypedLiteral(Expr):
    """`dt"2024-01-31"`: the prefix as written and the string's content."""

    prefix: str
    value: str


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class RowConstructor(Expr):
    """`( a, b )` before IN: the values of one row."""

    items: tuple[Expr, ...]


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Axis(Expr):
    """The axes of a visual calculation written as two words, `ROWS COLUMNS`."""

    words: tuple[str, ...]


# --- queries --------------------------------------------------------------------


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Measure(Definition):
    """`MEASURE table[name] = expr`; `doc` joins its `///` lines."""

    doc: str | None
    table: TableName | None
    name: str
    expr: Expr


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Var(Definition):
    """`VAR name = expr` in a DEFINE block."""

    doc: str | None
    name: str
    expr: Expr


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class OrderKey(Node):
    """One key of ORDER BY; ASC when no direction is written."""

    expr: Expr
    direction: Direction


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class VisualGroup(Node):
    """`GROUP columns [TOTAL column]` in an axis of a visual shape."""

    columns: tuple[Expr, ...]
    total: Expr | None


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class VisualAxis(Node):
    """`AXIS ROWS|COLUMNS groups [ORDER BY keys]`; `name` as written."""

    name: str
    groups: tuple[VisualGroup, ...]
    order_by: tuple[OrderKey, ...]


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class VisualShape(Node):
    """`WITH VISUAL SHAPE axes [DENSIFY "name"]` after a TABLE definition."""

    axes: tuple[VisualAxis, ...]
    densify: str | None


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Table(Definition):
    """`TABLE name = expr`, with the visual shape of a visual calculation."""

    doc: str | None
    name: str
    expr: Expr
    visual_shape: VisualShape | None = None


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Column(Definition):
    """`COLUMN table[name] = expr`."""

    doc: str | None
    table: TableName | None
    name: str
    expr: Expr


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class FuncParam(Node):
    """One parameter of a FUNCTION: its name, type hints (`INT64 VAL`) and
    default value, which makes it optional."""

    name: str
    type_hints: tuple[str, ...]
    default: Expr | None = None


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Function(Definition):
    """`FUNCTION name = ( params ) => body`."""

    doc: str | None
    name: str
    params: tuple[FuncParam, ...]
    body: Expr


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class MParameter(Definition):
    """`MPARAMETER name = expr` (engine grammar): the value a query gives a
    dynamic M query parameter of the model; `name` without its quotes."""

    doc: str | None
    name: str
    expr: Expr


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class DefineBlock(Node):
    """`DEFINE` and its definitions."""

    defs: tuple[Definition, ...]


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Evaluate(Node):
    """`EVALUATE expr [ORDER BY keys [START AT values]]`."""

    expr: Expr
    order_by: tuple[OrderKey, ...]
    start_at: tuple[Expr, ...] | None


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Query(Node):
    """An optional DEFINE block and the EVALUATE statements."""

    define: DefineBlock | None
    evaluates: tuple[Evaluate, ...]


#: Every node class by name, as the native module makes them.
NODE_CLASSES: dict[str, type[Node]] = {
    cls.__name__: cls
    for cls in (
        Number, String, Boolean, Blank, Parameter, Identifier, TableRef, BracketRef, TableColumnRef,
        HierarchyRef, FunctionCall, Unary, Binary, VarBlock, TableConstructor, Paren, Omitted, TypedLiteral,
        RowConstructor, Axis, TableName, VarDecl, Query, DefineBlock, Measure, Var, Table, Column, Function,
        MParameter, FuncParam, Evaluate, OrderKey, VisualShape, VisualAxis, VisualGroup,
    )
}
for _cls in NODE_CLASSES.values():
    _cls._fields = tuple(field.name for field in dataclasses.fields(_cls))  # type: ignore[arg-type]
