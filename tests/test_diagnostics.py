"""Fit diagnostics: standard deviations, correlations, R^2, the Cholesky factor
of a covariance, the box-bound check and the Jacobian check."""

import math

import numpy as np
import pytest

import capi
from capi import PRECISIONS, fn, ptr


def as_real(prefix, values):
    return np.asarray(values, capi.DTYPE[prefix])


# ---- standard deviation and correlation ---------------------------------------------


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_stddev_and_corcoef(prefix):
    covariance = as_real(prefix, [[4.0, 3.0], [3.0, 9.0]])
    assert fn(prefix, "ombrix_stddev")(ptr(covariance), 2, 0) == 2.0
    assert fn(prefix, "ombrix_stddev")(ptr(covariance), 2, 1) == 3.0
    assert fn(prefix, "ombrix_corcoef")(ptr(covariance), 2, 0, 1) == pytest.approx(0.5, rel=1e-7)
    assert fn(prefix, "ombrix_corcoef")(ptr(covariance), 2, 1, 0) == pytest.approx(0.5, rel=1e-7)
    assert fn(prefix, "ombrix_corcoef")(ptr(covariance), 2, 1, 1) == 1.0


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_negative_variance_gives_nan(prefix):
    covariance = as_real(prefix, [[-4.0, 1.0], [1.0, 9.0]])
    assert math.isnan(fn(prefix, "ombrix_stddev")(ptr(covariance), 2, 0))
    assert math.isnan(fn(prefix, "ombrix_corcoef")(ptr(covariance), 2, 0, 1))


# ---- coefficient of determination ----------------------------------------------------


def r2_reference(x, f, dt, descending=True):
    """1 - SS_res / SS_tot with every sum taken from the last index down."""
    n = len(f)
    order = range(n - 1, -1, -1) if descending else range(n)
    mean = dt(0)
    if x is not None:
        for i in order:
            mean = mean + x[i]
        mean = mean / dt(n)
    ss_res = ss_tot = dt(0)
    for i in order:
        xi = x[i] if x is not None else dt(0)
        ss_res = ss_res + (xi - f[i]) * (xi - f[i])
        ss_tot = ss_tot + (xi - mean) * (xi - mean)
    return dt(1) - ss_res / ss_tot


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_R2_bit_exact(prefix):
    # measurements spanning several decades and a rough model, so that the
    # summation order shows in the result
    dt = capi.DTYPE[prefix]
    rng = np.random.default_rng(0)
    x = (rng.standard_normal(37) * 10.0 ** rng.uniform(-2, 2, 37)).astype(dt)
    shape = (x * rng.uniform(0.2, 1.8, 37)).astype(dt)

    def model(p):
        return p[0] * shape

    p = as_real(prefix, [1.0])
    r2 = fn(prefix, "ombrix_R2")(capi.callback(prefix, model), ptr(p), ptr(x), 1, 37, None)
    expected = r2_reference(x, shape, dt)
    assert r2_reference(x, shape, dt, descending=False) != expected, "the data must tell the orders apart"
    assert dt(r2).tobytes() == expected.tobytes()


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_R2_of_an_exact_model_is_one(prefix):
    x = as_real(prefix, [1.0, 2.5, -3.0, 4.0])
    p = as_real(prefix, [0.0])
    assert fn(prefix, "ombrix_R2")(capi.callback(prefix, lambda p: x), ptr(p), ptr(x), 1, 4, None) == 1.0


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("values,expected", [([1.0, -2.0], -math.inf), ([0.0, 0.0], math.nan)])
def test_R2_without_measurements_does_not_read_them(prefix, values, expected):
    # x NULL counts as zeros: SS_tot is 0, so the result is -inf (NaN for a zero model)
    p = as_real(prefix, [1.0])
    r2 = fn(prefix, "ombrix_R2")(capi.callback(prefix, lambda p: values), ptr(p), None, 1, 2, None)
    assert r2 == expected or (math.isnan(expected) and math.isnan(r2))


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("n", [0, -3])
def test_R2_without_measurements_is_nan_and_calls_nothing(prefix, n):
    calls = []
    p = as_real(prefix, [1.0])
    r2 = fn(prefix, "ombrix_R2")(capi.callback(prefix, lambda p: [], calls=calls), ptr(p), None, 1, n, None)
    assert math.isnan(r2)
    assert calls == []


# ---- Cholesky factor -------------------------------------------------------------------


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_chol_upper_factor_with_zeroed_lower_part(prefix):
    c = as_real(prefix, [[4.0, 2.0], [2.0, 5.0]])
    w = np.full((2, 2), 7.0, capi.DTYPE[prefix])
    assert fn(prefix, "ombrix_chol")(ptr(c), ptr(w), 2) == 0
    np.testing.assert_array_equal(w, [[2.0, 1.0], [0.0, 2.0]])


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_chol_of_a_larger_covariance(prefix):
    rng = np.random.default_rng(5)
    a = rng.standard_normal((6, 6))
    c = as_real(prefix, a @ a.T + 6 * np.eye(6))
    c_before = c.copy()
    w = np.full((6, 6), np.nan, capi.DTYPE[prefix])
    assert fn(prefix, "ombrix_chol")(ptr(c), ptr(w), 6) == 0
    assert np.array_equal(np.tril(w, -1), np.zeros((6, 6)))
    np.testing.assert_allclose(w.T.astype(np.float64) @ w, c, rtol={"d": 1e-13, "s": 1e-5}[prefix], atol=1e-5)
    assert np.array_equal(c, c_before)


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_chol_not_positive_definite(prefix, capfd):
    c = as_real(prefix, [[1.0, 2.0], [2.0, 1.0]])
    w = np.zeros((2, 2), capi.DTYPE[prefix])
    assert fn(prefix, "ombrix_chol")(ptr(c), ptr(w), 2) == -1
    assert capfd.readouterr().err == (
        "LAPACK error: the leading minor of order 2 is not positive definite,\n"
        f"and the Cholesky factorization could not be completed in {prefix}ombrix_chol()\n"
    )


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_chol_of_an_empty_matrix_succeeds_quietly(prefix, capfd):
    c = as_real(prefix, [3.0])
    w = as_real(prefix, [9.0])
    assert fn(prefix, "ombrix_chol")(ptr(c), ptr(w), 0) == 0
    assert w[0] == 9.0
    assert capfd.readouterr().err == ""


# ---- box bounds -------------------------------------------------------------------------


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize(
    "lb,ub,m,expected",
    [
        ([0.0, 1.0], [1.0, 1.0], 2, 1),  # equal bounds are consistent
        ([0.0, 2.0], [1.0, 1.0], 2, 0),
        ([0.0, 2.0], [1.0, 1.0], 1, 1),  # only the first m count
        ([0.0, 2.0], None, 2, 1),
        (None, [1.0, 1.0], 2, 1),
        ([0.0, 2.0], [1.0, 1.0], 0, 1),
        ([math.nan, 2.0], [1.0, math.nan], 2, 1),  # NaN compares false
        ([-math.inf, 5.0], [math.inf, 4.0], 2, 0),
    ],
)
def test_box_check(prefix, lb, ub, m, expected):
    lb = None if lb is None else as_real(prefix, lb)
    ub = None if ub is None else as_real(prefix, ub)
    assert fn(prefix, "ombrix_box_check")(ptr(lb), ptr(ub), m) == expected


# ---- Jacobian check ---------------------------------------------------------------------

# eps_mach, eps = sqrt(eps_mach), eps_f = 100 eps_mach, log10(eps)
CHKJAC_CONSTANTS = {
    "d": (2.220446049250313e-16, 1.4901161193847656e-08, 2.220446049250313e-14, -7.826779887263511),
    "s": (1.1920928955078125e-07, 0.0003452669770922512, 1.1920928955078125e-05, -3.4618449211120605),
}


def chkjac_reference(prefix, model, jacobian, p):
    dt = capi.DTYPE[prefix]
    eps_mach, eps, eps_f, log_eps = (dt(c) for c in CHKJAC_CONSTANTS[prefix])
    f = np.asarray(model(p), dt)
    jac = np.asarray(jacobian(p), dt)
    q = p.copy()
    for j in range(len(p)):
        h = eps * abs(p[j])
        q[j] = p[j] + (eps if h == 0 else h)
    f_plus = np.asarray(model(q), dt)
    err = [dt(0)] * len(f)
    for j in range(len(p)):
        s = dt(1) if p[j] == 0 else abs(p[j])
        for i in range(len(f)):
            err[i] = err[i] + s * jac[i, j]
    for i in range(len(f)):
        if not (f[i] != 0 and f_plus[i] != 0 and abs(f_plus[i] - f[i]) >= eps_f * abs(f[i])):
            err[i] = dt(0)
            continue
        change = (f_plus[i] - f[i]) * dt(2.0**26) if prefix == "d" else (f_plus[i] - f[i]) / eps
        t = eps * abs(change - err[i]) / (abs(f[i]) + abs(f_plus[i]))
        err[i] = dt(1)
        if eps_mach < t < eps:
            err[i] = (dt(math.log10(t)) - log_eps) / log_eps
        if not t < eps:
            err[i] = dt(0)
    return np.array(err, dt)


def chkjac(prefix, model, jacobian, p, n):
    dt = capi.DTYPE[prefix]
    p = np.asarray(p, dt)
    p_before = p.copy()
    err = np.full(n, np.nan, dt)
    fn(prefix, "ombrix_chkjac")(capi.callback(prefix, model), capi.jacobian_callback(prefix, jacobian), ptr(p),
                                 len(p), n, None, ptr(err))
    assert np.array_equal(p, p_before)
    return err


def square_and_product(p):
    return [p[0] ** 2, p[0] * p[1]]


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize(
    "jacobian,expected",
    [
        (lambda p: [[2 * p[0], 0.0], [p[1], p[0]]], [1.0, 1.0]),
        (lambda p: [[2 * p[0], 0.0], [-p[1], -p[0]]], [1.0, 0.0]),  # second row negated
        (lambda p: [[2 * p[0], 0.0], [math.nan, p[0]]], [1.0, 0.0]),  # a NaN entry is no match
    ],
)
def test_chkjac_grades_rows(prefix, jacobian, expected):
    err = chkjac(prefix, square_and_product, jacobian, [1.0, 2.0], 2)
    np.testing.assert_array_equal(err, expected)


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_chkjac_bit_exact_grades(prefix):
    # rows that are right, slightly off (graded between 0 and 1), wrong, and a
    # model output of 0 (always 0); parameters of both signs and a zero one
    def model(p):
        return [p[0] ** 2 * p[1], math.sin(p[1]) + p[2], 0.0 * p[0], p[0] * p[2] + 3.0]

    off = {"d": 3e-4, "s": 1e-2}[prefix]  # a relative error each precision can resolve

    def jacobian(p):
        return [
            [2 * p[0] * p[1], p[0] ** 2, 0.0],
            [0.0, math.cos(p[1]) * (1 + off), 1.0],
            [0.0, 0.0, 0.0],
            [p[2], 0.0, p[0] * 1.3],
        ]

    dt = capi.DTYPE[prefix]
    p = np.array([1.7, -0.4, 0.0], dt)
    err = chkjac(prefix, model, jacobian, p, 4)
    expected = chkjac_reference(prefix, model, jacobian, p)
    assert err.tobytes() == expected.tobytes()
    assert err[0] > 0.9 and 0 < err[1] < 1 and err[2] == 0


# ---- allocation failures end the process ---------------------------------------------------

LIMIT_ADDRESS_SPACE = """
import resource
def limit_address_space(extra=512 << 20):
    with open("/proc/self/status") as f:
        size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + extra, size + extra))
"""


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_chkjac_allocation_failure_exits(prefix, isolated):
    # n + n*m + m + n reals with n = m = 2^30 cannot be allocated
    result = isolated(f"""
import numpy as np, capi
p = np.zeros(1, capi.DTYPE["{prefix}"])
f = capi.callback("{prefix}", lambda p: [])
capi.fn("{prefix}", "ombrix_chkjac")(f, f, capi.ptr(p), 1 << 30, 1 << 30, None, capi.ptr(p))
print("returned")
""")
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"{prefix}ombrix_chkjac(): memory allocation request failed\n"


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_R2_allocation_failure_exits(prefix, isolated):
    result = isolated(LIMIT_ADDRESS_SPACE + f"""
import numpy as np, capi
p = np.zeros(1, capi.DTYPE["{prefix}"])
f = capi.callback("{prefix}", lambda p: [])
limit_address_space()
capi.fn("{prefix}", "ombrix_R2")(f, capi.ptr(p), None, 1, 1 << 30, None)
print("returned")
""")
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"memory allocation request failed in {prefix}ombrix_R2()\n"
