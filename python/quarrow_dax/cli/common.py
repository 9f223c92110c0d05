"""What every command of the command line shares: the exit statuses, writing
to standard output and error, reading a file or standard input, the progress
bar, the argument types and the option groups of reading and grammar.

Output goes out as UTF-8 bytes through `write_out` and `write_err`, flushed
at once, so that a reader that goes away (`| head`) is noticed at the write
that fails: a BrokenPipeError, which `main` turns into exit status 141, and
any other failure an OutputError.
"""

from __future__ import annotations

import argparse
import codecs
import os
import re
import sys
import time
from collections.abc import Callable, Sequence
from typing import IO, NoReturn, TextIO, TypeAlias

from ..check import STDIN, CheckOptions, display_path
from ..config import Config, ConfigError, ConfigFinder
from ..diagnostics import Diagnostic, Writer
from ..selection import PathFilter
from ..sources import MAX_FILE_SIZE, SourceError, decode_text, read_bytes

#: What a command module's `add_command` registers its parser on.
Subcommands: TypeAlias = "argparse._SubParsersAction[ArgumentParser]"

PROG = "quarrow-dax"

EXIT_OK, EXIT_ERRORS, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_BROKEN_PIPE = 0, 1, 2, 130, 141


class OutputError(Exception):
    """Standard output cannot be written (closed, or a full disk)."""


class UsageError(Exception):
    """A command line that parses but asks for what cannot be done together
    (check --list --format sarif). A command raises it before it writes
    anything; `main` reports it as argparse reports a bad command line: the
    usage, the message and exit status 2."""


# --- writing ------------------------------------------------------------------


def _encode(text: str) -> bytes:
    # Bytes, so that non-ASCII names survive whatever encoding stdout has;
    # surrogateescape gives back the bytes of undecodable file names.
    try:
        return text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace")


def write_out(text: str | bytes) -> None:
    """Writes text (as UTF-8) or bytes as they are to standard output."""
    stream: TextIO | None = sys.stdout
    if stream is None:
        raise OutputError("standard output is closed")
    try:
        stream.buffer.write(text if isinstance(text, bytes) else _encode(text))
        stream.flush()
    except BrokenPipeError:
        raise
    except (OSError, ValueError) as error:
        raise OutputError(getattr(error, "strerror", None) or str(error)) from None


def write_err(text: str) -> None:
    stream: TextIO | None = sys.stderr
    if stream is None:
        return  # nowhere to say it; the exit status still does
    try:
        stream.buffer.write(_encode(text))
        stream.flush()
    except (OSError, ValueError):
        pass


def silence_stdout() -> None:
    """Points standard output at the null device, so that the flush at exit
    does not raise a second error."""
    stream: IO[str] | None = sys.stdout
    if stream is None:
        return
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stream.fileno())
    except (OSError, ValueError):
        pass


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}" + ("" if count == 1 else "s")


def status_of(diagnostic: Diagnostic) -> int:
    """The exit status a diagnostic calls for."""
    if diagnostic.severity != "error":
        return EXIT_OK
    return EXIT_USAGE if diagnostic.kind in Writer.INPUT_KINDS else EXIT_ERRORS


class Progress:
    """A progress bar on standard error, drawn only when it is a terminal and
    the work has lasted a second; a short run stays silent."""

    DELAY = 1.0
    INTERVAL = 0.1

    def __init__(self, total: int, stream: TextIO | None, enabled: bool) -> None:
        self.total = total
        self.stream = stream
        self.enabled = enabled and stream is not None and stream.isatty()
        self.started = time.monotonic()
        self.drawn_at = 0.0
        self.visible = False

    def update(self, done: int) -> None:
        if not self.enabled or self.stream is None:
            return
        now = time.monotonic()
        if now - self.started < self.DELAY or now - self.drawn_at < self.INTERVAL:
            return
        self.drawn_at = now
        width = 30
        filled = width * done // max(1, self.total)
        self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{self.total} files")
        self.stream.flush()
        self.visible = True

    def clear(self) -> None:
        if self.visible and self.stream is not None:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.visible = False


# --- reading ------------------------------------------------------------------


def read_standard_input(limit: int) -> bytes:
    """The bytes of standard input; with a `limit` (0: none), one byte past
    it at most, so that a longer input is refused rather than cut short."""
    if sys.stdin is None:
        return b""
    return sys.stdin.buffer.read(limit + 1 if limit else -1)


def read_input(path: str, options: CheckOptions) -> str:
    """The text of a file or of standard input; raises SourceError."""
    name = display_path(path)
    if path == STDIN:
        limit = options.max_file_size
        data = read_standard_input(limit)
        if limit and len(data) > limit:
            raise SourceError(name, f"standard input has more than the limit of {limit:,} bytes")
    else:
        data = read_bytes(path, options.max_file_size)
    return decode_text(data, name, options.encoding)


def options_of(args: argparse.Namespace, config: Config | None = None) -> CheckOptions:
    """How the reading and grammar options (and --as, --no-resolve where the
    command has them) ask to read DAX; what the command line leaves open,
    as `config` says."""
    config = Config() if config is None else config
    strict = config.strict if args.strict is None else args.strict
    return CheckOptions(
        mode=getattr(args, "mode", None), encoding=args.encoding, max_file_size=args.max_file_size,
        grammar="standard" if strict else "engine", separators=args.separators or config.separators,
        resolve=not getattr(args, "no_resolve", False),
    )


class Configurations:
    """The configuration of each path of one run: the file --config names,
    or the one found from the path's folder upward. A file that cannot be
    used is reported once, through `report`, and its paths are left out
    (counted in `skipped`)."""

    def __init__(self, args: argparse.Namespace, report: Callable[[Diagnostic], None]) -> None:
        self.finder = ConfigFinder(getattr(args, "config", None))
        self.report = report
        self.skipped = 0
        self._reported: set[str] = set()

    def problem(self, error: ConfigError) -> None:
        if error.path not in self._reported:
            self._reported.add(error.path)
            self.report(config_problem(error))

    def for_path(self, path: str) -> Config | None:
        """The configuration of `path` (standard input: of the current
        folder), or None when it cannot be used."""
        try:
            return self.finder.config_for("." if path == STDIN else path)
        except ConfigError as error:
            self.problem(error)
            self.skipped += 1
            return None

    def selection(self, args: argparse.Namespace) -> PathFilter:
        """What folder walks leave out, as the command line and each
        folder's configuration say."""
        patterns = [part.strip() for given in args.exclude or () for part in given.split(",") if part.strip()]
        return PathFilter(self.finder, gitignore=False if args.no_ignore else None, exclude=patterns,
                          force=args.force_exclude)

    def walk_problems(self, selection: PathFilter) -> None:
        """Reports the configuration files a walk met that cannot be used."""
        for error in selection.problems:
            self.problem(error)


def config_problem(error: ConfigError) -> Diagnostic:
    return Diagnostic.for_path("config", error.message, error.path, error.line or 0, error.column or 0)


# --- the command line ---------------------------------------------------------


def non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {value}")
    return value


def positive(text: str) -> int:
    value = non_negative(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


_SIZE = re.compile(r"(\d+)\s*([kKmMgG]?)[bB]?")


def byte_size(text: str) -> int:
    """A size in bytes: 1000, 64K, 256M, 2G (powers of 1024); 0 for no limit."""
    match = _SIZE.fullmatch(text.strip())
    if match is None:
        raise argparse.ArgumentTypeError(f"not a size such as 1000, 64K, 256M or 2G: {text!r}")
    return int(match.group(1)) * {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30}[match.group(2).lower()]


def encoding_name(text: str) -> str:
    try:
        return codecs.lookup(text).name
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding: {text!r}") from None


class ArgumentParser(argparse.ArgumentParser):
    """argparse, with a word for a path that starts with `-`: argparse takes
    it for an option and otherwise reports a missing argument."""

    argv: Sequence[str] = ()

    def error(self, message: str) -> NoReturn:
        for argument in self.argv:
            if argument.startswith("-") and argument not in ("-", "--") and not argument.startswith("--") and (
                os.path.exists(argument) or argument.lower().endswith((".dax", ".bim", ".tmdl"))
            ):
                message += (f"\n{PROG}: {argument!r} is read as an option; for a path that starts with '-',"
                            f" write ./{argument} or put -- before the paths")
                break
        super().error(message)


def add_reading_options(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--encoding", type=encoding_name, metavar="NAME",
        help="the encoding of DAX files without a byte-order mark (default UTF-8), such as cp1252 or latin-1; "
        "a UTF-8, UTF-16 or UTF-32 byte-order mark always wins",
    )
    command.add_argument(
        "--max-file-size", type=byte_size, default=MAX_FILE_SIZE, metavar="SIZE",
        help=f"refuse files larger than SIZE (such as 64M or 2G; 0: no limit; default {MAX_FILE_SIZE >> 20}M)",
    )


def add_report_option(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--report", action="append", metavar="PATH",
        help="a report folder (*.Report) to take with the model given, whatever model its definition.pbir names "
        "(repeatable)",
    )


def add_grammar_options(command: argparse.ArgumentParser, verb: str = "check against") -> None:
    command.add_argument(
        "--strict", action=argparse.BooleanOptionalAction, default=None,
        help=f"{verb} the standard grammar, exactly what quarrow_dax.parse_expression accepts; by default "
        "the engine grammar also accepts what the DAX engine documents beyond it (omitted arguments, dt\"...\" "
        "literals, parameter defaults, ( a, b ) IN ..., ROWS COLUMNS, WITH VISUAL SHAPE, /// comments). "
        "Default: the configuration's strict, else --no-strict",
    )
    command.add_argument(
        "--separators", choices=("comma", "semicolon"), default=None,
        help="comma: arguments separated by commas, decimal point; semicolon: the convention of locales that "
        "write 1,5: arguments separated by semicolons. Default: the configuration's separators, else comma",
    )


def add_config_options(command: argparse.ArgumentParser, walks: bool = True) -> None:
    """--config, and where the command walks folders, what the walk leaves out."""
    command.add_argument(
        "--config", metavar="FILE",
        help="take the configuration from FILE (a pyproject.toml or a quarrow-dax.toml) for every path, instead "
        "of finding it from each path's folder upward",
    )
    if not walks:
        return
    command.add_argument(
        "--no-ignore", action="store_true",
        help="also read what .gitignore files and .git/info/exclude ignore (by default, inside a git repository, "
        "folder walks leave it out, as the configuration's respect-gitignore says)",
    )
    command.add_argument(
        "--exclude", action="append", metavar="GLOB", type=_globs,
        help="leave out of folder walks the files and folders GLOB matches (relative to the current folder; `*` "
        "within a name, `**` any folders, a pattern without `/` a name at any depth; several separated by "
        "commas or given again), besides the configuration's exclude and extend-exclude",
    )
    command.add_argument(
        "--force-exclude", action="store_true",
        help="apply the exclusions and .gitignore to paths named on the command line too (as a pre-commit hook, "
        "which names each staged file, needs); by default a path named outright is always read",
    )


def _globs(text: str) -> str:
    if not text.strip(" ,"):
        raise argparse.ArgumentTypeError("names no pattern")
    return text


def add_output_options(command: argparse.ArgumentParser, statistics: bool = True, colour: bool = True) -> None:
    command.add_argument(
        "--quiet", "-q", action="store_true",
        help="write the findings only: no summary, no progress bar, no notes on standard error",
    )
    if statistics:
        command.add_argument(
            "--statistics", action="store_true",
            help="instead of each finding, write how many there are of each code, the most frequent first (formats "
            "text and json)",
        )
    if not colour:
        return
    command.add_argument(
        "--color", choices=("auto", "always", "never"), default="auto",
        help="colour the text on a terminal: auto (the default; NO_COLOR and FORCE_COLOR are honoured), always or "
        "never",
    )
