"""Shared test helpers."""

import os
import subprocess
import sys

import pytest

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_DIR = os.path.dirname(TESTS_DIR)


def run_isolated(code, timeout=120, env=None):
    """Run `code` in a fresh interpreter (for behaviour that ends the process).

    The tests directory is importable (``import capi``); `env` adds environment
    variables.  Returns the CompletedProcess with text stdout and stderr."""
    env = dict(os.environ, PYTHONPATH=TESTS_DIR, OPENBLAS_NUM_THREADS="1", **(env or {}))
    return subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=env, cwd=TESTS_DIR)


@pytest.fixture
def isolated():
    return run_isolated


# ---- models with known answers, for the tests of ombrix._ombrix ----

import numpy as np  # noqa: E402  (kept with the fixtures that use it)

# Tuning values under which the test problems converge to machine precision.
TUNING = {"mu": 1e-3, "eps1": 1e-15, "eps2": 1e-15, "eps3": 1e-20, "maxit": 200, "cdiff": False}


class Problem:
    """A model, its Jacobian, a start, exact data and the parameters that fit it."""

    def __init__(self, func, jacf, p0, x, answer):
        self.func, self.jacf = func, jacf
        self.p0, self.x, self.answer = p0, x, answer

    def kwargs(self, **overrides):
        """Keyword arguments of a fitting function for this problem (with its
        Jacobian), with `overrides` added or replacing them."""
        return {"func": self.func, "p": self.p0.copy(), "x": self.x, "args": (), "jacf": self.jacf, **TUNING,
                **overrides}


def _decay():
    t = np.linspace(0.0, 4.0, 20)

    def func(p):
        return p[0] * np.exp(-p[1] * t)

    def jacf(p):
        e = np.exp(-p[1] * t)
        return np.stack([e, -p[0] * t * e], axis=1)

    answer = np.array([3.0, 0.7])
    return Problem(func, jacf, np.array([1.0, 1.0]), func(answer), answer)


@pytest.fixture
def decay():
    """y = a exp(-b t) at 20 points, fitted from (1, 1) to exact data of (3, 0.7)."""
    return _decay()


@pytest.fixture
def rosenbrock():
    """Rosenbrock's function as two residuals, minimised at (1, 1) from (-1.2, 1)."""

    def func(p):
        return np.array([10.0 * (p[1] - p[0] ** 2), 1.0 - p[0]])

    def jacf(p):
        return np.array([[-20.0 * p[0], 10.0], [-1.0, 0.0]])

    return Problem(func, jacf, np.array([-1.2, 1.0]), np.zeros(2), np.array([1.0, 1.0]))


@pytest.fixture
def line():
    """The linear model p0 + p1 t at 5 points, exact data of (1, 2): a problem
    on which every fit, constrained or not, takes a known path."""
    t = np.arange(5.0)
    design = np.stack([np.ones_like(t), t], axis=1)
    return Problem(lambda p: design @ p, lambda p: design.copy(), np.array([0.0, 0.0]), design @ [1.0, 2.0],
                   np.array([1.0, 2.0]))


@pytest.fixture
def broken_after():
    """broken_after(model, calls, outcome): the model for its first `calls`
    calls (the probe counts), then `outcome` on every later call: raised when
    it is an exception, returned otherwise."""

    def make(model, calls, outcome):
        count = [0]

        def broken(p, *args):
            count[0] += 1
            if count[0] <= calls:
                return model(p, *args)
            if isinstance(outcome, BaseException):
                raise outcome
            return outcome(p) if callable(outcome) else outcome

        broken.count = count
        return broken

    return make


# ---- what a fit of a NIST problem can resolve ----

EPS = float(np.finfo(np.float64).eps)


def _chisq_noise(residuals, data):
    """The rounding noise of comparing two computed sums of squares near a
    minimum: each model value carries a few ulps of rounding (5 eps |y_i|),
    which moves r_i^2 by twice that times |r_i|, and a comparison holds two
    such sums."""
    return 20.0 * EPS * float(np.abs(residuals) @ np.abs(data))


def _difference_shift(prob, start, central):
    """Bound, per parameter, on how far a difference Jacobian J + dJ moves
    the stationary point from the certified one: (J^T J)^-1 dJ^T r.

    The documented steps are h_j = c max(|b_j|, |p0_j|).  dJ is the
    truncation of the quotient (h/2 times the second derivative forward,
    h^2/6 times the third central; both from differences of the analytic
    Jacobian) plus its rounding, up to 10 eps |f_i| / h_j (two model
    values of 5 ulps each)."""
    b, x = prob.certified, prob.x
    start = prob.starts[start - 1]
    h = (EPS ** (1 / 3) if central else np.sqrt(EPS)) * np.maximum(np.abs(b), np.where(start != 0, np.abs(start), 1))
    truncation = np.empty((x.size, b.size))
    for j in range(b.size):
        d = 1e-4 * abs(b[j])
        up, down = b.copy(), b.copy()
        up[j] += d
        down[j] -= d
        column_up, column, column_down = (prob.jacobian(q, x)[:, j] for q in (up, b, down))
        if central:
            truncation[:, j] = h[j] ** 2 / 6 * (column_up - 2 * column + column_down) / d ** 2
        else:
            truncation[:, j] = h[j] / 2 * (column_up - column_down) / (2 * d)
    J, f = prob.jacobian(b, x), prob.model(b, x)
    residuals = prob.y - f
    inverse = np.linalg.inv(J.T @ J)
    rounding = 10 * EPS * np.outer(np.abs(f), 1 / h)
    # the rounding of each quotient is independent of the others: three
    # standard deviations of their sum
    spread = np.sqrt((inverse ** 2) @ ((rounding ** 2).T @ residuals ** 2))
    return np.abs(inverse @ (truncation.T @ residuals)) + 3 * spread


def _resolved_digits(prob, start=None, diff=None):
    b = prob.certified
    residuals = prob.y - prob.model(b, prob.x)
    row_norms = prob.certified_sd / prob.residual_sd
    error = row_norms * np.sqrt(_chisq_noise(residuals, prob.y))
    if diff is not None:
        error = error + _difference_shift(prob, start, diff == "central")
    return -np.log10(error / np.abs(b))


@pytest.fixture(scope="session")
def resolved_digits():
    """resolved_digits(prob, start=None, diff=None): per parameter, the
    digits of NIST's certified values that a fit can be held to.

    A solver accepts a step when the sum of squares falls; a point whose sum
    exceeds the minimum by less than the rounding noise cannot be told from
    it.  Within that band, ||J (p - p*)||^2 <= noise, so parameter j may be
    off by the row norm of J+ (its certified standard deviation over the
    residual standard deviation) times sqrt(noise).  A difference Jacobian
    J + dJ moves the stationary point besides, by (J^T J)^-1 dJ^T r to first
    order; that shift is evaluated at the certified point for `diff`
    ('forward' or 'central') from the given start."""
    return _resolved_digits


@pytest.fixture(scope="session")
def chisq_noise():
    """chisq_noise(residuals, data): the rounding noise of comparing two
    computed sums of squares of `residuals` of `data`."""
    return _chisq_noise


class WeightedAnswer:
    """The weighted least-squares answer, and how closely a fit reaches it."""

    def __init__(self, p, covariance, rtol, cov_atol):
        self.p, self.covariance, self.rtol, self.cov_atol = p, covariance, rtol, cov_atol

    def assert_fit(self, p, covariance):
        """p to rtol; the covariance entry by entry on the scale of the
        standard errors, to cov_atol."""
        np.testing.assert_allclose(p, self.p, rtol=self.rtol)
        scale = np.sqrt(np.outer(np.diag(self.covariance), np.diag(self.covariance)))
        np.testing.assert_allclose(covariance / scale, self.covariance / scale, rtol=0, atol=self.cov_atol)


def _weighted_least_squares(model, jac, p0, y, sigma=None, absolute_sigma=False):
    """The weighted least-squares answer found independently: Gauss-Newton
    steps from `p0` to convergence on the residuals whitened by `sigma`
    (scalar, standard deviations, or a covariance matrix).

    The covariance is (J_w^T J_w)^-1, scaled by chi-square / dof unless
    `absolute_sigma`.  A fit that accepts steps by comparing sums of squares
    is held to p within sqrt(noise) / sigma_min of J_w with its columns
    scaled by |p| (rtol); its covariance comes from a Jacobian at such a
    point, or a difference Jacobian good to sqrt(eps) besides, and inverting
    J^T J amplifies a relative change of J by 2 kappa^2 (cov_atol)."""
    y = np.asarray(y, dtype=np.float64)
    sigma = np.ones_like(y) if sigma is None else np.asarray(sigma, dtype=np.float64)
    factor = np.linalg.cholesky(sigma) if sigma.ndim == 2 else np.diag(np.broadcast_to(sigma, y.shape))
    p = np.array(p0, dtype=np.float64)
    for _ in range(100):
        step = np.linalg.lstsq(np.linalg.solve(factor, jac(p)), np.linalg.solve(factor, y - model(p)), rcond=None)[0]
        p += step
        if np.all(np.abs(step) <= 1e-15 * np.abs(p)):
            break
    weighted_jac = np.linalg.solve(factor, jac(p))
    residuals = np.linalg.solve(factor, y - model(p))
    covariance = np.linalg.inv(weighted_jac.T @ weighted_jac)
    if not absolute_sigma:
        covariance *= residuals @ residuals / (y.size - p.size)
    singular_values = np.linalg.svd(weighted_jac * np.abs(p), compute_uv=False)
    rtol = np.sqrt(_chisq_noise(residuals, np.linalg.solve(factor, y))) / singular_values[-1]
    kappa = singular_values[0] / singular_values[-1]
    return WeightedAnswer(p, covariance, rtol, 2 * kappa ** 2 * (rtol + np.sqrt(EPS)))


@pytest.fixture(scope="session")
def weighted_least_squares():
    """weighted_least_squares(model, jac, p0, y, sigma=None, absolute_sigma=False)
    -> WeightedAnswer: see _weighted_least_squares."""
    return _weighted_least_squares
