"""ombrix.fit: nonlinear least-squares fits with bounds, linear constraints and
standard errors, in double or single precision.

The work is done by the extension module ``ombrix._fit``; this module checks
the arguments, weights the data, picks the solver for the constraints given
and turns the outcome into a `FitResult` with a covariance computed from an
accurate Jacobian at the returned parameters.
"""

from __future__ import annotations

import copy
import dataclasses
import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt

from . import _active_set, _common, _compiled, _fit, _results
from ._common import CONVERGED, LOSSES, Status

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["fit", "FitResult", "Status", "check_jacobian"]

#: An array of the fit's precision: float64, or float32 for ``dtype=numpy.float32``.
FloatArray: TypeAlias = npt.NDArray[np.floating[Any]]
#: ``model(p, *args)`` or ``jac(p, *args)``.
Model: TypeAlias = Callable[..., npt.ArrayLike]
Diff: TypeAlias = Literal["forward", "central", "secant"]
Loss: TypeAlias = Literal["linear", "soft_l1", "huber", "cauchy", "arctan"]
ConstraintMethod: TypeAlias = Literal["active-set", "direct"]
#: ``(lb, ub)``, an array of shape (2, m) or (m, 2), or m ``(low, high)`` pairs; None for no bound.
Bounds: TypeAlias = "tuple[Any, Any] | Sequence[Any] | npt.NDArray[Any]"
#: ``(A, b)`` for ``A @ p == b``, or ``(C, d)`` for ``C @ p >= d``.
LinearConstraint: TypeAlias = "tuple[npt.ArrayLike, npt.ArrayLike] | list[npt.ArrayLike]"

@dataclass(eq=False)
class FitResult:
    """The outcome of `fit`.

    Arrays have the precision of the fit (float64 or float32).

    Attributes
    ----------
    p : ndarray, shape (m,)
        The fitted parameters (for a fit that did not converge, the last
        parameters that lowered chi-square).
    cov : ndarray, shape (m, m)
        Covariance of `p`, from `jac` (see `fit`).  Scaled by
        `redchi` unless ``absolute_sigma``; filled with inf when it cannot be
        estimated (no degrees of freedom), NaN when `jac` is not finite;
        inf in the rows and columns of the parameters the data do not
        determine (see ``undetermined``).
    stderr : ndarray, shape (m,)
        Standard errors, ``sqrt(diag(cov))``; 0 for a parameter held at a
        bound, inf for one the data do not determine.
    corr : ndarray, shape (m, m)
        Correlation matrix; NaN in the rows and columns of parameters whose
        standard error is 0 or not finite.
    residuals : ndarray, shape (n,)
        ``y - model(p)``, in the units of `y` (not weighted).
    weighted_residuals : ndarray, shape (n,)
        The residuals weighted by ``sigma``: ``residuals / sigma`` for 1-D
        sigma, ``L^-1 residuals`` for a covariance ``sigma = L L^T``.
    jac : ndarray, shape (n, m)
        Jacobian of the model at `p` (not weighted): the analytic one or a
        difference Jacobian computed at `p`, before the final Gauss-Newton
        correction when one was taken (it moves `p` by less than 1e-5 of
        its size; see `fit`).
    chisq : float
        ``sum(weighted_residuals**2)``.
    redchi : float
        ``chisq / dof`` (NaN when dof is 0).
    r2 : float
        Coefficient of determination ``1 - chisq / chisq_mean``, where
        chisq_mean is the weighted chi-square of the best constant model
        (the weighted mean of `y`).
    dof : int
        Degrees of freedom: data points minus free parameters.  Equality
        constraints, active bounds and active inequalities each take one
        parameter's freedom.
    rank : int
        Numerical rank of the weighted Jacobian on the free parameters.
    undetermined : ndarray of bool, shape (m,)
        True for each parameter the data do not determine: one that moves
        along a direction in which the weighted Jacobian is numerically
        zero (rank below the free parameters, as for a model that depends
        on two parameters only through their product).  Its standard
        error is inf.
    initial_chisq : float
        Chi-square at the start.
    nfev : int
        Model evaluations, all included (difference Jacobians too).
    njev : int
        Jacobian evaluations: calls of `jac`, or difference Jacobians made.
    iterations : int
        Iterations of the solver.
    status : Status
        Why the fit stopped.
    message : str
        `status` in words.
    success : bool
        True when the fit converged (status SMALL_GRADIENT, SMALL_STEP,
        SMALL_CHISQ or SMALL_REDUCTION).
    active_bounds : ndarray of int8, shape (m,)
        -1 for a parameter held at its lower bound, +1 at its upper bound,
        0 otherwise.  With the active-set method, the bounds of its final
        active set and those they imply; with the direct solvers, the
        bounds that hold to a few units of rounding.
    active_ineq : ndarray of bool, shape (k2,)
        True for each inequality row ``C_j p >= d_j`` that holds with
        equality (empty without inequalities), in the same sense.
    absolute_sigma : bool
        Whether `cov` was scaled by `redchi` (False) or not (True).
    model, model_jac : callable or None
        The model and the analytic Jacobian fitted (for `eval`,
        `eval_uncertainty` and `plot`); None after pickling when they
        cannot be pickled.
    args : tuple or None
        The model's extra arguments in the fit (None likewise).
    sigma : ndarray or None
        The fit's ``sigma``, as given (float64).
    """

    p: FloatArray
    cov: FloatArray
    stderr: FloatArray
    corr: FloatArray
    residuals: FloatArray
    weighted_residuals: FloatArray
    jac: FloatArray
    chisq: float
    redchi: float
    r2: float
    dof: int
    rank: int
    initial_chisq: float
    nfev: int
    njev: int
    iterations: int
    status: Status
    message: str
    success: bool
    active_bounds: npt.NDArray[np.int8]
    active_ineq: npt.NDArray[np.bool_]
    absolute_sigma: bool = False
    names: tuple[str, ...] | None = field(default=None, repr=False)
    undetermined: npt.NDArray[np.bool_] | None = field(default=None, repr=False)
    model: Model | None = field(default=None, repr=False)
    args: tuple[Any, ...] | None = field(default=None, repr=False)
    model_jac: Model | None = field(default=None, repr=False)
    sigma: npt.NDArray[np.float64] | None = field(default=None, repr=False)

    def __repr__(self) -> str:
        return (f"<FitResult {self.status.name}: chisq={self.chisq:.6g}, dof={self.dof}, "
                f"{self.iterations} iterations, {self.nfev} model evaluations>")

    def report(self, names: Sequence[str] | None = None, min_correlation: float = 0.1) -> str:
        """A readable summary: parameters with standard errors, the
        correlations of at least `min_correlation` in magnitude, and the fit
        statistics.

        Parameters
        ----------
        names : sequence of str, optional
            Parameter names (default: those given to `fit`, else p0, p1, ...).
        min_correlation : float, optional
            Smallest absolute value of a correlation listed.

        Returns
        -------
        str
        """
        m = self.p.shape[0]
        names = list(names if names is not None else self.names or [f"p{i}" for i in range(m)])
        if len(names) != m:
            raise ValueError(f"names has {len(names)} entries for {m} parameters")
        width = max(9, max(len(n) for n in names))
        lines = [f"status:        {self.status.name} ({self.message})",
                 f"evaluations:   {self.nfev} model, {self.njev} Jacobian, {self.iterations} iterations",
                 f"chi-square:    {self.chisq:.6g} (from {self.initial_chisq:.6g}), "
                 f"reduced {self.redchi:.6g}, dof {self.dof}",
                 f"R^2:           {self.r2:.6g}",
                 "",
                 f"{'parameter':<{width}}  {'value':>14}  {'std. error':>11}  {'relative':>9}  note"]
        undetermined = self.undetermined if self.undetermined is not None else np.zeros(m, dtype=bool)
        for i, name in enumerate(names):
            value, error = float(self.p[i]), float(self.stderr[i])
            relative = f"{abs(error / value):9.2%}" if value != 0 and math.isfinite(error) else f"{'':9}"
            note = {-1: "at lower bound", 1: "at upper bound"}.get(int(self.active_bounds[i]), "")
            note = "not determined by the data" if undetermined[i] else note
            lines.append(f"{name:<{width}}  {value:14.7g}  {error:11.4g}  {relative}  {note}".rstrip())
        pairs = [(abs(self.corr[i, j]), i, j) for i in range(m) for j in range(i + 1, m)
                 if math.isfinite(self.corr[i, j]) and abs(self.corr[i, j]) >= min_correlation]
        if pairs:
            lines += ["", f"correlations (|r| >= {min_correlation:g}):"]
            for _, i, j in sorted(pairs, reverse=True):
                lines.append(f"  {names[i]:>{width}} ~ {names[j]:<{width}} {float(self.corr[i, j]):+.3f}")
        if self.active_ineq.any():
            lines += ["", "active inequalities: rows " + ", ".join(str(int(j)) for j in np.flatnonzero(self.active_ineq))]
        if undetermined.any():
            lines += ["", f"not determined by the data (rank {self.rank}): "
                      + ", ".join(names[i] for i in np.flatnonzero(undetermined))]
        if not self.absolute_sigma:
            lines += ["", "standard errors scaled by sqrt(reduced chi-square)"]
        return "\n".join(lines)

    @property
    def params(self) -> dict[str, _results.Parameter]:
        """The parameters by name (``names``, else p0, p1, ...): a dict of
        records ``Parameter(value, stderr)``, in the order of `p`."""
        return _results.parameters(self)

    def to_columns(self) -> dict[str, Any]:
        """The parameters table as a dict of columns of equal length:
        ``name``, ``value``, ``stderr``, ``bound`` (as `active_bounds`) and
        ``undetermined``.  ``pandas.DataFrame(result.to_columns())`` makes a
        data frame of it."""
        return _results.columns(self)

    def eval(self, *args: Any, model: Model | None = None) -> FloatArray:
        """The model at the fitted parameters, ``model(p, *args)``.

        Parameters
        ----------
        *args
            The model's extra arguments (default: those of the fit), e.g.
            new x values in the place of those fitted.
        model : callable, optional
            The model, when the result holds none (see `eval_uncertainty`).

        Returns
        -------
        ndarray
        """
        return _results.evaluate(self, args or None, model)

    def eval_uncertainty(self, *args: Any, nsigma: float = 1.0, confidence: float | None = None,
                         prediction: bool = False, sigma: npt.ArrayLike | None = None, model: Model | None = None,
                         jac: Model | None = None) -> FloatArray:
        """Half-width of the confidence band of the fitted model, or of the
        prediction band of new measurements.

        The variance of the model at each point is ``J_i cov J_i^T``, with
        ``J`` the Jacobian of the model with respect to the parameters at
        `p`: the fit's `jac` when it had one, else central differences
        (steps of ``eps**(1/3)`` relative to each parameter, eps of the
        fit's dtype).  The prediction band adds the variance of one
        measurement: ``sigma**2``, times `redchi` unless ``absolute_sigma``
        (with no sigma at all, `redchi`: the variance of the residuals).

        Parameters
        ----------
        *args
            The model's extra arguments (default: those of the fit).
        nsigma : float, optional
            Width in standard deviations.
        confidence : float, optional
            Width for this two-sided confidence level instead, e.g. 0.95:
            the quantile of Student's t with `dof` degrees of freedom (of
            the normal distribution when ``absolute_sigma``).
        prediction : bool, optional
            The prediction band instead of the confidence band.
        sigma : array_like, optional
            Standard deviation of a measurement at each point, for the
            prediction band (default: the fit's sigma at the fit's own
            points; needed at new points of a fit weighted by sigma).
        model, jac : callable, optional
            The model and its Jacobian, when the result holds none: a
            model that cannot be pickled (a lambda, a local function) is
            dropped when the result is pickled.

        Returns
        -------
        ndarray
            The half-width at each point: the band is ``eval(*args) +- it``.
            NaN or inf where the covariance is not finite.
        """
        return _results.uncertainty(self, args or None, nsigma, confidence, prediction, sigma, model, jac)

    def plot(self, x: npt.ArrayLike | None = None, *, y: npt.ArrayLike | None = None,
             ax: Axes | tuple[Axes, Axes | None] | None = None, fig: Figure | None = None, band: bool = False,
             nsigma: float = 1.0, confidence: float | None = None, model: Model | None = None,
             jac: Model | None = None, xlabel: str | None = None, ylabel: str | None = None) -> Figure:
        """Plot the data with error bars (the fit's sigma), the fitted model,
        optionally its confidence band, and the residuals below.

        Needs matplotlib (``pip install 'ombrix[examples]'``).

        Parameters
        ----------
        x : array_like, shape (n,), optional
            The horizontal coordinate of each data point (default: the
            fit's argument when it had one array of n values, else the
            index).
        y : array_like, shape (n,), optional
            The data (default: recovered from the model and the residuals).
        ax : Axes or (Axes, Axes or None), optional
            Where to draw the fit and the residuals (None: no residual
            panel).  Default: two new panels in `fig`.
        fig : Figure, optional
            The figure for the two new panels (default: a new one).
        band : bool, optional
            Shade the confidence band, `nsigma` or `confidence` wide (see
            `eval_uncertainty`).
        nsigma, confidence : float, optional
            Width of the band.
        model, jac : callable, optional
            As in `eval_uncertainty`.
        xlabel, ylabel : str, optional
            Axis labels.

        Returns
        -------
        matplotlib.figure.Figure
        """
        from ._plotting import plot
        return plot(self, x, y=y, ax=ax, fig=fig, band=band, nsigma=nsigma, confidence=confidence, model=model,
                    jac=jac, xlabel=xlabel, ylabel=ylabel)

    def __getstate__(self) -> dict[str, Any]:
        # A model, Jacobian or arguments that cannot be pickled (a lambda, a
        # local function) are dropped rather than make the result unpicklable.
        state = self.__dict__.copy()
        for name in ("model", "model_jac", "args"):
            if state[name] is not None and not _results.picklable(state[name]):
                state[name] = None
        return state

    def __copy__(self) -> FitResult:
        # Copies keep the model, even one that pickling would drop.
        return dataclasses.replace(self)

    def __deepcopy__(self, memo: dict[int, Any]) -> FitResult:
        return dataclasses.replace(self, **{f.name: copy.deepcopy(getattr(self, f.name), memo)
                                            for f in dataclasses.fields(self)})


def fit(model: Model, p0: npt.ArrayLike, y: npt.ArrayLike, *, args: Sequence[Any] = (), jac: Model | None = None,
        sigma: npt.ArrayLike | None = None, absolute_sigma: bool = False, bounds: Bounds | None = None,
        eq: LinearConstraint | None = None, ineq: LinearConstraint | None = None, diff: Diff = "forward",
        dtype: npt.DTypeLike = np.float64, damping: float = 1e-3, gradient_tol: float = 0.0,
        step_tol: float | None = None, chisq_tol: float = 0.0, max_iterations: int = 1000, scale: bool = True,
        constraints: ConstraintMethod | None = None, names: Sequence[str] | None = None, loss: Loss = "linear",
        f_scale: float = 1.0) -> FitResult:
    """Fit ``model(p, *args)`` to `y` by Levenberg-Marquardt least squares.

    Minimises chi-square, ``sum(((y - model(p)) / sigma)**2)`` (or
    ``r^T sigma^-1 r`` for a covariance `sigma`), under optional bounds and
    linear equality and inequality constraints.

    Parameters
    ----------
    model : callable or compiled function
        ``model(p, *args)`` returns the n model values as an array of shape
        (n,).  `p` is a new array of the fit's dtype on every call (the model
        may keep it).  Or a C function ``void f(const double *p, double
        *out, int m, int n, void *user_data)`` (``float`` for float32 fits),
        given as a ctypes function pointer, a numba ``cfunc`` or a SciPy
        ``LowLevelCallable`` (whose ``user_data`` it receives; otherwise
        NULL): then no Python runs while the fit iterates and the
        interpreter lock is released, so fits in several threads run in
        parallel.  A compiled model takes no `args`, a compiled `jac` (same
        signature, writing the (n, m) row-major Jacobian) or none.
    p0 : array_like, shape (m,)
        Starting parameters, finite.  A component outside its bounds is moved
        onto the nearest bound.
    y : array_like, shape (n,)
        The data, finite.
    args : tuple, optional
        Extra arguments of `model` and `jac`.
    jac : callable, optional
        ``jac(p, *args)`` returns the Jacobian, shape (n, m), of the model
        (not of the residuals).  Without it the Jacobian is computed by
        differences (see `diff`).
    sigma : array_like, optional
        Uncertainty of `y`: shape (n,) for standard deviations, or (n, n)
        for a covariance matrix (weighted through its Cholesky factor), as
        in SciPy's ``curve_fit``.
    absolute_sigma : bool, optional
        If True, `sigma` is taken in absolute units and the covariance is
        not scaled by the reduced chi-square.
    bounds : optional
        Box bounds.  A tuple ``(lb, ub)`` of scalars or length-m arrays, or
        an array of shape (2, m); or a list of m ``(low, high)`` pairs (an
        array of shape (m, 2) when m != 2).  None, -inf and +inf mean
        "unbounded"; ``low == high`` holds a parameter fixed.
    eq : tuple (A, b), optional
        Linear equality constraints ``A @ p == b``, A of shape (k, m) with
        independent rows, k < m.  The start is projected onto them.
    ineq : tuple (C, d), optional
        Linear inequality constraints ``C @ p >= d``, C of shape (k2, m).
    diff : {'forward', 'central', 'secant'}, optional
        Jacobian without `jac`: forward differences (m model calls each),
        central differences (2m calls, more accurate), or 'secant': the
        solver's own differences kept up to date by secant updates between
        them (fewest calls, for expensive models; less accurate).
        Difference steps are ``h_j = c * max(|p_j|, |p0_j|)`` (``|p0_j|``
        replaced by 1 where it is 0), with ``c = sqrt(eps)`` (forward) or
        ``eps**(1/3)`` (central) of the fit's dtype; near a bound the step
        points inside.  On the engine, 'forward' ends with central
        differences once the steps no longer change chi-square beyond its
        rounding (a few more calls, about the accuracy of 'central'); with
        equalities or active constraints eliminated the differences are
        taken in the parameters themselves, forward throughout.
    dtype : {numpy.float64, numpy.float32}, optional
        Precision of the fit: every array, the model's parameter vector and
        the solver's arithmetic.
    damping : float, optional
        Initial damping: the first Levenberg-Marquardt damping term is
        `damping` times the largest diagonal element of J^T J (on the
        engine, relative to its column-norm scaling).  Larger
        values start with shorter, gradient-like steps.
    gradient_tol : float, optional
        Convergence when the largest component of J^T r (weighted) is at
        most this (absolute; 0 disables the test).  Given, the fit runs on
        the numeric layer's own solvers (see Notes).
    step_tol : float, optional
        Convergence when a step is at most `step_tol` times the size of the
        parameters: ``|dp| <= step_tol |p|`` (in the engine's scaled
        norm).  Default: the engine's, 4 eps (it runs the fit to rounding);
        for the numeric layer's solvers 1e-9 (float64; 1e-12 with bounds or
        inequalities, whose active-set rounds end without the final
        Gauss-Newton correction), 1e-6 (float32).
    chisq_tol : float, optional
        Convergence when chi-square is at most this (absolute; 0 disables
        the test).  Given, the fit runs on the numeric layer's own solvers.
    max_iterations : int, optional
        Iteration limit.
    scale : bool, optional
        For the numeric layer's solvers: solve in variables scaled by the
        Jacobian's column norms at the start (powers of two near
        ``1 / |J_j|``), so that the damping weighs all parameters alike.
        The engine scales its damping by the column norms itself.  The
        result does not depend on it beyond the path taken.
    constraints : {'active-set', 'direct'}, optional
        How bounds and inequalities are enforced (see Notes).
        'active-set': exactly, by an active-set method on top of the exact
        elimination of equalities; the default.  'direct': by the numeric
        layer's own constrained solvers (a projected method for bounds
        alone, penalties for bounds with equalities and for inequalities);
        the default with ``diff='secant'`` and no `jac`, which
        'active-set' cannot take: the secant solver's own difference steps
        cannot be told from the points it tries.  Equalities alone are
        eliminated exactly either way.
    names : sequence of str, optional
        Parameter names, for `FitResult.report`.
    loss : {'linear', 'soft_l1', 'huber', 'cauchy', 'arctan'}, optional
        The loss ``rho`` of each weighted residual: the fit minimises
        ``sum(f_scale**2 * rho((r_i / f_scale)**2))``, r the weighted
        residuals, with rho(z) = z ('linear': chi-square),
        ``2 (sqrt(1 + z) - 1)`` ('soft_l1'), z up to 1 and ``2 sqrt(z) - 1``
        beyond ('huber'), ``log(1 + z)`` ('cauchy'), ``arctan(z)``
        ('arctan').  The robust losses weigh residuals far beyond `f_scale`
        less, so that a few gross outliers do not decide the fit.  They need
        the engine: not with ``constraints='direct'``, ``diff='secant'``,
        `gradient_tol` or `chisq_tol`.  See Notes for the covariance.
    f_scale : float, optional
        The residual size (in units of the weighted residuals) beyond which
        a robust loss takes effect; positive.

    Returns
    -------
    FitResult

    Raises
    ------
    ValueError, TypeError
        For invalid arguments, before the model is called; among them
        constraints that no point satisfies (with 'active-set').
    ValueError
        When the model, or its Jacobian, is not finite at the start point
        (the first value that is not is named); nothing is iterated.
    Exception
        Any exception raised by `model` or `jac` stops the fit at once and
        propagates unchanged.

    Notes
    -----
    Solvers: a trust-region Levenberg-Marquardt engine, the default for
    every fit except ``constraints='direct'``, ``diff='secant'`` and fits
    with ``gradient_tol`` or ``chisq_tol`` (the absolute tests of the
    numeric layer's own solvers, which run those).  Its damping is scaled
    by the Jacobian's column norms and updated from the ratio of actual to
    predicted reduction; its steps come from a QR factorisation, and with
    the linear loss and an analytic `jac` they add a secant estimate of the
    residuals' own curvature once it predicts the reductions better, so
    that fits with large residuals converge in far fewer steps; a trial
    point where the model or its Jacobian is not finite is refused and the
    damping raised, so the fit goes on with shorter steps (INVALID_VALUES
    only when no finite step is left).  It stops when the scaled gradient,
    the step (relative to the parameters, `step_tol` when given) or the
    reduction of chi-square per step falls to rounding (SMALL_GRADIENT,
    SMALL_STEP, SMALL_REDUCTION: converged), and reports STALLED (not
    converged) when the steps become negligible while the gradient does
    not and the undamped step is not within the step tolerance either, as
    with a wrong Jacobian.  With forward differences it ends with
    central ones once the steps no longer change chi-square beyond its
    rounding, so that the last digits do not depend on the forward
    differences' error; no final Gauss-Newton correction is taken.
    `damping` is its initial damping relative to the largest squared
    column norm; `scale` does not apply to it (it scales by itself).
    Equality constraints are eliminated exactly: the fit runs on the
    parameters they leave free.  Bounds and inequalities (``constraints='active-set'``):
    the constraints that hold with equality at the solution (the active
    set) are guessed, starting with none, and eliminated exactly like
    equalities; the guess is corrected as the fit goes.  The solver is
    stopped before the model is evaluated at a point it asks for that
    violates an inactive constraint; the fit moves from its current point
    along that step to the first constraint met, which joins the active set
    (unless it follows from the active ones), and continues from there.  If
    chi-square is higher there than at the current point, shorter steps in
    the same direction are tried first (this costs one model call per
    constraint met away from the current point).  When the fit converges,
    the gradient of chi-square is split along the active constraints
    (Lagrange multipliers); a bound or inequality whose multiplier says
    chi-square would decrease by moving inside (beyond what rounding and
    the tolerances resolve) is released, and the fit continues.  The
    result therefore satisfies every bound and inequality to rounding,
    and the model is never evaluated outside an inactive bound or
    inequality at a point the solver asks for (difference steps stay inside
    the bounds but may cross an inequality by one step).  The rounds share
    `max_iterations`; `nfev`, `njev` and `iterations` count all of them,
    and `status` is that of the last.  A start that violates an inequality
    or an equality (with bounds or inequalities present) is replaced by
    the nearest point that satisfies every constraint, nearest in the
    relative metric ``sum(((p - p0) / t)**2)`` with ``t_j = |p0_j|`` (1
    where p0_j is 0), after moving p0 into its bounds.  With
    ``constraints='direct'`` bounds alone use a projected Levenberg-Marquardt
    variant with line search, and bounds with equalities, or inequalities
    (through slack variables), penalty terms, so the result may violate
    such a bound or inequality by a small amount (about 1e-8 relative for
    well-scaled problems).

    Covariance: from an SVD of the weighted Jacobian at `p`, with its
    columns scaled to unit norm (singular values below ``eps * max(n, m)``
    times the largest are dropped), restricted to the parameters left free:
    with equality constraints, active bounds and active inequalities
    stacked as rows of G, ``cov = Z (Z^T J^T J Z)^+ Z^T * redchi`` with Z an
    orthonormal basis of the null space of G.  A parameter held at a bound
    therefore has standard error 0.  A parameter with a component along
    the dropped directions (beyond what rounding leaves in them) is not
    determined by the data: its standard error is inf, and so are its row
    and column of `cov` (``FitResult.undetermined``).  A Jacobian that is not
    finite, at the start or later, ends the fit with INVALID_VALUES.

    Under a robust loss the covariance is the Gauss-Newton covariance of
    the loss-rescaled problem at `p`: each row of the weighted Jacobian is
    weighted by ``sqrt(rho'(z_i))``, as iteratively reweighted least
    squares weighs it there, and, unless `absolute_sigma`, the result is
    scaled by ``sum(rho'(z_i) r_i**2) / dof`` instead of `redchi`.  It is an
    approximation, valid when the outliers are down-weighted to near zero
    and the other residuals lie within `f_scale` (where rho' is 1); it
    ignores the curvature of the loss.  `chisq`, `redchi`, `r2` and
    `initial_chisq` stay those of the plain (unweighted by the loss)
    residuals, except that `initial_chisq` is the loss at the start.

    How the defaults of the numeric layer's solvers were chosen:
    ``bench/results/defaults.md``.
    """
    _check_options(model, jac, diff, constraints, loss, f_scale)
    problem = _Problem.checked(model, p0, y, args, jac, sigma, bounds, eq, ineq, names, _common.fit_dtype(dtype))
    solver = _Solver.chosen(problem, diff, constraints, loss, float(f_scale), damping, gradient_tol, step_tol,
                            chisq_tol, max_iterations)
    solution = solver.run(problem, diff, bool(scale))
    return _result(problem, solution, sigma, bool(absolute_sigma), loss, float(f_scale))


def _check_options(model: Model, jac: Model | None, diff: str, constraints: str | None, loss: str,
                   f_scale: float) -> None:
    """The checks of fit's callables and string options."""
    if not (callable(model) or _compiled.is_compiled(model)):
        raise TypeError("model must be callable")
    if jac is not None and not (callable(jac) or _compiled.is_compiled(jac)):
        raise TypeError("jac must be callable or None")
    _common.choice(diff, "diff", _common.DIFFS)
    if constraints is not None and constraints not in _CONSTRAINT_METHODS:
        raise ValueError(f"constraints must be one of {', '.join(map(repr, _CONSTRAINT_METHODS))} or None, "
                         f"not {constraints!r}")
    _common.choice(loss, "loss", LOSSES)
    _common.f_scale_value(f_scale)
    if constraints == "active-set" and diff == "secant" and jac is None:
        raise ValueError("constraints='active-set' needs diff='forward' or 'central', or an analytic jac")


_CONSTRAINT_METHODS = ("active-set", "direct")


def _compiled_functions(model: Model, jac: Model | None, args: tuple[Any, ...], dtype: np.dtype[Any], m: int,
                        n: int) -> tuple[Model, Model | None]:
    """model and jac, each a compiled function resolved for m parameters, n
    values and the fit's precision when the model is one; a compiled model
    takes no args and a compiled jac or none, a Python model no compiled jac."""
    if not _compiled.is_compiled(model):
        if _compiled.is_compiled(jac):
            raise TypeError("a compiled jac needs a compiled model")
        return model, jac
    if args:
        raise TypeError("a compiled model takes no args: its data reach it through user_data")
    return (_compiled.resolve(model, dtype, m, n),
            None if jac is None else _compiled.resolve(jac, dtype, m, n, jacobian=True))


@dataclass
class _Problem:
    """A fit's checked data: float64 arrays, None where absent."""

    model: Model
    args: tuple[Any, ...]
    jac: Model | None
    y: npt.NDArray[np.float64]
    start: npt.NDArray[np.float64]  # p0 moved into its bounds
    typical: npt.NDArray[np.float64]  # the parameters' sizes: |p0|, 1 where p0 is 0
    weights: npt.NDArray[np.float64] | None
    lb: npt.NDArray[np.float64] | None
    ub: npt.NDArray[np.float64] | None
    A: npt.NDArray[np.float64] | None
    b: npt.NDArray[np.float64] | None
    C: npt.NDArray[np.float64] | None
    d: npt.NDArray[np.float64] | None
    names: tuple[str, ...] | None
    dtype: np.dtype[Any]

    @classmethod
    def checked(cls, model: Model, p0: npt.ArrayLike, y: npt.ArrayLike, args: Sequence[Any], jac: Model | None,
                sigma: npt.ArrayLike | None, bounds: Any, eq: Any, ineq: Any, names: Sequence[str] | None,
                dtype: np.dtype[Any]) -> _Problem:
        args = args if isinstance(args, tuple) else tuple(args)
        p0 = _common.vector(p0, "p0")
        y = _common.vector(y, "y")
        m, n = p0.shape[0], y.shape[0]
        model, jac = _compiled_functions(model, jac, args, dtype, m, n)
        names = None if names is None else tuple(str(name) for name in names)
        if names is not None and len(names) != m:
            raise ValueError(f"names has {len(names)} entries for {m} parameters")
        weights = _common.weights(sigma, n)
        lb, ub = _common.bounds(bounds, m)
        A, b, C, d = _common.constraints(eq, ineq, m)
        k = 0 if A is None else A.shape[0]
        if n < m - k:
            raise ValueError(f"fewer data points ({n}) than free parameters ({m - k})")
        start = p0 if lb is None else np.clip(p0, lb, ub)
        typical = np.where(p0 != 0, np.abs(p0), 1.0)
        return cls(model, args, jac, y, start, typical, weights, lb, ub, A, b, C, d, names, dtype)

    @property
    def bounded(self) -> bool:
        """Whether the fit has bounds or inequalities (equalities aside)."""
        return self.lb is not None or self.C is not None


@dataclass
class _Solver:
    """Which solver runs a fit, and its settings."""

    active_set: bool  # bounds and inequalities by the active-set method
    engine: dict[str, Any] | None  # the trust-region engine's settings; None: the numeric layer's solvers
    tolerances: tuple[float, float, float, float, int]

    @classmethod
    def chosen(cls, problem: _Problem, diff: str, constraints: str | None, loss: str, f_scale: float,
               damping: float, gradient_tol: float, step_tol: float | None, chisq_tol: float,
               max_iterations: int) -> _Solver:
        """The engine runs every fit but those of the numeric layer's own
        solvers: the direct constrained ones, the secant updates, and the
        absolute tests gradient_tol and chisq_tol."""
        dtype = problem.dtype
        tolerances = _common.tolerances(damping, gradient_tol, _common.STEP_TOL[dtype] if step_tol is None
                                        else step_tol, chisq_tol, max_iterations)
        if constraints is None:
            constraints = "direct" if diff == "secant" and problem.jac is None else "active-set"
        engine = None
        if constraints == "active-set" and diff != "secant" and tolerances[1] == 0 and tolerances[3] == 0:
            engine = _common.engine_settings(loss=loss, f_scale=f_scale,
                                             xtol=-1.0 if step_tol is None else tolerances[2])
        elif loss != "linear":
            raise ValueError(f"loss={loss!r} needs the engine: not with constraints='direct', diff='secant', "
                             "gradient_tol or chisq_tol")
        active_set = constraints == "active-set" and problem.bounded
        if active_set and step_tol is None and engine is None:  # the rounds end without the final correction
            tolerances = tolerances[:2] + (_common.ACTIVE_SET_STEP_TOL[dtype],) + tolerances[3:]
        return cls(active_set, engine, tolerances)

    def run(self, problem: _Problem, diff: str, scale: bool) -> _fit.Solution:
        """The binding's solution (`_fit.Solution`)."""
        q = problem
        if self.active_set:
            return _active_set.solve(q.model, q.start, q.y, q.args, q.jac, q.weights, q.lb, q.ub, q.A, q.b, q.C, q.d,
                                     "central" if diff == "central" else "forward", q.typical, scale, self.tolerances,
                                     q.dtype, engine=self.engine)
        return _common.solve(q.model, q.start, q.y, q.args, q.jac, q.weights, q.lb, q.ub, q.A, q.b, q.C, q.d, diff,
                             q.typical, scale, self.tolerances, q.dtype,
                             polish=diff != "secant" and self.engine is None, engine=self.engine)


def _result(problem: _Problem, solution: _fit.Solution, sigma: npt.ArrayLike | None, absolute_sigma: bool,
            loss: str, f_scale: float) -> FitResult:
    """The FitResult of the binding's solution."""
    p, f, J, info, nfev, njev = solution.p, solution.f, solution.J, solution.info, solution.nfev, solution.njev
    r_w, chisq, cov, rank, free, total = (solution.r, solution.chisq, solution.cov, solution.rank, solution.free,
                                          solution.total)
    active_bounds, active_ineq = solution.active_bounds, solution.active_ineq
    dtype = problem.dtype
    n = problem.y.shape[0]
    loss_chisq = chisq if loss == "linear" else float(loss_weights(loss, r_w, f_scale) @ r_w**2)
    stats = statistics(int(info[6]), p, f, cov, chisq, free, n, loss_chisq, absolute_sigma)
    status = Status(int(stats.status))
    corr = _correlations(cov, stats.stderr)
    return FitResult(
        p=p, cov=cov.astype(dtype), stderr=stats.stderr.astype(dtype), corr=corr.astype(dtype),
        residuals=(problem.y.astype(dtype) - f).astype(dtype), weighted_residuals=r_w.astype(dtype), jac=J,
        chisq=chisq, redchi=float(stats.redchi), r2=1.0 - chisq / total if total > 0 else math.nan,
        dof=int(stats.dof), rank=rank, initial_chisq=float(info[0]), nfev=int(nfev), njev=int(njev),
        iterations=int(info[5]), status=status, message=_common.message(status, f, J), success=status in CONVERGED,
        active_bounds=active_bounds, active_ineq=active_ineq, absolute_sigma=absolute_sigma, names=problem.names,
        undetermined=stats.undetermined, model=problem.model, args=problem.args, model_jac=problem.jac,
        sigma=None if sigma is None else np.array(sigma, dtype=np.float64))


@dataclass
class Statistics:
    """What `fit` reports from a solution beyond its fields, for one fit
    (scalars, stderr of shape (m,)) or k stacked fits (a leading axis k)."""

    status: Any  # the stop reason, INVALID_VALUES where p, f or chi-square is not finite
    dof: Any
    redchi: Any  # chisq / dof, NaN without degrees of freedom
    undetermined: np.ndarray  # the parameters the data do not determine (cov's diagonal +inf)
    stderr: np.ndarray  # sqrt(|diag(cov)|) of the scaled covariance


def statistics(stop: Any, p: np.ndarray, f: np.ndarray, cov: np.ndarray, chisq: Any, free: Any, n: int,
               loss_chisq: Any, absolute_sigma: bool) -> Statistics:
    """The statistics of one fit or of stacked fits from the binding's
    unscaled covariance `cov` (..., m, m), which is scaled in place by
    ``loss_chisq / dof`` unless `absolute_sigma`; `stop` is the stop reason
    (info entry 6), `free` the free directions, n the data points."""
    if cov.ndim == 2:
        return _one_fit_statistics(stop, p, f, cov, chisq, free, n, loss_chisq, absolute_sigma)
    finite = np.isfinite(f).all(axis=-1) & np.isfinite(p).all(axis=-1) & np.isfinite(chisq)
    status = np.where(finite, stop, int(Status.INVALID_VALUES))  # nothing finite to claim convergence for
    dof = n - np.asarray(free)
    redchi = np.divide(chisq, dof, out=np.full(dof.shape, math.nan), where=dof > 0)
    undetermined = np.isposinf(np.diagonal(cov, axis1=-2, axis2=-1))
    if not absolute_sigma:
        _scale_covariance(cov, dof, loss_chisq)
    stderr = np.sqrt(np.abs(np.diagonal(cov, axis1=-2, axis2=-1)))
    return Statistics(status, dof, redchi, undetermined, stderr)


def _one_fit_statistics(stop: int, p: np.ndarray, f: np.ndarray, cov: np.ndarray, chisq: float, free: int, n: int,
                        loss_chisq: float, absolute_sigma: bool) -> Statistics:
    """`statistics` of one fit in scalars: the same arithmetic, without the
    array machinery that a single fit's few numbers do not need."""
    finite = bool(np.isfinite(f).all()) and bool(np.isfinite(p).all()) and math.isfinite(chisq)
    status = stop if finite else int(Status.INVALID_VALUES)
    dof = n - int(free)
    redchi = np.float64(chisq) / dof if dof > 0 else math.nan
    undetermined = cov.diagonal() == math.inf
    if not absolute_sigma:
        factor = np.float64(loss_chisq) / dof if dof > 0 else None
        if factor is None:
            cov[...] = math.inf
        elif math.isfinite(factor):
            np.multiply(cov, factor, out=cov, where=~np.isinf(cov))
        else:
            with np.errstate(invalid="ignore"):  # an infinite chi-square times a zero covariance is NaN
                np.multiply(cov, factor, out=cov, where=~np.isinf(cov))
    stderr = np.sqrt(np.abs(cov.diagonal()))
    return Statistics(status, dof, redchi, undetermined, stderr)


def _scale_covariance(cov: np.ndarray, dof: Any, chisq: Any) -> None:
    """cov (..., m, m) times chisq / dof in place (inf entries stay inf, even
    for a chi-square of 0); all inf without degrees of freedom."""
    dof = np.asarray(dof)
    factor = np.divide(chisq, dof, out=np.ones(dof.shape), where=dof > 0)[..., None, None]
    if np.isfinite(factor).all():
        np.multiply(cov, factor, out=cov, where=~np.isinf(cov))
    else:
        with np.errstate(invalid="ignore"):  # an infinite chi-square times a zero covariance is NaN
            np.multiply(cov, factor, out=cov, where=~np.isinf(cov))
    cov[dof <= 0] = math.inf


def _correlations(cov: np.ndarray, stderr: np.ndarray) -> np.ndarray:
    """The correlation matrix, NaN in the rows and columns of the parameters
    whose standard error is 0 or not finite."""
    good = np.isfinite(stderr) & (stderr > 0)
    scale = np.where(good, stderr, 1.0)
    return np.divide(cov, scale[:, None] * scale, out=np.full(cov.shape, math.nan), where=good[:, None] & good)


def refused_start(p0: npt.ArrayLike, n: int, k2: int, dtype: np.dtype[Any], reason: object,
                  absolute_sigma: bool = False) -> FitResult:
    """The `FitResult` of a fit that did not start because the model or its
    Jacobian is not finite at `p0` (which `fit` raises as ValueError): the
    start, NaN statistics, status INVALID_VALUES, `reason` as the message."""
    p = np.asarray(p0, dtype=dtype).copy()
    m = len(p)
    nan = math.nan
    return FitResult(
        p=p, cov=np.full((m, m), nan, dtype=dtype), stderr=np.full(m, nan, dtype=dtype),
        corr=np.full((m, m), nan, dtype=dtype), residuals=np.full(n, nan, dtype=dtype),
        weighted_residuals=np.full(n, nan, dtype=dtype), jac=np.full((n, m), nan, dtype=dtype), chisq=nan, redchi=nan,
        r2=nan, dof=n - m, rank=0, initial_chisq=nan, nfev=1, njev=0, iterations=0, status=Status.INVALID_VALUES,
        message=str(reason), success=False, active_bounds=np.zeros(m, dtype=np.int8),
        active_ineq=np.zeros(k2, dtype=bool), absolute_sigma=bool(absolute_sigma))


def loss_weights(loss: str, r: npt.ArrayLike, f_scale: float) -> npt.NDArray[np.float64]:
    """rho'(z) of each residual r_i of a loss, z = (r_i / f_scale)^2."""
    z = (np.asarray(r, dtype=np.float64) / f_scale) ** 2
    if loss == "soft_l1":
        return 1.0 / np.sqrt(1.0 + z)
    if loss == "huber":
        return np.where(z <= 1.0, 1.0, 1.0 / np.sqrt(np.maximum(z, 1.0)))
    if loss == "cauchy":
        return 1.0 / (1.0 + z)
    if loss == "arctan":
        return 1.0 / (1.0 + z * z)
    return np.ones_like(z)


def check_jacobian(model: Model, jac: Model, p: npt.ArrayLike, args: Sequence[Any] = ()) -> FloatArray:
    """Check an analytic Jacobian against forward differences of the model.

    For each model output i, the change predicted by row i of ``jac`` for a
    small step of every parameter at once (relative ``sqrt(eps)``) is
    compared with the change of the model itself, and the agreement is
    graded on a logarithmic scale: 1 means row i agrees to within the
    precision that differences can show (it is very likely correct), 0
    means it does not agree at all (it is wrong), values in between say
    how many of the possible digits agree.  An output that does not change
    measurably, or is 0, gets 0 without being conclusive.

    Parameters
    ----------
    model : callable
        ``model(p, *args)`` returning the n model values.
    jac : callable
        ``jac(p, *args)`` returning the (n, m) Jacobian.
    p : array_like, shape (m,)
        Where to check; a float32 array checks in single precision.
    args : tuple, optional
        Extra arguments of `model` and `jac`.

    Returns
    -------
    ndarray, shape (n,)
        The agreement of each output, between 0 and 1.
    """
    if not callable(model) or not callable(jac):
        raise TypeError("model and jac must be callable")
    dtype = np.float32 if isinstance(p, np.ndarray) and p.dtype == np.float32 else np.float64
    point = _common.vector(p, "p").astype(dtype)
    args = tuple(args)
    n = np.shape(model(point.copy(), *args))
    if len(n) != 1 or n[0] < 1:
        raise ValueError(f"model must return a non-empty 1-D array, not one of shape {n}")
    agreement: FloatArray = _fit.check_jacobian(model, jac, point, args, n[0])
    return agreement
