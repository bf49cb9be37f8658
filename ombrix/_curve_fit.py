"""ombrix.curve_fit: scipy.optimize.curve_fit's interface on ombrix's solvers.

The arguments are checked as SciPy checks them (same exceptions, same
messages where callers match on them), then the engine (with the active-set
method for bounds and inequalities) runs the fit with the model called as
``f(xdata, *params)`` and returns the parameters with the covariance and
chi-square computed in C; what ``full_output`` adds is computed only when it
is asked for.
"""

from __future__ import annotations

import inspect
import math
import operator
import sys
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt

from . import _active_set, _common, _fit
from ._common import CONVERGED, MESSAGES, Status

__all__ = ["curve_fit"]

_UNBOUNDED = (-math.inf, math.inf)
_METHODS = ("lm", "trf", "dogbox")
# ier in the numbering of SciPy's leastsq for the same kind of convergence:
# 1 a sum-of-squares test, 2 a step test, 4 a gradient test.
_IER = {int(Status.SMALL_GRADIENT): 4, int(Status.SMALL_STEP): 2, int(Status.SMALL_CHISQ): 1,
        int(Status.SMALL_REDUCTION): 1}
_DIFFS = {None: "forward", "2-point": "forward", "3-point": "central"}
_COVARIANCE_WARNING = "Covariance of the parameters could not be estimated"

# SciPy's solver options that the engine takes (see _engine_options).
_ENGINE_OPTIONS = frozenset(["ftol", "xtol", "gtol", "x_scale", "diag", "maxfev", "max_nfev", "loss", "f_scale",
                             "verbose", "tr_solver", "tr_options", "jac_sparsity", "diff_step", "epsfcn",
                             "factor"])
# ombrix.fit's controls, accepted as keywords.
_OWN = frozenset(["damping", "gradient_tol", "step_tol", "chisq_tol", "max_iterations", "scale", "diff", "dtype"])

#: ``f(xdata, *params)`` or ``jac(xdata, *params)``.
CurveModel: TypeAlias = Callable[..., npt.ArrayLike]
JacOption: TypeAlias = "CurveModel | Literal['2-point', '3-point', 'cs'] | None"
CurveFitOutput: TypeAlias = (
    "tuple[npt.NDArray[np.floating[Any]], npt.NDArray[np.floating[Any]]]"
    " | tuple[npt.NDArray[np.floating[Any]], npt.NDArray[np.floating[Any]], dict[str, Any], str, int]")


class OptimizeWarning(UserWarning):
    """Warning of `curve_fit` (the covariance could not be estimated) when
    SciPy is not installed; with SciPy, ``ombrix.OptimizeWarning`` is
    ``scipy.optimize.OptimizeWarning`` itself."""


OptimizeWarning.__module__ = "ombrix"


def optimize_warning() -> type[Warning]:
    """scipy.optimize.OptimizeWarning when SciPy can be imported, else ours."""
    module = sys.modules.get("scipy.optimize")
    if module is None:
        try:
            import scipy.optimize as module
        except ImportError:
            return OptimizeWarning
    return module.OptimizeWarning


def curve_fit(f: CurveModel, xdata: Any, ydata: npt.ArrayLike, p0: npt.ArrayLike | None = None,
              sigma: npt.ArrayLike | None = None, absolute_sigma: bool = False, check_finite: bool | None = None,
              bounds: Any = _UNBOUNDED, method: Literal["lm", "trf", "dogbox"] | None = None,
              jac: JacOption = None, *, full_output: bool = False,
              nan_policy: Literal["raise", "omit"] | None = None, eq: Any = None, ineq: Any = None,
              **kwargs: Any) -> Any:
    """Fit ``f(xdata, *params)`` to `ydata` by nonlinear least squares: a
    drop-in for ``scipy.optimize.curve_fit``, with linear equality and
    inequality constraints besides bounds.

    Parameters
    ----------
    f : callable
        The model, ``f(xdata, *params)``, returning `ydata`.size values
        (any shape holding that many, read in C order) or a single value
        that stands for all of them.  Each parameter is a NumPy scalar
        (``numpy.float64``, or ``numpy.float32`` with ``dtype=numpy.float32``).
    xdata : object
        The independent variable, passed to `f` unchanged, except that a
        list, tuple or array is converted to a float array (checked for
        NaN and infinity with `check_finite`).
    ydata : array_like
        The data, converted to float; any shape, flattened.  A single value
        stands for as many as `f` returns (one call of `f` at `p0` counts
        them), as in SciPy.
    p0 : array_like, optional
        Starting parameters.  Default: ones, as many as `f` has positional
        parameters after the first (or, with bounds, the midpoint of a
        finite interval, one inside a half-open one).
    sigma : None, scalar, array_like of shape (N,) or (N, N), optional
        Uncertainty of `ydata`: standard deviations (scaled residuals
        ``(ydata - f) / sigma``), or a covariance matrix (residuals
        weighted by the inverse of its Cholesky factor).
    absolute_sigma : bool, optional
        If True, `sigma` is absolute and `pcov` is not scaled by the reduced
        chi-square.
    check_finite : bool, optional
        Refuse NaN and infinity in `xdata` and `ydata` (ValueError).
        Default True, or False when `nan_policy` is given.
    bounds : 2-tuple of array_like or scipy.optimize.Bounds, optional
        Lower and upper bounds, scalars or one per parameter; ±inf for none.
        A lower bound equal to the upper one holds that parameter fixed.
    method : {None, 'lm', 'trf', 'dogbox'}, optional
        Every method runs ombrix's trust-region engine (the active-set
        method on top of it for bounds and inequalities).  'lm' with bounds
        raises ValueError, as in SciPy.
    jac : callable, '2-point', '3-point', 'cs' or None, optional
        ``jac(xdata, *params)`` returning the (N, M) Jacobian of `f` (for one
        parameter, N values will do); or differences: None and '2-point'
        forward, '3-point' central; or 'cs', complex steps (`f` evaluated
        at complex parameters: exact to rounding, M calls per Jacobian).
    full_output : bool, optional
        Also return `infodict`, `mesg` and `ier`.
    nan_policy : {None, 'raise', 'omit'}, optional
        With ``check_finite=False``: 'raise' refuses NaN in the data,
        'omit' drops the points where `xdata` or `ydata` is NaN.
    eq : tuple (A, b), optional
        Linear equality constraints ``A @ params == b`` (A of shape (K, M)
        with independent rows, K < M).
    ineq : tuple (C, d), optional
        Linear inequality constraints ``C @ params >= d``.
    **kwargs
        SciPy's solver options, run by the engine: `ftol`, `xtol`, `gtol`
        (its stopping tolerances; default: rounding level), `x_scale`
        ('jac', the default: scaled by the Jacobian's column norms; or
        positive scales, one or one per parameter), `diag` (MINPACK's
        factors, ``x_scale = 1 / diag``), `maxfev` / `max_nfev` (a limit
        on the model evaluations, those of difference Jacobians included,
        checked before each step), `loss` ('linear', 'soft_l1', 'huber',
        'cauchy', 'arctan') with `f_scale`, `verbose` (1: a summary on
        stdout at the end; 2: also one line per model evaluation),
        `col_deriv` (a `jac` that returns the transposed Jacobian),
        ``tr_solver='exact'``, `diff_step` (one relative step of the
        difference Jacobians for every parameter: the step is diff_step
        times ``max(abs(p), abs(p0))``, with 1 for a p0 of 0; MINPACK's
        `epsfcn` gives a relative step of sqrt(epsfcn); the default is
        sqrt(eps) forward, eps**(1/3) central).  Refused with ValueError: a
        `diff_step` per parameter, `factor` (other than MINPACK's 100), `jac_sparsity`,
        `tr_options`, ``tr_solver='lsmr'``.  ombrix.fit's controls:
        `damping` (the engine's initial damping), `max_iterations`, `dtype`
        (numpy.float64 or numpy.float32), `diff` ('forward', 'central', or
        'secant' without `jac`), and `step_tol`, `gradient_tol`,
        `chisq_tol`, `scale`: 'secant', `gradient_tol` and `chisq_tol`
        run the numeric layer's own solvers, which take none of SciPy's
        options above but `col_deriv` and `verbose`.  `workers` (a map-like
        callable) is accepted; the model is evaluated one point at a time.
        `callback` is refused with ValueError (the engine reports no
        iterations to Python).

    Returns
    -------
    popt : ndarray, shape (M,)
        The fitted parameters.
    pcov : ndarray, shape (M, M)
        Their covariance: the pseudo-inverse of ``J^T J`` at `popt` from an
        SVD of the weighted Jacobian with unit-norm columns, restricted to
        the directions that the equalities, the active bounds and the
        active inequalities leave free, times the reduced chi-square unless
        `absolute_sigma`.  Filled with inf, with an OptimizeWarning, when it
        cannot be estimated (no degrees of freedom, or a Jacobian that is
        not finite); inf, with the same warning, in the rows and columns of
        the parameters that the data do not determine (a rank-deficient
        Jacobian: a model that depends on two of them only through their
        product, say).
    infodict : dict
        With `full_output`: ``fvec`` (the weighted residuals ``(f - ydata) /
        sigma`` at `popt`), ``nfev`` (model calls, difference Jacobians
        included), ``njev`` (calls of a callable `jac`), ``fjac``, ``ipvt``
        and ``qtf`` (the QR factorisation with column pivoting of the
        weighted Jacobian at `popt`: ``fjac.T[:M]`` holds R on and above
        its diagonal, ``ipvt`` the 0-based column order, ``qtf`` the first
        M entries of ``Q.T @ fvec``), and ombrix's own ``iterations``,
        ``status`` (a `Status`), ``rank`` (of the weighted Jacobian on the
        free directions) and ``active_bounds`` (-1, 0, +1 per parameter).
    mesg : str
        Why the fit stopped.
    ier : int
        1, 2 or 4, in the numbering of SciPy's 'lm' for the kind of test
        that ended the fit: 1 a small reduction of chi-square (or chi-square
        below ``chisq_tol``), 2 a small step, 4 a small gradient.

    Raises
    ------
    ValueError, TypeError
        For bad input, as SciPy raises them: NaN or infinity with
        `check_finite` ("array must not contain infs or NaNs"), an empty
        `ydata` ("`ydata` must not be empty!"), more parameters than data
        points (TypeError "The number of func parameters=M must not exceed
        the number of data points=N"), `p0` outside the bounds ("Initial
        guess is outside of provided bounds"), crossed bounds ("Each lower
        bound must be strictly less than each upper bound."), bounds of the
        wrong length ("Inconsistent shapes between bounds and `x0`."),
        'lm' with bounds, a bad `sigma` ("`sigma` has incorrect shape.",
        "`sigma` must be positive definite."), a bad `nan_policy` or
        `method`, ``args=``, and no `p0` for a model whose parameters
        cannot be counted ("Unable to determine number of fit
        parameters.").  A complex `p0` (TypeError; ValueError "`x0` must
        be real." with bounds or 'trf'), and a `jac` that returns another
        shape than (N, M) (TypeError).  ValueError also when `f`, or `jac`, is not finite at
        the start point, naming the first value that is not ("the model is
        not finite at the start point: element 3 is nan"); nothing is
        iterated.  `ydata` with NaN or infinity read with
        ``check_finite=False``: with bounds or inequalities ValueError
        ("Residuals are not finite in the initial point."); without, as
        SciPy's 'lm', `p0` comes back with an infinite `pcov` and an
        OptimizeWarning that says nothing was fitted.
    RuntimeError
        "Optimal parameters not found: ..." when the fit does not converge
        (iteration limit, a singular or non-finite problem, no reduction);
        an exhausted `maxfev` in SciPy's words: "Number of calls to
        function has reached maxfev = N." ("The maximum number of function
        evaluations is exceeded." with bounds or inequalities).
    Exception
        Any exception raised by `f` or `jac` stops the fit and propagates
        unchanged.

    Notes
    -----
    Differences from SciPy's curve_fit that remain, each because ombrix
    does the thing differently on purpose:

    - One engine for every method (a trust-region Levenberg-Marquardt,
      see `ombrix.fit`), with bounds and inequalities held exactly by an
      active-set method, so `f` is never evaluated outside them at a point
      the solver tries.  Its default tolerances run the fit to rounding
      (SciPy's are 1e-8), and forward differences give way to central ones
      near the solution: the last digits do not depend on the differences'
      error.  The default limit is 1000 iterations and no limit on
      evaluations (SciPy's: 100 (M + 1) or 200 (M + 1) calls).
    - `pcov` comes from an SVD of the weighted Jacobian at `popt`, on the
      directions that active bounds, equalities and active inequalities
      leave free: a parameter held at a bound has variance 0 and does not
      count in the degrees of freedom (SciPy ignores the bounds), and a
      parameter the data do not determine gets inf, with an
      OptimizeWarning, instead of a pseudo-inverse entry that only looks
      finite.  With differences it costs M more calls (2 M with
      '3-point'), made past `maxfev`.  Under a robust `loss` it is the
      Gauss-Newton covariance of the loss-rescaled problem (see
      `ombrix.fit`).
    - Input that SciPy takes and goes on with wrongly is refused: a zero or
      non-finite `sigma`, a covariance `sigma` that is not symmetric, more
      parameters than data points with bounds (TypeError above).  Input
      that SciPy refuses but has a clear meaning is taken: `ydata` of any
      shape (flattened), ``lb == ub`` (the parameter is fixed), a scalar
      `sigma` with a Jacobian function, '2-point' and '3-point' without
      bounds.
    - NaN or infinite model values at a trial point shorten the step, as in
      SciPy's 'trf'; RuntimeError only when no finite step is left.
    - ``ier`` is 1, 2 or 4 and `mesg` is ombrix's message; `infodict` has
      the keys of SciPy's 'lm' path without bounds and inequalities, those
      of its bounded path with them, plus ombrix's own.
    - `callback` is refused and `workers` does not parallelise: the engine
      runs in C and calls the model one point at a time.

    The defaults of the numeric layer's own solvers (``diff='secant'``,
    `gradient_tol`, `chisq_tol`) are explained in
    ``bench/results/defaults.md``.
    """
    p0, lb, ub = _start_and_bounds(f, p0, bounds, method)
    m = p0.size
    xdata, ydata, sigma = _data(xdata, ydata, sigma, check_finite, nan_policy)
    if ydata.size == 1:
        ydata = _broadcast_data(f, xdata, ydata, p0)
    n = ydata.size
    weights = None if sigma is None else _scipy_weights(sigma, n)
    if "args" in kwargs:
        raise ValueError("'args' is not a supported keyword argument.")
    if method is not None and method not in _METHODS:
        raise ValueError("`method` must be 'trf', 'dogbox' or 'lm'.")
    fit = _options(kwargs, jac, m)
    if fit.jac == "cs":
        fit.jac = _complex_step(f, fit.dtype)
    elif callable(fit.jac):
        fit.jac = _shape_checked(fit.jac, n, m)
    if lb is not None and ub is not None:
        _check_start(p0, lb, ub)
    A, b, C, d = _common.constraints(eq, ineq, m)
    k = 0 if A is None else A.shape[0]
    if n < m - k:
        raise TypeError(f"The number of func parameters={m} must not exceed the number of data points={n}")
    bounded = lb is not None or C is not None
    if not np.isfinite(ydata).all():
        return _not_fitted(f, xdata, ydata, p0, weights, bounded or A is not None, full_output)
    solution = _solve(fit, f, xdata, ydata, p0, weights, lb, ub, A, b, C, d, full_output)
    return _summary(fit, solution, n, bounded, absolute_sigma, full_output)


@dataclass
class _Fit:
    """How curve_fit runs: its Jacobian and the solver's settings."""

    jac: Any  # a callable, 'cs' (made a callable once the model is known) or None for differences
    diff: str
    dtype: np.dtype[Any]
    tolerances: tuple[float, float, float, float, int]
    scale: bool
    engine: dict[str, Any] | None  # None: the numeric layer's own solvers
    verbose: int
    step_tol_given: bool
    max_nfev: int  # the limit on evaluations as given (maxfev or max_nfev), 0 for none


def _start_and_bounds(f: Callable[..., Any], p0: Any, bounds: Any,
                      method: str | None) -> tuple[np.ndarray, np.ndarray | None, np.ndarray | None]:
    """p0 as an array (SciPy's default when None) and the bounds (None, None
    when nothing is bounded)."""
    if p0 is None:
        m = _parameter_count(f)
    else:
        p0 = np.atleast_1d(p0)
        m = p0.size
    lb = ub = None
    if bounds is not _UNBOUNDED:
        lb, ub = _scipy_bounds(bounds, m)
        if not np.any((lb > -np.inf) | (ub < np.inf)):
            lb = ub = None
    if p0 is not None and p0.dtype.kind == "c":
        # as SciPy: its 'lm' path cannot cast p0 to float, its 'trf' path refuses it
        if lb is None and method in (None, "lm"):
            raise TypeError("p0 must be real: complex parameters cannot be fitted")
        raise ValueError("`x0` must be real.")
    if p0 is None:
        p0 = np.ones(m) if lb is None or ub is None else _initialize_feasible(lb, ub)
    if method == "lm" and lb is not None:
        raise ValueError("Method 'lm' only works for unconstrained problems. Use 'trf' or 'dogbox' instead.")
    return p0, lb, ub


def _data(xdata: Any, ydata: Any, sigma: Any, check_finite: bool | None,
          nan_policy: str | None) -> tuple[Any, np.ndarray, Any]:
    """xdata, ydata and sigma as SciPy reads them: float arrays, checked for
    NaN and infinity or with the points of NaN dropped as asked."""
    if check_finite is None:
        check_finite = nan_policy is None
    ydata = _finite_array(ydata) if check_finite else np.asarray(ydata, float)
    if isinstance(xdata, (list, tuple, np.ndarray)):
        xdata = _finite_array(xdata) if check_finite else np.asarray(xdata, float)
    if ydata.size == 0:
        raise ValueError("`ydata` must not be empty!")
    if not check_finite and nan_policy is not None:
        xdata, ydata, sigma = _omit_nan(xdata, ydata, sigma, nan_policy)
    return xdata, ydata, sigma


def _broadcast_data(f: Callable[..., Any], xdata: Any, ydata: np.ndarray, p0: np.ndarray) -> np.ndarray:
    """A single data value stands for as many as the model returns (SciPy
    subtracts it from every model value): one model call at p0 tells how
    many."""
    count = np.size(f(xdata, *p0.astype(np.float64).ravel()))
    return np.full(count, float(ydata.ravel()[0]))


def _shape_checked(jac: Callable[..., Any], n: int, m: int) -> Callable[..., Any]:
    """jac, raising TypeError (as SciPy does) when it returns another shape
    than (n, m); for one parameter, n values will do."""
    def checked_jac(xdata: Any, *params: Any) -> Any:
        J = np.asarray(jac(xdata, *params))
        if J.shape != (n, m) and not (m == 1 and J.size == n):
            raise TypeError(f"jac returned an array of shape {J.shape}, expected {(n, m)}")
        return J
    return checked_jac


def _solve(fit: _Fit, f: Callable[..., Any], xdata: Any, ydata: np.ndarray, p0: np.ndarray,
           weights: np.ndarray | None, lb: Any, ub: Any, A: Any, b: Any, C: Any, d: Any,
           full_output: bool) -> _fit.Solution:
    """The binding's solution (`_fit.Solution`): bounds and inequalities by the
    active-set method of ombrix.fit, held exactly, the rest by one solve."""
    start = p0.ravel() if p0.dtype == np.float64 else p0.astype(np.float64).ravel()
    model = _traced(f, ydata.ravel(), weights) if fit.verbose == 2 else f
    typical = np.where(start != 0, np.abs(start), 1.0)
    tolerances = fit.tolerances
    if (lb is not None or C is not None) and fit.diff != "secant":
        # the rounds end without the final correction, so they stop at
        # ombrix.fit's step tolerance unless one was asked for
        if not fit.step_tol_given and fit.engine is None:
            tolerances = tolerances[:2] + (_common.ACTIVE_SET_STEP_TOL[fit.dtype],) + tolerances[3:]
        return _active_set.solve(model, start, ydata.ravel(), (xdata,), fit.jac, weights, lb, ub, A, b, C, d,
                                 fit.diff, typical, fit.scale, tolerances, fit.dtype, unpack=True, engine=fit.engine)
    return _common.solve(model, start, ydata.ravel(), (xdata,), fit.jac, weights, lb, ub, A, b, C, d, fit.diff,
                         typical, fit.scale, tolerances, fit.dtype, unpack=True, polish=fit.engine is None,
                         factor=full_output, engine=fit.engine)


def _summary(fit: _Fit, solution: _fit.Solution, n: int, bounded: bool, absolute_sigma: bool,
             full_output: bool) -> Any:
    """(popt, pcov) or, with full_output, (popt, pcov, infodict, mesg, ier)
    of the binding's solution; RuntimeError when the fit did not converge."""
    popt, f, J, info, nfev, njev = solution.p, solution.f, solution.J, solution.info, solution.nfev, solution.njev
    r_w, chisq, pcov, rank, free = solution.r, solution.chisq, solution.cov, solution.rank, solution.free
    active_bounds, factored = solution.active_bounds, solution.qr
    status = int(info[6])
    if fit.verbose:
        print(f"{_common.message(status, f, J)}\nFunction evaluations {int(nfev)}, initial cost "
              f"{info[0] / 2:.4e}, final cost {chisq / 2:.4e}, first-order optimality {info[2]:.2e}.")
    if status not in CONVERGED:
        raise RuntimeError("Optimal parameters not found: " + _failure(status, f, J, fit.max_nfev, bounded))
    pcov = _scaled_covariance(pcov, n - free, chisq, absolute_sigma)
    if fit.dtype != np.float64:
        pcov = pcov.astype(fit.dtype)
    if not full_output:
        return popt, pcov
    infodict = {"fvec": -r_w, "nfev": int(nfev)}
    if callable(fit.jac):
        infodict["njev"] = int(njev)
    if factored is not None:  # the factorisation of the unconstrained path, as SciPy's 'lm' gives it
        infodict.update(zip(("fjac", "ipvt", "qtf"), factored))
    infodict.update(iterations=int(info[5]), status=Status(status), rank=rank, active_bounds=active_bounds)
    return popt, pcov, infodict, MESSAGES[Status(status)], _IER[status]


def _failure(status: int, f: np.ndarray, J: np.ndarray, max_nfev: int, bounded: bool) -> str:
    """Why a fit did not converge; an exhausted evaluation budget in SciPy's
    words (those of 'lm' without bounds, of 'trf' with them)."""
    if status == Status.MAX_EVALUATIONS:
        if bounded:
            return "The maximum number of function evaluations is exceeded."
        return f"Number of calls to function has reached maxfev = {max_nfev}."
    return _common.message(status, f, J)


def _scaled_covariance(pcov: np.ndarray, dof: int, chisq: float, absolute_sigma: bool) -> np.ndarray:
    """pcov scaled by chisq / dof unless absolute_sigma, all inf when it
    cannot be estimated, with an OptimizeWarning when any entry is inf
    (inf entries: parameters the data do not determine; NaN: no estimate)."""
    determined = _all_finite(pcov)
    estimated = determined or not np.isnan(pcov).any()
    if not estimated:
        pcov.fill(math.inf)
    elif not absolute_sigma:
        if dof > 0:
            np.multiply(pcov, chisq / dof, out=pcov, where=determined or ~np.isinf(pcov))
        else:
            pcov.fill(math.inf)
            estimated = False
    if not (estimated and determined):
        warnings.warn(_COVARIANCE_WARNING, category=optimize_warning(), stacklevel=4)
    return pcov


def _not_fitted(f: Callable[..., Any], xdata: Any, ydata: np.ndarray, p0: np.ndarray, weights: np.ndarray | None,
                constrained: bool, full_output: bool) -> Any:
    """SciPy's outcome for data with NaN or infinity read without
    check_finite: with bounds (or linear constraints, which p0 may not
    satisfy) ValueError; without, p0 unchanged and an infinite covariance,
    with an OptimizeWarning that says nothing was fitted."""
    if constrained:
        raise ValueError("Residuals are not finite in the initial point.")
    warnings.warn(_COVARIANCE_WARNING + ": ydata is not finite (check_finite=False), nothing was fitted and popt "
                  "is p0", category=optimize_warning(), stacklevel=3)
    popt = p0.astype(np.float64).ravel()
    pcov = np.full((popt.size, popt.size), math.inf)
    if not full_output:
        return popt, pcov
    values = _common.model_values(f(xdata, *popt), ydata.size, True)
    fvec = -_common.weighted(weights, ydata - values)
    return popt, pcov, {"fvec": fvec, "nfev": 1}, "not fitted: ydata is not finite", 4


# ---- arguments, as SciPy reads them ----

def _all_finite(a):
    # a finite sum has only finite terms; an infinite one may be an overflow
    return math.isfinite(np.add.reduce(a, axis=None)) or bool(np.isfinite(a).all())


def _finite_array(values):
    """numpy.asarray_chkfinite(values, float), with its message."""
    a = np.asarray(values, dtype=float)
    if not _all_finite(a):
        raise ValueError("array must not contain infs or NaNs")
    return a


def _parameter_count(f):
    """The number of parameters of f(x, p1, p2, ...), from its signature."""
    parameters = inspect.signature(f).parameters.values()
    positional = [p for p in parameters if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    if len(positional) < 2:
        raise ValueError("Unable to determine number of fit parameters.")
    return len(positional) - 1


def _scipy_bounds(bounds, m):
    """(lb, ub) as float arrays, from a (lb, ub) pair of scalars or arrays
    or from an object with lb and ub attributes (scipy.optimize.Bounds)."""
    if hasattr(bounds, "lb") and hasattr(bounds, "ub") and not isinstance(bounds, (tuple, list, np.ndarray)):
        lb, ub = bounds.lb, bounds.ub
    else:
        lb, ub = bounds
    lb, ub = np.asarray(lb, dtype=float), np.asarray(ub, dtype=float)
    if lb.ndim == 0:
        lb = np.resize(lb, m)
    if ub.ndim == 0:
        ub = np.resize(ub, m)
    return lb, ub


def _initialize_feasible(lb, ub):
    """SciPy's start within bounds: 1, the midpoint of a finite interval,
    1 inside a single finite bound."""
    p0 = np.ones_like(lb)
    lb_finite, ub_finite = np.isfinite(lb), np.isfinite(ub)
    both = lb_finite & ub_finite
    p0[both] = 0.5 * (lb[both] + ub[both])
    p0[lb_finite & ~ub_finite] = lb[lb_finite & ~ub_finite] + 1
    p0[~lb_finite & ub_finite] = ub[~lb_finite & ub_finite] - 1
    return p0


def _check_start(p0, lb, ub):
    if p0.ndim > 1:
        raise ValueError("`x0` must have at most 1 dimension.")
    if lb.shape != p0.shape or ub.shape != p0.shape:
        raise ValueError("Inconsistent shapes between bounds and `x0`.")
    if np.any(lb > ub):
        raise ValueError("Each lower bound must be strictly less than each upper bound.")
    if not np.all((p0 >= lb) & (p0 <= ub)):
        raise ValueError("Initial guess is outside of provided bounds")


def _contains_nan(a, nan_policy):
    a = np.asarray(a)
    if a.size == 0:
        return False
    if np.issubdtype(a.dtype, np.floating):
        found = bool(np.isnan(np.max(a)))
    elif np.issubdtype(a.dtype, np.complexfloating):
        found = bool(np.isnan(np.max(a.real)) | np.isnan(np.max(a.imag)))
    elif a.dtype == object:
        found = any(isinstance(v, (float, np.floating)) and np.isnan(v) for v in a.ravel())
    else:
        return False
    if found and nan_policy == "raise":
        raise ValueError("The input contains nan values")
    return found


def _omit_nan(xdata, ydata, sigma, nan_policy):
    """SciPy's nan_policy without check_finite: 'raise' refuses NaN, 'omit'
    drops the points where xdata (any of its leading axes) or ydata is NaN."""
    if nan_policy == "propagate":
        raise ValueError("`nan_policy='propagate'` is not supported by this function.")
    if nan_policy not in ("raise", "omit"):
        raise ValueError("nan_policy must be one of {None, 'raise', 'omit'}")
    x_nan = _contains_nan(xdata, nan_policy)
    y_nan = _contains_nan(ydata, nan_policy)
    if (x_nan or y_nan) and nan_policy == "omit":
        has_nan = np.isnan(xdata)
        has_nan = has_nan.any(axis=tuple(range(has_nan.ndim - 1)))
        has_nan |= np.isnan(ydata)
        xdata = xdata[..., ~has_nan]
        ydata = ydata[~has_nan]
        if sigma is not None:
            sigma = np.asarray(sigma)
            if sigma.ndim == 1:
                sigma = sigma[~has_nan]
            elif sigma.ndim == 2:
                sigma = sigma[~has_nan, :][:, ~has_nan]
    return xdata, ydata, sigma


def _scipy_weights(sigma, n):
    """The binding's weights: 1 / sigma for standard deviations (a scalar
    for all), the lower Cholesky factor of a covariance matrix."""
    sigma = np.asarray(sigma, dtype=float)
    if sigma.size == 1 or sigma.shape == (n,):
        if not (np.isfinite(sigma).all() and (sigma != 0).all()):
            raise ValueError("`sigma` must be finite and non-zero.")
        return np.broadcast_to(1.0 / sigma.ravel(), (n,))
    if sigma.shape == (n, n):
        return _common.cholesky_factor(sigma, "array must not contain infs or NaNs", "`sigma` must be symmetric.",
                                       "`sigma` must be positive definite.")
    raise ValueError("`sigma` has incorrect shape.")


def _options(kwargs: dict[str, Any], jac: Any, m: int) -> _Fit:
    """How the fit runs, from jac and the keyword arguments."""
    if jac == "cs":
        jac, diff = "cs", "forward"  # made a callable once the model and dtype are known
    elif jac is None or isinstance(jac, str):
        if jac not in _DIFFS:
            raise ValueError("`jac` must be '2-point', '3-point', 'cs' or callable.")
        diff, jac = _DIFFS[jac], None
    elif callable(jac):
        diff = "forward"
    else:
        raise ValueError("`jac` must be '2-point', '3-point', 'cs' or callable.")
    jac, own, scipy = _sorted_keywords(kwargs, jac)
    if "diff" in own:
        _common.choice(own["diff"], "diff", _common.DIFFS)
        diff = own["diff"]
    dtype = _common.fit_dtype(own.get("dtype", np.float64))
    step_tol = own.get("step_tol")
    tolerances = _common.tolerances(own.get("damping", _common.DAMPING), own.get("gradient_tol", 0.0),
                                    _common.STEP_TOL[dtype] if step_tol is None else step_tol,
                                    own.get("chisq_tol", 0.0), own.get("max_iterations", _common.MAX_ITERATIONS))
    verbose = scipy.pop("verbose", 0)
    if verbose not in (0, 1, 2):
        raise ValueError("verbose must be 0, 1 or 2")
    _refuse_unsupported(scipy)
    engine = _engine_options(scipy, own, diff, m)
    return _Fit(jac, diff, dtype, tolerances, bool(own.get("scale", True)), engine, verbose,
                step_tol_given="step_tol" in kwargs or "xtol" in kwargs,
                max_nfev=0 if engine is None else engine["max_nfev"])


def _sorted_keywords(kwargs: dict[str, Any], jac: Any) -> tuple[Any, dict[str, Any], dict[str, Any]]:
    """(jac, ombrix.fit's controls, SciPy's solver options) from the keyword
    arguments; col_deriv transposes a callable jac, callback and workers
    are checked here, anything else is a TypeError."""
    own: dict[str, Any] = {}
    scipy: dict[str, Any] = {}
    for key, value in kwargs.items():
        if key in _OWN:
            own[key] = value
        elif key in _ENGINE_OPTIONS:
            scipy[key] = value
        elif key == "col_deriv":
            if value and callable(jac):
                jac = _transposed(jac)
        elif key == "callback":
            if value is not None:
                raise ValueError("callback is not supported: the engine's iterations run in C and are not "
                                 "reported to Python (verbose=2 prints each model evaluation)")
        elif key == "workers":
            # The engine calls the model one point at a time; a map-like callable
            # would only have parallelised difference Jacobians, not changed them.
            if value is not None and not callable(value):
                raise TypeError("workers must be a map-like callable or None")
        else:
            raise TypeError(f"curve_fit() got an unexpected keyword argument '{key}'")
    return jac, own, scipy


def _refuse_unsupported(scipy: dict[str, Any]) -> None:
    """ValueError for SciPy's options that the engine has no counterpart
    for, unless given at their defaults; removes them from `scipy`."""
    for key, accepted in (("tr_solver", (None, "exact")), ("jac_sparsity", (None,)),
                          ("factor", (None, 100, 100.0))):
        value = scipy.pop(key, None)
        if not any(value is a or (a is not None and value == a) for a in accepted):
            raise ValueError(f"{key} is not supported: " + {
                "tr_solver": "the engine solves each step exactly ('exact')",
                "jac_sparsity": "Jacobians are dense",
                "factor": "the engine's initial step follows from its initial damping (damping=)"}[key])
    if scipy.pop("tr_options", None):
        raise ValueError("tr_options are not supported: the engine solves each step exactly")


def _engine_options(scipy: dict[str, Any], own: dict[str, Any], diff: str, m: int) -> dict[str, Any] | None:
    """The engine's settings from SciPy's solver options, or None.

    The engine runs every fit but those with diff='secant' or the absolute
    tests gradient_tol and chisq_tol, which the numeric layer's own solvers
    run; SciPy's options then have no counterpart and are refused.
    """
    settings = {"loss": scipy.pop("loss", "linear"), "f_scale": scipy.pop("f_scale", 1.0)}
    for key in ("ftol", "xtol", "gtol"):
        value = scipy.pop(key, None)
        if value is not None:
            value = float(value)
            if not value >= 0:
                raise ValueError(f"{key} must be non-negative, not {value!r}")
            settings[key] = value
    if "step_tol" in own:
        settings.setdefault("xtol", float(own["step_tol"]))
    limit = scipy.pop("max_nfev", None) or scipy.pop("maxfev", None) or 0
    scipy.pop("maxfev", None)
    settings["max_nfev"] = operator.index(limit)
    if settings["max_nfev"] < 0:
        raise ValueError("max_nfev must not be negative")
    x_scale = _parameter_scales(scipy.pop("x_scale", None), scipy.pop("diag", None), m)
    settings["x_scale"] = x_scale
    settings["diff_step"] = _difference_step(scipy.pop("diff_step", None), scipy.pop("epsfcn", None))
    _common.choice(settings["loss"], "loss", _common.LOSSES)
    settings["f_scale"] = _common.f_scale_value(settings["f_scale"])
    if diff == "secant" or own.get("gradient_tol") or own.get("chisq_tol"):
        given = sorted(k for k in ("ftol", "xtol", "gtol") if k in settings) + (
            ["max_nfev"] if settings["max_nfev"] else []) + (["x_scale"] if x_scale is not None else []) + (
            ["loss"] if settings["loss"] != "linear" else []) + (["diff_step"] if settings["diff_step"] else [])
        if given:
            raise ValueError(f"{', '.join(given)} need the engine: not with diff='secant', gradient_tol or chisq_tol")
        return None
    return _common.engine_settings(**settings)


def _difference_step(diff_step: Any, epsfcn: Any) -> float:
    """The relative step of difference Jacobians from SciPy's `diff_step`
    (least_squares: the step is diff_step times the parameter's size) or
    MINPACK's `epsfcn` (a step of sqrt(epsfcn) times it); 0 for the
    default.  One step for all parameters."""
    if diff_step is None and epsfcn is None:
        return 0.0
    if diff_step is not None and epsfcn is not None:
        raise ValueError("give diff_step or epsfcn, not both")
    value = np.asarray(diff_step if diff_step is not None else epsfcn, dtype=np.float64)
    if value.ndim != 0:
        raise ValueError("diff_step must be a scalar: one relative step serves every parameter")
    step = float(value) if diff_step is not None else math.sqrt(float(value)) if float(value) > 0 else 0.0
    if not 0.0 <= step < 1.0:
        raise ValueError(f"diff_step must be at least 0 and below 1, not {step!r}")
    return step


def _parameter_scales(x_scale: Any, diag: Any, m: int) -> np.ndarray | None:
    """The engine's fixed parameter scales from SciPy's x_scale or MINPACK's
    diag (multiplicative factors: 1 / x_scale); None for 'jac', the
    Jacobian's column norms."""
    if diag is not None:
        diag = np.broadcast_to(np.asarray(diag, dtype=float), (m,))
        if not (np.isfinite(diag).all() and (diag > 0).all()):
            raise ValueError("diag must be positive and finite")
        x_scale = 1.0 / diag if x_scale is None or isinstance(x_scale, str) else x_scale
    if isinstance(x_scale, str):
        if x_scale != "jac":
            raise ValueError(f"x_scale must be 'jac' or positive numbers, not {x_scale!r}")
        return None
    if x_scale is None:
        return None
    scales = np.broadcast_to(np.asarray(x_scale, dtype=float), (m,)).copy()
    if not (np.isfinite(scales).all() and (scales > 0).all()):
        raise ValueError("x_scale must be 'jac' or positive and finite numbers")
    return scales


def _complex_step(f: Callable[..., Any], dtype: np.dtype[Any]) -> Callable[..., np.ndarray]:
    """The Jacobian of f(xdata, *params) by complex steps: column j is
    Im f(xdata, p + i h_j e_j) / h_j, with h_j = sqrt(eps) max(1, |p_j|).  No
    difference is taken, so the columns are exact to rounding; f must
    accept complex parameters and keep its values analytic in them."""
    complex_type = np.complex64 if dtype == np.float32 else np.complex128
    relative = math.sqrt(float(np.finfo(dtype).eps))

    def jac(xdata, *params):
        p = np.array(params, dtype=complex_type)
        columns = []
        for j in range(p.size):
            h = relative * max(1.0, abs(float(p[j].real)))
            shifted = p.copy()
            shifted[j] += 1j * h
            values = np.asarray(f(xdata, *shifted))
            if values.dtype.kind != "c":
                raise TypeError("jac='cs' needs a model that returns complex values for complex parameters")
            columns.append(values.imag.ravel() / h)
        return np.stack(columns, axis=1)
    return jac


def _traced(f, y, weights):
    """f, printing each evaluation's number and cost (half the chi-square)."""
    count = 0

    def traced(xdata, *params):
        nonlocal count
        values = f(xdata, *params)
        count += 1
        try:
            r = _common.weighted(weights, y - _common.model_values(values, y.size, True))
            print(f"evaluation {count:6d}: cost {0.5 * float(r @ r):.6e}")
        except (TypeError, ValueError):
            pass  # the binding reports values it cannot read
        return values
    return traced


def _transposed(jac):
    def transposed_jac(xdata, *params):
        return np.transpose(jac(xdata, *params))
    return transposed_jac
