// SPDX-License-Identifier: MIT
#include "commands/command.h"

#include <gtest/gtest.h>

#include "tests/commands/command_testing.h"
#include "wire/codes.h"

namespace scanbridge {
namespace {

using namespace scanbridge::testing;

struct start_case {
  const char* name;
  bool is;
  int letter;
  int prefix;
  std::uint64_t reply_size;
  bytes chunk;
  action send_type;
  std::uint8_t reply_type;
};

class command_start : public ::testing::TestWithParam<start_case> {};

TEST_P(command_start, QueuesCommandBytesAndWaitsForScanner) {
  const start_case& c = GetParam();
  std::unique_ptr<command> cmd;
  if (c.is) {
    cmd = std::make_unique<command_is>(c.letter, c.prefix, c.reply_size);
  } else {
    cmd = std::make_unique<command>(c.letter, c.prefix);
  }
  EXPECT_EQ(cmd->state(), command::state::INITIAL);
  EXPECT_EQ(cmd->send_type(), c.send_type);
  EXPECT_EQ(cmd->reply_type(), c.reply_type);

  EXPECT_EQ(cmd->start(), c.send_type);
  EXPECT_EQ(cmd->state(), command::state::WAIT_SCANNER);
  ASSERT_EQ(cmd->size(), 1u);
  EXPECT_EQ(cmd->front().length, static_cast<std::int64_t>(c.chunk.size()));
  EXPECT_EQ(drain(*cmd), (std::vector<bytes>{c.chunk}));
}

INSTANTIATE_TEST_SUITE_P(
    all, command_start,
    ::testing::Values(
        start_case{"nt_esc", false, 0x40, ESC, 0, {0x1B, 0x40}, 0x01, 0x81},
        start_case{"nt_fs", false, 'X', FS, 0, {0x1C, 0x58}, 0x08, 0x88},
        start_case{"nt_ff_lone", false, 0, FF, 0, {0x0C}, 0x01, 0x81},
        start_case{"nt_fs_lone", false, 0, FS, 0, {0x1C}, 0x08, 0x88},
        start_case{"is_esc", true, 0x40, ESC, 1, {0, 0, 0, 2, 0, 0, 0, 1, 0x1B, 0x40}, 0x20, 0xA0},
        start_case{"is_fs", true, 'F', FS, 16, {0, 0, 0, 2, 0, 0, 0, 0x10, 0x1C, 0x46}, 0x20, 0xA0},
        start_case{"is_lone", true, 0, ESC, 1, {0, 0, 0, 1, 0, 0, 0, 1, 0x1B}, 0x20, 0xA0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(command, MatchingReplyIsQueuedAndFinishes) {
  command cmd(0x40, ESC);
  cmd.start();
  drain(cmd);
  EXPECT_EQ(reply(cmd, 0x81, {0x06}), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), command::state::FINISHED);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x06}}));
}

TEST(command, WrongReplyTypeFailsAndChangesNothing) {
  command cmd(0x40, ESC);
  cmd.start();
  EXPECT_EQ(reply(cmd, 0x82, {0x06}), ACTION_FAIL);
  EXPECT_EQ(cmd.state(), command::state::WAIT_SCANNER);
  // Only the command bytes are still queued.
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x1B, 0x40}}));
}

TEST(command, EmptyReplyQueuesEmptyChunk) {
  command cmd(0x40, ESC);
  cmd.start();
  drain(cmd);
  EXPECT_EQ(cmd.scanner_reply(0x81, nullptr, 0), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), command::state::FINISHED);
  ASSERT_EQ(cmd.size(), 1u);
  EXPECT_EQ(cmd.front().length, 0);
}

TEST(command, ClientDataAndCancelAreIgnored) {
  command cmd(0x40, ESC);
  cmd.start();
  const std::uint8_t b = 0x06;
  EXPECT_EQ(cmd.client_data(&b, 1), ACTION_IGNORED);
  EXPECT_EQ(cmd.cancel(), ACTION_IGNORED);
  EXPECT_EQ(cmd.state(), command::state::WAIT_SCANNER);
  EXPECT_EQ(cmd.size(), 1u);
}

TEST(command, FsCommandIsKeepsIsTypes) {
  command_is cmd('I', FS, 80);
  EXPECT_EQ(cmd.send_type(), packet_type::IS_ESC_THRU);
  EXPECT_EQ(cmd.reply_type(), packet_type::IS_REPLY);
  cmd.start();
  drain(cmd);
  EXPECT_EQ(reply(cmd, 0x88, {0x06}), ACTION_FAIL);
  EXPECT_EQ(reply(cmd, 0xA0, {0x06}), ACTION_ACCEPTED);
}

TEST(command_is, PushChunkWithoutBytesIsHeaderAlone) {
  command_is cmd(0, ESC, 0x0102030405ULL);  // only the low 32 bits travel
  cmd.push_chunk(nullptr, 0);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0, 0, 0, 0, 0x02, 0x03, 0x04, 0x05}}));
}

TEST(command_is, PushChunkFramesCopyOfBytes) {
  command_is cmd(0, ESC, 0x40);
  cmd.push_chunk(array_of(counting(300)), 300);
  EXPECT_EQ(drain(cmd),
            (std::vector<bytes>{cat({{0, 0, 0x01, 0x2C, 0, 0, 0, 0x40}, counting(300)})}));
}

TEST(command, DestroyingReleasesQueuedChunks) {
  // The sanitizer build checks that nothing leaks.
  auto cmd = std::make_unique<command_is>('F', FS, 16);
  cmd->start();
  cmd->push_chunk(array_of(counting(64)), 64);
  reply(*cmd, 0xA0, counting(16));
  EXPECT_EQ(cmd->size(), 3u);
  cmd.reset();
}

}  // namespace
}  // namespace scanbridge
