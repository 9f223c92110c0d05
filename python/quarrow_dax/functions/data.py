"""Reading the catalogue's data file, `signatures.txt`, whose format its own
header describes. Every mistake in it is a `CatalogueError` naming the
line, so that a bad edit fails the import (and the tests) where it is."""

from __future__ import annotations

import re
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import cast, get_args

from .model import CATEGORIES, Form, Item, Kind, Parameter, RepeatingGroup, Returns, Signature

__all__ = ["DATA_FILE", "Catalogue", "CatalogueError", "learn_link", "load", "parse"]

#: The data file, shipped in the package beside this module.
DATA_FILE = Path(__file__).with_name("signatures.txt")

LEARN = "https://learn.microsoft.com/dax/"
DAX_GUIDE = "https://dax.guide/"


class CatalogueError(ValueError):
    """A line of the data file that does not follow its format."""

    def __init__(self, line: int, message: str) -> None:
        super().__init__(f"{DATA_FILE.name}:{line}: {message}")
        self.line = line
        self.message = message


_HEADER = re.compile(r"^(?P<name>[A-Z][A-Z0-9_.]*) \( (?P<params>.*?) ?\) -> (?P<returns>\w+)$")
_PARAM = re.compile(r"^(?P<name>[A-Za-z][A-Za-z0-9]*):(?P<kind>[a-z]+)(?:\((?P<words>[A-Z0-9_|]+)\))?(?P<mark>[?*+]?)$")
_CATEGORY = re.compile(r"^\[(?P<name>[a-z][a-z -]*)\]$")
_KINDS = frozenset(get_args(Kind))
_RETURNS = frozenset(get_args(Returns))


def learn_link(name: str) -> str:
    """The usual address of a function's page in the reference."""
    return f"{LEARN}{name.lower().replace('.', '-')}-function-dax"


def _split_top(text: str, line: int) -> list[str]:
    """`text` split at the commas outside braces."""
    if "{" not in text and "}" not in text:
        return [part.strip() for part in text.split(",")] if text.strip() else []
    parts: list[str] = []
    depth = 0
    current = ""
    for char in text:
        if char == "{":
            depth += 1
        elif char == "}":
            depth -= 1
            if depth < 0:
                raise CatalogueError(line, "a } without its {")
        if char == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += char
    if depth:
        raise CatalogueError(line, "a { without its }")
    if current.strip():
        parts.append(current.strip())
    return parts


def _parameter(text: str, line: int, in_group: bool) -> tuple[Parameter, str]:
    match = _PARAM.match(text)
    if match is None:
        raise CatalogueError(line, f"not a parameter: {text!r} (write Name:kind, with ?, * or + after it)")
    kind = match.group("kind")
    if kind not in _KINDS:
        raise CatalogueError(line, f"unknown kind {kind!r} of parameter {match.group('name')}")
    words = tuple(match.group("words").split("|")) if match.group("words") else ()
    if kind == "keyword" and not words:
        raise CatalogueError(line, f"a keyword parameter lists its words: {text!r}")
    mark = match.group("mark")
    if in_group and mark in ("*", "+"):
        raise CatalogueError(line, f"a member of a group repeats with its group, not on its own: {text!r}")
    parameter = Parameter(match.group("name"), cast(Kind, kind), optional=mark == "?", repeating=in_group,
                          keywords=words)
    return parameter, mark


def _form(params: str, line: int) -> Form:
    items: list[Item] = []
    for part in _split_top(params, line):
        if part.startswith("{"):
            close = part.rfind("}")
            mark = part[close + 1 :]
            if mark not in ("*", "+"):
                raise CatalogueError(line, f"a group ends with * or +: {part!r}")
            members = tuple(_parameter(member, line, True)[0] for member in _split_top(part[1:close], line))
            if not members or all(member.optional for member in members):
                raise CatalogueError(line, f"a group needs a member that is not optional: {part!r}")
            items.append(RepeatingGroup(members, at_least_once=mark == "+"))
            continue
        parameter, mark = _parameter(part, line, False)
        if mark in ("*", "+"):
            member = Parameter(parameter.name, parameter.kind, repeating=True, keywords=parameter.keywords)
            items.append(RepeatingGroup((member,), at_least_once=mark == "+"))
        else:
            items.append(parameter)
    return Form(tuple(items))


class _Entry:
    """A function being read: its forms so far and its fields."""

    def __init__(self, name: str, category: str, returns: Returns, line: int) -> None:
        self.name = name
        self.category = category
        self.returns = returns
        self.line = line
        self.forms: list[Form] = []
        self.description: str | None = None
        self.link: str | None = None
        self.deprecated = False
        self.replacement: str | None = None

    def signature(self) -> Signature:
        if self.description is None:
            raise CatalogueError(self.line, f"{self.name} has no description")
        return Signature(self.name, self.category, self.description, self.link or learn_link(self.name),
                         self.returns, tuple(self.forms), self.deprecated, self.replacement)

    def field(self, text: str, line: int) -> None:
        if self.description is None:
            self.description = text
            return
        keyword, _, value = text.partition(" ")
        if keyword == "link" and value:
            if value == "dax.guide":
                self.link = f"{DAX_GUIDE}{self.name.lower().replace('.', '-')}/"
            elif value.startswith("https://"):
                self.link = value
            else:
                self.link = LEARN + value
        elif keyword == "deprecated" and not value:
            self.deprecated = True
        elif keyword == "replaced-by" and value:
            self.replacement = value
        else:
            raise CatalogueError(line, f"unknown field of {self.name}: {text!r}")


def _entries(lines: list[str], category: str | None = None, offset: int = 0) -> Iterator[_Entry]:
    """The entries of `lines`, the data file's from line `offset` + 1 on,
    under `category` until a line names another."""
    entry: _Entry | None = None
    for number, raw in enumerate(lines, offset + 1):
        line = raw.rstrip()
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        if line.startswith((" ", "\t")):
            if entry is None:
                raise CatalogueError(number, "an indented line before any function")
            entry.field(line.strip(), number)
            continue
        heading = _CATEGORY.match(line)
        if heading is not None:
            if entry is not None:
                yield entry
                entry = None
            category = heading.group("name")
            if category not in CATEGORIES:
                raise CatalogueError(number, f"unknown category {category!r}")
            continue
        header = _HEADER.match(line)
        if header is None:
            raise CatalogueError(number, f"not a signature: {line!r} (write NAME ( parameters ) -> returns)")
        if category is None:
            raise CatalogueError(number, "a function before any [category]")
        name, returns = header.group("name"), header.group("returns")
        if returns not in _RETURNS:
            raise CatalogueError(number, f"unknown return kind {returns!r}")
        form = _form(header.group("params"), number)
        if entry is not None and entry.name == name and entry.description is None:
            if entry.returns != returns:
                raise CatalogueError(number, f"the forms of {name} return different kinds")
            entry.forms.append(form)
            continue
        if entry is not None:
            yield entry
        entry = _Entry(name, category, cast(Returns, returns), number)
        entry.forms.append(form)
    if entry is not None:
        yield entry


def parse(text: str) -> dict[str, Signature]:
    """The signatures of a data file's text, by name in upper case."""
    found: dict[str, Signature] = {}
    lines: dict[str, int] = {}
    for entry in _entries(text.splitlines()):
        if entry.name in found:
            raise CatalogueError(entry.line, f"{entry.name} is listed twice (first at line {lines[entry.name]})")
        found[entry.name] = entry.signature()
        lines[entry.name] = entry.line
    return found


class Catalogue(Mapping[str, Signature]):
    """The signatures of a data file's text by name in upper case, each read
    from its lines when it is first asked for: a command that meets a few
    dozen functions does not pay for reading five hundred. The names, their
    categories and where each entry's lines are come from one quick pass;
    `parse` reads everything at once, as the validator does."""

    def __init__(self, text: str) -> None:
        self._lines = text.splitlines()
        #: Each name's category and the range of its lines.
        self._places: dict[str, tuple[str, int, int]] = {}
        self._read: dict[str, Signature] = {}
        category: str | None = None
        name: str | None = None
        start = 0
        for index, line in enumerate(self._lines):
            if not line or line[0] in " \t#":
                continue
            if line.startswith("["):
                heading = _CATEGORY.match(line.rstrip())
                if heading is None or heading.group("name") not in CATEGORIES:
                    raise CatalogueError(index + 1, f"not a category: {line!r}")
                self._close(name, category, start, index)
                category, name = heading.group("name"), None
                continue
            found = line.split(" ", 1)[0]
            if found == name and not self._described(start, index):
                continue  # another form of the same function
            self._close(name, category, start, index)
            if category is None:
                raise CatalogueError(index + 1, "a function before any [category]")
            if found in self._places:
                raise CatalogueError(index + 1, f"{found} is listed twice (first at line {self._places[found][1] + 1})")
            name, start = found, index
        self._close(name, category, start, len(self._lines))

    def _described(self, start: int, end: int) -> bool:
        return any(line.strip() and not line.lstrip().startswith("#") and line[0] in " \t"
                   for line in self._lines[start:end])

    def _close(self, name: str | None, category: str | None, start: int, end: int) -> None:
        if name is not None and category is not None:
            self._places[name] = (category, start, end)

    def __getitem__(self, name: str) -> Signature:
        found = self._read.get(name)
        if found is None:
            category, start, end = self._places[name]
            entry = next(_entries(self._lines[start:end], category, start))
            found = self._read[name] = entry.signature()
        return found

    def get(self, name: str, default: Signature | None = None) -> Signature | None:  # type: ignore[override]
        found = self._read.get(name)
        if found is not None:
            return found
        return self[name] if name in self._places else default

    def __contains__(self, name: object) -> bool:
        return name in self._places

    def __iter__(self) -> Iterator[str]:
        return iter(self._places)

    def __len__(self) -> int:
        return len(self._places)

    def headers(self, name: str) -> list[str]:
        """The signature lines of a function's entry, unread."""
        _, start, end = self._places[name]
        return [line for line in self._lines[start:end] if line and line[0] not in " \t#"]


def load() -> Catalogue:
    """The catalogue of the data file, read as it is asked for."""
    return Catalogue(DATA_FILE.read_text(encoding="utf-8"))
