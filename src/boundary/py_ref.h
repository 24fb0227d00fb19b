// PyRef: the one way the module holds a strong Python reference.
//
// A PyRef owns exactly one reference (or none) and releases it exactly once, when it is destroyed
// or reassigned, on every path including unwinding. It moves but never copies, so ownership is
// visible at every line: `release()` is the only way a reference leaves without being released.
#pragma once

#include <Python.h>

#include <utility>

namespace dorvane {

class PyRef {
 public:
  PyRef() = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  // Takes over a new reference (null allowed: the result is empty).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Takes a reference of its own to a borrowed object.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Hands the reference over to the caller (for APIs that steal, and for the final return).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace dorvane
