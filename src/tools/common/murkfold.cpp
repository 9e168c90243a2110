// tools.common.murkfold: a copy of nested data in which every leaf whose text
// is longer than the configured limit becomes a short excerpt between marker
// lines.
#include <cstring>

#include "frame/compiler.hpp"
#include "frame/depth.hpp"
#include "frame/frame.hpp"
#include "frame/remember.hpp"
#include "frame/unstable.hpp"
#include "tools/common/walk.hpp"

namespace {

using frame::Call;
using frame::Name;
using frame::Ref;
using frame::Value;

constexpr int kLine = 13;  // the line traceback entries report

PyObject* murkfold(const Call& call);

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

// The module-level names the body uses, their lookups remembered.
frame::Global self_ref{murkfold_name, is_murkfold}, const_ref{const_name};

// No float's text is longer than this ("-2.2250738585072014e-308"), and no
// compact int's (|v| < 2**30: ten digits and a sign).
constexpr Py_ssize_t kFloatTextMax = 24;
constexpr Py_ssize_t kCompactTextMax = 11;

Py_ssize_t clamp(PyObject* exact_int) noexcept {
  int overflow;
  long long x = PyLong_AsLongLongAndOverflow(exact_int, &overflow);
  return overflow > 0 ? PY_SSIZE_T_MAX : overflow < 0 ? PY_SSIZE_T_MIN : static_cast<Py_ssize_t>(x);
}

// ---- the limit ---------------------------------------------------------------

// `_const.char_limit` read now, as the attribute access in Python code reads
// it: a new reference, or nullptr with the error.
PyObject* read_limit(PyObject* globals) noexcept {
  Ref holder = const_ref.get(globals).value;
  if (!holder) return nullptr;
  return PyObject_GetAttr(holder.get(), char_limit);
}

// What reading `_const.char_limit` plainly learnt of the record's class,
// remembered while the class keeps its version tag: the interpreter gives a
// class a new tag at every change along its MRO (its attribute hooks
// included) and never gives an old tag again. No reference is held: `type`
// is compared only, and `in_type` is borrowed from a dictionary along the
// MRO, which stays as it was while the tag stands.
struct ClassRead {
  PyTypeObject* type = nullptr;
  unsigned int tag = 0;
  PyObject* in_type = nullptr;  // what the MRO holds under the name, or nullptr
} g_class_read;

// Where iterating the instance dictionary last met the name itself. Only a
// hint, for a cheaper read than a lookup: what stands there is checked (the
// very key object) and its value read afresh.
Py_ssize_t g_hint = 0;

// What the instance dictionary holds under the name (borrowed), found
// without running Python code: false where a lookup might compare keys by
// Python code.
bool plain_entry(PyObject* dict, PyObject*& found) noexcept {
  if (!frame::unstable::dict_is_split(dict) && !frame::exact_string_keys(dict)) return false;
  Py_ssize_t pos = g_hint;
  PyObject *key, *value;
  if (PyDict_Next(dict, &pos, &key, &value) && key == char_limit) {
    found = value;
    return true;
  }
  // Exact-string keys only: the lookup runs no code and cannot fail.
  found = PyDict_GetItemWithError(dict, char_limit);
  if (found) {
    Py_ssize_t before = 0;
    pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value) && key != char_limit) before = pos;
    g_hint = before;
  }
  return true;
}

// `_const.char_limit` when reading it is a plain read: generic attribute
// access with no descriptor under the name along the class's MRO, an
// instance dictionary (if any) in which looking the name up runs no Python
// code, and an exact int found. Such a read runs no Python code, and every
// read of it gives the same while none runs. True with the limit in `n`;
// false, with nothing run and no error, where the read takes any other route.
FRAME_NOINLINE bool plain_limit_read(PyObject* globals, Py_ssize_t& n) noexcept {
  Ref holder = const_ref.get_plain(globals).value;
  if (!holder) {
    PyErr_Clear();  // NameError: the read made again will say so
    return false;
  }
  PyTypeObject* type = Py_TYPE(holder.get());
  PyObject* in_type;
  if (type == g_class_read.type && frame::unstable::type_version(type) == g_class_read.tag) {
    in_type = g_class_read.in_type;
  } else {
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    const unsigned int tag = frame::unstable::type_version(type);
    // Borrowed once released: the MRO's dictionary holds it.
    in_type = frame::unstable::type_lookup(type, char_limit).get();
    if (tag != 0 && frame::unstable::type_version(type) == tag) g_class_read = {type, tag, in_type};
  }
  // The class attribute's own class may have gained __get__ since.
  if (in_type && Py_TYPE(in_type)->tp_descr_get) return false;
  PyObject* value = in_type;
  Ref dict = Ref::steal(PyObject_GenericGetDict(holder.get(), nullptr));
  if (!dict) {
    PyErr_Clear();  // no instance dictionary: the class attribute is the value
  } else {
    PyObject* in_dict = nullptr;
    if (!plain_entry(dict.get(), in_dict)) return false;
    if (in_dict) value = in_dict;
  }
  if (!value || !PyLong_CheckExact(value)) return false;
  n = clamp(value);
  return true;
}

// plain_limit_read(), first along the way it usually takes: `_const` as
// remembered, its class as read before, the name where it stood in a split
// instance dictionary, a compact int.
FRAME_ALWAYS_INLINE bool plain_limit(PyObject* globals, Py_ssize_t& n) noexcept {
  bool unused;
  PyObject* holder = const_ref.peek(globals, unused);
  if (!holder) return plain_limit_read(globals, n);
  PyTypeObject* type = Py_TYPE(holder);
  PyObject* in_type = g_class_read.in_type;
  if (type != g_class_read.type || frame::unstable::type_version(type) != g_class_read.tag ||
      (in_type && Py_TYPE(in_type)->tp_descr_get))
    return plain_limit_read(globals, n);
  PyObject* dict = PyObject_GenericGetDict(holder, nullptr);
  if (!dict) {
    PyErr_Clear();
    return plain_limit_read(globals, n);
  }
  Py_DECREF(dict);  // the object holds it
  Py_ssize_t pos = g_hint;
  PyObject *key, *value;
  if (!frame::unstable::dict_is_split(dict) || !PyDict_Next(dict, &pos, &key, &value) || key != char_limit ||
      !PyLong_CheckExact(value) || !frame::unstable::long_is_compact(value))
    return plain_limit_read(globals, n);
  n = frame::unstable::long_compact_value(value);
  return true;
}

// Whether the module-level name `murkfold` is bound to this module's
// function made in `globals`, so that a nested call would run the walk
// inline, found by a lookup that runs no Python code.
bool inline_nested(PyObject* globals) noexcept {
  frame::Global::Found f = self_ref.get_plain(globals);
  if (!f.value) {
    PyErr_Clear();  // NameError: the nested call's own lookup will say so
    return false;
  }
  return f.passed && frame::globals_of(f.value.get()) == globals;
}

// What one call, and the nested calls it takes inline, knows: a window
// (remember.hpp) in which the limit was read plainly in `globals`, and, for
// a walk, `murkfold` found bound to this very function there.
struct Scope {
  PyObject* function;  // the function whose body runs (for its traceback entry)
  PyObject* globals;   // its module dictionary
  const bool nests;    // a walk, whose nested calls the window covers too
  frame::Window window;
  Py_ssize_t limit = 0;

  Scope(const Call& call, bool walks) noexcept : function(call.function), globals(call.globals), nests(walks) {}

  // Whether the limit is known without reading it again: the window is open,
  // or opens now with plain reads.
  bool trusted() noexcept {
    if (!window.open() && (!nests || inline_nested(globals)) && plain_limit(globals, limit)) window.open_now();
    return window.open();
  }

  // Whether every text of at most `len` characters is within the limit,
  // known without reading it again.
  bool holds(Py_ssize_t len) noexcept { return trusted() && len <= limit; }

  // 1 when `len` is over the limit, 0 when not, -1 with an error: the limit
  // test, comparing as `len > char_limit` does.
  int over(Py_ssize_t len) noexcept {
    if (trusted()) return len > limit;
    code_may_run();  // the read, the comparison and the release
    Ref value = Ref::steal(read_limit(globals));
    if (!value) return -1;
    if (PyLong_CheckExact(value.get())) return len > clamp(value.get());
    Ref count = Ref::steal(PyLong_FromSsize_t(len));
    if (!count) return -1;
    return PyObject_RichCompareBool(count.get(), value.get(), Py_GT);
  }

  std::uint64_t code_points() const noexcept { return window.points(); }
  void code_may_run() noexcept { window.code_may_run(); }
};

// ---- excerpts ------------------------------------------------------------------

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
FRAME_NOINLINE PyObject* excerpt(PyObject* text, Py_ssize_t stop) noexcept {
  const Py_ssize_t n_open = PyUnicode_GET_LENGTH(opening), n_close = PyUnicode_GET_LENGTH(closing);
  PyObject* out = PyUnicode_New(n_open + stop + n_close, prefix_max_char(text, stop));
  if (!out) return nullptr;
  put(out, 0, opening, n_open);
  put(out, n_open, text, stop);
  put(out, n_open + stop, closing, n_close);
  return out;
}

// Where a cut at `n` ends in a text of `len` characters, by slice rules.
Py_ssize_t stop(Py_ssize_t n, Py_ssize_t len) noexcept {
  if (n < 0) n = n + len < 0 ? 0 : n + len;
  return n > len ? len : n;
}

// The excerpt of a text over the limit, the limit read afresh for the cut.
FRAME_NOINLINE PyObject* hidden(Scope& s, PyObject* text) noexcept {
  if (s.trusted()) return excerpt(text, stop(s.limit, PyUnicode_GET_LENGTH(text)));
  s.code_may_run();  // the read, the slice and the release
  Ref limit = Ref::steal(read_limit(s.globals));
  if (!limit) return nullptr;
  if (PyLong_CheckExact(limit.get())) return excerpt(text, stop(clamp(limit.get()), PyUnicode_GET_LENGTH(text)));
  Ref slice = Ref::steal(PySlice_New(nullptr, limit.get(), nullptr));
  if (!slice) return nullptr;
  Ref part = Ref::steal(PyObject_GetItem(text, slice.get()));
  if (!part) return nullptr;
  Ref head = Ref::steal(PyUnicode_Concat(opening, part.get()));
  if (!head) return nullptr;
  return PyUnicode_Concat(head.get(), closing);
}

// ---- leaves ------------------------------------------------------------------

// The leaf itself when its text is within the limit, else its excerpt.
PyObject* judge(Scope& s, PyObject* leaf, PyObject* text) noexcept {
  int over = s.over(PyUnicode_GET_LENGTH(text));
  if (over < 0) return nullptr;
  return over ? hidden(s, text) : Py_NewRef(leaf);
}

// A conversion that failed: ValueError (the int-to-text digit limit among
// others) gives the failure text, caught like an except clause would catch
// it (with the function's entry); anything else passes through.
FRAME_NOINLINE FRAME_COLD PyObject* conversion_failed(Scope& s) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
  frame::traceback_here(s.function);
  PyErr_Clear();  // the exception's release may run its finalizer
  s.code_may_run();
  return Py_NewRef(failure.get());
}

// A leaf judged by its converted text, which is released after: a str
// subclass's finalizer may run then.
PyObject* judge_converted(Scope& s, PyObject* leaf, PyObject* text) noexcept {
  if (!text) return conversion_failed(s);
  PyObject* result = judge(s, leaf, text);
  if (!PyUnicode_CheckExact(text)) s.code_may_run();
  Py_DECREF(text);
  return result;
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

FRAME_NOINLINE PyObject* int_leaf(Scope& s, PyObject* v) noexcept {
  // The length is worked out only while the limit is known without reading;
  // otherwise the text is built and tested, as usual. Up to kNoLimitBits the
  // conversion is plain C code that cannot fail, so leaving it out is not
  // seen.
  int overflow;
  long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (!overflow) {
    unsigned long long mag = x < 0 ? 0ULL - static_cast<unsigned long long>(x) : static_cast<unsigned long long>(x);
    if (s.holds(digits(mag) + (x < 0))) return Py_NewRef(v);
  } else {
    // |v| < 2**bits bounds the number of digits.
    const int64_t bits = frame::unstable::long_num_bits(v);
    if (bits >= 0 && bits <= kNoLimitBits) {
      const auto most = static_cast<Py_ssize_t>(static_cast<double>(bits) * kLog10Of2) + 1 + (overflow < 0);
      if (s.holds(most)) return Py_NewRef(v);
    } else if (bits < 0) {  // GCOVR_EXCL_BR_LINE: only past 2**63 bits
      PyErr_Clear();        // GCOVR_EXCL_LINE
    }
  }
  // Over the limit, near it, or long enough for the digit limit to matter.
  return judge_converted(s, v, PyLong_Type.tp_repr(v));
}

FRAME_NOINLINE PyObject* other_leaf(Scope& s, PyObject* v) noexcept {
  if (PyFloat_CheckExact(v)) {
    if (s.holds(kFloatTextMax)) return Py_NewRef(v);
    return judge_converted(s, v, PyFloat_Type.tp_repr(v));
  }
  s.code_may_run();  // the object's own formatting
  return judge_converted(s, v, PyObject_Format(v, empty));
}

// A leaf (None already the empty string): itself or its excerpt.
PyObject* leaf(Scope& s, PyObject* v) noexcept {
  PyTypeObject* type = Py_TYPE(v);
  if (type == &PyUnicode_Type) return s.holds(PyUnicode_GET_LENGTH(v)) ? Py_NewRef(v) : judge(s, v, v);
  if (type == &PyLong_Type) {
    if (frame::unstable::long_is_compact(v) && s.holds(kCompactTextMax)) return Py_NewRef(v);
    return int_leaf(s, v);
  }
  return other_leaf(s, v);
}

// ---- the walk --------------------------------------------------------------------

// One call's walk over containers.
struct Walker : Scope {
  frame::Depth depth;

  explicit Walker(const Call& call) noexcept : Scope(call, true) {}

  // A nested call taken inline on a leaf that is surely within the limit.
  bool quick(PyObject*, PyObject* v, PyObject*& result) noexcept {
    PyTypeObject* type = Py_TYPE(v);
    Py_ssize_t most;
    if (v == Py_None)
      most = 0;  // the empty string
    else if (type == &PyUnicode_Type)
      most = PyUnicode_GET_LENGTH(v);
    else if (type == &PyLong_Type && frame::unstable::long_is_compact(v))
      most = kCompactTextMax;
    else if (type == &PyFloat_Type)
      most = kFloatTextMax;
    else
      return false;
    if (!depth.can_enter() || !trusted() || most > limit) return false;
    result = Py_NewRef(v == Py_None ? empty.get() : v);
    return true;
  }

  PyObject* nested(PyObject* name, PyObject* value) noexcept;
  PyObject* call_out(PyObject* f, PyObject* value) noexcept;
  void genexpr_here(const frame::Site& site) noexcept { site.here(globals); }
};

// One call's body: None becomes the empty string, containers are rebuilt,
// leaves are judged by their text.
PyObject* walk(Walker& w, PyObject* v) noexcept {
  if (v == Py_None) v = empty;
  PyTypeObject* type = Py_TYPE(v);
  if (type == &PyDict_Type) return walk::exact_dict(w, v);
  if (PyDict_Check(v)) return walk::dict_items(w, v);
  if (PyList_Check(v)) return walk::list(w, v, nullptr);
  if (PyTuple_Check(v)) return walk::tuple(w, v, nullptr, genexpr_site);
  return leaf(w, v);
}

// A nested call through the module-level name: inline while the name is
// bound to this module's function (held meanwhile, its globals in use),
// otherwise a call with the keyword `value`.
PyObject* Walker::nested(PyObject*, PyObject* value) noexcept {
  frame::Global::Found f = self_ref.get(globals);
  if (!f.plain) code_may_run();  // the lookup itself may have run Python code
  if (!f.value) return nullptr;
  if (!f.passed) return call_out(f.value.get(), value);
  return walk::inline_call(*this, f.value.get(), [&] { return walk(*this, value); });
}

FRAME_NOINLINE PyObject* Walker::call_out(PyObject* f, PyObject* value) noexcept {
  code_may_run();
  return frame::call(f, {value}, &kw_value).release();
}

PyObject* murkfold(const Call& call) {
  PyObject* v = call[0];
  // A leaf is judged without entering a level: only reading the limit can
  // run Python code for it, and that code counts its own frames. A short
  // string, the commonest leaf, is judged first.
  if (Py_IS_TYPE(v, &PyUnicode_Type)) {
    Py_ssize_t n;
    if (plain_limit(call.globals, n) && PyUnicode_GET_LENGTH(v) <= n) return Py_NewRef(v);
  } else if (v == Py_None) {
    v = empty;
  } else if (PyDict_Check(v) || PyList_Check(v) || PyTuple_Check(v)) {
    Walker w(call);
    frame::Level level(w.depth);
    if (!level) return nullptr;
    return walk(w, v);
  }
  Scope s(call, false);
  return leaf(s, v);
}

// class _Const: char_limit: int = 4000, made a frozen data class.
Ref make_const_class(const frame::Module& m) {
  frame::Class cls(m, "_Const");
  Ref annotations = Ref::steal(PyDict_New());
  Ref int_text = Ref::steal(PyUnicode_FromString("int"));
  if (!annotations || !int_text || PyDict_SetItem(annotations.get(), char_limit, int_text.get()) < 0) return Ref();
  if (!cls.add("__annotations__", std::move(annotations)) || !cls.add("char_limit", Ref::steal(PyLong_FromLong(4000))))
    return Ref();
  Ref plain = cls.build();
  if (!plain) return Ref();
  Ref dataclass = m.global(dataclass_name);
  if (!dataclass) return Ref();
  Ref decorator = frame::call(dataclass.get(), {Py_True}, &kw_frozen);
  if (!decorator) return Ref();
  return frame::call(decorator.get(), {plain.get()});
}

bool body(const frame::Module& m) {
  if (!m.import_from("dataclasses", {"dataclass"}) || !m.import_from("typing", {"Any"})) return false;
  if (!m.bind(Const_name, make_const_class(m))) return false;
  Ref cls = m.global(Const_name);
  return cls && m.bind(const_name, frame::call(cls.get(), {})) && m.define(murkfold_def);
}

}  // namespace

TOOLS_MODULE(murkfold, "tools.common.murkfold", "src/tools/common/murkfold", body)
