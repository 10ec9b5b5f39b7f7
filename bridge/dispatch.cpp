// SPDX-License-Identifier: MIT
// The device table and the dispatch of each client message.
#include <string>

#include "bridge/bridge.h"
#include "bridge/link.h"
#include "bridge/process.h"
#include "net/wake.h"
#include "wire/codes.h"

namespace scanbridge {

void bridge::dispatch(std::uint32_t id, std::uint32_t kind, const std::uint8_t* payload,
                      std::uint32_t length) {
  const auto device = devices_.find(id);
  switch (kind) {
    case KIND_OPEN:
      // The message's id plays no part: every OPEN makes a new device.
      open_device(payload, length);
      return;
    case KIND_CLOSE:
      if (device != devices_.end()) {
        device->second->disconnect(false);
        devices_.erase(device);
      }
      return;
    case KIND_DATA: {
      if (device == devices_.end()) {
        reply(0, -1, 1, &NAK);
        return;
      }
      scanner& session = *device->second;
      const int result = session.exchange(payload, length);
      // Every chunk the exchange left goes out as one reply, all carrying the
      // exchange's result, also when it failed.
      if (!write_replies(client_->fd(), id, result, session.replies(), timing_.client)) {
        client_lost_ = true;
      }
      return;
    }
    default:
      reply(id, -1, 0, nullptr);
      return;
  }
}

void bridge::open_device(const std::uint8_t* payload, std::uint32_t length) {
  // Byte for byte, zero bytes included; only what follows the first "//" is
  // the address, so any scheme, or none, is accepted.
  const std::string text(reinterpret_cast<const char*>(payload), payload ? length : 0);
  const std::size_t slashes = text.find("//");
  if (slashes != std::string::npos && slashes + 2 < text.size()) {
    auto session =
        std::make_unique<scanner>(text.substr(slashes + 2), DEFAULT_SCANNER_PORT, timing_.session);
    const std::uint32_t id = next_id();
    if (id != 0 && session->connect(timing_.session.tries, timing_.session.timeout)) {
      devices_.emplace(id, std::move(session));
      reply(id, 0, 0, nullptr);
      return;
    }
  }
  reply(0, -1, 0, nullptr);
}

std::uint32_t bridge::next_id() const {
  std::uint32_t candidate = 1;
  while (devices_.contains(candidate)) {
    if (++candidate == 0) return 0;
  }
  return candidate;
}

void bridge::close_all() {
  for (auto& [id, session] : devices_) {
    // On the way out the close request still goes to every scanner, and
    // each gets its short while to answer even after a stop that cut a wait
    // short before.
    if (stop_requested) clear_wake();
    session->disconnect(false);
    session.reset();
  }
  devices_.clear();
}

}  // namespace scanbridge
