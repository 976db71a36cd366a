"""DoubleTable and ByteTable from NumPy."""

import numpy as np
import pytest

import velmora
from reference import reference


def linear_model(x):
    """Two outputs linear in three inputs, which simplex interpolation reproduces exactly."""
    return np.stack([x[..., 0] + 2.0 * x[..., 1] - x[..., 2], 0.5 * x.sum(axis=-1)], axis=-1)


def test_double_table_matches_the_cpp_calls_on_the_same_grid():
    rng = np.random.default_rng(7)
    table = velmora.DoubleTable(3, 2, 9, -1.0, 2.0)
    table.grid[...] = rng.normal(size=table.grid.shape)
    points = rng.uniform(-1.2, 2.2, size=(5000, 3))
    walk_order = np.moveaxis(table.grid, range(3), range(2, -1, -1)).reshape(-1, 2)
    expected = reference("md_tetrad_interp", 3, 2, 9, -1.0, 2.0,
                         values=np.concatenate([walk_order.ravel(), points.ravel()]))
    np.testing.assert_array_equal(table(points).ravel(), expected)
