"""Dense LU from Python: solve, det and inv against numpy.linalg."""

import numpy as np
import pytest

import velmora
from conftest import run_in_threads

# sRGB (D65) to XYZ, scaled to Lab-like units.
RGB_TO_XYZ = 100.0 * np.array([[0.4124, 0.3576, 0.1805], [0.2126, 0.7152, 0.0722],
                               [0.0193, 0.1192, 0.9505]])


def well_conditioned(n, seed):
    rng = np.random.default_rng(seed)
    return rng.normal(size=(n, n)) + n * np.eye(n) * rng.choice([-1.0, 1.0], size=n)


@pytest.mark.parametrize("a", [RGB_TO_XYZ, well_conditioned(50, 1), well_conditioned(200, 2),
                               np.random.default_rng(3).normal(size=(50, 50))],
                         ids=["rgb_to_xyz", "50", "200", "50_random"])
def test_solve_det_inv_agree_with_numpy(a):
    n = len(a)
    rng = np.random.default_rng(n)
    b = rng.uniform(0.0, 100.0, size=n)
    many = rng.uniform(-50.0, 50.0, size=(n, 7))
    cond = np.linalg.cond(a)
    tol = 1e-13 * cond
    x = velmora.solve(a, b)
    assert x.shape == (n,) and x.dtype == np.float64
    np.testing.assert_allclose(x, np.linalg.solve(a, b), rtol=tol, atol=tol * np.abs(x).max())
    xs = velmora.solve(a, many)
    assert xs.shape == (n, 7)
    np.testing.assert_allclose(a @ xs, many, atol=tol * np.abs(many).max() * 10)
    np.testing.assert_array_equal(xs[:, 3], velmora.solve(a, many[:, 3]))
    assert velmora.det(a) == pytest.approx(np.linalg.det(a), rel=1e-11 * n)
    inverse = velmora.inv(a)
    np.testing.assert_allclose(inverse @ a, np.eye(n), atol=tol * 10)
    # Layout and dtype do not matter: a transposed Fortran copy, a strided view, integers.
    np.testing.assert_array_equal(velmora.solve(np.asfortranarray(a), b), x)
    wide = np.zeros((n, 2 * n))
    wide[:, ::2] = a
    np.testing.assert_array_equal(velmora.inv(wide[:, ::2]), inverse)
    np.testing.assert_array_equal(velmora.solve(a, np.repeat(b, 3)[::3]), x)


def test_lab_scale_matrices_and_integer_input():
    xyz = velmora.solve(RGB_TO_XYZ, RGB_TO_XYZ @ [0.2, 0.5, 0.9])
    np.testing.assert_allclose(xyz, [0.2, 0.5, 0.9], rtol=1e-14)
    assert velmora.det([[2, 0, 0], [0, 3, 0], [0, 0, 4]]) == 24.0
    assert velmora.det([[0, 1], [1, 0]]) == -1.0        # one row interchange
    np.testing.assert_array_equal(velmora.inv([[2, 0], [0, 4]]), [[0.5, 0.0], [0.0, 0.25]])


def test_singular_matrices_raise_with_the_reason():
    zero_row = np.array([[1.0, 2.0, 3.0], [0.0, 0.0, 0.0], [4.0, 5.0, 6.0]])
    rank_two = np.array([[1.0, 2.0, 3.0], [2.0, 4.0, 6.0], [4.0, 5.0, 6.0]])
    with pytest.raises(velmora.Error, match="row of zeros"):
        velmora.solve(zero_row, [1.0, 2.0, 3.0])
    with pytest.raises(velmora.Error, match="pivot below 1e-20"):
        velmora.solve(rank_two, [1.0, 2.0, 3.0])
    for a in (zero_row, rank_two):
        with pytest.raises(velmora.Error, match="singular"):
            velmora.inv(a)
        assert velmora.det(a) == 0.0


def test_bad_arguments_are_refused_with_clear_messages():
    with pytest.raises(ValueError, match=r"square matrix .* got shape \(2, 3\)"):
        velmora.det(np.ones((2, 3)))
    with pytest.raises(ValueError, match=r"got shape \(2, 2, 2\)"):
        velmora.inv(np.ones((2, 2, 2)))
    with pytest.raises(ValueError, match=r"b must have shape \(3,\) or \(3, k\)"):
        velmora.solve(np.eye(3), [1.0, 2.0])
    with pytest.raises(ValueError, match="got shape"):
        velmora.solve(np.eye(3), np.ones((3, 1, 1)))
    with pytest.raises(TypeError, match="dtype float64"):
        velmora.solve(np.eye(2, dtype=complex), [1.0, 2.0])
    with pytest.raises(ValueError, match=r"n >= 1"):
        velmora.det(np.ones((0, 0)))


def test_solves_on_two_threads_give_the_results_of_one():
    systems = [(well_conditioned(300, s), np.arange(300.0) * s) for s in range(1, 7)]
    alone = [velmora.solve(a, b) for a, b in systems]
    results, errors = run_in_threads(
        len(systems), lambda i: [velmora.solve(*systems[i]) for _ in range(3)][-1])
    assert not errors
    for got, want in zip(results, alone):
        np.testing.assert_array_equal(got, want)
