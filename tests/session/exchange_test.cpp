// SPDX-License-Identifier: MIT
// The exchange driver, road by road over both variants: every byte that
// reaches the scanner and every chunk left for the client is checked.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "session/scanner.h"
#include "tests/session/fake_scanner.h"
#include "tests/session/session_testing.h"

namespace scanbridge {
namespace {

using namespace scanbridge::testing;

// Test parameters print as their names.
using testing::PrintTo;

using state = enum command::state;

const bytes ESC_AT = {0x1B, 0x40};
const bytes FS_G = {0x1C, 'G'};
const bytes FS_X = {0x1C, 'X'};
const bytes ACK_ = {0x06};
const bytes NAK_ = {0x15};
const bytes CAN_ = {0x18};

const char* name_of(variant v) {
  return v == NT ? "nt" : "is";
}

// A script between the opening of its variant and the bridge's closing: NT
// sends nothing when it closes, IS sends its close request.
script session_script(variant v, std::function<void(scanner_peer&)> body) {
  return [v, body = std::move(body)](scanner_peer& p) {
    if (v == NT ? !p.open_nt() : !p.open_is()) return;
    body(p);
    if (v == IS) p.expect_is_close();
    p.expect_closed();
  };
}

// A script whose session the scanner ends: no close request is awaited.
script dropped_script(variant v, std::function<void(scanner_peer&)> body) {
  return [v, body = std::move(body)](scanner_peer& p) {
    if (v == NT ? !p.open_nt() : !p.open_is()) return;
    body(p);
  };
}

// The packet ESC '@' makes, and the reply type of a plain command.
bool expect_esc_at(scanner_peer& p, variant v) {
  return v == NT ? p.expect_packet(NT, 0x01, 0, ESC_AT)
                 : p.expect_packet(IS, 0x20, 0, is_chunk(1, ESC_AT));
}
std::uint8_t plain_reply(variant v) {
  return v == NT ? 0x81 : 0xA0;
}

// A 64-byte extended reply header: the given start, padded with blanks.
bytes reply_header(std::string_view start) {
  bytes h = text(start);
  h.resize(64, ' ');
  return h;
}

// The scanner's information block for a scan.
bytes info_block(std::uint8_t status, std::uint32_t block_size, std::uint32_t count,
                 std::uint32_t last) {
  auto le = [](std::uint32_t v) {
    return bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                 static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  };
  return cat({{0x02, status}, le(block_size), le(count), le(last)});
}

// A data block of n bytes and a status byte.
bytes data_block(std::size_t n, std::uint8_t first, std::uint8_t status) {
  return cat({counting(n, first), {status}});
}

class connected_session {
 public:
  explicit connected_session(std::vector<script> scripts)
      : fake(std::move(scripts)), s(fake.address(), 1865) {}
  fake_scanner fake;
  scanner s;
};

#define CONNECT(session) ASSERT_TRUE((session).s.connect(1, SESSION_TIMEOUT_S))

// Single commands ---------------------------------------------------------

struct command_case {
  const char* name;
  variant v;
  bytes data;
  std::uint8_t sent_type;
  bytes sent;
  std::uint8_t reply_type;
  bytes reply;
  result expected;
};

class single_command : public ::testing::TestWithParam<command_case> {};

TEST_P(single_command, OnePacketEachWay) {
  const command_case& c = GetParam();
  connected_session t({session_script(c.v, [&](scanner_peer& p) {
    p.expect_packet(c.v, c.sent_type, 0, c.sent);
    p.send_packet(c.v, c.reply_type, 0, c.reply);
  })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, c.data), c.expected);
  ASSERT_NE(t.s.current_command(), nullptr);
  EXPECT_EQ(command_state(t.s), c.expected.status == 0 ? state::FINISHED : state::WAIT_SCANNER);
  EXPECT_FALSE(t.s.extended_mode());
  EXPECT_TRUE(t.s.connected());
}

const bytes sixteen = counting(16);

INSTANTIATE_TEST_SUITE_P(
    all, single_command,
    ::testing::Values(
        command_case{"nt_esc_at", NT, ESC_AT, 0x01, ESC_AT, 0x81, ACK_, {0, {ACK_}}},
        command_case{"nt_wrong_reply_type", NT, ESC_AT, 0x01, ESC_AT, 0x82, ACK_, {-1, {}}},
        command_case{"nt_empty_reply", NT, ESC_AT, 0x01, ESC_AT, 0x81, {}, {0, {{}}}},
        command_case{"nt_lone_esc", NT, {0x1B}, 0x01, {0x1B}, 0x81, ACK_, {0, {ACK_}}},
        command_case{"nt_lone_fs", NT, {0x1C}, 0x08, {0x1C}, 0x88, ACK_, {0, {ACK_}}},
        command_case{"nt_fs_f", NT, {0x1C, 'F'}, 0x08, {0x1C, 'F'}, 0x88, sixteen, {0, {sixteen}}},
        command_case{
            "nt_fs_reply_as_esc", NT, {0x1C, 'F'}, 0x08, {0x1C, 'F'}, 0x81, ACK_, {-1, {}}},
        command_case{"nt_ff_prefix", NT, {0x0C, '@'}, 0x01, {0x0C, '@'}, 0x81, ACK_, {0, {ACK_}}},
        command_case{"nt_em_prefix", NT, {0x19, '@'}, 0x01, {0x19, '@'}, 0x81, ACK_, {0, {ACK_}}},
        command_case{
            "nt_high_letter", NT, {0x1B, 0xC1}, 0x01, {0x1B, 0xC1}, 0x81, ACK_, {0, {ACK_}}},
        command_case{"is_esc_at", IS, ESC_AT, 0x20, is_chunk(1, ESC_AT), 0xA0, ACK_, {0, {ACK_}}},
        command_case{
            "is_wrong_reply_type", IS, ESC_AT, 0x20, is_chunk(1, ESC_AT), 0x81, ACK_, {-1, {}}},
        command_case{"is_lone_esc", IS, {0x1B}, 0x20, is_chunk(1, {0x1B}), 0xA0, ACK_, {0, {ACK_}}},
        command_case{"is_lone_fs", IS, {0x1C}, 0x20, is_chunk(1, {0x1C}), 0xA0, ACK_, {0, {ACK_}}},
        command_case{"is_fs_f",
                     IS,
                     {0x1C, 'F'},
                     0x20,
                     is_chunk(16, {0x1C, 'F'}),
                     0xA0,
                     sixteen,
                     {0, {sixteen}}},
        command_case{
            "is_fs_i", IS, {0x1C, 'I'}, 0x20, is_chunk(80, {0x1C, 'I'}), 0xA0, ACK_, {0, {ACK_}}},
        command_case{"is_ff_f",
                     IS,
                     {0x0C, 'F'},
                     0x20,
                     is_chunk(4, {0x0C, 'F'}),
                     0xA0,
                     {1, 2, 3, 4},
                     {0, {{1, 2, 3, 4}}}},
        command_case{"is_esc_g_is_plain",
                     IS,
                     {0x1B, 'G'},
                     0x20,
                     is_chunk(1, {0x1B, 'G'}),
                     0xA0,
                     ACK_,
                     {0, {ACK_}}},
        command_case{"is_high_letter",
                     IS,
                     {0x1B, 0xC1},
                     0x20,
                     is_chunk(1, {0x1B, 0xC1}),
                     0xA0,
                     ACK_,
                     {0, {ACK_}}}),
    [](const auto& p) { return std::string(p.param.name); });

class rejected_bytes : public ::testing::TestWithParam<variant> {};

// Bytes that begin no command fail without any traffic, and leave the
// finished command current.
TEST_P(rejected_bytes, FailWithoutTraffic) {
  const variant v = GetParam();
  connected_session t({session_script(v, [v](scanner_peer& p) {
    expect_esc_at(p, v);
    p.send_packet(v, plain_reply(v), 0, ACK_);
    // Nothing reaches the scanner before the second ESC '@'.
    expect_esc_at(p, v);
    p.send_packet(v, plain_reply(v), 0, ACK_);
  })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, ESC_AT), (result{0, {ACK_}}));
  const command* finished = t.s.current_command();
  for (const bytes& b : std::vector<bytes>{{},
                                           {0x1B, 0x40, 0x00},
                                           {0x41, 0x40},
                                           {0x41},
                                           {0x1D, 0x40},
                                           {0x0D},
                                           {0x0B, 0x40},
                                           {0x1A, 0x40},
                                           {0x00},
                                           {0x06},
                                           {0x9B, 0x40},
                                           {0xFF}}) {
    SCOPED_TRACE(hex(b));
    EXPECT_EQ(data(t.s, b), (result{-1, {}}));
    EXPECT_EQ(t.s.current_command(), finished);
  }
  EXPECT_EQ(data(t.s, ESC_AT), (result{0, {ACK_}}));
}

INSTANTIATE_TEST_SUITE_P(all, rejected_bytes, ::testing::Values(NT, IS),
                         [](const auto& p) { return std::string(name_of(p.param)); });

class failed_command : public ::testing::TestWithParam<variant> {};

// A command whose reply was refused stays current: the client's next bytes
// go to it, and the driver reads the scanner's next packet without sending.
TEST_P(failed_command, KeepsWaitingForItsReply) {
  const variant v = GetParam();
  connected_session t({session_script(v, [v](scanner_peer& p) {
    expect_esc_at(p, v);
    p.send_packet(v, 0x55, 0, ACK_);
    p.send_packet(v, plain_reply(v), 0, NAK_);
  })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, ESC_AT), (result{-1, {}}));
  EXPECT_EQ(data(t.s, {0x1B, 'Q'}), (result{0, {NAK_}}));
}

INSTANTIATE_TEST_SUITE_P(all, failed_command, ::testing::Values(NT, IS),
                         [](const auto& p) { return std::string(name_of(p.param)); });

// Variable replies ------------------------------------------------------------

TEST(exchange_var, NtReplySplitsIntoHeadAndData) {
  connected_session t({session_script(NT, [](scanner_peer& p) {
    p.expect_packet(NT, 0x01, 0, {0x1B, 'I'});
    p.send_packet(NT, 0x81, 0, {0x02, 0x00, 0x03, 0x00, 0xAA, 0xBB, 0xCC});
  })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, {0x1B, 'I'}), (result{0, {{0x02, 0x00, 0x03, 0x00}, {0xAA, 0xBB, 0xCC}}}));
}

TEST(exchange_var, IsAsksForTheDataTheHeadAnnounces) {
  const bytes rest = counting(272);
  connected_session t({session_script(IS, [&](scanner_peer& p) {
    p.expect_packet(IS, 0x20, 0, is_chunk(4, {0x1B, 'I'}));
    // 0x0110 = 272 bytes, little-endian in bytes 2 and 3.
    p.send_packet(IS, 0xA0, 0, {0x02, 0x00, 0x10, 0x01});
    p.expect_packet(IS, 0x20, 0, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x10});
    p.send_packet(IS, 0xA0, 0, rest);
  })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, {0x1B, 'I'}), (result{0, {{0x02, 0x00, 0x10, 0x01}, rest}}));
}

// Over IS the notice query is an ordinary command for the scanner.
TEST(exchange_var, IsNoticeQueryGoesToTheScanner) {
  connected_session t({session_script(IS, [](scanner_peer& p) {
    p.expect_packet(IS, 0x20, 0, is_chunk(4, {0x1B, '!'}));
    p.send_packet(IS, 0xA0, 0, {0x02, 0x00, 0x01, 0x00});
    p.expect_packet(IS, 0x20, 0, is_chunk(1, {}));
    p.send_packet(IS, 0xA0, 0, {0x01});
  })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, {0x1B, '!'}), notice_answer(0x01));
}

// Parameter settings ------------------------------------------------------

const bytes eight = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

// The NT block of ESC 'A': flag bit 2 of byte 4, the 8 parameters at 46.
bytes esc_a_block(const bytes& params) {
  bytes block(1176, 0);
  block[4] = 0x04;
  std::copy(params.begin(), params.end(), block.begin() + 46);
  return block;
}

struct status_case {
  const char* name;
  bytes status;
  bytes answer;
};

class nt_setting : public ::testing::TestWithParam<status_case> {};

TEST_P(nt_setting, BridgeAcksThenSendsTheBlock) {
  const status_case& c = GetParam();
  connected_session t({session_script(NT, [&](scanner_peer& p) {
    // Nothing goes out for the command itself.
    p.expect_packet(NT, 0x02, 0, esc_a_block(eight));
    p.send_packet(NT, 0x82, 0, c.status);
  })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, {0x1B, 'A'}), (result{0, {ACK_}}));
  EXPECT_EQ(command_state(t.s), state::WAIT_CLIENT);
  EXPECT_EQ(data(t.s, eight), (result{0, {c.answer}}));
  EXPECT_EQ(command_state(t.s), state::FINISHED);
}

INSTANTIATE_TEST_SUITE_P(
    all, nt_setting,
    ::testing::Values(
        status_case{"taken", {0, 0, 0, 0, 0, 0, 0, 0}, ACK_},
        status_case{"refused", {0, 0, 0, 0, 0x04, 0, 0, 0}, NAK_},
        status_case{"others_refused", {0xFF, 0xFF, 0xFF, 0xFF, 0xFB, 0xFF, 0xFF, 0xFF}, ACK_}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(exchange_setting, NtBlockOfWrongSizeIsAnsweredLocally) {
  connected_session t({session_script(NT, [](scanner_peer& p) {
    p.expect_packet(NT, 0x01, 0, ESC_AT);
    p.send_packet(NT, 0x81, 0, ACK_);
  })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, {0x1B, 'A'}), (result{0, {ACK_}}));
  EXPECT_EQ(data(t.s, counting(7)), (result{0, {ACK_}}));
  EXPECT_EQ(data(t.s, ESC_AT), (result{0, {ACK_}}));
}

TEST(exchange_setting, NtParameterCommandTravelsWithItsBytes) {
  connected_session t({session_script(NT, [](scanner_peer& p) {
    p.expect_packet(NT, 0x01, 0, {0x1B, 'e', 0x05});
    p.send_packet(NT, 0x81, 0, ACK_);
    p.expect_packet(NT, 0x08, 0, {0x1C, 'W', 0x01, 0x02});
    p.send_packet(NT, 0x88, 0, NAK_);
  })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, {0x1B, 'e'}), (result{0, {ACK_}}));
  EXPECT_EQ(data(t.s, {0x05}), (result{0, {ACK_}}));
  EXPECT_EQ(data(t.s, {0x1C, 'W'}), (result{0, {ACK_}}));
  EXPECT_EQ(data(t.s, {0x01, 0x02}), (result{0, {NAK_}}));
}

TEST(exchange_setting, IsCommandThenBlock) {
  connected_session t({session_script(IS, [](scanner_peer& p) {
    p.expect_packet(IS, 0x20, 0, is_chunk(1, {0x1B, 'A'}));
    p.send_packet(IS, 0xA0, 0, NAK_);
    p.expect_packet(IS, 0x20, 0, is_chunk(1, eight));
    p.send_packet(IS, 0xA0, 0, ACK_);
  })});
  CONNECT(t);
  // The scanner's first answer reaches the client, whatever it is.
  EXPECT_EQ(data(t.s, {0x1B, 'A'}), (result{0, {NAK_}}));
  EXPECT_EQ(command_state(t.s), state::WAIT_CLIENT);
  EXPECT_EQ(data(t.s, eight), (result{0, {ACK_}}));
  EXPECT_EQ(command_state(t.s), state::FINISHED);
}

// Scans -------------------------------------------------------------------

// 512-byte blocks: two full ones, then a last one of 256 bytes.
const bytes scan_info = info_block(0x00, 512, 2, 256);
const bytes block_1 = data_block(512, 1, 0x00);
const bytes block_2 = data_block(512, 2, 0x00);
const bytes block_last = data_block(256, 3, 0x00);

// The IS transfer request for that scan, behind its chunk header.
const bytes is_transfer = is_chunk(
    0, cat({be32(2), be32(0), be32(513), be32(1), be32(513), {0x06}, be32(1), be32(257), {0x06}}));

TEST(exchange_scan, NtFullScan) {
  connected_session t({session_script(NT, [](scanner_peer& p) {
    p.expect_packet(NT, 0x08, 0, FS_G);
    // The scanner sends every block by itself; the client's ACKs are not
    // passed on.
    p.send_raw(cat({packet_bytes(NT, 0x89, 0, scan_info), packet_bytes(NT, 0x89, 0, block_1),
                    packet_bytes(NT, 0x89, 0, block_2), packet_bytes(NT, 0x89, 0, block_last)}));
    expect_esc_at(p, NT);
    p.send_packet(NT, 0x81, 0, ACK_);
  })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, FS_G), (result{0, {scan_info, block_1}}));
  EXPECT_EQ(link_timeout(t.s), SCAN_TIMEOUT);
  EXPECT_EQ(command_state(t.s), state::WAIT_CLIENT);
  EXPECT_EQ(data(t.s, ACK_), (result{0, {block_2}}));
  EXPECT_EQ(data(t.s, ACK_), (result{0, {block_last}}));
  EXPECT_EQ(command_state(t.s), state::FINISHED);
  EXPECT_EQ(data(t.s, ESC_AT), (result{0, {ACK_}}));
  EXPECT_EQ(link_timeout(t.s), SESSION_TIMEOUT_S);
}

TEST(exchange_scan, IsFullScan) {
  connected_session t({session_script(IS, [](scanner_peer& p) {
    p.expect_packet(IS, 0x20, 0, {0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x0E, 0x1C, 0x47});
    p.send_packet(IS, 0xA0, 0, scan_info);
    p.expect_packet(IS, 0x22, 0, is_transfer);
    p.send_raw(cat({packet_bytes(IS, 0xA2, 0, block_1), packet_bytes(IS, 0xA2, 0, block_2),
                    packet_bytes(IS, 0xA2, 0, block_last)}));
  })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, FS_G), (result{0, {scan_info, block_1}}));
  EXPECT_EQ(link_timeout(t.s), SCAN_TIMEOUT);
  EXPECT_EQ(data(t.s, ACK_), (result{0, {block_2}}));
  EXPECT_EQ(data(t.s, ACK_), (result{0, {block_last}}));
  EXPECT_EQ(command_state(t.s), state::FINISHED);
}

TEST(exchange_scan, NtCancel) {
  connected_session t({session_script(NT, [](scanner_peer& p) {
    p.expect_packet(NT, 0x08, 0, FS_G);
    p.send_raw(cat({packet_bytes(NT, 0x89, 0, scan_info), packet_bytes(NT, 0x89, 0, block_1),
                    packet_bytes(NT, 0x89, 0, block_2)}));
    p.expect_packet(NT, 0x01, 0, CAN_);
    // The scanner takes the cancel with NAK; the block in flight before it is
    // dropped.
    p.send_packet(NT, 0x81, 0, NAK_);
  })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, FS_G), (result{0, {scan_info, block_1}}));
  EXPECT_EQ(data(t.s, CAN_), (result{0, {ACK_}}));
  EXPECT_EQ(command_state(t.s), state::FINISHED);
}

TEST(exchange_scan, IsCancel) {
  connected_session t({session_script(IS, [](scanner_peer& p) {
    p.expect_packet(IS, 0x20, 0, is_chunk(14, FS_G));
    p.send_packet(IS, 0xA0, 0, scan_info);
    p.expect_packet(IS, 0x22, 0, is_transfer);
    p.send_raw(cat({packet_bytes(IS, 0xA2, 0, block_1), packet_bytes(IS, 0xA2, 0, block_2)}));
    p.expect_packet(IS, 0x22, 1, {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x18});
    p.send_packet(IS, 0xA2, 0, ACK_);
  })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, FS_G), (result{0, {scan_info, block_1}}));
  EXPECT_EQ(data(t.s, CAN_), (result{0, {ACK_}}));
  EXPECT_EQ(command_state(t.s), state::FINISHED);
}

TEST(exchange_scan, ChunksBeforeAFailureStillReachTheClient) {
  connected_session t({session_script(NT, [](scanner_peer& p) {
    p.expect_packet(NT, 0x08, 0, FS_G);
    p.send_raw(cat({packet_bytes(NT, 0x89, 0, scan_info), packet_bytes(NT, 0x81, 0, ACK_)}));
  })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, FS_G), (result{-1, {scan_info}}));
  EXPECT_EQ(command_state(t.s), state::WAIT_SCANNER);
}

// Bytes other than ACK or CAN between blocks end the scan. The command
// refuses them, but only a refused packet fails the exchange.
TEST(exchange_scan, OtherClientBytesEndTheScan) {
  connected_session t({session_script(NT, [](scanner_peer& p) {
    p.expect_packet(NT, 0x08, 0, FS_G);
    p.send_raw(cat({packet_bytes(NT, 0x89, 0, scan_info), packet_bytes(NT, 0x89, 0, block_1)}));
    expect_esc_at(p, NT);
    p.send_packet(NT, 0x81, 0, ACK_);
  })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, FS_G), (result{0, {scan_info, block_1}}));
  EXPECT_EQ(data(t.s, {0x06, 0x06}), (result{0, {}}));
  EXPECT_EQ(command_state(t.s), state::FINISHED);
  EXPECT_EQ(data(t.s, ESC_AT), (result{0, {ACK_}}));
}

// Time-outs -----------------------------------------------------------------

TEST(exchange_timeout, SetPerCommand) {
  const bytes refused = info_block(0x80, 0, 0, 0);
  connected_session t({session_script(NT, [&](scanner_peer& p) {
    p.expect_packet(NT, 0x08, 0, FS_G);
    p.send_packet(NT, 0x89, 0, refused);
    p.expect_packet(NT, 0x01, 0, {0x0C});
    p.send_packet(NT, 0x81, 0, ACK_);
    p.expect_packet(NT, 0x01, 0, ESC_AT);
    p.send_packet(NT, 0x81, 0, ACK_);
    p.expect_packet(NT, 0x01, 0, {0x0C});
    p.send_packet(NT, 0x81, 0, ACK_);
    p.expect_packet(NT, 0x08, 0, FS_X);
    p.send_packet(NT, 0x88, 0, NAK_);
    p.expect_packet(NT, 0x08, 0, FS_G);
    p.send_packet(NT, 0x89, 0, refused);
    p.expect_packet(NT, 0x08, 0, {0x1B, 'G'});
    p.send_packet(NT, 0x89, 0, refused);
  })});
  CONNECT(t);
  ASSERT_EQ(link_timeout(t.s), SESSION_TIMEOUT_S);
  EXPECT_EQ(data(t.s, FS_G), (result{0, {refused}}));
  EXPECT_EQ(link_timeout(t.s), SCAN_TIMEOUT);
  // A lone FF: 0, whatever was set before.
  EXPECT_EQ(data(t.s, {0x0C}), (result{0, {ACK_}}));
  EXPECT_EQ(link_timeout(t.s), std::chrono::seconds(0));
  // Every other command puts the normal time-out back.
  EXPECT_EQ(data(t.s, ESC_AT), (result{0, {ACK_}}));
  EXPECT_EQ(link_timeout(t.s), SESSION_TIMEOUT_S);
  EXPECT_EQ(data(t.s, {0x0C}), (result{0, {ACK_}}));
  EXPECT_EQ(link_timeout(t.s), std::chrono::seconds(0));
  EXPECT_EQ(data(t.s, FS_X), (result{0, {NAK_}}));
  EXPECT_EQ(link_timeout(t.s), SESSION_TIMEOUT_S);
  EXPECT_EQ(data(t.s, FS_G), (result{0, {refused}}));
  EXPECT_EQ(link_timeout(t.s), SCAN_TIMEOUT);
  // Only FS G is the scan's time-out; ESC G scans with the normal one.
  EXPECT_EQ(data(t.s, {0x1B, 'G'}), (result{0, {refused}}));
  EXPECT_EQ(link_timeout(t.s), SESSION_TIMEOUT_S);
}

// Extended mode -----------------------------------------------------------

struct enter_case {
  const char* name;
  bytes command;
  // What the scanner sends in answer: whole packets.
  bytes answer;
  result expected;
  bool extended;
};

class extended_entry : public ::testing::TestWithParam<enter_case> {};

TEST_P(extended_entry, OnlyASingleAckSwitchesItOn) {
  const enter_case& c = GetParam();
  connected_session t({session_script(IS, [&](scanner_peer& p) {
    p.expect_packet(IS, 0x20, 0, is_chunk(1, c.command));
    p.send_raw(c.answer);
  })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, c.command), c.expected);
  EXPECT_EQ(t.s.extended_mode(), c.extended);
}

INSTANTIATE_TEST_SUITE_P(
    all, extended_entry,
    ::testing::Values(
        enter_case{"fs_x_ack", FS_X, packet_bytes(IS, 0xA0, 0, ACK_), {0, {ACK_}}, true},
        enter_case{"fs_y_ack", {0x1C, 'Y'}, packet_bytes(IS, 0xA0, 0, ACK_), {0, {ACK_}}, true},
        enter_case{"fs_z_ack", {0x1C, 'Z'}, packet_bytes(IS, 0xA0, 0, ACK_), {0, {ACK_}}, true},
        enter_case{"fs_x_nak", FS_X, packet_bytes(IS, 0xA0, 0, NAK_), {0, {NAK_}}, false},
        enter_case{"fs_x_two_acks",
                   FS_X,
                   packet_bytes(IS, 0xA0, 0, {0x06, 0x06}),
                   {0, {{0x06, 0x06}}},
                   false},
        enter_case{"fs_x_empty", FS_X, packet_bytes(IS, 0xA0, 0, {}), {0, {{}}}, false},
        enter_case{"fs_x_wrong_type", FS_X, packet_bytes(IS, 0xA1, 0, ACK_), {-1, {}}, false},
        enter_case{"fs_x_notice_then_ack",
                   FS_X,
                   cat({packet_bytes(IS, 0x90, 0, {0x01}), packet_bytes(IS, 0xA0, 0, ACK_)}),
                   {0, {ACK_}},
                   true},
        enter_case{"fs_w_ack", {0x1C, 'W'}, packet_bytes(IS, 0xA0, 0, ACK_), {0, {ACK_}}, false}),
    [](const auto& p) { return std::string(p.param.name); });

// Enters extended mode on an IS session.
bool expect_fs_x(scanner_peer& p) {
  return p.expect_packet(IS, 0x20, 0, is_chunk(1, FS_X)) && p.send_packet(IS, 0xA0, 0, ACK_);
}

#define ENTER_EXTENDED(session)                              \
  do {                                                       \
    ASSERT_EQ(data((session).s, FS_X), (result{0, {ACK_}})); \
    ASSERT_TRUE((session).s.extended_mode());                \
  } while (0)

TEST(exchange_extended, RequestWithoutPayload) {
  const bytes info = reply_header("INFOx0000000#---");
  const bytes stat = reply_header("STATx0000000#---");
  connected_session t({session_script(IS, [&](scanner_peer& p) {
    expect_fs_x(p);
    p.expect_packet(IS, 0x20, 0, is_chunk(64, text("INFOx0000000")));
    p.send_packet(IS, 0xA0, 0, info);
    p.expect_packet(IS, 0x20, 0, is_chunk(64, text("STATx0000000")));
    p.send_packet(IS, 0xA0, 0, stat);
  })});
  CONNECT(t);
  ENTER_EXTENDED(t);
  EXPECT_EQ(data(t.s, text("INFOx0000000")), (result{0, {info}}));
  EXPECT_TRUE(t.s.extended_mode());
  EXPECT_EQ(data(t.s, text("STATx0000000")), (result{0, {stat}}));
  EXPECT_TRUE(t.s.extended_mode());
}

TEST(exchange_extended, RequestWithPayload) {
  const bytes reply = reply_header("SETPx0000000#---");
  const bytes payload = counting(10, 0x61);
  connected_session t({session_script(IS, [&](scanner_peer& p) {
    expect_fs_x(p);
    p.expect_packet(IS, 0x20, 0, is_chunk(0, text("SETPx0000010")));
    // The go-ahead: its payload is not used.
    p.send_packet(IS, 0xA0, 0, {0x06, 0x07});
    // The payload as announced: 16 bytes, the client's 10 and zeros.
    p.expect_packet(IS, 0x20, 0, is_chunk(64, cat({payload, bytes(6, 0)})));
    p.send_packet(IS, 0xA0, 0, reply);
  })});
  CONNECT(t);
  ENTER_EXTENDED(t);
  EXPECT_EQ(data(t.s, text("SETPx0000010")), (result{0, {}}));
  EXPECT_EQ(command_state(t.s), state::WAIT_CLIENT);
  EXPECT_EQ(data(t.s, payload), (result{0, {reply}}));
  EXPECT_EQ(command_state(t.s), state::FINISHED);
}

TEST(exchange_extended, ReplyWithPayload) {
  const bytes header = reply_header("IMG x0000100#---");
  const bytes image = counting(256);
  connected_session t({session_script(IS, [&](scanner_peer& p) {
    expect_fs_x(p);
    p.expect_packet(IS, 0x20, 0, is_chunk(64, text("IMG x0000000")));
    p.send_packet(IS, 0xA0, 0, header);
    p.expect_packet(IS, 0x20, 0, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00});
    p.send_packet(IS, 0xA0, 0, image);
  })});
  CONNECT(t);
  ENTER_EXTENDED(t);
  EXPECT_EQ(data(t.s, text("IMG x0000000")), (result{0, {header, image}}));
  EXPECT_TRUE(t.s.extended_mode());
}

struct finish_case {
  const char* name;
  bytes header;
  bool leaves;
};

class extended_finish : public ::testing::TestWithParam<finish_case> {};

TEST_P(extended_finish, FinReplyLeavesUnlessBusy) {
  const finish_case& c = GetParam();
  connected_session t({session_script(IS, [&](scanner_peer& p) {
    expect_fs_x(p);
    p.expect_packet(IS, 0x20, 0, is_chunk(64, text("FIN x0000000")));
    p.send_packet(IS, 0xA0, 0, c.header);
    if (c.leaves) {
      // Parsed as a legacy command again.
      expect_esc_at(p, IS);
      p.send_packet(IS, 0xA0, 0, ACK_);
    } else {
      p.expect_packet(IS, 0x20, 0, is_chunk(64, text("FIN x0000000")));
      p.send_packet(IS, 0xA0, 0, c.header);
    }
  })});
  CONNECT(t);
  ENTER_EXTENDED(t);
  EXPECT_EQ(data(t.s, text("FIN x0000000")), (result{0, {c.header}}));
  EXPECT_EQ(t.s.extended_mode(), !c.leaves);
  if (c.leaves) {
    EXPECT_EQ(data(t.s, ESC_AT), (result{0, {ACK_}}));
  } else {
    EXPECT_EQ(data(t.s, text("FIN x0000000")), (result{0, {c.header}}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    all, extended_finish,
    ::testing::Values(finish_case{"fin", reply_header("FIN x0000000#---"), true},
                      finish_case{"fin_busy", reply_header("FIN x0000000#nrdBUSY"), false},
                      finish_case{"fin_busy_off_step", reply_header("FIN x0000000##nrdBUSY"),
                                  true}),
    [](const auto& p) { return std::string(p.param.name); });

struct bad_header_case {
  const char* name;
  std::uint8_t type;
  bytes header;
};

class extended_bad_reply : public ::testing::TestWithParam<bad_header_case> {};

// A reply the request cannot use fails the exchange; extended mode stays on
// and the request keeps waiting, so the next DATA makes no new request.
TEST_P(extended_bad_reply, FailsAndKeepsWaiting) {
  const bad_header_case& c = GetParam();
  const bytes good = reply_header("INFOx0000000#---");
  connected_session t({session_script(IS, [&](scanner_peer& p) {
    expect_fs_x(p);
    p.expect_packet(IS, 0x20, 0, is_chunk(64, text("INFOx0000000")));
    p.send_packet(IS, c.type, 0, c.header);
    p.send_packet(IS, 0xA0, 0, good);
  })});
  CONNECT(t);
  ENTER_EXTENDED(t);
  EXPECT_EQ(data(t.s, text("INFOx0000000")), (result{-1, {}}));
  EXPECT_TRUE(t.s.extended_mode());
  EXPECT_EQ(command_state(t.s), state::WAIT_SCANNER);
  EXPECT_EQ(data(t.s, text("STATx0000000")), (result{0, {good}}));
}

INSTANTIATE_TEST_SUITE_P(
    all, extended_bad_reply,
    ::testing::Values(bad_header_case{"short", 0xA0, text("INFOx0000000#---")},
                      bad_header_case{"long", 0xA0, cat({reply_header("INFOx0000000"), {0x20}})},
                      bad_header_case{"bad_spec", 0xA0, reply_header("INFOy0000000")},
                      bad_header_case{"lower_case_digit", 0xA0, reply_header("INFOx00000a0")},
                      bad_header_case{"wrong_type", 0xA1, reply_header("INFOx0000000")},
                      bad_header_case{"empty_notice", 0x90, {}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(exchange_extended, GoAheadWaitDropsOtherPackets) {
  const bytes reply = reply_header("SETPx0000000");
  connected_session t({session_script(IS, [&](scanner_peer& p) {
    expect_fs_x(p);
    p.expect_packet(IS, 0x20, 0, is_chunk(0, text("SETPx0000004")));
    p.send_raw(cat({packet_bytes(IS, 0xA1, 0, ACK_), packet_bytes(IS, 0x90, 0, {0x01}),
                    packet_bytes(IS, 0xA2, 0, counting(5)), packet_bytes(IS, 0x20, 0, {}),
                    packet_bytes(IS, 0x90, 0, {0x10}), packet_bytes(IS, 0xA0, 0, {})}));
    p.expect_packet(IS, 0x20, 0, is_chunk(64, {1, 2, 3, 4}));
    p.send_packet(IS, 0xA0, 0, reply);
  })});
  CONNECT(t);
  ENTER_EXTENDED(t);
  EXPECT_EQ(data(t.s, text("SETPx0000004")), (result{0, {}}));
  // Client bytes beyond the announced size are dropped.
  EXPECT_EQ(data(t.s, {1, 2, 3, 4, 5, 6}), (result{0, {reply}}));
}

TEST(exchange_extended, GoAheadWaitEndsOnDisconnectEvent) {
  connected_session t({dropped_script(IS, [](scanner_peer& p) {
    expect_fs_x(p);
    p.expect_packet(IS, 0x20, 0, is_chunk(0, text("SETPx0000004")));
    p.send_raw(cat({packet_bytes(IS, 0xA1, 0, ACK_), packet_bytes(IS, 0x90, 0, {0xA0})}));
    p.expect_closed();
  })});
  CONNECT(t);
  ENTER_EXTENDED(t);
  EXPECT_EQ(data(t.s, text("SETPx0000004")), (result{-1, {}}));
  EXPECT_FALSE(t.s.connected());
  EXPECT_FALSE(t.s.extended_mode());
}

enum class cancel_at { reply_wait, go_ahead_wait, before_request };

struct cancel_case {
  const char* name;
  cancel_at when;
};

class extended_cancel : public ::testing::TestWithParam<cancel_case> {};

// A cancel event while a request is under way marks the image header for
// the client.
TEST_P(extended_cancel, MarksTheImageHeader) {
  const cancel_case& c = GetParam();
  const bool with_payload = c.when == cancel_at::go_ahead_wait;
  const bytes header = reply_header("IMG x0000000#---ABCDEFGH#---");
  const bytes marked = reply_header("IMG x0000000#atnCAN #---#---");
  const bytes request = text(with_payload ? "IMG x0000002" : "IMG x0000000");
  connected_session t({session_script(IS, [&](scanner_peer& p) {
    p.expect_packet(IS, 0x20, 0, is_chunk(1, FS_X));
    if (c.when == cancel_at::before_request) {
      // Waiting behind the ACK: extended mode polls no notices, so the
      // request reads it while it waits for its reply.
      p.send_raw(cat({packet_bytes(IS, 0xA0, 0, ACK_), packet_bytes(IS, 0x90, 0, {0x03})}));
    } else {
      p.send_packet(IS, 0xA0, 0, ACK_);
    }
    if (with_payload) {
      p.expect_packet(IS, 0x20, 0, is_chunk(0, request));
      p.send_raw(cat({packet_bytes(IS, 0x90, 0, {0x03}), packet_bytes(IS, 0xA0, 0, {})}));
      p.expect_packet(IS, 0x20, 0, is_chunk(64, {0x01, 0x02}));
    } else {
      p.expect_packet(IS, 0x20, 0, is_chunk(64, request));
      if (c.when == cancel_at::reply_wait) p.send_packet(IS, 0x90, 0, {0x03});
    }
    p.send_packet(IS, 0xA0, 0, header);
  })});
  CONNECT(t);
  ENTER_EXTENDED(t);
  if (with_payload) {
    EXPECT_EQ(data(t.s, request), (result{0, {}}));
    EXPECT_EQ(data(t.s, {0x01, 0x02}), (result{0, {marked}}));
  } else {
    EXPECT_EQ(data(t.s, request), (result{0, {marked}}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    all, extended_cancel,
    ::testing::Values(cancel_case{"in_reply_wait", cancel_at::reply_wait},
                      cancel_case{"in_go_ahead_wait", cancel_at::go_ahead_wait},
                      cancel_case{"before_request", cancel_at::before_request}),
    [](const auto& p) { return std::string(p.param.name); });

// Without a cancel event the header reaches the client unchanged.
TEST(exchange_extended, ImageHeaderUnmarkedWithoutCancel) {
  const bytes header = reply_header("IMG x0000000#---ABCDEFGH#---");
  connected_session t({session_script(IS, [&](scanner_peer& p) {
    expect_fs_x(p);
    p.expect_packet(IS, 0x20, 0, is_chunk(64, text("IMG x0000000")));
    p.send_packet(IS, 0xA0, 0, header);
  })});
  CONNECT(t);
  ENTER_EXTENDED(t);
  EXPECT_EQ(data(t.s, text("IMG x0000000")), (result{0, {header}}));
}

TEST(exchange_extended, NoticeInReplyWaitLetsItGoOn) {
  const bytes info = reply_header("INFOx0000000#---");
  connected_session t({session_script(IS, [&](scanner_peer& p) {
    expect_fs_x(p);
    p.expect_packet(IS, 0x20, 0, is_chunk(64, text("INFOx0000000")));
    p.send_raw(cat({packet_bytes(IS, 0x90, 0, {0x01}), packet_bytes(IS, 0x90, 0, {0x11}),
                    packet_bytes(IS, 0xA0, 0, info)}));
  })});
  CONNECT(t);
  ENTER_EXTENDED(t);
  EXPECT_EQ(data(t.s, text("INFOx0000000")), (result{0, {info}}));
}

struct malformed_case {
  const char* name;
  bytes request;
  const char* what;
};

class extended_malformed : public ::testing::TestWithParam<malformed_case> {};

TEST_P(extended_malformed, ThrowsWithoutTraffic) {
  const malformed_case& c = GetParam();
  connected_session t({session_script(IS, [](scanner_peer& p) { expect_fs_x(p); })});
  CONNECT(t);
  ENTER_EXTENDED(t);
  try {
    t.s.exchange(c.request.data(), c.request.size());
    ADD_FAILURE() << "no exception";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), c.what);
  }
  // The previous command is gone.
  EXPECT_EQ(t.s.current_command(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    all, extended_malformed,
    ::testing::Values(malformed_case{"lower_case_digits", text("IMG x00000ff"), "bad size digit"},
                      malformed_case{"blank_digit", text("IMG x 000000"), "bad size digit"},
                      malformed_case{"no_x", text("IMG y0000000"), "bad size spec"},
                      malformed_case{"eleven_bytes", text("IMG x000000"), "bad request size"},
                      malformed_case{"thirteen_bytes", text("IMG x00000000"), "bad request size"},
                      malformed_case{"legacy_command", ESC_AT, "bad request size"},
                      malformed_case{"nothing", {}, "bad request size"}),
    [](const auto& p) { return std::string(p.param.name); });

// NT has no extended requests: a switch into extended mode that an NT scanner
// takes fails the next DATA message without traffic and goes back to legacy
// commands.
TEST(exchange_extended, NtScannerCannotStayExtended) {
  connected_session t({session_script(NT, [](scanner_peer& p) {
    p.expect_packet(NT, 0x08, 0, FS_X);
    p.send_packet(NT, 0x88, 0, ACK_);
    p.expect_packet(NT, 0x01, 0, ESC_AT);
    p.send_packet(NT, 0x81, 0, ACK_);
  })});
  CONNECT(t);
  ENTER_EXTENDED(t);
  EXPECT_EQ(data(t.s, text("INFOx0000000")), (result{-1, {}}));
  EXPECT_FALSE(t.s.extended_mode());
  EXPECT_TRUE(t.s.connected());
  EXPECT_EQ(data(t.s, ESC_AT), (result{0, {ACK_}}));
}

// Broken connections ------------------------------------------------------

class broken_connection : public ::testing::TestWithParam<variant> {};

TEST_P(broken_connection, ResetDuringCommand) {
  const variant v = GetParam();
  connected_session t({dropped_script(v,
                                      [v](scanner_peer& p) {
                                        expect_esc_at(p, v);
                                        p.reset();
                                      }),
                       session_script(v, [v](scanner_peer& p) {
                         expect_esc_at(p, v);
                         p.send_packet(v, plain_reply(v), 0, ACK_);
                       })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, ESC_AT), (result{-1, {}}));
  EXPECT_FALSE(t.s.connected());
  EXPECT_EQ(t.s.current_command(), nullptr);
  EXPECT_EQ(data(t.s, ESC_AT), (result{0, {ACK_}}));
  EXPECT_EQ(t.fake.accepted(), 2);
}

TEST(exchange_broken, ResetDuringExtendedRequest) {
  connected_session t({dropped_script(IS, [](scanner_peer& p) {
    expect_fs_x(p);
    p.expect_packet(IS, 0x20, 0, is_chunk(64, text("INFOx0000000")));
    p.reset();
  })});
  CONNECT(t);
  ENTER_EXTENDED(t);
  EXPECT_EQ(data(t.s, text("INFOx0000000")), (result{-1, {}}));
  EXPECT_FALSE(t.s.connected());
  EXPECT_FALSE(t.s.extended_mode());
}

// A header announcing more than 256 MiB is a broken connection: the session
// disconnects (IS still sends its close request) and the next DATA message
// reconnects.
TEST_P(broken_connection, OversizedPacketDuringCommand) {
  const variant v = GetParam();
  connected_session t({dropped_script(v,
                                      [v](scanner_peer& p) {
                                        expect_esc_at(p, v);
                                        p.send_raw(header_bytes(v, plain_reply(v), 0, 0x10000001));
                                        if (v == IS) p.expect_packet(IS, 0x21, 1, {});
                                        p.close();
                                      }),
                       session_script(v, [v](scanner_peer& p) {
                         expect_esc_at(p, v);
                         p.send_packet(v, plain_reply(v), 0, ACK_);
                       })});
  CONNECT(t);
  EXPECT_EQ(data(t.s, ESC_AT), (result{-1, {}}));
  EXPECT_FALSE(t.s.connected());
  EXPECT_EQ(data(t.s, ESC_AT), (result{0, {ACK_}}));
  EXPECT_EQ(t.fake.accepted(), 2);
}

INSTANTIATE_TEST_SUITE_P(all, broken_connection, ::testing::Values(NT, IS),
                         [](const auto& p) { return std::string(name_of(p.param)); });

}  // namespace
}  // namespace scanbridge
