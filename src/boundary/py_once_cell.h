// PyOnceCell: a process-wide slot filled once with a Python object that is never released.
//
// The filler runs with the interpreter lock held and may run Python code, which can let other
// threads in. A thread that finds the cell being filled waits for the filler with the interpreter
// lock released (the filler needs the lock to finish), then uses the stored object. A failed fill
// leaves the cell empty, so a later call tries again.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

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
  // empty. The caller holds the interpreter lock.
  template <class Fill>
  PyResult<PyObject*> get_or_try_fill(Fill&& fill) {
    if (PyObject* value = get()) return value;
    if (!mutex_.try_lock()) {
      PyThreadState* saved = PyEval_SaveThread();
      mutex_.lock();
      PyEval_RestoreThread(saved);
    }
    std::unique_lock<std::mutex> filling(mutex_, std::adopt_lock);
    // Relaxed: the mutex orders this after any earlier filler's store.
    if (PyObject* value = value_.load(std::memory_order_relaxed)) return value;
    PyResult<PyRef> filled = fill();
    if (!filled.ok()) return filled.take_error();
    PyObject* value = filled.take_value().release();
    // Release: pairs with the acquire load in get() on threads that skip the mutex.
    value_.store(value, std::memory_order_release);
    return value;
  }

 private:
  std::mutex mutex_;
  std::atomic<PyObject*> value_{nullptr};
};

}  // namespace dorvane
