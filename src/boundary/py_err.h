// PyErr: one Python exception carried as a value, and the rules for getting one from the
// interpreter.
//
// Every operation that touches Python returns its result or a PyErr (see PyResult); only the
// entry points raise. A PyErr is either a type with the argument to build it from (made by the
// module, instantiated when raised or first inspected) or an instance fetched from the
// interpreter. It owns its references and is consumed when raised.
#pragma once

#include <Python.h>

#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "boundary/py_ref.h"

namespace dorvane {

class PyErr {
 public:
  // An error of `type` to be built from `argument` (a message, or a tuple of arguments).
  static PyErr lazy(PyObject* type, PyRef argument);
  // An error of `type` whose argument is the UTF-8 text `message`.
  static PyErr with_message(PyObject* type, std::string_view message);
  // An instance taken from the interpreter, traceback and all.
  static PyErr from_instance(PyRef instance);

  // Takes the pending exception after a C-API call signalled failure. With none pending the
  // error is SystemError "attempted to fetch exception but none was set". A PanicException of
  // this module coming back from Python code resumes the panic instead (does not return).
  static PyErr fetch();
  // The same rule for an exception already taken from the interpreter (null when none was set).
  static PyErr from_raised(PyRef instance);
  // For calls whose failure value is also a legal result: the pending error (by the same rule),
  // or nothing when none is pending.
  static std::optional<PyErr> take();

  PyErr(PyErr&&) noexcept = default;
  PyErr& operator=(PyErr&&) noexcept = default;

  // Whether the instance has not been built yet.
  bool is_lazy() const { return !instance_; }
  // The exception's type (borrowed).
  PyObject* type() const;
  // The exception instance (borrowed), built from the type and argument on first use.
  PyObject* instance();

  // Makes this the pending exception, consuming it.
  void raise() &&;

 private:
  PyErr(PyRef type, PyRef argument, PyRef instance)
      : type_(std::move(type)), argument_(std::move(argument)), instance_(std::move(instance)) {}

  PyRef type_;      // lazy form only
  PyRef argument_;  // lazy form only
  PyRef instance_;  // once built or fetched
};

// A value or the PyErr that prevented it.
template <class T>
class [[nodiscard]] PyResult {
 public:
  PyResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  PyResult(PyErr error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  T& value() { return std::get<0>(state_); }
  PyErr& error() { return std::get<1>(state_); }
  T take_value() { return std::move(std::get<0>(state_)); }
  PyErr take_error() { return std::move(std::get<1>(state_)); }

 private:
  std::variant<T, PyErr> state_;
};

// The result of an operation that yields nothing but may fail.
using PyStatus = PyResult<std::monostate>;
inline constexpr std::monostate kDone{};

// Reports a C-API constructor that must not fail and did: prints the pending error with
// PyErr_Print, then panics with "Python API call failed".
[[noreturn]] void api_call_failed(std::source_location where = std::source_location::current());

// Takes over the new reference a must-not-fail constructor returned; null is api_call_failed.
PyRef expect_new(PyObject* object, std::source_location where = std::source_location::current());

// Drops the pending error, if any, by the fetch rule (so a PanicException still resumes).
void discard_pending();

// The text of a Python string as UTF-8. A string that cannot be encoded (lone surrogates) is
// encoded with surrogatepass and decoded with every invalid sequence replaced by U+FFFD.
std::string text_of(PyObject* string);

// str() of `object` as text. When str() fails, its error goes to PyErr_WriteUnraisable and the
// text is "<unprintable {type name} object>" (or "<unprintable object>" without a type name).
std::string display_text(PyObject* object);

// The TypeError "'{from}' object cannot be cast as '{to}'" for `object`, which is not `target`.
PyErr cast_error(PyObject* object, PyTypeObject* target);

}  // namespace dorvane
