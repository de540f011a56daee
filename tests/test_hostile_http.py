"""firecracker_request against hostile peers: a response cut at every byte,
garbage, endless heads, slow replies. Always the right error or result, and no
descriptor left open."""

import os
import random

import pytest

import corvane_core._ffi as ffi
from firecracker_peer import CLOSE, Pause, ScriptedPeer
from descriptors import fds_return_to, open_fds
from hostile_peers import MiB, Stream, dribble

BODY = b'{"state":"Running","id":"vm-1"}'
RESPONSE = b"HTTP/1.1 200 OK\r\nServer: api\r\nContent-Length: %d\r\n\r\n%s" % (len(BODY), BODY)
HEAD_END = RESPONSE.index(b"\r\n\r\n") + 4
MALFORMED = "malformed HTTP response"
SHORT_BODY = "failed to fill whole buffer"
TOO_LARGE = "HTTP response headers are too large"
HEADER_LIMIT = 65536


def outcome(path, timeout=10.0):
    try:
        return ffi.firecracker_request(path, "GET", "/vm", None, timeout)
    except OSError as error:
        assert (error.errno, error.strerror, error.filename) == (None, None, None)
        return error.args


def test_a_peer_closing_at_every_byte_offset(tmp_dir):
    scripts = [[RESPONSE[:cut], CLOSE] for cut in range(len(RESPONSE))] + [[RESPONSE]]
    peer = ScriptedPeer(os.path.join(tmp_dir, "api.sock"), scripts)
    try:
        fds = open_fds()
        for cut in range(len(RESPONSE)):
            expected = (MALFORMED,) if cut < HEAD_END else (SHORT_BODY,)
            assert outcome(peer.path) == expected, f"cut at {cut}"
            assert peer.wait_finished(cut + 1)
            assert fds_return_to(fds), f"cut at {cut}"
        assert outcome(peer.path) == (200, BODY.decode())
    finally:
        peer.stop()


NOISE = bytes(b for b in random.Random(9).randbytes(100_000) if b not in b"\r\n")


@pytest.mark.parametrize(
    "script, expected",
    [
        ([NOISE[:3000], CLOSE], (MALFORMED,)),
        ([NOISE], (TOO_LARGE,)),
        ([NOISE[:HEADER_LIMIT - 1] + b"\r\n\r\n"], (TOO_LARGE,)),
        ([b"\x00" * 100, CLOSE], (MALFORMED,)),
        ([b"HTTP/1.1 200 OK\r\n" + b"X\r\n" * 30_000], (TOO_LARGE,)),
        ([b"SSH-2.0-server\r\n", CLOSE], (MALFORMED,)),
        ([b"\x01\x02\xff\x04\r\n\r\n"], ("missing HTTP status code",)),
        ([b"\x00\x01 \x02\r\n\r\n"], ("invalid HTTP status: invalid digit found in string",)),
        ([b"\xff\xfe 201 \xfd\r\nContent-Length: 3\r\n\r\n\xff\x00\x80"], (201, "\ufffd\x00\ufffd")),
        ([b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n" + NOISE[:3]], (200, NOISE[:3].decode("utf-8", "replace"))),
        ([b"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n"],
         ("invalid Content-Length: number too large to fit in target type",)),
    ],
    ids=[
        "noise, then close", "noise past the header limit", "noise with a blank line past the limit",
        "NUL bytes, then close", "lines without a blank one", "another protocol's greeting",
        "a status line of one field", "a status of control bytes", "undecodable bytes around a status",
        "a body of noise", "a length beyond 64 bits",
    ],
)
def test_garbage_gives_the_right_error(tmp_dir, script, expected):
    peer = ScriptedPeer(os.path.join(tmp_dir, "api.sock"), [script])
    try:
        fds = open_fds()
        assert outcome(peer.path) == expected
        assert peer.wait_finished(1)
        assert fds_return_to(fds)
    finally:
        peer.stop()


@pytest.mark.parametrize(
    "prefix",
    [b"", b"HTTP/1.1 200 OK\r\n", b"HTTP/1.1 200 OK\r\nX-Long: "],
    ids=["from the first byte", "after the status line", "inside a header"],
)
def test_an_endless_head_stops_at_the_header_limit(tmp_dir, prefix):
    stream = Stream(limit=64 * MiB, chunk=b"b" * 65536)
    peer = ScriptedPeer(os.path.join(tmp_dir, "api.sock"), [[prefix, stream]])
    try:
        fds = open_fds()
        assert outcome(peer.path) == (TOO_LARGE,)
        assert peer.wait_finished(1)
        # The client stopped reading at the limit; the peer got rid of only
        # what the socket buffers hold beyond it.
        assert stream.finished and HEADER_LIMIT <= stream.sent + len(prefix) < HEADER_LIMIT + 4 * MiB
        assert fds_return_to(fds)
    finally:
        peer.stop()


@pytest.mark.parametrize("size", [1, 7])
def test_a_peer_answering_byte_by_byte_is_understood(tmp_dir, size):
    peer = ScriptedPeer(os.path.join(tmp_dir, "api.sock"), [dribble(RESPONSE, size, 0.001, Pause)])
    try:
        fds = open_fds()
        assert outcome(peer.path) == (200, BODY.decode())
        assert peer.wait_finished(1)
        assert peer.connections[0].client_closed
        assert fds_return_to(fds)
    finally:
        peer.stop()


def endless(conn):
    """Streams header bytes until the client goes away."""
    conn.settimeout(30)
    try:
        while True:
            conn.send(b"X-Flood: " + b"f" * 65536)
    except OSError:
        pass


@pytest.mark.parametrize(
    "script",
    [[endless], [NOISE[:1000], CLOSE], [b"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nhalf", CLOSE],
     [b"HTTP/1.1 503 Busy\r\n\r\n"]],
    ids=["endless head", "noise", "cut body", "not ready"],
)
def test_waiting_for_a_hostile_socket_ends_at_its_deadline(tmp_dir, script):
    peer = ScriptedPeer(os.path.join(tmp_dir, "api.sock"), [script])
    try:
        fds = open_fds()
        with pytest.raises(OSError) as caught:
            ffi.firecracker_wait_for_socket(peer.path, 0.3)
        assert caught.value.args == ("wait_for_socket timed out",)
        assert peer.wait_finished(1)
        assert fds_return_to(fds)
    finally:
        peer.stop()


def test_waiting_for_a_slow_but_good_socket_succeeds(tmp_dir):
    response = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"
    peer = ScriptedPeer(os.path.join(tmp_dir, "api.sock"), [dribble(response, 1, 0.002, Pause)])
    try:
        fds = open_fds()
        assert ffi.firecracker_wait_for_socket(peer.path, 30.0) is None
        assert fds_return_to(fds)
    finally:
        peer.stop()
