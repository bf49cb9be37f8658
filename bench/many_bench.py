"""Thousands of small fits: ombrix.fit_many against a loop of SciPy's curve_fit.

    pip install ".[bench,bench-jax]"        # scipy, dask, distributed, numba; jax, optimistix
    python -P bench/many_bench.py           # writes bench/results/many.md

The problem: a 2-D Gaussian on a 5 x 5 grid, parameters (amplitude, x0,
y0, sigma, offset) = (10, 2, 2, 1, 1), Gaussian noise of standard
deviation 1, each start within +-20 % of the truth, analytic Jacobians,
FITS fits, one BLAS thread.  Each fit's data are drawn from
numpy's default_rng(0).

Compared, in one run: a loop of scipy.optimize.curve_fit (on the first
SCIPY_FITS rows; its rate is per fit), a loop of ombrix.fit, fit_many with
the NumPy model vectorized over the fits, fit_many with the model compiled
by numba (a cfunc) with workers=1 and 2 (every row in one call into C),
fit_many on Dask arrays on a two-worker LocalCluster (processes; the NumPy
model, since a compiled model cannot travel), whose overhead is its time
less half that of the same fits in one process, and, when installed,
JAX's vmap of optimistix's Levenberg-Marquardt over all fits (float64,
rtol = atol = 1e-10, standard errors from the Jacobian at the solution;
timed after its compilation, which is reported apart).

'Converged to the truth': every parameter within 5 of its standard errors
of the truth (the standard errors each method reports: curve_fit's pcov,
fit_many's stderr), with finite errors.  A profile of the compiled run
closes the report.
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import cProfile  # noqa: E402
import io  # noqa: E402
import math  # noqa: E402
import pstats  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402

import numpy as np  # noqa: E402

import ombrix  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import machine  # noqa: E402

FITS = 20_000
SCIPY_FITS = 2_000
SCIPY_XTOL = 1.5e-8  # curve_fit's default xtol (and ftol, gtol)
TARGETS = {"fit_many, vectorized NumPy model, workers=1": 50, "fit_many, numba cfunc, workers=2": 100}
TRUTH = np.array([10.0, 2.0, 2.0, 1.0, 1.0])
GX, GY = (axis.ravel().astype(float) for axis in np.meshgrid(np.arange(5), np.arange(5)))
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", "many.md")


def gauss(p):
    a, x0, y0, s, c = p
    return a * np.exp(-((GX - x0) ** 2 + (GY - y0) ** 2) / (2 * s * s)) + c


def gauss_jac(p):
    a, x0, y0, s, c = p
    dx, dy = GX - x0, GY - y0
    e = np.exp(-(dx * dx + dy * dy) / (2 * s * s))
    return np.column_stack([e, a * e * dx / (s * s), a * e * dy / (s * s), a * e * (dx * dx + dy * dy) / s**3,
                            np.ones_like(e)])


def gauss_vectorized(P):
    a, x0, y0, s, c = (P[:, j:j + 1] for j in range(5))
    return a * np.exp(-((GX - x0) ** 2 + (GY - y0) ** 2) / (2 * s * s)) + c


def gauss_jac_vectorized(P):
    a, x0, y0, s, c = (P[:, j:j + 1] for j in range(5))
    dx, dy = GX - x0, GY - y0
    e = np.exp(-(dx * dx + dy * dy) / (2 * s * s))
    return np.stack([e, a * e * dx / (s * s), a * e * dy / (s * s), a * e * (dx * dx + dy * dy) / s**3,
                     np.ones_like(e)], axis=-1)


def problem():
    rng = np.random.default_rng(0)
    y = gauss(TRUTH)[None, :] + rng.normal(0, 1, (FITS, GX.size))
    p0 = TRUTH * rng.uniform(0.8, 1.2, (FITS, 5))
    return p0, y


def compiled_models():
    """The numba cfuncs of the model and its Jacobian, or None without numba."""
    try:
        import numba
    except ImportError:
        return None
    signature = numba.types.void(numba.types.CPointer(numba.types.double), numba.types.CPointer(numba.types.double),
                                 numba.types.intc, numba.types.intc, numba.types.voidptr)

    @numba.cfunc(signature, cache=False)
    def model(p, out, m, n, user_data):
        for i in range(n):
            dx, dy = i % 5 - p[1], i // 5 - p[2]
            out[i] = p[0] * math.exp(-(dx * dx + dy * dy) / (2 * p[3] * p[3])) + p[4]

    @numba.cfunc(signature, cache=False)
    def jac(p, out, m, n, user_data):
        for i in range(n):
            dx, dy = i % 5 - p[1], i // 5 - p[2]
            s2 = p[3] * p[3]
            e = math.exp(-(dx * dx + dy * dy) / (2 * s2))
            out[i * m] = e
            out[i * m + 1] = p[0] * e * dx / s2
            out[i * m + 2] = p[0] * e * dy / s2
            out[i * m + 3] = p[0] * e * (dx * dx + dy * dy) / (s2 * p[3])
            out[i * m + 4] = 1.0

    return model, jac


def to_truth(p, stderr):
    ok = np.isfinite(stderr).all(axis=1) & (np.abs(p - TRUTH) <= 5 * stderr).all(axis=1)
    return float(ok.mean())


def timed(run):
    start = time.perf_counter()
    out = run()
    return out, time.perf_counter() - start


def scipy_loop(p0, y):
    from scipy.optimize import curve_fit

    def model(_, *p):
        return gauss(p)

    def jac(_, *p):
        return gauss_jac(p)

    ps, errors = [], []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for i in range(p0.shape[0]):
            try:
                popt, pcov = curve_fit(model, None, y[i], p0=p0[i], jac=jac)
            except RuntimeError:
                popt, pcov = np.full(5, np.nan), np.full((5, 5), np.nan)
            ps.append(popt)
            errors.append(np.sqrt(np.abs(np.diag(pcov))))
    return np.array(ps), np.array(errors)


def fit_loop(p0, y):
    results = [ombrix.fit(gauss, p0[i], y[i], jac=gauss_jac) for i in range(p0.shape[0])]
    return np.array([r.p for r in results]), np.array([r.stderr for r in results])


def model_time(p0, y):
    """Seconds spent in the vectorized model and jac during fit_many's
    vectorized run (cProfile's cumulative times of the two functions)."""
    profiler = cProfile.Profile()
    profiler.enable()
    ombrix.fit_many(gauss_vectorized, p0, y, jac=gauss_jac_vectorized, vectorized=True)
    profiler.disable()
    stats = pstats.Stats(profiler).stats
    return sum(entry[3] for (_, _, name), entry in stats.items()
               if name in (gauss_vectorized.__name__, gauss_jac_vectorized.__name__))


def jax_run(p0, y):
    """(p, stderr, seconds after compilation, seconds of the compilation), or None without jax and optimistix."""
    try:
        import jax
        import jax.numpy as jnp
        import optimistix as optx
    except ImportError:
        return None
    jax.config.update("jax_enable_x64", True)
    gx, gy = jnp.asarray(GX), jnp.asarray(GY)

    def residuals(p, data):
        a, x0, y0, s, c = p
        return a * jnp.exp(-((gx - x0) ** 2 + (gy - y0) ** 2) / (2 * s * s)) + c - data

    solver = optx.LevenbergMarquardt(rtol=1e-10, atol=1e-10)

    def one(p, data):
        p = optx.least_squares(residuals, solver, p, args=data, throw=False, max_steps=1000).value
        J, r = jax.jacfwd(residuals)(p, data), residuals(p, data)
        cov = jnp.linalg.inv(J.T @ J) * (r @ r) / (r.size - p.size)
        return p, jnp.sqrt(jnp.abs(jnp.diag(cov)))

    solve = jax.jit(jax.vmap(one))
    _, first = timed(lambda: solve(p0, y)[0].block_until_ready())
    (p, e), seconds = timed(lambda: [np.asarray(a) for a in solve(p0, y)])
    return p, e, seconds, first - seconds


def dask_run(p0, y):
    try:
        import dask.array as da
        from distributed import Client, LocalCluster
    except ImportError:
        return None
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster):
        chunks = FITS // 8
        batch, seconds = timed(lambda: ombrix.fit_many(gauss_vectorized, da.from_array(p0, chunks=(chunks, 5)),
                                                       da.from_array(y, chunks=(chunks, GX.size)),
                                                       jac=gauss_jac_vectorized, vectorized=True))
    return batch, seconds


def main():
    p0, y = problem()
    rows = []

    (p, e), seconds = timed(lambda: scipy_loop(p0[:SCIPY_FITS], y[:SCIPY_FITS]))
    scipy_rate = SCIPY_FITS / seconds
    rows.append(("scipy curve_fit loop", SCIPY_FITS, seconds, scipy_rate, to_truth(p, e)))

    (p, e), seconds = timed(lambda: fit_loop(p0, y))
    rows.append(("ombrix.fit loop", FITS, seconds, FITS / seconds, to_truth(p, e)))

    model_seconds = model_time(p0, y)
    for workers in (1, 2):
        batch, seconds = timed(lambda: ombrix.fit_many(gauss_vectorized, p0, y, jac=gauss_jac_vectorized,
                                                       vectorized=True, workers=workers))
        rows.append((f"fit_many, vectorized NumPy model, workers={workers}", FITS, seconds, FITS / seconds,
                     to_truth(batch.p, batch.stderr)))
        if workers == 1:
            vectorized = batch

    compiled = compiled_models()
    profile_text = "numba is not installed: no compiled run"
    if compiled is not None:
        model, jac = compiled
        for workers in (1, 2):
            batch, seconds = timed(lambda: ombrix.fit_many(model, p0, y, jac=jac, workers=workers))
            rows.append((f"fit_many, numba cfunc, workers={workers}", FITS, seconds, FITS / seconds,
                         to_truth(batch.p, batch.stderr)))
        difference = float(np.nanmax(np.abs(batch.p - vectorized.p) / np.abs(vectorized.p)))
        per_fit = (seconds * 2 / FITS * 1e6, batch.iterations.mean(), batch.nfev.mean(), batch.njev.mean())
        # curve_fit stops once a step is below 1.5e-8 of the parameters; the
        # same stop, instead of the run to the rounding level
        loose, seconds = timed(lambda: ombrix.fit_many(model, p0, y, jac=jac, workers=2, step_tol=SCIPY_XTOL))
        rows.append((f"fit_many, numba cfunc, workers=2, step_tol={SCIPY_XTOL:g} (curve_fit's)", FITS, seconds,
                     FITS / seconds, to_truth(loose.p, loose.stderr)))
        loose_difference = float(np.nanmax(np.abs(loose.p - batch.p) / loose.stderr))
        loose_iterations = loose.iterations.mean()
        profiler = cProfile.Profile()
        profiler.enable()
        ombrix.fit_many(model, p0[:2000], y[:2000], jac=jac, workers=1)
        profiler.disable()
        stream = io.StringIO()
        pstats.Stats(profiler, stream=stream).sort_stats("tottime").print_stats(12)
        profile_text = stream.getvalue().strip()

    jax_outcome = jax_run(p0, y)
    if jax_outcome is not None:
        p, e, seconds, compile_seconds = jax_outcome
        rows.append(("JAX vmap of optimistix LevenbergMarquardt", FITS, seconds, FITS / seconds, to_truth(p, e)))

    dask_outcome = dask_run(p0, y)
    if dask_outcome is not None:
        batch, seconds = dask_outcome
        rows.append(("fit_many on Dask, LocalCluster of 2 processes", FITS, seconds, FITS / seconds,
                     to_truth(batch.p, batch.stderr)))
        local = [r for r in rows if r[0].startswith("fit_many, vectorized")][0]
        dask_overhead = seconds - local[2] / 2  # against the same fits shared perfectly by two processes

    lines = ["# Thousands of fits: fit_many against a loop of SciPy's curve_fit", "",
             "Generated by `python -P bench/many_bench.py` (see its docstring for the setup): a 2-D Gaussian on a "
             f"5 x 5 grid, {FITS} fits, analytic Jacobians, one BLAS thread.", "",
             f"Machine: {machine.describe()}.", "",
             "| method | fits | seconds | fits/s | vs SciPy loop | converged to the truth |",
             "|---|---|---|---|---|---|"]
    for name, count, seconds, rate, fraction in rows:
        lines.append(f"| {name} | {count} | {seconds:.2f} | {rate:,.0f} | {rate / scipy_rate:.1f}x | "
                     f"{fraction:.1%} |")
    if compiled is not None:
        lines += ["", f"Largest relative difference of the compiled run's parameters from the vectorized run's: "
                  f"{difference:.1e} (numba's exp and NumPy's may differ in the last bit).",
                  "", "Each compiled fit took {:.0f} us of a core (workers=2): {:.1f} iterations, {:.1f} model "
                  "calls and {:.1f} Jacobians on average.".format(*per_fit),
                  "", f"At curve_fit's step tolerance the compiled fits took {loose_iterations:.1f} iterations; "
                  f"their parameters differ from the run to the rounding level by at most {loose_difference:.1e} "
                  "of their standard errors."]
    lines += ["", f"In the vectorized run the model and jac calls alone took {model_seconds:.2f} s (under the "
              f"profiler): with no solver work at all, NumPy's evaluations cap that form at "
              f"{FITS / model_seconds / scipy_rate:.0f}x the SciPy loop."]
    lines += ["", "## Targets", "", "| method | target | measured | |", "|---|---|---|---|"]
    for name, target in TARGETS.items():
        measured = [rate / scipy_rate for row_name, _, _, rate, _ in rows if row_name == name]
        if measured:
            lines.append(f"| {name} | {target}x | {measured[0]:.1f}x | {'met' if measured[0] >= target else 'missed'} |")
    if jax_outcome is not None:
        lines += ["", f"JAX compiled its vmapped solver in {compile_seconds:.1f} s before the timed run."]
    if dask_outcome is not None:
        lines += ["", f"Dask overhead: {dask_overhead:.2f} s over half the time of the same fits in one process "
                  "(two workers sharing them perfectly; starting the cluster not counted)."]
    lines += ["", "## Profile of the compiled run (2000 fits, one thread, by own time)", "", "```",
              profile_text, "```", ""]
    os.makedirs(os.path.dirname(OUT), exist_ok=True)
    with open(OUT, "w") as f:
        f.write("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
