// SPDX-License-Identifier: MIT
#include "fuzz/support/wire_check.h"

#include <cstdint>
#include <cstring>

#include "commands/command_param.h"
#include "fuzz/support/check.h"
#include "wire/codes.h"
#include "wire/packet.h"

namespace scanbridge::fuzz {

namespace {

std::uint32_t be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

constexpr std::uint8_t IS_OPEN_REQUEST[] = {0x01, 0xA0, 0x04, 0x00, 0x00, 0x01, 0x2C};
constexpr std::size_t CHUNK_PREFIX = 8;

// A chunk of the IS variant: the prefix's first word counts the bytes after it.
bool is_framed_chunk(const std::uint8_t* payload, std::uint32_t length) {
  return length >= CHUNK_PREFIX && be32(payload) == length - CHUNK_PREFIX;
}

bool is_command_prefix(std::uint8_t b) { return b == FF || b == EM || b == ESC || b == FS; }

int bits_set(const std::uint8_t* p, std::size_t n) {
  int count = 0;
  for (std::size_t i = 0; i < n; ++i) count += __builtin_popcount(p[i]);
  return count;
}

void check_nt(std::uint8_t type, std::uint8_t flag, const std::uint8_t* payload,
              std::uint32_t length) {
  FUZZ_CHECK(flag == 0);
  switch (type) {
    case 0x01:
    case 0x08:
      FUZZ_CHECK(length >= 1);
      FUZZ_CHECK(is_command_prefix(payload[0]) || (length == 1 && payload[0] == CAN));
      break;
    case 0x02:
      FUZZ_CHECK(length == command_buf::BLOCK_SIZE);
      FUZZ_CHECK(bits_set(payload, command_buf::STATUS_SIZE) == 1);
      break;
    case packet_type::NT_CONTROL:
      FUZZ_CHECK(length == 2 && payload[0] == 0 && (payload[1] == 0 || payload[1] == 2));
      break;
    default:
      FUZZ_FAIL("packet type the NT variant never sends");
  }
}

void check_is(std::uint8_t type, std::uint8_t flag, const std::uint8_t* payload,
              std::uint32_t length) {
  switch (type) {
    case packet_type::IS_CONTROL:
      if (flag == 0) {
        FUZZ_CHECK(length == sizeof IS_OPEN_REQUEST);
        FUZZ_CHECK(std::memcmp(payload, IS_OPEN_REQUEST, length) == 0);
      } else {
        FUZZ_CHECK(flag == 1 && length == 0);
      }
      break;
    case packet_type::IS_ESC_THRU:
      FUZZ_CHECK(flag == 0);
      FUZZ_CHECK(is_framed_chunk(payload, length));
      break;
    case packet_type::TRANSFER:
      if (flag == 1) {
        FUZZ_CHECK(length == CHUNK_PREFIX + 1 && is_framed_chunk(payload, length));
        FUZZ_CHECK(payload[CHUNK_PREFIX] == CAN);
      } else {
        // Always the framed transfer request, never a queued information
        // block (a scan takes only its first reply as the information block).
        FUZZ_CHECK(flag == 0);
        FUZZ_CHECK(is_framed_chunk(payload, length));
      }
      break;
    default:
      FUZZ_FAIL("packet type the IS variant never sends");
  }
}

}  // namespace

void check_sent_packets(const connection_log& log, wire_totals& totals) {
  ++totals.connections;
  const bytes& data = log.received;
  std::size_t at = 0;
  char magic[2] = {0, 0};
  // A log that lost its end ends the check at the last whole packet.
  const bool cut = log.truncated || log.reset;
  while (at < data.size()) {
    if (cut && data.size() - at < PACKET_HEADER_SIZE) return;
    FUZZ_CHECK(data.size() - at >= PACKET_HEADER_SIZE);
    const std::uint8_t* header = data.data() + at;
    if (magic[0] == 0) {
      FUZZ_CHECK((header[0] == 'N' && header[1] == 'T') || (header[0] == 'I' && header[1] == 'S'));
      magic[0] = static_cast<char>(header[0]);
      magic[1] = static_cast<char>(header[1]);
    }
    FUZZ_CHECK(header[0] == magic[0] && header[1] == magic[1]);
    FUZZ_CHECK(header[2] != 0);
    FUZZ_CHECK(header[4] == 0 && header[5] == PACKET_HEADER_SIZE);
    FUZZ_CHECK(header[10] == 0 && header[11] == 0);
    const std::uint32_t length = be32(header + 6);
    at += PACKET_HEADER_SIZE;
    if (cut && data.size() - at < length) return;
    FUZZ_CHECK(data.size() - at >= length);
    const std::uint8_t* payload = data.data() + at;
    if (magic[0] == 'N') {
      check_nt(header[2], header[3], payload, length);
    } else {
      check_is(header[2], header[3], payload, length);
    }
    at += length;
    ++totals.packets;
  }
}

}  // namespace scanbridge::fuzz
