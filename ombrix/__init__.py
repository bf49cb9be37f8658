"""ombrix: Levenberg-Marquardt nonlinear least squares."""

import os as _os

from . import _ombrix  # noqa: F401  (ombrix._ombrix is part of the package)
from ._fit_api import FitResult, Status, check_jacobian, fit
from ._ombrix import (ombrix, ombrix_bc, ombrix_blec, ombrix_bleic, ombrix_blic, ombrix_lec, ombrix_leic,
                      ombrix_lic)

__all__ = ["fit", "FitResult", "Status", "check_jacobian",
           "ombrix", "ombrix_bc", "ombrix_lec", "ombrix_blec", "ombrix_bleic", "ombrix_blic", "ombrix_leic",
           "ombrix_lic", "get_include", "get_lib_dir"]


def get_include():
    """Directory of the C header ``ombrix.h``."""
    return _os.path.join(_os.path.dirname(__file__), "include")


def get_lib_dir():
    """Directory of ``libombrix.so`` (link with ``-lombrix``) and its LAPACK."""
    return _os.path.join(_os.path.dirname(__file__), "_libs")
