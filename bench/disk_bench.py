"""Sparse copy and sparse zstd decompression against cp and the zstd tool.

Five 1 GiB images: all zeros, 1 MiB zero chunks interleaved with 1 MiB random
chunks (zeros written out, then the same with holes for the zero chunks), a VM
image shape (a few data regions in a mostly empty disk, zeros written out),
and the same VM shape as a sparse file. Each operation runs against its
counterpart side by side, best of several runs, with the page cache warm and
every output on the same file system (the work tree's build directory).
Ratios below 1 mean this module is faster.
"""

import os
import random
import shutil
import subprocess
import sys
import time
from pathlib import Path

import corvane_core._ffi as ffi

MiB = 1 << 20
SIZE = 1024 * MiB
RUNS = int(os.environ.get("DISK_BENCH_RUNS", "5"))
WORK = Path(__file__).resolve().parent.parent / "build" / "disk-bench"
SHAPES = [
    "all zeros",
    "half zero, half random",
    "half zero, half random, sparse source",
    "VM shape, zeros written",
    "VM shape, sparse source",
]
VM_REGIONS = [(0, 64), (256, 128), (700, 32), (1000, 16), (1020, 4)]  # (start MiB, length MiB)


def random_block(rng):
    return rng.randbytes(MiB)


def write_shape(path, shape):
    rng = random.Random(1)
    with open(path, "wb") as f:
        if shape == "all zeros":
            for _ in range(SIZE // MiB):
                f.write(bytes(MiB))
        elif shape == "half zero, half random":
            for i in range(SIZE // MiB):
                f.write(bytes(MiB) if i % 2 == 0 else random_block(rng))
        elif shape == "half zero, half random, sparse source":
            f.truncate(SIZE)
            for i in range(1, SIZE // MiB, 2):
                f.seek(i * MiB)
                f.write(random_block(rng))
        else:
            sparse = shape == "VM shape, sparse source"
            if sparse:
                f.truncate(SIZE)
            else:
                for _ in range(SIZE // MiB):
                    f.write(bytes(MiB))
            for start, length in VM_REGIONS:
                f.seek(start * MiB)
                for _ in range(length):
                    f.write(random_block(rng))


def warm(path):
    with open(path, "rb") as f:
        while f.readinto(bytearray(8 * MiB)):
            pass


def best_time(run, output):
    best = float("inf")
    for _ in range(RUNS):
        if output.exists():
            output.unlink()
        os.sync()  # no writeback of an earlier run in this one's time
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def allocated(path):
    return os.stat(path).st_blocks * 512


def same_content(a, b):
    return subprocess.run(["cmp", "-s", str(a), str(b)]).returncode == 0


def compare(label, ours, theirs, out_ours, out_theirs, reference):
    t_ours = best_time(ours, out_ours)
    t_theirs = best_time(theirs, out_theirs)
    ok = same_content(out_ours, reference) and same_content(out_theirs, reference)
    a_ours, a_theirs = allocated(out_ours), allocated(out_theirs)
    print(
        f"  {label:<38} {t_ours:7.3f} s {t_theirs:7.3f} s  ratio {t_ours / t_theirs:5.2f}"
        f"   allocated {a_ours / MiB:7.1f} / {a_theirs / MiB:7.1f} MiB{'' if ok else '   CONTENT DIFFERS'}"
    )
    for path in (out_ours, out_theirs):
        path.unlink()
    return ok


def main():
    WORK.mkdir(parents=True, exist_ok=True)
    print(f"images of {SIZE // MiB} MiB in {WORK}, best of {RUNS} runs, page cache warm")
    print(f"  {'operation (this module vs tool)':<38} {'ours':>9} {'theirs':>9}  {'ours/theirs':>11}"
          f"   {'allocated ours / theirs':>27}")
    all_ok = True
    try:
        for shape in SHAPES:
            source, packed = WORK / "source.raw", WORK / "source.raw.zst"
            write_shape(source, shape)
            subprocess.run(["zstd", "-q", "-T0", "-f", str(source), "-o", str(packed)], check=True)
            warm(source)
            warm(packed)
            print(f"{shape}: source allocated {allocated(source) / MiB:.0f} MiB, "
                  f"compressed {os.path.getsize(packed) / MiB:.1f} MiB")
            ours, theirs = WORK / "ours.raw", WORK / "theirs.raw"
            all_ok &= compare(
                "clone_or_sparse_copy vs cp --sparse=always",
                lambda: ffi.clone_or_sparse_copy(str(source), str(ours)),
                lambda: subprocess.run(["cp", "--sparse=always", str(source), str(theirs)], check=True),
                ours, theirs, source,
            )
            all_ok &= compare(
                "decompress_zstd_sparse vs zstd -d --sparse",
                lambda: ffi.decompress_zstd_sparse(str(packed), str(ours)),
                lambda: subprocess.run(["zstd", "-q", "-d", "--sparse", "-f", str(packed), "-o", str(theirs)],
                                       check=True),
                ours, theirs, source,
            )
            source.unlink()
            packed.unlink()
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
    return 0 if all_ok else 1


if __name__ == "__main__":
    sys.exit(main())
