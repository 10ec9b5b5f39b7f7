// SPDX-License-Identifier: MIT
#include "tools/scanclient/address.h"

#include "tools/common/command_line.h"

namespace scanbridge::tools {

bool parse_scanner_address(std::string_view uri, scanner_address* address, std::string* error) {
  const std::size_t slashes = uri.find("//");
  if (slashes == std::string_view::npos || slashes + 2 == uri.size()) {
    *error = "bad device address '" + std::string(uri) +
             "': expected SCHEME://HOST[:PORT], e.g. net://192.168.1.20";
    return false;
  }
  const std::string_view text = uri.substr(slashes + 2);
  address->host = std::string(text);
  std::size_t colon = text.find(':');
  if (text.starts_with('[')) {
    // As the bridge reads it: an IPv6 address has a ':' inside the brackets.
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || text.find(':') > close) return true;
    colon = close + 1;
    if (colon < text.size() && text[colon] != ':') return true;
    address->host = std::string(text.substr(1, close - 1));
    address->bracketed = true;
    if (colon == text.size()) return true;
  } else if (colon == std::string_view::npos) {
    return true;
  } else {
    address->host = std::string(text.substr(0, colon));
  }
  const std::string_view port = text.substr(colon + 1);
  if (parse_number(port, 1, 65535, &address->port)) return true;
  *error = "bad port '" + std::string(port) + "' in device address '" + std::string(uri) +
           "': a number from 1 to 65535";
  return false;
}

std::string to_string(const scanner_address& address) {
  const std::string host = address.bracketed ? "[" + address.host + "]" : address.host;
  return host + ":" + std::to_string(address.port);
}

}  // namespace scanbridge::tools
