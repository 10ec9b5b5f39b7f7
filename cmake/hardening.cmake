# SPDX-License-Identifier: MIT
# The hardening a distribution builds its daemons with: fortified C library
# calls, stack protection, stack-clash protection, control-flow protection on
# x86-64, position-independent executables, read-only relocations bound at
# start, and no needless library dependencies.
#
# A builder who passes compiler flags of their own (CXXFLAGS, e.g. from
# dpkg-buildflags, or CMAKE_CXX_FLAGS as the fuzz preset does) has chosen
# them: then none of this is added. Each flag is checked first, because a
# cross compiler may lack one.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckLinkerFlag)
include(CheckPIESupported)

if(NOT CMAKE_CXX_FLAGS STREQUAL "")
  message(STATUS "Hardening flags: left to CMAKE_CXX_FLAGS (${CMAKE_CXX_FLAGS})")
  return()
endif()

# Position-independent executables, so that address-space layout
# randomisation moves the program too.
check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

# _FORTIFY_SOURCE needs optimisation, so it goes to the optimising build types
# only (the Debug build of the sanitizers is left as it is). Level 3 where the
# compiler has __builtin_dynamic_object_size (GCC 12, clang 9), else 2; the C
# library warns about a level it cannot give, which the check turns into a
# failure. -U first: some compilers define a level of their own.
set(CMAKE_REQUIRED_FLAGS "-O2 -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3 -Werror")
check_cxx_source_compiles("#include <cstring>\nint main() { return 0; }" SCANBRIDGE_HAVE_FORTIFY_3)
unset(CMAKE_REQUIRED_FLAGS)
if(SCANBRIDGE_HAVE_FORTIFY_3)
  set(fortify_level 3)
else()
  set(fortify_level 2)
endif()
add_compile_options(
  "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=${fortify_level}>")

set(hardening_compile_flags -fstack-protector-strong -fstack-clash-protection)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  list(APPEND hardening_compile_flags -fcf-protection)
endif()
set(applied "_FORTIFY_SOURCE=${fortify_level} (optimising builds)" PIE)
foreach(flag IN LISTS hardening_compile_flags)
  string(MAKE_C_IDENTIFIER "SCANBRIDGE_HAVE${flag}" have)
  check_cxx_compiler_flag(${flag} ${have})
  if(${have})
    add_compile_options(${flag})
    list(APPEND applied ${flag})
  endif()
endforeach()

# Relocations read-only after start (RELRO) and resolved at start (BIND_NOW),
# and only the libraries an executable really uses.
foreach(flag "LINKER:-z,relro,-z,now" "LINKER:--as-needed")
  string(MAKE_C_IDENTIFIER "SCANBRIDGE_HAVE_${flag}" have)
  check_linker_flag(CXX "${flag}" ${have})
  if(${have})
    add_link_options("${flag}")
    list(APPEND applied "${flag}")
  endif()
endforeach()
list(JOIN applied ", " applied)
message(STATUS "Hardening flags: ${applied}")
