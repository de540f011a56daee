"""Argument conversion: what each conversion accepts, what it refuses and with which text.

The networking entry points convert every argument and then refuse with the
platform error, so reaching that error proves the conversions accepted."""

import pytest

import corvane_core._ffi as ffi

PLATFORM = "Not available on this platform"
RANGE = "out of range integral type conversion attempted"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Text(str):
    pass


def numpy_like_bool(name="bool_", module="numpy", truth=None, raises=None):
    """A type that looks like numpy's bool scalar by its module and name."""
    namespace = {"__module__": module}
    if truth is not None:
        namespace["__bool__"] = lambda self: truth
    if raises is not None:
        def fail(self):
            raise raises
        namespace["__bool__"] = fail
    return type(name, (), namespace)()


def refuses_with_platform_error(call):
    with pytest.raises(OSError) as info:
        call()
    assert info.value.args == (PLATFORM,)
    assert info.value.errno is None and info.value.strerror is None and info.value.filename is None


@pytest.mark.parametrize(
    "name",
    ["tap0", "", Text("tap0"), "nul\0inside", "é ü 漢字 🙂"],
    ids=["plain", "empty", "subclass", "nul", "non-ascii"],
)
def test_str_accepted(name):
    refuses_with_platform_error(lambda: ffi.create_tap(name, 0))


@pytest.mark.parametrize(
    "prefix_len",
    [0, 255, True, False, Index(7), Index(255)],
    ids=["zero", "max", "true", "false", "index", "index-max"],
)
def test_u8_accepted(prefix_len):
    refuses_with_platform_error(lambda: ffi.add_addr("tap0", "10.0.0.1", prefix_len))


@pytest.mark.parametrize("uid", [0, 1000, 4294967295, Index(5)])
def test_u32_accepted(uid):
    refuses_with_platform_error(lambda: ffi.create_tap("tap0", uid))


@pytest.mark.parametrize(
    "flag",
    [True, False, numpy_like_bool(truth=True), numpy_like_bool(truth=False), numpy_like_bool("bool", truth=True)],
    ids=["true", "false", "numpy-true", "numpy-false", "numpy2-bool"],
)
def test_bool_accepted(flag):
    refuses_with_platform_error(lambda: ffi.prepare_tap("t", 0, "h", 24, flag))


@pytest.mark.parametrize(
    "call, exception, message",
    [
        # str
        (lambda: ffi.create_tap(1, 0), TypeError, "argument '_name': 'int' object is not an instance of 'str'"),
        (lambda: ffi.create_tap(None, 0), TypeError, "argument '_name': 'None' is not an instance of 'str'"),
        (lambda: ffi.create_tap(b"tap0", 0), TypeError, "argument '_name': 'bytes' object is not an instance of 'str'"),
        (lambda: ffi.add_route("d", 1, 5), TypeError, "argument '_dev': 'int' object is not an instance of 'str'"),
        (lambda: ffi.write_sysctl("k", Index(1)), TypeError, "argument '_value': 'Index' object is not an instance of 'str'"),
        # u8 / u32 range
        (lambda: ffi.add_addr("t", "i", 256), OverflowError, RANGE),
        (lambda: ffi.add_addr("t", "i", -1), OverflowError, RANGE),
        (lambda: ffi.add_route("d", Index(300), "e"), OverflowError, RANGE),
        (lambda: ffi.create_tap("t", -1), OverflowError, RANGE),
        (lambda: ffi.create_tap("t", 4294967296), OverflowError, RANGE),
        (lambda: ffi.create_tap("t", 2**64), OverflowError, "Python int too large to convert to C long"),
        # integers from other types
        (lambda: ffi.add_addr("t", "i", 1.5), TypeError, "argument '_prefix_len': 'float' object cannot be interpreted as an integer"),
        (lambda: ffi.add_addr("t", "i", "5"), TypeError, "argument '_prefix_len': 'str' object cannot be interpreted as an integer"),
        (lambda: ffi.create_tap("t", None), TypeError, "argument '_owner_uid': 'NoneType' object cannot be interpreted as an integer"),
        # bool
        (lambda: ffi.prepare_tap("t", 0, "h", 24, 1), TypeError, "argument '_route_localnet': 'int' object is not an instance of 'bool'"),
        (lambda: ffi.prepare_tap("t", 0, "h", 24, 0), TypeError, "argument '_route_localnet': 'int' object is not an instance of 'bool'"),
        (lambda: ffi.prepare_tap("t", 0, "h", 24, None), TypeError, "argument '_route_localnet': 'None' is not an instance of 'bool'"),
        (lambda: ffi.prepare_tap("t", 0, "h", 24, numpy_like_bool(module="notnumpy", truth=True)), TypeError,
         "argument '_route_localnet': 'bool_' object is not an instance of 'bool'"),
        (lambda: ffi.prepare_tap("t", 0, "h", 24, numpy_like_bool()), TypeError,
         "argument '_route_localnet': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
        (lambda: ffi.prepare_tap("t", 0, "h", 24, numpy_like_bool(raises=ValueError("no truth"))), ValueError, "no truth"),
    ],
)
def test_conversion_errors(call, exception, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exception
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_lone_surrogate_raises_unicode_error_without_parameter_name():
    with pytest.raises(UnicodeEncodeError) as info:
        ffi.create_tap("tap\ud800", 0)
    assert "argument" not in str(info.value)
    assert "surrogates not allowed" in str(info.value)


def test_conversions_run_in_parameter_order_and_stop_at_the_first_failure():
    calls = []

    class Loud:
        def __index__(self):
            calls.append("index")
            return 1

    with pytest.raises(TypeError, match="argument '_name'"):
        ffi.create_tap(5, Loud())
    assert calls == []
    with pytest.raises(TypeError, match="argument '_dev'"):
        ffi.add_route("d", Loud(), 5)
    assert calls == ["index"]


def test_type_error_from_python_code_is_renamed_but_keeps_its_cause():
    cause = KeyError("inner")

    class Bad:
        def __index__(self):
            raise TypeError("bad index") from cause

    with pytest.raises(TypeError) as info:
        ffi.add_addr("t", "i", Bad())
    assert str(info.value) == "argument '_prefix_len': bad index"
    assert info.value.__cause__ is cause


def test_type_error_subclass_is_not_renamed():
    class MyTypeError(TypeError):
        pass

    class Bad:
        def __index__(self):
            raise MyTypeError("mine")

    with pytest.raises(MyTypeError) as info:
        ffi.add_addr("t", "i", Bad())
    assert str(info.value) == "mine"
