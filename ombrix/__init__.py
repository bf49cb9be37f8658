"""ombrix: nonlinear least-squares fits by Levenberg-Marquardt, with bounds and
linear equality and inequality constraints, in double or single precision.

Fitting::

    import numpy as np, ombrix

    def model(p, t):
        return p[0] * np.exp(-p[1] * t) + p[2]

    result = ombrix.fit(model, [1, 1, 0], y, args=(t,), bounds=([0, 0, -1], [10, 5, 1]))
    result.p, result.stderr, result.cov, result.success   # a FitResult
    print(result.report())
    result.params, result.eval_uncertainty(t_new), result.plot()   # table, band, figure

    popt, pcov = ombrix.curve_fit(lambda t, a, k, c: a * np.exp(-k * t) + c, t, y)

Public API:

fit, FitResult, Status
    Fits ``model(p, *args)`` to data, with `jac=`, `sigma=`, `bounds=`,
    `eq=(A, b)` for A p = b, `ineq=(C, d)` for C p >= d, `dtype=`.
curve_fit, OptimizeWarning
    The interface of SciPy's ``curve_fit`` on the same solvers.
fit_many, FitBatch
    One model fitted to each row of a data array (thousands of fits), with
    Python, vectorized or compiled models, threads or Dask.
check_jacobian
    Grades an analytic Jacobian against differences of the model.
ombrix, ombrix_bc, ombrix_lec, ombrix_blec, ombrix_bleic, ombrix_blic, ombrix_leic, ombrix_lic
    The low-level fitting functions: every argument explicit, returning
    ``(p, pcov, info)``; a fixed, stable interface.
ombrix.nist
    NIST's reference problems with their certified values (``from ombrix import nist``).
get_include, get_lib_dir
    The C header ``ombrix.h`` and ``libombrix.so`` for C and C++ programs;
    ``python -m ombrix.config --cflags --libs`` prints the compiler flags.
"""

import os as _os
from importlib import metadata as _metadata

try:
    from . import _ombrix  # noqa: F401  (ombrix._ombrix is part of the package)
except ImportError as _error:
    # Run from a source checkout, `import ombrix` finds the uncompiled source
    # folder before the installed package; say so instead of a puzzling
    # "cannot import name '_ombrix'".
    import importlib.util as _util
    if _util.find_spec(f"{__name__}._ombrix") is None:
        raise ImportError(f"{__name__} was imported from {_os.path.dirname(__file__)}, which has no compiled "
                          "modules (a source folder?): run Python from another folder, or as `python -P` to "
                          "keep the current folder off sys.path") from None
    raise

from ._curve_fit import curve_fit
from ._fit_api import FitResult, Status, check_jacobian, fit
from ._many import FitBatch, fit_many
from ._ombrix import (ombrix, ombrix_bc, ombrix_blec, ombrix_bleic, ombrix_blic, ombrix_lec, ombrix_leic,
                      ombrix_lic)

try:
    __version__ = _metadata.version(__name__)
except _metadata.PackageNotFoundError:  # imported from a build tree, not installed
    __version__ = "0+unknown"

__all__ = ["fit", "FitResult", "Status", "check_jacobian", "fit_many", "FitBatch", "curve_fit", "OptimizeWarning",
           "ombrix", "ombrix_bc", "ombrix_lec", "ombrix_blec", "ombrix_bleic", "ombrix_blic", "ombrix_leic",
           "ombrix_lic", "get_include", "get_lib_dir"]


def get_include():
    """Directory of the C header ``ombrix.h``."""
    return _os.path.join(_os.path.dirname(__file__), "include")


def get_lib_dir():
    """Directory of ``libombrix.so`` (link with ``-lombrix``) and its LAPACK."""
    return _os.path.join(_os.path.dirname(__file__), "_libs")


def __getattr__(name):
    # OptimizeWarning is SciPy's own class when SciPy is installed, looked up
    # only when asked for: importing SciPy takes longer than importing ombrix.
    if name == "OptimizeWarning":
        from ._curve_fit import optimize_warning
        return optimize_warning()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
