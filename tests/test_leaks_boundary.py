"""No reference or descriptor leaks at the boundary: binding errors, every
conversion's failures and successes, the networking refusals, the probes, the
constructor and panics raised from Python code inside a conversion."""

import math
import os
import subprocess

import pytest

import corvane_core._ffi as ffi
from leak_check import HAS_TOTAL_REFCOUNT, Raises, Returns, assert_no_leak
from tool_env import tool_environment

PLATFORM = "Not available on this platform"
RANGE = "out of range integral type conversion attempted"
REFUSED = Raises(OSError, PLATFORM)


def _panic_type():
    try:
        ffi.firecracker_request("/nonexistent", "GET", "/", None, math.inf)
    except BaseException as error:  # noqa: BLE001
        return type(error)
    raise AssertionError("an infinite timeout did not panic")


PanicException = _panic_type()


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisesInIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error()


class CausedTypeError:
    def __index__(self):
        raise TypeError("bad index") from KeyError("inner")


class MyTypeError(TypeError):
    pass


class FloatLike:
    def __float__(self):
        return 2.5


class FailingFloat:
    def __float__(self):
        raise ValueError("no float")


def numpy_like_bool(truth=None, raises=None):
    namespace = {"__module__": "numpy"}
    if truth is not None:
        namespace["__bool__"] = lambda self: truth
    if raises is not None:
        def fail(self):
            raise raises("no truth")
        namespace["__bool__"] = fail
    return type("bool_", (), namespace)()


NUMPY_TRUE = numpy_like_bool(truth=True)
NUMPY_NO_BOOL = numpy_like_bool()
NUMPY_FAILING = numpy_like_bool(raises=ValueError)


class FailingSequence:
    """A sequence whose iteration fails after the size hint also failed."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, index):
        raise KeyError("no items")


CASES = [
    # binding: module functions, a method, the constructor (keyword dictionary)
    ("too many", lambda: ffi.delete_tap("a", "b"),
     Raises(TypeError, "delete_tap() takes 1 positional arguments but 2 were given")),
    ("too many, optional", lambda: ffi.prepare_tap(1, 2, 3, 4, 5, 6),
     Raises(TypeError, "prepare_tap() takes from 4 to 5 positional arguments but 6 were given")),
    ("unknown keyword", lambda: ffi.create_tap("a", 1, x=1),
     Raises(TypeError, "create_tap() got an unexpected keyword argument 'x'")),
    ("keyword not UTF-8", lambda: ffi.create_tap("a", 1, **{"\udc80": 1}),
     Raises(TypeError, "create_tap() got an unexpected keyword argument '\udc80'")),
    ("duplicate", lambda: ffi.create_tap("a", _name="b"),
     Raises(TypeError, "create_tap() got multiple values for argument '_name'")),
    ("missing three", lambda: ffi.add_addr(),
     Raises(TypeError, "add_addr() missing 3 required positional arguments: '_name', '_ip', and '_prefix_len'")),
    ("method missing", lambda: ffi._QmpClient("/p").connect(1.0),
     Raises(TypeError, "_QmpClient.connect() missing 1 required positional argument: 'read_timeout'")),
    ("constructor keyword", lambda: ffi._QmpClient("/p", other=1), Raises(TypeError)),
    ("constructor missing", lambda: ffi._QmpClient(), Raises(TypeError)),
    ("no-arguments function", lambda: ffi.has_native_qmp(1), Raises(TypeError)),
    # str and optional str
    ("str from int", lambda: ffi.create_tap(1, 0),
     Raises(TypeError, "argument '_name': 'int' object is not an instance of 'str'")),
    ("str from None", lambda: ffi.create_tap(None, 0),
     Raises(TypeError, "argument '_name': 'None' is not an instance of 'str'")),
    ("lone surrogate", lambda: ffi.create_tap("tap\ud800", 0), Raises(UnicodeEncodeError)),
    ("optional str from int", lambda: ffi.firecracker_request("/p", "GET", "/", 5, 1.0),
     Raises(TypeError, "argument 'body_json': 'int' object is not an instance of 'str'")),
    # u8, u32
    ("u8 above", lambda: ffi.add_addr("t", "i", 256), Raises(OverflowError, RANGE)),
    ("u8 below", lambda: ffi.add_addr("t", "i", -1), Raises(OverflowError, RANGE)),
    ("u8 from float", lambda: ffi.add_addr("t", "i", 1.5),
     Raises(TypeError, "argument '_prefix_len': 'float' object cannot be interpreted as an integer")),
    ("u8 index error with cause", lambda: ffi.add_addr("t", "i", CausedTypeError()),
     Raises(TypeError, "argument '_prefix_len': bad index")),
    ("u8 TypeError subclass", lambda: ffi.add_addr("t", "i", RaisesInIndex(MyTypeError)), Raises(MyTypeError)),
    ("u32 above", lambda: ffi.create_tap("t", 4294967296), Raises(OverflowError, RANGE)),
    ("u32 beyond long", lambda: ffi.create_tap("t", 2**64),
     Raises(OverflowError, "Python int too large to convert to C long")),
    # usize
    ("usize negative", lambda: ffi.decompress_zstd_sparse("a", "b", -1), Raises(OverflowError)),
    ("usize from None", lambda: ffi.decompress_zstd_sparse("a", "b", None), Raises(TypeError)),
    ("usize index negative", lambda: ffi.decompress_zstd_sparse("a", "b", Index(-1)), Raises(OverflowError)),
    ("usize index fails", lambda: ffi.decompress_zstd_sparse("a", "b", RaisesInIndex(ValueError)), Raises(ValueError)),
    # f64
    ("f64 from str", lambda: ffi.firecracker_request("/p", "GET", "/", None, "1"), Raises(TypeError)),
    ("f64 __float__ fails", lambda: ffi.firecracker_request("/p", "GET", "/", None, FailingFloat()),
     Raises(ValueError, "no float")),
    # bool
    ("bool from int", lambda: ffi.prepare_tap("t", 0, "h", 24, 1),
     Raises(TypeError, "argument '_route_localnet': 'int' object is not an instance of 'bool'")),
    ("numpy bool without __bool__", lambda: ffi.prepare_tap("t", 0, "h", 24, NUMPY_NO_BOOL), Raises(TypeError)),
    ("numpy bool fails", lambda: ffi.prepare_tap("t", 0, "h", 24, NUMPY_FAILING), Raises(ValueError, "no truth")),
    # str list (the method runs nothing: the conversion fails first)
    ("str list from str", lambda: ffi._QmpClient("/p").snapshot_delete("j", "t", "abc"),
     Raises(TypeError, "argument 'devices': Can't extract `str` to `Vec`")),
    ("str list from int", lambda: ffi._QmpClient("/p").snapshot_delete("j", "t", 5),
     Raises(TypeError, "argument 'devices': 'int' object is not an instance of 'Sequence'")),
    ("str list item", lambda: ffi._QmpClient("/p").snapshot_delete("j", "t", ("a", 1)),
     Raises(TypeError, "argument 'devices': 'int' object is not an instance of 'str'")),
    ("str list iteration fails", lambda: ffi._QmpClient("/p").snapshot_delete("j", "t", FailingSequence()),
     Raises(KeyError)),
    # a PanicException raised by Python code inside a conversion resumes the panic
    ("panic from __index__", lambda: ffi.add_addr("t", "i", RaisesInIndex(lambda: PanicException("from Python"))),
     Raises(PanicException)),
    # successful conversions reach the refusal
    ("create_tap", lambda: ffi.create_tap("tap0", 1000), REFUSED),
    ("delete_tap", lambda: ffi.delete_tap("tap0"), REFUSED),
    ("set_link_up", lambda: ffi.set_link_up("tap0"), REFUSED),
    ("flush_addrs", lambda: ffi.flush_addrs("tap0"), REFUSED),
    ("add_addr", lambda: ffi.add_addr("tap0", "10.0.0.1", Index(24)), REFUSED),
    ("configure_tap", lambda: ffi.configure_tap("tap0", "10.0.0.1", 24), REFUSED),
    ("prepare_tap default", lambda: ffi.prepare_tap("tap0", 1000, "10.0.0.1", 24), REFUSED),
    ("prepare_tap keywords, numpy bool",
     lambda: ffi.prepare_tap(_prefix_len=24, _host_ip="h", _owner_uid=0, _name="t", _route_localnet=NUMPY_TRUE),
     REFUSED),
    ("add_route", lambda: ffi.add_route("10.0.0.0", True, "tap0"), REFUSED),
    ("get_default_interface", lambda: ffi.get_default_interface(), REFUSED),
    ("write_sysctl", lambda: ffi.write_sysctl("net.ipv4.ip_forward", "é 漢字 🙂"), REFUSED),
    # probes and the constructor with its deallocation
    ("has_native_qmp", ffi.has_native_qmp, Returns(True)),
    ("has_native_disk_io", ffi.has_native_disk_io, Returns(True)),
    ("has_native_firecracker_api", ffi.has_native_firecracker_api, Returns(True)),
    ("has_native_networking", ffi.has_native_networking, Returns(False)),
    ("constructor", lambda: type(ffi._QmpClient(socket_path="/p")).__name__, Returns("_QmpClient")),
]


@pytest.mark.parametrize("call, outcome", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_boundary_paths_do_not_leak(call, outcome):
    assert_no_leak(call, outcome)


@pytest.mark.skipif(not HAS_TOTAL_REFCOUNT, reason="needs a debug interpreter")
def test_module_counts_its_references_on_a_debug_interpreter():
    # A module built with the release headers runs on a debug interpreter, but
    # its own reference changes escape the total count, which then grows by
    # one for every object it releases: every leak check would be wrong.
    listing = subprocess.run(["nm", "-D", "--undefined-only", ffi.__file__], capture_output=True, text=True,
                             check=True, env=tool_environment()).stdout
    assert "_Py_DECREF_DecRefTotal" in listing and "_Py_INCREF_IncRefTotal" in listing



# The check itself: a call that keeps one descriptor or one object per run fails it.
KEPT = []


@pytest.mark.parametrize(
    "leaky, found",
    [
        (lambda: KEPT.append(os.dup(0)), "more open descriptors"),
        pytest.param(lambda: KEPT.append(object()), "more references",
                     marks=pytest.mark.skipif(not HAS_TOTAL_REFCOUNT, reason="needs a debug interpreter")),
    ],
    ids=["descriptor", "reference"],
)
def test_the_check_finds_a_leak_of_one_per_call(leaky, found):
    try:
        with pytest.raises(AssertionError, match=found):
            assert_no_leak(leaky, Returns(None))
    finally:
        for kept in KEPT:
            if isinstance(kept, int):
                os.close(kept)
        KEPT.clear()
