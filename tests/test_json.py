"""JSON as the module writes and reads it: a peer echoes `execute`'s arguments back as the reply's "return"."""

import json
import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from peers import QmpPeer, echo, qmp_error

from corvane_core._ffi import _QmpClient

NEST = "[" * 127 + "]" * 127


@pytest.fixture
def echoing():  # per test: a reply the client cannot read closes its connection
    with QmpPeer(echo) as peer:
        client = _QmpClient(peer.path)
        client.connect(5.0, 5.0)
        yield client, peer
        client.close()


PARSE_ERRORS = [  # the texts the planted faults below do not reach
    ("", "EOF while parsing a value at line 1 column 0"),
    ("[1", "EOF while parsing a list at line 1 column 2"),
    ('{"a":1', "EOF while parsing an object at line 1 column 6"),
    ('{"a":\n', "EOF while parsing a value at line 2 column 0"),
    ("\ufeff1", "expected value at line 1 column 1"),
    (NEST[:127] + "[" + NEST[127:] + "]", "recursion limit exceeded at line 1 column 128"),
    ('[{"a":' * 64, "recursion limit exceeded at line 1 column 380"),
]


@pytest.mark.leakcheck
@pytest.mark.parametrize("text, message", PARSE_ERRORS)
def test_parse_errors_send_nothing(echoing, text, message):
    client, peer = echoing
    with pytest.raises(RuntimeError) as caught:
        client.execute("echo", text)
    assert qmp_error(caught) == {"context": {"socket_path": peer.path}, "message": message}
    assert peer.commands() == []


WRITTEN = [
    ("-0", "-0.0"),
    ("12.0", "12.0"),
    ("1E15", "1000000000000000.0"),
    ("1e16", "1e+16"),
    ("0.00001", "0.00001"),
    ("0.000001", "1e-6"),
    ("1e-400", "0.0"),
    ("5e-324", "5e-324"),
    ("18446744073709551615", "18446744073709551615"),
    ("18446744073709551616", "1.8446744073709552e+19"),
    ("-9223372036854775808", "-9223372036854775808"),
    ("-9223372036854775809", "-9.223372036854776e+18"),
    ('{"b":1,"a":2,"a":3}', '{"a":3,"b":1}'),
    ('{"é":1,"z":2,"Z":3,"":4}', '{"":4,"Z":3,"z":2,"é":1}'),
    ('{"a":0,"\\\\":1,"\\n":2,"\\u0001":3}', '{"\\u0001":3,"\\n":2,"\\\\":1,"a":0}'),
    ('"\\u001f\\u0000\\b\\f\\n\\r\\t\\"\\\\"', '"\\u001f\\u0000\\b\\f\\n\\r\\t\\"\\\\"'),
    ('"\\/ \\u007f\\u00e9\\uD83D\\uDE00"', '"/ \x7fé😀"'),
    (" \t\r\n[true , false,null ] \n", "[true,false,null]"),
    (NEST[1:-1], NEST[1:-1]),
    (NEST, None),
]  # 127 levels are sent; the reply wrapping them has one too many


@pytest.mark.leakcheck
@pytest.mark.parametrize("text, written", WRITTEN)
def test_compact_writing(echoing, text, written):
    client, peer = echoing
    try:
        assert client.execute("echo", text) == written
    except RuntimeError as error:
        assert written is None and qmp_error(error)["message"] == "recursion limit exceeded at line 1 column 137"
    assert peer.commands()[-1] == b'{"arguments":' + (written or text).encode() + b',"execute":"echo"}\n'


values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**70), 2**70) | st.floats(allow_nan=False) | st.text(),
    lambda items: st.lists(items, max_size=4) | st.dictionaries(st.text(max_size=6), items, max_size=4),
    max_leaves=20,
)
texts = st.builds(json.dumps, values, indent=st.sampled_from([None, 2]), ensure_ascii=st.booleans())
spots, bits = st.integers(0, 60), st.sampled_from(list('[]{}",:0123456789.eE+-tfnul \\/x\n') + [""])
edited = st.builds(lambda t, at, cut, new: t[:at] + new + t[at + cut :], texts, spots, st.integers(0, 2), bits)


def kept(token):
    """A number as the module keeps it: a 64-bit integer (but -0) exactly, others as doubles, none beyond those."""
    if token.lstrip("-").isdigit() and token != "-0" and -(2**63) <= int(token) < 2**64:
        return int(token)
    if not math.isfinite(float(token)):
        raise ValueError(token)
    return float(token)


def canonical(value):  # tells 1, 1.0 and true apart; a lone surrogate (refused by the module) fails to encode
    return json.dumps(value, sort_keys=True, ensure_ascii=False).encode()


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=st.one_of(texts, edited))
def test_parses_what_python_parses_to_the_same_value(echoing, text):
    try:
        expected = canonical(json.loads(text, parse_int=kept, parse_float=kept, parse_constant=kept))
    except ValueError, UnicodeEncodeError:
        expected = None
    try:
        written = echoing[0].execute("echo", text)
    except RuntimeError:
        assert expected is None, text
        return
    assert canonical(json.loads(written)) == expected, text


# Error positions: a valid document of (kind, text) tokens gets one fault planted by kind; the error names it, its byte's
# line and column. Strings come with and without escapes, and as runs of escapes longer than the parser's buffer.
ws = st.text(" \t\r\n", max_size=3).map(lambda w: [("ws", w)])
escapes = st.integers(670, 690).map(lambda n: '"' + "\\u00e9" * n + '"')
text = st.builds(json.dumps, st.text(max_size=5), ensure_ascii=st.booleans()) | escapes
number, literal = st.sampled_from(["0", "7", "-3", "12.5e3", "1E-2"]), st.sampled_from(["true", "false", "null"])
scalar = st.tuples(st.just("str"), text) | st.tuples(st.just("num"), number) | st.tuples(st.just("lit"), literal)


def nest(kids):
    def container(brackets, comma, items):  # a non-empty one closes with "]x" or "}x"
        body = [tok for i, item in enumerate(items) for tok in ([(comma, ",")] if i else []) + item]
        return [(brackets[0], brackets[0])] + body + [(brackets[1] + "x" * bool(items), brackets[1])]

    item = st.tuples(ws, kids, ws).map(lambda t: t[0] + t[1] + t[2])
    member = st.tuples(ws, text, ws, ws, item).map(lambda m: m[0] + [("key", m[1])] + m[2] + [(":", ":")] + m[3] + m[4])
    array = st.lists(item, max_size=4).map(lambda xs: container("[]", "a,", xs))
    return array | st.lists(member, max_size=4).map(lambda xs: container("{}", "o,", xs))


tree = st.recursive(scalar.map(lambda t: [t]), nest, max_leaves=12)
document = st.tuples(ws, tree, ws).map(lambda t: sum(t, []) + [("end", "")])
IN_STRINGS = [  # planted after a string's opening quote or before its closing one
    *[(bad, k, "invalid escape") for bad, k in [("\\x", 1), ("\\u000}0", 5), ("\\u12G4", 4), ("\\uG234", 2)]],
    *[(bad, k, "invalid escape") for bad, k in [("\\u\n123", 2), ("\\uD83D\\uDx00", 9)]],
    *[(bad, None, "EOF while parsing a string") for bad in ["\\u12", "\\uG", "\\uD800\\"]],
    ("\\uD800\\n", 7, "unexpected end of hex escape"),
    ("\\uDC00", 5, "lone leading surrogate in hex escape"),
    ("\\uD800\\u0041", 11, "lone leading surrogate in hex escape"),
    ("\\uD800\\uDBFF", 11, "lone leading surrogate in hex escape"),
    ("\x1f", 0, "control character (\\u0000-\\u001F) found while parsing a string"),
]
# Token kinds; where (0 before the token, 1 after its opening quote, -1 before its closing one, None instead of it);
# bytes planted; the offending one's index (their length: the byte after them; None: the text ends there); description.
PLANTS = [(("str", "key"), (1, -1), *plant) for plant in IN_STRINGS] + [
    (kinds, (where,), *plant)
    for kinds, where, *plant in [
        (("str", "key"), -1, "\\uDBFF", 6, "unexpected end of hex escape"),
        (("str", "num", "lit", "[", "{"), 0, "x", 0, "expected value"),
        (("lit",), None, "nulx", 3, "expected ident"),
        (("lit",), None, "tRue", 1, "expected ident"),
        (("key",), None, "1", 0, "key must be a string"),
        (("num",), None, "01", 1, "invalid number"),
        (("num",), None, "-x", 1, "invalid number"),
        (("num",), None, "1.e5", 2, "invalid number"),
        (("num",), None, "-1.5e400", 7, "number out of range"),
        (("]x", "}x"), 0, ",", 1, "trailing comma"),
        (("end",), 0, " x", 1, "trailing characters"),
        (("a,",), None, ";", 0, "expected `,` or `]`"),
        (("o,",), None, ";", 0, "expected `,` or `}`"),
        ((":",), None, "=", 0, "expected `:`"),
    ]
]
CLIENT = _QmpClient("/nonexistent/qmp.sock")  # arguments are parsed before any connection


@settings(max_examples=200, deadline=None)
@given(tokens=document, data=st.data())
def test_a_planted_fault_is_reported_at_its_byte(tokens, data):
    kinds = {kind for kind, _ in tokens}
    fits, wheres, planted, k, description = data.draw(st.sampled_from([p for p in PLANTS if kinds & set(p[0])]))
    i = data.draw(st.sampled_from([n for n, (kind, _) in enumerate(tokens) if kind in fits]))
    where = data.draw(st.sampled_from(wheres))
    prefix, token, rest = "".join(t for _, t in tokens[:i]), tokens[i][1], "".join(t for _, t in tokens[i + 1 :])
    head, tail = (prefix, rest) if where is None else (prefix + token[:where], token[where:] + rest)
    before = (head + planted[:k]).encode()  # k None: all of the text, whose last line's length is the column
    line, column = before.count(b"\n") + 1, len(before) - before.rfind(b"\n") - (k is None)
    with pytest.raises(RuntimeError) as info:
        CLIENT.execute("x", head + planted + ("" if k is None else tail))
    assert json.loads(info.value.args[0])["message"] == f"{description} at line {line} column {column}"
