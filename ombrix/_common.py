"""What ombrix.fit, curve_fit and the active-set method share: the stop
reasons and their messages, the default tolerances, the argument checks, and
the calls of the binding ``ombrix._fit`` with the checks of what it returns.
"""

from __future__ import annotations

import enum
import math
import operator
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _fit

# ---- stop reasons and their messages ------------------------------------------


class Status(enum.IntEnum):
    """Why a fit stopped.

    ``SMALL_GRADIENT``, ``SMALL_STEP``, ``SMALL_CHISQ`` and
    ``SMALL_REDUCTION`` are convergence; the others are not
    (`FitResult.success` is False for them).
    """

    SMALL_GRADIENT = 1   #: the (scaled) gradient of chi-square vanished to rounding, or fell to `gradient_tol`
    SMALL_STEP = 2       #: the step fell to `step_tol` times the size of the parameters
    MAX_ITERATIONS = 3   #: `max_iterations` iterations were made
    SINGULAR = 4         #: the damped normal equations gave an absurdly long step
    NO_REDUCTION = 5     #: the damping grew to its limit without lowering chi-square
    SMALL_CHISQ = 6      #: chi-square fell to `chisq_tol`
    INVALID_VALUES = 7   #: the model or its Jacobian gave NaN or infinite values
    SMALL_REDUCTION = 8  #: the actual and predicted reductions of chi-square fell below `ftol`
    STALLED = 9          #: the steps became negligible while the gradient did not
    MAX_EVALUATIONS = 10  #: the limit on model evaluations was reached


MESSAGES = {
    Status.SMALL_GRADIENT: "converged: the gradient of chi-square is negligible",
    Status.SMALL_STEP: "converged: the relative step is below step_tol",
    Status.MAX_ITERATIONS: "stopped after max_iterations iterations without converging",
    Status.SINGULAR: "stopped: the normal equations are singular (the parameters are not determined by the data)",
    Status.NO_REDUCTION: "stopped: no step lowers chi-square any further; the Jacobian may be wrong",
    Status.SMALL_CHISQ: "converged: chi-square is below chisq_tol",
    Status.INVALID_VALUES: "stopped: the model returned NaN or infinite values at a trial point; "
                           "the parameters are the last ones with finite values",
    Status.SMALL_REDUCTION: "converged: the reduction of chi-square per step is negligible",
    Status.STALLED: "stopped: the steps became negligible but the gradient did not; the Jacobian may be "
                    "wrong or the model not smooth at the parameters",
    Status.MAX_EVALUATIONS: "stopped after the maximum number of model evaluations without converging",
}
# INVALID_VALUES with a Jacobian that has NaN or infinite entries
JACOBIAN_NOT_FINITE = ("stopped: the Jacobian was not finite (NaN or infinite entries); "
                       "the parameters are those where it was evaluated")
CONVERGED = frozenset({Status.SMALL_GRADIENT, Status.SMALL_STEP, Status.SMALL_CHISQ, Status.SMALL_REDUCTION})


def message(status: int, f: np.ndarray, J: np.ndarray) -> str:
    """`status` in words; for invalid values, whether the model values `f`
    or the Jacobian `J` at the returned parameters were not finite."""
    if status == Status.INVALID_VALUES and np.isfinite(f).all() and not np.isfinite(J).all():
        return JACOBIAN_NOT_FINITE
    return MESSAGES[Status(status)]


# ---- options and default tolerances -------------------------------------------

DIFFS = ("forward", "central", "secant")
LOSSES = ("linear", "soft_l1", "huber", "cauchy", "arctan")

# The relative step below which a fit on the numeric layer's own solvers has
# converged, per precision: a few hundred units of rounding in double
# precision (bench/results/defaults.md), a few units in single precision.
STEP_TOL = {np.dtype(np.float64): 1e-9, np.dtype(np.float32): 1e-6}
# The same for the rounds of the active-set method, which end without the
# final Gauss-Newton correction.
ACTIVE_SET_STEP_TOL = {np.dtype(np.float64): 1e-12, np.dtype(np.float32): 1e-6}
DAMPING = 1e-3
MAX_ITERATIONS = 1000


def choice(value: object, name: str, options: Sequence[object]) -> None:
    """ValueError unless `value` is one of `options`."""
    if value not in options:
        raise ValueError(f"{name} must be one of {', '.join(map(repr, options))}, not {value!r}")


def fit_dtype(dtype: npt.DTypeLike) -> np.dtype[Any]:
    """numpy.float64 or numpy.float32 as a dtype; ValueError for any other."""
    dtype = np.dtype(dtype)
    if dtype not in STEP_TOL:
        raise ValueError(f"dtype must be float64 or float32, not {dtype}")
    return dtype


def f_scale_value(f_scale: float) -> float:
    """A robust loss's f_scale as a float: positive and finite."""
    value = float(f_scale)
    if not 0 < value < math.inf:
        raise ValueError(f"f_scale must be positive and finite, not {f_scale!r}")
    return value


def tolerances(damping: float, gradient_tol: float, step_tol: float, chisq_tol: float,
               max_iterations: int) -> tuple[float, float, float, float, int]:
    """The binding's (damping, gradient_tol, step_tol, chisq_tol,
    max_iterations), each checked."""
    def number(value: float, name: str, low: float, low_open: bool, high: float = math.inf) -> float:
        value = float(value)
        if not (value > low if low_open else value >= low) or not value < high:
            interval = f"{'(' if low_open else '['}{low:g}, {high:g})"
            raise ValueError(f"{name} must lie in {interval}, not {value!r}")
        return value

    try:
        iterations = operator.index(max_iterations)
    except TypeError:
        raise TypeError(f"max_iterations must be an int, not {type(max_iterations).__name__}") from None
    if not 1 <= iterations <= 2**31 - 1:
        raise ValueError(f"max_iterations must be a positive int, not {iterations}")
    return (number(damping, "damping", 0.0, True), number(gradient_tol, "gradient_tol", 0.0, False),
            number(step_tol, "step_tol", 0.0, True, 1.0), number(chisq_tol, "chisq_tol", 0.0, False), iterations)


# ---- argument checks ----------------------------------------------------------

def vector(values: npt.ArrayLike, name: str) -> np.ndarray:
    """A non-empty 1-D float64 copy of finite values."""
    try:
        v = np.array(values, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name} must be an array of real numbers: {error}") from None
    if v.ndim != 1 or v.size == 0:
        raise ValueError(f"{name} must be a non-empty 1-D array, not one of shape {v.shape}")
    bad = np.flatnonzero(~np.isfinite(v))
    if bad.size:
        raise ValueError(f"{name} must be finite: {name}[{bad[0]}] is {v[bad[0]]}")
    return v


def weights(sigma: npt.ArrayLike | None, n: int) -> np.ndarray | None:
    """The binding's weights for `sigma`: 1 / sigma for standard deviations,
    the lower Cholesky factor L of a covariance matrix (weighting by L^-1)."""
    if sigma is None:
        return None
    s = np.asarray(sigma, dtype=np.float64)
    if s.shape == (n,):
        if not (np.isfinite(s).all() and (s > 0).all()):
            raise ValueError("sigma must be positive and finite")
        return 1.0 / s
    if s.shape == (n, n):
        return cholesky_factor(s, "sigma must be finite", "sigma (a covariance matrix) must be symmetric",
                               "sigma (a covariance matrix) must be positive definite")
    raise ValueError(f"sigma must have shape ({n},) or ({n}, {n}), not {s.shape}")


def cholesky_factor(covariance: np.ndarray, not_finite: str, not_symmetric: str,
                    not_positive_definite: str) -> np.ndarray:
    """The lower Cholesky factor of a covariance matrix, which must be finite,
    symmetric to rounding and positive definite (ValueError with the message
    given for each)."""
    if not np.isfinite(covariance).all():
        raise ValueError(not_finite)
    if not np.allclose(covariance, covariance.T, rtol=1e-12, atol=0.0):
        raise ValueError(not_symmetric)
    try:
        return np.linalg.cholesky(covariance)
    except np.linalg.LinAlgError:
        raise ValueError(not_positive_definite) from None


def bounds(bounds: Any, m: int) -> tuple[np.ndarray, np.ndarray] | tuple[None, None]:
    """(lb, ub) float64 arrays with +-inf for no bound, or (None, None)."""
    if bounds is None:
        return None, None
    lb, ub = _bound_pair(bounds, m)
    lb = _bound_array(lb, m, "lower", -math.inf)
    ub = _bound_array(ub, m, "upper", math.inf)
    crossed = np.flatnonzero(lb > ub)
    if crossed.size:
        j = crossed[0]
        raise ValueError(f"bounds: the lower bound of parameter {j} ({lb[j]:g}) exceeds its upper bound ({ub[j]:g})")
    if np.isposinf(lb).any() or np.isneginf(ub).any():
        raise ValueError("bounds: a lower bound of +inf or an upper bound of -inf leaves no feasible value")
    if np.isinf(lb).all() and np.isinf(ub).all():
        return None, None  # nothing bounded: the unconstrained solver
    return lb, ub


def _bound_pair(bounds: Any, m: int) -> tuple[Any, Any]:
    """(lower, upper) as given, from any of the forms `fit` accepts."""
    if isinstance(bounds, np.ndarray):
        if bounds.shape == (2, m):
            return bounds[0], bounds[1]
        if bounds.ndim == 2 and bounds.shape == (m, 2):
            return bounds[:, 0], bounds[:, 1]
        raise ValueError(f"bounds as an array must have shape (2, {m}) or ({m}, 2), not {bounds.shape}")
    if isinstance(bounds, tuple) and len(bounds) == 2:
        return bounds[0], bounds[1]
    if isinstance(bounds, (list, tuple)) and len(bounds) == m and all(
            isinstance(pair, (list, tuple, np.ndarray)) and len(pair) == 2 for pair in bounds):
        return [pair[0] for pair in bounds], [pair[1] for pair in bounds]
    if isinstance(bounds, list) and len(bounds) == 2:
        return bounds[0], bounds[1]
    raise ValueError(f"bounds must be (lb, ub) or a list of {m} (low, high) pairs")


def _bound_array(values: Any, m: int, side: str, unbounded: float) -> np.ndarray:
    if values is None:
        return np.full(m, unbounded)
    items = np.broadcast_to(np.asarray(values, dtype=object), (m,)) if np.ndim(values) == 0 else list(values)
    if len(items) != m:
        raise ValueError(f"bounds: {side} bounds must be a scalar or have {m} entries, not {len(items)}")
    out = np.array([unbounded if v is None else float(v) for v in items], dtype=np.float64)
    if np.isnan(out).any():
        raise ValueError("bounds must not be NaN (use None or inf for no bound)")
    return out


def constraints(eq: Any, ineq: Any, m: int) -> tuple[Any, Any, Any, Any]:
    """(A, b, C, d) of the equalities A p = b (independent rows, fewer than
    m) and inequalities C p >= d, float64, None where absent."""
    A, b = _linear(eq, m, "eq", "A @ p == b")
    C, d = _linear(ineq, m, "ineq", "C @ p >= d")
    if A is not None:
        k = A.shape[0]
        if k >= m:
            raise ValueError(f"eq has {k} rows for {m} parameters: it must leave at least one parameter free")
        if np.linalg.matrix_rank(A) < k:
            raise ValueError("eq: the rows of A are linearly dependent (redundant or inconsistent constraints)")
    return A, b, C, d


def _linear(pair: Any, m: int, name: str, meaning: str) -> tuple[np.ndarray, np.ndarray] | tuple[None, None]:
    """(matrix (k, m), vector (k,)) float64 of a constraint pair, or (None, None)."""
    if pair is None:
        return None, None
    if not isinstance(pair, (tuple, list)) or len(pair) != 2:
        raise TypeError(f"{name} must be a pair (matrix, vector) meaning {meaning}")
    matrix = np.array(pair[0], dtype=np.float64)
    vector = np.array(pair[1], dtype=np.float64)
    if matrix.ndim == 1:
        matrix = matrix[None, :]
    vector = np.atleast_1d(vector)
    if matrix.ndim != 2 or matrix.shape[1] != m or matrix.shape[0] == 0:
        raise ValueError(f"{name}: the matrix must have shape (k, {m}) with k >= 1, not {matrix.shape}")
    if vector.shape != (matrix.shape[0],):
        raise ValueError(f"{name}: the vector must have shape ({matrix.shape[0]},), not {vector.shape}")
    if not (np.isfinite(matrix).all() and np.isfinite(vector).all()):
        raise ValueError(f"{name} must be finite")
    return matrix, vector


# ---- the binding's calls and outcomes -----------------------------------------

# A row violated by less than SLACK * eps * (|h| + sum_j |g_j p_j|) counts as
# satisfied; the binding's guard uses the same test.
SLACK = 16.0


def engine_settings(loss: str = "linear", f_scale: float = 1.0, ftol: float = -1.0, xtol: float = -1.0,
                    gtol: float = -1.0, max_nfev: int = 0, x_scale: np.ndarray | None = None,
                    diff_step: float = 0.0) -> dict[str, Any]:
    """The trust-region engine's settings: its loss and f_scale, its
    tolerances (below 0: its defaults, which run the fit to rounding), a
    limit on model evaluations (0: none), fixed parameter scales `x_scale`
    (None: scaled by the Jacobian's column norms), and the relative step of
    difference Jacobians (0: sqrt(eps) forward, eps**(1/3) central)."""
    return dict(loss=loss, f_scale=float(f_scale), ftol=float(ftol), xtol=float(xtol), gtol=float(gtol),
                max_nfev=int(max_nfev), x_scale=x_scale, diff_step=float(diff_step))


def engine_arguments(settings: dict[str, Any], rows: np.ndarray | None, rhs: np.ndarray | None,
                     start: np.ndarray, dtype: np.dtype[Any]) -> tuple[Any, ...]:
    """The binding's `engine` tuple for a fit from `start` with the equality
    rows `rows p = rhs` (None: none) eliminated: the engine then works on z
    with p = origin + basis z from z = 0, basis a basis of the rows' null
    space (scaled by x_scale when given) and origin the start, projected onto
    the rows when it does not satisfy them.  A parameter that the rows fix
    keeps its value in origin exactly (its row of basis is zero)."""
    x_scale = settings["x_scale"]
    origin = basis = z0 = None
    if rows is not None and rows.shape[0] or x_scale is not None:
        scale = np.ones(start.shape[0]) if x_scale is None else np.asarray(x_scale, dtype=np.float64)
        origin = np.array(start, dtype=np.float64)
        if rows is None or rows.shape[0] == 0:
            basis = np.diag(scale)
        else:
            basis = _null_space_basis(rows, rhs, origin, scale, dtype)
        z0 = np.zeros(basis.shape[1])
        origin, basis, z0 = (np.ascontiguousarray(a, dtype=dtype) for a in (origin, basis, z0))
    return (settings["loss"], settings["f_scale"], settings["ftol"], settings["xtol"], settings["gtol"],
            settings["max_nfev"], x_scale is not None, origin, basis, z0, settings.get("diff_step", 0.0))


def _null_space_basis(rows: np.ndarray, rhs: Any, origin: np.ndarray, scale: np.ndarray,
                      dtype: np.dtype[Any]) -> np.ndarray:
    """A basis of the null space of `rows` (columns scaled by `scale`);
    moves `origin` onto the rows in place when it does not satisfy them,
    and onto the value of each bound among them exactly."""
    k = rows.shape[0]
    q, _ = np.linalg.qr((rows * scale).T, mode="complete")
    basis = scale[:, None] * q[:, k:]
    eps = float(np.finfo(dtype).eps)
    residual = rows @ origin - rhs
    if (np.abs(residual) > SLACK / 4 * eps * (np.abs(rows) @ np.abs(origin) + np.abs(rhs))).any():
        origin -= np.linalg.lstsq(rows, residual, rcond=None)[0]
    fixed = np.sqrt((basis * basis).sum(axis=1)) <= 64 * np.finfo(np.float64).eps * scale
    basis[fixed] = 0.0
    for row, value in zip(rows, rhs):  # a bound: the value exactly
        j = np.flatnonzero(row)
        if j.size == 1:
            basis[j[0]] = 0.0
            origin[j[0]] = value / row[j[0]]
    return basis


def solve(model: Any, start: np.ndarray, y: np.ndarray, args: tuple[Any, ...], jac: Any,
          weights: np.ndarray | None, lb: np.ndarray | None, ub: np.ndarray | None, A: np.ndarray | None,
          b: np.ndarray | None, C: np.ndarray | None, d: np.ndarray | None, diff: str, typical: np.ndarray | None,
          scale: bool, tolerances: tuple[float, float, float, float, int], dtype: np.dtype[Any],
          unpack: bool = False, polish: bool = False, factor: bool = False,
          engine: dict[str, Any] | None = None) -> _fit.Solution:
    """Runs the binding on checked float64 arguments in the precision `dtype`:
    bounds of +-inf become the largest finite value of the type (the solvers'
    mark of "unbounded").  With `engine` (settings of `engine_settings`; no
    bounds, no inequalities) the fit runs on the trust-region engine, the
    equalities eliminated through a basis of their null space.  Returns the
    binding's solution."""
    def cast(a: Any) -> Any:
        return None if a is None else np.ascontiguousarray(a, dtype=dtype)

    lb_c = ub_c = None
    if lb is not None and ub is not None:
        largest = np.finfo(dtype).max
        lb_c = cast(np.maximum(lb, -largest))
        ub_c = cast(np.minimum(ub, largest))
    # y and the weights stay float64: the binding keeps them in double precision for the statistics
    if engine is not None:
        variables = engine_arguments(engine, A, b, start, dtype)
        out = _fit.engine_solve(model, cast(start), y, args, jac, weights, None, None, cast(A), cast(b), None, None,
                                diff, cast(typical), scale, *tolerances, unpack, False, factor, variables)
    else:
        out = _fit.solve(model, cast(start), y, args, jac, weights, lb_c, ub_c, cast(A), cast(b), cast(C), cast(d),
                         diff, cast(typical), scale, *tolerances, unpack, polish, factor)
    raise_if_start_not_finite(out, start)
    return out


class StartNotFinite(ValueError):
    """The model or its Jacobian is not finite at the start: nothing was fitted."""


def raise_if_start_not_finite(out: _fit.Solution, start: np.ndarray) -> None:
    """ValueError naming the first value that is not finite, when the
    binding's outcome `out` (of solve or solve_guarded) ended at `start`
    without an iteration because the model or its Jacobian is not finite
    there: from such a start the binding solves nothing and evaluates no
    Jacobian where the model is not finite.  A fit that stops later keeps
    its last finite point and is reported by its status instead."""
    p, f, J, info = out.p, out.f, out.J, out.info
    if (f is None or int(info[6]) != Status.INVALID_VALUES or info[5] != 0
            or not np.array_equal(p, np.asarray(start, dtype=p.dtype))):
        return
    bad = np.flatnonzero(~np.isfinite(f))
    if bad.size:
        raise StartNotFinite(f"the model is not finite at the start point: element {bad[0]} is {f[bad[0]]}")
    bad = np.argwhere(~np.isfinite(J))
    if bad.size:
        i, j = bad[0]
        raise StartNotFinite(f"the Jacobian is not finite at the start point: row {i}, column {j} is {J[i, j]}")


def model_values(result: Any, n: int, unpack: bool) -> np.ndarray:
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


def weighted(weights: np.ndarray | None, v: np.ndarray) -> np.ndarray:
    """W v for the binding's weights: 1-D w (W = diag(w)), the lower Cholesky
    factor L of a covariance (W = L^-1), or None (W = I); v a vector or a
    matrix of n rows."""
    if weights is None:
        return v
    if weights.ndim == 1:
        return weights * v if v.ndim == 1 else weights[:, None] * v
    return np.linalg.solve(weights, v)
