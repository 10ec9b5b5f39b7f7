// SPDX-License-Identifier: MIT
// Fuzz target for the scanner side of a session: the bytes a scanner sends,
// through packet::receive, detect_protocol and the exchange driver, for a
// sequence of client commands.
//
// Input:
//   byte 0: the number of client commands (low 5 bits, 0 to 31);
//   each command: a length (one byte, or 255 and two more bytes) and that
//     many bytes, the payload of one DATA message;
//   the rest: what the scanner sends, byte for byte.
//
// The fake scanner plays the same bytes on every connection and then shuts
// its side down, so every read past them ends at once. The harness first
// runs detect_protocol on a probe connection; only when that opens does it
// make a session, connect it (one try: the same bytes open it again) and run
// the commands through scanner::exchange, draining the replies after each as
// the dispatcher does. Every connection gets the same bytes, so a session
// that lost its connection (or obeyed a disconnect notice) opens again on
// the first of its ten tries and goes on from the start of the bytes.
//
// Checked: every exchange returns 0 or -1; the only exception is the
// std::logic_error of a malformed extended request, which ends the run as it
// ends the bridge process; a disconnected session has no command and is not
// in extended mode; every reply chunk has a length of 0 or more and an array
// at least that long; everything the bridge sent the scanner is whole,
// well-formed packets (see fuzz/support/wire_check.h). Leaks are found by
// libFuzzer's leak check.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "bridge/bridge.h"
#include "fuzz/support/check.h"
#include "fuzz/support/fake_scanner.h"
#include "fuzz/support/input.h"
#include "fuzz/support/wire_check.h"
#include "net/endpoint.h"
#include "session/scanner.h"
#include "wire/protocol.h"

namespace scanbridge::fuzz {

namespace {

// Longer inputs are skipped: the scanner's bytes must fit the socket buffers
// of the probe and the session many times over.
constexpr std::size_t INPUT_LIMIT = 1 << 20;
constexpr std::chrono::seconds PROBE_TIMEOUT{1};

struct totals {
  std::size_t inputs = 0;
  std::size_t detected = 0;
  std::size_t exchanges = 0;
  std::size_t succeeded = 0;
  std::size_t failed = 0;
  std::size_t reconnects = 0;
  std::size_t extended = 0;
  std::size_t request_errors = 0;
  std::size_t replies = 0;
};
totals counts;
wire_totals wire;
fake_scanner* peer = nullptr;

void print_counts() {
  std::fprintf(stderr,
               "fuzz_scanner: %zu inputs, %zu opened, %zu exchanges (%zu ok, %zu failed), %zu "
               "reconnects, %zu in extended mode, %zu request errors, %zu replies; "
               "%zu connections, %zu packets sent\n",
               counts.inputs, counts.detected, counts.exchanges, counts.succeeded, counts.failed,
               counts.reconnects, counts.extended, counts.request_errors, counts.replies,
               wire.connections, wire.packets);
}

// FUZZ_TRACE=1 in the environment prints every exchange, for reading a
// crashing input.
bool tracing() {
  static const bool on = std::getenv("FUZZ_TRACE") != nullptr;
  return on;
}

void drain(chunk_queue* queue) {
  FUZZ_CHECK(queue != nullptr);
  while (!queue->empty()) {
    const chunk c = queue->pop();
    FUZZ_CHECK(c.length >= 0);
    check_readable(c.bytes.get(), static_cast<std::size_t>(c.length));
    ++counts.replies;
    if (tracing()) std::fprintf(stderr, "    reply of %lld bytes\n", static_cast<long long>(c.length));
  }
}

void run_commands(scanner& session, const std::vector<bytes>& commands) {
  for (const bytes& command : commands) {
    // A session that lost its connection connects again in the exchange
    // (ten tries), and the scanner plays the same bytes, which opened the
    // probe, so the first try opens it and nothing sleeps.
    if (!session.connected()) ++counts.reconnects;
    // An exact copy, so that a read past the message is caught; the
    // dispatcher passes no array at all for an empty message.
    byte_array copy = new_bytes(command.size());
    if (!command.empty()) std::memcpy(copy.get(), command.data(), command.size());
    const std::uint8_t* payload = command.empty() ? nullptr : copy.get();

    int result = 0;
    ++counts.exchanges;
    try {
      result = session.exchange(payload, command.size());
    } catch (const std::logic_error& e) {
      FUZZ_CHECK(is_request_error(e));
      if (tracing()) std::fprintf(stderr, "  exchange of %zu bytes: %s\n", command.size(), e.what());
      ++counts.request_errors;
      return;
    }
    if (tracing()) {
      std::fprintf(stderr, "  exchange of %zu bytes: %d, %s, %s, command %s\n", command.size(),
                   result, session.connected() ? "connected" : "disconnected",
                   session.extended_mode() ? "extended" : "legacy",
                   session.current_command() == nullptr ? "none" : "current");
    }
    FUZZ_CHECK(result == 0 || result == -1);
    ++(result == 0 ? counts.succeeded : counts.failed);
    if (!session.connected()) {
      FUZZ_CHECK(!session.extended_mode());
      FUZZ_CHECK(session.current_command() == nullptr);
    }
    if (session.extended_mode()) {
      FUZZ_CHECK(session.current_command() != nullptr);
      ++counts.extended;
    }
    drain(session.replies());
  }
}

void run(const std::uint8_t* data, std::size_t size) {
  input in(data, size);
  const std::size_t n = in.byte() % 32;
  std::vector<bytes> commands;
  for (std::size_t i = 0; i < n; ++i) commands.push_back(in.take(in.length()));
  peer->set_fallback(in.rest());

  bool opened = false;
  {
    endpoint probe("127.0.0.1", peer->port(), PROBE_TIMEOUT);
    // Declared after the endpoint it borrows, so it goes first.
    const std::unique_ptr<protocol> found = detect_protocol(&probe);
    opened = found != nullptr;
  }
  if (opened) {
    ++counts.detected;
    scanner session(peer->address(), DEFAULT_SCANNER_PORT);
    // The probe opened on the same bytes, so one try does: a failed try
    // would sleep a second.
    if (session.connect(1, PROBE_TIMEOUT)) run_commands(session, commands);
  }
  for (const connection_log& log : peer->finish()) {
    if (tracing()) std::fprintf(stderr, "  connection: the bridge sent %zu bytes\n", log.received.size());
    check_sent_packets(log, wire);
  }
}

}  // namespace

}  // namespace scanbridge::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace scanbridge::fuzz;
  static fake_scanner the_peer;
  peer = &the_peer;
  std::atexit(print_counts);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace scanbridge::fuzz;
  if (size > INPUT_LIMIT) return 0;
  ++counts.inputs;
  run(data, size);
  return 0;
}
