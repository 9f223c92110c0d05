"""The types of the function catalogue: a `Signature` per function, made of
one or more `Form`s (most functions have one), each a sequence of
`Parameter`s and `RepeatingGroup`s."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Literal, Union, get_args

__all__ = [
    "CATEGORIES", "KINDS", "Form", "Item", "Kind", "Parameter", "RepeatingGroup", "Returns", "Signature",
]

Kind = Literal[
    "scalar", "table", "column", "tableref", "ref", "measure", "dates", "calendar", "row", "context", "filter",
    "name", "keyword", "clause", "any",
]

#: What each kind of parameter takes, in words.
KINDS: dict[Kind, str] = {
    "scalar": "a scalar value",
    "table": "a table expression",
    "column": "a column reference",
    "tableref": "a reference to a table of the model",
    "ref": "a reference to a table, column, measure or calendar",
    "measure": "a measure reference",
    "dates": "a date column, a table of dates or a calendar",
    "calendar": "a calendar reference",
    "row": "an expression evaluated for each row of the table before it",
    "context": "an expression evaluated in a modified filter context",
    "filter": "a filter: a condition or a table",
    "name": "the name of a column it makes, as a string",
    "keyword": "one of a fixed set of words",
    "clause": "an ORDERBY, PARTITIONBY or MATCHBY clause",
    "any": "a scalar value or a table",
}
assert set(KINDS) == set(get_args(Kind))

Returns = Literal["scalar", "table", "any", "none"]

#: The categories of the catalogue, in the order the reference lists them.
CATEGORIES: tuple[str, ...] = (
    "aggregation", "date and time", "filter", "financial", "info", "information", "logical", "math and trig",
    "other", "parent and child", "relationship", "statistical", "table manipulation", "text",
    "time intelligence", "visual calculation", "user-defined",
)


@dataclass(frozen=True, slots=True)
class Parameter:
    """One parameter: its `name` as the reference writes it, its `kind`,
    whether it may be left out (`optional`), whether it belongs to a group
    that repeats (`repeating`), and for a keyword the words it takes."""

    name: str
    kind: Kind
    optional: bool = False
    repeating: bool = False
    keywords: tuple[str, ...] = ()

    def text(self) -> str:
        """The parameter as a signature shows it: `<Name>`."""
        return f"<{self.name}>"


@dataclass(frozen=True, slots=True)
class RepeatingGroup:
    """Parameters that come together any number of times (`{a, b}*`), or at
    least once (`at_least_once`, `{a, b}+`)."""

    members: tuple[Parameter, ...]
    at_least_once: bool


Item = Union[Parameter, RepeatingGroup]


@dataclass(frozen=True, slots=True)
class Form:
    """One way to call a function: its items in order."""

    items: tuple[Item, ...]

    @property
    def parameters(self) -> tuple[Parameter, ...]:
        """Every parameter, group members included, in order."""
        found: list[Parameter] = []
        for item in self.items:
            found.extend(item.members if isinstance(item, RepeatingGroup) else (item,))
        return tuple(found)

    @property
    def min_args(self) -> int:
        count = 0
        for item in self.items:
            if isinstance(item, RepeatingGroup):
                if item.at_least_once:
                    count += sum(not member.optional for member in item.members)
            elif not item.optional:
                count += 1
        return count

    @property
    def max_args(self) -> int | None:
        if any(isinstance(item, RepeatingGroup) for item in self.items):
            return None
        return len(self.items)

    @property
    def positional(self) -> bool:
        """Whether each argument's parameter follows from its place alone: no
        group, and no optional parameter before a required one."""
        seen_optional = False
        for item in self.items:
            if isinstance(item, RepeatingGroup):
                return False
            if item.optional:
                seen_optional = True
            elif seen_optional:
                return False
        return True

    def text(self, name: str) -> str:
        """The form as the reference writes a syntax: optional parts in
        brackets, repetition with an ellipsis."""
        text = ""
        for item in self.items:
            if isinstance(item, RepeatingGroup):
                members = ", ".join(f"[{m.text()}]" if m.optional else m.text() for m in item.members)
                if item.at_least_once:
                    text += (", " if text else "") + f"{members} [, {members}] …"
                else:
                    text += ("[, " if text else "[") + f"{members}] …"
            elif item.optional:
                text += ("[, " if text else "[") + f"{item.text()}]"
            else:
                text += (", " if text else "") + item.text()
        return f"{name} ( {text} )" if text else f"{name} ( )"


@dataclass(frozen=True)
class Signature:
    """What one function takes and returns. `parameters` are those of its
    first form; `forms` holds them all (MIN takes a column, or two values).
    `min_args` and `max_args` (None: no limit) span every form.
    `deprecated` is set where the reference marks the function so, and
    `replacement` names the newer function the reference points to."""

    name: str
    category: str
    description: str
    link: str
    returns: Returns
    forms: tuple[Form, ...]
    deprecated: bool = False
    replacement: str | None = None
    min_args: int = field(init=False)
    max_args: int | None = field(init=False)

    def __post_init__(self) -> None:
        maxima = [form.max_args for form in self.forms]
        object.__setattr__(self, "min_args", min(form.min_args for form in self.forms))
        object.__setattr__(self, "max_args", None if None in maxima else max(m for m in maxima if m is not None))

    @property
    def parameters(self) -> tuple[Parameter, ...]:
        return self.forms[0].parameters

    def text(self) -> str:
        """Every form's syntax, one a line."""
        return "\n".join(form.text(self.name) for form in self.forms)

    def to_dict(self) -> dict[str, Any]:
        """The signature as plain data (for JSON): its fields, each form's
        syntax and its parameters, a group's members marked `repeating`."""
        return {
            "name": self.name, "category": self.category, "description": self.description, "link": self.link,
            "returns": self.returns, "min_args": self.min_args, "max_args": self.max_args,
            "deprecated": self.deprecated, "replacement": self.replacement,
            "forms": [
                {"syntax": form.text(self.name),
                 "parameters": [{"name": p.name, "kind": p.kind, "optional": p.optional, "repeating": p.repeating,
                                 "keywords": list(p.keywords)} for p in form.parameters]}
                for form in self.forms
            ],
        }
