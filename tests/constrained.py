"""Calling the constrained solvers through ctypes, and independent references.

Every constrained solver takes func, [jacf,] p, x, m, n, then its constraint
arguments, then max_iter, opts, info, workspace, covariance, user_data.
`fit()` builds that call from Python values and records every callback call.
"""

import numpy as np

import solvers

DBL_MAX = float(np.finfo(np.float64).max)
FLT_MAX = float(np.finfo(np.float32).max)
BIG = {"d": DBL_MAX, "s": FLT_MAX}  # the "unbounded" sentinel per precision


def fit(prefix, variant, model, p0, x, constraints, **kw):
    """solvers.call on a constrained variant; see there."""
    return solvers.call(prefix, variant, model, p0, x, constraints, **kw)


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
