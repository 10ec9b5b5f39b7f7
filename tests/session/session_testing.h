// SPDX-License-Identifier: MIT
// Helpers shared by the session tests: one DATA message through a session,
// with its result and the reply chunks the dispatcher would write.
#ifndef SCANBRIDGE_TESTS_SESSION_SESSION_TESTING_H_
#define SCANBRIDGE_TESTS_SESSION_SESSION_TESTING_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <ostream>
#include <vector>

#include "session/scanner.h"
#include "tests/session/fake_scanner.h"

namespace scanbridge {

// Command states print by name in test messages.
inline void PrintTo(enum command::state s, std::ostream* os) {
  static constexpr const char* names[] = {"INITIAL", "WAIT_SCANNER", "WAIT_CLIENT", "FINISHED",
                                          "LEAVE_EXTENDED"};
  const auto i = static_cast<std::size_t>(s);
  *os << (i < std::size(names) ? names[i] : "(bad state)");
}

}  // namespace scanbridge

namespace scanbridge::testing {

inline constexpr variant NT = variant::NT;
inline constexpr variant IS = variant::IS;

// The time-out the tests connect their sessions with; the connection is made
// with one try.
inline constexpr std::chrono::seconds SESSION_TIMEOUT_S{10};

// The outcome of one DATA message: the exchange's result and every chunk it
// left for the client, in order.
struct result {
  int status;
  std::vector<bytes> chunks;
  bool operator==(const result&) const = default;
};

inline void PrintTo(const result& r, std::ostream* os) {
  *os << "{status " << r.status << ", " << r.chunks.size() << " chunks";
  for (const bytes& c : r.chunks) *os << "\n    [" << hex(c) << "]";
  *os << "}";
}

// Takes every chunk left in the session's reply queue, as the dispatcher does
// after each DATA message (the driver sends the front chunk of the current
// command, so the queue must be drained between messages).
inline std::vector<bytes> drain(scanner& s) {
  std::vector<bytes> out;
  chunk_queue* q = s.replies();
  while (!q->empty()) {
    const chunk c = q->pop();
    out.emplace_back(c.bytes.get(), c.bytes.get() + c.length);
  }
  return out;
}

inline result data(scanner& s, const bytes& b) {
  const int status = s.exchange(b.data(), b.size());
  return result{status, drain(s)};
}

// The state of the session's current command, none when there is none.
inline std::optional<enum command::state> command_state(const scanner& s) {
  if (s.current_command() == nullptr) return std::nullopt;
  return s.current_command()->state();
}

// The time-out on the session's connection, none while disconnected.
inline std::optional<std::chrono::milliseconds> link_timeout(const scanner& s) {
  if (s.link() == nullptr) return std::nullopt;
  return s.link()->timeout();
}

inline bytes be32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

// An IS chunk: the 8-byte header (bytes that follow, reply bytes expected),
// then the bytes.
inline bytes is_chunk(std::uint32_t reply_size, const bytes& b) {
  return cat({be32(static_cast<std::uint32_t>(b.size())), be32(reply_size), b});
}

// The NT notice query and its answers.
inline bool expect_notice_query(scanner_peer& peer, bool reports) {
  return peer.expect_packet(NT, 0x11, 0, {0x00, 0x00}) &&
         peer.send_packet(NT, 0x91, 0, {0x00, static_cast<std::uint8_t>(reports ? 1 : 0)});
}

// The session's own answer to ESC '!'.
inline result notice_answer(std::uint8_t flag) {
  return result{0, {{0x02, 0x00, 0x01, 0x00}, {flag}}};
}

}  // namespace scanbridge::testing

#endif  // SCANBRIDGE_TESTS_SESSION_SESSION_TESTING_H_
