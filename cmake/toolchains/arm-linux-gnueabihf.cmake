# SPDX-License-Identifier: MIT
# Cross build for 32-bit Arm Linux with hardware floating point (Debian's
# armhf) with g++-arm-linux-gnueabihf; the results run under qemu-arm. Used by
# scripts/cross-test.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(triple arm-linux-gnueabihf)
set(qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
