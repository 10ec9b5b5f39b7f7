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

#include "tools/common/unique_fd.h"

namespace scanbridge::tools {

namespace {

using clock = std::chrono::steady_clock;

// The first IPv4 address of the host, as the bridge takes it. False when the
// name does not resolve.
bool resolve(const scanner_address& address, sockaddr_in* out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    return false;
  }
  std::memcpy(out, found->ai_addr, sizeof *out);
  ::freeaddrinfo(found);
  // The bridge keeps the port as an int and sends its low 16 bits.
  out->sin_port = htons(static_cast<std::uint16_t>(address.port));
  return true;
}

// 0 once connected, else the error of the attempt; ETIMEDOUT when nothing
// came back within timeout_ms.
int try_connect(const sockaddr_in& target, int timeout_ms) {
  const unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return errno;
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
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
  sockaddr_in target{};
  if (!resolve(address, &target)) return "cannot resolve " + address.host;
  const std::string where = to_string(address);
  const int error = try_connect(target, timeout_ms);
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
