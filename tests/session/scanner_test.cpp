// SPDX-License-Identifier: MIT
// The session's life: address, connection with its back-off, disconnection,
// and the scanner's notices.
#include "session/scanner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>

#include "tests/session/fake_scanner.h"
#include "tests/session/session_testing.h"

namespace scanbridge {
namespace {

using namespace scanbridge::testing;

// Test parameters print as their names.
using testing::PrintTo;

using std::chrono::duration;
using std::chrono::steady_clock;

double seconds_since(steady_clock::time_point start) {
  return duration<double>(steady_clock::now() - start).count();
}

const bytes ESC_AT = {0x1B, 0x40};
const bytes ESC_BANG = {0x1B, 0x21};

// ESC '@' over NT and its reply.
bool nt_esc_at(scanner_peer& peer, const bytes& reply = {0x06}) {
  return peer.expect_packet(NT, 0x01, 0, ESC_AT) && peer.send_packet(NT, 0x81, 0, reply);
}

// ESC '@' over IS and its reply.
bool is_esc_at(scanner_peer& peer, const bytes& reply = {0x06}) {
  return peer.expect_packet(IS, 0x20, 0, is_chunk(1, ESC_AT)) &&
         peer.send_packet(IS, 0xA0, 0, reply);
}

// Address ------------------------------------------------------------------

struct address_case {
  const char* name;
  const char* address;
  const char* host;
  int port;
};

class scanner_address : public ::testing::TestWithParam<address_case> {};

TEST_P(scanner_address, HostAndPort) {
  const address_case& c = GetParam();
  scanner s(c.address, 1865);
  EXPECT_EQ(s.host(), c.host);
  EXPECT_EQ(s.port(), c.port);
  EXPECT_FALSE(s.connected());
}

INSTANTIATE_TEST_SUITE_P(
    all, scanner_address,
    ::testing::Values(address_case{"host_only", "192.0.2.5", "192.0.2.5", 1865},
                      address_case{"host_and_port", "192.0.2.5:80", "192.0.2.5", 80},
                      address_case{"empty_port", "192.0.2.5:", "192.0.2.5", 0},
                      address_case{"second_colon", "192.0.2.5:80:90", "192.0.2.5", 80},
                      address_case{"path_after_port", "192.0.2.5:80/a", "192.0.2.5", 80},
                      address_case{"path_without_port", "192.0.2.5/a", "192.0.2.5/a", 1865},
                      address_case{"port_only", ":80", "", 80},
                      address_case{"text_port", "scanner.lan:http", "scanner.lan", 0},
                      // A port outside 1-65535 is 0, which never connects.
                      address_case{"negative_port", "scanner.lan:-5", "scanner.lan", 0},
                      address_case{"port_above_range", "scanner.lan:65536", "scanner.lan", 0},
                      address_case{"highest_port", "scanner.lan:65535", "scanner.lan", 65535},
                      address_case{"empty", "", "", 1865},
                      address_case{"ipv6", "[2001:db8::5]", "2001:db8::5", 1865},
                      address_case{"ipv6_and_port", "[2001:db8::5]:80", "2001:db8::5", 80},
                      address_case{"ipv6_zone", "[fe80::1%eth0]:9", "fe80::1%eth0", 9},
                      address_case{"ipv6_empty_port", "[::1]:", "::1", 0},
                      address_case{"ipv6_path_after_port", "[::1]:80/a", "::1", 80},
                      address_case{"ipv6_text_after_bracket", "[::1]/a", "[::1]/a", 1865},
                      address_case{"unmatched_bracket", "[::1:80", "[::1:80", 1865},
                      address_case{"bracketed_name", "[scanner.lan]:80", "[scanner.lan]:80", 1865},
                      address_case{"bracket_later", "a[::1]:80", "a[", 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(scanner, NewSessionIsIdle) {
  scanner s("192.0.2.5", 1865);
  EXPECT_FALSE(s.connected());
  EXPECT_FALSE(s.extended_mode());
  EXPECT_EQ(s.current_command(), nullptr);
  EXPECT_EQ(s.link(), nullptr);
  ASSERT_NE(s.replies(), nullptr);
  EXPECT_TRUE(s.replies()->empty());
  // Disconnecting an idle session does nothing.
  s.disconnect(false);
  s.disconnect(true);
  EXPECT_FALSE(s.connected());
}

// Connection -----------------------------------------------------------------

// Scanners that answer a connection in ways detection refuses; the session
// sends nothing in answer to any of them and closes.
const std::vector<script> refusing_scanners = {
    [](scanner_peer& p) { p.send_greeting(NT, 1, 1, 0); },
    [](scanner_peer& p) { p.send_greeting(IS, 1, 1, 0); },
    [](scanner_peer& p) { p.send_greeting(NT, 1, 2, 1); },
    [](scanner_peer& p) {
      p.send_packet(IS, 0x80, 0, {0x01, 0x02});
    },
    [](scanner_peer& p) {
      p.send_raw({'X', 'Y', 0x80, 0, 0, 12, 0, 0, 0, 3, 0, 0, 0x01, 0x02, 0x00});
    },
    [](scanner_peer&) {},  // hangs up at once
    [](scanner_peer& p) {
      p.send_greeting(IS, 1, 2, 0);
      p.expect_packet(IS, 0x21, 0, {0x01, 0xA0, 0x04, 0x00, 0x00, 0x01, 0x2C});
      p.send_packet(IS, 0xA1, 0, {0x15});
    },
    [](scanner_peer& p) { p.send_greeting(NT, 0, 9, 0); },
    [](scanner_peer& p) {
      p.send_packet(NT, 0x81, 0, {0x01, 0x02, 0x00});
    },
    [](scanner_peer& p) { p.send_greeting(IS, 1, 2, 0xFF); },
};

script refusing(std::size_t i) {
  return [i](scanner_peer& p) {
    refusing_scanners[i](p);
    if (i != 5) p.expect_closed();
  };
}

TEST(scanner_connect, NoTriesMakesNoAttempt) {
  fake_scanner fake({});
  scanner s(fake.address(), 1865);
  const auto start = steady_clock::now();
  EXPECT_FALSE(s.connect(0, SESSION_TIMEOUT_S));
  EXPECT_FALSE(s.connect(-3, SESSION_TIMEOUT_S));
  // No back-off pause either (one would last a second).
  EXPECT_LT(seconds_since(start), 1.0);
  EXPECT_FALSE(s.connected());
  EXPECT_EQ(fake.accepted(), 0);
}

TEST(scanner_connect, OneFailedTryPausesOneSecond) {
  fake_scanner fake({refusing(0)});
  scanner s(fake.address(), 1865);
  const auto start = steady_clock::now();
  EXPECT_FALSE(s.connect(1, SESSION_TIMEOUT_S));
  const double elapsed = seconds_since(start);
  EXPECT_GE(elapsed, 1.0);
  EXPECT_LT(elapsed, 10.0);
  EXPECT_FALSE(s.connected());
  EXPECT_EQ(s.link(), nullptr);
  EXPECT_EQ(fake.accepted(), 1);
}

// The one slow test: ten refused tries, with pauses of 0.1 s to 1.0 s after
// them, 5.5 s in all, the pause after the last try included.
TEST(scanner_connect, TenRefusedTriesBackOffFiveAndAHalfSeconds) {
  std::vector<script> scripts;
  for (std::size_t i = 0; i < refusing_scanners.size(); ++i) scripts.push_back(refusing(i));
  ASSERT_EQ(scripts.size(), 10u);
  fake_scanner fake(scripts);
  scanner s(fake.address(), 1865);
  const auto start = steady_clock::now();
  EXPECT_FALSE(s.connect(CONNECT_TRIES, SCANNER_TIMEOUT));
  const double elapsed = seconds_since(start);
  EXPECT_GE(elapsed, 5.5);
  EXPECT_LT(elapsed, 30.0);
  EXPECT_EQ(fake.accepted(), 10);
  EXPECT_FALSE(s.connected());
}

TEST(scanner_connect, LaterTrySucceeds) {
  fake_scanner fake({refusing(2), [](scanner_peer& p) {
                       p.open_is();
                       p.expect_is_close();
                       p.expect_closed();
                     }});
  scanner s(fake.address(), 1865);
  EXPECT_TRUE(s.connect(2, SESSION_TIMEOUT_S));
  EXPECT_TRUE(s.connected());
  EXPECT_EQ(fake.accepted(), 2);
  ASSERT_NE(s.link(), nullptr);
  EXPECT_EQ(link_timeout(s), SESSION_TIMEOUT_S);
}

TEST(scanner_connect, ConnectedSessionMakesNoTraffic) {
  fake_scanner fake({[](scanner_peer& p) {
    p.open_nt();
    nt_esc_at(p);
    p.expect_closed();
  }});
  scanner s(fake.address(), 1865);
  ASSERT_TRUE(s.connect(1, SESSION_TIMEOUT_S));
  const endpoint* link = s.link();
  EXPECT_TRUE(s.connect(3, std::chrono::seconds(77)));
  EXPECT_TRUE(s.connect(0, std::chrono::seconds(0)));
  EXPECT_EQ(s.link(), link);
  EXPECT_EQ(link_timeout(s), SESSION_TIMEOUT_S);
  // The normal time-out is still the first one: an ordinary command puts it
  // back on the link, and the connect of every DATA message leaves it alone.
  EXPECT_EQ(data(s, ESC_AT), (result{0, {{0x06}}}));
  EXPECT_EQ(link_timeout(s), SESSION_TIMEOUT_S);
  EXPECT_EQ(fake.accepted(), 1);
}

// Disconnection --------------------------------------------------------------

TEST(scanner_disconnect, IsSessionSendsCloseRequest) {
  fake_scanner fake({[](scanner_peer& p) {
                       p.open_is();
                       p.expect_is_close();
                       p.expect_closed();
                     },
                     [](scanner_peer& p) {
                       p.open_is();
                       p.expect_is_close();
                       p.expect_closed();
                     }});
  scanner s(fake.address(), 1865);
  ASSERT_TRUE(s.connect(1, SESSION_TIMEOUT_S));
  s.disconnect(false);
  EXPECT_FALSE(s.connected());
  EXPECT_EQ(s.link(), nullptr);
  // Nothing left to close.
  s.disconnect(false);
  // A disconnected session connects again.
  EXPECT_TRUE(s.connect(1, SESSION_TIMEOUT_S));
  EXPECT_EQ(fake.accepted(), 2);
}

TEST(scanner_disconnect, ByScannerSendsNothing) {
  fake_scanner fake({[](scanner_peer& p) {
    p.open_is();
    p.expect_closed();
  }});
  scanner s(fake.address(), 1865);
  ASSERT_TRUE(s.connect(1, SESSION_TIMEOUT_S));
  s.disconnect(true);
  EXPECT_FALSE(s.connected());
}

TEST(scanner_disconnect, DestroyingSessions) {
  fake_scanner fake({[](scanner_peer& p) {
                       p.open_nt();
                       p.expect_closed();
                     },
                     [](scanner_peer& p) {
                       p.open_is();
                       p.expect_is_close();
                       p.expect_closed();
                     }});
  {
    scanner nt(fake.address(), 1865);
    ASSERT_TRUE(nt.connect(1, SESSION_TIMEOUT_S));
  }
  {
    scanner is(fake.address(), 1865);
    ASSERT_TRUE(is.connect(1, SESSION_TIMEOUT_S));
  }
}

TEST(scanner_disconnect, DropsCommandAndExtendedMode) {
  fake_scanner fake({[](scanner_peer& p) {
    p.open_is();
    p.expect_packet(IS, 0x20, 0, is_chunk(1, {0x1C, 'X'}));
    p.send_packet(IS, 0xA0, 0, {0x06});
    p.expect_is_close();
    p.expect_closed();
  }});
  scanner s(fake.address(), 1865);
  ASSERT_TRUE(s.connect(1, SESSION_TIMEOUT_S));
  EXPECT_EQ(data(s, {0x1C, 'X'}), (result{0, {{0x06}}}));
  ASSERT_TRUE(s.extended_mode());
  ASSERT_NE(s.current_command(), nullptr);
  s.disconnect(false);
  EXPECT_FALSE(s.extended_mode());
  EXPECT_EQ(s.current_command(), nullptr);
}

// Notices --------------------------------------------------------------------

TEST(scanner_notice, PollingLeavesOtherPacketsQueued) {
  fake_scanner fake({[](scanner_peer& p) {
    // A reply that nothing asked for, waiting before the next DATA message.
    p.send_raw(
        cat({packet_bytes(NT, 0x80, 0, {0x01, 0x02, 0x00}), packet_bytes(NT, 0x81, 0, {0x5A})}));
    p.expect_packet(NT, 0x11, 0, {0x00, 0x02});
    p.expect_packet(NT, 0x01, 0, ESC_AT);
    p.expect_closed();
  }});
  scanner s(fake.address(), 1865);
  ASSERT_TRUE(s.connect(1, SESSION_TIMEOUT_S));
  // The early packet is the reply the command reads.
  EXPECT_EQ(data(s, ESC_AT), (result{0, {{0x5A}}}));
}

TEST(scanner_notice, PollingLeavesANoticeThatHasNotArrivedWhole) {
  fake_scanner fake({[](scanner_peer& p) {
    // A notice of 3 payload bytes of which 1 is here: the poll must not wait
    // for the rest, which comes only once the command is out.
    const bytes notice = packet_bytes(NT, 0x84, 0, {0x01, 0x00, 0x00});
    p.send_raw(cat({packet_bytes(NT, 0x80, 0, {0x01, 0x02, 0x00}),
                    bytes(notice.begin(), notice.begin() + 13)}));
    p.expect_packet(NT, 0x11, 0, {0x00, 0x02});
    p.expect_packet(NT, 0x01, 0, ESC_AT);
    p.send_raw(cat({bytes(notice.begin() + 13, notice.end()), packet_bytes(NT, 0x81, 0, {0x06})}));
    p.expect_closed();
  }});
  scanner s(fake.address(), 1865);
  ASSERT_TRUE(s.connect(1, SESSION_TIMEOUT_S));
  // The exchange reads the notice whole, then the reply.
  EXPECT_EQ(data(s, ESC_AT), (result{0, {{0x06}}}));
}

TEST(scanner_notice, EmptyNoticeIsConsumedByPolling) {
  fake_scanner fake({[](scanner_peer& p) {
    p.send_raw(cat({packet_bytes(NT, 0x80, 0, {0x01, 0x02, 0x00}), packet_bytes(NT, 0x84, 0, {})}));
    p.expect_packet(NT, 0x11, 0, {0x00, 0x02});
    nt_esc_at(p);
    p.expect_closed();
  }});
  scanner s(fake.address(), 1865);
  ASSERT_TRUE(s.connect(1, SESSION_TIMEOUT_S));
  EXPECT_EQ(data(s, ESC_AT), (result{0, {{0x06}}}));
}

TEST(scanner_notice, EmptyNoticeDuringCommandFailsIt) {
  fake_scanner fake({[](scanner_peer& p) {
    p.open_is();
    p.expect_packet(IS, 0x20, 0, is_chunk(1, ESC_AT));
    p.send_packet(IS, 0x90, 0, {});
    // The reply comes after all, with nothing more asked.
    p.send_packet(IS, 0xA0, 0, {0x06});
    p.expect_is_close();
    p.expect_closed();
  }});
  scanner s(fake.address(), 1865);
  ASSERT_TRUE(s.connect(1, SESSION_TIMEOUT_S));
  EXPECT_EQ(data(s, ESC_AT), (result{-1, {}}));
  EXPECT_TRUE(s.connected());
  ASSERT_NE(s.current_command(), nullptr);
  EXPECT_EQ(command_state(s), command::state::WAIT_SCANNER);
  // The command still waits: the next bytes go to it and the driver reads
  // the scanner's next packet without sending anything.
  EXPECT_EQ(data(s, ESC_AT), (result{0, {{0x06}}}));
}

TEST(scanner_notice, QueryReportsNoticesWaitingAtItsStart) {
  fake_scanner fake({[](scanner_peer& p) {
    // The notice follows the greeting in the same write, so it is waiting on
    // the session's socket when the first DATA message begins.
    p.send_raw(
        cat({packet_bytes(NT, 0x80, 0, {0x01, 0x02, 0x00}), packet_bytes(NT, 0x84, 0, {0x01})}));
    p.expect_packet(NT, 0x11, 0, {0x00, 0x02});
    expect_notice_query(p, true);
    expect_notice_query(p, true);
    p.expect_closed();
  }});
  scanner s(fake.address(), 1865);
  ASSERT_TRUE(s.connect(1, SESSION_TIMEOUT_S));
  EXPECT_EQ(data(s, ESC_BANG), notice_answer(0x01));
  EXPECT_EQ(s.current_command(), nullptr);
  // Asked again with no new notice.
  EXPECT_EQ(data(s, ESC_BANG), notice_answer(0x00));
}

TEST(scanner_notice, QueryIgnoresNoticesOfEarlierMessages) {
  fake_scanner fake({[](scanner_peer& p) {
    p.open_nt();
    // A notice while ESC '@' waits for its reply sets the flag during that
    // message only.
    p.expect_packet(NT, 0x01, 0, ESC_AT);
    p.send_raw(cat({packet_bytes(NT, 0x84, 0, {0x01}), packet_bytes(NT, 0x81, 0, {0x06})}));
    expect_notice_query(p, true);
    // One that arrives behind a reply is polled by the next message.
    p.expect_packet(NT, 0x01, 0, ESC_AT);
    p.send_raw(cat({packet_bytes(NT, 0x81, 0, {0x06}), packet_bytes(NT, 0x84, 0, {0x01})}));
    expect_notice_query(p, true);
    p.expect_closed();
  }});
  scanner s(fake.address(), 1865);
  ASSERT_TRUE(s.connect(1, SESSION_TIMEOUT_S));
  EXPECT_EQ(data(s, ESC_AT), (result{0, {{0x06}}}));
  EXPECT_EQ(data(s, ESC_BANG), notice_answer(0x00));
  EXPECT_EQ(data(s, ESC_AT), (result{0, {{0x06}}}));
  EXPECT_EQ(data(s, ESC_BANG), notice_answer(0x01));
}

TEST(scanner_notice, PollingTakesEveryWaitingNotice) {
  fake_scanner fake({[](scanner_peer& p) {
    // Ignored, cancel without a command, notice, ignored, empty: all are
    // consumed before the query goes out, whose answer is read next.
    p.send_raw(
        cat({packet_bytes(NT, 0x80, 0, {0x01, 0x02, 0x00}), packet_bytes(NT, 0x84, 0, {0x80, 0x55}),
             packet_bytes(NT, 0x84, 0, {0x03}), packet_bytes(NT, 0x84, 0, {0x01}),
             packet_bytes(NT, 0x84, 0, {0x20}), packet_bytes(NT, 0x84, 0, {})}));
    p.expect_packet(NT, 0x11, 0, {0x00, 0x02});
    expect_notice_query(p, true);
    p.expect_closed();
  }});
  scanner s(fake.address(), 1865);
  ASSERT_TRUE(s.connect(1, SESSION_TIMEOUT_S));
  EXPECT_EQ(data(s, ESC_BANG), notice_answer(0x01));
}

TEST(scanner_notice, QueryRefusedByScannerFails) {
  fake_scanner fake({[](scanner_peer& p) {
    p.open_nt();
    nt_esc_at(p);
    expect_notice_query(p, false);
    p.expect_closed();
  }});
  scanner s(fake.address(), 1865);
  ASSERT_TRUE(s.connect(1, SESSION_TIMEOUT_S));
  EXPECT_EQ(data(s, ESC_AT), (result{0, {{0x06}}}));
  EXPECT_EQ(data(s, ESC_BANG), (result{-1, {}}));
  EXPECT_EQ(s.current_command(), nullptr);
  EXPECT_FALSE(s.extended_mode());
  EXPECT_TRUE(s.connected());
}

// FF '!' and EM '!' have no translator over NT and no meaning: they fail
// without troubling the scanner.
TEST(scanner_notice, OtherPrefixesWithBangFailWithoutTraffic) {
  fake_scanner fake({[](scanner_peer& p) {
    p.open_nt();
    nt_esc_at(p);
    p.expect_closed();
  }});
  scanner s(fake.address(), 1865);
  ASSERT_TRUE(s.connect(1, SESSION_TIMEOUT_S));
  EXPECT_EQ(data(s, {0x0C, 0x21}), (result{-1, {}}));
  EXPECT_EQ(data(s, {0x19, 0x21}), (result{-1, {}}));
  EXPECT_EQ(data(s, ESC_AT), (result{0, {{0x06}}}));
}

// A notice that arrives while a command waits for its reply: its event is
// handled, and unless it disconnects the command keeps waiting.
struct event_case {
  variant v;
  std::uint8_t code;
  bool disconnects;
};

void PrintTo(const event_case& c, std::ostream* os) {
  *os << (c.v == NT ? "NT" : "IS") << " code " << int{c.code};
}

class notice_during_command : public ::testing::TestWithParam<event_case> {};

TEST_P(notice_during_command, HandledWhileCommandWaits) {
  const event_case& c = GetParam();
  fake_scanner fake({[&](scanner_peer& p) {
    const std::uint8_t notice = c.v == NT ? 0x84 : 0x90;
    if (c.v == NT) {
      p.open_nt();
      p.expect_packet(NT, 0x01, 0, ESC_AT);
    } else {
      p.open_is();
      p.expect_packet(IS, 0x20, 0, is_chunk(1, ESC_AT));
    }
    p.send_packet(c.v, notice, 0, {c.code, 0x00});
    if (c.disconnects) {
      // Dropped by the scanner: no close request.
      p.expect_closed();
      return;
    }
    p.send_packet(c.v, c.v == NT ? 0x81 : 0xA0, 0, {0x06});
    if (c.v == IS) p.expect_is_close();
    p.expect_closed();
  }});
  scanner s(fake.address(), 1865);
  ASSERT_TRUE(s.connect(1, SESSION_TIMEOUT_S));
  if (c.disconnects) {
    EXPECT_EQ(data(s, ESC_AT), (result{-1, {}}));
    EXPECT_FALSE(s.connected());
    EXPECT_EQ(s.current_command(), nullptr);
  } else {
    EXPECT_EQ(data(s, ESC_AT), (result{0, {{0x06}}}));
    EXPECT_TRUE(s.connected());
  }
}

INSTANTIATE_TEST_SUITE_P(all, notice_during_command,
                         ::testing::Values(event_case{NT, 0x00, false}, event_case{NT, 0x01, false},
                                           event_case{NT, 0x02, true}, event_case{NT, 0x03, false},
                                           event_case{NT, 0x10, true}, event_case{NT, 0x11, true},
                                           event_case{NT, 0x80, false}, event_case{NT, 0xA0, false},
                                           event_case{NT, 0xFF, true}, event_case{IS, 0x00, false},
                                           event_case{IS, 0x01, false}, event_case{IS, 0x02, true},
                                           event_case{IS, 0x03, false}, event_case{IS, 0x10, false},
                                           event_case{IS, 0x11, false}, event_case{IS, 0x80, true},
                                           event_case{IS, 0xA0, true}, event_case{IS, 0xFF, false}),
                         [](const auto& p) {
                           char name[16];
                           std::snprintf(name, sizeof name, "%s_%02X",
                                         p.param.v == NT ? "nt" : "is", p.param.code);
                           return std::string(name);
                         });

TEST(scanner_notice, DisconnectPolledAtStartReconnectsInSameMessage) {
  fake_scanner fake(
      {[](scanner_peer& p) {
         p.send_greeting(IS, 1, 2, 0);
         p.expect_packet(IS, 0x21, 0, {0x01, 0xA0, 0x04, 0x00, 0x00, 0x01, 0x2C});
         // The disconnect event behind the open reply, in one write.
         p.send_raw(cat({packet_bytes(IS, 0xA1, 0, {0x06}), packet_bytes(IS, 0x90, 0, {0x80})}));
         p.expect_closed();
       },
       [](scanner_peer& p) {
         p.open_is();
         is_esc_at(p);
         p.expect_is_close();
         p.expect_closed();
       }});
  scanner s(fake.address(), 1865);
  ASSERT_TRUE(s.connect(1, SESSION_TIMEOUT_S));
  EXPECT_EQ(data(s, ESC_AT), (result{0, {{0x06}}}));
  EXPECT_EQ(fake.accepted(), 2);
  EXPECT_TRUE(s.connected());
}

TEST(scanner_notice, DisconnectDuringCommandThenNextMessageReconnects) {
  fake_scanner fake({[](scanner_peer& p) {
                       p.open_is();
                       p.expect_packet(IS, 0x20, 0, is_chunk(1, ESC_AT));
                       p.send_packet(IS, 0x90, 0, {0x02});
                       p.expect_closed();
                     },
                     [](scanner_peer& p) {
                       p.open_nt();
                       nt_esc_at(p, {0x15});
                       p.expect_closed();
                     }});
  scanner s(fake.address(), 1865);
  ASSERT_TRUE(s.connect(1, SESSION_TIMEOUT_S));
  EXPECT_EQ(data(s, ESC_AT), (result{-1, {}}));
  EXPECT_FALSE(s.connected());
  EXPECT_EQ(fake.accepted(), 1);
  // A fresh connection, and a fresh protocol: this time the scanner is NT.
  EXPECT_EQ(data(s, ESC_AT), (result{0, {{0x15}}}));
  EXPECT_EQ(fake.accepted(), 2);
  // The reconnection gave the session the time-out of every DATA message.
  EXPECT_EQ(link_timeout(s), SCANNER_TIMEOUT);
}

}  // namespace
}  // namespace scanbridge
