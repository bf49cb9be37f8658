"""Plain-numpy transcriptions of the two unconstrained Levenberg-Marquardt
iterations, written for readability rather than speed.

The tests run a C solver and its transcription side by side: they must take
the same decisions (accept, reject, fresh difference Jacobian, stop reason),
so the counters agree exactly and the parameters to rounding.  Linear solves
use numpy (LU), not the symmetric factorisation, so only rounding differs.
"""

import numpy as np

DEFAULTS = (1e-3, 1e-17, 1e-17, 1e-17, 1e-6)
NU_LIMIT = 2 ** 30
SHRINK_FLOOR = 0.3333333334


def _options(opts):
    tau, eps1, eps2, eps3, delta = DEFAULTS if opts is None else opts
    return tau, eps1, eps2, eps2 * eps2, eps3, delta


def _shrink(mu, dF, dL):
    t = (dF + dF) / dL - 1.0
    g = 1.0 - t * t * t
    return mu * (g if g >= SHRINK_FLOOR else SHRINK_FLOOR)


def _error(x, f):
    return (np.zeros_like(f) if x is None else x) - f


class Run:
    """Counters and results of a transcribed run, named like the info vector."""

    def __init__(self):
        self.model_calls = self.jacobians = self.solves = self.iterations = 0
        self.stop = 0


def lm_der(func, jacf, p, x, max_iter, opts=None):
    tau, eps1, eps2, eps2_sq, eps3, _ = _options(opts)
    p = np.array(p, dtype=float)
    run = Run()
    err = _error(x, func(p))
    run.model_calls = 1
    e2 = float(err @ err)
    nu, mu = 2, 0.0
    stop = 0 if np.isfinite(e2) else 7
    k = 0
    while k < max_iter and stop == 0:
        if e2 <= eps3:
            stop = 6
            break
        J = np.asarray(jacf(p), dtype=float).reshape(len(err), len(p))
        run.jacobians += 1
        jtj, jte = J.T @ J, J.T @ err
        if np.max(np.abs(jte), initial=0.0) <= eps1:
            stop = 1
            break
        p2 = float(p @ p)
        if k == 0:
            mu = tau * np.max(np.diag(jtj))
        while True:
            run.solves += 1
            step = np.linalg.solve(jtj + mu * np.eye(len(p)), jte)
            dp2 = float(step @ step)
            if dp2 <= eps2_sq * p2:
                stop = 2
                break
            if dp2 >= (p2 + eps2) / 1e-24:
                stop = 4
                break
            trial_err = _error(x, func(p + step))
            run.model_calls += 1
            trial_e2 = float(trial_err @ trial_err)
            if not np.isfinite(trial_e2):
                stop = 7
                break
            dL = float(step @ (mu * step + jte))
            dF = e2 - trial_e2
            if dL > 0 and dF > 0:
                mu, nu = _shrink(mu, dF, dL), 2
                p, err, e2 = p + step, trial_err, trial_e2
                break
            mu *= nu
            if nu >= NU_LIMIT:
                stop = 5
                break
            nu *= 2
        k += 1
    if k >= max_iter:
        stop = 3
    run.iterations, run.stop, run.p, run.e2 = k, stop, p, e2
    return run


def lm_dif(func, p, x, max_iter, opts=None):
    tau, eps1, eps2, eps2_sq, eps3, delta = _options(opts)
    central = delta < 0
    delta = -delta if central else delta
    p = np.array(p, dtype=float)
    m = len(p)
    run = Run()
    fp = np.asarray(func(p), dtype=float)
    run.model_calls = 1
    err = _error(x, fp)
    e2 = float(err @ err)
    n = len(err)
    nu, mu = 20, 0.0
    fresh_update, update_count, normal_stale = True, 0, False
    K = max(m, 10)
    J = np.zeros((n, m))
    stop = 0 if np.isfinite(e2) else (3 if max_iter <= 0 else 7)
    k = 0
    while stop == 0:
        if k >= max_iter:
            stop = 3
            break
        if e2 <= eps3:
            stop = 6
            break
        if (fresh_update and nu > 16) or update_count == K:
            for j in range(m):
                d = abs(1e-4 * p[j])
                d = delta if delta > d else d
                q = p.copy()
                if central:
                    q[j] = p[j] - d
                    minus = np.asarray(func(q), dtype=float)
                    q[j] = p[j] + d
                    J[:, j] = (np.asarray(func(q), dtype=float) - minus) * (0.5 / d)
                else:
                    q[j] = p[j] + d
                    J[:, j] = (np.asarray(func(q), dtype=float) - fp) * (1.0 / d)
            run.model_calls += (2 if central else 1) * m
            run.jacobians += 1
            nu, update_count, fresh_update, normal_stale = 2, 0, False, True
        if normal_stale:
            normal_stale = False
            jtj, jte = J.T @ J, J.T @ err
            p2 = float(p @ p)
        if np.max(np.abs(jte), initial=0.0) <= eps1:
            stop = 1
            break
        if k == 0:
            mu = tau * np.max(np.diag(jtj))
        run.solves += 1
        step = np.linalg.solve(jtj + mu * np.eye(m), jte)
        dp2 = float(step @ step)
        if dp2 <= eps2_sq * p2:
            stop = 2
            break
        if dp2 >= (p2 + eps2) / 1e-24:
            stop = 4
            break
        trial_f = np.asarray(func(p + step), dtype=float)
        run.model_calls += 1
        trial_err = _error(x, trial_f)
        trial_e2 = float(trial_err @ trial_err)
        if not np.isfinite(trial_e2):
            stop = 7
            break
        dF = e2 - trial_e2
        if fresh_update or dF > 0:
            J += np.outer(((trial_f - fp) - J @ step) / dp2, step)
            update_count += 1
            normal_stale = True
        dL = float(step @ (mu * step + jte))
        if dL > 0 and dF > 0:
            mu, nu = _shrink(mu, dF, dL), 2
            p, err, fp, e2 = p + step, trial_err, trial_f, trial_e2
            fresh_update = True
        else:
            mu *= nu
            if nu >= NU_LIMIT:
                stop = 5
                break
            nu *= 2
        k += 1
    run.iterations, run.stop, run.p, run.e2 = k, stop, p, e2
    return run
