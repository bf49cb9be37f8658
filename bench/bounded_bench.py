"""Bounds and inequalities in ombrix.fit: the active-set method against the
numeric layer's own constrained solvers and SciPy.

    pip install ".[bench]"              # scipy
    python -P bench/bounded_bench.py    # writes bench/results/bounded.md

Fits compared:
  - ombrix.fit as it runs by default ("active set": bounds and inequalities
    by the active-set method on top of exact equality elimination);
  - ombrix.fit(..., constraints="direct"): the numeric layer's projected
    box solver, or its penalty solvers for bounds with equalities and for
    inequalities;
  - scipy.optimize.least_squares(method="trf") for bounds (ftol = xtol =
    gtol = 1e-15, at most 10000 evaluations), the reference.

Model and Jacobian calls are counted by wrappers around the callables, for
every library alike (so difference evaluations count wherever they happen).
Sections:
  1. Bounded NIST problems: each of the nine problems of ombrix.nist from
     both certified starts, three times, with 1 or 2 parameters bounded 5 %
     past their certified values (so that the bounds bind), drawn with
     numpy's default_rng(0); the start clamped into the bounds.  Analytic
     Jacobian, forward and central differences.
  2. Misra1a with b2 <= 5e-4, whose exact answer is known in closed form.
  3. The examples with constraints: positive_lifetimes (16 inequalities)
     and mixture_fractions (an equality and bounds).
  4. Small cases with known answers: inequalities active and inactive, a
     start that violates them, equality with bounds, single precision.
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import contextlib  # noqa: E402
import io  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402

import numpy as np  # noqa: E402

import ombrix  # noqa: E402
from ombrix import nist  # noqa: E402

try:
    from scipy.optimize import least_squares  # noqa: E402
except ImportError:  # pragma: no cover - message for a missing extra
    sys.exit("bench/bounded_bench.py needs SciPy: pip install '.[bench]'")

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")
EXAMPLES = os.path.join(os.path.dirname(HERE), "examples")
SAME = 1e-9  # chi-square values within this relative distance count as equal


class Counted:
    """A callable that counts its calls."""

    def __init__(self, function):
        self.function, self.calls = function, 0

    def __call__(self, *args):
        self.calls += 1
        return self.function(*args)


# The statuses FitResult.success counts as convergence.
CONVERGED = ("SMALL_GRADIENT", "SMALL_STEP", "SMALL_CHISQ", "SMALL_REDUCTION")


def variants():
    """(problem, start index, draw, start, lb, ub) of the bounded NIST problems."""
    rng = np.random.default_rng(0)
    for name in nist.problems():
        prob = nist.load(name)
        for s, start in enumerate(prob.starts):
            for draw in range(3):
                c = prob.certified
                lb, ub = np.full(prob.m, -np.inf), np.full(prob.m, np.inf)
                for i in rng.choice(prob.m, size=rng.integers(1, 3), replace=False):
                    if rng.random() < 0.5:
                        ub[i] = c[i] - 0.05 * abs(c[i])
                    else:
                        lb[i] = c[i] + 0.05 * abs(c[i])
                yield prob, s, draw, np.clip(start, lb, ub), lb, ub


def run_ombrix(prob, p0, lb, ub, mode, constraints=None, dtype=np.float64):
    model, jac = Counted(prob.model), Counted(prob.jacobian)
    kw = dict(jac=jac) if mode == "analytic" else dict(diff=mode)
    if constraints:
        kw["constraints"] = constraints
    r = ombrix.fit(model, p0, prob.y, args=(prob.x,), bounds=(lb, ub), dtype=dtype, **kw)
    assert r.nfev == model.calls and (mode != "analytic" or r.njev == jac.calls)
    return dict(p=r.p.astype(np.float64), chisq=r.chisq, nfev=model.calls, njev=jac.calls, status=r.status.name,
                iterations=r.iterations)


def run_trf(prob, p0, lb, ub, mode):
    model, jac = Counted(prob.model), Counted(prob.jacobian)
    j = (lambda b: jac(b, prob.x)) if mode == "analytic" else {"forward": "2-point", "central": "3-point"}[mode]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        s = least_squares(lambda b: model(b, prob.x) - prob.y, p0, jac=j, bounds=(lb, ub), method="trf",
                          xtol=1e-15, ftol=1e-15, gtol=1e-15, max_nfev=10000)
    return dict(p=s.x, chisq=float(2 * s.cost), nfev=model.calls, njev=jac.calls, status=f"status {s.status}")


def violation(p, lb, ub):
    """The largest bound violation, relative to max(1, |bound|)."""
    with np.errstate(invalid="ignore"):
        low = np.where(np.isfinite(lb), (lb - p) / np.maximum(1.0, np.abs(lb)), 0.0)
        high = np.where(np.isfinite(ub), (p - ub) / np.maximum(1.0, np.abs(ub)), 0.0)
    return max(0.0, float(low.max()), float(high.max()))


def verdict(c, others):
    best = min(others)
    if c <= best * (1 + SAME):
        return "best" if c < best * (1 - SAME) else "="
    return "worse"


# ---- 1. bounded NIST problems -------------------------------------------------------

def nist_section(out):
    out.append("## 1. Bounded NIST problems\n")
    out.append("Each problem from both certified starts, three draws of 1-2 bounds 5 % past the certified values "
               "(they bind), start clamped.  Evaluations: model calls (all of them, differences included) + "
               "Jacobian calls.  'vs best' compares the active-set chi-square with the lower of the other two "
               f"(equal within {SAME:g} relative).\n")
    totals = {}
    for mode in ("analytic", "forward", "central"):
        rows = []
        sums = {"as": [0, 0], "direct": [0, 0], "trf": [0, 0]}
        outcome = {"best": 0, "=": 0, "worse": 0}
        worst_violation = {"as": 0.0, "direct": 0.0, "trf": 0.0}
        not_converged = {"as": 0, "direct": 0}
        for prob, s, draw, p0, lb, ub in variants():
            a = run_ombrix(prob, p0, lb, ub, mode)
            d = run_ombrix(prob, p0, lb, ub, mode, constraints="direct")
            t = run_trf(prob, p0, lb, ub, mode)
            for key, r in (("as", a), ("direct", d), ("trf", t)):
                sums[key][0] += r["nfev"]
                sums[key][1] += r["njev"]
                worst_violation[key] = max(worst_violation[key], violation(r["p"], lb, ub))
            for key, r in (("as", a), ("direct", d)):
                not_converged[key] += r["status"] not in CONVERGED
            v = verdict(a["chisq"], [d["chisq"], t["chisq"]])
            outcome[v] += 1
            rows.append(f"| {prob.name} | {s + 1} | {draw} | {a['nfev']} + {a['njev']} | {a['chisq']:.10g} | "
                        f"{a['status']} | {d['nfev']} + {d['njev']} | {d['chisq']:.10g} | {d['status']} | "
                        f"{t['nfev']} + {t['njev']} | {t['chisq']:.10g} | {v} |")
        totals[mode] = (sums, outcome, worst_violation, not_converged, len(rows))
        out.append(f"### Jacobian: {mode}\n")
        out.append("| problem | start | draw | active set: evals | chi-square | status | direct: evals | chi-square "
                   "| status | trf: evals | chi-square | vs best |")
        out.append("|---|---|---|---|---|---|---|---|---|---|---|---|")
        out += rows
        out.append("")
    out.append("### Totals\n")
    out.append("| Jacobian | fits | active set: model + Jacobian calls | direct | trf | active set best / equal / "
               "worse | not converged (active set, direct) | largest bound violation (active set, direct, trf) |")
    out.append("|---|---|---|---|---|---|---|---|")
    for mode, (sums, outcome, worst, nc, count) in totals.items():
        out.append(f"| {mode} | {count} | {sums['as'][0]} + {sums['as'][1]} | {sums['direct'][0]} + "
                   f"{sums['direct'][1]} | {sums['trf'][0]} + {sums['trf'][1]} | {outcome['best']} / "
                   f"{outcome['='] } / {outcome['worse']} | {nc['as']}, {nc['direct']} | "
                   f"{worst['as']:.1e}, {worst['direct']:.1e}, {worst['trf']:.1e} |")
    out.append("")
    return totals


# ---- 2. Misra1a ------------------------------------------------------------------------

def misra_section(out):
    prob = nist.load("Misra1a")
    lb, ub = np.array([0.0, 0.0]), np.array([np.inf, 5e-4])
    g = 1 - np.exp(-5e-4 * prob.x)
    exact = (g @ prob.y) / (g @ g)  # b1 for b2 held at 5e-4: linear least squares
    out.append("## 2. Misra1a with b2 <= 5e-4 (the bound binds)\n")
    out.append(f"Exact answer: b2 = 5e-4, b1 = {exact:.15g} (linear least squares in b1).  Start 1 "
               "(500, 1e-4).\n")
    out.append("| fit | precision | Jacobian | model + Jacobian calls | iterations | status | "
               "relative error of b1 | b2 - 5e-4 |")
    out.append("|---|---|---|---|---|---|---|---|")
    for dtype in (np.float64, np.float32):
        for mode in ("analytic", "forward", "central"):
            for label, constraints in (("active set", None), ("direct", "direct")):
                r = run_ombrix(prob, prob.start1, lb, ub, mode, constraints, dtype)
                out.append(f"| {label} | {np.dtype(dtype).name} | {mode} | {r['nfev']} + {r['njev']} | "
                           f"{r['iterations']} | {r['status']} | {(r['p'][0] - exact) / exact:.1e} | "
                           f"{r['p'][1] - 5e-4:.1e} |")
    for mode in ("analytic", "forward", "central"):
        t = run_trf(prob, prob.start1, lb, ub, mode)
        out.append(f"| trf | float64 | {mode} | {t['nfev']} + {t['njev']} | | {t['status']} | "
                   f"{(t['p'][0] - exact) / exact:.1e} | {t['p'][1] - 5e-4:.1e} |")
    out.append("")


# ---- 3. the examples -------------------------------------------------------------------

def example_section(out):
    sys.path.insert(0, EXAMPLES)
    import mixture_fractions
    import positive_lifetimes as lifetimes

    out.append("## 3. The examples with constraints\n")
    out.append("Each fit as the example makes it (analytic Jacobian), and with forward differences.  Violation: the "
               "largest amount by which a bound or inequality fails (0: none).\n")
    out.append("| example | fit | Jacobian | model + Jacobian calls | iterations | status | chi-square | "
               "violation | active |")
    out.append("|---|---|---|---|---|---|---|---|---|")

    t = np.linspace(0.0, 120.0, 300)
    clean = sum(a * np.exp(-t / tau) for tau, a in lifetimes.TRUE.items()) + lifetimes.BACKGROUND
    y = clean + np.random.default_rng(7).normal(0.0, lifetimes.NOISE, t.size)
    m = lifetimes.TAUS.size + 1
    C, d = np.eye(lifetimes.TAUS.size, m), np.zeros(lifetimes.TAUS.size)
    for mode in ("analytic", "forward"):
        for label, constraints in (("active set", None), ("direct", "direct")):
            model, jac = Counted(lifetimes.model), Counted(lifetimes.jacobian)
            kw = dict(jac=jac) if mode == "analytic" else {}
            r = ombrix.fit(model, np.full(m, 10.0), y, args=(t,), ineq=(C, d), constraints=constraints, **kw)
            bad = max(0.0, float((d - C @ r.p).max()))
            out.append(f"| positive_lifetimes | {label} | {mode} | {model.calls} + {jac.calls} | {r.iterations} | "
                       f"{r.status.name} | {r.chisq:.10g} | {bad:.1e} | {int(r.active_ineq.sum())} of 16 |")

    w = np.linspace(380.0, 640.0, 261)
    y = mixture_fractions.model(mixture_fractions.TRUE, w) + np.random.default_rng(2026).normal(
        0.0, mixture_fractions.SIGMA, w.size)
    lb, ub = np.array([0, -20, 0, 0, 0.0]), np.array([np.inf, 20, 1, 1, 1])
    for start_label, start in (("example's start", [1.0, 0.0, 1 / 3, 1 / 3, 1 / 3]),
                               ("start off the equality", [1.0, 0.0, 0.9, 0.9, 0.0])):
        for mode in ("analytic", "forward"):
            for label, constraints in (("active set", None), ("direct", "direct")):
                model, jac = Counted(mixture_fractions.model), Counted(mixture_fractions.jacobian)
                kw = dict(jac=jac) if mode == "analytic" else {}
                r = ombrix.fit(model, start, y, args=(w,), sigma=np.full(w.size, mixture_fractions.SIGMA),
                               absolute_sigma=True, eq=([0, 0, 1, 1, 1], 1.0), bounds=(lb, ub),
                               constraints=constraints, **kw)
                bad = max(violation(r.p, lb, ub), abs(r.p[2:].sum() - 1.0))
                out.append(f"| mixture_fractions, {start_label} | {label} | {mode} | {model.calls} + {jac.calls} | "
                           f"{r.iterations} | {r.status.name} | {r.chisq:.10g} | {bad:.1e} | "
                           f"{int((r.active_bounds != 0).sum())} bounds |")
    out.append("")


# ---- 4. small cases with known answers ----------------------------------------------

def small_section(out):
    T = np.linspace(0.0, 1.0, 21)
    X = np.stack([np.ones_like(T), T], axis=1)
    Y = 1.0 + 2.0 * T + 0.05 * np.sin(7.0 * T)

    def fixed_slope(s):
        return np.array([np.mean(Y - s * T), s])

    ols = np.linalg.lstsq(X, Y, rcond=None)[0]
    u = ((T - 1) @ (Y - 3.2)) / ((T - 1) @ (T - 1))
    cases = [
        ("inequality active", dict(ineq=([[0.0, -1.0]], [-1.5])), [2.0, 0.5], fixed_slope(1.5)),
        ("inequality inactive", dict(ineq=([[0.0, 1.0]], [0.0])), [2.0, 0.5], ols),
        ("start violates the inequality", dict(ineq=([[0.0, -1.0]], [-1.5])), [2.0, 3.0], fixed_slope(1.5)),
        ("equality and bounds", dict(eq=([1.0, 1.0], [3.2]), bounds=([0.0, 0.0], [10.0, 10.0])), [2.0, 0.5],
         np.array([3.2 - u, u])),
        ("equality, bound and inequality", dict(eq=([1.0, 1.0], [3.2]), bounds=([0.0, 0.0], [10.0, 10.0]),
                                                ineq=([[0.0, -1.0]], [-1.5])), [2.0, 0.5], np.array([1.7, 1.5])),
        ("both bounds bind (nothing free)", dict(bounds=([-np.inf, -np.inf], [0.5, 1.5])), [0.0, 0.0],
         np.array([0.5, 1.5])),
    ]
    out.append("## 4. Small cases with known answers\n")
    out.append("A straight line fitted to 21 points (known constrained least-squares answers).  Error: largest "
               "|p - answer|; violation: largest failure of a constraint (0: none).\n")
    out.append("| case | fit | precision | Jacobian | model + Jacobian calls | iterations | status | error | "
               "violation |")
    out.append("|---|---|---|---|---|---|---|---|---|")
    for name, kw, start, answer in cases:
        for dtype in (np.float64, np.float32):
            for mode in ("analytic", "forward", "central"):
                for label, constraints in (("active set", None), ("direct", "direct")):
                    model, jac = Counted(lambda p: X @ p), Counted(lambda p: X.copy())
                    extra = dict(jac=jac) if mode == "analytic" else dict(diff=mode)
                    r = ombrix.fit(model, start, Y, dtype=dtype, constraints=constraints, **kw, **extra)
                    p = r.p.astype(np.float64)
                    bad = 0.0
                    if "ineq" in kw:
                        C, d = np.atleast_2d(kw["ineq"][0]), np.asarray(kw["ineq"][1])
                        bad = max(bad, float((d - C @ p).max()))
                    if "bounds" in kw:
                        bad = max(bad, violation(p, *map(np.asarray, kw["bounds"])))
                    if "eq" in kw:
                        bad = max(bad, float(np.abs(np.atleast_2d(kw["eq"][0]) @ p - kw["eq"][1]).max()))
                    out.append(f"| {name} | {label} | {np.dtype(dtype).name} | {mode} | {model.calls} + "
                               f"{jac.calls} | {r.iterations} | {r.status.name} | "
                               f"{np.abs(p - answer).max():.1e} | {max(bad, 0.0):.1e} |")
    out.append("")


def main():
    started = time.perf_counter()
    out = ["# Bounds and inequalities: active set against the direct solvers and SciPy", "",
           "Generated by `python -P bench/bounded_bench.py` (see its docstring for the setup).  'active set' is "
           "`ombrix.fit` as it runs by default, 'direct' is `ombrix.fit(..., constraints=\"direct\")` (the numeric "
           "layer's projected box solver, or its penalty solvers), 'trf' is `scipy.optimize.least_squares(method="
           "\"trf\")`.", ""]
    with contextlib.redirect_stdout(io.StringIO()):
        totals = nist_section(out)
        misra_section(out)
        example_section(out)
        small_section(out)
    os.makedirs(RESULTS, exist_ok=True)
    path = os.path.join(RESULTS, "bounded.md")
    with open(path, "w") as f:
        f.write("\n".join(out))
    for mode, (sums, outcome, worst, nc, count) in totals.items():
        print(f"{mode:9} {count} fits: active set {sums['as'][0]} + {sums['as'][1]}, direct {sums['direct'][0]} + "
              f"{sums['direct'][1]}, trf {sums['trf'][0]} + {sums['trf'][1]}; active set best/equal/worse "
              f"{outcome['best']}/{outcome['=']}/{outcome['worse']}")
    print(f"wrote {path} in {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
