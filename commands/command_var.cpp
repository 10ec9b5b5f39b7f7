// SPDX-License-Identifier: MIT
#include "commands/command_var.h"

#include <cstring>
#include <utility>

namespace scanbridge {

// command_var -----------------------------------------------------------

command_var::command_var(int letter, int prefix) : command(letter, prefix) {}

command_var::~command_var() = default;

action command_var::start() {
  if (finished()) return ACTION_IGNORED;
  if (state_ != state::INITIAL) return ACTION_FAIL;
  return command::start();
}

action command_var::scanner_reply(std::uint8_t type, byte_array payload, std::size_t size) {
  if (finished()) return ACTION_IGNORED;
  if (state_ != state::WAIT_SCANNER || type != reply_type_) return ACTION_FAIL;
  // Without a whole head there is nothing to split off.
  if (size < VAR_HEAD_SIZE) return ACTION_FAIL;

  byte_array head = new_bytes(VAR_HEAD_SIZE);
  std::memcpy(head.get(), payload.get(), VAR_HEAD_SIZE);
  push(std::move(head), static_cast<std::int64_t>(VAR_HEAD_SIZE));
  // The data stays in the reply's own array, moved down over the head: one
  // allocation fewer than a fresh array for the data. The chunk's length, not
  // the array's, says how many bytes go to the client.
  const std::size_t rest = size - VAR_HEAD_SIZE;
  if (rest != 0) std::memmove(payload.get(), payload.get() + VAR_HEAD_SIZE, rest);
  push(std::move(payload), static_cast<std::int64_t>(rest));
  state_ = state::FINISHED;
  return ACTION_ACCEPTED;
}

// command_var_is --------------------------------------------------------

command_var_is::command_var_is(int letter, int prefix)
    : command_is(letter, prefix, VAR_HEAD_SIZE) {}

command_var_is::~command_var_is() = default;

action command_var_is::start() {
  if (finished()) return ACTION_IGNORED;
  if (state_ != state::INITIAL) return ACTION_FAIL;
  return command_is::start();
}

action command_var_is::scanner_reply(std::uint8_t type, byte_array payload, std::size_t size) {
  if (finished()) return ACTION_IGNORED;
  if (state_ != state::WAIT_SCANNER || type != reply_type_) return ACTION_FAIL;

  if (head_ == nullptr) {
    if (size != VAR_HEAD_SIZE) {
      // No usable head: the command cannot go on and queues nothing.
      state_ = state::FINISHED;
      return ACTION_FAIL;
    }
    head_ = std::move(payload);
    reply_size_ = get_le16(head_.get() + 2);
    // A header alone, no bytes: asks the scanner for the data.
    push_chunk(nullptr, 0);
    return send_type_;
  }

  push(std::move(head_), static_cast<std::int64_t>(VAR_HEAD_SIZE));
  push(std::move(payload), static_cast<std::int64_t>(size));
  state_ = state::FINISHED;
  return ACTION_ACCEPTED;
}

}  // namespace scanbridge
