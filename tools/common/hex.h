// SPDX-License-Identifier: MIT
// Bytes as hex for people: the client's trace, the emulator's log and the
// test messages all write them the same way.
#ifndef SCANBRIDGE_TOOLS_COMMON_HEX_H_
#define SCANBRIDGE_TOOLS_COMMON_HEX_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace scanbridge::tools {

// "1B 49 FF": upper case, one space between bytes; empty for no bytes.
std::string hex_bytes(std::span<const std::uint8_t> bytes);

// "0x1B", for a single byte in a message.
std::string hex_byte(std::uint8_t byte);

// Lines of 16 bytes, each `indent`, the offset, the hex and the printable
// characters: "0000  41 42 00 43 ...  |AB.C|".
std::string hexdump(std::span<const std::uint8_t> bytes, std::string_view indent);

// Printable ASCII, the space included.
inline bool printable(std::uint8_t byte) {
  return byte >= 0x20 && byte < 0x7F;
}

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_COMMON_HEX_H_
