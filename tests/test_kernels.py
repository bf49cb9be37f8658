"""Kernels of the numeric layer: the error-vector norm, J^T J, the two ways the
solvers form the normal equations, and the difference Jacobians.

Results the kernels fix to the last bit are compared bit for bit with a Python
re-implementation that does the same operations in the same order, in the
precision under test (NumPy scalars round every operation to their dtype)."""

import math

import numpy as np
import pytest

import capi
from capi import PRECISIONS, fn, ptr

EPS = {"d": np.finfo(np.float64).eps, "s": np.finfo(np.float32).eps}


def wide_range(rng, n, dt):
    """Values whose magnitudes span several decades, so that a different
    summation order almost always changes the rounded result."""
    return (rng.standard_normal(n) * 10.0 ** rng.uniform(-3, 3, n)).astype(dt)


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


# ---- ||x - y||^2 ------------------------------------------------------------------


def l2nrmxmy_reference(x, y, n, dt):
    """diff and sum of squares in the kernel's order: blocks of eight from the
    top down into s[t % 4], the rest from index b upwards into s[(u + 7 - r) % 4]."""
    s = [dt(0)] * 4
    diff = np.zeros(n, dt)

    def element(i):
        diff[i] = x[i] - y[i] if x is not None else -y[i]
        return diff[i] * diff[i]

    b = n - n % 8
    for top in range(b - 1, 0, -8):
        for t in range(8):
            s[t % 4] = s[t % 4] + element(top - t)
    r = n - b
    for u in range(r):
        s[(u + 7 - r) % 4] = s[(u + 7 - r) % 4] + element(b + u)
    return ((s[0] + s[1]) + s[2]) + s[3], diff


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("n", [0, 1, 4, 7, 8, 13, 16, 1000])
@pytest.mark.parametrize("layout", ["separate", "x_null", "diff_is_x", "diff_is_y"])
def test_L2nrmxmy_bit_exact(prefix, n, layout):
    dt = capi.DTYPE[prefix]
    rng = np.random.default_rng(n)
    guard = dt(-7.5)  # one element past n in every array: must stay untouched
    x = np.append(wide_range(rng, n, dt), guard)
    y = np.append(wide_range(rng, n, dt), guard)
    expected, expected_diff = l2nrmxmy_reference(None if layout == "x_null" else x, y, n, dt)
    x_before, y_before = x.copy(), y.copy()

    diff = {"diff_is_x": x, "diff_is_y": y}.get(layout, np.full(n + 1, guard, dt))
    result = fn(prefix, "ombrix_L2nrmxmy")(ptr(diff), None if layout == "x_null" else ptr(x), ptr(y), n)

    assert same_bits(dt(result), expected)
    assert same_bits(diff[:n], expected_diff)
    assert diff[n] == guard
    if layout != "diff_is_x":
        assert same_bits(x, x_before)
    if layout != "diff_is_y":
        assert same_bits(y, y_before)


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_L2nrmxmy_empty_returns_zero(prefix):
    dt = capi.DTYPE[prefix]
    diff = np.full(2, 3.0, dt)
    assert fn(prefix, "ombrix_L2nrmxmy")(ptr(diff), None, ptr(diff), 0) == 0.0
    assert np.all(diff == 3.0)


# ---- J^T J ---------------------------------------------------------------------------


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("n,m", [(1, 1), (5, 3), (3, 5), (40, 7), (0, 2)])
def test_trans_mat_mat_mult_matches_numpy(prefix, n, m):
    dt = capi.DTYPE[prefix]
    mat = np.random.default_rng(10 * n + m).uniform(-1, 1, (n, m)).astype(dt)
    mat_before = mat.copy()
    product = np.full((m, m), np.nan, dt)  # every entry must be written
    fn(prefix, "ombrix_trans_mat_mat_mult")(ptr(mat), ptr(product), n, m)
    exact = mat.astype(np.float64).T @ mat.astype(np.float64)
    # both triangles written; gemm need not make them bitwise equal
    np.testing.assert_allclose(product, exact, rtol=0, atol=8 * max(n, 1) * EPS[prefix])
    assert same_bits(mat, mat_before)


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_trans_mat_mat_mult_with_no_columns_writes_nothing(prefix):
    dt = capi.DTYPE[prefix]
    mat = np.ones(3, dt)
    product = np.full(1, 9.0, dt)
    fn(prefix, "ombrix_trans_mat_mat_mult")(ptr(mat), ptr(product), 3, 0)
    assert product[0] == 9.0


# ---- the normal equations inside the solvers ---------------------------------------------
#
# Small problems form J^T J and J^T e with loops that run from the last row
# down; larger ones use gemm and sum J^T e from the first row up.  One iteration
# of a solver exposes J^T e through info[2] (||J^T e||_inf) and J^T J through
# the covariance it leaves (pinv(J^T J) * ||e||^2 / (n - m)).  The analytic
# solver switches at n*m = 1024, the difference solver at n*m = 1025.

P_START = (1.0, 0.5, -0.25)


def polynomial_problem(prefix, n, m):
    dt = capi.DTYPE[prefix]
    t = np.linspace(0.0, 1.0, n, dtype=dt)
    powers = [t**k for k in range(1, m + 1)]

    def model(p):
        out = p[0] * powers[0]
        for k in range(1, m):
            out = out + p[k] * powers[k]
        return out

    def jacobian(p):
        return np.stack(powers, axis=1)

    p0 = np.array(P_START[:m], dt)
    x = model(p0) + wide_range(np.random.default_rng(n * m + 1), n, dt)
    return dt, model, jacobian, p0, x


def forward_difference_reference(model, p, dt, delta=1e-6):
    fp = model(p)
    columns = []
    for j in range(len(p)):
        d = abs(dt(1e-4) * p[j])
        if dt(delta) > d:
            d = dt(delta)
        q = p.copy()
        q[j] = p[j] + d
        columns.append((model(q) - fp) * (dt(1) / d))
    return np.stack(columns, axis=1)


def jte_reference(jac, err, descending):
    n, m = jac.shape
    jte = [jac.dtype.type(0)] * m
    for l in range(n - 1, -1, -1) if descending else range(n):
        for i in range(m):
            jte[i] = jte[i] + jac[l, i] * err[l]
    return jte


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize(
    "solver,m,n,direct",
    [
        ("der", 1, 1023, True),
        ("der", 1, 1024, False),
        ("der", 3, 341, True),
        ("der", 3, 342, False),
        ("dif", 1, 1024, True),
        ("dif", 1, 1025, False),
        ("dif", 3, 341, True),
        ("dif", 3, 342, False),
    ],
)
def test_normal_equations_variant_and_order(prefix, solver, m, n, direct):
    dt, model, jacobian, p0, x = polynomial_problem(prefix, n, m)
    jac = jacobian(p0) if solver == "der" else forward_difference_reference(model, p0, dt)
    err = x - model(p0)
    jte = jte_reference(jac, err, descending=direct)
    other_order = jte_reference(jac, err, descending=not direct)
    assert not same_bits(np.array(jte), np.array(other_order)), "the data must tell the two orders apart"

    p = p0.copy()
    info = np.zeros(10, dt)
    covariance = np.zeros((m, m), dt)
    func = capi.callback(prefix, model)
    if solver == "der":
        ret = fn(prefix, "ombrix_der")(func, capi.jacobian_callback(prefix, jacobian), ptr(p), ptr(x), m, n, 1,
                                        None, ptr(info), None, ptr(covariance), None)
    else:
        ret = fn(prefix, "ombrix_dif")(func, ptr(p), ptr(x), m, n, 1, None, ptr(info), None, ptr(covariance), None)
    assert ret == 1 and info[6] == 3

    jte_inf = dt(0)
    for value in jte:
        if abs(value) > jte_inf:
            jte_inf = abs(value)
    assert same_bits(info[2], jte_inf)

    scale = info[1] / dt(n - m)
    if direct and m == 1:  # J^T J summed from the last row down; the 1 x 1 pseudoinverse is 1/J^T J
        jtj = dt(0)
        for l in range(n - 1, -1, -1):
            jtj = jtj + jac[l, 0] * jac[l, 0]
        assert same_bits(covariance[0, 0], (dt(1) / jtj) * scale)
    jac64 = jac.astype(np.float64)
    expected = np.linalg.inv(jac64.T @ jac64) * np.float64(scale)
    np.testing.assert_allclose(covariance, expected, rtol={"d": 1e-9, "s": 2e-2}[prefix])


# ---- difference Jacobians ---------------------------------------------------------------


def curve(p):
    return np.array([p[0] ** 2 * p[1], math.sin(p[1]) + p[2], p[0] * p[2] - p[1] ** 3, math.exp(0.1 * p[2])])


def curve_jacobian(p):
    return np.array(
        [
            [2 * p[0] * p[1], p[0] ** 2, 0.0],
            [0.0, math.cos(p[1]), 1.0],
            [p[2], -3 * p[1] ** 2, p[0]],
            [0.0, 0.0, 0.1 * math.exp(0.1 * p[2])],
        ]
    )


def difference_step(value, delta, dt):
    d = abs(dt(1e-4) * value)
    return dt(delta) if dt(delta) > d else d


def run_kernel(prefix, scheme, p, delta):
    """Runs one difference kernel on curve; returns (jacobian, recorded calls)."""
    dt = capi.DTYPE[prefix]
    m, n = len(p), 4
    calls = []
    func = capi.callback(prefix, curve, calls=calls)
    jac = np.full((n, m), np.nan, dt)
    scratch = np.zeros(n, dt), np.zeros(n, dt)
    if scheme == "forward":
        fp = curve(p).astype(dt)
        fn(prefix, "ombrix_fdif_forw_jac_approx")(func, ptr(p), ptr(fp), ptr(scratch[0]), delta, ptr(jac), m, n, None)
    else:
        fn(prefix, "ombrix_fdif_cent_jac_approx")(func, ptr(p), ptr(scratch[0]), ptr(scratch[1]), delta, ptr(jac), m,
                                                   n, None)
    return jac, calls


# parameter values: 0 takes delta, 1e6 takes 1e-4 * 1e6 = 100, a negative value
# takes a positive step, 1/3 is not restored exactly by adding and subtracting
# the step, NaN gives a NaN step and a NaN column.
PARAMETERS = [
    ([0.0, 1e6, -3.5], 1e-6),
    ([1.0 / 3.0, 2.0, -0.7], 0.1),
    ([np.nan, 0.25, 1.5], 1e-6),
]


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("scheme", ["forward", "central"])
@pytest.mark.parametrize("values,delta", PARAMETERS)
def test_difference_kernel_steps_calls_and_values(prefix, scheme, values, delta):
    dt = capi.DTYPE[prefix]
    p = np.array(values, dt)
    p_before = p.copy()
    jac, calls = run_kernel(prefix, scheme, p, delta)

    assert same_bits(p, p_before), "every perturbed entry is restored exactly"
    m = len(p)
    perturbed_per_parameter = 1 if scheme == "forward" else 2
    assert len(calls) == perturbed_per_parameter * m

    fp = curve(p).astype(dt)
    for j in range(m):
        d = difference_step(p[j], delta, dt)
        if scheme == "forward":
            points = [p[j] + d]
        else:
            points = [p[j] - d, p[j] + d]
        for k, value in enumerate(points):
            called = calls[perturbed_per_parameter * j + k]
            expected = p.copy()
            expected[j] = value
            assert same_bits(called, expected), f"call {perturbed_per_parameter * j + k}"
        values_at = [curve(calls[perturbed_per_parameter * j + k]).astype(dt) for k in range(len(points))]
        if scheme == "forward":
            column = (values_at[0] - fp) * (dt(1) / d)
        else:
            column = (values_at[1] - values_at[0]) * (dt(0.5) / d)
        np.testing.assert_array_equal(jac[:, j], column)  # NaN where the step is NaN
        assert np.isnan(d) == np.all(np.isnan(jac[:, j]))


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("scheme", ["forward", "central"])
def test_difference_kernels_approximate_the_derivative(prefix, scheme):
    dt = capi.DTYPE[prefix]
    p = np.array([1.3, -0.6, 2.1], dt)
    jac, _ = run_kernel(prefix, scheme, p, 1e-6 if prefix == "d" else 1e-3)
    exact = curve_jacobian(p.astype(np.float64))
    # forward differences err by O(step), central ones by O(step^2); float adds
    # its rounding divided by the step
    tolerance = {("d", "forward"): 1e-3, ("d", "central"): 1e-7, ("s", "forward"): 1e-2, ("s", "central"): 5e-3}
    np.testing.assert_allclose(jac, exact, atol=tolerance[prefix, scheme], rtol=tolerance[prefix, scheme])
