"""How the disk helpers appear to Python and bind their arguments."""

from compression import zstd

import pytest

import corvane_core._ffi as ffi


def test_registered_after_the_networking_functions():
    at = ffi.__all__.index("write_sysctl")
    assert ffi.__all__[at + 1 : at + 3] == ["clone_or_sparse_copy", "decompress_zstd_sparse"]
    assert ffi.clone_or_sparse_copy.__self__ is ffi


@pytest.mark.parametrize(
    "function, signature",
    [
        (ffi.clone_or_sparse_copy, "(source, target)"),
        (ffi.decompress_zstd_sparse, "(source, target, chunk_size=1048576)"),
    ],
)
def test_text_signatures_and_no_docstring_body(function, signature):
    assert function.__text_signature__ == signature
    assert not function.__doc__


def test_keywords_bind_and_chunk_size_defaults(tmp_path):
    (tmp_path / "in.zst").write_bytes(zstd.compress(b"x" * 3_000_000))
    result = ffi.decompress_zstd_sparse(target=str(tmp_path / "out"), source=str(tmp_path / "in.zst"))
    assert type(result) is str and result == "sparse"
    assert (tmp_path / "out").read_bytes() == b"x" * 3_000_000
    assert ffi.clone_or_sparse_copy(target=str(tmp_path / "copy"), source=str(tmp_path / "out")) == "sparse"


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda d: ffi.clone_or_sparse_copy(1, str(d / "t")), TypeError,
         "argument 'source': 'int' object is not an instance of 'str'"),
        (lambda d: ffi.clone_or_sparse_copy(str(d / "missing"), b"t"), TypeError,
         "argument 'target': 'bytes' object is not an instance of 'str'"),
        (lambda d: ffi.decompress_zstd_sparse(str(d / "missing"), None), TypeError,
         "argument 'target': 'None' is not an instance of 'str'"),
        (lambda d: ffi.decompress_zstd_sparse(str(d / "missing"), str(d / "new" / "t"), 1.5), TypeError,
         "argument 'chunk_size': 'float' object cannot be interpreted as an integer"),
        (lambda d: ffi.clone_or_sparse_copy(str(d / "missing")), TypeError,
         "clone_or_sparse_copy() missing 1 required positional argument: 'target'"),
        (lambda d: ffi.decompress_zstd_sparse("a", "b", 1, 2), TypeError,
         "decompress_zstd_sparse() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda d: ffi.clone_or_sparse_copy("\udc80", str(d / "new" / "t")), UnicodeEncodeError, None),
    ],
)
def test_argument_errors_come_before_any_file_is_touched(tmp_path, call, error, text):
    with pytest.raises(error) as caught:
        call(tmp_path)
    assert type(caught.value) is error
    if text is not None:
        assert str(caught.value) == text
    assert list(tmp_path.iterdir()) == []
