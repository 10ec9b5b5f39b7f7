// Dispatch of client messages. Until sessions exist, no device can be opened:
// every message gets the failure reply for its kind.
#include "bridge/bridge.h"
#include "wire/codes.h"

namespace scanbridge {

void bridge::dispatch(std::uint32_t id, std::uint32_t kind, const std::uint8_t*, std::uint32_t) {
  switch (kind) {
    case KIND_OPEN:
      reply(0, -1, 0, nullptr);
      break;
    case KIND_CLOSE:
      break;
    case KIND_DATA:
      reply(0, -1, 1, &NAK);
      break;
    default:
      reply(id, -1, 0, nullptr);
      break;
  }
}

void bridge::close_all() {}

}  // namespace scanbridge
