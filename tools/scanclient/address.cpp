#include "tools/scanclient/address.h"

#include <cstdlib>

namespace scanbridge::tools {

scanner_address parse_scanner_address(std::string_view uri) {
  const std::size_t slashes = uri.find("//");
  const std::string_view text = slashes == std::string_view::npos ? uri : uri.substr(slashes + 2);
  scanner_address address;
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    address.host = std::string(text);
    return address;
  }
  address.host = std::string(text.substr(0, colon));
  const std::string port(text.substr(colon + 1));
  address.port = static_cast<int>(std::strtol(port.c_str(), nullptr, 10));
  return address;
}

std::string to_string(const scanner_address& address) {
  return address.host + ":" + std::to_string(address.port);
}

}  // namespace scanbridge::tools
