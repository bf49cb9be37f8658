"""The trust-region engine on the More-Garbow-Hillstrom least-squares set,
against SciPy's trust-region-reflective and Levenberg-Marquardt solvers.

    pip install ".[bench]"          # scipy
    python -P bench/mgh_bench.py    # writes bench/results/mgh.md

Every problem of bench/mgh.py is solved from x0, 10 x0 and 100 x0 (the
vector of 10s and 100s where x0 is zero) with its analytic Jacobian by
  - dombrix_solve through ctypes with its default options, except the
    budget below;
  - scipy.optimize.least_squares(method="trf") and (method="lm") with the
    default tolerances.
All three get the same budget of BUDGET evaluations (max_nfev for SciPy;
max_evaluations and max_iterations for the engine) and the same NumPy
functions; calls are counted by wrappers around those functions, so every
solver is counted alike.  The final sum of squares is recomputed from the
returned point.  Rule for "solved" in RULE below.  One BLAS thread.
A last section runs the engine with one option changed (VARIANTS: the
scaling, the tolerances), to show where its results come from.
"""

import os

os.environ["OPENBLAS_NUM_THREADS"] = "1"  # before NumPy loads

import ctypes  # noqa: E402
import datetime  # noqa: E402
import functools  # noqa: E402
import platform  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)  # bench/mgh.py and bench/machine.py, also under python -P
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))  # the ctypes helpers of the tests
import capi  # noqa: E402
import engine_capi  # noqa: E402
import machine  # noqa: E402
import mgh  # noqa: E402

try:
    import scipy
    from scipy.optimize import least_squares
except ImportError:  # pragma: no cover - message for a missing extra
    sys.exit("bench/mgh_bench.py needs SciPy: pip install '.[bench]'")

RESULTS = os.path.join(HERE, "results")
COMMAND = "python -P bench/mgh_bench.py"
BUDGET = 10000
FACTORS = (1, 10, 100)
RELATIVE = 1e-5   # f* > 0: |f - f*| <= RELATIVE f*
ABSOLUTE = 1e-10  # f* = 0: f <= ABSOLUTE (1 + f(x0)), x0 the standard start
RULE = (f"solved: |f - f*| <= {RELATIVE:g} f* when f* > 0, and f <= {ABSOLUTE:g} (1 + f(x0)) when f* = 0 "
        "(f the final sum of squares, f(x0) at the standard start, whatever the scaled start); a final f below "
        "f* by more than that is a lower minimum than the paper's, marked 'below f*' and not counted")
SOLVERS = ("engine", "trf", "lm")


class Tally:
    """Calls of one run's function and Jacobian, and the total of both at the
    first function value that meets the rule for solved (None until then)."""

    def __init__(self, problem):
        self.problem, self.nfev, self.njev, self.to_solved = problem, 0, 0, None

    def function(self, x):
        self.nfev += 1
        values = self.problem.residuals(x)
        if self.to_solved is None and solved(self.problem, float(np.sum(np.square(values)))):
            self.to_solved = self.nfev + self.njev
        return values

    def jacobian(self, x):
        self.njev += 1
        return self.problem.jacobian(x)


def solved(problem, f):
    if not np.isfinite(f):
        return False
    if problem.fstar > 0:
        return abs(f - problem.fstar) <= RELATIVE * problem.fstar
    return f <= ABSOLUTE * (1 + problem.f(problem.x0))


def where_it_ends(problem, f):
    """A short name for a final f that is not the known minimum."""
    if not np.isfinite(f):
        return "not finite"
    for other in problem.other_minima:
        if abs(f - other) <= 1e-4 * other:
            return f"other minimum {other:g}"
    if problem.fstar > 0 and f < problem.fstar:
        return "below f*"
    return ""


def c_callback(function, size):
    """A C callback writing function(p) (a counted function) to the solver's output."""

    def trampoline(p, out, m, n, user_data):
        values = function(np.ctypeslib.as_array(p, shape=(m,)).copy())
        np.ctypeslib.as_array(out, shape=(size(m, n),))[:] = np.asarray(values, dtype=np.float64).ravel()

    return capi.callback_type("d")(trampoline)


def run_engine(problem, start, fun, jac, **changes):
    p = np.array(start, dtype=np.float64)
    options = engine_capi.default_options("d")
    options.max_evaluations = options.max_iterations = BUDGET
    for key, value in changes.items():
        setattr(options, key, value)
    f_cb = c_callback(fun, lambda m, n: n)
    j_cb = c_callback(jac, lambda m, n: n * m)
    result = engine_capi.Result()
    capi.lib.dombrix_solve(f_cb, j_cb, capi.ptr(p), None, None, problem.n, problem.m, ctypes.byref(options),
                           ctypes.byref(result), None, None)
    return p, (result.message or b"").decode()


def run_scipy(method):
    def run(problem, start, fun, jac):
        try:
            r = least_squares(fun, start, jac=jac, method=method, max_nfev=BUDGET)
        except ValueError as error:  # e.g. residuals not finite at the start
            return np.full(problem.n, np.nan), f"error: {error}"
        return r.x, f"status {r.status}"
    return run


RUNNERS = {"engine": run_engine, "trf": run_scipy("trf"), "lm": run_scipy("lm")}
# The engine with one option changed, to show where its results come from.
VARIANTS = {"engine, scaling column norms": dict(scaling=engine_capi.SCALINGS["column_norms"]),
            "engine, scaling identity": dict(scaling=engine_capi.SCALINGS["identity"]),
            "engine, ftol = xtol = gtol = 1e-8": dict(ftol=1e-8, xtol=1e-8, gtol=1e-8)}
RUNNERS.update({name: functools.partial(run_engine, **changes) for name, changes in VARIANTS.items()})


def solve(name, problem, start):
    """One run of solver `name`: dict of solved, f, nfev, njev, to_solved, status and note."""
    tally = Tally(problem)
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        x, status = RUNNERS[name](problem, start, tally.function, tally.jacobian)
        f = problem.f(x) if np.all(np.isfinite(x)) else np.nan
    done = solved(problem, f)
    return dict(solved=done, f=f, nfev=tally.nfev, njev=tally.njev, status=status,
                to_solved=tally.to_solved if done else None,
                note=where_it_ends(problem, f) if not done else "")


def run_all():
    runs = []
    for problem in mgh.problems():
        for factor in FACTORS:
            start = problem.start(factor)
            runs.append((problem, factor, {name: solve(name, problem, start) for name in RUNNERS}))
    return runs


def cell(run):
    mark = "yes" if run["solved"] else "**no**"
    note = f" ({run['note']})" if run["note"] else ""
    return f"{mark} | {run['f']:.6g}{note} | {run['nfev']} + {run['njev']}"


# "until solved": the evaluations a solved run had made when its sum of
# squares first met the rule, summed over the solved runs; the rest of its
# evaluations refine a minimum already found to the rule's 5 digits.
TOTALS_HEADER = ("| solver | solved | function evals | Jacobian evals | total evals | total evals until solved |\n"
                 "|---|---|---|---|---|---|")


def totals(runs, names, select=lambda results: True):
    chosen = [results for _, _, results in runs if select(results)]
    rows = []
    for name in names:
        nfev = sum(r[name]["nfev"] for r in chosen)
        njev = sum(r[name]["njev"] for r in chosen)
        count = sum(r[name]["solved"] for r in chosen)
        to_solved = sum(r[name]["to_solved"] for r in chosen if r[name]["solved"])
        rows.append(f"| {name} | {count} / {len(chosen)} | {nfev} | {njev} | {nfev + njev} | {to_solved} |")
    return rows


def target_section(runs):
    """The target against trf, met or missed, and where the engine's
    evaluations until solved go."""
    def total(name, key):
        return sum(r[name][key] or 0 for _, _, r in runs)

    solved = {name: sum(r[name]["solved"] for _, _, r in runs) for name in ("engine", "trf")}
    evals = {name: total(name, "nfev") + total(name, "njev") for name in ("engine", "trf")}
    until = {name: total(name, "to_solved") for name in ("engine", "trf")}
    met = solved["engine"] >= solved["trf"] and evals["engine"] <= evals["trf"]
    out = ["", "## Target", "",
           "At least as many runs solved as trf, with no more evaluations in total: "
           f"**{'met' if met else 'missed'}** (engine {solved['engine']} solved with {evals['engine']} evaluations, "
           f"trf {solved['trf']} with {evals['trf']}).", "",
           f"Until solved, the engine's solved runs took {until['engine']} evaluations and trf's {until['trf']}; "
           "the runs where the engine takes most beyond trf (evaluations until solved, engine against trf, "
           "runs both solve):", ""]
    both = [(problem, factor, r) for problem, factor, r in runs if r["engine"]["solved"] and r["trf"]["solved"]]
    both.sort(key=lambda run: run[2]["trf"]["to_solved"] - run[2]["engine"]["to_solved"])
    for problem, factor, r in both[:6]:
        start = "x0" if factor == 1 else f"{factor} x0"
        out.append(f"- {problem.name} from {start}: {r['engine']['to_solved']} against {r['trf']['to_solved']}")
    common = [r for _, _, r in runs if all(r[name]["solved"] for name in ("engine", "trf"))]
    out += ["", f"On the {len(common)} runs both solve, the engine takes "
            f"{sum(r['engine']['nfev'] + r['engine']['njev'] for r in common)} evaluations in all and trf "
            f"{sum(r['trf']['nfev'] + r['trf']['njev'] for r in common)}; the totals above are close because trf "
            "spends its whole budget on the runs it does not solve."]
    out += ["", "Beyond that point the engine refines to the rounding level of the sum of squares (its default "
            "tolerances), trf stops at its default tolerances of 1e-8.  The engine damps by the column norms of "
            "J (D), trf with its default x_scale=1 not at all; 'scaling identity' below is the engine without "
            "that scaling.  Where the column norms change by orders of magnitude along the path (Meyer, "
            "Chebyquad from far starts, Brown-Dennis) the scaled damping takes many short steps."]
    if not met:
        out += ["", "### Missed, and why", "",
                "- See the runs above: the evaluations go to the problems whose column norms change by orders of "
                "magnitude on the way."]
    return out


def report(runs, seconds):
    out = ["# The More-Garbow-Hillstrom least-squares set: engine, SciPy trf and lm", "",
           f"Generated by `{COMMAND}` on {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC "
           f"in {seconds:.0f} s (see the script's docstring for the setup).", "",
           f"Machine: {machine.describe()}; one BLAS thread.  Python {platform.python_version()}, "
           f"NumPy {np.__version__}, SciPy {scipy.__version__}.", "",
           "'engine' is `dombrix_solve` with its default options, 'trf' and 'lm' are "
           "`scipy.optimize.least_squares(method=...)` with the default tolerances; all with the analytic "
           f"Jacobian and a budget of {BUDGET} evaluations.  Starts x0, 10 x0, 100 x0 (all 10s or 100s where x0 "
           f"is zero).  Sizes: {mgh.SIZES}.", "",
           f"Rule: {RULE}.  Evaluations: function + Jacobian calls.  A run that ends at another local minimum "
           "reported in the paper says so.", "",
           "## Runs", "",
           "| problem | n | m | start | f* | engine | f | evals | engine status | trf | f | evals | lm | f | evals |",
           "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for problem, factor, results in runs:
        start = "x0" if factor == 1 else f"{factor} x0"
        engine = results["engine"]
        out.append(f"| {problem.name} | {problem.n} | {problem.m} | {start} | {problem.fstar:g} | {cell(engine)} | "
                   f"{engine['status']} | {cell(results['trf'])} | {cell(results['lm'])} |")
    out += ["", "## Totals", "", "All runs:", "",
            TOTALS_HEADER]
    out += totals(runs, SOLVERS)
    out += ["", "Runs that all three solve (evaluations on equal terms):", "",
            TOTALS_HEADER]
    out += totals(runs, SOLVERS, lambda results: all(results[name]["solved"] for name in SOLVERS))
    out += target_section(runs)
    out += ["", "## Engine against trf", "",
            "Runs that one of the two solves and the other does not, and runs where the engine takes more than "
            "twice the evaluations of trf:", ""]
    for problem, factor, results in runs:
        engine, trf = results["engine"], results["trf"]
        start = "x0" if factor == 1 else f"{factor} x0"
        engine_evals, trf_evals = engine["nfev"] + engine["njev"], trf["nfev"] + trf["njev"]
        if trf["solved"] and not engine["solved"]:
            out.append(f"- {problem.name} from {start}: solved by trf, not by the engine "
                       f"(f = {engine['f']:.6g}, {engine['status']})")
        elif engine["solved"] and not trf["solved"]:
            out.append(f"- {problem.name} from {start}: solved by the engine, not by trf (f = {trf['f']:.6g})")
        elif engine["solved"] and engine_evals > 2 * trf_evals:
            out.append(f"- {problem.name} from {start}: both solve, the engine takes {engine_evals} evaluations, "
                       f"trf {trf_evals}")
    out += ["", "## Engine variants", "",
            "Not part of the comparison: the engine with one option changed, on all runs, to show where its "
            "results come from.", "",
            TOTALS_HEADER]
    out += totals(runs, ("engine",) + tuple(VARIANTS))
    return out


def main():
    began = time.perf_counter()
    runs = run_all()
    out = report(runs, time.perf_counter() - began)
    os.makedirs(RESULTS, exist_ok=True)
    path = os.path.join(RESULTS, "mgh.md")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")
    print("\n".join(out[out.index("## Totals"):]))
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
