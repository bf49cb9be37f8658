"""ombrix.fit on the trust-region engine: its statuses as Status, a stop by
the model's exception (BaseException too) through every path, and robust
losses with known answers."""

import numpy as np
import pytest

from ombrix import Status, fit

X = np.linspace(0.0, 3.0, 30)
TRUE = np.array([2.0, 0.5])


def decay(p):
    return p[0] * np.exp(-p[1] * X)


def decay_jac(p):
    e = np.exp(-p[1] * X)
    return np.stack([e, -p[0] * X * e], axis=1)


Y = decay(TRUE)


def test_a_wrong_jacobian_stalls_as_a_failure_that_says_so():
    # the sign of the second column is wrong: no step lowers chi-square
    def wrong(p):
        return decay_jac(p) * [1.0, -1.0]

    r = fit(decay, [1.0, 1.0], Y, jac=wrong)
    assert r.status is Status.STALLED and not r.success
    assert "Jacobian may be wrong" in r.message
    assert r.chisq <= r.initial_chisq


class Interrupt(BaseException):
    pass


# every path the engine runs: its own differences, the binding's differences with
# equalities eliminated, guarded rounds of the active-set method, an analytic Jacobian
PATHS = {
    "differences": dict(),
    "central": dict(diff="central"),
    "eq": dict(eq=([1.0, 1.0], [2.5])),
    "bounds": dict(bounds=([0.0, 0.0], [10.0, 0.4])),
    "analytic": dict(jac=decay_jac),
}


@pytest.mark.parametrize("error", [ValueError("model failed"), Interrupt()], ids=["Exception", "BaseException"])
@pytest.mark.parametrize("fail_at", [1, 3, 9])
@pytest.mark.parametrize("path", PATHS)
def test_an_exception_from_the_model_stops_the_fit_and_propagates_unchanged(path, fail_at, error):
    calls = []

    def model(p):
        calls.append(p)
        if len(calls) == fail_at:
            raise error
        return decay(p)

    with pytest.raises(type(error)) as caught:
        fit(model, [1.0, 1.0], Y, **PATHS[path])
    assert caught.value is error
    assert len(calls) == fail_at  # nothing called after it


@pytest.mark.parametrize("path", ["differences", "eq", "bounds"])
def test_an_exception_from_the_jacobian_stops_the_fit(path):
    calls = []

    def jac(p):
        calls.append(p)
        if len(calls) == 2:
            raise Interrupt()
        return decay_jac(p)

    with pytest.raises(Interrupt):
        fit(decay, [1.0, 1.0], Y, jac=jac, **{k: v for k, v in PATHS[path].items()})
    assert len(calls) == 2


# ---- robust losses ----------------------------------------------------------------------------

T = np.linspace(0.0, 1.0, 41)
LINE = np.stack([np.ones_like(T), T], axis=1)
NOISE = 0.05
CLEAN = 1.0 + 2.0 * T + NOISE * np.sin(37.0 * T)  # residuals within +-NOISE of the line
OUTLIERS = np.array([5, 17, 30])
GROSS = CLEAN.copy()
GROSS[OUTLIERS] += [40.0, -60.0, 50.0]
KEPT = np.setdiff1d(np.arange(T.size), OUTLIERS)
CLEAN_FIT = np.linalg.lstsq(LINE[KEPT], CLEAN[KEPT], rcond=None)[0]


def line(p):
    return LINE @ p


@pytest.mark.parametrize("loss", ["soft_l1", "huber", "cauchy", "arctan"])
@pytest.mark.parametrize("analytic", [True, False], ids=["analytic", "differences"])
def test_robust_losses_reach_the_stationary_point_of_their_loss(loss, analytic):
    from ombrix._fit_api import loss_weights
    f_scale = NOISE
    r = fit(line, [0.0, 0.0], GROSS, jac=(lambda p: LINE) if analytic else None, loss=loss, f_scale=f_scale)
    assert r.success
    # the gradient of the loss, J^T (rho'(z) r), vanishes to rounding (sqrt(eps) with forward
    # differences' truncation error moving the minimum)
    w = loss_weights(loss, r.residuals, f_scale)
    gradient = LINE.T @ (w * r.residuals)
    size = np.abs(LINE).T @ np.abs(w * r.residuals)
    assert (np.abs(gradient) <= (1e-12 if analytic else 1e-7) * size).all()
    # the outliers barely move the line: their influence rho'(z) r is at most about f_scale
    # each (soft_l1, huber), f_scale^2 / |r| (cauchy), f_scale^4 / |r|^3 (arctan)
    influence = len(OUTLIERS) * f_scale / np.sqrt(len(KEPT))
    np.testing.assert_allclose(r.p, CLEAN_FIT, atol=influence)
    assert np.abs(fit(line, [0.0, 0.0], GROSS).p - CLEAN_FIT).max() > 10 * influence  # the linear loss does not


DECAY_T = np.linspace(0.0, 4.0, 40)
DECAY_Y = 3.0 * np.exp(-0.7 * DECAY_T) + 0.5 + np.random.default_rng(0).normal(0.0, 0.02, DECAY_T.size)


@pytest.mark.parametrize("loss, f_scale", [
    ("huber", 0.5), ("cauchy", 0.5), ("arctan", 0.5),  # every residual at the start is beyond f_scale
    ("huber", 0.01), ("soft_l1", 0.05), ("cauchy", 5.0),
])
def test_robust_fits_from_a_reasonable_start_take_no_overflowing_steps(loss, f_scale):
    # Beyond f_scale these losses flatten: a row's curvature rho' + 2 rho'' z vanishes or turns
    # negative.  Taken at face value it made the first steps enormous, to rates where exp overflows.
    calls = {"all": 0, "non-finite": 0}

    def model(p):
        a, k, c = p
        with np.errstate(over="ignore", invalid="ignore"):
            f = a * np.exp(-k * DECAY_T) + c
        calls["all"] += 1
        calls["non-finite"] += not np.isfinite(f).all()
        return f

    r = fit(model, [1.0, 1.0, 0.0], DECAY_Y, loss=loss, f_scale=f_scale)
    assert r.success
    assert calls["non-finite"] == 0, calls
    # the noise (0.02) is below or near f_scale: the answer is the least-squares one to within
    # a fraction of its standard errors
    ls = fit(model, [1.0, 1.0, 0.0], DECAY_Y)
    assert (np.abs(r.p - ls.p) <= 0.5 * np.sqrt(np.diag(ls.cov))).all()


def test_robust_covariance_is_that_of_the_points_it_keeps():
    # sigma in absolute units and f_scale far above the clean residuals, far below the outliers:
    # rho' is near 1 on the clean points and near 0 on the outliers, so the covariance is that
    # of a least-squares fit of the clean points alone
    sigma = np.full(T.size, NOISE)
    r = fit(line, [0.0, 0.0], GROSS, sigma=sigma, absolute_sigma=True, loss="cauchy", f_scale=10.0)
    clean_cov = NOISE**2 * np.linalg.inv(LINE[KEPT].T @ LINE[KEPT])
    np.testing.assert_allclose(r.cov, clean_cov, rtol=0.03)
    np.testing.assert_allclose(r.p, CLEAN_FIT, atol=1e-3)


@pytest.mark.parametrize("change, message", [
    (dict(loss="l1"), "loss must be one of 'linear', 'soft_l1', 'huber', 'cauchy', 'arctan', not 'l1'"),
    (dict(loss="huber", f_scale=0.0), "f_scale must be positive and finite"),
    (dict(loss="huber", diff="secant"), "needs the engine"),
    (dict(loss="huber", constraints="direct"), "needs the engine"),
    (dict(loss="cauchy", chisq_tol=1e-3), "needs the engine"),
])
def test_robust_loss_arguments_are_checked(change, message):
    with pytest.raises(ValueError, match=message):
        fit(line, [0.0, 0.0], GROSS, **change)


def test_the_absolute_tolerances_are_honoured_by_the_numeric_layers_solvers():
    # chi-square below chisq_tol from the start: the fit stops there at once
    r = fit(decay, TRUE * 1.001, Y, jac=decay_jac, chisq_tol=1.0)
    assert r.status is Status.SMALL_CHISQ and r.success and r.iterations <= 1
    r = fit(decay, [1.0, 1.0], Y, jac=decay_jac, gradient_tol=1e3)
    assert r.status is Status.SMALL_GRADIENT and r.success
    assert np.abs(decay_jac(r.p).T @ r.weighted_residuals).max() <= 1e3


def _engine_solve(engine, **change):
    from ombrix import _fit
    arguments = dict(model=decay, p0=np.ones(2), y=Y, args=(), jac=None, weights=None, lb=None, ub=None, A=None,
                     b=None, C=None, d=None, diff="forward", typical=None, scale=True, tau=1e-3, eps1=0.0,
                     eps2=0.0, eps3=0.0, max_iter=100, unpack=False, polish=False, factor=False, engine=engine)
    arguments.update(change)
    return _fit.engine_solve(**arguments)


ENGINE = ("linear", 1.0, -1.0, -1.0, -1.0, 0, False, None, None, None)


@pytest.mark.parametrize("engine, change, error, message", [
    (ENGINE[:3], {}, TypeError, "engine"),
    (("l2",) + ENGINE[1:], {}, ValueError, "loss must be 'linear', 'soft_l1'"),
    (ENGINE[:1] + (0.0,) + ENGINE[2:], {}, ValueError, "f_scale must be positive and finite"),
    (ENGINE[:5] + (-1,) + ENGINE[6:], {}, ValueError, "max_nfev must not be negative"),
    (ENGINE[:7] + (np.zeros(2), None, None), {}, ValueError, "origin, basis and z0 must be given together"),
    (ENGINE, dict(C=np.eye(2), d=np.zeros(2)), ValueError, "takes no bounds and no inequalities"),
    (ENGINE, dict(A=np.ones((1, 2)), b=np.ones(1)), ValueError, "through a basis of their null space"),
    (ENGINE, dict(diff="secant"), ValueError, "the engine takes diff='forward' or 'central'"),
])
def test_the_engine_entry_point_checks_its_settings(engine, change, error, message):
    with pytest.raises(error, match=message):
        _engine_solve(engine, **change)


def test_the_engine_entry_point_fits_in_both_precisions():
    from ombrix import _fit

    for dtype in (np.float64, np.float32):
        out = _engine_solve(ENGINE, p0=np.ones(2, dtype=dtype), jac=decay_jac)
        assert type(out) is _fit.Solution and out.p is out[0] and out.info is out[3]
        assert out.p.dtype == dtype and int(out.info[6]) in (1, 2, 6, 8)  # converged
        np.testing.assert_allclose(out[0], TRUE, rtol=50 * np.finfo(dtype).eps ** 0.5)
