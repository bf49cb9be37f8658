"""Calling any solver of the C interface through ctypes, recording its callbacks.

Every solver takes func, [jacf,] p, x, m, n, then its constraint arguments,
then max_iter, opts, info, workspace, covariance, user_data.
"""

from dataclasses import dataclass, field

import numpy as np

import capi


@dataclass
class Fit:
    """One solver run: its result, p, info and covariance as left by the call,
    the constraint arrays it was given, and the points of every callback call."""
    ret: int
    p: np.ndarray
    info: np.ndarray
    cov: np.ndarray
    constraints: list = field(default_factory=list)
    calls: list = field(default_factory=list)       # points of every model call
    jac_calls: list = field(default_factory=list)   # points of every Jacobian call

    @property
    def stop(self):
        return int(self.info[6])


def call(prefix, variant, model, p0, x, constraints=(), jac=None, mode=None, n=None, m=None, max_iter=200,
         opts=None, info=True, cov=True, workspace=None, fill=-1.0):
    """Run ?ombrix[_variant]_der when `jac` is given (or mode="der": then a
    null Jacobian callback without `jac`), else ?ombrix[_variant]_dif.

    `constraints` are the arguments between n and max_iter: arrays (converted
    to the precision), None, or ints.  `info` and `cov` False pass null;
    otherwise they start filled with `fill`."""
    dt = capi.DTYPE[prefix]
    p = np.array(p0, dtype=dt)
    m = len(p) if m is None else m
    x = None if x is None else np.asarray(x, dtype=dt)
    n = len(x) if n is None else n
    keep = [None if c is None or isinstance(c, int) else np.array(c, dtype=dt) for c in constraints]
    args = [c if isinstance(c, int) else capi.ptr(a) for c, a in zip(constraints, keep)]
    info_arr = np.full(10, fill, dtype=dt) if info else None
    cov_arr = np.full((max(m, 0),) * 2, fill, dtype=dt) if cov else None
    opts = None if opts is None else np.asarray(opts, dtype=dt)
    result = Fit(0, p, info_arr, cov_arr, keep)
    f_cb = capi.callback(prefix, model, calls=result.calls)
    tail = (max_iter, capi.ptr(opts), capi.ptr(info_arr), capi.ptr(workspace), capi.ptr(cov_arr), None)
    name = "ombrix" + (f"_{variant}" if variant else "")
    if (mode or ("der" if jac is not None else "dif")) == "der":
        j_cb = None if jac is None else capi.jacobian_callback(prefix, jac, calls=result.jac_calls)
        result.ret = capi.fn(prefix, f"{name}_der")(f_cb, j_cb, capi.ptr(p), capi.ptr(x), m, n, *args, *tail)
    else:
        result.ret = capi.fn(prefix, f"{name}_dif")(f_cb, capi.ptr(p), capi.ptr(x), m, n, *args, *tail)
    return result
