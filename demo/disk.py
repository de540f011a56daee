"""Disk images: a raw image with long zero runs, compressed with the zstd tool,
expanded with decompress_zstd_sparse and copied with clone_or_sparse_copy.
The outputs keep their apparent size but leave the zero runs as holes."""

import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import corvane_core._ffi as ffi

TITLE = "Disk images: sparse decompression and copy"

MiB = 1 << 20
IMAGE_SIZE = 384 * MiB
# A typical shape: boot area, file system metadata, a few files, a journal
# near the end; everything else was never written by the guest.
DATA = [(0, 2 * MiB), (1 * MiB * 64, 24 * MiB), (150 * MiB, 8 * MiB), (300 * MiB, 512 * 1024), (376 * MiB, 4 * MiB)]


def build_image(path):
    rng = os.urandom(MiB)
    with open(path, "wb") as f:
        f.write(bytes(IMAGE_SIZE))  # zeros written out: the source has no holes
        for offset, length in DATA:
            f.seek(offset)
            for start in range(0, length, MiB):
                f.write(rng[: min(MiB, length - start)])


def extents(path):
    ranges, pos = [], 0
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        while pos < size:
            try:
                start = os.lseek(f.fileno(), pos, os.SEEK_DATA)
            except OSError:
                break
            pos = os.lseek(f.fileno(), start, os.SEEK_HOLE)
            ranges.append((start, pos))
    return ranges


def show(label, path):
    st = os.stat(path)
    data = extents(path)
    shown = ", ".join(f"{a // MiB}-{b / MiB:g}" for a, b in data[:6]) + (" ..." if len(data) > 6 else "")
    print(
        f"  {label:<26} apparent {st.st_size / MiB:8.1f} MiB   allocated {st.st_blocks * 512 / MiB:8.1f} MiB"
        f"   data MiB: {shown or '-'}"
    )


def timed(label, call):
    start = time.perf_counter()
    result = call()
    print(f"  {label}: {result!r} in {time.perf_counter() - start:.2f} s")


def run():
    # On the disk file system of the work tree, where holes behave as on a host.
    root = Path(__file__).resolve().parent.parent / "build"
    root.mkdir(exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="disk-demo-", dir=root))
    try:
        image, packed = work / "guest.raw", work / "guest.raw.zst"
        build_image(image)
        subprocess.run(["zstd", "-q", "-T0", "-f", str(image), "-o", str(packed)], check=True)
        print(
            f"  image of {IMAGE_SIZE // MiB} MiB with {sum(length for _, length in DATA) / MiB:g} MiB of data; compressed with the zstd tool"
        )
        expanded, copied = work / "restore" / "guest.raw", work / "copies" / "guest-clone.raw"
        timed("decompress_zstd_sparse", lambda: ffi.decompress_zstd_sparse(str(packed), str(expanded)))
        timed("clone_or_sparse_copy", lambda: ffi.clone_or_sparse_copy(str(expanded), str(copied)))
        print()
        show("source (zeros written)", image)
        show("compressed", packed)
        show("decompressed", expanded)
        show("copy of the decompressed", copied)
        same = expanded.read_bytes() == image.read_bytes() == copied.read_bytes()
        print(f"  contents identical: {same}")
        os.chmod(image, 0o640)
        ffi.clone_or_sparse_copy(str(image), str(copied))
        print(f"  copy of the source (mode 0640) -> mode {os.stat(copied).st_mode & 0o7777:04o}, replaced in place")
        show("copy of the source", copied)
        try:
            ffi.decompress_zstd_sparse(str(image), str(expanded))
        except OSError as error:
            print(
                f"  decompressing the raw image: OSError: {error}; target kept, temporary files: "
                f"{[p.name for p in work.rglob('*.tmp*')]}"
            )
    finally:
        shutil.rmtree(work)
