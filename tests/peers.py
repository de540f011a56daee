"""Scripted peers on Unix sockets, served by a thread, and helpers shared by the tests.

A script is a list of actions: bytes (sent as they are), Delay(seconds), CLOSE
(end the connection here), SILENCE (send nothing more, wait for the client to
close) or a callable taking the connection socket (for example a Stream).
"""

import contextlib
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import weakref
from dataclasses import dataclass

MiB = 1 << 20
HERE = os.path.dirname(os.path.abspath(__file__))
GREETING = b'{"QMP":{"version":{"qemu":{"micro":0,"minor":0,"major":11},"package":""},"capabilities":["oob"]}}\n'
CAPS = b'{"execute":"qmp_capabilities"}\n'
OK = b'{"return":{}}\n'
EVENT = b'{"event":"STOP","data":{},"timestamp":{"seconds":1,"microseconds":2}}\n'
CLOSE, SILENCE = "CLOSE", "SILENCE"
LIVE = weakref.WeakSet()  # peers to bring to rest between repetitions in leak mode


@dataclass(frozen=True)
class Delay:
    seconds: float


def reply(value):
    return b'{"return":' + json.dumps(value, separators=(",", ":")).encode() + b"}\n"


def error_reply(error_class, desc):
    return json.dumps({"error": {"class": error_class, "desc": desc}}, separators=(",", ":")).encode() + b"\n"


def os_text(number):
    return f"{os.strerror(number)} (os error {number})"


def qmp_error(caught):
    """The JSON object carried by a QMP RuntimeError (pytest.raises info or the exception)."""
    error = getattr(caught, "value", caught)
    assert type(error) is RuntimeError and len(error.args) == 1
    return json.loads(error.args[0])


def open_fds():
    fds = set()
    for name in os.listdir("/proc/self/fd" if os.path.isdir("/proc/self/fd") else "/dev/fd"):
        try:
            os.fstat(int(name))  # the listing's own descriptor is closed by now
            fds.add(int(name))
        except OSError:
            pass
    return fds


def need(*tools):
    import pytest

    missing = [tool for tool in tools if shutil.which(tool) is None]
    return pytest.mark.skipif(bool(missing), reason=f"not installed: {missing}")


def tool_env():
    """The environment for tools that are not instrumented: no sanitizer runtime preloaded."""
    env = dict(os.environ)
    runtime = env.pop("CORVANE_SANITIZER_PRELOAD", None)
    kept = [e for e in env.pop("LD_PRELOAD", "").split(":") if e and e != runtime]
    if kept:
        env["LD_PRELOAD"] = ":".join(kept)
    return env


def python_command(code, *args):
    """A fresh interpreter running `code` with the tests directory importable."""
    return [sys.executable, "-c", f"import sys; sys.path.insert(0, {HERE!r})\n" + code, *map(str, args)]


def run_python(code, *args, env=None, timeout=120):
    return subprocess.run(python_command(code, *args), capture_output=True, text=True, env=env, timeout=timeout)


@contextlib.contextmanager
def other_thread_runs(at_least):
    """The body must let another Python thread run at least `at_least` times (5 ms apart)."""
    count, done = [0], threading.Event()

    def tick():
        while not done.wait(0.005):
            count[0] += 1

    thread = threading.Thread(target=tick)
    thread.start()
    try:
        yield
    finally:
        done.set()
        thread.join()
    assert count[0] >= at_least, f"the other thread ran {count[0]} times"


@contextlib.contextmanager
def signals_arriving():
    """A signal with a Python handler every 2 ms during the body: blocking calls see EINTR."""
    ticks = []
    previous = signal.signal(signal.SIGALRM, lambda *_: ticks.append(1))
    signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert ticks


def dribble(data, size, pause=0.001):
    """`data` in pieces of `size` bytes with a pause after each."""
    return [step for at in range(0, len(data), size) for step in (data[at : at + size], Delay(pause))]


class Stream:
    """Sends `chunk` over and over until the client stops reading or `limit` bytes went out."""

    def __init__(self, limit=64 * MiB, chunk=b"a" * 65536):
        self.limit, self.chunk, self.sent, self.finished = limit, chunk, 0, False

    def __call__(self, conn):
        try:
            while self.sent < self.limit:
                self.sent += conn.send(self.chunk)
        except OSError:
            pass
        self.finished = True


class Peer:
    """Accepts connections one after the other and serves each with `serve`."""

    def __init__(self, directory=None, listen_after=0.0):
        self._tmp = None if directory else tempfile.mkdtemp(prefix="peer", dir="/tmp")
        self.path = os.path.join(directory or self._tmp, "peer.sock")
        self.listen_after, self.connections, self.errors, self.busy = listen_after, 0, [], False
        self._stop, self._listening = threading.Event(), threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        LIVE.add(self)

    def __enter__(self):
        self._thread.start()
        if not self.listen_after:
            self._listening.wait(10)
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(60)
        if self._tmp:
            shutil.rmtree(self._tmp, ignore_errors=True)

    def _serve(self):
        try:
            if self._stop.wait(self.listen_after):
                return
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.path)  # a stale socket file
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as server:
                server.bind(self.path)
                server.listen(16)
                server.settimeout(0.01)
                self._listening.set()
                while not self._stop.is_set():
                    try:
                        conn, _ = server.accept()
                    except TimeoutError:
                        continue
                    self.busy = True
                    self.connections += 1
                    with conn:
                        conn.settimeout(60)
                        try:
                            self.serve(conn)
                        except OSError:
                            pass
                    self.busy = False
        except BaseException as error:  # noqa: BLE001 - the test sees it in errors
            self.errors.append(error)

    def recv(self, conn):
        """The next bytes from the client; b"" when it closed or the peer stops."""
        while not self._stop.is_set():
            if select.select([conn], [], [], 0.01)[0]:
                return conn.recv(65536)
        return b""

    def perform(self, conn, actions):
        """Plays the actions; False when the connection is to end."""
        for action in actions:
            if isinstance(action, Delay):
                time.sleep(action.seconds)
            elif action is CLOSE:
                return False
            elif action is SILENCE:
                while self.recv(conn):
                    pass
                return False
            elif callable(action):
                action(conn)
            else:
                conn.sendall(action)
        return True

    def idle(self):
        """Waits until no connection is being served."""
        deadline = time.monotonic() + 5
        while self.busy and time.monotonic() < deadline:
            time.sleep(0.001)


class QmpPeer(Peer):
    """Greets each connection (`greeting`: actions, or a function of the connection
    number giving them), answers qmp_capabilities when `negotiate`, and every other
    line with `handler(command, raw)` (or, when it is a dict, by command name; a
    value may be a function of (command, raw)). Records every line received."""

    def __init__(self, handler=None, greeting=(GREETING,), negotiate=True, **options):
        super().__init__(**options)
        self.handler, self.greeting, self.negotiate, self.lines = handler or {}, greeting, negotiate, []

    def commands(self):
        return [line for line in self.lines if line != CAPS]

    def settle(self):  # between repetitions in leak mode: the connection may stay
        self.lines.clear()

    def answer(self, raw):
        try:
            command = json.loads(raw)
        except ValueError:
            command = None
        if self.negotiate and raw == CAPS:
            return [OK]
        if callable(self.handler):
            return self.handler(command, raw)
        actions = self.handler.get(command.get("execute") if isinstance(command, dict) else None, [OK])
        return actions(command, raw) if callable(actions) else actions

    def serve(self, conn):
        greeting = self.greeting(self.connections) if callable(self.greeting) else self.greeting
        if not self.perform(conn, greeting):
            return
        pending = b""
        while data := self.recv(conn):
            pending += data
            while b"\n" in pending:
                raw, pending = pending.split(b"\n", 1)
                self.lines.append(raw + b"\n")
                if not self.perform(conn, self.answer(raw + b"\n")):
                    return


def echo(command, raw):
    """Answers with the command's "arguments" bytes exactly as the client wrote them."""
    prefix = b'{"arguments":'
    return [b'{"return":' + raw[len(prefix) : raw.rindex(b',"execute":')] + b"}\n"]


class HttpPeer(Peer):
    """Reads one request per connection (recorded in `requests`), plays the next
    script (the last one repeats), then waits for the client to close."""

    def __init__(self, *scripts, read_first=True, **options):
        super().__init__(**options)
        self.scripts, self.read_first, self.requests = list(scripts), read_first, []

    def serve(self, conn):
        script = self.scripts[min(self.connections, len(self.scripts)) - 1]
        if self.read_first:
            self.requests.append(self.read_request(conn))
        if self.perform(conn, script):
            while self.recv(conn):
                pass

    def read_request(self, conn):
        data = b""
        while b"\r\n\r\n" not in data and (chunk := self.recv(conn)):
            data += chunk
        head = data.partition(b"\r\n\r\n")[0].lower()
        length = int(head.split(b"content-length:")[1].split(b"\r\n")[0]) if b"content-length:" in head else 0
        while len(data) < len(head) + 4 + length and (chunk := self.recv(conn)):
            data += chunk
        return data

    def settle(self):  # between repetitions in leak mode
        self.idle()
        self.requests.clear()


def http_response(status="200 OK", *headers, body=None):
    """A response head with the given header lines (Content-Length added for a body), then the body."""
    lines = [f"HTTP/1.1 {status}", *headers] + ([f"Content-Length: {len(body)}"] if body is not None else [])
    return "".join(line + "\r\n" for line in lines).encode() + b"\r\n" + (body or b"")


def settle_all():
    for peer in list(LIVE):
        peer.settle()
