"""The QMP client against a scripted peer that records every byte: command lines,
replies, every error kind, hostile peers, jobs, threads and signals."""

import collections
import errno
import json
import math
import os
import random
import subprocess
import threading
import time
from compression import zstd

import pytest

import corvane_core._ffi as ffi
from corvane_core._ffi import _QmpClient
from peers import (CAPS, CLOSE, EVENT, GREETING, OK, Delay, HttpPeer, MiB, QmpPeer, Stream, dribble, echo,
                   error_reply, http_response, os_text, other_thread_runs, python_command, qmp_error, reply, run_python,
                   signals_arriving)

STATUS = b'{"return":{"running":true,"status":"running"}}\n'
STATUS_TEXT = '{"running":true,"status":"running"}'
QUERY = b'{"execute":"query-jobs"}\n'
CLOSED = "QMP socket closed unexpectedly"
UTF8 = "stream did not contain valid UTF-8"
TOO_LONG = "QMP message exceeds 10485760 bytes without a line feed"
MAX_LINE = 10 * MiB


@pytest.fixture
def peer():
    with QmpPeer() as serving:
        yield serving


def connected(peer, read_timeout=5.0):
    client = _QmpClient(peer.path)
    client.connect(5.0, read_timeout)
    return client


def outcome(call):
    """The call's result, or the message and context of its QMP error."""
    try:
        return call()
    except RuntimeError as error:
        return qmp_error(error)["message"], qmp_error(error)["context"]


def failure(call):
    with pytest.raises(RuntimeError) as caught:
        call()
    return qmp_error(caught)


def parser_message(text):
    return failure(lambda: _QmpClient("").execute("x", text))["message"]


COMMANDS = [
    (lambda c: c.execute(arguments_json=None, command="cont"), b'{"execute":"cont"}\n'),
    (lambda c: c.execute("x", '{"z":{"y":1,"b":[{"d":1,"c":2}]}}'),
     b'{"arguments":{"z":{"b":[{"c":2,"d":1}],"y":1}},"execute":"x"}\n'),
    (lambda c: c.execute('a"b\\c\n', "null"), b'{"arguments":null,"execute":"a\\"b\\\\c\\n"}\n'),
    (lambda c: c.stop_vm(), b'{"execute":"stop"}\n'),
    (lambda c: c.cont(), b'{"execute":"cont"}\n'),
    (lambda c: c.snapshot_save('j"', "t\\", "v\x01", ["vda", "d\u00e9"]),
     '{"arguments":{"devices":["vda","dé"],"job-id":"j\\"","tag":"t\\\\","vmstate":"v\\u0001"},'
     '"execute":"snapshot-save"}\n'.encode()),
    (lambda c: c.snapshot_load(job_id="j2", tag="t1", vmstate="vda", devices=("vda",)),
     b'{"arguments":{"devices":["vda"],"job-id":"j2","tag":"t1","vmstate":"vda"},"execute":"snapshot-load"}\n'),
    (lambda c: c.snapshot_delete("j3", "t1", []),
     b'{"arguments":{"devices":[],"job-id":"j3","tag":"t1"},"execute":"snapshot-delete"}\n'),
    (lambda c: c.blockdev_snapshot_internal_sync("drive0", "s1"),
     b'{"arguments":{"device":"drive0","name":"s1"},"execute":"blockdev-snapshot-internal-sync"}\n'),
    (lambda c: c.blockdev_snapshot_delete_internal_sync("drive0", "s1"),
     b'{"arguments":{"device":"drive0","name":"s1"},"execute":"blockdev-snapshot-delete-internal-sync"}\n'),
    (lambda c: c.dismiss_job("snap-job"), b'{"arguments":{"id":"snap-job"},"execute":"job-dismiss"}\n'),
    (lambda c: c.query_jobs(), QUERY),
]


@pytest.mark.leakcheck
@pytest.mark.parametrize("call, line", COMMANDS)
def test_the_first_command_connects_negotiates_and_sends_its_line(peer, call, line):
    peer.handler = {"query-jobs": [reply([])]}
    assert call(_QmpClient(peer.path)) in (None, "{}", "[]")
    assert peer.lines == [CAPS, line]


REPLIES = [
    ([EVENT, EVENT, b'{"return":{"status":"running","running":true}}\n'], STATUS_TEXT),
    # not replies: skipped
    ([b'{"error":"x"}\n{}\n[1,2]\n"text"\n{"greeting":1}\n{"event":"X","return":1}\n{"return":null}\n'], "null"),
    ([b'{"ret', Delay(0.05), b'urn":[1,', Delay(0.05), b"2]}\n"], "[1,2]"),
    ([b' \t{"return":7} \r\n'], "7"),
    ([b'{"return":"' + b"x" * 20000 + b'"}\n'], '"' + "x" * 20000 + '"'),
    ([b'{"return":8}', CLOSE], "8"),
]


@pytest.mark.leakcheck
@pytest.mark.parametrize("actions, result", REPLIES)
def test_replies(peer, actions, result):
    peer.handler = {"x": actions}
    assert _QmpClient(peer.path).execute("x", None) == result


ERROR_REPLIES = [
    (b'{"error":{"class":"GenericError","desc":"No such job"}}\n', "GenericError", "No such job"),
    (b'{"error":{"class":5,"desc":null,"x":1}}\n', None, None),
    (b'{"error":{"class":"A"},"return":1}\n', "A", None),
]


@pytest.mark.leakcheck
@pytest.mark.parametrize("line, error_class, desc", ERROR_REPLIES)
def test_error_replies_fail_the_command_and_keep_the_connection(peer, line, error_class, desc):
    peer.handler = {"snapshot-save": [EVENT, line]}
    client = connected(peer)
    with pytest.raises(RuntimeError) as caught:
        client.snapshot_save("j", "t", "v", [])
    expected = {"context": {"class": error_class, "command": "snapshot-save", "desc": desc, "socket_path": peer.path},
                "message": "QMP command 'snapshot-save' failed"}
    assert caught.value.args == (json.dumps(expected, separators=(",", ":")),)
    assert client.execute("y", None) == "{}" and peer.lines.count(CAPS) == 1


READ_FAILURES = [
    ([b"\n"], "EOF while parsing a value at line 2 column 0", True),
    ([b'{"return":1} 2\n'], "trailing characters at line 1 column 14", True),
    ([b'{"return":"\xed\xa0\x80"}\n'], UTF8, True),
    ([EVENT, CLOSE], CLOSED, False),
]


@pytest.mark.leakcheck
@pytest.mark.parametrize("actions, message, stays", READ_FAILURES)
def test_read_failures(peer, actions, message, stays):
    peer.handler = {"x": actions}
    client = connected(peer)
    assert outcome(lambda: client.execute("x", None)) == (message, {"socket_path": peer.path})
    if not stays:  # the socket is still held: sending fails, as an error value, until close()
        assert failure(lambda: client.execute("y", None))["message"] == os_text(errno.EPIPE)
        client.close()
    assert client.execute("y", None) == "{}"
    assert peer.lines.count(CAPS) == (1 if stays else 2)


def test_two_replies_in_one_read_serve_two_commands(peer):
    peer.handler = {"first": [b'{"return":1}\n{"return":2}\n'], "second": []}
    client = connected(peer)
    assert [client.execute("first", None), client.execute("second", None)] == ["1", "2"]


def test_a_late_reply_answers_the_next_command(peer):
    peer.handler = {"slow": [Delay(0.6), reply("late")], "next": [reply("own")]}
    client = connected(peer, read_timeout=0.2)
    assert outcome(lambda: client.execute("slow", None)) == (os_text(errno.EAGAIN), {"socket_path": peer.path})
    time.sleep(0.6)
    assert [client.execute("next", None), client.execute("next", None)] == ['"late"', '"own"']


def hostile(peer, stage, actions, close=True):
    """One connection on which the greeting, the capabilities reply or the reply is
    replaced by `actions`: the outcome of connecting and sending a command there.
    Then the same client (closed first, unless told otherwise) works against the good peer."""
    once = {stage: actions}
    peer.negotiate = False
    peer.greeting = lambda number: once.pop("greeting", [GREETING])
    peer.handler = lambda command, raw: once.pop("capabilities" if raw == CAPS else "reply", [OK if raw == CAPS else STATUS])
    client = _QmpClient(peer.path)
    got = outcome(lambda: client.connect(5.0, 5.0) or client.execute("query-status", None))
    if close:
        client.close()
    assert client.execute("query-status", None) == STATUS_TEXT
    return got


@pytest.mark.parametrize("stage, message", [("greeting", GREETING), ("capabilities", OK), ("reply", STATUS)])
def test_a_peer_closing_at_every_byte(peer, stage, message):
    context = {"socket_path": peer.path}
    for cut in range(len(message)):
        got = hostile(peer, stage, [message[:cut], CLOSE])
        if cut == 0:
            assert got == (CLOSED, context)
        elif cut < len(message) - 1:
            assert got == (parser_message(message[:cut].decode()), context), cut
        else:  # all but the line feed: the line ends with the stream
            assert got == (STATUS_TEXT if stage == "reply" else (os_text(errno.EPIPE), context))


NOISE = bytes(b for b in random.Random(6).randbytes(5000) if b != 0x0A) + b"\xff"
GARBAGE = [
    ("greeting", [NOISE, CLOSE], UTF8),
    ("greeting", [b"[" * 100_000 + b"\n"], "recursion limit exceeded at line 1 column 128"),
    ("greeting", [b'{"qmp":{}}\n'], ("Invalid QMP greeting", {"greeting": {"qmp": {}}})),
    ("greeting", [b"[1]\n"], ("Invalid QMP greeting", {"greeting": [1]})),
    ("greeting", [EVENT], ("Invalid QMP greeting", {"greeting": json.loads(EVENT)})),
    ("greeting", [b'{"QMP":null}\n'], STATUS_TEXT),
    ("capabilities", [EVENT, error_reply("CommandNotFound", "no")],
     ("QMP command 'qmp_capabilities' failed", {"class": "CommandNotFound", "command": "qmp_capabilities", "desc": "no"})),
    ("reply", [b"\xf4\x90\x80\x80\n"], UTF8),
    ("reply", [b'{"event":"X","data":{"n":1}}\n' * 2000 + STATUS], STATUS_TEXT),
    ("greeting", dribble(GREETING, 1), STATUS_TEXT),
    ("reply", dribble(EVENT + STATUS, 1), STATUS_TEXT),
]


@pytest.mark.parametrize("stage, actions, expected", GARBAGE)
def test_hostile_peers(peer, stage, actions, expected):
    if isinstance(expected, str) and expected != STATUS_TEXT:
        expected = (expected, {})
    if isinstance(expected, tuple):
        expected = (expected[0], {**expected[1], "socket_path": peer.path})
    assert hostile(peer, stage, actions) == expected


@pytest.mark.parametrize("stage, prefix", [("greeting", b""), ("reply", b'{"event":"STOP"}\n{"event":"')])
def test_an_endless_line_stops_at_the_bound_and_drops_the_connection(peer, stage, prefix):
    stream = Stream()
    assert hostile(peer, stage, [prefix, stream], close=False) == (TOO_LONG, {"socket_path": peer.path})
    assert peer.connections == 2
    # The client stopped reading at the bound: little more than it went out of the 64 MiB offered.
    assert stream.finished and MAX_LINE - 16 <= stream.sent < MAX_LINE + 4 * MiB


@pytest.mark.parametrize("total", [MAX_LINE, MAX_LINE + 1])
def test_the_line_bound_counts_the_line_feed(peer, total):
    line = b'{"return":"' + b"x" * (total - 14) + b'"}\n'
    got = hostile(peer, "reply", [line])
    assert got == ('"' + "x" * (total - 14) + '"' if total == MAX_LINE else (TOO_LONG, {"socket_path": peer.path}))


def test_connecting(tmp_dir):
    with QmpPeer(directory=tmp_dir, listen_after=0.4) as late:
        started = time.monotonic()
        _QmpClient(late.path).connect(5.0, 5.0)
        assert 0.3 < time.monotonic() - started < 4.5 and late.lines == [CAPS]
    started = time.monotonic()
    with pytest.raises(RuntimeError) as caught:
        _QmpClient(late.path).connect(0.3, 5.0)
    assert 0.25 < time.monotonic() - started < 2.5
    assert caught.value.args == ('{"context":{"socket_path":"' + late.path + '"},"message":"Timed out waiting for QMP socket"}',)
    for path in ["/tmp/" + "x" * 200, "/tmp/nul\0.sock", ""]:
        assert outcome(lambda: _QmpClient(path).connect(0.2, 1.0)) == ("Timed out waiting for QMP socket", {"socket_path": path})
    for timeout in [0.0, -1.0, math.nan, math.inf]:
        started = time.monotonic()
        assert failure(lambda: _QmpClient(late.path).connect(timeout, 5.0))["message"] == "Timed out waiting for QMP socket"
        assert time.monotonic() - started < 1.0


@pytest.mark.leakcheck
@pytest.mark.parametrize("timeout, read_timeout, lines", [(0.0, 5.0, []), (2.0, 0.0, [CAPS]), (2.0, math.inf, [CAPS])])
def test_zero_socket_timeouts_are_refused_and_leave_the_client_disconnected(peer, timeout, read_timeout, lines):
    client = _QmpClient(peer.path)
    assert outcome(lambda: client.connect(timeout, read_timeout)) == ("cannot set a 0 duration timeout", {"socket_path": peer.path})
    assert peer.lines == lines
    assert client.execute("x", None) == "{}" and peer.lines == lines + [CAPS, b'{"execute":"x"}\n']


def test_connect_close_and_drop(peer):
    client = _QmpClient(peer.path)
    assert client.close() is None  # never connected
    client.connect(2.0, 2.0)
    assert client.connect(0.0, math.nan) is None  # connected: nothing happens
    assert client.close() is None and client.close() is None
    assert client.execute("x", None) == "{}"
    del client  # closes the socket, so the peer, serving one connection at a time, takes the next
    assert _QmpClient(peer.path).execute("x", None) == "{}"
    assert peer.lines == [CAPS, CAPS, b'{"execute":"x"}\n', CAPS, b'{"execute":"x"}\n']


def cannot_convert(seconds):
    return f"cannot convert {seconds:.17g} seconds to a duration: the value is too large (2^64 seconds or more)"


TIMES = [
    (lambda c: c.connect(2.0**64, 1.0), cannot_convert(2.0**64)),
    (lambda c: c.connect(1.0, 1e300), cannot_convert(1e300)),
    (lambda c: c.connect(1.8e19, 1.0), "overflow when adding a duration of 18000000000000000000 seconds to the monotonic clock"),
    (lambda c: c.wait_for_job("j", 1.8e19, 0.0), "overflow when adding a duration of 18000000000000000000 seconds to the monotonic clock"),
    (lambda c: c.wait_for_job("j", 1.0, 2.0**64), cannot_convert(2.0**64)),
]


@pytest.mark.leakcheck
@pytest.mark.parametrize("call, text", TIMES)
def test_unrepresentable_times_panic_and_leave_the_client_usable(peer, call, text):
    client = _QmpClient(peer.path)
    for _ in range(2):  # disconnected, then connected
        with pytest.raises(BaseException) as caught:
            call(client)
        assert (type(caught.value).__name__, caught.value.args) == ("PanicException", (text,))
        assert client.execute("x", None) == "{}"


def test_huge_but_representable_times_work(peer):
    peer.handler = {"query-jobs": [reply([{"id": "j", "status": "concluded"}])]}
    client = _QmpClient(peer.path)
    client.connect(1e18, 1e18)
    assert json.loads(client.wait_for_job("j", 1e18, 1e-9))["status"] == "concluded"


def job(job_id="j1", status="concluded", **extra):
    return {"id": job_id, "type": "snapshot-save", "status": status, "current-progress": 1, "total-progress": 1, **extra}


def jobs(*listings, dismissal=OK):
    """Answers query-jobs with successive listings (the last one repeats)."""
    queue = list(listings)

    def answer(command, raw):
        if command["execute"] == "query-jobs":
            listing = queue.pop(0) if len(queue) > 1 else queue[0]
            return [listing if isinstance(listing, bytes) else reply(listing)]
        return [dismissal] if command["execute"] == "job-dismiss" else [OK]

    return answer


def dismiss(job_id):
    return b'{"arguments":{"id":"' + job_id.encode() + b'"},"execute":"job-dismiss"}\n'


RECORD = ('{"job_id":"j1","job_type":"snapshot-save","status":"concluded",'
          '"current_progress":1,"total_progress":1,"error":null}')


@pytest.mark.leakcheck
def test_job_records(peer):
    odd = {"id": 7, "type": None, "status": {"b": 1, "a": [1.5]}, "current-progress": "+42", "total-progress": 1.5,
           "error": None}
    peer.handler = jobs([job(), odd, {"error": {"z": 1}}])
    assert _QmpClient(peer.path).query_jobs() == (
        "[" + RECORD + ',{"job_id":"7","job_type":"null","status":"{\\"a\\":[1.5],\\"b\\":1}",'
        '"current_progress":42,"total_progress":0,"error":"null"},{"job_id":"null","job_type":"null",'
        '"status":"null","current_progress":0,"total_progress":0,"error":"{\\"z\\":1}"}]')


@pytest.mark.leakcheck
@pytest.mark.parametrize("result", [{}, [{"id": "a"}, 2]])
def test_unexpected_jobs_response(peer, result):
    peer.handler = jobs(result)
    assert outcome(_QmpClient(peer.path).query_jobs) == ("Unexpected QMP query-jobs response", {"result": result})


@pytest.mark.leakcheck
def test_the_job_wait_returns_the_concluded_job_and_dismisses_it(peer):
    peer.handler = jobs([job("j1", "running")], [job("other"), job()])
    assert _QmpClient(peer.path).wait_for_job("j1", 5.0, 0.01) == RECORD
    assert peer.commands() == [QUERY, QUERY, dismiss("j1")]


@pytest.mark.leakcheck
def test_a_failed_job_is_reported_and_not_dismissed(peer):
    peer.handler = jobs([job(error="first"), job(error="second")])
    assert outcome(lambda: _QmpClient(peer.path).wait_for_job("j1", 5.0, 0.01)) == ("QMP job failed", {
        "error": "first", "job_id": "j1", "job_type": "snapshot-save", "socket_path": peer.path, "status": "concluded"})
    assert peer.commands() == [QUERY]


@pytest.mark.parametrize("listings, last_status", [
    ([[job("j1", "running")]], "running"),
    ([[{"id": "j1"}]], "null"),
    ([[job("J1"), job("j1 ")]], None),
    ([[job("j1", "running")], []], "running"),  # the job disappears: its last status stays
])
def test_the_job_wait_runs_until_its_deadline(peer, listings, last_status):
    peer.handler = jobs(*listings)
    started = time.monotonic()
    assert outcome(lambda: _QmpClient(peer.path).wait_for_job("j1", 0.3, 0.02)) == (
        "Timed out waiting for QMP job", {"job_id": "j1", "last_status": last_status, "socket_path": peer.path})
    assert 0.25 < time.monotonic() - started < 3.0
    assert len(peer.commands()) >= 2 and dismiss("j1") not in peer.commands()


@pytest.mark.leakcheck
def test_the_job_wait_with_a_zero_timeout_fails_without_io(peer):
    with pytest.raises(RuntimeError) as caught:
        _QmpClient(peer.path).wait_for_job("j1", math.nan, 0.01)
    assert caught.value.args == ('{"context":{"job_id":"j1","last_status":null,"socket_path":"' + peer.path
                                 + '"},"message":"Timed out waiting for QMP job"}',)
    assert peer.lines == []


def test_the_job_wait_without_poll_interval_polls_at_once(peer):
    peer.handler = jobs(*[[job("j1", "running")]] * 5, [job()])
    _QmpClient(peer.path).wait_for_job("j1", 10.0, 0.0)
    assert peer.commands() == [QUERY] * 6 + [dismiss("j1")]


def test_a_failed_dismissal_is_ignored_and_a_failed_query_is_reported(peer):
    peer.handler = jobs([job()], dismissal=error_reply("GenericError", "gone"))
    client = _QmpClient(peer.path)
    assert client.wait_for_job("j1", 2.0, 0.0) == RECORD
    assert client.query_jobs() == "[" + RECORD + "]"  # the dismissal's reply was read: the stream is in step
    peer.handler = jobs(error_reply("GenericError", "busy"))
    assert failure(lambda: client.wait_for_job("j1", 2.0, 0.0))["context"]["command"] == "query-jobs"


def test_a_shared_client_never_interleaves_commands(peer):
    peer.handler = lambda command, raw: dribble(echo(command, raw)[0], 50, 0.0005)
    client, results = _QmpClient(peer.path), []

    def worker(index):
        for n in range(30):
            sent = json.dumps({"n": n, "pad": "x" * (index * 300), "thread": index}, separators=(",", ":"))
            results.append(client.execute(f"cmd-{index}", sent) == sent)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(50)
    assert results == [True] * 120
    for line in peer.commands():
        command = json.loads(line)
        assert command["execute"] == f"cmd-{command['arguments']['thread']}"


@pytest.mark.parametrize("call", [lambda c: c.execute("slow", None), lambda c: c.wait_for_job("never", 0.5, 0.05)])
def test_blocking_calls_release_the_interpreter_lock(peer, tmp_dir, call):
    peer.handler = {"slow": [Delay(0.5), OK], "query-jobs": [reply([])]}
    with other_thread_runs(20):
        outcome(lambda: call(connected(peer)))
    with other_thread_runs(20):
        outcome(lambda: _QmpClient(tmp_dir + "/absent.sock").connect(0.5, 1.0))


def test_one_call_at_a_time(peer):
    concluded, dismissed = time.monotonic() + 0.4, []

    def query(command, raw):
        return [reply([] if dismissed else [job(status="concluded" if time.monotonic() > concluded else "running")])]

    peer.handler = {"query-jobs": query, "job-dismiss": lambda c, r: dismissed.append(1) or [OK],
                    "slow": [Delay(0.4), reply("done")]}
    client, results = connected(peer), []
    waiter = threading.Thread(target=lambda: results.append(client.wait_for_job("j1", 5.0, 0.02)))
    waiter.start()
    time.sleep(0.1)
    assert client.query_jobs() == "[]"  # only after the whole wait, its dismissal included
    waiter.join(10)
    assert results == [RECORD] and peer.commands()[-2:] == [dismiss("j1"), QUERY]
    worker = threading.Thread(target=lambda: results.append(client.execute("slow", None)))
    worker.start()
    time.sleep(0.1)
    assert failure(lambda: client.execute("x", "[1"))["message"] == "EOF while parsing a list at line 1 column 2"
    assert client.close() is None  # waits for the running command
    worker.join(10)
    assert results[1] == '"done"'


def test_no_sigpipe_with_the_default_signal_action(tmp_dir):
    with QmpPeer(lambda command, raw: [CLOSE]) as qmp, HttpPeer([CLOSE], read_first=False) as http:
        child = run_python("""
import signal
signal.signal(signal.SIGPIPE, signal.SIG_DFL)
import json, corvane_core._ffi as ffi
client = ffi._QmpClient(sys.argv[1])
for _ in range(3):
    try:
        client.execute("x", None)
    except RuntimeError as error:
        print(json.loads(error.args[0])["message"])
try:
    ffi.firecracker_request(sys.argv[2], "PUT", "/", "x" * 8_000_000, 10.0)
except OSError as error:
    print(error.args[0])
""", qmp.path, http.path)
    assert child.returncode == 0, child.stderr
    qmp_lines, http_line = child.stdout.splitlines()[:3], child.stdout.splitlines()[3]
    assert qmp_lines[:2] == [CLOSED, os_text(errno.EPIPE)]
    assert http_line in (os_text(errno.EPIPE), os_text(errno.ECONNRESET))


POISON = """
import resource
import corvane_core._ffi as ffi
from corvane_core._ffi import _QmpClient
from peers import QmpPeer
HUGE = b'{"return":"' + b"x" * (9 << 20) + b'"}\\n'  # below the line bound, beyond the address-space limit

def attempt(call):
    try:
        call()
        print("ok")
    except BaseException as error:
        print(type(error).__name__, error)

with QmpPeer({"huge": [HUGE]}) as peer:
    client = _QmpClient(peer.path)
    client.connect(5.0, 30.0)
    size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (size + (4 << 20), resource.RLIM_INFINITY))
    attempt(lambda: client.execute("huge", None))
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    for call in (lambda: client.execute("after", None), lambda: client.wait_for_job("j", 1.0, 0.0), client.close,
                 lambda: client.execute("x", "[")):
        attempt(call)
    del client
    attempt(lambda: _QmpClient(peer.path).execute("fresh", None))
"""


@pytest.mark.skipif("CORVANE_SANITIZER_PRELOAD" in os.environ, reason="ASan's operator new aborts instead of throwing")
def test_a_panic_with_the_mutex_held_poisons_the_client():
    poisoned = 'RuntimeError {"context":{},"message":"QMP client lock is poisoned"}'
    child = run_python(POISON)
    assert child.stdout.splitlines() == [
        "PanicException memory allocation failed", poisoned, poisoned, poisoned,
        'RuntimeError {"context":{"socket_path":""},"message":"EOF while parsing a list at line 1 column 1"}', "ok",
    ], child.stderr


def test_signals_do_not_interrupt_blocking_calls(peer, tmp_dir):
    peer.handler = {"slow": [Delay(0.3), OK], "query-jobs": [reply([job(status="running")])]}
    with signals_arriving():
        client = _QmpClient(peer.path)
        assert client.execute("slow", None) == "{}"
        assert failure(lambda: client.wait_for_job("j1", 0.2, 0.01))["context"]["last_status"] == "running"
        assert failure(lambda: _QmpClient(tmp_dir + "/absent").connect(0.2, 1.0))["message"] == "Timed out waiting for QMP socket"


STRESS_PEER = """
import json
from peers import QmpPeer, echo, error_reply, reply
jobs = [{"id": f"job-{n}", "status": "concluded"} for n in range(12)] + [{"id": "slow", "status": "running"}]
# In a process of its own, so that answers never wait for the test's interpreter lock.
with QmpPeer({"echo": echo, "query-jobs": [reply(jobs)], "refuse": [error_reply("E", "no")]}, directory=sys.argv[1]) as peer:
    print(peer.path, flush=True)
    sys.stdin.read()
print(json.dumps([line.decode() for line in peer.lines]))
print(peer.connections, peer.errors)
"""


def test_a_shared_client_under_stress(tmp_path):
    """Twelve threads call every method of one client (close and connect included)
    in random order while others make API requests and disk copies: every call
    gets its own right answer, and the peer sees whole command lines, as many of
    each as were sent."""
    peer = subprocess.Popen(python_command(STRESS_PEER, tmp_path), stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    client, counts, failures, stop_at = _QmpClient(peer.stdout.readline().strip()), [], [], time.monotonic() + 3

    def qmp(t):
        text = json.dumps({"s": "é\n\"", "t": t}, ensure_ascii=False, separators=(",", ":"))
        return {
            "echo": lambda: client.execute("echo", json.dumps(json.loads(text), indent=1)) == text,
            "stop": client.stop_vm, "cont": client.cont,
            "snapshot-save": lambda: client.snapshot_save(f"s{t}", "t", "vda", ["vda"]),
            "snapshot-load": lambda: client.snapshot_load(f"l{t}", "t", "vda", ["vda"]),
            "snapshot-delete": lambda: client.snapshot_delete(f"d{t}", "t", ["vda"]),
            "blockdev-snapshot-internal-sync": lambda: client.blockdev_snapshot_internal_sync("vda", "s"),
            "blockdev-snapshot-delete-internal-sync": lambda: client.blockdev_snapshot_delete_internal_sync("vda", "s"),
            "job-dismiss": lambda: client.dismiss_job(f"x{t}"),
            "refuse": lambda: failure(lambda: client.execute("refuse", None))["message"] == "QMP command 'refuse' failed",
            "query": lambda: [j["job_id"] for j in json.loads(client.query_jobs())] == [f"job-{n}" for n in range(12)] + ["slow"],
            "wait": lambda: json.loads(client.wait_for_job(f"job-{t}", 10.0, 0.0))["job_id"] == f"job-{t}",
            "timeout": lambda: failure(lambda: client.wait_for_job("slow", 0.03, 0.01))["context"]["last_status"] in ("running", None),
            "connect": lambda: client.connect(5.0, 30.0), "close": client.close,
        }

    with HttpPeer([http_response(body=b"{}")]) as api:
        (tmp_path / "image").write_bytes(os.urandom(300_000) + bytes(MiB))
        (tmp_path / "image.zst").write_bytes(zstd.compress((tmp_path / "image").read_bytes()))
        extra = {"http": lambda: ffi.firecracker_request(api.path, "PUT", "/a", "{}", 30.0) == (200, "{}"),
                 "disk": lambda: ffi.clone_or_sparse_copy(str(tmp_path / "image"), str(tmp_path / "copy"))
                 == ffi.decompress_zstd_sparse(str(tmp_path / "image.zst"), str(tmp_path / "unpacked"), 65536)}

        def worker(operations, seed):
            done, rng = collections.Counter(), random.Random(seed)
            counts.append(done)
            try:
                while sum(done.values()) < 3 * len(operations) or time.monotonic() < stop_at:
                    for name, operation in rng.sample(sorted(operations.items()), len(operations)):
                        assert operation() is not False, name
                        done[name] += 1
            except BaseException as error:  # noqa: BLE001 - reported below
                failures.append(error)

        threads = [threading.Thread(target=worker, args=(qmp(t), t)) for t in range(12)]
        threads += [threading.Thread(target=worker, args=({name: call}, name)) for name, call in extra.items()]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(45)
        assert not failures and not any(thread.is_alive() for thread in threads)
    client.close()
    lines, summary = peer.communicate("", timeout=30)[0].splitlines()
    assert summary.endswith(" []")
    sent = collections.Counter()
    for line in json.loads(lines):
        command = json.loads(line)
        assert line == json.dumps(command, separators=(",", ":"), sort_keys=True, ensure_ascii=False) + "\n"
        sent[command["execute"]] += 1
    done = sum(counts, collections.Counter())
    done["job-dismiss"] += done["wait"]
    assert {name: sent[name] for name in done if name in sent} == {name: done[name] for name in done if name in sent}
    assert sent["qmp_capabilities"] == int(summary.split()[0]) > 1 and sent["echo"] == done["echo"] > 0
