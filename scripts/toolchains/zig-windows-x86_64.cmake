# Windows x86_64, compiled and linked by zig's clang with the mingw-w64 ABI
# (scripts/cross). The interpreter's DLL is linked through an import
# library that scripts/cross makes from the names the objects use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
set(CMAKE_CXX_COMPILER_TARGET x86_64-windows-gnu)
# Compile-only checks, as for macOS: zig builds its C and C++ runtimes once,
# at the first real link.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
