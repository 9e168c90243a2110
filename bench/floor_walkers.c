/* The floor for the walkers: a bare C routine that only rebuilds the same
   dictionaries, lists and tuples as new plain containers and returns every
   other object as it is. No name lookup, no leaf test, no guard. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject* rebuild(PyObject* v) {
    if (PyDict_Check(v)) {
        PyObject *out = PyDict_New(), *k, *item;
        Py_ssize_t pos = 0;
        if (!out) return NULL;
        while (PyDict_Next(v, &pos, &k, &item)) {
            PyObject* r = rebuild(item);
            if (!r || PyDict_SetItem(out, k, r) < 0) { Py_XDECREF(r); Py_DECREF(out); return NULL; }
            Py_DECREF(r);
        }
        return out;
    }
    if (PyList_Check(v)) {
        Py_ssize_t n = PyList_GET_SIZE(v);
        PyObject* out = PyList_New(n);
        if (!out) return NULL;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject* r = rebuild(PyList_GET_ITEM(v, i));
            if (!r) { Py_DECREF(out); return NULL; }
            PyList_SET_ITEM(out, i, r);
        }
        return out;
    }
    if (PyTuple_Check(v)) {
        Py_ssize_t n = PyTuple_GET_SIZE(v);
        PyObject* out = PyTuple_New(n);
        if (!out) return NULL;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject* r = rebuild(PyTuple_GET_ITEM(v, i));
            if (!r) { Py_DECREF(out); return NULL; }
            PyTuple_SET_ITEM(out, i, r);
        }
        return out;
    }
    return Py_NewRef(v);
}

static PyObject* floor_rebuild(PyObject* self, PyObject* arg) { return rebuild(arg); }

static PyMethodDef methods[] = {{"rebuild", floor_rebuild, METH_O, NULL}, {NULL, NULL, 0, NULL}};
static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "floor_walkers", NULL, -1, methods};
PyMODINIT_FUNC PyInit_floor_walkers(void) { return PyModule_Create(&module); }
