"""Helpers for the hostile-peer tests: endless streams, byte-by-byte replies
and the JSON parser's own message for a text."""

import json
import os

import pytest

from corvane_core._ffi import _QmpClient

MiB = 1 << 20


class Stream:
    """A peer action: sends `chunk` over and over, never a line feed or a blank
    line, until the client stops reading (the send fails) or `limit` bytes went
    out. `sent` is how many bytes the socket accepted."""

    def __init__(self, limit=64 * MiB, chunk=b"a" * MiB):
        self.limit = limit
        self.chunk = chunk
        self.sent = 0
        self.finished = False

    def __call__(self, conn):
        timeout = conn.gettimeout()
        conn.settimeout(30)
        try:
            while self.sent < self.limit:
                self.sent += conn.send(self.chunk)
        except OSError:
            pass
        finally:
            conn.settimeout(timeout)
            self.finished = True


def send_all_slowly(data):
    """A peer action sending `data` whole with a long send timeout, for lines of megabytes."""

    def action(conn):
        timeout = conn.gettimeout()
        conn.settimeout(30)
        try:
            conn.sendall(data)
        finally:
            conn.settimeout(timeout)

    return action


def dribble(data, size, pause, pause_type):
    """`data` cut into pieces of `size` bytes with a pause action after each."""
    actions = []
    for at in range(0, len(data), size):
        actions += [data[at : at + size], pause_type(pause)]
    return actions


def qmp_error(excinfo):
    """The JSON object carried by a QMP RuntimeError."""
    assert type(excinfo.value) is RuntimeError
    assert len(excinfo.value.args) == 1
    return json.loads(excinfo.value.args[0])


def parser_message(text):
    """The JSON parser's message for `text` (which must not parse), taken from
    the parse failure of execute's arguments, which does no I/O."""
    with pytest.raises(RuntimeError) as caught:
        _QmpClient("").execute("x", text)
    return qmp_error(caught)["message"]


def os_text(number):
    return f"{os.strerror(number)} (os error {number})"
