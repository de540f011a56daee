"""Argument binding: every message form of the boundary, before anything runs."""

import pytest

import corvane_core._ffi as ffi

PLATFORM = "Not available on this platform"


@pytest.mark.parametrize(
    "call, message",
    [
        # too many, all required
        (lambda: ffi.delete_tap("a", "b"), "delete_tap() takes 1 positional arguments but 2 were given"),
        (lambda: ffi.create_tap("a", 1, 2), "create_tap() takes 2 positional arguments but 3 were given"),
        (lambda: ffi.add_route("a", 1, "b", 4, 5), "add_route() takes 3 positional arguments but 5 were given"),
        # too many, some optional
        (lambda: ffi.prepare_tap(1, 2, 3, 4, 5, 6), "prepare_tap() takes from 4 to 5 positional arguments but 6 were given"),
        # too many wins over keyword errors: keywords are not looked at
        (lambda: ffi.delete_tap("a", "b", x=1), "delete_tap() takes 1 positional arguments but 2 were given"),
        # unknown and duplicate keywords
        (lambda: ffi.create_tap("a", 1, x=1), "create_tap() got an unexpected keyword argument 'x'"),
        (lambda: ffi.create_tap("a", _name="b"), "create_tap() got multiple values for argument '_name'"),
        (lambda: ffi.create_tap("a", _name="a"), "create_tap() got multiple values for argument '_name'"),
        (lambda: ffi.create_tap(_Name="a", _owner_uid=1), "create_tap() got an unexpected keyword argument '_Name'"),
        # the first bad keyword in call order is reported
        (lambda: ffi.create_tap(y=1, x=2), "create_tap() got an unexpected keyword argument 'y'"),
        # missing: one, two, three names
        (lambda: ffi.write_sysctl("k"), "write_sysctl() missing 1 required positional argument: '_value'"),
        (lambda: ffi.create_tap("a"), "create_tap() missing 1 required positional argument: '_owner_uid'"),
        (lambda: ffi.add_addr("a"), "add_addr() missing 2 required positional arguments: '_ip' and '_prefix_len'"),
        (lambda: ffi.add_addr(), "add_addr() missing 3 required positional arguments: '_name', '_ip', and '_prefix_len'"),
        (lambda: ffi.prepare_tap(),
         "prepare_tap() missing 4 required positional arguments: '_name', '_owner_uid', '_host_ip', and '_prefix_len'"),
        (lambda: ffi.add_addr(_ip="x"), "add_addr() missing 2 required positional arguments: '_name' and '_prefix_len'"),
        # an optional parameter is never reported missing
        (lambda: ffi.prepare_tap("a", 1, _route_localnet=True), "prepare_tap() missing 2 required positional arguments: '_host_ip' and '_prefix_len'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


def test_keyword_that_is_not_valid_utf8_is_unknown():
    with pytest.raises(TypeError) as info:
        ffi.create_tap("a", 1, **{"\udc80": 1})
    assert info.value.args == ("create_tap() got an unexpected keyword argument '\udc80'",)


@pytest.mark.parametrize(
    "call",
    [
        lambda: ffi.create_tap(_owner_uid=1, _name="tap0"),
        lambda: ffi.create_tap("tap0", _owner_uid=1),
        lambda: ffi.prepare_tap("t", 1, "10.0.0.1", 24),
        lambda: ffi.prepare_tap("t", 1, "10.0.0.1", 24, False),
        lambda: ffi.prepare_tap(_prefix_len=24, _host_ip="h", _owner_uid=0, _name="t", _route_localnet=True),
        lambda: ffi.add_route(_dest="10.0.0.0", _prefix_len=8, _dev="eth0"),
    ],
)
def test_bound_calls_reach_the_operation(call):
    with pytest.raises(OSError) as info:
        call()
    assert info.value.args == (PLATFORM,)
