// Evaluation of Python callables on behalf of solver callbacks.
#ifndef OMBRIX_SRC_TRAMPOLINE_H
#define OMBRIX_SRC_TRAMPOLINE_H

#include <algorithm>
#include <cstring>
#include <memory>

#include "arrays.h"

namespace ombrix::py {

// Calls callable(point, *args), where the point is a new float64 array that
// owns a copy of the m parameters at `p` (the callable may keep it, or write
// into it, without touching the solver's memory), and copies the result into
// `out`.  The result must be an ndarray of exactly `count` real values; one
// that is not C-contiguous float64 is converted first.  On failure an
// exception is pending and `out` is untouched.  `what` names the callable in
// messages.
static inline int evaluate_into(PyObject* callable, PyObject* args, const double* p, int m, double* out,
                                Py_ssize_t count, const char* what) {
  // The callable may rebind the objects that hold these two.
  Ref target = Ref::borrow(callable);
  Ref extra = Ref::borrow(args);

  Ref point = array_copy(p, m);
  if (!point) return -1;
  Ref head(PyTuple_Pack(1, point.get()));
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

// Calls a callable through the vectorcall protocol with its extra arguments
// `args` and items supplied per call, laid out once per callable instead of
// a tuple per call: callable(item, *args) for one leading item (the default),
// or callable(*args, item_1, ..., item_k) for k trailing items.  It owns
// references to the callable and to the tuple whose items it passes.
class PositionalCall {
 public:
  enum class Items { kLeading, kTrailing };

  // `args` must be a tuple; false with an exception pending when memory is short.
  bool bind(PyObject* callable, PyObject* args, Items where = Items::kLeading, int count = 1) {
    callable_ = Ref::borrow(callable);
    args_ = Ref::borrow(args);
    const std::size_t extra = std::size_t(PyTuple_GET_SIZE(args));
    items_ = std::size_t(count);
    // slot 0 is scratch for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET); the arguments follow
    vector_.reset(static_cast<PyObject**>(PyMem_Calloc(extra + items_ + 1, sizeof(PyObject*))));
    if (!vector_) {
      PyErr_NoMemory();
      return false;
    }
    first_item_ = where == Items::kLeading ? 1 : 1 + extra;
    const std::size_t first_arg = where == Items::kLeading ? 1 + items_ : 1;
    for (std::size_t i = 0; i < extra; ++i) vector_[first_arg + i] = PyTuple_GET_ITEM(args, Py_ssize_t(i));
    count_ = extra + items_;
    return true;
  }

  // A new reference to the result, or null with an exception pending.  The
  // items (as many as bound) are borrowed for the duration of the call.
  Ref operator()(PyObject* const* items) const {
    std::copy_n(items, items_, vector_.get() + first_item_);
    Ref result(PyObject_Vectorcall(callable_, vector_.get() + 1, count_ | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    std::fill_n(vector_.get() + first_item_, items_, nullptr);
    return result;
  }
  Ref operator()(PyObject* item) const { return (*this)(&item); }

 private:
  struct MemFree {
    void operator()(PyObject** v) const { PyMem_Free(v); }
  };
  Ref callable_, args_;
  std::unique_ptr<PyObject*[], MemFree> vector_;
  std::size_t count_ = 0, items_ = 0, first_item_ = 1;
};

namespace detail {

// Copies the first `count` values of `array` into out, as T, converting
// when it is not C-contiguous aligned native T; refuses values that are not
// real (bool, integer or floating point), naming the callable by `what`.
template <typename T>
static inline bool copy_real_values(PyObject* array, T* out, std::size_t count, const char* what) {
  PyArrayObject* a = as_array(array);
  if (!PyArray_ISBOOL(a) && !PyArray_ISINTEGER(a) && !PyArray_ISFLOAT(a)) {
    PyErr_Format(PyExc_TypeError, "%s returned values of dtype %S, expected real numbers", what,
                 reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
    return false;
  }
  const std::size_t bytes = count * sizeof(T);
  if (PyArray_TYPE(a) == kNumpyType<T> && PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a) &&
      PyArray_ISNOTSWAPPED(a)) {
    std::memcpy(out, PyArray_DATA(a), bytes);
    return true;
  }
  Ref converted(PyArray_FromAny(array, PyArray_DescrFromType(kNumpyType<T>), 0, 0,
                                NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr));
  if (!converted) return false;
  std::memcpy(out, PyArray_DATA(as_array(converted)), bytes);
  return true;
}

// The callable's result as an array (itself when it is one).
static inline Ref result_array(PyObject* result) {
  return PyArray_Check(result) ? Ref::borrow(result) : Ref(PyArray_FromAny(result, nullptr, 0, 0, 0, nullptr));
}

}  // namespace detail

// Copies a callable's result into out[0 .. product of dims), as T.  The result
// may be any array-like of real numbers (bool, integer or floating point) of
// exactly the shape `dims`; anything else raises ValueError (shape) or
// TypeError (element type), naming the callable by `what`.
template <typename T>
static inline bool read_real_result(PyObject* result, T* out, int ndim, const npy_intp* dims, const char* what) {
  Ref array = detail::result_array(result);
  if (!array) return false;
  PyArrayObject* a = as_array(array);
  bool same_shape = PyArray_NDIM(a) == ndim;
  for (int k = 0; same_shape && k < ndim; ++k) same_shape = PyArray_DIM(a, k) == dims[k];
  if (!same_shape) {
    Ref got(PyObject_GetAttrString(array, "shape"));
    if (!got) return false;
    Ref expected(ndim == 1 ? Py_BuildValue("(n)", Py_ssize_t(dims[0]))
                           : Py_BuildValue("(nn)", Py_ssize_t(dims[0]), Py_ssize_t(dims[1])));
    if (!expected) return false;
    PyErr_Format(PyExc_ValueError, "%s returned an array of shape %R, expected %R", what, got.get(), expected.get());
    return false;
  }
  return detail::copy_real_values(array, out, std::size_t(PyArray_SIZE(a)), what);
}

// Copies a callable's result into out[0 .. count), as T: any array-like of
// real numbers holding exactly `count` values, read in C order whatever its
// shape, or a single value, which stands for all of them.  Anything else
// raises ValueError (size) or TypeError (element type).
template <typename T>
static inline bool read_flat_result(PyObject* result, T* out, npy_intp count, const char* what) {
  Ref array = detail::result_array(result);
  if (!array) return false;
  const npy_intp size = PyArray_SIZE(as_array(array));
  if (size != count && size != 1) {
    PyErr_Format(PyExc_ValueError, "%s returned %zd values, expected %zd", what, Py_ssize_t(size), Py_ssize_t(count));
    return false;
  }
  if (!detail::copy_real_values(array, out, std::size_t(size), what)) return false;
  if (size != count) std::fill_n(out + 1, std::size_t(count) - 1, out[0]);
  return true;
}

}  // namespace ombrix::py

#endif  // OMBRIX_SRC_TRAMPOLINE_H
