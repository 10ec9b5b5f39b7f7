// SPDX-License-Identifier: MIT
#include "tools/scanclient/open_failure.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/common/unique_fd.h"

namespace scanbridge::tools {

namespace {

using clock = std::chrono::steady_clock;

// The host's addresses in the order the bridge tries them: IPv4 first, in
// the resolver's order, then IPv6. Empty when the name does not resolve.
std::vector<sockaddr_storage> resolve(const scanner_address& address) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::vector<sockaddr_storage> out;
  if (::getaddrinfo(address.host.c_str(), nullptr, &hints, &found) != 0) return out;
  // The bridge keeps the port as an int and sends its low 16 bits.
  const std::uint16_t port = htons(static_cast<std::uint16_t>(address.port));
  for (const int family : {AF_INET, AF_INET6}) {
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
      if (a->ai_family != family) continue;
      sockaddr_storage target{};
      std::memcpy(&target, a->ai_addr, a->ai_addrlen);
      if (family == AF_INET) {
        reinterpret_cast<sockaddr_in*>(&target)->sin_port = port;
      } else {
        reinterpret_cast<sockaddr_in6*>(&target)->sin6_port = port;
      }
      out.push_back(target);
    }
  }
  ::freeaddrinfo(found);
  return out;
}

socklen_t length_of(const sockaddr_storage& target) {
  return target.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// 0 once connected, else the error of the attempt; ETIMEDOUT when nothing
// came back within timeout_ms.
int try_connect(const sockaddr_storage& target, int timeout_ms) {
  const unique_fd fd(::socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return errno;
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&target), length_of(target)) == 0) {
    return 0;
  }
  if (errno != EINPROGRESS) return errno;
  const clock::time_point deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
    pollfd entry{fd.get(), POLLOUT, 0};
    const int ready = ::poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready == 0) return ETIMEDOUT;
    if (ready > 0) break;
    if (errno != EINTR) return errno;
  }
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
  return error;
}

}  // namespace

std::string explain_open_failure(const scanner_address& address, int timeout_ms) {
  const std::vector<sockaddr_storage> targets = resolve(address);
  if (targets.empty()) {
    return "cannot resolve " + (address.bracketed ? "[" + address.host + "]" : address.host);
  }
  const std::string where = to_string(address);
  // Like the bridge, on to the next address until one connects; the first
  // address's failure is the one told.
  int error = -1;
  for (const sockaddr_storage& target : targets) {
    const int attempt = try_connect(target, timeout_ms);
    if (error == -1 || attempt == 0) error = attempt;
    if (attempt == 0) break;
  }
  switch (error) {
    case 0:
      return where + " answered but is not a scanner (no greeting)";
    case ECONNREFUSED:
      return "connection refused by " + where;
    case ETIMEDOUT: {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", timeout_ms / 1000.0);
      return "no answer from " + where + " within " + seconds + " s";
    }
    default:
      return "cannot connect to " + where + ": " + std::strerror(error);
  }
}

}  // namespace scanbridge::tools
