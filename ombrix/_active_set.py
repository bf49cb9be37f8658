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
from ._common import SLACK, Status, engine_arguments, model_values, raise_if_start_not_finite, weighted

# A round that ended here gets the multiplier check.
_CONVERGED_OR_STUCK = frozenset({Status.SMALL_GRADIENT, Status.SMALL_STEP, Status.NO_REDUCTION, Status.SMALL_CHISQ,
                                 Status.SMALL_REDUCTION, Status.STALLED})


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
        return SLACK * eps * (np.abs(self.G) @ np.abs(p) + np.abs(self.h))

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
        return SLACK / 4 * eps * (np.abs(rows) @ np.abs(z) + np.abs(rhs))

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

    Returns the binding's `_fit.Solution` at the solution, with the counters
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
            info, refused = out.info, out.refused
            damping = self.damping
            if refused is not None:
                current = out.p.astype(np.float64)
                p, met, alpha = _ratio_test(cons, active, guarded, current, refused.astype(np.float64), self.eps)
                # chi-square at the current point (NaN when the solver evaluated nothing), and
                # the most rounding can add to it
                ceiling = info[1] * (1 + SLACK * self.eps)
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
            p = out.p.astype(np.float64)
            release = _to_release(cons, active, out.J, out.r, self.weights)
            chisq = out.chisq
            key = frozenset(active)
            if release is None or (key in visited and chisq >= visited[key] * (1 - 4 * self.eps)):
                return self.outcome(out, active)
            visited[key] = chisq
            active.remove(release)
        # out of rounds: the statistics at the last point, no iteration
        return self.outcome(self.round(p, active, damping, 0)[0], active)

    def round(self, p, active, damping, max_iter):
        """One guarded solve from p with the active rows eliminated and the
        others guarded: (the binding's solution, the mask of guarded rows)."""
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
        self.nfev += out.nfev
        self.njev += out.njev
        self.iterations += int(out.info[5])
        if self.initial_chisq is None:  # the first round: from the fit's start
            raise_if_start_not_finite(out, p)
            self.initial_chisq = out.info[0]
        return out, guarded

    def chisq_at(self, p):
        """Chi-square at p, from one model call (NaN for values that are not finite)."""
        p = self.cast(p)
        result = self.model(*self.args, *p) if self.unpack else self.model(p.copy(), *self.args)
        self.nfev += 1
        f = model_values(result, self.y.shape[0], self.unpack)
        r = weighted(self.weights, self.y - f.astype(self.dtype).astype(np.float64))
        chisq = float(r @ r)
        return chisq if math.isfinite(chisq) else math.nan

    def outcome(self, out, active):
        """The binding's solution of the last round, with the counters of all
        rounds and the active constraints of the final active set."""
        info = list(out.info)
        info[0], info[5] = self.initial_chisq, self.iterations
        bounds, ineq = self.cons.report(active, out.p.astype(np.float64), self.eps)
        return _fit.Solution((out.p, out.f, out.J, tuple(info), self.nfev, self.njev, out.status, out.r, out.chisq,
                              out.cov, out.rank, out.free, out.total, bounds, ineq, out.qr))


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
    J_w = weighted(weights, J.astype(np.float64))
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
