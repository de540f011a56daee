"""What the module shows after import: names, order, signatures, docstrings, stubs."""

import ast
import pathlib
import sys

import pytest

import corvane_core
import corvane_core._ffi as ffi

# (name, text signature, docstring body or None), in registration order.
FUNCTIONS = [
    ("has_native_networking", "()", "Return whether native Linux networking helpers are available."),
    ("has_native_qmp", "()", "Return whether the native QMP client is available."),
    ("has_native_disk_io", "()", "Return whether native host disk/image helpers are available."),
    ("has_native_firecracker_api", "()", "Return whether the Firecracker API client is available."),
    ("create_tap", "(_name, _owner_uid)", None),
    ("delete_tap", "(_name)", None),
    ("set_link_up", "(_name)", None),
    ("flush_addrs", "(_name)", None),
    ("add_addr", "(_name, _ip, _prefix_len)", None),
    ("configure_tap", "(_name, _host_ip, _prefix_len)", None),
    ("prepare_tap", "(_name, _owner_uid, _host_ip, _prefix_len, _route_localnet=True)", None),
    ("add_route", "(_dest, _prefix_len, _dev)", None),
    ("get_default_interface", "()", None),
    ("write_sysctl", "(_key, _value)", None),
    ("clone_or_sparse_copy", "(source, target)", None),
    ("decompress_zstd_sparse", "(source, target, chunk_size=1048576)", None),
    ("firecracker_request", "(socket_path, method, path, body_json, timeout)", None),
    ("firecracker_wait_for_socket", "(socket_path, timeout)", None),
]


def test_module_identity():
    assert ffi.__name__ == "corvane_core._ffi"
    assert ffi.__doc__ == "Private Python extension module. Public Python code lives in wrapper modules."
    assert ffi.__file__.endswith(".so")


def test_all_lists_functions_in_order_then_the_class():
    assert ffi.__all__ == [name for name, _, _ in FUNCTIONS] + ["_QmpClient"]
    for name in ffi.__all__:
        assert hasattr(ffi, name), name


@pytest.mark.parametrize("name, signature, doc", FUNCTIONS, ids=[f[0] for f in FUNCTIONS])
def test_function_surface(name, signature, doc):
    function = getattr(ffi, name)
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__module__ == "corvane_core._ffi"
    assert function.__self__ is ffi


@pytest.mark.parametrize(
    "probe, expected",
    [("has_native_networking", False), ("has_native_qmp", True), ("has_native_disk_io", True),
     ("has_native_firecracker_api", True)],
)
def test_probes_return_the_singletons(probe, expected):
    assert getattr(ffi, probe)() is expected


@pytest.mark.parametrize("probe", ["has_native_qmp", "get_default_interface"])
def test_no_argument_functions_refuse_arguments(probe):
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(ffi, probe)(1)


def test_logging_was_imported():
    assert "logging" in sys.modules


def test_type_stubs_match_the_module():
    stub = pathlib.Path(corvane_core.__file__).with_name("_ffi.pyi")
    tree = ast.parse(stub.read_text())
    functions = {}
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            functions[node.name] = [a.arg for a in node.args.args]
        elif isinstance(node, ast.ClassDef):
            classes[node.name] = {n.name for n in node.body if isinstance(n, ast.FunctionDef)}
    assert list(functions) == [name for name, _, _ in FUNCTIONS]
    for name, signature, _ in FUNCTIONS:
        parameters = [p.split("=")[0] for p in signature.strip("()").split(", ") if p]
        assert functions[name] == parameters, name
    assert set(classes) == {"_QmpClient"}
    methods = {n for n in dir(ffi._QmpClient) if not n.startswith("__")}
    assert classes["_QmpClient"] - {"__new__"} == methods
    assert (pathlib.Path(corvane_core.__file__).with_name("py.typed")).exists()
