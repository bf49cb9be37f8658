"""ombrix.curve_fit: scipy.optimize.curve_fit's interface on ombrix's solvers.

The arguments are checked as SciPy checks them (same exceptions, same
messages where callers match on them), then one call of the binding
``ombrix._fit.solve`` runs the fit with the model called as
``f(xdata, *params)`` and returns the parameters with the covariance and
chi-square computed in C; nothing that curve_fit does not return is
computed, and what ``full_output`` adds only when it is asked for.
"""

import inspect
import math
import sys
import warnings

import numpy as np

from . import _active_set, _fit_api
from ._fit_api import Status

__all__ = ["curve_fit"]

_UNBOUNDED = (-math.inf, math.inf)
_METHODS = ("lm", "trf", "dogbox")
_CONVERGED = (1, 2, 6)
# ier in the numbering of SciPy's leastsq for the same kind of convergence:
# 1 a sum-of-squares test, 2 a step test, 4 a gradient test.
_IER = {int(Status.SMALL_GRADIENT): 4, int(Status.SMALL_STEP): 2, int(Status.SMALL_CHISQ): 1}
_DIFFS = {None: "forward", "2-point": "forward", "3-point": "central"}

# Defaults chosen on the NIST problems of ombrix.nist as a whole; see the
# notes of curve_fit.
_DAMPING = 1e-3
_STEP_TOL = _fit_api._STEP_TOL
_MAX_ITERATIONS = 1000
_DEFAULT_TOLERANCES = {dtype: _fit_api._tolerances(_DAMPING, 0.0, step_tol, 0.0, _MAX_ITERATIONS)
                       for dtype, step_tol in _STEP_TOL.items()}

# SciPy's solver options with no counterpart here (its own convergence
# tests, difference steps, scaling, verbosity): accepted, without effect.
_IGNORED = frozenset(["ftol", "gtol", "epsfcn", "diff_step", "factor", "diag", "x_scale", "verbose", "f_scale",
                      "jac_sparsity", "tr_solver", "tr_options"])
# ombrix.fit's controls, accepted as keywords.
_OWN = frozenset(["damping", "gradient_tol", "step_tol", "chisq_tol", "max_iterations", "scale", "diff", "dtype"])


class OptimizeWarning(UserWarning):
    """Warning of `curve_fit` (the covariance could not be estimated) when
    SciPy is not installed; with SciPy, ``ombrix.OptimizeWarning`` is
    ``scipy.optimize.OptimizeWarning`` itself."""


OptimizeWarning.__module__ = "ombrix"


def optimize_warning():
    """scipy.optimize.OptimizeWarning when SciPy can be imported, else ours."""
    module = sys.modules.get("scipy.optimize")
    if module is None:
        try:
            import scipy.optimize as module
        except ImportError:
            return OptimizeWarning
    return module.OptimizeWarning


def curve_fit(f, xdata, ydata, p0=None, sigma=None, absolute_sigma=False, check_finite=None, bounds=_UNBOUNDED,
              method=None, jac=None, *, full_output=False, nan_policy=None, eq=None, ineq=None, **kwargs):
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
        The data, converted to float; any shape, flattened.
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
        Accepted for compatibility; every fit runs ombrix's solver for the
        constraints given.  'lm' with bounds raises ValueError, as in SciPy.
    jac : callable, '2-point', '3-point' or None, optional
        ``jac(xdata, *params)`` returning the (N, M) Jacobian of `f` (for one
        parameter, N values will do); or differences: None and '2-point'
        forward, '3-point' central.
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
        ombrix.fit's controls `damping`, `step_tol`, `gradient_tol`,
        `chisq_tol`, `max_iterations`, `scale`, `diff` ('forward',
        'central' or 'secant', without `jac`) and `dtype` (numpy.float64 or
        numpy.float32); SciPy's `maxfev` / `max_nfev` (taken as the limit
        on iterations), `xtol` (taken as `step_tol`), `col_deriv` (a `jac`
        that returns the transposed Jacobian) and `loss='linear'`.  The
        other options of SciPy's solvers are accepted without effect:
        ftol, gtol, epsfcn, diff_step, factor, diag, x_scale, verbose,
        f_scale, jac_sparsity, tr_solver, tr_options.

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
        that ended the fit: 1 chi-square below ``chisq_tol``, 2 a small
        step, 4 a small gradient.

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
        parameters.").  ValueError also when `f`, or `jac`, is not finite at
        the start point, naming the first value that is not ("the model is
        not finite at the start point: element 3 is nan"); nothing is
        iterated.
    RuntimeError
        "Optimal parameters not found: ..." when the fit does not converge
        (iteration limit, a singular or non-finite problem, no reduction).
    Exception
        Any exception raised by `f` or `jac` stops the fit and propagates
        unchanged.

    Notes
    -----
    Differences from SciPy's curve_fit:

    - One solver for every case: Levenberg-Marquardt in variables scaled
      by the Jacobian's column norms at the start; bounds and inequalities
      by the active-set method of `ombrix.fit`, so they hold exactly at
      `popt` and `f` is never evaluated outside them at a point the solver
      tries.  The fit has converged when a step is at most ``step_tol``
      (default 1e-9, or 1e-12 with bounds or inequalities) times the size
      of the parameters.
      SciPy's ftol and gtol have no counterpart and are ignored, xtol is
      taken as step_tol, and maxfev / max_nfev limit the iterations (each
      makes at least one model call) rather than the calls; the default
      limit is 1000 iterations (SciPy's: 100 (M + 1) calls with a
      Jacobian function, 200 (M + 1) without).
    - A converged fit without bounds or inequalities ends with one
      Gauss-Newton correction from the Jacobian at the solution (kept when
      it is small and does not raise chi-square beyond rounding), so the
      last digits do not depend on how chi-square rounds; `pcov` and
      ``fjac`` come from the Jacobian before that correction, which moves
      the parameters by less than 1e-5 of their size.
    - `pcov` comes from an SVD of the weighted Jacobian at `popt` (SciPy's
      'lm' inverts MINPACK's R factor of the last Jacobian).  Rank
      deficiency gives inf for the parameters the data do not determine,
      with an OptimizeWarning, and the pseudo-inverse for the others.
      With bounds, a parameter held at a bound has variance 0 and does not
      count as free in the degrees of freedom (SciPy ignores the bounds);
      equalities and active inequalities likewise.
    - Difference Jacobians use steps ``c * max(|p_j|, |p0_j| or 1)`` with
      c = sqrt(eps) (forward) or eps**(1/3) (central); 'cs' is refused.
    - `ydata` of any shape is flattened (SciPy needs it 1-D); a model
      returning a different number of values raises ValueError.
    - A lower bound equal to the upper one fixes the parameter (SciPy
      refuses it); `sigma` that is zero or not finite, or a covariance
      that is not symmetric, raise ValueError (SciPy goes on with
      infinite or NaN weights).
    - More parameters than data points (less the equalities) raise the
      TypeError above with bounds too (SciPy's bounded path goes on).
    - NaN or infinite model values at a trial point end the fit (the
      RuntimeError above) instead of shrinking the step.
    - ``ier`` is 1, 2 or 4 (see Returns); `mesg` is ombrix's message.
      `infodict` has the keys of SciPy's 'lm' path without bounds and
      inequalities, those of its bounded path (nfev and fvec) with them,
      plus ombrix's own in both.
    - A scalar `sigma` works with a Jacobian function too, and '2-point'
      and '3-point' without bounds (SciPy's 'lm' path refuses both).
    - Robust losses (``loss`` other than 'linear') raise ValueError.

    Defaults: damping 1e-3 and step_tol 1e-9 (1e-6 in single precision),
    chosen on the nine NIST problems shipped in `ombrix.nist`, from both
    starts, with the analytic Jacobian: of the settings tried (damping 1e-2
    to 1e-6, step_tol 1e-8 to 1e-12, with and without the final
    correction), the one with the fewest model and Jacobian calls that ends
    no fit with fewer digits than SciPy's curve_fit at ftol = xtol = gtol =
    1e-15.  Smaller damping saves up to a fifth of the calls but leaves
    Thurber short of SciPy's digits; without the correction, stopping at
    1e-9 costs up to 2 digits.  bench/nist_bench.py regenerates the
    comparison (bench/results/nist.md, "How the defaults were chosen").
    """
    if p0 is None:
        m = _parameter_count(f)
    else:
        p0 = np.atleast_1d(p0)
        if p0.dtype.kind == "c":
            raise ValueError("`x0` must be real.")
        m = p0.size
    lb = ub = None
    if bounds is not _UNBOUNDED:
        lb, ub = _scipy_bounds(bounds, m)
        if not np.any((lb > -np.inf) | (ub < np.inf)):
            lb = ub = None
    if p0 is None:
        p0 = np.ones(m) if lb is None else _initialize_feasible(lb, ub)
    if method == "lm" and lb is not None:
        raise ValueError("Method 'lm' only works for unconstrained problems. Use 'trf' or 'dogbox' instead.")

    if check_finite is None:
        check_finite = nan_policy is None
    ydata = _finite_array(ydata) if check_finite else np.asarray(ydata, float)
    if isinstance(xdata, (list, tuple, np.ndarray)):
        xdata = _finite_array(xdata) if check_finite else np.asarray(xdata, float)
    if ydata.size == 0:
        raise ValueError("`ydata` must not be empty!")
    if not check_finite and nan_policy is not None:
        xdata, ydata, sigma = _omit_nan(xdata, ydata, sigma, nan_policy)
    n = ydata.size
    weights = None if sigma is None else _scipy_weights(sigma, n)
    if "args" in kwargs:
        raise ValueError("'args' is not a supported keyword argument.")
    if method is not None and method not in _METHODS:
        raise ValueError("`method` must be 'trf', 'dogbox' or 'lm'.")
    options = _options(kwargs, jac)
    jac, diff, dtype, tolerances, scale = options

    if lb is not None:
        _check_start(p0, lb, ub)
    A, b, C, d = _fit_api._constraints(eq, ineq, m)
    k = 0 if A is None else A.shape[0]
    if n < m - k:
        raise TypeError(f"The number of func parameters={m} must not exceed the number of data points={n}")

    start = p0.ravel() if p0.dtype == np.float64 else p0.astype(np.float64).ravel()
    typical = np.where(start != 0, np.abs(start), 1.0)
    if (lb is not None or C is not None) and diff != "secant":
        # Bounds and inequalities by the active-set method of ombrix.fit, held
        # exactly; its rounds end without the final correction, so they stop
        # at ombrix.fit's step tolerance unless one was asked for.
        if not {"step_tol", "xtol"} & kwargs.keys():
            tolerances = tolerances[:2] + (_active_set.STEP_TOL[dtype],) + tolerances[3:]
        solution = _active_set.solve(f, start, ydata.ravel(), (xdata,), jac, weights, lb, ub, A, b, C, d, diff,
                                     typical, scale, tolerances, dtype, unpack=True)
    else:
        solution = _fit_api._solve(f, start, ydata.ravel(), (xdata,), jac, weights, lb, ub, A, b, C, d, diff,
                                   typical, scale, tolerances, dtype, unpack=True, polish=True, factor=full_output)
    (popt, f, J, info, nfev, njev, _, r_w, chisq, pcov, rank, free, _, active_bounds, _, factored) = solution

    status = int(info[6])
    if status not in _CONVERGED:
        raise RuntimeError("Optimal parameters not found: " + _fit_api._message(status, f, J))
    # inf entries: parameters the data do not determine; NaN: no estimate at all
    determined = _all_finite(pcov)
    estimated = determined or not np.isnan(pcov).any()
    if not estimated:
        pcov.fill(math.inf)
    elif not absolute_sigma:
        dof = n - free
        if dof > 0:
            np.multiply(pcov, chisq / dof, out=pcov, where=determined or ~np.isinf(pcov))
        else:
            pcov.fill(math.inf)
            estimated = False
    if not (estimated and determined):
        warnings.warn("Covariance of the parameters could not be estimated", category=optimize_warning(),
                      stacklevel=2)
    if dtype != np.float64:
        pcov = pcov.astype(dtype)
    if not full_output:
        return popt, pcov

    infodict = {"fvec": -r_w, "nfev": int(nfev)}
    if callable(jac):
        infodict["njev"] = int(njev)
    if factored is not None:  # the factorisation of the unconstrained path, as SciPy's 'lm' gives it
        infodict.update(zip(("fjac", "ipvt", "qtf"), factored))
    infodict.update(iterations=int(info[5]), status=Status(status), rank=rank, active_bounds=active_bounds)
    return popt, pcov, infodict, _fit_api._MESSAGES[Status(status)], _IER[status]


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
        return _fit_api._cholesky_factor(sigma, "array must not contain infs or NaNs", "`sigma` must be symmetric.",
                                         "`sigma` must be positive definite.")
    raise ValueError("`sigma` has incorrect shape.")


def _options(kwargs, jac):
    """(jac callable or None, diff, dtype, tolerances, scale) from jac and
    the keyword arguments."""
    if jac is None or isinstance(jac, str):
        if jac == "cs":
            raise ValueError("jac='cs' (complex-step differences) is not supported; use '2-point' or '3-point'")
        if jac not in _DIFFS:
            raise ValueError("`jac` must be '2-point', '3-point', 'cs' or callable.")
        diff, jac = _DIFFS[jac], None
    elif callable(jac):
        diff = "forward"
    else:
        raise ValueError("`jac` must be '2-point', '3-point', 'cs' or callable.")
    if not kwargs:
        return jac, diff, np.dtype(np.float64), _DEFAULT_TOLERANCES[np.dtype(np.float64)], True

    own = {}
    for key, value in kwargs.items():
        if key in _OWN:
            own[key] = value
        elif key in ("maxfev", "max_nfev"):
            if value:
                own.setdefault("max_iterations", value)
        elif key == "xtol":
            own.setdefault("step_tol", value)
        elif key == "col_deriv":
            if value and jac is not None:
                jac = _transposed(jac)
        elif key == "loss":
            if value != "linear":
                raise ValueError(f"loss={value!r} is not supported: curve_fit fits by least squares ('linear')")
        elif key not in _IGNORED:
            raise TypeError(f"curve_fit() got an unexpected keyword argument '{key}'")
    if "diff" in own:
        if own["diff"] not in _fit_api._DIFFS:
            raise ValueError(f"diff must be one of {', '.join(map(repr, _fit_api._DIFFS))}, not {own['diff']!r}")
        diff = own["diff"]
    dtype = np.dtype(own.get("dtype", np.float64))
    if dtype not in _STEP_TOL:
        raise ValueError(f"dtype must be float64 or float32, not {dtype}")
    step_tol = own.get("step_tol")
    tolerances = _fit_api._tolerances(own.get("damping", _DAMPING), own.get("gradient_tol", 0.0),
                                      _STEP_TOL[dtype] if step_tol is None else step_tol,
                                      own.get("chisq_tol", 0.0), own.get("max_iterations", _MAX_ITERATIONS))
    return jac, diff, dtype, tolerances, bool(own.get("scale", True))


def _transposed(jac):
    def transposed_jac(xdata, *params):
        return np.transpose(jac(xdata, *params))
    return transposed_jac
