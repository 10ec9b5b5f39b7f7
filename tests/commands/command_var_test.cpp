// SPDX-License-Identifier: MIT
#include "commands/command_var.h"

#include <gtest/gtest.h>

#include "tests/commands/command_testing.h"
#include "wire/codes.h"

namespace scanbridge {
namespace {

using namespace scanbridge::testing;
using st = enum command::state;

// command_var -----------------------------------------------------------

struct split_case {
  const char* name;
  std::size_t size;
};

class command_var_split : public ::testing::TestWithParam<split_case> {};

TEST_P(command_var_split, ReplySplitIntoHeadAndData) {
  command_var cmd('I', ESC);
  EXPECT_EQ(cmd.start(), 0x01);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x1B, 0x49}}));

  const bytes answer = counting(GetParam().size);
  EXPECT_EQ(reply(cmd, 0x81, answer), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), st::FINISHED);
  ASSERT_EQ(cmd.size(), 2u);
  EXPECT_EQ(pop_front(cmd), bytes(answer.begin(), answer.begin() + 4));
  EXPECT_EQ(pop_front(cmd), bytes(answer.begin() + 4, answer.end()));
}

INSTANTIATE_TEST_SUITE_P(all, command_var_split,
                         ::testing::Values(split_case{"head_only", 4}, split_case{"one_byte", 5},
                                           split_case{"long", 1000}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(command_var, HeadOnlyReplyGivesEmptySecondChunk) {
  command_var cmd('f', ESC);
  cmd.start();
  drain(cmd);
  reply(cmd, 0x81, {0x02, 0x00, 0x00, 0x00});
  ASSERT_EQ(cmd.size(), 2u);
  cmd.pop();
  EXPECT_EQ(cmd.front().length, 0);
}

TEST(command_var, ShortReplyFailsAndChangesNothing) {
  for (std::size_t n = 0; n < 4; ++n) {
    command_var cmd('q', ESC);
    cmd.start();
    drain(cmd);
    EXPECT_EQ(reply(cmd, 0x81, counting(n)), ACTION_FAIL) << n;
    EXPECT_EQ(cmd.state(), st::WAIT_SCANNER);
    EXPECT_TRUE(cmd.empty());
  }
}

TEST(command_var, WrongTypeStateAndFinished) {
  command_var cmd('I', ESC);
  EXPECT_EQ(reply(cmd, 0x81, counting(4)), ACTION_FAIL);  // INITIAL
  cmd.start();
  drain(cmd);
  EXPECT_EQ(reply(cmd, 0x88, counting(4)), ACTION_FAIL);
  EXPECT_EQ(send(cmd, {0x06}), ACTION_IGNORED);  // the base client_data
  EXPECT_EQ(cmd.state(), st::WAIT_SCANNER);
  EXPECT_TRUE(cmd.empty());
  EXPECT_EQ(cmd.start(), ACTION_FAIL);
  EXPECT_TRUE(cmd.empty());
  reply(cmd, 0x81, counting(6));
  EXPECT_EQ(reply(cmd, 0x81, counting(6)), ACTION_IGNORED);
  EXPECT_EQ(cmd.start(), ACTION_IGNORED);
  EXPECT_EQ(cmd.size(), 2u);
}

// command_var_is --------------------------------------------------------

TEST(command_var_is, HeadThenDataRequestedByHeadCount) {
  command_var_is cmd('I', ESC);
  EXPECT_EQ(cmd.start(), packet_type::IS_ESC_THRU);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0, 0, 0, 2, 0, 0, 0, 4, 0x1B, 0x49}}));

  const bytes head = {0x02, 0x80, 0x10, 0x00};  // 16 data bytes
  EXPECT_EQ(reply(cmd, 0xA0, head), packet_type::IS_ESC_THRU);
  EXPECT_EQ(cmd.state(), st::WAIT_SCANNER);
  EXPECT_EQ(cmd.reply_size(), 16u);
  EXPECT_NE(cmd.head(), nullptr);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0, 0, 0, 0, 0, 0, 0, 0x10}}));

  const bytes data = counting(16);
  EXPECT_EQ(reply(cmd, 0xA0, data), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), st::FINISHED);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{head, data}));
  EXPECT_EQ(reply(cmd, 0xA0, data), ACTION_IGNORED);
  EXPECT_EQ(cmd.start(), ACTION_IGNORED);
  EXPECT_TRUE(cmd.empty());
}

TEST(command_var_is, HeadCountIsLittleEndianSixteenBits) {
  command_var_is cmd('!', ESC);
  cmd.start();
  drain(cmd);
  reply(cmd, 0xA0, {0xFF, 0xFF, 0x34, 0x12});
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0, 0, 0, 0, 0, 0, 0x12, 0x34}}));
}

TEST(command_var_is, FirstReplyNotFourBytesFinishesWithFail) {
  for (std::size_t n : {0u, 3u, 5u}) {
    command_var_is cmd('i', ESC);
    cmd.start();
    drain(cmd);
    EXPECT_EQ(reply(cmd, 0xA0, counting(n)), ACTION_FAIL) << n;
    EXPECT_EQ(cmd.state(), st::FINISHED);
    EXPECT_TRUE(cmd.empty());
  }
}

TEST(command_var_is, WrongTypeOrStateFailsAndChangesNothing) {
  command_var_is cmd('q', ESC);
  EXPECT_EQ(reply(cmd, 0xA0, counting(4)), ACTION_FAIL);  // INITIAL
  cmd.start();
  drain(cmd);
  EXPECT_EQ(reply(cmd, 0x81, counting(4)), ACTION_FAIL);
  EXPECT_EQ(cmd.start(), ACTION_FAIL);
  EXPECT_TRUE(cmd.empty());
  EXPECT_EQ(cmd.head(), nullptr);
  EXPECT_EQ(cmd.state(), st::WAIT_SCANNER);
  reply(cmd, 0xA0, counting(4));
  drain(cmd);
  EXPECT_EQ(reply(cmd, 0x81, counting(4)), ACTION_FAIL);
  EXPECT_TRUE(cmd.empty());
}

TEST(command_var_is, HeadNeverQueuedIsReleased) {
  // The sanitizer build checks the kept head does not leak.
  auto cmd = std::make_unique<command_var_is>('f', ESC);
  cmd->start();
  reply(*cmd, 0xA0, {1, 2, 3, 4});
  cmd.reset();
}

}  // namespace
}  // namespace scanbridge
