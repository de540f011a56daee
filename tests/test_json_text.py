"""JSON text as the module reads and writes it, seen from Python.

Parsing errors come back from `execute` before anything is sent; writing is
observed through a peer that echoes the "arguments" member back as the reply's
"return" value, which the client parses and writes again."""

import json
import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvane_core._ffi import _QmpClient
from qmp_peer import QmpPeer, echo_arguments


@pytest.fixture(scope="module")
def echo():
    with QmpPeer(echo_arguments) as peer:
        client = _QmpClient(peer.path)
        client.connect(5.0, 5.0)
        yield client, peer
        client.close()


def parse_error(client, text):
    with pytest.raises(RuntimeError) as info:
        client.execute("echo", text)
    error = json.loads(info.value.args[0])
    assert list(error) == ["context", "message"]
    return error["message"]


NEST_126 = "[" * 126 + "]" * 126
NEST_127 = "[" * 127 + "]" * 127
NEST_128 = "[" * 128 + "]" * 128
MIXED_128 = '[{"a":' * 64

PARSE_ERRORS = [
    # the text ends early
    ("", "EOF while parsing a value at line 1 column 0"),
    ("   ", "EOF while parsing a value at line 1 column 3"),
    ("[", "EOF while parsing a list at line 1 column 1"),
    ("[1", "EOF while parsing a list at line 1 column 2"),
    ("[1,", "EOF while parsing a value at line 1 column 3"),
    ("{", "EOF while parsing an object at line 1 column 1"),
    ('{"a"', "EOF while parsing an object at line 1 column 4"),
    ('{"a":', "EOF while parsing a value at line 1 column 5"),
    ('{"a":1', "EOF while parsing an object at line 1 column 6"),
    ('{"a":1,', "EOF while parsing a value at line 1 column 7"),
    ('"abc', "EOF while parsing a string at line 1 column 4"),
    ('"\\u12', "EOF while parsing a string at line 1 column 5"),
    ('"\\uD800\\', "EOF while parsing a string at line 1 column 8"),
    ("nul", "EOF while parsing a value at line 1 column 3"),
    ("-", "EOF while parsing a value at line 1 column 1"),
    ("1.", "EOF while parsing a value at line 1 column 2"),
    ("1e+", "EOF while parsing a value at line 1 column 3"),
    # a byte that does not fit
    ("x", "expected value at line 1 column 1"),
    ("\ufeff1", "expected value at line 1 column 1"),
    (".5", "expected value at line 1 column 1"),
    ("+1", "expected value at line 1 column 1"),
    ("NaN", "expected value at line 1 column 1"),
    ("[,1]", "expected value at line 1 column 2"),
    ("[1,,]", "expected value at line 1 column 4"),
    ('{"a":}', "expected value at line 1 column 6"),
    ("nulx", "expected ident at line 1 column 4"),
    ("tRue", "expected ident at line 1 column 2"),
    ("[1 2]", "expected `,` or `]` at line 1 column 4"),
    ('{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
    ('{"a" 1}', "expected `:` at line 1 column 6"),
    ("{1:2}", "key must be a string at line 1 column 2"),
    ('{"a":1, 2:3}', "key must be a string at line 1 column 9"),
    ("[1,]", "trailing comma at line 1 column 4"),
    ('{"a":1,}', "trailing comma at line 1 column 8"),
    ("1 2", "trailing characters at line 1 column 3"),
    ("{}x", "trailing characters at line 1 column 3"),
    ("nullx", "trailing characters at line 1 column 5"),
    ("1\0", "trailing characters at line 1 column 2"),
    # numbers
    ("01", "invalid number at line 1 column 2"),
    ("[-01]", "invalid number at line 1 column 4"),
    ("-x", "invalid number at line 1 column 2"),
    ("1.x", "invalid number at line 1 column 3"),
    ("[1e]", "invalid number at line 1 column 4"),
    ("1e400", "number out of range at line 1 column 5"),
    ("[0, -1.5e309]", "number out of range at line 1 column 12"),
    # strings
    ('"a\nb"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
    ('"a\0"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
    ('"\\x"', "invalid escape at line 1 column 3"),
    ('"\\u12G4"', "invalid escape at line 1 column 6"),
    ('"\\uDC00"', "lone leading surrogate in hex escape at line 1 column 7"),
    ('"\\uD800\\u0041"', "lone leading surrogate in hex escape at line 1 column 13"),
    ('"\\uD800"', "unexpected end of hex escape at line 1 column 8"),
    ('"\\uD800\\n"', "unexpected end of hex escape at line 1 column 9"),
    # nesting: 127 levels parse, the 128th fails at its own bracket
    (NEST_128, "recursion limit exceeded at line 1 column 128"),
    (MIXED_128, "recursion limit exceeded at line 1 column 380"),
    # positions across lines: the line's 1-based byte column, or the last line's length at the end
    ('[1,\n  2,\n  x]', "expected value at line 3 column 3"),
    ('{"a":\n', "EOF while parsing a value at line 2 column 0"),
    ('\n\n  {"é": tru', "EOF while parsing a value at line 3 column 12"),
    ('"é" x', "trailing characters at line 1 column 6"),
]


@pytest.mark.parametrize("text, message", PARSE_ERRORS, ids=[repr(t)[:40] for t, _ in PARSE_ERRORS])
def test_parse_errors(echo, text, message):
    client, peer = echo
    sent = len(peer.commands())
    assert parse_error(client, text) == message
    assert len(peer.commands()) == sent  # nothing went out


def test_parse_error_exception_text(echo):
    client, peer = echo
    with pytest.raises(RuntimeError) as info:
        client.execute("echo", "x")
    assert info.value.args == (
        '{"context":{"socket_path":' + json.dumps(peer.path) + '},"message":"expected value at line 1 column 1"}',
    )


ROUND_TRIPS = [
    # numbers: classification and the double layout
    ("0", "0"), ("-0", "-0.0"), ("-0.0", "-0.0"), ("1.0", "1.0"), ("1e2", "100.0"), ("100", "100"),
    ("1E15", "1000000000000000.0"), ("1e16", "1e+16"), ("0.00001", "0.00001"), ("0.000001", "1e-6"),
    ("1.5e-7", "1.5e-7"), ("12.34", "12.34"), ("-12.5e1", "-125.0"), ("123456.789e3", "123456789.0"),
    ("18446744073709551615", "18446744073709551615"), ("18446744073709551616", "1.8446744073709552e+19"),
    ("-9223372036854775808", "-9223372036854775808"), ("-9223372036854775809", "-9.223372036854776e+18"),
    ("1e-400", "0.0"), ("-1e-400", "-0.0"), ("5e-324", "5e-324"), ("1.7976931348623157e308", "1.7976931348623157e+308"),
    ("0.1", "0.1"), ("2.5e15", "2500000000000000.0"), ("123456789012345678901", "1.2345678901234568e+20"),
    # objects: sorted by bytes, later duplicates win, whitespace dropped
    ('{"b":1,"a":2,"a":3}', '{"a":3,"b":1}'),
    ('{"b": 1, "a": {"d": [], "c": {}}}', '{"a":{"c":{},"d":[]},"b":1}'),
    ('{"é":1,"z":2,"Z":3,"":4}', '{"":4,"Z":3,"z":2,"é":1}'),
    ('{"\\u00e9":1}', '{"é":1}'),
    # strings: escapes normalised
    ('"\\u001f\\u0000\\b\\f\\n\\r\\t"', '"\\u001f\\u0000\\b\\f\\n\\r\\t"'),
    ('"\\/ / \\u007f"', '"/ / \x7f"'),
    ('"\\"\\\\"', '"\\"\\\\"'),
    ('"\\uD83D\\uDE00 é"', '"😀 é"'),
    ('"\\u0041\\u00DF"', '"Aß"'),
    # literals and whitespace around the value
    (" \t\r\n[true , false,null ] \n", "[true,false,null]"),
    ("{}", "{}"), ("[]", "[]"), ("null", "null"),
    (NEST_126, NEST_126),
]


@pytest.mark.parametrize("text, written", ROUND_TRIPS, ids=[repr(t)[:40] for t, _ in ROUND_TRIPS])
def test_round_trip_through_the_peer(echo, text, written):
    client, peer = echo
    assert client.execute("echo", text) == written
    # the command line carried the same compact text
    assert peer.commands()[-1] == b'{"arguments":' + written.encode() + b',"execute":"echo"}\n'


def test_127_levels_parse_and_the_reply_that_wraps_them_is_too_deep(echo):
    client, peer = echo
    with pytest.raises(RuntimeError) as info:
        client.execute("echo", NEST_127)
    # the arguments went out; the reply {"return":[[...]]} has 128 levels
    assert peer.commands()[-1] == b'{"arguments":' + NEST_127.encode() + b',"execute":"echo"}\n'
    assert json.loads(info.value.args[0])["message"] == "recursion limit exceeded at line 1 column 137"


def test_embedded_nul_travels_escaped(echo):
    client, _ = echo
    assert client.execute("echo", '"a\\u0000b"') == '"a\\u0000b"'


json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(),
    lambda children: st.lists(children, max_size=5) | st.dictionaries(st.text(max_size=8), children, max_size=5),
    max_leaves=25,
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(value=json_values, indent=st.sampled_from([None, 2]), ensure_ascii=st.booleans())
def test_random_documents_survive_the_echo(echo, value, indent, ensure_ascii):
    client, _ = echo
    text = json.dumps(value, indent=indent, ensure_ascii=ensure_ascii)
    written = client.execute("echo", text)
    assert json.loads(written) == value
    # compact, keys in byte order, floats in the module's layout
    assert written == canonical(json.loads(text))


def canonical(value):
    """The module's compact text for a value parsed by Python."""
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return python_float_layout(value)
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, list):
        return "[" + ",".join(canonical(v) for v in value) + "]"
    items = sorted(value.items(), key=lambda item: item[0].encode())
    return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + canonical(v) for k, v in items) + "}"


def python_float_layout(number):
    """Shortest digits (repr), plain for exponents -5..15, exponent form otherwise."""
    if number == 0:
        return "-0.0" if math.copysign(1, number) < 0 else "0.0"
    sign = "-" if number < 0 else ""
    digits, exponent = shortest_digits(abs(number))
    n = len(digits)
    if -5 <= exponent <= 15 and n - 1 <= exponent:
        body = digits + "0" * (exponent + 1 - n) + ".0"
    elif -5 <= exponent < 0:
        body = "0." + "0" * (-exponent - 1) + digits
    elif 0 <= exponent < n - 1:
        body = digits[: exponent + 1] + "." + digits[exponent + 1 :]
    else:
        body = digits[0] + ("." + digits[1:] if n > 1 else "") + "e" + ("+" if exponent >= 0 else "-") + str(abs(exponent))
    return sign + body


def shortest_digits(number):
    text = repr(number)
    mantissa, _, exp = text.partition("e")
    exponent = int(exp) if exp else 0
    int_part, _, frac_part = mantissa.partition(".")
    digits = (int_part + frac_part).lstrip("0")
    leading_zeros = len(int_part + frac_part) - len((int_part + frac_part).lstrip("0"))
    exponent += len(int_part) - 1 - leading_zeros
    return digits.rstrip("0") or "0", exponent
