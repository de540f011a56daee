"""The QMP client against a real QEMU (TCG, CPU stopped, one qcow2 disk)."""

import json

import pytest

from corvane_core._ffi import _QmpClient
from qemu_vm import NODE, QemuVm

WAIT = 60.0  # generous bound for every job wait
POLL = 0.02


@pytest.fixture(scope="module")
def vm():
    with QemuVm() as running:
        yield running


@pytest.fixture
def client(vm):
    qmp = _QmpClient(vm.qmp_path)
    qmp.connect(10.0, 30.0)
    yield qmp
    qmp.close()


def snapshot_tags(client):
    info = json.loads(client.execute("human-monitor-command", '{"command-line":"info snapshots"}'))
    rows = [line.split() for line in info.splitlines()[2:] if line.strip()]
    return [row[1] for row in rows]


def qmp_error(excinfo):
    return json.loads(str(excinfo.value))


def test_query_status(client):
    status = json.loads(client.execute("query-status", None))
    assert status["running"] is False
    assert list(status) == sorted(status)


def test_stop_and_cont(client):
    client.cont()
    assert json.loads(client.execute("query-status", None))["running"] is True
    client.stop_vm()
    assert json.loads(client.execute("query-status", None)) == {"running": False, "status": "paused"}


def test_vm_snapshot_save_load_delete(client):
    client.snapshot_save("save-a", "tag-a", NODE, [NODE])
    saved = json.loads(client.wait_for_job("save-a", WAIT, POLL))
    assert saved == {"job_id": "save-a", "job_type": "snapshot-save", "status": "concluded",
                     "current_progress": saved["current_progress"], "total_progress": saved["total_progress"],
                     "error": None}
    assert "tag-a" in snapshot_tags(client)
    # The wait dismissed the job.
    assert [j["job_id"] for j in json.loads(client.query_jobs())] == []

    nodes = json.loads(client.execute("query-named-block-nodes", None))
    qcow2 = next(n for n in nodes if n["node-name"] == NODE)
    assert "tag-a" in [s["name"] for s in qcow2["image"]["snapshots"]]

    client.snapshot_load("load-a", "tag-a", NODE, [NODE])
    assert json.loads(client.wait_for_job("load-a", WAIT, POLL))["job_type"] == "snapshot-load"

    client.snapshot_delete("delete-a", "tag-a", [NODE])
    assert json.loads(client.wait_for_job("delete-a", WAIT, POLL))["status"] == "concluded"
    assert "tag-a" not in snapshot_tags(client)


def test_internal_block_snapshot(client):
    client.blockdev_snapshot_internal_sync(NODE, "block-b")
    assert "block-b" in snapshot_tags(client)
    client.blockdev_snapshot_delete_internal_sync(NODE, "block-b")
    assert "block-b" not in snapshot_tags(client)
    with pytest.raises(RuntimeError) as excinfo:
        client.blockdev_snapshot_delete_internal_sync(NODE, "block-b")
    error = qmp_error(excinfo)
    assert error["message"] == "QMP command 'blockdev-snapshot-delete-internal-sync' failed"
    assert error["context"]["class"] == "GenericError"


def test_unknown_command_is_command_not_found(client, vm):
    with pytest.raises(RuntimeError) as excinfo:
        client.execute("no-such-command", None)
    assert qmp_error(excinfo) == {
        "context": {"class": "CommandNotFound", "command": "no-such-command",
                    "desc": "The command no-such-command has not been found", "socket_path": vm.qmp_path},
        "message": "QMP command 'no-such-command' failed",
    }
    assert json.loads(client.execute("query-status", None))["running"] is False  # still usable


def test_duplicate_job_id_is_command_failed(client):
    client.snapshot_save("dup-c", "tag-c", NODE, [NODE])
    with pytest.raises(RuntimeError) as excinfo:
        client.snapshot_save("dup-c", "tag-c2", NODE, [NODE])
    error = qmp_error(excinfo)
    assert error["message"] == "QMP command 'snapshot-save' failed"
    assert error["context"]["class"] == "GenericError"
    assert "dup-c" in error["context"]["desc"]
    client.wait_for_job("dup-c", WAIT, POLL)
    client.snapshot_delete("dup-c-del", "tag-c", [NODE])
    client.wait_for_job("dup-c-del", WAIT, POLL)


def test_failed_job_stays_listed_until_dismissed(client, vm):
    client.snapshot_load("load-missing", "no-such-tag", NODE, [NODE])
    with pytest.raises(RuntimeError) as excinfo:
        client.wait_for_job("load-missing", WAIT, POLL)
    error = qmp_error(excinfo)
    assert error["message"] == "QMP job failed"
    assert error["context"]["job_id"] == "load-missing" and error["context"]["socket_path"] == vm.qmp_path
    assert "no-such-tag" in error["context"]["error"]
    listed = [j for j in json.loads(client.query_jobs()) if j["job_id"] == "load-missing"]
    assert listed and listed[0]["error"] == error["context"]["error"]
    client.dismiss_job("load-missing")
    assert json.loads(client.query_jobs()) == []


def test_waiting_for_an_unknown_job_times_out(client, vm):
    with pytest.raises(RuntimeError) as excinfo:
        client.wait_for_job("nobody", 0.2, POLL)
    assert qmp_error(excinfo) == {
        "context": {"job_id": "nobody", "last_status": None, "socket_path": vm.qmp_path},
        "message": "Timed out waiting for QMP job",
    }


def test_quit_shuts_qemu_down():
    with QemuVm() as own:
        qmp = _QmpClient(own.qmp_path)
        assert qmp.execute("quit", None) == "{}"
        assert own.wait_exit(20)
        with pytest.raises(RuntimeError) as excinfo:
            qmp.execute("query-status", None)
        assert qmp_error(excinfo)["message"] in (
            "QMP socket closed unexpectedly",
            "Broken pipe (os error 32)",
            "Connection reset by peer (os error 104)",
        )
