#!/usr/bin/env python3
"""Fits the FOGRA39 measurements with a velmora.ClusterGroup and converts a Lab image to CMY.

The patches printed without black (K = 0) map Lab to CMY; the cluster store interpolates CMY for
any Lab colour from the nearest patch in each octant around it. The image is a synthetic Lab
image spanning the printable lightness and a circle of chroma.

    python3 fogra39_lab_to_cmy.py [size [measurements.ti3]]

size is the side of the square image (256 by default); the measurements default to the FOGRA39
file beside the examples.
"""

import os
import sys
import time

import numpy as np

import velmora

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_DATA = os.path.join(HERE, "..", "data", "FOGRA39L.ti3")


def read_cgats(path):
    """The data block of a CGATS file as a dict of field name -> list of strings."""
    with open(path, encoding="latin-1") as handle:
        lines = [line.strip() for line in handle]
    start = lines.index("BEGIN_DATA_FORMAT") + 1
    fields = []
    while lines[start] != "END_DATA_FORMAT":
        fields += lines[start].split()
        start += 1
    first = lines.index("BEGIN_DATA") + 1
    last = lines.index("END_DATA")
    rows = [line.split() for line in lines[first:last] if line]
    if any(len(row) != len(fields) for row in rows):
        raise ValueError(f"{path}: a data row does not hold {len(fields)} fields")
    return {name: [row[i] for row in rows] for i, name in enumerate(fields)}


def read_patches(path):
    """Lab (n, 3) and CMY fractions (n, 3) of the patches printed without black."""
    data = read_cgats(path)
    cmyk = np.array([data[f"CMYK_{c}"] for c in "CMYK"], dtype=float).T / 100.0
    lab = np.array([data[f"LAB_{c}"] for c in "LAB"], dtype=float).T
    no_black = cmyk[:, 3] == 0.0
    return lab[no_black], cmyk[no_black, :3]


def synthetic_image(size):
    """A size x size Lab image: lightness 25 .. 90 down the rows, a hue circle of chroma 40
    across the columns."""
    lightness = np.linspace(25.0, 90.0, size)[:, None]
    hue = np.linspace(0.0, 2.0 * np.pi, size, endpoint=False)[None, :]
    image = np.empty((size, size, 3))
    image[..., 0] = lightness
    image[..., 1] = 40.0 * np.cos(hue)
    image[..., 2] = 40.0 * np.sin(hue)
    return image


def format_values(values):
    return " ".join(f"{v:.1f}" for v in values)


def main(argv):
    size = int(argv[1]) if len(argv) > 1 else 256
    if size < 1:
        raise SystemExit("the image size must be at least 1")
    path = argv[2] if len(argv) > 2 else DEFAULT_DATA
    image = synthetic_image(size)
    start = time.perf_counter()

    # Lab -> CMY from the measurements: read them, fill the store, convert the image.
    lab, cmy = read_patches(path)
    group = velmora.ClusterGroup(3, l=(0, 100, 1), a=(-128, 128, 1), b=(-128, 128, 1))
    group.add(lab, cmy)
    image_cmy, distance, status = group.interpolate(image)

    seconds = time.perf_counter() - start
    error = np.abs(group.interpolate(lab).device - cmy)
    inside = group.inside(image)
    print(f"patches without black: {len(group)}")
    print(f"mean device error at the patches: {error.mean():.4f} (max {error.max():.4f})")
    print(f"image: {size} x {size} Lab -> CMY in {seconds:.3f} s")
    print(f"pixels inside the measured gamut: {inside.mean() * 100:.1f} %")
    print(f"pixels interpolated: {(status == 0).mean() * 100:.1f} %, "
          f"largest distance to the data: {-distance.min():.2f} Lab units")
    c, m, y = image_cmy[size // 2, size // 2] * 100.0
    print(f"image centre: Lab {format_values(image[size // 2, size // 2])} -> "
          f"CMY {c:.1f} {m:.1f} {y:.1f} %")
    print(f"mean ink over the image: {image_cmy.sum(axis=-1).mean() * 100:.1f} %")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
