"""Real files with holes: what clone_or_sparse_copy and decompress_zstd_sparse write and skip."""

import os
import shutil

from compression import zstd

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane_core._ffi as ffi
from disk_files import (
    PAGE,
    MiB,
    allocated,
    build_image,
    data_ranges,
    page_layout,
    pages_allocated,
    scratch_dir,
    written_chunks,
    written_pieces,
    zstd_pieces,
    zstd_tool,
)


@pytest.fixture(params=["tmpfs", "disk"])
def where(request, tmp_path):
    path = scratch_dir(request.param, tmp_path)
    yield path
    if request.param == "disk":
        shutil.rmtree(path)


def check_sparse_output(target, content, written):
    assert target.read_bytes() == content
    layout = page_layout(written, len(content))
    assert data_ranges(target) == layout
    assert allocated(target) == pages_allocated(layout)


X = b"\x01"


def pattern(length):
    """Non-zero bytes that compress well, so that compressed test streams stay small."""
    return (b"disk image " * (length // 11 + 1))[:length]


# name: (size, {offset: bytes})
IMAGES = {
    "empty": (0, {}),
    "all zeros": (10 * MiB, {}),
    "one byte inside a chunk": (4 * MiB, {2 * MiB + 12345: X}),
    "one byte, last of its chunk": (3 * MiB, {2 * MiB - 1: X}),
    "one byte, first of its chunk": (3 * MiB, {MiB: X}),
    "short last chunk with data": (3 * MiB + 1000, {3 * MiB + 999: X}),
    "short last chunk of zeros": (3 * MiB + 1000, {5: b"data"}),
    "ends in zero chunks": (5 * MiB + 7, {0: pattern(4096)}),
    "data across a chunk boundary": (4 * MiB, {MiB + MiB // 2: pattern(MiB)}),
    "data throughout": (2 * MiB + 3, {0: pattern(2 * MiB + 3)}),
}


@pytest.mark.parametrize("sparse_source", [False, True], ids=["zeros written", "sparse source"])
@pytest.mark.parametrize("name", IMAGES)
def test_copy_makes_whole_zero_chunks_holes(where, name, sparse_source):
    size, regions = IMAGES[name]
    content = build_image(where / "src", size, regions, sparse_source)
    assert ffi.clone_or_sparse_copy(str(where / "src"), str(where / "dst")) == "sparse"
    check_sparse_output(where / "dst", content, written_chunks(content, MiB))


@pytest.mark.parametrize("name", IMAGES)
def test_decompression_of_a_tool_frame_makes_zero_pieces_holes(where, name):
    size, regions = IMAGES[name]
    content = build_image(where / "img", size, regions, sparse=True)
    zstd_tool("-f", where / "img", "-o", where / "img.zst")
    assert ffi.decompress_zstd_sparse(str(where / "img.zst"), str(where / "out")) == "sparse"
    check_decompressed(where / "img.zst", where / "out", content, MiB)


def check_decompressed(source, target, content, chunk_size):
    # The pieces, and so the holes, are where the reference model of the
    # reader puts them with the same library.
    pieces = zstd_pieces(source.read_bytes(), chunk_size)
    assert b"".join(pieces) == content and max(map(len, pieces), default=0) <= chunk_size
    check_sparse_output(target, content, written_pieces(pieces))


def test_incompressible_data_spreads_pieces_but_zero_tail_stays_a_hole(tmp_path):
    # Incompressible data arrives a buffer of input at a time, so its pieces
    # end where the input runs out; the last one reaches at most one
    # chunk_size past the data, and the zeros after that are holes.
    content = build_image(tmp_path / "img", 12 * MiB, {MiB: os.urandom(2 * MiB)}, sparse=True)
    zstd_tool("-f", tmp_path / "img", "-o", tmp_path / "img.zst")
    ffi.decompress_zstd_sparse(str(tmp_path / "img.zst"), str(tmp_path / "out"))
    check_decompressed(tmp_path / "img.zst", tmp_path / "out", content, MiB)
    [(start, end)] = data_ranges(tmp_path / "out")
    assert start <= MiB and 3 * MiB <= end <= 4 * MiB


def test_64_mib_of_zeros_decompress_to_a_hole(where):
    with open(where / "zeros", "wb") as f:
        f.truncate(64 * MiB)
    zstd_tool("-f", where / "zeros", "-o", where / "zeros.zst")
    ffi.decompress_zstd_sparse(str(where / "zeros.zst"), str(where / "out"))
    assert os.path.getsize(where / "out") == 64 * MiB
    assert data_ranges(where / "out") == [] and allocated(where / "out") == 0


@pytest.mark.parametrize("chunk_size", [PAGE, 2 * PAGE, MiB])
def test_chunk_size_bounds_pieces(tmp_path, chunk_size):
    # Pages of zeros alternate with pages of data: each zero page is a hole
    # only when pieces are no larger than a page.
    content = b"".join(bytes(PAGE) if i % 2 else bytes([i + 1]) * PAGE for i in range(64))
    (tmp_path / "alt.zst").write_bytes(zstd.compress(content))
    ffi.decompress_zstd_sparse(str(tmp_path / "alt.zst"), str(tmp_path / "out"), chunk_size=chunk_size)
    check_decompressed(tmp_path / "alt.zst", tmp_path / "out", content, chunk_size)
    holes = len(content) - allocated(tmp_path / "out")
    assert holes == (len(content) // 2 if chunk_size == PAGE else 0)


def test_concatenated_frames_each_start_a_piece(tmp_path):
    chunk = 2 * PAGE
    first, second = bytes(PAGE), bytes(chunk) + b"\x07" * chunk
    (tmp_path / "two.zst").write_bytes(zstd.compress(first) + zstd.compress(second))
    ffi.decompress_zstd_sparse(str(tmp_path / "two.zst"), str(tmp_path / "out"), chunk)
    out = tmp_path / "out"
    assert out.read_bytes() == first + second
    # Pieces restart at the second frame, so its zero chunk is a hole even
    # though it straddles a chunk boundary of the whole stream.
    layout = page_layout(written_chunks(second, chunk, start=len(first)), len(first + second))
    assert data_ranges(out) == layout == [(PAGE + chunk, PAGE + 2 * chunk)]


def test_frames_of_the_tool_concatenate(tmp_path):
    parts = [os.urandom(5000), bytes(3 * MiB), b"tail"]
    for i, part in enumerate(parts):
        (tmp_path / f"p{i}").write_bytes(part)
        zstd_tool("-f", tmp_path / f"p{i}", "-o", tmp_path / f"p{i}.zst")
    joined = b"".join((tmp_path / f"p{i}.zst").read_bytes() for i in range(3))
    (tmp_path / "all.zst").write_bytes(joined)
    ffi.decompress_zstd_sparse(str(tmp_path / "all.zst"), str(tmp_path / "out"))
    assert (tmp_path / "out").read_bytes() == b"".join(parts)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    runs=st.lists(
        st.tuples(st.sampled_from(["hole", "zeros", "data"]), st.integers(1, 3 * MiB)), min_size=1, max_size=6
    )
)
def test_hole_skipping_matches_reading_every_chunk(tmp_path, runs):
    # A source built from holes, written zeros and data at arbitrary offsets:
    # the copy must be what reading every 1 MiB chunk would give.
    regions, offset = {}, 0
    for kind, length in runs:
        if kind != "hole":
            regions[offset] = os.urandom(length) if kind == "data" else bytes(length)
        offset += length
    content = build_image(tmp_path / "src", offset, regions, sparse=True)
    ffi.clone_or_sparse_copy(str(tmp_path / "src"), str(tmp_path / "dst"))
    check_sparse_output(tmp_path / "dst", content, written_chunks(content, MiB))
