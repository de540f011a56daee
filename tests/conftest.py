"""Fixtures shared by the tests, and the leak mode.

With --leaks (./dev leaks, under the debug interpreter) every test marked
`leakcheck` runs its body WARMUP + REPEAT times and fails when the interpreter's
total reference count or the open descriptors grew: a leak of one per call
grows them by REPEAT, far beyond what is alive by chance at either snapshot.
"""

import ctypes
import gc
import os
import shutil
import sys
import tempfile
import time

import pytest

from peers import open_fds, settle_all

WARMUP, REPEAT = 20, 300
REFERENCE_TOLERANCE, DESCRIPTOR_TOLERANCE = 100, 2

def pytest_addoption(parser):
    parser.addoption("--leaks", action="store_true", help="repeat the leakcheck tests under reference and descriptor checks")

def pytest_configure(config):
    config.addinivalue_line("markers", "leakcheck: repeated under the reference and descriptor checks with --leaks")
    if config.getoption("--leaks") and not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("--leaks needs the debug interpreter (./dev leaks)")

def snapshot():
    settle_all()
    gc.collect()
    return sys.gettotalrefcount(), len(open_fds())

@pytest.hookimpl(wrapper=True)
def pytest_pyfunc_call(pyfuncitem):
    if pyfuncitem.config.getoption("--leaks") and pyfuncitem.get_closest_marker("leakcheck"):
        body = pyfuncitem.obj

        def repeated(**arguments):
            interval = sys.getswitchinterval()
            sys.setswitchinterval(0.0002)  # peer threads answer sooner
            try:
                for round in range(WARMUP + REPEAT):
                    if round == WARMUP:
                        references, descriptors = snapshot()
                    settle_all()
                    body(**arguments)
                references_after, descriptors_after = snapshot()
            finally:
                sys.setswitchinterval(interval)
            assert descriptors_after - descriptors <= DESCRIPTOR_TOLERANCE, "descriptors leak"
            assert references_after - references <= REFERENCE_TOLERANCE, f"{references_after - references} references leak"

        pyfuncitem.obj = repeated
    return (yield)

@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item, call):
    report = yield
    item.failed_call = getattr(item, "failed_call", False) or (report.when == "call" and report.failed)
    return report

@pytest.fixture(autouse=True)
def no_descriptor_left(request):
    """Every test: no descriptor stays open after it (a peer thread closes its end
    a moment after the client did, so the check waits a little)."""
    before = open_fds()
    yield
    if request.node.failed_call:
        return  # the failure's report holds its frames, and the clients in them
    deadline = time.monotonic() + 10
    while not open_fds() <= before:
        gc.collect()  # clients held by reference cycles (a caught exception's traceback)
        assert time.monotonic() < deadline, f"descriptors left open: {open_fds() - before}"
        time.sleep(0.005)

@pytest.fixture
def tmp_dir():
    """A fresh directory with a path short enough for a socket address."""
    path = tempfile.mkdtemp(prefix="t", dir="/tmp")
    yield path
    shutil.rmtree(path, ignore_errors=True)

@pytest.fixture
def tmpfs(tmp_path):
    """mount(options, flags, point): a tmpfs for the test (a remount when `point` is given)."""
    libc, points = ctypes.CDLL(None, use_errno=True), []

    def mount(options="size=1m", flags=0, point=None):
        if os.geteuid() != 0:
            pytest.skip("mounting a tmpfs needs root")
        if point is None:
            point = tmp_path / f"fs{len(points)}"
            point.mkdir()
            points.append(point)
        if libc.mount(b"tmpfs", bytes(point), b"tmpfs", flags, options.encode()) != 0:
            pytest.skip(f"cannot mount a tmpfs here: {os.strerror(ctypes.get_errno())}")
        return point

    yield mount
    for point in points:
        libc.umount2(bytes(point), 2)  # MNT_DETACH
