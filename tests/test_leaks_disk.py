"""No reference or descriptor leaks in the disk helpers, and no temporary file
left behind: every failure and the successes of both operations, on small
files."""

import os
from compression import zstd

import pytest

import corvane_core._ffi as ffi
from leak_check import Raises, Returns, assert_no_leak

OLD = b"the earlier image"
IMAGE = b"data" * 1000 + bytes(300_000) + b"tail"
FRAME = zstd.compress(IMAGE, options={zstd.CompressionParameter.checksum_flag: 1})


def os_text(code):
    return f"{os.strerror(code)} (os error {code})"


@pytest.fixture(scope="module")
def place(tmp_path_factory):
    directory = tmp_path_factory.mktemp("leaks-disk")
    (directory / "image.raw").write_bytes(IMAGE)
    (directory / "image.zst").write_bytes(FRAME)
    (directory / "cut.zst").write_bytes(FRAME[: len(FRAME) // 2])
    (directory / "text.zst").write_bytes(b"This is a plain text file, not an image.\n")
    (directory / "not-a-dir").write_bytes(b"a file")
    (directory / "a-dir").mkdir()
    (directory / "target.raw").write_bytes(OLD)
    return directory


def copy(source, target="target.raw"):
    return lambda d: ffi.clone_or_sparse_copy(str(d / source), str(d / target))


def unpack(source, target="target.raw", *chunk_size):
    return lambda d: ffi.decompress_zstd_sparse(str(d / source), str(d / target), *chunk_size)


SUCCESSES = [
    ("copy", copy("image.raw", "copied.raw"), "copied.raw"),
    ("decompress", unpack("image.zst", "unpacked.raw"), "unpacked.raw"),
    ("decompress in small chunks", unpack("image.zst", "unpacked-small.raw", 4096), "unpacked-small.raw"),
]

FAILURES = [
    ("copy, missing source", copy("missing.raw"), os_text(2)),
    ("copy, source is a directory", copy("a-dir"), "source is not a regular file: {dir}/a-dir"),
    ("copy, target is a directory", copy("image.raw", "a-dir"), os_text(21)),
    ("copy, parent is a file", copy("image.raw", "not-a-dir/target.raw"), os_text(17)),
    ("copy, NUL in source", lambda d: ffi.clone_or_sparse_copy(str(d / "image.raw") + "\0x", str(d / "target.raw")),
     "file name contained an unexpected NUL byte"),
    ("decompress, missing source", unpack("missing.zst"), os_text(2)),
    ("decompress, incomplete frame", unpack("cut.zst"), "incomplete frame"),
    ("decompress, not zstd", unpack("text.zst"), "Unknown frame descriptor"),
    ("decompress, NUL in target", lambda d: ffi.decompress_zstd_sparse(str(d / "image.zst"), str(d) + "/t\0.raw"),
     "file name contained an unexpected NUL byte"),
    ("decompress, chunk_size zero", unpack("image.zst", "target.raw", 0), "chunk_size must be greater than zero"),
    ("decompress, chunk_size beyond memory", unpack("image.zst", "target.raw", 2**63),
     "cannot allocate a buffer of 9223372036854775808 bytes: Cannot allocate memory (os error 12)"),
]


@pytest.mark.parametrize("call, target", [c[1:] for c in SUCCESSES], ids=[c[0] for c in SUCCESSES])
def test_disk_successes_do_not_leak(place, call, target):
    before = sorted(os.listdir(place))
    assert_no_leak(lambda: call(place), Returns("sparse"))
    assert (place / target).read_bytes() == IMAGE
    assert sorted(os.listdir(place)) == sorted(set(before) | {target})


@pytest.mark.parametrize("call, text", [c[1:] for c in FAILURES], ids=[c[0] for c in FAILURES])
def test_disk_failures_do_not_leak(place, call, text):
    before = sorted(os.listdir(place))
    assert_no_leak(lambda: call(place), Raises(OSError, text.format(dir=place)))
    assert (place / "target.raw").read_bytes() == OLD
    assert sorted(os.listdir(place)) == before, "a temporary file was left behind"
