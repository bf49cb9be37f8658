"""python -m ombrix: fit Rosenbrock's function through the C API (placeholder demo)."""

import ctypes

import numpy as np

from . import _ombrix

lib = ctypes.CDLL(_ombrix.__file__)
Callback = ctypes.CFUNCTYPE(None, ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double),
                            ctypes.c_int, ctypes.c_int, ctypes.c_void_p)


@Callback
def rosenbrock(p, out, m, n, user_data):
    out[0] = 10.0 * (p[1] - p[0] ** 2)
    out[1] = 1.0 - p[0]


@Callback
def rosenbrock_jacobian(p, out, m, n, user_data):
    out[0], out[1], out[2], out[3] = -20.0 * p[0], 10.0, -1.0, 0.0


def main():
    p = np.array([-1.2, 1.0])
    info = np.zeros(10)
    ptr = lambda a: a.ctypes.data_as(ctypes.c_void_p)
    iterations = lib.dombrix_der(rosenbrock, rosenbrock_jacobian, ptr(p), None, 2, 2, 1000, None,
                                 ptr(info), None, None, None)
    print(f"Rosenbrock from (-1.2, 1): p = {p}, {iterations} iterations, stop reason {int(info[6])}")


if __name__ == "__main__":
    main()
