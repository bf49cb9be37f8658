"""ombrix.fit_many: one model fitted to many data sets.

Each row of the data is fitted as `fit` fits it, with the same arguments:
`FitBatch` stacks the results, and ``batch[i]`` is the `FitResult` of row
i.  A fit that fails (does not converge, meets invalid values) takes its
row without disturbing the others (a start where the model is not finite
too: `fit` raises it, the batch records it as INVALID_VALUES); an
exception raised by the model stops the batch and propagates.
"""

from __future__ import annotations

import collections
import concurrent.futures
import dataclasses
import types
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _common, _compiled, _fit
from ._common import CONVERGED, StartNotFinite
from ._fit_api import (Bounds, Diff, FitResult, FloatArray, LinearConstraint, Loss, Model, Status, _check_options,
                       _Problem, _result, _Solver, fit, loss_weights, refused_start, statistics)

__all__ = ["fit_many", "FitBatch"]

# The arrays of a FitBatch, with the FitResult attribute each stacks.
_STACKED = ("p", "stderr", "cov", "chisq", "redchi", "status", "success", "nfev", "njev", "iterations")


@dataclasses.dataclass(eq=False, repr=False)
class FitBatch:
    """The outcome of `fit_many`: k fits of m parameters.

    Attributes
    ----------
    p, stderr : ndarray, shape (k, m)
        Parameters and standard errors of each fit (the fits' dtype).
    cov : ndarray, shape (k, m, m)
        Covariance of each fit's parameters.
    chisq, redchi : ndarray of float64, shape (k,)
    status : ndarray of int, shape (k,)
        Each fit's `Status`.
    success : ndarray of bool, shape (k,)
    nfev, njev, iterations : ndarray of int, shape (k,)

    ``len(batch)`` is k; ``batch[i]`` is the full `FitResult` of row i,
    the one `fit` returns for it (made on first access when the fits ran
    in C).
    """

    p: FloatArray
    stderr: FloatArray
    cov: FloatArray
    chisq: npt.NDArray[np.float64]
    redchi: npt.NDArray[np.float64]
    status: npt.NDArray[np.int_]
    success: npt.NDArray[np.bool_]
    nfev: npt.NDArray[np.int_]
    njev: npt.NDArray[np.int_]
    iterations: npt.NDArray[np.int_]
    # FitResults, or _LazyResults that make them
    results: Sequence[FitResult] = dataclasses.field(default_factory=list)

    @classmethod
    def from_results(cls, results: Iterable[FitResult]) -> FitBatch:
        """A batch of the `FitResult` list `results`, in its order."""
        results = list(results)
        if not results:
            raise ValueError("a batch needs at least one fit")
        columns = {}
        for name in _STACKED:
            values = [getattr(result, name) for result in results]
            columns[name] = np.array([int(v) for v in values]) if name == "status" else np.stack(values)
        return cls(**columns, results=results)

    @classmethod
    def concatenate(cls, batches: Iterable[FitBatch]) -> FitBatch:
        """One batch of the fits of `batches`, in order."""
        batches = list(batches)
        if not batches:
            raise ValueError("a batch needs at least one fit")
        columns = {name: np.concatenate([getattr(batch, name) for batch in batches]) for name in _STACKED}
        return cls(**columns, results=_LazyResults.joined([batch.results for batch in batches]))

    def __len__(self) -> int:
        return len(self.results)

    def __getitem__(self, i: int) -> FitResult:
        return self.results[i]

    def __iter__(self) -> Iterator[FitResult]:
        return iter(self.results)

    def failures(self) -> dict[Status, int]:
        """How many fits stopped for each reason other than convergence: a
        dict from `Status` to count, most frequent first."""
        counts = collections.Counter(Status(int(s)) for s, ok in zip(self.status, self.success) if not ok)
        return dict(counts.most_common())

    def summary(self) -> str:
        """How many fits converged, and why the others stopped."""
        failed = self.failures()
        text = f"{len(self)} fits: {int(self.success.sum())} converged, {sum(failed.values())} failed"
        if failed:
            text += " (" + ", ".join(f"{status.name} {count}" for status, count in failed.items()) + ")"
        return text

    def __repr__(self) -> str:
        return f"<FitBatch {self.summary()}>"


def fit_many(model: Model, p0: npt.ArrayLike, y: npt.ArrayLike, *, args: Sequence[Any] = (), jac: Model | None = None,
             sigma: npt.ArrayLike | None = None, absolute_sigma: bool = False, bounds: Bounds | None = None,
             eq: LinearConstraint | None = None, ineq: LinearConstraint | None = None, loss: Loss = "linear",
             f_scale: float = 1.0, diff: Diff = "forward", dtype: npt.DTypeLike = np.float64,
             vectorized: bool = False, workers: int | None = None, progress: bool = False, damping: float = 1e-3,
             step_tol: float | None = None, max_iterations: int = 1000,
             names: Sequence[str] | None = None) -> FitBatch:
    """Fit one model to each row of `y`.

    Every row is fitted as ``fit(model, p0_i, y_i, ...)`` would fit it
    with the same keywords (see `fit` for their meaning), and
    ``batch[i]`` equals that `FitResult`.  One exception: where the model
    or its Jacobian is not finite at a row's start, `fit` raises
    ValueError; the batch records that row as a fit that did not start
    (status INVALID_VALUES, the start as `p`, NaN statistics, the reason
    as its message) and goes on.

    Parameters
    ----------
    model : callable or compiled function
        As in `fit`: ``model(p, *args)`` returning n values, or a C
        function (a ctypes function pointer, a numba ``cfunc``, a SciPy
        ``LowLevelCallable``), for which no Python runs during the fits and
        `workers` threads share them; without bounds, `eq` or `ineq` (and
        unless ``diff='secant'``) every row is then fitted in one call into
        C, with the same results as row by row.  With ``vectorized=True``,
        ``model(P, *args)`` takes the parameters of several fits, P of shape
        (j, m), and returns their values, shape (j, n); `jac` then returns
        shape (j, n, m).
    p0 : array_like, shape (m,) or (k, m)
        Start of every fit, or of each.
    y : array_like, shape (k, n)
        One data set per row.  A Dask array (chunked along the rows) is
        fitted chunk by chunk on the current Dask scheduler; `p0` and
        `sigma`, when given per fit, may be Dask arrays too (see Notes).
    sigma : array_like, shape (n,) or (k, n), optional
        Standard deviations of the data, shared or per fit.
    args, jac, absolute_sigma, bounds, eq, ineq, loss, f_scale, diff, dtype : optional
        As in `fit`; bounds and constraints are shared by every fit.
    damping, step_tol, max_iterations, names : optional
        As in `fit`.
    vectorized : bool, optional
        The model (and `jac`) take the parameters of several fits at once
        (see `model`).  Without bounds, `eq` or `ineq`, all fits advance
        together: each round calls the model (or `jac`) once for every fit
        that needs it, P of shape (j, m) with j up to k (of the fits'
        dtype, as `fit` gives p); without `jac` the points of the
        difference Jacobians are among them.  Otherwise (and with
        ``diff='secant'``) the fits advance one at a time (P of shape
        (1, m)), at the speed of a loop of `fit`.
    workers : int, optional
        Threads that share the fits (default 1).  They run in parallel for
        a compiled model, which releases the interpreter lock while it
        iterates; a Python model holds it.  When a vectorized model's fits
        advance together, the calls stay one at a time and the threads
        share the fits' iterations between them.  The results do not
        depend on `workers`.
    progress : bool, optional
        Show a progress bar (needs tqdm).

    Returns
    -------
    FitBatch

    Raises
    ------
    ValueError, TypeError
        For invalid arguments, before any fit.
    Exception
        Whatever the model raises: the batch stops and it propagates.

    Notes
    -----
    With Dask, each chunk of rows becomes one task that runs ``fit_many``
    on it where the scheduler puts it (a ``dask.distributed.Client``
    included), and the chunks' batches are joined in order.  The model,
    `jac` and `args` travel to the workers, so there they must pickle:
    functions defined at module level do, lambdas and local functions do
    only with cloudpickle (which ``distributed`` uses), and compiled models
    (a C function's address is valid in one process only) do not: with a
    compiled model use the threaded scheduler or a local batch.
    """
    if _is_dask(y) or _is_dask(p0) or _is_dask(sigma):
        from ._many_dask import fit_many_dask
        return fit_many_dask(fit_many, model, p0, y, sigma,
                             dict(args=args, jac=jac, absolute_sigma=absolute_sigma, bounds=bounds, eq=eq, ineq=ineq,
                                  loss=loss, f_scale=f_scale, diff=diff, dtype=dtype, vectorized=vectorized,
                                  workers=workers, progress=False, damping=damping, step_tol=step_tol,
                                  max_iterations=max_iterations, names=names))
    y, starts, sigmas = _rows(p0, y, sigma)
    workers = _workers(workers)
    if _compiled.is_compiled(model) and not vectorized:
        # bound once: reading a carrier's address and checking its signature costs as much as a small fit
        m, n = starts.shape[1], y.shape[1]
        model = _compiled.resolve(model, dtype, m, n)
        jac = _compiled.resolve(jac, dtype, m, n, jacobian=True) if _compiled.is_compiled(jac) else jac
    if _compiled.is_compiled(model) and not vectorized and bounds is None and eq is None and ineq is None:
        batch = _compiled_batch(model, starts, y, sigma, dict(
            args=args, jac=jac, absolute_sigma=bool(absolute_sigma), loss=loss, f_scale=f_scale, diff=diff,
            dtype=dtype, damping=damping, step_tol=step_tol, max_iterations=max_iterations, names=names),
            workers, progress)
        if batch is not None:
            return batch
    if vectorized:
        if _compiled.is_compiled(model):
            raise TypeError("a compiled model is not vectorized: give vectorized=False")
        if bounds is None and eq is None and ineq is None:
            batch = _lockstep_batch(model, jac, starts, y, sigma, dict(
                args=args, absolute_sigma=bool(absolute_sigma), loss=loss, f_scale=f_scale, diff=diff, dtype=dtype,
                damping=damping, step_tol=step_tol, max_iterations=max_iterations, names=names), workers, progress)
            if batch is not None:
                return batch
        model, jac = _one_fit_at_a_time(model), None if jac is None else _one_fit_at_a_time(jac)
    options = dict(args=args, jac=jac, absolute_sigma=absolute_sigma, bounds=bounds, eq=eq, ineq=ineq, loss=loss,
                   f_scale=f_scale, diff=diff, dtype=dtype, damping=damping, step_tol=step_tol,
                   max_iterations=max_iterations, names=names)

    inequalities = 0 if ineq is None else np.atleast_2d(np.asarray(ineq[0], dtype=float)).shape[0]

    def fit_row(i):
        try:
            return fit(model, starts[i], y[i], sigma=sigmas[i], **options)
        except StartNotFinite as reason:  # a failed fit of its own, not an error of the batch
            return refused_start(starts[i], y.shape[1], inequalities, np.dtype(dtype), reason, absolute_sigma)

    k = y.shape[0]
    bar = _progress_bar(k) if progress else None
    try:
        if workers == 1:
            results = []
            for i in range(k):
                results.append(fit_row(i))
                if bar is not None:
                    bar.update(1)
        else:
            results = _threaded(fit_row, k, workers, bar)
    finally:
        if bar is not None:
            bar.close()
    return FitBatch.from_results(results)


def _compiled_batch(model, starts, y, sigma, options, workers, progress):
    """The batch of a compiled model fitted by the engine without
    constraints, every row in C (engine_solve_many); None for the fits the
    engine does not run (the numeric layer's own solvers), which go row by
    row.  The first row is checked as `fit` checks it, the others with it."""
    k, n = y.shape
    sigma = None if sigma is None else np.asarray(sigma, dtype=np.float64)
    problem, solver, weights = _batch_problem(model, starts, y, sigma, options)
    if solver.engine is None or solver.active_set:
        return None
    engine = _common.engine_arguments(solver.engine, None, None, problem.start, problem.dtype)
    tau, max_iter = solver.tolerances[0], solver.tolerances[4]
    starts = np.ascontiguousarray(starts, dtype=np.float64)

    def solve_rows(rows):
        w = weights if weights is None or weights.ndim == 1 else weights[rows]
        return _fit.engine_solve_many(problem.model, starts[rows], y[rows], problem.jac, w, options["diff"], tau,
                                      max_iter, engine, problem.dtype == np.float32, workers)

    if progress:
        out = _solved_with_progress(solve_rows, k)
    else:
        out = solve_rows(slice(None))
    return _batch_of(out, problem, starts, y, sigma, options)


def _lockstep_batch(model, jac, starts, y, sigma, options, workers, progress):
    """The batch of a vectorized model (and Jacobian, or differences)
    fitted by the engine without constraints, every fit advancing together:
    each round calls the model (or jac) once with the points of all the
    fits that ask for it (engine_solve_lockstep), and `workers` threads
    share the engine's work between the calls; in float32 the model gets
    P in float32, as `fit` gives it p.  None for the fits it does not run
    (the numeric layer's own solvers), which go one at a time."""
    one_model, one_jac = _one_fit_at_a_time(model), None if jac is None else _one_fit_at_a_time(jac)
    problem, solver, weights = _batch_problem(one_model, starts, y, sigma, dict(options, jac=one_jac))
    if solver.engine is None or solver.active_set:
        return None
    engine = _common.engine_arguments(solver.engine, None, None, problem.start, problem.dtype)
    tau, max_iter = solver.tolerances[0], solver.tolerances[4]
    starts = np.ascontiguousarray(starts, dtype=np.float64)
    args = tuple(options["args"])

    def solve_rows(rows):
        w = weights if weights is None or weights.ndim == 1 else weights[rows]
        return _fit.engine_solve_lockstep(model, starts[rows], y[rows], jac, args, w, options["diff"], tau, max_iter,
                                          engine, problem.dtype == np.float32, workers)

    out = _solved_with_progress(solve_rows, y.shape[0]) if progress else solve_rows(slice(None))
    return _batch_of(out, problem, starts, y, None if sigma is None else np.asarray(sigma, dtype=np.float64),
                     dict(options, jac=one_jac))


def _batch_problem(model, starts, y, sigma, options):
    """(problem, solver, weights) of a batch fitted by the engine: the
    arguments checked, the first row as `fit` checks it (the others with
    it), the solver `fit` would choose and the weights 1/sigma."""
    sigma = None if sigma is None else np.asarray(sigma, dtype=np.float64)
    _check_options(model, options["jac"], options["diff"], None, options["loss"], options["f_scale"])
    bad = np.argwhere(~np.isfinite(starts))
    if bad.size:
        raise ValueError(f"p0 must be finite: p0[{bad[0][0]}, {bad[0][1]}] is {starts[tuple(bad[0])]}")
    if sigma is not None and not (np.isfinite(sigma).all() and (sigma > 0).all()):
        raise ValueError("sigma must be positive and finite")
    problem = _Problem.checked(model, starts[0], y[0], options["args"], options["jac"],
                               None if sigma is None else sigma if sigma.ndim == 1 else sigma[0], None, None, None,
                               options["names"], _common.fit_dtype(options["dtype"]))
    solver = _Solver.chosen(problem, options["diff"], None, options["loss"], float(options["f_scale"]),
                            options["damping"], 0.0, options["step_tol"], 0.0, options["max_iterations"])
    return problem, solver, None if sigma is None else 1.0 / sigma  # as fit weights each row


def _solved_with_progress(solve_rows, k):
    """engine_solve_many's arrays for rows 0..k-1, solved in about a hundred
    parts so that a progress bar can follow them."""
    bar = _progress_bar(k)
    parts = []
    try:
        step = max(1, k // 100)
        for first in range(0, k, step):
            parts.append(solve_rows(slice(first, min(first + step, k))))
            bar.update(min(step, k - first))
    finally:
        bar.close()
    return {name: np.concatenate([part[name] for part in parts]) for name in parts[0]}


def _batch_of(out, problem, starts, y, sigma, options):
    """The FitBatch of engine_solve_many's arrays `out`: the statistics as
    `fit` computes them, stacked; ``batch[i]`` made on first access."""
    dtype, loss, f_scale, absolute_sigma = problem.dtype, options["loss"], float(options["f_scale"]), \
        options["absolute_sigma"]
    k, n = y.shape
    r, chisq = out["r"], out["chisq"]
    if loss == "linear":
        loss_chisq = chisq
    else:  # row by row, as fit sums it
        loss_chisq = np.array([float(loss_weights(loss, r[i], f_scale) @ r[i] ** 2) for i in range(k)])
    cov = out["cov"].copy()  # out's stays unscaled for the FitResults
    stats = statistics(out["info"][:, 6].astype(int), out["p"], out["f"], cov, chisq, out["free"], n, loss_chisq,
                       absolute_sigma)
    columns = dict(p=out["p"].copy(), stderr=stats.stderr.astype(dtype), cov=cov.astype(dtype), chisq=chisq.copy(),
                   redchi=stats.redchi, status=stats.status, success=np.isin(stats.status, list(CONVERGED)),
                   nfev=out["nfev"].astype(int), njev=out["njev"].astype(int),
                   iterations=out["info"][:, 5].astype(int))

    _refuse_unstarted_rows(columns, out, starts, dtype)
    rows = _BatchRows(problem, out, starts, y, sigma, absolute_sigma, loss, f_scale)
    return FitBatch(**columns, results=_LazyResults(k, rows))


@dataclasses.dataclass
class _BatchRows:
    """Makes the FitResult of row i of a batch fitted in C from its arrays
    `out`, as `fit` makes it; it pickles when the model does."""

    problem: _Problem
    out: dict[str, np.ndarray]
    starts: np.ndarray
    y: np.ndarray
    sigma: np.ndarray | None
    absolute_sigma: bool
    loss: str
    f_scale: float

    def __call__(self, i: int) -> FitResult:
        out, starts = self.out, self.starts
        row = dataclasses.replace(self.problem, y=self.y[i], start=starts[i])
        solution = types.SimpleNamespace(
            p=out["p"][i].copy(), f=out["f"][i].copy(), J=out["J"][i].copy(), info=out["info"][i].copy(),
            nfev=int(out["nfev"][i]), njev=int(out["njev"][i]), r=out["r"][i].copy(), chisq=float(out["chisq"][i]),
            cov=out["cov"][i].copy(), rank=int(out["rank"][i]), free=int(out["free"][i]),
            total=float(out["total"][i]), active_bounds=np.zeros(starts.shape[1], dtype=np.int8),
            active_ineq=np.zeros(0, dtype=bool))
        try:
            _common.raise_if_start_not_finite(solution, starts[i])
        except StartNotFinite as reason:  # a failed fit of its own, as fit_many reports it row by row
            return refused_start(starts[i], self.y.shape[1], 0, self.problem.dtype, reason, self.absolute_sigma)
        sigma = self.sigma
        sigma_i = None if sigma is None else sigma if sigma.ndim == 1 else sigma[i]
        return _result(row, solution, sigma_i, self.absolute_sigma, self.loss, self.f_scale)


def _refuse_unstarted_rows(columns, out, starts, dtype):
    """The rows where the model or its Jacobian is not finite at the start
    (`fit` raises for them) as `refused_start` reports them: the start, NaN
    statistics, INVALID_VALUES, one model call."""
    info = out["info"]
    p_start = starts.astype(dtype)
    unstarted = ((info[:, 6] == int(Status.INVALID_VALUES)) & (info[:, 5] == 0)
                 & (out["p"] == p_start).all(axis=1)
                 & ~(np.isfinite(out["f"]).all(axis=1) & np.isfinite(out["J"]).all(axis=(1, 2))))
    if not unstarted.any():
        return
    columns["p"][unstarted] = p_start[unstarted]
    for name in ("stderr", "cov", "chisq", "redchi"):
        columns[name][unstarted] = np.nan
    columns["status"][unstarted] = int(Status.INVALID_VALUES)
    columns["success"][unstarted] = False
    columns["nfev"][unstarted], columns["njev"][unstarted], columns["iterations"][unstarted] = 1, 0, 0


class _LazyResults(Sequence):
    """The FitResults of a batch, each made by ``make(i)`` when first asked
    for and kept.  Pickled as the list of all of them, unless `portable`:
    then as `make` itself, whose arrays pickle far faster than k FitResults
    are made (a Dask task's batch travels so, its model having travelled
    to the task already)."""

    def __init__(self, k, make, portable=False):
        self._k = k
        self._make = make
        self._made = {}
        self.portable = portable

    @classmethod
    def joined(cls, parts):
        """The results of `parts` (sequences of FitResults) one after the other."""
        return cls(sum(len(part) for part in parts), _JoinedRows(list(parts)),
                   portable=all(getattr(part, "portable", False) for part in parts))

    def __len__(self):
        return self._k

    def __getitem__(self, i):
        if isinstance(i, slice):
            return [self[j] for j in range(*i.indices(self._k))]
        i = int(i)
        if not -self._k <= i < self._k:
            raise IndexError(f"fit {i} of a batch of {self._k}")
        i %= self._k
        if i not in self._made:
            self._made[i] = self._make(i)
        return self._made[i]

    def __reduce__(self):
        if self.portable:
            return _LazyResults, (self._k, self._make, True)
        return list, (list(self),)


class _JoinedRows:
    """Row i of several sequences of FitResults laid one after the other."""

    def __init__(self, parts):
        self.parts = parts
        self.offsets = np.cumsum([0] + [len(part) for part in parts])

    def __call__(self, i):
        j = int(np.searchsorted(self.offsets, i, side="right")) - 1
        return self.parts[j][i - int(self.offsets[j])]


def _threaded(fit_row, k, workers, bar):
    """The fits of rows 0..k-1 by `workers` threads, in row order; the first
    exception raised cancels the fits not yet started and propagates."""
    results = [None] * k
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        futures = {pool.submit(fit_row, i): i for i in range(k)}
        try:
            for future in concurrent.futures.as_completed(futures):
                results[futures[future]] = future.result()
                if bar is not None:
                    bar.update(1)
        except BaseException:
            for future in futures:
                future.cancel()
            raise
    return results


class _OneFitAtATime:
    """A vectorized model (parameters of shape (j, m) in, (j, ...) out)
    evaluated for one fit: ``model(p[None], *args)[0]``."""

    def __init__(self, function):
        self.function = function

    def __call__(self, p, *args):
        return np.asarray(self.function(np.asarray(p)[None, :], *args))[0]


def _one_fit_at_a_time(function):
    if not callable(function):
        raise TypeError("model and jac must be callable")
    return _OneFitAtATime(function)


def _rows(p0, y, sigma):
    """(y (k, n), starts (k, m), sigmas: k entries, each (n,) or None)."""
    y = np.asarray(y, dtype=np.float64)
    if y.ndim != 2 or y.shape[0] == 0 or y.shape[1] == 0:
        raise ValueError(f"y must have shape (k, n) with k, n >= 1, not {y.shape}")
    bad = np.argwhere(~np.isfinite(y))
    if bad.size:  # refused before any fit, not after the rows before it
        raise ValueError(f"y must be finite: y[{bad[0][0]}, {bad[0][1]}] is {y[tuple(bad[0])]}")
    k, n = y.shape
    p0 = np.asarray(p0, dtype=np.float64)
    if p0.ndim == 1:
        starts = np.broadcast_to(p0, (k, p0.shape[0]))
    elif p0.ndim == 2 and p0.shape[0] == k:
        starts = p0
    else:
        raise ValueError(f"p0 must have shape (m,) or ({k}, m), not {p0.shape}")
    if sigma is None:
        return y, starts, [None] * k
    sigma = np.asarray(sigma, dtype=np.float64)
    if sigma.shape == (n,):
        return y, starts, [sigma] * k
    if sigma.shape == (k, n):
        return y, starts, list(sigma)
    raise ValueError(f"sigma must have shape ({n},) or ({k}, {n}), not {sigma.shape}")


def _workers(workers):
    if workers is None:
        return 1
    if isinstance(workers, bool) or not isinstance(workers, (int, np.integer)) or workers < 1:
        raise ValueError(f"workers must be a positive int or None, not {workers!r}")
    return int(workers)


def _progress_bar(total):
    try:
        from tqdm.auto import tqdm
    except ImportError:
        raise ImportError("progress=True needs tqdm: pip install tqdm (or 'ombrix[progress]')") from None
    return tqdm(total=total, unit="fit")


def _is_dask(obj):
    return type(obj).__module__.startswith("dask.") and hasattr(obj, "chunks") and hasattr(obj, "to_delayed")
