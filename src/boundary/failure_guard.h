// The failure guard: what stands between every entry point and the interpreter.
//
// Nothing may unwind into the interpreter. An entry point runs its whole body through
// `run_guarded`, which returns the body's object, or raises and returns null: the body's PyErr as
// it is, a panic as dorvane_runtime.PanicException with the panic's message. If reporting fails in
// its turn, the process ends with "uncaught panic at ffi boundary".
#pragma once

#include <Python.h>

#include <string_view>

#include "boundary/py_err.h"
#include "boundary/py_ref.h"
#include "platform/panic.h"

namespace dorvane {

// The message for a failure that carries no text.
inline constexpr std::string_view kNonTextPanicMessage =
    "panic in native code with a payload that is not text";

// Raises `error`; ends the process if that fails.
void raise_or_abort(PyErr error) noexcept;

// Raises PanicException with `message`; ends the process if that fails.
void raise_panic_or_abort(std::string_view message) noexcept;

// Runs `body` (returning PyResult<PyRef>) and hands its object to the interpreter: a new
// reference, or null with the error indicator set. The thread is readied for panics first, so that
// one raised when memory has run out still arrives as itself.
template <class Body>
PyObject* run_guarded(Body&& body) noexcept {
  prepare_thread_for_panics();
  try {
    PyResult<PyRef> result = body();
    if (result.ok()) return result.take_value().release();
    raise_or_abort(result.take_error());
  } catch (Panic& failure) {
    // Normally written already by whoever chose this panic among several; never lost here.
    failure.write_held_diagnostic();
    raise_panic_or_abort(failure.message());
  } catch (...) {
    raise_panic_or_abort(kNonTextPanicMessage);
  }
  return nullptr;
}

}  // namespace dorvane
