// SPDX-License-Identifier: MIT
// The scanner's address in an OPEN URI, read as the bridge reads it. All the
// client's handling of host and port stands here, so that a new address form
// changes this one place.
#ifndef SCANBRIDGE_TOOLS_SCANCLIENT_ADDRESS_H_
#define SCANBRIDGE_TOOLS_SCANCLIENT_ADDRESS_H_

#include <string>
#include <string_view>

namespace scanbridge::tools {

// The scanner port when the address names none.
inline constexpr int DEFAULT_SCANNER_PORT = 1865;

struct scanner_address {
  std::string host;
  int port = DEFAULT_SCANNER_PORT;
  // The host was an IPv6 address in brackets, and is shown so again.
  bool bracketed = false;
};

// Everything after the first "//" names the scanner: the host up to the first
// ':', and after it the port, a number from 1 to 65535. An IPv6 address goes
// in brackets, "[::1]:1865", optionally with a zone, "[fe80::1%eth0]"; a '['
// without its ']', or anything but ':' after it, leaves the whole text as the
// host, which does not resolve. False, with one line in *error, for an
// address without "//" and a host, or a port that is no such number: the
// bridge could not open it, so it is a mistake of the command line.
bool parse_scanner_address(std::string_view uri, scanner_address* address, std::string* error);

// "HOST:PORT" or "[HOST]:PORT", for messages.
std::string to_string(const scanner_address& address);

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_SCANCLIENT_ADDRESS_H_
