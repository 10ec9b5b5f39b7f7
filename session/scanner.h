// SPDX-License-Identifier: MIT
// The session of one open device: where the scanner is, its TCP connection
// and protocol, the command being translated, and the driver that carries one
// client DATA message through that command.
#ifndef SCANBRIDGE_SESSION_SCANNER_H_
#define SCANBRIDGE_SESSION_SCANNER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "commands/chunk.h"
#include "commands/command.h"
#include "net/endpoint.h"
#include "wire/protocol.h"

namespace scanbridge {

// Connection attempts and time-out (seconds) of every connect on a DATA
// message; the device table uses the same values for OPEN.
inline constexpr int CONNECT_TRIES = 10;
inline constexpr int SCANNER_TIMEOUT = 300;

class scanner {
 public:
  // address is "host" or "host:port" (the port text is read by strtol and
  // not validated; anything after the number is ignored), where an IPv6
  // address goes in brackets: "[2001:db8::5]", "[fe80::1%eth0]:1865".
  // Without a port the default port is used. Nothing is connected yet.
  scanner(const std::string& address, int default_port);
  // Disconnects in order: a connected IS scanner receives its close request.
  ~scanner();
  scanner(const scanner&) = delete;
  scanner& operator=(const scanner&) = delete;

  // Connects with up to tries attempts, pausing 1/tries of a second more after
  // each failure (at most 1 s), and opens the protocol the greeting selects.
  // True at once when already connected. Once the waits are woken (a stop),
  // it makes no further try (the endpoint makes no connection attempt then)
  // and no further pause.
  bool connect(int tries, int timeout);
  // Drops the connection. by_scanner: the scanner asked for it through a
  // notice, so no close request is sent. The current command goes too.
  void disconnect(bool by_scanner);

  // Gives the rest of the connection's traffic seconds at most, all waits
  // together: on the way out a silent or trickling scanner must not hold the
  // exit for long.
  void limit_waits(int seconds);

  // Runs one client DATA message through the session. Returns 0 or -1; the
  // answers wait in replies(). The bytes stay the caller's. Throws
  // std::logic_error for a malformed extended request.
  int exchange(const std::uint8_t* bytes, std::size_t size);

  // The queue the client's replies come from: the current command's own
  // queue, or the session's queue when there is no command. Never null.
  chunk_queue* replies();

  // For tests and tools.
  const std::string& host() const { return host_; }
  int port() const { return port_; }
  bool connected() const { return link_ != nullptr; }
  bool extended_mode() const { return extended_mode_; }
  const command* current_command() const { return _cmd.get(); }
  const endpoint* link() const { return link_.get(); }

 private:
  // The address parts after construction, for "[...]" forms and ports.
  void take_bracketed_(const std::string& address);
  void take_port_(const char* text);

  int command_handshake_(const std::uint8_t* bytes, std::size_t size);
  int request_handshake_(const std::uint8_t* bytes, std::size_t size);
  void send_chunk_(std::uint8_t type, std::uint8_t flag);
  // Reads the scanner's next packet for the exchange in progress. False when
  // the receive failed; the session has disconnected then.
  bool read_packet_(std::uint8_t* type, byte_array* payload, std::uint32_t* length);
  bool is_notice_(std::uint8_t type) const { return type == protocol_->notice_type(); }

  bool poll_notice_();
  action handle_event_(std::uint8_t code);
  action handle_notice_payload_(const std::uint8_t* payload, std::size_t size);
  void answer_notice_query_();

  std::string host_;
  int port_;
  std::unique_ptr<endpoint> link_;
  // The normal I/O time-out, restored before ordinary commands.
  int timeout_ = 0;
  // Borrows link_; exists exactly while link_ does (outside connect()).
  std::unique_ptr<protocol> protocol_;
  bool extended_mode_ = false;
  std::unique_ptr<command> _cmd;
  // Answers the session makes itself (the local notice query answer).
  chunk_queue replies_;
  std::uint8_t notice_flag_ = 0;
};

}  // namespace scanbridge

#endif  // SCANBRIDGE_SESSION_SCANNER_H_
