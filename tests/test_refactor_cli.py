"""`quarrow-dax rename` on the command line: what each mode writes (nothing
with --diff and --dry-run), what it says and where, its exit statuses, and a
bad input met with a located message, never a traceback."""

import os
import pathlib

import pytest
from conftest import writable_copy

from quarrow_dax.cli import main

SHOP = pathlib.Path(__file__).parent / "data" / "Shop"
SALES = "Shop.SemanticModel/definition/tables/Sales.tmdl"


@pytest.fixture
def shop(tmp_path, monkeypatch):
    root = writable_copy(SHOP, tmp_path / "Shop")
    monkeypatch.chdir(root)
    return root


def snapshot(root):
    return {path: path.read_bytes() for path in sorted(root.rglob("*")) if path.is_file()}


def run(capsys, *args):
    status = main(["rename", *args])
    out, err = capsys.readouterr()
    return status, out, err


def test_a_rename_writes_every_file_and_says_how_many_places(shop, capsys):
    status, out, err = run(capsys, ".", "[Revenue]", "Net Revenue")
    assert status == 0 and out == ""
    assert err == ("renamed measure 'Sales'[Revenue] to 'Sales'[Net Revenue]: 29 places in 8 files; 3 mentions in"
                   " DAX strings and comments left as they are (--diff lists them)\n")
    assert "measure 'Net Revenue' = SUM ( Sales[Amount] )" in (shop / SALES).read_text()


@pytest.mark.parametrize("mode", ["--diff", "--dry-run"])
def test_diff_and_dry_run_write_nothing(shop, capsys, mode):
    before = snapshot(shop)
    status, out, err = run(capsys, ".", "'Sales'[Amount]", "Net Amount", mode)
    assert status == 0
    assert snapshot(shop) == before
    assert err.endswith("column 'Sales'[Amount] would be renamed to 'Sales'[Net Amount]: 17 places in 7 files"
                        + ("; 1 mention in DAX strings and comments left as they are (--diff lists them)\n"
                           if mode == "--dry-run" else "\n"))
    if mode == "--diff":
        assert f"--- a/{SALES}\n+++ b/{SALES}\n" in out
        assert "-\tmeasure Revenue = SUM ( Sales[Amount] ) -- the revenue, \"Revenue\"\n" in out
        assert "+\tmeasure Revenue = SUM ( Sales[Net Amount] ) -- the revenue, \"Revenue\"\n" in out
        # The string that spells the name is listed, on standard error, at its place.
        assert (f'{SALES}:23:68: note: a string in the detail rows definition \'Units\' spells the old name, left as'
                ' it is: "Amount"\n') in err
    else:
        lines = out.splitlines()
        assert f"{SALES}:5:31: column reference: [Amount] -> [Net Amount]" in lines
        assert f"{SALES}:25:9: column declaration: Amount -> 'Net Amount'" in lines
        assert "Shop.Report/definition/pages/p1/visuals/v1/visual.json:53:38: column of a query name: Amount -> Net Amount" in lines
        assert len(lines) == 17


@pytest.mark.parametrize("args, message", [
    ((".", "[Revnue]", "X"), "quarrow-dax: rename: nothing named [Revnue] in the model\n"
                             "quarrow-dax: rename: did you mean [Revenue]?\n"),
    ((".", "[Revenue]", "margin"), "quarrow-dax: rename: cannot rename measure 'Sales'[Revenue] to 'margin': the"
                                   " measure 'Sales'[Margin] has that name (names are compared without regard to case)\n"),
    (("nowhere", "[Revenue]", "X"), "quarrow-dax: rename: nowhere: no such file or folder\n"),
    ((".", "[Revenue]", "X", "--report", "nowhere"), "quarrow-dax: rename: nowhere: not a report folder: no"
                                                     " definition.pbir, definition/report.json or report.json\n"),
])
def test_refusals_exit_2_with_a_message_and_write_nothing(shop, capsys, args, message):
    before = snapshot(shop)
    status, out, err = run(capsys, *args)
    assert (status, out, err) == (2, "", message)
    assert snapshot(shop) == before


def test_the_configuration_is_read_and_one_that_cannot_be_used_refuses(shop, capsys):
    (shop / "pyproject.toml").write_text('[tool.quarrow-dax]\nseparatorz = "semicolon"\n')
    before = snapshot(shop)
    status, out, err = run(capsys, ".", "[Revenue]", "Net Revenue")
    assert (status, out) == (2, "")
    assert err.startswith("pyproject.toml:2: config error: [tool.quarrow-dax] has no setting 'separatorz'")
    assert snapshot(shop) == before
    (shop / "pyproject.toml").write_text('[tool.quarrow-dax]\nseparators = "semicolon"\n')
    status, out, err = run(capsys, ".", "[Revenue]", "Net Revenue", "--dry-run")
    assert status == 0 and "would be renamed" in err


def test_a_model_file_that_cannot_be_read_is_named_with_its_line(shop, capsys):
    path = shop / "Shop.SemanticModel/definition/tables/Product.tmdl"
    path.write_text(path.read_text().replace("\tcolumn Cost\n", "\tcolumn Cost\n  spaces\n"))
    status, out, err = run(capsys, ".", "[Revenue]", "X")
    assert status == 2 and out == ""
    assert err.startswith("quarrow-dax: rename: the model cannot be read in full: ")
    assert "Product.tmdl:9:" in err and "Traceback" not in err


def test_a_file_that_cannot_be_written_leaves_every_file_as_it_was(shop, capsys):
    before = snapshot(shop)
    os.chmod(shop / "Shop.SemanticModel/definition/perspectives/Sales View.tmdl", 0o444)
    status, out, err = run(capsys, ".", "[Revenue]", "Net Revenue")
    assert status == 2
    assert "Sales View.tmdl" in err and err.endswith("nothing was written: every file of a rename is written, or"
                                                      " none\n")
    assert snapshot(shop) == before


def test_a_model_with_a_report_given_beside_it(shop, capsys):
    """A model path and --report: the report is renamed with the model."""
    status, _, err = run(capsys, "Shop.SemanticModel", "'Sales'", "Fact", "--report", "ShopLegacy.Report")
    assert status == 0
    assert err.startswith("renamed table 'Sales' to 'Fact': ")
    assert r'\"Entity\":\"Fact\"' in (shop / "ShopLegacy.Report/report.json").read_text()
    # The other report, not given, is left as it was.
    assert '"Entity": "Sales"' in (shop / "Shop.Report/definition/report.json").read_text()


def test_kind_picks_the_calculation_item_over_the_column(shop, capsys):
    assert run(capsys, ".", "'Time Intelligence'[Name]", "YTD")[0] == 0
    status, _, err = run(capsys, ".", "'Time Intelligence'[YTD]", "Year")
    assert status == 2 and "say which with --kind item or --kind column" in err
    status, _, err = run(capsys, ".", "'Time Intelligence'[YTD]", "Year", "--kind", "item")
    assert status == 0 and err.startswith("renamed calculation item 'Time Intelligence'[YTD] to")


def test_a_calculation_item_renamed_lists_the_filter_values_that_may_select_it(shop, capsys):
    """A filter's value is data: it is listed, not changed."""
    status, out, err = run(capsys, ".", "'Time Intelligence'[YTD]", "Year to date", "--diff")
    assert status == 0
    assert "+\t\tcalculationItem 'Year to date' = CALCULATE ( SELECTEDMEASURE (), DATESYTD ( 'Date'[Date] ) )\n" in out
    assert err == ("Shop.Report/definition/pages/p1/page.json:48:36: note: a filter value that may select the"
                   " calculation item, left as it is: 'YTD'\n"
                   "calculation item 'Time Intelligence'[YTD] would be renamed to 'Time Intelligence'[Year to date]:"
                   " 1 place in 1 file\n")
    status, _, err = run(capsys, ".", "'Time Intelligence'[YTD]", "Year to date")
    assert status == 0 and err.endswith("1 place in 1 file; 1 filter value of the old name left as they are (--diff"
                                        " lists them)\n")
    assert "'YTD'" in (shop / "Shop.Report/definition/pages/p1/page.json").read_text()
