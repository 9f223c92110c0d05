"""The positioned JSON reader: the values of json.loads, each with the place
it is written, over the real model and report files and over tables of
faults; and the map from a decoded string back to its escapes, which reading
a JSON text held inside a JSON string relies on."""

import json
import pathlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quarrow_dax.model.json_reader import MAX_DEPTH, JsonArray, JsonError, JsonObject, JsonReader, JsonString

SHARED = pathlib.Path(__file__).resolve().parents[2] / "shared"
JSON_FILES = sorted([*SHARED.glob("models/bim/*/*.bim"), *SHARED.glob("reports/**/*.json")])


def members(root):
    """(container, key) of every member under `root`, without recursion."""
    stack = [root]
    while stack:
        value = stack.pop()
        keys = value.keys() if isinstance(value, dict) else range(len(value)) if isinstance(value, list) else ()
        for key in keys:
            yield value, key
            stack.append(value[key])


def read(text, warnings=None):
    return JsonReader(text, None if warnings is None else lambda *warning: warnings.append(warning)).document()


# --- real files -------------------------------------------------------------------


@pytest.mark.skipif(not JSON_FILES, reason=f"shared folder not found: {SHARED}")
@pytest.mark.parametrize("path", JSON_FILES, ids=lambda path: str(path.relative_to(SHARED)))
def test_every_value_of_a_real_file_is_where_its_span_says(path):
    text = path.read_text(encoding="utf-8-sig")
    lines = text.split("\n")
    reader = JsonReader(text)
    root = reader.document()
    assert root == json.loads(text)
    assert text[root.start : root.end] == text.strip()
    for container, key in members(root):
        value = container[key]
        start, end = container.span(key)
        # Inside its container, and nothing but the member's own JSON text.
        assert container.start < start < end < container.end
        if isinstance(value, (JsonObject, JsonArray)):
            assert (value.start, value.end) == (start, end)
            assert text[start] + text[end - 1] == ("{}" if isinstance(value, dict) else "[]")
        else:
            assert json.loads(text[start:end]) == value and text[start:end] == text[start:end].strip()
            assert isinstance(value, JsonString) or not isinstance(value, str)
        if isinstance(value, JsonString):
            assert (value.start, value.end) == (start, end)
            assert reader.raw(value) == text[start + 1 : end - 1]
        line, column = reader.position(start)
        assert lines[line - 1][column - 1 :].startswith(text[start:end].split("\n")[0])


def embedded_documents(path):
    """Every JSON object or array written inside a string of the file (the
    config and filters of a PBIR-Legacy report), with the outer reader."""
    reader = JsonReader(path.read_text(encoding="utf-8-sig"))
    for container, key in members(reader.document()):
        value = container[key]
        if isinstance(value, JsonString) and value.lstrip()[:1] in ("{", "["):
            try:
                json.loads(value)
            except ValueError:
                continue  # DAX such as { 1, 2 } or [Sales]
            yield reader, value


EMBEDDING = [path for path in JSON_FILES if any(embedded_documents(path))]


@pytest.mark.skipif(not EMBEDDING, reason="no report file with JSON inside its strings found")
@pytest.mark.parametrize("path", EMBEDDING, ids=lambda path: str(path.relative_to(SHARED)))
def test_a_json_text_inside_a_string_maps_back_to_the_file(path):
    checked = 0
    for outer, holder in embedded_documents(path):
        inner = JsonReader(str(holder))
        offsets = outer.source_offsets(holder)
        for container, key in members(inner.document()):
            start, end = container.span(key)
            first, past = offsets[start], offsets[end]
            # Decoding what the file holds there gives the inner value's text back.
            assert json.loads('"' + outer.text[first:past] + '"') == str(holder)[start:end]
            checked += 1
    assert checked > 0


# --- faults -------------------------------------------------------------------------

FAULTS = [
    # text, message, line, column
    ("", "invalid JSON: unexpected end of the file", 1, 1),
    ("  \n", "invalid JSON: unexpected end of the file", 2, 1),
    ('{"a": 1,}', "invalid JSON: expected a property name in double quotes", 1, 9),
    ('{"a" 1}', "invalid JSON: expected ':' after a property name", 1, 6),
    ("[1 2]", "invalid JSON: expected ',' or ']' in an array", 1, 4),
    ('{"a": 1\n "b": 2}', "invalid JSON: expected ',' or '}' in an object", 2, 2),
    ("[1] x", "invalid JSON: text after the end of the document", 1, 5),
    ('["ab', "invalid JSON: unterminated string or a control character in it", 1, 2),
    ('["a\tb"]', "invalid JSON: unterminated string or a control character in it", 1, 2),
    ('{"k": "a\\qb"}', "invalid JSON: Invalid \\escape", 1, 9),
    ('{"k": "\\u12"}', "invalid JSON: Invalid \\uXXXX escape", 1, 9),
    ("[tru]", "invalid JSON: unexpected character 't'", 1, 2),
    ("[01]", "invalid JSON: expected ',' or ']' in an array", 1, 3),
    ('[\n\t"é", @]', "invalid JSON: unexpected character '@'", 2, 7),
    ("[" * (MAX_DEPTH + 1), "invalid JSON: nested too deeply", 1, MAX_DEPTH + 1),
]


@pytest.mark.parametrize("text, message, line, column", FAULTS)
def test_faults_are_located(text, message, line, column):
    with pytest.raises(JsonError) as info:
        read(text)
    error = info.value
    assert (error.message, error.line, error.column) == (message, line, column)
    assert JsonReader(text).position(error.offset) == (line, column)
    assert str(error) == f"{line}:{column}: {message}"
    # As unreadable for json.loads (which has no depth limit of its own here).
    if "nested" not in message:
        with pytest.raises(ValueError):
            json.loads(text)


def test_nesting_up_to_the_limit_is_read_without_recursion():
    depth = MAX_DEPTH
    value = read("[" * depth + "7" + "]" * depth)
    for _ in range(depth):
        assert isinstance(value, JsonArray) and len(value) == 1
        value = value[0]
    assert value == 7


def test_a_key_given_twice_keeps_the_last_value_and_says_where():
    warnings = []
    text = '{"a": 1,\n  "a": "two", "b": {"c": [], "c": null}}'
    root = read(text, warnings)
    assert root == {"a": "two", "b": {"c": None}}
    assert root.span("a") == (text.index('"two"'), text.index('"two"') + 5)
    assert text[slice(*root["b"].span("c"))] == "null"
    message = "duplicate key {}: the value given last is used, the one before it is ignored"
    assert warnings == [(message.format('"a"'), 2, 3), (message.format('"c"'), 2, 30)]
    assert read(text) == root  # no listener: the same value, nothing said


SCALARS = [
    # JSON text of a member, the value
    ("-12.5e-3", -12.5e-3),
    ("0", 0),
    ("true", True),
    ("false", False),
    ("null", None),
    ("1" * 400, float("1" * 400)),  # too long for an exact int: read as a float
]


@pytest.mark.parametrize("written, value", SCALARS)
def test_numbers_and_literals_are_placed_by_their_container(written, value):
    text = '{"x": ' + written + ' , "y": [ ' + written + " ]}"
    root = read(text)
    assert root["x"] == value and root["y"] == [value]
    assert text[slice(*root.span("x"))] == written
    assert text[slice(*root["y"].span(0))] == text[slice(*root["y"].span(-1))] == written
    assert text[slice(*root.span("y"))] == "[ " + written + " ]"
    with pytest.raises(KeyError):
        root.span("z")


# --- decoded strings and their escapes ------------------------------------------------

OFFSETS = [
    # the string as written, the offsets (into its text between the quotes) of each decoded character
    ("abc", [0, 1, 2, 3]),
    ("a\\nb", [0, 1, 3, 4]),
    ("\\u00e9t\\u00E9", [0, 6, 7, 13]),
    ("\\ud83d\\ude00!", [0, 12, 13]),  # a surrogate pair is one character
    ("\\ud83dx\\ude00", [0, 6, 7, 13]),  # apart, each escape is one
    ("\\ude00\\ud83d", [0, 6, 12]),  # low before high: no pair
    ('\\"\\\\\\/', [0, 2, 4, 6]),
    ("", [0]),
]


@pytest.mark.parametrize("raw, offsets", OFFSETS)
def test_source_offsets_of_each_decoded_character(raw, offsets):
    text = '{"k":  "' + raw + '"}'
    reader = JsonReader(text)
    value = reader.document()["k"]
    assert len(value) == len(offsets) - 1
    assert [offset - value.start - 1 for offset in reader.source_offsets(value)] == offsets


@settings(max_examples=300, deadline=None)
@given(st.text(), st.booleans())
def test_source_offsets_and_string_lines_agree_with_the_decoded_text(value, ascii_only):
    written = json.dumps(value, ensure_ascii=ascii_only)
    text = "[\n  " + written + "]"
    reader = JsonReader(text)
    string = reader.document()[0]
    assert string == value and text[string.start : string.end] == written
    offsets = reader.source_offsets(string)
    assert len(offsets) == len(value) + 1 and offsets[-1] == string.end - 1
    for index, char in enumerate(value):
        assert json.loads('"' + text[offsets[index] : offsets[index + 1]] + '"') == char
    lines = reader.string_lines(string)
    assert len(lines) == value.count("\n") + 1
    for (line, column, exact), piece in zip(lines, value.split("\n")):
        start = reader.line_starts[line - 1] + column - 1
        # The first `exact` characters of each line are written as they are.
        assert text[start : start + exact] == piece[:exact]
        assert exact == len(piece) or text[start + exact] == "\\"
