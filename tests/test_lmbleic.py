"""Fits under linear inequalities C p >= d (slack variables over the penalty
solver): ?ombrix_bleic_* and the front ends ?ombrix_blic_*, ?ombrix_leic_*,
?ombrix_lic_*."""

import numpy as np
import pytest

import capi
from constrained import BIG, fit, kkt_solution

MODES = ["der", "dif"]
WEIGHT = 10000.0

RNG = np.random.default_rng(7)
M = RNG.standard_normal((6, 3))
X = RNG.standard_normal(6)
P_LS = np.linalg.lstsq(M, X, rcond=None)[0]  # the unconstrained solution
ROW = np.array([[1.0, 1.0, 1.0]])
INACTIVE_D = ROW @ P_LS - 1.0  # satisfied with room at P_LS
ACTIVE_D = ROW @ P_LS + 1.0    # cuts P_LS off: the fit lies on the row


def linear(p):
    return M @ p


def linear_jac(p):
    return M


# argument lists between n and max_iter, per variant
def constraint_args(variant, lb, ub, A, b, C, d):
    k1 = 0 if A is None else len(A)
    k2 = 0 if C is None else len(C)
    return {"bleic": [lb, ub, A, b, k1, C, d, k2], "blic": [lb, ub, C, d, k2], "leic": [A, b, k1, C, d, k2],
            "lic": [C, d, k2]}[variant]


def ineq(prefix, p0, C, d, variant="lic", lb=None, ub=None, A=None, b=None, mode="der", model=linear,
         jac=linear_jac, x=X, **kw):
    return fit(prefix, variant, model, p0, x, constraint_args(variant, lb, ub, A, b, C, d),
               jac=jac if mode == "der" else None, mode=mode, **kw)


def objective(p):
    return float(np.sum((X - M @ p) ** 2))


# ---- fits ----------------------------------------------------------------------------

@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("start", ["feasible", "infeasible"])
def test_inactive_inequality_leaves_the_unconstrained_fit(prefix, mode, start):
    p0 = P_LS + (3.0 if start == "feasible" else -2.0)
    r = ineq(prefix, p0, ROW, INACTIVE_D, mode=mode)
    assert r.ret > 0
    np.testing.assert_allclose(r.p, P_LS, atol={"d": 1e-9, "s": 2e-3}[prefix])


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("start", ["feasible", "infeasible"])
def test_active_inequality_holds_within_the_penalty(prefix, mode, start, capfd):
    p0 = P_LS + (2.0 if start == "feasible" else -1.0)
    r = ineq(prefix, p0, ROW, ACTIVE_D, mode=mode, max_iter=500)
    assert r.ret > 0
    assert capfd.readouterr().err == ""  # an infeasible start is no error
    p = r.p.astype(float)
    expected, multipliers = kkt_solution(M, X, ROW, ACTIVE_D)
    assert multipliers[0] < 0  # (the row really is active at the optimum)
    # a slack below 0 by v costs (10000 v)^2: the violation is tiny
    assert (ACTIVE_D - ROW @ p)[0] <= {"d": 1e-7, "s": 1e-5}[prefix]
    if (prefix, mode) == ("d", "der"):
        np.testing.assert_allclose(p, expected, atol=1e-7)
    else:
        # Difference Jacobians straddle the penalty's kink where the slack
        # meets 0, and single precision cannot resolve the 1/w^2 balance: the
        # fit stalls near the optimum on the constraint.
        assert objective(p) <= 1.05 * objective(expected)


def test_equalities_and_inequalities_together():
    # p0 - p1 = 0.5 as an equality, the row as an active inequality.
    A, b = np.array([[1.0, -1.0, 0.0]]), np.array([0.5])
    r = ineq("d", P_LS + 2.0, ROW, ACTIVE_D, variant="leic", A=A, b=b, max_iter=500)
    expected, _ = kkt_solution(M, X, np.vstack([A, ROW]), np.concatenate([b, ACTIVE_D]))
    assert abs((A @ r.p - b)[0]) <= 1e-12
    np.testing.assert_allclose(r.p, expected, atol=1e-7)


def test_box_and_inequality_together():
    # The box holds p2 at or below 0; the row stays active.
    big = BIG["d"]
    lb, ub = np.full(3, -big), np.array([big, big, 0.0])
    unboxed, _ = kkt_solution(M, X, ROW, ACTIVE_D)
    assert unboxed[2] > 0
    start = np.array([ACTIVE_D[0] / 2 + 1, ACTIVE_D[0] / 2 + 1, -1.0])  # inside both
    r = ineq("d", start, ROW, ACTIVE_D, variant="blic", lb=lb, ub=ub, max_iter=500)
    both = np.vstack([ROW, [[0.0, 0.0, 1.0]]])
    expected, multipliers = kkt_solution(M, X, both, np.array([ACTIVE_D[0], 0.0]))
    assert multipliers[0] < 0 and multipliers[1] > 0  # both bind
    np.testing.assert_allclose(r.p, expected, atol=1e-6)


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode", MODES)
def test_negative_slacks_enter_the_initial_error_as_penalties(prefix, mode):
    C = np.array([[1.0, 0.0, 0.0], [0.0, 1.0, -1.0], [1.0, 1.0, 1.0]])
    p0 = np.array([0.5, -1.0, 2.0])
    d = np.array([1.0, -4.0, 2.0])  # violated by 0.5, satisfied, violated by 0.5
    r = ineq(prefix, p0, C, d, mode=mode, max_iter=0)
    np.testing.assert_allclose(r.calls[0], p0, rtol=1e-6)  # the model sees only the first m entries
    expected = objective(p0) + np.sum((WEIGHT * np.maximum(d - C @ p0, 0)) ** 2)
    assert r.info[0] == pytest.approx(expected, rel={"d": 1e-10, "s": 1e-5}[prefix])


@pytest.mark.parametrize("mode", MODES)
def test_covariance_is_the_leading_block(mode):
    # Inactive inequalities: the slack columns carry no information, and the
    # measurement count includes the m + k2 penalty rows.
    C = np.vstack([ROW, [[1.0, -1.0, 0.0]]])
    d = np.concatenate([INACTIVE_D, [P_LS[0] - P_LS[1] - 2.0]])
    r = ineq("d", P_LS + 3.0, C, d, mode=mode)
    n, m, k2 = len(X), 3, 2
    expected = np.linalg.inv(M.T @ M) * r.info[1] / (n + m + k2 - m)
    np.testing.assert_allclose(r.cov, expected, rtol=1e-6)


# ---- front ends and ignored arguments ----------------------------------------------------

FRONT_ENDS = [
    # variant, the groups it passes on
    ("blic", dict(lb=True, ub=True)),
    ("leic", dict(A=True, b=True)),
    ("lic", dict()),
]


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("variant, groups", FRONT_ENDS)
def test_front_ends_are_the_full_solver_with_absent_groups_null(prefix, mode, variant, groups):
    big = BIG[prefix]
    full = dict(lb=np.array([-big, -big, -1.0]), ub=np.array([big, 5.0, big]), A=np.array([[1.0, -1.0, 0.0]]),
                b=np.array([0.5]))
    given = {key: value for key, value in full.items() if groups.get(key)}
    kw = dict(mode=mode, max_iter=30)
    front = ineq(prefix, P_LS + 2.0, ROW, ACTIVE_D, variant=variant, **given, **kw)
    whole = ineq(prefix, P_LS + 2.0, ROW, ACTIVE_D, variant="bleic", **given, **kw)
    np.testing.assert_array_equal(front.p, whole.p)
    np.testing.assert_array_equal(front.info, whole.info)
    np.testing.assert_array_equal(front.cov, whole.cov)


@pytest.mark.parametrize("mode", MODES)
def test_equalities_without_right_hand_side_are_ignored(mode):
    A = np.array([[1.0, -1.0, 0.0]])
    with_a = ineq("d", P_LS + 2.0, ROW, ACTIVE_D, variant="bleic", A=A, b=None, mode=mode, max_iter=30)
    without = ineq("d", P_LS + 2.0, ROW, ACTIVE_D, variant="bleic", mode=mode, max_iter=30)
    np.testing.assert_array_equal(with_a.p, without.p)
    np.testing.assert_array_equal(with_a.info, without.info)


# ---- refusals -------------------------------------------------------------------------------

NO_JACOBIAN = ("No function specified for computing the Jacobian in {P}ombrix_bleic_der().\n"
               "If no such function is available, use {P}ombrix_bleic_dif() rather than {P}ombrix_bleic_der()\n")
NO_INEQUALITIES = "{P}ombrix_bleic_{mode}(): missing inequality constraints, use {P}ombrix_blec_{mode}() in this case!\n"
TOO_FEW = ("{P}ombrix_bleic_{mode}(): cannot solve a problem with fewer measurements + equality constraints "
           "[{n} + {k1}] than unknowns [3]\n")
HUGE = 2**31 - 4  # slacks whose extended equality matrix no allocator grants

REFUSALS = [
    # id, modes, overrides of the arguments (variant bleic), message
    ("no jacobian callback", ["der"], dict(jac=None), NO_JACOBIAN),
    ("no jacobian callback before the inequalities", ["der"], dict(jac=None, C=None), NO_JACOBIAN),
    ("C null", MODES, dict(C=None), NO_INEQUALITIES),
    ("d null", MODES, dict(d=None), NO_INEQUALITIES),
    ("d null without rows", MODES, dict(C=np.empty((0, 3)), d=None, k2=0), NO_INEQUALITIES),
    ("inequalities before the measurement count", MODES, dict(C=None, n=1), NO_INEQUALITIES),
    ("fewer measurements", MODES, dict(n=1), TOO_FEW.replace("{n}", "1").replace("{k1}", "1")),
    # b null: the equalities do not count
    ("fewer measurements, b null", MODES, dict(n=2, b=None), TOO_FEW.replace("{n}", "2").replace("{k1}", "0")),
    ("unallocatable", MODES, dict(k2=HUGE), "{P}ombrix_bleic_{mode}(): memory allocation request failed\n"),
    # the penalty solver's refusal passes through, untouched arrays included
    ("crossed bounds", MODES, dict(lb=np.array([0.0, 2.0, 0.0]), ub=np.ones(3)),
     "{P}ombrix_blec_{mode}(): at least one lower bound exceeds the upper one\n"),
    ("too many equalities", MODES, dict(A=np.eye(4, 3), b=np.ones(4)),
     "matrix of constraints cannot have more rows than columns in{P}lmlec_elim()!\n"),
]


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode, case, message",
                         [pytest.param(mode, kw, msg, id=f"{name}-{mode}")
                          for name, modes, kw, msg in REFUSALS for mode in modes])
def test_refusals_print_one_message_and_touch_nothing(prefix, mode, case, message, capfd):
    args = {"lb": None, "ub": None, "A": np.array([[1.0, -1.0, 0.0]]), "b": np.array([0.5]), "C": ROW,
            "d": ACTIVE_D, "jac": linear_jac, "n": len(X), **case}
    k1 = 0 if args["A"] is None else len(args["A"])
    k2 = args.pop("k2", len(args["C"]) if args["C"] is not None else 1)
    constraints = [args["lb"], args["ub"], args["A"], args["b"], k1, args["C"], args["d"], k2]
    start = P_LS + 2.0
    r = fit(prefix, "bleic", linear, start, X, constraints, jac=args["jac"], mode=mode, n=args["n"])
    assert r.ret == -1
    assert capfd.readouterr().err == message.format(P=prefix, mode=mode)
    assert r.calls == [] and r.jac_calls == []
    np.testing.assert_array_equal(r.p, start.astype(capi.DTYPE[prefix]))
    assert (r.info == -1).all() and (r.cov == -1).all()
