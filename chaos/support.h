// SPDX-License-Identifier: MIT
// What the chaos harness needs beside the bridge: a clock, sockets whose
// descriptors it accounts for, and the bridge's share of descriptors and heap.
//
// The bridge runs in a thread of the harness, so /proc/self/fd holds both.
// Every descriptor the harness opens is made and closed through
// harness_socket, which keeps a register of them under one lock; whatever else
// is open above 2 is the bridge's.
#ifndef SCANBRIDGE_CHAOS_SUPPORT_H_
#define SCANBRIDGE_CHAOS_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tools/common/byte_order.h"

namespace scanbridge::chaos {

using bytes = std::vector<std::uint8_t>;
using rng = std::mt19937_64;

// The bridge's waits in the harness, in milliseconds, and how much later
// than its bound an outcome may come before it counts as a violation.
struct limits {
  int scanner_ms = 400;  // each wait of a scanner connection, scans included
  int client_ms = 600;   // each wait of the client link
  int closing_ms = 60;   // a closing exchange in all
  int backoff_ms = 40;   // the longest pause between connection tries
  int tries = 2;
  int margin_ms = 200;
};

// Counts one injected fault of a kind, for the summary. Thread-safe.
void count_fault(const char* kind);
// Every kind counted so far with its count, in name order.
std::vector<std::pair<std::string, long>> fault_counts();

// Milliseconds of the monotonic clock.
std::int64_t now_ms();

// A uniform draw from [lo, hi].
std::int64_t draw(rng& r, std::int64_t lo, std::int64_t hi);
// True with probability percent / 100.
bool chance(rng& r, int percent);
// A row of a table of weighted choices (any struct with a `weight`), drawn
// with probability weight / sum of weights.
template <typename T, std::size_t N>
const T& pick(rng& r, const T (&table)[N]) {
  std::int64_t total = 0;
  for (const T& row : table) total += row.weight;
  std::int64_t at = draw(r, 0, total - 1);
  for (const T& row : table) {
    if (at < row.weight) return row;
    at -= row.weight;
  }
  return table[0];
}

// A seed of its own for each scenario, connection and so on, from a parent
// seed and an index (splitmix64).
std::uint64_t derive(std::uint64_t seed, std::uint64_t index);

// A TCP socket of the harness on 127.0.0.1, registered while it is open.
class harness_socket {
 public:
  harness_socket() = default;
  ~harness_socket() { close(); }
  harness_socket(harness_socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  harness_socket& operator=(harness_socket&& other) noexcept;
  harness_socket(const harness_socket&) = delete;
  harness_socket& operator=(const harness_socket&) = delete;

  // Listening on 127.0.0.1 at a port the system chooses, with a receive
  // buffer of rcvbuf bytes (0: the system's) that accepted sockets inherit.
  static harness_socket listen_any(int rcvbuf);
  // Bound to 127.0.0.1 at a port the system chooses, not listening: a port
  // that refuses connections for as long as this socket lives.
  static harness_socket bound_any();
  // A connection to 127.0.0.1:port, receive buffer as above. Invalid when
  // refused; refused() tells.
  static harness_socket connect_to(int port, int rcvbuf, bool* refused = nullptr);
  // Accepts one waiting connection without blocking; invalid when none.
  harness_socket accept_one() const;

  int fd() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int port() const;
  int peer_port() const;
  // True when fd's own port is local_port and its peer's port peer_port.
  static bool is(int fd, int local_port, int peer_port);
  void close();
  // Closes with a reset instead of an end of stream.
  void reset();

 private:
  explicit harness_socket(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// Descriptors above 2 that the harness did not open: the bridge's.
int bridge_descriptors();
// The descriptor of the bridge's end of a loopback TCP connection: the one
// whose own port is local_port and whose peer's port is peer_port; -1 when
// there is none.
int bridge_socket(int local_port, int peer_port);
// Bytes of heap in use in the whole process, once every thread allocates
// from one arena (mallopt(M_ARENA_MAX, 1) before the first thread).
std::size_t heap_in_use();

// Waits up to ms (negative: no bound) for events on fd. Returns the revents
// (0 on a time-out).
short wait_fd(int fd, short events, int ms);
// Sends everything, waiting up to ms for each stretch of room. False when the
// peer is gone or the wait ran out.
bool send_all(int fd, const std::uint8_t* data, std::size_t n, int ms);
// Reads exactly n bytes, waiting up to ms for each piece. False at end of
// stream, on an error or when a wait ran out.
bool read_exact(int fd, std::uint8_t* out, std::size_t n, int ms);

using tools::get_be32;
using tools::get_le32;
using tools::put_be32;
using tools::put_le32;

}  // namespace scanbridge::chaos

#endif  // SCANBRIDGE_CHAOS_SUPPORT_H_
