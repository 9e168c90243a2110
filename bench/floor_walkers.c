/* The floors for the walkers: bare C routines that do only the work no
   implementation can skip, with no name lookup, no guard and no care for
   hostile input.

   rebuild(v)          the same dictionaries, lists and tuples as new plain
                       containers, every other object returned as it is;
   fold(v, limit)      rebuild, and each exact str longer than `limit` made
                       into its excerpt between the marker lines, in one
                       allocation and one copy;
   veil(v, name)       rebuild, and each str under a password-like ASCII
                       name made into its mask, in one allocation;
   bare(value=None)    a native call that binds the keyword `value` and
                       returns the value;
   bare_mask(name=None, value=None)
                       binds `name` and `value` like a function with those
                       keywords, and masks the value under a password name. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

static const char OPENING[] = "\n{\n";
static const char CLOSING[] = "\n...big-content hidden...\n}\n                ";
#define OPENING_LEN ((Py_ssize_t)(sizeof(OPENING) - 1))
#define CLOSING_LEN ((Py_ssize_t)(sizeof(CLOSING) - 1))

/* The largest character among the first n of s. */
static Py_UCS4 max_char(PyObject *s, Py_ssize_t n) {
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    if (PyUnicode_IS_ASCII(s)) return 127;
    Py_UCS4 m = 127;
    if (kind == PyUnicode_1BYTE_KIND) {
        const Py_UCS1 *p = data;
        for (Py_ssize_t i = 0; i < n; i++)
            if (p[i] > 127) return 255;
        return m;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c > m) m = c;
    }
    return m;
}

static PyObject *excerpt(PyObject *text, Py_ssize_t limit) {
    PyObject *out = PyUnicode_New(OPENING_LEN + limit + CLOSING_LEN, max_char(text, limit));
    if (!out) return NULL;
    int kind = PyUnicode_KIND(out);
    char *data = PyUnicode_DATA(out);
    for (Py_ssize_t i = 0; i < OPENING_LEN; i++) PyUnicode_WRITE(kind, data, i, OPENING[i]);
    if (kind == PyUnicode_KIND(text))
        memcpy(data + OPENING_LEN * kind, PyUnicode_DATA(text), (size_t)(limit * kind));
    else if (PyUnicode_CopyCharacters(out, OPENING_LEN, text, 0, limit) < 0) {
        Py_DECREF(out);
        return NULL;
    }
    for (Py_ssize_t i = 0; i < CLOSING_LEN; i++) PyUnicode_WRITE(kind, data, OPENING_LEN + limit + i, CLOSING[i]);
    return out;
}

static int ascii_contains(const char *s, Py_ssize_t n, const char *word, Py_ssize_t w) {
    for (Py_ssize_t i = 0; i + w <= n; i++) {
        Py_ssize_t j = 0;
        while (j < w && (s[i + j] | 0x20) == word[j]) j++;
        if (j == w) return 1;
    }
    return 0;
}

static int is_password(PyObject *name) {
    if (!name || !PyUnicode_CheckExact(name) || !PyUnicode_IS_ASCII(name)) return 0;
    const char *s = (const char *)PyUnicode_DATA(name);
    Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    return ascii_contains(s, n, "password", 8) || ascii_contains(s, n, "pwd", 3);
}

static PyObject *mask(PyObject *value) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(value);
    PyObject *out = PyUnicode_New(n, 127);
    if (out) memset(PyUnicode_DATA(out), '*', (size_t)n);
    return out;
}

enum mode { REBUILD, FOLD, VEIL };

static PyObject *walk(PyObject *v, enum mode mode, Py_ssize_t limit, PyObject *name) {
    if (PyDict_Check(v)) {
        PyObject *out = PyDict_New(), *k, *item;
        Py_ssize_t pos = 0;
        if (!out) return NULL;
        while (PyDict_Next(v, &pos, &k, &item)) {
            PyObject *r = walk(item, mode, limit, k);
            if (!r || PyDict_SetItem(out, k, r) < 0) { Py_XDECREF(r); Py_DECREF(out); return NULL; }
            Py_DECREF(r);
        }
        return out;
    }
    if (PyList_Check(v)) {
        Py_ssize_t n = PyList_GET_SIZE(v);
        PyObject *out = PyList_New(n);
        if (!out) return NULL;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *r = walk(PyList_GET_ITEM(v, i), mode, limit, name);
            if (!r) { Py_DECREF(out); return NULL; }
            PyList_SET_ITEM(out, i, r);
        }
        return out;
    }
    if (PyTuple_Check(v)) {
        Py_ssize_t n = PyTuple_GET_SIZE(v);
        PyObject *out = PyTuple_New(n);
        if (!out) return NULL;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *r = walk(PyTuple_GET_ITEM(v, i), mode, limit, name);
            if (!r) { Py_DECREF(out); return NULL; }
            PyTuple_SET_ITEM(out, i, r);
        }
        return out;
    }
    if (mode != REBUILD && PyUnicode_CheckExact(v)) {
        if (mode == FOLD && PyUnicode_GET_LENGTH(v) > limit) return excerpt(v, limit);
        if (mode == VEIL && is_password(name)) return mask(v);
    }
    return Py_NewRef(v);
}

static PyObject *floor_rebuild(PyObject *self, PyObject *arg) { return walk(arg, REBUILD, 0, NULL); }

static PyObject *floor_fold(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "fold(value, limit)");
        return NULL;
    }
    Py_ssize_t limit = PyLong_AsSsize_t(args[1]);
    if (limit < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "limit");
        return NULL;
    }
    return walk(args[0], FOLD, limit, NULL);
}

static PyObject *floor_veil(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "veil(value, name)");
        return NULL;
    }
    return walk(args[0], VEIL, 0, args[1]);
}

/* Keyword binding as a native function with these parameters does it:
   positional first, then keywords matched by identity, then by value. */
static PyObject *s_name, *s_value;

static int bind(const char *fname, PyObject *const *params, Py_ssize_t k, PyObject *const *args, size_t nargsf,
                PyObject *kwnames, PyObject **out) {
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (n > k) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd arguments (%zd given)", fname, k, n);
        return -1;
    }
    for (Py_ssize_t i = 0; i < k; i++) out[i] = i < n ? args[i] : Py_None;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; j++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, j);
        Py_ssize_t i = 0;
        while (i < k && params[i] != key) i++;
        if (i == k)
            for (i = 0; i < k; i++)
                if (PyUnicode_Check(key) && PyUnicode_Compare(params[i], key) == 0) break;
        if (i == k || i < n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected or repeated keyword argument", fname);
            return -1;
        }
        out[i] = args[n + j];
    }
    return 0;
}

static PyObject *floor_bare(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    PyObject *params[1] = {s_value}, *bound[1];
    if (bind("bare", params, 1, args, nargsf, kwnames, bound) < 0) return NULL;
    return Py_NewRef(bound[0]);
}

static PyObject *floor_bare_mask(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    PyObject *params[2] = {s_name, s_value}, *bound[2];
    if (bind("bare_mask", params, 2, args, nargsf, kwnames, bound) < 0) return NULL;
    if (PyUnicode_CheckExact(bound[1]) && is_password(bound[0])) return mask(bound[1]);
    return Py_NewRef(bound[1]);
}

static PyMethodDef methods[] = {
    {"rebuild", floor_rebuild, METH_O, NULL},
    {"fold", (PyCFunction)(void (*)(void))floor_fold, METH_FASTCALL, NULL},
    {"veil", (PyCFunction)(void (*)(void))floor_veil, METH_FASTCALL, NULL},
    {"bare", (PyCFunction)(void (*)(void))floor_bare, METH_FASTCALL | METH_KEYWORDS, NULL},
    {"bare_mask", (PyCFunction)(void (*)(void))floor_bare_mask, METH_FASTCALL | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};
static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "floor_walkers", NULL, -1, methods};

PyMODINIT_FUNC PyInit_floor_walkers(void) {
    s_name = PyUnicode_InternFromString("name");
    s_value = PyUnicode_InternFromString("value");
    if (!s_name || !s_value) return NULL;
    return PyModule_Create(&module);
}
