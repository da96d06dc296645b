// The `TarnwickManager` Python type: construction from its 24 parameters, and the methods that
// save, load, describe, list and pin snapshots.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarnwick::python {

// Creates the type for `module` (a new reference), or nullptr with an exception set.
PyObject* create_manager_type(PyObject* module);

}  // namespace tarnwick::python
