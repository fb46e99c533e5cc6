# The x86-64 wheel compiles the serial field and group arithmetic with the
# host's g++, the compiler of a source build: zig's clang schedules all 25
# products of a field multiplication ahead of their sums, spills them, and
# ran the serial backend 13-15 % slower. Everything else, and the link against
# glibc 2.17 with zig's static libc++, stays with zig. The objects need from a
# C++ runtime only operator new/delete and the unwinder, which libc++ and its
# unwinder provide under the same names (tests/wheel/check_wheel.py checks
# the module's imports). The aarch64 wheel keeps zig's clang throughout.
if(KESTROVA_ZIG AND CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(_default ON)
else()
  set(_default OFF)
endif()
option(KESTROVA_HOST_ARITHMETIC "Compile the field and group arithmetic with the host's g++ (x86-64 wheel)" ${_default})
if(KESTROVA_HOST_ARITHMETIC)
  find_program(KESTROVA_HOST_GXX NAMES g++ REQUIRED)
endif()

# kestrova_arithmetic_sources(OUT source...): the sources themselves, or, with
# KESTROVA_HOST_ARITHMETIC, the objects g++ makes of them with the flags a
# Release source build gives them.
function(kestrova_arithmetic_sources out)
  if(NOT KESTROVA_HOST_ARITHMETIC)
    set(${out} ${ARGN} PARENT_SCOPE)
    return()
  endif()
  set(defines)
  if(KESTROVA_VERIFY)
    list(APPEND defines -DKESTROVA_VERIFY)
  endif()
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/host-gxx")
  file(MAKE_DIRECTORY "${dir}")
  set(objects)
  foreach(source ${ARGN})
    get_filename_component(name "${source}" NAME_WE)
    set(object "${dir}/${name}.o")
    add_custom_command(
      OUTPUT "${object}"
      COMMAND "${KESTROVA_HOST_GXX}" -std=c++20 -O2 -fPIC -Wall -Wextra -Wpedantic -Werror ${defines}
              "-I${KESTROVA_SRC}" -MD -MT "${object}" -MF "${object}.d"
              -c "${CMAKE_CURRENT_SOURCE_DIR}/${source}" -o "${object}"
      DEPENDS "${source}"
      DEPFILE "${object}.d"
      COMMENT "g++ ${source}"
      VERBATIM)
    set_source_files_properties("${object}" PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
    list(APPEND objects "${object}")
  endforeach()
  set(${out} ${objects} PARENT_SCOPE)
endfunction()
