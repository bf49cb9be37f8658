"""Models given as C functions: ``void f(const T *p, T *out, int m, int n,
void *user_data)``, T double (float for float32 fits), as the numeric
layer's callbacks take them; a Jacobian has the same signature and writes
the (n, m) row-major Jacobian.

Three carriers are accepted, without importing the libraries that make
them: a ctypes function pointer (``ctypes.CFUNCTYPE(...)(address)`` or a
function of a ``ctypes.CDLL``), a compiled numba ``cfunc`` (its ``address``
and ``ctypes`` attributes), and a SciPy ``LowLevelCallable`` (its capsule,
whose name is the signature, and its ``user_data``).  Where the signature
is knowable it is checked, and a mismatch is refused with the signature
expected.

The binding runs such a model without the interpreter: it reads the
function's address from the `CFunction` that `resolve` returns (its
``_c_function`` attribute).  The `CFunction` is also callable from Python,
through ctypes, so the rest of the fitting code (start checks, results'
``eval``) evaluates it like any model.
"""

import ctypes
import re

import numpy as np

__all__ = ["CFunction", "is_compiled", "resolve"]

_CTYPES = {np.dtype(np.float64): ctypes.c_double, np.dtype(np.float32): ctypes.c_float}
_LETTER = {np.dtype(np.float64): "d", np.dtype(np.float32): "s"}
_C_NAME = {np.dtype(np.float64): "double", np.dtype(np.float32): "float"}


def _prototype(dtype):
    real = ctypes.POINTER(_CTYPES[dtype])
    return ctypes.CFUNCTYPE(None, real, real, ctypes.c_int, ctypes.c_int, ctypes.c_void_p)


def _expected(dtype):
    name = _C_NAME[dtype]
    return f"void (const {name} *, {name} *, int, int, void *)"


class CFunction:
    """A model or Jacobian as a C function, bound to the sizes (m, n) of a fit.

    Calling it, ``f(p)``, evaluates it through ctypes and returns a new
    array: n values for a model, (n, m) for a Jacobian.
    """

    def __init__(self, address, user_data, dtype, m, n, jacobian, carrier):
        self._c_function = (int(address), None if not user_data else int(user_data), _LETTER[dtype])
        self._dtype = dtype
        self._m, self._n = int(m), int(n)
        self._shape = (self._n, self._m) if jacobian else (self._n,)
        self._carrier = carrier  # keeps the compiled code (and its user data) alive
        self._call = _prototype(dtype)(int(address))

    def __call__(self, p, *args):
        if args:
            raise TypeError("a compiled model takes no extra arguments (pass data through user_data)")
        point = np.ascontiguousarray(p, dtype=self._dtype)
        if point.shape != (self._m,):
            raise ValueError(f"the compiled function takes {self._m} parameters, not an array of shape {point.shape}")
        out = np.empty(self._shape, dtype=self._dtype)
        real = ctypes.POINTER(_CTYPES[self._dtype])
        self._call(point.ctypes.data_as(real), out.ctypes.data_as(real), self._m, self._n,
                   self._c_function[1])
        return out

    def __repr__(self):
        return f"<compiled function at {self._c_function[0]:#x}>"

    def __reduce__(self):
        raise TypeError("a compiled model cannot be pickled: its address is valid in this process only")


def _is_low_level_callable(obj):
    return type(obj).__name__ == "LowLevelCallable" and isinstance(obj, tuple) and hasattr(obj, "signature")


def is_compiled(obj):
    """Whether `obj` carries a C function (see the module's description)."""
    if obj is None or isinstance(obj, CFunction):
        return isinstance(obj, CFunction)
    if isinstance(obj, ctypes._CFuncPtr):
        return True
    if _is_low_level_callable(obj):
        return True
    return isinstance(getattr(obj, "address", None), int) and isinstance(getattr(obj, "ctypes", None),
                                                                            ctypes._CFuncPtr)


def resolve(obj, dtype, m, n, jacobian=False):
    """`obj` as a `CFunction` for a fit of m parameters and n values in the
    precision `dtype`; TypeError when its signature does not match."""
    dtype = np.dtype(dtype)
    if dtype not in _LETTER:
        raise ValueError(f"dtype must be float64 or float32, not {dtype}")
    if isinstance(obj, CFunction):
        if obj._c_function[2] != _LETTER[dtype] or (obj._m, obj._n) != (m, n):
            return resolve(obj._carrier, dtype, m, n, jacobian)
        return obj
    if _is_low_level_callable(obj):
        address, user_data = _low_level_callable(obj, dtype)
    elif isinstance(obj, ctypes._CFuncPtr):
        _check_ctypes(obj, dtype)
        address, user_data = ctypes.cast(obj, ctypes.c_void_p).value, None
    else:  # a numba cfunc
        _check_ctypes(obj.ctypes, dtype)
        address, user_data = obj.address, None
    return CFunction(address, user_data, dtype, m, n, jacobian, obj)


def _check_ctypes(function, dtype):
    """Refuses a ctypes function whose declared signature is not the callback's."""
    argtypes = getattr(function, "argtypes", None)
    if argtypes is None:  # not declared: taken on trust
        return
    real = _CTYPES[dtype]
    wanted = [ctypes.POINTER(real), ctypes.POINTER(real), ctypes.c_int, ctypes.c_int, ctypes.c_void_p]

    def matches(given, expected):
        if given is expected:
            return True
        if expected is ctypes.c_void_p:  # any pointer carries the user data
            return given is ctypes.c_void_p or hasattr(given, "_type_") and issubclass(given, ctypes._Pointer)
        if expected is ctypes.c_int:  # numba declares int as c_int32
            return given in (ctypes.c_int, ctypes.c_int32)
        return False

    restype = getattr(function, "restype", None)
    if (len(argtypes) != 5 or not all(matches(g, e) for g, e in zip(argtypes, wanted))
            or restype not in (None, type(None))):
        given = ", ".join(getattr(t, "__name__", str(t)) for t in argtypes)
        raise TypeError(f"the compiled function's signature does not match: it must be {_expected(dtype)}, "
                        f"not ({given}) -> {getattr(restype, '__name__', restype)}")


_SIGNATURE = re.compile(r"\s+")


def _normal_signature(text):
    text = _SIGNATURE.sub(" ", text.replace("*", " * ")).strip()
    return text.replace(" const ", " ").replace("( ", "(").replace(" )", ")").replace(" ,", ",")


def _low_level_callable(obj, dtype):
    """(address, user_data) of a LowLevelCallable, whose signature must be the callback's."""
    name = _C_NAME[dtype]
    signature = _normal_signature(obj.signature.replace("const", " const "))
    accepted = {_normal_signature(f"void ({name} *, {name} *, int, int, void *)")}
    if signature not in accepted:
        raise TypeError(f"the LowLevelCallable's signature does not match: it must be {_expected(dtype)}, "
                        f"not {obj.signature}")
    function = obj.function  # a capsule, or the ctypes function it was made of
    if isinstance(function, ctypes._CFuncPtr):
        address = ctypes.cast(function, ctypes.c_void_p).value
    elif type(function).__name__ == "PyCapsule":
        address = _capsule_pointer(function)
    else:
        raise TypeError("the LowLevelCallable must carry a capsule or a ctypes function")
    user_data = obj.user_data
    if user_data is not None:
        if type(user_data).__name__ == "PyCapsule":
            user_data = _capsule_pointer(user_data)
        elif isinstance(user_data, ctypes.c_void_p):
            user_data = user_data.value
        elif isinstance(user_data, ctypes._Pointer):
            user_data = ctypes.cast(user_data, ctypes.c_void_p).value
        else:
            raise TypeError("the LowLevelCallable's user_data must be a capsule or a ctypes pointer")
    return address, user_data


_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype = ctypes.c_char_p
_capsule_name.argtypes = [ctypes.py_object]
_capsule_get = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_get.restype = ctypes.c_void_p
_capsule_get.argtypes = [ctypes.py_object, ctypes.c_char_p]


def _capsule_pointer(capsule):
    return _capsule_get(capsule, _capsule_name(capsule))
