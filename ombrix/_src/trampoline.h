// Evaluation of a Python callable on behalf of a solver callback.
#ifndef OMBRIX_SRC_TRAMPOLINE_H
#define OMBRIX_SRC_TRAMPOLINE_H

#include <cstring>

#include "arrays.h"

namespace ombrix::py {

// Calls callable(view, *args), where the view is a float64 array over the m
// parameters at `p` (no copy, no owner), and copies the result into `out`.
// The result must be an ndarray of exactly `count` real values; one that is
// not C-contiguous float64 is converted first.  On failure an exception is
// pending and `out` is untouched.  `what` names the callable in messages.
static inline int evaluate_into(PyObject* callable, PyObject* args, const double* p, int m, double* out,
                                Py_ssize_t count, const char* what) {
  // The callable may rebind the objects that hold these two.
  Ref target = Ref::borrow(callable);
  Ref extra = Ref::borrow(args);

  npy_intp dims[1] = {m};
  Ref view(PyArray_New(&PyArray_Type, 1, dims, NPY_DOUBLE, nullptr, const_cast<double*>(p), 0, NPY_ARRAY_CARRAY,
                       nullptr));
  if (!view) return -1;
  Ref head(PyTuple_Pack(1, view.get()));
  if (!head) return -1;
  Ref call_args(PySequence_Concat(head, extra));
  if (!call_args) return -1;
  Ref result(PyObject_Call(target, call_args, nullptr));
  if (!result) return -1;

  if (!PyArray_Check(result)) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(result.get())->tp_name,
                 PyArray_Type.tp_name);
    return -1;
  }
  PyArrayObject* array = as_array(result);
  const npy_intp size = PyArray_SIZE(array);
  if (size != count) {
    PyErr_Format(PyExc_ValueError, "%s returned %zd values, expected %zd", what, Py_ssize_t(size), count);
    return -1;
  }
  Ref float64(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
  if (!PyArray_CanCastTypeTo(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(float64.get()),
                             NPY_SAME_KIND_CASTING)) {
    PyErr_Format(PyExc_TypeError, "%s returned %S values, expected real numbers", what,
                 reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
    return -1;
  }
  Ref values = double_array(result, 0, 0, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST);
  if (!values) return -1;
  std::memcpy(out, doubles(values), std::size_t(count) * sizeof(double));
  return 0;
}

}  // namespace ombrix::py

#endif  // OMBRIX_SRC_TRAMPOLINE_H
