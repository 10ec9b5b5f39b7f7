# SPDX-License-Identifier: MIT
# Cross build for i686 Linux with Debian's cross compiler (g++-i686-linux-gnu);
# the results run under qemu-user (qemu-i386). Used by scripts/cross-test.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(triple i686-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# Linked statically: qemu-i386 7.2 (Debian 12) hangs in pthread_create of a
# dynamically linked i386 program, while a static one runs. CTest and
# gtest_discover_tests run the test executables through qemu.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
