"""Reading a configuration file into TOML data without ever failing on
its contents: every fault is a `ConfigError` with its file, line and
column, and `did_you_mean` words the error of a setting that does not
exist."""

from __future__ import annotations

import difflib
import os
import re
import tomllib
from collections.abc import Iterable, Mapping
from typing import Any

from ..sources import SourceError, read_text

__all__ = ["ConfigError", "MAX_CONFIG_DEPTH", "MAX_CONFIG_SIZE", "did_you_mean", "line_of", "parse_toml", "read_toml"]

#: No configuration file is anywhere near this size.
MAX_CONFIG_SIZE = 1 << 20
#: Arrays and inline tables nested deeper than this are refused before the
#: TOML reader sees them: it recurses once per level, and a few hundred
#: levels exhaust Python's stack. Real configuration nests three or four.
MAX_CONFIG_DEPTH = 100


class ConfigError(Exception):
    """A configuration file that cannot be used: `path`, `message` and,
    where known, the 1-based `line` and `column`."""

    def __init__(self, path: str, message: str, line: int | None = None, column: int | None = None) -> None:
        super().__init__(path, message, line, column)
        self.path = path
        self.message = message
        self.line = line
        self.column = column

    def __str__(self) -> str:
        where = self.path if self.line is None else f"{self.path}:{self.line}"
        return f"{where}: {self.message}"


# Letters typed for the digits they look like, in a rule code (DAX1O1).
_LOOK_ALIKE = str.maketrans({"O": "0", "o": "0", "I": "1", "l": "1", "L": "1"})


def did_you_mean(word: str, known: Iterable[str]) -> str:
    """" (did you mean 'select'?)" when one known word is close to `word`,
    else "". A code with a letter for a look-alike digit (DAX1O1) is taken
    for that code first."""
    candidates = list(known)
    head, digits = word[:3], word[3:]
    fixed = head.upper() + digits.translate(_LOOK_ALIKE)
    if fixed != word and fixed in candidates:
        return f" (did you mean {fixed!r}?)"
    close = difflib.get_close_matches(word, candidates, n=1, cutoff=0.6)
    return f" (did you mean {close[0]!r}?)" if close else ""


def line_of(text: str, key: str, header: str | None = None) -> int | None:
    """The 1-based line where `key` is set: after the table header `header`
    (such as ``[tool.quarrow-dax.format]``) when it is in the text, else
    anywhere. None when not found (a key written in an inline table)."""
    start = 0
    if header is not None:
        inner = r"\s*\.\s*".join(re.escape(part) for part in header.strip("[]").split("."))
        found = re.search(rf"^[ \t]*\[[ \t]*{inner}[ \t]*\]", text, re.MULTILINE)
        if found is not None:
            start = found.end()
    pattern = re.compile(rf"^[ \t]*[\"']?{re.escape(key)}[\"']?[ \t]*=", re.MULTILINE)
    match = pattern.search(text, start) or pattern.search(text)
    return None if match is None else text.count("\n", 0, match.start()) + 1


def _too_deep(text: str) -> tuple[int, int] | None:
    """(line, column) where arrays and inline tables nest deeper than
    MAX_CONFIG_DEPTH, or None. Strings and comments are stepped over, so a
    bracket inside them counts for nothing; one pass, no recursion."""
    depth = 0
    index = 0
    size = len(text)
    while index < size:
        char = text[index]
        if char == "#":
            end = text.find("\n", index)
            index = size if end < 0 else end
            continue
        if char in "\"'":
            triple = text.startswith(char * 3, index)
            quote = char * 3 if triple else char
            index += len(quote)
            while index < size:
                if char == '"' and text[index] == "\\":
                    index += 2
                    continue
                if text.startswith(quote, index):
                    index += len(quote)
                    # A closing """ may be followed by one or two more quotes
                    # that belong to the string.
                    while triple and index < size and text[index] == char:
                        index += 1
                    break
                if not triple and text[index] == "\n":
                    break  # an unclosed string: the TOML reader says where
                index += 1
            continue
        if char in "[{":
            depth += 1
            if depth > MAX_CONFIG_DEPTH:
                line = text.count("\n", 0, index) + 1
                return line, index - (text.rfind("\n", 0, index) + 1) + 1
        elif char in "]}":
            depth = max(0, depth - 1)
        index += 1
    return None


def parse_toml(text: str, shown: str) -> dict[str, Any]:
    """The data of a TOML text; raises ConfigError naming `shown`, the line
    and the column of what cannot be read."""
    deep = _too_deep(text)
    if deep is not None:
        raise ConfigError(shown, f"arrays or tables nested more than {MAX_CONFIG_DEPTH} levels deep: too deep to read",
                          *deep)
    try:
        return tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        message = str(error)
        if message.endswith(" (at end of document)"):
            raise ConfigError(shown, f"invalid TOML: {message[: -len(' (at end of document)')]} at the end",
                              text.count("\n") + 1) from None
        at = re.search(r" \(at line (\d+), column (\d+)\)$", message)
        if at is None:
            raise ConfigError(shown, f"invalid TOML: {message}") from None
        raise ConfigError(shown, f"invalid TOML: {message[: at.start()]}", int(at.group(1)), int(at.group(2))) from None
    except RecursionError:
        # Nesting that the scan above does not see as such (dotted keys
        # never recurse): kept as a located refusal all the same.
        raise ConfigError(shown, "nested too deeply to read") from None


def read_toml(path: str | os.PathLike[str], shown: str | None = None) -> tuple[dict[str, Any], str]:
    """The data and the text of the TOML file `path`. Raises ConfigError for
    a file that cannot be read (missing, a folder, a symbolic link loop, too
    large, not UTF-8) or parsed."""
    shown = os.fspath(path) if shown is None else shown
    try:
        text = read_text(path, max_size=MAX_CONFIG_SIZE)
    except SourceError as error:
        raise ConfigError(shown, error.message, error.line, error.column) from None
    return parse_toml(text, shown), text


def table_at(data: Mapping[str, Any], keys: tuple[str, ...]) -> Any:
    """The value at the dotted path `keys` of `data`, or None when a part is missing."""
    value: Any = data
    for key in keys:
        if not isinstance(value, Mapping) or key not in value:
            return None
        value = value[key]
    return value
