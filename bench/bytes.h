// SPDX-License-Identifier: MIT
// Byte layouts the benchmark speaks on both links, written out here on their
// own so that the harness checks the bridge against an independent reading of
// the formats rather than against the bridge's own code.
#ifndef SCANBRIDGE_BENCH_BYTES_H_
#define SCANBRIDGE_BENCH_BYTES_H_

#include <cstddef>
#include <cstdint>

namespace scanbridge::bench {

inline void put_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

inline std::uint32_t get_be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

inline void put_le32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline std::uint32_t get_le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Control bytes of the scanner command language used by the benchmark.
inline constexpr std::uint8_t STX = 0x02;
inline constexpr std::uint8_t ACK = 0x06;
inline constexpr std::uint8_t ESC = 0x1B;
inline constexpr std::uint8_t FS = 0x1C;

// Driver link: 16-byte header of four big-endian words id, kind, status,
// length, then length payload bytes.
inline constexpr std::size_t LINK_HEADER_SIZE = 16;
inline constexpr std::uint32_t KIND_DATA = 0;
inline constexpr std::uint32_t KIND_OPEN = 4;
inline constexpr std::uint32_t KIND_CLOSE = 5;

inline void encode_link_header(std::uint8_t* out, std::uint32_t id, std::uint32_t kind,
                               std::int32_t status, std::uint32_t length) {
  put_be32(out, id);
  put_be32(out + 4, kind);
  put_be32(out + 8, static_cast<std::uint32_t>(status));
  put_be32(out + 12, length);
}

// Scanner link: 12-byte packet header: magic (2), type, flag, reserved 0,
// header size 12, big-endian payload length (4), two reserved bytes.
inline constexpr std::size_t PACKET_HEADER_SIZE = 12;

enum class variant { nt, is };

inline const char* variant_name(variant v) {
  return v == variant::nt ? "NT" : "IS";
}

inline void encode_packet_header(std::uint8_t* out, variant v, std::uint8_t type, std::uint8_t flag,
                                 std::uint32_t length) {
  out[0] = v == variant::nt ? 'N' : 'I';
  out[1] = v == variant::nt ? 'T' : 'S';
  out[2] = type;
  out[3] = flag;
  out[4] = 0;
  out[5] = static_cast<std::uint8_t>(PACKET_HEADER_SIZE);
  put_be32(out + 6, length);
  out[10] = 0;
  out[11] = 0;
}

inline bool has_magic(const std::uint8_t* header, variant v) {
  return v == variant::nt ? header[0] == 'N' && header[1] == 'T'
                          : header[0] == 'I' && header[1] == 'S';
}

// Packet types of the exchanges the benchmark drives.
namespace ptype {
inline constexpr std::uint8_t NT_COMMAND = 0x01;  // ESC commands, NT
inline constexpr std::uint8_t NT_COMMAND_REPLY = 0x81;
inline constexpr std::uint8_t NT_SCAN = 0x08;        // FS commands, NT
inline constexpr std::uint8_t NT_SCAN_REPLY = 0x89;  // information and data blocks, NT
inline constexpr std::uint8_t NT_CONTROL = 0x11;
inline constexpr std::uint8_t IS_ESC_THRU = 0x20;
inline constexpr std::uint8_t IS_CONTROL = 0x21;
inline constexpr std::uint8_t IS_TRANSFER = 0x22;
inline constexpr std::uint8_t GREETING = 0x80;
inline constexpr std::uint8_t IS_REPLY = 0xA0;
inline constexpr std::uint8_t IS_CONTROL_REPLY = 0xA1;
inline constexpr std::uint8_t IS_TRANSFER_REPLY = 0xA2;  // data blocks, IS
}  // namespace ptype

// The 8-byte prefix of every IS command chunk: bytes that follow, reply size.
inline constexpr std::size_t IS_PREFIX_SIZE = 8;

inline void encode_is_prefix(std::uint8_t* out, std::uint32_t length, std::uint32_t reply_size) {
  put_be32(out, length);
  put_be32(out + 4, reply_size);
}

// The scanner's answer to FS G: STX, status, then block size, count of full
// blocks and last block size, little-endian, all without the status byte that
// ends every data block.
inline constexpr std::size_t INFO_BLOCK_SIZE = 14;

}  // namespace scanbridge::bench

#endif  // SCANBRIDGE_BENCH_BYTES_H_
