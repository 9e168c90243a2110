/* Marks for counting instructions under valgrind's callgrind tool
   (bench/instructions.py): the client requests as Python functions.

   start()        instrument from here on (run with --instr-atstart=no, so
                  the interpreter's start-up runs at full speed);
   toggle()       switch collection on or off (run with --collect-atstart=no);
   dump(label)    write the counts collected since the last dump to a file
                  of their own, labelled, and start again from zero;
   running()      whether this process runs under valgrind.

   Outside valgrind each request does nothing. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <valgrind/callgrind.h>

static PyObject *marks_start(PyObject *self, PyObject *unused) {
    CALLGRIND_START_INSTRUMENTATION;
    Py_RETURN_NONE;
}

static PyObject *marks_toggle(PyObject *self, PyObject *unused) {
    CALLGRIND_TOGGLE_COLLECT;
    Py_RETURN_NONE;
}

static PyObject *marks_dump(PyObject *self, PyObject *label) {
    const char *text = PyUnicode_AsUTF8(label);
    if (!text) return NULL;
    CALLGRIND_DUMP_STATS_AT(text);
    Py_RETURN_NONE;
}

static PyObject *marks_running(PyObject *self, PyObject *unused) {
    return PyBool_FromLong(RUNNING_ON_VALGRIND);
}

static PyMethodDef methods[] = {
    {"start", marks_start, METH_NOARGS, NULL},
    {"toggle", marks_toggle, METH_NOARGS, NULL},
    {"dump", marks_dump, METH_O, NULL},
    {"running", marks_running, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "callgrind_marks", NULL, 0, methods};

PyMODINIT_FUNC PyInit_callgrind_marks(void) { return PyModule_Create(&module); }
