# SPDX-License-Identifier: MIT
# Unit tests of scanclient's library and of the shared tool support;
# included from tests/tools/CMakeLists.txt.
add_executable(scanclient_test
  ${CMAKE_CURRENT_LIST_DIR}/scanclient_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tool_support_test.cpp
)
target_link_libraries(scanclient_test PRIVATE scanclient_lib GTest::gtest_main)
gtest_discover_tests(scanclient_test DISCOVERY_TIMEOUT 30 NO_PRETTY_VALUES)
