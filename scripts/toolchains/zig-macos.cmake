# macOS 11, compiled and linked by zig's clang (scripts/cross), for the
# processor and target that zig-macos-<arch>.cmake set before including this.
# The wrapper beside this file runs zig from the environment named by
# TOOLS_ZIG_PYTHON; the C++ runtime is the system's libc++, through a stub.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20)  # macOS 11
set(CMAKE_OSX_SYSROOT "" CACHE PATH "zig carries the macOS headers and libSystem stub")
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "the target gives it")
# Link against the system's libc++ (a stub naming /usr/lib/libc++.1.dylib),
# not a copy of zig's own.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-nostdlib++ ${CMAKE_CURRENT_LIST_DIR}/libc++.tbd")
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
