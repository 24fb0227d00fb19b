// PyOnceCell: a process-wide slot filled once with a Python object that is never released.
//
// The filler runs with the interpreter lock held and may run Python code, which can let other
// threads in, or call back into the module on the same thread and need the same cell (an import
// hook that calls the function, say). Nobody waits for a filler: whoever finds the cell empty
// fills it, and the object stored first is kept, the others released. Waiting would be a
// self-deadlock for the nested call, and a lock held across Python code would stay locked for
// ever in a child forked meanwhile by another thread.
#pragma once

#include <Python.h>

#include <atomic>

#include "boundary/py_err.h"
#include "boundary/py_ref.h"

namespace dorvane {

class PyOnceCell {
 public:
  // The stored object (borrowed), or null while the cell is empty.
  PyObject* get() const {
    // Acquire: pairs with the release store of the filler, so the object is seen complete.
    return value_.load(std::memory_order_acquire);
  }

  // The stored object (borrowed), filling the cell with `fill()` (a PyResult<PyRef>) if it is
  // empty. The caller holds the interpreter lock. A failed fill leaves the cell empty, so a later
  // call tries again.
  template <class Fill>
  PyResult<PyObject*> get_or_try_fill(Fill&& fill) {
    if (PyObject* value = get()) return value;
    PyResult<PyRef> filled = fill();
    if (!filled.ok()) return filled.take_error();
    // The interpreter lock orders the fillers; a fill that stored meanwhile keeps its object and
    // ours goes when `filled` does.
    if (PyObject* value = get()) return value;
    PyObject* value = filled.take_value().release();
    // Release: pairs with the acquire load in get() on threads that do not hold the lock.
    value_.store(value, std::memory_order_release);
    return value;
  }

 private:
  std::atomic<PyObject*> value_{nullptr};
};

}  // namespace dorvane
