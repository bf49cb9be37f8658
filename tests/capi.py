"""ctypes access to the numeric layer's C API, exported by ombrix._ombrix.

Prototypes are read from the installed public header, so the tests call
exactly what C callers see.  Pointer arguments are declared as void pointers:
pass ``ptr(array)`` or None.
"""

import ctypes
import os
import re

import numpy as np

import ombrix
import ombrix._ombrix as _module

LIB_PATH = _module.__file__
lib = ctypes.CDLL(LIB_PATH)
HEADER = os.path.join(ombrix.get_include(), "ombrix.h")

REAL = {"d": ctypes.c_double, "s": ctypes.c_float}
DTYPE = {"d": np.float64, "s": np.float32}
PRECISIONS = ("d", "s")

_SCALARS = {"double": ctypes.c_double, "float": ctypes.c_float, "int": ctypes.c_int, "void": None}
_DECL = re.compile(r"^OMBRIX_API\s+(\w+)\s+(\w+)\((.*)\);$", re.M)


def _ctype(decl):
    words = decl.replace("const ", "").split()
    if "*" in decl or words[0].endswith("_callback"):
        return ctypes.c_void_p
    return _SCALARS[words[0]]


def declarations():
    """{name: (return type, [argument declarations])} of every exported function."""
    with open(HEADER) as f:
        text = f.read()
    return {name: (ret, [a.strip() for a in args.split(",")]) for ret, name, args in _DECL.findall(text)}


for _name, (_ret, _args) in declarations().items():
    _fn = getattr(lib, _name, None)
    if _fn is None:  # a missing export fails the symbol test, not every import
        continue
    _fn.restype = _SCALARS[_ret]
    _fn.argtypes = [_ctype(a) for a in _args]


def fn(prefix, name):
    """The C function `name` in precision `prefix`: fn("s", "ombrix_der") is sombrix_der."""
    return getattr(lib, prefix + name)


def ptr(a):
    """Address of an array's data, or None."""
    return None if a is None else ctypes.c_void_p(a.ctypes.data)


def callback_type(prefix):
    real = ctypes.POINTER(REAL[prefix])
    return ctypes.CFUNCTYPE(None, real, real, ctypes.c_int, ctypes.c_int, ctypes.c_void_p)


def callback(prefix, f, size=None, calls=None):
    """A C callback from `f(p) -> values`: p is a copy of the m parameters, the
    result is written to the output (n values, or n*m when `size` says so).
    Every call is recorded in `calls` (a list) when given."""

    def trampoline(p, out, m, n, user_data):
        params = np.ctypeslib.as_array(p, shape=(m,)).copy()
        if calls is not None:
            calls.append(params)
        count = size(m, n) if size else n
        values = np.asarray(f(params), dtype=DTYPE[prefix]).ravel()
        np.ctypeslib.as_array(out, shape=(count,))[:] = values

    return callback_type(prefix)(trampoline)


def jacobian_callback(prefix, jac, calls=None):
    return callback(prefix, jac, size=lambda m, n: n * m, calls=calls)
