"""Build and run bench/nist_c.c: NIST's reference problems through dombrix_der
and through GSL's multifit_nlinear, models and Jacobians in C; write
bench/results/nist_c.md.

    python bench/nist_c.py [repeats]

GSL is only built against here, never shipped: on Debian or Ubuntu install
its development files with `apt-get install libgsl-dev`.  The BLAS thread
count comes from OPENBLAS_NUM_THREADS (default 1 here).
"""

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

OMBRIX_STOPS = {0: "failed", 1: "small gradient", 2: "small Dp", 3: "maxit", 4: "singular", 5: "no reduction",
                6: "small error", 7: "NaN/Inf"}
GSL_STATUS = {1001: "small step (xtol)", 1002: "small gradient (gtol)", 11: "max iterations",
              27: "no progress", 28: "no progress (Jacobian)", 29: "cannot reach ftol", 30: "cannot reach xtol",
              31: "cannot reach gtol"}
LABELS = {"ombrix": "dombrix_der", "gsl_qr": "GSL lm, QR", "gsl_cholesky": "GSL lm, Cholesky"}


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


def write_problems(path, problems):
    with open(path, "w") as f:
        f.write(f"{len(problems)}\n")
        for prob in problems:
            f.write(f"{prob.name} {prob.n} {prob.m}\n")
            for values in (prob.x, prob.y, prob.start1, prob.start2):
                f.write(" ".join(repr(float(v)) for v in values) + "\n")


def fmt_time(seconds):
    return f"{seconds * 1e6:.1f} µs" if seconds < 1e-3 else f"{seconds * 1e3:.2f} ms"


def main(argv):
    repeats = argv[0] if argv else "201"
    flags = gsl_flags()
    if flags is None:
        sys.exit(GSL_MISSING)
    cflags, libs, gsl_version = flags
    lib = ombrix.get_lib_dir()
    prefix = "scipy_" if os.path.exists(os.path.join(lib, "libscipy_openblas.so")) else ""
    blas = ["-l:libscipy_openblas.so"] if prefix else ["-lblas", "-llapack"]
    env = dict(os.environ)
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    problems = [nist.load(name) for name in nist.problems()]
    order = {"Lower": 0, "Average": 1, "Higher": 2}
    problems.sort(key=lambda p: (order.get(p.difficulty, 3), p.name.lower()))
    cc = shutil.which("cc") or "gcc"
    with tempfile.TemporaryDirectory() as tmp:
        exe, data = os.path.join(tmp, "nist_c"), os.path.join(tmp, "problems.txt")
        subprocess.run([cc, "-O2", "-std=c11", os.path.join(HERE, "nist_c.c"), f"-I{ombrix.get_include()}", *cflags,
                        f"-L{lib}", "-lombrix", *blas, f"-Wl,-rpath,{lib}", *libs, "-o", exe], check=True)
        write_problems(data, problems)
        out = subprocess.run([exe, data, repeats], check=True, capture_output=True, text=True, env=env).stdout
    compiler = subprocess.run([cc, "--version"], capture_output=True, text=True).stdout.splitlines()[0]

    by_name = {p.name: p for p in problems}
    runs, covariance = {}, {}
    for line in out.splitlines():
        fields = line.split()
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
        stop = OMBRIX_STOPS.get(status, str(status)) if solver == "ombrix" else GSL_STATUS.get(status, f"GSL {status}")
        runs.setdefault((name, start), {})[solver] = dict(status=stop, iterations=iterations, nf=nf, nj=nj,
                                                          seconds=seconds, own=own, lre_p=lre_p,
                                                          lre_rss=lre_rss)

    lines = ["# NIST reference problems in C: dombrix_der and GSL's multifit_nlinear", "",
             f"Command: `python bench/nist_c.py {repeats}` (builds bench/nist_c.c, runs it, writes this file).", "",
             f"Machine: {machine.describe()}; {compiler}, -O2; "
             f"OPENBLAS_NUM_THREADS={env['OPENBLAS_NUM_THREADS']}; ombrix {metadata.version('ombrix')} with "
             f"its bundled OpenBLAS; GSL {gsl_version} from Debian (libgsl-dev) with its own CBLAS.", "",
             "Same problems, models and Jacobians (C loops over the observations), same starting points. "
             "dombrix_der: `opts` = (1e-3, 1e-20, 1e-15, 1e-20), no covariance; GSL: "
             "`gsl_multifit_nlinear_trust` with the Levenberg–Marquardt subproblem (`trs_lm`), its default "
             "Moré scaling, the QR (default) or the Cholesky linear solver, xtol = gtol = ftol = 1e-15 through "
             "`gsl_multifit_nlinear_driver`. Both at most 10000 iterations. A fit is timed whole, as a caller "
             "makes it (ombrix allocates and frees its workspace inside the call; GSL's workspace is allocated, "
             f"initialised, driven and freed); median of {repeats} fits, the three solvers taking turns. "
             "Per iteration = fit time / iterations; *own* = the same fits' time outside the model and Jacobian "
             "callbacks (timed inside them), per iteration. LRE as in nist.md (capped at 11, floored at 0); "
             "evaluations are counted in the callbacks.", "",
             "| problem | start | solver | LRE p | LRE RSS | stop | iterations | model calls | Jacobian calls | "
             "time per fit | per iteration | own per iteration | GSL QR / ombrix per fit |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    ratios = []
    for (name, start), by in runs.items():
        base = by["ombrix"]["seconds"]
        for solver in ("ombrix", "gsl_qr", "gsl_cholesky"):
            r = by[solver]
            per_it = fmt_time(r["seconds"] / r["iterations"]) if r["iterations"] else "—"
            own_it = fmt_time(r["own"] / r["iterations"]) if r["iterations"] else "—"
            ratio = f"{by['gsl_qr']['seconds'] / base:.1f}×" if solver == "ombrix" else ""
            lines.append(f"| {name} | {start} | {LABELS[solver]} | {r['lre_p']:.1f} | {r['lre_rss']:.1f} | "
                         f"{r['status']} | {r['iterations']} | {r['nf']} | {r['nj']} | {fmt_time(r['seconds'])} | "
                         f"{per_it} | {own_it} | {ratio} |")
        o = by["ombrix"]
        if o["iterations"] and all(by[s]["iterations"] for s in ("gsl_qr", "gsl_cholesky")):
            ratios.append([(by[s]["seconds"] / o["seconds"],
                            (by[s]["seconds"] / by[s]["iterations"]) / (o["seconds"] / o["iterations"]),
                            (by[s]["own"] / by[s]["iterations"]) / (o["own"] / o["iterations"]))
                           for s in ("gsl_qr", "gsl_cholesky")])
    if ratios:
        mean = np.exp(np.mean(np.log(np.array(ratios)), axis=0))
        lines += ["", "Geometric means over the runs where all three iterated: ", "",
                  "| GSL against dombrix_der | time per fit | per iteration | own per iteration |",
                  "|---|---|---|---|"]
        for k, solver in enumerate(("gsl_qr", "gsl_cholesky")):
            lines.append(f"| {LABELS[solver]} | {mean[k][0]:.2f}× | {mean[k][1]:.2f}× | {mean[k][2]:.2f}× |")
    if covariance:
        lines += ["", "The covariance that the Python module computes at the end of every fit (`dombrix_covar` on "
                  "JᵀJ at the fitted parameters, an SVD of order m; the fits above pass no covariance output):", "",
                  "| problem | m | dombrix_covar |", "|---|---|---|"]
        for name, (m, seconds) in covariance.items():
            lines.append(f"| {name} | {m} | {fmt_time(seconds)} |")
    lines.append("")
    path = os.path.join(HERE, "results", "nist_c.md")
    with open(path, "w") as f:
        f.write("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main(sys.argv[1:])
