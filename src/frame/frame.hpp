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

// Bodies receive one borrowed argument per parameter, defaults filled in,
// and return a new reference or nullptr with an exception set.
using Args = PyObject* const*;
using Body = PyObject* (*)(Args args);

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
  // Append an entry for this site to the pending exception's traceback.
  void here() const noexcept;
  PyObject* code() const noexcept { return code_; }

 private:
  friend bool create_constants();
  const char* qualname_;
  int line_;
  PyObject* code_ = nullptr;
  Site* next_;
};

// ---- module definition ----------------------------------------------------

struct ModuleDef {
  const char* short_name;
  const char* full_name;
  const char* source_path;
  bool (*body)();  // the module's statements; false with an exception set
};

PyObject* module_init(const ModuleDef* def) noexcept;

// ---- the running module ---------------------------------------------------

// The module dictionary in use (borrowed): the one the running function was
// made in, or during exec the new module's.
PyObject* module_dict() noexcept;
// False while some call uses a dictionary of its own: lookups must not be
// remembered then.
bool module_dict_settled() noexcept;
PyObject* builtins_dict() noexcept;  // borrowed
const ModuleDef& module_def() noexcept;

// A module-level name looked up now: module dictionary, then builtins, else
// NameError.
Ref global(PyObject* name) noexcept;
// A built-in looked up in the builtins module only (for names fixed at
// initialisation).
Ref builtin(PyObject* name) noexcept;

// ---- module body statements (each false with an exception set) ------------

bool bind(PyObject* name, Ref value) noexcept;          // name = value
bool import_module(const char* module) noexcept;        // import module
bool import_from(const char* module, std::initializer_list<const char*> names) noexcept;
Ref make_function(const FunctionDef& def) noexcept;     // a new function object
bool define(const FunctionDef& def) noexcept;           // def name(...): ...

// Builds a class through the host's type constructor from a namespace that
// is filled in source order: `__module__` and `__qualname__` first.
class Class {
 public:
  explicit Class(const char* name) noexcept;
  bool slots(std::initializer_list<const char*> names) noexcept;
  bool add(const char* name, Ref value) noexcept;
  bool method(const FunctionDef& def) noexcept;
  bool property(const FunctionDef& getter, const FunctionDef* setter = nullptr) noexcept;
  bool staticmethod(const FunctionDef& def) noexcept;
  Ref build() noexcept;  // type(name, (), namespace)

 private:
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

// Appends the traceback entry of `def`'s function to the pending exception,
// as a call of it would: for an exception its body handles itself, or for a
// nested call of it taken inline.
void traceback_here(const FunctionDef& def) noexcept;

// True when `f` is a function object made by this deliverable's frame for
// `def`, so a caller may run its body inline.
bool is_function(PyObject* f, const FunctionDef& def) noexcept;
// Runs such a function on arguments already bound (all parameters present):
// the type tests, the body, the return test and the traceback entry, exactly
// as a call through the interpreter would.
PyObject* call_bound(PyObject* f, Args args) noexcept;

}  // namespace frame

// Ends a module source: the exported initialisation entry. PyMODINIT_FUNC
// already carries extern "C" in C++ (clang rejects it twice).
#define TOOLS_MODULE(short_name, full_name, source_path, body)                       \
  PyMODINIT_FUNC PyInit_##short_name(void) {                                         \
    static const ::frame::ModuleDef def{#short_name, full_name, source_path, body}; \
    return ::frame::module_init(&def);                                               \
  }
