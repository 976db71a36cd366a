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


def run_in_threads(count, work):
    """Runs work(i) on `count` threads started together; returns their results and the
    exceptions they raised."""
    results = [None] * count
    errors = []
    start = threading.Barrier(count)

    def body(i):
        start.wait()
        try:
            results[i] = work(i)
        except BaseException as e:  # noqa: B902 - handed to the test thread
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results, errors
