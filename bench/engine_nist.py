"""The trust-region engine on NIST's reference problems: ombrix.fit against
SciPy's least_squares(method='lm'), the engine's difference Jacobians, and
the engine in single precision.

    pip install ".[bench]"                 # scipy
    python -P bench/engine_nist.py         # writes bench/results/engine_nist.md
    python -P bench/engine_nist.py --repeats 5 --output -   # quicker, to stdout

Every shipped problem is fitted from both certified starts by
  - ombrix.fit with its defaults and the analytic Jacobian, against
    scipy.optimize.least_squares(method='lm') with the analytic Jacobian and
    ftol = xtol = gtol = 1e-15; both timed in turn within each repeat (the
    median per fit), the garbage collector paused.  lm's standard deviations
    are sqrt(diag(pinv(J^T J)) RSS / (n - m)) from its Jacobian at the
    solution, as curve_fit computes them;
  - dombrix_solve (through ctypes) with difference Jacobians: forward ones
    handing over to central ones for the final refinement (the default),
    forward only, and central throughout;
  - sombrix_solve with its defaults, the data, model and analytic Jacobian in
    float32, against what float32 resolves on that problem (below).
LRE as in nist.md: -log10 of the relative error, the smallest over the
parameters (or standard deviations), capped at the certified digits.
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # before NumPy loads

import argparse  # noqa: E402
import datetime  # noqa: E402
import gc  # noqa: E402
import platform  # noqa: E402
import statistics  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)  # bench/machine.py, also under python -P
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))  # the ctypes helpers of the tests
import engine_capi  # noqa: E402
import machine  # noqa: E402

import ombrix  # noqa: E402
from ombrix import nist  # noqa: E402

try:
    import scipy
    from scipy.optimize import least_squares
except ImportError:  # pragma: no cover - message for a missing extra
    sys.exit("bench/engine_nist.py needs SciPy: pip install '.[bench]'")

COMMAND = "python -P bench/engine_nist.py"
RESULTS = os.path.join(HERE, "results", "engine_nist.md")
SCHEMES = ("forward", "forward_only", "central")
EPS32 = float(np.finfo(np.float32).eps)


def lre(values, certified, digits):
    return float(nist.lre(np.asarray(values, dtype=np.float64), certified, digits).min())


# ---- ombrix.fit against lm ------------------------------------------------------------


class Calls:
    """The problem's model and Jacobian, counting their calls."""

    def __init__(self, prob):
        self.prob, self.model_calls, self.jacobian_calls = prob, 0, 0

    def model(self, b, x):
        self.model_calls += 1
        return self.prob.model(b, x)

    def jacobian(self, b, x):
        self.jacobian_calls += 1
        return self.prob.jacobian(b, x)


def fit_run(prob, start, calls):
    r = ombrix.fit(calls.model, start, prob.y, args=(prob.x,), jac=calls.jacobian)
    return r.p, r.stderr


def lm_run(prob, start, calls):
    r = least_squares(lambda b: calls.model(b, prob.x) - prob.y, start, jac=lambda b: calls.jacobian(b, prob.x),
                      method="lm", ftol=1e-15, xtol=1e-15, gtol=1e-15)
    J = np.asarray(r.jac, dtype=np.float64)
    rss = float(np.sum(np.square(r.fun)))
    cov = np.linalg.pinv(J.T @ J) * rss / (prob.n - prob.m)
    return r.x, np.sqrt(np.diag(cov))


RUNS = {"ombrix.fit": fit_run, "lm": lm_run}


def one_call_times(prob, start, repeats=200):
    """Median seconds of one model and one Jacobian evaluation at the start."""
    model, jac = [], []
    for _ in range(repeats):
        t = time.perf_counter()
        prob.model(start, prob.x)
        model.append(time.perf_counter() - t)
        t = time.perf_counter()
        prob.jacobian(start, prob.x)
        jac.append(time.perf_counter() - t)
    return statistics.median(model), statistics.median(jac)


def compare_lm(prob, start, repeats):
    """{name: dict(lre_p, lre_sd, seconds, model_calls, jacobian_calls, callbacks)}."""
    out = {}
    for name, run in RUNS.items():
        calls = Calls(prob)
        p, sd = run(prob, start, calls)
        out[name] = dict(lre_p=lre(p, prob.certified, prob.digits), lre_sd=lre(sd, prob.certified_sd, prob.digits),
                         model_calls=calls.model_calls, jacobian_calls=calls.jacobian_calls, times=[])
    gc.disable()
    try:
        for _ in range(repeats):
            for name, run in RUNS.items():
                calls = Calls(prob)
                t = time.perf_counter()
                run(prob, start, calls)
                out[name]["times"].append(time.perf_counter() - t)
    finally:
        gc.enable()
    t_model, t_jac = one_call_times(prob, np.asarray(start, dtype=np.float64))
    for row in out.values():
        row["seconds"] = statistics.median(row["times"])
        row["callbacks"] = row["model_calls"] * t_model + row["jacobian_calls"] * t_jac
    return out


# ---- the engine's difference Jacobians ------------------------------------------------


def engine_differences(prob, start, scheme):
    s = engine_capi.solve("d", lambda b: prob.model(b, prob.x), start, y=prob.y, differences=scheme)
    return lre(s.p, prob.certified, prob.digits), s.nfev


# ---- float32 ------------------------------------------------------------------------------


def float32_resolution(prob):
    """(LRE float32 allows, LRE chi-square resolves) at the certified solution,
    computed in double precision.  Allowed: the smaller of two first-order
    bounds, the rounding of the data and model values (the parameters move by
    |pinv(J)| eps32 (|y| + |f|)) and a backward-stable solve with the
    Jacobian in float32 (kappa eps32 relative, kappa the condition number of
    the column-scaled Jacobian), plus the rounding of the parameters
    themselves.  Chi-square resolves: a step dp whose change ||J dp||^2 is
    below the float32 rounding of chi-square, eps32 (2 sum |r| (|y| + |f|) +
    sqrt(n) RSS), cannot be told from the minimum by comparing chi-square;
    parameter j can move by sqrt(that C_jj), C = (J^T J)^-1."""
    b = np.asarray(prob.certified, dtype=np.float64)
    J = prob.jacobian(b, prob.x)
    f = prob.model(b, prob.x)
    r = prob.y - f
    size = np.abs(prob.y) + np.abs(f)
    data = np.abs(np.linalg.pinv(J)) @ (EPS32 * size) / np.abs(b)
    kappa = np.linalg.cond(J / np.linalg.norm(J, axis=0))
    allowed = max(data.max(), kappa * EPS32) + EPS32 / 2
    rounding = EPS32 * (2 * np.sum(np.abs(r) * size) + np.sqrt(prob.n) * np.sum(r * r))
    flat = np.sqrt(rounding * np.diag(np.linalg.pinv(J.T @ J))) / np.abs(b)
    return (float(min(-np.log10(allowed), prob.digits)), float(min(-np.log10(flat.max()), prob.digits)),
            float(kappa))


def float32_fit(prob, start):
    x32 = prob.x.astype(np.float32)
    s = engine_capi.solve("s", lambda b: prob.model(b, x32).astype(np.float32), np.asarray(start, np.float32),
                          y=prob.y.astype(np.float32), jac=lambda b: prob.jacobian(b, x32).astype(np.float32))
    return lre(s.p, prob.certified, prob.digits), s.message, s.nfev + s.njev


# ---- report -------------------------------------------------------------------------------


def fmt_ms(seconds):
    return f"{seconds * 1e3:.2f} ms"


def lm_section(rows):
    out = ["## ombrix.fit against least_squares(method='lm')", "",
           "Targets: every run LRE p ≥ 4 and the average ≥ 9.5; the standard deviations' average LRE at least "
           "lm's; the median time per fit at most 0.5 × lm's.  *calls*: model + Jacobian calls.  *callbacks*: "
           "those calls × the median time of one model and one Jacobian evaluation on that problem, the time no "
           "solver making these calls can save; *own time*: the time per fit less its callbacks.", "",
           "| problem | start | ombrix.fit LRE p / sd | lm LRE p / sd | ombrix.fit time | lm time | ratio | "
           "ombrix.fit calls | lm calls | ombrix.fit own time | lm's callbacks / lm time |",
           "|---|---|---|---|---|---|---|---|---|---|---|"]
    for name, k, r in rows:
        o, l = r["ombrix.fit"], r["lm"]
        out.append(f"| {name} | {k} | {o['lre_p']:.1f} / {o['lre_sd']:.1f} | {l['lre_p']:.1f} / {l['lre_sd'] + 0.0:.1f} | "
                   f"{fmt_ms(o['seconds'])} | {fmt_ms(l['seconds'])} | {o['seconds'] / l['seconds']:.2f} | "
                   f"{o['model_calls']} + {o['jacobian_calls']} | {l['model_calls']} + {l['jacobian_calls']} | "
                   f"{fmt_ms(o['seconds'] - o['callbacks'])} | {l['callbacks'] / l['seconds']:.2f} |")
    summary = {}
    for key in RUNS:
        runs = [r[key] for _, _, r in rows]
        summary[key] = dict(
            at_least_4=sum(r["lre_p"] >= 4 for r in runs), lre_p=np.mean([r["lre_p"] for r in runs]),
            lre_sd=np.mean([r["lre_sd"] for r in runs]), seconds=statistics.median(r["seconds"] for r in runs),
            calls=sum(r["model_calls"] + r["jacobian_calls"] for r in runs))
    o, l = summary["ombrix.fit"], summary["lm"]
    out += ["", "| summary | ombrix.fit | lm | target |", "|---|---|---|---|",
            f"| runs with LRE p ≥ 4 | {o['at_least_4']} / {len(rows)} | {l['at_least_4']} / {len(rows)} | all |",
            f"| average LRE p | {o['lre_p']:.2f} | {l['lre_p']:.2f} | ≥ 9.5 |",
            f"| average LRE of the standard deviations | {o['lre_sd']:.2f} | {l['lre_sd']:.2f} | ≥ lm's |",
            f"| median time per fit | {fmt_ms(o['seconds'])} | {fmt_ms(l['seconds'])} | ≤ 0.5 × lm's "
            f"(here {o['seconds'] / l['seconds']:.2f}) |",
            f"| model + Jacobian calls, all runs | {o['calls']} | {l['calls']} | |"]
    missed = []
    if o["at_least_4"] < len(rows) or o["lre_p"] < 9.5:
        missed.append(f"- **digits**: {o['at_least_4']} of {len(rows)} runs reach 4 digits, average "
                      f"{o['lre_p']:.2f}.")
    if o["lre_sd"] < l["lre_sd"]:
        missed.append(f"- **standard deviations**: average LRE {o['lre_sd']:.2f} against lm's {l['lre_sd']:.2f}.")
    if o["seconds"] > 0.5 * l["seconds"]:
        def median_share(key, part):
            return statistics.median(part(r[key]) / r["lm"]["seconds"] for _, _, r in rows)

        lm_calls = median_share("lm", lambda r: r["callbacks"])
        fit_calls = median_share("ombrix.fit", lambda r: r["callbacks"])
        fit_own = median_share("ombrix.fit", lambda r: r["seconds"] - r["callbacks"])
        missed.append(
            f"- **time**: median {fmt_ms(o['seconds'])} against lm's {fmt_ms(l['seconds'])} "
            f"({o['seconds'] / l['seconds']:.2f} ×).  Per run, in units of lm's time on that run (medians): "
            f"lm's own model and Jacobian calls take {lm_calls:.2f}, ombrix.fit's calls {fit_calls:.2f} and "
            f"ombrix.fit's own work (argument handling in Python, the binding, the engine, the covariance and "
            f"the result) {fit_own:.2f}.  Half of lm's time would leave about {max(0.5 - fit_calls, 0):.2f} for "
            "that work: on the small problems (DanWood, Misra1a, BoxBOD, Chwirut2) the fixed cost of a call of "
            "ombrix.fit is most of its time, and on the others ombrix.fit makes about as many calls as lm or "
            f"more (fewer on {sum(r['ombrix.fit']['model_calls'] + r['ombrix.fit']['jacobian_calls'] < r['lm']['model_calls'] + r['lm']['jacobian_calls'] for _, _, r in rows)} of {len(rows)} runs), "
            "because it runs each fit to the rounding level of chi-square (the digits above) where lm stops "
            "at its tolerances.")
    if missed:
        out += ["", "### Missed, and why", ""] + missed
    return out


def differences_section(rows):
    out = ["## dombrix_solve with difference Jacobians", "",
           "Target: LRE p ≥ 6 on at least 50 of the 54 runs (18 runs × 3 schemes), average ≥ 8.  *forward*: "
           "forward differences, central ones for the final refinement (the default); *forward only*; "
           "*central* throughout.  LRE p / model calls.", "",
           "| problem | start | " + " | ".join(s.replace("_", " ") for s in SCHEMES) + " |",
           "|---|---|" + "---|" * len(SCHEMES)]
    lres = []
    for name, k, r in rows:
        out.append(f"| {name} | {k} | " + " | ".join(f"{r[s][0]:.1f} / {r[s][1]}" for s in SCHEMES) + " |")
        lres += [r[s][0] for s in SCHEMES]
    at_least_6 = sum(v >= 6 for v in lres)
    out += ["", "| scheme | runs with LRE p ≥ 6 | average LRE p |", "|---|---|---|"]
    for s in SCHEMES:
        v = [r[s][0] for _, _, r in rows]
        out.append(f"| {s.replace('_', ' ')} | {sum(x >= 6 for x in v)} / {len(v)} | {np.mean(v):.2f} |")
    out.append(f"| all | {at_least_6} / {len(lres)} | {np.mean(lres):.2f} |")
    if at_least_6 < 50 or np.mean(lres) < 8:
        out += ["", "### Missed, and why", "",
                f"- {at_least_6} of {len(lres)} runs reach 6 digits, average {np.mean(lres):.2f}.  Forward "
                "differences carry an error of about sqrt(eps) relative to each column, which moves the point "
                "where the iteration rests on the ill-conditioned problems (Lanczos3, MGH09, Thurber, Kirby2)."]
    return out


def float32_section(rows):
    out = ["## sombrix_solve in single precision", "",
           "Target: on each problem the digits float32 resolves there, at least 4 where its conditioning allows.  "
           "*float32 allows*: the smaller of two first-order bounds at the certified solution, the rounding of "
           "the data and model values to float32 (|pinv(J)| · eps32 (|y| + |f|)) and a stable solve with a "
           "float32 Jacobian (κ eps32, κ the condition number of the column-scaled Jacobian), plus the "
           "rounding of the parameters themselves.  *χ² resolves*: how far each parameter can move before "
           "chi-square changes by more than its float32 rounding (a fit judged on chi-square alone cannot "
           "place the minimum better).  A run *reaches* the target when its LRE p is at least "
           "min(4, float32 allows) less one digit (the bounds are first-order estimates).", "",
           "| problem | start | κ | float32 allows | χ² resolves | LRE p | reaches | evaluations | status |",
           "|---|---|---|---|---|---|---|---|---|"]
    missed = []
    for name, k, ((allows, flat, kappa), (got, message, evals)) in rows:
        ok = got >= min(4.0, allows) - 1
        out.append(f"| {name} | {k} | {kappa:.3g} | {allows:.1f} | {flat:.1f} | {got:.1f} | "
                   f"{'yes' if ok else '**no**'} | {evals} | {message} |")
        if not ok:
            missed.append(f"- **{name}, start {k}**: LRE {got:.1f} where the first-order bounds allow {allows:.1f} "
                          f"and chi-square resolves {flat:.1f} ({message}).  Here κ² eps32 = "
                          f"{kappa * kappa * EPS32:.2g}: the second-order term of the least-squares perturbation "
                          "bound (κ² eps times the residual's share) is no longer small, so the first-order figure "
                          "is optimistic and float32 guarantees no digit; the fit ends where its last steps stop "
                          "contracting, at about what chi-square resolves.")
    reached = len(rows) - len(missed)
    out += ["", f"Reached on {reached} of {len(rows)} runs."]
    if missed:
        out += ["", "### Missed, and why", ""] + missed
    return out


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=41)
    parser.add_argument("--problems", default=",".join(nist.problems()))
    parser.add_argument("--output", default=RESULTS, help="the markdown file, or - for standard output")
    args = parser.parse_args(argv)
    began = time.perf_counter()
    lm_rows, diff_rows, f32_rows = [], [], []
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        for name in args.problems.split(","):
            prob = nist.load(name)
            resolves = float32_resolution(prob)
            for k, start in enumerate(prob.starts, 1):
                lm_rows.append((name, k, compare_lm(prob, start, args.repeats)))
                diff_rows.append((name, k, {s: engine_differences(prob, start, s) for s in SCHEMES}))
                f32_rows.append((name, k, (resolves, float32_fit(prob, start))))
    elapsed = time.perf_counter() - began
    out = ["# NIST reference problems: the engine's targets", "",
           f"Generated by `{COMMAND}` on {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC in "
           f"{elapsed:.0f} s (see the script's docstring for the setup; {args.repeats} timed repeats).", "",
           f"Machine: {machine.describe()}; one BLAS thread.  Python {platform.python_version()}, "
           f"ombrix {ombrix.__version__}, NumPy {np.__version__}, SciPy {scipy.__version__}.", ""]
    out += lm_section(lm_rows) + [""] + differences_section(diff_rows) + [""] + float32_section(f32_rows)
    text = "\n".join(out) + "\n"
    if args.output == "-":
        print(text)
    else:
        with open(args.output, "w") as f:
            f.write(text)
        print(text)
        print(f"wrote {args.output}")


if __name__ == "__main__":
    main(sys.argv[1:])
