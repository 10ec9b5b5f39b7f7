// SPDX-License-Identifier: MIT
// The port line: the first line a driver reads from the bridge it started.
// The bridge prints the loopback port it listens on, or "-1" when it failed
// to start; the emulator and the benchmark's ideal relay announce their port
// the same way.
#ifndef SCANBRIDGE_TOOLS_COMMON_PORT_LINE_H_
#define SCANBRIDGE_TOOLS_COMMON_PORT_LINE_H_

#include <chrono>
#include <string>
#include <string_view>

namespace scanbridge::tools {

enum class line_wait {
  LINE,     // the buffer holds a whole line
  ENDED,    // the writer closed its end first
  TIMEOUT,  // no whole line before the deadline
  FAILED,   // a read error
  LONG,     // more than the limit and no newline yet
};

// Reads from fd, blocking or not, and appends to *buffer until the buffer
// holds a newline, the writer has gone, the deadline passes or the buffer
// holds more than `limit` bytes. Bytes after the newline stay in the buffer.
line_wait read_line(int fd, std::chrono::steady_clock::time_point deadline, std::string* buffer,
                    std::size_t limit = 1 << 20);

enum class port_line {
  PORT,        // a port from 1 to 65535
  NO_START,    // "-1": the program failed to start
  NOT_A_PORT,  // any other line
  ENDED,       // the output ended before a whole line
  TIMEOUT,     // no whole line in time
};

// The port in one line, without or with its line end. Anything but PORT
// comes with the reason in *error, worded to follow the program's name:
// "announced port -1: it failed to start".
port_line parse_port_line(std::string_view line, int* port, std::string* error);

// Waits at most `timeout` for the first line on fd and parses it. The bytes
// after the line stay in *buffer.
port_line read_port_line(int fd, std::chrono::milliseconds timeout, int* port, std::string* error,
                         std::string* buffer);

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_COMMON_PORT_LINE_H_
