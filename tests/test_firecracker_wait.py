"""firecracker_wait_for_socket against scripted peers: what ends the wait,
what it ignores, how long each attempt may take, and what it sends."""

import math
import os
import socket
import threading
import time

import pytest

import corvane_core._ffi as ffi
from firecracker_peer import CLOSE, SILENCE, ScriptedPeer, expected_request
from descriptors import open_fds
from other_thread import other_thread_ticking

TIMED_OUT = "wait_for_socket timed out"
PROBE = expected_request("GET", "/")


def answer(status, body=b""):
    return [f"HTTP/1.1 {status} X\r\nContent-Length: {len(body)}\r\n\r\n".encode() + body]


@pytest.fixture
def socket_path(tmp_dir):
    return os.path.join(tmp_dir, "api.sock")


def wait_raises_timeout(path, timeout):
    with pytest.raises(OSError) as caught:
        ffi.firecracker_wait_for_socket(path, timeout)
    assert caught.value.args == (TIMED_OUT,)


def test_path_never_created_times_out_after_about_the_timeout(socket_path):
    started = time.monotonic()
    wait_raises_timeout(socket_path, 0.4)
    assert 0.35 <= time.monotonic() - started < 5


@pytest.mark.parametrize(
    "scripts, accepted",
    [
        ([answer(200)], True),
        ([answer(200, b'{"state":"Not started"}')], True),
        ([answer(204)], False),
        ([answer(201)], False),
        ([answer(500, b"{}")], False),
        ([answer(404, b"{}")], False),
        ([[b"garbage\r\n\r\n"]], False),
        ([[CLOSE]], False),
        ([[b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nab", CLOSE]], False),
    ],
    ids=["200", "200-body", "204", "201", "500", "404", "garbage", "closed", "cut-body"],
)
def test_what_ends_the_wait(socket_path, scripts, accepted):
    with ScriptedPeer(socket_path, scripts) as peer:
        if accepted:
            assert ffi.firecracker_wait_for_socket(socket_path, 5.0) is None
            assert len(peer.requests) == 1
        else:
            wait_raises_timeout(socket_path, 0.3)
            assert len(peer.requests) >= 2, "the wait should keep trying"
        assert set(peer.requests) == {PROBE}


def test_server_that_switches_to_200_ends_the_wait_on_that_attempt(socket_path):
    scripts = [answer(503), answer(204), [CLOSE], answer(500), answer(200), answer(200)]
    with ScriptedPeer(socket_path, scripts) as peer:
        assert ffi.firecracker_wait_for_socket(socket_path, 10.0) is None
        time.sleep(0.1)
        assert peer.requests == [PROBE] * 5


@pytest.mark.parametrize("timeout", [0, 0.0, -5, math.nan, -math.inf])
def test_zero_timeout_makes_at_most_one_attempt(socket_path, timeout):
    with ScriptedPeer(socket_path, [answer(500)]) as peer:
        wait_raises_timeout(socket_path, timeout)
        assert len(peer.requests) <= 1
    with ScriptedPeer(socket_path, [answer(200)]) as peer:
        # The first pass starts well within 1 ms unless the machine stalls.
        try:
            assert ffi.firecracker_wait_for_socket(socket_path, timeout) is None
        except OSError as error:
            assert error.args == (TIMED_OUT,)
        assert len(peer.requests) <= 1


def test_socket_that_appears_late(socket_path):
    peers = []

    def start_late():
        time.sleep(0.5)
        peers.append(ScriptedPeer(socket_path, [answer(200)]))

    starter = threading.Thread(target=start_late)
    started = time.monotonic()
    starter.start()
    try:
        assert ffi.firecracker_wait_for_socket(socket_path, 10.0) is None
        assert time.monotonic() - started >= 0.45
        assert peers[0].requests == [PROBE]
    finally:
        starter.join()
        for peer in peers:
            peer.stop()


def test_file_that_is_not_a_socket_yet_is_tried_and_ignored(socket_path):
    open(socket_path, "w").close()
    wait_raises_timeout(socket_path, 0.2)


def test_silent_server_costs_one_second_per_attempt(socket_path):
    with ScriptedPeer(socket_path, [[SILENCE]]) as peer:
        started = time.monotonic()
        wait_raises_timeout(socket_path, 0.2)
        elapsed = time.monotonic() - started
        assert 0.9 <= elapsed < 10
        assert peer.wait_finished(1)
        assert len(peer.connections) == 1
        assert peer.connections[0].client_closed


@pytest.mark.parametrize(
    "timeout, text",
    [
        (2.0**64, "cannot convert float seconds to Duration: value is either too big or NaN"),
        (math.inf, "cannot convert float seconds to Duration: value is either too big or NaN"),
        (2.0**63, "overflow when adding duration to instant"),
        (1e19, "overflow when adding duration to instant"),
    ],
)
def test_deadline_that_cannot_be_formed_panics(socket_path, timeout, text):
    with pytest.raises(BaseException) as caught:
        ffi.firecracker_wait_for_socket(socket_path, timeout)
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == (text,)


def test_huge_but_representable_timeout_waits_normally(socket_path):
    with ScriptedPeer(socket_path, [answer(200)]):
        assert ffi.firecracker_wait_for_socket(socket_path, 2.0**62) is None


@pytest.mark.parametrize(
    "args, text",
    [
        ((None, 1.0), "argument 'socket_path': 'None' is not an instance of 'str'"),
        (("/x", None), "argument 'timeout': must be real number, not NoneType"),
        (("/x",), "firecracker_wait_for_socket() missing 1 required positional argument: 'timeout'"),
        ((), "firecracker_wait_for_socket() missing 2 required positional arguments: 'socket_path' and 'timeout'"),
    ],
)
def test_argument_errors(args, text):
    with pytest.raises(TypeError) as caught:
        ffi.firecracker_wait_for_socket(*args)
    assert str(caught.value) == text


def test_keywords_and_int_timeout(socket_path):
    with ScriptedPeer(socket_path, [answer(200)]):
        assert ffi.firecracker_wait_for_socket(timeout=2, socket_path=socket_path) is None


def test_interpreter_lock_is_released_while_waiting(socket_path):
    with other_thread_ticking() as ticks:
        wait_raises_timeout(socket_path, 0.5)
    assert ticks.count >= 5


def test_no_descriptor_is_left_open(socket_path):
    with ScriptedPeer(socket_path, [answer(500), [CLOSE], answer(200)]) as peer:
        before = open_fds()
        assert ffi.firecracker_wait_for_socket(socket_path, 10.0) is None
        assert peer.wait_finished(3)
        assert open_fds() == before


def test_stale_socket_file_is_retried_until_a_server_binds(tmp_dir, socket_path):
    # A socket file left behind by a dead monitor: connecting is refused.
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.bind(socket_path)
    server = []

    def rebind():
        time.sleep(0.3)
        os.unlink(socket_path)
        server.append(ScriptedPeer(socket_path, [answer(200)]))

    t = threading.Thread(target=rebind)
    t.start()
    try:
        assert ffi.firecracker_wait_for_socket(socket_path, 10.0) is None
    finally:
        t.join()
        for peer in server:
            peer.stop()
