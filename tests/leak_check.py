"""Leak checks: repeat a call and compare the interpreter's total reference count
and the process's open descriptors before and after.

    assert_no_leak(lambda: ffi.create_tap(1, 0), Raises(TypeError, "argument ..."))

Every repetition is checked against the expected outcome, so a path that stops
failing (or stops succeeding) is noticed too. The reference count needs a debug
interpreter (`./dev leaks`); elsewhere only the descriptors are compared.
"""

import gc
import os
import socket
import sys
import threading
import time
from dataclasses import dataclass

REPEAT = 1000
# Lazily filled caches (the type attribute cache, specialised bytecode, interned
# names, free lists) settle during the warm-up.
WARMUP = 30
# A leak of one reference or descriptor per call grows the counts by REPEAT.
# What is allowed is what is alive by chance at either snapshot: objects of a
# serving thread in the middle of its loop (a received chunk, a timeout
# exception), a few dozen references at most, and a peer's socket that is
# still closing.
REFERENCE_TOLERANCE = 100
DESCRIPTOR_TOLERANCE = 2

HAS_TOTAL_REFCOUNT = hasattr(sys, "gettotalrefcount")

# Paths that wait on purpose (the socket wait's 25 ms pause) repeat 1,000 times
# under the debug interpreter (`./dev leaks`); in the plain suite they repeat
# fewer times to keep it fast, which still shows a descriptor lost per call.
SLOW_REPEAT = REPEAT if HAS_TOTAL_REFCOUNT else 200
# A serving thread answers sooner when the calling thread hands over the
# interpreter lock sooner.
SWITCH_INTERVAL = 0.0002


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def total_references() -> int:
    return sys.gettotalrefcount() if HAS_TOTAL_REFCOUNT else 0


@dataclass(frozen=True)
class Raises:
    """The call raises exactly this type; with `args`, exactly these arguments."""

    type: type
    message: str | None = None


@dataclass(frozen=True)
class Returns:
    value: object


def _check(call, outcome):
    try:
        result = call()
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        if not isinstance(outcome, Raises) or type(error) is not outcome.type:
            raise AssertionError(f"expected {outcome}, got {type(error).__name__}: {error}") from error
        if outcome.message is not None and error.args != (outcome.message,):
            raise AssertionError(f"expected {outcome}, got {type(error).__name__}: {error}") from error
        return
    if not isinstance(outcome, Returns) or result != outcome.value:
        raise AssertionError(f"expected {outcome}, got the result {result!r}")


def _snapshot(settle):
    if settle is not None:
        settle()
    gc.collect()
    return total_references(), open_descriptors()


def assert_no_leak(call, outcome, *, settle=None, repeat=REPEAT):
    """Runs `call` WARMUP + `repeat` times; `settle` (if any) runs before each
    snapshot to bring helpers (peers) to rest and drop their records."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(SWITCH_INTERVAL)
    try:
        for _ in range(WARMUP):
            _check(call, outcome)
        references, descriptors = _snapshot(settle)
        for _ in range(repeat):
            _check(call, outcome)
        references_after, descriptors_after = _snapshot(settle)
    finally:
        sys.setswitchinterval(interval)
    assert descriptors_after - descriptors <= DESCRIPTOR_TOLERANCE, (
        f"{descriptors_after - descriptors} more open descriptors after {repeat} calls"
    )
    if HAS_TOTAL_REFCOUNT:
        assert references_after - references <= REFERENCE_TOLERANCE, (
            f"{references_after - references} more references after {repeat} calls"
        )


class HttpPeer:
    """A minimal HTTP peer on a Unix socket that keeps no records, so it does
    not grow while a call is repeated. Each connection: read the request head
    and its Content-Length body, send `response` (None: send nothing and wait
    for the client to give up), close."""

    def __init__(self, path, response):
        self.path = path
        self.response = response
        self._listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._listener.bind(path)
        self._listener.listen(16)
        self._listener.settimeout(0.05)
        self._stopping = False
        self._busy = False
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
            self._busy = True
            try:
                with conn:
                    self._answer(conn)
            finally:
                self._busy = False

    def _answer(self, conn):
        conn.settimeout(10.0)
        data = b""
        try:
            while b"\r\n\r\n" not in data:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                data += chunk
            head, _, body = data.partition(b"\r\n\r\n")
            length = 0
            for line in head.split(b"\r\n"):
                name, _, value = line.partition(b":")
                if name.lower() == b"content-length":
                    length = int(value)
            while len(body) < length:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                body += chunk
            if self.response is not None:
                conn.sendall(self.response)
            else:
                while conn.recv(65536):  # until the client closes
                    pass
        except OSError:
            pass

    def settle(self, limit=10.0):
        """Waits until no connection is being served."""
        deadline = time.monotonic() + limit
        while self._busy and time.monotonic() < deadline:
            time.sleep(0.001)

    def stop(self):
        self._stopping = True
        self._thread.join(10)
        self._listener.close()
