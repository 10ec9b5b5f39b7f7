// SPDX-License-Identifier: MIT
// The two variants of the scanner packet protocol, NT and IS: everything
// that differs between them, so that the session never tests the variant
// itself.
#ifndef SCANBRIDGE_WIRE_PROTOCOL_H_
#define SCANBRIDGE_WIRE_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "commands/command.h"
#include "wire/packet.h"

namespace scanbridge {

class endpoint;

// The protocol of one scanner connection. The endpoint is borrowed: the
// session owns it and destroys it just before it destroys the protocol, so the
// destructor never touches it.
class protocol {
 public:
  explicit protocol(endpoint* link) : link_(link) {}
  virtual ~protocol();
  protocol(const protocol&) = delete;
  protocol& operator=(const protocol&) = delete;

  // Virtual operations, in slot order.
  // A packet on this connection with the variant's magic.
  virtual packet new_packet() = 0;
  // The translator for a legacy command (letter 0 for a one-byte command), or
  // null where the variant has none.
  virtual std::unique_ptr<command> new_command(int letter, int prefix) = 0;
  // The translator of an extended request, or null where the variant has
  // none. Throws std::logic_error for a malformed request.
  virtual std::unique_ptr<command> new_request(const std::uint8_t* bytes, std::size_t count);
  // The packet type of the scanner's unsolicited notices.
  virtual std::uint8_t notice_type() const = 0;
  virtual bool is_notice_event(std::uint8_t code) const = 0;
  virtual bool is_cancel_event(std::uint8_t code) const { return code == 3; }
  virtual bool is_disconnect_event(std::uint8_t code) const = 0;
  // Whether the notice flag may be reported to the client.
  virtual bool can_report_notice() { return true; }
  // Reads the greeting and opens the session; called by detect_protocol().
  virtual bool open() = 0;
  // Ends the session when the bridge, not the scanner, closes the connection.
  virtual void close() {}

  // Reads the greeting: a packet of expected_type whose payload holds at least
  // the major version, the minor version and a status byte. Returns the status
  // (0 to 255), or -1 when the packet is missing or malformed or the version is
  // below min_major.min_minor.
  int read_greeting(std::uint8_t expected_type, int min_major, int min_minor);

 protected:
  endpoint* link_;
};

class protocol_nt : public protocol {
 public:
  using protocol::protocol;

  packet new_packet() override { return packet(link_, variant::NT); }
  std::unique_ptr<command> new_command(int letter, int prefix) override;
  std::uint8_t notice_type() const override;
  bool is_notice_event(std::uint8_t code) const override { return code == 0x01; }
  bool is_disconnect_event(std::uint8_t code) const override;
  // Asks the scanner whether it reports notices.
  bool can_report_notice() override;
  // Greeting, then the setup request, whose answer is not awaited.
  bool open() override;
};

class protocol_is : public protocol {
 public:
  using protocol::protocol;

  packet new_packet() override { return packet(link_, variant::IS); }
  std::unique_ptr<command> new_command(int letter, int prefix) override;
  std::unique_ptr<command> new_request(const std::uint8_t* bytes, std::size_t count) override;
  std::uint8_t notice_type() const override;
  bool is_notice_event(std::uint8_t code) const override { return code == 0x01; }
  bool is_disconnect_event(std::uint8_t code) const override;
  // Greeting, then the open request, which the scanner must acknowledge.
  bool open() override;
  // Sends the close request and consumes one reply, whatever it is.
  void close() override;
};

// Looks at the scanner's first header on a fresh endpoint (making the TCP
// connection) without taking it, and returns the opened protocol of the
// variant its magic names, or null when it names neither, no header came
// within the time-out, or the open fails. An NT greeting that fails is not
// retried as IS.
std::unique_ptr<protocol> detect_protocol(endpoint* link);

}  // namespace scanbridge

#endif  // SCANBRIDGE_WIRE_PROTOCOL_H_
