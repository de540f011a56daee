"""No reference or descriptor leaks in the Firecracker API client: every
failure of an exchange, the successes, the socket wait and the panics of
impossible timeouts, against minimal in-process peers (tests/leak_check.py)."""

import errno
import math
import os
import shutil
import socket
import tempfile

import pytest

import corvane_core._ffi as ffi
from leak_check import REPEAT, SLOW_REPEAT, HttpPeer, Raises, Returns, assert_no_leak


def os_text(code):
    return f"{os.strerror(code)} (os error {code})"


def head(*lines):
    return "".join(line + "\r\n" for line in lines).encode() + b"\r\n"


RESPONSES = {
    "ok": head("HTTP/1.1 200 OK", "Content-Length: 7") + b'{"a":1}',
    "no content": head("HTTP/1.1 204 No Content"),
    "until close": head("HTTP/1.1 200 OK") + b"body \xff",
    "closed at once": b"",
    "no status": b"\r\n\r\n",
    "no status code": head("HTTP/1.1"),
    "bad status": head("HTTP/1.1 2OO"),
    "status too large": head("HTTP/1.1 99999"),
    "bad length": head("HTTP/1.1 200 OK", "Content-Length: x"),
    "empty length": head("HTTP/1.1 200 OK", "Content-Length:"),
    "headers too large": b"HTTP/1.1 200 OK\r\n" + b"X-Fill: " + b"c" * 70000,
    "short body": head("HTTP/1.1 200 OK", "Content-Length: 5") + b"hel",
    "huge body": head("HTTP/1.1 200 OK", f"Content-Length: {2**50}") + b"partial",
    "silent": None,
}


@pytest.fixture(scope="module")
def peers():
    directory = tempfile.mkdtemp(prefix="fcl", dir="/tmp")
    served = {name: HttpPeer(os.path.join(directory, f"{index}.sock"), response)
              for index, (name, response) in enumerate(RESPONSES.items())}
    # Bound but not listening: the connection is refused.
    refusing = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    refusing.bind(os.path.join(directory, "refusing.sock"))
    paths = {name: peer.path for name, peer in served.items()}
    paths["refusing"] = os.path.join(directory, "refusing.sock")
    paths["missing"] = os.path.join(directory, "missing.sock")
    yield served, paths
    for peer in served.values():
        peer.stop()
    refusing.close()
    shutil.rmtree(directory, ignore_errors=True)


def request(name, method="GET", body=None, timeout=5.0):
    return lambda paths: ffi.firecracker_request(paths[name], method, "/machine-config", body, timeout)


def panic_type():
    try:
        ffi.firecracker_request("/p", "GET", "/", None, math.inf)
    except BaseException as error:  # noqa: BLE001
        return type(error)
    raise AssertionError("no panic")


# These two wait on purpose: the receive timeout (1 ms, which the kernel
# rounds up to its timer ticks) and one pass of the socket wait followed by its
# 25 ms pause before the deadline is seen.
TIMING_OUT = request("silent", timeout=0.0)
WAIT_TIMING_OUT = lambda paths: ffi.firecracker_wait_for_socket(paths["missing"], 0.0)  # noqa: E731

CASES = [
    ("200 with length", request("ok"), Returns((200, '{"a":1}'))),
    ("200 with a body sent", request("ok", "PUT", '{"vcpu_count":2,"note":"é"}'), Returns((200, '{"a":1}'))),
    ("204", request("no content", "PATCH", "{}"), Returns((204, None))),
    ("body until close", request("until close"), Returns((200, "body \ufffd"))),
    ("malformed", request("closed at once"), Raises(OSError, "malformed HTTP response")),
    ("missing status", request("no status"), Raises(OSError, "missing HTTP status")),
    ("missing status code", request("no status code"), Raises(OSError, "missing HTTP status code")),
    ("invalid status", request("bad status"), Raises(OSError, "invalid HTTP status: invalid digit found in string")),
    ("status too large", request("status too large"),
     Raises(OSError, "invalid HTTP status: number too large to fit in target type")),
    ("invalid Content-Length", request("bad length"),
     Raises(OSError, "invalid Content-Length: invalid digit found in string")),
    ("empty Content-Length", request("empty length"),
     Raises(OSError, "invalid Content-Length: cannot parse integer from empty string")),
    ("headers too large", request("headers too large"), Raises(OSError, "HTTP response headers are too large")),
    ("body cut short", request("short body"), Raises(OSError, "failed to fill whole buffer")),
    ("body too large to allocate", request("huge body"),
     Raises(OSError, f"HTTP response body of {2**50} bytes exceeds the limit of 10485760 bytes")),
    ("timeout", TIMING_OUT, Raises(OSError, os_text(errno.EAGAIN))),
    ("connection refused", request("refusing"), Raises(OSError, os_text(errno.ECONNREFUSED))),
    ("no socket", request("missing"), Raises(OSError, os_text(errno.ENOENT))),
    ("NUL in path", lambda paths: ffi.firecracker_request("/tmp/a\0b", "GET", "/", None, 1.0),
     Raises(OSError, "paths must not contain interior null bytes")),
    ("path too long", lambda paths: ffi.firecracker_request("/" + "x" * 200, "GET", "/", None, 1.0),
     Raises(OSError, "path must be shorter than SUN_LEN")),
    ("panic, infinite timeout", request("ok", timeout=math.inf), "panic"),
    ("wait, answered", lambda paths: ffi.firecracker_wait_for_socket(paths["ok"], 5.0), Returns(None)),
    ("wait, timed out", WAIT_TIMING_OUT, Raises(OSError, "wait_for_socket timed out")),
    ("panic, wait deadline", lambda paths: ffi.firecracker_wait_for_socket(paths["ok"], 1e19), "panic"),
]


@pytest.mark.parametrize("call, outcome", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_firecracker_paths_do_not_leak(peers, call, outcome):
    served, paths = peers
    if outcome == "panic":
        outcome = Raises(panic_type())

    def settle():
        for peer in served.values():
            peer.settle()

    repeat = SLOW_REPEAT if call in (TIMING_OUT, WAIT_TIMING_OUT) else REPEAT
    assert_no_leak(lambda: call(paths), outcome, settle=settle, repeat=repeat)
