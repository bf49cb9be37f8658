"""A fluorescence-lifetime image: one two-exponential decay per pixel, fitted with fit_many.

Each pixel of a 256 x 256 image records a decay histogram

    y(t) = a1 exp(-t / tau1) + a2 exp(-t / tau2) + c

whose lifetimes vary across the image (a short-lived species everywhere,
a longer-lived one whose lifetime grows from left to right, more of it in
a disc at the centre).  The counts are Poisson-like: Gaussian noise of
standard deviation sqrt(y), which is also the fit's sigma.  Amplitudes
cannot be negative: bounds a1, a2 >= 0.  fit_many fits all 65,536 pixels
with one call; the map of the amplitude-weighted mean lifetime
(a1 tau1 + a2 tau2) / (a1 + a2) is the picture.  When SciPy is installed,
a loop of its curve_fit (same bounds, sigma, start and Jacobian) fits the
first pixels again, for its speed beside fit_many's and the agreement of
the two.

    python examples/flim.py [output.png] [size]   (default: examples/figures/flim.png, 256)
"""

import sys
import time

import numpy as np

import ombrix
from plotting import figure_path, pyplot

T = np.linspace(0.0, 12.0, 48)  # ns
SHORT, BACKGROUND = 0.6, 2.0
BOUNDS = ([0, 0.05, 0, 0.05, 0], [np.inf, 20, np.inf, 20, np.inf])  # a1, tau1, a2, tau2, c
SCIPY_PIXELS = 2000  # the pixels SciPy's loop fits: all 65,536 would take minutes
START = np.array([150.0, 0.5, 150.0, 3.0, 1.0])  # every pixel's fit starts here
AGREEMENT = 1e-3  # the same minimum: every parameter within this many standard errors


def decay(p, t):
    a1, tau1, a2, tau2, c = p
    return a1 * np.exp(-t / tau1) + a2 * np.exp(-t / tau2) + c


def decay_jac(p, t):
    a1, tau1, a2, tau2, c = p
    e1, e2 = np.exp(-t / tau1), np.exp(-t / tau2)
    return np.column_stack([e1, a1 * t * e1 / tau1**2, e2, a2 * t * e2 / tau2**2, np.ones_like(t)])


def image(size, seed=0):
    """The true parameters of each pixel, shape (size * size, 5), and the noisy decays."""
    rows, columns = np.mgrid[0:size, 0:size] / max(size - 1, 1)
    disc = (rows - 0.5) ** 2 + (columns - 0.5) ** 2 < 0.09
    long_lifetime = 2.0 + 2.0 * columns  # 2 to 4 ns across the image
    a2 = np.where(disc, 300.0, 100.0)
    truth = np.stack([np.full_like(a2, 200.0), np.full_like(a2, SHORT), a2, long_lifetime,
                      np.full_like(a2, BACKGROUND)], axis=-1).reshape(-1, 5)
    clean = np.array([decay(p, T) for p in truth])
    rng = np.random.default_rng(seed)
    return truth, clean + rng.normal(0.0, 1.0, clean.shape) * np.sqrt(clean)


def mean_lifetime(p):
    a1, tau1, a2, tau2 = p[:, 0], p[:, 1], p[:, 2], p[:, 3]
    return (a1 * tau1 + a2 * tau2) / (a1 + a2)


def scipy_loop(y, sigma, start):
    """The parameters and standard errors SciPy's curve_fit finds for each
    row of y, fitted one by one as fit_many fits them (NaN where it fails),
    and the seconds it took; None when SciPy is not installed."""
    try:
        from scipy.optimize import curve_fit
    except ImportError:
        return None

    def model(t, *p):  # curve_fit's convention: f(xdata, *params)
        return decay(p, t)

    def model_jac(t, *p):
        return decay_jac(p, t)

    p, stderr = np.full((2, len(y), len(start)), np.nan)
    began = time.perf_counter()
    for i, (row, row_sigma) in enumerate(zip(y, sigma)):
        try:
            p[i], cov = curve_fit(model, T, row, p0=start, sigma=row_sigma, bounds=BOUNDS, jac=model_jac)
        except RuntimeError:  # no convergence within its evaluation limit
            continue
        stderr[i] = np.sqrt(np.diag(cov))
    return p, stderr, time.perf_counter() - began


def fit_pixels(y, sigma, start):
    """fit_many's fits of the decays y (one per row), and the seconds they took."""
    began = time.perf_counter()
    batch = ombrix.fit_many(decay, start, y, args=(T,), jac=decay_jac, sigma=sigma, bounds=BOUNDS)
    return batch, time.perf_counter() - began


def deviation(batch, p, stderr):
    """How far the parameters p (standard errors `stderr`, one row per fit)
    lie from the batch's: per fit, the largest difference of a parameter in
    its standard errors.  A parameter fit_many holds at a bound has a
    standard error of 0; SciPy's fit stays strictly inside the bounds and
    keeps one, the scale used there."""
    scale = np.where(batch.stderr > 0, batch.stderr, stderr)
    return np.max(np.abs(p - batch.p) / scale, axis=1)


def compare_with_scipy(y, sigma, start):
    """Fits the first pixels with fit_many and with SciPy's loop, and prints
    the speed of each and how many of the fits agree."""
    count = min(SCIPY_PIXELS, len(y))
    loop = scipy_loop(y[:count], sigma[:count], start)
    if loop is None:
        print("SciPy is not installed: no comparison with its curve_fit")
        return
    p, stderr, scipy_seconds = loop
    batch, seconds = fit_pixels(y[:count], sigma[:count], start)
    print(f"first {count:,} pixels by fit_many: {count / seconds:,.0f} fits/s")
    print(f"by a loop of SciPy's curve_fit: {count / scipy_seconds:,.0f} fits/s "
          f"({scipy_seconds / seconds:.1f} times the time)")
    apart = deviation(batch, p, stderr)
    print(f"{np.sum(apart <= AGREEMENT):,} of {count:,} fits agree within {AGREEMENT:g} standard errors, "
          f"the farthest {np.nanmax(apart, initial=0.0):.3g}")


def main(figure=None, size=256):
    truth, y = image(size)
    sigma = np.sqrt(np.maximum(y, 1.0))  # Poisson: the variance is the count
    batch, seconds = fit_pixels(y, sigma, START)
    print(f"{len(batch):,} pixels fitted in {seconds:.1f} s ({len(batch) / seconds:,.0f} fits/s)")
    print(batch.summary())
    compare_with_scipy(y, sigma, START)
    lifetime = mean_lifetime(batch.p).reshape(size, size)
    error = np.abs(lifetime - mean_lifetime(truth).reshape(size, size))
    print(f"mean lifetime: median error {np.median(error):.3f} ns")

    if figure:
        plt = pyplot()
        if plt is None:
            return batch
        fig, ax = plt.subplots(figsize=(5.5, 4.5))
        shown = ax.imshow(lifetime, cmap="viridis", vmin=np.percentile(lifetime, 1), vmax=np.percentile(lifetime, 99))
        fig.colorbar(shown, ax=ax, label="amplitude-weighted mean lifetime (ns)")
        ax.set_title(f"Lifetime map: {len(batch)} two-exponential fits")
        ax.set_axis_off()
        fig.tight_layout()
        fig.savefig(figure, dpi=110)
        print(f"figure: {figure}")
    return batch


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else figure_path("flim"), int(sys.argv[2]) if len(sys.argv) > 2 else 256)
