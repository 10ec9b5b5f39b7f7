#include "net/endpoint.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace scanbridge {

namespace {

bool set_int_option(int fd, int name, int value) {
  return setsockopt(fd, SOL_SOCKET, name, &value, sizeof value) == 0;
}

bool set_time_option(int fd, int name, int seconds) {
  timeval tv{};
  tv.tv_sec = seconds;
  return setsockopt(fd, SOL_SOCKET, name, &tv, sizeof tv) == 0;
}

void close_socket(int fd) {
  if (::close(fd) != 0) {
    std::fputs("ERROR: socket close failed\n", stderr);
    std::fflush(stderr);
  }
}

}  // namespace

bool set_socket_options(int fd, int seconds) {
  bool ok = set_int_option(fd, SO_REUSEADDR, 1) && set_int_option(fd, SO_KEEPALIVE, 0);
  if (ok && seconds != 0) {
    ok = set_time_option(fd, SO_RCVTIMEO, seconds) && set_time_option(fd, SO_SNDTIMEO, seconds);
  }
  if (!ok) {
    std::fputs("ERROR: setsockopt failed\n", stderr);
    std::fflush(stderr);
  }
  return ok;
}

std::int64_t send_all(int fd, iovec* parts, std::size_t count) {
  std::int64_t sent = 0;
  while (count > 0) {
    if (parts->iov_len == 0) {
      ++parts;
      --count;
      continue;
    }
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (n < 0) return -1;
    if (n == 0) break;
    sent += n;
    // Step over what went out: whole parts first, then into a part.
    auto done = static_cast<std::size_t>(n);
    while (count > 0 && done >= parts->iov_len) {
      done -= parts->iov_len;
      ++parts;
      --count;
    }
    if (count > 0) {
      parts->iov_base = static_cast<char*>(parts->iov_base) + done;
      parts->iov_len -= done;
    }
  }
  return sent;
}

std::int64_t send_all(int fd, const void* head, std::size_t head_count, const void* body,
                      std::size_t body_count) {
  iovec parts[2] = {{const_cast<void*>(head), head_count}, {const_cast<void*>(body), body_count}};
  return send_all(fd, parts, 2);
}

endpoint::endpoint(int port, int timeout) : port_(port), timeout_(timeout), connecting_(false) {}

endpoint::endpoint(std::string host, int port, int timeout)
    : port_(port), timeout_(timeout), connecting_(true), host_(std::move(host)) {}

endpoint::~endpoint() { close_(); }

int endpoint::port() {
  if (!connecting_ && listen_fd_ <= 0 && fd_ <= 0) listen_();
  return port_;
}

int endpoint::fd() { return open_() ? fd_ : -1; }

bool endpoint::read(void* buf, std::size_t count, bool peek) {
  if (!open_()) return false;
  if (count == 0) return true;
  auto* bytes = static_cast<char*>(buf);
  if (peek) {
    // MSG_WAITALL makes the kernel wait until count bytes are queued (or the
    // receive time-out, a signal or end of stream cuts the wait short), so the
    // peek sleeps instead of polling. A short peek can only mean one of those.
    const ssize_t n = ::recv(fd_, bytes, count, MSG_PEEK | MSG_WAITALL);
    return n > 0 && static_cast<std::size_t>(n) == count;
  }
  std::size_t done = 0;
  while (done < count) {
    // MSG_WAITALL lets the kernel gather a whole block in one call instead of
    // waking the bridge for every segment. A time-out or a signal still ends
    // the call early; the loop then reads on, as with a short read.
    const ssize_t n = ::recv(fd_, bytes + done, count - done, MSG_WAITALL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool endpoint::write(const void* buf, std::size_t count) { return write(buf, count, nullptr, 0); }

bool endpoint::write(const void* head, std::size_t head_count, const void* body,
                     std::size_t body_count) {
  if (!open_()) return false;
  const std::size_t total = head_count + body_count;
  return send_all(fd_, head, head_count, body, body_count) == static_cast<std::int64_t>(total);
}

bool endpoint::has_input() const {
  if (fd_ <= 0) return false;
  // MSG_DONTWAIT makes this one call non-blocking without touching the
  // descriptor's file status flags, so the socket stays exactly as it was.
  char byte;
  return ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
}

std::ptrdiff_t endpoint::peek_waiting(void* buf, std::size_t count) const {
  if (fd_ <= 0) return -1;
  const ssize_t n = ::recv(fd_, buf, count, MSG_PEEK | MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  return n;
}

void endpoint::set_timeout(int seconds) {
  timeout_ = seconds;
  if (fd_ > 0) set_socket_options(fd_, seconds);
}

bool endpoint::open_() {
  if (connecting_) return fd_ > 0 || connect_();
  if (listen_fd_ <= 0 && fd_ <= 0) listen_();
  return accept_();
}

bool endpoint::connect_() {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd_ < 0) {
    fd_ = -1;
    return false;
  }
  // Before connecting, so that the send time-out also bounds the attempt.
  set_socket_options(fd_, timeout_);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port_));
  const hostent* he = ::gethostbyname(host_.c_str());
  bool ok = he != nullptr && he->h_addrtype == AF_INET && he->h_addr_list[0] != nullptr;
  if (ok) {
    std::memcpy(&addr.sin_addr, he->h_addr_list[0], sizeof addr.sin_addr);
    ok = ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  }
  if (!ok) {
    ::close(fd_);
    fd_ = -1;
  }
  return ok;
}

bool endpoint::listen_() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listen_fd_ < 0) {
    listen_fd_ = -1;
    return false;
  }
  // The receive time-out of the listening socket also bounds accept().
  set_socket_options(listen_fd_, timeout_);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port_));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  socklen_t len = sizeof addr;
  if (::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::fputs(std::strerror(errno), stderr);
    std::fputs("\n", stderr);
    std::fflush(stderr);
    ::close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  port_ = ntohs(addr.sin_port);
  // Listen right away: the port is about to be announced, and a driver that
  // connects the moment it reads it must find a listening socket, not a
  // refusal. accept_() listens again, which is harmless.
  ::listen(listen_fd_, 0);
  return true;
}

bool endpoint::accept_() {
  if (connecting_) return false;
  if (fd_ > 0) return true;
  if (listen_fd_ < 0) return false;
  ::listen(listen_fd_, 0);
  const int peer = ::accept(listen_fd_, nullptr, nullptr);
  // One peer per endpoint: the listening socket goes whatever accept() gave.
  ::close(listen_fd_);
  listen_fd_ = -1;
  if (peer < 0) return false;
  fd_ = peer;
  set_socket_options(fd_, timeout_);
  return true;
}

void endpoint::close_() {
  if (fd_ > 0) close_socket(fd_);
  if (listen_fd_ > 0) close_socket(listen_fd_);
}

}  // namespace scanbridge
