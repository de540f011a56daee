"""Disk outputs that other files and other calls cannot spoil: the temporary name, concurrent calls, set-id bits."""

import os
from compression import zstd
from concurrent.futures import ThreadPoolExecutor

import pytest

import corvane_core._ffi as ffi
from disk_files import MiB, entries

IMAGES = [b"A" + os.urandom(3 * MiB) + bytes(MiB), b"B" + os.urandom(3 * MiB)]
PLANTS = {"hard link": lambda p: os.link(p / "victim", p / "disk.raw.tmp"), "fifo": lambda p: os.mkfifo(p / "disk.raw.tmp")}


@pytest.fixture
def place(tmp_path):
    for i, image in enumerate(IMAGES):
        (tmp_path / f"{i}.zst").write_bytes(zstd.compress(image, level=1))
    (tmp_path / "victim").write_bytes(b"someone else's file")
    return tmp_path


def decompress(place, source):
    try:
        return ffi.decompress_zstd_sparse(str(place / source), str(place / "disk.raw"))
    except OSError as error:
        return error.args[0]


@pytest.mark.timeout(60)
@pytest.mark.parametrize("plant", PLANTS)
def test_a_file_at_the_temporary_name_is_replaced_not_written_through(place, plant):
    PLANTS[plant](place)
    assert decompress(place, "0.zst") == "sparse" and (place / "disk.raw").read_bytes() == IMAGES[0]
    assert (place / "victim").read_bytes() == b"someone else's file" and (place / "victim").stat().st_nlink == 1
    assert entries(place) == ["0.zst", "1.zst", "disk.raw", "victim"]


@pytest.mark.timeout(60)
def test_a_live_decompression_refuses_a_second_into_the_same_target(place):
    os.mkfifo(place / "pipe")
    with ThreadPoolExecutor(1) as first:
        outcome, packed = first.submit(decompress, place, "pipe"), (place / "0.zst").read_bytes()
        with open(place / "pipe", "wb") as pipe:
            pipe.write(packed[: len(packed) // 2])  # the first call now holds its temporary file
            assert (place / "disk.raw.tmp").exists()
            assert decompress(place, "1.zst") == f"temporary file {place / 'disk.raw.tmp'} is in use by another call"
            pipe.write(packed[len(packed) // 2 :])
    assert outcome.result() == "sparse" and (place / "disk.raw").read_bytes() == IMAGES[0]


@pytest.mark.timeout(120)
def test_racing_decompressions_leave_the_image_of_one_that_succeeded(place):
    with ThreadPoolExecutor(2) as pool:
        for _ in range(10):
            results = list(pool.map(lambda i: decompress(place, f"{i}.zst"), range(2)))
            assert set(results) <= {"sparse", f"temporary file {place / 'disk.raw.tmp'} is in use by another call"}
            assert (place / "disk.raw").read_bytes() in [IMAGES[i] for i in range(2) if results[i] == "sparse"]
            assert entries(place) == ["0.zst", "1.zst", "disk.raw", "victim"]


@pytest.mark.skipif(os.geteuid() != 0, reason="giving a file to another user needs root")
@pytest.mark.parametrize("owner, kept", [((0, 0), 0o6755), ((4321, 4321), 0o755), ((0, 4321), 0o4755), ((4321, 0), 0o2755)])
def test_a_copy_keeps_set_id_bits_only_for_the_owner_it_keeps(tmp_path, owner, kept):
    (tmp_path / "src").write_bytes(b"\x7fELF program")
    os.chown(tmp_path / "src", *owner)
    os.chmod(tmp_path / "src", 0o6755)  # after the chown, which clears the set-id bits
    ffi.clone_or_sparse_copy(str(tmp_path / "src"), str(tmp_path / "dst"))
    assert (tmp_path / "dst").stat().st_mode & 0o7777 == kept and (tmp_path / "dst").read_bytes() == b"\x7fELF program"
