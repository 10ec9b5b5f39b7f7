// SPDX-License-Identifier: MIT
#include "wire/packet.h"

#include <new>

#include "net/endpoint.h"

namespace scanbridge {

packet::packet(endpoint* link, variant v) : link_(link) {
  magic_[0] = v == variant::NT ? 'N' : 'I';
  magic_[1] = v == variant::NT ? 'T' : 'S';
}

bool packet::send() {
  if (type_ == 0) return false;
  // reserved, header_size and reserved_word always go out with their
  // construction values: a packet is never sent after a receive into it.
  std::uint8_t header[PACKET_HEADER_SIZE] = {static_cast<std::uint8_t>(magic_[0]),
                                             static_cast<std::uint8_t>(magic_[1]),
                                             type_,
                                             flag_,
                                             0,
                                             PACKET_HEADER_SIZE,
                                             static_cast<std::uint8_t>(length_ >> 24),
                                             static_cast<std::uint8_t>(length_ >> 16),
                                             static_cast<std::uint8_t>(length_ >> 8),
                                             static_cast<std::uint8_t>(length_),
                                             0,
                                             0};
  // Header and payload leave in one write: written apart, the header would
  // wait for the scanner's delayed acknowledgement before the payload went.
  const bool has_payload = outgoing_ != nullptr && length_ != 0;
  return link_->write(header, sizeof header, outgoing_, has_payload ? length_ : 0);
}

bool packet::receive(bool peek) {
  std::uint8_t header[PACKET_HEADER_SIZE];
  if (!link_->read(header, sizeof header, peek)) return false;
  if (!parse_header(header)) return false;
  if (peek) return true;
  if (length_ > MAX_PACKET_PAYLOAD) return false;
  try {
    // Not zero-filled: the read below fills every byte or the receive fails.
    received_ = new_bytes(length_);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return link_->read(received_.get(), length_);
}

bool packet::parse_header(const std::uint8_t header[PACKET_HEADER_SIZE]) {
  if (header[0] != static_cast<std::uint8_t>(magic_[0]) ||
      header[1] != static_cast<std::uint8_t>(magic_[1])) {
    return false;
  }
  type_ = header[2];
  flag_ = header[3];
  reserved_ = header[4];
  header_size_ = header[5];
  length_ = static_cast<std::uint32_t>(header[6]) << 24 |
            static_cast<std::uint32_t>(header[7]) << 16 |
            static_cast<std::uint32_t>(header[8]) << 8 | static_cast<std::uint32_t>(header[9]);
  reserved_word_ = static_cast<std::uint16_t>(header[10] << 8 | header[11]);
  return true;
}

void packet::set_payload(const std::uint8_t* bytes, std::uint32_t length) {
  outgoing_ = bytes;
  length_ = length;
}

std::uint32_t packet::payload(byte_array* out) {
  *out = std::move(received_);
  return length_;
}

}  // namespace scanbridge
