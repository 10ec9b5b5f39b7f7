// SPDX-License-Identifier: MIT
#include "wire/packet.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ostream>

#include "net/endpoint.h"
#include "tests/session/fake_scanner.h"

namespace scanbridge {
namespace {

using namespace scanbridge::testing;

// Test parameters print as their names.
using testing::PrintTo;

constexpr std::chrono::seconds LINK_TIMEOUT_S{10};

bytes payload_of(packet& p) {
  byte_array a;
  const std::uint32_t n = p.payload(&a);
  return a ? bytes(a.get(), a.get() + n) : bytes{};
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

// Sending -------------------------------------------------------------------

struct send_case {
  const char* name;
  variant v;
  std::uint8_t type;
  std::uint8_t flag;
  bool with_payload;  // false: no payload pointer at all
  bytes payload;
  bytes wire;  // every byte the peer must receive
};

class packet_send : public ::testing::TestWithParam<send_case> {};

TEST_P(packet_send, WritesHeaderAndPayloadExactly) {
  const send_case& c = GetParam();
  fake_scanner fake({[&](scanner_peer& peer) {
    peer.expect_bytes(c.wire, "packet bytes");
    peer.expect_closed();
  }});
  {
    endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
    packet p(&link, c.v);
    p.set_type(c.type);
    if (c.flag != 0) p.set_flag(c.flag);
    // One byte longer than the payload, so that a zero-length payload still
    // has a real pointer.
    bytes buffer = c.payload;
    buffer.push_back(0xEE);
    if (c.with_payload) {
      p.set_payload(buffer.data(), static_cast<std::uint32_t>(c.payload.size()));
    }
    EXPECT_TRUE(p.send());
  }
}

const bytes seven = {0x01, 0xA0, 0x04, 0x00, 0x00, 0x01, 0x2C};
const bytes big = counting(70'000);

INSTANTIATE_TEST_SUITE_P(
    all, packet_send,
    ::testing::Values(
        send_case{"header_only",
                  variant::NT,
                  0x01,
                  0,
                  false,
                  {},
                  {0x4E, 0x54, 0x01, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        send_case{"empty_payload_pointer",
                  variant::IS,
                  0x20,
                  0,
                  true,
                  {},
                  {0x49, 0x53, 0x20, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        send_case{
            "is_control_seven_bytes", variant::IS, 0x21, 0, true, seven,
            cat({{0x49, 0x53, 0x21, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00}, seven})},
        send_case{"flag_set",
                  variant::IS,
                  0x22,
                  1,
                  true,
                  {0x18},
                  {0x49, 0x53, 0x22, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x18}},
        send_case{"high_type_nt",
                  variant::NT,
                  0xFF,
                  0x80,
                  true,
                  {0x00},
                  {0x4E, 0x54, 0xFF, 0x80, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}},
        send_case{
            "length_big_endian", variant::NT, 0x02, 0, true, big,
            cat({{0x4E, 0x54, 0x02, 0x00, 0x00, 0x0C, 0x00, 0x01, 0x11, 0x70, 0x00, 0x00}, big})}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(packet, LengthUsesAllFourBytes) {
  const bytes payload = counting(0x01020304);
  fake_scanner fake({[&](scanner_peer& peer) {
    peer.expect_bytes({0x49, 0x53, 0x20, 0x00, 0x00, 0x0C, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00},
                      "header");
    peer.expect_bytes(payload, "payload");
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  packet p(&link, variant::IS);
  p.set_type(0x20);
  p.set_payload(payload.data(), static_cast<std::uint32_t>(payload.size()));
  EXPECT_TRUE(p.send());
}

TEST(packet, TypeZeroIsNeverSent) {
  fake_scanner fake({[](scanner_peer& peer) {
    // Only the second packet arrives.
    peer.expect_packet(variant::NT, 0x01, 0, {0x1B, 0x40});
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  const bytes cmd = {0x1B, 0x40};
  packet zero(&link, variant::NT);
  zero.set_payload(cmd.data(), 2);
  EXPECT_FALSE(zero.send());
  packet p(&link, variant::NT);
  p.set_type(0x01);
  p.set_payload(cmd.data(), 2);
  EXPECT_TRUE(p.send());
}

TEST(packet, SendFailsWithoutConnection) {
  endpoint link("127.0.0.1", closed_port(), LINK_TIMEOUT_S);
  packet p(&link, variant::IS);
  p.set_type(0x21);
  EXPECT_FALSE(p.send());
}

// Receiving -----------------------------------------------------------------

TEST(packet, ReceiveStoresFieldsAndPayload) {
  const bytes payload = counting(70'000);
  fake_scanner fake({[&](scanner_peer& peer) {
    peer.send_packet(variant::IS, 0xA2, 0x05, payload);
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  packet p(&link, variant::IS);
  ASSERT_TRUE(p.receive());
  EXPECT_EQ(p.type(), 0xA2);
  EXPECT_EQ(p.flag(), 0x05);
  EXPECT_EQ(p.length(), 70'000u);
  EXPECT_EQ(payload_of(p), payload);
}

TEST(packet, EmptyPayloadIsNonNullArray) {
  fake_scanner fake({[](scanner_peer& peer) {
    peer.send_packet(variant::NT, 0x84, 0, {});
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  packet p(&link, variant::NT);
  ASSERT_TRUE(p.receive());
  byte_array a;
  EXPECT_EQ(p.payload(&a), 0u);
  EXPECT_NE(a, nullptr);
}

TEST(packet, UnusedHeaderBytesAreNotChecked) {
  fake_scanner fake({[](scanner_peer& peer) {
    // reserved 0x7F, header size 0x20, reserved word AB CD.
    peer.send_raw(
        {0x49, 0x53, 0xA0, 0x01, 0x7F, 0x20, 0x00, 0x00, 0x00, 0x02, 0xAB, 0xCD, 0x11, 0x22});
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  packet p(&link, variant::IS);
  ASSERT_TRUE(p.receive());
  EXPECT_EQ(p.type(), 0xA0);
  EXPECT_EQ(p.flag(), 0x01);
  EXPECT_EQ(payload_of(p), (bytes{0x11, 0x22}));
}

class packet_magic : public ::testing::TestWithParam<const char*> {};

// A header whose magic is not the packet's own fails the receive, leaves the
// fields as they were and is consumed all the same.
TEST_P(packet_magic, OtherMagicFailsAndConsumesTheHeader) {
  const char* magic = GetParam();
  fake_scanner fake({[&](scanner_peer& peer) {
    bytes wrong = header_bytes(variant::NT, 0x81, 0x02, 0);
    wrong[0] = static_cast<std::uint8_t>(magic[0]);
    wrong[1] = static_cast<std::uint8_t>(magic[1]);
    peer.send_raw(cat({wrong, packet_bytes(variant::NT, 0x81, 0, {0x06})}));
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  packet p(&link, variant::NT);
  p.set_type(0x33);
  p.set_flag(0x44);
  EXPECT_FALSE(p.receive());
  EXPECT_EQ(p.type(), 0x33);
  EXPECT_EQ(p.flag(), 0x44);
  EXPECT_EQ(p.length(), 0u);
  packet next(&link, variant::NT);
  ASSERT_TRUE(next.receive());
  EXPECT_EQ(next.type(), 0x81);
  EXPECT_EQ(payload_of(next), (bytes{0x06}));
}

INSTANTIATE_TEST_SUITE_P(all, packet_magic, ::testing::Values("IS", "NS", "IT", "nt", "TN"),
                         [](const auto& p) { return std::string(p.param); });

TEST(packet, PeekLeavesThePacketQueued) {
  fake_scanner fake({[](scanner_peer& peer) {
    peer.send_raw(cat({packet_bytes(variant::IS, 0x90, 0x03, {0x01, 0x02, 0x03}),
                       packet_bytes(variant::IS, 0xA0, 0, {0x06})}));
    peer.expect_closed();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);

  // The other magic fails the peek and consumes nothing.
  packet nt(&link, variant::NT);
  EXPECT_FALSE(nt.peek_header());

  packet peeked(&link, variant::IS);
  ASSERT_TRUE(peeked.peek_header());
  EXPECT_EQ(peeked.type(), 0x90);
  EXPECT_EQ(peeked.flag(), 0x03);
  EXPECT_EQ(peeked.length(), 3u);
  byte_array untouched;
  peeked.payload(&untouched);
  EXPECT_EQ(untouched, nullptr);

  // Peeking again sees the same header.
  packet again(&link, variant::IS);
  ASSERT_TRUE(again.peek_header());
  EXPECT_EQ(again.type(), 0x90);

  packet whole(&link, variant::IS);
  ASSERT_TRUE(whole.receive());
  EXPECT_EQ(whole.type(), 0x90);
  EXPECT_EQ(payload_of(whole), (bytes{0x01, 0x02, 0x03}));

  packet second(&link, variant::IS);
  ASSERT_TRUE(second.receive());
  EXPECT_EQ(second.type(), 0xA0);
  EXPECT_EQ(payload_of(second), (bytes{0x06}));
}

TEST(packet, ReceiveFailsOnShortInput) {
  fake_scanner fake({[](scanner_peer& peer) {
                       // Half a header.
                       peer.send_raw({0x4E, 0x54, 0x81, 0x00, 0x00, 0x0C});
                       peer.close();
                     },
                     [](scanner_peer& peer) {
                       // A whole header announcing 10 bytes, then 4 of them.
                       peer.send_raw(cat({header_bytes(variant::NT, 0x81, 0, 10), counting(4)}));
                       peer.close();
                     }});
  {
    endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
    packet p(&link, variant::NT);
    EXPECT_FALSE(p.receive());
  }
  {
    endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
    packet p(&link, variant::NT);
    EXPECT_FALSE(p.receive());
  }
}

// A header announcing more than 256 MiB fails the receive
// before anything more is read; the bound itself is allowed. The peer sends
// the header, a few marker bytes and closes: whether the marker is still
// queued afterwards tells a receive that stopped at the header from one that
// went on reading.
struct length_case {
  const char* name;
  std::uint32_t length;
  bool reads_on;
};

class packet_length_bound : public ::testing::TestWithParam<length_case> {};

TEST_P(packet_length_bound, OversizedHeaderFailsAtOnce) {
  const length_case& c = GetParam();
  const bytes marker = {0x4D, 0x41, 0x52, 0x4B};
  fake_scanner fake({[&](scanner_peer& peer) {
    peer.send_raw(cat({header_bytes(variant::IS, 0xA0, 0, c.length), marker}));
    peer.close();
  }});
  endpoint link("127.0.0.1", fake.port(), LINK_TIMEOUT_S);
  packet p(&link, variant::IS);
  EXPECT_FALSE(p.receive());
  bytes rest(marker.size());
  if (c.reads_on) {
    EXPECT_FALSE(link.read(rest.data(), rest.size())) << "the payload read took the marker";
  } else {
    ASSERT_TRUE(link.read(rest.data(), rest.size())) << "the receive read past the header";
    EXPECT_EQ(rest, marker);
  }
}

INSTANTIATE_TEST_SUITE_P(all, packet_length_bound,
                         ::testing::Values(length_case{"at_bound", 268'435'456u, true},
                                           length_case{"one_above", 268'435'457u, false},
                                           length_case{"largest", 0xFFFFFFFFu, false}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace scanbridge
