"""The minimisers from Python: powell, powell_restricted and nelder_mead."""

import logging
import math
import pickle
import time

import numpy as np
import pytest

import velmora
from conftest import run_in_threads
from reference import reference


class Problem:
    """The reference program's objectives, operation for operation, counting their calls."""

    def __init__(self, name, data=()):
        self.name = name
        self.data = [float(v) for v in np.ravel(data)]
        self.calls = 0
        self.points = []

    def __call__(self, x):
        assert isinstance(x, np.ndarray) and x.dtype == np.float64
        self.calls += 1
        self.points.append(x)
        x = x.tolist()
        s = 0.0
        if self.name == "rosenbrock":
            for i in range(len(x) - 1):
                a = x[i + 1] - x[i] * x[i]
                b = 1.0 - x[i]
                s += 100.0 * a * a + b * b
        elif self.name == "lab_median":
            d = self.data
            for j in range(0, len(d), 3):
                dl, da, db = x[0] - d[j], x[1] - d[j + 1], x[2] - d[j + 2]
                s += math.sqrt(dl * dl + da * da + db * db)
        elif self.name == "ink_mix":
            d = self.data
            mix = [0.0, 0.0, 0.0]
            for i in range(len(x)):
                for c in range(3):
                    mix[c] += x[i] * d[3 + 3 * i + c]
            for c in range(3):
                e = mix[c] - d[c]
                s += e * e
        return s

    def packed(self):
        return [len(self.data), *self.data]


def lab_samples(count, seed):
    """Lab colours of a print gamut's size, in Lab units."""
    rng = np.random.default_rng(seed)
    return np.column_stack([rng.uniform(20.0, 95.0, count), rng.uniform(-60.0, 70.0, count),
                            rng.uniform(-50.0, 80.0, count)])


# Lab of cyan, magenta, yellow and a dark ink, mixed linearly in the ink_mix objective.
INKS = np.array([[55.0, -37.0, -50.0], [48.0, 74.0, -3.0], [89.0, -5.0, 93.0], [20.0, 0.5, 1.0]])


def mixing_rows(inks):
    """Weights that sum to 1 (one equality row) and are not negative (one row each)."""
    count = len(inks)
    return dict(ineq_rows=-np.eye(count), ineq_bounds=np.zeros(count),
                eq_rows=np.ones((1, count)), eq_values=[1.0])


def expect_same_run(result, expected, n, with_iterations=True):
    """result agrees to the bit with the reference output x, f, [iterations,] status, calls."""
    np.testing.assert_array_equal(result.x, expected[:n])
    assert result.f == expected[n]
    rest = expected[n + 1:].astype(int).tolist()
    if with_iterations:
        assert [result.iterations, result.status, result.evaluations] == rest
    else:
        assert [result.status, result.evaluations] == rest


@pytest.mark.parametrize("name, x0, data, ftol", [
    ("rosenbrock", [-1.2, 1.0], (), 1e-8),
    ("rosenbrock", [-1.0, 1.5, 0.5, -0.5], (), 1e-6),
    ("rosenbrock", [-1.2, 1.0], (), -1.0),            # never stops: the iteration limit
    ("lab_median", [50.0, 0.0, 0.0], lab_samples(300, 3), 1e-7),
])
def test_powell_matches_the_cpp_calls_on_the_same_objective(name, x0, data, ftol):
    f = Problem(name, data)
    result = velmora.powell(f, x0, ftol=ftol)
    expected = reference("condirmin", name, ftol, values=f.packed() + x0)
    expect_same_run(result, expected, len(x0))
    assert result.x_full is result.x and result.evaluations == f.calls
    if ftol < 0:
        assert (result.success, result.status, result.iterations) == (False, 0, 200)
        assert "condirmin: maxiter" in result.message
    else:
        assert result.success and result.status == 1
    if name == "rosenbrock" and len(x0) == 2 and ftol > 0:
        np.testing.assert_allclose(result.x, 1.0, atol=2e-3)
    if name == "lab_median":
        # The geometric median: the unit vectors towards the samples balance there.
        towards = data - result.x
        pull = (towards / np.linalg.norm(towards, axis=1, keepdims=True)).sum(axis=0)
        assert np.linalg.norm(pull) < 0.05
    x, f_min, *_ = result
    assert x is result.x and f_min == result.f
    assert pickle.loads(pickle.dumps(result))._asdict().keys() == result._asdict().keys()
    assert repr(result).startswith("MinimizeResult(x=array(")


@pytest.mark.parametrize("target", [
    [52.0, 10.0, 5.0],      # inside the inks' gamut
    [60.0, -70.0, -60.0],   # beyond cyan: weights hit their bounds
])
def test_powell_restricted_matches_the_cpp_calls_and_maps_the_free_variables(target):
    f = Problem("ink_mix", np.concatenate([target, INKS.ravel()]))
    rows = mixing_rows(INKS)
    x0 = [0.25, 0.25, 0.25]       # weights 1 .. 3; weight 0 is the dependent one
    result = velmora.powell_restricted(f, x0, ftol=1e-9, **rows)
    expected = reference(
        "condirmin_restr", "ink_mix", 1e-9, 4, 1, 4,
        values=f.packed() + [*rows["ineq_rows"].ravel(), *rows["ineq_bounds"], 1, 1, 1, 1, 1.0,
                             *x0])
    np.testing.assert_array_equal(result.x, expected[:3])
    assert [result.iterations, result.status] == expected[4:6].tolist() and result.success
    # One call more than the library made: f at the point returned.
    assert result.evaluations == f.calls == expected[6] + 1
    np.testing.assert_array_equal(f.points[-1], result.x_full)
    # Every call saw the full vector on the equality row; x_full is that vector at the minimum.
    assert all(len(p) == 4 and abs(p.sum() - 1.0) < 1e-12 for p in f.points)
    np.testing.assert_array_equal(result.x_full[1:], result.x)
    assert abs(result.x_full.sum() - 1.0) < 1e-12 and result.x_full.min() > -1e-8
    if target[1] < -60.0:
        # The run ended through an activation: the library's last value belongs to the line
        # search's end beyond the bound on the magenta weight, not to the point returned.
        assert np.count_nonzero(result.x_full < 1e-8) >= 2
        assert result.f == Problem("ink_mix", f.data)(result.x_full) != expected[3]
    else:
        assert result.f == expected[3]


def test_powell_restricted_free_variables_follow_the_library_choice():
    # x0 has coefficient 0 in the equality row, so x1 is dependent and x0, x2 are free.
    seen = []

    def f(x):
        seen.append(x)
        return (x[0] - 0.5) ** 2 + (x[1] - 0.25) ** 2 + (x[2] - 1.0) ** 2

    result = velmora.powell_restricted(f, [0.0, 0.0], eq_rows=[[0.0, 1.0, 1.0]],
                                       eq_values=[1.0])
    assert seen[0].tolist() == [0.0, 1.0, 0.0]   # x0 = (x0, x2), x1 = 1 - x2
    np.testing.assert_array_equal(result.x_full[[0, 2]], result.x)
    np.testing.assert_allclose(result.x_full, [0.5, 0.125, 0.875], atol=1e-6)
    # Without rows the free vector is the full vector; with every variable fixed nothing moves.
    plain = velmora.powell_restricted(lambda x: float(((x - 2.0) ** 2).sum()), [0.0, 0.0])
    np.testing.assert_allclose(plain.x, 2.0, atol=1e-6)
    fixed = velmora.powell_restricted(lambda x: float(x @ x), [], eq_rows=np.eye(2),
                                      eq_values=[3.0, 4.0])
    assert fixed.x.shape == (0,) and fixed.x_full.tolist() == [3.0, 4.0] and fixed.f == 25.0
    # A run that never meets its stopping rule ends at the iteration limit, as a result.
    limit = velmora.powell_restricted(f, [0.0, 0.0], eq_rows=[[0.0, 1.0, 1.0]],
                                      eq_values=[1.0], ftol=-1.0)
    assert (limit.success, limit.status, limit.iterations) == (False, 0, 200)
    assert "condirmin: maxiter" in limit.message
    np.testing.assert_allclose(limit.x_full, [0.5, 0.125, 0.875], atol=1e-6)


def test_powell_restricted_ends_quickly_with_many_inequalities():
    # Sixteen weights that sum to 1 and are not negative, the target on the boundary.
    target = np.zeros(16)
    target[:3] = [0.5, 0.3, 0.2]
    start = time.perf_counter()
    result = velmora.powell_restricted(lambda w: float(((w - target) ** 2).sum()),
                                       np.full(15, 1.0 / 16), **mixing_rows(np.zeros((16, 3))))
    assert time.perf_counter() - start < 2.0
    np.testing.assert_allclose(result.x_full, target, atol=1e-6)
    np.testing.assert_array_equal(result.x_full[1:], result.x)


@pytest.mark.parametrize("name, x0, data, tol, maxiter, simplex", [
    ("rosenbrock", [-1.2, 1.0], (), 0.0, 0, None),
    ("rosenbrock", [-1.0, 1.5, 0.5, -0.5], (), 1e-9, 5000, None),
    ("rosenbrock", [-1.2, 1.0], (), 0.0, 20, None),       # the iteration limit
    ("lab_median", [50.0, 0.0, 0.0], lab_samples(200, 5), 1e-6, 0,
     dict(step=[30.0, 20.0, 20.0], low=[0.0, -np.inf, -60.0], high=[60.0, np.nan, 10.0])),
    ("lab_median", [50.0, 0.0, 0.0], lab_samples(200, 6), 1e-6, 0, dict(step=5.0)),
])
def test_nelder_mead_matches_the_cpp_calls_on_the_same_objective(name, x0, data, tol, maxiter,
                                                                 simplex):
    f = Problem(name, data)
    result = velmora.nelder_mead(f, x0, tol=tol, maxiter=maxiter, **(simplex or {}))
    extra = []
    if simplex is not None:
        n = len(x0)
        step = np.broadcast_to(simplex["step"], n)
        low = np.asarray(simplex.get("low", [np.nan] * n))
        high = np.asarray(simplex.get("high", [np.nan] * n))
        bounded = "low" in simplex or "high" in simplex
        extra = [*step, *(np.isfinite(low) & bounded), *(np.isfinite(high) & bounded),
                 *np.nan_to_num(low), *np.nan_to_num(high)]
    expected = reference("dhsm_solve", name, tol, maxiter, int(simplex is not None),
                         values=f.packed() + x0 + extra)
    expect_same_run(result, expected, len(x0), with_iterations=False)
    assert result.iterations is None and result.evaluations == f.calls
    assert result.success == (maxiter != 20)
    assert result.message == ("converged" if result.success else "iteration limit reached")
    if simplex and "high" in simplex:
        # The start vertices (evaluated last first): b beyond its high pulled back towards its
        # low, a without bounds, L beyond its high pulled back towards its low.
        assert [p.tolist() for p in f.points[:3]] == [[50.0, 0.0, -6.0], [50.0, 20.0, 0.0],
                                                      [45.0, 0.0, 0.0]]


class Stop(Exception):
    """Raised by the objectives of the tests."""


MINIMISERS = {
    "powell": lambda f: velmora.powell(f, [-1.2, 1.0], ftol=1e-9),
    "powell_restricted": lambda f: velmora.powell_restricted(
        f, [0.3, 0.3], ineq_rows=-np.eye(3), ineq_bounds=np.zeros(3), eq_rows=[[1, 1, 1]],
        eq_values=[1.0]),
    # The largest iteration limit: the run must still end soon after f has failed.
    "nelder_mead": lambda f: velmora.nelder_mead(f, [-1.2, 1.0], maxiter=2 ** 31 - 1),
}


@pytest.mark.parametrize("minimiser", MINIMISERS)
@pytest.mark.parametrize("fail_at", [1, 2, 40])
def test_an_exception_in_the_objective_stops_the_minimisation_and_propagates(minimiser,
                                                                            fail_at):
    raised = Stop("objective gave up")
    calls = []

    def f(x):
        calls.append(x)
        if len(calls) == fail_at:
            raise raised
        return 100.0 * (x[1] - x[0] * x[0]) ** 2 + (0.2 - x[0]) ** 2 + x[2:].sum()

    start = time.perf_counter()
    with pytest.raises(Stop) as caught:
        MINIMISERS[minimiser](f)
    assert caught.value is raised
    assert len(calls) == fail_at
    assert time.perf_counter() - start < 0.5

    # A result that is not a number stops it as well, with a clear message.
    with pytest.raises(TypeError, match="objective must return a real number, got str"):
        MINIMISERS[minimiser](lambda x: "far")

    # The next minimisation on this thread runs normally.
    rosen = Problem("rosenbrock")
    again = velmora.powell(rosen, [-1.2, 1.0], ftol=1e-8)
    expect_same_run(again, reference("condirmin", "rosenbrock", 1e-8,
                                     values=rosen.packed() + [-1.2, 1.0]), 2)


def test_progress_lines_go_to_the_logger_at_debug(velmora_log):
    result = velmora.powell(Problem("rosenbrock"), [-1.2, 1.0])
    lines = [r for r in velmora_log.records if r.name == "velmora"]
    assert all(r.levelno == logging.DEBUG for r in lines)
    starts = [r.getMessage() for r in lines if r.getMessage().startswith("condirmin: iter=")]
    assert starts == [f"condirmin: iter= {i}" for i in range(1, result.iterations + 1)]
    directions = [r.getMessage() for r in lines if "-> meddE" in r.getMessage()]
    assert directions[0].startswith("  dir 0 -> meddE = ")
    assert len(directions) >= 2 * result.iterations


def test_minimisations_on_two_threads_are_independent():
    # Runs of different dimensions interleave (the objectives yield the GIL at every call): a
    # line-search state shared between the threads would mix their lines up.
    cases = [
        lambda f: velmora.powell(f, [-1.0, 1.5, 0.5, -0.5, 0.3], ftol=1e-7),
        lambda f: velmora.powell_restricted(f, [0.2, 0.2, 0.2], ftol=1e-9, **mixing_rows(INKS)),
        lambda f: velmora.nelder_mead(f, [50.0, 0.0, 0.0]),
    ]
    problems = [("rosenbrock", ()), ("ink_mix", np.concatenate([[52.0, 10.0, 5.0],
                                                               INKS.ravel()])),
                ("lab_median", lab_samples(60, 9))]
    alone = [run(Problem(*p)) for run, p in zip(cases, problems)]

    def yielding(problem):
        def f(x):
            time.sleep(0)
            return problem(x)
        return f

    results, errors = run_in_threads(
        len(cases), lambda i: cases[i](yielding(Problem(*problems[i]))))
    assert not errors
    for got, want in zip(results, alone):
        np.testing.assert_array_equal(got.x, want.x)
        assert (got.f, got.iterations, got.evaluations) == (want.f, want.iterations,
                                                            want.evaluations)


def test_an_objective_may_minimise_in_turn():
    # The outer variable a; the inner minimisation finds min over t of (t - a)^2 + (a - 3)^2.
    inner_runs = []

    def f(a):
        inner = velmora.powell(lambda t: (t[0] - a[0]) ** 2 + (a[0] - 3.0) ** 2, [0.0])
        inner_runs.append(inner)
        return inner.f

    result = velmora.powell(f, [0.0])
    assert result.x[0] == pytest.approx(3.0, abs=1e-3)
    assert all(r.success for r in inner_runs) and len(inner_runs) == result.evaluations


def test_bad_arguments_are_refused_with_clear_messages():
    f = Problem("rosenbrock")
    with pytest.raises(TypeError, match="f must be callable"):
        velmora.powell(3.0, [1.0, 2.0])
    with pytest.raises(ValueError, match=r"x0 must be a 1-D array, got shape \(2, 2\)"):
        velmora.powell(f, np.zeros((2, 2)))
    with pytest.raises(ValueError, match="at least one variable"):
        velmora.nelder_mead(f, [])
    with pytest.raises(TypeError, match="x0 must"):
        velmora.powell(f, ["a", "b"])
    rows = mixing_rows(INKS)
    with pytest.raises(ValueError, match="x0 must hold the 3 free variables"):
        velmora.powell_restricted(f, [0.25] * 4, **rows)
    with pytest.raises(ValueError, match="must be given together"):
        velmora.powell_restricted(f, [0.25] * 3, eq_rows=rows["eq_rows"])
    with pytest.raises(ValueError, match="one value per row of ineq_rows"):
        velmora.powell_restricted(f, [0.25] * 4, ineq_rows=rows["ineq_rows"],
                                  ineq_bounds=[0.0])
    with pytest.raises(ValueError, match="same number of columns"):
        velmora.powell_restricted(f, [0.25] * 2, ineq_rows=np.eye(3), ineq_bounds=np.ones(3),
                                  eq_rows=[[1.0, 1.0]], eq_values=[1.0])
    with pytest.raises(ValueError, match="more rows"):
        velmora.powell_restricted(f, [], eq_rows=np.ones((3, 2)), eq_values=np.ones(3))
    with pytest.raises(velmora.Error, match="linearly dependent"):
        velmora.powell_restricted(f, [0.0], eq_rows=[[1.0, 2.0, 3.0], [2.0, 4.0, 6.0]],
                                  eq_values=[1.0, 2.0])
    with pytest.raises(ValueError, match="maxiter must be >= 0"):
        velmora.nelder_mead(f, [1.0, 2.0], maxiter=-1)
    with pytest.raises(ValueError, match="give step too"):
        velmora.nelder_mead(f, [1.0, 2.0], high=[3.0, 3.0])
    with pytest.raises(ValueError, match="step must have 2 values, got 3"):
        velmora.nelder_mead(f, [1.0, 2.0], step=[1.0, 1.0, 1.0])
    assert f.calls == 0
