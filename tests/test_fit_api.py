"""ombrix.fit and FitResult: constraints with known answers, weighting and
covariance, single precision, exceptions, validation, report and pickling."""

import pickle
import traceback

import numpy as np
import pytest

import ombrix
from ombrix import Status, fit, nist

T = np.linspace(0.0, 1.0, 21)
LINE = np.stack([np.ones_like(T), T], axis=1)


def line(p):
    return LINE @ p


def line_jac(p):
    return LINE.copy()


# Noisy data around 1 + 2 t: the unconstrained least-squares answer is known in closed form.
Y = 1.0 + 2.0 * T + 0.05 * np.sin(7.0 * T)
OLS = np.linalg.lstsq(LINE, Y, rcond=None)[0]


@pytest.mark.parametrize("jac", [line_jac, None])
@pytest.mark.parametrize("diff", ["forward", "central", "secant"])
def test_unconstrained_fit_is_least_squares(jac, diff):
    r = fit(line, [0.0, 0.0], Y, jac=jac, diff=diff)
    assert r.success
    np.testing.assert_allclose(r.p, OLS, rtol=1e-9)
    residuals = Y - line(r.p)
    np.testing.assert_allclose(r.residuals, residuals, atol=1e-12)
    assert r.chisq == pytest.approx(residuals @ residuals, rel=1e-9)
    assert r.dof == 19 and r.redchi == pytest.approx(r.chisq / 19)
    # ordinary least-squares covariance s^2 (X^T X)^-1
    np.testing.assert_allclose(r.cov, r.redchi * np.linalg.inv(LINE.T @ LINE), rtol=1e-6)
    np.testing.assert_allclose(r.stderr, np.sqrt(np.diag(r.cov)), rtol=1e-12)
    assert r.corr[0, 1] == pytest.approx(r.cov[0, 1] / (r.stderr[0] * r.stderr[1]))
    assert r.r2 == pytest.approx(1 - residuals @ residuals / ((Y - Y.mean()) @ (Y - Y.mean())))


# Constrained least squares on the line, with answers worked out by hand:
# each active constraint fixes one combination, the rest is least squares.
def _fixed_slope(slope):
    return np.array([np.mean(Y - slope * T), slope])


def _fixed_intercept(intercept):
    return np.array([intercept, (T @ (Y - intercept)) / (T @ T)])


def _sum_fixed(total):
    # p0 + p1 = total: p = (total - u, u) with u by least squares on (T - 1) u = Y - total
    u = ((T - 1) @ (Y - total)) / ((T - 1) @ (T - 1))
    return np.array([total - u, u])


CONSTRAINED = [
    ("upper bound on the slope", dict(bounds=([-np.inf, -np.inf], [np.inf, 1.5])), _fixed_slope(1.5), [0, 1]),
    ("pairs with None", dict(bounds=[(None, None), (None, 1.5)]), _fixed_slope(1.5), [0, 1]),
    ("lower bound on the intercept", dict(bounds=([1.2, 0.0], [5.0, 5.0])), _fixed_intercept(1.2), [-1, 0]),
    ("inactive bounds", dict(bounds=(-10.0, 10.0)), OLS, [0, 0]),
    ("fixed parameter", dict(bounds=[(1.1, 1.1), (None, None)]), _fixed_intercept(1.1), [1, 0]),
    ("equality", dict(eq=([1.0, 1.0], [2.5])), _sum_fixed(2.5), [0, 0]),
    ("inequality, active", dict(ineq=([[0.0, -1.0]], [-1.5])), _fixed_slope(1.5), [0, 0]),
    ("inequality, inactive", dict(ineq=([[0.0, 1.0]], [0.0])), OLS, [0, 0]),
    ("bounds and equality", dict(bounds=([0.0, 0.0], [10.0, 10.0]), eq=([1.0, 1.0], [2.5])), _sum_fixed(2.5),
     [0, 0]),
    ("bounds and inequality", dict(bounds=([0.0, 0.0], [10.0, 10.0]), ineq=([[0.0, -1.0]], [-1.5])),
     _fixed_slope(1.5), [0, 0]),
    ("equality and inequality", dict(eq=([1.0, 1.0], [3.2]), ineq=([[0.0, -1.0]], [-1.5])),
     np.array([1.7, 1.5]), [0, 0]),
    ("all three", dict(bounds=([0.0, 0.0], [10.0, 10.0]), eq=([1.0, 1.0], [3.2]), ineq=([[0.0, -1.0]], [-1.5])),
     np.array([1.7, 1.5]), [0, 0]),
]


@pytest.mark.parametrize("method", [None, "direct"], ids=["active-set", "direct"])
@pytest.mark.parametrize("jac", [line_jac, None], ids=["analytic", "differences"])
@pytest.mark.parametrize("name, constraints, answer, active", CONSTRAINED, ids=[c[0] for c in CONSTRAINED])
def test_constrained_fits_reach_the_known_answer(name, constraints, answer, active, jac, method):
    r = fit(line, [2.0, 0.5], Y, jac=jac, constraints=method, **constraints)
    # the direct solvers' penalty-based combinations hold their inequalities to about 1e-8
    # (the active set holds them exactly: tests/test_fit_active_set.py)
    np.testing.assert_allclose(r.p, answer, rtol=1e-6, atol=1e-7)
    np.testing.assert_array_equal(r.active_bounds, active)
    assert r.success


def test_equality_constraint_covariance_lives_in_its_null_space():
    A = np.array([[1.0, 1.0]])
    r = fit(line, [0.0, 0.0], Y, eq=(A, [2.5]))
    np.testing.assert_allclose(r.p.sum(), 2.5, rtol=1e-12)
    assert r.dof == 20  # 21 points, one free parameter
    np.testing.assert_allclose(A @ r.cov, 0.0, atol=1e-15)
    # Z (Z^T X^T X Z)^-1 Z^T s^2 with Z = (1, -1)/sqrt(2)
    z = np.array([1.0, -1.0]) / np.sqrt(2.0)
    expected = np.outer(z, z) / (z @ LINE.T @ LINE @ z) * r.redchi
    np.testing.assert_allclose(r.cov, expected, rtol=1e-6)
    assert r.corr[0, 1] == pytest.approx(-1.0)


def test_a_parameter_held_at_a_bound_has_no_variance():
    r = fit(line, [0.0, 0.0], Y, bounds=([-np.inf, -np.inf], [np.inf, 1.5]))
    assert r.stderr[1] == 0.0 and r.stderr[0] > 0.0 and r.dof == 20
    assert r.stderr[0] == pytest.approx(np.sqrt(r.redchi / 21))  # the mean of 21 points
    assert np.isnan(r.corr[0, 1])
    r = fit(line, [0.0, 0.0], Y, ineq=([[0.0, -1.0]], [-1.5]))
    assert r.active_ineq.tolist() == [True] and r.stderr[1] < 1e-12 and r.dof == 20


def test_start_outside_the_bounds_is_moved_onto_them():
    seen = []

    def model(p):
        seen.append(p.copy())
        return line(p)

    fit(model, [-5.0, 20.0], Y, bounds=([0.0, 0.0], [3.0, 3.0]))
    np.testing.assert_array_equal(seen[0], [0.0, 3.0])
    assert all(((q >= 0.0) & (q <= 3.0)).all() for q in seen)


# ---- weights ----

def test_sigma_weights_like_curve_fit(weighted_least_squares):
    # curve_fit's meaning of sigma (standard deviations or a covariance) and
    # absolute_sigma, against the weighted least-squares answer
    sigma = np.linspace(0.5, 2.0, 21)
    cov = np.diag(sigma ** 2) + 0.1 * np.exp(-np.abs(np.subtract.outer(T, T)) / 0.1)

    def f(p):
        return p[0] * np.exp(-p[1] * T)

    def f_jac(p):
        e = np.exp(-p[1] * T)
        return np.stack([e, -p[0] * T * e], axis=1)

    y = f([2.0, 1.3]) + 0.02 * np.cos(11.0 * T)
    for s in (sigma, cov):
        for absolute in (False, True):
            r = fit(f, [1.0, 1.0], y, sigma=s, absolute_sigma=absolute)
            weighted_least_squares(f, f_jac, [1.0, 1.0], y, s, absolute).assert_fit(r.p, r.cov)
            assert r.absolute_sigma is absolute


def test_no_degrees_of_freedom_gives_an_infinite_covariance():
    r = fit(lambda p: LINE[:2] @ p, [0.0, 0.0], [1.0, 3.0])
    np.testing.assert_allclose(r.p, [1.0, 40.0], rtol=1e-7)
    assert r.dof == 0 and np.isnan(r.redchi) and np.isinf(r.cov).all()
    r = fit(lambda p: LINE[:2] @ p, [0.0, 0.0], [1.0, 3.0], sigma=[1.0, 1.0], absolute_sigma=True)
    assert np.isfinite(r.cov).all()


@pytest.mark.parametrize("n", [200, 210, 2000], ids=["small", "just-large", "large"])
@pytest.mark.parametrize("deficient", [False, True], ids=["full-rank", "rank-deficient"])
def test_covariance_is_the_pseudo_inverse_for_small_and_large_jacobians(n, deficient):
    # The statistics' SVD runs here for a small Jacobian (QR and Jacobi
    # rotations, up to 1000 entries) and in LAPACK beyond: both must give
    # (J^T J)^-1 s^2 to rounding, and infinite variances for the two
    # parameters the data cannot tell apart.
    rng = np.random.default_rng(5)
    A = rng.standard_normal((n, 5)) * [1.0, 10.0, 0.1, 1.0, 3.0]
    if deficient:
        A[:, 4] = 2.0 * A[:, 3]
    y = A @ [1.0, -2.0, 0.5, 3.0, 0.0] + 0.1 * rng.standard_normal(n)
    r = fit(lambda p: A @ p, np.zeros(5), y, jac=lambda p: A)
    expected = np.linalg.pinv(A.T @ A) * (r.residuals @ r.residuals) / r.dof
    determined = slice(0, 3) if deficient else slice(0, 5)
    np.testing.assert_allclose(r.cov[determined, determined], expected[determined, determined], rtol=1e-9)
    assert np.isinf(np.diag(r.cov)[3:]).all() == deficient


# ---- single precision ----

def test_single_precision_fit_reaches_float_accuracy():
    t = np.linspace(0.0, 4.0, 40)
    truth = np.array([3.0, 0.7, 0.5])

    def model(p):
        assert p.dtype == np.float32
        return p[0] * np.exp(-p[1] * t) + p[2]

    for diff in ("forward", "central"):
        r = fit(model, [1.0, 1.0, 0.0], model(truth.astype(np.float32)).astype(np.float64), dtype=np.float32,
                diff=diff)
        assert r.p.dtype == r.cov.dtype == r.residuals.dtype == np.float32
        assert r.success
        np.testing.assert_allclose(r.p, truth, rtol=2e-5)


# ---- exceptions ----

class ModelError(Exception):
    pass


@pytest.mark.parametrize("where", ["model", "jac", "difference"])
def test_exceptions_from_the_model_propagate_unchanged_and_stop_the_fit(where):
    error = ModelError(where)
    calls = {"model": 0, "jac": 0}
    fail_at = {"model": 2, "jac": 2, "difference": 2}[where]  # a line is fitted in few calls

    def model(p):
        calls["model"] += 1
        if where != "jac" and calls["model"] == fail_at:
            raise error
        return line(p)

    def jac(p):
        calls["jac"] += 1
        if calls["jac"] == fail_at:
            raise error
        return line_jac(p)

    with pytest.raises(ModelError) as caught:
        fit(model, [0.0, 0.0], Y, jac=jac if where != "difference" else None,
            bounds=([-9.0, -9.0], [9.0, 9.0]))
    assert caught.value is error
    names = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert names[0] == "test_exceptions_from_the_model_propagate_unchanged_and_stop_the_fit"
    assert names[-1] == ("jac" if where == "jac" else "model")
    assert calls[("jac" if where == "jac" else "model")] == fail_at  # no call after the failure


def test_invalid_values_are_reported_in_the_result():
    # the model is NaN beyond p = 1 and the data call for p = 2: the fit ends below p = 1, at
    # the last parameters with finite values, as a failure that says why
    x = np.linspace(1.0, 2.0, 10)
    model = lambda p: np.where(p[0] <= 1.0, p[0] * x, np.nan)
    r = fit(model, [0.5], 2.0 * x, jac=lambda p: x[:, None])
    assert r.status is Status.INVALID_VALUES and not r.success
    assert "NaN or infinite" in r.message
    assert 0.5 < r.p[0] <= 1.0 and np.isfinite(r.residuals).all()


# ---- validation ----

@pytest.mark.parametrize("change, error, message", [
    (dict(model=1), TypeError, "model must be callable"),
    (dict(jac="x"), TypeError, "jac must be callable or None"),
    (dict(p0=[[0.0, 0.0]]), ValueError, r"p0 must be a non-empty 1-D array, not one of shape \(1, 2\)"),
    (dict(p0=[]), ValueError, "p0 must be a non-empty 1-D array"),
    (dict(p0=[0.0, np.nan]), ValueError, r"p0 must be finite: p0\[1\] is nan"),
    (dict(y=np.r_[Y[:-1], np.inf]), ValueError, r"y must be finite: y\[20\] is inf"),
    (dict(y=["a"] * 21), TypeError, "y must be an array of real numbers"),
    (dict(y=[1.0]), ValueError, r"fewer data points \(1\) than free parameters \(2\)"),
    (dict(diff="two-point"), ValueError, "diff must be one of 'forward', 'central', 'secant'"),
    (dict(dtype=np.float16), ValueError, "dtype must be float64 or float32, not float16"),
    (dict(sigma=np.ones(3)), ValueError, r"sigma must have shape \(21,\) or \(21, 21\)"),
    (dict(sigma=np.r_[np.ones(20), 0.0]), ValueError, "sigma must be positive and finite"),
    (dict(sigma=-np.eye(21)), ValueError, "must be positive definite"),
    (dict(sigma=np.eye(21) + np.triu(np.ones((21, 21)), 1)), ValueError, "must be symmetric"),
    (dict(bounds=([0.0, 2.0], [1.0, 1.0])), ValueError,
     r"the lower bound of parameter 1 \(2\) exceeds its upper bound \(1\)"),
    (dict(bounds=([0.0], [1.0])), ValueError, "lower bounds must be a scalar or have 2 entries, not 1"),
    (dict(bounds=(np.nan, 1.0)), ValueError, "bounds must not be NaN"),
    (dict(bounds=(np.inf, np.inf)), ValueError, "leaves no feasible value"),
    (dict(bounds=[1.0, 2.0, 3.0]), ValueError, r"bounds must be \(lb, ub\) or a list of 2 \(low, high\) pairs"),
    (dict(eq=[[1.0, 1.0], [2.0], [3.0]]), TypeError, "eq must be a pair"),
    (dict(eq=([[1.0, 1.0], [2.0, 2.0]], [1.0, 2.0])), ValueError, "eq has 2 rows for 2 parameters"),
    (dict(eq=([[1.0, 1.0, 1.0]], [1.0])), ValueError, r"the matrix must have shape \(k, 2\)"),
    (dict(eq=([[1.0, 1.0]], [1.0, 2.0])), ValueError, r"the vector must have shape \(1,\)"),
    (dict(ineq=([[0.0, 0.0]], [np.nan])), ValueError, "ineq must be finite"),
    (dict(damping=0.0), ValueError, r"damping must lie in \(0, inf\)"),
    (dict(step_tol=1.0), ValueError, r"step_tol must lie in \(0, 1\)"),
    (dict(gradient_tol=-1.0), ValueError, r"gradient_tol must lie in \[0, inf\)"),
    (dict(max_iterations=0), ValueError, "max_iterations must be a positive int"),
    (dict(max_iterations=2.5), TypeError, "max_iterations must be an int"),
    (dict(names=["a"]), ValueError, "names has 1 entries for 2 parameters"),
])
def test_invalid_arguments_are_refused_before_the_model_runs(change, error, message):
    calls = []

    def model(p):
        calls.append(p)
        return line(p)

    kwargs = {"model": model, "p0": [0.0, 0.0], "y": Y, **change}
    with pytest.raises(error, match=message):
        fit(kwargs.pop("model"), kwargs.pop("p0"), kwargs.pop("y"), **kwargs)
    assert calls == []


def test_redundant_equalities_are_refused():
    with pytest.raises(ValueError, match="linearly dependent"):
        fit(lambda p: np.stack([p[0] * T, p[1] * T, p[2] * T]).sum(axis=0), [0.0, 0.0, 0.0], Y,
            eq=([[1.0, 1.0, 0.0], [2.0, 2.0, 0.0]], [1.0, 2.0]))


def test_bounds_forms_that_mean_the_same():
    forms = [([0.0, -np.inf], [np.inf, 1.5]), [(0.0, None), (None, 1.5)], np.array([[0.0, -np.inf], [np.inf, 1.5]]),
             ([0, None], [None, 1.5]), ([0.0, None], [np.inf, 1.5])]
    results = [fit(line, [0.5, 0.5], Y, bounds=b).p for b in forms]
    for p in results[1:]:
        np.testing.assert_allclose(p, results[0], rtol=1e-12)


# ---- result ----

def test_result_pickles_and_reports():
    r = fit(line, [0.0, 0.0], Y, bounds=([-np.inf, -np.inf], [np.inf, 1.5]), names=["offset", "slope"])
    copy = pickle.loads(pickle.dumps(r))
    assert copy.status is Status.SMALL_STEP or copy.status == r.status
    for name in ("p", "cov", "stderr", "residuals", "jac", "active_bounds", "active_ineq"):
        np.testing.assert_array_equal(getattr(copy, name), getattr(r, name))
    assert (copy.chisq, copy.dof, copy.nfev, copy.message, copy.names) == (r.chisq, r.dof, r.nfev, r.message,
                                                                            r.names)
    text = r.report()
    assert "offset" in text and "slope" in text and "at upper bound" in text
    assert f"{r.p[0]:14.7g}" in text and "reduced" in text and "dof 20" in text
    # a decay on data from a decay: determined, with strongly correlated parameters
    decay = lambda p: p[0] * np.exp(-p[1] * T) + p[2]  # noqa: E731
    y_decay = decay([2.0, 1.5, 0.5]) + 0.01 * np.cos(7.0 * T)
    correlated = fit(decay, [1.0, 1.0, 0.0], y_decay).report(min_correlation=0.5)
    assert "correlations (|r| >= 0.5)" in correlated and " ~ " in correlated
    assert repr(r).startswith("<FitResult SMALL_STEP")


def test_check_jacobian_through_the_package():
    good = ombrix.check_jacobian(line, line_jac, [0.3, 0.4])
    bad = ombrix.check_jacobian(line, lambda p: LINE[:, ::-1].copy(), [0.3, 0.4])
    assert good.shape == (21,) and (good[1:] > 0.99).all()
    assert (bad[1:] < 0.5).any()
    assert ombrix.check_jacobian(line, line_jac, np.array([0.3, 0.4], dtype=np.float32)).dtype == np.float32
