// SPDX-License-Identifier: MIT
// The command lines of the three programs people run, as processes: the
// version line, help of one screen on standard output, and one line naming
// a bad option.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/processes.h"

namespace scanbridge::testing {
namespace {

struct command_case {
  std::string name;
  std::vector<std::string> argv;
  int status;
  std::string out;  // what standard output begins with
  std::string err;  // all of standard error
};
using testing::PrintTo;

class CommandLine : public ::testing::TestWithParam<command_case> {};

TEST_P(CommandLine, AnswersAsTheGnuConventionsSay) {
  const command_case& c = GetParam();
  if (c.argv.front().empty()) GTEST_SKIP() << "not built";
  spawned_process program(c.argv);
  const exit_status status = program.finish();
  const std::string out = program.stdout_text();
  EXPECT_EQ(status, exited(c.status));
  EXPECT_EQ(out.substr(0, c.out.size()), c.out) << out;
  EXPECT_EQ(program.stderr_text(), c.err);
  // Help fits one screen; the details are in the manual pages.
  const std::vector<std::string> lines = lines_of(out);
  EXPECT_LE(lines.size(), 40u) << out;
  for (const std::string& line : lines) EXPECT_LE(line.size(), 80u) << line;
}

std::vector<command_case> cases() {
  const std::string version = SCANBRIDGE_VERSION;
  struct program {
    std::string name;
    std::string path;
    std::string needs_value;  // an option that takes a value
    std::string usage;        // how --help begins
  };
  const program programs[] = {{"scanclient", scanclient_binary(), "-o", "Usage:"},
                              {"scanemu", scanemu_binary(), "--port", "Usage:"},
                              {"scanbench", SCANBENCH_BINARY, "--plot", "usage:"}};
  std::vector<command_case> all;
  for (const program& p : programs) {
    const std::string hint = "; try '" + p.name + " --help'\n";
    const std::string line = p.name + " " + version + "\n";
    all.push_back({p.name + "_version", {p.path, "--version"}, 0, line, ""});
    all.push_back({p.name + "_short_version", {p.path, "-V"}, 0, line, ""});
    all.push_back({p.name + "_help", {p.path, "--help"}, 0, p.usage, ""});
    all.push_back({p.name + "_bogus",
                   {p.path, "--bogus"},
                   2,
                   "",
                   p.name + ": unknown option '--bogus'" + hint});
    all.push_back({p.name + "_no_value",
                   {p.path, p.needs_value},
                   2,
                   "",
                   p.name + ": option '" + p.needs_value + "' needs a value" + hint});
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(Programs, CommandLine, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<command_case>& param) {
                           return param.param.name;
                         });

}  // namespace
}  // namespace scanbridge::testing
