"""`quarrow-dax functions [NAME]`: what the function catalogue knows of a
DAX function (its forms, parameters, bounds, category and reference page),
or, with no name, every function by category. The catalogue is
quarrow_dax.functions'.
"""

from __future__ import annotations

import argparse
import json

from ..functions import KINDS, Parameter, Signature, automaton, by_category, closest, signature
from .common import EXIT_OK, EXIT_USAGE, PROG, Subcommands, plural, write_err, write_out

_RETURNS = {"scalar": "a scalar value", "table": "a table", "any": "a scalar value or a table",
            "none": "nothing: it modifies the call it is given to"}


def _parameter_line(parameter: Parameter, width: int) -> str:
    described = KINDS[parameter.kind]
    if parameter.keywords:
        words = ", ".join(parameter.keywords)
        described = f"one of {words}" if parameter.kind == "keyword" else f"{described}, or one of {words}"
    marks = [mark for mark, on in (("optional", parameter.optional), ("repeats", parameter.repeating)) if on]
    return f"  {parameter.name:<{width}}  {described}" + (f" ({', '.join(marks)})" if marks else "")


def describe(found: Signature) -> str:
    """The text `functions NAME` prints."""
    lines = [found.text(), "", found.description, ""]
    for index, form in enumerate(found.forms):
        if len(found.forms) > 1:
            lines.append(f"form {index + 1}:")
        parameters = form.parameters
        width = max((len(p.name) for p in parameters), default=0)
        lines.extend(_parameter_line(p, width) for p in parameters)
        if not parameters:
            lines.append("  (no parameters)")
    phrase = automaton(found).count_phrase(found.min_args, found.max_args)
    lines += ["", f"takes {phrase}; returns {_RETURNS[found.returns]}", f"category: {found.category}"]
    if found.deprecated:
        lines.append("deprecated" + (f": use {found.replacement}" if found.replacement else ""))
    elif found.replacement:
        lines.append(f"superseded: the reference points to {found.replacement} instead")
    lines.append(found.link)
    return "\n".join(lines) + "\n"


def run(args: argparse.Namespace) -> int:
    if args.name is None:
        groups = by_category()
        if args.format == "json":
            for group in groups.values():
                for listed in group:
                    write_out(json.dumps(listed.to_dict(), ensure_ascii=False) + "\n")
            return EXIT_OK
        for category, group in groups.items():
            width = max(len(listed.name) for listed in group)
            write_out(f"{category} ({plural(len(group), 'function')})\n")
            for listed in group:
                mark = " (deprecated)" if listed.deprecated else ""
                write_out(f"  {listed.name:<{width}}  {listed.description}{mark}\n")
        return EXIT_OK
    found = signature(args.name)
    if found is None:
        suggestions = closest(args.name)
        hint = f"; did you mean {', '.join(suggestions)}?" if suggestions else ""
        write_err(f"{PROG}: functions: no DAX function is named {args.name}{hint}\n")
        return EXIT_USAGE
    if args.format == "json":
        write_out(json.dumps(found.to_dict(), ensure_ascii=False, indent=2) + "\n")
    else:
        write_out(describe(found))
    return EXIT_OK


def add_command(commands: Subcommands) -> None:
    command = commands.add_parser(
        "functions",
        help="print a DAX function's signature, or every function by category",
        description="Print what the function catalogue knows of a DAX function: its syntax, each parameter "
        "and what it takes, how many arguments it takes and what it returns, its category and its page in the "
        "DAX reference. Without NAME, list every function by category. The catalogue is what `check` checks "
        "calls against.",
    )
    command.add_argument("name", nargs="?", metavar="NAME", help="a function's name, in any case")
    command.add_argument("--format", choices=("text", "json"), default="text",
                         help="text (default), or JSON: one object, or one per line for the list")
    command.set_defaults(run=run)
