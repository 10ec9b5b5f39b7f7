// SPDX-License-Identifier: MIT
// The client's end of the connection to the bridge: sends and receives framed
// messages, every read bounded by a time-out, and writes each message to the
// trace log when there is one.
#ifndef SCANBRIDGE_TOOLS_SCANCLIENT_BRIDGE_LINK_H_
#define SCANBRIDGE_TOOLS_SCANCLIENT_BRIDGE_LINK_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "tools/scanclient/link_message.h"
#include "tools/scanclient/outcome.h"
#include "tools/scanclient/trace.h"

namespace scanbridge::tools {

// Where trace lines go, each prefixed with the milliseconds since the log was
// made.
class trace_log {
 public:
  explicit trace_log(std::FILE* out);
  void write(std::string_view line);

 private:
  std::FILE* out_;
  std::chrono::steady_clock::time_point start_;
};

enum class receive_status {
  OK,
  TIMEOUT,      // nothing complete arrived in time
  CLOSED,       // the bridge closed the connection
  FAILED,       // a read error, or the link broke earlier
  INTERRUPTED,  // the interrupt check said stop while waiting
  TOO_LARGE,    // a header announced more than MAX_REPLY_PAYLOAD bytes
  NO_ANSWER,    // a sync came back first: the bridge has nothing (more) to send
};

class bridge_link {
 public:
  // Takes ownership of a connected stream socket.
  explicit bridge_link(int fd);
  ~bridge_link();

  bridge_link(const bridge_link&) = delete;
  bridge_link& operator=(const bridge_link&) = delete;

  // Connects to 127.0.0.1:port. The bridge announces its port before it
  // listens, so a refused connection is tried again until timeout_ms has
  // passed or peer_alive() says the bridge is gone.
  static outcome connect(int port, int timeout_ms, const std::function<bool()>& peer_alive,
                         std::unique_ptr<bridge_link>* link);

  // Sends one message. `note` describes it in the trace.
  bool send(std::uint32_t kind, std::uint32_t id, std::span<const std::uint8_t> payload,
            std::string_view note = {});

  // Waits at most timeout_ms for one whole message. `hint` describes it in the
  // trace. After anything but OK, INTERRUPTED and NO_ANSWER the link is broken
  // and every later receive fails.
  //
  // With sync_after_ms 0 or more, a sync (KIND_SYNC) goes to the bridge once
  // nothing has arrived for that long, unless one is on its way already with
  // nothing sent after it; its answer arriving first gives NO_ANSWER. Answers
  // to syncs that something was sent after are skipped.
  receive_status receive(int timeout_ms, const reply_hint& hint, link_message* message,
                         int sync_after_ms = -1);

  // Called when a signal interrupts a wait; returning true ends the wait with
  // INTERRUPTED. Part of a message already read is always completed.
  void set_interrupt_check(std::function<bool()> check) { interrupted_ = std::move(check); }
  void set_trace(trace_log* log) { trace_ = log; }

  // The system's text for the last failed send or receive.
  const std::string& error() const { return error_; }
  int fd() const { return fd_; }

 private:
  enum class wait_result { READY, TIMEOUT, INTERRUPTED, FAILED };
  wait_result wait_(short events, std::chrono::steady_clock::time_point deadline,
                    bool may_interrupt);
  receive_status read_exact_(std::uint8_t* out, std::size_t count,
                             std::chrono::steady_clock::time_point deadline, bool may_interrupt);
  void log_(const std::string& line);
  // True while a sync is on its way with nothing sent after it.
  bool sync_pending_() const { return !syncs_.empty() && syncs_.back() == sent_; }
  void send_sync_();

  int fd_;
  bool broken_ = false;
  // Messages sent so far, and for each sync on its way that count just after
  // it was sent, oldest first.
  std::uint64_t sent_ = 0;
  std::deque<std::uint64_t> syncs_;
  std::string error_;
  std::function<bool()> interrupted_;
  trace_log* trace_ = nullptr;
};

// "no reply within 60 s", "the bridge closed the connection", ...
std::string describe(receive_status status, int timeout_ms);

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_BRIDGE_LINK_H_
