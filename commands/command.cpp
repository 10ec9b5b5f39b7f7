// SPDX-License-Identifier: MIT
#include "commands/command.h"

#include <cstring>
#include <utility>

#include "wire/codes.h"

namespace scanbridge {

command::command(int letter, int prefix)
    : prefix_(static_cast<std::uint8_t>(prefix)),
      letter_(static_cast<std::uint8_t>(letter)),
      send_type_(prefix_ == FS ? 0x08 : 0x01),
      reply_type_(prefix_ == FS ? 0x88 : 0x81) {}

command::~command() = default;

action command::start() {
  const std::size_t n = letter_ == 0 ? 1 : 2;
  byte_array bytes = new_bytes(n);
  bytes[0] = prefix_;
  if (n == 2) bytes[1] = letter_;
  push_chunk(std::move(bytes), n);
  state_ = state::WAIT_SCANNER;
  return send_type_;
}

action command::cancel() {
  return ACTION_IGNORED;
}

action command::client_data(const std::uint8_t*, std::size_t) {
  return ACTION_IGNORED;
}

action command::scanner_reply(std::uint8_t type, byte_array payload, std::size_t size) {
  if (type != reply_type_) return ACTION_FAIL;
  push(std::move(payload), static_cast<std::int64_t>(size));
  state_ = state::FINISHED;
  return ACTION_ACCEPTED;
}

void command::push_chunk(byte_array bytes, std::size_t size) {
  push(std::move(bytes), static_cast<std::int64_t>(size));
}

command_is::command_is(int letter, int prefix, std::uint64_t reply_size)
    : command(letter, prefix), reply_size_(reply_size) {
  send_type_ = packet_type::IS_ESC_THRU;
  reply_type_ = packet_type::IS_REPLY;
}

command_is::~command_is() = default;

void command_is::push_chunk(byte_array bytes, std::size_t size) {
  // Every byte of the new array is written: the header, then the copy.
  byte_array framed = new_bytes(IS_HEADER_SIZE + size);
  put_is_header(framed.get(), size, reply_size_);
  if (size != 0) std::memcpy(framed.get() + IS_HEADER_SIZE, bytes.get(), size);
  push(std::move(framed), static_cast<std::int64_t>(IS_HEADER_SIZE + size));
  // The given array is released here, now that its bytes are copied.
}

}  // namespace scanbridge
