"""Shared fixtures of the Python tests: the library's reports captured through logging."""

import logging
import os
import threading
import time

import pytest


@pytest.fixture
def velmora_log(caplog):
    """Every record the "velmora" logger receives, DEBUG included."""
    caplog.set_level(logging.DEBUG, logger="velmora")
    return caplog


@pytest.fixture(scope="session")
def data_dir():
    """The examples' data folder (FOGRA39 measurements)."""
    return os.environ.get(
        "VELMORA_DATA_DIR",
        os.path.join(os.path.dirname(__file__), "..", "..", "examples", "data"),
    )


def releases_the_gil(call):
    """Runs call() on this thread while another Python thread keeps stamping the time, and tells
    whether that thread ran in the middle half of the call, which it can only do while the call
    has let go of the GIL. Returns (released, call's result). The call should take 50 ms or more."""
    stamps = []
    stop = threading.Event()

    def stamp():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    watcher = threading.Thread(target=stamp)
    watcher.start()
    while not stamps:
        time.sleep(0.001)
    start = time.perf_counter()
    result = call()
    end = time.perf_counter()
    stop.set()
    watcher.join()
    quarter = (end - start) / 4.0
    released = any(start + quarter < t < end - quarter for t in stamps)
    return released, result
