// SPDX-License-Identifier: MIT
#include "commands/command_scan.h"

#include <cstring>
#include <utility>

#include "wire/codes.h"

namespace scanbridge {

namespace {

// Status byte of the information block: either bit means the scanner will
// not scan (mask 0xC0).
constexpr std::uint8_t INFO_REFUSED = 0xC0;
// Status byte of a data block: bit 4 with bits 7 and 6 clear means more is
// coming whatever the count says; bit 5 does not matter.
constexpr std::uint8_t BLOCK_STATUS_MASK = 0xD0;
constexpr std::uint8_t BLOCK_MORE = 0x10;

// NT packet types.
constexpr std::uint16_t NT_SCAN_SEND = 0x08;
constexpr std::uint8_t NT_SCAN_REPLY = 0x89;
constexpr std::uint16_t NT_CANCEL_SEND = 0x01;
constexpr std::uint16_t NT_CANCEL_REPLY = 0x81;
// IS packet type of the data blocks and of the answer to a cancel.
constexpr std::uint8_t IS_TRANSFER_REPLY = 0xA2;

}  // namespace

// command_scan ----------------------------------------------------------

command_scan::command_scan(int letter, int prefix)
    : command_scan(letter, prefix, NT_SCAN_SEND, NT_SCAN_REPLY, NT_CANCEL_SEND, NT_CANCEL_REPLY) {}

command_scan::command_scan(int letter, int prefix, std::uint16_t send_type, std::uint8_t reply_type,
                           std::uint16_t cancel_type, std::uint16_t cancel_reply_type)
    : command(letter, prefix), cancel_type_(cancel_type), cancel_reply_type_(cancel_reply_type) {
  send_type_ = send_type;
  reply_type_ = reply_type;
}

command_scan::~command_scan() = default;

action command_scan::client_data(const std::uint8_t* bytes, std::size_t size) {
  if (finished()) return ACTION_IGNORED;
  if (state_ != state::WAIT_CLIENT || bytes == nullptr) return ACTION_FAIL;
  if (size == 1 && bytes[0] == ACK) {
    // Not passed on: the scanner sends the next block by itself (NT) or as
    // the transfer request described (IS); the driver just reads it.
    state_ = state::WAIT_SCANNER;
    return ACTION_IGNORED;
  }
  if (size == 1 && bytes[0] == CAN) {
    state_ = state::WAIT_SCANNER;
    cancelled_ = true;
    queue_cancel();
    return cancel_type_;
  }
  state_ = state::FINISHED;
  return ACTION_FAIL;
}

action command_scan::scanner_reply(std::uint8_t type, byte_array payload, std::size_t size) {
  if (finished()) return ACTION_IGNORED;
  if (state_ != state::WAIT_SCANNER) return ACTION_FAIL;

  if (cancelled_) {
    if (type == cancel_reply_type_ && size == 1 && (payload[0] == ACK || payload[0] == NAK)) {
      // The client hears ACK whether the scanner took the cancel with ACK or
      // NAK: either way the scan is over.
      byte_array ack = new_bytes(1);
      ack[0] = ACK;
      push(std::move(ack), 1);
      state_ = state::FINISHED;
      return ACTION_ACCEPTED;
    }
    // A block that was already in flight when the cancel went out.
    if (type == reply_type_) return ACTION_IGNORED;
    // Anything else is judged by its size below, whatever its type.
  } else if (type != reply_type_) {
    return ACTION_FAIL;
  }

  // Only the first reply can be the information block. Taking a later one
  // as such would re-announce the scan: on IS a second transfer request would
  // queue behind the first block and the block would go to the scanner as
  // the request; and a 13-byte block beginning with STX would be lost.
  if (!started_ && payload != nullptr && size == INFO_BLOCK_SIZE && payload[0] == STX) {
    if ((payload[1] & INFO_REFUSED) != 0) {
      push(std::move(payload), static_cast<std::int64_t>(size));
      state_ = state::FINISHED;
      return ACTION_ACCEPTED;
    }
    started_ = true;
    block_size_ = get_le32(payload.get() + 2);
    block_count_ = get_le32(payload.get() + 6);
    last_block_size_ = get_le32(payload.get() + 10);
    // request_data first: on IS its transfer request must be the front chunk,
    // with the information block left behind it for the client.
    const action next = request_data();
    push(std::move(payload), static_cast<std::int64_t>(size));
    state_ = state::WAIT_SCANNER;
    return next;
  }

  // The sums wrap at 32 bits. A block needs at least its status byte, so an
  // empty reply is never a data block, even where a size of 2^32 - 1 wraps
  // its sum to 0.
  const std::uint32_t full = block_size_ + 1;
  const std::uint32_t last = last_block_size_ + 1;
  if (size != 0 && (size == full || size == last)) {
    take_block_(std::move(payload), size);
    return ACTION_ACCEPTED;
  }

  // Neither: the scan cannot be followed any further; the reply is dropped.
  state_ = state::FINISHED;
  return ACTION_IGNORED;
}

void command_scan::take_block_(byte_array payload, std::size_t size) {
  const std::uint8_t status = payload[size - 1];
  const std::uint32_t before = block_count_;
  // The hot path: the block goes to the client as it came, array and all.
  push(std::move(payload), static_cast<std::int64_t>(size));
  state_ = state::WAIT_CLIENT;
  if (status != 0) {
    if ((status & BLOCK_STATUS_MASK) != BLOCK_MORE) state_ = state::FINISHED;
  } else if (size == std::uint32_t(last_block_size_ + 1) && before == 0) {
    state_ = state::FINISHED;
  }
  block_count_ = before - 1;
}

action command_scan::request_data() {
  return ACTION_ACCEPTED;
}

void command_scan::queue_cancel() {
  byte_array can = new_bytes(1);
  can[0] = CAN;
  push_chunk(std::move(can), 1);
}

// command_scan_is -------------------------------------------------------

command_scan_is::command_scan_is(int letter, int prefix)
    : command_scan(letter, prefix, packet_type::IS_ESC_THRU, packet_type::IS_REPLY,
                   ACTION_SEND_TRANSFER_CANCEL, IS_TRANSFER_REPLY) {}

command_scan_is::~command_scan_is() = default;

void command_scan_is::push_chunk(byte_array bytes, std::size_t size) {
  byte_array framed = new_bytes(IS_HEADER_SIZE + size);
  put_is_header(framed.get(), size, reply_size_);
  if (size != 0) std::memcpy(framed.get() + IS_HEADER_SIZE, bytes.get(), size);
  push(std::move(framed), static_cast<std::int64_t>(IS_HEADER_SIZE + size));
}

// The transfer request: a block count N, then three steps, each in the form
// of a chunk header (bytes to send, reply bytes expected) with its bytes.
// B and L are the full and last block sizes with their status bytes.
//
//   N >= 2 (30 bytes): N | 0 B | 1 B 06 | 1 L 06
//   N == 1 (29 bytes): 1 | 0 B | 0 0    | 1 L 06
//   N == 0 (28 bytes): 0 | 0 0 | 0 0    | 0 L
//
// The first step only asks for a block; each later step acknowledges the
// block before with 06 and asks for the next.
action command_scan_is::request_data() {
  const std::uint32_t n = block_count_;
  const std::uint32_t full = block_size_ + 1;
  const std::uint32_t last = last_block_size_ + 1;
  const std::size_t length = n >= 2 ? 30 : n == 1 ? 29 : 28;
  // Zero-filled: the fields below leave gaps that must read as zero.
  byte_array req = new_zeroed_bytes(length);
  std::uint8_t* p = req.get();
  if (n >= 2) {
    put_be32(p + 0, n);
    put_be32(p + 8, full);
    put_be32(p + 12, 1);
    put_be32(p + 16, full);
    p[20] = ACK;
    put_be32(p + 21, 1);
    put_be32(p + 25, last);
    p[29] = ACK;
  } else if (n == 1) {
    put_be32(p + 0, 1);
    put_be32(p + 8, full);
    put_be32(p + 20, 1);
    put_be32(p + 24, last);
    p[28] = ACK;
  } else {
    put_be32(p + 24, last);
  }
  send_type_ = packet_type::TRANSFER;
  reply_type_ = IS_TRANSFER_REPLY;
  // The request itself asks for nothing; each step names its own reply size.
  reply_size_ = 0;
  push_chunk(std::move(req), length);
  return ACTION_SEND_TRANSFER;
}

void command_scan_is::queue_cancel() {
  reply_size_ = 1;
  command_scan::queue_cancel();
}

}  // namespace scanbridge
