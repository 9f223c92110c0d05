"""Colour on a terminal: whether to use it, as the conventions of
command-line tools say (`NO_COLOR` set and not empty: never; `FORCE_COLOR`
set and not empty or 0: always; otherwise on a terminal that is not
`dumb`), and the few styles the reports use."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import IO, Literal

__all__ = ["ColourChoice", "colour_wanted", "paint", "paint_diff"]

ColourChoice = Literal["auto", "always", "never"]

_CODES = {"bold": "1", "dim": "2", "red": "31", "green": "32", "yellow": "33", "blue": "34", "magenta": "35",
          "cyan": "36"}


def colour_wanted(
    stream: IO[str] | None, choice: ColourChoice = "auto", environ: Mapping[str, str] | None = None
) -> bool:
    """Whether text written to `stream` gets colour: `choice` "always" or
    "never" decides; "auto" asks the environment, then the stream."""
    if choice != "auto":
        return choice == "always"
    environ = os.environ if environ is None else environ
    if environ.get("NO_COLOR", ""):
        return False
    forced = environ.get("FORCE_COLOR", "")
    if forced and forced != "0":
        return True
    if stream is None or environ.get("TERM") == "dumb":
        return False
    try:
        return stream.isatty()
    except (ValueError, OSError):
        return False


def paint(text: str, *styles: str) -> str:
    """`text` in the styles named (bold, red, ...), reset after it."""
    if not styles or not text:
        return text
    return "\x1b[" + ";".join(_CODES[style] for style in styles) + "m" + text + "\x1b[0m"


def paint_diff(diff: str) -> str:
    """A unified diff with its headers in bold, hunks in cyan, removed lines
    in red and added ones in green."""
    lines = []
    for line in diff.splitlines(keepends=True):
        body = line.rstrip("\n")
        end = line[len(body) :]
        if body.startswith(("--- ", "+++ ")):
            lines.append(paint(body, "bold") + end)
        elif body.startswith("@@"):
            lines.append(paint(body, "cyan") + end)
        elif body.startswith("-"):
            lines.append(paint(body, "red") + end)
        elif body.startswith("+"):
            lines.append(paint(body, "green") + end)
        else:
            lines.append(line)
    return "".join(lines)
