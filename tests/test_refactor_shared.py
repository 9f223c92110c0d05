"""Renames over copies of the shared models and reports: in each project the
most used measure, column and table (used by other formulas or by visuals)
are renamed to names that need escaping; `check` and `deps` then say what
they said, with the new names in place of the old, and renaming back gives
every file back byte for byte."""

import json
import os
import re
from collections import Counter
from pathlib import Path

import pytest
from conftest import writable_copy

from quarrow_dax.cli import main
from quarrow_dax.model import bracket, quote_table
from quarrow_dax.project import load_project
from quarrow_dax.refactor import plan_rename
from quarrow_dax.refactor.targets import needs_dax_quotes
from quarrow_dax.resolution import resolve_model

SHARED = Path(__file__).resolve().parents[1].parent / "shared"
pytestmark = pytest.mark.skipif(not SHARED.is_dir(), reason=f"shared files not found: {SHARED}")

# (folder under shared, the path given to the commands, within its copy).
PROJECTS = [
    ("reports/ms-sales-legacy", "."),
    ("reports/daxlib-svg", "SVG.pbip"),
    ("reports/gateway-monitoring", "."),
    ("reports/fuam-item-analyzer", "."),
    ("models/tmdl/fca-core", "definition"),
    *((f"models/bim/{name}", "model.bim") for name in (
        "as-sales-pbip", "daxtemplate-calcgroup", "daxtemplate-standard", "te-adventureworks", "te-allproperties")),
]


def snapshot(root):
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = Path(folder, name)
            found[path.relative_to(root).as_posix()] = path.read_bytes()
    return found


def most_used(project):
    """The measure, column and table that most formulas, report fields and
    the model's relationships and sort-by columns use, besides their own
    formulas; None where the model has none used."""
    counts: Counter = Counter()
    model = project.model
    for formula, resolutions in resolve_model(model):
        if isinstance(resolutions, Exception):
            continue
        owner = model.owner(formula)
        for found in resolutions:
            if found.status == "resolved" and found.target is not owner and found.target.kind in (
                    "measure", "column", "table"):
                counts[found.target] += 1
    for relationship in model.relationships:  # the model's own references
        for table, column in ((relationship.from_table, relationship.from_column),
                              (relationship.to_table, relationship.to_column)):
            found = model.column(table, column)
            if found is not None:
                counts[found] += 1
                counts[model.table(table)] += 1
    for table in model.tables.values():
        for column in table.columns.values():
            if column.sort_by is not None and table.columns.get(column.sort_by.casefold()) is not None:
                counts[table.columns[column.sort_by.casefold()]] += 1
    for use in project.uses:
        table = model.table(use.table or "")
        if table is not None and use.kind in ("measure", "column"):
            member = (table.measures if use.kind == "measure" else table.columns).get(use.name.casefold())
            if member is not None:
                counts[member] += 1
    ranked = sorted(counts.items(), key=lambda item: (-item[1], item[0].dax))
    return {kind: next((found for found, _ in ranked if found.kind == kind), None)
            for kind in ("measure", "column", "table")}


def new_name(found):
    if found.kind == "table":
        # As quoted (or not) as the old one: a bare name that comes back from
        # one that needs quotes cannot know it was bare.
        return found.name + (" r'2" if needs_dax_quotes(found.name) else "_r2")
    return found.name + " «r'2]\"»"


def outputs(capsys, path):
    """What `check` (as JSON, without columns, which a longer name moves)
    and `deps` say of the project."""
    main(["check", "--format", "json", "--no-progress", path])
    checked = sorted(
        json.dumps([record["path"], record["line"], record["code"], record["severity"], record["message"]])
        for record in map(json.loads, capsys.readouterr().out.splitlines()))
    main(["deps", path])
    return checked, sorted(capsys.readouterr().out.splitlines())


def substituted(lines, renames):
    """`lines` with each old name in DAX notation put in the new one's
    place, but for a report's, page's or visual's title that happens to
    read so."""
    result = []
    for line in lines:
        for old, new in renames:
            line = re.sub(r"(?<!visual )(?<!page )(?<!report )" + re.escape(old), lambda _: new, line)
        result.append(line)
    return sorted(result)


@pytest.mark.parametrize("folder, entry", PROJECTS, ids=[folder.split("/")[-1] for folder, _ in PROJECTS])
def test_renames_keep_check_and_deps_and_come_back_byte_for_byte(tmp_path, capsys, monkeypatch, folder, entry):
    root = writable_copy(SHARED / folder, tmp_path / "copy")
    monkeypatch.chdir(root)
    original = snapshot(root)
    checked, deps = outputs(capsys, entry)
    chosen = most_used(load_project(entry))
    done = []
    for kind in ("measure", "column", "table"):
        found = chosen[kind]
        if found is None:
            continue
        old = found.dax if kind != "measure" else quote_table(found.table) + bracket(found.name)
        plan = plan_rename(load_project(entry), old, new_name(found))
        assert plan.places > 1, old  # the declaration and at least one use
        assert plan.write() == []
        done.append(plan)
    assert done
    renames = []
    for plan in done:
        target, new = plan.target, plan.new
        if target.kind == "table":
            renames.append((quote_table(target.name), quote_table(new)))
        else:
            renames.append((target.dax, target.renamed_dax(new)))
            if target.kind == "measure":
                renames.append((bracket(target.name), bracket(new)))
    # A column renamed in a table renamed after it: its notation changed twice.
    renames = _chained(renames)
    after_checked, after_deps = outputs(capsys, entry)
    assert after_checked == substituted(checked, renames)
    assert after_deps == substituted(deps, renames)
    # Back in the reverse order: each object then has the table it had. (The
    # files are compared with the originals: no need to read them back.)
    for plan in reversed(done):
        back = plan_rename(load_project(entry), plan.target.renamed_dax(plan.new), plan.target.name, check=False)
        assert back.write() == []
    assert snapshot(root) == original


def _chained(renames):
    """The renames as they read in the end: a table renamed after its
    column's rename changes that column's notation too."""
    tables = [(old, new) for old, new in renames if old.endswith("'") and not old.endswith("]")]
    result = []
    for old, new in renames:
        for table_old, table_new in tables:
            if new.startswith(table_old + "["):
                old, new = old, table_new + new[len(table_old):]
        result.append((old, new))
    return result

