# SPDX-License-Identifier: MIT
# Cross build for 64-bit RISC-V Linux (Debian's riscv64) with
# g++-riscv64-linux-gnu; the results run under qemu-riscv64. Used by
# scripts/cross-test.
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(triple riscv64-linux-gnu)
set(qemu qemu-riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
