"""What the examples share for their figures."""

import os

import numpy as np

FIGURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "figures")


def figure_path(name):
    """Where an example writes its figure by default: examples/figures/<name>.png,
    whatever the current folder."""
    return os.path.join(FIGURES, f"{name}.png")


def pyplot():
    """matplotlib.pyplot drawing to files, or None (with a note) when
    matplotlib is not installed: the examples then fit without a figure."""
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no figure (`make examples`, or `pip install \".[examples]\"` "
              "in the repository)")
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def confidence_band(jacobian, cov, level=1.96):
    """Half-width of the confidence band of a fitted curve: level times the
    standard deviation of the curve, sqrt(diag(J cov J^T)) with J the
    Jacobian of the curve at the fitted parameters (1.96: 95 %)."""
    return level * np.sqrt(np.einsum("ij,jk,ik->i", jacobian, cov, jacobian))
