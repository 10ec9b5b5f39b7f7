# SPDX-License-Identifier: MIT
# Cross build for little-endian 64-bit POWER Linux (Debian's ppc64el) with
# g++-powerpc64le-linux-gnu; the results run under qemu-ppc64le. Used by
# scripts/cross-test.
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(triple powerpc64le-linux-gnu)
set(qemu qemu-ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
