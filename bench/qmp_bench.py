"""Commands per second and client CPU time per command: _QmpClient against a plain-Python QMP client; and the peak
memory of one 10 MiB reply against json.loads + json.dumps of the same line.

Both clients run in this process, one after the other, against the same peers:
a real QEMU (TCG, CPU stopped) and a fast scripted peer in another process
that answers from precomputed lines (and puts an event before every tenth
reply, which both clients must skip). CPU time is this process's own user +
system time from getrusage, so the peer's work is not counted.

Run with ./dev bench.
"""

import json
import os
import resource
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from corvane_core._ffi import _QmpClient  # noqa: E402

ROUNDS = 3


# -- the client a user would otherwise write --------------------------------------


class PlainQmpClient:
    """socket + json: the same framing, event skipping and error handling."""

    def __init__(self, path, timeout=30.0):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(path)
        self.reader = self.sock.makefile("rb", buffering=8192)
        greeting = json.loads(self.reader.readline())
        if not isinstance(greeting, dict) or "QMP" not in greeting:
            raise RuntimeError("Invalid QMP greeting")
        self.execute("qmp_capabilities")

    def execute(self, command, arguments=None):
        message = {"execute": command}
        if arguments is not None:
            message["arguments"] = arguments
        self.sock.sendall(json.dumps(message, separators=(",", ":"), sort_keys=True).encode() + b"\n")
        while True:
            line = self.reader.readline()
            if not line:
                raise RuntimeError("QMP socket closed unexpectedly")
            reply = json.loads(line)
            if not isinstance(reply, dict) or not reply or "event" in reply:
                continue
            error = reply.get("error")
            if isinstance(error, dict):
                raise RuntimeError(f"QMP command '{command}' failed: {error.get('desc')}")
            if "return" in reply:
                return reply["return"]

    def query_jobs(self):
        jobs = self.execute("query-jobs")
        if not isinstance(jobs, list):
            raise RuntimeError("Unexpected QMP query-jobs response")
        return [
            {
                "job_id": job.get("id"),
                "job_type": job.get("type"),
                "status": job.get("status"),
                "current_progress": job.get("current-progress", 0),
                "total_progress": job.get("total-progress", 0),
                "error": job.get("error"),
            }
            for job in jobs
        ]

    def close(self):
        self.reader.close()
        self.sock.close()


# -- the fast peer, run in its own process -------------------------------------------

FAST_PEER = r"""
import socket, sys, threading
path = sys.argv[1]
replies = {
    b'{"execute":"qmp_capabilities"}\n': b'{"return":{}}\n',
    b'{"execute":"query-status"}\n': b'{"return":{"running":false,"singlestep":false,"status":"prelaunch"}}\n',
    b'{"execute":"query-jobs"}\n': b'{"return":[{"current-progress":1,"id":"snap0","status":"concluded","total-progress":1,"type":"snapshot-save"},{"current-progress":3,"id":"snap1","status":"running","total-progress":9,"type":"snapshot-load"}]}\n',
}
replies[b'{"execute":"zeros"}\n'] = b'{"return":[' + b"0," * (5 * 1024 * 1024 - 8) + b'0]}\n'  # just below the line bound
event = b'{"event":"JOB_STATUS_CHANGE","data":{"id":"snap1","status":"running"},"timestamp":{"seconds":1,"microseconds":2}}\n'
def serve(conn):
    conn.sendall(b'{"QMP":{"version":{},"capabilities":[]}}\n')
    pending = b""
    count = 0
    while True:
        data = conn.recv(65536)
        if not data:
            break
        pending += data
        out = []
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            count += 1
            if count % 10 == 0:
                out.append(event)
            out.append(replies.get(line + b"\n", b'{"return":{}}\n'))
        conn.sendall(b"".join(out))
    conn.close()
server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
server.bind(path)
server.listen(4)
print("ready", flush=True)
while True:
    conn, _ = server.accept()
    threading.Thread(target=serve, args=(conn,), daemon=True).start()
"""


class FastPeer:
    def __enter__(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="qmp-bench-")
        self.path = os.path.join(self._tmp.name, "fast.sock")
        self.process = subprocess.Popen([sys.executable, "-c", FAST_PEER, self.path], stdout=subprocess.PIPE)
        if self.process.stdout.readline().strip() != b"ready":
            raise RuntimeError("fast peer did not start")
        return self

    def __exit__(self, *exc):
        self.process.kill()
        self.process.wait(10)
        self._tmp.cleanup()
        return False


# -- measuring ---------------------------------------------------------------------------


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def measure(call, count):
    for _ in range(min(200, count // 10)):
        call()
    cpu, wall = cpu_seconds(), time.perf_counter()
    for _ in range(count):
        call()
    wall = time.perf_counter() - wall
    cpu = cpu_seconds() - cpu
    return count / wall, cpu / count * 1e6


def bench_target(label, native_path, plain_path, count):
    native = _QmpClient(native_path)
    native.connect(5.0, 30.0)
    plain = PlainQmpClient(plain_path)
    cases = [
        (
            'execute("query-status")',
            lambda: native.execute("query-status", None),
            lambda: plain.execute("query-status"),
        ),
        ("query_jobs()", native.query_jobs, plain.query_jobs),
        (
            'execute("query-status") + json.loads',
            lambda: json.loads(native.execute("query-status", None)),
            lambda: plain.execute("query-status"),
        ),
    ]
    rows = []
    for name, native_call, plain_call in cases:
        results = {"native": [], "plain": []}
        for _ in range(ROUNDS):  # alternate to share out any drift of a busy machine
            results["native"].append(measure(native_call, count))
            results["plain"].append(measure(plain_call, count))
        n_rate = statistics.median(r[0] for r in results["native"])
        n_cpu = statistics.median(r[1] for r in results["native"])
        p_rate = statistics.median(r[0] for r in results["plain"])
        p_cpu = statistics.median(r[1] for r in results["plain"])
        rows.append((label, name, n_rate, p_rate, n_cpu, p_cpu))
    native.close()
    plain.close()
    return rows


# One reply in a fresh process each: the growth of its resident set over what it held before the call (the kernel's
# peak is reset first), for the module and for a plain client that reads the line with json.loads and gives
# json.dumps of the value, which is what the module hands back.
MEMORY_CHILD = r"""
import json, sys
sys.path.insert(0, sys.argv[3])
from corvane_core._ffi import _QmpClient
from qmp_bench import PlainQmpClient
def status(field): return int(open("/proc/self/status").read().split(field + ":")[1].split()[0]) * 1024
if sys.argv[1] == "native":
    client = _QmpClient(sys.argv[2])
    client.connect(5.0, 30.0)
    call = lambda: client.execute("zeros", None)
else:
    client = PlainQmpClient(sys.argv[2])
    call = lambda: json.dumps(client.execute("zeros"), separators=(",", ":"), sort_keys=True)
open("/proc/self/clear_refs", "w").write("5")  # the peak is now the resident set
before = status("VmRSS")
text = call()
print(status("VmHWM") - before, len(text))
"""


def reply_peak(kind, path):
    here = os.path.dirname(os.path.abspath(__file__))
    done = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, kind, path, here], capture_output=True, text=True, check=True
    )
    peak, length = map(int, done.stdout.split())
    return peak, length


def main():
    rows = []
    with FastPeer() as peer:
        (native, length), (plain, _) = reply_peak("native", peer.path), reply_peak("plain", peer.path)
    print(
        f"peak memory of one reply of {length / 2**20:.1f} MiB: native {native / 2**20:.1f} MiB"
        f" ({native / length:.1f}x the line), json.loads + json.dumps {plain / 2**20:.1f} MiB ({plain / length:.1f}x)"
    )
    with FastPeer() as peer:
        rows += bench_target("fast peer", peer.path, peer.path, 5000)
    try:
        from qemu_vm import QemuVm
    except ImportError:  # the QEMU helper this part was written against is not in tests/ any more
        print("real QEMU rows left out: no tests/qemu_vm.py")
        QemuVm = None
    if QemuVm is not None:
        with QemuVm(monitors=3) as vm:
            # QEMU is idle with its CPU stopped; a concluded snapshot job left
            # listed keeps query-jobs non-trivial.
            setup = _QmpClient(vm.qmp_paths[2])
            setup.snapshot_save("bench-save", "bench", "drive0", ["drive0"])
            time.sleep(0.5)
            rows += bench_target("real QEMU", vm.qmp_paths[0], vm.qmp_paths[1], 2000)
            setup.execute("quit", None)
            vm.wait_exit(20)

    print()
    print(
        f"{'peer':<10} {'call':<38} {'native cmd/s':>12} {'plain cmd/s':>12} {'speed':>6}"
        f" {'native CPU/cmd':>15} {'plain CPU/cmd':>14} {'CPU ratio':>10}"
    )
    for label, name, n_rate, p_rate, n_cpu, p_cpu in rows:
        print(
            f"{label:<10} {name:<38} {n_rate:>12,.0f} {p_rate:>12,.0f} {n_rate / p_rate:>5.2f}x"
            f" {n_cpu:>12.1f} us {p_cpu:>11.1f} us {p_cpu / n_cpu:>9.2f}x"
        )
    print()
    print("speed: native commands per second / plain-Python commands per second")
    print("CPU ratio: plain-Python CPU time per command / native CPU time per command (client process only)")
    print("The last row parses the native result with json.loads, to compare like with like.")


if __name__ == "__main__":
    main()
