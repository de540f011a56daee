"""Failures of the disk helpers: the error text, the target as it was, no temporary file left."""

import ctypes
import os
import subprocess
import sys
import textwrap
from compression import zstd

import pytest

import corvane_core._ffi as ffi
from disk_files import MiB, entries, raw_block_frame, zstd_error_name, zstd_tool

OLD = b"the earlier image"


@pytest.fixture
def place(tmp_path):
    """A directory holding an earlier target."""
    (tmp_path / "disk.raw").write_bytes(OLD)
    return tmp_path


def fails_cleanly(call, directory, text, extra_entries=()):
    before = sorted(set(entries(directory)) | set(extra_entries))
    with pytest.raises(OSError) as caught:
        call()
    assert caught.value.args == (text,)
    assert (caught.value.errno, caught.value.strerror, caught.value.filename) == (None, None, None)
    assert (directory / "disk.raw").read_bytes() == OLD
    assert sorted(entries(directory)) == sorted(set(before) - {"disk.raw.tmp"})


def checked_frame(content):
    return zstd.compress(content, options={zstd.CompressionParameter.checksum_flag: 1})


def large_window_frame():
    # Streamed, so the frame states the full 256 MiB window instead of one sized to the content.
    compressor = zstd.ZstdCompressor(options={zstd.CompressionParameter.window_log: 28})
    return compressor.compress(b"abc" * 100) + compressor.flush()


def flip_last_byte(frame):
    return frame[:-1] + bytes([frame[-1] ^ 0xFF])


GOOD = checked_frame(b"new image" + bytes(MiB))
# name: (compressed bytes, expected text or libzstd error code name)
BAD_STREAMS = {
    "empty source": (b"", "incomplete frame"),
    "cut inside the header": (GOOD[:3], "incomplete frame"),
    "cut inside a block": (GOOD[: len(GOOD) // 2], "incomplete frame"),
    "cut before the checksum": (GOOD[:-4], "incomplete frame"),
    "second frame cut": (GOOD + GOOD[:10], "incomplete frame"),
    "plain text": (b"This is a plain text file, not an image.\n", ("prefix_unknown",)),
    "trailing garbage": (GOOD + b"garbage!", ("prefix_unknown",)),
    "short trailing garbage": (GOOD + b"\x28\xb5", "incomplete frame"),
    "checksum mismatch": (flip_last_byte(GOOD), ("checksum_wrong",)),
    "content shorter than declared": (raw_block_frame(10, b"hello"), ("corruption_detected",)),
    "content longer than declared": (raw_block_frame(3, b"hello"), ("corruption_detected",)),
    "window beyond the default limit": (large_window_frame(), ("frameParameter_windowTooLarge",)),
}


@pytest.mark.parametrize("stale", [False, True], ids=["", "stale tmp"])
@pytest.mark.parametrize("name", BAD_STREAMS)
def test_bad_zstd_streams_leave_the_target_alone(place, name, stale):
    data, expected = BAD_STREAMS[name]
    text = zstd_error_name(expected[0]) if isinstance(expected, tuple) else expected
    (place / "in.zst").write_bytes(data)
    if stale:
        (place / "disk.raw.tmp").write_bytes(b"left by an interrupted run")
    fails_cleanly(lambda: ffi.decompress_zstd_sparse(str(place / "in.zst"), str(place / "disk.raw")), place, text)


def test_corruption_in_a_tool_frame_is_reported(place):
    (place / "img").write_bytes(os.urandom(300000) + bytes(2 * MiB))
    zstd_tool("-f", place / "img", "-o", place / "img.zst")
    data = bytearray((place / "img.zst").read_bytes())
    data[len(data) // 2] ^= 0x55
    (place / "img.zst").write_bytes(data)
    with pytest.raises(OSError) as caught:
        ffi.decompress_zstd_sparse(str(place / "img.zst"), str(place / "disk.raw"))
    names = {zstd_error_name(n) for n in ("corruption_detected", "checksum_wrong", "literals_headerWrong")}
    assert caught.value.args[0] in names
    assert (place / "disk.raw").read_bytes() == OLD and not (place / "disk.raw.tmp").exists()


@pytest.mark.parametrize(
    "source, text",
    [
        ("missing.zst", "No such file or directory (os error 2)"),
        (".", "Is a directory (os error 21)"),
        ("/dev/null", "incomplete frame"),
    ],
)
@pytest.mark.parametrize("stale", [False, True], ids=["", "stale tmp"])
def test_unreadable_zstd_sources_remove_any_stale_temporary_file(place, monkeypatch, source, text, stale):
    monkeypatch.chdir(place)
    if stale:
        (place / "disk.raw.tmp").write_bytes(b"left by an interrupted run")
    fails_cleanly(lambda: ffi.decompress_zstd_sparse(source, str(place / "disk.raw")), place, text)


def test_a_stale_temporary_file_is_replaced_on_success(place):
    (place / "disk.raw.tmp").write_bytes(os.urandom(3 * MiB))
    (place / "in.zst").write_bytes(GOOD)
    ffi.decompress_zstd_sparse(str(place / "in.zst"), str(place / "disk.raw"))
    assert (place / "disk.raw").read_bytes() == b"new image" + bytes(MiB)
    assert entries(place) == ["disk.raw", "in.zst"]


@pytest.mark.parametrize(
    "chunk_size, error, text",
    [
        (0, OSError, "chunk_size must be greater than zero"),
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (None, TypeError, "argument 'chunk_size': 'NoneType' object cannot be interpreted as an integer"),
        (2**63, OSError, "cannot allocate a buffer of 9223372036854775808 bytes: Cannot allocate memory (os error 12)"),
        (2**64 - 1, OSError, "cannot allocate a buffer of 18446744073709551615 bytes: Cannot allocate memory (os error 12)"),
    ],
)
def test_bad_chunk_sizes(place, chunk_size, error, text):
    (place / "in.zst").write_bytes(GOOD)
    (place / "disk.raw.tmp").write_bytes(b"stale")
    with pytest.raises(error) as caught:
        ffi.decompress_zstd_sparse(str(place / "in.zst"), str(place / "disk.raw"), chunk_size)
    assert type(caught.value) is error
    if text is not None:
        assert str(caught.value) == text
    assert (place / "disk.raw").read_bytes() == OLD
    # Refused before any file is touched, or cleaned up after the allocation failed.
    stale_kept = error is not OSError or chunk_size == 0
    assert (place / "disk.raw.tmp").exists() == stale_kept


def test_a_failing_read_removes_the_copy(place):
    # /proc/self/mem is a regular file whose first page cannot be read.
    fails_cleanly(
        lambda: ffi.clone_or_sparse_copy("/proc/self/mem", str(place / "disk.raw")),
        place,
        "Input/output error (os error 5)",
    )


@pytest.mark.parametrize("source", ["missing", "loop"])
def test_copy_of_a_missing_source_touches_nothing(place, source):
    os.symlink("loop", place / "loop")
    text = {"missing": "No such file or directory (os error 2)", "loop": "Too many levels of symbolic links (os error 40)"}
    fails_cleanly(
        lambda: ffi.clone_or_sparse_copy(str(place / source), str(place / "new" / "disk.raw")), place, text[source]
    )


LIBC = ctypes.CDLL(None, use_errno=True)
MS_RDONLY, MS_REMOUNT, MNT_DETACH = 1, 32, 2


def mount_tmpfs(mount_point, flags=0):
    if LIBC.mount(b"tmpfs", bytes(mount_point), b"tmpfs", flags, b"size=1m") != 0:
        return os.strerror(ctypes.get_errno())
    return None


@pytest.fixture
def small_fs(tmp_path):
    """A 1 MiB tmpfs mounted for the test, holding an earlier target."""
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    if refused := mount_tmpfs(mount_point):
        pytest.skip(f"cannot mount a tmpfs here: {refused}")
    (mount_point / "disk.raw").write_bytes(OLD)
    yield mount_point
    LIBC.umount2(bytes(mount_point), MNT_DETACH)


def source_for(tmp_path, op):
    content = os.urandom(4 * MiB)
    if op == "copy":
        (tmp_path / "src").write_bytes(content)
        return tmp_path / "src", ffi.clone_or_sparse_copy
    (tmp_path / "src.zst").write_bytes(zstd.compress(content))
    return tmp_path / "src.zst", ffi.decompress_zstd_sparse


@pytest.mark.parametrize("op", ["copy", "decompress"])
def test_a_full_file_system_removes_the_partial_output(tmp_path, small_fs, op):
    source, function = source_for(tmp_path, op)
    fails_cleanly(
        lambda: function(str(source), str(small_fs / "disk.raw")), small_fs, "No space left on device (os error 28)"
    )


@pytest.mark.parametrize("op", ["copy", "decompress"])
def test_a_read_only_file_system_refuses_the_temporary_file(tmp_path, small_fs, op):
    source, function = source_for(tmp_path, op)
    assert mount_tmpfs(small_fs, MS_REMOUNT | MS_RDONLY) is None
    fails_cleanly(lambda: function(str(source), str(small_fs / "disk.raw")), small_fs, "Read-only file system (os error 30)")


def test_the_interpreter_lock_is_released_while_decompressing(tmp_path):
    # The source is a pipe that a Python thread of the same process feeds: with
    # the lock held during the call the writer could never run. The writer also
    # sees the temporary file appear under its fixed name while the call waits.
    script = textwrap.dedent(
        """
        import os, sys, threading, time
        from compression import zstd
        import corvane_core._ffi as ffi
        fifo, target = sys.argv[1], sys.argv[2]
        frame = zstd.compress(b"streamed" * 100000)
        seen = []
        def feed():
            with open(fifo, "wb", buffering=0) as pipe:
                pipe.write(frame[:100])
                while not os.path.exists(target + ".tmp"):
                    time.sleep(0.01)
                seen.append(True)
                pipe.write(frame[100:])
        writer = threading.Thread(target=feed)
        writer.start()
        print(ffi.decompress_zstd_sparse(fifo, target), seen, open(target, "rb").read() == b"streamed" * 100000)
        writer.join()
        """
    )
    os.mkfifo(tmp_path / "fifo")
    done = subprocess.run(
        [sys.executable, "-c", script, str(tmp_path / "fifo"), str(tmp_path / "out")],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.stdout.strip() == "sparse [True] True", done.stderr
