"""`quarrow-dax lsp`: the language server, on standard input and output or
on a TCP port of the loopback address. pygls (the `lsp` extra) is imported
only here, when the command runs."""

from __future__ import annotations

import argparse
import importlib.util

from .common import EXIT_OK, EXIT_USAGE, PROG, Subcommands, write_err


def _port(text: str) -> int:
    try:
        port = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 1 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"a port is a number from 1 to 65535, not {port}")
    return port


def run(args: argparse.Namespace) -> int:
    missing = [name for name in ("pygls", "lsprotocol") if importlib.util.find_spec(name) is None]
    if missing:
        write_err(f"{PROG}: lsp: the language server needs {' and '.join(missing)}:"
                  " pip install 'quarrow-dax[lsp]'\n")
        return EXIT_USAGE
    from ..lsp import serve

    try:
        serve(args.tcp)
    except OSError as error:  # the port is taken, or may not be listened on
        write_err(f"{PROG}: lsp: cannot listen on 127.0.0.1:{args.tcp}: {error.strerror or error}\n")
        return EXIT_USAGE
    return EXIT_OK


def add_command(commands: Subcommands) -> None:
    command = commands.add_parser(
        "lsp",
        help="run the language server (for editors), on standard input and output",
        description="Run the DAX language server: problems as check and lint report them, formatting, hover, "
        "signature help, completion, go to definition, references, renaming (model objects across the model and its "
        "reports, variables and parameters), the outline, fixes and semantic tokens, for .dax files, TMDL files and .bim files, each file of a model read "
        "with its model. An editor starts it and talks to it over standard input and output (or --tcp).",
    )
    command.add_argument("--tcp", type=_port, metavar="PORT",
                         help="listen on this port of 127.0.0.1 instead of standard input and output")
    command.add_argument("--stdio", action="store_true",
                         help="talk over standard input and output (the default; accepted as editors pass it)")
    command.set_defaults(run=run)
