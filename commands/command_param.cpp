// SPDX-License-Identifier: MIT
#include "commands/command_param.h"

#include <cassert>
#include <cstring>
#include <utility>

#include "wire/codes.h"

namespace scanbridge {

namespace {

// A one-byte chunk for the client, an answer the bridge makes up itself.
chunk status_byte(std::uint8_t b) {
  byte_array bytes = new_bytes(1);
  bytes[0] = b;
  return chunk{std::move(bytes), 1};
}

constexpr std::uint8_t COLOUR_LETTER = 'z';
constexpr std::uint16_t COLOUR_TABLE_SIZE = 256;
constexpr std::uint16_t COLOUR_COUNT = 4;

}  // namespace

// command_param ---------------------------------------------------------

command_param::command_param(int letter, int prefix) : command(letter, prefix) {}

command_param::~command_param() = default;

action command_param::start() {
  if (finished()) return ACTION_IGNORED;
  if (state_ != state::INITIAL) return ACTION_FAIL;
  // The NT scanner takes command and parameters in one packet, so the bridge
  // acknowledges the command itself to get the parameters from the client.
  push(status_byte(ACK));
  state_ = state::WAIT_CLIENT;
  return ACTION_ACCEPTED;
}

action command_param::client_data(const std::uint8_t* bytes, std::size_t size) {
  if (finished()) return ACTION_IGNORED;
  if (state_ != state::WAIT_CLIENT) return ACTION_FAIL;
  byte_array packet = new_bytes(size + 2);
  packet[0] = prefix_;
  packet[1] = letter_;
  if (size != 0) std::memcpy(packet.get() + 2, bytes, size);
  push_chunk(std::move(packet), size + 2);
  state_ = state::WAIT_SCANNER;
  return send_type_;
}

action command_param::scanner_reply(std::uint8_t type, byte_array payload, std::size_t size) {
  if (finished()) return ACTION_IGNORED;
  if (state_ != state::WAIT_SCANNER || type != reply_type_) return ACTION_FAIL;
  push(std::move(payload), static_cast<std::int64_t>(size));
  state_ = state::FINISHED;
  return ACTION_ACCEPTED;
}

// command_param_is ------------------------------------------------------

command_param_is::command_param_is(int letter, int prefix) : command_is(letter, prefix, 1) {}

command_param_is::~command_param_is() = default;

action command_param_is::start() {
  if (finished()) return ACTION_IGNORED;
  if (state_ != state::INITIAL) return ACTION_FAIL;
  return command_is::start();
}

action command_param_is::client_data(const std::uint8_t* bytes, std::size_t size) {
  if (finished()) return ACTION_IGNORED;
  if (state_ != state::WAIT_CLIENT) return ACTION_FAIL;
  // The client's bytes stay the caller's. push_chunk copies whatever it is
  // given behind the header, so it is handed a copy; the command bytes went
  // out with start and are not repeated.
  byte_array params = new_bytes(size);
  if (size != 0) std::memcpy(params.get(), bytes, size);
  push_chunk(std::move(params), size);
  params_sent_ = true;
  state_ = state::WAIT_SCANNER;
  return send_type_;
}

action command_param_is::scanner_reply(std::uint8_t type, byte_array payload, std::size_t size) {
  if (finished()) return ACTION_IGNORED;
  if (state_ != state::WAIT_SCANNER || type != reply_type_) return ACTION_FAIL;
  // The first answer goes to the client whatever it says; the command waits
  // for the parameters either way and lets the client decide.
  push(std::move(payload), static_cast<std::int64_t>(size));
  state_ = params_sent_ ? state::FINISHED : state::WAIT_CLIENT;
  return ACTION_ACCEPTED;
}

// command_buf -----------------------------------------------------------

command_buf::command_buf(int letter, std::uint8_t flag_byte, std::uint8_t flag_bit,
                         std::uint16_t block_offset, std::uint16_t param_size)
    : command_param(letter, ESC),
      flag_byte_(flag_byte),
      flag_bit_(flag_bit),
      block_offset_(block_offset),
      param_size_(param_size) {
  send_type_ = 0x02;
  reply_type_ = 0x82;
  assert(flag_byte_ < STATUS_SIZE && flag_bit_ < 8);
  assert(std::size_t{block_offset_} + param_size_ <= BLOCK_SIZE);
  // select_colour_ may move the table up to three tables further on.
  assert(letter_ != COLOUR_LETTER ||
         (flag_bit_ < COLOUR_COUNT &&
          block_offset_ + std::size_t{COLOUR_TABLE_SIZE} * (COLOUR_COUNT - 1) + param_size_ <=
              BLOCK_SIZE));
}

command_buf::~command_buf() = default;

void command_buf::select_colour_(std::uint8_t c) {
  // c | 0x20 is c in lower case for a letter; only 'R' and 'r' give 'r', and
  // likewise for the other colours, so no other byte picks a table.
  switch (c | 0x20) {
    case 'r':
      flag_bit_ = 0;
      break;
    case 'g':
      flag_bit_ = 1;
      break;
    case 'b':
      flag_bit_ = 2;
      break;
    case 'm':
      flag_bit_ = 3;
      break;
    default:
      break;
  }
  block_offset_ = static_cast<std::uint16_t>(block_offset_ + COLOUR_TABLE_SIZE * flag_bit_);
}

action command_buf::client_data(const std::uint8_t* bytes, std::size_t size) {
  if (finished()) return ACTION_IGNORED;
  if (state_ != state::WAIT_CLIENT) return ACTION_FAIL;
  if (letter_ == COLOUR_LETTER && size != 0) {
    select_colour_(bytes[0]);
    ++bytes;
    --size;
  }
  if (size != param_size_) {
    // A block of the wrong size is answered with ACK, not NAK, and the
    // scanner's settings stay as they were.
    push(status_byte(ACK));
    state_ = state::FINISHED;
    return ACTION_ACCEPTED;
  }
  // Everything outside the flag and the parameters must be zero.
  byte_array block = new_zeroed_bytes(BLOCK_SIZE);
  block[flag_byte_] = static_cast<std::uint8_t>(1u << flag_bit_);
  if (size != 0) std::memcpy(block.get() + block_offset_, bytes, size);
  push_chunk(std::move(block), BLOCK_SIZE);
  state_ = state::WAIT_SCANNER;
  return send_type_;
}

action command_buf::scanner_reply(std::uint8_t type, byte_array payload, std::size_t size) {
  if (finished()) return ACTION_IGNORED;
  if (state_ != state::WAIT_SCANNER || type != reply_type_ || size != STATUS_SIZE) {
    return ACTION_FAIL;
  }
  // Only this setting's bit is read; the bitmap itself is released on return.
  const bool refused = (payload[flag_byte_] >> flag_bit_ & 1) != 0;
  push(status_byte(refused ? NAK : ACK));
  state_ = state::FINISHED;
  return ACTION_ACCEPTED;
}

}  // namespace scanbridge
