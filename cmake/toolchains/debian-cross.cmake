# SPDX-License-Identifier: MIT
# What the toolchain files share: Debian's cross compiler for ${triple} and
# the target's own headers and libraries. The including file sets triple,
# CMAKE_SYSTEM_PROCESSOR and qemu, the qemu-user program that runs the
# results, or sets CMAKE_CROSSCOMPILING_EMULATOR itself after the include.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)

# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest and gtest_discover_tests run the test executables through qemu, which
# finds the target's C and C++ libraries under -L.
if(DEFINED qemu)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${qemu} -L /usr/${triple})
endif()
