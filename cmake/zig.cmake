# Cross toolchain for the wheels: zig's clang against an old glibc, with its
# libc++ linked in statically. Included by cmake/zig-<arch>.cmake, which set
# KESTROVA_ZIG_TARGET (e.g. x86_64-linux-gnu.2.17) and CMAKE_SYSTEM_PROCESSOR.
#
# zig comes from the ziglang package of the Python running the build
# (Python_EXECUTABLE, else python3 on PATH), or from -DKESTROVA_ZIG=/path/to/zig.
set(CMAKE_SYSTEM_NAME Linux)

if(NOT KESTROVA_ZIG)
  if(Python_EXECUTABLE)
    set(_python "${Python_EXECUTABLE}")
  else()
    find_program(_python NAMES python3 REQUIRED)
  endif()
  execute_process(
    COMMAND "${_python}" -c "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))"
    OUTPUT_VARIABLE KESTROVA_ZIG OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _failed)
  if(_failed OR NOT EXISTS "${KESTROVA_ZIG}")
    message(FATAL_ERROR "the zig toolchain needs the ziglang package (pip install ziglang) in ${_python}")
  endif()
endif()
# CMake's own test projects read this file again, without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTROVA_ZIG)

# CMake wants one executable per tool: small wrappers, rewritten on each run.
set(_wrappers "${CMAKE_BINARY_DIR}/zig-${KESTROVA_ZIG_TARGET}")
foreach(_tool c++ ar ranlib)
  if(_tool STREQUAL "c++")
    set(_args "c++ -target ${KESTROVA_ZIG_TARGET}")
  else()
    set(_args "${_tool}")
  endif()
  file(WRITE "${_wrappers}/${_tool}" "#!/bin/sh\nexec \"${KESTROVA_ZIG}\" ${_args} \"$@\"\n")
  file(CHMOD "${_wrappers}/${_tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
       WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_CXX_COMPILER "${_wrappers}/c++")
set(CMAKE_AR "${_wrappers}/ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${_wrappers}/ranlib" CACHE FILEPATH "" FORCE)

# CMake's compiler checks compile only: linking a test program would make zig
# build its C++ runtime once more, for executables.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# zig keeps the frame pointer by default; the field arithmetic wants the register (as with GCC).
set(CMAKE_CXX_FLAGS_INIT "-fomit-frame-pointer")

# A wheel carries no debug information.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")
