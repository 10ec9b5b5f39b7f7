// SPDX-License-Identifier: MIT
#include "commands/factory.h"

#include <gtest/gtest.h>

#include <typeinfo>

#include "commands/command_param.h"
#include "commands/command_scan.h"
#include "commands/command_var.h"
#include "tests/commands/command_testing.h"
#include "wire/codes.h"

namespace scanbridge {
namespace {

using namespace scanbridge::testing;

enum class kind { NONE, COMMAND, COMMAND_IS, PARAM, PARAM_IS, BUF, VAR, VAR_IS, SCAN, SCAN_IS };

const std::type_info& type_of(kind k) {
  switch (k) {
    case kind::COMMAND:
      return typeid(command);
    case kind::COMMAND_IS:
      return typeid(command_is);
    case kind::PARAM:
      return typeid(command_param);
    case kind::PARAM_IS:
      return typeid(command_param_is);
    case kind::BUF:
      return typeid(command_buf);
    case kind::VAR:
      return typeid(command_var);
    case kind::VAR_IS:
      return typeid(command_var_is);
    case kind::SCAN:
      return typeid(command_scan);
    case kind::SCAN_IS:
      return typeid(command_scan_is);
    case kind::NONE:
      break;
  }
  return typeid(void);
}

bool is_variant(kind k) {
  return k == kind::COMMAND_IS || k == kind::PARAM_IS || k == kind::VAR_IS || k == kind::SCAN_IS;
}

// One table row. keeps_prefix: the translator carries the prefix as passed,
// otherwise ESC (or FS in the FS table). reply_size is read for IS classes;
// the four buffer numbers for command_buf only.
struct row {
  int letter;
  kind k;
  bool keeps_prefix = false;
  std::uint64_t reply_size = 0;
  std::uint8_t flag_byte = 0, flag_bit = 0;
  std::uint16_t block_offset = 0, param_size = 0;
};

row buf(int letter, std::uint8_t fb, std::uint8_t bit, std::uint16_t off, std::uint16_t n) {
  return row{letter, kind::BUF, false, 0, fb, bit, off, n};
}

// Letters no table lists, among them 0, bytes above 0x7F passed as negative
// ints, and letters that mean something only in the other table.
const int UNLISTED_ESC[] = {0, 'E', 'X', 'Y', 'a', 'W', 'S', 0x7F, -31, -128};
const int UNLISTED_FS[] = {0, 'X', 'Y', 'Z', 'A', 'e', 'z', '!', -31, -128};

const row NT_ESC[] = {
    {'!', kind::NONE},       buf('A', 4, 2, 46, 8), buf('B', 2, 0, 24, 1),
    buf('C', 0, 1, 9, 1),    buf('D', 0, 0, 8, 1),  {'F', kind::COMMAND, true},
    {'G', kind::SCAN, true}, buf('H', 4, 1, 44, 2), {'I', kind::VAR},
    buf('K', 0, 2, 10, 1),   buf('L', 1, 0, 16, 1), buf('M', 2, 2, 26, 1),
    buf('N', 3, 3, 35, 1),   buf('Q', 1, 2, 18, 1), buf('R', 4, 0, 40, 4),
    buf('Z', 1, 1, 17, 1),   buf('d', 3, 1, 33, 1), {'e', kind::PARAM},
    {'f', kind::VAR},        buf('g', 3, 0, 32, 1), {'i', kind::COMMAND, true},
    buf('m', 4, 3, 54, 9),   {'p', kind::PARAM},    {'q', kind::VAR},
    buf('s', 2, 1, 25, 1),   buf('t', 2, 3, 27, 1), buf('z', 6, 0, 152, 256),
};

const row NT_FS[] = {
    {'F', kind::COMMAND}, {'G', kind::SCAN},  {'I', kind::COMMAND},
    {'S', kind::COMMAND}, {'W', kind::PARAM},
};

const row IS_ESC[] = {
    {'!', kind::VAR_IS, false, 4},    {'A', kind::PARAM_IS, false, 1},
    {'B', kind::PARAM_IS, false, 1},  {'C', kind::PARAM_IS, false, 1},
    {'D', kind::PARAM_IS, false, 1},  {'F', kind::COMMAND_IS, true, 4},
    {'G', kind::COMMAND_IS, true, 1}, {'H', kind::PARAM_IS, false, 1},
    {'I', kind::VAR_IS, false, 4},    {'K', kind::PARAM_IS, false, 1},
    {'L', kind::PARAM_IS, false, 1},  {'M', kind::PARAM_IS, false, 1},
    {'N', kind::PARAM_IS, false, 1},  {'Q', kind::PARAM_IS, false, 1},
    {'R', kind::PARAM_IS, false, 1},  {'Z', kind::PARAM_IS, false, 1},
    {'d', kind::PARAM_IS, false, 1},  {'e', kind::PARAM_IS, false, 1},
    {'f', kind::VAR_IS, false, 4},    {'g', kind::PARAM_IS, false, 1},
    {'i', kind::VAR_IS, false, 4},    {'m', kind::PARAM_IS, false, 1},
    {'p', kind::PARAM_IS, false, 1},  {'q', kind::VAR_IS, false, 4},
    {'s', kind::PARAM_IS, false, 1},  {'t', kind::PARAM_IS, false, 1},
    {'z', kind::PARAM_IS, false, 1},
};

const row IS_FS[] = {
    {'F', kind::COMMAND_IS, false, 16}, {'G', kind::SCAN_IS, false, 14},
    {'I', kind::COMMAND_IS, false, 80}, {'S', kind::COMMAND_IS, false, 64},
    {'W', kind::PARAM_IS, false, 1},
};

std::uint8_t expected_prefix(const row& r, int prefix) {
  if (static_cast<std::uint8_t>(prefix) == FS) return FS;
  return r.keeps_prefix ? static_cast<std::uint8_t>(prefix) : ESC;
}

void expect_types(const command& cmd, kind k) {
  std::uint16_t send = 0;
  std::uint8_t reply = 0;
  switch (k) {
    case kind::BUF:
      send = 0x02, reply = 0x82;
      break;
    case kind::SCAN:
      send = 0x08, reply = 0x89;
      break;
    case kind::COMMAND:
    case kind::PARAM:
    case kind::VAR:
      send = cmd.prefix() == FS ? 0x08 : 0x01;
      reply = cmd.prefix() == FS ? 0x88 : 0x81;
      break;
    default:
      send = packet_type::IS_ESC_THRU, reply = packet_type::IS_REPLY;
      break;
  }
  EXPECT_EQ(cmd.send_type(), send);
  EXPECT_EQ(cmd.reply_type(), reply);
}

std::uint64_t reply_size_of(const command& cmd) {
  if (auto* c = dynamic_cast<const command_is*>(&cmd)) return c->reply_size();
  if (auto* c = dynamic_cast<const command_scan_is*>(&cmd)) return c->reply_size();
  ADD_FAILURE() << "no reply size";
  return 0;
}

// The block a command_buf builds from param_size client bytes (for 'z' behind
// a byte that chooses no colour) shows its four numbers.
void expect_block(command_buf& cmd, const row& r) {
  EXPECT_EQ(cmd.flag_byte(), r.flag_byte);
  EXPECT_EQ(cmd.flag_bit(), r.flag_bit);
  EXPECT_EQ(cmd.block_offset(), r.block_offset);
  EXPECT_EQ(cmd.param_size(), r.param_size);
  cmd.start();
  drain(cmd);
  const bytes params = counting(r.param_size, 0x80);
  send(cmd, r.letter == 'z' ? cat({{0}, params}) : params);
  ASSERT_EQ(cmd.size(), 1u);
  const bytes block = pop_front(cmd);
  bytes expected(command_buf::BLOCK_SIZE, 0);
  expected[r.flag_byte] = static_cast<std::uint8_t>(1u << r.flag_bit);
  std::copy(params.begin(), params.end(), expected.begin() + r.block_offset);
  EXPECT_EQ(block, expected);
}

// The command bytes each translator sends first, as the scanner sees them.
void expect_first_chunk(command& cmd, kind k, std::uint64_t reply_size) {
  if (k == kind::BUF || k == kind::PARAM) {
    EXPECT_EQ(cmd.start(), ACTION_ACCEPTED);
    EXPECT_EQ(drain(cmd), (std::vector<bytes>{{ACK}}));  // the bridge's own ACK
    return;
  }
  bytes wire = cmd.letter() == 0 ? bytes{cmd.prefix()} : bytes{cmd.prefix(), cmd.letter()};
  if (is_variant(k)) {
    const auto n = static_cast<std::uint8_t>(wire.size());
    wire = cat({{0, 0, 0, n, 0, 0, 0, static_cast<std::uint8_t>(reply_size)}, wire});
  }
  EXPECT_EQ(cmd.start(), cmd.send_type());
  EXPECT_EQ(drain(cmd), (std::vector<bytes>{wire}));
}

void check(std::unique_ptr<command> (*factory)(int, int), const row& r, int prefix) {
  SCOPED_TRACE(::testing::Message() << "letter " << r.letter << " prefix " << prefix);
  std::unique_ptr<command> cmd = factory(r.letter, prefix);
  if (r.k == kind::NONE) {
    EXPECT_EQ(cmd, nullptr);
    return;
  }
  ASSERT_NE(cmd, nullptr);
  EXPECT_EQ(typeid(*cmd), type_of(r.k));
  EXPECT_EQ(cmd->letter(), static_cast<std::uint8_t>(r.letter));
  EXPECT_EQ(cmd->prefix(), expected_prefix(r, prefix));
  EXPECT_EQ(cmd->state(), command::state::INITIAL);
  EXPECT_TRUE(cmd->empty());
  expect_types(*cmd, r.k);
  if (is_variant(r.k)) {
    EXPECT_EQ(reply_size_of(*cmd), r.reply_size);
  }
  if (r.k == kind::BUF) {
    expect_block(dynamic_cast<command_buf&>(*cmd), r);
  } else {
    expect_first_chunk(*cmd, r.k, r.reply_size);
  }
}

// ESC, FF and EM share the ESC table.
const int ESC_PREFIXES[] = {ESC, FF, EM};

TEST(factory, NtEveryLetter) {
  for (int prefix : ESC_PREFIXES) {
    for (const row& r : NT_ESC) check(new_command_nt, r, prefix);
    for (int l : UNLISTED_ESC) check(new_command_nt, row{l, kind::COMMAND, true}, prefix);
  }
  for (const row& r : NT_FS) check(new_command_nt, r, FS);
  for (int l : UNLISTED_FS) check(new_command_nt, row{l, kind::COMMAND}, FS);
}

TEST(factory, IsEveryLetter) {
  for (int prefix : ESC_PREFIXES) {
    for (const row& r : IS_ESC) check(new_command_is, r, prefix);
    for (int l : UNLISTED_ESC) check(new_command_is, row{l, kind::COMMAND_IS, true, 1}, prefix);
  }
  for (const row& r : IS_FS) check(new_command_is, r, FS);
  for (int l : UNLISTED_FS) check(new_command_is, row{l, kind::COMMAND_IS, false, 1}, FS);
}

// A few spot checks of the wire bytes, written out in full.
TEST(factory, WireBytesOfNotableCommands) {
  auto ff_g = new_command_nt('G', FF);
  ff_g->start();
  EXPECT_EQ(drain(*ff_g), (std::vector<bytes>{{0x0C, 0x47}}));

  auto fs_i = new_command_is('I', FS);
  fs_i->start();
  EXPECT_EQ(drain(*fs_i), (std::vector<bytes>{{0, 0, 0, 2, 0, 0, 0, 0x50, 0x1C, 0x49}}));

  auto lone_ff = new_command_nt(0, FF);
  lone_ff->start();
  EXPECT_EQ(drain(*lone_ff), (std::vector<bytes>{{0x0C}}));

  // A high letter passed as a negative int is sent as its byte.
  auto high = new_command_nt(-31, ESC);
  high->start();
  EXPECT_EQ(drain(*high), (std::vector<bytes>{{0x1B, 0xE1}}));
}

}  // namespace
}  // namespace scanbridge
