"""Throughput of the Python module's table calls against the same C++ calls on the same data.

    /usr/bin/python3 bench/python/bench_tables.py [--build build/release]

Cases: one million random points through a 3 -> 3 DoubleTable of 33 points per input, and a
4096 x 4096 RGB image through a 3 -> 4 ByteTable of 17 points per input. The C++ side is
bench_python_baseline (Google Benchmark) run on files holding the very arrays timed here; each
side reports its best of several repetitions, and the ratio is Python's throughput over C++'s.
Both sides are timed writing into a result buffer kept across calls (out= in Python) and into a
new one per call (a new NumPy array; a new[] buffer in C++), whose pages the call first touches.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

TARGET = 0.80


def parse_arguments():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(here, "..", "..", "build", "release"),
                        help="the build directory (default: build/release)")
    parser.add_argument("--repetitions", type=int, default=5)
    return parser.parse_args()


def make_data():
    rng = np.random.default_rng(1)
    points = rng.random((1_000_000, 3))
    y, x = np.mgrid[0:4096, 0:4096]
    image = np.stack([x / 16.0, y / 16.0, (x + y) / 32.0], axis=-1)
    image = (image + rng.normal(0.0, 2.0, image.shape)) % 256.0  # smooth, with noise
    return points, image.astype(np.uint8)


def cpp_throughput(build, points, image, repetitions):
    """Best items per second of each C++ case."""
    program = os.path.join(build, "bench", "python", "bench_python_baseline")
    with tempfile.TemporaryDirectory() as folder:
        points_path = os.path.join(folder, "points.f64")
        image_path = os.path.join(folder, "image.u8")
        points.tofile(points_path)
        image.tofile(image_path)
        done = subprocess.run(
            [program, points_path, image_path, "--benchmark_format=json",
             f"--benchmark_repetitions={repetitions}", "--benchmark_min_time=0.5"],
            check=True, capture_output=True, text=True)
    best = {}
    for run in json.loads(done.stdout)["benchmarks"]:
        if run.get("run_type") == "iteration":
            name = run["run_name"].removesuffix("/real_time")
            best[name] = max(best.get(name, 0.0), run["items_per_second"])
    return best


def python_throughput(call, items, repetitions, min_seconds=0.5):
    """Best items per second of call() over the repetitions, each at least min_seconds long."""
    call()
    best = 0.0
    for _ in range(repetitions):
        runs, started = 0, time.perf_counter()
        while True:
            call()
            runs += 1
            elapsed = time.perf_counter() - started
            if elapsed >= min_seconds:
                break
        best = max(best, runs * items / elapsed)
    return best


def main():
    args = parse_arguments()
    sys.path.insert(0, os.path.join(args.build, "python"))
    import velmora

    points, image = make_data()
    double_table = velmora.DoubleTable(3, 3, 33, 0.0, 1.0)
    double_table.fill(lambda x: np.sin(1.3 * np.arange(1, 4) * x))
    byte_table = velmora.ByteTable(3, 4, 17)
    byte_table.fill(lambda rgb: 255 - rgb[..., [0, 1, 2, 0]])
    point_out = np.empty((len(points), 3))
    pixel_out = np.empty(image.shape[:2] + (4,), np.uint8)

    cpp = cpp_throughput(args.build, points, image, args.repetitions)
    rows = [
        ("DoubleTable, 10^6 points", "DoubleTable", len(points),
         lambda: double_table(points), lambda: double_table(points, out=point_out)),
        ("ByteTable, 4096 x 4096 RGB", "ByteTable", image.shape[0] * image.shape[1],
         lambda: byte_table(image), lambda: byte_table(image, out=pixel_out)),
    ]
    print(f"{'case':28} {'results':>8} {'C++ M/s':>9} {'Python M/s':>11} {'ratio':>6}  target")
    failed = False
    for label, name, items, fresh, into in rows:
        for kind, call, arg in (("kept", into, 0), ("new", fresh, 1)):
            base = cpp[f"{name}/{arg}"]
            ours = python_throughput(call, items, args.repetitions)
            failed |= ours / base < TARGET
            print(f"{label:28} {kind:>8} {base / 1e6:9.1f} {ours / 1e6:11.1f} {ours / base:6.2f}"
                  f"  >= {TARGET:.2f}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
