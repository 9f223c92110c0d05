"""The function catalogue: the shipped data file passes its validator and
covers every name the tools knew before; the reader refuses malformed
entries with their line; the signatures say what the reference says."""

from pathlib import Path

import pytest

from quarrow_dax import functions
from quarrow_dax.functions import automaton, catalogue, row_context_table, signature, user_defined
from quarrow_dax.functions.data import CatalogueError, parse
from quarrow_dax.functions.validate import main as validate_main
from quarrow_dax.functions.validate import problems

BEFORE = Path(__file__).parent / "data" / "builtin_names_before_catalogue.txt"


def names_before():
    return [line for line in BEFORE.read_text().splitlines() if line and not line.startswith("#")]


def test_shipped_catalogue_is_valid_and_covers_every_name_known_before():
    assert problems(catalogue(), names_before()) == []
    assert validate_main([]) == 0


def test_catalogue_spans_every_category_of_the_reference():
    groups = functions.by_category()
    assert set(groups) == set(functions.CATEGORIES) - {"user-defined"}
    assert sum(map(len, groups.values())) == len(catalogue())
    # The newest functions the issue names are there, and are built in.
    for name in ("NONFILTER", "FILTERCLUSTER", "SHADOWCLUSTER", "INFO.USERDEFINEDFUNCTIONS", "INFO.CALENDARS",
                 "TABLEOF", "TOTALWTD", "LOOKUPWITHTOTALS", "ISATLEVEL", "RUNNINGSUM", "INFO.VIEW.TABLES"):
        assert functions.is_builtin(name.lower()), name
        assert signature(name) is not None, name


# name, min_args, max_args (None: no limit), kinds of the first form's parameters
BOUNDS = [
    ("DIVIDE", 2, 3, ["scalar", "scalar", "scalar"]),
    ("SUM", 1, 1, ["column"]),
    ("SUMX", 2, 2, ["table", "row"]),
    ("CALCULATE", 1, None, ["context", "filter"]),
    ("IF", 2, 3, ["scalar", "any", "any"]),
    ("SWITCH", 3, None, ["scalar", "scalar", "any", "any"]),
    ("RANKX", 2, 5, ["table", "row", "scalar", "keyword", "keyword"]),
    ("MIN", 1, 2, ["column"]),
    ("BLANK", 0, 0, []),
    ("WINDOW", 2, 10, None),
    ("DATEADD", 3, 5, ["dates", "scalar", "keyword", "keyword", "keyword"]),
    ("RELATEDTABLE", 1, 1, ["tableref"]),
    ("INFO.TABLES", 0, None, ["scalar", "scalar"]),
    ("INFO.VIEW.MEASURES", 0, 0, []),
    ("TOTALYTD", 2, 4, ["context", "dates", "filter", "scalar"]),
    ("ADDCOLUMNS", 3, None, ["table", "name", "row"]),
    ("LOOKUPVALUE", 3, None, ["column", "column", "scalar", "scalar"]),
    ("TOTALWTD", 2, 3, ["context", "calendar", "filter"]),
]


@pytest.mark.parametrize("name, low, high, kinds", BOUNDS)
def test_signature_bounds_and_kinds(name, low, high, kinds):
    found = signature(name.lower())
    assert (found.min_args, found.max_args) == (low, high)
    if kinds is not None:
        assert [p.kind for p in found.parameters] == kinds


# name, counts the reference allows, counts it does not
COUNTS = [
    ("ADDCOLUMNS", [3, 5, 7], [1, 2, 4, 6]),
    ("ROW", [2, 4], [0, 1, 3]),
    ("SWITCH", [3, 4, 5, 6], [0, 1, 2]),
    ("LOOKUPVALUE", [3, 4, 5, 6], [1, 2]),
    ("DATATABLE", [3, 5], [2, 4]),
    ("CONTAINS", [3, 5], [2, 4]),
    ("WINDOW", [2, 3, 4, 10], [0, 1, 11]),
    ("COLLAPSE", [1, 2, 3, 4], [0]),
    ("ALL", [0, 1, 5], []),
    ("INFO.COLUMNS", [0, 1, 2, 3], []),
]


@pytest.mark.parametrize("name, allowed, refused", COUNTS)
def test_argument_counts_of_repeating_groups(name, allowed, refused):
    machine = automaton(signature(name))
    assert [count for count in allowed if not machine.valid_count(count)] == []
    assert [count for count in refused if machine.valid_count(count)] == []


def test_count_phrases():
    phrase = {name: automaton(signature(name)).count_phrase(signature(name).min_args, signature(name).max_args)
              for name in ("DIVIDE", "SUM", "ADDCOLUMNS", "CALCULATE", "BLANK", "WINDOW", "ALL")}
    assert phrase == {
        "DIVIDE": "2 or 3 arguments", "SUM": "1 argument", "ADDCOLUMNS": "3, 5, 7, … arguments",
        "CALCULATE": "at least 1 argument", "BLANK": "no arguments", "WINDOW": "2 to 10 arguments",
        "ALL": "any number of arguments",
    }


def test_candidates_follow_the_count():
    machine = automaton(signature("LOOKUPVALUE"))
    names = [[p.name for p in found] for found in machine.candidates(4)]
    assert names == [["ResultColumnName"], ["SearchColumnName"], ["SearchValue"], ["AlternateResult"]]
    names = [[p.name for p in found] for found in machine.candidates(5)]
    assert names[3] == ["SearchColumnName"]


def test_signature_text_as_the_reference_writes_it():
    assert signature("DIVIDE").text() == "DIVIDE ( <Numerator>, <Denominator>[, <AlternateResult>] )"
    assert signature("SWITCH").text() == \
        "SWITCH ( <Expression>, <Value>, <Result> [, <Value>, <Result>] …[, <Else>] )"
    assert signature("MIN").text() == "MIN ( <ColumnName> )\nMIN ( <Expression1>, <Expression2> )"


# name, argument index, the index of the table whose row context it has
ROW_CONTEXT = [
    ("SUMX", 1, 0), ("SUMX", 0, None), ("FILTER", 1, 0), ("TOPN", 2, 1), ("TOPN", 5, 1),
    ("RANKX", 1, 0), ("RANKX", 2, None), ("SUMMARIZE", 4, 0), ("GENERATE", 1, 0), ("FIRSTNONBLANK", 1, 0),
    ("SUBSTITUTEWITHINDEX", 3, 2), ("CALCULATE", 1, None), ("SUMMARIZECOLUMNS", 2, None), ("XIRR", 2, 0),
    ("NOSUCHFUNCTION", 1, None),
]


@pytest.mark.parametrize("name, index, table", ROW_CONTEXT)
def test_row_context_arguments(name, index, table):
    assert row_context_table(name, index) == table


def test_user_defined_defaults_make_trailing_parameters_optional():
    found = user_defined("f", [("a", ["COLUMNREF"], False), ("b", [], True), ("c", ["INT64", "VAL"], False),
                               ("d", ["TABLE"], True), ("e", [], True)])
    assert (found.min_args, found.max_args) == (3, 5)
    assert [(p.kind, p.optional) for p in found.parameters] == [
        ("column", False), ("any", False), ("scalar", False), ("table", True), ("any", True),
    ]


# data text, the line and the words the error names
MALFORMED = [
    ("SUM ( C:column ) -> scalar\n    Sums.\n", 1, "before any [category]"),
    ("[aggregation]\nSUM ( C:colum ) -> scalar\n    Sums.\n", 2, "unknown kind 'colum'"),
    ("[aggregation]\nSUM ( C:column ) -> number\n    Sums.\n", 2, "unknown return kind"),
    ("[aggregation]\nSUM ( C:column )\n    Sums.\n", 2, "not a signature"),
    ("[aggregation]\nSUM ( C:column ) -> scalar\n", 2, "no description"),
    ("[aggregation]\nSUM ( C:column ) -> scalar\n    Sums.\nSUM ( C:column ) -> scalar\n    Again.\n", 4,
     "listed twice"),
    ("[aggregation]\nF ( {A:scalar, B:scalar} ) -> scalar\n    F.\n", 2, "group ends with"),
    ("[aggregation]\nF ( {A:scalar?}* ) -> scalar\n    F.\n", 2, "not optional"),
    ("[aggregation]\nF ( {A:scalar+, B:scalar}* ) -> scalar\n    F.\n", 2, "repeats with its group"),
    ("[aggregation]\nF ( O:keyword ) -> scalar\n    F.\n", 2, "lists its words"),
    ("[aggregation]\nF ( A:scalar ) -> scalar\n    F.\n    colour red\n", 4, "unknown field"),
    ("[sorcery]\n", 1, "unknown category"),
    ("[aggregation]\nF ( {A:scalar ) -> scalar\n    F.\n", 2, "without its }"),
]


@pytest.mark.parametrize("text, line, words", MALFORMED)
def test_reader_refuses_malformed_entries_at_their_line(text, line, words):
    with pytest.raises(CatalogueError) as info:
        parse(text)
    assert info.value.line == line
    assert words in info.value.message


def test_validator_finds_what_the_reader_lets_through(tmp_path):
    text = ("[aggregation]\nsum ( C:column ) -> scalar\n    Sums\n"
            "MIN ( C:column ) -> scalar\n    Smallest.\n    link https://example.com/min\n"
            "    replaced-by NOTHERE\n")
    with pytest.raises(CatalogueError):
        parse(text)  # a lower-case name is no signature line
    text = text.replace("sum (", "SUM (")
    found = problems(parse(text), ["SUM", "MAX", "INFO.NEW"])
    assert any(p.startswith("SUM: the description") for p in found)
    assert any(p.startswith("MIN: the link") for p in found)
    assert any("NOTHERE is not in the catalogue" in p for p in found)
    assert "MAX: a built-in function missing from the catalogue" in found
    assert not any("INFO.NEW" in p for p in found)
    edited = tmp_path / "signatures.txt"
    edited.write_text(text)
    assert validate_main([str(edited)]) == 1


def test_the_catalogue_read_as_asked_for_equals_the_file_read_at_once():
    from quarrow_dax.functions.data import DATA_FILE, Catalogue

    text = DATA_FILE.read_text(encoding="utf-8")
    lazy = Catalogue(text)
    assert "SUM" in lazy and "NOSUCH" not in lazy and len(lazy) == len(parse(text))
    assert lazy["SWITCH"] == parse(text)["SWITCH"]  # one entry read alone
    assert dict(lazy) == parse(text) and list(lazy) == list(parse(text))
    with pytest.raises(CatalogueError) as info:
        Catalogue("[aggregation]\nSUM ( C:column ) -> scalar\n    Sums.\nSUM ( C:column ) -> scalar\n    Again.\n")
    assert info.value.line == 4


@pytest.mark.parametrize("name, counts", [
    ("ADDCOLUMNS", {10**6 + 1: True, 10**6: False}), ("SWITCH", {10**6: True, 10**6 + 1: True}),
    ("SUM", {10**6: False}), ("LOOKUP", {10**6 + 1: True, 10**6: False}), ("DATATABLE", {10**6 + 1: True}),
])
def test_huge_argument_counts_are_answered_from_the_repeating_part(name, counts):
    machine = automaton(signature(name))
    assert {count: machine.valid_count(count) for count in counts} == counts
