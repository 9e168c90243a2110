/* The floor for the tables workloads: only the work that no implementation
 * of Table can skip, with no checks beyond it and no care for hostile input.
 *
 * construct(table): each row is a dict, its length, each column in it.
 * filter(table, include, exclude): decide each column once, walk every row
 * building a new dict of its selected entries, then the same checks on the
 * new rows; returns {"columns": [...], "data": [...]}. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static int check_rows(PyObject *columns, PyObject *data) {
    Py_ssize_t ncols = PyList_GET_SIZE(columns);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); i++) {
        PyObject *row = PyList_GET_ITEM(data, i);
        if (!PyDict_Check(row) || PyDict_GET_SIZE(row) != ncols) {
            PyErr_SetString(PyExc_ValueError, "bad row");
            return -1;
        }
        for (Py_ssize_t j = 0; j < ncols; j++) {
            int found = PyDict_Contains(row, PyList_GET_ITEM(columns, j));
            if (found <= 0) {
                if (found == 0) PyErr_SetString(PyExc_ValueError, "missing column");
                return -1;
            }
        }
    }
    return 0;
}

static PyObject *construct(PyObject *self, PyObject *table) {
    PyObject *columns = PyDict_GetItemString(table, "columns");
    PyObject *data = PyDict_GetItemString(table, "data");
    if (!columns || !data || !PyList_Check(columns) || !PyList_Check(data)) {
        PyErr_SetString(PyExc_ValueError, "bad table");
        return NULL;
    }
    if (check_rows(columns, data) < 0) return NULL;
    Py_RETURN_NONE;
}

static PyObject *filter(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "filter(table, include, exclude)");
        return NULL;
    }
    PyObject *columns = PyDict_GetItemString(args[0], "columns");
    PyObject *data = PyDict_GetItemString(args[0], "data");
    if (!columns || !data) {
        PyErr_SetString(PyExc_ValueError, "bad table");
        return NULL;
    }
    /* Each column decided once; an entry is matched by identity against the
     * column at its own position first (the usual layout), else by a scan. */
    Py_ssize_t ncols = PyList_GET_SIZE(columns);
    char *keep = PyMem_Calloc(ncols ? ncols : 1, 1);
    PyObject *selected = keep ? PyList_New(0) : NULL;
    PyObject *rows = selected ? PyList_New(0) : NULL;
    if (!rows) {
        PyMem_Free(keep);
        Py_XDECREF(selected);
        return PyErr_NoMemory();
    }
    for (Py_ssize_t j = 0; j < ncols; j++) {
        PyObject *c = PyList_GET_ITEM(columns, j);
        int in = PySequence_Contains(args[1], c);
        int out = in > 0 ? PySequence_Contains(args[2], c) : 0;
        if (in < 0 || out < 0) goto fail;
        keep[j] = in && !out;
        if (keep[j] && PyList_Append(selected, c) < 0) goto fail;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); i++) {
        PyObject *row = PyList_GET_ITEM(data, i);
        PyObject *out = PyDict_New();
        if (!out) goto fail;
        Py_ssize_t pos = 0, j = 0;
        PyObject *k, *v;
        for (; PyDict_Next(row, &pos, &k, &v); j++) {
            int take = 0;
            if (j < ncols && PyList_GET_ITEM(columns, j) == k) {
                take = keep[j];
            } else {
                for (Py_ssize_t m = 0; m < ncols; m++)
                    if (PyList_GET_ITEM(columns, m) == k) {
                        take = keep[m];
                        break;
                    }
            }
            if (take && PyDict_SetItem(out, k, v) < 0) {
                Py_DECREF(out);
                goto fail;
            }
        }
        int failed = PyList_Append(rows, out);
        Py_DECREF(out);
        if (failed) goto fail;
    }
    if (check_rows(selected, rows) < 0) goto fail;
    PyMem_Free(keep);
    return Py_BuildValue("{sNsN}", "columns", selected, "data", rows);
fail:
    PyMem_Free(keep);
    Py_DECREF(selected);
    Py_DECREF(rows);
    return NULL;
}

static PyMethodDef methods[] = {
    {"construct", construct, METH_O, NULL},
    {"filter", (PyCFunction)(void (*)(void))filter, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "floor_tables", NULL, -1, methods};

PyMODINIT_FUNC PyInit_floor_tables(void) { return PyModule_Create(&module); }
