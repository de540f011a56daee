"""A scripted HTTP peer on a Unix socket for the API client tests.

Each accepted connection reads one request (recorded byte for byte), then plays
a script: byte segments to send, pauses, an early close, or silence until the
client gives up. After the script the peer waits for the client to close its
end, so a test can see that every connection is closed.
"""

import os
import shutil
import socket
import tempfile
import threading
import time
from dataclasses import dataclass, field


@dataclass(frozen=True)
class Pause:
    seconds: float


@dataclass(frozen=True)
class AwaitClose:
    """Wait up to `seconds` for the client to close; end the script if it does.
    Whether a client is still reading then does not depend on timing."""

    seconds: float


@dataclass(frozen=True)
class Close:
    """Close the connection at this point of the script."""


@dataclass(frozen=True)
class Silence:
    """Send nothing more; wait until the client closes (its timeout)."""


CLOSE = Close()
SILENCE = Silence()


def short_temp_dir():
    """A fresh directory with a short path: sun_path holds only ~104 bytes."""
    return tempfile.mkdtemp(prefix="fc", dir="/tmp")


def remove_dir(path):
    shutil.rmtree(path, ignore_errors=True)


def read_request(conn, limit=30.0):
    """One request: the head up to the blank line, then Content-Length bytes."""
    conn.settimeout(limit)
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return data
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    while len(rest) < length:
        chunk = conn.recv(65536)
        if not chunk:
            break
        rest += chunk
    return head + b"\r\n\r\n" + rest


def wait_for_client_close(conn, limit):
    """True when the client closed its end within `limit` seconds."""
    conn.settimeout(limit)
    try:
        while conn.recv(65536):
            pass
    except (TimeoutError, OSError):
        return False
    return True


@dataclass
class Connection:
    request: bytes = b""
    client_closed: bool = False


@dataclass
class ScriptedPeer:
    """Serves `scripts` on a Unix socket, one script per connection in order
    (the last one repeats). A script is a list of bytes, Pause, AwaitClose, Close, Silence
    or callables (run in the peer thread with the connection)."""

    path: str
    scripts: list
    read_first: bool = True
    connections: list = field(default_factory=list)

    def __post_init__(self):
        self._listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._listener.bind(self.path)
        self._listener.listen(16)
        self._listener.settimeout(0.05)
        self._stopping = False
        self.finished = 0  # connections played to the end and closed
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while not self._stopping:
            try:
                conn, _ = self._listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            record = Connection()
            self.connections.append(record)
            index = min(len(self.connections), len(self.scripts)) - 1
            with conn:
                self._play(conn, record, self.scripts[index])
            self.finished += 1

    def _play(self, conn, record, script):
        if self.read_first:
            record.request = read_request(conn)
        for step in script:
            if isinstance(step, bytes):
                try:
                    conn.sendall(step)
                except OSError:  # the client has gone
                    record.client_closed = True
                    return
            elif isinstance(step, Pause):
                time.sleep(step.seconds)
            elif isinstance(step, AwaitClose):
                conn.settimeout(step.seconds)
                try:
                    if conn.recv(1) == b"":
                        record.client_closed = True
                        return
                except TimeoutError:
                    pass
                finally:
                    conn.settimeout(None)
            elif isinstance(step, Close):
                return
            elif isinstance(step, Silence):
                break
            else:
                step(conn)
        record.client_closed = wait_for_client_close(conn, 30.0)

    @property
    def requests(self):
        return [c.request for c in self.connections]

    def wait_finished(self, count, limit=35.0):
        deadline = time.monotonic() + limit
        while self.finished < count and time.monotonic() < deadline:
            time.sleep(0.005)
        return self.finished >= count

    def stop(self):
        self._stopping = True
        self._thread.join(timeout=35)
        self._listener.close()
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def expected_request(method, path, body=b""):
    """The exact bytes the client must send."""
    return (
        f"{method} {path} HTTP/1.1\r\n".encode()
        + b"Host: localhost\r\n"
        + b"Accept: application/json\r\n"
        + b"Content-Type: application/json\r\n"
        + f"Content-Length: {len(body)}\r\n".encode()
        + b"Connection: close\r\n"
        + b"\r\n"
        + body
    )
