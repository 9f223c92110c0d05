"""The command line `quarrow-dax` (also `python -m quarrow_dax`).

    quarrow-dax lex FILE...     print the tokens of each file as JSON
    quarrow-dax expr FILE...    print the syntax tree of each file's expression
    quarrow-dax query FILE...   print the syntax tree of each file's query
    quarrow-dax check PATH...   report the first error of each file or formula
    quarrow-dax lint PATH...    report what the lint rules find in each file or formula
    quarrow-dax deps MODEL [OBJECT]   what a model object uses or what uses it
    quarrow-dax usage PATH      the fields of the model that reports use, and where
    quarrow-dax diff OLD NEW    what changed in meaning between two versions of a model
    quarrow-dax format PATH...  format files and the formulas of models in place
    quarrow-dax functions [NAME]  a DAX function's signature, or every function
    quarrow-dax rename PATH OLD NEW   rename a model object across the model and its reports
    quarrow-dax lsp             the language server, for editors
    quarrow-dax scan FILE...    check and lint every dataset of admin scanner results

FILE may be - for standard input. Files are read as UTF-8 unless a
byte-order mark says UTF-16 or UTF-32 (or --encoding names another
encoding); the mark is dropped, so byte spans count from the character
after it.

`check` also takes tabular models: a *.bim file, a TMDL folder or a folder
holding one, and finds the models under any folder it searches. Every DAX
formula of a model is parsed as its kind requires, and the names it uses are
looked up in the model (graph.py and resolution.py hold how). The checking
itself lives in quarrow_dax.check and the output formats in
quarrow_dax.diagnostics; the command line only parses options and writes.

`lint` runs the rules of quarrow_dax.lint over the same inputs, as
configured from each path's folder upward; `lint --fix` makes the fixes
they propose (quarrow_dax.lint.fixes) and writes the files back.

Exit status: 0 when everything parsed, 1 when some file or formula has a
lexical or syntax error (lint: any finding, or as --fail-on says; none with
--exit-zero), 2 for a bad command line, a path that cannot be read or holds
nothing to check, a model that cannot be read (malformed JSON or TMDL) or a
configuration that cannot be used; the other files and models are still
processed.

Configuration ([tool.quarrow-dax] in pyproject.toml, or quarrow-dax.toml)
is read by quarrow_dax.config for every command, from each path's folder
upward; what the command line says wins. Folder walks leave out what
.gitignore files ignore and what `exclude` patterns name
(quarrow_dax.selection). 141 when the reader
of standard output went away (`| head`), as for a command that SIGPIPE ends.

The package: `common` holds what the commands share (exit statuses, writing
to standard output and error, reading standard input, the progress bar, the
argument types, the option groups of reading, grammar, configuration and
output, each path's configuration); `output` what a checking command writes
where (diagnostics on standard output in every format, the summary on
standard error, --quiet, --statistics, colour). Every other module is one
command, or a family of them (`printing`: lex, expr and query). A command
module provides

    add_command(commands: Subcommands) -> None
        registers its parser (or parsers) with `commands.add_parser` and
        ties each to its runner with `set_defaults(run=run)`;
    run(args: argparse.Namespace) -> int
        does what the parsed command line asks and returns the exit status.
        A combination of options that argparse cannot refuse by itself is
        refused by raising common.UsageError before anything is written.

and a new command is one more such module and its entry in COMMAND_NAMES below,
whose order is the order `quarrow-dax --help` lists them in.
"""

from __future__ import annotations

import argparse
import importlib
import sys
from collections.abc import Sequence
from typing import Any, Protocol, cast

from .. import __version__
from .common import (
    EXIT_BROKEN_PIPE,
    EXIT_INTERRUPTED,
    EXIT_USAGE,
    PROG,
    ArgumentParser,
    OutputError,
    Subcommands,
    UsageError,
    silence_stdout,
    write_err,
)

__all__ = ["build_parser", "commands", "main"]


class Command(Protocol):
    """What a command module provides (see the package's docstring)."""

    def add_command(self, commands: Subcommands) -> None: ...

    def run(self, args: argparse.Namespace) -> int: ...


# The command modules in the order --help lists them, with the commands each
# adds. A run imports only the module of the command it runs: together the
# modules import most of the package (reports, projects, the refactoring,
# the diff, the language server), which would double the start of a short
# `check`.
COMMAND_NAMES: dict[str, tuple[str, ...]] = {
    "printing": ("lex", "expr", "query"),
    "check": ("check",),
    "lint": ("lint",),
    "deps": ("deps",),
    "usage": ("usage",),
    "diff": ("diff",),
    "format": ("format",),
    "functions": ("functions",),
    "rename": ("rename",),
    "scan": ("scan",),
    "lsp": ("lsp",),
}
_MODULE_OF = {name: module for module, names in COMMAND_NAMES.items() for name in names}


def _module(name: str) -> Command:
    return cast(Command, importlib.import_module(f"{__name__}.{name}"))


def commands() -> tuple[Command, ...]:
    """Every command module, in the order --help lists them."""
    return tuple(_module(name) for name in COMMAND_NAMES)


def __getattr__(name: str) -> Any:
    # COMMANDS, as earlier versions had it: every command module, imported.
    if name == "COMMANDS":
        return commands()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def build_parser(command: str | None = None) -> argparse.ArgumentParser:
    """The command line's parser: with `command`, one of the commands'
    names, a parser that knows only that command (and imports only its
    module); otherwise every command."""
    parser = ArgumentParser(
        prog=PROG,
        description="Lex, parse, check or format DAX source text.",
        epilog="Exit status: 0 when all input parses, 1 when some file or formula has an error, "
        "2 for a bad command line, a path that cannot be read or a malformed model.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    subcommands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    if command in _MODULE_OF:
        _module(_MODULE_OF[command]).add_command(subcommands)
    else:
        for module in commands():
            module.add_command(subcommands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    ArgumentParser.argv = arguments
    # Top-level options come before the command (--help, --version): a first
    # argument that names a command is the command.
    parser = build_parser(arguments[0] if arguments else None)
    args: Any = parser.parse_args(arguments)
    try:
        status: int = args.run(args)
        return status
    except UsageError as error:
        parser.error(str(error))
    except BrokenPipeError:
        # The reader went away (`| head`): stop without a traceback.
        silence_stdout()
        return EXIT_BROKEN_PIPE
    except OutputError as error:
        silence_stdout()
        write_err(f"{PROG}: cannot write the output: {error}\n")
        return EXIT_USAGE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
