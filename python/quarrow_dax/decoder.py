"""A JSON decoder without recursion, for syntax trees of any depth.

`json.loads` descends one level of the call stack per level of nesting, so it
raises RecursionError on a deep result: a sum of 500 terms already nests 1000
levels. `loads` reads the same text with an explicit stack instead and builds
the same objects (dicts in key order, lists, str, int, float, True, False,
None); only memory limits the depth.

The text is cut into tokens by one regular expression, one match per token,
and strings without a backslash are taken as they are; only strings with an
escape go through `json.loads`, which then sees a flat string and handles
every escape, surrogate pairs included.
"""

from __future__ import annotations

import json
import re
from typing import Any

__all__ = ["loads"]

# One alternative per token class; the last one matches any other character so
# that the matches of finditer are contiguous and garbage cannot be skipped.
# A key is read together with the "{" or "," before it and the ":" after it,
# and a run of closing brackets as one token: syntax trees are mostly objects,
# and fewer, longer tokens mean fewer turns of the Python loop.
# Raw control characters are not allowed inside strings, as in json.loads.
_STRING_RE = r'"(?:[^"\\\x00-\x1f]|\\.)*"'
_TOKEN = re.compile(
    rf"\{{[ \t\n\r]*({_STRING_RE})[ \t\n\r]*:"  # 1: "{" and the first key
    rf"|,[ \t\n\r]*({_STRING_RE})[ \t\n\r]*:"  # 2: "," and a further key
    rf"|({_STRING_RE})"  # 3: string value
    r"|([\]}]+)"  # 4: closing brackets
    r"|([{\[,:])"  # 5: other punctuation
    r"|(-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][-+]?[0-9]+)?)"  # 6: number
    r"|(true|false|null)"  # 7: literal
    r"|([ \t\n\r]+)"  # 8: white space
    r"|(.)",  # 9: anything else
    re.DOTALL,
)
_OPEN_KEY, _NEXT_KEY, _STRING, _CLOSE, _PUNCT, _NUMBER, _LITERAL, _SPACE = range(1, 9)
_LITERALS = {"true": True, "false": False, "null": None}

# What the next token may be.
_VALUE = 0  # a value: at the top, after a key or after "," in an array
_VALUE_OR_CLOSE = 1  # just after "["
_KEY_OR_CLOSE = 2  # just after "{" not followed by a key
_NEXT = 3  # after a member: "," and maybe a key, or closing brackets
_END = 4  # after the top-level value: nothing more


def _string(token: str) -> str:
    if "\\" not in token:
        return token[1:-1]
    result: str = json.loads(token)
    return result


def _error(message: str, text: str, position: int) -> json.JSONDecodeError:
    return json.JSONDecodeError(message, text, position)


def loads(text: str) -> Any:
    """Decodes one JSON document, as `json.loads(text)` does, without a
    depth limit. Raises json.JSONDecodeError (a ValueError) on invalid input."""
    stack: list[Any] = []  # the enclosing containers of `current`
    current: Any = None  # the open container, a list or a dict; None at the top
    key = ""  # the key of the member being read in an object
    state = _VALUE
    root: Any = None
    for match in _TOKEN.finditer(text):
        group = match.lastindex
        if group == _SPACE:
            continue
        token: str = match[group]  # type: ignore[index]
        if group == _CLOSE and state >= _VALUE_OR_CLOSE and state != _END:
            # Each bracket must close the container that is open; the state
            # allows no close after "{" or "[" of the other kind, because
            # `current` is then that very container.
            for bracket in token:
                if current is None:
                    raise _error("Extra data", text, match.start())
                if bracket != ("]" if type(current) is list else "}"):
                    raise _error("Expecting matching bracket", text, match.start())
                current = stack.pop()
            state = _END if current is None else _NEXT
        elif state == _NEXT:
            if group == _NEXT_KEY and type(current) is dict:
                key = _string(match[_NEXT_KEY])
                state = _VALUE
            elif token == "," and type(current) is list:
                state = _VALUE
            else:
                raise _error("Expecting ',' delimiter", text, match.start())
        elif state <= _VALUE_OR_CLOSE:
            if group == _OPEN_KEY:
                value: Any = {}
            elif group == _STRING:
                value = _string(token)
            elif group == _NUMBER:
                value = float(token) if token.strip("-0123456789") else int(token)
            elif group == _LITERAL:
                value = _LITERALS[token]
            elif token == "[" or token == "{":
                value = [] if token == "[" else {}
            else:
                raise _error("Expecting value", text, match.start())
            if current is None:
                root = value
            elif type(current) is list:
                current.append(value)
            else:
                current[key] = value
            if group == _OPEN_KEY:
                # A container is placed in its parent when it opens, and
                # filled while it is the current one.
                stack.append(current)
                current = value
                key = _string(match[_OPEN_KEY])
                state = _VALUE
            elif group == _PUNCT:
                stack.append(current)
                current = value
                state = _VALUE_OR_CLOSE if token == "[" else _KEY_OR_CLOSE
            else:
                state = _NEXT if current is not None else _END
        elif state == _KEY_OR_CLOSE:
            raise _error("Expecting property name enclosed in double quotes", text, match.start())
        else:
            raise _error("Extra data", text, match.start())
    if state != _END:
        raise _error("Expecting value", text, len(text))
    return root
