"""The native JSON pass (`_syntax.read_json`, behind `JsonReader.document`
and the report reader) against the careful reader in Python: the same
values, types, places and key order over every JSON file in ../shared and
over hostile texts, or a refusal that leaves the text to the careful
reader; the escape maps and line starts that place values found inside
JSON strings; and reading a model without its cultures."""

import json
import math
import pathlib
import re

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from quarrow_dax import _syntax
from quarrow_dax.model import load_model
from quarrow_dax.model.json_reader import MAX_DEPTH, JsonArray, JsonError, JsonObject, JsonReader, JsonString, read_native
from quarrow_dax.report import _json

SHARED = pathlib.Path(__file__).resolve().parents[2] / "shared"
JSON_FILES = sorted([*SHARED.glob("models/**/*.bim"), *SHARED.glob("models/**/*.json"),
                     *SHARED.glob("reports/**/*.json")])
needs_shared = pytest.mark.skipif(not JSON_FILES, reason=f"shared folder not found: {SHARED}")
PLACED = (JsonObject, JsonArray, JsonString)


def assert_same(native, careful):
    """The two values alike in every respect the readers promise: types,
    places, spans of scalars, keys in order; walked without recursion."""
    stack = [(native, careful, "$")]
    while stack:
        a, b, path = stack.pop()
        assert type(a) is type(b), path
        if isinstance(a, float) and math.isnan(a):
            assert math.isnan(b), path
        else:
            assert a == b, path
        if isinstance(a, PLACED):
            assert (a.start, a.end) == (b.start, b.end), path
        if isinstance(a, (JsonObject, JsonArray)):
            assert a._scalar_spans == b._scalar_spans, path
        if isinstance(a, dict):
            assert list(a) == list(b), path
            assert all(type(key) is str for key in a), path
            stack.extend((a[key], b[key], f"{path}.{key}") for key in a)
        elif isinstance(a, list):
            stack.extend((x, y, f"{path}[{index}]") for index, (x, y) in enumerate(zip(a, b)))


def careful(text):
    """(value, warnings) of the Python reader, or (JsonError, None)."""
    warnings = []
    reader = JsonReader(text, lambda *warning: warnings.append(warning))
    try:
        return reader.read_carefully(), warnings
    except JsonError as error:
        return error, None


def assert_native_agrees(text):
    """The native pass gives the careful reader's value, or refuses a text
    the careful reader faults, warns about or reads with a long number.
    Returns what the native pass returned: (value,) or None."""
    found = read_native(text)
    value, warnings = careful(text)
    if found is None:
        assert isinstance(value, JsonError) or warnings or re.search(r"[0-9.eE+-]{301}", text), text[:200]
        return None
    assert warnings == [], "a key given twice must be left to the careful reader"
    assert_same(found[0], value)
    return found


def embedded_texts(value):
    """The JSON texts held in strings of a report value (PBIR-Legacy)."""
    stack = [value]
    while stack:
        item = stack.pop()
        if isinstance(item, dict):
            stack.extend(item.values())
        elif isinstance(item, list):
            stack.extend(item)
        elif isinstance(item, str) and item.lstrip()[:1] in ("{", "["):
            yield item


@needs_shared
@pytest.mark.parametrize("path", JSON_FILES, ids=lambda path: str(path.relative_to(SHARED)))
def test_the_native_pass_reads_every_shared_file_as_the_careful_reader(path):
    text = path.read_text(encoding="utf-8-sig")
    found = assert_native_agrees(text)
    assert found is not None, "plain JSON from a real file must not be refused"
    for inner in embedded_texts(found[0]):
        assert_native_agrees(inner)


def markers_inside(value):
    """Whether a string of `_MARKERS` is written anywhere in `value`."""
    stack = [value]
    while stack:
        item = stack.pop()
        if isinstance(item, dict):
            if not _json._MARKERS.isdisjoint(item):
                return True
            stack.extend(item.values())
        elif isinstance(item, list):
            stack.extend(item)
        elif isinstance(item, str) and item in _json._MARKERS:
            return True
    return False


@needs_shared
@pytest.mark.parametrize("path", [path for path in JSON_FILES if "reports" in path.parts],
                         ids=lambda path: str(path.relative_to(SHARED)))
def test_the_report_reading_places_exactly_the_containers_that_hold_a_marker(path):
    text = path.read_text(encoding="utf-8-sig")
    selective = read_native(text, _json._PLACED_STRINGS, _json._MARKERS)
    full = read_native(text)
    assert selective is not None and full is not None
    # (selective, full, depth, placed key of a placed object)
    stack = [(selective[0], full[0], 0, False)]
    while stack:
        a, b, depth, placed_key = stack.pop()
        assert a == b
        if isinstance(b, (dict, list)):
            placed = depth <= 1 or markers_inside(b)
            assert type(a) is (type(b) if placed else (dict if isinstance(b, dict) else list))
            if placed:
                assert (a.start, a.end) == (b.start, b.end) and a._scalar_spans is None
            if isinstance(b, dict):
                stack.extend((a[key], b[key], depth + 1, placed and key in _json._PLACED_STRINGS) for key in b)
            else:
                stack.extend((x, y, depth + 1, False) for x, y in zip(a, b))
        elif isinstance(b, str):
            assert type(a) is (JsonString if placed_key else str)
            if placed_key:
                assert (a.start, a.end) == (b.start, b.end)


HOSTILE = [
    # (what, text, the native pass reads it)
    ("empty", "", False),
    ("blank", " \n\t ", False),
    ("a byte-order mark", '\ufeff{"a": 1}', False),
    ("a scalar document", ' 12 ', True),
    ("nested to the limit", "[" * MAX_DEPTH + "]" * MAX_DEPTH, True),
    ("nested one past the limit", "[" * (MAX_DEPTH + 1) + "]" * (MAX_DEPTH + 1), False),
    ("a nesting bomb", "[" * 200_000, False),
    ("objects nested to the limit", '{"a":' * (MAX_DEPTH - 1) + "{}" + "}" * (MAX_DEPTH - 1), True),
    ("an unknown escape", r'["\q"]', False),
    ("a short unicode escape", r'["\u12"]', False),
    ("a unicode escape with a non-hex digit", r'["\u12G4"]', False),
    ("a backslash at the end of a string", '["\\', False),
    ("a lone high surrogate", r'{"s": "\ud800"}', True),
    ("a lone low surrogate", r'{"s": "x\udc00y"}', True),
    ("surrogates in the wrong order", r'["\udc00\ud800"]', True),
    ("a high surrogate before a plain escape", r'["\ud800\u0041\n"]', True),
    ("a surrogate pair", r'["\ud83d\ude00", "\uD83D\uDE00"]', True),
    ("every short escape", r'["\"\\\/\b\f\n\r\t"]', True),
    ("an escaped key", r'{"\u0041b": 1, "A\u0062": 2}', False),  # the same key twice
    ("keys given twice", '{"a": 1, "b": {"c": 2, "c": 3}}', False),
    ("characters beyond the BMP", '{"😀": ["𝔘", 1], "b": "😀x"}', True),
    ("a raw control character", '["a\x01b"]', False),
    ("a raw tab in a string", '["a\tb"]', False),
    ("huge exponents", "[1e999, -1e999, 1e-999, 0.0, -0, -0.0]", True),
    ("a 300-digit integer", "[" + "9" * 300 + "]", True),
    ("a 301-digit integer", "[" + "9" * 301 + "]", False),
    ("a long fraction", "[0." + "1" * 400 + "]", False),
    ("18 and 19 digits", "[999999999999999999, 9999999999999999999, -9223372036854775809]", True),
    ("leading zeros", "[01]", False),
    ("a bare minus", "[-]", False),
    ("a point without digits", "[1.]", False),
    ("an exponent without digits", "[1e+]", False),
    ("NaN and Infinity", "[NaN, Infinity, -Infinity]", False),
    ("a trailing comma", "[1, 2,]", False),
    ("a trailing comma in an object", '{"a": 1,}', False),
    ("text after the document", '{"a": 1} x', False),
    ("two documents", "{} {}", False),
    ("single quotes", "{'a': 1}", False),
    ("a literal cut short", "[tru]", False),
    ("literals", '{"t": true, "f": false, "n": null}', True),
    ("a missing colon", '{"a" 1}', False),
    ("an unclosed array", "[1, [2, 3]", False),
    ("a closer of the wrong kind", '{"a": [1}', False),
    ("white space of every kind", '\r\n\t {\r\n\t"a"\r\n\t:\r\n\t[\r\n\t1\r\n\t]\r\n\t}\r\n\t', True),
    ("a form feed as white space", "[1,\f2]", False),
]


@pytest.mark.parametrize("what, text, read", HOSTILE, ids=[row[0] for row in HOSTILE])
def test_hostile_texts_are_read_alike_or_left_to_the_careful_reader(what, text, read):
    assert (assert_native_agrees(text) is not None) == read
    # The careful reader (JsonReader.document) always answers: a value or a located fault.
    try:
        JsonReader(text).document()
    except JsonError as error:
        assert error.line >= 1 and error.column >= 1


def test_a_number_too_long_for_the_native_pass_is_read_as_a_float():
    text = "[" + "9" * 301 + "]"
    assert read_native(text) is None
    (number,) = JsonReader(text).document()
    assert isinstance(number, float) and number == float("9" * 301)


JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda children: st.lists(children, max_size=5) | st.dictionaries(st.text(max_size=8), children, max_size=5),
    max_leaves=30,
)


@settings(max_examples=300, deadline=None)
@given(JSON_VALUES, st.sampled_from([None, 0, 1, "\t"]), st.booleans(), st.sampled_from([(",", ":"), (", ", ": ")]))
def test_any_json_document_reads_as_json_loads_reads_it(value, indent, ascii_only, separators):
    text = json.dumps(value, indent=indent, ensure_ascii=ascii_only, separators=separators)
    found = assert_native_agrees(text)
    assert found is not None and found[0] == json.loads(text)


@settings(max_examples=400, deadline=None)
@given(JSON_VALUES, st.data())
def test_a_damaged_document_is_read_alike_or_refused(value, data):
    text = json.dumps(value, ensure_ascii=data.draw(st.booleans()))
    at = data.draw(st.integers(0, len(text)))
    cut = data.draw(st.integers(0, 2))
    inserted = data.draw(st.text(alphabet='{}[]",:\\u0dD8c9 \n-.eE1tfn\x00😀', max_size=3))
    assert_native_agrees(text[:at] + inserted + text[at + cut :])


# --- escape maps and line starts -----------------------------------------------------


@settings(max_examples=400, deadline=None)
@given(st.text(alphabet=st.characters(codec="utf-8") | st.sampled_from(["\ud800", "\udc00", "\udbff", "\\", '"'])),
       st.booleans(), st.text(alphabet=" \n", max_size=3))
@example("\ud800\udc00", True, "")  # two escapes, one character
@example("\ud800\udc00", False, "")  # two lone surrogates written as they are
def test_each_character_of_a_string_maps_to_the_text_that_writes_it(value, ascii_only, before):
    # A JSON text held in a JSON string of a file: every character of the
    # inner text maps back to the escape or character of the file writing it.
    # The inner text is what the file's string decodes to: a high and a low
    # surrogate written as two escapes decode to one character.
    token = json.dumps(value, ensure_ascii=ascii_only)
    decoded = json.loads(token)
    file_text = before + "[" + token + "]"
    outer = _json.JsonText("f.json", file_text)
    start = len(before) + 1
    inner = _json.JsonText("f.json", decoded, outer, (start + 1, start + len(token) - 1))
    offsets = [inner.file_offset(index) for index in range(len(decoded) + 1)]
    assert offsets[0] == start + 1 and offsets[-1] == start + len(token) - 1
    for index, character in enumerate(decoded):
        assert json.loads('"' + file_text[offsets[index] : offsets[index + 1]] + '"') == character


ESCAPE_MAPS = [
    # (the text between the quotes, decoded offsets, raw offsets, lengths)
    ("plain", [], [], []),
    (r"a\nb", [1], [1], [2]),
    (r"\\\\", [0, 1], [0, 2], [2, 2]),
    (r"\u0041\u00e9x", [0, 1], [0, 6], [6, 6]),
    (r"x\ud83d\ude00y", [1], [1], [12]),
    (r"\ud800\u0041", [0, 1], [0, 6], [6, 6]),  # a lone high surrogate: two characters
    (r"\udc00\ud800", [0, 1], [0, 6], [6, 6]),
    (r"\u12", [0], [0], [2]),  # not a unicode escape: a backslash and the character after it
    ("a\\", [], [], []),  # a backslash with nothing after it escapes nothing
    ("😀\\n😀", [1], [1], [2]),  # offsets count code points
]


@pytest.mark.parametrize("raw, decoded, offsets, lengths", ESCAPE_MAPS, ids=[row[0] for row in ESCAPE_MAPS])
def test_escape_maps(raw, decoded, offsets, lengths):
    text = '{"k": "' + raw + '"}'
    start = text.index('"', 5) + 1
    assert _syntax.escape_map(text, start, start + len(raw)) == (decoded, [start + at for at in offsets], lengths)


def test_escape_map_bounds_are_clamped_as_a_slice_is():
    assert _syntax.escape_map(r"\n\n", -5, 99) == ([0, 1], [0, 2], [2, 2])
    assert _syntax.escape_map(r"\n\n", 3, 1) == ([], [], [])
    with pytest.raises(TypeError):
        _syntax.escape_map(b"\\n", 0, 2)


@pytest.mark.parametrize("text", ["", "\n", "a\nb", "a\r\nb\r\n", "\r", "😀\n😀\n\n", "x" * 1000 + "\n"])
def test_line_starts_are_where_lines_begin(text):
    assert _syntax.line_starts(text) == [0] + [match.end() for match in re.finditer("\n", text)]


# --- a model read without its cultures ------------------------------------------------------

TMDL_MODELS = sorted({path.parent.parent if path.parent.name == "definition" else path.parent
                      for path in [*SHARED.glob("models/**/model.tmdl"), *SHARED.glob("reports/*/*/definition/model.tmdl")]})


def objects_of(model):
    return (
        {key: (table.name, sorted(table.columns), sorted(table.measures), sorted(table.calculation_items),
               sorted((name, [level.name for level in hierarchy.levels]) for name, hierarchy in table.hierarchies.items()),
               [(partition.name, partition.source) for partition in table.partitions])
         for key, table in model.tables.items()},
        [(r.name, r.from_table, r.from_column, r.to_table, r.to_column, r.active) for r in model.relationships],
        sorted(model.functions), sorted(model.roles),
        [(f.kind, f.table, f.name, f.text) for f in model.formulas],
    )


@pytest.mark.skipif(not TMDL_MODELS, reason="no TMDL model in the shared folder")
@pytest.mark.parametrize("path", TMDL_MODELS, ids=lambda path: str(path.relative_to(SHARED)))
def test_a_model_read_without_its_cultures_has_every_object(path):
    full = load_model(path, [], [])
    lean = load_model(path, [], [], cultures=False)
    assert objects_of(lean) == objects_of(full) and full.tables


def test_cultures_false_reads_no_culture_file(tmp_path):
    definition = tmp_path / "definition"
    (definition / "tables").mkdir(parents=True)
    (definition / "cultures").mkdir()
    (definition / "model.tmdl").write_text("model Model\n\tculture: en-US\n", encoding="utf-8")
    (definition / "tables" / "Sales.tmdl").write_text("table Sales\n\n\tmeasure Total = 1\n", encoding="utf-8")
    (definition / "cultures" / "en-US.tmdl").write_text("cultureInfo en-US\n\t\t\tbroken indentation\n",
                                                        encoding="utf-8")
    errors = []
    full = load_model(definition, errors, [])
    assert [pathlib.Path(error.file).parent.name for error in errors] == ["cultures"]
    errors = []
    lean = load_model(definition, errors, [], cultures=False)
    assert errors == [] and sorted(lean.tables) == sorted(full.tables) and lean.measure("Total") is not None
