"""Helpers for the disk tests: images with holes, their layout, zstd frames."""

import ctypes
import os
import re
import struct
import subprocess
import uuid
from pathlib import Path

from tool_env import tool_environment

MiB = 1 << 20
PAGE = os.sysconf("SC_PAGE_SIZE")
WORKTREE_BUILD = Path(__file__).resolve().parent.parent / "build"


def data_ranges(path):
    """The file's data extents as the file system reports them (SEEK_DATA/SEEK_HOLE)."""
    ranges = []
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        pos = 0
        while pos < size:
            try:
                start = os.lseek(f.fileno(), pos, os.SEEK_DATA)
            except OSError:  # ENXIO: only hole from here on
                break
            end = os.lseek(f.fileno(), start, os.SEEK_HOLE)
            ranges.append((start, end))
            pos = end
    return ranges


def allocated(path):
    return os.stat(path).st_blocks * 512


def written_chunks(content, chunk, start=0):
    """The ranges a sparse writer must write: chunks holding a non-zero byte."""
    return [
        (start + at, start + min(at + chunk, len(content)))
        for at in range(0, len(content), chunk)
        if content[at : at + chunk].strip(b"\0")
    ]


def page_layout(written, size):
    """What the file system shows for those writes: whole pages, merged, cut at the size."""
    merged = []
    for start, end in written:
        start, end = start // PAGE * PAGE, min(-(-end // PAGE) * PAGE, size)
        if merged and start <= merged[-1][1]:
            merged[-1] = (merged[-1][0], max(end, merged[-1][1]))
        else:
            merged.append((start, end))
    return merged


def pages_allocated(layout):
    return sum(-(-(end - start) // PAGE) * PAGE for start, end in layout)


def build_image(path, size, regions, sparse):
    """A file of `size` bytes with the given {offset: bytes}; the rest zero,
    left as holes when `sparse`, written out as zero bytes otherwise."""
    content = bytearray(size)
    for offset, data in regions.items():
        content[offset : offset + len(data)] = data
    with open(path, "wb") as f:
        if sparse:
            f.truncate(size)
            for offset, data in regions.items():
                f.seek(offset)
                f.write(data)
        else:
            f.write(content)
    return bytes(content)


def zstd_tool(*args):
    subprocess.run(["zstd", "-q", *map(str, args)], check=True, env=tool_environment())


def zstd_error_name(code_name):
    """The installed libzstd's text for an error code named in its zstd_errors.h."""
    header = Path("/usr/include/zstd_errors.h").read_text()
    value = int(re.search(rf"ZSTD_error_{code_name}\s*=\s*(\d+)", header).group(1))
    lib = ctypes.CDLL("libzstd.so.1")
    lib.ZSTD_getErrorString.restype = ctypes.c_char_p
    lib.ZSTD_getErrorString.argtypes = [ctypes.c_int]
    return lib.ZSTD_getErrorString(value).decode()


def raw_block_frame(content_size, payload):
    """One zstd frame by hand: a single-segment header declaring content_size
    (below 256) and one last raw block carrying payload."""
    header = struct.pack("<IBB", 0xFD2FB528, 0x20, content_size)
    block = ((len(payload) << 3) | 1).to_bytes(3, "little")
    return header + block + payload


def scratch_dir(kind, tmp_path):
    """A directory on tmpfs (pytest's tmp_path) or on the disk file system of the work tree."""
    if kind == "tmpfs":
        return tmp_path
    path = WORKTREE_BUILD / "disk-test" / uuid.uuid4().hex
    path.mkdir(parents=True)
    return path


def entries(directory):
    return sorted(p.name for p in Path(directory).iterdir())


class _InBuffer(ctypes.Structure):
    _fields_ = [("src", ctypes.c_void_p), ("size", ctypes.c_size_t), ("pos", ctypes.c_size_t)]


class _OutBuffer(ctypes.Structure):
    _fields_ = [("dst", ctypes.c_void_p), ("size", ctypes.c_size_t), ("pos", ctypes.c_size_t)]


def zstd_pieces(compressed, capacity):
    """Reference model of the piece reader, driving the installed libzstd
    through ctypes: returns the decompressed pieces in order. Input is taken
    ZSTD_DStreamInSize() bytes at a time, as reads of a regular file give it."""
    lib = ctypes.CDLL("libzstd.so.1")
    lib.ZSTD_createDCtx.restype = ctypes.c_void_p
    lib.ZSTD_freeDCtx.argtypes = [ctypes.c_void_p]
    lib.ZSTD_DStreamInSize.restype = ctypes.c_size_t
    lib.ZSTD_decompressStream.restype = ctypes.c_size_t
    lib.ZSTD_decompressStream.argtypes = [ctypes.c_void_p, ctypes.POINTER(_OutBuffer), ctypes.POINTER(_InBuffer)]
    lib.ZSTD_DCtx_reset.argtypes = [ctypes.c_void_p, ctypes.c_int]
    lib.ZSTD_isError.argtypes = [ctypes.c_size_t]
    in_size = lib.ZSTD_DStreamInSize()
    ctx = lib.ZSTD_createDCtx()
    out = ctypes.create_string_buffer(capacity)
    pieces, offset, frame_finished = [], 0, False
    block, start = b"", 0
    try:
        while True:
            ob = _OutBuffer(ctypes.cast(out, ctypes.c_void_p), capacity, 0)
            result = lib.ZSTD_decompressStream(ctx, ob, _InBuffer(None, 0, 0))
            assert not lib.ZSTD_isError(result)
            frame_finished |= result == 0
            while ob.pos == 0:
                if start == len(block):
                    block, start = compressed[offset : offset + in_size], 0
                    offset += len(block)
                    if not block:
                        assert frame_finished, "incomplete frame"
                        return pieces
                if frame_finished:
                    lib.ZSTD_DCtx_reset(ctx, 1)  # ZSTD_reset_session_only
                    frame_finished = False
                keep = ctypes.create_string_buffer(block, len(block))
                ib = _InBuffer(ctypes.cast(keep, ctypes.c_void_p), len(block), start)
                result = lib.ZSTD_decompressStream(ctx, ob, ib)
                assert not lib.ZSTD_isError(result)
                frame_finished = result == 0
                start = ib.pos
            pieces.append(out.raw[: ob.pos])
    finally:
        lib.ZSTD_freeDCtx(ctx)


def written_pieces(pieces):
    """The ranges a sparse writer must write for these pieces."""
    ranges, offset = [], 0
    for piece in pieces:
        if piece.strip(b"\0"):
            ranges.append((offset, offset + len(piece)))
        offset += len(piece)
    return ranges
