"""A formula's new text written as the JSON strings of a .bim file, in the
hand the file was written in: the escapes its serializer chose (`\\u00e9`
or `é`, `\\/` or `/`, `\\u0027` for a quote, upper- or lower-case hex digits)
are kept for the new text, and a character that the old text wrote
unusually for that hand (one `\\u00e9` among literal accents) keeps its
escape where the new text still holds it at the same place among the
characters that are not white space (which a layout change leaves alone:
it moves white space and changes the case of ASCII letters only).

    style = EscapeStyle.of(raw_strings, FileEscapes(file_text))
    contents = rewritten_strings(old_text, raw_strings, new_text, style, lines=False)
"""

from __future__ import annotations

import bisect
import json
import re
from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass

__all__ = ["EscapeStyle", "FileEscapes", "encode", "rewritten_strings"]

# One character as a JSON string writes it: a pair of surrogate escapes, an
# escape, or a literal character.
_PIECE = re.compile(
    r"\\u[dD][89abAB][0-9a-fA-F]{2}\\u[dD][c-fC-F][0-9a-fA-F]{2}|\\u[0-9a-fA-F]{4}|\\.|[^\\]", re.DOTALL
)
_SURROGATE = re.compile("[\ud800-\udfff]")
_NON_ASCII_RUN = re.compile(r"[^\x00-\x7f]+")
# A `\\uXXXX` or `\\/` escape: one not preceded by an escaped backslash.
_CHOSEN_ESCAPE = re.compile(r"(?<!\\)(?:\\\\)*\\(?:u([0-9a-fA-F]{4})|/)")
_LOWER_HEX = re.compile(r"(\\\\)|\\u([0-9a-f]{4})")
_SPACE = re.compile(r"[ \t\r\n]+")
# What never counts as a character a serializer may choose to escape: the
# letters and digits an escape is made of, and what JSON always escapes.
_NEVER_CHOSEN = set('\\"' + "0123456789abcdefABCDEFnrtbfu")
# The longest text whose literal characters are kept to be counted later.
_KEPT = 1 << 16
_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


@dataclass(frozen=True)
class EscapeStyle:
    """How a serializer writes strings: characters past ASCII as `\\uXXXX`
    (`ascii`), the printable ASCII characters it escapes (`/` as `\\/` when
    `slash`, the others as `\\u00XX`), and the case of hex digits."""

    ascii: bool = False
    escaped: frozenset[str] = frozenset()
    slash: bool = False
    upper_hex: bool = False

    @classmethod
    def of(cls, raw_strings: Sequence[str], file: FileEscapes | None = None) -> EscapeStyle:
        """The style the strings `raw_strings` (as written, between their
        quotes) show; where they show none, the `file`'s."""
        own = _Evidence("".join(raw_strings))
        whole = file.evidence if file is not None else own
        ascii_only = own.non_ascii_escaped > own.non_ascii_literal or (
            own.non_ascii_escaped == own.non_ascii_literal == 0
            and whole.non_ascii_escaped > whole.non_ascii_literal)
        escaped = set()
        for char in set(own.escaped) | set(whole.escaped):
            evidence = own if own.escaped[char] or own.literal_count(char) else whole
            if evidence.escaped[char] > evidence.literal_count(char):
                escaped.add(char)
        upper = own.upper_hex if own.upper_hex is not None else bool(whole.upper_hex)
        slash = "/" in escaped and (own.slash_short or whole.slash_short)
        return cls(ascii_only, frozenset(escaped - {"/"} if slash else escaped), slash, upper)


class FileEscapes:
    """The escapes of a whole JSON file, read once when first asked for:
    the style of a formula whose own strings show none."""

    def __init__(self, text: str) -> None:
        self._text: str | None = text
        self._evidence: _Evidence | None = None

    @property
    def evidence(self) -> _Evidence:
        if self._evidence is None:
            assert self._text is not None
            self._evidence, self._text = _Evidence(self._text), None
        return self._evidence


class _Evidence:
    """What a JSON text shows of its serializer's hand. One pass of a
    pattern that finds only the escapes a serializer chooses (`\\uXXXX`,
    `\\/`), rare in most files, so that a large file costs no list of its
    every escape."""

    def __init__(self, raw: str) -> None:
        self.non_ascii_literal = 0 if raw.isascii() else sum(map(len, _NON_ASCII_RUN.findall(raw)))
        self.non_ascii_escaped = 0
        self.escaped: Counter[str] = Counter()
        self.slash_short = False
        upper = lower = 0
        for match in _CHOSEN_ESCAPE.finditer(raw):
            digits = match.group(1)
            if digits is None:
                self.escaped["/"] += 1
                self.slash_short = True
                continue
            upper += any(c in "ABCDEF" for c in digits)
            lower += any(c in "abcdef" for c in digits)
            code = int(digits, 16)
            if code >= 0x80:
                self.non_ascii_escaped += 1
            elif 0x20 <= code < 0x7F and chr(code) not in _NEVER_CHOSEN:
                self.escaped[chr(code)] += 1
        self.upper_hex: bool | None = None if not (upper or lower) else upper > lower
        # Counted now for the characters it escapes, the only ones asked of
        # a whole file; a formula's own strings are small enough to keep.
        self._literal_counts = {char: self._count(raw, char) for char in self.escaped}
        self._raw = raw if len(raw) <= _KEPT else ""

    def _count(self, raw: str, char: str) -> int:
        # No escape holds one of the characters a serializer may escape,
        # except `/` in `\\/`.
        return raw.count(char) - (self.escaped["/"] if char == "/" else 0)

    def literal_count(self, char: str) -> int:
        """How often `char` is written as itself."""
        count = self._literal_counts.get(char)
        return self._count(self._raw, char) if count is None else count


def encode(value: str, style: EscapeStyle, lines: bool = False) -> str:
    """`value` written inside a JSON string's quotes in `style`. With
    `lines`, line feeds stay as they are (they separate the strings of an
    array of lines)."""
    if lines and "\n" in value:
        return "\n".join(encode(part, style) for part in value.split("\n"))
    out = json.dumps(value, ensure_ascii=style.ascii)[1:-1]
    if not style.ascii and _SURROGATE.search(out):
        # A lone surrogate has no UTF-8 form: always escaped.
        out = _SURROGATE.sub(lambda match: f"\\u{ord(match.group()):04x}", out)
    if style.slash:
        out = out.replace("/", "\\/")
    for char in style.escaped:
        out = out.replace(char, f"\\u{ord(char):04x}")
    if style.upper_hex and "\\u" in out:
        out = _LOWER_HEX.sub(lambda match: match.group(1) or "\\u" + match.group(2).upper(), out)
    return out


def rewritten_strings(
    old_text: str, raw_strings: Sequence[str], new_text: str, style: EscapeStyle, *, lines: bool
) -> list[str]:
    """The contents (between the quotes) of the JSON strings that write
    `new_text`, in place of `raw_strings`, which wrote `old_text`: one
    string, or with `lines` one per line. Written in `style`, except where
    the old strings wrote a character otherwise and the new text keeps it
    (see the module's documentation)."""
    unusual = _unusual(raw_strings, style, lines)
    if not unusual:
        written = encode(new_text, style, lines)
    else:
        written = _with_unusual(old_text, new_text, unusual, style, lines)
    return written.split("\n") if lines else [written]


def _unusual(raw_strings: Sequence[str], style: EscapeStyle, lines: bool) -> list[tuple[int, str, str]]:
    """(offset in the old text, character, as written) of each character
    that the old strings wrote otherwise than `style` would."""
    found: list[tuple[int, str, str]] = []
    offset = 0
    for raw in raw_strings:
        value = json.loads('"' + raw + '"')
        if encode(value, style) != raw:
            position = offset
            for match in _PIECE.finditer(raw):
                piece = match.group()
                char = json.loads('"' + piece + '"') if piece.startswith("\\") else piece
                if encode(char, style) != piece:
                    found.append((position, char, piece))
                position += len(char)
        offset += len(value) + (1 if lines else 0)
    return found


def _solid_offsets(text: str) -> tuple[list[int], list[int]]:
    """Where the runs of white space of `text` start, and how much white
    space lies before each run's end: what maps an offset among the
    characters that are not white space to one in the text, and back."""
    starts: list[int] = []
    before: list[int] = []
    total = 0
    for match in _SPACE.finditer(text):
        total += match.end() - match.start()
        starts.append(match.start())
        before.append(total)
    return starts, before


def _solid_index(offset: int, starts: list[int], before: list[int]) -> int:
    runs = bisect.bisect_right(starts, offset) - 1
    return offset - (before[runs] if runs >= 0 else 0)


def _text_offset(solid: int, starts: list[int], before: list[int]) -> int:
    # The text offset of the solid character number `solid`: past every run
    # of white space whose start lies before it.
    low, high = 0, len(starts)
    while low < high:
        middle = (low + high) // 2
        previous = before[middle - 1] if middle else 0
        if starts[middle] - previous <= solid:
            low = middle + 1
        else:
            high = middle
    return solid + (before[low - 1] if low else 0)


def _with_unusual(
    old_text: str, new_text: str, unusual: list[tuple[int, str, str]], style: EscapeStyle, lines: bool
) -> str:
    old_solid = _SPACE.sub("", old_text).translate(_ASCII_LOWER)
    new_solid = _SPACE.sub("", new_text).translate(_ASCII_LOWER)
    same_start = _common_prefix(old_solid, new_solid)
    same_end = _common_prefix(old_solid[::-1], new_solid[::-1])
    old_runs = _solid_offsets(old_text)
    new_runs = _solid_offsets(new_text)
    kept: list[tuple[int, str]] = []
    for offset, char, piece in unusual:
        if char in " \t\r\n":
            continue  # white space is layout: written as the style writes it
        solid = _solid_index(offset, *old_runs)
        if solid < same_start:
            target = solid
        elif len(old_solid) - solid <= same_end:
            target = len(new_solid) - (len(old_solid) - solid)
        else:
            continue
        place = _text_offset(target, *new_runs)
        if place < len(new_text) and new_text[place] == char:
            kept.append((place, piece))
    pieces = []
    position = 0
    for place, piece in sorted(kept):
        pieces += [encode(new_text[position:place], style, lines), piece]
        position = place + 1
    pieces.append(encode(new_text[position:], style, lines))
    return "".join(pieces)


def _common_prefix(a: str, b: str) -> int:
    """The length of the longest common prefix, by halving (slices compare
    at C speed)."""
    low, high = 0, min(len(a), len(b))
    while low < high:
        middle = (low + high + 1) // 2
        if a[:middle] == b[:middle]:
            low = middle
        else:
            high = middle - 1
    return low
