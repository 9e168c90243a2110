// The deliverable's dictionary watcher, its stamp and the remembered lookups
// (remember.hpp says what may be remembered and why).
#include "frame/remember.hpp"

#include "frame/internal.hpp"

namespace frame {

std::atomic<std::uint64_t> g_watch_stamp{0};

namespace {

int g_watcher = -1;   // -1: none taken; nothing is remembered
bool g_wanted = false;  // some Global is declared

// The one callback: every event of every watched dictionary moves the stamp,
// before the change is made.
int on_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  g_watch_stamp.fetch_add(1, std::memory_order_acq_rel);
  return 0;
}

// Watching a dictionary with our own registered id cannot fail.
bool watch(PyObject* dict) noexcept {
  if (PyDict_Watch(g_watcher, dict) == 0) return true;  // GCOVR_EXCL_BR_LINE
  PyErr_Clear();  // GCOVR_EXCL_LINE
  return false;   // GCOVR_EXCL_LINE
}

}  // namespace

Global::Global(const Name& name, Test test) noexcept : name_(name), test_(test) { g_wanted = true; }

void start_watching(PyObject* builtins) noexcept {
  if (!g_wanted || g_watcher >= 0) return;
  PyObject* pending = PyErr_GetRaisedException();  // keep any pending state as it was
  const int id = PyDict_AddWatcher(on_event);
  if (id < 0) {
    PyErr_Clear();
  } else {
    g_watcher = id;
    if (!watch(builtins)) {  // GCOVR_EXCL_START: cannot fail, as above
      PyDict_ClearWatcher(g_watcher);
      PyErr_Clear();
      g_watcher = -1;
    }  // GCOVR_EXCL_STOP
  }
  PyErr_SetRaisedException(pending);
}

Global::Found Global::refresh(PyObject* globals, bool plain_only) noexcept {
  // Read first: when the lookups below run no Python code, no event can come
  // between this read and them.
  const std::uint64_t stamp = watch_stamp();
  bool plain = exact_string_keys(globals);
  if (!plain && plain_only) return {};
  PyObject* value;
  int found = PyDict_GetItemRef(globals, name_.get(), &value);
  if (found == 0) {
    plain = plain && exact_string_keys(builtins_dict());
    if (!plain && plain_only) return {};
    found = PyDict_GetItemRef(builtins_dict(), name_.get(), &value);
  }
  if (found < 0) return {};
  if (found == 0) {
    name_error(name_.get());
    return {};
  }
  Found result{Ref::steal(value), test_ && test_(value), false, plain};
  if (plain && g_watcher >= 0 && watch(globals)) {
    dict_ = globals;
    value_ = value;
    passed_ = result.passed;
    stamp_ = stamp;
    result.remembered = true;
  }
  return result;
}

}  // namespace frame
