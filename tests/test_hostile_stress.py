"""Many threads at once: one _QmpClient shared by twelve threads calling every
method (close, connect and wait_for_job included) against a scripted peer,
while other threads make Firecracker requests and disk copies. The peer must
see only whole, valid command lines, exactly as many of each as the threads
sent; every call must give its own right answer; nothing may hang."""

import collections
import json
import os
import random
import subprocess
import sys
import textwrap
import threading
import time
from compression import zstd
from pathlib import Path

import pytest

import corvane_core._ffi as ffi
from corvane_core._ffi import _QmpClient
from firecracker_peer import ScriptedPeer, remove_dir, short_temp_dir
from descriptors import fds_return_to, open_fds
from hostile_peers import MiB

RUN_SECONDS = 3.0
JOIN_LIMIT = 90.0  # far beyond any honest run: only a deadlock reaches it
QMP_THREADS = 12
JOB_IDS = [f"job-{n}" for n in range(QMP_THREADS)]

# The peer runs in its own process, so its answers never wait for this
# process's interpreter lock, which the test threads keep busy.
PEER = textwrap.dedent(
    """
    import json, sys
    sys.path.insert(0, sys.argv[1])
    from qmp_peer import EMPTY_RETURN, QmpPeer, echo_arguments, error_reply, reply
    jobs = [{"id": i, "type": "snapshot-save", "status": "concluded", "current-progress": 1, "total-progress": 1}
            for i in json.loads(sys.argv[3])]
    jobs.append({"id": "slow", "type": "snapshot-load", "status": "running", "current-progress": 0, "total-progress": 1})
    def handler(command, raw):
        name = command.get("execute") if isinstance(command, dict) else None
        if name == "echo":
            return echo_arguments(command, raw)
        if name == "query-jobs":
            return [reply(jobs)]
        if name == "refuse":
            return [error_reply("GenericError", "refused")]
        return [b'{"event":"STOP","data":{}}\\n', EMPTY_RETURN]
    with QmpPeer(handler, directory=sys.argv[2]) as peer:
        print(peer.path, flush=True)
        sys.stdin.read()
    print(json.dumps([line.decode("latin-1") for line in peer.lines]))
    print(json.dumps({"connections": peer.connections, "errors": [repr(e) for e in peer.errors]}))
    """
)


def qmp_failure(call):
    with pytest.raises(RuntimeError) as caught:
        call()
    return json.loads(caught.value.args[0])


def qmp_operations(client, thread, counts):
    """(name, operation) pairs; each operation checks its own result and counts
    the command lines it sent."""

    def echo(n):
        arguments = {"thread": thread, "n": n, "text": "é\n\"" * (n % 3)}
        sent = json.dumps(arguments, separators=(",", ":"), sort_keys=True, ensure_ascii=False)
        assert client.execute("echo", json.dumps(arguments)) == sent
        counts["echo"] += 1

    def plain(name, call):
        def run(n):
            assert call() is None
            counts[name] += 1

        return run

    def query_jobs(n):
        jobs = json.loads(client.query_jobs())
        assert [job["job_id"] for job in jobs] == [*JOB_IDS, "slow"]

    def wait_done(n):
        job = json.loads(client.wait_for_job(JOB_IDS[thread], 10.0, 0.0))
        assert (job["job_id"], job["status"], job["error"]) == (JOB_IDS[thread], "concluded", None)
        counts["job-dismiss"] += 1

    def wait_running(n):
        error = qmp_failure(lambda: client.wait_for_job("slow", 0.03, 0.01))
        assert error["message"] == "Timed out waiting for QMP job"
        # null only when the thread lost the processor for the whole 30 ms
        # before the first query.
        assert error["context"]["last_status"] in ("running", None)

    def refused(n):
        error = qmp_failure(lambda: client.execute("refuse", None))
        assert (error["message"], error["context"]["class"]) == ("QMP command 'refuse' failed", "GenericError")
        counts["refuse"] += 1

    def connect(n):
        assert client.connect(5.0, 30.0) is None

    def close(n):
        assert client.close() is None

    return [
        ("echo", echo),
        ("stop", plain("stop", client.stop_vm)),
        ("cont", plain("cont", client.cont)),
        ("snapshot-save", plain("snapshot-save", lambda: client.snapshot_save(f"s{thread}", "t", "vda", ["vda"]))),
        ("snapshot-load", plain("snapshot-load", lambda: client.snapshot_load(f"l{thread}", "t", "vda", ["vda"]))),
        ("snapshot-delete", plain("snapshot-delete", lambda: client.snapshot_delete(f"d{thread}", "t", ["vda"]))),
        ("blockdev-snapshot-internal-sync",
         plain("blockdev-snapshot-internal-sync", lambda: client.blockdev_snapshot_internal_sync("vda", "s"))),
        ("blockdev-snapshot-delete-internal-sync",
         plain("blockdev-snapshot-delete-internal-sync",
               lambda: client.blockdev_snapshot_delete_internal_sync("vda", "s"))),
        ("job-dismiss", plain("job-dismiss", lambda: client.dismiss_job(f"x{thread}"))),
        ("query-jobs", query_jobs),
        ("wait", wait_done),
        ("wait-timeout", wait_running),
        ("refuse", refused),
        ("connect", connect),
        ("close", close),
    ]


COMMANDS = {
    "qmp_capabilities", "echo", "stop", "cont", "snapshot-save", "snapshot-load", "snapshot-delete",
    "blockdev-snapshot-internal-sync", "blockdev-snapshot-delete-internal-sync", "job-dismiss", "query-jobs",
    "refuse",
}


def check_command_line(line):
    """A complete command line, as the client writes it: one JSON object, one line feed."""
    assert line.endswith("\n") and line.count("\n") == 1, line
    command = json.loads(line)
    assert isinstance(command, dict) and set(command) <= {"execute", "arguments"}, line
    assert command["execute"] in COMMANDS, line
    assert line == json.dumps(command, separators=(",", ":"), sort_keys=True, ensure_ascii=False) + "\n"
    return command


class Workers:
    """Threads running `body(n)` for round n until the run ends (at least three
    rounds each); the first failure of each thread is kept."""

    def __init__(self):
        self.threads = []
        self.failures = []
        self.rounds = collections.Counter()
        self.stop_at = None

    def add(self, name, body):
        def run():
            n = 0
            try:
                while n < 3 or time.monotonic() < self.stop_at:
                    body(n)
                    n += 1
            except BaseException as error:  # noqa: BLE001 - reported by the test
                self.failures.append((name, n, error))
            self.rounds[name] = n

        self.threads.append(threading.Thread(target=run, name=name, daemon=True))

    def run(self, seconds):
        self.stop_at = time.monotonic() + seconds
        for thread in self.threads:
            thread.start()
        deadline = time.monotonic() + JOIN_LIMIT
        for thread in self.threads:
            thread.join(max(0.0, deadline - time.monotonic()))
        return [thread.name for thread in self.threads if thread.is_alive()]


@pytest.fixture
def qmp_peer_process(tmp_path):
    fds = open_fds()  # before the pipes to the peer exist
    peer = subprocess.Popen(
        [sys.executable, "-c", PEER, str(Path(__file__).parent), str(tmp_path), json.dumps(JOB_IDS)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    path = peer.stdout.readline().strip()

    def finish():
        out, err = peer.communicate("", timeout=60)
        lines, summary = out.splitlines()
        return json.loads(lines), json.loads(summary), err

    yield path, finish, fds
    if peer.poll() is None:
        peer.kill()
        peer.wait()


def test_shared_client_under_stress(qmp_peer_process, tmp_path):
    qmp_path, finish_peer, fds = qmp_peer_process
    assert qmp_path, "the peer did not start"
    client = _QmpClient(qmp_path)
    workers = Workers()
    counts = [collections.Counter() for _ in range(QMP_THREADS)]

    for thread in range(QMP_THREADS):
        operations = qmp_operations(client, thread, counts[thread])
        rng = random.Random(thread)

        def body(n, operations=operations, rng=rng):
            for _, operation in rng.sample(operations, len(operations)):
                operation(n)

        workers.add(f"qmp-{thread}", body)

    # Firecracker requests against a scripted HTTP peer.
    api_dir = short_temp_dir()
    response = b'HTTP/1.1 200 OK\r\nContent-Length: 17\r\n\r\n{"state":"Ready"}'
    api = ScriptedPeer(os.path.join(api_dir, "api.sock"), [[response]])
    for n in range(2):
        workers.add(f"http-{n}", lambda r: assert_equal(
            ffi.firecracker_request(api.path, "PUT", f"/actions/{r}", '{"a":1}', 30.0), (200, '{"state":"Ready"}')))

    # Disk copies and decompressions of small images, each thread its own targets.
    image = os.urandom(300_000) + bytes(MiB) + b"tail"
    (tmp_path / "image.raw").write_bytes(image)
    (tmp_path / "image.zst").write_bytes(zstd.compress(image))
    for n in range(2):
        def disk(r, n=n):
            copy, unpacked = tmp_path / f"copy-{n}.raw", tmp_path / f"unpacked-{n}.raw"
            assert ffi.clone_or_sparse_copy(str(tmp_path / "image.raw"), str(copy)) == "sparse"
            assert ffi.decompress_zstd_sparse(str(tmp_path / "image.zst"), str(unpacked), 65536) == "sparse"
            assert copy.read_bytes() == image and unpacked.read_bytes() == image

        workers.add(f"disk-{n}", disk)

    try:
        hung = workers.run(RUN_SECONDS)
        assert not hung, f"threads still running after {JOIN_LIMIT} s: {hung}"
        assert not workers.failures, workers.failures
        client.close()
    finally:
        api.stop()
        remove_dir(api_dir)
    lines, summary, peer_err = finish_peer()
    assert summary["errors"] == [], peer_err

    # Every line whole and valid; as many of each command as the threads sent.
    sent = collections.Counter(check_command_line(line)["execute"] for line in lines)
    expected = sum(counts, collections.Counter())
    for name in expected:
        assert sent[name] == expected[name], name
    assert sent["qmp_capabilities"] == summary["connections"] > 1
    echoed = [json.loads(line)["arguments"] for line in lines if json.loads(line)["execute"] == "echo"]
    assert len({(a["thread"], a["n"]) for a in echoed}) == len(echoed)
    assert min(workers.rounds.values()) >= 3
    assert fds_return_to(fds)
    assert sorted(p.name for p in tmp_path.iterdir() if ".tmp" in p.name) == []


def assert_equal(got, expected):
    assert got == expected
