"""The trust-region engine on NIST's reference problems, against the fixed
Levenberg-Marquardt loop (dombrix_der) and SciPy.

    python bench/engine_nist.py [--repeats N] [--problems A,B]

Every shipped problem is fitted from both certified starts by
  - dombrix_solve with its defaults: analytic Jacobian; forward differences
    (central ones for the final refinement, the default), forward only, and
    central differences;
  - dombrix_der with the tolerances of bench/nist_bench.py (analytic Jacobian);
  - scipy.optimize.least_squares(method='lm') with the analytic Jacobian and
    ftol = xtol = gtol = 1e-15, when SciPy is installed.
All are called from Python with the same NumPy model and Jacobian (the C
solvers through ctypes callbacks that reuse their NumPy views), so the time
per fit (the median over the repeats) compares like with like.  Prints a markdown table of the smallest LRE of the
parameters and the time per fit, then the averages.
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # before NumPy loads

import argparse  # noqa: E402
import ctypes  # noqa: E402
import statistics  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))  # the ctypes helpers of the tests
import capi  # noqa: E402
import engine_capi  # noqa: E402
from ombrix import nist  # noqa: E402

try:
    from scipy.optimize import least_squares  # noqa: E402
except ImportError:
    least_squares = None

DER_OPTS = np.array([1e-3, 1e-20, 1e-15, 1e-20, 1e-6])  # tau, eps1, eps2, eps3 (bench/nist_bench.py)


def lean_callback(function, size):
    """A C callback writing function(p) to the output, with NumPy views of the
    solver's arrays cached by address: the C solvers then pay about what
    SciPy pays to call the model, not the cost of building views."""
    views = {}

    def view(pointer, count):
        address = ctypes.addressof(pointer.contents)
        array = views.get((address, count))
        if array is None:
            array = views[address, count] = np.ctypeslib.as_array(pointer, shape=(count,))
        return array

    def trampoline(p, out, m, n, user_data):
        view(out, size(m, n))[:] = function(view(p, m).copy()).ravel()

    return capi.callback_type("d")(trampoline)


def problem_callbacks(prob, with_jacobian=True):
    f = lean_callback(lambda b: prob.model(b, prob.x), lambda m, n: n)
    j = lean_callback(lambda b: prob.jacobian(b, prob.x), lambda m, n: n * m) if with_jacobian else None
    return f, j


def engine_fit(prob, start, differences=None):
    p = np.array(start, dtype=np.float64)
    options = engine_capi.default_options("d")
    if differences is not None:
        options.differences = engine_capi.DIFFERENCES[differences]
    f, j = problem_callbacks(prob, differences is None)
    capi.lib.dombrix_solve(f, j, capi.ptr(p), capi.ptr(prob.y), None, prob.m, prob.n, ctypes.byref(options), None,
                           None, None)
    return p


def der_fit(prob, start):
    p = np.array(start, dtype=np.float64)
    f, j = problem_callbacks(prob)
    capi.lib.dombrix_der(f, j, capi.ptr(p), capi.ptr(prob.y), prob.m, prob.n, 10000, capi.ptr(DER_OPTS), None, None,
                         None, None)
    return p


def scipy_fit(prob, start):
    result = least_squares(lambda b: prob.model(b, prob.x) - prob.y, start, jac=lambda b: prob.jacobian(b, prob.x),
                           method="lm", ftol=1e-15, xtol=1e-15, gtol=1e-15)
    return result.x


SOLVERS = {"engine": lambda prob, s: engine_fit(prob, s),
           "engine fwd+ctr": lambda prob, s: engine_fit(prob, s, "forward"),
           "engine fwd only": lambda prob, s: engine_fit(prob, s, "forward_only"),
           "engine ctr": lambda prob, s: engine_fit(prob, s, "central"),
           "dombrix_der": der_fit}
if least_squares is not None:
    SOLVERS["scipy lm"] = scipy_fit


def measure(solver, prob, start, repeats):
    """(smallest LRE of the parameters, median seconds per fit)."""
    times = []
    for _ in range(repeats):
        begin = time.perf_counter()
        p = solver(prob, start)
        times.append(time.perf_counter() - begin)
    return float(nist.lre(p, prob.certified, prob.digits).min()), statistics.median(times)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--problems", default=",".join(nist.problems()))
    args = parser.parse_args(argv)
    names = list(SOLVERS)
    rows, lres = [], {name: [] for name in names}
    times = {name: [] for name in names}
    for problem in args.problems.split(","):
        prob = nist.load(problem)
        for k, start in enumerate(prob.starts, 1):
            cells = []
            for name in names:
                with warnings.catch_warnings(), np.errstate(all="ignore"):
                    warnings.simplefilter("ignore")
                    lre, seconds = measure(SOLVERS[name], prob, start, args.repeats)
                lres[name].append(lre)
                times[name].append(seconds)
                cells.append(f"{lre:5.2f} / {seconds * 1e3:7.2f}")
            rows.append(f"| {problem} | {k} | " + " | ".join(cells) + " |")
    print("LRE (smallest over the parameters) / milliseconds per fit\n")
    print("| problem | start | " + " | ".join(names) + " |")
    print("|---|---|" + "---|" * len(names))
    print("\n".join(rows))
    print("\n| summary | " + " | ".join(names) + " |")
    print("|---|" + "---|" * len(names))
    print("| average LRE | " + " | ".join(f"{np.mean(lres[n]):.2f}" for n in names) + " |")
    print("| runs >= 4 digits | " + " | ".join(f"{sum(v >= 4 for v in lres[n])}/{len(lres[n])}" for n in names) + " |")
    print("| runs >= 6 digits | " + " | ".join(f"{sum(v >= 6 for v in lres[n])}/{len(lres[n])}" for n in names) + " |")
    print("| mean ms per fit | " + " | ".join(f"{np.mean(times[n]) * 1e3:.2f}" for n in names) + " |")


if __name__ == "__main__":
    main(sys.argv[1:])
