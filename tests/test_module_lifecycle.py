"""Initialisation of the module: the logging bridge, a second initialisation in one
process, and PanicException. Each case runs in a fresh interpreter."""

import subprocess
import sys
import textwrap

SECOND_INIT = "called `Result::unwrap()` on an `Err` value: SetLoggerError(())"


def run_python(code):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    return result.stdout, result.stderr


# Runs the module's initialisation a second time on a fresh module object.
REINIT = """
    import importlib.util, sys
    import corvane_core._ffi as first
    spec = importlib.util.find_spec("corvane_core._ffi")
    second = importlib.util.module_from_spec(spec)
    try:
        spec.loader.exec_module(second)
    except BaseException as error:
        panic = error
    else:
        raise SystemExit("second initialisation succeeded")
"""


def test_second_initialisation_fails_and_registers_nothing():
    out, _ = run_python(REINIT + """
    print(type(panic).__name__)
    print(panic.args == (%r,))
    print(second is not first, [n for n in vars(second) if not n.startswith("__")], hasattr(second, "__all__"))
    print(len(first.__all__), first.has_native_qmp())
    """ % SECOND_INIT)
    assert out.splitlines() == ["PanicException", "True", "True [] False", "19 True"]


def test_panic_exception_class():
    out, _ = run_python(REINIT + """
    cls = type(panic)
    print(cls.__name__, cls.__module__)
    print(issubclass(cls, BaseException), issubclass(cls, Exception), cls.__bases__ == (BaseException,))
    print("panics" in cls.__doc__ and "BaseException" in cls.__doc__)
    try:
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
    except BaseException as again:
        print(type(again) is cls, str(again) == str(panic))
    """)
    assert out.splitlines() == [
        "PanicException corvane_core._ffi",
        "True False True",
        "True",
        "True True",
    ]


def test_panic_raised_by_python_code_during_conversion_is_resumed():
    out, err = run_python(REINIT + """
    Panic = type(panic)
    original = Panic("raised inside __index__")

    class Bad:
        def __index__(self):
            raise original

    try:
        first.add_addr("tap0", "10.0.0.1", Bad())
    except BaseException as resumed:
        print(type(resumed).__name__, resumed.args, resumed is original)
    try:
        first.create_tap("tap0", 1)
    except OSError as error:
        print("still usable:", error)
    """)
    assert out.splitlines() == [
        "PanicException ('raised inside __index__',) False",
        "still usable: Not available on this platform",
    ]
    assert "raised inside __index__" in err


def test_logging_import_failure_fails_the_import():
    out, _ = run_python("""
    import sys
    sys.modules["logging"] = None
    try:
        import corvane_core._ffi
    except BaseException as error:
        print(type(error).__name__)
        print(str(error))
    """)
    name, text = out.splitlines()[:2]
    assert name == "PanicException"
    assert text.startswith("Failed to initialize python logging: ")
    assert "ModuleNotFoundError" in text and "import of logging halted" in text


def test_import_reuses_an_already_imported_logging():
    out, _ = run_python("""
    import logging, sys
    before = sys.modules["logging"]
    import corvane_core._ffi
    print(sys.modules["logging"] is before)
    """)
    assert out.strip() == "True"
