"""JSON text as the module reads and writes it. `execute` parses its arguments
before any I/O; a peer echoing the "arguments" member back as the reply's
"return" shows what the client wrote and how it reads it again."""

import json
import math
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvane_core._ffi import _QmpClient
from peers import QmpPeer, echo, qmp_error

NEST = "[" * 127 + "]" * 127

@pytest.fixture(scope="module")
def echoing():
    with QmpPeer(echo) as peer:
        client = _QmpClient(peer.path)
        client.connect(5.0, 5.0)
        yield client, peer

def parse_error(client, text):
    with pytest.raises(RuntimeError) as caught:
        client.execute("echo", text)
    error = qmp_error(caught)
    assert list(error) == ["context", "message"]
    return error["message"]

PARSE_ERRORS = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("[1", "EOF while parsing a list at line 1 column 2"),
    ('{"a":1', "EOF while parsing an object at line 1 column 6"),
    ('"\\u12', "EOF while parsing a string at line 1 column 5"),
    ("\ufeff1", "expected value at line 1 column 1"),
    ("tRue", "expected ident at line 1 column 2"),
    ("[1 2]", "expected `,` or `]` at line 1 column 4"),
    ('{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
    ('{"a" 1}', "expected `:` at line 1 column 6"),
    ('{"a":1, 2:3}', "key must be a string at line 1 column 9"),
    ("[1,]", "trailing comma at line 1 column 4"),
    ('{"a":1,}', "trailing comma at line 1 column 8"),
    ("nullx", "trailing characters at line 1 column 5"),
    ("[-01]", "invalid number at line 1 column 4"),
    ("[0, -1.5e309]", "number out of range at line 1 column 12"),
    ('"a\0"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
    ('"\\u12G4"', "invalid escape at line 1 column 6"),
    ('"\\uDC00"', "lone leading surrogate in hex escape at line 1 column 7"),
    ('"\\uD800\\n"', "unexpected end of hex escape at line 1 column 9"),
    (NEST[:127] + "[" + NEST[127:] + "]", "recursion limit exceeded at line 1 column 128"),
    ('[{"a":' * 64, "recursion limit exceeded at line 1 column 380"),
    ('[1,\n  2,\n  x]', "expected value at line 3 column 3"),
    ('{"a":\n', "EOF while parsing a value at line 2 column 0"),
    ('"é" x', "trailing characters at line 1 column 6"),  # columns count bytes
]

@pytest.mark.leakcheck
@pytest.mark.parametrize("text, message", PARSE_ERRORS)
def test_parse_errors_send_nothing(echoing, text, message):
    client, peer = echoing
    assert parse_error(client, text) == message
    assert peer.commands() == []

def test_parse_error_text_and_no_connection(tmp_dir):
    client = _QmpClient(tmp_dir + "/absent.sock")
    with pytest.raises(RuntimeError) as caught:
        client.execute("x", "x")
    assert caught.value.args == ('{"context":{"socket_path":"' + tmp_dir + '/absent.sock"},'
                                 '"message":"expected value at line 1 column 1"}',)

WRITTEN = [
    ("-0", "-0.0"), ("1e2", "100.0"), ("1E15", "1000000000000000.0"), ("1e16", "1e+16"), ("0.00001", "0.00001"),
    ("0.000001", "1e-6"), ("-12.5e1", "-125.0"), ("1e-400", "0.0"), ("5e-324", "5e-324"),
    ("18446744073709551615", "18446744073709551615"), ("18446744073709551616", "1.8446744073709552e+19"),
    ("-9223372036854775808", "-9223372036854775808"), ("-9223372036854775809", "-9.223372036854776e+18"),
    ('{"b":1,"a":2,"a":3}', '{"a":3,"b":1}'),
    ('{"é":1,"z":2,"Z":3,"":4}', '{"":4,"Z":3,"z":2,"é":1}'),
    ('"\\u001f\\u0000\\b\\f\\n\\r\\t\\"\\\\"', '"\\u001f\\u0000\\b\\f\\n\\r\\t\\"\\\\"'),
    ('"\\/ \\u007f\\u00e9\\uD83D\\uDE00"', '"/ \x7fé😀"'),
    (" \t\r\n[true , false,null ] \n", "[true,false,null]"),
    (NEST[1:-1], NEST[1:-1]),
]

@pytest.mark.leakcheck
@pytest.mark.parametrize("text, written", WRITTEN)
def test_compact_writing(echoing, text, written):
    client, peer = echoing
    assert client.execute("echo", text) == written
    assert peer.commands()[-1] == b'{"arguments":' + written.encode() + b',"execute":"echo"}\n'

def test_127_levels_are_sent_and_the_reply_wrapping_them_is_too_deep(echoing):
    client, peer = echoing
    assert parse_error(client, NEST) == "recursion limit exceeded at line 1 column 137"
    assert peer.commands()[-1] == b'{"arguments":' + NEST.encode() + b',"execute":"echo"}\n'

values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**70), 2**70) | st.floats(allow_nan=False) | st.text(),
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=6), children, max_size=4),
    max_leaves=20,
)
texts = st.builds(lambda value, indent, ascii: json.dumps(value, indent=indent, ensure_ascii=ascii),
                  values, st.sampled_from([None, 2]), st.booleans())
EDITS = list('[]{}",:0123456789.eE+-tfnul \\/x\n')
mutated = st.builds(lambda text, at, cut, new: text[:at] + new + text[at + cut :],
                    texts, st.integers(0, 60), st.integers(0, 2), st.sampled_from(EDITS + [""]))

def refuse(token):
    raise ValueError(token)

def python_reading(text):
    """Python's value for the text (integers as the module keeps them: beyond 64 bits
    and -0 as doubles), or None where the module must refuse it: not JSON, numbers
    beyond the doubles, lone surrogates."""
    def number(token):
        value = float(token)
        return refuse(token) if math.isinf(value) else value

    def integer(token):
        return int(token) if -(2**63) <= int(token) < 2**64 and token != "-0" else number(token)

    try:
        value = json.loads(text, parse_float=number, parse_int=integer, parse_constant=refuse)
        json.dumps(value, ensure_ascii=False).encode("utf-8")
    except (ValueError, UnicodeEncodeError):
        return None
    return [typed(value)]

def typed(value):
    if isinstance(value, dict):
        return {k: typed(v) for k, v in value.items()}
    if isinstance(value, list):
        return [typed(v) for v in value]
    return type(value).__name__, value

def sorted_keys(pairs):
    assert [k.encode() for k, _ in pairs] == sorted({k.encode() for k, _ in pairs})
    return dict(pairs)

@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=st.one_of(texts, mutated))
def test_parses_what_python_parses_to_the_same_value(echoing, text):
    client, _ = echoing
    expected = python_reading(text)
    try:
        written = client.execute("echo", text)
    except RuntimeError as error:
        assert expected is None, (text, error)
        assert re.fullmatch(r"[^\n]+ at line [1-9]\d* column \d+", qmp_error(error)["message"])
        return
    assert expected is not None, text
    assert typed(json.loads(written, object_pairs_hook=sorted_keys)) == expected[0]
    assert client.execute("echo", written) == written  # the written form is a fixed point
