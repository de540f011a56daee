"""The QMP client against a real QEMU: status, VM snapshots as jobs, block snapshots, errors."""

import json
import os
import subprocess
import tempfile
import time

from corvane_core._ffi import _QmpClient

TITLE = "QMP client against a real QEMU"
NODE = "drive0"


def start_qemu(directory):
    disk = os.path.join(directory, "disk.qcow2")
    socket_path = os.path.join(directory, "qmp.sock")
    subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", disk, "64M"], check=True, timeout=60)
    print(f"  created a 64 MiB qcow2 image: {disk}")
    command = [
        "qemu-system-x86_64",
        "-machine",
        "pc",
        "-accel",
        "tcg",
        "-nodefaults",
        "-display",
        "none",
        "-S",
        "-m",
        "64",
        "-blockdev",
        f"driver=qcow2,node-name={NODE},file.driver=file,file.filename={disk}",
        "-device",
        f"virtio-blk-pci,drive={NODE},id=vd0",
        "-qmp",
        f"unix:{socket_path},server=on,wait=off",
    ]
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    print(f"  started QEMU (pid {process.pid}), TCG, CPU stopped, QMP on {socket_path}")
    return process, socket_path


def snapshot_list(client):
    text = json.loads(client.execute("human-monitor-command", '{"command-line":"info snapshots"}'))
    rows = [line.split() for line in text.splitlines()[2:] if line.strip()]
    return ", ".join(f"{row[1]} ({row[2]} {row[3]})" for row in rows) or "none"


def show_error(label, call):
    try:
        call()
    except RuntimeError as error:
        print(f"  {label}: RuntimeError")
        print(f"    {error}")
    else:
        print(f"  {label}: unexpectedly succeeded")


def timed(label, call):
    started = time.monotonic()
    result = call()
    print(f"  {label} ({(time.monotonic() - started) * 1000:.1f} ms)" + (f": {result}" if result is not None else ""))
    return result


def run():
    with tempfile.TemporaryDirectory(prefix="qmp-demo-") as directory:
        process, socket_path = start_qemu(directory)
        try:
            client = _QmpClient(socket_path)
            # QEMU creates the socket shortly after starting: connect retries every 50 ms.
            timed("connect(5.0, 30.0): greeting checked, capabilities negotiated", lambda: client.connect(5.0, 30.0))
            timed("execute('query-status')", lambda: client.execute("query-status", None))

            timed(
                "snapshot_save('save0', 'snap0', 'drive0', ['drive0'])",
                lambda: client.snapshot_save("save0", "snap0", NODE, [NODE]),
            )
            timed("wait_for_job('save0')", lambda: client.wait_for_job("save0", 60.0, 0.05))
            print(f"  snapshots now: {snapshot_list(client)}")
            nodes = json.loads(client.execute("query-named-block-nodes", None))
            image = next(n for n in nodes if n["node-name"] == NODE)["image"]
            print(
                f"  query-named-block-nodes: {NODE} is {image['format']}, "
                f"snapshots {[s['name'] for s in image.get('snapshots', [])]}"
            )
            timed("query_jobs() after the wait dismissed the job", client.query_jobs)

            timed("snapshot_load('load0', 'snap0', ...)", lambda: client.snapshot_load("load0", "snap0", NODE, [NODE]))
            timed("wait_for_job('load0')", lambda: client.wait_for_job("load0", 60.0, 0.05))
            timed(
                "snapshot_delete('delete0', 'snap0', ...)", lambda: client.snapshot_delete("delete0", "snap0", [NODE])
            )
            timed("wait_for_job('delete0')", lambda: client.wait_for_job("delete0", 60.0, 0.05))
            print(f"  snapshots now: {snapshot_list(client)}")

            timed(
                "blockdev_snapshot_internal_sync('drive0', 'block0')",
                lambda: client.blockdev_snapshot_internal_sync(NODE, "block0"),
            )
            print(f"  snapshots now: {snapshot_list(client)}")
            timed(
                "blockdev_snapshot_delete_internal_sync('drive0', 'block0')",
                lambda: client.blockdev_snapshot_delete_internal_sync(NODE, "block0"),
            )
            print(f"  snapshots now: {snapshot_list(client)}")

            show_error("execute('no-such-command')", lambda: client.execute("no-such-command", None))
            show_error("execute('query-status', '{\"a\":')", lambda: client.execute("query-status", '{"a":'))
            client.snapshot_save("dup", "snap1", NODE, [NODE])
            show_error("snapshot_save with a job id in use", lambda: client.snapshot_save("dup", "snap1", NODE, [NODE]))
            client.wait_for_job("dup", 60.0, 0.05)
            client.snapshot_load("missing", "no-such-tag", NODE, [NODE])
            show_error("wait_for_job of a load of a missing tag", lambda: client.wait_for_job("missing", 60.0, 0.05))
            timed("dismiss_job('missing')", lambda: client.dismiss_job("missing"))

            timed("cont()", client.cont)
            timed("execute('query-status')", lambda: client.execute("query-status", None))
            timed("stop_vm()", client.stop_vm)
            timed("execute('quit')", lambda: client.execute("quit", None))
            client.close()
            process.wait(20)
            print(f"  QEMU exited with status {process.returncode}")
        finally:
            if process.poll() is None:
                process.kill()
                process.wait(10)
