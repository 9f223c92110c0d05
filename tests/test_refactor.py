"""Renames across a model and its reports (quarrow_dax.refactor), on a small
project written for them (tests/data/Shop: a TMDL model with every kind of
place that names an object, a PBIR report and a PBIR-Legacy one): exactly
the places that name the object change, and nothing else; hostile names in
both directions, back to the very bytes; every refusal writes nothing."""

import json
import os
import pathlib

import pytest
from conftest import writable_copy

from quarrow_dax.model import load_model
from quarrow_dax.project import load_project
from quarrow_dax.refactor import RenameError, plan_rename, rename, write_edits

SHOP = pathlib.Path(__file__).parent / "data" / "Shop"
MODEL = "Shop.SemanticModel/definition/"
SALES = MODEL + "tables/Sales.tmdl"
VISUAL = "Shop.Report/definition/pages/p1/visuals/v1/visual.json"
LEGACY = "ShopLegacy.Report/report.json"


@pytest.fixture
def shop(tmp_path):
    return writable_copy(SHOP, tmp_path / "Shop")


def snapshot(root):
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = pathlib.Path(folder, name)
            found[path.relative_to(root).as_posix()] = path.read_bytes()
    return found


def renamed(root, old, new, **options):
    problems = write_edits(rename(load_project(root), old, new, **options))
    assert problems == []


# (old, new, {file: [(text before, text after, times)]}): every other file,
# and every other byte of these, stays as it was.
EXACT = [
    ("[Revenue]", "Net Revenue", {
        SALES: [
            ("measure Revenue = SUM", "measure 'Net Revenue' = SUM", 1),
            ("IF ( [Revenue] > 1000", "IF ( [Net Revenue] > 1000", 1),
            ("targetExpression = [Revenue] * 1.1", "targetExpression = [Net Revenue] * 1.1", 1),
            ("CALCULATE ( [Revenue], SAMEPERIODLASTYEAR", "CALCULATE ( [Net Revenue], SAMEPERIODLASTYEAR", 1),
            # the variable of the same name stays; the measure it holds is renamed
            ("VAR Revenue = [Revenue]", "VAR Revenue = [Net Revenue]", 1),
            ("Shop.Double ( [Revenue] )", "Shop.Double ( [Net Revenue] )", 1),
        ],
        MODEL + "perspectives/Sales View.tmdl": [("perspectiveMeasure Revenue", "perspectiveMeasure 'Net Revenue'", 1)],
        MODEL + "cultures/en-US.tmdl": [
            ("measure Revenue\n", "measure 'Net Revenue'\n", 1),
            ('"ConceptualProperty": "Revenue"', '"ConceptualProperty": "Net Revenue"', 1),
        ],
        VISUAL: [
            ('"Property": "Revenue"\n', '"Property": "Net Revenue"\n', 3),
            ('"queryRef": "Sales.Revenue",', '"queryRef": "Sales.Net Revenue",', 1),
            ('"nativeQueryRef": "Revenue"', '"nativeQueryRef": "Net Revenue"', 1),
            # the visual calculation names the field by the name the visual shows
            ('"RUNNINGSUM ( [Revenue] ) + [Last year]"', '"RUNNINGSUM ( [Net Revenue] ) + [Last year]"', 1),
            ('"metadata": "Sales.Revenue"', '"metadata": "Sales.Net Revenue"', 1),
        ],
        "Shop.Report/definition/report.json": [('"Property": "Revenue"', '"Property": "Net Revenue"', 1)],
        "Shop.Report/definition/bookmarks/b1.bookmark.json": [
            ('"metadata": "Sales.Revenue"', '"metadata": "Sales.Net Revenue"', 1),
            ('"Property": "Revenue"', '"Property": "Net Revenue"', 1),
        ],
        "Shop.Report/definition/reportExtensions.json": [
            ('"DIVIDE ( [Revenue], CALCULATE ( [Revenue],', '"DIVIDE ( [Net Revenue], CALCULATE ( [Net Revenue],', 1),
            ('"name": "Revenue"', '"name": "Net Revenue"', 1),
        ],
        LEGACY: [
            (r'{\"dataMap\":{\"Sales.Revenue\"', r'{\"dataMap\":{\"Sales.Net Revenue\"', 1),
            (r'{\"queryRef\":\"Sales.Revenue\"}', r'{\"queryRef\":\"Sales.Net Revenue\"}', 1),
            (r'\"Property\":\"Revenue\"', r'\"Property\":\"Net Revenue\"', 2),
            (r'\"Name\":\"Sales.Revenue\",\"NativeReferenceName\":\"Revenue\"',
             r'\"Name\":\"Sales.Net Revenue\",\"NativeReferenceName\":\"Net Revenue\"', 1),
            (r'\"columnProperties\":{\"Sales.Revenue\"', r'\"columnProperties\":{\"Sales.Net Revenue\"', 1),
        ],
    }),
    ("'Sales'", "Sales Fact", {
        MODEL + "model.tmdl": [('["Sales","Product"', '["Sales Fact","Product"', 1),
                               ("ref table Sales\n", "ref table 'Sales Fact'\n", 1)],
        SALES: [
            ("table Sales\n", "table 'Sales Fact'\n", 1),
            ("SUM ( Sales[Amount] )", "SUM ( 'Sales Fact'[Amount] )", 1),
            ("SUMX ( Sales, Sales[Qty]", "SUMX ( 'Sales Fact', 'Sales Fact'[Qty]", 1),
            ("FILTER ( Sales, [Qty] > 0 )", "FILTER ( 'Sales Fact', [Qty] > 0 )", 1),
            ("SELECTCOLUMNS ( Sales, \"Qty\", Sales[Qty], \"Amount\", 'Sales'[Amount] )",
             "SELECTCOLUMNS ( 'Sales Fact', \"Qty\", 'Sales Fact'[Qty], \"Amount\", 'Sales Fact'[Amount] )", 1),
        ],
        MODEL + "relationships.tmdl": [("fromColumn: Sales.", "fromColumn: 'Sales Fact'.", 2)],
        MODEL + "roles/Readers.tmdl": [("tablePermission Sales = Sales[Amount]",
                                        "tablePermission 'Sales Fact' = 'Sales Fact'[Amount]", 1)],
        MODEL + "perspectives/Sales View.tmdl": [("perspectiveTable Sales\n", "perspectiveTable 'Sales Fact'\n", 1)],
        MODEL + "tables/Sales Agg.tmdl": [("baseColumn: Sales.Amount", "baseColumn: 'Sales Fact'.Amount", 1)],
        MODEL + "cultures/en-US.tmdl": [("\t\t\ttable Sales\n", "\t\t\ttable 'Sales Fact'\n", 1),
                                        ('"ConceptualEntity": "Sales"', '"ConceptualEntity": "Sales Fact"', 2)],
        VISUAL: [('"Entity": "Sales"', '"Entity": "Sales Fact"', 5),
                 ('"queryRef": "Sales.Revenue"', '"queryRef": "Sales Fact.Revenue"', 1),
                 ('"queryRef": "Sales.Revenue LY"', '"queryRef": "Sales Fact.Revenue LY"', 1),
                 ("Sum(Sales.Amount)", "Sum(Sales Fact.Amount)", 2),
                 ('"metadata": "Sales.Revenue"', '"metadata": "Sales Fact.Revenue"', 1)],
        "Shop.Report/definition/report.json": [('"Entity": "Sales"', '"Entity": "Sales Fact"', 1)],
        "Shop.Report/definition/bookmarks/b1.bookmark.json": [
            ('"metadata": "Sales.Revenue"', '"metadata": "Sales Fact.Revenue"', 1),
            ('"Entity": "Sales"', '"Entity": "Sales Fact"', 1)],
        "Shop.Report/definition/reportExtensions.json": [('"name": "Sales"', '"name": "Sales Fact"', 1),
                                                        ('"entity": "Sales"', '"entity": "Sales Fact"', 1)],
        LEGACY: [(r'\"Entity\":\"Sales\"', r'\"Entity\":\"Sales Fact\"', 3),
                 (r'\"Sales.Revenue\"', r'\"Sales Fact.Revenue\"', 4),
                 ("Sum(Sales.Amount)", "Sum(Sales Fact.Amount)", 2)],
    }),
    ("'Sales'[Amount]", "a]b", {
        SALES: [("SUM ( Sales[Amount] )", "SUM ( Sales[a]]b] )", 1),
                ("'Sales'[Amount] )", "'Sales'[a]]b] )", 1),
                ("column Amount\n", "column a]b\n", 1),
                ("IF ( [Amount] > 100", "IF ( [a]]b] > 100", 1),
                ("sortByColumn: Amount", "sortByColumn: a]b", 1)],
        MODEL + "roles/Readers.tmdl": [("Sales[Amount]", "Sales[a]]b]", 1)],
        MODEL + "perspectives/Sales View.tmdl": [("perspectiveColumn Amount", "perspectiveColumn a]b", 1)],
        MODEL + "tables/Sales Agg.tmdl": [("baseColumn: Sales.Amount", "baseColumn: Sales.a]b", 1)],
        MODEL + "cultures/en-US.tmdl": [("column Amount", "column a]b", 1)],
        VISUAL: [('"Property": "Amount"', '"Property": "a]b"', 1), ("Sum(Sales.Amount)", "Sum(Sales.a]b)", 2)],
        LEGACY: [(r'\"Property\":\"Amount\"', r'\"Property\":\"a]b\"', 3),
                 ("Sum(Sales.Amount)", "Sum(Sales.a]b)", 2)],
    }),
    ("Shop.Double", "Shop.Triple", {
        MODEL + "functions.tmdl": [("function 'Shop.Double'", "function 'Shop.Triple'", 1)],
        SALES: [("= Shop.Double ( [Revenue] )", "= Shop.Triple ( [Revenue] )", 1)],
    }),
    ("'Time Intelligence'[YTD]", "Year to date", {
        MODEL + "tables/Time Intelligence.tmdl": [("calculationItem YTD =", "calculationItem 'Year to date' =", 1)],
    }),
    # DATE and CALENDAR are DAX functions: the table is quoted in DAX, bare in TMDL.
    ("'Date'", "Calendar", {
        MODEL + "model.tmdl": [('"Product","Date"]', '"Product","Calendar"]', 1), ("ref table Date", "ref table Calendar", 1)],
        MODEL + "tables/Date.tmdl": [("table Date", "table Calendar", 1), ("'Date'[Date]", "'Calendar'[Date]", 1)],
        MODEL + "relationships.tmdl": [("toColumn: Date.Date", "toColumn: Calendar.Date", 1)],
        SALES: [("'Date'[Date]", "'Calendar'[Date]", 1), ("defaultHierarchy: Date.Calendar",
                                                          "defaultHierarchy: Calendar.Calendar", 1)],
        MODEL + "tables/Time Intelligence.tmdl": [("'Date'[Date]", "'Calendar'[Date]", 1)],
    }),
]


@pytest.mark.parametrize("old, new, changes", EXACT, ids=[f"{old}->{new}" for old, new, _ in EXACT])
def test_a_rename_changes_exactly_the_places_that_name_the_object(shop, old, new, changes):
    before = snapshot(shop)
    plan = plan_rename(load_project(shop), old, new)
    assert plan.write() == []
    after = snapshot(shop)
    assert sorted(path for path in before if after[path] != before[path]) == sorted(changes)
    for path, data in before.items():
        text = data.decode("utf-8")
        for was, becomes, times in changes.get(path, ()):
            assert text.count(was) == times, (path, was)
            text = text.replace(was, becomes)
        assert after[path].decode("utf-8") == text, path
    # Renaming back gives every byte back, but where a table name was quoted
    # that needs no quotes: the name that needs them leaves no trace of that.
    back = plan_rename(load_project(shop), plan.target.renamed_dax(new), plan.target.name)
    assert back.write() == []
    restored = snapshot(shop)
    if old == "'Sales'":
        assert restored.pop(SALES) == before.pop(SALES).replace(b"'Sales'[Amount]", b"Sales[Amount]")
    assert restored == before


def test_a_table_named_like_a_variable_is_quoted_where_the_variable_would_take_its_place(shop):
    """Margin declares VAR Revenue: a bare Revenue there would mean it."""
    before = (shop / SALES).read_text()
    renamed(shop, "'Sales'", "Revenue")
    expected = before
    for was, becomes in [("table Sales\n", "table Revenue\n"), ("SUM ( Sales[Amount] )", "SUM ( Revenue[Amount] )"),
                         ("SUMX ( Sales, Sales[Qty]", "SUMX ( 'Revenue', 'Revenue'[Qty]"),
                         ("FILTER ( Sales,", "FILTER ( Revenue,"),
                         ("( Sales, \"Qty\", Sales[Qty], \"Amount\", 'Sales'[Amount] )",
                          "( Revenue, \"Qty\", Revenue[Qty], \"Amount\", 'Revenue'[Amount] )")]:
        assert expected.count(was) == 1
        expected = expected.replace(was, becomes)
    assert (shop / SALES).read_text() == expected


# Names that need quoting or escaping somewhere: DAX quotes and brackets,
# JSON quotes and backslashes (twice inside PBIR-Legacy's strings), TMDL's
# quotes, dots (a query name's separator), non-Latin letters, words and
# function names of DAX.
HOSTILE = [
    "O'Brien", "a]b", 'Say "hi"', "x.y", "日本語 テスト", "VAR", "SUM", "Ünïcödé", "back\\slash", "#1 % ½",
    "[Bracketed]", "'quoted'", "a:b=c", "Ελληνικά.Δ",
]


def _uses(root, table, name):
    return sum(1 for use in load_project(root).uses if (use.table, use.name) == (table, name))


@pytest.mark.parametrize("new", HOSTILE)
@pytest.mark.parametrize("kind, old, table", [
    ("measure", "Revenue", "Sales"), ("column", "Category", "Product"), ("table", "Product", None),
])
def test_hostile_names_as_new_and_as_old_names_and_back_to_the_same_bytes(shop, kind, old, table, new):
    from quarrow_dax.model import bracket, quote_table

    def notation(name):
        return quote_table(name) if kind == "table" else quote_table(table) + bracket(name)

    before = snapshot(shop)
    field = (table, old) if kind != "table" else ("Product", "Category")
    uses = _uses(shop, *field)
    renamed(shop, notation(old), new)
    model = load_model(shop / "Shop.SemanticModel")
    if kind == "table":
        assert model.table(new).name == new and model.table(old) is None
        assert _uses(shop, new, "Category") == uses > 0
    else:
        members = model.table(table).measures if kind == "measure" else model.table(table).columns
        assert members[new.casefold()].name == new and old.casefold() not in members
        assert _uses(shop, table, new) == uses > 0
    # The hostile name as the old one: to another, then home.
    other = HOSTILE[(HOSTILE.index(new) + 1) % len(HOSTILE)]
    renamed(shop, notation(new), other)
    renamed(shop, notation(other), old)
    restored = snapshot(shop)
    if kind == "table":
        # PRODUCT is a DAX function: a table of that name comes back quoted
        # where a name that needed quotes stood, as a new name would be.
        for path, was, becomes in [(SALES, b"RELATED ( Product[Cost] )", b"RELATED ( 'Product'[Cost] )"),
                                   ("Shop.Report/definition/reportExtensions.json", b"ALL ( Product )",
                                    b"ALL ( 'Product' )")]:
            assert restored.pop(path) == before.pop(path).replace(was, becomes)
    assert restored == before


def _set_up_padded(shop):
    """A column whose name begins and ends with a space (the engine trims
    such names, but a hand-edited file can hold one)."""
    path = shop / SALES
    text = path.read_text()
    text = text.replace("\tcolumn Qty\n", "\tcolumn ' Qty '\n").replace("Sales[Qty]", "Sales[ Qty ]")
    text = text.replace("[Qty] > 0 ), [Qty]", "[ Qty ] > 0 ), [ Qty ]")
    path.write_text(text)
    role = shop / MODEL / "roles/Readers.tmdl"
    role.write_text(role.read_text().replace("[Qty] > 0", "[ Qty ] > 0").replace("columnPermission Qty",
                                                                                  "columnPermission ' Qty '"))


def test_a_name_with_spaces_around_it_is_renamed_away_but_not_given(shop):
    _set_up_padded(shop)
    with pytest.raises(RenameError, match="white space"):
        plan_rename(load_project(shop), "'Sales'[Amount]", " Amount ")
    renamed(shop, "'Sales'[ Qty ]", "Quantity")
    text = (shop / SALES).read_text()
    assert " Qty " not in text and text.count("Sales[Quantity]") == 2 and "column Quantity\n" in text
    assert "[Quantity] > 0 ), [Quantity]" in text


def _write_stale_visual(shop):
    """A visual naming 'Sales'[Profit], which the model lacks."""
    visual = json.loads((shop / VISUAL).read_text())
    visual["name"] = "v2"
    query = visual["visual"]["query"]["queryState"]["Values"]["projections"]
    query[0]["field"]["Measure"]["Property"] = "Profit"
    query[0]["queryRef"] = "Sales.Profit"
    folder = shop / "Shop.Report/definition/pages/p1/visuals/v2"
    folder.mkdir()
    (folder / "visual.json").write_text(json.dumps(visual, indent=2))


def _break_tmdl(shop):
    path = shop / MODEL / "tables/Product.tmdl"
    path.write_text(path.read_text().replace("\tcolumn Cost\n", "\tcolumn Cost\n   spaces where tabs go\n"))


def _unparsable_measure(shop):
    path = shop / SALES
    path.write_text(path.read_text().replace("measure 'Revenue x2' = Shop.Double ( [Revenue] )",
                                             "measure 'Revenue x2' = Shop.Double ( [Revenue] "))


def _unknown_reference(shop):
    path = shop / SALES
    path.write_text(path.read_text().replace("measure 'Revenue x2' = Shop.Double ( [Revenue] )",
                                             "measure 'Revenue x2' = Shop.Double ( [Profit] )"))


# (old, new, options, a change made first, what the refusal says)
REFUSALS = [
    ("[Revenue]", "revenue ly", {}, None, "the measure 'Sales'[Revenue LY] has that name"),
    ("[Revenue]", "AMOUNT", {}, None, "the column 'Sales'[Amount] has that name"),
    ("[Revenue]", "Revenue Share", {}, None, "the report measure 'Sales'[Revenue Share] has that name"),
    ("'Sales'[Amount]", "qty", {}, None, "the column 'Sales'[Qty] has that name"),
    ("'Sales'[Amount]", "Margin", {}, None, "the measure 'Sales'[Margin] has that name"),
    ("'Product'[Cost]", "Products", {}, None, "the hierarchy 'Product'[Products] has that name"),
    ("'Sales'", "product", {}, None, "the table 'Product' has that name"),
    ("'Time Intelligence'[YTD]", "current", {}, None, "the calculation item 'Time Intelligence'[Current] has"),
    ("'Sales'", "Sales", {}, None, "has that name already"),
    ("'Sales'", " Sales2", {}, None, "white space"),
    ("'Sales'", "", {}, None, "empty"),
    ("'Sales'", "a\tb", {}, None, "control character"),
    ("Shop.Double", "SUM", {}, None, "a name of DAX itself"),
    ("Shop.Double", "Shop Double", {}, None, "a function's name is letters"),
    ("Shop.Double", "1st.Double", {}, None, "a function's name is letters"),
    ("'Sales'[Revnue]", "X", {}, None, "did you mean 'Sales'[Revenue]?"),
    ("'Sals'[Revenue]", "X", {}, None, "did you mean 'Sales'[Revenue]?"),
    ("'Product'[Revenue]", "X", {}, None, "did you mean 'Sales'[Revenue]?"),
    ("[Revenue Share]", "X", {}, None, "a measure of the report Shop, not of the model"),
    ("'Product'[Products]", "X", {}, None, "renaming hierarchies is not supported"),
    ("'Sales'[Revenue]", "X", {"kind": "column"}, None, "no column 'Sales'[Revenue]"),
    ("Sales[", "X", {}, None, "not a name in DAX notation"),
    ("[Margin]", "Profit", {}, _write_stale_visual, "names 'Sales'[Profit], which the model lacks"),
    ("[Margin]", "Profit", {}, _unknown_reference, "[Profit] would then mean 'Sales'[Profit] where it means nothing"),
    ("[Revenue]", "X", {}, _unparsable_measure, "does not parse"),
    ("[Revenue]", "X", {}, _break_tmdl, "the model cannot be read in full"),
]


@pytest.mark.parametrize("old, new, options, change, message", REFUSALS,
                         ids=[f"{old}->{new!r}:{message[:30]}" for old, new, _, _, message in REFUSALS])
def test_refusals_say_why_and_write_nothing(shop, old, new, options, change, message):
    if change is not None:
        change(shop)
    before = snapshot(shop)
    with pytest.raises(RenameError) as error:
        plan_rename(load_project(shop), old, new, **options)
    assert message in str(error.value)
    assert snapshot(shop) == before


def test_a_name_that_may_be_a_column_or_an_item_asks_which(shop):
    renamed(shop, "'Time Intelligence'[Name]", "YTD")
    with pytest.raises(RenameError) as error:
        plan_rename(load_project(shop), "'Time Intelligence'[YTD]", "Year")
    assert "--kind item or --kind column" in error.value.hint
    renamed(shop, "'Time Intelligence'[YTD]", "Year", kind="calculation item")
    model = load_model(shop / "Shop.SemanticModel")
    assert set(model.table("Time Intelligence").calculation_items) == {"current", "year"}
    assert set(model.table("Time Intelligence").columns) == {"ytd"}


def test_nothing_is_written_when_one_file_cannot_be(shop):
    plan = plan_rename(load_project(shop), "[Revenue]", "Net Revenue")
    before = snapshot(shop)
    (shop / VISUAL).chmod(0o444)
    problems = plan.write()
    assert [problem.reason for problem in problems].count("read-only") == 1
    assert snapshot(shop) == before


def test_a_file_changed_since_it_was_read_is_not_overwritten(shop):
    plan = plan_rename(load_project(shop), "[Revenue]", "Net Revenue")
    (shop / VISUAL).write_text((shop / VISUAL).read_text() + " ")
    before = snapshot(shop)
    problems = plan.write()
    assert any(problem.reason == "changed" for problem in problems)
    assert snapshot(shop) == before


def test_mentions_in_strings_and_comments_are_listed_and_left(shop):
    plan = plan_rename(load_project(shop), "[Revenue]", "Net Revenue")
    found = sorted((mention.kind, mention.formula.name, mention.text) for mention in plan.mentions)
    assert found == [
        ("comment", "Margin", "// Revenue minus the cost of Sales"),
        ("comment", "Revenue", '-- the revenue, "Revenue"'),
        ("comment", "Revenue Share", '// of all "Revenue"'),
    ]


def test_a_model_given_without_its_files_is_read_again(shop):
    """A project loaded without keeping its files' bytes is read again."""
    project = load_project(shop)
    assert project.originals == {}
    edits = rename(project, "'Product'[Cost]", "Unit Cost")
    assert sorted(pathlib.Path(edit.path).name for edit in edits) == ["Product.tmdl", "Sales.tmdl"]


def test_a_name_changed_only_in_case_is_a_rename(shop):
    renamed(shop, "'Sales'[Amount]", "AMOUNT")
    text = (shop / SALES).read_text()
    assert "[Amount]" not in text and text.count("[AMOUNT]") == 3 and "column AMOUNT\n" in text


def _bim(ascii_only):
    """A .bim model with every place that names a table or column, written
    as a serializer that escapes non-ASCII characters (or not) writes it."""
    column = lambda name, **more: {"name": name, "dataType": "string", "sourceColumn": name, **more}  # noqa: E731
    database = {"name": "Shop", "compatibilityLevel": 1702, "model": {
        "culture": "en-US",
        "tables": [
            {"name": "Sales", "columns": [column("Amount"), column("Région"), column("Band", sortByColumn="Amount")],
             "measures": [{"name": "Revenue", "expression": ["SUM ( Sales[Amount] )", "    + 0"]},
                          {"name": "Régions", "expression": "DISTINCTCOUNT ( 'Sales'[Région] )"}],
             "hierarchies": [{"name": "Geo", "levels": [{"name": "Région", "ordinal": 0, "column": "Région"}]}],
             "partitions": [{"name": "Sales", "source": {"type": "m", "expression": "let in Sales"}}]},
            {"name": "Agg", "columns": [column("Total", alternateOf={
                "baseColumn": {"table": "Sales", "column": "Amount"}, "summarization": "sum"})],
             "partitions": [{"name": "Agg", "source": {"type": "calculated", "expression": "ROW ( \"Total\", 1 )"}}]},
        ],
        "relationships": [{"name": "r1", "fromTable": "Agg", "fromColumn": "Total", "toTable": "Sales",
                           "toColumn": "Amount"}],
        "roles": [{"name": "Readers", "modelPermission": "read", "tablePermissions": [
            {"name": "Sales", "filterExpression": "Sales[Région] <> \"\"",
             "columnPermissions": [{"name": "Amount", "metadataPermission": "none"}]}]}],
        "perspectives": [{"name": "View", "tables": [{"name": "Sales", "columns": [{"name": "Région"}],
                                                       "measures": [{"name": "Revenue"}]}]}],
        "cultures": [{"name": "en-US", "translations": {"model": {"name": "Model", "tables": [
            {"name": "Sales", "translatedCaption": "Ventes", "columns": [{"name": "Région",
                                                                         "translatedCaption": "Région"}]}]}},
            "linguisticMetadata": {"content": json.dumps({"Entities": {"sales.région": {"Definition": {"Binding": {
                "ConceptualEntity": "Sales", "ConceptualProperty": "Région"}}}}}, ensure_ascii=ascii_only),
                "contentType": "json"}}],
        "annotations": [{"name": "PBI_QueryOrder", "value": json.dumps(["Sales", "Agg"])}],
    }}
    return json.dumps(database, indent=2, ensure_ascii=ascii_only) + "\n"


@pytest.mark.parametrize("ascii_only", [False, True], ids=["literal", "escaped"])
def test_a_bim_file_renamed_in_the_hand_it_was_written_in(tmp_path, ascii_only):
    path = tmp_path / "model.bim"
    original = _bim(ascii_only)
    path.write_text(original, encoding="utf-8", newline="")
    renamed(path, "'Sales'[Région]", "Zône")
    text = path.read_text(encoding="utf-8")
    # Written as the file writes names: non-ASCII escaped, or not.
    assert text.isascii() == ascii_only
    zone = "Z\\u00f4ne" if ascii_only else "Zône"
    region = "R\\u00e9gion" if ascii_only else "Région"
    # The column's declaration, its level, role permission, perspective and
    # translation, and two references in DAX.
    assert text.count(f'"{zone}"') == 4 and text.count(f"[{zone}]") == 2
    # The measure, the level named like the column, the translated caption stay.
    assert text.count(f'"name": "{region}s"') == 1 and text.count(f'"name": "{region}",\n') == 1
    assert text.count(f'"translatedCaption": "{region}"') == 1
    model = json.loads(text)["model"]
    content = json.loads(model["cultures"][0]["linguisticMetadata"]["content"])
    assert content["Entities"]["sales.région"]["Definition"]["Binding"]["ConceptualProperty"] == "Zône"
    renamed(path, "'Sales'[Zône]", "Région")
    assert path.read_text(encoding="utf-8") == original
    renamed(path, "'Sales'", "Ventes")
    text = path.read_text(encoding="utf-8")
    # The table, its role permission, perspective and translation.
    assert text.count('"name": "Ventes",') == 4
    for place in ('"fromTable": "Agg"', '"toTable": "Ventes"', '"table": "Ventes"', '[\\"Ventes\\", \\"Agg\\"]', '\\"ConceptualEntity\\": \\"Ventes\\"', "SUM ( Ventes[Amount] )",
                  "'Ventes'[", 'Ventes[R'):
        assert place in text, place
    assert text.count('"name": "Sales"') == 1  # the partition keeps its own name
    renamed(path, "'Ventes'", "Sales")
    assert path.read_text(encoding="utf-8") == original


@pytest.mark.parametrize("mark", [b"", b"\xef\xbb\xbf"], ids=["no mark", "byte-order mark"])
def test_crlf_files_and_byte_order_marks_are_kept(shop, mark):
    for path in (shop / SALES, shop / LEGACY, shop / VISUAL):
        path.write_bytes(mark + path.read_bytes().replace(b"\n", b"\r\n"))
    before = snapshot(shop)
    renamed(shop, "[Revenue]", "Net Revenue")
    sales = (shop / SALES).read_bytes()
    assert sales.startswith(mark + b"/// A model") and b"\n" not in sales.replace(b"\r\n", b"")
    assert b"measure 'Net Revenue' = SUM ( Sales[Amount] ) -- the revenue, \"Revenue\"\r\n" in sales
    assert b'"nativeQueryRef": "Net Revenue"\r\n' in (shop / VISUAL).read_bytes()
    renamed(shop, "[Net Revenue]", "Revenue")
    assert snapshot(shop) == before
