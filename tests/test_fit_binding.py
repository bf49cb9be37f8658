"""ombrix._fit: evaluation, difference Jacobians, failures that stop the fit,
every solver in both precisions, and no leaks."""

import gc
import sys
import traceback
import tracemalloc

import numpy as np
import pytest

from ombrix import _fit

T = np.linspace(0.0, 4.0, 20)
TRUE = np.array([3.0, 0.7])


def decay(p):
    return p[0] * np.exp(-p[1] * T)


def decay_jac(p):
    e = np.exp(-p[1] * T)
    return np.stack([e, -p[0] * T * e], axis=1)


Y = decay(TRUE)
TOL = (1e-4, 0.0, 1e-12, 0.0, 200)  # tau, eps1, eps2, eps3, max_iter


def solve(model=decay, p0=(1.0, 1.0), y=Y, jac=None, diff="forward", dtype=np.float64, weights=None, lb=None,
          ub=None, A=None, b=None, C=None, d=None, args=(), scale=True, tol=TOL, unpack=False, polish=False,
          factor=False, everything=False):
    """(p, f, J, info, nfev, njev, status), or with `everything` the binding's whole tuple."""
    result = _fit.solve(model, np.array(p0, dtype=dtype), y, args, jac, weights, lb, ub, A, b, C, d, diff, None,
                        scale, *tol, unpack, polish, factor)
    return result if everything else result[:7]


class Counted:
    """A model or Jacobian that counts its calls and keeps the points it saw."""

    def __init__(self, function, fail_at=None, error=None, result=None, log=None):
        self.function, self.fail_at, self.error, self.result = function, fail_at, error, result
        self.points = []
        self.log = [] if log is None else log  # shared by a model and its Jacobian: the order of all calls

    def __call__(self, p, *args):
        self.points.append(p)
        self.log.append(self)
        if self.fail_at is not None and len(self.points) >= self.fail_at:
            if self.error is not None:
                raise self.error
            return self.result
        return self.function(p, *args)


# ---- fits through every path ----

@pytest.mark.parametrize("diff", ["forward", "central", "secant"])
@pytest.mark.parametrize("analytic", [False, True])
@pytest.mark.parametrize("scale", [False, True])
def test_every_jacobian_mode_fits_exact_data(diff, analytic, scale):
    p, f, J, info, nfev, njev, status = solve(jac=decay_jac if analytic else None, diff=diff, scale=scale)
    assert status >= 0 and info[6] in (1, 2, 6)
    np.testing.assert_allclose(p, TRUE, rtol=1e-7)
    np.testing.assert_allclose(f, decay(p), rtol=1e-12)
    # the returned Jacobian is accurate at p, never a secant approximation
    np.testing.assert_allclose(J, decay_jac(p), rtol=1e-6 if diff != "central" else 1e-9, atol=1e-7)


def test_model_gets_a_fresh_array_and_is_called_once_per_point():
    model = Counted(decay)
    p, f, J, info, nfev, njev, _ = solve(model=model)
    assert nfev == len(model.points)
    # each call gets its own array: keeping one is safe
    assert len({id(q) for q in model.points}) == len(model.points)
    assert all(type(q) is np.ndarray and q.dtype == np.float64 and q.shape == (2,) for q in model.points)
    # no probe call: the first call is at p0, and no point is evaluated twice in a row
    np.testing.assert_array_equal(model.points[0], [1.0, 1.0])
    assert not any(np.array_equal(a, b) for a, b in zip(model.points, model.points[1:]))
    # forward differences and the final values reuse evaluations made at the same point
    assert nfev <= 1 + njev * 2 + int(info[9])


def test_forward_step_follows_the_typical_size_and_stays_inside_bounds():
    model = Counted(lambda p: np.array([p[0] ** 2, p[1]]))
    f, J, nfev = _fit.jacobian(model, np.array([2.0, -3.0]), (), None, "forward", None, None, None, 2)
    steps = [q - np.array([2.0, -3.0]) for q in model.points[1:]]
    h = np.sqrt(np.finfo(np.float64).eps)
    assert steps[0][0] == pytest.approx(2 * h) and steps[1][1] == pytest.approx(-3 * h)  # the sign of p_j
    np.testing.assert_allclose(J, [[4.0, 0.0], [0.0, 1.0]], atol=1e-7)
    assert nfev == 3
    # at an upper bound the step goes the other way
    model.points.clear()
    _fit.jacobian(model, np.array([2.0, 1.0]), (), None, "forward", np.array([1.0, 1.0]), None,
                  np.array([2.0, 5.0]), 2)
    assert model.points[1][0] < 2.0 and model.points[2][1] > 1.0


def test_central_step_and_one_sided_formula_at_a_bound():
    model = Counted(lambda p: np.array([np.exp(p[0]), p[1] ** 3]))
    p = np.array([0.0, 1.0])
    f, J, nfev = _fit.jacobian(model, p, (), None, "central", None, np.array([0.0, -5.0]), None, 2)
    # parameter 0 sits on its lower bound: p, p + h, p + 2h (second order, inside)
    assert all(q[0] >= 0.0 for q in model.points)
    np.testing.assert_allclose(J, [[1.0, 0.0], [0.0, 3.0]], rtol=1e-8, atol=1e-12)


def test_float32_fit_runs_in_single_precision():
    seen = []

    def model(p):
        seen.append(p.dtype)
        return decay(p)

    p, f, J, info, nfev, njev, status = solve(model=model, dtype=np.float32, tol=(1e-4, 0.0, 1e-6, 0.0, 200))
    assert p.dtype == f.dtype == J.dtype == np.float32
    assert set(seen) == {np.dtype(np.float32)}
    np.testing.assert_allclose(p, TRUE, rtol=2e-5)


CONSTRAINTS = {
    "none": {},
    "bc": dict(lb=[0.0, 0.0], ub=[10.0, 10.0]),
    "lec": dict(A=[[1.0, -1.0]], b=[2.3]),
    "blec": dict(lb=[0.0, 0.0], ub=[10.0, 10.0], A=[[1.0, -1.0]], b=[2.3]),
    "lic": dict(C=[[1.0, 0.0]], d=[0.0]),
    "blic": dict(lb=[0.0, 0.0], ub=[10.0, 10.0], C=[[1.0, 0.0]], d=[0.0]),
    "leic": dict(A=[[1.0, -1.0]], b=[2.3], C=[[1.0, 0.0]], d=[0.0]),
    "bleic": dict(lb=[0.0, 0.0], ub=[10.0, 10.0], A=[[1.0, -1.0]], b=[2.3], C=[[1.0, 0.0]], d=[0.0]),
}


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("kind", CONSTRAINTS)
def test_every_constraint_combination_in_both_precisions(kind, dtype):
    # the constraints are inactive at the answer (3, 0.7): every solver finds it
    given = {k: np.array(v, dtype=dtype) for k, v in CONSTRAINTS[kind].items()}
    tol = TOL if dtype == np.float64 else (1e-4, 0.0, 1e-6, 0.0, 200)
    p, f, J, info, nfev, njev, status = solve(dtype=dtype, tol=tol, **given)
    assert p.dtype == dtype
    np.testing.assert_allclose(p, TRUE, rtol=1e-6 if dtype == np.float64 else 1e-3)


# ---- failures stop the fit ----

class ModelError(Exception):
    pass


@pytest.mark.parametrize("where, fail_at", [("model", 1), ("model", 6), ("jac", 1), ("jac", 3),
                                            ("difference", 3)])
@pytest.mark.parametrize("kind", ["none", "bc", "lec", "bleic"])
def test_an_exception_stops_the_fit_and_propagates_unchanged(where, fail_at, kind):
    error = ModelError("boom")
    log = []
    model = Counted(decay, fail_at if where in ("model", "difference") else None, error, log=log)
    jac = Counted(decay_jac, fail_at, error, log=log) if where == "jac" else None
    given = {k: np.array(v) for k, v in CONSTRAINTS[kind].items()}
    with pytest.raises(ModelError) as caught:
        solve(model=model, jac=jac, **given)
    assert caught.value is error
    # the traceback still reaches into the callable that raised
    frames = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert frames[-1] == "__call__"
    # nothing was called after the failure
    failing = jac or model
    assert len(failing.points) == fail_at and log[-1] is failing


@pytest.mark.parametrize("result, error, message", [
    (np.zeros(21), ValueError, r"model returned an array of shape \(21,\), expected \(20,\)"),
    (np.zeros((20, 1)), ValueError, r"shape \(20, 1\), expected \(20,\)"),
    (3.0, ValueError, r"shape \(\), expected \(20,\)"),
    (np.zeros(20, dtype=complex), TypeError, "model returned values of dtype complex128, expected real numbers"),
    (np.array(["a"] * 20), TypeError, "model returned values of dtype <U1, expected real numbers"),
    (None, ValueError, r"shape \(\), expected \(20,\)"),
])
def test_a_bad_model_result_fails_at_its_first_evaluation(result, error, message):
    model = Counted(decay, 1, result=result)
    with pytest.raises(error, match=message):
        solve(model=model)
    assert len(model.points) == 1


def test_a_bad_jacobian_shape_is_reported():
    jac = Counted(decay_jac, 1, result=np.zeros((2, 20)))
    with pytest.raises(ValueError, match=r"jac returned an array of shape \(2, 20\), expected \(20, 2\)"):
        solve(jac=jac)
    assert len(jac.points) == 1


def test_results_of_other_real_types_and_layouts_are_converted():
    fit_int = solve(model=lambda p: np.rint(decay(p) * 0).astype(np.int32) + decay(p).astype(np.float32) * 0 + Y,
                    tol=(1e-4, 0.0, 1e-12, 0.0, 3))
    assert fit_int[6] >= 0
    p, *_ = solve(model=lambda p: list(decay(p)), jac=lambda p: np.asfortranarray(decay_jac(p)))
    np.testing.assert_allclose(p, TRUE, rtol=1e-7)


def test_nan_from_the_model_is_a_stop_reason_not_an_error():
    # exp overflows on the first step: the fit ends with reason 7 at the last good point
    x = np.array([1.0, 2.0, 3.0, 5.0, 7.0, 10.0])
    y = np.array([109.0, 149.0, 149.0, 191.0, 213.0, 224.0])
    with np.errstate(over="ignore"):
        p, f, J, info, nfev, njev, status = solve(model=lambda b: b[0] * (1.0 - np.exp(-b[1] * x)), p0=(1.0, 1.0),
                                                  y=y, scale=False)
    assert status == -1 and info[6] == 7
    np.testing.assert_array_equal(p, [1.0, 1.0])


@pytest.mark.parametrize("change, error, message", [
    (dict(model=5), TypeError, "model must be callable"),
    (dict(jac=5), TypeError, "jac must be callable or None"),
    (dict(diff="backward"), ValueError, "diff must be 'forward', 'central' or 'secant'"),
    (dict(y=np.zeros(1)), ValueError, r"fewer data points \(1\) than free parameters \(2\)"),
    (dict(lb=np.zeros(2)), ValueError, "lb and ub must be given together"),
    (dict(lb=np.zeros(3), ub=np.ones(3)), ValueError, "lb has shape"),
    (dict(A=np.ones((2, 2)), b=np.ones(2)), ValueError, "fewer rows than parameters"),
    (dict(A=np.ones((1, 2))), ValueError, "A and b"),
    (dict(C=np.ones((1, 3)), d=np.ones(1)), ValueError, "C has shape"),
    (dict(weights=np.ones(3)), ValueError, "weights has shape"),
    (dict(p0=np.zeros((2, 2))), ValueError, "p0 has shape"),
    (dict(tol=(1e-4, 0.0, 1e-12, 0.0, 0)), ValueError, "max_iter must be at least 1"),
])
def test_bad_arguments_are_refused_before_any_evaluation(change, error, message):
    model = Counted(decay)
    kwargs = {"model": model, **change}
    if "p0" in change:
        with pytest.raises(error, match=message):
            _fit.solve(model, change["p0"], Y, (), None, None, None, None, None, None, None, None, "forward",
                       None, True, *TOL, False, False, False)
        return
    with pytest.raises(error, match=message):
        solve(**kwargs)
    assert model.points == []


def test_weights_diagonal_and_covariance_factor_agree(weighted_least_squares):
    # a diagonal covariance given as its Cholesky factor weighs like the
    # diagonal: both fits reach the weighted minimizer, to what chi-square
    # resolves (sqrt(noise) / sigma_min of the weighted Jacobian scaled by |p|)
    sigma = np.linspace(0.5, 2.0, 20)
    noisy = Y + 0.01 * np.sin(np.arange(20.0))
    answer = weighted_least_squares(decay, decay_jac, TRUE, noisy, sigma)
    for weights in (1.0 / sigma, np.diag(sigma)):
        np.testing.assert_allclose(solve(y=noisy, weights=weights)[0], answer.p, rtol=answer.rtol)


def test_check_jacobian_scores_rows():
    model = lambda p: np.array([p[0] ** 2, p[0] * p[1]])  # noqa: E731
    good = lambda p: np.array([[2 * p[0], 0.0], [p[1], p[0]]])  # noqa: E731
    bad = lambda p: np.array([[2 * p[0], 0.0], [-p[1], -p[0]]])  # noqa: E731
    np.testing.assert_allclose(_fit.check_jacobian(model, good, np.array([1.0, 2.0]), (), 2), [1.0, 1.0])
    np.testing.assert_allclose(_fit.check_jacobian(model, bad, np.array([1.0, 2.0]), (), 2), [1.0, 0.0])


# ---- no leaks ----

def decay_unpacked(t, a, b):
    return a * np.exp(-b * t)


def decay_unpacked_jac(t, a, b):
    return decay_jac(np.array([a, b]))


def _each_path():
    solve()
    solve(model=decay_unpacked, jac=decay_unpacked_jac, args=(T,), unpack=True, polish=True, factor=True)
    with pytest.raises(ValueError):
        solve(model=lambda t, a, b: np.zeros(3), args=(T,), unpack=True)
    solve(jac=decay_jac, lb=np.zeros(2), ub=np.full(2, 10.0))
    solve(diff="secant", A=np.array([[1.0, -1.0]]), b=np.array([2.3]), dtype=np.float32,
          tol=(1e-4, 0.0, 1e-6, 0.0, 50))
    solve(diff="central", C=np.array([[1.0, 0.0]]), d=np.array([0.0]), weights=np.diag(np.full(20, 2.0)))
    for bad in (Counted(decay, 4, ModelError("x")), Counted(decay, 1, result=np.zeros(3))):
        with pytest.raises((ModelError, ValueError)):
            solve(model=bad)
    with pytest.raises(TypeError):
        solve(jac=5)
    _fit.jacobian(decay, np.ones(2), (), None, "central", None, None, None, 20)
    _fit.check_jacobian(decay, decay_jac, np.ones(2), (), 20)
    # guarded: a point refused, a solve under a row, nothing to solve
    G, h = np.array([[0.0, 1.0]]), np.array([0.8])
    _fit.solve_guarded(decay, np.ones(2), Y, (), decay_jac, None, None, None, None, None, G, h, "forward", None, True,
                       *TOL, False, False, False)
    _fit.solve_guarded(decay, np.ones(2), Y, (), None, None, np.zeros(2), np.full(2, 9.0), G, np.array([0.8]), None,
                       None, "central", None, True, *TOL, False, False, False)
    _fit.solve_guarded(decay, np.ones(2), Y, (), decay_jac, None, None, None, np.eye(2), np.ones(2), None, None,
                       "forward", None, True, *TOL[:4], 0, False, False, False)


def test_repeated_fits_keep_references_and_memory_flat():
    for _ in range(20):
        _each_path()
    gc.collect()
    counts = [sys.getrefcount(o) for o in (decay, decay_jac, Y, T)]
    tracemalloc.start()
    try:
        for _ in range(20):
            _each_path()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(200):
            _each_path()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in (decay, decay_jac, Y, T)] == counts
    assert after - before < 64 * 1024, f"traced memory grew by {after - before} bytes"


# ---- the unpacked convention and the statistics at the solution ----

def test_unpacked_parameters_come_as_numpy_scalars_after_the_arguments():
    seen = []

    def model(t, a, b):
        seen.append((t, a, b))
        return decay_unpacked(t, a, b).reshape(4, 5)  # any shape holding n values

    p, *_ = solve(model=model, args=(T,), unpack=True)
    np.testing.assert_allclose(p, TRUE, rtol=1e-9)
    assert all(t is T and type(a) is type(b) is np.float64 for t, a, b in seen)
    p32, *_ = solve(model=model, args=(T,), unpack=True, dtype=np.float32, tol=(1e-4, 0.0, 1e-6, 0.0, 200))
    assert type(seen[-1][1]) is np.float32 and p32.dtype == np.float32
    # one value stands for all n; anything else is refused
    p, *_ = solve(model=lambda t, c: c, p0=(0.0,), y=Y, args=(T,), unpack=True)
    np.testing.assert_allclose(p, [Y.mean()], rtol=1e-8)
    with pytest.raises(ValueError, match="model returned 19 values, expected 20"):
        solve(model=lambda t, a, b: decay_unpacked(t, a, b)[1:], args=(T,), unpack=True)


def test_statistics_at_the_solution():
    noisy = Y + 0.01 * np.sin(np.arange(20.0))
    weights = 1.0 / np.linspace(0.5, 2.0, 20)
    (p, f, J, info, nfev, njev, status, r, chisq, cov, rank, free, total, bounds, rows, qr) = solve(
        y=noisy, jac=decay_jac, weights=weights, everything=True)
    Jw = weights[:, None] * decay_jac(p)
    np.testing.assert_allclose(r, weights * (noisy - decay(p)), rtol=1e-12, atol=1e-15)
    assert chisq == pytest.approx(r @ r, rel=1e-14)
    np.testing.assert_allclose(cov, np.linalg.inv(Jw.T @ Jw), rtol=1e-9)
    mean = (weights ** 2 @ noisy) / (weights ** 2).sum()
    assert total == pytest.approx(((weights * (noisy - mean)) ** 2).sum(), rel=1e-12)
    assert (rank, free, qr) == (2, 2, None) and not bounds.any() and rows.size == 0
    # an active bound fixes its parameter: no variance, one free direction
    *_, cov, rank, free, _, bounds, _, _ = solve(y=noisy, jac=decay_jac, lb=np.array([0.0, 0.0]),
                                                 ub=np.array([2.0, 5.0]), everything=True)
    assert list(bounds) == [1, 0] and (rank, free) == (1, 1)
    assert cov[0, 0] == cov[0, 1] == cov[1, 0] == 0.0 < cov[1, 1]
    # an active inequality likewise, along its row
    C = np.array([[-1.0, 0.0]])
    *_, cov, rank, free, _, _, rows, _ = solve(y=noisy, jac=decay_jac, C=C, d=np.array([-2.0]), everything=True)
    assert list(rows) == [True] and free == 1
    np.testing.assert_allclose(C @ cov, 0.0, atol=1e-12 * np.abs(cov).max())


def test_the_correction_and_the_factorisation():
    noisy = Y + 0.01 * np.sin(np.arange(20.0))
    loose = (1e-4, 0.0, 1e-6, 0.0, 200)  # stop early: the correction has work to do
    plain = solve(y=noisy, jac=decay_jac, tol=loose, everything=True)
    polished = solve(y=noisy, jac=decay_jac, tol=loose, polish=True, factor=True, everything=True)
    best = solve(y=noisy, jac=decay_jac, tol=(1e-4, 0.0, 1e-15, 0.0, 200), everything=True)
    assert polished[4] == plain[4] + 1  # one more model call
    assert np.abs(polished[0] - best[0]).max() < 1e-3 * np.abs(plain[0] - best[0]).max()
    np.testing.assert_allclose(polished[7], noisy - decay(polished[0]), rtol=1e-12, atol=1e-15)
    fjac, ipvt, qtf = polished[15]
    Jw = decay_jac(plain[0])  # the Jacobian before the correction
    R = np.triu(fjac.T[:2])
    np.testing.assert_allclose(R.T @ R, Jw[:, ipvt].T @ Jw[:, ipvt], rtol=1e-12)
    np.testing.assert_allclose(np.linalg.solve(R, qtf),
                               np.linalg.lstsq(Jw[:, ipvt], -polished[7], rcond=None)[0], rtol=1e-8, atol=1e-14)


SOLUTION_FIELDS = ("p", "f", "J", "info", "nfev", "njev", "status", "r", "chisq", "cov", "rank", "free", "total",
                   "active_bounds", "active_ineq", "qr")


def test_the_solution_names_its_fields_in_the_order_of_its_positions():
    plain = solve(jac=decay_jac, factor=True, everything=True)
    assert type(plain) is _fit.Solution and len(plain) == len(SOLUTION_FIELDS)
    assert all(plain[i] is getattr(plain, name) for i, name in enumerate(SOLUTION_FIELDS))
    assert plain.refused is None  # by name only: a plain fit has no guard
    # the active set rebuilds the last round's solution from its fields
    rebuilt = _fit.Solution(tuple(plain))
    assert all(a is b for a, b in zip(rebuilt, plain)) and rebuilt.refused is None
    # a guarded fit shows the point it refused at the end of the sequence as well
    G, h = np.array([[0.0, 1.0]]), np.array([0.8])
    guarded = _fit.solve_guarded(decay, np.ones(2), Y, (), decay_jac, None, None, None, None, None, G, h, "forward",
                                 None, True, *TOL, False, False, False)
    assert type(guarded) is _fit.GuardedSolution and len(guarded) == len(SOLUTION_FIELDS) + 1
    assert guarded[-1] is guarded.refused and guarded.refused[1] < 0.8  # past the row p_1 >= 0.8
    assert guarded.f is guarded.cov is guarded.qr is None and guarded.p is guarded[0]


# ---- typing ----

@pytest.mark.parametrize("module_name", ["_fit", "_ombrix"])
def test_installed_stubs_declare_every_function_of_the_extension(module_name):
    import ast
    import importlib
    import os

    module = importlib.import_module(f"ombrix.{module_name}")
    package_dir = os.path.dirname(module.__file__)
    assert os.path.exists(os.path.join(package_dir, "py.typed"))
    with open(os.path.join(package_dir, f"{module_name}.pyi")) as f:
        tree = ast.parse(f.read())
    stubbed = {node.name for node in tree.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    functions = {name for name, value in vars(module).items() if callable(value) and not isinstance(value, type)
                 and getattr(value, "__module__", None) == module.__name__}
    classes = {name for name, value in vars(module).items() if isinstance(value, type)
               and value.__module__ == module.__name__}
    assert functions | classes == stubbed
