// The deliverable's dictionary watcher, its stamp and the remembered lookups
// (remember.hpp says what may be remembered and why).
#include "frame/remember.hpp"

#include "frame/internal.hpp"
#include "frame/unstable.hpp"

namespace frame {

std::atomic<std::uint64_t> g_watch_stamp{0};

namespace {

int g_watcher = -1;        // for Globals; -1: none taken, nothing is remembered
bool g_wanted = false;     // some Global is declared
int g_scope_watcher = -1;  // for Watch scopes; -1: not taken yet, -2: none to be had
Watch* g_scopes = nullptr;  // the Watch scopes alive

// The one callback: every event of every watched dictionary moves the stamp,
// before the change is made.
int on_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  g_watch_stamp.fetch_add(1, std::memory_order_acq_rel);
  return 0;
}

// Watching a dictionary with our own registered id cannot fail.
bool watch(PyObject* dict, int id) noexcept {
  if (PyDict_Watch(id, dict) == 0) return true;  // GCOVR_EXCL_BR_LINE
  PyErr_Clear();  // GCOVR_EXCL_LINE
  return false;   // GCOVR_EXCL_LINE
}

bool watch(PyObject* dict) noexcept { return watch(dict, g_watcher); }

// Taken at the first scope; failure is not an error (nothing is remembered).
int scope_watcher() noexcept {
  if (g_scope_watcher == -1) {
    PyObject* pending = PyErr_GetRaisedException();
    g_scope_watcher = PyDict_AddWatcher(on_event);
    if (g_scope_watcher < 0) {
      PyErr_Clear();
      g_scope_watcher = -2;
    }
    PyErr_SetRaisedException(pending);
  }
  return g_scope_watcher;
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

Watch::Watch(PyObject* dict) noexcept : dict_(dict) {
  if (unstable::dict_is_split(dict) || scope_watcher() < 0 || !watch(dict, g_scope_watcher)) return;
  watching_ = true;
  next_ = g_scopes;
  g_scopes = this;
}

Watch::~Watch() {
  if (!watching_) return;
  bool others = false;
  for (Watch** w = &g_scopes; *w;) {
    if (*w == this) {
      *w = next_;
      continue;
    }
    others = others || (*w)->dict_ == dict_;
    w = &(*w)->next_;
  }
  if (others) return;  // another scope still relies on the watch
  PyObject* pending = PyErr_GetRaisedException();  // the call's own failure, if any
  // Unwatching a dictionary watched with our own id cannot fail.
  if (PyDict_Unwatch(g_scope_watcher, dict_) < 0) PyErr_Clear();  // GCOVR_EXCL_BR_LINE
  PyErr_SetRaisedException(pending);
}

Ref Watch::refresh(PyObject* key) noexcept {
  // Read first, as for a Global.
  const std::uint64_t stamp = watch_stamp();
  PyObject* value;
  const int found = PyDict_GetItemRef(dict_, key, &value);
  if (found == 0) PyErr_SetObject(PyExc_KeyError, key);
  if (found <= 0) return Ref();
  // Remembered only when looking it up ran no Python code, as the next
  // lookup would not either: exact-str keys only (a key of another kind can
  // only come in through an event).
  if (watching_ && exact_string_keys(dict_)) {
    key_ = key;
    value_ = value;
    stamp_ = stamp;
  }
  return Ref::steal(value);
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
