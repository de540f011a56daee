"""A scripted QMP peer: serves a Unix socket from a thread and records every byte.

    with QmpPeer(handler) as peer:
        client = _QmpClient(peer.path)
        ...
        assert peer.lines == [b'{"execute":"qmp_capabilities"}\n', ...]

Each accepted connection gets the greeting (unless told otherwise), then every
received line is recorded (as bytes, line feed included) and answered:
"qmp_capabilities" with {"return":{}} when `negotiate` is set, every other line
by the handler. A handler takes the parsed command (or None when the line is
not JSON) and the raw line, and returns a list of actions:

    b"..."        bytes sent as they are (several lines, part of a line, ...)
    Delay(0.2)    a pause before the next action
    CLOSE         close this connection (the peer then accepts the next one)
    a callable    called with the connection socket (for example to stream data)

Connections are served one after the other, so a client that reconnects after
`close()` is served again with a fresh greeting.
"""

import json
import os
import socket
import tempfile
import threading
import time
from dataclasses import dataclass

GREETING = b'{"QMP":{"version":{"qemu":{"micro":0,"minor":0,"major":11},"package":""},"capabilities":["oob"]}}\n'
EMPTY_RETURN = b'{"return":{}}\n'


@dataclass(frozen=True)
class Delay:
    seconds: float


class _Close:
    def __repr__(self):
        return "CLOSE"


CLOSE = _Close()


def reply(value) -> bytes:
    """A success reply line carrying `value`."""
    return b'{"return":' + json.dumps(value, separators=(",", ":")).encode() + b"}\n"


def error_reply(error_class, desc) -> bytes:
    return json.dumps({"error": {"class": error_class, "desc": desc}}, separators=(",", ":")).encode() + b"\n"


def empty_return(command, raw):
    return [EMPTY_RETURN]


def raw_arguments(raw: bytes) -> bytes | None:
    """The bytes of the "arguments" member exactly as the client wrote them.

    The client writes {"arguments":X,"execute":"NAME"}; X is everything between
    the first member's colon and the last ',"execute":'.
    """
    prefix = b'{"arguments":'
    if not raw.startswith(prefix):
        return None
    return raw[len(prefix) : raw.rindex(b',"execute":')]


def echo_arguments(command, raw):
    """Answers with the command's own "arguments" bytes as the return value."""
    arguments = raw_arguments(raw)
    return [b'{"return":' + (arguments if arguments is not None else b"null") + b"}\n"]


class QmpPeer:
    def __init__(self, handler=empty_return, *, greeting=GREETING, negotiate=True, on_accept=None,
                 listen_after=0.0, directory=None):
        self.handler = handler
        self.greeting = greeting
        self.negotiate = negotiate
        # Actions taken right after accepting, instead of sending the greeting;
        # or a callable taking the connection's number (1, 2, ...) and
        # returning them.
        self.on_accept = on_accept
        # Seconds before the socket is bound: a socket that appears late.
        self.listen_after = listen_after
        self._tmp = None
        if directory is None:
            self._tmp = tempfile.TemporaryDirectory(prefix="qmp-peer-")
            directory = self._tmp.name
        self.path = os.path.join(directory, "qmp.sock")
        self.lines: list[bytes] = []
        self.connections = 0
        self.errors: list[BaseException] = []
        self._stop = threading.Event()
        self._listening = threading.Event()
        self._thread = None
        self._server = None
        self._lock = threading.Lock()

    # -- lifecycle -----------------------------------------------------------

    def start(self):
        self._thread = threading.Thread(target=self._serve, name="qmp-peer", daemon=True)
        self._thread.start()
        if self.listen_after == 0:
            self._listening.wait(5)
        return self

    def stop(self):
        self._stop.set()
        if self._thread is not None:
            self._thread.join(10)
        if self._server is not None:
            self._server.close()
        if self._tmp is not None:
            self._tmp.cleanup()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def commands(self) -> list[bytes]:
        """Recorded lines other than the capability negotiation."""
        with self._lock:
            return [line for line in self.lines if line != b'{"execute":"qmp_capabilities"}\n']

    def wait_for_lines(self, count, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._lock:
                if len(self.lines) >= count:
                    return True
            time.sleep(0.005)
        return False

    # -- serving -------------------------------------------------------------

    def _serve(self):
        try:
            if self.listen_after:
                if self._stop.wait(self.listen_after):
                    return
            server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            server.bind(self.path)
            server.listen(8)
            server.settimeout(0.05)
            self._server = server
            self._listening.set()
            while not self._stop.is_set():
                try:
                    conn, _ = server.accept()
                except TimeoutError:
                    continue
                with conn:
                    self.connections += 1
                    self._serve_connection(conn)
        except BaseException as error:  # noqa: BLE001 - reported to the test
            self.errors.append(error)

    def _perform(self, conn, actions) -> bool:
        """Runs the actions; False when the connection was closed."""
        for action in actions:
            if isinstance(action, Delay):
                time.sleep(action.seconds)
            elif action is CLOSE:
                conn.shutdown(socket.SHUT_RDWR)
                return False
            elif callable(action):
                action(conn)
            else:
                conn.sendall(action)
        return True

    def _serve_connection(self, conn):
        conn.settimeout(0.05)
        first = self.on_accept if self.on_accept is not None else ([self.greeting] if self.greeting else [])
        if callable(first):
            first = first(self.connections)
        try:
            if not self._perform(conn, first):
                return
        except OSError:  # the client went away before the greeting
            return
        pending = b""
        while not self._stop.is_set():
            try:
                data = conn.recv(65536)
            except TimeoutError:
                continue
            except OSError:
                return
            if not data:
                return
            pending += data
            while b"\n" in pending:
                raw, pending = pending.split(b"\n", 1)
                raw += b"\n"
                with self._lock:
                    self.lines.append(raw)
                try:
                    command = json.loads(raw)
                except ValueError:
                    command = None
                if self.negotiate and raw == b'{"execute":"qmp_capabilities"}\n':
                    actions = [EMPTY_RETURN]
                else:
                    actions = self.handler(command, raw)
                try:
                    if not self._perform(conn, actions):
                        return
                except OSError:
                    return
