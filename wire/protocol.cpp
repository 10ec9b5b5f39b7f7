// SPDX-License-Identifier: MIT
#include "wire/protocol.h"

#include "commands/factory.h"
#include "commands/request.h"
#include "net/endpoint.h"
#include "wire/codes.h"

namespace scanbridge {

namespace {

constexpr int MIN_MAJOR = 1;
constexpr int MIN_MINOR = 2;

// NT: the setup request that follows the greeting, and the notice query.
constexpr std::uint8_t NT_SETUP[] = {0x00, 0x02};
constexpr std::uint8_t NT_NOTICE_QUERY[] = {0x00, 0x00};
// IS: the open request that follows the greeting.
constexpr std::uint8_t IS_OPEN[] = {0x01, 0xA0, 0x04, 0x00, 0x00, 0x01, 0x2C};

}  // namespace

protocol::~protocol() = default;

std::unique_ptr<command> protocol::new_request(const std::uint8_t*, std::size_t) {
  return nullptr;
}

int protocol::read_greeting(std::uint8_t expected_type, int min_major, int min_minor) {
  packet greeting = new_packet();
  if (!greeting.receive()) return -1;
  byte_array payload;
  const std::uint32_t n = greeting.payload(&payload);
  if (!payload || greeting.type() != expected_type || n < 3) return -1;
  const int major = payload[0];
  const int minor = payload[1];
  if (major < min_major || (major == min_major && minor < min_minor)) return -1;
  return payload[2];
}

std::unique_ptr<command> protocol_nt::new_command(int letter, int prefix) {
  return new_command_nt(letter, prefix);
}

std::uint8_t protocol_nt::notice_type() const { return packet_type::NT_NOTICE; }

bool protocol_nt::is_disconnect_event(std::uint8_t code) const {
  return code == 0x02 || code == 0x10 || code == 0x11 || code == 0xFF;
}

bool protocol_nt::can_report_notice() {
  packet query = new_packet();
  query.set_type(packet_type::NT_CONTROL);
  query.set_flag(0);
  query.set_payload(NT_NOTICE_QUERY, sizeof NT_NOTICE_QUERY);
  if (!query.send()) return false;
  if (!query.receive()) return false;
  byte_array payload;
  const std::uint32_t n = query.payload(&payload);
  return query.type() == packet_type::NT_CONTROL_REPLY && n == 2 && payload[1] == 1;
}

bool protocol_nt::open() {
  if (read_greeting(packet_type::GREETING, MIN_MAJOR, MIN_MINOR) != 0) return false;
  // Whatever the scanner answers to the setup stays queued for the next
  // receive; the outcome of the send shows there too.
  packet setup = new_packet();
  setup.set_type(packet_type::NT_CONTROL);
  setup.set_payload(NT_SETUP, sizeof NT_SETUP);
  setup.send();
  return true;
}

std::unique_ptr<command> protocol_is::new_command(int letter, int prefix) {
  return new_command_is(letter, prefix);
}

std::unique_ptr<command> protocol_is::new_request(const std::uint8_t* bytes, std::size_t count) {
  return std::make_unique<request>(bytes, count);
}

std::uint8_t protocol_is::notice_type() const { return packet_type::IS_NOTICE; }

bool protocol_is::is_disconnect_event(std::uint8_t code) const {
  return code == 0x02 || code == 0x80 || code == 0xA0;
}

bool protocol_is::open() {
  if (read_greeting(packet_type::GREETING, MIN_MAJOR, MIN_MINOR) != 0) return false;
  packet open_request = new_packet();
  open_request.set_type(packet_type::IS_CONTROL);
  open_request.set_payload(IS_OPEN, sizeof IS_OPEN);
  if (!open_request.send()) return false;
  packet answer = new_packet();
  if (!answer.receive()) return false;
  byte_array payload;
  const std::uint32_t n = answer.payload(&payload);
  return answer.type() == packet_type::IS_CONTROL_REPLY && n == 1 && payload[0] == ACK;
}

void protocol_is::close() {
  packet close_request = new_packet();
  close_request.set_type(packet_type::IS_CONTROL);
  close_request.set_flag(1);
  if (!close_request.send()) return;
  // The scanner answers with 0xA1, flag 1, ACK; nothing depends on it.
  packet answer = new_packet();
  answer.receive();
}

std::unique_ptr<protocol> detect_protocol(endpoint* link) {
  // One look at the first header tells both variants apart, so a scanner
  // that connects and never greets costs one time-out, not one per variant.
  // The look makes the TCP connection; one that could not even connect is
  // tried once more.
  std::uint8_t header[PACKET_HEADER_SIZE];
  if (!link->read(header, sizeof header, true) &&
      (link->connected() || !link->read(header, sizeof header, true))) {
    return nullptr;
  }
  packet nt(link, variant::NT);
  packet is(link, variant::IS);
  std::unique_ptr<protocol> found;
  if (nt.parse_header(header)) {
    found = std::make_unique<protocol_nt>(link);
  } else if (is.parse_header(header)) {
    found = std::make_unique<protocol_is>(link);
  } else {
    return nullptr;
  }
  if (!found->open()) return nullptr;
  return found;
}

}  // namespace scanbridge
