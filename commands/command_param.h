// SPDX-License-Identifier: MIT
// Commands that carry a parameter block from the client: the NT form, which
// acknowledges the command itself and sends command and parameters in one
// packet; the NT buffer form, which folds the parameters into the fixed
// parameter block; and the IS form, which sends the bare command first and the
// parameters in a second packet.
#ifndef SCANBRIDGE_COMMANDS_COMMAND_PARAM_H_
#define SCANBRIDGE_COMMANDS_COMMAND_PARAM_H_

#include <cstddef>
#include <cstdint>

#include "commands/command.h"

namespace scanbridge {

// NT: the client sends the command, gets ACK 0x06 from the bridge, then sends
// the parameters; the scanner receives [prefix, letter, parameters...] as one
// packet of send_type, and its reply goes to the client unchanged.
//
// States: INITIAL -> start -> WAIT_CLIENT -> client_data -> WAIT_SCANNER
// -> scanner_reply -> FINISHED.
class command_param : public command {
 public:
  command_param(int letter, int prefix);
  ~command_param() override;

  action start() override;
  // bytes may be null only when size is 0.
  action client_data(const std::uint8_t* bytes, std::size_t size) override;
  action scanner_reply(std::uint8_t type, byte_array payload, std::size_t size) override;
};

// IS: the bare command goes to the scanner with reply size 1; the scanner's
// answer (ACK or NAK, passed on as it is) goes to the client; the client's
// parameters then go to the scanner in a second packet, without the command
// bytes, and the scanner's second answer ends the command.
//
// States: INITIAL -> start -> WAIT_SCANNER -> scanner_reply -> WAIT_CLIENT
// -> client_data -> WAIT_SCANNER -> scanner_reply -> FINISHED.
class command_param_is : public command_is {
 public:
  command_param_is(int letter, int prefix);
  ~command_param_is() override;

  // The command's own bytes, as the base sends them, but only from INITIAL.
  action start() override;
  // bytes may be null only when size is 0.
  action client_data(const std::uint8_t* bytes, std::size_t size) override;
  action scanner_reply(std::uint8_t type, byte_array payload, std::size_t size) override;

  bool params_sent() const { return params_sent_; }

 private:
  // True once the parameters have been queued for the scanner: the next reply
  // is the last one.
  bool params_sent_ = false;
};

// NT: a setting whose parameters travel inside the fixed 1176-byte parameter
// block, sent as a packet of type 2 without the command bytes. Bytes 0-7 of
// the block are a bitmap with the one bit of this setting set; the parameters
// lie at block_offset. The scanner answers with an 8-byte status bitmap of the
// same layout, and the bridge makes up the client's answer from this
// setting's bit: NAK 0x15 when it is set, ACK 0x06 when it is clear.
//
// For 'z' the block holds four 256-byte colour tables; the first client byte
// chooses the table and with it the flag bit (see select_colour_).
//
// States: INITIAL -> start -> WAIT_CLIENT -> client_data -> WAIT_SCANNER
// -> scanner_reply (8 bytes) -> FINISHED; a parameter count other than
// param_size ends the command at client_data with ACK and nothing sent.
class command_buf : public command_param {
 public:
  static constexpr std::size_t BLOCK_SIZE = 1176;
  static constexpr std::size_t STATUS_SIZE = 8;

  // Invariants (asserted): flag_byte < 8, flag_bit < 8, and the parameters
  // fit in the block, for 'z' the fourth colour table included.
  command_buf(int letter, std::uint8_t flag_byte, std::uint8_t flag_bit, std::uint16_t block_offset,
              std::uint16_t param_size);
  ~command_buf() override;

  // bytes may be null only when size is 0.
  action client_data(const std::uint8_t* bytes, std::size_t size) override;
  action scanner_reply(std::uint8_t type, byte_array payload, std::size_t size) override;

  std::uint8_t flag_byte() const { return flag_byte_; }
  std::uint8_t flag_bit() const { return flag_bit_; }
  std::uint16_t block_offset() const { return block_offset_; }
  std::uint16_t param_size() const { return param_size_; }

 private:
  // 'z' only: the client's first byte, compared in lower case, picks the
  // colour table r, g, b or m (index 0 to 3). The index becomes flag_bit_ and
  // moves block_offset_ on by 256 per index. Any other byte keeps flag_bit_
  // and moves block_offset_ by 256 * flag_bit_. Runs at most once per command.
  void select_colour_(std::uint8_t c);

  std::uint8_t flag_byte_;
  std::uint8_t flag_bit_;
  std::uint16_t block_offset_;
  std::uint16_t param_size_;
};

}  // namespace scanbridge

#endif  // SCANBRIDGE_COMMANDS_COMMAND_PARAM_H_
