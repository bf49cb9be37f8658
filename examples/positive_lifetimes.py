"""A distribution of decay lifetimes that cannot be negative: inequality constraints.

A fluorescence decay is a sum of exponentials whose lifetimes are not known
in advance.  A common way to fit it is to place candidate lifetimes on a grid
and fit one amplitude per candidate, plus a constant background:

    y(t) = sum_k a_k exp(-t / tau_k) + c

Without constraints the amplitudes oscillate between large positive and
negative values (the exponentials are nearly collinear).  Amplitudes of a
physical distribution are not negative: the inequalities a_k >= 0, written
as C p >= d with C the identity on the amplitudes, give a clean, sparse
distribution.  Here the decay is made of two species, of lifetimes 3 and 25.

    python examples/positive_lifetimes.py [output.png]   (default: examples/figures/positive_lifetimes.png)
"""

import sys

import numpy as np

import ombrix
from plotting import confidence_band, figure_path, pyplot

TAUS = np.geomspace(0.5, 200.0, 16)      # candidate lifetimes
TRUE = {3.0: 600.0, 25.0: 250.0}         # lifetime: amplitude
BACKGROUND = 5.0
NOISE = 4.0


def model(p, t):
    return np.exp(-np.outer(t, 1.0 / TAUS)) @ p[:-1] + p[-1]


def jacobian(p, t):
    return np.column_stack([np.exp(-np.outer(t, 1.0 / TAUS)), np.ones_like(t)])



def main(figure=None):
    t = np.linspace(0.0, 120.0, 300)
    clean = sum(a * np.exp(-t / tau) for tau, a in TRUE.items()) + BACKGROUND
    y = clean + np.random.default_rng(7).normal(0.0, NOISE, t.size)

    m = TAUS.size + 1
    start = np.full(m, 10.0)
    positive = (np.eye(TAUS.size, m), np.zeros(TAUS.size))  # a_k >= 0; the background is free
    names = [f"a(tau={tau:.3g})" for tau in TAUS] + ["background"]

    free = ombrix.fit(model, start, y, args=(t,), jac=jacobian, names=names)
    result = ombrix.fit(model, start, y, args=(t,), jac=jacobian, ineq=positive, names=names)
    print(result.report(min_correlation=0.9))
    print()
    print(f"chi-square without constraints {free.chisq:.1f}, with a_k >= 0 {result.chisq:.1f}")
    print(f"amplitudes without constraints range from {free.p[:-1].min():.0f} to {free.p[:-1].max():.0f}")
    print(f"constraints active at the solution: {int(result.active_ineq.sum())} of {TAUS.size}")

    if figure:
        plt = pyplot()
        if plt is None:
            return result
        curve = model(result.p, t)
        band = confidence_band(jacobian(result.p, t), result.cov)
        fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4))
        left.plot(t, y, ".", ms=3, color="0.4", label="measured")
        left.plot(t, curve, color="C0", label="fit with a_k >= 0")
        left.fill_between(t, curve - band, curve + band, color="C0", alpha=0.3, label="95 % band of the fit")
        left.set_yscale("log")
        left.set_ylim(2, None)
        left.set_xlabel("time")
        left.set_ylabel("counts")
        left.legend(frameon=False)
        right.semilogx(TAUS, free.p[:-1], "o--", color="C3", ms=4, lw=0.8, label="no constraints")
        right.semilogx(TAUS, result.p[:-1], "s-", color="C0", ms=5, label="a_k >= 0")
        for tau in TRUE:
            right.axvline(tau, color="0.6", lw=0.8, ls=":")
        right.axhline(0, color="0.5", lw=0.8)
        right.set_yscale("symlog", linthresh=10)  # the free amplitudes reach tens of millions
        right.set_xlabel("lifetime tau_k")
        right.set_ylabel("amplitude a_k (symmetric log scale)")
        right.legend(frameon=False)
        fig.suptitle("Lifetime distribution: amplitudes constrained to be non-negative")
        fig.tight_layout()
        fig.savefig(figure, dpi=110)
        print(f"figure: {figure}")
    return result


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else figure_path("positive_lifetimes"))
