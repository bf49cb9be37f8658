"""Calling the constrained solvers through ctypes, and independent references.

Every constrained solver takes func, [jacf,] p, x, m, n, then its constraint
arguments, then max_iter, opts, info, workspace, covariance, user_data.
`fit()` builds that call from Python values and records every callback call.
"""

import numpy as np

import capi
from test_lm import Fit  # the record of one run: result, p, info, covariance, callback calls

DBL_MAX = float(np.finfo(np.float64).max)
FLT_MAX = float(np.finfo(np.float32).max)
BIG = {"d": DBL_MAX, "s": FLT_MAX}  # the "unbounded" sentinel per precision


def fit(prefix, variant, model, p0, x, constraints, jac=None, mode=None, n=None, m=None, max_iter=200, opts=None,
        info=True, cov=True, workspace=None):
    """Run ?ombrix_<variant>_der when `jac` is given (or mode="der"), else _dif.

    `constraints` are the arguments between n and max_iter: arrays (converted
    to the precision), None, or ints.  `info` and `cov` False pass null."""
    dt = capi.DTYPE[prefix]
    p = np.array(p0, dtype=dt)
    m = len(p) if m is None else m
    x = None if x is None else np.asarray(x, dtype=dt)
    n = len(x) if n is None else n
    keep = [None if c is None or isinstance(c, int) else np.ascontiguousarray(c, dtype=dt) for c in constraints]
    args = [c if isinstance(c, int) else capi.ptr(a) for c, a in zip(constraints, keep)]
    info_arr = np.full(10, -1.0, dtype=dt) if info else None
    cov_arr = np.full((m, m), -1.0, dtype=dt) if cov else None
    opts = None if opts is None else np.asarray(opts, dtype=dt)
    result = Fit(0, p, info_arr, cov_arr)
    f_cb = capi.callback(prefix, model, calls=result.calls)
    tail = (max_iter, capi.ptr(opts), capi.ptr(info_arr), capi.ptr(workspace), capi.ptr(cov_arr), None)
    mode = mode or ("der" if jac is not None else "dif")
    if mode == "der":
        j_cb = None if jac is None else capi.jacobian_callback(prefix, jac, calls=result.jac_calls)
        result.ret = capi.fn(prefix, f"ombrix_{variant}_der")(f_cb, j_cb, capi.ptr(p), capi.ptr(x), m, n, *args,
                                                              *tail)
    else:
        result.ret = capi.fn(prefix, f"ombrix_{variant}_dif")(f_cb, capi.ptr(p), capi.ptr(x), m, n, *args, *tail)
    return result


def covariance(jac, e2, n):
    """pinv(J^T J) e2 / (n - rank), with the rank counted as the solvers do."""
    jtj = jac.T @ jac
    s = np.linalg.svd(jtj, compute_uv=False)
    rank = int(np.sum(s > np.finfo(jac.dtype).eps * s[0]))
    return np.linalg.pinv(jtj, rcond=np.finfo(jac.dtype).eps) * e2 / (n - rank)


def forward_jacobian(model, p, delta=1e-6):
    """The forward-difference Jacobian with step max(|1e-4 p_j|, delta)."""
    f0 = np.asarray(model(p))
    cols = []
    for j in range(len(p)):
        d = max(abs(1e-4 * p[j]), delta)
        q = p.copy()
        q[j] += d
        cols.append((np.asarray(model(q)) - f0) * (1.0 / d))
    return np.column_stack(cols)


def kkt_solution(M, x, A, b):
    """argmin ||x - M p||^2 subject to A p = b (A of full row rank), and the multipliers."""
    m, k = M.shape[1], len(b)
    kkt = np.block([[M.T @ M, A.T], [A, np.zeros((k, k))]])
    sol = np.linalg.solve(kkt, np.concatenate([M.T @ x, b]))
    return sol[:m], sol[m:]


def null_space(A):
    """Orthonormal basis of the null space of A (columns)."""
    _, s, vt = np.linalg.svd(A)
    rank = int(np.sum(s > 1e-12 * s[0]))
    return vt[rank:].T
