"""A comparison of two versions of a model or project by meaning, for review.

    from quarrow_dax.diff import compare

    for change in compare("before/Sales.SemanticModel", "after/Sales.SemanticModel"):
        print(change.change, change.kind, change.object, change.part, [found.object for found in change.impact])

Each side is a model (a `.bim` file, a TMDL folder, a `*.SemanticModel`
folder), a project (a `.pbip` file, a report folder, a folder holding a
model and its reports: see `quarrow_dax.project`), or a `Model` or
`Project` already read. Objects are matched by lineage tag, by name, and
for what vanished on one side and appeared on the other, by formula
(`matching`); each pair's name, formulas (`formulas`: meaning, with
layout, comments, the case of built-in names and references to renamed
objects set aside) and properties (`properties`) are compared; the reports'
pages and visuals too (`reports`). Each `Change` carries its `Impact` on
the new side (`impact`): the objects and visuals downstream of it, and for
a removed or renamed object, the places still using its old name.
`writers` renders the changes as text, JSON lines, Markdown for a pull
request, or GitHub annotations; `git` reads a path as it stands at a git
revision.
"""

from __future__ import annotations

import os

from ..model import Model
from ..project import Project, load_project
from ..syntax.parsing import Grammar, Separators
from .changes import CHANGES, Change, ChangeKind, Impact, counted
from .comparison import Comparison

__all__ = ["CHANGES", "Change", "ChangeKind", "Impact", "compare", "counted"]

Side = Model | Project | str | os.PathLike[str]


def _project(side: Side) -> Project:
    if isinstance(side, Project):
        return side
    if isinstance(side, Model):
        return Project(side.path, side, side.path)
    project = load_project(side)
    if project.model_errors:
        raise project.model_errors[0]
    return project


def compare(old: Side, new: Side, *, grammar: Grammar = "engine", separators: Separators = "comma") -> list[Change]:
    """The changes from `old` to `new`, grouped by kind (in the order of
    `CHANGES`), each group in the order of declaration. A side given as a
    path is read with `quarrow_dax.project.load_project`; a model that
    cannot be read in full raises its first ModelError (a comparison with
    part of a model would report the rest as removed), and a path that
    holds no project raises ProjectError. `grammar` and `separators` say
    how formulas are read, as for `quarrow_dax.syntax.parse_expression`."""
    return Comparison(_project(old), _project(new), grammar=grammar, separators=separators).run()

