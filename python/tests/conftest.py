"""Shared fixtures of the Python tests: the library's reports captured through logging."""

import logging
import os

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
