// The function object of the package: attributes, descriptor binding,
// vector call, argument binding with its messages, the exact-type and return
// tests, and traceback entries.
#include <cstddef>
#include <new>

#include "frame/compiler.hpp"
#include "frame/depth.hpp"
#include "frame/frame.hpp"
#include "frame/internal.hpp"

#include <frameobject.h>

namespace frame {

namespace {

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionDef* def;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults;     // tuple of trailing defaults, or None
  PyObject* annotations;  // dict
  PyObject* globals;      // the module dictionary
  PyObject* code;         // for introspection
  PyObject* tb_code;      // for traceback entries
  PyObject* dict;
  PyObject* weakrefs;
  Py_ssize_t nparams;
  Py_ssize_t nrequired;
  bool enforced;
  PyObject* params[kMaxParams];      // interned names (owned)
  PyObject* fill[kMaxParams];        // default per parameter, borrowed from `defaults`
  PyTypeObject* enforce[kMaxParams];
};


KwNames g_code_fields{"co_argcount", "co_nlocals", "co_varnames", "co_qualname"};
Name g_dunder_name{"__name__"}, g_property{"property"}, g_setter{"setter"}, g_staticmethod{"staticmethod"};

// ---- error text, kept off the hot path ------------------------------------

FRAME_NOINLINE FRAME_COLD void positional_count_error(const Function* f, const char* which, Py_ssize_t count,
                                                          Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f->def->name, which,
               count, count == 1 ? "" : "s", given);
}

FRAME_NOINLINE FRAME_COLD void keyword_error(const Function* f, const char* format, PyObject* key) {
  if (key)
    PyErr_Format(PyExc_TypeError, format, f->def->name, key);
  else
    PyErr_Format(PyExc_TypeError, format, f->def->name);
}

// By value, for names built at run time and string subclasses (the caller
// has compared pointers first). No __eq__ of the caller's runs here.
Py_ssize_t find_param(const Function* f, PyObject* key) {
  for (Py_ssize_t i = 0; i < f->nparams; ++i)
    if (PyUnicode_Compare(f->params[i], key) == 0) return i;
  return -1;
}

// Fills out[0..nparams) from a vector call; false with the error set. Kept
// free of library calls: for a handful of parameters plain loops are
// cheaper than memcpy/memset.
#if defined(__GNUC__) && !defined(__clang__)
[[gnu::optimize("no-tree-loop-distribute-patterns")]]
#endif
bool bind_args(const Function* f, PyObject* const* args, Py_ssize_t n, PyObject* kwnames, PyObject** out) {
  const Py_ssize_t k = f->nparams;
  if (n > k) {
    positional_count_error(f, f->nrequired == k ? "exactly" : "at most", k, n);
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = args[i];
  unsigned by_keyword = 0;  // bit i: parameter i bound by keyword
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, j);
      Py_ssize_t i = 0;
      while (i < k && f->params[i] != key) ++i;
      if (i == k) {
        if (!PyUnicode_Check(key)) {
          keyword_error(f, "%.200s() keywords must be strings", nullptr);
          return false;
        }
        i = find_param(f, key);
        if (i < 0) {
          keyword_error(f, "%s() got an unexpected keyword argument '%U'", key);
          return false;
        }
      }
      if (i < n) {
        keyword_error(f, "%s() got multiple values for keyword argument '%U'", key);
        return false;
      }
      out[i] = args[n + j];
      by_keyword |= 1u << i;
    }
  }
  for (Py_ssize_t i = n; i < k; ++i) {
    if (by_keyword & (1u << i)) continue;
    if (!f->fill[i]) {  // required parameters lead, so i < nrequired
      positional_count_error(f, f->nrequired == k ? "exactly" : "at least", f->nrequired, i);
      return false;
    }
    out[i] = f->fill[i];
  }
  return true;
}

bool type_tests(const Function* f, Args args) {
  for (Py_ssize_t i = 0; i < f->nparams; ++i) {
    PyTypeObject* t = f->enforce[i];
    if (t && !Py_IS_TYPE(args[i], t) && !type_test(args[i], t, f->def->params.begin()[i].name, f->fill[i] == Py_None))
      return false;
  }
  return true;
}

// One call whose arguments are bound: the type tests, the body (with the
// function's own globals), the return test and the traceback entry.
FRAME_ALWAYS_INLINE PyObject* run(PyObject* self, Args args) noexcept {
  const auto* f = reinterpret_cast<const Function*>(self);
  if (f->enforced && !type_tests(f, args)) return nullptr;  // no traceback entry
  // Bodies call back into Python code, which may call back in here: a
  // thread whose stack is nearly used up gets RecursionError, not a crash.
  if (!stack_room()) {
    add_traceback(f->tb_code, f->globals);
    return nullptr;
  }
  PyObject* result;
  try {
    result = f->def->body(Call{self, f->globals, args});
  } catch (const std::bad_alloc&) {  // GCOVR_EXCL_START: no body uses anything that throws; kept so none
    result = PyErr_NoMemory();       // ever unwinds into the interpreter
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    result = nullptr;
  }  // GCOVR_EXCL_STOP
  if (result && f->def->return_test && !return_test(result, f->def->return_test)) Py_CLEAR(result);
  if (!result) add_traceback(f->tb_code, f->globals);
  return result;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  const auto* f = reinterpret_cast<Function*>(self);
  const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  if (!kwnames) {
    if (n == f->nparams) return run(self, args);
    // No arguments at all: the defaults are the arguments.
    if (n == 0 && f->nrequired == 0) return run(self, f->fill);
  } else if (n + PyTuple_GET_SIZE(kwnames) == f->nparams) {
    // Every parameter given, keywords in parameter order: the arguments
    // already stand where binding would put them.
    Py_ssize_t i = n;
    while (i < f->nparams && PyTuple_GET_ITEM(kwnames, i - n) == f->params[i]) ++i;
    if (i == f->nparams) return run(self, args);
  }
  PyObject* bound[kMaxParams];
  if (!bind_args(f, args, n, kwnames, bound)) {
    add_traceback(f->tb_code, f->globals);
    return nullptr;
  }
  return run(self, bound);
}

// ---- the type -------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<Function*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->defaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->globals);
  Py_VISIT(f->code);
  Py_VISIT(f->tb_code);
  Py_VISIT(f->dict);
  return 0;
}

int function_clear(PyObject* self) {
  auto* f = reinterpret_cast<Function*>(self);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->dict);
  // The rest stays until deallocation: a finalizer may still call the
  // function, which binds, looks names up in its globals, names itself in
  // messages and traceback entries. Clearing the module dictionary's own
  // entries breaks the cycle through the globals.
  return 0;
}

void function_dealloc(PyObject* self) {
  auto* f = reinterpret_cast<Function*>(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->code);
  Py_CLEAR(f->tb_code);
  Py_CLEAR(f->defaults);
  for (Py_ssize_t i = 0; i < f->nparams; ++i) Py_CLEAR(f->params[i]);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  auto* f = reinterpret_cast<Function*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// __reduce__: functions pickle by qualified name, like the host's own.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}

PyObject* get_object(PyObject* value) { return Py_NewRef(value ? value : Py_None); }

template <std::size_t Offset>
PyObject* getter(PyObject* self, void*) {
  return get_object(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset));
}

template <std::size_t Offset>
int set_text(PyObject* self, PyObject* value, void* closure) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(closure));
    return -1;
  }
  Py_XSETREF(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset), Py_NewRef(value));
  return 0;
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  if (!value || !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(reinterpret_cast<Function*>(self)->annotations, Py_NewRef(value));
  return 0;
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

#define FRAME_FIELD(field) offsetof(Function, field)

PyGetSetDef function_getset[] = {
    {"__name__", getter<FRAME_FIELD(name)>, set_text<FRAME_FIELD(name)>, nullptr, const_cast<char*>("__name__")},
    {"__qualname__", getter<FRAME_FIELD(qualname)>, set_text<FRAME_FIELD(qualname)>, nullptr,
     const_cast<char*>("__qualname__")},
    {"__defaults__", getter<FRAME_FIELD(defaults)>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", getter<FRAME_FIELD(annotations)>, set_annotations, nullptr, nullptr},
    {"__globals__", getter<FRAME_FIELD(globals)>, nullptr, nullptr, nullptr},
    {"__code__", getter<FRAME_FIELD(code)>, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, FRAME_FIELD(module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, FRAME_FIELD(doc), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, FRAME_FIELD(vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, FRAME_FIELD(dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, FRAME_FIELD(weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {0, nullptr},
};

PyType_Spec function_spec{
    "tools.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// The type, made once per process (a record of this deliverable).
PyTypeObject* g_function_type = nullptr;

#undef FRAME_FIELD

Ref introspection_code(const FunctionDef& def, PyObject* varnames, PyObject* qualname) {
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(module_def().source_path, def.name, def.line)));
  if (!code) return code;
  Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
  Ref count = Ref::steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames)));
  if (!replace || !count) return Ref();
  return call(replace.get(), {count.get(), count.get(), varnames, qualname}, &g_code_fields);
}

}  // namespace

// ---- tests and tracebacks -------------------------------------------------

FRAME_NOINLINE FRAME_COLD bool type_test(PyObject* value, PyTypeObject* type, const char* param,
                                             bool none_ok) noexcept {
  if (Py_IS_TYPE(value, type) || (none_ok && value == Py_None)) return true;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
               type->tp_name, Py_TYPE(value)->tp_name);
  if (!PyObject_TypeCheck(value, type)) return false;
  PyObject* exc = PyErr_GetRaisedException();
  Ref note = Ref::steal(PyUnicode_FromFormat(
      "Instances of subclasses of built-in types are refused here: pass an exact '%s' object.", type->tp_name));
  Ref done = note ? Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get())) : Ref();
  if (done) {
    PyErr_SetRaisedException(exc);
  } else {
    Py_DECREF(exc);  // the failure to add the note is what the caller sees
  }
  return false;
}

FRAME_NOINLINE bool return_test(PyObject* value, PyTypeObject* type) noexcept {
  if (Py_IS_TYPE(value, type) || value == Py_None) return true;
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(value)->tp_name);
  return false;
}

void add_traceback(PyObject* code, PyObject* globals) noexcept {
  if (!PyErr_Occurred()) [[unlikely]]
    missing_error();
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;  // GCOVR_EXCL_LINE: defensive; setting SystemError always leaves an exception
  PyFrameObject* frame =
      PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
  if (!frame) {
    PyErr_Clear();  // an entry that cannot be made is left out; the error stands
    PyErr_SetRaisedException(exc);
    return;
  }
  PyErr_SetRaisedException(exc);
  PyTraceBack_Here(frame);
  Py_DECREF(frame);
}

// ---- definitions ----------------------------------------------------------

Ref Module::make_function(const FunctionDef& def) const noexcept {
  if (!g_function_type &&
      !(g_function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec))))
    return Ref();
  const Py_ssize_t k = static_cast<Py_ssize_t>(def.params.size());
  if (k > kMaxParams) {  // GCOVR_EXCL_START: a fault of a module's own declarations
    PyErr_SetString(PyExc_SystemError, "too many parameters");
    return Ref();
  }  // GCOVR_EXCL_STOP
  PyObject* dict = dict_;
  PyObject* modname;
  if (PyDict_GetItemRef(dict, g_dunder_name.get(), &modname) < 0) return Ref();
  Ref module = Ref::steal(modname ? modname : Py_NewRef(Py_None));
  Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
  Ref qualname = Ref::steal(PyUnicode_FromString(def.qualname ? def.qualname : def.name));
  Ref varnames = Ref::steal(PyTuple_New(k));
  Ref annotations = Ref::steal(PyDict_New());
  if (!name || !qualname || !varnames || !annotations) return Ref();

  Py_ssize_t nrequired = 0;
  for (const Param& p : def.params) nrequired += p.default_.kind == Value::Kind::required;
  Ref defaults = Ref::borrow(Py_None);
  if (nrequired < k && !(defaults = Ref::steal(PyTuple_New(k - nrequired)))) return Ref();

  Py_ssize_t i = 0;
  for (const Param& p : def.params) {
    PyObject* pname = PyUnicode_InternFromString(p.name);
    if (!pname) return Ref();
    PyTuple_SET_ITEM(varnames.get(), i, pname);
    if (p.annotation) {
      Ref text = Ref::steal(PyUnicode_FromString(p.annotation));
      if (!text || PyDict_SetItem(annotations.get(), pname, text.get()) < 0) return Ref();
    }
    if (i >= nrequired) {
      Ref value = p.default_.make();
      if (!value) return Ref();
      PyTuple_SET_ITEM(defaults.get(), i - nrequired, value.release());
    }
    ++i;
  }
  if (def.returns) {
    Ref text = Ref::steal(PyUnicode_FromString(def.returns));
    if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) return Ref();
  }
  Ref doc = def.doc ? Ref::steal(PyUnicode_FromString(def.doc)) : Ref::borrow(Py_None);
  Ref code = introspection_code(def, varnames.get(), qualname.get());
  Ref dotted = Ref::steal(PyUnicode_FromFormat("%s.%U", module_def().full_name, qualname.get()));
  if (!doc || !code || !dotted) return Ref();
  Ref tb_code = make_site_code(dotted.get(), def.line);
  if (!tb_code) return Ref();

  auto* f = PyObject_GC_New(Function, g_function_type);
  if (!f) return Ref();
  f->vectorcall = function_vectorcall;
  f->def = &def;
  f->name = name.release();
  f->qualname = qualname.release();
  f->module = module.release();
  f->doc = doc.release();
  f->defaults = defaults.release();
  f->annotations = annotations.release();
  f->globals = Py_NewRef(dict);
  f->code = code.release();
  f->tb_code = tb_code.release();
  f->dict = nullptr;
  f->weakrefs = nullptr;
  f->nparams = k;
  f->nrequired = nrequired;
  f->enforced = false;
  i = 0;
  for (const Param& p : def.params) {
    f->params[i] = Py_NewRef(PyTuple_GET_ITEM(varnames.get(), i));
    f->fill[i] = i >= nrequired ? PyTuple_GET_ITEM(f->defaults, i - nrequired) : nullptr;
    f->enforce[i] = p.enforce;
    f->enforced |= p.enforce != nullptr;
    ++i;
  }
  PyObject_GC_Track(f);
  return Ref::steal(reinterpret_cast<PyObject*>(f));
}

void traceback_here(PyObject* function) noexcept {
  const auto* f = reinterpret_cast<const Function*>(function);
  add_traceback(f->tb_code, f->globals);
}

bool is_function(PyObject* f, const FunctionDef& def) noexcept {
  return Py_IS_TYPE(f, g_function_type) && reinterpret_cast<Function*>(f)->def == &def;
}

PyObject* globals_of(PyObject* f) noexcept { return reinterpret_cast<Function*>(f)->globals; }

PyObject* call_bound(PyObject* f, Args args) noexcept { return run(f, args); }

Ref Call::global(PyObject* name) const noexcept { return frame::global(globals, name); }

void Call::traceback_here() const noexcept { frame::traceback_here(function); }

// ---- classes --------------------------------------------------------------

Class::Class(const Module& m, const char* name) noexcept : m_(m), name_(name) {
  Ref ns = Ref::steal(PyDict_New());
  if (!ns) return;
  // `__module__ = __name__`, looked up as a class body does: the module's
  // dictionary, then the builtins.
  Ref module = m.global(g_dunder_name);
  if (!module) return;
  Ref qualname = Ref::steal(PyUnicode_FromString(name));
  if (!qualname || PyDict_SetItemString(ns.get(), "__module__", module.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0)
    return;
  ns_ = std::move(ns);
}

bool Class::add(const char* name, Ref value) noexcept {
  return ns_ && value && PyDict_SetItemString(ns_.get(), name, value.get()) == 0;
}

bool Class::slots(std::initializer_list<const char*> names) noexcept {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!tuple) return false;
  Py_ssize_t i = 0;
  for (const char* n : names) {
    PyObject* s = PyUnicode_InternFromString(n);
    if (!s) return false;
    PyTuple_SET_ITEM(tuple.get(), i++, s);
  }
  return add("__slots__", std::move(tuple));
}

bool Class::method(const FunctionDef& def) noexcept { return add(def.name, m_.make_function(def)); }

bool Class::property(const FunctionDef& getter, const FunctionDef* setter) noexcept {
  Ref type = m_.global(g_property);
  Ref get = m_.make_function(getter);
  if (!type || !get) return false;
  Ref prop = call(type.get(), {get.get()});
  if (prop && setter) {
    Ref set = m_.make_function(*setter);
    Ref with_setter = Ref::steal(PyObject_GetAttr(prop.get(), g_setter));
    if (!set || !with_setter) return false;
    prop = call(with_setter.get(), {set.get()});
  }
  return add(getter.name, std::move(prop));
}

bool Class::staticmethod(const FunctionDef& def) noexcept {
  Ref type = m_.global(g_staticmethod);
  Ref f = m_.make_function(def);
  if (!type || !f) return false;
  return add(def.name, call(type.get(), {f.get()}));
}

Ref Class::build() noexcept {
  if (!ns_) return Ref();
  return Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", name_, ns_.get()));
}

}  // namespace frame
