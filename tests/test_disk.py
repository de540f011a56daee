"""The disk helpers on real files with holes; faults mid-operation stop a child before an exact read (read_gate.c)."""

import errno
import os
import random
import signal
import stat
import subprocess
import sys
import tempfile
import time
from compression import zstd
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from peers import HERE, LINUX_FORM, MiB, in_threads, need, os_text, python_command, result_or_text, tool_env

import corvane_core._ffi as ffi

PAGE, OLD, IMAGE = os.sysconf("SC_PAGE_SIZE"), b"the earlier image", b"image" + bytes(MiB)
OPERATIONS = {"copy": (ffi.clone_or_sparse_copy, "src"), "unpack": (ffi.decompress_zstd_sparse, "src.zst")}
RUNS = st.lists(st.tuples(st.sampled_from(["hole", "zeros", "data", "noise"]), st.integers(1, 2 * MiB)), max_size=5)
IN_USE = "temporary file disk.raw.tmp is in use by another call"
CHILD = """
import signal, corvane_core._ffi as ffi
from peers import result_or_text
signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started with SIGINT ignored
print(result_or_text(lambda: getattr(ffi, sys.argv[1])(*sys.argv[2:])))
"""
SIZE, ZSTD_READ = 8 * MiB, 131075  # ZSTD_DStreamInSize(): each read of a compressed source


def run(op, target, source=None, *chunk_size):
    return result_or_text(lambda: OPERATIONS[op][0](str(source or OPERATIONS[op][1]), str(target), *chunk_size))


def read(path):
    return Path(path).read_bytes()


def entries(directory):
    return sorted(path.name for path in Path(directory).iterdir())


def data_ranges(path):
    ranges, end = [], 0
    with open(path, "rb") as f:
        while True:
            try:
                start = os.lseek(f.fileno(), end, os.SEEK_DATA)
            except OSError:  # only a hole from here on
                return ranges
            end = os.lseek(f.fileno(), start, os.SEEK_HOLE)
            ranges.append((start, end))


def check_sparse(path, content, chunk, frames=(0,)):
    """Pages touched by pieces of at most `chunk` bytes holding a non-zero byte are written, others are holes. The pieces
    are the chunks from each frame's start; with frames None (libzstd may end them early), no written page lies further
    than a chunk from data."""
    assert read(path) == content
    written = {page for start, end in data_ranges(path) for page in range(start, end, PAGE)}
    assert os.stat(path).st_blocks * 512 == len(written) * PAGE
    if frames:
        ends = [*frames, len(content)]
        pieces = [(at, min(at + chunk, end)) for start, end in zip(ends, ends[1:]) for at in range(start, end, chunk)]
        data = [(at, end) for at, end in pieces if content[at:end].strip(b"\0")]
        assert written == {page for at, end in data for page in range(at // PAGE * PAGE, end, PAGE)}
    else:
        data = [n for n in range(0, len(content), PAGE) if content[n : n + PAGE].strip(b"\0")]
        assert written <= {page for n in data for page in range(n - chunk - PAGE, n + chunk + 2 * PAGE, PAGE)}


def pattern(length):
    return (b"disk image " * (length // 11 + 1))[:length]


@settings(max_examples=25, deadline=None)
@given(runs=RUNS, chunk=st.sampled_from([PAGE, 2 * PAGE, MiB]), on_disk=st.booleans())
def test_both_operations_make_holes_of_zero_chunks(runs, chunk, on_disk):
    with tempfile.TemporaryDirectory(dir=Path(HERE).parent / "build" if on_disk else None) as name:
        place = Path(name)  # the work tree's file system, or tmpfs
        with open(place / "src", "wb") as f:
            for kind, length in runs:
                make = {"data": pattern, "noise": random.Random(length).randbytes, "zeros": bytes}.get(kind)
                f.write(make(length)) if make else f.seek(length, os.SEEK_CUR)
            f.truncate()
        content = read(place / "src")
        (place / "src.zst").write_bytes(zstd.compress(content))
        assert run("copy", place / "copy", place / "src") == "sparse"
        assert run("unpack", place / "out", place / "src.zst", chunk) == "sparse"
        check_sparse(place / "copy", content, MiB)
        check_sparse(place / "out", content, chunk, None)


@need("zstd")
def test_each_frame_starts_a_piece_and_frames_of_the_zstd_tool(tmp_path):
    parts = [bytes(PAGE), bytes(2 * PAGE) + b"\x07" * 2 * PAGE]
    (tmp_path / "two.zst").write_bytes(b"".join(map(zstd.compress, parts)))
    assert run("unpack", tmp_path / "out", tmp_path / "two.zst", 2 * PAGE) == "sparse"
    check_sparse(tmp_path / "out", b"".join(parts), 2 * PAGE, frames=(0, PAGE))
    (tmp_path / "p").write_bytes(part := bytes(MiB + 5000) + pattern(MiB) + bytes(3 * MiB) + b"tail")
    with open(tmp_path / "all.zst", "wb") as out:  # a frame for each file named
        subprocess.run(["zstd", "-q", "-c", tmp_path / "p", tmp_path / "p"], stdout=out, check=True, env=tool_env())
    assert run("unpack", tmp_path / "out", tmp_path / "all.zst") == "sparse"
    check_sparse(tmp_path / "out", part * 2, MiB, None)


@pytest.fixture
def place(tmp_path, monkeypatch):
    """The current directory: an earlier target, sources and obstacles."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "dir").mkdir()
    (tmp_path / "x.tmp").mkdir()  # a directory at a temporary name stays
    good = zstd.compress(IMAGE, options={zstd.CompressionParameter.checksum_flag: 1})
    window = zstd.ZstdCompressor(options={zstd.CompressionParameter.window_log: 28})  # streamed: states the window
    for name, data in {
        "disk.raw": OLD,
        "src": IMAGE,
        "src.zst": good,
        "file": b"",
        "dir/keep": b"",
        "cut.zst": good + good[:10],
        "flipped.zst": good[:-1] + bytes([good[-1] ^ 0xFF]),
        "window.zst": window.compress(b"abc") + window.flush(),
        "short.zst": bytes.fromhex("28b52ffd200a290000") + b"hello",  # a frame stating 10 bytes, holding 5
    }.items():
        (tmp_path / name).write_bytes(data)
    return tmp_path


NUL, NO_NAME = "file name contained an unexpected NUL byte", "target path has no filename: "
FAILURES = [
    ("copy", "missing", "new/disk.raw", os_text(errno.ENOENT)),
    ("copy", "dir", "new/disk.raw", "source is not a regular file: dir"),
    ("copy", "/proc/self/mem", "disk.raw", os_text(errno.EIO)),
    ("copy", "src\0x", "disk.raw", NUL),
    ("unpack", None, "new\0x/disk.raw", NUL),
    ("copy", None, "/", NO_NAME + "/"),
    ("unpack", None, "", NO_NAME),
    ("unpack", None, "dir/..", NO_NAME + "dir/.."),
    ("unpack", None, "x", os_text(errno.EISDIR)),
    ("copy", None, "file/disk.raw", os_text(errno.EEXIST)),
    ("copy", None, "dir", os_text(errno.EISDIR)),
    ("unpack", "dir", "disk.raw", os_text(errno.EISDIR)),
    ("unpack", "/dev/null", "disk.raw", "incomplete frame"),
    ("unpack", "cut.zst", "disk.raw", "incomplete frame"),  # in a second frame
    ("unpack", "flipped.zst", "disk.raw", "Restored data doesn't match checksum"),
    ("unpack", "short.zst", "disk.raw", "Data corruption detected"),
    ("unpack", "window.zst", "disk.raw", "Frame requires too much memory for decoding"),
]


@pytest.mark.leakcheck
@pytest.mark.parametrize("op, source, target, text", FAILURES)
def test_failures_leave_the_target_and_no_temporary_file(place, op, source, target, text):
    before = entries(place)
    assert run(op, target, source) == text
    assert read("disk.raw") == OLD and entries(place / "dir") == ["keep"]
    assert entries(place) == before


@pytest.mark.leakcheck
@pytest.mark.parametrize("op", ["copy", "unpack"])
def test_success_replaces_the_target(place, op):
    before, names = entries(place), ["n" * 251, "é" * 127 + "n"]  # NAME.tmp is 255 bytes long; NAME is
    for name in names:
        assert run(op, name) == "sparse" and read(name) == IMAGE
    assert set(entries(place)) == {*before, *names}
    (place / "disk.raw.tmp").write_bytes(os.urandom(3 * MiB))  # stale: the decompression's fixed name is reused
    assert run(op, "disk.raw") == "sparse" and read("disk.raw") == IMAGE
    assert (place / "disk.raw.tmp").exists() == (op == "copy")
    assert run(op, "sub//x/../disk.raw") == "sparse" and read("sub/disk.raw") == IMAGE
    huge = f"cannot allocate a buffer of {2**64 - 1} bytes: {os_text(errno.ENOMEM)}"
    for chunk_size, text in [(0, "chunk_size must be greater than zero"), (2**64 - 1, huge)]:
        (place / "disk.raw.tmp").write_bytes(b"stale")
        assert run("unpack", "disk.raw", None, chunk_size) == text
        assert (place / "disk.raw.tmp").exists() == (chunk_size == 0)  # refused before any file is touched


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def test_modes(place):
    saved = os.umask(0o027)
    try:  # made directories and a decompressed image follow the umask; a copy takes its source's mode
        os.chmod("src.zst", 0o4700)
        assert run("unpack", "images/new/disk.raw") == "sparse"
        assert mode("images/new") == 0o750 and mode("images/new/disk.raw") == 0o640
        os.chmod("src", 0o000)
        os.symlink("src", "link")
        assert run("copy", "copy", "link") == "sparse" and mode("copy") == 0o000 and not os.path.islink("copy")
        # Set-id bits stay only with their owner (chown needs root).
        for owner, kept in [((0, 0), 0o6755), ((0, 9), 0o4755), ((9, 0), 0o2755)] * (os.geteuid() == 0):
            os.chown("src", *owner)
            os.chmod("src", 0o6755)  # after the chown, which clears them
            assert run("copy", "disk.raw") == "sparse" and mode("disk.raw") == kept, owner
    finally:
        os.umask(saved)


@pytest.fixture
def small(tmp_path):
    """A tmpfs of 1 MiB for the test."""
    (point := tmp_path / "fs").mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", point], capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.strip()}")
    yield point
    subprocess.run(["umount", "-l", point], check=True)


@pytest.mark.parametrize("op", ["copy", "unpack"])
def test_full_and_read_only_file_systems(place, small, op):
    (place / "src").write_bytes(content := os.urandom(600 * 1024))
    (place / "src.zst").write_bytes(zstd.compress(content))
    target = small / "disk.raw"
    target.write_bytes(earlier := os.urandom(600 * 1024))  # stays until the rename: both do not fit
    assert run(op, target) == os_text(errno.ENOSPC)
    assert entries(small) == ["disk.raw"] and read(target) == earlier
    target.write_bytes(OLD)
    if op == "unpack":
        (small / "disk.raw.tmp").write_bytes(os.urandom(800 * 1024))  # stale: replaced
    assert run(op, target) == "sparse" and read(target) == content
    subprocess.run(["mount", "-o", "remount,ro", small], check=True)
    assert run(op, target) == os_text(errno.EROFS)


PLANTS = {  # what puts a file at the temporary name, given last
    "symbolic link": (os.symlink, "file"),
    "hard link": (os.link, "file"),
    "the source": (os.rename, "src.zst"),
    "a link to the source": (os.symlink, "src.zst"),
}


@pytest.mark.parametrize("plant", PLANTS)
def test_a_file_at_the_temporary_path_is_never_written_through(place, plant):
    """Another file there is replaced; the source itself there is neither emptied nor removed."""
    plant_file, *args = PLANTS[plant]
    plant_file(*args, "disk.raw.tmp")
    source, before = place / ("disk.raw.tmp" if plant == "the source" else "src.zst"), entries(place)
    packed, result = read(source), run("unpack", "disk.raw", source)
    if "source" in plant:
        assert result == f"source is the temporary file of the target: {source}" and entries(place) == before
        assert read("disk.raw.tmp") == packed
    else:
        assert result == "sparse" and read("disk.raw") == IMAGE and not os.path.lexists("disk.raw.tmp")
        assert read("file") == b"" and os.stat("file").st_nlink == 1


@pytest.mark.parametrize("replace", [False, True])
def test_a_live_decompression_keeps_its_temporary_file(place, replace):
    """Meanwhile a second call finds the name in use; another file put at the name is neither renamed nor removed."""
    os.mkfifo("pipe")  # fed by a thread here, which runs only while the interpreter lock is released
    packed, results = read("src.zst"), []

    def feed():
        with open("pipe", "wb") as pipe:
            pipe.write(packed[:100])  # the first call now holds its temporary file
            while not os.path.exists("disk.raw.tmp"):
                pass
            results.append(os.replace("file", "disk.raw.tmp") if replace else run("unpack", "disk.raw", "file"))
            pipe.write(packed[100:])

    assert not in_threads(feed, lambda: results.append(run("unpack", "disk.raw", "pipe")))
    replaced = [None, "temporary file disk.raw.tmp was replaced during the call"]
    assert results == (replaced if replace else [IN_USE, "sparse"]) and os.path.exists("disk.raw.tmp") == replace
    assert read("disk.raw") == (OLD if replace else IMAGE)


@pytest.mark.parametrize("op", ["copy", "unpack"])
def test_racing_calls_into_one_target_leave_the_image_of_one(place, op):
    images = {f"s{n}": os.urandom(2 * MiB) for n in range(3)}
    for name, image in images.items():
        (place / name).write_bytes(image if op == "copy" else zstd.compress(image))
    allowed = {"sparse", IN_USE if op == "unpack" else "sparse"}
    for _ in range(5):
        results = {}
        assert not in_threads(*[lambda s=s: results.update({s: run(op, "disk.raw", s)}) for s in images])
        assert len(results) == len(images) and set(results.values()) <= allowed
        assert read("disk.raw") in [images[s] for s in results if results[s] == "sparse"]
        assert not list(place.glob("disk.raw.tmp*"))


@pytest.fixture(scope="module")
def cow(tmp_path_factory):
    """A directory on a small XFS (which shares blocks between files) on a loop device."""
    image, point = (directory := tmp_path_factory.mktemp("xfs")) / "fs.img", directory / "mnt"
    point.mkdir()
    data = f"file,name={image},size=320m"  # the smallest XFS mkfs.xfs makes
    subprocess.run(["mkfs.xfs", "-q", "-m", "reflink=1", "-d", data], check=True, env=tool_env())
    mounted = subprocess.run(["mount", "-o", "loop", image, point], capture_output=True, text=True, env=tool_env())
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a loop device here: {mounted.stderr.strip()}")
    yield point
    subprocess.run(["umount", point], check=True, env=tool_env())


def shared_extents(path):
    """The data extents of the file, each with whether the file system says it shares it (FIEMAP_EXTENT_SHARED)."""
    lines = subprocess.run(["xfs_io", "-r", "-c", "fiemap -v", path], check=True, capture_output=True, text=True).stdout
    return [bool(int(line.split()[-1], 16) & 0x2000) for line in lines.splitlines()[2:] if "hole" not in line]


@need("mkfs.xfs", "mount", "xfs_io")
def test_a_clone_shares_the_source_blocks(cow, tmp_path):
    content = pattern(3 * MiB) + bytes(2 * MiB) + random.Random(5).randbytes(MiB)
    source = cow / "base.raw"
    with open(source, "wb") as f:
        f.write(content[: 3 * MiB])
        f.seek(2 * MiB, os.SEEK_CUR)  # a hole
        f.write(content[5 * MiB :])
    os.chown(source, 4321, 4321)
    os.chmod(source, 0o4755)  # after the chown, which clears it
    clone = cow / "vm" / "disk.raw"
    assert run("copy", clone, source) == ("reflink" if LINUX_FORM else "sparse")
    assert read(clone) == content
    assert data_ranges(clone) == data_ranges(source) or not LINUX_FORM  # else XFS's own layout
    assert set(shared_extents(clone) + shared_extents(source)) == {LINUX_FORM}
    assert mode(clone) == 0o755  # another's set-user-id bit goes, as for a copy
    assert run("copy", tmp_path / "disk.raw", source) == "sparse"  # another file system: no clone
    check_sparse(tmp_path / "disk.raw", content, MiB)
    (cow / "dir" / "inner").mkdir(parents=True)
    assert run("copy", cow / "dir", source) == os_text(errno.EISDIR)  # cloned, then the rename fails
    assert entries(cow / "dir") == ["inner"] and entries(cow) == ["base.raw", "dir", "vm"]


@pytest.fixture(scope="module")
def read_gate(tmp_path_factory):
    if sys.platform != "linux":
        pytest.skip("the read gate needs LD_PRELOAD")
    library = tmp_path_factory.mktemp("gate") / "read_gate.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", library, f"{HERE}/read_gate.c", "-ldl"], check=True, env=tool_env())
    return library


def gated(read_gate, op):
    """The operation in a child from a new source, "big", stopped before its 4th read of a copy's source (3 MiB done)
    or 6th of compressed input."""
    content = os.urandom(SIZE)
    Path("big").write_bytes(content if op == "copy" else zstd.compress(content, level=1))
    env = dict(os.environ, READ_GATE_FILE="big", READ_GATE_BEFORE="4" if op == "copy" else "6")
    env["LD_PRELOAD"] = f"{os.environ.get('LD_PRELOAD', '')} {read_gate}"  # a sanitizer's stays first
    command = python_command(CHILD, OPERATIONS[op][0].__name__, "big", "disk.raw")
    child = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, text=True)
    assert os.WIFSTOPPED(os.waitpid(child.pid, os.WUNTRACED)[1])
    return child, content


@pytest.mark.parametrize("op", ["copy", "unpack"])
@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGINT])
def test_a_process_killed_or_interrupted_mid_operation(read_gate, place, op, sig):
    """Reads and writes of regular files never fail with EINTR: the operation itself lets Ctrl-C's handler run."""
    child, content = gated(read_gate, op)
    [temp] = place.glob("disk.raw.tmp*")
    written = read(temp)
    assert 0 < len(written) < SIZE and content.startswith(written)
    copy_name = temp.name.startswith(f"disk.raw.tmp-{child.pid}-") and mode(temp) == 0o600  # exposes nothing
    assert temp.name == "disk.raw.tmp" if op == "unpack" else copy_name
    os.kill(child.pid, sig)
    time.sleep(0.2)  # stopped for longer than the operation may go without running handlers
    os.kill(child.pid, signal.SIGCONT)
    killed = sig == signal.SIGKILL
    assert child.communicate(timeout=60)[0] == "" and child.returncode == -sig  # KeyboardInterrupt ends in SIGINT
    assert read("disk.raw") == OLD and temp.exists() == killed
    assert run(op, "disk.raw", "big") == "sparse" and read("disk.raw") == content
    assert temp.exists() == (killed and op == "copy")  # a copy's unique name stays; unpacking reuses its own


@pytest.mark.parametrize(
    "op, change, kept",  # kept: how much of the source the image keeps, then a hole; 0: the call fails
    [
        ("copy", Path.unlink, SIZE),  # the open file is read on
        ("unpack", Path.unlink, SIZE),
        ("copy", lambda p: os.truncate(p, MiB), 3 * MiB),
        ("copy", lambda p: p.write_bytes(p.read_bytes() + b"more"), SIZE),  # the length seen at the start
        ("unpack", lambda p: os.truncate(p, 3 * ZSTD_READ), 0),
    ],
)
def test_a_source_changed_mid_operation(read_gate, place, op, change, kept):
    child, content = gated(read_gate, op)
    change(Path("big"))
    os.kill(child.pid, signal.SIGCONT)
    assert child.communicate(timeout=60)[0] == ("sparse\n" if kept else "incomplete frame\n")
    assert read("disk.raw") == (content[:kept] + bytes(SIZE - kept) if kept else OLD)
    assert not list(place.glob("disk.raw.tmp*"))
    assert all(start < (kept or SIZE) for start, _ in data_ranges("disk.raw"))  # zeros never read: a hole
