// SPDX-License-Identifier: MIT
#include "tests/session/fake_scanner.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace scanbridge::testing {

namespace {

// The largest payload the fake accepts to read: far above anything the
// bridge sends, far below what a corrupt header could announce.
constexpr std::uint32_t MAX_READ_PAYLOAD = 64u << 20;
// How many bytes of a mismatch are shown.
constexpr std::size_t MAX_SHOWN = 96;

std::string shown(const bytes& b) {
  if (b.size() <= MAX_SHOWN) return hex(b);
  return hex(bytes(b.begin(), b.begin() + MAX_SHOWN)) + " ... (" + std::to_string(b.size()) +
         " bytes)";
}

void set_timeouts(int fd) {
  timeval tv{};
  tv.tv_sec = FAKE_TIMEOUT_S;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  // Each send goes out at once, so that two packets sent one after the other
  // do not wait for the bridge's delayed acknowledgement.
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

bytes cat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

bytes text(std::string_view s) {
  return bytes(s.begin(), s.end());
}

bytes counting(std::size_t n, std::uint8_t first) {
  bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(first + i);
  return b;
}

bytes header_bytes(variant v, std::uint8_t type, std::uint8_t flag, std::uint32_t length) {
  const bool nt = v == variant::NT;
  return {static_cast<std::uint8_t>(nt ? 'N' : 'I'),
          static_cast<std::uint8_t>(nt ? 'T' : 'S'),
          type,
          flag,
          0x00,
          0x0C,
          static_cast<std::uint8_t>(length >> 24),
          static_cast<std::uint8_t>(length >> 16),
          static_cast<std::uint8_t>(length >> 8),
          static_cast<std::uint8_t>(length),
          0x00,
          0x00};
}

bytes packet_bytes(variant v, std::uint8_t type, std::uint8_t flag, const bytes& payload) {
  return cat({header_bytes(v, type, flag, static_cast<std::uint32_t>(payload.size())), payload});
}

// scanner_peer ------------------------------------------------------------

scanner_peer::scanner_peer(int fd, std::size_t index) : fd_(fd), index_(index) {
  set_timeouts(fd_);
}

scanner_peer::~scanner_peer() {
  close();
}

bool scanner_peer::fail_(const std::string& what) {
  if (!failed_) {
    ADD_FAILURE() << "fake scanner, connection " << index_ + 1 << ": " << what;
  }
  failed_ = true;
  return false;
}

bool scanner_peer::send_raw(const bytes& b) {
  if (failed_) return false;
  if (fd_ < 0) return fail_("send on a closed connection");
  std::size_t done = 0;
  while (done < b.size()) {
    const ssize_t n = ::send(fd_, b.data() + done, b.size() - done, MSG_NOSIGNAL);
    if (n <= 0) {
      return fail_("send failed after " + std::to_string(done) + " of " + std::to_string(b.size()) +
                   " bytes: " + std::strerror(errno));
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool scanner_peer::send_packet(variant v, std::uint8_t type, std::uint8_t flag,
                               const bytes& payload) {
  return send_raw(packet_bytes(v, type, flag, payload));
}

bool scanner_peer::send_greeting(variant v, std::uint8_t major, std::uint8_t minor,
                                 std::uint8_t status) {
  return send_packet(v, 0x80, 0, {major, minor, status});
}

std::optional<bytes> scanner_peer::read_bytes(std::size_t n) {
  if (failed_) return std::nullopt;
  if (fd_ < 0) {
    fail_("read on a closed connection");
    return std::nullopt;
  }
  bytes b(n);
  std::size_t done = 0;
  while (done < n) {
    const ssize_t got = ::read(fd_, b.data() + done, n - done);
    if (got <= 0) {
      b.resize(done);
      const std::string why = got == 0                                  ? "closed by the bridge"
                              : errno == EAGAIN || errno == EWOULDBLOCK ? "timed out"
                                                                        : std::strerror(errno);
      fail_("expected " + std::to_string(n) + " bytes, " + why + " after " + std::to_string(done) +
            ": " + hex(b));
      return std::nullopt;
    }
    done += static_cast<std::size_t>(got);
  }
  return b;
}

std::optional<raw_packet> scanner_peer::read_packet() {
  std::optional<bytes> header = read_bytes(PACKET_HEADER_SIZE);
  if (!header) return std::nullopt;
  const std::uint32_t length = static_cast<std::uint32_t>((*header)[6]) << 24 |
                               static_cast<std::uint32_t>((*header)[7]) << 16 |
                               static_cast<std::uint32_t>((*header)[8]) << 8 | (*header)[9];
  if (length > MAX_READ_PAYLOAD) {
    fail_("packet header announces " + std::to_string(length) + " bytes: " + hex(*header));
    return std::nullopt;
  }
  std::optional<bytes> payload = read_bytes(length);
  if (!payload) return std::nullopt;
  return raw_packet{std::move(*header), std::move(*payload)};
}

bool scanner_peer::expect_bytes(const bytes& expected, std::string_view what) {
  std::optional<bytes> got = read_bytes(expected.size());
  if (!got) return false;
  if (*got == expected) return true;
  std::size_t at = 0;
  while (at < got->size() && (*got)[at] == expected[at]) ++at;
  std::ostringstream msg;
  msg << what << " differ at byte " << at << "\n  expected: " << shown(expected)
      << "\n  received: " << shown(*got);
  return fail_(msg.str());
}

bool scanner_peer::expect_packet(variant v, std::uint8_t type, std::uint8_t flag,
                                 const bytes& payload) {
  const bytes expected = packet_bytes(v, type, flag, payload);
  std::optional<raw_packet> got = read_packet();
  if (!got) return false;
  const bytes received = cat({got->header, got->payload});
  if (received == expected) return true;
  std::size_t at = 0;
  while (at < received.size() && at < expected.size() && received[at] == expected[at]) ++at;
  std::ostringstream msg;
  msg << "packet differs at byte " << at << "\n  expected: " << shown(expected)
      << "\n  received: " << shown(received);
  return fail_(msg.str());
}

bool scanner_peer::expect_closed() {
  if (failed_) return false;
  if (fd_ < 0) return fail_("connection closed by the fake already");
  std::uint8_t byte;
  const ssize_t n = ::read(fd_, &byte, 1);
  // A close with unread data in the bridge's receive queue arrives as a
  // reset: closed all the same.
  if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
  if (n < 0) {
    return fail_(errno == EAGAIN || errno == EWOULDBLOCK
                     ? "expected the bridge to close the connection; it stayed open"
                     : std::string("read failed: ") + std::strerror(errno));
  }
  bytes extra{byte};
  std::uint8_t more[256];
  const ssize_t m = ::recv(fd_, more, sizeof more, MSG_DONTWAIT);
  if (m > 0) extra.insert(extra.end(), more, more + m);
  return fail_("expected the bridge to close the connection; it sent " + shown(extra));
}

void scanner_peer::reset() {
  if (fd_ < 0) return;
  linger l{};
  l.l_onoff = 1;
  l.l_linger = 0;
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close();
}

void scanner_peer::close() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

bool scanner_peer::open_nt() {
  return send_greeting(variant::NT, 1, 2, 0) && expect_packet(variant::NT, 0x11, 0, {0x00, 0x02});
}

bool scanner_peer::open_is() {
  return send_greeting(variant::IS, 1, 2, 0) &&
         expect_packet(variant::IS, 0x21, 0, {0x01, 0xA0, 0x04, 0x00, 0x00, 0x01, 0x2C}) &&
         send_packet(variant::IS, 0xA1, 0, {0x06});
}

bool scanner_peer::expect_is_close() {
  return expect_packet(variant::IS, 0x21, 1, {}) && send_packet(variant::IS, 0xA1, 1, {0x06});
}

// fake_scanner ------------------------------------------------------------

fake_scanner::fake_scanner(std::vector<script> scripts) : scripts_(std::move(scripts)) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  const bool ok = listen_fd_ >= 0 &&
                  ::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
                  ::listen(listen_fd_, 16) == 0 &&
                  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
                  ::pipe2(wake_, O_CLOEXEC) == 0;
  if (!ok) {
    ADD_FAILURE() << "fake scanner: cannot listen: " << std::strerror(errno);
    return;
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { run_(); });
}

fake_scanner::~fake_scanner() {
  stopping_ = true;
  if (wake_[1] >= 0) {
    const char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
  }
  if (thread_.joinable()) thread_.join();
  for (int fd : {listen_fd_, wake_[0], wake_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

std::string fake_scanner::address() const {
  return "127.0.0.1:" + std::to_string(port_);
}

int fake_scanner::accept_(int timeout_ms) {
  pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
  for (;;) {
    const int n = ::poll(fds, 2, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    // A connection already queued is taken even when the fake is stopping:
    // the session that made it has been served its script.
    if ((fds[0].revents & POLLIN) != 0) {
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return -1;
      ++accepted_;
      return fd;
    }
    return -1;
  }
}

void fake_scanner::run_() {
  // A script's connection may follow several back-off pauses of the session.
  constexpr int CONNECTION_WAIT_MS = 6 * FAKE_TIMEOUT_S * 1000;
  for (std::size_t i = 0; i < scripts_.size(); ++i) {
    const int fd = accept_(CONNECTION_WAIT_MS);
    if (fd < 0) {
      ADD_FAILURE() << "fake scanner: connection " << i + 1 << " of " << scripts_.size()
                    << " never came";
      return;
    }
    scanner_peer peer(fd, i);
    scripts_[i](peer);
  }
  while (!stopping_) {
    const int fd = accept_(-1);
    if (fd < 0) continue;
    ADD_FAILURE() << "fake scanner: unexpected connection " << accepted_.load() << " (only "
                  << scripts_.size() << " scripted)";
    ::close(fd);
  }
}

}  // namespace scanbridge::testing
