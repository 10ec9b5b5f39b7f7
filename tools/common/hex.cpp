// SPDX-License-Identifier: MIT
#include "tools/common/hex.h"

#include <cstdio>

namespace scanbridge::tools {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void append_hex(std::string* out, std::uint8_t byte) {
  out->push_back(kHexDigits[byte >> 4]);
  out->push_back(kHexDigits[byte & 0x0F]);
}

}  // namespace

std::string hex_bytes(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size() * 3);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out.push_back(' ');
    append_hex(&out, bytes[i]);
  }
  return out;
}

std::string hex_byte(std::uint8_t byte) {
  std::string out = "0x";
  append_hex(&out, byte);
  return out;
}

std::string hexdump(std::span<const std::uint8_t> bytes, std::string_view indent) {
  std::string out;
  for (std::size_t offset = 0; offset < bytes.size(); offset += 16) {
    const std::span<const std::uint8_t> row =
        bytes.subspan(offset, bytes.size() - offset < 16 ? bytes.size() - offset : 16);
    char position[32];
    std::snprintf(position, sizeof(position), "%04zx  ", offset);
    out += indent;
    out += position;
    std::string hex = hex_bytes(row);
    hex.resize(16 * 3 - 1, ' ');
    out += hex;
    out += "  |";
    for (const std::uint8_t byte : row)
      out.push_back(printable(byte) ? static_cast<char>(byte) : '.');
    out += "|\n";
  }
  return out;
}

}  // namespace scanbridge::tools
