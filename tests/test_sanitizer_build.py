"""Under `./dev test --sanitize`: the module really is instrumented, and a finding
really aborts and is reported (so a green sanitizer run means something).
Skipped in plain runs."""

import os
import subprocess
import sys

import pytest

import corvane_core._ffi as ffi
from tool_env import tool_environment

RUNTIME = os.environ.get("CORVANE_SANITIZER_PRELOAD")

pytestmark = pytest.mark.skipif(RUNTIME is None, reason="only under ./dev test --sanitize")


def dynamic_symbols(path, *flags):
    listing = subprocess.run(["nm", "-D", *flags, path], capture_output=True, text=True, check=True,
                             env=tool_environment())
    return {line.split()[-1] for line in listing.stdout.splitlines() if line.strip()}


def test_module_calls_into_both_sanitizers():
    undefined = dynamic_symbols(ffi.__file__, "--undefined-only")
    assert "__asan_init" in undefined
    assert any(name.startswith("__ubsan_handle_") for name in undefined)


def test_runtime_is_preloaded_into_the_interpreter():
    with open("/proc/self/maps") as maps:
        assert RUNTIME in maps.read()


# A double free through the preloaded allocator: reported and fatal. The child
# reports to its standard error, so this expected finding stays out of the
# run's report files.
DOUBLE_FREE = """
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.free.argtypes = [ctypes.c_void_p]
block = libc.malloc(16)
libc.free(block)
libc.free(block)
print("not reached")
"""


def test_a_finding_aborts_with_a_report():
    # Both option sets name the report path (the combined runtime reads both).
    env = dict(os.environ, ASAN_OPTIONS=os.environ["ASAN_OPTIONS"] + ":log_path=stderr",
               UBSAN_OPTIONS=os.environ["UBSAN_OPTIONS"] + ":log_path=stderr")
    child = subprocess.run([sys.executable, "-c", DOUBLE_FREE], capture_output=True, text=True, env=env, timeout=60)
    assert child.returncode != 0
    assert "not reached" not in child.stdout
    assert "ERROR: AddressSanitizer: attempting double-free" in child.stderr


def test_tools_run_without_the_runtime():
    env = tool_environment()
    assert RUNTIME not in env.get("LD_PRELOAD", "")
    assert "CORVANE_SANITIZER_PRELOAD" not in env
