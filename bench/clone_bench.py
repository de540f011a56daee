"""Copy-on-write clones: a 1 GiB image on an XFS on a loop device (made and mounted in this run's own mounts),
clone_or_sparse_copy against cp --reflink=always on the same file system, and against the sparse copy that the
module makes where no clone is possible (the same image copied to the work tree's file system). Best of several
runs; ratios below 1 mean this module is faster."""

import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import corvane_core._ffi as ffi

MiB = 1 << 20
SIZE = 1024 * MiB
RUNS = int(os.environ.get("CLONE_BENCH_RUNS", "5"))
BUILD = Path(__file__).resolve().parent.parent / "build"


def best_time(run, output):
    best, result = float("inf"), None
    for _ in range(RUNS):
        if output.exists():
            output.unlink()
        os.sync()
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    if not shutil.which("mkfs.xfs") or not shutil.which("mount"):
        print("clone benchmark skipped: mkfs.xfs or mount is missing")
        return 0
    work = Path(tempfile.mkdtemp(prefix="clone-bench-", dir=BUILD))
    image, point = work / "xfs.img", work / "mnt"
    point.mkdir()
    with open(image, "wb") as f:
        f.truncate(3 * SIZE)
    subprocess.run(["mkfs.xfs", "-q", "-m", "reflink=1", str(image)], check=True)
    mounted = subprocess.run(["mount", "-o", "loop", str(image), str(point)], capture_output=True, text=True)
    if mounted.returncode != 0:
        print(f"clone benchmark skipped: cannot mount a loop device here: {mounted.stderr.strip()}")
        shutil.rmtree(work)
        return 0
    try:
        source, rng = point / "base.raw", random.Random(1)
        with open(source, "wb") as f:  # the mixed shape: 1 MiB zero and random chunks, zeros written out
            for i in range(SIZE // MiB):
                f.write(bytes(MiB) if i % 2 == 0 else rng.randbytes(MiB))
        os.sync()
        clone, theirs, sparse = point / "clone.raw", point / "cp.raw", work / "sparse.raw"
        t_clone, kind = best_time(lambda: ffi.clone_or_sparse_copy(str(source), str(clone)), clone)
        t_cp, _ = best_time(
            lambda: subprocess.run(["cp", "--reflink=always", str(source), str(theirs)], check=True), theirs
        )
        t_sparse, sparse_kind = best_time(lambda: ffi.clone_or_sparse_copy(str(source), str(sparse)), sparse)
        same = all(subprocess.run(["cmp", "-s", str(source), str(p)]).returncode == 0 for p in (clone, theirs, sparse))
        print(f"image of {SIZE // MiB} MiB on XFS (loop device), best of {RUNS} runs")
        print(f"  clone_or_sparse_copy ({kind})            {t_clone * 1000:8.2f} ms")
        print(f"  cp --reflink=always                      {t_cp * 1000:8.2f} ms   ours/cp     {t_clone / t_cp:6.3f}")
        print(
            f"  clone_or_sparse_copy to ext4 ({sparse_kind})   {t_sparse * 1000:8.2f} ms   "
            f"clone/sparse {t_clone / t_sparse:6.4f}"
        )
        print(f"  contents identical: {same}")
        return 0 if same and kind == "reflink" and sparse_kind == "sparse" else 1
    finally:
        subprocess.run(["umount", str(point)], check=False)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
