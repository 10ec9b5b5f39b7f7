// SPDX-License-Identifier: MIT
#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace scanbridge::testing {

namespace {

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

sockaddr_in loopback_address(int port, const char* address = "127.0.0.1") {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, address, &addr.sin_addr);
  return addr;
}

unique_fd tcp_socket() {
  unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) fail("socket");
  return fd;
}

}  // namespace

listener bind_loopback(int port) {
  listener l{tcp_socket(), 0};
  const int on = 1;
  if (::setsockopt(l.fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) fail("setsockopt");
  sockaddr_in addr = loopback_address(port);
  if (::bind(l.fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) fail("bind");
  socklen_t len = sizeof addr;
  if (::getsockname(l.fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    fail("getsockname");
  }
  l.port = ntohs(addr.sin_port);
  return l;
}

listener listen_loopback(int port) {
  listener l = bind_loopback(port);
  if (::listen(l.fd.get(), 16) != 0) fail("listen");
  return l;
}

unique_fd connect_loopback(int port, const char* address) {
  unique_fd fd = tcp_socket();
  const sockaddr_in addr = loopback_address(port, address);
  while (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINTR) return unique_fd();
  }
  return fd;
}

unique_fd connect_loopback_retry(int port, std::chrono::milliseconds timeout) {
  unique_fd fd;
  wait_until(
      [&] {
        fd = connect_loopback(port);
        return fd || errno != ECONNREFUSED;
      },
      timeout);
  return fd;
}

unique_fd accept_connection(int listen_fd, std::chrono::milliseconds timeout) {
  if (!wait_readable(listen_fd, timeout)) return unique_fd();
  return unique_fd(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
}

socket_pair tcp_pair() {
  listener l = listen_loopback();
  socket_pair p;
  p.client = connect_loopback(l.port);
  if (!p.client) fail("connect");
  p.server = accept_connection(l.fd.get());
  if (!p.server) fail("accept");
  return p;
}

bool wait_acknowledged(int fd, std::chrono::milliseconds timeout) {
  return wait_until(
      [fd] {
        int unacknowledged = -1;
        return ::ioctl(fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
      },
      timeout);
}

void reset_close(unique_fd& fd) {
  const linger abort_on_close{1, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  fd.reset();
}

bool ipv6_loopback_available() {
  const unique_fd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  return ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace scanbridge::testing
