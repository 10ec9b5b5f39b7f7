// SPDX-License-Identifier: MIT
// Commands whose reply is a 4-byte head followed by data of variable length.
// The client receives the head and the data as two separate chunks.
#ifndef SCANBRIDGE_COMMANDS_COMMAND_VAR_H_
#define SCANBRIDGE_COMMANDS_COMMAND_VAR_H_

#include <cstddef>
#include <cstdint>

#include "commands/command.h"

namespace scanbridge {

// Length of the head of a variable reply. Its bytes 2-3 hold the number of
// data bytes that follow, little-endian.
inline constexpr std::size_t VAR_HEAD_SIZE = 4;

// The client sends nothing to these commands after the command itself: both
// keep the base client_data, which ignores bytes in every state.

// NT: the scanner returns head and data in one packet; the command splits it.
// States: INITIAL -> start -> WAIT_SCANNER -> scanner_reply -> FINISHED.
class command_var : public command {
 public:
  command_var(int letter, int prefix);
  ~command_var() override;

  // The command's own bytes, as the base sends them, but only from INITIAL.
  action start() override;
  // Queues the first 4 reply bytes, then the rest (an empty chunk when there
  // is no rest). A reply shorter than the head fails and changes nothing.
  action scanner_reply(std::uint8_t type, byte_array payload, std::size_t size) override;
};

// IS: the command asks for the 4-byte head alone (reply size 4); the head's
// count then becomes the reply size of an empty request that fetches the
// data. States: INITIAL -> start -> WAIT_SCANNER -> head -> WAIT_SCANNER
// -> data -> FINISHED.
class command_var_is : public command_is {
 public:
  command_var_is(int letter, int prefix);
  ~command_var_is() override;

  // The command's own bytes, as the base sends them, but only from INITIAL.
  action start() override;
  action scanner_reply(std::uint8_t type, byte_array payload, std::size_t size) override;

  // The head received so far, or null; owned until it is queued behind the
  // data request's answer.
  const std::uint8_t* head() const { return head_.get(); }

 private:
  byte_array head_;
};

}  // namespace scanbridge

#endif  // SCANBRIDGE_COMMANDS_COMMAND_VAR_H_
