// PyOnceCell: a process-wide slot filled once with a Python object that is never released.
//
// The filler runs with the interpreter lock held and may run Python code, which can let other
// threads in. A thread that finds the cell being filled waits for the filler with the interpreter
// lock released (the filler needs the lock to finish), then uses the stored object. A failed fill
// leaves the cell empty, so a later call tries again.
//
// The filler's Python code may call back into the module on the same thread and need the same
// cell (an import hook that calls the function, say). Waiting would then be a self-deadlock, so
// the nested call fills the cell itself, under the mutex its thread already holds, and the outer
// fill keeps the object stored first.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <thread>

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
    const std::thread::id self = std::this_thread::get_id();
    // Relaxed: only a thread's own store can equal its id, and a thread sees its own stores.
    if (filler_.load(std::memory_order_relaxed) == self) return fill_and_store(fill);
    if (!mutex_.try_lock()) {
      PyThreadState* saved = PyEval_SaveThread();
      mutex_.lock();
      PyEval_RestoreThread(saved);
    }
    std::unique_lock<std::mutex> filling(mutex_, std::adopt_lock);
    // Relaxed: the mutex orders this after any earlier filler's store.
    if (PyObject* value = value_.load(std::memory_order_relaxed)) return value;
    // Relaxed: read back only by this thread (above); cleared before the mutex is released.
    filler_.store(self, std::memory_order_relaxed);
    struct ClearFiller {
      std::atomic<std::thread::id>& filler;
      ~ClearFiller() { filler.store(std::thread::id(), std::memory_order_relaxed); }
    } clear_filler{filler_};
    return fill_and_store(fill);
  }

 private:
  // Runs `fill` on the thread that holds the mutex and stores its object, unless a nested call
  // on this thread stored one meanwhile: that one is kept, and this one released.
  template <class Fill>
  PyResult<PyObject*> fill_and_store(Fill& fill) {
    PyResult<PyRef> filled = fill();
    if (!filled.ok()) return filled.take_error();
    // Relaxed: only this thread, holding the mutex, stores.
    if (PyObject* value = value_.load(std::memory_order_relaxed)) return value;
    PyObject* value = filled.take_value().release();
    // Release: pairs with the acquire load in get() on threads that skip the mutex.
    value_.store(value, std::memory_order_release);
    return value;
  }

  std::mutex mutex_;
  std::atomic<PyObject*> value_{nullptr};
  // The thread running a fill, or no thread.
  std::atomic<std::thread::id> filler_{};
};

}  // namespace dorvane
