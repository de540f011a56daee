"""The module's surface: the stub file against the live module, argument binding and
conversion, the platform refusals, PanicException and initialisation."""

import ast
import os
import pathlib
import subprocess
import sys
import weakref

import pytest

import corvane_core._ffi as ffi
from corvane_core._ffi import _QmpClient
from peers import run_python, tool_env

STUB = pathlib.Path(ffi.__file__).with_name("_ffi.pyi")
PLATFORM, RANGE = "Not available on this platform", "out of range integral type conversion attempted"

def panic_type():
    try:
        _QmpClient("/none").connect(2.0**64, 1.0)
    except BaseException as error:  # noqa: BLE001 - it derives from BaseException
        return type(error)

PanicException = panic_type()

def signature(arguments, first=None):
    names = [a.arg for a in arguments.args][first is not None :]
    values = [None] * (len(names) - len(arguments.defaults)) + [ast.literal_eval(d) for d in arguments.defaults]
    return "(" + ", ".join([first] * bool(first) + [n if v is None else f"{n}={v!r}" for n, v in zip(names, values)]) + ")"

def test_the_stub_describes_the_live_module():
    tree = ast.parse(STUB.read_text())
    functions = [node for node in tree.body if isinstance(node, ast.FunctionDef)]
    [cls] = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    assert (ffi.__name__, ffi.__doc__, ffi.__all__) == ("corvane_core._ffi", ast.get_docstring(tree),
                                                        [f.name for f in functions] + [cls.name])
    for f in functions:
        live = getattr(ffi, f.name)
        assert (live.__qualname__, live.__module__, live.__self__) == (f.name, ffi.__name__, ffi)
        assert (live.__text_signature__, live.__doc__ or None) == (signature(f.args), ast.get_docstring(f)), f.name
        if not f.args.args:
            with pytest.raises(TypeError, match=rf"^corvane_core\._ffi\.{f.name}\(\) takes no arguments \(1 given\)$"):
                live(1)
    new, *methods = [node for node in cls.body if isinstance(node, ast.FunctionDef)]
    assert (new.name, _QmpClient.__text_signature__) == ("__new__", signature(new.args, first=""))
    assert [name for name in vars(_QmpClient) if not name.startswith("__")] == [m.name for m in methods]
    for m in methods:
        assert (getattr(_QmpClient, m.name).__text_signature__, getattr(_QmpClient, m.name).__doc__) == (
            signature(m.args, first="$self"), None)
    assert (_QmpClient.__module__, _QmpClient.__doc__, _QmpClient.__bases__) == ("builtins", None, (object,))
    assert STUB.with_name("py.typed").exists()
    assert [ffi.has_native_networking(), ffi.has_native_qmp(), ffi.has_native_disk_io(),
            ffi.has_native_firecracker_api()] == [False, True, True, True]

def test_the_client_type_is_final_without_dict_or_weak_references():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (_QmpClient,), {})
    with pytest.raises(AttributeError):
        _QmpClient("/x").extra = 1
    with pytest.raises(TypeError):
        weakref.ref(_QmpClient("/x"))

class Index:
    """__index__ (and __float__) give the value, or raise it."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    __float__ = __index__

def fake_bool(truth=None, module="numpy", name="bool_"):
    """An object that looks like numpy's bool scalar by its type's module and name."""
    return type(name, (), {"__module__": module, **({} if truth is None else {"__bool__": lambda self: Index(truth).__index__()})})()

def caused():
    error = TypeError("bad index")
    error.__cause__ = KeyError("inner")
    return error

MINE = type("MyTypeError", (TypeError,), {})
BOOL, DEVICES, TAKES = "argument '_route_localnet': ", "argument 'devices': ", "positional arguments but"
ERRORS = [  # binding
    (lambda: ffi.delete_tap("a", "b", x=1), TypeError, f"delete_tap() takes 1 {TAKES} 2 were given"),
    (lambda: ffi.prepare_tap(*"123456"), TypeError, f"prepare_tap() takes from 4 to 5 {TAKES} 6 were given"),
    (lambda: ffi.create_tap(y=1, x=2), TypeError, "create_tap() got an unexpected keyword argument 'y'"),
    (lambda: ffi.create_tap("a", 1, **{"\udc80": 1}), TypeError, "create_tap() got an unexpected keyword argument '\udc80'"),
    (lambda: ffi.create_tap("a", _name="a"), TypeError, "create_tap() got multiple values for argument '_name'"),
    (lambda: ffi.write_sysctl("k"), TypeError, "write_sysctl() missing 1 required positional argument: '_value'"),
    (lambda: ffi.add_addr(_ip="x"), TypeError, "add_addr() missing 2 required positional arguments: '_name' and '_prefix_len'"),
    (lambda: ffi.prepare_tap("a", _route_localnet=True), TypeError,
     "prepare_tap() missing 3 required positional arguments: '_owner_uid', '_host_ip', and '_prefix_len'"),
    (lambda: _QmpClient(), TypeError, "_QmpClient.__new__() missing 1 required positional argument: 'socket_path'"),
    (lambda: _QmpClient("/a", path=1), TypeError, "_QmpClient.__new__() got an unexpected keyword argument 'path'"),
    (lambda: _QmpClient("/x").dismiss_job("a", "b"), TypeError, f"_QmpClient.dismiss_job() takes 1 {TAKES} 2 were given"),
    (lambda: _QmpClient("/x").close(1), TypeError, "_QmpClient.close() takes no arguments (1 given)"),
    # conversions
    (lambda: ffi.create_tap(1, 0), TypeError, "argument '_name': 'int' object is not an instance of 'str'"),
    (lambda: _QmpClient(None), TypeError, "argument 'socket_path': 'None' is not an instance of 'str'"),
    (lambda: ffi.create_tap("tap\ud800", 0), UnicodeEncodeError, None), (lambda: ffi.add_addr("t", "i", 256), OverflowError, RANGE),
    (lambda: ffi.add_addr("t", "i", -1), OverflowError, RANGE), (lambda: ffi.create_tap("t", 4294967296), OverflowError, RANGE),
    (lambda: ffi.create_tap("t", 2**64), OverflowError, "Python int too large to convert to C long"),
    (lambda: ffi.add_addr("t", "i", 1.5), TypeError, "argument '_prefix_len': 'float' object cannot be interpreted as an integer"),
    (lambda: ffi.decompress_zstd_sparse("a", "b", Index(-1)), OverflowError, None),
    (lambda: ffi.add_addr("t", "i", Index(caused())), TypeError, "argument '_prefix_len': bad index"),
    (lambda: ffi.add_addr("t", "i", Index(MINE("mine"))), MINE, "mine"),  # a TypeError's subclass is not renamed
    (lambda: ffi.firecracker_request("/x", "GET", "/", None, "1"), TypeError, "argument 'timeout': must be real number, not str"),
    (lambda: ffi.firecracker_wait_for_socket("/x", Index(ValueError("f"))), ValueError, "f"),
    (lambda: ffi.prepare_tap("t", 0, "h", 24, 1), TypeError, BOOL + "'int' object is not an instance of 'bool'"),
    (lambda: ffi.prepare_tap("t", 0, "h", 24, None), TypeError, BOOL + "'None' is not an instance of 'bool'"),
    (lambda: ffi.prepare_tap("t", 0, "h", 24, fake_bool(True, "np")), TypeError, BOOL + "'bool_' object is not an instance of 'bool'"),
    (lambda: ffi.prepare_tap("t", 0, "h", 24, fake_bool()), TypeError,
     BOOL + "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    (lambda: ffi.prepare_tap("t", 0, "h", 24, fake_bool(ValueError("no truth"))), ValueError, "no truth"),
    (lambda: _QmpClient("/x").snapshot_save("j", "t", "v", "vda"), TypeError, DEVICES + "Can't extract `str` to `Vec`"),
    (lambda: _QmpClient("/x").snapshot_load("j", "t", "v", 5), TypeError, DEVICES + "'int' object is not an instance of 'Sequence'"),
    (lambda: _QmpClient("/x").snapshot_delete("j", "t", ("vda", 1)), TypeError, DEVICES + "'int' object is not an instance of 'str'"),
    (lambda: _QmpClient("/x").snapshot_delete("j", "t", type("S", (), {"__len__": lambda s: 1, "__getitem__": lambda s, i: {}[i]})()),
     KeyError, None),
    # a PanicException raised by Python code inside a conversion resumes the panic
    (lambda: ffi.add_addr("t", "i", Index(PanicException("from Python"))), PanicException, "from Python")]

@pytest.mark.leakcheck
@pytest.mark.parametrize("call, kind, text", ERRORS)
def test_argument_errors(call, kind, text):
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value) is kind and (text is None or caught.value.args == (text,))
    assert kind is not UnicodeEncodeError or "argument" not in str(caught.value)

def test_a_renamed_type_error_keeps_its_cause_and_a_resumed_panic_is_reported(capfd):
    with pytest.raises(TypeError) as caught:
        ffi.add_addr("t", "i", Index(caused()))
    assert type(caught.value.__cause__) is KeyError
    original = PanicException("raised inside __index__")
    with pytest.raises(PanicException) as caught:
        ffi.add_addr("t", "i", Index(original))
    assert caught.value is not original and "resuming the panic" in capfd.readouterr().err

def test_conversions_run_in_parameter_order_and_stop_at_the_first_failure():
    seen = []
    loud = type("Loud", (), {"__index__": lambda self: seen.append(1) or 1})()
    with pytest.raises(TypeError, match="argument '_name'"):
        ffi.create_tap(5, loud)
    with pytest.raises(TypeError, match="argument '_dev'"):
        ffi.add_route("d", loud, 5)
    assert seen == [1]

@pytest.mark.leakcheck
@pytest.mark.parametrize("call", [
    lambda: ffi.create_tap(_owner_uid=Index(4294967295), _name=type("Text", (str,), {})("")),
    lambda: ffi.delete_tap("nul\0 é 漢字 🙂"), lambda: ffi.set_link_up("tap0"), lambda: ffi.flush_addrs("tap0"),
    lambda: ffi.add_addr("tap0", "10.0.0.1", True), lambda: ffi.configure_tap("tap0", "10.0.0.1", Index(255)),
    lambda: ffi.prepare_tap("t", 0, "10.0.0.1", 0), lambda: ffi.prepare_tap("t", 0, "h", 24, fake_bool(True)),
    lambda: ffi.prepare_tap("t", 0, "h", 24, fake_bool(False, name="bool")),
    lambda: ffi.add_route(_dest="10.0.0.0", _prefix_len=8, _dev="eth0"), lambda: ffi.get_default_interface(),
    lambda: ffi.write_sysctl("net.ipv4.ip_forward", "1")])
def test_networking_accepts_its_arguments_then_refuses(call):
    with pytest.raises(OSError) as caught:
        call()
    assert type(caught.value) is OSError and caught.value.args == (PLATFORM,)
    assert (caught.value.errno, caught.value.strerror, caught.value.filename) == (None, None, None)

def test_panic_exception_and_initialisation_failures():
    assert (PanicException.__name__, PanicException.__module__, PanicException.__bases__) == (
        "PanicException", "corvane_core._ffi", (BaseException,)) and "panics" in PanicException.__doc__
    second = run_python("""
import importlib.util, json
import corvane_core._ffi as first
spec = importlib.util.find_spec("corvane_core._ffi")
module = importlib.util.module_from_spec(spec)
try:
    spec.loader.exec_module(module)
except BaseException as error:
    print(json.dumps([type(error).__name__, *error.args, [n for n in vars(module) if n[0] != "_"], first.has_native_qmp()]))
""")
    assert second.stdout.strip() == (
        '["PanicException", "called `Result::unwrap()` on an `Err` value: SetLoggerError(())", [], true]'), second.stderr
    without_logging = run_python("""
sys.modules["logging"] = None
try:
    import corvane_core._ffi
except BaseException as error:
    print(type(error).__name__, error)
""").stdout
    assert without_logging.startswith("PanicException Failed to initialize python logging: ")
    assert "ModuleNotFoundError" in without_logging and "import of logging halted" in without_logging

def undefined_symbols():
    return subprocess.run(["nm", "-D", "--undefined-only", ffi.__file__], capture_output=True, text=True, check=True,
                          env=tool_env()).stdout

@pytest.mark.skipif("CORVANE_SANITIZER_PRELOAD" not in os.environ, reason="only under ./dev test --sanitize")
def test_the_module_is_instrumented_and_the_runtime_loaded():
    assert "__asan_init" in undefined_symbols() and "__ubsan_handle_" in undefined_symbols()
    assert os.environ["CORVANE_SANITIZER_PRELOAD"] in pathlib.Path("/proc/self/maps").read_text()

@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter")
def test_the_module_counts_its_references_on_the_debug_interpreter():
    # Built with the release headers, its own reference changes would escape the total count.
    assert "_Py_DECREF_DecRefTotal" in undefined_symbols() and "_Py_INCREF_IncRefTotal" in undefined_symbols()
