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

def solve(model: _Model, p0: npt.ArrayLike, y: npt.ArrayLike, args: tuple[Any, ...], jac: _Model | None,
          weights: npt.ArrayLike | None, lb: npt.ArrayLike | None, ub: npt.ArrayLike | None,
          A: npt.ArrayLike | None, b: npt.ArrayLike | None, C: npt.ArrayLike | None, d: npt.ArrayLike | None,
          diff: _Diff, typical: npt.ArrayLike | None, scale: object, tau: float, eps1: float, eps2: float,
          eps3: float, max_iter: int, unpack: object, polish: object, factor: object
          ) -> tuple[_Array, _Array, _Array, _Info, int, int, int, npt.NDArray[np.float64], float,
                     npt.NDArray[np.float64], int, int, float, npt.NDArray[np.int8], npt.NDArray[np.bool_],
                     _QR | None]:
    """Fit model(p, *args), or model(*args, *p) with unpack, to the data y weighted by W (weights:
    1-D w for diag(w), 2-D L for L^-1); returns (p, f(p), J(p) unweighted, the solver's information
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
                  polish: object, factor: object) -> tuple[Any, ...]:
    """solve() under A p = b only (eliminated; None for none; as many rows as parameters, or max_iter 0,
    solve nothing and report the statistics at p0), refusing to evaluate a point the solver asks for
    that violates G p >= h beyond rounding; lb, ub only keep difference steps inside; polish false.
    Returns solve()'s tuple followed by None, or (the last Jacobian point, None, None, info, model
    calls, Jacobian evaluations, the solver's return value, None for each statistic, the refused
    point) when a point was refused."""
    ...


def engine_solve(model: _Model, p0: npt.ArrayLike, y: npt.ArrayLike, args: tuple[Any, ...], jac: _Model | None,
                 weights: npt.ArrayLike | None, lb: None, ub: None, A: npt.ArrayLike | None,
                 b: npt.ArrayLike | None, C: None, d: None, diff: Literal["forward", "central"],
                 typical: npt.ArrayLike | None, scale: object, tau: float, eps1: float, eps2: float, eps3: float,
                 max_iter: int, unpack: object, polish: object, factor: object, engine: tuple[Any, ...]
                 ) -> tuple[Any, ...]:
    """solve() on the trust-region engine: engine = (loss, f_scale, ftol, xtol, gtol, max_nfev,
    identity_scaling, origin, basis, z0); with a basis the engine works on z, p = origin + basis z
    from z0, and A, b are the rows the basis eliminates (for the statistics).  tau is the initial
    damping; eps1 to eps3, scale and polish are not used.  Returns solve()'s tuple; the stop reason
    adds 8 (small reduction), 9 (stalled) and 10 (evaluation limit)."""
    ...


def engine_solve_guarded(model: _Model, p0: npt.ArrayLike, y: npt.ArrayLike, args: tuple[Any, ...],
                         jac: _Model | None, weights: npt.ArrayLike | None, lb: npt.ArrayLike | None,
                         ub: npt.ArrayLike | None, A: npt.ArrayLike | None, b: npt.ArrayLike | None,
                         G: npt.ArrayLike | None, h: npt.ArrayLike | None, diff: Literal["forward", "central"],
                         typical: npt.ArrayLike | None, scale: object, tau: float, eps1: float, eps2: float,
                         eps3: float, max_iter: int, unpack: object, polish: object, factor: object,
                         engine: tuple[Any, ...]) -> tuple[Any, ...]:
    """solve_guarded() on the engine, as engine_solve(); the point returned with a refused one is the
    engine's last accepted point."""
    ...

def jacobian(model: _Model, p: npt.ArrayLike, args: tuple[Any, ...], jac: _Model | None, diff: _Diff,
             typical: npt.ArrayLike | None, lb: npt.ArrayLike | None, ub: npt.ArrayLike | None,
             n: int) -> tuple[_Array, _Array, int]:
    """(f(p), J(p), model calls), J analytic or by the binding's differences."""
    ...

def check_jacobian(model: _Model, jac: _Model, p: npt.ArrayLike, args: tuple[Any, ...], n: int) -> _Array:
    """Per-output agreement of jac with forward differences (1 agrees, 0 does not)."""
    ...
