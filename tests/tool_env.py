"""The environment for non-Python tools started by tests (QEMU, nginx, zstd).

Under `./dev test --sanitize` the interpreter runs with the sanitizer runtime
preloaded (named in CORVANE_SANITIZER_PRELOAD). Python children need it to load
the instrumented module; the tools are not instrumented, so they get an
environment without it: they then run exactly as in a plain run, and a fault of
their own cannot fail the sanitizer run.
"""

import os


def tool_environment() -> dict[str, str]:
    env = dict(os.environ)
    runtime = env.pop("CORVANE_SANITIZER_PRELOAD", None)
    if runtime is not None:
        kept = [entry for entry in env.get("LD_PRELOAD", "").split(":") if entry and entry != runtime]
        if kept:
            env["LD_PRELOAD"] = ":".join(kept)
        else:
            env.pop("LD_PRELOAD", None)
    return env
