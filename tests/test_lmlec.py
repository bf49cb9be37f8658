"""Fits under linear equalities A p = b: ?ombrix_lec_der and ?ombrix_lec_dif."""

import numpy as np
import pytest

import capi
import solvers
from conftest import library_stderr
from constrained import covariance, fit, forward_jacobian, kkt_solution, null_space

MODES = ["der", "dif"]
# Tolerances per precision: the equalities hold to rounding of the elimination,
# parameters to the accuracy the solver reaches.
EPS = {"d": float(np.finfo(np.float64).eps), "s": float(np.finfo(np.float32).eps)}
FEASIBLE = {"d": 1e-10, "s": 2e-5}
# Single-precision differences need a step well above the rounding of f.
OPTS = {"d": None, "s": [1e-3, 1e-17, 1e-17, 1e-17, 1e-3]}


def lec(prefix, model, p0, x, A, b, k=None, jac=None, mode="dif", **kw):
    k = len(A) if k is None else k
    return fit(prefix, "lec", model, p0, x, [A, b, k], jac=jac if mode == "der" else None, mode=mode, **kw)


# ---- problems -------------------------------------------------------------------

def linear_problem(n, m, k, seed, row_scales=None):
    rng = np.random.default_rng(seed)
    M = rng.standard_normal((n, m))
    A = rng.standard_normal((k, m))
    if row_scales is not None:
        A *= np.asarray(row_scales)[:, None]
    return M, rng.standard_normal(n), A, rng.standard_normal(k), 3.0 * rng.standard_normal(m)


LINEAR_CASES = {
    "small": linear_problem(8, 4, 2, 1),
    # rows of very different norms: the pivoted QR reorders them
    "pivoted": linear_problem(9, 5, 3, 2, row_scales=[0.1, 1.0, 10.0]),
    # n*m > 1024 and m - k > 32: the reduced Jacobian is formed in 32 x 32 blocks
    "blocked": linear_problem(70, 68, 4, 3),
    "blocked-ragged": linear_problem(45, 40, 5, 4),
    # one row and many parameters: generating Q needs more work space than the
    # pivoted QR asks for
    "one row, wide": linear_problem(100, 100, 1, 5),
}

T = np.linspace(0.0, 3.0, 12)
EXPO_TRUE = np.array([4.0, 1.3, 2.0, 0.5])
EXPO_A = np.array([[1.0, 0.0, 1.0, 0.0]])  # p0 + p2 = 6
EXPO_B = np.array([6.0])
EXPO_START = np.array([1.0, 0.5, 1.0, 0.0])  # infeasible


def expo(p):
    return p[0] * np.exp(-p[1] * T) + p[2] + p[3] * T


def expo_jac(p):
    e = np.exp(-p[1] * T)
    return np.column_stack([e, -p[0] * T * e, np.ones_like(T), T])


EXPO_DATA = expo(EXPO_TRUE) + 0.05 * np.sin(5.0 * T)


def projection(p, A, b):
    """The orthogonal projection of p onto {A q = b}."""
    return p - A.T @ np.linalg.solve(A @ A.T, A @ p - b)


# ---- fits -----------------------------------------------------------------------

@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("case", LINEAR_CASES)
def test_linear_fit_is_the_constrained_least_squares_solution(prefix, mode, case):
    M, x, A, b, p0 = LINEAR_CASES[case]
    r = lec(prefix, lambda p: M @ p, p0, x, A, b, jac=lambda p: M, mode=mode, opts=OPTS[prefix])
    assert r.ret > 0 and r.stop in (1, 2, 6)
    expected, _ = kkt_solution(M, x, A, b)
    scale = np.abs(A).max(axis=1)  # rows of any scale hold to rounding
    np.testing.assert_allclose((A @ r.p - b) / scale, 0, atol=FEASIBLE[prefix] * np.abs(expected).max())
    # A step is taken only when ||x - M p||^2 falls, and near the minimum the
    # fall drowns in rounding: the rounding of M p (eps |M| |p| per entry)
    # moves the sum by 2 eps |r| . |M| |p|, and a comparison holds two sums.
    # Within that band ||M Z dz||^2 <= noise on the constraint set A p = b
    # (Z a basis of its directions), so p is off by sqrt(noise) / sigma_min(M Z).
    noise = 4 * EPS[prefix] * np.abs(x - M @ expected) @ (np.abs(M) @ np.abs(expected))
    resolution = np.sqrt(noise) / np.linalg.svd(M @ null_space(A), compute_uv=False)[-1]
    np.testing.assert_allclose(r.p, expected, rtol=0, atol=resolution)


@pytest.mark.parametrize("mode", MODES)
def test_null_b_means_a_zero_right_hand_side(mode):
    M, x, A, _, p0 = LINEAR_CASES["small"]
    r = lec("d", lambda p: M @ p, p0, x, A, None, k=len(A), jac=lambda p: M, mode=mode)
    np.testing.assert_allclose(r.p, kkt_solution(M, x, A, np.zeros(len(A)))[0], rtol=1e-8, atol=1e-10)


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode", MODES)
def test_infeasible_start_is_projected_before_the_first_evaluation(prefix, mode):
    r = lec(prefix, expo, EXPO_START, EXPO_DATA, EXPO_A, EXPO_B, jac=expo_jac, mode=mode, max_iter=0)
    start = projection(EXPO_START, EXPO_A, EXPO_B)
    atol = {"d": 1e-14, "s": 1e-6}[prefix]
    np.testing.assert_allclose(r.calls[0], start, atol=atol)
    # no iteration: the returned point is the projected start, and info says
    # so (the difference solver's covariance adds m + 1 calls)
    assert (r.ret, r.stop, r.info[7]) == (0, 3, 1)
    assert len(r.calls) == (1 if mode == "der" else 1 + len(EXPO_START) + 1)
    np.testing.assert_allclose(r.p, start, atol=atol)
    assert r.info[0] == pytest.approx(np.sum((EXPO_DATA - expo(start)) ** 2), rel={"d": 1e-13, "s": 1e-5}[prefix])


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode", MODES)
def test_nonlinear_fit_is_feasible_and_stationary_on_the_constraint_set(prefix, mode):
    r = lec(prefix, expo, EXPO_START, EXPO_DATA, EXPO_A, EXPO_B, jac=expo_jac, mode=mode, max_iter=500,
            opts=OPTS[prefix])
    assert r.ret > 0 and r.stop in (1, 2, 6)
    p = r.p.astype(float)
    assert abs(EXPO_A @ p - EXPO_B)[0] <= FEASIBLE[prefix] * 6
    # Every model call of the solve is made on the constraint set (difference
    # points included); the covariance's own differences come after them.
    calls = np.array(r.calls[:int(r.info[7])], dtype=float)
    assert np.abs(calls @ EXPO_A.T - EXPO_B).max() <= {"d": 1e-12, "s": 1e-4}[prefix]
    # The gradient of ||e||^2 is orthogonal to the constraint set: it is a
    # multiple of the constraint row (to the accuracy of the Jacobian used).
    J, e = expo_jac(p), EXPO_DATA - expo(p)
    grad = J.T @ e
    along = EXPO_A[0] / np.linalg.norm(EXPO_A[0])
    tangential = grad - (grad @ along) * along
    tol = {("d", "der"): 1e-10, ("d", "dif"): 1e-6, ("s", "der"): 1e-4, ("s", "dif"): 1e-3}[prefix, mode]
    assert np.abs(tangential).max() <= tol * np.linalg.norm(J) * np.linalg.norm(e)
    assert r.info[1] == pytest.approx(np.sum((EXPO_DATA - expo(p)) ** 2), rel={"d": 1e-10, "s": 1e-4}[prefix])


@pytest.mark.parametrize("mode", MODES)
def test_caller_workspace_is_sized_for_the_reduced_problem(mode):
    n, mr = len(T), len(EXPO_START) - len(EXPO_B)
    size = 2 * n + 4 * mr + n * mr + mr * mr if mode == "der" else 4 * n + 4 * mr + n * mr + mr * mr
    work = np.full(size, np.nan)  # contents on entry must not matter
    kw = dict(jac=expo_jac, mode=mode, max_iter=50)
    own = lec("d", expo, EXPO_START, EXPO_DATA, EXPO_A, EXPO_B, **kw)
    given = lec("d", expo, EXPO_START, EXPO_DATA, EXPO_A, EXPO_B, workspace=work, **kw)
    np.testing.assert_array_equal(given.p, own.p)
    np.testing.assert_array_equal(given.info, own.info)


# ---- covariance of the full parameter vector ----------------------------------------

@pytest.mark.parametrize("max_iter", [2, 500])
def test_der_covariance_comes_from_the_last_jacobian(max_iter):
    # After two iterations the last Jacobian was taken at the start of the
    # second one, not at the returned point.
    r = lec("d", expo, EXPO_START, EXPO_DATA, EXPO_A, EXPO_B, jac=expo_jac, mode="der", max_iter=max_iter)
    expected = covariance(expo_jac(r.jac_calls[-1]), r.info[1], len(T))
    np.testing.assert_allclose(r.cov, expected, rtol=1e-7, atol=1e-12 * np.abs(expected).max())
    if max_iter == 2:
        at_returned_point = covariance(expo_jac(r.p), r.info[1], len(T))
        assert not np.allclose(r.cov, at_returned_point, rtol=1e-3)


@pytest.mark.parametrize("difference_step", [1e-6, -1e-6, 1e-3])
def test_dif_covariance_uses_a_fresh_forward_difference_jacobian_at_the_returned_point(difference_step):
    # Whatever scheme and step the solve used, the covariance is built from
    # forward differences with step 1e-6 at the returned point: m + 1 more model
    # calls, not counted in info.
    opts = [1e-3, 1e-17, 1e-17, 1e-17, difference_step]
    r = lec("d", expo, EXPO_START, EXPO_DATA, EXPO_A, EXPO_B, mode="dif", max_iter=3, opts=opts)
    m = len(EXPO_START)
    assert len(r.calls) == r.info[7] + m + 1
    np.testing.assert_array_equal(r.calls[-m - 1], r.p)
    expected = covariance(forward_jacobian(expo, r.p), r.info[1], len(T))
    np.testing.assert_allclose(r.cov, expected, rtol=1e-8, atol=1e-12 * np.abs(expected).max())


@pytest.mark.parametrize("mode", MODES)
def test_null_info_still_scales_the_covariance_by_the_final_error(mode):
    kw = dict(jac=expo_jac, mode=mode, max_iter=50)
    with_info = lec("d", expo, EXPO_START, EXPO_DATA, EXPO_A, EXPO_B, **kw)
    without = lec("d", expo, EXPO_START, EXPO_DATA, EXPO_A, EXPO_B, info=False, **kw)
    np.testing.assert_array_equal(without.p, with_info.p)
    np.testing.assert_array_equal(without.cov, with_info.cov)
    assert np.abs(with_info.cov).max() > 0


@pytest.mark.parametrize("mode", MODES)
def test_covariance_of_a_solve_that_never_formed_a_jacobian(mode):
    # A start already within eps3: no Jacobian is made.  The analytic solver then
    # has no Jacobian to build on and returns zeros; the difference solver
    # still builds its own at the returned point.
    on_set = projection(EXPO_TRUE, EXPO_A, EXPO_B)
    r = lec("d", expo, on_set, expo(on_set), EXPO_A, EXPO_B, jac=expo_jac, mode=mode,
            opts=[1e-3, 1e-17, 1e-17, 1e-20, 1e-6])
    assert (r.ret, r.stop, r.jac_calls) == (0, 6, [])
    if mode == "der":
        assert (r.cov == 0).all()
    else:
        assert np.isfinite(r.cov).all()


# ---- no constraints: the unconstrained solver's run ---------------------------------------

@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("rows", ["empty", "null A"])
def test_no_equality_rows_run_exactly_as_the_unconstrained_solver(prefix, mode, rows):
    if rows == "empty":
        A, b, k = np.empty((0, 4)), np.empty(0), 0
    else:
        A, b, k = None, np.ones(2), 2  # without a matrix there is nothing to eliminate
    r = lec(prefix, expo, EXPO_START, EXPO_DATA, A, b, k=k, jac=expo_jac, mode=mode, max_iter=100)
    plain = _unconstrained(prefix, mode, max_iter=100)
    np.testing.assert_array_equal(r.p, plain.p)
    np.testing.assert_array_equal(r.info, plain.info)
    assert len(r.calls) == len(plain.calls) + (len(EXPO_START) + 1 if mode == "dif" else 0)
    if mode == "der":  # same Jacobian, J^T J formed another way
        np.testing.assert_allclose(r.cov, plain.cov, rtol={"d": 1e-9, "s": 1e-3}[prefix])


def _unconstrained(prefix, mode, max_iter):
    """The same expo fit through ?ombrix_der / ?ombrix_dif."""
    return solvers.call(prefix, None, expo, EXPO_START, EXPO_DATA, jac=expo_jac if mode == "der" else None,
                        max_iter=max_iter, fill=0.0)


# ---- refusals -------------------------------------------------------------------------

BIG_M = 2**31 - 1  # sizes of m x m reals that no allocator grants

REFUSALS = [
    # (id, modes, keyword overrides, message with {P} for the precision letter and {mode})
    ("no jacobian callback", ["der"], dict(jac=None),
     "No function specified for computing the Jacobian in {P}ombrix_lec_der().\n"
     "If no such function is available, use {P}ombrix_lec_dif() rather than {P}ombrix_lec_der()\n"),
    ("no jacobian callback before the size check", ["der"], dict(jac=None, n=1, m=4),
     "No function specified for computing the Jacobian in {P}ombrix_lec_der().\n"
     "If no such function is available, use {P}ombrix_lec_dif() rather than {P}ombrix_lec_der()\n"),
    ("m - k > n", MODES, dict(n=2, m=4),
     "{P}ombrix_lec_{mode}(): cannot solve a problem with fewer measurements + equality constraints [2 + 1] "
     "than unknowns [4]\n"),
    ("k > m", MODES, dict(A=np.ones((5, 4)), b=np.ones(5)),
     "matrix of constraints cannot have more rows than columns in{P}lmlec_elim()!\n"),
    ("redundant rows", MODES, dict(A=np.array([[1.0, 0.0, 1.0, 0.0], [2.0, 0.0, 2.0, 0.0]]), b=np.array([6.0, 12.0])),
     "\nConstraints matrix in {P}lmlec_elim() is not of full row rank (i.e. 1 < 2)!\n"
     "Make sure that you do not specify redundant or inconsistent constraints.\n\n"),
    ("inconsistent rows", MODES,
     dict(A=np.array([[1.0, 1.0, 0.0, 0.0], [0.0, 1.0, 1.0, 0.0], [1.0, 2.0, 1.0, 0.0]]), b=np.ones(3)),
     "\nConstraints matrix in {P}lmlec_elim() is not of full row rank (i.e. 2 < 3)!\n"
     "Make sure that you do not specify redundant or inconsistent constraints.\n\n"),
    ("unallocatable", MODES, dict(A=np.empty((0, 4)), b=np.empty(0), m=BIG_M, n=BIG_M),
     "{P}ombrix_lec_{mode}(): memory allocation request failed\n"),
]


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode, case, message",
                         [pytest.param(mode, kw, msg, id=f"{name}-{mode}")
                          for name, modes, kw, msg in REFUSALS for mode in modes])
def test_refusals_print_one_message_and_touch_nothing(prefix, mode, case, message, capfd):
    kw = {"A": EXPO_A, "b": EXPO_B, "jac": expo_jac, **case}
    A, b = kw.pop("A"), kw.pop("b")
    r = lec(prefix, expo, EXPO_START, EXPO_DATA, A, b, mode=mode, cov=kw.get("m", 4) < 100, **kw)
    assert r.ret == -1
    assert library_stderr(capfd.readouterr().err) == message.format(P=prefix, mode=mode)
    assert r.calls == [] and r.jac_calls == []
    np.testing.assert_array_equal(r.p, EXPO_START)
    assert (r.info == -1).all()
    if r.cov is not None:
        assert (r.cov == -1).all()
