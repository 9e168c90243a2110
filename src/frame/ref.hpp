// The one owning handle for interpreter objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Every source reaches Python.h through here. The modules rely on the global
// lock throughout (what they remember, the objects they borrow); a build for
// a free-threaded interpreter stops here rather than produce a module that
// could run without it.
#ifdef Py_GIL_DISABLED
#error "tools-native does not support free-threaded CPython builds yet; install it into a standard build of CPython"
#endif

#include <utility>

namespace frame {

// Owns one reference or nothing. Construction says what happens to the
// pointer: `steal` adopts a new reference, `borrow` adds one.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    // Take the new value first: the old one's destructor may run code that
    // looks at this handle.
    PyObject* old = p_;
    p_ = other.p_;
    other.p_ = nullptr;
    Py_XDECREF(old);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  Ref copy() const noexcept { return borrow(p_); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace frame
