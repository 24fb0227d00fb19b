#include "boundary/panic_exception.h"

#include <optional>
#include <string>

#include "boundary/py_once_cell.h"
#include "boundary/python_compat.h"
#include "platform/panic.h"
#include "platform/platform.h"

namespace dorvane {

namespace {

constexpr const char* kDottedName = "dorvane_runtime.PanicException";

constexpr const char* kDoc =
    "\n"
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

constexpr std::string_view kResumeBanner =
    "--- dorvane is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";

PyOnceCell panic_exception_cell;

// str() of a PanicException instance, or nothing when str() fails. Its usual argument, one
// string, is taken as it is: PyObject_Str first runs the handlers of pending signals, and one that
// raised again (a handler that raises on every signal, say) would take the place of the message.
std::optional<std::string> message_of(PyObject* instance) {
  PyObject* arguments = reinterpret_cast<PyBaseExceptionObject*>(instance)->args;
  if (arguments != nullptr && PyTuple_CheckExact(arguments) && PyTuple_GET_SIZE(arguments) == 1 &&
      PyUnicode_CheckExact(PyTuple_GET_ITEM(arguments, 0))) {
    return text_of(PyTuple_GET_ITEM(arguments, 0));
  }
  if (PyRef text = PyRef::steal(PyObject_Str(instance))) return text_of(text.get());
  PyRef ignored = PyRef::steal(compat::get_raised_exception());
  return std::nullopt;
}

}  // namespace

PyObject* panic_exception_type() {
  PyResult<PyObject*> type = panic_exception_cell.get_or_try_fill([]() -> PyResult<PyRef> {
    PyRef created = PyRef::steal(
        PyErr_NewExceptionWithDoc(kDottedName, kDoc, PyExc_BaseException, /*dict=*/nullptr));
    if (created) return created;
    // Not through the fetch rule: it would compare against the very type that is missing.
    PyRef error = PyRef::steal(compat::get_raised_exception());
    std::string reason = "no exception was set";
    if (error) {
      PyRef text = PyRef::steal(PyObject_Str(error.get()));
      if (text) {
        reason = text_of(text.get());
      } else {
        PyErr_Clear();
        reason = "<unprintable exception>";
      }
    }
    panic("Failed to initialize new exception type.: " + reason);
  });
  // The fill above either succeeds or panics.
  return type.value();
}

PyErr panic_error(std::string_view message) {
  // Messages are UTF-8 as a rule; a damaged one must still be reported, not fail in turn.
  PyRef text = expect_new(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  PyRef arguments = expect_new(PyTuple_New(1));
  PyTuple_SET_ITEM(arguments.get(), 0, text.release());
  return PyErr::lazy(panic_exception_type(), std::move(arguments));
}

void resume_panic(PyRef instance) {
  std::string message =
      message_of(instance.get()).value_or(std::string("Unwrapped panic from Python code"));
  platform::write_stderr(kResumeBanner);
  compat::set_raised_exception(instance.release());
  PyErr_PrintEx(0);
  // The panic already has its diagnostic (the Python traceback above): no second one.
  throw Panic(std::move(message));
}

}  // namespace dorvane
