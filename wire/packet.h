// SPDX-License-Identifier: MIT
// One scanner packet: a 12-byte header and an optional payload.
//
// Header layout (every exchange with a scanner is framed this way):
//   0  2  magic         "NT" or "IS", the protocol variant
//   2  1  type
//   3  1  flag          0 unless a caller sets it
//   4  1  reserved      0 on send; stored, never used
//   5  1  header_size   12 on send; stored, not checked
//   6  4  length        payload bytes, big-endian
//  10  2  reserved_word 0 on send; stored, never used
//  12  length bytes of payload; no trailer, checksum or padding.
#ifndef SCANBRIDGE_WIRE_PACKET_H_
#define SCANBRIDGE_WIRE_PACKET_H_

#include <cstdint>

#include "commands/chunk.h"

namespace scanbridge {

class endpoint;

inline constexpr std::size_t PACKET_HEADER_SIZE = 12;

// The largest payload a received header may announce: 256 MiB, above the
// largest extended payload a scanner can send (2^28 - 1 bytes). A header that
// announces more is treated as a broken connection rather than believed.
inline constexpr std::uint32_t MAX_PACKET_PAYLOAD = 268'435'456;

enum class variant : int { NT = 0, IS = 1 };

class packet {
 public:
  // The endpoint is borrowed: it must outlive the packet.
  packet(endpoint* link, variant v);

  // Writes header and payload. False when the type is 0 (nothing is written)
  // or a write fails; a failed header write leaves the payload unwritten.
  bool send();

  // Reads one packet: the 12-byte header, and unless peeking its payload into
  // a new array the packet owns until it is taken with payload(). A peek
  // leaves the whole packet queued on the connection. False when the read
  // fails, the magic is not this packet's own (no field changes then), or the
  // header announces more than MAX_PACKET_PAYLOAD bytes or memory runs out
  // (the connection is then unusable, as for any failed receive).
  bool receive(bool peek = false);
  bool peek_header() { return receive(true); }
  // Takes the header fields from 12 bytes already peeked off the
  // connection, as peek_header() would. False on a foreign magic.
  bool parse_header(const std::uint8_t header[PACKET_HEADER_SIZE]);

  void set_type(std::uint8_t type) { type_ = type; }
  std::uint8_t type() const { return type_; }
  void set_flag(std::uint8_t flag) { flag_ = flag; }
  std::uint8_t flag() const { return flag_; }
  std::uint32_t length() const { return length_; }

  // Borrowed payload for send(); the caller keeps it alive until send()
  // returns.
  void set_payload(const std::uint8_t* bytes, std::uint32_t length);

  // Hands the received payload to the caller and returns its length. After a
  // receive the array is never null, even for length 0.
  std::uint32_t payload(byte_array* out);
  void free_payload() { received_.reset(); }

 private:
  std::uint8_t type_ = 0;
  std::uint8_t flag_ = 0;
  std::uint8_t reserved_ = 0;
  std::uint8_t header_size_ = PACKET_HEADER_SIZE;
  std::uint32_t length_ = 0;
  std::uint16_t reserved_word_ = 0;
  endpoint* link_;
  const std::uint8_t* outgoing_ = nullptr;
  byte_array received_;
  char magic_[2];
};

}  // namespace scanbridge

#endif  // SCANBRIDGE_WIRE_PACKET_H_
