"""The module's surface: the stub file against the live module, argument binding and conversion, PanicException, import."""

import ast
import errno
import pathlib
import weakref

import pytest
from peers import LINUX_FORM, run_python

import corvane_core._ffi as ffi
from corvane_core._ffi import _QmpClient

STUB, RANGE = pathlib.Path(ffi.__file__).with_name("_ffi.pyi"), "out of range integral type conversion attempted"


def signature(arguments, first=None):
    names = [a.arg for a in arguments.args][first is not None :]
    values = [None] * (len(names) - len(arguments.defaults)) + [ast.literal_eval(d) for d in arguments.defaults]
    return (
        "(" + ", ".join([first] * bool(first) + [n if v is None else f"{n}={v!r}" for n, v in zip(names, values)]) + ")"
    )


def test_what_stubtest_cannot_check():
    """./dev lint runs mypy's stubtest (names, kinds, parameters, defaults, @final); this checks the rest."""
    tree = ast.parse(STUB.read_text())
    functions = [node for node in tree.body if isinstance(node, ast.FunctionDef)]
    [cls] = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    [exported] = [ast.literal_eval(node.value) for node in tree.body if isinstance(node, ast.Assign)]
    assert (ffi.__name__, ffi.__doc__, ffi.__all__) == ("corvane_core._ffi", ast.get_docstring(tree), exported)
    for f in functions:
        live = getattr(ffi, f.name)
        assert (live.__qualname__, live.__module__, live.__self__) == (f.name, ffi.__name__, ffi)
        assert (live.__text_signature__, live.__doc__ or None) == (signature(f.args), ast.get_docstring(f)), f.name
        if not f.args.args:
            with pytest.raises(TypeError, match=rf"^corvane_core\._ffi\.{f.name}\(\) takes no arguments \(1 given\)$"):
                live(1)
    new, *methods = [node for node in cls.body if isinstance(node, ast.FunctionDef)]
    assert (new.name, _QmpClient.__text_signature__) == ("__new__", signature(new.args, first=""))
    for m in methods:
        method = getattr(_QmpClient, m.name)
        assert (method.__text_signature__, method.__doc__) == (signature(m.args, "$self"), None), m.name
    assert (_QmpClient.__module__, _QmpClient.__doc__, _QmpClient.__bases__) == ("builtins", None, (object,))
    with pytest.raises(TypeError, match="not an acceptable base type"):  # stubtest checks @final one way only
        type("Sub", (_QmpClient,), {})
    with pytest.raises(AttributeError):  # no instance dictionary, no weak references
        _QmpClient("/x").extra = 1
    with pytest.raises(TypeError):
        weakref.ref(_QmpClient("/x"))
    assert STUB.with_name("py.typed").exists()
    probes = [ffi.has_native_networking, ffi.has_native_qmp, ffi.has_native_disk_io, ffi.has_native_firecracker_api]
    assert [probe() for probe in probes] == [LINUX_FORM, True, True, True]


class Index:
    """__index__ (and __float__, __bool__) give the value, or raise it."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    __float__ = __bool__ = __index__


def fake_bool(*truth, module="numpy", name="bool_"):
    """An object that looks like numpy's bool scalar by its type's module and name."""
    return type(name, (Index,) if truth else (), {"__module__": module})(*truth)


def caused():
    error = TypeError("bad index")
    error.__cause__ = KeyError("inner")
    return error


try:
    _QmpClient("/none").connect(2.0**64, 1.0)
except BaseException as error:  # noqa: BLE001 - it derives from BaseException
    PanicException = type(error)
MINE, BOOL, DEVICES = type("MyTypeError", (TypeError,), {}), "argument '_route_localnet': ", "argument 'devices': "
# Accepted arguments reach the operation, which refuses them: without networking, the build; in the Linux form, the
# input check (the values are malformed on purpose, so the host's network is never touched).
PLATFORM, TAKES = (OSError, None if LINUX_FORM else "Not available on this platform"), "positional arguments but"
CALLS = [  # binding
    (lambda: ffi.delete_tap("a", "b", x=1), TypeError, f"delete_tap() takes 1 {TAKES} 2 were given"),
    (lambda: ffi.prepare_tap(*"123456"), TypeError, f"prepare_tap() takes from 4 to 5 {TAKES} 6 were given"),
    (lambda: ffi.create_tap(y=1, x=2), TypeError, "create_tap() got an unexpected keyword argument 'y'"),
    (lambda: ffi.create_tap("a", _name="a"), TypeError, "create_tap() got multiple values for argument '_name'"),
    (lambda: ffi.write_sysctl("k"), TypeError, "write_sysctl() missing 1 required positional argument: '_value'"),
    (
        lambda: ffi.add_addr(_ip="x"),
        TypeError,
        "add_addr() missing 2 required positional arguments: '_name' and '_prefix_len'",
    ),
    (
        lambda: ffi.prepare_tap("a", _route_localnet=True),
        TypeError,
        "prepare_tap() missing 3 required positional arguments: '_owner_uid', '_host_ip', and '_prefix_len'",
    ),
    (lambda: _QmpClient(), TypeError, "_QmpClient.__new__() missing 1 required positional argument: 'socket_path'"),
    (lambda: _QmpClient("/x").close(1), TypeError, "_QmpClient.close() takes no arguments (1 given)"),
    # conversions, in parameter order: the first failure stops them
    (
        lambda: ffi.add_route(1, Index(ValueError("not reached")), 5),
        TypeError,
        "argument '_dest': 'int' object is not an instance of 'str'",
    ),
    (lambda: ffi.create_tap("tap\ud800", 0), UnicodeEncodeError, None),
    (lambda: ffi.add_addr("t", "i", 256), OverflowError, RANGE),
    (lambda: ffi.create_tap("t", 4294967296), OverflowError, RANGE),
    (lambda: ffi.add_addr("t", "i", -1), OverflowError, RANGE),
    (lambda: ffi.create_tap("t", 2**64), OverflowError, "Python int too large to convert to C long"),
    (
        lambda: ffi.add_addr("t", "i", 1.5),
        TypeError,
        "argument '_prefix_len': 'float' object cannot be interpreted as an integer",
    ),
    (lambda: ffi.decompress_zstd_sparse("a", "b", Index(-1)), OverflowError, None),
    (lambda: ffi.add_addr("t", "i", Index(caused())), TypeError, "argument '_prefix_len': bad index"),
    (lambda: ffi.add_addr("t", "i", Index(MINE("mine"))), MINE, "mine"),  # a TypeError's subclass is not renamed
    (
        lambda: ffi.firecracker_request("/x", "GET", "/", None, "1"),
        TypeError,
        "argument 'timeout': must be real number, not str",
    ),
    (lambda: ffi.firecracker_wait_for_socket("/x", Index(ValueError("f"))), ValueError, "f"),
    (lambda: ffi.prepare_tap("t", 0, "h", 24, 1), TypeError, BOOL + "'int' object is not an instance of 'bool'"),
    (
        lambda: ffi.prepare_tap("t", 0, "h", 24, fake_bool(True, module="np")),
        TypeError,
        BOOL + "'bool_' object is not an instance of 'bool'",
    ),
    (
        lambda: ffi.prepare_tap("t", 0, "h", 24, fake_bool()),
        TypeError,
        BOOL + "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion",
    ),
    (lambda: ffi.prepare_tap("t", 0, "h", 24, fake_bool(ValueError("no truth"))), ValueError, "no truth"),
    (lambda: _QmpClient("/x").snapshot_save("j", "t", "v", "vda"), TypeError, DEVICES + "Can't extract `str` to `Vec`"),
    (
        lambda: _QmpClient("/x").snapshot_load("j", "t", "v", 5),
        TypeError,
        DEVICES + "'int' object is not an instance of 'Sequence'",
    ),
    (
        lambda: _QmpClient("/x").snapshot_delete("j", "t", ("vda", 1)),
        TypeError,
        DEVICES + "'int' object is not an instance of 'str'",
    ),
    (  # the length is only a hint; what the sequence raises is passed on
        lambda: _QmpClient("/x").snapshot_delete(
            "j", "t", type("S", (), {"__len__": lambda s: 2**62, "__getitem__": lambda s, i: {}[i] if i else "vda"})()
        ),
        KeyError,
        None,
    ),
    # accepted, then refused
    (lambda: ffi.create_tap(_owner_uid=Index(4294967295), _name=type("Text", (str,), {})("")), *PLATFORM),
    (lambda: ffi.delete_tap("nul\0 é 漢字 🙂"), *PLATFORM),
    (lambda: ffi.add_addr("tap0", "10.0.0.256", True), *PLATFORM),
    (lambda: ffi.configure_tap("tap0", "10.0.0.1", Index(255)), *PLATFORM),
    (lambda: ffi.prepare_tap("t", 0, "h", 24, fake_bool(True)), *PLATFORM),
    (lambda: ffi.prepare_tap("t", 0, "h", 24, fake_bool(False, name="bool")), *PLATFORM),
    (lambda: ffi.add_route(_dest="10.0.0.1", _prefix_len=8, _dev="eth0"), *PLATFORM),
] + [(lambda: ffi.get_default_interface(), *PLATFORM)] * (not LINUX_FORM)


@pytest.mark.leakcheck
@pytest.mark.parametrize("call, kind, text", CALLS)
def test_argument_binding_and_conversion(call, kind, text):
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value) is kind and (text is None or caught.value.args == (text,))
    assert kind is not UnicodeEncodeError or "argument" not in str(caught.value)
    if kind is OSError:
        assert caught.value.errno == (errno.EINVAL if LINUX_FORM else None) and caught.value.filename is None


def test_a_renamed_type_error_keeps_its_cause_and_a_resumed_panic_is_reported(capfd):
    with pytest.raises(TypeError) as caught:
        ffi.add_addr("t", "i", Index(caused()))
    assert type(caught.value.__cause__) is KeyError
    with pytest.raises(PanicException) as caught:
        ffi.add_addr("t", "i", Index(original := PanicException("raised inside __index__")))
    assert caught.value is not original and caught.value.args == original.args
    assert "resuming the panic" in capfd.readouterr().err
    assert (PanicException.__name__, PanicException.__module__, PanicException.__bases__) == (
        "PanicException",
        "corvane_core._ffi",
        (BaseException,),
    ) and "panics" in PanicException.__doc__


def test_an_instance_that_its_constructor_did_not_build_is_refused():
    child = run_python("""
import os
from corvane_core._ffi import _QmpClient
os.dup2(os.open(os.devnull, os.O_RDWR), 0)  # a zero-filled client would take standard input for its socket
_QmpClient.__new__ = lambda cls: object.__new__(cls)
client = _QmpClient()
for call in [lambda: client.execute("x", None), client.close, lambda: client.connect(1.0, 1.0)]:
    try:
        call()
    except TypeError as error:
        print(error)
del client
print(os.get_inheritable(0))  # standard input is still open
""")
    assert child.stdout.splitlines() == ["_QmpClient object was not initialised by its constructor"] * 3 + ["True"], (
        child.stderr
    )


def test_initialisation_failures():
    second = run_python("""
import importlib.util, json, corvane_core._ffi as first
module = importlib.util.module_from_spec(spec := importlib.util.find_spec("corvane_core._ffi"))
try:
    spec.loader.exec_module(module)
except BaseException as error:
    print(json.dumps([type(error).__name__, *error.args, [n for n in vars(module) if n[0] != "_"], first.has_native_qmp()]))
""").stdout.strip()
    assert second == '["PanicException", "called `Result::unwrap()` on an `Err` value: SetLoggerError(())", [], true]'
    without_logging = run_python("""
sys.modules["logging"] = None
try:
    import corvane_core._ffi
except BaseException as error:
    print(type(error).__name__, error)
""").stdout
    assert without_logging.startswith("PanicException Failed to initialize python logging: ")
    assert "ModuleNotFoundError" in without_logging and "import of logging halted" in without_logging
