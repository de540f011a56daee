"""Scripted peers on Unix sockets, each served by a thread, and helpers shared by the tests. A script is a list of
actions: bytes (sent as they are), Delay(seconds), CLOSE (end the connection here), SILENCE (send nothing more, wait
for the client to close) or a callable taking the connection."""

import contextlib
import json
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import weakref

import pytest

MiB, HERE, CLOSE, SILENCE = 1 << 20, os.path.dirname(os.path.abspath(__file__)), "CLOSE", "SILENCE"
GREETING = b'{"QMP":{"version":{"qemu":{"micro":0,"minor":0,"major":11},"package":""},"capabilities":["oob"]}}\n'
CAPS, OK = b'{"execute":"qmp_capabilities"}\n', b'{"return":{}}\n'
EVENT = b'{"event":"STOP","data":{},"timestamp":{"seconds":1,"microseconds":2}}\n'
# The Linux form has native networking and clones; `./dev test --portable` builds the form without them.
LINUX_FORM = sys.platform == "linux" and os.environ.get("CORVANE_FORM") != "portable"
LIVE, Delay = weakref.WeakSet(), float  # peers to bring to rest between repetitions in leak mode; a pause


def reply(value):
    return b'{"return":' + json.dumps(value, separators=(",", ":")).encode() + b"}\n"


def error_reply(error_class, desc):
    return json.dumps({"error": {"class": error_class, "desc": desc}}, separators=(",", ":")).encode() + b"\n"


def os_text(number):
    return f"{os.strerror(number)} (os error {number})"


def result_or_text(call):
    """The call's result, or the text of the OSError it raised, which carries nothing else."""
    try:
        return call()
    except OSError as error:
        assert type(error) is OSError and (error.errno, error.strerror, error.filename) == (None, None, None)
        return error.args[0]


def qmp_error(caught):
    """The JSON object carried by a QMP RuntimeError (or pytest.raises' record of one): compact, members sorted."""
    error = getattr(caught, "value", caught)
    assert type(error) is RuntimeError and len(error.args) == 1
    value = json.loads(error.args[0])
    assert error.args[0] == json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)
    return value


def panic(call):
    """The message of the PanicException that the call raises."""
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value).__name__ == "PanicException" and len(caught.value.args) == 1
    return caught.value.args[0]


def open_fds():
    fds = set()
    for name in os.listdir(
        "/proc/self/fd"
    ):  # the listing's own descriptor is closed by now; a sanitizer's report stays
        with contextlib.suppress(OSError):
            if "/sanitizer-reports/" not in os.readlink(f"/proc/self/fd/{name}"):
                fds.add(int(name))
    return fds


def need(*tools):
    missing = [tool for tool in tools if shutil.which(tool) is None]
    return pytest.mark.skipif(bool(missing), reason=f"not installed: {missing}")


def tool_env():
    """The environment for tools that are not instrumented: without a sanitizer runtime preloaded."""
    env, runtime = dict(os.environ), os.environ.get("CORVANE_SANITIZER_PRELOAD")
    env.pop("CORVANE_SANITIZER_PRELOAD", None)
    if kept := [e for e in env.pop("LD_PRELOAD", "").split(":") if e and e != runtime]:
        env["LD_PRELOAD"] = ":".join(kept)
    return env


def python_command(code, *args):
    """A fresh interpreter running `code`, with the tests directory importable."""
    return [sys.executable, "-c", f"import sys; sys.path.insert(0, {HERE!r})\n" + code, *map(str, args)]


def run_python(code, *args):
    return subprocess.run(python_command(code, *args), capture_output=True, text=True, timeout=120)


@contextlib.contextmanager
def other_thread_runs(at_least):
    """The body must let another Python thread run at least `at_least` times (5 ms apart)."""
    count, done = [], threading.Event()
    thread = threading.Thread(target=lambda: [count.append(1) for _ in iter(lambda: done.wait(0.005), True)])
    thread.start()
    try:
        yield
    finally:
        done.set()
        thread.join()
    assert len(count) >= at_least, f"the other thread ran {len(count)} times"


def in_threads(*targets):
    """Runs the functions in threads at once: the names of those still running after a minute; what they raised
    goes to in_threads.failures."""

    def run(target):
        try:
            target()
        except BaseException as error:  # noqa: BLE001 - reported to the test
            in_threads.failures.append(error)

    in_threads.failures = []
    threads = [threading.Thread(target=run, args=(target,), name=str(n)) for n, target in enumerate(targets)]
    for thread in threads:
        thread.start()
    return [thread.name for thread in threads if thread.join(60) or thread.is_alive()]


def dribble(data, size, pause=0.0002):
    return [step for at in range(0, len(data), size) for step in (data[at : at + size], Delay(pause))]


class Stream:
    """Sends `chunk` over and over until the client stops reading or 64 MiB went out."""

    def __init__(self, chunk=b"a" * 65536):
        self.chunk, self.sent, self.finished = chunk, 0, False

    def __call__(self, conn):
        with contextlib.suppress(OSError):
            while self.sent < 64 * MiB:
                self.sent += conn.send(self.chunk)
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
        self._listening.wait(10 if not self.listen_after else 0)
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
                    with contextlib.suppress(TimeoutError):
                        conn, _ = server.accept()
                        self.busy, self.connections = True, self.connections + 1
                        with conn, contextlib.suppress(OSError):
                            conn.settimeout(60)
                            self.serve(conn)
                        self.busy = False
        except BaseException as error:  # noqa: BLE001 - the test sees it in errors
            self.errors.append(error)

    def recv(self, conn):  # b"" when the client closed or the peer stops
        while not self._stop.is_set():
            if select.select([conn], [], [], 0.01)[0]:
                return conn.recv(65536)
        return b""

    def perform(self, conn, actions):  # False when the connection is to end
        for action in actions:
            if isinstance(action, Delay):
                time.sleep(action)
            elif action in (CLOSE, SILENCE):
                while action == SILENCE and self.recv(conn):
                    pass
                return False
            else:
                action(conn) if callable(action) else conn.sendall(action)
        return True

    def idle(self):  # until no connection is being served
        deadline = time.monotonic() + 5
        while self.busy and time.monotonic() < deadline:
            time.sleep(0.001)


class QmpPeer(Peer):
    """Greets each connection (`greeting`: actions, or a function of the connection's number giving
    them), answers qmp_capabilities when `negotiate`, and every other line with `handler(command,
    raw)` or, for a dict, by the command's name (a value may be such a function). Records the lines."""

    def __init__(self, handler=None, greeting=(GREETING,), negotiate=True, **options):
        super().__init__(**options)
        self.handler, self.greeting, self.negotiate, self.lines = handler or {}, greeting, negotiate, []

    def commands(self):
        return [line for line in self.lines if line != CAPS]

    def settle(self):  # between repetitions in leak mode; the connection may stay
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
        pending = b"" if self.perform(conn, greeting) else None
        while pending is not None and (data := self.recv(conn)):
            *lines, pending = (pending + data).split(b"\n")
            for line in lines:
                self.lines.append(line + b"\n")
                if not self.perform(conn, self.answer(line + b"\n")):
                    return


def echo(command, raw):
    """Answers with the command's "arguments" bytes exactly as the client wrote them."""
    return [b'{"return":' + raw[len(b'{"arguments":') : raw.rindex(b',"execute":')] + b"}\n"]


class HttpPeer(Peer):
    """Reads one request per connection (recorded in `requests`), plays the next script (the last
    one repeats), then waits for the client to close."""

    def __init__(self, *scripts, **options):
        super().__init__(**options)
        self.scripts, self.requests = list(scripts), []

    def settle(self):  # between repetitions in leak mode
        self.idle()
        self.requests.clear()

    def serve(self, conn):  # the request: its head, then Content-Length bytes
        data = b""
        while b"\r\n\r\n" not in data and (chunk := self.recv(conn)):
            data += chunk
        head = data.partition(b"\r\n\r\n")[0].lower()
        length = int(head.split(b"content-length:")[1].split(b"\r\n")[0]) if b"content-length:" in head else 0
        while len(data) < len(head) + 4 + length and (chunk := self.recv(conn)):
            data += chunk
        self.requests.append(data)
        if self.perform(conn, self.scripts[min(self.connections, len(self.scripts)) - 1]):
            while self.recv(conn):
                pass


def settle_all():
    for peer in list(LIVE):
        peer.settle()
