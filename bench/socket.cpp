// SPDX-License-Identifier: MIT
#include "bench/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bench/bytes.h"
#include "tools/common/loopback.h"

namespace scanbridge::bench {

namespace {

// Below this many missing bytes a read takes whatever is queued (it may bring
// the next frame along); above it the read goes in place and waits for all.
constexpr std::size_t DIRECT_READ_THRESHOLD = 16 * 1024;

}  // namespace

unique_fd listen_loopback(int* port) {
  unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  const int one = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr = tools::loopback_address(0);
  socklen_t len = sizeof addr;
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd.get(), 4) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return unique_fd();
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

unique_fd accept_within(int listen_fd, int timeout_ms) {
  pollfd p{listen_fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return unique_fd();
  return unique_fd(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
}

unique_fd connect_loopback(int port) {
  unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  const sockaddr_in addr = tools::loopback_address(port);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return unique_fd();
  }
  return fd;
}

void set_no_delay(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void set_io_timeout(int fd, int seconds) {
  timeval tv{};
  tv.tv_sec = seconds;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool write_all(int fd, const void* bytes, std::size_t count) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  while (count > 0) {
    const ssize_t n = ::send(fd, p, count, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

bool write_all(int fd, iovec* parts, int count) {
  msghdr msg{};
  msg.msg_iov = parts;
  msg.msg_iovlen = static_cast<std::size_t>(count);
  while (msg.msg_iovlen > 0) {
    ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    // Step over what went out; the rest goes with the next call.
    while (msg.msg_iovlen > 0 && static_cast<std::size_t>(n) >= msg.msg_iov->iov_len) {
      n -= static_cast<ssize_t>(msg.msg_iov->iov_len);
      ++msg.msg_iov;
      --msg.msg_iovlen;
    }
    if (msg.msg_iovlen > 0) {
      msg.msg_iov->iov_base = static_cast<std::uint8_t*>(msg.msg_iov->iov_base) + n;
      msg.msg_iov->iov_len -= static_cast<std::size_t>(n);
    }
  }
  return true;
}

bool read_exact(int fd, void* bytes, std::size_t count) {
  auto* p = static_cast<std::uint8_t*>(bytes);
  while (count > 0) {
    const ssize_t n = ::recv(fd, p, count, MSG_WAITALL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

stream_reader::stream_reader(int fd, std::size_t initial_capacity)
    : fd_(fd),
      buf_(std::make_unique_for_overwrite<std::uint8_t[]>(initial_capacity)),
      capacity_(initial_capacity) {}

bool stream_reader::next_link_message(frame* out) {
  return next_(LINK_HEADER_SIZE, 12, out);
}

bool stream_reader::next_packet(frame* out) {
  return next_(PACKET_HEADER_SIZE, 6, out);
}

bool stream_reader::next_(std::size_t header_size, std::size_t length_offset, frame* out) {
  if (!fill_(header_size)) return false;
  const std::uint32_t length = get_be32(buf_.get() + begin_ + length_offset);
  if (!fill_(header_size + length)) return false;
  out->header = buf_.get() + begin_;
  out->payload = out->header + header_size;
  out->length = length;
  begin_ += header_size + length;
  return true;
}

bool stream_reader::read_into(std::uint8_t* dst, std::size_t count) {
  const std::size_t buffered = std::min(count, end_ - begin_);
  if (buffered > 0) {
    std::memcpy(dst, buf_.get() + begin_, buffered);
    begin_ += buffered;
  }
  return read_exact(fd_, dst + buffered, count - buffered);
}

void stream_reader::reserve_(std::size_t need) {
  const std::size_t have = end_ - begin_;
  if (capacity_ - begin_ >= need) return;
  if (capacity_ >= need) {
    // Room enough once the unread bytes move to the front.
    std::memmove(buf_.get(), buf_.get() + begin_, have);
  } else {
    const std::size_t grown = std::max(need, 2 * capacity_);
    auto bigger = std::make_unique_for_overwrite<std::uint8_t[]>(grown);
    std::memcpy(bigger.get(), buf_.get() + begin_, have);
    buf_ = std::move(bigger);
    capacity_ = grown;
  }
  begin_ = 0;
  end_ = have;
}

bool stream_reader::fill_(std::size_t need) {
  if (begin_ == end_) begin_ = end_ = 0;
  if (end_ - begin_ >= need) return true;
  reserve_(need);
  while (end_ - begin_ < need) {
    const std::size_t missing = need - (end_ - begin_);
    ssize_t n;
    if (missing >= DIRECT_READ_THRESHOLD) {
      n = ::recv(fd_, buf_.get() + end_, missing, MSG_WAITALL);
    } else {
      n = ::recv(fd_, buf_.get() + end_, capacity_ - end_, 0);
    }
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    end_ += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace scanbridge::bench
