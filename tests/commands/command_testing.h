// SPDX-License-Identifier: MIT
// Helpers shared by the command tests: byte vectors in and out of commands,
// and draining a command's queue the way the driver and dispatcher do.
#ifndef SCANBRIDGE_TESTS_COMMANDS_COMMAND_TESTING_H_
#define SCANBRIDGE_TESTS_COMMANDS_COMMAND_TESTING_H_

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "commands/command.h"

namespace scanbridge::testing {

using bytes = std::vector<std::uint8_t>;

inline bytes chunk_bytes(const chunk& c) {
  if (c.length == 0) return {};
  return bytes(c.bytes.get(), c.bytes.get() + c.length);
}

// Pops every queued chunk, oldest first.
inline std::vector<bytes> drain(command& cmd) {
  std::vector<bytes> out;
  while (!cmd.empty()) out.push_back(chunk_bytes(cmd.pop()));
  return out;
}

// Pops the front chunk. Precondition: the queue is not empty.
inline bytes pop_front(command& cmd) {
  return chunk_bytes(cmd.pop());
}

inline byte_array array_of(const bytes& b) {
  byte_array a = new_bytes(b.size());
  if (!b.empty()) std::memcpy(a.get(), b.data(), b.size());
  return a;
}

inline action reply(command& cmd, std::uint8_t type, const bytes& b) {
  return cmd.scanner_reply(type, array_of(b), b.size());
}

inline action send(command& cmd, const bytes& b) {
  return cmd.client_data(b.data(), b.size());
}

inline bytes text(std::string_view s) {
  return bytes(s.begin(), s.end());
}

inline bytes cat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline bytes filled(std::size_t n, std::uint8_t value) {
  return bytes(n, value);
}

// n bytes counting up from first, wrapping at 256: easy to spot when misplaced.
inline bytes counting(std::size_t n, std::uint8_t first = 1) {
  bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(first + i);
  return b;
}

}  // namespace scanbridge::testing

#endif  // SCANBRIDGE_TESTS_COMMANDS_COMMAND_TESTING_H_
