// ombrix._ombrix: Levenberg-Marquardt fits of Python models.
//
// Each fitting function converts its arguments into float64 arrays, wraps the
// model callables in an _LMFunc object and runs one double-precision solver
// of the numeric layer on them, with the trampolines callback_func and
// callback_jacf as the solver's callbacks and the _LMFunc as its user data.
// The interpreter lock is held throughout; the callbacks call into Python.
//
// Sections: module state, the _LMFunc type and its slots, its methods, the
// module functions, the module slots, the initialisation function.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "_src/arguments.h"
#include "_src/arrays.h"
#include "_src/numeric_call.h"
#include "_src/ref.h"
#include "_src/trampoline.h"
#include "ombrix.h"

using ombrix::py::as_array;
using ombrix::py::doubles;
using ombrix::py::Ref;
using ombrix::py::Signature;

// ==== module state ============================================================
//
// The module exists once per process and serves one interpreter: the state is
// process-global rather than per module object.

// The module object, recorded by a successful exec step; a later import of
// the module, after it was removed from sys.modules, returns it again.
static PyObject* module_object = nullptr;
// The interpreter that first created the module.
static int64_t owner_interpreter = -1;
static PyTypeObject* lmfunc_type = nullptr;

// Why a fit stopped (information vector entry 6), as reported to Python:
// these entries make the module's _LM_STOP_REASONS dict and, where `warned`
// is set, its _LM_STOP_REASONS_WARNED tuple.
struct StopReasonText {
  int code;
  const char* message;
  bool warned;
};

static const StopReasonText kStopReasons[] = {
    {1, "Stopped by small gradient J^T e", false},
    {2, "Stop by small Dp", false},
    {3, "Stop by `maxit`", true},
    {4, "Singular matrix.  Restart from current `p` with increased mu", true},
    {5, "No further error reduction is possible. Restart with increased mu", true},
    {6, "Stopped by small ||e||_2", false},
};

// Stop code 7 never makes a result: the fit raises instead.
constexpr int kInvalidValuesCode = 7;
constexpr const char* kInvalidValuesMessage = "Stopped by invalid values (NaN or Inf) returned by func";

// A solver that stops on a singular matrix reports a failure; its stop reason
// becomes the note of the exception.
constexpr int kSingularMatrixCode = 4;

// Issued with the result of a fit run with mu < 0: the damped matrix
// J^T J + mu I can then be indefinite, its steps ascend, and a fit can stop
// by a small step anywhere, its start included.
constexpr const char* kNegativeMuMessage =
    "mu is negative: the damped steps can go uphill and the result may not be a minimum. Restart with a positive mu";

// The share of a bound's or inequality's scale by which a result may miss it
// before the fit warns that the constraints could not be met together.
constexpr double kConstraintMissShare = 1e-2;

static const char* stop_reason_message(int code) {
  for (const StopReasonText& reason : kStopReasons)
    if (reason.code == code) return reason.message;
  return "";
}

// A global of the module's namespace, falling back to the builtins, looked up
// at every use so that rebinding it from Python takes effect.
static Ref lookup_global(PyObject* module, const char* name) {
  if (module) {
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(module), name);
    if (value) return Ref::borrow(value);
  }
  PyObject* builtins = PyEval_GetBuiltins();
  PyObject* value = builtins ? PyDict_GetItemString(builtins, name) : nullptr;
  if (value) return Ref::borrow(value);
  PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  return {};
}

// ==== the _LMFunc type ========================================================
//
// Holds the model callable, its extra arguments and the Jacobian callable (or
// None) of one fit.  The solver reaches it only through the two trampolines.

struct LMFuncObject;

// C-level operations of _LMFunc.  Each fills `out` (n values, or n*m for the
// Jacobian) from the parameters at `p`, or leaves an exception pending and
// `out` untouched.
struct LMFuncOperations {
  void (*eval_func)(LMFuncObject* self, const double* p, double* out, int m, int n);
  void (*eval_jacf)(LMFuncObject* self, const double* p, double* out, int m, int n);
};

// What the callbacks of one solve tell the fitting function, which cannot
// learn it from the solver: a callback has no way to report a failure.
struct SolveRecord {
  // Evaluations of one callable that the solver asked for, how many raised an
  // Exception, and the latest of those.
  struct Tally {
    long long calls = 0;
    long long failures = 0;
    Ref last_failure;
    bool all_failed() const { return calls > 0 && failures == calls; }
  };
  Tally func, jacf;
  Ref stop;  // a BaseException that is not an Exception: it ends the fit
};

struct LMFuncObject {
  PyObject_HEAD
  const LMFuncOperations* operations;
  PyObject* func;  // every field holds a reference, None when unset
  PyObject* jacf;
  PyObject* args;
  SolveRecord* record;  // the running solve's record, null at rest
};

static LMFuncObject* as_lmfunc(PyObject* object) { return reinterpret_cast<LMFuncObject*>(object); }

static void lmfunc_eval_func(LMFuncObject* self, const double* p, double* out, int m, int n) {
  ombrix::py::evaluate_into(self->func, self->args, p, m, out, n, "func");
}

static void lmfunc_eval_jacf(LMFuncObject* self, const double* p, double* out, int m, int n) {
  ombrix::py::evaluate_into(self->jacf, self->args, p, m, out, Py_ssize_t(n) * m, "jacf");
}

static const LMFuncOperations lmfunc_operations = {lmfunc_eval_func, lmfunc_eval_jacf};

using Evaluation = void (*)(LMFuncObject* self, const double* p, double* out, int m, int n);

// One evaluation for the solver, which cannot be told that it failed.  An
// Exception is reported as unraisable and the solver goes on with the buffer
// as it was.  Any other BaseException (KeyboardInterrupt, SystemExit, ...)
// must end the fit: it is kept in the record for the fitting function to
// raise once the solver returns, and from then on every evaluation fills the
// buffer with NaN without calling Python, which stops the solver within a few
// evaluations.
static void evaluate_for_solver(LMFuncObject* self, Evaluation evaluate, SolveRecord::Tally SolveRecord::*tally,
                                const double* p, double* out, int m, int n, Py_ssize_t count, const char* where) {
  SolveRecord& record = *self->record;  // set by the fitting function for the solve
  if (record.stop) {
    std::fill_n(out, count, NAN);
    return;
  }
  ++(record.*tally).calls;
  evaluate(self, p, out, m, n);
  if (!PyErr_Occurred()) return;
  Ref failure = ombrix::py::take_exception();
  if (!PyErr_GivenExceptionMatches(failure, PyExc_Exception)) {
    record.stop = std::move(failure);
    std::fill_n(out, count, NAN);
    return;
  }
  SolveRecord::Tally& counts = record.*tally;
  ++counts.failures;
  counts.last_failure = Ref::borrow(failure);
  ombrix::py::restore_exception(std::move(failure));
  ombrix::py::report_unraisable(where);
}

// The solver's model and Jacobian callbacks; `user_data` is the _LMFunc.
static void callback_func(const double* p, double* out, int m, int n, void* user_data) {
  auto* self = static_cast<LMFuncObject*>(user_data);
  evaluate_for_solver(self, self->operations->eval_func, &SolveRecord::func, p, out, m, n, n,
                      "ombrix._ombrix.callback_func");
}

static void callback_jacf(const double* p, double* out, int m, int n, void* user_data) {
  auto* self = static_cast<LMFuncObject*>(user_data);
  evaluate_for_solver(self, self->operations->eval_jacf, &SolveRecord::jacf, p, out, m, n, Py_ssize_t(n) * m,
                      "ombrix._ombrix.callback_jacf");
}

static void lmfunc_assign(LMFuncObject* self, PyObject* func, PyObject* args, PyObject* jacf) {
  Py_SETREF(self->func, Py_NewRef(func));
  Py_SETREF(self->args, Py_NewRef(args));
  Py_SETREF(self->jacf, Py_NewRef(jacf));
}

// Arguments are ignored: __init__ sets the fields, unpickling sets the state.
static PyObject* lmfunc_new(PyTypeObject* type, PyObject*, PyObject*) {
  auto* self = reinterpret_cast<LMFuncObject*>(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  self->operations = &lmfunc_operations;
  self->func = Py_NewRef(Py_None);
  self->jacf = Py_NewRef(Py_None);
  self->args = Py_NewRef(Py_None);
  self->record = nullptr;
  return reinterpret_cast<PyObject*>(self);
}

static const char* const kLMFuncInitParams[] = {"func", "args", "jacf"};
static const Signature kLMFuncInit{"__init__", kLMFuncInitParams};

static int lmfunc_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* values[3];
  if (!ombrix::py::bind_arguments(kLMFuncInit, args, kwargs, values)) return -1;
  lmfunc_assign(as_lmfunc(self), values[0], values[1], values[2]);
  return 0;
}

static int lmfunc_traverse(PyObject* op, visitproc visit, void* arg) {
  LMFuncObject* self = as_lmfunc(op);
  Py_VISIT(Py_TYPE(op));
  Py_VISIT(self->func);
  Py_VISIT(self->jacf);
  Py_VISIT(self->args);
  return 0;
}

static int lmfunc_clear(PyObject* op) {
  LMFuncObject* self = as_lmfunc(op);
  Py_SETREF(self->func, Py_NewRef(Py_None));
  Py_SETREF(self->jacf, Py_NewRef(Py_None));
  Py_SETREF(self->args, Py_NewRef(Py_None));
  return 0;
}

static void lmfunc_dealloc(PyObject* op) {
  LMFuncObject* self = as_lmfunc(op);
  PyTypeObject* type = Py_TYPE(op);
  PyObject_GC_UnTrack(op);
  Py_CLEAR(self->func);
  Py_CLEAR(self->jacf);
  Py_CLEAR(self->args);
  type->tp_free(op);
  Py_DECREF(type);
}

static const char kLMFuncDoc[] =
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    func : callable\n"
    "        Function or method taking, at least, one length of m vector\n"
    "        and returning a length of n vector.\n"
    "    args : tuple\n"
    "        Extra arguments passed to `func` (and `jacf`).\n"
    "    jacf : callable, optional\n"
    "        Function or method computing the Jacobian of `func`.  It\n"
    "        takes, at least, one length of m vector and returns the (nxm)\n"
    "        Jacobian matrix or a campatible C-contiguous vector.  If it is\n"
    "        None, the Jacobian will be approximated.\n"
    "\n"
    "    Attributes\n"
    "    ----------\n"
    "    func : callable\n"
    "    args : tuple\n"
    "    jacf : callable or None\n"
    "    ";

static PyType_Slot lmfunc_slots[] = {
    {Py_tp_doc, const_cast<char*>(kLMFuncDoc)},
    {Py_tp_new, reinterpret_cast<void*>(lmfunc_new)},
    {Py_tp_init, reinterpret_cast<void*>(lmfunc_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(lmfunc_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(lmfunc_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(lmfunc_dealloc)},
    {0, nullptr},
};

static PyType_Spec lmfunc_spec = {
    "ombrix._ombrix._LMFunc",
    sizeof(LMFuncObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    lmfunc_slots,
};

// A new _LMFunc for one fit, made without going through Python.
static Ref new_lmfunc(PyObject* func, PyObject* args, PyObject* jacf) {
  Ref self(lmfunc_new(lmfunc_type, nullptr, nullptr));
  if (self) lmfunc_assign(as_lmfunc(self), func, args, jacf);
  return self;
}

// ==== _LMFunc methods: pickling ===============================================
//
// The reduce value names the module function __pyx_unpickle__LMFunc, with a
// checksum of the field layout: the first seven hex digits of the SHA-256,
// SHA-1 and MD5 digests of "args func jacf".  New pickles carry the first;
// unpickling accepts all three.

constexpr long kLayoutChecksum = 0xc2e87f6;
constexpr long kAcceptedChecksums[] = {0xc2e87f6, 0xbc87515, 0xc147546};

// Applies a pickled state tuple (args, func, jacf[, instance dict]).
static int lmfunc_set_state(PyObject* op, PyObject* state) {
  LMFuncObject* self = as_lmfunc(op);
  PyObject** fields[] = {&self->args, &self->func, &self->jacf};
  for (Py_ssize_t i = 0; i < 3; ++i) {
    PyObject* value = PyTuple_GetItem(state, i);  // IndexError for a short state
    if (!value) return -1;
    Py_SETREF(*fields[i], Py_NewRef(value));
  }
  if (PyTuple_GET_SIZE(state) <= 3) return 0;
  PyObject* attributes = PyTuple_GET_ITEM(state, 3);
  const int truthy = PyObject_IsTrue(attributes);
  if (truthy <= 0) return truthy;
  Ref dict(PyObject_GetAttrString(op, "__dict__"));
  if (!dict) return -1;
  Ref updated(PyObject_CallMethod(dict, "update", "O", attributes));
  return updated ? 0 : -1;
}

static PyObject* lmfunc_reduce(PyObject* op, PyObject*) {
  LMFuncObject* self = as_lmfunc(op);
  Ref state(PyTuple_Pack(3, self->args, self->func, self->jacf));
  if (!state) return nullptr;
  Ref dict(PyObject_GetAttrString(op, "__dict__"));
  if (!dict) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
  }
  bool with_setstate = self->args != Py_None || self->func != Py_None || self->jacf != Py_None;
  if (dict && dict.get() != Py_None) {
    const int truthy = PyObject_IsTrue(dict);
    if (truthy < 0) return nullptr;
    if (truthy) {
      state = Ref(PyTuple_Pack(4, self->args, self->func, self->jacf, dict.get()));
      if (!state) return nullptr;
      with_setstate = true;
    }
  }
  Ref unpickle = lookup_global(module_object, "__pyx_unpickle__LMFunc");
  if (!unpickle) return nullptr;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(op));
  if (with_setstate) return Py_BuildValue("(O(OlO)O)", unpickle.get(), type, kLayoutChecksum, Py_None, state.get());
  return Py_BuildValue("(O(OlO))", unpickle.get(), type, kLayoutChecksum, state.get());
}

static PyObject* lmfunc_setstate(PyObject* op, PyObject* state) {
  if (state == Py_None) {
    PyErr_SetString(PyExc_TypeError, "cannot pass None into a C function argument that is declared 'not None'");
    return nullptr;
  }
  if (!PyTuple_CheckExact(state)) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
    return nullptr;
  }
  if (lmfunc_set_state(op, state) < 0) return nullptr;
  Py_RETURN_NONE;
}

static PyMethodDef lmfunc_pickling[] = {
    {"__reduce__", lmfunc_reduce, METH_NOARGS, nullptr},
    {"__setstate__", lmfunc_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Gives the type its pickling methods.
static int add_pickling(PyTypeObject* type) {
  for (PyMethodDef* def = lmfunc_pickling; def->ml_name; ++def) {
    Ref method(PyDescr_NewMethod(type, def));
    if (!method || PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), def->ml_name, method) < 0) {
      Ref failure = ombrix::py::take_exception();
      PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", type->tp_name);
      ombrix::py::chain_context(std::move(failure));
      return -1;
    }
  }
  return 0;
}

// ==== module functions ========================================================

// ---- options and results ----

// Fills the solver's options vector: mu, eps1, eps2, eps3 and the difference
// step, whose sign selects central (-) or forward (+) differences.
static int set_opts(bool cdiff, double* opts, double mu, double eps1, double eps2, double eps3) {
  static const char* const kMessages[] = {"eps1 must be less than 1", "eps2 must be less than 1",
                                          "eps3 must be less than 1"};
  const double eps[] = {eps1, eps2, eps3};
  opts[0] = mu;
  for (int i = 0; i < 3; ++i) {
    if (!(eps[i] > 0.0 && eps[i] < 1.0)) {  // NaN fails too
      PyErr_SetString(PyExc_ValueError, kMessages[i]);
      return -1;
    }
    opts[i + 1] = eps[i];
  }
  opts[4] = cdiff ? -1e-06 : 1e-06;
  return 0;
}

// Issues `message` as a UserWarning through the module's `warnings`, so that
// it is attributed to the Python code that called the fitting function.
static bool warn_user(PyObject* module, PyObject* message) {
  Ref warnings = lookup_global(module, "warnings");
  if (!warnings) return false;
  Ref issued(PyObject_CallMethod(warnings, "warn", "OO", message, PyExc_UserWarning));
  return bool(issued);
}

static bool warn_user(PyObject* module, const char* message) {
  Ref text(PyUnicode_FromString(message));
  return text && warn_user(module, text);
}

// The result (p_, pcov, (initial ||e||^2, (final ||e||^2, ||J^T e||_inf,
// ||dp||^2, mu / max(diag J^T J)), iterations, stop message, model calls,
// Jacobian calls, linear solves)), warning when the stop code is one of
// _LM_STOP_REASONS_WARNED.  Counts are whole numbers stored as doubles.
static PyObject* return_result(PyObject* module, PyObject* p_, PyObject* pcov, const double* info) {
  Ref initial(PyFloat_FromDouble(info[0]));
  if (!initial) return nullptr;
  Ref norms(Py_BuildValue("(dddd)", info[1], info[2], info[3], info[4]));
  if (!norms) return nullptr;
  Ref iterations(PyLong_FromDouble(info[5]));
  if (!iterations) return nullptr;
  Ref reasons = lookup_global(module, "_LM_STOP_REASONS");
  if (!reasons) return nullptr;
  Ref code(PyLong_FromDouble(info[6]));
  if (!code) return nullptr;
  Ref message(PyObject_GetItem(reasons, code));
  if (!message) return nullptr;
  Ref func_calls(PyLong_FromDouble(info[7]));
  if (!func_calls) return nullptr;
  Ref jacf_calls(PyLong_FromDouble(info[8]));
  if (!jacf_calls) return nullptr;
  Ref solves(PyLong_FromDouble(info[9]));
  if (!solves) return nullptr;
  Ref summary(PyTuple_Pack(7, initial.get(), norms.get(), iterations.get(), message.get(), func_calls.get(),
                           jacf_calls.get(), solves.get()));
  if (!summary) return nullptr;

  Ref warned = lookup_global(module, "_LM_STOP_REASONS_WARNED");
  if (!warned) return nullptr;
  const int warn = PySequence_Contains(warned, code);
  if (warn < 0) return nullptr;
  if (warn && !warn_user(module, message)) return nullptr;
  return PyTuple_Pack(3, p_, pcov, summary.get());
}

// ---- constraint preparation ----

// A length or row count as the solver's int.
static bool to_count(npy_intp value, const char* what, int* out) {
  if (value > INT_MAX) {
    PyErr_Format(PyExc_OverflowError, "%s has more than %d entries", what, INT_MAX);
    return false;
  }
  *out = int(value);
  return true;
}

// One item of a bc entry: None, NaN and the infinity on the unbounded side
// give `unbounded`, the largest finite double of that sign.
static bool bound_value(PyObject* item, double unbounded, double* out) {
  if (item == Py_None) {
    *out = unbounded;
    return true;
  }
  Ref number(PyNumber_Float(item));
  if (!number) return false;
  const double value = PyFloat_AS_DOUBLE(number.get());
  *out = std::isnan(value) || value == std::copysign(INFINITY, unbounded) ? unbounded : value;
  return true;
}

// Turns bc, one (lower, upper) tuple per parameter, into the bound vectors.
static bool prepare_bc(PyObject* bc, int m, Ref* lb, Ref* ub) {
  if (!PyList_Check(bc) && !PyTuple_Check(bc)) {
    PyErr_SetString(PyExc_TypeError, "bc must be a tuple/list");
    return false;
  }
  Ref entries(PySequence_Tuple(bc));  // a snapshot: converting items runs Python code
  if (!entries) return false;
  if (PyTuple_GET_SIZE(entries.get()) != m) {
    PyErr_Format(PyExc_ValueError, "bounds must be the length of %d (%zd is given)", m,
                 PyTuple_GET_SIZE(entries.get()));
    return false;
  }
  npy_intp dims[1] = {m};
  *lb = ombrix::py::double_zeros(1, dims);
  if (!*lb) return false;
  *ub = ombrix::py::double_zeros(1, dims);
  if (!*ub) return false;
  double* lower = doubles(*lb);
  double* upper = doubles(*ub);
  for (int i = 0; i < m; ++i) {
    PyObject* entry = PyTuple_GET_ITEM(entries.get(), i);
    if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 2) {
      PyErr_SetString(PyExc_ValueError, "Element of bc must be a 2-tuple of floats/Nones");
      return false;
    }
    if (!bound_value(PyTuple_GET_ITEM(entry, 0), -DBL_MAX, &lower[i])) return false;
    if (!bound_value(PyTuple_GET_ITEM(entry, 1), DBL_MAX, &upper[i])) return false;
  }
  return true;
}

// Turns lc, a pair (matrix, vector), into a C-contiguous float64 matrix read
// as `rows` rows of m values and a vector of `rows` values.
static bool prepare_lc(PyObject* lc, int m, Ref* matrix, Ref* vector, int* rows) {
  if (!PyList_Check(lc) && !PyTuple_Check(lc)) {
    PyErr_SetString(PyExc_TypeError, "lc must be a tuple/list");
    return false;
  }
  Ref items(PySequence_Tuple(lc));
  if (!items) return false;
  if (PyTuple_GET_SIZE(items.get()) != 2) {
    PyErr_Format(PyExc_TypeError, "lc must be the length 2 (%zd given)", PyTuple_GET_SIZE(items.get()));
    return false;
  }
  *matrix = ombrix::py::contiguous_doubles(PyTuple_GET_ITEM(items.get(), 0), 2);
  if (!*matrix) return false;
  *vector = ombrix::py::contiguous_doubles(PyTuple_GET_ITEM(items.get(), 1), 1);
  if (!*vector) return false;
  if (m == 0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
    return false;
  }
  const npy_intp size = PyArray_SIZE(as_array(*matrix));
  const npy_intp k = size / m;
  if (size % m != 0) {
    PyErr_Format(PyExc_ValueError, "The size of a linear constraint matrix must be consistent with (kx%d)", m);
    return false;
  }
  // The solver reads k values: the length must match, and so must the data
  // behind it (a vector of shape (k, 0) has none).
  const npy_intp length = PyArray_DIM(as_array(*vector), 0);
  const npy_intp stored = PyArray_SIZE(as_array(*vector));
  if (length != k || stored < k) {
    PyErr_Format(PyExc_ValueError, "The size of a linear constraint vector must be %zd (%zd given)", Py_ssize_t(k),
                 Py_ssize_t(length != k ? length : stored));
    return false;
  }
  return to_count(k, "a linear constraint matrix", rows);
}

// ---- the fit ----

// The arguments every fitting function takes.
struct Model {
  PyObject* func;
  PyObject* p;
  PyObject* x;
  PyObject* args;
  PyObject* jacf;
};

struct Tuning {
  double mu, eps1, eps2, eps3;
  int maxit;
  bool cdiff;
};

// The constraint arguments of one fitting function; null where it has none.
struct ConstraintArgs {
  PyObject* bc = nullptr;
  PyObject* lec = nullptr;
  PyObject* lic = nullptr;
};

// Prepared constraints, as the solvers read them.
struct Constraints {
  Ref lb, ub;     // bounds, m values each
  Ref A, b;       // A p = b with k1 rows
  int k1 = 0;
  Ref C, d;       // C p >= d with k2 rows
  int k2 = 0;
};

static bool prepare_constraints(const ConstraintArgs& given, int m, Constraints* prepared) {
  if (given.bc && !prepare_bc(given.bc, m, &prepared->lb, &prepared->ub)) return false;
  if (given.lec && !prepare_lc(given.lec, m, &prepared->A, &prepared->b, &prepared->k1)) return false;
  if (given.lic && !prepare_lc(given.lic, m, &prepared->C, &prepared->d, &prepared->k2)) return false;
  return true;
}

// What every solver entry point takes besides its constraints.
struct SolverCall {
  bool analytic;  // a Jacobian callable was given
  double* p;
  const double* x;
  int m, n, maxit;
  const double* opts;
  double* info;
  double* covariance;
  void* user_data;
};

// Runs the analytic-Jacobian or the finite-difference member of a solver
// pair; the constraint arguments sit between n and max_iter.
template <auto analytic_solver, auto difference_solver, typename... ConstraintArg>
static int run_solver(const SolverCall& s, ConstraintArg... constraint) {
  if (s.analytic)
    return analytic_solver(callback_func, callback_jacf, s.p, s.x, s.m, s.n, constraint..., s.maxit, s.opts, s.info,
                           nullptr, s.covariance, s.user_data);
  return difference_solver(callback_func, s.p, s.x, s.m, s.n, constraint..., s.maxit, s.opts, s.info, nullptr,
                           s.covariance, s.user_data);
}

using Solver = int (*)(const SolverCall&, const Constraints&);

static int solve_unconstrained(const SolverCall& s, const Constraints&) {
  return run_solver<dombrix_der, dombrix_dif>(s);
}

static int solve_bc(const SolverCall& s, const Constraints& c) {
  const double* no_scaling = nullptr;
  return run_solver<dombrix_bc_der, dombrix_bc_dif>(s, doubles(c.lb), doubles(c.ub), no_scaling);
}

static int solve_lec(const SolverCall& s, const Constraints& c) {
  return run_solver<dombrix_lec_der, dombrix_lec_dif>(s, doubles(c.A), doubles(c.b), c.k1);
}

static int solve_blec(const SolverCall& s, const Constraints& c) {
  const double* default_weights = nullptr;
  return run_solver<dombrix_blec_der, dombrix_blec_dif>(s, doubles(c.lb), doubles(c.ub), doubles(c.A),
                                                         doubles(c.b), c.k1, default_weights);
}

static int solve_bleic(const SolverCall& s, const Constraints& c) {
  return run_solver<dombrix_bleic_der, dombrix_bleic_dif>(s, doubles(c.lb), doubles(c.ub), doubles(c.A),
                                                           doubles(c.b), c.k1, doubles(c.C), doubles(c.d), c.k2);
}

static int solve_blic(const SolverCall& s, const Constraints& c) {
  return run_solver<dombrix_blic_der, dombrix_blic_dif>(s, doubles(c.lb), doubles(c.ub), doubles(c.C),
                                                         doubles(c.d), c.k2);
}

static int solve_leic(const SolverCall& s, const Constraints& c) {
  return run_solver<dombrix_leic_der, dombrix_leic_dif>(s, doubles(c.A), doubles(c.b), c.k1, doubles(c.C),
                                                         doubles(c.d), c.k2);
}

static int solve_lic(const SolverCall& s, const Constraints& c) {
  return run_solver<dombrix_lic_der, dombrix_lic_dif>(s, doubles(c.C), doubles(c.d), c.k2);
}

// Calls a model callable once, before the solve, with `call_args` and
// reads the result's ndim, then its shape (whole, or its first element):
// 1 when both are as expected, 0 when not, -1 with an exception pending.
static int probe_shape(PyObject* callable, PyObject* call_args, int ndim, PyObject* expected, bool whole_shape) {
  Ref result(PyObject_Call(callable, call_args, nullptr));
  if (!result) return -1;
  Ref result_ndim(PyObject_GetAttrString(result, "ndim"));
  if (!result_ndim) return -1;
  Ref wanted_ndim(PyLong_FromLong(ndim));
  if (!wanted_ndim) return -1;
  const int ndim_differs = PyObject_RichCompareBool(result_ndim, wanted_ndim, Py_NE);
  if (ndim_differs != 0) return ndim_differs < 0 ? -1 : 0;
  Ref shape(PyObject_GetAttrString(result, "shape"));
  if (!shape) return -1;
  if (!whole_shape) {
    Ref zero(PyLong_FromLong(0));
    if (!zero) return -1;
    shape = Ref(PyObject_GetItem(shape, zero));
    if (!shape) return -1;
  }
  const int shape_differs = PyObject_RichCompareBool(shape, expected, Py_NE);
  return shape_differs < 0 ? -1 : !shape_differs;
}

// The positional arguments of a probe call, (point,) + args, where the point
// is a new float64 copy of the start p_, the kind of array the solver's
// evaluations pass: a callable that writes into it changes neither the
// caller's p nor the fit.  The sum is made a tuple if it is not one.
static Ref probe_arguments(PyObject* p_, PyObject* args) {
  Ref point = ombrix::py::array_copy(doubles(p_), PyArray_DIM(as_array(p_), 0));
  if (!point) return {};
  Ref head(PyTuple_Pack(1, point.get()));
  if (!head) return {};
  Ref call_args(PyNumber_Add(head, args));
  if (!call_args || PyTuple_Check(call_args)) return call_args;
  return Ref(PySequence_Tuple(call_args));
}

// func(point, *args) must give an array of shape (n,).
static bool probe_func(PyObject* func, PyObject* p_, PyObject* args, int n) {
  Ref call_args = probe_arguments(p_, args);
  if (!call_args) return false;
  Ref length(PyLong_FromLong(n));
  if (!length) return false;
  const int ok = probe_shape(func, call_args, 1, length, false);
  if (ok == 0) PyErr_Format(PyExc_RuntimeError, "func must return a 1d array-like of length %d", n);
  return ok == 1;
}

// jacf(point, *args) must give an array of shape (n, m).
static bool probe_jacf(PyObject* jacf, PyObject* p_, PyObject* args, int n, int m) {
  Ref call_args = probe_arguments(p_, args);
  if (!call_args) return false;
  Ref shape(Py_BuildValue("(ii)", n, m));
  if (!shape) return false;
  const int ok = probe_shape(jacf, call_args, 2, shape, true);
  if (ok == 0) PyErr_Format(PyExc_RuntimeError, "jacf must return a 2d array-like of shape (%d, %d)", n, m);
  return ok == 1;
}

// ---- the outcome of the solve ----

// Raises what the callbacks recorded that must end the fit: the BaseException
// that stopped it, unchanged, or a RuntimeError chained to the last failure
// when every evaluation of func (or of jacf) raised, since the solver then
// worked on buffers that no evaluation filled.  False with the exception set.
static bool raise_recorded_failure(SolveRecord& record) {
  if (record.stop) {
    ombrix::py::restore_exception(std::move(record.stop));
    return false;
  }
  const bool func_failed = record.func.all_failed();
  if (!func_failed && !record.jacf.all_failed()) return true;
  SolveRecord::Tally& tally = func_failed ? record.func : record.jacf;
  PyErr_Format(PyExc_RuntimeError, "every evaluation of %s during the fit raised an exception",
               func_failed ? "func" : "jacf");
  Ref error = ombrix::py::take_exception();
  PyException_SetCause(error, Py_NewRef(tally.last_failure.get()));  // as `raise ... from last_failure`
  PyException_SetContext(error, tally.last_failure.release());
  ombrix::py::restore_exception(std::move(error));
  return false;
}

// Why the solver refused the problem before evaluating anything, from the
// sizes and constraints it was given: its own set-up checks, in their order.
// Writes the reason into `note` and returns true, or false when none applies.
static bool refusal_reason(const Constraints& c, int m, int n, char* note, std::size_t size) {
  // The solver for bounds with equalities adds one measurement per bound.
  const bool bounds_add_measurements = c.lb && c.A && !c.C;
  if (!bounds_add_measurements && std::int64_t(n) < std::int64_t(m) - c.k1) {
    if (c.k1 > 0)
      std::snprintf(note, size, "fewer data points plus equality constraints (n=%d, k=%d) than parameters (m=%d)",
                    n, c.k1, m);
    else
      std::snprintf(note, size, "fewer data points (n=%d) than parameters (m=%d)", n, m);
    return true;
  }
  if (c.lb) {
    const double* lower = doubles(c.lb);
    const double* upper = doubles(c.ub);
    for (int i = 0; i < m; ++i) {
      if (lower[i] > upper[i]) {
        std::snprintf(note, size, "lower bound above upper bound for parameter %d", i);
        return true;
      }
    }
  }
  if (c.k1 > m) {
    std::snprintf(note, size, "more equality constraints (%d) than parameters (%d)", c.k1, m);
    return true;
  }
  return false;
}

// Raises the exception for a solver that returned -1.  Except for invalid
// values it is the bare RuntimeError (its str() stays empty); the reason, when
// the module can tell it, goes into a note.
static void raise_solver_failure(const double* info, const Constraints& c, int m, int n) {
  if (info[6] == kInvalidValuesCode) {
    PyErr_SetString(PyExc_RuntimeError, kInvalidValuesMessage);
    return;
  }
  char note[160];
  bool has_note = refusal_reason(c, m, n, note, sizeof note);
  if (!has_note && info[6] == kSingularMatrixCode) {
    std::snprintf(note, sizeof note, "%s", stop_reason_message(kSingularMatrixCode));
    has_note = true;
  }
  PyErr_SetNone(PyExc_RuntimeError);
  if (!has_note) return;
  Ref error = ombrix::py::take_exception();
  Ref added(PyObject_CallMethod(error, "add_note", "s", note));
  if (added) ombrix::py::restore_exception(std::move(error));  // else that failure is pending instead
}

// The bound or inequality that the result misses by the largest share of its
// scale: |bound| + max|p_i| for a bound, |d_j| + sum_i |C_ji| max|p_i| for a
// row of C p >= d.  The penalty-based solvers meet these approximately, to
// about 1e-8 of the scale on well-scaled problems and less closely as the
// residuals grow; a miss beyond kConstraintMissShare of the scale means that
// the constraints could not be met together.
struct ConstraintMiss {
  const char* kind = nullptr;  // "the bounds of parameter" or "inequality constraint"; null when none
  int index = 0;
  double amount = 0.0;
};

static ConstraintMiss largest_constraint_miss(const Constraints& c, const double* p, int m) {
  double p_max = 0.0;
  for (int i = 0; i < m; ++i) p_max = std::max(p_max, std::fabs(p[i]));
  ConstraintMiss worst;
  double worst_share = kConstraintMissShare;
  auto consider = [&](const char* kind, int index, double miss, double scale) {
    if (miss > worst_share * scale) {  // false for NaN
      worst_share = miss / scale;
      worst = {kind, index, miss};
    }
  };
  if (c.lb) {
    const double* lower = doubles(c.lb);
    const double* upper = doubles(c.ub);
    for (int i = 0; i < m; ++i) {
      consider("the bounds of parameter", i, lower[i] - p[i], std::fabs(lower[i]) + p_max);
      consider("the bounds of parameter", i, p[i] - upper[i], std::fabs(upper[i]) + p_max);
    }
  }
  const double* rows = c.C ? doubles(c.C) : nullptr;
  const double* rhs = c.d ? doubles(c.d) : nullptr;
  for (int j = 0; j < c.k2; ++j) {
    const double* row = rows + std::size_t(j) * std::size_t(m);
    double value = 0.0, row_norm = 0.0;
    for (int i = 0; i < m; ++i) {
      value += row[i] * p[i];
      row_norm += std::fabs(row[i]);
    }
    consider("inequality constraint", j, rhs[j] - value, std::fabs(rhs[j]) + row_norm * p_max);
  }
  return worst;
}

// Warnings for a result whose stop reason presents it as sound when it may
// not be: a negative mu, whose damped steps can go uphill, or constraints
// that the result misses by far.  False with an exception set.
static bool warn_if_unsound(PyObject* module, const Tuning& tuning, const Constraints& c, const double* p, int m) {
  if (tuning.mu < 0.0 && !warn_user(module, kNegativeMuMessage)) return false;
  const ConstraintMiss miss = largest_constraint_miss(c, p, m);
  if (!miss.kind) return true;
  char message[200];
  std::snprintf(message, sizeof message,
                "The result violates %s %d by %.3g: the constraints may have no common solution", miss.kind,
                miss.index, miss.amount);
  return warn_user(module, message);
}

// The call sequence that every fitting function shares: convert p and x,
// allocate the covariance, prepare the constraints, build the options, check
// maxit, func and jacf, probe the callables once, then solve and package.
static PyObject* fit(PyObject* module, const Model& model, const Tuning& tuning, const ConstraintArgs& given,
                     Solver solve) {
  using ombrix::py::double_array;
  Ref p_ = double_array(model.p, 1, 1, NPY_ARRAY_CARRAY | NPY_ARRAY_ENSURECOPY);
  if (!p_) return nullptr;
  Ref x_ = double_array(model.x, 1, 1, NPY_ARRAY_CARRAY);
  if (!x_) return nullptr;
  if (PyArray_NDIM(as_array(p_)) != 1) {
    PyErr_SetString(PyExc_ValueError, "p must be a 1d array-like");
    return nullptr;
  }
  if (PyArray_NDIM(as_array(x_)) != 1) {
    PyErr_SetString(PyExc_ValueError, "x must be a 1d array-like");
    return nullptr;
  }
  int m = 0, n = 0;
  if (!to_count(PyArray_DIM(as_array(p_), 0), "p", &m) || !to_count(PyArray_DIM(as_array(x_), 0), "x", &n))
    return nullptr;
  npy_intp cov_dims[2] = {m, m};
  Ref pcov = ombrix::py::double_zeros(2, cov_dims);
  if (!pcov) return nullptr;

  Constraints constraints;
  if (!prepare_constraints(given, m, &constraints)) return nullptr;

  double opts[5];
  if (set_opts(tuning.cdiff, opts, tuning.mu, tuning.eps1, tuning.eps2, tuning.eps3) < 0) return nullptr;
  if (tuning.maxit < 1) {
    PyErr_SetString(PyExc_ValueError, "maxit must be a positive int");
    return nullptr;
  }
  if (!PyCallable_Check(model.func)) {
    PyErr_SetString(PyExc_TypeError, "func must be callable");
    return nullptr;
  }
  if (!probe_func(model.func, p_, model.args, n)) return nullptr;
  const bool analytic = model.jacf != Py_None;
  if (analytic) {
    if (!PyCallable_Check(model.jacf)) {
      PyErr_SetString(PyExc_TypeError, "jacf must be callable");
      return nullptr;
    }
    if (!probe_jacf(model.jacf, p_, model.args, n, m)) return nullptr;
  }

  Ref lm_func = new_lmfunc(model.func, model.args, model.jacf);
  if (!lm_func) return nullptr;
  SolveRecord record;
  double info[10] = {};  // stop code 0 until the solver writes its own
  const SolverCall call{analytic, doubles(p_), doubles(x_), m, n, tuning.maxit, opts, info, doubles(pcov),
                        lm_func.get()};
  as_lmfunc(lm_func)->record = &record;
  ombrix::py::NumericCall numeric;
  const int status = solve(call, constraints);
  as_lmfunc(lm_func)->record = nullptr;
  // The model's own exception first: a numeric failure after it is a consequence.
  if (!raise_recorded_failure(record)) return nullptr;
  if (numeric.raise_if_failed()) return nullptr;
  if (status == -1) {
    raise_solver_failure(info, constraints, m, n);
    return nullptr;
  }
  Ref result(return_result(module, p_, pcov, info));
  if (!result || !warn_if_unsound(module, tuning, constraints, doubles(p_), m)) return nullptr;
  return result.release();
}

// ---- the fitting functions ----
//
// Each binds its arguments, converts the tuning values (in the order mu, eps1,
// eps2, eps3, maxit, cdiff) and calls its _impl.  The parameters are func, p,
// x, the constraint parameters, args, jacf and the six tuning values.

constexpr std::size_t kCommonParams = 11;

struct FitArguments {
  Model model;
  PyObject* constraint[3];
  Tuning tuning;
};

static bool bind_fit(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     FitArguments* out) {
  PyObject* v[kCommonParams + 3];
  if (!ombrix::py::bind_arguments(sig, args, nargs, kwnames, v)) return false;
  const std::size_t c = sig.params.size() - kCommonParams;
  out->model = {v[0], v[1], v[2], v[3 + c], v[4 + c]};
  for (std::size_t i = 0; i < c; ++i) out->constraint[i] = v[3 + i];
  PyObject* const* tuning = v + 5 + c;
  Tuning& t = out->tuning;
  if (!ombrix::py::to_double(tuning[0], &t.mu) || !ombrix::py::to_double(tuning[1], &t.eps1) ||
      !ombrix::py::to_double(tuning[2], &t.eps2) || !ombrix::py::to_double(tuning[3], &t.eps3) ||
      !ombrix::py::to_int(tuning[4], &t.maxit))
    return false;
  const int cdiff = PyObject_IsTrue(tuning[5]);
  if (cdiff < 0) return false;
  t.cdiff = cdiff;
  return true;
}

static PyObject* ombrix_impl(PyObject* module, const Model& model, const Tuning& tuning) {
  return fit(module, model, tuning, {}, solve_unconstrained);
}

static PyObject* ombrix_bc_impl(PyObject* module, const Model& model, PyObject* bc, const Tuning& tuning) {
  return fit(module, model, tuning, {.bc = bc}, solve_bc);
}

static PyObject* ombrix_lec_impl(PyObject* module, const Model& model, PyObject* lec, const Tuning& tuning) {
  return fit(module, model, tuning, {.lec = lec}, solve_lec);
}

static PyObject* ombrix_blec_impl(PyObject* module, const Model& model, PyObject* bc, PyObject* lec,
                                  const Tuning& tuning) {
  return fit(module, model, tuning, {.bc = bc, .lec = lec}, solve_blec);
}

static PyObject* ombrix_bleic_impl(PyObject* module, const Model& model, PyObject* bc, PyObject* lec, PyObject* lic,
                                   const Tuning& tuning) {
  return fit(module, model, tuning, {.bc = bc, .lec = lec, .lic = lic}, solve_bleic);
}

static PyObject* ombrix_blic_impl(PyObject* module, const Model& model, PyObject* bc, PyObject* lic,
                                  const Tuning& tuning) {
  return fit(module, model, tuning, {.bc = bc, .lic = lic}, solve_blic);
}

static PyObject* ombrix_leic_impl(PyObject* module, const Model& model, PyObject* lec, PyObject* lic,
                                  const Tuning& tuning) {
  return fit(module, model, tuning, {.lec = lec, .lic = lic}, solve_leic);
}

static PyObject* ombrix_lic_impl(PyObject* module, const Model& model, PyObject* lic, const Tuning& tuning) {
  return fit(module, model, tuning, {.lic = lic}, solve_lic);
}

#define OMBRIX_TUNING_PARAMS "args", "jacf", "mu", "eps1", "eps2", "eps3", "maxit", "cdiff"

static const char* const kOmbrixParams[] = {"func", "p", "x", OMBRIX_TUNING_PARAMS};
static const char* const kOmbrixBcParams[] = {"func", "p", "x", "bc", OMBRIX_TUNING_PARAMS};
static const char* const kOmbrixLecParams[] = {"func", "p", "x", "lec", OMBRIX_TUNING_PARAMS};
static const char* const kOmbrixBlecParams[] = {"func", "p", "x", "bc", "lec", OMBRIX_TUNING_PARAMS};
static const char* const kOmbrixBleicParams[] = {"func", "p", "x", "bc", "lec", "lic", OMBRIX_TUNING_PARAMS};
static const char* const kOmbrixBlicParams[] = {"func", "p", "x", "bc", "lic", OMBRIX_TUNING_PARAMS};
static const char* const kOmbrixLeicParams[] = {"func", "p", "x", "lec", "lic", OMBRIX_TUNING_PARAMS};
static const char* const kOmbrixLicParams[] = {"func", "p", "x", "lic", OMBRIX_TUNING_PARAMS};

#undef OMBRIX_TUNING_PARAMS

static PyObject* ombrix_ombrix(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  FitArguments a;
  if (!bind_fit({"ombrix", kOmbrixParams}, args, nargs, kwnames, &a)) return nullptr;
  return ombrix_impl(module, a.model, a.tuning);
}

static PyObject* ombrix_ombrix_bc(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  FitArguments a;
  if (!bind_fit({"ombrix_bc", kOmbrixBcParams}, args, nargs, kwnames, &a)) return nullptr;
  return ombrix_bc_impl(module, a.model, a.constraint[0], a.tuning);
}

static PyObject* ombrix_ombrix_lec(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  FitArguments a;
  if (!bind_fit({"ombrix_lec", kOmbrixLecParams}, args, nargs, kwnames, &a)) return nullptr;
  return ombrix_lec_impl(module, a.model, a.constraint[0], a.tuning);
}

static PyObject* ombrix_ombrix_blec(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  FitArguments a;
  if (!bind_fit({"ombrix_blec", kOmbrixBlecParams}, args, nargs, kwnames, &a)) return nullptr;
  return ombrix_blec_impl(module, a.model, a.constraint[0], a.constraint[1], a.tuning);
}

static PyObject* ombrix_ombrix_bleic(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  FitArguments a;
  if (!bind_fit({"ombrix_bleic", kOmbrixBleicParams}, args, nargs, kwnames, &a)) return nullptr;
  return ombrix_bleic_impl(module, a.model, a.constraint[0], a.constraint[1], a.constraint[2], a.tuning);
}

static PyObject* ombrix_ombrix_blic(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  FitArguments a;
  if (!bind_fit({"ombrix_blic", kOmbrixBlicParams}, args, nargs, kwnames, &a)) return nullptr;
  return ombrix_blic_impl(module, a.model, a.constraint[0], a.constraint[1], a.tuning);
}

static PyObject* ombrix_ombrix_leic(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  FitArguments a;
  if (!bind_fit({"ombrix_leic", kOmbrixLeicParams}, args, nargs, kwnames, &a)) return nullptr;
  return ombrix_leic_impl(module, a.model, a.constraint[0], a.constraint[1], a.tuning);
}

static PyObject* ombrix_ombrix_lic(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  FitArguments a;
  if (!bind_fit({"ombrix_lic", kOmbrixLicParams}, args, nargs, kwnames, &a)) return nullptr;
  return ombrix_lic_impl(module, a.model, a.constraint[0], a.tuning);
}

// ---- unpickling ----

static PyObject* unpickle_lmfunc_impl(PyObject* type, long checksum, PyObject* state) {
  if (std::ranges::find(kAcceptedChecksums, checksum) == std::end(kAcceptedChecksums)) {
    Ref pickle(PyImport_ImportModule("pickle"));
    if (!pickle) return nullptr;
    Ref error(PyObject_GetAttrString(pickle, "PickleError"));
    if (!error) return nullptr;
    // Python's %x, which writes a negative checksum with a minus sign.
    Ref format(PyUnicode_FromString("Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))"));
    if (!format) return nullptr;
    Ref values(Py_BuildValue("(lllls)", checksum, kAcceptedChecksums[0], kAcceptedChecksums[1], kAcceptedChecksums[2],
                             "args, func, jacf"));
    if (!values) return nullptr;
    Ref message(PyUnicode_Format(format, values));
    if (!message) return nullptr;
    PyErr_SetObject(error, message);
    return nullptr;
  }
  // _LMFunc.__new__(type), which checks that type is _LMFunc or a subclass.
  Ref object(PyObject_CallMethod(reinterpret_cast<PyObject*>(lmfunc_type), "__new__", "O", type));
  if (!object) return nullptr;
  if (state != Py_None && lmfunc_set_state(object, state) < 0) return nullptr;
  return object.release();
}

static const char* const kUnpickleParams[] = {"__pyx_type", "__pyx_checksum", "__pyx_state"};

static PyObject* unpickle_lmfunc(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* v[3];
  long checksum = 0;
  if (!ombrix::py::bind_arguments({"__pyx_unpickle__LMFunc", kUnpickleParams}, args, nargs, kwnames, v) ||
      !ombrix::py::to_long(v[1], &checksum))
    return nullptr;
  PyObject* state = v[2];
  if (state != Py_None && !PyTuple_CheckExact(state)) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "__pyx_state",
                 "tuple", Py_TYPE(state)->tp_name);
    return nullptr;
  }
  return unpickle_lmfunc_impl(v[0], checksum, state);
}

template <typename Function>
static PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// ---- docstrings ----

// Each docstring starts with the function's text signature, "name(...)\n--\n\n",
// which CPython moves into __text_signature__ (so inspect.signature works) and
// strips from __doc__; the rest is numpydoc.  The shared sections are macros
// so that the eight texts cannot drift apart.
#define OMBRIX_DOC_SIGNATURE(name, constraints) \
  name "(func, p, x, " constraints "args, jacf, mu, eps1, eps2, eps3, maxit, cdiff)\n--\n\n"

#define OMBRIX_DOC_DATA_PARAMS                                                                     \
  "Parameters\n"                                                                                   \
  "----------\n"                                                                                   \
  "func : callable\n"                                                                              \
  "    ``func(p, *args)`` returns the n model values, shape (n,).\n"                               \
  "p : array_like, shape (m,)\n"                                                                   \
  "    Starting parameters (not modified).\n"                                                      \
  "x : array_like, shape (n,)\n"                                                                   \
  "    The measurements the model is fitted to.\n"

#define OMBRIX_DOC_BC_PARAM                                                                        \
  "bc : sequence of m (low, high) pairs\n"                                                         \
  "    Box bounds of each parameter; None for no bound.\n"

#define OMBRIX_DOC_LEC_PARAM                                                                       \
  "lec : tuple (A, b)\n"                                                                           \
  "    Linear equalities ``A @ p == b``, A of shape (k, m), b of shape (k,).\n"

#define OMBRIX_DOC_LIC_PARAM                                                                       \
  "lic : tuple (C, d)\n"                                                                           \
  "    Linear inequalities ``C @ p >= d``, C of shape (k2, m), d of shape (k2,).\n"

#define OMBRIX_DOC_TUNING_PARAMS                                                                   \
  "args : tuple\n"                                                                                 \
  "    Extra arguments of `func` and `jacf`.\n"                                                    \
  "jacf : callable or None\n"                                                                      \
  "    ``jacf(p, *args)`` returns the Jacobian of the model, shape (n, m);\n"                      \
  "    None for finite differences.\n"                                                             \
  "mu : float\n"                                                                                   \
  "    Initial damping, relative to the largest diagonal element of J^T J.\n"                      \
  "eps1, eps2, eps3 : float\n"                                                                     \
  "    Stopping thresholds, each strictly between 0 and 1: on the gradient\n"                      \
  "    ``||J^T e||_inf``, on the relative step ``||dp|| / ||p||`` and on the\n"                    \
  "    squared error ``||e||^2``.\n"                                                               \
  "maxit : int\n"                                                                                  \
  "    Iteration limit.\n"                                                                          \
  "cdiff : bool\n"                                                                                 \
  "    Without `jacf`: central differences if true, forward ones if false.\n"                      \
  "\n"

#define OMBRIX_DOC_RETURNS                                                                         \
  "Returns\n"                                                                                      \
  "-------\n"                                                                                      \
  "p : ndarray, shape (m,)\n"                                                                      \
  "    The fitted parameters (a new array).\n"                                                     \
  "pcov : ndarray, shape (m, m)\n"                                                                 \
  "    Their covariance.\n"                                                                        \
  "info : tuple\n"                                                                                 \
  "    ``(initial ||e||^2, (final ||e||^2, ||J^T e||_inf, ||dp||^2,\n"                             \
  "    mu / max(diag J^T J)), iterations, stop message, model evaluations,\n"                      \
  "    Jacobian evaluations, linear solves)``.\n"                                                  \
  "\n"                                                                                             \
  "Warns\n"                                                                                        \
  "-----\n"                                                                                        \
  "UserWarning\n"                                                                                  \
  "    With the stop message, when the fit stopped at the iteration limit, on\n"                   \
  "    a singular system or without further reduction of the error.\n"

static const char kOmbrixDoc[] =
    OMBRIX_DOC_SIGNATURE("ombrix", "")
    "Fit ``func(p, *args)`` to the measurements `x` by Levenberg-Marquardt.\n"
    "\n"
    OMBRIX_DOC_DATA_PARAMS OMBRIX_DOC_TUNING_PARAMS OMBRIX_DOC_RETURNS;

static const char kOmbrixBcDoc[] =
    OMBRIX_DOC_SIGNATURE("ombrix_bc", "bc, ")
    "Fit ``func(p, *args)`` to the measurements `x` within box bounds.\n"
    "\n"
    OMBRIX_DOC_DATA_PARAMS OMBRIX_DOC_BC_PARAM OMBRIX_DOC_TUNING_PARAMS OMBRIX_DOC_RETURNS;

static const char kOmbrixLecDoc[] =
    OMBRIX_DOC_SIGNATURE("ombrix_lec", "lec, ")
    "Fit ``func(p, *args)`` to the measurements `x` under linear equalities.\n"
    "\n"
    OMBRIX_DOC_DATA_PARAMS OMBRIX_DOC_LEC_PARAM OMBRIX_DOC_TUNING_PARAMS OMBRIX_DOC_RETURNS;

static const char kOmbrixBlecDoc[] =
    OMBRIX_DOC_SIGNATURE("ombrix_blec", "bc, lec, ")
    "Fit ``func(p, *args)`` to the measurements `x` within box bounds, under\n"
    "linear equalities.\n"
    "\n"
    OMBRIX_DOC_DATA_PARAMS OMBRIX_DOC_BC_PARAM OMBRIX_DOC_LEC_PARAM OMBRIX_DOC_TUNING_PARAMS OMBRIX_DOC_RETURNS;

static const char kOmbrixBleicDoc[] =
    OMBRIX_DOC_SIGNATURE("ombrix_bleic", "bc, lec, lic, ")
    "Fit ``func(p, *args)`` to the measurements `x` within box bounds, under\n"
    "linear equalities and inequalities.\n"
    "\n"
    OMBRIX_DOC_DATA_PARAMS OMBRIX_DOC_BC_PARAM OMBRIX_DOC_LEC_PARAM OMBRIX_DOC_LIC_PARAM OMBRIX_DOC_TUNING_PARAMS
    OMBRIX_DOC_RETURNS;

static const char kOmbrixBlicDoc[] =
    OMBRIX_DOC_SIGNATURE("ombrix_blic", "bc, lic, ")
    "Fit ``func(p, *args)`` to the measurements `x` within box bounds, under\n"
    "linear inequalities.\n"
    "\n"
    OMBRIX_DOC_DATA_PARAMS OMBRIX_DOC_BC_PARAM OMBRIX_DOC_LIC_PARAM OMBRIX_DOC_TUNING_PARAMS OMBRIX_DOC_RETURNS;

static const char kOmbrixLeicDoc[] =
    OMBRIX_DOC_SIGNATURE("ombrix_leic", "lec, lic, ")
    "Fit ``func(p, *args)`` to the measurements `x` under linear equalities\n"
    "and inequalities.\n"
    "\n"
    OMBRIX_DOC_DATA_PARAMS OMBRIX_DOC_LEC_PARAM OMBRIX_DOC_LIC_PARAM OMBRIX_DOC_TUNING_PARAMS OMBRIX_DOC_RETURNS;

static const char kOmbrixLicDoc[] =
    OMBRIX_DOC_SIGNATURE("ombrix_lic", "lic, ")
    "Fit ``func(p, *args)`` to the measurements `x` under linear inequalities.\n"
    "\n"
    OMBRIX_DOC_DATA_PARAMS OMBRIX_DOC_LIC_PARAM OMBRIX_DOC_TUNING_PARAMS OMBRIX_DOC_RETURNS;

#undef OMBRIX_DOC_SIGNATURE
#undef OMBRIX_DOC_DATA_PARAMS
#undef OMBRIX_DOC_BC_PARAM
#undef OMBRIX_DOC_LEC_PARAM
#undef OMBRIX_DOC_LIC_PARAM
#undef OMBRIX_DOC_TUNING_PARAMS
#undef OMBRIX_DOC_RETURNS

// Bound by the exec step, in this order.
static PyMethodDef module_functions[] = {
    {"ombrix", as_cfunction(ombrix_ombrix), METH_FASTCALL | METH_KEYWORDS, kOmbrixDoc},
    {"ombrix_bc", as_cfunction(ombrix_ombrix_bc), METH_FASTCALL | METH_KEYWORDS, kOmbrixBcDoc},
    {"ombrix_lec", as_cfunction(ombrix_ombrix_lec), METH_FASTCALL | METH_KEYWORDS, kOmbrixLecDoc},
    {"ombrix_blec", as_cfunction(ombrix_ombrix_blec), METH_FASTCALL | METH_KEYWORDS, kOmbrixBlecDoc},
    {"ombrix_bleic", as_cfunction(ombrix_ombrix_bleic), METH_FASTCALL | METH_KEYWORDS, kOmbrixBleicDoc},
    {"ombrix_blic", as_cfunction(ombrix_ombrix_blic), METH_FASTCALL | METH_KEYWORDS, kOmbrixBlicDoc},
    {"ombrix_leic", as_cfunction(ombrix_ombrix_leic), METH_FASTCALL | METH_KEYWORDS, kOmbrixLeicDoc},
    {"ombrix_lic", as_cfunction(ombrix_ombrix_lic), METH_FASTCALL | METH_KEYWORDS, kOmbrixLicDoc},
    {"__pyx_unpickle__LMFunc", as_cfunction(unpickle_lmfunc), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ==== module slots ============================================================

// Copies spec.<attribute> into the module's namespace as `name`; a missing
// attribute is skipped, and so is None unless `keep_none`.
static int copy_spec_attribute(PyObject* spec, const char* attribute, PyObject* module, const char* name,
                               bool keep_none) {
  Ref value(PyObject_GetAttrString(spec, attribute));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (value.get() == Py_None && !keep_none) return 0;
  return PyDict_SetItemString(PyModule_GetDict(module), name, value);
}

static PyObject* module_create(PyObject* spec, PyModuleDef*) {
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (owner_interpreter == -1) {
    if (interpreter == -1) return nullptr;
    owner_interpreter = interpreter;
  } else if (interpreter != owner_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  if (module_object) return Py_NewRef(module_object);

  Ref name(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module(PyModule_NewObject(name));
  if (!module) return nullptr;
  if (copy_spec_attribute(spec, "loader", module, "__loader__", true) < 0 ||
      copy_spec_attribute(spec, "origin", module, "__file__", true) < 0 ||
      copy_spec_attribute(spec, "parent", module, "__package__", true) < 0 ||
      copy_spec_attribute(spec, "submodule_search_locations", module, "__path__", false) < 0)
    return nullptr;
  return module.release();
}

static int add_module(PyObject* module, const char* attribute, const char* module_name) {
  Ref imported(PyImport_ImportModule(module_name));
  return imported ? PyModule_AddObjectRef(module, attribute, imported) : -1;
}

static int add_stop_reasons(PyObject* module) {
  Ref reasons(PyDict_New());
  if (!reasons) return -1;
  Ref warned(PyList_New(0));
  if (!warned) return -1;
  for (const StopReasonText& reason : kStopReasons) {
    Ref code(PyLong_FromLong(reason.code));
    Ref message(PyUnicode_FromString(reason.message));
    if (!code || !message || PyDict_SetItem(reasons, code, message) < 0) return -1;
    if (reason.warned && PyList_Append(warned, code) < 0) return -1;
  }
  Ref warned_codes(PyList_AsTuple(warned));
  if (!warned_codes) return -1;
  if (PyModule_AddObjectRef(module, "_LM_STOP_REASONS", reasons) < 0) return -1;
  return PyModule_AddObjectRef(module, "_LM_STOP_REASONS_WARNED", warned_codes);
}

// Fills the namespace; the entries appear in this order.
static int fill_namespace(PyObject* module) {
  if (add_module(module, "__builtins__", "builtins") < 0) return -1;
  Ref full_name(PyUnicode_FromString("ombrix._ombrix"));
  if (!full_name || !PyDict_SetDefault(PyImport_GetModuleDict(), full_name, module)) return -1;

  Py_XSETREF(lmfunc_type, reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&lmfunc_spec)));
  if (!lmfunc_type || add_pickling(lmfunc_type) < 0 ||
      PyModule_AddObjectRef(module, "_LMFunc", reinterpret_cast<PyObject*>(lmfunc_type)) < 0)
    return -1;

  if (ombrix::py::import_numpy_api() < 0) return -1;
  if (add_module(module, "np", "numpy") < 0 || add_module(module, "warnings", "warnings") < 0) return -1;
  if (add_stop_reasons(module) < 0) return -1;
  if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
  Ref tests(PyDict_New());
  return tests ? PyModule_AddObjectRef(module, "__test__", tests) : -1;
}

static int module_exec(PyObject* module) {
  if (module_object) {
    if (module_object == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module '_ombrix' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  module_object = Py_NewRef(module);
  if (fill_namespace(module) < 0) {
    Py_CLEAR(module_object);  // a later import starts over
    return -1;
  }
  return 0;
}

static PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

static PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_ombrix",
    nullptr,  // no docstring
    0,        // no per-module state: the state above is process-global
    nullptr,  // the functions are added by the exec step
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

// ==== initialisation ==========================================================

PyMODINIT_FUNC PyInit__ombrix(void) { return PyModuleDef_Init(&module_def); }
