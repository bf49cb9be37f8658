// Reference ownership and exception handling for the extension modules.
#ifndef OMBRIX_SRC_REF_H
#define OMBRIX_SRC_REF_H

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <utility>

namespace ombrix::py {

// Owns one strong reference, or none.  Built from a new reference, as most
// C-API calls return it; a null one means that an exception is pending.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) noexcept : object_(owned) {}
  static Ref borrow(PyObject* borrowed) noexcept { return Ref(Py_XNewRef(borrowed)); }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Py_XSETREF(object_, other.release());
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  operator PyObject*() const noexcept { return object_; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_ = nullptr;
};

// The pending exception, taken out of the error indicator (null when none).
inline Ref take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref(value);
#endif
}

// Makes `exception` the pending exception again, replacing any other.
inline void restore_exception(Ref exception) {
  if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

// Records `context` as the __context__ of the exception raised since it was
// taken, the way an exception raised inside an except block is chained.
inline void chain_context(Ref context) {
  Ref raised = take_exception();
  if (raised && context) PyException_SetContext(raised, context.release());
  restore_exception(std::move(raised));
}

// Reports the pending exception and clears it, for code that has no caller to
// raise to: prints it with its traceback as an uncaught exception is printed
// (without setting sys.last_exc), then hands it to sys.unraisablehook with the
// string `where` as the object.  Only for an Exception: printing a SystemExit
// ends the process, and a KeyboardInterrupt must reach the caller.
inline void report_unraisable(const char* where) {
  Ref exception = take_exception();
  Ref where_text(PyUnicode_FromString(where));
  restore_exception(Ref::borrow(exception));
  PyErr_PrintEx(0);
  restore_exception(std::move(exception));
  PyErr_WriteUnraisable(where_text ? where_text.get() : Py_None);
}

}  // namespace ombrix::py

#endif  // OMBRIX_SRC_REF_H
