#!/usr/bin/env python3
# Builds dax_parser/src/unicode_tables.inc, the code-point range tables behind
# dax_parser/src/unicode_classes.cpp, from the Unicode Character Database text
# files, so the build itself never needs the database.
"""Generate the lexer's Unicode range tables from the UCD text files."""

import argparse
import os
import re
import sys

DEFAULT_UCD_DIR = "/usr/share/unicode"
REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_OUTPUT = os.path.join(REPO_ROOT, "dax_parser", "src", "unicode_tables.inc")
SCRIPT_PATH = "tools/gen_unicode_tables.py"

MAX_CODE_POINT = 0x10FFFF
# unicode_classes.cpp answers ASCII from its own flag table, so the ranges
# start here and the binary search never wastes a step on ASCII.
FIRST_NON_ASCII = 0x80
# Several ranges per line keeps the file reviewable without being huge.
RANGES_PER_LINE = 4

NUMERIC_CATEGORIES = {"Nd", "Nl", "No"}
# Cn also covers every code point UnicodeData.txt leaves out. U+0020 is the one
# Zs character that counts as printable; it is taken back out below.
NOT_PRINTABLE_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
PRINTABLE_SPACE = 0x20

# What unicode_classes.cpp hard-codes for ASCII; checked against the data so a
# future Unicode version that disagrees fails here rather than silently.
ASCII_FACTS = {
    "white_space": set(range(0x09, 0x0E)) | {0x20},
    "alphabetic": set(range(ord("A"), ord("Z") + 1)) | set(range(ord("a"), ord("z") + 1)),
    "numeric": set(range(ord("0"), ord("9") + 1)),
    "grapheme_extend": set(),
    "not_printable": set(range(0x00, 0x20)) | {0x7F},
}

HEADER_VERSION = re.compile(r"^#\s*[A-Za-z]+-(\d+\.\d+\.\d+)\.txt\s*$")
README_VERSION = re.compile(r"for Version (\d+\.\d+\.\d+) of the Unicode Standard")


class UcdError(Exception):
    pass


def read_lines(ucd_dir, name):
    path = os.path.join(ucd_dir, name)
    try:
        with open(path, encoding="utf-8") as f:
            return f.read().splitlines()
    except OSError as e:
        raise UcdError(f"cannot read {path}: {e.strerror}") from e


def header_version(lines, name):
    match = HEADER_VERSION.match(lines[0]) if lines else None
    if not match:
        raise UcdError(f"{name}: first line does not name the file's Unicode version")
    return match.group(1)


def unicode_version(ucd_dir, prop_list, derived_core):
    """The version all the files agree on; mixing versions would be a silent bug."""
    versions = {
        "PropList.txt": header_version(prop_list, "PropList.txt"),
        "DerivedCoreProperties.txt": header_version(derived_core, "DerivedCoreProperties.txt"),
    }
    # UnicodeData.txt has no header, so ReadMe.txt vouches for it when present.
    readme = os.path.join(ucd_dir, "ReadMe.txt")
    if os.path.exists(readme):
        match = README_VERSION.search("\n".join(read_lines(ucd_dir, "ReadMe.txt")))
        if match:
            versions["ReadMe.txt"] = match.group(1)
    if len(set(versions.values())) != 1:
        found = ", ".join(f"{k} {v}" for k, v in sorted(versions.items()))
        raise UcdError(f"files disagree on the Unicode version: {found}")
    return next(iter(versions.values()))


def parse_property_file(lines, name, wanted):
    """Code points per wanted property from a `XXXX..YYYY ; Property` file."""
    found = {prop: set() for prop in wanted}
    for number, line in enumerate(lines, 1):
        data = line.split("#", 1)[0].strip()
        if not data:
            continue
        fields = [f.strip() for f in data.split(";")]
        if len(fields) < 2:
            raise UcdError(f"{name}:{number}: expected 'range ; property'")
        if fields[1] not in found:
            continue
        first, _, last = fields[0].partition("..")
        found[fields[1]].update(range(int(first, 16), int(last or first, 16) + 1))
    for prop, points in found.items():
        if not points:
            raise UcdError(f"{name}: no code points for {prop}")
    return found


def parse_general_categories(lines):
    """Map every listed code point to its category, expanding <..., First>/<..., Last> pairs."""
    categories = {}
    pending_first = None
    for number, line in enumerate(lines, 1):
        if not line.strip():
            continue
        fields = line.split(";")
        if len(fields) < 3:
            raise UcdError(f"UnicodeData.txt:{number}: too few fields")
        code, name, category = int(fields[0], 16), fields[1], fields[2]
        if name.endswith(", First>"):
            if pending_first is not None:
                raise UcdError(f"UnicodeData.txt:{number}: nested range start")
            pending_first = (code, name[: -len(", First>")], category)
            continue
        if name.endswith(", Last>"):
            if pending_first is None or pending_first[1] != name[: -len(", Last>")]:
                raise UcdError(f"UnicodeData.txt:{number}: range end without its start")
            start, _, first_category = pending_first
            if first_category != category:
                raise UcdError(f"UnicodeData.txt:{number}: range ends disagree on category")
            for c in range(start, code + 1):
                categories[c] = category
            pending_first = None
            continue
        if pending_first is not None:
            raise UcdError(f"UnicodeData.txt:{number}: range start without its end")
        categories[code] = category
    if pending_first is not None:
        raise UcdError("UnicodeData.txt: file ends inside a range")
    return categories


def to_ranges(points):
    """Sorted, merged, inclusive ranges; adjacent runs merge into one."""
    ranges = []
    for c in sorted(points):
        if ranges and ranges[-1][1] + 1 == c:
            ranges[-1][1] = c
        else:
            ranges.append([c, c])
    return [tuple(r) for r in ranges]


def compute_classes(ucd_dir):
    unicode_data = read_lines(ucd_dir, "UnicodeData.txt")
    prop_list = read_lines(ucd_dir, "PropList.txt")
    derived_core = read_lines(ucd_dir, "DerivedCoreProperties.txt")
    version = unicode_version(ucd_dir, prop_list, derived_core)

    categories = parse_general_categories(unicode_data)
    white_space = parse_property_file(prop_list, "PropList.txt", ["White_Space"])["White_Space"]
    derived = parse_property_file(
        derived_core, "DerivedCoreProperties.txt", ["Alphabetic", "Grapheme_Extend"])

    numeric = {c for c, gc in categories.items() if gc in NUMERIC_CATEGORIES}
    not_printable = {
        c for c in range(MAX_CODE_POINT + 1)
        if categories.get(c, "Cn") in NOT_PRINTABLE_CATEGORIES
    }
    not_printable.discard(PRINTABLE_SPACE)

    classes = {
        "white_space": white_space,
        "alphabetic": derived["Alphabetic"],
        "numeric": numeric,
        "grapheme_extend": derived["Grapheme_Extend"],
        "not_printable": not_printable,
    }
    for name, points in classes.items():
        ascii_part = {c for c in points if c < FIRST_NON_ASCII}
        if ascii_part != ASCII_FACTS[name]:
            raise UcdError(
                f"{name}: ASCII members changed; update the ASCII table in "
                f"unicode_classes.cpp and ASCII_FACTS in {SCRIPT_PATH}")
    return version, classes


def regenerate_command(ucd_dir):
    return f"python3 {SCRIPT_PATH} --ucd-dir {ucd_dir}"


def render(version, classes, ucd_dir):
    out = [
        "// GENERATED FILE - DO NOT EDIT.",
        f"// Written by {SCRIPT_PATH} from the Unicode {version} Character Database",
        "// (UnicodeData.txt, PropList.txt, DerivedCoreProperties.txt).",
        "// Regenerate from the repository root (Debian package unicode-data) with:",
        f"//   {regenerate_command(ucd_dir)}",
        "// Sorted, merged, inclusive ranges of code points U+0080 and above; ASCII is",
        "// answered by the flag table in unicode_classes.cpp, the only includer.",
    ]
    for name, points in classes.items():
        ranges = to_ranges(c for c in points if c >= FIRST_NON_ASCII)
        out.append("")
        out.append(f"constexpr code_point_range {name}_ranges[] = {{  // {len(ranges)} ranges")
        for i in range(0, len(ranges), RANGES_PER_LINE):
            chunk = ranges[i:i + RANGES_PER_LINE]
            out.append("    " + " ".join(f"{{0x{a:04X}, 0x{b:04X}}}," for a, b in chunk))
        out.append("};")
    return "\n".join(out) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--ucd-dir", default=DEFAULT_UCD_DIR,
                        help=f"directory holding the UCD text files (default {DEFAULT_UCD_DIR})")
    parser.add_argument("--output", default=DEFAULT_OUTPUT,
                        help="file to write (default dax_parser/src/unicode_tables.inc)")
    parser.add_argument("--check", action="store_true",
                        help="write nothing; exit 1 if the output file is out of date")
    args = parser.parse_args(argv)

    try:
        version, classes = compute_classes(args.ucd_dir)
    except UcdError as e:
        print(f"{SCRIPT_PATH}: {e}", file=sys.stderr)
        return 2
    text = render(version, classes, args.ucd_dir)

    if args.check:
        try:
            with open(args.output, encoding="utf-8") as f:
                current = f.read()
        except OSError:
            current = None
        if current != text:
            print(f"{args.output} is out of date; run {regenerate_command(args.ucd_dir)}",
                  file=sys.stderr)
            return 1
        return 0

    # newline="\n" so the output is byte-identical on every platform.
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
