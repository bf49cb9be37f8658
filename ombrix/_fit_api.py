"""ombrix.fit: nonlinear least-squares fits with bounds, linear constraints and
standard errors, in double or single precision.

The work is done by the extension module ``ombrix._fit``; this module checks
the arguments, weights the data, picks the solver for the constraints given
and turns the outcome into a `FitResult` with a covariance computed from an
accurate Jacobian at the returned parameters.
"""

import copy
import dataclasses
import enum
import math
import operator
from dataclasses import dataclass, field

import numpy as np

from . import _active_set, _compiled, _fit, _results

__all__ = ["fit", "FitResult", "Status", "check_jacobian"]


class Status(enum.IntEnum):
    """Why a fit stopped.

    ``SMALL_GRADIENT``, ``SMALL_STEP`` and ``SMALL_CHISQ`` are convergence;
    the others are not (`FitResult.success` is False for them).
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


_MESSAGES = {
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
_JACOBIAN_NOT_FINITE = ("stopped: the Jacobian was not finite (NaN or infinite entries); "
                        "the parameters are those where it was evaluated")
_CONVERGED = (Status.SMALL_GRADIENT, Status.SMALL_STEP, Status.SMALL_CHISQ, Status.SMALL_REDUCTION)
_DIFFS = ("forward", "central", "secant")
_CONSTRAINT_METHODS = ("active-set", "direct")
_LOSSES = ("linear", "soft_l1", "huber", "cauchy", "arctan")

# The relative step below which a fit has converged, per precision: a few
# hundred units of rounding in double precision (see fit's notes), a few units
# in single precision.
_STEP_TOL = {np.dtype(np.float64): 1e-9, np.dtype(np.float32): 1e-6}


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
        True when the fit converged (status SMALL_GRADIENT, SMALL_STEP or
        SMALL_CHISQ).
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

    p: np.ndarray
    cov: np.ndarray
    stderr: np.ndarray
    corr: np.ndarray
    residuals: np.ndarray
    weighted_residuals: np.ndarray
    jac: np.ndarray
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
    active_bounds: np.ndarray
    active_ineq: np.ndarray
    absolute_sigma: bool = False
    names: tuple = field(default=None, repr=False)
    undetermined: np.ndarray = field(default=None, repr=False)
    model: object = field(default=None, repr=False)
    args: tuple = field(default=None, repr=False)
    model_jac: object = field(default=None, repr=False)
    sigma: np.ndarray = field(default=None, repr=False)

    def __repr__(self):
        return (f"<FitResult {self.status.name}: chisq={self.chisq:.6g}, dof={self.dof}, "
                f"{self.iterations} iterations, {self.nfev} model evaluations>")

    def report(self, names=None, min_correlation=0.1):
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
    def params(self):
        """The parameters by name (``names``, else p0, p1, ...): a dict of
        records ``Parameter(value, stderr)``, in the order of `p`."""
        return _results.parameters(self)

    def to_columns(self):
        """The parameters table as a dict of columns of equal length:
        ``name``, ``value``, ``stderr``, ``bound`` (as `active_bounds`) and
        ``undetermined``.  ``pandas.DataFrame(result.to_columns())`` makes a
        data frame of it."""
        return _results.columns(self)

    def eval(self, *args, model=None):
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

    def eval_uncertainty(self, *args, nsigma=1.0, confidence=None, prediction=False, sigma=None, model=None,
                         jac=None):
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

    def plot(self, x=None, *, y=None, ax=None, fig=None, band=False, nsigma=1.0, confidence=None, model=None,
             jac=None, xlabel=None, ylabel=None):
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

    def __getstate__(self):
        # A model, Jacobian or arguments that cannot be pickled (a lambda, a
        # local function) are dropped rather than make the result unpicklable.
        state = self.__dict__.copy()
        for name in ("model", "model_jac", "args"):
            if state[name] is not None and not _results.picklable(state[name]):
                state[name] = None
        return state

    def __copy__(self):
        # Copies keep the model, even one that pickling would drop.
        return dataclasses.replace(self)

    def __deepcopy__(self, memo):
        return dataclasses.replace(self, **{f.name: copy.deepcopy(getattr(self, f.name), memo)
                                            for f in dataclasses.fields(self)})


def fit(model, p0, y, *, args=(), jac=None, sigma=None, absolute_sigma=False, bounds=None, eq=None, ineq=None,
        diff="forward", dtype=np.float64, damping=1e-3, gradient_tol=0.0, step_tol=None, chisq_tol=0.0,
        max_iterations=1000, scale=True, constraints=None, names=None, loss="linear", f_scale=1.0):
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
        inequalities, see Notes), 1e-6 (float32).
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
    predicted reduction; its steps come from a QR factorisation; a trial
    point where the model or its Jacobian is not finite is refused and the
    damping raised, so the fit goes on with shorter steps (INVALID_VALUES
    only when no finite step is left).  It stops when the scaled gradient,
    the step (relative to the parameters, `step_tol` when given) or the
    reduction of chi-square per step falls to rounding (SMALL_GRADIENT,
    SMALL_STEP, SMALL_REDUCTION: converged), and reports STALLED (not
    converged) when the steps become negligible while the gradient does
    not, as with a wrong Jacobian.  With forward differences it ends with
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

    Defaults of the numeric layer's solvers: chosen on the nine NIST
    reference problems shipped in `ombrix.nist`, from both starting points, with analytic, forward and
    central difference Jacobians: one setting for all of them, with the
    fewest evaluations among those that reach the best accuracy.  Totals
    over the 18 fits (model + Jacobian evaluations, analytic Jacobian /
    forward differences):

    ================================  ===========  ===========
    setting                           analytic     forward
    ================================  ===========  ===========
    no scaling, step_tol 1e-15        892 + 692    4360 + 679
    scaling, step_tol 1e-15           737 + 502    3188 + 492
    scaling, step_tol 1e-12           659 + 490    3100 + 485
    same, damping 1e-4                575 + 425    2789 + 421
    scaling, step_tol 1e-9, polished  578 + 479    3007 + 476
    ================================  ===========  ===========

    The parameters agree with the certified values to the same digits in
    the first three rows, up to differences past the digits that
    chi-square itself resolves on each problem; step_tol 1e-10 loses
    digits on some problems unless the fit ends, as it does by default
    (last row), with one Gauss-Newton correction from the Jacobian at the
    solution (not with diff='secant'), taken when it is small, keeps the
    bounds and does not raise chi-square beyond rounding: with the analytic Jacobian that reaches
    as many or more digits on every problem (up to 1.3 more) with fewer
    evaluations.  Fits with inequalities keep their point, and those
    solved by the active-set method (bounds, inequalities) stop at
    step_tol 1e-12 without the correction.  Damping 1e-4 (and 1e-5) would save another
    10 % of the evaluations, but with central differences MGH09 from its
    first start then ends 0.7 digits short of what chi-square resolves
    (6.3 against 7.2 digits with 1e-3), so the default stays 1e-3.  The
    absolute tests (`gradient_tol`,
    `chisq_tol`) are off by default because they depend on the units of
    the data.
    """
    compiled = _compiled.is_compiled(model)
    if not compiled and not callable(model):
        raise TypeError("model must be callable")
    if jac is not None and not (callable(jac) or _compiled.is_compiled(jac)):
        raise TypeError("jac must be callable or None")
    if compiled and args:
        raise TypeError("a compiled model takes no args: its data reach it through user_data")
    if diff not in _DIFFS:
        raise ValueError(f"diff must be one of {', '.join(map(repr, _DIFFS))}, not {diff!r}")
    if constraints is not None and constraints not in _CONSTRAINT_METHODS:
        raise ValueError(f"constraints must be one of {', '.join(map(repr, _CONSTRAINT_METHODS))} or None, "
                         f"not {constraints!r}")
    if loss not in _LOSSES:
        raise ValueError(f"loss must be one of {', '.join(map(repr, _LOSSES))}, not {loss!r}")
    f_scale = float(f_scale)
    if not (0 < f_scale < math.inf):
        raise ValueError(f"f_scale must be positive and finite, not {f_scale!r}")
    if constraints == "active-set" and diff == "secant" and jac is None:
        raise ValueError("constraints='active-set' needs diff='forward' or 'central', or an analytic jac")
    dtype = np.dtype(dtype)
    if dtype not in _STEP_TOL:
        raise ValueError(f"dtype must be float64 or float32, not {dtype}")
    args = tuple(args) if not isinstance(args, tuple) else args
    p0 = _vector(p0, "p0")
    y = _vector(y, "y")
    m, n = p0.shape[0], y.shape[0]
    if compiled:
        model = _compiled.resolve(model, dtype, m, n)
        jac = None if jac is None else _compiled.resolve(jac, dtype, m, n, jacobian=True)
    elif _compiled.is_compiled(jac):
        raise TypeError("a compiled jac needs a compiled model")
    names = None if names is None else tuple(str(name) for name in names)
    if names is not None and len(names) != m:
        raise ValueError(f"names has {len(names)} entries for {m} parameters")

    given_step_tol = step_tol
    step_tol = _STEP_TOL[dtype] if step_tol is None else step_tol
    tolerances = _tolerances(damping, gradient_tol, step_tol, chisq_tol, max_iterations)
    weights = _weights(sigma, n)
    lb, ub = _bounds(bounds, m)
    A, b, C, d = _constraints(eq, ineq, m)
    k = 0 if A is None else A.shape[0]
    if n < m - k:
        raise ValueError(f"fewer data points ({n}) than free parameters ({m - k})")

    start = p0 if lb is None else np.clip(p0, lb, ub)
    typical = np.where(p0 != 0, np.abs(p0), 1.0)
    if constraints is None:
        constraints = "direct" if diff == "secant" and jac is None else "active-set"
    # The engine runs every fit but those of the numeric layer's own solvers: the direct
    # constrained ones, the secant updates, and the absolute tests gradient_tol and chisq_tol.
    engine = None
    if constraints == "active-set" and diff != "secant" and tolerances[1] == 0 and tolerances[3] == 0:
        engine = _active_set.engine_settings(loss=loss, f_scale=f_scale,
                                             xtol=-1.0 if given_step_tol is None else step_tol)
    elif loss != "linear":
        raise ValueError(f"loss={loss!r} needs the engine: not with constraints='direct', diff='secant', "
                         "gradient_tol or chisq_tol")
    if constraints == "active-set" and (lb is not None or C is not None):
        if given_step_tol is None and engine is None:  # the rounds end without the final correction
            tolerances = tolerances[:2] + (_active_set.STEP_TOL[dtype],) + tolerances[3:]
        solution = _active_set.solve(model, start, y, args, jac, weights, lb, ub, A, b, C, d,
                                     "central" if diff == "central" else "forward", typical, scale, tolerances, dtype,
                                     engine=engine)
    else:
        solution = _solve(model, start, y, args, jac, weights, lb, ub, A, b, C, d, diff, typical, scale, tolerances,
                          dtype, polish=diff != "secant" and engine is None, engine=engine)
    (p, f, J, info, nfev, njev, _, r_w, chisq, cov, rank, free, total, active_bounds, active_ineq, _) = solution

    status = Status(int(info[6]))
    if not (np.isfinite(f).all() and np.isfinite(p).all() and math.isfinite(chisq)):
        status = Status.INVALID_VALUES  # nothing finite to claim convergence for
    residuals = (y.astype(dtype) - f).astype(dtype)
    dof = n - free
    redchi = chisq / dof if dof > 0 else math.nan
    undetermined = np.isposinf(np.diag(cov))
    if not absolute_sigma:
        if dof > 0:
            scale_by = redchi if loss == "linear" else float(loss_weights(loss, r_w, f_scale) @ r_w**2) / dof
            with np.errstate(invalid="ignore"):  # an infinite chi-square times a zero covariance is NaN
                np.multiply(cov, scale_by, out=cov, where=~np.isinf(cov))  # inf stays inf, even for a chi-square of 0
        else:
            cov.fill(math.inf)
    stderr = np.sqrt(np.abs(np.diag(cov)))
    with np.errstate(divide="ignore", invalid="ignore"):
        corr = cov / np.outer(stderr, stderr)
    bad = ~(np.isfinite(stderr) & (stderr > 0))
    corr[bad, :] = np.nan
    corr[:, bad] = np.nan
    r2 = 1.0 - chisq / total if total > 0 else math.nan

    return FitResult(
        p=p, cov=cov.astype(dtype), stderr=stderr.astype(dtype), corr=corr.astype(dtype), residuals=residuals,
        weighted_residuals=r_w.astype(dtype), jac=J, chisq=chisq, redchi=redchi, r2=r2, dof=dof, rank=rank,
        initial_chisq=float(info[0]), nfev=int(nfev), njev=int(njev), iterations=int(info[5]), status=status,
        message=_message(status, f, J), success=status in _CONVERGED, active_bounds=active_bounds,
        active_ineq=active_ineq, absolute_sigma=bool(absolute_sigma), names=names, undetermined=undetermined,
        model=model, args=args, model_jac=jac, sigma=None if sigma is None else np.array(sigma, dtype=np.float64))


def refused_start(p0, n, k2, dtype, reason, absolute_sigma=False):
    """The `FitResult` of a fit that did not start because the model or its
    Jacobian is not finite at `p0` (which `fit` raises as ValueError): the
    start, NaN statistics, status INVALID_VALUES, `reason` as the message."""
    m = len(p0)
    nan = math.nan
    return FitResult(
        p=np.asarray(p0, dtype=dtype).copy(), cov=np.full((m, m), nan, dtype=dtype), stderr=np.full(m, nan, dtype=dtype),
        corr=np.full((m, m), nan, dtype=dtype), residuals=np.full(n, nan, dtype=dtype),
        weighted_residuals=np.full(n, nan, dtype=dtype), jac=np.full((n, m), nan, dtype=dtype), chisq=nan, redchi=nan,
        r2=nan, dof=n - m, rank=0, initial_chisq=nan, nfev=1, njev=0, iterations=0, status=Status.INVALID_VALUES,
        message=str(reason), success=False, active_bounds=np.zeros(m, dtype=np.int8),
        active_ineq=np.zeros(k2, dtype=bool), absolute_sigma=bool(absolute_sigma))


def loss_weights(loss, r, f_scale):
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


def _message(status, f, J):
    """`status` in words; for invalid values, whether the model values `f`
    or the Jacobian `J` at the returned parameters were not finite."""
    if status == Status.INVALID_VALUES and np.isfinite(f).all() and not np.isfinite(J).all():
        return _JACOBIAN_NOT_FINITE
    return _MESSAGES[Status(status)]


def _solve(model, start, y, args, jac, weights, lb, ub, A, b, C, d, diff, typical, scale, tolerances, dtype,
           unpack=False, polish=False, factor=False, engine=None):
    """Runs the binding on checked float64 arguments in the precision `dtype`:
    bounds of +-inf become the largest finite value of the type (the solvers'
    mark of "unbounded").  With `engine` (settings of
    `_active_set.engine_settings`; no bounds, no inequalities) the fit runs
    on the trust-region engine, the equalities eliminated through a basis of
    their null space.  Returns the binding's tuple."""
    def cast(a):
        return None if a is None else np.ascontiguousarray(a, dtype=dtype)

    lb_c = ub_c = None
    if lb is not None:
        largest = np.finfo(dtype).max
        lb_c = cast(np.maximum(lb, -largest))
        ub_c = cast(np.minimum(ub, largest))
    # y and the weights stay float64: the binding keeps them in double precision for the statistics
    if engine is not None:
        variables = _active_set.engine_arguments(engine, A, b, start, dtype)
        out = _fit.engine_solve(model, cast(start), y, args, jac, weights, None, None, cast(A), cast(b), None, None,
                                diff, cast(typical), scale, *tolerances, unpack, False, factor, variables)
    else:
        out = _fit.solve(model, cast(start), y, args, jac, weights, lb_c, ub_c, cast(A), cast(b), cast(C), cast(d),
                         diff, cast(typical), scale, *tolerances, unpack, polish, factor)
    _active_set.raise_if_start_not_finite(out, start)
    return out


def check_jacobian(model, jac, p, args=()):
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
    p = _vector(p, "p").astype(dtype)
    args = tuple(args)
    n = np.shape(model(p.copy(), *args))
    if len(n) != 1 or n[0] < 1:
        raise ValueError(f"model must return a non-empty 1-D array, not one of shape {n}")
    return _fit.check_jacobian(model, jac, p, args, n[0])


# ---- argument checks ----

def _vector(values, name):
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


def _tolerances(damping, gradient_tol, step_tol, chisq_tol, max_iterations):
    def number(value, name, low, low_open, high=math.inf):
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


def _weights(sigma, n):
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
        return _cholesky_factor(s, "sigma must be finite", "sigma (a covariance matrix) must be symmetric",
                                "sigma (a covariance matrix) must be positive definite")
    raise ValueError(f"sigma must have shape ({n},) or ({n}, {n}), not {s.shape}")


def _cholesky_factor(covariance, not_finite, not_symmetric, not_positive_definite):
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


def _bound_array(values, m, side, unbounded):
    if values is None:
        return np.full(m, unbounded)
    items = np.broadcast_to(np.asarray(values, dtype=object), (m,)) if np.ndim(values) == 0 else list(values)
    if len(items) != m:
        raise ValueError(f"bounds: {side} bounds must be a scalar or have {m} entries, not {len(items)}")
    out = np.array([unbounded if v is None else float(v) for v in items], dtype=np.float64)
    if np.isnan(out).any():
        raise ValueError("bounds must not be NaN (use None or inf for no bound)")
    return out


def _bounds(bounds, m):
    """(lb, ub) float64 arrays with +-inf for no bound, or (None, None)."""
    if bounds is None:
        return None, None
    if isinstance(bounds, np.ndarray):
        if bounds.shape == (2, m):
            pairs = False
        elif bounds.ndim == 2 and bounds.shape == (m, 2):
            pairs = True
        else:
            raise ValueError(f"bounds as an array must have shape (2, {m}) or ({m}, 2), not {bounds.shape}")
        bounds = bounds.T if pairs else bounds
        lb, ub = bounds[0], bounds[1]
    elif isinstance(bounds, tuple) and len(bounds) == 2:
        lb, ub = bounds
    elif isinstance(bounds, (list, tuple)) and len(bounds) == m and all(
            isinstance(pair, (list, tuple, np.ndarray)) and len(pair) == 2 for pair in bounds):
        lb, ub = [pair[0] for pair in bounds], [pair[1] for pair in bounds]
    elif isinstance(bounds, list) and len(bounds) == 2:
        lb, ub = bounds
    else:
        raise ValueError(f"bounds must be (lb, ub) or a list of {m} (low, high) pairs")
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


def _constraints(eq, ineq, m):
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


def _linear(pair, m, name, meaning):
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
