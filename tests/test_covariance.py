"""Covariance of the fitted parameters: pinv(J^T J) * ||e||^2 / (n - rank)."""

import numpy as np
import pytest

import capi
from capi import PRECISIONS, fn, ptr

EPS = {"d": 2.0**-52, "s": 2.0**-23}
RTOL = {"d": 1e-12, "s": 1e-5}


def covar(prefix, jtj, sumsq, n, out=None):
    """Calls ombrix_covar; returns (rank, covariance)."""
    dt = capi.DTYPE[prefix]
    jtj = np.asarray(jtj, dt)
    m = jtj.shape[0]
    if out is None:
        out = np.full((m, m), np.nan, dt)  # every entry written is visible
    rank = fn(prefix, "ombrix_covar")(ptr(jtj), ptr(out), sumsq, m, n)
    return rank, out


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize(
    "jtj,sumsq,n,rank,expected",
    [
        # full rank: diag(1/4, 1) * 2 / (4 - 2)
        (np.diag([4.0, 1.0]), 2.0, 4, 2, np.diag([0.25, 1.0])),
        # rank 1: the zero direction stays zero, scaled by 2 / (3 - 1)
        (np.diag([1.0, 0.0]), 2.0, 3, 1, np.diag([1.0, 0.0])),
        # zero matrix: rank 0, all zeros, no scaling
        (np.zeros((3, 3)), 5.0, 10, 0, np.zeros((3, 3))),
        # n equal to the rank: ||e||^2 / 0 is infinite, 0 * inf is NaN
        (np.diag([4.0, 1.0]), 2.0, 2, 2, np.array([[np.inf, np.nan], [np.nan, np.inf]])),
        (np.diag([4.0, 1.0]), 0.0, 2, 2, np.full((2, 2), np.nan)),
        # a NaN or infinite J^T J has no meaningful estimate: rank 0, all zeros
        # (LAPACK need not sort the NaN singular value first)
        ([[np.nan, 0.0], [0.0, 1.0]], 2.0, 5, 0, np.zeros((2, 2))),
        ([[1.0, 0.0], [0.0, np.nan]], 2.0, 5, 0, np.zeros((2, 2))),
        ([[np.inf, 1.0], [1.0, 1.0]], 2.0, 5, 0, np.zeros((2, 2))),
    ],
)
def test_covariance_cases(prefix, jtj, sumsq, n, rank, expected):
    jtj = np.asarray(jtj, capi.DTYPE[prefix])
    jtj_before = jtj.copy()
    got_rank, covariance = covar(prefix, jtj, sumsq, n)
    assert got_rank == rank
    np.testing.assert_allclose(covariance, expected, rtol=RTOL[prefix], atol=0)
    assert jtj.tobytes() == jtj_before.tobytes()


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("factor,rank", [(1.0, 1), (2.0, 2), (0.5, 1)])
def test_singular_value_at_the_threshold_is_not_counted(prefix, factor, rank):
    # the threshold is eps * s[0] = eps: a singular value equal to it is dropped
    small = factor * EPS[prefix]
    got_rank, covariance = covar(prefix, np.diag([1.0, small]), 3.0, 4)
    assert got_rank == rank
    assert covariance[0, 0] == pytest.approx(3.0 / (4 - rank), rel=RTOL[prefix])
    assert covariance[1, 1] == (0.0 if rank == 1 else pytest.approx(3.0 / (4 - rank) / small, rel=RTOL[prefix]))


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_general_matrices_against_the_pseudoinverse(prefix):
    rng = np.random.default_rng(3)
    jac = rng.standard_normal((12, 4))
    full = jac.T @ jac
    deficient_jac = jac.copy()
    deficient_jac[:, 3] = deficient_jac[:, 0] - deficient_jac[:, 1]  # rank 3
    deficient = deficient_jac.T @ deficient_jac
    dt = capi.DTYPE[prefix]
    for jtj, rank in ((full, 4), (deficient, 3)):
        jtj = jtj.astype(dt)
        got_rank, covariance = covar(prefix, jtj, 7.0, 12)
        assert got_rank == rank
        expected = np.linalg.pinv(jtj.astype(np.float64), rcond=1e-4) * 7.0 / (12 - rank)
        np.testing.assert_allclose(covariance, expected, rtol=0, atol={"d": 1e-12, "s": 1e-4}[prefix])


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_jtj_may_be_the_covariance_array(prefix):
    dt = capi.DTYPE[prefix]
    rng = np.random.default_rng(4)
    jac = rng.standard_normal((9, 3))
    jtj = (jac.T @ jac).astype(dt)
    rank, separate = covar(prefix, jtj, 2.5, 9)
    shared = jtj.copy()
    assert fn(prefix, "ombrix_covar")(ptr(shared), ptr(shared), 2.5, 3, 9) == rank == 3
    assert shared.tobytes() == separate.tobytes()


@pytest.mark.parametrize("prefix", PRECISIONS)
@pytest.mark.parametrize("m", [0, -1])
def test_empty_matrix_returns_zero_silently(prefix, m, capfd):
    dt = capi.DTYPE[prefix]
    jtj = np.ones(1, dt)
    out = np.full(1, 5.0, dt)
    assert fn(prefix, "ombrix_covar")(ptr(jtj), ptr(out), 1.0, m, 3) == 0
    assert out[0] == 5.0
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("prefix", PRECISIONS)
def test_scratch_too_large_reports_and_leaves_covariance(prefix, capfd):
    # 3 m^2 reals cannot be allocated: the routine says so and returns 0 without
    # touching (or reading) anything; the process goes on
    dt = capi.DTYPE[prefix]
    jtj = np.ones(1, dt)
    out = np.full(1, 5.0, dt)
    assert fn(prefix, "ombrix_covar")(ptr(jtj), ptr(out), 1.0, 400_000_000, 3) == 0
    assert out[0] == 5.0
    assert capfd.readouterr().err == f"memory allocation in {prefix}ombrix_pseudoinverse() failed!\n"
