// SPDX-License-Identifier: MIT
#include "commands/command_param.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/commands/command_testing.h"
#include "wire/codes.h"

namespace scanbridge {
namespace {

using namespace scanbridge::testing;
using st = enum command::state;

// Every operation of a finished command is ignored and changes nothing.
void expect_finished_ignores_all(command& cmd) {
  ASSERT_EQ(cmd.state(), st::FINISHED);
  const std::size_t queued = cmd.size();
  EXPECT_EQ(cmd.start(), ACTION_IGNORED);
  EXPECT_EQ(send(cmd, {0x06}), ACTION_IGNORED);
  EXPECT_EQ(reply(cmd, cmd.reply_type(), bytes(8, 0)), ACTION_IGNORED);
  EXPECT_EQ(cmd.state(), st::FINISHED);
  EXPECT_EQ(cmd.size(), queued);
}

// command_param ---------------------------------------------------------

TEST(command_param, NtSettingAcknowledgedLocallyThenSentWithCommandBytes) {
  command_param cmd('e', ESC);
  EXPECT_EQ(cmd.start(), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), st::WAIT_CLIENT);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x06}}));

  EXPECT_EQ(send(cmd, {0x05}), 0x01);
  EXPECT_EQ(cmd.state(), st::WAIT_SCANNER);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x1B, 0x65, 0x05}}));

  EXPECT_EQ(reply(cmd, 0x81, {0x06}), ACTION_ACCEPTED);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x06}}));
  expect_finished_ignores_all(cmd);
}

TEST(command_param, FsPrefixUsesFsPacketTypes) {
  command_param cmd('W', FS);
  cmd.start();
  drain(cmd);
  EXPECT_EQ(send(cmd, {1, 2, 3}), 0x08);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x1C, 0x57, 1, 2, 3}}));
  EXPECT_EQ(reply(cmd, 0x81, {0x06}), ACTION_FAIL);
  EXPECT_EQ(reply(cmd, 0x88, {0x15}), ACTION_ACCEPTED);
  // A NAK from the scanner reaches the client unchanged.
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x15}}));
}

TEST(command_param, OutOfOrderCallsFailAndChangeNothing) {
  command_param cmd('p', ESC);
  EXPECT_EQ(reply(cmd, 0x81, {0x06}), ACTION_FAIL);  // INITIAL
  EXPECT_EQ(send(cmd, {1}), ACTION_FAIL);
  cmd.start();
  EXPECT_EQ(cmd.start(), ACTION_FAIL);
  EXPECT_EQ(reply(cmd, 0x81, {0x06}), ACTION_FAIL);  // WAIT_CLIENT
  EXPECT_EQ(cmd.state(), st::WAIT_CLIENT);
  drain(cmd);

  send(cmd, {1});
  EXPECT_EQ(send(cmd, {2}), ACTION_FAIL);  // second block while waiting
  EXPECT_EQ(reply(cmd, 0x82, {0x06}), ACTION_FAIL);
  EXPECT_EQ(cmd.state(), st::WAIT_SCANNER);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x1B, 0x70, 1}}));
}

// command_param_is ------------------------------------------------------

TEST(command_param_is, CommandThenAnswerThenParametersThenAnswer) {
  command_param_is cmd('A', ESC);
  EXPECT_EQ(cmd.reply_size(), 1u);
  EXPECT_EQ(cmd.start(), packet_type::IS_ESC_THRU);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0, 0, 0, 2, 0, 0, 0, 1, 0x1B, 0x41}}));

  EXPECT_EQ(reply(cmd, 0xA0, {0x06}), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), st::WAIT_CLIENT);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x06}}));

  const bytes params = counting(8, 0xF0);
  EXPECT_EQ(send(cmd, params), packet_type::IS_ESC_THRU);
  EXPECT_TRUE(cmd.params_sent());
  EXPECT_EQ(cmd.state(), st::WAIT_SCANNER);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{cat({{0, 0, 0, 8, 0, 0, 0, 1}, params})}));

  EXPECT_EQ(reply(cmd, 0xA0, {0x06}), ACTION_ACCEPTED);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x06}}));
  expect_finished_ignores_all(cmd);
}

TEST(command_param_is, FirstNakIsPassedOnAndParametersStillExpected) {
  command_param_is cmd('W', FS);
  cmd.start();
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0, 0, 0, 2, 0, 0, 0, 1, 0x1C, 0x57}}));
  EXPECT_EQ(reply(cmd, 0xA0, {0x15}), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), st::WAIT_CLIENT);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x15}}));
}

TEST(command_param_is, OutOfOrderCallsFailAndChangeNothing) {
  command_param_is cmd('B', ESC);
  EXPECT_EQ(send(cmd, {1}), ACTION_FAIL);  // INITIAL
  cmd.start();
  EXPECT_EQ(send(cmd, {1}), ACTION_FAIL);  // WAIT_SCANNER
  EXPECT_EQ(reply(cmd, 0x81, {0x06}), ACTION_FAIL);
  EXPECT_EQ(cmd.state(), st::WAIT_SCANNER);
  EXPECT_EQ(cmd.size(), 1u);
  drain(cmd);
  reply(cmd, 0xA0, {0x06});
  drain(cmd);
  EXPECT_EQ(reply(cmd, 0xA0, {0x06}), ACTION_FAIL);  // WAIT_CLIENT
  EXPECT_FALSE(cmd.params_sent());
  EXPECT_TRUE(cmd.empty());
}

// command_buf -----------------------------------------------------------

// The 1176-byte block with one flag and the parameters at offset.
bytes parameter_block(std::size_t flag_byte, std::size_t flag_bit, std::size_t offset,
                      const bytes& params) {
  bytes block(command_buf::BLOCK_SIZE, 0);
  block[flag_byte] = static_cast<std::uint8_t>(1u << flag_bit);
  std::copy(params.begin(), params.end(), block.begin() + static_cast<std::ptrdiff_t>(offset));
  return block;
}

bytes status_with(std::size_t byte, std::uint8_t value) {
  bytes s(8, 0);
  s[byte] = value;
  return s;
}

TEST(command_buf, ParametersFoldedIntoBlockSentWithoutCommandBytes) {
  command_buf cmd('A', 4, 2, 46, 8);
  EXPECT_EQ(cmd.prefix(), ESC);
  EXPECT_EQ(cmd.send_type(), 0x02);
  EXPECT_EQ(cmd.reply_type(), 0x82);
  EXPECT_EQ(cmd.start(), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), st::WAIT_CLIENT);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x06}}));

  const bytes params = counting(8, 0xA1);
  EXPECT_EQ(send(cmd, params), 2);
  EXPECT_EQ(cmd.state(), st::WAIT_SCANNER);
  ASSERT_EQ(cmd.size(), 1u);
  const bytes block = pop_front(cmd);
  EXPECT_EQ(block, parameter_block(4, 2, 46, params));
  EXPECT_EQ(block[4], 0x04);

  // Bits of other settings in the status do not matter.
  EXPECT_EQ(reply(cmd, 0x82, status_with(4, 0xFB)), ACTION_ACCEPTED);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x06}}));
  expect_finished_ignores_all(cmd);
}

TEST(command_buf, StatusBitSetAnswersNak) {
  command_buf cmd('H', 4, 1, 44, 2);
  cmd.start();
  send(cmd, {7, 8});
  drain(cmd);
  EXPECT_EQ(reply(cmd, 0x82, status_with(4, 0x02)), ACTION_ACCEPTED);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x15}}));
}

TEST(command_buf, StatusOfWrongLengthOrTypeFails) {
  command_buf cmd('D', 0, 0, 8, 1);
  cmd.start();
  send(cmd, {1});
  drain(cmd);
  EXPECT_EQ(reply(cmd, 0x82, bytes(7, 0)), ACTION_FAIL);
  EXPECT_EQ(reply(cmd, 0x82, bytes(9, 0)), ACTION_FAIL);
  EXPECT_EQ(reply(cmd, 0x81, bytes(8, 0)), ACTION_FAIL);
  EXPECT_EQ(send(cmd, {1}), ACTION_FAIL);
  EXPECT_EQ(cmd.state(), st::WAIT_SCANNER);
  EXPECT_TRUE(cmd.empty());
  EXPECT_EQ(reply(cmd, 0x82, bytes(8, 0)), ACTION_ACCEPTED);
}

class command_buf_wrong_size : public ::testing::TestWithParam<std::size_t> {};

TEST_P(command_buf_wrong_size, AnsweredWithAckAndNothingSent) {
  command_buf cmd('A', 4, 2, 46, 8);
  cmd.start();
  drain(cmd);
  EXPECT_EQ(send(cmd, counting(GetParam())), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), st::FINISHED);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x06}}));
}

INSTANTIATE_TEST_SUITE_P(all, command_buf_wrong_size, ::testing::Values(0u, 7u, 9u, 1176u));

struct colour_case {
  std::uint8_t choice;
  std::size_t flag_bit;
  std::size_t offset;
};

class command_buf_colour : public ::testing::TestWithParam<colour_case> {};

TEST_P(command_buf_colour, FirstByteChoosesTableAndFlag) {
  const colour_case& c = GetParam();
  command_buf cmd('z', 6, 0, 152, 256);
  cmd.start();
  drain(cmd);
  const bytes table = counting(256);
  EXPECT_EQ(send(cmd, cat({{c.choice}, table})), 2);
  EXPECT_EQ(cmd.flag_bit(), c.flag_bit);
  EXPECT_EQ(cmd.block_offset(), c.offset);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{parameter_block(6, c.flag_bit, c.offset, table)}));

  // Each colour answers on its own bit of byte 6; a neighbour's bit is not it.
  const auto own = static_cast<std::uint8_t>(1u << c.flag_bit);
  const auto other = static_cast<std::uint8_t>(0x0F & ~own);
  command_buf again('z', 6, 0, 152, 256);
  again.start();
  send(again, cat({{c.choice}, table}));
  drain(again);
  EXPECT_EQ(reply(again, 0x82, status_with(6, other)), ACTION_ACCEPTED);
  EXPECT_EQ(drain(again), (std::vector<bytes>{{0x06}}));

  EXPECT_EQ(reply(cmd, 0x82, status_with(6, own)), ACTION_ACCEPTED);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x15}}));
}

INSTANTIATE_TEST_SUITE_P(all, command_buf_colour,
                         ::testing::Values(colour_case{'r', 0, 152}, colour_case{'R', 0, 152},
                                           colour_case{'g', 1, 408}, colour_case{'G', 1, 408},
                                           colour_case{'b', 2, 664}, colour_case{'B', 2, 664},
                                           colour_case{'m', 3, 920}, colour_case{'M', 3, 920},
                                           // unknown: table of the unchanged bit 0
                                           colour_case{'x', 0, 152}, colour_case{'Z', 0, 152},
                                           colour_case{0x00, 0, 152}, colour_case{0xD2, 0, 152}));

TEST(command_buf, UnknownColourKeepsConstructedBitAndItsTable) {
  command_buf cmd('z', 6, 2, 152, 256);
  cmd.start();
  drain(cmd);
  const bytes table = counting(256);
  EXPECT_EQ(send(cmd, cat({{'?'}, table})), 2);
  EXPECT_EQ(cmd.flag_bit(), 2);
  EXPECT_EQ(cmd.block_offset(), 664);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{parameter_block(6, 2, 664, table)}));
}

TEST(command_buf, ColourTableOneByteShortAnsweredWithAck) {
  command_buf cmd('z', 6, 0, 152, 256);
  cmd.start();
  drain(cmd);
  EXPECT_EQ(send(cmd, cat({{'G'}, counting(255)})), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), st::FINISHED);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x06}}));
}

TEST(command_buf, ColourWithoutAnyByteAnsweredWithAck) {
  command_buf cmd('z', 6, 0, 152, 256);
  cmd.start();
  drain(cmd);
  EXPECT_EQ(cmd.client_data(nullptr, 0), ACTION_ACCEPTED);
  EXPECT_EQ(cmd.state(), st::FINISHED);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{{0x06}}));
}

TEST(command_buf, ColourByteOnlyReadForZ) {
  // 'm' has 9 parameter bytes and no colour byte: all 9 go into the block.
  command_buf cmd('m', 4, 3, 54, 9);
  cmd.start();
  drain(cmd);
  const bytes params = cat({{'G'}, counting(8)});
  EXPECT_EQ(send(cmd, params), 2);
  EXPECT_EQ(cmd.flag_bit(), 3);
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{parameter_block(4, 3, 54, params)}));
}

}  // namespace
}  // namespace scanbridge
