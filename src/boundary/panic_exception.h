// dorvane_runtime.PanicException: how a panic of the native code reaches Python.
//
// The class derives from BaseException, so that an `except Exception` in the caller does not
// swallow a broken internal condition. It is created once per process, on first need.
#pragma once

#include <Python.h>

#include <string_view>

#include "boundary/py_err.h"
#include "boundary/py_ref.h"

namespace dorvane {

// The class object (borrowed). Panics with "Failed to initialize new exception type." when it
// cannot be created.
PyObject* panic_exception_type();

// The PyErr that reports a panic: PanicException with the one-element tuple (message,).
PyErr panic_error(std::string_view message);

// Continues, as a panic with the instance's message, a PanicException that came back from
// Python code. Writes the two banner lines and the Python traceback to standard error, and no
// further diagnostic.
[[noreturn]] void resume_panic(PyRef instance);

}  // namespace dorvane
