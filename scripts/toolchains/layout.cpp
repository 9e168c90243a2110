// Compiled for each cross target by scripts/cross: every size and alignment
// that the interpreter's headers take from pyconfig.h (after pymacconfig.h on
// macOS) must be the target compiler's own, or the modules would see another
// object layout than the interpreter.
#include <Python.h>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

static_assert(sizeof(int) == SIZEOF_INT);
static_assert(sizeof(long) == SIZEOF_LONG);
static_assert(sizeof(long long) == SIZEOF_LONG_LONG);
static_assert(sizeof(void*) == SIZEOF_VOID_P);
static_assert(sizeof(std::size_t) == SIZEOF_SIZE_T);
static_assert(sizeof(Py_ssize_t) == SIZEOF_SIZE_T);
static_assert(sizeof(std::uintptr_t) == SIZEOF_UINTPTR_T);
static_assert(sizeof(std::time_t) == SIZEOF_TIME_T);
static_assert(sizeof(wchar_t) == SIZEOF_WCHAR_T);
static_assert(sizeof(bool) == SIZEOF__BOOL);
static_assert(sizeof(double) == SIZEOF_DOUBLE);
static_assert(sizeof(float) == SIZEOF_FLOAT);
static_assert(sizeof(short) == SIZEOF_SHORT);
static_assert(sizeof(off_t) == SIZEOF_OFF_T);

#if defined(_WIN32)
// The interpreter is built with MSVC; the cross build uses mingw's ABI, whose
// long double (16 bytes), max_align_t (16) and pid_t (8) are not MSVC's (8,
// 8, 4). No public header lays out data with them, so they are not checked;
// the C API itself must come from the DLL, and PyInit_ be exported.
#if !defined(MS_WINDOWS) || !defined(Py_ENABLE_SHARED) || !defined(HAVE_DECLSPEC_DLL)
#error "a Windows build of an extension module needs MS_WINDOWS, Py_ENABLE_SHARED and HAVE_DECLSPEC_DLL"
#endif
#if defined(HAVE_PTHREAD_H)
#error "Windows has no <pthread.h> in the interpreter's build: Py_tss_t would take another layout"
#endif
#else
#include <pthread.h>
static_assert(sizeof(long double) == SIZEOF_LONG_DOUBLE);
static_assert(alignof(std::max_align_t) == ALIGNOF_MAX_ALIGN_T);
static_assert(sizeof(pid_t) == SIZEOF_PID_T);
static_assert(sizeof(pthread_t) == SIZEOF_PTHREAD_T);
#endif

#if defined(__APPLE__) && defined(__aarch64__)
static_assert(sizeof(long double) == 8, "macOS arm64: long double is double");
#elif defined(__APPLE__) && defined(__x86_64__)
static_assert(sizeof(long double) == 16, "macOS x86_64: long double is x87's 80 bits in 16 bytes");
#endif
