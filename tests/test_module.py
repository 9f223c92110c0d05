"""The boundary of the extension module: function records, argument binding
and conversion, the mapping of failures to exceptions, and the returned text."""

import importlib
import json
import os
import subprocess
import sys
import textwrap

import pytest

import quarrow_dax
from quarrow_dax import _native

NAMES = ["parse_expression", "parse_query", "lex"]
# A valid input for each function.
VALID = {"parse_expression": "1 + 2 + 3", "parse_query": "EVALUATE {1, 2, 3}", "lex": "1 + 2 + 3"}
NOTE = "while processing 'input'"


class Outer:
    class Inner:
        pass


class TextSubclass(str):
    # The module must read the str's own characters, not whatever __str__ says.
    def __str__(self):
        return "nope"


def recompact(text):
    """The text as Python would write the same JSON compactly, non-ASCII kept."""
    return json.dumps(json.loads(text), separators=(",", ":"), ensure_ascii=False)


# --- the module and its function records ------------------------------------


def test_all_lists_the_functions_in_exec_order():
    assert _native.__all__ == NAMES


def test_module_doc_is_an_empty_str():
    assert _native.__doc__ == ""


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize(
    "attribute, expected",
    [
        ("__text_signature__", "(input)"),
        ("__doc__", None),
        ("__self__", None),
        ("__module__", "quarrow_dax._native"),
    ],
)
def test_function_attributes(name, attribute, expected):
    assert getattr(getattr(_native, name), attribute) == expected


def test_package_reexports_the_native_functions():
    assert [getattr(quarrow_dax, name) for name in NAMES] == [getattr(_native, name) for name in NAMES]


def test_reimport_runs_exec_again_with_fresh_objects():
    old = sys.modules.pop("quarrow_dax._native")
    try:
        new = importlib.import_module("quarrow_dax._native")
        assert new is not old
        assert new.__all__ == NAMES and new.__all__ is not old.__all__
        for name in NAMES:
            assert getattr(new, name) is not getattr(old, name)
        assert new.lex("1") == old.lex("1")
    finally:
        sys.modules["quarrow_dax._native"] = old
        quarrow_dax._native = old


# --- argument binding: TypeError, message "{f}" standing for the name -------

BINDING_ERRORS = [
    # more than one positional argument, reported before any keyword is read
    (("a", "b"), {}, "{f}() takes 1 positional arguments but 2 were given"),
    (("a", "b", "c"), {}, "{f}() takes 1 positional arguments but 3 were given"),
    (("a", "b"), {"text": "c"}, "{f}() takes 1 positional arguments but 2 were given"),
    (("a", "b"), {"input": "c"}, "{f}() takes 1 positional arguments but 2 were given"),
    # keywords, taken in call order
    (("a",), {"input": "b"}, "{f}() got multiple values for argument 'input'"),
    (("a",), {"input": "b", "text": "c"}, "{f}() got multiple values for argument 'input'"),
    (("a",), {"text": "c", "input": "b"}, "{f}() got an unexpected keyword argument 'text'"),
    ((), {"text": "a"}, "{f}() got an unexpected keyword argument 'text'"),
    ((), {"input": "a", "text": "b"}, "{f}() got an unexpected keyword argument 'text'"),
    ((), {"Input": "a"}, "{f}() got an unexpected keyword argument 'Input'"),
    ((), {"inpu": "a"}, "{f}() got an unexpected keyword argument 'inpu'"),
    ((), {"input\0": "a"}, "{f}() got an unexpected keyword argument 'input\0'"),
    ((), {"\ud800": "a"}, "{f}() got an unexpected keyword argument '\ud800'"),
    # nothing given
    ((), {}, "{f}() missing 1 required positional argument: 'input'"),
]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(_native, name)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message.format(f=name),)
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("name, text", VALID.items())
def test_input_by_keyword_equals_input_by_position(name, text):
    function = getattr(_native, name)
    assert function(input=text) == function(text)


# --- conversion of input: TypeError with a note -----------------------------

NOT_STR = [
    (5, "'int' object is not an instance of 'str'"),
    (None, "'None' is not an instance of 'str'"),
    (b"1", "'bytes' object is not an instance of 'str'"),
    (bytearray(b"1"), "'bytearray' object is not an instance of 'str'"),
    (["1"], "'list' object is not an instance of 'str'"),
    (Outer.Inner(), "'Outer.Inner' object is not an instance of 'str'"),
    (Outer.Inner, "'type' object is not an instance of 'str'"),
]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("by_keyword", [False, True])
@pytest.mark.parametrize("value, message", NOT_STR)
def test_non_str_input(name, by_keyword, value, message):
    function = getattr(_native, name)
    with pytest.raises(TypeError) as info:
        function(input=value) if by_keyword else function(value)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__notes__ == [NOTE]


@pytest.mark.parametrize("name", NAMES)
def test_lone_surrogate_raises_the_interpreters_error_with_note(name):
    with pytest.raises(UnicodeEncodeError) as info:
        getattr(_native, name)("EVALUATE {\ud800}")
    assert info.value.__notes__ == [NOTE]
    assert info.value.reason == "surrogates not allowed"


@pytest.mark.parametrize("name, text", VALID.items())
def test_str_subclass_is_read_as_its_text(name, text):
    function = getattr(_native, name)
    assert function(TextSubclass(text)) == function(text)


# --- library errors: exactly ValueError, display text as the one argument ---

VALUE_ERRORS = [
    # lexical errors, from every entry alike
    ("lex", "a ! b", "lex error: unexpected character: '!' at 2..3"),
    ("lex", "a\0b", "lex error: unexpected character: '\\0' at 1..2"),
    ("lex", "é!", "lex error: unexpected character: '!' at 2..3"),
    ("parse_expression", "x\0", "lex error: unexpected character: '\\0' at 1..2"),
    ("parse_query", "EVALUATE {1}\0", "lex error: unexpected character: '\\0' at 12..13"),
    # a lexical error anywhere wins over an earlier syntax error
    ("parse_expression", ') "abc', "lex error: unterminated string literal at 2..6"),
    # syntax errors
    ("parse_expression", "1 2", "parse error: expected end of input at 2..3"),
    ("parse_expression", "", "parse error: unexpected end of input at 0..0"),
    ("parse_query", "", "parse error: expected at least one EVALUATE statement at 0..0"),
    ("parse_query", "EVALUATE t ORDER a", "parse error: expected keyword by at 17..18"),
]


@pytest.mark.parametrize("name, text, message", VALUE_ERRORS)
def test_library_errors(name, text, message):
    with pytest.raises(ValueError) as info:
        getattr(_native, name)(text)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


# --- the returned text -------------------------------------------------------

RESULTS = [
    ("lex", ""),
    ("lex", "SUM('Sales'[Amount]) -- total"),
    ("lex", '"tab\there" "line\nfeed" "quote""d" "back\\slash"'),
    ("lex", '"\x0b\x1b\x7f/é\u2028"'),
    ("lex", "[Ünïcode] 'Täble'"),
    ("parse_expression", "1 + 2 * -x"),
    ("parse_expression", "CALCULATE ( SUM ( Sales[Amount] ), Sales[Status] <> \"Returned\" )"),
    ("parse_query", "DEFINE MEASURE T[m] = 1 EVALUATE {1, 2} ORDER BY [m] DESC"),
]


@pytest.mark.parametrize("name, text", RESULTS)
def test_result_is_compact_json(name, text):
    result = getattr(_native, name)(text)
    assert type(result) is str
    assert result == recompact(result)
    assert not result.endswith("\n")


def test_lex_result_exactly():
    assert _native.lex("SUM('Sales'[Amount]) -- total") == (
        '[{"kind":{"Ident":"SUM"},"span":{"start":0,"end":3}},'
        '{"kind":"LParen","span":{"start":3,"end":4}},'
        '{"kind":{"QuotedIdent":"Sales"},"span":{"start":4,"end":11}},'
        '{"kind":{"BracketIdent":"Amount"},"span":{"start":11,"end":19}},'
        '{"kind":"RParen","span":{"start":19,"end":20}},'
        '{"kind":"Eof","span":{"start":29,"end":29}}]'
    )


# --- resources ---------------------------------------------------------------

# One call per path through the frame: success, library error, binding error,
# conversion error with its note.
CALLS = [
    (name, args, kwargs)
    for name in NAMES
    for args, kwargs in [
        ((VALID[name],), {}),
        (("1 2 !",), {}),
        (("a", "b"), {}),
        ((), {"text": "a"}),
        ((Outer.Inner(),), {}),
        (("\ud800",), {}),
    ]
]


def call_ignoring_errors(function, args, kwargs):
    try:
        function(*args, **kwargs)
    except (TypeError, ValueError):
        pass


@pytest.mark.parametrize("name, args, kwargs", CALLS)
def test_calls_keep_reference_counts_of_their_arguments(name, args, kwargs):
    function = getattr(_native, name)
    watched = [*args, *kwargs, *kwargs.values(), Outer.Inner, Outer.Inner.__qualname__]
    call_ignoring_errors(function, args, kwargs)
    before = [sys.getrefcount(x) for x in watched]
    for _ in range(1000):
        call_ignoring_errors(function, args, kwargs)
    assert [sys.getrefcount(x) for x in watched] == before


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_memory_stays_flat_over_many_calls():
    # Inputs big enough that a leaked result, error or token vector per call
    # adds up to far more than the allowance.
    calls = [
        (getattr(_native, name), args, kwargs)
        for name, args, kwargs in CALLS
    ] + [
        (_native.lex, ("x + " * 200,), {}),
        (_native.parse_expression, ("x + " * 200 + "1",), {}),
        (_native.parse_query, ("EVALUATE {" + "1, " * 200 + "1} !",), {}),
    ]
    for _ in range(1000):
        for function, args, kwargs in calls:
            call_ignoring_errors(function, args, kwargs)
    before = resident_bytes()
    for _ in range(20000):
        for function, args, kwargs in calls:
            call_ignoring_errors(function, args, kwargs)
    assert resident_bytes() - before < 8 << 20


MEMORY_SCRIPT = textwrap.dedent(
    """
    import resource
    from quarrow_dax import lex

    text = "1 " * (32 << 20)  # some 32 million tokens: gigabytes as a token vector

    def address_space():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    limit = address_space() + (256 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        lex(text)
    except MemoryError:
        print("MemoryError")
    print(lex("1"))
    """
)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc")
def test_memory_exhaustion_raises_memory_error():
    run = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["MemoryError", _native.lex("1")]
