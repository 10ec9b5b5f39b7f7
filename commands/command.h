// SPDX-License-Identifier: MIT
// The translator of one client command: the base class of every command and
// its IS form, which frames each chunk for the scanner with an 8-byte header.
#ifndef SCANBRIDGE_COMMANDS_COMMAND_H_
#define SCANBRIDGE_COMMANDS_COMMAND_H_

#include <cstddef>
#include <cstdint>

#include "commands/chunk.h"

namespace scanbridge {

// What a command operation asks the exchange driver to do next. Values 0 to
// 127 mean: send the front chunk as a packet of that type (flag 0), then read
// the scanner's next packet.
using action = std::uint16_t;

// The input was taken; nothing to send now.
inline constexpr action ACTION_ACCEPTED = 256;
// The input did not concern the command, or the command had finished.
inline constexpr action ACTION_IGNORED = 257;
// Legacy mode: send the front chunk as packet 0x22 with flag 0.
inline constexpr action ACTION_SEND_TRANSFER = 258;
// Legacy mode: send the front chunk as packet 0x22 with flag 1.
inline constexpr action ACTION_SEND_TRANSFER_CANCEL = 259;
// The exchange has failed.
inline constexpr action ACTION_FAIL = 260;

// Base translator: sends [prefix, letter] (or the lone prefix when the letter
// is 0) as one packet and relays one reply packet of reply_type unchanged.
//
// The queue holds, in the order they were made, chunks still to go to the
// scanner and reply chunks for the client. Chunks for the scanner go in through
// push_chunk() so that the IS forms can frame them; reply chunks are pushed as
// they are.
class command : public chunk_queue {
 public:
  enum class state : std::int32_t {
    INITIAL = 0,
    WAIT_SCANNER = 1,
    WAIT_CLIENT = 2,
    FINISHED = 3,
    LEAVE_EXTENDED = 4,
  };

  command(int letter, int prefix);
  virtual ~command();
  command(const command&) = delete;
  command& operator=(const command&) = delete;

  // Virtual operations, in slot order.
  // Queues the command's first bytes for the scanner.
  virtual action start();
  // The scanner reported a cancel event while this command was current.
  virtual action cancel();
  // Bytes the client sent while this command was current and not finished.
  // The bytes stay the caller's; a translator copies what it keeps.
  virtual action client_data(const std::uint8_t* bytes, std::size_t size);
  // One packet from the scanner that is not a notice. The payload passes to
  // the command: it is queued, kept or released.
  virtual action scanner_reply(std::uint8_t type, byte_array payload, std::size_t size);
  // Appends one chunk for the scanner; the array passes to the command.
  virtual void push_chunk(byte_array bytes, std::size_t size);

  enum state state() const { return state_; }
  using chunk_queue::size;

  std::uint8_t prefix() const { return prefix_; }
  std::uint8_t letter() const { return letter_; }
  std::uint16_t send_type() const { return send_type_; }
  std::uint8_t reply_type() const { return reply_type_; }

 protected:
  bool finished() const { return state_ == state::FINISHED; }

  std::uint8_t prefix_;
  std::uint8_t letter_;
  enum state state_ = state::INITIAL;
  std::uint16_t send_type_;
  std::uint8_t reply_type_;
};

// IS form: every chunk for the scanner gets an 8-byte big-endian header, the
// number of bytes that follow and the number of reply bytes the scanner is to
// return (low 32 bits of reply_size_). Sent as IS_ESC_THRU, answered with 0xA0.
class command_is : public command {
 public:
  command_is(int letter, int prefix, std::uint64_t reply_size);
  ~command_is() override;

  void push_chunk(byte_array bytes, std::size_t size) override;

  std::uint64_t reply_size() const { return reply_size_; }

 protected:
  std::uint64_t reply_size_;
};

// Writes v big-endian into p[0..3].
inline void put_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

// Number of bytes of the header that the IS variant puts in front of every
// chunk it sends to the scanner.
inline constexpr std::size_t IS_HEADER_SIZE = 8;

// Writes the IS chunk header into p[0..7]: the number of bytes that follow it,
// then the low 32 bits of the number of reply bytes the scanner is to return.
inline void put_is_header(std::uint8_t* p, std::size_t length, std::uint64_t reply_size) {
  put_be32(p, static_cast<std::uint32_t>(length));
  put_be32(p + 4, static_cast<std::uint32_t>(reply_size));
}

// Reads a little-endian 16-bit number from p[0..1].
inline std::uint16_t get_le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

// Reads a little-endian 32-bit number from p[0..3].
inline std::uint32_t get_le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace scanbridge

#endif  // SCANBRIDGE_COMMANDS_COMMAND_H_
