// Placeholder extension module: loads the numeric layer into Python.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ombrix.h"

static PyModuleDef_Slot ombrix_slots[] = {{0, nullptr}};

static PyModuleDef ombrix_module = {
    PyModuleDef_HEAD_INIT, "_ombrix", nullptr, 0, nullptr, ombrix_slots, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit__ombrix(void) { return PyModuleDef_Init(&ombrix_module); }
