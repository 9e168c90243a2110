# Linux x86_64 with musl, compiled and linked by zig's clang (scripts/cross):
# musl's libc.so dynamically, zig's libc++ and libunwind statically, as a
# musllinux wheel would carry them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER_TARGET x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
