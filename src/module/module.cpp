// The module dorvane: its definition records and PyInit_dorvane, the one exported symbol.
//
// Single-phase initialisation. The module object is created once per process and every later
// import gets the same object back; the first interpreter to import the module owns it, and any
// other is refused, because the module's process-wide state (the cached module, the exception
// class, the worker pool) cannot be shared between interpreters.
#include <Python.h>

// The build system defines this when the interpreter is a debug build (see CMakeLists.txt).
#if defined(DORVANE_DEBUG_INTERPRETER) && !defined(Py_DEBUG)
#error "building for a debug interpreter, but Python.h was read without Py_DEBUG"
#endif

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "boundary/failure_guard.h"
#include "boundary/paced_release.h"
#include "boundary/py_err.h"
#include "boundary/py_once_cell.h"
#include "boundary/py_ref.h"
#include "module/entry.h"
#include "platform/panic.h"

namespace dorvane {

namespace {

constexpr int kApiVersion = 1013;

constexpr std::string_view kSubinterpreterMessage =
    "dorvane does not yet support subinterpreters, see "
    "https://docs.python.org/3/howto/isolating-extensions.html";

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    /*m_name=*/"dorvane",
    /*m_doc=*/
    "A Python module implemented natively in C++ that computes all-pairs shortest-path lengths "
    "of undirected weighted graphs.",
    /*m_size=*/0,
    /*m_methods=*/nullptr,
    /*m_slots=*/nullptr,
    /*m_traverse=*/nullptr,
    /*m_clear=*/nullptr,
    /*m_free=*/nullptr,
};

PyMethodDef function_definition = {
    /*ml_name=*/"all_pairs_dijkstra_path_length",
    // The fast-call signature travels through the generic slot type; METH_FASTCALL tells the
    // interpreter how to call it back.
    /*ml_meth=*/
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&all_pairs_dijkstra_path_length)),
    /*ml_flags=*/METH_FASTCALL | METH_KEYWORDS,
    // The text signature, its end marker and an empty body: the signature is all there is.
    /*ml_doc=*/"all_pairs_dijkstra_path_length(edges, cutoff=None)\n--\n\n",
};

// Id of the first interpreter that imported the module, -1 until then.
std::atomic<int64_t> owning_interpreter{-1};

PyOnceCell module_cache;
PyOnceCell all_name;
PyOnceCell name_name;

// An interned attribute name, created on first use and kept for the life of the process.
PyObject* interned(PyOnceCell& cell, std::string_view text) {
  PyResult<PyObject*> name = cell.get_or_try_fill([&]() -> PyResult<PyRef> {
    PyObject* created =
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (created == nullptr) api_call_failed();
    PyUnicode_InternInPlace(&created);
    return PyRef::steal(created);
  });
  return name.value();
}

// Registers the function on the fresh module and lists it in __all__.
PyStatus initialise(PyObject* module) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return PyErr::fetch();
  PyRef function =
      PyRef::steal(PyCMethod_New(&function_definition, module, module_name.get(), nullptr));
  module_name = PyRef();
  if (!function) return PyErr::fetch();

  PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), interned(name_name, "__name__")));
  if (!name) return PyErr::fetch();
  if (!PyUnicode_Check(name.get())) return cast_error(name.get(), &PyUnicode_Type);

  PyObject* all_key = interned(all_name, "__all__");
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_key));
  if (!all) {
    PyErr error = PyErr::fetch();
    if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) return error;
    all = expect_new(PyList_New(0));
    if (PyObject_SetAttr(module, all_key, all.get()) < 0) return PyErr::fetch();
  } else if (!PyList_Check(all.get())) {
    return cast_error(all.get(), &PyList_Type);
  }

  if (PyList_Append(all.get(), name.get()) < 0) {
    discard_pending();
    panic("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return PyErr::fetch();
  // Not worth failing the import for: without them, an interrupted call releases what it had
  // built before it raises, which only takes longer.
  static_cast<void>(install_paced_release());
  return kDone;
}

PyResult<PyRef> import_module() {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return PyErr::fetch();
  int64_t owner = -1;
  // Seq_cst: a single, rare compare-and-swap; no weaker order is worth arguing for.
  if (!owning_interpreter.compare_exchange_strong(owner, id) && owner != id) {
    return PyErr::with_message(PyExc_ImportError, kSubinterpreterMessage);
  }

  PyResult<PyObject*> cached = module_cache.get_or_try_fill([]() -> PyResult<PyRef> {
    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, kApiVersion));
    if (!module) return PyErr::fetch();
    PyStatus status = initialise(module.get());
    // A failed attempt releases its module and leaves the cache empty for the next import.
    if (!status.ok()) return status.take_error();
    return module;
  });
  if (!cached.ok()) return cached.take_error();
  return PyRef::borrow(cached.value());
}

}  // namespace

}  // namespace dorvane

// Default visibility, so that it survives the hidden-by-default build; the linker's version
// script keeps it the only export.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_dorvane() {
  return dorvane::run_guarded([] { return dorvane::import_module(); });
}
