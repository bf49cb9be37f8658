"""Two Gaussian peaks on a decaying baseline, with bounds.

NIST's Gauss1 reference data (250 points, bundled with ombrix):

    y = b1 exp(-b2 x) + b3 exp(-(x - b4)^2 / b5^2) + b6 exp(-(x - b7)^2 / b8^2)

Bounds keep the fit physical: amplitudes and the decay rate are not negative,
the peak centres lie inside the measured range, the widths are positive.

    python examples/peak_fit.py [output.png]   (default: examples/figures/peak_fit.png)

The figure (data, fit, 95 % confidence band of the fitted curve) needs
matplotlib (`make examples`, or `pip install ".[examples]"` in the
repository); without it the fit still runs.
"""

import sys

import numpy as np

import ombrix
from plotting import confidence_band, figure_path, pyplot
from ombrix import nist

NAMES = ["baseline", "decay", "height1", "centre1", "width1", "height2", "centre2", "width2"]



def main(figure=None):
    data = nist.load("Gauss1")
    x, y = data.x, data.y
    inf = np.inf
    lower = [0, 0, 0, x.min(), 1e-3, 0, x.min(), 1e-3]
    upper = [inf, inf, inf, x.max(), inf, inf, x.max(), inf]

    result = ombrix.fit(data.model, data.start1, y, args=(x,), jac=data.jacobian, bounds=(lower, upper),
                        names=NAMES)
    print(result.report())
    print()
    print("largest deviation from NIST's certified values: "
          f"{np.max(np.abs(result.p - data.certified) / np.abs(data.certified)):.1e} (relative)")

    if figure:
        plt = pyplot()
        if plt is None:
            return result
        grid = np.linspace(x.min(), x.max(), 600)
        curve = data.model(result.p, grid)
        band = confidence_band(data.jacobian(result.p, grid), result.cov)
        fig, (top, bottom) = plt.subplots(2, 1, figsize=(7, 5.5), sharex=True, height_ratios=[3, 1])
        top.plot(x, y, ".", ms=3, color="0.4", label="Gauss1 data")
        top.plot(grid, curve, color="C0", label="fit")
        top.fill_between(grid, curve - band, curve + band, color="C0", alpha=0.3, label="95 % band of the fit")
        top.set_ylabel("y")
        top.legend(frameon=False)
        top.set_title("Two peaks on a decaying baseline (bounded fit)")
        bottom.plot(x, result.residuals, ".", ms=3, color="C3")
        bottom.axhline(0, color="0.5", lw=0.8)
        bottom.set_xlabel("x")
        bottom.set_ylabel("residual")
        fig.tight_layout()
        fig.savefig(figure, dpi=110)
        print(f"figure: {figure}")
    return result


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else figure_path("peak_fit"))
