// SPDX-License-Identifier: MIT
#include "wire/protocol.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <stdexcept>
#include <string>

#include "net/endpoint.h"
#include "tests/session/fake_scanner.h"

namespace scanbridge {
namespace {

using namespace scanbridge::testing;

// Test parameters print as their names.
using testing::PrintTo;

constexpr std::chrono::seconds LINK_TIMEOUT_S{10};

const bytes IS_OPEN_REQUEST = {0x49, 0x53, 0x21, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x07,
                               0x00, 0x00, 0x01, 0xA0, 0x04, 0x00, 0x00, 0x01, 0x2C};
const bytes IS_OPEN_ACK = {0x49, 0x53, 0xA1, 0x00, 0x00, 0x0C, 0x00,
                           0x00, 0x00, 0x01, 0x00, 0x00, 0x06};
const bytes NT_SETUP_REQUEST = {0x4E, 0x54, 0x11, 0x00, 0x00, 0x0C, 0x00,
                                0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02};
const bytes IS_CLOSE_REQUEST = {0x49, 0x53, 0x21, 0x01, 0x00, 0x0C,
                                0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

const char* name_of(variant v) {
  return v == variant::NT ? "nt" : "is";
}

bytes payload_of(packet& p) {
  byte_array a;
  const std::uint32_t n = p.payload(&a);
  return a ? bytes(a.get(), a.get() + n) : bytes{};
}

// A marker packet the fake sends after an exchange under test; receiving it
// whole afterwards shows that the exchange read nothing beyond its own part.
void send_marker(scanner_peer& peer, variant v) {
  peer.send_packet(v, 0x7E, 0, {0x4D, 0x4B});
}

void expect_marker(protocol& p) {
  packet marker = p.new_packet();
  ASSERT_TRUE(marker.receive()) << "the marker packet was consumed";
  EXPECT_EQ(marker.type(), 0x7E);
  EXPECT_EQ(payload_of(marker), (bytes{0x4D, 0x4B}));
}

// A loopback port on which nothing listens.
int closed_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// Detection and opening --------------------------------------------------

TEST(detect_protocol, NtGreetingOpensNtAndSendsOnlyTheSetup) {
  fake_scanner fake({[](scanner_peer& peer) {
    peer.send_greeting(variant::NT, 0x01, 0x02, 0x00);
    peer.expect_bytes(NT_SETUP_REQUEST, "setup request");
    send_marker(peer, variant::NT);
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  std::unique_ptr<protocol> p = detect_protocol(&link);
  ASSERT_NE(p, nullptr);
  EXPECT_NE(dynamic_cast<protocol_nt*>(p.get()), nullptr);
  expect_marker(*p);
}

TEST(detect_protocol, IsGreetingOpensIsWithTheOpenRequest) {
  fake_scanner fake({[](scanner_peer& peer) {
    peer.send_greeting(variant::IS, 0x01, 0x02, 0x00);
    peer.expect_bytes(IS_OPEN_REQUEST, "open request");
    peer.send_raw(IS_OPEN_ACK);
    send_marker(peer, variant::IS);
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  std::unique_ptr<protocol> p = detect_protocol(&link);
  ASSERT_NE(p, nullptr);
  EXPECT_NE(dynamic_cast<protocol_is*>(p.get()), nullptr);
  expect_marker(*p);
}

struct open_reply_case {
  const char* name;
  std::uint8_t type;
  std::uint8_t flag;
  bytes payload;
  bool opens;
};

class is_open_reply : public ::testing::TestWithParam<open_reply_case> {};

TEST_P(is_open_reply, OnlyASingleAckOpens) {
  const open_reply_case& c = GetParam();
  fake_scanner fake({[&](scanner_peer& peer) {
    peer.send_greeting(variant::IS, 0x01, 0x02, 0x00);
    peer.expect_bytes(IS_OPEN_REQUEST, "open request");
    peer.send_packet(variant::IS, c.type, c.flag, c.payload);
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  EXPECT_EQ(detect_protocol(&link) != nullptr, c.opens);
}

INSTANTIATE_TEST_SUITE_P(all, is_open_reply,
                         ::testing::Values(open_reply_case{"ack", 0xA1, 0, {0x06}, true},
                                           open_reply_case{"ack_flag_1", 0xA1, 1, {0x06}, true},
                                           open_reply_case{"nak", 0xA1, 0, {0x15}, false},
                                           open_reply_case{
                                               "ack_and_more", 0xA1, 0, {0x06, 0x00}, false},
                                           open_reply_case{"empty", 0xA1, 0, {}, false},
                                           open_reply_case{"wrong_type", 0xA0, 0, {0x06}, false}),
                         [](const auto& p) { return std::string(p.param.name); });

struct greeting_case {
  const char* name;
  std::uint8_t type;
  bytes payload;
  bool opens;
};

class greeting_check : public ::testing::TestWithParam<std::tuple<variant, greeting_case>> {};

TEST_P(greeting_check, VersionStatusAndShape) {
  const auto& [v, c] = GetParam();
  fake_scanner fake({[&, v = v](scanner_peer& peer) {
    peer.send_packet(v, c.type, 0, c.payload);
    if (c.opens) {
      if (v == variant::NT) {
        peer.expect_bytes(NT_SETUP_REQUEST, "setup request");
      } else {
        peer.expect_bytes(IS_OPEN_REQUEST, "open request");
        peer.send_raw(IS_OPEN_ACK);
      }
    }
    // A refused greeting gets no answer at all.
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  std::unique_ptr<protocol> p = detect_protocol(&link);
  EXPECT_EQ(p != nullptr, c.opens);
}

INSTANTIATE_TEST_SUITE_P(
    all, greeting_check,
    ::testing::Combine(
        ::testing::Values(variant::NT, variant::IS),
        ::testing::Values(greeting_case{"v1_2", 0x80, {0x01, 0x02, 0x00}, true},
                          greeting_case{"v1_9", 0x80, {0x01, 0x09, 0x00}, true},
                          greeting_case{"v2_0", 0x80, {0x02, 0x00, 0x00}, true},
                          greeting_case{"v255_0", 0x80, {0xFF, 0x00, 0x00}, true},
                          greeting_case{
                              "trailing_bytes", 0x80, {0x01, 0x02, 0x00, 0xFF, 0x01}, true},
                          greeting_case{"v1_1", 0x80, {0x01, 0x01, 0x00}, false},
                          greeting_case{"v0_9", 0x80, {0x00, 0x09, 0x00}, false},
                          greeting_case{"v0_255", 0x80, {0x00, 0xFF, 0x00}, false},
                          greeting_case{"status_1", 0x80, {0x01, 0x02, 0x01}, false},
                          greeting_case{"status_255", 0x80, {0x01, 0x02, 0xFF}, false},
                          greeting_case{"two_bytes", 0x80, {0x01, 0x02}, false},
                          greeting_case{"empty", 0x80, {}, false},
                          greeting_case{"not_a_greeting", 0x81, {0x01, 0x02, 0x00}, false})),
    [](const auto& p) {
      return std::string(name_of(std::get<0>(p.param))) + "_" + std::get<1>(p.param).name;
    });

TEST(detect_protocol, NeitherMagicYieldsNoProtocol) {
  fake_scanner fake({[](scanner_peer& peer) {
    peer.send_raw(
        {0x58, 0x59, 0x80, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x01, 0x02, 0x00});
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  EXPECT_EQ(detect_protocol(&link), nullptr);
}

TEST(detect_protocol, NoConnectionYieldsNoProtocol) {
  endpoint link("127.0.0.1", closed_port(), LINK_TIMEOUT_S);
  EXPECT_EQ(detect_protocol(&link), nullptr);
}

TEST(detect_protocol, ScannerClosingAfterGreetingFailsIsOpen) {
  fake_scanner fake({[](scanner_peer& peer) {
    peer.send_greeting(variant::IS, 0x01, 0x02, 0x00);
    peer.expect_bytes(IS_OPEN_REQUEST, "open request");
    peer.close();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  EXPECT_EQ(detect_protocol(&link), nullptr);
}

// read_greeting returns the status byte itself, 0 to 255.
struct read_greeting_case {
  const char* name;
  std::uint8_t type;
  bytes payload;
  std::uint8_t expected_type;
  int min_major;
  int min_minor;
  int result;
};

class read_greeting : public ::testing::TestWithParam<read_greeting_case> {};

TEST_P(read_greeting, ReturnsStatusOrMinusOne) {
  const read_greeting_case& c = GetParam();
  fake_scanner fake({[&](scanner_peer& peer) {
    peer.send_packet(variant::IS, c.type, 0, c.payload);
    send_marker(peer, variant::IS);
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  protocol_is p(&link);
  EXPECT_EQ(p.read_greeting(c.expected_type, c.min_major, c.min_minor), c.result);
  // Exactly one packet was read.
  expect_marker(p);
}

INSTANTIATE_TEST_SUITE_P(
    all, read_greeting,
    ::testing::Values(
        read_greeting_case{"status_0", 0x80, {0x01, 0x02, 0x00}, 0x80, 1, 2, 0},
        read_greeting_case{"status_7", 0x80, {0x01, 0x02, 0x07}, 0x80, 1, 2, 7},
        read_greeting_case{"status_254", 0x80, {0x01, 0x02, 0xFE}, 0x80, 1, 2, 254},
        read_greeting_case{"status_255", 0x80, {0x03, 0x00, 0xFF}, 0x80, 1, 2, 255},
        read_greeting_case{"below_minor", 0x80, {0x02, 0x04, 0x00}, 0x80, 2, 5, -1},
        read_greeting_case{"at_minimum", 0x80, {0x02, 0x05, 0x00}, 0x80, 2, 5, 0},
        read_greeting_case{"higher_major_lower_minor", 0x80, {0x03, 0x00, 0x00}, 0x80, 2, 5, 0},
        read_greeting_case{"below_major", 0x80, {0x01, 0x09, 0x00}, 0x80, 2, 0, -1},
        read_greeting_case{"other_expected_type", 0x42, {0x01, 0x02, 0x00}, 0x42, 1, 2, 0},
        read_greeting_case{"type_mismatch", 0x80, {0x01, 0x02, 0x00}, 0x42, 1, 2, -1},
        read_greeting_case{"short", 0x80, {0x01, 0x02}, 0x80, 1, 2, -1}),
    [](const auto& p) { return std::string(p.param.name); });

// Notices and events -------------------------------------------------------

enum class event { none, notice, cancel, disconnect };

// The session asks the tests in this order; the first that holds decides.
event classify(const protocol& p, std::uint8_t code) {
  if (p.is_notice_event(code)) return event::notice;
  if (p.is_cancel_event(code)) return event::cancel;
  if (p.is_disconnect_event(code)) return event::disconnect;
  return event::none;
}

struct event_case {
  std::uint8_t code;
  event nt;
  event is;
};

void PrintTo(const event_case& c, std::ostream* os) {
  *os << "code " << int{c.code};
}

class event_codes : public ::testing::TestWithParam<event_case> {};

TEST_P(event_codes, ClassifiedPerVariant) {
  const event_case& c = GetParam();
  const protocol_nt nt(nullptr);
  const protocol_is is(nullptr);
  EXPECT_EQ(classify(nt, c.code), c.nt);
  EXPECT_EQ(classify(is, c.code), c.is);
  // No code answers two of the tests.
  for (const protocol* p : {static_cast<const protocol*>(&nt), static_cast<const protocol*>(&is)}) {
    EXPECT_LE(int{p->is_notice_event(c.code)} + int{p->is_cancel_event(c.code)} +
                  int{p->is_disconnect_event(c.code)},
              1);
  }
}

INSTANTIATE_TEST_SUITE_P(all, event_codes,
                         ::testing::Values(event_case{0x00, event::none, event::none},
                                           event_case{0x01, event::notice, event::notice},
                                           event_case{0x02, event::disconnect, event::disconnect},
                                           event_case{0x03, event::cancel, event::cancel},
                                           event_case{0x04, event::none, event::none},
                                           event_case{0x0F, event::none, event::none},
                                           event_case{0x10, event::disconnect, event::none},
                                           event_case{0x11, event::disconnect, event::none},
                                           event_case{0x12, event::none, event::none},
                                           event_case{0x20, event::none, event::none},
                                           event_case{0x7F, event::none, event::none},
                                           event_case{0x80, event::none, event::disconnect},
                                           event_case{0x81, event::none, event::none},
                                           event_case{0x90, event::none, event::none},
                                           event_case{0xA0, event::none, event::disconnect},
                                           event_case{0xA1, event::none, event::none},
                                           event_case{0xFE, event::none, event::none},
                                           event_case{0xFF, event::disconnect, event::none}),
                         [](const auto& p) {
                           char name[8];
                           std::snprintf(name, sizeof name, "code_%02X", p.param.code);
                           return std::string(name);
                         });

TEST(protocol, NoticeTypes) {
  EXPECT_EQ(protocol_nt(nullptr).notice_type(), 0x84);
  EXPECT_EQ(protocol_is(nullptr).notice_type(), 0x90);
}

TEST(protocol, PacketsCarryTheVariantMagic) {
  fake_scanner fake({[](scanner_peer& peer) {
    peer.expect_bytes({0x4E, 0x54, 0x01, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
                      "NT packet");
    peer.expect_bytes({0x49, 0x53, 0x01, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
                      "IS packet");
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  protocol_nt nt(&link);
  protocol_is is(&link);
  packet a = nt.new_packet();
  a.set_type(0x01);
  EXPECT_TRUE(a.send());
  packet b = is.new_packet();
  b.set_type(0x01);
  EXPECT_TRUE(b.send());
}

TEST(protocol, TranslatorsPerVariant) {
  protocol_nt nt(nullptr);
  protocol_is is(nullptr);
  const bytes req = text("INFOx0000000");
  EXPECT_EQ(nt.new_request(req.data(), req.size()), nullptr);
  EXPECT_NE(is.new_request(req.data(), req.size()), nullptr);
  const bytes bad = text("INFOx000000g");
  EXPECT_THROW(is.new_request(bad.data(), bad.size()), std::logic_error);
  // The notice query has no translator on NT; IS sends it to the scanner.
  EXPECT_EQ(nt.new_command('!', 0x1B), nullptr);
  EXPECT_NE(is.new_command('!', 0x1B), nullptr);
  std::unique_ptr<command> esc_at = nt.new_command('@', 0x1B);
  ASSERT_NE(esc_at, nullptr);
  EXPECT_EQ(esc_at->send_type(), 0x01);
  std::unique_ptr<command> is_at = is.new_command('@', 0x1B);
  ASSERT_NE(is_at, nullptr);
  EXPECT_EQ(is_at->send_type(), 0x20);
}

struct query_case {
  const char* name;
  std::uint8_t type;
  bytes payload;
  bool reports;
};

class nt_notice_query : public ::testing::TestWithParam<query_case> {};

TEST_P(nt_notice_query, AsksTheScanner) {
  const query_case& c = GetParam();
  fake_scanner fake({[&](scanner_peer& peer) {
    peer.open_nt();
    peer.expect_bytes(
        {0x4E, 0x54, 0x11, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00},
        "notice query");
    peer.send_packet(variant::NT, c.type, 0, c.payload);
    send_marker(peer, variant::NT);
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  std::unique_ptr<protocol> p = detect_protocol(&link);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->can_report_notice(), c.reports);
  expect_marker(*p);
}

INSTANTIATE_TEST_SUITE_P(
    all, nt_notice_query,
    ::testing::Values(query_case{"no", 0x91, {0x00, 0x00}, false},
                      query_case{"yes", 0x91, {0x00, 0x01}, true},
                      query_case{"yes_byte0_ignored", 0x91, {0x05, 0x01}, true},
                      query_case{"byte1_not_1", 0x91, {0x00, 0x02}, false},
                      query_case{"one_byte", 0x91, {0x01}, false},
                      query_case{"three_bytes", 0x91, {0x00, 0x01, 0x00}, false},
                      query_case{"wrong_type", 0x81, {0x00, 0x01}, false},
                      query_case{"a_notice", 0x84, {0x00, 0x01}, false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(protocol_is, ReportsNoticesWithoutAsking) {
  fake_scanner fake({[](scanner_peer& peer) {
    peer.open_is();
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  std::unique_ptr<protocol> p = detect_protocol(&link);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(p->can_report_notice());
}

// Closing ------------------------------------------------------------------

struct close_reply_case {
  const char* name;
  std::uint8_t type;
  std::uint8_t flag;
  bytes payload;
};

class is_close : public ::testing::TestWithParam<close_reply_case> {};

TEST_P(is_close, SendsOneRequestAndConsumesOneReply) {
  const close_reply_case& c = GetParam();
  fake_scanner fake({[&](scanner_peer& peer) {
    peer.open_is();
    peer.expect_bytes(IS_CLOSE_REQUEST, "close request");
    peer.send_packet(variant::IS, c.type, c.flag, c.payload);
    send_marker(peer, variant::IS);
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  std::unique_ptr<protocol> p = detect_protocol(&link);
  ASSERT_NE(p, nullptr);
  p->close();
  expect_marker(*p);
}

INSTANTIATE_TEST_SUITE_P(all, is_close,
                         ::testing::Values(close_reply_case{"ack", 0xA1, 1, {0x06}},
                                           close_reply_case{"nak", 0xA1, 1, {0x15}},
                                           close_reply_case{"flag_0", 0xA1, 0, {0x06}},
                                           close_reply_case{"empty", 0xA1, 1, {}},
                                           close_reply_case{"other_packet", 0x55, 0, counting(9)}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(protocol_is, CloseEndsWhenTheScannerHangsUp) {
  fake_scanner fake({[](scanner_peer& peer) {
    peer.open_is();
    peer.expect_bytes(IS_CLOSE_REQUEST, "close request");
    peer.close();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  std::unique_ptr<protocol> p = detect_protocol(&link);
  ASSERT_NE(p, nullptr);
  p->close();
}

TEST(protocol_nt, CloseSendsNothing) {
  fake_scanner fake({[](scanner_peer& peer) {
    peer.open_nt();
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  std::unique_ptr<protocol> p = detect_protocol(&link);
  ASSERT_NE(p, nullptr);
  p->close();
}

}  // namespace
}  // namespace scanbridge
