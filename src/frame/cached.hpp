// Module-level names whose lookup is remembered between uses. One dictionary
// watcher, taken at exec, watches the module dictionary and the builtins and
// forgets every remembered lookup the moment either dictionary changes, so a
// remembered lookup is always what a fresh lookup would find. Without a
// watcher id (there are few per interpreter) every use looks the name up.
#pragma once

#include "frame/frame.hpp"

namespace frame {

class Cached;

// Per deliverable (hidden visibility keeps these private to each library).
inline Cached* g_cached = nullptr;
inline int g_cached_watcher = -1;
// Moves whenever a watched dictionary changes or the module dictionary in
// use does: a value remembered with the count it had is still what a fresh
// read of those dictionaries would give while the count has not moved.
inline unsigned long long g_epoch = 0;

class Cached {
 public:
  // `test` is asked once per remembered object (for example whether it is
  // one of this module's own functions); it must not run Python code.
  using Test = bool (*)(PyObject*) noexcept;
  explicit Cached(const Name& name, Test test = nullptr) noexcept;

  // The object the name is bound to now (module dictionary, then builtins),
  // borrowed: valid until Python code can run. nullptr with NameError or the
  // lookup's error set. `passed` receives the test's answer.
  PyObject* get(bool& passed) noexcept {
    if (value_) {
      passed = passed_;
      return value_;
    }
    return refresh(passed);
  }

  // The remembered object, or nullptr when nothing is remembered (no error).
  PyObject* peek(bool& passed) const noexcept {
    passed = passed_;
    return value_;
  }

  // At exec: take this deliverable's watcher id and watch both dictionaries.
  // Failure is not an error: lookups then simply stay uncached.
  static void watch() noexcept;
  // At exec, before the body: the module dictionary is a new one. Forgets
  // everything and watches it too if a watcher was taken before.
  static void moved() noexcept;
  static void forget_all() noexcept;
  // Whether a value read now may be remembered against g_epoch: a watcher
  // is at work and the module dictionary in use is the settled one.
  static bool remembering() noexcept { return g_cached_watcher >= 0 && module_dict_settled(); }
  // Watches one more dictionary, so that its changes move g_epoch too.
  static bool watch_also(PyObject* dict) noexcept;

 private:
  PyObject* refresh(bool& passed) noexcept;
  static int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept;

  const Name& name_;
  Test test_;
  PyObject* value_ = nullptr;  // borrowed from the dictionary holding it
  bool passed_ = false;
  Cached* next_;
};


inline Cached::Cached(const Name& name, Test test) noexcept : name_(name), test_(test), next_(g_cached) {
  g_cached = this;
}

inline void Cached::forget_all() noexcept {
  ++g_epoch;
  for (Cached* c = g_cached; c; c = c->next_) c->value_ = nullptr;
}

// Runs before the dictionary changes; any event at all forgets everything,
// which keeps the callback trivially correct (the watched dictionaries
// rarely change once a program runs).
inline int Cached::on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  forget_all();
  return 0;
}

inline PyObject* Cached::refresh(bool& passed) noexcept {
  // Remembered only when looking the name up runs no code (a key of another
  // kind may compare by Python code, which a fresh lookup would run each
  // time): exact-string keys in every dictionary searched.
  PyObject* dict = module_dict();
  bool remember = g_cached_watcher >= 0 && module_dict_settled() && exact_string_keys(dict);
  PyObject* value;
  int found = PyDict_GetItemRef(dict, name_.get(), &value);
  if (found == 0) {
    remember = remember && exact_string_keys(builtins_dict());
    found = PyDict_GetItemRef(builtins_dict(), name_.get(), &value);
  }
  if (found < 0) return nullptr;
  if (found == 0) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_.get());
    return nullptr;
  }
  // The dictionary that holds it keeps it alive; no code runs before use.
  Py_DECREF(value);
  passed = test_ && test_(value);
  if (remember) {
    value_ = value;
    passed_ = passed;
  }
  return value;
}

inline void Cached::watch() noexcept {
  forget_all();
  PyObject* exc = PyErr_GetRaisedException();  // keep any pending state as it was
  if (g_cached_watcher < 0) {
    int id = PyDict_AddWatcher(on_change);
    if (id < 0) {
      PyErr_Clear();
      PyErr_SetRaisedException(exc);
      return;
    }
    g_cached_watcher = id;
  }
  // A re-run exec has a new module dictionary: watch it as well. (Watching
  // a dictionary with our own registered id cannot fail.)
  if (PyDict_Watch(g_cached_watcher, module_dict()) < 0 ||  // GCOVR_EXCL_BR_LINE
      PyDict_Watch(g_cached_watcher, builtins_dict()) < 0) {  // GCOVR_EXCL_START
    PyErr_Clear();
    PyDict_ClearWatcher(g_cached_watcher);
    PyErr_Clear();
    g_cached_watcher = -1;
  }  // GCOVR_EXCL_STOP
  PyErr_SetRaisedException(exc);
}

inline bool Cached::watch_also(PyObject* dict) noexcept {
  if (g_cached_watcher < 0) return false;
  if (PyDict_Watch(g_cached_watcher, dict) == 0) return true;  // GCOVR_EXCL_BR_LINE: cannot fail, as above
  PyErr_Clear();  // GCOVR_EXCL_LINE
  return false;   // GCOVR_EXCL_LINE
}

inline void Cached::moved() noexcept {
  if (g_cached_watcher >= 0)
    watch();  // a watcher taken before: watch the new dictionary with it
  else
    forget_all();
}

}  // namespace frame
