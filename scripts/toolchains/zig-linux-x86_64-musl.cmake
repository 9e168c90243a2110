# Linux x86_64 with musl, compiled and linked by zig's clang (scripts/cross):
# musl's libc.so dynamically, zig's libc++ and libunwind statically, as a
# musllinux wheel would carry them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
set(CMAKE_CXX_COMPILER_TARGET x86_64-linux-musl)
# Compile-only checks, as for macOS: zig builds its C++ runtime once, at the
# first real link.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
