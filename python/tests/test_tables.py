"""DoubleTable and ByteTable from NumPy: agreement with the C++ calls, layouts, errors, threads."""

import threading

import numpy as np
import pytest

import velmora
from conftest import run_in_threads
from reference import reference


def linear_model(x):
    """Two outputs linear in three inputs, which simplex interpolation reproduces exactly."""
    return np.stack([x[..., 0] + 2.0 * x[..., 1] - x[..., 2], 0.5 * x.sum(axis=-1)], axis=-1)


def walk_order(grid):
    """A grid view's values in the library's vertex-walk order (index 0 fastest)."""
    inputs = grid.ndim - 1
    return np.moveaxis(grid, range(inputs), range(inputs - 1, -1, -1)).reshape(-1, grid.shape[-1])


def test_double_table_matches_the_cpp_calls_on_the_same_grid():
    rng = np.random.default_rng(7)
    for inputs, grid in [(1, 17), (3, 9), (4, 5), (5, 4)]:
        table = velmora.DoubleTable(inputs, 2, grid, -1.0, 2.0)
        table.grid[...] = rng.normal(size=table.grid.shape)
        points = rng.uniform(-1.2, 2.2, size=(3000, inputs))
        values = np.concatenate([walk_order(table.grid).ravel(), points.ravel()])
        expected = reference("md_tetrad_interp", inputs, 2, grid, -1.0, 2.0, values=values)
        np.testing.assert_array_equal(table(points).ravel(), expected)


def test_byte_table_matches_the_cpp_calls_on_the_same_grid():
    rng = np.random.default_rng(8)
    table = velmora.ByteTable(3, 4, 17)
    table.grid[...] = rng.integers(0, 256, size=table.grid.shape, dtype=np.uint8)
    image = rng.integers(0, 256, size=(200, 150, 3), dtype=np.uint8)
    image[:, 1::2] = image[:, ::2]  # repeated pixels take the library's copy rule
    values = np.concatenate([walk_order(table.grid).ravel(), image.ravel()])
    expected = reference("md_tetrab_interp", 3, 4, 17, values=values)
    np.testing.assert_array_equal(table(image).ravel(), expected.astype(np.uint8))


def test_tables_filled_from_python_reproduce_linear_models():
    table = velmora.DoubleTable(3, 2, 5, 0.0, 100.0)
    table.fill(linear_model)
    np.testing.assert_array_equal(table.coordinates()[1, 2, 3], [25.0, 50.0, 75.0])
    points = np.random.default_rng(1).uniform(0.0, 100.0, size=(20000, 3))
    np.testing.assert_allclose(table(points), linear_model(points), atol=1e-11)

    lab = velmora.DoubleTable(3, 3, 33, -128.0, 128.0)
    lab.fill(lambda x: x @ np.array([[0.9, 0.1, 0.0], [0.0, 1.1, 0.2], [0.3, 0.0, 0.8]]) + 5.0)
    colours = np.random.default_rng(2).uniform(-128.0, 128.0, size=(512, 512, 3))
    expected = colours @ np.array([[0.9, 0.1, 0.0], [0.0, 1.1, 0.2], [0.3, 0.0, 0.8]]) + 5.0
    np.testing.assert_allclose(lab(colours), expected, atol=1e-10)

    identity = velmora.ByteTable(3, 3, 17)
    identity.fill(lambda rgb: rgb)
    image = np.random.default_rng(3).integers(0, 256, size=(64, 64, 3), dtype=np.uint8)
    assert np.abs(identity(image).astype(int) - image).max() <= 2  # byte weights round
    halves = velmora.ByteTable(2, 1, 9)
    halves.fill(lambda c: c.sum(axis=-1, keepdims=True) / 2.0)  # rounded into bytes
    assert halves.grid[8, 8, 0] == 255 and halves.grid[4, 0, 0] == 64


def test_every_layout_gives_the_results_of_a_contiguous_batch():
    table = velmora.DoubleTable(3, 2, 9, 0.0, 1.0)
    table.fill(lambda x: np.stack([np.sin(3 * x[..., 0]) * x[..., 1], x[..., 2] ** 2], axis=-1))
    rng = np.random.default_rng(4)
    points = rng.random((40, 30, 3))
    expected = table(np.ascontiguousarray(points))
    planar = np.ascontiguousarray(np.moveaxis(points, -1, 0))  # (3, 40, 30) planes
    layouts = [
        np.moveaxis(planar, 0, -1),                 # channels far apart
        np.asfortranarray(points),
        points.astype(np.float32).astype(np.float64),
    ]
    for view in layouts:
        np.testing.assert_array_equal(table(view), table(np.ascontiguousarray(view)))
    np.testing.assert_array_equal(table(points[::-1, ::2])[::-1], expected[:, ::2])
    np.testing.assert_array_equal(table(points[:, 3]), expected[:, 3])
    np.testing.assert_array_equal(table(points[5, 7]), expected[5, 7])  # a single point
    np.testing.assert_array_equal(table(points.tolist()), expected)
    np.testing.assert_array_equal(table((points * 8).astype(np.int32) / 8), table(
        np.floor(points * 8) / 8))
    assert table(np.empty((0, 3))).shape == (0, 2)

    out = np.full((40, 30, 2), -1.0)
    assert table(points, out=out) is out
    np.testing.assert_array_equal(out, expected)
    strided_out = np.zeros((40, 30, 4))[..., ::2]
    table(points, out=strided_out)
    np.testing.assert_array_equal(strided_out, expected)

    image = rng.integers(0, 256, size=(32, 48, 4), dtype=np.uint8)
    cmyk = velmora.ByteTable(3, 4, 9)
    cmyk.grid[...] = rng.integers(0, 256, size=cmyk.grid.shape, dtype=np.uint8)
    direct = cmyk(np.ascontiguousarray(image[..., :3]))
    np.testing.assert_array_equal(cmyk(image[..., :3]), direct)  # RGBA read in place
    np.testing.assert_array_equal(cmyk(image[..., 2::-1][..., ::-1]), direct)


def test_wrong_arguments_raise_clear_errors():
    with pytest.raises(velmora.Error, match="md_tetra_new: illegal dimension"):
        velmora.DoubleTable(0, 1, 5)
    with pytest.raises(velmora.Error, match="md_tetra_new: illegal dimension"):
        velmora.DoubleTable(3, 1, 5, 1.0, 1.0)
    with pytest.raises(velmora.Error, match="md_tetra_new: illegal dimension"):
        velmora.ByteTable(3, 3, 1)
    assert issubclass(velmora.Error, RuntimeError)

    table = velmora.DoubleTable(3, 2, 3)
    with pytest.raises(ValueError, match=r"points must have shape \(\.\.\., 3\), got \(4, 2\)"):
        table(np.zeros((4, 2)))
    with pytest.raises(TypeError, match="points must have dtype float64, got complex128"):
        table(np.zeros((4, 3), complex))
    with pytest.raises(TypeError, match="points must have dtype float64, got <U1"):
        table([["a", "b", "c"]])
    with pytest.raises(TypeError, match="out must be a NumPy array of dtype float64"):
        table(np.zeros((4, 3)), out=np.zeros((4, 2), np.float32))
    with pytest.raises(ValueError, match=r"out must have shape \(4, 2\), got \(4, 3\)"):
        table(np.zeros((4, 3)), out=np.zeros((4, 3)))
    read_only = np.zeros((4, 2))
    read_only.flags.writeable = False
    with pytest.raises(ValueError, match="out is read-only"):
        table(np.zeros((4, 3)), out=read_only)
    with pytest.raises(ValueError, match="broadcast"):
        table.fill(lambda x: x)  # three values per vertex for two outputs

    bytes_table = velmora.ByteTable(3, 3, 5)
    with pytest.raises(TypeError, match="image must have dtype uint8, got float64"):
        bytes_table(np.zeros((2, 3)))
    with pytest.raises(ValueError, match=r"mask must have shape \(2,\), got \(3,\)"):
        bytes_table(np.zeros((2, 3), np.uint8), mask=np.ones(3, bool))
    with pytest.raises(TypeError, match="mask must have dtype bool or uint8"):
        bytes_table(np.zeros((2, 3), np.uint8), mask=np.ones(2))
    with pytest.raises(ValueError, match=r"in_curves must have shape \(3, 256\)"):
        bytes_table.set_curves(np.zeros((2, 256), np.uint8))
    with pytest.raises(ValueError, match="within 0 .. 255"):
        bytes_table.fill(lambda c: c.astype(float) * 2.0)
    assert not bytes_table.grid.any()  # a refused fill leaves the grid as it was


def test_byte_table_masks_curves_and_expansion():
    rng = np.random.default_rng(5)
    table = velmora.ByteTable(3, 3, 9)
    table.fill(lambda rgb: rgb)  # vertex bytes are rounded, so the identity is within 2
    image = rng.integers(0, 256, size=(100, 100, 3), dtype=np.uint8)
    mask = rng.integers(0, 256, size=(100, 100), dtype=np.uint8)
    out = np.full((100, 100, 3), 7, np.uint8)
    table(image, mask=mask, threshold=127.5, out=out)
    kept = mask <= 127
    assert (out[kept] == 7).all()
    np.testing.assert_array_equal(out[~kept], table(image)[~kept])

    inverse = np.arange(255, -1, -1, dtype=np.uint8)
    table.set_curves(in_curves=np.tile(inverse, (3, 1)), out_curves=np.tile(inverse, (3, 1)))
    assert np.abs(table(image).astype(int) - image).max() <= 2
    table.set_curves()  # identity again
    np.testing.assert_array_equal(table(image, mask=np.ones((100, 100), bool)), table(image))

    table.grid[...] = rng.integers(0, 256, size=table.grid.shape, dtype=np.uint8)
    finer = table.expand(17)
    assert (finer.inputs, finer.outputs, finer.grid_points) == (3, 3, 17)
    np.testing.assert_array_equal(finer.grid[::2, ::2, ::2], table.grid)
    del table  # the expansion owns its own grid
    assert finer(image).shape == image.shape


def test_grid_views_keep_their_table_alive():
    grid = velmora.DoubleTable(2, 1, 3, 0.0, 2.0).grid
    grid[...] = 4.0
    assert grid.shape == (3, 3, 1) and (grid == 4.0).all()


def test_threads_interpolate_one_table_at_once_without_the_gil():
    table = velmora.DoubleTable(4, 4, 9, 0.0, 1.0)
    table.fill(lambda x: np.cos(x * 3.0))
    points = np.random.default_rng(6).random((2_000_000, 4))
    alone = table(points)

    # This thread watches the result array fill while another thread's call runs: seeing it
    # half written proves that the call let go of the GIL (and does not depend on timing).
    out = np.full_like(alone, np.nan)
    worker = threading.Thread(target=table, args=(points,), kwargs={"out": out})
    seen_half_written = False
    worker.start()
    while worker.is_alive() and not seen_half_written:
        seen_half_written = not np.isnan(out[0, 0]) and np.isnan(out[-1, 0])
    worker.join()
    assert seen_half_written
    np.testing.assert_array_equal(out, alone)

    results, errors = run_in_threads(2, lambda i: table(points))
    assert not errors
    for result in results:
        np.testing.assert_array_equal(result, alone)
