/* The result-assembly floor: builds the same dict of dicts that dorvane returns, from distances
 * that are already computed, with nothing but the bare C API. No search happens here, so its time
 * bounds from below what any implementation needs while it holds the interpreter lock to build
 * the result, laid out the simple way.
 *
 *   assemble(nodes, indptr, indices, values, outer_order) -> dict
 *
 * The distances come as CSR arrays (buffer protocol): row i belongs to source nodes[i] and holds
 * the entries indptr[i] .. indptr[i+1]-1, each a column position into `nodes` (uint32) and a
 * distance (float64), stored into the row's dict in that order. `nodes` is uint32, `indptr`
 * int64. One int per node is made first, in index order, and shared by every dict that holds it;
 * every dict is presized; the cyclic collector is paused throughout; the inner dicts are made in
 * row order. The outer dict is filled in the order of `outer_order` (uint32 row numbers, each
 * once), or in row order when it is None, prefetching what the stores ahead will touch.
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

#define LOOKAHEAD 8

static PyObject* build(const uint32_t* nodes, Py_ssize_t n, const int64_t* indptr,
                       const uint32_t* indices, const double* values, Py_ssize_t entries,
                       const uint32_t* outer_order) {
  PyObject** keys = PyMem_Calloc((size_t)(n ? n : 1), sizeof(PyObject*));
  PyObject** inner = PyMem_Calloc((size_t)(n ? n : 1), sizeof(PyObject*));
  PyObject* outer = NULL;
  if (keys == NULL || inner == NULL) {
    PyErr_NoMemory();
    goto fail;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    keys[i] = PyLong_FromUnsignedLongLong(nodes[i]);
    if (keys[i] == NULL) goto fail;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (indptr[i] < 0 || indptr[i] > indptr[i + 1] || indptr[i + 1] > entries) {
      PyErr_SetString(PyExc_ValueError, "indptr out of range");
      goto fail;
    }
    inner[i] = _PyDict_NewPresized(indptr[i + 1] - indptr[i]);
    if (inner[i] == NULL) goto fail;
    for (int64_t k = indptr[i]; k < indptr[i + 1]; ++k) {
      if (indices[k] >= (uint64_t)n) {
        PyErr_SetString(PyExc_ValueError, "index out of range");
        goto fail;
      }
      PyObject* value = PyFloat_FromDouble(values[k]);
      int failed = value == NULL || PyDict_SetItem(inner[i], keys[indices[k]], value) < 0;
      Py_XDECREF(value);
      if (failed) goto fail;
    }
  }
  outer = _PyDict_NewPresized(n);
  if (outer == NULL) goto fail;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (outer_order && i + LOOKAHEAD < n) {
      uint32_t ahead = outer_order[i + LOOKAHEAD];
      if (ahead < n) {
        __builtin_prefetch(keys[ahead]);
        __builtin_prefetch(inner[ahead]);
      }
    }
    uint32_t row = outer_order ? outer_order[i] : (uint32_t)i;
    if (row >= n || inner[row] == NULL) {
      PyErr_SetString(PyExc_ValueError, "outer_order is not a permutation of the rows");
      goto fail;
    }
    int failed = PyDict_SetItem(outer, keys[row], inner[row]) < 0;
    Py_CLEAR(inner[row]);
    if (failed) goto fail;
  }
  for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(keys[i]);
  PyMem_Free(keys);
  PyMem_Free(inner);
  return outer;

fail:
  Py_XDECREF(outer);
  for (Py_ssize_t i = 0; keys && i < n; ++i) Py_XDECREF(keys[i]);
  for (Py_ssize_t i = 0; inner && i < n; ++i) Py_XDECREF(inner[i]);
  PyMem_Free(keys);
  PyMem_Free(inner);
  return NULL;
}

static PyObject* assemble(PyObject* self, PyObject* args) {
  (void)self;
  PyObject *nodes_object, *indptr_object, *indices_object, *values_object, *order_object;
  if (!PyArg_ParseTuple(args, "OOOOO", &nodes_object, &indptr_object, &indices_object,
                        &values_object, &order_object)) {
    return NULL;
  }
  Array nodes = {0}, indptr = {0}, indices = {0}, values = {0}, order = {0};
  PyObject* result = NULL;
  if (get_array(nodes_object, &nodes, 4, "nodes") < 0 ||
      get_array(indptr_object, &indptr, 8, "indptr") < 0 ||
      get_array(indices_object, &indices, 4, "indices") < 0 ||
      get_array(values_object, &values, 8, "values") < 0 ||
      (order_object != Py_None && get_array(order_object, &order, 4, "outer_order") < 0)) {
    goto done;
  }
  Py_ssize_t n = nodes.view.len / 4;
  Py_ssize_t entries = indices.view.len / 4;
  if (indptr.view.len / 8 != n + 1 || values.view.len / 8 != entries ||
      (order.held && order.view.len / 4 != n)) {
    PyErr_SetString(PyExc_ValueError, "array lengths do not match");
    goto done;
  }
  /* The result holds no cycle; each dict made would count towards a collection. */
  int was_enabled = PyGC_Disable();
  result = build(nodes.view.buf, n, indptr.view.buf, indices.view.buf, values.view.buf, entries,
                 order.held ? order.view.buf : NULL);
  if (was_enabled) PyGC_Enable();
done:
  release_array(&order);
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
                                    methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_dorvane_floor(void) { return PyModule_Create(&module); }
