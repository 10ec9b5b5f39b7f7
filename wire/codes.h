// SPDX-License-Identifier: MIT
// Byte values shared by the scanner command language and the packet protocol.
#ifndef SCANBRIDGE_WIRE_CODES_H_
#define SCANBRIDGE_WIRE_CODES_H_

#include <cstdint>

namespace scanbridge {

// Control bytes of the scanner command language.
inline constexpr std::uint8_t STX = 0x02;
inline constexpr std::uint8_t ACK = 0x06;
inline constexpr std::uint8_t FF = 0x0C;
inline constexpr std::uint8_t NAK = 0x15;
inline constexpr std::uint8_t CAN = 0x18;
inline constexpr std::uint8_t EM = 0x19;
inline constexpr std::uint8_t ESC = 0x1B;
inline constexpr std::uint8_t FS = 0x1C;

// Packet types named by the bridge. A reply to a control packet carries the
// request's type with bit 7 set; command translators name the others.
struct packet_type {
  static constexpr std::uint8_t NT_CONTROL = 0x11;
  static constexpr std::uint8_t NT_CONTROL_REPLY = 0x91;
  static constexpr std::uint8_t IS_ESC_THRU = 0x20;
  static constexpr std::uint8_t IS_CONTROL = 0x21;
  static constexpr std::uint8_t IS_CONTROL_REPLY = 0xA1;
  static constexpr std::uint8_t TRANSFER = 0x22;
  static constexpr std::uint8_t GREETING = 0x80;
  static constexpr std::uint8_t NT_NOTICE = 0x84;
  static constexpr std::uint8_t IS_NOTICE = 0x90;
  static constexpr std::uint8_t IS_REPLY = 0xA0;
};

}  // namespace scanbridge

#endif  // SCANBRIDGE_WIRE_CODES_H_
