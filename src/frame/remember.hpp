// Remembered values: the one way the package keeps what it read from Python
// objects for later use. A value is used without reading it again only with
// evidence that a fresh read would give the same object and run no Python
// code. The evidence is of these kinds and no other:
//
// 1. What the interpreter versions or reports, kept across calls.
//    - The watch stamp. The deliverable's one dictionary watcher watches the
//      module dictionaries that its remembered lookups (`Global`) search, and
//      the builtins. Its one callback moves the stamp at every event the
//      interpreter reports for them: an entry added, changed or deleted, the
//      dictionary cleared, cloned or deallocated. A lookup remembered with
//      the stamp read before it stands while the stamp has not moved: the
//      dictionaries hold the same entries, so the value found (borrowed from
//      them) is alive and is what a fresh lookup finds. Lookups are
//      remembered only where looking the name up runs no Python code: every
//      key of the dictionaries searched is an exact str (a key of another
//      kind can only come in through an event).
//    - The same stamp, for a dictionary watched only for the length of a call
//      (`Watch`): what was looked up in it stands while the stamp has not
//      moved since, within that call.
//    - A class's version tag (unstable.hpp), which the interpreter changes
//      at every change along the class's MRO and never reuses. What a lookup
//      along the MRO found stands while the tag does.
//    Both are checked where the value is used, in one comparison each.
//
// 2. A window (`Window`). Within a stretch of C code in which no Python code
//    can run, nothing a program can change changes, so what was read at the
//    start of the stretch is what a fresh read gives at every point of it. A
//    window is opened after such a read and closed at every point where
//    Python code may run:
//      - any call into Python: a call through the object protocol, or any
//        slot of an object whose type is not known to be a built-in one
//        (len, hash, format, iteration, attribute access, comparison);
//      - any comparison of keys that are not both exact str: a store into or
//        a lookup in a dictionary holding such a key, or with one; membership
//        in a container holding anything but exact str;
//      - a str/bytes comparison under -b: the BytesWarning it issues runs the
//        warnings machinery and any hook installed there;
//      - any release of an object that may have a finalizer: a reference
//        dropped that may be the last one, a value replaced in a dictionary
//        included (an object freed also frees its address for another, so
//        identities compared in a window would mislead).
//    Allocation is not such a point: the interpreter runs the collector only
//    from its eval loop (3.12 and later), never inside C code.
//    What the interpreter reports nothing about is trusted only in a window
//    and read afresh whenever one opens, never kept across calls: an object's
//    __class__ or __dict__ assigned, an attribute stored in an object's
//    inline values (3.13.0 notifies no watcher even once the instance
//    dictionary exists), the contents of lists, tuples and sets, an
//    attribute of a class whose version tag is 0.
//
// Nothing remembered holds a strong reference: values are borrowed from the
// dictionaries or objects the evidence keeps unchanged, and objects are
// compared by identity only while the evidence stands. (A class's own
// dictionary changed behind the interpreter's back, through the collector's
// referents, goes unseen here as it does by the interpreter's own cache.)
//
// Without the GIL, other threads change objects at any time. The stamp is
// atomic; a `Global` or `Watch` record is written in one place (refresh) and
// read in one place (get, get_plain, peek, item), all of which would take
// the critical section of the dictionary it describes, and they hand out
// new references already. The chain of Watch scopes alive would take a
// mutex of its own. A window would hold the critical sections of the
// objects read when it opened for as long as it is open.
#pragma once

#include <atomic>
#include <cstdint>

#include "frame/frame.hpp"

namespace frame {

// The watch stamp (remember.cpp): moved by the watcher's callback only.
extern std::atomic<std::uint64_t> g_watch_stamp;

inline std::uint64_t watch_stamp() noexcept { return g_watch_stamp.load(std::memory_order_acquire); }

// A module-level name whose lookup (module dictionary, then builtins) is
// remembered while the watch stamp stands. Declare at namespace scope; the
// exec step then takes the deliverable's watcher. Without a watcher (an
// interpreter has few) every use looks the name up.
class Global {
 public:
  // Asked once per lookup made (for example whether the object is one of
  // the module's own functions); must run no Python code.
  using Test = bool (*)(PyObject*) noexcept;
  explicit Global(const Name& name, Test test = nullptr) noexcept;

  struct Found {
    Ref value;                // empty with NameError or the lookup's own error
    bool passed = false;      // the test's answer
    bool remembered = false;  // remembered across calls (so the lookup ran no Python code)
    bool plain = false;       // the lookup ran no Python code: a window may trust it
  };

  // The object bound to the name now, in `globals` and then the builtins.
  Found get(PyObject* globals) noexcept {
    if (value_ && dict_ == globals && stamp_ == watch_stamp()) return {Ref::borrow(value_), passed_, true, true};
    return refresh(globals, false);
  }

  // The remembered object (borrowed, valid while no Python code runs), or
  // nullptr when nothing is remembered for `globals` now; makes no lookup.
  PyObject* peek(PyObject* globals, bool& passed) const noexcept {
    if (!value_ || dict_ != globals || stamp_ != watch_stamp()) return nullptr;
    passed = passed_;
    return value_;
  }

  // As get(), but where looking the name up might run Python code (a key of
  // another kind in a dictionary searched) no lookup is made: an empty
  // value and no error. A NameError comes back as get() gives it.
  Found get_plain(PyObject* globals) noexcept {
    if (value_ && dict_ == globals && stamp_ == watch_stamp()) return {Ref::borrow(value_), passed_, true, true};
    return refresh(globals, true);
  }

 private:
  Found refresh(PyObject* globals, bool plain_only) noexcept;

  const Name& name_;
  Test test_;
  // The record: what the lookup in `dict_` found, while the stamp is `stamp_`.
  PyObject* dict_ = nullptr;   // compared only
  PyObject* value_ = nullptr;  // borrowed from the dictionary holding it
  std::uint64_t stamp_ = 0;
  bool passed_ = false;
};

// A dictionary watched for as long as this lives, so that what is looked up
// in it may be remembered against the watch stamp: a table's dictionary while
// the table is built. Scopes nest, on one dictionary or several, on any
// thread: a dictionary stays watched until the last scope on it ends. They
// watch with a watcher of their own (the same callback), so that ending one
// never unwatches a module dictionary that a Global relies on. A split
// dictionary (an object's instance dictionary) is not watched, and nothing
// looked up in it is remembered: an attribute stored into the object's
// inline values reaches no watcher on 3.13.0.
class Watch {
 public:
  explicit Watch(PyObject* dict) noexcept;
  ~Watch();
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;

  // dict[key] now, as a subscript gives it: a new reference, or empty with
  // KeyError(key) or the lookup's own error. `key` is an interned exact str.
  Ref item(PyObject* key) noexcept {
    if (value_ && key == key_ && stamp_ == watch_stamp()) return Ref::borrow(value_);
    return refresh(key);
  }

 private:
  Ref refresh(PyObject* key) noexcept;

  PyObject* dict_;
  bool watching_ = false;
  Watch* next_ = nullptr;  // the other scopes alive, on any thread (while watching)
  // The record: dict_[key_] was value_ (borrowed from dict_) while the stamp
  // is stamp_.
  PyObject* key_ = nullptr;
  PyObject* value_ = nullptr;
  std::uint64_t stamp_ = 0;
};

// Trust in what was read at the start of a stretch in which no Python code
// has run since: open it right after the read, and close it at every point
// listed above, open or not. The count of such points says whether any
// came between two moments.
class Window {
 public:
  bool open() const noexcept { return open_; }
  void open_now() noexcept { open_ = true; }
  void code_may_run() noexcept {
    open_ = false;
    ++points_;
  }
  std::uint64_t points() const noexcept { return points_; }

 private:
  bool open_ = false;
  std::uint64_t points_ = 0;
};

// At exec, when the deliverable declares a Global: take the watcher and
// watch the builtins. Failure is not an error; nothing is remembered then.
void start_watching(PyObject* builtins) noexcept;

}  // namespace frame
