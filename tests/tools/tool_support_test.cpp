// SPDX-License-Identifier: MIT
// Tests of what the tools share (tools/common): reading the port line that
// a started bridge, emulator or relay prints first.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tools/common/port_line.h"
#include "tools/common/unique_fd.h"

namespace scanbridge::tools {
namespace {

TEST(PortLine, WhatTheFirstLineSays) {
  struct row {
    std::string output;  // written to the pipe, which then closes unless it ends in '+'
    port_line result;
    std::string said;  // the port, or the error
  };
  const row rows[] = {
      {"40123\n", port_line::PORT, "40123"},
      {"1\r\nmore after the line", port_line::PORT, "1"},
      {"-1\n", port_line::NO_START, "announced port -1: it failed to start"},
      {"0\n", port_line::NOT_A_PORT, "announced no usable port (0)"},
      {"70000\n", port_line::NOT_A_PORT, "announced no usable port (70000)"},
      {"hello\n", port_line::NOT_A_PORT, "printed \"hello\" where its port was due"},
      {"\n", port_line::NOT_A_PORT, "printed \"\" where its port was due"},
      {std::string(70, '7'), port_line::NOT_A_PORT,
       "printed \"" + std::string(64, '7') + "...\" where its port was due"},
      {"401", port_line::ENDED, "ended its output before announcing its port"},
      {"401+", port_line::TIMEOUT, "did not announce its port within 0.05 s"},
  };
  for (const row& r : rows) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const unique_fd reader(ends[0]);
    unique_fd writer(ends[1]);
    const bool stays_open = !r.output.empty() && r.output.back() == '+';
    const std::string text = stays_open ? r.output.substr(0, r.output.size() - 1) : r.output;
    ASSERT_EQ(::write(writer.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
    if (!stays_open) writer.reset();
    int port = 0;
    std::string error;
    std::string buffer;
    EXPECT_EQ(read_port_line(reader.get(), std::chrono::milliseconds(50), &port, &error, &buffer),
              r.result)
        << r.output;
    EXPECT_EQ(r.result == port_line::PORT ? std::to_string(port) : error, r.said) << r.output;
  }
}

}  // namespace
}  // namespace scanbridge::tools
