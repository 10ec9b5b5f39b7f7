// SPDX-License-Identifier: MIT
#include "tools/common/port_line.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "tools/common/deadline.h"

namespace scanbridge::tools {

namespace {

using clock = std::chrono::steady_clock;

// A port line longer than this is no port line.
constexpr std::size_t kLongestPortLine = 64;

std::string quoted(std::string_view text) {
  return "\"" + std::string(text.substr(0, kLongestPortLine)) +
         (text.size() > kLongestPortLine ? "...\"" : "\"");
}

}  // namespace

line_wait read_line(int fd, clock::time_point deadline, std::string* buffer, std::size_t limit) {
  for (;;) {
    if (buffer->find('\n') != std::string::npos) return line_wait::LINE;
    if (buffer->size() > limit) return line_wait::LONG;
    // Poll first, so that a blocking descriptor keeps the deadline too.
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, remaining_ms(deadline));
    if (ready == 0) return line_wait::TIMEOUT;
    if (ready < 0) {
      if (errno == EINTR) continue;
      return line_wait::FAILED;
    }
    char chunk[256];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      buffer->append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return line_wait::ENDED;
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return line_wait::FAILED;
    }
  }
}

port_line parse_port_line(std::string_view line, int* port, std::string* error) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.remove_suffix(1);
  }
  if (line == "-1") {
    *error = "announced port -1: it failed to start";
    return port_line::NO_START;
  }
  bool digits = !line.empty() && line.size() <= 5;
  long value = 0;
  for (const char c : line) {
    if (c < '0' || c > '9') {
      digits = false;
      break;
    }
    value = value * 10 + (c - '0');
  }
  if (!digits) {
    *error = "printed " + quoted(line) + " where its port was due";
    return port_line::NOT_A_PORT;
  }
  if (value < 1 || value > 65535) {
    *error = "announced no usable port (" + std::to_string(value) + ")";
    return port_line::NOT_A_PORT;
  }
  *port = static_cast<int>(value);
  return port_line::PORT;
}

port_line read_port_line(int fd, std::chrono::milliseconds timeout, int* port, std::string* error,
                         std::string* buffer) {
  switch (read_line(fd, clock::now() + timeout, buffer, kLongestPortLine)) {
    case line_wait::LINE: {
      const std::size_t end = buffer->find('\n');
      const port_line result =
          parse_port_line(std::string_view(*buffer).substr(0, end), port, error);
      buffer->erase(0, end + 1);
      return result;
    }
    case line_wait::LONG:
      *error = "printed " + quoted(*buffer) + " where its port was due";
      return port_line::NOT_A_PORT;
    case line_wait::ENDED:
    case line_wait::FAILED:
      *error = "ended its output before announcing its port";
      return port_line::ENDED;
    case line_wait::TIMEOUT:
      break;
  }
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(timeout.count()) / 1000.0);
  *error = "did not announce its port within " + std::string(seconds) + " s";
  return port_line::TIMEOUT;
}

}  // namespace scanbridge::tools
