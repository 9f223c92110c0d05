"""Where a checking command's words go: each diagnostic through the writer
of the chosen format on standard output (or only counted, with
--statistics), the summary, progress and notes on standard error unless
--quiet, colour on a terminal.

    report = Report(args)              # args: --format, --quiet, --statistics, --color
    report.add(diagnostic)
    report.finish("checked 3 files: 1 with errors\\n", successful=True)
"""

from __future__ import annotations

import argparse
import json
import sys
from collections import Counter
from collections.abc import Callable

from .. import __version__
from ..diagnostics import RULES, Diagnostic, Output, writer_for
from ..terminal import colour_wanted, paint_diff
from .common import EXIT_OK, PROG, UsageError, status_of, write_err, write_out

__all__ = ["Report", "diff_text", "statistics_lines"]

#: The formats --statistics writes.
STATISTICS_FORMATS = ("text", "json")


class Report:
    """The diagnostics and summary of one run. `out` takes what belongs on
    standard output (`lint --fix -` sends its report to standard error, the
    fixed text being the output)."""

    def __init__(self, args: argparse.Namespace, out: Output = write_out,
                 judge: Callable[[Diagnostic], int] = status_of) -> None:
        self.format: str = args.format
        self.quiet: bool = args.quiet
        self.statistics: bool = getattr(args, "statistics", False)
        if self.statistics and self.format not in STATISTICS_FORMATS:
            raise UsageError(f"--statistics writes {' or '.join(STATISTICS_FORMATS)}, not {self.format}")
        self.out = out
        self.colour = colour_wanted(sys.stdout if out is write_out else sys.stderr, args.color)
        self.writer = writer_for(self.format, out, write_err, PROG, __version__, colour=self.colour,
                                 show_fixes=getattr(args, "show_fixes", False))
        self.counts: Counter[str] = Counter()
        self.fixable: Counter[str] = Counter()
        #: The exit status the diagnostics so far call for, as `judge` rates each.
        self.judge = judge
        self.status = EXIT_OK

    def add(self, diagnostic: Diagnostic) -> None:
        self.status = max(self.status, self.judge(diagnostic))
        if not self.statistics:
            self.writer.add(diagnostic)
            return
        self.counts[diagnostic.code] += 1
        if getattr(diagnostic, "fix", None) is not None:
            self.fixable[diagnostic.code] += 1

    def note(self, text: str) -> None:
        """A remark on standard error (a line that ends with a line feed), unless --quiet."""
        if not self.quiet:
            write_err(text)

    def finish(self, summary: str, successful: bool = True) -> None:
        """Writes the statistics or the document of the format, and the summary."""
        if self.quiet:
            summary = ""
        if not self.statistics:
            self.writer.finish(summary, successful)
            return
        self.out(statistics_lines(self.counts, self.fixable, self.format))
        if summary:
            write_err(summary)


def statistics_lines(counts: Counter[str], fixable: Counter[str], form: str) -> str:
    """How many findings there are of each code, the most frequent first, as
    ruff's --statistics writes them: `count<TAB>code<TAB>[*] name`, `[*]`
    where a fix is proposed; or one JSON array."""
    ordered = sorted(counts.items(), key=lambda item: (-item[1], item[0]))
    if form == "json":
        records = [{"code": code, "name": RULES[code].name if code in RULES else code, "count": count,
                    "fixable": bool(fixable[code]), "fixable_count": fixable[code]} for code, count in ordered]
        return json.dumps(records, indent=2) + "\n"
    if not ordered:
        return ""
    count_width = max(len(str(count)) for _, count in ordered)
    code_width = max(len(code) for code, _ in ordered)
    return "".join(
        f"{count:>{count_width}}\t{code:<{code_width}}\t{'[*]' if fixable[code] else '[ ]'} "
        f"{RULES[code].name if code in RULES else code}\n"
        for code, count in ordered
    )


def diff_text(diff: str, args: argparse.Namespace) -> str:
    """A diff as written to standard output: coloured on a terminal."""
    return paint_diff(diff) if colour_wanted(sys.stdout, args.color) else diff
