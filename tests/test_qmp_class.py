"""The _QmpClient class: type properties, signatures, argument handling before any I/O."""

import weakref

import pytest

import corvane_core._ffi as ffi
from corvane_core._ffi import _QmpClient
from qmp_peer import QmpPeer

METHODS = [
    ("connect", "($self, timeout, read_timeout)"),
    ("execute", "($self, command, arguments_json)"),
    ("stop_vm", "($self)"),
    ("cont", "($self)"),
    ("snapshot_save", "($self, job_id, tag, vmstate, devices)"),
    ("snapshot_load", "($self, job_id, tag, vmstate, devices)"),
    ("snapshot_delete", "($self, job_id, tag, devices)"),
    ("blockdev_snapshot_internal_sync", "($self, device, name)"),
    ("blockdev_snapshot_delete_internal_sync", "($self, device, name)"),
    ("query_jobs", "($self)"),
    ("dismiss_job", "($self, job_id)"),
    ("wait_for_job", "($self, job_id, timeout, poll_interval)"),
    ("close", "($self)"),
]


def test_type_identity():
    assert _QmpClient.__name__ == "_QmpClient"
    assert _QmpClient.__qualname__ == "_QmpClient"
    assert _QmpClient.__module__ == "builtins"
    assert _QmpClient.__text_signature__ == "(socket_path)"
    assert _QmpClient.__doc__ is None
    assert _QmpClient.__base__ is object
    assert type(_QmpClient("/x")) is ffi._QmpClient
    assert ffi.__all__[-1] == "_QmpClient"


def test_methods_in_order_with_signatures():
    own = [name for name in vars(_QmpClient) if not name.startswith("__")]
    assert own == [name for name, _ in METHODS]
    for name, signature in METHODS:
        method = getattr(_QmpClient, name)
        assert method.__text_signature__ == signature, name
        assert method.__doc__ is None, name


def test_not_subclassable():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (_QmpClient,), {})


def test_no_instance_dict_and_no_weak_references():
    client = _QmpClient("/x")
    with pytest.raises(AttributeError):
        client.extra = 1
    assert not hasattr(client, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(client)


def test_class_attributes_are_settable():
    _QmpClient.marker = 42
    try:
        assert _QmpClient("/x").marker == 42
    finally:
        del _QmpClient.marker


CONSTRUCTOR_ERRORS = [
    ((), {}, TypeError, "_QmpClient.__new__() missing 1 required positional argument: 'socket_path'"),
    (("/a", "/b"), {}, TypeError, "_QmpClient.__new__() takes 1 positional arguments but 2 were given"),
    ((1,), {}, TypeError, "argument 'socket_path': 'int' object is not an instance of 'str'"),
    ((None,), {}, TypeError, "argument 'socket_path': 'None' is not an instance of 'str'"),
    ((b"/a",), {}, TypeError, "argument 'socket_path': 'bytes' object is not an instance of 'str'"),
    ((), {"path": "/a"}, TypeError, "_QmpClient.__new__() got an unexpected keyword argument 'path'"),
    (("/a",), {"socket_path": "/a"}, TypeError, "_QmpClient.__new__() got multiple values for argument 'socket_path'"),
]


@pytest.mark.parametrize("args, kwargs, error, message", CONSTRUCTOR_ERRORS)
def test_constructor_argument_errors(args, kwargs, error, message):
    with pytest.raises(error) as excinfo:
        _QmpClient(*args, **kwargs)
    assert str(excinfo.value) == message


def test_constructor_accepts_keyword_and_opens_nothing(tmp_path):
    client = _QmpClient(socket_path=str(tmp_path / "none.sock"))
    assert client.close() is None


ARGUMENT_ERRORS = [
    ("connect one argument", lambda c: c.connect(1.0),
     TypeError, "_QmpClient.connect() missing 1 required positional argument: 'read_timeout'"),
    ("connect string timeout", lambda c: c.connect("1", 1.0), TypeError, "argument 'timeout': "),
    ("connect None read timeout", lambda c: c.connect(1.0, None), TypeError, "argument 'read_timeout': "),
    ("execute without arguments_json", lambda c: c.execute("x"),
     TypeError, "_QmpClient.execute() missing 1 required positional argument: 'arguments_json'"),
    ("execute int command", lambda c: c.execute(1, None),
     TypeError, "argument 'command': 'int' object is not an instance of 'str'"),
    ("execute dict arguments", lambda c: c.execute("x", {}),
     TypeError, "argument 'arguments_json': 'dict' object is not an instance of 'str'"),
    ("execute lone surrogate", lambda c: c.execute("\ud800", None), UnicodeEncodeError, ""),
    ("devices as str", lambda c: c.snapshot_save("j", "t", "disk0", "vda"),
     TypeError, "argument 'devices': Can't extract `str` to `Vec`"),
    ("devices as int", lambda c: c.snapshot_load("j", "t", "disk0", 5),
     TypeError, "argument 'devices': 'int' object is not an instance of 'Sequence'"),
    ("devices with an int", lambda c: c.snapshot_delete("j", "t", ("vda", 1)),
     TypeError, "argument 'devices': 'int' object is not an instance of 'str'"),
    ("conversion order", lambda c: c.snapshot_save(1, 2, 3, 4),
     TypeError, "argument 'job_id': 'int' object is not an instance of 'str'"),
    ("wait unknown keyword", lambda c: c.wait_for_job("j", 1.0, poll=1.0),
     TypeError, "_QmpClient.wait_for_job() got an unexpected keyword argument 'poll'"),
    ("wait missing two", lambda c: c.wait_for_job("j"),
     TypeError, "_QmpClient.wait_for_job() missing 2 required positional arguments: 'timeout' and 'poll_interval'"),
    ("dismiss too many", lambda c: c.dismiss_job("a", "b"),
     TypeError, "_QmpClient.dismiss_job() takes 1 positional arguments but 2 were given"),
    ("block snapshot None", lambda c: c.blockdev_snapshot_internal_sync("d", None),
     TypeError, "argument 'name': 'None' is not an instance of 'str'"),
    ("stop_vm with an argument", lambda c: c.stop_vm(1), TypeError, ""),
    ("close with an argument", lambda c: c.close(1), TypeError, ""),
]


@pytest.mark.parametrize("call, error, prefix", [a[1:] for a in ARGUMENT_ERRORS], ids=[a[0] for a in ARGUMENT_ERRORS])
def test_argument_errors_come_before_any_io(call, error, prefix):
    with QmpPeer() as peer:
        client = _QmpClient(peer.path)
        with pytest.raises(error) as excinfo:
            call(client)
        assert type(excinfo.value) is error
        assert str(excinfo.value).startswith(prefix)
        assert peer.connections == 0


def test_keywords_and_numbers_accepted():
    with QmpPeer() as peer:
        client = _QmpClient(peer.path)
        client.connect(read_timeout=2, timeout=2)
        assert client.execute(arguments_json=None, command="x") == "{}"
        client.snapshot_save(job_id="j", tag="t", vmstate="v", devices=[])
        assert len(peer.lines) == 3
