"""The QMP client against a real QEMU: TCG, the CPU stopped, one qcow2 disk."""

import json
import subprocess
from subprocess import DEVNULL

import pytest
from peers import need, qmp_error, tool_env

from corvane_core._ffi import _QmpClient

pytestmark = need("qemu-system-x86_64", "qemu-img")
NODE, WAIT, POLL = "drive0", 60.0, 0.02


def tags(client):
    info = json.loads(client.execute("human-monitor-command", '{"command-line":"info snapshots"}'))
    return [line.split()[1] for line in info.splitlines()[2:] if line.strip()]


def job(client, name):  # the record of a finished job
    record = json.loads(client.wait_for_job(name, WAIT, POLL))
    return record["job_type"], record["status"], record["error"]


def test_commands_snapshots_and_a_failed_job(tmp_dir):
    disk, qmp = tmp_dir + "/disk.qcow2", tmp_dir + "/qmp.sock"
    subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", disk, "64M"], check=True, env=tool_env())
    options = f"-machine pc -accel tcg -nodefaults -display none -S -m 64 -device virtio-blk-pci,drive={NODE}".split()
    blockdev = f"driver=qcow2,node-name={NODE},file.driver=file,file.filename={disk}"
    command = ["qemu-system-x86_64", *options, "-blockdev", blockdev, "-qmp", f"unix:{qmp},server=on,wait=off"]
    process = subprocess.Popen(command, stdin=DEVNULL, stdout=DEVNULL, stderr=DEVNULL, env=tool_env())
    client = _QmpClient(qmp)
    try:
        client.connect(30.0, 30.0)  # retries until QEMU has made its socket
        client.cont()
        assert '"running":true' in client.execute("query-status", None)
        client.stop_vm()
        assert '"running":false' in client.execute("query-status", None)
        client.snapshot_save("save", "a", NODE, [NODE])
        assert job(client, "save") == ("snapshot-save", "concluded", None)
        assert tags(client) == ["a"] and client.query_jobs() == "[]"  # the wait dismissed the job
        client.snapshot_load("load", "a", NODE, [NODE])
        assert job(client, "load") == ("snapshot-load", "concluded", None)
        client.blockdev_snapshot_delete_internal_sync(NODE, "a")
        client.blockdev_snapshot_internal_sync(NODE, "b")
        assert tags(client) == ["b"]
        client.snapshot_delete("delete", "b", [NODE])
        assert job(client, "delete") == ("snapshot-delete", "concluded", None) and tags(client) == []
        client.snapshot_load("missing", "no-such-tag", NODE, [NODE])  # a failed job stays listed until dismissed
        with pytest.raises(RuntimeError) as caught:
            client.wait_for_job("missing", WAIT, POLL)
        error = qmp_error(caught)
        assert error["message"] == "QMP job failed" and "no-such-tag" in error["context"]["error"]
        assert [j["error"] for j in json.loads(client.query_jobs())] == [error["context"]["error"]]
        client.dismiss_job("missing")
        assert client.query_jobs() == "[]" and client.execute("quit", None) == "{}" and process.wait(20) == 0
    finally:
        client.close()
        process.kill()
        process.wait()
