// The container walk shared by murkfold and starveil: dictionaries, lists and
// tuples rebuilt as new plain containers, each element handed to the walker's
// nested call. A walker type C provides
//   frame::Depth depth;                                  the nesting guard
//   PyObject* nested(PyObject* name, PyObject* value);   new reference or nullptr
//   bool quick(PyObject* name, PyObject* value, PyObject*& result);
//       the nested call's result (a new reference) when it is known without
//       running Python code and without a reference of the walk's own to
//       `value` (a leaf that comes back unchanged); false to take the nested
//       call. What it trusts for that, it trusts in a frame::Window.
//   void code_may_run();
//       closes that window.
//   std::uint64_t code_points();
//       how many times code_may_run() was called, to tell whether any such
//       point came between two moments. The walk calls it at each point of its own where
//       Python code may run (remember.hpp lists them): calls into a
//       container's own methods, and a store that may compare keys by Python
//       code or release a value. A nested call calls it itself at every such
//       point of its own, so a container walked inline without running any
//       leaves the window open for the rest of the walk.
// For dictionaries the name is the entry's key; for lists and tuples it is the
// `name` the container was walked with (murkfold passes nullptr).
//
// Borrowed elements get their own reference before anything that can run
// Python code, sizes are re-read after every nested call, and containers with
// slots still empty are hidden from the collector until they are full.
#pragma once

#include "frame/compiler.hpp"
#include "frame/depth.hpp"
#include "frame/frame.hpp"

namespace walk {

using frame::Ref;

inline frame::Name g_items{"items"};

FRAME_NOINLINE FRAME_COLD inline void changed_size() noexcept {
  PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
}

// Drops a reference the walk held across a nested call. When it is the last
// one, the object's finalizer may run and its address may be taken by
// another: a point where Python code may run.
template <class C>
inline void release(C& c, PyObject* o) noexcept {
  if (Py_REFCNT(o) == 1) c.code_may_run();
  Py_DECREF(o);
}

// A nested call of `function` (one of the walker's own functions, which the
// caller holds) taken inline: `body` runs one level deeper, with the
// function's globals in use, and a failure gets the function's traceback
// entry. What the window holds was read in the caller's globals, so it
// closes when the function's differ.
template <class C, class Body>
PyObject* inline_call(C& c, PyObject* function, Body&& body) noexcept {
  frame::Level level(c.depth);
  if (!level) return nullptr;
  PyObject* const outer_function = c.function;
  PyObject* const outer_globals = c.globals;
  c.function = function;
  c.globals = frame::globals_of(function);
  const bool elsewhere = c.globals != outer_globals;
  if (elsewhere) c.code_may_run();
  PyObject* result = body();
  if (!result) frame::traceback_here(function);
  if (elsewhere) c.code_may_run();
  c.function = outer_function;
  c.globals = outer_globals;
  return result;
}

template <class C>
FRAME_NOINLINE PyObject* exact_dict(C& c, PyObject* d) noexcept {
  if (!c.depth.room()) return nullptr;
  PyObject* out = PyDict_New();
  if (!out) return nullptr;
  const Py_ssize_t size = PyDict_GET_SIZE(d);
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  // Storing a key compares it by C code alone while it and every key in the
  // new dictionary are exact strings; the keys met are distinct while
  // nothing runs, so none replaces (and releases) an earlier value. Python
  // code may reach the new dictionary (the collector lists it) and store keys
  // of its own: once any has run, every store counts as a point where more
  // may run.
  bool exact_keys = true;
  for (;;) {
    if (PyDict_GET_SIZE(d) != size) {
      changed_size();
      break;
    }
    if (!PyDict_Next(d, &pos, &k, &v)) return out;
    exact_keys = exact_keys && PyUnicode_CheckExact(k);
    const Py_ssize_t before = PyDict_GET_SIZE(out);
    PyObject* r = nullptr;
    if (c.quick(k, v, r)) {
      // Nothing ran: the dictionary still holds the key and the value (and
      // the new one takes its own references before it compares keys).
      int status = PyDict_SetItem(out, k, r);
      Py_DECREF(r);
      if (status < 0) break;
    } else {
      Py_INCREF(k);
      Py_INCREF(v);
      const std::uint64_t points = c.code_points();
      r = c.nested(k, v);
      exact_keys = exact_keys && c.code_points() == points;
      release(c, v);
      int status = r ? PyDict_SetItem(out, k, r) : -1;
      Py_XDECREF(r);  // the new dictionary holds it
      release(c, k);
      if (status < 0) break;
    }
    if (!exact_keys || PyDict_GET_SIZE(out) == before) c.code_may_run();
  }
  Py_DECREF(out);
  return nullptr;
}

// A dictionary subclass: through its items(), each item split into a pair.
template <class C>
FRAME_NOINLINE PyObject* dict_items(C& c, PyObject* d) noexcept {
  if (!c.depth.room()) return nullptr;
  c.code_may_run();
  Ref items = Ref::steal(PyObject_CallMethodNoArgs(d, g_items));
  if (!items) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(items.get()));
  if (!it) return nullptr;
  Ref out = Ref::steal(PyDict_New());
  if (!out) return nullptr;
  for (;;) {
    c.code_may_run();  // what the last element's store may have run, and what the next step runs
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
FRAME_NOINLINE PyObject* iterate(C& c, PyObject* seq, PyObject* name, const frame::Site* genexpr) noexcept {
  PyObject* result = [&]() -> PyObject* {
    c.code_may_run();
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return nullptr;
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    for (;;) {
      c.code_may_run();
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
  c.code_may_run();  // the iterator and the elements were released
  if (!result && genexpr) c.genexpr_here(*genexpr);
  return result;
}

template <class C>
FRAME_NOINLINE PyObject* list(C& c, PyObject* l, PyObject* name) noexcept {
  if (!c.depth.room()) return nullptr;
  if (Py_TYPE(l)->tp_iter != PyList_Type.tp_iter) return iterate(c, l, name, nullptr);
  const Py_ssize_t n = PyList_GET_SIZE(l);
  PyObject* out = PyList_New(n);
  if (!out) return nullptr;
  // Hidden from the collector (gc.get_objects) while slots are still empty.
  PyObject_GC_UnTrack(out);
  Py_ssize_t i = 0;
  for (; i < PyList_GET_SIZE(l); ++i) {  // the list may shrink or grow meanwhile
    PyObject* e = PyList_GET_ITEM(l, i);
    PyObject* r = nullptr;
    if (!c.quick(name, e, r)) {
      Py_INCREF(e);
      r = c.nested(name, e);
      release(c, e);
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
FRAME_NOINLINE PyObject* tuple(C& c, PyObject* t, PyObject* name, const frame::Site& genexpr) noexcept {
  if (!c.depth.room()) return nullptr;
  if (Py_TYPE(t)->tp_iter != PyTuple_Type.tp_iter) return iterate(c, t, name, &genexpr);
  const Py_ssize_t n = PyTuple_GET_SIZE(t);
  PyObject* out = PyTuple_New(n);
  if (!out || n == 0) return out;
  PyObject_GC_UnTrack(out);
  for (Py_ssize_t i = 0; i < n; ++i) {
    // The tuple, held by the caller, keeps its items alive.
    PyObject* e = PyTuple_GET_ITEM(t, i);
    PyObject* r = nullptr;
    if (!c.quick(name, e, r)) {
      if (!(r = c.nested(name, e))) {
        c.genexpr_here(genexpr);
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
