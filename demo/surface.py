"""The module surface: what is native here, and how bad calls are answered."""

import corvane_core._ffi as ffi

TITLE = "Module surface"


def show_exception(label, call):
    try:
        call()
    except BaseException as error:  # noqa: BLE001 - the point is to show it
        print(f"  {label}: {type(error).__name__}: {error}")
    else:
        print(f"  {label}: returned normally")


def run():
    print(f"  module: {ffi.__name__} ({ffi.__file__.rsplit('/', 1)[-1]})")
    print(f"  doc: {ffi.__doc__}")
    print(f"  exports {len(ffi.__all__)} names: {', '.join(ffi.__all__)}")
    for probe in ("has_native_qmp", "has_native_disk_io", "has_native_firecracker_api", "has_native_networking"):
        print(f"  {probe}() -> {getattr(ffi, probe)()}")
    print(f"  create_tap signature: create_tap{ffi.create_tap.__text_signature__}")
    show_exception("create_tap('tap0')", lambda: ffi.create_tap("tap0"))
    show_exception("create_tap('tap0', -1)", lambda: ffi.create_tap("tap0", -1))
    show_exception("add_route('10.0.0.0', 8, 5)", lambda: ffi.add_route("10.0.0.0", 8, 5))
    show_exception("create_tap('tap 0', 1000)", lambda: ffi.create_tap("tap 0", 1000))
    show_exception("get_default_interface()", ffi.get_default_interface)
