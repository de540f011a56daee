"""The QMP client against a scripted peer: command lines, replies, errors, hostile peers, jobs, threads, SIGPIPE."""

import collections
import errno
import itertools
import json
import math
import os
import random
import socket
import subprocess
import time

import pytest
from peers import (
    CAPS,
    CLOSE,
    EVENT,
    GREETING,
    OK,
    Delay,
    MiB,
    QmpPeer,
    Stream,
    error_reply,
    in_threads,
    os_text,
    other_thread_runs,
    panic,
    python_command,
    qmp_error,
    reply,
    run_python,
)

from corvane_core._ffi import _QmpClient

STATUS, STATUS_TEXT = b'{"return":{"running":true,"status":"running"}}\n', '{"running":true,"status":"running"}'
QUERY = b'{"execute":"query-jobs"}\n'
UTF8 = "stream did not contain valid UTF-8"
NO_SOCKET = "Timed out waiting for QMP socket"
TOO_LONG, MAX_LINE = "QMP message exceeds 10485760 bytes without a line feed", 10 * MiB
DISMISS = b'{"arguments":{"id":"j1"},"execute":"job-dismiss"}\n'
RECORD = '{"job_id":"j1","job_type":"snapshot-save","status":"concluded","current_progress":1,"total_progress":1,"error":null}'


@pytest.fixture
def peer():
    with QmpPeer() as serving:
        yield serving


def connected(peer, read_timeout=5.0):
    client = _QmpClient(peer.path)
    client.connect(5.0, read_timeout)
    return client


def outcome(call):  # the call's result, or the message and context of its QMP error
    try:
        return call()
    except RuntimeError as error:
        return qmp_error(error)["message"], qmp_error(error)["context"]


@pytest.mark.leakcheck
@pytest.mark.parametrize(
    "call, sent",
    [
        (lambda c: c.execute(arguments_json=None, command="cont"), b'{"execute":"cont"}\n'),
        (lambda c: c.execute('a"b\\c\n', "null"), b'{"arguments":null,"execute":"a\\"b\\\\c\\n"}\n'),
        (
            lambda c: c.snapshot_save('j"', "t\\", "v\x01", ["vda", "dé"]),
            '{"arguments":{"devices":["vda","dé"],"job-id":"j\\"","tag":"t\\\\","vmstate":"v\\u0001"},"execute":"snapshot-save"}\n'.encode(),
        ),
    ],
)
def test_the_first_command_connects_negotiates_and_sends_its_line(peer, call, sent):
    assert call(_QmpClient(peer.path)) in (None, "{}") and peer.lines == [CAPS, sent]


def hostile(peer, stage, actions, close=True):
    """The outcome of connecting and sending a command when `actions` replace the greeting, the capabilities reply or
    the reply; then the client (closed first, unless told otherwise) works again."""
    once = {stage: actions}
    peer.negotiate = False
    peer.greeting = lambda number: once.pop("greeting", [GREETING])
    peer.handler = lambda command, raw: once.pop("capabilities", [OK]) if raw == CAPS else once.pop("reply", [STATUS])
    client = _QmpClient(peer.path)
    got = outcome(lambda: client.connect(5.0, 5.0) or client.execute("query-status", None))
    if close:
        client.close()
    assert client.execute("query-status", None) == STATUS_TEXT
    return got


def failed(error_class, desc, command="query-status"):
    return f"QMP command '{command}' failed", {"class": error_class, "command": command, "desc": desc}


EXCHANGES = [
    ("reply", [EVENT, b'{"event":"X","return":1}\n' + STATUS], STATUS_TEXT),
    ("reply", [error_reply("GenericError", "gone")], failed("GenericError", "gone")),
    ("reply", [b'{"error":{"class":5,"desc":null,"x":1},"return":1}\n'], failed(None, None)),
    ("reply", [b"\xf4\x90\x80\x80\n"], (UTF8, {})),
    ("greeting", [b'{"QMP":null}\n'], STATUS_TEXT),
    ("greeting", [b'{"qmp":{}}\n'], ("Invalid QMP greeting", {"greeting": {"qmp": {}}})),
    ("capabilities", [EVENT, error_reply("E", "no")], failed("E", "no", "qmp_capabilities")),
]


@pytest.mark.leakcheck
@pytest.mark.parametrize("stage, actions, expected", EXCHANGES)
def test_exchanges(peer, stage, actions, expected):
    if isinstance(expected, tuple):
        expected = (expected[0], {**expected[1], "socket_path": peer.path})
    assert hostile(peer, stage, actions) == expected


@pytest.mark.parametrize("stage, message", [("greeting", GREETING), ("reply", STATUS)])
def test_a_peer_closing_at_every_byte(peer, stage, message):
    context = {"socket_path": peer.path}
    for cut in range(len(message)):
        got = hostile(peer, stage, [message[:cut], CLOSE])
        if cut == 0:
            assert got == ("QMP socket closed unexpectedly", context)
        elif cut < len(message) - 1:  # the parser's own message for the text
            assert got == (outcome(lambda: _QmpClient("").execute("x", message[:cut].decode()))[0], context)
        else:  # all but the line feed: the line ends with the stream
            assert got == (STATUS_TEXT if stage == "reply" else (os_text(errno.EPIPE), context))


@pytest.mark.parametrize(
    "prefix, total",
    [(b'{"event":"STOP"}\n{"event":"', None), (b'{"return":"', MAX_LINE), (b'{"return":"', MAX_LINE + 1)],
)
def test_the_line_bound_counts_the_line_feed_and_an_endless_line_drops_the_connection(peer, prefix, total):
    data = [prefix, stream := Stream()] if total is None else [prefix + b"x" * (total - 14) + b'"}\n']
    got = hostile(peer, "reply", data, close=False)
    assert got == ('"' + "x" * (total - 14) + '"' if total == MAX_LINE else (TOO_LONG, {"socket_path": peer.path}))
    assert peer.connections == (1 if total == MAX_LINE else 2)  # the next command connected afresh
    assert total or stream.finished and MAX_LINE - 16 <= stream.sent < MAX_LINE + 4 * MiB  # read no further


def test_replies_are_taken_in_order_and_a_stream_out_of_step_is_dropped(peer):
    peer.handler = {
        "two": [b'{"return":1}\n{"return":2}\n'],
        "none": [],
        "slow": [Delay(0.6), reply("late")],
        "bad": [b'{"event":"X","data":"\xed\xa0\x80"}\n', reply("bad")],  # a surrogate
        "refused": [error_reply("GenericError", "no")],
    }
    client = connected(peer, read_timeout=0.2)
    assert [client.execute("two", None), client.execute("none", None)] == ["1", "2"]  # two replies in one read
    assert outcome(lambda: client.execute("refused", None))[0] == "QMP command 'refused' failed"
    assert client.execute("x", None) == "{}" and peer.connections == 1  # an error reply leaves the stream in step
    # A reconnect keeps the connect's read timeout: the reply to "slow" is late.
    for n, (command, message) in enumerate([("bad", UTF8), ("slow", os_text(errno.EAGAIN))], start=2):
        assert outcome(lambda: client.execute(command, None)) == (message, {"socket_path": peer.path})
        assert client.execute("x", None) == "{}" and peer.connections == n  # afresh: never the reply still on its way


def test_events_do_not_stretch_the_wait_for_a_reply(peer):
    peer.handler = lambda command, raw: [EVENT, Delay(0.05)] * 200  # events for 10 s, never a reply
    for read_timeout, call, message in [
        (0.5, lambda c: c.execute("x", None), os_text(errno.EAGAIN)),
        (5.0, lambda c: c.wait_for_job("j1", 1.0, 0.0), "Timed out waiting for QMP job"),
    ]:
        client, started = connected(peer, read_timeout), time.monotonic()
        assert outcome(lambda: call(client))[0] == message and time.monotonic() - started < 4


def test_connecting(tmp_dir):
    with QmpPeer(directory=tmp_dir, listen_after=0.4) as late:
        started = time.monotonic()
        _QmpClient(late.path).connect(5.0, 5.0)
        assert 0.3 < time.monotonic() - started < 4.5 and late.lines == [CAPS]
    # Gone: tried until the deadline. An empty path never connects. No time left (zero, infinite): one attempt.
    cases = [(late.path, 0.3, 0.25), ("", 0.2, 0), (late.path, 0.0, 0), (late.path, math.inf, 0)]
    for path, timeout, least in cases:
        started = time.monotonic()
        assert outcome(lambda: _QmpClient(path).connect(timeout, 5.0)) == (NO_SOCKET, {"socket_path": path})
        assert least <= time.monotonic() - started < 1.5


def test_a_connect_to_a_full_backlog_ends_at_its_deadline_and_a_close_waits_no_longer(tmp_dir):
    (listener := socket.socket(socket.AF_UNIX)).bind(tmp_dir + "/full.sock")
    listener.listen(0)
    fillers = [socket.socket(socket.AF_UNIX) for _ in range(64)]
    next(f for f in fillers if f.setblocking(False) or f.connect_ex(listener.getsockname()) != 0)  # the backlog is full
    client, results, started = _QmpClient(path := listener.getsockname()), [], time.monotonic()
    connect = lambda: results.append(outcome(lambda: client.connect(1.0, 1.0)))  # noqa: E731
    assert not in_threads(connect, lambda: time.sleep(0.2) or client.close())
    assert results == [(NO_SOCKET, {"socket_path": path})] and time.monotonic() - started < 5
    for s in [listener, *fillers]:
        s.close()


@pytest.mark.parametrize("late", ["greeting", "capabilities"])
def test_the_negotiation_waits_until_the_connects_deadline(peer, late):
    peer.negotiate, peer.greeting = False, [Delay(1.5 if late == "greeting" else 0), GREETING]
    peer.handler = lambda command, raw: [Delay(1.5 if late == "capabilities" else 0), OK]
    assert _QmpClient(peer.path).connect(10.0, 0.2) is None  # each read of the negotiation used to end after 1 s
    assert outcome(lambda: _QmpClient(peer.path).connect(0.5, 5.0))[0] == os_text(errno.EAGAIN)


@pytest.mark.leakcheck
@pytest.mark.parametrize(
    "timeout, read_timeout, lines, message",
    [(0.0, 5.0, [], os_text(errno.EAGAIN)), (2.0, 0.0, [CAPS], "cannot set a 0 duration timeout")],
)
def test_zero_socket_timeouts_leave_the_client_disconnected(peer, timeout, read_timeout, lines, message):
    """No time to negotiate, or a read timeout a socket cannot take."""
    client = _QmpClient(peer.path)
    assert outcome(lambda: client.connect(timeout, read_timeout)) == (message, {"socket_path": peer.path})
    assert peer.lines == lines
    assert client.execute("x", None) == "{}" and peer.lines == lines + [CAPS, b'{"execute":"x"}\n']
    assert client.connect(0.0, math.nan) is None and client.close() is None and client.close() is None  # when connected


@pytest.mark.leakcheck
@pytest.mark.parametrize(
    "timeout, text",
    [
        (
            2.0**64,
            "cannot convert 1.8446744073709552e+19 seconds to a duration: the value is too large (2^64 seconds or more)",
        ),
        (1.8e19, "overflow when adding a duration of 18000000000000000000 seconds to the monotonic clock"),
    ],
)
def test_unrepresentable_times_panic_and_leave_the_client_usable(peer, timeout, text):
    client = _QmpClient(peer.path)
    for _ in range(2):  # disconnected, then connected
        assert panic(lambda: client.connect(timeout, 1.0)) == text and client.execute("x", None) == "{}"


def job(job_id="j1", status="concluded", **extra):
    return {"id": job_id, "type": "snapshot-save", "status": status, "current-progress": 1, "total-progress": 1} | extra


def jobs(*listings, dismissal=OK):
    """Answers query-jobs with successive listings (the last one repeats)."""
    queue = [listing if isinstance(listing, bytes) else reply(listing) for listing in listings]
    return {
        "query-jobs": lambda command, raw: [queue.pop(0) if len(queue) > 1 else queue[0]],
        "job-dismiss": [dismissal],
    }


def timed_out(peer, last_status):
    return "Timed out waiting for QMP job", {"job_id": "j1", "last_status": last_status, "socket_path": peer.path}


@pytest.mark.leakcheck
def test_job_records(peer):
    for result in [{}, [{"id": "a"}, 2]]:
        peer.handler = jobs(result)
        assert outcome(_QmpClient(peer.path).query_jobs) == ("Unexpected QMP query-jobs response", {"result": result})


@pytest.mark.leakcheck
def test_the_job_wait(peer):
    assert outcome(lambda: _QmpClient(peer.path).wait_for_job("j1", math.nan, 0.01)) == timed_out(peer, None)
    assert peer.lines == []  # no time: without I/O
    peer.handler = jobs([job(error="first")])
    failed = outcome(lambda: _QmpClient(peer.path).wait_for_job("j1", 5.0, 0.01))
    context = {"error": "first", "job_id": "j1", "job_type": "snapshot-save", "status": "concluded"}
    assert failed == ("QMP job failed", {**context, "socket_path": peer.path})
    assert peer.commands() == [QUERY]  # a failed job is not dismissed
    peer.lines.clear()
    peer.handler = jobs([job("j1", "running")], [job("other"), job()], dismissal=error_reply("GenericError", "gone"))
    client = _QmpClient(peer.path)
    assert client.wait_for_job("j1", 1e18, 0.0) == RECORD  # a failed dismissal is ignored
    assert peer.commands() == [QUERY, QUERY, DISMISS]
    # The dismissal's reply was read: the stream is in step.
    assert client.query_jobs() == "[" + RECORD.replace("j1", "other") + "," + RECORD + "]"
    peer.handler = jobs(error_reply("GenericError", "busy"))
    assert outcome(lambda: client.wait_for_job("j1", 2.0, 0.0))[1]["command"] == "query-jobs"


@pytest.mark.parametrize(
    "listings, last_status",
    [
        ([[job("J1"), job("j1 ")]], None),
        ([[job("j1", "running")], []], "running"),  # the job disappears: its last status stays
    ],
)
def test_the_job_wait_runs_until_its_deadline(peer, listings, last_status):
    peer.handler = jobs(*listings)
    started = time.monotonic()
    assert outcome(lambda: _QmpClient(peer.path).wait_for_job("j1", 0.3, 0.02)) == timed_out(peer, last_status)
    assert 0.25 < time.monotonic() - started < 3.0 and len(peer.commands()) >= 2 and DISMISS not in peer.commands()


def test_one_call_at_a_time_and_the_interpreter_lock_released_meanwhile(peer):
    concluded, dismissed = time.monotonic() + 0.4, []
    peer.handler = {
        "query-jobs": lambda c, r: [
            reply([] if dismissed else [job(status="concluded" if time.monotonic() > concluded else "running")])
        ],
        "job-dismiss": lambda c, r: dismissed.append(1) or [OK],
        "slow": [Delay(0.4), reply("done")],
    }
    client, results = connected(peer), []
    later = lambda call: lambda: time.sleep(0.1) or results.append(call())  # noqa: E731
    with other_thread_runs(20):
        assert not in_threads(lambda: results.append(client.wait_for_job("j1", 5.0, 0.02)), later(client.query_jobs))
    assert results == [RECORD, "[]"] and peer.commands()[-2:] == [DISMISS, QUERY]  # after the wait and dismissal
    with other_thread_runs(20):  # close waits for the running command, which gets its reply
        parse_error = later(lambda: outcome(lambda: client.execute("x", "[1"))[0])
        assert not in_threads(lambda: results.append(client.execute("slow", None)), later(client.close), parse_error)
    assert sorted(results[2:], key=str) == ['"done"', "EOF while parsing a list at line 1 column 2", None]


def test_a_forked_child_starts_disconnected_and_unlocked():
    child = run_python("""
import json, os, signal, threading, time
from corvane_core._ffi import _QmpClient
from peers import Delay, QmpPeer, reply
with QmpPeer({"slow": [Delay(1.0), reply("parent")]}) as peer:
    (client := _QmpClient(peer.path)).connect(5.0, 5.0)
    (thread := threading.Thread(target=lambda: print(client.execute("slow", None), flush=True))).start()
    while len(peer.lines) < 2:  # the thread's call holds the client
        time.sleep(0.01)
    if (pid := os.fork()) == 0:
        signal.alarm(30)
        client.close()
        print(client.execute("x", None), flush=True)  # served once the parent's connection is closed
        os._exit(0)
    thread.join()
    client.close()
    print(json.dumps([os.waitpid(pid, 0)[1], [line.decode() for line in peer.lines], peer.connections]))
""")
    *replies, last = child.stdout.splitlines()  # the child sent nothing on the parent's connection
    lines = [CAPS.decode(), '{"execute":"slow"}\n', CAPS.decode(), '{"execute":"x"}\n']
    assert replies == ['"parent"', "{}"] and json.loads(last) == [0, lines, 2], child.stderr


SIGPIPE_CHILD = """
import json, signal, time
signal.signal(signal.SIGPIPE, signal.SIG_DFL)
from corvane_core._ffi import _QmpClient
print((client := _QmpClient(sys.argv[1])).execute("x", None))
time.sleep(0.3)
try:
    client.execute("x", None)
except RuntimeError as error:
    print(json.loads(error.args[0])["message"])
"""


def test_no_sigpipe_with_the_default_signal_action():
    with QmpPeer(lambda command, raw: [OK, CLOSE]) as qmp:
        child = run_python(SIGPIPE_CHILD, qmp.path)
    assert child.stdout.splitlines() == ["{}", os_text(errno.EPIPE)], child.stderr  # the second send: a closed peer


@pytest.mark.skipif("CORVANE_SANITIZER_PRELOAD" in os.environ, reason="ASan's operator new aborts instead of throwing")
def test_memory_that_runs_out_is_memory_error_and_the_client_stays_usable():
    """A 10 MiB reply takes far less than its tree would (about 460 MiB); running out drops the connection (maybe
    mid-line) without poisoning the client."""
    child = run_python("""
import resource
from corvane_core._ffi import _QmpClient
from peers import MiB, QmpPeer

def attempt(call, room=None):  # room: address space beyond what is mapped now
    vm = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (vm + room if room else resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    try:
        print("ok", call())
    except BaseException as error:
        print(type(error).__name__, error)

zeros = "[" + "0," * (5 * MiB - 8) + "0]"  # its reply line is just below the line bound
with QmpPeer({"huge": [b'{"return":"' + b"x" * (9 << 20) + b'"}\\n'], "zeros": [b'{"return":' + zeros.encode() + b"}\\n"]}) as peer:
    client = _QmpClient(peer.path)
    client.connect(5.0, 30.0)
    attempt(lambda: client.execute("huge", None), 4 * MiB)
    attempt(lambda: [client.execute("after", None), peer.connections])
    attempt(lambda: client.execute("zeros", None) == zeros, 96 * MiB)
""")
    assert child.stdout.splitlines() == ["MemoryError ", "ok ['{}', 2]", "ok True"], child.stderr


STRESS_PEER = """
import json
from peers import QmpPeer, dribble, echo, reply
# A process of its own: answers never wait for the test's interpreter lock.
jobs = [reply([{"id": "j", "status": "concluded"}])]
with QmpPeer({"echo": lambda c, r: dribble(echo(c, r)[0], 40, 0.0002), "query-jobs": jobs}, directory=sys.argv[1]) as peer:
    print(peer.path, flush=True)
    sys.stdin.read()
print(json.dumps([line.decode() for line in peer.lines]), peer.connections, peer.errors)
"""


def test_a_shared_client_under_stress(tmp_path):
    """Twelve threads call one client (close and connect too) at random: each call gets its own answer, and the peer
    sees one whole line per call that sends one."""
    peer = subprocess.Popen(
        python_command(STRESS_PEER, tmp_path), stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    client, sent = _QmpClient(peer.stdout.readline().strip()), []
    calls = {
        "connect": lambda: client.connect(5.0, 30.0),
        "close": client.close,
        "job-dismiss": lambda: json.loads(client.wait_for_job("j", 10.0, 0.0))["job_id"] == "j",
    }

    def worker(t):
        rng, value, stop_at = random.Random(t), {"s": 'é\n"' * t, "t": t}, time.monotonic() + 3
        text, compact = json.dumps(value, indent=1), json.dumps(value, separators=(",", ":"), ensure_ascii=False)
        for n in itertools.count():
            if n >= 50 and time.monotonic() > stop_at:
                return
            sent.append(name := rng.choice(["echo", *calls]))
            assert client.execute("echo", text) == compact if name == "echo" else calls[name]() is not False, name

    assert not in_threads(*[lambda t=t: worker(t) for t in range(12)]) and not in_threads.failures
    client.close()
    lines, connections, errors = peer.communicate("", timeout=30)[0].rsplit(" ", 2)
    received = collections.Counter(json.loads(line)["execute"] for line in json.loads(lines))  # each a whole command
    assert errors.strip() == "[]" and received["qmp_capabilities"] == int(connections) > 1
    assert all(received[name] == sent.count(name) for name in ("echo", "job-dismiss"))
