/* The result-assembly floor: builds the same dict of dicts that dorvane returns, from distances
 * that are already computed, with nothing but the bare C API. No search happens here, so its time
 * bounds from below what any implementation needs while it holds the interpreter lock to build
 * the result.
 *
 *   assemble(nodes, indptr, indices, values, shared_keys) -> dict
 *
 * The distances come as CSR arrays (buffer protocol): row i belongs to source nodes[i] and holds
 * the entries indptr[i] .. indptr[i+1]-1, each a column position into `nodes` (uint32) and a
 * distance (float64). `nodes` is uint32, `indptr` int64. With shared_keys false every entry gets
 * an int of its own (PyLong_FromUnsignedLongLong per entry); with shared_keys true one int per node
 * is made first and shared by every dict that holds it.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>

typedef struct {
  Py_buffer view;
  int held;
} Array;

static int get_array(PyObject* object, Array* array, Py_ssize_t item_size, const char* name) {
  if (PyObject_GetBuffer(object, &array->view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return -1;
  array->held = 1;
  if (array->view.itemsize != item_size) {
    PyErr_Format(PyExc_TypeError, "%s: expected items of %zd bytes", name, item_size);
    return -1;
  }
  return 0;
}

static void release_array(Array* array) {
  if (array->held) PyBuffer_Release(&array->view);
}

static PyObject* build(const uint32_t* nodes, Py_ssize_t n, const int64_t* indptr,
                       const uint32_t* indices, const double* values, Py_ssize_t entries,
                       int shared) {
  PyObject** keys = NULL;
  PyObject* outer = NULL;
  if (shared) {
    keys = PyMem_Calloc((size_t)(n ? n : 1), sizeof(PyObject*));
    if (keys == NULL) return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < n; ++i) {
      keys[i] = PyLong_FromUnsignedLongLong(nodes[i]);
      if (keys[i] == NULL) goto fail;
    }
  }
  outer = PyDict_New();
  if (outer == NULL) goto fail;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (indptr[i] < 0 || indptr[i] > indptr[i + 1] || indptr[i + 1] > entries) {
      PyErr_SetString(PyExc_ValueError, "indptr out of range");
      goto fail;
    }
    PyObject* inner = PyDict_New();
    if (inner == NULL) goto fail;
    for (int64_t k = indptr[i]; k < indptr[i + 1]; ++k) {
      uint32_t column = indices[k];
      if (column >= (uint64_t)n) {
        PyErr_SetString(PyExc_ValueError, "index out of range");
        Py_DECREF(inner);
        goto fail;
      }
      PyObject* key = shared ? Py_NewRef(keys[column]) : PyLong_FromUnsignedLongLong(nodes[column]);
      PyObject* value = key ? PyFloat_FromDouble(values[k]) : NULL;
      int failed = value == NULL || PyDict_SetItem(inner, key, value) < 0;
      Py_XDECREF(value);
      Py_XDECREF(key);
      if (failed) {
        Py_DECREF(inner);
        goto fail;
      }
    }
    PyObject* key = shared ? Py_NewRef(keys[i]) : PyLong_FromUnsignedLongLong(nodes[i]);
    int failed = key == NULL || PyDict_SetItem(outer, key, inner) < 0;
    Py_XDECREF(key);
    Py_DECREF(inner);
    if (failed) goto fail;
  }
  if (keys) {
    for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(keys[i]);
    PyMem_Free(keys);
  }
  return outer;

fail:
  Py_XDECREF(outer);
  if (keys) {
    for (Py_ssize_t i = 0; i < n; ++i) Py_XDECREF(keys[i]);
    PyMem_Free(keys);
  }
  return NULL;
}

static PyObject* assemble(PyObject* self, PyObject* args) {
  (void)self;
  PyObject *nodes_object, *indptr_object, *indices_object, *values_object;
  int shared;
  if (!PyArg_ParseTuple(args, "OOOOp", &nodes_object, &indptr_object, &indices_object,
                        &values_object, &shared)) {
    return NULL;
  }
  Array nodes = {0}, indptr = {0}, indices = {0}, values = {0};
  PyObject* result = NULL;
  if (get_array(nodes_object, &nodes, 4, "nodes") < 0 ||
      get_array(indptr_object, &indptr, 8, "indptr") < 0 ||
      get_array(indices_object, &indices, 4, "indices") < 0 ||
      get_array(values_object, &values, 8, "values") < 0) {
    goto done;
  }
  Py_ssize_t n = nodes.view.len / 4;
  Py_ssize_t entries = indices.view.len / 4;
  if (indptr.view.len / 8 != n + 1 || values.view.len / 8 != entries) {
    PyErr_SetString(PyExc_ValueError, "array lengths do not match");
    goto done;
  }
  result = build(nodes.view.buf, n, indptr.view.buf, indices.view.buf, values.view.buf, entries,
                 shared);
done:
  release_array(&values);
  release_array(&indices);
  release_array(&indptr);
  release_array(&nodes);
  return result;
}

static PyMethodDef methods[] = {
    {"assemble", assemble, METH_VARARGS, "Builds the dict of dicts from CSR distance arrays."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "dorvane_floor",
                                    "The result-assembly floor for dorvane's benchmarks.", -1,
                                    methods};

PyMODINIT_FUNC PyInit_dorvane_floor(void) { return PyModule_Create(&module); }
