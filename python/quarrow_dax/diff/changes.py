"""What a comparison finds: `Change` records, each with its `Impact` on the
new side, and the order they are reported in."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Literal, get_args

__all__ = ["CHANGES", "ChangeKind", "Change", "Impact", "counted"]

ChangeKind = Literal["added", "removed", "renamed", "changed", "properties", "layout"]
#: Every kind of change, in the order reports group them.
CHANGES: tuple[ChangeKind, ...] = get_args(ChangeKind)


def _label(kind: str, text: str) -> str:
    # Parts of reports are named with their kind already ("visual 'X' on
    # page ...", "filters of page ..."), as are relationships and roles.
    return text if text.startswith((kind + " ", "filters of ")) else f"{kind} {text}"


@dataclass(frozen=True)
class Impact:
    """Something on the new side that a change reaches. `relation` is
    "downstream" (it uses the changed object, directly or through others)
    or "break" (it still uses the old name of a removed or renamed object,
    which now means nothing). `kind` and `object` name it as `deps` does
    (a visual: "visual 'Title' on page 'Page' of report 'Report'"); `file`,
    `line` and `column` place it (for a break, the use of the old name).
    For a part of a report, `report`, `page` (its label) and `visual` (its
    title, else its type)."""

    relation: Literal["downstream", "break"]
    kind: str
    object: str
    file: str
    line: int
    column: int = 0
    report: str | None = None
    page: str | None = None
    visual: str | None = None

    @property
    def label(self) -> str:
        """The kind and the object, as a person reads them."""
        return _label(self.kind, self.object)

    def to_dict(self) -> dict[str, Any]:
        record: dict[str, Any] = {"relation": self.relation, "kind": self.kind, "object": self.object,
                                  "file": self.file, "line": self.line or None}
        if self.report is not None:
            record.update(report=self.report, page=self.page, visual=self.visual)
        return record


@dataclass(frozen=True)
class Change:
    """One difference between the old and the new side.

    `change` is one of `CHANGES`: "added", "removed", "renamed" (`old` and
    `new` are the names), "changed" (a formula means something else, or a
    visual's fields differ: `part` says which formula or "fields"; `old` and
    `new` the texts, or the fields only one side has), "properties" (`part`
    is the property, `old` and `new` its values) and "layout" (a formula
    whose text differs only in layout, comments, the case of names or the
    spelling of references: never counted as a change).

    `kind` and `object` name the object as the new side does (the old side
    for a removed one); `file`, `line` and `column` place it there (`side`
    says which: "old" only for a removed object). `impact` is what it
    reaches on the new side."""

    change: ChangeKind
    kind: str
    object: str
    old: Any
    new: Any
    file: str
    line: int
    column: int = 0
    part: str | None = None
    side: Literal["old", "new"] = "new"
    impact: tuple[Impact, ...] = ()
    #: The objects compared (model objects, report parts), for a caller that
    #: wants more than the record says.
    old_object: Any = field(default=None, compare=False, repr=False)
    new_object: Any = field(default=None, compare=False, repr=False)

    @property
    def counts(self) -> bool:
        """Whether it changes the meaning of the model or report: every
        change but layout."""
        return self.change != "layout"

    @property
    def label(self) -> str:
        """The kind and the object, as a person reads them: "measure
        'Sales'[Margin]", "visual 'Sales by year' on page 'Overview' of
        report 'Sales'"."""
        return _label(self.kind, self.object)

    @property
    def breaks(self) -> tuple[Impact, ...]:
        return tuple(found for found in self.impact if found.relation == "break")

    def to_dict(self) -> dict[str, Any]:
        """The record `--format json` writes."""
        return {
            "change": self.change, "kind": self.kind, "object": self.object, "part": self.part,
            "old": self.old, "new": self.new, "impact": [found.to_dict() for found in self.impact],
            "file": self.file, "line": self.line or None, "side": self.side,
        }


def counted(changes: list[Change]) -> int:
    """How many of `changes` change meaning."""
    return sum(change.counts for change in changes)
