# SPDX-License-Identifier: MIT
# The emulator's tests. Included from this folder's CMakeLists.txt:
#   include(${CMAKE_CURRENT_SOURCE_DIR}/scanemu.cmake)
add_executable(scanemu_test
  ${CMAKE_CURRENT_LIST_DIR}/scanemu_test.cpp
)
target_link_libraries(scanemu_test PRIVATE scanemu_core GTest::gtest_main)
# One test runs the built emulator itself.
add_dependencies(scanemu_test scanemu)
target_compile_definitions(scanemu_test PRIVATE SCANEMU_PATH="$<TARGET_FILE:scanemu>"
  SCANEMU_MAN_PAGE="${PROJECT_SOURCE_DIR}/man/scanemu.1")
gtest_discover_tests(scanemu_test DISCOVERY_TIMEOUT 30 NO_PRETTY_VALUES)
