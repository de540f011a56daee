"""firecracker_request and firecracker_wait_for_socket against the scripted HTTP peer and nginx."""

import errno
import fcntl
import math
import os
import socket
import subprocess
import sys
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from peers import (
    CLOSE,
    SILENCE,
    Delay,
    HttpPeer,
    MiB,
    Stream,
    dribble,
    need,
    open_fds,
    os_text,
    other_thread_runs,
    panic,
    result_or_text,
    tool_env,
)

import corvane_core._ffi as ffi

TIMED_OUT, WAIT_TIMED_OUT = os_text(errno.EAGAIN), "wait_for_socket timed out"
TOO_LARGE = "HTTP response headers are too large"
DIGIT, BIG = "invalid digit found in string", "number too large to fit in target type"
LIMIT, PAST_LIMIT = 10 * MiB, "HTTP response body of 10485761 bytes exceeds the limit of 10485760 bytes"
PANIC = "cannot convert float seconds to Duration: value is either too big or NaN"


def head(*lines):
    return "".join(line + "\r\n" for line in lines).encode() + b"\r\n"


def filled(size):  # a head of `size` bytes
    return [head("HTTP/1.1 65535", "X: " + "a" * (size - 23))]


OK_2 = head("HTTP/1.1 200 OK", "Content-Length: 2") + b"{}"


def probe(method="GET", path="/", body=b""):
    fixed = "Host: localhost", "Accept: application/json", "Content-Type: application/json"
    return head(f"{method} {path} HTTP/1.1", *fixed, f"Content-Length: {len(body)}", "Connection: close") + body


@pytest.fixture
def http():
    with HttpPeer([OK_2]) as peer:
        yield peer


def request(peer, method="GET", target="/", body=None, timeout=5.0, wait=None):
    path = getattr(peer, "path", peer)
    if wait is not None:
        return result_or_text(lambda: ffi.firecracker_wait_for_socket(path, wait))
    return result_or_text(lambda: ffi.firecracker_request(path, method, target, body, timeout))


@pytest.mark.leakcheck
@pytest.mark.parametrize(
    "method, target, body",
    [
        ("GET", "/", None),
        ("GET", "/", ""),
        ("weird", "/a b?c=%zz", "café ✓ not json {"),
        ("PUT", "/big", "x" * 300_000),
    ],
)
def test_request_bytes(http, method, target, body):
    assert request(http, method, target, body) == (200, "{}") and request(http, wait=5.0) is None
    assert http.requests == [probe(method, target, (body or "").encode()), probe()]


RESPONSES = [
    ([head("HTTP/1.1 204 No Content", "Content-Length: 3") + b"abc"], (204, None)),
    # an unmatched name: no length, the body is what came with the head
    ([head("HTTP/1.1 200 OK", "Content-Length : 5") + b"hel", Delay(0.05), b"lo"], (200, "hel")),
    ([head("HTTP/1.1 404 Not Found", "content-LENGTH:\t\u3000\u0085+5\u00a0") + b"hello!"], (404, "hello")),
    ([head("HTTP/1.1 200", "X: Content-Length: 9", "Content-Length: 3", "Content-Length: x") + b"hello"], (200, "hel")),
    ([head("  XYZ\u00a0\t+00202\u2003Accepted")], (202, None)),  # the version is not checked
    # invalid UTF-8 is replaced; a bare LF ends a line (else the body would be 3 bytes)
    ([b"HTTP/1.1 200 \xff\xfe\r\nX-\xc0: \xe2\x82\nContent-Length: 2\r\n\r\n{}x"], (200, "{}")),
    (filled(65536), (65535, None)),  # a head of exactly the limit, the largest status
    (dribble(OK_2, 1), (200, "{}")),
    ([b"\r\n\r\n"], "missing HTTP status"),
    ([head("HTTP/1.1")], "missing HTTP status code"),
    ([head("HTTP/1.1\x1c200 OK")], "invalid HTTP status: " + DIGIT),
    ([head("HTTP/1.1 -1")], "invalid HTTP status: " + DIGIT),
    (
        [head("HTTP/1.1 65536x", "Content-Length: x")],
        "invalid HTTP status: " + BIG,
    ),  # overflow found first; status before length
    ([head("HTTP/1.1 200 OK", "Content-Length:")], "invalid Content-Length: cannot parse integer from empty string"),
    ([head("HTTP/1.1 204 OK", "Content-Length: 0x10")], "invalid Content-Length: " + DIGIT),
    ([head("HTTP/1.1 200 OK", f"Content-Length: {2**64}")], "invalid Content-Length: " + BIG),
    (filled(65537), TOO_LARGE),
    ([head("HTTP/1.1 200 OK", "Content-Length: 5") + b"hel", SILENCE], TIMED_OUT),
    ([head("HTTP/1.1 200 OK", f"Content-Length: {LIMIT}") + b"x" * LIMIT], (200, "x" * LIMIT)),  # the body limit
    ([head("HTTP/1.1 200 OK", f"Content-Length: {LIMIT + 1}"), SILENCE], PAST_LIMIT),  # refused from the head alone
]


@pytest.mark.leakcheck
@pytest.mark.parametrize("script, expected", RESPONSES)
def test_responses(http, script, expected):
    http.scripts = [script]
    assert request(http, timeout=0.02 if SILENCE in script else 5.0) == expected


def test_a_peer_closing_at_every_byte(http):
    for cut in range(len(OK_2) + 1):
        http.scripts = [[OK_2[:cut], CLOSE]]
        expected = "malformed HTTP response" if cut < len(OK_2) - 2 else "failed to fill whole buffer"
        assert request(http) == (expected if cut < len(OK_2) else (200, "{}")), cut


def test_an_endless_head_stops_at_the_limit(http):
    http.scripts = [[b"HTTP/1.1 200 OK\r\nX-Long: ", stream := Stream()]]
    assert request(http) == TOO_LARGE
    http.idle()
    assert stream.finished and stream.sent < 4 * MiB


@settings(deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(body=st.binary(max_size=64) | st.text(max_size=16).map(lambda t: t.encode("utf-8", "surrogatepass")))
def test_the_body_decodes_as_utf8_with_replacement(http, body):
    http.scripts = [[head("HTTP/1.1 200 OK", f"Content-Length: {len(body)}") + body]]
    assert request(http) == (200, body.decode("utf-8", "replace") or None)


def test_addresses(tmp_dir):
    longest = os.path.join(tmp_dir, "s" * ((104 if sys.platform == "darwin" else 108) - 2 - len(tmp_dir)))
    for path, text in [
        (tmp_dir + "/a\0b", "paths must not contain interior null bytes"),
        (longest[:-1] + "é", "path must be shorter than SUN_LEN"),  # one byte too long
        (longest, os_text(errno.ENOENT)),
    ]:
        assert request(path) == text, path


def test_the_socket_is_close_on_exec_and_the_lock_released(http):
    before, seen = open_fds(), []

    def inspect(conn):  # the one descriptor the call opened
        seen.extend(fcntl.fcntl(fd, fcntl.F_GETFD) for fd in open_fds() - before - {conn.fileno()})

    http.scripts = [[inspect, Delay(0.6), OK_2]]
    with other_thread_runs(5):
        assert request(http) == (200, "{}") and seen == [fcntl.FD_CLOEXEC]


@pytest.mark.parametrize(
    "method, target, wrong",
    [
        ("PUT", "/a HTTP/1.1\r\n\r\nDELETE /all", "path"),
        ("GET\r\nX: y", "/", "method"),
        ("GET", "/a\x00b", "path"),
        ("GET", "/\x7f", "path"),
    ],
)
def test_a_control_byte_in_the_request_line_is_refused(http, method, target, wrong):
    assert request(http, method, target) == f"HTTP request {wrong} contains a control character"
    assert http.connections == 0
    assert request(http, "PUT", "/", "\r\n\x00") == (200, "{}")  # a body is payload


def answer(status):
    return [head(f"HTTP/1.1 {status}", "Content-Length: 0")]


def test_the_wait_tries_until_a_200(http):
    http.scripts = [answer("503 Busy"), answer("204 No Content"), [CLOSE], answer("500 Oops"), answer("200 OK")]
    assert request(http, wait=5.0) is None
    http.idle()
    assert http.requests == [probe()] * 5


def test_timeouts_and_the_waits_timing(http, tmp_dir):
    http.scripts = [[SILENCE]]
    for timeout, least in [(0.5, 0.4), (0, 0), (math.nan, 0), (-math.inf, 0), (1e-9, 0)]:  # below 1 ms: 1 ms
        started = time.monotonic()
        assert request(http, timeout=timeout) == TIMED_OUT and least <= time.monotonic() - started < 5
    http.scripts, connections = [[OK_2]], http.connections
    panics = [panic(lambda: request(http, timeout=t)) for t in (2.0**64, math.inf)]
    panics += [panic(lambda: request(http, wait=t)) for t in (math.inf, 1e19)]
    assert panics == [PANIC] * 3 + ["overflow when adding duration to instant"]
    assert http.connections == connections  # refused before any socket
    assert request(http, timeout=2.0**64 - 2048) == (200, "{}") and request(http, wait=2.0**62) is None
    http.scripts = [answer("500 Oops")]
    assert request(http, wait=0) == request(http, wait=math.nan) == WAIT_TIMED_OUT  # 1 ms
    http.scripts, started = [[SILENCE]], time.monotonic()
    assert request(http, wait=0.2) == WAIT_TIMED_OUT and 0.9 <= time.monotonic() - started < 10  # an attempt takes 1 s
    socket.socket(socket.AF_UNIX).bind(tmp_dir + "/peer.sock")  # left behind by a dead server: refused
    with HttpPeer(answer("200 OK"), directory=tmp_dir, listen_after=0.5) as late, other_thread_runs(5):
        started = time.monotonic()  # the pauses between attempts let other threads run
        assert request(late, wait=10.0) is None and time.monotonic() - started >= 0.45


NGINX = """daemon off; master_process off; pid {dir}/pid; events {{}}
http {{ access_log off; client_body_temp_path {dir}/b; proxy_temp_path {dir}/p; fastcgi_temp_path {dir}/f; uwsgi_temp_path
  {dir}/u; scgi_temp_path {dir}/s; server {{ listen unix:{dir}/api.sock; location = / {{ return 200 '{{"state":"Running"}}'; }}
  location = /machine-config {{ return 204; }} location / {{ return 404 '{{"fault_message":"no"}}'; }} }} }}"""


@need("nginx")
def test_nginx(tmp_path):
    (tmp_path / "nginx.conf").write_text(NGINX.format(dir=tmp_path))
    command = ["nginx", "-p", tmp_path, "-c", tmp_path / "nginx.conf", "-e", tmp_path / "error.log"]
    server = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=tool_env())
    try:
        path = str(tmp_path / "api.sock")
        assert request(path, wait=15.0) is None
        assert request(path, "PUT", "/machine-config", "x" * 100_000) == (204, None)
        assert request(path, "PATCH", "/no/such/path", "{}") == (404, '{"fault_message":"no"}')
        assert request(path) == (200, '{"state":"Running"}')
    finally:
        server.terminate()
        server.wait(10)
