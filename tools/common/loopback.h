// SPDX-License-Identifier: MIT
// The IPv4 loopback address with a port, as the client link, the benchmark
// and the chaos run connect to it and listen on it.
#ifndef SCANBRIDGE_TOOLS_COMMON_LOOPBACK_H_
#define SCANBRIDGE_TOOLS_COMMON_LOOPBACK_H_

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

namespace scanbridge::tools {

// 127.0.0.1:port; port 0 lets bind() choose one.
inline sockaddr_in loopback_address(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

}  // namespace scanbridge::tools

#endif  // SCANBRIDGE_TOOLS_COMMON_LOOPBACK_H_
