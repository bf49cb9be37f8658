"""Fits under box bounds (soft, by penalty) and linear equalities (hard):
?ombrix_blec_der and ?ombrix_blec_dif."""

import numpy as np
import pytest

import capi
from constrained import BIG, covariance, fit

MODES = ["der", "dif"]
WEIGHT = 10000.0
EMPTY_A, EMPTY_B = np.empty((0, 3)), np.empty(0)


def blec(prefix, model, p0, x, lb, ub, A=EMPTY_A, b=EMPTY_B, weights=None, jac=None, mode="dif", **kw):
    return fit(prefix, "blec", model, p0, x, [lb, ub, A, b, len(b), weights], jac=jac if mode == "der" else None,
               mode=mode, **kw)


def identity(p):
    return np.array(p, dtype=float)


def identity_jac(p):
    return np.eye(len(p))


def penalties(p, lb, ub, big, weights=None):
    """The penalty measurements and their derivatives, written from the bound kinds."""
    w = np.full(len(p), WEIGHT) if weights is None else np.asarray(weights, dtype=float)
    values, slopes = np.zeros(len(p)), np.zeros(len(p))
    for i, v in enumerate(p):
        lo = None if lb is None or lb[i] == -big else lb[i]
        hi = None if ub is None or ub[i] == big else ub[i]
        if lb is not None and ub is None:  # lower only, whatever lb holds
            lo, hi = lb[i], None
        if lo is not None and hi is not None:
            t = (2 * v - (lo + hi)) / (hi - lo)
            values[i] = w[i] * max(t * t - 1, 0)
            slopes[i] = 0 if lo <= v <= hi else 4 * (2 * v - lo - hi) / (hi - lo) ** 2 * w[i]
        elif lo is not None:
            values[i] = w[i] * max(lo - v, 0)
            slopes[i] = 0 if v >= lo else -w[i]
        elif hi is not None:
            values[i] = w[i] * max(v - hi, 0)
            slopes[i] = 0 if v <= hi else w[i]
    return values, slopes


# ---- fits -----------------------------------------------------------------------------

# Difference Jacobians straddle the kink of the penalty at a bound, which
# limits how closely the finite-difference solver settles there.
TOL = {("d", "der"): 1e-6, ("d", "dif"): 1e-4, ("s", "der"): 1e-5, ("s", "dif"): 1e-3}


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode", MODES)
def test_equality_holds_and_bounds_bind_within_the_penalty(prefix, mode):
    # min ||x - p||^2 with p0 + p1 + p2 = 1.5 and 0 <= p <= 1: the equality
    # pushes p0 onto its upper bound and p2 onto its lower one.  The start
    # lies outside the box on both sides; only the penalty pulls it back.
    x = np.array([2.0, 0.5, -1.0])
    A, b = np.ones((1, 3)), np.array([1.5])
    r = blec(prefix, identity, [1.5, 0.5, -0.5], x, np.zeros(3), np.ones(3), A, b, jac=identity_jac, mode=mode,
             max_iter=500)
    assert r.ret > 0
    assert abs(float(np.sum(r.p.astype(float))) - 1.5) <= {"d": 1e-12, "s": 1e-6}[prefix]
    np.testing.assert_allclose(r.p, [1.0, 0.5, 0.0], atol=TOL[prefix, mode])
    if (prefix, mode) == ("d", "der"):
        # soft bounds: violated slightly, on the side the data pulls to
        assert 0 < r.p[0] - 1 < 1e-6 and -1e-6 < r.p[2] < 0


KINDS = {
    # lb, ub (None: null array; +-inf: the sentinels), targets, start, expected fit
    "interval": ([0, -1, 2], [1, 1, 3], [2, -3, 2.5], [1.5, -2, 2.5], [1, -1, 2.5]),
    "lower only": ([0, 0, 0], [np.inf] * 3, [-1, 2, -3], [-0.5, 1, -1], [0, 2, 0]),
    "upper only": ([-np.inf] * 3, [1, 1, 1], [-1, 2, 3], [0, 1.5, 2], [-1, 1, 1]),
    "both sentinels": ([-np.inf] * 3, [np.inf] * 3, [-1, 2, 3], [0, 0, 0], [-1, 2, 3]),
    "mixed": ([0, -np.inf, -np.inf], [np.inf, 1, np.inf], [-1, 2, 5], [-2, 3, 0], [0, 1, 5]),
    # a null ub: every component is lower only, the negative sentinel included
    "ub null": ([0, -np.inf, 0], None, [-1, -2, 3], [-1, -3, -1], [0, -2, 3]),
    # a null lb: every component is upper only, the positive sentinel included
    "lb null": (None, [1, np.inf, 1], [2, 5, 0], [3, 6, 2], [1, 5, 0]),
}


def bounds(prefix, case):
    lb, ub, x, p0, expected = KINDS[case]
    big = BIG[prefix]
    to_sentinel = lambda v: None if v is None else np.clip(np.array(v, dtype=float), -big, big)
    return to_sentinel(lb), to_sentinel(ub), np.array(x, float), np.array(p0, float), np.array(expected, float)


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("case", KINDS)
def test_bound_kinds_set_the_penalty_measurements(prefix, mode, case):
    lb, ub, x, p0, _ = bounds(prefix, case)
    r = blec(prefix, identity, p0, x, lb, ub, jac=identity_jac, mode=mode, max_iter=0)
    # the start is not clamped: the first evaluation is at p0 itself
    np.testing.assert_array_equal(r.calls[0], p0)
    values, _ = penalties(p0, lb, ub, BIG[prefix])
    assert r.info[0] == pytest.approx(np.sum((x - p0) ** 2) + np.sum(values ** 2), rel={"d": 1e-14, "s": 1e-6}[prefix])


@pytest.mark.parametrize("case", KINDS)
def test_bound_kinds_decide_where_the_fit_settles(case):
    lb, ub, x, p0, expected = bounds("d", case)
    r = blec("d", identity, p0, x, lb, ub, jac=identity_jac, mode="der", max_iter=500)
    assert r.ret > 0
    np.testing.assert_allclose(r.p, expected, atol=1e-6)


@pytest.mark.parametrize("case", KINDS)
def test_covariance_includes_the_penalty_rows(case):
    # One iteration from a start that violates bounds: the covariance comes from
    # the Jacobian at the start, model rows over penalty slopes.
    lb, ub, x, p0, _ = bounds("d", case)
    r = blec("d", identity, p0, x, lb, ub, jac=identity_jac, mode="der", max_iter=1)
    _, slopes = penalties(p0, lb, ub, BIG["d"])
    augmented = np.vstack([np.eye(3), np.diag(slopes)])
    np.testing.assert_allclose(r.cov, covariance(augmented, r.info[1], 3 + 3), rtol=1e-10, atol=1e-300)


@pytest.mark.parametrize("mode", MODES)
def test_given_weights_replace_the_default(mode):
    lb, ub = np.zeros(3), np.ones(3)
    p0, x, w = np.array([-1.0, 2.0, 0.5]), np.array([0.5, 0.5, 0.5]), np.array([1.0, 3.0, 100.0])
    r = blec("d", identity, p0, x, lb, ub, weights=w, jac=identity_jac, mode=mode, max_iter=0)
    values, _ = penalties(p0, lb, ub, BIG["d"], weights=w)
    assert r.info[0] == pytest.approx(np.sum((x - p0) ** 2) + np.sum(values ** 2), rel=1e-14)


def test_null_x_fits_model_and_penalties_to_zeros():
    model = lambda p: p - np.array([3.0, -1.0, 0.5])
    lb, ub = np.zeros(3), np.full(3, 2.0)
    r = blec("d", model, [1.0, 1.0, 1.0], None, lb, ub, jac=identity_jac, mode="der", n=3, max_iter=500)
    np.testing.assert_allclose(r.p, [2.0, 0.0, 0.5], atol=1e-6)
    assert r.info[0] == pytest.approx(np.sum(model(np.ones(3)) ** 2), rel=1e-14)


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
def test_zero_width_interval_allows_only_its_one_value(prefix):
    # The penalty is 0 exactly at lb = ub (0/0 counts as no violation) and
    # infinite anywhere else.
    lb, ub = np.array([0.0, 0.5, 0.0]), np.array([1.0, 0.5, 1.0])
    x = np.array([0.5, 0.5, 0.5])
    at = blec(prefix, identity, [0.2, 0.5, 0.7], x, lb, ub, jac=identity_jac, mode="der", max_iter=0)
    off = blec(prefix, identity, [0.2, 0.6, 0.7], x, lb, ub, jac=identity_jac, mode="der", max_iter=0)
    assert at.info[0] == pytest.approx(0.09 + 0.04, rel=1e-6)
    assert off.info[0] == np.inf


# ---- refusals ---------------------------------------------------------------------------

NO_JACOBIAN = ("No function specified for computing the Jacobian in {P}ombrix_blec_der().\n"
               "If no such function is available, use {P}ombrix_blec_dif() rather than {P}ombrix_blec_der()\n")
BOTH_NULL = ("{P}ombrix_blec_{mode}(): lower and upper bounds for box constraints cannot be both NULL, "
             "use {P}ombrix_lec_{mode}() in this case!\n")
CROSSED = "{P}ombrix_blec_{mode}(): at least one lower bound exceeds the upper one\n"

REFUSALS = [
    ("no jacobian callback", ["der"], dict(jac=None), NO_JACOBIAN),
    ("no jacobian callback before the bounds", ["der"], dict(jac=None, lb=None, ub=None), NO_JACOBIAN),
    ("both bounds null", MODES, dict(lb=None, ub=None), BOTH_NULL),
    ("lower above upper", MODES, dict(lb=np.array([0.0, 2.0, 0.0])), CROSSED),
    # n + m measurements must fit an int
    ("augmented size", MODES, dict(n=2**31 - 2), "{P}ombrix_blec_{mode}(): memory allocation request #1 failed\n"),
    # the elimination's own refusal passes through
    ("redundant equalities", MODES, dict(A=np.ones((2, 3)), b=np.ones(2)),
     "\nConstraints matrix in {P}lmlec_elim() is not of full row rank (i.e. 1 < 2)!\n"
     "Make sure that you do not specify redundant or inconsistent constraints.\n\n"),
]


@pytest.mark.parametrize("prefix", capi.PRECISIONS)
@pytest.mark.parametrize("mode, case, message",
                         [pytest.param(mode, kw, msg, id=f"{name}-{mode}")
                          for name, modes, kw, msg in REFUSALS for mode in modes])
def test_refusals_print_one_message_and_touch_nothing(prefix, mode, case, message, capfd):
    kw = {"lb": np.zeros(3), "ub": np.ones(3), "A": EMPTY_A, "b": EMPTY_B, "jac": identity_jac, **case}
    start = [0.5, 0.5, 0.5]
    r = blec(prefix, identity, start, np.ones(3), kw.pop("lb"), kw.pop("ub"), kw.pop("A"), kw.pop("b"), mode=mode,
             **kw)
    assert r.ret == -1
    assert capfd.readouterr().err == message.format(P=prefix, mode=mode)
    assert r.calls == [] and r.jac_calls == []
    np.testing.assert_array_equal(r.p, start)
    assert (r.info == -1).all() and (r.cov == -1).all()
