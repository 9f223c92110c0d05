"""`quarrow-dax lex`, `expr` and `query`: the JSON the extension module
returns for each file, written as it is or re-indented.

A syntax tree may nest deeper than json.loads or a recursive encoder can
follow, so the JSON is only ever handled as text: re-indented in one pass
with a depth counter, and wrapped with its path by concatenation.
"""

from __future__ import annotations

import argparse
import json
import re
from collections.abc import Callable, Generator

from .._native import lex, parse_expression, parse_query
from ..check import CheckOptions, display_path
from ..diagnostics import Diagnostic
from ..sources import SourceError
from .common import (
    EXIT_ERRORS,
    EXIT_OK,
    EXIT_USAGE,
    PROG,
    Subcommands,
    add_reading_options,
    byte_size,
    non_negative,
    read_input,
    write_err,
    write_out,
)

#: Each printing command: the function it prints the result of, and its help.
PRINTERS: dict[str, tuple[Callable[[str], str], str]] = {
    "lex": (lex, "print the tokens of each FILE"),
    "expr": (parse_expression, "print the syntax tree of the one expression in each FILE"),
    "query": (parse_query, "print the syntax tree of the query in each FILE"),
}

#: The largest output --indent writes unless the user allows more: a long
#: left-deep chain indents every level deeper, so its indented text grows
#: with the square of its depth and can dwarf any disk.
MAX_OUTPUT = 1 << 30
# Output is written in pieces of about this many characters, so that memory
# stays bounded however large the output is.
_WRITE_BATCH = 1 << 20

_PIECE = re.compile(r'"(?:[^"\\]|\\.)*"|[^"{}\[\],:]+|.', re.DOTALL)


def reindent(text: str, indent: int) -> Generator[str, None, None]:
    """Pieces of compact JSON `text` laid out as json.dumps(..., indent=indent)
    lays out the same value. One pass over the text with a depth counter
    instead of loading it: a syntax tree may nest deeper than a recursive
    encoder can go."""
    unit = " " * indent
    depth = 0
    just_opened = False  # the previous piece opened a container
    for match in _PIECE.finditer(text):
        piece = match.group()
        if just_opened:
            just_opened = False
            if piece == "}" or piece == "]":
                yield piece  # an empty container stays on one line
                continue
            depth += 1
            yield "\n" + unit * depth
        if piece == "{" or piece == "[":
            yield piece
            just_opened = True
        elif piece == "}" or piece == "]":
            depth -= 1
            yield "\n" + unit * depth + piece
        elif piece == ",":
            yield ",\n" + unit * depth
        elif piece == ":":
            yield ": "
        else:
            yield piece


def reindented_size(text: str, indent: int) -> int:
    """The length of "".join(reindent(text, indent)), counted without making
    the pieces: the check that refuses a huge output costs one pass."""
    size = len(text)
    depth = 0
    just_opened = False
    for match in _PIECE.finditer(text):
        piece = match.group()
        if just_opened:
            just_opened = False
            if piece == "}" or piece == "]":
                continue
            depth += 1
            size += 1 + indent * depth
        if piece == "{" or piece == "[":
            just_opened = True
        elif piece == "}" or piece == "]":
            depth -= 1
            size += 1 + indent * depth
        elif piece == ",":
            size += 1 + indent * depth
        elif piece == ":":
            size += 1
    return size


def write_json(text: str, indent: int | None) -> None:
    """Writes one JSON document and a line feed, re-indented when asked, in
    batches of bounded size."""
    if indent is None:
        write_out(text + "\n")
        return
    batch: list[str] = []
    size = 0
    for piece in reindent(text, indent):
        batch.append(piece)
        size += len(piece)
        if size >= _WRITE_BATCH:
            write_out("".join(batch))
            batch.clear()
            size = 0
    batch.append("\n")
    write_out("".join(batch))


def run(args: argparse.Namespace) -> int:
    function = PRINTERS[args.command][0]
    files: list[str] = args.files
    single = len(files) == 1
    options = CheckOptions(encoding=args.encoding, max_file_size=args.max_file_size)
    status = EXIT_OK
    for path in files:
        name = display_path(path)
        try:
            source = read_input(path, options)
        except SourceError as error:
            write_err(f"{PROG}: cannot read {name}: {error.message}\n")
            status = EXIT_USAGE
            continue
        try:
            result = function(source)
        except ValueError as error:
            # Located, as check reports it; the JSON on standard output stays as it is.
            write_err(Diagnostic.from_error(error, source).header(name) + "\n")
            status = max(status, EXIT_ERRORS)
            continue
        if not single:
            # Built as text: the result may nest too deeply for json.loads.
            result = '{"path":' + json.dumps(name, ensure_ascii=False) + ',"result":' + result + "}"
        if args.indent is not None and args.max_output:
            size = reindented_size(result, args.indent)
            if size > args.max_output:
                write_err(
                    f"{PROG}: {name}: the indented output would take {size:,} characters, more than the limit of"
                    f" {args.max_output:,}; raise it with --max-output, or leave out --indent\n"
                )
                status = EXIT_USAGE
                continue
        write_json(result, args.indent)
    return status


def add_command(commands: Subcommands) -> None:
    for name, (_, help_text) in PRINTERS.items():
        command = commands.add_parser(name, help=help_text, description=help_text.capitalize() + ".")
        command.add_argument(
            "files", nargs="+", metavar="FILE", help="DAX source, or - for standard input"
        )
        command.add_argument(
            "--indent",
            type=non_negative,
            metavar="N",
            help="pretty-print with N spaces per level; with several files, each result "
            'is wrapped as {"path": ..., "result": ...}, one per line without --indent',
        )
        command.add_argument(
            "--max-output", type=byte_size, default=MAX_OUTPUT, metavar="SIZE",
            help="with --indent, refuse (exit status 2) an output larger than SIZE characters, such as 512M or "
            f"4G; 0: no limit (default {MAX_OUTPUT >> 30}G). A long operator chain indents every level deeper, "
            "so its indented text grows with the square of its length",
        )
        add_reading_options(command)
        command.set_defaults(run=run)
