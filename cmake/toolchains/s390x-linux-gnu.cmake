# SPDX-License-Identifier: MIT
# Cross build for s390x Linux (64-bit, big-endian) with g++-s390x-linux-gnu;
# the results run under qemu-s390x. Used by scripts/cross-test.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(triple s390x-linux-gnu)
set(qemu qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
