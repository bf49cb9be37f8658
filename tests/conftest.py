"""Shared test helpers."""

import os
import subprocess
import sys

import pytest

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_DIR = os.path.dirname(TESTS_DIR)

# Set by `make sanitize` to the sanitizer flags: the numeric layer and the
# extension modules are instrumented, the sanitizer runtime is preloaded.
SANITIZED = bool(os.environ.get("OMBRIX_SANITIZE"))


def library_stderr(text):
    """What the library printed on standard error, without the warnings the
    address sanitizer adds when an allocation fails."""
    return "".join(line for line in text.splitlines(keepends=True)
                   if not (SANITIZED and "AddressSanitizer failed to allocate" in line))


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
# Constraints on a decay a exp(-b x) + c fitted from about (1, 1, 0.1):
# c <= 0.3 binds (the free optimum has c near 0.5); a + c = 3 holds near the
# free optimum.
DECAY_CONSTRAINTS = {
    "none": {},
    "bounds": dict(bounds=([0.0, 0.0, -1.0], [10.0, 10.0, 0.3])),
    "eq": dict(eq=([[1.0, 0.0, 1.0]], [3.0])),
    "ineq": dict(ineq=([[0.0, 0.0, -1.0]], [-0.3])),
    "bounds+eq": dict(bounds=([0.0, 0.0, -1.0], [10.0, 10.0, 0.3]), eq=([[1.0, 0.0, 1.0]], [3.0])),
    "bounds+ineq": dict(bounds=([0.0, 0.0, -1.0], [10.0, 10.0, 10.0]), ineq=([[0.0, 0.0, -1.0]], [-0.3])),
}

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


class _NistResolution:
    """What a fit of a NIST problem can be held to, from its certified values.

    A solver accepts a step when the sum of squares falls; a point whose sum
    exceeds the minimum by less than the rounding noise cannot be told from
    it.  Within that band ||J (p - p*)||^2 <= noise, so parameter j may be off
    by the row norm of J+ (its certified standard deviation over the residual
    standard deviation) times sqrt(noise).  A difference Jacobian J + dJ
    moves the stationary point besides, by (J^T J)^-1 dJ^T r to first order.

    dJ, for the documented steps h_j = c max(|b_j|, |p0_j|), is the
    truncation of the quotient (h/2 times the second derivative forward,
    h^2/6 times the third central, both from differences of the analytic
    Jacobian) plus its rounding, 10 eps |f_i| / h_j (two model values of 5
    ulps each), independent from one quotient to the next: three standard
    deviations of their effect are counted."""

    def __init__(self, prob, start=None, diff=None):
        self.prob, b = prob, prob.certified
        self.J, f = prob.jacobian(b, prob.x), prob.model(b, prob.x)
        self.residuals = prob.y - f
        self.inverse = np.linalg.inv(self.J.T @ self.J)
        self.truncation = np.zeros_like(self.J)
        self.rounding = np.zeros_like(self.J)
        if diff is not None:
            p0 = prob.starts[start - 1]
            c = EPS ** (1 / 3) if diff == "central" else np.sqrt(EPS)
            h = c * np.maximum(np.abs(b), np.where(p0 != 0, np.abs(p0), 1.0))
            for j in range(b.size):
                up, down, d = self._jacobians_around(j)
                if diff == "central":
                    self.truncation[:, j] = h[j] ** 2 / 6 * (up - 2 * self.J + down)[:, j] / d ** 2
                else:
                    self.truncation[:, j] = h[j] / 2 * (up - down)[:, j] / (2 * d)
            self.rounding = 10 * EPS * np.outer(np.abs(f), 1 / h)

    def _jacobians_around(self, k):
        """The analytic Jacobian at the certified point moved by +-d along b_k."""
        b, d = self.prob.certified, 1e-4 * abs(self.prob.certified[k])
        up, down = b.copy(), b.copy()
        up[k] += d
        down[k] -= d
        return self.prob.jacobian(up, self.prob.x), self.prob.jacobian(down, self.prob.x), d

    def parameter_error(self):
        """Per parameter, how far from the certified value a fit may end."""
        prob, C = self.prob, self.inverse
        row_norms = prob.certified_sd / prob.residual_sd
        error = row_norms * np.sqrt(_chisq_noise(self.residuals, prob.y))
        shift = np.abs(C @ (self.truncation.T @ self.residuals))
        spread = np.sqrt((C ** 2) @ ((self.rounding ** 2).T @ self.residuals ** 2))
        return error + shift + 3 * spread

    def stderr_error(self):
        """Per parameter, the relative error of a standard error computed
        from the Jacobian (analytic, or by the same differences) at a point
        where a fit may end.  C = (J^T J)^-1 changes by -C (dJ^T J + J^T dJ) C
        for a change dJ of J, so C_jj by -2 w_j^T dJ u_j with u_j = C e_j and
        w_j = J u_j, and the standard error by half that relative to C_jj.
        dJ is the difference error plus dJ/db_k times each parameter's
        possible error (parameter_error).  All of it is first order: twice
        the sum allows for what that leaves out."""
        C = self.inverse
        moved = self.parameter_error()
        slopes = [(up - down) / (2 * d) for up, down, d in map(self._jacobians_around, range(C.shape[0]))]
        error = np.empty(C.shape[0])
        for j in range(C.shape[0]):
            u, w = C[:, j], self.J @ C[:, j]
            movement = sum(abs(w @ slope @ u) * dk for slope, dk in zip(slopes, moved))
            systematic = abs(w @ self.truncation @ u) + movement
            spread = np.sqrt((w ** 2) @ (self.rounding ** 2) @ (u ** 2))
            error[j] = (systematic + 3 * spread) / C[j, j]
        return 2 * error


def _resolved_digits(prob, start=None, diff=None):
    return -np.log10(_NistResolution(prob, start, diff).parameter_error() / np.abs(prob.certified))


def _stderr_digits(prob, start=None, diff=None):
    return -np.log10(_NistResolution(prob, start, diff).stderr_error())


@pytest.fixture(scope="session")
def resolved_digits():
    """resolved_digits(prob, start=None, diff=None): per parameter, the
    digits of NIST's certified values that a fit can be held to, with an
    analytic Jacobian or with differences `diff` ('forward', 'central') from
    `start` (see _NistResolution)."""
    return _resolved_digits


@pytest.fixture(scope="session")
def stderr_digits():
    """stderr_digits(prob, start=None, diff=None): the same for the
    certified standard deviations, from the Jacobian where a fit ends."""
    return _stderr_digits


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
