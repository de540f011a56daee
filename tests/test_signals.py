"""Signals in blocking calls, a subprocess each: a handler that raises ends the call, one that returns does not."""

import json

import pytest
from peers import run_python

SCRIPT = r"""
import json, os, signal, tempfile, threading, time
from corvane_core import _ffi
from peers import Delay, HttpPeer, QmpPeer, reply

(mode, name), d, seen = sys.argv[1:], tempfile.mkdtemp(), set()
jobs = [reply([{"id": "j", "status": "running"}])]
peer = QmpPeer({"execute": [], "timeout": [], "long": [Delay(6), reply("x")], "query-jobs": jobs})
client = _ffi._QmpClient(peer.__enter__().path)
client.connect(1e18, 1.0 if name == "timeout" else 1e18)  # beyond what socket timeouts hold
api = HttpPeer([Delay(6 if mode == "raise" else 0.5), b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"]).__enter__()
os.mkfifo(d + "/fifo")
os.open(d + "/fifo", os.O_RDWR)  # a writer that sends nothing
os.mkfifo(d + "/unwritten")  # a FIFO's open waits for a writer
if name == "busy":  # another thread's call holds the client
    threading.Thread(target=client.execute, args=("long", None)).start()
    while len(peer.lines) < 2:
        time.sleep(0.01)
calls = {
    "connect": lambda: _ffi._QmpClient(d + "/absent").connect(30.0 if mode == "raise" else 0.5, 1.0),
    "job wait": lambda: client.wait_for_job("j", 0.5, 0.01),
    "request": lambda: _ffi.firecracker_request(api.path, "GET", "/", None, 30.0),
    "wait": lambda: _ffi.firecracker_wait_for_socket(d + "/absent", 30.0),
    "decompress": lambda: _ffi.decompress_zstd_sparse(d + "/fifo", d + "/out"),
    "open": lambda: _ffi.decompress_zstd_sparse(d + "/unwritten", d + "/out"),
}


def outcome(call):
    try:
        return repr(call())
    except BaseException as error:
        return f"{type(error).__name__} {error}"


def handler(*_):
    if mode == "raise":
        raise KeyboardInterrupt
    if name == "timeout":
        seen.add(outcome(lambda: client.execute("y", None)))


signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.3, 0 if mode == "raise" else 0.02)
start = time.monotonic()
result = outcome(calls.get(name, lambda: client.execute(name, None)))
elapsed = time.monotonic() - start
signal.setitimer(signal.ITIMER_REAL, 0)
print(json.dumps([result, elapsed, client.execute("y", None), peer.connections, sorted(seen)]))
"""

RAISING = ["execute", "connect", "request", "wait", "decompress", "open", "busy"]
RETURNING = {
    "timeout": "Resource temporarily unavailable",
    "connect": "Timed out waiting for QMP socket",
    "job wait": '"last_status":"running"',
    "request": "(200, '{}')",
}


@pytest.mark.parametrize(
    "mode, name, expected",
    [("raise", name, "KeyboardInterrupt") for name in RAISING]
    + [("periodic", name, text) for name, text in RETURNING.items()],
)
def test_signal_during_a_blocking_call(mode, name, expected):
    done = run_python(SCRIPT, mode, name)
    assert done.returncode == 0, done.stderr
    outcome, elapsed, after, connections, seen = json.loads(done.stdout)
    assert expected in outcome and elapsed < 5  # a timer every 20 ms used to restart each receive
    assert (after, connections) == ("{}", 2 if name in ("execute", "timeout") else 1)  # closed mid-exchange
    in_use = "client already in use by a call on this thread (called from a signal handler)"
    assert [in_use in text for text in seen] == [True] * (name == "timeout")
