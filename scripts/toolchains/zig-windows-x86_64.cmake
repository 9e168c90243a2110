# Windows x86_64, compiled and linked by zig's clang with the mingw-w64 ABI
# (scripts/cross). The interpreter's DLL is linked through an import
# library that scripts/cross makes from the names the objects use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CXX_COMPILER_TARGET x86_64-windows-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
