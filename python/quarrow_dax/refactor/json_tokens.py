"""Rewriting part of a JSON string token in place: which characters of the
file write each character of its value, and how a new piece of value is
written there in the file's own hand (`model.json_strings`). A token may be
one of a JSON text that a JSON string holds (PBIR-Legacy's `config`), its
`depth` then 2: its characters are escaped twice.

    token = JsonToken(file_text, start, end, depth=1)
    token.value                                # the decoded string
    start, end, raw = token.replace(0, len(token.value), "New name")
    file_text[:start] + raw + file_text[end:]  # the token now says "New name"
"""

from __future__ import annotations

import json
import re

from ..model.json_strings import EscapeStyle, FileEscapes, encode

__all__ = ["JsonToken", "decode_with_offsets"]

# One character as a JSON string writes it: a surrogate pair, an escape, or
# itself.
_PIECE = re.compile(
    r"\\u[dD][89abAB][0-9a-fA-F]{2}\\u[dD][c-fC-F][0-9a-fA-F]{2}|\\u[0-9a-fA-F]{4}|\\.|[^\\]", re.DOTALL
)


def decode_with_offsets(raw: str, base: int = 0) -> tuple[str, list[int]]:
    """The value of a JSON string's contents `raw` (between its quotes), and
    where each of its characters is written (`base` plus the offset into
    `raw`), then where `raw` ends. Raises ValueError for a bad escape."""
    if "\\" not in raw:
        return raw, list(range(base, base + len(raw) + 1))
    chars: list[str] = []
    offsets: list[int] = []
    for match in _PIECE.finditer(raw):
        piece = match.group()
        offsets.append(base + match.start())
        chars.append(json.loads('"' + piece + '"') if piece[0] == "\\" else piece)
    offsets.append(base + len(raw))
    return "".join(chars), offsets


class JsonToken:
    """A JSON string token at `start`..`end` of `file_text` (its quotes
    included; at `depth` 2 its escaped quotes `\\"`), decoded: `value`, and
    `offsets`, where each character of the value is written in the file
    and, last, where the closing quote is."""

    def __init__(self, file_text: str, start: int, end: int, depth: int = 1,
                 file_escapes: FileEscapes | None = None) -> None:
        if depth not in (1, 2):
            raise ValueError(f"a string token {depth} texts deep")
        self.start = start
        self.end = end
        self.depth = depth
        raw = file_text[start:end]
        escapes = file_escapes if file_escapes is not None else FileEscapes(file_text)
        if depth == 1:
            if len(raw) < 2 or raw[0] != '"' or raw[-1] != '"':
                raise ValueError(f"not a JSON string token at {start}: {raw[:20]!r}")
            self.value, self.offsets = decode_with_offsets(raw[1:-1], start + 1)
            #: The hands the value is written in, the innermost first.
            self.styles: tuple[EscapeStyle, ...] = (EscapeStyle.of([raw[1:-1]], escapes),)
            return
        # Twice deep: the file's characters write the inner token's, which
        # write the value's.
        inner, outer_offsets = decode_with_offsets(raw, start)
        if len(inner) < 2 or inner[0] != '"' or inner[-1] != '"':
            raise ValueError(f"not an escaped JSON string token at {start}: {raw[:20]!r}")
        self.value, inner_offsets = decode_with_offsets(inner[1:-1], 1)
        self.offsets = [outer_offsets[offset] for offset in inner_offsets]
        self.styles = (EscapeStyle.of([inner[1:-1]]), EscapeStyle.of([raw], escapes))

    def encode(self, text: str) -> str:
        """`text` written as characters of this token's value."""
        for style in self.styles:
            text = encode(text, style)
        return text

    def replace(self, start: int, end: int, text: str) -> tuple[int, int, str]:
        """Where in the file the value's characters `start`..`end` are
        written, and what writes `text` in their place."""
        return self.offsets[start], self.offsets[end], self.encode(text)
