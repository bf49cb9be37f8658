// NumPy's C API for the extension modules: its import, checked against the
// running NumPy, and the float64 array conversions the modules share.
//
// Include this header in exactly one source per extension module: NumPy's
// function table and runtime version live in that source's static storage
// (the functions here are static for the same reason).
#ifndef OMBRIX_SRC_ARRAYS_H
#define OMBRIX_SRC_ARRAYS_H

#include <cstring>

#include "ref.h"

#include <numpy/arrayobject.h>

namespace ombrix::py {

// The oldest C-API feature level this code uses: NumPy 1.23.
inline constexpr unsigned kNumpyFeatureVersion = 0x10;

namespace detail {

static inline int load_numpy_api() {
  Ref core(PyImport_ImportModule("numpy._core._multiarray_umath"));
  if (!core && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
    PyErr_Clear();  // NumPy 1.x
    core = Ref(PyImport_ImportModule("numpy.core._multiarray_umath"));
  }
  if (!core) return -1;
  Ref capsule(PyObject_GetAttrString(core, "_ARRAY_API"));
  if (!capsule) return -1;
  if (!PyCapsule_CheckExact(capsule)) {
    PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not a capsule");
    return -1;
  }
  void** table = static_cast<void**>(PyCapsule_GetPointer(capsule, nullptr));
  if (!table) return -1;
  PyArray_API = table;

  const unsigned abi = PyArray_GetNDArrayCVersion();
  if (abi > NPY_ABI_VERSION) {
    PyErr_Format(PyExc_RuntimeError, "NumPy's ABI version 0x%x is newer than 0x%x, the one this module was built for", abi,
                 unsigned(NPY_ABI_VERSION));
    return -1;
  }
  const unsigned feature = PyArray_GetNDArrayCFeatureVersion();
  if (feature < kNumpyFeatureVersion) {
    PyErr_Format(PyExc_RuntimeError, "NumPy's C-API version 0x%x is older than 0x%x (NumPy 1.23), which this module needs",
                 feature, kNumpyFeatureVersion);
    return -1;
  }
  PyArray_RUNTIME_VERSION = int(feature);
  if (PyArray_GetEndianness() != NPY_CPU_LITTLE) {
    PyErr_SetString(PyExc_RuntimeError, "NumPy does not report little-endian byte order");
    return -1;
  }
  return 0;
}

}  // namespace detail

// Imports NumPy's C API.  Any failure of class Exception becomes ImportError
// "numpy._core.multiarray failed to import", with the failure as its context.
static inline int import_numpy_api() {
  if (detail::load_numpy_api() == 0) return 0;
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    Ref failure = take_exception();
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    chain_context(std::move(failure));
  }
  return -1;
}

// ---- float64 arrays -----------------------------------------------------------

inline PyArrayObject* as_array(PyObject* array) { return reinterpret_cast<PyArrayObject*>(array); }

// NumPy's type number of a real type: NPY_DOUBLE or NPY_FLOAT.
template <typename T>
inline constexpr int kNumpyType = NPY_DOUBLE;
template <>
inline constexpr int kNumpyType<float> = NPY_FLOAT;

// The data of an array of T (float64 or float32).
template <typename T>
inline T* data_of(PyObject* array) {
  return static_cast<T*>(PyArray_DATA(as_array(array)));
}

// A new one-dimensional array of T holding a copy of v[0 .. count).
template <typename T>
static inline Ref array_copy(const T* v, npy_intp count) {
  Ref array(PyArray_SimpleNew(1, &count, kNumpyType<T>));
  if (array && count > 0) std::memcpy(data_of<T>(array), v, std::size_t(count) * sizeof(T));
  return array;
}

// The data of a float64 array.
inline double* doubles(PyObject* array) { return static_cast<double*>(PyArray_DATA(as_array(array))); }

static inline Ref double_zeros(int ndim, npy_intp* dims) { return Ref(PyArray_ZEROS(ndim, dims, NPY_DOUBLE, 0)); }

// NumPy's array conversion of `object` to float64 with the given depth limits
// (0: none) and NPY_ARRAY_* requirements.
static inline Ref double_array(PyObject* object, int min_depth, int max_depth, int requirements) {
  return Ref(PyArray_FromAny(object, PyArray_DescrFromType(NPY_DOUBLE), min_depth, max_depth, requirements, nullptr));
}

// numpy.ascontiguousarray(object, dtype=float64), aligned as well (`object`
// itself when it qualifies), then raised to `min_ndim` (1 or 2) dimensions
// by leading ones as numpy.atleast_2d raises it; the result shares storage.
static inline Ref contiguous_doubles(PyObject* object, int min_ndim) {
  Ref array = double_array(object, 0, 0, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST | NPY_ARRAY_ENSUREARRAY);
  if (!array) return {};
  const int ndim = PyArray_NDIM(as_array(array));
  if (ndim >= min_ndim) return array;
  npy_intp dims[2] = {1, 1};
  if (ndim == 1) dims[1] = PyArray_DIM(as_array(array), 0);
  PyArray_Dims shape{dims, min_ndim};
  return Ref(PyArray_Newshape(as_array(array), &shape, NPY_CORDER));
}

}  // namespace ombrix::py

#endif  // OMBRIX_SRC_ARRAYS_H
