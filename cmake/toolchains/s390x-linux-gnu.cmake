# SPDX-License-Identifier: MIT
# Cross build for s390x Linux with Debian's cross compiler (g++-s390x-linux-gnu);
# the results run under qemu-user (qemu-s390x). Used by scripts/cross-test.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(triple s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# CTest and gtest_discover_tests run the test executables through qemu, which
# finds the target's C and C++ libraries under -L.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L /usr/${triple})
