"""The checks a reviewed catalogue passes beyond what reading it enforces:
run by the tests over the shipped data file, and usable on an edited copy:

    python -m quarrow_dax.functions.validate [FILE]

prints one line per problem and exits 1 when there is any."""

from __future__ import annotations

import re
import sys
from collections.abc import Iterable, Mapping

from .binding import automaton
from .data import DATA_FILE, CatalogueError, parse
from .model import CATEGORIES, KINDS, Signature

__all__ = ["problems"]

_NAME = re.compile(r"^[A-Z][A-Z0-9_]*(\.[A-Z0-9_]+)*$")
_LINKS = ("https://learn.microsoft.com/dax/", "https://dax.guide/")
_WORD = re.compile(r"^[A-Z][A-Z0-9_]*$")


def _one(found: Signature) -> Iterable[str]:
    name = found.name
    if not _NAME.match(name):
        yield f"{name}: not a function name as DAX spells them"
    if found.category not in CATEGORIES:
        yield f"{name}: unknown category {found.category!r}"
    text = found.description
    if not text or not text[0].isupper() or not text.endswith(".") or "\n" in text or len(text) > 140:
        yield f"{name}: the description is one sentence of at most 140 characters, capitalized, with a full stop"
    if not found.link.startswith(_LINKS):
        yield f"{name}: the link is not a page of the reference: {found.link}"
    for form in found.forms:
        for parameter in form.parameters:
            if parameter.kind not in KINDS:
                yield f"{name}: parameter {parameter.name} has an unknown kind {parameter.kind!r}"
            if parameter.kind == "keyword" and not parameter.keywords:
                yield f"{name}: keyword parameter {parameter.name} lists no words"
            for word in parameter.keywords:
                if not _WORD.match(word):
                    yield f"{name}: {word!r} is not a word DAX could read as a keyword"
    # The bounds, worked out from the parameters, against what the automaton
    # of the forms actually accepts.
    machine = automaton(found)
    low, high = found.min_args, found.max_args
    if not machine.valid_count(low) or (low and machine.valid_count(low - 1)):
        yield f"{name}: min_args {low} is not the fewest arguments its forms take"
    if high is not None:
        if high < low or not machine.valid_count(high) or machine.valid_count(high + 1):
            yield f"{name}: max_args {high} is not the most arguments its forms take"
    elif not any(machine.valid_count(count) for count in range(low + 1, low + 12)):
        yield f"{name}: unbounded, yet no count above {low} fits"
    if found.replacement is not None and found.replacement == name:
        yield f"{name}: replaced by itself"


def problems(catalogue: Mapping[str, Signature], required: Iterable[str] = ()) -> list[str]:
    """What is wrong with a catalogue: malformed entries, bounds that do not
    match the parameters, replacements that are not in it, and names of
    `required` that it lacks."""
    found: list[str] = []
    for key, entry in catalogue.items():
        if key != entry.name:
            found.append(f"{entry.name}: listed under {key!r}")
        found.extend(_one(entry))
        if entry.replacement is not None and entry.replacement not in catalogue:
            found.append(f"{entry.name}: its replacement {entry.replacement} is not in the catalogue")
    for name in sorted(set(required) - set(catalogue)):
        if not name.startswith("INFO."):
            found.append(f"{name}: a built-in function missing from the catalogue")
    return found


def main(argv: list[str]) -> int:
    path = argv[0] if argv else str(DATA_FILE)
    try:
        with open(path, encoding="utf-8") as file:
            catalogue = parse(file.read())
    except (OSError, CatalogueError) as error:
        print(f"{path}: {error}", file=sys.stderr)
        return 1
    listed = problems(catalogue)
    for problem in listed:
        print(f"{path}: {problem}")
    return 1 if listed else 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
