// SPDX-License-Identifier: MIT
// scanclient --trace: a readable transcript of every message of a scan, each
// with its direction and what it means.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>

#include "tests/e2e/processes.h"
#include "tests/e2e/scan_check.h"

namespace scanbridge::testing {
namespace {

class Trace : public ::testing::TestWithParam<const char*> {};

std::size_t count_of(const std::vector<std::string>& lines, const std::string& part) {
  return static_cast<std::size_t>(
      std::count_if(lines.begin(), lines.end(),
                    [&](const std::string& line) { return line.find(part) != std::string::npos; }));
}

TEST_P(Trace, WholeScanReadsAsATranscript) {
  emulator_process scanner(GetParam(), {"--block-size", "1000"});
  const temp_file image("traced.pnm");
  const client_result result =
      run_scanclient({"--trace", "scan", scanner.uri(), "--output", image.path(), "--width", "64",
                      "--height", "48", "--grey", "--resolution", "150"});
  ASSERT_EQ(result.status, exited(0)) << result;

  // Standard error is the transcript alone: every line a time stamp, the
  // direction, the message.
  const std::vector<std::string> lines = lines_of(result.err);
  const std::regex form(R"(\[ *[0-9]+\.[0-9]{3} ms\] (->|<-) .*)");
  for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, form)) << line;

  const auto has = [&](const std::string& part) {
    EXPECT_EQ(count_of(lines, part), 1u) << "once: " << part << "\n" << result.err;
  };
  has("-> OPEN id=0 len=" + std::to_string(scanner.uri().size()) + "  \"" + scanner.uri() + "\"");
  has("<- reply id=1 status=0 len=0  device opened, id=1");
  has("-> DATA id=1 len=2  1B 43  ESC C (colour mode)");
  has("-> DATA id=1 len=1  00  ESC C parameters: colour=grey");
  has("<- reply id=1 status=0 len=1  06  ESC C parameters: ACK");
  has("-> DATA id=1 len=4  96 00 96 00  ESC R parameters: resolution=150x150 dpi");
  has("-> DATA id=1 len=8  00 00 00 00 40 00 30 00  ESC A parameters: left=0 top=0 width=64 "
      "height=48");
  has("-> DATA id=1 len=2  1C 47  FS G (start scan)");
  has("<- reply id=1 status=0 len=14  02 00 E8 03 00 00 03 00 00 00 48 00 00 00  info block: "
      "status=0x00 block_size=1000 count=3 last=72 (3072 image bytes)");
  has("block 1/4: 1000 image bytes, status 0x00");
  has("block 3/4: 1000 image bytes, status 0x00");
  has("<- reply id=1 status=0 len=73  ");
  has("block 4/4: 72 image bytes, status 0x00");
  has("-> CLOSE id=1 len=0");
  EXPECT_EQ(count_of(lines, "<- reply id=1 status=0 len=1001  "), 3u) << result.err;
  // One ACK for every block but the last, each after the block it answers.
  EXPECT_EQ(count_of(lines, "-> DATA id=1 len=1  06  ACK (next block)"), 3u) << result.err;
  const auto at = [&](const std::string& part) {
    return std::find_if(
               lines.begin(), lines.end(),
               [&](const std::string& line) { return line.find(part) != std::string::npos; }) -
           lines.begin();
  };
  EXPECT_LT(at("FS G (start scan)"), at("info block:"));
  EXPECT_LT(at("info block:"), at("block 1/4:"));
  EXPECT_LT(at("block 1/4:"), at("ACK (next block)"));
  EXPECT_LT(at("block 4/4:"), at("-> CLOSE"));
  EXPECT_EQ(count_of(lines, "sync"), 0u) << "a healthy scan needs no sync";
}

TEST_P(Trace, ProbeShowsTheVariableReplies) {
  emulator_process scanner(GetParam());
  const client_result result = run_scanclient({"--trace", "probe", scanner.uri()});
  ASSERT_EQ(result.status, exited(0)) << result;
  const std::vector<std::string> lines = lines_of(result.err);
  const std::string variant = std::string(GetParam()) == "nt" ? "NT" : "IS";
  EXPECT_EQ(count_of(lines, "-> DATA id=1 len=2  1B 49  ESC I (identity)"), 1u) << result.err;
  EXPECT_EQ(
      count_of(lines, "<- reply id=1 status=0 len=4  02 00 0E 00  head: STX status=0x00 length=14"),
      1u)
      << result.err;
  EXPECT_EQ(count_of(lines, "data: \"scanemu " + variant + " 1.2\""), 1u) << result.err;
  EXPECT_NE(result.out.find("identity"), std::string::npos) << result;
}

INSTANTIATE_TEST_SUITE_P(BothVariants, Trace, ::testing::Values("nt", "is"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                           return std::string(param.param);
                         });

}  // namespace
}  // namespace scanbridge::testing
