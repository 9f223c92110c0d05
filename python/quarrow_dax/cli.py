"""Command line: print the JSON of a DAX file's tokens, expression or query.

    python -m quarrow_dax lex FILE      (FILE may be - for standard input)
    python -m quarrow_dax expr FILE
    python -m quarrow_dax query FILE

A lexical or syntax error is printed to standard error, with exit status 1.
"""

import argparse
import sys

from ._native import lex, parse_expression, parse_query

COMMANDS = {
    "lex": (lex, "print the tokens of FILE"),
    "expr": (parse_expression, "print the syntax tree of the one expression in FILE"),
    "query": (parse_query, "print the syntax tree of the query in FILE"),
}


def read_source(path):
    if path == "-":
        return sys.stdin.buffer.read().decode("utf-8")
    # newline="": spans count bytes of the text as written, CRLF included.
    with open(path, encoding="utf-8", newline="") as f:
        return f.read()


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m quarrow_dax", description="Lex or parse DAX source text.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, (_, help_text) in COMMANDS.items():
        command = commands.add_parser(name, help=help_text)
        command.add_argument("file", metavar="FILE", help="DAX source in UTF-8, or - for standard input")
    args = parser.parse_args(argv)

    try:
        source = read_source(args.file)
    except (OSError, UnicodeDecodeError) as e:
        parser.exit(2, f"{parser.prog}: cannot read {args.file}: {e}\n")

    function = COMMANDS[args.command][0]
    try:
        result = function(source)
    except ValueError as e:
        print(e, file=sys.stderr)
        return 1
    # Bytes, so that non-ASCII names survive whatever encoding stdout has.
    sys.stdout.buffer.write(result.encode("utf-8") + b"\n")
    sys.stdout.flush()
    return 0
