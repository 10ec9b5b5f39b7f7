// SPDX-License-Identifier: MIT
// The real scanbridge process driven as a driver drives it, against scripted
// fake scanners on loopback: every byte the bridge writes on the client link
// and on each scanner link is checked.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/session/fake_scanner.h"
#include "tests/support/bridge_process.h"
#include "tests/support/child_process.h"
#include "tests/support/io.h"
#include "tests/support/link_client.h"
#include "tests/support/loopback.h"

namespace scanbridge {
namespace {

using testing::bridge_process;
using testing::bytes;
using testing::cat;
using testing::counting;
using testing::exited;
using testing::fake_scanner;
using testing::header_bytes;
using testing::hex;
using testing::KIND_CLOSE;
using testing::KIND_DATA;
using testing::KIND_OPEN;
using testing::KIND_PING;
using testing::link_client;
using testing::packet_bytes;
using testing::scanner_peer;
using testing::script;
using testing::text;
using testing::unhex;
using testing::WAIT;
using namespace std::chrono_literals;

constexpr variant NT = variant::NT;
constexpr variant IS = variant::IS;

// Test parameters print as their names.
using testing::PrintTo;

const bytes ACK = {0x06};
const bytes NAK = {0x15};
const bytes CAN = {0x18};
const bytes ESC_AT = {0x1B, '@'};
const bytes FS_G = {0x1C, 'G'};
const bytes FS_X = {0x1C, 'X'};

constexpr const char* NAK_REPLY = "00 00 00 00 00 00 00 00 FF FF FF FF 00 00 00 01 15";
constexpr const char* FAILED_OPEN_REPLY = "00 00 00 00 00 00 00 00 FF FF FF FF 00 00 00 00";

bytes be32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

// An IS chunk: bytes that follow and reply bytes expected, then the bytes.
bytes is_chunk(std::uint32_t reply_size, const bytes& b) {
  return cat({be32(static_cast<std::uint32_t>(b.size())), be32(reply_size), b});
}

// One reply message of the bridge, every byte of it: id, kind 0, status,
// length, payload.
bytes reply_bytes(std::uint32_t id, std::int32_t status, const bytes& payload = {}) {
  return cat({be32(id), be32(0), be32(static_cast<std::uint32_t>(status)),
              be32(static_cast<std::uint32_t>(payload.size())), payload});
}

// A 64-byte extended reply header: the given start, padded with blanks.
bytes reply_header(std::string_view start) {
  bytes h = text(start);
  h.resize(64, ' ');
  return h;
}

std::string address_of(const fake_scanner& fake) {
  return "x://" + fake.address();
}

// The bytes that come next on the client link are exactly these; nothing is
// left over (the ping that follows is answered next).
::testing::AssertionResult next_bytes_are(const link_client& client, const bytes& expected) {
  const bytes got = client.receive_raw(expected.size());
  if (got != expected) {
    return ::testing::AssertionFailure()
           << "\n  expected: " << hex(expected) << "\n  received: " << hex(got);
  }
  if (!client.ping(0x5A5A)) {
    return ::testing::AssertionFailure() << "more bytes followed " << hex(expected);
  }
  return ::testing::AssertionSuccess();
}

// OPEN of the payload; the reply is every byte of the expected one.
::testing::AssertionResult opens(const link_client& client, const bytes& payload,
                                 std::uint32_t expected_id, std::uint32_t header_id = 0) {
  if (!client.send(header_id, KIND_OPEN, payload)) return ::testing::AssertionFailure() << "send";
  return next_bytes_are(client,
                        expected_id == 0 ? unhex(FAILED_OPEN_REPLY) : reply_bytes(expected_id, 0));
}
::testing::AssertionResult opens(const link_client& client, const std::string& address,
                                 std::uint32_t expected_id, std::uint32_t header_id = 0) {
  return opens(client, text(address), expected_id, header_id);
}

// DATA for a device, answered by exactly these reply messages.
::testing::AssertionResult answers(const link_client& client, std::uint32_t id, const bytes& data,
                                   std::int32_t status, const std::vector<bytes>& chunks) {
  if (!client.send(id, KIND_DATA, data)) return ::testing::AssertionFailure() << "send";
  bytes expected;
  for (const bytes& c : chunks) expected = cat({expected, reply_bytes(id, status, c)});
  return next_bytes_are(client, expected);
}

bool open_variant(scanner_peer& p, variant v) {
  return v == NT ? p.open_nt() : p.open_is();
}

// A scanner that is opened, runs the body, and is closed by the bridge in
// order: IS with its close request, NT with nothing at all.
script session_script(variant v, std::function<void(scanner_peer&)> body = {}) {
  return [v, body = std::move(body)](scanner_peer& p) {
    if (!open_variant(p, v)) return;
    if (body) body(p);
    if (v == IS) p.expect_is_close();
    p.expect_closed();
  };
}

// ESC '@' and its plain ACK reply on either variant, as the scanner sees them.
bytes esc_at_packet(variant v) {
  return v == NT ? packet_bytes(NT, 0x01, 0, ESC_AT)
                 : packet_bytes(IS, 0x20, 0, is_chunk(1, ESC_AT));
}
bytes plain_reply(variant v, const bytes& payload) {
  return packet_bytes(v, v == NT ? 0x81 : 0xA0, 0, payload);
}
bool serve_esc_at(scanner_peer& p, variant v, const bytes& reply = ACK) {
  return p.expect_bytes(esc_at_packet(v), "ESC @ packet") && p.send_raw(plain_reply(v, reply));
}

// Fake scanners that live beside the bridge; declared before it, so that
// the bridge is gone before they wait for their scripts to end.
class scanner_fleet {
 public:
  fake_scanner& add(std::vector<script> scripts) {
    fakes_.push_back(std::make_unique<fake_scanner>(std::move(scripts)));
    return *fakes_.back();
  }

 private:
  std::vector<std::unique_ptr<fake_scanner>> fakes_;
};

// The bridge and its first client.
struct driver {
  driver() : client(bridge.connect()) { EXPECT_TRUE(client.connected()); }
  // The client leaves; the bridge closes every session before its side.
  void leave() {
    EXPECT_TRUE(client.leave()) << "the bridge did not close the client link";
    EXPECT_TRUE(bridge.running());
    EXPECT_EQ(bridge.stderr_text(), "");
  }
  bridge_process bridge;
  link_client client;
};

// ---------------------------------------------------------------------------
// Roads of a driver: one device, DATA after DATA

// One thing on the scanner link: bytes the bridge must send, or bytes the
// scanner sends.
struct wire_item {
  bool from_bridge;
  bytes data;
};
wire_item to_scanner(bytes b) {
  return {true, std::move(b)};
}
wire_item from_scanner(bytes b) {
  return {false, std::move(b)};
}

struct road_step {
  bytes data;                   // the DATA payload
  std::vector<wire_item> wire;  // the scanner link while it is served, in order
  std::vector<bytes> replies;   // the reply payloads the client receives
  std::int32_t status = 0;
};

struct road_case {
  const char* name;
  variant v;
  std::vector<road_step> steps;
};

// The NT parameter block of ESC 'A': flag bit 2 of byte 4, the 8 bytes at 46.
bytes esc_a_block(const bytes& params) {
  bytes block(1176, 0);
  block[4] = 0x04;
  std::copy(params.begin(), params.end(), block.begin() + 46);
  return block;
}

// A scan of two 512-byte blocks and a last one of 256 bytes.
bytes info_block(std::uint32_t block_size, std::uint32_t count, std::uint32_t last) {
  auto le = [](std::uint32_t v) {
    return bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                 static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  };
  return cat({{0x02, 0x00}, le(block_size), le(count), le(last)});
}
const bytes SCAN_INFO = info_block(512, 2, 256);
const bytes BLOCK_1 = cat({counting(512, 1), {0x00}});
const bytes BLOCK_2 = cat({counting(512, 2), {0x00}});
const bytes BLOCK_LAST = cat({counting(256, 3), {0x00}});
// The IS transfer request of that scan.
const bytes IS_TRANSFER = packet_bytes(IS, 0x22, 0,
                                       is_chunk(0, cat({be32(2),
                                                        be32(0),
                                                        be32(513),
                                                        be32(1),
                                                        be32(513),
                                                        {0x06},
                                                        be32(1),
                                                        be32(257),
                                                        {0x06}})));

const bytes PARAMS = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
const bytes INFO_REPLY = reply_header("INFOx0000000#---");
const bytes FIN_REPLY = reply_header("FIN x0000000#---");

std::vector<road_case> road_cases() {
  return {
      {"NtLegacyCommands",
       NT,
       {{ESC_AT, {to_scanner(esc_at_packet(NT)), from_scanner(plain_reply(NT, ACK))}, {ACK}},
        {{0x1B, 'I'},
         {to_scanner(packet_bytes(NT, 0x01, 0, {0x1B, 'I'})),
          from_scanner(packet_bytes(NT, 0x81, 0, {0x02, 0x00, 0x03, 0x00, 0xAA, 0xBB, 0xCC}))},
         {{0x02, 0x00, 0x03, 0x00}, {0xAA, 0xBB, 0xCC}}}}},
      {"IsLegacyCommands",
       IS,
       {{ESC_AT, {to_scanner(esc_at_packet(IS)), from_scanner(plain_reply(IS, ACK))}, {ACK}},
        {{0x1B, 'I'},
         {to_scanner(packet_bytes(IS, 0x20, 0, is_chunk(4, {0x1B, 'I'}))),
          from_scanner(packet_bytes(IS, 0xA0, 0, {0x02, 0x00, 0x03, 0x00})),
          to_scanner(packet_bytes(IS, 0x20, 0, is_chunk(3, {}))),
          from_scanner(packet_bytes(IS, 0xA0, 0, {0xAA, 0xBB, 0xCC}))},
         {{0x02, 0x00, 0x03, 0x00}, {0xAA, 0xBB, 0xCC}}}}},
      {"NtParameterSetting",
       NT,
       {// The bridge takes the command itself; the block carries the setting.
        {{0x1B, 'A'}, {}, {ACK}},
        {PARAMS,
         {to_scanner(packet_bytes(NT, 0x02, 0, esc_a_block(PARAMS))),
          from_scanner(packet_bytes(NT, 0x82, 0, bytes(8, 0)))},
         {ACK}},
        {ESC_AT, {to_scanner(esc_at_packet(NT)), from_scanner(plain_reply(NT, ACK))}, {ACK}}}},
      {"IsParameterSetting",
       IS,
       {{{0x1B, 'A'},
         {to_scanner(packet_bytes(IS, 0x20, 0, is_chunk(1, {0x1B, 'A'}))),
          from_scanner(plain_reply(IS, ACK))},
         {ACK}},
        {PARAMS,
         {to_scanner(packet_bytes(IS, 0x20, 0, is_chunk(1, PARAMS))),
          from_scanner(plain_reply(IS, ACK))},
         {ACK}},
        {ESC_AT, {to_scanner(esc_at_packet(IS)), from_scanner(plain_reply(IS, ACK))}, {ACK}}}},
      {"NtScanWithAcksThenCancel",
       NT,
       {// The NT scanner sends every block by itself; the client's ACKs stay
        // with the bridge.
        {FS_G,
         {to_scanner(packet_bytes(NT, 0x08, 0, FS_G)),
          from_scanner(
              cat({packet_bytes(NT, 0x89, 0, SCAN_INFO), packet_bytes(NT, 0x89, 0, BLOCK_1),
                   packet_bytes(NT, 0x89, 0, BLOCK_2), packet_bytes(NT, 0x89, 0, BLOCK_LAST)}))},
         {SCAN_INFO, BLOCK_1}},
        {ACK, {}, {BLOCK_2}},
        {ACK, {}, {BLOCK_LAST}},
        {FS_G,
         {to_scanner(packet_bytes(NT, 0x08, 0, FS_G)),
          from_scanner(
              cat({packet_bytes(NT, 0x89, 0, SCAN_INFO), packet_bytes(NT, 0x89, 0, BLOCK_1),
                   packet_bytes(NT, 0x89, 0, BLOCK_2)}))},
         {SCAN_INFO, BLOCK_1}},
        // The block in flight is dropped; the scanner takes the cancel with NAK.
        {CAN,
         {to_scanner(packet_bytes(NT, 0x01, 0, CAN)), from_scanner(packet_bytes(NT, 0x81, 0, NAK))},
         {ACK}},
        {ESC_AT, {to_scanner(esc_at_packet(NT)), from_scanner(plain_reply(NT, ACK))}, {ACK}}}},
      {"IsScanWithAcksThenCancel",
       IS,
       {{FS_G,
         {to_scanner(packet_bytes(IS, 0x20, 0, is_chunk(14, FS_G))),
          from_scanner(packet_bytes(IS, 0xA0, 0, SCAN_INFO)), to_scanner(IS_TRANSFER),
          from_scanner(cat({packet_bytes(IS, 0xA2, 0, BLOCK_1), packet_bytes(IS, 0xA2, 0, BLOCK_2),
                            packet_bytes(IS, 0xA2, 0, BLOCK_LAST)}))},
         {SCAN_INFO, BLOCK_1}},
        {ACK, {}, {BLOCK_2}},
        {ACK, {}, {BLOCK_LAST}},
        {FS_G,
         {to_scanner(packet_bytes(IS, 0x20, 0, is_chunk(14, FS_G))),
          from_scanner(packet_bytes(IS, 0xA0, 0, SCAN_INFO)), to_scanner(IS_TRANSFER),
          from_scanner(
              cat({packet_bytes(IS, 0xA2, 0, BLOCK_1), packet_bytes(IS, 0xA2, 0, BLOCK_2)}))},
         {SCAN_INFO, BLOCK_1}},
        {CAN,
         {to_scanner(
              packet_bytes(IS, 0x22, 1, {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x18})),
          from_scanner(packet_bytes(IS, 0xA2, 0, ACK))},
         {ACK}},
        {ESC_AT, {to_scanner(esc_at_packet(IS)), from_scanner(plain_reply(IS, ACK))}, {ACK}}}},
      {"IsExtendedModeToFin",
       IS,
       {{FS_X,
         {to_scanner(packet_bytes(IS, 0x20, 0, is_chunk(1, FS_X))),
          from_scanner(plain_reply(IS, ACK))},
         {ACK}},
        {text("INFOx0000000"),
         {to_scanner(packet_bytes(IS, 0x20, 0, is_chunk(64, text("INFOx0000000")))),
          from_scanner(packet_bytes(IS, 0xA0, 0, INFO_REPLY))},
         {INFO_REPLY}},
        {text("FIN x0000000"),
         {to_scanner(packet_bytes(IS, 0x20, 0, is_chunk(64, text("FIN x0000000")))),
          from_scanner(packet_bytes(IS, 0xA0, 0, FIN_REPLY))},
         {FIN_REPLY}},
        // Back in legacy mode.
        {ESC_AT, {to_scanner(esc_at_packet(IS)), from_scanner(plain_reply(IS, ACK))}, {ACK}}}},
  };
}

class DeviceRoad : public ::testing::TestWithParam<road_case> {};

TEST_P(DeviceRoad, EveryByteOnBothLinks) {
  const road_case& c = GetParam();
  scanner_fleet fleet;
  fake_scanner& fake = fleet.add({session_script(c.v, [&c](scanner_peer& p) {
    for (std::size_t i = 0; i < c.steps.size() && p.ok(); ++i) {
      for (const wire_item& w : c.steps[i].wire) {
        if (w.from_bridge) {
          p.expect_bytes(w.data, "step " + std::to_string(i) + " packet");
        } else {
          p.send_raw(w.data);
        }
      }
    }
  })});
  driver d;
  ASSERT_TRUE(opens(d.client, address_of(fake), 1));
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i) + ": DATA " + hex(c.steps[i].data));
    ASSERT_TRUE(answers(d.client, 1, c.steps[i].data, c.steps[i].status, c.steps[i].replies));
  }
  d.leave();
  EXPECT_EQ(fake.accepted(), 1);
}

INSTANTIATE_TEST_SUITE_P(DeviceRoads, DeviceRoad, ::testing::ValuesIn(road_cases()),
                         [](const auto& p) { return std::string(p.param.name); });

// The exact bytes of a legacy reply on the client link.
TEST(DeviceRoadBytes, NtAckReplyIsOneMessage) {
  scanner_fleet fleet;
  fake_scanner& fake =
      fleet.add({session_script(NT, [](scanner_peer& p) { serve_esc_at(p, NT); })});
  driver d;
  ASSERT_TRUE(opens(d.client, address_of(fake), 1));
  ASSERT_TRUE(d.client.send(1, KIND_DATA, ESC_AT));
  EXPECT_TRUE(
      next_bytes_are(d.client, unhex("00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 01 06")));
  d.leave();
}

// ---------------------------------------------------------------------------
// OPEN address forms

enum class outcome { opens, fails_without_connecting };

struct address_case {
  const char* name;
    // The OPEN payload; PORT stands for the fake's port, OTHER for the port of a
  // second fake that must never be reached, WRAPPED for the fake's port plus
  // 65536.
  std::string payload;
  outcome expected;
};

bytes expand(std::string s, int port, int other) {
  auto put = [&s](const std::string& key, int value) {
    for (std::size_t at = s.find(key); at != std::string::npos; at = s.find(key)) {
      s.replace(at, key.size(), std::to_string(value));
    }
  };
  put("OTHER", other);
  put("WRAPPED", port + 65536);
  put("PORT", port);
  return text(s);
}

class DeviceOpenAddress : public ::testing::TestWithParam<address_case> {};

TEST_P(DeviceOpenAddress, OpensOrFailsWithoutConnecting) {
  const address_case& c = GetParam();
  const bool opens_it = c.expected == outcome::opens;
  scanner_fleet fleet;
  std::vector<script> scripts;
  if (opens_it) scripts.push_back(session_script(NT, [](scanner_peer& p) { serve_esc_at(p, NT); }));
  fake_scanner& fake = fleet.add(std::move(scripts));
  fake_scanner& other = fleet.add({});  // any connection to it is a failure
  driver d;
  ASSERT_TRUE(opens(d.client, expand(c.payload, fake.port(), other.port()), opens_it ? 1 : 0));
  if (opens_it) {
    EXPECT_TRUE(answers(d.client, 1, ESC_AT, 0, {ACK}));
  } else {
    ASSERT_TRUE(d.client.send(1, KIND_DATA, ESC_AT));
    EXPECT_TRUE(next_bytes_are(d.client, unhex(NAK_REPLY))) << "a failed OPEN made a device";
  }
  d.leave();
  EXPECT_EQ(fake.accepted(), opens_it ? 1 : 0);
  EXPECT_EQ(other.accepted(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    DeviceForms, DeviceOpenAddress,
    ::testing::Values(
        address_case{"Scheme", "x://127.0.0.1:PORT", outcome::opens},
        address_case{"NoScheme", "//127.0.0.1:PORT", outcome::opens},
        address_case{"OtherScheme", "net-scan://127.0.0.1:PORT", outcome::opens},
        // Only the first "//" counts; the rest is the address, further "//"
        // included: host 127.0.0.1, and the port text stops at the first
        // character that is not a digit.
        address_case{"FirstDoubleSlashOnly", "a//127.0.0.1:PORT//127.0.0.1:OTHER", outcome::opens},
        address_case{"PortFollowedByPath", "x://127.0.0.1:PORT/a", outcome::opens},
        // The trailing zero byte is part of the address; the port text ends
        // there.
        address_case{"TrailingZeroByte", std::string("x://127.0.0.1:PORT") + '\0', outcome::opens},
        address_case{"NoDoubleSlash", "127.0.0.1", outcome::fails_without_connecting},
        address_case{"NoDoubleSlashWithPort", "127.0.0.1:PORT", outcome::fails_without_connecting},
        address_case{"SingleSlash", "x:/127.0.0.1:PORT", outcome::fails_without_connecting},
        address_case{"NothingAfterDoubleSlash", "x://", outcome::fails_without_connecting},
        address_case{"OnlyDoubleSlash", "//", outcome::fails_without_connecting},
        address_case{"OneByte", "/", outcome::fails_without_connecting},
        address_case{"Empty", "", outcome::fails_without_connecting},
        // A port outside 1-65535 fails at once, instead of reaching the port
        // it would give cut to 16 bits.
        address_case{"PortAboveRange", "x://127.0.0.1:WRAPPED", outcome::fails_without_connecting},
        address_case{"PortZero", "x://127.0.0.1:0", outcome::fails_without_connecting}),
    [](const auto& p) { return std::string(p.param.name); });

// A scanner that never greets: every try connects, finds the connection
// closed and backs off. The OPEN fails after 10 tries and the table is as it
// was.
TEST(DeviceOpenFailure, GivesUpAfterTenTriesAndItsBackOff) {
  scanner_fleet fleet;
  fake_scanner& good =
      fleet.add({session_script(IS, [](scanner_peer& p) { serve_esc_at(p, IS); })});
  std::vector<script> hang_ups(10, [](scanner_peer& p) { p.close(); });
  fake_scanner& silent = fleet.add(std::move(hang_ups));
  driver d;
  ASSERT_TRUE(opens(d.client, address_of(good), 1));

  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(d.client.send(0, KIND_OPEN, text(address_of(silent))));
  const bytes reply = d.client.receive_raw(16, 30s);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(hex(reply), FAILED_OPEN_REPLY);
  EXPECT_GE(took, 5500ms) << "the back-off is 0.1 s to 1.0 s after each of the 10 tries";
  EXPECT_EQ(silent.accepted(), 10);
  EXPECT_TRUE(d.client.ping());

  // The table is unchanged: no device 2, device 1 still served.
  ASSERT_TRUE(d.client.send(2, KIND_DATA, ESC_AT));
  EXPECT_TRUE(next_bytes_are(d.client, unhex(NAK_REPLY)));
  EXPECT_TRUE(answers(d.client, 1, ESC_AT, 0, {ACK}));
  d.leave();
  EXPECT_EQ(silent.accepted(), 10);
}

// ---------------------------------------------------------------------------
// Ids, CLOSE and messages of other kinds

// An NT scanner that answers ESC '@' with its own mark as often as it is
// asked, and notes when the bridge drops it.
script marked_nt(std::uint8_t mark, int commands, std::atomic<bool>* closed = nullptr) {
  return [=](scanner_peer& p) {
    if (!p.open_nt()) return;
    for (int i = 0; i < commands; ++i) serve_esc_at(p, NT, {mark});
    if (p.expect_closed() && closed) *closed = true;
  };
}

TEST(DeviceIds, SmallestFreeIdFromOne) {
  std::atomic<bool> a_closed{false};
  scanner_fleet fleet;
  fake_scanner& a = fleet.add({marked_nt(0xA1, 1, &a_closed)});
  fake_scanner& b = fleet.add({marked_nt(0xB2, 1)});
  fake_scanner& c = fleet.add({marked_nt(0xC3, 1)});
  std::vector<fake_scanner*> more;
  for (std::uint8_t m = 0xD4; m <= 0xD8; ++m) more.push_back(&fleet.add({marked_nt(m, 1)}));
  fake_scanner& g = *more.back();
  fake_scanner& h = fleet.add({marked_nt(0xE9, 1)});
  driver d;
  const link_client& client = d.client;

  ASSERT_TRUE(opens(client, address_of(a), 1));
  ASSERT_TRUE(opens(client, address_of(b), 2));
  EXPECT_TRUE(answers(client, 1, ESC_AT, 0, {{0xA1}}));
  EXPECT_TRUE(answers(client, 2, ESC_AT, 0, {{0xB2}}));

  // CLOSE sends nothing back and drops the session at once.
  ASSERT_TRUE(client.send(1, KIND_CLOSE));
  EXPECT_TRUE(next_bytes_are(client, {}));
  EXPECT_TRUE(testing::wait_until([&] { return a_closed.load(); }))
      << "device 1's scanner connection stayed open after CLOSE";
  ASSERT_TRUE(client.send(1, KIND_DATA, ESC_AT));
  EXPECT_TRUE(next_bytes_are(client, unhex(NAK_REPLY)));

  // Kind 9 for an id that is not open.
  ASSERT_TRUE(client.send(3, 9));
  EXPECT_TRUE(next_bytes_are(client, unhex("00 00 00 03 00 00 00 00 FF FF FF FF 00 00 00 00")));

  // Id 1 again, for the new device.
  ASSERT_TRUE(opens(client, address_of(c), 1));
  EXPECT_TRUE(answers(client, 1, ESC_AT, 0, {{0xC3}}));
  for (std::size_t i = 0; i < more.size(); ++i) {
    ASSERT_TRUE(opens(client, address_of(*more[i]), static_cast<std::uint32_t>(i + 3)));
  }
  // Kind 9 for an id that is open: the same answer, and the device is not
  // troubled.
  ASSERT_TRUE(client.send(3, 9));
  EXPECT_TRUE(next_bytes_are(client, unhex("00 00 00 03 00 00 00 00 FF FF FF FF 00 00 00 00")));

  // The header id of an OPEN plays no part: 7 is open, a new device gets 8.
  ASSERT_TRUE(opens(client, address_of(h), 8, 7));
  EXPECT_TRUE(answers(client, 8, ESC_AT, 0, {{0xE9}}));
  EXPECT_TRUE(answers(client, 7, ESC_AT, 0, {{0xD8}}));
  for (std::uint32_t id = 3; id <= 6; ++id) {
    EXPECT_TRUE(answers(client, id, ESC_AT, 0, {{static_cast<std::uint8_t>(0xD1 + id)}}));
  }
  d.leave();
  EXPECT_EQ(g.accepted(), 1);
}

TEST(DeviceIds, OtherKindsAndUnknownClosesLeaveDevicesAlone) {
  scanner_fleet fleet;
  // Any stray packet would differ from the ESC '@' it expects.
  fake_scanner& fake =
      fleet.add({session_script(IS, [](scanner_peer& p) { serve_esc_at(p, IS, {0x42}); })});
  driver d;
  const link_client& client = d.client;
  ASSERT_TRUE(opens(client, address_of(fake), 1));

  for (const std::uint32_t kind : {1u, 2u, 3u, 6u, 7u, 8u, 9u, 0x100u, 0x04000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE("kind " + std::to_string(kind));
    ASSERT_TRUE(client.send(1, kind, ESC_AT));
    EXPECT_TRUE(next_bytes_are(client, reply_bytes(1, -1)));
  }
  for (const std::uint32_t id : {0u, 2u, 7u, 0xFFFFFFFFu}) {
    SCOPED_TRACE("CLOSE " + std::to_string(id));
    ASSERT_TRUE(client.send(id, KIND_CLOSE));
    EXPECT_TRUE(next_bytes_are(client, {}));
  }
  EXPECT_TRUE(answers(client, 1, ESC_AT, 0, {{0x42}}));
  d.leave();
}

// ---------------------------------------------------------------------------
// Orderly close of every session

enum class ending { client_leaves, sighup, parent_dies };

// The bridge, started by the test itself or by an intermediate parent process
// that the test can kill. Start it before any fake scanner, so that the
// intermediate process is forked while the test has a single thread.
class bridge_run {
 public:
  explicit bridge_run(bool own_parent) {
    if (!own_parent) {
      direct_.emplace();
      pid_ = direct_->pid();
      port_ = direct_->port();
      return;
    }
    adopt_.emplace();
    testing::pipe_fds report = testing::make_pipe();
    testing::pipe_fds hold = testing::make_pipe();
    parent_ = testing::child_process::fork_running([&] {
      report.read_end.reset();
      hold.write_end.reset();
      bridge_process bridge;
      const std::int32_t words[2] = {bridge.pid(), bridge.port()};
      bytes out(sizeof words);
      std::memcpy(out.data(), words, sizeof words);
      if (!testing::write_all(report.write_end.get(), out)) return 1;
      std::uint8_t byte;
      return static_cast<int>(read(hold.read_end.get(), &byte, 1));  // until the test lets go
    });
    report.write_end.reset();
    hold_ = std::move(hold.write_end);
    const bytes got = testing::read_exact(report.read_end.get(), 8);
    if (got.size() != 8) throw std::runtime_error("the intermediate process reported no bridge");
    std::int32_t words[2];
    std::memcpy(words, got.data(), sizeof words);
    adopted_ = testing::child_process(words[0]);
    pid_ = words[0];
    port_ = words[1];
  }

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  bridge_process* direct() { return direct_ ? &*direct_ : nullptr; }
  void kill_parent() { parent_.kill_and_reap(); }
  testing::exit_status wait_exit(std::chrono::milliseconds timeout = WAIT) {
    return direct_ ? direct_->wait_exit(timeout) : adopted_.wait_exit(timeout);
  }

 private:
  std::optional<testing::subreaper_scope> adopt_;
  testing::child_process parent_;
  testing::unique_fd hold_;
  std::optional<bridge_process> direct_;
  testing::child_process adopted_;  // last: killed first
  pid_t pid_ = -1;
  int port_ = 0;
};

const char* name_of(ending how) {
  switch (how) {
    case ending::client_leaves:
      return "ClientLeaves";
    case ending::sighup:
      return "Sighup";
    case ending::parent_dies:
      return "ParentDies";
  }
  return "?";
}
void PrintTo(ending how, std::ostream* os) {
  *os << name_of(how);
}

class DeviceOrderlyClose : public ::testing::TestWithParam<ending> {};

TEST_P(DeviceOrderlyClose, EveryIsSessionInAscendingIdOrder) {
  const ending how = GetParam();
  std::mutex mutex;
  std::vector<char> closes;  // scanners in the order their close requests came
  std::atomic<bool> nt_closed{false};
  // An IS scanner that notes its close request before it answers it, so that
  // the next one cannot come first.
  auto is_scanner = [&](char name) -> script {
    return [&, name](scanner_peer& p) {
      if (!p.open_is() || !serve_esc_at(p, IS, {static_cast<std::uint8_t>(name)})) return;
      if (!p.expect_packet(IS, 0x21, 1, {})) return;
      {
        const std::lock_guard<std::mutex> lock(mutex);
        closes.push_back(name);
      }
      p.send_packet(IS, 0xA1, 1, ACK);
      p.expect_closed();
    };
  };
  auto closed_so_far = [&] {
    const std::lock_guard<std::mutex> lock(mutex);
    return std::string(closes.begin(), closes.end());
  };

  scanner_fleet fleet;  // before the bridge: it outlives it
  bridge_run run(how == ending::parent_dies);
  fake_scanner& a = fleet.add({is_scanner('A')});
  fake_scanner& b = fleet.add({is_scanner('B')});
  fake_scanner& n = fleet.add({[&](scanner_peer& p) {
    if (!p.open_nt() || !serve_esc_at(p, NT, {'N'})) return;
    // Nothing at all when an NT session closes.
    if (p.expect_closed()) nt_closed = true;
  }});
  fake_scanner& c = fleet.add({is_scanner('C')});
  fake_scanner& e = fleet.add({is_scanner('E')});

  link_client client = link_client::connect_retry(run.port());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(opens(client, address_of(a), 1));
  ASSERT_TRUE(opens(client, address_of(b), 2));
  ASSERT_TRUE(opens(client, address_of(n), 3));
  ASSERT_TRUE(opens(client, address_of(c), 4));
  ASSERT_TRUE(answers(client, 1, ESC_AT, 0, {{'A'}}));
  // CLOSE of 1 closes A at once.
  ASSERT_TRUE(client.send(1, KIND_CLOSE));
  ASSERT_TRUE(next_bytes_are(client, {}));
  EXPECT_EQ(closed_so_far(), "A");
  // E takes id 1: ascending ids now differ from the order of opening.
  ASSERT_TRUE(opens(client, address_of(e), 1));
  const std::pair<std::uint32_t, char> marks[] = {{1, 'E'}, {2, 'B'}, {3, 'N'}, {4, 'C'}};
  for (const auto& [id, mark] : marks) {
    EXPECT_TRUE(answers(client, id, ESC_AT, 0, {{static_cast<std::uint8_t>(mark)}}));
  }

  switch (how) {
    case ending::client_leaves: {
      ASSERT_TRUE(client.leave());
      EXPECT_EQ(closed_so_far(), "AEBC");
      // A new client on the same port starts again from id 1.
      bridge_process& bridge = *run.direct();
      fake_scanner& f = fleet.add({is_scanner('F')});
      link_client next = bridge.connect();
      ASSERT_TRUE(next.connected());
      ASSERT_TRUE(opens(next, address_of(f), 1));
      EXPECT_TRUE(answers(next, 1, ESC_AT, 0, {{'F'}}));
      ASSERT_TRUE(next.leave());
      EXPECT_EQ(closed_so_far(), "AEBCF");
      EXPECT_TRUE(bridge.running());
      EXPECT_EQ(bridge.stderr_text(), "");
      break;
    }
    case ending::sighup:
      ASSERT_TRUE(testing::wait_in_syscall(run.pid(), testing::poll_calls()));
      ASSERT_TRUE(run.direct()->send_signal(SIGHUP));
      EXPECT_TRUE(client.expect_eof());
      EXPECT_EQ(run.wait_exit(), exited(0));
      EXPECT_EQ(closed_so_far(), "AEBC");
      EXPECT_EQ(run.direct()->rest_of_stdout(), "");
      EXPECT_EQ(run.direct()->stderr_text(), "");
      break;
    case ending::parent_dies:
      ASSERT_TRUE(testing::wait_in_syscall(run.pid(), testing::poll_calls()));
      run.kill_parent();
      EXPECT_TRUE(client.expect_eof());
      EXPECT_EQ(run.wait_exit(), exited(0));
      EXPECT_EQ(closed_so_far(), "AEBC");
      break;
  }
  EXPECT_TRUE(testing::wait_until([&] { return nt_closed.load(); }));
}

INSTANTIATE_TEST_SUITE_P(DeviceEndings, DeviceOrderlyClose,
                         ::testing::Values(ending::client_leaves, ending::sighup,
                                           ending::parent_dies),
                         [](const auto& p) { return std::string(name_of(p.param)); });

// ---------------------------------------------------------------------------
// A stop from every state: the bridge lets go of every scanner at once, and
// every IS scanner still receives its close request.

enum class stop_state {
  accept_wait,      // no client yet
  message_wait,     // a client that sends nothing
  inside_message,   // 7 bytes of a message, then nothing
  connect_silent,   // OPEN of a scanner that accepts and never greets
  connect_refused,  // OPEN of a port that refuses, in the pause between tries
  data_silent,      // DATA that waits for a scanner's answer that never comes
  data_stalled,     // DATA whose answer stops after part of the packet
  closing,          // the client left; the closing exchange waits in vain
};
enum class stop_by { sighup, parent_dies, sigterm };

struct stop_case {
  stop_state state;
  stop_by by;
};

std::string name_of(const stop_case& c) {
  static const char* const states[] = {"AcceptWait",    "MessageWait", "InsideMessage",
                                       "ConnectSilent", "ConnectRefused", "DataSilent",
                                       "DataStalled",   "Closing"};
  static const char* const bys[] = {"Sighup", "ParentDies", "Sigterm"};
  return std::string(states[static_cast<int>(c.state)]) + bys[static_cast<int>(c.by)];
}
void PrintTo(const stop_case& c, std::ostream* os) {
  *os << name_of(c);
}

// An IS scanner that answers ESC '@' with ACK until its close request comes,
// which it answers and counts.
script answering_is(std::atomic<int>& closes) {
  return [&closes](scanner_peer& p) {
    if (!p.open_is()) return;
    while (std::optional<testing::raw_packet> in = p.read_packet()) {
      if (in->type() == 0x21 && in->flag() == 1) {
        ++closes;
        p.send_packet(IS, 0xA1, 1, ACK);
        p.expect_closed();
        return;
      }
      p.send_raw(plain_reply(IS, ACK));
    }
  };
}

// An IS scanner that takes ESC '@' (unless told it is only opened), then
// plays its part, then counts the close request, which it leaves unanswered.
script silent_is(std::atomic<int>& closes, std::atomic<bool>& ready,
                 std::function<void(scanner_peer&)> part) {
  return [&closes, &ready, part = std::move(part)](scanner_peer& p) {
    if (!p.open_is() || (part && !p.expect_bytes(esc_at_packet(IS), "ESC @ packet"))) return;
    if (part) part(p);
    ready = true;
    if (p.expect_packet(IS, 0x21, 1, {})) ++closes;
    p.expect_closed();
  };
}

class DeviceStop : public ::testing::TestWithParam<stop_case> {};

TEST_P(DeviceStop, EndsWithinTheBoundAndClosesEveryScanner) {
  const stop_case c = GetParam();
  // A stop that is held back: SIGTERM while the bridge waits for (or reads)
  // a client message, which is still dispatched first.
  const bool deferred =
      c.by == stop_by::sigterm &&
      (c.state == stop_state::message_wait || c.state == stop_state::inside_message);
  std::atomic<int> closes{0};
  std::atomic<bool> ready{false};
  int expected_closes = 1;  // the IS device open beside the subject

  scanner_fleet fleet;
  bridge_run run(c.by == stop_by::parent_dies);
  // No client in the first state, hence no device beside.
  fake_scanner* beside =
      c.state == stop_state::accept_wait ? nullptr : &fleet.add({answering_is(closes)});
  // The scanners of the state, opened before the one beside when they come
  // first in the closing order.
  std::vector<fake_scanner*> first;
  fake_scanner* subject = nullptr;
  std::optional<testing::listener> refusing;
  switch (c.state) {
    case stop_state::connect_silent:
      subject = &fleet.add({[&ready](scanner_peer& p) {
        ready = true;
        p.expect_closed();
      }});
      break;
    case stop_state::connect_refused:
      refusing = testing::bind_loopback();
      break;
    case stop_state::data_silent:
      subject = &fleet.add({silent_is(closes, ready, [](scanner_peer&) {})});
      expected_closes = 2;
      break;
    case stop_state::data_stalled:
      subject = &fleet.add({silent_is(closes, ready, [](scanner_peer& p) {
        p.send_raw(cat({header_bytes(IS, 0xA0, 0, 10), {0x06, 0x06, 0x06}}));
      })});
      expected_closes = 2;
      break;
    case stop_state::closing:
      // Two that never answer their close request: the stop cuts the first
      // wait short, the second lasts its second, then the one beside.
      first.push_back(&fleet.add({silent_is(closes, ready, nullptr)}));
      first.push_back(&fleet.add({silent_is(closes, ready, nullptr)}));
      expected_closes = 3;
      break;
    default:
      break;
  }

  link_client client{testing::unique_fd()};
  if (c.state == stop_state::accept_wait) {
    expected_closes = 0;
  } else {
    client = link_client::connect_retry(run.port());
    ASSERT_TRUE(client.connected());
    std::uint32_t id = 1;
    for (fake_scanner* f : first) ASSERT_TRUE(opens(client, address_of(*f), id++));
    ASSERT_TRUE(opens(client, address_of(*beside), id++));
    if (subject != nullptr && c.state != stop_state::connect_silent) {
      ASSERT_TRUE(opens(client, address_of(*subject), id++));
    }
  }
  const bytes message = testing::link_message(1, KIND_DATA, ESC_AT);
  switch (c.state) {
    case stop_state::inside_message:
      ASSERT_TRUE(client.send_raw(bytes(message.begin(), message.begin() + 7)));
      break;
    case stop_state::connect_silent:
      ASSERT_TRUE(client.send(0, KIND_OPEN, text(address_of(*subject))));
      ASSERT_TRUE(testing::wait_until([&] { return ready.load(); }));
      break;
    case stop_state::connect_refused:
      ASSERT_TRUE(
          client.send(0, KIND_OPEN, text("x://127.0.0.1:" + std::to_string(refusing->port))));
      ASSERT_TRUE(testing::wait_in_poll_of(run.pid(), 1));
      break;
    case stop_state::data_silent:
    case stop_state::data_stalled:
      ASSERT_TRUE(client.send(2, KIND_DATA, ESC_AT));
      ASSERT_TRUE(testing::wait_until([&] { return ready.load(); }));
      break;
    case stop_state::closing:
      // The client leaves; the first close request is out and unanswered.
      ASSERT_EQ(shutdown(client.fd(), SHUT_WR), 0);
      ASSERT_TRUE(testing::wait_until([&] { return closes == 1; }));
      break;
    default:
      break;
  }
  ASSERT_TRUE(testing::wait_in_syscall(run.pid(), testing::poll_calls()));

  const auto start = std::chrono::steady_clock::now();
  switch (c.by) {
    case stop_by::sighup:
      ASSERT_EQ(kill(run.pid(), SIGHUP), 0);
      break;
    case stop_by::sigterm:
      ASSERT_EQ(kill(run.pid(), SIGTERM), 0);
      break;
    case stop_by::parent_dies:
      run.kill_parent();
      break;
  }
  if (deferred) {
    // The bridge goes on waiting for the message; once it is whole, it is
    // answered, and then the bridge stops.
    EXPECT_TRUE(testing::wait_until([&] {
      return (testing::signal_mask(run.pid(), "SigPnd") & testing::signal_bit(SIGTERM)) == 0 &&
             (testing::signal_mask(run.pid(), "ShdPnd") & testing::signal_bit(SIGTERM)) == 0;
    }));
    ASSERT_TRUE(testing::wait_in_syscall(run.pid(), testing::poll_calls()));
    ASSERT_TRUE(client.send_raw(c.state == stop_state::inside_message
                                    ? bytes(message.begin() + 7, message.end())
                                    : message));
    EXPECT_EQ(hex(client.receive_raw(17)), hex(reply_bytes(1, 0, ACK)));
  }
  const testing::exit_status status = run.wait_exit(3s);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(status, exited(0));
  if (!deferred) {
    std::printf("stop latency %s: %.1f ms\n", name_of(c).c_str(),
                std::chrono::duration<double, std::milli>(took).count());
  }
  if (c.state == stop_state::connect_silent || c.state == stop_state::connect_refused) {
    // The OPEN that the stop cut short still gets its failure reply.
    EXPECT_EQ(hex(client.receive_raw(16)), FAILED_OPEN_REPLY);
  }
  EXPECT_TRUE(testing::wait_until([&] { return closes == expected_closes; }))
      << closes << " close requests";
}

std::vector<stop_case> every_stop() {
  std::vector<stop_case> out;
  for (int s = 0; s <= static_cast<int>(stop_state::closing); ++s) {
    for (int b = 0; b <= static_cast<int>(stop_by::sigterm); ++b) {
      out.push_back({static_cast<stop_state>(s), static_cast<stop_by>(b)});
    }
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(EveryState, DeviceStop, ::testing::ValuesIn(every_stop()),
                         [](const auto& p) { return name_of(p.param); });

// ---------------------------------------------------------------------------
// ---------------------------------------------------------------------------
// Notices

TEST(DeviceNotice, NoticeQueryReportsAWaitingNotice) {
  scanner_fleet fleet;
  fake_scanner& fake = fleet.add({[](scanner_peer& p) {
    // The notice follows the greeting in the same write: it is waiting when
    // the DATA message comes.
    p.send_raw(
        cat({packet_bytes(NT, 0x80, 0, {0x01, 0x02, 0x00}), packet_bytes(NT, 0x84, 0, {0x01})}));
    p.expect_packet(NT, 0x11, 0, {0x00, 0x02});
    for (int i = 0; i < 2; ++i) {
      p.expect_packet(NT, 0x11, 0, {0x00, 0x00});
      p.send_packet(NT, 0x91, 0, {0x00, 0x01});
    }
    p.expect_closed();
  }});
  driver d;
  ASSERT_TRUE(opens(d.client, address_of(fake), 1));
  EXPECT_TRUE(answers(d.client, 1, {0x1B, '!'}, 0, {{0x02, 0x00, 0x01, 0x00}, {0x01}}));
  // Asked again, with no new notice.
  EXPECT_TRUE(answers(d.client, 1, {0x1B, '!'}, 0, {{0x02, 0x00, 0x01, 0x00}, {0x00}}));
  d.leave();
}

struct disconnect_case {
  const char* name;
  variant v;
  // After the disconnect event the DATA that met it gets no reply, and the
  // next one reconnects; or the event waits behind a reply and the next DATA
  // reconnects at once.
  bool during_command;
  std::uint8_t code;
};

class DeviceDisconnectEvent : public ::testing::TestWithParam<disconnect_case> {};

TEST_P(DeviceDisconnectEvent, NextDataReconnects) {
  const disconnect_case& c = GetParam();
  const std::uint8_t notice = c.v == NT ? 0x84 : 0x90;
  scanner_fleet fleet;
  fake_scanner& fake = fleet.add(
      {[&c, notice](scanner_peer& p) {
         if (!open_variant(p, c.v)) return;
         p.expect_bytes(esc_at_packet(c.v), "ESC @ packet");
         if (c.during_command) {
           p.send_packet(c.v, notice, 0, {c.code});
         } else {
           p.send_raw(cat({plain_reply(c.v, ACK), packet_bytes(c.v, notice, 0, {c.code})}));
         }
         // Dropped by the scanner's own request: no close request.
         p.expect_closed();
       },
       session_script(c.v, [&c](scanner_peer& p) { serve_esc_at(p, c.v, NAK); })});
  driver d;
  ASSERT_TRUE(opens(d.client, address_of(fake), 1));
  if (c.during_command) {
    EXPECT_TRUE(answers(d.client, 1, ESC_AT, -1, {}));
  } else {
    EXPECT_TRUE(answers(d.client, 1, ESC_AT, 0, {ACK}));
  }
  EXPECT_EQ(fake.accepted(), 1);
  EXPECT_TRUE(answers(d.client, 1, ESC_AT, 0, {NAK}));
  EXPECT_EQ(fake.accepted(), 2);
  d.leave();
}

INSTANTIATE_TEST_SUITE_P(DeviceEvents, DeviceDisconnectEvent,
                         ::testing::Values(disconnect_case{"NtDuringCommand", NT, true, 0x02},
                                           disconnect_case{"NtWaitingBehindReply", NT, false, 0x10},
                                           disconnect_case{"IsDuringCommand", IS, true, 0x80},
                                           disconnect_case{"IsWaitingBehindReply", IS, false,
                                                           0xA0}),
                         [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------
// A scanner that breaks the stream during a command

enum class fault { reset, oversized_header };

struct fault_case {
  const char* name;
  variant v;
  fault f;
};

class DeviceScannerFault : public ::testing::TestWithParam<fault_case> {};

TEST_P(DeviceScannerFault, NoReplyBridgeStaysUpAndTheDeviceReconnects) {
  const fault_case& c = GetParam();
  scanner_fleet fleet;
  fake_scanner& broken =
      fleet.add({[&c](scanner_peer& p) {
                   if (!open_variant(p, c.v)) return;
                   p.expect_bytes(esc_at_packet(c.v), "ESC @ packet");
                   if (c.f == fault::reset) {
                     p.reset();
                     return;
                   }
                   p.send_raw(header_bytes(c.v, c.v == NT ? 0x81 : 0xA0, 0, 0x10000001));
                   // IS still sends its close request; left unanswered, the bridge
                   // gives up on it and drops the connection.
                   if (c.v == IS) p.expect_packet(IS, 0x21, 1, {});
                   p.expect_closed();
                 },
                 session_script(c.v, [&c](scanner_peer& p) { serve_esc_at(p, c.v, {0x5B}); })});
  fake_scanner& other = fleet.add({session_script(c.v == NT ? IS : NT, [&c](scanner_peer& p) {
    serve_esc_at(p, c.v == NT ? IS : NT, {0x0E});
  })});
  driver d;
  ASSERT_TRUE(opens(d.client, address_of(broken), 1));
  ASSERT_TRUE(opens(d.client, address_of(other), 2));

  // A failed exchange with nothing queued sends nothing: the next bytes are
  // the answer to the kind-9 probe, which comes well within the wait.
  ASSERT_TRUE(d.client.send(1, KIND_DATA, ESC_AT));
  EXPECT_TRUE(d.client.ping(3, WAIT));
  EXPECT_TRUE(d.bridge.running());
  EXPECT_TRUE(answers(d.client, 2, ESC_AT, 0, {{0x0E}}));
  EXPECT_EQ(broken.accepted(), 1);
  EXPECT_TRUE(answers(d.client, 1, ESC_AT, 0, {{0x5B}}));
  EXPECT_EQ(broken.accepted(), 2);
  d.leave();
}

INSTANTIATE_TEST_SUITE_P(
    DeviceFaults, DeviceScannerFault,
    ::testing::Values(fault_case{"NtReset", NT, fault::reset},
                      fault_case{"IsReset", IS, fault::reset},
                      fault_case{"NtOversizedHeader", NT, fault::oversized_header},
                      fault_case{"IsOversizedHeader", IS, fault::oversized_header}),
    [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------
// A malformed extended request ends the bridge

TEST(DeviceExtended, MalformedRequestClosesEverySessionAndExitsWithStatusOne) {
  scanner_fleet fleet;
  fake_scanner& is = fleet.add({session_script(IS, [](scanner_peer& p) {
    p.expect_packet(IS, 0x20, 0, is_chunk(1, FS_X));
    p.send_packet(IS, 0xA0, 0, ACK);
    // Nothing reaches the scanner for the malformed request; then the close
    // request of the orderly close.
  })});
  fake_scanner& nt = fleet.add({session_script(NT)});
  driver d;
  ASSERT_TRUE(opens(d.client, address_of(nt), 1));
  ASSERT_TRUE(opens(d.client, address_of(is), 2));
  ASSERT_TRUE(answers(d.client, 2, FS_X, 0, {ACK}));
  ASSERT_TRUE(d.client.send(2, KIND_DATA, text("INFOx00000ff")));
  EXPECT_TRUE(d.client.expect_eof());
  EXPECT_EQ(d.bridge.wait_exit(), exited(1));
  EXPECT_EQ(d.bridge.rest_of_stdout(), "");
  EXPECT_EQ(d.bridge.stderr_text(), "bad size digit\n");
}

}  // namespace
}  // namespace scanbridge
