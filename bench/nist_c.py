"""Build and run bench/nist_c.c (with bench/nist_ceres.cpp): NIST's reference
problems through ombrix's engine dombrix_solve, its dombrix_der, GSL's
multifit_nlinear and Ceres Solver's Levenberg-Marquardt, models and Jacobians
in C; write bench/results/nist_c.md.

    python -P bench/nist_c.py [repeats]

The driver is built against the installed ombrix (python -m ombrix.config).
GSL and Ceres are only built against here, never shipped: on Debian or Ubuntu
install their development files with `apt-get install libgsl-dev
libceres-dev`.  The BLAS thread count comes from OPENBLAS_NUM_THREADS
(default 1 here).
"""

import datetime
import os
import shutil
import subprocess
import sys
import tempfile
from importlib import metadata

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # bench/machine.py, also under python -P
import machine  # noqa: E402
import ombrix
from ombrix import nist

HERE = os.path.dirname(os.path.abspath(__file__))
GSL_MISSING = ("GSL's development files were not found (gsl-config, gsl/gsl_multifit_nlinear.h).\n"
               "Install them with `apt-get install libgsl-dev` (Debian/Ubuntu), then run this again.")
CERES_MISSING = ("Ceres Solver's development files were not found (ceres/ceres.h and Eigen's headers).\n"
                 "Install them with `apt-get install libceres-dev` (Debian/Ubuntu), then run this again.")

ENGINE_STOPS = {1: "small gradient", 2: "small step", 3: "small reduction", 4: "zero residual", 5: "stalled",
                6: "iteration limit", 7: "evaluation limit", 8: "invalid values", 9: "aborted",
                10: "linear algebra", -1: "invalid arguments"}
CERES_STOPS = {1: "function tolerance", 2: "gradient tolerance", 3: "parameter tolerance", 4: "max iterations",
               5: "min trust region radius", 6: "failure"}
OMBRIX_STOPS = {0: "failed", 1: "small gradient", 2: "small Dp", 3: "maxit", 4: "singular", 5: "no reduction",
                6: "small error", 7: "NaN/Inf"}
GSL_STATUS = {1001: "small step (xtol)", 1002: "small gradient (gtol)", 11: "max iterations",
              27: "no progress", 28: "no progress (Jacobian)", 29: "cannot reach ftol", 30: "cannot reach xtol",
              31: "cannot reach gtol"}
SOLVERS = ("engine", "ombrix", "gsl_qr", "gsl_cholesky", "ceres")
PEERS = SOLVERS[1:]
LABELS = {"engine": "**dombrix_solve**", "ombrix": "dombrix_der", "gsl_qr": "GSL lm, QR",
          "gsl_cholesky": "GSL lm, Cholesky", "ceres": "Ceres LM, dense QR"}
SHORT = {"ombrix": "dombrix_der", "gsl_qr": "GSL QR", "gsl_cholesky": "GSL Cholesky", "ceres": "Ceres"}


def gsl_flags():
    config = shutil.which("gsl-config")
    if not config:
        return None
    run = lambda *a: subprocess.run([config, *a], capture_output=True, text=True, check=True).stdout.split()
    cflags, libs = run("--cflags"), run("--libs")
    include = [f[2:] for f in cflags if f.startswith("-I")] + ["/usr/include", "/usr/local/include"]
    if not any(os.path.exists(os.path.join(d, "gsl", "gsl_multifit_nlinear.h")) for d in include):
        return None
    return cflags, libs, run("--version")[0]


def ceres_flags():
    """Compiler flags for Ceres's headers (which need Eigen's), or None."""
    eigen = ["/usr/include/eigen3", "/usr/local/include/eigen3"]
    if shutil.which("pkg-config"):
        found = subprocess.run(["pkg-config", "--cflags-only-I", "eigen3"], capture_output=True, text=True)
        eigen = [f[2:] for f in found.stdout.split() if f.startswith("-I")] + eigen
    eigen = [d for d in eigen if os.path.isdir(os.path.join(d, "Eigen"))]
    if not eigen or not any(os.path.exists(os.path.join(d, "ceres", "ceres.h")) for d in ("/usr/include",
                                                                                           "/usr/local/include")):
        return None
    return [f"-I{eigen[0]}"]


def build(exe, tmp):
    """Compile the C driver and the C++ Ceres part, link them with ombrix, GSL and Ceres."""
    flags = gsl_flags()
    if flags is None:
        sys.exit(GSL_MISSING)
    gsl_cflags, gsl_libs, _ = flags
    eigen = ceres_flags()
    if eigen is None:
        sys.exit(CERES_MISSING)
    config = lambda *a: subprocess.run([sys.executable, "-P", "-m", "ombrix.config", *a], capture_output=True,
                                       text=True, check=True).stdout.split()
    cc, cxx = shutil.which("cc") or "gcc", shutil.which("c++") or "g++"
    driver, part = os.path.join(tmp, "nist_c.o"), os.path.join(tmp, "nist_ceres.o")
    subprocess.run([cc, "-O2", "-std=c11", "-c", os.path.join(HERE, "nist_c.c"), *config("--cflags"), *gsl_cflags,
                    "-o", driver], check=True)
    subprocess.run([cxx, "-O2", "-std=c++17", "-c", os.path.join(HERE, "nist_ceres.cpp"), *eigen, "-o", part],
                   check=True)
    subprocess.run([cxx, driver, part, *config("--libs"), "-lceres", *gsl_libs, "-o", exe], check=True)
    return [subprocess.run([c, "--version"], capture_output=True, text=True).stdout.splitlines()[0]
            for c in (cc, cxx)]


def write_problems(path, problems):
    with open(path, "w") as f:
        f.write(f"{len(problems)}\n")
        for prob in problems:
            f.write(f"{prob.name} {prob.n} {prob.m}\n")
            for values in (prob.x, prob.y, prob.start1, prob.start2):
                f.write(" ".join(repr(float(v)) for v in values) + "\n")


def fmt_time(seconds):
    return f"{seconds * 1e6:.1f} µs" if seconds < 1e-3 else f"{seconds * 1e3:.2f} ms"


def parse(out, problems):
    """The RUN lines by (problem, start) and solver, the COVAR lines, the peers' versions."""
    by_name = {p.name: p for p in problems}
    runs, covariance, versions = {}, {}, {}
    for line in out.splitlines():
        fields = line.split()
        if fields and fields[0] == "VERSIONS":
            versions = {"gsl": fields[1], "ceres": fields[2]}
        if fields and fields[0] == "COVAR":
            covariance[fields[1]] = (int(fields[2]), float(fields[3]))
        if not fields or fields[0] != "RUN":
            continue
        name, start, solver = fields[1], int(fields[2]), fields[3]
        status, iterations, nf, nj = map(int, fields[4:8])
        seconds, own = float(fields[8]), float(fields[9])
        p = np.array([float(v) for v in fields[10:]])
        prob = by_name[name]
        with np.errstate(all="ignore"):
            lre_p = float(np.min(nist.lre(p, prob.certified, prob.digits)))
            lre_rss = nist.lre(prob.rss(p), prob.certified_rss, prob.digits)
        stops = {"engine": ENGINE_STOPS, "ombrix": OMBRIX_STOPS, "ceres": CERES_STOPS}.get(solver, GSL_STATUS)
        stop = stops.get(status, f"{solver} {status}")
        runs.setdefault((name, start), {})[solver] = dict(status=stop, iterations=iterations, nf=nf, nj=nj,
                                                          seconds=seconds, own=own, lre_p=lre_p,
                                                          lre_rss=lre_rss)
    return runs, covariance, versions


def as_good(engine, peer):
    """The engine reached at least the peer's digits (LRE of p, as printed: one decimal)."""
    return round(engine["lre_p"], 1) >= round(peer["lre_p"], 1)


def geometric_mean(values):
    return float(np.exp(np.mean(np.log(values)))) if values else float("nan")


def result_table(runs):
    lines = ["| problem | start | solver | LRE p | LRE RSS | stop | iterations | model calls | Jacobian calls | "
             "time per fit | per iteration | own per iteration | dombrix_solve / this, per fit |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for (name, start), by in runs.items():
        base = by["engine"]["seconds"]
        for solver in SOLVERS:
            r = by[solver]
            per_it = fmt_time(r["seconds"] / r["iterations"]) if r["iterations"] else "—"
            own_it = fmt_time(r["own"] / r["iterations"]) if r["iterations"] else "—"
            ratio = f"{base / r['seconds']:.2f}" if solver != "engine" else ""
            lines.append(f"| {name} | {start} | {LABELS[solver]} | {r['lre_p']:.1f} | {r['lre_rss']:.1f} | "
                         f"{r['status']} | {r['iterations']} | {r['nf']} | {r['nj']} | {fmt_time(r['seconds'])} | "
                         f"{per_it} | {own_it} | {ratio} |")
    return lines


def summary(runs):
    """The engine's time per fit over each peer's, per run and as geometric means."""
    lines = ["| problem | start | dombrix_solve | LRE p | " + " | ".join(SHORT[s] for s in PEERS) + " |",
             "|---|---|---|---|" + "---|" * len(PEERS)]
    ratios = {s: [] for s in PEERS}
    for (name, start), by in runs.items():
        e = by["engine"]
        cells = []
        for s in PEERS:
            ratio, good = e["seconds"] / by[s]["seconds"], as_good(e, by[s])
            ratios[s].append((ratio, good))
            cells.append(f"{ratio:.2f}" + ("" if good else f" (fewer digits: {by[s]['lre_p']:.1f})"))
        lines.append(f"| {name} | {start} | {fmt_time(e['seconds'])} | {e['lre_p']:.1f} | " + " | ".join(cells) + " |")
    lines += ["", "| dombrix_solve / peer, time per fit | geometric mean, all runs | runs at equal or better digits "
              "| geometric mean over those | of those at most 0.5 | worst of those |", "|---|---|---|---|---|---|"]
    for s in PEERS:
        every = [r for r, _ in ratios[s]]
        good = [r for r, g in ratios[s] if g]
        worst = f"{max(good):.2f}" if good else "—"
        lines.append(f"| {SHORT[s]} | {geometric_mean(every):.2f} | {len(good)} of {len(every)} | "
                     f"{geometric_mean(good):.2f} | {sum(r <= 0.5 for r in good)} | {worst} |")
    return lines


def missed(runs):
    """For each peer whose geometric mean time ratio exceeds 0.5: where the
    engine's time goes against that peer's (own work per iteration,
    iterations, callbacks, digits)."""
    lines = []
    for s in ("gsl_qr", "gsl_cholesky", "ceres"):
        ratio = geometric_mean([by["engine"]["seconds"] / by[s]["seconds"] for by in runs.values()])
        if ratio <= 0.5:
            continue

        def mean_ratio(part):
            return geometric_mean([part(by["engine"]) / part(by[s]) for by in runs.values() if part(by[s]) > 0])

        own = mean_ratio(lambda r: r["own"] / max(r["iterations"], 1))
        iterations = mean_ratio(lambda r: r["iterations"])
        calls = geometric_mean([(by["engine"]["seconds"] - by["engine"]["own"]) / by[s]["seconds"]
                                for by in runs.values()])
        digits = np.mean([by["engine"]["lre_p"] - by[s]["lre_p"] for by in runs.values()])
        slower = [f"{name} {start} ({by['engine']['iterations']} iterations against {by[s]['iterations']})"
                  for (name, start), by in runs.items() if by["engine"]["seconds"] > by[s]["seconds"]]
        lines.append(
            f"- **{SHORT[s]}**: {ratio:.2f} × its time per fit.  Geometric means over the runs: the engine's own "
            f"work (outside the callbacks) per iteration is {own:.2f} × {SHORT[s]}'s, it takes {iterations:.2f} × "
            f"its iterations, and its callbacks alone take {calls:.2f} × {SHORT[s]}'s whole time per fit.  "
            f"The engine runs each fit to the rounding level of chi-square, {digits:.1f} digits of p more than "
            f"{SHORT[s]} on average; on the hard problems those extra iterations outweigh its cheaper ones"
            + (f" (slower than {SHORT[s]} on {', '.join(slower)})." if slower else "."))
    return ["", "### Missed, and why", "", *lines] if lines else []


def main(argv):
    repeats = argv[0] if argv else "201"
    env = dict(os.environ)
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    # Ceres logs a warning (through glog, to stderr) for every non-finite trial
    # point; errors only, so that BoxBOD's first start stays readable.
    env.setdefault("GLOG_minloglevel", "2")
    problems = [nist.load(name) for name in nist.problems()]
    order = {"Lower": 0, "Average": 1, "Higher": 2}
    problems.sort(key=lambda p: (order.get(p.difficulty, 3), p.name.lower()))
    with tempfile.TemporaryDirectory() as tmp:
        exe, data = os.path.join(tmp, "nist_c"), os.path.join(tmp, "problems.txt")
        compilers = build(exe, tmp)
        write_problems(data, problems)
        out = subprocess.run([exe, data, repeats], check=True, capture_output=True, text=True, env=env).stdout
    runs, covariance, versions = parse(out, problems)

    lines = ["# NIST reference problems in C: dombrix_solve against GSL's and Ceres's Levenberg–Marquardt", "",
             f"Generated {datetime.date.today().isoformat()} by `python -P bench/nist_c.py {repeats}` "
             "(`make bench-c`; builds bench/nist_c.c and bench/nist_ceres.cpp, runs them, writes this file).", "",
             f"Machine: {machine.describe()}; {compilers[0]} and {compilers[1]}, -O2; "
             f"OPENBLAS_NUM_THREADS={env['OPENBLAS_NUM_THREADS']}; ombrix {metadata.version('ombrix')} with "
             f"its bundled OpenBLAS; GSL {versions.get('gsl', '?')} from Debian (libgsl-dev) with its own CBLAS; "
             f"Ceres Solver {versions.get('ceres', '?')} from Debian (libceres-dev) with Eigen.", "",
             "Same problems, models and Jacobians (C loops over the observations, analytic Jacobians), same "
             "starting points. **dombrix_solve** (the engine): its default options (`options` NULL: ftol = eps², "
             "xtol = 4 eps, gtol = eps, at most 1000 iterations), no covariance. dombrix_der: `opts` = (1e-3, "
             "1e-20, 1e-15, 1e-20), no covariance. GSL: `gsl_multifit_nlinear_trust` with the Levenberg–Marquardt "
             "subproblem (`trs_lm`), its default Moré scaling, the QR (default) or the Cholesky linear solver, "
             "xtol = gtol = ftol = 1e-15 through `gsl_multifit_nlinear_driver`. Ceres: one `CostFunction` holding "
             "all residuals and the analytic Jacobian, `TRUST_REGION` with `LEVENBERG_MARQUARDT` and `DENSE_QR`, "
             "`num_threads` = 1, function, gradient and parameter tolerances 1e-20 (0 reaches the same digits), "
             "logging silent. All but the engine at most 10000 iterations. A fit is timed whole, as a caller makes"
             " it (ombrix allocates and frees its workspace inside the call; GSL's workspace is allocated, "
             f"initialised, driven and freed; Ceres's problem is built, solved and destroyed); median of {repeats} "
             "fits, the five solvers taking turns. Iterations are trial steps, accepted or not (Ceres: successful "
             "+ unsuccessful steps), except GSL's: one per accepted step, the trials it rejects before it "
             "included, so the model calls compare the work better. Per iteration = fit time / iterations; "
             "*own* = the same fits' time outside the model and Jacobian callbacks (timed inside them), per "
             "iteration. LRE as in nist.md (capped at 11, floored at 0); evaluations are counted in the "
             "callbacks (Ceres evaluates the model with every Jacobian).", "",
             "## Summary: dombrix_solve's time per fit over each peer's", "",
             "Below 1: the engine is faster; the target is at most 0.5 at equal or better digits. \"fewer "
             "digits\": the engine's LRE of p is below that peer's (shown), as printed to one decimal. The "
             "engine runs each fit to the rounding level; where a peer stops with fewer digits, the engine's "
             "time includes the iterations that add them.", "",
             *summary(runs), *missed(runs), "", "## Every fit", "", *result_table(runs)]
    if covariance:
        lines += ["", "The covariance that the Python module computes at the end of every fit (`dombrix_covar` on "
                  "JᵀJ at dombrix_der's fitted parameters, an SVD of order m; the fits above pass no covariance "
                  "output):", "", "| problem | m | dombrix_covar |", "|---|---|---|"]
        for name, (m, seconds) in covariance.items():
            lines.append(f"| {name} | {m} | {fmt_time(seconds)} |")
    lines.append("")
    path = os.path.join(HERE, "results", "nist_c.md")
    with open(path, "w") as f:
        f.write("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main(sys.argv[1:])
