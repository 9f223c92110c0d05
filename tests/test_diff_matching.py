"""How two versions' objects are matched and their formulas judged: tables
of small models written here, each pair a case a reviewer meets (a rename
with and without lineage tags, names swapped, an object made again under
its name, ambiguous candidates), and of formula pairs that differ in text
only or in meaning."""

import pytest

from quarrow_dax.diff import compare
from quarrow_dax.diff.formulas import FormulaComparer
from quarrow_dax.diff.git import Revisions, parse_revisions
from quarrow_dax.model import Formula, Model, load_model


def tmdl_model(folder, tables, extra=""):
    """A TMDL model of `tables` ({file name: text}) in `folder`."""
    definition = folder / "definition"
    (definition / "tables").mkdir(parents=True)
    (definition / "model.tmdl").write_text("model Model\n", encoding="utf-8")
    if extra:
        (definition / "relationships.tmdl").write_text(extra, encoding="utf-8")
    for name, text in tables.items():
        (definition / "tables" / f"{name}.tmdl").write_text(text, encoding="utf-8")
    return definition


def measures(*lines):
    return "table Sales\n" + "".join(f"\t{line}\n" for line in lines) + (
        "\tcolumn Qty\n\t\tdataType: int64\n\t\tsourceColumn: Qty\n\tcolumn Price\n\t\tsourceColumn: Price\n")


def summary(changes):
    return sorted((change.change, change.object, change.part, change.old, change.new) for change in changes
                  if change.change not in ("layout",))


MATCHING = [
    # name, old Sales table, new Sales table, expected (change, object, part, old, new)
    ("names swapped, tags kept: two renames, no formula changed",
     measures("measure A = SUM ( Sales[Qty] )\n\t\tlineageTag: a", "measure B = SUM ( Sales[Price] )\n\t\tlineageTag: b"),
     measures("measure B = SUM ( Sales[Qty] )\n\t\tlineageTag: a", "measure A = SUM ( Sales[Price] )\n\t\tlineageTag: b"),
     [("renamed", "'Sales'[A]", None, "'Sales'[B]", "'Sales'[A]"),
      ("renamed", "'Sales'[B]", None, "'Sales'[A]", "'Sales'[B]")]),
    ("names swapped, no tags: the names decide, two formulas changed",
     measures("measure A = SUM ( Sales[Qty] )", "measure B = SUM ( Sales[Price] )"),
     measures("measure B = SUM ( Sales[Qty] )", "measure A = SUM ( Sales[Price] )"),
     [("changed", "'Sales'[A]", "expression", "SUM ( Sales[Qty] )", "SUM ( Sales[Price] )"),
      ("changed", "'Sales'[B]", "expression", "SUM ( Sales[Price] )", "SUM ( Sales[Qty] )")]),
    ("made again under its name with another tag: still the same measure",
     measures("measure A = SUM ( Sales[Qty] )\n\t\tlineageTag: a"),
     measures("measure A = SUM ( Sales[Qty] ) + 1\n\t\tlineageTag: z"),
     [("changed", "'Sales'[A]", "expression", "SUM ( Sales[Qty] )", "SUM ( Sales[Qty] ) + 1")]),
    ("a rename with its users following, no tags",
     measures("measure A = SUM ( Sales[Qty] )", "measure B = [A] * 2", "measure C = [B] + [A]"),
     measures("measure A2 = SUM ( Sales[Qty] )", "measure B2 = [A2] * 2", "measure C = [B2] + [A2]"),
     [("renamed", "'Sales'[A2]", None, "'Sales'[A]", "'Sales'[A2]"),
      ("renamed", "'Sales'[B2]", None, "'Sales'[B]", "'Sales'[B2]")]),
    ("two vanished with one formula: no guess",
     measures("measure A = SUM ( Sales[Qty] )", "measure B = SUM ( Sales[Qty] )"),
     measures("measure C = SUM ( Sales[Qty] )", "measure D = SUM ( Sales[Qty] )"),
     [("added", "'Sales'[C]", None, None, "SUM ( Sales[Qty] )"),
      ("added", "'Sales'[D]", None, None, "SUM ( Sales[Qty] )"),
      ("removed", "'Sales'[A]", None, "SUM ( Sales[Qty] )", None),
      ("removed", "'Sales'[B]", None, "SUM ( Sales[Qty] )", None)]),
    ("a rename that changes the formula too is a removal and an addition without a tag",
     measures("measure A = SUM ( Sales[Qty] )"), measures("measure B = SUM ( Sales[Qty] ) * 2"),
     [("added", "'Sales'[B]", None, None, "SUM ( Sales[Qty] ) * 2"),
      ("removed", "'Sales'[A]", None, "SUM ( Sales[Qty] )", None)]),
    ("only the case of a name: a rename, the users still find it",
     measures("measure margin = SUM ( Sales[Qty] )", "measure M2 = [margin] * 2"),
     measures("measure Margin = SUM ( Sales[Qty] )", "measure M2 = [margin] * 2"),
     [("renamed", "'Sales'[Margin]", None, "'Sales'[margin]", "'Sales'[Margin]")]),
    ("a column renamed by tag, a calculated column and a measure following it",
     measures("measure T = SUMX ( Sales, Sales[Amount] )", "column Amount\n\t\tlineageTag: c",
              "column Twice = Sales[Amount] * 2"),
     measures("measure T = SUMX ( Sales, 'Sales'[Net] )", "column Net\n\t\tlineageTag: c",
              "column Twice = Sales[Net] * 2"),
     [("renamed", "'Sales'[Net]", None, "'Sales'[Amount]", "'Sales'[Net]")]),
    ("renamed and changed, tag kept: both said",
     measures("measure A = SUM ( Sales[Qty] )\n\t\tlineageTag: a"),
     measures("measure B = SUM ( Sales[Price] )\n\t\tlineageTag: a"),
     [("renamed", "'Sales'[B]", None, "'Sales'[A]", "'Sales'[B]"),
      ("changed", "'Sales'[B]", "expression", "SUM ( Sales[Qty] )", "SUM ( Sales[Price] )")]),
    # without a tag or a formula, a data column is known by its source column and data type
    ("a data column renamed, no tags: its source column and data type say it is the same",
     measures("measure T = SUM ( Sales[Amount] )", "column Amount\n\t\tdataType: double\n\t\tsourceColumn: amt"),
     measures("measure T = SUM ( Sales[Net] )", "column Net\n\t\tdataType: double\n\t\tsourceColumn: amt"),
     [("renamed", "'Sales'[Net]", None, "'Sales'[Amount]", "'Sales'[Net]")]),
    ("a data column renamed to another source: removed and added",
     measures("column Amount\n\t\tsourceColumn: amt"), measures("column Net\n\t\tsourceColumn: net"),
     [("added", "'Sales'[Net]", None, None, None), ("removed", "'Sales'[Amount]", None, None, None)]),
    ("a data column renamed with another data type: removed and added",
     measures("column Amount\n\t\tdataType: double\n\t\tsourceColumn: amt"),
     measures("column Net\n\t\tdataType: string\n\t\tsourceColumn: amt"),
     [("added", "'Sales'[Net]", None, None, None), ("removed", "'Sales'[Amount]", None, None, None)]),
    ("a hierarchy renamed, no tags: its levels' columns say it is the same",
     measures("column Year\n\t\tsourceColumn: y", "column Month\n\t\tsourceColumn: m",
              "hierarchy Calendar\n\t\tlevel Year\n\t\t\tcolumn: Year\n\t\tlevel Month\n\t\t\tcolumn: Month"),
     measures("column Year\n\t\tsourceColumn: y", "column Month\n\t\tsourceColumn: m",
              "hierarchy Dates\n\t\tlevel Year\n\t\t\tcolumn: Year\n\t\tlevel Month\n\t\t\tcolumn: Month"),
     [("renamed", "'Sales'[Dates]", None, "'Sales'[Calendar]", "'Sales'[Dates]")]),
    ("a hierarchy renamed with its levels reordered: removed and added",
     measures("column Year\n\t\tsourceColumn: y", "column Month\n\t\tsourceColumn: m",
              "hierarchy Calendar\n\t\tlevel Year\n\t\t\tcolumn: Year\n\t\tlevel Month\n\t\t\tcolumn: Month"),
     measures("column Year\n\t\tsourceColumn: y", "column Month\n\t\tsourceColumn: m",
              "hierarchy Dates\n\t\tlevel Month\n\t\t\tcolumn: Month\n\t\tlevel Year\n\t\t\tcolumn: Year"),
     [("added", "'Sales'[Dates]", None, None, None), ("removed", "'Sales'[Calendar]", None, None, None)]),
    ("written defaults are no change; a flag set is",
     measures("column Flag\n\t\tsourceColumn: Flag", "column Other\n\t\tisHidden: false"),
     measures("column Flag\n\t\tsourceColumn: Flag\n\t\tisHidden: false\n\t\tisKey: false", "column Other\n\t\tisHidden"),
     [("properties", "'Sales'[Other]", "hidden", "false", "true")]),
]


@pytest.mark.parametrize("old, new, expected", [case[1:] for case in MATCHING], ids=[case[0] for case in MATCHING])
def test_matching(tmp_path, old, new, expected):
    before = tmdl_model(tmp_path / "old", {"Sales": old})
    after = tmdl_model(tmp_path / "new", {"Sales": new})
    assert summary(compare(before, after)) == sorted(expected)


RELATIONSHIPS = "relationship {name}\n\t{extra}fromColumn: Sales.Key\n\ttoColumn: Keys.Key\n"
KEYS = "table Keys\n\tlineageTag: k\n\tcolumn Key\n\t\tsourceColumn: Key\n"


@pytest.mark.parametrize("old_extra, new_name, new_extra, expected", [
    ("", "r1", "", []),
    ("", "r2", "", []),  # the saving tool's id changed: the columns say it is the same relationship
    ("", "r2", "toCardinality: many\n\t", [("properties", "relationship 'Sales'[Key] -> 'Keys'[Key]",
                                            "to cardinality", "one", "many")]),
    ("crossFilteringBehavior: bothDirections\n\t", "r1", "isActive: false\n\t", [
        ("properties", "relationship 'Sales'[Key] -> 'Keys'[Key]", "active", "true", "false"),
        ("properties", "relationship 'Sales'[Key] -> 'Keys'[Key]", "cross-filtering", "bothDirections",
         "oneDirection")]),
], ids=["same", "new id", "new id and cardinality", "activity and direction"])
def test_relationships(tmp_path, old_extra, new_name, new_extra, expected):
    sales = measures("column Key\n\t\tsourceColumn: Key")
    before = tmdl_model(tmp_path / "old", {"Sales": sales, "Keys": KEYS},
                        RELATIONSHIPS.format(name="r1", extra=old_extra))
    after = tmdl_model(tmp_path / "new", {"Sales": sales, "Keys": KEYS},
                       RELATIONSHIPS.format(name=new_name, extra=new_extra))
    assert summary(compare(before, after)) == sorted(expected)


@pytest.mark.parametrize("new_name, from_column, to_column, expected", [
    ("r1", "Sales.Key2", "Keys.Key", [("properties", "relationship 'Sales'[Key2] -> 'Keys'[Key]", "from",
                                       "'Sales'[Key]", "'Sales'[Key2]")]),
    ("r1", "Sales.Key", "Keys.Code", [("properties", "relationship 'Sales'[Key] -> 'Keys'[Code]", "to",
                                       "'Keys'[Key]", "'Keys'[Code]")]),
    # another id and other columns: nothing says it is the same relationship
    ("r2", "Sales.Key2", "Keys.Key", [("added", "relationship 'Sales'[Key2] -> 'Keys'[Key]", None, None, None),
                                      ("removed", "relationship 'Sales'[Key] -> 'Keys'[Key]", None, None, None)]),
], ids=["from column", "to column", "new id and column"])
def test_a_relationship_joining_other_columns(tmp_path, new_name, from_column, to_column, expected):
    sales = measures("column Key\n\t\tsourceColumn: Key", "column Key2\n\t\tsourceColumn: Key2")
    keys = KEYS + "\tcolumn Code\n\t\tsourceColumn: Code\n"
    before = tmdl_model(tmp_path / "old", {"Sales": sales, "Keys": keys}, RELATIONSHIPS.format(name="r1", extra=""))
    after = tmdl_model(tmp_path / "new", {"Sales": sales, "Keys": keys},
                       f"relationship {new_name}\n\tfromColumn: {from_column}\n\ttoColumn: {to_column}\n")
    assert summary(compare(before, after)) == sorted(expected)


def test_a_measure_moved_to_another_table(tmp_path):
    keys = "table Keys\n\tlineageTag: k\n\tcolumn Key\n\t\tsourceColumn: Key\n"
    before = tmdl_model(tmp_path / "old", {"Sales": measures("measure Total = SUM ( Sales[Qty] )"), "Keys": keys})
    after = tmdl_model(tmp_path / "new", {"Sales": measures(), "Keys": keys + "\tmeasure Total = SUM ( Sales[Qty] )\n"})
    assert summary(compare(before, after)) == [("properties", "'Keys'[Total]", "table", "'Sales'", "'Keys'")]


def test_a_table_renamed_carries_its_members_and_its_users(tmp_path):
    before = tmdl_model(tmp_path / "old", {
        "Sales": measures("measure Total = SUM ( Orders[Amount] )"),
        "Orders": "table Orders\n\tlineageTag: o\n\tcolumn Amount\n\t\tsourceColumn: Amount\n"})
    after = tmdl_model(tmp_path / "new", {
        "Sales": measures("measure Total = SUM ( 'Order Lines'[Amount] )"),
        "Orders": "table 'Order Lines'\n\tlineageTag: o\n\tcolumn Amount\n\t\tsourceColumn: Amount\n"})
    changes = compare(before, after)
    assert summary(changes) == [("renamed", "'Order Lines'", None, "'Orders'", "'Order Lines'")]
    assert [found.object for found in changes[0].impact] == ["'Sales'[Total]"]


TABLE_RENAMES = [
    # old Orders table, new table (as 'Order Lines'), expected
    ("its columns and measures say it is the same",
     "\tcolumn Amount\n\t\tsourceColumn: Amount\n\tmeasure Lines = COUNTROWS ( Orders )\n",
     "\tcolumn Amount\n\t\tsourceColumn: Amount\n\tmeasure Lines = COUNTROWS ( 'Order Lines' )\n",
     [("renamed", "'Order Lines'", None, "'Orders'", "'Order Lines'")]),
    ("a column of another source too: removed and added",
     "\tcolumn Amount\n\t\tsourceColumn: Amount\n", "\tcolumn Amount\n\t\tsourceColumn: Net\n",
     [("added", "'Order Lines'", None, None, None), ("removed", "'Orders'", None, None, None)]),
    ("a measure more too: removed and added",
     "\tcolumn Amount\n\t\tsourceColumn: Amount\n",
     "\tcolumn Amount\n\t\tsourceColumn: Amount\n\tmeasure Lines = 1\n",
     [("added", "'Order Lines'", None, None, None), ("added", "'Order Lines'[Lines]", None, None, "1"),
      ("removed", "'Orders'", None, None, None)]),
]


@pytest.mark.parametrize("old, new, expected", [case[1:] for case in TABLE_RENAMES],
                         ids=[case[0] for case in TABLE_RENAMES])
def test_a_table_renamed_without_tags(tmp_path, old, new, expected):
    """Without lineage tags a table is known by what it holds; the formula
    that names it by its new name follows it, where it is the same table."""
    before = tmdl_model(tmp_path / "old", {"Sales": measures("measure Total = SUM ( Orders[Amount] )"),
                                           "Orders": "table Orders\n" + old})
    after = tmdl_model(tmp_path / "new", {"Sales": measures("measure Total = SUM ( 'Order Lines'[Amount] )"),
                                          "Orders": "table 'Order Lines'\n" + new})
    changes = summary(compare(before, after))
    if expected[0][0] == "renamed":
        assert changes == expected
    else:
        # the measure that names the table by its new name now names another one
        assert [change for change in changes if change[1] != "'Sales'[Total]"] == sorted(expected)
        assert ("changed", "'Sales'[Total]", "expression") in [change[:3] for change in changes]


def calculation_group(name, *items):
    return (f"table {name}\n\tcalculationGroup\n"
            + "".join(f"\t\tcalculationItem {item} = SELECTEDMEASURE ( )\n" for item in items)
            + "\tcolumn Name\n\t\tdataType: string\n\t\tsourceColumn: Name\n")


@pytest.mark.parametrize("new_name, items, expected", [
    ("Periods", ("YTD", "PY"), [("renamed", "'Periods'", None, "'Time'", "'Periods'")]),
    # one column named alike is not enough: the items differ
    ("Currency", ("USD", "EUR"), [("added", "'Currency'", None, None, None), ("removed", "'Time'", None, None, None)]),
])
def test_a_calculation_group_renamed_without_tags(tmp_path, new_name, items, expected):
    before = tmdl_model(tmp_path / "old", {"Time": calculation_group("Time", "YTD", "PY")})
    after = tmdl_model(tmp_path / "new", {"Time": calculation_group(new_name, *items)})
    assert summary(compare(before, after)) == expected


def test_two_tables_of_one_make_up_are_not_guessed(tmp_path):
    same = "\tcolumn Key\n\t\tsourceColumn: Key\n"
    before = tmdl_model(tmp_path / "old", {"A": "table A\n" + same, "B": "table B\n" + same})
    after = tmdl_model(tmp_path / "new", {"A": "table C\n" + same, "B": "table D\n" + same})
    assert [change[0] for change in summary(compare(before, after))] == ["added", "added", "removed", "removed"]


# --- formulas --------------------------------------------------------------------

VERDICTS = [
    # old text, new text, verdict
    ("SUM ( Sales[Qty] )", "SUM ( Sales[Qty] )", "same"),
    ("SUM ( Sales[Qty] )", "sum(Sales[Qty])", "layout"),
    ("SUM ( Sales[Qty] )", "SUM (\n    Sales[Qty] -- the units\n)", "layout"),
    ("SUM ( Sales[Qty] ) /* old */", "SUM ( Sales[Qty] )", "layout"),
    ("SUM ( Sales[Qty] )", "SUM ( 'Sales'[Qty] )", "layout"),
    ("SUM ( Sales[Qty] )", "SUM ( sales[QTY] )", "layout"),
    ("VAR x = 1 RETURN x + 1", "var X = 1 return X + 1", "layout"),
    ("CALCULATE ( [Total], 'Date'[Year] = 2024 )", "CALCULATE([Total],'Date'[Year]=2024)", "layout"),
    ("(a : NUMERIC) => a * 2", "( A : NUMERIC ) =>\n    A * 2", "layout"),
    ("SUM ( Sales[Qty] )", "SUM ( Sales[Price] )", "changed"),
    ("SUM ( Sales[Qty] )", "SUMX ( Sales, Sales[Qty] )", "changed"),
    ("[Total] * 2", "[Total] * 2.0", "changed"),
    ("\"a\"", "\"A\"", "changed"),  # a string's case is its meaning
    ("SUM ( Sales[Qty] )", "SUM ( Sales[Qty]", "changed"),  # does not parse: no meaning to compare
    ("SUM ( Sales[Qty] ) +", "SUM ( Sales[Qty] ) + ", "changed"),
    ("1 + 2 * 3", "(1 + 2) * 3", "changed"),
]


@pytest.mark.parametrize("old, new, verdict", VERDICTS)
def test_verdicts(old, new, verdict):
    kind = "function" if "=>" in old else "measure"
    comparer = FormulaComparer(Model("old"), Model("new"), lambda obj: None)
    before = Formula("old", "Sales", "m", kind, old, 1, 1, ((1, 1),), (len(old),))
    after = Formula("new", "Sales", "m", kind, new, 1, 1, ((1, 1),), (len(new),))
    assert comparer.verdict(before, after) == verdict


def test_a_reference_follows_a_rename_only_to_the_object_renamed(tmp_path):
    old = load_model(tmdl_model(tmp_path / "old", {"Sales": measures(
        "measure A = SUM ( Sales[Qty] )\n\t\tlineageTag: a", "measure B = [A] + 1", "measure X = 1")}))
    new = load_model(tmdl_model(tmp_path / "new", {"Sales": measures(
        "measure Z = SUM ( Sales[Qty] )\n\t\tlineageTag: a", "measure B = [Z] + 1", "measure X = 1")}))
    pairs = {id(obj): new.measure({"A": "Z"}.get(obj.name, obj.name)) for obj in old.objects() if obj.kind == "measure"}
    comparer = FormulaComparer(old, new, lambda obj: pairs.get(id(obj)))
    (b_old,), (b_new,) = old.measure("B").formulas, new.measure("B").formulas
    assert comparer.verdict(b_old, b_new) == "follows"
    # [X] is no new name of [A]
    (x_formula,) = new.measure("X").formulas
    swapped = Formula(x_formula.file, "Sales", "B", "measure", "[X] + 1", 1, 1, ((1, 1),), (7,))
    assert comparer.verdict(b_old, swapped) == "changed"


@pytest.mark.parametrize("text, expected", [
    ("HEAD", Revisions("HEAD", None)),
    ("main..feature", Revisions("main", "feature")),
    ("origin/main..HEAD", Revisions("origin/main", "HEAD")),
    ("main...feature", Revisions("main...feature", "feature")),
])
def test_revisions(text, expected):
    assert parse_revisions(text) == expected


@pytest.mark.parametrize("text", ["", "..HEAD", "HEAD..", "...", "a..."])
def test_revisions_refused(text):
    with pytest.raises(ValueError):
        parse_revisions(text)
