"""Bounds and linear inequalities by an active-set method, for ombrix.fit.

The constraints that hold with equality at the solution are not known in
advance.  The method guesses them (the active set), solves the fit with those
rows as equalities, eliminated exactly by the numeric layer, and corrects the
guess from what the solver does:

- Each round runs ``_fit.solve_guarded`` with the equalities and the active
  rows eliminated.  The binding stops the solve as soon as the solver asks to
  evaluate a point that violates an inactive bound or inequality, and hands
  back the current point (that of the last Jacobian) and the refused trial.
- A stopped round moves from the current point along the step towards the
  trial as far as the constraints allow (a ratio test), adds the constraint
  that stopped it (and any reached at the same point) to the active set,
  unless its row depends linearly on the active rows, and starts a new round
  there.
- A converged round checks the signs of the Lagrange multipliers: the
  gradient of chi-square / 2 is written as a combination of the active rows
  (least squares); a bound or inequality whose multiplier is negative would
  rather move inside, and the most negative one beyond noise is released.
  With none to release the fit is done.

The model is therefore never evaluated at a point the solver asks for that
violates a constraint; the difference steps of the binding stay inside the
bounds (they may cross an inequality by a difference step).  Rounds share the
iteration budget; counters are summed over rounds; the status is that of the
last solve.

Every constraint is a row g p >= h (a lower bound is e_j p >= lb_j, an upper
bound -e_j p >= -ub_j); rows are normalised to unit length.
"""

import math

import numpy as np

from . import _fit

# Default step tolerance of the rounds (which end without ombrix.fit's final
# Gauss-Newton correction), per precision.
STEP_TOL = {np.dtype(np.float64): 1e-12, np.dtype(np.float32): 1e-6}

_CONVERGED_OR_STUCK = (1, 2, 5, 6, 8, 9)  # a round that ended here gets the multiplier check
_INVALID_VALUES = 7

# A row violated by less than _SLACK * eps * (|h| + sum_j |g_j p_j|) counts as
# satisfied; the binding's guard uses the same test.
_SLACK = 16.0


class Constraints:
    """Equalities (always active) and inequality rows of a fit, normalised.

    Attributes
    ----------
    E, e : equality rows E p = e: those of `eq`, then the bounds with lb == ub
        that are independent of them.
    G, h : inequality rows G p >= h: lower bounds, upper bounds, then `ineq`.
    kind, index : per inequality row, 'lower', 'upper' or 'ineq' and the
        parameter or `ineq` row it comes from.
    """

    def __init__(self, m, lb, ub, A, b, C, d, dependence_tol):
        self.m = m
        self.dependence_tol = dependence_tol
        eq_rows, eq_rhs = ([], []) if A is None else (list(A), list(b))
        rows, rhs, kind, index = [], [], [], []
        self.fixed = np.zeros(m, dtype=bool)
        if lb is not None:
            for j in range(m):
                unit = np.eye(1, m, j)[0]
                if lb[j] == ub[j] and self._independent(np.array(eq_rows).reshape(-1, m), unit):
                    eq_rows.append(unit)
                    eq_rhs.append(lb[j])
                    self.fixed[j] = True
                    continue
                if np.isfinite(lb[j]):
                    rows.append(unit), rhs.append(lb[j]), kind.append("lower"), index.append(j)
                if np.isfinite(ub[j]):
                    rows.append(-unit), rhs.append(-ub[j]), kind.append("upper"), index.append(j)
        self.k2 = 0 if C is None else C.shape[0]
        if C is not None:
            for i in range(C.shape[0]):
                rows.append(C[i]), rhs.append(d[i]), kind.append("ineq"), index.append(i)
        self.E, self.e = _normalised(np.array(eq_rows).reshape(-1, m), np.array(eq_rhs, dtype=np.float64))
        self.G, self.h = _normalised(np.array(rows).reshape(-1, m), np.array(rhs, dtype=np.float64))
        self.kind = np.array(kind, dtype=object)
        self.index = np.array(index, dtype=np.intp)
        # the bound of each bound row, as given (h is normalised: -ub for an upper bound)
        self.bound = np.array([lb[j] if k == "lower" else ub[j] if k == "upper" else np.nan
                               for k, j in zip(kind, index)], dtype=np.float64)

    def rows(self, active):
        """The equality rows and the active inequality rows: (matrix, rhs)."""
        return np.vstack([self.E, self.G[active]]), np.concatenate([self.e, self.h[active]])

    def implied(self, active):
        """Mask of the inactive rows that depend linearly on the active ones
        (and on the equalities): on the set where those hold, they are
        constant, so a feasible start keeps them and they cannot block."""
        rows, _ = self.rows(active)
        out = np.zeros(self.G.shape[0], dtype=bool)
        if rows.shape[0] == 0:
            return out
        basis = _row_basis(rows)
        residual = self.G - (self.G @ basis.T) @ basis
        out = np.sqrt((residual * residual).sum(axis=1)) < self.dependence_tol
        out[active] = False
        return out

    def _independent(self, rows, g):
        if rows.shape[0] == 0:
            return True
        basis = _row_basis(_normalised(rows, np.zeros(rows.shape[0]))[0])
        g = g / np.linalg.norm(g)
        return np.linalg.norm(g - basis.T @ (basis @ g)) >= self.dependence_tol

    def independent(self, active, i):
        """Whether inequality row i is linearly independent of the active rows."""
        return self._independent(self.rows(active)[0], self.G[i])

    def violation_tol(self, p, eps):
        """Per inequality row, the rounding allowance of its slack at p."""
        return _SLACK * eps * (np.abs(self.G) @ np.abs(p) + np.abs(self.h))

    def count(self):
        return self.G.shape[0]

    def report(self, active, p, eps):
        """(active_bounds, active_ineq) as FitResult reports them: the active
        rows, the rows they imply that hold at p, and the fixed parameters."""
        bounds = np.zeros(self.m, dtype=np.int8)
        ineq = np.zeros(self.k2, dtype=bool)
        slack = self.G @ p - self.h
        implied = np.flatnonzero(self.implied(active) & (slack <= self.violation_tol(p, eps)))
        for i in sorted(set(active) | set(implied.tolist())):
            if self.kind[i] == "ineq":
                ineq[self.index[i]] = True
            elif bounds[self.index[i]] == 0 or self.kind[i] == "upper":
                bounds[self.index[i]] = -1 if self.kind[i] == "lower" else 1
        bounds[self.fixed] = 1
        return bounds, ineq


def dependence_tol(m, eps):
    """Distance of a unit row from the span of others below which it counts
    as dependent on them: well above what the numeric layer's elimination
    could resolve (rank tolerance 10 m eps relative, 1e-12 absolute)."""
    return max(1e-10, 64 * m * eps)


def _normalised(rows, rhs):
    norms = np.sqrt((rows * rows).sum(axis=1)) if rows.size else np.ones(rows.shape[0])
    norms[norms == 0] = 1.0
    return rows / norms[:, None], rhs / norms


def _row_basis(rows):
    """Orthonormal rows spanning the row space of `rows` (independent rows)."""
    q, _ = np.linalg.qr(rows.T)
    return q.T


# ---- the binding's outcomes and the model's results (ombrix.fit and curve_fit too) ----

class StartNotFinite(ValueError):
    """The model or its Jacobian is not finite at the start: nothing was fitted."""


def raise_if_start_not_finite(out, start):
    """ValueError naming the first value that is not finite, when the
    binding's outcome `out` (of solve or solve_guarded) ended at `start`
    without an iteration because the model or its Jacobian is not finite
    there: from such a start the binding solves nothing and evaluates no
    Jacobian where the model is not finite.  A fit that stops later keeps
    its last finite point and is reported by its status instead."""
    p, f, J, info = out[:4]
    if (f is None or int(info[6]) != _INVALID_VALUES or info[5] != 0
            or not np.array_equal(p, np.asarray(start, dtype=p.dtype))):
        return
    bad = np.flatnonzero(~np.isfinite(f))
    if bad.size:
        raise StartNotFinite(f"the model is not finite at the start point: element {bad[0]} is {f[bad[0]]}")
    bad = np.argwhere(~np.isfinite(J))
    if bad.size:
        i, j = bad[0]
        raise StartNotFinite(f"the Jacobian is not finite at the start point: row {i}, column {j} is {J[i, j]}")


def model_values(result, n, unpack):
    """A model's result as a float64 vector of n values, read as the binding
    reads it: exactly shape (n,) for model(p, *args); with unpacked
    parameters any shape holding n values (C order) or a single value
    standing for all n.  ValueError (size) or TypeError (element type)
    otherwise."""
    values = np.asarray(result)
    if values.dtype.kind not in "biuf":
        raise TypeError(f"model returned values of dtype {values.dtype}, expected real numbers")
    if unpack:
        if values.size not in (n, 1):
            raise ValueError(f"model returned {values.size} values, expected {n}")
        return np.broadcast_to(values.ravel().astype(np.float64), (n,))
    if values.shape != (n,):
        raise ValueError(f"model returned an array of shape {values.shape}, expected {(n,)}")
    return values.astype(np.float64)


# ---- the engine's settings and variables (ombrix.fit and curve_fit too) ----------

def engine_settings(loss="linear", f_scale=1.0, ftol=-1.0, xtol=-1.0, gtol=-1.0, max_nfev=0, x_scale=None):
    """The trust-region engine's settings: its loss and f_scale, its
    tolerances (below 0: its defaults, which run the fit to rounding), a
    limit on model evaluations (0: none), and fixed parameter scales
    `x_scale` (None: scaled by the Jacobian's column norms)."""
    return dict(loss=loss, f_scale=float(f_scale), ftol=float(ftol), xtol=float(xtol), gtol=float(gtol),
                max_nfev=int(max_nfev), x_scale=x_scale)


def engine_arguments(settings, rows, rhs, start, dtype):
    """The binding's `engine` tuple for a fit from `start` with the equality
    rows `rows p = rhs` (None: none) eliminated: the engine then works on z
    with p = origin + basis z from z = 0, basis a basis of the rows' null
    space (scaled by x_scale when given) and origin the start, projected onto
    the rows when it does not satisfy them.  A parameter that the rows fix
    keeps its value in origin exactly (its row of basis is zero)."""
    m = start.shape[0]
    x_scale = settings["x_scale"]
    origin = basis = z0 = None
    if rows is not None and rows.shape[0] or x_scale is not None:
        scale = np.ones(m) if x_scale is None else np.asarray(x_scale, dtype=np.float64)
        origin = np.array(start, dtype=np.float64)
        if rows is None or rows.shape[0] == 0:
            basis = np.diag(scale)
        else:
            k = rows.shape[0]
            q, _ = np.linalg.qr((rows * scale).T, mode="complete")
            basis = scale[:, None] * q[:, k:]
            eps = float(np.finfo(dtype).eps)
            residual = rows @ origin - rhs
            if (np.abs(residual) > _SLACK / 4 * eps * (np.abs(rows) @ np.abs(origin) + np.abs(rhs))).any():
                origin -= np.linalg.lstsq(rows, residual, rcond=None)[0]
            fixed = np.sqrt((basis * basis).sum(axis=1)) <= 64 * np.finfo(np.float64).eps * scale
            basis[fixed] = 0.0
            for row, value in zip(rows, rhs):  # a bound: the value exactly
                j = np.flatnonzero(row)
                if j.size == 1:
                    basis[j[0]] = 0.0
                    origin[j[0]] = value / row[j[0]]
        z0 = np.zeros(basis.shape[1])
        origin, basis, z0 = (np.ascontiguousarray(a, dtype=dtype) for a in (origin, basis, z0))
    return (settings["loss"], settings["f_scale"], settings["ftol"], settings["xtol"], settings["gtol"],
            settings["max_nfev"], x_scale is not None, origin, basis, z0)


# ---- the feasible start ------------------------------------------------------

def feasible_start(start, typical, cons, eps):
    """The point nearest to `start` that satisfies every constraint, in the
    metric sum(((p - start) / typical)^2); `start` itself when it does.

    A dual active-set method (Goldfarb and Idnani) for this projection: it
    starts from `start`, the unconstrained minimum, adds the most violated
    constraint, steps to satisfy it while keeping the active ones, and drops
    an active inequality whose multiplier would turn negative.  Equalities
    come first and are never dropped.  Raises ValueError when the
    constraints have no common point.
    """
    m = start.shape[0]
    E, e = cons.E * typical, cons.e
    G, h = cons.G * typical, cons.h
    # the same rows in z = p / typical, normalised again
    E, e = _normalised(E, e)
    G, h = _normalised(G, h)
    z = start / typical

    def allowance(rows, rhs, z):
        # a quarter of the binding's guard allowance: the start must pass the guard
        return _SLACK / 4 * eps * (np.abs(rows) @ np.abs(z) + np.abs(rhs))

    if (G @ z - h >= -allowance(G, h, z)).all() and (np.abs(E @ z - e) <= allowance(E, e, z)).all():
        return start.copy()

    normals, rhs, is_eq, which, u = [], [], [], [], []  # the active set of the projection
    pending = list(range(E.shape[0]))
    for _ in range(20 * (m + E.shape[0] + G.shape[0]) + 100):
        # the constraint to satisfy next: an equality, else the most violated inequality
        if pending:
            i = pending.pop(0)
            n, r, eq = E[i].copy(), e[i], True
            if n @ z - r > 0:
                n, r = -n, -r
        else:
            slack = G @ z - h
            slack[[k for k, q in zip(which, is_eq) if not q]] = np.inf
            i = int(np.argmin(slack))
            if slack[i] >= -allowance(G[i], h[i], z):
                return _clip(z * typical, cons)
            n, r, eq = G[i], h[i], False
        u_new = 0.0
        while True:
            q = len(normals)
            if q:
                Q, R = np.linalg.qr(np.array(normals).T, mode="complete")
                J1, J2, R = Q[:, :q], Q[:, q:], R[:q]
                r_dual = np.linalg.solve(R, J1.T @ n)
            else:
                J2, r_dual = np.eye(m), np.zeros(0)
            free = J2.T @ n
            step = J2 @ free
            # the largest dual step before an active inequality's multiplier turns negative
            t1, drop = math.inf, None
            for k in range(q):
                if not is_eq[k] and r_dual[k] > 0 and u[k] / r_dual[k] < t1:
                    t1, drop = u[k] / r_dual[k], k
            t2 = math.inf
            if np.linalg.norm(free) > 1e-10:
                t2 = max(0.0, -(n @ z - r)) / (n @ step)
            t = min(t1, t2)
            if math.isinf(t):
                raise ValueError("the constraints have no common point: bounds, eq and ineq cannot all hold")
            if not math.isinf(t2):
                z = z + t * step
            u = [uk - t * rk for uk, rk in zip(u, r_dual)]
            u_new += t
            if t2 <= t1:
                normals.append(n), rhs.append(r), is_eq.append(eq), which.append(i if not eq else -1)
                u.append(u_new)
                break
            for seq in (normals, rhs, is_eq, which, u):
                del seq[drop]
    raise ValueError("no point satisfying the constraints was found")


def _clip(p, cons):
    """p with every component inside its bounds (a correction of rounding)."""
    for i in np.flatnonzero(cons.kind != "ineq"):
        j = cons.index[i]
        p[j] = max(p[j], cons.bound[i]) if cons.kind[i] == "lower" else min(p[j], cons.bound[i])
    return p


# ---- the active-set loop -------------------------------------------------------

def solve(model, start, y, args, jac, weights, lb, ub, A, b, C, d, diff, typical, scale, tolerances, dtype,
          unpack=False, engine=None):
    """Fit under bounds (lb, ub: +-inf for none, or None), equalities A p = b
    and inequalities C p >= d (None for none) from `start` (inside the
    bounds), with the arguments of fit checked: y the data, weights those of
    the binding (1 / sigma, or the Cholesky factor of a covariance sigma),
    `tolerances` (damping, gradient_tol, step_tol, chisq_tol,
    max_iterations), diff 'forward' or 'central'; with `unpack` the model is
    called as model(*args, *p) (curve_fit's convention); with `engine`
    (`engine_settings`) the rounds run on the trust-region engine.

    Returns the binding's solve() tuple at the solution, with the counters
    summed over the rounds, the iterations of all rounds and the first
    chi-square in the information vector, and the active bounds and
    inequalities of the final active set.  Raises ValueError when no point
    satisfies the constraints.
    """
    eps = float(np.finfo(dtype).eps)
    cons = Constraints(start.shape[0], lb, ub, A, b, C, d, dependence_tol(start.shape[0], eps))
    start = feasible_start(np.asarray(start, dtype=np.float64), typical, cons, eps)
    return _ActiveSet(model, y, args, jac, weights, lb, ub, cons, diff, typical, scale, tolerances, dtype,
                      unpack, engine).run(start)


class _ActiveSet:
    """The rounds of one fit, with the counters they share."""

    def __init__(self, model, y, args, jac, weights, lb, ub, cons, diff, typical, scale, tolerances, dtype, unpack,
                 engine):
        self.model, self.y, self.args, self.jac, self.weights = model, y, args, jac, weights
        self.unpack, self.engine = unpack, engine
        self.cons, self.diff, self.scale = cons, diff, scale
        self.dtype, self.eps = dtype, float(np.finfo(dtype).eps)
        self.typical = self.cast(typical)
        # the binding's bounds (for its difference steps): the largest finite value for "none"
        largest = np.finfo(dtype).max
        self.lb = None if lb is None else self.cast(np.maximum(lb, -largest))
        self.ub = None if ub is None else self.cast(np.minimum(ub, largest))
        self.damping, self.tolerances, self.budget = tolerances[0], tolerances[1:4], tolerances[4]
        self.nfev = self.njev = self.iterations = 0
        self.initial_chisq = None

    def cast(self, a):
        return None if a is None else np.ascontiguousarray(a, dtype=self.dtype)

    def run(self, p):
        cons = self.cons
        active = []
        visited = {}  # active set -> chi-square at its multiplier check
        damping = self.damping
        for _ in range(3 * cons.count() + 20):
            out, guarded = self.round(p, active, damping, max(self.budget - self.iterations, 0))
            info, refused = out[3], out[16]
            damping = self.damping
            if refused is not None:
                current = out[0].astype(np.float64)
                p, met, alpha = _ratio_test(cons, active, guarded, current, refused.astype(np.float64), self.eps)
                # chi-square at the current point (NaN when the solver evaluated nothing), and
                # the most rounding can add to it
                ceiling = info[1] * (1 + _SLACK * self.eps)
                if alpha == 0 or not math.isfinite(ceiling) or self.chisq_at(p) <= ceiling:
                    active += met
                    continue
                # The step to the constraint raises chi-square: the refused step was too long.
                # Shorter steps in the same direction, not reaching the constraint; failing
                # those, stay and damp the next step more, as a rejected step would have been.
                for _ in range(3):
                    p = current + 0.5 * (p - current)
                    if self.chisq_at(p) <= ceiling:
                        break
                else:
                    p = current
                    damping = 2.0 * info[4] if 0 < 2.0 * info[4] < math.inf else 1.0
                continue
            if int(info[6]) not in _CONVERGED_OR_STUCK:
                return self.outcome(out, active)
            p = out[0].astype(np.float64)
            release = _to_release(cons, active, out[2], out[7], self.weights)
            chisq = out[8]
            key = frozenset(active)
            if release is None or (key in visited and chisq >= visited[key] * (1 - 4 * self.eps)):
                return self.outcome(out, active)
            visited[key] = chisq
            active.remove(release)
        # out of rounds: the statistics at the last point, no iteration
        return self.outcome(self.round(p, active, damping, 0)[0], active)

    def round(self, p, active, damping, max_iter):
        """One guarded solve from p with the active rows eliminated and the
        others guarded: (the binding's tuple, the mask of guarded rows)."""
        cons = self.cons
        rows, rhs = cons.rows(active)
        guarded = ~cons.implied(active)
        guarded[active] = False
        G, h = (self.cast(cons.G[guarded]), self.cast(cons.h[guarded])) if guarded.any() else (None, None)
        arguments = (self.model, self.cast(p), self.y, self.args, self.jac, self.weights, self.lb, self.ub,
                     self.cast(rows) if rows.size else None, self.cast(rhs) if rows.size else None, G, h, self.diff,
                     self.typical, self.scale, damping, *self.tolerances, max_iter, self.unpack, False, False)
        if self.engine is None:
            out = _fit.solve_guarded(*arguments)
        else:
            free = rows.shape[0] < cons.m
            settings = self.engine
            if settings["max_nfev"]:  # the rounds share the limit; one evaluation at least, to report
                settings = dict(settings, max_nfev=max(settings["max_nfev"] - self.nfev, 1))
            variables = engine_arguments(settings, rows if free else None, rhs, p, self.dtype)
            out = _fit.engine_solve_guarded(*arguments, variables)
        self.nfev += out[4]
        self.njev += out[5]
        self.iterations += int(out[3][5])
        if self.initial_chisq is None:  # the first round: from the fit's start
            raise_if_start_not_finite(out, p)
            self.initial_chisq = out[3][0]
        return out, guarded

    def chisq_at(self, p):
        """Chi-square at p, from one model call (NaN for values that are not finite)."""
        p = self.cast(p)
        result = self.model(*self.args, *p) if self.unpack else self.model(p.copy(), *self.args)
        self.nfev += 1
        f = model_values(result, self.y.shape[0], self.unpack)
        r = _weighted(self.weights, self.y - f.astype(self.dtype).astype(np.float64))
        chisq = float(r @ r)
        return chisq if math.isfinite(chisq) else math.nan

    def outcome(self, out, active):
        """The binding's tuple of the last round, with the counters of all
        rounds and the active constraints of the final active set."""
        info = list(out[3])
        info[0], info[5] = self.initial_chisq, self.iterations
        bounds, ineq = self.cons.report(active, out[0].astype(np.float64), self.eps)
        return (out[0], out[1], out[2], tuple(info), self.nfev, self.njev) + tuple(out[6:13]) + (bounds, ineq,
                                                                                               out[15])


def _weighted(weights, v):
    """W v for the binding's weights: 1-D w (W = diag(w)), the lower Cholesky
    factor L of a covariance (W = L^-1), or None (W = I); v a vector or a
    matrix of n rows."""
    if weights is None:
        return v
    if weights.ndim == 1:
        return weights * v if v.ndim == 1 else weights[:, None] * v
    return np.linalg.solve(weights, v)


def _ratio_test(cons, active, guarded, current, trial, eps):
    """After a refused trial: (the point where the step from `current`
    towards `trial` first meets a guarded row, the rows met there (ties
    included, nearest first) that are independent of the active ones and of
    each other, the fraction of the step taken)."""
    step = trial - current
    rates = cons.G @ step
    slack = cons.G @ current - cons.h
    alpha = np.full(cons.count(), np.inf)
    moving = guarded & (rates < 0)
    alpha[moving] = np.maximum(slack[moving], 0.0) / -rates[moving]
    if not moving.any():
        # the trial violates a row only by the rounding of the binding's precision: the nearest one
        alpha[guarded] = np.where(slack[guarded] <= 0, 0.0, np.inf)
        alpha[np.flatnonzero(guarded)[np.argmin(slack[guarded])]] = 0.0
    first = min(float(alpha.min()), 1.0)
    point = current + first * step
    met = []
    for i in np.argsort(alpha, kind="stable"):
        if alpha[i] > first + 4 * eps:
            break
        if cons.kind[i] != "ineq":
            point[cons.index[i]] = cons.bound[i]  # on the bound exactly, a dependent one too
        if cons.independent(active + met, i):
            met.append(int(i))
    return point, met, first


def _to_release(cons, active, J, r_w, weights):
    """The active inequality row to release at a converged point, or None.

    The gradient of chi-square / 2, -J_w^T r_w (J_w the weighted Jacobian,
    r_w the weighted residuals), is written as a combination of the equality
    and active rows, g = R^T lambda (least squares).  A bound or inequality
    with lambda < 0 would lower chi-square by moving inside.  Its multiplier
    counts when it exceeds sqrt(eps) |J_w g_i| |r_w|: releasing a row with a
    smaller one could lower chi-square by a relative eps at most
    (lambda^2 / (2 |J_w g_i|^2) against |r_w|^2 / 2).  The most negative
    multiplier, per unit of model change |J_w g_i|, is released.
    """
    if not active:
        return None
    eps = float(np.finfo(J.dtype).eps)
    J_w = _weighted(weights, J.astype(np.float64))
    gradient = -(J_w.T @ r_w)
    rows, _ = cons.rows(active)
    multipliers = np.linalg.lstsq(rows.T, gradient, rcond=None)[0][cons.E.shape[0]:]
    change = np.sqrt(((J_w @ cons.G[active].T) ** 2).sum(axis=0))
    with np.errstate(divide="ignore", invalid="ignore"):
        relative = multipliers / (change * np.linalg.norm(r_w))
    relative[~np.isfinite(relative)] = 0.0
    k = int(np.argmin(relative))
    if relative[k] < -math.sqrt(eps):
        return active[k]
    return None
