"""The disk helpers under faults: a process killed in the middle, a source
removed, cut or grown while it is read, a read-only target directory, a full
file system. The target always keeps its earlier content or gets the complete
new one.

A child process runs the operation with tests/read_gate.c preloaded, which
stops it (SIGSTOP) right before its Nth read of the source, so each case acts
at an exact point of the operation instead of racing it."""

import ctypes
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from compression import zstd
from pathlib import Path

import pytest

import corvane_core._ffi as ffi
from disk_files import MiB, data_ranges, entries

OLD = b"the earlier image"
ZSTD_READ = 131075  # ZSTD_DStreamInSize(): the size of each read of a compressed source
HERE = Path(__file__).resolve().parent

CHILD = """
import json, sys
import corvane_core._ffi as ffi
op, source, target = sys.argv[1:4]
function = {"copy": ffi.clone_or_sparse_copy, "decompress": ffi.decompress_zstd_sparse}[op]
try:
    print(json.dumps(["ok", function(source, target)]))
except OSError as error:
    print(json.dumps(["error", error.args[0]]))
"""


def child_result(out, err):
    """The child's one line of JSON; its exit status is not consulted, so that a
    runtime reporting at exit (a sanitizer's) does not decide the test."""
    assert out.strip(), err
    return tuple(json.loads(out.splitlines()[0]))


# The gate is preloaded with LD_PRELOAD, which only the Linux loader has.
linux_only = pytest.mark.skipif(sys.platform != "linux", reason="LD_PRELOAD is Linux-only")


@pytest.fixture(scope="module")
def read_gate():
    directory = tempfile.mkdtemp(prefix="read-gate-")
    library = os.path.join(directory, "read_gate.so")
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", library, str(HERE / "read_gate.c"), "-ldl"], check=True)
    yield library
    shutil.rmtree(directory, ignore_errors=True)


class GatedChild:
    """The operation in a child process, stopped before its `before`th read of `gated`."""

    def __init__(self, library, op, source, target, gated, before):
        env = dict(os.environ)
        # Appended: a sanitizer runtime that is preloaded must stay first.
        env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), library]))
        env["READ_GATE_FILE"] = str(gated)
        env["READ_GATE_BEFORE"] = str(before)
        self.process = subprocess.Popen(
            [sys.executable, "-c", CHILD, op, str(source), str(target)],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )
        self._wait_until_stopped()

    def _wait_until_stopped(self, limit=60.0):
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            pid, status = os.waitpid(self.process.pid, os.WUNTRACED | os.WNOHANG)
            if pid:
                assert os.WIFSTOPPED(status), f"the child ended before the gate: status {status}"
                return
            time.sleep(0.005)
        self.process.kill()
        pytest.fail("the child never reached the gate")

    def resume(self):
        os.kill(self.process.pid, signal.SIGCONT)
        out, err = self.process.communicate(timeout=60)
        return child_result(out, err)

    def kill(self):
        os.kill(self.process.pid, signal.SIGKILL)
        self.process.communicate(timeout=60)
        assert self.process.returncode == -signal.SIGKILL


@pytest.fixture
def place(tmp_path):
    (tmp_path / "disk.raw").write_bytes(OLD)
    return tmp_path


def make_source(place, op, content):
    if op == "copy":
        (place / "src").write_bytes(content)
        return place / "src"
    (place / "src.zst").write_bytes(zstd.compress(content, level=1))
    return place / "src.zst"


def call(op, source, target):
    function = {"copy": ffi.clone_or_sparse_copy, "decompress": ffi.decompress_zstd_sparse}[op]
    return function(str(source), str(target))


# -- killed in the middle ------------------------------------------------------------------


@linux_only
@pytest.mark.parametrize("op", ["copy", "decompress"])
def test_a_process_killed_mid_operation_leaves_the_earlier_target(read_gate, place, op):
    content = os.urandom(8 * MiB)
    source = make_source(place, op, content)
    # Stopped before the 4th 1 MiB read of the copy, or the 6th read of
    # compressed input: by then pieces of the new image are in the temporary file.
    before = 4 if op == "copy" else 6
    child = GatedChild(read_gate, op, source, place / "disk.raw", source, before)
    temps = [name for name in entries(place) if name.startswith("disk.raw.tmp")]
    assert len(temps) == 1
    temp = place / temps[0]
    written = temp.read_bytes()
    if op == "copy":
        assert temps[0].startswith(f"disk.raw.tmp-{child.process.pid}-")
        assert written == content[: 3 * MiB]
        assert temp.stat().st_mode & 0o777 == 0o600
    else:
        assert temps[0] == "disk.raw.tmp"
        assert 0 < len(written) < len(content) and written == content[: len(written)]
    child.kill()

    assert (place / "disk.raw").read_bytes() == OLD
    assert temp.read_bytes() == written  # nothing removes the killed process's file

    assert call(op, source, place / "disk.raw") == "sparse"
    assert (place / "disk.raw").read_bytes() == content
    # The copy's unique temporary file stays behind; decompression replaced its fixed one.
    left = [temps[0]] if op == "copy" else []
    assert entries(place) == sorted(["disk.raw", source.name, *left])


# -- the source changes while it is read ------------------------------------------------------


def remove(path):
    path.unlink()


def replace(path):
    replacement = path.with_name("replacement")
    replacement.write_bytes(b"another file")
    os.replace(replacement, path)


def truncate_to(size):
    return lambda path: os.truncate(path, size)


def append(data):
    def grow(path):
        with open(path, "ab") as f:
            f.write(data)

    return grow


SIZE = 8 * MiB
# The copy is stopped before its 4th read: 3 MiB were read and written.
COPY_CHANGES = {
    "removed": (remove, lambda c: c),
    "replaced by a rename": (replace, lambda c: c),
    # Reads end where the file now ends (or where the copy already was); the
    # length stays the one seen at the start, so the rest is a hole of zeros.
    "cut below the read position": (truncate_to(1 * MiB), lambda c: c[: 3 * MiB] + bytes(SIZE - 3 * MiB)),
    "cut above the read position": (truncate_to(5 * MiB + 1000), lambda c: c[: 5 * MiB + 1000] + bytes(SIZE - 5 * MiB - 1000)),
    "emptied": (truncate_to(0), lambda c: c[: 3 * MiB] + bytes(SIZE - 3 * MiB)),
    # The copy is cut to the length seen at the start.
    "grown": (append(b"more data" * 100000), lambda c: c),
}


@linux_only
@pytest.mark.parametrize("change", COPY_CHANGES)
def test_a_source_changed_mid_copy(read_gate, place, change):
    act, expected = COPY_CHANGES[change]
    content = os.urandom(SIZE)
    source = make_source(place, "copy", content)
    child = GatedChild(read_gate, "copy", source, place / "disk.raw", source, 4)
    act(source)
    assert child.resume() == ("ok", "sparse")
    target = place / "disk.raw"
    assert target.read_bytes() == expected(content)
    # Zeros that were never read are a hole, not written data.
    data_end = len(expected(content).rstrip(b"\0"))
    assert all(start < data_end for start, _ in data_ranges(target))
    assert not [name for name in entries(place) if ".tmp" in name]


DECOMPRESS_CHANGES = {
    "removed": (remove, ("ok", "sparse")),
    "replaced by a rename": (replace, ("ok", "sparse")),
    "cut": (truncate_to(3 * ZSTD_READ), ("error", "incomplete frame")),
    "emptied": (truncate_to(0), ("error", "incomplete frame")),
}


@linux_only
@pytest.mark.parametrize("change", DECOMPRESS_CHANGES)
def test_a_source_changed_mid_decompression(read_gate, place, change):
    act, expected = DECOMPRESS_CHANGES[change]
    content = os.urandom(SIZE)
    source = make_source(place, "decompress", content)
    child = GatedChild(read_gate, "decompress", source, place / "disk.raw", source, 6)
    act(source)
    assert child.resume() == expected
    target = (place / "disk.raw").read_bytes()
    assert target == (content if expected[0] == "ok" else OLD)
    assert not (place / "disk.raw.tmp").exists()


# -- a read-only target directory -----------------------------------------------------------

NOBODY = 65534


def run_unprivileged(op, source, target):
    """The operation as a user whom the directory's permissions bind (root is
    not bound by them): a child process under uid/gid 65534 when running as root."""
    if os.geteuid() != 0:
        try:
            return "ok", call(op, source, target)
        except OSError as error:
            return "error", error.args[0]
    done = subprocess.run(
        [sys.executable, "-c", CHILD, op, str(source), str(target)],
        user=NOBODY, group=NOBODY, extra_groups=[], capture_output=True, text=True, timeout=60,
    )
    return child_result(done.stdout, done.stderr)


@pytest.fixture
def open_place():
    """A directory that an unprivileged user can reach (pytest's own is owner-only)."""
    path = Path(tempfile.mkdtemp(prefix="ro-target-", dir="/tmp"))
    path.chmod(0o755)
    yield path
    for directory in [path, *path.iterdir()]:
        if directory.is_dir():
            directory.chmod(0o755)
    shutil.rmtree(path, ignore_errors=True)


@pytest.mark.parametrize("op", ["copy", "decompress"])
@pytest.mark.parametrize("target", ["images/disk.raw", "images/new/disk.raw"], ids=["existing target", "missing subdirectory"])
def test_a_read_only_target_directory_is_refused(open_place, op, target):
    content = b"new image" + bytes(MiB)
    source = make_source(open_place, op, content)
    source.chmod(0o644)
    images = open_place / "images"
    images.mkdir()
    (images / "disk.raw").write_bytes(OLD)
    images.chmod(0o555)
    assert run_unprivileged(op, source, open_place / target) == ("error", "Permission denied (os error 13)")
    assert entries(images) == ["disk.raw"]
    assert (images / "disk.raw").read_bytes() == OLD
    # The same call with write permission succeeds.
    images.chmod(0o777)
    assert run_unprivileged(op, source, open_place / target) == ("ok", "sparse")
    assert (open_place / target).read_bytes() == content


# -- a full file system ------------------------------------------------------------------

LIBC = ctypes.CDLL(None, use_errno=True)
MNT_DETACH = 2
NO_SPACE = "No space left on device (os error 28)"


@pytest.fixture
def mount_small(tmp_path):
    """Mounts a tmpfs with the given options; unmounted after the test."""
    mounted = []

    def mount(options):
        if os.geteuid() != 0:
            pytest.skip("mounting a tmpfs needs root")
        point = tmp_path / f"fs{len(mounted)}"
        point.mkdir()
        if LIBC.mount(b"tmpfs", bytes(point), b"tmpfs", 0, options.encode()) != 0:
            pytest.fail(f"cannot mount a tmpfs: {os.strerror(ctypes.get_errno())}")
        mounted.append(point)
        return point

    yield mount
    for point in mounted:
        LIBC.umount2(bytes(point), MNT_DETACH)


@pytest.mark.parametrize("op", ["copy", "decompress"])
def test_no_inode_left_for_the_temporary_file(tmp_path, mount_small, op):
    content = os.urandom(100_000)
    source = make_source(tmp_path, op, content)
    small = mount_small("size=4m,nr_inodes=2")  # the root directory and one file
    (small / "disk.raw").write_bytes(OLD)
    with pytest.raises(OSError) as caught:
        call(op, source, small / "disk.raw")
    assert caught.value.args == (NO_SPACE,)
    assert entries(small) == ["disk.raw"] and (small / "disk.raw").read_bytes() == OLD
    with pytest.raises(OSError) as caught:
        call(op, source, small / "new" / "disk.raw")
    assert caught.value.args == (NO_SPACE,)
    assert entries(small) == ["disk.raw"]


@pytest.mark.parametrize("op", ["copy", "decompress"])
def test_a_large_earlier_target_leaves_no_room_for_its_replacement(tmp_path, mount_small, op):
    # The earlier image stays until the rename, so both must fit at once.
    earlier = os.urandom(600 * 1024)
    content = os.urandom(600 * 1024)
    source = make_source(tmp_path, op, content)
    small = mount_small("size=1m")
    (small / "disk.raw").write_bytes(earlier)
    with pytest.raises(OSError) as caught:
        call(op, source, small / "disk.raw")
    assert caught.value.args == (NO_SPACE,)
    assert entries(small) == ["disk.raw"] and (small / "disk.raw").read_bytes() == earlier
    (small / "disk.raw").unlink()
    assert call(op, source, small / "disk.raw") == "sparse"
    assert (small / "disk.raw").read_bytes() == content


def test_a_stale_temporary_file_is_removed_before_decompressing(tmp_path, mount_small):
    # A stale file at the fixed temporary name is removed before the new one is
    # made, so the space it holds is free again for the new image.
    content = os.urandom(500 * 1024)
    source = make_source(tmp_path, "decompress", content)
    small = mount_small("size=1m")
    (small / "disk.raw").write_bytes(OLD)
    (small / "disk.raw.tmp").write_bytes(os.urandom(800 * 1024))
    assert call("decompress", source, small / "disk.raw") == "sparse"
    assert (small / "disk.raw").read_bytes() == content
    assert entries(small) == ["disk.raw"]


# -- a source that is the temporary file -------------------------------------------------


def named_like_the_temporary_file(place, image):
    (place / "disk.raw.tmp").write_bytes(image)
    return place / "disk.raw.tmp"


def symlinked(place, image):
    (place / "img.zst").write_bytes(image)
    os.symlink("img.zst", place / "disk.raw.tmp")
    return place / "img.zst"


def hard_linked(place, image):
    (place / "img.zst").write_bytes(image)
    os.link(place / "img.zst", place / "disk.raw.tmp")
    return place / "img.zst"


@pytest.mark.parametrize("arrange", [named_like_the_temporary_file, symlinked, hard_linked])
def test_a_source_at_the_temporary_path_is_neither_emptied_nor_removed(place, arrange):
    # Decompression's temporary name is fixed (target + ".tmp"); when that name
    # leads to the source, the source is refused instead of being truncated
    # by the output's creation and removed by the cleanup.
    image = zstd.compress(b"compressed image" * 1000)
    source = arrange(place, image)
    before = entries(place)
    with pytest.raises(OSError) as caught:
        ffi.decompress_zstd_sparse(str(source), str(place / "disk.raw"))
    assert caught.value.args == (f"source is the temporary file of the target: {source}",)
    assert source.read_bytes() == image and (place / "disk.raw.tmp").read_bytes() == image
    assert (place / "disk.raw").read_bytes() == OLD
    assert entries(place) == before


@pytest.mark.parametrize("link_to", ["victim", "missing"])
def test_a_symbolic_link_at_the_temporary_path_is_replaced_not_followed(place, link_to):
    # A link planted at decompression's fixed temporary name would otherwise
    # send the image to the file it points to (or create that file).
    (place / "victim").write_bytes(b"someone else's file")
    image = b"new image" + bytes(MiB)
    (place / "in.zst").write_bytes(zstd.compress(image))
    os.symlink(place / link_to, place / "disk.raw.tmp")
    assert ffi.decompress_zstd_sparse(str(place / "in.zst"), str(place / "disk.raw")) == "sparse"
    assert (place / "victim").read_bytes() == b"someone else's file"
    assert (place / "disk.raw").read_bytes() == image
    assert entries(place) == ["disk.raw", "in.zst", "victim"]
