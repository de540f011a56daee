"""firecracker_request and firecracker_wait_for_socket against the scripted HTTP peer and nginx."""

import errno
import fcntl
import math
import os
import shutil
import socket
import stat
import subprocess
import sys
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane_core._ffi as ffi
from peers import (CLOSE, SILENCE, Delay, HttpPeer, MiB, Stream, dribble, need, open_fds, os_text, other_thread_runs,
                   signals_arriving, tool_env)

TIMED_OUT, WAIT_TIMED_OUT = os_text(errno.EAGAIN), "wait_for_socket timed out"
TOO_LARGE, SHORT_BODY, MALFORMED = "HTTP response headers are too large", "failed to fill whole buffer", "malformed HTTP response"
DIGIT, BIG = "invalid digit found in string", "number too large to fit in target type"
PANIC = "cannot convert float seconds to Duration: value is either too big or NaN"

def head(*lines):
    return "".join(line + "\r\n" for line in lines).encode() + b"\r\n"

OK_2 = head("HTTP/1.1 200 OK", "Content-Length: 2") + b"{}"

def expected_request(method, path, body=b""):
    return (f"{method} {path} HTTP/1.1\r\nHost: localhost\r\nAccept: application/json\r\nContent-Type: application/json"
            f"\r\nContent-Length: {len(body)}\r\nConnection: close\r\n\r\n").encode() + body

@pytest.fixture
def http():
    with HttpPeer([OK_2]) as peer:
        yield peer

def request(path, method="GET", target="/", body=None, timeout=5.0):
    """The result, or the text of the OSError, which carries nothing else."""
    try:
        return ffi.firecracker_request(getattr(path, "path", path), method, target, body, timeout)
    except OSError as error:
        assert type(error) is OSError and (error.errno, error.strerror, error.filename) == (None, None, None)
        return error.args[0]

@pytest.mark.leakcheck
@pytest.mark.parametrize("method, target, body", [
    ("GET", "/", None), ("GET", "/", ""), ("PUT", "/drives/rootfs", '{"name":"café ✓"}'),
    ("weird", "/a b?c=%zz", "not json {"), ("PUT", "/big", "x" * 300_000)])
def test_request_bytes(http, method, target, body):
    assert request(http, method, target, body) == (200, "{}")
    assert http.requests == [expected_request(method, target, (body or "").encode())]

def test_keywords_and_an_integer_timeout(http):
    assert ffi.firecracker_request(timeout=1, body_json=None, path="/", method="GET", socket_path=http.path) == (200, "{}")

RESPONSES = [
    ([head("HTTP/1.1 204 No Content", "Content-Length: 3") + b"abc"], (204, None)),
    ([head("HTTP/1.1 200 OK", "Content-Length: 0")], (200, None)),
    ([head("HTTP/1.1 200 OK", "Content-Length: 5") + b"hel", Delay(0.1), b"lo"], (200, "hello")),
    ([head("HTTP/1.1 404 Not Found", "Content-Length: 2") + b"{}xyz"], (404, "{}")),
    # without a Content-Length, the body is what came with the head
    ([head("HTTP/1.1 200 OK") + b"abc", Delay(0.3), b"def"], (200, "abc")),
    ([head("HTTP/1.1 200 OK")], (200, None)),
    ([head("HTTP/1.1 200 OK", "Content-Length : 5") + b"hel", Delay(0.3), b"lo"], (200, "hel")),
    ([head("HTTP/1.1 200 OK", "content-LENGTH:\t\u3000+5\u00a0") + b"hello!"], (200, "hello")),
    ([head("HTTP/1.1 200 OK", "X-Note: Content-Length: 9", "Content-Length: 3", "Content-Length: x") + b"hello"],
     (200, "hel")),
    ([b"HTTP/1.1 200 OK\nContent-Length: 2\r\n\r\n{}"], (200, "{}")),
    ([head("XYZ 200", "Content-Length: 2") + b"{}"], (200, "{}")),
    ([head("HTTP/1.1 0 Zero")], (0, None)),
    ([head("HTTP/1.1 65535")], (65535, None)),
    ([head("HTTP/1.1 +00042 Plus")], (42, None)),
    ([head("  HTTP/1.1\u00a0\t202\u2003Accepted")], (202, None)),
    ([b"HTTP/1.1 200 \xff\xfe\r\nX-\xc0: \xe2\x82\r\nContent-Length: 2\r\n\r\n{}"], (200, "{}")),
    ([head("HTTP/1.1 200 OK", "X-Fill: " + "a" * (65536 - 17 - 8 - 4))], (200, None)),  # a head of exactly the limit
    ([head("HTTP/1.1 200 OK", "X-Fill: " + "b" * 60000, "Content-Length: 200000") + b"z" * 200_000], (200, "z" * 200_000)),
    (dribble(head("HTTP/1.1 200 OK", "Content-Length: 31") + b'{"state":"Running","id":"vm-1"}', 1),
     (200, '{"state":"Running","id":"vm-1"}')),
]

@pytest.mark.leakcheck
@pytest.mark.parametrize("script, expected", RESPONSES)
def test_responses(http, script, expected):
    http.scripts = [script]
    assert request(http) == expected

def too_large_head(total):
    return (b"HTTP/1.1 200 OK\r\n" + b"X-Fill: ccccccccc\r\n" * (total // 19 + 1))[:total]

FAILURES = [
    ([CLOSE], MALFORMED),
    ([b"HTTP/1.1 200 OK\r\n\r", CLOSE], MALFORMED),
    ([b"\r\n\r\n"], "missing HTTP status"),
    ([head("HTTP/1.1")], "missing HTTP status code"),
    ([head("HTTP/1.1\x1c200 OK")], "invalid HTTP status: " + DIGIT),
    ([head("HTTP/1.1 -1")], "invalid HTTP status: " + DIGIT),
    ([head("HTTP/1.1 65536")], "invalid HTTP status: " + BIG),
    ([head("HTTP/1.1 99999x", "Content-Length: x")], "invalid HTTP status: " + BIG),
    ([head("HTTP/1.1 200 OK", "Content-Length:")], "invalid Content-Length: cannot parse integer from empty string"),
    ([head("HTTP/1.1 204 OK", "Content-Length: 0x10")], "invalid Content-Length: " + DIGIT),
    ([head("HTTP/1.1 200 OK", "Content-Length: 18446744073709551616")], "invalid Content-Length: " + BIG),
    ([too_large_head(65537)], TOO_LARGE),
    ([too_large_head(65533) + b"\r\n\r\n"], TOO_LARGE),
    ([head("HTTP/1.1 200 OK", "Content-Length: 5") + b"hel", CLOSE], SHORT_BODY),
    ([SILENCE], TIMED_OUT),
    ([head("HTTP/1.1 200 OK", "Content-Length: 5") + b"hel", SILENCE], TIMED_OUT),
    ([head("HTTP/1.1 200 OK", "Content-Length: 18446744073709551615"), SILENCE],
     "HTTP response body of 18446744073709551615 bytes is too large to allocate"),
    ([head("HTTP/1.1 200 OK", f"Content-Length: {2**50}") + b"partial", SILENCE],
     f"HTTP response body of {2**50} bytes is too large to allocate"),
]

@pytest.mark.leakcheck
@pytest.mark.parametrize("script, text", FAILURES)
def test_failures(http, script, text):
    http.scripts = [script]
    assert request(http, timeout=0.3) == text

def test_a_peer_closing_at_every_byte(http):
    body = b'{"state":"Running","id":"vm-1"}'
    response = head("HTTP/1.1 200 OK", "Server: api", f"Content-Length: {len(body)}") + body
    end = response.index(b"\r\n\r\n") + 4
    for cut in range(len(response) + 1):
        http.scripts = [[response[:cut], CLOSE]]
        expected = MALFORMED if cut < end else SHORT_BODY if cut < len(response) else (200, body.decode())
        assert request(http) == expected, cut

@pytest.mark.parametrize("prefix", [b"", b"HTTP/1.1 200 OK\r\nX-Long: "])
def test_an_endless_head_stops_at_the_limit(http, prefix):
    stream = Stream(chunk=b"b" * 65536)
    http.scripts = [[prefix, stream]]
    assert request(http) == TOO_LARGE
    http.idle()
    assert stream.finished and 65536 <= stream.sent + len(prefix) < 65536 + 4 * MiB

@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(body=st.binary(max_size=64) | st.text(max_size=16).map(lambda t: t.encode("utf-8", "surrogatepass")))
def test_the_body_decodes_as_utf8_with_replacement(http, body):
    http.scripts = [[head("HTTP/1.1 200 OK", f"Content-Length: {len(body)}") + body]]
    assert request(http) == (200, body.decode("utf-8", "replace") or None)

def test_addresses(tmp_dir):
    size = 104 if sys.platform == "darwin" else 108
    longest = os.path.join(tmp_dir, "s" * (size - 2 - len(tmp_dir)))
    dead = os.path.join(tmp_dir, "dead.sock")
    socket.socket(socket.AF_UNIX).bind(dead)  # bound, never listening
    for path, text in [
        (tmp_dir + "/a\0b", "paths must not contain interior null bytes"),
        (longest + "x", "path must be shorter than SUN_LEN"),
        ("/" + "é" * 60, "path must be shorter than SUN_LEN"),  # 121 bytes
        (longest, os_text(errno.ENOENT)),
        (os.path.join(tmp_dir, "no-dir", "api.sock"), os_text(errno.ENOENT)),
        (dead, os_text(errno.ECONNREFUSED)),
        (tmp_dir, os_text(errno.ECONNREFUSED)),
    ]:
        assert request(path) == text, path
    assert request("").endswith(")") and " (os error " in request("")

def test_timeouts(http):
    http.scripts = [[SILENCE]]
    started = time.monotonic()
    assert request(http, timeout=0.5) == TIMED_OUT and 0.4 <= time.monotonic() - started < 10
    for timeout in [0, -1e300, math.nan, -math.inf, 1e-9]:  # one millisecond
        started = time.monotonic()
        assert request(http, timeout=timeout) == TIMED_OUT and time.monotonic() - started < 5
    http.scripts = [[OK_2]]
    connections = http.connections
    for timeout in [2.0**64, math.inf]:
        with pytest.raises(BaseException) as caught:
            request(http, timeout=timeout)
        assert (type(caught.value).__name__, caught.value.args) == ("PanicException", (PANIC,))
    assert http.connections == connections  # refused before any socket
    assert request(http, timeout=2.0**64 - 2048) == request(http, timeout=1e12) == (200, "{}")

def test_the_socket_is_close_on_exec(http):
    seen = []

    def inspect(conn):
        sockets = [fd for fd in open_fds() - before - {conn.fileno()} if stat.S_ISSOCK(os.fstat(fd).st_mode)]
        seen.extend(bool(fcntl.fcntl(fd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC) for fd in sockets)

    http.scripts = [[inspect, OK_2]]
    before = open_fds()
    assert request(http) == (200, "{}") and seen == [True]

@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="a full backlog refuses at once elsewhere")
def test_connecting_to_a_full_backlog_is_bounded_by_the_timeout(tmp_dir):
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(tmp_dir + "/stuck.sock")
    listener.listen(0)
    fillers = []
    try:
        while True:
            fillers.append(socket.socket(socket.AF_UNIX))
            fillers[-1].setblocking(False)
            fillers[-1].connect(tmp_dir + "/stuck.sock")
    except BlockingIOError:
        pass
    try:
        assert request(tmp_dir + "/stuck.sock", timeout=0.3) == TIMED_OUT
    finally:
        for s in [listener, *fillers]:
            s.close()

def test_the_interpreter_lock_is_released(http, tmp_dir):
    http.scripts = [[Delay(0.6), OK_2]]
    with other_thread_runs(5):
        assert request(http) == (200, "{}")
    with other_thread_runs(5):
        assert request_wait(tmp_dir + "/absent", 0.5) == WAIT_TIMED_OUT

@pytest.mark.xfail(strict=True, reason="the receive of the response head gives up on EINTR instead of retrying")
def test_signals_do_not_interrupt_a_request(http):
    http.scripts = [[Delay(0.3), OK_2]]
    with signals_arriving():
        assert request(http) == (200, "{}")

def request_wait(path, timeout):
    try:
        return ffi.firecracker_wait_for_socket(getattr(path, "path", path), timeout)
    except OSError as error:
        return error.args[0]

def answer(status):
    return [head(f"HTTP/1.1 {status}", "Content-Length: 0")]

@pytest.mark.leakcheck
def test_the_wait_ends_with_a_200_or_at_its_deadline(http, tmp_dir):
    assert request_wait(http, 5.0) is None
    assert request_wait(tmp_dir + "/none", 0.0) == WAIT_TIMED_OUT

@pytest.mark.parametrize("script, ends", [
    (answer("200 OK"), True), (answer("204 No Content"), False), ([CLOSE], False),
    ([head("HTTP/1.1 200 OK", "Content-Length: 5") + b"ab", CLOSE], False), ([lambda conn: Stream()(conn)], False)])
def test_what_ends_the_wait(http, script, ends):
    http.scripts = [script]
    assert request_wait(http, 5.0 if ends else 0.3) == (None if ends else WAIT_TIMED_OUT)
    assert set(http.requests) == {expected_request("GET", "/")}
    assert len(http.requests) == 1 if ends else len(http.requests) >= 2

def test_the_wait_tries_until_the_server_answers_200(http):
    http.scripts = [answer("503 Busy"), answer("204 No Content"), [CLOSE], answer("500 Oops"), answer("200 OK")]
    assert request_wait(http, 10.0) is None
    http.idle()
    assert len(http.requests) == 5

def test_the_wait_with_a_zero_timeout_makes_at_most_one_attempt(http):
    for timeout in [0, math.nan, -math.inf]:
        for script, outcomes in [(answer("500 Oops"), {WAIT_TIMED_OUT}), (answer("200 OK"), {None, WAIT_TIMED_OUT})]:
            http.scripts, connections = [script], http.connections
            assert request_wait(http, timeout) in outcomes
            assert http.connections - connections <= 1

def test_the_wait_for_a_socket_that_appears_late_or_is_stale(tmp_dir):
    started = time.monotonic()
    assert request_wait(tmp_dir + "/none", 0.4) == WAIT_TIMED_OUT and 0.35 <= time.monotonic() - started < 5
    socket.socket(socket.AF_UNIX).bind(tmp_dir + "/peer.sock")  # left behind by a dead server: refused
    with HttpPeer(answer("200 OK"), directory=tmp_dir, listen_after=0.5) as late:
        started = time.monotonic()
        assert request_wait(late, 10.0) is None and time.monotonic() - started >= 0.45

def test_a_silent_server_costs_a_second_per_attempt(http):
    http.scripts = [[SILENCE]]
    started = time.monotonic()
    assert request_wait(http, 0.2) == WAIT_TIMED_OUT
    assert 0.9 <= time.monotonic() - started < 10 and http.connections == 1

@pytest.mark.parametrize("timeout, text", [(2.0**64, PANIC), (math.inf, PANIC), (1e19, "overflow when adding duration to instant")])
def test_a_wait_deadline_that_cannot_be_formed_panics(http, timeout, text):
    with pytest.raises(BaseException) as caught:
        ffi.firecracker_wait_for_socket(http.path, timeout)
    assert (type(caught.value).__name__, caught.value.args) == ("PanicException", (text,))
    assert request_wait(http, 2.0**62) is None

NGINX = """daemon off; master_process off; worker_processes 1; pid {dir}/pid; error_log {dir}/error.log warn;
events {{ worker_connections 64; }}
http {{ access_log off; client_body_temp_path {dir}/body; proxy_temp_path {dir}/proxy; fastcgi_temp_path {dir}/f;
  uwsgi_temp_path {dir}/u; scgi_temp_path {dir}/s; default_type application/json;
  server {{ listen unix:{dir}/api.sock;
    location = / {{ return 200 '{{"state":"Running"}}'; }}
    location = /machine-config {{ return 204; }}
    location = /empty {{ return 200 ''; }}
    location = /fails {{ return 500 '{{"fault_message":"boom"}}'; }}
    location / {{ return 404 '{{"fault_message":"no such path"}}'; }} }} }}
"""

@pytest.fixture(scope="module")
def nginx(tmp_path_factory):
    directory = tmp_path_factory.mktemp("nginx")
    (directory / "nginx.conf").write_text(NGINX.format(dir=directory))
    server = subprocess.Popen(["nginx", "-p", directory, "-c", directory / "nginx.conf", "-e", directory / "error.log"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=tool_env())
    yield server, str(directory / "api.sock")
    server.kill()
    server.wait()

@need("nginx")
def test_nginx(nginx):
    server, path = nginx
    assert request_wait(path, 15.0) is None
    assert [request(path, *call) for call in [
        ("GET", "/"), ("PUT", "/machine-config", '{"vcpu_count":2}'), ("GET", "/empty"), ("GET", "/no/such/path"),
        ("PATCH", "/fails", "x" * 100_000)]] == [
        (200, '{"state":"Running"}'), (204, None), (200, None), (404, '{"fault_message":"no such path"}'),
        (500, '{"fault_message":"boom"}')]
    assert {request(path) for _ in range(100)} == {(200, '{"state":"Running"}')}
    status, body = request(path, "GET", "no-slash")
    assert status == 400 and "400" in body
    server.terminate()
    server.wait(10)
    assert request_wait(path, 0.2) == WAIT_TIMED_OUT
