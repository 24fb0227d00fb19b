// The few CPython calls the module needs that are missing from older interpreters, under one
// name each. Everything else uses the C API directly.
#pragma once

#include <Python.h>

#include "boundary/py_ref.h"

namespace dorvane::compat {

// Takes the pending exception as one instance (its traceback attached), or null when none is
// pending; clears the indicator.
inline PyObject* get_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_traceback = PyRef::steal(traceback);
  // Normalising cannot produce no instance for a real exception class; keep the contract of the
  // newer call (an instance or nothing) even so.
  if (value == nullptr) return owned_type.release();
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  return value;
#endif
}

// Makes `exception` (a stolen reference to an instance) the pending exception, unchanged.
inline void set_raised_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
  PyErr_Restore(type.release(), exception, PyException_GetTraceback(exception));
#endif
}

// Whether the interpreter is shutting down.
inline bool is_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace dorvane::compat
