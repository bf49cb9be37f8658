"""A fluorescence-lifetime image: one two-exponential decay per pixel, fitted with fit_many.

Each pixel of a 256 x 256 image records a decay histogram

    y(t) = a1 exp(-t / tau1) + a2 exp(-t / tau2) + c

whose lifetimes vary across the image (a short-lived species everywhere,
a longer-lived one whose lifetime grows from left to right, more of it in
a disc at the centre).  The counts are Poisson-like: Gaussian noise of
standard deviation sqrt(y), which is also the fit's sigma.  Amplitudes
cannot be negative: bounds a1, a2 >= 0.  fit_many fits all 65,536 pixels
with one call; the map of the amplitude-weighted mean lifetime
(a1 tau1 + a2 tau2) / (a1 + a2) is the picture.

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


def main(figure=None, size=256):
    truth, y = image(size)
    start = np.array([150.0, 0.5, 150.0, 3.0, 1.0])
    sigma = np.sqrt(np.maximum(y, 1.0))  # Poisson: the variance is the count
    began = time.perf_counter()
    batch = ombrix.fit_many(decay, start, y, args=(T,), jac=decay_jac, sigma=sigma, bounds=BOUNDS)
    seconds = time.perf_counter() - began
    print(f"{len(batch)} pixels fitted in {seconds:.1f} s ({len(batch) / seconds:,.0f} fits/s)")
    print(batch.summary())
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
