"""The example script that fits FOGRA39 with the cluster store and converts a Lab image to CMY."""

import os
import re
import subprocess
import sys

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "python",
                      "fogra39_lab_to_cmy.py")


def run(*args):
    return subprocess.run([sys.executable, SCRIPT, *map(str, args)], capture_output=True,
                          text=True, timeout=60, check=False)


def figure(pattern, text):
    found = re.search(pattern, text)
    assert found, f"no line matching {pattern!r} in:\n{text}"
    return [float(v) for v in found.groups()]


def test_the_fogra39_example_fits_the_patches_and_converts_an_image(data_dir):
    done = run(48, os.path.join(data_dir, "FOGRA39L.ti3"))
    assert done.returncode == 0, done.stderr
    text = done.stdout
    assert figure(r"patches without black: (\d+)", text) == [818.0]
    mean, largest = figure(r"mean device error at the patches: ([\d.]+) \(max ([\d.]+)\)", text)
    assert mean < 0.01 and largest < 0.05  # the 1-unit Lab grid moves a patch by < 0.87
    assert figure(r"image: (\d+) x (\d+) Lab -> CMY in ([\d.]+) s", text)[:2] == [48.0, 48.0]
    assert 20.0 < figure(r"pixels inside the measured gamut: ([\d.]+) %", text)[0] < 80.0
    assert figure(r"pixels interpolated: ([\d.]+) %", text) == [100.0]
    cmy = figure(r"CMY (-?[\d.]+) (-?[\d.]+) (-?[\d.]+) %", text)
    assert all(-0.1 <= v <= 100.1 for v in cmy)
    # A greenish mid-tone needs cyan and yellow more than magenta.
    assert cmy[0] > cmy[1] and cmy[2] > cmy[1]

    refused = run(0)
    assert refused.returncode != 0 and "at least 1" in refused.stderr
