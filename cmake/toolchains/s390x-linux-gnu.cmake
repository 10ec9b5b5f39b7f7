# SPDX-License-Identifier: MIT
# Cross build for s390x Linux with Debian's cross compiler (g++-s390x-linux-gnu);
# the results run under qemu-user (qemu-s390x). Used by scripts/cross-test.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)

set(triple s390x-linux-gnu)
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
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L /usr/${triple})
