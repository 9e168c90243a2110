// tools.common.starveil: a copy of nested data in which every string that
// stands under a password-like name is masked by asterisks.
#include <cstring>

#include "frame/compiler.hpp"
#include "frame/depth.hpp"
#include "frame/frame.hpp"
#include "frame/remember.hpp"
#include "tools/common/walk.hpp"

namespace {

using frame::Call;
using frame::Name;
using frame::Ref;
using frame::Value;

constexpr int kLine = 9;  // the line traceback entries report

PyObject* starveil(const Call& call);

const frame::FunctionDef starveil_def{
    .name = "starveil",
    .qualname = "starveil",
    .params = {{"name", "str", Value::none(), &PyUnicode_Type}, {"value", "Any", Value::none()}},
    .returns = "Any",
    .doc = "\n        Starveil in the object.\n\n"
           "        :param name: 'param-name'\n"
           "        :param value: 'param-value'\n"
           "        :return: new object with masked password\n        ",
    .body = starveil,
    .line = kLine,
};

Name starveil_name{"starveil"}, lower{"lower"}, password{"password"}, pwd{"pwd"}, star{"*"}, empty{""};
frame::KwNames kw_name_value{"name", "value"};
// The entry for errors while a tuple's elements are produced.
frame::Site genexpr_site{"starveil.genexpr", kLine};

bool is_starveil(PyObject* f) noexcept { return frame::is_function(f, starveil_def); }

// The module-level name the body uses, its lookup remembered.
frame::Global self_ref{starveil_name, is_starveil};

// Whether `word` (lower-case ASCII) occurs in the ASCII text `s`, ignoring
// case: for ASCII text that is what lower() and a substring test give.
bool ascii_contains(const char* s, Py_ssize_t n, const char* word, Py_ssize_t w) noexcept {
  for (Py_ssize_t i = 0; i + w <= n; ++i) {
    Py_ssize_t j = 0;
    while (j < w) {
      char c = s[i + j];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
      if (c != word[j]) break;
      ++j;
    }
    if (j == w) return true;
  }
  return false;
}

// 1 when the name (an exact str) denotes a password, 0 when not, -1 on error.
FRAME_NOINLINE int password_name(PyObject* name) noexcept {
  if (PyUnicode_IS_ASCII(name)) {
    const char* s = reinterpret_cast<const char*>(PyUnicode_DATA(name));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    return ascii_contains(s, n, "password", 8) || ascii_contains(s, n, "pwd", 3);
  }
  Ref lowered = Ref::steal(PyObject_CallMethodNoArgs(name, lower));
  if (!lowered) return -1;
  int found = PyUnicode_Contains(lowered.get(), password);
  if (found == 0) found = PyUnicode_Contains(lowered.get(), pwd);
  return found;
}

// One call's walk. Its window (remember.hpp) covers the binding of
// `starveil`, found bound to this very function in `globals` so that a
// nested call would run the walk inline, and the answer for the last name
// tested, compared by identity (borrowed: while the window is open nothing
// is released, so its address stays its own).
struct Walker {
  PyObject* function;  // the function whose body runs (for its traceback entry)
  PyObject* globals;   // its module dictionary
  frame::Depth depth;
  frame::Window window;
  PyObject* last_name = nullptr;
  int last_masks = 0;

  explicit Walker(const Call& call) noexcept : function(call.function), globals(call.globals) {}

  bool trusted() noexcept {
    if (!window.open()) {
      frame::Global::Found f = self_ref.get_plain(globals);
      if (!f.value) {
        PyErr_Clear();  // NameError: the nested call's own lookup will say so
        return false;
      }
      if (!f.passed || frame::globals_of(f.value.get()) != globals) return false;
      last_name = nullptr;
      window.open_now();
    }
    return true;
  }
  std::uint64_t code_points() const noexcept { return window.points(); }
  void code_may_run() noexcept { window.code_may_run(); }

  // A nested call taken inline on a value that comes back unchanged.
  bool quick(PyObject* name, PyObject* v, PyObject*& result) noexcept {
    if (!PyUnicode_CheckExact(name)) {
      if (name != Py_None) return false;
      name = empty;
    }
    if (!depth.can_enter() || !trusted()) return false;
    const unsigned long kinds = Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS |
                                Py_TPFLAGS_UNICODE_SUBCLASS;
    PyTypeObject* type = Py_TYPE(v);
    if ((type->tp_flags & kinds) != 0) {
      // Strings come back unchanged under a name known not to mask.
      if (type != &PyUnicode_Type) return false;
      if (name != last_name && !PyUnicode_IS_ASCII(name)) return false;
      if (masks(name)) return false;
    }
    // None is the empty string, whose mask is itself.
    result = Py_NewRef(v == Py_None ? empty.get() : v);
    return true;
  }

  // Whether the name (an exact str) denotes a password: 1, 0, or -1 with an
  // error.
  int masks(PyObject* name) noexcept {
    if (window.open() && name == last_name) return last_masks;
    int found = password_name(name);
    if (found < 0) return -1;
    if (window.open()) {
      last_name = name;
      last_masks = found;
    }
    return found;
  }

  PyObject* nested(PyObject* name, PyObject* value) noexcept;
  PyObject* call_out(PyObject* f, PyObject* name, PyObject* value) noexcept;
  void genexpr_here(const frame::Site& site) noexcept { site.here(globals); }
};

// "*" once per character; the length comes from len(), so a str subclass's
// own __len__ decides it.
FRAME_NOINLINE PyObject* mask(PyObject* value) noexcept {
  const Py_ssize_t n = PyUnicode_CheckExact(value) ? PyUnicode_GET_LENGTH(value) : PyObject_Length(value);
  if (n < 0) return nullptr;
  // "*" * 0 is the empty string and "*" * 1 the "*" itself: the same objects.
  if (n <= 1) return Py_NewRef(n ? star.get() : empty.get());
  PyObject* out = PyUnicode_New(n, 127);
  if (out) std::memset(PyUnicode_DATA(out), '*', static_cast<size_t>(n));
  return out;
}

// One call's body, `name` already an exact str: None becomes the empty
// string, containers are rebuilt, strings under a password name masked.
PyObject* walk(Walker& w, PyObject* name, PyObject* v) noexcept {
  if (v == Py_None) v = empty;
  PyTypeObject* type = Py_TYPE(v);
  if (type != &PyUnicode_Type) {
    if (type == &PyDict_Type) return walk::exact_dict(w, v);
    if (PyDict_Check(v)) return walk::dict_items(w, v);
    if (PyList_Check(v)) return walk::list(w, v, name);
    if (PyTuple_Check(v)) return walk::tuple(w, v, name, genexpr_site);
    if (!PyUnicode_Check(v)) return Py_NewRef(v);
    w.code_may_run();  // a str subclass's own __len__
  }
  int masked = w.masks(name);
  if (masked <= 0) return masked < 0 ? nullptr : Py_NewRef(v);
  return mask(v);
}

// A call on a leaf, `name` already an exact str: the value itself, or its
// mask under a password name.
PyObject* leaf(PyObject* name, PyObject* v) noexcept {
  if (v == Py_None) v = empty;
  if (!PyUnicode_Check(v)) return Py_NewRef(v);
  int masked = password_name(name);
  if (masked <= 0) return masked < 0 ? nullptr : Py_NewRef(v);
  return mask(v);
}

// A nested call through the module-level name: inline while the name is
// bound to this module's function (held meanwhile, its globals in use, the
// same type test on `name`), otherwise a call with the keywords `name` and
// `value`.
PyObject* Walker::nested(PyObject* name, PyObject* value) noexcept {
  frame::Global::Found f = self_ref.get(globals);
  if (!f.plain) code_may_run();  // the lookup itself may have run Python code
  if (!f.value) return nullptr;
  if (!f.passed) return call_out(f.value.get(), name, value);
  PyObject* text = name;
  if (!PyUnicode_CheckExact(name)) {
    if (name != Py_None) {
      // A refused argument: the call fails before its body, with no entry.
      frame::type_test(name, &PyUnicode_Type, "name", true);
      return nullptr;
    }
    text = empty;
  }
  return walk::inline_call(*this, f.value.get(), [&] { return walk(*this, text, value); });
}

FRAME_NOINLINE PyObject* Walker::call_out(PyObject* f, PyObject* name, PyObject* value) noexcept {
  code_may_run();
  return frame::call(f, {name, value}, &kw_name_value).release();
}

PyObject* starveil(const Call& call) {
  PyObject* name = call[0] == Py_None ? empty.get() : call[0];
  // A leaf is judged without entering a level: it is not walked, and the
  // only Python code that may run for it (a str subclass's own __len__)
  // counts its own frames.
  if (!PyDict_Check(call[1]) && !PyList_Check(call[1]) && !PyTuple_Check(call[1])) return leaf(name, call[1]);
  Walker w(call);
  frame::Level level(w.depth);
  if (!level) return nullptr;
  return walk(w, name, call[1]);
}

bool body(const frame::Module& m) { return m.import_from("typing", {"Any"}) && m.define(starveil_def); }

}  // namespace

TOOLS_MODULE(starveil, "tools.common.starveil", "src/tools/common/starveil", body)
