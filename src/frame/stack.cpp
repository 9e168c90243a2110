// The thread's stack bounds, for the nesting guard (depth.hpp), on each
// platform the package is built for.
#include <cstddef>

#include "frame/depth.hpp"

#if defined(_WIN32)
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0602
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602  // Windows 8, which has GetCurrentThreadStackLimits
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <pthread.h>
#endif

// glibc 2.32 and 2.34 gave these two functions new symbol versions, which the
// linker picks by default; every glibc still has the original ones. Binding
// to those keeps the modules loadable on the older glibc the Linux wheels
// promise (2.28), whichever glibc builds them. (Older glibc keeps them in
// libpthread, which Threads::Threads links.) Only this file calls them.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
#endif

namespace frame {

namespace {

// Room kept below the deepest level for what runs there: callbacks into
// Python code, building the error and its traceback entries.
constexpr std::uintptr_t kStackMargin = 64 * 1024;
// Assumed usable stack when the thread's bounds cannot be read.
constexpr std::uintptr_t kStackUnknown = 192 * 1024;

// The lowest address of this thread's stack, or 0 when it cannot be read.
std::uintptr_t stack_low() noexcept {
#if defined(_WIN32)
  // The reserved region, guard pages included (Windows 8 and later).
  ULONG_PTR low = 0, high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  return static_cast<std::uintptr_t>(low);
#elif defined(__APPLE__)
  pthread_t self = pthread_self();
  const auto top = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
  const std::size_t size = pthread_get_stacksize_np(self);
  return top > size ? top - size : 0;
#else
  // These fail only where the thread's bounds cannot be read at all (no
  // /proc for the main thread); no test can make them fail.
  std::uintptr_t low = 0;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {  // GCOVR_EXCL_BR_LINE
    void* addr = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0) low = reinterpret_cast<std::uintptr_t>(addr);  // GCOVR_EXCL_BR_LINE
    pthread_attr_destroy(&attr);
  }
  return low;
#endif
}

}  // namespace

std::uintptr_t stack_floor() noexcept {
  const std::uintptr_t here = FRAME_STACK_HERE();
  std::uintptr_t low = stack_low();
  if (low == 0 || low >= here) low = here > kStackUnknown ? here - kStackUnknown : 0;  // GCOVR_EXCL_BR_LINE: as above
  std::uintptr_t margin = kStackMargin;
  if (margin > (here - low) / 2) margin = (here - low) / 2;
  return low + margin;
}

bool recursion_error() noexcept {
  PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
  return false;
}

}  // namespace frame
