"""The box-constrained solvers ?ombrix_bc_der / ?ombrix_bc_dif."""

import math

import numpy as np
import pytest

import capi
import solvers
from conftest import library_stderr

BIG = {"d": float(np.finfo(np.float64).max), "s": float(np.finfo(np.float32).max)}  # "unbounded" per precision
EPS = {"d": float(np.finfo(np.float64).eps), "s": float(np.finfo(np.float32).eps)}
INFO_FILL = -7.0  # what an untouched info or covariance entry holds

# Tolerances on fitted parameters.  Steps are accepted by comparing errors,
# which settles the parameters only to about sqrt(eps) relative.
RTOL = {"d": 1e-8, "s": 2e-3}
DIF_RTOL = {"d": 1e-6, "s": 5e-3}  # ... with difference Jacobians

# tau, eps1, eps2, eps3, difference step for runs to convergence.  With the
# defaults (1e-17) a converged box fit can keep moving by one ulp until the
# iteration limit, since mu grows only when a damped solve fails.  Forward
# differences in single precision leave the gradient noisy at about 1e-4.
CONVERGE = {"d": [1e-3, 1e-12, 1e-12, 1e-24, 1e-6], "s": [1e-3, 1e-5, 1e-6, 1e-12, 1e-6]}
CONVERGE_DIF = {"d": CONVERGE["d"], "s": [1e-3, 1e-3, 1e-6, 1e-12, 1e-6]}


def fit(prefix, mode, model, p0, x, lb=None, ub=None, scale=None, jac=None, max_iter=200, opts=None, m=None, n=None,
        workspace=None):
    """Run ?ombrix_bc_der (mode "der"; a null Jacobian callback when `jac` is
    None) or ?ombrix_bc_dif.  info and covariance start filled with INFO_FILL;
    the result's lb and ub are the bound arrays as the call left them."""
    size = max(len(p0) if m is None else m, 0)
    r = solvers.call(prefix, "bc", model, p0, x, [lb, ub, scale], jac=jac, mode=mode, n=n, m=m, max_iter=max_iter,
                     opts=opts, cov=size < 100, workspace=workspace, fill=INFO_FILL)  # no m x m array for huge m
    r.lb, r.ub = r.constraints[0], r.constraints[1]
    return r


def workspace_size(m, n):
    return 2 * n + 4 * m + n * m + m * m


# ---- models -----------------------------------------------------------------------

T = np.linspace(0.0, 4.0, 20)
DECAY_TRUE = np.array([3.0, 0.7])


def decay(p):
    return p[0] * np.exp(-p[1] * T)


def decay_jac(p):
    e = np.exp(-p[1] * T)
    return np.column_stack([e, -p[0] * T * e])


DECAY_DATA = decay(DECAY_TRUE)
TL = np.linspace(0.0, 1.0, 11)


def line(p):
    return p[0] + p[1] * TL


def line_jac(p):
    return np.column_stack([np.ones_like(TL), TL])


def amplitude_given_rate(rate, x):
    """Least-squares p0 of p0 exp(-rate t) for fixed rate (linear in p0)."""
    e = np.exp(-rate * T)
    return float(e @ x / (e @ e))


def rate_given_amplitude(a, x):
    """Least-squares p1 of a exp(-p1 t) for fixed a: the root of dE/dp1 by bisection."""
    def slope(r):
        e = np.exp(-r * T)
        return float(np.sum((x - a * e) * T * e))
    lo, hi = 0.0, 5.0
    assert slope(lo) * slope(hi) < 0
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        lo, hi = (mid, hi) if slope(lo) * slope(mid) > 0 else (lo, mid)
    return 0.5 * (lo + hi)


def fit_mode(prefix, mode, model, jac, *args, converge=False, **kwargs):
    """fit() with the analytic Jacobian or differences; `converge` passes
    tolerances a fit can meet in that precision and mode."""
    if converge:
        kwargs["opts"] = (CONVERGE if mode == "der" else CONVERGE_DIF)[prefix]
    return fit(prefix, mode, model, *args, jac=jac if mode == "der" else None, **kwargs)


def inside_box(points, lb, ub, prefix):
    pts = np.array(points, dtype=float)
    slack = 1 + 4 * EPS[prefix]
    with np.errstate(over="ignore"):  # the sentinels may overflow to infinity: still a bound
        lo = -np.inf if lb is None else np.minimum(lb * slack, lb / slack).astype(float)
        hi = np.inf if ub is None else np.maximum(ub * slack, ub / slack).astype(float)
    return bool(np.all((pts >= lo) & (pts <= hi)))


# ---- fits where a bound binds ---------------------------------------------------------------

# (lb, ub, index held at a bound, expected solution)
BOUND_CASES = {
    "upper bound on the amplitude": ([0.0, 0.0], [2.5, 5.0], 0,
                                     lambda x: (2.5, rate_given_amplitude(2.5, x))),
    "lower bound on the rate": ([0.0, 0.9], [10.0, 5.0], 1,
                                lambda x: (amplitude_given_rate(0.9, x), 0.9)),
    "rate pinned by lb == ub": ([0.0, 0.8], [10.0, 0.8], 1,
                                lambda x: (amplitude_given_rate(0.8, x), 0.8)),
    "lower bounds only": ([0.0, 0.9], None, 1, lambda x: (amplitude_given_rate(0.9, x), 0.9)),
    "upper bounds only": (None, [2.5, 5.0], 0, lambda x: (2.5, rate_given_amplitude(2.5, x))),
}


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode", ["der", "dif"])
@pytest.mark.parametrize("case", BOUND_CASES)
def test_fit_with_binding_bound_sits_on_it(prefix, mode, case):
    lb, ub, held, expected = BOUND_CASES[case]
    r = fit_mode(prefix, mode, decay, decay_jac, [1.0, 1.0], DECAY_DATA, lb=lb, ub=ub, converge=True)
    assert r.ret >= 0 and r.stop in (1, 2), r.info
    bound = (r.ub if held == 0 else r.lb)[held]  # the amplitude binds above, the rate below
    assert r.p[held] == bound  # exactly on the bound, not near it
    rtol = (RTOL if mode == "der" else DIF_RTOL)[prefix]
    np.testing.assert_allclose(r.p, expected(DECAY_DATA.astype(float)), rtol=rtol)
    assert r.info[1] < r.info[0]
    if mode == "der":  # every evaluation is at a projected point
        assert inside_box(r.calls + r.jac_calls, r.lb, r.ub, prefix)


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode", ["der", "dif"])
def test_no_bounds_fits_like_unconstrained(prefix, mode):
    r = fit_mode(prefix, mode, decay, decay_jac, [1.0, 1.0], DECAY_DATA, converge=True)
    assert r.ret > 0 and r.stop in (1, 2, 6)
    np.testing.assert_allclose(r.p, DECAY_TRUE, rtol=(RTOL if mode == "der" else DIF_RTOL)[prefix])


@pytest.mark.parametrize("lb, ub, damping", [
    (None, None, "tau * max diag"),
    ([-100.0, -100.0], [100.0, 100.0], "tau E / 2"),
    ([-100.0, -100.0], None, "tau E / 2"),
])
def test_initial_damping(lb, ub, damping):
    """One accepted LM step from (2.5, 0.6): its size shows the initial mu."""
    opts = [0.5, 1e-17, 1e-17, 1e-17]  # a large tau makes the two rules far apart
    p0 = np.array([2.5, 0.6])
    r = fit("d", "der", decay, p0, DECAY_DATA, lb=lb, ub=ub, jac=decay_jac, max_iter=1, opts=opts)
    assert r.ret == 1 and r.info[9] == 1 and len(r.calls) == 2  # one solve, one trial, taken
    J = decay_jac(p0)
    e = DECAY_DATA - decay(p0)
    jtj = J.T @ J
    mu = 0.5 * np.max(np.diag(jtj)) if damping == "tau * max diag" else 0.5 * 0.5 * (e @ e)
    step = np.linalg.solve(jtj + mu * np.eye(2), J.T @ e)
    np.testing.assert_allclose(r.p - p0, step, rtol=1e-10)


def test_no_bounds_first_steps_match_the_unconstrained_solver():
    """Without bounds every accepted LM step is the unconstrained solver's step."""
    p0 = [2.5, 0.6]
    x = capi.ptr(DECAY_DATA)
    ref_p = np.array(p0)
    ref_info = np.zeros(10)
    f, j = capi.callback("d", decay), capi.jacobian_callback("d", decay_jac)
    ret = capi.fn("d", "ombrix_der")(f, j, capi.ptr(ref_p), x, 2, len(T), 3, None, capi.ptr(ref_info), None, None, None)
    assert ret == 3 and ref_info[9] == 3  # three accepted steps, no rejection
    r = fit("d", "der", decay, p0, DECAY_DATA, jac=decay_jac, max_iter=3)
    assert r.ret == 3 and r.info[9] == 3 and len(r.calls) == 4
    np.testing.assert_allclose(r.p, ref_p, rtol=1e-12)
    np.testing.assert_allclose(r.info[4], ref_info[4], rtol=1e-9)


# ---- the active-set test ----------------------------------------------------------------

def slope_model(p):
    return p[0] * TL


def slope_jac(p):
    return TL.reshape(-1, 1)


# Data k * t with the start p = 1 at a bound: J^T e has the sign of k - 1.
@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("lb, ub, k, stop, solves", [
    # pinned: active at its upper bound, held there only when J^T e > 0
    ([1.0], [1.0], 2.0, 1, 0),
    ([1.0], [1.0], 0.5, 2, 1),  # the LM step projects to a zero step
    ([1.0], None, 0.5, 1, 0),   # at a lower bound, held there by J^T e < 0
    (None, [1.0], 2.0, 1, 0),
])
def test_multiplier_signs_at_active_bounds(prefix, lb, ub, k, stop, solves):
    r = fit(prefix, "der", slope_model, [1.0], k * TL, lb=lb, ub=ub, jac=slope_jac, max_iter=10)
    assert (r.stop, r.info[9], r.ret) == (stop, solves, solves)  # a stop after a solve counts the iteration
    assert r.p[0] == 1.0
    assert len(r.jac_calls) == 1 and len(r.calls) == 1
    if stop == 1:
        assert r.info[3] == 0.0


# ---- projection of the start ------------------------------------------------------------

@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("p0, lb, ub, expected", [
    ([5.0, -5.0, 0.5], [0.0, 0.0, 0.0], [1.0, 1.0, 1.0], [1.0, 0.0, 0.5]),
    ([math.nan, 0.5, 2.0], [0.0, 0.0, 0.0], [1.0, 1.0, 1.0], [1.0, 0.5, 1.0]),  # NaN becomes ub
    ([-5.0, math.nan, 3.0], [0.0, 0.0, 0.0], None, [0.0, math.nan, 3.0]),
    ([5.0, math.nan, -3.0], None, [1.0, 1.0, 1.0], [1.0, math.nan, -3.0]),
    ([5.0, -5.0, 0.0], [-math.inf] * 3, [math.inf] * 3, [5.0, -5.0, 0.0]),
    ([5.0, -5.0, 0.0], [2.0, 2.0, 2.0], [2.0, 2.0, 2.0], [2.0, 2.0, 2.0]),
    # NaN bounds pass the bound check; the median rule then gives ub
    ([0.0, 5.0, 0.5], [1.0, math.nan, math.nan], [math.nan, 1.0, math.nan], [math.nan, 1.0, math.nan]),
])
def test_start_is_projected_silently_before_the_first_call(prefix, p0, lb, ub, expected, capfd):
    model = lambda p: np.concatenate([p, p])
    r = fit(prefix, "der", model, p0, np.zeros(6), lb=lb, ub=ub, jac=lambda p: np.vstack([np.eye(3)] * 2),
            max_iter=0)
    np.testing.assert_array_equal(r.p, expected)
    np.testing.assert_array_equal(r.calls[0], expected)
    assert (r.ret, r.stop) == (0, 3)  # no iteration allowed, NaN start included
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
def test_start_outside_the_box_is_clamped_and_fitted(prefix, capfd):
    r = fit(prefix, "der", decay, [9.0, -1.0], DECAY_DATA, lb=[0.0, 0.0], ub=[2.5, 5.0], jac=decay_jac,
            opts=CONVERGE[prefix])
    clamped = np.array([2.5, 0.0])
    np.testing.assert_array_equal(r.calls[0], clamped)
    e = DECAY_DATA.astype(capi.DTYPE[prefix]) - decay(clamped)
    np.testing.assert_allclose(r.info[0], e @ e, rtol=RTOL[prefix])  # E0 at the clamped start
    np.testing.assert_allclose(r.p, [2.5, rate_given_amplitude(2.5, DECAY_DATA)], rtol=RTOL[prefix])
    assert capfd.readouterr().err == ""


# ---- runs that end before the first Jacobian ---------------------------------------------

@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode", ["der", "dif"])
@pytest.mark.parametrize("start, max_iter, eps3, ret, stop", [
    (DECAY_TRUE, 0, 1e-17, 0, 3),           # no iteration allowed
    ([math.nan, 0.7], 0, 1e-17, 0, 3),      # ... even from an invalid start
    ([math.nan, 0.7], 5, 1e-17, -1, 7),     # invalid start
    ([2.9, 0.7], 5, 10.0, 0, 6),            # error already small
])
def test_runs_without_a_jacobian(prefix, mode, start, max_iter, eps3, ret, stop):
    """JᵀJ is taken as zero: mu / max diag is 0/0 and the covariance is zero."""
    opts = [1e-3, 1e-17, 1e-17, eps3, 1e-6]
    r = fit_mode(prefix, mode, decay, decay_jac, start, DECAY_DATA, max_iter=max_iter, opts=opts)
    assert (r.ret, r.stop) == (ret, stop)
    assert len(r.calls) == 1 and r.jac_calls == []
    assert list(r.info[[2, 3, 5, 7, 8, 9]]) == [0, BIG[prefix], 0, 1, 0, 0]
    assert math.isnan(r.info[4])
    np.testing.assert_array_equal(r.cov, 0.0)


# ---- line search ----------------------------------------------------------------------------

def line_search_points(r, dr, p):
    """Trial points of the backtracking line search that follows a rejected
    first LM step of a one-parameter model with residual -r (x = 0, no bounds,
    tau = 1e-3), computed independently in double precision."""
    e, J = -r(p), dr(p)
    d = J * e / (J * J * (1 + 1e-3))
    slope = -J * e * d
    f0 = 0.5 * e * e
    lambda_min = 1.4901161193847656e-05 / (abs(d) / max(abs(p), 1.0))
    lam, lam_prev, f_prev, first = 1.0, 0.0, 0.0, True
    points = []
    for _ in range(150):
        q = p + lam * d
        points.append(q)
        f = 0.5 * r(q) ** 2
        if f <= f0 + 1e-4 * slope * lam or lam < lambda_min:
            return points
        if first:
            candidate = -lam * slope / (2 * (f - f0 - slope))
            first = False
        else:
            t1 = f - f0 - lam * slope
            t2 = f_prev - f0 - lam_prev * slope
            t3 = 1 / (lam - lam_prev)
            a = 3 * t3 * (t1 / lam**2 - t2 / lam_prev**2)
            b = t3 * (t2 * lam / lam_prev**2 - t1 * lam_prev / lam**2)
            disc = b * b - a * slope
            sigma = (-1 if a < 0 else 1) if disc > b * b else (1 if a < 0 else -1)
            candidate = min((-b + sigma * math.sqrt(disc)) / a, 0.5 * lam)
        lam_prev, f_prev = lam, f
        lam = max(candidate, 0.1 * lam)
    return points


# A cubic residual 1 - p + c2 p^2 + c3 p^3 with 0.5 r^2 = 11.5 at the LM
# trial and just above 0.5 at lambda = 0.1: there the cubic fit's minimum
# lies beyond half of lambda and the half is taken.
CAPPED_C2, CAPPED_C3 = 10.644049814474453, -5.845462455115869


@pytest.mark.parametrize("r, dr, p0", [
    (math.tanh, lambda p: 1 - math.tanh(p) ** 2, 3.0),  # quadratic, then cubic backtracks
    (lambda p: 1 - p + CAPPED_C2 * p * p + CAPPED_C3 * p**3,
     lambda p: -1 + 2 * CAPPED_C2 * p + 3 * CAPPED_C3 * p * p, 0.0),
])
def test_line_search_backtracking(r, dr, p0):
    run = fit("d", "der", lambda p: [r(p[0])], [p0], [0.0], jac=lambda p: [[dr(p[0])]], max_iter=1)
    expected = line_search_points(r, dr, p0)
    assert len(expected) >= 3  # at least one cubic backtrack
    assert len(run.calls) == 2 + len(expected)  # start, LM trial, line search
    assert run.calls[1][0] == run.calls[2][0]  # lambda = 1 is the LM trial again
    np.testing.assert_allclose(np.ravel(run.calls[2:]), expected, rtol=1e-12)
    assert run.p[0] == run.calls[-1][0]  # the line search point is taken


# ---- invalid and overflowing values ----------------------------------------------------------

@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode", ["der", "dif"])
@pytest.mark.parametrize("max_iter, ret, stop", [(5, -1, 7), (1, 1, 3)])
def test_nan_at_every_trial_point(prefix, mode, max_iter, ret, stop):
    start = np.array([1.0, 1.0], dtype=capi.DTYPE[prefix])

    def model(p):
        # finite at the start and, for differences, at its perturbations
        return decay(p) if np.allclose(p, start, rtol=1e-3) else np.full(len(T), np.nan)

    r = fit_mode(prefix, mode, model, decay_jac, start, DECAY_DATA, lb=[0.0, 0.0], ub=[10.0, 10.0],
                   max_iter=max_iter)
    # the first LM trial is NaN and so is the norm of its residual: the
    # iteration ends and counts, so the last allowed one reports the limit
    assert (r.ret, r.stop, r.info[5]) == (ret, stop, 1)
    assert r.info[7] == len(r.calls) and r.info[9] == 1
    np.testing.assert_array_equal(r.p, start)


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
def test_invalid_projected_gradient_trial_ends_at_once(prefix):
    """Only the start and the LM trial are valid: the line search along the
    LM step sees NaN (shrinking lambda by 10 until below lambda_min), then the
    first projected-gradient trial is NaN and the run ends without counting
    the iteration, so not even the last allowed one reports the limit."""
    calls = []

    def model(p):
        calls.append(None)
        if len(calls) == 1:
            return slope_model(p)
        if len(calls) == 2:
            return -10.0 * TL  # worse than the start
        return np.full(len(TL), np.nan)

    r = fit(prefix, "der", model, [1.0], 3.0 * TL, jac=slope_jac, max_iter=1)
    assert (r.ret, r.stop, r.info[5]) == (-1, 7, 0)
    # start + LM trial + line search + one gradient trial.  lambda_min is
    # 1.49e-5 / 2 in double (trials at lambda = 1 ... 1e-6) and 0.345 / 2 in
    # single precision (trials at 1 and 0.1); |dp| is about 2 at p = 1.
    assert r.info[7] == len(calls) == {"d": 1 + 1 + 7 + 1, "s": 1 + 1 + 2 + 1}[prefix]


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
def test_residual_overflow_is_a_poor_trial_not_invalid_values(prefix):
    """Beyond p0 = 5 the model is finite but its squares overflow: the norm
    of the residual stays finite, so those trials just do not lower the error."""
    huge = {"d": 1e200, "s": 1e30}[prefix]
    model = lambda p: np.full(len(TL), huge) if p[0] > 5.0 else p[0] * TL
    r = fit(prefix, "der", model, [1.0], 10.0 * TL, jac=slope_jac, max_iter=50)
    assert any(c[0] > 5.0 for c in r.calls)  # an overflowing trial happened
    assert r.ret >= 0 and r.stop != 7
    assert 4.0 < r.p[0] <= 5.0


# ---- linear solver failures ---------------------------------------------------------------------

@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("max_iter, stop", [(10, 5), (1, 3)])
def test_singular_damped_system_until_nu_overflows(prefix, max_iter, stop, capfd):
    """Identical columns and tau = 0 keep JᵀJ + mu I exactly singular: every
    solve fails and nu doubles from 2 to 2^30, so 30 solves end the search."""
    model = lambda p: (p[0] + p[1]) * TL
    jac = lambda p: np.column_stack([TL, TL])
    r = fit(prefix, "der", model, [1.0, 1.0], 3.0 * TL, jac=jac, max_iter=max_iter, opts=[0.0, 1e-17, 1e-17, 1e-17])
    assert (r.ret, r.stop, r.info[5], r.info[9]) == (1, stop, 1, 30)
    assert len(r.calls) == 1
    np.testing.assert_array_equal(r.p, [1.0, 1.0])
    capfd.readouterr()


# ---- scaling ----------------------------------------------------------------------------------

@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode", ["der", "dif"])
def test_scaling_gives_the_unscaled_fit_and_restores_the_bounds(prefix, mode):
    big = BIG[prefix]
    lb = [-big, 0.0]  # the sentinels are never scaled
    ub = [2.5, big]
    plain = fit_mode(prefix, mode, decay, decay_jac, [1.0, 1.0], DECAY_DATA, lb=lb, ub=ub, converge=True)
    scaled = fit_mode(prefix, mode, decay, decay_jac, [1.0, 1.0], DECAY_DATA, lb=lb, ub=ub, scale=[4.0, 0.25],
                        converge=True)
    assert scaled.ret >= 0 and scaled.stop in (1, 2)
    rtol = (RTOL if mode == "der" else DIF_RTOL)[prefix]
    np.testing.assert_allclose(scaled.p, plain.p, rtol=rtol)
    np.testing.assert_allclose(scaled.p, [2.5, rate_given_amplitude(2.5, DECAY_DATA)], rtol=rtol)
    np.testing.assert_array_equal(scaled.lb, np.array(lb, dtype=capi.DTYPE[prefix]))
    np.testing.assert_array_equal(scaled.ub, np.array(ub, dtype=capi.DTYPE[prefix]))
    # the covariance is reported in the caller's units
    np.testing.assert_allclose(scaled.cov, plain.cov, rtol={"d": 1e-6, "s": 5e-2}[prefix])
    if mode == "der":  # the callbacks see the caller's units
        assert inside_box(scaled.calls + scaled.jac_calls, scaled.lb, scaled.ub, prefix)


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
def test_bounds_come_back_exactly_when_scaling_overflows_them(prefix):
    """A bound divided by a small scale can overflow; the caller still gets
    the values it passed."""
    big = BIG[prefix]
    lb = np.array([-0.5 * big, 0.0], dtype=capi.DTYPE[prefix])
    ub = np.array([0.5 * big, 1e-3], dtype=capi.DTYPE[prefix])
    r = fit(prefix, "der", line, [1.0, 0.0], line([2.0, 1.0]), lb=lb, ub=ub, scale=[1e-10, 1.0], jac=line_jac,
            max_iter=5)
    np.testing.assert_array_equal(r.lb, lb)
    np.testing.assert_array_equal(r.ub, ub)
    assert r.p[1] == pytest.approx(1e-3, rel=4 * EPS[prefix])


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
def test_covariance_of_a_linear_fit(prefix):
    rng = np.random.default_rng(5)
    x = line([1.0, 2.0]) + 0.01 * rng.standard_normal(len(TL))
    J = line_jac(None)
    best = np.linalg.lstsq(J, x, rcond=None)[0]
    e = x - J @ best
    expected = np.linalg.inv(J.T @ J) * (e @ e) / (len(TL) - 2)
    for scale in (None, [4.0, 0.5]):
        r = fit(prefix, "der", line, [0.0, 0.0], x, lb=[-10.0, -10.0], ub=[10.0, 10.0], scale=scale, jac=line_jac,
                opts=CONVERGE[prefix])
        np.testing.assert_allclose(r.p, best, rtol=RTOL[prefix])
        np.testing.assert_allclose(r.cov, expected, rtol={"d": 1e-6, "s": 2e-2}[prefix])


# ---- set-up checks ----------------------------------------------------------------------------------

def setup_cases(prefix, mode):
    """{name: (arguments, expected message)}; each case also violates every later check."""
    der = f"{prefix}ombrix_bc_der"
    bad_bounds = dict(lb=[0.0, 2.0], ub=[1.0, 1.0])
    bad_scale = dict(scale=[0.0, 1.0])
    alloc = f"{der}(): memory allocation request failed\n"
    cases = {
        "fewer measurements": (dict(n=1, **bad_bounds, **bad_scale),
                               f"{der}(): cannot solve a problem with fewer measurements [1] than unknowns [2]\n"),
        "bounds": (dict(**bad_bounds, **bad_scale), f"{der}(): at least one lower bound exceeds the upper one\n"),
        "largest non-positive scale": (dict(scale=[0.0, -2.0]),
                                       f"{der}(): scaling constants should be positive (scale 1: -2 <= 0)\n"),
        "non-positive scale": (dict(scale=[0.0, 1.0]),
                               f"{der}(): scaling constants should be positive (scale 0: 0 <= 0)\n"),
        # sizes that cannot be represented take the allocation-failure path
        "size not representable": (dict(m=-2, n=-1), f"{prefix}ombrix_bc_{mode}(): memory allocation request failed\n"),
    }
    if mode == "der":
        cases["no Jacobian"] = (
            dict(jac=None, **bad_bounds, **bad_scale),
            f"No function specified for computing the Jacobian in {der}().\n"
            f"If no such function is available, use {prefix}ombrix_bc_dif() rather than {der}()\n")
        cases["scaled point not representable"] = (dict(m=-2, n=-1, scale=[1.0, 1.0]), alloc)
        cases["workspace too large"] = (dict(m=1 << 30, n=1 << 30), alloc)
    return cases


SETUP_CASES = [(prefix, mode, case) for prefix in capi.PRECISIONS for mode in ("der", "dif")
               for case in setup_cases(prefix, mode)]


@pytest.mark.parametrize("prefix, mode, case", SETUP_CASES)
def test_setup_failures(prefix, mode, case, capfd):
    kwargs, message = setup_cases(prefix, mode)[case]
    kwargs = {"jac": decay_jac, **kwargs}
    start = [5.0, 5.0]
    r = fit(prefix, mode, decay, start, DECAY_DATA, max_iter=10, **kwargs)
    assert r.ret == -1
    assert library_stderr(capfd.readouterr().err) == message
    assert r.calls == [] and r.jac_calls == []
    np.testing.assert_array_equal(r.p, start)  # not even projected
    np.testing.assert_array_equal(r.info, INFO_FILL)
    if r.cov is not None:
        np.testing.assert_array_equal(r.cov, INFO_FILL)
    if "lb" in kwargs:
        np.testing.assert_array_equal(r.lb, kwargs["lb"])


# ---- difference Jacobians -----------------------------------------------------------------------

@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("step, per_jacobian", [
    (1e-6, lambda m: m + 1),      # f(p) and m forward points
    (-1e-6, lambda m: 2 * m),     # m points on each side
    (math.nan, lambda m: 2 * m),  # a NaN step selects central differences
])
def test_dif_counts_the_adapter_model_calls(prefix, step, per_jacobian):
    opts = [1e-3, 1e-17, 1e-17, 1e-17, step]
    if not math.isnan(step):
        r = fit(prefix, "dif", decay, [1.0, 1.0], DECAY_DATA, lb=[0.0, 0.0], ub=[2.5, 5.0], opts=opts, max_iter=30)
        assert r.ret > 0 and r.info[7] == len(r.calls)
    # From far away on a line the first step is taken: the start, one
    # difference Jacobian and one trial.  (With a NaN step each parameter
    # gets the relative step 1e-4 |p_j|, so the start has no zero.)
    r = fit(prefix, "dif", line, [0.5, 0.5], line([2.0, 1.0]), lb=[-10.0, -10.0], ub=[10.0, 10.0], opts=opts,
            max_iter=1)
    assert (r.ret, r.info[8]) == (1, 1)
    assert r.info[7] == len(r.calls) == 1 + per_jacobian(2) + 1


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
def test_dif_differences_in_caller_units_when_scaling(prefix):
    """The perturbed points are p (caller units) plus the difference step."""
    r = fit(prefix, "dif", line, [1.0, 1.0], line([2.0, 1.0]), lb=[-10.0, -10.0], ub=[10.0, 10.0],
            scale=[1000.0, 1000.0], opts=[1e-3, 1e-17, 1e-17, 1e-17, 1e-3], max_iter=1)
    # forward differences: f(p), then p + d e_j with d = max(1e-4 |p_j|, 1e-3) = 1e-3
    np.testing.assert_array_equal(r.calls[1], r.calls[0])
    np.testing.assert_allclose(np.array(r.calls[2]) - r.calls[0], [1e-3, 0.0], atol=1e-6)
    np.testing.assert_allclose(np.array(r.calls[3]) - r.calls[0], [0.0, 1e-3], atol=1e-6)


# ---- caller workspace --------------------------------------------------------------------------

@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("eps3", [1e-17, 100.0])
def test_caller_workspace_contents_do_not_matter(prefix, eps3):
    m, n = 2, len(T)
    opts = [1e-3, 1e-17, 1e-17, eps3]
    own = fit(prefix, "der", decay, [1.0, 1.0], DECAY_DATA, lb=[0.0, 0.0], ub=[2.5, 5.0], jac=decay_jac, opts=opts)
    workspace = np.full(workspace_size(m, n), np.nan, dtype=capi.DTYPE[prefix])
    given = fit(prefix, "der", decay, [1.0, 1.0], DECAY_DATA, lb=[0.0, 0.0], ub=[2.5, 5.0], jac=decay_jac, opts=opts,
                workspace=workspace)
    np.testing.assert_array_equal(given.p, own.p)
    np.testing.assert_array_equal(given.info, own.info)
    np.testing.assert_array_equal(given.cov, own.cov)
