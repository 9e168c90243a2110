// Initialisation of a deliverable: the PyInit_ entry, the create and exec
// steps, the process-wide records, constants, name lookup and imports.
#include <cstdio>
#include <cstring>
#include <new>

#include "frame/compiler.hpp"
#include "frame/frame.hpp"
#include "frame/internal.hpp"
#include "frame/remember.hpp"

namespace frame {

namespace {

// Process-wide records of this deliverable (hidden symbols keep them private
// to it even when several deliverables are loaded).
int64_t g_interpreter_id = -1;
PyObject* g_module = nullptr;    // held from the start of exec, dropped on failure
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

bool run_body(const Module& m) {
  if (!g_def->body(m)) return false;
  Ref test = Ref::steal(PyDict_New());
  return test && PyDict_SetItemString(m.dict(), "__test__", test.get()) == 0;
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
  g_module = Py_NewRef(module);
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
  if (ok) start_watching(g_builtins);
  const Module m(dict);
  if (ok && !run_body(m)) {
    init_site().here(dict);
    ok = false;
  }
  if (ok) return 0;
  // A later import starts again from the create step; functions already
  // made keep the dictionary they were made in.
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

void Site::here(PyObject* globals) const noexcept { add_traceback(code_, globals); }

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

FRAME_COLD void missing_error() noexcept {
  PyErr_SetString(PyExc_SystemError, "error return without exception set");
}

PyObject* builtins_dict() noexcept { return g_builtins; }
const ModuleDef& module_def() noexcept { return *g_def; }

// ---- names ----------------------------------------------------------------

FRAME_COLD void name_error(PyObject* name) noexcept {
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}

Ref global(PyObject* globals, PyObject* name) noexcept {
  PyObject* value;
  if (PyDict_GetItemRef(globals, name, &value) != 0) return Ref::steal(value);  // found, or an error
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

bool Module::bind(PyObject* name, Ref value) const noexcept {
  return value && PyDict_SetItem(dict_, name, value.get()) == 0;
}

bool Module::import_module(const char* module) const noexcept {
  Ref name = Ref::steal(PyUnicode_FromString(module));
  if (!name) return false;
  Ref top = Ref::steal(PyImport_ImportModuleLevelObject(name.get(), dict_, nullptr, nullptr, 0));
  if (!top) return false;
  // `import a.b` binds `a`.
  Ref first = Ref::steal(PyUnicode_FromStringAndSize(module, static_cast<Py_ssize_t>(strcspn(module, "."))));
  return first && bind(first.get(), std::move(top));
}

bool Module::import_from(const char* module, std::initializer_list<const char*> names) const noexcept {
  Ref modname = Ref::steal(PyUnicode_FromString(module));
  Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!modname || !fromlist) return false;
  Py_ssize_t i = 0;
  for (const char* n : names) {
    PyObject* s = PyUnicode_InternFromString(n);
    if (!s) return false;
    PyTuple_SET_ITEM(fromlist.get(), i++, s);
  }
  Ref mod = Ref::steal(PyImport_ImportModuleLevelObject(modname.get(), dict_, nullptr, fromlist.get(), 0));
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

bool Module::define(const FunctionDef& def) const noexcept {
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
