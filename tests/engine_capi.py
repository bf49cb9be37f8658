"""ctypes access to the trust-region engine ?ombrix_solve of the C API.

The option and result structs mirror numeric/ombrix.h.  `solve` runs one fit
with NumPy callbacks and returns a `Solved` record; the tests and
bench/engine_nist.py share it.
"""

import ctypes
from dataclasses import dataclass, field

import numpy as np

import capi

SMALL_GRADIENT, SMALL_STEP, SMALL_REDUCTION, ZERO_RESIDUAL = 1, 2, 3, 4
STALLED, ITERATION_LIMIT, EVALUATION_LIMIT, INVALID_VALUES, ABORTED, LINEAR_ALGEBRA = 5, 6, 7, 8, 9, 10
CONVERGED = (SMALL_GRADIENT, SMALL_STEP, SMALL_REDUCTION, ZERO_RESIDUAL)
LOSSES = {"linear": 0, "soft_l1": 1, "huber": 2, "cauchy": 3, "arctan": 4}
SCALINGS = {"max_column_norms": 0, "column_norms": 1, "identity": 2}
DIFFERENCES = {"forward": 0, "central": 1, "forward_only": 2}

STOP_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)


def _options_type(real):
    accept = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(real), ctypes.c_int, ctypes.c_void_p)

    class Options(ctypes.Structure):
        _fields_ = [("max_iterations", ctypes.c_int), ("max_evaluations", ctypes.c_int),
                    ("ftol", real), ("xtol", real), ("gtol", real), ("initial_damping", real),
                    ("scaling", ctypes.c_int), ("loss", ctypes.c_int), ("f_scale", real),
                    ("geodesic", ctypes.c_int), ("geodesic_alpha", real), ("geodesic_h", real),
                    ("differences", ctypes.c_int), ("difference_step", real),
                    ("jacobian_accuracy", real),
                    ("typical", ctypes.POINTER(real)), ("lower", ctypes.POINTER(real)),
                    ("upper", ctypes.POINTER(real)),
                    ("should_stop", STOP_CALLBACK), ("accept_point", accept),
                    ("workspace", ctypes.POINTER(real))]

    Options.accept_type = accept
    return Options


OPTIONS = {prefix: _options_type(real) for prefix, real in capi.REAL.items()}


class Result(ctypes.Structure):
    _fields_ = [("status", ctypes.c_int), ("converged", ctypes.c_int), ("message", ctypes.c_char_p),
                ("iterations", ctypes.c_int), ("nfev", ctypes.c_int), ("njev", ctypes.c_int),
                ("rank", ctypes.c_int), ("initial_chisq", ctypes.c_double), ("chisq", ctypes.c_double),
                ("gradient", ctypes.c_double), ("scaled_gradient", ctypes.c_double),
                ("damping", ctypes.c_double)]


@dataclass
class Solved:
    """One run: the return value, the parameters, the result fields as a
    dict, the covariance (or None) and the points of every model call."""
    ret: int
    p: np.ndarray
    result: dict
    cov: np.ndarray = None
    calls: list = field(default_factory=list)

    def __getattr__(self, name):
        try:
            return self.result[name]
        except KeyError:
            raise AttributeError(name) from None


def default_options(prefix, lib=None):
    options = OPTIONS[prefix]()
    _fn(lib, prefix, "ombrix_solve_defaults")(ctypes.byref(options))
    return options


def _fn(lib, prefix, name):
    f = getattr(lib or capi.lib, prefix + name)
    if lib is not None and name == "ombrix_solve":  # a library other than the one capi declared
        f.restype = ctypes.c_int
        f.argtypes = [ctypes.c_void_p] * 5 + [ctypes.c_int] * 2 + [ctypes.c_void_p] * 4
    return f


def _array(values, dt, m):
    return None if values is None else np.ascontiguousarray(np.broadcast_to(np.asarray(values, dtype=dt), (m,)))


def solve(prefix, model, p0, y=None, n=None, jac=None, weights=None, covariance=False, lib=None, record=False,
          typical=None, lower=None, upper=None, should_stop=None, accept_point=None, workspace=None, **options):
    """Run ?ombrix_solve.  `model(p)` returns the n model values and
    `jac(p)` the n x m Jacobian (None: differences); keyword `options` set
    fields of the options struct (loss, scaling and differences by name)."""
    dt = capi.DTYPE[prefix]
    p = np.array(p0, dtype=dt)
    m = len(p)
    y = None if y is None else np.ascontiguousarray(y, dtype=dt)
    n = len(y) if n is None else n
    o = default_options(prefix, lib)
    for key, value in options.items():
        if key == "loss":
            value = LOSSES[value]
        elif key == "scaling":
            value = SCALINGS[value]
        elif key == "differences":
            value = DIFFERENCES[value]
        setattr(o, key, value)
    keep = []
    for name, values in (("typical", typical), ("lower", lower), ("upper", upper)):
        a = _array(values, dt, m)
        if a is not None:
            keep.append(a)
            setattr(o, name, a.ctypes.data_as(ctypes.POINTER(capi.REAL[prefix])))
    if workspace is not None:
        o.workspace = workspace.ctypes.data_as(ctypes.POINTER(capi.REAL[prefix]))
    if should_stop is not None:
        o.should_stop = STOP_CALLBACK(lambda user_data: int(should_stop()))
    if accept_point is not None:
        o.accept_point = OPTIONS[prefix].accept_type(
            lambda q, size, user_data: int(accept_point(np.ctypeslib.as_array(q, shape=(size,)).copy())))
    calls = [] if record else None
    f_cb = capi.callback(prefix, model, calls=calls)
    j_cb = None if jac is None else capi.jacobian_callback(prefix, jac)
    w = None if weights is None else np.ascontiguousarray(weights, dtype=dt)
    cov = np.full((m, m), -1.0, dtype=dt) if covariance else None
    result = Result()
    ret = _fn(lib, prefix, "ombrix_solve")(f_cb, j_cb, capi.ptr(p), capi.ptr(y), capi.ptr(w), m, n,
                                           ctypes.byref(o), ctypes.byref(result), capi.ptr(cov), None)
    fields = {name: getattr(result, name) for name, _ in Result._fields_}
    fields["message"] = (fields["message"] or b"").decode()
    return Solved(ret, p, fields, cov, calls or [])
