"""ombrix: Levenberg-Marquardt nonlinear least squares."""

import os as _os

from . import _ombrix  # noqa: F401  (ombrix._ombrix is part of the package)
from ._curve_fit import curve_fit
from ._fit_api import FitResult, Status, check_jacobian, fit
from ._ombrix import (ombrix, ombrix_bc, ombrix_blec, ombrix_bleic, ombrix_blic, ombrix_lec, ombrix_leic,
                      ombrix_lic)

__all__ = ["fit", "FitResult", "Status", "check_jacobian", "curve_fit", "OptimizeWarning",
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
