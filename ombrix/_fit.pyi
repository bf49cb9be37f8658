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

def solve(model: _Model, p0: npt.ArrayLike, y: npt.ArrayLike, args: tuple[Any, ...], jac: _Model | None,
          weights: npt.ArrayLike | None, lb: npt.ArrayLike | None, ub: npt.ArrayLike | None,
          A: npt.ArrayLike | None, b: npt.ArrayLike | None, C: npt.ArrayLike | None, d: npt.ArrayLike | None,
          diff: _Diff, typical: npt.ArrayLike | None, scale: object, tau: float, eps1: float, eps2: float,
          eps3: float, max_iter: int) -> tuple[_Array, _Array, _Array, _Info, int, int, int]:
    """Fit; returns (p, f(p), J(p) unweighted, the solver's information vector, model calls,
    Jacobian evaluations, the solver's return value)."""
    ...

def solve_guarded(model: _Model, p0: npt.ArrayLike, y: npt.ArrayLike, args: tuple[Any, ...], jac: _Model | None,
                  weights: npt.ArrayLike | None, lb: npt.ArrayLike | None, ub: npt.ArrayLike | None,
                  A: npt.ArrayLike | None, b: npt.ArrayLike | None, G: npt.ArrayLike | None,
                  h: npt.ArrayLike | None, diff: Literal["forward", "central"], typical: npt.ArrayLike | None,
                  scale: object, tau: float, eps1: float, eps2: float, eps3: float,
                  max_iter: int) -> tuple[_Array, _Array | None, _Array | None, _Info, int, int, int, _Array | None]:
    """Fit under A p = b (eliminated; None for none), refusing to evaluate a point the solver asks for
    that violates G p >= h beyond rounding; lb, ub only keep difference steps inside.  Returns
    (p, f(p), J(p), info, model calls, Jacobian evaluations, the solver's return value, None), or
    (the last Jacobian point, None, None, info, ..., the refused point) when a point was refused."""
    ...

def jacobian(model: _Model, p: npt.ArrayLike, args: tuple[Any, ...], jac: _Model | None, diff: _Diff,
             typical: npt.ArrayLike | None, lb: npt.ArrayLike | None, ub: npt.ArrayLike | None,
             n: int) -> tuple[_Array, _Array, int]:
    """(f(p), J(p), model calls), J analytic or by the binding's differences."""
    ...

def check_jacobian(model: _Model, jac: _Model, p: npt.ArrayLike, args: tuple[Any, ...], n: int) -> _Array:
    """Per-output agreement of jac with forward differences (1 agrees, 0 does not)."""
    ...
