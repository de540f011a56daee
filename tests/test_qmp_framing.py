"""QMP framing and command execution against a scripted peer that records every byte."""

import json
import math
import os
import subprocess
import sys
import time

import pytest

from corvane_core._ffi import _QmpClient
from qmp_peer import (
    CLOSE,
    EMPTY_RETURN,
    Delay,
    QmpPeer,
    echo_arguments,
    error_reply,
    reply,
)

CAPABILITIES = b'{"execute":"qmp_capabilities"}\n'
WOULD_BLOCK = f"{os.strerror(11)} (os error 11)"


def qmp_error(excinfo):
    """The JSON object carried by a QMP RuntimeError."""
    assert type(excinfo.value) is RuntimeError
    assert len(excinfo.value.args) == 1
    return json.loads(excinfo.value.args[0])


def answer_by_command(replies):
    """A handler answering by command name; unknown commands get {"return":{}}."""

    def handler(command, raw):
        name = command.get("execute") if isinstance(command, dict) else None
        actions = replies.get(name, [EMPTY_RETURN])
        return actions(command, raw) if callable(actions) else actions

    return handler


def connected_client(peer, read_timeout=5.0):
    client = _QmpClient(peer.path)
    client.connect(5.0, read_timeout)
    return client


# -- the bytes of every command line -------------------------------------------

COMMAND_LINES = [
    ("execute without arguments", lambda c: c.execute("cont", None), b'{"execute":"cont"}\n'),
    ("arguments sorted", lambda c: c.execute("cont", '{"b":1,"a":2}'), b'{"arguments":{"a":2,"b":1},"execute":"cont"}\n'),
    ("nested objects sorted", lambda c: c.execute("x", '{"z":{"y":1,"b":[{"d":1,"c":2}]}}'),
     b'{"arguments":{"z":{"b":[{"c":2,"d":1}],"y":1}},"execute":"x"}\n'),
    ("empty object", lambda c: c.execute("x", "{}"), b'{"arguments":{},"execute":"x"}\n'),
    ("null arguments", lambda c: c.execute("x", "null"), b'{"arguments":null,"execute":"x"}\n'),
    ("array with spaces", lambda c: c.execute("x", " [1, 2 ,\t3]\n"), b'{"arguments":[1,2,3],"execute":"x"}\n'),
    ("numbers normalised", lambda c: c.execute("x", "[1e2,-0,1.50,18446744073709551616]"),
     b'{"arguments":[100.0,-0.0,1.5,1.8446744073709552e+19],"execute":"x"}\n'),
    ("duplicate keys", lambda c: c.execute("x", '{"b":1,"a":2,"a":3}'), b'{"arguments":{"a":3,"b":1},"execute":"x"}\n'),
    ("escapes in the name", lambda c: c.execute('a"b\\c\n', None), b'{"execute":"a\\"b\\\\c\\n"}\n'),
    ("non-ASCII kept", lambda c: c.execute("x", '"\\u00e9/\\u001f"'), '{"arguments":"é/\\u001f","execute":"x"}\n'.encode()),
    ("stop_vm", lambda c: c.stop_vm(), b'{"execute":"stop"}\n'),
    ("cont", lambda c: c.cont(), b'{"execute":"cont"}\n'),
    ("snapshot_save", lambda c: c.snapshot_save("j1", "t1", "vda", ["vda", "vdb"]),
     b'{"arguments":{"devices":["vda","vdb"],"job-id":"j1","tag":"t1","vmstate":"vda"},"execute":"snapshot-save"}\n'),
    ("snapshot_load with a tuple", lambda c: c.snapshot_load("j2", "t1", "vda", ("vda",)),
     b'{"arguments":{"devices":["vda"],"job-id":"j2","tag":"t1","vmstate":"vda"},"execute":"snapshot-load"}\n'),
    ("snapshot_delete without devices", lambda c: c.snapshot_delete("j3", "t1", []),
     b'{"arguments":{"devices":[],"job-id":"j3","tag":"t1"},"execute":"snapshot-delete"}\n'),
    ("snapshot texts escaped", lambda c: c.snapshot_save('j"', "t\\", "v\x01", ["d\u00e9"]),
     '{"arguments":{"devices":["dé"],"job-id":"j\\"","tag":"t\\\\","vmstate":"v\\u0001"},"execute":"snapshot-save"}\n'.encode()),
    ("internal block snapshot", lambda c: c.blockdev_snapshot_internal_sync("drive0", "s1"),
     b'{"arguments":{"device":"drive0","name":"s1"},"execute":"blockdev-snapshot-internal-sync"}\n'),
    ("internal block snapshot deletion", lambda c: c.blockdev_snapshot_delete_internal_sync("drive0", "s1"),
     b'{"arguments":{"device":"drive0","name":"s1"},"execute":"blockdev-snapshot-delete-internal-sync"}\n'),
    ("dismiss_job", lambda c: c.dismiss_job("snap-job"), b'{"arguments":{"id":"snap-job"},"execute":"job-dismiss"}\n'),
    ("query_jobs", lambda c: c.query_jobs(), b'{"execute":"query-jobs"}\n'),
]


@pytest.mark.parametrize("call, expected", [c[1:] for c in COMMAND_LINES], ids=[c[0] for c in COMMAND_LINES])
def test_command_line_bytes(call, expected):
    handler = answer_by_command({"query-jobs": [reply([])]})
    with QmpPeer(handler) as peer:
        call(_QmpClient(peer.path))
        assert peer.lines == [CAPABILITIES, expected]


# -- replies ----------------------------------------------------------------------

EVENT = b'{"event":"STOP","data":{},"timestamp":{"seconds":1,"microseconds":2}}\n'

REPLIES = [
    ("plain return", [b'{"return":{}}\n'], "{}"),
    ("events skipped", [EVENT, EVENT, b'{"return":{}}\n'], "{}"),
    ("members sorted", [b'{"return":{"status":"running","running":true}}\n'], '{"running":true,"status":"running"}'),
    ("null", [b'{"return":null}\n'], "null"),
    ("empty array", [b'{"return":[]}\n'], "[]"),
    ("number", [b'{"return":3}\n'], "3"),
    ("error that is not an object", [b'{"error":"x"}\n', b'{"return":1}\n'], "1"),
    ("empty object and array skipped", [b"{}\n", b"[1,2]\n", b'"text"\n', b'{"return":2}\n'], "2"),
    ("other objects skipped", [b'{"greeting":1}\n', b'{"return":4}\n'], "4"),
    ("event with a return is an event", [b'{"event":"X","return":1}\n', b'{"return":5}\n'], "5"),
    ("split across reads", [b'{"ret', Delay(0.05), b'urn":{"a"', Delay(0.05), b":[1,2]}}\n"], '{"a":[1,2]}'),
    ("two messages in one read", [EVENT + b'{"return":6}\n'], "6"),
    ("CRLF", [b'{"return":{"b":1,"a":0}}\r\n'], '{"a":0,"b":1}'),
    ("white space around the value", [b' \t{"return":7} \r\n'], "7"),
    ("longer than the buffer", [b'{"return":"' + b"x" * 20000 + b'"}\n'], '"' + "x" * 20000 + '"'),
    ("long line in pieces", [b'{"return":[' + b"1," * 5000, Delay(0.05), b"1]}\n"], "[" + "1," * 5000 + "1]"),
    ("last line without a line feed", [b'{"return":8}', CLOSE], "8"),
]


@pytest.mark.parametrize("actions, expected", [r[1:] for r in REPLIES], ids=[r[0] for r in REPLIES])
def test_reply_handling(actions, expected):
    with QmpPeer(answer_by_command({"x": actions})) as peer:
        assert connected_client(peer).execute("x", None) == expected


ERROR_REPLIES = [
    ("class and desc", b'{"error":{"class":"GenericError","desc":"No such job"}}\n', "GenericError", "No such job"),
    ("empty error object", b'{"error":{}}\n', None, None),
    ("members of other types", b'{"error":{"class":5,"desc":null,"x":1}}\n', None, None),
    ("error object wins over return", b'{"error":{"class":"A"},"return":1}\n', "A", None),
]


@pytest.mark.parametrize("line, error_class, desc", [e[1:] for e in ERROR_REPLIES], ids=[e[0] for e in ERROR_REPLIES])
def test_error_reply_is_command_failed(line, error_class, desc):
    with QmpPeer(answer_by_command({"snapshot-save": [EVENT, line]})) as peer:
        client = connected_client(peer)
        with pytest.raises(RuntimeError) as excinfo:
            client.snapshot_save("j", "t", "v", [])
        assert qmp_error(excinfo) == {
            "context": {"class": error_class, "command": "snapshot-save", "desc": desc, "socket_path": peer.path},
            "message": "QMP command 'snapshot-save' failed",
        }
        # The text itself: members sorted, compact.
        assert str(excinfo.value).startswith('{"context":{"class":')
        # The connection stays usable.
        assert client.execute("y", None) == "{}"
        assert peer.connections == 1


def test_error_text_is_exact():
    with QmpPeer(answer_by_command({"x": [b'{"error":{"class":"DeviceNotFound","desc":"Device \'x\' not found"}}\n']})) as peer:
        with pytest.raises(RuntimeError) as excinfo:
            _QmpClient(peer.path).execute("x", None)
        assert str(excinfo.value) == (
            '{"context":{"class":"DeviceNotFound","command":"x","desc":"Device \'x\' not found","socket_path":"'
            + peer.path
            + '"},"message":"QMP command \'x\' failed"}'
        )


def test_two_replies_in_one_read_serve_two_commands():
    handler = answer_by_command({"first": [b'{"return":1}\n{"return":2}\n'], "second": []})
    with QmpPeer(handler) as peer:
        client = connected_client(peer)
        assert client.execute("first", None) == "1"
        assert client.execute("second", None) == "2"


# -- failures while reading -----------------------------------------------------------

READ_FAILURES = [
    ("blank line", [b"\n"], "Json", "EOF while parsing a value at line 2 column 0"),
    ("not JSON", [b"x\n"], "Json", "expected value at line 1 column 1"),
    ("trailing characters", [b'{"return":1} 2\n'], "Json", "trailing characters at line 1 column 14"),
    ("invalid UTF-8", [b'{"return":"\xff"}\n'], "Io", "stream did not contain valid UTF-8"),
    ("encoded surrogate", [b'{"return":"\xed\xa0\x80"}\n'], "Io", "stream did not contain valid UTF-8"),
    ("peer closes", [CLOSE], "SocketClosed", "QMP socket closed unexpectedly"),
    ("peer closes after an event", [EVENT, CLOSE], "SocketClosed", "QMP socket closed unexpectedly"),
]


@pytest.mark.parametrize("actions, kind, message", [r[1:] for r in READ_FAILURES], ids=[r[0] for r in READ_FAILURES])
def test_read_failures(actions, kind, message):
    with QmpPeer(answer_by_command({"x": actions})) as peer:
        client = connected_client(peer)
        with pytest.raises(RuntimeError) as excinfo:
            client.execute("x", None)
        assert qmp_error(excinfo) == {"context": {"socket_path": peer.path}, "message": message}
        # The stream is out of step: the connection was closed, and the next
        # command connects afresh.
        assert client.execute("y", None) == "{}"
        assert peer.connections == 2


def test_send_to_a_closed_peer_fails_without_a_signal():
    with QmpPeer(answer_by_command({"x": [EMPTY_RETURN, CLOSE]})) as peer:
        client = connected_client(peer)
        assert client.execute("x", None) == "{}"
        time.sleep(0.3)  # the peer has closed
        # Writing to the closed peer must fail as an error value, not kill the
        # process with SIGPIPE.
        with pytest.raises(RuntimeError) as excinfo:
            client.execute("y", None)
        error = qmp_error(excinfo)
        assert error["message"] in (f"{os.strerror(32)} (os error 32)", f"{os.strerror(104)} (os error 104)")
        assert client.execute("z", None) == "{}"  # the failed send closed the connection: reconnects


SIGPIPE_SCRIPT = """
import signal, sys
sys.path.insert(0, sys.argv[1])
signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # Python ignores it by default; a real fault would kill us
from corvane_core._ffi import _QmpClient
import time
from qmp_peer import CLOSE, EMPTY_RETURN, QmpPeer
with QmpPeer(lambda command, raw: [EMPTY_RETURN, CLOSE]) as peer:
    client = _QmpClient(peer.path)
    for _ in range(3):
        try:
            print(client.execute("x", None))
            time.sleep(0.3)  # the peer closes
        except RuntimeError as error:
            print(error)
print("alive")
"""


def test_no_sigpipe_even_with_the_default_signal_action():
    result = subprocess.run([sys.executable, "-c", SIGPIPE_SCRIPT, os.path.dirname(__file__)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[-1] == "alive"
    assert lines[0] == lines[2] == "{}"
    assert json.loads(lines[1])["message"] == f"{os.strerror(32)} (os error 32)"


def test_receive_timeout_closes_so_the_late_reply_answers_no_command():
    handler = answer_by_command({"slow": [Delay(0.6), reply("late")], "next": [reply("own")]})
    with QmpPeer(handler) as peer:
        client = connected_client(peer, read_timeout=0.2)
        started = time.monotonic()
        with pytest.raises(RuntimeError) as excinfo:
            client.execute("slow", None)
        assert 0.1 < time.monotonic() - started < 3.0
        assert qmp_error(excinfo) == {"context": {"socket_path": peer.path}, "message": WOULD_BLOCK}
        time.sleep(0.6)
        # Replies carry no id: the timeout closed the connection, so the late
        # reply is never taken as the next command's.
        assert client.execute("next", None) == '"own"'
        assert peer.connections == 2


def test_parse_failure_of_arguments_sends_nothing():
    with QmpPeer() as peer:
        client = _QmpClient(peer.path)
        with pytest.raises(RuntimeError) as excinfo:
            client.execute("x", "[1")
        assert str(excinfo.value) == (
            '{"context":{"socket_path":"' + peer.path + '"},"message":"EOF while parsing a list at line 1 column 2"}'
        )
        with pytest.raises(RuntimeError) as excinfo:
            client.execute("x", "x")
        assert qmp_error(excinfo)["message"] == "expected value at line 1 column 1"
        time.sleep(0.1)
        assert peer.connections == 0 and peer.lines == []


def test_echo_returns_arguments_unchanged():
    with QmpPeer(echo_arguments) as peer:
        client = _QmpClient(peer.path)
        text = '{"a":[true,false,null,-1,0,1.5,"s"],"b":{}}'
        assert client.execute("echo", text) == text
        assert peer.lines[-1] == b'{"arguments":' + text.encode() + b',"execute":"echo"}\n'


# -- greeting and negotiation -----------------------------------------------------------

def test_greeting_with_null_value_is_accepted():
    with QmpPeer(greeting=b'{"QMP":null}\n') as peer:
        assert _QmpClient(peer.path).execute("x", None) == "{}"


@pytest.mark.parametrize(
    "greeting, value",
    [
        (b'{"qmp":{}}\n', {"qmp": {}}),
        (b"[1]\n", [1]),
        (b"{}\n", {}),
        (b'"QMP"\n', "QMP"),
        (EVENT, json.loads(EVENT)),
    ],
    ids=["lower-case member", "array", "empty object", "string", "event first"],
)
def test_invalid_greeting(greeting, value):
    with QmpPeer(greeting=greeting) as peer:
        client = _QmpClient(peer.path)
        with pytest.raises(RuntimeError) as excinfo:
            client.connect(2.0, 2.0)
        assert qmp_error(excinfo) == {
            "context": {"greeting": value, "socket_path": peer.path},
            "message": "Invalid QMP greeting",
        }
        assert peer.lines == []  # no negotiation
        with pytest.raises(RuntimeError):
            client.connect(2.0, 2.0)
        assert peer.connections == 2  # the failed connect left it disconnected


def test_greeting_that_is_not_json():
    with QmpPeer(greeting=b"hello\n") as peer:
        with pytest.raises(RuntimeError) as excinfo:
            _QmpClient(peer.path).connect(2.0, 2.0)
        assert qmp_error(excinfo) == {"context": {"socket_path": peer.path}, "message": "expected value at line 1 column 1"}


def test_peer_closing_right_after_accept_is_socket_closed_and_disconnects():
    with QmpPeer(on_accept=[CLOSE]) as peer:
        client = _QmpClient(peer.path)
        with pytest.raises(RuntimeError) as excinfo:
            client.connect(2.0, 2.0)
        assert qmp_error(excinfo)["message"] == "QMP socket closed unexpectedly"
        peer.on_accept = None
        assert client.execute("x", None) == "{}"
        assert peer.connections == 2


def test_negotiation_skips_events_and_fails_on_an_error_reply():
    def refuse(command, raw):
        return [EVENT, error_reply("CommandNotFound", "no")]

    with QmpPeer(refuse, negotiate=False) as peer:
        client = _QmpClient(peer.path)
        with pytest.raises(RuntimeError) as excinfo:
            client.connect(2.0, 2.0)
        assert qmp_error(excinfo) == {
            "context": {"class": "CommandNotFound", "command": "qmp_capabilities", "desc": "no", "socket_path": peer.path},
            "message": "QMP command 'qmp_capabilities' failed",
        }
        assert peer.lines == [CAPABILITIES]


def test_first_command_connects_and_negotiates():
    with QmpPeer(answer_by_command({"stop": [EVENT, EMPTY_RETURN]})) as peer:
        client = _QmpClient(peer.path)
        assert client.stop_vm() is None
        assert peer.lines == [CAPABILITIES, b'{"execute":"stop"}\n']


# -- connect, timeouts, close ----------------------------------------------------------------

def test_connect_retries_until_the_socket_appears():
    peer = QmpPeer(listen_after=0.4)
    with peer:
        client = _QmpClient(peer.path)
        started = time.monotonic()
        client.connect(5.0, 5.0)
        assert 0.3 < time.monotonic() - started < 4.5
        assert peer.lines == [CAPABILITIES]


@pytest.mark.parametrize("timeout", [0.3, 0.6])
def test_connect_times_out_when_nothing_listens(tmp_path, timeout):
    path = str(tmp_path / "absent.sock")
    client = _QmpClient(path)
    started = time.monotonic()
    with pytest.raises(RuntimeError) as excinfo:
        client.connect(timeout, 5.0)
    elapsed = time.monotonic() - started
    assert timeout - 0.05 < elapsed < timeout + 2.0
    assert str(excinfo.value) == '{"context":{"socket_path":"' + path + '"},"message":"Timed out waiting for QMP socket"}'


@pytest.mark.parametrize(
    "path",
    ["/tmp/" + "x" * 200 + ".sock", "/tmp/with\0nul.sock", ""],
    ids=["too long", "NUL byte", "empty"],
)
def test_bad_addresses_are_failed_attempts(path):
    with pytest.raises(RuntimeError) as excinfo:
        _QmpClient(path).connect(0.2, 1.0)
    assert qmp_error(excinfo) == {"context": {"socket_path": path}, "message": "Timed out waiting for QMP socket"}


@pytest.mark.parametrize("timeout", [0.0, -1.0, math.nan, math.inf, -math.inf, 1e-10],
                         ids=["zero", "negative", "nan", "inf", "-inf", "below a nanosecond"])
def test_zero_connect_timeout_makes_one_attempt(tmp_path, timeout):
    client = _QmpClient(str(tmp_path / "absent.sock"))
    started = time.monotonic()
    with pytest.raises(RuntimeError) as excinfo:
        client.connect(timeout, 5.0)
    assert time.monotonic() - started < 1.0
    assert qmp_error(excinfo)["message"] == "Timed out waiting for QMP socket"


def test_zero_connect_timeout_with_a_listener_refuses_the_socket_timeout():
    with QmpPeer() as peer:
        client = _QmpClient(peer.path)
        with pytest.raises(RuntimeError) as excinfo:
            client.connect(0.0, 5.0)
        assert qmp_error(excinfo) == {"context": {"socket_path": peer.path}, "message": WOULD_BLOCK}
        assert peer.wait_for_lines(0) and peer.lines == []
        # Still disconnected: the next command connects anew.
        assert client.execute("x", None) == "{}"
        assert peer.connections == 2


@pytest.mark.parametrize("read_timeout", [0.0, -2.0, math.nan, math.inf])
def test_zero_read_timeout_negotiates_then_fails(read_timeout):
    with QmpPeer() as peer:
        client = _QmpClient(peer.path)
        with pytest.raises(RuntimeError) as excinfo:
            client.connect(2.0, read_timeout)
        assert qmp_error(excinfo) == {"context": {"socket_path": peer.path}, "message": "cannot set a 0 duration timeout"}
        assert peer.lines == [CAPABILITIES]
        assert client.execute("x", None) == "{}"
        assert peer.connections == 2


def test_connect_on_a_connected_client_does_nothing():
    with QmpPeer() as peer:
        client = _QmpClient(peer.path)
        client.connect(2.0, 2.0)
        assert client.connect(0.0, 0.0) is None
        assert client.connect(-1.0, math.nan) is None
        assert peer.lines == [CAPABILITIES] and peer.connections == 1


def test_close_twice_and_reconnect():
    with QmpPeer() as peer:
        client = _QmpClient(peer.path)
        assert client.close() is None  # never connected
        client.connect(2.0, 2.0)
        assert client.close() is None
        assert client.close() is None
        assert client.execute("x", None) == "{}"
        assert peer.connections == 2
        assert peer.lines == [CAPABILITIES, CAPABILITIES, b'{"execute":"x"}\n']


def test_dropping_the_client_closes_the_socket_without_sending():
    with QmpPeer() as peer:
        client = _QmpClient(peer.path)
        client.connect(2.0, 2.0)
        del client
        time.sleep(0.2)
        # The peer saw the end of the stream and went back to accepting.
        assert _QmpClient(peer.path).execute("x", None) == "{}"
        assert peer.lines == [CAPABILITIES, CAPABILITIES, b'{"execute":"x"}\n']


# -- time values that cannot be represented ------------------------------------------------

OUT_OF_RANGE = [
    ("connect timeout 2^64", lambda c: c.connect(2.0**64, 1.0)),
    ("connect timeout 1e300", lambda c: c.connect(1e300, 1.0)),
    ("connect read timeout 2^64", lambda c: c.connect(1.0, 2.0**64)),
    ("connect deadline past the clock", lambda c: c.connect(1.8e19, 1.0)),
    ("wait timeout 2^64", lambda c: c.wait_for_job("j", 2.0**64, 0.0)),
    ("wait deadline past the clock", lambda c: c.wait_for_job("j", 1.8e19, 0.0)),
    ("wait poll interval 2^64", lambda c: c.wait_for_job("j", 1.0, 2.0**64)),
]


@pytest.mark.parametrize("call", [o[1] for o in OUT_OF_RANGE], ids=[o[0] for o in OUT_OF_RANGE])
def test_unrepresentable_time_values_fail_and_leave_the_client_usable(call):
    with QmpPeer() as peer:
        client = _QmpClient(peer.path)
        with pytest.raises(BaseException) as excinfo:
            call(client)
        assert type(excinfo.value).__name__ == "PanicException"
        assert "too large" in str(excinfo.value) or "overflow" in str(excinfo.value)
        assert client.execute("x", None) == "{}"
        with pytest.raises(BaseException) as excinfo:
            call(client)  # also when connected
        assert type(excinfo.value).__name__ == "PanicException"
        assert client.execute("x", None) == "{}"
        client.close()


def test_huge_but_representable_timeouts_work():
    with QmpPeer(answer_by_command({"query-jobs": [reply([{"id": "j", "status": "concluded"}])]})) as peer:
        client = _QmpClient(peer.path)
        client.connect(1e18, 1e18)  # socket timeouts beyond what nanosecond counts hold
        assert json.loads(client.wait_for_job("j", 1e18, 1e-9))["status"] == "concluded"
        assert json.loads(client.wait_for_job("j", 1e15, 1e15))["status"] == "concluded"
