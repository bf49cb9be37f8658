"""Type stubs of ombrix._fit, the binding behind ombrix.fit.

The precision of every function is that of its parameter array (p0 or p):
float32 runs in single precision, anything else in double precision; all
other arrays are converted to it.  Exceptions raised by `model` or `jac`
stop the work at once and propagate unchanged.
"""

from typing import Any, Callable, Literal

import numpy as np
import numpy.typing as npt

_Model = Callable[..., npt.ArrayLike]
_Diff = Literal["forward", "central", "secant"]
_Array = npt.NDArray[np.float64] | npt.NDArray[np.float32]
_Info = tuple[float, float, float, float, float, float, float, float, float, float]

_QR = tuple[npt.NDArray[np.float64], npt.NDArray[np.int32], npt.NDArray[np.float64]]


class Solution(tuple[Any, ...]):
    """The outcome of solve() and engine_solve(), by name or by position (the 16 fields up to qr;
    refused, always None here, by name only)."""
    p: _Array  # the parameters
    f: _Array  # the model values at p
    J: _Array  # the model's Jacobian at p, unweighted
    info: _Info  # the solver's information vector
    nfev: int  # model calls
    njev: int  # Jacobian evaluations
    status: int  # the solver's return value
    r: npt.NDArray[np.float64]  # W (y - f)
    chisq: float  # r . r
    cov: npt.NDArray[np.float64]  # the unscaled covariance
    rank: int  # its rank
    free: int  # the free directions the active constraints leave
    total: float  # chi-square of the best constant model
    active_bounds: npt.NDArray[np.int8]
    active_ineq: npt.NDArray[np.bool_]
    qr: _QR | None  # with factor, the pivoted QR factorisation (fjac, ipvt, qtf) of W J
    refused: None

    def __new__(cls, sequence: tuple[Any, ...]) -> Solution: ...


class GuardedSolution(tuple[Any, ...]):
    """The outcome of solve_guarded() and engine_solve_guarded(): solve()'s 16 fields and refused, all
    17 by name or by position.  When a point was refused, p is the point of the last Jacobian, f, J
    and the statistics are None, and refused is that point."""
    p: _Array
    f: _Array | None
    J: _Array | None
    info: _Info
    nfev: int
    njev: int
    status: int
    r: npt.NDArray[np.float64] | None
    chisq: float | None
    cov: npt.NDArray[np.float64] | None
    rank: int | None
    free: int | None
    total: float | None
    active_bounds: npt.NDArray[np.int8] | None
    active_ineq: npt.NDArray[np.bool_] | None
    qr: _QR | None
    refused: _Array | None

    def __new__(cls, sequence: tuple[Any, ...]) -> GuardedSolution: ...


def solve(model: _Model, p0: npt.ArrayLike, y: npt.ArrayLike, args: tuple[Any, ...], jac: _Model | None,
          weights: npt.ArrayLike | None, lb: npt.ArrayLike | None, ub: npt.ArrayLike | None,
          A: npt.ArrayLike | None, b: npt.ArrayLike | None, C: npt.ArrayLike | None, d: npt.ArrayLike | None,
          diff: _Diff, typical: npt.ArrayLike | None, scale: object, tau: float, eps1: float, eps2: float,
          eps3: float, max_iter: int, unpack: object, polish: object, factor: object) -> Solution:
    """Fit model(p, *args), or model(*args, *p) with unpack, to the data y weighted by W (weights:
    1-D w for diag(w), 2-D L for L^-1); returns the Solution (p, f(p), J(p) unweighted, the solver's information
    vector, model calls, Jacobian evaluations, the solver's return value, W (y - f), chi-square, the
    unscaled covariance, its rank, the free directions, the chi-square of the best constant model,
    the active bounds, the active inequalities, and with factor the pivoted QR factorisation
    (fjac, ipvt, qtf) of W J).  polish takes a final Gauss-Newton correction.  A Jacobian with NaN or
    infinite entries stops the fit with stop reason 7 at the point where it was taken; a model or
    Jacobian that is not finite at p0 leaves p0 unsolved (stop reason 7, no iteration, J NaN when the
    model is not finite there)."""
    ...

def solve_guarded(model: _Model, p0: npt.ArrayLike, y: npt.ArrayLike, args: tuple[Any, ...], jac: _Model | None,
                  weights: npt.ArrayLike | None, lb: npt.ArrayLike | None, ub: npt.ArrayLike | None,
                  A: npt.ArrayLike | None, b: npt.ArrayLike | None, G: npt.ArrayLike | None,
                  h: npt.ArrayLike | None, diff: Literal["forward", "central"], typical: npt.ArrayLike | None,
                  scale: object, tau: float, eps1: float, eps2: float, eps3: float, max_iter: int, unpack: object,
                  polish: object, factor: object) -> GuardedSolution:
    """solve() under A p = b only (eliminated; None for none; as many rows as parameters, or max_iter 0,
    solve nothing and report the statistics at p0), refusing to evaluate a point the solver asks for
    that violates G p >= h beyond rounding; lb, ub only keep difference steps inside; polish false.
    Returns solve()'s fields followed by refused None, or (the last Jacobian point, None, None, info, model
    calls, Jacobian evaluations, the solver's return value, None for each statistic, the refused
    point) when a point was refused."""
    ...


def engine_solve(model: _Model, p0: npt.ArrayLike, y: npt.ArrayLike, args: tuple[Any, ...], jac: _Model | None,
                 weights: npt.ArrayLike | None, lb: None, ub: None, A: npt.ArrayLike | None,
                 b: npt.ArrayLike | None, C: None, d: None, diff: Literal["forward", "central"],
                 typical: npt.ArrayLike | None, scale: object, tau: float, eps1: float, eps2: float, eps3: float,
                 max_iter: int, unpack: object, polish: object, factor: object, engine: tuple[Any, ...]
                 ) -> Solution:
    """solve() on the trust-region engine: engine = (loss, f_scale, ftol, xtol, gtol, max_nfev,
    identity_scaling, origin, basis, z0); with a basis the engine works on z, p = origin + basis z
    from z0, and A, b are the rows the basis eliminates (for the statistics).  tau is the initial
    damping; eps1 to eps3, scale and polish are not used.  Returns a Solution; the stop reason
    adds 8 (small reduction), 9 (stalled) and 10 (evaluation limit)."""
    ...


def engine_solve_guarded(model: _Model, p0: npt.ArrayLike, y: npt.ArrayLike, args: tuple[Any, ...],
                         jac: _Model | None, weights: npt.ArrayLike | None, lb: npt.ArrayLike | None,
                         ub: npt.ArrayLike | None, A: npt.ArrayLike | None, b: npt.ArrayLike | None,
                         G: npt.ArrayLike | None, h: npt.ArrayLike | None, diff: Literal["forward", "central"],
                         typical: npt.ArrayLike | None, scale: object, tau: float, eps1: float, eps2: float,
                         eps3: float, max_iter: int, unpack: object, polish: object, factor: object,
                         engine: tuple[Any, ...]) -> GuardedSolution:
    """solve_guarded() on the engine, as engine_solve(); the point returned with a refused one is the
    engine's last accepted point."""
    ...

def engine_solve_many(model: _Model, p0: npt.ArrayLike, y: npt.ArrayLike, jac: _Model | None,
                      weights: npt.ArrayLike | None, diff: Literal["forward", "central"], tau: float, max_iter: int,
                      engine: tuple[Any, ...], single: object, workers: int) -> dict[str, np.ndarray]:
    """engine_solve() of a compiled model on each row of p0 (k x m) and y (k x n), weights None,
    shared (n) or per row (k x n), without constraints (engine's origin, basis and z0 None); in single
    precision with single.  `workers` threads share the rows without the interpreter lock.  Returns
    the arrays p, f, J, r, cov, info, chisq, total, nfev, njev, status, rank, free, the rows first."""
    ...


def engine_solve_lockstep(model: Callable[..., Any], p0: npt.ArrayLike, y: npt.ArrayLike,
                          jac: Callable[..., Any] | None, args: tuple[Any, ...], weights: npt.ArrayLike | None,
                          diff: Literal["forward", "central"], tau: float, max_iter: int, engine: tuple[Any, ...],
                          single: object, workers: int) -> dict[str, np.ndarray]:
    """engine_solve_many's fits for a vectorized Python model: model(P, *args) and jac(P, *args)
    take the points P (j x m) of the fits that ask for them, all in one call per round, and return
    (j, n) and (j, n, m); with jac None the points of the difference Jacobians are among them.  P
    and the values in float32 with single, else float64.  `workers` threads share the fits' work
    between the calls, without the interpreter lock.  Returns engine_solve_many's arrays."""
    ...


def jacobian(model: _Model, p: npt.ArrayLike, args: tuple[Any, ...], jac: _Model | None, diff: _Diff,
             typical: npt.ArrayLike | None, lb: npt.ArrayLike | None, ub: npt.ArrayLike | None,
             n: int) -> tuple[_Array, _Array, int]:
    """(f(p), J(p), model calls), J analytic or by the binding's differences."""
    ...

def check_jacobian(model: _Model, jac: _Model, p: npt.ArrayLike, args: tuple[Any, ...], n: int) -> _Array:
    """Per-output agreement of jac with forward differences (1 agrees, 0 does not)."""
    ...
