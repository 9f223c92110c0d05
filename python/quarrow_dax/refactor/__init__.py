"""Refactoring a project: renaming a measure, column, table, function or
calculation item across a model and its reports, every place that names it
rewritten at its span and every other byte left as it was.

    from quarrow_dax.project import load_project
    from quarrow_dax.refactor import rename, write_edits

    edits = rename(load_project("Sales.pbip"), "'Sales'[Revenue]", "Turnover")
    for edit in edits:
        print(edit.path, len(edit.edits))
        print(edit.diff())
    problems = write_edits(edits)   # all files, or none

`plan_rename` gives the same with what is left as it is (the old name in
DAX strings and comments; references that may mean the object among
others). Planning writes nothing, and refuses (RenameError) an object that
does not exist, a new name that is not valid for its kind or that another
object of its namespace has, and a model or report that cannot be read in
full; before it returns, every rewritten file is read back and must give
the same model and reports under the new name.
"""

from .edits import EditConflict, FileEdit, TextEdit, file_edit, write_edits
from .planning import Rename, plan_rename, rename
from .targets import KINDS, Kind, RenameError, Target, find_target

__all__ = [
    "KINDS", "EditConflict", "FileEdit", "Kind", "Rename", "RenameError", "Target", "TextEdit", "file_edit",
    "find_target", "plan_rename", "rename", "write_edits",
]
