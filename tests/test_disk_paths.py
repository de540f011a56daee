"""Paths and metadata of the disk helpers: parents, file names, modes, replacement."""

import os
import stat
import threading
from compression import zstd

import pytest

import corvane_core._ffi as ffi
from disk_files import MiB, entries


@pytest.fixture
def umask():
    """Sets the process umask for one test and restores it afterwards."""
    saved = os.umask(0o022)
    yield lambda mask: os.umask(mask)
    os.umask(saved)


@pytest.fixture
def sources(tmp_path):
    (tmp_path / "raw").write_bytes(b"image" + bytes(MiB))
    (tmp_path / "raw.zst").write_bytes(zstd.compress(b"image" + bytes(MiB)))
    return tmp_path


def copy(src, dst):
    return ffi.clone_or_sparse_copy(str(src), str(dst))


def decompress(src, dst):
    return ffi.decompress_zstd_sparse(str(src), str(dst))


# Each operation with the source it reads.
OPERATIONS = [pytest.param(copy, "raw", id="copy"), pytest.param(decompress, "raw.zst", id="decompress")]


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


@pytest.mark.parametrize("mask", [0o022, 0o077, 0o002])
@pytest.mark.parametrize("op, source", OPERATIONS)
def test_missing_parents_are_made_with_the_umask(sources, umask, op, source, mask):
    umask(mask)
    target = sources / "images" / "new" / "disk.raw"
    assert op(sources / source, target) == "sparse"
    assert target.read_bytes() == b"image" + bytes(MiB)
    assert mode(sources / "images") == mode(sources / "images" / "new") == 0o777 & ~mask


@pytest.mark.parametrize("op, source", OPERATIONS)
@pytest.mark.parametrize("target", ["disk.raw", "./disk.raw", "sub//disk.raw", "sub/./disk.raw", "sub/x/../disk.raw"])
def test_relative_targets_resolve_in_the_current_directory(sources, monkeypatch, op, source, target):
    monkeypatch.chdir(sources)
    op(sources / source, target)
    assert (sources / os.path.normpath(target)).read_bytes() == b"image" + bytes(MiB)
    assert list(sources.rglob("*.tmp*")) == []


@pytest.mark.parametrize("op, source", OPERATIONS)
@pytest.mark.parametrize(
    "target, made",
    [("/", None), (".", None), ("", None), ("images/..", "images"), ("a/b/..", "a/b"), ("/tmp/..", None)],
)
def test_a_target_without_a_file_name_is_refused_after_its_parent_is_made(
    sources, monkeypatch, op, source, target, made
):
    monkeypatch.chdir(sources)
    before = entries(sources)
    with pytest.raises(OSError) as caught:
        op(sources / source, target)
    assert caught.value.args == (f"target path has no filename: {target}",)
    assert caught.value.errno is None and caught.value.filename is None
    expected = sorted(set(before) | ({made.split("/")[0]} if made else set()))
    assert entries(sources) == expected
    if made:
        assert (sources / made).is_dir()


NUL_CASES = [
    ("source", "raw\0x", "out"),
    ("target directory", "{source}", "dir\0x/out"),
    ("target name", "{source}", "out\0x"),
]


@pytest.mark.parametrize("op, source", OPERATIONS)
@pytest.mark.parametrize("case, src, dst", NUL_CASES, ids=[c[0] for c in NUL_CASES])
def test_nul_bytes_in_paths_are_refused_without_a_call(sources, monkeypatch, op, source, case, src, dst):
    monkeypatch.chdir(sources)
    before = entries(sources)
    with pytest.raises(OSError) as caught:
        op(src.format(source=source), dst)
    assert caught.value.args == ("file name contained an unexpected NUL byte",)
    assert entries(sources) == before


@pytest.mark.parametrize("source_mode", [0o640, 0o600, 0o4755, 0o2711, 0o1777, 0o000])
def test_copy_takes_the_source_mode_whatever_the_umask(tmp_path, umask, source_mode):
    umask(0o077)
    (tmp_path / "src").write_bytes(b"x" * 100)
    os.chmod(tmp_path / "src", source_mode)
    copy(tmp_path / "src", tmp_path / "dst")
    assert mode(tmp_path / "dst") == source_mode
    assert (tmp_path / "dst").read_bytes() == b"x" * 100


@pytest.mark.parametrize("mask", [0o022, 0o077, 0o000])
def test_decompression_gives_0666_less_the_umask_whatever_the_source_mode(sources, umask, mask):
    os.chmod(sources / "raw.zst", 0o4700)
    umask(mask)
    decompress(sources / "raw.zst", sources / "out")
    assert mode(sources / "out") == 0o666 & ~mask


def test_a_symbolic_link_source_copies_the_file_it_points_to(sources):
    os.chmod(sources / "raw", 0o640)
    os.symlink(sources / "raw", sources / "link")
    copy(sources / "link", sources / "dst")
    assert not os.path.islink(sources / "dst")
    assert mode(sources / "dst") == 0o640
    assert (sources / "dst").read_bytes() == (sources / "raw").read_bytes()


@pytest.mark.parametrize("kind", ["directory", "fifo", "device"])
def test_a_source_that_is_no_regular_file_is_refused_before_any_directory_is_made(tmp_path, kind):
    source = {"directory": str(tmp_path), "fifo": str(tmp_path / "fifo"), "device": "/dev/null"}[kind]
    if kind == "fifo":
        os.mkfifo(source)
    with pytest.raises(OSError) as caught:
        copy(source, tmp_path / "new" / "dst")
    assert caught.value.args == (f"source is not a regular file: {source}",)
    assert not (tmp_path / "new").exists()


@pytest.mark.parametrize("op, source", OPERATIONS)
def test_an_existing_target_is_replaced(sources, op, source):
    target = sources / "disk.raw"
    target.write_bytes(b"old content, longer than the new one" * 100000)
    old_inode = os.stat(target).st_ino
    op(sources / source, target)
    assert target.read_bytes() == b"image" + bytes(MiB)
    assert os.stat(target).st_ino != old_inode


@pytest.mark.parametrize("op, source", OPERATIONS)
@pytest.mark.parametrize("filled", [False, True], ids=["empty dir", "non-empty dir"])
def test_a_target_that_is_a_directory_stays(sources, op, source, filled):
    (sources / "disk.raw").mkdir()
    if filled:
        (sources / "disk.raw" / "keep").write_text("keep")
    before = entries(sources)
    with pytest.raises(OSError) as caught:
        op(sources / source, sources / "disk.raw")
    assert caught.value.args == ("Is a directory (os error 21)",)
    assert entries(sources) == before
    assert entries(sources / "disk.raw") == (["keep"] if filled else [])


def test_concurrent_copies_to_one_target_never_share_a_temporary_file(tmp_path):
    contents = [bytes([i + 1]) * (4 * MiB) for i in range(4)]
    for i, content in enumerate(contents):
        (tmp_path / f"src{i}").write_bytes(content)
    results, errors = [], []

    def run(i):
        try:
            results.append(copy(tmp_path / f"src{i}", tmp_path / "dst"))
        except OSError as error:
            errors.append(error)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and results == ["sparse"] * 4
    assert (tmp_path / "dst").read_bytes() in contents
    assert entries(tmp_path) == sorted(["dst"] + [f"src{i}" for i in range(4)])


@pytest.mark.parametrize("op, source", OPERATIONS)
@pytest.mark.parametrize(
    "target, text",
    [("file/disk.raw", "File exists (os error 17)"), ("file/sub/disk.raw", "Not a directory (os error 20)")],
)
def test_a_parent_that_is_a_file_is_reported(sources, op, source, target, text):
    (sources / "file").write_text("not a directory")
    before = entries(sources)
    with pytest.raises(OSError) as caught:
        op(sources / source, sources / target)
    assert caught.value.args == (text,)
    assert entries(sources) == before and (sources / "file").read_text() == "not a directory"


def test_the_copy_in_progress_is_private_until_it_takes_the_source_mode(tmp_path, umask):
    # The interpreter lock is released during the copy, so a thread can watch
    # the directory: the temporary file must never be readable by others,
    # whatever the umask, even though the finished copy is 0644.
    umask(0o000)
    (tmp_path / "src").write_bytes(os.urandom(MiB) * 128)
    os.chmod(tmp_path / "src", 0o644)
    seen, done = set(), threading.Event()

    def watch():
        while not done.is_set():
            for entry in os.scandir(tmp_path):
                if entry.name.startswith("dst.tmp-"):
                    try:
                        seen.add((entry.name, stat.S_IMODE(entry.stat().st_mode)))
                    except FileNotFoundError:
                        pass

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        copy(tmp_path / "src", tmp_path / "dst")
    finally:
        done.set()
        watcher.join()
    assert seen, "the temporary file was never seen"
    pid = os.getpid()
    for name, seen_mode in seen:
        assert name.startswith(f"dst.tmp-{pid}-") and name[len(f"dst.tmp-{pid}-") :].isdigit()
        assert seen_mode in (0o600, 0o644)  # 0644 only in the moment between chmod and rename
    assert mode(tmp_path / "dst") == 0o644
