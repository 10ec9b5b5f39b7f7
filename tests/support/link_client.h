// SPDX-License-Identifier: MIT
// The driver's side of the client link: framed messages to and from the
// bridge over a loopback TCP connection. Messages are encoded here, byte by
// byte, independently of the bridge's own code, so tests check the wire.
#ifndef SCANBRIDGE_TESTS_SUPPORT_LINK_CLIENT_H_
#define SCANBRIDGE_TESTS_SUPPORT_LINK_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>

#include "tests/support/io.h"

namespace scanbridge::testing {

inline constexpr std::uint32_t KIND_DATA = 0;
inline constexpr std::uint32_t KIND_OPEN = 4;
inline constexpr std::uint32_t KIND_CLOSE = 5;
// No kind the bridge knows: it always answers with the message's id and
// status -1, which makes it a harmless round trip.
inline constexpr std::uint32_t KIND_PING = 9;

// Four big-endian words (id, kind, status, length), then the payload. The
// length word is the payload's size.
bytes link_message(std::uint32_t id, std::uint32_t kind, const bytes& payload = {},
                   std::uint32_t status = 0);

struct link_reply {
  std::uint32_t id = 0;
  std::uint32_t kind = 0;
  std::uint32_t status = 0;
  std::uint32_t length = 0;
  bytes payload;

  bool operator==(const link_reply&) const = default;
};
std::ostream& operator<<(std::ostream& out, const link_reply& reply);

class link_client {
 public:
  // Nagle's algorithm goes off, as a driver would have it: a message sent
  // right after one that gets no reply (CLOSE) must not wait for the
  // bridge's delayed acknowledgement.
  explicit link_client(unique_fd fd);
  // One attempt; connected() tells whether it worked.
  static link_client connect(int port);
  // Tries again while the port refuses (the bridge is about to listen).
  static link_client connect_retry(int port, std::chrono::milliseconds timeout = WAIT);

  bool connected() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }

  bool send(std::uint32_t id, std::uint32_t kind, const bytes& payload = {},
            std::uint32_t status = 0) const;
  bool send_raw(const bytes& data) const { return write_all(fd_.get(), data); }
  // One whole message, or nullopt when none arrived in time.
  std::optional<link_reply> receive(std::chrono::milliseconds timeout = WAIT) const;
  bytes receive_raw(std::size_t n, std::chrono::milliseconds timeout = WAIT) const {
    return read_exact(fd_.get(), n, timeout);
  }
  // A KIND_PING round trip: true when the very next bytes are its reply
  // (id, kind 0, status -1, no payload).
  bool ping(std::uint32_t id = 3, std::chrono::milliseconds timeout = WAIT) const;
  // True when the bridge closes the connection with nothing more sent.
  bool expect_eof(std::chrono::milliseconds timeout = WAIT) const {
    return testing::expect_eof(fd_.get(), timeout);
  }

  // Leaves the way a driver does: end of stream, then waits until the bridge
  // has closed its side too. False when it did not in time.
  bool leave(std::chrono::milliseconds timeout = WAIT);
  // Leaves with a reset instead of an end of stream.
  void reset();

 private:
  unique_fd fd_;
};

}  // namespace scanbridge::testing

#endif  // SCANBRIDGE_TESTS_SUPPORT_LINK_CLIENT_H_
