// SPDX-License-Identifier: MIT
#include "tools/scanemu/log.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace scanbridge::tools::scanemu {

void log_line(const std::string& text) {
  static std::mutex mutex;
  std::string line = text;
  line += '\n';
  std::lock_guard<std::mutex> lock(mutex);
  // One write per line, so that lines of different connections never mix
  // even with other processes writing to the same terminal.
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

std::string hex_bytes(const std::uint8_t* data, std::size_t n, std::size_t limit) {
  if (n == 0) return "(none)";
  const std::size_t shown = n < limit ? n : limit;
  return tools::hex_bytes({data, shown}) + (shown < n ? " ..." : "");
}

std::string byte_count(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

std::string command_name(std::uint8_t prefix, std::uint8_t letter) {
  std::string text;
  switch (prefix) {
    case 0x0C:
      text = "FF";
      break;
    case 0x19:
      text = "EM";
      break;
    case 0x1B:
      text = "ESC";
      break;
    case 0x1C:
      text = "FS";
      break;
    default:
      text = hex_byte(prefix);
      break;
  }
  if (letter == 0) return text;
  if (letter >= 0x20 && letter < 0x7F) return text + " '" + static_cast<char>(letter) + "'";
  return text + " " + hex_byte(letter);
}

}  // namespace scanbridge::tools::scanemu
