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

// `_const.char_limit`, remembered between uses and between calls while
// nothing it depends on has changed. Only a plain read is remembered:
// generic attribute access, no descriptor under the name along the type's
// MRO, an instance dictionary with exact-string keys only and an exact int
// found. Such a read depends on exactly these, and each check below looks
// at every one of them, running no Python code:
// - the binding of `_const` (module dictionary, builtins): watched, so any
//   change moves frame::g_epoch; the module dictionary in use: the settled
//   one (switching moves g_epoch too);
// - the object's type: still the same type object;
// - the lookups along its MRO: the type's version tag, which the host
//   changes whenever a dictionary along the MRO changes;
// - the class attribute under the name, if any: still no descriptor (its
//   class can gain __get__ without our type's tag moving);
// - the instance dictionary: still the same dictionary object (assigning
//   __dict__ changes no dictionary), still with exact-string keys only (a
//   key of another kind can only come in through the dictionary itself,
//   which is watched), and what it holds under the name: looked up again,
//   since an attribute stored in an object's inline values reaches no
//   watcher.
// Records of the deliverable, like frame::Held: never released.
struct LimitMemo {
  unsigned long long epoch = 0;
  PyObject* holder = nullptr;     // held
  PyTypeObject* type = nullptr;   // compared only; `holder` keeps it alive while equal
  unsigned int tag = 0;
  PyObject* in_type = nullptr;    // borrowed from the MRO; valid while `tag` holds
  PyObject* dict = nullptr;       // held
  PyObject* found = nullptr;      // what `dict` held under the name (compared only), or nullptr
  Py_ssize_t at = -1;             // where iterating `dict` met the name itself, as a hint; or -1
  PyObject* value = nullptr;      // held; an exact int
  Py_ssize_t n = 0;               // `value`, clamped

  // (Storing needs the settled dictionary, and leaving it moves g_epoch.)
  bool valid() const noexcept {
    if (!value || epoch != frame::g_epoch) return false;
    if (Py_TYPE(holder) != type || type->tp_version_tag != tag) return false;
    if (in_type && Py_TYPE(in_type)->tp_descr_get) return false;
    PyObject* now = PyObject_GenericGetDict(holder, nullptr);
    if (!now) {
      PyErr_Clear();  // a fresh read meets the same failure and reports it
      return false;
    }
    Py_DECREF(now);  // the object still holds it
    if (now != dict) return false;
    // Where the name stood, if it stands there still (the very key object:
    // no other entry can map it), is cheaper to read than a lookup.
    Py_ssize_t pos = at;
    PyObject *key, *held;
    if (pos >= 0 && PyDict_Next(dict, &pos, &key, &held) && key == char_limit) return held == found;
    // Exact-string keys only: the lookup runs no code and cannot fail.
    return PyDict_GetItemWithError(dict, char_limit) == found;
  }

  // Where iterating `d` meets the name itself, or -1.
  static Py_ssize_t position(PyObject* d) noexcept {
    Py_ssize_t pos = 0, before = 0;
    PyObject *key, *held;
    while (PyDict_Next(d, &pos, &key, &held)) {
      if (key == char_limit) return before;
      before = pos;
    }
    return -1;
  }

  void remember(unsigned long long when, PyObject* h, PyTypeObject* t, unsigned int tg, PyObject* attr, PyObject* d,
                PyObject* in_dict, PyObject* v) noexcept {
    PyObject* old_holder = holder;
    PyObject* old_dict = dict;
    PyObject* old_value = value;
    epoch = when;
    holder = Py_NewRef(h);
    type = t;
    tag = tg;
    in_type = attr;
    dict = Py_NewRef(d);
    found = in_dict;
    at = in_dict ? position(d) : -1;
    value = Py_NewRef(v);
    n = clamp(v);
    // Released with everything above in place: finalizers that run now see
    // a consistent record (and move g_epoch if they change what it names).
    Py_XDECREF(old_value);
    Py_XDECREF(old_dict);
    Py_XDECREF(old_holder);
  }

  static Py_ssize_t clamp(PyObject* exact) noexcept {
    int overflow;
    long long x = PyLong_AsLongLongAndOverflow(exact, &overflow);
    return overflow > 0 ? PY_SSIZE_T_MAX : overflow < 0 ? PY_SSIZE_T_MIN : static_cast<Py_ssize_t>(x);
  }
} g_memo;

// `_const.char_limit` read now (a new reference, or nullptr with the
// error), remembered in g_memo when the read is plain.
PyObject* read_limit() noexcept {
  // Taken before anything runs: a change made while reading makes what is
  // remembered stale at once.
  const unsigned long long epoch = frame::g_epoch;
  const bool remembering = frame::Cached::remembering();
  bool unused;
  PyObject* c = const_ref.get(unused);
  if (!c) return nullptr;
  Ref holder = Ref::borrow(c);
  PyTypeObject* type = Py_TYPE(c);
  const unsigned int tag = type->tp_version_tag;
  // The lookup of `_const` is left out along with the read, so it must be
  // one that is remembered too.
  bool plain = remembering && const_ref.peek(unused) == c && tag && type->tp_getattro == PyObject_GenericGetAttr;
  PyObject* in_type = nullptr;
  Ref dict;
  if (plain) {
    in_type = _PyType_Lookup(type, char_limit);
    plain = type->tp_version_tag == tag && (!in_type || !Py_TYPE(in_type)->tp_descr_get);
  }
  if (plain) {
    dict = Ref::steal(PyObject_GenericGetDict(c, nullptr));
    if (!dict) PyErr_Clear();  // no instance dictionary: read it the usual way
    plain = dict && frame::exact_string_keys(dict.get()) && frame::Cached::watch_also(dict.get());
  }
  Ref value = Ref::steal(PyObject_GetAttr(c, char_limit));
  if (!value) return nullptr;
  if (plain && PyLong_CheckExact(value.get())) {
    // What the instance dictionary holds under the name (the value), or
    // nothing (then the class attribute was the value).
    // Exact-string keys only: the lookup runs no code and cannot fail.
    PyObject* in_dict = PyDict_GetItemWithError(dict.get(), char_limit);
    if (value.get() == (in_dict ? in_dict : in_type))
      g_memo.remember(epoch, c, type, tag, in_type, dict.get(), in_dict, value.get());
  }
  return value.release();
}

// The limit as every use sees it: what g_memo holds while it is valid,
// otherwise a fresh read of `_const.char_limit`.
struct Limit {
  // Whether the limit is known to be an exact int without reading, and then
  // `n` is it.
  [[gnu::always_inline]] static bool known(Py_ssize_t& n) noexcept {
    if (!g_memo.valid()) return false;
    n = g_memo.n;
    return true;
  }

  // Whether every text of at most `len` characters is within the limit,
  // known without reading.
  static bool holds(Py_ssize_t len) noexcept {
    Py_ssize_t n;
    return known(n) && len <= n;
  }

  // 1 when `len` is over the limit, 0 when not, -1 with an error: the limit
  // test, comparing as `len > char_limit` does.
  static int over(Py_ssize_t len) noexcept {
    Py_ssize_t n;
    if (known(n)) return len > n;
    Ref value = Ref::steal(read_limit());
    if (!value) return -1;
    if (PyLong_CheckExact(value.get())) return len > clamp(value.get());
    Ref count = Ref::steal(PyLong_FromSsize_t(len));
    if (!count) return -1;
    return PyObject_RichCompareBool(count.get(), value.get(), Py_GT);
  }

  static Py_ssize_t clamp(PyObject* exact) noexcept { return LimitMemo::clamp(exact); }

  // Where a cut at `n` ends in a text of `len` characters, by slice rules.
  static Py_ssize_t stop(Py_ssize_t n, Py_ssize_t len) noexcept {
    if (n < 0) n = n + len < 0 ? 0 : n + len;
    return n > len ? len : n;
  }
};

// No float's text is longer than this ("-2.2250738585072014e-308"), and no
// compact int's (|v| < 2**30: ten digits and a sign).
constexpr Py_ssize_t kFloatTextMax = 24;
constexpr Py_ssize_t kCompactTextMax = 11;

struct Walker {
  frame::Depth depth;

  PyObject* nested(PyObject* name, PyObject* value) noexcept;

  // A nested call taken inline on a leaf that is surely within the limit.
  // While the loop is quiet, the limit checked before still stands.
  bool quick(PyObject*, PyObject* v, PyObject*& result, bool& quiet) noexcept {
    bool ours;
    if (!self_ref.peek(ours) || !ours || !depth.can_enter()) return false;
    PyTypeObject* type = Py_TYPE(v);
    Py_ssize_t most;
    if (v == Py_None)
      most = 0;  // the empty string
    else if (type == &PyUnicode_Type)
      most = PyUnicode_GET_LENGTH(v);
    else if (type == &PyLong_Type && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v)))
      most = kCompactTextMax;
    else if (type == &PyFloat_Type)
      most = kFloatTextMax;
    else
      return false;
    if (!quiet) {
      if (!g_memo.valid()) return false;
      quiet = true;
    }
    if (most > g_memo.n) return false;
    result = Py_NewRef(v == Py_None ? empty.get() : v);
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

// The excerpt of a text over the limit, the limit read afresh for the cut.
[[gnu::noinline]] PyObject* hidden(PyObject* text) noexcept {
  Py_ssize_t n;
  if (Limit::known(n)) return excerpt(text, Limit::stop(n, PyUnicode_GET_LENGTH(text)));
  Ref limit = Ref::steal(read_limit());
  if (!limit) return nullptr;
  if (PyLong_CheckExact(limit.get()))
    return excerpt(text, Limit::stop(Limit::clamp(limit.get()), PyUnicode_GET_LENGTH(text)));
  Ref slice = Ref::steal(PySlice_New(nullptr, limit.get(), nullptr));
  if (!slice) return nullptr;
  Ref part = Ref::steal(PyObject_GetItem(text, slice.get()));
  if (!part) return nullptr;
  Ref head = Ref::steal(PyUnicode_Concat(opening, part.get()));
  if (!head) return nullptr;
  return PyUnicode_Concat(head.get(), closing);
}

// The leaf itself when its text is within the limit, else its excerpt.
PyObject* judge(PyObject* leaf, PyObject* text) noexcept {
  int over = Limit::over(PyUnicode_GET_LENGTH(text));
  if (over < 0) return nullptr;
  return over ? hidden(text) : Py_NewRef(leaf);
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

PyObject* judge_converted(PyObject* leaf, PyObject* text) noexcept {
  if (!text) return conversion_failed();
  Ref owned = Ref::steal(text);
  return judge(leaf, text);
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
constexpr int64_t kNoLimitBits = 2126;

[[gnu::noinline]] PyObject* int_leaf(PyObject* v) noexcept {
  // The length is worked out only while the limit is known without reading;
  // otherwise the text is built and tested, as usual. Up to kNoLimitBits the
  // conversion is plain C code that cannot fail, so leaving it out is not
  // seen.
  int overflow;
  long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (!overflow) {
    unsigned long long mag = x < 0 ? 0ULL - static_cast<unsigned long long>(x) : static_cast<unsigned long long>(x);
    if (Limit::holds(digits(mag) + (x < 0))) return Py_NewRef(v);
  } else {
    // |v| < 2**bits bounds the number of digits. (The count's type is
    // size_t up to 3.14 and int64_t from 3.15.)
    const auto bits = static_cast<int64_t>(_PyLong_NumBits(v));
    if (bits >= 0 && bits <= kNoLimitBits) {
      const auto most = static_cast<Py_ssize_t>(static_cast<double>(bits) * kLog10Of2) + 1 + (overflow < 0);
      if (Limit::holds(most)) return Py_NewRef(v);
    } else if (bits < 0) {  // GCOVR_EXCL_BR_LINE: only past 2**63 bits
      PyErr_Clear();        // GCOVR_EXCL_LINE
    }
  }
  // Over the limit, near it, or long enough for the digit limit to matter.
  return judge_converted(v, PyLong_Type.tp_repr(v));
}

[[gnu::noinline]] PyObject* other_leaf(PyObject* v) noexcept {
  if (PyFloat_CheckExact(v)) {
    if (Limit::holds(kFloatTextMax)) return Py_NewRef(v);
    return judge_converted(v, PyFloat_Type.tp_repr(v));
  }
  return judge_converted(v, PyObject_Format(v, empty));
}

[[gnu::noinline]] PyObject* str_leaf(PyObject* v) noexcept { return judge(v, v); }

// An exact string, itself or its excerpt.
inline PyObject* text(PyObject* v) noexcept {
  return Limit::holds(PyUnicode_GET_LENGTH(v)) ? Py_NewRef(v) : str_leaf(v);
}

// One call's body: None becomes the empty string, containers are rebuilt,
// leaves are judged by their text.
PyObject* walk(Walker& w, PyObject* v) noexcept {
  if (v == Py_None) v = empty;
  PyTypeObject* type = Py_TYPE(v);
  if (type == &PyUnicode_Type) return text(v);
  if (type == &PyDict_Type) return walk::exact_dict(w, v);
  if (PyDict_Check(v)) return walk::dict_items(w, v);
  if (PyList_Check(v)) return walk::list(w, v, nullptr);
  if (PyTuple_Check(v)) return walk::tuple(w, v, nullptr, genexpr_site);
  if (type == &PyLong_Type) {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v)) && Limit::holds(kCompactTextMax))
      return Py_NewRef(v);
    return int_leaf(v);
  }
  return other_leaf(v);
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
  return frame::call(callee.get(), {value}, &kw_value).release();
}

PyObject* murkfold(Args args) {
  PyObject* v = args[0];
  PyTypeObject* type = Py_TYPE(v);
  // A string or a number is judged without entering a level: only reading
  // the limit can run Python code, and that code counts its own frames.
  if (type == &PyUnicode_Type) return text(v);
  Walker w;
  if (v == Py_None || type == &PyLong_Type || type == &PyFloat_Type) return walk(w, v);
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
