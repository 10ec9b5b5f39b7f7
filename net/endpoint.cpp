// SPDX-License-Identifier: MIT
#include "net/endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "net/peer_owner.h"
#include "net/wake.h"

namespace scanbridge {

namespace {

bool set_int_option(int fd, int name, int value) {
  return setsockopt(fd, SOL_SOCKET, name, &value, sizeof value) == 0;
}

bool set_time_option(int fd, int name, std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
  return setsockopt(fd, SOL_SOCKET, name, &tv, sizeof tv) == 0;
}

struct addrinfo_deleter {
  void operator()(addrinfo* list) const noexcept { ::freeaddrinfo(list); }
};

// After a non-blocking call on fd failed: true when it is worth calling
// again, at once after a signal, or once fd is ready where the call would
// have blocked. A wait that times out, fails or is woken ends it.
bool ready_again(int fd, short events, int timeout_ms) {
  if (errno == EINTR) return true;
  return (errno == EAGAIN || errno == EWOULDBLOCK) &&
         wait_for(fd, events, timeout_ms) == wait_result::READY;
}

// Completes a non-blocking connect() that returned result: waits until the
// socket is writable and takes the outcome from SO_ERROR.
bool finish_connect(int fd, int result, int timeout_ms) {
  if (result == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return false;
  if (wait_for(fd, POLLOUT, timeout_ms) != wait_result::READY) return false;
  int error = 0;
  socklen_t len = sizeof error;
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
}

void close_socket(int fd) {
  if (::close(fd) != 0) {
    std::fputs("ERROR: socket close failed\n", stderr);
    std::fflush(stderr);
  }
}

}  // namespace

bool set_socket_options(int fd, std::chrono::milliseconds timeout) {
  bool ok = set_int_option(fd, SO_REUSEADDR, 1) && set_int_option(fd, SO_KEEPALIVE, 0);
  if (ok && timeout.count() != 0) {
    ok = set_time_option(fd, SO_RCVTIMEO, timeout) && set_time_option(fd, SO_SNDTIMEO, timeout);
  }
  if (!ok) {
    std::fputs("ERROR: setsockopt failed\n", stderr);
    std::fflush(stderr);
  }
  return ok;
}

std::int64_t send_all(int fd, iovec* parts, std::size_t count, int timeout_ms) {
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
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (ready_again(fd, POLLOUT, timeout_ms)) continue;
      return -1;
    }
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
                      std::size_t body_count, int timeout_ms) {
  iovec parts[2] = {{const_cast<void*>(head), head_count}, {const_cast<void*>(body), body_count}};
  return send_all(fd, parts, 2, timeout_ms);
}

std::vector<const addrinfo*> connection_order(const addrinfo* found) {
  std::vector<const addrinfo*> order;
  for (const int family : {AF_INET, AF_INET6}) {
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
      if (a->ai_family == family) order.push_back(a);
    }
  }
  return order;
}

endpoint::endpoint(int port, std::chrono::milliseconds timeout)
    : port_(port), timeout_(timeout), connecting_(false) {}

endpoint::endpoint(std::string host, int port, std::chrono::milliseconds timeout)
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
  if (wake_pending()) return false;
  if (peek) {
    if (!fill_ahead_(count, true)) return false;
    std::memcpy(buf, ahead_.data(), count);
    return true;
  }
  auto* bytes = static_cast<std::uint8_t*>(buf);
  std::size_t done = std::min(count, ahead_.size());
  if (done > 0) {
    std::memcpy(bytes, ahead_.data(), done);
    ahead_.erase(ahead_.begin(), ahead_.begin() + static_cast<std::ptrdiff_t>(done));
  }
  while (done < count) {
    // Whatever has arrived, at once; the wait comes only when nothing has.
    const ssize_t n = ::recv(fd_, bytes + done, count - done, MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0 || !ready_again(fd_, POLLIN, wait_ms_())) return false;
  }
  return true;
}

bool endpoint::write(const void* buf, std::size_t count) { return write(buf, count, nullptr, 0); }

bool endpoint::write(const void* head, std::size_t head_count, const void* body,
                     std::size_t body_count) {
  if (!open_()) return false;
  const std::size_t total = head_count + body_count;
  return send_all(fd_, head, head_count, body, body_count, wait_ms_()) ==
         static_cast<std::int64_t>(total);
}

bool endpoint::has_input() const {
  if (fd_ <= 0) return false;
  if (!ahead_.empty()) return true;
  // MSG_DONTWAIT makes this one call non-blocking without touching the
  // descriptor's file status flags, so the socket stays exactly as it was.
  char byte;
  return ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
}

std::int64_t endpoint::peek_waiting(void* buf, std::size_t count) {
  if (fd_ <= 0) return -1;
  if (wake_pending()) return 0;
  // An end of stream or an error shows as fewer bytes here and fails the
  // read that follows.
  fill_ahead_(count, false);
  const std::size_t n = std::min(count, ahead_.size());
  std::memcpy(buf, ahead_.data(), n);
  return static_cast<std::int64_t>(n);
}

std::size_t endpoint::waiting() const {
  int queued = 0;
  if (fd_ <= 0 || ::ioctl(fd_, FIONREAD, &queued) != 0) queued = 0;
  return ahead_.size() + static_cast<std::size_t>(queued);
}

void endpoint::set_timeout(std::chrono::milliseconds timeout) {
  timeout_ = timeout;
  if (fd_ > 0) apply_options_(fd_, timeout);
}

void endpoint::apply_options_(int fd, std::chrono::milliseconds timeout) {
  set_socket_options(fd, timeout);
  // The options stay on the socket (a tool that reads them sees the
  // time-out), but the waits are poll()s, which keep to the value noted here.
  if (timeout.count() != 0) wait_ms_limit_ = static_cast<int>(timeout.count());
}

void endpoint::set_deadline(std::chrono::milliseconds within) {
  deadline_ = deadline_after(static_cast<int>(within.count()));
}

int endpoint::wait_ms_() const {
  const int per_wait = wait_ms_limit_ > 0 ? wait_ms_limit_ : -1;
  if (deadline_ < 0) return per_wait;
  const int left = time_left(deadline_);
  return per_wait < 0 ? left : std::min(per_wait, left);
}

bool endpoint::fill_ahead_(std::size_t count, bool wait) {
  while (ahead_.size() < count) {
    const std::size_t held = ahead_.size();
    ahead_.resize(count);
    const ssize_t n = ::recv(fd_, ahead_.data() + held, count - held, MSG_DONTWAIT);
    ahead_.resize(held + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (n > 0) continue;
    // Without waiting, what has arrived is all there is.
    if (n == 0 || !wait || !ready_again(fd_, POLLIN, wait_ms_())) return false;
  }
  return true;
}

bool endpoint::open_() {
  if (connecting_) return fd_ > 0 || connect_();
  if (listen_fd_ <= 0 && fd_ <= 0) listen_();
  return accept_();
}

bool endpoint::connect_() {
  // A stop makes no further attempt, not even the one a failed peek of the
  // greeting asks for.
  if (wake_pending()) return false;
  ahead_.clear();
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  // A host with a ':' can only be an IPv6 address: it is taken as one, and
  // anything else there fails without asking a name server.
  if (host_.find(':') == std::string::npos) {
    hints.ai_family = AF_UNSPEC;
  } else {
    hints.ai_family = AF_INET6;
    hints.ai_flags = AI_NUMERICHOST;
  }
  addrinfo* found = nullptr;
  if (::getaddrinfo(host_.c_str(), nullptr, &hints, &found) != 0) return false;
  const std::unique_ptr<addrinfo, addrinfo_deleter> owned(found);
  for (const addrinfo* address : connection_order(found)) {
    if (connect_to_(*address)) return true;
    // A stop tries no further address.
    if (wake_pending()) break;
  }
  return false;
}

bool endpoint::connect_to_(const addrinfo& address) {
  // Non-blocking while it connects, so that the attempt is a wait like any
  // other: bounded by the time-out and ended by a wake.
  fd_ = ::socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK, 0);
  if (fd_ < 0) {
    fd_ = -1;
    return false;
  }
  apply_options_(fd_, timeout_);
  sockaddr_storage to{};
  std::memcpy(&to, address.ai_addr, address.ai_addrlen);
  const std::uint16_t port = htons(static_cast<std::uint16_t>(port_));
  if (to.ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&to)->sin6_port = port;
  } else {
    reinterpret_cast<sockaddr_in*>(&to)->sin_port = port;
  }
  bool ok = finish_connect(
      fd_, ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), address.ai_addrlen), wait_ms_());
  // Blocking again, as a socket is expected to be; every call of the
  // endpoint says for itself that it must not block.
  if (ok) ok = ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK) == 0;
  if (!ok) {
    ::close(fd_);
    fd_ = -1;
  }
  return ok;
}

bool endpoint::listen_() {
  // Non-blocking, so that accept() after the wait never blocks, even when
  // the client that woke the wait has gone again.
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  if (listen_fd_ < 0) {
    listen_fd_ = -1;
    return false;
  }
  // The receive time-out of the listening socket also bounds the wait for a
  // client.
  apply_options_(listen_fd_, timeout_);
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
  int peer = -1;
  for (;;) {
    peer = ::accept(listen_fd_, nullptr, nullptr);
    uid_t owner = 0;
    if (peer >= 0 && peer_is_stranger(peer, &owner)) {
      // The port is for the driver that started the bridge: another user's
      // process gets no byte and does not count as the client. Said once per
      // listening socket, so that a stranger that keeps connecting cannot
      // fill (and block) the bridge's standard error.
      ::close(peer);
      if (!stranger_told_) {
        std::fprintf(stderr, "ERROR: closed a connection of another user (uid %u)\n",
                     static_cast<unsigned>(owner));
        std::fflush(stderr);
        stranger_told_ = true;
      }
      continue;
    }
    if (peer >= 0) break;
    // A peer that reset before it was taken is no reason to stop waiting.
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) break;
    // No peer within the wait, or a stop: the socket listens on, and the
    // next call waits again without a moment of refusal in between. A wait
    // that failed outright closes it, like a failed accept.
    const wait_result waited = wait_for(listen_fd_, POLLIN, wait_ms_());
    if (waited == wait_result::FAILED) break;
    if (waited != wait_result::READY) return false;
  }
  // One peer per endpoint: the listening socket goes once it has served,
  // or when it failed (the owner sets up a new one after a pause).
  ::close(listen_fd_);
  listen_fd_ = -1;
  if (peer < 0) return false;
  fd_ = peer;
  apply_options_(fd_, timeout_);
  // While the peer is served, no socket listens on the port; this one keeps
  // it, and without address reuse on it no other process (of any user) can
  // bind the port meanwhile and wait there for the driver coming back.
  set_int_option(fd_, SO_REUSEADDR, 0);
  return true;
}

void endpoint::close_() {
  if (fd_ > 0) {
    // The port is free for the next listening socket at once, even while
    // this connection lingers in TIME_WAIT.
    if (!connecting_) set_int_option(fd_, SO_REUSEADDR, 1);
    close_socket(fd_);
  }
  if (listen_fd_ > 0) close_socket(listen_fd_);
}

}  // namespace scanbridge
