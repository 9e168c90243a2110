// Dictionary helpers: `key, value = item` for walks over a mapping's
// items(), with the messages the package reports for items that are not
// pairs, and the exact-string-keys test.
#include "frame/compiler.hpp"
#include "frame/frame.hpp"

namespace frame {

namespace {

FRAME_COLD FRAME_NOINLINE void unpack_error(Py_ssize_t found) {
  if (found > 2)
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
  else
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}

}  // namespace

bool exact_string_keys(PyObject* dict) noexcept {
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value))
    if (!PyUnicode_CheckExact(key)) return false;
  return true;
}

bool unpack_pair(PyObject* item, Ref& key, Ref& value) noexcept {
  if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(item);
    if (n != 2) {
      unpack_error(n);
      return false;
    }
    key = Ref::borrow(PySequence_Fast_GET_ITEM(item, 0));
    value = Ref::borrow(PySequence_Fast_GET_ITEM(item, 1));
    return true;
  }
  Ref it = Ref::steal(PyObject_GetIter(item));  // None: "'NoneType' object is not iterable"
  if (!it) return false;
  key = Ref::steal(PyIter_Next(it.get()));
  if (!key) {
    if (!PyErr_Occurred()) unpack_error(0);
    return false;
  }
  value = Ref::steal(PyIter_Next(it.get()));
  if (!value) {
    if (!PyErr_Occurred()) unpack_error(1);
    return false;
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) {
    unpack_error(3);
    return false;
  }
  return !PyErr_Occurred();
}

}  // namespace frame
