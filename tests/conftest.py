"""Fixtures shared by the tests, and the leak mode (--leaks: the body of every test marked `leakcheck` repeated under
the reference and descriptor checks; docs/TESTING.md tells how)."""

import gc
import shutil
import sys
import tempfile
import time

import pytest
from peers import open_fds, settle_all

WARMUP, REPEAT, FEWEST = 10, 200, 150  # bodies slower than 10 ms repeat fewer times, never below FEWEST
REFERENCE_TOLERANCE, DESCRIPTOR_TOLERANCE = 100, 2


def pytest_addoption(parser):
    parser.addoption("--leaks", action="store_true", help="repeat the leakcheck tests under the leak checks")


def snapshot():
    settle_all()  # peers at rest, their records dropped
    gc.collect()
    return sys.gettotalrefcount(), len(open_fds())


@pytest.hookimpl(wrapper=True)
def pytest_pyfunc_call(pyfuncitem):
    if pyfuncitem.config.getoption("--leaks") and pyfuncitem.get_closest_marker("leakcheck"):
        body, interval = pyfuncitem.obj, sys.getswitchinterval()

        def run(times, arguments):
            for _ in range(times):
                settle_all()
                body(**arguments)
                gc.collect(1)  # clients held by a caught exception's cycle would keep a peer busy

        def repeated(**arguments):
            sys.setswitchinterval(0.0002)  # peer threads answer sooner
            try:
                started = time.monotonic()
                run(WARMUP, arguments)
                repeat = max(FEWEST, min(REPEAT, int(20 / (time.monotonic() - started))))
                references, descriptors = snapshot()
                run(repeat, arguments)
                references_after, descriptors_after = snapshot()
            finally:
                sys.setswitchinterval(interval)
            assert descriptors_after - descriptors <= DESCRIPTOR_TOLERANCE, "descriptors leak"
            assert references_after - references <= REFERENCE_TOLERANCE, "references leak"

        pyfuncitem.obj = repeated
    return (yield)


@pytest.fixture(autouse=True)
def no_descriptor_left(request):
    """After every test, no descriptor stays open (a peer thread closes its end a moment after the client)."""
    before, failed = open_fds(), request.session.testsfailed
    yield
    deadline = time.monotonic() + 10
    while request.session.testsfailed == failed and not open_fds() <= before:  # a failure's report holds its frames
        gc.collect()  # clients held by reference cycles (a caught exception's traceback)
        assert time.monotonic() < deadline, f"descriptors left open: {open_fds() - before}"
        time.sleep(0.005)


@pytest.fixture
def tmp_dir():
    """A fresh directory with a path short enough for a socket address."""
    path = tempfile.mkdtemp(prefix="t", dir="/tmp")
    yield path
    shutil.rmtree(path, ignore_errors=True)
