"""TAP devices per second, in a network namespace of the benchmark's own: prepare_tap + delete_tap against the
iproute2 commands a script would run (ip tuntap add, ip addr add, ip link set up, ip link del), each as a process.
Ratios above 1 mean this module does more per second."""

import os
import subprocess
import sys
import time

import corvane_core._ffi as ffi

OURS, THEIRS = int(os.environ.get("NET_BENCH_OURS", "500")), int(os.environ.get("NET_BENCH_THEIRS", "50"))


def ours():
    for _ in range(OURS):
        ffi.prepare_tap("bench0", 1000, "172.16.0.1", 30, False)
        ffi.delete_tap("bench0")


def theirs():
    for _ in range(THEIRS):
        for command in (
            ["tuntap", "add", "bench0", "mode", "tap", "user", "1000"],
            ["addr", "add", "172.16.0.1/30", "dev", "bench0"],
            ["link", "set", "bench0", "up"],
            ["link", "del", "bench0"],
        ):
            subprocess.run(["ip", *command], check=True)


def per_second(run, count):
    start = time.perf_counter()
    run()
    return count / (time.perf_counter() - start)


def measure():
    os.unshare(os.CLONE_NEWNET)
    rate_ours, rate_theirs = per_second(ours, OURS), per_second(theirs, THEIRS)
    print("TAP devices made, configured and deleted, in a private network namespace")
    print(f"  prepare_tap + delete_tap           {rate_ours:8.0f} /s")
    print(f"  ip tuntap/addr/link set/link del   {rate_theirs:8.0f} /s   ours/theirs {rate_ours / rate_theirs:6.1f}x")


def main():
    if not ffi.has_native_networking():
        print("networking benchmark skipped: this build has no native networking")
        return 0
    sys.stdout.flush()
    child = os.fork()
    if child == 0:
        code = 1
        try:
            measure()
            code = 0
        finally:
            sys.stdout.flush()
            os._exit(code)
    _, status = os.waitpid(child, 0)
    return os.waitstatus_to_exitcode(status)


if __name__ == "__main__":
    sys.exit(main())
