"""A panic while the client's mutex is held poisons the client for good.

The panic is provoked for real: in a child process with a limited address
space, a reply line larger than the limit makes the read fail to allocate.
"""

import json
import os
import subprocess
import sys

import pytest

SCRIPT = r"""
import resource, sys
sys.path.insert(0, sys.argv[1])
from corvane_core._ffi import _QmpClient
from qmp_peer import QmpPeer

# Below the 10 MiB line bound, but beyond what the address-space limit lets
# the line grow to.
HUGE = b'{"return":"' + b"x" * (9 << 20) + b'"}\n'

def vm_size():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

class PatientPeer(QmpPeer):
    # Sends without the peer's short timeout: Python's sendall timeout bounds
    # the whole send, and the client may need longer than that to read up to
    # its allocation failure on a loaded machine (the line would then be cut
    # short and the client would report a JSON error instead).
    def _perform(self, conn, actions):
        conn.settimeout(None)
        try:
            return super()._perform(conn, actions)
        finally:
            conn.settimeout(0.05)

def attempt(call):
    try:
        call()
        print("ok")
    except BaseException as error:
        print(type(error).__name__, error)

with PatientPeer(lambda command, raw: [HUGE] if command["execute"] == "huge" else [b'{"return":{}}\n']) as peer:
    client = _QmpClient(peer.path)
    client.connect(5.0, 30.0)
    attempt(lambda: client.execute("before", None))
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + (4 << 20), resource.RLIM_INFINITY))
    attempt(lambda: client.execute("huge", None))
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    attempt(lambda: client.execute("after", None))
    attempt(lambda: client.wait_for_job("j", 1.0, 0.0))
    attempt(client.close)
    attempt(lambda: client.execute("x", "["))
    del client  # closes the socket, so the peer's send ends and it serves the next client
    attempt(lambda: _QmpClient(peer.path).execute("fresh", None))
"""

POISONED = 'RuntimeError {"context":{},"message":"QMP client lock is poisoned"}'


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc to size the address-space limit")
@pytest.mark.skipif("CORVANE_SANITIZER_PRELOAD" in os.environ,
                    reason="AddressSanitizer's operator new aborts instead of throwing std::bad_alloc")
def test_panic_with_the_mutex_held_poisons_the_client():
    result = subprocess.run([sys.executable, "-c", SCRIPT, os.path.dirname(__file__)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "ok"
    assert lines[1] == "PanicException memory allocation failed"
    assert lines[2:5] == [POISONED, POISONED, POISONED]  # execute, wait_for_job, close
    # A parse failure still reports, with an empty socket path.
    kind, text = lines[5].split(" ", 1)
    assert kind == "RuntimeError"
    assert json.loads(text) == {"context": {"socket_path": ""}, "message": "EOF while parsing a list at line 1 column 1"}
    # Other clients are unaffected.
    assert lines[6] == "ok"
