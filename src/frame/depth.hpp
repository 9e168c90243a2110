// A nesting guard for bodies that recurse through their own C++ code: a
// per-thread depth checked against the interpreter's recursion limit, and the
// stack address checked against the thread's real stack bounds, so that deep
// or self-containing input ends in RecursionError on any thread, small stacks
// included, instead of overflowing the stack.
#pragma once

#include <cstddef>
#include <cstdint>

#include <pthread.h>

#include "frame/frame.hpp"

// glibc 2.32 and 2.34 gave these two functions new symbol versions, which the
// linker picks by default; every glibc still has the original ones. Binding
// to those keeps the modules loadable on the older glibc the Linux wheels
// promise (2.28), whichever glibc builds them. (Older glibc keeps them in
// libpthread, which Threads::Threads links.)
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
#endif

namespace frame {

struct DepthState {
  int depth = 0;        // levels entered on this thread, through any route
  uintptr_t floor = 0;  // lowest stack address a level may start at; 0: not yet known
};

// Constant-initialised, so no per-thread constructor runs.
inline thread_local DepthState t_depth;

// Room kept below the deepest level for what runs there: callbacks into
// Python code, building the error and its traceback entries.
inline constexpr uintptr_t kStackMargin = 64 * 1024;
// Assumed usable stack when the thread's bounds cannot be read.
inline constexpr uintptr_t kStackUnknown = 192 * 1024;

[[gnu::noinline, gnu::cold]] inline uintptr_t stack_floor() noexcept {
  const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  uintptr_t low = 0;
#if defined(__APPLE__)
  pthread_t self = pthread_self();
  const auto top = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self));
  const size_t size = pthread_get_stacksize_np(self);
  if (top > size) low = top - size;
#elif defined(__linux__)
  // These fail only where the thread's bounds cannot be read at all (no
  // /proc for the main thread); no test can make them fail.
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {  // GCOVR_EXCL_BR_LINE
    void* addr = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0) low = reinterpret_cast<uintptr_t>(addr);  // GCOVR_EXCL_BR_LINE
    pthread_attr_destroy(&attr);
  }
#endif
  if (low == 0 || low >= here) low = here > kStackUnknown ? here - kStackUnknown : 0;  // GCOVR_EXCL_BR_LINE: as above
  uintptr_t margin = kStackMargin;
  if (margin > (here - low) / 2) margin = (here - low) / 2;
  return low + margin;
}

[[gnu::noinline, gnu::cold]] inline bool recursion_error() noexcept {
  PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
  return false;
}

// Whether the stack has room for one more call that may recurse; false
// with RecursionError set.
[[gnu::always_inline]] inline bool stack_room() noexcept {
  DepthState& state = t_depth;
  if (!state.floor) state.floor = stack_floor();
  if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) > state.floor) return true;
  return recursion_error();
}

// One per call of a body; `begin` enters the call's own level.
class Depth {
 public:
  bool begin() noexcept {
    state_ = &t_depth;
    limit_ = Py_GetRecursionLimit();
    // The runner of every body has just found the stack's floor and room for
    // the call; each container level checks the room again.
    floor_ = state_->floor;
    return enter();
  }
  void end() noexcept { leave(); }

  // One more level (a nested call taken inline); false with RecursionError.
  bool enter() noexcept {
    if (++state_->depth > limit_) {
      --state_->depth;
      return recursion_error();
    }
    return true;
  }
  void leave() noexcept { --state_->depth; }
  // Whether `enter` would succeed now.
  bool can_enter() const noexcept { return state_->depth < limit_; }

  // Whether the stack has room for one more level that recurses.
  [[gnu::always_inline]] bool room() const noexcept {
    if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) > floor_) return true;
    return recursion_error();
  }

 private:
  DepthState* state_ = nullptr;
  int limit_ = 0;
  uintptr_t floor_ = 0;
};

}  // namespace frame
