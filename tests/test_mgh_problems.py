"""The More-Garbow-Hillstrom problems of bench/mgh.py: Jacobians, starts,
sizes and known minima, so that the benchmark measures the solvers and not
a mistyped problem."""

import os
import sys
import zlib

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import mgh  # noqa: E402

EPS = np.finfo(float).eps
PROBLEMS = mgh.problems()
IDS = [p.name for p in PROBLEMS]


def central_difference(residuals, x, h):
    """The difference Jacobian with steps h (one per variable) and the size
    of the largest residual that entered it (for the rounding part of its
    error: a small residual may be the difference of terms of that size)."""
    columns, size = [], 0.0
    for j in range(x.size):
        step = np.zeros_like(x)
        step[j] = h[j]
        ahead, behind = residuals(x + step), residuals(x - step)
        columns.append((ahead - behind) / (2 * h[j]))
        size = max(size, np.abs(ahead).max(), np.abs(behind).max())
    return np.column_stack(columns), size


def random_point(problem):
    """A reproducible point near x0, away from the start's special structure
    (zeros, equal or symmetric entries) where a wrong term can vanish."""
    rng = np.random.default_rng(zlib.crc32(problem.name.encode()))
    return problem.x0 + 0.05 * (1 + np.abs(problem.x0)) * rng.uniform(-1, 1, problem.n)


@pytest.mark.parametrize("problem", PROBLEMS, ids=IDS)
def test_jacobian_agrees_with_central_differences(problem):
    # The truncation error of a central difference is O(h^2): halving h cuts it
    # by 4, so |D(h) - D(2h)| estimates it (times 3); rounding adds about
    # eps max|f| / h.  A wrong entry is off by far more than either.
    for x in (problem.x0, random_point(problem)):
        h = EPS ** (1 / 3) * np.maximum(1.0, np.abs(x))
        fine, size = central_difference(problem.residuals, x, h)
        coarse, _ = central_difference(problem.residuals, x, 2 * h)
        jacobian = problem.jacobian(x)
        assert jacobian.shape == (problem.m, problem.n)
        tolerance = 10 * np.abs(fine - coarse) + 100 * EPS * (size / h + np.abs(jacobian))
        assert np.all(np.abs(jacobian - fine) <= tolerance), np.abs(jacobian - fine) - tolerance


WITH_MINIMISER = [p for p in PROBLEMS if p.minimiser is not None]


@pytest.mark.parametrize("problem", WITH_MINIMISER, ids=[p.name for p in WITH_MINIMISER])
def test_known_minimiser_gives_known_minimum(problem):
    f = problem.f(problem.minimiser)
    if problem.fstar == 0:
        # exact zeros up to the rounding of the residuals' terms
        scale = 1 + np.abs(problem.minimiser).max()
        assert f <= problem.m * (64 * EPS * scale * problem.n) ** 2
    elif problem.name.startswith("Jennrich"):
        # the paper prints the minimiser to 4 digits and f* to 6
        assert f == pytest.approx(problem.fstar, abs=5e-4)
    else:
        # f* of the linear problems is a closed form
        assert f == pytest.approx(problem.fstar, rel=1e-13)


def test_brown_almost_linear_other_minimum():
    problem = mgh.brown_almost_linear(10)
    x = np.zeros(10)
    x[-1] = 11
    assert problem.f(x) == 1.0 and problem.other_minima == (1.0,)


@pytest.mark.parametrize("n, nodes", [
    (2, [0.5 - 0.5 / np.sqrt(3), 0.5 + 0.5 / np.sqrt(3)]),
    (3, [0.5 - 0.5 / np.sqrt(2), 0.5, 0.5 + 0.5 / np.sqrt(2)]),
])
def test_chebyquad_vanishes_at_equal_weight_quadrature_nodes(n, nodes):
    # Chebyshev's equal-weight quadrature on [0, 1] integrates T_1..T_n exactly:
    # this checks the polynomials and their integrals, which differences cannot.
    assert mgh.chebyquad(n).f(np.array(nodes)) <= (10 * EPS) ** 2


def test_shifted_chebyshev_polynomials():
    x = np.linspace(0, 1, 7)
    values, _ = mgh._shifted_chebyshev(x, 10)
    expected = np.cos(np.arange(1, 11)[:, None] * np.arccos(2 * x - 1))
    np.testing.assert_allclose(values, expected, atol=1e-13)


# f(x0) by hand: Rosenbrock 10^2 (1 - 1.44)^2 + 2.2^2; helical valley 10^2 (10 * 1/2)^2;
# Powell 1 + 5 + 1 + 10 * 16; Freudenstein-Roth (-13 + 0.5 + 32)^2 + (-29 + 0.5 + 24)^2;
# linear full rank 5 * 1 + 5 * 4; linear rank 1 sum_i (15 i - 1)^2; Watson 29 * 1 + 0 + 1;
# Brown almost-linear 9 * 5.5^2 + (2^-10 - 1)^2.
SIZES_STARTS = [
    ("Rosenbrock", 2, 2, [-1.2, 1], 24.2),
    ("helical valley", 3, 3, [-1, 0, 0], 2500.0),
    ("Powell singular", 4, 4, [3, -1, 0, 1], 215.0),
    ("Freudenstein-Roth", 2, 2, [0.5, -2], 19.5 ** 2 + 4.5 ** 2),
    ("linear full rank n=5 m=10", 5, 10, [1] * 5, 25.0),
    ("linear rank 1 n=5 m=10", 5, 10, [1] * 5, 84985.0),
    ("Watson n=6", 6, 31, [0] * 6, 30.0),
    ("Brown almost-linear n=10", 10, 10, [0.5] * 10, 9 * 5.5 ** 2 + (2.0 ** -10 - 1) ** 2),
    ("Bard", 3, 15, [1, 1, 1], None),
    ("Kowalik-Osborne", 4, 11, [0.25, 0.39, 0.415, 0.39], None),
    ("Meyer", 3, 16, [0.02, 4000, 250], None),
    ("Box three-dimensional m=10", 3, 10, [0, 10, 20], None),
    ("Jennrich-Sampson m=10", 2, 10, [0.3, 0.4], None),
    ("Brown-Dennis m=20", 4, 20, [25, 5, -5, -1], None),
    ("Chebyquad n=8 m=8", 8, 8, np.arange(1, 9) / 9, None),
    ("Osborne 1", 5, 33, [0.5, 1.5, -1, 0.01, 0.02], None),
    ("Osborne 2", 11, 65, [1.3, 0.65, 0.65, 0.7, 0.6, 3, 5, 7, 2, 4.5, 5.5], None),
]


@pytest.mark.parametrize("name, n, m, x0, f0", SIZES_STARTS, ids=[row[0] for row in SIZES_STARTS])
def test_sizes_and_start(name, n, m, x0, f0):
    problem = next(p for p in PROBLEMS if p.name == name)
    assert (problem.n, problem.m) == (n, m)
    np.testing.assert_array_equal(problem.x0, x0)
    assert problem.residuals(problem.x0).shape == (m,)
    if f0 is not None:
        assert problem.f(problem.x0) == pytest.approx(f0, rel=1e-14)


def test_scaled_starts():
    rosenbrock, watson = mgh.rosenbrock(), mgh.watson(6)
    np.testing.assert_array_equal(rosenbrock.start(100), [-120, 100])
    np.testing.assert_array_equal(watson.start(10), np.full(6, 10.0))  # x0 = 0: the vector of 10s
    start = rosenbrock.start()
    start[0] = 7
    assert rosenbrock.x0[0] == -1.2  # a start is a copy

