"""The trust-region engine ?ombrix_solve: certified NIST fits, difference
Jacobians, non-finite trial points, covariance, robust losses, geodesic
acceleration, the abort hook and argument errors."""

import concurrent.futures
import ctypes
import math
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import capi
import ombrix
import engine_capi as engine
from engine_capi import solve
from conftest import REPO_DIR
from ombrix import nist

sys.path.insert(0, os.path.join(REPO_DIR, "bench"))
import mgh  # noqa: E402  (the More-Garbow-Hillstrom problems of the benchmark)

EPS = {"d": float(np.finfo(np.float64).eps), "s": float(np.finfo(np.float32).eps)}


def conditioning(prob):
    """Condition number of the column-scaled Jacobian at the certified values."""
    jac = prob.jacobian(prob.certified, prob.x)
    return float(np.linalg.cond(jac / np.linalg.norm(jac, axis=0)))


def nist_fit(prefix, name, start, jac=True, **options):
    prob = nist.load(name)
    with np.errstate(all="ignore"):  # far starts overflow the model on the way
        fit = solve(prefix, lambda b: prob.model(b.astype(np.float64), prob.x), prob.starts[start], y=prob.y,
                    jac=(lambda b: prob.jacobian(b.astype(np.float64), prob.x)) if jac else None, **options)
    return prob, fit, nist.lre(fit.p.astype(np.float64), prob.certified, prob.digits)


NIST_RUNS = [(name, start) for name in nist.problems() for start in (0, 1)]


# ---- certified results --------------------------------------------------------------

@pytest.mark.parametrize("geodesic", [0, 1], ids=["plain", "geodesic"])
@pytest.mark.parametrize("name,start", NIST_RUNS)
def test_nist_analytic_jacobian_reaches_certified_values(name, start, geodesic):
    # Rounding moves the parameters by about kappa^2 eps (the residuals are not
    # small); the certified values carry 11 digits, the last one rounded.
    prob, fit, lre = nist_fit("d", name, start, geodesic=geodesic)
    floor = min(prob.digits - 1, -math.log10(conditioning(prob) ** 2 * EPS["d"]) - 0.5)
    assert fit.ret == fit.status and fit.converged, fit.message
    assert lre.min() >= floor, (lre, floor)
    assert fit.chisq == pytest.approx(prob.certified_rss, rel=1e-9)


@pytest.mark.parametrize("name,start", NIST_RUNS)
def test_nist_in_float32_reaches_what_float32_resolves(name, start):
    prob, fit, lre = nist_fit("s", name, start)
    floor = max(0.0, -math.log10(conditioning(prob) ** 2 * EPS["s"]) - 0.5)
    assert fit.ret > 0 and fit.status not in (engine.INVALID_VALUES, engine.LINEAR_ALGEBRA, engine.ITERATION_LIMIT)
    assert lre.min() >= floor, (lre, floor)
    # Each float residual is off by a few ulp of |y|, the sum by n ulp; the
    # parameters by kappa ulp, which moves the model by about J dp.
    r = prob.y - prob.model(prob.certified, prob.x)
    resolution = EPS["s"] * (2 * 8 * np.sum(np.abs(r * prob.y)) + prob.n * prob.certified_rss)
    jac = prob.jacobian(prob.certified, prob.x)
    moved = conditioning(prob) * EPS["s"] * np.sum(np.linalg.norm(jac, axis=0) * np.abs(prob.certified))
    assert fit.chisq <= prob.certified_rss + resolution + moved ** 2


@pytest.mark.parametrize("differences", ["forward", "central", "forward_only"])
@pytest.mark.parametrize("name,start", NIST_RUNS)
def test_nist_difference_jacobians(name, start, differences):
    # A difference Jacobian is accurate to sqrt(eps) (forward) or eps^(2/3)
    # (central, also the final refinement of the default forward scheme); the
    # parameters inherit that times the conditioning.
    prob, fit, lre = nist_fit("d", name, start, jac=False, differences=differences)
    accuracy = EPS["d"] ** 0.5 if differences == "forward_only" else EPS["d"] ** (2 / 3)
    floor = min(prob.digits - 1, -math.log10(conditioning(prob) * accuracy) - 1)
    assert fit.converged, fit.message
    assert lre.min() >= floor, (lre, floor)
    assert fit.njev >= 1 and fit.nfev > fit.njev * prob.m


# ---- non-finite values ------------------------------------------------------------------

def test_boxbod_first_trial_overflows_and_the_fit_goes_on():
    prob = nist.load("BoxBOD")
    with np.errstate(all="ignore"):
        fit = solve("d", lambda b: prob.model(b, prob.x), prob.start1, y=prob.y,
                    jac=lambda b: prob.jacobian(b, prob.x), record=True)
        overflowed = [c for c in fit.calls if not np.isfinite(prob.model(c, prob.x)).all()]
    assert overflowed, "the start should send a trial point into overflow"
    assert fit.converged
    np.testing.assert_allclose(fit.p, prob.certified, rtol=1e-9)


T = np.linspace(0.0, 4.0, 30)
DECAY = np.array([5.0, 1.3, 0.5])


def decay(p):
    return p[0] * np.exp(-p[1] * T) + p[2]


def decay_jac(p):
    e = np.exp(-p[1] * T)
    return np.column_stack([e, -p[0] * T * e, np.ones_like(T)])


def test_non_finite_trial_points_are_rejected_and_the_fit_goes_on():
    # The model is undefined (NaN) for a negative rate; lightly damped steps
    # from this start cross zero.
    def guarded(p):
        return decay(p) if p[1] >= 0 else np.full_like(T, np.nan)

    fit = solve("d", guarded, [1.0, 5.0, 0.0], y=decay(DECAY), jac=decay_jac, record=True,
                initial_damping=1e-3)
    assert any(c[1] < 0 for c in fit.calls)
    assert fit.converged
    np.testing.assert_allclose(fit.p, DECAY, rtol=1e-10)


@pytest.mark.parametrize("n", [30, 3000], ids=["small", "large"])
def test_decay_with_noise_matches_linearised_statistics(n):
    # Small Jacobians are factorised by the engine's own Householder QR,
    # large ones by LAPACK: both must give the least-squares answer, checked
    # here by its defining property (J^T r = 0) and the covariance formula.
    t = np.linspace(0.0, 4.0, n)
    rng = np.random.default_rng(7)
    y = 5.0 * np.exp(-1.3 * t) + 0.5 + 0.01 * rng.standard_normal(n)

    def jac(p):
        e = np.exp(-p[1] * t)
        return np.column_stack([e, -p[0] * t * e, np.ones_like(t)])

    fit = solve("d", lambda p: p[0] * np.exp(-p[1] * t) + p[2], [1.0, 0.5, 0.0], y=y, jac=jac, covariance=True)
    assert fit.converged, fit.message
    J = jac(fit.p)
    r = y - (fit.p[0] * np.exp(-fit.p[1] * t) + fit.p[2])
    assert np.abs(J.T @ r).max() <= 1e-12 * np.linalg.norm(J) * np.linalg.norm(r)
    np.testing.assert_allclose(fit.cov, np.linalg.inv(J.T @ J) * (r @ r) / (n - 3), rtol=1e-8)


# A 2-D Gaussian on 5 x 5 pixels (amplitude, x0, y0, width, offset) with
# noise of the size of its offset: the residuals' curvature is large.
GX, GY = (a.ravel().astype(float) for a in np.meshgrid(np.arange(5), np.arange(5)))
GAUSS_TRUTH = np.array([10.0, 2.0, 2.0, 1.0, 1.0])


def gauss2d(p):
    return p[0] * np.exp(-((GX - p[1]) ** 2 + (GY - p[2]) ** 2) / (2 * p[3] ** 2)) + p[4]


def gauss2d_jac(p):
    dx, dy = GX - p[1], GY - p[2]
    e = np.exp(-(dx * dx + dy * dy) / (2 * p[3] ** 2))
    return np.column_stack([e, p[0] * e * dx / p[3] ** 2, p[0] * e * dy / p[3] ** 2,
                            p[0] * e * (dx * dx + dy * dy) / p[3] ** 3, np.ones_like(e)])


def noisy_gaussians(count):
    """(start, data) pairs: starts within 20 % of the truth, unit noise."""
    rng = np.random.default_rng(3)
    return [(GAUSS_TRUTH * rng.uniform(0.8, 1.2, 5), gauss2d(GAUSS_TRUTH) + rng.standard_normal(GX.size))
            for _ in range(count)]


def test_large_residual_fits_converge_faster_than_gauss_newton():
    # The residuals' curvature makes each Gauss-Newton step overshoot or fall
    # short by about a quarter, so Gauss-Newton alone needs about 25 steps to
    # reach the rounding level from these starts.  The secant estimate of
    # that curvature takes the fits there in far fewer, to the same minimum.
    evaluations = []
    for start, y in noisy_gaussians(100):
        fit = solve("d", gauss2d, start, y=y, jac=gauss2d_jac)
        assert fit.converged, fit.message
        J, r = gauss2d_jac(fit.p), y - gauss2d(fit.p)
        assert np.abs(J.T @ r).max() <= 1e-12 * np.linalg.norm(J) * np.linalg.norm(r)
        evaluations.append(fit.nfev)
    assert np.mean(evaluations) < 20


def test_a_loose_step_tolerance_converges_where_the_gradient_is_above_rounding():
    # With xtol = 1e-6 the fits stop a step or two before the rounding level,
    # where the gradient cosine is still about 1e-7: that is the stop asked
    # for (the undamped step is below the tolerance), not a stall, and the
    # parameters lie within the tolerance of the minimum.
    for start, y in noisy_gaussians(50):
        loose = solve("d", gauss2d, start, y=y, jac=gauss2d_jac, xtol=1e-6)
        assert loose.converged and loose.status == engine.SMALL_STEP, loose.message
        full = solve("d", gauss2d, start, y=y, jac=gauss2d_jac)
        D = np.linalg.norm(gauss2d_jac(full.p), axis=0)
        assert np.linalg.norm(D * (loose.p - full.p)) <= 1e-6 * np.linalg.norm(D * full.p)


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("where", ["model", "jacobian", "data"])
def test_values_invalid_everywhere_stop_with_the_invalid_status(prefix, where):
    model = (lambda p: np.full_like(T, np.nan)) if where == "model" else decay
    jac = (lambda p: np.full((len(T), 3), np.inf)) if where == "jacobian" else decay_jac
    y = decay(DECAY)
    if where == "data":
        y[4] = np.nan
    start = [1.0, 0.5, 0.0]
    fit = solve(prefix, model, start, y=y, jac=jac, covariance=True)
    assert fit.ret == fit.status == engine.INVALID_VALUES and not fit.converged
    assert "non-finite" in fit.message
    np.testing.assert_array_equal(fit.p, np.array(start, dtype=capi.DTYPE[prefix]))
    assert (fit.nfev, fit.njev, fit.iterations) == (1, 1 if where == "jacobian" else 0, 0)
    assert np.isnan(fit.cov).all()


# ---- covariance ---------------------------------------------------------------------------

def test_covariance_reproduces_the_certified_standard_deviations():
    prob, fit, _ = nist_fit("d", "Misra1a", 1, covariance=True)
    assert fit.rank == 2
    np.testing.assert_allclose(np.sqrt(np.diag(fit.cov)), prob.certified_sd, rtol=1e-6)
    np.testing.assert_allclose(fit.cov, fit.cov.T, rtol=1e-12)


def test_rank_deficient_amplitude_gives_infinite_variances():
    # A * B is determined, A and B separately are not; the rate is.
    def model(p):
        return p[0] * p[1] * np.exp(-p[2] * T)

    def jac(p):
        e = np.exp(-p[2] * T)
        return np.column_stack([p[1] * e, p[0] * e, -p[0] * p[1] * T * e])

    rng = np.random.default_rng(3)
    y = 6.0 * np.exp(-0.8 * T) + 0.01 * rng.standard_normal(T.size)
    fit = solve("d", model, [1.0, 2.0, 0.5], y=y, jac=jac, covariance=True)
    assert fit.converged and fit.rank == 2
    assert fit.p[0] * fit.p[1] == pytest.approx(6.0, rel=1e-2)
    assert np.isinf(fit.cov[0, 0]) and np.isinf(fit.cov[1, 1])
    assert 0 < fit.cov[2, 2] < 1e-3
    assert np.isnan(fit.cov[0, 2]) and np.isnan(fit.cov[1, 0])


def test_weights_give_the_weighted_linear_least_squares_solution():
    x = np.linspace(0, 1, 12)
    A = np.column_stack([np.ones_like(x), x, x * x])
    y = 1.0 + 2.0 * x - 3.0 * x * x + np.sin(7 * x) * 0.1
    w = 1.0 / (0.05 + x)
    exact = np.linalg.lstsq(A * w[:, None], y * w, rcond=None)[0]
    fit = solve("d", lambda p: A @ p, [0.0, 0.0, 0.0], y=y, jac=lambda p: A, weights=w, covariance=True)
    assert fit.converged
    np.testing.assert_allclose(fit.p, exact, rtol=1e-12)
    chisq = float(np.sum((w * (y - A @ exact)) ** 2))
    assert fit.chisq == pytest.approx(chisq, rel=1e-12)
    expected_cov = np.linalg.inv((A * w[:, None]).T @ (A * w[:, None])) * chisq / (12 - 3)
    np.testing.assert_allclose(fit.cov, expected_cov, rtol=1e-9)


# ---- robust losses ------------------------------------------------------------------------

X_LINE = np.linspace(0.0, 10.0, 21)
LINE = np.array([2.0, 0.5])
Y_OUTLIER = LINE[0] + LINE[1] * X_LINE
Y_OUTLIER[7] += 100.0


def loss_rho(loss, z):
    return {"linear": z, "soft_l1": 2 * (np.sqrt(1 + z) - 1), "cauchy": np.log1p(z), "arctan": np.arctan(z),
            "huber": np.where(z <= 1, z, 2 * np.sqrt(z) - 1)}[loss]


LEAST_SQUARES_LINE = np.polynomial.polynomial.polyfit(X_LINE, Y_OUTLIER, 1)


def line_fit(loss, f_scale, start=(0.0, 0.0)):
    return solve("d", lambda p: p[0] + p[1] * X_LINE, start, y=Y_OUTLIER,
                 jac=lambda p: np.column_stack([np.ones_like(X_LINE), X_LINE]), loss=loss, f_scale=f_scale)


# From the least-squares line every residual lies beyond f_scale, where the
# rescaled Jacobian rows nearly vanish; the first steps bring some back.
@pytest.mark.parametrize("start", [(0.0, 0.0), LEAST_SQUARES_LINE], ids=["zero", "least-squares"])
@pytest.mark.parametrize("loss", ["soft_l1", "huber", "cauchy", "arctan"])
def test_robust_losses_ignore_a_gross_outlier(loss, start):
    fit = line_fit(loss, 0.1, start)
    assert fit.converged, fit.message
    # the outlier pulls with at most f_scale (soft_l1, huber) or f_scale^2 / r (cauchy, arctan)
    np.testing.assert_allclose(fit.p, LINE, atol=0.05 if loss in ("soft_l1", "huber") else 1e-3)
    # the reported value is the loss sum C^2 sum rho(r^2 / C^2) at the returned parameters
    r = Y_OUTLIER - (fit.p[0] + fit.p[1] * X_LINE)
    assert fit.chisq == pytest.approx(0.01 * np.sum(loss_rho(loss, (r / 0.1) ** 2)), rel=1e-10)


def test_linear_loss_is_pulled_by_the_outlier_and_huber_with_a_wide_scale_equals_it():
    linear = line_fit("linear", 1.0)
    exact = LEAST_SQUARES_LINE
    np.testing.assert_allclose(linear.p, exact, rtol=1e-12)
    assert abs(linear.p[0] - LINE[0]) > 1
    # every residual inside the quadratic zone: huber is the linear loss
    wide = line_fit("huber", 1e3)
    np.testing.assert_allclose(wide.p, exact, rtol=1e-12)
    assert wide.chisq == pytest.approx(linear.chisq, rel=1e-12)


# ---- geodesic acceleration, options ---------------------------------------------------------

def rosenbrock(p):
    return np.array([10.0 * (p[1] - p[0] ** 2), 1.0 - p[0]])


def rosenbrock_jac(p):
    return np.array([[-20.0 * p[0], 10.0], [-1.0, 0.0]])


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("geodesic", [0, 1])
def test_rosenbrock_curved_valley(prefix, geodesic):
    fit = solve(prefix, rosenbrock, [-1.2, 1.0], n=2, jac=rosenbrock_jac, geodesic=geodesic)
    assert fit.converged, fit.message
    np.testing.assert_allclose(fit.p, [1.0, 1.0], rtol=10 * EPS[prefix] ** 0.5)
    assert fit.initial_chisq == pytest.approx(24.2, rel=1e-6)


@pytest.mark.parametrize("central", [0, 1])
def test_difference_steps_stay_inside_the_given_bounds(central):
    # sqrt is undefined below 0; the start sits on a lower and an upper bound
    def model(p):
        return np.sqrt(p[0]) * X_LINE + p[1]

    with np.errstate(invalid="ignore"):
        fit = solve("d", model, [0.0, 2.0], y=1.5 * X_LINE + 2.0, lower=[0.0, -5.0], upper=[10.0, 2.0],
                    differences=["forward", "central"][central], max_iterations=1, record=True)
    differences = np.array(fit.calls[1:1 + 2 * (1 + central)])  # after the start, before the trial step
    assert fit.njev >= 1 and fit.status == engine.ITERATION_LIMIT
    assert (differences[:, 0] >= 0.0).all() and (differences[:, 1] <= 2.0).all()
    assert (differences != [0.0, 2.0]).any(axis=1).all()


def test_refusing_every_trial_point_leaves_p_and_reports_a_stall():
    fit = solve("d", decay, [1.0, 0.5, 0.0], y=decay(DECAY), jac=decay_jac, accept_point=lambda p: False)
    assert fit.status == engine.STALLED and not fit.converged
    np.testing.assert_array_equal(fit.p, [1.0, 0.5, 0.0])
    assert fit.nfev == 1


@pytest.mark.parametrize("limit,status", [("max_iterations", engine.ITERATION_LIMIT),
                                          ("max_evaluations", engine.EVALUATION_LIMIT)])
def test_limits(limit, status):
    fit = solve("d", decay, [1.0, 0.1, 0.0], y=decay(DECAY), jac=decay_jac, **{limit: 3})
    assert fit.status == status and not fit.converged
    assert (fit.iterations if limit == "max_iterations" else fit.nfev) == 3


@pytest.mark.parametrize("jac,differences", [(decay_jac, "forward"), (None, "forward"), (None, "central")],
                         ids=["analytic", "forward", "central"])
def test_abort_stops_at_the_evaluation_that_asks_for_it(jac, differences):
    # The flag is raised during the fourth model evaluation (as a binding does
    # when its callback raised); nothing is evaluated after it.
    calls = []

    def model(p):
        calls.append(p)
        return decay(p)

    fit = solve("d", model, [1.0, 0.1, 0.0], y=decay(DECAY), jac=jac, differences=differences,
                should_stop=lambda: len(calls) >= 4)
    assert fit.status == fit.ret == engine.ABORTED and not fit.converged
    assert len(calls) == fit.nfev == 4


def test_concurrent_fits_do_not_share_state():
    # ctypes releases the GIL around the C call: the fits interleave
    problems = [(name, start) for name in ("Misra1a", "Thurber", "MGH09", "Lanczos3") for start in (0, 1)]
    serial = [nist_fit("d", name, start)[1] for name, start in problems]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        parallel = list(pool.map(lambda args: nist_fit("d", *args)[1], problems))
    for one, other in zip(serial, parallel):
        np.testing.assert_array_equal(one.p, other.p)
        assert one.result == other.result


@pytest.mark.parametrize("jac", [decay_jac, None], ids=["analytic", "differences"])
@pytest.mark.parametrize("fill", [0.0, np.nan], ids=["zeros", "nan"])
def test_caller_workspace_gives_the_same_fit_whatever_it_holds(jac, fill):
    # A batch reuses one workspace for every fit without clearing it: a run
    # must write each part before it reads it (NaN would spread otherwise).
    size = capi.lib.dombrix_solve_workspace_size(3, len(T))
    assert size > 3 * len(T)
    y = decay(DECAY) + 0.01 * np.sin(7.0 * T)
    own = solve("d", decay, [1.0, 0.1, 0.0], y=y, jac=jac, covariance=True)
    given = solve("d", decay, [1.0, 0.1, 0.0], y=y, jac=jac, covariance=True, workspace=np.full(size, fill))
    np.testing.assert_array_equal(own.p, given.p)
    np.testing.assert_array_equal(own.cov, given.cov)
    assert own.result == given.result


@pytest.mark.parametrize("m,n", [(0, 5), (-1, 5), (3, 2)])
def test_workspace_size_of_an_impossible_problem(m, n):
    assert capi.lib.dombrix_solve_workspace_size(m, n) == -1


# ---- stopping rules ---------------------------------------------------------------------------

@pytest.mark.parametrize("scaling", list(engine.SCALINGS))
def test_shrinking_column_norms_do_not_stop_the_fit_far_from_the_minimum(scaling):
    # r = exp(p) - 1 from p = 40: the column norm falls by e^40 on the way to
    # the minimum p = 0, so a gradient test against the largest norm seen
    # would pass long before it.
    fit = solve("d", lambda p: np.exp(p) - 1.0, [40.0], n=1, jac=lambda p: np.exp(p).reshape(1, 1),
                scaling=scaling)
    assert fit.converged, fit.message
    assert abs(fit.p[0]) <= 1e-7 and fit.chisq <= 1e-14
    assert fit.scaled_gradient <= 1.0


def test_float32_close_fit_converges_where_the_gradient_cosine_is_rounding():
    # With ||r|| far below sqrt(eps) ||y|| the cosine between r and the
    # Jacobian's columns, computed from float32 residuals, is rounding of
    # about eps ||y|| / ||r||, above the analytic threshold sqrt(eps): the
    # same minimum ended as converged or as stalled by the last bits.
    model32 = lambda p: decay(p.astype(np.float64)).astype(np.float32)  # noqa: E731
    jac32 = lambda p: decay_jac(p.astype(np.float64)).astype(np.float32)  # noqa: E731
    for seed in range(8):
        y = (decay(DECAY) + 1e-4 * np.random.default_rng(seed).standard_normal(T.size)).astype(np.float32)
        fit = solve("s", model32, [5.2, 1.35, 0.45], y=y, jac=jac32)
        assert fit.converged, (seed, fit.message, fit.scaled_gradient)
        exact = solve("d", decay, DECAY, y=y.astype(np.float64), jac=decay_jac)
        np.testing.assert_allclose(fit.p, exact.p, rtol=1e-5)


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
def test_a_wrong_jacobian_still_stalls(prefix):
    # the rounding margin of the gradient test must not pass a gradient
    # that is plainly not zero
    dt = capi.DTYPE[prefix]
    wrong = lambda p: (decay_jac(p.astype(np.float64)) * [1.0, -1.0, 1.0]).astype(dt)  # noqa: E731
    fit = solve(prefix, lambda p: decay(p.astype(np.float64)).astype(dt), [1.0, 0.5, 0.0],
                y=decay(DECAY).astype(dt), jac=wrong)
    assert fit.status == engine.STALLED and not fit.converged, fit.message


def test_exact_data_stop_at_the_rounding_level_of_the_data():
    # y = model(p_true) exactly: chi-square cannot usefully fall below the
    # rounding of the data and model values, (eps ||w (|y| + |f|)||)^2, and
    # the run must end there with the zero-residual status.
    y = decay(DECAY)
    fit = solve("d", decay, [4.0, 1.0, 0.3], y=y, jac=decay_jac)
    assert fit.status == engine.ZERO_RESIDUAL and fit.converged, fit.message
    level = EPS["d"] * np.linalg.norm(np.abs(y) + np.abs(decay(fit.p)))
    assert fit.chisq <= level ** 2
    np.testing.assert_allclose(fit.p, DECAY, rtol=1e3 * EPS["d"])


def test_noisy_data_are_not_reported_as_zero_residual():
    rng = np.random.default_rng(7)
    y = decay(DECAY) + 1e-6 * rng.standard_normal(T.size)
    fit = solve("d", decay, [4.0, 1.0, 0.3], y=y, jac=decay_jac)
    assert fit.converged and fit.status != engine.ZERO_RESIDUAL, fit.message


@pytest.mark.parametrize("scaling", list(engine.SCALINGS))
def test_linear_problem_takes_a_gauss_newton_step_once_the_model_holds(scaling):
    # y = A p is fitted exactly by the undamped step: after one damped step
    # shows that the model holds (gain ratio 1), the next step is the
    # Gauss-Newton one and lands on the least-squares solution.
    A = np.vander(np.linspace(-1.0, 1.0, 12), 4)
    y = A @ [1.0, -2.0, 0.5, 3.0] + np.linspace(-0.1, 0.1, 12) ** 2
    fit = solve("d", lambda p: A @ p, [10.0, 10.0, 10.0, 10.0], y=y, jac=lambda p: A, scaling=scaling)
    assert fit.converged, fit.message
    expected = np.linalg.lstsq(A, y, rcond=None)[0]
    np.testing.assert_allclose(fit.p, expected, rtol=1e3 * EPS["d"] * np.linalg.cond(A))
    assert fit.njev <= 3


@pytest.mark.parametrize("size", [7, 9])
def test_column_scaling_forgets_the_steep_columns_of_a_far_start(size):
    # Chebyquad from 10 x0: the Jacobian's column norms at the start exceed
    # those near the zero-residual minimum by orders of magnitude.  With D the
    # running maximum of the norms, those columns stayed damped as at the
    # start, and the fit crawled for thousands of steps without reaching it.
    problem = next(p for p in mgh.problems() if p.name == f"Chebyquad n={size} m={size}")
    with np.errstate(all="ignore"):  # the far start overflows some trial points
        fit = solve("d", problem.residuals, problem.start(10), n=problem.m, jac=problem.jacobian,
                    max_evaluations=3000)
    assert fit.converged, fit.message
    assert fit.chisq <= 1e-20


# ---- argument errors ------------------------------------------------------------------------

@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("case,words", [
    (dict(m=0), "must be positive"),
    (dict(m=-2), "must be positive"),
    (dict(n=2), "fewer residuals"),
    (dict(p=None), "no parameter vector"),
    (dict(f=None), "no model function"),
    (dict(options=dict(f_scale=0.0)), "f_scale"),
    (dict(options=dict(jacobian_accuracy=-1e-8)), "jacobian_accuracy"),
    (dict(options=dict(jacobian_accuracy=1.0)), "jacobian_accuracy"),
    (dict(options=dict(difference_step=-1e-6)), "difference_step"),
    (dict(options=dict(loss=9)), "unknown loss"),
    (dict(options=dict(differences=3)), "difference scheme"),
    (dict(options=dict(xtol=-1.0)), "xtol"),
    (dict(options=dict(max_iterations=-1)), "limit"),
    (dict(options=dict(lower=[1.0, 1.0, 1.0], upper=[0.0, 2.0, 2.0])), "lower bound"),
    (dict(options=dict(upper=[1.0, np.nan, 1.0])), "NaN"),
    (dict(options=dict(typical=[1.0, np.inf, 1.0])), "typical"),
])
def test_bad_arguments_return_minus_one_with_a_message(prefix, case, words, capfd):
    dt = capi.DTYPE[prefix]
    real = capi.REAL[prefix]
    options = engine.default_options(prefix)
    keep = []
    for key, value in case.get("options", {}).items():
        if key in ("lower", "upper", "typical"):
            keep.append(np.array(value, dtype=dt))
            value = keep[-1].ctypes.data_as(ctypes.POINTER(real))
        setattr(options, key, value)
    p = np.array([1.0, 0.5, 0.0], dtype=dt)
    y = decay(DECAY).astype(dt)
    f = capi.callback(prefix, decay)
    result = engine.Result(status=-7)
    ret = capi.fn(prefix, "ombrix_solve")(None if "f" in case else f, None,
                                          None if "p" in case else capi.ptr(p), capi.ptr(y), None,
                                          case.get("m", 3), case.get("n", len(T)),
                                          ctypes.byref(options),
                                          ctypes.byref(result), None, None)
    assert ret == -1
    err = capfd.readouterr().err
    assert err.startswith(f"{prefix}ombrix_solve(): ") and words in err
    assert result.status == -7  # untouched
    np.testing.assert_array_equal(p, np.array([1.0, 0.5, 0.0], dtype=dt))


# ---- the C example ----------------------------------------------------------------------------

@pytest.mark.skipif(shutil.which("cc") is None, reason="no C compiler")
def test_c_example_builds_against_the_installed_library_and_fits(tmp_path):
    exe = tmp_path / "solve"
    lib = ombrix.get_lib_dir()
    subprocess.run(["cc", "-std=c99", "-Wall", "-Wextra", "-Werror", "-pedantic", f"{REPO_DIR}/examples/solve.c",
                    f"-I{ombrix.get_include()}", f"-L{lib}", "-lombrix", f"-Wl,-rpath,{lib}", "-lm", "-o", str(exe)],
                   check=True)
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
    # the example checks its fits against the known answer itself
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("analytic Jacobian:") and "soft_l1, differences:" in run.stdout
