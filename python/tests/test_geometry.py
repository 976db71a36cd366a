"""ConvexHull, TetraVolume and project_on_triangle from NumPy."""

import os
import pathlib

import numpy as np
import pytest

import velmora
from conftest import releases_the_gil, run_in_threads
from reference import reference


def fogra39_lab(data_dir):
    """The 1617 Lab values of the FOGRA39 characterisation data: a printer's gamut."""
    with open(os.path.join(data_dir, "FOGRA39L.ti3"), encoding="latin-1") as handle:
        text = handle.read()
    block = text.split("BEGIN_DATA\n")[1].split("END_DATA")[0]
    return np.array([line.split() for line in block.strip().splitlines()], dtype=float)[:, 8:11]


def lab_queries(count, seed):
    rng = np.random.default_rng(seed)
    return rng.uniform([-5.0, -100.0, -100.0], [105.0, 100.0, 110.0], size=(count, 3))


def grid_box(step=10.0):
    """A grid-ordered box of Lab points: L 0..100, a and b -50..50."""
    axes = np.arange(0.0, 100.1, step), np.arange(-50.0, 50.1, step), np.arange(-50.0, 50.1, step)
    return np.stack(np.meshgrid(*axes, indexing="ij"), axis=-1).reshape(-1, 3)


def test_hull_and_volume_match_the_cpp_calls_on_fogra39(data_dir, velmora_log):
    lab = fogra39_lab(data_dir)
    queries = np.concatenate([lab_queries(5000, 1), grid_box(7.0), lab])
    centre = np.array([50.0, 0.0, 0.0])
    segments = [(centre, centre + 150.0 * d) for d in np.random.default_rng(2).normal(size=(20, 3))]
    segments += [(np.array([-10.0, 0.0, 0.0]), np.array([110.0, 0.0, 0.0])),
                 (np.array([0.0, 200.0, 0.0]), np.array([100.0, 200.0, 0.0]))]

    hull = velmora.ConvexHull(lab)
    expected = reference("convex_hull", len(lab), values=np.concatenate([lab.ravel(),
                                                                          queries.ravel()]))
    assert expected[0] == 0 and len(hull) == 1617
    np.testing.assert_array_equal(hull.inside(queries), expected[1:].astype(bool))

    body = velmora.TetraVolume(lab)
    values = np.concatenate([lab.ravel(), np.ravel(segments), queries.ravel()])
    expected = list(reference("tetra_volume", len(lab), len(segments), values=values))
    assert body.volume() == expected.pop(0)
    assert body.volume(check_hidden=True) == expected.pop(0)
    count = int(expected.pop(0))
    tetrahedra = body.tetrahedra()
    assert tetrahedra.shape == (count, 4) and tetrahedra.dtype == np.int32
    np.testing.assert_array_equal(tetrahedra.ravel(), expected[:4 * count])
    del expected[:4 * count]
    assert (tetrahedra[:, 0] == 0).all() and tetrahedra.max() < len(lab)
    crossings = 0
    for a, b in segments:
        k = int(expected.pop(0))
        points = body.intersect(a, b)
        assert points.shape == (k, 3)
        np.testing.assert_array_equal(points.ravel(), expected[:3 * k])
        del expected[:3 * k]
        crossings += k
    assert crossings >= 20  # every ray from the centre leaves the body once
    assert body.intersect(*segments[-1]).shape == (0, 3)
    inside = body.inside(queries)
    np.testing.assert_array_equal(inside, np.array(expected, dtype=bool))
    assert 0.1 < inside.mean() < 0.6
    assert not velmora_log.records


def test_hull_and_volume_agree_away_from_the_surface(data_dir):
    # A grid-ordered box, whose answer is known, and a printer's gamut.
    box = velmora.ConvexHull(grid_box()), velmora.TetraVolume(grid_box())
    queries = lab_queries(20000, 3)
    margin = np.minimum.reduce([queries[:, 0], 100.0 - queries[:, 0], 50.0 - np.abs(queries[:, 1]),
                                50.0 - np.abs(queries[:, 2])])
    away = np.abs(margin) > 0.05
    for solid in box:
        np.testing.assert_array_equal(solid.inside(queries)[away], margin[away] > 0)
    assert box[1].volume() == pytest.approx(100.0 * 100.0 * 100.0)

    lab = fogra39_lab(data_dir)
    hull, body = velmora.ConvexHull(lab), velmora.TetraVolume(lab)
    # A query whose hull answer holds at all eight corners of the cube of half-side 0.5 around
    # it lies at least 0.5 from the surface (inside) or nearly so (outside).
    corners = np.array(np.meshgrid([-0.5, 0.5], [-0.5, 0.5], [-0.5, 0.5])).reshape(3, -1).T
    answer = hull.inside(queries)
    stable = (hull.inside(queries[:, None, :] + corners) == answer[:, None]).all(axis=1)
    assert stable.mean() > 0.95 and answer[stable].sum() > 1000
    np.testing.assert_array_equal(body.inside(queries[stable]), answer[stable])
    # Every measured patch lies in its own gamut, within the tolerances.
    assert hull.inside(lab).all() and body.volume() > 0.0


def test_projection_matches_the_cpp_calls():
    rng = np.random.default_rng(4)
    triangles = [
        np.array([[50.0, 0.0, 0.0], [60.0, 40.0, 10.0], [30.0, -20.0, 60.0]]),
        np.array([[20.0, 5.0, 5.0], [80.0, 5.5, 5.0], [50.0, 5.2, 5.4]]),  # a thin one
        np.array([[10.0, 0.0, 0.0], [30.0, 10.0, 0.0], [90.0, 40.0, 0.0]]),  # collinear
        np.array([[0.0, 0.0, 0.0], [1e-21, 0.0, 0.0], [0.0, 100.0, 0.0]]),  # a side too short
    ]
    points = rng.uniform([0.0, -80.0, -80.0], [100.0, 80.0, 80.0], size=(3000, 3))
    directions = rng.normal(size=(3000, 3))
    directions[::50] = [1.0, 2.0, 0.0]  # parallel to the plane of the third and fourth
    for number, triangle in enumerate(triangles):
        for line in (False, True):
            if line:
                result = velmora.project_on_triangle(triangle, points, direction=directions)
                values = np.hstack([points, directions])
            else:
                result = velmora.project_on_triangle(triangle, points)
                values = points
            expected = reference("proj_on_triangle", "line" if line else "free",
                                 values=np.concatenate([triangle.ravel(), values.ravel()]))
            expected = expected.reshape(-1, 8)
            np.testing.assert_array_equal(result.status, expected[:, 7].astype(np.int32))
            ok = result.status == 0
            np.testing.assert_array_equal(result.point[ok], expected[ok, 0:3])
            np.testing.assert_array_equal(result.weights[ok], expected[ok, 3:6])
            np.testing.assert_array_equal(result.distance[ok], expected[ok, 6])
            assert np.isnan(result.point[~ok]).all() and np.isnan(result.weights[~ok]).all()
            if line:
                np.testing.assert_array_equal(result.distance[~ok], -1e20)
            else:
                assert (ok == (number != 3)).all()
                # The nearest point of the triangle, reproduced by its weights.
                weights, point = result.weights[ok], result.point[ok]
                np.testing.assert_allclose(weights @ triangle, point, atol=1e-9)
                np.testing.assert_allclose(weights.sum(axis=-1), 1.0, atol=1e-12)
                np.testing.assert_allclose(
                    result.distance[ok], np.linalg.norm(point - points[ok], axis=-1), atol=1e-9)
        if number >= 2:
            assert (result.status[::50] == -1).all()  # the parallel lines
    # One direction for every point, and a single point giving NumPy scalars.
    triangle = triangles[0]
    one = velmora.project_on_triangle(triangle, points, direction=[0.0, 0.0, 1.0])
    each = velmora.project_on_triangle(triangle, points, direction=np.tile([0.0, 0.0, 1.0],
                                                                            (3000, 1)))
    np.testing.assert_array_equal(one.point, each.point)
    single = velmora.project_on_triangle(triangle, triangle.mean(axis=0) + [0.0, 0.0, 3.0],
                                         direction=[0.0, 0.0, 1.0])
    assert np.isscalar(single.distance) and single.status == 0 and single.distance > 0.0
    np.testing.assert_allclose(single.weights, [1 / 3, 1 / 3, 1 / 3])


def test_bad_arguments_are_refused_with_clear_errors(tmp_path):
    box = grid_box()
    nan_row = box.copy()
    nan_row[17, 1] = np.nan
    big_row = box.copy()
    big_row[5, 2] = 1e100
    for solid in (velmora.ConvexHull, velmora.TetraVolume):
        with pytest.raises(ValueError, match=r"points\[17\] has a coordinate that is not finite"):
            solid(nan_row)
        with pytest.raises(ValueError, match=r"points\[5\]"):
            solid(big_row)
        with pytest.raises(ValueError, match=r"points must have shape \(\.\.\., 3\)"):
            solid(box[:, :2])
        with pytest.raises(velmora.Error, match="volume"):
            solid(box[box[:, 0] == 50.0])  # one plane
        with pytest.raises(TypeError, match="points must"):
            solid("points")
        assert solid(box).inside([50.0, 0.0, 0.0])
        assert isinstance(solid(box).inside([50.0, 0.0, 0.0]), np.bool_)
        assert not solid(box).inside([[np.nan, 0.0, 0.0], [50.0, np.inf, 0.0]]).any()
    with pytest.raises(velmora.Error, match="no volume"):
        velmora.ConvexHull(np.zeros((0, 3)))
    with pytest.raises(ValueError, match="at least four points, got 3"):
        velmora.TetraVolume(box[:3])
    body = velmora.TetraVolume(box)
    with pytest.raises(ValueError, match=r"a must have shape \(3,\)"):
        body.intersect(box[:2], box[0])
    with pytest.raises(ValueError, match=r"b must have shape"):
        body.intersect(box[0], [1.0, 2.0])
    with pytest.raises(ValueError, match=r"triangle must have shape \(3, 3\), got \(2, 3\)"):
        velmora.project_on_triangle(box[:2], box)
    with pytest.raises(ValueError, match=r"direction must have shape \(3,\) or \(1331, 3\)"):
        velmora.project_on_triangle(box[:3], box, direction=box[:5])
    missing = tmp_path / "missing" / "scene.wrl"
    with pytest.raises(FileNotFoundError, match="scene.wrl"):
        body.write_vrml(missing, tmp_path / "points.wrl")
    with pytest.raises(FileNotFoundError):
        body.dump(missing, [50.0, 0.0, 0.0])
    with pytest.raises(ValueError, match="viewpoint must have shape"):
        body.dump(tmp_path / "dump.txt", [50.0, 0.0])


def test_the_volume_writes_its_files():
    folder = pathlib.Path(os.environ.get("VELMORA_TEST_TMP", "."))
    body = velmora.TetraVolume(grid_box(25.0))
    body.write_vrml(folder / "geometry_faces.wrl", str(folder / "geometry_points.wrl"))
    faces = (folder / "geometry_faces.wrl").read_text()
    points = (folder / "geometry_points.wrl").read_text()
    assert faces.startswith("#VRML V2.0 utf8") and "IndexedFaceSet" in faces
    assert points.startswith("#VRML V2.0 utf8") and "PointSet" in points
    body.dump(folder / "geometry_dump.txt", [200.0, 0.0, 0.0])
    lines = (folder / "geometry_dump.txt").read_text().splitlines()
    assert len(lines) > 20 and all(len(line.split()) == 3 for line in lines)


def test_threads_test_one_body_at_once_without_the_gil(data_dir):
    lab = fogra39_lab(data_dir)
    hull, body = velmora.ConvexHull(lab), velmora.TetraVolume(lab)
    queries = lab_queries(600000, 5)
    triangle = lab[[0, 500, 1000]]
    calls = (hull.inside, body.inside,
             lambda points: velmora.project_on_triangle(triangle, points).point)
    expected = []
    for call in calls:
        released, result = releases_the_gil(lambda: call(queries))
        assert released
        expected.append(result)
    results, errors = run_in_threads(2, lambda i: [call(queries) for call in calls])
    assert not errors
    for result in results:
        for got, want in zip(result, expected):
            np.testing.assert_array_equal(got, want)
