"""Proof that a native call releases the interpreter lock: another Python thread
keeps running, and counting, while the call blocks."""

import threading
import time
from contextlib import contextmanager


class Ticks:
    count = 0


@contextmanager
def other_thread_ticking(interval=0.005):
    """Yields a Ticks whose count is how often another thread ran during the body."""
    ticks = Ticks()
    running = [0]
    done = threading.Event()

    def tick():
        while not done.is_set():
            running[0] += 1
            time.sleep(interval)

    thread = threading.Thread(target=tick, name="ticker")
    thread.start()
    time.sleep(0.02)
    before = running[0]
    try:
        yield ticks
    finally:
        ticks.count = running[0] - before
        done.set()
        thread.join(5)
