"""Signals during blocking calls, in a subprocess: a handler that raises ends the call with its exception;
one that returns lets the call go on with its original deadline; one that uses the same client is refused."""

import json
import os
import subprocess
import sys

import pytest

SCRIPT = r"""
import json, os, signal, socket, sys, tempfile, threading, time
sys.path.insert(0, sys.argv[1])
from corvane_core import _ffi
from qmp_peer import Delay, QmpPeer, reply
d, kept = tempfile.mkdtemp(), []
peer = QmpPeer(lambda c, r: {"x": [], "slow": [Delay(0.5), reply("x")]}.get(c["execute"], [reply("y")])).start()
def qmp(read_timeout):
    client = _ffi._QmpClient(peer.path); client.connect(5.0, read_timeout); return client
def listener(answer=b""):
    s = socket.socket(socket.AF_UNIX); s.bind(os.path.join(d, "api")); s.listen(4); kept.append(s)
    serve = lambda c: (c.recv(4096), time.sleep(0.5), c.sendall(answer))
    answer and threading.Thread(target=lambda: serve(s.accept()[0]), daemon=True).start()
    return s.getsockname()
os.mkfifo(os.path.join(d, "fifo")); writer = os.open(os.path.join(d, "fifo"), os.O_RDWR)
client = qmp(1.0 if sys.argv[3] == "timeout" else 30.0)
calls = {"execute": lambda: client.execute("x", None), "timeout": lambda: client.execute("x", None),
         "connect": lambda: _ffi._QmpClient(d + "/absent").connect(30.0, 1.0),
         "request": lambda: _ffi.firecracker_request(listener(), "GET", "/", None, 30.0),
         "late request": lambda: _ffi.firecracker_request(
             listener(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"), "GET", "/", None, 30.0),
         "wait": lambda: _ffi.firecracker_wait_for_socket(d + "/absent", 30.0),
         "decompress": lambda: _ffi.decompress_zstd_sparse(d + "/fifo", d + "/out"),
         "reenter": lambda: client.execute("slow", None)}
seen = set()
def handler(*_):
    if sys.argv[2] == "raise": raise KeyboardInterrupt
    if sys.argv[3] == "reenter":
      try: client.execute("y", None)
      except RuntimeError as error: seen.add(json.loads(str(error))["message"])
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.3, 0 if sys.argv[2] == "raise" else 0.02)
start = time.monotonic()
try: outcome = repr(calls[sys.argv[3]]())
except BaseException as error: outcome = type(error).__name__ + " " + str(error)
elapsed = time.monotonic() - start
signal.setitimer(signal.ITIMER_REAL, 0)
print(json.dumps([outcome, elapsed, client.execute("y", None), peer.connections, sorted(os.listdir(d)), sorted(seen)]))
"""


def run(mode, name):
    done = subprocess.run([sys.executable, "-c", SCRIPT, os.path.dirname(__file__), mode, name],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize("name", ["execute", "connect", "request", "wait", "decompress"])
def test_a_handler_that_raises_ends_the_call_with_its_exception(name):
    outcome, elapsed, after, connections, files, _ = run("raise", name)
    assert outcome.startswith("KeyboardInterrupt") and elapsed < 5
    assert (after, connections) == ('"y"', 2 if name == "execute" else 1)  # an interrupted exchange was closed
    assert files == ["api", "fifo"] if name == "request" else ["fifo"]  # no output left behind


@pytest.mark.parametrize("name, expected", [
    ("timeout", "RuntimeError"), ("late request", "(200, '{}')"), ("reenter", "'\"x\"'")])
def test_a_handler_that_returns_keeps_the_original_deadline(name, expected):
    outcome, elapsed, _, _, _, seen = run("periodic", name)
    assert outcome.startswith(expected) and elapsed < 5
    reentered = "client already in use by a call on this thread (called from a signal handler)"
    assert seen == ([reentered] if name == "reenter" else [])
