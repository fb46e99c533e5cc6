# Wheels for aarch64 Linux with glibc 2.17 or newer.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KESTROVA_ZIG_TARGET aarch64-linux-gnu.2.17)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
