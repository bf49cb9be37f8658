"""FitResult.plot: the data with error bars, the fitted model, optionally its
confidence band, and the residuals in a panel below.  Matplotlib is optional
and imported only here, when a plot is asked for."""

import numpy as np

from . import _results

_MISSING_MATPLOTLIB = ("FitResult.plot needs matplotlib, which is not installed: "
                       "pip install 'ombrix[examples]' (or pip install matplotlib)")


def plot(result, x=None, *, y=None, ax=None, fig=None, band=False, nsigma=1.0, confidence=None, model=None,
         jac=None, xlabel=None, ylabel=None):
    """Draws the fit; see `FitResult.plot`.  Returns the Figure."""
    try:
        from matplotlib import pyplot
    except ImportError:
        raise ImportError(_MISSING_MATPLOTLIB) from None

    fitted = _results.evaluate(result, model=model)
    n = fitted.shape[0]
    x = _horizontal_axis(result, x, n)
    data = fitted + result.residuals if y is None else np.asarray(y, dtype=np.float64)
    if data.shape != (n,):
        raise ValueError(f"y must have shape ({n},), not {data.shape}")
    errors = _error_bars(result, n)
    order = np.argsort(x, kind="stable")
    ax_fit, ax_residuals, fig = _axes(pyplot, ax, fig)

    ax_fit.errorbar(x, data, yerr=errors, fmt="o", markersize=4, label="data")
    ax_fit.plot(x[order], fitted[order], "-", label="fit")
    if band:
        half = _results.uncertainty(result, nsigma=nsigma, confidence=confidence, model=model, jac=jac)
        label = f"{confidence:.0%} confidence band" if confidence is not None else f"{nsigma:g} sigma band"
        ax_fit.fill_between(x[order], (fitted - half)[order], (fitted + half)[order], alpha=0.3, label=label)
    ax_fit.legend()
    if ylabel is not None:
        ax_fit.set_ylabel(ylabel)
    bottom = ax_fit
    if ax_residuals is not None:
        ax_residuals.errorbar(x, data - fitted, yerr=errors, fmt="o", markersize=4)
        ax_residuals.axhline(0.0, color="grey", linewidth=1)
        ax_residuals.set_ylabel("residual")
        bottom = ax_residuals
    if xlabel is not None:
        bottom.set_xlabel(xlabel)
    return fig


def _horizontal_axis(result, x, n):
    """`x` when given; else the fit's only argument when it is an array of n
    values (``model(p, t)`` fitted at t); else the index of the data."""
    if x is None:
        args = result.args or ()
        only = np.asarray(args[0]) if len(args) == 1 else None
        if only is not None and only.shape == (n,) and np.issubdtype(only.dtype, np.number):
            return only.astype(np.float64)
        return np.arange(n, dtype=np.float64)
    x = np.asarray(x, dtype=np.float64)
    if x.shape != (n,):
        raise ValueError(f"x must have shape ({n},), one value per data point, not {x.shape}")
    return x


def _error_bars(result, n):
    """The fit's sigma as error bars (the standard deviations of a covariance
    matrix), or None when the fit had none."""
    if result.sigma is None:
        return None
    sigma = np.asarray(result.sigma, dtype=np.float64)
    return np.sqrt(np.diag(sigma)) if sigma.ndim == 2 else np.broadcast_to(sigma, (n,))


def _axes(pyplot, ax, fig):
    """(fit axes, residual axes or None, figure): the pair `ax` given, a new
    pair in `fig`, or a new figure."""
    if ax is not None:
        if fig is not None:
            raise ValueError("give ax or fig, not both")
        ax_fit, ax_residuals = ax if isinstance(ax, (tuple, list)) else (ax, None)
        return ax_fit, ax_residuals, ax_fit.figure
    if fig is None:
        fig = pyplot.figure(layout="constrained")  # room for the labels of both panels
    ax_fit, ax_residuals = fig.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 1]})
    fig.align_ylabels([ax_fit, ax_residuals])
    return ax_fit, ax_residuals, fig
