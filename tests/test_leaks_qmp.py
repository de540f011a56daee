"""No reference or descriptor leaks in the QMP client: every error kind that a
peer can provoke, every method's success, connect/close cycles, the object's
own creation and destruction, and the panics of impossible time values.
The peers are scripted threads of this process (tests/qmp_peer.py)."""

import json
import os
import subprocess
import sys
import tempfile

import pytest

import corvane_core._ffi as ffi
from leak_check import Raises, Returns, assert_no_leak
from qmp_peer import CLOSE, EMPTY_RETURN, QmpPeer, echo_arguments, error_reply, reply

PanicException = None  # set by the fixture from a real panic

EVENT = b'{"event":"STOP","timestamp":{"seconds":1,"microseconds":2}}\n'
DONE = {"id": "done", "type": "snapshot-save", "status": "concluded", "current-progress": 1, "total-progress": 1}
BROKEN = dict(DONE, id="broken", error="disk full")
ARGUMENTS = '{"list":[1,-2,2.5,"é\\n",null,true,false],"nested":{"a":{}},"z":[]}'


def handler(command, raw):
    name = command.get("execute") if isinstance(command, dict) else None
    if name == "echo":
        return echo_arguments(command, raw)
    if name == "query-jobs":
        return [reply([DONE, BROKEN])]
    return {
        "with-event": [EVENT, EMPTY_RETURN],
        "fail": [error_reply("GenericError", "it failed")],
        "die": [CLOSE],
        "garbage": [b"not json\n"],
        "not-utf8": [b'{"return":"\xff"}\n'],
    }.get(name, [EMPTY_RETURN])


def bad_jobs(command, raw):
    return [reply(5)] if command.get("execute") == "query-jobs" else [EMPTY_RETURN]



@pytest.fixture(scope="module")
def peers():
    main = QmpPeer(handler).start()  # serves the one connected client
    serial = QmpPeer(handler).start()  # serves a new client per call
    jobs = QmpPeer(bad_jobs).start()
    greeting = QmpPeer(handler, greeting=b'{"hello":1}\n').start()
    missing = tempfile.TemporaryDirectory(prefix="qmp-missing-")
    connected = ffi._QmpClient(main.path)
    connected.connect(5.0, 5.0)
    jobs_client = ffi._QmpClient(jobs.path)
    yield {
        "main": main, "serial": serial, "jobs": jobs, "greeting": greeting, "connected": connected, "jobs_client": jobs_client,
        "missing": os.path.join(missing.name, "absent.sock"),
    }
    connected.close()
    jobs_client.close()
    for peer in (main, serial, jobs, greeting):
        peer.stop()
    missing.cleanup()


def fresh(p, name="serial"):
    return ffi._QmpClient(p[name].path)


def panic_type():
    try:
        ffi._QmpClient("/p").connect(1e300, 1.0)
    except BaseException as error:  # noqa: BLE001
        return type(error)
    raise AssertionError("no panic")


def message_of(call):
    """Runs call; the QMP error message of the RuntimeError it raises."""

    def run(p):
        try:
            call(p)
        except RuntimeError as error:
            return json.loads(error.args[0])["message"]
        return "no error"

    return run



CASES = [
    # successes on one connected client
    ("execute", lambda p: p["connected"].execute("ok", None), Returns("{}")),
    ("execute with arguments", lambda p: p["connected"].execute("echo", ARGUMENTS),
     Returns(json.dumps(json.loads(ARGUMENTS), separators=(",", ":"), sort_keys=True, ensure_ascii=False))),
    ("events skipped", lambda p: p["connected"].execute("with-event", None), Returns("{}")),
    ("stop_vm", lambda p: p["connected"].stop_vm(), Returns(None)),
    ("cont", lambda p: p["connected"].cont(), Returns(None)),
    ("snapshot_save", lambda p: p["connected"].snapshot_save("j", "t", "vm", ["d1", "d2"]), Returns(None)),
    ("snapshot_load", lambda p: p["connected"].snapshot_load("j", "t", "vm", ("d1",)), Returns(None)),
    ("snapshot_delete", lambda p: p["connected"].snapshot_delete("j", "t", []), Returns(None)),
    ("internal snapshot", lambda p: p["connected"].blockdev_snapshot_internal_sync("vd0", "s"), Returns(None)),
    ("internal snapshot delete",
     lambda p: p["connected"].blockdev_snapshot_delete_internal_sync("vd0", "s"), Returns(None)),
    ("query_jobs", lambda p: json.loads(p["connected"].query_jobs())[0]["job_id"], Returns("done")),
    ("dismiss_job", lambda p: p["connected"].dismiss_job("done"), Returns(None)),
    ("wait_for_job", lambda p: json.loads(p["connected"].wait_for_job("done", 5.0, 0.0))["status"],
     Returns("concluded")),
    ("connect again does nothing", lambda p: p["connected"].connect(1.0, 1.0), Returns(None)),
    # a client per call: connect, negotiate, command, destruction
    ("fresh client", lambda p: fresh(p).execute("ok", None), Returns("{}")),
    ("connect and close", lambda p: (lambda c: (c.connect(5.0, 5.0), c.close()))(fresh(p)), Returns((None, None))),
    # every error kind a peer or a caller can provoke
    ("SocketTimeout", message_of(lambda p: ffi._QmpClient(p["missing"]).connect(0.0, 1.0)),
     "Timed out waiting for QMP socket"),
    ("InvalidGreeting", message_of(lambda p: fresh(p, "greeting").connect(5.0, 5.0)), "Invalid QMP greeting"),
    ("SocketClosed", message_of(lambda p: fresh(p).execute("die", None)), "QMP socket closed unexpectedly"),
    ("CommandFailed", message_of(lambda p: p["connected"].execute("fail", None)), "QMP command 'fail' failed"),
    ("UnexpectedJobsResponse", message_of(lambda p: p["jobs_client"].query_jobs()),
     "Unexpected QMP query-jobs response"),
    ("JobFailed", message_of(lambda p: p["connected"].wait_for_job("broken", 5.0, 0.0)), "QMP job failed"),
    ("JobTimeout", message_of(lambda p: p["connected"].wait_for_job("absent", 0.0, 0.0)),
     "Timed out waiting for QMP job"),
    ("Json, arguments", message_of(lambda p: p["connected"].execute("x", "[")),
     "EOF while parsing a list at line 1 column 1"),
    ("Json, reply", message_of(lambda p: p["connected"].execute("garbage", None)), None),
    ("Io, reply", message_of(lambda p: p["connected"].execute("not-utf8", None)), "stream did not contain valid UTF-8"),
    ("Io, zero read timeout", message_of(lambda p: fresh(p).connect(5.0, 0.0)), "cannot set a 0 duration timeout"),
    # panics before the mutex: the client stays usable
    ("panic, connect timeout", lambda p: p["connected"].connect(1e300, 1.0), "panic"),
    ("panic, wait deadline", lambda p: p["connected"].wait_for_job("done", 1.8e19, 0.0), "panic"),
]


@pytest.mark.parametrize("call, outcome", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_qmp_paths_do_not_leak(peers, call, outcome):
    if outcome == "panic":
        outcome = Raises(panic_type())
    elif outcome is None or isinstance(outcome, str):
        expected = outcome

        def checked(p, run=call):
            message = run(p)
            assert message != "no error"
            if expected is not None:
                assert message == expected, message
            return True

        call, outcome = checked, Returns(True)

    def settle():
        for peer in (peers["main"], peers["serial"], peers["jobs"], peers["greeting"]):
            peer.lines.clear()

    assert_no_leak(lambda: call(peers), outcome, settle=settle)


# LockPoisoned needs a client poisoned for real: a panic while its mutex is
# held, provoked in a child process by an allocation failure under an
# address-space limit (as in test_qmp_poisoning.py). The child runs the checks.
POISONED_SCRIPT = r"""
import os, resource, socket, sys, tempfile, threading
sys.path.insert(0, sys.argv[1])
from corvane_core._ffi import _QmpClient
from leak_check import Raises, assert_no_leak
from qmp_peer import GREETING

# Below the 10 MiB line bound, but beyond what the address-space limit lets
# the line grow to.
HUGE = b'{"return":"' + b"x" * (9 << 20) + b'"}\n'
POISONED = '{"context":{},"message":"QMP client lock is poisoned"}'

# One connection; blocking sends, so the huge line is never cut short by a
# send timeout while the client is slow under the memory limit.
def serve(listener):
    conn, _ = listener.accept()
    with conn:
        conn.sendall(GREETING)
        reader = conn.makefile("rb")
        reader.readline()
        conn.sendall(b'{"return":{}}\n')
        reader.readline()
        try:
            conn.sendall(HUGE)
        except OSError:
            pass
        while conn.recv(65536):
            pass

def vm_size():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

path = os.path.join(tempfile.mkdtemp(), "qmp.sock")
listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
listener.bind(path)
listener.listen(1)
threading.Thread(target=serve, args=(listener,), daemon=True).start()
client = _QmpClient(path)
client.connect(5.0, 30.0)
resource.setrlimit(resource.RLIMIT_AS, (vm_size() + (4 << 20), resource.RLIM_INFINITY))
try:
    client.execute("huge", None)
except BaseException as error:
    outcome = f"{type(error).__name__}: {error}"
else:
    outcome = "no error"
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
assert outcome == "PanicException: memory allocation failed", outcome
assert_no_leak(lambda: client.execute("after", None), Raises(RuntimeError, POISONED))
assert_no_leak(lambda: client.wait_for_job("j", 1.0, 0.0), Raises(RuntimeError, POISONED))
assert_no_leak(client.close, Raises(RuntimeError, POISONED))
assert_no_leak(lambda: client.execute("x", "["), Raises(RuntimeError))
print("checked")
"""


@pytest.mark.skipif("CORVANE_SANITIZER_PRELOAD" in os.environ,
                    reason="AddressSanitizer's operator new aborts instead of throwing std::bad_alloc")
@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc to size the address-space limit")
def test_lock_poisoned_does_not_leak():
    child = subprocess.run([sys.executable, "-c", POISONED_SCRIPT, os.path.dirname(__file__)],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["checked"]
