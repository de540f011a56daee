"""A real QEMU with a small qcow2 disk and a QMP socket, for tests and benchmarks.

No guest is booted: the CPU stays stopped (-S), which is all that QMP,
snapshots and jobs need. The process is always killed on leaving the context.
"""

import os
import shutil
import subprocess
import tempfile
import time

from tool_env import tool_environment

QEMU = "qemu-system-x86_64"
QEMU_IMG = "qemu-img"
NODE = "drive0"


class QemuVm:
    def __init__(self, directory=None, disk_size="64M", monitors=1):
        self._tmp = None
        if directory is None:
            self._tmp = tempfile.TemporaryDirectory(prefix="qemu-vm-")
            directory = self._tmp.name
        self.directory = directory
        self.disk = os.path.join(directory, "disk.qcow2")
        # Each QMP monitor serves one client at a time; more monitors, more clients.
        self.qmp_paths = [os.path.join(directory, f"qmp{i}.sock" if i else "qmp.sock") for i in range(monitors)]
        self.qmp_path = self.qmp_paths[0]
        self.log_path = os.path.join(directory, "qemu.log")
        self.disk_size = disk_size
        self.process = None

    def command(self):
        return [
            QEMU, "-machine", "pc", "-accel", "tcg", "-nodefaults", "-display", "none", "-S", "-m", "64",
            "-blockdev", f"driver=qcow2,node-name={NODE},file.driver=file,file.filename={self.disk}",
            "-device", f"virtio-blk-pci,drive={NODE},id=vd0",
        ] + [arg for path in self.qmp_paths for arg in ("-qmp", f"unix:{path},server=on,wait=off")]

    def start(self, timeout=30.0):
        subprocess.run([QEMU_IMG, "create", "-q", "-f", "qcow2", self.disk, self.disk_size], check=True, timeout=60,
                       env=tool_environment())
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(self.command(), stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                            env=tool_environment())
        deadline = time.monotonic() + timeout
        while not all(os.path.exists(path) for path in self.qmp_paths):
            if self.process.poll() is not None:
                raise RuntimeError(f"QEMU exited with {self.process.returncode}: {self.log()}")
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"QEMU did not create its QMP socket within {timeout} s: {self.log()}")
            time.sleep(0.02)
        return self

    def log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode(errors="replace").strip()
        except OSError:
            return ""

    def wait_exit(self, timeout=10.0):
        """True when QEMU ended by itself within the timeout (after "quit")."""
        try:
            self.process.wait(timeout)
            return True
        except subprocess.TimeoutExpired:
            return False

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
        if self._tmp is not None:
            self._tmp.cleanup()
            self._tmp = None

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.stop()
            raise

    def __exit__(self, *exc):
        self.stop()
        return False


def qemu_available():
    return shutil.which(QEMU) is not None and shutil.which(QEMU_IMG) is not None
