#include "boundary/py_err.h"

#include "boundary/panic_exception.h"
#include "boundary/python_compat.h"
#include "platform/panic.h"

namespace dorvane {

namespace {

constexpr std::string_view kNoneSet = "attempted to fetch exception but none was set";
constexpr std::string_view kNoTypeName = "<failed to extract type name>";

// Qualified name of `type` as text, or nothing (its error dropped) when it cannot be had.
std::optional<std::string> qualified_name(PyTypeObject* type) {
  PyRef name = PyRef::steal(PyType_GetQualName(type));
  if (!name) {
    discard_pending();
    return std::nullopt;
  }
  return text_of(name.get());
}

}  // namespace

PyErr PyErr::lazy(PyObject* type, PyRef argument) {
  return PyErr(PyRef::borrow(type), std::move(argument), PyRef());
}

PyErr PyErr::with_message(PyObject* type, std::string_view message) {
  return lazy(type, expect_new(PyUnicode_FromStringAndSize(
                        message.data(), static_cast<Py_ssize_t>(message.size()))));
}

PyErr PyErr::from_instance(PyRef instance) {
  return PyErr(PyRef(), PyRef(), std::move(instance));
}

PyErr PyErr::fetch() {
  return from_raised(PyRef::steal(compat::get_raised_exception()));
}

PyErr PyErr::from_raised(PyRef instance) {
  if (!instance) return with_message(PyExc_SystemError, kNoneSet);
  // Comparing against the class creates it on first need; the indicator is clear by now.
  if (reinterpret_cast<PyObject*>(Py_TYPE(instance.get())) == panic_exception_type()) {
    resume_panic(std::move(instance));
  }
  return from_instance(std::move(instance));
}

std::optional<PyErr> PyErr::take() {
  if (PyErr_Occurred() == nullptr) return std::nullopt;
  return fetch();
}

PyObject* PyErr::type() const {
  if (instance_) return reinterpret_cast<PyObject*>(Py_TYPE(instance_.get()));
  return type_.get();
}

PyObject* PyErr::instance() {
  if (!instance_) {
    // Let the interpreter build the instance exactly as raising would, then take it back.
    PyErr_SetObject(type_.get(), argument_.get());
    instance_ = PyRef::steal(compat::get_raised_exception());
    if (!instance_) api_call_failed();
    type_ = PyRef();
    argument_ = PyRef();
  }
  return instance_.get();
}

void PyErr::raise() && {
  if (instance_) {
    compat::set_raised_exception(instance_.release());
  } else {
    PyErr_SetObject(type_.get(), argument_.get());
  }
  type_ = PyRef();
  argument_ = PyRef();
}

void api_call_failed(std::source_location where) {
  PyErr_Print();
  panic("Python API call failed", where);
}

PyRef expect_new(PyObject* object, std::source_location where) {
  if (object == nullptr) [[unlikely]] {
    api_call_failed(where);
  }
  return PyRef::steal(object);
}

void discard_pending() {
  if (PyErr_Occurred() != nullptr) PyErr::fetch();
}

std::string text_of(PyObject* string) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(string, &size)) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  // Lone surrogates: keep what can be kept and mark the rest.
  PyErr_Clear();
  PyRef bytes = expect_new(PyUnicode_AsEncodedString(string, "utf-8", "surrogatepass"));
  PyRef repaired = expect_new(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                   PyBytes_GET_SIZE(bytes.get()), "replace"));
  const char* utf8 = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
  if (utf8 == nullptr) api_call_failed();
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string display_text(PyObject* object) {
  PyRef string = PyRef::steal(PyObject_Str(object));
  if (string) return text_of(string.get());
  PyErr::fetch().raise();
  PyErr_WriteUnraisable(object);
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    discard_pending();
    return "<unprintable object>";
  }
  return "<unprintable " + text_of(name.get()) + " object>";
}

PyErr cast_error(PyObject* object, PyTypeObject* target) {
  std::string from = qualified_name(Py_TYPE(object)).value_or(std::string(kNoTypeName));
  std::string to = qualified_name(target).value_or(std::string(kNoTypeName));
  return PyErr::with_message(PyExc_TypeError,
                             "'" + from + "' object cannot be cast as '" + to + "'");
}

}  // namespace dorvane
