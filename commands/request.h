// SPDX-License-Identifier: MIT
// One extended-mode exchange: a 12-byte request header from the client and
// its payload go to the scanner; the scanner's 64-byte reply header and the
// payload it announces come back to the client.
#ifndef SCANBRIDGE_COMMANDS_REQUEST_H_
#define SCANBRIDGE_COMMANDS_REQUEST_H_

#include <cstddef>
#include <cstdint>

#include "commands/command.h"

namespace scanbridge {

// Header form, shared by requests and reply headers: a 4-character code,
// 'x', then the payload size as 7 upper-case hexadecimal digits. A reply
// header goes on with text fields up to byte 63.
inline constexpr std::size_t REQUEST_SIZE = 12;
inline constexpr std::size_t REPLY_HEADER_SIZE = 64;

// Sent as IS_ESC_THRU, answered with 0xA0 (letter 0, prefix ESC).
//
// Without payload: INITIAL -> start -> WAIT_SCANNER -> reply header ->
// FINISHED or LEAVE_EXTENDED, or, when the header announces a payload,
// WAIT_SCANNER -> payload -> FINISHED or LEAVE_EXTENDED.
// With payload: INITIAL -> start -> WAIT_CLIENT -> client_data ->
// WAIT_SCANNER, then as without payload.
//
// Two things of its own: after the scanner signalled a cancel, an image reply
// header is marked as cancelled for the client; and a "FIN " reply header
// makes the client leave extended mode unless the scanner reports "#nrdBUSY".
class request : public command_is {
 public:
  // Takes a copy of the client's request header. Throws std::logic_error
  // "bad request size" unless size is 12, and whatever parse_size throws.
  request(const std::uint8_t* bytes, std::size_t size);
  ~request() override;

  action start() override;
  // Marks the request cancelled, in any state, for the rest of its life.
  action cancel() override;
  action client_data(const std::uint8_t* bytes, std::size_t size) override;
  action scanner_reply(std::uint8_t type, byte_array payload, std::size_t size) override;

  // The payload size in bytes 4-11 of a header of at least 12 bytes, at most
  // 2^28 - 1. Throws std::logic_error "bad size spec" when byte 4 is not 'x'
  // and "bad size digit" for a size byte other than '0'-'9' or 'A'-'F'.
  static std::size_t parse_size(const std::uint8_t* header);
  // parse_size without the throw: returns the fault's text, or null with the
  // size stored in *size.
  static const char* read_size(const std::uint8_t* header, std::size_t* size);

  // Rewrites an "IMG " reply header of the given size so the client sees the
  // scan cancelled: the first "#---" becomes "#atnCAN " with "#---" behind it,
  // where they fit. A header that holds "#atnCAN " already is left alone.
  static void mark_cancelled(std::uint8_t* header, std::size_t size);

  std::size_t pending_size() const { return pending_size_; }
  std::size_t payload_size() const { return payload_size_; }
  bool cancelled() const { return cancelled_; }

 private:
  // The state after a complete answer whose reply header is pending_.
  enum state end_state_() const;

  // Bytes held between steps: the client's request until start queues it,
  // then the scanner's reply header until it is queued. Owned until queued.
  byte_array pending_;
  std::size_t pending_size_ = 0;
  // Payload announced by the header being handled: the request's, later the
  // reply's. Non-zero in WAIT_SCANNER means the next reply is that payload.
  std::size_t payload_size_ = 0;
  bool cancelled_ = false;
};

}  // namespace scanbridge

#endif  // SCANBRIDGE_COMMANDS_REQUEST_H_
