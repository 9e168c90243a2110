// tools.common.murkfold: a copy of nested data in which every leaf whose text
// is longer than the configured limit becomes a short excerpt between marker
// lines.
#include <cstring>

#include "frame/cached.hpp"
#include "frame/depth.hpp"
#include "frame/frame.hpp"
#include "tools/common/walk.hpp"

namespace {

using frame::Args;
using frame::Name;
using frame::Ref;
using frame::Value;

constexpr int kLine = 13;  // the line traceback entries report

PyObject* murkfold(Args args);

const frame::FunctionDef murkfold_def{
    .name = "murkfold",
    .qualname = "murkfold",
    .params = {{"value", "Any", Value::none()}},
    .returns = "Any",
    .doc = "\n        Murkfold in the object.\n\n"
           "        :param value: 'param-value'\n"
           "        :return: new object with hidden big-content\n        ",
    .body = murkfold,
    .line = kLine,
};

Name murkfold_name{"murkfold"}, const_name{"_const"}, Const_name{"_Const"}, char_limit{"char_limit"},
    dataclass_name{"dataclass"}, annotations_name{"__annotations__"}, empty{""}, opening{"\n{\n"},
    closing{"\n...big-content hidden...\n}\n                "},
    failure{"\n{\nHidden: Content too large for string conversion\n...big-content hidden...\n}\n                "};
frame::KwNames kw_value{"value"}, kw_frozen{"frozen"};
// The entry for errors while a tuple's elements are produced.
frame::Site genexpr_site{"murkfold.genexpr", kLine};

bool is_murkfold(PyObject* f) noexcept { return frame::is_function(f, murkfold_def); }

frame::Cached self_ref{murkfold_name, is_murkfold}, const_ref{const_name};

// What the type of `_const` says about reading `char_limit` from its
// instances, remembered while the type keeps the version tag it had: the
// host gives a type a new tag whenever a dictionary along its MRO changes,
// and never an old tag to a new type.
struct TypeRead {
  PyTypeObject* type = nullptr;  // compared only, never dereferenced
  unsigned int tag = 0;
  // Generic attribute access and no descriptor under the name: the read is
  // a plain lookup that runs no Python code.
  bool plain = false;
  // Plain, and instances keep a managed dictionary: the instance's own
  // entry, else `in_type`, is what the generic lookup finds.
  bool managed = false;
  PyObject* in_type = nullptr;  // borrowed from the type's dictionary; may be nullptr

  void learn(PyTypeObject* t) noexcept {
    const unsigned int before = t->tp_version_tag;
    PyObject* attr = t->tp_getattro == PyObject_GenericGetAttr ? _PyType_Lookup(t, char_limit) : nullptr;
    plain = t->tp_getattro == PyObject_GenericGetAttr && (!attr || !Py_TYPE(attr)->tp_descr_get);
    managed = plain && (t->tp_flags & Py_TPFLAGS_MANAGED_DICT);
    in_type = attr;
    // Remembered only once a tag was seen before the lookup and still holds.
    type = before && t->tp_version_tag == before ? t : nullptr;
    tag = before;
  }

  // `obj.char_limit`, new reference or nullptr with the error.
  PyObject* read(PyObject* obj) noexcept {
    PyTypeObject* t = Py_TYPE(obj);
    if (t != type || t->tp_version_tag != tag || !tag) learn(t);
    if (!managed) return PyObject_GetAttr(obj, char_limit);
    Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!dict) return nullptr;
    PyObject* found;
    const int status = PyDict_GetItemRef(dict.get(), char_limit, &found);
    if (status) return status > 0 ? found : nullptr;
    // Not in the instance: the type's attribute (unless the lookup ran code
    // that changed the type), or the generic lookup's own error.
    if (in_type && t == type && t->tp_version_tag == tag) return Py_NewRef(in_type);
    return PyObject_GetAttr(obj, char_limit);
  }
} g_type_read;

// `_const.char_limit` as the current call sees it. A value read through the
// plain lookup is remembered until anything happens that could run Python
// code (a callback, a call through a rebound name, the last reference of an
// object dropped), so every limit test and every cut still sees what a fresh
// read would give.
struct Limit {
  bool fresh = false;   // `value` is what a read now would give
  bool exact = false;   // `value` is an exact int; then `n` is it, clamped
  Py_ssize_t n = 0;
  Ref value;

  bool read() noexcept {
    if (fresh) return true;
    bool unused;
    PyObject* c = const_ref.get(unused);
    if (!c) return false;
    Ref holder = Ref::borrow(c);
    Ref v = Ref::steal(g_type_read.read(c));
    const bool plain = g_type_read.plain;
    if (!v) return false;
    exact = PyLong_CheckExact(v.get());
    if (exact) {
      int overflow;
      long long x = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
      n = overflow > 0 ? PY_SSIZE_T_MAX : overflow < 0 ? PY_SSIZE_T_MIN : static_cast<Py_ssize_t>(x);
    }
    value = std::move(v);
    fresh = plain;
    return true;
  }

  // Whether every text of at most `len` characters is within the limit.
  bool holds(Py_ssize_t len) const noexcept { return fresh && exact && len <= n; }

  // 1 when `len` is over the limit, 0 when not, -1 with an error.
  int over(Py_ssize_t len) noexcept {
    if (!read()) return -1;
    if (exact) return len > n;
    Ref count = Ref::steal(PyLong_FromSsize_t(len));
    if (!count) return -1;
    Ref keep = value.copy();
    fresh = false;  // the comparison may run Python code
    return PyObject_RichCompareBool(count.get(), keep.get(), Py_GT);
  }

  // Where the cut ends in a text of `len` characters, by slice rules; only
  // for an exact int limit.
  Py_ssize_t stop(Py_ssize_t len) const noexcept {
    Py_ssize_t stop = n;
    if (stop < 0) stop = stop + len < 0 ? 0 : stop + len;
    return stop > len ? len : stop;
  }

  // The text's first `char_limit` characters, by slice rules, for a limit
  // that is not an exact int.
  Ref cut(PyObject* text) noexcept {
    Ref keep = value.copy();
    fresh = false;  // __index__ may run Python code
    Ref slice = Ref::steal(PySlice_New(nullptr, keep.get(), nullptr));
    if (!slice) return Ref();
    return Ref::steal(PyObject_GetItem(text, slice.get()));
  }
};

// No float's text is longer than this ("-2.2250738585072014e-308"), and no
// compact int's (|v| < 2**30: ten digits and a sign).
constexpr Py_ssize_t kFloatTextMax = 24;
constexpr Py_ssize_t kCompactTextMax = 11;

struct Walker {
  frame::Depth depth;
  Limit limit;

  void code_ran() noexcept { limit.fresh = false; }
  PyObject* nested(PyObject* name, PyObject* value) noexcept;

  // A nested call taken inline on a leaf that is surely within the limit.
  bool quick(PyObject*, PyObject* v, PyObject*& result) noexcept {
    bool ours;
    if (!limit.fresh || !limit.exact || !self_ref.peek(ours) || !ours || !depth.can_enter()) return false;
    PyTypeObject* type = Py_TYPE(v);
    Py_ssize_t most;
    if (type == &PyUnicode_Type)
      most = PyUnicode_GET_LENGTH(v);
    else if (type == &PyLong_Type && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v)))
      most = kCompactTextMax;
    else if (type == &PyFloat_Type)
      most = kFloatTextMax;
    else
      return false;
    if (most > limit.n) return false;
    result = Py_NewRef(v);
    return true;
  }
  PyObject* call_out(PyObject* f, PyObject* value) noexcept;
};

// The largest character of text[0:n], as far as it decides the kind of a
// string holding them: 127 for ASCII, 255, 65535, or above.
Py_UCS4 prefix_max_char(PyObject* text, Py_ssize_t n) noexcept {
  if (PyUnicode_IS_ASCII(text)) return 127;
  const void* data = PyUnicode_DATA(text);
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: {
      const auto* p = static_cast<const Py_UCS1*>(data);
      for (Py_ssize_t i = 0; i < n; ++i)
        if (p[i] > 127) return 255;
      return 127;
    }
    case PyUnicode_2BYTE_KIND: {
      const auto* p = static_cast<const Py_UCS2*>(data);
      Py_UCS4 m = 127;
      for (Py_ssize_t i = 0; i < n && m < 256; ++i)
        if (p[i] > m) m = p[i];
      return m;
    }
    default: {
      const auto* p = static_cast<const Py_UCS4*>(data);
      Py_UCS4 m = 127;
      for (Py_ssize_t i = 0; i < n && m < 65536; ++i)
        if (p[i] > m) m = p[i];
      return m;
    }
  }
}

// Writes text[0:n] into `out` from index `at`; `out` has room and a kind
// wide enough for those characters.
void put(PyObject* out, Py_ssize_t at, PyObject* text, Py_ssize_t n) noexcept {
  const int kind = PyUnicode_KIND(out);
  if (PyUnicode_KIND(text) == kind) {
    std::memcpy(static_cast<char*>(PyUnicode_DATA(out)) + at * kind, PyUnicode_DATA(text),
                static_cast<size_t>(n) * kind);
    return;
  }
  const int from = PyUnicode_KIND(text);
  const void* src = PyUnicode_DATA(text);
  void* dst = PyUnicode_DATA(out);
  for (Py_ssize_t i = 0; i < n; ++i) PyUnicode_WRITE(kind, dst, at + i, PyUnicode_READ(from, src, i));
}

// opening + text[:limit] + closing, in one allocation and one copy: the
// same text, kind and flags that the slice and the two concatenations give.
[[gnu::noinline]] PyObject* excerpt(PyObject* text, Py_ssize_t stop) noexcept {
  const Py_ssize_t n_open = PyUnicode_GET_LENGTH(opening), n_close = PyUnicode_GET_LENGTH(closing);
  PyObject* out = PyUnicode_New(n_open + stop + n_close, prefix_max_char(text, stop));
  if (!out) return nullptr;
  put(out, 0, opening, n_open);
  put(out, n_open, text, stop);
  put(out, n_open + stop, closing, n_close);
  return out;
}

[[gnu::noinline]] PyObject* hidden(Walker& w, PyObject* text) noexcept {
  if (!w.limit.read()) return nullptr;
  if (w.limit.exact) return excerpt(text, w.limit.stop(PyUnicode_GET_LENGTH(text)));
  Ref part = w.limit.cut(text);
  if (!part) return nullptr;
  Ref head = Ref::steal(PyUnicode_Concat(opening, part.get()));
  if (!head) return nullptr;
  return PyUnicode_Concat(head.get(), closing);
}

// The leaf itself when its text is within the limit, else its excerpt.
PyObject* judge(Walker& w, PyObject* leaf, PyObject* text) noexcept {
  int over = w.limit.over(PyUnicode_GET_LENGTH(text));
  if (over < 0) return nullptr;
  return over ? hidden(w, text) : Py_NewRef(leaf);
}

// A conversion that failed: ValueError (the int-to-text digit limit among
// others) gives the failure text, caught like an except clause would catch
// it (with the function's entry); anything else passes through.
[[gnu::noinline, gnu::cold]] PyObject* conversion_failed() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
  frame::traceback_here(murkfold_def);
  PyErr_Clear();
  return Py_NewRef(failure.get());
}

PyObject* judge_converted(Walker& w, PyObject* leaf, PyObject* text) noexcept {
  if (!text) return conversion_failed();
  Ref owned = Ref::steal(text);
  return judge(w, leaf, text);
}

// Decimal digits of a magnitude that fits 64 bits.
int digits(unsigned long long u) noexcept {
  int d = 1;
  while (u >= 10) {
    u /= 10;
    ++d;
  }
  return d;
}

// floor(log10(2) * bits) is exact in double precision far beyond the range
// used here.
constexpr double kLog10Of2 = 0.30102999566398119521;
// Ints of at most this many bits have at most 640 digits, which no setting
// of the int-to-text digit limit refuses (it cannot be set below 640).
constexpr size_t kNoLimitBits = 2126;

[[gnu::noinline]] PyObject* int_leaf(Walker& w, PyObject* v) noexcept {
  // The length is only worked out while the limit is a remembered exact int;
  // otherwise the text is built and tested once, as usual. Up to
  // kNoLimitBits the conversion is plain C code that cannot fail, so it
  // makes no difference that the limit was read before it.
  int overflow;
  long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (!overflow) {
    unsigned long long mag = x < 0 ? 0ULL - static_cast<unsigned long long>(x) : static_cast<unsigned long long>(x);
    if (w.limit.holds(digits(mag) + (x < 0))) return Py_NewRef(v);
  } else if (w.limit.fresh && w.limit.exact) {
    const size_t bits = _PyLong_NumBits(v);
    // |v| < 2**bits bounds the number of digits.
    const auto most = static_cast<Py_ssize_t>(static_cast<double>(bits) * kLog10Of2) + 1 + (overflow < 0);
    if (bits <= kNoLimitBits && w.limit.holds(most)) return Py_NewRef(v);
  }
  // Over the limit, near it, or long enough for the digit limit to matter.
  PyObject* text = PyLong_Type.tp_repr(v);
  if (overflow) w.code_ran();  // very long ints are converted by Python code
  return judge_converted(w, v, text);
}

[[gnu::noinline]] PyObject* other_leaf(Walker& w, PyObject* v) noexcept {
  if (PyFloat_CheckExact(v)) {
    if (w.limit.holds(kFloatTextMax)) return Py_NewRef(v);
    return judge_converted(w, v, PyFloat_Type.tp_repr(v));
  }
  PyObject* text = PyObject_Format(v, empty);
  w.code_ran();
  return judge_converted(w, v, text);
}

[[gnu::noinline]] PyObject* str_leaf(Walker& w, PyObject* v) noexcept { return judge(w, v, v); }

// One call's body: None becomes the empty string, containers are rebuilt,
// leaves are judged by their text.
PyObject* walk(Walker& w, PyObject* v) noexcept {
  if (v == Py_None) v = empty;
  PyTypeObject* type = Py_TYPE(v);
  if (type == &PyUnicode_Type) return w.limit.holds(PyUnicode_GET_LENGTH(v)) ? Py_NewRef(v) : str_leaf(w, v);
  if (type == &PyDict_Type) return walk::exact_dict(w, v);
  if (PyDict_Check(v)) return walk::dict_items(w, v);
  if (PyList_Check(v)) return walk::list(w, v, nullptr);
  if (PyTuple_Check(v)) return walk::tuple(w, v, nullptr, genexpr_site);
  if (type == &PyLong_Type) {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v)) && w.limit.holds(kCompactTextMax)) return Py_NewRef(v);
    return int_leaf(w, v);
  }
  return other_leaf(w, v);
}

// A nested call through the module-level name: inline while the name is
// bound to this function, otherwise a call with the keyword `value`.
PyObject* Walker::nested(PyObject*, PyObject* value) noexcept {
  bool ours;
  PyObject* f = self_ref.get(ours);
  if (!f) return nullptr;
  if (!ours) return call_out(f, value);
  if (!depth.enter()) return nullptr;
  PyObject* result = walk(*this, value);
  depth.leave();
  if (!result) frame::traceback_here(murkfold_def);
  return result;
}

[[gnu::noinline]] PyObject* Walker::call_out(PyObject* f, PyObject* value) noexcept {
  Ref callee = Ref::borrow(f);
  PyObject* result = frame::call(callee.get(), {value}, &kw_value).release();
  code_ran();
  return result;
}

PyObject* murkfold(Args args) {
  Walker w;
  PyTypeObject* type = Py_TYPE(args[0]);
  // A string or a number is judged without entering a level: only reading
  // the limit can run Python code, and that code counts its own frames.
  if (args[0] == Py_None || type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type)
    return walk(w, args[0]);
  if (!w.depth.begin()) return nullptr;
  PyObject* result = walk(w, args[0]);
  w.depth.end();
  return result;
}

// class _Const: char_limit: int = 4000, made a frozen data class.
Ref make_const_class() {
  frame::Class cls("_Const");
  Ref annotations = Ref::steal(PyDict_New());
  Ref int_text = Ref::steal(PyUnicode_FromString("int"));
  if (!annotations || !int_text || PyDict_SetItem(annotations.get(), char_limit, int_text.get()) < 0) return Ref();
  if (!cls.add("__annotations__", std::move(annotations)) || !cls.add("char_limit", Ref::steal(PyLong_FromLong(4000))))
    return Ref();
  Ref plain = cls.build();
  if (!plain) return Ref();
  Ref dataclass = frame::global(dataclass_name);
  if (!dataclass) return Ref();
  Ref decorator = frame::call(dataclass.get(), {Py_True}, &kw_frozen);
  if (!decorator) return Ref();
  return frame::call(decorator.get(), {plain.get()});
}

bool body() {
  if (!frame::import_from("dataclasses", {"dataclass"}) || !frame::import_from("typing", {"Any"})) return false;
  if (!frame::bind(Const_name, make_const_class())) return false;
  Ref cls = frame::global(Const_name);
  if (!cls || !frame::bind(const_name, frame::call(cls.get(), {}))) return false;
  if (!frame::define(murkfold_def)) return false;
  frame::Cached::watch();
  return true;
}

}  // namespace

TOOLS_MODULE(murkfold, "tools.common.murkfold", "src/tools/common/murkfold", body)
