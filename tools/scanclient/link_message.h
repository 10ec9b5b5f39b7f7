// SPDX-License-Identifier: MIT
// Framing of the messages between a driver and the bridge: a 16-byte header
// of four big-endian words (id, kind, status, length) and the payload.
#ifndef SCANBRIDGE_TOOLS_SCANCLIENT_LINK_MESSAGE_H_
#define SCANBRIDGE_TOOLS_SCANCLIENT_LINK_MESSAGE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace scanbridge::tools {

inline constexpr std::size_t LINK_HEADER_SIZE = 16;

// Message kinds a driver sends. Every message from the bridge has kind 0.
inline constexpr std::uint32_t KIND_DATA = 0;
inline constexpr std::uint32_t KIND_OPEN = 4;
inline constexpr std::uint32_t KIND_CLOSE = 5;
// A kind the bridge does not know: it answers such a message at once, with its
// id, status -1 and no payload. The bridge handles messages strictly one after
// the other, so when that answer arrives before an awaited reply, the reply
// will never come: a sync tells silence from slowness.
inline constexpr std::uint32_t KIND_SYNC = 9;
// The id of a sync: no device ever has it.
inline constexpr std::uint32_t SYNC_ID = 0xFFFFFFFF;

// The largest payload the client accepts from the bridge. Anything bigger is
// taken as a broken stream rather than allocated.
inline constexpr std::uint32_t MAX_REPLY_PAYLOAD = 256u << 20;

struct link_header {
  std::uint32_t id = 0;
  std::uint32_t kind = 0;
  std::int32_t status = 0;  // Replies: 0 success, -1 failure. Not read by the bridge.
  std::uint32_t length = 0;

  bool operator==(const link_header&) const = default;
};

struct link_message {
  link_header header;
  std::vector<std::uint8_t> payload;
};

std::array<std::uint8_t, LINK_HEADER_SIZE> encode_header(const link_header& header);
link_header decode_header(std::span<const std::uint8_t, LINK_HEADER_SIZE> bytes);

// Header and payload of one message from the driver: status 0, length the
// payload's size.
std::vector<std::uint8_t> encode_message(std::uint32_t kind, std::uint32_t id,
                                         std::span<const std::uint8_t> payload);

// "DATA", "OPEN", "CLOSE", or "kind=N" for any other value.
std::string kind_name(std::uint32_t kind);

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_LINK_MESSAGE_H_
