# Wheels for x86_64 Linux with glibc 2.17 or newer.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KESTROVA_ZIG_TARGET x86_64-linux-gnu.2.17)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
