"""The unconstrained solvers dombrix_der / dombrix_dif and their float twins."""

import math

import numpy as np
import pytest

import capi
import reference_lm
import solvers

DBL_MAX = np.finfo(np.float64).max
FLT_MAX = float(np.finfo(np.float32).max)

# Tolerance on fitted parameters per precision.
RTOL = {"d": 1e-9, "s": 2e-3}


# ---- models ---------------------------------------------------------------------

def rosenbrock(p):
    return np.array([10.0 * (p[1] - p[0] ** 2), 1.0 - p[0]])


def rosenbrock_jac(p):
    return np.array([[-20.0 * p[0], 10.0], [-1.0, 0.0]])


T = np.linspace(0.0, 10.0, 40)
DECAY_TRUE = np.array([5.0, 0.7, 1.0])


def decay(p):
    return p[0] * np.exp(-p[1] * T) + p[2]


def decay_jac(p):
    e = np.exp(-p[1] * T)
    return np.column_stack([e, -p[0] * T * e, np.ones_like(T)])


DECAY_DATA = decay(DECAY_TRUE)


def solve(prefix, model, p0, x=None, jac=None, max_iter=100, opts=None, n=None, workspace=None,
          with_info=True, with_cov=True):
    """Run ?ombrix_der (when `jac` is given) or ?ombrix_dif through ctypes."""
    return solvers.call(prefix, None, model, p0, x, jac=jac, n=n, max_iter=max_iter, opts=opts, info=with_info,
                        cov=with_cov, workspace=workspace, fill=-1.0)


SOLVERS = [
    pytest.param(dict(jac=True), id="der"),
    pytest.param(dict(jac=False), id="dif-forward"),
    pytest.param(dict(jac=False, opts=[1e-3, 1e-17, 1e-17, 1e-17, -1e-6]), id="dif-central"),
]


def run(prefix, model, jac_model, p0, x=None, jac=True, **kw):
    return solve(prefix, model, p0, x=x, jac=jac_model if jac else None, **kw)


# ---- real fits ---------------------------------------------------------------------

@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("how", SOLVERS)
def test_rosenbrock_reaches_minimum(prefix, how):
    fit = run(prefix, rosenbrock, rosenbrock_jac, [-1.2, 1.0], n=2, max_iter=1000, **how)
    assert fit.ret >= 0 and fit.stop in (1, 2, 6)
    np.testing.assert_allclose(fit.p, [1.0, 1.0], rtol=RTOL[prefix])
    assert fit.info[0] == pytest.approx(24.2, rel=1e-6)
    assert fit.info[1] <= {"d": 1e-16, "s": 1e-8}[prefix]


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("how", SOLVERS)
def test_exponential_decay_from_exact_data(prefix, how):
    fit = run(prefix, decay, decay_jac, [1.0, 0.1, 0.0], x=DECAY_DATA, max_iter=500, **how)
    assert fit.ret >= 0
    np.testing.assert_allclose(fit.p, DECAY_TRUE, rtol=RTOL[prefix] * 10)
    assert fit.info[5] == fit.ret
    # counts: der calls jacf once per iteration; every call is counted
    assert fit.info[7] == len(fit.calls)
    if how["jac"]:
        assert fit.info[8] == len(fit.jac_calls)


def test_covariance_of_a_noisy_linear_fit_matches_the_textbook_formula(chisq_noise):
    rng = np.random.default_rng(1)
    A = np.column_stack([np.ones(30), np.linspace(0, 3, 30)])
    y = A @ [2.0, -1.0] + 0.01 * rng.standard_normal(30)
    fit = solve("d", lambda p: A @ p, [0.0, 0.0], x=y, jac=lambda p: A)
    e2 = float(np.sum((y - A @ fit.p) ** 2))
    np.testing.assert_allclose(fit.cov, np.linalg.inv(A.T @ A) * e2 / (30 - 2), rtol=1e-8)
    # p to what the error resolves: sqrt(noise) / sigma_min of A scaled by |p|
    expected = np.linalg.lstsq(A, y, rcond=None)[0]
    resolution = np.sqrt(chisq_noise(y - A @ expected, y)) / np.linalg.svd(A * np.abs(expected), compute_uv=False)[-1]
    np.testing.assert_allclose(fit.p, expected, rtol=resolution)


def test_null_x_fits_the_model_to_zeros():
    fit = solve("d", lambda p: np.array([p[0] - 3.0, p[1] + 2.0, p[0] + p[1] - 1.0]), [0.0, 0.0], n=3,
                jac=lambda p: np.array([[1.0, 0.0], [0.0, 1.0], [1.0, 1.0]]), opts=[1e-3, 1e-17, 1e-17, 1e-30])
    np.testing.assert_allclose(fit.p, [3.0, -2.0], rtol=1e-12)


@pytest.mark.parametrize("how", SOLVERS)
def test_caller_workspace_gives_the_same_run(how):
    jac = how["jac"]
    n, m = len(T), 3
    size = (2 * n + 4 * m + n * m + m * m) if jac else (4 * n + 4 * m + n * m + m * m)
    work = np.full(size, np.nan)  # contents on entry must not matter
    kw = dict(x=DECAY_DATA, max_iter=50, **how)
    own = run("d", decay, decay_jac, [1.0, 0.1, 0.0], **kw)
    given = run("d", decay, decay_jac, [1.0, 0.1, 0.0], workspace=work, **kw)
    np.testing.assert_array_equal(given.p, own.p)
    np.testing.assert_array_equal(given.info[[0, 1, 2, 3, 5, 6, 7, 8, 9]], own.info[[0, 1, 2, 3, 5, 6, 7, 8, 9]])


@pytest.mark.parametrize("how", SOLVERS)
def test_null_info_and_covariance_are_accepted(how):
    fit = run("d", decay, decay_jac, [1.0, 0.1, 0.0], x=DECAY_DATA, with_info=False, with_cov=False,
              **how)
    np.testing.assert_allclose(fit.p, DECAY_TRUE, rtol=1e-7)


# ---- the iteration, step by step, against a transcription ------------------------------------

REFERENCE_CASES = [
    pytest.param(decay, decay_jac, [1.0, 0.1, 0.0], DECAY_DATA, id="decay"),
    pytest.param(rosenbrock, rosenbrock_jac, [-1.2, 1.0], np.zeros(2), id="rosenbrock"),
    # A model whose first steps are rejected: the damping search must grow mu.
    pytest.param(lambda p: np.array([np.sin(3 * p[0]) + p[1], p[0] * p[1] - 1.0, p[0] - p[1] ** 3]),
                 lambda p: np.array([[3 * np.cos(3 * p[0]), 1.0], [p[1], p[0]], [1.0, -3 * p[1] ** 2]]),
                 [2.0, -1.5], np.array([0.3, 0.5, -0.2]), id="rejections"),
]


@pytest.mark.parametrize("model, jac, p0, x", REFERENCE_CASES)
@pytest.mark.parametrize("max_iter", [1, 3, 200])
def test_der_takes_the_decisions_of_the_algorithm(model, jac, p0, x, max_iter):
    # Tolerances well above rounding: every run stops on its gradient while
    # each accepted step still lowers the error by over 200 times its
    # rounding noise, and no gradient or step lies within a factor 2.5 of its
    # threshold, so the decisions, hence the counts, are the algorithm's alone.
    opts = [1e-3, 1e-7, 1e-12, 1e-20, 1e-6]
    fit = solve("d", model, p0, x=x, jac=jac, max_iter=max_iter, opts=opts)
    ref = reference_lm.lm_der(model, jac, p0, x, max_iter, opts)
    assert (fit.info[5], fit.stop, fit.info[7], fit.info[8], fit.info[9]) == (
        ref.iterations, ref.stop, ref.model_calls, ref.jacobians, ref.solves)
    np.testing.assert_allclose(fit.p, ref.p, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("model, jac, p0, x", REFERENCE_CASES)
@pytest.mark.parametrize("delta", [1e-6, -1e-6])
@pytest.mark.parametrize("max_iter", [1, 5, 12])
def test_dif_takes_the_decisions_of_the_algorithm(model, jac, p0, x, delta, max_iter):
    # Compared only before rounding noise decides acceptances near the minimum.
    opts = [1e-3, 1e-10, 1e-10, 1e-20, delta]
    fit = solve("d", model, p0, x=x, max_iter=max_iter, opts=opts)
    ref = reference_lm.lm_dif(model, p0, x, max_iter, opts)
    assert (fit.info[5], fit.stop, fit.info[7], fit.info[8], fit.info[9]) == (
        ref.iterations, ref.stop, ref.model_calls, ref.jacobians, ref.solves)
    np.testing.assert_allclose(fit.p, ref.p, rtol=1e-7, atol=1e-10)


def test_dif_refreshes_the_difference_jacobian_every_max_m_10_updates():
    # A slowly converging 3-parameter problem: every step is accepted, so a
    # difference Jacobian is made at iterations 0, 10 and 20 of 25.
    t = np.linspace(0, 1, 12)
    model = lambda p: p[0] * np.exp(p[1] * t) + p[2] * t
    x = model(np.array([1.0, -1.0, 0.5]))
    opts = [1.0, 1e-30, 1e-30, 1e-30, 1e-6]  # large initial damping: small steps, no early stop
    fit = solve("d", model, [2.0, 0.5, 0.0], x=x, max_iter=25, opts=opts)
    ref = reference_lm.lm_dif(model, [2.0, 0.5, 0.0], x, 25, opts)
    assert fit.info[5] == 25 and fit.info[9] == 25
    assert fit.info[8] == ref.jacobians == 3
    assert fit.info[7] == 1 + 3 * 3 + 25  # initial, three difference Jacobians of m calls, one trial each


# ---- contract: checks, early exits, counters -------------------------------------------------

@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("solver", ["der", "dif"])
def test_fewer_measurements_than_unknowns(prefix, solver, capfd):
    fit = solve(prefix, lambda p: p[:1], [1.0, 2.0], n=1, jac=(lambda p: [[1.0, 0.0]]) if solver == "der" else None)
    assert fit.ret == -1 and fit.calls == [] and fit.jac_calls == []
    assert (fit.info == -1).all()  # untouched
    assert capfd.readouterr().err == (
        f"{prefix}ombrix_{solver}(): cannot solve a problem with fewer measurements [1] than unknowns [2]\n")


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
def test_der_without_jacobian_callback(prefix, capfd):
    dt = capi.DTYPE[prefix]
    p = np.array([1.0], dt)
    ret = capi.fn(prefix, "ombrix_der")(capi.callback(prefix, lambda q: q), None, capi.ptr(p), None, 1, 1, 10,
                                       None, None, None, None, None)
    assert ret == -1
    assert capfd.readouterr().err == (
        f"No function specified for computing the Jacobian in {prefix}ombrix_der().\n"
        f"If no such function is available, use {prefix}ombrix_dif() rather than {prefix}ombrix_der()\n")


def test_square_problem_is_accepted():
    fit = solve("d", rosenbrock, [-1.2, 1.0], n=2, jac=rosenbrock_jac)
    assert fit.ret > 0


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("how", SOLVERS)
@pytest.mark.parametrize("first_value", [1.0, np.nan])
def test_max_iter_zero_evaluates_once_and_reports_the_limit(prefix, how, first_value):
    fit = run(prefix, lambda p: np.array([first_value, p[0]]), lambda p: np.array([[0.0], [1.0]]), [2.0],
              n=2, max_iter=0, **how)
    assert (fit.ret, fit.stop, len(fit.calls), fit.info[5], fit.info[7]) == (0, 3, 1, 0, 1)
    assert fit.info[3] == (DBL_MAX if prefix == "d" else FLT_MAX)


@pytest.mark.parametrize("how", SOLVERS)
def test_invalid_first_evaluation_stops_with_reason_7(how):
    fit = run("d", lambda p: np.array([np.nan, p[0]]), lambda p: np.array([[0.0], [1.0]]), [2.0], n=2,
              max_iter=10, **how)
    assert (fit.ret, fit.stop, len(fit.calls), fit.info[5]) == (-1, 7, 1, 0)
    assert fit.jac_calls == []


@pytest.mark.parametrize("how", SOLVERS)
def test_small_initial_error_stops_before_any_jacobian(how):
    fit = run("d", decay, decay_jac, DECAY_TRUE, x=DECAY_DATA + 1e-10, max_iter=10,
              opts=[1e-3, 1e-17, 1e-17, 1e-15, how.get("opts", [0] * 5)[4] or 1e-6],
              jac=how["jac"])
    assert (fit.ret, fit.stop, len(fit.calls), fit.info[8], fit.info[9]) == (0, 6, 1, 0, 0)
    assert fit.jac_calls == []
    # no J^T J was ever formed: the covariance is that of a zero matrix
    assert (fit.cov == 0).all()


def test_small_initial_gradient_stops_after_one_jacobian():
    fit = solve("d", decay, DECAY_TRUE, x=DECAY_DATA + 1e-3 * np.cos(40 * T), jac=decay_jac,
                opts=[1e-3, 10.0, 1e-17, 1e-17])
    assert (fit.ret, fit.stop, len(fit.jac_calls), fit.info[3], fit.info[9]) == (0, 1, 1, 0.0, 0)


def _finite_only_near(p0):
    # finite within the difference steps around p0, NaN at any real step
    return lambda p: np.array([p[0] - 1.0, p[1]]) if np.abs(p - p0).max() < 1e-3 else np.array([np.nan, 0.0])


@pytest.mark.parametrize("max_iter, ret, stop", [(5, -1, 7), (1, 1, 3)])
def test_der_invalid_trial_stops_or_yields_to_the_limit(max_iter, ret, stop):
    p0 = np.array([3.0, 2.0])
    fit = solve("d", _finite_only_near(p0), p0, n=2, jac=lambda p: np.eye(2), max_iter=max_iter)
    assert (fit.ret, fit.stop, fit.info[5]) == (ret, stop, 1)
    np.testing.assert_array_equal(fit.p, p0)  # the last accepted point


def test_dif_invalid_trial_reports_the_iterations_before_it():
    p0 = np.array([3.0, 2.0])
    for max_iter in (5, 1):  # no replacement by the limit in the secant solver
        fit = solve("d", _finite_only_near(p0), p0, n=2, max_iter=max_iter)
        assert (fit.ret, fit.stop, fit.info[5], fit.info[9]) == (-1, 7, 0, 1)


def test_dif_first_iteration_calls_the_model_m_plus_1_or_2m_plus_1_times():
    for opts, calls in ((None, 1 + 3 + 1), ([1e-3, 1e-17, 1e-17, 1e-17, -1e-6], 1 + 6 + 1)):
        fit = solve("d", decay, [1.0, 0.1, 0.0], x=DECAY_DATA, max_iter=1, opts=opts)
        assert (fit.ret, len(fit.calls), fit.info[7], fit.info[8]) == (1, calls, calls, 1)


def test_dif_with_max_iter_1_stops_on_a_small_step():
    fit = solve("d", decay, DECAY_TRUE + 1e-9, x=DECAY_DATA, max_iter=1, opts=[1e-3, 1e-17, 1e-3, 1e-30, 1e-6])
    assert (fit.ret, fit.stop, fit.info[9]) == (0, 2, 1)


def test_null_opts_and_explicit_defaults_run_identically():
    for jac in (decay_jac, None):
        a = solve("d", decay, [1.0, 0.1, 0.0], x=DECAY_DATA, jac=jac)
        b = solve("d", decay, [1.0, 0.1, 0.0], x=DECAY_DATA, jac=jac, opts=[1e-3, 1e-17, 1e-17, 1e-17, 1e-6])
        np.testing.assert_array_equal(a.p, b.p)
        np.testing.assert_array_equal(a.info, b.info)


@pytest.mark.parametrize("delta, calls_per_jacobian", [(1e-6, 3), (-1e-6, 6), (np.nan, 3)])
def test_sign_of_the_step_selects_the_difference_scheme(delta, calls_per_jacobian):
    # (a NaN step falls back to 1e-4 |p_j|: no parameter may be 0 here)
    fit = solve("d", decay, [1.0, 0.1, 0.5], x=DECAY_DATA, max_iter=1, opts=[1e-3, 1e-17, 1e-17, 1e-17, delta])
    assert fit.info[7] == 1 + calls_per_jacobian + 1


def test_singular_step_stops_with_reason_4():
    # J^T J = 0 and zero damping: the solve fails and mu never grows from 0, so
    # every search ends in reason 5 ... unless a step is absurdly long: a tiny
    # but nonzero J gives that.
    fit = solve("d", lambda p: 1e-160 * p, [1.0], x=np.array([1.0]), jac=lambda p: np.array([[1e-160]]),
                opts=[0.0, 1e-300, 1e-17, 1e-30])
    assert (fit.ret, fit.stop) == (-1, 4)
    assert fit.p[0] == 1.0


def test_no_further_reduction_after_thirty_rejections():
    # A Jacobian of the wrong sign: every step increases the error; with
    # eps2 = 0 the shrinking steps never count as small.
    fit = solve("d", lambda p: p.copy(), [1.0], x=np.array([0.0]), jac=lambda p: -np.eye(1), max_iter=10,
                opts=[1e-3, 1e-17, 0.0, 1e-17])
    assert (fit.ret, fit.stop, fit.info[5], fit.info[9]) == (1, 5, 1, 30)


# ---- the direct and BLAS forms of the normal equations -----------------------------------

@pytest.mark.parametrize("n, m", [(341, 3), (256, 4), (1023, 1), (1024, 1), (33, 31), (32, 32)])
def test_first_step_solves_the_damped_normal_equations(n, m):
    # Linear model: one iteration takes exactly the damped Gauss-Newton step,
    # whichever way J^T J was formed (n*m = 1023 direct, 1024 gemm).
    rng = np.random.default_rng(n * m)
    J = rng.standard_normal((n, m))
    x = rng.standard_normal(n)
    p0 = rng.standard_normal(m)
    fit = solve("d", lambda p: J @ p, p0, x=x, jac=lambda p: J, max_iter=1)
    jtj, jte = J.T @ J, J.T @ (x - J @ p0)
    mu = 1e-3 * np.max(np.diag(jtj))
    np.testing.assert_allclose(fit.p, p0 + np.linalg.solve(jtj + mu * np.eye(m), jte), rtol=1e-10)
    assert fit.stop == 3 and 0 < fit.info[4] < 1e-3  # mu shrank after the accepted step


def test_info_entries_of_a_converged_fit():
    fit = solve("d", decay, [1.0, 0.1, 0.0], x=DECAY_DATA + 0.01 * np.sin(7 * T), jac=decay_jac, max_iter=200,
                opts=[1e-3, 1e-12, 1e-12, 1e-20])
    final = DECAY_DATA + 0.01 * np.sin(7 * T) - decay(fit.p)
    assert fit.info[1] == pytest.approx(final @ final, rel=1e-12)
    jte = decay_jac(fit.p).T @ final
    assert 0 <= fit.info[2] <= 1e-6 + np.max(np.abs(jte))
    assert fit.stop in (1, 2) and math.isfinite(fit.info[4])
