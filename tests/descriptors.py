"""Open descriptors of this process, for tests that a call leaves none behind."""

import os
import time


def open_fds():
    """The process's open descriptors (the listing's own descriptor is gone by then)."""
    fds = set()
    for name in os.listdir("/proc/self/fd" if os.path.isdir("/proc/self/fd") else "/dev/fd"):
        try:
            os.fstat(int(name))
        except OSError:
            continue
        fds.add(int(name))
    return fds


def fds_return_to(expected, limit=10.0):
    """Whether no descriptor beyond `expected` stays open, within `limit`
    seconds: a peer served by a thread of this process closes its own end of a
    connection a moment after the client did. (Fewer is fine: a peer thread of
    an earlier test may close its last descriptors meanwhile.)"""
    deadline = time.monotonic() + limit
    while not open_fds() <= expected:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.002)
    return True
