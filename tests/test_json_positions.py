"""A valid generated document with one fault planted at a known byte: the error names that fault, that byte's line and column."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane_core._ffi import _QmpClient

# A document is a list of (kind, text) tokens, so that faults can be planted by kind. Its strings come with and
# without escapes, and as runs of escapes longer than the parser's internal buffer.
ws = st.text(" \t\r\n", max_size=3).map(lambda w: [("ws", w)])
text = st.builds(json.dumps, st.text(max_size=5), ensure_ascii=st.booleans()) | st.integers(670, 690).map(lambda n: '"' + "\\u00e9" * n + '"')
scalar = st.tuples(st.just("str"), text) | st.tuples(st.just("num"), st.sampled_from(["0", "7", "-3", "12.5e3", "1E-2"]))
scalar = (scalar | st.tuples(st.just("lit"), st.sampled_from(["true", "false", "null"]))).map(lambda t: [t])


def nest(kids):
    def container(brackets, comma, items):  # a non-empty one closes with "]x" or "}x"
        body = [tok for i, item in enumerate(items) for tok in ([(comma, ",")] if i else []) + item]
        return [(brackets[0], brackets[0])] + body + [(brackets[1] + "x" * bool(items), brackets[1])]

    item = st.tuples(ws, kids, ws).map(lambda t: t[0] + t[1] + t[2])
    member = st.tuples(ws, text, ws, ws, item).map(lambda m: m[0] + [("key", m[1])] + m[2] + [(":", ":")] + m[3] + m[4])
    return st.lists(item, max_size=4).map(lambda xs: container("[]", "a,", xs)) | st.lists(member, max_size=4).map(lambda xs: container("{}", "o,", xs))


document = st.tuples(ws, st.recursive(scalar, nest, max_leaves=12), ws).map(lambda t: t[0] + t[1] + t[2] + [("end", "")])
IN_STRINGS = [  # planted after a string's opening quote or before its closing one
    *[(bad, k, "invalid escape") for bad, k in [("\\x", 1), ("\\u000}0", 5), ("\\u12G4", 4), ("\\uG234", 2), ("\\u\n123", 2), ("\\uD83D\\uDx00", 9)]],
    *[(bad, None, "EOF while parsing a string") for bad in ["\\u12", "\\uG", "\\uD800\\"]], ("\\uD800\\n", 7, "unexpected end of hex escape"),
    ("\\uDC00", 5, "lone leading surrogate in hex escape"), ("\\uD800\\u0041", 11, "lone leading surrogate in hex escape"),
    ("\x1f", 0, "control character (\\u0000-\\u001F) found while parsing a string"),
]
# Token kinds; where (0 before the token, 1 after its opening quote, -1 before its closing one, None instead of it); the bytes
# planted; the offending byte among them (their length: the byte after them; None: the text is cut after them); description.
PLANTS = [(("str", "key"), (1, -1), *plant) for plant in IN_STRINGS] + [(kinds, (where,), *plant) for kinds, where, *plant in [
    (("str", "key"), -1, "\\uDBFF", 6, "unexpected end of hex escape"), (("str", "num", "lit", "[", "{"), 0, "x", 0, "expected value"),
    (("lit",), None, "nulx", 3, "expected ident"), (("lit",), None, "tRue", 1, "expected ident"), (("key",), None, "1", 0, "key must be a string"),
    (("num",), None, "01", 1, "invalid number"), (("num",), None, "-x", 1, "invalid number"), (("num",), None, "1.e5", 2, "invalid number"),
    (("num",), None, "-1.5e400", 7, "number out of range"), (("]x", "}x"), 0, ",", 1, "trailing comma"), (("end",), 0, " x", 1, "trailing characters"),
    (("a,",), None, ";", 0, "expected `,` or `]`"), (("o,",), None, ";", 0, "expected `,` or `}`"), ((":",), None, "=", 0, "expected `:`"),
]]
CLIENT = _QmpClient("/nonexistent/qmp.sock")  # arguments are parsed before any connection


@settings(max_examples=200, deadline=None)
@given(tokens=document, data=st.data())
def test_a_planted_fault_is_reported_at_its_byte(tokens, data):
    fits, wheres, planted, k, description = data.draw(st.sampled_from([p for p in PLANTS if {t[0] for t in tokens} & set(p[0])]))
    i, where = data.draw(st.sampled_from([n for n, (kind, _) in enumerate(tokens) if kind in fits])), data.draw(st.sampled_from(wheres))
    prefix, token, rest = "".join(t for _, t in tokens[:i]), tokens[i][1], "".join(t for _, t in tokens[i + 1 :])
    head, tail = (prefix, rest) if where is None else (prefix + token[:where], token[where:] + rest)
    faulty = head + planted + ("" if k is None else tail)
    at = len(faulty.encode()) if k is None else len((head + planted[:k]).encode())
    line, column = faulty.encode()[:at].count(b"\n") + 1, at - faulty.encode()[:at].rfind(b"\n") - (k is None)  # at the end: the last line length
    with pytest.raises(RuntimeError) as info:
        CLIENT.execute("x", faulty)
    assert json.loads(info.value.args[0])["message"] == f"{description} at line {line} column {column}"
