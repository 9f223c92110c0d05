"""Helpers shared by the test files: exact error checks, the token-span
invariants, and builders that keep expected trees readable.

The builders return plain Python values shaped like the parser's JSON, and
`compact` writes them the way the module does (no white space, non-ASCII kept
as UTF-8), so an expected tree compares with the returned text as a string:
key order, `null` fields and `[]` vectors all count.
"""

import json
import os
import shutil
import threading

import pytest


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def expect_error(function, text, message, start, end, kind="parse"):
    """Asserts that `function(text)` raises exactly ValueError (no subclass)
    with the display text "<kind> error: <message> at <start>..<end>"."""
    with pytest.raises(ValueError) as info:
        function(text)
    assert type(info.value) is ValueError
    assert info.value.args == (f"{kind} error: {message} at {start}..{end}",)


def writable_copy(source, target):
    """A copy of a shared folder to rewrite, as a user's working copy is:
    the shared files are read-only, and format leaves read-only files alone."""
    shutil.copytree(source, target, copy_function=shutil.copyfile)
    for folder, _, _ in os.walk(target):
        os.chmod(folder, 0o755)
    return target


def run_with_stack_size(function, size=256 * 1024):
    """Runs `function` in a thread with a `size`-byte stack and returns its
    result or re-raises its exception here; the previous default is restored."""
    outcome = {}

    def body():
        try:
            outcome["value"] = function()
        except BaseException as error:  # handed to the calling thread
            outcome["error"] = error

    previous = threading.stack_size(size)
    try:
        thread = threading.Thread(target=body)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(previous)
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


# --- token invariants ---------------------------------------------------------

PUNCTUATION = {
    "LParen": "(", "RParen": ")", "LBrace": "{", "RBrace": "}", "Comma": ",",
    "Semicolon": ";", "Dot": ".", "Colon": ":", "Arrow": "=>", "Plus": "+",
    "Minus": "-", "Star": "*", "Slash": "/", "Caret": "^", "Amp": "&", "Eq": "=",
    "EqEq": "==", "Neq": "<>", "Lt": "<", "Lte": "<=", "Gt": ">", "Gte": ">=",
    "AndAnd": "&&", "OrOr": "||",
}


def check_token_spans(text, tokens):
    """Checks the invariants every token vector must satisfy against `text`:
    one Eof, last, at n..n; other spans non-empty, in order, without overlap,
    on character boundaries; and each token's source slice spelling it."""
    data = text.encode()
    n = len(data)
    assert tokens[-1] == {"kind": "Eof", "span": {"start": n, "end": n}}
    previous_end = 0
    for token in tokens[:-1]:
        kind, span = token["kind"], token["span"]
        start, end = span["start"], span["end"]
        assert kind != "Eof"
        assert previous_end <= start < end <= n, token
        for offset in (start, end):
            assert offset == n or data[offset] & 0xC0 != 0x80, token
        source = data[start:end].decode()
        if isinstance(kind, str):
            assert source == PUNCTUATION[kind], token
            continue
        (name, payload), = kind.items()
        if name in ("Ident", "Number"):
            assert source == payload, token
        elif name == "Param":
            assert source == "@" + payload, token
        elif name == "DocComment":
            assert source.startswith("///") and payload in source, token
        else:
            opener, closer = {"String": '""', "QuotedIdent": "''", "BracketIdent": "[]"}[name]
            assert source[0] == opener and source[-1] == closer, token
            assert source[1:-1].replace(closer * 2, closer) == payload, token
        previous_end = end


# --- expression builders ------------------------------------------------------

BLANK = "Blank"


def num(text):
    return {"Number": text}


def string(text):
    return {"String": text}


def boolean(value):
    return {"Boolean": value}


def param(name):
    return {"Parameter": name}


def ident(name):
    return {"Identifier": name}


def table_name(name, quoted=False):
    return {"name": name, "quoted": quoted}


def table_ref(name):
    return {"TableRef": table_name(name, True)}


def bracket(name):
    return {"BracketRef": name}


def column(table, name, quoted=False):
    return {"TableColumnRef": {"table": table_name(table, quoted), "column": name}}


def hierarchy(table, name, levels, quoted=False):
    return {"HierarchyRef": {"table": table_name(table, quoted), "column": name, "levels": levels}}


def call(name, *args):
    return {"FunctionCall": {"name": name, "args": list(args)}}


def unary(op, operand):
    return {"Unary": {"op": op, "expr": operand}}


def binary(op, left, right):
    return {"Binary": {"op": op, "left": left, "right": right}}


def var_block(decls, body):
    """`decls` is a list of (name, expr) pairs."""
    return {"VarBlock": {"decls": [{"name": n, "expr": e} for n, e in decls], "body": body}}


def table(*rows):
    """Each row is a list of cells; a bare expression stands for a one-cell row."""
    return {"TableConstructor": [row if isinstance(row, list) else [row] for row in rows]}


def paren(inner):
    return {"Paren": inner}


def parses_to(function, text, tree):
    """Asserts that `function(text)` returns exactly the compact JSON of `tree`."""
    assert function(text) == compact(tree)


# --- query builders -----------------------------------------------------------


def query(*evaluates, define=None):
    """`define` is a list of definitions, or None for a query without DEFINE."""
    block = None if define is None else {"defs": list(define)}
    return {"define": block, "evaluates": list(evaluates)}


def evaluate(expr, order_by=(), start_at=None):
    values = None if start_at is None else list(start_at)
    return {"expr": expr, "order_by": list(order_by), "start_at": values}


def key(expr, direction="Asc"):
    return {"expr": expr, "direction": direction}


def measure(table, name, expr, doc=None):
    """`table` is a table_name(...) record or None."""
    return {"Measure": {"doc": doc, "table": table, "name": name, "expr": expr}}


def column_def(table, name, expr, doc=None):
    return {"Column": {"doc": doc, "table": table, "name": name, "expr": expr}}


def var_def(name, expr, doc=None):
    return {"Var": {"doc": doc, "name": name, "expr": expr}}


def table_def(name, expr, doc=None):
    return {"Table": {"doc": doc, "name": name, "expr": expr}}


def function_def(name, params, body, doc=None):
    """`params` is a list of (name, [type hints]) pairs."""
    records = [{"name": n, "type_hints": list(hints)} for n, hints in params]
    return {"Function": {"doc": doc, "name": name, "params": records, "body": body}}
