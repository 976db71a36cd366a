"""ClusterGroup from NumPy: measured (Lab, device) pairs in, device values and inside tests out."""

import copy
import os
import threading

import numpy as np
import pytest

import velmora
from conftest import releases_the_gil, run_in_threads
from reference import reference

GRID = dict(l=(0.0, 100.0, 1.0), a=(-128.0, 128.0, 1.0), b=(-128.0, 128.0, 1.0))
GRID_ARGS = [v for axis in ("l", "a", "b") for v in GRID[axis]]


def fogra39(data_dir):
    """Lab (1617, 3) and CMYK fractions (1617, 4) of the FOGRA39 characterisation data."""
    with open(os.path.join(data_dir, "FOGRA39L.ti3"), encoding="latin-1") as handle:
        text = handle.read()
    block = text.split("BEGIN_DATA\n")[1].split("END_DATA")[0]
    rows = np.array([line.split() for line in block.strip().splitlines()], dtype=float)
    return rows[:, 8:11], rows[:, 1:5] / 100.0


def lab_queries(count, seed):
    """Lab colours over the whole grid and a little beyond, as users bring them."""
    rng = np.random.default_rng(seed)
    return rng.uniform([-5.0, -110.0, -110.0], [105.0, 110.0, 110.0], size=(count, 3))


def reference_results(channels, points, device, queries, method, plane=()):
    values = np.concatenate([np.hstack([points, device]).ravel(), queries.ravel()])
    out = reference("cluster_group", channels, *GRID_ARGS, len(points), method, *plane,
                    values=values).reshape(len(queries), channels + 3)
    return out[:, :channels], out[:, channels], out[:, channels + 1], out[:, channels + 2]


def test_results_match_the_cpp_calls_on_fogra39(data_dir, velmora_log):
    lab, cmyk = fogra39(data_dir)
    group = velmora.ClusterGroup(4, capacity=len(lab), **GRID)
    group.add(lab, cmyk)
    assert len(group) == 1617
    # Random queries, a grid-ordered block, the patches themselves and two that fail or clamp.
    block = np.stack(np.meshgrid(np.arange(20.0, 90.0, 7.0), np.arange(-60.0, 60.0, 9.0),
                                 np.arange(-60.0, 60.0, 9.0), indexing="ij"), axis=-1)
    queries = np.concatenate([lab_queries(3000, 1), block.reshape(-1, 3), lab,
                              [[50.0, np.nan, 0.0], [150.0, 300.0, -300.0]]])
    for method, plane in (("free", ()), ("penalised", ()), ("plane", (0.0, 3.5, 1.0, 0.0)),
                          ("plane", (1.0, 8.0, -2.0, 0.0))):
        result = group.interpolate(queries, method=method, plane=plane or None)
        dev, dist, status, inside = reference_results(4, lab, cmyk, queries, method, plane)
        np.testing.assert_array_equal(result.status, status.astype(np.int32))
        ok = status == 0
        assert ok.sum() == len(queries) - 1  # the NaN query fails, the far one is clamped
        np.testing.assert_array_equal(result.device[ok], dev[ok])
        np.testing.assert_array_equal(result.distance[ok], dist[ok])
        assert np.isnan(result.device[~ok]).all() and np.isnan(result.distance[~ok]).all()
    np.testing.assert_array_equal(group.inside(queries), inside.astype(bool))
    assert 0.05 < inside.mean() < 0.6
    assert not velmora_log.records  # nothing reported on the way


def test_an_affine_device_model_is_reproduced_inside_grid_ordered_data():
    axes = np.arange(10.0, 91.0, 5.0), np.arange(-60.0, 61.0, 5.0), np.arange(-60.0, 61.0, 5.0)
    nodes = np.stack(np.meshgrid(*axes, indexing="ij"), axis=-1).reshape(-1, 3)
    slope = np.array([[0.008, 0.001, -0.002], [0.0, 0.004, 0.001], [-0.001, 0.0, 0.003]])
    offset = np.array([-0.05, 0.3, 0.4])

    def model(lab):
        return lab @ slope.T + offset

    group = velmora.ClusterGroup(3, capacity=len(nodes), **GRID)
    group.add(nodes, model(nodes))
    # Queries on the Lab grid's nodes (integer Lab, as 8-bit encodings give) lie in the
    # tetrahedron of their octants' nearest points and get the model's values.
    rng = np.random.default_rng(3)
    queries = rng.integers([12, -58, -58], [88, 58, 58], size=(4000, 3)).astype(float)
    # Between nodes the nearest tetrahedron may miss the query by up to half a cell; the
    # device values are then the model's at the projected point, as far off as it moved.
    between = rng.uniform([12.0, -58.0, -58.0], [88.0, 58.0, 58.0], size=(4000, 3))
    for method, plane in (("free", None), ("penalised", None), ("plane", (0.0, 1.0, 0.5, 0.0)),
                          ("plane", (0.5, 6.0, 2.0, 0.0)), ("plane", (0.0, 3.0, 2.0, 0.0))):
        device, distance, status = group.interpolate(queries, method=method, plane=plane)
        assert (status == 0).all() and (distance == 0.0).all(), method
        np.testing.assert_allclose(device, model(queries), atol=1e-7, err_msg=method)
        device, distance, status = group.interpolate(between, method=method, plane=plane)
        error = np.abs(device - model(between)).max(axis=-1)
        assert (status == 0).all() and (distance <= 0.0).all() and (distance > -0.87).all()
        if method != "penalised":  # which reports 0 for a query within 0.25 of its tetrahedron
            assert (error <= np.linalg.norm(slope, 2) * -distance + 1e-7).all(), method
    assert group.inside(queries).all()
    # Beyond the data the query is projected onto it: the distance tells how far it moved.
    device, distance, status = group.interpolate([[95.0, 0.0, 0.0], [50.0, 70.0, 0.0]])
    np.testing.assert_allclose(distance, [-5.0, -10.0], atol=1e-4)
    np.testing.assert_allclose(device, model(np.array([[90.0, 0, 0], [50.0, 60.0, 0]])),
                               atol=2e-6)
    assert not group.inside([[95.0, 0.0, 0.0], [50.0, 70.0, 0.0]]).any()


def test_batches_keep_their_shape_layout_and_the_callers_arrays():
    lab = lab_queries(2000, 4)
    group = velmora.ClusterGroup(2, **GRID)
    original = lab.copy()
    group.add(lab, lab[:, 1:] / 256.0 + 0.5)
    np.testing.assert_array_equal(lab, original)  # clamping happens on copies
    image = lab_queries(24 * 32, 5).reshape(24, 32, 3)
    flat = group.interpolate(image.reshape(-1, 3))
    result = group.interpolate(image)
    assert result.device.shape == (24, 32, 2) and result.distance.shape == (24, 32)
    assert result.status.dtype == np.int32 and result.device.dtype == np.float64
    np.testing.assert_array_equal(result.device.reshape(-1, 2), flat.device)
    # Strided, Fortran-ordered and float32 inputs give the results of their float64 copies.
    strided = np.zeros((24, 32, 6))[:, :, ::2]
    strided[...] = image
    np.testing.assert_array_equal(group.interpolate(strided).device, result.device)
    np.testing.assert_array_equal(group.interpolate(np.asfortranarray(image)).device,
                                  result.device)
    single = image.astype(np.float32)
    np.testing.assert_array_equal(group.interpolate(single).device,
                                  group.interpolate(single.astype(np.float64)).device)
    # out= receives the device values; a single point gives NumPy scalars beside them.
    out = np.empty((24, 32, 2))
    assert group.interpolate(image, out=out).device is out
    np.testing.assert_array_equal(out, result.device)
    one = group.interpolate(image[3, 4])
    assert one.device.shape == (2,) and np.isscalar(one.distance) and np.isscalar(one.status)
    np.testing.assert_array_equal(one.device, result.device[3, 4])
    assert isinstance(group.inside(image[3, 4]), np.bool_)
    # Queries beyond the grid limits are answered as their clamped copies.
    far = np.array([[-20.0, 200.0, -50.0], [130.0, 0.0, -400.0]])
    np.testing.assert_array_equal(group.interpolate(far).device,
                                  group.interpolate([[0.0, 128.0, -50.0], [100.0, 0.0, -128.0]])
                                  .device)


def test_bad_arguments_are_refused_with_clear_errors():
    group = velmora.ClusterGroup(3, **GRID)
    with pytest.raises(velmora.Error, match="no points"):
        group.interpolate([50.0, 0.0, 0.0])
    assert not group.inside([50.0, 0.0, 0.0])
    lab = lab_queries(100, 6)
    device = np.full((100, 3), 0.5)
    for bad_lab, bad_device, error, message in (
        (lab[:, :2], device, ValueError, r"lab must have shape \(\.\.\., 3\), got \(100, 2\)"),
        (lab, device[:99], ValueError, "same points"),
        (lab, device[:, :2], ValueError, r"device must have shape \(\.\.\., 3\)"),
        (np.where(np.arange(100)[:, None] == 57, np.nan, lab), device, ValueError,
         r"lab\[57\] holds a NaN"),
        (lab, np.where(np.arange(100)[:, None] == 8, np.inf, device), ValueError,
         r"device\[8\] holds a value that is not finite"),
        (lab.astype(complex), device, TypeError, "lab must have dtype float64"),
        (lab, None, TypeError, "needs device values"),
    ):
        with pytest.raises(error, match=message):
            group.add(bad_lab, bad_device)
    assert len(group) == 0  # a refused call adds nothing
    group.add(lab, device)
    queries = lab_queries(10, 7)
    for kwargs, error, message in (
        (dict(method="nearest"), ValueError, "method must be"),
        (dict(method="plane"), ValueError, "needs plane"),
        (dict(plane=(1.0, 0.0, 0.0, 0.0)), ValueError, "only with method='plane'"),
        (dict(method="plane", plane=np.ones((9, 4))), ValueError, r"plane must have shape"),
        (dict(out=np.empty((10, 2))), ValueError, r"out must have shape \(10, 3\)"),
        (dict(out=np.empty((10, 3), np.float32)), TypeError, "out must be a NumPy array"),
    ):
        with pytest.raises(error, match=message):
            group.interpolate(queries, **kwargs)
    for args, kwargs, error, message in (
        ((9,), {}, ValueError, "device_channels must lie within 0 .. 8"),
        ((-1,), {}, ValueError, "device_channels"),
        ((3,), dict(l=(0.0, 100.0)), ValueError, r"l must be \(min, max, step\)"),
        ((3,), dict(a="abc"), TypeError, "a must be a sequence"),
        ((3,), dict(b=(0.0, 1e6, 1.0)), velmora.Error, "1 to 32767 nodes"),
        ((3,), dict(l=(0.0, 100.0, np.nan)), velmora.Error, "nodes per axis"),
    ):
        with pytest.raises(error, match=message):
            velmora.ClusterGroup(*args, **kwargs)
    # A store without device channels still answers inside tests.
    gamut = velmora.ClusterGroup(0, **GRID)
    gamut.add(lab)
    np.testing.assert_array_equal(gamut.inside(queries), group.inside(queries))
    assert gamut.interpolate(queries).device.shape == (10, 0)


def test_copies_are_independent(data_dir):
    lab, cmyk = fogra39(data_dir)
    group = velmora.ClusterGroup(4, **GRID)
    group.add(lab[:800], cmyk[:800])
    queries = lab_queries(2000, 8)
    before = group.interpolate(queries)
    twin = copy.deepcopy(group)
    assert len(twin) == 800 and twin.device_channels == 4 and twin.l == GRID["l"]
    twin.add(lab[800:], cmyk[800:])
    after = group.interpolate(queries)
    np.testing.assert_array_equal(after.device, before.device)
    np.testing.assert_array_equal(group.copy().interpolate(queries).device, before.device)
    full = velmora.ClusterGroup(4, **GRID)
    full.add(lab, cmyk)
    np.testing.assert_array_equal(twin.interpolate(queries).device,
                                  full.interpolate(queries).device)
    del group  # the copy owns its own points
    np.testing.assert_array_equal(twin.inside(queries), full.inside(queries))


def test_threads_query_one_group_at_once_without_the_gil(data_dir):
    lab, cmyk = fogra39(data_dir)
    group = velmora.ClusterGroup(4, **GRID)
    group.add(lab, cmyk)
    queries = lab_queries(60000, 9)
    released, interpolated = releases_the_gil(lambda: group.interpolate(queries))
    assert released
    released, inside = releases_the_gil(lambda: group.inside(queries))
    assert released
    expected = interpolated, inside
    results, errors = run_in_threads(
        2, lambda i: (group.interpolate(queries), group.inside(queries)))
    assert not errors
    for interpolated, inside in results:
        np.testing.assert_array_equal(interpolated.device, expected[0].device)
        np.testing.assert_array_equal(interpolated.distance, expected[0].distance)
        np.testing.assert_array_equal(inside, expected[1])

    # Adding while another thread queries waits for the query instead of racing it.
    extra = lab_queries(600, 10)
    answers = []
    done = threading.Event()

    def query():
        while not done.is_set():
            answers.append(group.interpolate(queries[:5000]).status)

    reader = threading.Thread(target=query)
    reader.start()
    for chunk in np.split(extra, 6):
        group.add(chunk, np.full((len(chunk), 4), 0.25))
    done.set()
    reader.join()
    assert len(group) == 1617 + 600 and answers and all((s == 0).all() for s in answers)
