// SPDX-License-Identifier: MIT
// A scripted network scanner on a real loopback socket, for the tests of the
// wire and session layers.
//
// The fake listens on 127.0.0.1 with a port the system chooses and runs one
// script per accepted connection, in order, on its own thread: the session
// under test blocks in its reads, so the scanner end must run beside it. A
// script plays the scanner through a scanner_peer: it sends greetings,
// replies and notices, and checks every byte the bridge sends with
// expect_packet or expect_bytes. Every read of the peer has a time-out, and
// after its first failure a peer does nothing more, so a script that goes
// wrong ends quickly and closes its connection, which in turn ends any wait
// of the session under test. Failures are reported through GoogleTest from
// the script thread.
#ifndef SCANBRIDGE_TESTS_SESSION_FAKE_SCANNER_H_
#define SCANBRIDGE_TESTS_SESSION_FAKE_SCANNER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/io.h"
#include "wire/packet.h"

namespace scanbridge {

// The variant prints by name in test messages.
inline void PrintTo(variant v, std::ostream* os) {
  *os << (v == variant::NT ? "NT" : "IS");
}

}  // namespace scanbridge

namespace scanbridge::testing {

using bytes = std::vector<std::uint8_t>;

// Time-out of every read and write of the fake, and of its wait for each
// connection a script is waiting for, in seconds.
inline constexpr int FAKE_TIMEOUT_S = 10;

// Byte helpers.
bytes cat(std::initializer_list<bytes> parts);
bytes text(std::string_view s);
// n bytes counting up from first, wrapping at 256: easy to spot when misplaced.
bytes counting(std::size_t n, std::uint8_t first = 1);

// The wire form of one packet, built by hand rather than by the packet class
// under test: magic, type, flag, 0, 12, big-endian length, 0 0, payload.
bytes packet_bytes(variant v, std::uint8_t type, std::uint8_t flag, const bytes& payload);
// A header alone that announces length payload bytes.
bytes header_bytes(variant v, std::uint8_t type, std::uint8_t flag, std::uint32_t length);

// One packet as the fake read it.
struct raw_packet {
  bytes header;
  bytes payload;
  std::uint8_t type() const { return header[2]; }
  std::uint8_t flag() const { return header[3]; }
};

// The scanner end of one accepted connection. Every operation reports
// success; once one has failed (and reported the failure), the others do
// nothing and report failure too.
class scanner_peer {
 public:
  scanner_peer(int fd, std::size_t index);
  ~scanner_peer();
  scanner_peer(const scanner_peer&) = delete;
  scanner_peer& operator=(const scanner_peer&) = delete;

  bool send_raw(const bytes& b);
  bool send_packet(variant v, std::uint8_t type, std::uint8_t flag, const bytes& payload);
  // A greeting packet (type 0x80) whose payload is major, minor, status.
  bool send_greeting(variant v, std::uint8_t major, std::uint8_t minor, std::uint8_t status);

  // Reads exactly n bytes.
  std::optional<bytes> read_bytes(std::size_t n);
  // Reads one packet: its header and the payload the header announces.
  std::optional<raw_packet> read_packet();
  // Reads exactly expected.size() bytes and checks them.
  bool expect_bytes(const bytes& expected, std::string_view what = "bytes");
  // Reads one packet and checks every byte of it against the packet that
  // packet_bytes makes of the arguments.
  bool expect_packet(variant v, std::uint8_t type, std::uint8_t flag, const bytes& payload);
  // Checks that the bridge closes the connection without sending anything
  // more.
  bool expect_closed();

  // Closes the connection with a reset (SO_LINGER 0).
  void reset();
  // Closes the connection in order.
  void close();

  // The usual openings: the greeting of version 1.2 with status 0, then the
  // NT setup request, or the IS open request answered with ACK.
  bool open_nt();
  bool open_is();
  // The IS close request, answered with 0xA1 flag 1 ACK.
  bool expect_is_close();

  bool ok() const { return !failed_; }

 private:
  bool fail_(const std::string& what);

  int fd_;
  std::size_t index_;
  bool failed_ = false;
};

using script = std::function<void(scanner_peer&)>;

// Runs scripts[i] against the i-th accepted connection. Connections beyond
// the scripts are counted, closed at once and reported as failures; a script
// whose connection never comes is reported when the fake is destroyed.
class fake_scanner {
 public:
  explicit fake_scanner(std::vector<script> scripts);
  // Waits for the script in progress, then stops. Destroy the sessions that
  // talk to the fake first (declare the fake before them).
  ~fake_scanner();
  fake_scanner(const fake_scanner&) = delete;
  fake_scanner& operator=(const fake_scanner&) = delete;

  int port() const { return port_; }
  // "127.0.0.1:<port>", the address form a scanner session takes.
  std::string address() const;
  // Connections accepted so far.
  int accepted() const { return accepted_.load(); }

 private:
  void run_();
  // The next connection, or -1 when the fake stops or the wait times out.
  int accept_(int timeout_ms);

  std::vector<script> scripts_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<int> accepted_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace scanbridge::testing

#endif  // SCANBRIDGE_TESTS_SESSION_FAKE_SCANNER_H_
