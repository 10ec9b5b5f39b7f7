// SPDX-License-Identifier: MIT
// Readable renderings of link messages for --trace and for the probe report:
// hex with abbreviation, the names of commands, and what a reply means in the
// place where the client expects it.
#ifndef SCANBRIDGE_TOOLS_SCANCLIENT_TRACE_H_
#define SCANBRIDGE_TOOLS_SCANCLIENT_TRACE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "tools/common/hex.h"
#include "tools/scanclient/link_message.h"

namespace scanbridge::tools {

// What the client expects a reply to be; only used to describe it.
enum class reply_kind {
  ANY,
  OPEN,        // the answer to OPEN
  ANSWER,      // a single ACK or NAK
  VAR_HEAD,    // the 4-byte head of a variable reply
  VAR_DATA,    // the data behind it
  INFO_BLOCK,  // the first answer to a scan command
  DATA_BLOCK,  // image data and a status byte
};

struct reply_hint {
  reply_kind kind = reply_kind::ANY;
  // What the reply answers, e.g. "ESC C" or "block 3/12"; may be empty.
  std::string label;
};

// The whole hex when there are at most `limit` bytes; otherwise the first 16
// and the last 8 bytes and the count: "00 01 ... FE FF (65537 bytes)".
std::string abbreviated_hex(std::span<const std::uint8_t> bytes, std::size_t limit = 32);
// The bytes as a quoted string, non-printable bytes as \xNN, cut after `limit`
// bytes with "...".
std::string quoted_text(std::span<const std::uint8_t> bytes, std::size_t limit = 80);
// True when all bytes are printable ASCII, blanks, tabs or line ends, or NUL padding.
bool looks_like_text(std::span<const std::uint8_t> bytes);

// The command a DATA payload carries: "ESC I (identity)", "FS G (start scan)",
// "ACK", "CAN (cancel)"; empty when the bytes are not a command.
std::string describe_command(std::span<const std::uint8_t> bytes);

// What a reply means where the client expected `hint`.
std::string describe_reply(const link_header& header, std::span<const std::uint8_t> payload,
                           const reply_hint& hint);

// One trace line for a message to the bridge. `note` replaces the command
// description when it is not empty.
//   -> DATA id=1 len=2  1B 49  ESC I (identity)
std::string format_sent(const link_header& header, std::span<const std::uint8_t> payload,
                        std::string_view note);
// One trace line for a message from the bridge.
//   <- reply id=1 status=0 len=14  02 00 ...  info block: block_size=512 count=2 last=256
std::string format_received(const link_header& header, std::span<const std::uint8_t> payload,
                            const reply_hint& hint);

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_TRACE_H_
