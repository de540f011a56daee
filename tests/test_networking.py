"""The networking entry points refuse on this platform, after checking their arguments."""

import logging

import pytest

import corvane_core._ffi as ffi

PLATFORM = "Not available on this platform"

WELL_FORMED = [
    ("create_tap", ("tap0", 1000)),
    ("delete_tap", ("tap0",)),
    ("set_link_up", ("tap0",)),
    ("flush_addrs", ("tap0",)),
    ("add_addr", ("tap0", "10.0.0.1", 24)),
    ("configure_tap", ("tap0", "10.0.0.1", 24)),
    ("prepare_tap", ("tap0", 1000, "10.0.0.1", 24)),
    ("prepare_tap", ("tap0", 1000, "10.0.0.1", 24, False)),
    ("add_route", ("10.0.0.0", 8, "tap0")),
    ("get_default_interface", ()),
    ("write_sysctl", ("net.ipv4.ip_forward", "1")),
]


@pytest.mark.parametrize("name, args", WELL_FORMED, ids=[f"{n}{len(a)}" for n, a in WELL_FORMED])
def test_refusal(name, args):
    with pytest.raises(OSError) as info:
        getattr(ffi, name)(*args)
    error = info.value
    assert type(error) is OSError
    assert error.args == (PLATFORM,)
    assert str(error) == PLATFORM
    assert (error.errno, error.strerror, error.filename) == (None, None, None)


def test_no_log_records(caplog):
    caplog.set_level(logging.DEBUG)
    logging.getLogger().setLevel(logging.DEBUG)
    for name, args in WELL_FORMED:
        with pytest.raises(OSError):
            getattr(ffi, name)(*args)
    for probe in ("has_native_qmp", "has_native_disk_io", "has_native_firecracker_api", "has_native_networking"):
        getattr(ffi, probe)()
    with pytest.raises(TypeError):
        ffi.create_tap()
    assert caplog.records == []
