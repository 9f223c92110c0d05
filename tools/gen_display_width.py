#!/usr/bin/env python3
"""Builds python-module/formatter/display_width.inc, the code-point ranges
behind the formatter's display width (display_width.cpp), from the Unicode
data of the Python that runs it, so the build itself never needs it.

A code point takes two columns when its East Asian Width is W (wide) or F
(fullwidth) (an unassigned one: in the blocks kept for ideographs), none when it is a combining mark (general category Mn or Me) or
an invisible format character (Cf, but the soft hyphen, which terminals
show), and one otherwise: how terminals and editors lay out a line.

Usage: python3 tools/gen_display_width.py [--check]
"""

from __future__ import annotations

import argparse
import os
import sys
import unicodedata

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUTPUT = os.path.join(REPO_ROOT, "python-module", "formatter", "display_width.inc")
MAX_CODE_POINT = 0x10FFFF
SOFT_HYPHEN = 0xAD
# Where the Unicode data gives unassigned code points the width W (the CJK
# ideograph blocks and planes 2 and 3); elsewhere an unassigned code point
# takes one column. Python's unicodedata answers "F" for every unassigned one.
UNASSIGNED_WIDE = ((0x3400, 0x4DBF), (0x4E00, 0x9FFF), (0xF900, 0xFAFF), (0x20000, 0x2FFFD), (0x30000, 0x3FFFD))
RANGES_PER_LINE = 4


def columns(code_point: int) -> int:
    """The columns one code point takes (the rule the table encodes)."""
    character = chr(code_point)
    category = unicodedata.category(character)
    if category == "Cn":
        return 2 if any(low <= code_point <= high for low, high in UNASSIGNED_WIDE) else 1
    if unicodedata.east_asian_width(character) in ("W", "F"):
        return 2
    if category in ("Mn", "Me") or (category == "Cf" and code_point != SOFT_HYPHEN):
        return 0
    return 1


def ranges(width: int) -> list[tuple[int, int]]:
    """Sorted, merged, inclusive ranges of the non-ASCII code points of `width` columns."""
    found: list[tuple[int, int]] = []
    for code_point in range(0x80, MAX_CODE_POINT + 1):
        if columns(code_point) != width:
            continue
        if found and found[-1][1] == code_point - 1:
            found[-1] = (found[-1][0], code_point)
        else:
            found.append((code_point, code_point))
    return found


def table(name: str, entries: list[tuple[int, int]]) -> str:
    lines = [f"constexpr code_point_range {name}[] = {{  // {len(entries)} ranges"]
    for index in range(0, len(entries), RANGES_PER_LINE):
        row = entries[index : index + RANGES_PER_LINE]
        lines.append("    " + " ".join(f"{{0x{low:04X}, 0x{high:04X}}}," for low, high in row))
    lines.append("};")
    return "\n".join(lines)


def generate() -> str:
    return "\n".join([
        "// GENERATED FILE - DO NOT EDIT.",
        f"// Written by tools/gen_display_width.py from the Unicode {unicodedata.unidata_version} data of",
        "// Python's unicodedata. Regenerate from the repository root with:",
        "//   python3 tools/gen_display_width.py",
        "// Sorted, merged, inclusive ranges of code points U+0080 and above; ASCII",
        "// takes one column each and is answered by display_width.cpp, the only includer.",
        "",
        f"constexpr const char* display_width_unicode_version = \"{unicodedata.unidata_version}\";",
        "",
        table("wide_ranges", ranges(2)),
        "",
        table("zero_width_ranges", ranges(0)),
        "",
    ])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="exit 1 if the file is not what this would write")
    args = parser.parse_args()
    text = generate()
    if args.check:
        with open(OUTPUT, encoding="utf-8") as file:
            same = file.read() == text
        print("up to date" if same else f"{OUTPUT} differs from what the generator writes")
        return 0 if same else 1
    with open(OUTPUT, "w", encoding="utf-8", newline="\n") as file:
        file.write(text)
    print(f"wrote {OUTPUT}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
