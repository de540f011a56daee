"""firecracker_request against scripted peers: the exact request bytes, every
response rule and failure text, addresses, timeouts, and resource hygiene."""

import errno
import fcntl
import math
import os
import socket
import stat
import subprocess
import sys
import threading
import time

import pytest
from hypothesis import given, settings, strategies as st

import corvane_core._ffi as ffi
from firecracker_peer import (
    CLOSE,
    SILENCE,
    AwaitClose,
    Pause,
    ScriptedPeer,
    expected_request,
    remove_dir,
    short_temp_dir,
)
from descriptors import open_fds
from other_thread import other_thread_ticking

OK_2 = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"
SUN_PATH_SIZE = 104 if sys.platform == "darwin" else 108
PANIC_TEXT = "cannot convert float seconds to Duration: value is either too big or NaN"


def os_text(number):
    return f"{os.strerror(number)} (os error {number})"


@pytest.fixture
def serve(tmp_dir):
    peers = []

    def start(*scripts, **options):
        peer = ScriptedPeer(os.path.join(tmp_dir, f"api{len(peers)}.sock"), list(scripts), **options)
        peers.append(peer)
        return peer

    yield start
    for peer in peers:
        peer.stop()


def request(peer, method="GET", path="/", body=None, timeout=5.0):
    return ffi.firecracker_request(peer.path, method, path, body, timeout)


# --- the request bytes -------------------------------------------------------


@pytest.mark.parametrize(
    "method, path, body, sent_body",
    [
        ("GET", "/", None, b""),
        ("GET", "/", "", b""),
        ("PUT", "/machine-config", '{"a":1}', b'{"a":1}'),
        ("PUT", "/drives/rootfs", '{"name":"café ✓"}', '{"name":"café ✓"}'.encode()),
        ("PATCH", "/vm", "not json {", b"not json {"),
        ("weird", "/a b?c=%zz", None, b""),
        ("PUT", "/big", "x" * 300_000, b"x" * 300_000),
    ],
    ids=["no-body", "empty-body", "json", "non-ascii", "not-json", "unvalidated", "large"],
)
def test_request_bytes_are_exact(serve, method, path, body, sent_body):
    peer = serve([OK_2])
    assert request(peer, method, path, body) == (200, "{}")
    assert peer.requests == [expected_request(method, path, sent_body)]


def test_request_without_body_is_byte_exact(serve):
    peer = serve([OK_2])
    request(peer)
    assert peer.requests == [
        b"GET / HTTP/1.1\r\nHost: localhost\r\nAccept: application/json\r\n"
        b"Content-Type: application/json\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
    ]


def test_keywords_and_int_timeout(serve):
    peer = serve([OK_2])
    assert ffi.firecracker_request(timeout=1, body_json=None, path="/", method="GET", socket_path=peer.path) == (
        200,
        "{}",
    )


# --- reading the response ----------------------------------------------------


def head(*lines):
    return "".join(line + "\r\n" for line in lines).encode() + b"\r\n"


@pytest.mark.parametrize(
    "script, expected",
    [
        ([b"HTTP/1.1 204 No Content\r\n\r\n"], (204, None)),
        ([head("HTTP/1.1 204 No Content", "Content-Length: 3") + b"abc"], (204, None)),
        ([head("HTTP/1.1 200 OK", "Content-Length: 0")], (200, None)),
        ([head("HTTP/1.1 200 OK", "Content-Length: 5") + b"hel", Pause(0.1), b"lo"], (200, "hello")),
        ([head("HTTP/1.1 200 OK", "Content-Length: 5"), Pause(0.1), b"h", Pause(0.05), b"ello"], (200, "hello")),
        ([head("HTTP/1.1 200 OK", "Content-Length: 2") + b"{}xyz"], (200, "{}")),
        ([head("HTTP/1.1 200 OK") + b"abc", AwaitClose(0.3), b"def"], (200, "abc")),
        ([head("HTTP/1.1 200 OK")], (200, None)),
        ([head("HTTP/1.1 404 Not Found", "Content-Length: 2") + b"{}"], (404, "{}")),
        ([head("HTTP/1.1 500 Oops", "Content-Length: 7") + b'{"e":1}'], (500, '{"e":1}')),
        # Content-Length names and values
        ([head("HTTP/1.1 200 OK", "content-LENGTH: 5") + b"hel", AwaitClose(0.3), b"lo"], (200, "hello")),
        ([head("HTTP/1.1 200 OK", " Content-Length: 5") + b"hel", AwaitClose(0.3), b"lo"], (200, "hel")),
        ([head("HTTP/1.1 200 OK", "Content-Length : 5") + b"hel", AwaitClose(0.3), b"lo"], (200, "hel")),
        ([head("HTTP/1.1 200 OK", "ContentLength: 5") + b"hel", AwaitClose(0.3), b"lo"], (200, "hel")),
        ([head("HTTP/1.1 200 OK", "Content-Length: +5") + b"hello!"], (200, "hello")),
        ([head("HTTP/1.1 200 OK", "Content-Length:\t 5 \t") + b"hello!"], (200, "hello")),
        ([head("HTTP/1.1 200 OK", "Content-Length:\u30005\u00a0") + b"hello!"], (200, "hello")),
        ([head("HTTP/1.1 200 OK", "Content-Length:5") + b"hello!"], (200, "hello")),
        ([head("HTTP/1.1 200 OK", "Content-Length: 3", "Content-Length: 5") + b"hello"], (200, "hel")),
        ([head("HTTP/1.1 200 OK", "Content-Length: 2", "Content-Length: x") + b"{}"], (200, "{}")),
        ([head("HTTP/1.1 200 OK", "X-Note: Content-Length: 9", "Content-Length: 2") + b"{}"], (200, "{}")),
        ([b"HTTP/1.1 200 OK\nContent-Length: 2\r\n\r\n{}"], (200, "{}")),
        ([b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\r\n\r\n{}"], (200, "{}")),
        # status lines
        ([head("XYZ 200") + b"{}"], (200, "{}")),
        ([head("HTTP/1.1 200") + b"{}"], (200, "{}")),
        ([head("HTTP/1.1 0 Zero")], (0, None)),
        ([head("HTTP/1.1 65535 Max")], (65535, None)),
        ([head("HTTP/1.1 +201 Plus")], (201, None)),
        ([head("HTTP/1.1 00042")], (42, None)),
        ([head("HTTP/1.1\t \t418   I'm a teapot")], (418, None)),
        ([head("HTTP/1.1\u00a0202\u2003Accepted")], (202, None)),
        ([head("  HTTP/1.1 203 Leading")], (203, None)),
        ([b"HTTP/1.1 200 \xff\xfe\r\nX-\xc0: \xe2\x82\r\nContent-Length: 2\r\n\r\n{}"], (200, "{}")),
        # bodies and UTF-8
        ([head("HTTP/1.1 200 OK", "Content-Length: 5") + "é✓".encode()], (200, "é✓")),
        ([head("HTTP/1.1 200 OK", "Content-Length: 7") + b"\xff\xfeok\xe2\x82!"], (200, "\ufffd\ufffdok\ufffd!")),
        ([head("HTTP/1.1 200 OK", "Content-Length: 3") + b"\xed\xa0\x80"], (200, "\ufffd\ufffd\ufffd")),
        ([head("HTTP/1.1 200 OK", "Content-Length: 2") + b"\x00\x01"], (200, "\x00\x01")),
    ],
)
def test_response_rules(serve, script, expected):
    peer = serve(script)
    assert request(peer) == expected
    assert peer.wait_finished(1)
    assert peer.connections[0].client_closed


def test_header_section_of_exactly_the_limit_is_read(serve):
    filler = "X-Fill: " + "a" * (65536 - len("HTTP/1.1 200 OK\r\n") - len("X-Fill: ") - 4)
    response = head("HTTP/1.1 200 OK", filler)
    assert len(response) == 65536
    peer = serve([response])
    assert request(peer) == (200, None)


def test_body_after_a_large_head_arrives_whole(serve):
    filler = "X-Fill: " + "b" * 60000
    body = b"z" * 200_000
    peer = serve([head("HTTP/1.1 200 OK", filler, f"Content-Length: {len(body)}") + body])
    assert request(peer) == (200, body.decode())


# --- failures -----------------------------------------------------------------

TIMED_OUT = os_text(errno.EAGAIN)
TOO_LARGE_HEADERS = "HTTP response headers are too large"


def too_large_head(total):
    """A response head without the blank line, `total` bytes long."""
    line = b"X-Fill: " + b"c" * 100 + b"\r\n"
    data = b"HTTP/1.1 200 OK\r\n"
    while len(data) < total:
        data += line
    return data[:total]


@pytest.mark.parametrize(
    "script, text",
    [
        ([CLOSE], "malformed HTTP response"),
        ([b"HTTP/1.1 200 OK\r\n", CLOSE], "malformed HTTP response"),
        ([b"HTTP/1.1 200 OK\r\n\r", CLOSE], "malformed HTTP response"),
        ([b"\r\n\r\n"], "missing HTTP status"),
        ([b"\r\n\r\nHTTP/1.1 200 OK\r\n\r\n"], "missing HTTP status"),
        ([head("HTTP/1.1")], "missing HTTP status code"),
        ([head("")[:-2] + b"HTTP/1.1 200 OK\r\n\r\n"], "missing HTTP status code"),
        ([head("   ", "HTTP/1.1 200 OK")], "missing HTTP status code"),
        ([head("HTTP/1.1\x1c200")], "missing HTTP status code"),
        ([head("HTTP/1.1\x1c200 OK")], "invalid HTTP status: invalid digit found in string"),
        ([head("HTTP/1.1 99999 Odd")], "invalid HTTP status: number too large to fit in target type"),
        ([head("HTTP/1.1 65536")], "invalid HTTP status: number too large to fit in target type"),
        ([head("HTTP/1.1 99999x")], "invalid HTTP status: number too large to fit in target type"),
        ([head("HTTP/1.1 x99999")], "invalid HTTP status: invalid digit found in string"),
        ([head("HTTP/1.1 -1")], "invalid HTTP status: invalid digit found in string"),
        ([head("HTTP/1.1 + OK")], "invalid HTTP status: invalid digit found in string"),
        ([head("HTTP/1.1 ++1")], "invalid HTTP status: invalid digit found in string"),
        ([head("HTTP/1.1 2OO")], "invalid HTTP status: invalid digit found in string"),
        ([head("HTTP/1.1 ２００")], "invalid HTTP status: invalid digit found in string"),
        ([head("HTTP/1.1 200 OK", "Content-Length: -1")], "invalid Content-Length: invalid digit found in string"),
        ([head("HTTP/1.1 200 OK", "Content-Length:")], "invalid Content-Length: cannot parse integer from empty string"),
        ([head("HTTP/1.1 200 OK", "Content-Length: \t ")], "invalid Content-Length: cannot parse integer from empty string"),
        ([head("HTTP/1.1 200 OK", "Content-Length: +")], "invalid Content-Length: invalid digit found in string"),
        ([head("HTTP/1.1 200 OK", "Content-Length: 5 5")], "invalid Content-Length: invalid digit found in string"),
        ([head("HTTP/1.1 200 OK", "Content-Length: 0x10")], "invalid Content-Length: invalid digit found in string"),
        (
            [head("HTTP/1.1 200 OK", "Content-Length: 18446744073709551616")],
            "invalid Content-Length: number too large to fit in target type",
        ),
        ([head("HTTP/1.1 204 OK", "Content-Length: x")], "invalid Content-Length: invalid digit found in string"),
        ([head("HTTP/1.1 99999", "Content-Length: x")], "invalid HTTP status: number too large to fit in target type"),
        ([too_large_head(65537)], TOO_LARGE_HEADERS),
        ([too_large_head(65533) + b"\r\n\r\n"], TOO_LARGE_HEADERS),
        ([too_large_head(100_000), CLOSE], TOO_LARGE_HEADERS),
        ([head("HTTP/1.1 200 OK", "Content-Length: 5") + b"hel", CLOSE], "failed to fill whole buffer"),
        ([head("HTTP/1.1 200 OK", "Content-Length: 5"), CLOSE], "failed to fill whole buffer"),
        ([head("HTTP/1.1 204 OK", "Content-Length: 3") + b"a", CLOSE], "failed to fill whole buffer"),
        ([SILENCE], TIMED_OUT),
        ([b"HTTP/1.1 200 OK\r\n", SILENCE], TIMED_OUT),
        ([head("HTTP/1.1 200 OK", "Content-Length: 5") + b"hel", SILENCE], TIMED_OUT),
        (
            [head("HTTP/1.1 200 OK", "Content-Length: 18446744073709551615"), SILENCE],
            "HTTP response body of 18446744073709551615 bytes exceeds the limit of 10485760 bytes",
        ),
        (
            [head("HTTP/1.1 200 OK", f"Content-Length: {2**50}") + b"partial", SILENCE],
            f"HTTP response body of {2**50} bytes exceeds the limit of 10485760 bytes",
        ),
    ],
)
def test_failure_texts(serve, script, text):
    peer = serve(script)
    before = open_fds()
    with pytest.raises(OSError) as caught:
        request(peer, timeout=0.3)
    assert caught.value.args == (text,)
    assert caught.value.errno is None
    assert peer.wait_finished(1)
    assert open_fds() == before, "the client's socket was not closed"


def test_silent_peer_times_out_after_about_the_timeout(serve):
    peer = serve([SILENCE])
    started = time.monotonic()
    with pytest.raises(OSError, match=r"\(os error \d+\)$"):
        request(peer, timeout=0.5)
    assert 0.4 <= time.monotonic() - started < 10
    assert peer.wait_finished(1)
    assert peer.connections[0].client_closed


# --- addresses -----------------------------------------------------------------


def test_address_errors(tmp_dir):
    longest = os.path.join(tmp_dir, "s" * (SUN_PATH_SIZE - 1 - len(tmp_dir) - 1))
    assert len(longest.encode()) == SUN_PATH_SIZE - 1
    regular = os.path.join(tmp_dir, "plain")
    open(regular, "w").close()
    cases = [
        (tmp_dir + "/a\0b", "paths must not contain interior null bytes"),
        ("\0abstract", "paths must not contain interior null bytes"),
        (longest + "x", "path must be shorter than SUN_LEN"),
        ("/" + "é" * 60, "path must be shorter than SUN_LEN"),  # 121 bytes, 61 characters
        (longest, os_text(errno.ENOENT)),  # fits, with its NUL
        (os.path.join(tmp_dir, "missing.sock"), os_text(errno.ENOENT)),
        (os.path.join(tmp_dir, "no-dir", "api.sock"), os_text(errno.ENOENT)),
        (regular, os_text(errno.ECONNREFUSED)),
        (tmp_dir, os_text(errno.ECONNREFUSED)),
    ]
    for path, text in cases:
        with pytest.raises(OSError) as caught:
            ffi.firecracker_request(path, "GET", "/", None, 1.0)
        assert caught.value.args == (text,), path


def test_empty_path_fails_at_connect():
    with pytest.raises(OSError) as caught:
        ffi.firecracker_request("", "GET", "/", None, 1.0)
    (text,) = caught.value.args
    assert text.endswith(")") and " (os error " in text


def test_socket_nobody_listens_on(tmp_dir):
    path = os.path.join(tmp_dir, "dead.sock")
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.bind(path)
    with pytest.raises(OSError) as caught:
        ffi.firecracker_request(path, "GET", "/", None, 1.0)
    assert caught.value.args == (os_text(errno.ECONNREFUSED),)


# --- timeouts and arguments ------------------------------------------------------


@pytest.mark.parametrize("timeout", [0, 0.0, -1, -1e300, math.nan, -math.inf, 1e-9, 0.0005])
def test_tiny_or_invalid_timeouts_mean_one_millisecond(serve, timeout):
    peer = serve([SILENCE])
    started = time.monotonic()
    with pytest.raises(OSError) as caught:
        request(peer, timeout=timeout)
    assert caught.value.args == (TIMED_OUT,)
    assert time.monotonic() - started < 5


@pytest.mark.parametrize("timeout", [2.0**64, 1e300, math.inf, float(2**65)])
def test_unconvertible_timeout_panics_before_any_socket(serve, timeout):
    peer = serve([OK_2])
    before = open_fds()
    with pytest.raises(BaseException) as caught:
        request(peer, timeout=timeout)
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == (PANIC_TEXT,)
    time.sleep(0.1)
    assert peer.connections == []
    assert open_fds() == before


@pytest.mark.parametrize("timeout", [2.0**64 - 2048, 2.0**63, 1e12, 1.5])
def test_large_timeouts_work(serve, timeout):
    peer = serve([OK_2])
    assert request(peer, timeout=timeout) == (200, "{}")


class FloatLike:
    def __float__(self):
        return 2.0


@pytest.mark.parametrize(
    "args, error, text",
    [
        ((1, "GET", "/", None, 1.0), TypeError, "argument 'socket_path': 'int' object is not an instance of 'str'"),
        (("/x", None, "/", None, 1.0), TypeError, "argument 'method': 'None' is not an instance of 'str'"),
        (("/x", "GET", b"/", None, 1.0), TypeError, "argument 'path': 'bytes' object is not an instance of 'str'"),
        (("/x", "GET", "/", b"{}", 1.0), TypeError, "argument 'body_json': 'bytes' object is not an instance of 'str'"),
        (("/x", "GET", "/", {}, 1.0), TypeError, "argument 'body_json': 'dict' object is not an instance of 'str'"),
        (("/x", "GET", "/", None, "1"), TypeError, "argument 'timeout': must be real number, not str"),
        (("/x", "GET", "/", None), TypeError, "firecracker_request() missing 1 required positional argument: 'timeout'"),
        (
            ("/x", "GET", "/", None, 1.0, 2),
            TypeError,
            "firecracker_request() takes 5 positional arguments but 6 were given",
        ),
        (("/x\ud800", "GET", "/", None, 1.0), UnicodeEncodeError, None),
        ((1, "GET", "/", None, "1"), TypeError, "argument 'socket_path': 'int' object is not an instance of 'str'"),
    ],
)
def test_argument_errors(args, error, text):
    with pytest.raises(error) as caught:
        ffi.firecracker_request(*args)
    if text is not None:
        assert str(caught.value) == text
    if error is UnicodeEncodeError:
        assert "socket_path" not in str(caught.value)


def test_float_convertible_timeout(serve):
    peer = serve([OK_2])
    assert ffi.firecracker_request(peer.path, "GET", "/", None, FloatLike()) == (200, "{}")


# --- the socket itself -------------------------------------------------------------


def test_socket_is_close_on_exec(serve):
    seen = {}

    def inspect(conn):
        sockets = {fd for fd in open_fds() - before - {conn.fileno()} if stat.S_ISSOCK(os.fstat(fd).st_mode)}
        seen["fds"] = sockets
        seen["cloexec"] = all(fcntl.fcntl(fd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC for fd in sockets)

    peer = serve([inspect, OK_2])
    before = open_fds()
    assert request(peer) == (200, "{}")
    assert len(seen["fds"]) == 1
    assert seen["cloexec"]


SIGPIPE_CHILD = r"""
import signal, sys
import corvane_core._ffi as ffi
signal.signal(signal.SIGPIPE, signal.SIG_DFL)
try:
    ffi.firecracker_request(sys.argv[1], "PUT", "/", "x" * 8_000_000, 10.0)
except OSError as error:
    print(error.args[0])
"""


def test_write_to_closed_peer_fails_without_sigpipe(serve, tmp_dir):
    peer = serve([CLOSE], read_first=False)
    child = subprocess.run(
        [sys.executable, "-c", SIGPIPE_CHILD, peer.path], capture_output=True, text=True, timeout=60
    )
    assert child.returncode == 0, (child.returncode, child.stderr)
    assert child.stdout.strip() in (os_text(errno.EPIPE), os_text(errno.ECONNRESET))


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="a full backlog refuses at once elsewhere")
def test_connect_to_a_full_backlog_is_bounded_by_the_timeout(tmp_dir):
    path = os.path.join(tmp_dir, "stuck.sock")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(0)
    fillers = []
    try:
        while True:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.setblocking(False)
            fillers.append(s)
            s.connect(path)
    except BlockingIOError:
        pass
    outcome = []

    def call():
        try:
            ffi.firecracker_request(path, "GET", "/", None, 0.3)
        except OSError as error:
            outcome.append(error.args)

    worker = threading.Thread(target=call, daemon=True)
    worker.start()
    worker.join(timeout=15)
    try:
        assert not worker.is_alive(), "connect waited past the timeout"
        assert outcome == [(TIMED_OUT,)]
    finally:
        listener.close()
        for s in fillers:
            s.close()
        worker.join(timeout=5)


def test_interpreter_lock_is_released_during_a_request(serve):
    peer = serve([Pause(0.6), OK_2])
    with other_thread_ticking() as ticks:
        assert request(peer) == (200, "{}")
    assert ticks.count >= 5


def test_concurrent_requests_are_independent(serve):
    peers = [serve([Pause(0.2), head("HTTP/1.1 200 OK", "Content-Length: 1") + str(i).encode()]) for i in range(4)]
    results = [None] * len(peers)

    def call(i):
        results[i] = request(peers[i])

    threads = [threading.Thread(target=call, args=(i,)) for i in range(len(peers))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=30)
    assert results == [(200, str(i)) for i in range(len(peers))]


# --- body decoding, against Python's own decoder ------------------------------------


@pytest.fixture(scope="module")
def decoding_peer():
    path = short_temp_dir()
    peer = ScriptedPeer(os.path.join(path, "utf8.sock"), [[OK_2]])
    yield peer
    peer.stop()
    remove_dir(path)


@settings(max_examples=150, deadline=None)
@given(body=st.one_of(st.binary(max_size=64), st.text(max_size=16).map(lambda t: t.encode("utf-8", "surrogatepass"))))
def test_body_decodes_like_utf8_with_replacement(decoding_peer, body):
    decoding_peer.scripts[:] = [[head("HTTP/1.1 200 OK", f"Content-Length: {len(body)}") + body]]
    expected = body.decode("utf-8", "replace") if body else None
    assert ffi.firecracker_request(decoding_peer.path, "GET", "/", None, 5.0) == (200, expected)
