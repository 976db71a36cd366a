"""The table engines from NumPy: VariableResolutionTable over a SharedBuffer, LabToProcTable and
HyperCube."""


import numpy as np
import pytest

import velmora
from conftest import releases_the_gil, run_in_threads
from reference import reference


# ---- variable-resolution tables ----------------------------------------------------------------


def byte_model(x, outputs, mask=None):
    """The reference cases' model on input bytes x (..., C) of a table with the given mask: with
    x spread over the n buffer channels (0 outside the table), output o is
    (o + 1) * x0 * x[n-1] / 255 + sum over c of (c + 2o + 1) * x[c], in that order, so that
    tables over one buffer agree on the points they share."""
    x = np.asarray(x, dtype=np.float64)
    if mask is not None:
        spread = np.zeros(x.shape[:-1] + (len(mask),))
        spread[..., np.asarray(mask, dtype=bool)] = x
        x = spread
    n = x.shape[-1]
    columns = []
    for o in range(outputs):
        acc = (o + 1.0) * x[..., 0] * x[..., n - 1] / 255.0
        for c in range(n):
            acc = acc + (c + 2.0 * o + 1.0) * x[..., c]
        columns.append(acc)
    return np.stack(columns, axis=-1)


def positions_of(table, points):
    """The input bytes of grid points given as grid indices (..., C)."""
    points = np.asarray(points)
    return np.stack([pos[points[..., c]] for c, pos in enumerate(table.grid_positions)], axis=-1)


def point_callback(table, outputs, calls=None):
    """A callback computing byte_model at a grid point, counting its calls in `calls`."""

    def callback(point):
        if calls is not None:
            calls.append(tuple(point))
        return byte_model(positions_of(table, point), outputs, table.mask)

    return callback


def cpp_interpolate(counts, outputs, subsets, mask, table, samples, regular=False):
    """The same table, computed through the same model in C++, interpolating the samples."""
    subset_bits = ",".join(str(sum(1 << c for c, f in enumerate(s) if f)) for s in subsets) or "-"
    mask_bits = sum(1 << c for c, f in enumerate(mask) if f)
    values = np.concatenate([np.concatenate(table.grid_positions), samples.ravel()])
    out = reference("variable_table_interpolate", ",".join(map(str, counts)), outputs,
                    subset_bits, mask_bits, int(regular), values=values)
    return out.reshape(samples.shape[:-1] + (outputs,))


def lattice(channels, step):
    """Grid-ordered samples: every combination of 0, step, 2 step, ... per channel."""
    axis = np.arange(0, 256, step, dtype=np.uint8)
    grids = np.meshgrid(*[axis] * channels, indexing="ij")
    return np.stack(grids, axis=-1).reshape(-1, channels)


def uneven_positions(rng, last):
    """Strictly increasing grid positions from 0 to 255, unevenly spaced."""
    inner = np.sort(rng.choice(np.arange(1, 255), size=last - 1, replace=False))
    return np.concatenate([[0], inner, [255]]).astype(np.uint8)


def test_variable_tables_match_the_cpp_calls_with_the_callback_or_a_fill():
    rng = np.random.default_rng(11)
    # Four channels at full size (33 points) without subsets, on a lattice and random inputs.
    samples = np.concatenate([lattice(4, 17), rng.integers(0, 256, (4000, 4), dtype=np.uint8)])
    buffer = velmora.SharedBuffer([33] * 4, outputs=3)
    table = velmora.VariableResolutionTable(buffer)
    table.callback = point_callback(table, 3)
    got = table.interpolate(samples)
    assert got.dtype == np.float32 and got.shape == (len(samples), 3)
    expected = cpp_interpolate([33] * 4, 3, [], [True] * 4, table, samples)
    np.testing.assert_array_equal(got, expected)
    # The points computed on demand are exactly those the model gives.
    computed = buffer.computed
    points, index = table.grid_points(return_index=True)
    assert computed[index].sum() == computed.sum() > 0
    done = computed[index]
    np.testing.assert_array_equal(buffer.values[index[done]],
                                  byte_model(positions_of(table, points[done]), 3)
                                  .astype(np.float32))

    # The same table filled at once from the vectorised model gives the same results, without
    # any callback.
    filled = velmora.VariableResolutionTable(velmora.SharedBuffer([33] * 4, outputs=3))
    filled.fill(lambda x: byte_model(x, 3))
    np.testing.assert_array_equal(filled.interpolate(samples), expected)

    # Six channels of nine points with two fixed subsets (combinations whose faces are coarser
    # than themselves), uneven grid positions, repeated samples and the grid point that comes
    # back as a blend of a coarser cell; then a table over four of the channels sharing the
    # points already computed.
    subsets = [[1, 1, 0, 0, 0, 0], [1, 1, 1, 1, 1, 0]]
    buffer = velmora.SharedBuffer([9] * 6, outputs=2, fixed_subsets=subsets)
    mask = [True] * 6
    positions = [uneven_positions(rng, 8) for _ in range(6)]
    table = velmora.VariableResolutionTable(buffer, mask=mask, grid_positions=positions)
    table.callback = point_callback(table, 2)
    on_grid = positions_of(table, np.array([[1, 1, 8, 8, 8, 0]]))
    samples = np.concatenate([on_grid, rng.integers(0, 256, (3000, 6), dtype=np.uint8)])
    samples = np.repeat(samples, 2, axis=0)
    np.testing.assert_array_equal(table.interpolate(samples),
                                  cpp_interpolate([9] * 6, 2, subsets, mask, table, samples))
    partial = [True, False, True, True, False, True]
    other = velmora.VariableResolutionTable(buffer, mask=partial,
                                            grid_positions=[positions[c] for c in (0, 2, 3, 5)])
    other.callback = point_callback(other, 2)
    some = samples[:, [0, 2, 3, 5]]
    np.testing.assert_array_equal(other.interpolate(some),
                                  cpp_interpolate([9] * 6, 2, subsets, partial, other, some))

    # A table whose channels form subset 0 takes the regular path once it is filled.
    buffer = velmora.SharedBuffer([17] * 3, outputs=4, fixed_subsets=[[True] * 3])
    table = velmora.VariableResolutionTable(buffer)
    assert table.is_complete_fixed_subset and table.buffer_size == 17 ** 3 == buffer.points
    table.fill(lambda x: byte_model(x, 4))
    samples = rng.integers(0, 256, (5000, 3), dtype=np.uint8)
    regular = table.interpolate(samples, regular=True)
    np.testing.assert_array_equal(
        regular, cpp_interpolate([17] * 3, 4, [[True] * 3], [True] * 3, table, samples, True))
    np.testing.assert_allclose(table.interpolate(samples), regular, rtol=1e-6)


def test_variable_tables_reproduce_linear_functions_and_read_strided_batches():
    rng = np.random.default_rng(5)
    buffer = velmora.SharedBuffer([33] * 4, outputs=3)
    positions = [uneven_positions(rng, 32) for _ in range(4)]
    table = velmora.VariableResolutionTable(buffer, grid_positions=positions)
    weights = np.array([[1.0, -0.5, 0.25], [0.5, 2.0, -1.0], [-1.0, 0.75, 0.5], [0.3, 0.1, 2.0]])
    table.fill(lambda x: x @ weights + 10.0)
    assert buffer.computed.all()
    image = rng.integers(0, 256, (64, 96, 4), dtype=np.uint8)
    expected = image @ weights + 10.0
    got = table.interpolate(image)
    assert got.shape == (64, 96, 3)
    np.testing.assert_allclose(got, expected, rtol=1e-5, atol=1e-3)

    # Refilling, or writing the values and invalidating the caches, replaces everything the table
    # interpolated before, off-grid vertices included.
    table.fill(lambda x: 500.0 - x @ weights)
    np.testing.assert_allclose(table.interpolate(image), 510.0 - expected, rtol=1e-5, atol=1e-3)
    points, index = table.grid_points(return_index=True)
    buffer.values[index] = positions_of(table, points) @ weights + 10.0
    buffer.invalidate_caches()
    np.testing.assert_allclose(table.interpolate(image), expected, rtol=1e-5, atol=1e-3)

    # A strided view (every other pixel, channels taken from a wider array) is read in place,
    # and results go into a strided out.
    wide = np.zeros((64, 96, 6), dtype=np.uint8)
    wide[..., 1:5] = image
    view = wide[:, ::2, 1:5]
    out = np.zeros((64, 48, 5), dtype=np.float32)
    result = table.interpolate(view, out=out[..., 1:4])
    assert result.base is out or result.base is out.base
    np.testing.assert_array_equal(out[..., 1:4], got[:, ::2])
    assert not out[..., 0].any() and not out[..., 4].any()


def test_walk_over_the_grid_points():
    buffer = velmora.SharedBuffer([33, 33], outputs=1)
    table = velmora.VariableResolutionTable(buffer)
    points, index = table.grid_points(return_index=True)
    # Over the whole buffer the walk is the buffer order.
    assert points.shape == (321, 2) and points.dtype == np.uint8
    np.testing.assert_array_equal(index, np.arange(321))
    np.testing.assert_array_equal(points[[0, 5, 39, 83, 320]],
                                  [[0, 0], [0, 5], [7, 0], [4, 6], [32, 32]])

    buffer = velmora.SharedBuffer([33] * 4, outputs=1)
    table = velmora.VariableResolutionTable(buffer)
    unique, index = table.grid_points(unique=True, return_index=True)
    assert unique.shape == (256, 4) and tuple(unique[0]) == (8, 8, 8, 8)
    assert (unique % 8 == 0).all() and (unique > 0).all()
    # fill(unique=True) computes exactly those points, with their input bytes.
    table.fill(lambda x: x.sum(axis=1, keepdims=True), unique=True)
    assert buffer.computed.sum() == 256 and buffer.computed[index].all()
    np.testing.assert_array_equal(buffer.values[index, 0], positions_of(table, unique).sum(axis=1))
    assert np.isnan(buffer.values[~buffer.computed]).all()


class ModelFailure(Exception):
    """Raised by the failing callbacks of the tests."""


def test_a_callback_exception_propagates_and_leaves_the_failed_points_missing():
    rng = np.random.default_rng(3)
    samples = rng.integers(0, 256, (3000, 4), dtype=np.uint8)
    buffer = velmora.SharedBuffer([33] * 4, outputs=3)
    table = velmora.VariableResolutionTable(buffer)
    calls = []
    good = point_callback(table, 3, calls)

    def failing(point):
        if len(calls) == 500:
            raise ModelFailure(f"no colour for {tuple(point)}")
        return good(point)

    table.callback = failing
    with pytest.raises(ModelFailure, match=r"no colour for \("):
        table.interpolate(samples)
    # No call after the failure; only the points computed before it are marked computed.
    assert len(calls) == 500
    assert buffer.computed.sum() == 500
    assert not np.isnan(buffer.values[buffer.computed]).any()

    # Afterwards the table computes the rest, and its results (off-grid vertices included) are
    # those of a table that never failed.
    table.callback = good
    expected = cpp_interpolate([33] * 4, 3, [], [True] * 4, table, samples)
    np.testing.assert_array_equal(table.interpolate(samples), expected)
    assert len(set(calls)) == len(calls) == buffer.computed.sum()

    # A callback failing at once, then a good one: still the same results.
    fresh = velmora.VariableResolutionTable(velmora.SharedBuffer([33] * 4, outputs=3))
    fresh.callback = lambda point: 1 / 0
    with pytest.raises(ZeroDivisionError):
        fresh.interpolate(samples)
    fresh.callback = point_callback(fresh, 3)
    np.testing.assert_array_equal(fresh.interpolate(samples), expected)

    # Results of the wrong size, and a missing point without a callback.
    table = velmora.VariableResolutionTable(velmora.SharedBuffer([33] * 4, outputs=3))
    table.callback = lambda point: [1.0, 2.0]
    with pytest.raises(ValueError, match="must return 3 numbers"):
        table.interpolate(samples[:10])
    table.callback = None
    with pytest.raises(ValueError, match="no callback"):
        table.interpolate(samples[:10])
    # A callback that uses a table over the same buffer is refused rather than left to hang.
    table.callback = lambda point: table.interpolate(samples[:1])[0]
    with pytest.raises(ValueError, match="same buffer"):
        table.interpolate(samples[:10])
    table.callback = point_callback(table, 3)
    np.testing.assert_array_equal(table.interpolate(samples), expected)


def test_threads_interpolate_one_variable_table_at_once():
    rng = np.random.default_rng(8)
    samples = rng.integers(0, 256, (40000, 4), dtype=np.uint8)
    buffer = velmora.SharedBuffer([33] * 4, outputs=3)
    table = velmora.VariableResolutionTable(buffer)
    calls = []
    table.callback = point_callback(table, 3, calls)
    results, errors = run_in_threads(2, lambda i: table.interpolate(samples))
    assert not errors
    expected = cpp_interpolate([33] * 4, 3, [], [True] * 4, table, samples)
    for result in results:
        np.testing.assert_array_equal(result, expected)
    assert len(calls) == len(set(calls))  # every point computed once
    many = np.tile(samples, (10, 1))
    released, result = releases_the_gil(lambda: table.interpolate(many))
    assert released
    np.testing.assert_array_equal(result, np.tile(expected, (10, 1)))

    # One thread's callback fails while another table over the same buffer interpolates: the
    # failure reaches its own caller only, the other's results are still right (it may have read
    # the placeholders the failing call left, and is then repeated), and the failing table works
    # once its callback does. The failing table alone spans channel 4, so it always needs
    # points of its own.
    buffer = velmora.SharedBuffer([33] * 5, outputs=3)
    working = velmora.VariableResolutionTable(buffer, mask=[1, 1, 1, 1, 0])
    failing = velmora.VariableResolutionTable(buffer, mask=[1, 1, 1, 0, 1])
    working.callback = point_callback(working, 3)

    def fails(point):
        raise ModelFailure("dark")

    failing.callback = fails
    results, errors = run_in_threads(
        2, lambda i: (failing if i == 0 else working).interpolate(samples))
    assert [type(e) for e in errors] == [ModelFailure]
    np.testing.assert_array_equal(
        results[1], cpp_interpolate([33] * 5, 3, [], [1, 1, 1, 1, 0], working, samples))
    failing.callback = point_callback(failing, 3)
    np.testing.assert_array_equal(
        failing.interpolate(samples),
        cpp_interpolate([33] * 5, 3, [], [1, 1, 1, 0, 1], failing, samples))


def test_variable_table_arguments_are_checked():
    with pytest.raises(ValueError, match="1 .. 33"):
        velmora.SharedBuffer([33, 34], outputs=1)
    with pytest.raises(ValueError, match="0 .. 255"):
        velmora.SharedBuffer([33, 289], outputs=1)  # would wrap to 33 as a byte
    with pytest.raises(TypeError, match="integers"):
        velmora.SharedBuffer([33, 16.5], outputs=1)
    with pytest.raises(ValueError):
        velmora.SharedBuffer([33], outputs=256)
    with pytest.raises(ValueError, match="four"):
        velmora.SharedBuffer([9] * 3, outputs=1, fixed_subsets=[[1, 0, 0]] * 5)
    buffer = velmora.SharedBuffer([33, 10, 9], outputs=2)
    with pytest.raises(ValueError, match="last grid index"):
        velmora.VariableResolutionTable(buffer)
    with pytest.raises(ValueError, match="selects channel 3 of a buffer of 3"):
        velmora.VariableResolutionTable(buffer, mask=[True, False, True, True])
    even = np.round(np.arange(33) * 255 / 32).astype(np.uint8)
    with pytest.raises(ValueError, match="increase"):
        velmora.VariableResolutionTable(buffer, mask=[True, False, True],
                                        grid_positions=[even, [0, 40, 40, 90, 120, 160, 200, 230,
                                                               255]])
    with pytest.raises(ValueError, match="0 .. 255"):
        velmora.VariableResolutionTable(buffer, mask=[True, False, True],
                                        grid_positions=[even, [0, 40, 60, 90, 120, 160, 200, 230,
                                                               256]])
    table = velmora.VariableResolutionTable(buffer, mask=[True, False, True])
    assert table.channels == 2 and table.outputs == 2 and not table.is_complete_fixed_subset
    with pytest.raises(TypeError, match="uint8"):
        table.interpolate(np.zeros((5, 2)))
    with pytest.raises(ValueError, match=r"\(\.\.\., 2\)"):
        table.interpolate(np.zeros((5, 3), dtype=np.uint8))
    with pytest.raises(ValueError, match="shape"):
        table.interpolate(np.zeros((5, 2), dtype=np.uint8), out=np.zeros((5, 3), np.float32))
    with pytest.raises(ValueError, match="is_complete_fixed_subset"):
        table.interpolate(np.zeros((5, 2), dtype=np.uint8), regular=True)
    with pytest.raises(ValueError, match="broadcast|shape"):
        table.fill(lambda x: np.zeros((3, 3)))
    complete = velmora.VariableResolutionTable(
        velmora.SharedBuffer([5, 5], outputs=1, fixed_subsets=[[True, True]]))
    with pytest.raises(ValueError, match="computed"):
        complete.interpolate(np.zeros((5, 2), dtype=np.uint8), regular=True)

    # The table and the views keep the buffer alive.
    table.fill(lambda x: np.ones(2))
    points, values = buffer.points, buffer.values
    del buffer
    np.testing.assert_array_equal(table.interpolate(np.full((3, 2), 77, np.uint8)), np.ones((3, 2)))
    assert values.shape == (points, 2) and np.isnan(values).any() and (values == 1).any()


# ---- Lab-to-process table ----------------------------------------------------------------------


def buffer_order(grid):
    """The grid values (nL, nA, nB, M) in the library's buffer order (L* fastest)."""
    return np.transpose(grid, (2, 1, 0, 3)).ravel()


def lab_colours(rng, count):
    """Lab colours over the whole box and a little beyond, as float32."""
    lab = np.column_stack([rng.uniform(-5, 133, count), rng.uniform(-135, 135, (count, 2))])
    return lab.astype(np.float32)


def test_lab_table_matches_the_cpp_interpolation_on_the_same_grid():
    rng = np.random.default_rng(21)
    table = velmora.LabToProcTable(4, 4, 8, 8, 4)
    assert table.shape == (33, 33, 33) and table.grid.shape == (33, 33, 33, 4)
    table.grid[...] = rng.uniform(-20, 275, table.grid.shape)
    lab = lab_colours(rng, 20000)
    lab[:3] = [[np.nan, 0, 0], [128, 128, 128], [0, -128, -128]]
    expected = reference("lab_table_interpolate", 4, 4, 8, 8, 4,
                         values=np.concatenate([buffer_order(table.grid), lab.ravel()]))
    got = table.interpolate(lab)
    assert got.dtype == np.float32 and got.shape == (20000, 4)
    np.testing.assert_array_equal(got.ravel(), expected)
    # float64 input, in a strided view, into a strided out.
    wide = np.zeros((20000, 5))
    wide[:, 1:4] = lab
    out = np.zeros((20000, 6), np.float32)
    table.interpolate(wide[:, 1:4], out=out[:, 1:5])
    np.testing.assert_array_equal(out[:, 1:5], got)

    # grid[iL, iA, iB] is the colour coordinates() gives: a grid linear in Lab is reproduced.
    table = velmora.LabToProcTable(3, 8, 16, 16, 2)
    lab_grid = table.coordinates()
    assert lab_grid.shape == table.grid.shape[:3] + (3,)
    np.testing.assert_allclose(lab_grid[1, 2, 3], [8.0, 2 * 16.0 - 128, 3 * 16.0 - 128])
    linear = np.array([[1.0, 0.2, 0.1], [0.1, 0.4, 0.0], [0.0, 0.1, 0.4]])
    offset = [20.0, 80.0, 70.0]  # keeps every value inside 0 .. 255
    table.grid[...] = lab_grid @ linear + offset
    inside = np.column_stack([rng.uniform(0, 127, 5000), rng.uniform(-127, 127, (5000, 2))])
    np.testing.assert_allclose(table.interpolate(inside), inside @ linear + offset,
                               rtol=1e-5, atol=1e-3)
    copy = table.copy()
    table.grid[...] = 0
    assert copy.grid.any() and not table.interpolate(inside).any()


def lab_to_process(lab):
    """The reference case's Lab-to-process model (three outputs on 0 .. 255)."""
    L, a, b = lab[:, 0], lab[:, 1], lab[:, 2]
    u = (a + 128.0) / 256.0
    return np.column_stack([255.0 - L * 1.9921875, u * u * 255.0, (b + 128.0) * 0.99609375])


def process_to_lab(process):
    """The exact inverse of lab_to_process on the normalised process values."""
    v = (1.0 - process) * 254.999
    return np.column_stack([(255.0 - v[:, 0]) / 1.9921875,
                            np.sqrt(np.fmax(v[:, 1], 0.0) / 255.0) * 256.0 - 128.0,
                            v[:, 2] / 0.99609375 - 128.0])


def fill_reference(samples, steps, clip, border):
    """The C++ fill with the same models: the grid in buffer order, then (count, start, end) per
    lab_to_process call, then the number of colours converted back."""
    return reference("lab_table_fill", *steps, int(clip), border, values=samples)


def test_lab_table_fill_matches_the_cpp_fill_and_forwards_progress():
    rng = np.random.default_rng(4)
    samples = np.column_stack([rng.uniform(20, 90, 300), rng.uniform(-60, 60, (300, 2))])
    for clip, border in [(True, 2), (False, 1)]:
        table = velmora.LabToProcTable(3, 8, 16, 16, 2)
        grid = table.grid  # a view taken before the fill sees the filled values
        progress, sizes = [], []

        def to_process(lab):
            sizes.append(len(lab))
            assert lab.dtype == np.float64 and lab.shape[1] == 3
            return lab_to_process(lab)

        table.fill(samples, to_process, process_to_lab, clip_to_hull=clip, border_width=border,
                   progress=lambda start, end: progress.append((start, end)))
        expected = fill_reference(samples, (8, 16, 16, 2), clip, border)
        points = table.grid.size
        np.testing.assert_array_equal(buffer_order(grid), expected[:points])
        calls = expected[points:-1].reshape(-1, 3)
        assert len(calls) == 3 and calls[-1, 2] == 1.0
        np.testing.assert_array_equal(progress, calls[:, 1:])
        assert sizes == [int(c) for c in calls[:, 0] if c > 0]
        assert sizes[0] == 9 ** 3 and expected[-1] > 0


def test_a_model_exception_leaves_the_lab_table_unchanged():
    rng = np.random.default_rng(9)
    samples = np.column_stack([rng.uniform(20, 90, 200), rng.uniform(-60, 60, (200, 2))])
    table = velmora.LabToProcTable(3, 8, 16, 16, 2)
    table.grid[...] = rng.uniform(0, 255, table.grid.shape)
    before = table.grid.copy()
    calls = []

    def second_call_fails(lab):
        calls.append(len(lab))
        if len(calls) == 2:
            raise ModelFailure("outside the gamut")
        return lab_to_process(lab)

    with pytest.raises(ModelFailure, match="outside the gamut"):
        table.fill(samples, second_call_fails, process_to_lab)
    assert len(calls) == 2
    np.testing.assert_array_equal(table.grid, before)
    with pytest.raises(KeyError):
        table.fill(samples, lab_to_process, lambda p: {}["no"])

    def cancel(start, end):
        raise RuntimeError("stop")

    with pytest.raises(RuntimeError, match="stop"):
        table.fill(samples, lab_to_process, process_to_lab, progress=cancel)
    with pytest.raises(ValueError, match=r"lab_to_process must return an array of shape \(729, 3\)"
                       r", got \(729, 2\)"):
        table.fill(samples, lambda lab: lab_to_process(lab)[:, :2], process_to_lab)
    with pytest.raises(ValueError, match="process_to_lab must return"):
        table.fill(samples, lab_to_process, lambda p: p[:, :2])
    np.testing.assert_array_equal(table.grid, before)

    # Usable afterwards, with the results of a fill that never failed.
    table.fill(samples, lab_to_process, process_to_lab)
    np.testing.assert_array_equal(buffer_order(table.grid),
                                  fill_reference(samples, (8, 16, 16, 2), True, 2)[:before.size])

    with pytest.raises(ValueError, match="coarse"):
        velmora.LabToProcTable(3, 8, 16, 16, 1).fill(samples, lab_to_process, process_to_lab)
    with pytest.raises(ValueError, match="shape"):
        table.fill(samples[:, :2], lab_to_process, process_to_lab)
    with pytest.raises(TypeError, match="callable"):
        table.fill(samples, None, process_to_lab)
    with pytest.raises(ValueError):
        velmora.LabToProcTable(0, 4, 8, 8, 4)
    with pytest.raises(ValueError):
        velmora.LabToProcTable(3, 4, 8, 8, 40)
    with pytest.raises(ValueError, match=r"\(\.\.\., 3\)"):
        table.interpolate(np.zeros((4, 2)))
    with pytest.raises(TypeError, match="float32"):
        table.interpolate(np.zeros((4, 3)), out=np.zeros((4, 3)))


def test_threads_interpolate_one_lab_table_at_once():
    rng = np.random.default_rng(2)
    table = velmora.LabToProcTable(4, 4, 8, 8, 4)
    table.grid[...] = rng.uniform(0, 255, table.grid.shape)
    lab = lab_colours(rng, 400000)
    expected = table.interpolate(lab)
    results, errors = run_in_threads(2, lambda i: table.interpolate(lab))
    assert not errors
    for result in results:
        np.testing.assert_array_equal(result, expected)
    released, result = releases_the_gil(lambda: table.interpolate(np.tile(lab, (5, 1))))
    assert released
    np.testing.assert_array_equal(result, np.tile(expected, (5, 1)))


# ---- hyper-cube --------------------------------------------------------------------------------


LOW = velmora.BlackLevelCube((5.0, 5.0, 5.0), 5.0, (15.0, 15.0, 15.0))
HIGH = ((10.0, 10.0, 10.0), 10.0, (5.0, 5.0, 5.0))


def corners():
    """The 16 corners of the moving box: coordinates (16, 4) and normalised positions."""
    unit = np.array([[(k >> 0) & 1, (k >> 1) & 1, (k >> 2) & 1, (k >> 3) & 1] for k in range(16)],
                    dtype=np.float64)
    return box_point(unit), unit


def box_point(n):
    """Input coordinates of normalised positions n (..., 4) between LOW and HIGH."""
    t = n[..., 3:4]
    origin = (1 - t) * 5.0 + t * 10.0
    size = (1 - t) * 15.0 + t * 5.0
    return np.concatenate([origin + n[..., :3] * size, 5.0 + 5.0 * t], axis=-1)


def cube_values(coordinates, values, inputs):
    """The C++ interpolation of inputs by a cube over LOW, HIGH with A = (coordinates, values)
    and B = one interior correction."""
    b = np.array([[11.0, 12.0, 7.0, 11.0, 12.0, 13.0, 7.0]])
    data = np.concatenate([[5, 5, 5, 5, 15, 15, 15, 10, 10, 10, 10, 5, 5, 5], [len(values)],
                           np.column_stack([values, coordinates]).ravel(), [1], b.ravel(),
                           inputs.ravel()])
    return reference("hypercube_interpolate", values=data).reshape(-1, 3)


def test_hypercube_matches_the_cpp_calls_and_reproduces_linear_values():
    rng = np.random.default_rng(6)
    coordinates, unit = corners()
    values = rng.normal(size=(16, 3)) * 10
    correction = ([[11.0, 12.0, 13.0, 7.0]], [[11.0, 12.0, 7.0]])
    cube = velmora.HyperCube(LOW, HIGH, coordinates, values, *correction)
    assert cube.high.origin == (10.0, 10.0, 10.0) and cube.low.level == 5.0
    inputs = box_point(rng.uniform(-0.1, 1.1, (5000, 4)))
    inputs[0] = [np.nan, 7, 7, 7]
    got = cube.interpolate(inputs)
    assert got.shape == (5000, 3) and got.dtype == np.float64
    np.testing.assert_array_equal(got, cube_values(coordinates, values, inputs))
    # Stored points come back at their own positions.
    np.testing.assert_allclose(cube.interpolate(coordinates), values, atol=1e-12)
    np.testing.assert_allclose(cube.interpolate([11.0, 12.0, 13.0, 7.0]), [11.0, 12.0, 7.0])

    # Values linear in the normalised coordinates are reproduced everywhere inside.
    linear = np.array([[1.0, 2.0, 0.5], [-1.0, 0.0, 3.0], [0.5, 0.5, 0.5], [2.0, -2.0, 1.0]])
    cube = velmora.HyperCube(LOW, HIGH, coordinates, unit @ linear)
    n = rng.uniform(0, 1, (4000, 4))
    np.testing.assert_allclose(cube.interpolate(box_point(n)), n @ linear, atol=1e-9)
    out = np.zeros((40, 100, 3))
    cube.interpolate(box_point(n).reshape(40, 100, 4), out=out)
    np.testing.assert_allclose(out.reshape(-1, 3), n @ linear, atol=1e-9)

    results, errors = run_in_threads(2, lambda i: cube.interpolate(box_point(n)))
    assert not errors
    for result in results:
        np.testing.assert_array_equal(result, cube.interpolate(box_point(n)))

    with pytest.raises(ValueError, match="different black levels"):
        velmora.HyperCube(LOW, LOW, coordinates, values)
    with pytest.raises(ValueError, match="16 points but a_values 15"):
        velmora.HyperCube(LOW, HIGH, coordinates, values[:15])
    with pytest.raises(ValueError, match="together"):
        velmora.HyperCube(LOW, HIGH, coordinates, values, coordinates)
    with pytest.raises(TypeError, match="BlackLevelCube"):
        velmora.HyperCube(5.0, HIGH, coordinates, values)
    with pytest.raises(ValueError, match=r"\(\.\.\., 4\)"):
        cube.interpolate(np.zeros((3, 3)))
