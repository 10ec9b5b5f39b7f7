// SPDX-License-Identifier: MIT
#include "tools/scanclient/link_message.h"

#include <algorithm>

#include "tools/common/byte_order.h"

namespace scanbridge::tools {

std::array<std::uint8_t, LINK_HEADER_SIZE> encode_header(const link_header& header) {
  std::array<std::uint8_t, LINK_HEADER_SIZE> bytes{};
  put_be32(&bytes[0], header.id);
  put_be32(&bytes[4], header.kind);
  put_be32(&bytes[8], static_cast<std::uint32_t>(header.status));
  put_be32(&bytes[12], header.length);
  return bytes;
}

link_header decode_header(std::span<const std::uint8_t, LINK_HEADER_SIZE> bytes) {
  link_header header;
  header.id = get_be32(&bytes[0]);
  header.kind = get_be32(&bytes[4]);
  header.status = static_cast<std::int32_t>(get_be32(&bytes[8]));
  header.length = get_be32(&bytes[12]);
  return header;
}

std::vector<std::uint8_t> encode_message(std::uint32_t kind, std::uint32_t id,
                                         std::span<const std::uint8_t> payload) {
  link_header header;
  header.id = id;
  header.kind = kind;
  header.length = static_cast<std::uint32_t>(payload.size());
  const auto head = encode_header(header);
  std::vector<std::uint8_t> message(LINK_HEADER_SIZE + payload.size());
  std::copy(head.begin(), head.end(), message.data());
  std::copy(payload.begin(), payload.end(), message.data() + LINK_HEADER_SIZE);
  return message;
}

std::string kind_name(std::uint32_t kind) {
  switch (kind) {
    case KIND_DATA:
      return "DATA";
    case KIND_OPEN:
      return "OPEN";
    case KIND_CLOSE:
      return "CLOSE";
    default:
      return "kind=" + std::to_string(kind);
  }
}

}  // namespace scanbridge::tools
