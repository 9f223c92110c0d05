"""The fields of the node classes, read from their annotations: what each
may hold and which hold nodes.

Two users: a node built in code checks its values in its constructor (a
node the parser makes is right by construction, and is made without its
constructor running), and copying and pickling walk a tree field by field
without asking each node for its children.
"""

from __future__ import annotations

import difflib
import functools
import types
import typing
from typing import Any, NamedTuple

__all__ = ["NODE", "NODES", "PLAIN", "ROWS", "STRINGS", "FieldSpec", "check_node", "check_values", "field_specs"]

# What a field holds: a str, a bool or one of a Literal's strings; a tuple of
# strs; a node; a tuple of nodes; a tuple of tuples of nodes (table rows).
PLAIN, STRINGS, NODE, NODES, ROWS = range(5)


class FieldSpec(NamedTuple):
    name: str
    shape: int
    #: None is allowed.
    optional: bool
    #: The node class of a NODE, NODES or ROWS field; str or bool for a PLAIN one.
    type: type
    #: A Literal field's allowed strings.
    choices: tuple[str, ...] | None = None


def _spec(name: str, hint: Any, node_class: type) -> FieldSpec:
    optional = False
    if typing.get_origin(hint) in (typing.Union, types.UnionType):
        arguments = [argument for argument in typing.get_args(hint) if argument is not type(None)]
        optional = len(arguments) < len(typing.get_args(hint))
        (hint,) = arguments
    origin = typing.get_origin(hint)
    if origin is typing.Literal:
        return FieldSpec(name, PLAIN, optional, str, typing.get_args(hint))
    if origin is tuple:
        item = typing.get_args(hint)[0]
        if typing.get_origin(item) is tuple:
            return FieldSpec(name, ROWS, optional, typing.get_args(item)[0])
        if isinstance(item, type) and issubclass(item, node_class):
            return FieldSpec(name, NODES, optional, item)
        return FieldSpec(name, STRINGS, optional, item)
    if isinstance(hint, type) and issubclass(hint, node_class):
        return FieldSpec(name, NODE, optional, hint)
    return FieldSpec(name, PLAIN, optional, hint)


_SPECS: dict[type, tuple[FieldSpec, ...]] = {}


def field_specs(cls: type, node_class: type) -> tuple[FieldSpec, ...]:
    """The specs of `cls`'s fields in declaration order (read once per
    class); `node_class` is the base of every node class."""
    found = _SPECS.get(cls)
    if found is None:
        import dataclasses

        hints = typing.get_type_hints(cls)
        fields = dataclasses.fields(cls)
        found = _SPECS[cls] = tuple(_spec(field.name, hints[field.name], node_class) for field in fields)
    return found


def _type_name(value: object) -> str:
    return type(value).__name__


def _a(cls: type) -> str:
    name = cls.__name__
    return ("an " if name[0] in "AEIOU" else "a ") + name


def _closest(value: str, choices: tuple[str, ...], spellings: dict[str, tuple[str, ...]]) -> str | None:
    for named in spellings.get(value.strip().upper(), ()):
        if named in choices:
            return named
    folded = {choice.casefold(): choice for choice in choices}
    if value.casefold() in folded:
        return folded[value.casefold()]
    for choice in choices:
        if value.casefold().startswith(choice.casefold()) and len(choice) >= 2:
            return choice
    close = difflib.get_close_matches(value, choices, n=1, cutoff=0.6)
    return close[0] if close else None


def check_values(
    node: Any, specs: tuple[FieldSpec, ...], spellings: dict[str, tuple[str, ...]]
) -> dict[str, tuple[Any, ...]]:
    """Checks each field of `node` against its field rule: TypeError for a value of
    the wrong type, ValueError for a string a Literal does not allow (with
    the closest allowed one; `spellings` maps operator spellings such as `=`
    to the names they may stand for). A list where a tuple belongs is accepted: the returned
    mapping gives the tuples to store in its place."""
    cls = type(node).__name__
    converted: dict[str, tuple[Any, ...]] = {}
    for rule in specs:
        value = getattr(node, rule.name)
        where = f"{cls}.{rule.name}"
        if value is None:
            if not rule.optional:
                raise TypeError(f"{where} must not be None")
            continue
        if rule.shape == PLAIN:
            if rule.type is bool:
                if type(value) is not bool:
                    raise TypeError(f"{where} must be True or False, not {_type_name(value)}")
            elif not isinstance(value, str):
                raise TypeError(f"{where} must be a str, not {_type_name(value)} ({value!r})")
            elif not _utf8(value):
                raise ValueError(f"{where} holds a lone surrogate, which no DAX text can: {value!r}")
            elif rule.choices is not None and value not in rule.choices:
                closest = _closest(value, rule.choices, spellings)
                advice = f" (did you mean {closest!r}?)" if closest else ""
                allowed = ", ".join(repr(choice) for choice in rule.choices)
                raise ValueError(f"{where} must be one of {allowed}, not {value!r}{advice}")
            continue
        if rule.shape == NODE:
            if not isinstance(value, rule.type):
                raise TypeError(f"{where} must be {_a(rule.type)} node, not {_type_name(value)}")
            continue
        if isinstance(value, list):
            value = converted[rule.name] = tuple(value)
        if not isinstance(value, tuple):
            raise TypeError(f"{where} must be a tuple, not {_type_name(value)}")
        if rule.shape == ROWS:
            rows = tuple(tuple(row) if isinstance(row, list) else row for row in value)
            if any(row is not original for row, original in zip(rows, value)):
                value = converted[rule.name] = rows
            for row in value:
                if not isinstance(row, tuple):
                    raise TypeError(f"each row of {where} must be a tuple of expressions, not {_type_name(row)}")
                _check_items(row, rule.type, f"a cell of {where}")
        elif rule.shape == NODES:
            _check_items(value, rule.type, f"an item of {where}")
        else:
            for item in value:
                if not isinstance(item, str):
                    raise TypeError(f"an item of {where} must be a str, not {_type_name(item)} ({item!r})")
                if not _utf8(item):
                    raise ValueError(f"an item of {where} holds a lone surrogate, which no DAX text can: {item!r}")
    return converted


def _utf8(text: str) -> bool:
    if text.isascii():
        return True
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


# --- what prints as the DAX it stands for -------------------------------------------
#
# A value of the right type may still print as other DAX: Number("abc")
# would read back as a name, Identifier("RETURN") not at all, a VarBlock
# without a VarDecl as no DAX. Each check reads the value as the parser
# would and compares, or asks for what the grammar needs there.


def _tokens(text: str, separators: str = "comma") -> list[Any] | None:
    from .parsing import ParseError, tokenize

    try:
        return tokenize(text, comments=True, separators=separators)  # type: ignore[arg-type]
    except ParseError:
        return None


def _one_token(text: str, kind: str, separators: str = "comma") -> bool:
    tokens = _tokens(text, separators)
    return tokens is not None and len(tokens) == 1 and tokens[0].kind == kind and tokens[0].text == text


def _check_number(node: Any) -> None:
    value = node.value
    if _one_token(value, "Number") or _one_token(value, "Number", "semicolon"):
        return
    advice = ""
    if value[:1] in "+-" and _one_token(value[1:], "Number"):
        sign = "Minus" if value[0] == "-" else "Plus"
        advice = f": a sign is an operator, Unary({sign!r}, Number({value[1:]!r}))"
    raise ValueError(f"Number.value must be a DAX number as written, such as '2023', '1.5', '.5' or '1e3',"
                     f" not {value!r}{advice}")


def _check_name(field: str, *, kind: str = "Ident", prefix: str = "", unnamed: bool = False) -> Any:
    """A check that a name field reads as one token of `kind`; `unnamed`:
    "" is allowed too."""
    def check(node: Any) -> None:
        value = getattr(node, field)
        if not (unnamed and value == "") and not _one_token(prefix + value, kind):
            raise ValueError(f"{type(node).__name__}.{field} must be a name that DAX reads without quotes, such as"
                             f" 'Total' or 'Local.Fn', not {value!r}")
    return check


def _check_identifier(node: Any) -> None:
    from .parsing import ParseError, parse_expression

    _check_name("name")(node)
    try:
        read = parse_expression(node.name)
    except ParseError:
        read = None
    if type(read) is not type(node):
        raise ValueError(f"Identifier.name {node.name!r} is a keyword of DAX, not a name")


def _check_variable(node: Any) -> None:
    from .parsing import ParseError, parse_expression

    _check_name("name")(node)
    try:
        read = parse_expression(f"VAR {node.name} = 0 RETURN 0")
    except ParseError:
        raise ValueError(f"{type(node).__name__}.name {node.name!r} is a keyword of DAX, not a name") from None
    assert read is not None


def _check_typed_literal(node: Any) -> None:
    from .parsing import ParseError, parse_expression

    try:
        read = parse_expression(node.prefix + '""')
    except ParseError:
        read = None
    if type(read) is not type(node):
        raise ValueError(f"TypedLiteral.prefix must be a prefix DAX knows, such as 'dt', not {node.prefix!r}")


def _check_words(field: str) -> Any:
    def check(node: Any) -> None:
        for word in getattr(node, field):
            if not _one_token(word, "Ident"):
                raise ValueError(f"each item of {type(node).__name__}.{field} must be one word, not {word!r}")
    return check


def _at_least(field: str, count: int, why: str) -> Any:
    def check(node: Any) -> None:
        if len(getattr(node, field)) < count:
            held = "one item" if count == 1 else f"{count} items"
            raise ValueError(f"{type(node).__name__}.{field} must hold at least {held}: {why}")
    return check


def _check_table_rows(node: Any) -> None:
    for row in node.rows:
        if not row:
            raise ValueError("each row of TableConstructor.rows must hold at least one expression: DAX has no"
                             " empty row, `{()}`; an empty table is rows=()")


def _check_axis(node: Any) -> None:
    from .parsing import ParseError, parse_expression

    words = " ".join(node.words)
    try:
        read = parse_expression(f"F(0, {words})") if len(node.words) == 2 else None
    except ParseError:
        read = None
    if read is None or type(read.args[1]) is not type(node):  # type: ignore[attr-defined]
        raise ValueError(f"Axis.words must be two of ROWS and COLUMNS, such as ('ROWS', 'COLUMNS'),"
                         f" not {node.words!r}")


def _check_visual_axis(node: Any) -> None:
    if node.name.upper() not in ("ROWS", "COLUMNS"):
        raise ValueError(f"VisualAxis.name must be ROWS or COLUMNS, not {node.name!r}")
    if not node.groups and not node.order_by:
        raise ValueError("a VisualAxis must have groups, an order_by or both: DAX has no empty AXIS")


def _check_evaluate(node: Any) -> None:
    if node.start_at is None:
        return
    if not node.order_by:
        raise ValueError("Evaluate.start_at needs an order_by: START AT follows ORDER BY")
    if not 1 <= len(node.start_at) <= len(node.order_by):
        raise ValueError(f"Evaluate.start_at must hold one to {len(node.order_by)} values (one per ORDER BY key"
                         f" at most), not {len(node.start_at)}; no START AT is start_at=None")


def _checks(*checks: Any) -> Any:
    def check(node: Any) -> None:
        for one in checks:
            one(node)
    return check


_SPELLING_CHECKS: dict[str, Any] = {
    "Number": _check_number,
    "Identifier": _check_identifier,
    "Parameter": _check_name("name", kind="Param", prefix="@"),
    "FunctionCall": _check_name("name"),
    "VarDecl": _check_variable,
    "Var": _check_variable,
    "FuncParam": lambda node: (_check_name("name")(node), _check_words("type_hints")(node)),
    # A model's function is read from its `(parameters) => body` alone.
    "Function": _check_name("name", unnamed=True),
    "TypedLiteral": _check_typed_literal,
    "Axis": _checks(_check_words("words"), _check_axis),
    "VisualAxis": _checks(_check_name("name"), _check_visual_axis),
    # Trees that print as text that reads back as another tree, or as none.
    "VarBlock": _at_least("decls", 1, "DAX has no RETURN without a VAR before it"),
    "TableConstructor": _check_table_rows,
    "RowConstructor": _at_least("items", 2, "a row of one value reads back as a Paren"),
    "HierarchyRef": _at_least("levels", 1, "a column without levels is a TableColumnRef"),
    "DefineBlock": _at_least("defs", 1, "DEFINE must be followed by a definition"),
    "Query": _at_least("evaluates", 1, "a query has an EVALUATE"),
    "Evaluate": _check_evaluate,
    "VisualShape": _at_least("axes", 1, "WITH VISUAL SHAPE must be followed by an AXIS"),
    "VisualGroup": _at_least("columns", 1, "GROUP must be followed by a column"),
}


@functools.cache
def _operator_spellings() -> dict[str, tuple[str, ...]]:
    from .spelling import BINARY_OPERATORS, UNARY_OPERATORS

    spellings: dict[str, tuple[str, ...]] = {}
    for name, (_, _, spelling) in BINARY_OPERATORS.items():
        spellings[spelling.strip().upper()] = (*spellings.get(spelling.strip().upper(), ()), name)
    for name, (_, spelling) in UNARY_OPERATORS.items():
        spellings[spelling.strip().upper()] = (*spellings.get(spelling.strip().upper(), ()), name)
    # Words people write for them.
    for word, names in (("EQUALS", ("Eq",)), ("EQUAL", ("Eq",)), ("PLUS", ("Add",)), ("MINUS", ("Sub",)),
                        ("NOTEQUAL", ("Neq",)), ("CONCATENATE", ("Concat",)), ("&", ("Concat",))):
        spellings.setdefault(word, names)
    return spellings


def check_node(node: Any, node_class: type) -> None:
    """Checks a node built in code (see `check_values`) and that what it
    holds prints as the DAX it stands for; lists given for tuples are
    stored as tuples."""
    cls = type(node)
    converted = check_values(node, field_specs(cls, node_class), _operator_spellings())
    for name, value in converted.items():
        object.__setattr__(node, name, value)
    for base in cls.__mro__:  # a caller's subclass is checked as its node class is
        if base.__module__ == node_class.__module__:
            check = _SPELLING_CHECKS.get(base.__name__)
            if check is not None:
                check(node)
            break


def _check_items(items: tuple[Any, ...], item_type: type, where: str) -> None:
    for item in items:
        if not isinstance(item, item_type):
            raise TypeError(f"{where} must be {_a(item_type)} node, not {_type_name(item)}")
