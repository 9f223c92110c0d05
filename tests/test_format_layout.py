"""The formatter's layout: widths in display columns, the place a text is
written (a model file's indentation and `measure Name =` before it),
keyword arguments in upper case, name/value pairs kept together, and `&`
chains that fill their lines."""

import importlib.util
import sys
import unicodedata
from pathlib import Path

import pytest

import quarrow_dax
from quarrow_dax import _native
from quarrow_dax import syntax as S
from quarrow_dax.formatter import FormatOptions, same_tree
from quarrow_dax.formatter.layout import display_width
from quarrow_dax.formatter.native import KIND_CODES, fingerprints
from quarrow_dax.formatter.placement import TAB_WIDTH, text_columns
from quarrow_dax.model import Formula

ROOT = Path(__file__).resolve().parents[1]


def formatted(text, **options):
    """`text` formatted, checked to format to itself."""
    result = quarrow_dax.format(text, **options)
    assert quarrow_dax.format(result, **options) == result
    return result


def widest(text, first_line_offset=0, indent_prefix=0):
    lines = text.split("\n")
    return max([display_width(lines[0]) + first_line_offset]
               + [display_width(line) + indent_prefix for line in lines[1:]])


# --- display columns ------------------------------------------------------------


def _generator():
    loader_spec = importlib.util.spec_from_file_location("gen_display_width", ROOT / "tools" / "gen_display_width.py")
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module


def test_the_width_of_every_code_point_is_the_generators():
    generator = _generator()
    table = (ROOT / "python-module" / "formatter" / "display_width.inc").read_text(encoding="utf-8")
    if f"Unicode {unicodedata.unidata_version} data" not in table:
        pytest.skip("the table was written from another Unicode version than this Python's")
    wrong = [code_point for code_point in range(0x110000)
             if not 0xD800 <= code_point <= 0xDFFF and display_width(chr(code_point)) != generator.columns(code_point)]
    assert wrong == []
    assert generator.generate() == table


@pytest.mark.parametrize("text, columns", [
    ("abc", 3),
    ("日本語", 6),  # wide
    ("ＡＢ", 4),  # fullwidth
    ("e\u0301", 1),  # a combining accent takes no column
    ("1\ufe0f\u20e3", 1),  # a keycap: a variation selector and an enclosing mark
    ("a\u200bb", 2),  # a zero-width space
    ("\u00ad", 1),  # the soft hyphen shows
    ("😀", 2),
    ("", 0),
])
def test_display_width(text, columns):
    assert display_width(text) == columns


def test_wide_characters_count_twice_against_the_width():
    wide = '"' + "日本語" * 8 + '"'  # 26 characters, 50 columns
    text = f"{wide} & {wide}"
    assert formatted(text, width=80) == f"{wide}\n    & {wide}"
    narrow = '"' + "abc" * 8 + '"'
    assert formatted(f"{narrow} & {narrow}", width=80) == f"{narrow} & {narrow}"
    # A combining mark takes no room: 126 characters in 78 columns.
    accented = '"' + "e\u0301" * 12 + '"'
    assert "\n" not in formatted(f"CONCATENATE ( {accented}, {accented}, {accented}, {accented} )", width=90)


# --- where the text is written ------------------------------------------------------


@pytest.mark.parametrize("first, prefix", [(0, 0), (20, 8), (40, 0), (8, 8), (100, 12)])
@pytest.mark.parametrize("text", [
    "DIVIDE([Sales Amount] - [Sales Amount PY], [Sales Amount PY])",
    "VAR x = CALCULATE(SUM(Sales[Amount]), ALL('Date')) RETURN IF(x > 100, x * 1.1, x)",
    "SWITCH(TRUE(), [a] > 1, \"big\", [a] > 0, \"small\", \"none\")",
])
def test_lines_fit_counting_the_columns_before_them(text, first, prefix):
    width = 60
    result = quarrow_dax.format(text, width=width, first_line_offset=first, indent_prefix=prefix)
    assert widest(result, first, prefix) <= width or first + 10 > width
    assert quarrow_dax.format(result, width=width, first_line_offset=first, indent_prefix=prefix) == result
    assert same_tree(S.parse_expression(result), S.parse_expression(text))


def test_a_formula_that_fits_only_below_its_name_breaks():
    text = "DIVIDE ( [Sales Amount] - [Sales Amount PY], [Sales Amount PY] )"
    assert quarrow_dax.format(text, width=80, indent_prefix=8) == text
    assert quarrow_dax.format(text, width=80, first_line_offset=40, indent_prefix=8) == (
        "DIVIDE ( [Sales Amount] - [Sales Amount PY], [Sales Amount PY] )".replace(
            "DIVIDE ( ", "DIVIDE (\n    ").replace(", [Sales Amount PY] )", ",\n    [Sales Amount PY]\n)"))


@pytest.mark.parametrize("value", [-1, 1.5, "2"])
def test_offsets_are_whole_numbers(value):
    with pytest.raises(ValueError):
        quarrow_dax.format("1", first_line_offset=value)
    with pytest.raises(ValueError):
        quarrow_dax.format("1", indent_prefix=value)


def _formula(form, line, column, depth, lines=1):
    return Formula("model.tmdl", "T", "M", "measure", "x", line, column,
                   tuple((line + index, column) for index in range(lines)), (1,) * lines, form, (), depth)


@pytest.mark.parametrize("lines, formula, expected", [
    # after its `=`: where it starts, tabs counted as TAB_WIDTH columns
    (["table T", "\tmeasure 'Sales Amount' = SUM ( x )"], _formula("inline", 2, 27, 2),
     (TAB_WIDTH + len("measure 'Sales Amount' = "), 2 * TAB_WIDTH)),
    # on the lines below: placed as if after its `=`, as it would be written once one line
    (["table T", "\tmeasure 'Sales Amount' =", "\t\t\tSUM ( x )"], _formula("indented", 3, 4, 3),
     (TAB_WIDTH + len("measure 'Sales Amount' = "), 3 * TAB_WIDTH)),
    (["\tmeasure M =", "", "\t\tSUM ( x )"], _formula("indented", 3, 3, 2), (TAB_WIDTH + len("measure M = "), 8)),
    # between fences: it stays below
    (["\tmeasure M = ```", "\t\tSUM ( x )", "\t\t```"], _formula("fenced", 2, 3, 2), (8, 8)),
    # in a .bim file: nothing is counted
    (['"expression": "SUM ( x )"'], _formula("string", 1, 16, 0), (0, 0)),
    # wide characters in the name take two columns each
    (["\tmeasure '売上' = 1"], _formula("inline", 1, 16, 2), (TAB_WIDTH + len("measure '' = ") + 4, 8)),
])
def test_where_a_model_formula_stands(lines, formula, expected):
    assert text_columns(lines, formula) == expected


# --- keyword arguments ------------------------------------------------------------


@pytest.mark.parametrize("text, expected", [
    ("RANKX(ALL(T), [m], , desc, dense)", "RANKX ( ALL ( T ), [m], , DESC, DENSE )"),
    ("DATEADD('Date'[Date], -1, year)", "DATEADD ( 'Date'[Date], -1, YEAR )"),
    ("DATESINPERIOD(d[d], MAX(d[d]), -1, Day)", "DATESINPERIOD ( d[d], MAX ( d[d] ), -1, DAY )"),
    ("TOPN(1, T, [x], asc)", "TOPN ( 1, T, [x], ASC )"),
    ("RANK(dense, ALLSELECTED(T), ORDERBY([x], desc))", "RANK ( DENSE, ALLSELECTED ( T ), ORDERBY ( [x], DESC ) )"),
    ("window(1, abs, -1, rel, T)", "WINDOW ( 1, ABS, -1, REL, T )"),
    ("CROSSFILTER(a[k], b[k], both)", "CROSSFILTER ( a[k], b[k], BOTH )"),
    # a function's first argument is its table; a user's function keeps its arguments
    ("COUNTROWS(Currency)", "COUNTROWS ( Currency )"),
    ("MyFunction(1, desc)", "MyFunction ( 1, desc )"),
    # a name the text declares is a variable, not a keyword
    ("VAR Day = 2 RETURN DATE(2024, 1, Day)", "VAR Day = 2\nRETURN\n    DATE ( 2024, 1, Day )"),
    # not an argument of its own
    ("RANKX(T, [m], , desc + 0)", "RANKX ( T, [m], , desc + 0 )"),
])
def test_keyword_arguments_in_upper_case(text, expected):
    assert formatted(text) == expected
    # The same where comments make the handlers lay the call out.
    assert formatted(text + " -- note") == expected + " -- note"


def test_the_fingerprint_reads_keyword_arguments_without_regard_to_case():
    def tree_print(text):
        return fingerprints(text, KIND_CODES["expression"], FormatOptions().native)[0]

    assert tree_print("RANKX(T, [m], , desc)") == tree_print("RANKX(T, [m], , DESC)")
    assert tree_print("MyFunction(desc)") != tree_print("MyFunction(DESC)")
    assert tree_print("RANKX(T, [m], , desc)") != tree_print("RANKX(T, [m], , asc)")
    assert same_tree(S.parse_expression("TOPN(1, T, [x], asc)"), S.parse_expression("TOPN(1, T, [x], ASC)"))
    assert not same_tree(S.parse_expression("TOPN(1, T, [x], asc)"), S.parse_expression("TOPN(1, T, [x], desc)"))
    assert not same_tree(S.parse_expression("F(1, T, [x], asc)"), S.parse_expression("F(1, T, [x], ASC)"))


# --- pairs ------------------------------------------------------------------------


@pytest.mark.parametrize("text, width, expected", [
    # a value that must break starts on its name's line and breaks there
    ('ADDCOLUMNS(T, "Total", CALCULATE(SUM(Sales[Amount]), ALL(\'Date\')), "One", 1)', 50,
     'ADDCOLUMNS (\n    T,\n    "Total", CALCULATE (\n        SUM ( Sales[Amount] ),\n        ALL ( \'Date\' )\n    ),\n'
     '    "One", 1\n)'),
    ('SWITCH(TRUE(), [a] > 1, IF([b], "big and bold", "bigger"), "none")', 36,
     'SWITCH (\n    TRUE (),\n    [a] > 1, IF (\n        [b],\n        "big and bold",\n        "bigger"\n    ),\n'
     '    "none"\n)'),
    # a value that fits whole on a line of its own goes there, unbroken
    ('SWITCH(TRUE(), [a] > 1, IF([b], "big and bold", "big"), "none")', 40,
     'SWITCH (\n    TRUE (),\n    [a] > 1,\n    IF ( [b], "big and bold", "big" ),\n    "none"\n)'),
    ('ROW("A long column name", \'A table\'[A long column], "b", 1)', 40,
     'ROW (\n    "A long column name",\n    \'A table\'[A long column],\n    "b", 1\n)'),
    # a VAR block starts the next line, lined up under its first VAR
    ('ADDCOLUMNS(T, "V", VAR x = [a] RETURN x * 2)', 120,
     'ADDCOLUMNS (\n    T,\n    "V",\n    VAR x = [a]\n    RETURN\n        x * 2\n)'),
])
def test_a_pair_keeps_its_value_on_its_names_line_where_it_breaks(text, width, expected):
    assert formatted(text, width=width) == expected


# However the source is spaced, the value is handed to the layout whole (one
# piece of flat text) or in parts; it must come out the same either way.
@pytest.mark.parametrize("spacing", ["", " ", "     ", "\n        "])
@pytest.mark.parametrize("value", ["NOT ({s}WEEKDAY([Date], 2) IN {{6, 7}})", "-({s}[Amount] - [Cost] * [Rate] - [Shipping])"])
def test_a_pairs_value_breaks_alike_however_its_source_is_spaced(spacing, value):
    text = f'ADDCOLUMNS ( T, "Is Work Day", {value.format(s=spacing)} )'
    result = formatted(text, width=40)
    assert result.splitlines()[2].startswith('    "Is Work Day", '), result
    assert formatted(result, width=40) == result


# --- & chains -----------------------------------------------------------------------


SVG = ("\"<svg xmlns='http://www.w3.org/2000/svg' width='\" & w & \"' height='\" & h & \"'>\" & "
       "\"<rect x='0' y='0' width='\" & bar & \"' height='\" & h & \"' fill='\" & colour & \"'/>\" & "
       "\"<text x='\" & bar + 4 & \"' y='\" & h / 2 & \"'>\" & FORMAT(value, \"0%\") & \"</text>\" & \"</svg>\"")


def test_an_svg_chain_starts_a_line_at_each_tag_and_fills_the_rest():
    assert formatted(SVG) == (
        "\"<svg xmlns='http://www.w3.org/2000/svg' width='\" & w & \"' height='\" & h & \"'>\"\n"
        "    & \"<rect x='0' y='0' width='\" & bar & \"' height='\" & h & \"' fill='\" & colour & \"'/>\"\n"
        "    & \"<text x='\" & bar + 4 & \"' y='\" & h / 2 & \"'>\" & FORMAT ( value, \"0%\" )\n"
        "    & \"</text>\"\n"
        "    & \"</svg>\"")


def test_a_text_chain_fills_its_lines():
    text = " & ".join(f'"part {n} of the message " & [Measure {n}]' for n in range(8))
    result = formatted(text, width=80)
    lines = result.split("\n")
    assert len(lines) == 5 and widest(result) <= 80
    assert all(line.startswith("    & ") for line in lines[1:])
    # Each line is as full as it can be: its next operand would not fit on it.
    for line, following in zip(lines, lines[1:]):
        next_operand = following.strip()[len("& "):].split(" & ")[0]
        assert display_width(line) + len(" & ") + display_width(next_operand) > 80


def test_an_operand_that_takes_lines_ends_its_line():
    text = '"a" & CALCULATE(SUM(Sales[Amount]), ALL(Sales), Sales[Colour] = "red") & "b" & "c"'
    assert formatted(text, width=40) == (
        '"a"\n    & CALCULATE (\n        SUM ( Sales[Amount] ),\n        ALL ( Sales ),\n'
        '        Sales[Colour] = "red"\n    )\n    & "b" & "c"')


@pytest.mark.parametrize("text", [SVG, SVG + " -- end", SVG.replace("& \"<rect", "& /* r */ \"<rect"),
                                  SVG.replace(" & bar & ", " & -- bar\nbar & ")])
def test_a_filled_chain_reads_back_as_its_tree(text):
    result = formatted(text, width=60)
    assert same_tree(S.parse_expression(result), S.parse_expression(text))
    assert _native.parse_expression(result.replace("/* r */", "").split(" -- end")[0]) is not None


# --- no space at the end of a line -----------------------------------------------------------


@pytest.mark.parametrize("text", ["1 +\n-- a\n2", "1 + -- a\n-- b\n2", "f(1,\n/* a */\n2)", "VAR x =\n-- a\n1 RETURN x"])
def test_no_line_ends_in_a_space(text):
    assert all(line == line.rstrip() for line in formatted(text).split("\n"))


if __name__ == "__main__":
    sys.exit(pytest.main([__file__]))
