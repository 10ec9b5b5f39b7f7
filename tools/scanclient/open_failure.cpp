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

#include "tools/common/byte_order.h"
#include "tools/common/deadline.h"
#include "tools/common/hex.h"
#include "tools/common/unique_fd.h"
#include "wire/codes.h"

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

std::string seconds(int ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
  return text;
}

// 0 once connected, with the socket in *connected, else the error of the
// attempt; ETIMEDOUT when nothing came back within timeout_ms.
int try_connect(const sockaddr_storage& target, int timeout_ms, unique_fd* connected) {
  unique_fd fd(::socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return errno;
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&target), length_of(target)) != 0) {
    if (errno != EINPROGRESS) return errno;
    const clock::time_point deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    pollfd entry{fd.get(), POLLOUT, 0};
    int ready;
    while ((ready = ::poll(&entry, 1, remaining_ms(deadline))) < 0 && errno == EINTR) {
    }
    if (ready == 0) return ETIMEDOUT;
    int error = 0;
    socklen_t size = sizeof error;
    if (ready < 0 || ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    if (error != 0) return error;
  }
  *connected = std::move(fd);
  return 0;
}

enum class got { ALL, CLOSED, NOTHING };

// Reads exactly n bytes, unless the peer closes or the deadline passes first.
got read_exactly(int fd, std::uint8_t* data, std::size_t n, clock::time_point deadline) {
  while (n > 0) {
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, remaining_ms(deadline));
    if (ready == 0) return got::NOTHING;
    const ssize_t r = ready < 0 ? -1 : ::recv(fd, data, n, 0);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (r <= 0) return got::CLOSED;
    data += r;
    n -= static_cast<std::size_t>(r);
  }
  return got::ALL;
}

// What the scanner says on a fresh connection, read as the bridge reads it:
// a greeting (packet type 0x80, at least version, minor version and status),
// version 1.2 or later, status 0, and for IS an open request answered ACK.
std::string check_greeting(int fd, const std::string& where, int timeout_ms) {
  const clock::time_point deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  std::uint8_t header[12];
  const got head = read_exactly(fd, header, sizeof header, deadline);
  if (head == got::NOTHING) {
    return "nothing answered at " + where +
           ": it took the connection but sent no greeting within " + seconds(timeout_ms);
  }
  if (head == got::CLOSED) return where + " closed the connection without a greeting";
  const std::string magic(header, header + 2);
  const std::uint32_t length = get_be32(&header[6]);
  std::uint8_t greeting[64];
  if ((magic != "NT" && magic != "IS") || header[2] != packet_type::GREETING || length < 3 ||
      length > sizeof greeting || read_exactly(fd, greeting, length, deadline) != got::ALL) {
    return where + " answered but is not a scanner (no greeting)";
  }
  if (greeting[0] < 1 || (greeting[0] == 1 && greeting[1] < 2)) {
    return where + " speaks protocol version " + std::to_string(greeting[0]) + "." +
           std::to_string(greeting[1]) + "; the bridge needs 1.2 or later";
  }
  if (greeting[2] != 0)
    return where + " is not ready: its greeting has status " + hex_byte(greeting[2]);
  if (magic == "NT") return where + " answers as an NT scanner now; try again";
  // The IS open request, as the bridge sends it, and the close request after it.
  static constexpr std::uint8_t kOpen[] = {'I', 'S', 0x21, 0,    0,    12,   0,    0,    0,   7,
                                           0,   0,   0x01, 0xA0, 0x04, 0x00, 0x00, 0x01, 0x2C};
  static constexpr std::uint8_t kClose[] = {'I', 'S', 0x21, 1, 0, 12, 0, 0, 0, 0, 0, 0};
  std::uint8_t reply[13];
  (void)::send(fd, kOpen, sizeof kOpen, MSG_NOSIGNAL);
  switch (read_exactly(fd, reply, sizeof reply, deadline)) {
    case got::CLOSED:
      return where + " closed the connection after the greeting";
    case got::NOTHING:
      return where + " did not answer the open request within " + seconds(timeout_ms);
    case got::ALL:
      break;
  }
  if (reply[2] != packet_type::IS_CONTROL_REPLY || get_be32(&reply[6]) != 1 || reply[12] != ACK) {
    return where + " refused the open request";
  }
  (void)::send(fd, kClose, sizeof kClose, MSG_NOSIGNAL);
  return where + " answers as an IS scanner now; try again";
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
  unique_fd connected;
  for (const sockaddr_storage& target : targets) {
    const int attempt = try_connect(target, timeout_ms, &connected);
    if (error == -1 || attempt == 0) error = attempt;
    if (attempt == 0) break;
  }
  switch (error) {
    case 0:
      return check_greeting(connected.get(), where, timeout_ms);
    case ECONNREFUSED:
      return "connection refused by " + where;
    case ETIMEDOUT:
      return "no answer from " + where + " within " + seconds(timeout_ms);
    default:
      return "cannot connect to " + where + ": " + std::strerror(error);
  }
}

}  // namespace scanbridge::tools
