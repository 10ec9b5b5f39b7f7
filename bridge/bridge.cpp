#include "bridge/bridge.h"

#include <time.h>

#include "bridge/link.h"
#include "bridge/process.h"

namespace scanbridge {

namespace {

// While the listening socket cannot be set up (another process holds the
// port, say), wait this long before the next attempt instead of spinning.
void pause_before_listening_again() {
  const timespec pause{0, 100 * 1000 * 1000};
  nanosleep(&pause, nullptr);
}

}  // namespace

bridge::bridge()
    : client_(std::make_unique<endpoint>(0, CLIENT_TIMEOUT)), port_(client_->port()) {}

bridge::~bridge() { close_all(); }

void bridge::run() {
  while (!stop_requested) {
    std::uint32_t id = 0;
    std::uint32_t kind = 0;
    payload_block payload;
    const int fd = client_->fd();
    if (fd < 0) {
      // No client within the wait, or no listening socket at all.
      if (!stop_requested) pause_before_listening_again();
      continue;
    }
    const std::int64_t n = read_message(fd, &id, &kind, &payload);
    if (n == -2) {
      // The client went away: close its devices and listen again on the
      // port it was given, so that it can come back.
      close_all();
      client_.reset();
      client_ = std::make_unique<endpoint>(port_, CLIENT_TIMEOUT);
    } else if (n >= 0) {
      dispatch(id, kind, payload.get(), static_cast<std::uint32_t>(n));
    }
    // n == -1: a read time-out or error; the next turn reads on.
  }
  close_all();
}

int bridge::reply(std::uint32_t id, std::int32_t status, std::uint32_t length,
                  const std::uint8_t* payload) {
  return static_cast<int>(write_message(client_->fd(), id, status, length, payload));
}

}  // namespace scanbridge
