// SPDX-License-Identifier: MIT
#include "tools/scanclient/address.h"

#include <cstdlib>

namespace scanbridge::tools {

scanner_address parse_scanner_address(std::string_view uri) {
  const std::size_t slashes = uri.find("//");
  const std::string_view text = slashes == std::string_view::npos ? uri : uri.substr(slashes + 2);
  scanner_address address;
  address.host = std::string(text);
  std::size_t colon = text.find(':');
  if (text.starts_with('[')) {
    // As the bridge reads it: an IPv6 address has a ':' inside the brackets.
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || text.find(':') > close) return address;
    colon = close + 1;
    if (colon < text.size() && text[colon] != ':') return address;
    address.host = std::string(text.substr(1, close - 1));
    address.bracketed = true;
    if (colon == text.size()) return address;
  } else if (colon == std::string_view::npos) {
    return address;
  } else {
    address.host = std::string(text.substr(0, colon));
  }
  const std::string port(text.substr(colon + 1));
  address.port = static_cast<int>(std::strtol(port.c_str(), nullptr, 10));
  return address;
}

std::string to_string(const scanner_address& address) {
  const std::string host = address.bracketed ? "[" + address.host + "]" : address.host;
  return host + ":" + std::to_string(address.port);
}

}  // namespace scanbridge::tools
