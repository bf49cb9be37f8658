// A model or Jacobian given as a C function of the numeric layer's callback
// signature, f(const T* p, T* out, int m, int n, void* user_data).
//
// The Python side (ombrix/_compiled.py) reads the function's address from
// whatever carries it (a ctypes function pointer, a compiled cfunc, a
// capsule) and checks its signature where that is knowable; it hands the
// binding an object whose attribute `_c_function` is the tuple
// (address, user_data, precision), the addresses as ints and the precision
// 'd' (double) or 's' (single, as in the numeric layer's names).  Such an object stays callable from Python,
// so the rest of the fitting code can evaluate it like any model.
#ifndef OMBRIX_SRC_C_FUNCTION_H
#define OMBRIX_SRC_C_FUNCTION_H

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include "internal.h"
#include "ref.h"

namespace ombrix::py {

template <typename T>
struct CFunction {
  Callback<T> function = nullptr;
  void* user_data = nullptr;
};

// Reads the C function that `object` carries into *out: 1 when it carries
// one of precision `letter` (Real<T>::letter), 0 when it carries none (a Python callable), -1
// with an exception when its description is malformed or of the other
// precision.
template <typename T>
int read_c_function(PyObject* object, char letter, CFunction<T>* out) {
  if (object == Py_None) return 0;
  Ref description(PyObject_GetAttrString(object, "_c_function"));
  if (!description) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  PyObject *address = nullptr, *user_data = nullptr;
  int precision = 0;
  if (!PyArg_ParseTuple(description, "OOC:_c_function", &address, &user_data, &precision)) return -1;
  void* function = PyLong_AsVoidPtr(address);
  if (!function) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "a compiled model's address is null");
    return -1;
  }
  void* data = user_data == Py_None ? nullptr : PyLong_AsVoidPtr(user_data);
  if (PyErr_Occurred()) return -1;
  if (precision != letter) {
    PyErr_Format(PyExc_TypeError, "the compiled function computes in %s precision, the fit in %s",
                 precision == 's' ? "single" : "double", letter == 's' ? "single" : "double");
    return -1;
  }
  out->function = reinterpret_cast<Callback<T>>(function);
  out->user_data = data;
  return 1;
}

}  // namespace ombrix::py

#endif  // OMBRIX_SRC_C_FUNCTION_H
