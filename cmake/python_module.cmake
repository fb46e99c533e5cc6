# Python extension modules of the wheel share one recipe.
#
# The stable-ABI floor comes from pyproject.toml (tool.scikit-build wheel.py-api,
# passed in as SKBUILD_SABI_VERSION), so the wheel's tag and the define move together.
set(KESTROVA_LIMITED_API "${SKBUILD_SABI_VERSION}" CACHE STRING
    "Oldest CPython (3.N) whose stable ABI the modules use; empty for the full API of this Python")
option(KESTROVA_STATIC_RUNTIME "Link the C++ runtime into the modules" ON)

# kestrova_add_python_module(NAME source...): a module that loads on every
# CPython from KESTROVA_LIMITED_API on, with no C++ runtime to find at run time.
function(kestrova_add_python_module name)
  if(KESTROVA_LIMITED_API)
    if(NOT KESTROVA_LIMITED_API MATCHES "^3\\.([0-9]+)$")
      message(FATAL_ERROR "KESTROVA_LIMITED_API must be 3.N, not '${KESTROVA_LIMITED_API}'")
    endif()
    math(EXPR hex "0x03000000 + (${CMAKE_MATCH_1} << 16)" OUTPUT_FORMAT HEXADECIMAL)
    Python_add_library(${name} MODULE ${ARGN})
    target_compile_definitions(${name} PRIVATE Py_LIMITED_API=${hex})
    set_target_properties(${name} PROPERTIES SUFFIX ".abi3.so")
  else()
    Python_add_library(${name} MODULE WITH_SOABI ${ARGN})
  endif()
  set_target_properties(${name} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  # The wheels' glibc floor (2.17) predates explicit_bzero (2.25): the module carries its own.
  if(KESTROVA_ZIG)
    target_sources(${name} PRIVATE ${KESTROVA_SRC}/ct/explicit_bzero.cpp)
  endif()
  # zig's clang links its libc++ statically anyway.
  if(KESTROVA_STATIC_RUNTIME AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_link_options(${name} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
  # Only PyInit_ is public; the archives linked in (the runtime among them) stay inside.
  set(script "${CMAKE_CURRENT_BINARY_DIR}/${name}.exports")
  file(WRITE "${script}" "{ global: PyInit_${name}; local: *; };\n")
  target_link_options(${name} PRIVATE "LINKER:--version-script=${script}")
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${script}")
endfunction()
