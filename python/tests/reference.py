"""Runs the C++ reference program on data from a test: the same library calls made from C++."""

import os
import subprocess

import numpy as np


def reference(case, *args, values=()):
    """Results (float64, flat) of the C++ case `case` with arguments `args` on `values`."""
    program = os.environ["VELMORA_PY_REFERENCE"]
    data = np.ascontiguousarray(values, dtype=np.float64).tobytes()
    done = subprocess.run(
        [program, case, *[str(a) for a in args]], input=data, capture_output=True, check=False
    )
    if done.returncode != 0:
        raise RuntimeError(f"reference {case} failed: {done.stderr.decode(errors='replace')}")
    return np.frombuffer(done.stdout, dtype=np.float64)
