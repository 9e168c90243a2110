// The module frame: what every deliverable shares. A module source declares
// its names, functions and body with the types below and ends with
// TOOLS_MODULE(...); the frame supplies initialisation, function objects,
// argument binding, type tests, traceback entries and name lookup.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "frame/ref.hpp"

namespace frame {

inline constexpr int kMaxParams = 8;

// An interned string, created once when the module is executed. Declare at
// namespace scope; usable as a borrowed PyObject* from then on.
class Name {
 public:
  explicit Name(const char* text) noexcept;
  PyObject* get() const noexcept { return obj_; }
  operator PyObject*() const noexcept { return obj_; }
  const char* text() const noexcept { return text_; }

 private:
  friend bool create_constants();
  const char* text_;
  PyObject* obj_ = nullptr;
  Name* next_;
};

// A tuple of interned keyword names for vector calls, created at exec.
class KwNames {
 public:
  KwNames(std::initializer_list<const char*> names) noexcept;
  PyObject* get() const noexcept { return tuple_; }
  Py_ssize_t size() const noexcept { return size_; }

 private:
  friend bool create_constants();
  const char* names_[kMaxParams];
  Py_ssize_t size_;
  PyObject* tuple_ = nullptr;
  KwNames* next_;
};

// A process-lifetime object slot set during exec (a fixed built-in, a
// constant). Deliberately never released: it lives as long as the
// deliverable's other records.
class Held {
 public:
  PyObject* get() const noexcept { return obj_; }
  operator PyObject*() const noexcept { return obj_; }
  void set(Ref value) noexcept { Py_XSETREF(obj_, value.release()); }

 private:
  PyObject* obj_ = nullptr;
};

// A default value, described at compile time and made at definition time:
// None or a text (the only defaults the modules declare).
struct Value {
  enum class Kind { required, none, text };
  Kind kind = Kind::required;
  const char* str = nullptr;

  static constexpr Value required() { return {}; }
  static constexpr Value none() { return {Kind::none}; }
  static constexpr Value text(const char* s) { return {Kind::text, s}; }
  Ref make() const noexcept;  // for a parameter that has a default
};

// One positional-or-keyword parameter. `enforce` names a built-in type that
// the argument must be exactly (None passes only when the default is None).
struct Param {
  const char* name;
  const char* annotation = nullptr;
  Value default_ = Value::required();
  PyTypeObject* enforce = nullptr;
};

// One running call of a function: the function object, its own module
// dictionary (its globals, as CPython's functions carry theirs) and one
// borrowed argument per parameter, defaults filled in.
using Args = PyObject* const*;
struct Call {
  PyObject* function;  // borrowed: its caller holds it for the call
  PyObject* globals;   // borrowed: the function holds it
  Args args;

  PyObject* operator[](int i) const noexcept { return args[i]; }
  // A module-level name looked up now: the function's module dictionary,
  // then the builtins, else NameError.
  Ref global(PyObject* name) const noexcept;
  // Appends this function's traceback entry to the pending exception, as
  // leaving the function with it would: for an exception the body handles
  // itself.
  void traceback_here() const noexcept;
};

// Bodies return a new reference, or nullptr with an exception set.
using Body = PyObject* (*)(const Call& call);

struct FunctionDef {
  const char* name;
  const char* qualname;  // nullptr: same as name
  std::initializer_list<Param> params;
  const char* returns = nullptr;         // return annotation text
  PyTypeObject* return_test = nullptr;   // result must be exactly this or None
  const char* doc = nullptr;
  Body body = nullptr;
  int line = 1;                          // line reported in traceback entries
};

// A place that traceback entries can name ("<module>.<qualname>"); its code
// object is made at exec and cached.
class Site {
 public:
  Site(const char* qualname, int line = 1) noexcept;
  // Append an entry for this site, in the module dictionary `globals`, to
  // the pending exception's traceback.
  void here(PyObject* globals) const noexcept;
  PyObject* code() const noexcept { return code_; }

 private:
  friend bool create_constants();
  const char* qualname_;
  int line_;
  PyObject* code_ = nullptr;
  Site* next_;
};

// ---- module definition ----------------------------------------------------

class Module;

struct ModuleDef {
  const char* short_name;
  const char* full_name;
  const char* source_path;
  bool (*body)(const Module& m);  // the module's statements; false with an exception set
};

PyObject* module_init(const ModuleDef* def) noexcept;
const ModuleDef& module_def() noexcept;
PyObject* builtins_dict() noexcept;  // borrowed

// A module-level name looked up now in `globals`, then in the builtins,
// else NameError.
Ref global(PyObject* globals, PyObject* name) noexcept;
// A built-in looked up in the builtins module only (for names fixed at
// initialisation).
Ref builtin(PyObject* name) noexcept;

// ---- module body statements (each false with an exception set) ------------

// The module whose body the exec step runs: its statements bind names in
// its dictionary, and the functions they make carry it as their globals.
class Module {
 public:
  explicit Module(PyObject* dict) noexcept : dict_(dict) {}
  PyObject* dict() const noexcept { return dict_; }
  Ref global(PyObject* name) const noexcept { return frame::global(dict_, name); }

  bool bind(PyObject* name, Ref value) const noexcept;     // name = value
  bool import_module(const char* module) const noexcept;   // import module
  bool import_from(const char* module, std::initializer_list<const char*> names) const noexcept;
  Ref make_function(const FunctionDef& def) const noexcept;  // a new function object
  bool define(const FunctionDef& def) const noexcept;        // def name(...): ...

 private:
  PyObject* dict_;
};

// Builds a class through the host's type constructor from a namespace that
// is filled in source order: `__module__` and `__qualname__` first.
class Class {
 public:
  Class(const Module& m, const char* name) noexcept;
  bool slots(std::initializer_list<const char*> names) noexcept;
  bool add(const char* name, Ref value) noexcept;
  bool method(const FunctionDef& def) noexcept;
  bool property(const FunctionDef& getter, const FunctionDef* setter = nullptr) noexcept;
  bool staticmethod(const FunctionDef& def) noexcept;
  Ref build() noexcept;  // type(name, (), namespace)

 private:
  const Module& m_;
  const char* name_;
  Ref ns_;
};

// ---- calls and errors -----------------------------------------------------

// f(args..., **dict(zip(kwnames, rest))): keyword names given as KwNames.
inline Ref call(PyObject* f, std::initializer_list<PyObject*> args, const KwNames* kw = nullptr) noexcept {
  Py_ssize_t nkw = kw ? kw->size() : 0;
  Py_ssize_t npos = static_cast<Py_ssize_t>(args.size()) - nkw;
  return Ref::steal(PyObject_Vectorcall(f, args.begin(), static_cast<size_t>(npos), kw ? kw->get() : nullptr));
}

// The exact-type test of an annotated parameter, as bodies may need it for
// calls made inline: false with the TypeError (and note) set.
bool type_test(PyObject* value, PyTypeObject* type, const char* param, bool none_ok) noexcept;
// The return test: exactly `type` or None passes.
bool return_test(PyObject* value, PyTypeObject* type) noexcept;

// Whether every key of the dictionary is an exact string: looking a string
// up in it then runs no Python code.
bool exact_string_keys(PyObject* dict) noexcept;

// `key, value = item` (an item of a mapping's items()): false with the
// unpacking error, or the item's own iteration error, set.
bool unpack_pair(PyObject* item, Ref& key, Ref& value) noexcept;

// Appends the traceback entry of `function` (a function object made by this
// deliverable's frame) to the pending exception, as leaving it would: for a
// nested call of it taken inline.
void traceback_here(PyObject* function) noexcept;

// True when `f` is a function object made by this deliverable's frame for
// `def`, so a caller may run its body inline.
bool is_function(PyObject* f, const FunctionDef& def) noexcept;
// The module dictionary such a function carries (borrowed).
PyObject* globals_of(PyObject* f) noexcept;
// Runs such a function on arguments already bound (all parameters present):
// the type tests, the body, the return test and the traceback entry, exactly
// as a call through the interpreter would. The caller holds `f`.
PyObject* call_bound(PyObject* f, Args args) noexcept;

}  // namespace frame

// Ends a module source: the exported initialisation entry. PyMODINIT_FUNC
// already carries extern "C" in C++ (clang rejects it twice).
#define TOOLS_MODULE(short_name, full_name, source_path, body)                       \
  PyMODINIT_FUNC PyInit_##short_name(void) {                                         \
    static const ::frame::ModuleDef def{#short_name, full_name, source_path, body}; \
    return ::frame::module_init(&def);                                               \
  }
