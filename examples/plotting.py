"""What the examples share for their figures."""

import numpy as np


def pyplot():
    """matplotlib.pyplot drawing to files, or None (with a note) when
    matplotlib is not installed: the examples then fit without a figure."""
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no figure (pip install \"ombrix[examples]\")")
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def confidence_band(jacobian, cov, level=1.96):
    """Half-width of the confidence band of a fitted curve: level times the
    standard deviation of the curve, sqrt(diag(J cov J^T)) with J the
    Jacobian of the curve at the fitted parameters (1.96: 95 %)."""
    return level * np.sqrt(np.einsum("ij,jk,ik->i", jacobian, cov, jacobian))
