// SPDX-License-Identifier: MIT
// The session of one open device: where the scanner is, its TCP connection
// and protocol, the command being translated, and the driver that carries one
// client DATA message through that command.
#ifndef SCANBRIDGE_SESSION_SCANNER_H_
#define SCANBRIDGE_SESSION_SCANNER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "commands/chunk.h"
#include "commands/command.h"
#include "net/endpoint.h"
#include "wire/protocol.h"

namespace scanbridge {

// Connection attempts and time-out of every connect on a DATA message; the
// device table uses the same values for OPEN.
inline constexpr int CONNECT_TRIES = 10;
inline constexpr std::chrono::seconds SCANNER_TIMEOUT{300};
// The connection time-out a scan runs with (FS G).
inline constexpr std::chrono::seconds SCAN_TIMEOUT{300};
// The longest pause between two connection tries.
inline constexpr std::chrono::seconds MAX_BACKOFF{1};
// What a closing exchange may take in all, whatever ends the session: the
// scanner's answer is read only to be dropped, and a silent scanner must not
// hold the bridge.
inline constexpr std::chrono::seconds CLOSE_TIMEOUT{1};

// The waits of a session. The bridge runs with these defaults; a harness that
// drives sessions against hostile peers shortens them, so that a time-out
// costs it milliseconds instead of minutes.
struct session_timing {
  int tries = CONNECT_TRIES;
  std::chrono::milliseconds timeout = SCANNER_TIMEOUT;
  std::chrono::milliseconds scan_timeout = SCAN_TIMEOUT;
  std::chrono::milliseconds max_backoff = MAX_BACKOFF;
  std::chrono::milliseconds closing = CLOSE_TIMEOUT;
};

class scanner {
 public:
  // address is "host" or "host:port" (the port text is read by strtol;
  // anything after the number is ignored), where an IPv6 address goes in
  // brackets: "[2001:db8::5]", "[fe80::1%eth0]:1865". Without a port the
  // default port is used; a port outside 1-65535 becomes 0, which never
  // connects. Nothing is connected yet.
  scanner(const std::string& address, int default_port, const session_timing& timing = {});
  // Disconnects in order: a connected IS scanner receives its close request.
  ~scanner();
  scanner(const scanner&) = delete;
  scanner& operator=(const scanner&) = delete;

  // Fails at once for port 0. Connects with up to tries attempts, pausing 1/tries of the longest pause
  // more after each failure (with the default timing 0.1 s, 0.2 s, ... up to
  // 1 s), and opens the protocol the greeting selects. Each wait of the
  // connection lasts at most timeout.
  // True at once when already connected. Once the waits are woken (a stop),
  // it makes no further try (the endpoint makes no connection attempt then)
  // and no further pause.
  bool connect(int tries, std::chrono::milliseconds timeout);
  // Drops the connection. by_scanner: the scanner asked for it through a
  // notice, so no close request is sent. Otherwise the closing exchange
  // (the IS close request and its answer) takes the timing's closing time at
  // most, all waits together: a silent or trickling scanner must not hold the
  // bridge. The current command goes too.
  void disconnect(bool by_scanner);

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
  // Sends the current command's front chunk as a packet. False when the
  // send failed; the session has disconnected then.
  bool send_chunk_(std::uint8_t type, std::uint8_t flag);
  // Reads the scanner's next packet for the exchange in progress. False when
  // the receive failed; the session has disconnected then.
  bool read_packet_(std::uint8_t* type, byte_array* payload, std::uint32_t* length);
  bool is_notice_(std::uint8_t type) const { return type == protocol_->notice_type(); }

  // Takes one notice that has arrived whole, if it fits in the budget of
  // bytes the poll may still take (counted at the first notice found) and
  // takes it off the budget. False when there is none to take.
  bool poll_notice_(std::size_t* budget);
  action handle_event_(std::uint8_t code);
  action handle_notice_payload_(const std::uint8_t* payload, std::size_t size);
  void answer_notice_query_();

  std::string host_;
  int port_;
  session_timing timing_;
  std::unique_ptr<endpoint> link_;
  // The normal I/O time-out, restored before ordinary commands.
  std::chrono::milliseconds timeout_{0};
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
