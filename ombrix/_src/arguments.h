// Argument binding and scalar conversion for functions whose parameters are
// all required and positional-or-keyword.  Every argument error message of
// the extension modules is produced here.
#ifndef OMBRIX_SRC_ARGUMENTS_H
#define OMBRIX_SRC_ARGUMENTS_H

#include <climits>
#include <span>

#include "ref.h"

namespace ombrix::py {

// A function's name, as used in messages, and its parameter names in order.
struct Signature {
  const char* name;
  std::span<const char* const> params;
};

namespace detail {

inline Py_ssize_t find_name(PyObject* const* names, Py_ssize_t count, const char* wanted) {
  for (Py_ssize_t k = 0; k < count; ++k) {
    if (PyUnicode_Check(names[k]) && PyUnicode_CompareWithASCIIString(names[k], wanted) == 0) return k;
  }
  return -1;
}

inline bool wrong_count(const Signature& sig, Py_ssize_t given) {
  const Py_ssize_t count = Py_ssize_t(sig.params.size());
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name, "exactly", count,
               count == 1 ? "" : "s", given);
  return false;
}

// Binds `nargs` positional arguments and `nkw` keyword arguments (names and
// values side by side) into values[0 .. params).  Errors come in this order:
// too many positional arguments; the first parameter that got no value,
// counting the arguments bound before it as given; then, in keyword order, a
// keyword that is not a string, names a positional argument, or is unknown.
inline bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* const* kwnames,
                 PyObject* const* kwvalues, Py_ssize_t nkw, PyObject** values) {
  const Py_ssize_t count = Py_ssize_t(sig.params.size());
  if (nargs > count) return wrong_count(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
  for (Py_ssize_t i = nargs; i < count; ++i) {
    const Py_ssize_t k = find_name(kwnames, nkw, sig.params[i]);
    if (k < 0) return wrong_count(sig, i);
    values[i] = kwvalues[k];
  }
  if (nkw == count - nargs) return true;  // each keyword filled one parameter
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = kwnames[k];
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
      return false;
    }
    Py_ssize_t i = 0;
    while (i < count && PyUnicode_CompareWithASCIIString(key, sig.params[i]) != 0) ++i;
    if (i == count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
      return false;
    }
    if (i < nargs) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
      return false;
    }
  }
  return true;
}

}  // namespace detail

// Binds a METH_FASTCALL | METH_KEYWORDS call.  `values` receives one borrowed
// reference per parameter.
inline bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           PyObject** values) {
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  PyObject* const* names = kwnames ? PySequence_Fast_ITEMS(kwnames) : nullptr;
  return detail::bind(sig, args, nargs, names, args + nargs, nkw, values);
}

// Binds a call made with an argument tuple and a keyword dict (or null), as
// tp_init receives it.  The values stay owned by `args` and `kwargs`.
inline bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** values) {
  Ref names, kwvalues;
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    names = Ref(PyDict_Keys(kwargs));
    if (!names) return false;
    kwvalues = Ref(PyDict_Values(kwargs));
    if (!kwvalues) return false;
  }
  const Py_ssize_t nkw = names ? PyList_GET_SIZE(names.get()) : 0;
  return detail::bind(sig, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args),
                      names ? PySequence_Fast_ITEMS(names.get()) : nullptr,
                      kwvalues ? PySequence_Fast_ITEMS(kwvalues.get()) : nullptr, nkw, values);
}

// ---- scalar conversions -------------------------------------------------------

// Python's float conversion; an exact float is read directly.
inline bool to_double(PyObject* object, double* out) {
  *out = PyFloat_CheckExact(object) ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
  return !(*out == -1.0 && PyErr_Occurred());
}

namespace detail {

// An int, or the result of the object's integer conversion (__int__, which
// truncates a float).  Strings and other objects without one are refused.
inline Ref integer_value(PyObject* object) {
  if (PyLong_Check(object)) return Ref::borrow(object);
  PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
  if (!number || !number->nb_int) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return {};
  }
  Ref value(number->nb_int(object));
  if (value && !PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(value.get())->tp_name);
    return {};
  }
  return value;
}

inline bool to_c_integer(PyObject* object, long low, long high, const char* type_name, long* out) {
  Ref value = integer_value(object);
  if (!value) return false;
  int overflow = 0;
  *out = PyLong_AsLongAndOverflow(value, &overflow);
  if (*out == -1 && PyErr_Occurred()) return false;
  if (overflow || *out < low || *out > high) {
    PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", type_name);
    return false;
  }
  return true;
}

}  // namespace detail

inline bool to_long(PyObject* object, long* out) {
  return detail::to_c_integer(object, LONG_MIN, LONG_MAX, "long", out);
}

inline bool to_int(PyObject* object, int* out) {
  long value = 0;
  if (!detail::to_c_integer(object, INT_MIN, INT_MAX, "int", &value)) return false;
  *out = int(value);
  return true;
}

}  // namespace ombrix::py

#endif  // OMBRIX_SRC_ARGUMENTS_H
