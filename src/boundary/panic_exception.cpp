#include "boundary/panic_exception.h"

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
  std::string message;
  if (PyRef text = PyRef::steal(PyObject_Str(instance.get()))) {
    message = text_of(text.get());
  } else {
    PyRef ignored = PyRef::steal(compat::get_raised_exception());
    message = "Unwrapped panic from Python code";
  }
  platform::write_stderr(kResumeBanner);
  compat::set_raised_exception(instance.release());
  PyErr_PrintEx(0);
  // The panic already has its diagnostic (the Python traceback above): no second one.
  throw Panic(std::move(message));
}

}  // namespace dorvane
