// Compiler attributes behind names that every compiler the package is built
// with accepts: GCC and clang (the gnu:: attributes) and MSVC, which rejects
// attributes it does not know at its strictest warning level.
#pragma once

#include <cstdint>

#if defined(__GNUC__) || defined(__clang__)
#define FRAME_NOINLINE __attribute__((noinline))
#define FRAME_COLD __attribute__((cold))
#define FRAME_ALWAYS_INLINE inline __attribute__((always_inline))
// An address in the running function's stack frame.
#define FRAME_STACK_HERE() reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0))
#elif defined(_MSC_VER)
#include <intrin.h>
#define FRAME_NOINLINE __declspec(noinline)
#define FRAME_COLD
#define FRAME_ALWAYS_INLINE __forceinline
#define FRAME_STACK_HERE() reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress())
#else
#error "a compiler with GNU attributes or MSVC is needed"
#endif
