"""Type stubs of ombrix._ombrix, the low-level fitting functions.

Each function fits ``func(p, *args)`` to the measurements ``x`` and returns
``(p, pcov, info)`` with info = (initial ||e||^2, (final ||e||^2,
||J^T e||_inf, ||dp||^2, mu / max(diag J^T J)), iterations, stop message,
model calls, Jacobian calls, linear solves).  Every argument is required.
"""

from typing import Any, Callable, Sequence

import numpy as np
import numpy.typing as npt

_Model = Callable[..., npt.NDArray[np.float64]]
_Vector = npt.ArrayLike
_Info = tuple[float, tuple[float, float, float, float], int, str, int, int, int]
_Result = tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], _Info]
_Bounds = Sequence[tuple[float | None, float | None]]
_LinearPair = tuple[npt.ArrayLike, npt.ArrayLike] | list[Any]

_LM_STOP_REASONS: dict[int, str]
_LM_STOP_REASONS_WARNED: tuple[int, ...]

class _LMFunc:
    def __init__(self, func: _Model, args: tuple[Any, ...], jacf: _Model | None) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

def ombrix(func: _Model, p: _Vector, x: _Vector, args: tuple[Any, ...], jacf: _Model | None, mu: float,
           eps1: float, eps2: float, eps3: float, maxit: int, cdiff: object) -> _Result: ...
def ombrix_bc(func: _Model, p: _Vector, x: _Vector, bc: _Bounds, args: tuple[Any, ...], jacf: _Model | None,
              mu: float, eps1: float, eps2: float, eps3: float, maxit: int, cdiff: object) -> _Result: ...
def ombrix_lec(func: _Model, p: _Vector, x: _Vector, lec: _LinearPair, args: tuple[Any, ...],
               jacf: _Model | None, mu: float, eps1: float, eps2: float, eps3: float, maxit: int,
               cdiff: object) -> _Result: ...
def ombrix_blec(func: _Model, p: _Vector, x: _Vector, bc: _Bounds, lec: _LinearPair, args: tuple[Any, ...],
                jacf: _Model | None, mu: float, eps1: float, eps2: float, eps3: float, maxit: int,
                cdiff: object) -> _Result: ...
def ombrix_bleic(func: _Model, p: _Vector, x: _Vector, bc: _Bounds, lec: _LinearPair, lic: _LinearPair,
                 args: tuple[Any, ...], jacf: _Model | None, mu: float, eps1: float, eps2: float, eps3: float,
                 maxit: int, cdiff: object) -> _Result: ...
def ombrix_blic(func: _Model, p: _Vector, x: _Vector, bc: _Bounds, lic: _LinearPair, args: tuple[Any, ...],
                jacf: _Model | None, mu: float, eps1: float, eps2: float, eps3: float, maxit: int,
                cdiff: object) -> _Result: ...
def ombrix_leic(func: _Model, p: _Vector, x: _Vector, lec: _LinearPair, lic: _LinearPair, args: tuple[Any, ...],
                jacf: _Model | None, mu: float, eps1: float, eps2: float, eps3: float, maxit: int,
                cdiff: object) -> _Result: ...
def ombrix_lic(func: _Model, p: _Vector, x: _Vector, lic: _LinearPair, args: tuple[Any, ...],
               jacf: _Model | None, mu: float, eps1: float, eps2: float, eps3: float, maxit: int,
               cdiff: object) -> _Result: ...
def __pyx_unpickle__LMFunc(__pyx_type: type, __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None) -> _LMFunc: ...
