"""Bounds and inequalities in ombrix.fit by the active-set method: known
answers, exact feasibility, no model call at an infeasible point the solver
asks for, counters, single precision, exceptions, the feasible start, and the
guarded solve of the binding underneath."""

import numpy as np
import pytest

from ombrix import Status, _fit, fit, nist
from ombrix import _active_set

T = np.linspace(0.0, 1.0, 21)
LINE = np.stack([np.ones_like(T), T], axis=1)
QUAD = np.stack([np.ones_like(T), T, T * T], axis=1)
Y = 1.0 + 2.0 * T + 0.05 * np.sin(7.0 * T)
OLS = np.linalg.lstsq(LINE, Y, rcond=None)[0]
INF = np.inf


def line(p):
    return LINE @ p


def line_jac(p):
    return LINE.copy()


def quad(p):
    return QUAD @ p


def quad_jac(p):
    return QUAD.copy()


class Recorded:
    """A model or Jacobian that keeps a copy of every point it is called at."""

    def __init__(self, function, fail_at=None, error=None):
        self.function, self.fail_at, self.error = function, fail_at, error
        self.points = []

    def __call__(self, p, *args):
        self.points.append(np.array(p, dtype=np.float64))
        if self.fail_at is not None and len(self.points) == self.fail_at:
            raise self.error
        return self.function(p, *args)


def violation(p, bounds=None, eq=None, ineq=None, eps=np.finfo(np.float64).eps):
    """The largest failure of a constraint at p, in units of its rounding
    allowance (16 eps of the sizes involved): at most 1 means feasible."""
    p = np.asarray(p, dtype=np.float64)
    worst = 0.0
    if bounds is not None:
        lb, ub = (np.broadcast_to(np.asarray([-INF if v is None else v for v in np.atleast_1d(side)], float),
                                  p.shape) for side in bounds)
        with np.errstate(invalid="ignore"):
            worst = max(worst, np.max(np.nan_to_num((lb - p) / (16 * eps * (np.abs(lb) + np.abs(p)) + 1e-300))),
                        np.max(np.nan_to_num((p - ub) / (16 * eps * (np.abs(ub) + np.abs(p)) + 1e-300))))
    for pair, two_sided in ((ineq, False), (eq, True)):
        if pair is None:
            continue
        G, h = np.atleast_2d(np.asarray(pair[0], float)), np.atleast_1d(np.asarray(pair[1], float))
        slack = G @ p - h
        size = 16 * eps * (np.abs(G) @ np.abs(p) + np.abs(h))
        worst = max(worst, np.max((np.abs(slack) if two_sided else -slack) / size))
    return worst


# ---- known answers --------------------------------------------------------------------

def _fixed_slope(slope):
    return np.array([np.mean(Y - slope * T), slope])


def _sum_fixed(total):
    u = ((T - 1) @ (Y - total)) / ((T - 1) @ (T - 1))
    return np.array([total - u, u])


# On the quadratic: data wanting p0 < 0, with p0 + p1 = 1 and p0 >= 0, p1 <= 1, which
# on that line are one constraint: the step meets both at once, the second depends on
# the first (and the equality), and the answer is p0 = 0, p1 = 1, p2 by least squares.
Y_QUAD = QUAD @ [-0.5, 1.5, 0.3]
DEPENDENT_ANSWER = np.array([0.0, 1.0, (T * T) @ (Y_QUAD - T) / ((T * T) @ (T * T))])

# (name, model, jac, start, y, constraints, answer, active_bounds, active_ineq, parameters left free)
CASES = [
    ("upper bound binds", line, line_jac, [2.0, 0.5], Y, dict(bounds=([-INF, -INF], [INF, 1.5])),
     _fixed_slope(1.5), [0, 1], [], 1),
    ("inactive bounds", line, line_jac, [2.0, 0.5], Y, dict(bounds=(-10.0, 10.0)), OLS, [0, 0], [], 2),
    ("inequality active", line, line_jac, [2.0, 0.5], Y, dict(ineq=([[0.0, -1.0]], [-1.5])), _fixed_slope(1.5),
     [0, 0], [True], 1),
    ("inequality inactive", line, line_jac, [2.0, 0.5], Y, dict(ineq=([[0.0, 1.0]], [0.0])), OLS, [0, 0],
     [False], 2),
    ("inequality on a sum", line, line_jac, [0.5, 0.5], Y, dict(ineq=([[-1.0, -1.0]], [-2.5])), _sum_fixed(2.5),
     [0, 0], [True], 1),
    ("start violates the inequality", line, line_jac, [2.0, 3.0], Y, dict(ineq=([[0.0, -1.0]], [-1.5])),
     _fixed_slope(1.5), [0, 0], [True], 1),
    ("equality and bounds, start off both", line, line_jac, [12.0, 0.5], Y,
     dict(eq=([1.0, 1.0], [3.2]), bounds=([0.0, 0.0], [10.0, 10.0])), _sum_fixed(3.2), [0, 0], [], 1),
    ("equality, bounds and inequality", line, line_jac, [2.0, 0.5], Y,
     dict(eq=([1.0, 1.0], [3.2]), bounds=([0.0, 0.0], [10.0, 10.0]), ineq=([[0.0, -1.0]], [-1.5])),
     np.array([1.7, 1.5]), [0, 0], [True], 0),
    ("a dependent constraint met at the same point", quad, quad_jac, [0.5, 0.5, 0.0], Y_QUAD,
     dict(eq=([1.0, 1.0, 0.0], 1.0), bounds=([0.0, -INF, -INF], [INF, 1.0, INF])), DEPENDENT_ANSWER, [-1, 1, 0],
     [], 1),
    ("both bounds bind: nothing left free", line, line_jac, [0.0, 0.0], Y, dict(bounds=([-INF, -INF], [0.5, 1.5])),
     np.array([0.5, 1.5]), [1, 1], [], 0),
    ("every parameter fixed", line, line_jac, [0.0, 0.0], Y, dict(bounds=[(1.0, 1.0), (2.0, 2.0)]),
     np.array([1.0, 2.0]), [1, 1], [], 0),
]


@pytest.mark.parametrize("mode", ["analytic", "forward", "central"])
@pytest.mark.parametrize("name, model, jac, start, y, constraints, answer, bounds, ineq, free", CASES,
                         ids=[c[0] for c in CASES])
def test_known_answers_exactly_feasible(name, model, jac, start, y, constraints, answer, bounds, ineq, free, mode):
    kw = dict(jac=jac) if mode == "analytic" else dict(diff=mode)
    r = fit(model, start, y, **constraints, **kw)
    assert r.success, r.message
    np.testing.assert_allclose(r.p, answer, rtol=1e-8, atol=1e-8)
    assert violation(r.p, **constraints) <= 1.0
    np.testing.assert_array_equal(r.active_bounds, bounds)
    assert r.active_ineq.tolist() == ineq
    held = np.flatnonzero(np.asarray(bounds) != 0)
    np.testing.assert_array_equal(r.stderr[held], 0.0)  # the covariance treats them as equalities
    assert r.dof == y.size - free


def test_bounds_that_bind_are_met_exactly():
    # without equalities the eliminated bound rows are unit rows: the bound is reached to the last bit
    prob = nist.load("Misra1a")
    r = fit(prob.model, prob.start1, prob.y, args=(prob.x,), jac=prob.jacobian, bounds=([0.0, 0.0], [INF, 5e-4]))
    g = 1.0 - np.exp(-5e-4 * prob.x)
    assert r.success and r.p[1] == 5e-4 and r.active_bounds.tolist() == [0, 1]
    assert r.p[0] == pytest.approx((g @ prob.y) / (g @ g), rel=1e-12)
    assert r.nfev < 40 and r.iterations < 40  # the direct box solver: 1000 iterations, 5726 calls, not converged


@pytest.fixture
def rounds(monkeypatch):
    """The guarded solves of a fit: (rows eliminated or None, its outcome)."""
    seen = []

    def spy_on(solve):
        def spy(*args):
            out = solve(*args)
            seen.append((None if args[8] is None else np.array(args[8]), out))
            return out
        return spy

    for name in ("solve_guarded", "engine_solve_guarded"):
        monkeypatch.setattr(_active_set._fit, name, spy_on(getattr(_fit, name)))
    return seen


def test_a_bound_added_on_the_way_is_released_by_its_multiplier(rounds):
    # From (10, 0) a heavily damped step goes down the gradient, out through b >= 0: the bound
    # joins the active set at once.  Along it the fit converges to a = mean(y), where the
    # multiplier of b >= 0 is negative: released, the fit ends at the unconstrained answer.
    r = fit(line, [10.0, 0.0], Y, jac=line_jac, bounds=([-INF, 0.0], INF), damping=1e3)
    assert r.success
    np.testing.assert_allclose(r.p, OLS, rtol=1e-9)
    assert r.active_bounds.tolist() == [0, 0] and r.dof == 19
    held = [i for i, (rows, out) in enumerate(rounds) if rows is not None]
    assert held and rounds[held[0]][0].tolist() == [[0.0, 1.0]]
    assert rounds[-1][0] is None and rounds[-1][1][-1] is None  # the last round is free and not stopped


@pytest.mark.parametrize("diff", ["forward", "central"])
def test_difference_rounds_at_the_minimum_count_as_converged(diff):
    # Kirby2 from its second start with its third parameter held 5 % above the certified value: the
    # rounds eliminate the bound through a basis, so the binding takes the differences and the
    # engine must judge the gradient at their accuracy, not an analytic Jacobian's (it stalled).
    prob = nist.load("Kirby2")
    lb = np.full(prob.m, -INF)
    lb[2] = prob.certified[2] + 0.05 * abs(prob.certified[2])
    start = np.maximum(prob.start2, lb)
    exact = fit(prob.model, start, prob.y, args=(prob.x,), jac=prob.jacobian, bounds=(lb, INF))
    r = fit(prob.model, start, prob.y, args=(prob.x,), diff=diff, bounds=(lb, INF))
    assert exact.success and r.success, r.message
    assert r.active_bounds.tolist() == exact.active_bounds.tolist() == [0, 0, -1, 0, 0]
    assert r.chisq == pytest.approx(exact.chisq, rel=1e-9)


@pytest.mark.parametrize("weighting", ["sigma", "covariance"])
@pytest.mark.parametrize("analytic", [True, False], ids=["analytic", "differences"])
def test_weighted_fit_with_bounds_that_bind(weighting, analytic, chisq_noise):
    # the multipliers are those of the weighted chi-square: with b and c at
    # their bounds, a is the weighted linear least-squares fit of the rest

    def decay(p):
        return p[0] * np.exp(-p[1] * T) + p[2]

    def decay_jac(p):
        e = np.exp(-p[1] * T)
        return np.stack([e, -p[0] * T * e, np.ones_like(T)], axis=1)

    y = decay([2.0, 1.3, 0.5]) + 0.02 * np.cos(11.0 * T)
    sd = np.linspace(0.5, 2.0, 21)
    sigma = sd if weighting == "sigma" else np.diag(sd ** 2) + 0.1 * np.exp(-np.abs(np.subtract.outer(T, T)) / 0.1)
    L = np.diag(sd) if weighting == "sigma" else np.linalg.cholesky(sigma)
    bounds = ([-INF, 1.4, -INF], [INF, INF, 0.45])
    r = fit(decay, [1.0, 1.5, 0.0], y, sigma=sigma, bounds=bounds, jac=decay_jac if analytic else None)
    assert r.success and r.active_bounds.tolist() == [0, -1, 1]
    assert r.p[1] == 1.4 and r.p[2] == 0.45
    g, rest = np.linalg.solve(L, np.exp(-1.4 * T)), np.linalg.solve(L, y - 0.45)
    a = g @ rest / (g @ g)
    # a is resolved to sqrt(noise) / ||g||: below that chi-square cannot tell
    noise = chisq_noise(rest - a * g, rest)
    assert r.p[0] == pytest.approx(a, rel=0, abs=np.sqrt(noise) / np.linalg.norm(g))
    assert abs(r.chisq - (rest - a * g) @ (rest - a * g)) <= noise


# ---- never evaluated outside ------------------------------------------------------------

def _bounded_nist(name, draw):
    """A NIST problem with bounds 5 % past the certified values on 1-2 parameters."""
    prob = nist.load(name)
    rng = np.random.default_rng(draw)
    lb, ub = np.full(prob.m, -INF), np.full(prob.m, INF)
    for i in rng.choice(prob.m, size=rng.integers(1, 3), replace=False):
        c = prob.certified[i]
        if rng.random() < 0.5:
            ub[i] = c - 0.05 * abs(c)
        else:
            lb[i] = c + 0.05 * abs(c)
    return prob, lb, ub


@pytest.mark.parametrize("name, draw", [("Misra1a", 4), ("Thurber", 1), ("Lanczos3", 2), ("MGH09", 1),
                                        ("Kirby2", 4), ("Gauss1", 5)])
@pytest.mark.parametrize("analytic", [True, False], ids=["analytic", "differences"])
def test_the_model_is_never_called_outside_the_bounds(name, draw, analytic, rounds):
    prob, lb, ub = _bounded_nist(name, draw)
    model = Recorded(prob.model)
    kw = dict(jac=prob.jacobian) if analytic else {}
    r = fit(model, np.clip(prob.start1, lb, ub), prob.y, args=(prob.x,), bounds=(lb, ub), **kw)
    points = np.array(model.points)
    # difference steps stay inside too: every call, not only the solver's points
    assert ((points >= lb) & (points <= ub)).all()
    assert r.nfev == len(points)
    # chi-square never rises from one round to the next (entries 0 and 1: at its start and end)
    for (_, before), (_, after) in zip(rounds, rounds[1:]):
        assert after[3][0] <= before[3][1] * (1 + 1e-12)
    tr = pytest.importorskip("scipy.optimize").least_squares(
        lambda b: prob.model(b, prob.x) - prob.y, np.clip(prob.start1, lb, ub),
        jac=lambda b: prob.jacobian(b, prob.x), bounds=(lb, ub), method="trf", xtol=1e-15, ftol=1e-15, gtol=1e-15)
    assert r.chisq <= 2 * tr.cost * (1 + 1e-8)


@pytest.mark.parametrize("constraints, start", [
    (dict(ineq=([[0.0, -1.0], [1.0, 1.0]], [-1.5, 2.0])), [2.0, 0.5]),
    (dict(ineq=([[0.0, -1.0]], [-1.5])), [2.0, 3.0]),
    (dict(eq=([1.0, 1.0], [3.2]), bounds=([0.0, 0.0], [10.0, 1.4]), ineq=([[1.0, -1.0]], [0.0])), [5.0, 5.0]),
])
def test_solver_points_violate_no_inequality(constraints, start):
    model = Recorded(line)
    r = fit(model, start, Y, jac=line_jac, **constraints)
    assert r.success
    # with an analytic Jacobian every call is a point the method asked for
    assert max(violation(q, **constraints) for q in model.points) <= 1.0


def test_the_start_is_the_nearest_feasible_point_in_relative_terms():
    model = Recorded(line)
    fit(model, [2.0, 3.0], Y, jac=line_jac, ineq=([[0.0, -1.0]], [-1.5]))
    np.testing.assert_array_equal(model.points[0], [2.0, 1.5])
    # distances relative to |p0_j|: onto p0 + p1 <= 99.99 from (100, 1), p_j moves in proportion to p0_j^2
    model = Recorded(line)
    fit(model, [100.0, 1.0], Y, jac=line_jac, ineq=([[-1.0, -1.0]], [-99.99]))
    moved = np.array([100.0, 1.0]) - model.points[0]
    assert moved[0] == pytest.approx(1e4 * moved[1], rel=1e-9)
    assert model.points[0].sum() == pytest.approx(99.99, rel=1e-15)


@pytest.mark.parametrize("constraints", [
    dict(bounds=([0.0, 0.0], [1.0, 1.0]), ineq=([[1.0, 1.0]], [3.0])),
    dict(ineq=([[1.0, 0.0], [-1.0, 0.0]], [1.0, 0.0])),
    dict(eq=([1.0, 1.0], [5.0]), bounds=([0.0, 0.0], [2.0, 2.0])),
])
def test_constraints_without_a_common_point_are_refused_before_the_model_runs(constraints):
    model = Recorded(line)
    with pytest.raises(ValueError, match="no common point"):
        fit(model, [0.5, 0.5], Y, **constraints)
    assert model.points == []


def test_feasible_start_is_the_projection():
    # Random problems: the result satisfies every constraint, and the optimality conditions of
    # the projection: (x - x0) = sum of multipliers times rows, non-negative on inequalities.
    rng = np.random.default_rng(3)
    eps = np.finfo(np.float64).eps
    for _ in range(40):
        m = int(rng.integers(2, 6))
        C, x = rng.normal(size=(int(rng.integers(1, 7)), m)), rng.normal(size=m)
        d = C @ x - rng.uniform(0.0, 1.0, C.shape[0])
        lb = np.where(rng.random(m) < 0.5, x - rng.uniform(0.0, 1.0, m), -INF)
        A = rng.normal(size=(1, m)) if m > 2 else None
        b = None if A is None else A @ x
        start = rng.normal(size=m) * 3
        cons = _active_set.Constraints(m, lb, np.full(m, INF), A, b, C, d, _active_set.dependence_tol(m, eps))
        p = _active_set.feasible_start(np.maximum(start, lb), np.ones(m), cons, eps)
        assert (C @ p - d >= -1e-12).all() and (p >= lb).all()
        if A is not None:
            assert abs(A @ p - b).max() <= 1e-12
        holding = np.abs(cons.G @ p - cons.h) <= 1e-10
        rows = np.vstack([cons.E, cons.G[holding]])
        lam = np.linalg.lstsq(rows.T, p - np.maximum(start, lb), rcond=None)[0]
        np.testing.assert_allclose(rows.T @ lam, p - np.maximum(start, lb), atol=1e-9)
        assert (lam[cons.E.shape[0]:] >= -1e-9).all()


# ---- counters, precision, exceptions ---------------------------------------------------------

def test_counters_are_summed_over_rounds(rounds):
    prob, lb, ub = _bounded_nist("Thurber", 1)
    model, jac = Recorded(prob.model), Recorded(prob.jacobian)
    r = fit(model, np.clip(prob.start1, lb, ub), prob.y, args=(prob.x,), jac=jac, bounds=(lb, ub))
    assert len(rounds) >= 2
    assert r.nfev == len(model.points) and r.njev == len(jac.points)
    assert r.iterations == sum(int(out[3][5]) for _, out in rounds)
    assert r.status == Status(int(rounds[-1][1][3][6]))
    assert r.initial_chisq == pytest.approx(prob.rss(np.clip(prob.start1, lb, ub)), rel=1e-12)


def test_rounds_share_the_iteration_budget():
    prob, lb, ub = _bounded_nist("Thurber", 1)
    r = fit(prob.model, np.clip(prob.start1, lb, ub), prob.y, args=(prob.x,), jac=prob.jacobian, bounds=(lb, ub),
            max_iterations=3)
    assert r.status is Status.MAX_ITERATIONS and not r.success and r.iterations <= 3
    assert violation(r.p, bounds=(lb, ub)) <= 1.0


@pytest.mark.parametrize("mode", ["analytic", "forward", "central"])
def test_single_precision(mode):
    prob = nist.load("Misra1a")
    seen = []

    def model(p, x):
        seen.append(p.dtype)
        return prob.model(p.astype(np.float64), x)

    kw = dict(jac=lambda p, x: prob.jacobian(p.astype(np.float64), x)) if mode == "analytic" else dict(diff=mode)
    r = fit(model, prob.start1, prob.y, args=(prob.x,), bounds=([0.0, 0.0], [INF, 5e-4]), dtype=np.float32, **kw)
    g = 1.0 - np.exp(-5e-4 * prob.x)
    assert r.success and r.p.dtype == np.float32 and set(seen) == {np.dtype(np.float32)}
    assert r.p[1] == np.float32(5e-4) and r.active_bounds.tolist() == [0, 1]
    assert r.p[0] == pytest.approx((g @ prob.y) / (g @ g), rel=1e-6)
    lifetimes = fit(line, [2.0, 0.5], Y, jac=line_jac, ineq=([[0.0, -1.0]], [-1.5]), dtype=np.float32)
    np.testing.assert_allclose(lifetimes.p, _fixed_slope(1.5), rtol=1e-6)
    assert lifetimes.active_ineq.tolist() == [True]
    assert violation(lifetimes.p, ineq=([[0.0, -1.0]], [-1.5]), eps=np.finfo(np.float32).eps) <= 1.0


class ModelError(Exception):
    pass


def test_exceptions_propagate_from_every_round():
    # Misra1a bounded: the model is called by the binding in two rounds and once by the
    # method itself (chi-square where the step meets the bound).  A failure at any call
    # stops the fit at once and reaches the caller unchanged.
    prob = nist.load("Misra1a")
    bounds = ([0.0, 0.0], [INF, 5e-4])
    total = len(_calls(prob, bounds))
    assert total > 5
    for fail_at in range(1, total + 1):
        error = ModelError(fail_at)
        model = Recorded(prob.model, fail_at, error)
        with pytest.raises(ModelError) as caught:
            fit(model, prob.start1, prob.y, args=(prob.x,), jac=prob.jacobian, bounds=bounds)
        assert caught.value is error and len(model.points) == fail_at
    error = ModelError("jac")
    jac = Recorded(prob.jacobian, 4, error)
    with pytest.raises(ModelError) as caught:
        fit(prob.model, prob.start1, prob.y, args=(prob.x,), jac=jac, bounds=bounds)
    assert caught.value is error and len(jac.points) == 4


def _calls(prob, bounds):
    model = Recorded(prob.model)
    fit(model, prob.start1, prob.y, args=(prob.x,), jac=prob.jacobian, bounds=bounds)
    return model.points


# ---- choosing the method ----------------------------------------------------------------

def test_direct_solvers_stay_selectable():
    ineq = ([[0.0, -1.0]], [-1.5])
    exact = fit(line, [2.0, 0.5], Y, jac=line_jac, ineq=ineq)
    direct = fit(line, [2.0, 0.5], Y, jac=line_jac, ineq=ineq, constraints="direct")
    secant = fit(line, [2.0, 0.5], Y, ineq=ineq, diff="secant")
    # the penalty solvers leave the inequality violated by a small amount; the active set does not
    assert exact.p[1] <= 1.5 and direct.p[1] > 1.5 and secant.p[1] > 1.5
    np.testing.assert_allclose(direct.p, exact.p, rtol=1e-6)
    # with an analytic Jacobian 'secant' means nothing: the active set runs
    assert fit(line, [2.0, 0.5], Y, jac=line_jac, ineq=ineq, diff="secant").p[1] <= 1.5


@pytest.mark.parametrize("kwargs, message", [
    (dict(constraints="penalty"), "constraints must be one of 'active-set', 'direct' or None"),
    (dict(constraints="active-set", diff="secant"), "needs diff='forward' or 'central'"),
])
def test_method_arguments_are_checked(kwargs, message):
    with pytest.raises(ValueError, match=message):
        fit(line, [0.0, 0.0], Y, bounds=(0.0, 5.0), **kwargs)


# ---- the guarded solve of the binding -------------------------------------------------

TOL = (1e-3, 0.0, 1e-12, 0.0, 100)


def guarded(model=line, p0=(2.0, 0.5), jac=line_jac, A=None, b=None, G=None, h=None, diff="forward", lb=None,
            ub=None, dtype=np.float64, max_iter=100):
    return _fit.solve_guarded(model, np.array(p0, dtype=dtype), Y, (), jac, None, lb, ub, A, b, G, h, diff, None,
                              True, *TOL[:4], max_iter, False, False, False)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_guarded_solve_stops_before_evaluating_a_violating_point(dtype):
    model, jac = Recorded(line), Recorded(line_jac)
    out = guarded(model, jac=jac, G=[[0.0, -1.0]], h=[-1.5], dtype=dtype)
    p, f, J, info, nfev, njev, status, refused = *out[:7], out[-1]
    assert f is None and J is None and all(v is None for v in out[7:16])
    assert refused.dtype == dtype and p.dtype == dtype
    assert refused[1] > 1.5 and all(q[1] <= 1.5 for q in model.points)
    assert nfev == len(model.points) and njev == len(jac.points)
    np.testing.assert_array_equal(p, jac.points[-1])  # the current point: that of the last Jacobian
    assert status == -1 and info[6] == 7
    # with the row eliminated the same fit converges on it, and the row counts as active
    out = guarded(A=[[0.0, 1.0]], b=[1.5], dtype=dtype)
    p, f, info, free, refused = out[0], out[1], out[3], out[11], out[-1]
    assert refused is None and p[1] == dtype(1.5) and info[6] in (1, 2) and free == 1
    np.testing.assert_allclose(f, line(p), rtol=1e-6)


def test_guarded_solve_without_a_violation_is_the_plain_solve():
    plain = _fit.solve(line, np.array([2.0, 0.5]), Y, (), line_jac, None, None, None, None, None, None, None,
                       "forward", None, True, *TOL, False, False, False)
    out = guarded(G=[[0.0, 1.0]], h=[-100.0])
    assert out[-1] is None
    for i, (a, b) in enumerate(zip(plain, out)):
        if i != 14:  # the inequalities found active: none of solve's, the guard rows of solve_guarded
            np.testing.assert_array_equal(a, b)


def test_guarded_solve_without_freedom_or_iterations_reports_the_start():
    model = Recorded(line)
    out = guarded(model, p0=(0.5, 1.5), A=np.eye(2), b=[0.5, 1.5])
    assert [q.tolist() for q in model.points] == [[0.5, 1.5]] and out[3][5] == 0 and out[3][6] == 1
    assert out[8] == pytest.approx(np.sum((Y - line([0.5, 1.5])) ** 2)) and out[3][0] == out[8]
    assert out[11] == 0 and not out[9].any()  # nothing free: no variance
    out = guarded(p0=(0.5, 1.5), max_iter=0)
    assert out[3][6] == 3 and out[3][5] == 0 and out[11] == 2
    np.testing.assert_array_equal(out[0], [0.5, 1.5])


def test_guarded_solve_refuses_an_infeasible_start_and_what_it_cannot_guard():
    model = Recorded(line)
    out = guarded(model, G=[[0.0, -1.0]], h=[-0.25])
    assert model.points == [] and out[4] == 0 and out[3][5] == 0
    np.testing.assert_array_equal(out[0], [2.0, 0.5])
    np.testing.assert_array_equal(out[-1], [2.0, 0.5])
    with pytest.raises(ValueError, match="diff='forward' or 'central' and no polish"):
        guarded(jac=None, diff="secant")
    with pytest.raises(ValueError, match="G has shape"):
        guarded(G=[[1.0, 2.0, 3.0]], h=[0.0])
    with pytest.raises(ValueError, match="max_iter must not be negative"):
        guarded(max_iter=-1)
