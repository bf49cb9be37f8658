"""The numeric layer under non-finite input: nothing hangs.

Everything runs in a subprocess with a timeout, so that a regression (an SVD
iterating for ever) fails its test instead of stopping the suite."""

import json

import pytest

from capi import PRECISIONS
from conftest import run_isolated

SOLVERS = ["BK", "QR", "QRLS", "Chol", "LU", "SVD"]
NON_FINITE = {"nan": float("nan"), "inf": float("inf"), "-inf": float("-inf")}


def run_json(code, env=None):
    """Runs `code` in a fresh interpreter; returns (what it printed as JSON, its stderr)."""
    result = run_isolated(code, timeout=60, env=env)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout), result.stderr


# ---- non-finite input takes the failure path at once ----------------------------------------

NON_FINITE_SCRIPT = """
import json, os, tempfile
import numpy as np
import capi

def with_stderr(call):
    # (result, what the C code wrote to stderr meanwhile)
    with tempfile.TemporaryFile() as captured:
        saved = os.dup(2)
        os.dup2(captured.fileno(), 2)
        try:
            result = call()
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        captured.seek(0)
        return result, captured.read().decode()

def matrix(bad, dt):
    # the J^T J of a hung fit: two parameters of the model, whose products
    # overflow, and a slack it ignores (an SVD of it spins on infinities)
    return np.array([[bad, bad, 0.0], [bad, bad, 0.0], [0.0, 0.0, 1.0]], dt)

out = {}
for prefix in capi.PRECISIONS:
    dt = capi.DTYPE[prefix]
    for name, bad in {"nan": float("nan"), "inf": float("inf"), "-inf": float("-inf")}.items():
        for alias in (False, True):
            jtj = matrix(bad, dt)
            cov = jtj if alias else np.full((3, 3), 7.0, dt)
            rank, err = with_stderr(lambda: capi.fn(prefix, "ombrix_covar")(capi.ptr(jtj), capi.ptr(cov), 2.0, 3, 4))
            out[f"covar {prefix} {name} {alias}"] = [rank, cov.tolist(), err]
        for solver in ("BK", "QR", "QRLS", "Chol", "LU", "SVD"):
            A = matrix(bad, dt)
            B, x = np.ones(3, dt), np.zeros(3, dt)
            f = capi.fn(prefix, "Ax_eq_b_" + solver)
            shape = (3, 3) if solver == "QRLS" else (3,)
            solved, err = with_stderr(lambda: f(capi.ptr(A), capi.ptr(B), capi.ptr(x), *shape))
            f(None, None, None, *(0,) * len(shape))
            out[f"{solver} {prefix} {name}"] = [solved, err]
print(json.dumps(out))
"""


@pytest.fixture(scope="module")
def non_finite_outcomes():
    return run_json(NON_FINITE_SCRIPT)[0]


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("bad", NON_FINITE)
@pytest.mark.parametrize("alias", [False, True], ids=["separate", "in-place"])
def test_covariance_of_a_non_finite_matrix_is_all_zero(non_finite_outcomes, prefix, bad, alias):
    rank, cov, err = non_finite_outcomes[f"covar {prefix} {bad} {alias}"]
    assert (rank, cov, err) == (0, [[0.0] * 3] * 3, "")


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("bad", NON_FINITE)
def test_svd_solver_refuses_a_non_finite_matrix(non_finite_outcomes, prefix, bad):
    solved, err = non_finite_outcomes[f"SVD {prefix} {bad}"]
    assert (solved, err) == (0, f"non-finite entry in matrix A for {prefix}gesvd_ in {prefix}Ax_eq_b_SVD()\n")


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("bad", NON_FINITE)
@pytest.mark.parametrize("solver", SOLVERS)
def test_every_linear_solver_returns_on_non_finite_input(non_finite_outcomes, prefix, bad, solver):
    # the factorisations end on their own; what matters is that each returns
    # a defined result and the process goes on
    solved, _ = non_finite_outcomes[f"{solver} {prefix} {bad}"]
    assert solved in (0, 1)


# The model of the reported hang: values near 1e300, so ||e||^2 and J^T J
# overflow.  From zero data the initial error is infinite: the solvers stop at
# once with invalid values (reason 7), before the covariance that used to spin.
OVERFLOW_SCRIPT = """
import json
import numpy as np
from ombrix import _ombrix

def huge(p):
    return np.full(3, 1e300) * (1.0 + p.sum())

def huge_jac(p):
    return np.full((3, 2), 1e300)

lic = (np.array([[1.0, 0.0]]), np.array([-10.0]))
lec = (np.array([[1.0, 1.0]]), np.array([3.0]))
bc = [(-100.0, 100.0), (-100.0, 100.0)]
calls = {
    "lic": lambda kw: _ombrix.ombrix_lic(huge, np.array([1.0, 2.0]), np.zeros(3), lic, **kw),
    "leic": lambda kw: _ombrix.ombrix_leic(huge, np.array([1.0, 2.0]), np.zeros(3), lec, lic, **kw),
    "blic": lambda kw: _ombrix.ombrix_blic(huge, np.array([1.0, 2.0]), np.zeros(3), bc, lic, **kw),
}
out = {}
for name, call in calls.items():
    for jacf in (None, huge_jac):
        kw = dict(args=(), jacf=jacf, mu=1e-3, eps1=1e-15, eps2=1e-15, eps3=1e-20, maxit=5, cdiff=False)
        try:
            call(kw)
            out[f"{name} {jacf is None}"] = "returned"
        except Exception as error:
            out[f"{name} {jacf is None}"] = [type(error).__name__, str(error)]

# An exact start (the constraint p0 = 1 is eliminated without rounding): the
# fit ends at once with a small error, and its covariance comes from a
# difference Jacobian of about 1e300, whose J^T J is infinite.
p, cov, info = _ombrix.ombrix_lec(huge, np.array([1.0, 2.0]), huge(np.array([1.0, 2.0])),
                                  (np.array([[1.0, 0.0]]), np.array([1.0])), (), None, 1e-3, 1e-15, 1e-15, 1e-20,
                                  5, False)
out["exact start"] = [p.tolist(), cov.tolist(), info[3]]
print(json.dumps(out))
"""


def test_fits_of_an_overflowing_model_finish():
    outcomes, _ = run_json(OVERFLOW_SCRIPT)
    invalid = ["RuntimeError", "Stopped by invalid values (NaN or Inf) returned by func"]
    exact = outcomes.pop("exact start")
    assert outcomes == {f"{name} {secant}": invalid for name in ("lic", "leic", "blic") for secant in (True, False)}
    assert exact == [[1.0, 2.0], [[0.0, 0.0], [0.0, 0.0]], "Stopped by small ||e||_2"]
