// Initialisation of a deliverable: the PyInit_ entry, the create and exec
// steps, the process-wide records, constants, name lookup and imports.
#include <cstdio>
#include <cstring>
#include <new>

#include "frame/cached.hpp"
#include "frame/frame.hpp"
#include "frame/internal.hpp"

namespace frame {

namespace {

// Process-wide records of this deliverable (hidden symbols keep them private
// to it even when several deliverables are loaded).
int64_t g_interpreter_id = -1;
PyObject* g_module = nullptr;    // held from the start of exec, dropped on failure
// The latest exec's module dictionary, owned and kept after a failed exec:
// functions made before the failure may outlive it and still run.
PyObject* g_dict = nullptr;
// The dictionary whose functions run directly, owned: g_dict, except while
// calls made directly in an earlier one are still running (an import that
// succeeds inside such a call must not change what the call looks up).
PyObject* g_home = nullptr;
// Calls running now, on any thread, that look names up in a dictionary of
// their own (see Using); while there are any, each thread's innermost one
// is in t_dict (nullptr: g_home).
int g_using = 0;
thread_local PyObject* t_dict = nullptr;
PyObject* g_builtins = nullptr;  // the builtins module's dictionary
const ModuleDef* g_def = nullptr;
PyModuleDef g_moddef;
PyModuleDef_Slot g_slots[3];

Name* g_names = nullptr;
KwNames* g_kwnames = nullptr;
Site* g_sites = nullptr;

// Copies spec.<from> to module.<to>; a missing attribute is skipped.
bool copy_spec(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  if (!allow_none && value.get() == Py_None) return true;
  return PyDict_SetItemString(dict, to, value.get()) == 0;
}

PyObject* create(PyObject* spec, PyModuleDef*) noexcept {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  if (g_interpreter_id == -1) {
    g_interpreter_id = id;
  } else if (id != g_interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  if (g_module) return Py_NewRef(g_module);

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  if (!dict) return nullptr;
  if (!copy_spec(spec, dict, "loader", "__loader__", true)) return nullptr;
  if (!copy_spec(spec, dict, "origin", "__file__", true)) return nullptr;
  if (!copy_spec(spec, dict, "parent", "__package__", true)) return nullptr;
  if (!copy_spec(spec, dict, "submodule_search_locations", "__path__", false)) return nullptr;
  return module.release();
}

bool version_check() {
  const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
  const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
  char message[200];  // the text is cut to 199 characters
  std::snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                PY_MAJOR_VERSION, PY_MINOR_VERSION, g_def->full_name, "does not match", major, minor);
  return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool register_in_sys_modules() {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  if (!modules) return false;
  int found = PyDict_ContainsString(modules, g_def->full_name);
  if (found < 0) return false;
  return found || PyDict_SetItemString(modules, g_def->full_name, g_module) == 0;
}

bool run_body() {
  if (!g_def->body()) return false;
  Ref test = Ref::steal(PyDict_New());
  return test && PyDict_SetItemString(module_dict(), "__test__", test.get()) == 0;
}

int exec_steps(PyObject* module) {
  if (g_module) {
    if (g_module == module) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.", g_def->short_name);
    return -1;
  }
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  if (!dict) return -1;
  // The body's statements and the calls it makes (this exec may run inside
  // a call of a function kept from an earlier one) use the new dictionary.
  Using scope(dict);
  g_module = Py_NewRef(module);
  Py_XSETREF(g_dict, Py_NewRef(dict));
  Cached::moved();
  bool ok = true;
  if (!g_builtins) {
    Ref builtins = Ref::steal(PyImport_AddModuleRef("builtins"));
    PyObject* bdict = builtins ? PyModule_GetDict(builtins.get()) : nullptr;
    ok = bdict != nullptr;
    if (ok) g_builtins = Py_NewRef(bdict);
  }
  if (ok) {
    Ref builtins = Ref::steal(PyImport_AddModuleRef("builtins"));
    ok = builtins && PyObject_SetAttrString(module, "__builtins__", builtins.get()) == 0;
  }
  ok = ok && version_check() && create_constants() && register_in_sys_modules();
  if (ok && !run_body()) {
    init_site().here();
    ok = false;
  }
  if (ok) return 0;
  // A later import starts again from the create step; g_dict stays for the
  // functions already made.
  Py_CLEAR(g_module);
  return -1;
}

int exec(PyObject* module) noexcept {
  try {
    if (exec_steps(module) == 0) return 0;
    if (!PyErr_Occurred()) missing_error();
    return -1;
  } catch (const std::bad_alloc&) {  // GCOVR_EXCL_START: nothing here throws; kept so nothing
    PyErr_NoMemory();                // ever unwinds into the interpreter
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception during module initialisation");
  }
  Py_CLEAR(g_module);
  return -1;  // GCOVR_EXCL_STOP
}

}  // namespace

// ---- records and constants ------------------------------------------------

Name::Name(const char* text) noexcept : text_(text), next_(g_names) { g_names = this; }

KwNames::KwNames(std::initializer_list<const char*> names) noexcept : size_(0), next_(g_kwnames) {
  for (const char* n : names)
    if (size_ < kMaxParams) names_[size_++] = n;
  g_kwnames = this;
}

Site::Site(const char* qualname, int line) noexcept : qualname_(qualname), line_(line), next_(g_sites) {
  g_sites = this;
}

void Site::here() const noexcept { add_traceback(code_); }

// "init <module>": the entry for a failure in the module body.
Site g_init_site{nullptr};

const Site& init_site() noexcept { return g_init_site; }

// Made once; a failed exec keeps them for the next attempt.
bool create_constants() {
  for (Name* n = g_names; n; n = n->next_) {
    if (!n->obj_ && !(n->obj_ = PyUnicode_InternFromString(n->text_))) return false;
  }
  for (KwNames* k = g_kwnames; k; k = k->next_) {
    if (k->tuple_) continue;
    Ref tuple = Ref::steal(PyTuple_New(k->size_));
    if (!tuple) return false;
    for (Py_ssize_t i = 0; i < k->size_; ++i) {
      PyObject* s = PyUnicode_InternFromString(k->names_[i]);
      if (!s) return false;
      PyTuple_SET_ITEM(tuple.get(), i, s);
    }
    k->tuple_ = tuple.release();
  }
  for (Site* s = g_sites; s; s = s->next_) {
    if (s->code_) continue;
    Ref name = s->qualname_ ? Ref::steal(PyUnicode_FromFormat("%s.%s", g_def->full_name, s->qualname_))
                            : Ref::steal(PyUnicode_FromFormat("init %s", g_def->full_name));
    if (!name) return false;
    Ref code = make_site_code(name.get(), s->line_);
    if (!code) return false;
    s->code_ = code.release();
  }
  return true;
}

Ref make_site_code(PyObject* name, int line) noexcept {
  // co_name and co_qualname both carry the dotted name shown in tracebacks.
  const char* text = PyUnicode_AsUTF8(name);
  if (!text) return Ref();
  return Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(g_def->source_path, text, line)));
}

PyObject* module_init(const ModuleDef* def) noexcept {
  g_def = def;
  g_slots[0] = {Py_mod_create, reinterpret_cast<void*>(create)};
  g_slots[1] = {Py_mod_exec, reinterpret_cast<void*>(exec)};
  g_slots[2] = {0, nullptr};
  g_moddef = {PyModuleDef_HEAD_INIT, def->short_name, nullptr, 0, nullptr, g_slots, nullptr, nullptr, nullptr};
  return PyModuleDef_Init(&g_moddef);
}

PyObject* module_dict() noexcept {
  if (!g_using) return g_home;
  PyObject* dict = t_dict;
  return dict ? dict : g_home;
}

bool module_dict_settled() noexcept { return g_using == 0 && g_home == g_dict; }

PyObject* g_direct = nullptr;
int g_inflight = 0;
bool g_pending = false;

// The latest dictionary becomes the one whose functions run directly.
void settle() noexcept {
  g_pending = false;
  if (g_home != g_dict) {
    PyObject* previous = g_home;
    g_home = Py_XNewRef(g_dict);
    Cached::forget_all();  // what was remembered is the previous one's
    if (!g_using) g_direct = g_home;
    // Its last reference may go here; finalizers it runs must not see the
    // caller's pending exception.
    PyObject* pending = PyErr_GetRaisedException();
    Py_XDECREF(previous);
    PyErr_SetRaisedException(pending);
  }
  if (!g_using) g_direct = g_home;
}

Using::Using(PyObject* dict) noexcept : saved_(t_dict) {
  if (g_using++ == 0) {
    g_direct = nullptr;
    Cached::forget_all();  // what was remembered is g_home's
  }
  t_dict = dict;
}

Using::~Using() {
  t_dict = saved_;
  if (--g_using) return;
  if (g_inflight == 0)
    settle();
  else
    g_pending = g_home != g_dict;
  g_direct = g_home;
}

[[gnu::cold]] void missing_error() noexcept {
  PyErr_SetString(PyExc_SystemError, "error return without exception set");
}

PyObject* builtins_dict() noexcept { return g_builtins; }
const ModuleDef& module_def() noexcept { return *g_def; }

// ---- names ----------------------------------------------------------------

static void name_error(PyObject* name) {
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}

Ref global(PyObject* name) noexcept {
  PyObject* value;
  if (PyDict_GetItemRef(module_dict(), name, &value) != 0) return Ref::steal(value);  // found, or an error
  if (PyDict_GetItemRef(g_builtins, name, &value) != 0) return Ref::steal(value);
  name_error(name);
  return Ref();
}

Ref builtin(PyObject* name) noexcept {
  PyObject* value;
  if (PyDict_GetItemRef(g_builtins, name, &value) != 0) return Ref::steal(value);
  name_error(name);
  return Ref();
}

// ---- body statements ------------------------------------------------------

bool bind(PyObject* name, Ref value) noexcept {
  return value && PyDict_SetItem(module_dict(), name, value.get()) == 0;
}

bool import_module(const char* module) noexcept {
  Ref name = Ref::steal(PyUnicode_FromString(module));
  if (!name) return false;
  Ref top = Ref::steal(PyImport_ImportModuleLevelObject(name.get(), module_dict(), nullptr, nullptr, 0));
  if (!top) return false;
  // `import a.b` binds `a`.
  Ref first = Ref::steal(PyUnicode_FromStringAndSize(module, static_cast<Py_ssize_t>(strcspn(module, "."))));
  return first && bind(first.get(), std::move(top));
}

bool import_from(const char* module, std::initializer_list<const char*> names) noexcept {
  Ref modname = Ref::steal(PyUnicode_FromString(module));
  Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!modname || !fromlist) return false;
  Py_ssize_t i = 0;
  for (const char* n : names) {
    PyObject* s = PyUnicode_InternFromString(n);
    if (!s) return false;
    PyTuple_SET_ITEM(fromlist.get(), i++, s);
  }
  Ref mod = Ref::steal(PyImport_ImportModuleLevelObject(modname.get(), module_dict(), nullptr, fromlist.get(), 0));
  if (!mod) return false;
  for (i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i) {
    PyObject* name = PyTuple_GET_ITEM(fromlist.get(), i);
    Ref value = Ref::steal(PyObject_GetAttr(mod.get(), name));
    if (!value) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
      // A submodule that is imported but not yet an attribute of its package.
      Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", modname.get(), name));
      if (!full) return false;
      value = Ref::steal(PyImport_GetModule(full.get()));
      if (!value) {
        if (PyErr_Occurred()) return false;
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
        return false;
      }
    }
    if (!bind(name, std::move(value))) return false;
  }
  return true;
}

bool define(const FunctionDef& def) noexcept {
  Ref f = make_function(def);
  if (!f) return false;
  Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
  return name && bind(name.get(), std::move(f));
}

// ---- values ---------------------------------------------------------------

Ref Value::make() const noexcept {
  return kind == Kind::text ? Ref::steal(PyUnicode_InternFromString(str)) : Ref::borrow(Py_None);
}

}  // namespace frame
