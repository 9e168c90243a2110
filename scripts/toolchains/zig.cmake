# What every zig target shares (scripts/cross), included by its toolchain
# file after the system, processor and target are set.
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
# CMake's checks compile without linking: a linked test program would have
# zig build its C and C++ runtimes first, minutes for nothing (they are built
# once, at the first real link).
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
