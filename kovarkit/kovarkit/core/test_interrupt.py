"""Ctrl-C during a long fit: KeyboardInterrupt at once, no worker left behind."""

import os
import signal
import threading
import time

import numpy as np
import pytest
import xarray as xr

import kovarkit
import kovarkit.xarray as kx


def threads():
    """Python's threads and the process's own (from /proc/self/status)."""
    with open("/proc/self/status") as f:
        return threading.active_count(), next(int(line.split()[1]) for line in f
                                              if line.startswith("Threads:"))


@pytest.mark.parametrize("entry", ["numpy", "xarray"])
def test_sigint_stops_a_minute_long_fit_within_a_second(entry):
    # About a minute of work on two threads of this kind of machine.
    samples = np.random.default_rng(3).integers(0, 1500, (200000, 46)).astype(np.int16)
    run = {"numpy": lambda: kovarkit.fit(samples, threads=2),
           "xarray": lambda: kx.fit(xr.DataArray(samples, dims=("x", "time")), threads=2)}[entry]
    before = threads()
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    try:
        start = time.monotonic()
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            run()
        elapsed = time.monotonic() - start
    finally:
        timer.cancel()
        timer.join()
        signal.signal(signal.SIGINT, previous)
    assert 0.5 <= elapsed < 1.0
    assert threads() == before
    # The next fit runs to its end, with the same products on any number of threads.
    small = samples[:64]
    assert kovarkit.fit(small, threads=2).p.tobytes() == kovarkit.fit(small, threads=1).p.tobytes()
