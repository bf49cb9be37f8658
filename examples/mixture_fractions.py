"""Fractions of a mixture that sum to one: an equality constraint.

The absorbance spectrum of a mixture of three known compounds is measured on
an instrument whose wavelength scale is shifted by an unknown amount:

    y(w) = A * (f1 S1(w - s) + f2 S2(w - s) + f3 S3(w - s))

S1, S2, S3 are the compounds' reference spectra, A the total absorbance, s
the shift, and f1 + f2 + f3 = 1 the fractions (each between 0 and 1).  The
equality makes A and the fractions separately determined; without it only
their products would be.  The measurement noise is known (sigma = 0.02),
so the standard errors are absolute.

    python examples/mixture_fractions.py [output.png]   (default: examples/figures/mixture_fractions.png)
"""

import sys

import numpy as np

import ombrix
from plotting import confidence_band, figure_path, pyplot

# Reference spectra: each compound absorbs in one or two Gaussian bands
# (centre and width in nm, relative height).
BANDS = [
    [(430.0, 18.0, 1.0), (520.0, 25.0, 0.35)],
    [(480.0, 22.0, 1.0)],
    [(455.0, 15.0, 0.6), (560.0, 20.0, 1.0)],
]
NAMES = ["A", "shift", "f1", "f2", "f3"]
TRUE = np.array([1.8, 2.5, 0.55, 0.30, 0.15])
SIGMA = 0.02


def reference(k, w):
    return sum(h * np.exp(-0.5 * ((w - c) / s) ** 2) for c, s, h in BANDS[k])


def reference_slope(k, w):
    return sum(-h * (w - c) / s ** 2 * np.exp(-0.5 * ((w - c) / s) ** 2) for c, s, h in BANDS[k])


def model(p, w):
    a, shift, fractions = p[0], p[1], p[2:]
    return a * sum(f * reference(k, w - shift) for k, f in enumerate(fractions))


def jacobian(p, w):
    a, shift, fractions = p[0], p[1], p[2:]
    spectra = np.array([reference(k, w - shift) for k in range(3)])
    slopes = np.array([reference_slope(k, w - shift) for k in range(3)])
    return np.column_stack([fractions @ spectra, -a * (fractions @ slopes), *(a * spectra)])



def main(figure=None):
    w = np.linspace(380.0, 640.0, 261)
    y = model(TRUE, w) + np.random.default_rng(2026).normal(0.0, SIGMA, w.size)

    result = ombrix.fit(model, [1.0, 0.0, 1 / 3, 1 / 3, 1 / 3], y, args=(w,), jac=jacobian,
                        sigma=np.full(w.size, SIGMA), absolute_sigma=True,
                        eq=([0, 0, 1, 1, 1], 1.0), bounds=([0, -20, 0, 0, 0], [np.inf, 20, 1, 1, 1]),
                        names=NAMES)
    print(result.report())
    print()
    print(f"f1 + f2 + f3 = {result.p[2:].sum():.12f}")
    print("true values:  " + ", ".join(f"{n} = {v:g}" for n, v in zip(NAMES, TRUE)))

    if figure:
        plt = pyplot()
        if plt is None:
            return result
        curve = model(result.p, w)
        band = confidence_band(jacobian(result.p, w), result.cov)
        fig, ax = plt.subplots(figsize=(7, 4.5))
        ax.plot(w, y, ".", ms=3, color="0.4", label="measured")
        ax.plot(w, curve, color="C0", label="fit")
        ax.fill_between(w, curve - band, curve + band, color="C0", alpha=0.3, label="95 % band of the fit")
        for k in range(3):
            share = result.p[0] * result.p[2 + k] * reference(k, w - result.p[1])
            ax.plot(w, share, "--", lw=1, color=f"C{k + 1}",
                    label=f"compound {k + 1}: f = {result.p[2 + k]:.3f} ± {result.stderr[2 + k]:.3f}")
        ax.set_xlabel("wavelength (nm)")
        ax.set_ylabel("absorbance")
        ax.set_title("Mixture fractions with f1 + f2 + f3 = 1")
        ax.legend(frameon=False, fontsize=9)
        fig.tight_layout()
        fig.savefig(figure, dpi=110)
        print(f"figure: {figure}")
    return result


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else figure_path("mixture_fractions"))
