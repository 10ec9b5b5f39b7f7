// SPDX-License-Identifier: MIT
#include "bridge/bridge.h"

#include "bridge/link.h"
#include "bridge/process.h"
#include "net/wake.h"

namespace scanbridge {

bridge::bridge(const bridge_timing& timing)
    : timing_(timing),
      client_(std::make_unique<endpoint>(0, timing.client)),
      port_(client_->port()) {}

bridge::~bridge() { close_all(); }

void bridge::run() {
  while (!stop_requested) {
    std::uint32_t id = 0;
    std::uint32_t kind = 0;
    payload_block payload;
    const int fd = client_->fd();
    if (fd < 0) {
      // No client within the wait: the port listens on. Without a listening
      // socket at all (another process holds the port, say), pause before
      // the next attempt instead of spinning; a stop ends the pause at once.
      if (!client_->listening()) {
        sleep_unless_woken(static_cast<int>(timing_.relisten_pause.count()));
      }
      continue;
    }
    if (!reader_) reader_ = std::make_unique<link_reader>(fd, timing_.client);
    const std::int64_t n = reader_->read_message(&id, &kind, &payload);
    if (n >= 0) {
      // A SIGTERM or SIGINT that came while this message was awaited lets it
      // be dispatched in full: only a stop that arrives from now on cuts the
      // dispatch short. A SIGHUP that lands while the wake is drained must
      // still cut it short, hence the test after the drain.
      if (stop_requested && !hangup_requested) {
        clear_wake();
        if (hangup_requested) wake_waits();
      }
      dispatch(id, kind, payload.get(), static_cast<std::uint32_t>(n));
    }
    // n == -1: a read time-out or error; the next turn reads on.
    if (n == -2 || client_lost_) drop_client_();
  }
  close_all();
}

void bridge::drop_client_() {
  // The client went away, or its link broke: close its devices and listen
  // again on the port it was given, so that it can come back.
  close_all();
  reader_.reset();
  client_.reset();
  // Bound at once: until then another process could take the port.
  client_ = std::make_unique<endpoint>(port_, timing_.client);
  client_->port();
  client_lost_ = false;
}

void bridge::reply(std::uint32_t id, std::int32_t status, std::uint32_t length,
                   const std::uint8_t* payload) {
  if (write_message(client_->fd(), id, status, length, payload, timing_.client) < 0) {
    client_lost_ = true;
  }
}

}  // namespace scanbridge
