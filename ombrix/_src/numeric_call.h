// A call into the numeric layer from a binding.  For C callers a failed
// allocation or an illegal LAPACK argument in a linear solver or the Jacobian
// check ends the process; during a NumericCall those paths record the failure
// and return (internal.h, FailureScope), and the binding raises it instead.
#ifndef OMBRIX_SRC_NUMERIC_CALL_H
#define OMBRIX_SRC_NUMERIC_CALL_H

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include "internal.h"

namespace ombrix::py {

// Opened on the thread that makes the numeric call, with or without the
// interpreter lock; raise_if_failed() needs the lock.
class NumericCall {
 public:
  // MemoryError for a failed allocation, RuntimeError with the numeric
  // layer's message otherwise; false when nothing failed.
  bool raise_if_failed() const {
    const FailureRecord& failure = scope_.record();
    switch (failure.kind) {
      case Failure::kNone:
        return false;
      case Failure::kOutOfMemory:
        PyErr_SetString(PyExc_MemoryError, failure.message);
        return true;
      case Failure::kIllegalArgument:
        PyErr_SetString(PyExc_RuntimeError, failure.message);
        return true;
    }
    return false;
  }

 private:
  FailureScope scope_;
};

}  // namespace ombrix::py

#endif  // OMBRIX_SRC_NUMERIC_CALL_H
