// SPDX-License-Identifier: MIT
// Numbers in byte arrays, in the two orders the links use: big-endian in the
// packet and link headers, little-endian in the scanner's own blocks.
#ifndef SCANBRIDGE_TOOLS_COMMON_BYTE_ORDER_H_
#define SCANBRIDGE_TOOLS_COMMON_BYTE_ORDER_H_

#include <cstdint>

namespace scanbridge::tools {

inline std::uint32_t get_be32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

inline void put_be32(std::uint8_t* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

inline std::uint16_t get_le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

inline std::uint32_t get_le32(const std::uint8_t* p) {
  return get_le16(p) | std::uint32_t{get_le16(p + 2)} << 16;
}

inline void put_le16(std::uint8_t* p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void put_le32(std::uint8_t* p, std::uint32_t value) {
  put_le16(p, static_cast<std::uint16_t>(value));
  put_le16(p + 2, static_cast<std::uint16_t>(value >> 16));
}

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_COMMON_BYTE_ORDER_H_
