// The container walk shared by murkfold and starveil: dictionaries, lists and
// tuples rebuilt as new plain containers, each element handed to the walker's
// nested call. A walker type C provides
//   frame::Depth depth;                                  the nesting guard
//   PyObject* nested(PyObject* name, PyObject* value);   new reference or nullptr
//   bool quick(PyObject* name, PyObject* value, PyObject*& result, bool& quiet);
//       the nested call's result when it is known without running any Python
//       code and without a reference of the walk's own to `value` (a leaf
//       that comes back unchanged); false to take the nested call. `quiet`
//       belongs to the loop calling it: true means no Python code has run
//       since the walker last set it (the loop clears it whenever some may
//       have), so what the walker checked then still holds.
// For dictionaries the name is the entry's key; for lists and tuples it is the
// `name` the container was walked with (murkfold passes nullptr).
//
// Borrowed elements get their own reference before anything that can run
// Python code, sizes are re-read after every nested call, and containers with
// slots still empty are hidden from the collector until they are full.
#pragma once

#include "frame/depth.hpp"
#include "frame/frame.hpp"

namespace walk {

using frame::Ref;

inline frame::Name g_items{"items"};

[[gnu::noinline, gnu::cold]] inline void changed_size() noexcept {
  PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
}

// Keys whose hash and equality run no Python code.
inline bool plain_key(PyObject* k) noexcept {
  PyTypeObject* t = Py_TYPE(k);
  return t == &PyUnicode_Type || t == &PyLong_Type || k == Py_None || t == &PyFloat_Type || t == &PyBool_Type ||
         t == &PyBytes_Type;
}

template <class C>
[[gnu::noinline]] PyObject* exact_dict(C& c, PyObject* d) noexcept {
  if (!c.depth.room()) return nullptr;
  PyObject* out = PyDict_New();
  if (!out) return nullptr;
  const Py_ssize_t size = PyDict_GET_SIZE(d);
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  // Storing a key runs Python code once the new dictionary holds a key
  // whose hash or equality is Python code, or when the key is one.
  bool quiet = false, plain_keys = true;
  for (;;) {
    if (PyDict_GET_SIZE(d) != size) {
      changed_size();
      break;
    }
    if (!PyDict_Next(d, &pos, &k, &v)) return out;
    PyObject* r;
    plain_keys = plain_keys && plain_key(k);
    if (c.quick(k, v, r, quiet)) {
      // Nothing ran: the dictionary still holds the key and the value (and
      // the new one takes its own references before it compares keys).
      int status = PyDict_SetItem(out, k, r);
      Py_DECREF(r);
      if (status < 0) break;
      quiet = quiet && plain_keys;
      continue;
    }
    quiet = false;
    Py_INCREF(k);
    Py_INCREF(v);
    r = c.nested(k, v);
    Py_DECREF(v);
    int status = r ? PyDict_SetItem(out, k, r) : -1;
    Py_XDECREF(r);
    Py_DECREF(k);
    if (status < 0) break;
  }
  Py_DECREF(out);
  return nullptr;
}

// A dictionary subclass: through its items(), each item split into a pair.
template <class C>
[[gnu::noinline]] PyObject* dict_items(C& c, PyObject* d) noexcept {
  if (!c.depth.room()) return nullptr;
  Ref items = Ref::steal(PyObject_CallMethodNoArgs(d, g_items));
  if (!items) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(items.get()));
  if (!it) return nullptr;
  Ref out = Ref::steal(PyDict_New());
  if (!out) return nullptr;
  for (;;) {
    Ref item = Ref::steal(PyIter_Next(it.get()));
    if (!item) return PyErr_Occurred() ? nullptr : out.release();
    Ref key, value;
    if (!frame::unpack_pair(item.get(), key, value)) return nullptr;
    Ref r = Ref::steal(c.nested(key.get(), value.get()));
    if (!r || PyDict_SetItem(out.get(), key.get(), r.get()) < 0) return nullptr;
  }
}

// Any iterable through the iteration protocol (a subclass with its own
// __iter__): into a list, or a tuple when `genexpr` names the tuple's site.
template <class C>
[[gnu::noinline]] PyObject* iterate(C& c, PyObject* seq, PyObject* name, const frame::Site* genexpr) noexcept {
  PyObject* result = [&]() -> PyObject* {
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return nullptr;
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    for (;;) {
      Ref e = Ref::steal(PyIter_Next(it.get()));
      if (!e) {
        if (PyErr_Occurred()) return nullptr;
        break;
      }
      Ref r = Ref::steal(c.nested(name, e.get()));
      if (!r || PyList_Append(out.get(), r.get()) < 0) return nullptr;
    }
    return genexpr ? PyList_AsTuple(out.get()) : out.release();
  }();
  if (!result && genexpr) genexpr->here();
  return result;
}

template <class C>
[[gnu::noinline]] PyObject* list(C& c, PyObject* l, PyObject* name) noexcept {
  if (!c.depth.room()) return nullptr;
  if (Py_TYPE(l)->tp_iter != PyList_Type.tp_iter) return iterate(c, l, name, nullptr);
  const Py_ssize_t n = PyList_GET_SIZE(l);
  PyObject* out = PyList_New(n);
  if (!out) return nullptr;
  // Hidden from the collector (gc.get_objects) while slots are still empty.
  PyObject_GC_UnTrack(out);
  Py_ssize_t i = 0;
  bool quiet = false;
  for (; i < PyList_GET_SIZE(l); ++i) {  // the list may shrink or grow meanwhile
    PyObject* e = PyList_GET_ITEM(l, i);
    PyObject* r;
    if (!c.quick(name, e, r, quiet)) {
      quiet = false;
      Py_INCREF(e);
      r = c.nested(name, e);
      Py_DECREF(e);
      if (!r) {
        Py_DECREF(out);  // empty slots are NULL, which the list's release skips
        return nullptr;
      }
    }
    if (i < n) {
      PyList_SET_ITEM(out, i, r);
    } else {
      int status = PyList_Append(out, r);
      Py_DECREF(r);
      if (status < 0) {
        Py_DECREF(out);
        return nullptr;
      }
    }
  }
  if (i < n) Py_SET_SIZE(out, i);
  PyObject_GC_Track(out);
  return out;
}

template <class C>
[[gnu::noinline]] PyObject* tuple(C& c, PyObject* t, PyObject* name, const frame::Site& genexpr) noexcept {
  if (!c.depth.room()) return nullptr;
  if (Py_TYPE(t)->tp_iter != PyTuple_Type.tp_iter) return iterate(c, t, name, &genexpr);
  const Py_ssize_t n = PyTuple_GET_SIZE(t);
  PyObject* out = PyTuple_New(n);
  if (!out || n == 0) return out;
  PyObject_GC_UnTrack(out);
  bool quiet = false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    // The tuple, held by the caller, keeps its items alive.
    PyObject* e = PyTuple_GET_ITEM(t, i);
    PyObject* r;
    if (!c.quick(name, e, r, quiet)) {
      quiet = false;
      if (!(r = c.nested(name, e))) {
        genexpr.here();
        Py_DECREF(out);
        return nullptr;
      }
    }
    PyTuple_SET_ITEM(out, i, r);
  }
  PyObject_GC_Track(out);
  return out;
}

}  // namespace walk
