# SPDX-License-Identifier: MIT
# Cross build for 64-bit Arm Linux (Debian's arm64) with g++-aarch64-linux-gnu;
# the results run under qemu-aarch64. Used by scripts/cross-test.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(triple aarch64-linux-gnu)
set(qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
