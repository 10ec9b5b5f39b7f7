// SPDX-License-Identifier: MIT
// Diagnostics of the emulator: whole lines on standard error, never mixed up
// when several connections write at once.
#ifndef SCANBRIDGE_TOOLS_SCANEMU_LOG_H_
#define SCANBRIDGE_TOOLS_SCANEMU_LOG_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/common/hex.h"

namespace scanbridge::tools::scanemu {

// Writes text and a newline to standard error as one write.
void log_line(const std::string& text);

// "1B 49 ..." for the first limit bytes of data, with "..." when there are
// more; "(none)" for no bytes.
std::string hex_bytes(const std::uint8_t* data, std::size_t n, std::size_t limit = 16);

// "1 byte", "12 bytes".
std::string byte_count(std::size_t n);

// A command as a person would write it: "ESC 'I'", "FS 'G'", "0x0C".
std::string command_name(std::uint8_t prefix, std::uint8_t letter);

}  // namespace scanbridge::tools::scanemu

#endif  // SCANBRIDGE_TOOLS_SCANEMU_LOG_H_
